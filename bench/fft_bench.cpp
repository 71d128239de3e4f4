// Real forward FFT of orders 9 to 12 on the same random input: ours (fftRealForward out of
// place, spec built once), FFTW single precision (r2c, FFTW_MEASURE, planned outside the timed
// loop on aligned buffers), the same FFTW plan search without its vector code (FFTW_NO_SIMD), and
// KissFFT (kiss_fftr, config made outside the loop). Each reports ns per transform; after the run
// a table gives ours over each peer per order, from the medians of the repetitions' CPU times.
// FFTW plans afresh in every repetition (its wisdom forgotten), so the table sees the spread of
// its measured plans. Our runs fail if the library allocates. The fastest variant the processor
// runs (the SSE tuning) runs forward and inverse on the same input, beside FFTW's r2c and c2r
// plans, each with MFLOPS = 2.5 N log2 N / t(us); a second table gives its time over FFTW's.
#include <benchmark/benchmark.h>

#include <fftw3.h>
#include <kiss_fftr.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "dsp/fft/fft.h"
#include "dsp/fft/simd/fft_sse.h"
#include "ratio_table.h"
#include "support/dsp_test_support.h"

namespace
{

namespace generic = dsp::generic;

std::vector<float> input(int32_t order)
{
    std::mt19937 rng{static_cast<uint32_t>(order)};
    std::uniform_real_distribution<float> dist(-1.0f, 1.0f);
    std::vector<float> x(size_t(1) << order);
    for (float &v : x)
        v = dist(rng);
    return x;
}

void BM_ours(benchmark::State &state)
{
    const int32_t order = int32_t(state.range(0));
    int32_t specSize, initSize, workSize;
    generic::fftRealGetSize(order, 8, 0, &specSize, &initSize, &workSize);
    std::vector<unsigned char> specBuf(static_cast<size_t>(specSize)),
        initBuf(static_cast<size_t>(initSize) + 1), work(static_cast<size_t>(workSize) + 1);
    dsp::FftSpec *spec = nullptr;
    if (generic::fftRealInit(&spec, order, 8, 0, specBuf.data(), initBuf.data()) != 0)
    {
        state.SkipWithError("spec init failed");
        return;
    }
    const std::vector<float> x = input(order);
    std::vector<float> out(x.size());
    dsp::test::AllocationCounter count;
    for (auto _ : state)
    {
        generic::fftRealForward(x.data(), out.data(), spec, work.data());
        benchmark::ClobberMemory();
    }
    if (count.allocations() != 0)
        state.SkipWithError("the transform allocated");
}

void setFlops(benchmark::State &state)
{
    const double n = double(int64_t(1) << state.range(0));
    state.counters["MFLOPS"] = benchmark::Counter(2.5 * n * double(state.range(0)) / 1e6,
                                                  benchmark::Counter::kIsIterationInvariantRate);
}

#if defined(__x86_64__) || defined(__i386__)
// The SSE tuning, out of place with its work buffer, forward or inverse.
void fastest(benchmark::State &state, bool inverse)
{
    const int32_t order = int32_t(state.range(0));
    int32_t specSize, initSize, workSize;
    dsp::sse::fftRealGetSize(order, 8, 0, &specSize, &initSize, &workSize);
    std::vector<unsigned char> specBuf(static_cast<size_t>(specSize)),
        initBuf(static_cast<size_t>(initSize) + 1), work(static_cast<size_t>(workSize) + 1);
    dsp::FftSpec *spec = nullptr;
    if (dsp::sse::fftRealInit(&spec, order, 8, 0, specBuf.data(), initBuf.data()) != 0)
    {
        state.SkipWithError("spec init failed");
        return;
    }
    const std::vector<float> x = input(order);
    std::vector<float> out(x.size());
    dsp::test::AllocationCounter count;
    for (auto _ : state)
    {
        if (inverse)
            dsp::sse::fftRealInverse(x.data(), out.data(), spec, work.data());
        else
            dsp::sse::fftRealForward(x.data(), out.data(), spec, work.data());
        benchmark::ClobberMemory();
    }
    if (count.allocations() != 0)
        state.SkipWithError("the transform allocated");
    setFlops(state);
}

void BM_fastest(benchmark::State &state)
{
    fastest(state, false);
}

void BM_fastest_inverse(benchmark::State &state)
{
    fastest(state, true);
}

BENCHMARK(BM_fastest)->DenseRange(9, 12)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_fastest_inverse)->DenseRange(9, 12)->Unit(benchmark::kNanosecond);
#endif

// FFTW's c2r plan of the same size on the same values read as a half spectrum.
void BM_fftwf_inverse(benchmark::State &state)
{
    const int n = 1 << state.range(0);
    fftwf_complex *in = fftwf_alloc_complex(size_t(n / 2 + 1));
    float *out = fftwf_alloc_real(size_t(n));
    fftwf_forget_wisdom();
    fftwf_plan plan = fftwf_plan_dft_c2r_1d(n, in, out, FFTW_MEASURE);
    const std::vector<float> x = input(int32_t(state.range(0)));
    std::memset(in, 0, sizeof(fftwf_complex) * size_t(n / 2 + 1));
    std::memcpy(in, x.data(), x.size() * sizeof(float));
    for (auto _ : state)
    {
        // c2r destroys its input; the copy back is part of every peer's cost here.
        std::memcpy(in, x.data(), x.size() * sizeof(float));
        fftwf_execute(plan);
        benchmark::ClobberMemory();
    }
    fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
    setFlops(state);
}

BENCHMARK(BM_fftwf_inverse)->DenseRange(9, 12)->Unit(benchmark::kNanosecond);

void fftwf(benchmark::State &state, unsigned flags)
{
    const int n = 1 << state.range(0);
    float *in = fftwf_alloc_real(size_t(n));
    fftwf_complex *out = fftwf_alloc_complex(size_t(n / 2 + 1));
    fftwf_forget_wisdom();
    fftwf_plan plan = fftwf_plan_dft_r2c_1d(n, in, out, flags);
    const std::vector<float> x = input(int32_t(state.range(0))); // planning overwrote in
    std::memcpy(in, x.data(), x.size() * sizeof(float));
    for (auto _ : state)
    {
        fftwf_execute(plan);
        benchmark::ClobberMemory();
    }
    fftwf_destroy_plan(plan);
    fftwf_free(in);
    fftwf_free(out);
    setFlops(state);
}

void BM_fftwf(benchmark::State &state)
{
    fftwf(state, FFTW_MEASURE);
}

void BM_fftwf_nosimd(benchmark::State &state)
{
    fftwf(state, FFTW_MEASURE | FFTW_NO_SIMD);
}

void BM_kissfft(benchmark::State &state)
{
    const int n = 1 << state.range(0);
    kiss_fftr_cfg cfg = kiss_fftr_alloc(n, 0, nullptr, nullptr);
    const std::vector<float> x = input(int32_t(state.range(0)));
    std::vector<kiss_fft_cpx> out(size_t(n / 2 + 1));
    for (auto _ : state)
    {
        kiss_fftr(cfg, x.data(), out.data());
        benchmark::ClobberMemory();
    }
    kiss_fftr_free(cfg);
}

BENCHMARK(BM_ours)->DenseRange(9, 12)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_fftwf)->DenseRange(9, 12)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_fftwf_nosimd)->DenseRange(9, 12)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_kissfft)->DenseRange(9, 12)->Unit(benchmark::kNanosecond);

} // namespace

int main(int argc, char **argv)
{
    bench::RatioTable table{"order", {"FFTW", "FFTW_NO_SIMD", "KissFFT"}, {}};
    for (int order = 9; order <= 12; ++order)
    {
        const std::string o = "/" + std::to_string(order);
        table.rows.push_back({std::to_string(order),
                              "BM_ours" + o,
                              {"BM_fftwf" + o, "BM_fftwf_nosimd" + o, "BM_kissfft" + o}});
    }
    std::vector<bench::RatioTable> tables{table};
#if defined(__x86_64__) || defined(__i386__)
    bench::RatioTable fastest{"order", {"FFTW (r2c forward, c2r inverse)"}, {}};
    for (int order = 9; order <= 12; ++order)
    {
        const std::string o = "/" + std::to_string(order);
        fastest.rows.push_back({std::to_string(order), "BM_fastest" + o, {"BM_fftwf" + o}});
        fastest.rows.push_back(
            {std::to_string(order) + " inverse", "BM_fastest_inverse" + o, {"BM_fftwf_inverse" + o}});
    }
    tables.push_back(fastest);
#endif
    return bench::RunWithRatioTables(argc, argv, tables);
}
