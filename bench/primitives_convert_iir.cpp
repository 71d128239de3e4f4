// The stream engine's format conversions at 480 frames x 8 channels and the effects chain's
// third-order IIR over 512 samples, per block, through the dispatch stubs. Each benchmark counts
// the library's allocations while it runs and fails when there is one: the audio path must not
// allocate.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "dsp/dispatch/primitives.h"
#include "support/dsp_test_support.h"
#include "dsp/filters/iir.h"

namespace
{

constexpr int32_t kFrames = 480;
constexpr int32_t kChannels = 8;
constexpr int32_t kSamples = kFrames * kChannels;

// Runs call once per iteration and reports an error if any iteration allocated.
template <class Call> void perBlock(benchmark::State &state, Call call)
{
    dsp::test::AllocationCounter count;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(call());
        benchmark::ClobberMemory();
    }
    if (count.allocations() != 0)
        state.SkipWithError("the block path allocated");
    state.SetItemsProcessed(state.iterations() * kSamples);
}

std::vector<float> ramp(size_t n)
{
    std::vector<float> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<float>(static_cast<int>(i % 199) - 99) / 100.0f;
    return v;
}

void BM_convertS16ToF32Scaled(benchmark::State &state)
{
    std::vector<int16_t> src(kSamples);
    for (int32_t i = 0; i < kSamples; ++i)
        src[i] = static_cast<int16_t>(i * 37);
    std::vector<float> dst(kSamples);
    perBlock(state, [&] { return dsp::convertS16ToF32Scaled(src.data(), dst.data(), kSamples, 15); });
}

void BM_convertS24ToF32(benchmark::State &state)
{
    std::vector<uint8_t> src(3 * kSamples);
    for (size_t i = 0; i < src.size(); ++i)
        src[i] = static_cast<uint8_t>(i * 131);
    std::vector<float> dst(kSamples);
    perBlock(state, [&] { return dsp::convertS24ToF32(src.data(), dst.data(), kSamples); });
}

void BM_convertF32ToS16Scaled(benchmark::State &state)
{
    const std::vector<float> src = ramp(kSamples);
    std::vector<int16_t> dst(kSamples);
    perBlock(state, [&] { return dsp::convertF32ToS16Scaled(src.data(), dst.data(), kSamples, 0, -15); });
}

struct PlanarBlock
{
    std::vector<std::vector<uint32_t>> planes;
    std::vector<const uint32_t *> in;
    std::vector<uint32_t *> out;
    std::vector<uint32_t> mixed = std::vector<uint32_t>(kSamples);
    PlanarBlock() : planes(kChannels, std::vector<uint32_t>(kFrames))
    {
        for (int32_t c = 0; c < kChannels; ++c)
        {
            for (int32_t k = 0; k < kFrames; ++k)
                planes[c][k] = static_cast<uint32_t>(c * 1000 + k);
            in.push_back(planes[c].data());
            out.push_back(planes[c].data());
        }
    }
};

void BM_interleave32(benchmark::State &state)
{
    PlanarBlock b;
    perBlock(state, [&] { return dsp::interleave32(b.in.data(), kChannels, kFrames, b.mixed.data()); });
}

void BM_deinterleave32(benchmark::State &state)
{
    PlanarBlock b;
    perBlock(state, [&] { return dsp::deinterleave32(b.mixed.data(), kChannels, kFrames, b.out.data()); });
}

void BM_iirFilterF32Order3(benchmark::State &state)
{
    // A third-order low-pass (Butterworth, cutoff fs/6), as the effects chain's anti-alias filter.
    const float taps[] = {0.0495329f, 0.1485987f,  0.1485987f, 0.0495329f,
                          1.0f,       -1.1619174f, 0.6959132f, -0.1377613f};
    dsp::IirState *st = nullptr;
    if (dsp::iirCreateF32(&st, taps, 3, nullptr) != dsp::kOk)
    {
        state.SkipWithError("iirCreateF32 failed");
        return;
    }
    const std::vector<float> src = ramp(512);
    std::vector<float> dst(512);
    dsp::test::AllocationCounter count;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(dsp::iirFilterF32(src.data(), dst.data(), 512, st));
        benchmark::ClobberMemory();
    }
    if (count.allocations() != 0)
        state.SkipWithError("filtering allocated");
    state.SetItemsProcessed(state.iterations() * 512);
    dsp::iirFree(st);
}

BENCHMARK(BM_convertS16ToF32Scaled);
BENCHMARK(BM_convertS24ToF32);
BENCHMARK(BM_convertF32ToS16Scaled);
BENCHMARK(BM_interleave32);
BENCHMARK(BM_deinterleave32);
BENCHMARK(BM_iirFilterF32Order3);

} // namespace
