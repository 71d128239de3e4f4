#include "dsp/filters/fir_run.h"

#include <algorithm>
#include <cstddef>

#include "dsp/core/vector.h"
#include "dsp/fft/fft.h"
#include "dsp/filters/fir_multirate.h"

namespace dsp::generic
{
namespace
{

constexpr int32_t kFftMinBlock = 512;
constexpr int32_t kHeaderBytes = static_cast<int32_t>(sizeof(FirState));

// y[k] = sum over t of r[t] seq[k + t] for k < count, t ascending from +0.0 (r holds the taps
// reversed, so the oldest sample comes first). Four outputs share each pass over the taps; each
// keeps its own accumulator, so the grouping changes no bit.
void convolve(const float *seq, const float *r, int32_t taps, float *y, int32_t count)
{
    int32_t k = 0;
    for (; k + 4 <= count; k += 4)
    {
        const float *s = seq + k;
        double a0 = +0.0, a1 = +0.0, a2 = +0.0, a3 = +0.0;
        for (int32_t t = 0; t < taps; ++t)
        {
            const double c = r[t];
            a0 += c * s[t];
            a1 += c * s[t + 1];
            a2 += c * s[t + 2];
            a3 += c * s[t + 3];
        }
        y[k] = static_cast<float>(a0);
        y[k + 1] = static_cast<float>(a1);
        y[k + 2] = static_cast<float>(a2);
        y[k + 3] = static_cast<float>(a3);
    }
    for (; k < count; ++k)
    {
        const float *s = seq + k;
        double a = +0.0;
        for (int32_t t = 0; t < taps; ++t)
            a += static_cast<double>(r[t]) * s[t];
        y[k] = static_cast<float>(a);
    }
}

// n <= B: the block joins the history in the delay area's work room; the last L values of the
// joined sequence become the new history (an overlapping move toward lower addresses when
// n < L). The block is read completely before the first output is written.
void directShort(const float *x, float *y, int32_t n, FirState *st)
{
    const int32_t L = st->tapCount;
    float *d = firArea<float>(st, st->delay);
    copyF32(x, d + L, n);
    convolve(d + 1, firArea<float>(st, st->revTaps), L, y, n);
    copyF32Bytewise(d + n, d, L);
}

// n > B (> L): outputs 0..R-1 from the joined sequence, the rest straight from the source.
void directLong(const float *x, float *y, int32_t n, FirState *st)
{
    const int32_t L = st->tapCount;
    const int32_t B = st->blockLimit;
    const int32_t R = B - 1;
    const float *r = firArea<float>(st, st->revTaps);
    float *d = firArea<float>(st, st->delay);
    copyF32(x, d + L, B);
    convolve(d + 1, r, L, y, R);
    copyF32(x + (n - L), d, L);
    convolve(x + (R - L + 1), r, L, y + R, n - R);
}

void firDirectBlock(const float *x, float *y, int32_t n, FirState *st)
{
    st->delayOffset = 0;
    if (n <= st->blockLimit)
        directShort(x, y, n, st);
    else
        directLong(x, y, n, st);
}

// Overlap-save with N-point transforms: each transform of L - 1 history samples and E = N - L + 1
// new ones yields E outputs at W[L-1..N-1]; W[0..L-2] wrap around and are dropped.
Status firOverlapSaveBlock(const float *x, float *y, int32_t n, FirState *st, const FftSpec *spec)
{
    const int32_t L = st->tapCount;
    const int32_t N = st->fftLength;
    const int32_t E = N - L + 1;
    float *d = firArea<float>(st, st->delay);
    float *W = firArea<float>(st, st->fftWork);
    const float *H = firArea<float>(st, st->tapSpectrum);
    void *scratch = firArea<void>(st, st->fftScratch);

    // Product with the taps and the inverse; the forward transform is the caller's.
    auto filterPass = [&]() -> Status
    {
        mulPackSpectrumInPlace(H, W, N);
        return fftRealInverse(W, W, spec, scratch);
    };

    copyF32(d + 1, W, L - 1);
    st->delayOffset = 0;
    if (n <= E)
    {
        copyF32(x, W + (L - 1), n);
        copyF32(W + (n - 1), d, L);
        zeroF32(W + (L - 1 + n), E - n);
        if (const Status s = fftRealForward(W, W, spec, scratch); s < 0)
            return s;
        if (const Status s = filterPass(); s < 0)
            return s;
        copyF32(W + (L - 1), y, n);
        return kOk;
    }

    copyF32(x, W + (L - 1), E);
    if (const Status s = fftRealForward(W, W, spec, scratch); s < 0)
        return s;
    if (const Status s = filterPass(); s < 0)
        return s;
    copyF32(W + (L - 1), y, E);
    copyF32(x + (n - L), d, L);

    for (int32_t s = E; s < n; s += E)
    {
        const int32_t f = n - s;
        const int32_t g = std::min(f, E);
        const float *segment = x + (s - L + 1);
        Status status;
        if (f < N)
        {
            // The segment runs past the block: read what there is and pad with zeros.
            const int32_t have = std::min(f + L - 1, N);
            copyF32(segment, W, have);
            zeroF32(W + have, N - have);
            status = fftRealForward(W, W, spec, scratch);
        }
        else
        {
            status = fftRealForward(segment, W, spec, scratch);
        }
        if (status < 0)
            return status;
        if (const Status p = filterPass(); p < 0)
            return p;
        copyF32(W + (L - 1), y + s, g);
    }
    return kOk;
}

// A record that is not one this code builds is treated as foreign.
bool runnableSingle(const FirState *st)
{
    return st->tapCount >= 1 && st->revTaps >= kHeaderBytes && st->delay >= kHeaderBytes &&
           st->blockLimit == ((int64_t(st->tapCount) + 3) & ~int64_t(3)) + 1;
}

bool overlaps(const float *a, const float *b, int32_t n)
{
    const auto pa = reinterpret_cast<uintptr_t>(a);
    const auto pb = reinterpret_cast<uintptr_t>(b);
    const auto bytes = static_cast<uintptr_t>(n) * sizeof(float);
    return pa < pb + bytes && pb < pa + bytes;
}

Status filterSingle(const float *x, float *y, int32_t n, FirState *st)
{
    if (!runnableSingle(st))
        return kErrBadTag;
    if (x == y)
    {
        // Chunks of at most B: each is copied into the history area before any output of it is
        // written, so no input is overwritten before it is read.
        for (int32_t done = 0; done < n;)
        {
            const int32_t chunk = std::min(n - done, st->blockLimit);
            firDirectBlock(x + done, y + done, chunk, st);
            done += chunk;
        }
        return kOk;
    }
    if (overlaps(x, y, n))
        return kErrNullPointer;
    const FftSpec *spec = firFftSpec(st);
    if (n >= kFftMinBlock && st->fftLength > 0 && spec != nullptr && st->tapSpectrum != 0 && st->fftWork != 0)
        return firOverlapSaveBlock(x, y, n, st, spec);
    firDirectBlock(x, y, n, st);
    return kOk;
}

} // namespace

Status firFilterBlock(const float *source, float *destination, int32_t length, FirState *state)
{
    if (state == nullptr || source == nullptr || destination == nullptr)
        return kErrNullPointer;
    if (length <= 0)
        return kErrBadLength;
    if (state->tag == kFirTagSingle)
        return filterSingle(source, destination, length, state);
    if (state->tag == kFirTagMultirate)
        return firFilterBlockMultirate(source, destination, length, state);
    return kErrBadTag;
}

} // namespace dsp::generic
