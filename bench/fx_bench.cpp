// The render path's effects, 48 kHz unless a rate is named, in 480-sample (10 ms at 48 kHz)
// calls: the 8 -> 2 plain fold-down, the per-stream chain (FIR stage with the generated tables,
// then the limiter) on 2 and 8 channels, the panner with the HRTF stage on 8 channels, and the
// room virtualiser in modes 7 and 5 at 48000 and 96000 Hz.
//
// Time per iteration is one call; rt_factor is how many times faster than real time a call runs
// (the call's audio duration over its time). A run that allocates on the audio path is an error.
#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include <ntkernel.h>
#include <sim/kernel_sim.h>

#include "driver/effects/chain_adapters.h"
#include "driver/effects/format_channels.h"
#include "support/dsp_test_support.h"

namespace
{

constexpr int32_t kSamples = 480;

struct Channels
{
    std::vector<std::vector<float>> data;
    std::array<float *, 8> ptr{};
    Channels() : data(8, std::vector<float>(kSamples))
    {
        std::mt19937 rng(48);
        std::uniform_real_distribution<float> u(-0.5f, 0.5f);
        for (int c = 0; c < 8; ++c)
        {
            for (float &v : data[size_t(c)])
                v = u(rng);
            ptr[size_t(c)] = data[size_t(c)].data();
        }
    }
};

// Runs `call` for every iteration, checks that it allocated nothing, sets the real-time factor.
template <typename F> void Measure(benchmark::State &state, double rate, F &&call)
{
    const size_t pool = sim::Allocations();
    dsp::test::AllocationCounter library;
    for (auto _ : state)
    {
        call();
        benchmark::ClobberMemory();
    }
    if (sim::Allocations() != pool || library.allocations() != 0)
        state.SkipWithError("the audio path allocated");
    state.counters["rt_factor"] =
        benchmark::Counter(double(state.iterations()) * kSamples / rate, benchmark::Counter::kIsRate);
}

void FormatChannels8To2(benchmark::State &state)
{
    Channels ch;
    const Channels fresh;
    Measure(state, 48000.0,
            [&]
            {
                for (int c = 0; c < 2; ++c) // the fold-down overwrites the fronts; keep them bounded
                    std::copy(fresh.data[size_t(c)].begin(), fresh.data[size_t(c)].end(),
                              ch.data[size_t(c)].begin());
                FormatChannels(ch.ptr.data(), 8, 2, kSamples, 1);
            });
}
BENCHMARK(FormatChannels8To2);

void DspChainProcess(benchmark::State &state)
{
    sim::ResetAll();
    const uint16_t channels = uint16_t(state.range(0));
    auto chain = std::make_unique<DspChain>();
    if (!DspChainInit(chain.get()))
        return state.SkipWithError("no memory");
    DspChainSetMode(chain.get(), 0);
    DspChainSetGains(chain.get(), 2.8183f);
    DspChainSetMasterGain(chain.get(), 1.0f);
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = 48000;
    DspChainSetFormat(chain.get(), &f);
    Channels ch;
    Measure(state, 48000.0, [&] { DspChainProcess(chain.get(), ch.ptr.data(), kSamples); });
}
BENCHMARK(DspChainProcess)->Arg(2)->Arg(8);

void EqProcessAndSecondStage(benchmark::State &state)
{
    sim::ResetAll();
    auto eq = std::make_unique<ParamEngine>();
    auto hrtf = std::make_unique<HrtfEngine>();
    if (!eq->AllocateBuffers() || !hrtf->CreateFilter())
        return state.SkipWithError("no memory");
    const float first[8] = {30, 30, 30, 30, 30, 30, 30, 30};
    const float second[8] = {-30, 30, -150, 150, 0, -100, 100, 0};
    eq->ApplyBands(first, second);
    Channels ch;
    const Channels fresh;
    Measure(state, 48000.0,
            [&]
            {
                EqProcess(eq.get(), fresh.ptr.data(), ch.ptr.data(), kSamples);
                EqSecondStage(hrtf.get(), ch.ptr.data(), kSamples);
            });
}
BENCHMARK(EqProcessAndSecondStage);

void Render(benchmark::State &state)
{
    const int32_t mode = int32_t(state.range(0)), rate = int32_t(state.range(1));
    auto room = std::make_unique<DelayState>();
    room->Init();
    room->SetFormat(rate, mode);
    const Channels in;
    Channels out;
    Measure(state, double(rate), [&] { EffectProcess(room.get(), in.ptr.data(), out.ptr.data(), kSamples); });
}
BENCHMARK(Render)->Args({7, 48000})->Args({5, 48000})->Args({7, 96000})->Args({5, 96000});

} // namespace
