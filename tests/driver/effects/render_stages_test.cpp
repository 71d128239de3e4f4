// The chip family's render stages on PCM chunks: the hardware mute's two modes against exact values,
// and the channel swap applied to every chunk alike (the engine hands the same buffer table each time).
#include "driver/effects/render_stages.h"

#include "driver/base/pool_memory.h"
#include "support/kernel_test.h"

#include <vector>

namespace
{

class RenderStages : public KernelTest
{
};

WAVEFORMATEXTENSIBLE Pcm(USHORT channels)
{
    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    format.Format.nChannels = channels;
    return format;
}

TEST_F(RenderStages, HardwareMuteQuartersOrSilences)
{
    auto *stage = new (NonPagedPool, PoolTag::Mirk) CHardwareMuteStage(nullptr);
    stage->AddRef();
    std::vector<float> left(4, 0.8f), right(4, -0.4f);
    float *buffers[2] = {left.data(), right.data()};
    const WAVEFORMATEXTENSIBLE format = Pcm(2);
    ASSERT_EQ(stage->ProcessBuffers(&format, buffers, 4), STATUS_SUCCESS);
    EXPECT_EQ(left[0], 0.8f); // mode 0 passes
    stage->SetMode(HARDWARE_MUTE_ATTENUATE);
    ASSERT_EQ(stage->ProcessBuffers(&format, buffers, 4), STATUS_SUCCESS);
    EXPECT_EQ(left[3], 0.2f);
    EXPECT_EQ(right[3], -0.1f);
    stage->SetMode(HARDWARE_MUTE_SILENCE);
    ASSERT_EQ(stage->ProcessBuffers(&format, buffers, 4), STATUS_SUCCESS);
    EXPECT_EQ(left[0], 0.0f);
    EXPECT_EQ(right[2], 0.0f);
    stage->Release();
}

TEST_F(RenderStages, ChannelSwapSwapsEveryChunk)
{
    auto *stage = new (NonPagedPool, PoolTag::Mirk) CChannelSwapStage(nullptr);
    stage->AddRef();
    float samples[8][2];
    float *buffers[8];
    for (int ch = 0; ch < 8; ++ch)
        buffers[ch] = samples[ch];
    const WAVEFORMATEXTENSIBLE format = Pcm(8);
    for (int chunk = 0; chunk < 2; ++chunk)
    {
        for (int ch = 0; ch < 8; ++ch)
            samples[ch][0] = samples[ch][1] = float(ch + 10 * chunk);
        ASSERT_EQ(stage->ProcessBuffers(&format, buffers, 2), STATUS_SUCCESS);
        const float back = float(10 * chunk);
        EXPECT_EQ(samples[4][1], back + 6) << chunk;
        EXPECT_EQ(samples[5][0], back + 7) << chunk;
        EXPECT_EQ(samples[6][0], back + 4) << chunk;
        EXPECT_EQ(samples[7][1], back + 5) << chunk;
        EXPECT_EQ(samples[3][0], back + 3) << chunk;
        for (int ch = 0; ch < 8; ++ch)
            EXPECT_EQ(buffers[ch], samples[ch]); // the engine's table is left alone
    }
    // Six channels are not a 7.1 block.
    const WAVEFORMATEXTENSIBLE six = Pcm(6);
    samples[4][0] = 1;
    ASSERT_EQ(stage->ProcessBuffers(&six, buffers, 2), STATUS_SUCCESS);
    EXPECT_EQ(samples[4][0], 1.0f);
    stage->Release();
}

} // namespace
