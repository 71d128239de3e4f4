// The stream engine benchmark's ProcessBlock case, shared with the benchmarks that take it as their
// peer: one block through ProcessBlock with a software mute (off) attached, at DISPATCH_LEVEL.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include <ntkernel.h>

#include "driver/base/pool_memory.h"
#include "driver/effects/dsp_node.h"
#include "driver/filters/stream_engine.h"

// Runs the timed loop over `block` in `format`; false (the state told why) when the engine cannot
// be set up.
inline bool RunEngineProcessBlock(benchmark::State &state, const WAVEFORMATEXTENSIBLE &format,
                                  std::vector<uint8_t> &block)
{
    auto *engine = new (NonPagedPool, PoolTag::USBS) CStreamEngine(nullptr, 0);
    engine->AddRef();
    auto *mute = new (NonPagedPool, PoolTag::DSPS) CDspNode(nullptr, 40);
    static_cast<IProcessingNode *>(mute)->AddRef();
    const bool ready = engine->Initialize(0) == STATUS_SUCCESS &&
                       engine->PrepareBuffers() == STATUS_SUCCESS && mute->Init(1, 1) == STATUS_SUCCESS &&
                       engine->AttachNode(mute) == STATUS_SUCCESS;
    if (!ready)
        state.SkipWithError("engine set-up failed");
    else
    {
        engine->SetCurrentFormat(format);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        for (auto _ : state)
        {
            const NTSTATUS status = engine->ProcessBlock(block.data(), ULONG(block.size()));
            benchmark::DoNotOptimize(status);
            benchmark::ClobberMemory();
        }
        KeLowerIrql(old);
    }
    static_cast<IProcessingNode *>(mute)->Release();
    engine->Release();
    return ready;
}
