// Descriptor dump for tests.
#include <sim/usb_printer.h>

#include <cstdarg>
#include <cstdio>

namespace usbsim
{

namespace
{

void Appendf(std::string &out, const char *format, ...) __attribute__((format(printf, 2, 3)));
void Appendf(std::string &out, const char *format, ...)
{
    char line[256];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    out += line;
}

// Prints fields of one descriptor in order; a field that does not fit in bLength is marked and
// ends the descriptor.
class Fields
{
public:
    Fields(std::string &out, const uint8_t *d, size_t length, size_t offset)
        : m_out(out), m_d(d), m_len(length), m_offset(offset)
    {
    }
    bool Ok() const { return m_ok; }
    size_t Pos() const { return m_pos; }
    size_t Length() const { return m_len; }
    uint32_t F(const char *name, unsigned size)
    {
        if (!m_ok)
            return 0;
        if (m_pos + size > m_len)
        {
            Appendf(m_out, "      %-20s (missing: descriptor ends at byte %zu, offset %zu)\n", name, m_len,
                    m_offset + m_len);
            m_ok = false;
            return 0;
        }
        uint32_t v = 0;
        for (unsigned k = 0; k < size; ++k)
            v |= uint32_t(m_d[m_pos + k]) << (8 * k);
        Appendf(m_out, "      %-20s 0x%0*x (%u)\n", name, int(size * 2), v, v);
        m_pos += size;
        return v;
    }
    void Rest()
    {
        if (m_ok && m_pos < m_len)
        {
            Appendf(m_out, "      %zu extra bytes:", m_len - m_pos);
            for (size_t i = m_pos; i < m_len; ++i)
                Appendf(m_out, " %02x", m_d[i]);
            m_out += "\n";
        }
    }

private:
    std::string &m_out;
    const uint8_t *m_d;
    size_t m_len, m_offset, m_pos = 2;
    bool m_ok = true;
};

struct Context
{
    uint8_t interfaceClass = 0, subclass = 0, protocol = 0;
};

constexpr uint8_t kAudioClass = 0x01, kVideoClass = 0x0E;
constexpr uint8_t kAudioStreaming = 0x02, kMidiStreaming = 0x03;

// A class-specific endpoint descriptor means what the class of its interface says.
void ClassEndpoint(Fields &f, const Context &ctx, std::string &out)
{
    if (ctx.interfaceClass == kAudioClass && ctx.subclass == kAudioStreaming)
    {
        out += " (audio class endpoint)\n";
        f.F("bDescriptorSubtype", 1);
        f.F("bmAttributes", 1);
        if (ctx.protocol == 0x20)
            f.F("bmControls", 1);
        f.F("bLockDelayUnits", 1);
        f.F("wLockDelay", 2);
    }
    else if (ctx.interfaceClass == kAudioClass && ctx.subclass == kMidiStreaming)
    {
        out += " (MIDI class endpoint)\n";
        f.F("bDescriptorSubtype", 1);
        const uint32_t jacks = f.F("bNumEmbMIDIJack", 1);
        for (uint32_t i = 0; i < jacks && f.Ok(); ++i)
            f.F("baAssocJackID", 1);
    }
    else if (ctx.interfaceClass == kVideoClass)
    {
        out += " (video class endpoint)\n";
        f.F("bDescriptorSubtype", 1);
        f.F("wMaxTransferSize", 2);
    }
    else
    {
        out += " (class-specific endpoint)\n"; // its bytes follow undecoded
    }
}

void AudioControl(Fields &f, uint8_t subtype, bool uac2, std::string &out)
{
    f.F("bDescriptorSubtype", 1);
    switch (subtype)
    {
    case 0x01:
    { // header
        out += "      (AudioControl header)\n";
        f.F("bcdADC", 2);
        if (uac2)
        {
            f.F("bCategory", 1);
            f.F("wTotalLength", 2);
            f.F("bmControls", 1);
        }
        else
        {
            f.F("wTotalLength", 2);
            uint32_t n = f.F("bInCollection", 1);
            for (uint32_t i = 0; i < n && f.Ok(); ++i)
                f.F("baInterfaceNr", 1);
        }
        break;
    }
    case 0x02:
        out += "      (input terminal)\n";
        f.F("bTerminalID", 1);
        f.F("wTerminalType", 2);
        f.F("bAssocTerminal", 1);
        if (uac2)
            f.F("bCSourceID", 1);
        f.F("bNrChannels", 1);
        f.F(uac2 ? "bmChannelConfig" : "wChannelConfig", uac2 ? 4 : 2);
        f.F("iChannelNames", 1);
        if (uac2)
            f.F("bmControls", 2);
        f.F("iTerminal", 1);
        break;
    case 0x03:
        out += "      (output terminal)\n";
        f.F("bTerminalID", 1);
        f.F("wTerminalType", 2);
        f.F("bAssocTerminal", 1);
        f.F("bSourceID", 1);
        if (uac2)
        {
            f.F("bCSourceID", 1);
            f.F("bmControls", 2);
        }
        f.F("iTerminal", 1);
        break;
    case 0x04:
    {
        out += "      (mixer unit)\n";
        f.F("bUnitID", 1);
        uint32_t p = f.F("bNrInPins", 1);
        for (uint32_t i = 0; i < p && f.Ok(); ++i)
            f.F("baSourceID", 1);
        break; // the controls bitmap size depends on the sources' channels; left to the raw bytes
    }
    case 0x05:
    {
        out += "      (selector unit)\n";
        f.F("bUnitID", 1);
        uint32_t p = f.F("bNrInPins", 1);
        for (uint32_t i = 0; i < p && f.Ok(); ++i)
            f.F("baSourceID", 1);
        if (uac2)
            f.F("bmControls", 1);
        f.F("iSelector", 1);
        break;
    }
    case 0x06:
    {
        out += "      (feature unit)\n";
        f.F("bUnitID", 1);
        f.F("bSourceID", 1);
        unsigned size = uac2 ? 4 : f.F("bControlSize", 1);
        if (size == 0 || size > 4)
        {
            out += "      bControlSize out of range\n";
            break;
        }
        // Controls fill the bytes before the final iFeature byte.
        while (f.Ok() && f.Pos() + size + 1 <= f.Length())
            f.F("bmaControls", size);
        f.F("iFeature", 1);
        break;
    }
    case 0x0A:
        out += "      (clock source)\n";
        f.F("bClockID", 1);
        f.F("bmAttributes", 1);
        f.F("bmControls", 1);
        f.F("bAssocTerminal", 1);
        f.F("iClockSource", 1);
        break;
    case 0x0B:
    {
        out += "      (clock selector)\n";
        f.F("bClockID", 1);
        uint32_t p = f.F("bNrInPins", 1);
        for (uint32_t i = 0; i < p && f.Ok(); ++i)
            f.F("baCSourceID", 1);
        break;
    }
    default:
        break;
    }
}

void AudioStreaming(Fields &f, uint8_t subtype, bool uac2, std::string &out)
{
    f.F("bDescriptorSubtype", 1);
    if (subtype == 0x01)
    {
        out += "      (AudioStreaming general)\n";
        f.F("bTerminalLink", 1);
        if (uac2)
        {
            f.F("bmControls", 1);
            f.F("bFormatType", 1);
            f.F("bmFormats", 4);
            f.F("bNrChannels", 1);
            f.F("bmChannelConfig", 4);
            f.F("iChannelNames", 1);
        }
        else
        {
            f.F("bDelay", 1);
            f.F("wFormatTag", 2);
        }
    }
    else if (subtype == 0x02)
    {
        out += "      (format type)\n";
        f.F("bFormatType", 1);
        if (uac2)
        {
            f.F("bSubslotSize", 1);
            f.F("bBitResolution", 1);
        }
        else
        {
            f.F("bNrChannels", 1);
            f.F("bSubframeSize", 1);
            f.F("bBitResolution", 1);
            uint32_t n = f.F("bSamFreqType", 1);
            if (n == 0)
            {
                f.F("tLowerSamFreq", 3);
                f.F("tUpperSamFreq", 3);
            }
            for (uint32_t i = 0; i < n && f.Ok(); ++i)
                f.F("tSamFreq", 3);
        }
    }
}

} // namespace

std::string PrintDescriptors(const uint8_t *bytes, size_t count)
{
    std::string out;
    if (bytes == nullptr)
    {
        out += "(no bytes)\n";
        return out;
    }
    Context ctx;
    size_t at = 0;
    while (at < count)
    {
        const size_t left = count - at;
        if (left < 2)
        {
            Appendf(out, "truncated descriptor header at offset %zu (%zu byte left)\n", at, left);
            break;
        }
        const uint8_t len = bytes[at], type = bytes[at + 1];
        if (len < 2)
        {
            Appendf(out, "bLength %u at offset %zu\n", len, at);
            break;
        }
        if (len > left)
        {
            Appendf(out, "bLength %u at offset %zu runs past the end (%zu bytes left)\n", len, at, left);
            break;
        }
        const uint8_t *d = bytes + at;
        Fields f(out, d, len, at);
        Appendf(out, "    offset %zu: bLength %u bDescriptorType 0x%02x", at, len, type);
        switch (type)
        {
        case 0x01:
            out += " (device)\n";
            f.F("bcdUSB", 2);
            f.F("bDeviceClass", 1);
            f.F("bDeviceSubClass", 1);
            f.F("bDeviceProtocol", 1);
            f.F("bMaxPacketSize0", 1);
            f.F("idVendor", 2);
            f.F("idProduct", 2);
            f.F("bcdDevice", 2);
            f.F("iManufacturer", 1);
            f.F("iProduct", 1);
            f.F("iSerial", 1);
            f.F("bNumConfigurations", 1);
            break;
        case 0x02:
            out += " (configuration)\n";
            f.F("wTotalLength", 2);
            f.F("bNumInterfaces", 1);
            f.F("bConfigurationValue", 1);
            f.F("iConfiguration", 1);
            f.F("bmAttributes", 1);
            f.F("MaxPower", 1);
            break;
        case 0x03:
            out += " (string)\n";
            break;
        case 0x04:
            out += " (interface)\n";
            f.F("bInterfaceNumber", 1);
            f.F("bAlternateSetting", 1);
            f.F("bNumEndpoints", 1);
            ctx.interfaceClass = uint8_t(f.F("bInterfaceClass", 1));
            ctx.subclass = uint8_t(f.F("bInterfaceSubClass", 1));
            ctx.protocol = uint8_t(f.F("bInterfaceProtocol", 1));
            f.F("iInterface", 1);
            if (!f.Ok())
                ctx = Context{};
            break;
        case 0x05:
            out += " (endpoint)\n";
            f.F("bEndpointAddress", 1);
            f.F("bmAttributes", 1);
            f.F("wMaxPacketSize", 2);
            f.F("bInterval", 1);
            if (len >= 9)
            {
                f.F("bRefresh", 1);
                f.F("bSynchAddress", 1);
            }
            break;
        case 0x0B:
            out += " (interface association)\n";
            f.F("bFirstInterface", 1);
            f.F("bInterfaceCount", 1);
            f.F("bFunctionClass", 1);
            f.F("bFunctionSubClass", 1);
            f.F("bFunctionProtocol", 1);
            f.F("iFunction", 1);
            break;
        case 0x24:
        {
            const bool uac2 = ctx.protocol == 0x20;
            const uint8_t subtype = len >= 3 ? d[2] : 0;
            if (ctx.interfaceClass != kAudioClass)
            {
                out += " (class-specific interface)\n";
                break;
            }
            out += uac2 ? " (audio 2.0 class interface)\n" : " (audio class interface)\n";
            if (ctx.subclass == 0x01)
                AudioControl(f, subtype, uac2, out);
            else if (ctx.subclass == 0x02)
                AudioStreaming(f, subtype, uac2, out);
            break;
        }
        case 0x25:
            ClassEndpoint(f, ctx, out);
            break;
        default:
            out += " (unknown)\n";
            break;
        }
        f.Rest();
        at += len;
    }
    return out;
}

} // namespace usbsim
