// Configuration-descriptor helpers the driver links against.
//
// Each helper is a thin entry over a bounded core that takes the byte count of the descriptor
// block. The entries that take only a configuration descriptor trust its wTotalLength, as their
// callers do; those callers hold descriptors from the driver's configuration fetch, which caps
// wTotalLength at the bytes actually returned. Everything else (the corpus, the fuzzer, the
// printer) calls the cores.
//
// Guarantees of every core: it never reads outside [bytes, bytes + byteCount); a walk stops at a
// descriptor with bLength < 2 or one that would end past the bound; a descriptor it returns lies
// wholly inside the bytes; a start pointer outside the bytes gives NULL.
#pragma once

#include <nt_types.h>
#include <usb_descriptors.h>
#include <usb_urb.h>

// Pool tag of the configuration request the create helper allocates (freed with ExFreePool).
#define USBD_REQUEST_POOL_TAG MakePoolTag("USBD")
// A USB interface has at most 30 endpoints besides endpoint 0; larger bNumEndpoints are capped.
#define USBD_MAX_PIPES_PER_INTERFACE 30u
// A configuration request covers at most this many interfaces.
#define USBD_MAX_INTERFACES_PER_REQUEST 32u

namespace usbd
{

// Next descriptor of `type` (or any type when type is -1) at or after `start`.
const USB_COMMON_DESCRIPTOR *ParseDescriptorsBounded(const void *bytes, size_t byteCount, const void *start,
                                                     LONG type);

// Next interface descriptor at or after `start` matching every field that is not -1. Interface
// descriptors shorter than 9 bytes are skipped.
const USB_INTERFACE_DESCRIPTOR *ParseInterfaceBounded(const void *bytes, size_t byteCount, const void *start,
                                                      LONG interfaceNumber, LONG alternateSetting,
                                                      LONG interfaceClass, LONG interfaceSubClass,
                                                      LONG interfaceProtocol);

// Builds a select-configuration URB for the listed interfaces (list ends at a null
// InterfaceDescriptor). NULL when an entry points outside the bytes, when the list is empty or
// longer than USBD_MAX_INTERFACES_PER_REQUEST, when the configuration descriptor itself does not
// fit, or when the allocation fails. Fills each entry's Interface with its record in the URB.
PURB CreateConfigurationRequestBounded(const void *bytes, size_t byteCount, PUSBD_INTERFACE_LIST_ENTRY list);

} // namespace usbd

extern "C"
{
    PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR config,
                                                                  PVOID startPosition, LONG interfaceNumber,
                                                                  LONG alternateSetting, LONG interfaceClass,
                                                                  LONG interfaceSubClass,
                                                                  LONG interfaceProtocol);
    PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID descriptorBuffer, ULONG totalLength,
                                                 PVOID startPosition, LONG descriptorType);
    PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR config,
                                           PUSBD_INTERFACE_LIST_ENTRY list);
}
