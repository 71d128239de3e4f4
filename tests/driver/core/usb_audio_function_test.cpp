// The USB audio function model on the virtual headsets: the walks' unit list, node graph and stream
// engines against hand-written tables, the formats a streaming interface offers, the graph completion
// before and after Vista, and malformed configurations ending the walks with a clear status.
#include <gtest/gtest.h>

#include "driver/base/pool_memory.h"
#include "driver/core/usb_audio_function.h"
#include "usb_fixture.h"

#include <functional>
#include <string>
#include <vector>

using usbsim::Bytes;

namespace
{

class FunctionHal : public CAudioHal
{
public:
    explicit FunctionHal(PUNKNOWN outer) : CAudioHal(outer) {}
    NTSTATUS StartHardware() override { return STATUS_SUCCESS; }
};

class FunctionModelTest : public UsbLayerTest
{
protected:
    void Plug(std::shared_ptr<usbsim::VirtualDevice> headset, UsbAudioDeviceClass deviceClass)
    {
        Attach(headset);
        StartHardware();
        hal = new (NonPagedPool, PoolTag::UAC1) FunctionHal(nullptr);
        hal->AddRef();
        ASSERT_EQ(hal->Init(nullptr, fdo, nullptr, nullptr), STATUS_SUCCESS);
        inputs = {deviceClass, headset->VendorId(), headset->ProductId(), {}, FALSE};
        model = std::make_unique<CUsbAudioFunctionModel>();
        ASSERT_EQ(model->Init(inputs, hal, nullptr, layer.get(), {}), STATUS_SUCCESS);
    }
    NTSTATUS Walk()
    {
        NTSTATUS status = model->ParseControlFromConfig(layer.get());
        return NT_SUCCESS(status) ? model->ParseStreamingFromConfig(layer.get()) : status;
    }
    // Ends this round of a multi-round test with the end-of-test checks and starts a fresh bench.
    void NextRound()
    {
        model.reset();
        if (hal)
            hal->Release();
        hal = nullptr;
        Restart();
    }
    void TearDown() override
    {
        model.reset();
        if (hal)
            hal->Release();
        hal = nullptr;
        UsbLayerTest::TearDown();
    }
    // "id:kind<-source,source" for every node of the graph.
    std::vector<std::string> Graph()
    {
        std::vector<std::string> out;
        for (ULONG i = 0; i < hal->GetFilterCount(); ++i)
        {
            IAudioNode *node = nullptr;
            hal->GetFilter(i, &node);
            std::string text = std::to_string(node->GetId()) + ":" + std::to_string(node->GetKind()) + "<-";
            ULONG sources[16], count = 16;
            node->GetSources(&count, sources);
            for (ULONG s = 0; s < count; ++s)
                text += (s ? "," : "") +
                        (sources[s] == 0xFFFFFFFFu ? std::string("none") : std::to_string(sources[s]));
            out.push_back(text);
        }
        return out;
    }
    // The node IDs an engine holds, and its formats as "channels/rate/mask/subformat".
    std::vector<ULONG> EngineNodes(ULONG engineIndex)
    {
        IStreamEngine *engine = nullptr;
        hal->GetEngine(engineIndex, &engine);
        std::vector<ULONG> ids;
        IAudioNode *node = nullptr;
        for (ULONG i = 0; NT_SUCCESS(engine->GetNode(i, &node)) && node; ++i)
            ids.push_back(node->GetId());
        return ids;
    }
    std::vector<std::string> Formats(ULONG engineIndex)
    {
        IStreamEngine *engine = nullptr;
        hal->GetEngine(engineIndex, &engine);
        std::vector<std::string> out;
        WAVEFORMATEXTENSIBLE f{};
        for (ULONG i = 0; NT_SUCCESS(engine->GetFormat(i, &f)); ++i)
        {
            char text[80];
            std::snprintf(text, sizeof text, "%u/%u/%X/%04X/%u", f.Format.nChannels,
                          unsigned(f.Format.nSamplesPerSec), unsigned(f.dwChannelMask),
                          unsigned(f.SubFormat.Data1), f.Format.nBlockAlign);
            out.push_back(text);
        }
        return out;
    }

    FunctionHal *hal = nullptr;
    UsbAudioFunctionInputs inputs{};
    std::unique_ptr<CUsbAudioFunctionModel> model;
};

// Where a descriptor of `type` (and `subtype`) lies in the configuration, the n-th of them.
size_t At(const Bytes &config, uint8_t type, int subtype, unsigned nth = 0)
{
    const long at = usbsim::FindDescriptor(config, type, subtype, nth);
    EXPECT_GE(at, 0);
    return size_t(at);
}

// Inserts a class descriptor after the AudioControl interface's others (before its endpoint).
void AddControlDescriptor(usbsim::DescriptorSet &set, const Bytes &descriptor)
{
    usbsim::Insert(set.configuration, At(set.configuration, USB_ENDPOINT_DESCRIPTOR_TYPE, -1, 0), descriptor);
    usbsim::FixTotalLength(set.configuration);
}

TEST_F(FunctionModelTest, Uac1WalkGivesTheGoldenGraph)
{
    Plug(usbsim::VirtualDevice::Uac1(), UsbAudioDeviceClass::Uac1);
    ASSERT_EQ(Walk(), STATUS_SUCCESS);
    EXPECT_EQ(model->UnitCount(), 6u);
    EXPECT_EQ(model->ControlInterface(), 0);
    // IT 1, FU 2 (mute, volume, the vendor switch the extension block names), OT 3, IT 4, FU 5, OT 6.
    // A unit is linked to its source's first node.
    EXPECT_EQ(Graph(), (std::vector<std::string>{"0:0<-", "1:2<-0", "2:3<-1", "3:23<-2", "4:1<-1", "5:0<-",
                                                 "6:2<-5", "7:3<-6", "8:23<-7", "9:1<-6"}));
    IUsbAudioUnit *unit = nullptr;
    ASSERT_EQ(model->FindUnitById(usbsim::kUac1PlaybackFu, &unit), STATUS_SUCCESS);
    ULONG first = 0;
    ASSERT_EQ(unit->GetFirstNodeId(&first), STATUS_SUCCESS);
    EXPECT_EQ(first, 1u);
    EXPECT_EQ(model->FindUnitById(99, &unit), STATUS_UNSUCCESSFUL);
    // Render from the headphone jack back to the streaming terminal; capture from its terminal.
    ASSERT_EQ(hal->GetEngineCount(), 2u);
    EXPECT_EQ(EngineNodes(0), (std::vector<ULONG>{4, 1, 0}));
    EXPECT_EQ(EngineNodes(1), (std::vector<ULONG>{9, 6, 5}));
    EXPECT_EQ(Formats(0), (std::vector<std::string>{"2/44100/3/0001/4", "2/48000/3/0001/4"}));
    EXPECT_EQ(Formats(1), (std::vector<std::string>{"1/44100/4/0001/2", "1/48000/4/0001/2",
                                                    "1/44100/0/0001/2", "1/48000/0/0001/2"}));
}

TEST_F(FunctionModelTest, Uac2WalkGivesTheGoldenGraph)
{
    Plug(usbsim::VirtualDevice::Uac2(), UsbAudioDeviceClass::Uac2);
    ASSERT_EQ(Walk(), STATUS_SUCCESS);
    EXPECT_EQ(model->UnitCount(), 7u);
    EXPECT_EQ(Graph(), (std::vector<std::string>{"0:12<-", "1:0<-", "2:2<-1", "3:3<-2", "4:1<-2", "5:0<-",
                                                 "6:2<-5", "7:3<-6", "8:1<-6"}));
    EXPECT_EQ(EngineNodes(0), (std::vector<ULONG>{4, 2, 1}));
    EXPECT_EQ(EngineNodes(1), (std::vector<ULONG>{8, 6, 5}));
    // The clock's three rates on both alternate settings (16 and 24 bits), masks from the descriptor.
    EXPECT_EQ(Formats(0),
              (std::vector<std::string>{"2/44100/3/0001/4", "2/48000/3/0001/4", "2/96000/3/0001/4",
                                        "2/44100/3/0001/6", "2/48000/3/0001/6", "2/96000/3/0001/6"}));
    EXPECT_EQ(Formats(1).size(), 3u);
}

TEST_F(FunctionModelTest, BeforeVistaACaptureGetsAStateNodeAndATerminalPairAMute)
{
    sim::SetNtDdiVersion(0x05010000);
    auto headset = usbsim::VirtualDevice::Uac1();
    // The playback terminal fed straight from the streaming terminal: a path of two nodes.
    Bytes &config = headset->Descriptors().configuration;
    config[At(config, 0x24, UAC_OUTPUT_TERMINAL) + 7] = usbsim::kUac1PlaybackIt;
    Plug(headset, UsbAudioDeviceClass::Uac1);
    ASSERT_EQ(Walk(), STATUS_SUCCESS);
    sim::SetNtDdiVersion(0x06010000);
    // 10: the software mute fed by the streaming terminal, 11: its state node, feeding the OT;
    // 12: the capture path's state node between its feature unit and its terminal.
    const std::vector<std::string> graph = Graph();
    ASSERT_EQ(graph.size(), 13u);
    EXPECT_EQ(graph[4], "4:1<-11");
    EXPECT_EQ(graph[10], "10:2<-0");
    EXPECT_EQ(graph[11], "11:13<-10");
    EXPECT_EQ(graph[12], "12:13<-6");
    EXPECT_EQ(graph[9], "9:1<-12");
    EXPECT_EQ(EngineNodes(0), (std::vector<ULONG>{4, 0, 10, 11}));
    // The mute is one of the engine's processing nodes, run once per chunk.
    IAudioNode *mute = nullptr;
    ASSERT_EQ(hal->FindFilter(10, &mute), STATUS_SUCCESS);
    EXPECT_TRUE(QueryAs<IProcessingNode>(mute, IID_IProcessingNode) != nullptr);
    mute->Release(); // the query's reference
}

TEST_F(FunctionModelTest, OnVistaATerminalPairGetsOnlyTheMute)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    Bytes &config = headset->Descriptors().configuration;
    config[At(config, 0x24, UAC_OUTPUT_TERMINAL) + 7] = usbsim::kUac1PlaybackIt;
    Plug(headset, UsbAudioDeviceClass::Uac1);
    ASSERT_EQ(Walk(), STATUS_SUCCESS);
    const std::vector<std::string> graph = Graph();
    ASSERT_EQ(graph.size(), 11u);
    EXPECT_EQ(graph[10], "10:2<-0");
    EXPECT_EQ(graph[4], "4:1<-10");

    // The render engine runs the mute on its blocks, and holds it once: the device's list, the
    // engine's attached nodes and its processing nodes each keep one reference, no more.
    IStreamEngine *render = nullptr;
    ASSERT_EQ(hal->GetEngine(0, &render), STATUS_SUCCESS);
    ASSERT_EQ(render->GetEngineId(), 0u);
    EXPECT_EQ(EngineNodes(0), (std::vector<ULONG>{4, 0, 10}));
    IAudioNode *node = nullptr;
    ASSERT_EQ(hal->FindFilter(10, &node), STATUS_SUCCESS);
    EXPECT_EQ(node->AddRef(), 4u);
    node->Release();
    auto *engine = static_cast<CStreamEngine *>(render);
    WAVEFORMATEXTENSIBLE format{};
    ASSERT_EQ(render->GetFormat(0, &format), STATUS_SUCCESS);
    engine->SetCurrentFormat(format);
    auto *mute = QueryAs<ISwitchValue>(node, IID_ISwitchValue);
    ASSERT_NE(mute, nullptr);
    std::vector<UCHAR> block(format.Format.nBlockAlign * 64u, 0x11);
    auto process = [&]
    {
        NTSTATUS status = STATUS_PENDING;
        AtDispatch([&] { status = engine->ProcessBlock(block.data(), ULONG(block.size())); });
        return status;
    };
    ASSERT_EQ(process(), STATUS_SUCCESS);
    EXPECT_EQ(block, std::vector<UCHAR>(block.size(), 0x11)); // mute off: untouched
    ASSERT_EQ(mute->SetByte(0, 1), STATUS_SUCCESS);
    ASSERT_EQ(process(), STATUS_SUCCESS);
    EXPECT_EQ(block, std::vector<UCHAR>(block.size(), 0));
    mute->Release();
}

TEST_F(FunctionModelTest, ContinuousRangesOfferTheTableRatesInside)
{
    struct Case
    {
        uint32_t low, high;
        NTSTATUS status;
        std::vector<uint32_t> rates;
    } cases[] = {
        {44100, 48000, STATUS_SUCCESS, {44100, 48000}},
        {40000, 50000, STATUS_SUCCESS, {44100, 48000}},
        {44500, 47000, STATUS_SUCCESS, {}},
        {8000, 100000, STATUS_INVALID_PARAMETER, {}},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(std::to_string(c.low) + "-" + std::to_string(c.high));
        usbsim::Uac1Options options;
        options.rates = {};
        options.rangeLow = c.low;
        options.rangeHigh = c.high;
        Plug(usbsim::VirtualDevice::Uac1(options), UsbAudioDeviceClass::Uac1);
        ASSERT_EQ(model->ParseControlFromConfig(layer.get()), STATUS_SUCCESS);
        EXPECT_EQ(model->ParseStreamingFromConfig(layer.get()), c.status);
        if (NT_SUCCESS(c.status))
        {
            std::vector<std::string> expected;
            for (uint32_t rate : c.rates)
                expected.push_back("2/" + std::to_string(rate) + "/3/0001/4");
            EXPECT_EQ(Formats(0), expected);
        }
        NextRound();
    }
}

TEST_F(FunctionModelTest, FormatRecordsOfDiscreteAndEncodedFormats)
{
    Plug(usbsim::VirtualDevice::Uac1(), UsbAudioDeviceClass::Uac1);
    IStreamBuilder *stream = nullptr;
    ASSERT_EQ(CreateEngineOnlyStream(inputs, TRUE, 2, 0, 0, PoolTag::UAC1, &stream), STATUS_SUCCESS);
    ASSERT_EQ(stream->InitStream(TRUE, hal, nullptr), STATUS_SUCCESS);
    WAVEFORMATEXTENSIBLE record{};
    record.Format.nChannels = 2;
    record.Format.nBlockAlign = 4;
    record.dwChannelMask = 3;
    // Type I, three rates; then type III with the IEC 61937 tag bits, one rate.
    const Bytes typeOne = {17, 0x24, 2, 1, 2, 2, 16, 3, 0x40, 0x1F, 0, 0x44, 0xAC, 0, 0x80, 0xBB, 0};
    ASSERT_EQ(model->RegisterUac1Formats(stream, typeOne.data(), 1, 1, record), STATUS_SUCCESS);
    record.dwChannelMask = 0;
    ASSERT_EQ(model->RegisterUac1Formats(stream, typeOne.data(), 1, 1, record), STATUS_SUCCESS);
    const Bytes typeThree = {11, 0x24, 2, 3, 2, 2, 16, 1, 0x80, 0xBB, 0};
    ASSERT_EQ(model->RegisterUac1Formats(stream, typeThree.data(), 0x2001, 2, record), STATUS_SUCCESS);
    EXPECT_EQ(model->RegisterUac1Formats(stream, typeThree.data(), 0x0002, 2, record), STATUS_UNSUCCESSFUL);
    std::vector<std::string> seen;
    CStreamEngine *engine = stream->GetEngine();
    WAVEFORMATEXTENSIBLE f{};
    for (ULONG i = 0; NT_SUCCESS(engine->GetFormat(i, &f)); ++i)
        seen.push_back(std::to_string(f.Format.nSamplesPerSec) + "/" + std::to_string(f.dwChannelMask) + "/" +
                       std::to_string(f.SubFormat.Data1) + "/" + std::to_string(f.Format.nAvgBytesPerSec));
    EXPECT_EQ(seen, (std::vector<std::string>{"8000/3/1/32000", "44100/3/1/176400", "48000/3/1/192000",
                                              "8000/0/1/32000", "44100/0/1/176400", "48000/0/1/192000",
                                              "48000/0/146/192000", "48000/0/356/192000"}));
    stream->Release();
}

TEST_F(FunctionModelTest, SevenPointOneFamiliesWidenStereoRender)
{
    // On speakers (the engine shows every format there, not only the two-channel ones).
    auto headset = usbsim::VirtualDevice::Uac1();
    Bytes &config = headset->Descriptors().configuration;
    usbsim::Set16(config, At(config, 0x24, UAC_OUTPUT_TERMINAL) + 4, 0x0301);
    Plug(headset, UsbAudioDeviceClass::Plon);
    ASSERT_EQ(Walk(), STATUS_SUCCESS);
    EXPECT_EQ(Formats(0), (std::vector<std::string>{"8/44100/63F/0001/16", "8/48000/63F/0001/16"}));
    EXPECT_EQ(Formats(1).size(), 4u); // capture is left as it is
}

TEST_F(FunctionModelTest, Uac2RawDataRatesTheClockRefusesAreSkipped)
{
    auto headset = usbsim::VirtualDevice::Uac2();
    Plug(headset, UsbAudioDeviceClass::Uac2);
    ASSERT_EQ(Walk(), STATUS_SUCCESS);
    headset->Control(usbsim::kUac2Clock, 1, 0).ranges = {{48000, 48000, 0}};
    IStreamBuilder *stream = nullptr;
    ASSERT_EQ(model->StreamAt(0, &stream), STATUS_SUCCESS);
    const ULONG before = stream->GetEngine()->GetFormatCount();
    bus->ClearLog();
    WAVEFORMATEXTENSIBLE record{};
    record.Format.nChannels = 2;
    record.Format.nBlockAlign = 4;
    EXPECT_EQ(model->RegisterUac2Formats(stream, 0, UAC_FORMAT_TYPE_I, UAC_RAW_DATA_FORMATS, 1, record),
              STATUS_SUCCESS);
    EXPECT_EQ(stream->GetEngine()->GetFormatCount(), before); // the engine-only stream takes no raw data
    unsigned selections = 0;
    for (const auto &e : Urbs())
        selections += e.function == URB_FUNCTION_CLASS_INTERFACE && !(e.bmRequestType & 0x80);
    EXPECT_EQ(selections, 3u); // every rate asked for, two refused
}

TEST_F(FunctionModelTest, UnsupportedUnitsAndBadDescriptorsEndTheWalk)
{
    struct Case
    {
        const char *name;
        std::function<void(usbsim::DescriptorSet &)> patch;
        UsbAudioDeviceClass deviceClass;
        NTSTATUS status;
    } cases[] = {
        {"processing unit",
         [](usbsim::DescriptorSet &s) {
             AddControlDescriptor(s, {13, 0x24, 7, 30, 1, 0, 1, 1, 2, 3, 0, 0, 0});
         },
         UsbAudioDeviceClass::Uac1, STATUS_UNSUCCESSFUL},
        {"extension unit",
         [](usbsim::DescriptorSet &s) {
             AddControlDescriptor(s, {13, 0x24, 8, 30, 1, 0, 1, 1, 2, 3, 0, 0, 0});
         },
         UsbAudioDeviceClass::Uac1, STATUS_UNSUCCESSFUL},
        {"zero length",
         [](usbsim::DescriptorSet &s) {
             AddControlDescriptor(s, {0, 0x24, 6, 30});
         },
         UsbAudioDeviceClass::Uac1, STATUS_UNSUCCESSFUL},
        {"one byte",
         [](usbsim::DescriptorSet &s) {
             AddControlDescriptor(s, {1, 0x24, 6, 30});
         },
         UsbAudioDeviceClass::Uac1, STATUS_UNSUCCESSFUL},
        {"short feature unit",
         [](usbsim::DescriptorSet &s) {
             AddControlDescriptor(s, {7, 0x24, 6, 30, 1, 2, 3});
         },
         UsbAudioDeviceClass::Uac1, STATUS_INVALID_PARAMETER},
        {"feature unit of size 0",
         [](usbsim::DescriptorSet &s) {
             AddControlDescriptor(s, {8, 0x24, 6, 30, 1, 0, 0, 0});
         },
         UsbAudioDeviceClass::Uac1, STATUS_INVALID_PARAMETER},
        {"unresolved source, Mirk",
         [](usbsim::DescriptorSet &s) {
             AddControlDescriptor(s, {10, 0x24, 6, 30, 77, 1, 3, 0, 0});
         },
         UsbAudioDeviceClass::Mirk, STATUS_UNSUCCESSFUL},
        {"1B1C 0A04 without terminals 16 and 64",
         [](usbsim::DescriptorSet &s)
         {
             usbsim::Set16(s.device, 8, 0x1B1C);
             usbsim::Set16(s.device, 10, 0x0A04);
         },
         UsbAudioDeviceClass::Uac1, STATUS_UNSUCCESSFUL},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        usbsim::DescriptorSet set = usbsim::BuildUac1Headset();
        c.patch(set);
        Plug(usbsim::VirtualDevice::Make(set, usbsim::DeviceFamily::Uac1), c.deviceClass);
        EXPECT_EQ(model->ParseControlFromConfig(layer.get()), c.status);
        NextRound();
    }
}

TEST_F(FunctionModelTest, SourcesAreLinkedUpToNineAndNeverToADescriptorId)
{
    usbsim::DescriptorSet set = usbsim::BuildUac1Headset();
    // Mixer 30 over nine sources, mixer 31 over ten, feature unit 32 over a missing unit 77.
    Bytes nine = {0, 0x24, 4, 30, 9, 1, 4, 1, 4, 1, 4, 1, 4, 1, 2, 3, 0, 0, 0, 0};
    nine[0] = UCHAR(nine.size());
    Bytes ten = {0, 0x24, 4, 31, 10, 1, 4, 1, 4, 1, 4, 1, 4, 1, 4, 2, 3, 0, 0, 0, 0};
    ten[0] = UCHAR(ten.size());
    AddControlDescriptor(set, nine);
    AddControlDescriptor(set, ten);
    AddControlDescriptor(set, {10, 0x24, 6, 32, 77, 1, 3, 0, 0});
    Plug(usbsim::VirtualDevice::Make(set, usbsim::DeviceFamily::Uac1), UsbAudioDeviceClass::Uac1);
    ASSERT_EQ(model->ParseControlFromConfig(layer.get()), STATUS_SUCCESS);
    auto sourcesOf = [&](UCHAR unitId)
    {
        IUsbAudioUnit *unit = nullptr;
        ULONG first = 0;
        EXPECT_EQ(model->FindUnitById(unitId, &unit), STATUS_SUCCESS);
        unit->GetFirstNodeId(&first);
        IAudioNode *node = nullptr;
        hal->FindFilter(first, &node);
        ULONG ids[16], count = 16;
        node->GetSources(&count, ids);
        return std::vector<ULONG>(ids, ids + count);
    };
    EXPECT_EQ(sourcesOf(30), (std::vector<ULONG>{0, 5, 0, 5, 0, 5, 0, 5, 0}));
    EXPECT_EQ(sourcesOf(31), std::vector<ULONG>(10, 0xFFFFFFFFu)); // too many: left unlinked
    EXPECT_EQ(sourcesOf(32), std::vector<ULONG>{0xFFFFFFFFu});
}

TEST_F(FunctionModelTest, RenderWithoutAJackOrInACycleIsRefused)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    headset->jacks.erase(usbsim::kUac1PlaybackOt);
    Plug(headset, UsbAudioDeviceClass::Uac1);
    EXPECT_EQ(Walk(), STATUS_INVALID_PARAMETER);
    NextRound();

    // The playback feature unit fed by its own output terminal: the search comes back and ends.
    auto ring = usbsim::VirtualDevice::Uac1();
    Bytes &config = ring->Descriptors().configuration;
    config[At(config, 0x24, UAC_FEATURE_UNIT) + 4] = usbsim::kUac1PlaybackOt;
    Plug(ring, UsbAudioDeviceClass::Uac1);
    EXPECT_EQ(Walk(), STATUS_INVALID_PARAMETER);
}

TEST_F(FunctionModelTest, FormatsOfNoChannelsOrWiderThanFourBytesAreSkipped)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    Bytes &config = headset->Descriptors().configuration;
    // Subtype 2 is also the input terminals' (two of them) in the AudioControl interface.
    config[At(config, 0x24, UAC_FORMAT_TYPE, 2) + 4] = 0; // no channels on the render interface
    config[At(config, 0x24, UAC_FORMAT_TYPE, 3) + 5] = 5; // five-byte samples on the capture one
    Plug(headset, UsbAudioDeviceClass::Uac1);
    ASSERT_EQ(Walk(), STATUS_SUCCESS);
    EXPECT_TRUE(Formats(0).empty());
    EXPECT_TRUE(Formats(1).empty());
    EXPECT_TRUE(sim::DebugLogContains("skipped"));
    NextRound();

    // Valid bits beyond the container, or none, describe no sample either.
    for (const uint8_t bits : {0, 17})
    {
        usbsim::Uac1Options options;
        options.renderBits = bits;
        Plug(usbsim::VirtualDevice::Uac1(options), UsbAudioDeviceClass::Uac1);
        ASSERT_EQ(Walk(), STATUS_SUCCESS);
        EXPECT_TRUE(Formats(0).empty()) << int(bits);
        EXPECT_EQ(Formats(1).size(), 4u);
        EXPECT_TRUE(
            sim::DebugLogContains("format of " + std::to_string(bits) + " valid bits in 2 bytes skipped"));
        NextRound();
    }
}

} // namespace

namespace
{

TEST_F(FunctionModelTest, ChipFamilyRenderEnginesGetTheirStages)
{
    usbsim::Uac1Options options;
    options.vendorId = 0x1E7D;
    options.productId = 0x3750;
    Plug(usbsim::VirtualDevice::Uac1(options), UsbAudioDeviceClass::Mirk);
    ASSERT_EQ(Walk(), STATUS_SUCCESS);
    IHardwareMuteStage *mute = model->HardwareMuteStage();
    ASSERT_NE(mute, nullptr);
    mute->SetMode(HARDWARE_MUTE_SILENCE);
    NextRound();
    // Another headset of the family: no hardware-mute stage.
    Plug(usbsim::VirtualDevice::Uac1(), UsbAudioDeviceClass::Mirk);
    ASSERT_EQ(Walk(), STATUS_SUCCESS);
    EXPECT_EQ(model->HardwareMuteStage(), nullptr);
}

} // namespace

namespace
{

// Endpoint descriptor fields.
constexpr size_t kEpAddress = 2, kEpAttributes = 3, kEpMaxPacket = 4;

std::vector<std::string> Rates(const std::vector<std::string> &formats)
{
    std::vector<std::string> rates;
    for (const std::string &f : formats)
        rates.push_back(f.substr(f.find('/') + 1, f.find('/', f.find('/') + 1) - f.find('/') - 1));
    return rates;
}

// Each endpoint fault a device may carry, on the setting it breaks: that setting's formats are left
// out with the rule in the log, the other stream keeps its own.
TEST_F(FunctionModelTest, AlternatesWhoseEndpointsCannotCarryTheStreamAreNotOffered)
{
    struct Case
    {
        const char *name;
        bool uac2;
        std::function<void(Bytes &)> damage;
        const char *rule;
        size_t renderFormats, captureFormats;
    };
    const Case cases[] = {
        {"render data endpoint bulk", false,
         [](Bytes &b) { usbsim::Set8(b, size_t(usbsim::FindEndpoint(b, 1, 1)) + kEpAttributes, 0x02); },
         "interface 1 alternate 1 not offered: data endpoint not isochronous", 0, 4},
        {"render data endpoint IN", false,
         [](Bytes &b) { usbsim::Set8(b, size_t(usbsim::FindEndpoint(b, 1, 1)) + kEpAddress, 0x81); },
         "interface 1 alternate 1 not offered: data endpoint not OUT for render", 0, 4},
        {"capture data endpoint OUT", false,
         [](Bytes &b) { usbsim::Set8(b, size_t(usbsim::FindEndpoint(b, 2, 1)) + kEpAddress, 0x02); },
         "interface 2 alternate 1 not offered: data endpoint not IN for capture", 2, 0},
        {"render data endpoint of feedback usage", false,
         [](Bytes &b) { usbsim::Set8(b, size_t(usbsim::FindEndpoint(b, 1, 1)) + kEpAttributes, 0x19); },
         "interface 1 alternate 1 not offered: data endpoint's usage is not data", 0, 4},
        {"capture data endpoint of reserved usage", false,
         [](Bytes &b) { usbsim::Set8(b, size_t(usbsim::FindEndpoint(b, 2, 1)) + kEpAttributes, 0x35); },
         "interface 2 alternate 1 not offered: data endpoint's usage is not data", 2, 0},
        {"another class repeats the capture setting first", false,
         [](Bytes &b)
         {
             // An interface of another class under the capture's number and setting, with an OUT
             // endpoint: the bus selects it, not the audio one after it.
             usbsim::Insert(b, size_t(usbsim::FindInterface(b, 2, 0)),
                            {9, 4, 2, 1, 1, 0xFF, 0, 0, 0, 7, 5, 0x02, 0x01, 0x40, 0, 1});
             usbsim::FixTotalLength(b);
         },
         "interface 2 alternate 1 not offered: the setting the bus selects is not audio streaming", 2, 0},
        {"the capture repeats the render's number and setting", false,
         // The bus selects the render's descriptor, whose endpoint is OUT: the render's check of the
         // same pair does not stand for the capture.
         [](Bytes &b) { usbsim::Set8(b, size_t(usbsim::FindInterface(b, 2, 1)) + 2, 1); },
         "interface 1 alternate 1 not offered: data endpoint not IN for capture", 2, 0},
        {"more endpoints named than given", false,
         [](Bytes &b) { usbsim::Set8(b, size_t(usbsim::FindInterface(b, 1, 1)) + 4, 2); },
         "interface 1 alternate 1 not offered: endpoint descriptor missing or cut off", 0, 4},
        {"configuration ends before the last endpoint", false,
         [](Bytes &b)
         {
             usbsim::Truncate(b, size_t(usbsim::FindEndpoint(b, 2, 1)));
             usbsim::FixTotalLength(b);
         },
         "interface 2 alternate 1 not offered: endpoint descriptor missing or cut off", 2, 0},
        {"configuration ends inside the last endpoint", false,
         [](Bytes &b)
         {
             usbsim::Truncate(b, size_t(usbsim::FindEndpoint(b, 2, 1)) + 4);
             usbsim::FixTotalLength(b);
         },
         "interface 2 alternate 1 not offered: endpoint descriptor missing or cut off", 2, 0},
        {"feedback endpoint interrupt", true,
         [](Bytes &b)
         {
             for (uint8_t alternate : {1, 2})
                 usbsim::Set8(b, size_t(usbsim::FindEndpoint(b, 1, alternate, 1)) + kEpAttributes, 0x13);
         },
         "interface 1 alternate 2 not offered: feedback endpoint not isochronous IN", 0, 3},
        {"feedback endpoint polled every microframe", true,
         [](Bytes &b)
         {
             for (uint8_t alternate : {1, 2})
                 usbsim::Set8(b, size_t(usbsim::FindEndpoint(b, 1, alternate, 1)) + 6, 1);
         },
         "interface 1 alternate 1 not offered: feedback endpoint polls more than once a frame", 0, 3},
        {"feedback endpoint OUT", true,
         [](Bytes &b) { usbsim::Set8(b, size_t(usbsim::FindEndpoint(b, 1, 1, 1)) + kEpAddress, 0x02); },
         "interface 1 alternate 1 not offered: feedback endpoint not isochronous IN", 3, 3},
        {"reserved transactions at high speed", true,
         [](Bytes &b)
         { usbsim::Set16(b, size_t(usbsim::FindEndpoint(b, 2, 1)) + kEpMaxPacket, 0x1800 | 26); },
         "interface 2 alternate 1 not offered: data endpoint names reserved transactions", 6, 0},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        auto headset = c.uac2 ? usbsim::VirtualDevice::Uac2() : usbsim::VirtualDevice::Uac1();
        c.damage(headset->Descriptors().configuration);
        Plug(headset, c.uac2 ? UsbAudioDeviceClass::Uac2 : UsbAudioDeviceClass::Uac1);
        sim::ClearDebugLog();
        ASSERT_EQ(Walk(), STATUS_SUCCESS);
        ASSERT_EQ(hal->GetEngineCount(), 2u);
        EXPECT_EQ(Formats(0).size(), c.renderFormats);
        EXPECT_EQ(Formats(1).size(), c.captureFormats);
        EXPECT_TRUE(sim::DebugLogContains(c.rule));
        NextRound();
    }
}

// A format is offered only when its largest packet fits the data endpoint: at full speed one packet a
// frame of the rate's whole samples and one more for a carried fraction; at high speed eight packets
// a frame with the additional transactions counted; explicit feedback may ask for 1000 Hz more.
TEST_F(FunctionModelTest, FormatsWhosePacketsExceedTheEndpointAreNotOffered)
{
    struct Case
    {
        const char *name;
        bool uac2;
        std::function<void(usbsim::DescriptorSet &)> shape;
        std::vector<std::string> renderRates;
        const char *logged;
    };
    auto uac1 = [](uint8_t channels, uint8_t subframe, std::vector<uint32_t> rates, uint16_t maxPacket)
    {
        return [=](usbsim::DescriptorSet &set)
        {
            usbsim::Uac1Options o;
            o.renderChannels = channels;
            o.renderSubframe = subframe;
            o.renderBits = uint8_t(subframe * 8);
            o.rates = rates;
            o.renderMaxPacket = maxPacket;
            set = usbsim::BuildUac1Headset(o);
        };
    };
    auto renderPacket = [](uint16_t value, usbsim::Speed speed = usbsim::Speed::High)
    {
        return [=](usbsim::DescriptorSet &set)
        {
            for (uint8_t alternate : {1, 2})
                usbsim::Set16(set.configuration,
                              size_t(usbsim::FindEndpoint(set.configuration, 1, alternate)) + 4, value);
            set.speed = speed;
        };
    };
    const Case cases[] = {
        // Full speed: 45 frames of 4 bytes at 44.1 kHz fit 180 bytes, 48 frames do not.
        {"44.1 family's extra frame",
         false,
         uac1(2, 2, {44100, 48000}, 180),
         {"44100"},
         "48000 Hz packet of 192 bytes above wMaxPacketSize 180"},
        {"44.1 family's extra frame does not fit 176",
         false,
         uac1(2, 2, {44100}, 176),
         {},
         "44100 Hz packet of 180 bytes above wMaxPacketSize 176"},
        {"96 kHz of 3-byte stereo",
         false,
         uac1(2, 3, {96000}, 512),
         {},
         "96000 Hz packet of 576 bytes above wMaxPacketSize 512"},
        {"five channels at 48 kHz",
         false,
         uac1(5, 2, {48000}, 392),
         {},
         "48000 Hz packet of 480 bytes above wMaxPacketSize 392"},
        {"48127 Hz",
         false,
         uac1(2, 2, {48127}, 192),
         {},
         "48127 Hz packet of 196 bytes above wMaxPacketSize 192"},
        {"48127 Hz fits 196", false, uac1(2, 2, {48127}, 196), {"48127"}, nullptr},
        // High speed with explicit feedback, 4-byte frames (alternate 1), 6-byte frames (alternate 2):
        // 44.1 kHz 6 frames, 48 kHz 7 (48 + 1 kHz), 96 kHz 13 (96 + 1 kHz).
        {"feedback adds a frame at 48 kHz", true, renderPacket(27), {"44100"}, nullptr},
        // 44.1 kHz carries 5.5 frames a packet interval (5.6 at the highest rate feedback asks for): its
        // packets of 6 frames fit 24 bytes, not 23.
        {"44.1 family's extra frame at high speed",
         true,
         renderPacket(23),
         {},
         "44100 Hz packet of 24 bytes above wMaxPacketSize 23"},
        {"44.1 family's extra frame in two additional transactions",
         true,
         renderPacket(0x1000 | 8),
         {"44100"},
         "48000 Hz packet of 28 bytes above wMaxPacketSize 24"},
        {"feedback at 48 kHz",
         true,
         renderPacket(42),
         {"44100", "48000", "44100", "48000"},
         "96000 Hz packet of 52 bytes above wMaxPacketSize 42"},
        {"one additional transaction",
         true,
         renderPacket(0x0800 | 21),
         {"44100", "48000", "44100", "48000"},
         "96000 Hz packet of 52 bytes above wMaxPacketSize 42"},
        {"two additional transactions",
         true,
         renderPacket(0x1000 | 26),
         {"44100", "48000", "96000", "44100", "48000", "96000"},
         nullptr},
        {"transaction bits mean nothing at full speed",
         true,
         renderPacket(0x1000 | 200, usbsim::Speed::Full),
         {"44100", "48000"},
         "96000 Hz packet of 388 bytes above wMaxPacketSize 200"},
        // 44.1 kHz measured 1 kHz fast would ask 46 frames a frame at full speed, but the transfer path
        // never sends more than its slot of 45: 180 bytes carry it, while 48 kHz's 49 frames do not fit.
        {"feedback at 44.1 kHz keeps to its slot at full speed",
         true,
         renderPacket(180, usbsim::Speed::Full),
         {"44100"},
         "48000 Hz packet of 196 bytes above wMaxPacketSize 180"},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        auto headset = c.uac2 ? usbsim::VirtualDevice::Uac2() : usbsim::VirtualDevice::Uac1();
        c.shape(headset->Descriptors());
        Plug(headset, c.uac2 ? UsbAudioDeviceClass::Uac2 : UsbAudioDeviceClass::Uac1);
        sim::ClearDebugLog();
        ASSERT_EQ(Walk(), STATUS_SUCCESS);
        EXPECT_EQ(Rates(Formats(0)), c.renderRates);
        if (c.logged)
        {
            EXPECT_TRUE(sim::DebugLogContains(c.logged));
        }
        NextRound();
    }
}

// Capture has no feedback margin: the device sends the rate's packets as they are.
TEST_F(FunctionModelTest, CapturePacketsAreSizedAtTheNominalRate)
{
    auto headset = usbsim::VirtualDevice::Uac2();
    Bytes &config = headset->Descriptors().configuration;
    usbsim::Set16(config, size_t(usbsim::FindEndpoint(config, 2, 1)) + 4, 24); // 12 mono frames
    Plug(headset, UsbAudioDeviceClass::Uac2);
    ASSERT_EQ(Walk(), STATUS_SUCCESS);
    EXPECT_EQ(Rates(Formats(1)), (std::vector<std::string>{"44100", "48000", "96000"}));
}

} // namespace

namespace
{

// A function's streaming interfaces are those its class 1.0 header lists, or those of the class 2.0
// association holding its control interface: any other is ignored, never bound to its terminals.
TEST_F(FunctionModelTest, OnlyTheFunctionsOwnStreamingInterfacesAreWalked)
{
    auto uac1 = usbsim::VirtualDevice::Uac1();
    Bytes &config1 = uac1->Descriptors().configuration;
    usbsim::Set8(config1, At(config1, 0x24, UAC_HEADER) + 7, 1); // bInCollection: the render interface only
    Plug(uac1, UsbAudioDeviceClass::Uac1);
    sim::ClearDebugLog();
    ASSERT_EQ(Walk(), STATUS_SUCCESS);
    EXPECT_EQ(hal->GetEngineCount(), 1u);
    EXPECT_TRUE(sim::DebugLogContains("interface 2 belongs to another function: ignored"));
    NextRound();

    auto uac2 = usbsim::VirtualDevice::Uac2();
    Bytes &config2 = uac2->Descriptors().configuration;
    usbsim::Set8(config2, At(config2, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE, -1) + 3,
                 2); // interfaces 0, 1
    Plug(uac2, UsbAudioDeviceClass::Uac2);
    sim::ClearDebugLog();
    ASSERT_EQ(Walk(), STATUS_SUCCESS);
    EXPECT_EQ(hal->GetEngineCount(), 1u);
    EXPECT_TRUE(sim::DebugLogContains("interface 2 belongs to another function: ignored"));
    NextRound();

    // Two class 2.0 functions without associations: the first takes the interfaces up to the second's
    // control interface.
    auto bare = [](const usbsim::Uac2Options &options)
    {
        Bytes config = usbsim::BuildUac2Headset(options).configuration;
        const size_t iad = At(config, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE, -1);
        config.erase(config.begin() + long(iad), config.begin() + long(iad + config[iad]));
        usbsim::FixTotalLength(config);
        return config;
    };
    usbsim::Uac2Options second;
    second.interfaceBase = 3;
    second.endpointBase = 4;
    auto pair = usbsim::VirtualDevice::Uac2();
    pair->Descriptors().configuration = usbsim::JoinConfigurations(bare({}), bare(second));
    Plug(pair, UsbAudioDeviceClass::Uac2);
    sim::ClearDebugLog();
    ASSERT_EQ(Walk(), STATUS_SUCCESS);
    EXPECT_EQ(hal->GetEngineCount(), 2u);
    EXPECT_TRUE(sim::DebugLogContains("interface 4 belongs to another function: ignored"));
    EXPECT_TRUE(sim::DebugLogContains("interface 5 belongs to another function: ignored"));
    NextRound();

    // No streaming interface of its own at all: refused with that reason.
    auto empty = usbsim::VirtualDevice::Uac1();
    Bytes &config3 = empty->Descriptors().configuration;
    usbsim::Set8(config3, At(config3, 0x24, UAC_HEADER) + 7, 0);
    Plug(empty, UsbAudioDeviceClass::Uac1);
    EXPECT_EQ(Walk(), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::DebugLogContains("the audio function of interface 0 owns no audio streaming interface"));
}

} // namespace
