// Named callback objects: the driver's objects find each other through callback objects named after
// the owner's address ("\Callback\AudioHalAddr%p"): whoever knows the address opens the object by
// name and registers on it. These helpers serve every such owner.
#pragma once

#include <ntkernel.h>

// Formats `format` with `address` into `nameBuffer` (`nameBufferBytes` bytes) and opens or creates that
// callback object: case-insensitive, permanent, several registrations allowed. A name that does not
// fit is refused with the formatting status (a cut name could be another object's). PASSIVE_LEVEL.
NTSTATUS CreateNamedCallback(PCALLBACK_OBJECT *object, PCWSTR format, PVOID address, PWSTR nameBuffer,
                             size_t nameBufferBytes);
// Takes the object out of the namespace and drops the owner's one reference; *object becomes null.
// Registrations still on it keep it alive until they go. Null is ignored. PASSIVE_LEVEL.
void ReleaseNamedCallback(PCALLBACK_OBJECT *object);
// ExRegisterCallback on `object`: STATUS_INVALID_PARAMETER for a null out-pointer (else *registration
// is null first), STATUS_UNSUCCESSFUL without an object or when the kernel gives no handle.
NTSTATUS RegisterOnNamedCallback(PCALLBACK_OBJECT object, PCALLBACK_FUNCTION function, PVOID context,
                                 PVOID *registration);
// ExUnregisterCallback; STATUS_INVALID_PARAMETER for a null registration.
NTSTATUS UnregisterFromNamedCallback(PVOID registration);
