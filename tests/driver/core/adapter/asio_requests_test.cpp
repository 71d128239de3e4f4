// The private low-latency interface as a front end uses it: requests sent by user processes through
// the I/O manager to the real adapter, over scripted streams that answer ICyclicControl. Buffers are
// read and written through the processes' own mappings; failures come from the stand-ins' injection.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include <sim/pnp_sim.h>
#include <sim/registry_sim.h>
#include <sim/usb_bus.h>
#include <sim/usb_pnp.h>
#include <sim/user_sim.h>

#include "adapter_doubles.h"
#include "support/asio_client.h"
#include "support/driver_machine.h"

using namespace adapter_test;
using namespace asio_client;

namespace
{

class AsioTest : public DriverMachineTest
{
protected:
    void SetUp() override
    {
        entry_test::S() = entry_test::Script{};
        D() = DeviceScript{};
        A() = AsioScript{};
        entry_test::S().Streams = {{0, 2, STREAM_INFO_ASIO_CAPABLE}, {1, 7, STREAM_INFO_ASIO_CAPABLE}};
        A().Streams = {{"HPOut00",
                        {PcmFormat(2, 48000, 16, 16), PcmFormat(2, 48000, 32, 24),
                         PcmFormat(2, 44100, 16, 16), DsdFormat(2, 44100, 64), DsdFormat(2, 88200, 64)}},
                       {"MicIn00",
                        {PcmFormat(1, 48000, 16, 16), PcmFormat(1, 48000, 32, 24),
                         PcmFormat(1, 44100, 16, 16), DsdFormat(1, 44100, 64), DsdFormat(1, 88200, 64)}}};
        DriverMachineTest::SetUp();
    }
    void TearDown() override
    {
        DriverMachineTest::TearDown();
        EXPECT_EQ(A().LiveClients, 0) << "a low-latency registration was left";
    }

    PDEVICE_OBJECT Plug(usbsim::Uac1Options options = {}, bool productString = true)
    {
        auto device = usbsim::VirtualDevice::Uac1(options);
        if (!productString)
            device->Descriptors().device[15] = 0;
        m_Device = device;
        PDEVICE_OBJECT pdo = bus->Plug(1, device);
        EXPECT_TRUE(sim::pnp::Started(pdo));
        return pdo;
    }
    static PFILE_OBJECT Open(sim::user::Process &process, PDEVICE_OBJECT pdo)
    {
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(asio_client::Open(process, pdo, &file), STATUS_SUCCESS);
        return file;
    }
    // Buffers for every channel of both streams: the two user addresses, or an empty answer.
    static std::vector<uint32_t> Create(sim::user::Process &process, PFILE_OBJECT file, uint32_t frames,
                                        NTSTATUS expected = STATUS_SUCCESS)
    {
        Reply r = Call(process, file, kCreateBuffers, WordBytes({0, 3, frames, 0, 0, 0, 1, 1, 0}), 8);
        EXPECT_EQ(r.Status, expected);
        return NT_SUCCESS(r.Status) ? r.Words : std::vector<uint32_t>{};
    }
    static size_t CallsLike(const std::string &prefix)
    {
        size_t n = 0;
        for (const std::string &c : A().Calls)
            n += c.rfind(prefix, 0) == 0;
        return n;
    }
    static AsioStream *Stream(PDEVICE_OBJECT pdo, ULONG index)
    {
        IStreamEngine *engine = nullptr;
        AdapterOf(pdo)->GetEngine(index, &engine);
        return static_cast<AsioStream *>(engine);
    }
    // Puts the device to sleep and sends a Stop from another thread, which the driver holds.
    static std::unique_ptr<sim::HostThread> HoldStop(PDEVICE_OBJECT pdo, sim::user::Process &process,
                                                     PFILE_OBJECT file, NTSTATUS *held)
    {
        EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD2), STATUS_SUCCESS);
        *held = STATUS_PENDING;
        auto waiter = std::make_unique<sim::HostThread>(
            [&process, file, held] { *held = Call(process, file, kStop, {}, 0).Status; });
        sim::RunUntilIdle();
        EXPECT_FALSE(waiter->Done());
        return waiter;
    }
    static void ExpectNothingLeft()
    {
        EXPECT_TRUE(sim::user::Mappings().empty());
        EXPECT_EQ(sim::user::LiveMdls(), 0u);
        EXPECT_EQ(sim::user::EventReferences(), 0u);
        EXPECT_EQ(A().LiveClients, 0);
    }

    std::shared_ptr<usbsim::VirtualDevice> m_Device;
};

TEST_F(AsioTest, RequestsAsAFrontEndSendsThem)
{
    PDEVICE_OBJECT pdo = Plug();
    sim::user::Process process;
    PFILE_OBJECT file = Open(process, pdo);

    // The device's own name follows the size protocol; a short buffer is refused.
    Reply r = Call(process, file, kGetDriverName, {}, 0);
    EXPECT_EQ(r.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.Information, sizeof "Zelko USB Headset");
    EXPECT_EQ(Call(process, file, kGetDriverName, {}, 5).Status, STATUS_BUFFER_TOO_SMALL);
    r = Call(process, file, kGetDriverName, {}, 64);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(r.Bytes.data())), "Zelko USB Headset");

    // Channel counts: exactly 16 bytes.
    EXPECT_EQ(Call(process, file, kGetChannels, {}, 15).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(process, file, kGetChannels, {}, 17).Status, STATUS_INVALID_PARAMETER);
    r = Call(process, file, kGetChannels, {}, 16);
    EXPECT_EQ(r.Words, (std::vector<uint32_t>{2, 2, 1, 0}));

    // Latency list and owner flag: size protocol.
    r = Call(process, file, kGetLatencyList, {}, 0);
    EXPECT_EQ(r.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.Information, 40u);
    EXPECT_EQ(Call(process, file, kGetLatencyList, {}, 39).Status, STATUS_BUFFER_TOO_SMALL);
    r = Call(process, file, kGetLatencyList, {}, 40);
    EXPECT_EQ(r.Words, (std::vector<uint32_t>{4, 8, 4, 6, 8, 10, 20, 30, 40, 50}));
    EXPECT_EQ(Call(process, file, kGetOwnerActive, {}, 0).Information, 4u);
    EXPECT_EQ(Call(process, file, kGetOwnerActive, {}, 3).Status, STATUS_BUFFER_TOO_SMALL);

    // Sample types: the PCM formats offer 16 and 27 only; the list needs 16 bytes.
    r = Call(process, file, kGetSampleTypes, {}, 0);
    EXPECT_EQ(r.Status, STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(r.Information, 16u);
    EXPECT_EQ(Call(process, file, kGetSampleTypes, {}, 15).Status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Call(process, file, kGetSampleTypes, {}, 16).Words, (std::vector<uint32_t>{16, 2, 16, 27}));

    // PCM at 48000 Hz with latency index 4.
    r = Call(process, file, kGetBufferSize, {}, 16);
    EXPECT_EQ(r.Words, (std::vector<uint32_t>{192, 2400, 960, 1}));
    r = Call(process, file, kGetLatencies, {}, 32);
    EXPECT_EQ(r.Information, 8u) << "only what was written is returned";
    EXPECT_EQ(r.Words[0], 960u);
    EXPECT_EQ(r.Words[1], 1920u);

    // Sizes and inputs that do not fit change nothing and return nothing.
    r = Call(process, file, kGetSampleRate, {}, 3);
    EXPECT_EQ(r.Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(r.Information, 0u);
    EXPECT_EQ(Call(process, file, kGetSampleRate, {}, 4).Words[0], 48000u);
    EXPECT_EQ(Call(process, file, kStop, WordBytes({0}), 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(process, file, kClearNotifyEvent, WordBytes({0}), 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(process, file, 0x1D6048, {}, 0).Status, NTSTATUS(0xC00000BB));
    EXPECT_EQ(Call(process, file, kGetChannelInfo, WordBytes({0}), 52).Status, STATUS_INVALID_PARAMETER);
    std::vector<uint8_t> shortEntry = WordBytes({0, 1, 960, 0, 0});
    shortEntry.pop_back(); // 12 + 8n - 1 bytes
    EXPECT_EQ(Call(process, file, kCreateBuffers, shortEntry, 8).Status, STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sim::user::Mappings().empty());

    // Rates: each must suit the format, be offered by every stream and be at least 8000 Hz.
    EXPECT_EQ(Call(process, file, kSetSampleRate, WordBytes({2822400}), 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(process, file, kSetSampleRate, WordBytes({4000}), 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(process, file, kSetSampleRate, WordBytes({96000}), 0).Status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Call(process, file, kSetSampleRate, WordBytes({44100}), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Call(process, file, kCanSetIoFormat, WordBytes({1}), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Call(process, file, kGetIoFormat, {}, 4).Words[0], 1u);
    EXPECT_EQ(Call(process, file, kSetSampleRate, WordBytes({48000}), 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(process, file, kSetSampleRate, WordBytes({5644800}), 0).Status, STATUS_SUCCESS);
    r = Call(process, file, kGetBufferSize, {}, 16);
    EXPECT_EQ(r.Words[0], 528u);
    EXPECT_EQ(r.Words[3], 2u);

    // Out-of-range latency and sample type are refused and store nothing.
    EXPECT_EQ(Call(process, file, kSetLatency, WordBytes({8}), 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(process, file, kSetSampleType, WordBytes({19}), 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(process, file, kGetLatencyList, {}, 40).Words[0], 4u);
    EXPECT_EQ(Call(process, file, kGetSampleTypes, {}, 16).Words[0], 16u);

    EXPECT_EQ(process.CloseFile(file), STATUS_SUCCESS);
    bus->Unplug(1);
}

TEST_F(AsioTest, TheFixedNameIsCutToFitAndChannelNamesStayWithinTheirBytes)
{
    A().Streams[0].Name = std::string(50, 'N');
    PDEVICE_OBJECT pdo = Plug({}, false);
    sim::user::Process process;
    PFILE_OBJECT file = Open(process, pdo);
    Reply r = Call(process, file, kGetDriverName, {}, 0);
    EXPECT_EQ(r.Information, sizeof "Salvine USB ASIO Device");
    r = Call(process, file, kGetDriverName, {}, 8);
    EXPECT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(r.Bytes.data())), "Salvine");

    r = Call(process, file, kGetChannelInfo, WordBytes({1, 0}), 52);
    ASSERT_EQ(r.Status, STATUS_SUCCESS);
    EXPECT_EQ(r.Words[4], 16u);
    const std::string name(reinterpret_cast<char *>(r.Bytes.data() + 20), 32);
    EXPECT_EQ(name.find('\0'), 31u) << "cut and terminated within 32 bytes";
    r = Call(process, file, kGetChannelInfo, WordBytes({0, 1}), 52);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(r.Bytes.data() + 20)), "MicIn00_00 ch");
    EXPECT_EQ(Call(process, file, kGetChannelInfo, WordBytes({1, 1}), 52).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(process.CloseFile(file), STATUS_SUCCESS);
    bus->Unplug(1);
}

TEST_F(AsioTest, DsdFormatsMatchByTheirRateAloneAndOddOnesDoNotCrash)
{
    A().Streams[0].Formats = {DsdFormat(2, 44100, 64), DsdFormat(6, 44100, 64), PcmFormat(6, 48000, 16, 16)};
    A().Streams[1].Formats = {DsdFormat(1, 44100, 64), DsdFormat(1, 44100, 0), PcmFormat(1, 48000, 16, 16)};
    PDEVICE_OBJECT pdo = Plug();
    sim::user::Process process;
    PFILE_OBJECT file = Open(process, pdo);
    ASSERT_EQ(Call(process, file, kSetIoFormat, WordBytes({1}), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Call(process, file, kCanSampleRate, WordBytes({2822400}), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Call(process, file, kCanSampleRate, WordBytes({5644800}), 0).Status, STATUS_UNSUCCESSFUL);
    ASSERT_EQ(Call(process, file, kSetSampleRate, WordBytes({2822400}), 0).Status, STATUS_SUCCESS);
    // 20 ms at DSD64: 6 × 44 frames of 64 one-bit samples minimum.
    std::vector<uint32_t> addresses = Create(process, file, 264);
    ASSERT_EQ(addresses.size(), 2u);
    EXPECT_EQ(CallsLike("Register 5"), 2u);
    const uint32_t *header = Header(process, addresses[0]);
    ASSERT_NE(header, nullptr);
    EXPECT_EQ(header[2], 6u);
    EXPECT_EQ(header[4], 44100u * 48 * 40 / 1000);
    EXPECT_EQ(process.At(addresses[0] + 40, 1)[0], 0x69) << "DSD silence";
    EXPECT_EQ(process.CloseFile(file), STATUS_SUCCESS);
    ExpectNothingLeft();
    bus->Unplug(1);
}

TEST_F(AsioTest, SettingsChangedByOneClientNotifyEveryClientOnce)
{
    PDEVICE_OBJECT pdo = Plug();
    sim::user::Process first, second;
    PFILE_OBJECT a = Open(first, pdo), b = Open(second, pdo);
    const uint32_t eventA = first.CreateEvent(), eventB = second.CreateEvent();
    ASSERT_EQ(Call(first, a, kSetNotifyEvent, WordBytes({eventA}), 0).Status, STATUS_SUCCESS);
    // The handle is the other process's: it names nothing here.
    EXPECT_EQ(Call(second, b, kSetNotifyEvent, WordBytes({eventA + 400}), 0).Status,
              STATUS_INVALID_PARAMETER);
    ASSERT_EQ(Call(second, b, kSetNotifyEvent, WordBytes({eventB}), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Call(second, b, kSetNotifyEvent, WordBytes({eventB}), 0).Status, STATUS_INVALID_PARAMETER);

    ASSERT_EQ(Call(second, b, kSetLatency, WordBytes({2}), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(first.EventSets(eventA), 1u);
    EXPECT_EQ(second.EventSets(eventB), 1u);
    auto stored = sim::registry::GetValue(std::string(sim::registry::kMediaClassRoot) + "\\0000\\Settings",
                                          "ASIOMLDataLatency");
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(stored->data[0], 2);
    EXPECT_EQ(Call(first, a, kGetLatencyList, {}, 40).Words[0], 2u);

    ASSERT_EQ(Call(first, a, kSetSampleType, WordBytes({27}), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(first.EventSets(eventA), 2u);
    EXPECT_EQ(second.EventSets(eventB), 2u);
    EXPECT_EQ(Call(first, a, kClearNotifyEvent, {}, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(Call(first, a, kClearNotifyEvent, {}, 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(first.CloseFile(a), STATUS_SUCCESS);
    EXPECT_EQ(second.CloseFile(b), STATUS_SUCCESS);
    ExpectNothingLeft();
    bus->Unplug(1);
}

TEST_F(AsioTest, BuffersBelongToOneOwnerCoverWholePagesAndUndoEveryFailure)
{
    PDEVICE_OBJECT pdo = Plug();
    sim::user::Process owner, other;
    PFILE_OBJECT a = Open(owner, pdo), b = Open(other, pdo);

    // A wrong output length leaves nothing behind.
    EXPECT_EQ(Call(owner, a, kCreateBuffers, WordBytes({0, 1, 960, 0, 0}), 12).Status,
              STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(sim::user::Mappings().empty());
    EXPECT_EQ(Call(owner, a, kGetOwnerActive, {}, 4).Words[0], 0u);
    // A buffer size above GetBufferSize's maximum, or below one millisecond, is refused.
    Create(owner, a, 2401, STATUS_INVALID_PARAMETER);
    Create(owner, a, 47, STATUS_INVALID_PARAMETER);
    // An exception while mapping ends the request with its code, everything undone.
    sim::user::RaiseOnMap(2, NTSTATUS(0xC0000005));
    Create(owner, a, 960, NTSTATUS(0xC0000005));
    ExpectNothingLeft();
    EXPECT_EQ(Call(owner, a, kGetOwnerActive, {}, 4).Words[0], 0u);

    // 96 frames at 48 kHz: a 2 ms period of one packet with two transfers in flight.
    std::vector<uint32_t> addresses = Create(owner, a, 96);
    ASSERT_EQ(addresses.size(), 2u);
    EXPECT_EQ(CallsLike("Register 5 frames 1 inflight 2 bits 16"), 2u);
    // Disposed while running: the streams stop and close before their registrations go.
    const uint32_t run = owner.CreateEvent();
    ASSERT_EQ(Call(owner, a, kStart, WordBytes({run}), 0).Status, STATUS_SUCCESS);
    A().Calls.clear();
    EXPECT_EQ(Call(owner, a, kDisposeBuffers, {}, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(A().Calls,
              (std::vector<std::string>{"Stop HPOut00", "Stop MicIn00", "Close HPOut00", "Close MicIn00",
                                        "Unregister HPOut00", "Unregister MicIn00"}));
    EXPECT_EQ(sim::user::EventReferences(), 0u);
    EXPECT_EQ(owner.CloseHandle(run), STATUS_SUCCESS);
    EXPECT_TRUE(sim::user::Mappings().empty());
    // Periods of 30 ms and more are split in five transfers at most.
    for (uint32_t frames : {1440u, 1920u})
    {
        A().Calls.clear();
        ASSERT_EQ(Create(owner, a, frames).size(), 2u);
        EXPECT_EQ(CallsLike("Register 5 frames 5 inflight 4 bits 16"), 2u) << frames;
        ASSERT_EQ(Call(owner, a, kDisposeBuffers, {}, 0).Status, STATUS_SUCCESS);
    }
    addresses = Create(owner, a, 1024);
    ASSERT_EQ(addresses.size(), 2u);
    EXPECT_EQ(CallsLike("Register 5 frames 5 inflight 3 bits 16"), 2u) << "p 21: five packets, split 4";
    for (const sim::user::MappingRecord &m : sim::user::Mappings())
    {
        EXPECT_EQ(m.Process, owner.Id());
        EXPECT_EQ(m.Offset, 0u);
        EXPECT_EQ(m.Bytes % 4096, 0u);
    }
    const uint32_t *render = Header(owner, addresses[0]);
    const uint32_t *capture = Header(owner, addresses[1]);
    ASSERT_TRUE(render && capture);
    // Past the ring, the rest of its last page shows the client zeros, not leftover pool.
    const uint32_t used = 40 + render[4], tail = 4096 - used % 4096;
    const uint8_t *rest = owner.At(addresses[0] + used, tail);
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(std::count(rest, rest + tail, 0), std::ptrdiff_t(tail));
    EXPECT_EQ(std::vector<uint32_t>(render, render + 10),
              (std::vector<uint32_t>{1, 0, 2, 0, 7680, 0, 0, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint32_t>(capture, capture + 10),
              (std::vector<uint32_t>{1, 1, 1, 0, 3840, 0, 0, 0, 1, 0}));
    EXPECT_EQ(Call(owner, a, kGetOwnerActive, {}, 4).Words[0], 1u);
    EXPECT_EQ(Call(other, b, kGetChannelInfo, WordBytes({0, 0}), 52).Words[2], 1u);

    // Neither another client nor the owner gets a second set.
    Create(other, b, 1024, STATUS_INVALID_PARAMETER);
    Create(owner, a, 1024, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Call(other, b, kDisposeBuffers, {}, 0).Status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::user::Mappings().size(), 2u);

    // Closing the owner leaves nothing, writes the bit depth and frees the ownership.
    EXPECT_EQ(owner.CloseFile(a), STATUS_SUCCESS);
    ExpectNothingLeft();
    EXPECT_TRUE(sim::registry::GetValue(std::string(sim::registry::kMediaClassRoot) + "\\0000\\Settings",
                                        "ASIOMLDataBitDepth")
                    .has_value());
    EXPECT_EQ(Create(other, b, 960).size(), 2u);
    EXPECT_EQ(other.CloseFile(b), STATUS_SUCCESS);
    ExpectNothingLeft();
    bus->Unplug(1);
}

TEST_F(AsioTest, StreamingMovesAudioThroughTheMappingsAndSetsTheRunEventPerPeriod)
{
    usbsim::Uac1Options options;
    options.vendorId = 0x0B05;
    options.productId = 0x17A8;
    PDEVICE_OBJECT pdo = Plug(options);
    size_t signals[2] = {};
    usbsim::RequestMatch signal;
    signal.in = false;
    signal.type = usbsim::RequestType::Vendor;
    signal.bRequest = 7;
    m_Device->AddHandler(signal,
                         [&](usbsim::VirtualDevice &, const usbsim::ControlRequest &r)
                         {
                             ++signals[r.wValue & 1];
                             return usbsim::ControlReply::Ok();
                         });
    sim::user::Process process;
    PFILE_OBJECT file = Open(process, pdo);
    ASSERT_EQ(Call(process, file, kSetSampleType, WordBytes({16}), 0).Status, STATUS_SUCCESS);
    std::vector<uint32_t> addresses = Create(process, file, 960); // 20 ms: five packets, split 4
    ASSERT_EQ(addresses.size(), 2u);
    const uint32_t run = process.CreateEvent();
    A().Streams[0].CurrentFrame = 200;
    A().Streams[1].CurrentFrame = 300;
    A().Calls.clear();
    ASSERT_EQ(Call(process, file, kStart, WordBytes({run}), 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(A().Calls, (std::vector<std::string>{"Open HPOut00", "Open MicIn00", "Start 305 MicIn00",
                                                   "Start 305 HPOut00"}));
    EXPECT_EQ(signals[1], 1u);
    EXPECT_EQ(Call(process, file, kStart, WordBytes({run}), 0).Status, STATUS_INVALID_PARAMETER);

    // Render: three periods of 5 ms ahead of the end, notified every three periods.
    uint32_t *render = Header(process, addresses[0]);
    const uint32_t dataBytes = render[4], period = 2 * 2 * 5 * 48;
    EXPECT_EQ(render[5], dataBytes - 3 * period);
    EXPECT_EQ(render[6], dataBytes - 3 * period);
    EXPECT_EQ(render[7], 3 * period);
    uint8_t *ring = process.At(addresses[0] + 40, dataBytes);
    for (uint32_t i = 0; i < dataBytes; ++i)
        ring[i] = uint8_t(i * 7 + 3);
    // The header is the client's to write: the driver keeps its own position and size.
    const uint32_t start = render[6];
    render[4] = 0xFFFFFFF0;
    render[5] = 0xFFFFFFF0;
    std::vector<uint8_t> packet(period + 17);
    Stream(pdo, 0)->Deliver(CYCLIC_MSG_RENDER_FILL, ULONG_PTR(packet.data()), ULONG(packet.size()));
    EXPECT_EQ(render[6], start);
    for (size_t i = 0; i < packet.size(); ++i)
        ASSERT_EQ(packet[i], ring[(render[6] + i) % dataBytes]) << i;
    EXPECT_EQ(render[5], (render[6] + packet.size()) % dataBytes);

    // Capture: the delivered samples land at the ring's start; only the Last buffer's periods run
    // the event.
    std::vector<uint8_t> sine(480);
    for (size_t i = 0; i < sine.size(); ++i)
        sine[i] = uint8_t(127 * std::sin(double(i) / 9.0) + 128);
    Stream(pdo, 1)->Deliver(CYCLIC_MSG_CAPTURE_DATA, ULONG_PTR(sine.data()), ULONG(sine.size()));
    EXPECT_EQ(std::memcmp(process.At(addresses[1] + 40, sine.size()), sine.data(), sine.size()), 0);
    Stream(pdo, 0)->Deliver(CYCLIC_MSG_POSITION, period, 0);
    EXPECT_EQ(process.EventSets(run), 0u);
    for (int i = 0; i < 3; ++i)
        Stream(pdo, 1)->Deliver(CYCLIC_MSG_POSITION, 480, 0);
    EXPECT_EQ(process.EventSets(run), 3u);
    EXPECT_EQ(Header(process, addresses[1])[9], 3u);
    // A packet as long as the ring is ignored.
    std::vector<uint8_t> huge(dataBytes, 0xAB);
    Stream(pdo, 0)->Deliver(CYCLIC_MSG_RENDER_FILL, ULONG_PTR(huge.data()), dataBytes);
    EXPECT_EQ(huge[0], 0xAB);

    ASSERT_EQ(Call(process, file, kStop, {}, 0).Status, STATUS_SUCCESS);
    EXPECT_EQ(signals[0], 1u);
    EXPECT_EQ(ring[0], 0) << "the active buffers fall silent";
    EXPECT_EQ(Call(process, file, kStop, {}, 0).Status, STATUS_INVALID_PARAMETER);
    Stream(pdo, 1)->Deliver(CYCLIC_MSG_POSITION, 480, 0);
    EXPECT_EQ(process.EventSets(run), 3u);
    EXPECT_EQ(process.CloseHandle(run), STATUS_SUCCESS);
    EXPECT_EQ(process.CloseFile(file), STATUS_SUCCESS);
    ExpectNothingLeft();
    bus->Unplug(1);
}

TEST_F(AsioTest, PowerStopsAndRestartsStreamingAndHoldsAStopUntilD0CloseOrRemoval)
{
    PDEVICE_OBJECT pdo = Plug();
    sim::user::Process process;
    PFILE_OBJECT file = Open(process, pdo);
    ASSERT_EQ(Create(process, file, 960).size(), 2u);
    const uint32_t run = process.CreateEvent();
    ASSERT_EQ(Call(process, file, kStart, WordBytes({run}), 0).Status, STATUS_SUCCESS);
    A().Calls.clear();
    ASSERT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(CallsLike("Stop"), 2u);
    ASSERT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(CallsLike("Start"), 2u);
    Stream(pdo, 1)->Deliver(CYCLIC_MSG_POSITION, 480, 0);
    EXPECT_EQ(process.EventSets(run), 1u) << "the event was handed back";

    // Asleep: the first Stop waits for D0, a second one is refused.
    NTSTATUS held;
    auto waiter = HoldStop(pdo, process, file, &held);
    EXPECT_EQ(Call(process, file, kStop, {}, 0).Status, STATUS_INVALID_PARAMETER);
    A().Calls.clear();
    ASSERT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    waiter->Join();
    EXPECT_EQ(held, STATUS_SUCCESS);
    EXPECT_EQ(CallsLike("Stop"), 2u) << "restarted at D0, then stopped by the held request";

    // A Stop held when its file closes ends cancelled.
    ASSERT_EQ(Call(process, file, kStart, WordBytes({run}), 0).Status, STATUS_SUCCESS);
    waiter = HoldStop(pdo, process, file, &held);
    EXPECT_EQ(process.CloseFile(file), STATUS_SUCCESS);
    waiter->Join();
    EXPECT_EQ(held, STATUS_CANCELLED);
    ExpectNothingLeft();

    // So does one held when the device is removed.
    file = Open(process, pdo);
    ASSERT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    ASSERT_EQ(Create(process, file, 960).size(), 2u);
    ASSERT_EQ(Call(process, file, kStart, WordBytes({run}), 0).Status, STATUS_SUCCESS);
    waiter = HoldStop(pdo, process, file, &held);
    bus->Unplug(1);
    waiter->Join();
    EXPECT_EQ(held, STATUS_CANCELLED);
    EXPECT_EQ(process.CloseFile(file), STATUS_SUCCESS);
    ExpectNothingLeft();
    EXPECT_EQ(process.CloseHandle(run), STATUS_SUCCESS);
}

TEST_F(AsioTest, EveryAllocationOfCreateAndStartFailedInTurn)
{
    // Each of the driver's own allocations (buffers "USBd", MDLs, registrations "USBS"), failed
    // for good, fails the request and leaves nothing.
    for (ULONG tag : {MakePoolTag("USBd"), MakePoolTag("Mdl "), MakePoolTag("USBS")})
    {
        PDEVICE_OBJECT pdo = Plug();
        sim::user::Process process;
        PFILE_OBJECT file = Open(process, pdo);
        sim::pool::FailTag(tag);
        EXPECT_EQ(Call(process, file, kCreateBuffers, WordBytes({0, 1, 960, 0, 0}), 8).Status,
                  STATUS_INSUFFICIENT_RESOURCES);
        sim::pool::FailTag(tag, false);
        ExpectNothingLeft();
        EXPECT_EQ(Call(process, file, kGetOwnerActive, {}, 4).Words[0], 0u);
        EXPECT_EQ(process.CloseFile(file), STATUS_SUCCESS);
        bus->Unplug(1);
        Restart();
    }
    // Every allocation of create and start in turn, whoever makes it: no crash and no leak.
    for (unsigned k = 1;; ++k)
    {
        PDEVICE_OBJECT pdo = Plug();
        sim::user::Process process;
        PFILE_OBJECT file = Open(process, pdo);
        const uint32_t run = process.CreateEvent();
        const size_t before = sim::Allocations();
        sim::FailAllocation(k);
        Call(process, file, kCreateBuffers, WordBytes({0, 1, 960, 0, 0}), 8);
        Call(process, file, kStart, WordBytes({run}), 0);
        const bool failed = sim::pool::InjectedFailures() > 0;
        sim::FailAllocation(0);
        EXPECT_EQ(process.CloseFile(file), STATUS_SUCCESS);
        ExpectNothingLeft();
        process.CloseHandle(run);
        bus->Unplug(1);
        if (!failed || sim::Allocations() - before < k)
            break;
        Restart();
    }
}

} // namespace
