// Oracles of the FIR tests, written straight from the definitions and sharing no code with the
// filters:
// - firReference: y[k] = sum over i of h[i] x[k - i], single rate;
// - multirateReference: zero-stuff by U, convolve, keep every D-th sample:
//   y[m] = sum over j of h[j] z[m D + pd - j], z[k U + pu] = x[k], zeros elsewhere.
// Past input is given newest first (past[0] = x[-1]); anything older is 0. Each output is a
// double accumulator started at +0.0 with the terms added oldest sample first and rounded to
// float once: the arithmetic the library promises, so the float results compare bit for bit.
// The ...Double forms keep the unrounded sums for error measurements (FFT path).
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "support/dsp_test_support.h"

namespace fir_test
{

// x[k] for k >= -past.size(), 0 before that; k < x.size() is required.
inline double firSample(const std::vector<float> &x, const std::vector<float> &past, int64_t k)
{
    if (k >= 0)
        return x[size_t(k)];
    const int64_t back = -k - 1;
    return back < int64_t(past.size()) ? double(past[size_t(back)]) : 0.0;
}

// Unrounded single-rate outputs for all of x.
inline std::vector<double> firReferenceDouble(const std::vector<float> &h, const std::vector<float> &x,
                                              const std::vector<float> &past = {})
{
    const int64_t L = int64_t(h.size());
    std::vector<double> y(x.size());
    for (int64_t k = 0; k < int64_t(x.size()); ++k)
    {
        double acc = +0.0;
        for (int64_t i = L - 1; i >= 0; --i) // oldest sample (times h[L-1]) first
            acc += double(h[size_t(i)]) * firSample(x, past, k - i);
        y[size_t(k)] = acc;
    }
    return y;
}

inline std::vector<float> firReference(const std::vector<float> &h, const std::vector<float> &x,
                                       const std::vector<float> &past = {})
{
    const std::vector<double> d = firReferenceDouble(h, x, past);
    return std::vector<float>(d.begin(), d.end());
}

// Unrounded multi-rate outputs y[0..outputs-1]. Stuffed zeros are no terms at all (they cannot
// change a finite sum); the real samples, the silent past included, are added oldest first.
// The inputs an output needs must lie in x (cycles * D inputs give cycles * U outputs).
inline std::vector<double> multirateReferenceDouble(const std::vector<float> &h, int32_t up, int32_t upPhase,
                                                    int32_t down, int32_t downPhase,
                                                    const std::vector<float> &x, size_t outputs,
                                                    const std::vector<float> &past = {})
{
    const int64_t L = int64_t(h.size());
    std::vector<double> y(outputs);
    for (int64_t m = 0; m < int64_t(outputs); ++m)
    {
        const int64_t newest = m * down + downPhase; // z index multiplied by h[0]
        double acc = +0.0;
        for (int64_t j = L - 1; j >= 0; --j)
        {
            const int64_t q = newest - j - upPhase; // z[q + pu] = x[q / U] when U divides q
            const int64_t r = ((q % up) + up) % up;
            if (r != 0)
                continue;
            const int64_t k = (q - r) / up;
            acc += double(h[size_t(j)]) * firSample(x, past, k);
        }
        y[size_t(m)] = acc;
    }
    return y;
}

inline std::vector<float> multirateReference(const std::vector<float> &h, int32_t up, int32_t upPhase,
                                             int32_t down, int32_t downPhase, const std::vector<float> &x,
                                             size_t outputs, const std::vector<float> &past = {})
{
    const std::vector<double> d = multirateReferenceDouble(h, up, upPhase, down, downPhase, x, outputs, past);
    return std::vector<float>(d.begin(), d.end());
}

// sqrt(sum (y - r)^2 / sum r^2) over the first n values.
inline double relativeRms(const float *y, const double *r, size_t n)
{
    double err = 0.0, ref = 0.0;
    for (size_t i = 0; i < n; ++i)
    {
        const double e = double(y[i]) - r[i];
        err += e * e;
        ref += r[i] * r[i];
    }
    return ref > 0.0 ? std::sqrt(err / ref) : std::sqrt(err);
}

// Finite test signals: uniform in [-1, 1).
inline std::vector<float> uniformSignal(size_t n, uint32_t seed)
{
    dsp::test::F32Source src(seed);
    std::vector<float> v(n);
    std::generate(v.begin(), v.end(), [&src] { return src.uniform(-1.0f, 1.0f); });
    return v;
}

// Signals whose sums cancel: taps of +-1 and +-0.5, and samples of which about a third are
// +-2^60 and the rest in (-1, 1). A window's large terms often cancel exactly, and which small
// terms survive depends on where they fall in the order of additions, so only the promised
// order (oldest first) reproduces the reference bits.
inline std::vector<float> cancellingTaps(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::vector<float> v(n);
    for (float &s : v)
        s = ((rng() & 1) ? -1.0f : 1.0f) * ((rng() & 3) == 0 ? 0.5f : 1.0f);
    return v;
}

inline std::vector<float> cancellingSignal(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> small(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float &s : v)
        s = rng() % 3 == 0 ? ((rng() & 1) ? -0x1p60f : 0x1p60f) : small(rng);
    return v;
}

} // namespace fir_test
