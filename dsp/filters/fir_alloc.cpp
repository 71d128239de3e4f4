#include "dsp/filters/fir_alloc.h"

#include <climits>
#include <cstring>

#include "dsp/core/alloc.h"
#include "dsp/fft/fft.h"

namespace dsp::generic
{
Status fftSpecWorkSize(const FftSpec *spec, int32_t *size)
{
    if (spec == nullptr || size == nullptr)
        return kErrNullPointer;
    if (spec->id != kFftIdReal)
        return kErrBadTag;
    *size = spec->workSize > 0 ? spec->workSize + 32 : 0;
    return kOk;
}

Status firInitAllocKernel(FirState **stateOut, const float *taps, int32_t tapCount, const float *delayLine,
                          uint32_t tag)
{
    if (tag != kFirTagSingle)
        return kErrBadTag;
    // The caller-buffer size bounds this block, so both refuse the same tap counts.
    FirSingleSizes z;
    if (const Status s = firSingleSizes(tapCount, &z); s != kOk)
        return s;

    FftSpec *spec = nullptr;
    int32_t scratchBytes = 0;
    if (z.order > 0)
    {
        if (const Status s = fftCreateReal(&spec, z.order, kFftScaleInverse, 0); s != kOk)
            return s;
        if (const Status s = fftSpecWorkSize(spec, &scratchBytes); s != kOk)
        {
            fftFreeReal(spec);
            return s;
        }
    }
    const FirSingleAreas areas = firSingleAreas(z, 0, 0, scratchBytes);
    void *block = areas.end <= INT32_MAX ? allocAligned(static_cast<int32_t>(areas.end)) : nullptr;
    if (block == nullptr)
    {
        if (spec != nullptr)
            fftFreeReal(spec);
        return kErrNoMemory;
    }

    // allocAligned's blocks are 32-byte aligned: the record starts at the block itself.
    auto *st = static_cast<FirState *>(block);
    firFillSingle(st, areas, scratchBytes, taps, tapCount, delayLine);
    st->owned = 1;

    if (spec != nullptr)
    {
        // No offset reaches a separate allocation: the address goes into the gap.
        std::memcpy(firArea<unsigned char>(st, st->gap), &spec, sizeof spec);
        st->fftSpec = kFirSpecInGap;
        st->fftLength = int32_t{1} << z.order;
        st->tapSpectrum = static_cast<int32_t>(areas.spectrum);
        st->fftScratch = scratchBytes > 0 ? static_cast<int32_t>(areas.scratch) : 0;
        if (const Status s = firTransformTaps(st, taps, spec); s != kOk)
        {
            fftFreeReal(spec);
            freeAligned(block);
            return s;
        }
    }
    *stateOut = st;
    return kOk;
}

Status firCreateF32(FirState **stateOut, const float *taps, int32_t tapCount, const float *delayLine)
{
    if (stateOut == nullptr || taps == nullptr)
        return kErrNullPointer;
    if (tapCount <= 0)
        return kErrFirLength;
    return firInitAllocKernel(stateOut, taps, tapCount, delayLine, kFirTagSingle);
}

Status firFree(FirState *state)
{
    if (state == nullptr)
        return kErrNullPointer;
    if (state->tag != kFirTagSingle && state->tag != kFirTagMultirate)
        return kErrBadTag;
    if (state->owned == 0)
        return kOk;
    if (FftSpec *spec = firFftSpec(state); spec != nullptr)
        fftFreeReal(spec);
    state->tag = 0;
    freeAligned(state);
    return kOk;
}

} // namespace dsp::generic
