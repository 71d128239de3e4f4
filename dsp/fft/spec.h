// FFT specs (FftSpec): the read-only record behind every real or complex power-of-two FFT, its
// size queries, its initialisations in caller memory and the table builders they chain.
//
// Lifecycle: size query (three byte counts: spec, init scratch, transform work), then init in a
// caller buffer of specSize bytes (any alignment: the record is placed at the next multiple of
// 32 and never writes past specSize bytes from the caller's address), then any number of
// transforms (transform.h), then nothing: a caller-memory spec needs no release. fftFreeReal /
// fftFreeComplex (entries.h) only clear its id. The init scratch is free again once init returns.
//
// A spec holds the offsets of its own tables relative to its start, so it may not be copied or
// moved after init. It is never written by a transform: several transforms may share one spec,
// each with its own work buffer. All sizes depend only on the order, never on the flag.
//
// Order: N = 2^order points, 0..27. Orders 28..30 are refused with kErrFftOrder: their sizes do not fit
// the int32 byte counts.
// Flag (one of): 1 forward scaled by 1/N, 2 inverse scaled by 1/N, 4 both by 1/sqrt(N), 8 none.
// The hint is stored and otherwise ignored.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "dsp/core/status.h"

namespace dsp
{

// The 84-byte header. Words 10-21 are byte offsets from the spec start (0 = no such table); an
// int32 instead of a pointer keeps the record the same on the 32-bit target and this host.
struct FftSpec
{
    int32_t id;             // 6 real, 4 complex; 0 after release
    int32_t order;          // log2 of the spec's own point count
    int32_t scaleForward;   // 1: the forward result is multiplied by factor
    int32_t scaleInverse;   // 1: the inverse result is multiplied by factor
    float factor;           // 1/N (flags 1, 2), 1/sqrt(N) (flag 4), 0.0 (flag 8)
    int32_t hint;           // the caller's hint, unused
    int32_t workSize;       // bytes of work buffer a transform needs (0: none)
    int32_t owned;          // 1 only when fftCreateReal / fftCreateComplex allocated it
    int32_t reserved0;      // table layout: kFftLayoutGeneric, or a faster variant's own
    int32_t bitReverse;     // swap-list bit-reverse table, always at +84 when present
    int32_t kernelTwiddles; // radix twiddles of the leaf length (<= 1024 points)
    int32_t completion;     // radix-2 completion twiddles of an unsplit order 11 or 12
    int32_t reserved1;
    int32_t recombineForward;  // real specs: (0.5 cos, 0.5 (1 - sin)) pairs
    int32_t recombineInverse;  // real specs: (cos, -sin) pairs
    int32_t columnTwiddles[3]; // split depth 0..2: radix twiddles of the column (outer) order
    int32_t stageTwiddles[3];  // split depth 0..2: the twiddles multiplied in before the columns
};
static_assert(sizeof(FftSpec) == 84, "the FFT spec header is 21 words");
static_assert(offsetof(FftSpec, bitReverse) == 36 && offsetof(FftSpec, stageTwiddles) == 72);

} // namespace dsp

namespace dsp::generic
{

inline constexpr int32_t kFftIdComplex = 4;
inline constexpr int32_t kFftIdReal = 6;
inline constexpr int32_t kFftMaxOrder = 27;
inline constexpr int32_t kFftScaleForward = 1;
inline constexpr int32_t kFftScaleInverse = 2;
inline constexpr int32_t kFftScaleBoth = 4;
inline constexpr int32_t kFftNoScale = 8;
// The table layout a spec records in reserved0. A transform runs only specs of its own layout and
// refuses another with kErrBadTag, so a variant selector changed between init and transform can
// never run a transform over tables it does not read.
inline constexpr int32_t kFftLayoutGeneric = 0;
// Tables of the SSE variants' tuning (dsp/fft/simd).
inline constexpr int32_t kFftLayoutTuning1 = 1;
// Complex orders up to this run one radix kernel; above it the large-order driver.
inline constexpr int32_t kFftDirectMaxOrder = 10;

// ---- Size queries ----------------------------------------------------------------------
// Checks in order: order outside 0..27 kErrFftOrder; a result pointer null kErrNullPointer; flag not 1, 2, 4,
// 8 kErrFftFlag. Then writes the three byte counts (0 for a buffer not needed) and returns kOk. Orders 0..3:
// 116 / 0 / 0. A work buffer, where one is needed, is counted with 32 bytes of alignment slack.
Status fftRealGetSize(int32_t order, int32_t flag, int32_t hint, int32_t *specSize, int32_t *initSize,
                      int32_t *workSize);
Status complexFftSpecSize(int32_t order, int32_t flag, int32_t hint, int32_t *specSize, int32_t *initSize,
                          int32_t *workSize);

// The same byte counts in 64 bits for any order 0..30 (no checks): what the queries would report
// without the int32 limit.
void fftRealSizes64(int32_t order, int64_t *specSize, int64_t *initSize, int64_t *workSize);
void fftComplexSizes64(int32_t order, int64_t *specSize, int64_t *initSize, int64_t *workSize);

// ---- Initialisations in caller memory -----------------------------------------------------
// Checks in order: specOut null kErrNullPointer; order outside 0..27 kErrFftOrder; specBuffer null
// kErrNullPointer; flag kErrFftFlag; initBuffer null for order > 10 kErrNullPointer. A failed init writes
// nothing at all (neither the buffer nor *specOut). On success the record sits at specBuffer rounded up to
// 32, with owned 0, and its address is stored at *specOut. initBuffer must hold initSize bytes (any
// alignment; may be null when initSize is 0) and is scratch only.
Status fftRealInit(FftSpec **specOut, int32_t order, int32_t flag, int32_t hint, void *specBuffer,
                   void *initBuffer);
Status complexFftSpecInit(FftSpec **specOut, int32_t order, int32_t flag, int32_t hint, void *specBuffer,
                          void *initBuffer);

// ---- Table access ---------------------------------------------------------------------------
template <class T> inline const T *fftTable(const FftSpec *spec, int32_t offset)
{
    return offset ? reinterpret_cast<const T *>(reinterpret_cast<const unsigned char *>(spec) + offset)
                  : nullptr;
}

// ---- Shared with the faster variants' specs -----------------------------------------------
constexpr int64_t fftR32(int64_t x)
{
    return x & ~int64_t(31);
}

inline unsigned char *fftAlign32(void *p)
{
    const uintptr_t a = reinterpret_cast<uintptr_t>(p);
    return reinterpret_cast<unsigned char *>((a + 31) & ~uintptr_t(31));
}

// A sine source read for a table of order t: T(x) = sine[x * 2^(s - t)], x = 0..2^t/4.
struct FftSineReader
{
    const float *sine;
    int32_t shift;

    FftSineReader(const float *table, int32_t sineOrder, int32_t t) : sine(table), shift(sineOrder - t) {}

    float at(int64_t x) const { return sine[x << shift]; }

    // W(L, k) = cos(2 pi k / L) - j sin(2 pi k / L), 0 <= k < L, by quadrant from the quarter wave.
    void twiddle(int64_t L, int64_t k, float *out) const
    {
        const int64_t q = L / 4;
        if (k <= q)
        {
            out[0] = at(q - k);
            out[1] = -at(k);
        }
        else if (k <= 2 * q)
        {
            out[0] = -at(k - q);
            out[1] = -at(2 * q - k);
        }
        else if (k <= 3 * q)
        {
            out[0] = -at(3 * q - k);
            out[1] = at(k - 2 * q);
        }
        else
        {
            out[0] = at(k - 3 * q);
            out[1] = at(L - k);
        }
    }
};

// The size query's checks, in its order.
Status fftCheckSizeArgs(int32_t order, int32_t flag, const int32_t *specSize, const int32_t *initSize,
                        const int32_t *workSize);
// A size query over those checks and a 64-bit size rule (the int32 counts are its values).
Status fftSizeQuery(int32_t order, int32_t flag, int32_t *specSize, int32_t *initSize, int32_t *workSize,
                    void (*sizes64)(int32_t, int64_t *, int64_t *, int64_t *));
// The init's checks, in its order (nothing written).
Status fftCheckInitArgs(FftSpec **specOut, int32_t order, int32_t flag, const void *specBuffer,
                        const void *initBuffer);
// The header at specBuffer rounded up to 32: cleared, then order, hint, scaling flags and factor
// (id still 0). flag must be valid.
FftSpec *fftInitHeader(void *specBuffer, int32_t order, int32_t flag, int32_t hint);
// The sine source of a spec of that order: the fixed table up to order 10 (scratch null), above
// it the order's own table built at initBuffer rounded up to 32 (scratch: the space after it).
const float *fftSineSource(int32_t order, void *initBuffer, int32_t *sineOrder, unsigned char **scratch);

// ---- Builders (internal; arguments are valid) ---------------------------------------------
// Each writes its table at the address it is given and returns the first multiple of 32 at or
// after the table's end.
//
// Sine source: sin(2 pi k / 2^s), k = 0..2^s/4; a table of order t reads it with stride
// 2^(s - t). Twiddle W(L, k) = cos(2 pi k / L) - j sin(2 pi k / L) is taken from it by quadrant.

// sin(2 pi k / 1024), k = 0..256, correctly rounded (generated: tools/gen_sine_table.py).
extern const std::array<float, 257> fixedSineTable;

// The split plan of the large-order driver, shared by the FftSpec builders and the transforms (a
// transform reads only its FftSpec record and constant tables): per complex order 0..30, the order b of the
// outer factor of the four-step split (2^b rows), 0 for the unsplit orders (all below 13).
// Rows above 2^10 points split again or take the unsplit path, so no kernel runs on more than
// 1024 points.
inline constexpr int32_t kFftSplitOrder[31] = {0, 0, 0, 0,  0,  0,  0,  0, 0, 0,  0,  0,  0,  5,  6, 7,
                                               8, 8, 8, 10, 10, 10, 10, 8, 8, 10, 10, 10, 10, 10, 10};

constexpr int32_t fftSplitOrder(int32_t m)
{
    return m >= 0 && m <= 30 ? kFftSplitOrder[m] : 0;
}

// Large-order byte counts of complex order m > 10 (64-bit, no checks).
void fftBufferSizes(int32_t m, int64_t *specSize, int64_t *initSize, int64_t *workSize);

// The sine table of order n: N/4 + 1 floats. n > 10 in double (sine up to N/8, cosine of the
// complement above); n <= 10 from fixedSineTable.
unsigned char *buildTwiddles(int32_t n, float *table);
// Swap-list bit-reverse table of complex order m >= 2: 2^(m-2) + 1 int32 (nothing for m < 2).
unsigned char *buildBitReverseTable(int32_t m, int32_t *table);
// Radix twiddles of complex order t: entries k = 0..2^t/4, each W(L,k), W(L,2k), W(L,3k).
unsigned char *buildKernelTwiddles(int32_t t, const float *sine, int32_t sineOrder, float *table);
// W(2^t, k), k = 0..2^t/4 - 1: the completion twiddles of an unsplit order t.
unsigned char *buildCompletionTwiddles(int32_t t, const float *sine, int32_t sineOrder, float *table);
// The tables of one split level of order L (and, first, of the levels inside it) at dst;
// scratch holds 32 * 2^b + r32(2^b + 35) bytes. Records offsets and the work size in spec.
unsigned char *buildBlockTwiddles(FftSpec *spec, int32_t L, const float *sine, int32_t sineOrder,
                                  int32_t level, unsigned char *dst, unsigned char *scratch);
// Bit-reverse table at spec + 84 and every table of a complex order m > 10 at dst.
unsigned char *buildLargeOrderTables(FftSpec *spec, int32_t m, const float *sine, int32_t sineOrder,
                                     unsigned char *dst, unsigned char *scratch);
// Real spec of order n: forward (0.5 cos, 0.5 - 0.5 sin) or inverse (cos, -sin) pairs,
// k = 0..N/4 - 1.
enum class FftRecombine
{
    Forward,
    Inverse
};
unsigned char *buildRecombineTables(int32_t n, const float *sine, int32_t sineOrder, float *table,
                                    FftRecombine kind);

// null kErrNullPointer, bytes <= 0 kErrBadLength, else zeroes the bytes and returns kOk.
Status zeroFillStatus(void *dst, int32_t bytes);

} // namespace dsp::generic
