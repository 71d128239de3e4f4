// Descriptor sets of the virtual headsets.
#include <sim/usb_builders.h>

#include <stdexcept>

#include <usb_descriptors.h>

namespace usbsim
{

namespace
{

void Need(const Bytes &b, size_t offset, size_t n)
{
    if (offset > b.size() || b.size() - offset < n)
        throw std::out_of_range("descriptor patch outside the bytes");
}

constexpr uint8_t kCs = USB_CS_INTERFACE_DESCRIPTOR_TYPE;

Bytes DeviceDescriptor(uint16_t bcdUsb, uint8_t cls, uint8_t sub, uint8_t proto, uint8_t maxPacket0,
                       uint16_t vid, uint16_t pid, uint16_t bcdDevice)
{
    DescriptorWriter w;
    size_t d = w.Begin(USB_DEVICE_DESCRIPTOR_TYPE);
    w.U16(bcdUsb);
    w.U8(cls);
    w.U8(sub);
    w.U8(proto);
    w.U8(maxPacket0);
    w.U16(vid);
    w.U16(pid);
    w.U16(bcdDevice);
    w.U8(1); // iManufacturer
    w.U8(2); // iProduct
    w.U8(0); // iSerialNumber
    w.U8(1); // bNumConfigurations
    w.End(d);
    return w.Data();
}

void Configuration(DescriptorWriter &w, uint8_t interfaces)
{
    size_t d = w.Begin(USB_CONFIGURATION_DESCRIPTOR_TYPE);
    w.U16(0); // patched at the end
    w.U8(interfaces);
    w.U8(1);    // bConfigurationValue
    w.U8(0);    // iConfiguration
    w.U8(0x80); // bus powered
    w.U8(50);   // 100 mA
    w.End(d);
}

void Interface(DescriptorWriter &w, uint8_t number, uint8_t alternate, uint8_t endpoints, uint8_t subclass,
               uint8_t protocol)
{
    size_t d = w.Begin(USB_INTERFACE_DESCRIPTOR_TYPE);
    w.U8(number);
    w.U8(alternate);
    w.U8(endpoints);
    w.U8(USB_DEVICE_CLASS_AUDIO);
    w.U8(subclass);
    w.U8(protocol);
    w.U8(0);
    w.End(d);
}

// Audio-class 1.0 endpoints carry bRefresh and bSynchAddress (both 0 here); the 7-byte form does not.
void EndpointOf(DescriptorWriter &w, uint8_t address, uint8_t attributes, uint16_t maxPacket,
                uint8_t interval, bool audioClass10)
{
    size_t d = w.Begin(USB_ENDPOINT_DESCRIPTOR_TYPE);
    w.U8(address);
    w.U8(attributes);
    w.U16(maxPacket);
    w.U8(interval);
    if (audioClass10)
    {
        w.U8(0);
        w.U8(0);
    }
    w.End(d);
}

void Endpoint9(DescriptorWriter &w, uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval)
{
    EndpointOf(w, address, attributes, maxPacket, interval, true);
}

void Endpoint7(DescriptorWriter &w, uint8_t address, uint8_t attributes, uint16_t maxPacket, uint8_t interval)
{
    EndpointOf(w, address, attributes, maxPacket, interval, false);
}

// ---- UAC1 class descriptors ----
void Uac1InputTerminal(DescriptorWriter &w, uint8_t id, uint16_t type, uint8_t channels, uint16_t config)
{
    size_t d = w.Begin(kCs);
    w.U8(0x02);
    w.U8(id);
    w.U16(type);
    w.U8(0); // bAssocTerminal
    w.U8(channels);
    w.U16(config);
    w.U8(0); // iChannelNames
    w.U8(0); // iTerminal
    w.End(d);
}

void Uac1OutputTerminal(DescriptorWriter &w, uint8_t id, uint16_t type, uint8_t source)
{
    size_t d = w.Begin(kCs);
    w.U8(0x03);
    w.U8(id);
    w.U16(type);
    w.U8(0);
    w.U8(source);
    w.U8(0);
    w.End(d);
}

void Uac1FeatureUnit(DescriptorWriter &w, uint8_t id, uint8_t source, uint8_t controlSize, uint8_t channels,
                     uint32_t master, uint32_t perChannel)
{
    size_t d = w.Begin(kCs);
    w.U8(0x06);
    w.U8(id);
    w.U8(source);
    w.U8(controlSize);
    for (unsigned c = 0; c <= channels; ++c)
    {
        uint32_t v = c == 0 ? master : perChannel;
        for (unsigned k = 0; k < controlSize; ++k)
            w.U8(uint8_t(v >> (8 * k)));
    }
    w.U8(0); // iFeature
    w.End(d);
}

void Uac1Mixer(DescriptorWriter &w, uint8_t id, const std::vector<uint8_t> &sources, uint8_t outChannels,
               uint16_t config, unsigned controlBytes, uint8_t controlFill)
{
    size_t d = w.Begin(kCs);
    w.U8(0x04);
    w.U8(id);
    w.U8(uint8_t(sources.size()));
    for (uint8_t s : sources)
        w.U8(s);
    w.U8(outChannels);
    w.U16(config);
    w.U8(0); // iChannelNames
    for (unsigned k = 0; k < controlBytes; ++k)
        w.U8(controlFill);
    w.U8(0); // iMixer
    w.End(d);
}

void Uac1Selector(DescriptorWriter &w, uint8_t id, const std::vector<uint8_t> &sources)
{
    size_t d = w.Begin(kCs);
    w.U8(0x05);
    w.U8(id);
    w.U8(uint8_t(sources.size()));
    for (uint8_t s : sources)
        w.U8(s);
    w.U8(0);
    w.End(d);
}

void Uac1StreamAlternate(DescriptorWriter &w, uint8_t interface, uint8_t alternate, uint8_t link,
                         uint8_t channels, uint8_t subframe, uint8_t bits, const std::vector<uint32_t> &rates,
                         uint32_t low, uint32_t high, uint8_t address, uint8_t attributes, uint16_t maxPacket)
{
    Interface(w, interface, alternate, 1, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0);
    size_t d = w.Begin(kCs); // AS general
    w.U8(0x01);
    w.U8(link);
    w.U8(1);       // bDelay
    w.U16(0x0001); // PCM
    w.End(d);
    d = w.Begin(kCs); // format type I
    w.U8(0x02);
    w.U8(0x01);
    w.U8(channels);
    w.U8(subframe);
    w.U8(bits);
    if (rates.empty())
    {
        w.U8(0); // continuous
        w.U24(low);
        w.U24(high);
    }
    else
    {
        w.U8(uint8_t(rates.size()));
        for (uint32_t r : rates)
            w.U24(r);
    }
    w.End(d);
    Endpoint9(w, address, attributes, maxPacket, 1);
    d = w.Begin(USB_CS_ENDPOINT_DESCRIPTOR_TYPE);
    w.U8(0x01); // EP_GENERAL
    w.U8(0x01); // sampling-frequency control
    w.U8(0);    // bLockDelayUnits
    w.U16(0);   // wLockDelay
    w.End(d);
}

// ---- UAC2 class descriptors ----
void Uac2InputTerminal(DescriptorWriter &w, uint8_t id, uint16_t type, uint8_t clock, uint8_t channels,
                       uint32_t config)
{
    size_t d = w.Begin(kCs);
    w.U8(0x02);
    w.U8(id);
    w.U16(type);
    w.U8(0);
    w.U8(clock);
    w.U8(channels);
    w.U32(config);
    w.U8(0);
    w.U16(0x0004); // connector control, read-only
    w.U8(0);
    w.End(d);
}

void Uac2OutputTerminal(DescriptorWriter &w, uint8_t id, uint16_t type, uint8_t source, uint8_t clock)
{
    size_t d = w.Begin(kCs);
    w.U8(0x03);
    w.U8(id);
    w.U16(type);
    w.U8(0);
    w.U8(source);
    w.U8(clock);
    w.U16(0x0004); // connector control, read-only
    w.U8(0);
    w.End(d);
}

void Uac2FeatureUnit(DescriptorWriter &w, uint8_t id, uint8_t source, uint8_t channels)
{
    size_t d = w.Begin(kCs);
    w.U8(0x06);
    w.U8(id);
    w.U8(source);
    for (unsigned c = 0; c <= channels; ++c)
        w.U32(c == 0 ? 0x0000000F : 0x0000000C); // master mute + volume, channels volume (read/write)
    w.U8(0);
    w.End(d);
}

void Uac2StreamAlternate(DescriptorWriter &w, uint8_t interface, uint8_t alternate, uint8_t link,
                         uint8_t channels, uint32_t config, uint8_t subslot, uint8_t bits, uint8_t address,
                         uint16_t maxPacket, uint8_t interval, uint8_t feedback)
{
    Interface(w, interface, alternate, feedback ? 2 : 1, USB_AUDIO_SUBCLASS_AUDIOSTREAMING,
              USB_AUDIO_PROTOCOL_UAC2);
    size_t d = w.Begin(kCs); // AS general
    w.U8(0x01);
    w.U8(link);
    w.U8(0);           // bmControls
    w.U8(0x01);        // FORMAT_TYPE_I
    w.U32(0x00000001); // PCM
    w.U8(channels);
    w.U32(config);
    w.U8(0);
    w.End(d);
    d = w.Begin(kCs); // format type I
    w.U8(0x02);
    w.U8(0x01);
    w.U8(subslot);
    w.U8(bits);
    w.End(d);
    Endpoint7(w, address, 0x05, maxPacket, interval); // isochronous, asynchronous, data
    d = w.Begin(USB_CS_ENDPOINT_DESCRIPTOR_TYPE);
    w.U8(0x01);
    w.U8(0);
    w.U8(0);
    w.U8(0);
    w.U16(0);
    w.End(d);
    if (feedback)                           // the feedback endpoint's address; 0: none
        Endpoint7(w, feedback, 0x11, 4, 4); // isochronous, feedback usage; 16.16 at high speed
}

} // namespace

// ---- Patch helpers ----
void Set8(Bytes &b, size_t offset, uint8_t value)
{
    Need(b, offset, 1);
    b[offset] = value;
}
void Set16(Bytes &b, size_t offset, uint16_t value)
{
    Need(b, offset, 2);
    b[offset] = uint8_t(value);
    b[offset + 1] = uint8_t(value >> 8);
}
void Set24(Bytes &b, size_t offset, uint32_t value)
{
    Need(b, offset, 3);
    for (int k = 0; k < 3; ++k)
        b[offset + k] = uint8_t(value >> (8 * k));
}
void Truncate(Bytes &b, size_t length)
{
    Need(b, 0, length);
    b.resize(length);
}
void Insert(Bytes &b, size_t offset, const Bytes &bytes)
{
    Need(b, offset, 0);
    b.insert(b.begin() + ptrdiff_t(offset), bytes.begin(), bytes.end());
}
uint16_t Get16(const Bytes &b, size_t offset)
{
    Need(b, offset, 2);
    return uint16_t(b[offset] | b[offset + 1] << 8);
}
uint32_t Get24(const Bytes &b, size_t offset)
{
    Need(b, offset, 3);
    return uint32_t(b[offset] | b[offset + 1] << 8 | b[offset + 2] << 16);
}
void FixTotalLength(Bytes &configuration)
{
    Set16(configuration, 2, uint16_t(configuration.size()));
}

Bytes StringDescriptor(const std::u16string &text)
{
    Bytes b;
    const size_t units = text.size() > 126 ? 126 : text.size(); // bLength is one byte
    b.push_back(uint8_t(2 + 2 * units));
    b.push_back(USB_STRING_DESCRIPTOR_TYPE);
    for (size_t i = 0; i < units; ++i)
    {
        b.push_back(uint8_t(text[i]));
        b.push_back(uint8_t(text[i] >> 8));
    }
    return b;
}

long FindDescriptor(const Bytes &b, uint8_t type, int subtype, unsigned nth)
{
    size_t at = 0;
    while (b.size() - at >= 2)
    {
        uint8_t len = b[at];
        if (len < 2 || len > b.size() - at)
            return -1;
        if (b[at + 1] == type && (subtype < 0 || (len >= 3 && b[at + 2] == subtype)))
        {
            if (nth == 0)
                return long(at);
            --nth;
        }
        at += len;
    }
    return -1;
}

long FindInterface(const Bytes &b, uint8_t number, uint8_t alternate)
{
    for (unsigned n = 0;; ++n)
    {
        const long at = FindDescriptor(b, USB_INTERFACE_DESCRIPTOR_TYPE, -1, n);
        if (at < 0 ||
            (b.size() - size_t(at) >= 4 && b[size_t(at) + 2] == number && b[size_t(at) + 3] == alternate))
            return at;
    }
}

long FindEndpoint(const Bytes &b, uint8_t number, uint8_t alternate, unsigned nth)
{
    long at = FindInterface(b, number, alternate);
    if (at < 0)
        return -1;
    for (size_t i = size_t(at) + b[size_t(at)]; b.size() - i >= 2 && b[i] >= 2 && b[i] <= b.size() - i;
         i += b[i])
    {
        if (b[i + 1] == USB_INTERFACE_DESCRIPTOR_TYPE)
            break;
        if (b[i + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && nth-- == 0)
            return long(i);
    }
    return -1;
}

Bytes JoinConfigurations(const Bytes &first, const Bytes &second)
{
    Need(first, 0, 9);
    Need(second, 0, 9);
    Bytes joined = first;
    joined.insert(joined.end(), second.begin() + second[0], second.end());
    joined[4] = uint8_t(first[4] + second[4]);
    FixTotalLength(joined);
    return joined;
}

size_t DescriptorWriter::Begin(uint8_t type)
{
    size_t at = m_b.size();
    m_b.push_back(0);
    m_b.push_back(type);
    return at;
}

void DescriptorWriter::End(size_t at)
{
    m_b[at] = uint8_t(m_b.size() - at);
}

// ---- UAC1 headset ----
DescriptorSet BuildUac1Headset(const Uac1Options &o)
{
    DescriptorSet set;
    set.speed = Speed::Full;
    set.device = DeviceDescriptor(0x0110, 0, 0, 0, 64, o.vendorId, o.productId, o.bcdDevice);
    set.strings[1] = o.manufacturer;
    set.strings[2] = o.product;

    const uint8_t in = o.interfaceBase, ep = o.endpointBase;
    DescriptorWriter w;
    Configuration(w, o.secondRender ? 4 : 3);
    Interface(w, in, 0, 1, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0);
    size_t header = w.Begin(kCs);
    w.U8(0x01);
    w.U16(0x0100); // bcdADC 1.00
    w.U16(0);      // patched below
    w.U8(o.secondRender ? 3 : 2);
    w.U8(uint8_t(in + 1));
    w.U8(uint8_t(in + 2));
    if (o.secondRender)
        w.U8(uint8_t(in + 3));
    w.End(header);
    const uint8_t cs = o.controlSize;
    Uac1InputTerminal(w, kUac1PlaybackIt, 0x0101, 2, 0x0003);
    if (o.mixer)
        Uac1Mixer(w, kUac1Mixer, {kUac1PlaybackIt, kUac1MicFu}, 2, 0x0003, 1, 0xFC); // 3 in x 2 out
    Uac1FeatureUnit(w, kUac1PlaybackFu, o.mixer ? kUac1Mixer : kUac1PlaybackIt, cs, 2, 0x0003, 0x0002);
    Uac1OutputTerminal(w, kUac1PlaybackOt, o.speaker ? 0x0301 : 0x0302, kUac1PlaybackFu);
    Uac1InputTerminal(w, kUac1MicIt, 0x0201, 1, 0x0000); // microphone
    Uac1FeatureUnit(w, kUac1MicFu, kUac1MicIt, cs, 1, 0x0003, 0x0000);
    if (o.selector)
        Uac1Selector(w, kUac1Selector, {kUac1MicFu});
    Uac1OutputTerminal(w, kUac1CaptureOt, 0x0101, o.selector ? kUac1Selector : kUac1MicFu);
    if (o.secondRender)
    {
        Uac1InputTerminal(w, kUac1SecondIt, 0x0101, 2, 0x0003);
        Uac1FeatureUnit(w, kUac1SecondFu, kUac1SecondIt, cs, 2, 0x0003, 0x0002);
        Uac1OutputTerminal(w, kUac1SecondOt, 0x0302, kUac1SecondFu); // a second pair of headphones
    }
    const size_t acEnd = w.Size();
    Endpoint9(w, uint8_t(0x83 + ep), USB_ENDPOINT_TYPE_INTERRUPT, o.statusMaxPacket, 32);

    Interface(w, uint8_t(in + 1), 0, 0, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0);
    Uac1StreamAlternate(w, uint8_t(in + 1), 1, kUac1PlaybackIt, o.renderChannels, o.renderSubframe,
                        o.renderBits, o.rates, o.rangeLow, o.rangeHigh, uint8_t(0x01 + ep), 0x09,
                        o.renderMaxPacket);
    Interface(w, uint8_t(in + 2), 0, 0, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0);
    Uac1StreamAlternate(w, uint8_t(in + 2), 1, kUac1CaptureOt, 1, 2, 16, o.rates, o.rangeLow, o.rangeHigh,
                        uint8_t(0x82 + ep), 0x05, 98);
    if (o.secondRender)
    {
        Interface(w, uint8_t(in + 3), 0, 0, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0);
        Uac1StreamAlternate(w, uint8_t(in + 3), 1, kUac1SecondIt, 2, 2, 16, o.rates, o.rangeLow, o.rangeHigh,
                            uint8_t(0x03 + ep), 0x09, 196);
    }

    Bytes &b = w.Data();
    Set16(b, header + 5, uint16_t(acEnd - header));
    FixTotalLength(b);
    set.configuration = b;
    return set;
}

Bytes BuildUac1MidiFunction(uint8_t base)
{
    DescriptorWriter w;
    Configuration(w, 2);
    Interface(w, base, 0, 0, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0);
    size_t header = w.Begin(kCs);
    w.U8(0x01);
    w.U16(0x0100);
    w.U16(9);
    w.U8(1);
    w.U8(uint8_t(base + 1));
    w.End(header);
    Interface(w, uint8_t(base + 1), 0, 0, 0x03, 0); // MIDI streaming
    size_t midi = w.Begin(kCs);
    w.U8(0x01); // MS header
    w.U16(0x0100);
    w.U16(7);
    w.End(midi);
    Bytes &b = w.Data();
    FixTotalLength(b);
    return b;
}

// ---- UAC2 headset ----
DescriptorSet BuildUac2Headset(const Uac2Options &o)
{
    DescriptorSet set;
    set.speed = Speed::High;
    set.device = DeviceDescriptor(0x0200, 0xEF, 0x02, 0x01, 64, o.vendorId, o.productId, o.bcdDevice);
    set.strings[1] = o.manufacturer;
    set.strings[2] = o.product;
    set.strings[0x32] = o.chipString;

    const uint8_t in = o.interfaceBase, ep = o.endpointBase;
    DescriptorWriter w;
    Configuration(w, 3);
    size_t iad = w.Begin(USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE);
    w.U8(in);
    w.U8(3);
    w.U8(USB_DEVICE_CLASS_AUDIO);
    w.U8(0);
    w.U8(USB_AUDIO_PROTOCOL_UAC2);
    w.U8(0);
    w.End(iad);
    Interface(w, in, 0, o.bulkIn ? 2 : 1, USB_AUDIO_SUBCLASS_AUDIOCONTROL, USB_AUDIO_PROTOCOL_UAC2);
    size_t header = w.Begin(kCs);
    w.U8(0x01);
    w.U16(0x0200); // bcdADC 2.00
    w.U8(0x04);    // category: headset
    w.U16(0);      // patched below
    w.U8(0);       // bmControls
    w.End(header);
    size_t clock = w.Begin(kCs);
    w.U8(0x0A);
    w.U8(kUac2Clock);
    w.U8(0x03); // internal programmable clock
    w.U8(0x07); // frequency read/write, validity read
    w.U8(0);
    w.U8(0);
    w.End(clock);
    Uac2InputTerminal(w, kUac2PlaybackIt, 0x0101, kUac2Clock, 2, 0x00000003);
    Uac2FeatureUnit(w, kUac2PlaybackFu, kUac2PlaybackIt, 2);
    Uac2OutputTerminal(w, kUac2PlaybackOt, 0x0302, kUac2PlaybackFu, kUac2Clock);
    Uac2InputTerminal(w, kUac2MicIt, 0x0201, kUac2Clock, 1, 0x00000000);
    Uac2FeatureUnit(w, kUac2MicFu, kUac2MicIt, 1);
    Uac2OutputTerminal(w, kUac2CaptureOt, 0x0101, kUac2MicFu, kUac2Clock);
    const size_t acEnd = w.Size();
    Endpoint7(w, uint8_t(0x83 + ep), USB_ENDPOINT_TYPE_INTERRUPT, 6, 4);
    if (o.bulkIn)
        Endpoint7(w, uint8_t(0x84 + ep), USB_ENDPOINT_TYPE_BULK, 512, 0);

    // Sizes per (micro)frame at 96 kHz with one spare sample: 13 samples.
    const uint8_t render = uint8_t(in + 1), capture = uint8_t(in + 2);
    Interface(w, render, 0, 0, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, USB_AUDIO_PROTOCOL_UAC2);
    Uac2StreamAlternate(w, render, 1, kUac2PlaybackIt, 2, 0x3, 2, 16, uint8_t(0x01 + ep), 13 * 4,
                        o.dataInterval, uint8_t(0x81 + ep));
    Uac2StreamAlternate(w, render, 2, kUac2PlaybackIt, 2, 0x3, 3, 24, uint8_t(0x01 + ep), 13 * 6,
                        o.dataInterval, uint8_t(0x81 + ep));
    Interface(w, capture, 0, 0, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, USB_AUDIO_PROTOCOL_UAC2);
    Uac2StreamAlternate(w, capture, 1, kUac2CaptureOt, 1, 0x0, 2, 16, uint8_t(0x82 + ep), 13 * 2,
                        o.dataInterval, 0);

    Bytes &b = w.Data();
    Set16(b, header + 6, uint16_t(acEnd - header));
    FixTotalLength(b);
    set.configuration = b;
    return set;
}

// ---- Fixed-layout chip family ----
DescriptorSet BuildChipHeadset(const ChipOptions &o)
{
    DescriptorSet set;
    set.speed = Speed::Full;
    set.device = DeviceDescriptor(0x0110, 0, 0, 0, 64, o.vendorId, o.productId, 0x0100);
    set.strings[1] = o.manufacturer;
    set.strings[2] = o.product;
    set.strings[0x50] = std::u16string{0x000B, 0x0005, 0x0050, 0x0001};

    DescriptorWriter w;
    Configuration(w, 3);
    Interface(w, 0, 0, 0, USB_AUDIO_SUBCLASS_AUDIOCONTROL, 0);
    size_t header = w.Begin(kCs);
    w.U8(0x01);
    w.U16(0x0100);
    w.U16(0);
    w.U8(2);
    w.U8(1);
    w.U8(2);
    w.End(header);
    Uac1InputTerminal(w, 1, 0x0101, 8, 0x063F);
    Uac1InputTerminal(w, 4, 0x0201, 2, 0x0003);
    Uac1FeatureUnit(w, 8, 4, 1, 2, 0x03, 0x02);
    Uac1FeatureUnit(w, 9, 4, 1, 2, 0x03, 0x02);
    Uac1Mixer(w, 5, {1, 9, 11}, 8, 0x063F, 12, 0x00); // 12 input channels x 8 outputs
    Uac1FeatureUnit(w, 6, 5, 1, 8, 0x03, 0x02);
    Uac1OutputTerminal(w, 3, 0x0302, 6);
    Uac1Mixer(w, 2, {6}, 2, 0x0003, 2, 0x00); // stereo mix: 8 inputs x 2 outputs
    Uac1OutputTerminal(w, 7, 0x0101, 10);
    Uac1Selector(w, 10, {8, 15, 16, 2});
    Uac1InputTerminal(w, 12, 0x0603, 2, 0x0003); // line connector
    Uac1FeatureUnit(w, 15, 12, 1, 2, 0x03, 0x02);
    Uac1FeatureUnit(w, 11, 12, 1, 2, 0x03, 0x02);
    Uac1InputTerminal(w, 14, 0x0605, 2, 0x0003); // S/PDIF interface
    Uac1FeatureUnit(w, 13, 2, 1, 2, 0x03, 0x02);
    Uac1FeatureUnit(w, 16, 14, 1, 2, 0x03, 0x02);
    const size_t acEnd = w.Size();

    const std::vector<uint32_t> rates = {44100, 48000};
    Interface(w, 1, 0, 0, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0);
    const uint8_t channels[4] = {8, 2, 4, 6};
    for (uint8_t a = 0; a < 4; ++a)
        Uac1StreamAlternate(w, 1, uint8_t(a + 1), 1, channels[a], 2, 16, rates, 0, 0, 0x01, 0x09,
                            uint16_t(49 * channels[a] * 2));
    Uac1StreamAlternate(w, 1, 5, 1, 2, 3, 24, {48000}, 0, 0, 0x01, 0x09, 49 * 6);
    Interface(w, 2, 0, 0, USB_AUDIO_SUBCLASS_AUDIOSTREAMING, 0);
    Uac1StreamAlternate(w, 2, 1, 7, 2, 2, 16, rates, 0, 0, 0x82, 0x05, 49 * 4);

    Bytes &b = w.Data();
    Set16(b, header + 5, uint16_t(acEnd - header));
    FixTotalLength(b);
    set.configuration = b;
    return set;
}

} // namespace usbsim
