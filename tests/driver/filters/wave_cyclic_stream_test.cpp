// The wave-cyclic stream opened through the port's pins, over a scripted device stream whose messages
// the tests send: the client calls each state step makes, the pin checks, and the position and copy
// books against exact values worked out from the formats.
#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "scripted_stream.h"

namespace
{
using namespace scripted_stream;

TEST_F(WaveCyclicStreamTest, PinsOpenOnlyForFormatsTheirRangesAndTheMiniportAccept)
{
    const auto pcm48 = MakeFormat(kPcm, 2, 48000, 16);
    Build({MakeFormat(kPcm, 2, 44100, 16), pcm48, MakeFormat(kPcm, 2, 48000, 24)});
    const auto good = DataFormat(pcm48);

    // Refusals change nothing: no stream, no instance taken.
    auto longer = good;
    reinterpret_cast<KSDATAFORMAT *>(longer.data())->FormatSize = 105;
    EXPECT_EQ(Open(longer), STATUS_INVALID_PARAMETER) << "FormatSize past the caller's bytes";
    EXPECT_EQ(sim::audio::OpenPin(*filter, 0, good.data(), 63, &pin), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::audio::OpenPin(*filter, 1, good.data(), 104, &pin), STATUS_INVALID_DEVICE_REQUEST)
        << "the bridge pin does not stream";
    EXPECT_EQ(sim::audio::OpenPin(*filter, 2, good.data(), 104, &pin), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Open(DataFormat(MakeFormat(kPcm, 8, 48000, 16))), STATUS_NO_MATCH);
    EXPECT_EQ(Open(DataFormat(MakeFormat(kPcm, 2, 96000, 16))), STATUS_NO_MATCH);
    EXPECT_EQ(Open(DataFormat(pcm48, 86)), STATUS_INVALID_PARAMETER) << "no wave record is 22 bytes";
    EXPECT_EQ(miniport->OpenStreams(), 0);
    EXPECT_EQ(pin, nullptr);

    // A plain 18-byte record opens; the stream's 40-byte copy holds nothing from beyond it.
    auto plain = MakeFormat(kPcm, 2, 48000, 16, false);
    ASSERT_EQ(Open(DataFormat(plain, 82)), STATUS_SUCCESS);
    const auto *stored = reinterpret_cast<const UCHAR *>(&Stream()->Format());
    for (size_t i = sizeof(WAVEFORMATEX); i < sizeof(WAVEFORMATEXTENSIBLE); ++i)
        ASSERT_EQ(stored[i], 0) << "byte " << i;
    std::unique_ptr<sim::audio::Pin> second;
    EXPECT_EQ(sim::audio::OpenPin(*filter, 0, good.data(), 104, &second), STATUS_INSUFFICIENT_RESOURCES)
        << "one instance";
    EXPECT_EQ(pin->NotificationInterval(), 10u);
    EXPECT_EQ(pin->FramingSize(), 1920u);
    ULONG framing = 0;
    EXPECT_EQ(pin->Stream()->SetNotificationFreq(3, &framing), 10u) << "the stream keeps its own interval";
    EXPECT_EQ(framing, 1920u);
    EXPECT_EQ(pin->BufferSize(), 9600u);

    // The format changes only while not running, and only to one the pin accepts.
    auto data24 = DataFormat(MakeFormat(kPcm, 2, 48000, 24));
    EXPECT_EQ(pin->SetFormat(DataFormat(MakeFormat(kPcm, 6, 48000, 16)).data(), 104), STATUS_NO_MATCH);
    const PVOID buffer = Stream()->SystemAddress();
    sim::FailAllocation(1);
    EXPECT_EQ(pin->SetFormat(data24.data(), 104), STATUS_INSUFFICIENT_RESOURCES);
    sim::FailAllocation(0);
    EXPECT_EQ(Stream()->SystemAddress(), buffer) << "a failed reallocation keeps the buffer and format";
    EXPECT_EQ(Stream()->AllocatedBufferSize(), 9600u);
    EXPECT_EQ(Stream()->Format().Format.wBitsPerSample, 16);
    ASSERT_EQ(pin->SetFormat(data24.data(), 104), STATUS_SUCCESS);
    EXPECT_EQ(pin->BufferSize(), 14400u);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(pin->SetFormat(good.data(), 104), STATUS_UNSUCCESSFUL);
    pin.reset();
    EXPECT_EQ(miniport->OpenStreams(), 0);
    ASSERT_EQ(Open(good), STATUS_SUCCESS) << "the pin opens again after a close";
}

TEST_F(WaveCyclicStreamTest, RunRegistersOpensStartsAndPauseUndoesItInReverse)
{
    const auto pcm48 = MakeFormat(kPcm, 2, 48000, 16);
    Build({pcm48});
    ASSERT_EQ(Open(DataFormat(pcm48)), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(control.calls, (std::vector<std::string>{"Register", "Open", "Start 102"}));
    EXPECT_EQ(control.record.Kind, 3);
    EXPECT_EQ(control.record.FramesPerTransfer, 5u);
    EXPECT_EQ(control.record.TransfersInFlight, 3u);
    control.calls.clear();
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(control.calls, (std::vector<std::string>{"Stop", "Close", "Unregister"}));

    // A failed step stops the walk where it is, with what the step took given back.
    control.calls.clear();
    control.failNext = "Open";
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pin->State(), KSSTATE_PAUSE);
    EXPECT_EQ(control.calls, (std::vector<std::string>{"Register", "Open", "Unregister"}));
    control.calls.clear();
    control.failNext = "Start";
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(control.calls,
              (std::vector<std::string>{"Register", "Open", "Start 102", "Close", "Unregister"}));

    // Closing a running pin steps it down: the client is gone before the stream is.
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    control.calls.clear();
    pin.reset();
    EXPECT_EQ(control.calls, (std::vector<std::string>{"Stop", "Close", "Unregister"}));
    EXPECT_EQ(miniport->OpenStreams(), 0);
}

TEST_F(WaveCyclicStreamTest, PositionMessagesOnlyQueueTheServiceAndTheClientRefillsOnTheDpc)
{
    const auto pcm48 = MakeFormat(kPcm, 2, 48000, 16);
    Build({pcm48});
    ASSERT_EQ(Open(DataFormat(pcm48)), STATUS_SUCCESS);
    std::vector<UCHAR> source(48000 * 4);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = UCHAR(i * 7 + 1);
    pin->SetSource(source);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(pin->Counters().Moved, 4800u) << "half the buffer before the run";
    control.Announce(pcm48, 5, 3);
    std::vector<UCHAR> block(960);
    std::vector<UCHAR> played;
    for (int i = 0; i < 3; ++i)
        control.Fill(&block), played.insert(played.end(), block.begin(), block.end());
    for (int i = 0; i < 40; ++i)
    {
        control.Played(960);
        sim::RunUntilIdle();
        ASSERT_EQ(pin->Counters().Services, ULONG(i + 1));
        control.Fill(&block);
        played.insert(played.end(), block.begin(), block.end());
    }
    const auto counters = pin->Counters();
    EXPECT_EQ(counters.Misplaced, 0u) << "services at DISPATCH_LEVEL on the DPC thread, never inside Notify";
    EXPECT_EQ(counters.Underruns, 0u);
    EXPECT_EQ(counters.Backwards, 0u);
    EXPECT_EQ(counters.Position, 40u * 960);
    EXPECT_LE(counters.Moved - counters.Position, 4800u) << "at most half the buffer ahead";
    // The lead (15 ms) plays the untouched end of the buffer, then the source follows.
    ASSERT_EQ(played.size(), 43u * 960);
    for (size_t k = 0; k < played.size(); ++k)
        ASSERT_EQ(played[k], k < 2880 ? 0 : source[k - 2880]) << "byte " << k;
}

TEST_F(WaveCyclicStreamTest, PositionsWrapAtTheBufferSizeTheClientSet)
{
    const auto pcm48 = MakeFormat(kPcm, 2, 48000, 16);
    Build({pcm48});
    const ULONG size = 9600 * 7 / 10;
    ASSERT_EQ(Open(DataFormat(pcm48), size), STATUS_SUCCESS);
    ASSERT_EQ(pin->BufferSize(), size);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    control.Announce(pcm48, 5, 3);
    std::vector<UCHAR> block(960);
    for (int i = 0; i < 3; ++i)
        control.Fill(&block);
    for (int i = 0; i < 30; ++i)
    {
        control.Played(960);
        control.Fill(&block);
        sim::AdvanceMs(5);
        ASSERT_LT(Position(), size);
    }
    EXPECT_EQ(pin->Counters().Backwards, 0u);
    EXPECT_EQ(pin->Counters().Position, 30u * 960);
    // Silence beyond the buffer the client uses is refused as outside it.
    auto *base = static_cast<UCHAR *>(pin->Buffer());
    base[size - 4] = 0x66;
    base[size] = 0x55;
    pin->Stream()->Silence(base + size - 4, 8);
    EXPECT_EQ(base[size - 4], 0x66);
    EXPECT_EQ(base[size], 0x55);
    pin->Stream()->Silence(base + size - 4, 4);
    EXPECT_EQ(base[size - 4], 0x00);
}

// A render fill while another client of the device stream runs copies nothing into that client's
// transfer, but the stream's books move on as if it had: the next own fill continues one block later.
TEST_F(WaveCyclicStreamTest, ARenderFillForAnotherClientCopiesNothingButKeepsTheBooks)
{
    const auto pcm48 = MakeFormat(kPcm, 2, 48000, 16);
    Build({pcm48});
    ASSERT_EQ(Open(DataFormat(pcm48)), STATUS_SUCCESS);
    std::vector<UCHAR> source(48000 * 4);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = UCHAR(i * 3 + 1) | 1;
    pin->SetSource(source);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    control.Announce(pcm48, 5, 3);
    std::vector<UCHAR> block(960);
    for (int i = 0; i < 3; ++i)
        control.Fill(&block); // the lead: the buffer's untouched end
    PVOID own = control.record.ClientHandle;
    control.record.ClientHandle = &block; // another client's transfer
    std::fill(block.begin(), block.end(), UCHAR(0));
    control.Fill(&block);
    EXPECT_EQ(std::count(block.begin(), block.end(), UCHAR(0)), 960);
    control.record.ClientHandle = own;
    control.Fill(&block);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), source.begin() + 960));
}

// A buffer the port shortens brings the positions inside it: the copy cursor of a running stream,
// whose next block comes from inside the shortened buffer; the reported position at once; the played
// one when the stream runs and pauses again without a message between.
TEST_F(WaveCyclicStreamTest, ShorteningTheBufferWrapsThePositionsIntoIt)
{
    const auto pcm48 = MakeFormat(kPcm, 2, 48000, 16);
    Build({pcm48});
    ASSERT_EQ(Open(DataFormat(pcm48)), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    control.Announce(pcm48, 5, 3); // the copy cursor 15 ms (2880 bytes) before the end of 9600
    pin->Dma()->SetBufferSize(4800);
    auto *base = static_cast<UCHAR *>(pin->Buffer());
    std::fill(base, base + 4800, UCHAR(0x11));
    std::fill(base + 4800, base + 9600, UCHAR(0xEE));
    std::vector<UCHAR> block(960);
    control.Fill(&block);
    EXPECT_EQ(std::count(block.begin(), block.end(), UCHAR(0x11)), 960) << "from the client's buffer";

    for (int i = 0; i < 11; ++i)
        control.Fill(&block);
    for (int i = 0; i < 9; ++i)
        control.Played(960);
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(Position(), 9u * 960 % 4800);
    pin->Dma()->SetBufferSize(2400);
    EXPECT_EQ(Position(), 9u * 960 % 4800 % 2400);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    EXPECT_EQ(Position(), 9u * 960 % 4800 % 2400);
}

TEST_F(WaveCyclicStreamTest, PositionsAtEightChannelsOf32BitAt192kHzStayMonotoneAcrossLongGaps)
{
    const auto wide = MakeFormat(kPcm, 8, 192000, 32);
    Build({wide});
    ASSERT_EQ(Open(DataFormat(wide)), STATUS_SUCCESS);
    ASSERT_EQ(pin->BufferSize(), 307200u);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    control.Announce(wide, 10, 3);
    const ULONG block = 192 * 32 * 10; // 10 ms: 61440 bytes
    std::vector<UCHAR> buffer(block);
    for (int i = 0; i < 3; ++i)
        control.Fill(&buffer);
    control.Played(block);
    // Bytes per 10 µs are 61.44: 8 ms since the advance is 49152 bytes, and the block limits it.
    EXPECT_EQ(Position(), block);
    sim::AdvanceMs(8);
    EXPECT_EQ(Position(), block + 49152);
    sim::AdvanceMs(8);
    EXPECT_EQ(Position(), 2 * block);
    sim::AdvanceMs(8);
    EXPECT_EQ(Position(), 2 * block);
}

TEST_F(WaveCyclicStreamTest, ALeadLongerThanTheBufferStartsTheCopiesInsideIt)
{
    const auto pcm48 = MakeFormat(kPcm, 2, 48000, 16);
    Build({pcm48});
    ASSERT_EQ(Open(DataFormat(pcm48)), STATUS_SUCCESS);
    std::vector<UCHAR> source(9600);
    for (size_t i = 0; i < source.size(); ++i)
        source[i] = UCHAR(i * 11 + 5);
    pin->SetSource(source);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // 10 transfers of 10 ms in flight lead by 100 ms, twice the 50 ms buffer.
    control.Announce(pcm48, 10, 10);
    std::vector<UCHAR> block(1920);
    control.Fill(&block);
    EXPECT_TRUE(std::equal(block.begin(), block.end(), source.begin()));
}

TEST_F(WaveCyclicStreamTest, AnotherDeviceRateKeepsFrameExactBooksAndPlaysSilence)
{
    const auto pcm44 = MakeFormat(kPcm, 2, 44100, 16);
    const auto pcm48 = MakeFormat(kPcm, 2, 48000, 16);
    Build({pcm44, pcm48});
    ASSERT_EQ(Open(DataFormat(pcm44)), STATUS_SUCCESS);
    pin->SetSource(std::vector<UCHAR>(44100 * 4 * 12, 0x3C));
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    control.Announce(pcm48, 5, 3);
    std::mt19937 random(16);
    std::vector<UCHAR> block;
    ULONGLONG deviceFrames = 0;
    for (int i = 0; i < 1000; ++i)
    {
        block.assign(4 * (1 + random() % 960), 0);
        control.Fill(&block);
        ASSERT_EQ(std::count(block.begin(), block.end(), 0), ptrdiff_t(block.size())) << "silence";
        deviceFrames += block.size() / 4;
        control.Played(ULONG(block.size()));
        ASSERT_EQ(Stream()->TotalBytes(), deviceFrames * 44100 / 48000 * 4) << "block " << i;
    }
    // A device rate of 0 converts to nothing.
    auto broken = pcm48;
    broken.Format.nSamplesPerSec = 0;
    control.Announce(broken, 5, 3);
    control.Played(1920);
    EXPECT_EQ(Stream()->TotalBytes(), 0u);
}

TEST_F(WaveCyclicStreamTest, CaptureCopiesOnlyTheSameFormatAndWritesSilenceForAnother)
{
    const auto pcm16 = MakeFormat(kPcm, 2, 48000, 16);
    const auto pcm24 = MakeFormat(kPcm, 2, 48000, 24);
    Build({pcm16, pcm24}, 1);
    ASSERT_EQ(Open(DataFormat(pcm16)), STATUS_SUCCESS);
    ASSERT_TRUE(pin->Capture());
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    auto *base = static_cast<UCHAR *>(pin->Buffer());
    std::memset(base, 0xAA, pin->BufferSize());
    std::vector<UCHAR> captured(1440, 0x77);

    control.Announce(pcm24, 5, 3);
    control.Send(CYCLIC_MSG_CAPTURE_DATA, ULONG_PTR(captured.data()), 1440);
    for (ULONG i = 0; i < 1100; ++i)
        ASSERT_EQ(base[i], i < 960 ? 0x00 : 0xAA) << "byte " << i << ": 240 frames of silence";

    control.Announce(pcm16, 5, 3);
    control.Send(CYCLIC_MSG_CAPTURE_DATA, ULONG_PTR(captured.data()), 960);
    for (ULONG i = 0; i < 1100; ++i)
        ASSERT_EQ(base[i], i < 960 ? 0x77 : 0xAA) << "byte " << i;
}

} // namespace

namespace
{
using namespace scripted_stream;

// A data format the audio engine might send, right or wrong in any field: size, flags, identifiers,
// tag, channels, rate, bits, block align and cbSize.
std::vector<UCHAR> RandomDataFormat(std::mt19937 &random, const std::vector<WAVEFORMATEXTENSIBLE> &listed)
{
    auto wave = listed[random() % listed.size()];
    const auto pick = [&](auto good, auto bad) { return random() % 4 ? good : decltype(good)(bad); };
    wave.Format.nChannels = pick(wave.Format.nChannels, random() % 10);
    wave.Format.nSamplesPerSec = pick(wave.Format.nSamplesPerSec, random() % 200000);
    wave.Format.wBitsPerSample = pick(wave.Format.wBitsPerSample, 8 * (random() % 5));
    wave.Format.nBlockAlign = pick(wave.Format.nBlockAlign, random() % 40);
    wave.Format.cbSize = pick(wave.Format.cbSize, random() % 0x10000);
    wave.Format.wFormatTag = pick(wave.Format.wFormatTag, random() % 4);
    static const ULONG kSizes[] = {0, 63, 64, 81, 82, 86, 88, 90, 96, 104, 120};
    const ULONG size = pick(ULONG(104), kSizes[random() % std::size(kSizes)]);
    auto data = DataFormat(wave, std::max<ULONG>(size, 64));
    data.resize(size);
    if (size >= 8 && random() % 8 == 0)
        reinterpret_cast<KSDATAFORMAT *>(data.data())->Flags = random() % 4;
    if (size >= 64 && random() % 8 == 0)
        reinterpret_cast<KSDATAFORMAT *>(data.data())->MajorFormat.Data1 ^= 1;
    return data;
}

TEST_F(WaveCyclicStreamTest, RandomFormatsOpenOrChangeOnlyToAListedFormatAndLeaveNothingWhenRefused)
{
#ifdef __SANITIZE_ADDRESS__
    constexpr int kRounds = 300;
#else
    constexpr int kRounds = 3000;
#endif
    const std::vector<WAVEFORMATEXTENSIBLE> listed = {
        MakeFormat(kPcm, 2, 44100, 16), MakeFormat(kPcm, 2, 48000, 16), MakeFormat(kPcm, 2, 48000, 24)};
    Build(listed);
    const size_t live = sim::pool::OutstandingBlocks();
    const auto isListed = [&](const WAVEFORMATEXTENSIBLE &f)
    {
        return std::any_of(listed.begin(), listed.end(),
                           [&](const WAVEFORMATEXTENSIBLE &l)
                           {
                               return l.Format.nChannels == f.Format.nChannels &&
                                      l.Format.nSamplesPerSec == f.Format.nSamplesPerSec &&
                                      l.Format.wBitsPerSample == f.Format.wBitsPerSample;
                           });
    };
    std::mt19937 random(1603);
    int opened = 0, changed = 0;
    for (int round = 0; round < kRounds; ++round)
    {
        const auto data = RandomDataFormat(random, listed);
        // Exactly the bytes the engine sent, so a read past them shows under the sanitizer.
        std::unique_ptr<UCHAR[]> exact(new UCHAR[std::max<size_t>(data.size(), 1)]);
        std::copy(data.begin(), data.end(), exact.get());
        const NTSTATUS status = sim::audio::OpenPin(*filter, 0, exact.get(), ULONG(data.size()), &pin);
        if (!NT_SUCCESS(status))
        {
            ASSERT_EQ(pin, nullptr);
            ASSERT_EQ(miniport->OpenStreams(), 0);
            ASSERT_EQ(sim::pool::OutstandingBlocks(), live) << sim::pool::LeakReport();
            continue;
        }
        ASSERT_TRUE(isListed(Stream()->Format())) << "round " << round;
        ASSERT_EQ(pin->BufferSize(), Stream()->Format().Format.nAvgBytesPerSec / 20);
        const WAVEFORMATEXTENSIBLE before = Stream()->Format();
        const auto change = RandomDataFormat(random, listed);
        ++opened;
        if (NT_SUCCESS(pin->SetFormat(change.data(), ULONG(change.size()))))
            ++changed;
        else
            ASSERT_EQ(std::memcmp(&before, &Stream()->Format(), sizeof(before)), 0)
                << "a refusal changes nothing";
        ASSERT_TRUE(isListed(Stream()->Format())) << "round " << round;
        pin.reset();
        ASSERT_EQ(miniport->OpenStreams(), 0);
    }
    // Both ways are taken often enough to mean something.
    EXPECT_GT(opened, kRounds / 10);
    EXPECT_LT(opened, kRounds * 9 / 10);
    EXPECT_GT(changed, opened / 10);
}

} // namespace
