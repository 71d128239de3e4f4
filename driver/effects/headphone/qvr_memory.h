// Pool memory of the headphone surround: zeroed float arrays from the non-paged pool, tagged
// "QVRP" (the crossfade pair "HFIR"). Set-up only (PASSIVE_LEVEL); null on failure or for a
// count outside 1..2^28.
#pragma once

#include "driver/base/pool_memory.h"

#include <cstdint>

inline float *QvrAllocFloats(int32_t count, ULONG tag = PoolTag::QVRP)
{
    if (count <= 0 || count > (1 << 28))
        return nullptr;
    return static_cast<float *>(AllocPoolZeroed(ULONG(count) * sizeof(float), NonPagedPool, tag));
}

// Frees and clears the pointer (null ignored).
template <class T> inline void QvrFree(T *&block)
{
    FreePool(block);
    block = nullptr;
}
