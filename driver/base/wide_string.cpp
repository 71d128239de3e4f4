// Object names in fixed buffers.
#include "driver/base/wide_string.h"

NTSTATUS FormatObjectName(PUNICODE_STRING name, PWSTR buffer, size_t bufferBytes, PCWSTR format, ...)
{
    if (!name)
        return STATUS_INVALID_PARAMETER;
    *name = UNICODE_STRING{0, 0, nullptr};
    if (!buffer || !format)
        return STATUS_INVALID_PARAMETER;
    if (bufferBytes > UNICODE_STRING_MAX_BYTES)
        bufferBytes = UNICODE_STRING_MAX_BYTES;
    bufferBytes &= ~size_t(1); // whole characters only

    va_list args;
    va_start(args, format);
    const NTSTATUS status = RtlStringCbVPrintfW(buffer, bufferBytes, format, args);
    va_end(args);
    if (status != STATUS_SUCCESS)
        return status;

    size_t length = 0;
    const NTSTATUS measured = RtlStringCbLengthW(buffer, bufferBytes, &length);
    if (!NT_SUCCESS(measured))
        return measured;
    *name = UNICODE_STRING{USHORT(length), USHORT(bufferBytes), buffer};
    return STATUS_SUCCESS;
}
