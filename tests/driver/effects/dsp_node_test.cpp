// The software mute: its one-byte table, its answers, and the silence it makes of PCM and float
// blocks.
#include "driver/effects/dsp_node.h"
#include "driver/base/pool_memory.h"
#include "support/kernel_test.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace
{

class DspNode : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        ASSERT_EQ(NewObject<CDspNode>(&m_Unknown, nullptr, NonPagedPool, PoolTag::DSPS, 3u), STATUS_SUCCESS);
        m_Unknown->QueryInterface(IID_IProcessingNode, reinterpret_cast<PVOID *>(&m_Node));
        m_Unknown->QueryInterface(IID_ISwitchValue, reinterpret_cast<PVOID *>(&m_Switch));
    }
    void TearDown() override
    {
        m_Node->Release();
        m_Switch->Release();
        m_Unknown->Release();
        KernelTest::TearDown();
    }

    PUNKNOWN m_Unknown = nullptr;
    IProcessingNode *m_Node = nullptr;
    ISwitchValue *m_Switch = nullptr;
};

WAVEFORMATEXTENSIBLE Format(USHORT tag, USHORT channels, USHORT bits)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = 48000;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = USHORT(channels * bits / 8);
    f.Format.cbSize = 22;
    f.SubFormat = SubFormatForTag(tag);
    return f;
}

} // namespace

TEST_F(DspNode, InitAndAnswers)
{
    IAudioNode *node = nullptr;
    ASSERT_EQ(m_Unknown->QueryInterface(IID_IAudioNode, reinterpret_cast<PVOID *>(&node)), STATUS_SUCCESS);
    UCHAR mute = 9;
    // Source count, source 0 and mute byte (0xFF for a missing table) as they stand.
    auto state = [&]
    {
        ULONG room = 1, source = 0;
        node->GetSources(&room, &source);
        UCHAR byte = 0xFF;
        m_Switch->GetByte(0, &byte);
        return std::vector<ULONG>{node->GetSourceCount(), room ? source : 0xFFFFFFFFu, byte,
                                  ULONG(sim::pool::OutstandingBytes(PoolTag::DSPs))};
    };
    const std::vector<ULONG> fresh = state();
    EXPECT_EQ(fresh, (std::vector<ULONG>{0, 0xFFFFFFFFu, 0xFF, 0}));
    EXPECT_EQ(m_Switch->Init(5, 2), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(m_Switch->Init(5, 0), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(state(), fresh);
    sim::FailAllocation(1);
    EXPECT_EQ(m_Switch->Init(5, 1), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(state(), fresh);
    sim::FailAllocation(2); // the source table
    EXPECT_EQ(m_Switch->Init(5, 1), STATUS_INSUFFICIENT_RESOURCES);
    sim::pool::ClearInjection();
    EXPECT_EQ(state(), fresh);
    ASSERT_EQ(m_Switch->Init(5, 1), STATUS_SUCCESS);
    EXPECT_EQ(sim::pool::OutstandingBytes(PoolTag::DSPs), 2u);
    ASSERT_EQ(m_Switch->GetByte(0, &mute), STATUS_SUCCESS);
    EXPECT_EQ(mute, 0);

    // A failing repeated Init keeps the installed source and table, mute byte included.
    ASSERT_EQ(m_Switch->SetByte(0, 1), STATUS_SUCCESS);
    const std::vector<ULONG> installed = state();
    EXPECT_EQ(installed, (std::vector<ULONG>{1, 5, 1, 2}));
    EXPECT_EQ(m_Switch->Init(6, 2), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(state(), installed);
    for (unsigned k = 1; k <= 2; ++k)
    {
        sim::FailAllocation(k);
        EXPECT_EQ(m_Switch->Init(6, 1), STATUS_INSUFFICIENT_RESOURCES) << "allocation " << k;
        sim::pool::ClearInjection();
        EXPECT_EQ(state(), installed) << "allocation " << k;
    }
    EXPECT_EQ(node->GetKind(), ULONG(NODE_KIND_MUTE));
    EXPECT_EQ(node->GetId(), 3u);
    node->Release();
    EXPECT_EQ(m_Node->ProcessSlot1(nullptr, nullptr, 0), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(m_Node->ProcessSlot2(nullptr, nullptr, 0), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(m_Node->SetEffectFormat(nullptr), STATUS_SUCCESS);
    EXPECT_EQ(m_Node->ResetEffect(), STATUS_SUCCESS);
}

TEST_F(DspNode, MuteSilencesPcmAndFloat)
{
    ASSERT_EQ(m_Switch->Init(5, 1), STATUS_SUCCESS);
    std::vector<float> left(512, 0.5f), right(512, -0.25f);
    float *channels[8] = {left.data(), right.data()};
    const WAVEFORMATEXTENSIBLE pcm = Format(WAVE_FORMAT_PCM, 2, 16);

    // Mute off: nothing changes.
    ASSERT_EQ(m_Node->ProcessBuffers(&pcm, channels, 512), STATUS_SUCCESS);
    EXPECT_EQ(left[100], 0.5f);
    m_Switch->SetByte(0, 1);
    AtDispatch([&] { EXPECT_EQ(m_Node->ProcessBuffers(&pcm, channels, 300), STATUS_SUCCESS); });
    EXPECT_EQ(left[299], 0.0f);
    EXPECT_EQ(right[0], 0.0f);
    EXPECT_EQ(left[300], 0.5f); // only the frames given
    EXPECT_FALSE(std::signbit(right[5]));

    // Float blocks: frames x nBlockAlign bytes of the interleaved chunk.
    const WAVEFORMATEXTENSIBLE ieee = Format(WAVE_FORMAT_IEEE_FLOAT, 2, 32);
    std::vector<float> interleaved(20, 1.0f);
    float *chunk[1] = {interleaved.data()};
    AtDispatch([&] { EXPECT_EQ(m_Node->ProcessBuffers(&ieee, chunk, 8), STATUS_SUCCESS); });
    EXPECT_EQ(interleaved[15], 0.0f);
    EXPECT_EQ(interleaved[16], 1.0f);

    // Any other format, e.g. a compressed tag: only entry [0] of a one-entry table is touched,
    // exactly frames x nBlockAlign bytes of it (a heap table and block, so overruns show).
    const WAVEFORMATEXTENSIBLE other = Format(0x0092, 2, 16);
    std::vector<uint8_t> packed(7 * other.Format.nBlockAlign, 0x5A);
    std::vector<float *> oneEntry(1, reinterpret_cast<float *>(packed.data()));
    AtDispatch([&] { EXPECT_EQ(m_Node->ProcessBuffers(&other, oneEntry.data(), 7), STATUS_SUCCESS); });
    EXPECT_EQ(packed, std::vector<uint8_t>(packed.size(), 0));

    const WAVEFORMATEXTENSIBLE wide = Format(WAVE_FORMAT_PCM, 9, 16);
    EXPECT_EQ(m_Node->ProcessBuffers(&wide, channels, 1), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(m_Node->StreamStopped(&pcm, channels, 1), STATUS_SUCCESS);
}
