// Bounded descriptor walks and the configuration-request builder.
#include <usbd_lib.h>

#include <cstring>

namespace
{

// Byte position of p inside [base, base + count), or -1.
ptrdiff_t PositionIn(const void *base, size_t count, const void *p)
{
    const uintptr_t b = reinterpret_cast<uintptr_t>(base);
    const uintptr_t q = reinterpret_cast<uintptr_t>(p);
    if (base == nullptr || p == nullptr || q < b || q - b >= count)
        return -1;
    return ptrdiff_t(q - b);
}

// Walks well-formed descriptors from `start`; calls match(descriptor) on each and returns the first
// it accepts. A descriptor must have bLength >= 2 and end inside the bound.
template <typename Match>
const USB_COMMON_DESCRIPTOR *Walk(const void *bytes, size_t count, const void *start, Match match)
{
    ptrdiff_t pos = PositionIn(bytes, count, start);
    if (pos < 0)
        return nullptr;
    const uint8_t *base = static_cast<const uint8_t *>(bytes);
    size_t at = size_t(pos);
    while (count - at >= 2)
    {
        const uint8_t length = base[at];
        if (length < 2 || length > count - at)
            return nullptr;
        auto d = reinterpret_cast<const USB_COMMON_DESCRIPTOR *>(base + at);
        if (match(d))
            return d;
        at += length;
    }
    return nullptr;
}

} // namespace

namespace usbd
{

const USB_COMMON_DESCRIPTOR *ParseDescriptorsBounded(const void *bytes, size_t byteCount, const void *start,
                                                     LONG type)
{
    return Walk(bytes, byteCount, start,
                [type](const USB_COMMON_DESCRIPTOR *d) { return type == -1 || d->bDescriptorType == type; });
}

const USB_INTERFACE_DESCRIPTOR *ParseInterfaceBounded(const void *bytes, size_t byteCount, const void *start,
                                                      LONG interfaceNumber, LONG alternateSetting,
                                                      LONG interfaceClass, LONG interfaceSubClass,
                                                      LONG interfaceProtocol)
{
    auto fits = [](LONG want, UCHAR have) { return want == -1 || want == LONG(have); };
    auto d = Walk(bytes, byteCount, start,
                  [&](const USB_COMMON_DESCRIPTOR *c)
                  {
                      if (c->bDescriptorType != USB_INTERFACE_DESCRIPTOR_TYPE ||
                          c->bLength < sizeof(USB_INTERFACE_DESCRIPTOR))
                          return false;
                      auto i = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(c);
                      return fits(interfaceNumber, i->bInterfaceNumber) &&
                             fits(alternateSetting, i->bAlternateSetting) &&
                             fits(interfaceClass, i->bInterfaceClass) &&
                             fits(interfaceSubClass, i->bInterfaceSubClass) &&
                             fits(interfaceProtocol, i->bInterfaceProtocol);
                  });
    return reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(d);
}

PURB CreateConfigurationRequestBounded(const void *bytes, size_t byteCount, PUSBD_INTERFACE_LIST_ENTRY list)
{
    if (bytes == nullptr || list == nullptr || byteCount < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return nullptr;
    size_t interfaces = 0, pipes = 0;
    for (; list[interfaces].InterfaceDescriptor != nullptr; ++interfaces)
    {
        if (interfaces == USBD_MAX_INTERFACES_PER_REQUEST)
            return nullptr;
        const void *p = list[interfaces].InterfaceDescriptor;
        ptrdiff_t pos = PositionIn(bytes, byteCount, p);
        if (pos < 0 || byteCount - size_t(pos) < sizeof(USB_INTERFACE_DESCRIPTOR))
            return nullptr;
        UCHAR n = list[interfaces].InterfaceDescriptor->bNumEndpoints;
        pipes += n < USBD_MAX_PIPES_PER_INTERFACE ? n : USBD_MAX_PIPES_PER_INTERFACE;
    }
    if (interfaces == 0)
        return nullptr;
    const size_t size = offsetof(URB_SELECT_CONFIGURATION, Interface) +
                        interfaces * offsetof(USBD_INTERFACE_INFORMATION, Pipes) +
                        pipes * sizeof(USBD_PIPE_INFORMATION);
    auto urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, USBD_REQUEST_POOL_TAG));
    if (urb == nullptr)
        return nullptr;
    memset(urb, 0, size);
    auto *record = reinterpret_cast<uint8_t *>(&urb->UrbSelectConfiguration.Interface);
    for (size_t i = 0; i < interfaces; ++i)
    {
        const USB_INTERFACE_DESCRIPTOR *d = list[i].InterfaceDescriptor;
        ULONG n =
            d->bNumEndpoints < USBD_MAX_PIPES_PER_INTERFACE ? d->bNumEndpoints : USBD_MAX_PIPES_PER_INTERFACE;
        auto info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
        info->Length = GET_USBD_INTERFACE_SIZE(n);
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = n;
        for (ULONG k = 0; k < n; ++k)
            info->Pipes[k].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        list[i].Interface = info;
        record += info->Length;
    }
    UsbBuildSelectConfigurationRequest(urb, USHORT(size),
                                       static_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<void *>(bytes)));
    return urb;
}

} // namespace usbd

extern "C" PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR config, PVOID startPosition,
                                    LONG interfaceNumber, LONG alternateSetting, LONG interfaceClass,
                                    LONG interfaceSubClass, LONG interfaceProtocol)
{
    if (config == nullptr)
        return nullptr;
    return const_cast<PUSB_INTERFACE_DESCRIPTOR>(
        usbd::ParseInterfaceBounded(config, config->wTotalLength, startPosition, interfaceNumber,
                                    alternateSetting, interfaceClass, interfaceSubClass, interfaceProtocol));
}

extern "C" PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID descriptorBuffer, ULONG totalLength,
                                                        PVOID startPosition, LONG descriptorType)
{
    return const_cast<PUSB_COMMON_DESCRIPTOR>(
        usbd::ParseDescriptorsBounded(descriptorBuffer, totalLength, startPosition, descriptorType));
}

extern "C" PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR config,
                                                  PUSBD_INTERFACE_LIST_ENTRY list)
{
    if (config == nullptr)
        return nullptr;
    return usbd::CreateConfigurationRequestBounded(config, config->wTotalLength, list);
}
