// The topology miniport over real node objects in a test HAL, served by the port-class stand-in and
// read through its audio client: pins, nodes and connections built from the entities, node and pin
// properties, control-change events and failure paths.
#include <pc_port.h>
#include <sim/audio_client.h>
#include <sim/portcls_sim.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "driver/filters/control_change.h"
#include "driver/filters/miniport_topology.h"
#include "driver/filters/miniport_wave_cyclic.h"
#include "driver/filters/node_controls.h"
#include "driver/filters/stream_engine.h"
#include "driver/filters/node_selection.h"
#include "driver/filters/node_terminal.h"
#include "driver/filters/node_values.h"
#include "support/hal_doubles.h"
#include "support/kernel_test.h"
#include "support/miniport_bench.h"

namespace
{

using hal_test::Make;

// Registry values the settings reader answers, by value name.
std::map<std::u16string, GUID> g_values;
NTSTATUS FakeSettings(PDEVICE_OBJECT, ULONG operation, PVOID buffer, ULONG size, PCWSTR name)
{
    const auto it = g_values.find(name);
    if (operation != NODE_SETTING_READ || it == g_values.end() || size != sizeof(GUID))
        return STATUS_OBJECT_NAME_NOT_FOUND;
    std::memcpy(buffer, &it->second, sizeof(GUID));
    return STATUS_SUCCESS;
}

constexpr GUID kHeadphones = {0xDFF21CE2, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kMicrophone = {0xDFF21BE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
constexpr GUID kMuteType = {0x02B223C0, 0xC557, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
constexpr GUID kVolumeType = {0x3A5ACC00, 0xC557, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
constexpr GUID kToneType = {0x7607E580, 0xC557, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
constexpr GUID kBassName = {0x185FEDE0, 0x9905, 0x11D1, {0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3}};
constexpr GUID kMuxType = {0x2CEAF780, 0xC556, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
constexpr GUID kDevSpecificType = {
    0x941C7AC0, 0xC559, 0x11D0, {0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1}};
constexpr GUID kNodeNameSet = {0x00A34C4A, 0x26E6, 0x4095, {0x98, 0xE9, 0x77, 0xFA, 0xE2, 0xF1, 0x1F, 0xB6}};
constexpr GUID kPinWordsSet = {0xA210D309, 0x0822, 0x456B, {0xBD, 0x3C, 0x21, 0x96, 0x56, 0x7C, 0xAD, 0xA7}};
constexpr GUID kPrivateSet = {0x1B4400F0, 0x9627, 0x4EE7, {0xA5, 0x93, 0xB3, 0x7C, 0x03, 0x4E, 0xF0, 0xDE}};

constexpr LONG kMaximum = 0;
constexpr LONG kMinimum = -96 * 65536;
constexpr LONG kStep = 65536 / 2;

// A terminal whose eight words tell it apart: its identifier times 16 plus the word's index.
class WordsTerminal : public CTerminalNode
{
public:
    WordsTerminal(PUNKNOWN outer, ULONG id, ULONG kind) : CTerminalNode(outer, id, kind)
    {
        for (ULONG i = 0; i < HAL_INFO_WORDS; ++i)
            m_Words[i] = id * 16 + i;
    }
};

class TopologyTest : public KernelTest, protected miniport_bench::PortedMiniport
{
public:
    void SetUp() override
    {
        KernelTest::SetUp();
        g_values.clear();
        hal = Make<hal_test::TestHal>();
    }
    void TearDown() override
    {
        Close();
        for (IAudioNode *node : nodes)
            node->Release();
        if (hal)
            hal->Release();
        KernelTest::TearDown();
    }

    CTerminalNode *Terminal(ULONG id, ULONG kind, ULONG type, ULONG source = 0)
    {
        CTerminalNode *node = Make<WordsTerminal>(id, kind);
        EXPECT_EQ(node->InitTerminal(1, &type, 1, &kDefaultJackRecord), STATUS_SUCCESS);
        if (source)
        {
            EXPECT_EQ(node->SetSources(1, &source), STATUS_SUCCESS);
        }
        nodes.push_back(node);
        return node;
    }
    CLevelControlNode *Level(ULONG id, ULONG kind, ULONG source, ULONG channels = 2)
    {
        auto *node = Make<CLevelControlNode>(id, kind);
        EXPECT_EQ(node->Init(source, channels, kMaximum, kMinimum, kStep), STATUS_SUCCESS);
        nodes.push_back(node);
        return node;
    }
    CByteControlNode *Switch(ULONG id, ULONG kind, ULONG source, ULONG channels = 2)
    {
        auto *node = Make<CByteControlNode>(id, kind);
        EXPECT_EQ(node->Init(source, channels), STATUS_SUCCESS);
        nodes.push_back(node);
        return node;
    }
    CSelectorNode *Selector(ULONG id, std::vector<ULONG> sources)
    {
        auto *node = Make<CSelectorNode>(id);
        EXPECT_EQ(node->SetSources(ULONG(sources.size()), sources.data()), STATUS_SUCCESS);
        nodes.push_back(node);
        return node;
    }

    // Streaming IT 1 -> mute 11 -> volume 12 -> bass 13 -> HP OT 2; mic IT 3 -> volume 20 ->
    // selector 21 (20, 3) -> streaming OT 4.
    void BuildHeadset()
    {
        Terminal(1, NODE_KIND_INPUT_TERMINAL, 0);
        Terminal(2, NODE_KIND_OUTPUT_TERMINAL, 2, 13);
        Terminal(3, NODE_KIND_INPUT_TERMINAL, 7);
        Terminal(4, NODE_KIND_OUTPUT_TERMINAL, 0, 21);
        Switch(11, NODE_KIND_MUTE, 1);
        volume = Level(12, NODE_KIND_LEVEL, 11);
        Level(13, NODE_KIND_LEVEL_9, 12);
        Level(20, NODE_KIND_LEVEL, 3);
        Selector(21, {20, 3});
    }

    NTSTATUS Open()
    {
        for (IAudioNode *node : nodes)
            hal->startFilters.push_back(node);
        NTSTATUS status = hal->Init(nullptr, &device, nullptr, nullptr);
        if (!NT_SUCCESS(status))
            return status;
        status = OpenPort(CreateTopology, CLSID_PortTopology, &device, static_cast<IAudioHal *>(hal));
        miniport = MiniportAs<CMiniportTopology, IMiniportTopology>(IID_IMiniportTopology);
        return status;
    }
    static NTSTATUS CreateTopology(PUNKNOWN *unknown, REFGUID portClass)
    {
        return CreateMiniportTopology(unknown, portClass, nullptr, NonPagedPool, FakeSettings);
    }
    void Close()
    {
        ClosePort();
        miniport = nullptr;
    }

    DEVICE_OBJECT device{};
    hal_test::TestHal *hal = nullptr;
    std::vector<IAudioNode *> nodes;
    CLevelControlNode *volume = nullptr;
    CMiniportTopology *miniport = nullptr;
};

TEST_F(TopologyTest, TheHeadsetBecomesPinsNodesAndConnections)
{
    BuildHeadset();
    g_values[u"HeadPhoneOutName_02"] = kBassName; // any identifier will do as a name
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    sim::audio::Filter filter(port);
    const auto pins = filter.Pins();
    ASSERT_EQ(pins.size(), 4u);
    // Streaming terminals go in at the head, so the last one found leads.
    const struct
    {
        KSPIN_DATAFLOW flow;
        const GUID *category;
        ULONG terminal;
    } expected[] = {{KSPIN_DATAFLOW_OUT, &KSCATEGORY_AUDIO, 4},
                    {KSPIN_DATAFLOW_IN, &KSCATEGORY_AUDIO, 1},
                    {KSPIN_DATAFLOW_OUT, &kHeadphones, 2},
                    {KSPIN_DATAFLOW_IN, &kMicrophone, 3}};
    for (ULONG i = 0; i < 4; ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(pins[i].Flow, expected[i].flow);
        EXPECT_EQ(pins[i].Communication, KSPIN_COMMUNICATION_NONE);
        EXPECT_TRUE(*pins[i].Category == *expected[i].category);
        ULONG pin = 99;
        ASSERT_EQ(miniport->GetPinForTerminal(expected[i].terminal, &pin), STATUS_SUCCESS);
        EXPECT_EQ(pin, i);
    }
    ASSERT_NE(pins[2].Name, nullptr);
    EXPECT_TRUE(*pins[2].Name == kBassName);
    EXPECT_EQ(pins[3].Name, nullptr); // no "MicroPhoneInName_03" stored
    ULONG pin = 0;
    EXPECT_EQ(miniport->GetPinForTerminal(12, &pin), STATUS_UNSUCCESSFUL);

    const auto nodeList = filter.Nodes();
    ASSERT_EQ(nodeList.size(), 5u);
    EXPECT_TRUE(nodeList[0].Type == kMuteType);
    EXPECT_TRUE(nodeList[1].Type == kVolumeType);
    EXPECT_TRUE(nodeList[2].Type == kToneType);
    ASSERT_NE(nodeList[2].Name, nullptr);
    EXPECT_TRUE(*nodeList[2].Name == kBassName);
    EXPECT_TRUE(nodeList[4].Type == kMuxType);
    EXPECT_TRUE(nodeList[4].Events.empty());
    EXPECT_EQ(nodeList[1].Events.size(), 1u);

    const std::vector<std::vector<ULONG>> connections = {{PCFILTER_NODE, 3, 3, 1},
                                                         {3, 0, 4, 1},
                                                         {PCFILTER_NODE, 3, 4, 2},
                                                         {4, 0, PCFILTER_NODE, 0},
                                                         {PCFILTER_NODE, 1, 0, 1},
                                                         {0, 0, 1, 1},
                                                         {1, 0, 2, 1},
                                                         {2, 0, PCFILTER_NODE, 2}};
    std::vector<std::vector<ULONG>> actual;
    for (const auto &c : filter.Connections())
        actual.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
    EXPECT_EQ(actual, connections);

    PWSTR name = nullptr;
    ASSERT_EQ(miniport->GetName(&name), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(name), u"GlobalTopo");
    EXPECT_EQ(miniport->GetName(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(TopologyTest, SelectorsAndSourcelessUnitsFollowTheirSources)
{
    Terminal(2, NODE_KIND_OUTPUT_TERMINAL, 3, 30);
    Selector(30, {31});
    Level(31, NODE_KIND_LEVEL, 0); // source-less: fed from the terminal of its own identifier
    nodes.back()->SetSources(0, nullptr);
    Terminal(31, NODE_KIND_INPUT_TERMINAL, 6);
    Terminal(3, NODE_KIND_OUTPUT_TERMINAL, 1, 30); // the same selector feeds a second output
    g_values[u"SpdifOutName"] = kBassName;         // the plain name serves when the indexed one is missing
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    sim::audio::Filter filter(port);
    const auto nodeList = filter.Nodes();
    ASSERT_EQ(nodeList.size(), 2u);
    EXPECT_TRUE(nodeList[0].Type == kDevSpecificType); // one source: device specific, named
    ASSERT_NE(nodeList[0].Name, nullptr);
    EXPECT_TRUE(*nodeList[0].Name == kDevSpecificType);
    std::vector<std::vector<ULONG>> actual;
    for (const auto &c : filter.Connections())
        actual.push_back({c.FromNode, c.FromNodePin, c.ToNode, c.ToNodePin});
    // The path met again from the second output adds only its last connection.
    EXPECT_EQ(
        actual,
        (std::vector<std::vector<ULONG>>{
            {PCFILTER_NODE, 1, 1, 1}, {1, 0, 0, 1}, {0, 0, PCFILTER_NODE, 0}, {0, 0, PCFILTER_NODE, 2}}));
    ASSERT_NE(filter.Pins()[0].Name, nullptr);
    EXPECT_TRUE(*filter.Pins()[0].Name == kBassName);

    // A one-source selector answers the device-specific property's basic support and takes sets.
    UCHAR support[64];
    ULONG size = sizeof(support);
    ASSERT_EQ(filter.Support(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0, nullptr, 0, support, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(size, 64u);
    KSPROPERTY_MEMBERSHEADER header;
    KSPROPERTY_BOUNDS_LONG bounds;
    std::memcpy(&header, support + 40, 16);
    std::memcpy(&bounds, support + 56, 8);
    EXPECT_EQ(header.MembersFlags, ULONG(KSPROPERTY_MEMBER_RANGES));
    EXPECT_EQ(bounds.SignedMinimum, 0);
    EXPECT_EQ(ULONG(bounds.SignedMaximum), 0xFFFFFFFFu);
    ULONG value = 5;
    EXPECT_EQ(filter.Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0, nullptr, 0, &value, 4),
              STATUS_SUCCESS);
}

TEST_F(TopologyTest, UnitsSharedByManyPathsAreWalkedOnce)
{
    // Twenty units, each fed twice by the next: 2^20 paths from the output, 41 connections.
    constexpr ULONG kUnits = 20;
    Terminal(2, NODE_KIND_OUTPUT_TERMINAL, 2, 100);
    for (ULONG i = 0; i < kUnits; ++i)
    {
        const ULONG next = i + 1 < kUnits ? 101 + i : 1;
        Level(100 + i, NODE_KIND_LEVEL, next);
        const ULONG sources[2] = {next, next};
        ASSERT_EQ(nodes.back()->SetSources(2, sources), STATUS_SUCCESS);
    }
    Terminal(1, NODE_KIND_INPUT_TERMINAL, 0);
    const size_t before = sim::Allocations();
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_LT(sim::Allocations() - before, 20 * kUnits);
    sim::audio::Filter filter(port);
    EXPECT_EQ(filter.Connections().size(), 2 * kUnits + 1);
}

TEST_F(TopologyTest, TheSpdifOutputTakesItsIndexedNameThenItsPlainNameThenTheDefault)
{
    const GUID spdifDefault = {0x12C15946, 0xBA58, 0x42C1, {0x9F, 0x11, 0x83, 0x41, 0xE2, 0x19, 0x86, 0x22}};
    Terminal(2, NODE_KIND_OUTPUT_TERMINAL, 3, 5);
    Terminal(5, NODE_KIND_INPUT_TERMINAL, 6);
    const struct
    {
        std::map<std::u16string, GUID> values;
        const GUID *name;
    } cases[] = {{{}, &spdifDefault},
                 {{{u"SpdifOutName", kBassName}}, &kBassName},
                 {{{u"SpdifOutName", kBassName}, {u"SpdifOutName_00", kMuteType}}, &kMuteType}};
    for (const auto &c : cases)
    {
        g_values = c.values;
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        sim::audio::Filter filter(port);
        const auto pins = filter.Pins();
        ASSERT_NE(pins[0].Name, nullptr);
        EXPECT_TRUE(*pins[0].Name == *c.name);
        Close();
        hal->Release();
        hal = Make<hal_test::TestHal>();
    }
}

TEST_F(TopologyTest, AHeadphoneOutputReadsTheNameIndexedByItsOwnPin)
{
    // The streaming input leads; line, microphone and headphones follow in list order: pins 1, 2, 3.
    Terminal(1, NODE_KIND_INPUT_TERMINAL, 0);
    Terminal(5, NODE_KIND_INPUT_TERMINAL, 6);
    Terminal(3, NODE_KIND_INPUT_TERMINAL, 7);
    Terminal(2, NODE_KIND_OUTPUT_TERMINAL, 2, 1);
    const struct
    {
        std::map<std::u16string, GUID> values;
        const GUID *name;
    } cases[] = {{{{u"HeadPhoneOutName_03", kBassName}, {u"HeadPhoneOutName_02", kMuteType}}, &kBassName},
                 {{{u"HeadPhoneOutName", kBassName}, {u"HeadPhoneOutName_02", kMuteType}}, nullptr}};
    for (const auto &c : cases)
    {
        g_values = c.values;
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        ULONG pin = 0;
        ASSERT_EQ(miniport->GetPinForTerminal(2, &pin), STATUS_SUCCESS);
        ASSERT_EQ(pin, 3u);
        sim::audio::Filter filter(port);
        const auto pins = filter.Pins();
        ASSERT_EQ(pins.size(), 4u);
        if (c.name)
        {
            ASSERT_NE(pins[3].Name, nullptr);
            EXPECT_TRUE(*pins[3].Name == *c.name);
        }
        else
            EXPECT_EQ(pins[3].Name, nullptr);
        Close();
        hal->Release();
        hal = Make<hal_test::TestHal>();
    }
}

TEST_F(TopologyTest, BrokenGraphsFailInitAndLeaveNothing)
{
    struct Case
    {
        const char *what;
        NTSTATUS status;
        void (*build)(TopologyTest &);
    };
    const Case cases[] = {
        {"unit kind 14", STATUS_INVALID_PARAMETER,
         [](TopologyTest &t) { t.Terminal(2, NODE_KIND_OUTPUT_TERMINAL, 2, 10), t.Level(10, 14, 2); }},
        {"terminal type 18", STATUS_INVALID_PARAMETER,
         [](TopologyTest &t) { t.Terminal(2, NODE_KIND_OUTPUT_TERMINAL, 18); }},
        {"unknown source", STATUS_UNSUCCESSFUL,
         [](TopologyTest &t) { t.Terminal(2, NODE_KIND_OUTPUT_TERMINAL, 2, 10), t.Level(10, 3, 77); }},
        {"a cycle", STATUS_UNSUCCESSFUL,
         [](TopologyTest &t)
         {
             t.Terminal(2, NODE_KIND_OUTPUT_TERMINAL, 2, 10);
             t.Level(10, NODE_KIND_LEVEL, 11);
             t.Level(11, NODE_KIND_LEVEL, 10);
         }},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.what);
        c.build(*this);
        const size_t blocks = sim::pool::OutstandingBlocks(PoolTag::TOPO);
        EXPECT_EQ(Open(), c.status);
        Close();
        EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::TOPO), blocks - 0);
        for (IAudioNode *node : nodes)
            node->Release();
        nodes.clear();
        hal->Release();
        hal = Make<hal_test::TestHal>();
    }
}

TEST_F(TopologyTest, LevelsAndSwitchesFollowTheSizeProtocol)
{
    BuildHeadset();
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    sim::audio::Filter filter(port);
    const ULONG channel = 1;
    LONG level = -20 * 65536;
    ASSERT_EQ(filter.Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, &channel, 4, &level, 4),
              STATUS_SUCCESS);
    LONG read = 0;
    ULONG size = 4;
    ASSERT_EQ(filter.Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, &channel, 4, &read, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(read, level);
    LONG direct = 0;
    ASSERT_EQ(volume->GetLevel(channel, &direct), STATUS_SUCCESS);
    EXPECT_EQ(direct, level);
    size = 4;
    EXPECT_EQ(filter.Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_VOLUMELEVEL, 1, &channel, 3, &read, &size),
              STATUS_INVALID_PARAMETER);

    ULONG channels = 0;
    ASSERT_EQ(volume->GetChannelCount(&channels), STATUS_SUCCESS);
    const ULONG full = 56 + 16 * channels;
    std::vector<UCHAR> support(full);
    size = 0;
    EXPECT_EQ(filter.Support(KSPROPSETID_Audio, 4, 1, nullptr, 0, nullptr, &size), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, full);
    size = 3;
    EXPECT_EQ(filter.Support(KSPROPSETID_Audio, 4, 1, nullptr, 0, support.data(), &size),
              STATUS_BUFFER_TOO_SMALL);
    size = 4;
    ASSERT_EQ(filter.Support(KSPROPSETID_Audio, 4, 1, nullptr, 0, support.data(), &size), STATUS_SUCCESS);
    EXPECT_EQ(size, 4u);
    ULONG access = 0;
    std::memcpy(&access, support.data(), 4);
    EXPECT_EQ(access, 0x203u);
    size = 40;
    ASSERT_EQ(filter.Support(KSPROPSETID_Audio, 4, 1, nullptr, 0, support.data(), &size), STATUS_SUCCESS);
    KSPROPERTY_DESCRIPTION description;
    std::memcpy(&description, support.data(), 40);
    EXPECT_EQ(description.DescriptionSize, full);
    EXPECT_EQ(description.PropTypeSet.Id, ULONG(VT_I4));
    EXPECT_EQ(description.MembersListCount, 1u);
    size = full;
    ASSERT_EQ(filter.Support(KSPROPSETID_Audio, 4, 1, nullptr, 0, support.data(), &size), STATUS_SUCCESS);
    KSPROPERTY_MEMBERSHEADER header;
    std::memcpy(&header, support.data() + 40, 16);
    EXPECT_EQ(header.MembersFlags, 2u);
    EXPECT_EQ(header.MembersSize, 16u);
    EXPECT_EQ(header.MembersCount, channels);
    EXPECT_EQ(header.Flags, 2u);
    for (ULONG c = 0; c < channels; ++c)
    {
        KSPROPERTY_STEPPING_LONG range;
        std::memcpy(&range, support.data() + 56 + 16 * c, 16);
        EXPECT_EQ(range.SteppingDelta, ULONG(kStep));
        EXPECT_EQ(range.Bounds.SignedMinimum, kMinimum);
        EXPECT_EQ(range.Bounds.SignedMaximum, kMaximum);
    }

    // Mute: a boolean per channel, any non-zero value sets 1.
    ULONG on = 7;
    ASSERT_EQ(filter.Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, 0, &channel, 4, &on, 4), STATUS_SUCCESS);
    ULONG muted = 0xFFFFFFFF;
    size = 4;
    ASSERT_EQ(filter.Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, 0, &channel, 4, &muted, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(muted, 1u); // the upper bytes are cleared, not left from the stack
    size = ULONG(support.size());
    ASSERT_EQ(filter.Support(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, 0, nullptr, 0, support.data(), &size),
              STATUS_SUCCESS);
    std::memcpy(&description, support.data(), 40);
    EXPECT_EQ(description.PropTypeSet.Id, ULONG(VT_BOOL));
    KSPROPERTY_STEPPING_LONG boolRange;
    std::memcpy(&boolRange, support.data() + 56, 16);
    EXPECT_EQ(boolRange.Bounds.SignedMaximum, 1);

    // The mux selects its input; the name set answers the node's name under the size protocol.
    ULONG input = 2;
    ASSERT_EQ(filter.Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, 4, nullptr, 0, &input, 4),
              STATUS_SUCCESS);
    ULONG selected = 0;
    size = 4;
    ASSERT_EQ(filter.Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE, 4, nullptr, 0, &selected, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(selected, 2u);
}

TEST_F(TopologyTest, PinPropertiesDescribeJacksAndWords)
{
    BuildHeadset();
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    sim::audio::Filter filter(port);
    ULONG version = 0;
    ULONG size = 4;
    ASSERT_EQ(filter.Get(kPrivateSet, 2, PCFILTER_NODE, nullptr, 0, &version, &size), STATUS_SUCCESS);
    EXPECT_EQ(version, 0x30000u);

    const ULONG pin = 2;
    UCHAR answer[64];
    size = 0;
    EXPECT_EQ(filter.Get(KSPROPSETID_Jack, 1, PCFILTER_NODE, &pin, 4, nullptr, &size),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 36u);
    size = 35;
    EXPECT_EQ(filter.Get(KSPROPSETID_Jack, 1, PCFILTER_NODE, &pin, 4, answer, &size),
              STATUS_BUFFER_TOO_SMALL);
    size = 36;
    ASSERT_EQ(filter.Get(KSPROPSETID_Jack, 1, PCFILTER_NODE, &pin, 4, answer, &size), STATUS_SUCCESS);
    const ULONG jack[9] = {36, 1, 3, 0, 7, 14, 1, 1, 1};
    EXPECT_EQ(std::memcmp(answer, jack, 36), 0);
    size = sizeof(answer);
    ASSERT_EQ(filter.Get(KSPROPSETID_Jack, 2, PCFILTER_NODE, &pin, 4, answer, &size), STATUS_SUCCESS);
    const ULONG jack2[4] = {16, 1, 0, 1};
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(std::memcmp(answer, jack2, 16), 0);
    const ULONG beyond = 4;
    size = sizeof(answer);
    EXPECT_EQ(filter.Get(KSPROPSETID_Jack, 1, PCFILTER_NODE, &beyond, 4, answer, &size),
              STATUS_INVALID_DEVICE_REQUEST);
    size = 32;
    ASSERT_EQ(filter.Get(kPinWordsSet, 1, PCFILTER_NODE, &pin, 4, answer, &size), STATUS_SUCCESS);
    const ULONG words[8] = {32, 33, 34, 35, 36, 37, 38, 39}; // terminal 2's
    EXPECT_EQ(std::memcmp(answer, words, 32), 0);
    size = sizeof(answer);
    ASSERT_EQ(filter.Support(KSPROPSETID_Jack, 1, PCFILTER_NODE, &pin, 4, answer, &size), STATUS_SUCCESS);
    ULONG access = 0;
    std::memcpy(&access, answer, 4);
    EXPECT_EQ(access, 0x201u);
    EXPECT_EQ(size, 40u);

    // A terminal without jacks has no description to give.
    const ULONG streaming = 0, streamingPin = 1;
    ASSERT_EQ(static_cast<CTerminalNode *>(nodes[0])->InitTerminal(1, &streaming, 0, nullptr),
              STATUS_SUCCESS);
    size = sizeof(answer);
    EXPECT_EQ(filter.Get(KSPROPSETID_Jack, 1, PCFILTER_NODE, &streamingPin, 4, answer, &size),
              STATUS_INVALID_DEVICE_REQUEST);

    // The jack buffer is pool memory; without it the answer fails and nothing is written.
    sim::FailAllocation(1);
    size = sizeof(answer);
    EXPECT_EQ(filter.Get(KSPROPSETID_Jack, 1, PCFILTER_NODE, &pin, 4, answer, &size),
              STATUS_INSUFFICIENT_RESOURCES);
}

TEST_F(TopologyTest, ControlChangesReachSubscribersOfTheirNode)
{
    BuildHeadset();
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    sim::audio::Filter filter(port);
    std::unique_ptr<sim::audio::Subscription> subscription;
    ASSERT_EQ(filter.Subscribe(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, 1, &subscription),
              STATUS_SUCCESS);
    std::unique_ptr<sim::audio::Subscription> none;
    EXPECT_EQ(filter.Subscribe(KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, 4, &none),
              STATUS_NOT_FOUND);

    ControlChangeMessage message = MakeControlChangeMessage(12);
    ExNotifyCallback(hal->CallbackObject(), &message, nullptr);
    EXPECT_EQ(subscription->Signals(), 1u);
    ControlChangeMessage other = {2, 1, 12, 0};
    ExNotifyCallback(hal->CallbackObject(), &other, nullptr);
    ControlChangeMessage unknown = MakeControlChangeMessage(99);
    ExNotifyCallback(hal->CallbackObject(), &unknown, nullptr);
    EXPECT_EQ(subscription->Signals(), 1u);

    const ULONG channel = 0;
    LONG level = -65536;
    ASSERT_EQ(filter.Set(kPrivateSet, 3, 1, &channel, 4, &level, 4), STATUS_SUCCESS);
    EXPECT_EQ(subscription->Signals(), 2u);
    EXPECT_EQ(subscription->Wait(1), STATUS_SUCCESS);

    subscription.reset();
    ExNotifyCallback(hal->CallbackObject(), &message, nullptr);
    EXPECT_EQ(sim::portcls::ListedEvents(port), 0u);
}

TEST_F(TopologyTest, EveryAllocationOfCreationAndInitCanFailCleanly)
{
    BuildHeadset();
    g_values[u"HeadPhoneOutName_02"] = kBassName;
    for (IAudioNode *node : nodes)
        hal->startFilters.push_back(node);
    ASSERT_EQ(hal->Init(nullptr, &device, nullptr, nullptr), STATUS_SUCCESS);
    hal->startFilters.clear();
    // What a whole topology miniport describes: its name and the counts of its description.
    auto shape = [&]
    {
        auto *topology = MiniportAs<CMiniportTopology, IMiniportTopology>(IID_IMiniportTopology);
        PPCFILTER_DESCRIPTOR d = nullptr;
        PWSTR name = nullptr;
        if (!topology || !NT_SUCCESS(topology->GetDescription(&d)) || !d ||
            !NT_SUCCESS(topology->GetName(&name)) || !name)
            return std::vector<std::u16string>{};
        return std::vector<std::u16string>{name, std::u16string(1, char16_t(d->PinCount)),
                                           std::u16string(1, char16_t(d->NodeCount)),
                                           std::u16string(1, char16_t(d->ConnectionCount))};
    };
    ASSERT_EQ(OpenPort(CreateTopology, CLSID_PortTopology, &device, static_cast<IAudioHal *>(hal)),
              STATUS_SUCCESS);
    const auto whole = shape();
    ASSERT_FALSE(whole.empty());
    ASSERT_FALSE(whole[0].empty());
    Close();
    FailEachAllocation(
        [&] { return OpenPort(CreateTopology, CLSID_PortTopology, &device, static_cast<IAudioHal *>(hal)); },
        [&](NTSTATUS status)
        {
            if (!NT_SUCCESS(status))
            {
                EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            }
            else
            {
                EXPECT_EQ(shape(), whole) << "a success is the whole miniport";
            }
            Close();
        });
}

} // namespace

namespace
{

TEST_F(TopologyTest, RegistrationPublishesTheTopologyAndAWaveEndpointWhileItsJackIsConnected)
{
    BuildHeadset();
    CStreamEngine *engine = new (NonPagedPool, PoolTag::USBS) CStreamEngine(nullptr, 0);
    engine->AddRef();
    ASSERT_EQ(engine->Initialize(0), STATUS_SUCCESS);
    WAVEFORMATEXTENSIBLE format{};
    format.Format = {WAVE_FORMAT_EXTENSIBLE, 2, 48000, 192000, 4, 16, 22};
    format.Samples.wValidBitsPerSample = 16;
    format.dwChannelMask = 3;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    ASSERT_EQ(engine->AddFormat(format), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetName(u"HPOut00"), STATUS_SUCCESS);
    auto *headphones = static_cast<CTerminalNode *>(nodes[1]);
    ASSERT_EQ(engine->AttachNode(nodes[0]), STATUS_SUCCESS); // the streaming input terminal
    ASSERT_EQ(engine->AttachNode(headphones), STATUS_SUCCESS);
    hal->startEngines = {engine};
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    ASSERT_EQ(PcRegisterSubdevice(&device, u"GlobalTopo", port), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetMiniport(CreateMiniportWaveCyclic, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    ASSERT_EQ(engine->SetTopology(port, miniportUnknown), STATUS_SUCCESS);
    ASSERT_EQ(engine->UpdateRegistration(&device, nullptr, static_cast<IAudioHal *>(hal)), STATUS_SUCCESS);

    const auto render = sim::audio::FiltersOf(KSCATEGORY_RENDER);
    ASSERT_EQ(render.size(), 1u);
    EXPECT_EQ(render[0].Name, "HPOut00Wave");
    EXPECT_EQ(sim::audio::FiltersOf(KSCATEGORY_REALTIME).size(), 2u);
    const auto topology = sim::audio::FiltersOf(KSCATEGORY_TOPOLOGY);
    ASSERT_EQ(topology.size(), 1u);
    EXPECT_EQ(topology[0].Name, "GlobalTopo");
    const GUID enumeration = {0x3FA6E638, 0xDC0F, 0x400F, {0x90, 0x5B, 0x7D, 0x76, 0xE0, 0x8D, 0x50, 0xC7}};
    EXPECT_TRUE(sim::audio::FiltersOf(enumeration).empty());
    ULONG pin = 0;
    ASSERT_EQ(miniport->GetPinForTerminal(1, &pin), STATUS_SUCCESS);
    const auto connections = sim::portcls::Connections();
    ASSERT_EQ(connections.size(), 1u);
    EXPECT_EQ(connections[0].From, render[0].Port);
    EXPECT_EQ(connections[0].FromPin, 1u);
    EXPECT_EQ(connections[0].To, port);
    EXPECT_EQ(connections[0].ToPin, pin);

    // The jack unplugged: the endpoint, its interfaces and its connection go.
    JackRecord unplugged = kDefaultJackRecord;
    unplugged.IsConnected = 0;
    const ULONG type = 2;
    ASSERT_EQ(headphones->InitTerminal(1, &type, 1, &unplugged), STATUS_SUCCESS);
    ASSERT_EQ(engine->UpdateRegistration(&device, nullptr, static_cast<IAudioHal *>(hal)), STATUS_SUCCESS);
    EXPECT_TRUE(sim::audio::FiltersOf(KSCATEGORY_RENDER).empty());
    EXPECT_TRUE(sim::portcls::Connections().empty());
    EXPECT_EQ(sim::portcls::Subdevices().size(), 1u);

    PVOID object = nullptr;
    ASSERT_EQ(port->QueryInterface(IID_IUnregisterSubdevice, &object), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<IUnregisterSubdevice *>(object)->UnregisterSubdevice(&device, port),
              STATUS_SUCCESS);
    static_cast<IUnregisterSubdevice *>(object)->Release();
    engine->SetTopology(nullptr, nullptr);
    Close();
    hal->Release();
    hal = nullptr;
    engine->Release();
}

} // namespace

namespace
{

TEST_F(TopologyTest, DeviceSpecificUnitsAnswerThroughTheirOwnInterfaces)
{
    Terminal(2, NODE_KIND_OUTPUT_TERMINAL, 2, 40);
    auto *output = Make<hal_test::FakeNode>(40u, 19u); // kind 19: the value behind the output bind
    output->answers = hal_test::FakeNode::ANSWERS_OUTPUT_BIND;
    const ULONG source41 = 41;
    output->SetSources(1, &source41);
    nodes.push_back(output);
    auto *input = Make<hal_test::FakeNode>(41u, 15u); // kind 15: the input bind
    input->answers = hal_test::FakeNode::ANSWERS_INPUT_BIND;
    const ULONG source42 = 42;
    input->SetSources(1, &source42);
    nodes.push_back(input);
    Level(42, NODE_KIND_LEVEL_8, 1);
    Terminal(1, NODE_KIND_INPUT_TERMINAL, 0);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    sim::audio::Filter filter(port);

    ULONG value = 1;
    ASSERT_EQ(filter.Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0, nullptr, 0, &value, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(output->value, 1u);
    input->value = 7;
    ULONG read = 0;
    ULONG size = 4;
    ASSERT_EQ(filter.Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 1, nullptr, 0, &read, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(read, 7u);

    // The 80-byte form: one 24-byte member carrying the node's name.
    UCHAR support[96];
    size = 0;
    EXPECT_EQ(filter.Support(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0, nullptr, 0, nullptr, &size),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 80u);
    size = 80;
    ASSERT_EQ(filter.Support(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0, nullptr, 0, support, &size),
              STATUS_SUCCESS);
    KSPROPERTY_DESCRIPTION description;
    KSPROPERTY_MEMBERSHEADER header;
    std::memcpy(&description, support, 40);
    std::memcpy(&header, support + 40, 16);
    EXPECT_EQ(description.AccessFlags, 0x202u);
    EXPECT_EQ(description.PropTypeSet.Id, ULONG(VT_BOOL));
    EXPECT_EQ(header.MembersFlags, ULONG(KSPROPERTY_MEMBER_VALUES));
    EXPECT_EQ(header.MembersSize, 24u);
    const GUID kind19Name = {0xFDA49636, 0xC86D, 0x4E91, {0xA7, 0x07, 0xA1, 0x25, 0x2E, 0x3F, 0x19, 0xE6}};
    EXPECT_EQ(std::memcmp(support + 56, &kind19Name, 16), 0);

    // Kind 8: a level per channel; the 92-byte form carries the name and the unit's range.
    size = sizeof(support);
    ASSERT_EQ(filter.Support(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 2, nullptr, 0, support, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(size, 92u);
    LONG range[3];
    std::memcpy(range, support + 72, 12);
    EXPECT_EQ(range[0], kMaximum);
    EXPECT_EQ(range[1], kMinimum);
    EXPECT_EQ(range[2], kStep);
    const ULONG channel = 1;
    LONG level = -3 * 65536;
    ASSERT_EQ(filter.Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 2, &channel, 4, &level, 4),
              STATUS_SUCCESS);
    LONG back = 0;
    size = 4;
    ASSERT_EQ(filter.Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 2, &channel, 4, &back, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(back, level);

    // The name set: 15 bytes are too few, 16 take the name.
    GUID name{};
    size = 15;
    EXPECT_EQ(filter.Get(kNodeNameSet, 1, 0, nullptr, 0, &name, &size), STATUS_BUFFER_TOO_SMALL);
    size = 16;
    ASSERT_EQ(filter.Get(kNodeNameSet, 1, 0, nullptr, 0, &name, &size), STATUS_SUCCESS);
    EXPECT_TRUE(name == kind19Name);
}

} // namespace

namespace
{

TEST_F(TopologyTest, AuxAndStereoMixPinsFollowTheSystemVersion)
{
    const GUID analog = {0xDFF21FE1, 0xF70F, 0x11D0, {0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
    const GUID olderMix = {0x00DFF077, 0x96E3, 0x11D2, {0xAC, 0x4C, 0x00, 0xC0, 0x4F, 0x8E, 0xFB, 0x68}};
    const GUID auxName = {0x5F4BB488, 0xA646, 0x408A, {0x92, 0x65, 0x86, 0x47, 0xF9, 0xC3, 0x74, 0xD4}};
    const GUID mixName = {0x8C5716E6, 0xC984, 0x492E, {0xA2, 0xFB, 0x13, 0x85, 0xF2, 0xD0, 0xF3, 0xC9}};
    Terminal(5, NODE_KIND_INPUT_TERMINAL, 8);
    Terminal(6, NODE_KIND_INPUT_TERMINAL, 16);
    for (ULONG version : {0x06010000u, 0x05010000u})
    {
        SCOPED_TRACE(version);
        sim::SetNtDdiVersion(version);
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        sim::audio::Filter filter(port);
        const auto pins = filter.Pins();
        ASSERT_EQ(pins.size(), 2u);
        const bool newer = version >= 0x06000000;
        EXPECT_TRUE(*pins[0].Category == analog);
        EXPECT_TRUE(newer ? pins[0].Name && *pins[0].Name == auxName : pins[0].Name == nullptr);
        EXPECT_TRUE(*pins[1].Category == (newer ? analog : olderMix));
        EXPECT_TRUE(newer ? pins[1].Name && *pins[1].Name == mixName : pins[1].Name == nullptr);
        // The printer lists every pin and the jack each reports.
        const std::string printed = filter.Print();
        EXPECT_NE(printed.find("pin 1: in bridge"), std::string::npos) << printed;
        EXPECT_NE(
            printed.find("jack pin 0.0: channels 0x3 color 0x000000 type 7 location 14/1 port 1 connected 1"),
            std::string::npos)
            << printed;
        Close();
        hal->Release();
        hal = Make<hal_test::TestHal>();
    }
}

} // namespace

namespace
{

constexpr GUID kStateSet = {0xED76304D, 0xB322, 0x4ECB, {0x9B, 0x9E, 0x8E, 0x13, 0xC1, 0x46, 0x5F, 0x04}};
constexpr GUID kProcessingSet = {
    0x561BABB8, 0xE02F, 0x4500, {0x9B, 0xEF, 0xE0, 0xBE, 0x8B, 0x7C, 0x46, 0x30}};
constexpr GUID kEffectSet = {0x369C31B9, 0x34E6, 0x4640, {0x99, 0xB6, 0xAD, 0xD1, 0x6C, 0xF1, 0x19, 0x94}};
constexpr GUID kEffectValueSet = {
    0xC268AAF7, 0xE045, 0x4B5B, {0xB4, 0xAD, 0x02, 0xF4, 0xFA, 0x25, 0x86, 0xED}};
constexpr GUID kEffectType = {0xAC02E636, 0xCB62, 0x42EF, {0xA9, 0x7C, 0x5F, 0x4C, 0x1C, 0xDF, 0xEC, 0x13}};
constexpr GUID kNamedType = {0xC7600B33, 0x1AA6, 0x4383, {0x91, 0x8D, 0x30, 0xD8, 0x48, 0xBB, 0xAD, 0x3E}};

// Streaming IT 1 -> stereo volume 56 (kind 16) -> byte 55 (22) -> state 54 (13) -> named value 53 (24)
// -> effect switch 52 (23) -> processing block 51 (20) -> ranged value 50 (17) -> HP OT 2. The units
// are nodes 0 (50) to 6 (56).
class DeviceSpecificTest : public TopologyTest
{
public:
    void SetUp() override
    {
        TopologyTest::SetUp();
        Terminal(1, NODE_KIND_INPUT_TERMINAL, 0);
        Terminal(2, NODE_KIND_OUTPUT_TERMINAL, 2, 50);
        ranged = Fake(50, 17, 51);
        ranged->minimum = 10;
        ranged->maximum = 200;
        block = Fake(51, NODE_KIND_INFO_20, 52);
        effect = Fake(52, NODE_KIND_INFO, 53);
        std::memcpy(effect->words, &kEffectType, sizeof(GUID));
        named = Fake(53, 24, 54);
        named->name = kNamedType;
        for (hal_test::FakeValueNode *info : {block, effect})
        {
            info->value = 4; // the table's limit
            info->table = {10, 20, 30, 40};
        }
        state = Make<CStateNode>(54u);
        const ULONG rates[] = {48000, 44100, 96000};
        EXPECT_EQ(state->Init(55, 3, rates), STATUS_SUCCESS);
        nodes.push_back(state);
        Switch(55, NODE_KIND_BYTE_22, 56, 1);
        Level(56, 16, 1);
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        filter = std::make_unique<sim::audio::Filter>(port);
    }
    void TearDown() override
    {
        filter.reset();
        TopologyTest::TearDown();
    }
    hal_test::FakeValueNode *Fake(ULONG id, ULONG kind, ULONG source)
    {
        auto *node = Make<hal_test::FakeValueNode>(id, kind);
        EXPECT_EQ(node->SetSources(1, &source), STATUS_SUCCESS);
        nodes.push_back(node);
        return node;
    }
    // Basic support of a value form: the description, the members header and the member bytes.
    std::vector<UCHAR> Support(const GUID &set, ULONG id, ULONG node, ULONG expectedSize)
    {
        std::vector<UCHAR> answer(128);
        ULONG size = ULONG(answer.size());
        EXPECT_EQ(filter->Support(set, id, node, nullptr, 0, answer.data(), &size), STATUS_SUCCESS);
        EXPECT_EQ(size, expectedSize);
        answer.resize(size);
        return answer;
    }
    static ULONG Word(const std::vector<UCHAR> &bytes, size_t at)
    {
        ULONG word = 0;
        std::memcpy(&word, bytes.data() + at, 4);
        return word;
    }

    hal_test::FakeValueNode *ranged = nullptr, *block = nullptr, *effect = nullptr, *named = nullptr;
    CStateNode *state = nullptr;
    std::unique_ptr<sim::audio::Filter> filter;
};

TEST_F(DeviceSpecificTest, NodesAreTypedNamedAndEventfulByKind)
{
    const GUID name17 = {0xA63DF7EA, 0x8A37, 0x450D, {0x83, 0x2C, 0x5B, 0x90, 0x64, 0x23, 0x58, 0x51}};
    const GUID name13 = {0x0D18F5A4, 0x5721, 0x4A07, {0x92, 0xE5, 0x84, 0x30, 0x99, 0xFA, 0x8F, 0xDB}};
    const GUID name22 = {0xDB357A6F, 0xC4B1, 0x4390, {0x8C, 0x07, 0xCB, 0xDF, 0xA9, 0xD5, 0xC0, 0x47}};
    const GUID name16 = {0x2BC31D6A, 0x96E3, 0x11D2, {0xAC, 0x4C, 0x00, 0xC0, 0x4F, 0x8E, 0xFB, 0x68}};
    const struct
    {
        const GUID *type;
        const GUID *name;
        bool events;
    } expected[] = {{&kDevSpecificType, &name17, true},
                    {&kDevSpecificType, &kProcessingSet, false},
                    {&kDevSpecificType, &kEffectType, true},
                    {&kDevSpecificType, &kNamedType, true},
                    {&kDevSpecificType, &name13, true},
                    {&kDevSpecificType, &name22, true},
                    {&kVolumeType, &name16, true}};
    const auto list = filter->Nodes();
    ASSERT_EQ(list.size(), std::size(expected));
    for (size_t i = 0; i < list.size(); ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_TRUE(list[i].Type == *expected[i].type);
        ASSERT_NE(list[i].Name, nullptr);
        EXPECT_TRUE(*list[i].Name == *expected[i].name);
        EXPECT_EQ(list[i].Events.size(), expected[i].events ? 1u : 0u);
    }
    // An effect switch of the model names its node by its effect.
    auto *real = Make<CEffectSwitchNode>(60u, kEffectType);
    ULONG words[INFO_NODE_WORDS];
    ASSERT_EQ(real->GetWords(words), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(words, &kEffectType, sizeof(GUID)), 0);
    real->Release();
}

TEST_F(DeviceSpecificTest, ValuesGoThroughEachKindsInterface)
{
    // Kind 17: a 32-bit value and the 64-byte form with the unit's range.
    ULONG value = 150;
    ASSERT_EQ(filter->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0, nullptr, 0, &value, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(ranged->value, 150u);
    ULONG read = 0;
    ULONG size = 4;
    ASSERT_EQ(filter->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0, nullptr, 0, &read, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(read, 150u);
    auto support = Support(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 0, 64);
    EXPECT_EQ(Word(support, 0), 0x203u);
    EXPECT_EQ(Word(support, 24), ULONG(VT_UI4));
    EXPECT_EQ((std::vector<ULONG>{Word(support, 40), Word(support, 44), Word(support, 48)}),
              (std::vector<ULONG>{KSPROPERTY_MEMBER_RANGES, 8, 1}));
    EXPECT_EQ(Word(support, 56), 10u);
    EXPECT_EQ(Word(support, 60), 200u);

    // Kind 22: the byte goes out in a cleared word.
    ULONG byte = 0xFFFFFFFF;
    size = 4;
    ASSERT_EQ(filter->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 5, nullptr, 0, &byte, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(byte, 0u);

    // Kind 23: the first byte of a set reaches the effect switch, whose status is the answer.
    effect->status = STATUS_DEVICE_BUSY;
    value = 0x0301;
    EXPECT_EQ(filter->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 2, nullptr, 0, &value, 4),
              STATUS_DEVICE_BUSY);
    effect->status = STATUS_SUCCESS;
    ASSERT_EQ(filter->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 2, nullptr, 0, &value, 4),
              STATUS_SUCCESS);
    EXPECT_EQ(effect->sets, (std::vector<ULONG>{1, 1}));
    effect->byte = 1;
    read = 0xFFFFFFFF;
    size = 4;
    ASSERT_EQ(filter->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 2, nullptr, 0, &read, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(read, 1u);
    support = Support(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 2, 80);
    EXPECT_EQ(Word(support, 24), ULONG(VT_BOOL));
    EXPECT_EQ((std::vector<ULONG>{Word(support, 40), Word(support, 44), Word(support, 48)}),
              (std::vector<ULONG>{KSPROPERTY_MEMBER_VALUES, 24, 1}));
    EXPECT_EQ(std::memcmp(support.data() + 56, &kEffectSet, 16), 0);

    // Kind 24: only the named value's property, through its interface.
    value = 9;
    ASSERT_EQ(filter->Set(kEffectValueSet, 1, 3, nullptr, 0, &value, 4), STATUS_SUCCESS);
    EXPECT_EQ(named->value, 9u);
    size = 4;
    ASSERT_EQ(filter->Get(kEffectValueSet, 1, 3, nullptr, 0, &read, &size), STATUS_SUCCESS);
    EXPECT_EQ(read, 9u);
    support = Support(kEffectValueSet, 1, 3, 80);
    EXPECT_EQ(std::memcmp(support.data() + 56, &kEffectValueSet, 16), 0);
    size = 4;
    EXPECT_EQ(filter->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 3, nullptr, 0, &read, &size),
              STATUS_UNSUCCESSFUL);
    size = 4;
    EXPECT_EQ(filter->Get(kEffectSet, 2, 3, nullptr, 0, &read, &size), STATUS_UNSUCCESSFUL);
    GUID name{};
    size = 16;
    EXPECT_EQ(filter->Get(kNodeNameSet, 1, 3, nullptr, 0, &name, &size), STATUS_UNSUCCESSFUL);

    // Kind 13: the property only selects; its set lists the values and the current one.
    size = 4;
    EXPECT_EQ(filter->Get(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 4, nullptr, 0, &read, &size),
              STATUS_INVALID_DEVICE_REQUEST);
    value = 96000;
    ASSERT_EQ(filter->Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, 4, nullptr, 0, &value, 4),
              STATUS_SUCCESS);
    size = 4;
    ASSERT_EQ(filter->Get(kStateSet, 2, 4, nullptr, 0, &read, &size), STATUS_SUCCESS);
    EXPECT_EQ(read, 96000u);
    ULONG list[5] = {};
    size = 0;
    EXPECT_EQ(filter->Get(kStateSet, 1, 4, nullptr, 0, nullptr, &size), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(size, 20u);
    size = 19;
    EXPECT_EQ(filter->Get(kStateSet, 1, 4, nullptr, 0, list, &size), STATUS_BUFFER_TOO_SMALL);
    size = 20;
    ASSERT_EQ(filter->Get(kStateSet, 1, 4, nullptr, 0, list, &size), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(list, list + 5), (std::vector<ULONG>{20, 3, 48000, 44100, 96000}));
}

TEST_F(DeviceSpecificTest, ValueTablesStayWithinTheirLimit)
{
    // The same operations under both sets: (get id, set id, triple id, node, unit).
    const struct
    {
        const GUID *set;
        ULONG getId, setId, tripleId, node;
        hal_test::FakeValueNode *unit;
    } blocks[] = {{&kProcessingSet, 4, 3, 5, 1, block}, {&kEffectSet, 4, 4, 3, 2, effect}};
    for (const auto &b : blocks)
    {
        SCOPED_TRACE(b.node);
        ULONG words[4] = {};
        ULONG size = sizeof(words);
        b.unit->words[2] = 0x77;
        ASSERT_EQ(filter->Get(*b.set, 1, b.node, nullptr, 0, words, &size), STATUS_SUCCESS);
        EXPECT_EQ(words[2], 0x77u);
        ULONG limit = 0;
        size = 4;
        ASSERT_EQ(filter->Get(*b.set, 2, b.node, nullptr, 0, &limit, &size), STATUS_SUCCESS);
        EXPECT_EQ(limit, 4u);

        // Gets of (first, count): the size protocol, then the entries behind a counted header.
        ULONG span[2] = {1, 2};
        ULONG answer[4] = {};
        size = 0;
        EXPECT_EQ(filter->Get(*b.set, b.getId, b.node, span, 8, nullptr, &size), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(size, 16u);
        size = 15;
        EXPECT_EQ(filter->Get(*b.set, b.getId, b.node, span, 8, answer, &size), STATUS_BUFFER_TOO_SMALL);
        size = 16;
        ASSERT_EQ(filter->Get(*b.set, b.getId, b.node, span, 8, answer, &size), STATUS_SUCCESS);
        EXPECT_EQ(std::vector<ULONG>(answer, answer + 4), (std::vector<ULONG>{16, 2, 20, 30}));
        size = 16;
        EXPECT_EQ(filter->Get(*b.set, b.getId, b.node, span, 7, answer, &size), STATUS_INVALID_PARAMETER);
        // first <= N and count <= N - first, without a sum that wraps: refused before the unit is asked.
        // An empty span at N is fine.
        b.unit->tableFirsts.clear();
        for (const auto &bad :
             std::vector<std::vector<ULONG>>{{0xFFFFFFFF, 1}, {1, 0xFFFFFFFF}, {5, 0}, {3, 2}})
        {
            size = 16;
            EXPECT_EQ(filter->Get(*b.set, b.getId, b.node, bad.data(), 8, answer, &size),
                      STATUS_INVALID_PARAMETER);
        }
        EXPECT_TRUE(b.unit->tableFirsts.empty());
        // The entries are read into pool memory first; without it nothing is answered.
        sim::FailAllocation(1);
        size = 16;
        EXPECT_EQ(filter->Get(*b.set, b.getId, b.node, span, 8, answer, &size),
                  STATUS_INSUFFICIENT_RESOURCES);
        sim::FailAllocation(0);
        span[0] = 4, span[1] = 0;
        size = 16;
        ASSERT_EQ(filter->Get(*b.set, b.getId, b.node, span, 8, answer, &size), STATUS_SUCCESS);
        EXPECT_EQ(size, 8u);
        // A unit claiming the whole 32 bits still gets no answer it cannot size.
        b.unit->value = 0xFFFFFFFF;
        const ULONG huge[2] = {0, 0x40000000};
        size = 16;
        EXPECT_EQ(filter->Get(*b.set, b.getId, b.node, huge, 8, answer, &size), STATUS_INVALID_PARAMETER);
        size = 0;
        EXPECT_EQ(filter->Get(*b.set, b.getId, b.node, huge, 8, nullptr, &size), STATUS_INVALID_PARAMETER);
        b.unit->value = 4;

        // Sets carry exactly their count of words after an 8-byte header.
        const ULONG wrap[2] = {0xFFFFFFFF, 1};
        ULONG set[5] = {16, 2, 7, 8, 9}; // room for the longer wrong size
        EXPECT_EQ(filter->Set(*b.set, b.setId, b.node, wrap, 8, set, 12), STATUS_INVALID_PARAMETER);
        const ULONG at2[2] = {2, 2};
        for (ULONG wrongSize : {12u, 20u})
            EXPECT_EQ(filter->Set(*b.set, b.setId, b.node, at2, 8, set, wrongSize), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(b.unit->table, (std::vector<ULONG>{10, 20, 30, 40}));
        EXPECT_EQ(b.unit->tableFirsts, (std::vector<ULONG>{4})); // only the empty span at N
        ASSERT_EQ(filter->Set(*b.set, b.setId, b.node, at2, 8, set, 16), STATUS_SUCCESS);
        EXPECT_EQ(b.unit->table, (std::vector<ULONG>{10, 20, 7, 8}));

        // The entry at first as three words.
        ULONG triple[3] = {};
        const ULONG first = 1, last = 4;
        size = 11;
        EXPECT_EQ(filter->Get(*b.set, b.tripleId, b.node, &first, 4, triple, &size), STATUS_BUFFER_TOO_SMALL);
        size = 12;
        ASSERT_EQ(filter->Get(*b.set, b.tripleId, b.node, &first, 4, triple, &size), STATUS_SUCCESS);
        EXPECT_EQ(std::vector<ULONG>(triple, triple + 3), (std::vector<ULONG>{20, 21, 22}));
        size = 12;
        EXPECT_EQ(filter->Get(*b.set, b.tripleId, b.node, &last, 4, triple, &size), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(b.unit->tableFirsts.back(), 1u);
        b.unit->table = {10, 20, 30, 40};
    }
}

} // namespace
