// The speaker panner: placement on the speaker circle, distance gains and their cap, constant
// power between two speakers, the crossfade block, the 128-sample limit of a pass and the
// entry's cutting, and refused indices.
#include "driver/effects/chain_adapters.h"

#include "effects_test_support.h"
#include "support/dsp_test_support.h"
#include "support/kernel_test.h"

#include <cmath>
#include <limits>
#include <memory>

namespace
{
using fx_test::Planes;
constexpr int32_t kFC = 4, kFL = 0, kFR = 1;

class Panner : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        m_Eq = std::make_unique<ParamEngine>();
        ASSERT_TRUE(m_Eq->AllocateBuffers());
    }
    void TearDown() override
    {
        m_Eq.reset();
        KernelTest::TearDown();
    }
    std::unique_ptr<ParamEngine> m_Eq;
};

TEST_F(Panner, PlacesSourcesOnTheCircleWithTheDistanceGain)
{
    ASSERT_TRUE(EqSetBand(m_Eq.get(), 0, 30.0f, 0.0f));
    SpeakerPanner::Routing r = m_Eq->Current(0);
    EXPECT_EQ(r.first, kFC);
    EXPECT_EQ(r.second, kFC);
    EXPECT_EQ(r.firstGain, 1.0f);
    EXPECT_EQ(r.secondGain, 1e-12f);
    ASSERT_TRUE(EqSetBand(m_Eq.get(), 0, 10.0f, 0.0f));
    EXPECT_EQ(m_Eq->Current(0).firstGain, 2.37f);        // (30/10)^2 = 9, capped
    ASSERT_TRUE(EqSetBand(m_Eq.get(), 1, 30.0f, 15.0f)); // halfway between FC and FR
    r = m_Eq->Current(1);
    EXPECT_EQ(r.first, kFC);
    EXPECT_EQ(r.second, kFR);
    EXPECT_NEAR(r.firstGain, std::sqrt(0.5), 4e-5);
    EXPECT_NEAR(r.secondGain, std::sqrt(0.5), 4e-5);
    ASSERT_TRUE(EqSetBand(m_Eq.get(), 2, 20.0f, 190.0f));
    ASSERT_TRUE(EqSetBand(m_Eq.get(), 3, 20.0f, -170.0f));
    const auto a = m_Eq->Current(2), b = m_Eq->Current(3);
    EXPECT_EQ(a.first, b.first);
    EXPECT_EQ(a.second, b.second);
    EXPECT_EQ(a.firstGain, b.firstGain);
    EXPECT_EQ(a.secondGain, b.secondGain);
    float first = 0, second = 0;
    ASSERT_TRUE(EqGetBand(m_Eq.get(), 2, &first, &second));
    EXPECT_EQ(first, 20.0f);
    EXPECT_EQ(second, 190.0f);
    // A distance that is no distance takes the cap, never an inverted or undefined gain.
    for (float d :
         {0.0f, -5.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()})
    {
        ASSERT_TRUE(EqSetBand(m_Eq.get(), 4, d, 0.0f));
        EXPECT_EQ(m_Eq->Current(4).firstGain, 2.37f) << d;
        ASSERT_TRUE(EqSetBand(m_Eq.get(), 7, d, 0.0f));
        EXPECT_EQ(m_Eq->LfeGain(), 2.37f) << d;
    }
}

TEST_F(Panner, PowerIsConstantAroundTheCircle)
{
    for (float d : {5.0f, 17.0f, 30.0f, 64.0f, 200.0f})
    {
        const double g = std::min(std::pow(30.0 / d, 2.0), 2.37);
        for (int tenth = -1800; tenth <= 1800; ++tenth)
        {
            ASSERT_TRUE(m_Eq->SetSource(0, d, float(tenth) / 10.0f));
            const auto r = m_Eq->Current(0);
            const double p = double(r.firstGain) * r.firstGain + double(r.secondGain) * r.secondGain;
            ASSERT_NEAR(p, g * g, 1e-3 * g * g) << d << " " << tenth;
        }
    }
}

TEST_F(Panner, RefusedIndicesChangeNothing)
{
    ASSERT_TRUE(EqSetBand(m_Eq.get(), 0, 12.0f, 40.0f));
    const auto before = m_Eq->Current(0);
    const float lfe = m_Eq->LfeGain();
    for (int32_t band : {-1, 8, INT32_MIN, INT32_MAX})
        EXPECT_FALSE(EqSetBand(m_Eq.get(), band, 1.0f, 1.0f)) << band;
    EXPECT_FALSE(EqSetBand(m_Eq.get(), 0, 1.0f, std::numeric_limits<float>::quiet_NaN()));
    const auto after = m_Eq->Current(0);
    EXPECT_EQ(after.first, before.first);
    EXPECT_EQ(after.firstGain, before.firstGain);
    EXPECT_EQ(m_Eq->LfeGain(), lfe);
    float first = 7, second = 9;
    EXPECT_FALSE(EqGetBand(m_Eq.get(), -1, &first, &second));
    EXPECT_FALSE(EqGetBand(m_Eq.get(), 8, &first, &second));
    EXPECT_EQ(first, 7.0f);
    EXPECT_EQ(second, 9.0f);
    EXPECT_TRUE(EqGetBand(m_Eq.get(), 7, &first, &second)); // the LFE's pair is kept too
}

TEST_F(Panner, TheDirtyBlockCrossfadesLinearly)
{
    Planes p(128);
    auto fill = [&]
    {
        for (auto &ch : p.data)
            std::fill(ch.begin(), ch.end(), 0.0f);
        std::fill(p.data[0].begin(), p.data[0].end(), 1.0f); // FL only
    };
    fill();
    EqProcess(m_Eq.get(), p.ptr.data(), p.ptr.data(), 128); // settles the start-up routing
    ASSERT_TRUE(m_Eq->SetSource(kFL, 30.0f, 30.0f));        // FL's source moves onto FR
    fill();
    EqProcess(m_Eq.get(), p.ptr.data(), p.ptr.data(), 128);
    for (int n = 1; n < 128; ++n)
    {
        EXPECT_NEAR(p.data[0][n], 1.0 - n / 128.0, 1e-6) << n;
        EXPECT_NEAR(p.data[1][n], n / 128.0, 1e-6) << n;
    }
    fill();
    EqProcess(m_Eq.get(), p.ptr.data(), p.ptr.data(), 128);
    EXPECT_NEAR(p.data[1][64], 1.0, 1e-6);
    EXPECT_NEAR(p.data[0][64], 0.0, 1e-6);
}

TEST_F(Panner, PassesAreAtMost128AndTheEntryCutsLongerBuffers)
{
    dsp::test::F32Source src(11);
    Planes in(200);
    for (auto &ch : in.data)
        for (float &v : ch)
            v = src.uniform(-1, 1);
    ASSERT_TRUE(m_Eq->SetSource(3, 20.0f, 77.0f));
    ParamEngine other;
    ASSERT_TRUE(other.AllocateBuffers());
    ASSERT_TRUE(other.SetSource(3, 20.0f, 77.0f));

    // A pass over more than 128 samples does nothing.
    Planes slots = in;
    const Planes untouched = slots;
    other.Process(slots.ptr.data(), slots.ptr.data(), 129);
    EXPECT_EQ(slots.data, untouched.data);

    Planes whole = in;
    EqProcess(m_Eq.get(), whole.ptr.data(), whole.ptr.data(), 200);
    // The same through 128 + 72 sample passes over slot-ordered copies.
    const int slotChannel[8] = {0, 1, 4, 5, 2, 6, 7, 3};
    Planes bySlot(200);
    for (int k = 0; k < 8; ++k)
        bySlot.data[k] = in.data[slotChannel[k]];
    bySlot.Point();
    other.Process(bySlot.ptr.data(), bySlot.ptr.data(), 128);
    auto rest = bySlot.At(128);
    other.Process(rest.data(), rest.data(), 72);
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(dsp::test::wordsOf(whole.data[slotChannel[k]]), dsp::test::wordsOf(bySlot.data[k])) << k;
}

TEST_F(Panner, EachFailedBufferLeavesNothingAndStreamingAllocatesNothing)
{
    for (int k = 1; k <= SpeakerPanner::WORK_BUFFERS; ++k)
    {
        dsp::test::ScopedAllocHooks pool;
        ParamEngine e;
        pool.failNth(k);
        EXPECT_FALSE(e.AllocateBuffers()) << k;
        EXPECT_TRUE(pool.balanced()) << k;
        Planes p(64, 8, 0.5f);
        EqProcess(&e, p.ptr.data(), p.ptr.data(), 64);
        EXPECT_EQ(p.data[0][0], 0.5f);
    }
    Planes p(480, 8, 0.25f);
    const size_t pool = sim::Allocations();
    dsp::test::AllocationCounter count;
    for (int call = 0; call < 1000; ++call)
        EqProcess(m_Eq.get(), p.ptr.data(), p.ptr.data(), 480);
    EXPECT_EQ(sim::Allocations(), pool);
    EXPECT_EQ(count.allocations(), 0);
}

} // namespace
