// The fast variants' own edges, at every index this processor runs: the cases where a lane
// evaluation would part from the generic rule (zero and NaN extremes, exact division at the range
// ends, roots of subnormals), the fills' path choice on injected processors, and the source
// pre-touch's reach.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "dsp/core/simd/vector_variants.h"
#include "dsp/dispatch/primitives.h"
#include "support/dsp_test_support.h"

#if DSP_HAVE_SIMD_VARIANTS
#include "dsp/core/simd/simd_kernels.h"
#endif

namespace
{

using dsp::test::f32Bits;
using dsp::test::f32FromBits;
using dsp::test::floatsOf;
using dsp::test::ScopedVariantIndex;
using dsp::test::Words;
using dsp::test::wordsOf;
const auto &B = dsp::CpuVariantDispatchTable;

// Runs body(v) at every index this processor runs, the selector set; skips what it cannot run.
#define AT_EVERY_INDEX(...)                                                                                  \
    for (uint32_t v = 0; v <= dsp::test::testMaxVariant(); ++v)                                              \
    {                                                                                                        \
        SCOPED_TRACE("variant " + std::to_string(v));                                                        \
        ScopedVariantIndex at(v);                                                                            \
        __VA_ARGS__;                                                                                         \
    }                                                                                                        \
    DSP_SKIP_UNSUPPORTED_VARIANTS()

// Eight or more elements take the lanes; these are the vectors where lanes alone would answer
// otherwise than the first-wins walk.
TEST(VariantEdges, ExtremesKeepTheFirstWinsRule)
{
    struct Case
    {
        std::vector<float> src;
        uint32_t max, min;
    };
    const float nan = f32FromBits(0x7FC00001);
    const std::vector<Case> cases = {
        {floatsOf({0x80000000, 0, 0, 0, 0, 0, 0, 0, 0}), 0x80000000, 0x80000000}, // -0 first wins both
        {floatsOf({0, 0x80000000, 0, 0x80000000, 0, 0, 0, 0}), 0, 0},             // +0 first
        {{1, 2, nan, 9, 3, 4, 5, 6, 7}, f32Bits(9.0f), f32Bits(1.0f)},            // a NaN is skipped
        {{nan, 1, 2, 3, 4, 5, 6, 7, 8}, 0x7FC00001, 0x7FC00001},                  // a NaN first is the result
        {{-5, 1, 2, 3, 4, 5, 6, 7, -5, 8}, f32Bits(8.0f), f32Bits(-5.0f)},        // equal extremes
        {floatsOf({0x00000001, 0x00000002, 0, 0, 0, 0, 0, 0x80000003}), 0x00000002, 0x80000003}, // subnormals
    };
    AT_EVERY_INDEX({
        for (const Case &c : cases)
        {
            float out = 0;
            ASSERT_EQ(dsp::maxF32(c.src.data(), int32_t(c.src.size()), &out), dsp::kOk);
            EXPECT_EQ(f32Bits(out), c.max);
            ASSERT_EQ(dsp::minF32(c.src.data(), int32_t(c.src.size()), &out), dsp::kOk);
            EXPECT_EQ(f32Bits(out), c.min);
        }
    });
}

#if defined(__x86_64__) || defined(__i386__)
// The element-wise extremes select, they do not compute: under denormals-are-zero a denormal and a
// zero compare equal, so b keeps its own word, and a chosen denormal is copied, never flushed.
TEST(VariantEdges, ElementwiseExtremesCopyWordsUnderDenormalsAreZero)
{
    const std::vector<float> a =
        floatsOf({0x00000001, 0, 0x80000003, 0x00400000, 0, 0x807FFFFF, 0x3F800000, 0xBF800000, 0x00000007});
    const std::vector<float> b =
        floatsOf({0, 0x00000002, 0, 0x80000000, 0x00000005, 0x80000000, 0x40000000, 0x80000009, 0x80000000});
    const Words wantMin{0,          0x00000002, 0,          0x80000000, 0x00000005,
                        0x80000000, 0x3F800000, 0xBF800000, 0x80000000};
    const Words wantMax{0,          0x00000002, 0,          0x80000000, 0x00000005,
                        0x80000000, 0x40000000, 0x80000009, 0x80000000};
    dsp::test::ScopedFlushDenormals mode;
    AT_EVERY_INDEX({
        std::vector<float> r = b;
        ASSERT_EQ(B.minEveryInPlaceF32[v](a.data(), r.data(), int32_t(r.size())), dsp::kOk);
        EXPECT_EQ(wordsOf(r), wantMin);
        r = b;
        ASSERT_EQ(B.maxEveryInPlaceF32[v](a.data(), r.data(), int32_t(r.size())), dsp::kOk);
        EXPECT_EQ(wordsOf(r), wantMax);
    });
}
#endif

// Division is exact: the ends of the range where a reciprocal estimate would fail (infinite,
// huge and subnormal divisors, subnormal quotients) give the correctly rounded quotient, checked
// in double; zero divisors give the replacement values and the warning.
TEST(VariantEdges, DivisionAtTheRangeEnds)
{
    const std::vector<float> divisors = floatsOf({0x7F800000, 0xFF800000, 0x7F000000, 0xFE7FFFFF, 0x00000001,
                                                  0x80400000, 0x40400000, 0x7F7FFFFF, 0x3F800000});
    const std::vector<float> dividends = floatsOf({0x3F800000, 0x3F800000, 0x3F800000, 0x40000000, 0x00800000,
                                                   0xBF800000, 0x00800000, 0x00FFFFFF, 0x80000001});
    std::vector<float> want(divisors.size());
    for (size_t i = 0; i < want.size(); ++i)
        want[i] = float(double(dividends[i]) / double(divisors[i]));
    EXPECT_EQ(f32Bits(want[0]), 0u);
    EXPECT_EQ(f32Bits(want[1]), 0x80000000u);
    AT_EVERY_INDEX({
        for (int32_t n : {1, 3, 4, 9})
        {
            std::vector<float> r(n);
            ASSERT_EQ(B.divF32[v](divisors.data(), dividends.data(), r.data(), n), dsp::kOk);
            EXPECT_EQ(wordsOf(r), wordsOf(want.data(), size_t(n))) << n << " elements";
        }
        const std::vector<float> zeros = floatsOf({0, 0x80000000, 0, 0, 0x3F800000, 0});
        const std::vector<float> num =
            floatsOf({0x40000000, 0x40000000, 0xC0400000, 0, 0x3F800000, 0x7FC00000});
        std::vector<float> r(zeros.size());
        ASSERT_EQ(B.divF32[v](zeros.data(), num.data(), r.data(), 6), dsp::kWarnDivByZero);
        EXPECT_EQ(wordsOf(r),
                  (Words{0x7F800000, 0x7F800000, 0xFF800000, 0xFFC00000, 0x3F800000, 0xFFC00000}));
    });
}

TEST(VariantEdges, SquareRootSpecialsAndSubnormals)
{
    AT_EVERY_INDEX({
        std::vector<float> x = floatsOf({0x40800000, 0xBF800000, 0, 0x80000000, 0x7F800000, 0x7FA00001,
                                         0x00000001, 0x007FFFFF, 0x40800000});
        ASSERT_EQ(B.sqrtInPlaceF32[v](x.data(), int32_t(x.size())), dsp::kWarnSqrtNegative);
        EXPECT_EQ(wordsOf(x),
                  (Words{0x40000000, 0xFFC00000, 0, 0x80000000, 0x7F800000, 0x7FA00001,
                         f32Bits(float(std::sqrt(std::ldexp(1.0, -149)))),
                         f32Bits(float(std::sqrt(double(f32FromBits(0x007FFFFF))))), 0x40000000}));
        std::vector<float> y = {0, 1, 2, 4, 9};
        EXPECT_EQ(B.sqrtInPlaceF32[v](y.data(), 5), dsp::kOk);
    });
}

// Copies that overlap are moves, and a reversal over itself or an overlapping range still ends
// as the reversal of the source as it was.
TEST(VariantEdges, OverlappingCopiesAndReversalsMove)
{
    AT_EVERY_INDEX({
        for (int32_t shift : {-5, -1, 1, 3, 17})
        {
            std::vector<float> buf(200);
            for (size_t i = 0; i < buf.size(); ++i)
                buf[i] = float(i);
            const std::vector<float> before = buf;
            float *src = buf.data() + 40, *dst = src + shift;
            ASSERT_EQ(dsp::copyF32(src, dst, 100), dsp::kOk);
            EXPECT_EQ(wordsOf(dst, 100), wordsOf(before.data() + 40, 100)) << "shift " << shift;

            buf = before;
            ASSERT_EQ(dsp::reverseCopy32(src, dst, 100), dsp::kOk);
            std::vector<float> want(before.begin() + 40, before.begin() + 140);
            std::reverse(want.begin(), want.end());
            EXPECT_EQ(wordsOf(dst, 100), wordsOf(want)) << "shift " << shift;
        }
    });
}

#if DSP_HAVE_SIMD_VARIANTS

// A processor of the reference vendor whose single leaf-2 call names the given descriptor.
dsp::CpuidRecord withDescriptor(uint8_t descriptor, bool reference = true, uint8_t calls = 1)
{
    dsp::CpuidRecord r;
    r.supported = true;
    if (reference)
    {
        r.leaf0 = {2, dsp::kReferenceVendor[0], dsp::kReferenceVendor[2], dsp::kReferenceVendor[1]};
    }
    r.leaf2.eax = calls | (uint32_t(descriptor) << 8);
    return r;
}

int g_reads = 0;
dsp::CpuidRecord g_record;
dsp::CpuidRecord countedRead()
{
    ++g_reads;
    return g_record;
}

// Wide fills stream only when the processor names a last-level cache the fill outgrows; the
// processor is asked only above 1 MiB.
TEST(VariantEdges, WideFillsStreamOnlyPastTheNamedCache)
{
    struct Case
    {
        dsp::CpuidRecord cpu;
        int32_t count;
        bool streams;
    };
    const Case cases[] = {
        {withDescriptor(0x49), (4 << 20) / 4 + 1, true}, // 4 MiB cache, one word more
        {withDescriptor(0x49), (4 << 20) / 4, false},    // exactly the cache
        {withDescriptor(0x22), 262145, true},            // 512 KiB cache
        {withDescriptor(0x4d), 4000000, false},          // 16 MiB cache
        {withDescriptor(0x22, false), 4000000, false},   // another vendor
        {withDescriptor(0x22, true, 2), 4000000, false}, // leaf 2 needs two calls
        {withDescriptor(0x01), 4000000, false},          // no descriptor of the table
    };
    for (const Case &c : cases)
    {
        g_record = c.cpu;
        g_reads = 0;
        EXPECT_EQ(dsp::simd::wideFillStreams(c.count, &countedRead), c.streams) << c.count;
        EXPECT_EQ(g_reads, 1);
    }
    g_record = withDescriptor(0x22);
    g_reads = 0;
    EXPECT_FALSE(dsp::simd::wideFillStreams(262144, &countedRead));
    EXPECT_EQ(g_reads, 0) << "1 MiB and less never asks the processor";
    EXPECT_TRUE(dsp::simd::wideFillStreams(262145, &countedRead));
    EXPECT_EQ(g_reads, 1);

    // Either way the same bytes, at a destination 2 bytes past a word boundary.
    const int32_t n = 262145;
    std::vector<unsigned char> normal(size_t(n) * 4 + 32, 0xEE), streamed = normal;
    dsp::simd::fillKernelSse(0x11223344u, normal.data() + 6, n, 0);
    dsp::simd::fillKernelSse(0x11223344u, streamed.data() + 6, n, 1);
    EXPECT_TRUE(normal == streamed);
    uint32_t word;
    std::memcpy(&word, normal.data() + 6 + 4 * (n - 1), 4);
    EXPECT_EQ(word, 0x11223344u);
    EXPECT_EQ(normal[5], 0xEE);
    EXPECT_EQ(normal[6 + size_t(n) * 4], 0xEE);
}

#endif

} // namespace
