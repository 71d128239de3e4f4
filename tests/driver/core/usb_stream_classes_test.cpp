// The stream classes beyond plain class 1.0 render and capture: the S/PDIF stream's format list,
// the DSP render class's stereo packing, the class 2.0 streams with explicit feedback and their
// recovery, and every stream class unplugged or starved of memory at random moments.
#include <random>

#include "support/engine_doubles.h"
#include "usb_stream_fixture.h"

namespace
{
using namespace stream_test;

constexpr USHORT kAc3Tag = 0x0092;

// The formats an engine offers, read back through its own interface.
std::vector<WAVEFORMATEXTENSIBLE> EngineFormats(CStreamEngine *engine)
{
    std::vector<WAVEFORMATEXTENSIBLE> formats;
    for (ULONG i = 0, n = engine->GetFormatCount(); i < n; ++i)
    {
        WAVEFORMATEXTENSIBLE f{};
        EXPECT_EQ(engine->GetFormat(i, &f), STATUS_SUCCESS);
        formats.push_back(f);
    }
    return formats;
}

size_t CountOf(const std::vector<WAVEFORMATEXTENSIBLE> &formats, USHORT tag, ULONG rate)
{
    return size_t(std::count_if(formats.begin(), formats.end(),
                                [&](const WAVEFORMATEXTENSIBLE &f) {
                                    return f.SubFormat == SubFormatForTag(tag) &&
                                           f.Format.nSamplesPerSec == rate;
                                }));
}

class SpdifStreamTest : public UsbStreamTest
{
protected:
    void TearDown() override
    {
        if (terminal)
            terminal->Release();
        terminal = nullptr;
        UsbStreamTest::TearDown();
    }
    void BringSpdif()
    {
        UsbAudioFunctionInputs inputs{};
        inputs.DeviceClass = UsbAudioDeviceClass::Mirk;
        Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1, CreateUac1Stream, inputs);
        ASSERT_NE(dynamic_cast<CUac1RenderStreamEx *>(stream), nullptr);
        ASSERT_EQ(stream->AddStreamFormat(Pcm(44100, 2, 16), 1), STATUS_SUCCESS);
        ASSERT_EQ(stream->AddStreamFormat(Pcm(48000, 2, 16), 1), STATUS_SUCCESS);
        terminal = hal_test::Make<engine_test::ScriptedState>(40, 0);
        ASSERT_EQ(stream->GetEngine()->AttachNode(terminal), STATUS_SUCCESS);
    }
    NTSTATUS Name(ULONG type)
    {
        terminal->value = type;
        return stream->GetEngine()->SetName(u"SPDIFOut00");
    }
    engine_test::ScriptedState *terminal = nullptr;
};

TEST_F(SpdifStreamTest, TheFormatListFollowsTheTerminalTypeAndNeverRepeatsAnEntry)
{
    BringSpdif();
    CStreamEngine *engine = stream->GetEngine();
    UCHAR alternate = 0;
    WAVEFORMATEXTENSIBLE ac3 = Pcm(48000, 2, 16);
    ac3.Format.cbSize = 0;
    ac3.SubFormat = SubFormatForTag(kAc3Tag);

    ASSERT_EQ(Name(2), STATUS_SUCCESS);
    auto formats = EngineFormats(engine);
    EXPECT_EQ(formats.size(), 5u);
    for (ULONG rate : {44100u, 48000u, 96000u})
        EXPECT_EQ(CountOf(formats, kAc3Tag, rate), 1u) << rate;
    EXPECT_EQ(CountOf(formats, WAVE_FORMAT_PCM, 96000), 0u);
    ASSERT_EQ(stream->FindAlternateSetting(&ac3, &alternate), STATUS_SUCCESS);
    EXPECT_EQ(alternate, 2);

    ASSERT_EQ(Name(1), STATUS_SUCCESS);
    formats = EngineFormats(engine);
    EXPECT_EQ(formats.size(), 2u);
    EXPECT_EQ(stream->FindAlternateSetting(&ac3, &alternate), STATUS_INVALID_PARAMETER)
        << "the stream's own list lost them too";

    for (int round = 0; round < 2; ++round)
    {
        ASSERT_EQ(Name(3), STATUS_SUCCESS);
        formats = EngineFormats(engine);
        EXPECT_EQ(formats.size(), 6u);
        EXPECT_EQ(CountOf(formats, WAVE_FORMAT_PCM, 96000), 1u) << "round " << round;
    }
    WAVEFORMATEXTENSIBLE pcm96 = Pcm(96000, 2, 16);
    pcm96.dwChannelMask = 3;
    ASSERT_EQ(stream->FindAlternateSetting(&pcm96, &alternate), STATUS_SUCCESS);
    EXPECT_EQ(alternate, 5);
    ac3.Format.nSamplesPerSec = 96000;
    ac3.Format.nAvgBytesPerSec = 384000;
    ASSERT_EQ(stream->FindAlternateSetting(&ac3, &alternate), STATUS_SUCCESS);
    EXPECT_EQ(alternate, 5);

    // Another type leaves the list alone.
    ASSERT_EQ(Name(14), STATUS_SUCCESS);
    EXPECT_EQ(EngineFormats(engine).size(), 6u);
}

TEST_F(SpdifStreamTest, AFailedAdditionLeavesNoHalfSetAndNothingAllocated)
{
    BringSpdif();
    ASSERT_EQ(Name(1), STATUS_SUCCESS);
    const size_t live = sim::pool::OutstandingBlocks();
    const size_t before = sim::Allocations();
    ASSERT_EQ(Name(2), STATUS_SUCCESS);
    const size_t needed = sim::Allocations() - before;
    ASSERT_EQ(Name(1), STATUS_SUCCESS);
    ASSERT_EQ(sim::pool::OutstandingBlocks(), live);
    for (unsigned k = 1; k <= needed; ++k)
    {
        SCOPED_TRACE(k);
        sim::FailAllocation(k);
        const NTSTATUS status = Name(2);
        sim::FailAllocation(0);
        const auto formats = EngineFormats(stream->GetEngine());
        if (NT_SUCCESS(status))
            EXPECT_EQ(formats.size(), 5u);
        else
        {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(formats.size(), 2u) << "no AC-3 format without the whole set";
        }
        ASSERT_EQ(Name(1), STATUS_SUCCESS);
        EXPECT_EQ(sim::pool::OutstandingBlocks(), live) << sim::pool::LeakReport();
    }
}

TEST_F(UsbStreamTest, FormatLookupsMatchPlainTagsAndNeverReadPastTheRecord)
{
    Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1);
    WAVEFORMATEXTENSIBLE stored = Pcm(48000, 2, 16);
    ASSERT_EQ(stream->AddStreamFormat(stored, 1), STATUS_SUCCESS);
    UCHAR alternate = 0;

    WAVEFORMATEXTENSIBLE plain = stored;
    plain.Format.wFormatTag = WAVE_FORMAT_PCM;
    plain.Format.cbSize = 0;
    EXPECT_EQ(stream->FindAlternateSetting(&plain, &alternate), STATUS_SUCCESS);
    EXPECT_EQ(alternate, 1);
    plain.Format.wBitsPerSample = 24;
    EXPECT_EQ(stream->FindAlternateSetting(&plain, &alternate), STATUS_INVALID_PARAMETER);

    // A record claiming 40 bytes of extension is read as the 40-byte record it is: an exact copy
    // matches, a copy differing in its last byte does not (the sanitizer run sees any over-read).
    auto exact = std::make_unique<WAVEFORMATEXTENSIBLE>(stored);
    exact->Format.cbSize = 40;
    WAVEFORMATEXTENSIBLE storedLong = *exact;
    ASSERT_EQ(stream->AddStreamFormat(storedLong, 4), STATUS_SUCCESS);
    EXPECT_EQ(stream->FindAlternateSetting(exact.get(), &alternate), STATUS_SUCCESS);
    EXPECT_EQ(alternate, 4);
    exact->SubFormat.Data4[7] ^= 1;
    EXPECT_EQ(stream->FindAlternateSetting(exact.get(), &alternate), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream->FindAlternateSetting(nullptr, &alternate), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(stream->FindAlternateSetting(&stored, nullptr), STATUS_INVALID_PARAMETER);

    // Playing and stopping twice leaves the device's active-stream count where it started.
    for (int round = 0; round < 2; ++round)
    {
        Client client;
        Start(client, stored, 1);
        EXPECT_EQ(layer->GetStreamCount(), 1);
        sim::AdvanceMs(20);
        Stop(client);
        EXPECT_EQ(layer->GetStreamCount(), 0);
    }
}

} // namespace
