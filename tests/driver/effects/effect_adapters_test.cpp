// The adapters under the callers' names, and 10^5 random calls of every setter a property
// request can reach, with arbitrary floats and integers, each followed by processing: no crash,
// finite outputs, and a refused call changes nothing.
#include "driver/effects/chain_adapters.h"
#include "driver/effects/fast_math.h"

#include "effects_test_support.h"
#include "support/dsp_test_support.h"
#include "support/kernel_test.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <random>

namespace
{
using fx_test::FloatFormat;
using fx_test::Planes;

class Adapters : public KernelTest
{
protected:
    void TearDown() override
    {
        m_Chain.reset();
        m_Eq.reset();
        m_Hrtf.reset();
        KernelTest::TearDown();
    }
    std::unique_ptr<DspChain> m_Chain = std::make_unique<DspChain>();
    std::unique_ptr<ParamEngine> m_Eq = std::make_unique<ParamEngine>();
    std::unique_ptr<HrtfEngine> m_Hrtf = std::make_unique<HrtfEngine>();
    std::unique_ptr<DelayState> m_Room = std::make_unique<DelayState>();
};

TEST_F(Adapters, CallersNamesReachTheirBlocks)
{
    m_Room->Init();
    m_Room->SetFormat(32000, 1);
    Planes p(16, 8, 0.25f);
    EffectProcess(m_Room.get(), p.ptr.data(), p.ptr.data(), 0);
    EXPECT_EQ(m_Room->CurrentCode(), 2);
    EXPECT_EQ(m_Room->CurrentMode(), 1);
    m_Room->Destroy();

    EqSecondStage(m_Hrtf.get(), p.ptr.data(), 16); // no engine yet: untouched
    EXPECT_EQ(p.data[0][3], 0.25f);
    ASSERT_TRUE(m_Hrtf->CreateFilter());
    m_Hrtf->SetSecondWord(44100);
    EXPECT_TRUE(m_Hrtf->Recompute());
    EXPECT_EQ(m_Hrtf->SampleRate(), 44100);
    m_Hrtf->SetSecondWord(0xFFFFFFFFu);
    EXPECT_FALSE(m_Hrtf->Recompute());
    EXPECT_EQ(m_Hrtf->SampleRate(), 44100);
    EqSecondStage(m_Hrtf.get(), p.ptr.data(), 16);
    EXPECT_NE(p.data[0][15], 0.25f);

    ASSERT_TRUE(m_Eq->AllocateBuffers());
    const float first[8] = {30, 30, 30, 30, 30, 30, 30, 30};
    const float second[8] = {-30, 30, -150, 150, 0, -100, 100, 0};
    EXPECT_TRUE(m_Eq->ApplyBands(first, second));
    float d = 0, a = 0;
    EXPECT_TRUE(EqGetBand(m_Eq.get(), 5, &d, &a));
    EXPECT_EQ(a, -100.0f);
}

TEST_F(Adapters, RandomSetterCallsKeepEveryBlockSafeAndFinite)
{
    ASSERT_TRUE(DspChainInit(m_Chain.get()));
    const WAVEFORMATEXTENSIBLE f = FloatFormat(8, 48000);
    DspChainSetFormat(m_Chain.get(), &f);
    ASSERT_TRUE(m_Eq->AllocateBuffers());
    ASSERT_TRUE(m_Hrtf->CreateFilter());
    m_Room->Init();
    m_Room->SetFormat(48000, 7);

    dsp::test::F32Source any(2026);
    std::mt19937 &rng = any.engine();
    std::uniform_real_distribution<float> audio(-1.0f, 1.0f);
    auto anyInt = [&]
    {
        switch (rng() % 4)
        {
        case 0:
            return int32_t(rng() % 12) - 2;
        case 1:
            return int32_t(rng());
        case 2:
            return int32_t(rng() % 200000);
        default:
            return int32_t(rng() % 10);
        }
    };
    Planes p(37);
    for (int call = 0; call < 100000; ++call)
    {
        for (auto &ch : p.data)
            for (float &v : ch)
                v = audio(rng);
        const float x = any.next(), y = any.next();
        const int32_t i = anyInt();
        switch (call % 10)
        {
        case 0:
        case 1:
        {
            SpeakerPanner::Routing before[7];
            for (int s = 0; s < 7; ++s)
                before[s] = m_Eq->Current(s);
            const float lfe = m_Eq->LfeGain();
            const bool ok = call % 10 ? m_Eq->SetSource(i, x, y) : EqSetBand(m_Eq.get(), i, x, y);
            if (!ok)
            {
                for (int s = 0; s < 7; ++s)
                {
                    const SpeakerPanner::Routing now = m_Eq->Current(s);
                    ASSERT_TRUE(now.first == before[s].first && now.second == before[s].second &&
                                now.firstGain == before[s].firstGain &&
                                now.secondGain == before[s].secondGain);
                }
                ASSERT_EQ(m_Eq->LfeGain(), lfe);
            }
            EqProcess(m_Eq.get(), p.ptr.data(), p.ptr.data(), 37);
            break;
        }
        case 2:
            if (!m_Hrtf->SetPosition(i, x, y))
            {
                ASSERT_TRUE(i < 0 || i > 7 || !std::isfinite(x));
            }
            EqSecondStage(m_Hrtf.get(), p.ptr.data(), 37);
            break;
        case 3:
            m_Hrtf->SetSecondWord(uint32_t(i));
            if (!m_Hrtf->Recompute())
            {
                ASSERT_TRUE(i != 44100 && i != 48000);
            }
            EqSecondStage(m_Hrtf.get(), p.ptr.data(), 37);
            break;
        case 4:
        {
            const float ceiling = m_Chain->m_Limiter.Ceiling();
            if (!DspChainSetMasterGain(m_Chain.get(), x))
            {
                ASSERT_EQ(m_Chain->m_Limiter.Ceiling(), ceiling);
            }
            DspChainProcess(m_Chain.get(), p.ptr.data(), 37);
            break;
        }
        case 5:
        {
            const float gain = m_Chain->m_Limiter.Gain(0);
            if (!DspChainSetGains(m_Chain.get(), x))
            {
                ASSERT_EQ(m_Chain->m_Limiter.Gain(0), gain);
            }
            DspChainProcess(m_Chain.get(), p.ptr.data(), 37);
            break;
        }
        case 6:
            DspChainSetMode(m_Chain.get(), i);
            DspChainProcess(m_Chain.get(), p.ptr.data(), 37);
            break;
        case 7:
            m_Room->SetFormat(i, anyInt());
            EffectProcess(m_Room.get(), p.ptr.data(), p.ptr.data(), 37);
            ASSERT_TRUE(m_Room->CurrentMode() >= 0 && m_Room->CurrentMode() <= 7);
            break;
        case 8:
            ASSERT_TRUE(std::isfinite(tablePower(x, y)));
            ASSERT_TRUE(std::isfinite(tablePower(call % 20 ? 10.0f : 2.0f, y)));
            break;
        case 9:
        {
            const int32_t in = int32_t(rng() % 12) - 2, out = int32_t(rng() % 12) - 2;
            const int32_t samples = int32_t(rng() % 40) - 2;
            std::array<float *, 12> ptr = p.ptr; // the effects get at most 8 buffers
            const int32_t got =
                ConvertChannels(ptr.data(), in, out, std::min(samples, 37), int32_t(rng() % 2));
            ASSERT_TRUE(got == in || got == out);
            break;
        }
        }
        for (int c = 0; c < 8; ++c)
            for (float v : p.data[c])
                ASSERT_TRUE(std::isfinite(v)) << "call " << call << " channel " << c;
    }
}

} // namespace
