// Pool memory of the driver.
#include "driver/base/pool_memory.h"

#include <cstring>

PVOID AllocPoolZeroed(ULONG size, POOL_TYPE poolType, ULONG tag)
{
    PVOID block = ExAllocatePoolWithTag(poolType, size, tag);
    if (block)
        std::memset(block, 0, size);
    return block;
}

void FreePool(PVOID block)
{
    if (block)
        ExFreePool(block);
}
