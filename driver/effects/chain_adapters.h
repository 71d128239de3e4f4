// The processing calls the streaming pipes, the wave streams and the effect nodes make on every
// render transfer, behind the names those callers use:
// - DspChain: the per-stream chain, a 101-tap FIR stage per channel, then the linked peak
//   limiter, last so that its ceiling holds;
// - ConvertChannels: the channel format stage;
// - ParamEngine and the Eq* calls: the speaker panner; HrtfEngine and EqSecondStage: the
//   positional HRTF virtualiser;
// - DelayState and EffectProcess: the room virtualiser.
// Set-up calls (Init, Allocate..., Create...) are the only ones that allocate; they run at
// PASSIVE_LEVEL. Processing calls run at DISPATCH_LEVEL under the caller's lock with the
// floating-point state saved. Buffers are planar floats in WAVE order (FL, FR, FC, LFE, BL, BR,
// SL, SR), at most eight.
#pragma once

#include <nt_types.h>
#include <pc_wave_format.h>

#include "driver/effects/hrtf_virtualizer.h"
#include "driver/effects/peak_limiter.h"
#include "driver/effects/room_virtualizer.h"
#include "driver/effects/speaker_panner.h"

#include <cstdint>

namespace dsp
{
struct FirState;
}

// ---- DspChain ------------------------------------------------------------------------------

class DspChain
{
public:
    static constexpr int32_t TAPS = 101;
    static constexpr int32_t MAX_CHANNELS = 8;
    static constexpr int32_t PIECE = 128;

    // Mode 0, gains 1.0, master gain 1.0. The two tables (101 taps: one for 48000 Hz, one for
    // every other rate) default to the generated ones and must outlive the chain.
    DspChain(const float *taps48000 = nullptr, const float *tapsOther = nullptr);
    ~DspChain();
    DspChain(const DspChain &) = delete;
    DspChain &operator=(const DspChain &) = delete;

    PeakLimiter m_Limiter;
    const float *m_Taps48000;
    const float *m_TapsOther;
    const float *m_ActiveTaps = nullptr; // the table SetFormat chose; null: no FIR work
    void *m_FirBlock[MAX_CHANNELS] = {}; // "DSPs" blocks, only when a table is not a unit impulse
    dsp::FirState *m_Fir[MAX_CHANNELS] = {};
    WAVEFORMATEXTENSIBLE m_Format{};
    bool m_Initialised = false;
};

// The limiter's blocks and, when either table is not a unit impulse, one FIR state block per
// channel ("DSPs"). TRUE when everything is allocated, also when already initialised; FALSE
// when an allocation fails, with everything of this call freed again.
BOOLEAN DspChainInit(DspChain *chain);
void DspChainSetMode(DspChain *chain, int32_t mode);
// Every channel's maximum and current gain; FALSE (nothing changed) outside 0..1000 or NaN.
BOOLEAN DspChainSetGains(DspChain *chain, float gain);
// The limiter's ceiling; FALSE (nothing changed) outside 0..1000 or NaN.
BOOLEAN DspChainSetMasterGain(DspChain *chain, float gain);
// Resets the chain, copies the 40-byte format (channels, rate), takes the 48000 Hz table for
// 48000 Hz and the other for any other rate, and starts each channel's FIR from silence.
void DspChainSetFormat(DspChain *chain, const WAVEFORMATEXTENSIBLE *format);
// Filters the format's channels in place in 128-sample pieces, then limits them (the output
// lags by 256 samples). Nothing before DspChainInit.
void DspChainProcess(DspChain *chain, float *const *channels, int32_t count);
// Clears the limiter's buffers and histories (gains stay) and the FIR histories.
void DspChainReset(DspChain *chain);
void DspChainClearState(DspChain *chain);

// ---- Channel format ------------------------------------------------------------------------

// FormatChannels; returns the count the buffers now hold: outCount after a conversion, else
// inCount (equal counts, no samples, a pair without a rule).
int32_t ConvertChannels(float *const *channels, int32_t inCount, int32_t outCount, int32_t samples,
                        int32_t plain);

// ---- Panner --------------------------------------------------------------------------------

class ParamEngine : public SpeakerPanner
{
public:
    bool AllocateBuffers() { return Allocate(); }
    // SetSource(i, first[i], second[i]) for the eight slots; false when any is refused (the
    // others are still applied).
    bool ApplyBands(const float first[SLOTS], const float second[SLOTS]);
};

// SetSource(band, first = distance, second = azimuth): FALSE for a band outside 0..7.
BOOLEAN EqSetBand(ParamEngine *eq, int32_t band, float first, float second);
// The stored pair of bands 0..7; FALSE for other bands, outputs untouched.
BOOLEAN EqGetBand(ParamEngine *eq, int32_t band, float *first, float *second);
// Pans eight channels from `in` into `out` (may be the same set) in 128-sample pieces.
void EqProcess(ParamEngine *eq, float *const *in, float *const *out, int32_t count);

// ---- HRTF ----------------------------------------------------------------------------------

class HrtfEngine : public HrtfVirtualizer
{
public:
    bool CreateFilter() { return Create(); }
    // The rate of the next Recompute; the node passes it after each parameter block.
    void SetSecondWord(uint32_t word) { m_SecondWord = word; }
    // SetSampleRate with the stored word: 44100 or 48000, else refused (placement kept).
    bool Recompute() { return m_SecondWord <= uint32_t(INT32_MAX) && SetSampleRate(int32_t(m_SecondWord)); }

private:
    uint32_t m_SecondWord = 48000;
};

// The HRTF stage over eight channels in place (left and right into channels 0 and 1); nothing
// without its engine.
void EqSecondStage(HrtfEngine *engine, float *const *channels, int32_t count);

// ---- Room virtualiser ----------------------------------------------------------------------

class DelayState : public RoomVirtualizer
{
public:
    // Configure(rate, channels - 1): applied by the next EffectProcess.
    void SetFormat(int32_t rate, int32_t channelsMinusOne) { Configure(rate, channelsMinusOne); }
    // The state owns no memory of its own: the caller frees the object.
    void Destroy() {}
};

// Render: the room virtualiser from `in` (8 channels) to out[0], out[1]; in may equal out.
void EffectProcess(DelayState *effect, float *const *in, float *const *out, int32_t count);
