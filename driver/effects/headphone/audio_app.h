// AudioApp: the headphone surround's engine around the core. It frames the stream into blocks of
// m_nDataLen samples (512 at the core's 44100 Hz; factor x 512 above it, 512 / factor below),
// converts every input channel to the core rate and the two ears back (SRC, factor 2 or 4; a
// factor of 1 runs the core at the stream's own rate), runs the core, and hands the previous
// block's ears back in place of the samples it takes in: the output lags the input by exactly
// m_nDataLen samples (3 x m_nDataLen with the linear-phase converters).
//
// Create and Setup allocate (PASSIVE_LEVEL; Setup must not overlap Process). Process runs at
// DISPATCH_LEVEL under the caller's lock with the floating-point state saved, without allocating.
#pragma once

#include "driver/effects/headphone/headphonefir.h"
#include "driver/effects/headphone/src.h"

#include <cstdint>

class AudioApp
{
public:
    static constexpr int32_t EachChannelSampleCntMax = 1024;
    static constexpr int32_t MAX_CHANNELS = 8;
    static constexpr int32_t CORE_RATE = 44100;
    static constexpr int32_t OUTPUTS = 2;

    AudioApp() = default;
    ~AudioApp() { FreeBuffers(); }
    AudioApp(const AudioApp &) = delete;
    AudioApp &operator=(const AudioApp &) = delete;

    // The core's buffers and FFT spec; false when an allocation fails.
    bool Create() { return m_Core.Create(); }

    // Rebuilds the block buffers (8 input channels, 2 outputs) and converters for a stream at
    // `rate`: factor rate / 44100 above the core rate, 44100 / rate below it, 1, 2 or 4 (others,
    // and a rate <= 0, fail). linearPhase picks LinearPhaseIIR converters over the plain pairs.
    // Resets the fill position, sets the latency position to outputOffset (0 when it exceeds
    // m_nDataLen) and clears the core's history. False: not ready (Process refuses) until a
    // set-up succeeds.
    bool Setup(int32_t rate, int32_t nInCh, int32_t nOutCh, int32_t outputOffset, bool linearPhase = false);
    bool IsReady() const { return m_bReady; }

    // count samples of channels[0..nInCh-1] in, the ears out to channels[0] and [1] in place
    // (the other channels keep their samples). nInCh 2, 6 or 8 and nOutCh 2, else the checks
    // fail and nothing is touched: false (the caller's passthrough).
    bool Process(float *const *channels, int32_t nInCh, int32_t nOutCh, int32_t count);

    headphonefir m_Core;
    int32_t m_nStreamRate = 0;
    int32_t m_nCoreRate = CORE_RATE;
    int32_t m_nDataLen = 0;
    int32_t m_nSrcFactor = 1;
    int32_t m_nDirection = 0; // +1 stream above the core rate, -1 below, 0 equal
    int32_t m_nInCh = 0, m_nOutCh = 0;
    int32_t m_nFill = 0;
    int32_t m_nOutputOffset = 512;
    int32_t m_nLatencyPos = 0;
    float m_fGuard = 1.0f;

private:
    void FreeBuffers();
    void RunBlock(int32_t nInCh);

    bool m_bReady = false;
    bool m_bLinearPhase = false;
    float *m_pMem = nullptr; // one "QVRP" block: input blocks, converted blocks, ears, outputs
    float *m_pIn[MAX_CHANNELS] = {};
    float *m_pConv[MAX_CHANNELS] = {};
    float *m_pEar[OUTPUTS] = {};
    float *m_pOut[OUTPUTS] = {};
    SRC *m_pSrc = nullptr; // "QVRP": MAX_CHANNELS input converters, then OUTPUTS output ones
};
