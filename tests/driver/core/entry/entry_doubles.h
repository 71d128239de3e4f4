// A scripted adapter for the entry and dispatch routines: streams with their identifiers, terminal
// types and information words, the statuses its steps return, and a record of what it was told.
// The adapter and miniport creation functions the start routine calls are defined here.
#pragma once

#include "support/bridge_filter.h"

#include <string>
#include <vector>

#include "driver/core/asio_private.h"
#include "driver/core/driver_entry.h"
#include "support/engine_doubles.h"

namespace entry_test
{

struct StreamScript
{
    ULONG EngineId;     // 1 capture, 0 render
    ULONG TerminalType; // any value: the driver must cope with those outside its table
    ULONG Word6 = 0;
};

struct Script
{
    std::vector<StreamScript> Streams;
    NTSTATUS CreateStatus = STATUS_SUCCESS;
    NTSTATUS InitStatus = STATUS_SUCCESS;
    NTSTATUS StartAllStatus = STATUS_SUCCESS;
    NTSTATUS TopologyStatus = STATUS_SUCCESS;
    NTSTATUS RegistrationStatus = STATUS_SUCCESS; // every engine's UpdateRegistration
    NTSTATUS OpenStatus = STATUS_SUCCESS;
    int UnregisterFailsAt = -1; // the engine index whose Unregister fails
    bool AnswersAsio = true;

    std::vector<std::string> Calls; // "Init", "StartAll", "StopAll", "Register HPOut00", "Open", ...
    std::vector<std::string> Names; // in naming order
    ULONG Activity = 0;             // NotifyActivity calls
    LONG LiveAdapters = 0;
    PFILE_OBJECT LastFile = nullptr;
    bool WaveCreatorGiven = true; // every SetMiniport got the wave-cyclic creator and class
    bool TopologyGiven = true;    // every SetTopology got a port and a miniport
};

inline Script &S()
{
    static Script script;
    return script;
}

inline size_t CountCalls(const std::string &call)
{
    size_t n = 0;
    for (const std::string &c : S().Calls)
        n += c == call;
    return n;
}

class ScriptedEngine : public hal_test::FakeEngine
{
public:
    ScriptedEngine(PUNKNOWN outer, ULONG index)
        : FakeEngine(outer, S().Streams[index].EngineId), m_Index(index)
    {
    }

    ULONG GetTerminalType() override { return S().Streams[m_Index].TerminalType; }
    NTSTATUS SetName(PCWSTR name) override
    {
        m_Name.clear();
        for (; *name; ++name)
            m_Name += char(*name);
        S().Names.push_back(m_Name);
        return STATUS_SUCCESS;
    }
    NTSTATUS SetMiniport(PFN_CREATE_MINIPORT create, REFGUID portClassId) override
    {
        S().WaveCreatorGiven &= create == &CreateMiniportWaveCyclic && portClassId == CLSID_PortWaveCyclic;
        return STATUS_SUCCESS;
    }
    NTSTATUS SetTopology(PUNKNOWN port, PUNKNOWN miniport) override
    {
        S().TopologyGiven &= port != nullptr && miniport != nullptr;
        return STATUS_SUCCESS;
    }
    NTSTATUS UpdateRegistration(PDEVICE_OBJECT, IRP *, PUNKNOWN adapter) override
    {
        S().Calls.push_back("Register " + m_Name);
        return adapter ? S().RegistrationStatus : STATUS_INVALID_PARAMETER;
    }
    NTSTATUS Unregister(PDEVICE_OBJECT) override
    {
        S().Calls.push_back("Unregister " + m_Name);
        return int(m_Index) == S().UnregisterFailsAt ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    }

private:
    ULONG m_Index;
    std::string m_Name;
};

#define ENTRY_UNSERVED(name)                                                                                 \
    NTSTATUS name(PFILE_OBJECT, PVOID, ULONG, ULONG, PULONG_PTR) override                                    \
    {                                                                                                        \
        return STATUS_NOT_IMPLEMENTED;                                                                       \
    }

class ScriptedAdapter : public IAudioHal,
                        public IAdapterPowerManagement,
                        public IAsioPrivate,
                        public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    explicit ScriptedAdapter(PUNKNOWN outer) : CUnknownBase(outer) { ++S().LiveAdapters; }
    ~ScriptedAdapter() override
    {
        for (IStreamEngine *engine : m_Engines)
            engine->Release();
        --S().LiveAdapters;
    }

    // IAudioHal
    NTSTATUS GetStreamInfo(ULONG index, PULONG words) override
    {
        if (index >= m_Engines.size())
            return STATUS_INVALID_PARAMETER;
        words[6] = S().Streams[index].Word6;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetComponentId(PVOID, PVOID) override { return STATUS_NOT_IMPLEMENTED; }
    ULONG GetEngineCount() override { return ULONG(m_Engines.size()); }
    NTSTATUS GetEngine(ULONG index, IStreamEngine **engine) override
    {
        if (index >= m_Engines.size())
            return STATUS_INVALID_PARAMETER;
        *engine = m_Engines[index];
        return STATUS_SUCCESS;
    }
    ULONG GetFilterCount() override { return 0; }
    NTSTATUS GetFilter(ULONG, IAudioNode **) override { return STATUS_NOT_IMPLEMENTED; }
    PDEVICE_OBJECT GetDeviceObject() override { return nullptr; }
    NTSTATUS Init(PVOID, PDEVICE_OBJECT, PVOID, PVOID) override
    {
        S().Calls.push_back("Init");
        for (ULONG i = 0; i < S().Streams.size(); ++i)
            if (ScriptedEngine *engine = hal_test::Make<ScriptedEngine>(i))
                m_Engines.push_back(engine);
            else
                return STATUS_INSUFFICIENT_RESOURCES;
        return S().InitStatus;
    }
    NTSTATUS StartAll() override
    {
        S().Calls.push_back("StartAll");
        return S().StartAllStatus;
    }
    NTSTATUS StopAll() override
    {
        S().Calls.push_back("StopAll");
        return STATUS_SUCCESS;
    }
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION, PVOID, PVOID *) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS UnregisterCallback(PVOID) override { return STATUS_NOT_IMPLEMENTED; }
    ULONG NotifyActivity() override { return ++S().Activity; }
    NTSTATUS StartHardware() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ConnectAll() override { return STATUS_SUCCESS; }
    NTSTATUS GetTerminalCapabilities(ULONG, ULONG, PULONG) override { return STATUS_NOT_IMPLEMENTED; }

    // IAdapterPowerManagement
    void PowerChangeState(POWER_STATE state) override
    {
        S().Calls.push_back("Power D" + std::to_string(int(state.DeviceState) - 1));
    }
    NTSTATUS QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
    NTSTATUS QueryDeviceCapabilities(PPC_DEVICE_CAPABILITIES capabilities) override
    {
        capabilities->Flags |= PC_CAPS_SURPRISE_REMOVAL_OK;
        return STATUS_SUCCESS;
    }

    // IAsioPrivate
    NTSTATUS Open(PFILE_OBJECT file) override
    {
        S().Calls.push_back("Open");
        S().LastFile = file;
        return S().OpenStatus;
    }
    NTSTATUS Unused(PFILE_OBJECT) override { return STATUS_UNSUCCESSFUL; }
    NTSTATUS Close(PFILE_OBJECT file) override
    {
        S().Calls.push_back("Close");
        S().LastFile = file;
        return STATUS_SUCCESS;
    }
    ENTRY_UNSERVED(GetDriverName)
    ENTRY_UNSERVED(GetChannels)
    ENTRY_UNSERVED(GetChannelInfo)
    ENTRY_UNSERVED(SetNotifyEvent)
    ENTRY_UNSERVED(ClearNotifyEvent)
    ENTRY_UNSERVED(GetOwnerActive)
    ENTRY_UNSERVED(GetSampleTypes)
    ENTRY_UNSERVED(GetLatencyList)
    ENTRY_UNSERVED(SetSampleType)
    ENTRY_UNSERVED(SetLatency)
    ENTRY_UNSERVED(GetLatencies)
    ENTRY_UNSERVED(GetSampleRate)
    ENTRY_UNSERVED(CanSampleRate)
    ENTRY_UNSERVED(SetSampleRate)
    ENTRY_UNSERVED(GetBufferSize)
    ENTRY_UNSERVED(CreateBuffers)
    ENTRY_UNSERVED(DisposeBuffers)
    ENTRY_UNSERVED(Start)
    ENTRY_UNSERVED(Stop)
    ENTRY_UNSERVED(CanIoFormat)
    ENTRY_UNSERVED(SetIoFormat)
    ENTRY_UNSERVED(GetIoFormat)

private:
    std::vector<IStreamEngine *> m_Engines;
};

#undef ENTRY_UNSERVED

inline NTSTATUS ScriptedAdapter::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (iid == IID_IAsioPrivate)
        return S().AnswersAsio ? AnswerInterface(iid, object, static_cast<IAudioHal *>(this),
                                                 {{IID_IAsioPrivate, static_cast<IAsioPrivate *>(this)}})
                               : AnswerInterface(iid, object, static_cast<IAudioHal *>(this));
    return AnswerInterface(iid, object, static_cast<IAudioHal *>(this),
                           {{IID_IAudioHal, static_cast<IAudioHal *>(this)},
                            {IID_IAdapterPowerManagement, static_cast<IAdapterPowerManagement *>(this)}});
}

// The topology miniport under the name the device's topology filter registers with.
class NamedTopology : public IMiniportTopology, public IMiniportPrivate, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    explicit NamedTopology(PUNKNOWN outer) : CUnknownBase(outer) {}
    NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORT) override { return STATUS_SUCCESS; }
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR *description) override
    {
        *description = m_Filter.Get();
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    NTSTATUS QueryTerminal(ULONG, PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS GetName(PWSTR *name) override
    {
        *name = m_Name;
        return STATUS_SUCCESS;
    }

private:
    WCHAR m_Name[11] = u"GlobalTopo";
    BridgeFilter m_Filter{{KSPIN_DATAFLOW_IN}, {KSCATEGORY_AUDIO, KSCATEGORY_TOPOLOGY}};
};

inline NTSTATUS NamedTopology::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<IMiniportTopology *>(this),
                           {{IID_IMiniport, static_cast<IMiniportTopology *>(this)},
                            {IID_IMiniportTopology, static_cast<IMiniportTopology *>(this)},
                            {IID_IMiniportPrivate, static_cast<IMiniportPrivate *>(this)}});
}

// The topology miniport creator the start routine calls, failing with the script's status.
inline NTSTATUS CreateNamedTopology(PUNKNOWN *miniport, REFGUID, PUNKNOWN outer, POOL_TYPE pool, ULONG)
{
    *miniport = nullptr;
    if (!NT_SUCCESS(S().TopologyStatus))
        return S().TopologyStatus;
    return NewObject<NamedTopology>(miniport, outer, pool, PoolTag::TOPO);
}

} // namespace entry_test
