// The chip families' terminals on the virtual headset: the jack types the device's flags offer, the
// routing registers and the stored type behind a selection (and after a failed write), the jack
// records against the chip's table, the pins and what follows them, the input terminals' codes, the
// class cells that make them, and feature units whose descriptor cannot size their channels.
#include "chip_fixture.h"

#include "driver/core/chip_level_units.h"
#include "driver/core/chip_units.h"
#include "driver/effects/effect_nodes.h"

#include <algorithm>
#include <cstring>

using namespace chip_bench;
using usbsim::Bytes;

namespace
{

Bytes OutputTerminal(UCHAR id, USHORT type, UCHAR source = 2)
{
    return {9, 0x24, 0x03, id, UCHAR(type), UCHAR(type >> 8), 0, source, 0};
}

Bytes InputTerminal(UCHAR id, USHORT type)
{
    return {12, 0x24, 0x02, id, UCHAR(type), UCHAR(type >> 8), 0, 2, 0x03, 0x00, 0, 0};
}

std::vector<ULONG> StoredWord(const char16_t *name)
{
    const auto &bytes = g_Settings[name];
    if (bytes.size() != 4)
        return {};
    ULONG value = 0;
    memcpy(&value, bytes.data(), 4);
    return {value};
}

// The routing the chip must get for each jack type: registers 2, 1 and 0 with their masks.
std::vector<RegisterWrite> Routing(ULONG type)
{
    static const ULONG values[3][3] = {
        {0xE000, 0x0002, 0x0000}, {0xFFE0, 0x0002, 0x0000}, {0xE7F8, 0x0000, 0x8000}};
    const auto &v = values[type - 1];
    return {{2, v[0], 0xFFFF}, {1, v[1], 0x0002}, {0, v[2], 0x8000}};
}

template <class T> std::vector<T> Join(std::vector<T> a, const std::vector<T> &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class ChipTerminalTest : public ChipUnitTest
{
protected:
    void SetUp() override
    {
        ChipUnitTest::SetUp();
        Plug(usbsim::VirtualDevice::Uac1());
    }
    template <class T>
    T *Terminal(const Bytes &descriptor, ULONG hp, ULONG optical, ULONG eight,
                NTSTATUS expected = STATUS_SUCCESS)
    {
        const ULONG flags[3] = {hp, optical, eight};
        return Make<T>(descriptor, expected, flags);
    }
    static std::vector<ULONG> Types(const CJackTerminal *terminal)
    {
        ULONG count = 0, types[JACK_MAX_TYPES] = {};
        EXPECT_EQ(terminal->GetJackTypeCount(&count), STATUS_SUCCESS);
        EXPECT_EQ(terminal->GetJackTypes(types), STATUS_SUCCESS);
        return std::vector<ULONG>(types, types + count);
    }
    static ULONG JackCount(CJackTerminal *terminal, ULONG index)
    {
        ULONG count = 99;
        EXPECT_EQ(terminal->GetTerminalJackCount(index, &count), STATUS_SUCCESS);
        return count;
    }
    // The kinds of the unit's nodes in order.
    static std::vector<ULONG> NodeKinds(IUsbAudioUnit *unit)
    {
        std::vector<ULONG> kinds;
        IAudioNode *node = nullptr;
        for (ULONG i = 0; NT_SUCCESS(unit->GetUnitNode(i, &node)); ++i)
            kinds.push_back(node->GetKind());
        return kinds;
    }
    static std::vector<ULONG> PinWords(IUsbAudioUnit *unit, ULONG index)
    {
        IAudioNode *node = nullptr;
        EXPECT_EQ(unit->GetUnitNode(index, &node), STATUS_SUCCESS);
        ITerminalInfo *info = QueryAs<ITerminalInfo>(node, IID_ITerminalInfo);
        std::vector<ULONG> words(HAL_INFO_WORDS);
        EXPECT_EQ(info->GetWords(words.data()), STATUS_SUCCESS);
        ULONG type = 0;
        info->GetSelectedType(&type);
        info->Release();
        words.push_back(type);
        return words;
    }
};

// What every record of the chip's table holds besides its channel mapping, colour and connection:
// rear (1), main box (0), a jack (0).
void ExpectRecord(const JackRecord &r, ULONG mapping, ULONG colour, ULONG connection, ULONG connected)
{
    EXPECT_EQ(r.ChannelMapping, mapping);
    EXPECT_EQ(r.Color, colour);
    EXPECT_EQ(r.ConnectionType, connection);
    EXPECT_EQ(r.GeoLocation, 1u);
    EXPECT_EQ(r.GenLocation, 0u);
    EXPECT_EQ(r.PortConnection, 0u);
    EXPECT_EQ(r.IsConnected, connected);
}

TEST_F(ChipTerminalTest, JackTypesFollowTheFlagsAndRouteTheChip)
{
    const struct
    {
        ULONG hp, optical;
        std::vector<ULONG> types;
    } cases[] = {{0, 0, {1}}, {1, 0, {1, 2}}, {0, 1, {1, 3}}, {1, 1, {1, 2, 3}}};
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.types.size());
        registers.writes.clear();
        auto *terminal = Terminal<CJackOutputTerminal>(OutputTerminal(3, 0x0302), c.hp, c.optical, 1);
        EXPECT_EQ(Types(terminal), c.types);
        EXPECT_EQ(registers.writes, Routing(1)) << "the chip starts routed for the analogue outputs";
        // One pin per type described as the device describes that type, then a selector for several.
        std::vector<ULONG> kinds(c.types.size(), NODE_KIND_OUTPUT_TERMINAL);
        if (c.types.size() > 1)
            kinds.push_back(NODE_KIND_STATE);
        EXPECT_EQ(NodeKinds(terminal), kinds);
        for (ULONG i = 0; i < c.types.size(); ++i)
            EXPECT_EQ(PinWords(terminal, i),
                      (std::vector<ULONG>{0xCA00 | c.types[i], 0, 0, 0, 0, 0, 0, 0, c.types[i]}));
    }

    // The stored type comes back at start, and the chip is routed for it; a type no longer offered is not.
    registers.writes.clear();
    g_Settings[u"UACUnit03"] = {2, 0, 0, 0};
    auto *stored = Terminal<CJackOutputTerminal>(OutputTerminal(3, 0x0302), 1, 1, 1);
    ULONG type = 0;
    EXPECT_EQ(stored->GetOutputType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, 2u);
    EXPECT_EQ(registers.writes, Routing(2));
    registers.writes.clear();
    g_Settings[u"UACUnit03"] = {3, 0, 0, 0};
    auto *gone = Terminal<CJackOutputTerminal>(OutputTerminal(3, 0x0302), 1, 0, 1);
    EXPECT_EQ(gone->GetOutputType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, 1u);
    EXPECT_EQ(registers.writes, Routing(1));

    // A terminal that is not an output terminal, or whose routing cannot be written, is refused.
    Terminal<CJackOutputTerminal>(InputTerminal(3, 0x0302), 1, 1, 1, STATUS_INVALID_PARAMETER);
    registers.fail = STATUS_UNSUCCESSFUL;
    Terminal<CJackOutputTerminal>(OutputTerminal(3, 0x0302), 1, 1, 1, STATUS_UNSUCCESSFUL);
}

TEST_F(ChipTerminalTest, SetJackTypeRoutesFirstAndKeepsTheOldTypeWhenAWriteFails)
{
    auto *terminal = Terminal<CJackOutputTerminal>(OutputTerminal(3, 0x0302), 1, 0, 1);
    registers.writes.clear();
    g_Settings.clear();

    ASSERT_EQ(terminal->SetJackType(2), STATUS_SUCCESS);
    EXPECT_EQ(registers.writes, Routing(2));
    EXPECT_EQ(StoredWord(u"UACUnit03"), std::vector<ULONG>{2});

    // Not offered without the optical flag: nothing reaches the chip or the registry.
    registers.writes.clear();
    g_Settings.clear();
    EXPECT_EQ(terminal->SetJackType(3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(terminal->SetJackType(0), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(registers.writes.empty());
    EXPECT_TRUE(StoredWord(u"UACUnit03").empty());

    // Each write of the triplet failed in turn: the type and the registry stay, and the chip gets
    // the current type's routing back.
    for (ULONG failing = 1; failing <= 3; ++failing)
    {
        SCOPED_TRACE(failing);
        registers.writes.clear();
        registers.failAt = registers.attempts + failing;
        EXPECT_EQ(terminal->SetJackType(1), STATUS_UNSUCCESSFUL);
        ULONG type = 0;
        terminal->GetOutputType(&type);
        EXPECT_EQ(type, 2u);
        EXPECT_TRUE(StoredWord(u"UACUnit03").empty());
        auto partial = Routing(1);
        partial.resize(failing - 1);
        EXPECT_EQ(registers.writes, Join(partial, Routing(2)));
    }

    // The jack-type selector reaches the same operation: a good selection routes, stores and
    // persists; a failed one leaves the node at its type.
    IAudioNode *node = nullptr;
    ASSERT_EQ(terminal->GetUnitNode(2, &node), STATUS_SUCCESS);
    INodeState *selector = QueryAs<INodeState>(node, IID_INodeState);
    ASSERT_NE(selector, nullptr);
    ASSERT_EQ(terminal->SetJackType(1), STATUS_SUCCESS); // where the node was made
    registers.failAt = registers.attempts + 1;
    EXPECT_EQ(selector->Select(2), STATUS_UNSUCCESSFUL);
    ULONG value = 0;
    selector->GetValue(&value);
    EXPECT_EQ(value, 1u);
    registers.writes.clear();
    EXPECT_EQ(selector->Select(2), STATUS_SUCCESS);
    EXPECT_EQ(registers.writes, Routing(2));
    EXPECT_EQ(StoredWord(u"UACUnit03"), std::vector<ULONG>{2});
    selector->Release();
}

TEST_F(ChipTerminalTest, JackRecordsFollowTheChipTable)
{
    auto *eight = Terminal<CJackOutputTerminal>(OutputTerminal(3, 0x0302), 1, 1, 1);
    auto *six = Terminal<CJackOutputTerminal>(OutputTerminal(3, 0x0302), 1, 1, 0);
    EXPECT_EQ(JackCount(eight, 0), 4u);
    EXPECT_EQ(JackCount(six, 0), 3u);
    EXPECT_EQ(JackCount(eight, 1), 1u);
    EXPECT_EQ(JackCount(eight, 2), 1u);
    EXPECT_EQ(JackCount(eight, 3), 0u);
    EXPECT_EQ(eight->GetTerminalJackCount(0, nullptr), STATUS_INVALID_PARAMETER);

    JackRecord r[5];
    memset(r, 0xA5, sizeof r);
    const auto untouched = [&]
    {
        return std::all_of(reinterpret_cast<UCHAR *>(r), reinterpret_cast<UCHAR *>(r + 5),
                           [](UCHAR b) { return b == 0xA5; });
    };
    // A buffer one byte short of every record gets nothing.
    EXPECT_EQ(eight->GetTerminalJacks(0, 143, r), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(six->GetTerminalJacks(0, 107, r), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(eight->GetTerminalJacks(0, 0, r), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(eight->GetTerminalJacks(0, 144, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(untouched());
    // A type without records succeeds and writes nothing.
    EXPECT_EQ(eight->GetTerminalJacks(3, sizeof r, r), STATUS_SUCCESS);
    EXPECT_TRUE(untouched());

    ASSERT_EQ(eight->GetTerminalJacks(0, 144, r), STATUS_SUCCESS);
    ExpectRecord(r[0], 0x3, 0x00FF00, 1, 1);
    ExpectRecord(r[1], 0xC, 0xFF8000, 1, 1);
    ExpectRecord(r[2], 0x30, 0, 1, 1);
    ExpectRecord(r[3], 0x600, 0, 1, 1);
    ASSERT_EQ(six->GetTerminalJacks(0, 108, r), STATUS_SUCCESS);
    ExpectRecord(r[2], 0x30, 0, 1, 1);
    // Types that are not current report their jacks unplugged.
    ASSERT_EQ(eight->GetTerminalJacks(1, 36, r), STATUS_SUCCESS);
    ExpectRecord(r[0], 0x3, 0x00FF00, 1, 0);
    ASSERT_EQ(eight->GetTerminalJacks(2, 36, r), STATUS_SUCCESS);
    ExpectRecord(r[0], 0x3, 0, 5, 0);

    // "SetJackConnect" forces every is-connected; the pin's refresh sees the current type move.
    g_Settings[u"SetJackConnect"] = {1, 0, 0, 0};
    ASSERT_EQ(eight->GetTerminalJacks(2, 36, r), STATUS_SUCCESS);
    EXPECT_EQ(r[0].IsConnected, 1u);
    g_Settings.erase(u"SetJackConnect");
    ASSERT_EQ(eight->SetJackType(3), STATUS_SUCCESS);
    IAudioNode *pin = nullptr;
    ASSERT_EQ(eight->GetUnitNode(2, &pin), STATUS_SUCCESS);
    ASSERT_EQ(pin->Refresh(), STATUS_SUCCESS);
    ITerminalInfo *info = QueryAs<ITerminalInfo>(pin, IID_ITerminalInfo);
    ULONG count = 0;
    ASSERT_EQ(info->GetJackCount(&count), STATUS_SUCCESS);
    ASSERT_EQ(count, 1u);
    ASSERT_EQ(info->GetJacks(36, r), STATUS_SUCCESS);
    info->Release();
    ExpectRecord(r[0], 0x3, 0, 5, 1);
}

TEST_F(ChipTerminalTest, SpeakerTerminalOfTheEffectHeadset)
{
    // Type 2 replaces type 1 with the headphone flag; only type 1 has a jack.
    auto *plain = Terminal<CJackOutputTerminal2>(OutputTerminal(3, 0x0301), 0, 0, 0);
    auto *both = Terminal<CJackOutputTerminal2>(OutputTerminal(4, 0x0301), 1, 1, 0);
    EXPECT_EQ(Types(plain), (std::vector<ULONG>{1}));
    EXPECT_EQ(Types(both), (std::vector<ULONG>{2, 3}));
    EXPECT_TRUE(registers.writes.empty()) << "this terminal has no routing registers";
    EXPECT_EQ(JackCount(plain, 0), 1u);
    EXPECT_EQ(JackCount(both, 0), 0u);
    EXPECT_EQ(JackCount(both, 1), 0u);

    JackRecord r[2] = {};
    EXPECT_EQ(plain->GetTerminalJacks(0, 35, r), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(plain->GetTerminalJacks(0, 36, r), STATUS_SUCCESS);
    ExpectRecord(r[0], 0x3, 0x00FF00, 1, 1);
    // The current type starts at 1 whatever is stored, so the type-2 terminal's jacks are unplugged.
    ULONG type = 0;
    EXPECT_EQ(both->GetOutputType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, 1u);

    // A type of the list is stored and persisted; others are refused with nothing stored.
    EXPECT_EQ(plain->SetJackType(3), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(StoredWord(u"UACUnit03").empty());
    EXPECT_EQ(both->SetJackType(3), STATUS_SUCCESS);
    EXPECT_EQ(StoredWord(u"UACUnit04"), std::vector<ULONG>{3});
    EXPECT_TRUE(registers.writes.empty());

    // Pins with the fixed words, the selector for two types, then the effect parameter node.
    EXPECT_EQ(NodeKinds(plain).size(), 2u);
    const std::vector<ULONG> words{0x01006086, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(PinWords(plain, 0), Join(words, {1}));
    EXPECT_EQ(PinWords(both, 1), Join(words, {3}));
    const auto kinds = NodeKinds(both);
    ASSERT_EQ(kinds.size(), 4u);
    EXPECT_EQ(kinds[2], ULONG(NODE_KIND_STATE));
    IAudioNode *last = nullptr;
    ASSERT_EQ(both->GetUnitNode(3, &last), STATUS_SUCCESS);
    EXPECT_NE(dynamic_cast<CEffectParamNode *>(last), nullptr);
    LONG bands[2] = {};
    EXPECT_EQ(dynamic_cast<CEffectParamNode *>(last)->GetEffectParameters(14, 2, bands), STATUS_SUCCESS);
    EXPECT_EQ(bands[0], 30);
    EXPECT_EQ(bands[1], 15);
    // Node numbers follow one another across the unit.
    ULONG first = 0;
    ASSERT_EQ(both->GetFirstNodeId(&first), STATUS_SUCCESS);
    EXPECT_EQ(last->GetId(), first + 3);
}

TEST_F(ChipTerminalTest, InputTerminalsTakeTheChipsCodes)
{
    // The stream's own terminal keeps the streaming code its pin is found by.
    const std::pair<USHORT, ULONG> cases[] = {{0x0201, 7},  {0x0202, 11}, {0x0302, 2}, {0x0401, 13},
                                              {0x0402, 14}, {0x0605, 3},  {0x0603, 6}, {0x0601, 6},
                                              {0x0204, 6},  {0x0101, 0}};
    for (const auto &[type, code] : cases)
    {
        SCOPED_TRACE(type);
        auto *terminal = Unit<CInputTerminalVariant>(InputTerminal(4, type));
        EXPECT_EQ(NodeKinds(terminal), std::vector<ULONG>{NODE_KIND_INPUT_TERMINAL});
        EXPECT_EQ(PinWords(terminal, 0),
                  (std::vector<ULONG>{0xCA00 | 1u << 8 | code, 0, 0, 0, 0, 0, 0, 0, code}));
    }
}

class ChipTerminalCells : public KernelTest
{
};

TEST_F(ChipTerminalCells, MirkAndPlonClassesByDescriptor)
{
    struct Case
    {
        UsbAudioDeviceClass family;
        UCHAR subtype, id;
        USHORT type;
        const char *expected;
    } cases[] = {
        {UsbAudioDeviceClass::Mirk, 2, 1, 0x0101, "input"},
        {UsbAudioDeviceClass::Mirk, 2, 4, 0x0201, "input"},
        {UsbAudioDeviceClass::Mirk, 3, 3, 0x0302, "jack"},
        {UsbAudioDeviceClass::Mirk, 3, 7, 0x0101, "plain"},
        {UsbAudioDeviceClass::Plon, 3, 3, 0x0301, "jack2"},
        {UsbAudioDeviceClass::Plon, 3, 9, 0x0301, "jack2"},
        {UsbAudioDeviceClass::Plon, 3, 3, 0x0302, "plain"},
        {UsbAudioDeviceClass::Plon, 2, 1, 0x0301, "plain"},
        {UsbAudioDeviceClass::Plon, 6, 3, 0x0301, "plain"},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(std::to_string(c.id) + " " + c.expected);
        UsbAudioFunctionInputs inputs{c.family, 0x1234, 0x5678, {1, 1, 1}, FALSE};
        const UCHAR descriptor[] = {9, 0x24, c.subtype, c.id, UCHAR(c.type), UCHAR(c.type >> 8), 0, 2, 0};
        IUsbAudioUnit *unit = nullptr;
        const auto create = c.family == UsbAudioDeviceClass::Mirk ? CreateMirkUnit : CreatePlonUnit;
        ASSERT_EQ(create(inputs, descriptor, 0, PoolTag::UAC1, &unit), STATUS_SUCCESS);
        const std::string kind = !unit                                         ? "plain"
                                 : dynamic_cast<CJackOutputTerminal2 *>(unit)  ? "jack2"
                                 : dynamic_cast<CJackOutputTerminal *>(unit)   ? "jack"
                                 : dynamic_cast<CInputTerminalVariant *>(unit) ? "input"
                                                                               : "other";
        EXPECT_EQ(kind, c.expected);
        if (unit)
            unit->Release();
    }
}

// A feature unit whose bControlSize is 0, or whose bLength leaves no room for the master's controls
// or claims more than was given, cannot size its channels: every family's class refuses it and
// makes nothing.
TEST_F(ChipTerminalTest, FeatureUnitsThatCannotSizeTheirChannelsMakeNothing)
{
    const ULONG before = hal->GetFilterCount();
    Bytes zeroSize = Feature(9, {0x03, 0x03, 0x03});
    zeroSize[5] = 0;
    Bytes shortLength = Feature(9, {0x03, 0x03});
    shortLength[0] = 6;
    Bytes longLength = Feature(9, {0x03, 0x03});
    longLength[0] = UCHAR(longLength.size() + 1);
    for (const Bytes *d : {&zeroSize, &shortLength, &longLength})
    {
        Unit<CUnitVolumeCurve>(*d, STATUS_INVALID_PARAMETER);
        Unit<CUnitPlainMute>(*d, STATUS_INVALID_PARAMETER);
        Unit<CUnitScaledA>(*d, STATUS_INVALID_PARAMETER);
        Unit<CUnitScaledBNodes>(*d, STATUS_INVALID_PARAMETER);
        Unit<CUnitScaledBLed>(*d, STATUS_INVALID_PARAMETER);
        Unit<CUnitCurve2>(*d, STATUS_INVALID_PARAMETER);
        Unit<CUnitStep192>(*d, STATUS_INVALID_PARAMETER);
        Unit<CUnitEffects>(*d, STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(hal->GetFilterCount(), before);
    EXPECT_TRUE(Sent().empty());
    EXPECT_TRUE(registers.writes.empty());
}

} // namespace
