// Shared by the headphone surround's tests: formats, filter sets, an effect streamed in chunks,
// and the double-precision direct-convolution reference of the core with its channel routing.
#pragma once

#include "driver/effects/headphone/audio_app.h"
#include "driver/effects/headphone/qvr_effect.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace hp_test
{

inline WAVEFORMATEX Format(uint16_t channels, uint32_t rate)
{
    WAVEFORMATEX f{};
    f.wFormatTag = 3;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 32;
    f.nBlockAlign = uint16_t(channels * 4);
    f.nAvgBytesPerSec = rate * channels * 4u;
    return f;
}

// A head set (nhead filters of headLen) and two tail filters of tailLen, one after the other.
struct Filters
{
    int32_t nhead = 10, headLen = 1024, tailLen = 1536;
    std::vector<float> head, tail;

    static Filters Random(uint32_t seed, int32_t headLen = 1024, int32_t tailLen = 1536)
    {
        Filters f;
        f.headLen = headLen;
        f.tailLen = tailLen;
        std::mt19937 rng(seed);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        f.head.resize(size_t(10 * headLen));
        for (int32_t i = 0; i < 10 * headLen; ++i)
            f.head[size_t(i)] = 0.05f * u(rng) * std::exp(-float(i % headLen) / 300.0f);
        f.tail.resize(size_t(2 * tailLen));
        for (int32_t i = 0; i < 2 * tailLen; ++i)
            f.tail[size_t(i)] = 0.01f * u(rng) * std::exp(-float(i % (tailLen ? tailLen : 1)) / 800.0f);
        return f;
    }
    const float *Head(int32_t filter) const { return head.data() + size_t(filter * headLen); }
    const float *Tail(int32_t ear) const { return tail.data() + size_t(ear * tailLen); }
    bool LoadInto(headphonefir &core) const
    {
        return core.LoadFilters(head.data(), nhead, headLen, tail.data(), 2, tailLen);
    }
};

// The core's ears in double: fold, LFE into L and R, 10-filter routing, the tail on the sum of
// the head inputs, x 2.0; channels by position FL, FR, FC, LFE, BL, BR, SL, SR.
inline std::vector<std::vector<double>> DirectEars(const std::vector<std::vector<float>> &x, int32_t channels,
                                                   const Filters &f)
{
    const size_t n = x[0].size();
    auto at = [&](int32_t c, size_t i) { return c < channels ? double(x[size_t(c)][i]) : 0.0; };
    std::vector<std::vector<double>> in(5, std::vector<double>(n)), ears(2, std::vector<double>(n));
    std::vector<double> sum(n);
    const int32_t heads = channels == 2 ? 2 : 5;
    for (size_t i = 0; i < n; ++i)
    {
        const double lfe = channels >= 6 ? at(3, i) : 0.0;
        in[0][i] = at(0, i) + lfe;
        in[1][i] = at(1, i) + lfe;
        in[2][i] = at(2, i);
        double rl = at(4, i), rr = at(5, i);
        if (channels == 8)
        {
            rl = 0.95 * at(4, i) + 0.312 * at(5, i) + at(6, i);
            rr = 0.312 * at(4, i) + 0.95 * at(5, i) + at(7, i);
        }
        in[3][i] = rl;
        in[4][i] = rr;
        for (int32_t c = 0; c < heads; ++c)
            sum[i] += in[size_t(c)][i];
    }
    for (int32_t e = 0; e < 2; ++e)
        for (size_t i = 0; i < n; ++i)
        {
            double y = 0;
            for (int32_t c = 0; c < heads; ++c)
            {
                const float *h = f.Head(2 * c + e);
                for (int32_t k = 0; k < f.headLen && size_t(k) <= i; ++k)
                    y += double(h[k]) * in[size_t(c)][i - size_t(k)];
            }
            const float *t = f.Tail(e);
            for (int32_t k = 0; k < f.tailLen && size_t(k) <= i; ++k)
                y += double(t[k]) * sum[i - size_t(k)];
            ears[size_t(e)][i] = 2.0 * y;
        }
    return ears;
}

// The effect's ears for x (channels planes), fed in chunks of `chunk` samples: channels 0 and 1
// after processing (channel 0 alone for a mono stream).
inline std::vector<std::vector<float>> Stream(CQvrEffect &fx, std::vector<std::vector<float>> x,
                                              int32_t chunk)
{
    const size_t n = x[0].size();
    for (size_t pos = 0; pos < n; pos += size_t(chunk))
    {
        const int32_t count = int32_t(std::min(size_t(chunk), n - pos));
        float *p[8] = {};
        for (size_t c = 0; c < x.size(); ++c)
            p[c] = x[c].data() + pos;
        fx.Process(p, count);
    }
    x.resize(std::min<size_t>(2, x.size()));
    return x;
}

// Relative RMS of a (delayed by `delay`) against the reference.
inline double RelativeRms(const std::vector<float> &a, const std::vector<double> &ref, size_t delay)
{
    double err = 0, energy = 0;
    for (size_t i = delay; i < a.size(); ++i)
    {
        const double d = double(a[i]) - ref[i - delay];
        err += d * d;
        energy += ref[i - delay] * ref[i - delay];
    }
    return energy > 0 ? std::sqrt(err / energy) : std::sqrt(err);
}

} // namespace hp_test
