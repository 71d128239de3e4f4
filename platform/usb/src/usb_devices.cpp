// Virtual devices: descriptors, the request-handler table and the standard requests every device
// answers (GET_DESCRIPTOR for device, configuration and strings).
#include "usb_bus_internal.h"

#include <algorithm>

namespace usbsim
{

bool RequestMatch::Matches(const ControlRequest &r) const
{
    if (in && *in != r.in)
        return false;
    if (type && *type != r.type)
        return false;
    if (recipient && *recipient != r.recipient)
        return false;
    if (bRequest && *bRequest != r.bRequest)
        return false;
    if (wValue && (*wValue & wValueMask) != (r.wValue & wValueMask))
        return false;
    if (wIndex && (*wIndex & wIndexMask) != (r.wIndex & wIndexMask))
        return false;
    return true;
}

namespace
{

ControlReply StandardGetDescriptor(VirtualDevice &d, const ControlRequest &r)
{
    const uint8_t type = uint8_t(r.wValue >> 8), index = uint8_t(r.wValue);
    DescriptorSet &set = d.Descriptors();
    switch (type)
    {
    case USB_DEVICE_DESCRIPTOR_TYPE:
        return ControlReply::Data(set.device);
    case USB_CONFIGURATION_DESCRIPTOR_TYPE:
        if (index != 0)
            return ControlReply::Stall();
        return ControlReply::Data(set.configuration);
    default:
        return ControlReply::Stall();
    }
}

} // namespace

VirtualDevice::VirtualDevice(DescriptorSet descriptors, DeviceFamily family)
    : m_desc(std::move(descriptors)), m_family(family)
{
    RequestMatch getDescriptor;
    getDescriptor.in = true;
    getDescriptor.type = RequestType::Standard;
    getDescriptor.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    AddHandler(getDescriptor,
               [](VirtualDevice &d, const ControlRequest &r) -> ControlReply
               {
                   if (uint8_t(r.wValue >> 8) != USB_STRING_DESCRIPTOR_TYPE)
                       return r.recipient == Recipient::Device ? StandardGetDescriptor(d, r)
                                                               : ControlReply::Stall();
                   const uint8_t index = uint8_t(r.wValue);
                   if (auto raw = d.m_rawStrings.find(index); raw != d.m_rawStrings.end())
                       return ControlReply::Data(raw->second);
                   if (index == 0)
                       return ControlReply::Data({4, USB_STRING_DESCRIPTOR_TYPE, 0x09, 0x04}); // US English
                   auto text = d.m_desc.strings.find(index);
                   if (text == d.m_desc.strings.end())
                       return ControlReply::Stall();
                   return ControlReply::Data(StringDescriptor(text->second));
               });
}

VirtualDevice::~VirtualDevice() = default;

static uint16_t DeviceField16(const Bytes &device, size_t offset)
{
    return device.size() >= offset + 2 ? uint16_t(device[offset] | device[offset + 1] << 8) : 0;
}
uint16_t VirtualDevice::VendorId() const
{
    return DeviceField16(m_desc.device, 8);
}
uint16_t VirtualDevice::ProductId() const
{
    return DeviceField16(m_desc.device, 10);
}
uint16_t VirtualDevice::BcdDevice() const
{
    return DeviceField16(m_desc.device, 12);
}

int VirtualDevice::AddHandler(const RequestMatch &match, ControlHandler handler)
{
    const int id = m_nextHandlerId++;
    m_handlers.push_back({id, match, std::move(handler)});
    return id;
}

void VirtualDevice::RemoveHandler(int id)
{
    m_handlers.erase(std::remove_if(m_handlers.begin(), m_handlers.end(),
                                    [id](const HandlerEntry &e) { return e.id == id; }),
                     m_handlers.end());
}

ControlReply VirtualDevice::Handle(const ControlRequest &request)
{
    for (auto it = m_handlers.rbegin(); it != m_handlers.rend(); ++it)
        if (it->match.Matches(request))
        {
            // A copy: the handler may add or remove handlers.
            ControlHandler h = it->handler;
            return h(*this, request);
        }
    return ControlReply::Stall();
}

bool VirtualDevice::HasControl(uint8_t entity, uint8_t selector, uint8_t channel) const
{
    auto e = m_entities.find(entity);
    return e != m_entities.end() && e->second.controls.count({selector, channel}) != 0;
}

uint32_t VirtualDevice::EndpointRate(uint8_t endpointAddress) const
{
    auto it = m_rates.find(endpointAddress);
    return it == m_rates.end() ? 0 : it->second;
}

void VirtualDevice::SetEndpointRate(uint8_t endpointAddress, uint32_t rate)
{
    m_rates[endpointAddress] = rate;
    if (m_bus)
        m_bus->Iso(m_port).SetStreamRate(endpointAddress, rate);
}

void VirtualDevice::LogEvent(const Event &event)
{
    if (m_bus == nullptr)
        return;
    Bus::Impl *impl = m_bus->m_impl.get();
    std::lock_guard<std::recursive_mutex> g(impl->mu);
    Event e = event;
    e.port = m_port;
    impl->AddEvent(std::move(e));
}

} // namespace usbsim
