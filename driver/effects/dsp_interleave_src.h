// The sample-rate chain of one wave stream: checks the formats on either side, describes them as
// float to its format stage and installs up to two converters, then moves planar float frames
// through them.
//
// The stream allocates the object (non-paged, "CCST"), calls Init once at PASSIVE_LEVEL, and calls
// ResetStages and SetFormat on every format change; Feed, Available, Drain and InputFor move
// audio. All of those run under the stream's spin lock at DISPATCH_LEVEL: no allocation, no wait,
// no lock of their own. Release (or the destructor) at PASSIVE_LEVEL frees everything.
#pragma once

#include "driver/effects/dsp_processor.h"
#include "driver/filters/rate_chain.h"

class CDspInterleaveSrc : public CPoolObject, public IRateChain
{
public:
    CDspInterleaveSrc() = default;
    ~CDspInterleaveSrc() override { Release(); }
    CDspInterleaveSrc(const CDspInterleaveSrc &) = delete;
    CDspInterleaveSrc &operator=(const CDspInterleaveSrc &) = delete;

    // Creates the format stage (with its channel conversion), the factor-2, factor-4 and 147:160
    // converters, each with its buffers, and the work buffer ("DSPS"). False when already
    // initialised or at the first failed allocation; what was made stays for Release.
    bool Init();

    // `first` is the side the samples come from: render passes (stream format, device format),
    // capture (device format, stream format). Both must have sample type PCM or float, 0..8
    // channels, 44100/48000/88200/96000/176400/192000 Hz and 16, 24 or 32 bits. A refusal is
    // logged, stores nothing (a refusal by the format stage has stored both formats) and leaves
    // the stage pointers; the chain then moves nothing until a SetFormat succeeds.
    bool SetFormat(WAVEFORMATEXTENSIBLE first, WAVEFORMATEXTENSIBLE second) override;

    // Resets the factor-2, factor-4, 147:160 and format stages, in that order, and drops the
    // frames held between calls.
    void ResetStages() override;

    // Frees the work buffer and destroys the stages; harmless on a chain never initialised.
    void Release();

    // Stage 0 is the format stage once a format was accepted; stages 1 and 2 the converters in
    // the order they run (null: none).
    CDspProcessor *Stage(ULONG index) const { return index < 3 ? m_pStage[index] : nullptr; }

    // The stream's staging area: WORK_BUFFER_BYTES, allocated by Init.
    static constexpr ULONG WORK_BUFFER_BYTES = RATE_CHAIN_WORK_BYTES;
    float *WorkBuffer() const override { return m_pWorkBuffer; }

    // Takes up to `frames` planar float frames of the first format (in[c] for each of its
    // channels) through the stages; returns the frames taken, fewer only when a ring is full (the
    // caller offers the rest again after a Drain). 0 on an unconfigured chain, a null table or a
    // null plane, with nothing read.
    ULONG Feed(const float *const in[], ULONG frames) override;
    // Converted frames ready for Drain.
    ULONG Available() const override;
    // Moves up to maxFrames converted frames to out[c], one plane per channel of the second
    // format: channels the first format lacks are written as zeros, its extra channels dropped.
    // Returns the frames moved; 0 with nothing written on a null table or plane.
    ULONG Drain(float *const out[], ULONG maxFrames) override;
    // The smallest number of further input frames after which Available() >= outFrames.
    ULONG InputFor(ULONG outFrames) const override;

private:
    friend class CDspInterleaveSrcTestAccess;

    ULONG InputChannels() const { return m_InFormat.Format.nChannels; }
    ULONG OutputChannels() const { return m_OutFormat.Format.nChannels; }
    bool Moving() const { return m_bConfigured && InputChannels() > 0 && OutputChannels() > 0; }
    CDspProcessor *Last() const;
    void Install(CDspProcessor *stage1, bool up1, CDspProcessor *stage2, bool up2);
    ULONG FeedFirst(const float *const in[], ULONG offset, ULONG frames);
    void PassToSecond();
    ULONG DecimationFactor() const;
    ULONG StageInputFor(const CDspProcessor *stage, ULONG outputs) const;

    WAVEFORMATEXTENSIBLE m_InFormat{};
    WAVEFORMATEXTENSIBLE m_OutFormat{};
    CDspSplit *m_pSplit = nullptr;
    CSrcFactor2 *m_pSrcFactor2 = nullptr;
    CSrcFactor4 *m_pSrcFactor4 = nullptr;
    CSrc44k48k *m_pSrc44k48k = nullptr;
    float *m_pWorkBuffer = nullptr;
    CDspProcessor *m_pStage[3] = {};
    UCHAR m_bInitialized = 0;
    UCHAR m_bConfigured = 0;
    // Input of a decimating first stage short of a whole group (at most 3 frames a channel),
    // offered first on the next Feed.
    float m_Pending[MAX_SOFTWARE_DSP_PROCESS_CHANNELS][3] = {};
    ULONG m_PendingCount = 0;
};
static_assert(CDspInterleaveSrc::WORK_BUFFER_BYTES == 0x1E000);

// The creator the driver's start code registers for the wave streams (SetRateChainCreator).
NTSTATUS CreateSampleRateChain(IRateChain **chain);
