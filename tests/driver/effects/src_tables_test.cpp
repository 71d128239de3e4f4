// The committed converter coefficients meet their design targets, measured in double on dense
// grids: integer-factor filters symmetric, summing to 1, flat to +-0.001 dB over 0..0.4 of the
// lower rate and 110 dB down from 0.6 of it; the 147:160 prototypes flat to +-0.005 dB over
// 0..0.35 fs_L, 85 dB down from 0.65 fs_L and 105 dB down from 0.95 of the stage's input rate,
// every phase row summing to 1 within 0.001 dB.
#include "driver/effects/dsp_processor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <vector>

namespace
{

// |H| in dB at `f` cycles per sample, the sum taken with a rotating phasor.
double ResponseDb(const std::vector<double> &h, double f)
{
    const std::complex<double> step = std::polar(1.0, -2 * M_PI * f);
    std::complex<double> phasor = 1.0, sum = 0.0;
    for (size_t n = 0; n < h.size(); ++n)
    {
        sum += h[n] * phasor;
        phasor *= step;
        if ((n & 255) == 255)
            phasor /= std::abs(phasor); // keeps the phasor on the unit circle over thousands of taps
    }
    return 20 * std::log10(std::abs(sum));
}

struct Band
{
    double lo, hi; // cycles per sample
    double max, min;
};

Band Measure(const std::vector<double> &h, double lo, double hi, int points)
{
    Band b{lo, hi, -1e9, 1e9};
    for (int i = 0; i <= points; ++i)
    {
        const double db = ResponseDb(h, lo + (hi - lo) * i / points);
        b.max = std::max(b.max, db);
        b.min = std::min(b.min, db);
    }
    return b;
}

TEST(SrcTables, IntegerFactorFiltersMeetTheirTargets)
{
    for (int F : {2, 4})
    {
        SCOPED_TRACE(F);
        const float *taps = F == 2 ? CSrcFactor2::Taps() : CSrcFactor4::Taps();
        const size_t L = F == 2 ? CSrcFactor2::TAPS : CSrcFactor4::TAPS;
        const std::vector<double> h(taps, taps + L);
        double sum = 0;
        for (size_t i = 0; i < L; ++i)
        {
            EXPECT_EQ(h[i], h[L - 1 - i]) << i;
            sum += h[i];
        }
        EXPECT_NEAR(sum, 1.0, 1e-6);
        const Band pass = Measure(h, 0, 0.4 / F, 2000);
        EXPECT_LE(pass.max, 0.001);
        EXPECT_GE(pass.min, -0.001);
        EXPECT_LE(Measure(h, 0.6 / F, 0.5, 8000).max, -110.0);
    }
}

TEST(SrcTables, Polyphase147To160PrototypesMeetTheirTargets)
{
    for (bool up : {true, false})
    {
        SCOPED_TRACE(up ? "up" : "down");
        const ULONG phases = up ? CSrc44k48k::UP_PHASES : CSrc44k48k::DOWN_PHASES;
        const ULONG taps = up ? CSrc44k48k::UP_TAPS : CSrc44k48k::DOWN_TAPS;
        const float *rows = up ? CSrc44k48k::UpRows() : CSrc44k48k::DownRows();
        // Back to the prototype at 160 fs_L: h[r + P k] = row r, tap k / P.
        std::vector<double> h(phases * taps);
        for (ULONG r = 0; r < phases; ++r)
        {
            double rowSum = 0;
            for (ULONG k = 0; k < taps; ++k)
            {
                h[r + phases * k] = double(rows[r * taps + k]) / phases;
                rowSum += rows[r * taps + k];
            }
            EXPECT_NEAR(20 * std::log10(rowSum), 0.0, 0.001) << r;
        }
        const double fsL = 1.0 / 160; // cycles per sample of the prototype
        const double input = up ? fsL : fsL * 160 / 147;
        const Band pass = Measure(h, 0, 0.35 * fsL, 1000);
        EXPECT_LE(pass.max, 0.005);
        EXPECT_GE(pass.min, -0.005);
        EXPECT_LE(Measure(h, 0.65 * fsL, 0.95 * input, 400).max, -85.0);
        EXPECT_LE(Measure(h, 0.95 * input, 0.5, 16000).max, -105.0);
    }
}

} // namespace
