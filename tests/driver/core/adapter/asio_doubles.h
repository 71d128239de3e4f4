// An isochronous stream double for the low-latency service: a stream engine with scripted formats
// and name that also answers ICyclicControl, recording what its clients asked and delivering the
// audio path's messages to the running client on request.
#pragma once

#include <string>
#include <vector>

#include <pc_wave_format.h>

#include "../entry/entry_doubles.h"
#include "driver/base/usb_vendor_ids.h"
#include "support/cyclic_control_stub.h"

namespace adapter_test
{

struct AsioStreamScript
{
    std::string Name;
    std::vector<WAVEFORMATEXTENSIBLE> Formats;
    ULONG CurrentFrame = 100;
    NTSTATUS RegisterStatus = STATUS_SUCCESS;
};

struct AsioScript
{
    std::vector<AsioStreamScript>
        Streams;                    // by engine index; empty: the scripted engines of the entry doubles
    std::vector<std::string> Calls; // "Register HPOut00 frames 1 inflight 2", "Start MicIn00 105", ...
    LONG LiveClients = 0;
};

inline AsioScript &A()
{
    static AsioScript script;
    return script;
}

inline WAVEFORMATEXTENSIBLE PcmFormat(USHORT channels, ULONG rate, USHORT bits, USHORT valid)
{
    WAVEFORMATEXTENSIBLE f = {};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.cbSize = 22;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = USHORT(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Samples.wValidBitsPerSample = valid;
    f.SubFormat = SubFormatForTag(WAVE_FORMAT_PCM);
    return f;
}

inline WAVEFORMATEXTENSIBLE DsdFormat(USHORT channels, ULONG rate, USHORT bits)
{
    WAVEFORMATEXTENSIBLE f = PcmFormat(channels, rate, bits, bits);
    f.SubFormat = SubFormatForTag(0);
    f.SubFormat.Data1 = SalvineVendorId;
    return f;
}

class AsioStream : public hal_test::FakeEngine, public ClientSideCyclicControl
{
public:
    DECLARE_STD_UNKNOWN();
    AsioStream(PUNKNOWN outer, ULONG index)
        : FakeEngine(outer, entry_test::S().Streams[index].EngineId), m_Index(index)
    {
    }
    ~AsioStream() override
    {
        for (Client *c : m_Clients)
            delete c;
    }

    // ---- IStreamEngine
    ULONG GetTerminalType() override { return entry_test::S().Streams[m_Index].TerminalType; }
    NTSTATUS SetName(PCWSTR) override { return STATUS_SUCCESS; }
    NTSTATUS GetName(PWSTR name) override
    {
        const std::string &n = Script().Name;
        size_t i = 0;
        for (; i < n.size() && i + 1 < ENGINE_NAME_CHARS; ++i)
            name[i] = WCHAR(n[i]);
        name[i] = 0;
        return STATUS_SUCCESS;
    }
    ULONG GetFormatCount() override { return ULONG(Script().Formats.size()); }
    NTSTATUS GetFormat(ULONG index, WAVEFORMATEXTENSIBLE *format) override
    {
        if (index >= Script().Formats.size())
            return STATUS_INVALID_PARAMETER;
        *format = Script().Formats[index];
        return STATUS_SUCCESS;
    }
    NTSTATUS UpdateRegistration(PDEVICE_OBJECT, IRP *, PUNKNOWN) override { return STATUS_SUCCESS; }
    NTSTATUS Unregister(PDEVICE_OBJECT) override { return STATUS_SUCCESS; }
    NTSTATUS SetMiniport(PFN_CREATE_MINIPORT, REFGUID) override { return STATUS_SUCCESS; }
    NTSTATUS SetTopology(PUNKNOWN, PUNKNOWN) override { return STATUS_SUCCESS; }

    // ---- ICyclicControl
    NTSTATUS RegisterClient(LONG kind, const WAVEFORMATEXTENSIBLE *format, ULONG frames, ULONG inFlight,
                            PCALLBACK_FUNCTION callback, PVOID context, StreamClientRecord **record) override
    {
        Log("Register " + std::to_string(kind) + " frames " + std::to_string(frames) + " inflight " +
            std::to_string(inFlight) + " bits " + std::to_string(format->Format.wBitsPerSample));
        if (!NT_SUCCESS(Script().RegisterStatus))
            return Script().RegisterStatus;
        // Registrations come from pool, so failure injection reaches them as on the real stream.
        PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, MakePoolTag("USBS"));
        if (!block)
            return STATUS_INSUFFICIENT_RESOURCES;
        auto *c = new Client{};
        c->Block = block;
        c->Record.Kind = kind;
        c->Record.Format = *format;
        c->Record.FramesPerTransfer = frames;
        c->Record.TransfersInFlight = inFlight;
        c->Record.ClientHandle = c;
        c->Callback = callback;
        c->Context = context;
        m_Clients.push_back(c);
        ++A().LiveClients;
        *record = &c->Record;
        return STATUS_SUCCESS;
    }
    NTSTATUS UnregisterClient(PVOID handle) override
    {
        Client *c = Find(handle);
        if (!c)
            return STATUS_UNSUCCESSFUL;
        Log("Unregister");
        std::erase(m_Clients, c);
        ExFreePoolWithTag(c->Block, MakePoolTag("USBS"));
        delete c;
        --A().LiveClients;
        return STATUS_SUCCESS;
    }
    NTSTATUS StartClient(PVOID handle, ULONG startFrame, PULONG frames, PUNKNOWN) override
    {
        Client *c = Find(handle);
        if (!c)
            return STATUS_INVALID_PARAMETER;
        Log("Start " + std::to_string(startFrame));
        c->Record.Active = 1;
        *frames = c->Record.FramesPerTransfer;
        return STATUS_SUCCESS;
    }
    NTSTATUS StopClient(PVOID handle, PUNKNOWN) override
    {
        Client *c = Find(handle);
        if (!c)
            return STATUS_INVALID_PARAMETER;
        Log("Stop");
        c->Record.Active = 0;
        return STATUS_SUCCESS;
    }
    NTSTATUS OpenClient(PVOID handle, PULONG frames, PULONG currentFrame) override
    {
        Client *c = Find(handle);
        if (!c)
            return STATUS_INVALID_PARAMETER;
        Log("Open");
        *frames = c->Record.FramesPerTransfer;
        *currentFrame = Script().CurrentFrame;
        return STATUS_SUCCESS;
    }
    NTSTATUS CloseClient(PVOID handle) override
    {
        if (!Find(handle))
            return STATUS_INVALID_PARAMETER;
        Log("Close");
        return STATUS_SUCCESS;
    }

    // ---- Test face: the audio path's message to every registered client, addressed to the first
    // one (the running client), at DISPATCH_LEVEL as a completion sends it.
    void Deliver(LONG code, ULONG_PTR value1, ULONG value2)
    {
        if (m_Clients.empty())
            return;
        CyclicControlMessage message = {&m_Clients.front()->Record, code, value1, value2};
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        for (Client *c : m_Clients)
            c->Callback(c->Context, &message, nullptr);
        KeLowerIrql(old);
    }
    size_t Clients() const { return m_Clients.size(); }

private:
    struct Client
    {
        StreamClientRecord Record;
        PCALLBACK_FUNCTION Callback;
        PVOID Context;
        PVOID Block;
    };
    const AsioStreamScript &Script() const { return A().Streams[m_Index]; }
    Client *Find(PVOID handle)
    {
        for (Client *c : m_Clients)
            if (c == handle)
                return c;
        return nullptr;
    }
    void Log(const std::string &what) { A().Calls.push_back(what + " " + Script().Name); }

    ULONG m_Index;
    std::vector<Client *> m_Clients;
};

inline NTSTATUS AsioStream::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<IStreamEngine *>(this),
                           {{IID_IStreamEngine, static_cast<IStreamEngine *>(this)},
                            {IID_ICyclicControl, static_cast<ICyclicControl *>(this)}});
}

} // namespace adapter_test
