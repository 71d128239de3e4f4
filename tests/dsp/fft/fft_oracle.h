// Oracles and fixtures of the FFT tests: a spec built in plain vectors, random input, the
// double-precision references (a naive long-double DFT up to 4096 points, FFTW's double plans
// above), FFTW's single-precision result for comparison, and the relative RMS error.
#pragma once

#include <gtest/gtest.h>

#include <fftw3.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "dsp/fft/fft.h"
#include "dsp/fft/simd/fft_sse.h"

namespace fft_test
{

using dsp::FftSpec;
namespace generic = dsp::generic;
using cld = std::complex<long double>;

enum class Kind
{
    Real,
    Complex
};

// A spec of either kind in vectors of exactly the queried sizes (the spec buffer may start at
// any byte offset from a 32-byte boundary), with its work buffer.
class TestSpec
{
public:
    // tuning1: the SSE variants' size query and init (x86 only).
    TestSpec(Kind kind, int32_t order, int32_t flag, size_t misalign = 0, bool tuning1 = false) : kind_(kind)
    {
        auto sizeQuery = kind == Kind::Real ? generic::fftRealGetSize : generic::complexFftSpecSize;
        auto init = kind == Kind::Real ? generic::fftRealInit : generic::complexFftSpecInit;
#if defined(__x86_64__) || defined(__i386__)
        if (tuning1)
        {
            sizeQuery = kind == Kind::Real ? dsp::sse::fftRealGetSize : dsp::sse::complexFftSpecSize;
            init = kind == Kind::Real ? dsp::sse::fftRealInit : dsp::sse::complexFftSpecInit;
        }
#endif
        EXPECT_EQ(sizeQuery(order, flag, 0, &specSize, &initSize, &workSize), 0);
        specStore_.assign(size_t(specSize) + 64, kGuard);
        const uintptr_t base = reinterpret_cast<uintptr_t>(specStore_.data());
        specBuffer_ = specStore_.data() + (((base + 31) & ~uintptr_t(31)) - base) + misalign;
        initStore_.assign(size_t(initSize) + 32, kGuard);
        workStore_.resize(size_t(workSize));
        status = init(&spec, order, flag, 0, specBuffer_, initSize ? initStore_.data() : nullptr);
        EXPECT_EQ(status, 0) << "order " << order << " flag " << flag;
    }

    void *work()
    {
        return workSize ? workStore_.data() : nullptr;
    }
    Kind kind() const
    {
        return kind_;
    }
    // Whether init left every byte after its spec and init sizes as it found them.
    bool stayedInsideItsSizes() const
    {
        const unsigned char *specEnd = specBuffer_ + specSize;
        const unsigned char *storeEnd = specStore_.data() + specStore_.size();
        return std::all_of(specEnd, storeEnd, [](unsigned char b) { return b == kGuard; }) &&
               std::all_of(initStore_.begin() + initSize, initStore_.end(),
                           [](unsigned char b) { return b == kGuard; });
    }

    FftSpec *spec = nullptr;
    int32_t specSize = 0, initSize = 0, workSize = 0;
    int32_t status = -1;

private:
    static constexpr unsigned char kGuard = 0xA5;
    Kind kind_;
    std::vector<unsigned char> specStore_, initStore_, workStore_;
    unsigned char *specBuffer_ = nullptr;
};

inline std::vector<float> randomFloats(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> v(n);
    for (float &x : v)
        x = dist(rng);
    return v;
}

// Unnormalised DFT, sign -1 forward and +1 inverse, of complex values in long double: naive up
// to 4096 points, FFTW's double-precision plan above.
inline std::vector<cld> referenceDft(const std::vector<cld> &x, bool inverse)
{
    const size_t n = x.size();
    std::vector<cld> out(n);
    if (n <= 4096)
    {
        std::vector<cld> w(n);
        const long double pi = 3.141592653589793238462643383279502884L;
        for (size_t k = 0; k < n; ++k)
        {
            const long double a = 2 * pi * (long double)k / (long double)n;
            w[k] = cld(cosl(a), inverse ? sinl(a) : -sinl(a));
        }
        for (size_t k = 0; k < n; ++k)
        {
            cld sum = 0;
            size_t idx = 0;
            for (size_t t = 0; t < n; ++t)
            {
                sum += x[t] * w[idx];
                idx += k;
                if (idx >= n)
                    idx -= n;
            }
            out[k] = sum;
        }
        return out;
    }
    fftw_complex *in = fftw_alloc_complex(n);
    fftw_complex *res = fftw_alloc_complex(n);
    fftw_plan plan = fftw_plan_dft_1d(int(n), in, res, inverse ? FFTW_BACKWARD : FFTW_FORWARD, FFTW_ESTIMATE);
    for (size_t i = 0; i < n; ++i)
    {
        in[i][0] = double(x[i].real());
        in[i][1] = double(x[i].imag());
    }
    fftw_execute(plan);
    for (size_t i = 0; i < n; ++i)
        out[i] = cld(res[i][0], res[i][1]);
    fftw_destroy_plan(plan);
    fftw_free(in);
    fftw_free(res);
    return out;
}

// Forward real DFT of N floats in packed order.
inline std::vector<long double> referenceRealForward(const std::vector<float> &x)
{
    const size_t n = x.size();
    std::vector<cld> c(n);
    for (size_t i = 0; i < n; ++i)
        c[i] = x[i];
    const std::vector<cld> X = referenceDft(c, false);
    std::vector<long double> packed(n);
    packed[0] = X[0].real();
    if (n == 1)
        return packed;
    packed[1] = X[n / 2].real();
    for (size_t k = 1; k < n / 2; ++k)
    {
        packed[2 * k] = X[k].real();
        packed[2 * k + 1] = X[k].imag();
    }
    return packed;
}

// Unnormalised inverse of a packed spectrum: N real samples.
inline std::vector<long double> referenceRealInverse(const std::vector<float> &packed)
{
    const size_t n = packed.size();
    std::vector<cld> X(n);
    X[0] = packed[0];
    if (n > 1)
    {
        X[n / 2] = packed[1];
        for (size_t k = 1; k < n / 2; ++k)
        {
            X[k] = cld(packed[2 * k], packed[2 * k + 1]);
            X[n - k] = std::conj(X[k]);
        }
    }
    const std::vector<cld> x = referenceDft(X, true);
    std::vector<long double> out(n);
    for (size_t i = 0; i < n; ++i)
        out[i] = x[i].real();
    return out;
}

// Forward or inverse complex DFT of interleaved pairs, interleaved.
inline std::vector<long double> referenceComplexDft(const std::vector<float> &pairs, bool inverse)
{
    const size_t n = pairs.size() / 2;
    std::vector<cld> c(n);
    for (size_t i = 0; i < n; ++i)
        c[i] = cld(pairs[2 * i], pairs[2 * i + 1]);
    const std::vector<cld> X = referenceDft(c, inverse);
    std::vector<long double> out(2 * n);
    for (size_t i = 0; i < n; ++i)
    {
        out[2 * i] = X[i].real();
        out[2 * i + 1] = X[i].imag();
    }
    return out;
}

inline std::vector<long double> referenceComplexForward(const std::vector<float> &pairs)
{
    return referenceComplexDft(pairs, false);
}

// sqrt(sum (a - r)^2 / sum r^2).
inline double relativeRms(const float *actual, const std::vector<long double> &reference,
                          long double scale = 1)
{
    long double num = 0, den = 0;
    for (size_t i = 0; i < reference.size(); ++i)
    {
        const long double r = reference[i] * scale;
        const long double d = (long double)actual[i] - r;
        num += d * d;
        den += r * r;
    }
    return den == 0 ? double(sqrtl(num)) : double(sqrtl(num / den));
}

inline double relativeRms(const std::vector<float> &actual, const std::vector<long double> &reference,
                          long double scale = 1)
{
    return relativeRms(actual.data(), reference, scale);
}

// FFTW's double-precision transforms in place in one buffer kept across calls (fresh pages cost
// more than the big transforms themselves): the reference of the orders whose long double
// references would not fit a cheap test.
class FftwReference
{
public:
    // maxFloats: the largest input, in floats.
    explicit FftwReference(size_t maxFloats) : buf_(fftw_alloc_real(maxFloats + 2)) {}
    ~FftwReference() { fftw_free(buf_); }
    FftwReference(const FftwReference &) = delete;
    FftwReference &operator=(const FftwReference &) = delete;

    // Relative RMS error of out against the transform of in, n floats of that kind (real: samples
    // or a packed spectrum) and direction.
    double relativeRms(Kind kind, bool inverse, const float *in, size_t n, const float *out)
    {
        fftw_complex *c = reinterpret_cast<fftw_complex *>(buf_);
        double num = 0, den = 0;
        auto add = [&](float got, double want)
        {
            num += (double(got) - want) * (double(got) - want);
            den += want * want;
        };
        const int half = int(n / 2);
        fftw_plan plan;
        if (kind == Kind::Complex)
        {
            plan = fftw_plan_dft_1d(half, c, c, inverse ? FFTW_BACKWARD : FFTW_FORWARD, FFTW_ESTIMATE);
            for (size_t i = 0; i < n; ++i)
                buf_[i] = in[i];
            fftw_execute(plan);
            for (size_t i = 0; i < n; ++i)
                add(out[i], buf_[i]);
        }
        else if (inverse)
        {
            plan = fftw_plan_dft_c2r_1d(int(n), c, buf_, FFTW_ESTIMATE);
            for (size_t k = 1; k < n / 2; ++k)
            {
                c[k][0] = in[2 * k];
                c[k][1] = in[2 * k + 1];
            }
            c[0][0] = in[0];
            c[0][1] = 0;
            c[half][0] = in[1];
            c[half][1] = 0;
            fftw_execute(plan);
            for (size_t i = 0; i < n; ++i)
                add(out[i], buf_[i]);
        }
        else
        {
            plan = fftw_plan_dft_r2c_1d(int(n), buf_, c, FFTW_ESTIMATE);
            for (size_t i = 0; i < n; ++i)
                buf_[i] = in[i];
            fftw_execute(plan);
            add(out[0], c[0][0]);
            add(out[1], c[half][0]);
            for (size_t k = 1; k < n / 2; ++k)
            {
                add(out[2 * k], c[k][0]);
                add(out[2 * k + 1], c[k][1]);
            }
        }
        fftw_destroy_plan(plan);
        return std::sqrt(num / den);
    }

private:
    double *buf_;
};

// The accuracy bound of the library's transforms: 4 log2(N) 2^-24 relative RMS.
inline double errorBound(int32_t order)
{
    return 4.0 * order * std::ldexp(1.0, -24);
}

// FFTW single precision on the same input, for the comparison printed beside ours.
inline std::vector<float> fftwfRealForward(const std::vector<float> &x)
{
    const int n = int(x.size());
    std::vector<float> packed(x.size());
    if (n == 1)
    {
        packed[0] = x[0];
        return packed;
    }
    float *in = fftwf_alloc_real(size_t(n));
    fftwf_complex *out = fftwf_alloc_complex(size_t(n / 2 + 1));
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in, out, FFTW_ESTIMATE);
    std::memcpy(in, x.data(), x.size() * 4);
    fftwf_execute(plan);
    packed[0] = out[0][0];
    packed[1] = out[n / 2][0];
    for (int k = 1; k < n / 2; ++k)
    {
        packed[size_t(2 * k)] = out[k][0];
        packed[size_t(2 * k + 1)] = out[k][1];
    }
    fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
    return packed;
}

inline std::vector<float> fftwfComplexForward(const std::vector<float> &pairs)
{
    const int n = int(pairs.size() / 2);
    fftwf_complex *in = fftwf_alloc_complex(size_t(n));
    fftwf_complex *out = fftwf_alloc_complex(size_t(n));
    fftwf_plan plan = fftwf_plan_dft_1d(n, in, out, FFTW_FORWARD, FFTW_ESTIMATE);
    std::memcpy(in, pairs.data(), pairs.size() * 4);
    fftwf_execute(plan);
    std::vector<float> result(pairs.size());
    std::memcpy(result.data(), out, pairs.size() * 4);
    fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
    return result;
}

} // namespace fft_test
