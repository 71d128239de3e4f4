#include "driver/core/uac_requests.h"

#include "driver/base/pool_memory.h"

namespace
{

// The request block is the platform's URB union, which is 80 bytes on the 32-bit target.
constexpr ULONG kBounceMax = UAC_ANSWER_MAX;
static_assert(UAC_MEMORY_MAX <= kBounceMax);

} // namespace

UCHAR UacWireChannel(ULONG channel)
{
    switch (channel)
    {
    case 5:
        return 7;
    case 6:
        return 8;
    case 7:
        return 5;
    case 8:
        return 6;
    default:
        return UCHAR(channel);
    }
}

ULONG UacLevelBytes(UCHAR control)
{
    switch (control)
    {
    case 1:
    case 3:
    case 4:
    case 5:
    case 6:
    case 7:
    case 9:
    case 10:
        return 1;
    default:
        // Vendor switches are one byte too; the vendor volume is a level.
        return (control & 0x80) && control != 0x82 ? 1 : 2;
    }
}

LONG UacLevelFromWire(LONG wire, ULONG bytes)
{
    return bytes == 1 ? LONG(int8_t(wire)) * 16384 : LONG(int16_t(wire)) * 256;
}

LONG UacLevelToWire(LONG level, ULONG bytes)
{
    const LONG shifted = bytes == 1 ? level >> 14 : level >> 8;
    const LONG low = bytes == 1 ? -128 : -0x8000, high = bytes == 1 ? 127 : 0x7FFF;
    return shifted < low ? low : shifted > high ? high : shifted;
}

NTSTATUS UacRequest(const UacRequestTarget &target, BOOLEAN in, UCHAR request, USHORT value, UCHAR entity,
                    PVOID buffer, ULONG length, PULONG returned)
{
    // Selectors with bit 7 set are the chip's own controls, addressed as vendor requests.
    return UacFormRequest(target, (value & 0x8000) != 0, in, request, value, entity, buffer, length,
                          returned);
}

NTSTATUS UacFormRequest(const UacRequestTarget &target, BOOLEAN vendor, BOOLEAN in, UCHAR request,
                        USHORT value, UCHAR entity, PVOID buffer, ULONG length, PULONG returned)
{
    if (!target.Lower || !buffer || !length || length > kBounceMax)
        return STATUS_INVALID_PARAMETER;
    // The answer lands in a bounce buffer first, so a short or failed one writes nothing. The buffer
    // follows the request block in the same allocation: one block per request, not two.
    PURB urb = static_cast<PURB>(AllocPoolZeroed(sizeof(URB) + length, NonPagedPool, target.PoolTag));
    if (!urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    PUCHAR bounce = reinterpret_cast<PUCHAR>(urb + 1);
    if (!in)
        RtlCopyMemory(bounce, buffer, length);
    const USHORT function = vendor ? URB_FUNCTION_VENDOR_INTERFACE : URB_FUNCTION_CLASS_INTERFACE;
    const ULONG flags = in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0;
    const USHORT index = USHORT(entity << 8 | target.InterfaceNumber);
    UsbBuildVendorRequest(urb, function, USHORT(sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST)), flags, 0,
                          request, value, index, bounce, nullptr, length, nullptr);
    NTSTATUS status = target.Lower->SubmitUrb(urb);
    const ULONG moved = urb->UrbControlVendorClassRequest.TransferBufferLength;
    if (NT_SUCCESS(status) && in)
    {
        if (moved > length || (!returned && moved < length))
            status = STATUS_UNSUCCESSFUL;
        else
        {
            RtlCopyMemory(buffer, bounce, moved);
            if (returned)
                *returned = moved;
        }
    }
    FreePool(urb);
    return status;
}

BOOLEAN UacIsAlternateSettingValid(IUsbLowerRequests *lower, UCHAR streamingInterface, UCHAR alternateSetting)
{
    if (alternateSetting == 0)
        return TRUE;
    UCHAR answer[5] = {};
    ULONG got = 0;
    const UacRequestTarget target{lower, streamingInterface, UacVersion::Uac2, PoolTag::UA20};
    if (!NT_SUCCESS(
            UacRequest(target, TRUE, UAC2_CUR, UAC2_VALID_ALTERNATES, 0, answer, sizeof answer, &got)) ||
        got < 1)
        return FALSE;
    const ULONG mapBytes = answer[0] < 4 ? answer[0] : 4;
    // The bit map must have arrived whole, and the setting must lie inside it.
    if (got < 1 + mapBytes || alternateSetting >= 8 * mapBytes)
        return FALSE;
    return (answer[1 + alternateSetting / 8] >> (alternateSetting % 8)) & 1;
}
