// The isochronous engine with hand-built URBs, sent through a minimal bus device object whose
// dispatch hands every URB to the engine: scheduling on frames, strict checks, the OUT sink, the IN
// sources and scripts, feedback bytes, abort/unplug/reset, cancellation, synchronous mode, wrap.
#include <cmath>
#include <functional>
#include <memory>
#include <mutex>
#include <atomic>
#include <thread>

#include "support/kernel_test.h"
#include <sim/io_sim.h>
#include <sim/usb_iso_engine.h>
#include <usb_ioctl.h>

using namespace usbsim;

namespace
{

usbsim::IsoEngine *g_engine;

NTSTATUS BusDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
    EXPECT_EQ(loc->Parameters.DeviceIoControl.IoControlCode, ULONG(IOCTL_INTERNAL_USB_SUBMIT_URB));
    auto *urb = static_cast<PURB>(loc->Parameters.Others.Argument1);
    const auto pipe = IsoPipeId(reinterpret_cast<uintptr_t>(urb->UrbIsochronousTransfer.PipeHandle));
    return g_engine->Submit(pipe, irp, urb);
}

int g_completionOrder;

// One isochronous transfer as a client driver keeps it: URB, buffer, IRP and what its completion saw.
struct Xfer
{
    std::vector<uint64_t> urbMem; // 8-byte aligned URB storage
    std::vector<uint8_t> data;
    PIRP irp = nullptr;
    int calls = 0;
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql = 0xFF;
    int order = -1;
    std::thread::id thread;
    std::function<void(Xfer &)> onComplete;

    URB_ISOCH_TRANSFER &U() { return reinterpret_cast<PURB>(urbMem.data())->UrbIsochronousTransfer; }
    PURB Urb() { return reinterpret_cast<PURB>(urbMem.data()); }
};

NTSTATUS OnComplete(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *x = static_cast<Xfer *>(context);
    ++x->calls;
    x->status = irp->IoStatus.Status;
    x->irql = KeGetCurrentIrql();
    x->order = g_completionOrder++;
    x->thread = std::this_thread::get_id();
    if (x->onComplete)
        x->onComplete(*x);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

constexpr ULONG kAsap = USBD_START_ISO_TRANSFER_ASAP;

class IsoEngineTest : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        g_completionOrder = 0;
        engine = std::make_unique<IsoEngine>();
        g_engine = engine.get();
        memset(&driver, 0, sizeof driver);
        driver.DriverExtension = &driver.Extension;
        driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = BusDispatch;
        ASSERT_EQ(IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        engine.reset();
        for (auto &x : xfers)
            if (x->irp)
                IoFreeIrp(x->irp);
        xfers.clear();
        IoDeleteDevice(pdo);
        KernelTest::TearDown();
    }

    // A transfer with the given packet lengths (OUT) or slots (IN), packed one after another.
    Xfer &Make(IsoPipeId pipe, bool in, ULONG flags, ULONG startFrame, const std::vector<ULONG> &sizes)
    {
        auto x = std::make_unique<Xfer>();
        const size_t n = sizes.size();
        x->urbMem.assign((GET_ISO_URB_SIZE(n) + 7) / 8, 0);
        URB_ISOCH_TRANSFER &u = x->U();
        u.Hdr.Length = GET_ISO_URB_SIZE(n);
        u.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        u.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(pipe));
        u.TransferFlags = flags | (in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0);
        u.StartFrame = startFrame;
        u.NumberOfPackets = ULONG(n);
        ULONG off = 0;
        for (size_t i = 0; i < n; ++i)
        {
            u.IsoPacket[i].Offset = off;
            u.IsoPacket[i].Length = in ? 0 : sizes[i];
            off += sizes[i];
        }
        x->data.resize(off);
        for (size_t i = 0; i < off; ++i)
            x->data[i] = in ? 0xEE : uint8_t(i * 7 + 3);
        u.TransferBuffer = x->data.data();
        u.TransferBufferLength = off;
        xfers.push_back(std::move(x));
        return *xfers.back();
    }

    // Sets up the IRP's next location for the bus, as a client does, and sends it.
    NTSTATUS Call(Xfer &x)
    {
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(x.irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = x.Urb();
        IoSetCompletionRoutine(x.irp, OnComplete, &x, TRUE, TRUE, TRUE);
        return IoCallDriver(pdo, x.irp);
    }

    NTSTATUS Send(Xfer &x)
    {
        if (x.irp == nullptr)
            x.irp = IoAllocateIrp(pdo->StackSize, FALSE);
        else
            IoReuseIrp(x.irp, STATUS_NOT_SUPPORTED);
        x.calls = 0;
        x.status = STATUS_PENDING;
        return Call(x);
    }

    IsoPipeId Open(uint8_t ep, uint16_t maxPacket, bool hs = false, uint8_t interval = 1,
                   uint8_t attributes = 0x01)
    {
        IsoPipeDesc d;
        d.bEndpointAddress = ep;
        d.bmAttributes = attributes;
        d.wMaxPacketSize = maxPacket;
        d.bInterval = interval;
        d.highSpeed = hs;
        return engine->OpenPipe(d);
    }

    // Moves the clock to the start of bus frame f (origin 0).
    void ToFrame(ULONG f) { sim::AdvanceMs(LONGLONG(f - engine->CurrentFrame())); }

    std::unique_ptr<IsoEngine> engine;
    DRIVER_OBJECT driver;
    PDEVICE_OBJECT pdo = nullptr;
    std::vector<std::unique_ptr<Xfer>> xfers;
};

std::vector<ULONG> Repeat(ULONG size, size_t n)
{
    return std::vector<ULONG>(n, size);
}

// 44.1 kHz stereo 16-bit at full speed: 176.4 bytes a frame, so nine packets of 176 and one of 180.
std::vector<ULONG> CdPackets()
{
    std::vector<ULONG> v(9, 176);
    v.push_back(180);
    return v;
}

int16_t Le16(const uint8_t *p)
{
    return int16_t(p[0] | (p[1] << 8));
}

} // namespace

TEST_F(IsoEngineTest, OutTransferIsRecordedOnItsFramesAndCompletesAfterTheLast)
{
    const IsoPipeId pipe = Open(0x01, 192);
    ToFrame(50);
    const ULONG S = 55;
    Xfer &x = Make(pipe, false, 0, S, CdPackets());
    EXPECT_EQ(x.U().TransferBufferLength, 1764u);
    EXPECT_EQ(Send(x), STATUS_PENDING);
    EXPECT_EQ(engine->Outstanding(pipe), 1u);
    EXPECT_EQ(x.U().Hdr.Status, USBD_STATUS_PENDING);

    ToFrame(S + 9); // the last frame is running
    EXPECT_EQ(x.calls, 0);
    sim::AdvanceMs(1); // ... and now it has ended
    ASSERT_EQ(x.calls, 1);
    EXPECT_EQ(x.status, STATUS_SUCCESS);
    EXPECT_EQ(x.irql, DISPATCH_LEVEL);
    EXPECT_NE(x.thread, std::this_thread::get_id()); // the DPC thread
    EXPECT_EQ(x.U().Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(x.U().StartFrame, S);
    EXPECT_EQ(x.U().ErrorCount, 0u);
    EXPECT_EQ(x.U().TransferBufferLength, 1764u);

    std::vector<IsoOutPacket> rec = engine->OutPackets(0x01);
    ASSERT_EQ(rec.size(), 10u);
    ULONG off = 0;
    for (ULONG i = 0; i < 10; ++i)
    {
        EXPECT_EQ(rec[i].frame, S + i);
        EXPECT_EQ(rec[i].microframe, 0);
        const ULONG len = i == 9 ? 180 : 176;
        ASSERT_EQ(rec[i].bytes.size(), len);
        for (ULONG b = 0; b < len; ++b)
            ASSERT_EQ(rec[i].bytes[b], uint8_t((off + b) * 7 + 3)) << "packet " << i << " byte " << b;
        off += len;
        EXPECT_EQ(x.U().IsoPacket[i].Status, USBD_STATUS_SUCCESS);
    }
    EXPECT_EQ(engine->OutBytes(0x01), 1764u);
    EXPECT_EQ(engine->Outstanding(), 0u);
    const std::vector<std::string> log = engine->Log();
    EXPECT_NE(
        std::find(log.begin(), log.end(), "iso submit pipe 1 ep 0x01 out start 55 packets 10 bytes 1764"),
        log.end());
    EXPECT_NE(
        std::find(
            log.begin(), log.end(),
            "iso complete pipe 1 ep 0x01 start 55 packets 10 status 0x00000000 urb 0x00000000 bytes 1764 "
            "errors 0"),
        log.end());
}

TEST_F(IsoEngineTest, AsapTransfersFollowEachOtherAndStartAfreshWhenIdle)
{
    const IsoPipeId pipe = Open(0x01, 192);
    ToFrame(20);
    Xfer &a = Make(pipe, false, kAsap, 0, CdPackets());
    Xfer &b = Make(pipe, false, kAsap, 0, CdPackets());
    Xfer &c = Make(pipe, false, kAsap, 0, Repeat(192, 5));
    EXPECT_EQ(Send(a), STATUS_PENDING);
    EXPECT_EQ(Send(b), STATUS_PENDING);
    EXPECT_EQ(Send(c), STATUS_PENDING);
    EXPECT_EQ(a.U().StartFrame, 21u); // idle pipe: current + 1
    EXPECT_EQ(b.U().StartFrame, 31u);
    EXPECT_EQ(c.U().StartFrame, 41u);
    sim::AdvanceMs(30);
    ASSERT_EQ(a.calls + b.calls + c.calls, 3);
    EXPECT_LT(a.order, b.order);
    EXPECT_LT(b.order, c.order);
    std::vector<IsoOutPacket> rec = engine->OutPackets(0x01);
    ASSERT_EQ(rec.size(), 25u);
    for (ULONG i = 0; i < 25; ++i)
        EXPECT_EQ(rec[i].frame, 21 + i);

    // Idle again: the next one starts at current + 1, not after the old schedule.
    sim::AdvanceMs(7);
    Xfer &d = Make(pipe, false, kAsap, 0, Repeat(10, 2));
    EXPECT_EQ(Send(d), STATUS_PENDING);
    EXPECT_EQ(d.U().StartFrame, engine->CurrentFrame() + 1);
    sim::AdvanceMs(3);
    EXPECT_EQ(d.calls, 1);

    // A scheduled transfer right after an ASAP one is accepted; one on its frames is not.
    const ULONG now = engine->CurrentFrame();
    Xfer &e = Make(pipe, false, kAsap, 0, Repeat(10, 4));
    Xfer &f = Make(pipe, false, 0, now + 5, Repeat(10, 1));
    Xfer &g = Make(pipe, false, 0, now + 4, Repeat(10, 1));
    EXPECT_EQ(Send(e), STATUS_PENDING);
    EXPECT_EQ(Send(f), STATUS_PENDING);
    EXPECT_EQ(Send(g), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(g.U().Hdr.Status, USBD_STATUS_BAD_START_FRAME);
    sim::AdvanceMs(6);
    EXPECT_EQ(e.calls + f.calls, 2);
    EXPECT_EQ(engine->OutPackets(0x01).back().frame, now + 5);
}

TEST_F(IsoEngineTest, StartFramesInThePastOrTooFarAheadFailWithoutMisuse)
{
    const IsoPipeId pipe = Open(0x01, 192);
    ToFrame(2000);
    Xfer &past = Make(pipe, false, 0, 1999, CdPackets());
    Xfer &far = Make(pipe, false, 0, 2000 + 1024, CdPackets());
    EXPECT_EQ(Send(past), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(past.calls, 1); // completed inside the call
    EXPECT_EQ(past.U().Hdr.Status, USBD_STATUS_BAD_START_FRAME);
    EXPECT_EQ(Send(far), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(far.U().Hdr.Status, USBD_STATUS_BAD_START_FRAME);
    // The edges that are accepted: the running frame and 1023 ahead.
    Xfer &now = Make(pipe, false, 0, 2000, Repeat(8, 1));
    Xfer &edge = Make(pipe, false, 0, 2000 + 1023, Repeat(8, 1));
    EXPECT_EQ(Send(now), STATUS_PENDING);
    EXPECT_EQ(Send(edge), STATUS_PENDING);
    sim::AdvanceMs(1024);
    EXPECT_EQ(now.calls, 1);
    EXPECT_EQ(edge.calls, 1);
    std::vector<IsoOutPacket> rec = engine->OutPackets(0x01);
    ASSERT_EQ(rec.size(), 2u); // nothing of the rejected ones
    EXPECT_EQ(rec[0].frame, 2000u);
    EXPECT_EQ(rec[1].frame, 3023u);
    EXPECT_TRUE(Violations().empty());
}

TEST_F(IsoEngineTest, MalformedUrbsFailAsMisuseAndRecordNothing)
{
    const IsoPipeId out = Open(0x01, 192);
    const IsoPipeId hsOut = Open(0x02, 0x0200, true, 1);
    const IsoPipeId in = Open(0x81, 192);
    const IsoPipeId bulk = Open(0x03, 64, false, 0, 0x02);
    ToFrame(10);
    auto reject = [&](Xfer &x, const char *text, USBD_STATUS urbStatus = USBD_STATUS_INVALID_PARAMETER)
    {
        auto v = ScopedExpectViolation(text);
        EXPECT_EQ(Send(x), STATUS_INVALID_PARAMETER) << text;
        EXPECT_EQ(x.calls, 1) << text;
        EXPECT_EQ(x.status, STATUS_INVALID_PARAMETER) << text;
        EXPECT_EQ(x.U().Hdr.Status, urbStatus) << text;
    };
    {
        Xfer &x = Make(out, false, kAsap, 0, {176, 193, 176});
        reject(x, "packet 1 Length 193 above wMaxPacketSize 192");
    }
    {
        Xfer &x = Make(out, false, kAsap, 0, Repeat(100, 3));
        x.U().IsoPacket[2].Length = 101; // ends one byte past the buffer
        reject(x, "packet 2 ends at 301, past TransferBufferLength 300");
    }
    {
        Xfer &x = Make(in, true, kAsap, 0, Repeat(100, 3));
        x.U().IsoPacket[2].Offset = 301;
        reject(x, "packet 2 Offset 301 past TransferBufferLength 300");
    }
    {
        Xfer &x = Make(in, true, kAsap, 0, Repeat(100, 3));
        x.U().IsoPacket[2].Offset = 50;
        reject(x, "packet 2 Offset 50 below the previous packet's");
    }
    {
        Xfer &x = Make(out, false, kAsap, 0, Repeat(100, 3));
        x.U().IsoPacket[0].Length = 150;
        reject(x, "packet 0 overlaps packet 1");
    }
    {
        Xfer &x = Make(hsOut, false, kAsap, 0, Repeat(64, 7));
        reject(x, "7 packets is not a non-zero multiple of 8 per frame");
    }
    {
        Xfer &x = Make(out, false, kAsap, 0, {});
        reject(x, "0 packets is not a non-zero multiple of 1 per frame");
    }
    {
        Xfer &x = Make(out, true, kAsap, 0, Repeat(100, 2)); // IN flag on an OUT endpoint
        reject(x, "IN transfer on OUT endpoint 0x01");
    }
    {
        Xfer &x = Make(in, false, kAsap, 0, Repeat(100, 2));
        reject(x, "OUT transfer on IN endpoint 0x81");
    }
    {
        Xfer &x = Make(out, false, kAsap, 0, Repeat(100, 4));
        x.U().Hdr.Length = GET_ISO_URB_SIZE(3);
        reject(x, "below");
    }
    {
        Xfer &x = Make(bulk, false, kAsap, 0, Repeat(64, 1));
        reject(x, "endpoint 0x03 is not isochronous");
    }
    {
        Xfer &x = Make(out, false, kAsap, 0, Repeat(100, 1));
        x.U().TransferBuffer = nullptr;
        reject(x, "no transfer buffer");
    }
    {
        Xfer &x = Make(out, false, kAsap, 0, Repeat(100, 1));
        x.U().Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
        reject(x, "is not URB_FUNCTION_ISOCH_TRANSFER", USBD_STATUS_INVALID_URB_FUNCTION);
    }
    // A closed pipe's id is stale; one never handed out is unknown.
    const IsoPipeId gone = Open(0x04, 64);
    EXPECT_EQ(engine->ClosePipe(gone), STATUS_SUCCESS);
    EXPECT_FALSE(engine->PipeOpen(gone));
    EXPECT_EQ(engine->ClosePipe(gone), STATUS_INVALID_PARAMETER);
    {
        Xfer &x = Make(gone, false, kAsap, 0, Repeat(10, 1));
        reject(x, "stale pipe handle (pipe 5 closed)", USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    {
        Xfer &x = Make(999, false, kAsap, 0, Repeat(10, 1));
        reject(x, "unknown pipe handle (pipe 999)", USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    {
        Xfer &x = Make(0, false, kAsap, 0, Repeat(10, 1));
        reject(x, "stale or unknown pipe handle", USBD_STATUS_INVALID_PIPE_HANDLE);
    }
    sim::AdvanceMs(20);
    EXPECT_EQ(engine->OutPacketCount(0x01), 0u);
    EXPECT_EQ(engine->OutPacketCount(0x02), 0u);
    EXPECT_EQ(engine->Outstanding(), 0u);
    // The well-formed neighbours of those cases pass: 8 packets on the same pipe, Length == wMaxPacketSize.
    Xfer &ok8 = Make(hsOut, false, kAsap, 0, Repeat(512, 8));
    Xfer &okMax = Make(out, false, kAsap, 0, {192, 0, 0});
    EXPECT_EQ(Send(ok8), STATUS_PENDING);
    EXPECT_EQ(Send(okMax), STATUS_PENDING);
    sim::AdvanceMs(4);
    EXPECT_EQ(ok8.status, STATUS_SUCCESS);
    EXPECT_EQ(okMax.status, STATUS_SUCCESS);
}

TEST_F(IsoEngineTest, HighSpeedFramesCarryPacketsOnMicroframes)
{
    IsoPipeDesc d;
    d.highSpeed = true;
    const std::pair<uint8_t, uint32_t> perFrame[] = {{0, 8}, {1, 8}, {2, 4}, {3, 2}, {4, 1}, {7, 1}};
    for (auto [interval, expected] : perFrame)
    {
        d.bInterval = interval;
        EXPECT_EQ(IsoPacketsPerFrame(d), expected) << int(interval);
    }
    d.highSpeed = false;
    d.bInterval = 4;
    EXPECT_EQ(IsoPacketsPerFrame(d), 1u);
    d.wMaxPacketSize = 0x1400; // 1024 bytes, three transactions a microframe
    EXPECT_EQ(IsoMaxPacketBytes(d), 1024u);
    d.highSpeed = true;
    EXPECT_EQ(IsoMaxPacketBytes(d), 3072u);

    const IsoPipeId p1 = Open(0x01, 200, true, 1);
    const IsoPipeId p2 = Open(0x02, 200, true, 2);
    ToFrame(100);
    Xfer &a = Make(p1, false, 0, 101, Repeat(24, 16));
    Xfer &b = Make(p2, false, 0, 101, Repeat(24, 4));
    EXPECT_EQ(Send(a), STATUS_PENDING);
    EXPECT_EQ(Send(b), STATUS_PENDING);
    sim::AdvanceMs(2);
    EXPECT_EQ(a.calls + b.calls, 1); // b ends with frame 101, a runs through 102
    sim::AdvanceMs(1);
    EXPECT_EQ(a.calls, 1);
    std::vector<IsoOutPacket> ra = engine->OutPackets(0x01), rb = engine->OutPackets(0x02);
    ASSERT_EQ(ra.size(), 16u);
    for (size_t i = 0; i < 16; ++i)
    {
        EXPECT_EQ(ra[i].frame, 101 + i / 8);
        EXPECT_EQ(ra[i].microframe, i % 8);
    }
    ASSERT_EQ(rb.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
    {
        EXPECT_EQ(rb[i].frame, 101u);
        EXPECT_EQ(rb[i].microframe, 2 * i);
    }
    // IN at 8000 packets a second: after k packets of 44.1 kHz exactly floor(k x 44100 / 8000) frames.
    const IsoPipeId cap = Open(0x81, 64, true, 1);
    engine->SetStreamFormat(0x81, {44100, 2, 2});
    Xfer &c = Make(cap, true, kAsap, 0, Repeat(64, 80));
    Send(c);
    sim::AdvanceMs(11);
    ASSERT_EQ(c.calls, 1);
    uint64_t frames = 0;
    for (int k = 1; k <= 80; ++k)
    {
        frames += c.U().IsoPacket[k - 1].Length / 4;
        ASSERT_EQ(frames, uint64_t(std::floor(k * 44100.0 / 8000.0))) << k;
    }
}

TEST_F(IsoEngineTest, InPacketsFollowTheStreamRateWithScriptedPackets)
{
    const uint8_t ep = 0x82;
    const IsoPipeId pipe = Open(ep, 192);
    engine->SetStreamFormat(ep, {44100, 2, 2});
    engine->SetPattern(ep, IsoPattern::Ramp);
    const uint64_t seq = engine->NextPacketSequence(ep);
    engine->ScriptPacket(ep, seq + 3, IsoPacketScript::ZeroLength);
    engine->ScriptPacket(ep, seq + 5, IsoPacketScript::Error, 0, USBD_STATUS_CRC);
    engine->ScriptPacket(ep, seq + 7, IsoPacketScript::Error, 0, USBD_STATUS_DATA_OVERRUN);
    engine->ScriptPacket(ep, seq + 8, IsoPacketScript::Short, 10);
    Xfer &x = Make(pipe, true, kAsap, 0, Repeat(192, 10));
    EXPECT_EQ(Send(x), STATUS_PENDING);
    sim::AdvanceMs(11);
    ASSERT_EQ(x.calls, 1);
    URB_ISOCH_TRANSFER &u = x.U();
    EXPECT_EQ(u.Hdr.Status, USBD_STATUS_CRC); // the first error
    EXPECT_EQ(x.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(u.ErrorCount, 2u);
    const ULONG expectLen[10] = {176, 176, 176, 0, 176, 0, 176, 0, 10, 180};
    ULONG total = 0;
    for (int i = 0; i < 10; ++i)
    {
        EXPECT_EQ(u.IsoPacket[i].Length, expectLen[i]) << i;
        total += expectLen[i];
    }
    EXPECT_EQ(u.IsoPacket[3].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(u.IsoPacket[5].Status, USBD_STATUS_CRC);
    EXPECT_EQ(u.IsoPacket[7].Status, USBD_STATUS_DATA_OVERRUN);
    EXPECT_EQ(u.TransferBufferLength, total);
    // Ramp: frame n carries n (left) and n + 1 (right); lost packets still use up their frames.
    for (int i : {0, 4, 9})
    {
        const uint8_t *p = x.data.data() + u.IsoPacket[i].Offset;
        const int firstFrame = 44 * i;
        for (ULONG f = 0; f < u.IsoPacket[i].Length / 4; ++f)
        {
            ASSERT_EQ(Le16(p + 4 * f), firstFrame + int(f)) << i;
            ASSERT_EQ(Le16(p + 4 * f + 2), firstFrame + int(f) + 1) << i;
        }
    }
    EXPECT_EQ(x.data[u.IsoPacket[3].Offset], 0xEE); // a zero-length packet leaves its slot alone
    EXPECT_EQ(Le16(x.data.data() + u.IsoPacket[8].Offset + 8), 8 * 44 + 2);

    // The rate control changes the sizes; the slot and wMaxPacketSize cap them in whole frames.
    engine->SetStreamRate(ep, 48000);
    Xfer &y = Make(pipe, true, kAsap, 0, {192, 100, 250});
    Send(y);
    engine->SetStreamRate(ep, 96000);
    Xfer &z = Make(pipe, true, kAsap, 0, Repeat(400, 2));
    engine->SetStreamRate(ep, 48000); // z was submitted before: sizes are decided as its frames run
    engine->SetStreamRate(ep, 96000);
    Send(z);
    sim::AdvanceMs(6);
    ASSERT_EQ(y.calls + z.calls, 2);
    EXPECT_EQ(y.U().IsoPacket[0].Length, 192u);
    EXPECT_EQ(y.U().IsoPacket[1].Length, 100u); // 25 frames fit the 100-byte slot
    EXPECT_EQ(y.U().IsoPacket[2].Length, 192u);
    EXPECT_EQ(z.U().IsoPacket[0].Length, 192u); // 96 frames capped at 48
    EXPECT_EQ(y.U().Hdr.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(y.status, STATUS_SUCCESS);
}

TEST_F(IsoEngineTest, SineAndSilenceSourcesMatchAReference)
{
    const IsoPipeId pipe = Open(0x81, 288);
    engine->SetStreamFormat(0x81, {48000, 2, 3});
    engine->SetPattern(0x81, IsoPattern::Sine, 1000.0, 0.25);
    Xfer &x = Make(pipe, true, kAsap, 0, Repeat(288, 2));
    Send(x);
    sim::AdvanceMs(3);
    ASSERT_EQ(x.U().IsoPacket[1].Length, 288u);
    for (int n = 0; n < 96; ++n)
    {
        const uint8_t *p = x.data.data() + 6 * n;
        int32_t v = int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
        const double ref = 0.25 * 8388607.0 * std::sin(2 * M_PI * 1000.0 * n / 48000.0);
        ASSERT_LE(std::abs(v - ref), 0.5) << n;
        int32_t r = int32_t(uint32_t(p[3]) << 8 | uint32_t(p[4]) << 16 | uint32_t(p[5]) << 24) >> 8;
        ASSERT_EQ(r, v);
    }
    engine->SetPattern(0x81, IsoPattern::Silence);
    Xfer &s = Make(pipe, true, kAsap, 0, Repeat(288, 1));
    Send(s);
    sim::AdvanceMs(2);
    ASSERT_EQ(s.U().IsoPacket[0].Length, 288u);
    EXPECT_EQ(std::count(s.data.begin(), s.data.end(), 0), 288);
}

TEST_F(IsoEngineTest, FeedbackEndpointsSendTheScriptedValue)
{
    // Every packet of the transfer carries exactly these bytes.
    auto expectEveryPacket = [](Xfer &x, const std::vector<uint8_t> &bytes)
    {
        ASSERT_EQ(x.calls, 1);
        EXPECT_EQ(x.status, STATUS_SUCCESS);
        EXPECT_EQ(x.U().TransferBufferLength, x.U().NumberOfPackets * bytes.size());
        for (ULONG i = 0; i < x.U().NumberOfPackets; ++i)
        {
            const USBD_ISO_PACKET_DESCRIPTOR &p = x.U().IsoPacket[i];
            ASSERT_EQ(p.Length, bytes.size()) << i;
            EXPECT_EQ(std::vector<uint8_t>(x.data.begin() + p.Offset, x.data.begin() + p.Offset + p.Length),
                      bytes)
                << i;
        }
    };
    const IsoPipeId fs = Open(0x83, 3, false, 1, 0x11);
    engine->SetFeedbackValue(0x83, 0x0B0640);
    Xfer &x = Make(fs, true, kAsap, 0, Repeat(3, 10));
    Send(x);
    // High speed: 16.16 in four bytes; bInterval 4 gives one packet a frame.
    const IsoPipeId hs = Open(0x84, 4, true, 4, 0x11);
    engine->SetFeedbackValue(0x84, 0x00058333);
    Xfer &h = Make(hs, true, kAsap, 0, Repeat(4, 10));
    Send(h);
    // Unscripted, the value follows the endpoint's rate: 48 kHz is 48.0 samples a frame in 10.14.
    const IsoPipeId def = Open(0x85, 3, false, 1, 0x11);
    engine->SetStreamRate(0x85, 48000);
    Xfer &d = Make(def, true, kAsap, 0, Repeat(3, 2));
    Send(d);
    sim::AdvanceMs(11);
    expectEveryPacket(x, {0x40, 0x06, 0x0B});
    expectEveryPacket(h, {0x33, 0x83, 0x05, 0x00});
    expectEveryPacket(d, {0x00, 0x00, 0x0C});
}

TEST_F(IsoEngineTest, ScriptedTransferFailures)
{
    const IsoPipeId pipe = Open(0x01, 192);
    const uint64_t t = engine->NextTransferSequence(0x01);
    engine->ScriptTransferFailure(0x01, t);
    engine->ScriptTransferFailure(0x01, t + 1, true, USBD_STATUS_DEV_NOT_RESPONDING);
    Xfer &a = Make(pipe, false, kAsap, 0, CdPackets());
    Xfer &b = Make(pipe, false, kAsap, 0, CdPackets());
    Xfer &c = Make(pipe, false, kAsap, 0, CdPackets());
    EXPECT_EQ(Send(a), STATUS_PENDING);
    EXPECT_EQ(Send(b), STATUS_UNSUCCESSFUL); // at once
    EXPECT_EQ(b.U().Hdr.Status, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(Send(c), STATUS_PENDING);
    EXPECT_EQ(c.U().StartFrame, a.U().StartFrame + 10);
    sim::AdvanceMs(10);
    EXPECT_EQ(a.calls, 0);
    sim::AdvanceMs(1);
    ASSERT_EQ(a.calls, 1);
    EXPECT_EQ(a.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(a.U().Hdr.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
    EXPECT_EQ(a.U().ErrorCount, 10u);
    EXPECT_EQ(a.U().IsoPacket[4].Status, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW);
    EXPECT_EQ(engine->OutPacketCount(0x01), 0u);
    sim::AdvanceMs(10);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_EQ(engine->OutPacketCount(0x01), 10u);
    // An OUT packet can be scripted to fail too: it is not recorded.
    engine->ScriptPacket(0x01, engine->NextPacketSequence(0x01) + 1, IsoPacketScript::Error, 0,
                         USBD_STATUS_CRC);
    Xfer &e = Make(pipe, false, kAsap, 0, Repeat(8, 3));
    Send(e);
    sim::AdvanceMs(4);
    EXPECT_EQ(e.U().Hdr.Status, USBD_STATUS_CRC);
    EXPECT_EQ(e.U().TransferBufferLength, 16u);
    EXPECT_EQ(engine->OutPacketCount(0x01), 12u);
}

TEST_F(IsoEngineTest, AbortPipeReturnsAfterItsTransfersAreCancelled)
{
    const IsoPipeId pipe = Open(0x01, 192);
    const IsoPipeId other = Open(0x81, 192);
    ToFrame(100);
    Xfer &a = Make(pipe, false, kAsap, 0, CdPackets());
    Xfer &b = Make(pipe, false, kAsap, 0, CdPackets());
    Xfer &c = Make(pipe, false, kAsap, 0, CdPackets());
    Xfer &keep = Make(other, true, kAsap, 0, Repeat(192, 10));
    for (Xfer *x : {&a, &b, &c, &keep})
        EXPECT_EQ(Send(*x), STATUS_PENDING);
    sim::AdvanceMs(5); // frames 101..104 of the first have gone out
    EXPECT_EQ(engine->AbortPipe(pipe), STATUS_SUCCESS);
    for (Xfer *x : {&a, &b, &c})
    {
        EXPECT_EQ(x->calls, 1);
        EXPECT_EQ(x->status, STATUS_CANCELLED);
        EXPECT_EQ(x->U().Hdr.Status, USBD_STATUS_CANCELED);
        EXPECT_EQ(x->irql, DISPATCH_LEVEL);
    }
    EXPECT_LT(a.order, b.order);
    EXPECT_LT(b.order, c.order);
    EXPECT_EQ(engine->OutPacketCount(0x01), 4u);
    EXPECT_EQ(a.U().IsoPacket[3].Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(a.U().IsoPacket[4].Status, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW);
    EXPECT_EQ(a.U().TransferBufferLength, 4 * 176u);
    EXPECT_EQ(engine->Outstanding(pipe), 0u);
    EXPECT_EQ(keep.calls, 0); // another pipe goes on
    EXPECT_TRUE(engine->PipeOpen(pipe));
    // The pipe starts afresh.
    Xfer &d = Make(pipe, false, kAsap, 0, Repeat(8, 1));
    EXPECT_EQ(Send(d), STATUS_PENDING);
    EXPECT_EQ(d.U().StartFrame, 106u);
    sim::AdvanceMs(6);
    EXPECT_EQ(keep.status, STATUS_SUCCESS);
    EXPECT_EQ(d.status, STATUS_SUCCESS);
    EXPECT_EQ(engine->AbortPipe(12345), STATUS_INVALID_PARAMETER);
}

TEST_F(IsoEngineTest, UnplugResetAndRefusal)
{
    const IsoPipeId out = Open(0x01, 192);
    const IsoPipeId in = Open(0x81, 192);
    Xfer &a = Make(out, false, kAsap, 0, CdPackets());
    Xfer &b = Make(in, true, kAsap, 0, Repeat(192, 10));
    Send(a);
    Send(b);
    engine->FailAll(STATUS_DEVICE_NOT_CONNECTED);
    engine->Refuse(STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE);
    for (Xfer *x : {&a, &b})
    {
        EXPECT_EQ(x->calls, 1);
        EXPECT_EQ(x->status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(x->U().Hdr.Status, USBD_STATUS_DEVICE_GONE);
    }
    Xfer &c = Make(out, false, kAsap, 0, CdPackets());
    EXPECT_EQ(Send(c), STATUS_DEVICE_NOT_CONNECTED); // at once
    EXPECT_EQ(c.calls, 1);
    EXPECT_EQ(c.U().Hdr.Status, USBD_STATUS_DEVICE_GONE);
    sim::AdvanceMs(20);
    EXPECT_EQ(engine->OutPacketCount(0x01), 0u);

    // A port reset cancels what is outstanding and keeps the pipes.
    engine->StopRefusing();
    Xfer &d = Make(out, false, kAsap, 0, CdPackets());
    EXPECT_EQ(Send(d), STATUS_PENDING);
    engine->CancelAll();
    EXPECT_EQ(d.status, STATUS_CANCELLED);
    EXPECT_TRUE(engine->PipeOpen(out));
    // Closing a pipe ends its transfers with the status given.
    Xfer &e = Make(in, true, kAsap, 0, Repeat(192, 10));
    EXPECT_EQ(Send(e), STATUS_PENDING);
    EXPECT_EQ(engine->ClosePipe(in, STATUS_INVALID_PARAMETER), STATUS_SUCCESS);
    EXPECT_EQ(e.status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(e.U().Hdr.Status, USBD_STATUS_INVALID_PARAMETER);
}

TEST_F(IsoEngineTest, CancellingOneIrpLeavesTheOthersInOrder)
{
    const IsoPipeId pipe = Open(0x01, 192);
    Xfer &a = Make(pipe, false, kAsap, 0, CdPackets());
    Xfer &b = Make(pipe, false, kAsap, 0, CdPackets());
    Xfer &c = Make(pipe, false, kAsap, 0, CdPackets());
    Send(a);
    Send(b);
    Send(c);
    EXPECT_TRUE(IoCancelIrp(b.irp));
    sim::RunUntilIdle();
    EXPECT_EQ(b.calls, 1);
    EXPECT_EQ(b.status, STATUS_CANCELLED);
    EXPECT_EQ(a.calls + c.calls, 0);
    sim::AdvanceMs(31);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    EXPECT_EQ(c.status, STATUS_SUCCESS);
    EXPECT_LT(a.order, c.order);
    EXPECT_EQ(engine->OutPacketCount(0x01), 20u);
    EXPECT_FALSE(IoCancelIrp(a.irp)); // completed IRPs have no cancel routine

    // An IRP cancelled before it arrives is cancelled at once.
    Xfer &d = Make(pipe, false, kAsap, 0, CdPackets());
    d.irp = IoAllocateIrp(pdo->StackSize, FALSE);
    EXPECT_FALSE(IoCancelIrp(d.irp));
    EXPECT_EQ(Call(d), STATUS_PENDING);
    sim::RunUntilIdle();
    EXPECT_EQ(d.status, STATUS_CANCELLED);
}

TEST_F(IsoEngineTest, CancelRacingCompletionCompletesOnce)
{
    const IsoPipeId pipe = Open(0x01, 192);
    for (int round = 0; round < 1000; ++round)
    {
        Xfer &x = Make(pipe, false, kAsap, 0, Repeat(8, 1));
        ASSERT_EQ(Send(x), STATUS_PENDING);
        // The frame ends (DPC completing) while a thread the clock does not wait for cancels.
        std::atomic<bool> go{false};
        std::thread canceller(
            [&, round]
            {
                while (!go.load())
                    std::this_thread::yield();
                for (int i = 0; i < round % 40; ++i)
                    std::this_thread::yield();
                IoCancelIrp(x.irp);
            });
        go.store(true);
        sim::AdvanceMs(2);
        canceller.join();
        sim::RunUntilIdle();
        ASSERT_EQ(x.calls, 1) << round;
        ASSERT_TRUE(x.status == STATUS_SUCCESS || x.status == STATUS_CANCELLED) << round;
        IoFreeIrp(x.irp);
        x.irp = nullptr;
    }
    EXPECT_EQ(engine->Outstanding(), 0u);
}

TEST_F(IsoEngineTest, SynchronousModeCompletesBeforeTheCallReturns)
{
    engine->SetSynchronous(true);
    const IsoPipeId pipe = Open(0x01, 192);
    ToFrame(7);
    Xfer &a = Make(pipe, false, kAsap, 0, CdPackets());
    EXPECT_EQ(Send(a), STATUS_SUCCESS);
    EXPECT_EQ(a.calls, 1);
    EXPECT_EQ(a.irql, DISPATCH_LEVEL);
    EXPECT_EQ(a.thread, std::this_thread::get_id());
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(a.U().StartFrame, 8u);
    std::vector<IsoOutPacket> rec = engine->OutPackets(0x01);
    ASSERT_EQ(rec.size(), 10u);
    EXPECT_EQ(rec[9].frame, 17u);
    // A routine that resubmits: each resubmission completes before the outermost call returns,
    // without nesting, and continues the schedule.
    Xfer &b = Make(pipe, false, kAsap, 0, Repeat(8, 2));
    int resubmits = 0;
    std::vector<ULONG> starts;
    b.onComplete = [&](Xfer &x)
    {
        starts.push_back(x.U().StartFrame);
        if (++resubmits < 4)
        {
            IoReuseIrp(x.irp, STATUS_NOT_SUPPORTED);
            EXPECT_EQ(Call(x), STATUS_PENDING);
        }
    };
    EXPECT_EQ(Send(b), STATUS_SUCCESS);
    EXPECT_EQ(resubmits, 4);
    EXPECT_EQ(starts, (std::vector<ULONG>{18, 20, 22, 24}));
    // Failures stay failures.
    Xfer &bad = Make(pipe, false, 0, 3, Repeat(8, 1));
    EXPECT_EQ(Send(bad), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bad.calls, 1);
    EXPECT_EQ(engine->Outstanding(), 0u);
}

TEST_F(IsoEngineTest, FrameNumbersWrap)
{
    engine->SetFrameOrigin(0xFFFFFFFBu);
    EXPECT_EQ(engine->CurrentFrame(), 0xFFFFFFFBu);
    const IsoPipeId pipe = Open(0x01, 192);
    Xfer &a = Make(pipe, false, 0, 0xFFFFFFFEu, CdPackets());
    EXPECT_EQ(Send(a), STATUS_PENDING);
    Xfer &b = Make(pipe, false, kAsap, 0, CdPackets());
    EXPECT_EQ(Send(b), STATUS_PENDING);
    EXPECT_EQ(b.U().StartFrame, 8u); // after 0xFFFFFFFE + 9 = 7
    Xfer &past = Make(pipe, false, 0, 0xFFFFFFFAu, Repeat(8, 1));
    EXPECT_EQ(Send(past), STATUS_UNSUCCESSFUL);
    Xfer &far = Make(pipe, false, 0, 0xFFFFFFFBu + 1024, Repeat(8, 1)); // 0x3FB
    EXPECT_EQ(Send(far), STATUS_UNSUCCESSFUL);
    sim::AdvanceMs(12);
    EXPECT_EQ(a.calls, 0); // frame 7 is running
    sim::AdvanceMs(1);
    EXPECT_EQ(a.status, STATUS_SUCCESS);
    sim::AdvanceMs(10);
    EXPECT_EQ(b.status, STATUS_SUCCESS);
    std::vector<IsoOutPacket> rec = engine->OutPackets(0x01);
    ASSERT_EQ(rec.size(), 20u);
    for (ULONG i = 0; i < 20; ++i)
        EXPECT_EQ(rec[i].frame, ULONG(0xFFFFFFFEu + i));
    EXPECT_EQ(engine->CurrentFrame(), 18u);
}

TEST_F(IsoEngineTest, DestroyingTheEngineCancelsWhatIsOutstanding)
{
    const IsoPipeId pipe = Open(0x01, 192);
    Xfer &a = Make(pipe, false, kAsap, 0, CdPackets());
    Xfer &b = Make(pipe, false, kAsap, 0, CdPackets());
    Send(a);
    Send(b);
    sim::AdvanceMs(3);
    engine.reset();
    EXPECT_EQ(a.status, STATUS_CANCELLED);
    EXPECT_EQ(b.status, STATUS_CANCELLED);
    // No timer is left set: the fixture's end-of-test check would report it.
}

TEST_F(IsoEngineTest, LogSinkReceivesTheEventsInOrder)
{
    std::mutex mu;
    std::vector<std::string> lines;
    size_t outstandingSeen = 0;
    // The sink runs outside the engine's lock: it may take its own locks and call the engine.
    engine->SetLogSink(
        [&](const std::string &l)
        {
            const size_t n = engine->Outstanding();
            std::lock_guard<std::mutex> g(mu);
            lines.push_back(l);
            outstandingSeen = std::max(outstandingSeen, n);
        });
    const IsoPipeId pipe = Open(0x81, 192);
    Xfer &a = Make(pipe, true, kAsap, 0, Repeat(192, 1));
    Send(a);
    EXPECT_EQ(engine->AbortPipe(pipe), STATUS_SUCCESS);
    Xfer &b = Make(pipe, true, kAsap, 0, Repeat(192, 1));
    Send(b);
    sim::AdvanceMs(2);
    EXPECT_TRUE(engine->Log().empty());
    std::lock_guard<std::mutex> g(mu);
    EXPECT_EQ(
        lines,
        (std::vector<std::string>{
            "iso open pipe 1 ep 0x81 max 192 interval 1 packets/frame 1",
            "iso submit pipe 1 ep 0x81 in start 1 packets 1 bytes 192 asap",
            "iso complete pipe 1 ep 0x81 start 1 packets 1 status 0xC0000120 urb 0xC0010000 bytes 0 errors 1",
            "iso abort pipe 1 ep 0x81 transfers 1",
            "iso submit pipe 1 ep 0x81 in start 1 packets 1 bytes 192 asap",
            "iso complete pipe 1 ep 0x81 start 1 packets 1 status 0x00000000 urb 0x00000000 bytes 192 errors "
            "0",
        }));
    EXPECT_EQ(outstandingSeen, 1u);
}
