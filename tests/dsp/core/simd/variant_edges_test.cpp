// The fast variants' own edges, at every index this processor runs: the cases where a lane
// evaluation would part from the generic rule (zero and NaN extremes, exact division at the range
// ends, roots of subnormals), the fills' path choice on injected processors, the fill and copy
// kernels at every alignment, and the source pre-touch's reach.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "dsp/core/simd/vector_variants.h"
#include "dsp/dispatch/primitives.h"
#include "support/dsp_test_support.h"

#if DSP_HAVE_SIMD_VARIANTS
#include <sys/mman.h>
#include <unistd.h>

#include "dsp/core/simd/simd_kernels.h"
#endif

namespace
{

using dsp::test::f32Bits;
using dsp::test::f32FromBits;
using dsp::test::floatsOf;
using dsp::test::GuardedBuffer;
using dsp::test::ScopedVariantIndex;
using dsp::test::Words;
using dsp::test::wordsOf;
const auto &A = dsp::VariantTableA;
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
// processor is asked only above 1 MiB. Every descriptor of the fill table with the size it names.
TEST(VariantEdges, WideFillsStreamOnlyPastTheNamedCache)
{
    struct Named
    {
        uint8_t descriptor;
        int32_t kib;
    };
    const Named table[] = {
        {0x4d, 16384}, {0x4c, 12288}, {0x4b, 8192}, {0x47, 8192}, {0x4e, 6144}, {0x4a, 6144}, {0x49, 4096},
        {0x29, 4096},  {0x46, 4096},  {0x48, 3072}, {0x25, 2048}, {0x7d, 2048}, {0x85, 2048}, {0x45, 2048},
        {0x23, 1024},  {0x87, 1024},  {0x7c, 1024}, {0x78, 1024}, {0x84, 1024}, {0x44, 1024}, {0x22, 512},
        {0x7b, 512},   {0x80, 512},   {0x86, 512},  {0x3e, 512},  {0x7f, 512},  {0x83, 512},  {0x43, 512}};
    for (const Named &d : table)
    {
        g_record = withDescriptor(d.descriptor);
        const int32_t cacheWords = std::max(d.kib * 256, 262144);
        g_reads = 0;
        EXPECT_FALSE(dsp::simd::wideFillStreams(cacheWords, &countedRead)) << int(d.descriptor);
        EXPECT_TRUE(dsp::simd::wideFillStreams(cacheWords + 1, &countedRead)) << int(d.descriptor);
        EXPECT_EQ(g_reads, d.kib * 256 > 262144 ? 2 : 1) << "1 MiB and less never asks the processor";
    }
    // Two descriptors: the table's order decides, not the registers'.
    g_record = withDescriptor(0x22);
    g_record.leaf2.edx = 0x49;
    EXPECT_FALSE(dsp::simd::wideFillStreams(4 << 18, &countedRead));
    EXPECT_TRUE(dsp::simd::wideFillStreams((4 << 18) + 1, &countedRead));

    const struct
    {
        dsp::CpuidRecord cpu;
        const char *what;
    } normal[] = {
        {withDescriptor(0x22, false), "another vendor"},
        {withDescriptor(0x22, true, 2), "leaf 2 needs two calls"},
        {withDescriptor(0x01), "no descriptor of the table"},
    };
    for (const auto &c : normal)
    {
        g_record = c.cpu;
        g_record.leaf2.ebx = 0x80000022; // a register with its top bit set holds no descriptors
        EXPECT_FALSE(dsp::simd::wideFillStreams(4000000, &countedRead)) << c.what;
    }
}

// The fill and copy kernels of both families, normal and streaming, at every alignment of source
// and destination and across the three copy sizes and the slot-1 streaming limit: exactly the
// words asked for, nothing around them.
TEST(VariantEdges, FillsAndCopiesWriteExactlyTheirWordsAtEveryAlignment)
{
    using Fill = void (*)(uint32_t, void *, int32_t, int32_t);
    using Copy = void (*)(const float *, float *, int32_t);
    const Fill fills[] = {&dsp::simd::fillKernelSse, &dsp::simd::fillHalvesKernelSse};
    const Copy copies[] = {&dsp::simd::copyKernelSse, &dsp::simd::copyThreeSizesSse};
    const uint32_t value = 0x11223344u;
    for (int32_t n : {1, 3, 4, 5, 2047, 2048, 4095, 4096, 4097, 5119, 5120, 9000})
    {
        SCOPED_TRACE("words " + std::to_string(n));
        const size_t bytes = size_t(n) * 4;
        std::vector<unsigned char> source(bytes + 16);
        for (size_t i = 0; i < source.size(); ++i)
            source[i] = static_cast<unsigned char>(i * 7 + i / 251);
        for (size_t to = 0; to < 16; ++to)
        {
            for (Fill fill : fills)
                for (int32_t stream : {0, 1})
                {
                    GuardedBuffer out(bytes, to);
                    fill(value, out.data(), n, stream);
                    ASSERT_TRUE(out.guardsIntact()) << "offset " << to;
                    for (size_t w = 0; w < size_t(n); ++w)
                    {
                        uint32_t word;
                        std::memcpy(&word, out.data() + 4 * w, 4);
                        ASSERT_EQ(word, value) << "offset " << to << " word " << w;
                    }
                }
            for (size_t from = 0; from < 16; from += (n > 5 && to % 5 != 0) ? 5 : 1)
                for (Copy copy : copies)
                {
                    GuardedBuffer out(bytes, to);
                    copy(reinterpret_cast<const float *>(source.data() + from), out.as<float>(), n);
                    ASSERT_TRUE(out.guardsIntact()) << "offsets " << from << ", " << to;
                    ASSERT_EQ(std::memcmp(out.data(), source.data() + from, bytes), 0)
                        << "offsets " << from << ", " << to;
                }
        }
    }
}

// Every x87 register, for the asm below: the compiler holds no value of its own there across it.
#define X87_REGISTERS "st", "st(1)", "st(2)", "st(3)", "st(4)", "st(5)", "st(6)", "st(7)"

// The x87 tag word as the environment store reports it (two bits a register, 11 for empty). The
// store masks every exception, so the environment is loaded back as it was.
uint16_t x87TagWord()
{
    struct
    {
        uint16_t control, pad0, status, pad1, tag, pad2;
        uint32_t pointers[4];
    } env; // the 28-byte protected-mode layout
    __asm__ volatile("fnstenv %0\n\tfldenv %0" : "=m"(env) : : "memory", X87_REGISTERS);
    return env.tag;
}

// Long double arithmetic is x87 arithmetic at both widths (as a float return is on 32 bits): with a
// register left tagged in use by MMX code the load overflows the stack and the sum comes out NaN.
long double x87Sum()
{
    volatile long double a = 1.5L, b = 2.25L;
    return a + b;
}

// Checks the x87 unit after a fill, then empties any MMX state left, so one fault fails this test
// alone and not every later one in the process.
void expectX87Usable(const std::string &what)
{
    const double sum = double(x87Sum());
    const uint16_t tags = x87TagWord();
    if (tags != 0xFFFF)
        __asm__ volatile("emms" : : : X87_REGISTERS);
    EXPECT_EQ(sum, 3.75) << what;
    EXPECT_EQ(tags, 0xFFFF) << what << ": x87 registers tagged in use";
}

// Every fill, at every index and as its two kernels in both store forms, at each size class (short,
// head and tail only, a few vectors, whole blocks, both sides of the slot-1 streaming limit and
// past the 1 MiB wide limit) leaves the x87 unit usable.
TEST(VariantEdges, FillsLeaveTheX87UnitUsable)
{
    const int32_t sizes[] = {1, 3, 4, 7, 8, 13, 40, 5119, 5120, 262145};
    std::vector<float> out(262145 + 1);
    using Fill = void (*)(uint32_t, void *, int32_t, int32_t);
    const struct
    {
        Fill fill;
        const char *name;
    } kernels[] = {{&dsp::simd::fillKernelSse, "fillKernelSse"},
                   {&dsp::simd::fillHalvesKernelSse, "fillHalvesKernelSse"}};
    for (int32_t n : sizes)
        for (const auto &k : kernels)
            for (int32_t stream : {0, 1})
            {
                k.fill(0x3F800000u, out.data() + 1, n, stream);
                expectX87Usable(std::string(k.name) + " stream " + std::to_string(stream) + " words " +
                                std::to_string(n));
            }
    AT_EVERY_INDEX({
        for (int32_t n : sizes)
        {
            ASSERT_EQ(A.zeroF32[v](out.data(), n), dsp::kOk);
            expectX87Usable("zeroF32 words " + std::to_string(n));
            ASSERT_EQ(B.setF32[v](0x3F800000u, out.data() + 1, n), dsp::kOk);
            expectX87Usable("setF32 words " + std::to_string(n));
        }
    });
}

// The pre-touch reads the first and last byte of each page-sized piece and nothing outside its
// range: with the range flush against an inaccessible page on either side, any stray read faults.
TEST(VariantEdges, PretouchStaysInsideItsRangeAndReturnsTheEndOfItsLastStep)
{
    const size_t page = size_t(sysconf(_SC_PAGESIZE));
    const size_t span = (1000000 / page + 2) * page;
    unsigned char *map = static_cast<unsigned char *>(
        mmap(nullptr, span + 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(map, MAP_FAILED);
    ASSERT_EQ(mprotect(map, page, PROT_NONE), 0);
    ASSERT_EQ(mprotect(map + page + span, page, PROT_NONE), 0);
    const unsigned char *low = map + page, *high = map + page + span;
    // Whole 4096-byte pieces while more than 4096 remain, then 32-byte steps over the rest.
    const struct
    {
        int64_t bytes, reach;
    } cases[] = {{0, 0},       {1, 32},      {31, 32},     {33, 64},
                 {4095, 4096}, {4096, 4096}, {4097, 4128}, {1000000, 1000000}};
    for (const auto &c : cases)
    {
        for (const unsigned char *start : {low, high - c.bytes})
        {
            const void *end = dsp::simd::pretouchSse(start, c.bytes);
            EXPECT_EQ(static_cast<const unsigned char *>(end) - start, c.reach) << c.bytes << " bytes";
        }
    }
    munmap(map, span + 2 * page);
}

#endif

} // namespace
