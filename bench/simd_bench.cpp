// The primitives' fast variants against the generic implementation, every row with a fast form at
// the audio path's block sizes (480, 512) and 4096 elements, plus 10^5 for the rows that stream
// past the cache, through the dispatcher's row at each index this processor runs. The table gives
// each index's speed-up: generic time / that index's time.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "ratio_table.h"
#include "dsp/core/cpuid.h"
#include "dsp/dispatch/dispatch.h"

namespace
{

const auto &B = dsp::CpuVariantDispatchTable;

struct Data
{
    explicit Data(int32_t n) : a(size_t(n)), b(size_t(n)), r(size_t(n) * 2), n(n)
    {
        for (size_t i = 0; i < a.size(); ++i)
        {
            a[i] = float(i % 97) * 0.01f + 0.5f;
            b[i] = float(i % 89) * 0.02f - 0.25f;
        }
    }
    std::vector<float> a, b, r;
    int32_t n;
    int32_t count = 0, phase = 0;
};

// One call of the row's entry at index v on the data.
using Call = void (*)(Data &, uint32_t v);

struct Row
{
    const char *name;
    Call call;
    bool streams; // also measured at 10^5 elements
};

const Row kRows[] = {
    {"zeroF32", [](Data &d, uint32_t v) { dsp::VariantTableA.zeroF32[v](d.r.data(), d.n); }, true},
    {"setF32", [](Data &d, uint32_t v) { B.setF32[v](0x3F800000u, d.r.data(), d.n); }, true},
    {"copyF32", [](Data &d, uint32_t v) { B.copyF32[v](d.a.data(), d.r.data(), d.n); }, true},
    {"addF32", [](Data &d, uint32_t v) { B.addF32[v](d.a.data(), d.b.data(), d.r.data(), d.n); }, true},
    {"subF32", [](Data &d, uint32_t v) { B.subF32[v](d.a.data(), d.b.data(), d.r.data(), d.n); }, true},
    {"mulF32", [](Data &d, uint32_t v) { B.mulF32[v](d.a.data(), d.b.data(), d.r.data(), d.n); }, false},
    {"mulInPlaceF32", [](Data &d, uint32_t v) { B.mulInPlaceF32[v](d.a.data(), d.r.data(), d.n); }, false},
    {"divF32", [](Data &d, uint32_t v) { B.divF32[v](d.a.data(), d.b.data(), d.r.data(), d.n); }, false},
    {"sqrtInPlaceF32",
     [](Data &d, uint32_t v)
     {
         B.copyF32[0](d.a.data(), d.r.data(), d.n);
         B.sqrtInPlaceF32[v](d.r.data(), d.n);
     },
     false},
    {"absInPlaceF32", [](Data &d, uint32_t v) { B.absInPlaceF32[v](d.r.data(), d.n); }, false},
    {"sqrF32", [](Data &d, uint32_t v) { B.sqrF32[v](d.a.data(), d.r.data(), d.n); }, false},
    {"reverseCopy32", [](Data &d, uint32_t v) { B.reverseCopy32[v](d.a.data(), d.r.data(), d.n); }, false},
    {"maxF32", [](Data &d, uint32_t v) { B.maxF32[v](d.b.data(), d.n, d.r.data()); }, false},
    {"minF32", [](Data &d, uint32_t v) { B.minF32[v](d.b.data(), d.n, d.r.data()); }, false},
    {"minEveryInPlaceF32", [](Data &d, uint32_t v) { B.minEveryInPlaceF32[v](d.a.data(), d.r.data(), d.n); },
     false},
    {"maxEveryInPlaceF32", [](Data &d, uint32_t v) { B.maxEveryInPlaceF32[v](d.a.data(), d.r.data(), d.n); },
     false},
    {"addProductF32",
     [](Data &d, uint32_t v) { B.addProductF32[v](d.a.data(), d.b.data(), d.r.data(), d.n); }, false},
    {"addProductConstF32",
     [](Data &d, uint32_t v) { B.addProductConstF32[v](d.a.data(), 0.5f, d.r.data(), d.n); }, false},
    {"mulPackSpectrum",
     [](Data &d, uint32_t v) { B.mulPackSpectrum[v](d.a.data(), d.b.data(), d.r.data(), d.n); }, false},
    {"expInPlaceF32",
     [](Data &d, uint32_t v)
     {
         B.copyF32[0](d.b.data(), d.r.data(), d.n);
         B.expInPlaceF32[v](d.r.data(), d.n);
     },
     false},
    {"lnInPlaceF32",
     [](Data &d, uint32_t v)
     {
         B.copyF32[0](d.a.data(), d.r.data(), d.n);
         B.lnInPlaceF32[v](d.r.data(), d.n);
     },
     false},
    {"sumF32", [](Data &d, uint32_t v) { B.sumF32[v](d.a.data(), d.n, d.r.data(), 0); }, false},
    {"meanF32/blockwise", [](Data &d, uint32_t v) { B.meanF32[v](d.a.data(), d.n, d.r.data(), 1); }, false},
    {"interleave32",
     [](Data &d, uint32_t v)
     {
         const uint32_t *planes[2] = {reinterpret_cast<const uint32_t *>(d.a.data()),
                                      reinterpret_cast<const uint32_t *>(d.b.data())};
         dsp::VariantTableA.interleave32[v](planes, 2, d.n, reinterpret_cast<uint32_t *>(d.r.data()));
     },
     false},
    {"deinterleave32",
     [](Data &d, uint32_t v)
     {
         uint32_t *planes[2] = {reinterpret_cast<uint32_t *>(d.a.data()),
                                reinterpret_cast<uint32_t *>(d.b.data())};
         dsp::VariantTableA.deinterleave32[v](reinterpret_cast<const uint32_t *>(d.r.data()), 2, d.n, planes);
     },
     false},
    {"upsampleF32",
     [](Data &d, uint32_t v) { B.upsampleF32[v](d.a.data(), d.n / 2, d.r.data(), &d.count, 2, &d.phase); },
     false},
    {"downsampleF32",
     [](Data &d, uint32_t v) { B.downsampleF32[v](d.a.data(), d.n, d.r.data(), &d.count, 2, &d.phase); },
     false},
};

std::string nameOf(const Row &row, uint32_t v, int32_t n)
{
    return std::string("Variants/") + row.name + "/v" + std::to_string(v) + "/" + std::to_string(n);
}

} // namespace

int main(int argc, char **argv)
{
    const uint32_t top = dsp::maxSupportedVariant(dsp::readCpuid());
    bench::RatioTable table{"kernel/elements", {}, {}};
    for (uint32_t v = 1; v <= top; ++v)
        table.peers.push_back("v" + std::to_string(v));
    for (const Row &row : kRows)
    {
        std::vector<int32_t> sizes = {480, 512, 4096};
        if (row.streams)
            sizes.push_back(100000);
        for (int32_t n : sizes)
        {
            bench::RatioRow line{std::string(row.name) + "/" + std::to_string(n), nameOf(row, 0, n), {}};
            for (uint32_t v = 0; v <= top; ++v)
            {
                benchmark::RegisterBenchmark(
                    nameOf(row, v, n).c_str(),
                    [call = row.call, v, n](benchmark::State &state)
                    {
                        // As a stub does: the entry the selector picks.
                        Data d(n);
                        dsp::CpuVariantIndex.store(v);
                        for (auto _ : state)
                        {
                            call(d, dsp::CpuVariantIndex.load(std::memory_order_relaxed));
                            benchmark::ClobberMemory();
                        }
                        dsp::CpuVariantIndex.store(0);
                    });
                if (v > 0)
                    line.peers.push_back(nameOf(row, v, n));
            }
            table.rows.push_back(line);
        }
    }
    std::printf("speed-up table: 'ours' is the generic implementation, so ours/vN is index N's speed-up\n");
    return bench::RunWithRatioTables(argc, argv, {table});
}
