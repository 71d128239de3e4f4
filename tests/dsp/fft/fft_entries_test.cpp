// The FFT object entries: create / free ownership, refusals in check order, the dispatcher
// rows, and memory: no allocation on a run path with a work buffer, every allocation failure
// reported as -9 with nothing written and nothing leaked.
#include <vector>

#include "dsp/dispatch/primitives.h"
#include "support/dsp_test_support.h"
#include "fft_oracle.h"

namespace
{

using namespace fft_test;
using dsp::test::ScopedAllocHooks;
using dsp::test::wordsOf;

FftSpec *const kUntouched = reinterpret_cast<FftSpec *>(uintptr_t(0x5A5A));

TEST(FftEntries, CreateAndFree)
{
    ScopedAllocHooks pool;
    FftSpec *spec = kUntouched;
    // Refused before any pool call; the out pointer stays.
    EXPECT_EQ(generic::fftCreateReal(&spec, 31, 8, 0), -15);
    EXPECT_EQ(generic::fftCreateReal(&spec, 28, 8, 0), -15);
    EXPECT_EQ(generic::fftCreateReal(&spec, 5, 3, 0), -16);
    EXPECT_EQ(generic::fftCreateComplex(&spec, -1, 8, 0), -15);
    EXPECT_EQ(generic::fftCreateComplex(&spec, 5, 0, 0), -16);
    EXPECT_EQ(generic::fftCreateReal(nullptr, 5, 8, 0), -8);
    EXPECT_EQ(pool.allocations(), 0);
    EXPECT_EQ(spec, kUntouched);

    // Create sets the owned flag; free clears the id and returns the block.
    ASSERT_EQ(generic::fftCreateReal(&spec, 12, 2, 9), 0);
    EXPECT_EQ(spec->id, 6);
    EXPECT_EQ(spec->owned, 1);
    EXPECT_EQ(spec->hint, 9);
    EXPECT_EQ(pool.outstanding(), 1); // the init buffer is already gone
    EXPECT_EQ(pool.allocations(), 2);
    FftSpec *complex = nullptr;
    ASSERT_EQ(generic::fftCreateComplex(&complex, 6, 8, 0), 0);
    EXPECT_EQ(complex->id, 4);
    EXPECT_EQ(complex->owned, 1);
    EXPECT_EQ(generic::fftFreeComplex(spec), -17);
    EXPECT_EQ(generic::fftFreeReal(complex), -17);
    EXPECT_EQ(generic::fftFreeReal(nullptr), -8);
    EXPECT_EQ(generic::fftFreeComplex(nullptr), -8);
    EXPECT_EQ(generic::fftFreeReal(spec), 0);
    EXPECT_EQ(generic::fftFreeComplex(complex), 0);
    EXPECT_TRUE(pool.balanced());

    // A caller-memory spec: owned 0, free releases nothing but retires the id.
    TestSpec t(Kind::Real, 6, 8);
    EXPECT_EQ(t.spec->owned, 0);
    const int before = pool.releases();
    EXPECT_EQ(generic::fftFreeReal(t.spec), 0);
    EXPECT_EQ(pool.releases(), before);
    std::vector<float> buf(64, 1.0f);
    const std::vector<float> copy = buf;
    EXPECT_EQ(generic::fftForwardRealInPlace(buf.data(), t.spec, nullptr), -17);
    EXPECT_EQ(generic::fftFreeReal(t.spec), -17);
    TestSpec c(Kind::Complex, 6, 8);
    EXPECT_EQ(generic::fftFreeComplex(c.spec), 0);
    EXPECT_EQ(generic::fftForwardComplex(buf.data(), buf.data(), c.spec, nullptr), -17);
    EXPECT_EQ(buf, copy);
}

TEST(FftEntries, TransformRefusals)
{
    TestSpec real(Kind::Real, 5, 8), complex(Kind::Complex, 5, 8);
    std::vector<float> a(64, 2.0f), b(64, 3.0f);
    const std::vector<float> a0 = a, b0 = b;
    // The id is checked before the arrays.
    EXPECT_EQ(generic::fftRealForward(nullptr, nullptr, complex.spec, nullptr), -17);
    EXPECT_EQ(generic::fftRealInverse(nullptr, nullptr, complex.spec, nullptr), -17);
    EXPECT_EQ(generic::fftInverseRealInPlace(nullptr, complex.spec, nullptr), -17);
    EXPECT_EQ(generic::fftForwardComplex(nullptr, nullptr, real.spec, nullptr), -17);
    EXPECT_EQ(generic::fftRealForward(a.data(), b.data(), nullptr, nullptr), -8);
    EXPECT_EQ(generic::fftForwardComplex(a.data(), b.data(), nullptr, nullptr), -8);
    EXPECT_EQ(generic::fftRealForward(nullptr, b.data(), real.spec, nullptr), -8);
    EXPECT_EQ(generic::fftRealInverse(a.data(), nullptr, real.spec, nullptr), -8);
    EXPECT_EQ(generic::fftForwardComplex(a.data(), nullptr, complex.spec, nullptr), -8);

    // A spec of another table layout (a faster variant's) is refused with the id, before the
    // arrays, and still freed.
    for (int32_t order : {2, 5, 12})
    {
        TestSpec r(Kind::Real, order, 8), c(Kind::Complex, order, 8);
        r.spec->reserved0 = 1;
        c.spec->reserved0 = 1;
        EXPECT_EQ(generic::fftRealForward(a.data(), b.data(), r.spec, nullptr), -17);
        EXPECT_EQ(generic::fftRealInverse(a.data(), b.data(), r.spec, nullptr), -17);
        EXPECT_EQ(generic::fftForwardRealInPlace(nullptr, r.spec, nullptr), -17);
        EXPECT_EQ(generic::fftForwardComplex(a.data(), b.data(), c.spec, nullptr), -17);
        EXPECT_EQ(generic::fftFreeReal(r.spec), 0);
        EXPECT_EQ(generic::fftFreeComplex(c.spec), 0);
    }
    EXPECT_EQ(a, a0);
    EXPECT_EQ(b, b0);
}

// The rows hold the generic implementations at all six indices; the public stubs reach them.
TEST(FftEntries, DispatcherRows)
{
    for (uint32_t i = 0; i < dsp::dispatch::kVariantCount; ++i)
    {
        // Index 0 the generic transforms, 1-5 the SSE tuning (x86).
        const auto &t = dsp::CpuVariantDispatchTable;
#if defined(__x86_64__) || defined(__i386__)
        if (i > 0)
        {
            EXPECT_EQ(t.fftCreateComplex[i], &dsp::sse::fftCreateComplex);
            EXPECT_EQ(t.fftFreeComplex[i], &dsp::sse::fftFreeComplex);
            EXPECT_EQ(t.fftForwardComplex[i], &dsp::sse::fftForwardComplex);
            EXPECT_EQ(t.fftCreateReal[i], &dsp::sse::fftCreateReal);
            EXPECT_EQ(t.fftFreeReal[i], &dsp::sse::fftFreeReal);
            EXPECT_EQ(t.fftForwardRealInPlace[i], &dsp::sse::fftForwardRealInPlace);
            EXPECT_EQ(t.fftInverseRealInPlace[i], &dsp::sse::fftInverseRealInPlace);
            continue;
        }
#endif
        EXPECT_EQ(t.fftCreateComplex[i], &generic::fftCreateComplex);
        EXPECT_EQ(t.fftFreeComplex[i], &generic::fftFreeComplex);
        EXPECT_EQ(t.fftForwardComplex[i], &generic::fftForwardComplex);
        EXPECT_EQ(t.fftCreateReal[i], &generic::fftCreateReal);
        EXPECT_EQ(t.fftFreeReal[i], &generic::fftFreeReal);
        EXPECT_EQ(t.fftForwardRealInPlace[i], &generic::fftForwardRealInPlace);
        EXPECT_EQ(t.fftInverseRealInPlace[i], &generic::fftInverseRealInPlace);
    }
    ScopedAllocHooks pool;
    dsp::FftSpec *spec = nullptr;
    ASSERT_EQ(dsp::fftCreateReal(&spec, 3, 8, 0), 0);
    std::vector<float> x{1, 0, 0, 0, 0, 0, 0, 0};
    ASSERT_EQ(dsp::fftForwardRealInPlace(x.data(), spec, nullptr), 0);
    EXPECT_EQ(x, (std::vector<float>{1, 1, 1, 0, 1, 0, 1, 0}));
    ASSERT_EQ(dsp::fftInverseRealInPlace(x.data(), spec, nullptr), 0);
    EXPECT_EQ(x, (std::vector<float>{8, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(dsp::fftFreeReal(spec), 0);
    EXPECT_TRUE(pool.balanced());
}

TEST(FftMemory, RunPathsAllocateNothingWithWork)
{
    for (int32_t order : {0, 3, 4, 10, 11, 12, 13, 14, 16})
    {
        const size_t n = size_t(1) << order;
        TestSpec r(Kind::Real, order, 4), c(Kind::Complex, order, 4);
        std::vector<float> x = randomFloats(2 * n, uint32_t(order));
        dsp::test::AllocationCounter count;
        // A work buffer given, or none needed: no allocation, in every direction.
        EXPECT_EQ(generic::fftForwardRealInPlace(x.data(), r.spec, r.work()), 0);
        EXPECT_EQ(generic::fftInverseRealInPlace(x.data(), r.spec, r.work()), 0);
        EXPECT_EQ(generic::fftForwardComplex(x.data(), x.data(), c.spec, c.work()), 0);
        if (r.workSize == 0)
        {
            EXPECT_EQ(generic::fftRealForward(x.data(), x.data(), r.spec, nullptr), 0);
        }
        EXPECT_EQ(count.allocations(), 0) << "order " << order;
    }
    // Without a work buffer where one is needed: exactly one block for the call, returned.
    TestSpec r(Kind::Real, 14, 8);
    std::vector<float> x = randomFloats(1 << 14, 5), y = x, z = x;
    ScopedAllocHooks pool;
    ASSERT_EQ(generic::fftForwardRealInPlace(x.data(), r.spec, nullptr), 0);
    ASSERT_EQ(generic::fftForwardRealInPlace(y.data(), r.spec, r.work()), 0);
    EXPECT_EQ(wordsOf(x), wordsOf(y));
    EXPECT_EQ(pool.allocations(), 1);
    EXPECT_TRUE(pool.balanced());
    // A misaligned caller work buffer is rounded up inside its slack.
    std::vector<unsigned char> work(size_t(r.workSize) + 8);
    ASSERT_EQ(generic::fftForwardRealInPlace(z.data(), r.spec, work.data() + 3), 0);
    EXPECT_EQ(wordsOf(z), wordsOf(y));
}

TEST(FftMemory, AllocationFailuresAreReportedAndUnwound)
{
    // Every allocation of the creates: the spec block, and above order 10 the init buffer.
    struct Case
    {
        dsp::Status (*create)(FftSpec **, int32_t, int32_t, int32_t);
        int32_t order;
        int allocations;
    };
    for (const Case &c : {Case{generic::fftCreateReal, 8, 1}, Case{generic::fftCreateReal, 14, 2},
                          Case{generic::fftCreateComplex, 8, 1}, Case{generic::fftCreateComplex, 13, 2}})
    {
        for (int nth = 1; nth <= c.allocations; ++nth)
        {
            ScopedAllocHooks pool;
            pool.failNth(nth);
            FftSpec *spec = kUntouched;
            EXPECT_EQ(c.create(&spec, c.order, 8, 0), -9) << c.order << " failing call " << nth;
            EXPECT_EQ(spec, kUntouched);
            EXPECT_EQ(pool.allocations(), nth);
            EXPECT_TRUE(pool.balanced());
        }
        ScopedAllocHooks pool;
        FftSpec *spec = nullptr;
        ASSERT_EQ(c.create(&spec, c.order, 8, 0), 0);
        EXPECT_EQ(pool.allocations(), c.allocations);
        EXPECT_EQ(spec->id == 6 ? generic::fftFreeReal(spec) : generic::fftFreeComplex(spec), 0);
        EXPECT_TRUE(pool.balanced());
    }

    // A transform that must allocate its work buffer and cannot: -9, nothing written.
    TestSpec r(Kind::Real, 14, 8), c(Kind::Complex, 13, 8);
    std::vector<float> src = randomFloats(1 << 14, 9), dst(1 << 14, 0.5f);
    const std::vector<float> src0 = src, dst0 = dst;
    ScopedAllocHooks pool;
    pool.failFrom(1);
    EXPECT_EQ(generic::fftRealForward(src.data(), dst.data(), r.spec, nullptr), -9);
    EXPECT_EQ(generic::fftRealInverse(src.data(), dst.data(), r.spec, nullptr), -9);
    EXPECT_EQ(generic::fftForwardRealInPlace(src.data(), r.spec, nullptr), -9);
    EXPECT_EQ(generic::fftForwardComplex(src.data(), dst.data(), c.spec, nullptr), -9);
    EXPECT_EQ(generic::fftForwardComplex(src.data(), src.data(), c.spec, nullptr), -9);
    EXPECT_EQ(pool.allocations(), 5);
    EXPECT_TRUE(pool.balanced());
    EXPECT_EQ(wordsOf(src), wordsOf(src0));
    EXPECT_EQ(wordsOf(dst), wordsOf(dst0));
}

} // namespace
