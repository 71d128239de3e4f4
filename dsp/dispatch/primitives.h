// The primitive library's public entry points: one dispatch stub per public operation.
//
// A stub reads CpuVariantIndex and forwards its arguments untouched to entry [index] of its row;
// it checks nothing and returns no status of its own, so to the caller it is the implementation.
// Each operation's contract (arguments, checks in order, statuses) is in the header of its
// generic implementation: dsp/core/vector.h, alloc.h, convert.h, pow.h and the filter and FFT
// headers. Status codes: dsp/core/status.h.
#pragma once

#include "dsp/dispatch/dispatch.h"

namespace dsp
{

#define DSP_STUB_DSP_STUB(t, name, ret, params, args)                                                        \
    inline ret name params                                                                                   \
    {                                                                                                        \
        return DSP_CAT(DSP_STUB_TABLE_, t).name[CpuVariantIndex.load(std::memory_order_relaxed)] args;       \
    }
#define DSP_STUB_DSP_NO_STUB(t, name, ret, params, args)
#define DSP_STUB_TABLE_A VariantTableA
#define DSP_STUB_TABLE_B CpuVariantDispatchTable
#define DSP_ROW(t, i, name, stub, ret, params, args, ...) DSP_STUB_##stub(t, name, ret, params, args)
#include "dsp/dispatch/dispatch_rows.inc"
#undef DSP_ROW
#undef DSP_STUB_DSP_STUB
#undef DSP_STUB_DSP_NO_STUB
#undef DSP_STUB_TABLE_A
#undef DSP_STUB_TABLE_B

} // namespace dsp
