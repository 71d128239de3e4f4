// The primitive library's own memory: 32-byte aligned blocks from the non-paged pool, tagged
// "PRIM". FFT specs and work buffers, FIR and IIR states and the vectors the effects request all
// come from here, so the allocation policy of the whole library sits in one place.
//
// Aligned block layout: the caller's pointer p is a multiple of 32; the 32-bit word just before p
// holds p - block (4..35), the distance back to the pool block, which starts 4..35 bytes before p
// and extends at least the requested size past p. A stored distance instead of an address keeps
// the word 32 bits wide on a 64-bit host. Release such blocks only with freeAligned.
//
// Any thread, at any IRQL at which the non-paged pool may be called. No state of its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace dsp
{

// The four allocation hooks, in entry order. Only entries 0 and 3 are ever called by the library.
struct DspAllocHookTable
{
    void *(*allocate)(size_t bytes);                            // 0: pool block or null
    void *(*allocateArray)(int32_t count, int32_t elementSize); // 1: not cleared
    int32_t (*spare)();                                         // 2: returns 0
    void (*release)(void *block);                               // 3: back to the pool
};

// Holds the pool hooks from load on. Nothing in the driver changes it; tests replace entries 0
// and 3 (see tests/support/dsp_test_support.h) and put them back.
extern DspAllocHookTable DspAllocHooks;

// The hook defaults, over ExAllocatePoolWithTag(NonPagedPool, ..., "PRIM") and ExFreePool.
// Entry 1 computes count * elementSize in 64 bits and returns null without a pool call when it
// is negative or above INT32_MAX.
void *poolAllocate(size_t bytes);
void *poolAllocateArray(int32_t count, int32_t elementSize);
int32_t poolSpare();
void poolRelease(void *block);

// A 32-byte aligned block of at least size bytes, or null. Requests size + 36 bytes through hook
// entry 0; size <= 0, or size above INT32_MAX - 36 (the request would not fit 32 bits), returns
// null without a pool call.
void *allocAligned(int32_t size);

} // namespace dsp

namespace dsp::generic
{

// allocAligned for count floats: count <= 0 or count above (INT32_MAX - 36) / 4 gives null
// without a pool call; otherwise requests count * 4 + 36 bytes. The block is not cleared.
float *allocF32(int32_t count);

// Releases a block of allocAligned or allocF32; null does nothing.
void freeAligned(void *p);

} // namespace dsp::generic
