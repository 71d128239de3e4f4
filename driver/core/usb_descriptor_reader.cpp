// Descriptor reads and the string-descriptor reader.
#include "driver/core/usb_descriptor_reader.h"

#include "driver/base/pool_memory.h"

NTSTATUS UsbGetDescriptor(PUSBLOWERREQUESTS lower, UCHAR type, UCHAR index, USHORT languageId, PVOID buffer,
                          ULONG length, PULONG returned, ULONG urbTag)
{
    *returned = 0;
    const USHORT urbBytes = USHORT(sizeof(URB_CONTROL_DESCRIPTOR_REQUEST));
    PURB urb = static_cast<PURB>(AllocPoolZeroed(urbBytes, NonPagedPool, urbTag));
    if (!urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    UsbBuildGetDescriptorRequest(urb, urbBytes, type, index, languageId, buffer, nullptr, length, nullptr);
    NTSTATUS status = lower->SubmitUrb(urb);
    if (NT_SUCCESS(status) && !USBD_SUCCESS(urb->UrbHeader.Status))
        status = STATUS_UNSUCCESSFUL;
    if (NT_SUCCESS(status))
    {
        const ULONG got = urb->UrbControlDescriptorRequest.TransferBufferLength;
        *returned = got < length ? got : length;
    }
    FreePool(urb);
    return status;
}

ULONG UsbStringCharacters(const void *bytes, ULONG returned, ULONG bufferBytes)
{
    if (returned == 0 || bufferBytes == 0)
        return 0;
    ULONG usable = static_cast<const UCHAR *>(bytes)[0];
    if (returned < usable)
        usable = returned;
    if (bufferBytes < usable)
        usable = bufferBytes;
    return usable < 2 ? 0 : (usable - 2) / 2;
}

NTSTATUS UsbCheckStringDescriptor(const void *bytes, ULONG returned, ULONG bufferBytes, PULONG characters)
{
    *characters = 0;
    if (returned > bufferBytes)
        returned = bufferBytes;
    if (returned < 2)
        return STATUS_UNSUCCESSFUL;
    const UCHAR *b = static_cast<const UCHAR *>(bytes);
    if (b[1] != USB_STRING_DESCRIPTOR_TYPE || b[0] < 2)
        return STATUS_UNSUCCESSFUL;
    *characters = UsbStringCharacters(bytes, returned, bufferBytes);
    return STATUS_SUCCESS;
}

NTSTATUS UsbReadString(PUSBLOWERREQUESTS lower, UCHAR index, USHORT languageId, ULONG requestBytes,
                       ULONG bufferBytes, ULONG bufferTag, ULONG urbTag, USB_STRING_TEXT *text)
{
    *text = {};
    if (requestBytes > bufferBytes)
        return STATUS_INVALID_PARAMETER;
    PVOID block = AllocPoolZeroed(bufferBytes, NonPagedPool, bufferTag);
    if (!block)
        return STATUS_INSUFFICIENT_RESOURCES;
    ULONG returned = 0, characters = 0;
    NTSTATUS status = UsbGetDescriptor(lower, USB_STRING_DESCRIPTOR_TYPE, index, languageId, block,
                                       requestBytes, &returned, urbTag);
    if (NT_SUCCESS(status))
        status = UsbCheckStringDescriptor(block, returned, bufferBytes, &characters);
    if (!NT_SUCCESS(status))
    {
        FreePool(block);
        return status;
    }
    PWCHAR chars = reinterpret_cast<PWCHAR>(static_cast<PUCHAR>(block) + 2);
    // Bytes beyond what the device sent are zero already; cut a longer bLength's text here.
    if (2 + (characters + 1) * sizeof(WCHAR) <= bufferBytes)
        chars[characters] = 0;
    text->Block = block;
    text->Text = chars;
    text->Characters = characters;
    return STATUS_SUCCESS;
}

VOID UsbFreeString(USB_STRING_TEXT *text)
{
    FreePool(text->Block);
    *text = {};
}
