// Descriptor reads over a synchronous URB, and the one string-descriptor reader every part of the
// driver uses (device names, the driver name of the private interface, the identification string).
// All entry points that send a request run at PASSIVE_LEVEL.
#pragma once

#include <ntkernel.h>
#include <usb_urb.h>

#include "driver/core/usb_lower_requests.h"

#define USB_LANGUAGE_ENGLISH_US 0x0409

// GET_DESCRIPTOR of `type`/`index` into `buffer` (`length` bytes asked). The URB is allocated with
// `urbTag`. Success needs both the IRP and the URB to succeed; *returned is then the byte count the
// device gave (never above `length`), else 0.
NTSTATUS UsbGetDescriptor(PUSBLOWERREQUESTS lower, UCHAR type, UCHAR index, USHORT languageId, PVOID buffer,
                          ULONG length, PULONG returned, ULONG urbTag);

// Characters of a string descriptor as received: (min(bLength, returned, bufferBytes) - 2) / 2, and
// 0 when that minimum is below 2. Reads at most the first byte of `bytes`, and only when returned
// and bufferBytes are both at least 1.
ULONG UsbStringCharacters(const void *bytes, ULONG returned, ULONG bufferBytes);

// A string descriptor is readable when at least 2 bytes came, its type is 3 and its bLength is at
// least 2. Readable: *characters as UsbStringCharacters and STATUS_SUCCESS. Otherwise
// STATUS_UNSUCCESSFUL with *characters 0.
NTSTATUS UsbCheckStringDescriptor(const void *bytes, ULONG returned, ULONG bufferBytes, PULONG characters);

// A string read from the device. Block is the pool block holding the descriptor (tag as asked);
// Text points at its first code unit (inside Block) and holds Characters code units, terminated
// when the block has room for the terminator. Release with UsbFreeString.
struct USB_STRING_TEXT
{
    PVOID Block;
    PCWSTR Text;
    ULONG Characters;
};

// Reads string descriptor `index` in `languageId`, asking `requestBytes` into a zeroed block of
// `bufferBytes` (>= requestBytes) tagged `bufferTag`; the URB is tagged `urbTag`. On success *text
// owns the block. An unreadable string (see UsbCheckStringDescriptor) gives STATUS_UNSUCCESSFUL;
// a failed allocation STATUS_INSUFFICIENT_RESOURCES; a failed request its status. On every failure
// *text is empty and nothing stays allocated.
NTSTATUS UsbReadString(PUSBLOWERREQUESTS lower, UCHAR index, USHORT languageId, ULONG requestBytes,
                       ULONG bufferBytes, ULONG bufferTag, ULONG urbTag, USB_STRING_TEXT *text);
VOID UsbFreeString(USB_STRING_TEXT *text);
