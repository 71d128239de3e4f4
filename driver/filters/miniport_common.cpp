#include "driver/filters/miniport_common.h"

NTSTATUS AnswerValue(PPCPROPERTY_REQUEST request, const void *answer, ULONG needed)
{
    if (request->ValueSize == 0)
    {
        request->ValueSize = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (request->ValueSize < needed || !request->Value)
        return STATUS_BUFFER_TOO_SMALL;
    RtlCopyMemory(request->Value, answer, needed);
    request->ValueSize = needed;
    return STATUS_SUCCESS;
}
