// A low-latency client on the started class 2.0 headset, end to end: its requests go through the I/O
// manager to the adapter, its buffers are registered on the real isochronous streams, and what it
// writes through its mapping reaches the virtual OUT endpoint while the IN endpoint's audio lands in
// its capture ring. A wave-cyclic client of the same stream gives way to it and resumes after it.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <sim/audio_client.h>
#include <sim/usb_iso_engine.h>

#include "support/asio_client.h"
#include "support/driver_machine.h"
#include "support/engine_doubles.h"
#include "support/miniport_bench.h"

namespace
{

using namespace asio_client;

constexpr unsigned kPort = 1;
constexpr uint8_t kOut = 0x01, kIn = 0x82;

class AsioStreamingTest : public DriverMachineTest
{
protected:
    void TearDown() override
    {
        if (file)
            process.CloseFile(file); // a failed test's client: removal must not wait for it
        if (pdo)
            bus->Unplug(kPort);
        DriverMachineTest::TearDown();
    }

    // The headset of a board that wants the start and stop signal, started, with the client's file
    // open and signals counted.
    void Start()
    {
        usbsim::Uac2Options options;
        options.vendorId = 0x0B05;
        options.productId = 0x17A8;
        headset = usbsim::VirtualDevice::Uac2(options);
        usbsim::RequestMatch signal;
        signal.in = false;
        signal.type = usbsim::RequestType::Vendor;
        signal.bRequest = 7;
        headset->AddHandler(signal,
                            [this](usbsim::VirtualDevice &, const usbsim::ControlRequest &r)
                            {
                                ++signals[r.wValue & 1];
                                return usbsim::ControlReply::Ok();
                            });
        pdo = bus->Plug(kPort, headset);
        sim::RunUntilIdle();
        ASSERT_TRUE(sim::pnp::Started(pdo));
        ASSERT_EQ(Open(process, pdo, &file), STATUS_SUCCESS);
        run = process.CreateEvent();
    }
    void End()
    {
        EXPECT_EQ(process.CloseFile(file), STATUS_SUCCESS);
        file = nullptr;
        EXPECT_EQ(process.CloseHandle(run), STATUS_SUCCESS);
        EXPECT_TRUE(sim::user::Mappings().empty());
        EXPECT_EQ(sim::user::LiveMdls(), 0u);
        EXPECT_EQ(sim::user::EventReferences(), 0u);
    }
    // 16-bit samples, buffers of `frames` for render channel 0 and capture channel 0.
    std::vector<uint32_t> Create(uint32_t frames)
    {
        EXPECT_EQ(Call(process, file, kSetSampleType, WordBytes({16}), 0).Status, STATUS_SUCCESS);
        Reply r = Call(process, file, kCreateBuffers, CreateRequest(frames), 8);
        EXPECT_EQ(r.Status, STATUS_SUCCESS);
        return NT_SUCCESS(r.Status) ? r.Words : std::vector<uint32_t>{};
    }
    std::vector<uint8_t> OutBytes() const
    {
        std::vector<uint8_t> bytes;
        for (const auto &p : bus->Iso(kPort).OutPackets(kOut))
            bytes.insert(bytes.end(), p.bytes.begin(), p.bytes.end());
        return bytes;
    }

    std::shared_ptr<usbsim::VirtualDevice> headset;
    PDEVICE_OBJECT pdo = nullptr;
    sim::user::Process process;
    PFILE_OBJECT file = nullptr;
    uint32_t run = 0;
    size_t signals[2] = {};
};

TEST_F(AsioStreamingTest, AClientPlaysAndRecordsThroughItsMappingsWithExactPositions)
{
    Start();
    bus->Iso(kPort).SetPattern(kIn, usbsim::IsoPattern::Ramp);
    // 960 frames at 48 kHz: a 20 ms period of transfers of five packets, split 4, three in flight.
    const std::vector<uint32_t> addresses = Create(960);
    ASSERT_EQ(addresses.size(), 2u);
    uint32_t *render = Header(process, addresses[0]);
    uint32_t *capture = Header(process, addresses[1]);
    ASSERT_TRUE(render && capture);
    EXPECT_EQ(render[kWordIsInput], 0u);
    EXPECT_EQ(capture[kWordIsInput], 1u);
    const uint32_t renderBytes = render[kWordDataBytes], captureBytes = capture[kWordDataBytes];
    EXPECT_EQ(renderBytes, 48u * 40 * 4) << "40 ms of 16-bit stereo";
    EXPECT_EQ(captureBytes, 48u * 40 * 2) << "40 ms of 16-bit mono";
    uint8_t *renderRing = process.At(addresses[0] + kHeaderBytes, renderBytes);
    ASSERT_NE(renderRing, nullptr);
    std::vector<uint8_t> written(renderBytes);
    std::mt19937 random(18);
    for (uint32_t i = 0; i < renderBytes; ++i)
        renderRing[i] = written[i] = uint8_t(random() | 1);

    ASSERT_EQ(Call(process, file, kStart, WordBytes({run}), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(signals[1], 1u);
    // Render starts three periods of 5 ms ahead of its end and is notified every three periods.
    const uint32_t period = 5 * 48 * 4;
    const uint32_t start = renderBytes - 3 * period;
    // Its first three transfers were filled as the streams started.
    EXPECT_EQ(render[kWordStart], start);
    EXPECT_EQ(render[kWordPosition], (start + 3 * period) % renderBytes);
    EXPECT_EQ(render[kWordNotify], 3 * period);
    EXPECT_EQ(capture[kWordStart], 0u);

    sim::AdvanceMs(200);
    // The capture ring holds the device's ramp, one sample after the other around the ring from the
    // driver's write position; the render position is the start offset plus what was handed to the
    // bus and the transfers still in flight.
    const uint32_t at = capture[kWordPosition];
    ASSERT_LT(at, captureBytes);
    const auto *recorded =
        reinterpret_cast<const int16_t *>(process.At(addresses[1] + kHeaderBytes, captureBytes));
    const size_t samples = captureBytes / 2;
    for (size_t i = 1; i < samples; ++i)
        ASSERT_EQ(uint16_t(recorded[(at / 2 + i) % samples] - recorded[(at / 2 + i - 1) % samples]), 1u)
            << "sample " << i;
    const uint32_t handed = (render[kWordPosition] + renderBytes - start) % renderBytes;
    const uint32_t ahead = (handed + renderBytes - uint32_t(OutBytes().size() % renderBytes)) % renderBytes;
    EXPECT_EQ(ahead % period, 0u);
    EXPECT_LE(ahead, 3 * period);

    // Both streams started 5 frames ahead and each transfer is a period of 5 frames: 39 periods
    // have ended in 200 ms, each one run event (the Last buffer is the capture one).
    EXPECT_EQ(capture[kWordPeriods], 39u);
    EXPECT_EQ(render[kWordPeriods], 39u);
    EXPECT_EQ(process.EventSets(run), 39u);

    ASSERT_EQ(Call(process, file, kStop, {}, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(signals[0], 1u);
    EXPECT_EQ(signals[1], 1u);
    EXPECT_TRUE(std::all_of(recorded, recorded + samples, [](int16_t v) { return v == 0; }))
        << "the capture buffer fell silent";

    // Every byte the OUT endpoint took is the ring's, read on from the start offset across wraps.
    const std::vector<uint8_t> played = OutBytes();
    ASSERT_GE(played.size(), 4u * 48 * 150);
    for (size_t k = 0; k < played.size(); ++k)
        ASSERT_EQ(played[k], written[(start + k) % renderBytes]) << "byte " << k;

    EXPECT_EQ(process.EventSets(run), 39u) << "none after Stop";
    End();
}

// Who played, in order: the OUT endpoint's bytes as runs of the wave client's source (odd bytes, 'w')
// and of the low-latency ring (even bytes, 'a'); silence between them is left out.
std::string Players(const std::vector<uint8_t> &bytes)
{
    std::string players;
    for (uint8_t b : bytes)
    {
        const char c = b == 0 ? 0 : (b & 1) ? 'w' : 'a';
        if (c && (players.empty() || players.back() != c))
            players += c;
    }
    return players;
}

TEST_F(AsioStreamingTest, AWaveClientGivesWayToTheLowLatencyClientAndResumesAfterIt)
{
    Start();
    sim::audio::FilterRef ref = sim::audio::FindFilter("HPOut00Wave");
    for (int waited = 0; !ref.Port && waited < 2000; waited += 10)
    {
        sim::AdvanceMs(10);
        ref = sim::audio::FindFilter("HPOut00Wave");
    }
    ASSERT_NE(ref.Port, nullptr);
    auto filter = std::make_unique<sim::audio::Filter>(ref.Port);
    const auto format = miniport_bench::DataFormat(engine_test::MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16));
    std::unique_ptr<sim::audio::Pin> pin;
    ASSERT_EQ(sim::audio::OpenPin(*filter, 0, format.data(), ULONG(format.size()), &pin), STATUS_SUCCESS);
    std::vector<UCHAR> source(48 * 4 * 1000);
    std::mt19937 random(7);
    for (auto &b : source)
        b = UCHAR(random() | 1);
    pin->SetSource(source);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    sim::AdvanceMs(100);

    const std::vector<uint32_t> addresses = Create(960);
    ASSERT_EQ(addresses.size(), 2u);
    const uint32_t renderBytes = Header(process, addresses[0])[kWordDataBytes];
    uint8_t *ring = process.At(addresses[0] + kHeaderBytes, renderBytes);
    for (uint32_t i = 0; i < renderBytes; ++i)
        ring[i] = uint8_t((random() | 2) & ~1u);
    ASSERT_EQ(Call(process, file, kStart, WordBytes({run}), 0).Status, STATUS_SUCCESS);
    sim::AdvanceMs(100);
    const ULONGLONG held = pin->Counters().Position;
    ASSERT_EQ(Call(process, file, kStop, {}, 0).Status, STATUS_SUCCESS);
    sim::AdvanceMs(100);
    EXPECT_GT(pin->Counters().Position, held + 48 * 4 * 50) << "the wave client's position moves again";
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);

    // The wave client plays, the low-latency client takes the endpoint, the wave client comes back.
    EXPECT_EQ(Players(OutBytes()), "waw");
    pin.reset();
    filter.reset();
    End();
}

} // namespace
