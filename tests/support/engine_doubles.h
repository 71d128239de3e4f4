// Test doubles around the stream engine: a recording processing node with an MXCSR probe, scripted
// terminal and state nodes, wave and topology miniport fakes with a creation function, and helpers
// to build formats and engines.
#pragma once

#include <immintrin.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "driver/filters/audio_node.h"
#include "driver/base/pool_memory.h"
#include "driver/filters/stream_engine.h"
#include "driver/base/wide_string.h"

#include "support/bridge_filter.h"
#include "support/hal_doubles.h"

namespace engine_test
{

// The call log, the pool-backed creation and the reference probe of the HAL doubles serve here too.
using hal_test::Events;
using hal_test::Make;
using hal_test::RefsOf;

// The name of an owner's callback object, built independently of the driver: the prefix and the
// owner's address as upper-case hex digits, two per address byte; optionally all in lower case.
inline std::u16string CallbackNameOf(const char *prefix, const void *owner, bool lowerCase)
{
    char text[96];
    std::snprintf(text, sizeof(text), "%s%0*llX", prefix, int(2 * sizeof(void *)),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(owner)));
    std::u16string name;
    for (const char *c = text; *c; ++c)
        name += char16_t(lowerCase ? std::tolower(static_cast<unsigned char>(*c)) : *c);
    return name;
}

// Opens an existing callback object by name without creating one; null when there is none.
inline PCALLBACK_OBJECT OpenCallbackByName(const std::u16string &text)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT object = nullptr;
    return NT_SUCCESS(ExCreateCallback(&object, &attributes, FALSE, TRUE)) ? object : nullptr;
}

inline CStreamEngine *MakeEngine(ULONG value = 0)
{
    auto *engine = new (NonPagedPool, PoolTag::USBS) CStreamEngine(nullptr, value);
    if (engine)
        engine->AddRef();
    return engine;
}

inline WAVEFORMATEXTENSIBLE MakeFormat(USHORT type, USHORT channels, ULONG rate, USHORT bits,
                                       bool extensible = true)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : type;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.nBlockAlign = USHORT(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = bits;
    f.Format.cbSize = extensible ? 22 : 0;
    f.Samples.wValidBitsPerSample = bits;
    f.dwChannelMask = channels == 2 ? 3 : (1u << channels) - 1;
    f.SubFormat = SubFormatForTag(type);
    return f;
}

// One call a recording node saw.
struct NodeCall
{
    bool Stopped;    // StreamStopped rather than ProcessBuffers
    float *Buffer0;  // buffers[0]
    float **Buffers; // the table itself
    ULONG Frames;
    unsigned Mxcsr; // MXCSR inside the call
    KIRQL Irql;
    float FirstSample; // buffers[0][0]
    const WAVEFORMATEXTENSIBLE *Format;
};

// A processing node (kind 20) that records its calls and leaves the samples alone, or fails with
// `failStatus`. With `scale` it multiplies every channel buffer by it (PCM) instead.
class RecordingNode : public IProcessingNode, public CAudioNodeBase
{
public:
    DECLARE_STD_UNKNOWN();
    RecordingNode(PUNKNOWN outer, ULONG id, ULONG kind = 20) : CAudioNodeBase(outer, id, kind) {}

    NTSTATUS failStatus = STATUS_SUCCESS;
    std::vector<NodeCall> calls;

    NTSTATUS ProcessSlot1(PVOID, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ProcessSlot2(PVOID, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetEffectFormat(const WAVEFORMATEXTENSIBLE *) override { return STATUS_SUCCESS; }
    NTSTATUS ResetEffect() override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBuffers(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames) override
    {
        return Record(false, format, buffers, frames);
    }
    NTSTATUS StreamStopped(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames) override
    {
        return Record(true, format, buffers, frames);
    }

private:
    NTSTATUS Record(bool stopped, const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames)
    {
        NodeCall call{stopped,
                      buffers ? buffers[0] : nullptr,
                      buffers,
                      frames,
                      _mm_getcsr(),
                      KeGetCurrentIrql(),
                      buffers && buffers[0] && frames ? buffers[0][0] : 0.0f,
                      format};
        calls.push_back(call);
        Events().push_back("node " + std::to_string(m_Id) + (stopped ? " stopped " : " process ") +
                           std::to_string(frames));
        return failStatus;
    }
};

inline NTSTATUS RecordingNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IAudioNode *>(this),
                      {{IID_IProcessingNode, static_cast<IProcessingNode *>(this)}});
}

// A terminal node of a given kind with a scripted type and jack records.
class ScriptedTerminal : public ITerminalInfo, public CAudioNodeBase
{
public:
    DECLARE_STD_UNKNOWN();
    ScriptedTerminal(PUNKNOWN outer, ULONG id, ULONG kind, ULONG type)
        : CAudioNodeBase(outer, id, kind), type(type)
    {
    }

    ULONG type;
    std::vector<JackRecord> jacks;

    NTSTATUS GetSelectedType(PULONG value) override
    {
        *value = type;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetTypeCount(PULONG count) override
    {
        *count = 1;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetTypes(PULONG types) override
    {
        types[0] = type;
        return STATUS_SUCCESS;
    }
    NTSTATUS SelectType(ULONG value) override
    {
        type = value;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetJackCount(PULONG count) override
    {
        *count = ULONG(jacks.size());
        return STATUS_SUCCESS;
    }
    NTSTATUS GetJacks(ULONG size, PVOID buffer) override
    {
        const size_t bytes = std::min<size_t>(size, jacks.size() * sizeof(JackRecord));
        if (bytes)
            std::memcpy(buffer, jacks.data(), bytes);
        return STATUS_SUCCESS;
    }
    NTSTATUS GetWords(PULONG words) override
    {
        for (ULONG i = 0; i < HAL_INFO_WORDS; ++i)
            words[i] = 0;
        return STATUS_SUCCESS;
    }
};

inline NTSTATUS ScriptedTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IAudioNode *>(this),
                      {{IID_ITerminalInfo, static_cast<ITerminalInfo *>(this)}});
}

inline JackRecord Jack(ULONG connected)
{
    JackRecord jack{3, 0, 7, 14, 1, 1, 0, connected, 0};
    return jack;
}

// A kind-13 node with a scripted current value.
class ScriptedState : public INodeState, public CAudioNodeBase
{
public:
    DECLARE_STD_UNKNOWN();
    ScriptedState(PUNKNOWN outer, ULONG id, ULONG value)
        : CAudioNodeBase(outer, id, NODE_KIND_STATE), value(value)
    {
    }

    ULONG value;

    NTSTATUS GetValue(PULONG out) override
    {
        *out = value;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetValueCount(PULONG count) override
    {
        *count = 1;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetValues(PULONG values) override
    {
        values[0] = value;
        return STATUS_SUCCESS;
    }
    NTSTATUS Select(ULONG v) override
    {
        value = v;
        return STATUS_SUCCESS;
    }
    BOOLEAN IsChanged() override { return FALSE; }
    void ClearChanged() override {}
    NTSTATUS AddListener(IStateTarget *) override { return STATUS_SUCCESS; }
    NTSTATUS Init(ULONG, ULONG, const ULONG *) override { return STATUS_SUCCESS; }
};

inline NTSTATUS ScriptedState::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<IAudioNode *>(this),
                      {{IID_INodeState, static_cast<INodeState *>(this)}});
}

// ---- Miniports -------------------------------------------------------------------------------------

// What the next wave miniport the creation function makes will do.
struct WaveScript
{
    std::string name = "HPOut00Wave";
    bool writesTerminal = true; // false: GetTerminalId leaves its out value alone
    ULONG terminalId = 5;
    NTSTATUS terminalStatus = STATUS_SUCCESS;
    NTSTATUS nameStatus = STATUS_SUCCESS;
    NTSTATUS initStatus = STATUS_SUCCESS;
    NTSTATUS createStatus = STATUS_SUCCESS;
    ULONG lastEngineIndex = 0xFFFF;
    int created = 0;
};
inline WaveScript &Wave()
{
    static WaveScript script;
    return script;
}

class FakeWaveMiniport : public IMiniportWaveCyclic, public IMiniportPrivate, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    FakeWaveMiniport(PUNKNOWN outer, ULONG engineIndex) : CUnknownBase(outer), m_EngineIndex(engineIndex) {}

    // Pin 0 streams, pin 1 bridges to the topology: out of a render filter, into a capture filter.
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR *description) override
    {
        *description = m_Filter.Get();
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM *, PUNKNOWN, POOL_TYPE, ULONG, BOOLEAN, PKSDATAFORMAT,
                       PDMACHANNEL *, PSERVICEGROUP *) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    // A wave miniport keeps its port for its whole life, as the real ones do.
    ~FakeWaveMiniport()
    {
        if (m_Port)
            m_Port->Release();
    }

    NTSTATUS Init(PUNKNOWN adapter, PRESOURCELIST, PPORT port) override
    {
        if (!NT_SUCCESS(Wave().initStatus))
            return Wave().initStatus;
        if (!port)
            return STATUS_INVALID_PARAMETER;
        if (IAudioHal *hal = QueryAs<IAudioHal>(adapter, IID_IAudioHal))
        {
            IStreamEngine *engine = nullptr;
            if (NT_SUCCESS(hal->GetEngine(m_EngineIndex, &engine)) && engine && engine->GetEngineId() != 0)
            {
                m_Filter.SetFlow(0, KSPIN_DATAFLOW_OUT);
                m_Filter.SetFlow(1, KSPIN_DATAFLOW_IN);
            }
            hal->Release();
        }
        port->AddRef();
        m_Port = port;
        return STATUS_SUCCESS;
    }
    NTSTATUS QueryTerminal(ULONG, PULONG result) override
    {
        if (Wave().writesTerminal)
            *result = Wave().terminalId;
        return Wave().terminalStatus;
    }
    NTSTATUS GetName(PWSTR *name) override
    {
        if (!name)
            return STATUS_INVALID_PARAMETER;
        if (!NT_SUCCESS(Wave().nameStatus))
            return Wave().nameStatus;
        size_t i = 0;
        for (; i < Wave().name.size() && i + 1 < MINIPORT_NAME_CHARS; ++i)
            m_Name[i] = WCHAR(Wave().name[i]);
        m_Name[i] = 0;
        *name = m_Name;
        return STATUS_SUCCESS;
    }

private:
    PPORT m_Port = nullptr;
    WCHAR m_Name[MINIPORT_NAME_CHARS] = {};
    ULONG m_EngineIndex;
    BridgeFilter m_Filter = MakeWaveFilter();

    static BridgeFilter MakeWaveFilter()
    {
        BridgeFilter filter({KSPIN_DATAFLOW_IN, KSPIN_DATAFLOW_OUT});
        filter.MakeStreaming(0);
        return filter;
    }
};

inline NTSTATUS FakeWaveMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<IMiniportWaveCyclic *>(this),
                           {{IID_IMiniport, static_cast<IMiniportWaveCyclic *>(this)},
                            {IID_IMiniportWaveCyclic, static_cast<IMiniportWaveCyclic *>(this)},
                            {IID_IMiniportPrivate, static_cast<IMiniportPrivate *>(this)}});
}

inline NTSTATUS CreateFakeWave(PUNKNOWN *miniport, REFGUID, PUNKNOWN outer, POOL_TYPE pool, ULONG engineIndex)
{
    Wave().lastEngineIndex = engineIndex;
    if (!NT_SUCCESS(Wave().createStatus))
    {
        *miniport = nullptr;
        return Wave().createStatus;
    }
    ++Wave().created;
    return NewObject<FakeWaveMiniport>(miniport, outer, pool, PoolTag::WAVC, engineIndex);
}

// The topology miniport: terminal t is on pin t + pinOffset.
class FakeTopologyMiniport : public IMiniportTopology, public IMiniportPrivate, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    explicit FakeTopologyMiniport(PUNKNOWN outer) : CUnknownBase(outer) {}

    ULONG pinOffset = 2;
    NTSTATUS pinStatus = STATUS_SUCCESS;
    std::vector<ULONG> asked;
    // Sixteen bridge pins facing the wave filters: in for render endpoints, out for capture ones.
    KSPIN_DATAFLOW bridgeFlow = KSPIN_DATAFLOW_IN;

    NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORT) override
    {
        m_Filter = BridgeFilter(std::vector<KSPIN_DATAFLOW>(16, bridgeFlow),
                                {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY});
        return STATUS_SUCCESS;
    }
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR *description) override
    {
        *description = m_Filter.Get();
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS QueryTerminal(ULONG terminalId, PULONG result) override
    {
        asked.push_back(terminalId);
        *result = terminalId + pinOffset;
        return pinStatus;
    }
    NTSTATUS GetName(PWSTR *name) override
    {
        if (!name)
            return STATUS_INVALID_PARAMETER;
        *name = m_Name;
        return STATUS_SUCCESS;
    }

private:
    WCHAR m_Name[1] = {};
    BridgeFilter m_Filter{{}};
};

inline NTSTATUS FakeTopologyMiniport::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<IMiniportTopology *>(this),
                           {{IID_IMiniport, static_cast<IMiniportTopology *>(this)},
                            {IID_IMiniportTopology, static_cast<IMiniportTopology *>(this)},
                            {IID_IMiniportPrivate, static_cast<IMiniportPrivate *>(this)}});
}

} // namespace engine_test
