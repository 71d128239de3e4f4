// The device's own entries in the Enum tree: the "SelectiveSuspendEnabled" value under its
// "Device Parameters" key, and the "FriendlyName" and "Mfg" values of its instance key.
//
// Both reach the instance key the same way: for each hardware identifier of the physical device in
// order (the first cut at its first ","), the key "<id>\<instance>" below
// "\Registry\Machine\SYSTEM\CurrentControlSet\Enum" or, when that cannot be opened, below
// "\Registry\Machine\Enum", where <instance> is the name of the device's instance key. An
// identifier whose path does not fit the path buffer is skipped. PASSIVE_LEVEL.
#pragma once

#include <ntkernel.h>

#include "driver/core/usb_lower_requests.h"

// Characters a path to an instance key may have, without the terminator.
#define USB_REGISTRY_PATH_CHARS 255

// *value is left as the caller set it (0 by convention) unless a value of at most 4 bytes is found;
// each instance key that holds one overwrites the result, the last one wins.
VOID UsbReadSelectiveSuspend(PDEVICE_OBJECT physicalDevice, PULONG value);

// The identity the device descriptor gave.
struct USB_DEVICE_IDENTITY
{
    USHORT VendorId;
    USHORT ProductId;
    UCHAR ManufacturerIndex;
    UCHAR ProductIndex;
};

// Writes "FriendlyName" (the product string) and "Mfg" (the manufacturer string; for the chip
// maker's own vendor only with products 0x0067, 0x0068 and 0x0161) as REG_SZ into every instance
// key found. Trailing blanks are removed; a text of more than 49 characters is written as "". A
// string that cannot be read is not written. Never fails: names are a courtesy to the user.
VOID UsbWriteDeviceNames(PUSBLOWERREQUESTS lower, PDEVICE_OBJECT physicalDevice,
                         const USB_DEVICE_IDENTITY &identity);
