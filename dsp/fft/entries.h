// The FFT object entries behind the dispatcher rows: allocating creates, releases, the in-place
// real transforms and the complex forward transform.
//
// Create: out pointer null kErrNullPointer; then the size query's error unchanged (kErrFftOrder, kErrFftFlag)
// before any allocation; spec block (and, for orders above 10, a temporary init buffer) from allocAligned,
// kErrNoMemory when either fails (what was taken is freed; *spec untouched); the init buffer is always
// freed before returning. Success: owned flag 1, *spec set, kOk.
// Free: null kErrNullPointer; id not 6 (real) / 4 (complex) kErrBadTag; clears the id (also of a
// caller-memory spec, which then answers kErrBadTag to any later use) and frees the block only when owned
// is 1.
#pragma once

#include <cstdint>

#include "dsp/fft/spec.h"

namespace dsp::generic
{

Status fftCreateReal(FftSpec **spec, int32_t order, int32_t flag, int32_t hint);

// The create above over any pair of size query and init (the faster variants' own).
using FftSizeQuery = Status (*)(int32_t, int32_t, int32_t, int32_t *, int32_t *, int32_t *);
using FftSpecInit = Status (*)(FftSpec **, int32_t, int32_t, int32_t, void *, void *);
Status fftCreateSpec(FftSpec **out, int32_t order, int32_t flag, int32_t hint, FftSizeQuery sizes,
                     FftSpecInit init);
Status fftFreeReal(FftSpec *spec);
// fftRealForward / fftRealInverse with buf as source and destination; their checks and codes.
Status fftForwardRealInPlace(float *buf, const FftSpec *spec, void *work);
Status fftInverseRealInPlace(float *buf, const FftSpec *spec, void *work);

Status fftCreateComplex(FftSpec **spec, int32_t order, int32_t flag, int32_t hint);
Status fftFreeComplex(FftSpec *spec);
// Forward complex FFT of 2^order interleaved pairs, src to dst (may be the same array).
// Checks: spec null kErrNullPointer; id != 4 kErrBadTag; src or dst null kErrNullPointer. work: null or the
// complex size query's workSize bytes; kErrNoMemory when one is needed, none is given and the allocation
// fails.
Status fftForwardComplex(const float *src, float *dst, const FftSpec *spec, void *work);

} // namespace dsp::generic
