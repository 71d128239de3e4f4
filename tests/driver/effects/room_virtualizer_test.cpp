// The room virtualiser against an independent reference that keeps one plain delay line per
// signal, bit for bit over 10 s per rate; the impulse's gap before the first reverb tap and its
// decay; modes, quantiser, untouched inputs and the format requests; the derived shuffler tables.
#include "driver/effects/room_virtualizer.h"

#include "effects_test_support.h"
#include "support/dsp_test_support.h"
#include "support/kernel_test.h"

#include <cmath>
#include <complex>
#include <limits>
#include <memory>
#include <random>
#include <vector>

namespace
{
using fx_test::Planes;

constexpr int32_t kCodes[] = {0, 1, 2, 16, 17};
constexpr int32_t kRates[] = {48000, 44100, 32000, 96000, 88200};

// A signal's past: x[n - k] for k >= 1, 0 before the start.
class Line
{
public:
    float Past(int32_t k) const
    {
        return k <= int32_t(m_Values.size()) ? m_Values[m_Values.size() - size_t(k)] : 0.0f;
    }
    void Push(float v)
    {
        m_Values.push_back(v);
        if (m_Values.size() > 8192)
            m_Values.erase(m_Values.begin(), m_Values.begin() + 4096);
    }

private:
    std::vector<float> m_Values;
};

// The per-sample steps written out again, every named signal formed in double left to right
// and rounded to float once, with its own line per signal.
class Reference
{
public:
    Reference(int32_t code, int32_t mode) : m_Rate(*RoomVirtualizer::Coefficients(code)), m_Mode(mode)
    {
        for (int32_t f = 0; f < 7; ++f)
            m_Taps[f] = RoomVirtualizer::ShufflerTaps(code, f, &m_Count[f]);
    }

    void Step(const float *x8, float &leftOut, float &rightOut)
    {
        float x[8] = {};
        const int used = m_Mode == 7 ? 8 : (m_Mode == 5 ? 6 : 0);
        for (int c = 0; c < used; ++c)
            x[c] = x8[c];
        float r[4];
        for (int i = 0; i < 4; ++i)
        {
            double acc = 0.0;
            for (int t = 0; t < m_Rate.tapCount[i]; ++t)
                acc += double(m_Rate.taps[i][t].weight) * m_L[i].Past(m_Rate.taps[i][t].delay);
            r[i] = float(acc);
        }
        const float A = float(double(x[0]) + x[3]), B = float(double(x[1]) + x[3]);
        const float hin[4] = {float(double(-0.551703f) * B + double(0.618946f) * x[5]),
                              float(double(0.551703f) * A + double(0.618946f) * x[4]),
                              float(double(0.329646f) * x[2] + double(0.565152f) * x[6]),
                              float(double(0.329646f) * x[2] + double(0.565152f) * x[7])};
        float h[4];
        for (int i = 0; i < 4; ++i)
            h[i] = float(double(m_Rate.b0) * hin[i] + double(m_Rate.b1) * m_Hx[i].Past(1) +
                         double(m_Rate.b0) * m_Hx[i].Past(2) + double(m_Rate.a1) * m_Hy[i].Past(1) +
                         double(m_Rate.a2) * m_Hy[i].Past(2));
        // feeds: Cv, FLv, FRv, SLv, SRv, BLv, BRv
        const float v[7] = {x[2],
                            float(double(A) + double(0.840663f) * r[3]),
                            float(double(B) + double(0.840663f) * r[0]),
                            float(double(0.820007f) * x[6]),
                            float(double(0.820007f) * x[7]),
                            float(double(0.909973f) * x[4] + r[1]),
                            float(double(0.909973f) * x[5] + r[2])};
        const float u[4] = {float(double(r[3]) + h[3]), float(double(r[0]) + h[0]),
                            float(double(r[1]) + h[1]), float(double(r[2]) + h[2])};
        const float in[7] = {v[0],
                             float(0.5 * (double(v[1]) + v[2])),
                             float(0.5 * (double(v[1]) - v[2])),
                             float(0.5 * (double(v[3]) + v[4])),
                             float(0.5 * (double(v[3]) - v[4])),
                             float(0.5 * (double(v[5]) + v[6])),
                             float(0.5 * (double(v[5]) - v[6]))};
        float y[7];
        for (int f = 0; f < 7; ++f)
        {
            double acc = 0.0;
            for (int k = 1; k <= m_Count[f]; ++k)
                acc += double(m_Taps[f][k - 1]) * m_S[f].Past(2 * k);
            y[f] = float(acc);
        }
        const float el = float(double(y[0]) + y[1] + y[2] + y[3] + y[4] + y[5] + y[6]);
        const float er = float(double(y[0]) + y[1] - y[2] + y[3] - y[4] + y[5] - y[6]);
        static constexpr float mix[4][4] = {{0.93689f, -0.152466f, -0.100342f, 0.298096f},
                                            {-0.00787354f, -0.905762f, 0.21106f, -0.367432f},
                                            {-0.0516968f, 0.0162964f, 0.882202f, 0.467712f},
                                            {-0.345642f, -0.395081f, -0.408752f, 0.746582f}};
        auto D = [&](int pos, int feed)
        {
            const float *d = m_Rate.direct[pos];
            return double(d[0]) * v[feed] + double(d[1]) * m_V[feed].Past(1) +
                   double(d[2]) * m_V[feed].Past(2);
        };
        const float left =
            float(0.5 * el + m_El.Past(1) + 0.5 * m_El.Past(2) + D(0, 0) + D(1, 1) + D(2, 3) + D(3, 5));
        const float right =
            float(0.5 * er + m_Er.Past(1) + 0.5 * m_Er.Past(2) + D(0, 0) + D(1, 2) + D(2, 4) + D(3, 6));
        for (int i = 0; i < 4; ++i)
        {
            m_L[i].Push(float(double(mix[i][0]) * u[0] + double(mix[i][1]) * u[1] + double(mix[i][2]) * u[2] +
                              double(mix[i][3]) * u[3]));
            m_Hx[i].Push(hin[i]);
            m_Hy[i].Push(h[i]);
        }
        for (int f = 0; f < 7; ++f)
        {
            m_S[f].Push(in[f]);
            m_V[f].Push(v[f]);
        }
        m_El.Push(el);
        m_Er.Push(er);
        leftOut = Quantise(left);
        rightOut = Quantise(right);
    }

    static float Quantise(float y)
    {
        const double c = std::isnan(y) ? 0.0 : std::min(std::max(double(y), -1.0), 32767.0 / 32768.0);
        return float(std::floor(32768.0 * c + 0.5) / 32768.0);
    }

private:
    RoomRateTable m_Rate;
    int32_t m_Mode;
    const float *m_Taps[7];
    int32_t m_Count[7];
    Line m_L[4], m_Hx[4], m_Hy[4], m_S[7], m_V[7], m_El, m_Er;
};

std::unique_ptr<RoomVirtualizer> Make(int32_t rate, int32_t mode)
{
    auto room = std::make_unique<RoomVirtualizer>();
    room->Init();
    room->Configure(rate, mode);
    return room;
}

TEST(RoomVirtualizer, TenSecondsOfNoiseMatchTheReferencePerRateAndMode)
{
    std::mt19937 rng(610);
    std::uniform_real_distribution<float> u(-0.7f, 0.7f);
    for (int i = 0; i < 5; ++i)
        for (int32_t mode : {5, 7})
        {
            auto room = Make(kRates[i], mode);
            Reference ref(kCodes[i], mode);
            const size_t call = 480, n = size_t(kRates[i]) * 10;
            Planes p(call);
            for (size_t done = 0; done < n; done += call)
            {
                for (auto &ch : p.data)
                    for (float &v : ch)
                        v = u(rng);
                std::vector<float> el(call), er(call);
                for (size_t k = 0; k < call; ++k)
                {
                    float x[8];
                    for (int c = 0; c < 8; ++c)
                        x[c] = p.data[c][k];
                    ref.Step(x, el[k], er[k]);
                }
                room->Render(p.ptr.data(), p.ptr.data(), int32_t(call));
                ASSERT_EQ(dsp::test::wordsOf(p.data[0]), dsp::test::wordsOf(el))
                    << kRates[i] << " mode " << mode << " at " << done;
                ASSERT_EQ(dsp::test::wordsOf(p.data[1]), dsp::test::wordsOf(er))
                    << kRates[i] << " mode " << mode << " at " << done;
            }
            EXPECT_EQ(room->CurrentCode(), kCodes[i]);
        }
}

TEST(RoomVirtualizer, AnImpulseWaitsForTheFirstReverbTapThenDecays)
{
    auto room = Make(48000, 7);
    const int32_t n = 48000 * 2;
    Planes p(size_t(n), 8);
    p.data[0][0] = 0.5f;
    Planes out(size_t(n), 2);
    room->Render(p.ptr.data(), out.ptr.data(), n);
    double early = 0.0, late = 0.0;
    for (int32_t i = 0; i < n; ++i)
    {
        const double e = double(out.data[0][i]) * out.data[0][i] + double(out.data[1][i]) * out.data[1][i];
        if (i >= 43 && i < 600)
        {
            ASSERT_EQ(e, 0.0) << i; // past the direct and shuffler span, before L1's first tap
        }
        if (i < 4800)
            early += e;
        if (i >= 48000)
            late += e;
        ASSERT_EQ(out.data[0][i] * 32768.0f, std::round(out.data[0][i] * 32768.0f));
    }
    EXPECT_NE(out.data[1][600], 0.0f);
    EXPECT_GT(early, 0.0);
    EXPECT_LT(late, early * 1e-6);
}

TEST(RoomVirtualizer, ModesReadOnlyTheirChannelsAndNeverTouchTheInputs)
{
    std::mt19937 rng(5);
    std::uniform_real_distribution<float> u(-0.5f, 0.5f);
    Planes in(4800);
    for (auto &ch : in.data)
        for (float &v : ch)
            v = u(rng);
    Planes silentSides = in;
    std::fill(silentSides.data[6].begin(), silentSides.data[6].end(), 0.0f);
    std::fill(silentSides.data[7].begin(), silentSides.data[7].end(), 0.0f);
    Planes five(4800, 2), seven(4800, 2);
    Make(48000, 5)->Render(in.ptr.data(), five.ptr.data(), 4800);
    Make(48000, 7)->Render(silentSides.ptr.data(), seven.ptr.data(), 4800);
    EXPECT_EQ(five.data, seven.data);

    for (int32_t mode : {0, 1, 2, 3, 4, 6})
    {
        Planes p = in;
        auto room = Make(48000, mode);
        room->Render(p.ptr.data(), p.ptr.data(), 4800);
        EXPECT_EQ(p.data[0], std::vector<float>(4800, 0.0f)) << mode;
        EXPECT_EQ(p.data[1], std::vector<float>(4800, 0.0f)) << mode;
    }
    // In place, as the pipe calls it: channels 2..7 come back bit for bit.
    Planes p = in;
    Make(44100, 7)->Render(p.ptr.data(), p.ptr.data(), 4800);
    for (int c = 2; c < 8; ++c)
        EXPECT_EQ(dsp::test::wordsOf(p.data[c]), dsp::test::wordsOf(in.data[c])) << c;
}

TEST(RoomVirtualizer, QuantiserClampsRoundsHalfUpAndZeroesNaN)
{
    auto q = [](float y) { return int16_t(uint16_t(RoomVirtualizer::ToSample16(y) & 0xFFFF)); };
    EXPECT_EQ(q(1.0f), 32767);
    EXPECT_EQ(q(1e30f), 32767);
    EXPECT_EQ(q(std::numeric_limits<float>::infinity()), 32767);
    EXPECT_EQ(q(-1.0f), -32768);
    EXPECT_EQ(q(-7.0f), -32768);
    EXPECT_EQ(q(std::numeric_limits<float>::quiet_NaN()), 0);
    // The unmasked word too: a NaN converted as it stands also masks to 0 on x86.
    EXPECT_EQ(RoomVirtualizer::ToSample16(std::numeric_limits<float>::quiet_NaN()), 65536);
    EXPECT_EQ(q(0.5f / 32768.0f), 1); // halves round up
    EXPECT_EQ(q(-0.5f / 32768.0f), 0);
    EXPECT_EQ(q(-1.5f / 32768.0f), -1);
    // Just below a half: a float sum 65536.5 + 32768 y would round up across it.
    EXPECT_EQ(q(std::nextafter(0.25f + 0.5f / 32768.0f, 0.0f)), 8192);
    EXPECT_EQ(q(0.25f + 0.5f / 32768.0f), 8193);
    auto room = Make(48000, 7);
    Planes p(256, 8);
    for (float &v : p.data[2])
        v = 100.0f; // the centre drives both sides far past full scale
    room->Render(p.ptr.data(), p.ptr.data(), 256);
    EXPECT_EQ(p.data[0][10], 32767.0f / 32768.0f);
    for (float &v : p.data[2])
        v = -100.0f;
    room->Render(p.ptr.data(), p.ptr.data(), 256);
    EXPECT_EQ(p.data[1][200], -1.0f);
}

TEST(RoomVirtualizer, FormatRequestsApplyAtTheNextRender)
{
    auto room = Make(22050, 7);
    EXPECT_TRUE(room->FormatPending());
    Planes p(64, 8, 0.25f);
    room->Render(p.ptr.data(), p.ptr.data(), 0); // count 0 still applies it
    EXPECT_EQ(room->CurrentCode(), 1);
    EXPECT_EQ(room->MemoryLength(), 3307);
    room->Render(p.ptr.data(), p.ptr.data(), 64);
    room->Configure(44100, 8); // mode 8: dropped, the old format stays
    room->Render(p.ptr.data(), p.ptr.data(), 0);
    EXPECT_FALSE(room->FormatPending());
    EXPECT_EQ(room->CurrentMode(), 7);
    room->Configure(96000, 7); // a new format starts from a cleared memory
    Planes silent(64, 8);
    room->Render(silent.ptr.data(), silent.ptr.data(), 64);
    EXPECT_EQ(room->MemoryLength(), 7155);
    EXPECT_EQ(silent.data[0], std::vector<float>(64, 0.0f));
    room->Render(p.ptr.data(), p.ptr.data(), 64);
    room->ClearHistory();
    room->Render(silent.ptr.data(), silent.ptr.data(), 64);
    EXPECT_EQ(silent.data[1], std::vector<float>(64, 0.0f));
}

std::complex<double> Response(const float *taps, int32_t n, double f, double rate)
{
    std::complex<double> h = 0.0;
    for (int32_t j = 1; j <= n; ++j)
        h += double(taps[j - 1]) * std::polar(1.0, -2.0 * M_PI * f * 2.0 * j / rate);
    return h;
}

TEST(RoomVirtualizer, DerivedShufflersKeepTheDesignsResponse)
{
    for (int32_t f = 0; f < RoomVirtualizer::SHUFFLERS; ++f)
    {
        int32_t n48 = 0, n96 = 0;
        const float *h48 = RoomVirtualizer::ShufflerTaps(0, f, &n48);
        const float *h96 = RoomVirtualizer::ShufflerTaps(16, f, &n96);
        double peak48 = 0.0;
        for (double hz = 0.0; hz <= 24000.0; hz += 50.0)
        {
            const std::complex<double> a = Response(h48, n48, hz, 48000.0);
            EXPECT_LT(std::abs(Response(h96, n96, hz, 96000.0) - a), 1e-6) << f << " " << hz;
            peak48 = std::max(peak48, std::abs(a));
        }
        for (int i : {1, 2, 4})
        {
            int32_t n = 0;
            const float *h = RoomVirtualizer::ShufflerTaps(kCodes[i], f, &n);
            double peak = 0.0;
            for (double hz = 0.0; hz <= kRates[i] / 2.0; hz += 50.0)
                peak = std::max(peak, std::abs(Response(h, n, hz, kRates[i])));
            EXPECT_LT(20.0 * std::log10(peak / peak48), 4.0) << kRates[i] << " filter " << f;
        }
    }
}

} // namespace

// The render path runs at DISPATCH_LEVEL: ten seconds of either mode, in the stream's 480-frame
// calls, must not touch the pool or the heap.
class RoomVirtualizerStreaming : public KernelTest
{
};

TEST_F(RoomVirtualizerStreaming, TenSecondsAllocateNothing)
{
    for (int32_t mode : {5, 7})
    {
        auto room = Make(48000, mode);
        Planes p(480);
        for (auto &ch : p.data)
            for (size_t k = 0; k < ch.size(); ++k)
                ch[k] = float(std::sin(0.01 * double(k)));
        const size_t pool = sim::Allocations();
        dsp::test::AllocationCounter count;
        for (int call = 0; call < 1000; ++call)
            room->Render(p.ptr.data(), p.ptr.data(), 480);
        EXPECT_EQ(sim::Allocations(), pool) << mode;
        EXPECT_EQ(count.allocations(), 0) << mode;
    }
}
