// FIR block filtering as the effects chain runs it, through the dispatch stubs, on one random
// input: 101 taps at 512 samples (overlap-save) and at 511 (direct, to show the crossover pays),
// 20 taps at 512 (direct), and the 20-tap single-sample filter. Each block case runs beside a
// plain double-loop convolution of the same block (outer loop over outputs, inner over taps,
// double accumulator), and a table after the run gives ours over it from the medians of the
// repetitions' CPU times. Every benchmark fails when the library allocated while it ran.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "dsp/dispatch/primitives.h"
#include "dsp/filters/fir_state.h"
#include "ratio_table.h"
#include "support/dsp_test_support.h"

namespace
{

constexpr int32_t kStream = 1 << 16;

const std::vector<float> &input()
{
    static const std::vector<float> x = []
    {
        std::mt19937 rng(2024);
        std::uniform_real_distribution<float> u(-1.0f, 1.0f);
        std::vector<float> v(kStream);
        for (float &s : v)
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
void referenceBlock(const float *x, float *y, int32_t n, const std::vector<float> &h)
{
    const int32_t L = int32_t(h.size());
    for (int32_t k = 0; k < n; ++k)
    {
        double acc = 0.0;
        for (int32_t i = L - 1; i >= 0; --i)
            acc += double(h[size_t(i)]) * x[k - i];
        y[k] = float(acc);
    }
}

void referenceFilter(benchmark::State &state, int32_t tapCount, int32_t n)
{
    const std::vector<float> h = taps(tapCount);
    std::vector<float> y(static_cast<size_t>(n));
    const float *x = input().data() + h.size();
    int32_t at = 0;
    for (auto _ : state)
    {
        referenceBlock(x + at, y.data(), n, h);
        benchmark::DoNotOptimize(y.data());
        benchmark::ClobberMemory();
        at = at + 2 * n + tapCount < kStream ? at + n : 0;
    }
    state.SetItemsProcessed(state.iterations() * n);
}

void blockFilter(benchmark::State &state, int32_t tapCount, int32_t n)
{
    const std::vector<float> h = taps(tapCount);
    int32_t size = 0;
    dsp::firStateSizeF32(tapCount, &size);
    std::vector<unsigned char> buffer(static_cast<size_t>(size));
    dsp::FirState *st = nullptr;
    if (dsp::firInitF32(&st, h.data(), tapCount, nullptr, buffer.data()) != dsp::kOk)
    {
        state.SkipWithError("init failed");
        return;
    }
    std::vector<float> y(static_cast<size_t>(n));
    const float *x = input().data();
    int32_t at = 0;
    dsp::test::AllocationCounter count;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(dsp::firFilterF32(x + at, y.data(), n, st));
        benchmark::ClobberMemory();
        at = at + 2 * n < kStream ? at + n : 0;
    }
    if (count.allocations() != 0)
        state.SkipWithError("the block path allocated");
    state.SetItemsProcessed(state.iterations() * n);
}

void BM_firOneSample20(benchmark::State &state)
{
    const std::vector<float> h = taps(20);
    std::vector<float> line(40, 0.0f);
    int32_t index = 0;
    float out = 0.0f;
    const float *x = input().data();
    int32_t at = 0;
    dsp::test::AllocationCounter count;
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(dsp::firOneSampleF32(x[at], &out, h.data(), 20, line.data(), &index));
        benchmark::DoNotOptimize(out);
        at = (at + 1) & (kStream - 1);
    }
    if (count.allocations() != 0)
        state.SkipWithError("the single-sample path allocated");
    state.SetItemsProcessed(state.iterations());
}

// The block cases, each run by the library and by the reference.
#define FIR_CASE(name, tapCount, n)                                                                          \
    BENCHMARK_CAPTURE(blockFilter, name, tapCount, n);                                                       \
    BENCHMARK_CAPTURE(referenceFilter, name, tapCount, n);
FIR_CASE(taps101_n512_overlapSave, 101, 512)
FIR_CASE(taps101_n511_direct, 101, 511)
FIR_CASE(taps20_n512_direct, 20, 512)
#undef FIR_CASE
BENCHMARK(BM_firOneSample20);

} // namespace

int main(int argc, char **argv)
{
    bench::RatioTable table{"case", {"reference"}, {}};
    for (const char *name : {"taps101_n512_overlapSave", "taps101_n511_direct", "taps20_n512_direct"})
        table.rows.push_back(
            {name, std::string("blockFilter/") + name, {std::string("referenceFilter/") + name}});
    return bench::RunWithRatioTables(argc, argv, {table});
}
