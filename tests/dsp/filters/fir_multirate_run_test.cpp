// Multi-rate FIR runs through firFilterBlock, against the zero-stuff, convolve, decimate double
// reference: every phase pair of small factors in all three modes, the effects chain's
// converters, stream splits across the short and long forms, in-place runs and bad input.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/dsp_test_support.h"
#include "dsp/filters/fir_multirate.h"
#include "dsp/filters/fir_run.h"
#include "support/fir_reference.h"

namespace
{

using namespace dsp;
using namespace dsp::generic;
using dsp::test::GuardedBuffer;

// A filter's tap count and factors.
struct Shape
{
    int32_t L, U, D;
};

std::string describe(const Shape &c)
{
    return std::to_string(c.L) + " taps, " + std::to_string(c.U) + ":" + std::to_string(c.D);
}

struct Filter
{
    std::vector<float> taps;
    int32_t U, pu, D, pd;
    std::vector<unsigned char> buffer;
    FirState *st = nullptr;

    Filter(std::vector<float> h, int32_t up, int32_t upPhase, int32_t down, int32_t downPhase,
           const std::vector<float> &past = {})
        : taps(std::move(h)), U(up), pu(upPhase), D(down), pd(downPhase)
    {
        int32_t size = 0;
        EXPECT_EQ(firMultirateGetStateSize(int32_t(taps.size()), U, D, &size), kOk);
        buffer.assign(size_t(size), 0xCD);
        EXPECT_EQ(firMultirateInit(&st, taps.data(), int32_t(taps.size()), U, pu, D, pd,
                                   past.empty() ? nullptr : past.data(), buffer.data()),
                  kOk);
    }

    int32_t mode() const { return st->mode; }
    int32_t threshold() const { return st->blockLimit; }

    // Runs x in calls of the given cycle counts (repeated until x is used up).
    std::vector<float> run(const std::vector<float> &x, const std::vector<int32_t> &chunks)
    {
        const int64_t total = int64_t(x.size()) / D;
        std::vector<float> y(size_t(total * U), -7.0f);
        int64_t done = 0;
        for (size_t i = 0; done < total; ++i)
        {
            const int64_t c = std::min<int64_t>(chunks[i % chunks.size()], total - done);
            EXPECT_EQ(firFilterBlock(x.data() + done * D, y.data() + done * U, int32_t(c), st), kOk);
            done += c;
        }
        return y;
    }

    std::vector<float> reference(const std::vector<float> &x, const std::vector<float> &past = {})
    {
        return fir_test::multirateReference(taps, U, pu, D, pd, x, x.size() / size_t(D) * U, past);
    }
};

std::vector<int32_t> randomChunks(uint32_t seed, int32_t maxCycles, size_t count)
{
    std::mt19937 rng(seed);
    std::vector<int32_t> c(count);
    for (int32_t &v : c)
        v = 1 + int32_t(rng() % uint32_t(maxCycles));
    return c;
}

TEST(FirMultirateRun, SmallExactCases)
{
    { // Taps 1, 1 with U = 2 repeat every input sample.
        Filter f({1.0f, 1.0f}, 2, 0, 1, 0);
        EXPECT_EQ(f.run({1.0f, 2.0f}, {2}), (std::vector<float>{1, 1, 2, 2}));
    }
    const std::vector<float> x = {10, 11, 12, 13, 14, 15};
    { // Tap 1 with D = 2 keeps every other sample, starting at the down phase.
        Filter f({1.0f}, 1, 0, 2, 0);
        EXPECT_EQ(f.run(x, {3}), (std::vector<float>{10, 12, 14}));
    }
    {
        Filter f({1.0f}, 1, 0, 2, 1);
        EXPECT_EQ(f.run(x, {3}), (std::vector<float>{11, 13, 15}));
    }
    { // The up phase delays the input on the fine grid: with pu = 1 output 0 sees nothing yet.
        Filter f({1.0f}, 2, 1, 1, 0);
        EXPECT_EQ(f.run({5.0f, 6.0f}, {2}), (std::vector<float>{0, 5, 0, 6}));
    }
}

// A given delay line of H samples acts exactly as input fed before the first call: a silent
// filter that first runs a prefix ending in those samples then gives the same outputs.
TEST(FirMultirateRun, GivenDelayLineActsAsEarlierInput)
{
    for (const Shape c :
         {Shape{66, 1, 2}, Shape{66, 2, 1}, Shape{6, 1, 2}, Shape{8, 2, 7}, Shape{13, 3, 2}, Shape{1, 3, 1}})
    {
        SCOPED_TRACE(describe(c));
        const std::vector<float> h = fir_test::uniformSignal(size_t(c.L), 31);
        const int32_t H = (c.L + c.U - 1) / c.U;
        const int32_t prefixCycles = (H + c.D - 1) / c.D + 1;
        const std::vector<float> prefix = fir_test::uniformSignal(size_t(prefixCycles * c.D), 32);
        std::vector<float> past(static_cast<size_t>(H)); // newest first
        for (int32_t i = 0; i < H; ++i)
            past[size_t(i)] = prefix[prefix.size() - 1 - size_t(i)];
        const std::vector<float> x = fir_test::uniformSignal(size_t(300 * c.D), 33);

        Filter given(h, c.U, c.U - 1, c.D, 0, past);
        const std::vector<float> got = given.run(x, {300});
        Filter fed(h, c.U, c.U - 1, c.D, 0);
        fed.run(prefix, {prefixCycles});
        EXPECT_F32_ARRAY_SAME(fed.run(x, {300}).data(), got.data(), got.size());
    }
}

// Every (pu, pd) for U, D <= 4 with tap counts on both sides of the mode boundaries; one call
// over the whole stream (long form) and random splits (short forms), with and without a given
// delay line.
TEST(FirMultirateRun, MatchesReferenceForEveryPhasePair)
{
    bool modeSeen[4] = {};
    uint32_t seed = 1;
    for (int32_t U = 1; U <= 4; ++U)
    {
        for (int32_t D = 1; D <= 4; ++D)
        {
            if (U == 1 && D == 1)
                continue;
            const int32_t lengths[] = {1, 2, 3, (9 * D) / 7, (9 * D) / 7 + 1, 3 * D, 3 * D + 1, 13};
            bool modesHere[4] = {};
            for (int32_t L : lengths)
            {
                if (L < 1)
                    continue;
                const std::vector<float> h = fir_test::uniformSignal(size_t(L), seed++);
                for (int32_t pu = 0; pu < U; ++pu)
                {
                    for (int32_t pd = 0; pd < D; ++pd)
                    {
                        Filter probe(h, U, pu, D, pd);
                        const int32_t H = probe.st->history;
                        const int32_t cycles = 3 * (probe.threshold() / D) + 11;
                        const std::vector<float> x = fir_test::uniformSignal(size_t(cycles * D), seed++);
                        const std::vector<float> past = fir_test::uniformSignal(size_t(H), seed++);
                        SCOPED_TRACE(::testing::Message() << "L " << L << " U " << U << " pu " << pu << " D "
                                                          << D << " pd " << pd);
                        modeSeen[probe.mode()] = modesHere[probe.mode()] = true;

                        const std::vector<float> want = probe.reference(x);
                        EXPECT_F32_ARRAY_SAME(want.data(), probe.run(x, {cycles}).data(), want.size());
                        Filter split(h, U, pu, D, pd);
                        const std::vector<float> got =
                            split.run(x, randomChunks(seed++, probe.threshold() / D + 6, 64));
                        EXPECT_F32_ARRAY_SAME(want.data(), got.data(), want.size());

                        Filter withPast(h, U, pu, D, pd, past);
                        const std::vector<float> wantPast = withPast.reference(x, past);
                        EXPECT_F32_ARRAY_SAME(wantPast.data(), withPast.run(x, {cycles, 1, 5}).data(),
                                              wantPast.size());
                    }
                }
            }
            if (U == 1)
                EXPECT_TRUE(modesHere[1] && modesHere[2]) << U << " " << D;
            else
                EXPECT_TRUE(modesHere[1] && modesHere[3]) << U << " " << D;
        }
    }
    EXPECT_TRUE(modeSeen[1] && modeSeen[2] && modeSeen[3]);
}

// A windowed-sinc low-pass of n taps for a converter by `factor`.
std::vector<float> converterTaps(int32_t n, int32_t factor)
{
    std::vector<float> h(static_cast<size_t>(n));
    const double pi = 3.14159265358979323846;
    for (int32_t i = 0; i < n; ++i)
    {
        const double t = i - (n - 1) / 2.0;
        const double sinc = t == 0 ? 1.0 : std::sin(pi * t / factor) / (pi * t / factor);
        const double window = 0.54 - 0.46 * std::cos(2 * pi * i / (n - 1));
        h[size_t(i)] = float(sinc * window / factor);
    }
    return h;
}

TEST(FirMultirateRun, EffectsChainConvertersMatchReference)
{
    for (const Shape c : {Shape{66, 1, 2}, Shape{66, 2, 1}, Shape{132, 1, 4}, Shape{132, 4, 1}})
    {
        SCOPED_TRACE(describe(c));
        const std::vector<float> h = converterTaps(c.L, c.U > c.D ? c.U : c.D);
        const std::vector<float> x = fir_test::uniformSignal(8 * 512, uint32_t(c.L + c.U));
        Filter f(h, c.U, 0, c.D, 0);
        EXPECT_EQ(f.mode(), 1);
        const std::vector<float> want = f.reference(x);
        // 512-sample input blocks, as the chain calls it, then one call for everything.
        EXPECT_F32_ARRAY_SAME(want.data(), f.run(x, {512 / c.D}).data(), want.size());
        Filter once(h, c.U, 0, c.D, 0);
        EXPECT_F32_ARRAY_SAME(want.data(), once.run(x, {int32_t(x.size()) / c.D}).data(), want.size());
        Filter odd(h, c.U, c.U - 1, c.D, c.D - 1);
        const std::vector<float> wantOdd = odd.reference(x);
        EXPECT_F32_ARRAY_SAME(wantOdd.data(), odd.run(x, {7, 1, 300, 64}).data(), wantOdd.size());
    }
}

// The cycle counts that exercise the block forms: one cycle, one to three whole periods in the
// short form, the head plus one to three periods in the long form, one cycle either side of the
// threshold, blocks ending inside a period. Each split must give the one-call output.
TEST(FirMultirateRun, BlockFormsAndSplitsEqualOneCall)
{
    const Shape cases[] = {{66, 2, 1}, {66, 1, 2}, {13, 3, 2}, {6, 1, 2}, {5, 1, 3},
                           {8, 2, 7},  {1, 3, 1},  {3, 4, 3},  {40, 3, 1}};
    for (const Shape c : cases)
    {
        SCOPED_TRACE(describe(c));
        const std::vector<float> h = fir_test::uniformSignal(size_t(c.L), 99);
        Filter probe(h, c.U, c.U / 2, c.D, c.D / 2);
        const int32_t T = probe.threshold();
        const int32_t shortest = T / c.D; // the most cycles of a short block (mode 2: fewer)
        const int32_t longest = shortest + 1;
        const int32_t period = 4; // 4U outputs (mode 2: a group of four) = 4 cycles
        std::vector<std::vector<int32_t>> splits = {
            {1},
            {shortest, 1}, // at the threshold (exactly T inputs when D = 1)
            {longest},     // just past it
            {period, 3},   // one period, then a block ending inside one
            {2 * period},
            {3 * period, 1, 2},
            {longest + period}, // long blocks with one to three more whole periods
            {longest + 2 * period + 1},
            {longest + 3 * period},
            {longest + 3 * period + 3, 5},
        };
        for (uint32_t s = 0; s < 6; ++s)
            splits.push_back(randomChunks(1000 + s, 3 * T / c.D + 8, 40));
        const std::vector<float> x = fir_test::uniformSignal(size_t(2000 * c.D), 7);
        const std::vector<float> want = probe.reference(x);
        EXPECT_F32_ARRAY_SAME(want.data(), probe.run(x, {2000}).data(), want.size());
        for (const auto &split : splits)
        {
            Filter f(h, c.U, c.U / 2, c.D, c.D / 2);
            const std::vector<float> got = f.run(x, split);
            EXPECT_F32_ARRAY_SAME(want.data(), got.data(), want.size()) << "split " << split[0];
        }
        EXPECT_LE(int64_t(period) * c.D, T); // one whole period always fits a short block
    }
}

// A stale inf or NaN behind the data must not reach an output through a 0.0 tap: the windows
// of a short block reach one slot past its data, a slot that still holds older input.
TEST(FirMultirateRun, StaleNonFiniteInputNeverLeaksThroughZeroTaps)
{
    const float inf = INFINITY;
    for (const Shape c : {Shape{66, 1, 2}, Shape{66, 2, 1}, Shape{7, 1, 2}, Shape{8, 2, 7}, Shape{1, 3, 1},
                          Shape{13, 3, 2}, Shape{3, 2, 3}, Shape{5, 4, 4}, Shape{2, 3, 2}, Shape{7, 4, 4}})
    {
        const std::vector<float> h = fir_test::uniformSignal(size_t(c.L), 5);
        Filter probe(h, c.U, 0, c.D, 0);
        const int32_t H = probe.st->history;
        const int32_t shortMax = probe.threshold() / c.D;
        const int32_t window = probe.mode() == 1 ? probe.st->windowLength : H;
        for (int32_t c2 = 1; c2 <= shortMax; ++c2)
        {
            for (const auto &[pu, pd] : {std::pair{0, 0}, std::pair{0, c.D - 1}, std::pair{c.U - 1, c.D - 1}})
            {
                // First block long enough that the inf, at input c2 * D, is out of its history.
                const int32_t c1 = (c2 * c.D + H + window) / c.D + 2;
                std::vector<float> x = fir_test::uniformSignal(size_t((c1 + c2) * c.D), uint32_t(c2));
                x[size_t(c2 * c.D)] = (c2 % 2) ? inf : NAN;
                Filter f(h, c.U, pu, c.D, pd);
                const std::vector<float> got = f.run(x, {c1, c2});
                const std::vector<float> want = f.reference(x);
                SCOPED_TRACE(::testing::Message()
                             << describe(c) << " c2 " << c2 << " pu " << pu << " pd " << pd);
                const size_t from = size_t(c1 * c.U);
                for (size_t m = from; m < want.size(); ++m)
                    ASSERT_TRUE(std::isfinite(want[m])) << m;
                EXPECT_F32_ARRAY_SAME(want.data() + from, got.data() + from, want.size() - from);
            }
        }
        // A mode-1 stream with an inf early on: finite outputs again once it has left the
        // history, whatever the block sizes.
        if (probe.mode() == 1)
        {
            std::vector<float> x = fir_test::uniformSignal(size_t(600 * c.D), 77);
            x[3] = inf;
            Filter f(h, c.U, 0, c.D, 0);
            const std::vector<float> got = f.run(x, randomChunks(4, shortMax + 3, 50));
            const std::vector<float> want = f.reference(x);
            const size_t settled = size_t((3 + H + probe.st->windowLength + 8 * c.D) / c.D + 4) * size_t(c.U);
            for (size_t m = settled; m < want.size(); ++m)
                ASSERT_TRUE(std::isfinite(got[m]) &&
                            dsp::test::f32Bits(got[m]) == dsp::test::f32Bits(want[m]))
                    << m;
        }
    }
}

TEST(FirMultirateRun, BadModeAndOversizedBlocksWriteNothing)
{
    Filter f(fir_test::uniformSignal(20, 3), 4, 1, 1, 0);
    std::vector<float> x = fir_test::uniformSignal(64, 4);
    std::vector<float> y(256, 3.0f);
    // Warm the history up so an untouched delay line is not all zeros.
    ASSERT_EQ(firFilterBlock(x.data(), y.data(), 64, f.st), kOk);
    const std::vector<unsigned char> state = f.buffer;
    const std::vector<float> out(256, 9.0f);
    y = out;
    for (int32_t mode : {0, 4, -1})
    {
        f.st->mode = mode;
        EXPECT_EQ(firFilterBlock(x.data(), y.data(), 16, f.st), kErrBadTag) << mode;
        f.st->mode = 1;
        EXPECT_TRUE(f.buffer == state);
        EXPECT_EQ(y, out);
    }
    // length * U above 32 bits, and length * D for a decimator: -6 before anything is read.
    EXPECT_EQ(firFilterBlock(x.data(), y.data(), INT32_MAX / 4 + 1, f.st), kErrBadLength);
    EXPECT_EQ(firFilterBlock(x.data(), y.data(), INT32_MAX, f.st), kErrBadLength);
    EXPECT_TRUE(f.buffer == state);
    EXPECT_EQ(y, out);
    Filter down(fir_test::uniformSignal(6, 3), 1, 0, 2, 0);
    EXPECT_EQ(firFilterBlock(x.data(), y.data(), INT32_MAX / 2 + 1, down.st), kErrBadLength);
    EXPECT_EQ(y, out);
    // A zero-factor record is no record of this library.
    f.st->upFactor = 0;
    EXPECT_EQ(firFilterBlock(x.data(), y.data(), 16, f.st), kErrBadTag);
    EXPECT_EQ(y, out);
}

TEST(FirMultirateRun, InPlaceDecimationEqualsOutOfPlace)
{
    for (const Shape c : {Shape{66, 1, 2}, Shape{132, 1, 4}, Shape{6, 1, 2}, Shape{8, 2, 7}, Shape{13, 3, 4},
                          Shape{10, 2, 2}})
    {
        SCOPED_TRACE(describe(c));
        const std::vector<float> h = fir_test::uniformSignal(size_t(c.L), 21);
        const int32_t cycles = 4096 / c.D;
        const std::vector<float> x = fir_test::uniformSignal(size_t(cycles * c.D), 22);
        Filter apart(h, c.U, 0, c.D, c.D - 1);
        const std::vector<float> want = apart.run(x, {cycles});
        EXPECT_F32_ARRAY_SAME(apart.reference(x).data(), want.data(), want.size());
        Filter same(h, c.U, 0, c.D, c.D - 1);
        std::vector<float> io = x;
        for (int32_t done = 0; done < cycles;)
        { // a long block, then ragged ones
            const int32_t n = std::min(done == 0 ? cycles / 2 : 37, cycles - done);
            ASSERT_EQ(firFilterBlock(io.data() + done * c.D, io.data() + done * c.U, n, same.st), kOk);
            done += n;
        }
        EXPECT_F32_ARRAY_SAME(want.data(), io.data(), want.size());
        EXPECT_TRUE(std::memcmp(firArea<float>(apart.st, apart.st->delay),
                                firArea<float>(same.st, same.st->delay), size_t(apart.st->history) * 4) == 0);
    }
}

TEST(FirMultirateRun, InPlaceInterpolationAndPartialOverlapRefused)
{
    Filter up(fir_test::uniformSignal(66, 1), 2, 0, 1, 0);
    std::vector<float> io = fir_test::uniformSignal(1024, 2);
    const std::vector<float> ioBefore = io;
    const std::vector<unsigned char> stateBefore = up.buffer;
    EXPECT_EQ(firFilterBlock(io.data(), io.data(), 100, up.st), kErrNullPointer);
    EXPECT_EQ(firFilterBlock(io.data(), io.data(), 1, up.st), kErrNullPointer);
    // Partial overlaps in either direction, also for a decimator.
    EXPECT_EQ(firFilterBlock(io.data() + 1, io.data(), 100, up.st), kErrNullPointer);
    EXPECT_EQ(firFilterBlock(io.data(), io.data() + 99, 100, up.st), kErrNullPointer);
    Filter down(fir_test::uniformSignal(66, 1), 1, 0, 2, 0);
    const std::vector<unsigned char> downBefore = down.buffer;
    EXPECT_EQ(firFilterBlock(io.data() + 10, io.data(), 100, down.st), kErrNullPointer);
    EXPECT_EQ(firFilterBlock(io.data(), io.data() + 199, 100, down.st), kErrNullPointer);
    EXPECT_EQ(io, ioBefore);
    EXPECT_TRUE(up.buffer == stateBefore);
    EXPECT_TRUE(down.buffer == downBefore);
    // Adjacent ranges are fine.
    EXPECT_EQ(firFilterBlock(io.data(), io.data() + 200, 100, down.st), kOk);
    EXPECT_EQ(firFilterBlock(io.data() + 100, io.data(), 50, down.st), kOk);
}

TEST(FirMultirateRun, RunsAllocateNothingAndStayInsideTheRecord)
{
    for (const auto &[U, D] : {std::pair{2, 1}, std::pair{1, 2}, std::pair{2, 7}})
    {
        int32_t size = 0;
        const std::vector<float> h = fir_test::uniformSignal(12, 8);
        ASSERT_EQ(firMultirateGetStateSize(12, U, D, &size), kOk);
        GuardedBuffer mem(size_t(size), 4);
        FirState *st = nullptr;
        ASSERT_EQ(firMultirateInit(&st, h.data(), 12, U, 0, D, 0, nullptr, mem.data()), kOk);
        const std::vector<float> x = fir_test::uniformSignal(size_t(700 * D), 9);
        std::vector<float> y(size_t(700 * U));
        dsp::test::AllocationCounter count;
        for (int32_t n : {700, 1, 3, 50, 200})
            ASSERT_EQ(firFilterBlock(x.data(), y.data(), n, st), kOk);
        EXPECT_EQ(count.allocations(), 0);
        EXPECT_TRUE(mem.guardsIntact());
    }
}

} // namespace
