// The wave-cyclic miniport over a real stream engine in a test HAL, served by the port-class stand-in
// and read through its audio client: ranges, description, format checks, intersection, private
// properties, the one-stream rule and failure injection.
#include <pc_port.h>
#include <sim/audio_client.h>
#include <sim/io_sim.h>
#include <sim/portcls_sim.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

#include "driver/base/scope_guard.h"
#include "driver/effects/dsp_interleave_src.h"
#include "driver/filters/miniport_wave_cyclic.h"
#include "support/engine_doubles.h"
#include "support/kernel_test.h"
#include "support/miniport_bench.h"

namespace
{

using engine_test::Make;
using engine_test::MakeFormat;
using engine_test::ScriptedTerminal;
using miniport_bench::DataFormat;

#ifdef __SANITIZE_ADDRESS__
constexpr int kRacingRounds = 200; // a thread per round costs milliseconds under the sanitizers
#else
constexpr int kRacingRounds = 1000;
#endif

constexpr USHORT kPcm = WAVE_FORMAT_PCM;
constexpr USHORT kFloat = WAVE_FORMAT_IEEE_FLOAT;

// A stream the tests hand NewStream: it records its creation and closes its miniport's count when
// released.
struct RecordedStream
{
    int created = 0;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG pin = 0;
    WAVEFORMATEXTENSIBLE format{};
};
RecordedStream g_stream;

NTSTATUS RecordingCreator(CMiniportWaveCyclic *, PUNKNOWN, POOL_TYPE, ULONG pin, BOOLEAN, PKSDATAFORMAT,
                          const WAVEFORMATEXTENSIBLE *format, IStreamEngine *,
                          PMINIPORTWAVECYCLICSTREAM *stream, PDMACHANNEL *, PSERVICEGROUP *)
{
    ++g_stream.created;
    g_stream.pin = pin;
    g_stream.format = *format;
    *stream = nullptr; // the tests close through the miniport
    return g_stream.status;
}

KSDATARANGE_AUDIO ClientRange(const GUID &specifier, ULONG channels, ULONG minRate, ULONG maxRate,
                              ULONG minBits, ULONG maxBits, const GUID &subFormat = KSDATAFORMAT_SUBTYPE_PCM)
{
    return {{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, subFormat, specifier},
            channels,
            minBits,
            maxBits,
            minRate,
            maxRate,
            0};
}

class WaveMiniportTest : public KernelTest, protected miniport_bench::PortedMiniport
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        g_stream = RecordedStream{};
    }
    void TearDown() override
    {
        Close();
        KernelTest::TearDown();
    }

    // An engine of `engineId` with a streaming terminal (id 4) and a connector of `type` (id 9), the
    // given formats, named `name`, in a HAL.
    void Build(ULONG engineId, const std::vector<WAVEFORMATEXTENSIBLE> &formats, ULONG type = 2,
               const char16_t *name = u"HPOut00")
    {
        engine = engine_test::MakeEngine();
        ASSERT_EQ(engine->Initialize(engineId), STATUS_SUCCESS);
        for (const auto &f : formats)
            ASSERT_EQ(engine->AddFormat(f), STATUS_SUCCESS);
        ASSERT_EQ(engine->SetName(name), STATUS_SUCCESS);
        const ULONG streamingKind = engineId ? NODE_KIND_OUTPUT_TERMINAL : NODE_KIND_INPUT_TERMINAL;
        const ULONG connectorKind = engineId ? NODE_KIND_INPUT_TERMINAL : NODE_KIND_OUTPUT_TERMINAL;
        streaming = Make<ScriptedTerminal>(4, streamingKind, 0);
        connector = Make<ScriptedTerminal>(9, connectorKind, type);
        ASSERT_EQ(engine->AttachNode(streaming), STATUS_SUCCESS);
        ASSERT_EQ(engine->AttachNode(connector), STATUS_SUCCESS);
        hal = hal_test::Make<hal_test::TestHal>();
        hal->startEngines = {engine};
        ASSERT_EQ(hal->Init(nullptr, &device, nullptr, nullptr), STATUS_SUCCESS);
    }
    // Creates the miniport for engine 0 of the HAL and initialises a port over it.
    NTSTATUS Open()
    {
        const NTSTATUS status = OpenPort(miniport_bench::CreateWaveMiniport, CLSID_PortWaveCyclic, &device,
                                         static_cast<IAudioHal *>(hal));
        miniport = MiniportAs<CMiniportWaveCyclic, IMiniportWaveCyclic>(IID_IMiniportWaveCyclic);
        if (miniport)
            miniport->SetStreamCreator(RecordingCreator);
        return status;
    }
    void Close()
    {
        ClosePort();
        miniport = nullptr;
        for (IUnknown **o :
             {reinterpret_cast<IUnknown **>(&streaming), reinterpret_cast<IUnknown **>(&connector)})
            if (*o)
                (*o)->Release(), *o = nullptr;
        if (engine)
            engine->Release();
        engine = nullptr;
        if (hal)
            hal->Release();
        hal = nullptr;
    }
    std::vector<KSDATARANGE_AUDIO> Ranges()
    {
        PPCFILTER_DESCRIPTOR d = nullptr;
        EXPECT_EQ(miniport->GetDescription(&d), STATUS_SUCCESS);
        std::vector<KSDATARANGE_AUDIO> out;
        for (ULONG i = 0; d && i < d->Pins[0].KsPinDescriptor.DataRangesCount; ++i)
        {
            EXPECT_EQ(d->Pins[0].KsPinDescriptor.DataRanges[i]->FormatSize, 88u);
            out.push_back(
                *reinterpret_cast<const KSDATARANGE_AUDIO *>(d->Pins[0].KsPinDescriptor.DataRanges[i]));
        }
        return out;
    }
    NTSTATUS Validate(const std::vector<UCHAR> &data)
    {
        WAVEFORMATEXTENSIBLE out;
        return miniport->ValidateFormat(reinterpret_cast<const KSDATAFORMAT *>(data.data()), &out);
    }

    DEVICE_OBJECT device{};
    CStreamEngine *engine = nullptr;
    ScriptedTerminal *streaming = nullptr;
    ScriptedTerminal *connector = nullptr;
    hal_test::TestHal *hal = nullptr;
    CMiniportWaveCyclic *miniport = nullptr;
};

TEST_F(WaveMiniportTest, RangesJoinFormatsBySubFormatWithPcmFirst)
{
    Build(0, {MakeFormat(kPcm, 2, 44100, 16), MakeFormat(kPcm, 2, 48000, 16), MakeFormat(kPcm, 2, 44100, 24),
              MakeFormat(kPcm, 2, 48000, 24)});
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    auto ranges = Ranges();
    ASSERT_EQ(ranges.size(), 1u);
    const KSDATARANGE_AUDIO expected = {
        {88, 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX},
        2,
        16,
        24,
        44100,
        48000,
        0};
    EXPECT_EQ(std::memcmp(&ranges[0], &expected, sizeof(expected)), 0);
    Close();

    // A float range found first moves behind PCM; the vendor's raw data never becomes a range.
    WAVEFORMATEXTENSIBLE raw = MakeFormat(kPcm, 2, 48000, 16);
    raw.SubFormat.Data1 = 0x5A4C;
    Build(1,
          {MakeFormat(kFloat, 2, 48000, 32), raw, MakeFormat(kPcm, 1, 16000, 16),
           MakeFormat(kPcm, 2, 48000, 16)},
          7);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    ranges = Ranges();
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_TRUE(ranges[0].DataRange.SubFormat == KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_EQ(ranges[0].MaximumChannels, 2u);
    EXPECT_EQ(ranges[0].MinimumSampleFrequency, 16000u);
    EXPECT_TRUE(ranges[1].DataRange.SubFormat == SubFormatForTag(kFloat));
    Close();

    // A headphone render endpoint offers its two-channel formats only.
    Build(0, {MakeFormat(kPcm, 6, 48000, 16), MakeFormat(kPcm, 2, 48000, 16)}, 2);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(Ranges().at(0).MaximumChannels, 2u);
}

TEST_F(WaveMiniportTest, WithoutAPcmRangeInitFailsAndLeavesNothing)
{
    WAVEFORMATEXTENSIBLE raw = MakeFormat(kPcm, 2, 48000, 16);
    raw.SubFormat.Data1 = 0x5A4C;
    Build(0, {raw, raw});
    ASSERT_EQ(CreateMiniportWaveCyclic(&miniportUnknown, CLSID_PortWaveCyclic, nullptr, NonPagedPool, 0),
              STATUS_SUCCESS);
    auto *wave = QueryAs<IMiniportWaveCyclic>(miniportUnknown, IID_IMiniportWaveCyclic);
    PPCFILTER_DESCRIPTOR d = nullptr;
    EXPECT_EQ(wave->GetDescription(&d), STATUS_DEVICE_CONFIGURATION_ERROR); // nothing built yet
    const size_t before = sim::pool::OutstandingBlocks(PoolTag::WAVC);
    EXPECT_EQ(PcNewPort(&port, CLSID_PortWaveCyclic), STATUS_SUCCESS);
    EXPECT_EQ(port->Init(&device, nullptr, miniportUnknown, static_cast<IAudioHal *>(hal), nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::WAVC), before);
    EXPECT_EQ(wave->GetDescription(&d), STATUS_DEVICE_CONFIGURATION_ERROR);
    wave->Release();
}

TEST_F(WaveMiniportTest, TheFilterMatchesItsTableForRenderAndCapture)
{
    for (ULONG engineId : {0u, 1u})
    {
        SCOPED_TRACE(engineId);
        Build(engineId, {MakeFormat(kPcm, 2, 48000, 16)}, engineId ? 7 : 2,
              engineId ? u"MicIn00" : u"HPOut00");
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        sim::audio::Filter filter(port);
        const auto categories = filter.Categories();
        ASSERT_EQ(categories.size(), 3u);
        EXPECT_TRUE(categories[0] == KSCATEGORY_AUDIO);
        EXPECT_TRUE(categories[1] == (engineId ? KSCATEGORY_CAPTURE : KSCATEGORY_RENDER));
        EXPECT_TRUE(categories[2] == KSCATEGORY_REALTIME);
        const auto pins = filter.Pins();
        ASSERT_EQ(pins.size(), 2u);
        EXPECT_EQ(pins[0].Flow, engineId ? KSPIN_DATAFLOW_OUT : KSPIN_DATAFLOW_IN);
        EXPECT_EQ(pins[0].Communication, KSPIN_COMMUNICATION_SINK);
        EXPECT_EQ(pins[1].Flow, engineId ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT);
        EXPECT_EQ(pins[1].Communication, KSPIN_COMMUNICATION_NONE);
        EXPECT_TRUE(*pins[1].Category == KSCATEGORY_AUDIO);
        EXPECT_EQ(pins[0].Name, nullptr);
        // The bridge range, byte for byte: 64, 0, 0, 0, audio, analog, none.
        ASSERT_EQ(pins[1].Ranges.size(), 1u);
        const KSDATARANGE bridge = {
            64, 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG, KSDATAFORMAT_SPECIFIER_NONE};
        EXPECT_EQ(std::memcmp(pins[1].Ranges[0].data(), &bridge, 64), 0);
        const auto nodes = filter.Nodes();
        ASSERT_EQ(nodes.size(), 1u);
        EXPECT_TRUE(nodes[0].Type == (engineId ? KSNODETYPE_ADC : KSNODETYPE_DAC));
        EXPECT_TRUE(nodes[0].Properties.empty());
        const auto c = filter.Connections();
        ASSERT_EQ(c.size(), 2u);
        const ULONG source = engineId ? 1 : 0;
        EXPECT_TRUE(c[0].FromNode == PCFILTER_NODE && c[0].FromNodePin == source && c[0].ToNode == 0 &&
                    c[0].ToNodePin == 1);
        EXPECT_TRUE(c[1].FromNode == 0 && c[1].FromNodePin == 0 && c[1].ToNode == PCFILTER_NODE &&
                    c[1].ToNodePin == 1 - source);
        PWSTR name = nullptr;
        ASSERT_EQ(static_cast<IMiniportPrivate *>(miniport)->GetName(&name), STATUS_SUCCESS);
        EXPECT_EQ(std::u16string(name), engineId ? u"MicIn00Wave" : u"HPOut00Wave");
        EXPECT_EQ(miniport->PowerState(), PowerDeviceD0);
        POWER_STATE state;
        state.DeviceState = PowerDeviceD3;
        miniport->PowerChangeNotify(state);
        state.DeviceState = PowerDeviceMaximum;
        miniport->PowerChangeNotify(state);
        EXPECT_EQ(miniport->PowerState(), PowerDeviceD3);
        Close();
    }
}

TEST_F(WaveMiniportTest, DataFormatsAreCheckedBySizeMajorFormatAndTheEnginesList)
{
    const WAVEFORMATEXTENSIBLE listed = MakeFormat(kPcm, 2, 48000, 16);
    WAVEFORMATEXTENSIBLE plain = MakeFormat(kPcm, 2, 48000, 16, false);
    Build(0, {listed});
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(Validate(DataFormat(plain, 82, 64, 18)), STATUS_SUCCESS);
    EXPECT_EQ(Validate(DataFormat(plain, 90, 72, 18)), STATUS_SUCCESS);
    EXPECT_EQ(Validate(DataFormat(plain, 96, 72, 18, KSDATAFORMAT_ATTRIBUTES)), STATUS_SUCCESS);
    EXPECT_EQ(Validate(DataFormat(listed)), STATUS_SUCCESS);
    EXPECT_EQ(Validate(DataFormat(plain, 86, 64, 18)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Validate(DataFormat(plain, 81, 64, 17)), STATUS_INVALID_PARAMETER);
    // An extensible tag where only 18 bytes fit, and a foreign tag claiming more than the format holds.
    EXPECT_EQ(Validate(DataFormat(listed, 90, 72, 18)), STATUS_INVALID_PARAMETER);
    WAVEFORMATEXTENSIBLE foreign = listed;
    foreign.Format.wFormatTag = 0xFFFF;
    foreign.Format.cbSize = 0xFFFF;
    EXPECT_EQ(Validate(DataFormat(foreign)), STATUS_INVALID_PARAMETER);
    foreign.Format.cbSize = 22;
    EXPECT_EQ(Validate(DataFormat(foreign)), STATUS_INVALID_PARAMETER);
    auto video = DataFormat(listed);
    reinterpret_cast<KSDATAFORMAT *>(video.data())->MajorFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    EXPECT_EQ(Validate(video), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Validate(DataFormat(MakeFormat(kPcm, 2, 44100, 16))), STATUS_INVALID_PARAMETER);
}

TEST_F(WaveMiniportTest, IntersectionAnswersOneOfTheEnginesFormats)
{
    const WAVEFORMATEXTENSIBLE stereo = MakeFormat(kPcm, 2, 48000, 24);
    Build(0, {MakeFormat(kPcm, 2, 44100, 16), stereo}, 1);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    sim::audio::Filter filter(port);
    UCHAR result[104];
    std::memset(result, 0xEE, sizeof(result));
    ULONG length = 0;
    auto wildcard = ClientRange(KSDATAFORMAT_SPECIFIER_WILDCARD, 8, 1, 200000, 8, 32);
    EXPECT_EQ(filter.Intersect(0, &wildcard, 88, 0, nullptr, &length), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(length, 104u);
    EXPECT_EQ(filter.Intersect(0, &wildcard, 88, 103, result, &length), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(filter.Intersect(0, &wildcard, 88, 104, result, &length), STATUS_SUCCESS);
    EXPECT_EQ(length, 104u);
    const KSDATAFORMAT header = {
        104, 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX};
    EXPECT_EQ(std::memcmp(result, &header, 64), 0);
    EXPECT_EQ(std::memcmp(result + 64, &stereo, 40), 0); // the maximum of the range: 2 x 48 kHz x 24

    auto dsound = ClientRange(KSDATAFORMAT_SPECIFIER_DSOUND, 2, 48000, 48000, 24, 24);
    EXPECT_EQ(filter.Intersect(0, &dsound, 88, 104, result, &length), STATUS_NOT_SUPPORTED);

    // An 8-channel client gets the listed two-channel format, with its block as the sample size; the
    // smaller maxima must name a listed format (48 kHz is not listed at 16 bits).
    auto eight = ClientRange(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 8, 8000, 48000, 16, 16);
    EXPECT_EQ(filter.Intersect(0, &eight, 88, 104, result, &length), STATUS_NO_MATCH);
    const WAVEFORMATEXTENSIBLE expected = MakeFormat(kPcm, 2, 44100, 16);
    eight = ClientRange(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 8, 8000, 44100, 16, 16);
    ASSERT_EQ(filter.Intersect(0, &eight, 88, 104, result, &length), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(result + 64, &expected, 40), 0);
    EXPECT_EQ(reinterpret_cast<KSDATAFORMAT *>(result)->SampleSize, 4u);
    eight = ClientRange(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 8, 8000, 32000, 16, 16);
    EXPECT_EQ(filter.Intersect(0, &eight, 88, 104, result, &length), STATUS_NO_MATCH); // 32 kHz is not listed

    auto apart = ClientRange(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 2, 96000, 192000, 16, 24);
    EXPECT_EQ(filter.Intersect(0, &apart, 88, 104, result, &length), STATUS_NO_MATCH);
    auto unknown =
        ClientRange(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 2, 48000, 48000, 24, 24, SubFormatForTag(kFloat));
    EXPECT_EQ(filter.Intersect(0, &unknown, 88, 104, result, &length), STATUS_NO_MATCH);
    auto other = ClientRange(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 2, 48000, 48000, 24, 24);
    other.DataRange.MajorFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    EXPECT_EQ(filter.Intersect(0, &other, 88, 104, result, &length), STATUS_NO_MATCH);

    // Bad arguments come first on every path and write nothing.
    PPCFILTER_DESCRIPTOR d = nullptr;
    ASSERT_EQ(miniport->GetDescription(&d), STATUS_SUCCESS);
    auto small = wildcard;
    small.DataRange.FormatSize = 63;
    EXPECT_EQ(miniport->DataRangeIntersection(0, &small.DataRange, d->Pins[0].KsPinDescriptor.DataRanges[0],
                                              104, result, &length),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(miniport->DataRangeIntersection(0, &dsound.DataRange, d->Pins[0].KsPinDescriptor.DataRanges[0],
                                              104, nullptr, &length),
              STATUS_INVALID_PARAMETER);
    dsound.DataRange.FormatSize = 64;
    auto eighty = ClientRange(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 2, 48000, 48000, 24, 24);
    eighty.DataRange.FormatSize = 80;
    EXPECT_EQ(miniport->DataRangeIntersection(0, &eighty.DataRange, d->Pins[0].KsPinDescriptor.DataRanges[0],
                                              104, result, &length),
              STATUS_INVALID_PARAMETER);
}

TEST_F(WaveMiniportTest, PrivatePropertiesAnswerStreamInfoAndListedFormats)
{
    Build(0, {MakeFormat(kPcm, 2, 48000, 16)});
    hal->SetStreamInfo({1, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    sim::audio::Filter filter(port);
    ULONG words[8] = {};
    ULONG size = 31;
    EXPECT_EQ(filter.Get(KSPROPSETID_MiniportPrivate, 1, PCFILTER_NODE, nullptr, 0, words, &size),
              STATUS_INVALID_DEVICE_REQUEST);
    size = 32;
    ASSERT_EQ(filter.Get(KSPROPSETID_MiniportPrivate, 1, PCFILTER_NODE, nullptr, 0, words, &size),
              STATUS_SUCCESS);
    EXPECT_EQ(size, 32u);
    EXPECT_EQ(words[0], 1u);
    EXPECT_EQ(words[7], 8u);

    WAVEFORMATEXTENSIBLE format = MakeFormat(kPcm, 2, 48000, 16);
    EXPECT_EQ(filter.Set(KSPROPSETID_MiniportPrivate, 5, PCFILTER_NODE, nullptr, 0, &format, 40),
              STATUS_SUCCESS);
    EXPECT_EQ(filter.Set(KSPROPSETID_MiniportPrivate, 5, PCFILTER_NODE, nullptr, 0, &format, 39),
              STATUS_INVALID_PARAMETER);
    format.Format.nSamplesPerSec = 44100;
    EXPECT_EQ(filter.Set(KSPROPSETID_MiniportPrivate, 5, PCFILTER_NODE, nullptr, 0, &format, 40),
              STATUS_INVALID_PARAMETER);
    // Ids the handler does not serve, should a table send them.
    const PCPROPERTY_ITEM item = {&KSPROPSETID_MiniportPrivate, 2, PCPROPERTY_ITEM_FLAG_GET, nullptr};
    PCPROPERTY_REQUEST request{static_cast<IMiniportWaveCyclic *>(miniport),
                               nullptr,
                               PCFILTER_NODE,
                               &item,
                               KSPROPERTY_TYPE_GET,
                               0,
                               nullptr,
                               32,
                               words,
                               nullptr};
    EXPECT_EQ(CMiniportWaveCyclic::PrivatePropertyHandler(&request), STATUS_INVALID_DEVICE_REQUEST);
}

TEST_F(WaveMiniportTest, TheTerminalIdIsTheLastStreamingTerminalAndNoneIsAFailure)
{
    Build(0, {MakeFormat(kPcm, 2, 48000, 16)});
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    ULONG id = 77;
    ASSERT_EQ(miniport->GetTerminalId(&id), STATUS_SUCCESS);
    EXPECT_EQ(id, 4u);
    streaming->type = 2; // no streaming terminal left
    id = 77;
    EXPECT_EQ(miniport->GetTerminalId(&id), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(id, 77u);
}

TEST_F(WaveMiniportTest, OneStreamAtATime)
{
    const WAVEFORMATEXTENSIBLE listed = MakeFormat(kPcm, 2, 48000, 16);
    Build(0, {listed});
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    auto data = DataFormat(listed);
    auto *format = reinterpret_cast<PKSDATAFORMAT>(data.data());
    PMINIPORTWAVECYCLICSTREAM stream = nullptr;
    PDMACHANNEL dma = nullptr;
    PSERVICEGROUP group = nullptr;
    ASSERT_EQ(miniport->NewStream(&stream, nullptr, NonPagedPool, 0, FALSE, format, &dma, &group),
              STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&g_stream.format, &listed, 40), 0);
    EXPECT_EQ(miniport->NewStream(&stream, nullptr, NonPagedPool, 0, FALSE, format, &dma, &group),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(g_stream.created, 1);
    miniport->StreamClosed();

    // A failed creation or format gives the count back.
    g_stream.status = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(miniport->NewStream(&stream, nullptr, NonPagedPool, 0, FALSE, format, &dma, &group),
              STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(miniport->OpenStreams(), 0);
    reinterpret_cast<KSDATAFORMAT *>(data.data())->FormatSize = 86;
    EXPECT_EQ(miniport->NewStream(&stream, nullptr, NonPagedPool, 0, FALSE, format, &dma, &group),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(miniport->OpenStreams(), 0);
    // The real creation entry opens the stream; its last release gives the count back.
    miniport->SetStreamCreator(nullptr);
    reinterpret_cast<KSDATAFORMAT *>(data.data())->FormatSize = 104;
    ASSERT_EQ(miniport->NewStream(&stream, nullptr, NonPagedPool, 0, FALSE, format, &dma, &group),
              STATUS_SUCCESS);
    EXPECT_EQ(miniport->OpenStreams(), 1);
    stream->Release();
    dma->Release();
    group->Release();
    EXPECT_EQ(miniport->OpenStreams(), 0);

    // Two callers racing: each round exactly one opens.
    miniport->SetStreamCreator(RecordingCreator);
    g_stream.status = STATUS_SUCCESS;
    reinterpret_cast<KSDATAFORMAT *>(data.data())->FormatSize = 104;
    std::atomic<int> opened{0};
    std::atomic<int> ready{0};
    for (int round = 0; round < kRacingRounds; ++round)
    {
        ready = 0;
        auto open = [&]
        {
            // Both callers leave together, so their checks overlap.
            ++ready;
            while (ready.load() < 2)
                std::this_thread::yield();
            PMINIPORTWAVECYCLICSTREAM s = nullptr;
            PDMACHANNEL d = nullptr;
            PSERVICEGROUP g = nullptr;
            if (NT_SUCCESS(miniport->NewStream(&s, nullptr, NonPagedPool, 0, FALSE, format, &d, &g)))
                ++opened;
        };
        sim::HostThread other(open);
        open();
        other.Join();
        // Close whatever opened first, so a failing round does not leave the destructor waiting.
        const LONG streams = miniport->OpenStreams();
        for (LONG i = 0; i < streams; ++i)
            miniport->StreamClosed();
        ASSERT_EQ(opened.load(), round + 1);
        ASSERT_EQ(streams, 1);
    }
}

TEST_F(WaveMiniportTest, DestructionWaitsForTheOpenStreamToClose)
{
    const WAVEFORMATEXTENSIBLE listed = MakeFormat(kPcm, 2, 48000, 16);
    Build(0, {listed});
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    auto data = DataFormat(listed);
    PMINIPORTWAVECYCLICSTREAM stream = nullptr;
    PDMACHANNEL dma = nullptr;
    PSERVICEGROUP group = nullptr;
    ASSERT_EQ(miniport->NewStream(&stream, nullptr, NonPagedPool, 0, FALSE,
                                  reinterpret_cast<PKSDATAFORMAT>(data.data()), &dma, &group),
              STATUS_SUCCESS);
    CMiniportWaveCyclic *open = miniport;
    std::atomic<bool> destroyed{false};
    port->Release();
    port = nullptr;
    PUNKNOWN last = miniportUnknown;
    miniportUnknown = nullptr;
    sim::HostThread owner(
        [&]
        {
            last->Release(); // the last reference: the destructor waits
            destroyed = true;
        });
    sim::AdvanceMs(1000);
    EXPECT_FALSE(destroyed.load());
    open->StreamClosed();
    owner.Join();
    EXPECT_TRUE(destroyed.load());
}

TEST_F(WaveMiniportTest, EveryAllocationOfCreationAndInitCanFailCleanly)
{
    Build(0, {MakeFormat(kPcm, 2, 48000, 16), MakeFormat(kFloat, 2, 48000, 32)});
    FailEachAllocation([&] { return Open(); },
                       [&](NTSTATUS status)
                       {
                           if (!NT_SUCCESS(status))
                           {
                               EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
                           }
                           else
                           {
                               // A success is the whole miniport: its name and both ranges.
                               PWSTR name = nullptr;
                               ASSERT_NE(miniport, nullptr);
                               ASSERT_EQ(miniport->GetName(&name), STATUS_SUCCESS);
                               EXPECT_EQ(std::u16string(name ? name : u""), u"HPOut00Wave");
                               EXPECT_EQ(Ranges().size(), 2u);
                           }
                           ClosePort();
                       });
}

// The stream takes its rate chain at creation: with the driver's creator registered, each of the
// chain's allocations failed in turn fails the pin with STATUS_INSUFFICIENT_RESOURCES and leaves
// nothing, and the miniport's count is given back.
TEST_F(WaveMiniportTest, EachAllocationOfTheStreamsRateChainFailsThePinCleanly)
{
    const WAVEFORMATEXTENSIBLE listed = MakeFormat(kPcm, 2, 44100, 16);
    Build(0, {listed});
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    miniport->SetStreamCreator(nullptr);
    SetRateChainCreator(&CreateSampleRateChain);
    // A failed assertion must not leave the chain registered for the tests after this one.
    CScopeGuard unregister([] { SetRateChainCreator(nullptr); });
    auto data = DataFormat(listed);
    auto *format = reinterpret_cast<PKSDATAFORMAT>(data.data());
    PMINIPORTWAVECYCLICSTREAM stream = nullptr;
    PDMACHANNEL dma = nullptr;
    PSERVICEGROUP group = nullptr;
    size_t allocations = 0;
    FailEachAllocation(
        [&]
        {
            const size_t before = sim::Allocations();
            const NTSTATUS status =
                miniport->NewStream(&stream, nullptr, NonPagedPool, 0, FALSE, format, &dma, &group);
            allocations = std::max(allocations, sim::Allocations() - before);
            return status;
        },
        [&](NTSTATUS status)
        {
            if (NT_SUCCESS(status))
            {
                EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::DSPS), 1u);
                stream->Release();
                dma->Release();
                group->Release();
                return;
            }
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(stream, nullptr);
            EXPECT_EQ(miniport->OpenStreams(), 0);
        });
    // Object, service group, the chain's 102 blocks, the cyclic buffer.
    EXPECT_GT(allocations, 100u);
}

} // namespace
