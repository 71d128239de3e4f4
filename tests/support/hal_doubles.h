// Test doubles around the audio HAL: a test HAL with a scripted StartHardware, graph nodes that
// answer the linking and binding interfaces and record what they were told, and a stream engine
// that offers only its identifier and its attached nodes.
#pragma once

#include <algorithm>
#include <string>
#include <vector>

#include "driver/filters/audio_hal.h"
#include "driver/filters/audio_node.h"
#include "driver/filters/node_interfaces.h"
#include "driver/base/pool_memory.h"

namespace hal_test
{

// What the doubles were asked to do, in call order ("apply 20", "link 22 1 2", "bind-in 31 <engine>").
inline std::vector<std::string> &Events()
{
    static std::vector<std::string> events;
    return events;
}

// Creates a double in the pool (so a leak shows) with one reference, released through Release().
template <class T, class... Args> T *Make(Args &&...args)
{
    T *object = new (NonPagedPool, PoolTag::TOPO) T(nullptr, std::forward<Args>(args)...);
    if (object)
        object->AddRef();
    return object;
}

// The reference count of an object, read through its own AddRef and Release.
template <class T> ULONG RefsOf(T *object)
{
    object->AddRef();
    return object->Release();
}

// A HAL whose hardware start adds the given nodes and engines, then returns `startStatus`.
class TestHal : public CAudioHal
{
public:
    explicit TestHal(PUNKNOWN outer) : CAudioHal(outer) {}

    bool useBaseStart = false; // StartHardware of the base (STATUS_NOT_IMPLEMENTED)
    NTSTATUS startStatus = STATUS_SUCCESS;
    std::vector<IAudioNode *> startFilters;
    std::vector<IStreamEngine *> startEngines;
    int startCalls = 0;
    int connectCalls = 0;

    NTSTATUS StartHardware() override
    {
        ++startCalls;
        if (useBaseStart)
            return CAudioHal::StartHardware();
        for (IAudioNode *node : startFilters)
            if (NTSTATUS status = AddFilter(node); !NT_SUCCESS(status))
                return status;
        for (IStreamEngine *engine : startEngines)
            if (NTSTATUS status = AddEngine(engine); !NT_SUCCESS(status))
                return status;
        return startStatus;
    }
    NTSTATUS ConnectAll() override
    {
        ++connectCalls;
        return CAudioHal::ConnectAll();
    }

    DEVICE_POWER_STATE PowerState() const { return m_PowerState; }
    PCALLBACK_OBJECT CallbackObject() const { return m_CallbackObject; }
    PVOID Value2() const { return m_Value2; }
    PVOID Value3() const { return m_Value3; }
    void SetStreamInfo(const ULONG (&words)[HAL_INFO_WORDS])
    {
        for (ULONG i = 0; i < HAL_INFO_WORDS; ++i)
            m_StreamInfo[i] = words[i];
    }
};

struct LinkCall
{
    IAudioNode *Selector;
    ULONG Position;
    ULONG Selected;
};

// A node of any kind that answers, as asked, INodeChild, IEngineInputBind, IEngineOutputBind and
// IEngineReset, and records every call.
class FakeNode : public INodeChild,
                 public IEngineInputBind,
                 public IEngineOutputBind,
                 public IEngineReset,
                 public CAudioNodeBase
{
public:
    DECLARE_STD_UNKNOWN();
    FakeNode(PUNKNOWN outer, ULONG id, ULONG kind) : CAudioNodeBase(outer, id, kind) {}

    // Which of the four interfaces it answers: a mask of these bits.
    enum : ULONG
    {
        ANSWERS_CHILD = 1,
        ANSWERS_INPUT_BIND = 2,
        ANSWERS_OUTPUT_BIND = 4,
        ANSWERS_RESET = 8,
    };
    ULONG answers = 0;

    ULONG childId = 0;
    NTSTATUS childStatus = STATUS_SUCCESS;
    NTSTATUS applyStatus = STATUS_SUCCESS;

    int applyCalls = 0;
    int startCalls = 0;
    int stopCalls = 0;
    std::vector<LinkCall> links;
    std::vector<IStreamEngine *> inputBinds;
    std::vector<IStreamEngine *> outputBinds;
    std::vector<ULONG> resets;

    NTSTATUS ApplyAll() override
    {
        ++applyCalls;
        Events().push_back("apply " + std::to_string(m_Id));
        return applyStatus;
    }
    NTSTATUS StartNode() override
    {
        ++startCalls;
        Events().push_back("start " + std::to_string(m_Id));
        return STATUS_SUCCESS;
    }
    NTSTATUS StopNode() override
    {
        ++stopCalls;
        Events().push_back("stop " + std::to_string(m_Id));
        return STATUS_SUCCESS;
    }

    NTSTATUS GetChildId(PULONG id) override
    {
        if (!id)
            return STATUS_INVALID_PARAMETER;
        *id = childId;
        return childStatus;
    }
    NTSTATUS Link(IAudioNode *selector, ULONG position, ULONG selected) override
    {
        links.push_back({selector, position, selected});
        Events().push_back("link " + std::to_string(m_Id) + " " + std::to_string(position) + " " +
                           std::to_string(selected));
        return STATUS_SUCCESS;
    }
    NTSTATUS BindEngine(IStreamEngine *engine) override
    {
        // Both bind interfaces share this slot; the query that reached it tells which was asked.
        (m_LastQueried == Bind::Input ? inputBinds : outputBinds).push_back(engine);
        return STATUS_SUCCESS;
    }
    // The value of a device-specific unit; both bind interfaces share it.
    ULONG value = 0;
    NTSTATUS SetValue(ULONG v) override
    {
        value = v;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetValue(PULONG v) override
    {
        if (!v)
            return STATUS_INVALID_PARAMETER;
        *v = value;
        return STATUS_SUCCESS;
    }
    NTSTATUS Reset(ULONG argument) override
    {
        resets.push_back(argument);
        return STATUS_SUCCESS;
    }

private:
    enum class Bind
    {
        None,
        Input,
        Output
    };
    Bind m_LastQueried = Bind::None;
};

inline NTSTATUS FakeNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    PUNKNOWN primary = static_cast<IAudioNode *>(this);
    if ((answers & ANSWERS_CHILD) && IsEqualId(iid, IID_INodeChild))
        return AnswerNode(iid, object, primary, {{IID_INodeChild, static_cast<INodeChild *>(this)}});
    if ((answers & ANSWERS_INPUT_BIND) && IsEqualId(iid, IID_IEngineInputBind))
    {
        m_LastQueried = Bind::Input;
        return AnswerNode(iid, object, primary,
                          {{IID_IEngineInputBind, static_cast<IEngineInputBind *>(this)}});
    }
    if ((answers & ANSWERS_OUTPUT_BIND) && IsEqualId(iid, IID_IEngineOutputBind))
    {
        m_LastQueried = Bind::Output;
        return AnswerNode(iid, object, primary,
                          {{IID_IEngineOutputBind, static_cast<IEngineOutputBind *>(this)}});
    }
    if ((answers & ANSWERS_RESET) && IsEqualId(iid, IID_IEngineReset))
        return AnswerNode(iid, object, primary, {{IID_IEngineReset, static_cast<IEngineReset *>(this)}});
    return AnswerNode(iid, object, primary);
}

// A device-specific unit of the kinds no class creates yet: by its kind it answers IRangedValue (17),
// INamedValue (24) or the information block (20 under its own identifier, anything else under
// IID_IInfoNode), all over one value, one byte and one table. Every operation returns `status`.
class FakeValueNode : public IInfoNode, public IRangedValue, public INamedValue, public CAudioNodeBase
{
public:
    DECLARE_STD_UNKNOWN();
    FakeValueNode(PUNKNOWN outer, ULONG id, ULONG kind) : CAudioNodeBase(outer, id, kind) {}

    NTSTATUS status = STATUS_SUCCESS;
    ULONG words[INFO_NODE_WORDS] = {};
    GUID name{};
    ULONG value = 0; // also the table's limit for the information block
    UCHAR byte = 0;
    ULONG minimum = 0, maximum = 0;
    std::vector<ULONG> table;
    std::vector<ULONG> sets;        // every SetValue, in order
    std::vector<ULONG> tableFirsts; // the first index of every table operation, in order

    NTSTATUS GetWords(PULONG out) override
    {
        std::copy(words, words + INFO_NODE_WORDS, out);
        return status;
    }
    NTSTATUS SetValue(ULONG v) override
    {
        sets.push_back(v);
        if (NT_SUCCESS(status))
            value = v;
        return status;
    }
    NTSTATUS GetByte(PUCHAR out) override
    {
        *out = byte;
        return status;
    }
    NTSTATUS GetValue(PULONG out) override
    {
        *out = value;
        return status;
    }
    // Entries the table does not have are refused, so a caller's missing check shows only in
    // tableFirsts.
    NTSTATUS GetValues(ULONG first, ULONG count, PULONG out) override
    {
        tableFirsts.push_back(first);
        if (ULONGLONG(first) + count > table.size())
            return STATUS_INVALID_PARAMETER;
        std::copy_n(table.begin() + first, count, out);
        return status;
    }
    NTSTATUS SetValues(ULONG first, ULONG count, const ULONG *in) override
    {
        tableFirsts.push_back(first);
        if (ULONGLONG(first) + count > table.size())
            return STATUS_INVALID_PARAMETER;
        if (NT_SUCCESS(status))
            std::copy_n(in, count, table.begin() + first);
        return status;
    }
    NTSTATUS GetTriple(ULONG first, PULONG out) override
    {
        tableFirsts.push_back(first);
        if (first >= table.size())
            return STATUS_INVALID_PARAMETER;
        for (ULONG i = 0; i < 3; ++i)
            out[i] = table[first] + i;
        return status;
    }
    NTSTATUS Init(ULONG) override { return STATUS_SUCCESS; }
    NTSTATUS GetRange(PULONG low, PULONG high) override
    {
        *low = minimum;
        *high = maximum;
        return status;
    }
    NTSTATUS GetName(GUID *out) override
    {
        *out = name;
        return status;
    }
};

inline NTSTATUS FakeValueNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    PUNKNOWN primary = static_cast<IAudioNode *>(this);
    if (m_Kind == 17)
        return AnswerNode(iid, object, primary, {{IID_IRangedValue, static_cast<IRangedValue *>(this)}});
    if (m_Kind == 24)
        return AnswerNode(iid, object, primary, {{IID_INamedValue, static_cast<INamedValue *>(this)}});
    return AnswerNode(
        iid, object, primary,
        {{m_Kind == NODE_KIND_INFO_20 ? IID_IInfoNode20 : IID_IInfoNode, static_cast<IInfoNode *>(this)}});
}

// A stream engine with an identifier and attached nodes (held with a reference); every other
// operation is not provided.
class FakeEngine : public IStreamEngine, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    FakeEngine(PUNKNOWN outer, ULONG engineId) : CUnknownBase(outer), m_EngineId(engineId) {}
    ~FakeEngine() override
    {
        for (IAudioNode *node : m_Nodes)
            node->Release();
    }

    void Attach(IAudioNode *node)
    {
        node->AddRef();
        m_Nodes.push_back(node);
    }

    ULONG GetEngineId() override { return m_EngineId; }
    ULONG GetNodeCount() override { return ULONG(m_Nodes.size()); }
    NTSTATUS GetNode(ULONG index, IAudioNode **node) override
    {
        if (!node)
            return STATUS_INVALID_PARAMETER;
        *node = index < m_Nodes.size() ? m_Nodes[index] : nullptr;
        return *node ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
    }

    ULONG GetTerminalType() override { return 0; }
    NTSTATUS SetName(PCWSTR) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS GetName(PWSTR) override { return STATUS_NOT_IMPLEMENTED; }
    ULONG GetFormatCount() override { return 0; }
    NTSTATUS GetFormat(ULONG, WAVEFORMATEXTENSIBLE *) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetMiniport(PFN_CREATE_MINIPORT, REFGUID) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SetTopology(PUNKNOWN, PUNKNOWN) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS UpdateRegistration(PDEVICE_OBJECT, IRP *, PUNKNOWN) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Unregister(PDEVICE_OBJECT) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS MatchFormat(WAVEFORMATEXTENSIBLE *) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION, PVOID, PVOID *) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS UnregisterCallback(PVOID) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ReservedOperation(PVOID, PVOID) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBlock(PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ProcessNodes(PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS RunProcessingNodes(const EngineBlock *) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ProcessFirstStage(PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS RunFirstStage(ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ProcessSecondStage(PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS RunSecondStage(ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS Initialize(ULONG) override { return STATUS_NOT_IMPLEMENTED; }

private:
    ULONG m_EngineId;
    std::vector<IAudioNode *> m_Nodes;
};

inline NTSTATUS FakeEngine::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<IStreamEngine *>(this),
                           {{IID_IStreamEngine, static_cast<IStreamEngine *>(this)}});
}

} // namespace hal_test
