// IIR filtering against a double direct-form recursion over the record's normalised taps:
// designed Butterworth low-passes, impulse and free responses, block splitting, the biquad
// cascade, argument checks and NaN propagation.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "support/dsp_test_support.h"
#include "dsp/filters/iir.h"

namespace
{

using namespace dsp;
using namespace dsp::generic;

using Poly = std::vector<double>;

Poly multiply(const Poly &p, const Poly &q)
{
    Poly r(p.size() + q.size() - 1, 0.0);
    for (size_t i = 0; i < p.size(); ++i)
        for (size_t j = 0; j < q.size(); ++j)
            r[i + j] += p[i] * q[j];
    return r;
}

// Third-order Butterworth low-pass by the bilinear transform with pre-warping: the analog
// 1 / (p^3 + 2p^2 + 2p + 1) with p = c (1 - z^-1) / (1 + z^-1), c = 1 / tan(pi fc / fs).
// Taps b0..b3, a0..a3, with a0 left unnormalised.
std::vector<float> butterworth3(double cutoffOverFs)
{
    const double c = 1.0 / std::tan(std::numbers::pi * cutoffOverFs);
    const Poly u = {1.0, -1.0}, v = {1.0, 1.0};
    const Poly u2 = multiply(u, u), v2 = multiply(v, v);
    const Poly u3 = multiply(u2, u), v3 = multiply(v2, v);
    const Poly u2v = multiply(u2, v), uv2 = multiply(u, v2);
    std::vector<float> taps(8);
    for (int k = 0; k < 4; ++k)
    {
        taps[k] = static_cast<float>(v3[k]);
        taps[4 + k] = static_cast<float>(c * c * c * u3[k] + 2 * c * c * u2v[k] + 2 * c * uv2[k] + v3[k]);
    }
    return taps;
}

// y[n] = sum b'k x[n-k] - sum a'k y[n-k] in double, from the record's stored taps.
std::vector<double> directForm(const IirState *st, const std::vector<float> &x)
{
    const auto *t = reinterpret_cast<const float *>(reinterpret_cast<const unsigned char *>(st) + st->taps);
    const int n = st->order;
    std::vector<double> y(x.size());
    for (size_t i = 0; i < x.size(); ++i)
    {
        double acc = 0.0;
        for (int k = 0; k <= n && static_cast<size_t>(k) <= i; ++k)
            acc += double{t[k]} * x[i - k];
        for (int k = 1; k <= n && static_cast<size_t>(k) <= i; ++k)
            acc -= double{t[n + k]} * y[i - k];
        y[i] = acc;
    }
    return y;
}

std::vector<float> noise(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float &s : v)
        s = u(rng);
    return v;
}

double peak(const std::vector<double> &v)
{
    double p = 0.0;
    for (double s : v)
        p = std::max(p, std::fabs(s));
    return p;
}

// Largest deviation relative to the reference's peak.
double relativeError(const std::vector<float> &got, const std::vector<double> &ref)
{
    double e = 0.0;
    for (size_t i = 0; i < ref.size(); ++i)
        e = std::max(e, std::fabs(got[i] - ref[i]));
    return e / peak(ref);
}

// A record in its own aligned storage.
struct Record
{
    alignas(16) unsigned char buf[512];
    IirState *st = nullptr;
    Record(const std::vector<float> &taps, int order, const float *delay = nullptr)
    {
        EXPECT_EQ(iirInit(&st, taps.data(), order, delay, buf), kOk);
    }
    float *delay() { return reinterpret_cast<float *>(reinterpret_cast<unsigned char *>(st) + st->delay); }
};

TEST(IirFilter, ButterworthLowPassesAgainstDirectForm)
{
    const std::vector<float> x = noise(10000, 7);
    for (double fc : {1.0 / 4.0, 1.0 / 6.0})
    {
        Record r(butterworth3(fc), 3);
        const std::vector<double> ref = directForm(r.st, x);
        std::vector<float> y(x.size());
        ASSERT_EQ(iirFilterF32(x.data(), y.data(), static_cast<int32_t>(x.size()), r.st), kOk);
        EXPECT_LT(relativeError(y, ref), 1e-5) << fc;
        // The same through the in-place entry, from rest again.
        Record again(butterworth3(fc), 3);
        std::vector<float> inPlace = x;
        ASSERT_EQ(iirFilterInPlace(inPlace.data(), static_cast<int32_t>(x.size()), again.st), kOk);
        EXPECT_LT(relativeError(inPlace, ref), 1e-5) << fc;
    }
}

TEST(IirFilter, OrdersOneToFiveAndOddLengths)
{
    for (int order = 1; order <= 5; ++order)
    {
        std::vector<float> taps(2 * (order + 1));
        for (int k = 0; k <= order; ++k)
            taps[k] = 0.3f / static_cast<float>(k + 1);
        taps[order + 1] = 1.25f;
        for (int k = 1; k <= order; ++k)
            taps[order + 1 + k] = (k % 2 ? -0.4f : 0.2f) / static_cast<float>(k);
        for (size_t len : {1u, 2u, 3u, 1001u})
        {
            Record r(taps, order);
            const std::vector<float> x = noise(len, 11);
            const std::vector<double> ref = directForm(r.st, x);
            std::vector<float> y(len);
            ASSERT_EQ(iirFilterF32(x.data(), y.data(), static_cast<int32_t>(len), r.st), kOk);
            EXPECT_LT(relativeError(y, ref), 1e-5) << "order " << order << " len " << len;
        }
    }
}

TEST(IirFilter, ImpulseFreeResponseAndSingleStep)
{
    Record r(butterworth3(1.0 / 6.0), 3);
    const auto *t =
        reinterpret_cast<const float *>(reinterpret_cast<const unsigned char *>(r.st) + r.st->taps);
    std::vector<float> impulse(64, 0.0f), y(64);
    impulse[0] = 1.0f;
    ASSERT_EQ(iirFilterF32(impulse.data(), y.data(), 64, r.st), kOk);
    EXPECT_F32_SAME(t[0], y[0]);
    EXPECT_F32_ULPS(static_cast<float>(double{t[1]} - double{t[4]} * t[0]), y[1], 1);

    // Zero input after a given delay line: the free response starts with z0.
    const float z[] = {0.375f, -0.25f, 0.125f};
    Record f(butterworth3(1.0 / 4.0), 3, z);
    std::vector<float> zeros(16, 0.0f), out(16);
    ASSERT_EQ(iirFilterF32(zeros.data(), out.data(), 16, f.st), kOk);
    EXPECT_F32_SAME(0.375f, out[0]);

    // One sample with N >= 2 takes the single step: z(N-1) = b'N x - a'N y, zN stays +0.0.
    Record s(butterworth3(1.0 / 4.0), 3);
    const auto *ts =
        reinterpret_cast<const float *>(reinterpret_cast<const unsigned char *>(s.st) + s.st->taps);
    float one = 1.0f, y0 = 0.0f;
    ASSERT_EQ(iirFilterF32(&one, &y0, 1, s.st), kOk);
    EXPECT_F32_SAME(ts[0], y0);
    EXPECT_F32_ULPS(static_cast<float>(double{ts[3]} - double{ts[6]} * ts[0]), s.delay()[2], 1);
    EXPECT_F32_BITS(0u, s.delay()[3]);
}

TEST(IirFilter, BlocksOfAnyLengthMatchOneCall)
{
    const std::vector<float> x = noise(10000, 3);
    Record whole(butterworth3(1.0 / 6.0), 3);
    std::vector<float> one(x.size());
    ASSERT_EQ(iirFilterF32(x.data(), one.data(), static_cast<int32_t>(x.size()), whole.st), kOk);

    Record pieces(butterworth3(1.0 / 6.0), 3);
    std::vector<float> split(x.size());
    const int32_t lengths[] = {1, 7, 64, 1025, 2, 333};
    size_t at = 0;
    for (int i = 0; at < x.size(); ++i)
    {
        const auto n = static_cast<int32_t>(std::min<size_t>(lengths[i % 6], x.size() - at));
        ASSERT_EQ(iirFilterF32(x.data() + at, split.data() + at, n, pieces.st), kOk);
        at += static_cast<size_t>(n);
    }
    std::vector<double> ref(one.begin(), one.end());
    EXPECT_LT(relativeError(split, ref), 1e-5);
}

// A caller-filled cascade of two sections against two order-2 transfer functions in series.
TEST(IirFilter, BiquadCascadeMatchesSeriesOfOrderTwoFilters)
{
    const float s1[] = {0.2f, 0.4f, 0.2f, -0.5f, 0.25f};
    const float s2[] = {0.3f, -0.1f, 0.05f, 0.3f, 0.1f};

    alignas(16) unsigned char buf[48 + 40 + 16];
    std::memset(buf, 0, sizeof buf);
    auto *cascade = reinterpret_cast<IirState *>(buf);
    cascade->tag = kIirTagBiquad;
    cascade->order = 4;
    cascade->sections = 2;
    cascade->taps = 48;
    cascade->delay = 48 + 40;
    std::memcpy(buf + 48, s1, sizeof s1);
    std::memcpy(buf + 48 + 20, s2, sizeof s2);

    Record first({s1[0], s1[1], s1[2], 1.0f, s1[3], s1[4]}, 2);
    Record second({s2[0], s2[1], s2[2], 1.0f, s2[3], s2[4]}, 2);

    const std::vector<float> x = noise(4096, 5);
    std::vector<float> mid(x.size()), series(x.size()), y(x.size());
    ASSERT_EQ(iirFilterF32(x.data(), mid.data(), 4096, first.st), kOk);
    ASSERT_EQ(iirFilterF32(mid.data(), series.data(), 4096, second.st), kOk);
    // Half through the out-of-place entry, the rest in place.
    ASSERT_EQ(iirFilterF32(x.data(), y.data(), 2000, cascade), kOk);
    std::copy(x.begin() + 2000, x.end(), y.begin() + 2000);
    ASSERT_EQ(iirFilterInPlace(y.data() + 2000, 2096, cascade), kOk);
    std::vector<double> ref(series.begin(), series.end());
    EXPECT_LT(relativeError(y, ref), 1e-5);
}

TEST(IirFilter, ChecksComeFirstAndWriteNothing)
{
    Record r(butterworth3(1.0 / 4.0), 3);
    const std::vector<float> x = noise(8, 1);
    std::vector<float> y(8, 42.0f);
    const std::vector<float> untouched = y;

    EXPECT_EQ(iirFilterF32(x.data(), y.data(), 0, nullptr), kErrNullPointer); // before len
    EXPECT_EQ(iirFilterF32(nullptr, y.data(), 8, r.st), kErrNullPointer);
    EXPECT_EQ(iirFilterF32(x.data(), nullptr, 8, r.st), kErrNullPointer);
    EXPECT_EQ(iirFilterF32(x.data(), y.data(), 0, r.st), kErrBadLength);
    EXPECT_EQ(iirFilterF32(x.data(), y.data(), -1, r.st), kErrBadLength);
    EXPECT_EQ(iirFilterInPlace(y.data(), 0, nullptr), kErrNullPointer);
    EXPECT_EQ(iirFilterInPlace(nullptr, 8, r.st), kErrNullPointer);
    EXPECT_EQ(iirFilterInPlace(y.data(), 0, r.st), kErrBadLength);
    EXPECT_EQ(y, untouched);

    // A record of another kind, or one never initialised: -17 and the samples untouched.
    alignas(16) unsigned char other[128] = {};
    auto *foreign = reinterpret_cast<IirState *>(other);
    foreign->tag = 0x46493031; // "FI01"
    foreign->order = 3;
    foreign->taps = 48;
    foreign->delay = 80;
    EXPECT_EQ(iirFilterF32(x.data(), y.data(), 8, foreign), kErrBadTag);
    EXPECT_EQ(iirFilterInPlace(y.data(), 8, foreign), kErrBadTag);
    // A cascade header that cannot be run: odd order (half a section), or no arrays.
    foreign->tag = kIirTagBiquad;
    foreign->order = 3;
    EXPECT_EQ(iirFilterInPlace(y.data(), 8, foreign), kErrBadTag);
    foreign->order = 2;
    foreign->taps = 0;
    EXPECT_EQ(iirFilterF32(x.data(), y.data(), 8, foreign), kErrBadTag);
    foreign->tag = kIirTagTransfer;
    foreign->taps = 48;
    foreign->order = 0;
    EXPECT_EQ(iirFilterF32(x.data(), y.data(), 8, foreign), kErrBadTag);
    EXPECT_EQ(y, untouched);
}

TEST(IirFilter, NaNPropagatesAndStaysInTheDelayLine)
{
    Record r(butterworth3(1.0 / 6.0), 3);
    std::vector<float> x = noise(300, 9), y(300);
    x[101] = std::bit_cast<float>(0x7FC00000u);
    ASSERT_EQ(iirFilterF32(x.data(), y.data(), 300, r.st), kOk);
    for (int i = 0; i < 101; ++i)
        ASSERT_FALSE(std::isnan(y[i])) << i;
    for (int i = 101; i < 300; ++i)
        ASSERT_TRUE(std::isnan(y[i])) << i;
    // Kept until the record is initialised again.
    std::vector<float> clean = noise(10, 10), later(10);
    ASSERT_EQ(iirFilterF32(clean.data(), later.data(), 10, r.st), kOk);
    for (float v : later)
        EXPECT_TRUE(std::isnan(v));
}

} // namespace
