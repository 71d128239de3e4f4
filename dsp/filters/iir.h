// IIR filters over 32-bit float blocks, in transposed direct form II.
//
// Two record kinds, told apart by the first word:
// - "II01": one transfer function of order N >= 1,
//     H(z) = (b0 + b1 z^-1 + ... + bN z^-N) / (a0 + a1 z^-1 + ... + aN z^-N),
//   built by iirInit in a caller buffer or by iirCreateF32 in library memory.
// - "II02": a cascade of S biquad sections. The library has no builder for it: a caller fills
//   the record by hand (see IirState below) and the filter entries run it.
//
// Lifecycle: size query, iirInit in a buffer of that size (or iirCreateF32), any number of runs,
// then iirFree for a record the library allocated. Runs only update the delay line; to restart
// from rest or with new taps, initialise again. One record serves one stream at a time (the
// runs write its delay line); distinct records are independent. Runs never allocate or divide.
// Samples are not examined: a NaN or infinity that reaches the delay line stays there until the
// record is initialised again.
#pragma once

#include <cstdint>

#include "dsp/core/status.h"

namespace dsp
{

inline constexpr uint32_t kIirTagTransfer = 0x49493031; // "II01"
inline constexpr uint32_t kIirTagBiquad = 0x49493032;   // "II02"

// The record header: 48 bytes of 32-bit fields on every host. The arrays lie inside the record's
// own buffer and are named by their byte offset from the record's start (0 = none).
//
// "II01" (what iirInit writes), N = order:
//   taps  at offset 48: 2N + 1 floats b0/a0, b1/a0, ..., bN/a0, a1/a0, ..., aN/a0
//   delay at 48 + R(8N + 4): N + 1 floats z0 .. zN, zN always +0.0 (R: round up to 16)
// "II02", filled by the caller, S sections (S >= 1), section 1 first:
//   tag = kIirTagBiquad, order = 2S, sections = S, ownsBuffer = 0, the fast-path fields 0;
//   taps:  5 floats per section, b0, b1, b2, a1, a2, already divided by that section's a0;
//   delay: 2 floats per section, z0, z1 (zero to start from rest);
//   both offsets at least 48 and 4-byte aligned, arrays wholly inside the caller's buffer.
//   Per sample and section: y = b0 d + z0; z0 = (b1 d + z1) - a1 y; z1 = b2 d - a2 y; d = y.
struct IirState
{
    uint32_t tag;
    int32_t taps;    // byte offset of the taps
    int32_t delay;   // byte offset of the delay line
    int32_t order;   // "II01": N; "II02": 2 * sections
    int32_t ffTable; // fast-path tables: 0 in the generic layout
    int32_t recTable;
    int32_t sections; // "II02": S; "II01": 0
    int32_t stepTable;
    int32_t work;
    int32_t work2;
    int32_t ownsBuffer; // 1 when iirCreateF32 allocated the record, which iirFree then frees
    int32_t reserved;   // pads the header to 48 bytes
};
static_assert(sizeof(IirState) == 48, "IIR header is 48 bytes on every host");

} // namespace dsp

namespace dsp::generic
{

// Size in bytes of a caller buffer, of any alignment, that holds an "II01" record of this order:
// 64 + R(8N + 4) + R(4N + 4) (96 for order 1, 112 for 2 and 3, 144 for 4).
// pSize null kErrNullPointer; order <= 0, or a size above INT32_MAX, kErrIirOrder.
Status iirGetStateSize(int32_t order, int32_t *pSize);

// Builds an "II01" record in pBuffer (at its first 16-byte boundary; never beyond the size that
// iirGetStateSize reports) and stores its address at *ppState.
// pTaps: 2(order + 1) floats b0..bN, a0..aN. pDelay: order floats z0..z(N-1) stored unscaled, or
// null for a filter at rest. The taps are normalised by 1/a0 (a NaN a0 gives NaN taps).
// Checks, before anything is written: pTaps, ppState or pBuffer null kErrNullPointer; order <= 0 or a size
// above INT32_MAX kErrIirOrder; a0 = +-0 kErrDivByZero (the buffer and *ppState stay as they were).
Status iirInit(IirState **ppState, const float *pTaps, int32_t order, const float *pDelay, void *pBuffer);

// The last step of iirInit: normalises the caller taps into the record (reads `order`).
// a0 = +-0: kErrDivByZero and no tap written.
Status iirInitTaps(const float *pTaps, IirState *pState);

// Filters len samples in place. pState or pSrcDst null kErrNullPointer; len < 1 kErrBadLength; a record that
// is neither "II01" nor "II02" (or whose header is not one this library runs) kErrBadTag; nothing written
// then.
Status iirFilterInPlace(float *pSrcDst, int32_t len, IirState *pState);

// Out of place: state, src or dst null kErrNullPointer (before len is read); len < 1 kErrBadLength;
// kErrBadTag as above.
Status iirFilterF32(const float *src, float *dst, int32_t len, IirState *state);

// The two runs behind the entries, no checks: len >= 1, a valid record of the matching tag.
// pSrc may equal pDst. Wide intermediates are doubles; outputs and delay elements are floats.
void iirRunArbitrary(const float *pSrc, float *pDst, int32_t len, IirState *pState);
void iirRunBiquad(const float *pSrc, float *pDst, int32_t len, IirState *pState);

// Sizes, allocates (allocAligned) and initialises a record of the given tag (only "II01" can be
// built; another gives kErrBadTag) with its owned flag set. *stateOut is written only on success; on any
// failure nothing stays allocated. kErrNoMemory when the allocation fails, else iirInit's status.
Status iirBuildState(IirState **stateOut, const float *taps, int32_t order, const float *delay, uint32_t tag);

// Library-allocated "II01" record. taps or stateOut null kErrNullPointer; order <= 0 kErrIirOrder; then
// iirBuildState.
Status iirCreateF32(IirState **stateOut, const float *taps, int32_t order, const float *delay);

// state null kErrNullPointer; neither "II01" nor "II02" kErrBadTag. A record the library allocated is freed,
// its tag cleared first; a caller-buffer record is left untouched (tag kept). Returns kOk. The pointer must
// not be used after a record the library allocated was freed.
Status iirFree(IirState *state);

} // namespace dsp::generic
