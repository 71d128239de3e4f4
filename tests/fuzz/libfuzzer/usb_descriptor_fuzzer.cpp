// libFuzzer entry for the bounded descriptor helpers, the request builder and the printer.
// CI seeds it with what usb_descriptor_seeds writes: the malformed corpus and the builders' output.
#include <cstdint>
#include <cstring>
#include <vector>

#include <ntkernel.h>
#include <sim/usb_printer.h>
#include <usbd_lib.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A private copy, exactly sized, so any read past it is caught.
    std::vector<uint8_t> b(data, data + size);
    const uint8_t *base = b.data();
    for (size_t start = 0; start < size; start += 1 + start / 8) {
        for (LONG type : {-1, 4, 5, 0x24}) {
            auto d = usbd::ParseDescriptorsBounded(base, size, base + start, type);
            if (d && (reinterpret_cast<const uint8_t *>(d) + d->bLength > base + size || d->bLength < 2))
                __builtin_trap();
        }
    }
    USBD_INTERFACE_LIST_ENTRY list[9] = {};
    size_t k = 0;
    for (auto i = usbd::ParseInterfaceBounded(base, size, base, -1, -1, -1, -1, -1); i && k < 8;
         i = usbd::ParseInterfaceBounded(base, size, reinterpret_cast<const uint8_t *>(i) + i->bLength, -1, -1, -1,
                                         -1, -1)) {
        if (i->bLength < 9 || reinterpret_cast<const uint8_t *>(i) + i->bLength > base + size)
            __builtin_trap();
        list[k++].InterfaceDescriptor = const_cast<PUSB_INTERFACE_DESCRIPTOR>(i);
    }
    if (PURB urb = usbd::CreateConfigurationRequestBounded(base, size, list))
        ExFreePool(urb);
    (void)usbsim::PrintDescriptors(base, size);
    return 0;
}
