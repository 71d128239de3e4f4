// The audio path's per-block vector operations at the stream engine's block sizes (480 and 512
// samples), each through its dispatch stub and through the generic implementation directly, in
// the same run: the stub's cost is the difference per call.
#include <benchmark/benchmark.h>

#include <vector>

#include "dsp/dispatch/primitives.h"
#include "dsp/core/vector.h"

namespace
{

struct Block
{
    explicit Block(int64_t n) : a(size_t(n)), b(size_t(n)), r(size_t(n))
    {
        for (size_t i = 0; i < a.size(); ++i)
        {
            a[i] = float(i % 97) * 0.01f - 0.5f;
            b[i] = float(i % 89) * 0.02f + 0.25f;
        }
    }
    std::vector<float> a, b, r;
};

// Times one call per iteration on a block of state.range(0) samples.
template <class Call> void perBlock(benchmark::State &state, Call call)
{
    Block blk(state.range(0));
    const int32_t n = int32_t(state.range(0));
    for (auto _ : state)
    {
        benchmark::DoNotOptimize(call(blk, n));
        benchmark::ClobberMemory();
    }
}

template <class Op> void copy(benchmark::State &s, Op op)
{
    perBlock(s, [op](Block &b, int32_t n) { return op(b.a.data(), b.r.data(), n); });
}

// Factors 0.5 and 2 alternate: the data stays in range and the arithmetic path always runs.
template <class Op> void scale(benchmark::State &s, Op op)
{
    float c = 0.5f;
    perBlock(s,
             [op, &c](Block &b, int32_t n)
             {
                 c = 2.5f - c;
                 return op(c, b.a.data(), n);
             });
}

template <class Op> void add(benchmark::State &s, Op op)
{
    perBlock(s, [op](Block &b, int32_t n) { return op(b.a.data(), b.b.data(), b.r.data(), n); });
}

template <class Op> void sum(benchmark::State &s, Op op)
{
    perBlock(s, [op](Block &b, int32_t n) { return op(b.a.data(), n, b.r.data(), 0); });
}

void BM_copyF32_stub(benchmark::State &s)
{
    copy(s, dsp::copyF32);
}
void BM_copyF32_generic(benchmark::State &s)
{
    copy(s, dsp::generic::copyF32);
}
void BM_mulConstInPlaceF32_stub(benchmark::State &s)
{
    scale(s, dsp::mulConstInPlaceF32);
}
void BM_mulConstInPlaceF32_generic(benchmark::State &s)
{
    scale(s, dsp::generic::mulConstInPlaceF32);
}
void BM_addF32_stub(benchmark::State &s)
{
    add(s, dsp::addF32);
}
void BM_addF32_generic(benchmark::State &s)
{
    add(s, dsp::generic::addF32);
}
// sumF32 has no stub; its row is reached the way library code would through table B.
void BM_sumF32_row(benchmark::State &s)
{
    sum(s,
        [](const float *src, int32_t n, float *out, int32_t hint)
        {
            return dsp::CpuVariantDispatchTable.sumF32[dsp::CpuVariantIndex.load(std::memory_order_relaxed)](
                src, n, out, hint);
        });
}
void BM_sumF32_generic(benchmark::State &s)
{
    sum(s, dsp::generic::sumF32);
}

} // namespace

BENCHMARK(BM_copyF32_stub)->Arg(480)->Arg(512);
BENCHMARK(BM_copyF32_generic)->Arg(480)->Arg(512);
BENCHMARK(BM_mulConstInPlaceF32_stub)->Arg(480)->Arg(512);
BENCHMARK(BM_mulConstInPlaceF32_generic)->Arg(480)->Arg(512);
BENCHMARK(BM_addF32_stub)->Arg(480)->Arg(512);
BENCHMARK(BM_addF32_generic)->Arg(480)->Arg(512);
BENCHMARK(BM_sumF32_row)->Arg(480)->Arg(512);
BENCHMARK(BM_sumF32_generic)->Arg(480)->Arg(512);
