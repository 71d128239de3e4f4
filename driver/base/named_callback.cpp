#include "driver/base/named_callback.h"

#include "driver/base/wide_string.h"

NTSTATUS CreateNamedCallback(PCALLBACK_OBJECT *object, PCWSTR format, PVOID address, PWSTR nameBuffer,
                             size_t nameBufferBytes)
{
    if (!object)
        return STATUS_INVALID_PARAMETER;
    *object = nullptr;
    UNICODE_STRING name;
    NTSTATUS status = FormatObjectName(&name, nameBuffer, nameBufferBytes, format, address);
    if (status != STATUS_SUCCESS)
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status; // a cut name is no name
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE | OBJ_PERMANENT, nullptr, nullptr);
    status = ExCreateCallback(object, &attributes, TRUE, TRUE);
    if (!NT_SUCCESS(status))
        *object = nullptr;
    return status;
}

void ReleaseNamedCallback(PCALLBACK_OBJECT *object)
{
    if (!object || !*object)
        return;
    // A permanent object would outlive the driver under its owner's address and hand a later owner
    // at that address the stale registrations.
    ObMakeTemporaryObject(*object);
    ObDereferenceObject(*object);
    *object = nullptr;
}

NTSTATUS RegisterOnNamedCallback(PCALLBACK_OBJECT object, PCALLBACK_FUNCTION function, PVOID context,
                                 PVOID *registration)
{
    if (!registration)
        return STATUS_INVALID_PARAMETER;
    *registration = nullptr;
    if (!object)
        return STATUS_UNSUCCESSFUL;
    *registration = ExRegisterCallback(object, function, context);
    return *registration ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

NTSTATUS UnregisterFromNamedCallback(PVOID registration)
{
    if (!registration)
        return STATUS_INVALID_PARAMETER;
    ExUnregisterCallback(registration);
    return STATUS_SUCCESS;
}
