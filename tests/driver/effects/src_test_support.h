// Shared by the sample-rate chain's tests: format records, a chain in pool as the stream makes
// it, and whole-signal runs through Feed/Drain.
#pragma once

#include "driver/effects/dsp_interleave_src.h"
#include "support/engine_doubles.h"
#include "support/sine_fit.h"

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
using namespace sine_fit;

inline constexpr std::array<uint32_t, 6> kRates = {44100, 48000, 88200, 96000, 176400, 192000};

inline bool SameFamily(uint32_t a, uint32_t b)
{
    return (a % 44100 == 0) == (b % 44100 == 0);
}

inline WAVEFORMATEXTENSIBLE Extensible(uint16_t channels, uint32_t rate, uint16_t bits = 16,
                                       uint16_t type = WAVE_FORMAT_PCM)
{
    return engine_test::MakeFormat(type, channels, rate, bits);
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
    for (auto &c : out)
        c.reserve(n * 9 / 2 + 8192); // at most 192000 / 44100 output frames an input frame
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

} // namespace src_test
