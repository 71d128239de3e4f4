// The dispatcher: the row list's shape, every built row's six entries, and every built stub
// forwarding to its row's entry at each variant index.
#include <cstring>
#include <set>
#include <string>
#include <type_traits>
#include <vector>

#include "dsp/core/alloc.h"
#include "dsp/dispatch/primitives.h"
#include "dsp/core/vector.h"
#include "support/dsp_test_support.h"

namespace {

using dsp::Status;
using dsp::test::f32Bits;
namespace generic = dsp::generic;

// Sets CpuVariantIndex for a scope and puts 0 back.
class ScopedVariantIndex {
public:
    explicit ScopedVariantIndex(uint32_t index) { dsp::CpuVariantIndex.store(index); }
    ~ScopedVariantIndex() { dsp::CpuVariantIndex.store(0); }
};

TEST(Dispatcher, RowListShape)
{
    int a = 0, b = 0, stubs = 0;
    std::set<std::string> stubless, names;
    for (const auto& r : dsp::dispatch::kRows) {
        (r.table == 'A' ? a : b)++;
        stubs += r.stub;
        if (!r.stub)
            stubless.insert(std::string(1, r.table) + std::to_string(r.row) + " " + r.name);
        EXPECT_TRUE(names.insert(r.name).second) << "operation listed twice: " << r.name;
    }
    EXPECT_EQ(a, 25);
    EXPECT_EQ(b, 40);
    EXPECT_EQ(stubs, 46);
    const std::set<std::string> expected = {
        "A9 copyF32Bytewise", "A17 iirFilterBufF32", "A18 iirStateSizeF32", "A19 iirInitBufF32",
        "B3 sqrtInPlaceF32", "B10 fftCreateComplex", "B11 fftFreeComplex",
        "B12 fftForwardComplex", "B16 mulF32", "B17 addProductF32", "B18 sqrF32", "B19 divF32",
        "B20 expInPlaceF32", "B21 lnInPlaceF32", "B22 sumF32", "B23 meanF32",
        "B24 minEveryInPlaceF32", "B25 maxEveryInPlaceF32", "B26 dotProductF32"};
    EXPECT_EQ(stubless, expected);
    EXPECT_EQ(dsp::CpuVariantIndex.load(), 0u) << "the selector starts at the generic variant";
}

template <class F>
void expectRow(const char* name, const dsp::dispatch::Row<F>& row, std::type_identity_t<F>* generic)
{
    for (uint32_t i = 0; i < dsp::dispatch::kVariantCount; ++i)
        EXPECT_EQ(row[i], generic) << name << " entry " << i << " is not the generic one";
}

TEST(Dispatcher, EveryRowNamesItsGenericImplementationSixTimes)
{
#define DSP_TEST_TABLE_A dsp::VariantTableA
#define DSP_TEST_TABLE_B dsp::CpuVariantDispatchTable
#define DSP_ROW(t, i, name, stub, ret, params, args, impl) \
    expectRow(#name, DSP_CAT(DSP_TEST_TABLE_, t).name, DSP_ROW_ENTRY(impl));
#include "dsp/dispatch/dispatch_rows.inc"
#undef DSP_ROW
#undef DSP_TEST_TABLE_A
#undef DSP_TEST_TABLE_B
}

// What one call leaves behind: its status and every output word.
using Trace = std::vector<uint32_t>;

void add(Trace& t, const float* v, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        t.push_back(f32Bits(v[i]));
}

// One representative call per built stub, run through a given function (the stub or the generic
// implementation). Inputs hold a NaN, a signed zero and a subnormal so that argument order and
// bit handling show.
struct StubCase {
    const char* name;
    Trace (*viaStub)();
    Trace (*viaGeneric)();
};

#define STUB_CASE(name, ...)                                   \
    StubCase{#name, [] { auto op = &dsp::name; __VA_ARGS__ },  \
             [] { auto op = &generic::name; __VA_ARGS__ }}

const float kA[6] = {1.5f, -0.0f, 3.0e-39f, -7.25f, 1e30f, 2.0f};
const float kB[6] = {-2.0f, 4.0f, 0.5f, std::bit_cast<float>(0x7FC00123u), 3.0f, 0.25f};

std::vector<StubCase> stubCases()
{
    return {
        STUB_CASE(zeroF32, { float v[6] = {1, 2, 3, 4, 5, 6}; Trace t{uint32_t(op(v + 1, 4))}; add(t, v, 6); return t; }),
        STUB_CASE(addInPlaceF32, { float v[6]; std::memcpy(v, kB, sizeof v); Trace t{uint32_t(op(kA, v, 6))}; add(t, v, 6); return t; }),
        STUB_CASE(divConstInPlaceF32, { float v[6]; std::memcpy(v, kA, sizeof v); Trace t{uint32_t(op(3.0f, v, 6))}; add(t, v, 6); return t; }),
        STUB_CASE(mulConstInPlaceF32, { float v[6]; std::memcpy(v, kA, sizeof v); Trace t{uint32_t(op(-0.75f, v, 6))}; add(t, v, 6); return t; }),
        STUB_CASE(addConstInPlaceF32, { float v[6]; std::memcpy(v, kA, sizeof v); Trace t{uint32_t(op(0.125f, v, 6))}; add(t, v, 6); return t; }),
        STUB_CASE(copyF32, { float v[6] = {}; Trace t{uint32_t(op(kB, v, 6))}; add(t, v, 6); return t; }),
        STUB_CASE(setF32, { float v[6] = {}; Trace t{uint32_t(op(0xFFC00000u, v + 2, 3))}; add(t, v, 6); return t; }),
        STUB_CASE(mulConstF32, { float v[6] = {}; Trace t{uint32_t(op(kA, 2.5f, v, 6))}; add(t, v, 6); return t; }),
        STUB_CASE(absInPlaceF32, { float v[6]; std::memcpy(v, kA, sizeof v); Trace t{uint32_t(op(v, 6))}; add(t, v, 6); return t; }),
        STUB_CASE(maxF32, { float m = 0; Trace t{uint32_t(op(kA, 6, &m))}; add(t, &m, 1); return t; }),
        STUB_CASE(minF32, { float m = 0; Trace t{uint32_t(op(kA, 6, &m))}; add(t, &m, 1); return t; }),
        STUB_CASE(mulInPlaceF32, { float v[6]; std::memcpy(v, kB, sizeof v); Trace t{uint32_t(op(kA, v, 6))}; add(t, v, 6); return t; }),
        STUB_CASE(reverseCopy32, { float v[6] = {}; Trace t{uint32_t(op(kB, v, 5))}; add(t, v, 6); return t; }),
        STUB_CASE(addF32, { float v[6] = {}; Trace t{uint32_t(op(kA, kB, v, 6))}; add(t, v, 6); return t; }),
        STUB_CASE(subF32, { float v[6] = {}; Trace t{uint32_t(op(kA, kB, v, 6))}; add(t, v, 6); return t; }),
        STUB_CASE(mulPackSpectrum, { float v[6] = {}; Trace t{uint32_t(op(kA, kB, v, 6))}; add(t, v, 6); return t; }),
        STUB_CASE(upsampleF32, { float v[12] = {}; int32_t n = 0, ph = 1; Trace t{uint32_t(op(kA, 4, v, &n, 3, &ph)), uint32_t(n), uint32_t(ph)}; add(t, v, 12); return t; }),
        STUB_CASE(downsampleF32, { float v[6] = {}; int32_t n = 0, ph = 1; Trace t{uint32_t(op(kA, 6, v, &n, 4, &ph)), uint32_t(n), uint32_t(ph)}; add(t, v, 6); return t; }),
        STUB_CASE(addProductConstF32, { float v[6]; std::memcpy(v, kB, sizeof v); Trace t{uint32_t(op(kA, -1.5f, v, 6))}; add(t, v, 6); return t; }),
    };
}

TEST(Dispatcher, EveryBuiltStubForwardsAtEveryVariantIndex)
{
    const std::vector<StubCase> cases = stubCases();
    for (uint32_t index = 0; index < dsp::dispatch::kVariantCount; ++index) {
        ScopedVariantIndex selector(index);
        for (const StubCase& c : cases)
            EXPECT_EQ(c.viaStub(), c.viaGeneric()) << c.name << " at variant " << index;
    }
    EXPECT_EQ(dsp::CpuVariantIndex.load(), 0u);
}

TEST(Dispatcher, AllocationStubsForwardAtEveryVariantIndex)
{
    for (uint32_t index = 0; index < dsp::dispatch::kVariantCount; ++index) {
        dsp::test::ScopedAllocHooks pool;
        pool.placeBlocksAt(int(index) * 5);
        ScopedVariantIndex selector(index);
        float* p = dsp::allocF32(10);
        ASSERT_NE(p, nullptr);
        ASSERT_EQ(pool.sizes(), std::vector<size_t>{76});
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 32, 0u);
        dsp::freeAligned(p);
        ASSERT_EQ(pool.released(), pool.blocks()) << "at variant " << index;
        dsp::freeAligned(nullptr);
        EXPECT_EQ(pool.releases(), 1);
        EXPECT_TRUE(pool.balanced());
    }
}

} // namespace
