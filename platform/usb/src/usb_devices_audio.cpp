// The audio-class devices: entity state taken from the configuration's class descriptors, the UAC1
// and UAC2 control requests over that state, and the canned vendor and chip requests.
#include "usb_bus_internal.h"

#include <usbd_lib.h>

namespace usbsim
{

namespace
{

constexpr uint8_t kCsInterface = USB_CS_INTERFACE_DESCRIPTOR_TYPE;

// UAC1 request codes; UAC2 uses CUR 1, RANGE 2, MEM 3.
enum : uint8_t
{
    kSetCur = 0x01,
    kGetCur = 0x81,
    kGetMin = 0x82,
    kGetMax = 0x83,
    kGetRes = 0x84,
    kGetMem = 0x85
};
enum : uint8_t
{
    kCur2 = 0x01,
    kRange2 = 0x02,
    kMem2 = 0x03
};

Bytes Encode(int64_t v, uint8_t size)
{
    Bytes b(size);
    for (uint8_t k = 0; k < size; ++k)
        b[k] = uint8_t(uint64_t(v) >> (8 * k));
    return b;
}

// Little-endian, sign-extended when the control is signed (every size below 4; 4-byte values are
// frequencies and delays).
int64_t Decode(const Bytes &b, uint8_t size)
{
    uint64_t v = 0;
    for (uint8_t k = 0; k < size && k < b.size(); ++k)
        v |= uint64_t(b[k]) << (8 * k);
    if (size < 4 && size > 0 && (v >> (8 * size - 1)) & 1)
        v |= ~uint64_t(0) << (8 * size);
    return int64_t(v);
}

// Default state of a feature-unit control, by selector; UAC2 sizes differ only for delay.
ControlState FeatureControl(uint8_t selector, bool uac2)
{
    ControlState c;
    switch (selector)
    {
    case 2: // volume, 1/256 dB
        c.size = 2;
        c.cur = -0x0C00;
        c.min = -0x3C00;
        c.max = 0;
        c.res = 0x0100;
        break;
    case 3:
    case 4:
    case 5: // bass, mid, treble, 1/4 dB
        c.size = 1;
        c.cur = 0;
        c.min = -48;
        c.max = 48;
        c.res = 1;
        break;
    case 8: // delay
        c.size = uac2 ? 4 : 2;
        c.cur = 0;
        c.min = 0;
        c.max = 0x100;
        c.res = 1;
        break;
    case 11:
    case 12: // input gain, pad
        c.size = 2;
        c.cur = 0;
        c.min = -0x1000;
        c.max = 0x1000;
        c.res = 0x0100;
        break;
    default: // mute, AGC, bass boost, loudness and the vendor controls: on/off
        c.size = 1;
        c.cur = 0;
        c.min = 0;
        c.max = 1;
        c.res = 1;
        break;
    }
    return c;
}

// Calls f(descriptor, length, interface descriptor or null) for each well-formed descriptor.
template <typename F> void ForEachDescriptor(const Bytes &config, F f)
{
    const USB_INTERFACE_DESCRIPTOR *iface = nullptr;
    const void *at = config.data();
    while (const USB_COMMON_DESCRIPTOR *d =
               usbd::ParseDescriptorsBounded(config.data(), config.size(), at, -1))
    {
        const auto *b = reinterpret_cast<const uint8_t *>(d);
        if (d->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE && d->bLength >= 9)
            iface = reinterpret_cast<const USB_INTERFACE_DESCRIPTOR *>(d);
        f(b, size_t(d->bLength), iface);
        at = b + d->bLength;
    }
}

bool IsAudioControl(const USB_INTERFACE_DESCRIPTOR *i)
{
    return i && i->bInterfaceClass == USB_DEVICE_CLASS_AUDIO &&
           i->bInterfaceSubClass == USB_AUDIO_SUBCLASS_AUDIOCONTROL;
}
bool IsAudioStreaming(const USB_INTERFACE_DESCRIPTOR *i)
{
    return i && i->bInterfaceClass == USB_DEVICE_CLASS_AUDIO &&
           i->bInterfaceSubClass == USB_AUDIO_SUBCLASS_AUDIOSTREAMING;
}

// Whether `rate` lies in one of the subranges (a zero resolution accepts only the ends).
bool InRanges(const ControlState &c, int64_t rate)
{
    std::vector<Subrange> ranges = c.ranges;
    if (ranges.empty())
        ranges.push_back({c.min, c.max, c.res});
    for (const Subrange &r : ranges)
    {
        if (rate < r.min || rate > r.max)
            continue;
        if (r.res == 0 ? (rate == r.min || rate == r.max) : (rate - r.min) % r.res == 0)
            return true;
    }
    return false;
}

Bytes RangeBlock(const ControlState &c)
{
    std::vector<Subrange> ranges = c.ranges;
    if (ranges.empty())
        ranges.push_back({c.min, c.max, c.res});
    Bytes b = Encode(int64_t(ranges.size()), 2);
    for (const Subrange &r : ranges)
        for (int64_t v : {r.min, r.max, r.res})
        {
            Bytes e = Encode(v, c.size);
            b.insert(b.end(), e.begin(), e.end());
        }
    return b;
}

RequestMatch Match(std::optional<bool> in, RequestType type, Recipient recipient)
{
    RequestMatch m;
    m.in = in;
    m.type = type;
    m.recipient = recipient;
    return m;
}

// An entity's memory read: its bytes, or a stall when it has none.
ControlReply MemoryReply(VirtualDevice &d, uint8_t entity)
{
    const Bytes &m = d.Entity(entity).memory;
    return m.empty() ? ControlReply::Stall() : ControlReply::Data(m);
}

ControlReply EntityRequestUac1(VirtualDevice &d, const ControlRequest &r)
{
    const uint8_t entity = r.EntityId(), cs = r.ControlSelector(), ch = r.Channel();
    if (r.bRequest == kGetMem && r.in)
    {
        return MemoryReply(d, entity);
    }
    // The vendor controls an entity's memory block advertises are one-byte switches, off at first.
    if ((cs & 0x80) && !d.Entity(entity).memory.empty() && !d.HasControl(entity, cs, ch))
    {
        ControlState &sw = d.Control(entity, cs, ch);
        sw.size = 1;
        sw.cur = sw.min = 0;
        sw.max = 1;
    }
    if (!d.HasControl(entity, cs, ch))
        return ControlReply::Stall();
    ControlState &c = d.Control(entity, cs, ch);
    if (!r.in)
    {
        if (r.bRequest != kSetCur || r.wLength != c.size)
            return ControlReply::Stall();
        c.cur = Decode(r.data, c.size);
        ++c.setCount;
        return ControlReply::Ok();
    }
    switch (r.bRequest)
    {
    case kGetCur:
        return ControlReply::Data(Encode(c.cur, c.size));
    case kGetMin:
        return ControlReply::Data(Encode(c.min, c.size));
    case kGetMax:
        return ControlReply::Data(Encode(c.max, c.size));
    case kGetRes:
        return ControlReply::Data(Encode(c.res, c.size));
    default:
        return ControlReply::Stall();
    }
}

// The sampling-frequency control of a data endpoint (UAC1): 3 bytes, Hz.
ControlReply EndpointRequestUac1(VirtualDevice &d, const ControlRequest &r)
{
    const uint8_t ep = uint8_t(r.wIndex);
    if (r.ControlSelector() != 0x01 || d.EndpointRate(ep) == 0)
        return ControlReply::Stall();
    if (r.in)
        return r.bRequest == kGetCur ? ControlReply::Data(Encode(d.EndpointRate(ep), 3))
                                     : ControlReply::Stall();
    if (r.bRequest != kSetCur || r.wLength != 3)
        return ControlReply::Stall();
    const uint32_t rate = uint32_t(r.data[0] | r.data[1] << 8 | r.data[2] << 16);
    if (rate == 0)
        return ControlReply::Stall();
    d.SetEndpointRate(ep, rate);
    return ControlReply::Ok();
}

ControlReply EntityRequestUac2(VirtualDevice &d, const ControlRequest &r)
{
    const uint8_t entity = r.EntityId(), cs = r.ControlSelector(), ch = r.Channel();
    if (entity == 0)
    {
        // AudioStreaming interface: the valid-alternate-settings control.
        const uint8_t iface = r.InterfaceNumber();
        auto it = d.validAlternates.find(iface);
        if (!r.in || r.bRequest != kCur2 || cs != 0x02 || it == d.validAlternates.end())
            return ControlReply::Stall();
        Bytes b = {4};
        Bytes bits = Encode(it->second, 4);
        b.insert(b.end(), bits.begin(), bits.end());
        return ControlReply::Data(b);
    }
    if (r.bRequest == kMem2 && r.in)
    {
        return MemoryReply(d, entity);
    }
    if (!d.HasControl(entity, cs, ch))
        return ControlReply::Stall();
    ControlState &c = d.Control(entity, cs, ch);
    if (r.bRequest == kRange2)
        return r.in ? ControlReply::Data(RangeBlock(c)) : ControlReply::Stall();
    if (r.bRequest != kCur2)
        return ControlReply::Stall();
    if (r.in)
        return ControlReply::Data(Encode(c.cur, c.size));
    if (r.wLength != c.size)
        return ControlReply::Stall();
    const int64_t v = Decode(r.data, c.size);
    const bool clockFrequency = entity == d.ClockId() && cs == 0x01;
    if (clockFrequency && !InRanges(c, v))
        return ControlReply::Stall();
    c.cur = v;
    ++c.setCount;
    if (clockFrequency)
        for (const auto &entry : std::map<uint8_t, uint32_t>(d.EndpointRates()))
            d.SetEndpointRate(entry.first, uint32_t(v));
    return ControlReply::Ok();
}

// A UAC1 format-type descriptor's rate: the first discrete rate that is not 0, or the top of a
// continuous range (bSamFreqType 0). 0 (no sampling-frequency control) when bLength cannot hold the
// rate table that bSamFreqType announces: the bytes after it belong to the next descriptor, or to
// nothing.
uint32_t FormatTypeRate(const uint8_t *b, size_t len)
{
    const uint8_t rates = b[7];
    const size_t need = rates == 0 ? 14 : 8 + 3 * size_t(rates);
    if (len < need)
        return 0;
    const uint8_t *rate = b + (rates == 0 ? 11 : 8);
    for (size_t n = rates == 0 ? 1 : rates; n > 0; --n, rate += 3)
        if (const uint32_t hz = uint32_t(rate[0] | rate[1] << 8 | rate[2] << 16); hz != 0)
            return hz;
    return 0;
}

// Jack, presence and output-type requests; `uac2` chooses the class form (CUR / RANGE) over the
// vendor form (0x81 / 0x86). Unknown terminals stall.
void InstallJackHandlers(VirtualDevice &d, bool uac2)
{
    // A terminal without canned data falls through to the entity controls (clock validity shares
    // wValue 0x0200 with jack presence).
    ControlReply (*const fallback)(VirtualDevice &, const ControlRequest &) =
        uac2 ? EntityRequestUac2 : EntityRequestUac1;
    const RequestType type = uac2 ? RequestType::Class : RequestType::Vendor;
    const uint8_t get = uac2 ? kCur2 : 0x81, list = uac2 ? kRange2 : 0x86;
    auto on = [&](bool in, uint8_t request, uint16_t value, ControlHandler h)
    {
        RequestMatch m = Match(in, type, Recipient::Interface);
        m.bRequest = request;
        m.wValue = value;
        d.AddHandler(m, std::move(h));
    };
    on(true, get, 0x02FF,
       [fallback](VirtualDevice &v, const ControlRequest &r)
       {
           auto it = v.jacks.find(r.EntityId());
           if (it == v.jacks.end())
               return fallback(v, r);
           Bytes b = {uint8_t(it->second.size())};
           for (const VirtualDevice::Jack &j : it->second)
           {
               Bytes m = Encode(j.channelMapping, 4), c = Encode(j.configuration, 4);
               b.insert(b.end(), m.begin(), m.end());
               b.insert(b.end(), c.begin(), c.end());
           }
           return ControlReply::Data(b);
       });
    on(true, get, 0x0200,
       [fallback](VirtualDevice &v, const ControlRequest &r)
       {
           auto it = v.presenceMask.find(r.EntityId());
           if (it == v.presenceMask.end())
               return fallback(v, r);
           Bytes b = {uint8_t(v.jacks[r.EntityId()].size())};
           Bytes m = Encode(it->second, 4);
           b.insert(b.end(), m.begin(), m.end());
           b.push_back(0);
           return ControlReply::Data(b);
       });
    on(true, list, 0x0800,
       [fallback](VirtualDevice &v, const ControlRequest &r)
       {
           auto it = v.outputTypes.find(r.EntityId());
           if (it == v.outputTypes.end())
               return fallback(v, r);
           Bytes b = Encode(int64_t(it->second.size()), 2);
           for (uint16_t t : it->second)
           {
               Bytes e = Encode(t, 2);
               b.insert(b.end(), e.begin(), e.end());
               b.insert(b.end(), 4, 0);
           }
           return ControlReply::Data(b);
       });
    on(true, get, 0x0800,
       [fallback](VirtualDevice &v, const ControlRequest &r)
       {
           auto it = v.currentOutputType.find(r.EntityId());
           return it == v.currentOutputType.end() ? fallback(v, r)
                                                  : ControlReply::Data(Encode(it->second, 2));
       });
    RequestMatch select = Match(false, type, Recipient::Interface);
    select.wValue = 0x0800;
    d.AddHandler(select,
                 [fallback](VirtualDevice &v, const ControlRequest &r)
                 {
                     auto types = v.outputTypes.find(r.EntityId());
                     if (types == v.outputTypes.end())
                         return fallback(v, r);
                     if (r.wLength != 2)
                         return ControlReply::Stall();
                     const uint16_t t = uint16_t(r.data[0] | r.data[1] << 8);
                     for (uint16_t known : types->second)
                         if (known == t)
                         {
                             v.currentOutputType[r.EntityId()] = t;
                             return ControlReply::Ok();
                         }
                     return ControlReply::Stall();
                 });
}

// Vendor reads to recipient "other", vendor request 7 (device) and 0x10 (interface).
void InstallVendorHandlers(VirtualDevice &d)
{
    d.AddHandler(Match(true, RequestType::Vendor, Recipient::Other),
                 [](VirtualDevice &v, const ControlRequest &r)
                 {
                     if (r.bRequest == 0x81)
                     {
                         auto reg = v.Registers().find(uint8_t(r.wIndex));
                         return reg == v.Registers().end() ? ControlReply::Stall()
                                                           : ControlReply::Data({reg->second});
                     }
                     auto it = v.otherReads.find(uint32_t(r.bRequest) << 16 | r.wValue);
                     return it == v.otherReads.end() ? ControlReply::Stall() : ControlReply::Data(it->second);
                 });
    RequestMatch seven = Match(false, RequestType::Vendor, Recipient::Device);
    seven.bRequest = 0x07;
    d.AddHandler(seven, [](VirtualDevice &v, const ControlRequest &)
                 { return v.stallVendor7 ? ControlReply::Stall() : ControlReply::Ok(); });
    RequestMatch ten = Match(false, RequestType::Vendor, Recipient::Interface);
    ten.bRequest = 0x10;
    d.AddHandler(ten, [](VirtualDevice &v, const ControlRequest &)
                 { return v.stallVendor10 ? ControlReply::Stall() : ControlReply::Ok(); });
}

// HID on interface 3 of the chip family: SET_REPORT writes a register, GET_REPORT reads the switch.
void InstallChipHandlers(VirtualDevice &d)
{
    RequestMatch set = Match(false, RequestType::Class, Recipient::Interface);
    set.bRequest = 0x09;
    set.wIndex = 3;
    d.AddHandler(set,
                 [](VirtualDevice &v, const ControlRequest &r)
                 {
                     if (r.wValue != 0x0200 || r.wLength != 4 || r.data[0] != 0x20)
                         return ControlReply::Stall();
                     Event e;
                     e.kind = EventKind::RegisterWrite;
                     e.reg = r.data[3];
                     e.regValue = uint16_t(r.data[1] | r.data[2] << 8);
                     e.data = r.data;
                     v.LogEvent(e);
                     return ControlReply::Ok();
                 });
    RequestMatch get = Match(true, RequestType::Class, Recipient::Interface);
    get.bRequest = 0x01;
    get.wIndex = 3;
    d.AddHandler(get,
                 [](VirtualDevice &v, const ControlRequest &r)
                 {
                     if (r.wValue != 0x0100)
                         return ControlReply::Stall();
                     if (v.reportScript.empty())
                         return ControlReply::Data(v.reportDefault);
                     Bytes b = v.reportScript.front();
                     v.reportScript.erase(v.reportScript.begin());
                     return ControlReply::Data(b);
                 });
}

} // namespace

void VirtualDevice::InstallFamilyHandlers()
{
    const bool uac2 = m_family == DeviceFamily::Uac2;
    // Entity state from the class descriptors of the AudioControl interface.
    uint32_t lastRate = 0;
    std::map<uint8_t, uint32_t> alternates;
    ForEachDescriptor(
        m_desc.configuration,
        [&](const uint8_t *b, size_t len, const USB_INTERFACE_DESCRIPTOR *i)
        {
            if (b[1] == USB_INTERFACE_DESCRIPTOR_TYPE && IsAudioStreaming(i))
                alternates[i->bInterfaceNumber] |= 1u << (i->bAlternateSetting & 31);
            if (b[1] == kCsInterface && IsAudioControl(i) && len >= 4)
            {
                const uint8_t subtype = b[2], id = b[3];
                if (subtype == 0x06 && !uac2 && len >= 7 && b[5] != 0)
                {
                    const uint8_t size = b[5];
                    const size_t channels = (len - 7) / size;
                    for (size_t ch = 0; ch < channels; ++ch)
                    {
                        uint32_t bits = 0;
                        for (uint8_t k = 0; k < size && k < 4; ++k)
                            bits |= uint32_t(b[6 + ch * size + k]) << (8 * k);
                        for (uint8_t cs = 1; cs <= 16; ++cs)
                            if (bits & (1u << (cs - 1)))
                                Control(id, cs, uint8_t(ch)) = FeatureControl(cs, false);
                    }
                    Entity(id).memory = {0x04, 0x00, 0x11, 0x22, 0x33, 0x44};
                }
                else if (subtype == 0x06 && uac2 && len >= 6)
                {
                    const size_t channels = (len - 6) / 4;
                    for (size_t ch = 0; ch < channels; ++ch)
                    {
                        const uint32_t bits = uint32_t(b[5 + 4 * ch] | b[6 + 4 * ch] << 8 |
                                                       b[7 + 4 * ch] << 16 | uint32_t(b[8 + 4 * ch]) << 24);
                        for (uint8_t cs = 1; cs <= 15; ++cs)
                            if ((bits >> (2 * (cs - 1))) & 3)
                                Control(id, cs, uint8_t(ch)) = FeatureControl(cs, true);
                    }
                    Entity(id).memory = {0x04, 0x00, 0x11, 0x22, 0x33, 0x44};
                }
                else if (subtype == 0x05 && len >= 5)
                {
                    ControlState s;
                    s.size = 1;
                    s.cur = 1;
                    s.min = 1;
                    s.max = b[4] ? b[4] : 1;
                    Control(id, 0, 0) = s;
                }
                else if (subtype == 0x0A && uac2)
                {
                    m_clockId = id;
                    ControlState f;
                    f.size = 4;
                    f.cur = 48000;
                    f.min = 44100;
                    f.max = 96000;
                    f.res = 0;
                    f.ranges = {{44100, 44100, 0}, {48000, 48000, 0}, {96000, 96000, 0}};
                    Control(id, 0x01, 0) = f;
                    ControlState valid;
                    valid.size = 1;
                    valid.cur = 1;
                    valid.min = 0;
                    valid.max = 1;
                    Control(id, 0x02, 0) = valid;
                }
            }
            if (b[1] == kCsInterface && IsAudioStreaming(i) && !uac2 && len >= 8 && b[2] == 0x02)
                lastRate = FormatTypeRate(b, len);
            if (b[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && len >= 7 && IsAudioStreaming(i) &&
                (b[3] & USB_ENDPOINT_TYPE_MASK) == USB_ENDPOINT_TYPE_ISOCHRONOUS && m_rates.count(b[2]) == 0)
                m_rates[b[2]] = uac2 ? 48000 : lastRate;
        });
    if (uac2)
        validAlternates = alternates;

    if (m_family == DeviceFamily::Uac2)
    {
        AddHandler(Match(std::nullopt, RequestType::Class, Recipient::Interface), EntityRequestUac2);
        RequestMatch vendorControls = Match(std::nullopt, RequestType::Vendor, Recipient::Interface);
        vendorControls.wValue = 0x8000;
        vendorControls.wValueMask = 0x8000;
        AddHandler(vendorControls, EntityRequestUac2);
    }
    else
    {
        AddHandler(Match(std::nullopt, RequestType::Class, Recipient::Interface), EntityRequestUac1);
        RequestMatch vendorControls = Match(std::nullopt, RequestType::Vendor, Recipient::Interface);
        vendorControls.wValue = 0x8000;
        vendorControls.wValueMask = 0x8000;
        AddHandler(vendorControls, EntityRequestUac1);
        AddHandler(Match(std::nullopt, RequestType::Class, Recipient::Endpoint), EndpointRequestUac1);
    }
    InstallVendorHandlers(*this);
    InstallJackHandlers(*this, uac2);
    if (m_family == DeviceFamily::Chip)
        InstallChipHandlers(*this);
}

std::shared_ptr<VirtualDevice> VirtualDevice::Make(DescriptorSet descriptors, DeviceFamily family)
{
    auto d = std::make_shared<VirtualDevice>(std::move(descriptors), family);
    if (family != DeviceFamily::Generic)
        d->InstallFamilyHandlers();
    return d;
}

namespace
{

// One stereo jack (with presence detection) on the headphone terminal, one mono on the microphone's.
void DefaultJacks(VirtualDevice &d, uint8_t headphones, uint8_t microphone)
{
    d.jacks[headphones] = {{0x00000003, 0x00011000}};
    d.presenceMask[headphones] = 0x00000003;
    if (microphone)
    {
        d.jacks[microphone] = {{0x00000001, 0x00012000}};
        d.presenceMask[microphone] = 0x00000001;
    }
}

} // namespace

std::shared_ptr<VirtualDevice> VirtualDevice::Uac1(const Uac1Options &options)
{
    auto d = Make(BuildUac1Headset(options), DeviceFamily::Uac1);
    DefaultJacks(*d, kUac1PlaybackOt, kUac1MicIt);
    if (options.secondRender)
    {
        d->jacks[kUac1SecondOt] = d->jacks[kUac1PlaybackOt];
        d->presenceMask[kUac1SecondOt] = d->presenceMask[kUac1PlaybackOt];
    }
    return d;
}

std::shared_ptr<VirtualDevice> VirtualDevice::Uac2(const Uac2Options &options)
{
    auto d = Make(BuildUac2Headset(options), DeviceFamily::Uac2);
    DefaultJacks(*d, kUac2PlaybackOt, kUac2MicIt);
    return d;
}

std::shared_ptr<VirtualDevice> VirtualDevice::Chip(const ChipOptions &options)
{
    auto d = Make(BuildChipHeadset(options), DeviceFamily::Chip);
    d->Registers()[9] = 0x9F; // the revision the driver's quirks expect
    d->Registers()[8] = 0x03;
    DefaultJacks(*d, 3, 0);
    return d;
}

} // namespace usbsim
