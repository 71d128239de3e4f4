// The engine's lists: formats and their matching, terminal types, client records, names, the named
// callback object, allocation failures, and destruction while a client record is still listed.
#include "driver/filters/stream_engine.h"

#include "support/engine_doubles.h"
#include "support/kernel_test.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

using namespace engine_test;

class EngineListsTest : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        Events().clear();
    }
    void TearDown() override
    {
        for (IUnknown *object : owned)
            object->Release();
        owned.clear();
        KernelTest::TearDown();
    }
    CStreamEngine *NewEngine(ULONG id)
    {
        CStreamEngine *engine = MakeEngine();
        EXPECT_EQ(engine->Initialize(id), STATUS_SUCCESS);
        return engine;
    }
    template <class T> T *Own(T *node)
    {
        owned.push_back(static_cast<IAudioNode *>(node));
        return node;
    }
    std::vector<IUnknown *> owned;
};

std::u16string EngineCallbackName(const CStreamEngine *engine, bool lowerCase)
{
    return CallbackNameOf("\\Callback\\StreamEngineAddr", engine, lowerCase);
}

int g_deliveries = 0;
void OnEngineNotify(PVOID context, PVOID, PVOID)
{
    g_deliveries += *static_cast<int *>(context);
}

std::vector<WCHAR> Wide(size_t count, char first)
{
    std::vector<WCHAR> text(count + 1, 0);
    for (size_t i = 0; i < count; ++i)
        text[i] = WCHAR(first + i % 26);
    return text;
}

TEST_F(EngineListsTest, FormatsMatchAndTheTwoChannelListFollowsTheTerminal)
{
    CStreamEngine *render = NewEngine(0);
    const auto f441 = MakeFormat(WAVE_FORMAT_PCM, 2, 44100, 16);
    const auto f48 = MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16);
    const auto f6 = MakeFormat(WAVE_FORMAT_PCM, 6, 48000, 24);
    ASSERT_EQ(render->AddFormat(f441), STATUS_SUCCESS);
    ASSERT_EQ(render->AddFormat(f48), STATUS_SUCCESS);
    ASSERT_EQ(render->AddFormat(f6), STATUS_SUCCESS);
    EXPECT_EQ(render->GetFormatCount(), 3u);
    WAVEFORMATEXTENSIBLE read{};
    ASSERT_EQ(render->GetFormat(2, &read), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&read, &f6, 40), 0);
    EXPECT_EQ(render->GetFormat(3, &read), STATUS_INVALID_PARAMETER);

    // A headphone output terminal: only the two-channel formats.
    ScriptedTerminal *hp = Own(Make<ScriptedTerminal>(7, NODE_KIND_OUTPUT_TERMINAL, 2));
    ASSERT_EQ(render->AttachNode(hp), STATUS_SUCCESS);
    EXPECT_EQ(render->GetTerminalType(), 2u);
    EXPECT_EQ(render->GetFormatCount(), 2u);
    EXPECT_EQ(render->GetFormat(2, &read), STATUS_INVALID_PARAMETER);
    for (ULONG type : {3u, 14u, 17u})
    {
        hp->type = type;
        EXPECT_EQ(render->GetFormatCount(), 2u) << type;
    }
    hp->type = 1;
    EXPECT_EQ(render->GetFormatCount(), 3u);
    // A state node gives the type and ends the walk.
    ScriptedState *state = Own(Make<ScriptedState>(8, 14));
    ASSERT_EQ(render->AttachNode(state), STATUS_SUCCESS);
    EXPECT_EQ(render->GetTerminalType(), 14u);
    EXPECT_EQ(render->GetFormatCount(), 2u);
    // The same identifier is not attached twice.
    ScriptedState *twin = Own(Make<ScriptedState>(8, 2));
    EXPECT_EQ(render->AttachNode(twin), STATUS_SUCCESS);
    EXPECT_EQ(render->GetNodeCount(), 2u);
    IAudioNode *node = nullptr;
    EXPECT_EQ(render->GetNode(1, &node), STATUS_SUCCESS);
    EXPECT_EQ(node, static_cast<IAudioNode *>(state));
    EXPECT_EQ(RefsOf(static_cast<IAudioNode *>(state)), 2u); // ours and the engine's, none for GetNode
    EXPECT_EQ(render->GetNode(2, &node), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node, nullptr);
    // The reserved operation succeeds and changes nothing: not its arguments, not the lists.
    ULONG first = 0xAAAA, second = 0xBBBB;
    EXPECT_EQ(render->ReservedOperation(&first, &second), STATUS_SUCCESS);
    EXPECT_EQ(first, 0xAAAAu);
    EXPECT_EQ(second, 0xBBBBu);
    EXPECT_EQ(render->GetNodeCount(), 2u);
    EXPECT_EQ(render->GetFormatCount(), 2u);
    EXPECT_EQ(render->GetTerminalType(), 14u);

    // A plain PCM tag: rewritten to the stored 18 bytes with cbSize 0.
    WAVEFORMATEXTENSIBLE ask{};
    ask.Format.wFormatTag = WAVE_FORMAT_PCM;
    ask.Format.nChannels = 2;
    ask.Format.nSamplesPerSec = 48000;
    ask.Format.wBitsPerSample = 16;
    ask.Format.cbSize = 99;
    ASSERT_EQ(render->MatchFormat(&ask), STATUS_SUCCESS);
    EXPECT_EQ(ask.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(ask.Format.nBlockAlign, 4);
    EXPECT_EQ(ask.Format.nAvgBytesPerSec, 192000u);
    EXPECT_EQ(ask.Format.cbSize, 0);
    EXPECT_EQ(ask.dwChannelMask, 0u); // beyond the 18 bytes nothing is written
    ask.Format.nSamplesPerSec = 96000;
    EXPECT_EQ(render->MatchFormat(&ask), STATUS_NO_MATCH);
    // The plain tag is compared with the stored sub-format, not the stored tag: a stored plain
    // float record with a PCM sub-format answers a PCM request, and not a float one.
    auto odd = MakeFormat(WAVE_FORMAT_PCM, 1, 32000, 16);
    odd.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    odd.Format.cbSize = 0;
    ASSERT_EQ(render->AddFormat(odd), STATUS_SUCCESS);
    WAVEFORMATEXTENSIBLE mono{};
    mono.Format = odd.Format;
    mono.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    EXPECT_EQ(render->MatchFormat(&mono), STATUS_NO_MATCH);
    mono.Format.wFormatTag = WAVE_FORMAT_PCM;
    mono.Format.nBlockAlign = 0;
    ASSERT_EQ(render->MatchFormat(&mono), STATUS_SUCCESS);
    EXPECT_EQ(mono.Format.wFormatTag, WAVE_FORMAT_PCM);
    EXPECT_EQ(mono.Format.nBlockAlign, 2); // the stored record's

    // Extensible: byte for byte over the header and its extension, never past 40 bytes.
    WAVEFORMATEXTENSIBLE exact = f48;
    EXPECT_EQ(render->MatchFormat(&exact), STATUS_SUCCESS);
    exact.SubFormat.Data4[7] ^= 1;
    EXPECT_EQ(ULONG(render->MatchFormat(&exact)), 0xC0000272u);
    WAVEFORMATEXTENSIBLE huge = f48;
    huge.Format.cbSize = 0xFFFF;
    std::vector<uint8_t> guarded(sizeof(huge));
    std::memcpy(guarded.data(), &huge, sizeof(huge));
    // The stored record has cbSize 22, so this cannot match, and reading stops at 40 bytes (ASan).
    EXPECT_EQ(render->MatchFormat(reinterpret_cast<WAVEFORMATEXTENSIBLE *>(guarded.data())), STATUS_NO_MATCH);
    render->Release();

    // Capture: several input terminals give 18, one type 3 gives 3.
    CStreamEngine *capture = NewEngine(1);
    ASSERT_EQ(capture->AddFormat(f6), STATUS_SUCCESS);
    ScriptedTerminal *spdif = Own(Make<ScriptedTerminal>(1, NODE_KIND_INPUT_TERMINAL, 3));
    ASSERT_EQ(capture->AttachNode(spdif), STATUS_SUCCESS);
    EXPECT_EQ(capture->GetTerminalType(), 3u);
    ScriptedTerminal *silent = Own(Make<ScriptedTerminal>(2, NODE_KIND_INPUT_TERMINAL, 0));
    ASSERT_EQ(capture->AttachNode(silent), STATUS_SUCCESS);
    EXPECT_EQ(capture->GetTerminalType(), 3u);
    ScriptedTerminal *line = Own(Make<ScriptedTerminal>(3, NODE_KIND_INPUT_TERMINAL, 5));
    ASSERT_EQ(capture->AttachNode(line), STATUS_SUCCESS);
    EXPECT_EQ(capture->GetTerminalType(), 18u);
    EXPECT_EQ(capture->GetFormatCount(), 1u); // capture always offers the full list
    capture->Release();

    // Before Initialize nothing is listed.
    CStreamEngine *bare = MakeEngine();
    EXPECT_EQ(bare->GetTerminalType(), ULONG(STATUS_UNSUCCESSFUL));
    EXPECT_EQ(bare->GetFormatCount(), 0u);
    EXPECT_EQ(bare->GetFormat(0, &read), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare->MatchFormat(&exact), STATUS_NO_MATCH);
    EXPECT_EQ(bare->GetNode(0, &node), STATUS_UNSUCCESSFUL);
    bare->Release();
}

TEST_F(EngineListsTest, ClientRecordsKeepKindOrderAndNamesAreCut)
{
    CStreamEngine *engine = NewEngine(0);
    StreamClientRecord a{3, reinterpret_cast<PVOID>(0xA), 0, 0, {}, 0, 0};
    StreamClientRecord b{5, reinterpret_cast<PVOID>(0xB), 0, 0, {}, 0, 0};
    StreamClientRecord c{3, reinterpret_cast<PVOID>(0xC), 0, 0, {}, 0, 0};
    StreamClientRecord big{-1, reinterpret_cast<PVOID>(0xD), 0, 0, {}, 0, 0}; // unsigned: the highest
    ASSERT_EQ(engine->InsertRegistration(EngineClientList::Opened, &a), STATUS_SUCCESS);
    ASSERT_EQ(engine->InsertRegistration(EngineClientList::Opened, &b), STATUS_SUCCESS);
    ASSERT_EQ(engine->InsertRegistration(EngineClientList::Opened, &c), STATUS_SUCCESS);
    // Walked head first: [5, new 3, old 3].
    EXPECT_EQ(engine->FirstRegistration(EngineClientList::Opened), &b);
    EXPECT_EQ(engine->TakeRegistration(EngineClientList::Opened, b.ClientHandle), &b);
    EXPECT_EQ(engine->TakeRegistration(EngineClientList::Opened, b.ClientHandle), nullptr);
    EXPECT_EQ(engine->FirstRegistration(EngineClientList::Opened), &c);
    EXPECT_EQ(engine->FindRegistration(EngineClientList::Opened, a.ClientHandle), &a);
    EXPECT_EQ(engine->TakeRegistration(EngineClientList::Opened, c.ClientHandle), &c);
    EXPECT_EQ(engine->FirstRegistration(EngineClientList::Opened), &a);
    EXPECT_EQ(engine->TakeRegistration(EngineClientList::Opened, a.ClientHandle), &a);
    EXPECT_EQ(engine->FirstRegistration(EngineClientList::Opened), nullptr);

    ASSERT_EQ(engine->InsertRegistration(EngineClientList::Running, &b), STATUS_SUCCESS);
    ASSERT_EQ(engine->InsertRegistration(EngineClientList::Running, &big), STATUS_SUCCESS);
    EXPECT_EQ(engine->FirstRegistration(EngineClientList::Running), &big);
    EXPECT_EQ(engine->FirstRegistration(EngineClientList::Opened), nullptr);
    EXPECT_EQ(engine->TakeRegistration(EngineClientList::Running, big.ClientHandle), &big);
    EXPECT_EQ(engine->TakeRegistration(EngineClientList::Running, b.ClientHandle), &b);

    ASSERT_EQ(engine->AppendStreamRecord(&a), STATUS_SUCCESS);
    ASSERT_EQ(engine->AppendStreamRecord(&c), STATUS_SUCCESS);
    EXPECT_EQ(engine->FindStreamRecord(c.ClientHandle), &c);
    EXPECT_EQ(engine->FindStreamRecord(b.ClientHandle), nullptr);
    EXPECT_EQ(engine->TakeStreamRecord(a.ClientHandle), &a);
    EXPECT_EQ(engine->TakeStreamRecord(c.ClientHandle), &c);
    EXPECT_EQ(engine->AppendStreamRecord(nullptr), STATUS_INVALID_PARAMETER);

    // Stages hold a reference while listed.
    RecordingNode *stage = Own(Make<RecordingNode>(30));
    ASSERT_EQ(engine->AddStage(1, stage), STATUS_SUCCESS);
    EXPECT_EQ(RefsOf(static_cast<IProcessingNode *>(stage)), 2u);
    EXPECT_EQ(engine->RemoveStage(2, stage), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(engine->RemoveStage(1, stage), STATUS_SUCCESS);
    EXPECT_EQ(RefsOf(static_cast<IProcessingNode *>(stage)), 1u);
    EXPECT_EQ(engine->AddStage(3, stage), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(engine->AddStage(2, stage), STATUS_SUCCESS);
    engine->ClearStage(2);
    EXPECT_EQ(RefsOf(static_cast<IProcessingNode *>(stage)), 1u);
    // Processing nodes are listed once, however they arrive.
    ASSERT_EQ(engine->AddProcessingNode(stage), STATUS_SUCCESS);
    ASSERT_EQ(engine->AttachNode(stage), STATUS_SUCCESS);
    ASSERT_EQ(engine->AddProcessingNode(stage), STATUS_SUCCESS);
    EXPECT_EQ(RefsOf(static_cast<IProcessingNode *>(stage)), 3u); // ours, attached, processing

    // 50 characters are accepted and kept as 49; 51 are refused and the old name stays.
    auto fifty = Wide(50, 'a');
    ASSERT_EQ(engine->SetName(fifty.data()), STATUS_SUCCESS);
    WCHAR read[ENGINE_NAME_CHARS + 4];
    std::fill(std::begin(read), std::end(read), WCHAR(0x7777));
    ASSERT_EQ(engine->GetName(read), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(read)),
              std::u16string(reinterpret_cast<const char16_t *>(fifty.data()), 49));
    auto fiftyOne = Wide(51, 'k');
    EXPECT_EQ(engine->SetName(fiftyOne.data()), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(engine->GetName(read), STATUS_SUCCESS);
    EXPECT_EQ(read[0], WCHAR('a'));
    EXPECT_EQ(engine->SetName(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine->GetName(nullptr), STATUS_INVALID_PARAMETER);

    // The stream lock the owning stream serialises on is the engine's own, recursive for its owner.
    EXPECT_TRUE(engine->StreamLock().Lock());
    EXPECT_TRUE(engine->StreamLock().TryLock());
    EXPECT_TRUE(engine->StreamLock().Unlock());
    EXPECT_TRUE(engine->StreamLock().Unlock());
    engine->Release();

    CStreamEngine *valued = MakeEngine(0x1234);
    EXPECT_EQ(valued->ConstructionValue(), 0x1234u);
    valued->Release();
}

TEST_F(EngineListsTest, TheCallbackObjectIsFoundByNameAndGoesWithTheEngine)
{
    CStreamEngine *engine = NewEngine(0);
    PCALLBACK_OBJECT upper = OpenCallbackByName(EngineCallbackName(engine, false));
    PCALLBACK_OBJECT lower = OpenCallbackByName(EngineCallbackName(engine, true));
    ASSERT_NE(upper, nullptr);
    EXPECT_EQ(upper, lower);
    ObDereferenceObject(lower);

    int weight = 3;
    PVOID registration = nullptr;
    g_deliveries = 0;
    ASSERT_EQ(engine->RegisterCallback(&OnEngineNotify, &weight, &registration), STATUS_SUCCESS);
    ASSERT_NE(registration, nullptr);
    ExNotifyCallback(upper, nullptr, nullptr);
    EXPECT_EQ(g_deliveries, 3);
    EXPECT_EQ(engine->UnregisterCallback(registration), STATUS_SUCCESS);
    ExNotifyCallback(upper, nullptr, nullptr);
    EXPECT_EQ(g_deliveries, 3);

    // The engine's one reference goes with it, and the name with it.
    EXPECT_EQ(engine->Release(), 0u);
    EXPECT_EQ(sim::LiveNamedObjects().size(), 1u);
    ObDereferenceObject(upper);
    EXPECT_TRUE(sim::LiveNamedObjects().empty());
    EXPECT_EQ(OpenCallbackByName(EngineCallbackName(engine, false)), nullptr);

    // Without Initialize there is nothing to register on.
    CStreamEngine *bare = MakeEngine();
    EXPECT_EQ(bare->RegisterCallback(&OnEngineNotify, &weight, &registration), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bare->Initialize(0), STATUS_SUCCESS);
    EXPECT_EQ(bare->Initialize(0), STATUS_UNSUCCESSFUL);
    bare->Release();
}

// Runs `operation` once to count its allocations, then once per allocation with that one failing.
// `setup` builds the object the operation works on (its own allocations are not failed).
// `cleanup` takes out what a successful run left that destruction would wait for.
template <class Setup, class Operation, class Check>
void EachAllocationFails(
    Setup setup, Operation operation, Check check, void (*cleanup)(CStreamEngine *) = [](CStreamEngine *) {})
{
    CStreamEngine *engine = setup();
    const size_t before = sim::Allocations();
    ASSERT_TRUE(NT_SUCCESS(operation(engine)));
    const size_t count = sim::Allocations() - before;
    cleanup(engine);
    engine->Release();
    ASSERT_GT(count, 0u);
    for (size_t k = 1; k <= count; ++k)
    {
        SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(count));
        engine = setup();
        sim::FailAllocation(unsigned(k));
        const NTSTATUS status = operation(engine);
        sim::FailAllocation(0);
        EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
        check(engine);
        engine->Release();
    }
}

TEST_F(EngineListsTest, EachAllocationFailureLeavesTheEngineAsItWas)
{
    // Initialize: nothing of the engine's stays behind, not even the callback object.
    EachAllocationFails([] { return MakeEngine(); }, [](CStreamEngine *e) { return e->Initialize(0); },
                        [](CStreamEngine *e)
                        {
                            EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::Stre), 0u);
                            EXPECT_TRUE(sim::LiveNamedObjects().empty());
                            EXPECT_EQ(e->GetFormatCount(), 0u);
                        });
    auto initialized = []
    {
        CStreamEngine *e = MakeEngine();
        EXPECT_EQ(e->Initialize(0), STATUS_SUCCESS);
        return e;
    };
    EachAllocationFails(
        initialized, [](CStreamEngine *e) { return e->AddFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16)); },
        [](CStreamEngine *e)
        {
            EXPECT_EQ(e->GetFormatCount(), 0u);
            ScriptedTerminal *hp = Make<ScriptedTerminal>(1, NODE_KIND_OUTPUT_TERMINAL, 2);
            EXPECT_EQ(e->AttachNode(hp), STATUS_SUCCESS);
            EXPECT_EQ(e->GetFormatCount(), 0u); // the two-channel list too
            hp->Release();
        });
    EachAllocationFails(
        initialized, [](CStreamEngine *e) { return e->PrepareBuffers(); },
        [](CStreamEngine *e)
        {
            EXPECT_EQ(sim::pool::OutstandingBytes(PoolTag::Stre) < ENGINE_SCRATCH_BYTES, true);
            e->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 1, 48000, 16));
            RecordingNode *node = Make<RecordingNode>(5);
            e->AddProcessingNode(node);
            int16_t block[4] = {1, 2, 3, 4};
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            EXPECT_EQ(e->ProcessBlock(block, sizeof(block)), STATUS_UNSUCCESSFUL);
            KeLowerIrql(old);
            EXPECT_TRUE(node->calls.empty());
            node->Release();
        });

    // Nodes: the reference count shows that nothing was kept.
    RecordingNode *node = Own(Make<RecordingNode>(9));
    EachAllocationFails(
        initialized, [&](CStreamEngine *e) { return e->AttachNode(node); },
        [&](CStreamEngine *e)
        {
            EXPECT_EQ(e->GetNodeCount(), 0u);
            EXPECT_EQ(RefsOf(static_cast<IAudioNode *>(node)), 1u);
        });
    EachAllocationFails(
        initialized, [&](CStreamEngine *e) { return e->AddProcessingNode(node); },
        [&](CStreamEngine *) { EXPECT_EQ(RefsOf(static_cast<IAudioNode *>(node)), 1u); });
    EachAllocationFails(
        initialized, [&](CStreamEngine *e) { return e->AddStage(1, node); },
        [&](CStreamEngine *e)
        {
            EXPECT_EQ(RefsOf(static_cast<IAudioNode *>(node)), 1u);
            EXPECT_EQ(e->RemoveStage(1, node), STATUS_UNSUCCESSFUL);
        });

    // Client lists.
    static StreamClientRecord record{3, reinterpret_cast<PVOID>(0x33), 0, 0, {}, 0, 0};
    EachAllocationFails(
        initialized, [](CStreamEngine *e) { return e->AppendStreamRecord(&record); },
        [](CStreamEngine *e) { EXPECT_EQ(e->FindStreamRecord(record.ClientHandle), nullptr); },
        [](CStreamEngine *e) { EXPECT_EQ(e->TakeStreamRecord(record.ClientHandle), &record); });
    auto withoutEqual = [](CStreamEngine *e)
    { return e->InsertRegistration(EngineClientList::Opened, &record); };
    EachAllocationFails(
        initialized, withoutEqual,
        [](CStreamEngine *e) { EXPECT_EQ(e->FirstRegistration(EngineClientList::Opened), nullptr); },
        [](CStreamEngine *e) { e->TakeRegistration(EngineClientList::Opened, record.ClientHandle); });
    // Meeting a record of the same kind, the failure reads as INVALID_PARAMETER.
    CStreamEngine *engine = initialized();
    StreamClientRecord same{3, reinterpret_cast<PVOID>(0x34), 0, 0, {}, 0, 0};
    ASSERT_EQ(engine->InsertRegistration(EngineClientList::Running, &same), STATUS_SUCCESS);
    sim::FailAllocation(1);
    EXPECT_EQ(engine->InsertRegistration(EngineClientList::Running, &record), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(engine->TakeRegistration(EngineClientList::Running, same.ClientHandle), &same);
    EXPECT_EQ(engine->FirstRegistration(EngineClientList::Running), nullptr);
    engine->Release();
}

TEST_F(EngineListsTest, DestructionWaitsForTheClientsBeforeFreeingAnything)
{
    CStreamEngine *engine = NewEngine(0);
    ASSERT_EQ(engine->PrepareBuffers(), STATUS_SUCCESS);
    ASSERT_EQ(engine->AddFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16)), STATUS_SUCCESS);
    auto *record = static_cast<StreamClientRecord *>(
        AllocPoolZeroed(sizeof(StreamClientRecord), NonPagedPool, PoolTag::USBS));
    record->Kind = 3;
    record->ClientHandle = reinterpret_cast<PVOID>(0x77);
    ASSERT_EQ(engine->InsertRegistration(EngineClientList::Running, record), STATUS_SUCCESS);
    const size_t blocks = sim::pool::OutstandingBlocks(PoolTag::Stre);
    sim::ClearDebugLog();

    sim::HostThread destroyer([engine] { engine->Release(); });
    sim::AdvanceMs(900);
    EXPECT_FALSE(destroyer.Done());
    EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::Stre), blocks);
    EXPECT_FALSE(sim::DebugLogContains("waiting"));
    sim::AdvanceMs(3000);
    EXPECT_FALSE(destroyer.Done());
    EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::Stre), blocks);
    EXPECT_EQ(sim::DebugLogCount("still waiting for the running client list (1 records)"), 1u);

    // The client takes its record: the engine goes, leaving nothing.
    EXPECT_EQ(engine->TakeRegistration(EngineClientList::Running, record->ClientHandle), record);
    FreePool(record);
    destroyer.Join();
    EXPECT_EQ(sim::pool::OutstandingBlocks(PoolTag::Stre), 0u);
    EXPECT_TRUE(sim::LiveNamedObjects().empty());
}

} // namespace
