#include "dsp/core/alloc.h"

#include <climits>
#include <cstring>

#include <nt_types.h>

namespace dsp
{

namespace
{

constexpr ULONG kPoolTag = MakePoolTag("PRIM");

// Room for the distance word and the worst-case alignment gap: a block at 29 mod 32 puts p at
// block + 35.
constexpr int32_t kOverhead = 36;

void *placeAligned(void *block)
{
    if (!block)
        return nullptr;
    const uintptr_t base = reinterpret_cast<uintptr_t>(block);
    const uintptr_t p = (base + 35) & ~uintptr_t(31);
    const uint32_t distance = uint32_t(p - base);
    std::memcpy(reinterpret_cast<void *>(p - 4), &distance, sizeof distance);
    return reinterpret_cast<void *>(p);
}

} // namespace

void *poolAllocate(size_t bytes)
{
    return ExAllocatePoolWithTag(NonPagedPool, bytes, kPoolTag);
}

void *poolAllocateArray(int32_t count, int32_t elementSize)
{
    const int64_t bytes = int64_t(count) * int64_t(elementSize);
    if (bytes < 0 || bytes > INT32_MAX)
        return nullptr;
    return ExAllocatePoolWithTag(NonPagedPool, size_t(bytes), kPoolTag);
}

int32_t poolSpare()
{
    return 0;
}

void poolRelease(void *block)
{
    ExFreePool(block);
}

DspAllocHookTable DspAllocHooks = {poolAllocate, poolAllocateArray, poolSpare, poolRelease};

void *allocAligned(int32_t size)
{
    if (size <= 0 || size > INT32_MAX - kOverhead)
        return nullptr;
    return placeAligned(DspAllocHooks.allocate(size_t(size) + kOverhead));
}

} // namespace dsp

namespace dsp::generic
{

float *allocF32(int32_t count)
{
    if (count <= 0 || count > (INT32_MAX - kOverhead) / 4)
        return nullptr;
    return static_cast<float *>(allocAligned(count * 4));
}

void freeAligned(void *p)
{
    if (!p)
        return;
    const uintptr_t addr = reinterpret_cast<uintptr_t>(p);
    uint32_t distance;
    std::memcpy(&distance, reinterpret_cast<const void *>(addr - 4), sizeof distance);
    DspAllocHooks.release(reinterpret_cast<void *>(addr - distance));
}

} // namespace dsp::generic
