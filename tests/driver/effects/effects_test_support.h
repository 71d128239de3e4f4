// Shared by the effects tests: planar channel sets, the limiter's format words and a stream
// format record.
#pragma once

#include <pc_wave_format.h>

#include <array>
#include <cstdint>
#include <vector>

namespace fx_test
{

// Up to 12 planar channels of n floats each, with a pointer table the effects take.
struct Planes
{
    std::vector<std::vector<float>> data;
    std::array<float *, 12> ptr{};
    explicit Planes(size_t n, size_t channels = 8, float fill = 0.0f)
        : data(channels, std::vector<float>(n, fill))
    {
        Point();
    }
    Planes(const Planes &o) : data(o.data) { Point(); }
    Planes &operator=(const Planes &o)
    {
        data = o.data;
        Point();
        return *this;
    }
    void Point()
    {
        ptr.fill(nullptr);
        for (size_t c = 0; c < data.size(); ++c)
            ptr[c] = data[c].data();
    }
    // Pointers `offset` samples into every channel.
    std::array<float *, 12> At(size_t offset)
    {
        std::array<float *, 12> p{};
        for (size_t c = 0; c < data.size(); ++c)
            p[c] = data[c].data() + offset;
        return p;
    }
};

inline WAVEFORMATEXTENSIBLE FloatFormat(uint16_t channels, uint32_t rate)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = 32;
    f.Format.nBlockAlign = uint16_t(channels * 4);
    f.Format.nAvgBytesPerSec = rate * channels * 4;
    f.Format.cbSize = 22;
    f.SubFormat = SubFormatForTag(WAVE_FORMAT_IEEE_FLOAT);
    return f;
}

// The limiter's ten configuration words for `channels` (which may exceed 8) at `rate`.
inline std::array<uint32_t, 10> LimiterWords(uint32_t channels, uint32_t rate)
{
    return {(channels << 16) | WAVE_FORMAT_EXTENSIBLE, rate, 0, 0, 0, 0, 0, 0, 0, 0};
}

} // namespace fx_test
