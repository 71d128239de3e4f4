// The SSE variants' FFT (tuning 1): its sizes and tables, its accuracy against the double
// references and against the generic transform, the exact identities its kernels keep, the layout
// check between the two kinds of spec, and its allocations failed one by one.
#if defined(__x86_64__) || defined(__i386__)

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <vector>

#include "dsp/dispatch/primitives.h"
#include "dsp/fft/simd/fft_sse.h"
#include "fft_oracle.h"
#include "support/dsp_test_support.h"

namespace
{

using namespace fft_test;
namespace sse = dsp::sse;

constexpr bool kTuning1 = true;

bool sameBits(const std::vector<float> &a, const std::vector<float> &b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 4) == 0;
}

int64_t r32(int64_t x)
{
    return x & ~int64_t(31);
}

dsp::Status forward(const TestSpec &t, const float *src, float *dst, void *work)
{
    return t.kind() == Kind::Real ? sse::fftRealForward(src, dst, t.spec, work)
                                  : sse::fftForwardComplex(src, dst, t.spec, work);
}

dsp::Status inverse(const TestSpec &t, const float *src, float *dst, void *work)
{
    return t.kind() == Kind::Real ? sse::fftRealInverse(src, dst, t.spec, work)
                                  : sse::fftComplexInverse(src, dst, t.spec, work);
}

TEST(FftSse, SizesFollowTheDirectRangeFormulas)
{
    int32_t s, i, w;
    const int32_t expected[4][3] = {
        {4544, 0, 2080}, {8896, 0, 4128}, {17600, 2112, 8224}, {35008, 4160, 16416}};
    for (int32_t order = 9; order <= 12; ++order)
    {
        ASSERT_EQ(sse::fftRealGetSize(order, 8, 0, &s, &i, &w), 0);
        EXPECT_EQ(s, expected[order - 9][0]);
        EXPECT_EQ(i, expected[order - 9][1]);
        EXPECT_EQ(w, expected[order - 9][2]);
    }
    for (bool real : {true, false})
    {
        for (int32_t n = 0; n <= 27; ++n)
        {
            int32_t gs, gi, gw;
            auto query = real ? sse::fftRealGetSize : sse::complexFftSpecSize;
            auto genericQuery = real ? generic::fftRealGetSize : generic::complexFftSpecSize;
            ASSERT_EQ(query(n, 4, 0, &s, &i, &w), 0);
            ASSERT_EQ(genericQuery(n, 4, 0, &gs, &gi, &gw), 0);
            const int32_t m = real ? n - 1 : n;
            if (n <= 3)
            {
                EXPECT_EQ(s, gs) << n;
                EXPECT_EQ(i, gi) << n;
                EXPECT_EQ(w, gw) << n;
                continue;
            }
            if (m > 17)
                continue; // the large orders' own rule: fft_sse_large_test.cpp
            const int64_t M = int64_t(1) << m, N = int64_t(1) << n;
            EXPECT_EQ(s, r32(8 * M + 39) + r32(M + 35) + 128 + (real ? 2 * r32(2 * N + 31) : 0)) << n;
            EXPECT_EQ(i, n <= 10 ? 0 : r32(N + 35) + 32) << n;
            EXPECT_EQ(w, r32(8 * M + 31) + 32) << n;
        }
        auto query = real ? sse::fftRealGetSize : sse::complexFftSpecSize;
        EXPECT_EQ(query(28, 4, 0, &s, &i, &w), dsp::kErrFftOrder);
        EXPECT_EQ(query(5, 3, 0, &s, &i, &w), dsp::kErrFftFlag);
        EXPECT_EQ(query(5, 4, 0, &s, nullptr, &w), dsp::kErrNullPointer);
    }
}

// Init writes nothing past its sizes: guard bytes after the spec and init buffers at every order.
TEST(FftSse, InitStaysInsideItsSizes)
{
    for (bool real : {true, false})
    {
        for (int32_t order = 0; order <= 19; ++order)
        {
            int32_t s, i, w;
            ASSERT_EQ((real ? sse::fftRealGetSize : sse::complexFftSpecSize)(order, 1, 0, &s, &i, &w), 0);
            std::vector<unsigned char> spec(size_t(s) + 64, 0xA5), init(size_t(i) + 64, 0xA5);
            dsp::FftSpec *out = nullptr;
            // The caller's buffers at 3 bytes past a boundary: the most alignment slack used.
            ASSERT_EQ((real ? sse::fftRealInit : sse::complexFftSpecInit)(&out, order, 1, 0, spec.data() + 3,
                                                                          init.data() + 3),
                      0);
            EXPECT_EQ(out->reserved0, generic::kFftLayoutTuning1);
            for (size_t k = 0; k < 3; ++k)
                EXPECT_EQ(spec[k], 0xA5);
            for (size_t k = size_t(s) + 3; k < spec.size(); ++k)
                ASSERT_EQ(spec[k], 0xA5) << "spec, order " << order;
            for (size_t k = size_t(i) + 3; k < init.size(); ++k)
                ASSERT_EQ(init[k], 0xA5) << "init, order " << order;
        }
    }
}

TEST(FftSse, RecombinationBlocksHoldTheGenericValuesInLaneOrder)
{
    for (int32_t order : {4, 7, 12})
    {
        TestSpec g(Kind::Real, order, 8), f(Kind::Real, order, 8, 0, kTuning1);
        const int64_t Q = (int64_t(1) << order) / 4;
        const int64_t lane[4] = {2, 1, 4, 3};
        for (int32_t table = 0; table < 2; ++table)
        {
            const float *gt =
                generic::fftTable<float>(g.spec, table ? g.spec->recombineInverse : g.spec->recombineForward);
            const float *ft =
                generic::fftTable<float>(f.spec, table ? f.spec->recombineInverse : f.spec->recombineForward);
            for (int64_t j = 0; j < Q / 4; ++j)
                for (int b = 0; b < 4; ++b)
                {
                    const int64_t k = 4 * j + lane[b];
                    if (k >= Q)
                        continue; // k = N/4 is past the generic table
                    EXPECT_EQ(ft[8 * j + b], gt[2 * k]) << order << " k " << k;
                    EXPECT_EQ(ft[8 * j + 4 + b], gt[2 * k + 1]) << order << " k " << k;
                }
        }
    }
}

// Each transform runs only specs of its own layout, so a selector changed between create and
// transform cannot run tables the transform does not read.
TEST(FftSse, ASpecOfTheOtherLayoutIsRefused)
{
    for (int32_t order : {2, 10, 19})
    {
        TestSpec g(Kind::Real, order, 8), f(Kind::Real, order, 8, 0, kTuning1);
        TestSpec gc(Kind::Complex, order, 8), fc(Kind::Complex, order, 8, 0, kTuning1);
        std::vector<float> x(size_t(2) << order, 1.0f), y = x;
        EXPECT_EQ(sse::fftRealForward(x.data(), x.data(), g.spec, nullptr), dsp::kErrBadTag);
        EXPECT_EQ(sse::fftInverseRealInPlace(x.data(), g.spec, nullptr), dsp::kErrBadTag);
        EXPECT_EQ(sse::fftForwardComplex(x.data(), x.data(), gc.spec, nullptr), dsp::kErrBadTag);
        EXPECT_EQ(generic::fftRealForward(x.data(), x.data(), f.spec, nullptr), dsp::kErrBadTag);
        EXPECT_EQ(generic::fftForwardComplex(x.data(), x.data(), fc.spec, nullptr), dsp::kErrBadTag);
        EXPECT_TRUE(sameBits(x, y)) << "nothing written";
        // Releases take either layout.
        EXPECT_EQ(generic::fftFreeReal(f.spec), 0);
        EXPECT_EQ(sse::fftFreeComplex(gc.spec), 0);
    }
}

// The tuning's entries refuse what the generic ones refuse, with the same code in the same order
// (order and flag before the out pointer, the FftSpec's kind before the arrays): a refused create
// allocates nothing and leaves the out pointer, a refused transform writes nothing.
TEST(FftSse, RefusalsMatchTheGenericEntries)
{
    using Create = dsp::Status (*)(dsp::FftSpec **, int32_t, int32_t, int32_t);
    using Transform = dsp::Status (*)(const float *, float *, const dsp::FftSpec *, void *);
    using InPlace = dsp::Status (*)(float *, const dsp::FftSpec *, void *);
    struct Entries
    {
        Create createReal, createComplex;
        Transform realForward, realInverse, complexForward;
        InPlace forwardInPlace, inverseInPlace;
        bool tuning1;
    };
    const Entries impls[2] = {
        {generic::fftCreateReal, generic::fftCreateComplex, generic::fftRealForward, generic::fftRealInverse,
         generic::fftForwardComplex, generic::fftForwardRealInPlace, generic::fftInverseRealInPlace, false},
        {sse::fftCreateReal, sse::fftCreateComplex, sse::fftRealForward, sse::fftRealInverse,
         sse::fftForwardComplex, sse::fftForwardRealInPlace, sse::fftInverseRealInPlace, kTuning1}};
    std::vector<dsp::Status> statuses[2];
    for (int i = 0; i < 2; ++i)
    {
        const Entries &e = impls[i];
        std::vector<dsp::Status> &s = statuses[i];
        dsp::test::ScopedAllocHooks pool;
        dsp::FftSpec *out = reinterpret_cast<dsp::FftSpec *>(uintptr_t(0x40));
        for (Create create : {e.createReal, e.createComplex})
            for (auto [order, flag] : {std::pair{28, 3}, std::pair{-1, 8}, std::pair{5, 3}, std::pair{5, 0}})
            {
                s.push_back(create(&out, order, flag, 0));
                s.push_back(create(nullptr, order, flag, 0));
            }
        s.push_back(e.createReal(nullptr, 5, 8, 0));
        EXPECT_EQ(pool.allocations(), 0);
        EXPECT_EQ(out, reinterpret_cast<dsp::FftSpec *>(uintptr_t(0x40)));

        TestSpec real(Kind::Real, 10, 8, 0, e.tuning1), complex(Kind::Complex, 10, 8, 0, e.tuning1);
        std::vector<float> a(2048, 2.0f), b(2048, 3.0f);
        const std::vector<float> a0 = a, b0 = b;
        for (Transform t : {e.realForward, e.realInverse})
        {
            s.push_back(t(nullptr, nullptr, complex.spec, nullptr));
            s.push_back(t(a.data(), b.data(), nullptr, nullptr));
            s.push_back(t(nullptr, b.data(), real.spec, nullptr));
            s.push_back(t(a.data(), nullptr, real.spec, nullptr));
        }
        for (InPlace t : {e.forwardInPlace, e.inverseInPlace})
        {
            s.push_back(t(nullptr, complex.spec, nullptr));
            s.push_back(t(a.data(), nullptr, nullptr));
            s.push_back(t(nullptr, real.spec, nullptr));
        }
        s.push_back(e.complexForward(nullptr, nullptr, real.spec, nullptr));
        s.push_back(e.complexForward(a.data(), b.data(), nullptr, nullptr));
        s.push_back(e.complexForward(a.data(), nullptr, complex.spec, nullptr));
        EXPECT_TRUE(sameBits(a, a0) && sameBits(b, b0)) << "a refused transform wrote its arrays";
    }
    EXPECT_EQ(std::count(statuses[0].begin(), statuses[0].end(), dsp::kOk), 0);
    EXPECT_EQ(statuses[1], statuses[0]);
}

// Relative RMS error against the double references within 4 log2(N) 2^-24, and against the
// generic transform within twice that, both kinds and directions, across the direct range and
// one order past it.
TEST(FftSse, AccuracyAgainstTheReferencesAndTheGenericTransform)
{
    for (Kind kind : {Kind::Real, Kind::Complex})
    {
        for (int32_t order = 0; order <= 18; ++order)
        {
            const size_t n = (kind == Kind::Real ? size_t(1) : size_t(2)) << order;
            TestSpec f(kind, order, 8, 0, kTuning1), g(kind, order, 8);
            const std::vector<float> x = randomFloats(n, uint32_t(500 + order));
            std::vector<float> X(n), G(n);
            ASSERT_EQ(forward(f, x.data(), X.data(), f.work()), 0);
            // The naive references of 2048 and 4096 values cost most of the run; the generic
            // comparison covers those orders.
            const bool referenced = n <= 2048 || (order >= 13 && order <= 17);
            if (referenced)
            {
                const std::vector<long double> ref =
                    kind == Kind::Real ? referenceRealForward(x) : referenceComplexForward(x);
                EXPECT_LE(relativeRms(X, ref), errorBound(order)) << "forward, order " << order;
            }
            if (kind == Kind::Real)
                ASSERT_EQ(generic::fftRealForward(x.data(), G.data(), g.spec, g.work()), 0);
            else
                ASSERT_EQ(generic::fftForwardComplex(x.data(), G.data(), g.spec, g.work()), 0);
            std::vector<long double> wide(G.begin(), G.end());
            EXPECT_LE(relativeRms(X, wide), 2 * errorBound(order)) << "against generic, order " << order;

            ASSERT_EQ(inverse(f, x.data(), X.data(), f.work()), 0);
            if (referenced)
            {
                const std::vector<long double> back =
                    kind == Kind::Real ? referenceRealInverse(x) : referenceComplexDft(x, true);
                EXPECT_LE(relativeRms(X, back), errorBound(order)) << "inverse, order " << order;
            }
        }
    }
}

// Identities that hold bit for bit: an impulse, in place against out of place, power-of-two
// scaling, and the inverse as the conjugated forward.
TEST(FftSse, ExactIdentities)
{
    for (Kind kind : {Kind::Real, Kind::Complex})
    {
        for (int32_t order : {4, 5, 9, 12, 17, 18})
        {
            const size_t n = (kind == Kind::Real ? size_t(1) : size_t(2)) << order;
            TestSpec plain(kind, order, 8, 0, kTuning1), fwd(kind, order, 1, 0, kTuning1),
                inv(kind, order, 2, 0, kTuning1);
            std::vector<float> impulse(n, 0.0f), X(n);
            impulse[0] = 1.0f;
            ASSERT_EQ(forward(plain, impulse.data(), X.data(), plain.work()), 0);
            for (size_t k = 0; k < n; ++k)
            {
                const bool one = kind == Kind::Real ? (k < 2 || k % 2 == 0) : k % 2 == 0;
                ASSERT_EQ(X[k], one ? 1.0f : 0.0f) << order << " k " << k;
            }

            const std::vector<float> x = randomFloats(n, uint32_t(order));
            std::vector<float> out(n), in = x, scaled(n);
            ASSERT_EQ(forward(plain, x.data(), out.data(), plain.work()), 0);
            ASSERT_EQ(forward(plain, in.data(), in.data(), plain.work()), 0);
            EXPECT_TRUE(sameBits(out, in)) << "forward in place, order " << order;
            ASSERT_EQ(forward(fwd, x.data(), scaled.data(), fwd.work()), 0);
            for (float &v : out)
                v = std::ldexp(v, -order);
            EXPECT_TRUE(sameBits(out, scaled)) << "flag 1, order " << order;

            ASSERT_EQ(inverse(plain, x.data(), out.data(), plain.work()), 0);
            in = x;
            ASSERT_EQ(inverse(plain, in.data(), in.data(), plain.work()), 0);
            EXPECT_TRUE(sameBits(out, in)) << "inverse in place, order " << order;
            ASSERT_EQ(inverse(inv, x.data(), scaled.data(), inv.work()), 0);
            for (float &v : out)
                v = std::ldexp(v, -order);
            EXPECT_TRUE(sameBits(out, scaled)) << "flag 2, order " << order;

            if (kind == Kind::Complex)
            {
                std::vector<float> conj = x, viaForward(n), direct(n);
                for (size_t k = 1; k < n; k += 2)
                    conj[k] = -conj[k];
                ASSERT_EQ(forward(plain, conj.data(), viaForward.data(), plain.work()), 0);
                for (size_t k = 1; k < n; k += 2)
                    viaForward[k] = -viaForward[k];
                ASSERT_EQ(inverse(plain, x.data(), direct.data(), plain.work()), 0);
                EXPECT_TRUE(sameBits(viaForward, direct)) << "conjugate symmetry, order " << order;
            }
        }
    }
}

// The kernels: the eight-point constant, the reorder kernel against the in-place one on
// bit-reversed data at every alignment the data may have, chunking, and the split final layout.
TEST(FftSse, KernelsAgreeAcrossKindsAlignmentsAndChunking)
{
    {
        // x[1] = 1 through the eight-point stage: X[1] = T8(1) = (s, -s).
        int32_t reverse[3] = {0, 2, 0};
        std::vector<float> x(16, 0.0f), X(16);
        x[2] = 1.0f;
        sse::fftKernelReorder(x.data(), X.data(), 8, nullptr, reverse, nullptr, false);
        EXPECT_EQ(std::bit_cast<uint32_t>(X[2]), 0x3F3504F4u);
        EXPECT_EQ(std::bit_cast<uint32_t>(X[3]), 0xBF3504F4u);
    }
    for (int32_t m : {4, 5, 6, 11, 12, 13})
    {
        const int32_t N = int32_t(1) << m;
        TestSpec t(Kind::Complex, m, 8, 0, kTuning1);
        const float *tw = generic::fftTable<float>(t.spec, t.spec->kernelTwiddles);
        const int32_t *rev = generic::fftTable<int32_t>(t.spec, t.spec->bitReverse);
        std::vector<float> work(size_t(2 * N) + 8);
        void *aligned = generic::fftAlign32(work.data());
        const std::vector<float> x = randomFloats(size_t(2 * N), uint32_t(m));
        for (bool inv : {false, true})
        {
            std::vector<float> want(size_t(2 * N));
            sse::fftKernelReorder(x.data(), want.data(), N, tw, rev, nullptr, inv);
            for (size_t shift : {0, 1, 2}) // 0, 4 and 8 bytes past a 16-byte boundary
            {
                std::vector<float> store(size_t(2 * N) + 8);
                float *data = reinterpret_cast<float *>(generic::fftAlign32(store.data())) + shift;
                std::vector<float> got(size_t(2 * N));
                std::memcpy(data, x.data(), size_t(8 * N));
                sse::fftBitReverse(data, data, N, rev);
                sse::fftKernelInPlace(data, N, tw, inv, 1);
                std::memcpy(got.data(), data, size_t(8 * N));
                EXPECT_TRUE(sameBits(got, want)) << "in place, m " << m << " shift " << shift;

                std::memcpy(data, x.data(), size_t(8 * N));
                sse::fftKernelReorder(data, data, N, tw, rev, aligned, inv);
                std::memcpy(got.data(), data, size_t(8 * N));
                EXPECT_TRUE(sameBits(got, want)) << "reorder src = dst, m " << m << " shift " << shift;
            }
            // Final layout 0: each four values as four real parts, then four imaginary parts.
            std::vector<float> split(size_t(2 * N));
            sse::fftBitReverse(x.data(), split.data(), N, rev);
            sse::fftKernelInPlace(split.data(), N, tw, inv, 0);
            for (int32_t j = 0; j < N; j += 4)
                for (int32_t b = 0; b < 4; ++b)
                {
                    ASSERT_EQ(split[2 * j + b], want[2 * (j + b)]) << m;
                    ASSERT_EQ(split[2 * j + 4 + b], want[2 * (j + b) + 1]) << m;
                }
        }
    }
    for (int32_t m = 12; m <= 17; ++m)
    {
        const int32_t N = int32_t(1) << m;
        TestSpec t(Kind::Complex, m, 8, 0, kTuning1);
        const float *tw = generic::fftTable<float>(t.spec, t.spec->kernelTwiddles);
        const int32_t *rev = generic::fftTable<int32_t>(t.spec, t.spec->bitReverse);
        std::vector<float> a = randomFloats(size_t(2 * N), uint32_t(m)), b;
        sse::fftBitReverse(a.data(), a.data(), N, rev);
        b = a;
        sse::fftKernelInPlace(a.data(), N, tw, false, 1);
        sse::fftKernelInPlace(b.data(), N, tw, false, 1, 0);
        EXPECT_TRUE(sameBits(a, b)) << "chunking, m " << m;
    }
}

// Only creates and a transform without a work buffer allocate; each allocation failed in turn
// gives kErrNoMemory, leaves the out pointer and the data as they were and the pool balanced; the
// direct range and the large-order driver.
TEST(FftSse, EveryAllocationFailedInTurn)
{
    for (auto [kind, order] :
         {std::pair{Kind::Real, 4}, std::pair{Kind::Real, 12}, std::pair{Kind::Complex, 18}})
    {
        const bool real = kind == Kind::Real;
        auto transform = [real](const float *src, float *dst, const dsp::FftSpec *spec)
        {
            return real ? sse::fftRealForward(src, dst, spec, nullptr)
                        : sse::fftForwardComplex(src, dst, spec, nullptr);
        };
        for (int nth = 1;; ++nth)
        {
            dsp::test::ScopedAllocHooks pool;
            pool.failNth(nth);
            dsp::FftSpec *spec = reinterpret_cast<dsp::FftSpec *>(uintptr_t(0x40));
            const dsp::Status s = (real ? sse::fftCreateReal : sse::fftCreateComplex)(&spec, order, 4, 0);
            if (s == 0)
            {
                const std::vector<float> x = randomFloats((real ? size_t(1) : size_t(2)) << order, 7);
                std::vector<float> y(x.size(), 0.0f), zeros = y;
                pool.failNth(1);
                EXPECT_EQ(transform(x.data(), y.data(), spec), dsp::kErrNoMemory);
                EXPECT_TRUE(sameBits(y, zeros));
                pool.failNth(0);
                EXPECT_EQ(transform(x.data(), y.data(), spec), 0);
                EXPECT_EQ((real ? sse::fftFreeReal : sse::fftFreeComplex)(spec), 0);
                EXPECT_TRUE(pool.balanced());
                break;
            }
            EXPECT_EQ(s, dsp::kErrNoMemory) << "allocation " << nth;
            EXPECT_EQ(spec, reinterpret_cast<dsp::FftSpec *>(uintptr_t(0x40)));
            EXPECT_TRUE(pool.balanced());
        }
    }
}

// Through the stubs at every supported index: a create, a round trip and a release.
TEST(FftSse, StubsReachTheTuningAtEveryIndex)
{
    const uint32_t top = dsp::test::testMaxVariant();
    for (uint32_t v = 0; v <= top; ++v)
    {
        dsp::test::ScopedVariantIndex index(v);
        dsp::FftSpec *spec = nullptr;
        ASSERT_EQ(dsp::fftCreateReal(&spec, 10, 2, 0), 0);
        EXPECT_EQ(spec->reserved0, v == 0 ? generic::kFftLayoutGeneric : generic::kFftLayoutTuning1);
        const std::vector<float> x = randomFloats(1024, 3);
        std::vector<float> y = x;
        ASSERT_EQ(dsp::fftForwardRealInPlace(y.data(), spec, nullptr), 0);
        ASSERT_EQ(dsp::fftInverseRealInPlace(y.data(), spec, nullptr), 0);
        EXPECT_LE(relativeRms(y, std::vector<long double>(x.begin(), x.end())), errorBound(10));
        EXPECT_EQ(dsp::fftFreeReal(spec), 0);
    }
    DSP_SKIP_UNSUPPORTED_VARIANTS();
}

} // namespace

#endif
