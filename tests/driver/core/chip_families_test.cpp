// The chip families' layouts walked by the USB audio function model: the class headset with its
// feature units renumbered to each family's unit IDs, so the walk picks the family's class for each
// unit. Checked against the class table: which class each unit became, its identity, the node
// numbers and links, every allocation of the walk failed in turn, and refresh rounds that must leave
// the device and the stored values where they are.
#include <gtest/gtest.h>

#include "driver/base/pool_memory.h"
#include "driver/base/usb_vendor_ids.h"
#include "driver/core/chip_level_units.h"
#include "driver/core/chip_units.h"
#include "driver/core/usb_audio_function.h"
#include "driver/effects/effect_nodes.h"
#include "chip_fixture.h"
#include "support/usb_audio_walk_harness.h"

#include <array>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <typeinfo>
#include <vector>

using usbsim::Bytes;

namespace
{

constexpr uint8_t kCs = 0x24;
// The sanitizer builds fail every third allocation of a walk, to keep their run short.
#if defined(__SANITIZE_ADDRESS__)
constexpr unsigned kAllocationStride = 3;
#else
constexpr unsigned kAllocationStride = 1;
#endif

// The class headset with its playback feature unit replaced by a chain of feature units with these
// IDs (the first fed by the input terminal, the headphone terminal by the last), each with mute and
// volume on the master channel and volume on both channels.
usbsim::DescriptorSet ChainHeadset(const usbsim::Uac1Options &options, const std::vector<uint8_t> &ids)
{
    usbsim::DescriptorSet set = usbsim::BuildUac1Headset(options);
    Bytes &c = set.configuration;
    const long header = usbsim::FindDescriptor(c, kCs, 0x01);
    long at = usbsim::FindDescriptor(c, kCs, 0x06);
    usbsim::Set8(c, size_t(at) + 3, ids[0]);
    at += c[size_t(at)];
    for (size_t i = 1; i < ids.size(); ++i)
    {
        const Bytes unit = {10, kCs, 0x06, ids[i], ids[i - 1], 1, 0x03, 0x02, 0x02, 0};
        usbsim::Insert(c, size_t(at), unit);
        at += long(unit.size());
    }
    usbsim::Set8(c, size_t(usbsim::FindDescriptor(c, kCs, 0x03)) + 7, ids.back());
    usbsim::Set16(c, size_t(header) + 5,
                  uint16_t(usbsim::Get16(c, size_t(header) + 5) + 10 * (ids.size() - 1)));
    usbsim::FixTotalLength(c);
    return set;
}

class WalkHal : public CAudioHal
{
public:
    WalkHal() : CAudioHal(nullptr) {}
    NTSTATUS StartHardware() override { return STATUS_SUCCESS; }
    // The chip family's output terminal routes the chip through the device's registers.
    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID *object) override
    {
        if (!IsEqualId(iid, IID_IChipRegisters))
            return CAudioHal::NonDelegatingQueryInterface(iid, object);
        m_Registers.AddRef();
        *object = static_cast<IChipRegisters *>(&m_Registers);
        return STATUS_SUCCESS;
    }

private:
    chip_bench::RecordingRegisters m_Registers;
};

struct Family
{
    const char *name;
    UsbAudioDeviceClass deviceClass;
    PFN_CREATE_UNIT create;
};
const Family kMirk = {"mirk", UsbAudioDeviceClass::Mirk, CreateMirkUnit};
const Family kDova = {"dova", UsbAudioDeviceClass::Dova, CreateDovaUnit};
const Family kTesh = {"tesh", UsbAudioDeviceClass::Tesh, CreateTeshUnit};
const Family kGrue = {"grue", UsbAudioDeviceClass::Grue, CreateGrueUnit};
const Family kPlon = {"plon", UsbAudioDeviceClass::Plon, CreatePlonUnit};

// A family's chained headset at a vendor/product pair.
struct Layout
{
    const Family &family;
    uint16_t vendor, product;
    std::vector<uint8_t> ids;
    bool speaker = false; // the playback terminal a speaker (0x0301) rather than headphones
    std::string Name() const { return std::string(family.name) + " " + std::to_string(vendor); }
};

// The exact class of a unit, by name.
std::string ClassOf(IUsbAudioUnit *unit)
{
    static const std::vector<std::pair<const std::type_info *, const char *>> kNames = {
        {&typeid(CUacFeatureUnit), "plain"},
        {&typeid(CUacSelectorUnit), "plain selector"},
        {&typeid(CUnitVolumeCurve), "CUnitVolumeCurve"},
        {&typeid(CUnitPlainMute), "CUnitPlainMute"},
        {&typeid(CUnitScaledA), "CUnitScaledA"},
        {&typeid(CUnitScaledAHwMute), "CUnitScaledAHwMute"},
        {&typeid(CUnitScaledB), "CUnitScaledB"},
        {&typeid(CUnitScaledBNodes), "CUnitScaledBNodes"},
        {&typeid(CUnitScaledBLed), "CUnitScaledBLed"},
        {&typeid(CSelectorInputMap), "CSelectorInputMap"},
        {&typeid(CUnitCurve2), "CUnitCurve2"},
        {&typeid(CUnitLinear6), "CUnitLinear6"},
        {&typeid(CUnitLinear65), "CUnitLinear65"},
        {&typeid(CUnitStep192), "CUnitStep192"},
        {&typeid(CUnitOffset135), "CUnitOffset135"},
        {&typeid(CUnitPlainLevel), "CUnitPlainLevel"},
        {&typeid(CUnitEffects), "CUnitEffects"},
        {&typeid(CUacTerminal), "plain terminal"},
        {&typeid(CInputTerminalVariant), "CInputTerminalVariant"},
        {&typeid(COutputTerminalVariant), "COutputTerminalVariant"},
        {&typeid(CJackOutputTerminal), "CJackOutputTerminal"},
        {&typeid(CJackOutputTerminal2), "CJackOutputTerminal2"},
    };
    if (!unit)
        return "none";
    for (const auto &[type, name] : kNames)
        if (typeid(*unit) == *type)
            return name;
    return typeid(*unit).name();
}

class ChipFamilyWalk : public UsbLayerTest
{
protected:
    void SetUp() override
    {
        UsbLayerTest::SetUp();
        chip_bench::g_Settings.clear();
    }
    void TearDown() override
    {
        Drop();
        UsbLayerTest::TearDown();
    }
    // Plugs the layout's chained headset, with a capture selector; the walk runs on Walk().
    void Plug(const Layout &layout)
    {
        usbsim::Uac1Options options;
        options.vendorId = layout.vendor;
        options.productId = layout.product;
        options.selector = true;
        options.speaker = layout.speaker;
        headset = usbsim::VirtualDevice::Make(ChainHeadset(options, layout.ids), usbsim::DeviceFamily::Uac1);
        // The class headset's jacks, which make its headphone terminal a stream's end.
        const auto plain = usbsim::VirtualDevice::Uac1();
        headset->jacks = plain->jacks;
        headset->presenceMask = plain->presenceMask;
        for (auto &[id, extension] : extensions)
            headset->Entity(id).memory = extension;
        for (uint8_t id : effectUnits)
            for (UCHAR control : {EFFECT_CONTROL_139, EFFECT_CONTROL_140})
                headset->Control(id, control, 0) = {1, 0, 0, 1, 1, {}};
        current = layout.family;
        Attach(headset);
        StartHardware();
    }
    // The control walk, then unless told otherwise the streaming walk.
    NTSTATUS Walk(bool streaming = true)
    {
        Drop();
        hal = new (NonPagedPool, PoolTag::UAC1) WalkHal();
        if (!hal)
            return STATUS_INSUFFICIENT_RESOURCES;
        hal->AddRef();
        NTSTATUS status = hal->Init(nullptr, fdo, nullptr, nullptr);
        if (!NT_SUCCESS(status))
            return status;
        // The chip family's device gives its output terminal the headphone, optical and eight-channel
        // flags, so the terminal makes every pin it can; the other classes give none.
        const ULONG flag = current.deviceClass == UsbAudioDeviceClass::Mirk;
        const UsbAudioFunctionInputs inputs{
            current.deviceClass, headset->VendorId(), headset->ProductId(), {flag, flag, flag}, FALSE};
        model = std::make_unique<CUsbAudioFunctionModel>();
        status = model->Init(inputs, hal, nullptr, layer.get(), {nullptr, chip_bench::SettingsValue},
                             current.create);
        if (NT_SUCCESS(status))
            status = model->ParseControlFromConfig(layer.get());
        return NT_SUCCESS(status) && streaming ? model->ParseStreamingFromConfig(layer.get()) : status;
    }
    void Drop()
    {
        model.reset();
        if (hal)
            hal->Release();
        hal = nullptr;
    }
    IUsbAudioUnit *UnitWithId(ULONG id)
    {
        IUsbAudioUnit *unit = nullptr;
        return NT_SUCCESS(model->FindUnitById(id, &unit)) ? unit : nullptr;
    }
    std::string ClassOfId(ULONG id) { return ClassOf(UnitWithId(id)); }

    // The node list's numbering has no gap or repeat, and a feature unit's nodes each take the one
    // before as their input.
    void ExpectContiguousLinkedNodes()
    {
        for (ULONG i = 0; i < hal->GetFilterCount(); ++i)
        {
            IAudioNode *node = nullptr;
            ASSERT_EQ(hal->GetFilter(i, &node), STATUS_SUCCESS);
            EXPECT_EQ(node->GetId(), i);
        }
        for (ULONG u = 0; u < model->UnitCount(); ++u)
        {
            ULONG id = 0;
            ASSERT_EQ(model->UnitIdAt(u, &id), STATUS_SUCCESS);
            IUsbAudioUnit *unit = UnitWithId(id);
            IAudioNode *self = QueryAs<IAudioNode>(unit, IID_IAudioNode);
            const bool feature = self && self->GetKind() == UAC_FEATURE_UNIT;
            if (self)
                self->Release();
            IAudioNode *previous = nullptr, *node = nullptr;
            for (ULONG n = 0; feature && NT_SUCCESS(unit->GetUnitNode(n, &node)); ++n, previous = node)
            {
                if (!previous)
                    continue;
                ULONG sources[4] = {}, count = 4;
                ASSERT_EQ(node->GetSources(&count, sources), STATUS_SUCCESS);
                ASSERT_EQ(count, 1u) << "unit " << id << " node " << n;
                EXPECT_EQ(sources[0], previous->GetId()) << "unit " << id << " node " << n;
            }
        }
    }

    std::shared_ptr<usbsim::VirtualDevice> headset;
    Family current = kMirk;
    WalkHal *hal = nullptr;
    std::unique_ptr<CUsbAudioFunctionModel> model;
    std::map<uint8_t, Bytes> extensions; // vendor extension records by unit ID
    std::vector<uint8_t> effectUnits;    // units that answer controls 139 and 140
};

// Every cell of the class table the layouts reach, by unit ID and vendor/product pair.
TEST_F(ChipFamilyWalk, EachFamilyMakesTheTablesClassPerUnit)
{
    struct Case
    {
        Layout layout;
        std::vector<std::string> classes; // per ID, then the selector 7 and the terminals 1, 3, 4 and 6
    } cases[] = {
        {{kMirk, 0x1234, 0x5678, {2, 8, 9, 11, 12, 13, 15, 16}},
         {"CUnitScaledB", "CUnitScaledB", "CUnitScaledA", "CUnitScaledA", "plain", "CUnitVolumeCurve",
          "CUnitScaledB", "CUnitPlainMute", "CSelectorInputMap", "CInputTerminalVariant",
          "CJackOutputTerminal", "CInputTerminalVariant", "plain terminal"}},
        {{kMirk, 0x1E7D, 0x3750, {11, 9}},
         {"CUnitScaledAHwMute", "CUnitScaledA", "CSelectorInputMap", "CInputTerminalVariant",
          "CJackOutputTerminal", "CInputTerminalVariant", "plain terminal"}},
        {{kMirk, SalvineVendorId, 0x0053, {2, 8, 15, 11}},
         {"CUnitScaledBNodes", "CUnitScaledBNodes", "CUnitScaledBNodes", "CUnitScaledA", "CSelectorInputMap",
          "CInputTerminalVariant", "CJackOutputTerminal", "CInputTerminalVariant", "plain terminal"}},
        {{kMirk, 0x28DA, 0x268E, {2, 8, 15, 13}},
         {"CUnitScaledBLed", "CUnitScaledBLed", "CUnitScaledBLed", "CUnitVolumeCurve", "CSelectorInputMap",
          "CInputTerminalVariant", "CJackOutputTerminal", "CInputTerminalVariant", "plain terminal"}},
        {{kDova, 0x1234, 0x5678, {9, 10, 11, 12, 13, 14, 15}},
         {"CUnitCurve2", "CUnitLinear65", "CUnitLinear65", "CUnitLinear65", "CUnitLinear6", "CUnitLinear6",
          "plain", "plain selector", "CInputTerminalVariant", "COutputTerminalVariant",
          "CInputTerminalVariant", "COutputTerminalVariant"}},
        {{kTesh, 0x1234, 0x5678, {9, 10, 13, 11}},
         {"CUnitStep192", "CUnitPlainLevel", "CUnitOffset135", "plain", "plain selector",
          "CInputTerminalVariant", "COutputTerminalVariant", "CInputTerminalVariant",
          "COutputTerminalVariant"}},
        {{kGrue, 0x1234, 0x5678, {2, 9}},
         {"CUnitEffects", "CUnitEffects", "plain selector", "plain terminal", "plain terminal",
          "plain terminal", "plain terminal"}},
        {{kPlon, 0x1234, 0x5678, {2}, true},
         {"plain", "plain selector", "plain terminal", "CJackOutputTerminal2", "plain terminal",
          "plain terminal"}},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.layout.Name());
        Plug(c.layout);
        ASSERT_EQ(Walk(), STATUS_SUCCESS);
        std::vector<std::string> classes;
        for (uint8_t id : c.layout.ids)
            classes.push_back(ClassOfId(id));
        for (uint8_t id : {usbsim::kUac1Selector, usbsim::kUac1PlaybackIt, usbsim::kUac1PlaybackOt,
                           usbsim::kUac1MicIt, usbsim::kUac1CaptureOt})
            classes.push_back(ClassOfId(id));
        EXPECT_EQ(classes, c.classes);
        // The speaker terminal's last node is the effect parameter node.
        if (&c.layout.family == &kPlon)
        {
            IUsbAudioUnit *speaker = UnitWithId(usbsim::kUac1PlaybackOt);
            IAudioNode *node = nullptr, *last = nullptr;
            for (ULONG n = 0; NT_SUCCESS(speaker->GetUnitNode(n, &node)); ++n)
                last = node;
            EXPECT_NE(dynamic_cast<CEffectParamNode *>(last), nullptr);
        }
        // The microphone's unit 5 is a cell only of the family that takes every feature unit.
        EXPECT_EQ(ClassOfId(usbsim::kUac1MicFu), &c.layout.family == &kGrue ? "CUnitEffects" : "plain");
        // A feature unit's identity: its ID, the feature-unit kind and its one source.
        uint8_t source = usbsim::kUac1PlaybackIt;
        for (uint8_t id : c.layout.ids)
        {
            auto *node = QueryAs<IAudioNode>(UnitWithId(id), IID_IAudioNode);
            ASSERT_NE(node, nullptr);
            ULONG sources[4] = {}, count = 4;
            ASSERT_EQ(node->GetSources(&count, sources), STATUS_SUCCESS);
            EXPECT_EQ(std::vector<ULONG>({node->GetId(), node->GetKind(), count, sources[0]}),
                      std::vector<ULONG>({id, 6, 1, source}));
            node->Release();
            source = id;
        }
        ExpectContiguousLinkedNodes();
        Drop();
        Restart();
    }
}

// The two lookups of the chip units on walked headsets: a jack output terminal's first output pin
// node (kind 1), and none for units that make no pin; a level unit of the families is a feature unit,
// and one that holds no descriptor is not.
TEST_F(ChipFamilyWalk, FirstOutputPinNodeAndFeatureUnitLookups)
{
    const Layout layouts[] = {{kMirk, 0x1234, 0x5678, {2, 13}}, {kPlon, 0x1234, 0x5678, {2}, true}};
    for (const Layout &layout : layouts)
    {
        SCOPED_TRACE(layout.Name());
        Plug(layout);
        ASSERT_EQ(Walk(), STATUS_SUCCESS);
        auto *terminal = dynamic_cast<CUnitBase *>(UnitWithId(usbsim::kUac1PlaybackOt));
        ASSERT_NE(terminal, nullptr);
        IAudioNode *pin = nullptr;
        ASSERT_EQ(terminal->NodeAt(0, &pin), STATUS_SUCCESS);
        ASSERT_EQ(pin->GetKind(), ULONG(NODE_KIND_OUTPUT_TERMINAL));
        ULONG id = 0xFFFF;
        EXPECT_EQ(terminal->GetFirstKindOneNodeId(&id), STATUS_SUCCESS);
        EXPECT_EQ(id, pin->GetId());
        EXPECT_EQ(terminal->GetFirstKindOneNodeId(nullptr), STATUS_INVALID_PARAMETER);
        for (uint8_t other :
             {layout.ids.front(), uint8_t(usbsim::kUac1PlaybackIt), uint8_t(usbsim::kUac1MicIt)})
        {
            auto *unit = dynamic_cast<CUnitBase *>(UnitWithId(other));
            ASSERT_NE(unit, nullptr) << int(other);
            id = 0xFFFF;
            EXPECT_EQ(unit->GetFirstKindOneNodeId(&id), STATUS_UNSUCCESSFUL) << int(other);
            EXPECT_EQ(id, 0xFFFFu) << int(other);
        }
        Drop();
        Restart();
    }

    for (const Family *family : {&kDova, &kTesh, &kGrue})
    {
        SCOPED_TRACE(family->name);
        Plug({*family, 0x1234, 0x5678, {9}});
        ASSERT_EQ(Walk(), STATUS_SUCCESS);
        auto *unit = dynamic_cast<CChipFeatureUnit *>(UnitWithId(9));
        ASSERT_NE(unit, nullptr);
        ULONG flag = 0;
        EXPECT_EQ(unit->IsFeatureUnit(&flag), STATUS_SUCCESS);
        EXPECT_EQ(flag, 1u);
        EXPECT_EQ(unit->IsFeatureUnit(nullptr), STATUS_INVALID_PARAMETER);
        Drop();
        Restart();
    }
    CUnitCurve2 bare(nullptr, 0);
    ULONG flag = 7;
    EXPECT_EQ(bare.IsFeatureUnit(&flag), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(flag, 7u);
    // A selector unit descriptor (subtype 5), and one of a feature unit (6) that is not class-specific.
    const UCHAR selector[] = {7, 0x24, 5, 9, 1, 3, 0};
    CUnitCurve2 notFeature(nullptr, 0);
    ASSERT_EQ(notFeature.AttachDescriptor(selector, sizeof selector), STATUS_SUCCESS);
    EXPECT_EQ(notFeature.IsFeatureUnit(&flag), STATUS_INVALID_PARAMETER);
    const UCHAR plain[] = {7, 0x04, 6, 9, 1, 1, 0};
    CUnitCurve2 notClassSpecific(nullptr, 0);
    ASSERT_EQ(notClassSpecific.AttachDescriptor(plain, sizeof plain), STATUS_SUCCESS);
    EXPECT_EQ(notClassSpecific.IsFeatureUnit(&flag), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(flag, 7u);
}

// Each allocation of a family's walk failed in turn: every unit's initialisation and node creation
// and every effect node's initialisation meet the failure somewhere. The walk ends with success (a
// level node the pool had no room for is left out) or STATUS_INSUFFICIENT_RESOURCES; the numbering
// stays contiguous, no half-made effect node joins the graph, and nothing is left once the model is
// gone. One layout per test, so the suite runs them side by side.
const Layout kAllocationLayouts[] = {
    {kMirk, SalvineVendorId, 0x0053, {2, 11, 13, 16}},
    {kMirk, 0x28DA, 0x268E, {8, 9}},
    {kMirk, 0x1E7D, 0x3750, {11, 15}},
    {kDova, 0x1234, 0x5678, {9, 10, 13}},
    {kTesh, 0x1234, 0x5678, {9, 10, 13}},
    {kGrue, 0x1234, 0x5678, {2}},
    {kPlon, 0x1234, 0x5678, {2}, true},
};
class ChipFamilyAllocations : public ChipFamilyWalk, public ::testing::WithParamInterface<int>
{
};

TEST_P(ChipFamilyAllocations, EveryAllocationOfTheWalkFailedInTurn)
{
    const Layout &c = kAllocationLayouts[GetParam()];
    SCOPED_TRACE(c.Name());
    extensions[c.ids[0]] = {0x02, 0x00, 0x00, 0x0C}; // controls 139 and 140
    effectUnits = {c.ids[0]};
    Plug(c);
    const size_t outstanding = sim::Outstanding(), before = sim::Allocations();
    ASSERT_EQ(Walk(false), STATUS_SUCCESS);
    const size_t total = sim::Allocations() - before;
    Drop();
    ASSERT_EQ(sim::Outstanding(), outstanding);
    unsigned refused = 0;
    for (unsigned n = 1; n <= total; n += kAllocationStride)
    {
        sim::FailAllocation(n);
        const NTSTATUS status = Walk(false);
        sim::FailAllocation(0);
        ASSERT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES)
            << n << ": " << std::hex << status;
        refused += status != STATUS_SUCCESS;
        if (hal && model)
        {
            ExpectContiguousLinkedNodes();
            for (ULONG i = 0; i < hal->GetFilterCount(); ++i)
            {
                IAudioNode *node = nullptr;
                hal->GetFilter(i, &node);
                auto *n139 = dynamic_cast<CEffectNode139 *>(node);
                auto *n140 = dynamic_cast<CEffectNode140 *>(node);
                auto *bands = dynamic_cast<CEffectParamNode *>(node);
                EXPECT_TRUE((!n139 || (n139->Engine() && n139->SetsReady())) &&
                            (!n140 || (n140->Engine() && n140->SetsReady())) &&
                            (!bands || (bands->Panner() && bands->Hrtf() && bands->SetsReady())))
                    << n;
            }
        }
        Drop();
        ASSERT_EQ(sim::Outstanding(), outstanding) << n;
    }
    EXPECT_GT(refused * kAllocationStride, total / 2);
}
INSTANTIATE_TEST_SUITE_P(Layouts, ChipFamilyAllocations,
                         ::testing::Range(0, int(std::size(kAllocationLayouts))));

// Refresh then re-send, as the status thread and a power-up do, ten times over every family's level
// units: after the first rounds the chip's values and the stored ones stay put. A map whose read is
// not the inverse of its write would move the level and persist it a little further each round.
TEST_F(ChipFamilyWalk, RefreshAndReapplyRoundsLeaveChipAndStoredValuesAlone)
{
    const Layout cases[] = {
        {kMirk, 0x1234, 0x5678, {2, 9, 13, 16}},
        {kMirk, SalvineVendorId, 0x0053, {8}},
        {kDova, 0x1234, 0x5678, {9, 10, 13}},
        {kTesh, 0x1234, 0x5678, {9, 10, 13}},
    };
    for (const Layout &c : cases)
    {
        SCOPED_TRACE(c.Name());
        Plug(c);
        // Levels off the maps' grids, and the mute set.
        for (uint8_t id : c.ids)
        {
            headset->Control(id, FU_MUTE, 0).cur = 1;
            headset->Control(id, FU_VOLUME, 1).cur = -4864;
            headset->Control(id, FU_VOLUME, 2).cur = -1000;
        }
        ASSERT_EQ(Walk(), STATUS_SUCCESS);
        auto chip = [&]
        {
            std::map<std::vector<int>, int64_t> values;
            for (uint8_t id : c.ids)
                for (const auto &[key, state] : headset->Entity(id).controls)
                    values[{id, key.first, key.second}] = state.cur;
            return values;
        };
        decltype(chip()) first;
        decltype(chip_bench::g_Settings) stored;
        for (int round = 0; round < 10; ++round)
        {
            // As the status thread reloads a unit that reported a change (a level node that found
            // nothing new says so with a failure).
            for (uint8_t id : c.ids)
            {
                IAudioNode *node = nullptr;
                for (ULONG n = 0; NT_SUCCESS(UnitWithId(id)->GetUnitNode(n, &node)); ++n)
                    node->Refresh();
            }
            ASSERT_EQ(hal->RestoreFilters(), STATUS_SUCCESS);
            // The first rounds pull a chip value outside the unit's range (-19 dB on a unit whose
            // floor is -13.5 dB) to its edge.
            if (round <= 1)
            {
                first = chip();
                stored = chip_bench::g_Settings;
                continue;
            }
            ASSERT_EQ(chip(), first) << round;
            ASSERT_EQ(chip_bench::g_Settings, stored) << round;
        }
        // The device dB the unit at 10..12 of the first family maps 0 dB to is kept from the start.
        if (&c.family == &kDova)
        {
            EXPECT_EQ(headset->Control(10, FU_VOLUME, 1).cur, -4864);
        }
        Drop();
        Restart();
    }
}

// ---- Scripted replies --------------------------------------------------------------------------------
// Each chip unit class on a random descriptor, its control requests answered from a random script
// (whole answers, short ones, stalls) through initialisation, levels, ranges, switches, the selector
// and every parameter operation of the nodes it made, with random (first, count) including wrapping
// ones. Every answer is a status the callers know, a failure writes nothing to the caller, and each
// round gives back everything it took.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kReplyRounds = 150;
#else
constexpr int kReplyRounds = 1500;
#endif

bool KnownStatus(NTSTATUS status)
{
    return status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL || status == STATUS_INVALID_PARAMETER ||
           status == STATUS_INSUFFICIENT_RESOURCES || status == STATUS_NOT_SUPPORTED ||
           status == STATUS_NOT_IMPLEMENTED;
}

template <class T, class... A> IUsbAudioUnit *NewUnit(const A &...args)
{
    T *unit = new (NonPagedPool, PoolTag::Mirk) T(nullptr, 0, args...);
    if (unit)
        unit->AddRef();
    return unit;
}
// A jack terminal with the headphone, optical and eight-channel flags each set or not at random.
std::mt19937 g_FlagRandom(17);
template <class T> IUsbAudioUnit *NewJackTerminal()
{
    const ULONG flags[3] = {ULONG(g_FlagRandom() % 2), ULONG(g_FlagRandom() % 2), ULONG(g_FlagRandom() % 2)};
    return NewUnit<T>(flags);
}

using ChipFamilyReplies = KernelTest;

TEST_F(ChipFamilyReplies, ScriptedAnswersGiveClearStatusesAndWriteNothingOnFailure)
{
    const std::vector<std::pair<const char *, std::function<IUsbAudioUnit *()>>> classes = {
        {"CUnitVolumeCurve", NewUnit<CUnitVolumeCurve>},
        {"CUnitPlainMute", NewUnit<CUnitPlainMute>},
        {"CUnitScaledA", NewUnit<CUnitScaledA>},
        {"CUnitScaledAHwMute", NewUnit<CUnitScaledAHwMute>},
        {"CUnitScaledB", NewUnit<CUnitScaledB>},
        {"CUnitScaledBNodes", NewUnit<CUnitScaledBNodes>},
        {"CUnitScaledBLed", NewUnit<CUnitScaledBLed>},
        {"CSelectorInputMap", NewUnit<CSelectorInputMap>},
        {"CUnitCurve2", NewUnit<CUnitCurve2>},
        {"CUnitLinear6", NewUnit<CUnitLinear6>},
        {"CUnitLinear65", NewUnit<CUnitLinear65>},
        {"CUnitStep192", NewUnit<CUnitStep192>},
        {"CUnitOffset135", NewUnit<CUnitOffset135>},
        {"CUnitPlainLevel", NewUnit<CUnitPlainLevel>},
        {"CUnitEffects", NewUnit<CUnitEffects>},
        {"CInputTerminalVariant", NewUnit<CInputTerminalVariant>},
        {"CJackOutputTerminal", NewJackTerminal<CJackOutputTerminal>},
        {"CJackOutputTerminal2", NewJackTerminal<CJackOutputTerminal2>},
    };
    std::mt19937 random(1710);
    auto byte = [&] { return uint8_t(random()); };
    const size_t outstanding = sim::Outstanding();
    for (int round = 0; round < kReplyRounds; ++round)
    {
        const auto &[name, make] = classes[random() % classes.size()];
        SCOPED_TRACE(std::string(name) + " round " + std::to_string(round));
        // The descriptor: a terminal of a common or random type, a selector of 1-4 inputs, or a feature
        // unit of 0-3 channels whose controls lean to mute and volume.
        Bytes descriptor;
        const std::string kind = name;
        const uint16_t type = std::array<uint16_t, 7>{
            0x0101, 0x0201, 0x0301, 0x0302, 0x0402, 0x0605, uint16_t(random())}[random() % 7];
        if (kind == "CInputTerminalVariant")
            descriptor = {0, 0x24, 0x02, 4, uint8_t(type), uint8_t(type >> 8), 0, uint8_t(random() % 3),
                          3, 0,    0};
        else if (kind.find("CJackOutputTerminal") == 0)
            descriptor = {0, 0x24, 0x03, 3, uint8_t(type), uint8_t(type >> 8), 0, 2};
        else if (kind == "CSelectorInputMap")
        {
            descriptor = {0, 0x24, 0x05, 7, uint8_t(1 + random() % 4)};
            for (uint8_t i = 0; i < descriptor[4]; ++i)
                descriptor.push_back(uint8_t(std::array<int, 5>{2, 8, 15, 16, 5}[random() % 5]));
        }
        else
        {
            const uint8_t size = random() % 4 == 0 ? 2 : 1, channels = random() % 4;
            descriptor = {0, 0x24, 0x06, 9, 1, size};
            for (uint8_t c = 0; c <= channels; ++c)
                for (uint8_t b = 0; b < size; ++b)
                    descriptor.push_back(b == 0 ? uint8_t(byte() | (random() % 3 ? 0x03 : 0)) : byte());
        }
        descriptor.push_back(0);
        descriptor[0] = uint8_t(descriptor.size());
        Bytes script(random() % 160);
        for (auto &b : script)
            b = random() % 4 == 0 ? uint8_t(random() % 2) : byte();
        auto *lower = new (NonPagedPool, PoolTag::USBd)
            walk_harness::ScriptedLower(nullptr, 0, script.data(), script.size());
        auto *hal = new (NonPagedPool, PoolTag::UAC1) WalkHal();
        ASSERT_TRUE(lower && hal);
        lower->AddRef();
        hal->AddRef();
        ASSERT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_SUCCESS);
        const UnitContext context = {hal,
                                     {lower, 0, UacVersion::Uac1, PoolTag::UA10},
                                     {nullptr, chip_bench::SettingsValue},
                                     PoolTag::Mirk,
                                     nullptr};
        IUsbAudioUnit *unit = make();
        ASSERT_NE(unit, nullptr);
        const NTSTATUS init = unit->InitUnit(descriptor.data(), ULONG(descriptor.size()), context);
        ASSERT_TRUE(KnownStatus(init)) << std::hex << init;
        if (NT_SUCCESS(init))
        {
            auto *level = QueryAs<ILevelControl>(unit, IID_ILevelControl);
            auto *toggle = QueryAs<ISwitchControl>(unit, IID_ISwitchControl);
            auto *selector = QueryAs<ISelectorControl>(unit, IID_ISelectorControl);
            for (int op = 0; op < 12; ++op)
            {
                const UCHAR control = UCHAR(random() % 3 ? 1 + random() % 5 : random() % 12);
                const ULONG channel = random() % 5;
                constexpr LONG kUntouched = 0x5A5A5A5A;
                LONG value[3] = {kUntouched, kUntouched, kUntouched};
                UCHAR flag = 0xA5;
                ULONG input = 0xA5A5A5A5u;
                NTSTATUS status = STATUS_SUCCESS;
                bool untouched = true;
                switch (random() % 7)
                {
                case 0:
                    if (!level)
                        continue;
                    status = level->GetLevel(control, channel, &value[0]);
                    untouched = value[0] == kUntouched;
                    break;
                case 1:
                    if (!level)
                        continue;
                    status = level->GetLevelRange(control, &value[0], &value[1], &value[2]);
                    untouched = value[0] == kUntouched && value[1] == kUntouched && value[2] == kUntouched;
                    break;
                case 2:
                    if (!level)
                        continue;
                    status = level->SetLevel(control, channel, LONG(random()));
                    break;
                case 3:
                    if (!toggle)
                        continue;
                    status = random() % 2 ? toggle->GetSwitch(control, channel, &flag)
                                          : toggle->SetSwitch(control, channel, UCHAR(random() % 2));
                    untouched = flag == 0xA5;
                    break;
                case 5:
                {
                    // The jack questions of a terminal, into a buffer of random size.
                    auto *terminal = QueryAs<ITerminalControl>(unit, IID_ITerminalControl);
                    if (!terminal)
                        continue;
                    JackRecord jacks[JACK_MAX_RECORDS];
                    std::memset(jacks, 0xA5, sizeof jacks);
                    const JackRecord before = jacks[0];
                    const ULONG index = random() % 4;
                    switch (random() % 3)
                    {
                    case 0:
                        status = terminal->GetTerminalJackCount(index, &input);
                        untouched = input == 0xA5A5A5A5u;
                        break;
                    case 1:
                        status =
                            terminal->GetTerminalJacks(index, ULONG(random() % (sizeof jacks + 1)), jacks);
                        untouched = std::memcmp(&jacks[0], &before, sizeof before) == 0;
                        break;
                    default:
                        status = terminal->SelectOutputType(random() % 5);
                        break;
                    }
                    terminal->Release();
                    break;
                }
                case 4:
                    if (!selector)
                        continue;
                    status = random() % 2 ? selector->GetInput(&input) : selector->SetInput(random() % 6);
                    untouched = input == 0xA5A5A5A5u;
                    break;
                default:
                {
                    // The parameter operations of the unit's information nodes.
                    IAudioNode *node = nullptr;
                    if (!NT_SUCCESS(unit->GetUnitNode(random() % 4, &node)))
                        continue;
                    auto *info = QueryAs<IInfoNode>(node, IID_IInfoNode);
                    if (!info)
                        continue;
                    const ULONG first = random() % 4 == 0 ? 0xFFFFFFFFu - random() % 3 : random() % 20;
                    const ULONG count = random() % 4 == 0 ? 0xFFFFFFFFu : random() % 4;
                    ULONG words[3] = {ULONG(kUntouched), ULONG(kUntouched), ULONG(kUntouched)};
                    const ULONG values[3] = {ULONG(random() % 4), ULONG(random() % 3), ULONG(random())};
                    switch (random() % 3)
                    {
                    case 0:
                        status = info->GetValues(first, count, words);
                        untouched = words[0] == ULONG(kUntouched);
                        EXPECT_TRUE(!NT_SUCCESS(status) || count <= 3)
                            << "a read wider than the buffer succeeded";
                        break;
                    case 1:
                        status = info->SetValues(first, count, values);
                        EXPECT_TRUE(!NT_SUCCESS(status) || count <= 3)
                            << "a set wider than the values succeeded";
                        break;
                    default:
                        status = info->GetTriple(first, words);
                        untouched = words[0] == ULONG(kUntouched) && words[2] == ULONG(kUntouched);
                        break;
                    }
                    info->Release();
                    break;
                }
                }
                ASSERT_TRUE(KnownStatus(status)) << std::hex << status;
                EXPECT_TRUE(NT_SUCCESS(status) || untouched) << "a failed call wrote to the caller";
            }
            for (IUnknown *i : std::initializer_list<IUnknown *>{level, toggle, selector})
                if (i)
                    i->Release();
        }
        unit->DetachNodes();
        unit->Release();
        hal->Release();
        lower->Release();
        ASSERT_EQ(sim::Outstanding(), outstanding);
    }
}

} // namespace
