// headphonefir: the headphone surround's core. Per 512-sample block at 44100 Hz it turns 2, 6 or
// 8 input channels (FL, FR, FC, LFE, BL, BR, SL, SR) into two ears by partitioned overlap-save
// convolution: 1024-point real FFTs of [previous block, current block], multiply-accumulated
// with the head filters (2 partitions) and the room tail (up to 7 partitions per ear), the
// crosstalk-cancel / room gains applied to the ear spectra, and the last 512 samples of the
// inverse transforms, x 2.0.
//
// Routing: with 8 inputs the side pair folds into the rear pair; the LFE adds to L and R (6, 8
// inputs). Head inputs c = L, R, C, RL, RR (2 inputs: L, R) use filters 2c (left ear) and 2c + 1
// (right ear) of a 10-filter set; a 5-filter set holds the front pair's ipsi- and contralateral
// responses, the centre and the rear pair's, run as sum and difference of each pair. The tail's
// input is the sum of the head inputs; tail filter 0 feeds the left ear, 1 the right.
//
// Threads: Create/Destroy at PASSIVE_LEVEL. RequestFilters and RequestTail only record a request
// (any thread, no lock); the next Process, under the caller's lock at DISPATCH_LEVEL with the
// floating-point state saved, applies it: a filter change crossfades the block from the old to
// the new filters, a tail selection clears the history. Process never allocates.
#pragma once

#include "dsp/core/status.h"

#include <atomic>
#include <cstdint>

namespace dsp
{
struct FftSpec;
}

inline constexpr int32_t HEADPHONEFIR_N = 512;
inline constexpr int32_t ROOMSIZE_UNDEFINED = -1;
inline constexpr int32_t SPEAKERANGLE_UNDEFINED = -1;
inline constexpr int32_t CTCANGLE_UNDEFINED = -1;

// dst += a * b over len floats of the real spectrum layout: float 0 and, for an even len, float 1
// are real; then complex pairs, each as dst.re + (a.re b.re - a.im b.im), dst.im + (a.re b.im +
// a.im b.re) in float. dst may be a or b. Null -8, len <= 0 -6, nothing written.
dsp::Status SpectrumMulAcc(const float *a, const float *b, float *dst, int32_t len);
// 256 real gains to a 1024-float spectrum of the same layout: float 0 (DC) <- g[0], float 1 (bin
// 512) <- g[255], floats 2k, 2k + 1 (bin k = 1..511) <- g[k / 2]; for mulInPlaceF32. Null -8,
// n != 256 -6, nothing written.
dsp::Status GainsToSpectrum(const float *gains, float *dst, int32_t n);

class headphonefir
{
public:
    static constexpr int32_t FFT_LEN = 2 * HEADPHONEFIR_N;
    static constexpr int32_t HEAD_INPUTS = 5;
    static constexpr int32_t HEAD_FILTERS = 10;
    static constexpr int32_t HEAD_PARTS = 2;
    static constexpr int32_t TAIL_PARTS = 7;
    static constexpr int32_t GAINS = 256;

    headphonefir() = default;
    ~headphonefir() { Destroy(); }
    headphonefir(const headphonefir &) = delete;
    headphonefir &operator=(const headphonefir &) = delete;

    // Every buffer ("QVRP", the crossfade pair "HFIR"), the FFT spec and its 16 KiB work
    // buffer; unity gains, silence, no filters. False, nothing kept, when an allocation fails.
    bool Create();
    void Destroy();
    bool IsCreated() const { return m_pMem != nullptr; }
    // Clears the history rings and the previous blocks.
    void Reset();

    // Room (size code 1..3) and angle code (24, 25, 29, 30, 31, 34, 35, 39, 40); others fail
    // their check and are taken as 2 and 24. Applied by the next Process.
    void RequestFilters(int32_t room, int32_t angle);
    // Tail selection 5, 10, 15, 20, 30 (a gain table) or any other code (unity); applied by the
    // next Process unless it equals the current one.
    void RequestTail(int32_t nCTCAngle);

    // Loads the table set of (room, angle) now (set-up), mapped as RequestFilters.
    bool LoadTable(int32_t room, int32_t angle);
    // Loads caller filters now: nhead (5 or 10) head filters of headlen taps (512 or 1024) one
    // after the other, ntail (2) tail filters of tailen taps (0..3584, a multiple of 512).
    // A refused set fails its check and leaves the filters as they were: false.
    bool LoadFilters(const float *head, int32_t nhead, int32_t headlen, const float *tail, int32_t ntail,
                     int32_t tailen);
    // Applies a tail selection now.
    void SelectTail(int32_t nCTCAngle);

    // One block: in[0..nInCh-1] (the fold writes the rear pair in place), out[0], out[1] (len
    // floats each, not overlapping the inputs). Failed channel or length checks, or no buffers:
    // nothing written, false.
    bool Process(float *const *in, int32_t nInCh, float *const *out, int32_t nOutCh, int32_t len);

    int32_t m_nRoom = ROOMSIZE_UNDEFINED;
    int32_t m_nAngle = SPEAKERANGLE_UNDEFINED;
    bool m_bLoaded = false;
    int32_t m_nHeadParts = 0;
    int32_t m_nTailParts = 0;
    int32_t m_nHeadFilters = 0;
    int32_t m_nCTCAngle = CTCANGLE_UNDEFINED;
    bool m_bUnityGains = true;
    uint32_t m_nRuns = 0;       // blocks processed
    uint32_t m_nCrossfades = 0; // blocks crossfaded

    // The gains in the spectrum layout: 0 sum, 1 difference (FFT_LEN floats each).
    const float *GainSpectrum(int32_t which) const { return which ? m_pGd : m_pGs; }

private:
    bool Load(const void *head, int32_t nhead, int32_t headlen, const void *tail, int32_t tailen);
    void Spectra(float *const *in, int32_t nInCh);
    void Render(float *left, float *right, int32_t heads);
    void ConvertRings(int32_t from, int32_t to);
    float *HeadSpec(int32_t f, int32_t p) const { return m_pHead + (f * HEAD_PARTS + p) * FFT_LEN; }
    float *TailSpec(int32_t ear, int32_t p) const { return m_pTail + (ear * TAIL_PARTS + p) * FFT_LEN; }
    float *HeadRing(int32_t c, int32_t slot) const { return m_pHeadRing + (c * HEAD_PARTS + slot) * FFT_LEN; }
    float *TailRing(int32_t slot) const { return m_pTailRing + slot * FFT_LEN; }

    float *m_pMem = nullptr; // one "QVRP" block holding every array below
    float *m_pHead = nullptr, *m_pTail = nullptr, *m_pHeadRing = nullptr, *m_pTailRing = nullptr;
    float *m_pPrev = nullptr, *m_pCur = nullptr, *m_pEar[2] = {}, *m_pTmp = nullptr;
    float *m_pGs = nullptr, *m_pGd = nullptr;
    float *m_pFade = nullptr; // "HFIR": the new filters' two ears during a change
    void *m_pFftWork = nullptr;
    dsp::FftSpec *m_pSpec = nullptr;
    int32_t m_nHeadPos = 0, m_nTailPos = 0;

    // Requests: bit 31 pending, room in bits 8..15, angle in bits 0..7.
    std::atomic<uint32_t> m_ReqFilters{0};
    std::atomic<int32_t> m_ReqTail{CTCANGLE_UNDEFINED};
    std::atomic<bool> m_bReqTail{false};
};
