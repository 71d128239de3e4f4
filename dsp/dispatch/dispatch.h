// The primitive dispatcher: the selector word, the two variant tables and the row list they are
// built from (dsp/dispatch/dispatch_rows.inc). Driver code includes dsp/dispatch/primitives.h and calls
// the stubs; library code calls the implementations of its own variant directly.
//
// Every row holds six entries, one per processor class in variant-index order (0 generic, 1 SSE,
// 2 SSE2, 3 SSE3, 4 SSSE3, 5 SSE4.1/4.2). Only the generic implementations exist, so every
// row names its generic implementation at all six indices; a later fast variant must
// give the same results and statuses bit for bit. The tables are constant data.
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
struct FftSpec;  // real (id 6) or complex (id 4) FFT specification

} // namespace dsp

// ---- Row-list machinery ----------------------------------------------------------------------
// The markers DSP_STUB and DSP_NO_STUB are plain tokens, never macros: they are recognised by
// token pasting.
#define DSP_CAT_(a, b) a##b
#define DSP_CAT(a, b) DSP_CAT_(a, b)

#define DSP_HAS_STUB_DSP_STUB 1
#define DSP_HAS_STUB_DSP_NO_STUB 0

// The entry a row holds at every index: its generic implementation.
#define DSP_ROW_ENTRY(impl) &::dsp::generic::impl

// Each named generic implementation, declared from its row.
namespace dsp::generic
{
#define DSP_ROW(t, i, name, stub, ret, params, args, impl) ret impl params;
#include "dsp/dispatch/dispatch_rows.inc"
#undef DSP_ROW
} // namespace dsp::generic

namespace dsp::dispatch
{

inline constexpr uint32_t kVariantCount = 6;

// One function type per row: fn::<name>.
namespace fn
{
#define DSP_ROW(t, i, name, stub, ret, params, args, impl) using name = ret params;
#include "dsp/dispatch/dispatch_rows.inc"
#undef DSP_ROW
} // namespace fn

// A row: six entries in variant-index order.
template <class F> using Row = std::array<F *, kVariantCount>;

#define DSP_ROW(t, ...) DSP_ROW_##t(__VA_ARGS__)
#define DSP_ROW_MEMBER(i, name, stub, ret, params, args, impl) Row<fn::name> name;
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
#define DSP_ROW(t, i, name, stub, ret, params, args, impl)                                                   \
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
// it, and nothing in the driver calls that, so the generic variant always runs. Read relaxed: it
// is written at most once, before any concurrent use.
extern std::atomic<uint32_t> CpuVariantIndex;

extern const dispatch::TableA VariantTableA;
extern const dispatch::TableB CpuVariantDispatchTable;

} // namespace dsp
