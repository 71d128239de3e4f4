// Sine fits for audio measurements: least squares over tone bases generated sample by sample
// (no column is stored), the 3-parameter fit for level and THD+N and the 4-parameter fit for the
// frequency. Used by the sample-rate tests and benchmark on their converters' outputs.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace sine_fit
{

// Least squares over basis functions generated sample by sample, so no column is ever stored.

// cos and sin of 2 pi f i / rate for i = 0, 1, ...: a rotating phasor, set exactly every 256
// samples.
class Phasor
{
public:
    Phasor(double rate, double f)
        : m_rate(rate), m_f(f), m_cw(std::cos(2 * M_PI * f / rate)), m_sw(std::sin(2 * M_PI * f / rate))
    {
    }
    void Next(double *c, double *s)
    {
        if ((m_i & 255) == 0)
        {
            const double turns = std::fmod(m_f * double(m_i) / m_rate, 1.0);
            m_x = std::cos(2 * M_PI * turns);
            m_y = std::sin(2 * M_PI * turns);
        }
        *c = m_x;
        *s = m_y;
        const double nx = m_x * m_cw - m_y * m_sw;
        m_y = m_x * m_sw + m_y * m_cw;
        m_x = nx;
        ++m_i;
    }

private:
    double m_rate, m_f, m_cw, m_sw, m_x = 1, m_y = 0;
    size_t m_i = 0;
};

// Tones at `freqs` (a cos and a sin column each, at most 31 tones), an offset, and when `derivative` holds
// the cos and sin amplitudes of tone 0, the derivative column of tone 0 in its frequency.
struct ToneBasis
{
    std::vector<double> freqs;
    double rate;
    const double *derivative = nullptr;
    size_t Size() const { return 2 * freqs.size() + 1 + (derivative ? 1 : 0); }
    // Calls use(i, v) for every sample with the basis values v.
    template <typename F> void Each(size_t n, F &&use) const
    {
        std::vector<Phasor> p;
        for (double f : freqs)
            p.emplace_back(rate, f);
        double v[64];
        for (size_t i = 0; i < n; ++i)
        {
            for (size_t t = 0; t < p.size(); ++t)
                p[t].Next(&v[2 * t], &v[2 * t + 1]);
            v[2 * p.size()] = 1.0;
            if (derivative)
                v[2 * p.size() + 1] =
                    2 * M_PI * double(i) / rate * (-derivative[0] * v[1] + derivative[1] * v[0]);
            use(i, v);
        }
    }
};

// The least-squares coefficients of y over the basis, by the normal equations.
inline std::vector<double> LeastSquares(const ToneBasis &basis, const float *y, size_t n)
{
    const size_t k = basis.Size(), w = k + 1;
    std::vector<double> m(k * w, 0.0);
    basis.Each(n,
               [&](size_t i, const double *v)
               {
                   for (size_t a = 0; a < k; ++a)
                   {
                       for (size_t b = a; b < k; ++b)
                           m[a * w + b] += v[a] * v[b];
                       m[a * w + k] += v[a] * double(y[i]);
                   }
               });
    for (size_t a = 0; a < k; ++a)
        for (size_t b = 0; b < a; ++b)
            m[a * w + b] = m[b * w + a];
    for (size_t p = 0; p < k; ++p) // Gauss-Jordan with partial pivoting
    {
        size_t best = p;
        for (size_t r = p + 1; r < k; ++r)
            if (std::fabs(m[r * w + p]) > std::fabs(m[best * w + p]))
                best = r;
        for (size_t c = 0; c <= k; ++c)
            std::swap(m[p * w + c], m[best * w + c]);
        for (size_t r = 0; r < k; ++r)
            if (r != p)
            {
                const double f = m[r * w + p] / m[p * w + p];
                for (size_t c = p; c <= k; ++c)
                    m[r * w + c] -= f * m[p * w + c];
            }
    }
    std::vector<double> x(k);
    for (size_t a = 0; a < k; ++a)
        x[a] = m[a * w + k] / m[a * w + a];
    return x;
}

struct SineFit
{
    double amplitude = 0, frequency = 0, thdn = 0; // thdn: residual RMS over sine RMS
    double LevelDb() const { return 20 * std::log10(amplitude); }
    double ThdnDb() const { return 20 * std::log10(thdn); }
};

// Tones at `freqs` fitted jointly with an offset (the 3-parameter fit for one tone); amplitudes
// in the same order, and the residual's RMS when asked.
inline std::vector<double> ToneLevels(const float *y, size_t n, double rate, const std::vector<double> &freqs,
                                      double *residualRms = nullptr)
{
    const ToneBasis basis{freqs, rate};
    const std::vector<double> x = LeastSquares(basis, y, n);
    std::vector<double> amp;
    for (size_t t = 0; t < freqs.size(); ++t)
        amp.push_back(std::hypot(x[2 * t], x[2 * t + 1]));
    if (residualRms)
    {
        double e = 0;
        basis.Each(n,
                   [&](size_t i, const double *v)
                   {
                       double fit = 0;
                       for (size_t a = 0; a < x.size(); ++a)
                           fit += x[a] * v[a];
                       e += (double(y[i]) - fit) * (double(y[i]) - fit);
                   });
        *residualRms = std::sqrt(e / double(n));
    }
    return amp;
}

// The 3-parameter fit at `freq` for level and THD+N; then the 4-parameter fit (Gauss-Newton on
// the frequency) for the frequency.
inline SineFit FitSine(const float *y, size_t n, double rate, double freq)
{
    SineFit r;
    double residual = 0;
    r.amplitude = ToneLevels(y, n, rate, {freq}, &residual)[0];
    r.thdn = residual / (r.amplitude / std::sqrt(2.0));
    double f = freq;
    std::vector<double> x = LeastSquares(ToneBasis{{f}, rate}, y, n);
    for (int iter = 0; iter < 6; ++iter)
    {
        x = LeastSquares(ToneBasis{{f}, rate, x.data()}, y, n);
        f += x[3];
        if (std::fabs(x[3]) < 1e-7)
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

} // namespace sine_fit
