// The engine's block processing: round trips through float, chunking and pass order, the
// floating-point state, and refused formats. Every block runs at DISPATCH_LEVEL.
#include "driver/effects/dsp_node.h"
#include "driver/filters/stream_engine.h"

#include "support/engine_doubles.h"
#include "support/kernel_test.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace
{

using namespace engine_test;

class EngineProcessTest : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        Events().clear();
        engine = MakeEngine();
        ASSERT_NE(engine, nullptr);
        ASSERT_EQ(engine->Initialize(0), STATUS_SUCCESS);
        ASSERT_EQ(engine->PrepareBuffers(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        for (IUnknown *object : owned)
            object->Release();
        owned.clear();
        if (engine)
            engine->Release();
        KernelTest::TearDown();
    }

    RecordingNode *AddNode(ULONG id)
    {
        RecordingNode *node = Make<RecordingNode>(id);
        owned.push_back(static_cast<IAudioNode *>(node));
        EXPECT_EQ(engine->AddProcessingNode(node), STATUS_SUCCESS);
        return node;
    }
    RecordingNode *AddStageNode(ULONG stage, ULONG id)
    {
        RecordingNode *node = Make<RecordingNode>(id);
        owned.push_back(static_cast<IAudioNode *>(node));
        EXPECT_EQ(engine->AddStage(stage, node), STATUS_SUCCESS);
        return node;
    }
    NTSTATUS Process(void *buffer, ULONG bytes)
    {
        NTSTATUS status = STATUS_PENDING;
        AtDispatch([&] { status = engine->ProcessBlock(buffer, bytes); });
        return status;
    }

    CStreamEngine *engine = nullptr;
    std::vector<IUnknown *> owned;
};

// The float that a 32-bit integer rounds to (nearest, ties to even), then back to an integer with
// saturation: computed on integers alone.
int32_t FloatRoundTrip32(int32_t v)
{
    const int64_t x = v;
    const uint64_t magnitude = uint64_t(x < 0 ? -x : x);
    int bits = 0;
    while (bits < 64 && (magnitude >> bits))
        ++bits;
    uint64_t rounded = magnitude;
    if (bits > 24)
    {
        const int shift = bits - 24;
        uint64_t q = magnitude >> shift;
        const uint64_t rest = magnitude & ((uint64_t(1) << shift) - 1);
        const uint64_t half = uint64_t(1) << (shift - 1);
        if (rest > half || (rest == half && (q & 1)))
            ++q;
        rounded = q << shift;
    }
    const int64_t signedValue = x < 0 ? -int64_t(rounded) : int64_t(rounded);
    if (signedValue > INT32_MAX)
        return INT32_MAX;
    return int32_t(signedValue);
}

TEST_F(EngineProcessTest, PcmAndFloatRoundTripsThroughAPassThroughNode)
{
    AddNode(20);

    // 16-bit, the extremes included.
    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16));
    std::vector<int16_t> s16(2 * 300);
    for (size_t i = 0; i < s16.size(); ++i)
        s16[i] = int16_t(int32_t(i * 2654435761u) >> 16);
    s16[0] = -32768;
    s16[1] = 32767;
    s16[2] = 0;
    s16[3] = -1;
    const auto s16Copy = s16;
    EXPECT_EQ(Process(s16.data(), ULONG(s16.size() * 2)), STATUS_SUCCESS);
    EXPECT_EQ(s16, s16Copy);

    // Packed 24-bit, 0x800000 and 0x7FFFFF included, over six channels.
    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 6, 48000, 24));
    std::vector<uint8_t> s24(6 * 3 * 100);
    for (size_t i = 0; i < s24.size(); ++i)
        s24[i] = uint8_t(i * 37 + 11);
    const uint8_t extremes[] = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0xFF};
    std::memcpy(s24.data(), extremes, sizeof(extremes));
    const auto s24Copy = s24;
    EXPECT_EQ(Process(s24.data(), ULONG(s24.size())), STATUS_SUCCESS);
    EXPECT_EQ(s24, s24Copy);

    // IEEE float: untouched bit for bit, NaN payloads and infinities included.
    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32));
    std::vector<uint32_t> f32(2 * 64);
    for (size_t i = 0; i < f32.size(); ++i)
        f32[i] = uint32_t(i * 0x9E3779B9u);
    f32[0] = 0x7FC00001; // quiet NaN with a payload
    f32[1] = 0xFF800123; // signalling NaN, negative
    f32[2] = 0x00000001; // a subnormal stays: no conversion runs
    f32[3] = 0x7F800000;
    const auto f32Copy = f32;
    EXPECT_EQ(Process(f32.data(), ULONG(f32.size() * 4)), STATUS_SUCCESS);
    EXPECT_EQ(f32, f32Copy);

    // 32-bit: exact up to 24 significant bits, otherwise the nearest float, saturated.
    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 32));
    std::vector<int32_t> s32 = {INT32_MIN,  INT32_MAX,  0x00FFFFFF, -0x01000000, 0x01000001,  0x01000003,
                                0x7FFFFF80, 0x7FFFFFC0, 0x40000040, 0x40000080,  -0x7FFFFFBF, 123456789};
    for (int i = 0; i < 52; ++i)
        s32.push_back(int32_t(uint32_t(i) * 0x9E3779B9u));
    std::vector<int32_t> expected;
    for (int32_t v : s32)
        expected.push_back(FloatRoundTrip32(v));
    EXPECT_EQ(expected[0], INT32_MIN);
    EXPECT_EQ(expected[1], INT32_MAX);
    EXPECT_EQ(expected[2], 0x00FFFFFF);
    EXPECT_EQ(expected[4], 0x01000000); // tie to even
    EXPECT_EQ(expected[5], 0x01000004);
    EXPECT_EQ(Process(s32.data(), ULONG(s32.size() * 4)), STATUS_SUCCESS);
    EXPECT_EQ(s32, expected);
}

TEST_F(EngineProcessTest, ChunksOfAtMost512FramesAtTheRightPlaces)
{
    RecordingNode *node = AddNode(20);
    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16));
    std::vector<int16_t> pcm(2 * 513);
    for (size_t frame = 0; frame < 513; ++frame)
    {
        pcm[2 * frame] = int16_t(frame * 8);
        pcm[2 * frame + 1] = int16_t(-int(frame));
    }
    ASSERT_EQ(Process(pcm.data(), ULONG(pcm.size() * 2)), STATUS_SUCCESS);
    ASSERT_EQ(node->calls.size(), 2u);
    EXPECT_EQ(node->calls[0].Frames, 512u);
    EXPECT_EQ(node->calls[1].Frames, 1u);
    // Channel 0 of each chunk starts at its own first frame.
    EXPECT_FLOAT_EQ(node->calls[0].FirstSample, 0.0f);
    EXPECT_FLOAT_EQ(node->calls[1].FirstSample, float(512 * 8) / 32768.0f);
    EXPECT_EQ(node->calls[0].Irql, DISPATCH_LEVEL);
    EXPECT_EQ(node->calls[0].Format->Format.nChannels, 2);

    // A float block is worked on in place: the second chunk starts 512 frames in.
    node->calls.clear();
    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32));
    std::vector<float> f32(2 * 513, 0.25f);
    ASSERT_EQ(Process(f32.data(), ULONG(f32.size() * 4)), STATUS_SUCCESS);
    ASSERT_EQ(node->calls.size(), 2u);
    EXPECT_EQ(node->calls[0].Buffer0, f32.data());
    EXPECT_EQ(node->calls[1].Buffer0, f32.data() + 2 * 512);
    EXPECT_EQ(node->calls[0].Frames, 512u);
    EXPECT_EQ(node->calls[1].Frames, 1u);
}

TEST_F(EngineProcessTest, PassesRunInOrderAndTheFirstFailureEndsTheBlock)
{
    RecordingNode *first = AddNode(21);
    RecordingNode *second = AddNode(22);
    RecordingNode *stage1 = AddStageNode(1, 31);
    RecordingNode *stage2 = AddStageNode(2, 32);
    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16));
    std::vector<int16_t> pcm(2 * 600, 100);

    ASSERT_EQ(Process(pcm.data(), ULONG(pcm.size() * 2)), STATUS_SUCCESS);
    const std::vector<std::string> order = {
        "node 21 process 512", "node 22 process 512", "node 31 process 512", "node 32 stopped 512",
        "node 21 process 88",  "node 22 process 88",  "node 31 process 88",  "node 32 stopped 88"};
    EXPECT_EQ(Events(), order);

    // A failing node: its status comes back, nothing after it runs, the block is not written back.
    Events().clear();
    first->failStatus = STATUS_DEVICE_BUSY;
    std::vector<int16_t> block(2 * 16, 7);
    EXPECT_EQ(Process(block.data(), ULONG(block.size() * 2)), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Events(), std::vector<std::string>{"node 21 process 16"});
    EXPECT_TRUE(second->calls.size() == 2 && stage1->calls.size() == 2 && stage2->calls.size() == 2);

    // A failing stage 1 stops before stage 2.
    Events().clear();
    first->failStatus = STATUS_SUCCESS;
    stage1->failStatus = STATUS_INVALID_DEVICE_REQUEST;
    EXPECT_EQ(Process(block.data(), ULONG(block.size() * 2)), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(Events(),
              (std::vector<std::string>{"node 21 process 16", "node 22 process 16", "node 31 process 16"}));

    // The whole-block stage entries call once with the caller's buffer and every frame.
    Events().clear();
    stage1->failStatus = STATUS_SUCCESS;
    EXPECT_EQ(engine->ProcessFirstStage(block.data(), ULONG(block.size() * 2)), STATUS_SUCCESS);
    EXPECT_EQ(engine->ProcessSecondStage(block.data(), ULONG(block.size() * 2)), STATUS_SUCCESS);
    EXPECT_EQ(Events(), (std::vector<std::string>{"node 31 process 16", "node 32 stopped 16"}));
    EXPECT_EQ(stage2->calls.back().Buffer0, reinterpret_cast<float *>(block.data()));
    // They walk the stage lists under the engine lock, which raises even a PASSIVE_LEVEL caller.
    EXPECT_EQ(stage1->calls.back().Irql, DISPATCH_LEVEL);
    EXPECT_EQ(stage2->calls.back().Irql, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    // ProcessNodes: the processing nodes only, through the float path, without the engine lock.
    Events().clear();
    EXPECT_EQ(engine->ProcessNodes(block.data(), ULONG(block.size() * 2)), STATUS_SUCCESS);
    EXPECT_EQ(Events(), (std::vector<std::string>{"node 21 process 16", "node 22 process 16"}));
    EXPECT_EQ(first->calls.back().Irql, PASSIVE_LEVEL);
    EXPECT_EQ(block, std::vector<int16_t>(block.size(), 7));
}

TEST_F(EngineProcessTest, EmptyBlocksAndEmptyListsDoNothing)
{
    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 32));
    // Values that a conversion would change.
    std::vector<int32_t> block = {0x7FFFFFFF, 0x01000001, -0x7FFFFFBF, 0x12345679};
    const auto copy = block;
    EXPECT_EQ(Process(block.data(), ULONG(block.size() * 4)), STATUS_SUCCESS);
    EXPECT_EQ(block, copy);

    RecordingNode *node = AddNode(20);
    const size_t saves = sim::FloatingPointSaves();
    EXPECT_EQ(Process(block.data(), 0), STATUS_SUCCESS);
    EXPECT_EQ(sim::FloatingPointSaves(), saves);
    EXPECT_TRUE(node->calls.empty());
    EXPECT_EQ(block, copy);

    // ProcessNodes without nodes returns at once too.
    EXPECT_EQ(engine->RunProcessingNodes(nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(EngineProcessTest, TheSoftwareMuteZeroesPcmAndFloatBlocks)
{
    CDspNode *mute = Make<CDspNode>(40);
    ASSERT_NE(mute, nullptr);
    owned.push_back(static_cast<IProcessingNode *>(mute));
    ASSERT_EQ(mute->Init(1, 1), STATUS_SUCCESS);
    ASSERT_EQ(engine->AttachNode(mute), STATUS_SUCCESS);
    EXPECT_EQ(engine->GetNodeCount(), 1u);

    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16));
    std::vector<int16_t> pcm(2 * 700, 1234);
    EXPECT_EQ(Process(pcm.data(), ULONG(pcm.size() * 2)), STATUS_SUCCESS);
    EXPECT_EQ(pcm, std::vector<int16_t>(pcm.size(), 1234)); // mute off: untouched

    ASSERT_EQ(mute->SetByte(0, 1), STATUS_SUCCESS);
    EXPECT_EQ(Process(pcm.data(), ULONG(pcm.size() * 2)), STATUS_SUCCESS);
    EXPECT_EQ(pcm, std::vector<int16_t>(pcm.size(), 0));

    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 32));
    std::vector<float> f32(2 * 700, 0.5f);
    EXPECT_EQ(Process(f32.data(), ULONG(f32.size() * 4)), STATUS_SUCCESS);
    EXPECT_EQ(f32, std::vector<float>(f32.size(), 0.0f));
}

// What the kernel's order probe saw: each routine with MXCSR at that moment.
std::vector<std::pair<std::string, unsigned>> &KernelSteps()
{
    static std::vector<std::pair<std::string, unsigned>> steps;
    return steps;
}
void RecordKernelStep(const char *routine)
{
    KernelSteps().emplace_back(routine, _mm_getcsr());
}

TEST_F(EngineProcessTest, FloatStateIsSavedSetAndRestored)
{
    RecordingNode *node = AddNode(20);
    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16));
    std::vector<int16_t> pcm(2 * 32, 99);

    const unsigned original = _mm_getcsr();
    const unsigned towardZero = (original & ~0x6000u) | 0x6000u;
    const unsigned inside = (towardZero | 0x8000u) & ~0x6000u;
    // FPU save, MXCSR set, lock; then lock released, MXCSR given back by the engine itself (before the
    // FPU restore, which would hide a missing one), FPU restored. A refused format goes the same way.
    const std::vector<std::pair<std::string, unsigned>> expected = {
        {"KeSaveFloatingPointState", towardZero},
        {"KeAcquireSpinLockAtDpcLevel", inside},
        {"KeReleaseSpinLockFromDpcLevel", inside},
        {"KeRestoreFloatingPointState", towardZero}};
    auto run = [&](void *buffer, ULONG bytes, unsigned *after)
    {
        KernelSteps().clear();
        _mm_setcsr(towardZero);
        sim::SetKernelProbe(&RecordKernelStep);
        const NTSTATUS result = Process(buffer, bytes);
        sim::SetKernelProbe(nullptr);
        *after = _mm_getcsr();
        _mm_setcsr(original);
        return result;
    };
    unsigned after = 0;
    EXPECT_EQ(run(pcm.data(), ULONG(pcm.size() * 2), &after), STATUS_SUCCESS);
    EXPECT_EQ(KernelSteps(), expected);
    ASSERT_EQ(node->calls.size(), 1u);
    EXPECT_EQ(node->calls[0].Mxcsr, inside);
    EXPECT_EQ(after, towardZero);

    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 9, 48000, 16));
    EXPECT_EQ(run(pcm.data(), 18 * 2, &after), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(KernelSteps(), expected);
    EXPECT_EQ(after, towardZero);
    EXPECT_EQ(node->calls.size(), 1u);
    EXPECT_EQ(pcm, std::vector<int16_t>(pcm.size(), 99));
    // A 0-byte block: no save, no lock.
    EXPECT_EQ(run(pcm.data(), 0, &after), STATUS_SUCCESS);
    EXPECT_TRUE(KernelSteps().empty());
    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16));

    // A failed save: nothing runs, the block is untouched, the failure is logged.
    sim::ClearDebugLog();
    const size_t saves = sim::FloatingPointSaves();
    sim::FailFloatingPointSave(1);
    std::vector<int16_t> block(2 * 32, -5);
    EXPECT_EQ(Process(block.data(), ULONG(block.size() * 2)), STATUS_SUCCESS);
    EXPECT_EQ(sim::FloatingPointSaves(), saves + 1);
    EXPECT_EQ(block, std::vector<int16_t>(block.size(), -5));
    EXPECT_EQ(node->calls.size(), 1u);
    EXPECT_TRUE(sim::DebugLogContains("Save FPU error\n"));
}

TEST_F(EngineProcessTest, BadFormatsAreRefusedWithTheBlockUntouched)
{
    RecordingNode *node = AddNode(20);
    std::vector<int16_t> block(64, 321);
    const auto copy = block;
    auto refused = [&](const char *what)
    {
        SCOPED_TRACE(what);
        EXPECT_EQ(Process(block.data(), ULONG(block.size() * 2)), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(block, copy);
        EXPECT_TRUE(node->calls.empty());
    };

    refused("no format yet");
    auto format = MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16);
    format.Format.nChannels = 0;
    engine->SetCurrentFormat(format);
    refused("no channels");
    format = MakeFormat(WAVE_FORMAT_PCM, 9, 48000, 16);
    engine->SetCurrentFormat(format);
    refused("nine channels");
    format = MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16);
    format.Format.nBlockAlign = 3;
    engine->SetCurrentFormat(format);
    sim::ClearDebugLog();
    refused("frame size against the channels");
    refused("frame size again");
    EXPECT_EQ(sim::DebugLog().size(), 1u); // logged once for the format

    // Not a whole number of frames: refused every time, logged once per stream (block or stage
    // entry alike), and again once the stream's format is set anew.
    sim::ClearDebugLog();
    RecordingNode *stage = AddStageNode(1, 31);
    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16));
    EXPECT_EQ(Process(block.data(), 5), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::DebugLogContains("0 != lBufSize(5) Div m_CurrentWaveFormat.Format.nBlockAlign(4) \n"));
    EXPECT_EQ(Process(block.data(), 7), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(engine->ProcessFirstStage(block.data(), 6), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(sim::DebugLog().size(), 1u);
    EXPECT_EQ(block, copy);
    EXPECT_TRUE(stage->calls.empty());
    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16));
    EXPECT_EQ(engine->ProcessFirstStage(block.data(), 6), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(sim::DebugLogContains("0 != lBufSize(6) Div m_CurrentWaveFormat.Format.nBlockAlign(4) \n"));
    EXPECT_EQ(sim::DebugLog().size(), 2u);
    ASSERT_EQ(engine->RemoveStage(1, stage), STATUS_SUCCESS);

    // A width the float path does not convert: left as it came, successfully.
    engine->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 8));
    EXPECT_EQ(Process(block.data(), ULONG(block.size() * 2)), STATUS_SUCCESS);
    EXPECT_EQ(block, copy);
    EXPECT_TRUE(node->calls.empty());
}

TEST_F(EngineProcessTest, ABlockBeforePrepareBuffersIsRefused)
{
    CStreamEngine *bare = MakeEngine();
    ASSERT_EQ(bare->Initialize(0), STATUS_SUCCESS);
    RecordingNode *node = Make<RecordingNode>(20);
    owned.push_back(static_cast<IAudioNode *>(node));
    ASSERT_EQ(bare->AddProcessingNode(node), STATUS_SUCCESS);
    bare->SetCurrentFormat(MakeFormat(WAVE_FORMAT_PCM, 2, 48000, 16));
    std::vector<int16_t> block(32, 17);
    NTSTATUS status = STATUS_PENDING;
    AtDispatch([&] { status = bare->ProcessBlock(block.data(), ULONG(block.size() * 2)); });
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(block, std::vector<int16_t>(32, 17));
    EXPECT_TRUE(node->calls.empty());
    bare->Release();
}

} // namespace
