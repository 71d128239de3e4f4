// Simulated bus time per real second: a 48 kHz stereo 16-bit render stream (OUT) and a capture
// stream (IN) at full speed, ten 1 ms frames per transfer, three transfers in flight each, every
// completion resubmitting from the DPC as the driver's streams do. Budgets the CI time of later
// streaming tests.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include <ntkernel.h>
#include <sim/kernel_sim.h>
#include <sim/usb_iso_engine.h>

namespace
{

constexpr ULONG kFramesPerTransfer = 10;
constexpr ULONG kPacketBytes = 192; // 48 frames of 4 bytes

usbsim::IsoEngine *g_engine;

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp)
{
    auto *urb = static_cast<PURB>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1);
    return g_engine->Submit(
        usbsim::IsoPipeId(reinterpret_cast<uintptr_t>(urb->UrbIsochronousTransfer.PipeHandle)), irp, urb);
}

struct Stream;

struct Transfer
{
    Stream *stream;
    PIRP irp;
    std::vector<uint64_t> urbMem;
    std::vector<uint8_t> data;
    PURB Urb() { return reinterpret_cast<PURB>(urbMem.data()); }
};

struct Stream
{
    PDEVICE_OBJECT pdo;
    usbsim::IsoPipeId pipe;
    bool in;
    bool running = true;
    uint64_t completed = 0;
    std::vector<std::unique_ptr<Transfer>> transfers;
};

NTSTATUS Completed(PDEVICE_OBJECT, PIRP, PVOID context);

void Submit(Transfer &t)
{
    URB_ISOCH_TRANSFER &u = t.Urb()->UrbIsochronousTransfer;
    memset(t.urbMem.data(), 0, t.urbMem.size() * sizeof(uint64_t));
    u.Hdr.Length = GET_ISO_URB_SIZE(kFramesPerTransfer);
    u.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    u.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(t.stream->pipe));
    u.TransferFlags = USBD_START_ISO_TRANSFER_ASAP |
                      (t.stream->in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : 0);
    u.TransferBuffer = t.data.data();
    u.TransferBufferLength = ULONG(t.data.size());
    u.NumberOfPackets = kFramesPerTransfer;
    for (ULONG i = 0; i < kFramesPerTransfer; ++i)
    {
        u.IsoPacket[i].Offset = i * kPacketBytes;
        u.IsoPacket[i].Length = t.stream->in ? 0 : kPacketBytes;
    }
    IoReuseIrp(t.irp, STATUS_NOT_SUPPORTED);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(t.irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = t.Urb();
    IoSetCompletionRoutine(t.irp, Completed, &t, TRUE, TRUE, TRUE);
    IoCallDriver(t.stream->pdo, t.irp);
}

NTSTATUS Completed(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto &t = *static_cast<Transfer *>(context);
    ++t.stream->completed;
    if (t.stream->running && NT_SUCCESS(irp->IoStatus.Status))
        Submit(t);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void BM_RenderAndCaptureSimulatedSeconds(benchmark::State &state)
{
    sim::SetViolationHandler([](const std::string &) { std::abort(); });
    sim::ResetAll();
    DRIVER_OBJECT driver{};
    driver.DriverExtension = &driver.Extension;
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = Dispatch;
    PDEVICE_OBJECT pdo;
    IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo);
    {
        auto engine = std::make_unique<usbsim::IsoEngine>();
        g_engine = engine.get();
        engine->KeepOutPackets(false);
        engine->SetStreamFormat(0x81, {48000, 2, 2});
        Stream streams[2];
        for (int s = 0; s < 2; ++s)
        {
            usbsim::IsoPipeDesc d;
            d.bEndpointAddress = s ? 0x81 : 0x01;
            d.wMaxPacketSize = kPacketBytes;
            streams[s].pdo = pdo;
            streams[s].pipe = engine->OpenPipe(d);
            streams[s].in = s == 1;
            for (int i = 0; i < 3; ++i)
            {
                auto t = std::make_unique<Transfer>();
                t->stream = &streams[s];
                t->irp = IoAllocateIrp(pdo->StackSize, FALSE);
                t->urbMem.resize((GET_ISO_URB_SIZE(kFramesPerTransfer) + 7) / 8);
                t->data.resize(kFramesPerTransfer * kPacketBytes);
                streams[s].transfers.push_back(std::move(t));
            }
        }
        for (auto &s : streams)
            for (auto &t : s.transfers)
                Submit(*t);
        for (auto _ : state)
            sim::AdvanceMs(1000);
        for (auto &s : streams)
            s.running = false;
        engine->CancelAll();
        state.counters["sim_seconds_per_second"] =
            benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
        state.counters["transfers"] = double(streams[0].completed + streams[1].completed);
        for (auto &s : streams)
            for (auto &t : s.transfers)
                IoFreeIrp(t->irp);
    }
    IoDeleteDevice(pdo);
    sim::ResetAll();
    sim::SetViolationHandler(nullptr);
}
BENCHMARK(BM_RenderAndCaptureSimulatedSeconds)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
