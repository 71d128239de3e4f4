// Multi-rate FIR records: sizes and modes, the argument checks, where the record lies in the
// caller's buffer and what init stores there.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "dsp/dispatch/primitives.h"
#include "support/dsp_test_support.h"
#include "dsp/filters/fir_multirate.h"

namespace
{

using namespace dsp;
using namespace dsp::generic;
using dsp::test::floatsOf;
using dsp::test::GuardedBuffer;
using dsp::test::wordsOf;

int32_t sizeOf(int32_t L, int32_t U, int32_t D)
{
    int32_t size = -1;
    EXPECT_EQ(firMultirateGetStateSize(L, U, D, &size), kOk) << L << " " << U << " " << D;
    return size;
}

int32_t modeOf(int32_t L, int32_t U, int32_t D)
{
    FirMultirateShape shape{};
    EXPECT_EQ(firMultirateShape(L, U, D, &shape), kOk);
    return shape.mode;
}

void expectDerived(int32_t L, int32_t U, int32_t D, std::vector<int32_t> want)
{
    FirMultirateShape s{};
    ASSERT_EQ(firMultirateShape(L, U, D, &s), kOk);
    EXPECT_EQ((std::vector<int32_t>{s.history, s.span, s.window, s.threshold, s.headOutputs}), want)
        << L << " " << U << " " << D;
}

TEST(FirMultirateSize, ConverterAndBoundaryShapes)
{
    struct Case
    {
        int32_t L, U, D, size, mode;
    };
    // Sizes of the effects chain's converters and of the mode boundaries, worked out by hand
    // from the layout (header 112 + alignment room 16, taps, tap table 16M, index table,
    // delay area, workspace of at least 16384).
    const Case cases[] = {
        {66, 1, 2, 18576, 1}, {66, 2, 1, 18224, 1}, {132, 1, 4, 20592, 1}, {132, 4, 1, 19552, 1},
        {6, 1, 2, 16848, 2},  {8, 2, 7, 17296, 3},  {9, 2, 7, 17312, 3}, // 7L = 9D exactly: the
                                                                         // double-precision reading, mode 3
    };
    for (const Case &c : cases)
    {
        EXPECT_EQ(sizeOf(c.L, c.U, c.D), c.size) << c.L << " " << c.U << " " << c.D;
        EXPECT_EQ(modeOf(c.L, c.U, c.D), c.mode) << c.L << " " << c.U << " " << c.D;
    }
    // Either side of each boundary.
    EXPECT_EQ(modeOf(7, 1, 2), 1);  // L > 3D
    EXPECT_EQ(modeOf(6, 1, 2), 2);  // L = 3D: a ratio of exactly 1/2 is not above it
    EXPECT_EQ(modeOf(10, 2, 7), 1); // 7L > 9D
    EXPECT_EQ(modeOf(1, 3, 1), 3);
    EXPECT_EQ(modeOf(1, 1, 2), 2);

    // Derived quantities of two shapes, by hand: H, M, W1, T, K.
    expectDerived(66, 1, 2, {66, 72, 72, 87, 36});
    expectDerived(66, 2, 1, {33, 70, 35, 40, 72});

    // The public stub answers the same.
    int32_t viaStub = 0;
    EXPECT_EQ(dsp::firMultiRateStateSizeF32(66, 2, 1, &viaStub), kOk);
    EXPECT_EQ(viaStub, 18224);
    std::vector<float> taps(66, 0.5f);
    std::vector<unsigned char> buffer(static_cast<size_t>(viaStub));
    FirState *st = nullptr;
    EXPECT_EQ(dsp::firMultiRateInitF32(&st, taps.data(), 66, 2, 1, 1, 0, nullptr, buffer.data()), kOk);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->tag, kFirTagMultirate);
    EXPECT_EQ(st->mode, 1);
}

TEST(FirMultirateSize, BothFactorsOneIsTheSingleRateState)
{
    for (int32_t L : {1, 20, 24, 63, 101})
    {
        int32_t single = 0;
        ASSERT_EQ(firGetStateSize(L, &single), kOk);
        EXPECT_EQ(sizeOf(L, 1, 1), single) << L;

        std::vector<float> taps(size_t(L), 0.25f);
        std::vector<unsigned char> buffer(static_cast<size_t>(single));
        FirState *st = nullptr;
        ASSERT_EQ(firMultirateInit(&st, taps.data(), L, 1, 0, 1, 0, nullptr, buffer.data()), kOk);
        EXPECT_EQ(st->tag, kFirTagSingle);
        EXPECT_EQ(st->tapCount, L);
    }
}

TEST(FirMultirateSize, ChecksInOrderAndOverflow)
{
    int32_t size = 12345;
    EXPECT_EQ(firMultirateGetStateSize(0, 0, 0, nullptr), kErrNullPointer);
    EXPECT_EQ(firMultirateGetStateSize(0, 0, 0, &size), kErrFirLength);
    EXPECT_EQ(firMultirateGetStateSize(-3, 2, 1, &size), kErrFirLength);
    EXPECT_EQ(firMultirateGetStateSize(5, 0, 1, &size), kErrFirFactor);
    EXPECT_EQ(firMultirateGetStateSize(5, 2, -1, &size), kErrFirFactor);
    // L + 3D beyond 32 bits, and sizes that would wrap.
    EXPECT_EQ(firMultirateGetStateSize(INT32_MAX, 1, 2, &size), kErrFirFactor);
    EXPECT_EQ(firMultirateGetStateSize(1, 2, INT32_MAX / 3 + 1, &size), kErrFirFactor);
    EXPECT_EQ(firMultirateGetStateSize(100000000, 1, 2, &size), kErrFirFactor);
    EXPECT_EQ(firMultirateGetStateSize(1, INT32_MAX, 1, &size), kErrFirFactor);
    EXPECT_EQ(size, 12345);
    // The largest sizes still answer, below INT32_MAX.
    EXPECT_EQ(firMultirateGetStateSize(45000000, 1, 2, &size), kOk);
    EXPECT_GT(size, 1900000000);
    EXPECT_LE(int64_t(size), int64_t(INT32_MAX));
}

TEST(FirMultirateInit, ChecksInOrderWriteNothing)
{
    GuardedBuffer mem(20000, 4);
    const auto before = mem.snapshot();
    const float taps[4] = {1, 2, 3, 4};
    FirState *st = reinterpret_cast<FirState *>(0x1234);
    FirState *const marker = st;
    void *buf = mem.data();
    auto init = [&](FirState **s, const float *t, int32_t L, int32_t U, int32_t pu, int32_t D, int32_t pd,
                    void *b) { return firMultirateInit(s, t, L, U, pu, D, pd, taps, b); };
    // -8 before -26 before -29 before -28.
    EXPECT_EQ(init(nullptr, taps, 0, 0, 9, 0, 9, buf), kErrNullPointer);
    EXPECT_EQ(init(&st, nullptr, 0, 0, 9, 0, 9, buf), kErrNullPointer);
    EXPECT_EQ(init(&st, taps, 0, 0, 9, 0, 9, nullptr), kErrNullPointer);
    EXPECT_EQ(init(&st, taps, 0, 0, 9, 0, 9, buf), kErrFirLength);
    EXPECT_EQ(init(&st, taps, 4, 0, 9, 1, 9, buf), kErrFirFactor);
    EXPECT_EQ(init(&st, taps, 4, 2, 9, -1, 9, buf), kErrFirFactor);
    EXPECT_EQ(init(&st, taps, 4, 2, 2, 1, 0, buf), kErrFirPhase); // pu = U
    EXPECT_EQ(init(&st, taps, 4, 2, -1, 1, 0, buf), kErrFirPhase);
    EXPECT_EQ(init(&st, taps, 4, 1, 0, 3, 3, buf), kErrFirPhase); // pd = D
    EXPECT_EQ(init(&st, taps, 4, 1, 0, 3, -1, buf), kErrFirPhase);
    EXPECT_EQ(init(&st, taps, 4, 1, 1, 1, 0, buf), kErrFirPhase); // U = D = 1 too
    // The arguments the size query refuses, init refuses too (before the phases).
    EXPECT_EQ(init(&st, taps, INT32_MAX, 1, 5, 2, 5, buf), kErrFirFactor);
    EXPECT_EQ(init(&st, taps, 100000000, 1, 0, 2, 0, buf), kErrFirFactor);
    EXPECT_EQ(st, marker);
    EXPECT_TRUE(mem.unchangedSince(before));
    // Through the public stub.
    EXPECT_EQ(dsp::firMultiRateInitF32(&st, taps, 4, 2, 2, 1, 0, nullptr, buf), kErrFirPhase);
    EXPECT_TRUE(mem.unchangedSince(before));
}

TEST(FirMultirateInit, RecordAtFirstBoundaryAndInsideReportedSize)
{
    struct Case
    {
        int32_t L, U, pu, D, pd, mode;
    };
    const Case cases[] = {{66, 1, 0, 2, 1, 1},  {66, 2, 1, 1, 0, 1}, {132, 4, 3, 1, 0, 1},
                          {132, 1, 0, 4, 3, 1}, {6, 1, 0, 2, 1, 2},  {8, 2, 1, 7, 6, 3},
                          {1, 3, 2, 1, 0, 3},   {20, 1, 0, 1, 0, 0}, {101, 1, 0, 1, 0, 0}};
    for (const Case &c : cases)
    {
        const int32_t size = sizeOf(c.L, c.U, c.D);
        std::vector<float> taps(static_cast<size_t>(c.L));
        for (int32_t i = 0; i < c.L; ++i)
            taps[size_t(i)] = float(i + 1);
        for (size_t offset : {0u, 4u, 8u, 12u, 15u, 1u})
        {
            GuardedBuffer mem(size_t(size), offset);
            FirState *st = nullptr;
            ASSERT_EQ(firMultirateInit(&st, taps.data(), c.L, c.U, c.pu, c.D, c.pd, nullptr, mem.data()),
                      kOk);
            const uintptr_t base = reinterpret_cast<uintptr_t>(mem.data());
            EXPECT_EQ(reinterpret_cast<uintptr_t>(st), (base + 15) & ~uintptr_t{15});
            EXPECT_TRUE(mem.guardsIntact()) << c.L << " " << c.U << " " << c.D << " @" << offset;
            if (c.mode == 0)
            {
                EXPECT_EQ(st->tag, kFirTagSingle);
                continue;
            }
            EXPECT_EQ(st->tag, kFirTagMultirate);
            EXPECT_EQ(st->mode, c.mode);
            EXPECT_EQ(st->tapCount, c.L);
            EXPECT_EQ(st->upFactor, c.U);
            EXPECT_EQ(st->downFactor, c.D);
            EXPECT_EQ(st->upPhase, c.pu);
            EXPECT_EQ(st->downPhase, c.pd);
            EXPECT_EQ(st->history, (c.L + c.U - 1) / c.U);
            EXPECT_EQ(st->fftLength, -1);
            EXPECT_EQ(st->fftSpec, 0);
            EXPECT_EQ(st->tapSpectrum, 0);
            EXPECT_EQ(st->delayOffset, 0);
            EXPECT_EQ(st->owned, 0);
            // Areas in order behind the header, all inside the reported size.
            EXPECT_EQ(st->revTaps, 112);
            EXPECT_LT(st->revTaps, st->tapTable);
            EXPECT_LT(st->tapTable, st->indexTable);
            EXPECT_LT(st->indexTable, st->delay);
            EXPECT_LT(st->delay, st->workspace);
            EXPECT_EQ(st->workspace % 16, 0);
            EXPECT_LE(int64_t(st->workspace) + 16384 + 16, int64_t(size));
        }
    }
}

TEST(FirMultirateInit, TapsAndDelayLineStoredReversedBitForBit)
{
    const std::vector<float> taps = floatsOf({0x3F800000, 0x80000000, 0x7FC12345, 0xFF800000, 0x7F800001,
                                              0x00000001, 0xC0400000, 0x00000000, 0x3E800000});
    const int32_t L = int32_t(taps.size());
    struct Case
    {
        int32_t U, D;
    };
    for (const Case c : {Case{1, 2}, Case{2, 1}, Case{1, 4}, Case{2, 7}})
    {
        const int32_t H = (L + c.U - 1) / c.U;
        std::vector<float> past(static_cast<size_t>(H));
        for (int32_t i = 0; i < H; ++i)
            past[size_t(i)] = taps[size_t((i * 5) % L)];
        std::vector<unsigned char> buffer(size_t(sizeOf(L, c.U, c.D)), 0xEE);
        FirState *st = nullptr;
        ASSERT_EQ(firMultirateInit(&st, taps.data(), L, c.U, 0, c.D, c.D - 1, past.data(), buffer.data()),
                  kOk);
        const float *rev = firArea<float>(st, st->revTaps);
        const float *d = firArea<float>(st, st->delay);
        for (int32_t i = 0; i < L; ++i)
            EXPECT_EQ(wordsOf(rev + i, 1), wordsOf(&taps[size_t(L - 1 - i)], 1)) << i;
        for (int32_t i = 0; i < H; ++i)
            EXPECT_EQ(wordsOf(d + i, 1), wordsOf(&past[size_t(H - 1 - i)], 1)) << i;
        // Behind the history, the work room up to H + T + 1 floats is +0.0.
        for (int32_t i = H; i < H + st->blockLimit + 1; ++i)
            EXPECT_EQ(wordsOf(d + i, 1), (dsp::test::Words{0u})) << i;

        // A null delay line is a silent past.
        ASSERT_EQ(firMultirateInit(&st, taps.data(), L, c.U, 0, c.D, 0, nullptr, buffer.data()), kOk);
        d = firArea<float>(st, st->delay);
        for (int32_t i = 0; i < H + st->blockLimit + 1; ++i)
            EXPECT_EQ(wordsOf(d + i, 1), (dsp::test::Words{0u})) << i;
    }
}

} // namespace
