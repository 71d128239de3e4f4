// The audio-class entities on the virtual headsets: what their requests look like on the wire,
// how levels convert and saturate, which channels a control addresses, the vendor extension block,
// the class 2.0 clock ranges and valid alternate settings, and every allocation failed in turn.
#include <gtest/gtest.h>

#include "driver/core/uac_entities.h"
#include "driver/core/chip_units.h"
#include "driver/base/pool_memory.h"
#include "held_units.h"
#include "usb_fixture.h"

#include <cstring>
#include <functional>
#include <map>
#include <string>

using usbsim::Bytes;

namespace
{

// The device's node graph, with no hardware of its own to start.
class EntityHal : public CAudioHal
{
public:
    explicit EntityHal(PUNKNOWN outer) : CAudioHal(outer) {}
    NTSTATUS StartHardware() override { return STATUS_SUCCESS; }
};

constexpr LONG dB(double value)
{
    return LONG(value * 65536.0);
}

// A class 1.0 feature unit: ID, source, bControlSize, then one control word per channel (master first).
Bytes Uac1Feature(UCHAR id, UCHAR size, std::vector<uint32_t> controls)
{
    Bytes b = {0, 0x24, 0x06, id, 1, size};
    for (uint32_t c : controls)
        for (UCHAR k = 0; k < size; ++k)
            b.push_back(UCHAR(k < 4 ? c >> (8 * k) : 0));
    b.push_back(0);
    b[0] = UCHAR(b.size());
    return b;
}

Bytes Uac2Feature(UCHAR id, std::vector<uint32_t> controls)
{
    Bytes b = {0, 0x24, 0x06, id, 1};
    for (uint32_t c : controls)
        for (UCHAR k = 0; k < 4; ++k)
            b.push_back(UCHAR(c >> (8 * k)));
    b.push_back(0);
    b[0] = UCHAR(b.size());
    return b;
}

class UacEntityTest : public UsbLayerTest
{
protected:
    void Plug(std::shared_ptr<usbsim::VirtualDevice> headset, UacVersion version)
    {
        Attach(std::move(headset));
        hal = new (NonPagedPool, PoolTag::UA10) EntityHal(nullptr);
        hal->AddRef();
        ASSERT_EQ(hal->Init(nullptr, fdo, nullptr, nullptr), STATUS_SUCCESS);
        context = {hal, {layer.get(), 0, version, PoolTag::UA10}, {}, PoolTag::UA10, nullptr};
        bus->ClearLog();
    }
    void TearDown() override
    {
        DestroyAll();
        UsbLayerTest::TearDown();
    }
    template <class T, class... A>
    T *Unit(const Bytes &descriptor, NTSTATUS expected = STATUS_SUCCESS, const A &...args)
    {
        return MakeHeldUnit<T>(units, PoolTag::UA10, descriptor, context, expected, args...);
    }
    // The nodes the HAL holds, as (kind) in list order.
    std::vector<ULONG> Kinds()
    {
        std::vector<ULONG> kinds;
        for (ULONG i = 0; i < hal->GetFilterCount(); ++i)
        {
            IAudioNode *node = nullptr;
            hal->GetFilter(i, &node);
            kinds.push_back(node->GetKind());
        }
        return kinds;
    }
    std::vector<usbsim::Event> ClassUrbs()
    {
        std::vector<usbsim::Event> out;
        for (const auto &e : Urbs())
            if (e.function == URB_FUNCTION_CLASS_INTERFACE || e.function == URB_FUNCTION_VENDOR_INTERFACE)
                out.push_back(e);
        return out;
    }
    void DestroyAll()
    {
        units.clear();
        if (hal)
            hal->Release();
        hal = nullptr;
    }

    EntityHal *hal = nullptr;
    UnitContext context{};
    HeldUnits units;
};

TEST_F(UacEntityTest, Uac1RequestsAddressRemapAndSaturate)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    // An eight-channel unit 9: volume on every channel, bass on the master only, a vendor switch.
    for (UCHAR ch = 0; ch <= 8; ++ch)
        headset->Control(9, 2, ch) = {2, -0x0C00, -0x8000, 0x7FFF, 0x0100};
    headset->Control(9, 3, 0) = {1, 0, -128, 127, 1};
    headset->Entity(9).memory = {0x12, 0x00, 0x00, 0x04}; // vendor bitmap of the master: bit 10 (0x8B)
    headset->Control(9, 0x8B, 0) = {1, 0, 0, 1, 1};
    Plug(headset, UacVersion::Uac1);
    auto *unit = Unit<CUacFeatureUnit>(Uac1Feature(9, 1, {0x06, 2, 2, 2, 2, 2, 2, 2, 2}));

    ULONG count = 0;
    ASSERT_EQ(unit->GetLevelChannels(FU_VOLUME, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 8u);
    ASSERT_EQ(unit->GetLevelChannels(FU_BASS, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u); // master only
    EXPECT_EQ(unit->GetLevelChannels(FU_TREBLE, &count), STATUS_UNSUCCESSFUL);
    // Nodes in chain order: volume, bass, the effect switch.
    EXPECT_EQ(Kinds(), (std::vector<ULONG>{NODE_KIND_LEVEL, NODE_KIND_LEVEL_9, NODE_KIND_INFO}));

    bus->ClearLog();
    ASSERT_EQ(unit->SetLevel(FU_VOLUME, 0, LONG(0x80000000u)), STATUS_SUCCESS);
    ASSERT_EQ(unit->SetLevel(FU_VOLUME, 4, dB(-130)), STATUS_SUCCESS);
    ASSERT_EQ(unit->SetLevel(FU_VOLUME, 6, dB(130)), STATUS_SUCCESS);
    ASSERT_EQ(unit->SetLevel(FU_BASS, 0, dB(-40)), STATUS_SUCCESS);
    ASSERT_EQ(unit->SetSwitch(0x8B, 0, 1), STATUS_SUCCESS);
    const auto urbs = ClassUrbs();
    ASSERT_EQ(urbs.size(), 5u);
    struct Expected
    {
        USHORT function, wValue;
        Bytes data;
    } expected[] = {
        {URB_FUNCTION_CLASS_INTERFACE, 0x0201, {0x00, 0x80}}, // silence: -0x8000
        {URB_FUNCTION_CLASS_INTERFACE, 0x0207, {0x00, 0x80}}, // channel 5 goes out as 7, saturated
        {URB_FUNCTION_CLASS_INTERFACE, 0x0205, {0xFF, 0x7F}}, // channel 7 as 5, saturated high
        {URB_FUNCTION_CLASS_INTERFACE, 0x0300, {0x80}},       // -40 dB bass is below -32 dB
        {URB_FUNCTION_VENDOR_INTERFACE, 0x8B00, {0x01}},      // a vendor selector
    };
    for (size_t i = 0; i < 5; ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(urbs[i].function, expected[i].function);
        EXPECT_EQ(urbs[i].bRequest, UAC1_SET_CUR);
        EXPECT_EQ(urbs[i].wValue, expected[i].wValue);
        EXPECT_EQ(urbs[i].wIndex, 0x0900);
        EXPECT_EQ(urbs[i].data, expected[i].data);
    }
    // The device's 0x8000 reads back as -128 dB, which goes out as 0x8000 again.
    LONG level = 0;
    ASSERT_EQ(unit->GetLevel(FU_VOLUME, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(ULONG(level), 0xFF800000u);
    EXPECT_EQ(UacLevelToWire(level, 2), -0x8000);
    EXPECT_EQ(unit->GetLevel(FU_VOLUME, 8, &level), STATUS_INVALID_PARAMETER);

    // A short answer writes nothing.
    usbsim::RequestMatch getCur;
    getCur.bRequest = UAC1_GET_CUR;
    getCur.wValue = 0x0201;
    const int fault = bus->InjectFault(kPort, getCur, {usbsim::FaultKind::Short, 1});
    level = 12345;
    EXPECT_EQ(unit->GetLevel(FU_VOLUME, 0, &level), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(level, 12345);
    bus->ClearFault(fault);
}

TEST_F(UacEntityTest, Uac1FeatureUnitStridesAndBadSizes)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    headset->Control(9, 1, 0) = {1, 0, 0, 1, 1};
    headset->Control(9, 2, 1) = {2, 0, -0x3C00, 0, 0x100};
    headset->Control(9, 2, 2) = {2, 0, -0x3C00, 0, 0x100};
    Plug(headset, UacVersion::Uac1);
    // bControlSize 0 would divide the channel count: refused, no node made.
    Unit<CUacFeatureUnit>(Uac1Feature(9, 0, {}), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hal->GetFilterCount(), 0u);
    // Three bytes per channel keep their stride; two of each are read.
    auto *unit = Unit<CUacFeatureUnit>(Uac1Feature(9, 3, {0x010001, 0x0002, 0x0002}));
    ULONG count = 0;
    ASSERT_EQ(unit->GetLevelChannels(FU_VOLUME, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    EXPECT_FALSE(unit->HasControl(17, 0)); // bit 16 lies in the third byte
    EXPECT_EQ(Kinds(), (std::vector<ULONG>{NODE_KIND_MUTE, NODE_KIND_LEVEL}));
    // The volume node took the device's range and started from its values.
    IAudioNode *node = nullptr;
    ASSERT_EQ(hal->GetFilter(1, &node), STATUS_SUCCESS);
    auto *volume = QueryAs<ILevelValue>(node, IID_ILevelValue);
    ASSERT_TRUE(volume);
    LONG a = 0, b = 0, c = 0;
    ASSERT_EQ(volume->GetRange(&a, &b, &c), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<LONG>({a, b, c}), std::vector<LONG>({0, dB(-60), dB(1)}));
    volume->Release();
    // The chain: the volume node is fed by the mute node.
    ULONG sources[1] = {}, n = 1;
    ASSERT_EQ(node->GetSources(&n, sources), STATUS_SUCCESS);
    EXPECT_EQ(sources[0], 0u);
}

TEST_F(UacEntityTest, VendorControlsComeOnlyFromAWholeExtensionBlock)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    headset->Control(9, 0x8B, 0) = {1, 0, 0, 1, 1};
    headset->Control(9, 0x8C, 0) = {1, 0, 0, 1, 1};
    headset->Entity(9).memory = {0x02, 0x00, 0x00, 0x0C}; // bits 10 and 11: 0x8B, 0x8C
    Plug(headset, UacVersion::Uac1);
    Unit<CUacFeatureUnit>(Uac1Feature(9, 1, {0x00}));
    EXPECT_EQ(Kinds(), (std::vector<ULONG>{NODE_KIND_INFO, NODE_KIND_INFO}));
    const auto urbs = ClassUrbs();
    ASSERT_FALSE(urbs.empty());
    EXPECT_EQ(urbs[0].bRequest, UAC1_GET_MEM);
    EXPECT_EQ(urbs[0].wValue, UAC_MEMORY_VALUE);

    // A block whose size names fewer bytes than the bitmap needs gives no vendor controls; a stalled
    // read neither; the unit itself succeeds both times.
    headset->Entity(9).memory = {0x01, 0x00, 0x00, 0x0C};
    auto *cut = Unit<CUacFeatureUnit>(Uac1Feature(9, 1, {0x00}));
    EXPECT_FALSE(cut->HasControl(0x8B, 0));
    headset->Entity(9).memory.clear();
    auto *stalled = Unit<CUacFeatureUnit>(Uac1Feature(9, 1, {0x00}));
    EXPECT_FALSE(stalled->HasControl(0x8B, 0));
}

TEST_F(UacEntityTest, Uac2ControlsClockAndAlternateSettings)
{
    auto headset = usbsim::VirtualDevice::Uac2();
    headset->Control(9, 2, 1) = {2, -0x0C00, -0x3C00, 0, 0x100};
    headset->Control(9, 2, 2) = {2, -0x0C00, -0x3C00, 0, 0x100};
    headset->validAlternates[1] = 0x05;
    Plug(headset, UacVersion::Uac2);
    // Only the read-only bit of volume on the channels: still a volume node, a soft one.
    auto *unit = Unit<CUacFeatureUnit>(Uac2Feature(9, {0, 0x4, 0x4}));
    EXPECT_EQ(Kinds(), (std::vector<ULONG>{NODE_KIND_LEVEL}));
    IAudioNode *node = nullptr;
    ASSERT_EQ(hal->GetFilter(0, &node), STATUS_SUCCESS);
    auto *gate = QueryAs<IProcessingGate>(node, IID_IProcessingGate);
    EXPECT_TRUE(gate);
    if (gate)
        gate->Release();
    LONG maximum = 0, minimum = 0, step = 0;
    ASSERT_EQ(unit->GetLevelRange(FU_VOLUME, &maximum, &minimum, &step), STATUS_SUCCESS);
    EXPECT_EQ(minimum, dB(-60));
    EXPECT_EQ(step, dB(1));

    // The clock: three discrete sub-ranges, read in two steps, give three rates.
    bus->ClearLog();
    auto *clock = Unit<CUacClockSource>({8, 0x24, 0x0A, usbsim::kUac2Clock, 3, 7, 0, 0});
    ULONG rates[CLOCK_MAX_RATES], count = CLOCK_MAX_RATES;
    ASSERT_EQ(clock->GetClockRates(&count, rates), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(rates, rates + count), (std::vector<ULONG>{44100, 48000, 96000}));
    std::vector<uint16_t> lengths;
    for (const auto &e : ClassUrbs())
        if (e.bRequest == UAC2_RANGE)
            lengths.push_back(e.wLength);
    EXPECT_EQ(lengths, (std::vector<uint16_t>{14, 38, 14, 38})); // the node's initialisation, then ours
    ULONG selected = 0;
    ASSERT_EQ(node->GetKind(), ULONG(NODE_KIND_LEVEL));
    // A continuous range takes the table rates on its grid.
    headset->Control(usbsim::kUac2Clock, 1, 0).ranges = {{8000, 48000, 8000}};
    count = CLOCK_MAX_RATES;
    ASSERT_EQ(clock->GetClockRates(&count, rates), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(rates, rates + count), (std::vector<ULONG>{8000, 16000, 32000, 48000}));
    EXPECT_EQ(clock->SetClockRate(44100), STATUS_UNSUCCESSFUL); // the device refuses it now
    ASSERT_EQ(clock->GetClockRate(&selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, 48000u);

    // Valid alternate settings: bControlSize 1, map 0x05.
    for (auto [alternate, valid] : {std::pair{0, true}, {2, true}, {1, false}, {8, false}, {9, false}})
        EXPECT_EQ(bool(UacIsAlternateSettingValid(layer.get(), 1, UCHAR(alternate))), valid) << alternate;
    usbsim::RequestMatch validity;
    validity.wValue = UAC2_VALID_ALTERNATES;
    validity.wIndex = 1;
    auto answer = [&](Bytes b)
    {
        return headset->AddHandler(validity, [b](usbsim::VirtualDevice &, const usbsim::ControlRequest &)
                                   { return usbsim::ControlReply::Data(b); });
    };
    int h = answer({0x02, 0x05, 0x01});
    EXPECT_TRUE(UacIsAlternateSettingValid(layer.get(), 1, 8));
    headset->RemoveHandler(h);
    h = answer({0x02, 0x05}); // the map was cut: nothing but 0 is valid
    EXPECT_FALSE(UacIsAlternateSettingValid(layer.get(), 1, 2));
    EXPECT_TRUE(UacIsAlternateSettingValid(layer.get(), 1, 0));
    headset->RemoveHandler(h);
}

TEST_F(UacEntityTest, SelectorAndMixerUnits)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    headset->Control(7, 0, 0) = {1, 2, 1, 3, 1};
    Plug(headset, UacVersion::Uac1);
    auto *selector = Unit<CUacSelectorUnit>({9, 0x24, 0x05, 7, 3, 4, 5, 6, 0});
    ULONG input = 0;
    ASSERT_EQ(selector->GetInput(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 2u);
    EXPECT_EQ(selector->SetInput(4), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(selector->SetInput(3), STATUS_SUCCESS);
    EXPECT_EQ(ClassUrbs().back().data, Bytes{3});
    auto *mixer = Unit<CUacMixerUnit>({13, 0x24, 0x04, 8, 2, 1, 4, 2, 3, 0, 0, 0, 0});
    ULONG values = 9;
    ASSERT_EQ(mixer->GetMixerValueCount(&values), STATUS_SUCCESS);
    EXPECT_EQ(values, 0u);
    EXPECT_EQ(Kinds(), (std::vector<ULONG>{NODE_KIND_SELECTOR, NODE_KIND_MIXER}));
    ULONG sources[3] = {}, n = 3;
    ASSERT_EQ(mixer->GetSources(&n, sources), STATUS_SUCCESS); // the unit's own: descriptor IDs
    EXPECT_EQ(std::vector<ULONG>(sources, sources + n), (std::vector<ULONG>{1, 4}));
    EXPECT_EQ(mixer->GetId(), 8u);
    EXPECT_EQ(mixer->GetKind(), ULONG(UAC_MIXER_UNIT));
}

TEST_F(UacEntityTest, EveryAllocationOfAnEntityFailedInTurn)
{
    auto headset = usbsim::VirtualDevice::Uac2();
    Plug(headset, UacVersion::Uac2);
    const Bytes feature = Uac2Feature(usbsim::kUac2PlaybackFu, {0xF, 0xC, 0xC});
    const Bytes clock = {8, 0x24, 0x0A, usbsim::kUac2Clock, 3, 7, 0, 0};
    const Bytes *descriptors[] = {&feature, &clock};
    for (size_t i = 0; i < 2; ++i)
        for (unsigned n = 1;; ++n)
        {
            IUsbAudioUnit *unit = i == 0 ? static_cast<IUsbAudioUnit *>(new (NonPagedPool, PoolTag::UA10)
                                                                            CUacFeatureUnit(nullptr, 0))
                                         : new (NonPagedPool, PoolTag::UA10) CUacClockSource(nullptr, 0);
            unit->AddRef();
            const size_t before = sim::pool::InjectedFailures();
            sim::FailAllocation(n);
            const NTSTATUS status =
                unit->InitUnit(descriptors[i]->data(), ULONG(descriptors[i]->size()), context);
            const bool failed = sim::pool::InjectedFailures() != before;
            sim::FailAllocation(0);
            unit->DetachNodes();
            unit->Release();
            if (!failed)
            {
                EXPECT_EQ(status, STATUS_SUCCESS);
                break;
            }
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "init " << i << " allocation " << n;
            ASSERT_LT(n, 200u);
        }
}

} // namespace

namespace
{

// A settings store the terminals write to, keyed by the value's name.
std::map<std::string, ULONG> &Store()
{
    static std::map<std::string, ULONG> store;
    return store;
}

NTSTATUS StoreAccess(PDEVICE_OBJECT, ULONG operation, PVOID buffer, ULONG size, PCWSTR name)
{
    std::string key;
    for (PCWSTR c = name; *c; ++c)
        key += char(*c);
    if (operation == NODE_SETTING_WRITE)
    {
        ULONG value = 0;
        std::memcpy(&value, buffer, size < 4 ? size : 4);
        Store()[key] = value;
        return STATUS_SUCCESS;
    }
    auto it = Store().find(key);
    if (it == Store().end())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    std::memcpy(buffer, &it->second, size < 4 ? size : 4);
    return STATUS_SUCCESS;
}

// The descriptor of entity `id` in the headset's configuration.
Bytes EntityDescriptor(const usbsim::VirtualDevice &device, UCHAR subtype, UCHAR id)
{
    const Bytes &config = const_cast<usbsim::VirtualDevice &>(device).Descriptors().configuration;
    for (unsigned n = 0;; ++n)
    {
        const long at = usbsim::FindDescriptor(config, 0x24, subtype, n);
        if (at < 0)
            return {};
        if (config[size_t(at) + 3] == id)
            return Bytes(config.begin() + at, config.begin() + at + config[size_t(at)]);
    }
}

TEST_F(UacEntityTest, JackPresenceRefreshesOnlyWhatCanBeSensed)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    // A detecting stereo jack, a detecting rear pair, and one that cannot sense (bits 8-11 set).
    headset->jacks[usbsim::kUac1PlaybackOt] = {{0x3, 0x00011000}, {0xC, 0x00012000}, {0x30, 0x00010100}};
    headset->presenceMask[usbsim::kUac1PlaybackOt] = 0x3;
    Plug(headset, UacVersion::Uac1);
    auto *terminal =
        Unit<CUacTerminal>(EntityDescriptor(*headset, UAC_OUTPUT_TERMINAL, usbsim::kUac1PlaybackOt));
    ULONG count = 0;
    ASSERT_EQ(terminal->GetTerminalJackCount(0, &count), STATUS_SUCCESS);
    ASSERT_EQ(count, 3u);
    JackRecord jacks[3] = {};
    ASSERT_EQ(terminal->GetTerminalJacks(0, sizeof jacks, jacks), STATUS_SUCCESS);
    EXPECT_EQ(jacks[0].IsConnected, 1u);
    EXPECT_EQ(jacks[1].IsConnected, 0u);
    EXPECT_EQ(jacks[2].IsConnected, 1u);
    EXPECT_EQ(jacks[0].Color, 0x000000u); // colour index 1
    EXPECT_EQ(jacks[1].Color, 0x808080u);
    EXPECT_EQ(jacks[0].ConnectionType, 1u);

    // A presence request that fails disconnects only the jacks that sense their plug.
    usbsim::RequestMatch presence;
    presence.wValue = UAC_JACK_PRESENCE;
    const int fault = bus->InjectFault(kPort, presence, {usbsim::FaultKind::Stall});
    ASSERT_EQ(terminal->GetTerminalJacks(0, sizeof jacks, jacks), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>({jacks[0].IsConnected, jacks[1].IsConnected, jacks[2].IsConnected}),
              std::vector<ULONG>({0, 0, 1}));
    bus->ClearFault(fault);

    // A buffer one byte short of the records is refused untouched.
    UCHAR small[3 * sizeof(JackRecord) - 1];
    std::memset(small, 0xAB, sizeof small);
    EXPECT_EQ(terminal->GetTerminalJacks(0, sizeof small, reinterpret_cast<JackRecord *>(small)),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(small[0], 0xAB);

    // The node took the records.
    IAudioNode *node = nullptr;
    ASSERT_EQ(hal->GetFilter(0, &node), STATUS_SUCCESS);
    EXPECT_EQ(node->GetKind(), ULONG(NODE_KIND_OUTPUT_TERMINAL));
    EXPECT_EQ(terminal->GetKind(), ULONG(UAC_OUTPUT_TERMINAL));

    // Refreshing the pin takes the connections the device reports now.
    headset->presenceMask[usbsim::kUac1PlaybackOt] = 0xC;
    ASSERT_EQ(node->Refresh(), STATUS_SUCCESS);
    ASSERT_EQ(static_cast<CUnitTerminalNode *>(node)->GetJacks(sizeof jacks, jacks), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>({jacks[0].IsConnected, jacks[1].IsConnected, jacks[2].IsConnected}),
              std::vector<ULONG>({0, 1, 1}));
    // Only a terminal with an input-terminal node refreshes one.
    ULONG id = 0xFFFF;
    EXPECT_EQ(terminal->RefreshInputNode(&id), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(id, 0xFFFFu);
    auto *input = Unit<CUacTerminal>(EntityDescriptor(*headset, UAC_INPUT_TERMINAL, usbsim::kUac1MicIt));
    ASSERT_EQ(input->RefreshInputNode(&id), STATUS_SUCCESS);
    EXPECT_EQ(id, 1u); // the second node of the device
}

TEST_F(UacEntityTest, OutputTypesAreReadOneByOneAndTheDeviceGetsItsSelectionBack)
{
    Store().clear();
    auto headset = usbsim::VirtualDevice::Uac1();
    const UCHAR ot = usbsim::kUac1PlaybackOt;
    headset->outputTypes[ot] = {0x0301, 0x0302, 0x0402};
    headset->currentOutputType[ot] = 0x0402;
    Plug(headset, UacVersion::Uac1);
    context.Settings = {nullptr, StoreAccess};
    Store()["SetJackConnect"] = 1;
    bus->ClearLog();
    auto *terminal = Unit<CUacTerminal>(EntityDescriptor(*headset, UAC_OUTPUT_TERMINAL, ot));
    ASSERT_EQ(terminal->TypeCount(), 3u);
    // Per type: select it, read its jacks (count, then table); then the device's own, then the current.
    std::vector<std::string> seen;
    for (const auto &e : ClassUrbs())
    {
        if (e.wValue == UAC_OUTPUT_TYPE && !(e.bmRequestType & 0x80))
            seen.push_back("select " + std::to_string(e.data[0] | e.data[1] << 8));
        else if (e.wValue == UAC_JACK_TABLE && (seen.empty() || seen.back() != "jacks"))
            seen.push_back("jacks"); // the count, then the table
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"select 769", "jacks", "select 770", "jacks", "select 1026",
                                              "jacks", "select 1026", "select 770"}));
    EXPECT_EQ(headset->currentOutputType[ot], 0x0302); // the terminal's own code, 2, is current
    // Three pins and one jack-type selector.
    EXPECT_EQ(Kinds(), (std::vector<ULONG>{NODE_KIND_OUTPUT_TERMINAL, NODE_KIND_OUTPUT_TERMINAL,
                                           NODE_KIND_OUTPUT_TERMINAL, NODE_KIND_STATE}));
    // A type that is not selected reports what the user set.
    JackRecord jacks[4] = {};
    ASSERT_EQ(terminal->GetTerminalJacks(0, sizeof jacks, jacks), STATUS_SUCCESS);
    EXPECT_EQ(jacks[0].IsConnected, 1u);
    Store()["SetJackConnect"] = 0;
    ASSERT_EQ(terminal->GetTerminalJacks(2, sizeof jacks, jacks), STATUS_SUCCESS);
    EXPECT_EQ(jacks[0].IsConnected, 0u);

    // The device moving to the headset type is adopted and persisted.
    headset->currentOutputType[ot] = 0x0402;
    ASSERT_EQ(terminal->RefreshOutputType(), STATUS_SUCCESS);
    EXPECT_EQ(Store()["UACUnit03"], 14u);
    EXPECT_EQ(UacOutputTerminalCode(0x0401), 13u);
    EXPECT_EQ(UacInputTerminalCode(0x0402), 14u);

    // Linked, the selector stands between what feeds the terminal and its first pin, where a stream's
    // walk from the pins meets it.
    IAudioNode *pin = nullptr, *selector = nullptr;
    ASSERT_EQ(hal->GetFilter(0, &pin), STATUS_SUCCESS);
    ASSERT_EQ(hal->GetFilter(3, &selector), STATUS_SUCCESS);
    const ULONG feed = 40;
    ASSERT_EQ(terminal->LinkSources(1, &feed), STATUS_SUCCESS);
    ULONG source = 0, count = 1;
    ASSERT_EQ(pin->GetSources(&count, &source), STATUS_SUCCESS);
    EXPECT_EQ(source, selector->GetId());
    count = 1;
    ASSERT_EQ(selector->GetSources(&count, &source), STATUS_SUCCESS);
    EXPECT_EQ(source, feed);
}

// The two chip families' output terminal reads the same types but makes one pin, for jack index 0, with
// the terminal's own code, and no selector.
TEST_F(UacEntityTest, TheChipFamiliesOutputTerminalMakesOnePinWhateverTheTypes)
{
    Store().clear();
    auto headset = usbsim::VirtualDevice::Uac1();
    const UCHAR ot = usbsim::kUac1PlaybackOt;
    headset->outputTypes[ot] = {0x0301, 0x0302, 0x0402};
    Plug(headset, UacVersion::Uac1);
    context.Settings = {nullptr, StoreAccess};
    auto *terminal = Unit<COutputTerminalVariant>(EntityDescriptor(*headset, UAC_OUTPUT_TERMINAL, ot),
                                                  STATUS_SUCCESS, PoolTag::Quib);
    ASSERT_EQ(terminal->TypeCount(), 3u);
    EXPECT_EQ(Kinds(), (std::vector<ULONG>{NODE_KIND_OUTPUT_TERMINAL}));
    IAudioNode *pin = nullptr;
    ASSERT_EQ(hal->GetFilter(0, &pin), STATUS_SUCCESS);
    ITerminalInfo *info = QueryAs<ITerminalInfo>(pin, IID_ITerminalInfo);
    ASSERT_NE(info, nullptr);
    ULONG type = 0;
    EXPECT_EQ(info->GetSelectedType(&type), STATUS_SUCCESS);
    EXPECT_EQ(type, 2u); // headphones, the descriptor's own type
    info->Release();
    const ULONG feed = 40;
    ASSERT_EQ(terminal->LinkSources(1, &feed), STATUS_SUCCESS);
    ULONG source = 0, count = 1;
    ASSERT_EQ(pin->GetSources(&count, &source), STATUS_SUCCESS);
    EXPECT_EQ(source, feed);
}

// The device's streaming side, answering with a set status.
class FakeSink : public IStreamConfigSink, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    explicit FakeSink(PUNKNOWN outer) : CUnknownBase(outer) {}
    NTSTATUS TakeChannelConfig(ULONG, const ULONG *, WAVEFORMATEXTENSIBLE *format) override
    {
        format->Format.nChannels = 2;
        return result;
    }
    NTSTATUS result = STATUS_SUCCESS;
};

NTSTATUS FakeSink::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<IStreamConfigSink *>(this),
                           {{IID_IStreamConfigSink, static_cast<IStreamConfigSink *>(this)}});
}

TEST_F(UacEntityTest, AJackTypeChangeThatFailsSelectsTheOldTypeAgain)
{
    Store().clear();
    auto headset = usbsim::VirtualDevice::Uac1();
    const UCHAR ot = usbsim::kUac1PlaybackOt;
    headset->outputTypes[ot] = {0x0301, 0x0302, 0x0402};
    headset->currentOutputType[ot] = 0x0302;
    Plug(headset, UacVersion::Uac1);
    auto *sink = new (NonPagedPool, PoolTag::UA10) FakeSink(nullptr);
    sink->AddRef();
    context.Settings = {nullptr, StoreAccess};
    context.StreamSink = sink;
    Unit<CUacTerminal>(EntityDescriptor(*headset, UAC_OUTPUT_TERMINAL, ot));
    IAudioNode *node = nullptr;
    ASSERT_EQ(hal->GetFilter(3, &node), STATUS_SUCCESS);
    INodeState *state = QueryAs<INodeState>(node, IID_INodeState);
    ASSERT_TRUE(state);
    ULONG value = 0;
    ASSERT_EQ(state->GetValue(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);

    sink->result = STATUS_UNSUCCESSFUL;
    bus->ClearLog();
    EXPECT_EQ(state->Select(14), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(state->GetValue(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 2u);
    EXPECT_EQ(headset->currentOutputType[ot], 0x0302); // selected, then given back
    EXPECT_EQ(ClassUrbs().size(), 2u);
    EXPECT_EQ(Store().count("Unit03_"), 0u);

    sink->result = STATUS_SUCCESS;
    ASSERT_EQ(state->Select(14), STATUS_SUCCESS);
    EXPECT_EQ(headset->currentOutputType[ot], 0x0402);
    EXPECT_EQ(Store()["Unit03_"], 14u);
    EXPECT_EQ(state->Select(7), STATUS_INVALID_PARAMETER);
    state->Release();
    DestroyAll();
    sink->Release();
}

TEST_F(UacEntityTest, ANodeThatFailsLeavesNoNumberForAnotherToRepeat)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    headset->Control(9, 1, 0) = {1, 0, 0, 1, 1};
    headset->Control(9, 2, 0) = {2, 0, -0x3C00, 0, 0x100};
    headset->Control(9, 3, 0) = {1, 0, -48, 48, 1};
    Plug(headset, UacVersion::Uac1);
    // The volume node cannot read its range: the unit fails after its mute node joined.
    usbsim::RequestMatch maximum;
    maximum.bRequest = UAC1_GET_MAX;
    maximum.wValue = 0x0200;
    const int fault = bus->InjectFault(kPort, maximum, {usbsim::FaultKind::Stall});
    Unit<CUacFeatureUnit>(Uac1Feature(9, 1, {0x07}), STATUS_UNSUCCESSFUL);
    bus->ClearFault(fault);
    Unit<CUacFeatureUnit>(Uac1Feature(9, 1, {0x07}));
    // Every node's number is its place in the device's list: none repeats.
    for (ULONG i = 0; i < hal->GetFilterCount(); ++i)
    {
        IAudioNode *node = nullptr;
        ASSERT_EQ(hal->GetFilter(i, &node), STATUS_SUCCESS);
        EXPECT_EQ(node->GetId(), i);
    }
    EXPECT_EQ(hal->GetFilterCount(), 4u);
}

// A device that claims far more entries than it sends: each list request asks for the capped count
// only (an uncapped one would not fit wLength), and only the entries that arrived are used.
TEST_F(UacEntityTest, DeviceCountsAreCappedAndOnlyAnsweredEntriesAreRead)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    const UCHAR ot = usbsim::kUac1PlaybackOt;
    headset->jacks[ot] = {{0x3, 0x00011000}};
    Plug(headset, UacVersion::Uac1);
    auto answer = [&](usbsim::RequestMatch match, Bytes reply)
    {
        return headset->AddHandler(match,
                                   [reply](usbsim::VirtualDevice &, const usbsim::ControlRequest &r)
                                   {
                                       Bytes b = reply;
                                       if (b.size() > r.wLength)
                                           b.resize(r.wLength);
                                       return usbsim::ControlReply::Data(b);
                                   });
    };
    // 200 jacks claimed, two sent.
    usbsim::RequestMatch jackTable;
    jackTable.in = true;
    jackTable.wValue = UAC_JACK_TABLE;
    Bytes jacks = {200};
    for (uint32_t mapping : {0x3u, 0xCu})
        for (uint32_t word : {mapping, 0x00011000u})
            for (int k = 0; k < 4; ++k)
                jacks.push_back(UCHAR(word >> (8 * k)));
    int h = answer(jackTable, jacks);
    auto *terminal = Unit<CUacTerminal>(EntityDescriptor(*headset, UAC_OUTPUT_TERMINAL, ot));
    std::vector<uint16_t> lengths;
    for (const auto &e : ClassUrbs())
        if (e.wValue == UAC_JACK_TABLE)
            lengths.push_back(e.wLength);
    EXPECT_EQ(lengths, (std::vector<uint16_t>{9, 1 + 32 * 8}));
    ULONG count = 0;
    ASSERT_EQ(terminal->GetTerminalJackCount(0, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 2u);
    headset->RemoveHandler(h);

    // 0xFFFF output types claimed (× 6 + 2 would wrap wLength), three sent.
    bus->ClearLog();
    usbsim::RequestMatch typeList;
    typeList.in = true;
    typeList.bRequest = UAC1_VENDOR_LIST;
    typeList.wValue = UAC_OUTPUT_TYPE;
    Bytes types = {0xFF, 0xFF};
    for (USHORT code : {0x0301, 0x0302, 0x0402})
        types.insert(types.end(), {UCHAR(code), UCHAR(code >> 8), 0, 0, 0, 0});
    h = answer(typeList, types);
    terminal = Unit<CUacTerminal>(EntityDescriptor(*headset, UAC_OUTPUT_TERMINAL, ot));
    lengths.clear();
    for (const auto &e : ClassUrbs())
        if (e.bRequest == UAC1_VENDOR_LIST)
            lengths.push_back(e.wLength);
    EXPECT_EQ(lengths, (std::vector<uint16_t>{2, 2 + 32 * 6}));
    EXPECT_EQ(terminal->TypeCount(), 3u);
    headset->RemoveHandler(h);
}

// The same for a clock source claiming 0xFFFF sub-ranges (× 12 + 2 would wrap) and sending two.
TEST_F(UacEntityTest, ClockSubRangesAreCappedAndOnlyAnsweredOnesAreRead)
{
    auto headset = usbsim::VirtualDevice::Uac2();
    Plug(headset, UacVersion::Uac2);
    usbsim::RequestMatch range;
    range.in = true;
    range.bRequest = UAC2_RANGE;
    range.wValue = 0x0100;
    Bytes ranges = {0xFF, 0xFF};
    for (ULONG rate : {44100u, 96000u})
        for (ULONG word : {rate, rate, 0u})
            for (int k = 0; k < 4; ++k)
                ranges.push_back(UCHAR(word >> (8 * k)));
    headset->AddHandler(range,
                        [ranges](usbsim::VirtualDevice &, const usbsim::ControlRequest &r)
                        {
                            Bytes b = ranges;
                            if (b.size() > r.wLength)
                                b.resize(r.wLength);
                            return usbsim::ControlReply::Data(b);
                        });
    auto *clock = Unit<CUacClockSource>({8, 0x24, 0x0A, usbsim::kUac2Clock, 3, 7, 0, 0});
    bus->ClearLog();
    ULONG rates[CLOCK_MAX_RATES], count = CLOCK_MAX_RATES;
    ASSERT_EQ(clock->GetClockRates(&count, rates), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(rates, rates + count), (std::vector<ULONG>{44100, 96000}));
    std::vector<uint16_t> lengths;
    for (const auto &e : ClassUrbs())
        if (e.bRequest == UAC2_RANGE)
            lengths.push_back(e.wLength);
    EXPECT_EQ(lengths, (std::vector<uint16_t>{14, 2 + 64 * 12}));
}

} // namespace
