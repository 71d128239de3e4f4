// FIR block filtering as the effects chain runs it, through the dispatch stubs, on one random
// input: 101 taps at 512 samples (overlap-save) and at 511 (direct, to show the crossover pays),
// 20 taps at 512 (direct), and the 20-tap single-sample filter. Each block benchmark reports ns
// per sample beside a plain double-loop convolution of the same block (outer loop over outputs,
// inner over taps, double accumulator) and their ratio. Every benchmark fails when the library
// allocated while it ran.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "dsp/dispatch/primitives.h"
#include "support/dsp_test_support.h"
#include "dsp/filters/fir_state.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kStream = 1 << 16;

const std::vector<float>& input()
{
    static const std::vector<float> x = [] {
        std::mt19937 rng(2024);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        std::vector<float> v(kStream);
        for (float& s : v)
            s = u(rng);
        return v;
    }();
    return x;
}

std::vector<float> taps(int32_t n)
{
    std::vector<float> h(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i)
        h[size_t(i)] = 1.0f / float(i + 2) * ((i & 1) ? -1.0f : 1.0f);
    return h;
}

// The plain convolution of block x[0..n-1] (x[-L+1..-1] readable before it).
void referenceBlock(const float* x, float* y, int32_t n, const std::vector<float>& h)
{
    const int32_t L = int32_t(h.size());
    for (int32_t k = 0; k < n; ++k) {
        double acc = 0.0;
        for (int32_t i = L - 1; i >= 0; --i)
            acc += double(h[size_t(i)]) * x[k - i];
        y[k] = float(acc);
    }
}

double referenceNsPerSample(const std::vector<float>& h, int32_t n)
{
    const float* x = input().data() + h.size();
    std::vector<float> y(static_cast<size_t>(n));
    const int reps = 200;
    const auto t0 = Clock::now();
    for (int r = 0; r < reps; ++r) {
        referenceBlock(x + (r * n) % (kStream - 2 * n), y.data(), n, h);
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
    }
    const std::chrono::duration<double, std::nano> dt = Clock::now() - t0;
    return dt.count() / (double(reps) * n);
}

void blockFilter(benchmark::State& state, int32_t tapCount, int32_t n)
{
    const std::vector<float> h = taps(tapCount);
    int32_t size = 0;
    dsp::firStateSizeF32(tapCount, &size);
    std::vector<unsigned char> buffer(static_cast<size_t>(size));
    dsp::FirState* st = nullptr;
    if (dsp::firInitF32(&st, h.data(), tapCount, nullptr, buffer.data()) != dsp::kOk) {
        state.SkipWithError("init failed");
        return;
    }
    std::vector<float> y(static_cast<size_t>(n));
    const float* x = input().data();
    int32_t at = 0;
    dsp::test::AllocationCounter count;
    const auto t0 = Clock::now();
    for (auto _ : state) {
        benchmark::DoNotOptimize(dsp::firFilterF32(x + at, y.data(), n, st));
        benchmark::ClobberMemory();
        at = at + 2 * n < kStream ? at + n : 0;
    }
    const std::chrono::duration<double, std::nano> dt = Clock::now() - t0;
    if (count.allocations() != 0)
        state.SkipWithError("the block path allocated");
    const double lib = dt.count() / (double(state.iterations()) * n);
    const double ref = referenceNsPerSample(h, n);
    state.counters["ns_per_sample"] = lib;
    state.counters["ref_ns_per_sample"] = ref;
    state.counters["ratio_to_ref"] = lib / ref;
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_firOneSample20(benchmark::State& state)
{
    const std::vector<float> h = taps(20);
    std::vector<float> line(40, 0.0f);
    int32_t index = 0;
    float out = 0.0f;
    const float* x = input().data();
    int32_t at = 0;
    dsp::test::AllocationCounter count;
    const auto t0 = Clock::now();
    for (auto _ : state) {
        benchmark::DoNotOptimize(dsp::firOneSampleF32(x[at], &out, h.data(), 20, line.data(), &index));
        benchmark::DoNotOptimize(out);
        at = (at + 1) & (kStream - 1);
    }
    const std::chrono::duration<double, std::nano> dt = Clock::now() - t0;
    if (count.allocations() != 0)
        state.SkipWithError("the single-sample path allocated");
    state.counters["ns_per_sample"] = dt.count() / double(state.iterations());
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK_CAPTURE(blockFilter, taps101_n512_overlapSave, 101, 512);
BENCHMARK_CAPTURE(blockFilter, taps101_n511_direct, 101, 511);
BENCHMARK_CAPTURE(blockFilter, taps20_n512_direct, 20, 512);
BENCHMARK(BM_firOneSample20);

} // namespace
