// Accuracy against double-precision references on random input in [-1, 1): relative RMS error
// at most 4 log2(N) 2^-24, real orders 0..20 both directions, complex orders 0..20, and the
// large-order paths once each (real 22: complex rows on the blocked path; complex 23: two split
// levels). FFTW's single-precision error is printed beside ours.
#include <cmath>
#include <cstdio>
#include <vector>

#include "fft_oracle.h"

namespace
{

using namespace fft_test;

void report(const char *what, int32_t order, double ours, double fftwf)
{
    std::printf("  %-16s order %2d  ours %.3e  fftwf %.3e  bound %.3e\n", what, order, ours, fftwf,
                errorBound(order));
}

void checkReal(int32_t order)
{
    const size_t n = size_t(1) << order;
    TestSpec t(Kind::Real, order, 8);
    const std::vector<float> x = randomFloats(n, uint32_t(1000 + order));
    std::vector<float> X(n);
    ASSERT_EQ(generic::fftRealForward(x.data(), X.data(), t.spec, t.work()), 0);
    const double forward = relativeRms(X, referenceRealForward(x));
    report("real forward", order, forward, relativeRms(fftwfRealForward(x), referenceRealForward(x)));
    EXPECT_LE(forward, errorBound(order)) << "real forward, order " << order;

    // The inverse of an arbitrary packed spectrum (random values in every position).
    const std::vector<float> S = randomFloats(n, uint32_t(2000 + order));
    std::vector<float> s(n);
    ASSERT_EQ(generic::fftRealInverse(S.data(), s.data(), t.spec, t.work()), 0);
    const double inverse = relativeRms(s, referenceRealInverse(S));
    EXPECT_LE(inverse, errorBound(order)) << "real inverse, order " << order;
}

void checkComplex(int32_t order)
{
    const size_t n = size_t(1) << order;
    TestSpec t(Kind::Complex, order, 8);
    const std::vector<float> z = randomFloats(2 * n, uint32_t(3000 + order));
    std::vector<float> Z(2 * n);
    ASSERT_EQ(generic::fftForwardComplex(z.data(), Z.data(), t.spec, t.work()), 0);
    const std::vector<long double> ref = referenceComplexForward(z);
    const double ours = relativeRms(Z, ref);
    report("complex forward", order, ours, relativeRms(fftwfComplexForward(z), ref));
    EXPECT_LE(ours, errorBound(order)) << "complex forward, order " << order;
}

TEST(FftAccuracy, RealOrdersUpTo20)
{
    for (int32_t order = 0; order <= 20; ++order)
        checkReal(order);
}

TEST(FftAccuracy, ComplexOrdersUpTo20)
{
    for (int32_t order = 0; order <= 20; ++order)
        checkComplex(order);
}

TEST(FftAccuracy, LargeOrderPaths)
{
    checkReal(22);
    checkComplex(23);
}

// Round trips: flags 2 and 4 give the input back, flag 8 N times it, within the same bound.
TEST(FftAccuracy, RoundTrips)
{
    for (int32_t order = 0; order <= 20; ++order)
    {
        const size_t n = size_t(1) << order;
        const std::vector<float> x = randomFloats(n, uint32_t(4000 + order));
        std::vector<long double> exact(x.begin(), x.end());
        for (int32_t flag : {2, 4, 8})
        {
            TestSpec t(Kind::Real, order, flag);
            std::vector<float> y = x;
            ASSERT_EQ(generic::fftForwardRealInPlace(y.data(), t.spec, t.work()), 0);
            ASSERT_EQ(generic::fftInverseRealInPlace(y.data(), t.spec, t.work()), 0);
            const long double scale = flag == 8 ? (long double)n : 1.0L;
            EXPECT_LE(relativeRms(y, exact, scale), errorBound(order))
                << "order " << order << " flag " << flag;
        }
    }
}

// The internal complex inverse, which no entry reaches yet: against the long-double inverse DFT,
// and forward then inverse gives the input back (flags 2 and 4) or N times it (flag 8), from the
// closed forms of orders 0..3 up through the kernel and the large-order driver.
TEST(FftAccuracy, ComplexInverseAtEveryOrder)
{
    using generic::FftDirection;
    using generic::FftKind;
    for (int32_t order = 0; order <= 16; ++order)
    {
        const size_t n = size_t(1) << order;
        const std::vector<float> z = randomFloats(2 * n, uint32_t(5000 + order));
        const std::vector<long double> ref = referenceComplexDft(z, true);
        std::vector<long double> exact(z.begin(), z.end());
        for (int32_t flag : {2, 4, 8})
        {
            TestSpec t(Kind::Complex, order, flag);
            std::vector<float> y(2 * n);
            ASSERT_EQ(generic::fftTransform(t.spec, FftKind::Complex, FftDirection::Inverse, z.data(),
                                            y.data(), t.work()),
                      0);
            const long double scale = flag == 2   ? 1.0L / (long double)n
                                      : flag == 4 ? 1.0L / sqrtl((long double)n)
                                                  : 1.0L;
            EXPECT_LE(relativeRms(y, ref, scale), errorBound(order)) << "order " << order << " flag " << flag;

            y = z;
            ASSERT_EQ(generic::fftTransform(t.spec, FftKind::Complex, FftDirection::Forward, y.data(),
                                            y.data(), t.work()),
                      0);
            ASSERT_EQ(generic::fftTransform(t.spec, FftKind::Complex, FftDirection::Inverse, y.data(),
                                            y.data(), t.work()),
                      0);
            EXPECT_LE(relativeRms(y, exact, flag == 8 ? (long double)n : 1.0L), errorBound(order))
                << "round trip, order " << order << " flag " << flag;
        }
    }
}

// cos(2 pi t / N): R(1) = N/2, everything else 0.
TEST(FftAccuracy, CosineLandsInBinOne)
{
    const long double pi = 3.141592653589793238462643383279502884L;
    for (int32_t order = 2; order <= 20; ++order)
    {
        const size_t n = size_t(1) << order;
        std::vector<float> x(n);
        for (size_t i = 0; i < n; ++i)
            x[i] = float(cosl(2 * pi * (long double)i / (long double)n));
        TestSpec t(Kind::Real, order, 8);
        std::vector<float> X(n);
        ASSERT_EQ(generic::fftRealForward(x.data(), X.data(), t.spec, t.work()), 0);
        std::vector<long double> expected(n, 0.0L);
        expected[2] = (long double)n / 2;
        EXPECT_LE(relativeRms(X, expected), errorBound(order)) << order;
        EXPECT_NEAR(X[2], double(n) / 2, double(n) / 2 * errorBound(order)) << order;
        EXPECT_NEAR(X[3], 0.0, double(n) / 2 * errorBound(order)) << order;
    }
}

} // namespace
