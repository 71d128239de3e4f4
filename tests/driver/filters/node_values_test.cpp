// The node value classes: index rules, table sizes, listener order, the mixer switch, interface
// answers, and every allocation failed in turn.
#include "driver/filters/node_controls.h"
#include "driver/filters/node_selection.h"
#include "driver/filters/node_terminal.h"
#include "driver/filters/node_values.h"
#include "driver/base/pool_memory.h"
#include "support/kernel_test.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace
{

class NodeValues : public KernelTest
{
};

// Creates a T and hands out its interface `I` with the one reference.
template <class T, class I, class... A> I *Make(REFIID iid, A... args)
{
    PUNKNOWN unknown = nullptr;
    EXPECT_EQ(NewObject<T>(&unknown, nullptr, NonPagedPool, PoolTag::SelT, args...), STATUS_SUCCESS);
    if (!unknown)
        return nullptr;
    I *answer = nullptr;
    EXPECT_EQ(unknown->QueryInterface(iid, reinterpret_cast<PVOID *>(&answer)), STATUS_SUCCESS);
    unknown->Release();
    return answer;
}

// An information node whose derived class filled its words, as the effect nodes do.
class CFilledInfoNode : public CInfoNode
{
public:
    CFilledInfoNode(PUNKNOWN outer, ULONG id) : CInfoNode(outer, id)
    {
        const ULONG words[INFO_NODE_WORDS] = {0x11, 0x2200, 0x330000, 0x44000000};
        std::copy(std::begin(words), std::end(words), m_Words);
    }
};

IAudioNode *AsNode(PUNKNOWN object)
{
    IAudioNode *node = nullptr;
    EXPECT_EQ(object->QueryInterface(IID_IAudioNode, reinterpret_cast<PVOID *>(&node)), STATUS_SUCCESS);
    if (node)
        node->Release(); // the caller's own reference keeps it alive
    return node;
}

// A listener of either kind that logs each call and answers with `result`.
class CFakeListener : public ISelectListener, public IStateTarget, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    CFakeListener(PUNKNOWN outer, std::vector<std::string> *log, char name, NTSTATUS result)
        : CUnknownBase(outer), m_Log(log), m_Name(name), m_Result(result)
    {
    }
    NTSTATUS OnSelecting(ULONG n, ULONG o) override
    {
        m_Log->push_back(std::string(1, m_Name) + " selecting " + std::to_string(n) + " " +
                         std::to_string(o));
        return m_Result;
    }
    NTSTATUS OnSelected(ULONG n) override
    {
        m_Log->push_back(std::string(1, m_Name) + " selected " + std::to_string(n));
        return m_Result;
    }
    NTSTATUS SetState(ULONG v, ULONG r) override
    {
        m_Log->push_back(std::string(1, m_Name) + " state " + std::to_string(v) + " " + std::to_string(r));
        return m_Result;
    }

private:
    std::vector<std::string> *m_Log;
    char m_Name;
    NTSTATUS m_Result;
};

NTSTATUS CFakeListener::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<ISelectListener *>(this),
                           {{IID_ISelectListener, static_cast<ISelectListener *>(this)},
                            {IID_IStateTarget, static_cast<IStateTarget *>(this)}});
}

CFakeListener *NewListener(std::vector<std::string> *log, char name, NTSTATUS result = STATUS_SUCCESS)
{
    PUNKNOWN unknown = nullptr;
    EXPECT_EQ(NewObject<CFakeListener>(&unknown, nullptr, NonPagedPool, PoolTag::Stre, log, name, result),
              STATUS_SUCCESS);
    ISelectListener *listener = nullptr;
    unknown->QueryInterface(IID_ISelectListener, reinterpret_cast<PVOID *>(&listener));
    unknown->Release();
    return static_cast<CFakeListener *>(listener);
}

std::vector<ULONG> Sources(IAudioNode *node)
{
    ULONG table[8] = {};
    ULONG count = 8;
    EXPECT_EQ(node->GetSources(&count, table), STATUS_SUCCESS);
    return std::vector<ULONG>(table, table + count);
}

// Runs `op` once to count its allocations, then on fresh objects fails each of them in turn: the
// call must fail with `expected(k)` and `snapshot` must read as before the call.
void EachAllocationFails(
    const std::function<PUNKNOWN()> &make, const std::function<NTSTATUS(PUNKNOWN)> &op,
    const std::function<std::vector<ULONG>(PUNKNOWN)> &snapshot,
    const std::function<NTSTATUS(size_t)> &expected = [](size_t) { return STATUS_INSUFFICIENT_RESOURCES; })
{
    PUNKNOWN object = make();
    const size_t before = sim::Allocations();
    ASSERT_EQ(op(object), STATUS_SUCCESS);
    const size_t count = sim::Allocations() - before;
    object->Release();
    ASSERT_GT(count, 0u);
    for (size_t k = 1; k <= count; ++k)
    {
        object = make();
        const std::vector<ULONG> was = snapshot(object);
        sim::FailAllocation(unsigned(k));
        EXPECT_EQ(op(object), expected(k)) << "allocation " << k;
        sim::pool::ClearInjection();
        EXPECT_EQ(snapshot(object), was) << "allocation " << k;
        object->Release();
    }
}

} // namespace

TEST_F(NodeValues, BaseSourcesAndAnswers)
{
    IAudioNode *node = Make<CAudioNodeBase, IAudioNode>(IID_IAudioNode, 7u, 3u);
    EXPECT_EQ(node->GetId(), 7u);
    EXPECT_EQ(node->GetKind(), 3u);
    const ULONG ids[3] = {4, 5, 6};
    EXPECT_EQ(node->SetSources(2, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->SetSources(NODE_MAX_SOURCES + 1, ids), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(node->SetSources(3, ids), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool::OutstandingBytes(PoolTag::Topo), 12u);
    ULONG table[2] = {}, count = 2;
    EXPECT_EQ(node->GetSources(&count, table), STATUS_SUCCESS); // room of two: two copied
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(table[1], 5u);
    EXPECT_EQ(node->GetSources(nullptr, table), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->GetSources(&count, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Sources(node), (std::vector<ULONG>{4, 5, 6}));
    EXPECT_EQ(node->SetSources(0, ids), STATUS_SUCCESS); // a count of 0 empties, whatever the table
    EXPECT_EQ(node->GetSourceCount(), 0u);
    EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::Topo), 0u);
    EXPECT_EQ(node->ApplyAll(), STATUS_SUCCESS);
    // The base has no device values to read back: Refresh succeeds and leaves the node as it was.
    ASSERT_EQ(node->SetSources(2, ids), STATUS_SUCCESS);
    EXPECT_EQ(node->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(Sources(node), (std::vector<ULONG>{4, 5}));
    EXPECT_EQ(node->GetId(), 7u);
    EXPECT_EQ(node->GetKind(), 3u);

    PVOID out = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(node->QueryInterface(IID_IStreamEngine, &out), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(out, nullptr);
    node->Release();
}

TEST_F(NodeValues, ByteAndLevelTables)
{
    ISwitchValue *bytes = Make<CByteControlNode, ISwitchValue>(IID_ISwitchValue, 1u, ULONG(NODE_KIND_MUTE));
    ASSERT_EQ(bytes->Init(9, 8), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool::OutstandingBytes(PoolTag::MTag), 9u); // size + 1
    EXPECT_EQ(Sources(AsNode(bytes)), (std::vector<ULONG>{9}));
    EXPECT_EQ(bytes->SetByte(7, 0xA5), STATUS_SUCCESS);
    EXPECT_EQ(bytes->SetByte(8, 1), STATUS_INVALID_PARAMETER);
    UCHAR b = 0;
    EXPECT_EQ(bytes->GetByte(0xFFFFFFFF, &b), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(bytes->GetByte(7, &b), STATUS_SUCCESS);
    EXPECT_EQ(b, 0xA5);
    IStateTarget *mode = nullptr;
    ASSERT_EQ(bytes->QueryInterface(IID_IStateTarget, reinterpret_cast<PVOID *>(&mode)), STATUS_SUCCESS);
    ULONG channels = 0;
    const std::pair<ULONG, ULONG> modes[] = {{0, 8}, {1, 8}, {2, 2}, {3, 2}, {4, 8}, {5, 2}, {6, 8}, {7, 2}};
    for (auto [m, expected] : modes)
    {
        mode->SetState(m, 0);
        ASSERT_EQ(bytes->GetChannelCount(&channels), STATUS_SUCCESS);
        EXPECT_EQ(channels, expected) << "mode " << m;
    }
    mode->Release();
    ASSERT_EQ(bytes->Init(9, 2), STATUS_SUCCESS); // a repeated Init frees the old table
    EXPECT_EQ(sim::pool::OutstandingBytes(PoolTag::MTag), 3u);
    EXPECT_EQ(bytes->Init(9, NODE_MAX_CHANNELS + 1), STATUS_INVALID_PARAMETER);
    bytes->Release();

    ILevelValue *level = Make<CLevelControlNode, ILevelValue>(IID_ILevelValue, 2u, ULONG(NODE_KIND_LEVEL));
    EXPECT_EQ(level->SetLevel(0, 1), STATUS_INVALID_PARAMETER); // no table yet
    ASSERT_EQ(level->Init(3, 2, -100, 50, 1), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool::OutstandingBytes(PoolTag::VTag), 12u); // count + 1 entries
    EXPECT_EQ(level->SetLevel(2, -7), STATUS_SUCCESS);
    EXPECT_EQ(level->SetLevel(3, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(level->SetLevel(0xFFFFFFFF, 0), STATUS_INVALID_PARAMETER);
    LONG v = 0, r1 = 0, r2 = 0, r3 = 0;
    ASSERT_EQ(level->GetLevel(2, &v), STATUS_SUCCESS);
    EXPECT_EQ(v, -7);
    ASSERT_EQ(level->GetRange(&r1, &r2, &r3), STATUS_SUCCESS);
    EXPECT_EQ((std::vector<LONG>{r1, r2, r3}), (std::vector<LONG>{-100, 50, 1}));
    EXPECT_EQ(level->GetRange(&r1, nullptr, &r3), STATUS_INVALID_PARAMETER);
    level->Release();
}

TEST_F(NodeValues, TerminalTypesAndJacks)
{
    ITerminalInfo *info =
        Make<CTerminalNode, ITerminalInfo>(IID_ITerminalInfo, 4u, ULONG(NODE_KIND_INPUT_TERMINAL));
    auto *terminal = static_cast<CTerminalNode *>(info);
    const ULONG types[6] = {7, 11, 1, 2, 3, 4};
    const JackRecord jacks[2] = {{1, 2, 3, 4, 5, 6, 7, 8, 9}, {11, 12, 13, 14, 15, 16, 17, 18, 19}};
    EXPECT_EQ(terminal->InitTerminal(0, types, 2, jacks), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(terminal->InitTerminal(6, types, 2, jacks), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(terminal->InitTerminal(2, types, 2, jacks), STATUS_SUCCESS);
    ULONG value = 0;
    EXPECT_EQ(info->GetSelectedType(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 7u);
    ULONG typeTable[3] = {0xAAAA, 0xAAAA, 0xAAAA};
    ASSERT_EQ(info->GetTypes(typeTable), STATUS_SUCCESS); // count x 4 bytes, nothing after
    EXPECT_EQ(std::vector<ULONG>(typeTable, typeTable + 3), (std::vector<ULONG>{7, 11, 0xAAAA}));
    EXPECT_EQ(info->GetTypes(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(info->SelectType(1), STATUS_INVALID_PARAMETER); // not in the table
    EXPECT_EQ(info->SelectType(11), STATUS_SUCCESS);
    info->GetSelectedType(&value);
    EXPECT_EQ(value, 11u);

    unsigned char buffer[100];
    std::memset(buffer, 0xCC, sizeof(buffer));
    ASSERT_EQ(info->GetJacks(10, buffer), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(buffer, jacks, 10), 0);
    EXPECT_EQ(buffer[10], 0xCC);
    std::memset(buffer, 0xCC, sizeof(buffer));
    ASSERT_EQ(info->GetJacks(sizeof(buffer), buffer), STATUS_SUCCESS); // min(size, 2 x 36)
    EXPECT_EQ(std::memcmp(buffer, jacks, 72), 0);
    EXPECT_EQ(buffer[72], 0xCC);
    EXPECT_EQ(info->GetJacks(0, buffer), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(info->GetJacks(36, nullptr), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(terminal->InitTerminal(1, types, 0, nullptr), STATUS_SUCCESS); // the old tables go
    EXPECT_EQ(info->GetJacks(36, buffer), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::pool::OutstandingBytes(PoolTag::TerT), 4u);
    PVOID out = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(info->QueryInterface(IID_ISwitchable, &out), STATUS_INVALID_PARAMETER); // not a mixer
    EXPECT_EQ(out, nullptr);
    info->Release();

    // The eight words a unit terminal was given come back whole, and no ninth.
    ITerminalInfo *unit =
        Make<CUnitTerminalNode, ITerminalInfo>(IID_ITerminalInfo, 6u, ULONG(NODE_KIND_INPUT_TERMINAL), 0u);
    const ULONG given[HAL_INFO_WORDS] = {1, 0x10, 0x200, 0x3000, 0x40000, 0x500000, 0x6000000, 0x70000000};
    ULONG words[HAL_INFO_WORDS + 1];
    std::fill(std::begin(words), std::end(words), 0xAAAAAAAAu);
    ASSERT_EQ(unit->GetWords(words), STATUS_SUCCESS);
    EXPECT_EQ(std::count(words, words + HAL_INFO_WORDS, 0u), long(HAL_INFO_WORDS)) << "zero until filled";
    ASSERT_EQ(static_cast<CUnitTerminalNode *>(unit)->InitFromUnit(nullptr, TRUE, 1, types, 1, jacks, given),
              STATUS_SUCCESS);
    ASSERT_EQ(unit->GetWords(words), STATUS_SUCCESS);
    EXPECT_EQ(
        std::vector<ULONG>(words, words + HAL_INFO_WORDS + 1),
        (std::vector<ULONG>{1, 0x10, 0x200, 0x3000, 0x40000, 0x500000, 0x6000000, 0x70000000, 0xAAAAAAAAu}));
    EXPECT_EQ(unit->GetWords(nullptr), STATUS_INVALID_PARAMETER);
    unit->Release();

    ITerminalInfo *output = Make<CJackTerminalNode, ITerminalInfo>(IID_ITerminalInfo, 5u);
    auto *jack = static_cast<CJackTerminalNode *>(output);
    ASSERT_EQ(jack->InitTerminal(12, 1, types, 1, jacks), STATUS_SUCCESS);
    EXPECT_EQ(AsNode(output)->GetKind(), ULONG(NODE_KIND_OUTPUT_TERMINAL));
    EXPECT_EQ(Sources(AsNode(output)), (std::vector<ULONG>{12}));
    output->Release();
}

TEST_F(NodeValues, MixerSwitch)
{
    ISwitchable *sw = Make<CTerminalNode, ISwitchable>(IID_ISwitchable, 6u, ULONG(NODE_KIND_MIXER));
    auto *mixer = static_cast<CTerminalNode *>(sw);
    IAudioNode *node = AsNode(sw);
    const ULONG sources[3] = {1, 2, 3};
    ASSERT_EQ(mixer->InitDefault(3, sources), STATUS_SUCCESS);
    ULONG words[9] = {};
    ASSERT_EQ(mixer->GetJacks(sizeof(words), words), STATUS_SUCCESS);
    EXPECT_EQ((std::vector<ULONG>(words, words + 9)), (std::vector<ULONG>{3, 0, 7, 14, 1, 1, 0, 1, 0}));
    ULONG type = 0;
    mixer->GetSelectedType(&type);
    EXPECT_EQ(type, 16u);

    PVOID out = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(sw->QueryInterface(IID_ITerminalInfo, &out), STATUS_INVALID_PARAMETER); // off
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(sw->SetSwitch(1), STATUS_SUCCESS);
    EXPECT_EQ(node->GetKind(), 0u);
    EXPECT_EQ(node->GetSourceCount(), 0u);
    ASSERT_EQ(sw->QueryInterface(IID_ITerminalInfo, &out), STATUS_SUCCESS);
    static_cast<ITerminalInfo *>(out)->Release();
    sw->SetSwitch(0);
    EXPECT_EQ(node->GetKind(), 5u);
    EXPECT_EQ(Sources(node), (std::vector<ULONG>{1, 2, 3}));

    // A shorter table installed while on is the one restored: no read past its end.
    sw->SetSwitch(1);
    ASSERT_EQ(node->SetSources(1, sources), STATUS_SUCCESS);
    EXPECT_EQ(node->GetSourceCount(), 0u);
    sw->SetSwitch(0);
    EXPECT_EQ(Sources(node), (std::vector<ULONG>{1}));
    sw->Release();
}

TEST_F(NodeValues, SelectorListeners)
{
    INodeConnect *selector = Make<CSelectorNode, INodeConnect>(IID_INodeConnect, 8u);
    std::vector<std::string> log;
    CFakeListener *a = NewListener(&log, 'A'), *b = NewListener(&log, 'B');
    EXPECT_EQ(selector->AddListener(a), STATUS_UNSUCCESSFUL); // no list before the sources
    const ULONG sources[3] = {1, 2, 3};
    ASSERT_EQ(AsNode(selector)->SetSources(3, sources), STATUS_SUCCESS);
    ASSERT_EQ(AsNode(selector)->SetSources(3, sources), STATUS_SUCCESS); // the list is kept
    EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::SelT), 2u);          // the object and one list
    ASSERT_EQ(selector->AddListener(a), STATUS_SUCCESS);
    ASSERT_EQ(selector->AddListener(b), STATUS_SUCCESS);
    EXPECT_EQ(selector->Select(4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(selector->Select(0xFFFFFFFF), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(log.empty());
    ASSERT_EQ(selector->Select(2), STATUS_SUCCESS);
    EXPECT_EQ(log, (std::vector<std::string>{"A selecting 2 0", "B selecting 2 0", "A selected 2",
                                             "B selected 2"}));
    log.clear();
    EXPECT_EQ(selector->Select(0), STATUS_SUCCESS);
    ULONG selected = 9, count = 0;
    selector->GetSelected(&selected);
    selector->GetCount(&count);
    EXPECT_EQ(selected, 0u);
    EXPECT_EQ(count, 3u);
    selector->Release();
    a->Release();
    b->Release();

    // A failing first listener ends each loop; the selection still happens and succeeds.
    selector = Make<CSelectorNode, INodeConnect>(IID_INodeConnect, 8u);
    AsNode(selector)->SetSources(3, sources);
    log.clear();
    a = NewListener(&log, 'A', STATUS_UNSUCCESSFUL);
    b = NewListener(&log, 'B');
    selector->AddListener(a);
    selector->AddListener(b);
    a->Release();
    b->Release(); // the selector's references keep them
    EXPECT_EQ(selector->Select(3), STATUS_SUCCESS);
    EXPECT_EQ(log, (std::vector<std::string>{"A selecting 3 0", "A selected 3"}));
    selector->GetSelected(&selected);
    EXPECT_EQ(selected, 3u);
    selector->Release();
}

TEST_F(NodeValues, StateNode)
{
    INodeState *state = Make<CStateNode, INodeState>(IID_INodeState, 9u);
    const ULONG values[6] = {2, 14, 17, 3, 1, 5};
    EXPECT_EQ(state->Init(1, 0, values), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(state->Init(1, 6, values), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(state->Init(1, 3, values), STATUS_SUCCESS);
    ULONG allowed[4] = {0xAAAA, 0xAAAA, 0xAAAA, 0xAAAA};
    ASSERT_EQ(state->GetValues(allowed), STATUS_SUCCESS); // count x 4 bytes, nothing after
    EXPECT_EQ(std::vector<ULONG>(allowed, allowed + 4), (std::vector<ULONG>{2, 14, 17, 0xAAAA}));
    EXPECT_EQ(state->GetValues(nullptr), STATUS_INVALID_PARAMETER);
    std::vector<std::string> log;
    CFakeListener *a = NewListener(&log, 'A', STATUS_UNSUCCESSFUL), *b = NewListener(&log, 'B');
    ASSERT_EQ(state->AddListener(a), STATUS_SUCCESS);
    ASSERT_EQ(state->AddListener(b), STATUS_SUCCESS);
    a->Release();
    b->Release();
    EXPECT_EQ(state->Select(2), STATUS_SUCCESS); // the current value
    EXPECT_FALSE(state->IsChanged());
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(state->Select(3), STATUS_INVALID_PARAMETER); // not allowed
    ASSERT_EQ(state->Select(17), STATUS_SUCCESS);
    EXPECT_TRUE(state->IsChanged());
    EXPECT_EQ(log, (std::vector<std::string>{"A state 17 0"})); // the first failure ends the loop
    ULONG value = 0;
    state->GetValue(&value);
    EXPECT_EQ(value, 17u);
    state->ClearChanged();
    EXPECT_FALSE(state->IsChanged());
    state->Release();
}

TEST_F(NodeValues, ClockAndInfo)
{
    IClockRates *clock = Make<CClockNode, IClockRates>(IID_IClockRates, 10u);
    ULONG rates[31];
    for (ULONG i = 0; i < 31; ++i)
        rates[i] = 8000 + i;
    EXPECT_EQ(clock->SetRates(31, rates), NTSTATUS(0xC000009A));
    EXPECT_EQ(clock->SetRates(2, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    const ULONG source = 4;
    AsNode(clock)->SetSources(1, &source);
    ASSERT_EQ(clock->SetRates(3, rates), STATUS_SUCCESS);
    EXPECT_EQ(AsNode(clock)->GetSourceCount(), 0u); // SetRates clears the sources
    ULONG out[30] = {}, count = 2;
    EXPECT_EQ(clock->GetRates(&count, out), STATUS_INVALID_PARAMETER);
    count = 30;
    ASSERT_EQ(clock->GetRates(&count, out), STATUS_SUCCESS);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(out[2], 8002u);
    ULONG isClock = 0;
    EXPECT_EQ(clock->IsClock(&isClock), STATUS_SUCCESS);
    EXPECT_EQ(isClock, 1u);
    // The base clock keeps whatever rate it is given (the unit's class checks it with the device).
    ULONG selected = 0;
    ASSERT_EQ(clock->GetSelectedRate(&selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, 0u);
    ASSERT_EQ(clock->SelectRate(48000), STATUS_SUCCESS);
    ASSERT_EQ(clock->GetSelectedRate(&selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, 48000u);
    ASSERT_EQ(clock->SelectRate(12345), STATUS_SUCCESS);
    ASSERT_EQ(clock->GetSelectedRate(&selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, 12345u);
    EXPECT_EQ(clock->GetSelectedRate(nullptr), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(clock->SetRates(30, rates), STATUS_SUCCESS); // the old table is freed
    EXPECT_EQ(sim::pool::OutstandingBytes(PoolTag::cloc), 120u);
    clock->Release();

    IInfoNode *info = Make<CInfoNode, IInfoNode>(IID_IInfoNode, 11u);
    EXPECT_EQ(AsNode(info)->GetKind(), ULONG(NODE_KIND_INFO));
    EXPECT_EQ(info->SetValue(42), STATUS_UNSUCCESSFUL);
    ULONG value = 0;
    ASSERT_EQ(info->GetValue(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 42u);
    EXPECT_EQ(info->GetByte(nullptr), STATUS_UNSUCCESSFUL);
    // The plain block has no value table: its table operations refuse and touch nothing.
    ULONG untouched[3] = {0xAAAA, 0xAAAA, 0xAAAA};
    EXPECT_EQ(info->GetValues(0, 1, untouched), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(info->SetValues(0, 1, untouched), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(info->GetTriple(0, untouched), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(untouched[0] & untouched[1] & untouched[2], 0xAAAAu);
    ASSERT_EQ(info->GetValue(&value), STATUS_SUCCESS);
    EXPECT_EQ(value, 42u);
    ASSERT_EQ(info->Init(3), STATUS_SUCCESS);
    EXPECT_EQ(Sources(AsNode(info)), (std::vector<ULONG>{3}));
    PVOID other = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(info->QueryInterface(IID_IInfoNode20, &other), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(other, nullptr);
    info->Release();

    // The four words its derived class filled come back whole, and no fifth.
    IInfoNode *filled = Make<CFilledInfoNode, IInfoNode>(IID_IInfoNode, 12u);
    ULONG words[INFO_NODE_WORDS + 1];
    std::fill(std::begin(words), std::end(words), 0xAAAAAAAAu);
    ASSERT_EQ(filled->GetWords(words), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(words, words + INFO_NODE_WORDS + 1),
              (std::vector<ULONG>{0x11, 0x2200, 0x330000, 0x44000000, 0xAAAAAAAAu}));
    EXPECT_EQ(filled->GetWords(nullptr), STATUS_INVALID_PARAMETER);
    filled->Release();
}

TEST_F(NodeValues, AllocationFailuresLeaveCounts)
{
    const ULONG types[2] = {2, 3}, sources[2] = {5, 6}, rates[2] = {44100, 48000};
    const JackRecord jacks[1] = {{1, 2, 3, 4, 5, 6, 7, 8, 9}};
    auto counts = [](PUNKNOWN u)
    {
        IAudioNode *node = AsNode(u);
        return std::vector<ULONG>{node->GetSourceCount(), ULONG(sim::pool::OutstandingBlocks())};
    };
    auto byteNode = []
    {
        ISwitchValue *v = Make<CByteControlNode, ISwitchValue>(IID_ISwitchValue, 1u, 2u);
        v->Init(1, 1);
        return static_cast<PUNKNOWN>(v);
    };
    EachAllocationFails(
        byteNode, [](PUNKNOWN u) { return static_cast<ISwitchValue *>(u)->Init(7, 4); },
        [&](PUNKNOWN u)
        {
            auto c = counts(u);
            ULONG ch = 0;
            static_cast<ISwitchValue *>(u)->GetChannelCount(&ch);
            c.push_back(ch);
            return c;
        });
    auto levelNode = []
    {
        ILevelValue *v = Make<CLevelControlNode, ILevelValue>(IID_ILevelValue, 1u, 3u);
        v->Init(1, 1, 0, 0, 0);
        return static_cast<PUNKNOWN>(v);
    };
    EachAllocationFails(
        levelNode, [](PUNKNOWN u) { return static_cast<ILevelValue *>(u)->Init(7, 4, 1, 2, 3); },
        [&](PUNKNOWN u)
        {
            auto c = counts(u);
            ULONG ch = 0;
            static_cast<ILevelValue *>(u)->GetChannelCount(&ch);
            c.push_back(ch);
            return c;
        });
    auto terminalCounts = [&](PUNKNOWN u)
    {
        auto c = counts(u);
        ULONG t = 0, j = 0;
        static_cast<ITerminalInfo *>(u)->GetTypeCount(&t);
        static_cast<ITerminalInfo *>(u)->GetJackCount(&j);
        c.push_back(t);
        c.push_back(j);
        return c;
    };
    EachAllocationFails(
        [] { return static_cast<PUNKNOWN>(Make<CJackTerminalNode, ITerminalInfo>(IID_ITerminalInfo, 2u)); },
        [&](PUNKNOWN u)
        {
            return static_cast<CJackTerminalNode *>(static_cast<ITerminalInfo *>(u))
                ->InitTerminal(9, 2, types, 1, jacks);
        },
        terminalCounts);
    // The default initialisation reports its failure, with no table left behind.
    EachAllocationFails(
        []
        {
            return static_cast<PUNKNOWN>(
                Make<CTerminalNode, ITerminalInfo>(IID_ITerminalInfo, 2u, ULONG(NODE_KIND_INPUT_TERMINAL)));
        },
        [&](PUNKNOWN u)
        { return static_cast<CTerminalNode *>(static_cast<ITerminalInfo *>(u))->InitDefault(2, sources); },
        terminalCounts);
    // The kind-5 switch, on: a failed SetSources keeps the count restored at switching off too.
    EachAllocationFails(
        [&]
        {
            ISwitchable *sw = Make<CTerminalNode, ISwitchable>(IID_ISwitchable, 6u, ULONG(NODE_KIND_MIXER));
            static_cast<CTerminalNode *>(sw)->InitDefault(2, sources);
            sw->SetSwitch(1);
            return static_cast<PUNKNOWN>(sw);
        },
        [&](PUNKNOWN u) { return AsNode(u)->SetSources(1, sources); },
        [&](PUNKNOWN u)
        {
            auto c = counts(u);
            auto *sw = static_cast<ISwitchable *>(u);
            sw->SetSwitch(0);
            c.push_back(AsNode(u)->GetSourceCount());
            sw->SetSwitch(1);
            return c;
        });
    EachAllocationFails(
        [] { return static_cast<PUNKNOWN>(Make<CSelectorNode, INodeConnect>(IID_INodeConnect, 3u)); },
        [&](PUNKNOWN u) { return AsNode(u)->SetSources(2, sources); }, counts,
        [](size_t k) { return k == 1 ? STATUS_UNSUCCESSFUL : STATUS_INSUFFICIENT_RESOURCES; });

    std::vector<std::string> log;
    CFakeListener *listener = NewListener(&log, 'L');
    EachAllocationFails(
        [&]
        {
            INodeConnect *s = Make<CSelectorNode, INodeConnect>(IID_INodeConnect, 3u);
            AsNode(s)->SetSources(2, sources);
            return static_cast<PUNKNOWN>(s);
        },
        [&](PUNKNOWN u) { return static_cast<INodeConnect *>(u)->AddListener(listener); }, counts);
    EachAllocationFails(
        [] { return static_cast<PUNKNOWN>(Make<CStateNode, INodeState>(IID_INodeState, 4u)); },
        [&](PUNKNOWN u) { return static_cast<INodeState *>(u)->AddListener(listener); }, counts);
    EachAllocationFails([]
                        { return static_cast<PUNKNOWN>(Make<CStateNode, INodeState>(IID_INodeState, 4u)); },
                        [&](PUNKNOWN u) { return static_cast<INodeState *>(u)->Init(8, 2, types); },
                        [&](PUNKNOWN u)
                        {
                            auto c = counts(u);
                            ULONG n = 0;
                            static_cast<INodeState *>(u)->GetValueCount(&n);
                            c.push_back(n);
                            return c;
                        });
    EachAllocationFails(
        [&]
        {
            IClockRates *c = Make<CClockNode, IClockRates>(IID_IClockRates, 5u);
            c->SetRates(1, rates);
            return static_cast<PUNKNOWN>(c);
        },
        [&](PUNKNOWN u) { return static_cast<IClockRates *>(u)->SetRates(2, rates); },
        [&](PUNKNOWN u)
        {
            auto c = counts(u);
            ULONG n = 0;
            static_cast<IClockRates *>(u)->GetRateCount(&n);
            c.push_back(n);
            return c;
        });
    EachAllocationFails([] { return static_cast<PUNKNOWN>(Make<CInfoNode, IInfoNode>(IID_IInfoNode, 6u)); },
                        [](PUNKNOWN u) { return static_cast<IInfoNode *>(u)->Init(3); }, counts);
    EXPECT_TRUE(log.empty());
    listener->Release();
}
