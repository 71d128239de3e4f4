// Single-rate FIR records in caller buffers: sizes, initialisation, the direct and overlap-save
// block paths, the single-sample filter, in-place filtering and bad input. Oracle: the double
// reference of fir_reference.h (bit for bit for the direct paths, an RMS bound for the FFT path).
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "dsp/dispatch/primitives.h"
#include "support/dsp_test_support.h"
#include "dsp/fft/fft.h"
#include "dsp/filters/fir_one.h"
#include "dsp/filters/fir_run.h"
#include "dsp/filters/fir_state.h"
#include "dsp/filters/iir.h"
#include "support/fir_reference.h"

namespace
{

using fir_test::firReference;
using fir_test::firReferenceDouble;
using fir_test::uniformSignal;
using namespace dsp;
using namespace dsp::generic;
using dsp::test::f32Bits;
using dsp::test::GuardedBuffer;

int32_t stateSize(int32_t taps)
{
    int32_t size = -1;
    EXPECT_EQ(firGetStateSize(taps, &size), kOk) << taps << " taps";
    return size;
}

// A record in a guarded buffer of exactly the queried size at a chosen misalignment.
struct Fir
{
    Fir(const std::vector<float> &taps, const std::vector<float> &pastNewestFirst = {}, size_t misalign = 0)
        : buffer(size_t(stateSize(int32_t(taps.size()))), misalign)
    {
        const float *past = pastNewestFirst.empty() ? nullptr : pastNewestFirst.data();
        EXPECT_EQ(firInit(&st, taps.data(), int32_t(taps.size()), past, buffer.data()), kOk);
    }

    std::vector<float> run(const std::vector<float> &x)
    {
        std::vector<float> y(x.size());
        EXPECT_EQ(firFilterBlock(x.data(), y.data(), int32_t(x.size()), st), kOk);
        return y;
    }

    // The stream fed in blocks of the given sizes, cycling through them.
    std::vector<float> runInBlocks(const std::vector<float> &x, const std::vector<int> &sizes)
    {
        std::vector<float> y(x.size());
        size_t done = 0;
        for (size_t i = 0; done < x.size(); ++i)
        {
            const int32_t n = int32_t(std::min<size_t>(size_t(sizes[i % sizes.size()]), x.size() - done));
            EXPECT_EQ(firFilterBlock(x.data() + done, y.data() + done, n, st), kOk);
            done += size_t(n);
        }
        return y;
    }

    std::vector<float> history() const
    {
        const float *d = firArea<float>(st, st->delay);
        return std::vector<float>(d, d + st->tapCount);
    }

    GuardedBuffer buffer;
    FirState *st = nullptr;
};

// Finite outputs bit for bit; where the reference is NaN, a NaN (which of two NaN operands an
// x86 operation passes on depends on operand order, which the compiler may swap).
::testing::AssertionResult sameOrBothNaN(const std::vector<float> &want, const std::vector<float> &got)
{
    if (want.size() != got.size())
        return ::testing::AssertionFailure() << "sizes " << want.size() << " and " << got.size();
    for (size_t i = 0; i < want.size(); ++i)
    {
        if (std::isnan(want[i]) && std::isnan(got[i]))
            continue;
        if (f32Bits(want[i]) != f32Bits(got[i]))
            return ::testing::AssertionFailure() << "[" << i << "] is " << dsp::test::describeF32(got[i])
                                                 << ", expected " << dsp::test::describeF32(want[i]);
    }
    return ::testing::AssertionSuccess();
}

double fftTolerance(int32_t fftLength)
{
    return 8.0 * std::log2(double(fftLength)) * std::ldexp(1.0, -24);
}

double rmsAgainst(const std::vector<float> &y, const std::vector<double> &ref)
{
    return fir_test::relativeRms(y.data(), ref.data(), y.size());
}

// ---- Sizes -----------------------------------------------------------------------------------

TEST(FirSize, SingleRateSizesAndChecks)
{
    const std::pair<int32_t, int32_t> sizes[] = {{1, 16576},   {20, 16864}, {24, 16928},  {63, 17568},
                                                 {101, 22592}, {64, 21984}, {128, 27232}, {512, 60832}};
    for (const auto &[taps, bytes] : sizes)
        EXPECT_EQ(stateSize(taps), bytes) << taps << " taps";

    int32_t size = 1234;
    EXPECT_EQ(firGetStateSize(0, nullptr), kErrNullPointer);
    EXPECT_EQ(firGetStateSize(-5, nullptr), kErrNullPointer);
    EXPECT_EQ(firGetStateSize(0, &size), kErrFirLength);
    EXPECT_EQ(firGetStateSize(-1, &size), kErrFirLength);
    EXPECT_EQ(firGetStateSize(INT32_MIN, &size), kErrFirLength);
    // Sizes that would not fit 32 bits are refused instead of wrapping into a short buffer.
    EXPECT_EQ(firGetStateSize(INT32_MAX, &size), kErrFirLength);
    EXPECT_EQ(firGetStateSize(1 << 27, &size), kErrFirLength);
    EXPECT_EQ(size, 1234);
    // The largest accepted counts still report a positive size.
    EXPECT_EQ(firGetStateSize(1 << 22, &size), kOk);
    EXPECT_GT(size, 16 * (1 << 22));
}

// ---- Initialisation --------------------------------------------------------------------------

TEST(FirInit, BlockLimitFftLengthAndLayout)
{
    const std::pair<int32_t, int32_t> limits[] = {{1, 5}, {2, 5}, {4, 5}, {5, 9}, {20, 21}, {101, 105}};
    for (const auto &[L, B] : limits)
    {
        Fir f(uniformSignal(size_t(L), 1));
        EXPECT_EQ(f.st->blockLimit, B) << L << " taps";
    }
    const std::pair<int32_t, int32_t> lengths[] = {{1, -1},    {63, -1},    {64, 256},
                                                   {101, 256}, {127, 256},  {128, 512},
                                                   {255, 512}, {256, 1024}, {512, 2048}};
    for (const auto &[L, N] : lengths)
    {
        Fir f(uniformSignal(size_t(L), 2));
        const FirState &s = *f.st;
        EXPECT_EQ(s.tag, kFirTagSingle);
        EXPECT_EQ(s.fftLength, N) << L << " taps";
        EXPECT_EQ(s.tapCount, L);
        EXPECT_EQ(s.history, L);
        EXPECT_EQ(s.delayOffset, 0);
        EXPECT_EQ(s.owned, 0);
        EXPECT_EQ(s.indexTable, 0);
        EXPECT_EQ(s.tapTable, 0);
        EXPECT_EQ(s.revTaps, 112);
        EXPECT_EQ(s.delay, 112 + ((4 * L + 15) & ~15));
        EXPECT_EQ(s.gap, s.delay + ((12 * L + 31) & ~15));
        if (N > 0)
        {
            EXPECT_NE(firFftSpec(&s), nullptr);
            EXPECT_NE(s.tapSpectrum, 0);
            EXPECT_EQ(firFftSpec(&s)->order, int32_t(std::log2(N)));
            EXPECT_EQ(reinterpret_cast<uintptr_t>(firFftSpec(&s)) % 32, 0u);
        }
        else
        {
            EXPECT_EQ(firFftSpec(&s), nullptr);
            EXPECT_EQ(s.tapSpectrum, 0);
            EXPECT_EQ(s.fftScratch, 0);
        }
    }
    // The order rule shared by the size query, init and create.
    EXPECT_EQ(firFftOrder(63), 0);
    EXPECT_EQ(firFftOrder(64), 8);
    EXPECT_EQ(firFftOrder(127), 8);
    EXPECT_EQ(firFftOrder(128), 9);
    EXPECT_EQ(firFftOrder(4096), 14);
}

TEST(FirInit, RecordAlignedAndNothingWrittenPastTheSize)
{
    for (int32_t L : {1, 20, 63, 64, 101, 512})
    {
        const std::vector<float> h = uniformSignal(size_t(L), uint32_t(L));
        for (size_t misalign : {0, 1, 4, 7, 12, 15})
        {
            Fir f(h, {}, misalign);
            const auto base = reinterpret_cast<uintptr_t>(f.buffer.data());
            const auto rec = reinterpret_cast<uintptr_t>(f.st);
            EXPECT_EQ(rec % 16, 0u);
            EXPECT_LT(rec - base, 16u);
            // Both paths, long and short, use the areas up to their ends.
            const std::vector<float> x = uniformSignal(3000, 3);
            f.runInBlocks(x, {1, 511, 512, 1976});
            EXPECT_TRUE(f.buffer.guardsIntact()) << L << " taps at +" << misalign;
        }
    }
    // 4096 taps: order 14, whose transforms need the record's scratch area; still no allocation
    // and no write outside the buffer.
    const std::vector<float> h = uniformSignal(4096, 4096);
    Fir f(h, {}, 4);
    ASSERT_EQ(f.st->fftLength, 1 << 14);
    EXPECT_NE(f.st->fftScratch, 0);
    const std::vector<float> x = uniformSignal(30000, 5);
    dsp::test::AllocationCounter count;
    const std::vector<float> y = f.runInBlocks(x, {20000, 511, 9489});
    EXPECT_EQ(count.allocations(), 0);
    EXPECT_TRUE(f.buffer.guardsIntact());
    EXPECT_LE(rmsAgainst(y, firReferenceDouble(h, x)), fftTolerance(1 << 14));
}

TEST(FirInit, TapsAndDelayLineStoredReversedBitForBit)
{
    const std::vector<float> taps = dsp::test::floatsOf(
        {0x80000000u, 0x7F800001u, 0xFFC00123u, 0x7F800000u, 0x00000001u, 0x3F800000u, 0xFF800000u});
    const std::vector<float> past = dsp::test::floatsOf(
        {0x7FA00000u, 0x80000000u, 0x00400000u, 0xBF800000u, 0x7FC00001u, 0x00000000u, 0x12345678u});
    Fir f(taps, past);
    const float *r = firArea<float>(f.st, f.st->revTaps);
    for (size_t k = 0; k < taps.size(); ++k)
    {
        EXPECT_EQ(f32Bits(r[k]), f32Bits(taps[taps.size() - 1 - k])) << k;
        EXPECT_EQ(f32Bits(f.history()[k]), f32Bits(past[past.size() - 1 - k])) << k;
    }
    // A null line is silence: +0.0 everywhere.
    Fir silent(taps);
    EXPECT_EQ(dsp::test::wordsOf(silent.history()), dsp::test::wordsOf(std::vector<float>(7, 0.0f)));
}

TEST(FirInit, TapSpectrumIsTheForwardTransformOfThePaddedTaps)
{
    for (int32_t L : {64, 101, 512})
    {
        const std::vector<float> h = uniformSignal(size_t(L), 40 + uint32_t(L));
        Fir f(h);
        const int32_t N = f.st->fftLength;
        FftSpec *spec = nullptr;
        ASSERT_EQ(generic::fftCreateReal(&spec, firFftOrder(L), kFftScaleInverse, 0), kOk);
        std::vector<float> padded(size_t(N), 0.0f);
        std::copy(h.begin(), h.end(), padded.begin());
        ASSERT_EQ(fftRealForward(padded.data(), padded.data(), spec, nullptr), kOk);
        EXPECT_F32_ARRAY_SAME(padded.data(), firArea<float>(f.st, f.st->tapSpectrum), size_t(N));
        EXPECT_EQ(generic::fftFreeReal(spec), kOk);
    }
}

TEST(FirInit, BadArgumentsWriteNothing)
{
    const std::vector<float> h(8, 0.5f);
    GuardedBuffer buf(size_t(stateSize(8)));
    const auto before = buf.snapshot();
    auto *sentinel = reinterpret_cast<FirState *>(uintptr_t{0xABC0});
    FirState *st = sentinel;
    EXPECT_EQ(firInit(nullptr, h.data(), 8, nullptr, buf.data()), kErrNullPointer);
    EXPECT_EQ(firInit(&st, nullptr, 8, nullptr, buf.data()), kErrNullPointer);
    EXPECT_EQ(firInit(&st, h.data(), 8, nullptr, nullptr), kErrNullPointer);
    EXPECT_EQ(firInit(nullptr, h.data(), 0, nullptr, buf.data()), kErrNullPointer);
    EXPECT_EQ(firInit(&st, nullptr, -3, nullptr, buf.data()), kErrNullPointer);
    EXPECT_EQ(firInit(&st, h.data(), 0, nullptr, buf.data()), kErrFirLength);
    EXPECT_EQ(firInit(&st, h.data(), -1, nullptr, buf.data()), kErrFirLength);
    EXPECT_EQ(firInit(&st, h.data(), 1 << 27, nullptr, buf.data()), kErrFirLength);
    EXPECT_EQ(st, sentinel);
    EXPECT_TRUE(buf.unchangedSince(before));
}

// ---- Direct path -----------------------------------------------------------------------------

TEST(FirDirect, MatchesTheDoubleReferenceBitForBit)
{
    for (int32_t L : {1, 2, 3, 20, 24, 63, 101})
    {
        const std::vector<float> h = uniformSignal(size_t(L), 100 + uint32_t(L));
        const std::vector<float> past = uniformSignal(size_t(L), 200 + uint32_t(L));
        const std::vector<float> x = uniformSignal(511, 300 + uint32_t(L));
        Fir silent(h);
        EXPECT_EQ(dsp::test::wordsOf(silent.run(x)), dsp::test::wordsOf(firReference(h, x))) << L;
        Fir withPast(h, past);
        EXPECT_EQ(dsp::test::wordsOf(withPast.run(x)), dsp::test::wordsOf(firReference(h, x, past)))
            << L << " taps with a delay line";

        // Sums that cancel: any other order of the terms shows.
        const std::vector<float> hw = fir_test::cancellingTaps(size_t(L), 400 + uint32_t(L));
        const std::vector<float> xw = fir_test::cancellingSignal(1500, 401 + uint32_t(L));
        Fir wide(hw);
        EXPECT_EQ(dsp::test::wordsOf(wide.runInBlocks(xw, {1, 2, 3, 5, 7, 511})),
                  dsp::test::wordsOf(firReference(hw, xw)))
            << L << " taps, wide range";

        // Special values everywhere: infinities, NaNs, subnormals, signed zeros, huge values.
        dsp::test::F32Source special{uint32_t(L)};
        const std::vector<float> hs = special.vector(size_t(L));
        const std::vector<float> xs = special.vector(300);
        Fir s(hs);
        EXPECT_TRUE(sameOrBothNaN(firReference(hs, xs), s.run(xs))) << L << " taps, special input";
    }
}

TEST(FirDirect, SmallExamplesAndHistory)
{
    const std::vector<float> h = {1, 2, 3};
    Fir one(h);
    EXPECT_EQ(one.run({1, 0, 0, 0}), (std::vector<float>{1, 2, 3, 0}));
    EXPECT_EQ(one.history(), (std::vector<float>{0, 0, 0}));

    Fir split(h);
    EXPECT_EQ(split.run({1}), (std::vector<float>{1}));
    EXPECT_EQ(split.history(), (std::vector<float>{0, 0, 1}));
    EXPECT_EQ(split.run({0, 0, 0}), (std::vector<float>{2, 3, 0}));

    // One tap: each output is h0 x, the history the last sample.
    Fir single({-2.0f});
    EXPECT_EQ(single.run({1.5f, -0.25f, 4.0f}), (std::vector<float>{-3.0f, 0.5f, -8.0f}));
    EXPECT_EQ(single.history(), (std::vector<float>{4.0f}));

    // A block shorter than L keeps the last L values of (old history, block).
    for (int32_t L : {5, 20, 101})
    {
        const std::vector<float> past = uniformSignal(size_t(L), 7); // newest first
        Fir f(uniformSignal(size_t(L), 8), past);
        std::vector<float> line(past.rbegin(), past.rend()); // oldest first
        for (int32_t n : {1, 3, L - 1, L, L + 2})
        {
            const std::vector<float> x = uniformSignal(size_t(n), uint32_t(n));
            f.run(x);
            line.insert(line.end(), x.begin(), x.end());
            line.erase(line.begin(), line.end() - L);
            EXPECT_EQ(dsp::test::wordsOf(f.history()), dsp::test::wordsOf(line)) << L << " taps, block " << n;
        }
    }
}

TEST(FirDirect, BlockSplitsConcatenateBitForBit)
{
    for (int32_t L : {1, 3, 20, 24, 63})
    {
        const std::vector<float> h = uniformSignal(size_t(L), 500 + uint32_t(L));
        const int B = ((L + 3) & ~3) + 1;
        const std::vector<int> blocks = {1, 3, B, B + 1, 511};
        const std::vector<float> x = uniformSignal(size_t(1 + 3 + B + B + 1 + 511) * 2, 9);
        Fir whole(h), split(h);
        const std::vector<float> y = whole.run(x);
        EXPECT_EQ(dsp::test::wordsOf(split.runInBlocks(x, blocks)), dsp::test::wordsOf(y)) << L;
        EXPECT_EQ(dsp::test::wordsOf(y), dsp::test::wordsOf(firReference(h, x))) << L;
        EXPECT_EQ(dsp::test::wordsOf(whole.history()), dsp::test::wordsOf(split.history()));
    }
    // With an FFT record, blocks below 512 run direct and stay exact.
    const std::vector<float> h = uniformSignal(101, 77);
    const std::vector<float> x = uniformSignal(2000, 78);
    Fir f(h);
    EXPECT_EQ(dsp::test::wordsOf(f.runInBlocks(x, {1, 3, 105, 106, 511})),
              dsp::test::wordsOf(firReference(h, x)));
}

// ---- Overlap-save path -----------------------------------------------------------------------

TEST(FirFft, OverlapSaveStaysWithinTheErrorBound)
{
    for (int32_t L : {64, 101, 127, 128, 512})
    {
        const std::vector<float> h = uniformSignal(size_t(L), 600 + uint32_t(L));
        const std::vector<float> past = uniformSignal(size_t(L), 700 + uint32_t(L));
        Fir probe(h);
        const int32_t N = probe.st->fftLength;
        const int32_t E = N - L + 1;
        // One transform, exactly E, E + 1, a multiple of E, a zero-padded last segment, and a
        // stream long enough that middle segments read straight from the source (f >= N).
        for (int32_t n : {512, E, E + 1, 4 * E, 4 * E + 7, 10 * E, 4096})
        {
            if (n < 512)
                continue;
            const std::vector<float> x = uniformSignal(size_t(n), uint32_t(n));
            Fir f(h, past);
            const std::vector<float> y = f.run(x);
            const double err = rmsAgainst(y, firReferenceDouble(h, x, past));
            EXPECT_LE(err, fftTolerance(N)) << L << " taps, n = " << n;
            // The history is the input's tail, bit for bit.
            EXPECT_EQ(dsp::test::wordsOf(f.history()),
                      dsp::test::wordsOf(std::vector<float>(x.end() - L, x.end())));
        }
    }
}

TEST(FirFft, PathsAndBlockSplitsAgree)
{
    for (int32_t L : {64, 101, 512})
    {
        const std::vector<float> h = uniformSignal(size_t(L), 800 + uint32_t(L));
        const std::vector<float> x = uniformSignal(20000, 801);
        const std::vector<double> ref = firReferenceDouble(h, x);
        Fir probe(h);
        const double tol = fftTolerance(probe.st->fftLength);

        // 511 samples run direct (exact), 512 through the transform.
        Fir direct(h), fft(h);
        const std::vector<float> x511(x.begin(), x.begin() + 511);
        const std::vector<float> x512(x.begin(), x.begin() + 512);
        const std::vector<float> y511 = direct.run(x511);
        const std::vector<float> y512 = fft.run(x512);
        EXPECT_EQ(dsp::test::wordsOf(y511), dsp::test::wordsOf(firReference(h, x511)));
        std::vector<double> y511d(y511.begin(), y511.end());
        EXPECT_LE(fir_test::relativeRms(y512.data(), y511d.data(), 511), tol) << L;

        // Streams in mixed blocks against one call.
        Fir whole(h), split(h);
        const std::vector<float> yw = whole.run(x);
        const std::vector<float> yp = split.runInBlocks(x, {1, 3, 511, 512, 4096});
        EXPECT_LE(rmsAgainst(yw, ref), tol) << L;
        EXPECT_LE(rmsAgainst(yp, ref), tol) << L;
        EXPECT_EQ(dsp::test::wordsOf(whole.history()), dsp::test::wordsOf(split.history()));
    }
}

TEST(FirFft, HistoryAfterAnFftBlockEqualsTheDirectOne)
{
    const std::vector<float> h = uniformSignal(101, 900);
    const std::vector<float> past = uniformSignal(101, 901);
    for (int32_t n : {512, 600, 2000})
    {
        const std::vector<float> x = uniformSignal(size_t(n), 902);
        Fir fft(h, past), direct(h, past);
        fft.run(x);
        direct.runInBlocks(x, {300});
        EXPECT_EQ(dsp::test::wordsOf(fft.history()), dsp::test::wordsOf(direct.history())) << n;
        // Both continue identically on the direct path.
        const std::vector<float> more = uniformSignal(200, 903);
        EXPECT_EQ(dsp::test::wordsOf(fft.run(more)), dsp::test::wordsOf(direct.run(more)));
    }
}

// ---- Single sample ---------------------------------------------------------------------------

TEST(FirOneSample, EqualsTheDirectPathBitForBit)
{
    for (int32_t L : {20, 24})
    {
        for (int kind : {0, 1, 2})
        {
            const bool special = kind == 2;
            dsp::test::F32Source src{uint32_t(L)};
            const std::vector<float> h = special     ? src.vector(size_t(L))
                                         : kind == 1 ? fir_test::cancellingTaps(size_t(L), 13)
                                                     : uniformSignal(size_t(L), 11);
            const std::vector<float> x = special     ? src.vector(10000)
                                         : kind == 1 ? fir_test::cancellingSignal(10000, 14)
                                                     : uniformSignal(10000, 12);
            Fir f(h);
            const std::vector<float> block = f.runInBlocks(x, {7, 333});
            std::vector<float> line(2 * size_t(L), 0.0f), y(x.size());
            int32_t index = 0;
            for (size_t i = 0; i < x.size(); ++i)
                ASSERT_EQ(firFilterOneSample(x[i], &y[i], h.data(), L, line.data(), &index), kOk);
            if (special)
                EXPECT_TRUE(sameOrBothNaN(block, y)) << L;
            else
                EXPECT_EQ(dsp::test::wordsOf(y), dsp::test::wordsOf(block)) << L;
        }
    }
}

TEST(FirOneSample, OneTapWrapAndWindow)
{
    // One tap: a -0.0 product adds to +0.0; the index stays 0; both line floats hold the sample.
    const float h1 = 2.0f;
    float line1[2] = {9.0f, 9.0f};
    int32_t index = 0;
    float y = 1.0f;
    ASSERT_EQ(firFilterOneSample(-0.0f, &y, &h1, 1, line1, &index), kOk);
    EXPECT_F32_BITS(0x00000000u, y);
    EXPECT_EQ(index, 0);
    EXPECT_F32_BITS(0x80000000u, line1[0]);
    EXPECT_F32_BITS(0x80000000u, line1[1]);
    ASSERT_EQ(firFilterOneSample(1.5f, &y, &h1, 1, line1, &index), kOk);
    EXPECT_EQ(y, 3.0f);

    // Index L - 1 writes at L - 1 and 2L - 1, wraps to 0, and the window is line[0..L-1].
    const std::vector<float> h = {1, 10, 100, 1000};
    std::vector<float> line = {1, 2, 3, 0, 1, 2, 3, 0};
    index = 3;
    ASSERT_EQ(firFilterOneSample(4.0f, &y, h.data(), 4, line.data(), &index), kOk);
    EXPECT_EQ(index, 0);
    EXPECT_EQ(line, (std::vector<float>{1, 2, 3, 4, 1, 2, 3, 4}));
    EXPECT_EQ(y, 4 * 1 + 3 * 10 + 2 * 100 + 1 * 1000);
}

TEST(FirOneSample, ChecksInOrderAndNothingWritten)
{
    const std::vector<float> h = {1, 2, 3};
    std::vector<float> line(6, 7.0f);
    int32_t index = 1;
    float y = 5.0f;
    EXPECT_EQ(firFilterOneSample(1, nullptr, h.data(), 0, line.data(), &index), kErrNullPointer);
    EXPECT_EQ(firFilterOneSample(1, &y, nullptr, 0, line.data(), &index), kErrNullPointer);
    EXPECT_EQ(firFilterOneSample(1, &y, h.data(), 0, nullptr, nullptr), kErrFirLength);
    EXPECT_EQ(firFilterOneSample(1, &y, h.data(), -4, line.data(), &index), kErrFirLength);
    EXPECT_EQ(firFilterOneSample(1, &y, h.data(), 3, nullptr, &index), kErrNullPointer);
    EXPECT_EQ(firFilterOneSample(1, &y, h.data(), 3, line.data(), nullptr), kErrNullPointer);
    // An index outside 0..L-1 would write out of the line.
    for (int32_t bad : {-1, 3, 4, INT32_MIN, INT32_MAX})
    {
        index = bad;
        EXPECT_EQ(firFilterOneSample(1, &y, h.data(), 3, line.data(), &index), kErrPhase) << bad;
        EXPECT_EQ(index, bad);
    }
    EXPECT_EQ(y, 5.0f);
    EXPECT_EQ(line, std::vector<float>(6, 7.0f));
}

// ---- In place and bad input ------------------------------------------------------------------

TEST(FirInPlace, SameArrayEqualsTheReferenceOverlapIsRefused)
{
    for (int32_t L : {20, 101})
    {
        const std::vector<float> h = uniformSignal(size_t(L), 1000 + uint32_t(L));
        const std::vector<float> x = uniformSignal(4096, 1001);
        Fir f(h);
        std::vector<float> buf = x;
        ASSERT_EQ(firFilterBlock(buf.data(), buf.data(), 4096, f.st), kOk);
        EXPECT_EQ(dsp::test::wordsOf(buf), dsp::test::wordsOf(firReference(h, x))) << L;
        EXPECT_EQ(dsp::test::wordsOf(f.history()),
                  dsp::test::wordsOf(std::vector<float>(x.end() - L, x.end())));

        // Destination a few samples behind or ahead of the source: refused, nothing touched.
        for (ptrdiff_t shift : {-3, 1, 600})
        {
            std::vector<float> store = uniformSignal(8192, 1002);
            const std::vector<float> storeBefore = store;
            const auto stateBefore = f.buffer.snapshot();
            float *src = store.data() + 1000;
            EXPECT_EQ(firFilterBlock(src, src + shift, 1024, f.st), kErrNullPointer) << shift;
            EXPECT_EQ(store, storeBefore);
            EXPECT_TRUE(f.buffer.unchangedSince(stateBefore));
        }
    }
}

TEST(FirFilterBlock, BadInputWritesNothing)
{
    const std::vector<float> h = uniformSignal(101, 1100);
    Fir f(h, uniformSignal(101, 1101));
    const std::vector<float> x = uniformSignal(600, 1102);
    std::vector<float> y(600, 42.0f);
    const auto before = f.buffer.snapshot();
    EXPECT_EQ(firFilterBlock(x.data(), y.data(), 600, nullptr), kErrNullPointer);
    EXPECT_EQ(firFilterBlock(nullptr, y.data(), 600, f.st), kErrNullPointer);
    EXPECT_EQ(firFilterBlock(x.data(), nullptr, 600, f.st), kErrNullPointer);
    EXPECT_EQ(firFilterBlock(x.data(), y.data(), 0, nullptr), kErrNullPointer);
    EXPECT_EQ(firFilterBlock(nullptr, nullptr, -1, f.st), kErrNullPointer);
    EXPECT_EQ(firFilterBlock(x.data(), y.data(), 0, f.st), kErrBadLength);
    EXPECT_EQ(firFilterBlock(x.data(), y.data(), -7, f.st), kErrBadLength);
    EXPECT_TRUE(f.buffer.unchangedSince(before));
    EXPECT_EQ(y, std::vector<float>(600, 42.0f));

    // The length is judged before the record is looked at: a foreign record with length 0.
    alignas(16) unsigned char iirBuf[112] = {};
    IirState *iir = nullptr;
    const float iirTaps[] = {1.0f, 0.5f, 1.0f, -0.25f};
    ASSERT_EQ(iirInit(&iir, iirTaps, 1, nullptr, iirBuf), kOk);
    auto *foreign = reinterpret_cast<FirState *>(iir);
    unsigned char iirBefore[112];
    std::memcpy(iirBefore, iirBuf, sizeof iirBuf);
    EXPECT_EQ(firFilterBlock(x.data(), y.data(), 0, foreign), kErrBadLength);
    EXPECT_EQ(firFilterBlock(x.data(), y.data(), 600, foreign), kErrBadTag);
    EXPECT_EQ(std::memcmp(iirBefore, iirBuf, sizeof iirBuf), 0);
    EXPECT_EQ(y, std::vector<float>(600, 42.0f));
}

// ---- Dispatcher rows -------------------------------------------------------------------------

TEST(FirStubs, PublicEntriesSizeInitAndFilter)
{
    // Through the public stubs: the 1, 2, 3 example and one sample.
    const float h[] = {1, 2, 3};
    int32_t size = 0;
    ASSERT_EQ(dsp::firStateSizeF32(3, &size), kOk);
    std::vector<unsigned char> buf(static_cast<size_t>(size));
    FirState *st = nullptr;
    ASSERT_EQ(dsp::firInitF32(&st, h, 3, nullptr, buf.data()), kOk);
    const float x[] = {1, 0, 0, 0};
    float y[4];
    ASSERT_EQ(dsp::firFilterF32(x, y, 4, st), kOk);
    EXPECT_EQ(std::vector<float>(y, y + 4), (std::vector<float>{1, 2, 3, 0}));
    float line[6] = {};
    int32_t index = 0;
    float out = 0;
    ASSERT_EQ(dsp::firOneSampleF32(1.0f, &out, h, 3, line, &index), kOk);
    ASSERT_EQ(dsp::firOneSampleF32(0.0f, &out, h, 3, line, &index), kOk);
    EXPECT_EQ(out, 2.0f);
}

} // namespace
