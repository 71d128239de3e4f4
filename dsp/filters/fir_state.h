// FIR filter states: the record shared by single-rate ("FI01") and multi-rate ("FI03") filters,
// its size queries and its initialisations into caller buffers.
//
// Lifecycle: size query, init in a buffer of at least that size (any alignment; the record sits
// at the buffer's first 16-byte boundary and nothing is written past the reported size), any
// number of runs (fir_run.h), then the caller frees the buffer. Re-initialising resets the
// filter. firCreateF32 (fir_alloc.h) builds an "FI01" record in library memory instead.
//
// Conventions of every FIR record:
// - Taps h[0..L-1] in the caller's order, h[0] multiplies the newest sample. The record keeps
//   them reversed, r[k] = h[L-1-k], bit for bit.
// - A caller's delay line lists past input newest first; the record keeps it oldest first
//   (d[k] = delayLine[len-1-k]), so d[0] of a single-rate state is stored but never enters an
//   output. A null delay line is a silent past.
// - Every output is one double accumulator started at +0.0, the terms added oldest sample
//   first, rounded to float once. The products of two floats are exact in double, so any
//   routine that adds the same terms in that order gives the same bits.
// - No allocation, no locks, no static data: distinct records may be used concurrently; one
//   record serves one caller at a time.
#pragma once

#include <cstdint>
#include <cstring>

#include "dsp/core/status.h"

namespace dsp
{

struct FftSpec; // dsp/fft/spec.h: a record may hold a real FFT spec

inline constexpr uint32_t kFirTagSingle = 0x46493031;    // "FI01"
inline constexpr uint32_t kFirTagMultirate = 0x46493033; // "FI03"

// The record header, 112 bytes of 32-bit words on every host. Areas are named by their byte
// offset from the record's start; 0 means none (offset 0 is the header itself).
struct FirState
{
    uint32_t tag;           // kFirTagSingle or kFirTagMultirate
    int32_t revTaps;        // L floats r[0..L-1]
    int32_t delay;          // delay area: history oldest first, then work room
    int32_t tapCount;       // L
    int32_t upFactor;       // U (multi-rate)
    int32_t blockLimit;     // single-rate: direct-block limit B; multi-rate: input threshold T
    int32_t downFactor;     // D (multi-rate)
    int32_t headOutputs;    // K (multi-rate)
    int32_t fftSpec;        // real FFT spec: offset, 0 none, kFirSpecInGap in library memory
    int32_t tapSpectrum;    // N floats: packed spectrum of the zero-padded taps
    int32_t fftLength;      // N when the overlap-save path is ready, else -1
    int32_t delayOffset;    // where the history begins in the delay area (always left 0)
    int32_t indexTable;     // multi-rate: int32 window starts and advances
    int32_t tapTable;       // multi-rate: taps in the order the run reads them
    int32_t windowLength;   // multi-rate mode 1: W1
    int32_t mode;           // multi-rate: 1 shared window, 2 decimator, 3 polyphase
    int32_t history;        // history length: L (single-rate), H (multi-rate)
    int32_t fftWork;        // N floats of transform work room
    int32_t fftScratch;     // the transforms' scratch buffer, 0 when they need none
    int32_t fftScratchSize; // its size in bytes
    int32_t workspace;      // spare area (single-rate), init workspace (multi-rate)
    int32_t gap;            // the 16 bytes behind the delay area
    int32_t owned;          // 1: the library allocated the record (firFree releases it)
    int32_t upPhase;        // multi-rate, stored only
    int32_t downPhase;      // multi-rate, stored only
    int32_t reserved[3];    // pads the header to 112 bytes
};
static_assert(sizeof(FirState) == 112, "FIR header is 112 bytes on every host");

// fftSpec value of a library-allocated record: its spec is a separate allocation that no offset
// can reach, so its address sits in the first 8 bytes of the gap.
inline constexpr int32_t kFirSpecInGap = -1;

template <class T> inline T *firArea(FirState *s, int32_t offset)
{
    return offset ? reinterpret_cast<T *>(reinterpret_cast<unsigned char *>(s) + offset) : nullptr;
}

template <class T> inline const T *firArea(const FirState *s, int32_t offset)
{
    return offset ? reinterpret_cast<const T *>(reinterpret_cast<const unsigned char *>(s) + offset)
                  : nullptr;
}

// The record's real FFT spec, wherever it lives, or null.
inline FftSpec *firFftSpec(const FirState *s)
{
    if (s->fftSpec == kFirSpecInGap)
    {
        FftSpec *spec;
        std::memcpy(&spec, firArea<unsigned char>(s, s->gap), sizeof spec);
        return spec;
    }
    return const_cast<FftSpec *>(firArea<FftSpec>(s, s->fftSpec));
}

} // namespace dsp

namespace dsp::generic
{

// ---- Single-rate ("FI01") --------------------------------------------------------------------

// The FFT order of the overlap-save path for L taps: floor(log2 L) + 2 (N = 2^order is the
// smallest power of two above 2L) for L >= 64, else 0 (direct path only). Size query, init and
// create all take it from here.
int32_t firFftOrder(int32_t tapCount);

// Buffer size in bytes for an "FI01" record of tapCount taps, any buffer alignment:
// 16528 + A + E + 2F + the three FFT sizes of the order above (A = 4L rounded up to 16, E =
// (12L + 31) rounded down to 16, F = 4N; all FFT terms 0 without FFT). 1 tap: 16576; 20: 16864;
// 101: 22592. Checks: size null kErrNullPointer; tapCount <= 0, or a size above INT32_MAX, kErrFirLength.
Status firGetStateSize(int32_t tapCount, int32_t *size);

// Builds an "FI01" record in buffer and stores its address at *state.
// taps: L floats, read only. delayLine: L floats newest first, or null. buffer: at least
// firGetStateSize(L) bytes; the caller owns it and keeps it alive while the state is used.
// For L >= 64 the record carries a real FFT spec, the tap spectrum and the transform buffers;
// when the FFT cannot be set up the record is still complete and fftLength is -1 (the direct
// path runs for every block). Checks: state, taps or buffer null kErrNullPointer; tapCount <= 0 or too large
// kErrFirLength; nothing is written before they pass.
Status firInit(FirState **state, const float *taps, int32_t tapCount, const float *delayLine, void *buffer);

// ---- Multi-rate ("FI03") ---------------------------------------------------------------------
// A filter of L taps h that resamples by U/D: with z[k U + pu] = x[k] and zeros elsewhere,
// y[m] = sum over j of h[j] z[m D + pd - j]. Each filter cycle takes D inputs and gives U outputs.
// Past input before the first call: x[-1-i] = delayLine[i], i < H = ceil(L / U).

// The mode and sizes that one (L, U, D) gets; size query and init both take them from here.
struct FirMultirateShape
{
    int32_t mode;          // 1, 2 or 3
    int32_t history;       // H = ceil(L / U)
    int32_t span;          // M: smallest multiple of U >= L + 3D
    int32_t window;        // W1 = M / U
    int32_t threshold;     // T
    int32_t headOutputs;   // K
    int32_t tapsBytes;     // A
    int32_t tapTableBytes; // 16M
    int32_t indexBytes;    // index table
    int32_t delayBytes;    // Z: H + T + 1 floats, rounded
    int32_t workBytes;     // workspace needed by init (16M or 32M)
    int32_t workReserved;  // workspace reserved in the size (at least 16384)
    int32_t size;          // the buffer size to report
};

// Fills shape for U, D >= 1, not both 1. Mode 1 exactly when 7L > 9D (U > 1) or L > 3D
// (U = 1); 2 for the other U = 1 filters; 3 for the other U > 1 filters. Returns kErrFirFactor when
// L + 3D or the size exceeds INT32_MAX (nothing else can fail).
Status firMultirateShape(int32_t tapCount, int32_t upFactor, int32_t downFactor, FirMultirateShape *shape);

// Buffer size for a multi-rate record. U = D = 1: firGetStateSize's answer. Checks: size null
// kErrNullPointer; tapCount <= 0 kErrFirLength; a factor <= 0, or a size above INT32_MAX, kErrFirFactor.
// (66, 1, 2): 18576; (66, 2, 1): 18224; (132, 1, 4): 20592; (132, 4, 1): 19552.
Status firMultirateGetStateSize(int32_t tapCount, int32_t upFactor, int32_t downFactor, int32_t *size);

// Builds an "FI03" record (U = D = 1: firInit's "FI01" record) in buffer, of at least the size
// above, and stores its address at *state. delayLine: H floats newest first, or null.
// Checks: state, taps or buffer null kErrNullPointer; tapCount <= 0 kErrFirLength; a factor <= 0 or a size
// too large kErrFirFactor; upPhase outside 0..U-1 or downPhase outside 0..D-1 kErrFirPhase; nothing written
// before they pass.
Status firMultirateInit(FirState **state, const float *taps, int32_t tapCount, int32_t upFactor,
                        int32_t upPhase, int32_t downFactor, int32_t downPhase, const float *delayLine,
                        void *buffer);

// ---- Shared by the builders ------------------------------------------------------------------

// Where a record sits in a caller buffer of any alignment: the buffer's first 16-byte boundary.
inline FirState *firRecordAt(void *buffer)
{
    const auto address = reinterpret_cast<uintptr_t>(buffer);
    return reinterpret_cast<FirState *>((address + 15) & ~uintptr_t{15});
}

// The record layouts' area sizes are byte counts rounded down to a multiple of 16.
inline int64_t firRoundDown16(int64_t bytes)
{
    return bytes & ~int64_t{15};
}

// A: the reversed-taps area of every FIR record, 4L bytes rounded up to 16.
inline int64_t firTapsBytes(int64_t tapCount)
{
    return firRoundDown16(4 * tapCount + 15);
}

// r[k] = taps[L-1-k], bit for bit.
void firStoreReversed(const float *taps, int32_t count, float *dst);

// Byte counts of an "FI01" record of L taps, in 64 bits so that no count can wrap.
struct FirSingleSizes
{
    int32_t order;         // firFftOrder(L), 0 without FFT
    int32_t fftLength;     // N = 2^order when the size query of that order succeeds, else 0
    int64_t tapsBytes;     // A: (4L + 15) rounded down to 16
    int64_t delayBytes;    // E: (12L + 31) rounded down to 16
    int64_t spectrumBytes; // F = 4N: the tap spectrum, and again the transform work buffer
    int64_t specBytes;     // the real FFT size query's three counts (0 without FFT)
    int64_t initBytes;
    int64_t workBytes;
    int64_t bufferSize; // what firGetStateSize reports
};

// Fills sizes for L taps. tapCount <= 0, or a buffer size above INT32_MAX, kErrFirLength.
Status firSingleSizes(int32_t tapCount, FirSingleSizes *sizes);

// Byte offsets of an "FI01" record's areas from the record start, in record order: header,
// reversed taps, delay area, gap, spec, spec init buffer, tap spectrum, transform scratch,
// transform work, spare area; end is the record's length. A record whose spec is a separate
// allocation passes spec and init sizes of 0.
struct FirSingleAreas
{
    int64_t revTaps, delay, gap, spec, init, spectrum, scratch, work, spare, end;
};
FirSingleAreas firSingleAreas(const FirSingleSizes &sizes, int64_t specBytes, int64_t initBytes,
                              int64_t scratchBytes);

// Writes a fresh "FI01" header for areas (end <= INT32_MAX) and fills the taps and history: the
// header cleared, tag, L (tap count and history), B, the area words, the scratch size, the
// multi-rate tables null, owned 0, no FFT (fftLength -1), the reversed taps and the history (the
// caller's line reversed, or silence). The builder then adds its FFT words.
void firFillSingle(FirState *state, const FirSingleAreas &areas, int32_t scratchBytes, const float *taps,
                   int32_t tapCount, const float *delayLine);

// The tap spectrum of a record whose tapSpectrum (and fftScratch) offsets are set: the taps in
// their given order, zero-padded to 2^order points, forward transformed in place with spec.
// Returns the transform's status.
Status firTransformTaps(FirState *state, const float *taps, const FftSpec *spec);

} // namespace dsp::generic
