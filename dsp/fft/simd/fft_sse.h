// The SSE variants' FFT (tuning 1): its specs, size queries and transforms, the implementations the
// FFT rows of the dispatcher name at indices 1-5. One tuning serves every index: it needs SSE only.
//
// A tuning-1 spec has the generic spec's header and checks; it records kFftLayoutTuning1, and only
// these transforms accept it (the generic ones refuse it with kErrBadTag, and these refuse a
// generic spec the same way). Up to complex order 17 its kernels read their own tables:
// - bit reversal: 2^m/4 int32 entries 2 rev(i) (the float offset of value rev_(m-2)(i)), then 0;
// - kernel twiddles: radix-4 sections of 24 floats per four k, then for odd orders one radix-2
//   section of 8 floats per four k;
// - recombination: blocks of eight floats for k = 4j+1..4j+4, the four first components then the
//   four second ones, each in the order k = 4j+2, 4j+1, 4j+4, 4j+3.
// Such an FFT record asks for a work buffer (its kernels need scratch where the generic one does not):
// work r32(8M + 31) + 32 bytes with M the complex length. Above complex order 17 the large-order
// driver runs over tables of its own (fft_large_sse.h).
//
// Results: the same transforms up to float rounding (every product and sum rounded to float).
#pragma once

#include <cstdint>

#include "dsp/fft/spec.h"

namespace dsp::sse
{

// The size queries and inits, with the generic ones' checks, codes and order.
Status fftRealGetSize(int32_t order, int32_t flag, int32_t hint, int32_t *specSize, int32_t *initSize,
                      int32_t *workSize);
Status complexFftSpecSize(int32_t order, int32_t flag, int32_t hint, int32_t *specSize, int32_t *initSize,
                          int32_t *workSize);
Status fftRealInit(FftSpec **specOut, int32_t order, int32_t flag, int32_t hint, void *specBuffer,
                   void *initBuffer);
Status complexFftSpecInit(FftSpec **specOut, int32_t order, int32_t flag, int32_t hint, void *specBuffer,
                          void *initBuffer);

// The transforms, with the generic ones' contract (dsp/fft/transform.h) over tuning-1 specs.
Status fftRealForward(const float *src, float *dst, const FftSpec *spec, void *work);
Status fftRealInverse(const float *src, float *dst, const FftSpec *spec, void *work);
Status fftComplexInverse(const float *src, float *dst, const FftSpec *spec, void *work);

// The dispatcher's FFT rows (dsp/fft/entries.h's contract).
Status fftCreateReal(FftSpec **spec, int32_t order, int32_t flag, int32_t hint);
Status fftFreeReal(FftSpec *spec);
Status fftForwardRealInPlace(float *buf, const FftSpec *spec, void *work);
Status fftInverseRealInPlace(float *buf, const FftSpec *spec, void *work);
Status fftCreateComplex(FftSpec **spec, int32_t order, int32_t flag, int32_t hint);
Status fftFreeComplex(FftSpec *spec);
Status fftForwardComplex(const float *src, float *dst, const FftSpec *spec, void *work);

// ---- Kernels (internal: no checks) -------------------------------------------------------
// count N = 2^m complex values; twiddles and reverse: a tuning-1 spec's tables of order m; work:
// 8N bytes. Data may sit at any 4-byte alignment. chunk: the values whose first stages run
// together before the whole-array stages (2048; 0 runs every stage over the whole array, the
// same results).
inline constexpr int32_t kFftChunkValues = 2048;
// Natural-order src to natural-order dst (may be the same array), N >= 8.
void fftKernelReorder(const float *src, float *dst, int32_t count, const float *twiddles,
                      const int32_t *reverse, void *work, bool inverse, int32_t chunk = kFftChunkValues);
// Bit-reversed data in place to natural order, N >= 16. finalLayout 1: interleaved pairs;
// otherwise each four values as four real parts then four imaginary parts.
void fftKernelInPlace(float *data, int32_t count, const float *twiddles, bool inverse, int32_t finalLayout,
                      int32_t chunk = kFftChunkValues);
// Recombination of the half-length transform (count = M complex values, M >= 8) into the packed
// spectrum and back, by the tuning-1 tables; the caller forms positions 0 and 1.
void fftRecombineForward(float *z, int32_t count, const float *table);
void fftRecombineInverse(const float *src, float *dst, int32_t count, const float *table);
// The bit-reversal permutation of count >= 16 values by the tuning-1 table, src to dst (may be the
// same array; otherwise the two must not overlap).
void fftBitReverse(const float *src, float *dst, int32_t count, const int32_t *reverse);

// One radix-4 pass over blocks of four quarters of `quarter` values (a multiple of 4), in the split
// layout, in to out (may be the same): x0 + W(2k) x1 ... as one stage of the in-place kernel does,
// twiddles in its section layout (24 floats per four k), restarting at every block.
void fftRadix4Pass(const float *in, float *out, int32_t quarter, int32_t blocks, const float *twiddles,
                   bool inverse);
// One radix-2 pass over blocks of two halves of `half` values: x0 +- W x1, twiddles 8 floats per four k.
void fftRadix2Pass(const float *in, float *out, int32_t half, int32_t blocks, const float *twiddles,
                   bool inverse);

// ---- Table builders (internal) -------------------------------------------------------------
// Each writes at the address given and returns the first multiple of 32 at or after its end.
// The plain bit-reversal table of complex order m >= 2: 2^(m-2) entries 2 rev_(m-2)(i), then 0.
unsigned char *fftBuildPlainReverse(int32_t m, int32_t *table);
// The kernel twiddles of complex order m (radix-4 sections, then for odd m the radix-2 one).
unsigned char *fftBuildKernelTwiddles(int32_t m, const float *sine, int32_t sineOrder, float *out);
// Four consecutive k from k0: the cosines, then the stored negative sines, of W_h(mult k); returns
// out + 8.
float *fftPutTwiddles(const generic::FftSineReader &reader, int64_t h, int64_t k0, int64_t mult, float *out);

} // namespace dsp::sse
