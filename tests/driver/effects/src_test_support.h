// Shared by the sample-rate chain's tests: format records, a chain in pool as the stream makes
// it, whole-signal runs through Feed/Drain, and the sine fits the quality checks measure with.
#pragma once

#include "driver/effects/dsp_interleave_src.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>

class CDspInterleaveSrcTestAccess
{
public:
    static const WAVEFORMATEXTENSIBLE &In(const CDspInterleaveSrc &s) { return s.m_InFormat; }
    static const WAVEFORMATEXTENSIBLE &Out(const CDspInterleaveSrc &s) { return s.m_OutFormat; }
    static CSrcFactor2 *&Factor2(CDspInterleaveSrc &s) { return s.m_pSrcFactor2; }
    static CSrcFactor4 *&Factor4(CDspInterleaveSrc &s) { return s.m_pSrcFactor4; }
    static CSrc44k48k *&Src44k48k(CDspInterleaveSrc &s) { return s.m_pSrc44k48k; }
    static CDspSplit *&Split(CDspInterleaveSrc &s) { return s.m_pSplit; }
};

namespace src_test
{

inline constexpr std::array<uint32_t, 6> kRates = {44100, 48000, 88200, 96000, 176400, 192000};

inline bool SameFamily(uint32_t a, uint32_t b)
{
    return (a % 44100 == 0) == (b % 44100 == 0);
}

inline WAVEFORMATEXTENSIBLE Extensible(uint16_t channels, uint32_t rate, uint16_t bits = 16,
                                       uint16_t type = WAVE_FORMAT_PCM)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = uint16_t(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = bits;
    f.dwChannelMask = 3;
    f.SubFormat = SubFormatForTag(type);
    return f;
}

struct PoolDelete
{
    void operator()(CDspInterleaveSrc *s) const { delete s; }
};
using ChainPtr = std::unique_ptr<CDspInterleaveSrc, PoolDelete>;

// As the stream makes it: non-paged pool tagged "CCST", then Init.
inline ChainPtr NewChain()
{
    ChainPtr s(new (NonPagedPool, PoolTag::CCST) CDspInterleaveSrc);
    EXPECT_TRUE(s && s->Init());
    return s;
}

using Planar = std::vector<std::vector<float>>;

inline std::vector<const float *> Pointers(const Planar &p, size_t offset)
{
    std::vector<const float *> v;
    for (const auto &c : p)
        v.push_back(c.data() + offset);
    return v;
}

// Feeds `in` (one vector a channel of the first format) in pieces of `chunk` frames, draining
// after each, and returns outChannels planes of everything that came out.
inline Planar Convert(CDspInterleaveSrc &s, const Planar &in, size_t outChannels, size_t chunk)
{
    const size_t n = in.empty() ? 0 : in[0].size();
    Planar out(outChannels);
    std::vector<float> scratch(outChannels * 8192);
    std::vector<float *> planes(outChannels);
    auto drain = [&]
    {
        for (;;)
        {
            for (size_t c = 0; c < outChannels; ++c)
                planes[c] = scratch.data() + c * 8192;
            const ULONG got = s.Drain(planes.data(), 8192);
            if (got == 0)
                return;
            for (size_t c = 0; c < outChannels; ++c)
                out[c].insert(out[c].end(), planes[c], planes[c] + got);
        }
    };
    size_t done = 0;
    while (done < n)
    {
        const size_t piece = std::min(chunk, n - done);
        size_t fed = 0;
        while (fed < piece)
        {
            const auto ptr = Pointers(in, done + fed);
            const ULONG took = s.Feed(ptr.data(), ULONG(piece - fed));
            fed += took;
            drain();
            if (took == 0)
                break;
        }
        if (fed < piece)
        {
            ADD_FAILURE() << "the chain stopped taking input";
            break;
        }
        done += piece;
    }
    drain();
    return out;
}

// ---- Sine fits ----------------------------------------------------------------------------------

// Least squares of y over the columns of a (n x k, column-major), by the normal equations in
// long double (k <= 12). Returns the coefficients.
inline std::vector<double> LeastSquares(const std::vector<std::vector<double>> &cols, const float *y,
                                        size_t n)
{
    const size_t k = cols.size();
    std::vector<long double> m(k * (k + 1), 0.0L);
    for (size_t i = 0; i < n; ++i)
        for (size_t a = 0; a < k; ++a)
        {
            const long double va = cols[a][i];
            for (size_t b = a; b < k; ++b)
                m[a * (k + 1) + b] += va * cols[b][i];
            m[a * (k + 1) + k] += va * (long double)y[i];
        }
    for (size_t a = 0; a < k; ++a)
        for (size_t b = 0; b < a; ++b)
            m[a * (k + 1) + b] = m[b * (k + 1) + a];
    for (size_t p = 0; p < k; ++p) // Gauss-Jordan with partial pivoting
    {
        size_t best = p;
        for (size_t r = p + 1; r < k; ++r)
            if (std::fabs((double)m[r * (k + 1) + p]) > std::fabs((double)m[best * (k + 1) + p]))
                best = r;
        for (size_t c = 0; c <= k; ++c)
            std::swap(m[p * (k + 1) + c], m[best * (k + 1) + c]);
        for (size_t r = 0; r < k; ++r)
            if (r != p)
            {
                const long double f = m[r * (k + 1) + p] / m[p * (k + 1) + p];
                for (size_t c = p; c <= k; ++c)
                    m[r * (k + 1) + c] -= f * m[p * (k + 1) + c];
            }
    }
    std::vector<double> x(k);
    for (size_t a = 0; a < k; ++a)
        x[a] = double(m[a * (k + 1) + k] / m[a * (k + 1) + a]);
    return x;
}

struct SineFit
{
    double amplitude = 0, frequency = 0, thdn = 0; // thdn: residual RMS over sine RMS
    double LevelDb() const { return 20 * std::log10(amplitude); }
    double ThdnDb() const { return 20 * std::log10(thdn); }
};

// Tones at `freqs` fitted jointly with an offset (3-parameter fit for one tone); amplitudes in
// the same order.
inline std::vector<double> ToneLevels(const float *y, size_t n, double rate, const std::vector<double> &freqs,
                                      double *residualRms = nullptr)
{
    std::vector<std::vector<double>> cols;
    for (double f : freqs)
    {
        std::vector<double> c(n), s(n);
        for (size_t i = 0; i < n; ++i)
        {
            const double w = 2 * M_PI * f * double(i) / rate;
            c[i] = std::cos(w);
            s[i] = std::sin(w);
        }
        cols.push_back(std::move(c));
        cols.push_back(std::move(s));
    }
    cols.push_back(std::vector<double>(n, 1.0));
    const std::vector<double> x = LeastSquares(cols, y, n);
    std::vector<double> amp;
    for (size_t t = 0; t < freqs.size(); ++t)
        amp.push_back(std::hypot(x[2 * t], x[2 * t + 1]));
    if (residualRms)
    {
        double e = 0;
        for (size_t i = 0; i < n; ++i)
        {
            double fit = 0;
            for (size_t a = 0; a < cols.size(); ++a)
                fit += x[a] * cols[a][i];
            e += (double(y[i]) - fit) * (double(y[i]) - fit);
        }
        *residualRms = std::sqrt(e / double(n));
    }
    return amp;
}

// 3-parameter fit at `freq` for level and THD+N; then a 4-parameter fit (Gauss-Newton on the
// frequency) for the frequency.
inline SineFit FitSine(const float *y, size_t n, double rate, double freq)
{
    SineFit r;
    double residual = 0;
    r.amplitude = ToneLevels(y, n, rate, {freq}, &residual)[0];
    r.thdn = residual / (r.amplitude / std::sqrt(2.0));
    double f = freq;
    for (int iter = 0; iter < 6; ++iter)
    {
        std::vector<double> c(n), s(n), d(n), one(n, 1.0);
        std::vector<std::vector<double>> cols;
        const std::vector<double> base = [&]
        {
            for (size_t i = 0; i < n; ++i)
            {
                const double w = 2 * M_PI * f * double(i) / rate;
                c[i] = std::cos(w);
                s[i] = std::sin(w);
            }
            return LeastSquares({c, s, one}, y, n);
        }();
        for (size_t i = 0; i < n; ++i)
        {
            const double t = 2 * M_PI * double(i) / rate;
            d[i] = t * (-base[0] * s[i] + base[1] * c[i]);
        }
        const std::vector<double> x = LeastSquares({c, s, one, d}, y, n);
        f += x[3];
        if (std::fabs(x[3]) < 1e-9)
            break;
    }
    r.frequency = f;
    return r;
}

inline std::vector<float> Sine(size_t n, double rate, double freq, double amplitude)
{
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = float(amplitude * std::sin(2 * M_PI * freq * double(i) / rate));
    return v;
}

} // namespace src_test
