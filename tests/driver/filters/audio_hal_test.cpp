// The audio HAL: its lists, its named callback object, power handling and the graph walk of
// ConnectAll, over test doubles and over the real node value classes.
#include "driver/filters/audio_hal.h"

#include "driver/filters/node_selection.h"
#include "driver/filters/node_terminal.h"
#include "driver/filters/node_values.h"

#include "support/hal_doubles.h"
#include "support/kernel_test.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace
{

using namespace hal_test;

DEVICE_OBJECT g_device{};

// The callback object's name, built independently of the driver: "\Callback\AudioHalAddr" and the
// object's address as upper-case hex digits, two per address byte.
std::u16string HalCallbackName(const CAudioHal *hal, bool lowerCase)
{
    char text[64];
    std::snprintf(text, sizeof(text), "\\Callback\\AudioHalAddr%0*llX", int(2 * sizeof(void *)),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(hal)));
    std::u16string name;
    for (const char *c = text; *c; ++c)
        name += char16_t(lowerCase ? std::tolower(static_cast<unsigned char>(*c)) : *c);
    return name;
}

// Opens an existing callback object by name (no creation); null when there is none.
PCALLBACK_OBJECT OpenByName(const std::u16string &text)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, text.c_str());
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &name, OBJ_CASE_INSENSITIVE, nullptr, nullptr);
    PCALLBACK_OBJECT object = nullptr;
    if (!NT_SUCCESS(ExCreateCallback(&object, &attributes, FALSE, TRUE)))
        return nullptr;
    return object;
}

struct Delivery
{
    int calls = 0;
    PVOID context = nullptr;
    PVOID argument1 = nullptr;
    PVOID argument2 = nullptr;
};

void OnHalNotify(PVOID context, PVOID argument1, PVOID argument2)
{
    auto *d = static_cast<Delivery *>(context);
    ++d->calls;
    d->context = context;
    d->argument1 = argument1;
    d->argument2 = argument2;
}

POWER_STATE Device(DEVICE_POWER_STATE state)
{
    POWER_STATE p;
    p.DeviceState = state;
    return p;
}

class AudioHalTest : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        Events().clear();
    }

    // A HAL whose start adds `filters` and `engines`, initialised; the test releases it.
    TestHal *StartedHal(std::vector<IAudioNode *> filters = {}, std::vector<IStreamEngine *> engines = {})
    {
        TestHal *hal = Make<TestHal>();
        hal->startFilters = std::move(filters);
        hal->startEngines = std::move(engines);
        EXPECT_EQ(hal->Init(nullptr, &g_device, &m_value2, &m_value3), STATUS_SUCCESS);
        return hal;
    }

    int m_value2 = 0;
    int m_value3 = 0;
};

// ---- Init and the callback object ------------------------------------------------------------------

TEST_F(AudioHalTest, InitCreatesTheNamedCallbackObjectAndStartsTheHardware)
{
    TestHal *hal = Make<TestHal>();
    PVOID registration = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(hal->RegisterCallback(&OnHalNotify, nullptr, &registration), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(registration, nullptr);
    EXPECT_EQ(hal->GetDeviceObject(), nullptr);

    ASSERT_EQ(hal->Init(nullptr, &g_device, &m_value2, &m_value3), STATUS_SUCCESS);
    EXPECT_EQ(hal->GetDeviceObject(), &g_device);
    EXPECT_EQ(hal->Value2(), &m_value2);
    EXPECT_EQ(hal->Value3(), &m_value3);
    EXPECT_EQ(hal->PowerState(), PowerDeviceD0);
    EXPECT_EQ(hal->startCalls, 1);
    EXPECT_EQ(hal->connectCalls, 1);
    // The temporary name buffer is gone; the lists are the only blocks of the HAL's tags left.
    EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::Temp), 0u);
    EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::HALB), 2u);
    // A permanent object under the upper-cased name.
    const std::u16string upper = HalCallbackName(hal, false);
    std::string narrow(upper.begin(), upper.end());
    for (char &c : narrow)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_NE(EndOfTestReport().find(narrow + " (permanent)"), std::string::npos);

    // Found by name in either letter case; the same object, and it delivers to the HAL's clients.
    PCALLBACK_OBJECT byUpper = OpenByName(upper);
    PCALLBACK_OBJECT byLower = OpenByName(HalCallbackName(hal, true));
    ASSERT_NE(byUpper, nullptr);
    EXPECT_EQ(byUpper, byLower);
    EXPECT_EQ(byUpper, hal->CallbackObject());
    ObDereferenceObject(byLower);

    Delivery delivery;
    ASSERT_EQ(hal->RegisterCallback(&OnHalNotify, &delivery, &registration), STATUS_SUCCESS);
    ASSERT_NE(registration, nullptr);
    int argument = 0;
    ExNotifyCallback(byUpper, &argument, &delivery);
    EXPECT_EQ(delivery.calls, 1);
    EXPECT_EQ(delivery.context, &delivery);
    EXPECT_EQ(delivery.argument1, &argument);
    EXPECT_EQ(delivery.argument2, &delivery);
    EXPECT_EQ(hal->UnregisterCallback(registration), STATUS_SUCCESS);
    ExNotifyCallback(byUpper, &argument, nullptr);
    EXPECT_EQ(delivery.calls, 1);
    EXPECT_EQ(hal->UnregisterCallback(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hal->RegisterCallback(&OnHalNotify, &delivery, nullptr), STATUS_INVALID_PARAMETER);

    // A second Init is refused and changes nothing.
    EXPECT_EQ(hal->Init(nullptr, nullptr, nullptr, nullptr), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hal->GetDeviceObject(), &g_device);
    EXPECT_EQ(hal->startCalls, 1);

    // Destruction takes the name away and drops the HAL's one reference: the object lives on only by
    // the test's own reference, whose release frees it (a second drop by the HAL would have been
    // reported as a dereference with no references left).
    EXPECT_EQ(hal->Release(), 0u);
    EXPECT_EQ(sim::LiveNamedObjects().size(), 1u);
    ObDereferenceObject(byUpper);
    EXPECT_TRUE(sim::LiveNamedObjects().empty());
    EXPECT_EQ(OpenByName(upper), nullptr);
}

TEST_F(AudioHalTest, AFailedStartLeavesNoCallbackObjectNoBufferAndNoItems)
{
    // The base StartHardware: not implemented, so Init fails and ConnectAll does not run.
    TestHal *hal = Make<TestHal>();
    hal->useBaseStart = true;
    EXPECT_EQ(hal->Init(nullptr, &g_device, nullptr, nullptr), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(hal->connectCalls, 0);
    EXPECT_TRUE(sim::LiveNamedObjects().empty());
    EXPECT_EQ(hal->GetDeviceObject(), nullptr);
    EXPECT_EQ(hal->GetFilterCount(), 0u);
    EXPECT_EQ(hal->Release(), 0u);

    // A start that added nodes and an engine, then failed: they are released again.
    FakeNode *node = Make<FakeNode>(5u, NODE_KIND_LEVEL);
    FakeEngine *engine = Make<FakeEngine>(0u);
    hal = Make<TestHal>();
    hal->startFilters = {node};
    hal->startEngines = {engine};
    hal->startStatus = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(hal->Init(nullptr, &g_device, nullptr, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(RefsOf(node), 1u);
    EXPECT_EQ(RefsOf(engine), 1u);
    EXPECT_EQ(hal->GetEngineCount(), 0u);
    EXPECT_TRUE(sim::LiveNamedObjects().empty());
    EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::Temp), 0u);
    EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::HALB), 0u);

    // ConnectAll's failure (a node that cannot restore its values) fails Init the same way.
    hal->startStatus = STATUS_SUCCESS;
    node->applyStatus = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(hal->Init(nullptr, &g_device, nullptr, nullptr), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(hal->connectCalls, 1);
    EXPECT_EQ(RefsOf(node), 1u);
    EXPECT_TRUE(sim::LiveNamedObjects().empty());
    EXPECT_EQ(hal->PowerState(), PowerDeviceUnspecified);

    // Once the cause is gone, the same HAL starts.
    node->applyStatus = STATUS_SUCCESS;
    EXPECT_EQ(hal->Init(nullptr, &g_device, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(hal->GetFilterCount(), 1u);
    EXPECT_EQ(hal->Release(), 0u);
    EXPECT_EQ(RefsOf(node), 1u);
    EXPECT_EQ(node->Release(), 0u);
    EXPECT_EQ(engine->Release(), 0u);
    EXPECT_TRUE(sim::LiveNamedObjects().empty());
}

TEST_F(AudioHalTest, EveryAllocationOfInitFailedInTurnLeavesNothingBehind)
{
    // A start with a selector, so ConnectAll's walk table is among the allocations.
    CSelectorNode *selector = Make<CSelectorNode>(10u);
    const ULONG sources[] = {20};
    ASSERT_EQ(selector->SetSources(1, sources), STATUS_SUCCESS);
    FakeNode *terminal = Make<FakeNode>(20u, NODE_KIND_OUTPUT_TERMINAL);
    terminal->answers = FakeNode::ANSWERS_CHILD;
    terminal->childId = 21;
    FakeNode *child = Make<FakeNode>(21u, NODE_KIND_LEVEL);
    child->answers = FakeNode::ANSWERS_CHILD;
    FakeEngine *engine = Make<FakeEngine>(1u);

    auto newHal = [&]
    {
        TestHal *hal = Make<TestHal>();
        hal->startFilters = {selector, terminal, child};
        hal->startEngines = {engine};
        return hal;
    };
    TestHal *hal = newHal();
    const size_t outstanding = sim::Outstanding();
    const size_t before = sim::Allocations();
    ASSERT_EQ(hal->Init(nullptr, &g_device, nullptr, nullptr), STATUS_SUCCESS);
    const size_t allocations = sim::Allocations() - before;
    // Two lists, the name buffer, three list nodes and the identifier index for the nodes, one list
    // node for the engine, the walk table.
    EXPECT_EQ(allocations, 9u);
    EXPECT_EQ(child->links.size(), 1u);
    EXPECT_EQ(hal->Release(), 0u);

    for (unsigned k = 1; k <= allocations; ++k)
    {
        SCOPED_TRACE(k);
        hal = newHal();
        sim::FailAllocation(k);
        EXPECT_EQ(hal->Init(nullptr, &g_device, nullptr, nullptr), STATUS_INSUFFICIENT_RESOURCES);
        sim::FailAllocation(0);
        EXPECT_EQ(hal->GetFilterCount(), 0u);
        EXPECT_EQ(hal->GetEngineCount(), 0u);
        EXPECT_EQ(hal->CallbackObject(), nullptr);
        EXPECT_TRUE(sim::LiveNamedObjects().empty());
        for (IAudioNode *item : std::vector<IAudioNode *>{selector, terminal, child})
            EXPECT_EQ(RefsOf(item), 1u);
        EXPECT_EQ(RefsOf(engine), 1u);
        EXPECT_EQ(hal->Release(), 0u);
        EXPECT_EQ(sim::Outstanding(), outstanding - 1); // the HAL object itself is gone
    }
    EXPECT_EQ(child->links.size(), 1u); // no failed round linked anything
    for (IAudioNode *item : std::vector<IAudioNode *>{selector, terminal, child})
        EXPECT_EQ(item->Release(), 0u);
    EXPECT_EQ(engine->Release(), 0u);
}

// ---- The sixteen operations and the lists ------------------------------------------------------------

TEST_F(AudioHalTest, ListsCountFindAndHandOutTheirItemsWithoutAReference)
{
    TestHal *hal = Make<TestHal>();
    FakeNode *a = Make<FakeNode>(7u, NODE_KIND_LEVEL);
    FakeNode *b = Make<FakeNode>(8u, NODE_KIND_MUTE);
    FakeNode *c = Make<FakeNode>(7u, NODE_KIND_MUTE);
    FakeEngine *engine = Make<FakeEngine>(0u);

    // Before Init there are no lists.
    IAudioNode *node = reinterpret_cast<IAudioNode *>(1);
    EXPECT_EQ(hal->GetFilterCount(), 0u);
    EXPECT_EQ(hal->GetFilter(0, &node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(node, nullptr);
    EXPECT_EQ(hal->AddFilter(a), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(RefsOf(a), 1u);
    EXPECT_EQ(hal->FindFilter(7, &node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(hal->RestoreFilters(), STATUS_UNSUCCESSFUL);

    ASSERT_EQ(hal->Init(nullptr, &g_device, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(hal->AddFilter(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hal->AddEngine(nullptr), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(hal->AddFilter(a), STATUS_SUCCESS);
    ASSERT_EQ(hal->AddFilter(b), STATUS_SUCCESS);
    ASSERT_EQ(hal->AddFilter(c), STATUS_SUCCESS);
    ASSERT_EQ(hal->AddEngine(engine), STATUS_SUCCESS);
    EXPECT_EQ(RefsOf(a), 2u);
    EXPECT_EQ(RefsOf(engine), 2u);

    // A list node that cannot be had: refused, no reference kept, count unchanged.
    sim::FailAllocation(1);
    EXPECT_EQ(hal->AddFilter(b), STATUS_INSUFFICIENT_RESOURCES);
    sim::FailAllocation(1);
    EXPECT_EQ(hal->AddEngine(engine), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RefsOf(b), 2u);
    EXPECT_EQ(RefsOf(engine), 2u);
    EXPECT_EQ(hal->GetFilterCount(), 3u);
    EXPECT_EQ(hal->GetEngineCount(), 1u);

    // GetFilter and GetEngine: in order, no reference, out-pointer null on a bad index.
    ASSERT_EQ(hal->GetFilter(1, &node), STATUS_SUCCESS);
    EXPECT_EQ(node, static_cast<IAudioNode *>(b));
    EXPECT_EQ(RefsOf(b), 2u);
    node = reinterpret_cast<IAudioNode *>(1);
    EXPECT_EQ(hal->GetFilter(3, &node), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node, nullptr);
    EXPECT_EQ(hal->GetFilter(0xFFFFFFFFu, &node), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hal->GetFilter(0, nullptr), STATUS_INVALID_PARAMETER);
    IStreamEngine *found = nullptr;
    ASSERT_EQ(hal->GetEngine(0, &found), STATUS_SUCCESS);
    EXPECT_EQ(found, static_cast<IStreamEngine *>(engine));
    found = reinterpret_cast<IStreamEngine *>(1);
    EXPECT_EQ(hal->GetEngine(1, &found), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(found, nullptr);

    // FindFilter: the last node with the identifier.
    ASSERT_EQ(hal->FindFilter(7, &node), STATUS_SUCCESS);
    EXPECT_EQ(node, static_cast<IAudioNode *>(c));
    ASSERT_EQ(hal->FindFilter(8, &node), STATUS_SUCCESS);
    EXPECT_EQ(node, static_cast<IAudioNode *>(b));
    node = reinterpret_cast<IAudioNode *>(1);
    EXPECT_EQ(hal->FindFilter(9, &node), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(node, nullptr);
    EXPECT_EQ(hal->FindFilter(7, nullptr), STATUS_INVALID_PARAMETER);

    // StartAll and StopAll reach every node in list order.
    EXPECT_EQ(hal->StartAll(), STATUS_SUCCESS);
    EXPECT_EQ(hal->StopAll(), STATUS_SUCCESS);
    const std::vector<std::string> expected = {"start 7", "start 8", "start 7", "stop 7", "stop 8", "stop 7"};
    EXPECT_EQ(Events(), expected);

    // Destruction releases every item once.
    EXPECT_EQ(hal->Release(), 0u);
    for (IAudioNode *item : std::vector<IAudioNode *>{a, b, c})
    {
        EXPECT_EQ(RefsOf(item), 1u);
        item->Release();
    }
    EXPECT_EQ(RefsOf(engine), 1u);
    engine->Release();
}

// FindFilter answers from an index by identifier: it must agree with the list (the last node of each
// identifier) while the index grows, for identifiers too far apart to index, and after an index that
// could not grow refused its node.
TEST_F(AudioHalTest, FindFilterAnswersTheLastNodeOfEachIdentifierWhileItsIndexGrows)
{
    TestHal *hal = StartedHal();
    std::vector<FakeNode *> made;
    std::map<ULONG, IAudioNode *> last; // the oracle: the list's last node of each identifier
    // Adds a node of `id`; with `failFirst`, the first allocation AddFilter makes fails.
    auto add = [&](ULONG id, bool failFirst = false, size_t *allocations = nullptr)
    {
        FakeNode *node = Make<FakeNode>(id, NODE_KIND_LEVEL);
        made.push_back(node);
        const size_t before = sim::Allocations();
        sim::FailAllocation(failFirst ? 1 : 0);
        const NTSTATUS status = hal->AddFilter(node);
        sim::FailAllocation(0);
        if (allocations)
            *allocations = sim::Allocations() - before;
        if (NT_SUCCESS(status))
            last[id] = node;
        return status;
    };
    auto agrees = [&](ULONG highest)
    {
        for (ULONG id = 0; id <= highest; ++id)
        {
            IAudioNode *node = reinterpret_cast<IAudioNode *>(1);
            const auto it = last.find(id);
            EXPECT_EQ(hal->FindFilter(id, &node), it != last.end() ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL)
                << id;
            EXPECT_EQ(node, it != last.end() ? it->second : nullptr) << id;
        }
    };

    // The first node's index cannot be had: the node is refused and nothing is listed.
    EXPECT_EQ(add(0, true), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(hal->GetFilterCount(), 0u);
    EXPECT_EQ(RefsOf(made.back()), 1u);
    agrees(4);

    // Far apart first (looked up in the list), then numbered densely from 0 past several doublings,
    // with repeats before and after each growth; the far ones come into range as the list grows.
    for (ULONG id : {900u, 5000u, 0xFFFFFFFEu})
        ASSERT_EQ(add(id), STATUS_SUCCESS);
    for (ULONG id = 0; id < 600; ++id)
    {
        ASSERT_EQ(add(id), STATUS_SUCCESS);
        if (id % 61 == 0)
        {
            ASSERT_EQ(add(id / 2), STATUS_SUCCESS);
        }
    }
    agrees(1200);
    agrees(5001);
    IAudioNode *node = nullptr;
    ASSERT_EQ(hal->FindFilter(0xFFFFFFFEu, &node), STATUS_SUCCESS);
    EXPECT_EQ(node, last[0xFFFFFFFEu]);

    // A growth the pool refuses: the node is refused, the nodes before it are still found.
    const ULONG count = hal->GetFilterCount();
    ULONG grows = 0;
    for (ULONG id = count; id < 4 * count && !grows; ++id)
    {
        size_t allocations = 0;
        ASSERT_EQ(add(id, false, &allocations), STATUS_SUCCESS);
        if (allocations == 2) // the list node and a larger index
            grows = id;
    }
    ASSERT_NE(grows, 0u);
    const ULONG next = 2 * grows + 1; // far enough to need the next growth, near enough to be indexed
    EXPECT_EQ(add(next, true), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(RefsOf(made.back()), 1u);
    agrees(next + 1);
    ASSERT_EQ(add(next), STATUS_SUCCESS);
    agrees(next + 1);

    EXPECT_EQ(hal->Release(), 0u);
    for (FakeNode *item : made)
        EXPECT_EQ(item->Release(), 0u);
}

TEST_F(AudioHalTest, TheFixedAnswersOfTheBase)
{
    TestHal *hal = StartedHal();
    const ULONG words[HAL_INFO_WORDS] = {1, 2, 3, 0xFFFFFFFFu, 5, 6, 7, 8};
    hal->SetStreamInfo(words);
    ULONG out[HAL_INFO_WORDS] = {};
    // The same eight words whatever index, direction or type is asked for.
    for (ULONG index : {0u, 3u, 0xFFFFFFFFu})
    {
        std::fill(std::begin(out), std::end(out), 0xAAAAAAAAu);
        EXPECT_EQ(hal->GetStreamInfo(index, out), STATUS_SUCCESS);
        EXPECT_TRUE(std::equal(std::begin(out), std::end(out), std::begin(words)));
        std::fill(std::begin(out), std::end(out), 0xAAAAAAAAu);
        EXPECT_EQ(hal->GetTerminalCapabilities(index, index + 1, out), STATUS_SUCCESS);
        EXPECT_TRUE(std::equal(std::begin(out), std::end(out), std::begin(words)));
    }
    EXPECT_EQ(hal->GetStreamInfo(0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hal->GetTerminalCapabilities(0, 0, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(hal->GetComponentId(nullptr, out), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(hal->NotifyActivity(), 0u);
    EXPECT_EQ(hal->CAudioHal::StartHardware(), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(hal->QueryPowerChangeState(Device(PowerDeviceD3)), STATUS_SUCCESS);

    // The HAL answers its two interfaces and IUnknown; anything else gets a null pointer.
    PVOID object = nullptr;
    ASSERT_EQ(hal->QueryInterface(IID_IAudioHal, &object), STATUS_SUCCESS);
    EXPECT_EQ(object, static_cast<IAudioHal *>(hal));
    static_cast<IAudioHal *>(object)->Release();
    ASSERT_EQ(hal->QueryInterface(IID_IAdapterPowerManagement, &object), STATUS_SUCCESS);
    EXPECT_EQ(object, static_cast<IAdapterPowerManagement *>(hal));
    static_cast<IAdapterPowerManagement *>(object)->Release();
    ASSERT_EQ(hal->QueryInterface(IID_IUnknown, &object), STATUS_SUCCESS);
    static_cast<IUnknown *>(object)->Release();
    object = reinterpret_cast<PVOID>(1);
    EXPECT_EQ(hal->QueryInterface(IID_IStreamEngine, &object), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(hal->Release(), 0u);
}

// ---- RestoreFilters and power ---------------------------------------------------------------------

TEST_F(AudioHalTest, RestoreFiltersStopsAtTheFirstFailure)
{
    FakeNode *first = Make<FakeNode>(1u, NODE_KIND_LEVEL);
    FakeNode *second = Make<FakeNode>(2u, NODE_KIND_MUTE);
    FakeNode *third = Make<FakeNode>(3u, NODE_KIND_LEVEL);
    TestHal *hal = StartedHal({first, second, third});
    Events().clear();
    second->applyStatus = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(hal->RestoreFilters(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Events(), (std::vector<std::string>{"apply 1", "apply 2"}));
    second->applyStatus = STATUS_SUCCESS;
    EXPECT_EQ(hal->RestoreFilters(), STATUS_SUCCESS);
    EXPECT_EQ(third->applyCalls, 2); // Init's ConnectAll, then this call
    EXPECT_EQ(hal->Release(), 0u);
    for (FakeNode *n : {first, second, third})
        n->Release();
}

TEST_F(AudioHalTest, RestoreFiltersOverTheRealNodeClassesSucceeds)
{
    // One of every value node class, initialised as the unit objects do it.
    auto *bytes = Make<CByteControlNode>(1u, ULONG(NODE_KIND_MUTE));
    auto *levels = Make<CLevelControlNode>(2u, ULONG(NODE_KIND_LEVEL));
    auto *input = Make<CTerminalNode>(3u, ULONG(NODE_KIND_INPUT_TERMINAL));
    auto *output = Make<CJackTerminalNode>(4u);
    auto *mixer = Make<CTerminalNode>(5u, ULONG(NODE_KIND_MIXER));
    auto *selector = Make<CSelectorNode>(6u);
    auto *state = Make<CStateNode>(7u);
    auto *clock = Make<CClockNode>(8u);
    auto *info = Make<CInfoNode>(9u);
    const ULONG types[] = {2};
    const ULONG sources[] = {3, 5};
    const ULONG values[] = {1, 2};
    const ULONG rates[] = {44100, 48000};
    ASSERT_EQ(bytes->Init(3, 2), STATUS_SUCCESS);
    ASSERT_EQ(levels->Init(1, 2, -0x7F0000, 0, 0x100), STATUS_SUCCESS);
    ASSERT_EQ(input->InitTerminal(1, types, 1, &kDefaultJackRecord), STATUS_SUCCESS);
    ASSERT_EQ(output->InitTerminal(6, 1, types, 1, &kDefaultJackRecord), STATUS_SUCCESS);
    ASSERT_EQ(mixer->InitDefault(2, sources), STATUS_SUCCESS);
    ASSERT_EQ(selector->SetSources(2, sources), STATUS_SUCCESS);
    ASSERT_EQ(state->Init(2, 2, values), STATUS_SUCCESS);
    ASSERT_EQ(clock->SetRates(2, rates), STATUS_SUCCESS);
    ASSERT_EQ(info->Init(1), STATUS_SUCCESS);
    std::vector<IAudioNode *> nodes = {bytes, levels, input, output, mixer, selector, state, clock, info};

    // Init's ConnectAll walks them (the selector's sources are terminals of other kinds) and
    // restores them; so do a later restore and a return to D0.
    TestHal *hal = StartedHal(nodes);
    EXPECT_EQ(hal->GetFilterCount(), nodes.size());
    EXPECT_EQ(hal->RestoreFilters(), STATUS_SUCCESS);
    EXPECT_EQ(hal->ConnectAll(), STATUS_SUCCESS);
    EXPECT_EQ(hal->Release(), 0u);
    for (IAudioNode *n : nodes)
        EXPECT_EQ(n->Release(), 0u);
}

TEST_F(AudioHalTest, PowerReturnsToD0ByRestoringEveryNode)
{
    FakeNode *a = Make<FakeNode>(1u, NODE_KIND_LEVEL);
    FakeNode *b = Make<FakeNode>(2u, NODE_KIND_MUTE);
    TestHal *hal = StartedHal({a, b});
    ASSERT_EQ(a->applyCalls, 1);

    hal->PowerChangeState(Device(PowerDeviceD0)); // D0 -> D0: nothing
    EXPECT_EQ(a->applyCalls, 1);
    hal->PowerChangeState(Device(PowerDeviceUnspecified)); // not a state to enter: ignored
    hal->PowerChangeState(Device(DEVICE_POWER_STATE(7)));
    EXPECT_EQ(hal->PowerState(), PowerDeviceD0);
    hal->PowerChangeState(Device(PowerDeviceD0));
    EXPECT_EQ(a->applyCalls, 1);

    hal->PowerChangeState(Device(PowerDeviceD3));
    EXPECT_EQ(hal->PowerState(), PowerDeviceD3);
    EXPECT_EQ(a->applyCalls, 1);
    hal->PowerChangeState(Device(DEVICE_POWER_STATE(7))); // still D3 afterwards
    EXPECT_EQ(hal->PowerState(), PowerDeviceD3);
    hal->PowerChangeState(Device(PowerDeviceD0)); // D3 -> D0: every node again
    EXPECT_EQ(a->applyCalls, 2);
    EXPECT_EQ(b->applyCalls, 2);
    EXPECT_EQ(hal->PowerState(), PowerDeviceD0);

    // D1 and D2 are only stored; the state is stored even when a node fails to restore.
    hal->PowerChangeState(Device(PowerDeviceD2));
    hal->PowerChangeState(Device(PowerDeviceD1));
    EXPECT_EQ(hal->PowerState(), PowerDeviceD1);
    EXPECT_EQ(a->applyCalls, 2);
    a->applyStatus = STATUS_DEVICE_NOT_CONNECTED;
    hal->PowerChangeState(Device(PowerDeviceD0));
    EXPECT_EQ(a->applyCalls, 3);
    EXPECT_EQ(b->applyCalls, 2);
    EXPECT_EQ(hal->PowerState(), PowerDeviceD0);

    // Capabilities: bit 9 joins whatever was set.
    PC_DEVICE_CAPABILITIES caps{};
    caps.Flags = 0x5;
    EXPECT_EQ(hal->QueryDeviceCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Flags, 0x205u);
    EXPECT_EQ(hal->QueryDeviceCapabilities(nullptr), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(hal->Release(), 0u);
    a->Release();
    b->Release();
}

// ---- ConnectAll -------------------------------------------------------------------------------------

// A terminal of kind 1 whose child is `childId`.
FakeNode *Terminal(ULONG id, ULONG childId)
{
    FakeNode *node = Make<FakeNode>(id, ULONG(NODE_KIND_OUTPUT_TERMINAL));
    node->answers = FakeNode::ANSWERS_CHILD;
    node->childId = childId;
    return node;
}

TEST_F(AudioHalTest, ConnectAllLinksChildrenBindsAndResetsEnginesThenRestores)
{
    // Selector 10 over [20, 30, 40, 50], input 3 selected:
    //   20 -> 21 -> 22 (a level node): 22 then 21 are linked at position 1;
    //   30 -> 99 (missing): nothing;
    //   40 -> 41 -> 40 (a cycle): 41 is linked at position 3, 40 is not met twice;
    //   50 -> 50 (its own child): nothing.
    CSelectorNode *selector = Make<CSelectorNode>(10u);
    const ULONG sources[] = {20, 30, 40, 50};
    ASSERT_EQ(selector->SetSources(4, sources), STATUS_SUCCESS);
    ASSERT_EQ(selector->Select(3), STATUS_SUCCESS);
    FakeNode *n20 = Terminal(20, 21);
    FakeNode *n21 = Terminal(21, 22);
    FakeNode *n22 = Make<FakeNode>(22u, ULONG(NODE_KIND_LEVEL));
    n22->answers = FakeNode::ANSWERS_CHILD;
    FakeNode *n30 = Terminal(30, 99);
    FakeNode *n40 = Terminal(40, 41);
    FakeNode *n41 = Terminal(41, 40);
    FakeNode *n50 = Terminal(50, 50);
    // A selector with more than ten sources links nothing.
    CSelectorNode *wide = Make<CSelectorNode>(11u);
    const ULONG many[11] = {20, 20, 20, 20, 20, 20, 20, 20, 20, 20, 20};
    ASSERT_EQ(wide->SetSources(11, many), STATUS_SUCCESS);

    // Engines: capture (1) binds input first, else output; render (0) resets; others are left alone.
    FakeNode *both = Make<FakeNode>(60u, ULONG(NODE_KIND_MUTE));
    both->answers = FakeNode::ANSWERS_INPUT_BIND | FakeNode::ANSWERS_OUTPUT_BIND;
    FakeNode *outputOnly = Make<FakeNode>(61u, ULONG(NODE_KIND_MUTE));
    outputOnly->answers = FakeNode::ANSWERS_OUTPUT_BIND;
    FakeNode *resettable = Make<FakeNode>(62u, ULONG(NODE_KIND_LEVEL));
    resettable->answers = FakeNode::ANSWERS_RESET | FakeNode::ANSWERS_INPUT_BIND;
    FakeEngine *capture = Make<FakeEngine>(1u);
    FakeEngine *render = Make<FakeEngine>(0u);
    FakeEngine *other = Make<FakeEngine>(2u);
    capture->Attach(both);
    capture->Attach(outputOnly);
    capture->Attach(resettable);
    render->Attach(both);
    render->Attach(resettable);
    other->Attach(resettable);

    std::vector<IAudioNode *> nodes = {selector, n20, n21,  n22,  n30,        n40,
                                       n41,      n50, wide, both, outputOnly, resettable};
    TestHal *hal = StartedHal(nodes, {capture, render, other});

    const std::vector<std::string> links = {"link 22 1 3", "link 21 1 3", "link 41 3 3"};
    std::vector<std::string> seen;
    for (const std::string &e : Events())
        if (e.rfind("link", 0) == 0)
            seen.push_back(e);
    EXPECT_EQ(seen, links);
    ASSERT_EQ(n22->links.size(), 1u);
    EXPECT_EQ(n22->links[0].Selector, static_cast<IAudioNode *>(selector));
    for (FakeNode *n : {n20, n30, n40, n50})
        EXPECT_TRUE(n->links.empty());

    EXPECT_EQ(both->inputBinds, std::vector<IStreamEngine *>{capture});
    EXPECT_TRUE(both->outputBinds.empty());
    EXPECT_EQ(outputOnly->outputBinds, std::vector<IStreamEngine *>{capture});
    EXPECT_EQ(resettable->inputBinds, std::vector<IStreamEngine *>{capture});
    EXPECT_EQ(resettable->resets, std::vector<ULONG>{0});
    EXPECT_TRUE(both->resets.empty());

    // Linking and binding come before the restore, which reached every node.
    size_t lastLink = 0, firstApply = Events().size();
    for (size_t i = 0; i < Events().size(); ++i)
    {
        if (Events()[i].rfind("link", 0) == 0)
            lastLink = i;
        if (Events()[i].rfind("apply", 0) == 0 && firstApply == Events().size())
            firstApply = i;
    }
    EXPECT_LT(lastLink, firstApply);
    for (FakeNode *n : {n20, n22, n50, resettable})
        EXPECT_EQ(n->applyCalls, 1);

    // A second run links again, and its restore stops at the first failure.
    Events().clear();
    n21->applyStatus = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(hal->ConnectAll(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(n22->links.size(), 2u);
    EXPECT_EQ(n20->applyCalls, 2);
    EXPECT_EQ(n22->applyCalls, 1);

    // The walk table cannot be had: nothing linked, nothing restored.
    sim::FailAllocation(1);
    EXPECT_EQ(hal->ConnectAll(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(n22->links.size(), 2u);
    EXPECT_EQ(n20->applyCalls, 2);

    EXPECT_EQ(hal->Release(), 0u);
    for (IAudioNode *n : nodes)
        n->Release();
    for (FakeEngine *e : {capture, render, other})
        EXPECT_EQ(e->Release(), 0u);
}

TEST_F(AudioHalTest, ConnectAllSurvivesALongChildCycle)
{
    // 200 terminals in one ring below one selector source: every node but the first is linked once.
    constexpr ULONG kRing = 200;
    CSelectorNode *selector = Make<CSelectorNode>(1000u);
    const ULONG source = 100;
    ASSERT_EQ(selector->SetSources(1, &source), STATUS_SUCCESS);
    std::vector<IAudioNode *> nodes = {selector};
    std::vector<FakeNode *> ring;
    for (ULONG i = 0; i < kRing; ++i)
    {
        ring.push_back(Terminal(100 + i, 100 + (i + 1) % kRing));
        nodes.push_back(ring.back());
    }
    TestHal *hal = StartedHal(nodes);
    EXPECT_TRUE(ring[0]->links.empty());
    for (ULONG i = 1; i < kRing; ++i)
        ASSERT_EQ(ring[i]->links.size(), 1u) << i;
    // Deepest first: the last of the ring is linked before the second.
    EXPECT_EQ(Events().front(), "link " + std::to_string(100 + kRing - 1) + " 1 0");
    EXPECT_EQ(hal->Release(), 0u);
    for (IAudioNode *n : nodes)
        n->Release();
}

} // namespace
