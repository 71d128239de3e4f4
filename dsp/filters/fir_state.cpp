#include "dsp/filters/fir_state.h"

#include <bit>
#include <climits>
#include <cstddef>
#include <cstring>

#include "dsp/core/vector.h"
#include "dsp/fft/fft.h"

namespace dsp::generic
{
namespace
{

constexpr int64_t kHeaderBytes = sizeof(FirState);
constexpr int64_t kGapBytes = 16;
constexpr int64_t kSpareBytes = 16384;
// Header, gap, spare area and the room to align any buffer to 16 bytes.
constexpr int64_t kFixedBytes = kHeaderBytes + kGapBytes + kSpareBytes + 16;
// Shorter filters gain nothing from the transform: every block runs direct.
constexpr int32_t kFftMinTaps = 64;

unsigned char *bytesOf(FirState *s)
{
    return reinterpret_cast<unsigned char *>(s);
}

} // namespace

int32_t firFftOrder(int32_t tapCount)
{
    if (tapCount < kFftMinTaps)
        return 0;
    // bit_width(L) = floor(log2 L) + 1: N = 2^order is the smallest power of two above 2L.
    return static_cast<int32_t>(std::bit_width(static_cast<uint32_t>(tapCount))) + 1;
}

Status firSingleSizes(int32_t tapCount, FirSingleSizes *sizes)
{
    if (tapCount <= 0)
        return kErrFirLength;
    const int64_t L = tapCount;
    FirSingleSizes z{};
    z.tapsBytes = firTapsBytes(L);
    z.delayBytes = firRoundDown16(12 * L + 31);
    z.order = firFftOrder(tapCount);
    if (z.order > 0)
    {
        int32_t spec = 0, init = 0, work = 0;
        // An order the transforms cannot take leaves the filter on the direct path.
        if (fftRealGetSize(z.order, kFftScaleInverse, 0, &spec, &init, &work) == kOk)
        {
            z.fftLength = int32_t{1} << z.order;
            z.spectrumBytes = 4 * int64_t{z.fftLength};
            z.specBytes = spec;
            z.initBytes = init;
            z.workBytes = work;
        }
    }
    z.bufferSize = kFixedBytes + z.tapsBytes + z.delayBytes + 2 * z.spectrumBytes + z.specBytes +
                   z.initBytes + z.workBytes;
    if (z.bufferSize > INT32_MAX)
        return kErrFirLength;
    *sizes = z;
    return kOk;
}

Status firGetStateSize(int32_t tapCount, int32_t *size)
{
    if (size == nullptr)
        return kErrNullPointer;
    FirSingleSizes z;
    if (const Status s = firSingleSizes(tapCount, &z); s != kOk)
        return s;
    *size = static_cast<int32_t>(z.bufferSize);
    return kOk;
}

void firStoreReversed(const float *taps, int32_t count, float *dst)
{
    // Word copies: NaN payloads, signalling NaNs and signed zeros pass unchanged.
    for (int32_t k = 0; k < count; ++k)
        std::memcpy(dst + k, taps + (count - 1 - k), sizeof(float));
}

FirSingleAreas firSingleAreas(const FirSingleSizes &sizes, int64_t specBytes, int64_t initBytes,
                              int64_t scratchBytes)
{
    FirSingleAreas a{};
    int64_t at = kHeaderBytes;
    auto take = [&at](int64_t bytes)
    {
        const int64_t here = at;
        at += bytes;
        return here;
    };
    a.revTaps = take(sizes.tapsBytes);
    a.delay = take(sizes.delayBytes);
    a.gap = take(kGapBytes);
    a.spec = take(specBytes);
    a.init = take(initBytes);
    a.spectrum = take(sizes.spectrumBytes);
    a.scratch = take(scratchBytes);
    a.work = take(sizes.spectrumBytes);
    a.spare = take(kSpareBytes);
    a.end = at;
    return a;
}

void firFillSingle(FirState *state, const FirSingleAreas &areas, int32_t scratchBytes, const float *taps,
                   int32_t tapCount, const float *delayLine)
{
    std::memset(state, 0, sizeof(FirState));
    state->tag = kFirTagSingle;
    state->tapCount = tapCount;
    state->history = tapCount;
    state->blockLimit = ((tapCount + 3) & ~3) + 1;
    state->revTaps = static_cast<int32_t>(areas.revTaps);
    state->delay = static_cast<int32_t>(areas.delay);
    state->gap = static_cast<int32_t>(areas.gap);
    state->fftWork = static_cast<int32_t>(areas.work);
    state->workspace = static_cast<int32_t>(areas.spare);
    state->fftScratchSize = scratchBytes;
    state->fftLength = -1;
    // Cleared above and named here because the runs read them: the delay offset, the multi-rate
    // tables, the spec, the tap spectrum, the scratch pointer and the owned flag are all 0.
    firStoreReversed(taps, tapCount, firArea<float>(state, state->revTaps));
    float *d = firArea<float>(state, state->delay);
    if (delayLine != nullptr)
        firStoreReversed(delayLine, tapCount, d);
    else
        zeroF32(d, tapCount);
}

Status firTransformTaps(FirState *state, const float *taps, const FftSpec *spec)
{
    const int32_t n = int32_t{1} << spec->order;
    float *spectrum = firArea<float>(state, state->tapSpectrum);
    copyF32(taps, spectrum, state->tapCount);
    zeroF32(spectrum + state->tapCount, n - state->tapCount);
    return fftRealForward(spectrum, spectrum, spec, firArea<void>(state, state->fftScratch));
}

Status firInit(FirState **state, const float *taps, int32_t tapCount, const float *delayLine, void *buffer)
{
    if (state == nullptr || taps == nullptr || buffer == nullptr)
        return kErrNullPointer;
    FirSingleSizes z;
    if (const Status s = firSingleSizes(tapCount, &z); s != kOk)
        return s;

    FirState *st = firRecordAt(buffer);
    const FirSingleAreas areas = firSingleAreas(z, z.specBytes, z.initBytes, z.workBytes);
    firFillSingle(st, areas, static_cast<int32_t>(z.workBytes), taps, tapCount, delayLine);

    if (z.fftLength > 0)
    {
        FftSpec *spec = nullptr;
        void *init = z.initBytes > 0 ? bytesOf(st) + areas.init : nullptr;
        if (fftRealInit(&spec, z.order, kFftScaleInverse, 0, bytesOf(st) + areas.spec, init) == kOk)
        {
            st->fftSpec = static_cast<int32_t>(reinterpret_cast<unsigned char *>(spec) - bytesOf(st));
            st->tapSpectrum = static_cast<int32_t>(areas.spectrum);
            st->fftScratch = z.workBytes > 0 ? static_cast<int32_t>(areas.scratch) : 0;
            st->fftLength = z.fftLength;
            if (firTransformTaps(st, taps, spec) != kOk)
                st->fftLength = -1;
        }
    }
    *state = st;
    return kOk;
}

} // namespace dsp::generic
