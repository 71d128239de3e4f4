#include "driver/filters/miniport_common.h"

NTSTATUS CheckAnswerRoom(PPCPROPERTY_REQUEST request, ULONG needed)
{
    if (request->ValueSize == 0)
    {
        request->ValueSize = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < needed || !request->Value)
        return STATUS_BUFFER_TOO_SMALL;
    return STATUS_SUCCESS;
}

NTSTATUS AnswerValue(PPCPROPERTY_REQUEST request, const void *answer, ULONG needed)
{
    const NTSTATUS status = CheckAnswerRoom(request, needed);
    if (status != STATUS_SUCCESS)
        return status;
    RtlCopyMemory(request->Value, answer, needed);
    request->ValueSize = needed;
    return STATUS_SUCCESS;
}
