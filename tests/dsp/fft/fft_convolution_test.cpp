// Fast convolution (forward, packed-spectrum product, inverse with 1/N) against a direct
// circular convolution in double, and the product's own edge cases.
#include <vector>

#include "support/dsp_test_support.h"
#include "fft_oracle.h"

namespace
{

using namespace fft_test;

TEST(FftConvolution, EqualsDirectCircularConvolution)
{
    for (int32_t order = 1; order <= 12; ++order)
    {
        const size_t n = size_t(1) << order;
        TestSpec t(Kind::Real, order, 2);
        const std::vector<float> x = randomFloats(n, uint32_t(500 + order));
        const std::vector<float> h = randomFloats(n, uint32_t(600 + order));
        std::vector<long double> direct(n, 0.0L);
        for (size_t i = 0; i < n; ++i)
            for (size_t j = 0; j < n; ++j)
                direct[(i + j) % n] += (long double)x[i] * h[j];

        std::vector<float> X(n), H(n);
        ASSERT_EQ(generic::fftRealForward(x.data(), X.data(), t.spec, t.work()), 0);
        ASSERT_EQ(generic::fftRealForward(h.data(), H.data(), t.spec, t.work()), 0);
        ASSERT_EQ(generic::mulPackSpectrumInPlace(H.data(), X.data(), int32_t(n)), 0);
        ASSERT_EQ(generic::fftInverseRealInPlace(X.data(), t.spec, t.work()), 0);
        EXPECT_LE(relativeRms(X, direct), errorBound(order)) << "order " << order;
    }
}

TEST(FftConvolution, PackedProductEdgeCases)
{
    // Length 1: one real product.
    std::vector<float> d1{3}, s1{-2};
    ASSERT_EQ(generic::mulPackSpectrumInPlace(s1.data(), d1.data(), 1), 0);
    EXPECT_EQ(d1, (std::vector<float>{-6}));
    // Length 2: two reals, no pair.
    std::vector<float> d2{3, 5}, s2{2, -1};
    ASSERT_EQ(generic::mulPackSpectrumInPlace(s2.data(), d2.data(), 2), 0);
    EXPECT_EQ(d2, (std::vector<float>{6, -5}));
    // Length 3: a real, then the pair (1 + 2i)(3 + 4i) = -5 + 10i.
    std::vector<float> d3{2, 1, 2}, s3{4, 3, 4};
    ASSERT_EQ(generic::mulPackSpectrumInPlace(s3.data(), d3.data(), 3), 0);
    EXPECT_EQ(d3, (std::vector<float>{8, -5, 10}));
    // Length 6: two reals, then two pairs; the source is only read.
    std::vector<float> d6{1, 2, 1, 2, 0, 1}, s6{3, 4, 3, 4, 0, 1};
    ASSERT_EQ(generic::mulPackSpectrumInPlace(s6.data(), d6.data(), 6), 0);
    EXPECT_EQ(d6, (std::vector<float>{3, 8, -5, 10, -1, 0}));
    EXPECT_EQ(s6, (std::vector<float>{3, 4, 3, 4, 0, 1}));

    // The spectrum of a unit impulse leaves any spectrum unchanged, bit for bit.
    TestSpec t(Kind::Real, 10, 8);
    std::vector<float> impulse(1024, 0.0f), I(1024);
    impulse[0] = 1;
    generic::fftRealForward(impulse.data(), I.data(), t.spec, nullptr);
    std::vector<float> spectrum = randomFloats(1024, 77);
    const std::vector<float> before = spectrum;
    ASSERT_EQ(generic::mulPackSpectrumInPlace(I.data(), spectrum.data(), 1024), 0);
    EXPECT_EQ(dsp::test::wordsOf(spectrum), dsp::test::wordsOf(before));

    // Null before length; nothing written on refusal.
    EXPECT_EQ(generic::mulPackSpectrumInPlace(nullptr, spectrum.data(), 0), -8);
    EXPECT_EQ(generic::mulPackSpectrumInPlace(I.data(), nullptr, -1), -8);
    EXPECT_EQ(generic::mulPackSpectrumInPlace(I.data(), spectrum.data(), 0), -6);
    EXPECT_EQ(generic::mulPackSpectrumInPlace(I.data(), spectrum.data(), -3), -6);
    EXPECT_EQ(dsp::test::wordsOf(spectrum), dsp::test::wordsOf(before));
}

} // namespace
