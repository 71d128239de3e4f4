// One round of a device's life on a machine with the driver loaded: plugged, started, every format
// its endpoints offer played or recorded for a while through the stream's own client interface,
// removed. Shared by the bounded random test over mutated descriptors and the descriptor-walk
// libFuzzer target, so a misuse report of the USB stack stand-in or a format that does not stream is
// found by both.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include <sim/kernel_sim.h>
#include <sim/pnp_sim.h>
#include <sim/usb_bus.h>

#include "driver/core/driver_entry.h"
#include "driver/core/usb_audio_adapter.h"
#include "driver/core/usb_audio_stream.h"

namespace device_rounds
{

// The adapter a started device's extension holds, or null.
inline CUsbAudioAdapter *AdapterOf(PDEVICE_OBJECT pdo)
{
    AdapterDeviceExtension *extension = pdo ? GetAdapterExtension(pdo->AttachedDevice) : nullptr;
    return extension && extension->Adapter ? static_cast<CUsbAudioAdapter *>(extension->Adapter) : nullptr;
}

// A client that counts what reaches it; render buffers it fills with a non-zero pattern.
struct CountingClient
{
    std::mutex guard;
    StreamClientRecord *record = nullptr;
    unsigned long long positionBytes = 0, capturedBytes = 0;

    static VOID Callback(PVOID context, PVOID argument1, PVOID)
    {
        auto *self = static_cast<CountingClient *>(context);
        auto *m = static_cast<CyclicControlMessage *>(argument1);
        std::lock_guard<std::mutex> g(self->guard);
        if (!self->record || m->RunningClient != self->record)
            return;
        if (m->Code == CYCLIC_MSG_POSITION)
            self->positionBytes += m->Value1;
        else if (m->Code == CYCLIC_MSG_CAPTURE_DATA)
            self->capturedBytes += m->Value2;
        else if (m->Code == CYCLIC_MSG_RENDER_FILL)
            for (ULONG i = 0; i < m->Value2; ++i)
                reinterpret_cast<UCHAR *>(m->Value1)[i] = UCHAR(i | 1);
    }
};

// Opens, starts, runs for `ms` virtual ms, stops and closes one client of `format`; "" when it opened
// and moved data in packets that fit the endpoint, else what went wrong.
inline std::string StreamOne(ICyclicControl *stream, const WAVEFORMATEXTENSIBLE &format, bool capture,
                             unsigned ms)
{
    // Every stream of the driver is a CUsbAudioStream; its count of cut packets must stay.
    const LONG clamped = static_cast<CUsbAudioStream *>(stream)->ClampedPackets();
    CountingClient client;
    StreamClientRecord *record = nullptr;
    NTSTATUS status = stream->RegisterClient(3, &format, 5, 3, CountingClient::Callback, &client, &record);
    if (!NT_SUCCESS(status))
        return "register " + std::to_string(ULONG(status));
    {
        std::lock_guard<std::mutex> g(client.guard);
        client.record = record;
    }
    PVOID handle = record->ClientHandle;
    ULONG frames = 0, frame = 0;
    std::string broke;
    status = stream->OpenClient(handle, &frames, &frame);
    if (!NT_SUCCESS(status))
        broke = "open " + std::to_string(ULONG(status));
    else
    {
        status = stream->StartClient(handle, frame + 2, &frames, nullptr);
        if (!NT_SUCCESS(status))
            broke = "start " + std::to_string(ULONG(status));
        else
        {
            sim::AdvanceMs(ms);
            stream->StopClient(handle, nullptr);
            std::lock_guard<std::mutex> g(client.guard);
            if ((capture ? client.capturedBytes : client.positionBytes) == 0)
                broke = "no data moved";
            else if (static_cast<CUsbAudioStream *>(stream)->ClampedPackets() != clamped)
                broke = "packets cut to wMaxPacketSize";
        }
        stream->CloseClient(handle);
    }
    {
        std::lock_guard<std::mutex> g(client.guard);
        client.record = nullptr;
    }
    stream->UnregisterClient(handle);
    return broke;
}

// Every format every engine of the started device lists, streamed for `ms` ms: "" when each did.
inline std::string StreamEveryFormat(PDEVICE_OBJECT pdo, unsigned ms)
{
    CUsbAudioAdapter *adapter = AdapterOf(pdo);
    std::string broke;
    IStreamEngine *engine = nullptr;
    for (ULONG i = 0; adapter && NT_SUCCESS(adapter->GetEngine(i, &engine)) && engine; ++i)
    {
        ICyclicControl *stream = QueryAs<ICyclicControl>(engine, IID_ICyclicControl);
        if (!stream)
            return "an engine without a stream";
        WAVEFORMATEXTENSIBLE format{};
        for (ULONG k = 0; NT_SUCCESS(engine->GetFormat(k, &format)); ++k)
        {
            const std::string what = StreamOne(stream, format, engine->GetEngineId() != 0, ms);
            if (!what.empty())
                broke += "engine " + std::to_string(i) + " format " + std::to_string(k) + " (" +
                         std::to_string(format.Format.nChannels) + " ch " +
                         std::to_string(format.Format.nSamplesPerSec) + " Hz " +
                         std::to_string(format.Format.wBitsPerSample) + " bits): " + what + "; ";
        }
        stream->Release();
    }
    return broke;
}

// Plugs `device` on `port`, streams every format it offers once started, and unplugs it: "" when every
// offered format streamed (a refused start offers none). The caller checks misuse reports and leaks.
inline std::string PlugStreamRemove(usbsim::Bus &bus, unsigned port,
                                    std::shared_ptr<usbsim::VirtualDevice> device, unsigned ms,
                                    bool *started = nullptr)
{
    PDEVICE_OBJECT pdo = bus.Plug(port, std::move(device));
    sim::RunUntilIdle();
    const bool running = pdo && sim::pnp::Started(pdo);
    if (started)
        *started = running;
    std::string broke = running ? StreamEveryFormat(pdo, ms) : "";
    bus.Unplug(port);
    sim::RunUntilIdle();
    if (sim::pnp::Devices() != 0)
        broke += "device objects left after removal";
    return broke;
}

} // namespace device_rounds
