// Power-of-two FFT transforms over a spec (spec.h): the real forward / inverse transforms with
// their packed spectrum, the packed-spectrum product, and the kernels and drivers under them.
//
// Conventions:
// - Forward X[k] = sum x[n] exp(-2 pi i k n / N), inverse with exp(+2 pi i k n / N), both
//   unnormalised; the spec's factor is applied to a direction whose scaling flag is set, once
//   per point (so flag 1 / flag 2 results equal the unscaled ones times 2^-order exactly).
// - Complex data: interleaved float32 (re, im) pairs.
// - Packed spectrum of N >= 2 real points, N floats: [X0, X(N/2), Re X1, Im X1, ...,
//   Re X(N/2-1), Im X(N/2-1)]. N = 1: [X0].
// - Inside one butterfly or recombination step the arithmetic runs in double and rounds to
//   float on store.
// - No locks, no state. A transform allocates only when the spec needs a work buffer
//   (spec->workSize > 0: complex orders 13 and up, real orders 14 and up) and the caller gave
//   none; it then allocates and frees one for the call (kErrNoMemory when that fails, nothing written).
#pragma once

#include <cstdint>

#include "dsp/fft/spec.h"

namespace dsp::generic
{

// ---- Public transforms -----------------------------------------------------------------------
// src and dst hold N = 2^order floats and may be the same array (otherwise src is only read).
// work: null, or at least the workSize of fftRealGetSize bytes at any alignment.
// Checks in order: spec null kErrNullPointer; spec->id != 6 kErrBadTag; src or dst null kErrNullPointer.
Status fftRealForward(const float *src, float *dst, const FftSpec *spec, void *work);
// src: a packed spectrum; dst: N real samples. Same checks.
Status fftRealInverse(const float *src, float *dst, const FftSpec *spec, void *work);

// srcDst = srcDst * src, bin by bin, both packed spectra of len floats: element 0 real, for an
// even len element 1 real too and (re, im) pairs from element 2, for an odd len pairs from
// element 1. Each pair in double, rounded once. Checks: null kErrNullPointer, then len <= 0 kErrBadLength.
Status mulPackSpectrumInPlace(const float *src, float *srcDst, int32_t len);

// ---- Kernels and drivers (internal: no checks) ---------------------------------------------
enum class FftDirection
{
    Forward,
    Inverse
};

// Recombination of the half-length complex transform (M complex values) into the packed
// spectrum and back; entries 1..M/2-1 of the recombination table are read. The forward runs in
// place after the DC step; the inverse writes dst (may equal src) points 1..M-1.
void fftRecombineForward(float *z, int32_t M, const float *table);
void fftRecombineInverse(const float *src, float *dst, int32_t M, const float *table);

// Bit-reversal permutation of count = 2^p complex values by the swap-list table of order p.
void bitReversePermute(float *data, int32_t count, const int32_t *table);
void bitReverseCopy(const float *src, float *dst, int32_t count, const int32_t *table);

// In-place radix-4 (plus radix-2 for odd orders) kernel: count = N complex values, 4..1024 (or
// any power of two up to the table's order), bit-reversed in, natural order out, unscaled.
// table: the radix twiddles of order log2(count). count < 4 leaves the data alone.
void fftKernelGeneric(float *data, int32_t count, const float *table);
void fftKernelGenericInverse(float *data, int32_t count, const float *table);

// Complex transform of order m > 10 from src to dst (src may equal dst) with the spec's
// large-order tables; work: spec->workSize bytes, 32-byte aligned. Scaled per the direction's
// flag.
void fftComplexDriver(const FftSpec *spec, const float *src, float *dst, int32_t order, void *work,
                      FftDirection dir);
// One split level at depth >= 0 on 2^order bit-reversed values in place.
void fftSplitLevel(const FftSpec *spec, float *data, int32_t order, int32_t depth, void *work,
                   FftDirection dir);
// Radix-2 DIT stages with half-spans span, 2 span, ..., count/2 over count complex values whose
// blocks of span values are already transformed; table: the completion twiddles of order
// log2(count).
void fftRadix2Completion(float *data, int32_t count, int32_t span, const float *table, FftDirection dir);

// ---- Shared by the transform entries ------------------------------------------------------

enum class FftKind
{
    Real,
    Complex
};

// The body of every transform entry: checks (spec null kErrNullPointer, id not 6 / 4 kErrBadTag, arrays null
// kErrNullPointer), the closed forms for orders 0..3, else the work buffer (kErrNoMemory) and the transform
// of that kind and direction, both directions of both kinds. The complex kind runs only forward from the
// entries.
Status fftTransform(const FftSpec *spec, FftKind kind, FftDirection dir, const float *src, float *dst,
                    void *work);

// The entry checks with the table layout the caller reads: spec null kErrNullPointer; id or layout
// another kErrBadTag; src or dst null kErrNullPointer.
Status fftCheckTransform(const FftSpec *spec, int32_t id, int32_t layout, const void *src, const void *dst);
// fftTransform after its checks, over generic tables.
Status fftTransformBody(const FftSpec *spec, FftKind kind, FftDirection dir, const float *src, float *dst,
                        void *work);
// The closed forms of orders 0..3 of that kind and direction, scaled as the FFT record says.
void fftSmallTransform(const FftSpec *spec, FftKind kind, FftDirection dir, const float *src, float *dst);
// Whether the spec scales that direction's result.
bool fftScales(const FftSpec *spec, FftDirection dir);

// A transform's work buffer: the caller's rounded up to 32 bytes, or, when the spec has a work
// size and the caller gave none, one allocated for the call and freed on destruction.
class FftWork
{
public:
    FftWork() = default;
    FftWork(const FftWork &) = delete;
    FftWork &operator=(const FftWork &) = delete;
    ~FftWork();

    // kErrNoMemory when the allocation fails.
    Status acquire(const FftSpec *spec, void *callerWork);
    void *get() const { return area_; }

private:
    void *area_ = nullptr;
    void *owned_ = nullptr;
};

// Complex transform of order >= 2 over the spec's tables, src to dst (may be equal): one kernel
// up to order 10 (scaled over the whole array), the driver above.
void fftComplexTransform(const FftSpec *spec, const float *src, float *dst, int32_t order, void *work,
                         FftDirection dir);

// ---- Closed forms of orders 0..3 ---------------------------------------------------------
using RealSmallKernel = void (*)(const float *src, float *dst);
using RealSmallKernelScaled = void (*)(const float *src, float *dst, float factor);

extern const RealSmallKernel rfftCopy1;
extern const RealSmallKernelScaled rfftScale1;
extern const RealSmallKernel rfftPair2;
extern const RealSmallKernelScaled rfftPairScaled2;
extern const RealSmallKernel rfftForward4;
extern const RealSmallKernelScaled rfftForwardScaled4;
extern const RealSmallKernel rfftInverse4;
extern const RealSmallKernelScaled rfftInverseScaled4;
extern const RealSmallKernel rfftForward8;
extern const RealSmallKernelScaled rfftForwardScaled8;
extern const RealSmallKernel rfftInverse8;
extern const RealSmallKernelScaled rfftInverseScaled8;

// By order 0..3.
extern const RealSmallKernel kRealForwardSmall[4];
extern const RealSmallKernelScaled kRealForwardSmallScaled[4];
extern const RealSmallKernel kRealInverseSmall[4];
extern const RealSmallKernelScaled kRealInverseSmallScaled[4];

// Direct forward and inverse DFTs of 1, 2, 4 and 8 complex points (src may equal dst), plain and
// with every output multiplied by the factor, by order 0..3.
extern const RealSmallKernel kComplexForwardSmall[4];
extern const RealSmallKernelScaled kComplexForwardSmallScaled[4];
extern const RealSmallKernel kComplexInverseSmall[4];
extern const RealSmallKernelScaled kComplexInverseSmallScaled[4];

} // namespace dsp::generic
