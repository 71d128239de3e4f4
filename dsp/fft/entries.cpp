#include "dsp/fft/entries.h"

#include "dsp/core/alloc.h"
#include "dsp/fft/transform.h"

namespace dsp::generic
{

namespace
{

// Frees an allocAligned block at scope exit unless released.
class AlignedBlock
{
public:
    explicit AlignedBlock(void *p) : p_(p) {}
    AlignedBlock(const AlignedBlock &) = delete;
    AlignedBlock &operator=(const AlignedBlock &) = delete;
    ~AlignedBlock() { freeAligned(p_); }
    void *get() const { return p_; }
    void *release()
    {
        void *p = p_;
        p_ = nullptr;
        return p;
    }

private:
    void *p_;
};

Status freeSpec(FftSpec *spec, int32_t id)
{
    if (!spec)
        return kErrNullPointer;
    if (spec->id != id)
        return kErrBadTag;
    spec->id = 0;
    if (spec->owned == 1)
        freeAligned(spec);
    return kOk;
}

} // namespace

Status fftCreateSpec(FftSpec **out, int32_t order, int32_t flag, int32_t hint, FftSizeQuery sizes,
                     FftSpecInit init)
{
    if (!out)
        return kErrNullPointer;
    int32_t specSize, initSize, workSize;
    if (Status s = sizes(order, flag, hint, &specSize, &initSize, &workSize))
        return s;
    AlignedBlock block(allocAligned(specSize));
    if (!block.get())
        return kErrNoMemory;
    AlignedBlock scratch(initSize > 0 ? allocAligned(initSize) : nullptr);
    if (initSize > 0 && !scratch.get())
        return kErrNoMemory;
    FftSpec *spec = nullptr;
    if (Status s = init(&spec, order, flag, hint, block.get(), scratch.get()))
        return s;
    // allocAligned's block is already 32-aligned, so the record starts at it and the release
    // below frees exactly this block.
    block.release();
    spec->owned = 1;
    *out = spec;
    return kOk;
}

Status fftCreateReal(FftSpec **spec, int32_t order, int32_t flag, int32_t hint)
{
    return fftCreateSpec(spec, order, flag, hint, fftRealGetSize, fftRealInit);
}

Status fftFreeReal(FftSpec *spec)
{
    return freeSpec(spec, kFftIdReal);
}

Status fftForwardRealInPlace(float *buf, const FftSpec *spec, void *work)
{
    return fftRealForward(buf, buf, spec, work);
}

Status fftInverseRealInPlace(float *buf, const FftSpec *spec, void *work)
{
    return fftRealInverse(buf, buf, spec, work);
}

Status fftCreateComplex(FftSpec **spec, int32_t order, int32_t flag, int32_t hint)
{
    return fftCreateSpec(spec, order, flag, hint, complexFftSpecSize, complexFftSpecInit);
}

Status fftFreeComplex(FftSpec *spec)
{
    return freeSpec(spec, kFftIdComplex);
}

Status fftForwardComplex(const float *src, float *dst, const FftSpec *spec, void *work)
{
    return fftTransform(spec, FftKind::Complex, FftDirection::Forward, src, dst, work);
}

} // namespace dsp::generic
