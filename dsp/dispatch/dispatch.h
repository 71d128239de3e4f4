// The primitive dispatcher: the selector word, the two variant tables and the row list they are
// built from (dsp/dispatch/dispatch_rows.inc). Driver code includes dsp/dispatch/primitives.h and calls
// the stubs; library code calls the implementations of its own variant directly.
//
// Every row holds six entries, one per processor class in variant-index order (0 generic, 1 SSE,
// 2 SSE2, 3 SSE3, 4 SSSE3, 5 SSE4.1/4.2). An entry above 0 may use its level's instructions and
// no others; it gives the generic result and status bit for bit except where its own header names
// a difference. The tables are constant data.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "dsp/core/status.h"

namespace dsp
{

// Library records, defined by the folders that build them. Callers hold pointers only.
struct FirState; // "FI01" / "FI03" filter state
struct IirState; // "II01" / "II02" filter state
struct FftSpec;  // real (id 6) or complex (id 4) FFT setup record

} // namespace dsp

// ---- Row-list machinery ----------------------------------------------------------------------
// The markers DSP_STUB and DSP_NO_STUB are plain tokens, never macros: they are recognised by
// token pasting.
#define DSP_CAT_(a, b) a##b
#define DSP_CAT(a, b) DSP_CAT_(a, b)

#define DSP_HAS_STUB_DSP_STUB 1
#define DSP_HAS_STUB_DSP_NO_STUB 0

// An entry of a row: DSP_ROW_ENTRY(namespace token, row name, generic implementation). The fast
// variants exist only where the processor family has them; elsewhere every entry is generic.
#if defined(__x86_64__) || defined(__i386__)
#define DSP_HAVE_SIMD_VARIANTS 1
#define DSP_ENTRY_generic(name, impl) &::dsp::generic::impl
#define DSP_ENTRY_sse(name, impl) &::dsp::sse::name
#define DSP_ENTRY_sse2(name, impl) &::dsp::sse2::name
#define DSP_ENTRY_sse3(name, impl) &::dsp::sse3::name
#define DSP_ENTRY_ssse3(name, impl) &::dsp::ssse3::name
#define DSP_ENTRY_sse41(name, impl) &::dsp::sse41::name
#define DSP_DECL_generic(name, ret, params)
#define DSP_DECL_sse(name, ret, params)                                                                      \
    namespace dsp::sse                                                                                       \
    {                                                                                                        \
    ret name params;                                                                                         \
    }
#define DSP_DECL_sse2(name, ret, params)                                                                     \
    namespace dsp::sse2                                                                                      \
    {                                                                                                        \
    ret name params;                                                                                         \
    }
#define DSP_DECL_sse3(name, ret, params)                                                                     \
    namespace dsp::sse3                                                                                      \
    {                                                                                                        \
    ret name params;                                                                                         \
    }
#define DSP_DECL_ssse3(name, ret, params)                                                                    \
    namespace dsp::ssse3                                                                                     \
    {                                                                                                        \
    ret name params;                                                                                         \
    }
#define DSP_DECL_sse41(name, ret, params)                                                                    \
    namespace dsp::sse41                                                                                     \
    {                                                                                                        \
    ret name params;                                                                                         \
    }
#else
#define DSP_HAVE_SIMD_VARIANTS 0
#define DSP_ENTRY_ALL_GENERIC_(name, impl) &::dsp::generic::impl
#define DSP_ENTRY_generic DSP_ENTRY_ALL_GENERIC_
#define DSP_ENTRY_sse DSP_ENTRY_ALL_GENERIC_
#define DSP_ENTRY_sse2 DSP_ENTRY_ALL_GENERIC_
#define DSP_ENTRY_sse3 DSP_ENTRY_ALL_GENERIC_
#define DSP_ENTRY_ssse3 DSP_ENTRY_ALL_GENERIC_
#define DSP_ENTRY_sse41 DSP_ENTRY_ALL_GENERIC_
#define DSP_DECL_ALL_GENERIC_(name, ret, params)
#define DSP_DECL_generic DSP_DECL_ALL_GENERIC_
#define DSP_DECL_sse DSP_DECL_ALL_GENERIC_
#define DSP_DECL_sse2 DSP_DECL_ALL_GENERIC_
#define DSP_DECL_sse3 DSP_DECL_ALL_GENERIC_
#define DSP_DECL_ssse3 DSP_DECL_ALL_GENERIC_
#define DSP_DECL_sse41 DSP_DECL_ALL_GENERIC_
#endif
#define DSP_ROW_ENTRY(ns, name, impl) DSP_CAT(DSP_ENTRY_, ns)(name, impl)

// Each named implementation, declared from its row.
namespace dsp::generic
{
#define DSP_ROW(t, i, name, stub, ret, params, args, impl, ...) ret impl params;
#include "dsp/dispatch/dispatch_rows.inc"
#undef DSP_ROW
} // namespace dsp::generic

#define DSP_ROW(t, i, name, stub, ret, params, args, impl, v1, v2, v3, v4, v5)                               \
    DSP_CAT(DSP_DECL_, v1)                                                                                   \
    (name, ret, params) DSP_CAT(DSP_DECL_, v2)(name, ret, params) DSP_CAT(DSP_DECL_, v3)(name, ret, params)  \
        DSP_CAT(DSP_DECL_, v4)(name, ret, params) DSP_CAT(DSP_DECL_, v5)(name, ret, params)
#include "dsp/dispatch/dispatch_rows.inc"
#undef DSP_ROW

namespace dsp::dispatch
{

inline constexpr uint32_t kVariantCount = 6;

// One function type per row: fn::<name>.
namespace fn
{
#define DSP_ROW(t, i, name, stub, ret, params, args, ...) using name = ret params;
#include "dsp/dispatch/dispatch_rows.inc"
#undef DSP_ROW
} // namespace fn

// A row: six entries in variant-index order.
template <class F> using Row = std::array<F *, kVariantCount>;

#define DSP_ROW(t, ...) DSP_ROW_##t(__VA_ARGS__)
#define DSP_ROW_MEMBER(i, name, stub, ret, params, args, ...) Row<fn::name> name;
#define DSP_ROW_SKIP(...)

// Variant table A, one member per row, in row order.
struct TableA
{
#define DSP_ROW_A DSP_ROW_MEMBER
#define DSP_ROW_B DSP_ROW_SKIP
#include "dsp/dispatch/dispatch_rows.inc"
#undef DSP_ROW_A
#undef DSP_ROW_B
};

// CpuVariantDispatchTable's layout (table B).
struct TableB
{
#define DSP_ROW_A DSP_ROW_SKIP
#define DSP_ROW_B DSP_ROW_MEMBER
#include "dsp/dispatch/dispatch_rows.inc"
#undef DSP_ROW_A
#undef DSP_ROW_B
};

#undef DSP_ROW
#undef DSP_ROW_MEMBER
#undef DSP_ROW_SKIP

// What the row list says about each row, for the checks below and the row tests.
struct RowInfo
{
    char table; // 'A' or 'B'
    int row;
    const char *name;
    bool stub;
};

inline constexpr RowInfo kRows[] = {
#define DSP_ROW(t, i, name, stub, ret, params, args, ...)                                                    \
    {#t[0], i, #name, DSP_CAT(DSP_HAS_STUB_, stub) != 0},
#include "dsp/dispatch/dispatch_rows.inc"
#undef DSP_ROW
};

constexpr int countRows(char table)
{
    int n = 0;
    for (const RowInfo &r : kRows)
        n += r.table == table;
    return n;
}

constexpr int countStubs(bool stub)
{
    int n = 0;
    for (const RowInfo &r : kRows)
        n += r.stub == stub;
    return n;
}

// Each table's rows appear in index order, every index once (the struct member order is the row
// order, so this pins the layout).
constexpr bool rowsInOrder()
{
    int next[2] = {0, 0};
    for (const RowInfo &r : kRows)
    {
        if (r.table != 'A' && r.table != 'B')
            return false;
        int &n = next[r.table == 'B'];
        if (r.row != n)
            return false;
        ++n;
    }
    return true;
}

static_assert(countRows('A') == 25, "variant table A has 25 rows");
static_assert(countRows('B') == 40, "CpuVariantDispatchTable has 40 rows");
static_assert(countStubs(true) == 46, "46 operations have a stub");
static_assert(countStubs(false) == 19, "19 rows have no stub");
static_assert(rowsInOrder(), "rows must be listed in table order, every index once");
static_assert(sizeof(TableA) == 25 * sizeof(Row<void()>));
static_assert(sizeof(TableB) == 40 * sizeof(Row<void()>));

} // namespace dsp::dispatch

namespace dsp
{

// The variant index 0..5 every stub reads. 0 at load; only initCpuVariant (cpu_probe.h) writes
// it, which DriverEntry calls once before any primitive runs (tests set it directly). Read
// relaxed: it is written at most once, before any concurrent use.
extern std::atomic<uint32_t> CpuVariantIndex;

extern const dispatch::TableA VariantTableA;
extern const dispatch::TableB CpuVariantDispatchTable;

} // namespace dsp
