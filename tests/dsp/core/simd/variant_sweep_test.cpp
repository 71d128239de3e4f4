// Every fast variant against the generic implementation called directly: the same inputs at every
// byte offset, lengths across the block and streaming limits, the aliasing each operation allows,
// random bit patterns mixed with the special values, guard bytes around every buffer. Results must
// match bit for bit (two NaNs count as equal: where NaNs meet either payload may win), statuses
// must match, and nothing outside the outputs may change. Again with flush-to-zero and
// denormals-are-zero set, as on the audio path.
#include <gtest/gtest.h>

#include <cfloat>
#include <algorithm>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "dsp/core/vector.h"
#include "dsp/dispatch/dispatch.h"
#include "support/dsp_test_support.h"

#if DSP_HAVE_SIMD_VARIANTS
#include <xmmintrin.h>
#endif

namespace
{

using dsp::Status;
using dsp::test::GuardedBuffer;
using dsp::test::ScopedVariantIndex;
namespace g = dsp::generic;
const auto &B = dsp::CpuVariantDispatchTable;
const auto &A = dsp::VariantTableA;

// The pointers a call gets; out may be in1 or in2 for the aliasing cases.
struct Call
{
    float *in1, *in2, *out;
    int32_t len;
    int32_t factor, phase;
    uint32_t value;
};

struct Outcome
{
    Status status;
    int32_t count = 0, phase = 0;
    bool operator==(const Outcome &) const = default;
};

// generic: the generic implementation called directly; otherwise the row's entry at index v.
using Runner = Outcome (*)(const Call &, bool generic, uint32_t v);

enum Alias : unsigned
{
    kNone = 1,
    kOutIsIn1 = 2,
    kOutIsIn2 = 4
};

struct Case
{
    const char *name;
    const void *(*entry)(uint32_t v);
    Runner run;
    int inputs;       // vectors read besides out: 0, 1 or 2
    unsigned aliases; // the aliasing the operation allows
    int outScale;     // out's length in units of len (0: one element)
    bool streams = false;
};

// The rate operations report a count and move the phase as well as the status.
template <class F> Outcome rateCall(F f, const Call &c)
{
    Outcome o{};
    o.phase = c.phase;
    o.status = f(c.in1, c.len, c.out, &o.count, c.factor, &o.phase);
    return o;
}

#define ROW(table, name) (generic ? &g::name : table.name[v])
#define ENTRY(table, name) [](uint32_t v) { return reinterpret_cast<const void *>(table.name[v]); }

const Case kCases[] = {
    {"addF32", ENTRY(B, addF32),
     [](const Call &c, bool generic, uint32_t v)
     { return Outcome{ROW(B, addF32)(c.in1, c.in2, c.out, c.len)}; },
     2, kNone | kOutIsIn1 | kOutIsIn2, 1, true},
    {"subF32", ENTRY(B, subF32),
     [](const Call &c, bool generic, uint32_t v)
     { return Outcome{ROW(B, subF32)(c.in1, c.in2, c.out, c.len)}; },
     2, kNone | kOutIsIn1 | kOutIsIn2, 1, true},
    {"mulF32", ENTRY(B, mulF32),
     [](const Call &c, bool generic, uint32_t v)
     { return Outcome{ROW(B, mulF32)(c.in1, c.in2, c.out, c.len)}; },
     2, kNone | kOutIsIn1 | kOutIsIn2, 1},
    {"divF32", ENTRY(B, divF32),
     [](const Call &c, bool generic, uint32_t v)
     { return Outcome{ROW(B, divF32)(c.in1, c.in2, c.out, c.len)}; },
     2, kNone | kOutIsIn1 | kOutIsIn2, 1},
    {"mulInPlaceF32", ENTRY(B, mulInPlaceF32),
     [](const Call &c, bool generic, uint32_t v)
     { return Outcome{ROW(B, mulInPlaceF32)(c.in1, c.out, c.len)}; },
     1, kNone | kOutIsIn1, 1},
    {"minEveryInPlaceF32", ENTRY(B, minEveryInPlaceF32),
     [](const Call &c, bool generic, uint32_t v)
     { return Outcome{ROW(B, minEveryInPlaceF32)(c.in1, c.out, c.len)}; },
     1, kNone, 1},
    {"maxEveryInPlaceF32", ENTRY(B, maxEveryInPlaceF32),
     [](const Call &c, bool generic, uint32_t v)
     { return Outcome{ROW(B, maxEveryInPlaceF32)(c.in1, c.out, c.len)}; },
     1, kNone, 1},
    {"addProductF32", ENTRY(B, addProductF32),
     [](const Call &c, bool generic, uint32_t v)
     { return Outcome{ROW(B, addProductF32)(c.in1, c.in2, c.out, c.len)}; },
     2, kNone | kOutIsIn1 | kOutIsIn2, 1},
    {"addProductConstF32", ENTRY(B, addProductConstF32),
     [](const Call &c, bool generic, uint32_t v)
     { return Outcome{ROW(B, addProductConstF32)(c.in1, dsp::test::f32FromBits(c.value), c.out, c.len)}; },
     1, kNone | kOutIsIn1, 1},
    {"mulPackSpectrum", ENTRY(B, mulPackSpectrum),
     [](const Call &c, bool generic, uint32_t v)
     { return Outcome{ROW(B, mulPackSpectrum)(c.in1, c.in2, c.out, c.len)}; },
     2, kNone | kOutIsIn1 | kOutIsIn2, 1},
    {"expInPlaceF32", ENTRY(B, expInPlaceF32),
     [](const Call &c, bool generic, uint32_t v) { return Outcome{ROW(B, expInPlaceF32)(c.out, c.len)}; }, 0,
     kNone, 1},
    {"interleave32", ENTRY(A, interleave32),
     [](const Call &c, bool generic, uint32_t v)
     {
         const uint32_t *planes[2] = {reinterpret_cast<const uint32_t *>(c.in1),
                                      reinterpret_cast<const uint32_t *>(c.in2)};
         return Outcome{ROW(A, interleave32)(planes, 2, c.len, reinterpret_cast<uint32_t *>(c.out))};
     },
     2, kNone, 2},
    {"deinterleave32", ENTRY(A, deinterleave32),
     [](const Call &c, bool generic, uint32_t v)
     {
         uint32_t *planes[2] = {reinterpret_cast<uint32_t *>(c.in1), reinterpret_cast<uint32_t *>(c.in2)};
         return Outcome{ROW(A, deinterleave32)(reinterpret_cast<const uint32_t *>(c.out), 2, c.len, planes)};
     },
     2, kNone, 2},
    {"sqrF32", ENTRY(B, sqrF32),
     [](const Call &c, bool generic, uint32_t v) { return Outcome{ROW(B, sqrF32)(c.in1, c.out, c.len)}; }, 1,
     kNone | kOutIsIn1, 1},
    {"reverseCopy32", ENTRY(B, reverseCopy32),
     [](const Call &c, bool generic, uint32_t v)
     { return Outcome{ROW(B, reverseCopy32)(c.in1, c.out, c.len)}; },
     1, kNone | kOutIsIn1, 1},
    {"sqrtInPlaceF32", ENTRY(B, sqrtInPlaceF32),
     [](const Call &c, bool generic, uint32_t v) { return Outcome{ROW(B, sqrtInPlaceF32)(c.out, c.len)}; }, 0,
     kNone, 1},
    {"absInPlaceF32", ENTRY(B, absInPlaceF32),
     [](const Call &c, bool generic, uint32_t v) { return Outcome{ROW(B, absInPlaceF32)(c.out, c.len)}; }, 0,
     kNone, 1},
    {"maxF32", ENTRY(B, maxF32),
     [](const Call &c, bool generic, uint32_t v) { return Outcome{ROW(B, maxF32)(c.in1, c.len, c.out)}; }, 1,
     kNone, 0},
    {"minF32", ENTRY(B, minF32),
     [](const Call &c, bool generic, uint32_t v) { return Outcome{ROW(B, minF32)(c.in1, c.len, c.out)}; }, 1,
     kNone, 0},
    {"zeroF32", ENTRY(A, zeroF32),
     [](const Call &c, bool generic, uint32_t v) { return Outcome{ROW(A, zeroF32)(c.out, c.len)}; }, 0, kNone,
     1, true},
    {"copyF32", ENTRY(B, copyF32),
     [](const Call &c, bool generic, uint32_t v) { return Outcome{ROW(B, copyF32)(c.in1, c.out, c.len)}; }, 1,
     kNone | kOutIsIn1, 1, true},
    {"setF32", ENTRY(B, setF32),
     [](const Call &c, bool generic, uint32_t v) { return Outcome{ROW(B, setF32)(c.value, c.out, c.len)}; },
     0, kNone, 1, true},
    {"upsampleF32", ENTRY(B, upsampleF32),
     [](const Call &c, bool generic, uint32_t v) { return rateCall(ROW(B, upsampleF32), c); }, 1, kNone, 5},
    {"downsampleF32", ENTRY(B, downsampleF32),
     [](const Call &c, bool generic, uint32_t v) { return rateCall(ROW(B, downsampleF32), c); }, 1, kNone, 1},
};

#undef ROW
#undef ENTRY

// The values the kernels' thresholds single out (exp limits, ln's mantissa split, powers of two), mixed into
// the random patterns.
const uint32_t kSpecial[] = {0x00000000, 0x80000000, 0x00000001, 0x807FFFFF, 0x00800000, 0x7F7FFFFF,
                             0xFF7FFFFF, 0x7F800000, 0xFF800000, 0x7FC00000, 0xFFC00000, 0x7FC12345,
                             0x7F812345, 0xFF800001, 0x3F800000, 0x42AE3333, 0x42B17218, 0xC2AEAC4A,
                             0xC2AEAC50, 0x3F3504F2, 0x3FB504F2, 0x5E800000, 0x20800000, 0x5F000000,
                             0x1F800000, 0x7E800000, 0x00400000};

// A pool of random patterns with the special values at every seventh place; each call takes the
// next slice of it.
class Values
{
public:
    explicit Values(uint32_t seed) : m_src(seed), m_pool(m_src.vector(kPool))
    {
        for (size_t i = 0; i < kPool; i += 7)
            m_pool[i] = dsp::test::f32FromBits(kSpecial[(i / 7) % (sizeof kSpecial / sizeof kSpecial[0])]);
    }

    std::vector<float> take(size_t n)
    {
        std::vector<float> v(n);
        for (size_t done = 0; done < n;)
        {
            const size_t piece = std::min(n - done, kPool - m_next);
            std::memcpy(v.data() + done, m_pool.data() + m_next, piece * 4);
            done += piece;
            m_next = (m_next + piece) % kPool;
        }
        m_next = (m_next + 13) % kPool;
        return v;
    }

    std::mt19937 &engine() { return m_src.engine(); }

private:
    static constexpr size_t kPool = 1 << 19;
    dsp::test::F32Source m_src;
    std::vector<float> m_pool;
    size_t m_next = 0;
};

// Two runs' data, float by float (the data may start at any byte): the same bits, or NaNs both.
::testing::AssertionResult sameData(const std::vector<unsigned char> &want,
                                    const std::vector<unsigned char> &got)
{
    if (want == got)
        return ::testing::AssertionSuccess();
    for (size_t at = 0; at + 4 <= want.size(); at += 4)
    {
        if (std::memcmp(&want[at], &got[at], 4) == 0)
            continue;
        float w, x;
        std::memcpy(&w, &want[at], 4);
        std::memcpy(&x, &got[at], 4);
        if (!(w != w && x != x))
            return ::testing::AssertionFailure() << "element " << at / 4 << ": " << dsp::test::describeF32(x)
                                                 << ", generic " << dsp::test::describeF32(w);
    }
    return ::testing::AssertionSuccess();
}

struct Layout
{
    size_t off1, off2, offOut;
    Alias alias;
};

// One comparison: the same values at the same offsets, the generic run and the variant's.
void compare(const Case &k, uint32_t v, int32_t len, const Layout &lay, Values &src)
{
    const size_t outLen = k.outScale == 0 ? 1 : size_t(len) * size_t(k.outScale);
    const std::vector<float> in1 = src.take(size_t(len)), in2 = src.take(size_t(len)), out = src.take(outLen);
    std::mt19937 &rng = src.engine();
    Call call{};
    call.len = len;
    call.factor = int32_t(1 + rng() % uint32_t(k.outScale > 1 ? k.outScale : 5));
    call.phase = int32_t(rng() % uint32_t(call.factor));
    call.value = rng();

    std::vector<unsigned char> data[2][3];
    Outcome outcome[2];
    for (int pass = 0; pass < 2; ++pass)
    {
        GuardedBuffer b[3] = {GuardedBuffer(in1.size() * 4, lay.off1),
                              GuardedBuffer(in2.size() * 4, lay.off2), GuardedBuffer(outLen * 4, lay.offOut)};
        std::memcpy(b[0].data(), in1.data(), in1.size() * 4);
        std::memcpy(b[1].data(), in2.data(), in2.size() * 4);
        std::memcpy(b[2].data(), out.data(), outLen * 4);
        Call c = call;
        c.in1 = b[0].as<float>();
        c.in2 = b[1].as<float>();
        c.out = lay.alias == kOutIsIn1 ? c.in1 : lay.alias == kOutIsIn2 ? c.in2 : b[2].as<float>();
        outcome[pass] = k.run(c, pass == 0, v);
        for (int i = 0; i < 3; ++i)
        {
            ASSERT_TRUE(b[i].guardsIntact())
                << "a write outside buffer " << i << (pass ? " by the variant" : "");
            data[pass][i].assign(b[i].data(), b[i].data() + b[i].size());
        }
    }
    ASSERT_EQ(outcome[0], outcome[1]) << "status, count or phase";
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(sameData(data[0][i], data[1][i])) << "buffer " << i;
}

// The lengths: every short one, around the block boundaries, and across the 5461- and
// 10922-block streaming limits (43691 and 87383 elements).
std::vector<int32_t> sweepLengths()
{
    std::vector<int32_t> lengths;
    for (int32_t n = 1; n <= 67; ++n)
        lengths.push_back(n);
    for (int32_t n : {127, 128, 129, 480, 512, 1023, 4097, 43691, 87383, 100000})
        lengths.push_back(n);
    return lengths;
}

// Whether the entry at index v is one an index below it already has (one implementation may
// serve several indices); such an entry needs no second sweep.
bool sweptBelow(const Case &k, uint32_t v)
{
    return v > 1 && k.entry(v) == k.entry(v - 1);
}

void sweep(uint32_t v, bool shortOnly)
{
    Values src(1000 + v);
    for (const Case &k : kCases)
    {
        if (sweptBelow(k, v))
            continue;
        SCOPED_TRACE(k.name);
        for (int32_t len : sweepLengths())
        {
            // Only the operations that stream need the lengths beyond the streaming limits.
            if (len > 4097 && (shortOnly || !k.streams))
                continue;
            SCOPED_TRACE("length " + std::to_string(len));
            // Short vectors at every byte offset of each vector and with every aliasing; long
            // ones aligned and at an odd byte.
            const bool shortLen = len <= 129;
            for (size_t o = 0; o < (shortLen ? 16u : 2u); ++o)
            {
                const size_t off = shortLen ? o : o * 7;
                for (Alias alias : {kNone, kOutIsIn1, kOutIsIn2})
                {
                    if (!(k.aliases & alias) || (!shortLen && alias != kNone))
                        continue;
                    compare(k, v, len, Layout{(off * 5) % 16, (off * 11 + 3) % 16, off, alias}, src);
                    if (::testing::Test::HasFatalFailure())
                        return;
                }
            }
        }
    }
}

TEST(VariantSweep, EveryFastRowEqualsTheGenericImplementation)
{
    for (uint32_t v = 1; v <= dsp::test::testMaxVariant(); ++v)
    {
        SCOPED_TRACE("variant " + std::to_string(v));
        sweep(v, false);
        if (HasFatalFailure())
            return;
    }
    DSP_SKIP_UNSUPPORTED_VARIANTS();
}

#if DSP_HAVE_SIMD_VARIANTS
TEST(VariantSweep, StillEqualUnderFlushToZeroAndDenormalsAreZero)
{
    dsp::test::ScopedFlushDenormals mode;
    for (uint32_t v = 1; v <= dsp::test::testMaxVariant(); ++v)
    {
        SCOPED_TRACE("variant " + std::to_string(v));
        sweep(v, true);
        if (HasFatalFailure())
            return;
    }
    DSP_SKIP_UNSUPPORTED_VARIANTS();
}
#endif

} // namespace
