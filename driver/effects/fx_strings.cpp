#include "driver/effects/fx_strings.h"

#include <cstdint>
#include <cstring>

int CompareBytes(const void *first, const void *second, SIZE_T count)
{
    const auto *a = static_cast<const unsigned char *>(first);
    const auto *b = static_cast<const unsigned char *>(second);
    SIZE_T i = 0;
    for (; i + 4 <= count; i += 4)
    {
        uint32_t wa, wb; // memcpy loads: identification strings sit at any byte address
        std::memcpy(&wa, a + i, 4);
        std::memcpy(&wb, b + i, 4);
        if (wa != wb)
            return 1;
    }
    for (; i < count; ++i)
        if (a[i] != b[i])
            return 1;
    return 0;
}

namespace
{
// Copies source into dst[0..room-1] cut to room - 1 characters and terminated; room >= 1.
void CopyCut(char *dst, SIZE_T room, const char *source)
{
    SIZE_T n = 0;
    while (n + 1 < room && source[n])
    {
        dst[n] = source[n];
        ++n;
    }
    dst[n] = '\0';
}
} // namespace

NTSTATUS CopyStringBounded(char *destination, LONG capacity, const char *source)
{
    if (!destination || !source || capacity <= 0)
        return STATUS_INVALID_PARAMETER;
    CopyCut(destination, SIZE_T(capacity), source);
    return STATUS_SUCCESS;
}

void AppendStringBounded(char *destination, LONG capacity, const char *source)
{
    if (!destination || !source || capacity <= 0)
        return;
    const void *end = std::memchr(destination, 0, SIZE_T(capacity));
    if (!end)
        return;
    const SIZE_T used = SIZE_T(static_cast<const char *>(end) - destination);
    CopyCut(destination + used, SIZE_T(capacity) - used, source);
}
