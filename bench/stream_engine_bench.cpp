// The engine's per-block float path: one 10 ms block (480 frames at 48 kHz) through ProcessBlock
// with a software mute (off) attached, at DISPATCH_LEVEL on the real primitives, against a floor:
// plain scalar loops doing the same conversions and (de)interleaving without the engine, each
// the cheapest way (the 24-bit store rounds with one conversion instruction, as the engine's
// round-to-nearest does). A table after the run gives the engine over the floor per shape, from
// the medians of the repetitions' CPU times.
//
// Counters: s_per_frame (shown with an SI prefix, so "4n" is 4 ns per frame) and realtime_fraction
// (the call's time over the 10 ms the block lasts).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <xmmintrin.h>

#include <ntkernel.h>
#include <sim/kernel_sim.h>

#include "driver/effects/dsp_node.h"
#include "driver/base/pool_memory.h"
#include "driver/filters/stream_engine.h"
#include "engine_block_case.h"
#include "ratio_table.h"

namespace
{

constexpr ULONG kFrames = 480;
constexpr double kBlockSeconds = 0.010;

WAVEFORMATEXTENSIBLE Format(USHORT channels, USHORT bits)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = 48000;
    f.Format.nBlockAlign = USHORT(channels * bits / 8);
    f.Format.nAvgBytesPerSec = 48000u * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = bits;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = bits;
    f.SubFormat = SubFormatForTag(WAVE_FORMAT_PCM);
    return f;
}

std::vector<uint8_t> Block(USHORT channels, USHORT bits)
{
    std::vector<uint8_t> block(size_t(kFrames) * channels * bits / 8);
    uint32_t x = 12345;
    for (uint8_t &b : block)
    {
        x = x * 1664525u + 1013904223u;
        b = uint8_t(x >> 24);
    }
    return block;
}

void Counters(benchmark::State &state)
{
    const double iterations = double(state.iterations());
    state.counters["s_per_frame"] =
        benchmark::Counter(iterations * kFrames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["realtime_fraction"] = benchmark::Counter(
        iterations * kBlockSeconds, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void EngineProcessBlock(benchmark::State &state)
{
    const USHORT channels = USHORT(state.range(0));
    const USHORT bits = USHORT(state.range(1));
    sim::SetViolationHandler([](const std::string &) { std::abort(); });
    sim::ResetAll();
    {
        std::vector<uint8_t> block = Block(channels, bits);
        if (RunEngineProcessBlock(state, Format(channels, bits), block))
            Counters(state);
    }
    sim::ResetAll();
    sim::SetViolationHandler(nullptr);
}

// The floor: the same conversions and (de)interleaving as plain scalar code.
void ScalarPeer(benchmark::State &state)
{
    const int channels = int(state.range(0));
    const int bits = int(state.range(1));
    std::vector<uint8_t> block = Block(USHORT(channels), USHORT(bits));
    std::vector<float> interleaved(size_t(kFrames) * channels);
    std::vector<std::vector<float>> planes(channels, std::vector<float>(kFrames));
    const uint8_t muted = 0;
    for (auto _ : state)
    {
        const size_t samples = size_t(kFrames) * channels;
        if (bits == 16)
        {
            auto *s = reinterpret_cast<int16_t *>(block.data());
            for (size_t i = 0; i < samples; ++i)
                interleaved[i] = float(s[i]) * (1.0f / 32768.0f);
        }
        else
        {
            const uint8_t *p = block.data();
            for (size_t i = 0; i < samples; ++i, p += 3)
            {
                const int32_t v =
                    int32_t(uint32_t(p[0]) << 8 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 24) >> 8;
                interleaved[i] = float(v) / 8388608.0f;
            }
        }
        for (ULONG f = 0; f < kFrames; ++f)
            for (int c = 0; c < channels; ++c)
                planes[c][f] = interleaved[size_t(f) * channels + c];
        if (muted)
            for (auto &plane : planes)
                std::fill(plane.begin(), plane.end(), 0.0f);
        for (ULONG f = 0; f < kFrames; ++f)
            for (int c = 0; c < channels; ++c)
                interleaved[size_t(f) * channels + c] = planes[c][f];
        if (bits == 16)
        {
            auto *d = reinterpret_cast<int16_t *>(block.data());
            for (size_t i = 0; i < samples; ++i)
            {
                const float v = std::clamp(interleaved[i] * 32768.0f, -32768.0f, 32767.0f);
                d[i] = int16_t(v);
            }
        }
        else
        {
            uint8_t *p = block.data();
            for (size_t i = 0; i < samples; ++i, p += 3)
            {
                // cvtss2si rounds to nearest under the default control word: no library call.
                const float v = std::clamp(interleaved[i] * 8388608.0f, -8388608.0f, 8388607.0f);
                const int32_t q = _mm_cvtss_si32(_mm_set_ss(v));
                p[0] = uint8_t(q);
                p[1] = uint8_t(q >> 8);
                p[2] = uint8_t(q >> 16);
            }
        }
        benchmark::ClobberMemory();
    }
    Counters(state);
}

void Shapes(benchmark::internal::Benchmark *b)
{
    b->ArgNames({"ch", "bits"});
    for (int channels : {2, 8})
        for (int bits : {16, 24})
            b->Args({channels, bits});
}

} // namespace

BENCHMARK(EngineProcessBlock)->Apply(Shapes);
BENCHMARK(ScalarPeer)->Apply(Shapes);

int main(int argc, char **argv)
{
    bench::RatioTable table{"shape", {"floor"}, {}};
    for (int channels : {2, 8})
        for (int bits : {16, 24})
        {
            const std::string args = "ch:" + std::to_string(channels) + "/bits:" + std::to_string(bits);
            table.rows.push_back({args, "EngineProcessBlock/" + args, {"ScalarPeer/" + args}});
        }
    return bench::RunWithRatioTables(argc, argv, {table});
}
