// Descriptor bytes for the bounded helpers, the request builder and the printer: a corpus of
// malformed configurations (each named after its fault) and the builders' well-formed ones. The
// descriptor tests walk it; the fuzz build writes it out as the descriptor fuzzer's seeds.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <sim/usb_builders.h>

namespace usbtest
{

using usbsim::Bytes;

inline std::vector<std::pair<std::string, Bytes>> MalformedCorpus()
{
    std::vector<std::pair<std::string, Bytes>> corpus;
    const Bytes good1 = usbsim::BuildUac1Headset().configuration;
    const Bytes good2 = usbsim::BuildUac2Headset().configuration;
    auto add = [&](const std::string &name, Bytes b) { corpus.emplace_back(name, std::move(b)); };
    add("empty", {});
    // A UAC1 format type of bLength 8 ends the configuration: no room for the rate it announces.
    add("format type ends the configuration",
        {0x09, 0x02, 0x1a, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x09, 0x04, 0x01, 0x00,
         0x00, 0x01, 0x02, 0x00, 0x00, 0x08, 0x24, 0x02, 0x01, 0x02, 0x02, 0x10, 0x01});
    add("one byte", {9});
    for (uint8_t len : {0, 1})
    {
        Bytes b = good1;
        usbsim::Set8(b, size_t(usbsim::FindDescriptor(b, 4, -1, 1)), len);
        add("bLength " + std::to_string(len) + " mid-walk", b);
        Bytes c = good1;
        usbsim::Set8(c, 0, len);
        add("bLength " + std::to_string(len) + " at the start", c);
    }
    for (uint16_t total : {0, 2, 8, 0xFFFF})
    {
        Bytes b = good1;
        usbsim::Set16(b, 2, total);
        add("wTotalLength " + std::to_string(total), b);
    }
    {
        Bytes b = good2;
        usbsim::Truncate(b,
                         size_t(usbsim::FindDescriptor(b, 4, -1, 2)) + 5); // inside an interface descriptor
        add("truncated interface", b);
        Bytes e = good2;
        usbsim::Truncate(e, size_t(usbsim::FindDescriptor(e, 5)) + 4);
        add("truncated endpoint", e);
        Bytes h = good2;
        usbsim::Truncate(h, size_t(usbsim::FindDescriptor(h, 0x24, 0x02)) + 10);
        add("truncated class descriptor", h);
        Bytes s = good1;
        usbsim::Set8(s, size_t(usbsim::FindDescriptor(s, 4, -1, 2)),
                     5); // interface descriptor shorter than 9
        add("short interface", s);
        Bytes x = good1;
        usbsim::Set8(x, size_t(usbsim::FindDescriptor(x, 4, -1, 2)) + 4,
                     255); // bNumEndpoints far past what follows
        add("excess bNumEndpoints", x);
        Bytes l = good2;
        usbsim::Set8(l, size_t(usbsim::FindDescriptor(l, 0x24, 0x06)), 255); // runs past the end
        add("bLength 255", l);
        Bytes fu = good1;
        usbsim::Set8(fu, size_t(usbsim::FindDescriptor(fu, 0x24, 0x06)) + 5, 0); // bControlSize 0
        add("bControlSize 0", fu);
        Bytes in = good1;
        usbsim::Set8(in, size_t(usbsim::FindDescriptor(in, 0x24, 0x01)) + 7,
                     200); // bInCollection beyond bLength
        add("bInCollection 200", in);
    }
    return corpus;
}

// What the builders make: the configurations and device descriptors of every virtual headset.
inline std::vector<std::pair<std::string, Bytes>> BuilderCorpus()
{
    std::vector<std::pair<std::string, Bytes>> corpus;
    for (auto &[name, set] :
         {std::pair<std::string, usbsim::DescriptorSet>{"uac1", usbsim::BuildUac1Headset()},
          {"uac2", usbsim::BuildUac2Headset()},
          {"chip", usbsim::BuildChipHeadset()}})
    {
        corpus.emplace_back(name + " configuration", set.configuration);
        corpus.emplace_back(name + " device", set.device);
    }
    return corpus;
}

} // namespace usbtest
