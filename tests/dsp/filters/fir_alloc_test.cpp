// Library-allocated "FI01" records: block sizes, the spec kept beside the record, release, and
// every failure path through the recording pool hooks; running such a record allocates nothing.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <optional>
#include <vector>

#include "dsp/dispatch/primitives.h"
#include "support/dsp_test_support.h"
#include "dsp/fft/fft.h"
#include "dsp/filters/fir_alloc.h"
#include "dsp/filters/fir_one.h"
#include "dsp/filters/fir_run.h"
#include "dsp/filters/fir_state.h"
#include "support/fir_reference.h"

namespace
{

using namespace dsp;
using dsp::test::AllocationCounter;
using dsp::test::ScopedAllocHooks;
using dsp::test::wordsOf;
using fir_test::uniformSignal;
namespace g = dsp::generic;

FirState *const kSentinel = reinterpret_cast<FirState *>(uintptr_t{0xABCDE0});

// allocAligned asks the pool for 36 bytes more than the block.
constexpr size_t kAlignSlack = 36;

size_t realSpecBytes(int32_t order)
{
    int32_t spec = 0, init = 0, work = 0;
    EXPECT_EQ(g::fftRealGetSize(order, g::kFftScaleInverse, 0, &spec, &init, &work), kOk);
    return size_t(spec);
}

// allocAligned's pointer: 32-aligned, 4..35 bytes into the pool block.
bool insideBlock(const void *p, const void *poolBlock)
{
    const auto a = reinterpret_cast<uintptr_t>(p);
    const auto b = reinterpret_cast<uintptr_t>(poolBlock);
    return a % 32 == 0 && a >= b + 4 && a < b + 36;
}

TEST(FirCreate, FftSpecWorkSizeIsTheWorkSizePlusAlignmentRoom)
{
    for (int32_t order : {8, 13, 14, 16})
    {
        FftSpec *spec = nullptr;
        ASSERT_EQ(g::fftCreateReal(&spec, order, g::kFftScaleInverse, 0), kOk);
        int32_t size = -1;
        EXPECT_EQ(g::fftSpecWorkSize(spec, &size), kOk);
        int32_t specBytes = 0, init = 0, work = 0;
        ASSERT_EQ(g::fftRealGetSize(order, g::kFftScaleInverse, 0, &specBytes, &init, &work), kOk);
        // Real orders up to 13 need no scratch; from 14 the transforms do.
        EXPECT_EQ(size, order <= 13 ? 0 : spec->workSize + 32) << order;
        EXPECT_EQ(size, work) << "the size query counts the same scratch, order " << order;
        EXPECT_EQ(g::fftFreeReal(spec), kOk);
    }
    FftSpec *complexSpec = nullptr;
    ASSERT_EQ(g::fftCreateComplex(&complexSpec, 6, g::kFftNoScale, 0), kOk);
    int32_t size = 77;
    EXPECT_EQ(g::fftSpecWorkSize(nullptr, &size), kErrNullPointer);
    EXPECT_EQ(g::fftSpecWorkSize(complexSpec, nullptr), kErrNullPointer);
    EXPECT_EQ(g::fftSpecWorkSize(complexSpec, &size), kErrBadTag);
    EXPECT_EQ(size, 77);
    EXPECT_EQ(g::fftFreeComplex(complexSpec), kOk);
}

TEST(FirCreate, ChecksComeBeforeAnyAllocation)
{
    ScopedAllocHooks pool;
    const std::vector<float> h(8, 0.25f);
    FirState *st = kSentinel;
    EXPECT_EQ(g::firCreateF32(nullptr, h.data(), 8, nullptr), kErrNullPointer);
    EXPECT_EQ(g::firCreateF32(&st, nullptr, 8, nullptr), kErrNullPointer);
    EXPECT_EQ(g::firCreateF32(nullptr, nullptr, 0, nullptr), kErrNullPointer);
    EXPECT_EQ(g::firCreateF32(&st, h.data(), 0, nullptr), kErrFirLength);
    EXPECT_EQ(g::firCreateF32(&st, h.data(), -9, nullptr), kErrFirLength);
    // The tap counts the size query refuses are refused here too, never allocated short.
    EXPECT_EQ(g::firCreateF32(&st, h.data(), 1 << 27, nullptr), kErrFirLength);
    EXPECT_EQ(g::firCreateF32(&st, h.data(), INT32_MAX, nullptr), kErrFirLength);
    EXPECT_EQ(g::firInitAllocKernel(&st, h.data(), 8, nullptr, kFirTagMultirate), kErrBadTag);
    EXPECT_EQ(st, kSentinel);
    EXPECT_EQ(pool.allocations(), 0);
}

TEST(FirCreate, BlockSizesAndLayout)
{
    struct Case
    {
        int32_t taps;
        size_t block;
        std::vector<size_t> requests; // spec block (and init buffer), then the record
    };
    const Case cases[] = {
        {20, 16512 + 80 + 256, {16512 + 80 + 256 + kAlignSlack}},
        {63, 17552, {17552 + kAlignSlack}},
        {64, 19600, {realSpecBytes(8) + kAlignSlack, 19600 + kAlignSlack}},
    };
    for (const Case &c : cases)
    {
        ScopedAllocHooks pool;
        const std::vector<float> h = uniformSignal(size_t(c.taps), uint32_t(c.taps));
        FirState *st = nullptr;
        ASSERT_EQ(g::firCreateF32(&st, h.data(), c.taps, nullptr), kOk);
        EXPECT_EQ(pool.sizes(), c.requests) << c.taps << " taps";
        EXPECT_TRUE(insideBlock(st, pool.blocks().back()));
        EXPECT_EQ(st->tag, kFirTagSingle);
        EXPECT_EQ(st->owned, 1);
        EXPECT_EQ(st->tapCount, c.taps);
        EXPECT_EQ(st->history, c.taps);
        EXPECT_EQ(st->blockLimit, ((c.taps + 3) & ~3) + 1);
        EXPECT_EQ(st->workspace + 16384, int32_t(c.block));
        if (c.taps >= 64)
        {
            EXPECT_EQ(st->fftLength, 256);
            EXPECT_EQ(st->fftSpec, kFirSpecInGap);
            EXPECT_TRUE(insideBlock(firFftSpec(st), pool.blocks().front()));
        }
        else
        {
            EXPECT_EQ(st->fftLength, -1);
            EXPECT_EQ(st->fftSpec, 0);
            EXPECT_EQ(firFftSpec(st), nullptr);
        }
        EXPECT_EQ(g::firFree(st), kOk);
        EXPECT_TRUE(pool.balanced());
    }
}

TEST(FirCreate, SameRecordContentsAsACallerBuffer)
{
    for (int32_t L : {24, 64, 101, 512})
    {
        const std::vector<float> h = uniformSignal(size_t(L), 30 + uint32_t(L));
        const std::vector<float> past = dsp::test::F32Source(uint32_t(L)).vector(size_t(L));
        int32_t size = 0;
        ASSERT_EQ(g::firGetStateSize(L, &size), kOk);
        std::vector<unsigned char> buf(static_cast<size_t>(size));
        FirState *local = nullptr;
        ASSERT_EQ(g::firInit(&local, h.data(), L, past.data(), buf.data()), kOk);
        FirState *owned = nullptr;
        ASSERT_EQ(g::firCreateF32(&owned, h.data(), L, past.data()), kOk);

        EXPECT_EQ(wordsOf(firArea<float>(owned, owned->revTaps), size_t(L)),
                  wordsOf(firArea<float>(local, local->revTaps), size_t(L)));
        EXPECT_EQ(wordsOf(firArea<float>(owned, owned->delay), size_t(L)),
                  wordsOf(firArea<float>(local, local->delay), size_t(L)));
        EXPECT_EQ(owned->fftLength, local->fftLength);
        if (local->fftLength > 0)
        {
            EXPECT_EQ(wordsOf(firArea<float>(owned, owned->tapSpectrum), size_t(owned->fftLength)),
                      wordsOf(firArea<float>(local, local->tapSpectrum), size_t(local->fftLength)));
        }

        // Both filter alike, on either path, without allocating.
        const std::vector<float> x = uniformSignal(3000, 31);
        std::vector<float> a(x.size()), b(x.size());
        AllocationCounter count;
        for (int32_t n : {700, 511, 1789})
        {
            const size_t at = n == 700 ? 0 : n == 511 ? 700 : 1211;
            ASSERT_EQ(g::firFilterBlock(x.data() + at, a.data() + at, n, local), kOk);
            ASSERT_EQ(g::firFilterBlock(x.data() + at, b.data() + at, n, owned), kOk);
        }
        EXPECT_EQ(count.allocations(), 0);
        EXPECT_EQ(wordsOf(a), wordsOf(b)) << L << " taps";
        EXPECT_EQ(g::firFree(owned), kOk);
    }
    // A null delay line is silence.
    FirState *st = nullptr;
    const std::vector<float> h(5, 1.0f);
    ASSERT_EQ(g::firCreateF32(&st, h.data(), 5, nullptr), kOk);
    EXPECT_EQ(wordsOf(firArea<float>(st, st->delay), 5), wordsOf(std::vector<float>(5, 0.0f)));
    EXPECT_EQ(g::firFree(st), kOk);
}

TEST(FirCreate, EveryFailedAllocationLeavesNothingBehind)
{
    // 20 taps: the record only. 64: spec, record. 512 (order 11): spec, its init buffer, record.
    const std::pair<int32_t, int> cases[] = {{20, 1}, {64, 2}, {512, 3}};
    for (const auto &[L, allocations] : cases)
    {
        const std::vector<float> h = uniformSignal(size_t(L), 5);
        {
            ScopedAllocHooks pool;
            FirState *st = nullptr;
            ASSERT_EQ(g::firCreateF32(&st, h.data(), L, nullptr), kOk);
            EXPECT_EQ(pool.allocations(), allocations) << L;
            EXPECT_EQ(g::firFree(st), kOk);
        }
        for (int nth = 1; nth <= allocations; ++nth)
        {
            ScopedAllocHooks pool;
            pool.failNth(nth);
            FirState *st = kSentinel;
            EXPECT_EQ(g::firCreateF32(&st, h.data(), L, nullptr), kErrNoMemory)
                << L << " taps, failure " << nth;
            EXPECT_EQ(st, kSentinel);
            EXPECT_EQ(pool.failures(), 1);
            EXPECT_TRUE(pool.balanced()) << L << " taps, failure " << nth;
            // A failed spec stops before the record is asked for.
            if (nth < allocations)
            {
                EXPECT_EQ(pool.allocations(), nth);
            }
        }
    }
}

TEST(FirFree, OwnedCallerBufferAndForeignRecords)
{
    const std::vector<float> h = uniformSignal(101, 6);
    {
        // An owned record releases its spec, then its block, once each.
        ScopedAllocHooks pool;
        FirState *st = nullptr;
        ASSERT_EQ(g::firCreateF32(&st, h.data(), 101, nullptr), kOk);
        const std::vector<void *> blocks = pool.blocks();
        ASSERT_EQ(blocks.size(), 2u);
        EXPECT_EQ(g::firFree(st), kOk);
        EXPECT_EQ(pool.released(), blocks);
        EXPECT_TRUE(pool.balanced());
    }
    {
        // A caller-buffer record: 0, nothing freed, nothing changed (tag kept).
        ScopedAllocHooks pool;
        int32_t size = 0;
        ASSERT_EQ(g::firGetStateSize(101, &size), kOk);
        std::vector<unsigned char> buf(static_cast<size_t>(size));
        FirState *st = nullptr;
        ASSERT_EQ(g::firInit(&st, h.data(), 101, nullptr, buf.data()), kOk);
        const std::vector<unsigned char> before = buf;
        EXPECT_EQ(g::firFree(st), kOk);
        EXPECT_EQ(buf, before);
        EXPECT_EQ(st->tag, kFirTagSingle);
        EXPECT_EQ(pool.releases(), 0);
    }
    {
        ScopedAllocHooks pool;
        alignas(16) unsigned char foreign[112] = {};
        std::memcpy(foreign, "II01", 4);
        reinterpret_cast<FirState *>(foreign)->owned = 1;
        EXPECT_EQ(g::firFree(reinterpret_cast<FirState *>(foreign)), kErrBadTag);
        EXPECT_EQ(g::firFree(nullptr), kErrNullPointer);
        EXPECT_EQ(pool.releases(), 0);
    }
}

TEST(FirCreate, LargeFilterUsesTheRecordsScratchAndNeverAllocatesWhileRunning)
{
    // 4096 taps: order 14, whose transforms need scratch; the record carries it.
    const int32_t L = 4096;
    const std::vector<float> h = uniformSignal(size_t(L), 7);
    FirState *st = nullptr;
    ASSERT_EQ(g::firCreateF32(&st, h.data(), L, nullptr), kOk);
    ASSERT_EQ(st->fftLength, 1 << 14);
    EXPECT_GT(st->fftScratchSize, 0);
    EXPECT_NE(st->fftScratch, 0);
    const std::vector<float> x = uniformSignal(40000, 8);
    std::vector<float> y(x.size());
    {
        AllocationCounter count;
        // The public stubs, as the driver calls them.
        ASSERT_EQ(dsp::firFilterF32(x.data(), y.data(), int32_t(x.size()), st), kOk);
        float one = 0;
        float line[2 * 20] = {};
        int32_t index = 0;
        ASSERT_EQ(dsp::firOneSampleF32(1.0f, &one, h.data(), 20, line, &index), kOk);
        EXPECT_EQ(count.allocations(), 0);
    }
    const std::vector<double> ref = fir_test::firReferenceDouble(h, x);
    EXPECT_LE(fir_test::relativeRms(y.data(), ref.data(), y.size()), 8.0 * 14 * std::ldexp(1.0, -24));
    EXPECT_EQ(g::firFree(st), kOk);
}

TEST(FirStubs, CreateFilterFreeAtEveryVariantIndex)
{
    const std::vector<float> h = uniformSignal(64, 9);
    const std::vector<float> x = uniformSignal(600, 10);
    for (uint32_t index = 0; index <= test::testMaxVariant(); ++index)
    {
        ScopedAllocHooks pool;
        std::optional<test::ScopedVariantIndex> at(index);
        FirState *st = nullptr;
        EXPECT_EQ(dsp::firCreateF32(&st, h.data(), 64, nullptr), kOk);
        std::vector<float> y(600);
        EXPECT_EQ(dsp::firFilterF32(x.data(), y.data(), 600, st), kOk);
        EXPECT_EQ(dsp::firFree(st), kOk);
        EXPECT_EQ(dsp::firFree(nullptr), kErrNullPointer);
        at.reset();
        EXPECT_EQ(pool.allocations(), 2);
        EXPECT_TRUE(pool.balanced());
        const std::vector<double> ref = fir_test::firReferenceDouble(h, x);
        EXPECT_LE(fir_test::relativeRms(y.data(), ref.data(), y.size()), 8.0 * 8 * std::ldexp(1.0, -24));
    }
    DSP_SKIP_UNSUPPORTED_VARIANTS();
}

} // namespace
