// The sample-rate chain against libsoxr (HQ, split float channels, streaming soxr_process) and
// libsamplerate (medium sinc, interleaved float src_process), 8 channels in 10 ms blocks, pairs
// 44.1 -> 48, 48 -> 44.1 and 48 -> 96 kHz, each converter created outside the timed loop.
//
// Counters: samples_per_s, output samples of all channels per CPU second; rt_factor, audio
// seconds per CPU second; and, measured once per run on the converter's own output, thdn_db (a
// 1 kHz sine at -6 dBFS, 3-parameter fit) and ripple_db (level spread of -18 dBFS tones at 1, 2,
// ..., 15 kHz). Ours runs at DISPATCH_LEVEL and must not allocate.
#include <benchmark/benchmark.h>

#include <samplerate.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include <ntkernel.h>
#include <sim/kernel_sim.h>

#include "driver/effects/dsp_interleave_src.h"
#include "support/dsp_test_support.h"
#include "support/sine_fit.h"

namespace
{

constexpr size_t kChannels = 8;
constexpr size_t kMaxOut = 4096; // frames one block may give

using Planes = std::vector<std::vector<float>>;

// One streaming converter of 8 channels: Block converts `frames` planar frames and appends every
// output frame to out (channel 0 only when out has one plane).
class Converter
{
public:
    virtual ~Converter() = default;
    virtual size_t Block(const float *const *in, size_t frames, float *const *out) = 0;
};

class Ours : public Converter
{
public:
    Ours(uint32_t from, uint32_t to) : m_chain(new (NonPagedPool, PoolTag::CCST) CDspInterleaveSrc)
    {
        m_chain->Init();
        m_chain->SetFormat(Format(from), Format(to));
    }
    ~Ours() override { delete m_chain; }
    size_t Block(const float *const *in, size_t frames, float *const *out) override
    {
        size_t fed = 0, made = 0;
        while (fed < frames)
        {
            const float *at[kChannels];
            for (size_t c = 0; c < kChannels; ++c)
                at[c] = in[c] + fed;
            fed += m_chain->Feed(at, ULONG(frames - fed));
            float *to[kChannels];
            for (size_t c = 0; c < kChannels; ++c)
                to[c] = out[c] + made;
            made += m_chain->Drain(to, ULONG(kMaxOut - made));
        }
        return made;
    }

private:
    static WAVEFORMATEXTENSIBLE Format(uint32_t rate)
    {
        WAVEFORMATEXTENSIBLE f{};
        f.Format = {WAVE_FORMAT_IEEE_FLOAT, USHORT(kChannels), rate, rate * 32, 32, 32, 0};
        return f;
    }
    CDspInterleaveSrc *m_chain;
};

class Soxr : public Converter
{
public:
    Soxr(uint32_t from, uint32_t to)
    {
        const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_S, SOXR_FLOAT32_S);
        const soxr_quality_spec_t q = soxr_quality_spec(SOXR_HQ, 0);
        const soxr_runtime_spec_t rt = soxr_runtime_spec(1);
        m_soxr = soxr_create(from, to, kChannels, nullptr, &io, &q, &rt);
    }
    ~Soxr() override { soxr_delete(m_soxr); }
    size_t Block(const float *const *in, size_t frames, float *const *out) override
    {
        size_t used = 0, made = 0;
        soxr_process(m_soxr, in, frames, &used, const_cast<float **>(out), kMaxOut, &made);
        return made;
    }

private:
    soxr_t m_soxr;
};

class Libsamplerate : public Converter
{
public:
    Libsamplerate(uint32_t from, uint32_t to)
        : m_ratio(double(to) / from), m_in(kMaxOut * kChannels), m_out(m_in.size())
    {
        int error = 0;
        m_src = src_new(SRC_SINC_MEDIUM_QUALITY, int(kChannels), &error);
    }
    ~Libsamplerate() override { src_delete(m_src); }
    size_t Block(const float *const *in, size_t frames, float *const *out) override
    {
        for (size_t i = 0; i < frames; ++i) // the library takes interleaved frames
            for (size_t c = 0; c < kChannels; ++c)
                m_in[i * kChannels + c] = in[c][i];
        SRC_DATA d{};
        d.data_in = m_in.data();
        d.data_out = m_out.data();
        d.input_frames = long(frames);
        d.output_frames = long(kMaxOut);
        d.src_ratio = m_ratio;
        src_process(m_src, &d);
        for (long i = 0; i < d.output_frames_gen; ++i)
            for (size_t c = 0; c < kChannels; ++c)
                out[c][i] = m_out[size_t(i) * kChannels + c];
        return size_t(d.output_frames_gen);
    }

private:
    double m_ratio;
    std::vector<float> m_in, m_out;
    SRC_STATE *m_src = nullptr;
};

template <typename T> std::unique_ptr<Converter> Make(uint32_t from, uint32_t to)
{
    return std::make_unique<T>(from, to);
}

// 1.2 s of `signal` (the same in every channel) through a fresh converter in 10 ms blocks;
// channel 0 of the output.
template <typename T, typename S> std::vector<float> Through(uint32_t from, uint32_t to, S &&signal)
{
    auto conv = Make<T>(from, to);
    const size_t block = from / 100;
    std::vector<float> x(block), y;
    Planes out(kChannels, std::vector<float>(kMaxOut));
    std::vector<float *> outPtr;
    for (auto &p : out)
        outPtr.push_back(p.data());
    std::vector<const float *> inPtr(kChannels, x.data());
    for (size_t start = 0; start < from * 12 / 10; start += block)
    {
        for (size_t i = 0; i < block; ++i)
            x[i] = float(signal(double(start + i) / from));
        const size_t made = conv->Block(inPtr.data(), block, outPtr.data());
        y.insert(y.end(), out[0].begin(), out[0].begin() + long(made));
    }
    return y;
}

template <typename T> void Quality(benchmark::State &state, uint32_t from, uint32_t to)
{
    const size_t skip = to / 10, n = to;
    const auto sine = Through<T>(from, to, [](double t) { return 0.5 * std::sin(2 * M_PI * 1000 * t); });
    double residual = 0;
    if (sine.size() < skip + n)
        return;
    const double level = sine_fit::ToneLevels(sine.data() + skip, n, to, {1000.0}, &residual)[0];
    state.counters["thdn_db"] = 20 * std::log10(residual / (level / std::sqrt(2.0)));
    std::vector<double> freqs;
    for (int k = 1; k <= 15; ++k)
        freqs.push_back(1000.0 * k);
    const double a = std::pow(10.0, -18 / 20.0);
    const auto tones = Through<T>(from, to,
                                  [&](double t)
                                  {
                                      double v = 0;
                                      for (double f : freqs)
                                          v += a * std::sin(2 * M_PI * f * t);
                                      return v;
                                  });
    const auto levels = sine_fit::ToneLevels(tones.data() + skip, n, to, freqs);
    const auto [lo, hi] = std::minmax_element(levels.begin(), levels.end());
    state.counters["ripple_db"] = 20 * std::log10(*hi / *lo);
}

template <typename T> void Convert(benchmark::State &state)
{
    const auto from = uint32_t(state.range(0)), to = uint32_t(state.range(1));
    sim::ResetAll();
    Quality<T>(state, from, to);
    auto conv = Make<T>(from, to);
    const size_t block = from / 100;
    Planes in(kChannels, std::vector<float>(block)), out(kChannels, std::vector<float>(kMaxOut));
    for (size_t c = 0; c < kChannels; ++c)
        in[c] = sine_fit::Sine(block, from, 997.0 + 100.0 * c, 0.5);
    std::vector<const float *> inPtr;
    std::vector<float *> outPtr;
    for (size_t c = 0; c < kChannels; ++c)
    {
        inPtr.push_back(in[c].data());
        outPtr.push_back(out[c].data());
    }
    const size_t pool = sim::Allocations(), outstanding = sim::Outstanding();
    dsp::test::AllocationCounter library;
    size_t produced = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    for (auto _ : state)
    {
        produced += conv->Block(inPtr.data(), block, outPtr.data());
        benchmark::ClobberMemory();
    }
    KeLowerIrql(old);
    if (sim::Allocations() != pool || sim::Outstanding() != outstanding || library.allocations() != 0)
        state.SkipWithError("the audio path allocated");
    state.counters["samples_per_s"] =
        benchmark::Counter(double(produced * kChannels), benchmark::Counter::kIsRate);
    state.counters["rt_factor"] =
        benchmark::Counter(double(state.iterations()) / 100, benchmark::Counter::kIsRate);
}

void Pairs(benchmark::internal::Benchmark *b)
{
    b->Args({44100, 48000})->Args({48000, 44100})->Args({48000, 96000});
}

BENCHMARK(Convert<Ours>)->Apply(Pairs);
BENCHMARK(Convert<Soxr>)->Apply(Pairs);
BENCHMARK(Convert<Libsamplerate>)->Apply(Pairs);

} // namespace
