#include "dsp/dispatch/dispatch.h"

namespace dsp
{

std::atomic<uint32_t> CpuVariantIndex{0};

#define DSP_ROW(t, ...) DSP_ROW_##t(__VA_ARGS__)
#define DSP_ROW_INIT(i, name, stub, ret, params, args, impl, v1, v2, v3, v4, v5)                             \
    .name = {DSP_ROW_ENTRY(generic, name, impl), DSP_ROW_ENTRY(v1, name, impl),                              \
             DSP_ROW_ENTRY(v2, name, impl),      DSP_ROW_ENTRY(v3, name, impl),                              \
             DSP_ROW_ENTRY(v4, name, impl),      DSP_ROW_ENTRY(v5, name, impl)},
#define DSP_ROW_SKIP(...)

constinit const dispatch::TableA VariantTableA = {
#define DSP_ROW_A DSP_ROW_INIT
#define DSP_ROW_B DSP_ROW_SKIP
#include "dsp/dispatch/dispatch_rows.inc"
#undef DSP_ROW_A
#undef DSP_ROW_B
};

constinit const dispatch::TableB CpuVariantDispatchTable = {
#define DSP_ROW_A DSP_ROW_SKIP
#define DSP_ROW_B DSP_ROW_INIT
#include "dsp/dispatch/dispatch_rows.inc"
#undef DSP_ROW_A
#undef DSP_ROW_B
};

#undef DSP_ROW
#undef DSP_ROW_INIT
#undef DSP_ROW_SKIP

} // namespace dsp
