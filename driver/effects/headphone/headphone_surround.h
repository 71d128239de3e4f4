// The headphone surround engine as the surround effect node calls it (HeadphoneSurround,
// SurroundProcess). A path is one of CQvrEffect's two speaker settings: its first value is the
// size setting (0, 1, 2 -> size code 3, 2, 1), its second the angle-variant flag, its third the
// angle setting; the path selection is the tail mode, the output setting the room.
//
// The caller allocates the object (non-paged, "TAVO"); construction allocates the processing
// state ("QVRP"). Threads as CQvrEffect.
#pragma once

#include "driver/effects/headphone/qvr_effect.h"

#include <nt_types.h>

class HeadphoneSurround : public CQvrEffect
{
public:
    HeadphoneSurround() = default; // third values 40 and 40

    // -1 when the processing state is missing or the format is refused, else 0.
    LONG SetFormat(const WAVEFORMATEX *format) { return CQvrEffect::SetFormat(format); }

    void SetActive(BOOLEAN active) { SetEnabled(active ? 1 : 0); }
    BOOLEAN GetActive() const { return BOOLEAN(GetEnabled()); }
    void SetPath(LONG path) { SetTailMode(path != 0); }
    LONG GetPath() const { return GetTailMode(); }
    void SetFirstValue(LONG path, LONG value) { SetSize(path != 0, value); }
    LONG GetFirstValue(LONG path) const { return GetSize(path != 0); }
    void SetSecondValue(LONG path, LONG value) { SetAngleFlag(path != 0, value); }
    LONG GetSecondValue(LONG path) const { return GetAngleFlag(path != 0); }
    void SetThirdValue(LONG path, LONG value) { SetAngle(path != 0, value); }
    LONG GetThirdValue(LONG path) const { return GetAngle(path != 0); }
    void SetOutput(LONG output) { SetRoom(output); }
    LONG GetOutput() const { return GetRoom(); }
};

// The effect over `count` samples of its stored channel count, in place: the ears to channels 0
// and 1, the others untouched. Nothing for a null effect.
void SurroundProcess(HeadphoneSurround *effect, float *const *buffers, int32_t count);
