// The enabled render path of the virtual-surround endpoint on one core: 48 kHz, eight channels of
// 16-bit PCM in 480-frame (10 ms) blocks through the stream engine's ProcessBlock at
// DISPATCH_LEVEL with a surround node attached (dry and wet copies, ConvertChannels and chain A on
// the dry set, SurroundProcess and chain B on the wet set, the wet set out), then the DSP render
// class's step: its chain through the engine's chunked float pass and its pack to two channels.
//
// The surround node is the driver's own (CEffectNode140, set up as the adapter does, its switch
// on). Beside the whole path, the same run prices its parts alone: the engine with no node,
// ConvertChannels, one chain, the headphone surround's Process, the block that carries a filter
// change, and the surround at 192 kHz. Every benchmark runs at primitive variant 0 (generic) and
// at the variant the driver selects on this processor (initCpuVariant), side by side.
//
// Counters per block: mean_ns (thread CPU time), max_ns (monotonic clock), realtime_x (the
// block's duration over its mean time) and cpu_pct (of one core). A run that allocates while streaming (pool
// or the primitive hooks) is reported as an error.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <time.h>
#include <xmmintrin.h>

#include <ntkernel.h>
#include <sim/kernel_sim.h>

#include "driver/base/pool_memory.h"
#include "driver/core/usb_audio_stream.h"
#include "driver/effects/chain_adapters.h"
#include "driver/effects/effect_nodes.h"
#include "driver/effects/headphone/audio_app.h"
#include "driver/effects/headphone/headphone_surround.h"
#include "driver/effects/render_stages.h"
#include "driver/filters/stream_engine.h"
#include "dsp/core/alloc.h"
#include "dsp/dispatch/cpu_probe.h"
#include "dsp/dispatch/primitives.h"
#include "support/surround_render_path.h"

namespace
{
using surround_path::FloatOf;
using surround_path::MakeSurroundNode;
using surround_path::RenderClassChain;

constexpr ULONG kFrames = 480;
constexpr USHORT kChannels = 8;
constexpr ULONG kRate = 48000;
constexpr int32_t kChunk = 512;

uint32_t g_SelectedVariant = 0;

WAVEFORMATEXTENSIBLE Pcm16(USHORT channels, ULONG rate)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.nBlockAlign = USHORT(channels * 2);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    f.Format.wBitsPerSample = 16;
    f.Format.cbSize = 22;
    f.Samples.wValidBitsPerSample = 16;
    f.SubFormat = SubFormatForTag(WAVE_FORMAT_PCM);
    return f;
}

WAVEFORMATEX SurroundFormat(USHORT channels, ULONG rate)
{
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    f.nChannels = channels;
    f.nSamplesPerSec = rate;
    f.wBitsPerSample = 32;
    f.nBlockAlign = USHORT(channels * 4);
    f.nAvgBytesPerSec = rate * f.nBlockAlign;
    return f;
}

std::vector<uint8_t> Block(size_t frames, USHORT channels)
{
    std::vector<uint8_t> block(frames * channels * 2);
    auto *s = reinterpret_cast<int16_t *>(block.data());
    for (size_t i = 0; i < frames * channels; ++i)
        s[i] = int16_t(8000.0 * __builtin_sin(0.003 * double(i)));
    return block;
}

// Counts the primitive library's allocations while it lives.
class PrimitiveAllocations
{
public:
    PrimitiveAllocations() : m_Saved(dsp::DspAllocHooks)
    {
        s_Count = 0;
        s_Forward = m_Saved.allocate;
        dsp::DspAllocHooks.allocate = [](size_t bytes) -> void *
        {
            ++s_Count;
            return s_Forward(bytes);
        };
    }
    ~PrimitiveAllocations() { dsp::DspAllocHooks = m_Saved; }
    int Count() const { return s_Count; }

private:
    dsp::DspAllocHookTable m_Saved;
    static inline int s_Count = 0;
    static inline void *(*s_Forward)(size_t) = nullptr;
};

// Per-block timing beside the runner's. The mean is the streaming thread's CPU time over the
// whole loop (read twice, so the clock costs no block anything), which other load on the machine
// does not inflate; the maximum is the largest block by the monotonic clock.
class BlockClock
{
public:
    explicit BlockClock(double blockSeconds) : m_Block(blockSeconds), m_Start(CpuNow()) {}
    template <class F> void Time(F &&body)
    {
        const auto t0 = std::chrono::steady_clock::now();
        body();
        const auto ns =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - t0);
        m_Max = std::max(m_Max, double(ns.count()));
        ++m_Count;
    }
    void Report(benchmark::State &state) const
    {
        if (!m_Count)
            return;
        const double mean = (CpuNow() - m_Start) / double(m_Count);
        state.counters["mean_ns"] = mean;
        state.counters["max_ns"] = m_Max;
        state.counters["realtime_x"] = m_Block * 1e9 / mean;
        state.counters["cpu_pct"] = 100.0 * mean / (m_Block * 1e9);
    }

private:
    static double CpuNow()
    {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
    }
    double m_Block, m_Start, m_Max = 0;
    size_t m_Count = 0;
};

// The streaming loop: no pool and no primitive allocation may happen inside it.
template <class F> void Stream(benchmark::State &state, double blockSeconds, F &&block)
{
    BlockClock clock(blockSeconds);
    const size_t pool = sim::Allocations();
    PrimitiveAllocations prim;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    // The engine's float passes run with flush-to-zero and rounding to nearest; the parts alone
    // run the same way.
    const unsigned mxcsr = _mm_getcsr();
    _mm_setcsr((mxcsr | 0x8000u) & ~0x6000u);
    for (auto _ : state)
    {
        clock.Time(block);
        benchmark::ClobberMemory();
    }
    _mm_setcsr(mxcsr);
    KeLowerIrql(old);
    if (sim::Allocations() != pool || prim.Count() != 0)
    {
        state.SkipWithError("allocated while streaming");
        return;
    }
    clock.Report(state);
}

void Variant(benchmark::State &state)
{
    dsp::CpuVariantIndex.store(uint32_t(state.range(0)));
}

struct Session
{
    Session()
    {
        sim::SetViolationHandler([](const std::string &) { std::abort(); });
        sim::ResetAll();
    }
    ~Session()
    {
        dsp::CpuVariantIndex.store(0);
        sim::ResetAll();
        sim::SetViolationHandler(nullptr);
    }
};

void RenderPath(benchmark::State &state, bool withNode, bool withChain)
{
    Session session;
    Variant(state);
    {
        const WAVEFORMATEXTENSIBLE pcm = Pcm16(kChannels, kRate);
        auto *engine = new (NonPagedPool, PoolTag::USBS) CStreamEngine(nullptr, 0);
        engine->AddRef();
        CEffectNode140 *node = MakeSurroundNode(pcm);
        auto *render = new (NonPagedPool, PoolTag::US10) RenderClassChain();
        render->NonDelegatingUnknown()->AddRef();
        const bool ok = node && engine->Initialize(0) == STATUS_SUCCESS &&
                        engine->PrepareBuffers() == STATUS_SUCCESS && render->Setup(pcm, engine) &&
                        (!withNode || engine->AddProcessingNode(node) == STATUS_SUCCESS);
        if (ok)
        {
            engine->SetCurrentFormat(pcm);
            std::vector<uint8_t> block = Block(kFrames, kChannels), work(block.size());
            const uint32_t runs = node->Engine()->Engine()->m_Core.m_nRuns;
            Stream(state, 0.010,
                   [&]
                   {
                       std::memcpy(work.data(), block.data(), block.size());
                       engine->ProcessBlock(work.data(), ULONG(work.size()));
                       if (withChain)
                           render->Run(work.data(), kFrames);
                   });
            if (withNode && state.iterations() > 2 && node->Engine()->Engine()->m_Core.m_nRuns == runs)
                state.SkipWithError("the surround core never ran");
        }
        else
            state.SkipWithError("set-up failed");
        render->NonDelegatingUnknown()->Release();
        if (node)
            node->Release();
        engine->Release();
    }
}

void FullPath(benchmark::State &state)
{
    RenderPath(state, true, true);
}

void EngineAlone(benchmark::State &state)
{
    RenderPath(state, false, false);
}

struct Planes
{
    std::vector<std::vector<float>> data;
    float *ptr[8] = {};
    Planes(size_t n, size_t channels) : data(channels, std::vector<float>(n))
    {
        for (size_t c = 0; c < channels; ++c)
        {
            for (size_t i = 0; i < n; ++i)
                data[c][i] = float(0.2 * __builtin_sin(0.01 * double(i * (c + 1))));
            ptr[c] = data[c].data();
        }
    }
    void Refill(const Planes &from)
    {
        for (size_t c = 0; c < data.size(); ++c)
            std::memcpy(data[c].data(), from.data[c].data(), data[c].size() * sizeof(float));
    }
};

void ConvertChannelsAlone(benchmark::State &state)
{
    Session session;
    Variant(state);
    const Planes source(kFrames, 8);
    Planes p(kFrames, 8);
    Stream(state, 0.010,
           [&]
           {
               p.Refill(source);
               ConvertChannels(p.ptr, 8, 2, int32_t(kFrames), 1);
           });
}

void ChainAlone(benchmark::State &state)
{
    Session session;
    Variant(state);
    {
        DspChain chain;
        const WAVEFORMATEXTENSIBLE f = FloatOf(Pcm16(kChannels, kRate));
        if (!DspChainInit(&chain))
        {
            state.SkipWithError("set-up failed");
            return;
        }
        DspChainSetFormat(&chain, &f);
        Planes p(kFrames, 8);
        Stream(state, 0.010, [&] { DspChainProcess(&chain, p.ptr, int32_t(kFrames)); });
    }
}

// The headphone surround alone: 8 channels in `frames`-frame calls at `rate`; change: every call
// is one core block (512 frames at 44100 Hz) that carries a filter change.
void Surround(benchmark::State &state, ULONG rate, ULONG frames, bool change)
{
    Session session;
    Variant(state);
    {
        HeadphoneSurround hs;
        const WAVEFORMATEX wf = SurroundFormat(kChannels, rate);
        if (hs.SetFormat(&wf) != 0)
        {
            state.SkipWithError("set-up failed");
            return;
        }
        // As the surround node configures it.
        hs.SetActive(TRUE);
        hs.SetPath(0);
        hs.SetThirdValue(0, 3);
        hs.SetThirdValue(1, 3);
        hs.SetOutput(0);
        const Planes source(frames, 8);
        Planes p(frames, 8);
        int flip = 0;
        Stream(state, double(frames) / double(rate),
               [&]
               {
                   if (change)
                       hs.SetSecondValue(0, flip ^= 1); // angle code 39 <-> 40
                   p.Refill(source);
                   SurroundProcess(&hs, p.ptr, int32_t(frames));
               });
        if (change && hs.Engine()->m_Core.m_nCrossfades == 0)
            state.SkipWithError("no filter change ran");
    }
}

void SurroundAlone(benchmark::State &state)
{
    Surround(state, kRate, kFrames, false);
}

void FilterChangeBlock(benchmark::State &state)
{
    Surround(state, 44100, 512, true);
}

void Surround192k(benchmark::State &state)
{
    Surround(state, 192000, 1920, false);
}

void Variants(benchmark::internal::Benchmark *b)
{
    b->ArgName("variant");
    b->Arg(0);
    if (g_SelectedVariant != 0)
        b->Arg(int64_t(g_SelectedVariant));
}

} // namespace

int main(int argc, char **argv)
{
    dsp::initCpuVariant();
    g_SelectedVariant = dsp::CpuVariantIndex.load();
    dsp::CpuVariantIndex.store(0);
    std::printf("variant the driver selects here: %u\n", g_SelectedVariant);
    benchmark::RegisterBenchmark("FullPath", FullPath)->Apply(Variants);
    benchmark::RegisterBenchmark("EngineAlone", EngineAlone)->Apply(Variants);
    benchmark::RegisterBenchmark("ConvertChannelsAlone", ConvertChannelsAlone)->Apply(Variants);
    benchmark::RegisterBenchmark("ChainAlone", ChainAlone)->Apply(Variants);
    benchmark::RegisterBenchmark("SurroundAlone", SurroundAlone)->Apply(Variants);
    benchmark::RegisterBenchmark("FilterChangeBlock", FilterChangeBlock)->Apply(Variants);
    benchmark::RegisterBenchmark("Surround192k", Surround192k)->Apply(Variants);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
