// The SSE variants' large-order FFT (complex orders 18 and up): the block routines against index
// arithmetic, the driver against FFTW's double transforms and its permutation paths against each
// other (its allocations: fft_sse_test.cpp). Each big order runs once; the sanitizer builds stop at 20.
#if defined(__x86_64__) || defined(__i386__)

#include <cmath>
#include <cstring>
#include <vector>

#include "dsp/fft/simd/fft_large_sse.h"
#include "dsp/fft/simd/fft_sse.h"
#include "fft_oracle.h"
#include "support/dsp_test_support.h"

namespace
{

using namespace fft_test;
namespace sse = dsp::sse;

constexpr bool kTuning1 = true;
#if defined(__SANITIZE_ADDRESS__)
constexpr int32_t kTopOrder = 20;
#else
constexpr int32_t kTopOrder = 22;
#endif

bool sameBits(const std::vector<float> &a, const std::vector<float> &b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}

size_t floatsOf(Kind kind, int32_t order)
{
    return (kind == Kind::Real ? size_t(1) : size_t(2)) << order;
}

dsp::Status run(const TestSpec &t, bool inverse, const float *src, float *dst, void *work)
{
    if (t.kind() == Kind::Real)
        return inverse ? sse::fftRealInverse(src, dst, t.spec, work)
                       : sse::fftRealForward(src, dst, t.spec, work);
    return inverse ? sse::fftComplexInverse(src, dst, t.spec, work)
                   : sse::fftForwardComplex(src, dst, t.spec, work);
}

uint32_t reverseBits(uint32_t v, int bits)
{
    uint32_t r = 0;
    for (int b = 0; b < bits; ++b)
        r |= ((v >> b) & 1u) << (bits - 1 - b);
    return r;
}

TEST(FftSseBlocks, CopyRefusesNullAndEmptyAndWritesNothing)
{
    std::vector<unsigned char> src(64, 1), dst(64, 0);
    EXPECT_EQ(sse::fftBlockCopy(nullptr, dst.data(), 8), dsp::kErrNullPointer);
    EXPECT_EQ(sse::fftBlockCopy(src.data(), nullptr, 8), dsp::kErrNullPointer);
    EXPECT_EQ(sse::fftBlockCopy(src.data(), dst.data(), 0), dsp::kErrBadLength);
    EXPECT_EQ(sse::fftBlockCopy(src.data(), dst.data(), -8), dsp::kErrBadLength);
    EXPECT_EQ(dst, std::vector<unsigned char>(64, 0));
    EXPECT_EQ(sse::fftBlockCopy(src.data() + 1, dst.data() + 3, 61), dsp::kOk);
    EXPECT_EQ(dst[2], 0);
    EXPECT_EQ(dst[3], 1);
    EXPECT_EQ(dst[63], 1);
}

// A gather of strided rows and the scatter back, both modes, from sources at 0, 4 and 8 bytes past
// a 16-byte boundary: mode 1 turns each four values' real parts then imaginary parts into pairs.
TEST(FftSseBlocks, GatherAndScatterMoveRowsAndUndoTheSplitLayout)
{
    constexpr int32_t rows = 5, width = 16;
    constexpr int64_t stride = 40;
    for (size_t shift : {0, 1, 2})
    {
        std::vector<float> store(2 * rows * stride + 16);
        float *data = reinterpret_cast<float *>(generic::fftAlign32(store.data())) + shift;
        for (int64_t i = 0; i < 2 * rows * stride; ++i)
            data[i] = float(i);
        std::vector<float> blockStore(2 * rows * width + 8);
        float *block = reinterpret_cast<float *>(generic::fftAlign32(blockStore.data()));
        sse::fftBlockGather(data + 6, block, stride, rows, width);
        for (int32_t r = 0; r < rows; ++r)
            for (int32_t f = 0; f < 2 * width; ++f)
                ASSERT_EQ(block[2 * width * r + f], float(2 * stride * r + 6 + f));

        std::vector<float> out(2 * rows * stride + 8, -1.0f);
        sse::fftBlockScatter(out.data() + 1, block, stride, rows, width, 0);
        for (int32_t r = 0; r < rows; ++r)
            for (int32_t f = 0; f < 2 * width; ++f)
                ASSERT_EQ(out[1 + 2 * stride * r + f], block[2 * width * r + f]);
        EXPECT_EQ(out[0], -1.0f);
        EXPECT_EQ(out[1 + 2 * width], -1.0f) << "nothing between the rows";

        sse::fftBlockScatter(out.data() + 1, block, stride, rows, width, 1);
        for (int32_t r = 0; r < rows; ++r)
            for (int32_t v = 0; v < width; ++v)
            {
                const float *quad = block + 2 * width * r + 8 * (v / 4);
                ASSERT_EQ(out[1 + 2 * stride * r + 2 * v], quad[v % 4]);
                ASSERT_EQ(out[1 + 2 * stride * r + 2 * v + 1], quad[4 + v % 4]);
            }
    }
}

// Both permutations move value i to rev(i) at every alignment of the data: the swap list in place
// (the driver's in-block one) and the plain table's 4 x 4 tiles in place and out of place (the source
// walked up to 32768 values, the destination above).
TEST(FftSseBlocks, BitReversalsFollowTheIndexReversal)
{
    auto fill = [](float *data, int32_t count)
    {
        for (int32_t i = 0; i < count; ++i)
        {
            data[2 * i] = float(i);
            data[2 * i + 1] = float(-i);
        }
    };
    auto reversed = [](const float *data, int32_t p)
    {
        for (int32_t i = 0; i < (int32_t(1) << p); ++i)
        {
            const float from = float(p < 2 ? uint32_t(i) : reverseBits(uint32_t(i), p));
            if (data[2 * i] != from || data[2 * i + 1] != -from)
                return false;
        }
        return true;
    };
    for (int32_t p = 0; p <= 16; ++p)
    {
        const int32_t count = int32_t(1) << p;
        std::vector<int32_t> swapList(size_t(count / 4 + 1) + 8), plain = swapList;
        generic::buildBitReverseTable(p, swapList.data());
        if (p >= 4)
            sse::fftBuildPlainReverse(p, plain.data());
        std::vector<float> source(2 * size_t(count));
        fill(source.data(), count);
        for (size_t shift : {0, 1, 2})
        {
            std::vector<float> store(2 * size_t(count) + 8);
            float *data = reinterpret_cast<float *>(generic::fftAlign32(store.data())) + shift;
            if (p <= 12)
            {
                fill(data, count);
                sse::fftBlockBitReverse(data, count, swapList.data());
                EXPECT_TRUE(reversed(data, p)) << "swap list, count " << count << " shift " << shift;
            }
            if (p < 4)
                continue;
            fill(data, count);
            sse::fftBitReverse(data, data, count, plain.data());
            EXPECT_TRUE(reversed(data, p)) << "tiles in place, count " << count << " shift " << shift;
            sse::fftBitReverse(source.data(), data, count, plain.data());
            EXPECT_TRUE(reversed(data, p)) << "tiles, count " << count << " shift " << shift;
        }
    }
}

// The byte counts of the large orders by the split tables, independently of the builders: the
// innermost kernel's table and scratch, 2^order stage values per depth, each depth's gathered block
// and the permutation areas (the accuracy tests show the builders stay inside them).
TEST(FftSseLarge, SizesFollowTheSplitTables)
{
    const int32_t splitA[31] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                0, 0, 0, 3, 4, 4, 4, 5, 8, 8, 8, 8, 8, 8};
    const int32_t splitB[31] = {0, 0, 0, 0, 0,  0,  0,  0,  0,  0,  0,  0,  0,  0,
                                0, 0, 0, 9, 10, 10, 10, 13, 15, 15, 15, 15, 15, 15};
    auto r32 = [](int64_t x) { return x & ~int64_t(31); };
    struct Sizes
    {
        int64_t spec, init, work;
    };
    auto buffer = [&](auto &self, int32_t m) -> Sizes
    {
        const int32_t sub = m - splitA[m];
        Sizes s = sub <= 17 ? Sizes{r32((int64_t(8) << sub) + 39), 0, r32((int64_t(8) << sub) + 31)}
                            : self(self, sub);
        s.spec += int64_t(8) << m;
        s.work = std::max({s.work, int64_t(8) << splitB[m], m >= 19 ? int64_t(65536) : int64_t(0)});
        return s;
    };
    for (bool real : {true, false})
    {
        auto query = real ? sse::fftRealGetSize : sse::complexFftSpecSize;
        for (int32_t n = 18; n <= 27; ++n)
        {
            const int32_t m = real ? n - 1 : n;
            if (m < 18)
                continue;
            Sizes want = buffer(buffer, m);
            const int64_t M = int64_t(1) << m, N = int64_t(1) << n;
            want.spec += r32(M + 35) + 128 + (real ? 2 * r32(2 * N + 31) : 0);
            want.init = r32(N + 35) + 32;
            want.work += 32;
            int32_t s, i, w;
            ASSERT_EQ(query(n, 2, 0, &s, &i, &w), 0);
            EXPECT_EQ(s, want.spec) << n;
            EXPECT_EQ(i, want.init) << n;
            EXPECT_EQ(w, want.work) << n;
        }
        int32_t s, i, w;
        EXPECT_EQ(query(28, 2, 0, &s, &i, &w), dsp::kErrFftOrder);
    }
    // Complex 18 by hand: kernel 2^14 (131104 + 131072 scratch), stages 2^21 bytes, 2^18 + 35 reversal.
    int32_t s, i, w;
    ASSERT_EQ(sse::complexFftSpecSize(18, 8, 0, &s, &i, &w), 0);
    EXPECT_EQ(s, 131104 + 2097152 + 262176 + 128);
    EXPECT_EQ(i, 262176 + 32);
    EXPECT_EQ(w, 131072 + 32);
}

// Relative RMS error against FFTW's double transforms within 4 log2(N) 2^-24, forward and inverse,
// every order the driver serves up to 22, once each; init stays inside its sizes (the spec buffer 3
// bytes past a boundary, the most alignment slack). One input, output and reference buffer serve
// every order, largest first: fresh pages cost more than these transforms.
void accuracyAgainstTheDoubleReferences(Kind kind)
{
    const std::vector<float> x = randomFloats(floatsOf(kind, kTopOrder), 22);
    std::vector<float> y(x.size());
    FftwReference reference(x.size());
    for (int32_t order = kTopOrder; order >= 19; --order)
    {
        TestSpec t(kind, order, 8, 3, kTuning1);
        EXPECT_TRUE(t.stayedInsideItsSizes()) << order;
        for (bool inverse : {false, true})
        {
            ASSERT_EQ(run(t, inverse, x.data(), y.data(), t.work()), 0);
            EXPECT_LE(reference.relativeRms(kind, inverse, x.data(), floatsOf(kind, order), y.data()),
                      errorBound(order))
                << (inverse ? "inverse" : "forward") << ", order " << order;
        }
    }
}

TEST(FftSseLarge, ComplexAccuracyAgainstTheDoubleReferences)
{
    accuracyAgainstTheDoubleReferences(Kind::Complex);
}

TEST(FftSseLarge, RealAccuracyAgainstTheDoubleReferences)
{
    accuracyAgainstTheDoubleReferences(Kind::Real);
}

// Every permutation path gives the same bits: in place (plain table at 18, blocks from 19) against
// out of place (copy then in place at 18 and from 21, blocks fetched from their partners at 19 and
// 20), both directions; at 19 also the power-of-two scaling of the sub-transforms and the inverse
// as the conjugated forward.
TEST(FftSseLarge, InPlaceEqualsOutOfPlaceOnEveryPermutationPath)
{
    for (int32_t order = 18; order <= std::min(kTopOrder, 21); ++order)
    {
        TestSpec t(Kind::Complex, order, 8, 0, kTuning1);
        const std::vector<float> x = randomFloats(floatsOf(Kind::Complex, order), uint32_t(order));
        for (bool inverse : {false, true})
        {
            std::vector<float> out(x.size()), in = x;
            ASSERT_EQ(run(t, inverse, x.data(), out.data(), t.work()), 0);
            ASSERT_EQ(run(t, inverse, in.data(), in.data(), t.work()), 0);
            EXPECT_TRUE(sameBits(out, in)) << (inverse ? "inverse" : "forward") << ", order " << order;
            if (order != 19)
                continue;
            TestSpec scaled(Kind::Complex, order, inverse ? 2 : 1, 0, kTuning1);
            std::vector<float> s(x.size());
            ASSERT_EQ(run(scaled, inverse, x.data(), s.data(), scaled.work()), 0);
            for (float &v : out)
                v = std::ldexp(v, -order);
            EXPECT_TRUE(sameBits(out, s)) << "scaled, inverse " << inverse;
        }
        if (order != 19)
            continue;
        std::vector<float> conj = x, viaForward(x.size()), direct(x.size());
        for (size_t k = 1; k < x.size(); k += 2)
            conj[k] = -conj[k];
        ASSERT_EQ(run(t, false, conj.data(), viaForward.data(), t.work()), 0);
        for (size_t k = 1; k < x.size(); k += 2)
            viaForward[k] = -viaForward[k];
        ASSERT_EQ(run(t, true, x.data(), direct.data(), t.work()), 0);
        EXPECT_TRUE(sameBits(viaForward, direct)) << "conjugate symmetry";
    }
}

// Order 26 recurses one depth (sub-arrays of 2^18 split again): 512 MiB per array, for manual runs.
TEST(FftSseLarge, DISABLED_Order26WithOneRecursionLevel)
{
    constexpr int32_t order = 26;
    TestSpec plain(Kind::Complex, order, 8, 0, kTuning1), fwd(Kind::Complex, order, 1, 0, kTuning1);
    EXPECT_NE(plain.spec->stageTwiddles[1], 0);
    const std::vector<float> x = randomFloats(floatsOf(Kind::Complex, order), 26);
    std::vector<float> y(x.size()), s(x.size());
    ASSERT_EQ(run(plain, false, x.data(), y.data(), plain.work()), 0);
    FftwReference reference(x.size());
    EXPECT_LE(reference.relativeRms(Kind::Complex, false, x.data(), x.size(), y.data()), errorBound(order));
    ASSERT_EQ(run(fwd, false, x.data(), s.data(), fwd.work()), 0);
    for (float &v : y)
        v = std::ldexp(v, -order);
    EXPECT_TRUE(sameBits(y, s)) << "every sub-transform scaled once";
}

} // namespace

#endif
