// Byte and ANSI string helpers of the driver: a prefix compare for identification strings and
// bounded copy/append for the INI section headers. Any IRQL; buffers may sit at any address.
#pragma once

#include <nt_types.h>

// 0 when the first `count` bytes of the two blocks are equal, else non-zero. Compares four bytes
// at a time (unaligned loads), then the remaining bytes one by one. count 0 gives 0.
int CompareBytes(const void *first, const void *second, SIZE_T count);

// Copies the NUL-terminated `source` into `destination`, cut to capacity - 1 characters and
// terminated; STATUS_SUCCESS also when it was cut. A capacity <= 0 or a null pointer:
// STATUS_INVALID_PARAMETER and nothing written.
NTSTATUS CopyStringBounded(char *destination, LONG capacity, const char *source);

// Appends `source` to the string in `destination`, cut so that the result with its terminator
// fits `capacity` bytes. When `destination` holds no terminator within capacity (or an argument
// is null or capacity <= 0) nothing is written.
void AppendStringBounded(char *destination, LONG capacity, const char *source);
