// The bench of the wave-cyclic stream tests: a scripted device stream whose messages the tests send,
// and an endpoint's wave filter over a real stream engine with a pin opened through the port.
#pragma once

#include <pc_port.h>
#include <sim/audio_client.h>
#include <sim/portcls_sim.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/filters/miniport_wave_cyclic.h"
#include "driver/filters/wave_cyclic_stream.h"
#include "support/engine_doubles.h"
#include "support/cyclic_control_stub.h"
#include "support/kernel_test.h"
#include "support/miniport_bench.h"

namespace scripted_stream
{

using engine_test::MakeFormat;
inline constexpr USHORT kPcm = WAVE_FORMAT_PCM;

// The device stream as the wave-cyclic stream reaches it: it logs the client calls, can fail the
// next one, and sends the messages a test scripts, at DISPATCH_LEVEL as completions do.
class ScriptedControl final : public ClientSideCyclicControl
{
public:
    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override
    {
        *object = nullptr;
        if (!IsEqualId(iid, IID_ICyclicControl) && !IsEqualId(iid, IID_IUnknown))
            return STATUS_INVALID_PARAMETER;
        *object = static_cast<ICyclicControl *>(this);
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return 2; }
    ULONG Release() override { return 1; }

    NTSTATUS RegisterClient(LONG kind, const WAVEFORMATEXTENSIBLE *format, ULONG framesPerTransfer,
                            ULONG transfersInFlight, PCALLBACK_FUNCTION callback, PVOID context,
                            StreamClientRecord **out) override
    {
        calls.push_back("Register");
        if (Fail("Register"))
            return STATUS_INSUFFICIENT_RESOURCES;
        record = StreamClientRecord{kind, &record, framesPerTransfer, transfersInFlight, *format, 0, 0};
        m_Callback = callback;
        m_Context = context;
        *out = &record;
        return STATUS_SUCCESS;
    }
    NTSTATUS UnregisterClient(PVOID) override
    {
        calls.push_back("Unregister");
        m_Callback = nullptr;
        return STATUS_SUCCESS;
    }
    NTSTATUS StartClient(PVOID, ULONG startFrame, PULONG frames, PUNKNOWN) override
    {
        calls.push_back("Start " + std::to_string(startFrame));
        if (Fail("Start"))
            return STATUS_UNSUCCESSFUL;
        record.Active = 1;
        *frames = 5;
        return STATUS_SUCCESS;
    }
    NTSTATUS StopClient(PVOID, PUNKNOWN) override
    {
        calls.push_back("Stop");
        record.Active = 0;
        return STATUS_SUCCESS;
    }
    NTSTATUS OpenClient(PVOID, PULONG frames, PULONG currentFrame) override
    {
        calls.push_back("Open");
        if (Fail("Open"))
            return STATUS_UNSUCCESSFUL;
        *frames = 5;
        *currentFrame = 100;
        return STATUS_SUCCESS;
    }
    NTSTATUS CloseClient(PVOID) override
    {
        calls.push_back("Close");
        return STATUS_SUCCESS;
    }

    void Send(LONG code, ULONG_PTR value1, ULONG value2)
    {
        ASSERT_NE(m_Callback, nullptr);
        CyclicControlMessage message{&record, code, value1, value2};
        const KIRQL old = KeRaiseIrqlToDpcLevel();
        m_Callback(m_Context, &message, nullptr);
        KeLowerIrql(old);
    }
    // The device format and buffering of the running client, as the device stream announces them.
    void Announce(const WAVEFORMATEXTENSIBLE &device, ULONG framesPerTransfer, ULONG transfersInFlight)
    {
        record.Format = device;
        Send(CYCLIC_MSG_FORMAT, framesPerTransfer | CYCLIC_FORMAT_CHANGED, transfersInFlight);
    }
    void Fill(std::vector<UCHAR> *block)
    {
        Send(CYCLIC_MSG_RENDER_FILL, ULONG_PTR(block->data()), ULONG(block->size()));
    }
    void Played(ULONG bytes) { Send(CYCLIC_MSG_POSITION, bytes, 0); }

    std::vector<std::string> calls;
    std::string failNext;
    StreamClientRecord record{};

private:
    bool Fail(const char *what)
    {
        if (failNext != what)
            return false;
        failNext.clear();
        return true;
    }
    PCALLBACK_FUNCTION m_Callback = nullptr;
    PVOID m_Context = nullptr;
};

using miniport_bench::DataFormat;

class WaveCyclicStreamTest : public KernelTest
{
protected:
    void TearDown() override
    {
        pin.reset();
        filter.reset();
        bench.Close();
        if (engine)
            engine->NonDelegatingUnknown()->Release();
        KernelTest::TearDown();
    }

    // An endpoint (render, or capture for engine id 1) listing `formats`, its miniport behind a port,
    // and the engine answering for the scripted device stream.
    void Build(const std::vector<WAVEFORMATEXTENSIBLE> &formats, ULONG engineId = 0)
    {
        engine = new (NonPagedPool, PoolTag::USBS) CStreamEngine(&control, 0);
        ASSERT_NE(engine, nullptr);
        engine->NonDelegatingUnknown()->AddRef();
        ASSERT_EQ(engine->Initialize(engineId), STATUS_SUCCESS);
        for (const auto &f : formats)
            ASSERT_EQ(engine->AddFormat(f), STATUS_SUCCESS);
        ASSERT_EQ(engine->SetName(u"HPOut00"), STATUS_SUCCESS);
        bench.Open(engine);
        miniport = bench.miniport;
        filter = std::make_unique<sim::audio::Filter>(bench.port);
    }
    NTSTATUS Open(const std::vector<UCHAR> &data, ULONG bufferSize = 0)
    {
        return sim::audio::OpenPin(*filter, 0, data.data(), ULONG(data.size()), &pin, bufferSize);
    }
    CMiniportWaveCyclicStream *Stream() { return static_cast<CMiniportWaveCyclicStream *>(pin->Stream()); }
    ULONG Position()
    {
        ULONG position = 0;
        EXPECT_EQ(pin->Stream()->GetPosition(&position), STATUS_SUCCESS);
        return position;
    }

    ScriptedControl control;
    CStreamEngine *engine = nullptr;
    miniport_bench::WaveFilter bench;
    CMiniportWaveCyclic *miniport = nullptr;
    std::unique_ptr<sim::audio::Filter> filter;
    std::unique_ptr<sim::audio::Pin> pin;
};

} // namespace scripted_stream
