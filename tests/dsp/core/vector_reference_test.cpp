// Random sweeps against independent references: scalar float arithmetic for the element
// operations, the C library's sqrt/log/exp, and double accumulation for the sums of products.
#include <cmath>
#include <functional>
#include <vector>

#include "dsp/core/vector.h"
#include "support/dsp_test_support.h"

namespace
{

using dsp::test::f32Bits;
using dsp::test::f32FromBits;
using dsp::test::F32Source;
using dsp::test::Words;
using dsp::test::wordsOf;
namespace generic = dsp::generic;

constexpr int kN = 100000;

uint32_t quieted(float x)
{
    return f32Bits(x) | 0x00400000u;
}

// Bit-exact, except that with two NaN operands IEEE arithmetic may return either one (the
// compiler is free to order a commutative operation's operands).
::testing::AssertionResult matchesScalar(uint32_t expected, float actual, float x, float y, size_t i)
{
    const bool bothNaN = std::isnan(x) && std::isnan(y);
    if (expected == f32Bits(actual) ||
        (bothNaN && (f32Bits(actual) == quieted(x) || f32Bits(actual) == quieted(y))))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "element " << i << ": " << dsp::test::describeF32(actual) << ", expected "
           << dsp::test::describeF32(f32FromBits(expected)) << " from " << dsp::test::describeF32(x) << ", "
           << dsp::test::describeF32(y);
}

class Sweep : public ::testing::Test
{
protected:
    Sweep() : a(rng.vector(kN)), b(rng.vector(kN)) {}

    // Runs op on copies (out starts as a copy of b for in-place forms) and checks every element
    // against the bits of ref(a[i], b[i]). The reference returns bits, not a float: a float return
    // passes through the x87 stack on 32 bits, which would quiet the signalling NaNs that the
    // selecting operations (abs, the element-wise extremes) keep.
    void check(const char *name, const std::function<dsp::Status(const float *, float *, float *)> &op,
               const std::function<uint32_t(float, float)> &ref)
    {
        std::vector<float> x = a, y = b, out = b;
        ASSERT_EQ(op(x.data(), y.data(), out.data()), dsp::kOk) << name;
        int failures = 0;
        for (size_t i = 0; i < kN && failures < 5; ++i)
        {
            auto r = matchesScalar(ref(a[i], b[i]), out[i], a[i], b[i], i);
            if (!r)
            {
                ++failures;
                ADD_FAILURE() << name << " " << r.message();
            }
        }
    }

    F32Source rng{2024};
    std::vector<float> a, b;
};

TEST_F(Sweep, TwoVectorOperationsMatchFloatArithmetic)
{
    check(
        "addF32", [](auto x, auto y, auto r) { return generic::addF32(x, y, r, kN); },
        [](float x, float y) { return f32Bits(x + y); });
    check(
        "subF32", [](auto x, auto y, auto r) { return generic::subF32(x, y, r, kN); },
        [](float x, float y) { return f32Bits(y - x); });
    check(
        "mulF32", [](auto x, auto y, auto r) { return generic::mulF32(x, y, r, kN); },
        [](float x, float y) { return f32Bits(x * y); });
    check(
        "mulInPlaceF32", [](auto x, auto, auto r) { return generic::mulInPlaceF32(x, r, kN); },
        [](float x, float y) { return f32Bits(x * y); });
    check(
        "addInPlaceF32", [](auto x, auto, auto r) { return generic::addInPlaceF32(x, r, kN); },
        [](float x, float y) { return f32Bits(y + x); });
    check(
        "minEveryInPlaceF32", [](auto x, auto, auto r) { return generic::minEveryInPlaceF32(x, r, kN); },
        [](float x, float y) { return f32Bits(y > x ? x : y); });
    check(
        "maxEveryInPlaceF32", [](auto x, auto, auto r) { return generic::maxEveryInPlaceF32(x, r, kN); },
        [](float x, float y) { return f32Bits(x > y ? x : y); });
}

TEST_F(Sweep, OneVectorOperationsMatchFloatArithmetic)
{
    for (float &x : a)
        if (x == 0.0f)
            x = 1.0f; // divF32 below then meets no zero divisor (those have their own test)
    check(
        "sqrF32", [](auto x, auto, auto r) { return generic::sqrF32(x, r, kN); },
        [](float x, float) { return f32Bits(x * x); });
    check(
        "absInPlaceF32",
        [](auto x, auto, auto r)
        {
            std::copy(x, x + kN, r);
            return generic::absInPlaceF32(r, kN);
        },
        [](float x, float) { return f32Bits(x) & 0x7FFFFFFFu; });
    for (float c : {-0.75f, 3.0f, 1e-20f, f32FromBits(0x00000005u), 65536.0f})
    {
        check(
            "addConstInPlaceF32",
            [c](auto x, auto, auto r)
            {
                std::copy(x, x + kN, r);
                return generic::addConstInPlaceF32(c, r, kN);
            },
            [c](float x, float) { return f32Bits(x + c); });
        check(
            "mulConstInPlaceF32",
            [c](auto x, auto, auto r)
            {
                std::copy(x, x + kN, r);
                return generic::mulConstInPlaceF32(c, r, kN);
            },
            [c](float x, float) { return f32Bits(x * c); });
        check(
            "mulConstF32", [c](auto x, auto, auto r) { return generic::mulConstF32(x, c, r, kN); },
            [c](float x, float) { return f32Bits(x * c); });
        check(
            "divConstInPlaceF32",
            [c](auto x, auto, auto r)
            {
                std::copy(x, x + kN, r);
                return generic::divConstInPlaceF32(c, r, kN);
            },
            [c](float x, float) { return f32Bits(x * (1.0f / c)); });
    }
    check(
        "divF32", [](auto x, auto y, auto r) { return generic::divF32(x, y, r, kN); },
        [](float x, float y) { return f32Bits(y / x); });
}

TEST_F(Sweep, SqrtLnAndShortExpMatchTheCLibrary)
{
    std::vector<float> v = a;
    generic::sqrtInPlaceF32(v.data(), kN);
    for (int i = 0; i < kN; ++i)
    {
        const float x = a[i];
        const float expected = x > 0 ? std::sqrt(x) : x < 0 ? f32FromBits(0xFFC00000u) : x;
        ASSERT_F32_SAME(expected, v[i]) << "sqrt of " << dsp::test::describeF32(x);
    }
    v = a;
    generic::lnInPlaceF32(v.data(), kN);
    for (int i = 0; i < kN; ++i)
    {
        const float x = a[i];
        if (x > 0 && !std::isnan(x))
        {
            ASSERT_F32_SAME(float(std::log(double(x))), v[i]) << "ln of " << dsp::test::describeF32(x);
        }
    }
    v = a;
    for (int i = 0; i < kN;)
    {
        const int len = 1 + i % 3; // 1, 2, 3: the double-precision regime
        if (i + len > kN)
            break;
        generic::expInPlaceF32(v.data() + i, len);
        for (int j = i; j < i + len; ++j)
            ASSERT_F32_SAME(float(std::exp(double(a[j]))), v[j]) << "exp of " << dsp::test::describeF32(a[j]);
        i += len;
    }
}

TEST(ExpSweep, LongVectorsWithinOneUlp)
{
    F32Source rng(99);
    std::vector<float> x(1000), y;
    int64_t worst = 0, total = 0;
    for (int block = 0, len = 4; block < 2000; ++block, len = 4 + (len * 7 + 3) % 997)
    {
        for (int i = 0; i < len; ++i)
            x[i] = rng.uniform(-87.3f, 88.7f);
        y.assign(x.begin(), x.begin() + len);
        total += len;
        ASSERT_EQ(generic::expInPlaceF32(y.data(), len), dsp::kOk);
        for (int i = 0; i < len; ++i)
        {
            const float expected = float(std::exp(double(x[i])));
            const int64_t d = dsp::test::ulpDistance(expected, y[i]);
            worst = std::max(worst, d);
            ASSERT_LE(d, 1) << "exp of " << dsp::test::describeF32(x[i]) << " in a block of " << len;
        }
    }
    EXPECT_LE(worst, 1);
    EXPECT_GE(total, 1000000);
}

// Finite values over many magnitudes, so that rounding order shows in the sums.
std::vector<float> finiteValues(F32Source &rng, size_t n)
{
    std::vector<float> v(n);
    for (float &x : v)
        x = std::ldexp(rng.uniform(-1, 1), int(rng.engine()() % 60) - 30);
    return v;
}

TEST(SumsOfProducts, MatchDoubleReferenceInOrder)
{
    F32Source rng(5);
    for (int len : {1, 2, 3, 4, 5, 7, 8, 13, 1000, 4099})
    {
        const std::vector<float> a = finiteValues(rng, len), b = finiteValues(rng, len),
                                 r0 = finiteValues(rng, len);
        // The sum's order: elements 1, 3 of each group of four into s1, 0, 2 into s0, then
        // s1 + s0, then the tail into s1.
        double s0 = 0, s1 = 0, dot = 0;
        int i = 0;
        for (; len - i >= 4; i += 4)
        {
            s1 = (s1 + a[i + 1]) + a[i + 3];
            s0 = (s0 + a[i]) + a[i + 2];
        }
        for (s1 += s0; i < len; ++i)
            s1 += a[i];
        for (int k = 0; k < len; ++k)
            dot += double(a[k]) * double(b[k]);
        float sum, mean, prod;
        generic::sumF32(a.data(), len, &sum, 0);
        generic::meanF32(a.data(), len, &mean, 2);
        generic::dotProductF32(a.data(), b.data(), len, &prod);
        EXPECT_EQ(Words({f32Bits(sum), f32Bits(mean), f32Bits(prod)}),
                  Words({f32Bits(float(s1)), f32Bits(float(s1 / len)), f32Bits(float(dot))}))
            << "sum, mean, dot at len " << len;

        // Element-wise sums of products, and the packed-spectrum pairs, each rounded once.
        std::vector<float> ab(r0), ac(r0), pack(len), expAb(len), expAc(len), expPack(len);
        const float c = b[0];
        generic::addProductF32(a.data(), b.data(), ab.data(), len);
        generic::addProductConstF32(a.data(), c, ac.data(), len);
        generic::mulPackSpectrum(a.data(), b.data(), pack.data(), len);
        for (int k = 0; k < len; ++k)
        {
            expAb[k] = float(double(a[k]) * b[k] + r0[k]);
            expAc[k] = float(double(a[k]) * c + r0[k]);
        }
        expPack[0] = a[0] * b[0];
        int k = 1;
        if (len % 2 == 0)
            expPack[k++] = a[1] * b[1];
        for (; k + 1 < len; k += 2)
        {
            expPack[k] = float(double(a[k]) * b[k] - double(a[k + 1]) * b[k + 1]);
            expPack[k + 1] = float(double(a[k]) * b[k + 1] + double(a[k + 1]) * b[k]);
        }
        EXPECT_EQ(wordsOf(ab), wordsOf(expAb)) << "addProductF32, len " << len;
        EXPECT_EQ(wordsOf(ac), wordsOf(expAc)) << "addProductConstF32, len " << len;
        EXPECT_EQ(wordsOf(pack), wordsOf(expPack)) << "mulPackSpectrum, len " << len;
    }
}

TEST(SumsOfProducts, RoundOnceNotTwice)
{
    // 1 + 2^-24 + 2^-24: float steps would round both small terms away; double keeps them.
    const float a[3] = {1.0f, 0x1p-24f, 0x1p-24f};
    float out;
    generic::sumF32(a, 3, &out, 0);
    EXPECT_F32_SAME(1.0f + 0x1p-23f, out);
    const float ones[3] = {1.0f, 1.0f, 1.0f};
    generic::dotProductF32(a, ones, 3, &out);
    EXPECT_F32_SAME(1.0f + 0x1p-23f, out);
    // a * c + r with an exact product: (1 + 2^-12)^2 + -1 = 2^-11 + 2^-24, rounded once.
    const float x[1] = {1.0f + 0x1p-12f};
    float r[1] = {-1.0f};
    generic::addProductConstF32(x, 1.0f + 0x1p-12f, r, 1);
    EXPECT_F32_SAME(0x1p-11f + 0x1p-24f, r[0]);
}

} // namespace
