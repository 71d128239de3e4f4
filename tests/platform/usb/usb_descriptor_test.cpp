// Descriptor builders, the bounded parsing helpers and the printer, against the wire layouts of the
// public USB 2.0 and USB Audio Class 1.0 / 2.0 documents.
#include <gtest/gtest.h>

#include <set>

#include "support/kernel_test.h"
#include <sim/usb_builders.h>
#include <sim/usb_printer.h>
#include <usbd_lib.h>

#include "support/usb_malformed_corpus.h"

using namespace usbsim;

namespace
{

// An independent structural check: every descriptor fits, wTotalLength is the size, bNumInterfaces
// counts interface numbers, each alternate's bNumEndpoints counts the endpoints that follow it, and
// the AudioControl header's wTotalLength covers exactly the class descriptors after it.
std::string Consistency(const Bytes &c, bool uac2)
{
    if (c.size() < 9 || c[0] != 9 || c[1] != 2)
        return "no configuration descriptor";
    if (Get16(c, 2) != c.size())
        return "wTotalLength " + std::to_string(Get16(c, 2)) + " != " + std::to_string(c.size());
    std::set<int> numbers;
    int endpointsExpected = -1, endpointsSeen = 0;
    long header = -1;
    size_t classBytes = 0;
    bool inAcClass = false;
    for (size_t at = 0; at < c.size();)
    {
        uint8_t len = c[at];
        if (len < 2 || at + len > c.size())
            return "bad bLength at " + std::to_string(at);
        uint8_t type = c[at + 1];
        if (type == 4)
        {
            if (endpointsExpected >= 0 && endpointsExpected != endpointsSeen)
                return "bNumEndpoints mismatch before " + std::to_string(at);
            numbers.insert(c[at + 2]);
            endpointsExpected = c[at + 4];
            endpointsSeen = 0;
            inAcClass = c[at + 5] == 1 && c[at + 6] == 1;
        }
        else if (type == 5)
        {
            ++endpointsSeen;
            inAcClass = false;
        }
        else if (type == 0x24 && inAcClass)
        {
            if (c[at + 2] == 1)
                header = long(at);
            classBytes += len;
        }
        at += len;
    }
    if (endpointsExpected != endpointsSeen)
        return "bNumEndpoints mismatch at the end";
    if (numbers.size() != c[4])
        return "bNumInterfaces " + std::to_string(c[4]) + " != " + std::to_string(numbers.size());
    if (header < 0)
        return "no AudioControl header";
    uint16_t acTotal = Get16(c, size_t(header) + (uac2 ? 6 : 5));
    if (acTotal != classBytes)
        return "AC wTotalLength " + std::to_string(acTotal) + " != " + std::to_string(classBytes);
    return "";
}

Bytes Slice(const Bytes &b, long at)
{
    EXPECT_GE(at, 0);
    if (at < 0)
        return {};
    return Bytes(b.begin() + at, b.begin() + at + b[size_t(at)]);
}

} // namespace

TEST(UsbBuilders, OutputIsConsistent)
{
    for (uint8_t cs : {1, 2})
        for (bool mixer : {false, true})
            for (bool selector : {false, true})
                for (bool range : {false, true})
                {
                    Uac1Options o;
                    o.controlSize = cs;
                    o.mixer = mixer;
                    o.selector = selector;
                    if (range)
                        o.rates.clear();
                    DescriptorSet s = BuildUac1Headset(o);
                    EXPECT_EQ(Consistency(s.configuration, false), "") << PrintDescriptors(s.configuration);
                    EXPECT_EQ(s.device.size(), 18u);
                }
    for (bool bulk : {false, true})
    {
        Uac2Options o;
        o.bulkIn = bulk;
        DescriptorSet s = BuildUac2Headset(o);
        EXPECT_EQ(Consistency(s.configuration, true), "") << PrintDescriptors(s.configuration);
        EXPECT_EQ(s.speed, Speed::High);
    }
    DescriptorSet chip = BuildChipHeadset();
    EXPECT_EQ(Consistency(chip.configuration, false), "") << PrintDescriptors(chip.configuration);
}

TEST(UsbBuilders, Uac1KeyFieldsMatchTheClassDocument)
{
    Uac1Options o;
    o.controlSize = 2;
    o.vendorId = 0x1A2B;
    o.productId = 0x3C4D;
    DescriptorSet s = BuildUac1Headset(o);
    const Bytes &c = s.configuration;
    EXPECT_EQ(s.device,
              (Bytes{18, 1, 0x10, 0x01, 0, 0, 0, 64, 0x2B, 0x1A, 0x4D, 0x3C, 0x00, 0x01, 1, 2, 0, 1}));
    // AudioControl interface: class 1, subclass 1, protocol 0, one interrupt endpoint.
    EXPECT_EQ(Slice(c, FindDescriptor(c, 4)), (Bytes{9, 4, 0, 0, 1, 1, 1, 0, 0}));
    Bytes header = Slice(c, FindDescriptor(c, 0x24, 0x01));
    ASSERT_EQ(header.size(), 10u); // 8 + bInCollection
    EXPECT_EQ(Bytes(header.begin(), header.begin() + 5), (Bytes{10, 0x24, 0x01, 0x00, 0x01}));
    EXPECT_EQ(Bytes(header.begin() + 7, header.end()), (Bytes{2, 1, 2}));
    // Input terminal: USB streaming (0x0101), two channels, left and right front.
    EXPECT_EQ(Slice(c, FindDescriptor(c, 0x24, 0x02)),
              (Bytes{12, 0x24, 0x02, 1, 0x01, 0x01, 0, 2, 0x03, 0x00, 0, 0}));
    // Feature unit with bControlSize 2: bLength 7 + (2 + 1) * 2 = 13; master mute|volume, channels volume.
    EXPECT_EQ(Slice(c, FindDescriptor(c, 0x24, 0x06)),
              (Bytes{13, 0x24, 0x06, 2, 1, 2, 0x03, 0x00, 0x02, 0x00, 0x02, 0x00, 0}));
    // Output terminal: headphones (0x0302).
    EXPECT_EQ(Slice(c, FindDescriptor(c, 0x24, 0x03)), (Bytes{9, 0x24, 0x03, 3, 0x02, 0x03, 0, 2, 0}));
    // Interrupt endpoint of the AudioControl interface: 9 bytes, wMaxPacketSize 2.
    EXPECT_EQ(Slice(c, FindDescriptor(c, 5)), (Bytes{9, 5, 0x83, 0x03, 2, 0, 32, 0, 0}));
    // Render: alternate 0 has no endpoint; alternate 1 PCM (wFormatTag 1), Type I with two rates.
    long alt1 = FindDescriptor(c, 4, -1, 2);
    EXPECT_EQ(Slice(c, FindDescriptor(c, 4, -1, 1)), (Bytes{9, 4, 1, 0, 0, 1, 2, 0, 0}));
    EXPECT_EQ(Slice(c, alt1), (Bytes{9, 4, 1, 1, 1, 1, 2, 0, 0}));
    EXPECT_EQ(Slice(c, alt1 + 9), (Bytes{7, 0x24, 0x01, 1, 1, 0x01, 0x00}));
    EXPECT_EQ(Slice(c, alt1 + 16),
              (Bytes{14, 0x24, 0x02, 1, 2, 2, 16, 2, 0x44, 0xAC, 0x00, 0x80, 0xBB, 0x00}));
    EXPECT_EQ(Slice(c, alt1 + 30), (Bytes{9, 5, 0x01, 0x09, 196, 0, 1, 0, 0}));
    EXPECT_EQ(Slice(c, alt1 + 39), (Bytes{7, 0x25, 0x01, 0x01, 0, 0, 0}));

    // A continuous range is bSamFreqType 0 with lower and upper bounds.
    o.rates.clear();
    o.rangeLow = 8000;
    o.rangeHigh = 48000;
    Bytes r = BuildUac1Headset(o).configuration;
    EXPECT_EQ(Slice(r, FindDescriptor(r, 0x24, 0x02, 3)), // after two input terminals and the first format
              (Bytes{14, 0x24, 0x02, 1, 1, 2, 16, 0, 0x40, 0x1F, 0x00, 0x80, 0xBB, 0x00}));
}

TEST(UsbBuilders, Uac2KeyFieldsMatchTheClassDocument)
{
    DescriptorSet s = BuildUac2Headset();
    const Bytes &c = s.configuration;
    EXPECT_EQ(Bytes(s.device.begin(), s.device.begin() + 8),
              (Bytes{18, 1, 0x00, 0x02, 0xEF, 0x02, 0x01, 64}));
    EXPECT_EQ(Slice(c, FindDescriptor(c, 0x0B)), (Bytes{8, 0x0B, 0, 3, 1, 0, 0x20, 0}));
    EXPECT_EQ(Slice(c, FindDescriptor(c, 4)), (Bytes{9, 4, 0, 0, 1, 1, 1, 0x20, 0}));
    Bytes header = Slice(c, FindDescriptor(c, 0x24, 0x01));
    ASSERT_EQ(header.size(), 9u);
    EXPECT_EQ(header[3], 0x00);
    EXPECT_EQ(header[4], 0x02); // bcdADC 2.00
    EXPECT_EQ(header[5], 0x04); // headset category
    EXPECT_EQ(Slice(c, FindDescriptor(c, 0x24, 0x0A)), (Bytes{8, 0x24, 0x0A, 10, 0x03, 0x07, 0, 0}));
    // Input terminal: 17 bytes with bCSourceID and 4-byte bmChannelConfig; connector control read-only.
    EXPECT_EQ(Slice(c, FindDescriptor(c, 0x24, 0x02)),
              (Bytes{17, 0x24, 0x02, 1, 0x01, 0x01, 0, 10, 2, 0x03, 0, 0, 0, 0, 0x04, 0x00, 0}));
    // Feature unit: 6 + (2 + 1) * 4 = 18 bytes of 4-byte bmaControls.
    EXPECT_EQ(Slice(c, FindDescriptor(c, 0x24, 0x06)),
              (Bytes{18, 0x24, 0x06, 2, 1, 0x0F, 0, 0, 0, 0x0C, 0, 0, 0, 0x0C, 0, 0, 0, 0}));
    EXPECT_EQ(Slice(c, FindDescriptor(c, 0x24, 0x03)),
              (Bytes{12, 0x24, 0x03, 3, 0x02, 0x03, 0, 2, 10, 0x04, 0x00, 0}));
    EXPECT_EQ(Slice(c, FindDescriptor(c, 5)), (Bytes{7, 5, 0x83, 0x03, 6, 0, 4}));
    long alt1 = FindDescriptor(c, 4, -1, 2);
    EXPECT_EQ(Slice(c, alt1), (Bytes{9, 4, 1, 1, 2, 1, 2, 0x20, 0}));
    EXPECT_EQ(Slice(c, alt1 + 9), (Bytes{16, 0x24, 0x01, 1, 0, 0x01, 0x01, 0, 0, 0, 2, 0x03, 0, 0, 0, 0}));
    EXPECT_EQ(Slice(c, alt1 + 25), (Bytes{6, 0x24, 0x02, 0x01, 2, 16}));
    EXPECT_EQ(Slice(c, alt1 + 31), (Bytes{7, 5, 0x01, 0x05, 52, 0, 1}));
    EXPECT_EQ(Slice(c, alt1 + 38), (Bytes{8, 0x25, 0x01, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Slice(c, alt1 + 46), (Bytes{7, 5, 0x81, 0x11, 4, 0, 4})); // explicit feedback
    EXPECT_EQ(Slice(c, FindDescriptor(c, 0x24, 0x02, 3)), (Bytes{6, 0x24, 0x02, 0x01, 3, 24}));
}

TEST(UsbBuilders, ChipFamilyHasTheFixedLayout)
{
    DescriptorSet s = BuildChipHeadset();
    const Bytes &c = s.configuration;
    ASSERT_EQ(c.size(), 509u);
    EXPECT_EQ(Get16(c, 2), 509);
    // The chip's fixed layout, written out apart from the builder's own table: offset, length, type,
    // then the class subtype and entity ID (0: none named) or, for interfaces, the subclass.
    struct Row
    {
        uint16_t offset, length;
        uint8_t type, subtype, id;
    };
    constexpr uint8_t IT = 0x02, OT = 0x03, MIX = 0x04, SEL = 0x05, FU = 0x06, AS = 0x02;
    static const Row rows[] = {
        {28, 12, 0x24, IT, 1},   {40, 12, 0x24, IT, 0},   {52, 10, 0x24, FU, 8},  {62, 10, 0x24, FU, 9},
        {72, 25, 0x24, MIX, 0},  {97, 16, 0x24, FU, 0},   {113, 9, 0x24, OT, 0},  {122, 13, 0x24, MIX, 2},
        {135, 9, 0x24, OT, 0},   {144, 10, 0x24, SEL, 0}, {154, 12, 0x24, IT, 0}, {166, 10, 0x24, FU, 15},
        {176, 10, 0x24, FU, 11}, {186, 12, 0x24, IT, 0},  {198, 10, 0x24, FU, 0}, {208, 10, 0x24, FU, 16},
        {218, 9, 4, AS, 0},      {227, 46, 4, AS, 0},     {273, 46, 4, AS, 0},    {319, 46, 4, AS, 0},
        {365, 46, 4, AS, 0},     {411, 43, 4, AS, 0},     {454, 55, 4, AS, 0},
    };
    // The first 28 bytes: configuration, AudioControl interface, a 10-byte class header.
    EXPECT_EQ((Bytes{c[0], c[1], c[9], c[10], c[18], c[19], c[20]}), (Bytes{9, 2, 9, 4, 10, 0x24, 0x01}));
    size_t expectedNext = 28;
    for (const Row &row : rows)
    {
        SCOPED_TRACE(row.offset);
        ASSERT_EQ(row.offset, expectedNext);
        EXPECT_EQ(c[row.offset + 1], row.type);
        if (row.type == 0x24)
        {
            EXPECT_EQ(c[row.offset], row.length); // one class descriptor
            EXPECT_EQ(c[row.offset + 2], row.subtype);
            if (row.id)
            {
                EXPECT_EQ(c[row.offset + 3], row.id);
            }
        }
        else
        {
            EXPECT_EQ(c[row.offset], 9);
            EXPECT_EQ((Bytes{c[row.offset + 5], c[row.offset + 6]}),
                      (Bytes{1, row.subtype})); // audio streaming
            EXPECT_EQ(c[row.offset + 2],
                      row.offset < 454 ? c[218 + 2] : c[218 + 2] + 1); // playback, then capture
        }
        expectedNext = row.offset + row.length;
    }
    EXPECT_EQ(expectedNext, 509u);
    EXPECT_EQ((Bytes{c[218 + 3], c[227 + 3], c[273 + 3], c[319 + 3], c[365 + 3]}), (Bytes{0, 1, 2, 3, 4}));
    EXPECT_EQ(Get24(c, 411 + 24), 48000u); // the one-rate block's tSamFreq
    EXPECT_EQ(c[72 + 4], 3);               // mixer inputs 1, 9, 11
    EXPECT_EQ((Bytes{c[77], c[78], c[79]}), (Bytes{1, 9, 11}));
    EXPECT_EQ((Bytes{c[149], c[150], c[151], c[152]}), (Bytes{8, 15, 16, 2}));
    EXPECT_EQ(Get16(c, 18 + 5), 200); // class header covers offsets 18..217
    const std::u16string &id = s.strings.at(0x50);
    ASSERT_GE(id.size(), 3u);
    EXPECT_EQ(id.substr(0, 3), (std::u16string{0x000B, 0x0005, 0x0050}));
    EXPECT_EQ(StringDescriptor(u"AB"), (Bytes{6, 3, 'A', 0, 'B', 0}));
}

TEST(UsbBuilders, PatchHelpersCheckTheirOffsets)
{
    Bytes b{1, 2, 3};
    Set16(b, 1, 0xBBAA);
    EXPECT_EQ(b, (Bytes{1, 0xAA, 0xBB}));
    Insert(b, 3, {7});
    Truncate(b, 2);
    EXPECT_EQ(b, (Bytes{1, 0xAA}));
    EXPECT_THROW(Set16(b, 1, 0), std::out_of_range);
    EXPECT_THROW(Truncate(b, 3), std::out_of_range);
    EXPECT_THROW(Insert(b, 3, {1}), std::out_of_range);
}

class UsbdHelpers : public KernelTest
{
};

TEST_F(UsbdHelpers, ParseAndBuildTheSelection)
{
    Bytes c = BuildUac2Headset().configuration;
    auto cfg = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(c.data());
    PUSB_INTERFACE_DESCRIPTOR ac = USBD_ParseConfigurationDescriptorEx(cfg, cfg, 0, 0, -1, -1, -1);
    ASSERT_NE(ac, nullptr);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(ac) - c.data(), FindDescriptor(c, 4));
    PUSB_INTERFACE_DESCRIPTOR render24 = USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 2, 1, 2, 0x20);
    ASSERT_NE(render24, nullptr);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(render24) - c.data(), FindDescriptor(c, 4, -1, 3));
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, 1, 3, -1, -1, -1), nullptr);
    // Walking on from a found descriptor.
    PUSB_COMMON_DESCRIPTOR ep = USBD_ParseDescriptors(c.data(), ULONG(c.size()), render24, 5);
    ASSERT_NE(ep, nullptr);
    EXPECT_EQ(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(ep)->bEndpointAddress, 0x01);

    USBD_INTERFACE_LIST_ENTRY list[4] = {};
    for (int i = 0; i < 3; ++i)
        list[i].InterfaceDescriptor = USBD_ParseConfigurationDescriptorEx(cfg, cfg, i, 0, -1, -1, -1);
    PURB urb = USBD_CreateConfigurationRequestEx(cfg, list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    EXPECT_EQ(urb->UrbHeader.Length, GET_SELECT_CONFIGURATION_REQUEST_SIZE(3, 1));
    EXPECT_EQ(urb->UrbSelectConfiguration.ConfigurationDescriptor, cfg);
    EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, 1u);
    EXPECT_EQ(list[0].Interface->Length, GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(list[1].Interface->InterfaceNumber, 1);
    EXPECT_EQ(list[1].Interface->NumberOfPipes, 0u);
    EXPECT_EQ(reinterpret_cast<uint8_t *>(list[2].Interface),
              reinterpret_cast<uint8_t *>(list[1].Interface) + GET_USBD_INTERFACE_SIZE(0));
    ExFreePool(urb);

    // The allocation can fail; nothing leaks.
    sim::FailAllocation(1);
    EXPECT_EQ(USBD_CreateConfigurationRequestEx(cfg, list), nullptr);
}

namespace
{

// Everything a walk returned must lie wholly inside the bytes.
bool Inside(const Bytes &b, const void *d)
{
    if (d == nullptr)
        return true;
    auto p = static_cast<const uint8_t *>(d);
    if (p < b.data() || p >= b.data() + b.size() || size_t(b.data() + b.size() - p) < 2)
        return false;
    return p[0] >= 2 && p + p[0] <= b.data() + b.size();
}

// Runs every helper from every start over `b`; counts results. Fails the test on a result outside.
void Exercise(const Bytes &b)
{
    const uint8_t *base = b.data();
    const size_t n = b.size();
    for (size_t start = 0; start <= n; ++start)
    {
        const void *s = base + start; // start == n is one past the end: outside
        for (LONG type : {-1, 2, 4, 5, 0x24, 0x25})
        {
            auto d = usbd::ParseDescriptorsBounded(base, n, s, type);
            ASSERT_TRUE(Inside(b, d)) << "type " << type << " start " << start;
            if (start == n)
            {
                ASSERT_EQ(d, nullptr);
            }
        }
        auto i = usbd::ParseInterfaceBounded(base, n, s, -1, -1, -1, -1, -1);
        ASSERT_TRUE(Inside(b, i));
        if (i)
        {
            ASSERT_GE(i->bLength, 9);
        }
    }
    // A selection over whatever interfaces the walk finds.
    USBD_INTERFACE_LIST_ENTRY list[8] = {};
    size_t k = 0;
    for (auto i = usbd::ParseInterfaceBounded(base, n, base, -1, -1, -1, -1, -1); i && k < 7;
         i = usbd::ParseInterfaceBounded(base, n, reinterpret_cast<const uint8_t *>(i) + i->bLength, -1, -1,
                                         -1, -1, -1))
        list[k++].InterfaceDescriptor = const_cast<PUSB_INTERFACE_DESCRIPTOR>(i);
    PURB urb = usbd::CreateConfigurationRequestBounded(base, n, list);
    if (urb)
    {
        ASSERT_GT(k, 0u);
        ExFreePool(urb);
    }
    (void)usbsim::PrintDescriptors(b);
}

} // namespace

TEST_F(UsbdHelpers, MalformedCorpusIsHarmless)
{
    for (const auto &corpus : {usbtest::MalformedCorpus(), usbtest::BuilderCorpus()})
        for (auto &[name, bytes] : corpus)
        {
            SCOPED_TRACE(name);
            Exercise(bytes);
        }
    // Specific outcomes.
    Bytes b = BuildUac1Headset().configuration;
    const size_t second = size_t(FindDescriptor(b, 4, -1, 1));
    Set8(b, second, 0);
    EXPECT_EQ(usbd::ParseInterfaceBounded(b.data(), b.size(), b.data() + second, 1, -1, -1, -1, -1), nullptr);
    EXPECT_NE(usbd::ParseInterfaceBounded(b.data(), b.size(), b.data(), 0, -1, -1, -1, -1), nullptr);

    // The thin entries trust wTotalLength; a short one bounds the walk.
    Bytes t = BuildUac1Headset().configuration;
    Set16(t, 2, 9);
    auto cfg = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(t.data());
    EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(cfg, cfg, -1, -1, -1, -1, -1), nullptr);

    // Start pointers outside the bytes, and list entries outside them.
    Bytes g = BuildUac1Headset().configuration;
    Bytes other = g;
    EXPECT_EQ(usbd::ParseDescriptorsBounded(g.data(), g.size(), other.data(), -1), nullptr);
    EXPECT_EQ(usbd::ParseDescriptorsBounded(g.data() + 1, g.size() - 1, g.data(), -1), nullptr);
    USBD_INTERFACE_LIST_ENTRY list[2] = {};
    list[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(other.data() + 9);
    EXPECT_EQ(usbd::CreateConfigurationRequestBounded(g.data(), g.size(), list), nullptr);
    list[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(g.data() + g.size() - 4);
    EXPECT_EQ(usbd::CreateConfigurationRequestBounded(g.data(), g.size(), list), nullptr);
    list[0].InterfaceDescriptor = nullptr;
    EXPECT_EQ(usbd::CreateConfigurationRequestBounded(g.data(), g.size(), list), nullptr); // empty list
    // Excess bNumEndpoints is capped in the request's pipe count.
    Set8(g, 9 + 4, 255);
    list[0].InterfaceDescriptor = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(g.data() + 9);
    PURB urb = usbd::CreateConfigurationRequestBounded(g.data(), g.size(), list);
    ASSERT_NE(urb, nullptr);
    EXPECT_EQ(list[0].Interface->NumberOfPipes, USBD_MAX_PIPES_PER_INTERFACE);
    ExFreePool(urb);
}

TEST_F(UsbdHelpers, BoundedRandomInput)
{
    // A small deterministic generator: the same inputs in every build.
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&state]()
    {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        return uint32_t(state);
    };
    const Bytes seeds[] = {BuildUac1Headset().configuration, BuildUac2Headset().configuration,
                           BuildChipHeadset().configuration};
    for (int round = 0; round < 300; ++round)
    {
        Bytes b;
        if (round % 3 == 0)
        {
            b.resize(next() % 64);
            for (auto &x : b)
                x = uint8_t(next() % 16); // small values: many short, zero and one-byte lengths
        }
        else
        {
            b = seeds[round % 3];
            for (int m = 0, count = 1 + next() % 8; m < count; ++m)
                b[next() % b.size()] = uint8_t(next());
            b.resize(next() % (b.size() + 1));
        }
        Exercise(b);
    }
}

TEST(UsbPrinter, MarksMalformedBytesWithoutReadingPast)
{
    Bytes b = BuildUac1Headset().configuration;
    std::string good = PrintDescriptors(b);
    EXPECT_NE(good.find("(feature unit)"), std::string::npos);
    EXPECT_NE(good.find("tSamFreq"), std::string::npos);
    EXPECT_EQ(good.find("bLength 0"), std::string::npos);
    const size_t at = size_t(FindDescriptor(b, 4, -1, 2));
    Set8(b, at, 0);
    std::string bad = PrintDescriptors(b);
    EXPECT_NE(bad.find("bLength 0 at offset " + std::to_string(at) + "\n"), std::string::npos) << bad;
    EXPECT_EQ(bad.find("offset " + std::to_string(at + 9) + ":"), std::string::npos); // stops there

    Bytes u2 = BuildUac2Headset().configuration;
    std::string p2 = PrintDescriptors(u2);
    EXPECT_NE(p2.find("(clock source)"), std::string::npos);
    EXPECT_NE(p2.find("bCSourceID"), std::string::npos);
    // A descriptor whose fields are cut short by its own bLength is marked, not over-read.
    const size_t it = size_t(FindDescriptor(u2, 0x24, 0x02));
    Set8(u2, it, 8);
    Truncate(u2, it + 8); // nothing after it, so reading a ninth byte would be caught by ASan
    Bytes tight(u2.begin(), u2.end());
    std::string p3 = PrintDescriptors(tight.data(), tight.size());
    EXPECT_NE(p3.find("(missing: descriptor ends at byte 8"), std::string::npos) << p3;
    EXPECT_NE(PrintDescriptors(Bytes{5}).find("truncated descriptor header at offset 0"), std::string::npos);
    EXPECT_NE(PrintDescriptors(Bytes{9, 2, 0}).find("bLength 9 at offset 0 runs past the end"),
              std::string::npos);
}

TEST(UsbPrinter, ClassEndpointsAreDecodedByTheirInterfacesClass)
{
    // A MIDI streaming interface and a video control interface, each with a class-specific endpoint.
    const Bytes config = {
        9, 2,    61,   0,    2,    1,    0,    0x80, 50, // configuration
        9, 4,    0,    0,    1,    0x01, 0x03, 0,    0,  // MIDI streaming
        7, 0x24, 0x01, 0x00, 0x01, 7,    0,              // MS header
        9, 5,    0x01, 0x02, 0x40, 0,    0,    0,    0,  // bulk OUT
        6, 0x25, 0x01, 2,    0x01, 0x03,                 // MS general: two embedded jacks
        9, 4,    1,    0,    1,    0x0E, 0x01, 0,    0,  // video control
        7, 5,    0x83, 0x03, 0x10, 0,    8,              // interrupt IN
        5, 0x25, 0x03, 0x40, 0x00,                       // video interrupt endpoint
    };
    ASSERT_EQ(config.size(), 61u);
    const std::string p = PrintDescriptors(config);
    EXPECT_EQ(p.find("wLockDelay"), std::string::npos) << p;
    EXPECT_EQ(p.find("missing"), std::string::npos) << p;
    EXPECT_NE(p.find("(MIDI class endpoint)"), std::string::npos) << p;
    EXPECT_NE(p.find("bNumEmbMIDIJack      0x02"), std::string::npos) << p;
    EXPECT_NE(p.find("baAssocJackID        0x03"), std::string::npos) << p;
    EXPECT_NE(p.find("(video class endpoint)"), std::string::npos) << p;
    EXPECT_NE(p.find("wMaxTransferSize     0x0040"), std::string::npos) << p;
    // The audio headsets' endpoints keep the audio decoding.
    EXPECT_NE(PrintDescriptors(BuildUac2Headset().configuration).find("wLockDelay"), std::string::npos);
}
