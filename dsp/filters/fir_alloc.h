// "FI01" records in library memory (allocAligned) and their release.
//
// A created record is used exactly like one built by firInit in a caller buffer; it differs in
// its owned flag (1) and in its real FFT spec, a separate allocation (fftCreateReal) whose
// address the record keeps in the first 8 bytes of its gap (fftSpec word kFirSpecInGap;
// firFftSpec reads it). Block layout from the record start: header, reversed taps A, delay area
// E, gap 16, tap spectrum F, transform scratch W, transform work F, spare 16384: 16512 + A + E +
// 2F + W bytes (63 taps: 17552; 64 taps: 19600).
//
// Lifecycle: firCreateF32 -> any number of runs (fir_run.h, fir_one.h) -> firFree. The pointer
// must not be used after firFree released the record.
#pragma once

#include <cstdint>

#include "dsp/filters/fir_state.h"

namespace dsp::generic
{

// The scratch a transform of this real spec needs, with 32 bytes of alignment room: the spec's
// recorded work size + 32, or 0 when it needs none. spec or size null kErrNullPointer; id not 6 kErrBadTag.
Status fftSpecWorkSize(const FftSpec *spec, int32_t *size);

// Builds a record of the given tag (only "FI01" can be built; another gives kErrBadTag) in one block of
// library memory: for L >= 64 first the spec (order firFftOrder(L), inverse scaled by 1/N), then
// the block, the taps reversed, the delay line reversed (or silence) and the tap spectrum.
// tapCount <= 0, or a tap count firGetStateSize refuses, kErrFirLength before any allocation; a failed spec
// creation returns its status (kErrNoMemory when memory ran out); a failed block allocation kErrNoMemory; a
// failed tap transform its status. On any failure nothing stays allocated and *stateOut is untouched; on
// success *stateOut is written last.
Status firInitAllocKernel(FirState **stateOut, const float *taps, int32_t tapCount, const float *delayLine,
                          uint32_t tag);

// stateOut or taps null kErrNullPointer; tapCount <= 0 kErrFirLength; then firInitAllocKernel with "FI01".
Status firCreateF32(FirState **stateOut, const float *taps, int32_t tapCount, const float *delayLine);

// state null kErrNullPointer; a tag neither "FI01" nor "FI03" kErrBadTag. A record with the owned flag 0 (a
// caller buffer) is left untouched, tag included, and 0 returned. An owned record releases its spec, clears
// its tag and frees its block; 0.
Status firFree(FirState *state);

} // namespace dsp::generic
