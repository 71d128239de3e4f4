// The dispatcher by behaviour: every row's entry at each of the six variant indexes, and every
// built stub at each index, is called on small inputs and its result compared with what the
// operation the row names must give, worked out here (exact values, or double arithmetic rounded
// once). A row wired to another operation of the same type fails here.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "dsp/core/alloc.h"
#include "dsp/dispatch/primitives.h"
#include "dsp/fft/fft.h"
#include "dsp/fft/simd/fft_sse.h"
#include "dsp/filters/fir_alloc.h"
#include "dsp/filters/fir_run.h"
#include "dsp/filters/fir_state.h"
#include "dsp/filters/iir.h"
#include "support/dsp_test_support.h"

namespace
{

namespace generic = dsp::generic;
using dsp::Status;
using Floats = std::vector<float>;

using dsp::test::ScopedVariantIndex;

const Floats kA = {1.5f, -2.0f, 3.25f, 0.5f, -4.0f};
const Floats kB = {2.0f, 0.25f, -1.5f, 8.0f, 3.0f};
constexpr int32_t kN = 5;

void expectSame(const Floats &expected, const Floats &actual)
{
    ASSERT_EQ(expected.size(), actual.size());
    EXPECT_F32_ARRAY_SAME(expected.data(), actual.data(), expected.size());
}

// Element-wise oracle: f(a[i], b[i]) in double, rounded once.
template <class Op> Floats each(const Floats &a, const Floats &b, Op f)
{
    Floats r(a.size());
    for (size_t i = 0; i < a.size(); ++i)
        r[i] = float(f(double(a[i]), double(b[i])));
    return r;
}

// y[k] = sum h[i] x[k - i] from a silent past, in double.
Floats convolve(const Floats &h, const Floats &x)
{
    Floats y(x.size());
    for (size_t k = 0; k < x.size(); ++k)
    {
        double acc = 0;
        for (size_t i = 0; i <= k && i < h.size(); ++i)
            acc += double(h[i]) * x[k - i];
        y[k] = float(acc);
    }
    return y;
}

const Floats kFirTaps = {1.0f, 0.5f, 0.25f};
const Floats kFirInput = {1.0f, 0.0f, 0.0f, 2.0f, -1.0f};
// Order 1: b = {1, 0}, a = {1, -0.5}: y[n] = x[n] + y[n-1] / 2.
const Floats kIirTaps = {1.0f, 0.0f, 1.0f, -0.5f};
const Floats kImpulse = {1.0f, 0.0f, 0.0f, 0.0f};
const Floats kIirImpulseResponse = {1.0f, 0.5f, 0.25f, 0.125f};

struct FirBuffer
{
    std::vector<unsigned char> bytes;
    explicit FirBuffer(int32_t size) : bytes(size_t(size)) {}
};

FirBuffer firBuffer(int32_t taps)
{
    int32_t size = 0;
    EXPECT_EQ(generic::firGetStateSize(taps, &size), 0);
    return FirBuffer(size);
}

std::vector<unsigned char> iirBuffer(int32_t order)
{
    int32_t size = 0;
    EXPECT_EQ(generic::iirGetStateSize(order, &size), 0);
    return std::vector<unsigned char>(size_t(size));
}

// The FFT rows: a 4-point input of each kind, its spectrum, and the kind's own forward entry.
struct FftKind
{
    Status (*forward)(float *data, const dsp::FftSpec *spec); // in place
    Floats input, spectrum;
};
// Each by the layout the spec records: the SSE tuning's specs are run by its own transforms.
Status complexForward(float *data, const dsp::FftSpec *spec)
{
#if DSP_HAVE_SIMD_VARIANTS
    if (spec->reserved0 == generic::kFftLayoutTuning1)
        return dsp::sse::fftForwardComplex(data, data, spec, nullptr);
#endif
    return generic::fftForwardComplex(data, data, spec, nullptr);
}
Status realForward(float *data, const dsp::FftSpec *spec)
{
#if DSP_HAVE_SIMD_VARIANTS
    if (spec->reserved0 == generic::kFftLayoutTuning1)
        return dsp::sse::fftForwardRealInPlace(data, spec, nullptr);
#endif
    return generic::fftForwardRealInPlace(data, spec, nullptr);
}

// The create whose specs a transform entry reads: the SSE tuning's for entries other than the
// generic one.
using FftCreate = Status (*)(dsp::FftSpec **, int32_t, int32_t, int32_t);
FftCreate createFor(bool genericEntry, bool real)
{
#if DSP_HAVE_SIMD_VARIANTS
    if (!genericEntry)
        return real ? dsp::sse::fftCreateReal : dsp::sse::fftCreateComplex;
#endif
    return real ? generic::fftCreateReal : generic::fftCreateComplex;
}
// A real transform entry reads generic specs when it is the generic one or the stub at index 0.
template <class F> bool readsGeneric(F op, F genericEntry, F stub)
{
    return op == genericEntry || (op == stub && dsp::CpuVariantIndex.load() == 0);
}
// 1, 2, 3, 4 as complex points: 10, -2 + 2i, -2, -2 - 2i; as real samples, packed: X0, X2, X1.
const FftKind kComplexFft = {complexForward, {1, 0, 2, 0, 3, 0, 4, 0}, {10, 0, -2, 2, -2, 0, -2, -2}};
const FftKind kRealFft = {realForward, {1, 2, 3, 4}, {10, -2, -2, 2}};

// Compared by value: a zero may come out with either sign.
void expectForward(const FftKind &kind, const dsp::FftSpec *spec)
{
    Floats v = kind.input;
    ASSERT_EQ(kind.forward(v.data(), spec), 0);
    EXPECT_EQ(v, kind.spectrum);
}

// An order-2 unscaled spec made by `create` for `body`, then released by `release`; the library's
// pool must be as it was.
template <class Create, class Release, class Body> void withSpec(Create create, Release release, Body body)
{
    dsp::test::ScopedAllocHooks pool;
    dsp::FftSpec *spec = nullptr;
    ASSERT_EQ(create(&spec, 2, generic::kFftNoScale, 0), 0);
    body(spec);
    EXPECT_EQ(release(spec), 0);
    EXPECT_TRUE(pool.balanced());
}

// The create rows of either kind: the spec they make transforms; the free rows: they release it.
template <class F, class Release> void createRow(F op, Release release, const FftKind &kind)
{
    withSpec(op, release, [&kind](const dsp::FftSpec *spec) { expectForward(kind, spec); });
}
template <class Create, class F> void freeRow(Create create, F op)
{
    withSpec(create, op, [](const dsp::FftSpec *) {});
}

// One behaviour per row, named after it; op is the row's entry or its stub.
namespace rows
{

// ---- Table A ---------------------------------------------------------------------------------

template <class F> void zeroF32(F op)
{
    Floats v = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(op(v.data() + 1, 4), 0);
    expectSame({1, 0, 0, 0, 0, 6}, v);
}

template <class F> void convertF32ToS16Scaled(F op)
{
    const Floats src = {0.5f, -0.25f, 1.0f, -1.5f, 0.3f};
    std::vector<int16_t> dst(5);
    EXPECT_EQ(op(src.data(), dst.data(), 5, 1, -15), 0);                       // x 2^15, nearest, saturated
    EXPECT_EQ(dst, (std::vector<int16_t>{16384, -8192, 32767, -32768, 9830})); // 9830.4 to nearest
}

template <class F> void convertF32ToS32Scaled(F op)
{
    const Floats src = {0.5f, -0.25f, 1.0f, -1.5f};
    std::vector<int32_t> dst(4);
    EXPECT_EQ(op(src.data(), dst.data(), 4, 0, -31), 0);
    EXPECT_EQ(dst, (std::vector<int32_t>{1 << 30, -(1 << 29), INT32_MAX, INT32_MIN}));
}

template <class F> void convertS16ToF32Scaled(F op)
{
    const std::vector<int16_t> src = {16384, -8192, 1, -32768};
    Floats dst(4);
    EXPECT_EQ(op(src.data(), dst.data(), 4, 15), 0);
    expectSame({0.5f, -0.25f, std::ldexp(1.0f, -15), -1.0f}, dst);
}

template <class F> void convertS32ToF32Scaled(F op)
{
    const std::vector<int32_t> src = {1 << 30, -(1 << 29), 1, INT32_MIN};
    Floats dst(4);
    EXPECT_EQ(op(src.data(), dst.data(), 4, 31), 0);
    expectSame({0.5f, -0.25f, std::ldexp(1.0f, -31), -1.0f}, dst);
}

template <class F> void convertS24ToF32(F op)
{
    const std::vector<uint8_t> src = {0x00, 0x00, 0x40, 0x00, 0x00, 0xC0, 0x01, 0x00, 0x00, 0xFF, 0xFF, 0xFF};
    Floats dst(4);
    EXPECT_EQ(op(src.data(), dst.data(), 4), 0);
    expectSame({4194304.0f, -4194304.0f, 1.0f, -1.0f}, dst);
}

template <class F> void convertF32ToS24Scaled(F op)
{
    const Floats src = {0.5f, -0.25f, 1.0f, -1.0f};
    std::vector<uint8_t> dst(12);
    EXPECT_EQ(op(src.data(), dst.data(), 4, -23), 0);
    EXPECT_EQ(dst,
              (std::vector<uint8_t>{0x00, 0x00, 0x40, 0x00, 0x00, 0xE0, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x80}));
}

template <class F> void addInPlaceF32(F op)
{
    Floats v = kB;
    EXPECT_EQ(op(kA.data(), v.data(), kN), 0);
    expectSame(each(kA, kB, [](double a, double b) { return a + b; }), v);
}

template <class F> void divConstInPlaceF32(F op)
{
    Floats v = kA;
    EXPECT_EQ(op(4.0f, v.data(), kN), 0);
    expectSame({0.375f, -0.5f, 0.8125f, 0.125f, -1.0f}, v);
}

template <class F> void copyF32Bytewise(F op)
{
    Floats v(kN);
    EXPECT_EQ(op(kB.data(), v.data(), kN), 0);
    expectSame(kB, v);
}

template <class F> void mulConstInPlaceF32(F op)
{
    Floats v = kA;
    EXPECT_EQ(op(-0.5f, v.data(), kN), 0);
    expectSame({-0.75f, 1.0f, -1.625f, -0.25f, 2.0f}, v);
}

template <class F> void firInitF32(F op)
{
    FirBuffer buffer = firBuffer(3);
    dsp::FirState *state = nullptr;
    ASSERT_EQ(op(&state, kFirTaps.data(), 3, nullptr, buffer.bytes.data()), 0);
    Floats y(kFirInput.size());
    ASSERT_EQ(generic::firFilterBlock(kFirInput.data(), y.data(), int32_t(y.size()), state), 0);
    expectSame(convolve(kFirTaps, kFirInput), y);
}

template <class F> void firStateSizeF32(F op)
{
    for (auto [taps, bytes] : {std::pair{1, 16576}, {20, 16864}, {101, 22592}})
    {
        int32_t size = 0;
        EXPECT_EQ(op(taps, &size), 0);
        EXPECT_EQ(size, bytes) << taps << " taps";
    }
}

template <class F> void firMultiRateInitF32(F op)
{
    // Up by 2, phase 0: z = {1, 0, 2, 0}, y = h * z.
    int32_t size = 0;
    ASSERT_EQ(generic::firMultirateGetStateSize(2, 2, 1, &size), 0);
    std::vector<unsigned char> buffer(static_cast<size_t>(size));
    const Floats taps = {1.0f, 0.5f}, x = {1.0f, 2.0f};
    dsp::FirState *state = nullptr;
    ASSERT_EQ(op(&state, taps.data(), 2, 2, 0, 1, 0, nullptr, buffer.data()), 0);
    Floats y(4);
    ASSERT_EQ(generic::firFilterBlock(x.data(), y.data(), 2, state), 0);
    expectSame(convolve(taps, {1, 0, 2, 0}), y);
}

template <class F> void firMultiRateStateSizeF32(F op)
{
    for (auto [up, down, bytes] : {std::tuple{1, 2, 18576}, {2, 1, 18224}})
    {
        int32_t size = 0;
        EXPECT_EQ(op(66, up, down, &size), 0);
        EXPECT_EQ(size, bytes) << up << "/" << down;
    }
}

template <class F> void firFilterF32(F op)
{
    FirBuffer buffer = firBuffer(3);
    dsp::FirState *state = nullptr;
    ASSERT_EQ(generic::firInit(&state, kFirTaps.data(), 3, nullptr, buffer.bytes.data()), 0);
    Floats y(kFirInput.size());
    EXPECT_EQ(op(kFirInput.data(), y.data(), int32_t(y.size()), state), 0);
    expectSame(convolve(kFirTaps, kFirInput), y);
}

template <class F> void firOneSampleF32(F op)
{
    Floats line(6, 0.0f), y;
    int32_t index = 0;
    for (float x : kFirInput)
    {
        float out = -1;
        EXPECT_EQ(op(x, &out, kFirTaps.data(), 3, line.data(), &index), 0);
        y.push_back(out);
    }
    expectSame(convolve(kFirTaps, kFirInput), y);
}

template <class F> void iirFilterBufF32(F op)
{
    std::vector<unsigned char> buffer = iirBuffer(1);
    dsp::IirState *state = nullptr;
    ASSERT_EQ(generic::iirInit(&state, kIirTaps.data(), 1, nullptr, buffer.data()), 0);
    Floats v = kImpulse;
    EXPECT_EQ(op(v.data(), 4, state), 0);
    expectSame(kIirImpulseResponse, v);
}

template <class F> void iirStateSizeF32(F op)
{
    for (auto [order, bytes] : {std::pair{1, 96}, {2, 112}, {3, 112}, {4, 144}})
    {
        int32_t size = 0;
        EXPECT_EQ(op(order, &size), 0);
        EXPECT_EQ(size, bytes) << "order " << order;
    }
}

template <class F> void iirInitBufF32(F op)
{
    std::vector<unsigned char> buffer = iirBuffer(1);
    dsp::IirState *state = nullptr;
    ASSERT_EQ(op(&state, kIirTaps.data(), 1, nullptr, buffer.data()), 0);
    Floats v = kImpulse;
    ASSERT_EQ(generic::iirFilterInPlace(v.data(), 4, state), 0);
    expectSame(kIirImpulseResponse, v);
}

template <class F> void convertS32ToF32(F op)
{
    const std::vector<int32_t> src = {1, -7, 16777217, INT32_MIN};
    Floats dst(4);
    EXPECT_EQ(op(src.data(), dst.data(), 4), 0);
    expectSame({1.0f, -7.0f, 16777216.0f, -2147483648.0f}, dst); // 2^24 + 1: ties to even
}

template <class F> void addConstInPlaceF32(F op)
{
    Floats v = kA;
    EXPECT_EQ(op(0.75f, v.data(), kN), 0);
    expectSame({2.25f, -1.25f, 4.0f, 1.25f, -3.25f}, v);
}

template <class F> void interleave32(F op)
{
    const std::vector<uint32_t> left = {1, 2, 3}, right = {4, 5, 6};
    const uint32_t *planes[2] = {left.data(), right.data()};
    std::vector<uint32_t> dst(6);
    EXPECT_GE(op(planes, 2, 3, dst.data()), 0);
    EXPECT_EQ(dst, (std::vector<uint32_t>{1, 4, 2, 5, 3, 6}));
}

template <class F> void deinterleave32(F op)
{
    const std::vector<uint32_t> src = {1, 4, 2, 5, 3, 6};
    std::vector<uint32_t> left(3), right(3);
    uint32_t *planes[2] = {left.data(), right.data()};
    EXPECT_GE(op(src.data(), 2, 3, planes), 0);
    EXPECT_EQ(left, (std::vector<uint32_t>{1, 2, 3}));
    EXPECT_EQ(right, (std::vector<uint32_t>{4, 5, 6}));
}

template <class F> void powF32(F op)
{
    const Floats x = {2.0f, 9.0f, 0.5f}, y = {3.0f, 0.5f, 2.0f};
    Floats r(3);
    EXPECT_EQ(op(x.data(), y.data(), r.data(), 3), 0);
    expectSame({8.0f, 3.0f, 0.25f}, r);
}

// ---- Table B ---------------------------------------------------------------------------------

template <class F> void copyF32(F op)
{
    Floats v(kN);
    EXPECT_EQ(op(kA.data(), v.data(), kN), 0);
    expectSame(kA, v);
}

template <class F> void setF32(F op)
{
    Floats v(4, 0.0f);
    EXPECT_EQ(op(0x3F800000u, v.data() + 1, 2), 0);
    expectSame({0, 1, 1, 0}, v);
}

template <class F> void mulConstF32(F op)
{
    Floats v(kN);
    EXPECT_EQ(op(kA.data(), 2.5f, v.data(), kN), 0);
    expectSame({3.75f, -5.0f, 8.125f, 1.25f, -10.0f}, v);
}

template <class F> void sqrtInPlaceF32(F op)
{
    Floats v = {4.0f, 2.25f, 0.0625f, -1.0f};
    EXPECT_EQ(op(v.data(), 4), 3); // a negative element: status 3
    expectSame({2.0f, 1.5f, 0.25f, dsp::test::f32FromBits(0xFFC00000u)}, v);
}

template <class F> void absInPlaceF32(F op)
{
    Floats v = kA;
    EXPECT_EQ(op(v.data(), kN), 0);
    expectSame({1.5f, 2.0f, 3.25f, 0.5f, 4.0f}, v);
}

template <class F> void maxF32(F op)
{
    float m = 0;
    EXPECT_EQ(op(kA.data(), kN, &m), 0);
    EXPECT_EQ(m, 3.25f);
}

template <class F> void minF32(F op)
{
    float m = 0;
    EXPECT_EQ(op(kA.data(), kN, &m), 0);
    EXPECT_EQ(m, -4.0f);
}

template <class F> void allocF32(F op)
{
    dsp::test::ScopedAllocHooks pool;
    float *p = op(10);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(pool.sizes(), std::vector<size_t>{76}); // ten floats and the 36-byte margin
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 32, 0u);
    generic::freeAligned(p);
    EXPECT_EQ(op(0), nullptr);
    EXPECT_EQ(pool.allocations(), 1);
    EXPECT_TRUE(pool.balanced());
}

template <class F> void freeAligned(F op)
{
    dsp::test::ScopedAllocHooks pool;
    float *p = generic::allocF32(10);
    ASSERT_NE(p, nullptr);
    op(p);
    EXPECT_EQ(pool.released(), pool.blocks());
    op(nullptr);
    EXPECT_EQ(pool.releases(), 1);
    EXPECT_TRUE(pool.balanced());
}

template <class F> void mulInPlaceF32(F op)
{
    Floats v = kB;
    EXPECT_EQ(op(kA.data(), v.data(), kN), 0);
    expectSame(each(kA, kB, [](double a, double b) { return a * b; }), v);
}

template <class F> void fftCreateComplex(F op)
{
    createRow(op, generic::fftFreeComplex, kComplexFft);
}

template <class F> void fftFreeComplex(F op)
{
    freeRow(generic::fftCreateComplex, op);
}

template <class F> void fftForwardComplex(F op)
{
    withSpec(createFor(op == &generic::fftForwardComplex, false), generic::fftFreeComplex,
             [op](const dsp::FftSpec *spec)
             {
                 Floats out(8);
                 EXPECT_EQ(op(kComplexFft.input.data(), out.data(), spec, nullptr), 0);
                 EXPECT_EQ(out, kComplexFft.spectrum);
             });
}

template <class F> void reverseCopy32(F op)
{
    Floats v(kN);
    EXPECT_EQ(op(kA.data(), v.data(), kN), 0);
    expectSame({-4.0f, 0.5f, 3.25f, -2.0f, 1.5f}, v);
}

template <class F> void addF32(F op)
{
    Floats r(kN);
    EXPECT_EQ(op(kA.data(), kB.data(), r.data(), kN), 0);
    expectSame(each(kA, kB, [](double a, double b) { return a + b; }), r);
}

template <class F> void subF32(F op)
{
    Floats r(kN);
    EXPECT_EQ(op(kA.data(), kB.data(), r.data(), kN), 0);
    expectSame(each(kA, kB, [](double a, double b) { return b - a; }), r); // the first from the second
}

template <class F> void mulF32(F op)
{
    Floats r(kN);
    EXPECT_EQ(op(kA.data(), kB.data(), r.data(), kN), 0);
    expectSame(each(kA, kB, [](double a, double b) { return a * b; }), r);
}

template <class F> void addProductF32(F op)
{
    Floats r = {0.125f, 1.0f, -1.0f, 2.0f, 0.0f};
    Floats expected = each(kA, kB, [](double a, double b) { return a * b; });
    for (size_t i = 0; i < r.size(); ++i)
        expected[i] = float(double(kA[i]) * kB[i] + r[i]);
    EXPECT_EQ(op(kA.data(), kB.data(), r.data(), kN), 0);
    expectSame(expected, r);
}

template <class F> void sqrF32(F op)
{
    Floats r(kN);
    EXPECT_EQ(op(kA.data(), r.data(), kN), 0);
    expectSame(each(kA, kA, [](double a, double b) { return a * b; }), r);
}

template <class F> void divF32(F op)
{
    const Floats divisors = {2.0f, -4.0f, 0.5f}, dividends = {3.0f, 1.0f, -1.0f};
    Floats r(3);
    EXPECT_EQ(op(divisors.data(), dividends.data(), r.data(), 3), 0);
    expectSame({1.5f, -0.25f, -2.0f}, r); // the second over the first
}

template <class F> void expInPlaceF32(F op)
{
    Floats v = {0.0f, 1.0f, -1.0f};
    EXPECT_EQ(op(v.data(), 3), 0);
    expectSame({1.0f, float(std::exp(1.0)), float(std::exp(-1.0))}, v);
}

template <class F> void lnInPlaceF32(F op)
{
    Floats v = {1.0f, 2.0f, 10.0f};
    EXPECT_EQ(op(v.data(), 3), 0);
    expectSame({0.0f, float(std::log(2.0)), float(std::log(10.0))}, v);
}

template <class F> void sumF32(F op)
{
    float s = 0;
    EXPECT_EQ(op(kA.data(), kN, &s, 0), 0);
    EXPECT_EQ(s, -0.75f);
}

template <class F> void meanF32(F op)
{
    float m = 0;
    EXPECT_EQ(op(kA.data(), kN, &m, 0), 0);
    EXPECT_EQ(m, float(-0.75 / 5));
}

template <class F> void minEveryInPlaceF32(F op)
{
    Floats v = kB;
    EXPECT_EQ(op(kA.data(), v.data(), kN), 0);
    expectSame({1.5f, -2.0f, -1.5f, 0.5f, -4.0f}, v);
}

template <class F> void maxEveryInPlaceF32(F op)
{
    Floats v = kB;
    EXPECT_EQ(op(kA.data(), v.data(), kN), 0);
    expectSame({2.0f, 0.25f, 3.25f, 8.0f, 3.0f}, v);
}

template <class F> void dotProductF32(F op)
{
    double exact = 0;
    for (int i = 0; i < kN; ++i)
        exact += double(kA[size_t(i)]) * kB[size_t(i)];
    float d = 0;
    EXPECT_EQ(op(kA.data(), kB.data(), kN, &d), 0);
    EXPECT_EQ(d, float(exact));
}

template <class F> void fftCreateReal(F op)
{
    createRow(op, generic::fftFreeReal, kRealFft);
}

template <class F> void fftFreeReal(F op)
{
    freeRow(generic::fftCreateReal, op);
}

template <class F> void fftForwardRealInPlace(F op)
{
    withSpec(
        createFor(readsGeneric<F>(op, &generic::fftForwardRealInPlace, &dsp::fftForwardRealInPlace), true),
        generic::fftFreeReal,
        [op](const dsp::FftSpec *spec)
        {
            Floats v = kRealFft.input;
            EXPECT_EQ(op(v.data(), spec, nullptr), 0);
            EXPECT_EQ(v, kRealFft.spectrum);
        });
}

template <class F> void fftInverseRealInPlace(F op)
{
    withSpec(
        createFor(readsGeneric<F>(op, &generic::fftInverseRealInPlace, &dsp::fftInverseRealInPlace), true),
        generic::fftFreeReal,
        [op](const dsp::FftSpec *spec)
        {
            Floats v = kRealFft.spectrum;
            EXPECT_EQ(op(v.data(), spec, nullptr), 0);
            EXPECT_EQ(v, (Floats{4, 8, 12, 16})); // unscaled: N times the signal
        });
}

template <class F> void mulPackSpectrum(F op)
{
    const Floats a = {2, 3, 1, 2}, b = {0.5f, -1, 3, -1};
    Floats out(4);
    EXPECT_EQ(op(a.data(), b.data(), out.data(), 4), 0);
    // DC and Nyquist real; (1 + 2i)(3 - i) = 5 + 5i.
    expectSame({1, -3, 5, 5}, out);
}

template <class F> void iirCreateF32(F op)
{
    dsp::test::ScopedAllocHooks pool;
    dsp::IirState *state = nullptr;
    ASSERT_EQ(op(&state, kIirTaps.data(), 1, nullptr), 0);
    Floats v = kImpulse;
    ASSERT_EQ(generic::iirFilterInPlace(v.data(), 4, state), 0);
    expectSame(kIirImpulseResponse, v);
    EXPECT_EQ(generic::iirFree(state), 0);
    EXPECT_TRUE(pool.balanced());
}

template <class F> void iirFree(F op)
{
    dsp::test::ScopedAllocHooks pool;
    dsp::IirState *state = nullptr;
    ASSERT_EQ(generic::iirCreateF32(&state, kIirTaps.data(), 1, nullptr), 0);
    EXPECT_EQ(op(state), 0);
    EXPECT_TRUE(pool.balanced());
}

template <class F> void iirFilterF32(F op)
{
    std::vector<unsigned char> buffer = iirBuffer(1);
    dsp::IirState *state = nullptr;
    ASSERT_EQ(generic::iirInit(&state, kIirTaps.data(), 1, nullptr, buffer.data()), 0);
    Floats y(4);
    EXPECT_EQ(op(kImpulse.data(), y.data(), 4, state), 0);
    expectSame(kIirImpulseResponse, y);
}

template <class F> void firCreateF32(F op)
{
    dsp::test::ScopedAllocHooks pool;
    dsp::FirState *state = nullptr;
    ASSERT_EQ(op(&state, kFirTaps.data(), 3, nullptr), 0);
    Floats y(kFirInput.size());
    ASSERT_EQ(generic::firFilterBlock(kFirInput.data(), y.data(), int32_t(y.size()), state), 0);
    expectSame(convolve(kFirTaps, kFirInput), y);
    EXPECT_EQ(generic::firFree(state), 0);
    EXPECT_TRUE(pool.balanced());
}

template <class F> void firFree(F op)
{
    dsp::test::ScopedAllocHooks pool;
    dsp::FirState *state = nullptr;
    ASSERT_EQ(generic::firCreateF32(&state, kFirTaps.data(), 3, nullptr), 0);
    EXPECT_EQ(op(state), 0);
    EXPECT_TRUE(pool.balanced());
}

template <class F> void upsampleF32(F op)
{
    const Floats src = {1, 2};
    Floats dst(6, -1.0f);
    int32_t count = 0;
    const int32_t phase = 1;
    EXPECT_EQ(op(src.data(), 2, dst.data(), &count, 3, &phase), 0);
    EXPECT_EQ(count, 6);
    expectSame({0, 1, 0, 0, 2, 0}, dst);
}

template <class F> void downsampleF32(F op)
{
    const Floats src = {1, 2, 3, 4, 5, 6};
    Floats dst(3);
    int32_t count = 0, phase = 1;
    EXPECT_EQ(op(src.data(), 6, dst.data(), &count, 2, &phase), 0);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(phase, 1); // index 7 is the next to take: 7 - 6
    expectSame({2, 4, 6}, dst);
}

template <class F> void addProductConstF32(F op)
{
    Floats r = {0.125f, 1.0f, -1.0f, 2.0f, 0.0f}, expected(kN);
    for (size_t i = 0; i < r.size(); ++i)
        expected[i] = float(double(kA[i]) * -1.5 + r[i]);
    EXPECT_EQ(op(kA.data(), -1.5f, r.data(), kN), 0);
    expectSame(expected, r);
}

} // namespace rows

#define DSP_CHECK_TABLE_A dsp::VariantTableA
#define DSP_CHECK_TABLE_B dsp::CpuVariantDispatchTable
#define DSP_CHECK_STUB_DSP_STUB(name)                                                                        \
    for (uint32_t v = 0; v <= dsp::test::testMaxVariant(); ++v)                                              \
    {                                                                                                        \
        ScopedVariantIndex selector(v);                                                                      \
        SCOPED_TRACE("stub at variant " + std::to_string(v));                                                \
        rows::name(&dsp::name);                                                                              \
    }
#define DSP_CHECK_STUB_DSP_NO_STUB(name)

TEST(Dispatcher, EveryRowAndStubDoesWhatItsOperationDoes)
{
#define DSP_ROW(t, i, name, stub, ret, params, args, ...)                                                    \
    {                                                                                                        \
        SCOPED_TRACE("row " #t #i " " #name);                                                                \
        for (uint32_t v = 0; v <= dsp::test::testMaxVariant(); ++v)                                          \
        {                                                                                                    \
            SCOPED_TRACE("entry " + std::to_string(v));                                                      \
            rows::name(DSP_CAT(DSP_CHECK_TABLE_, t).name[v]);                                                \
        }                                                                                                    \
        DSP_CHECK_STUB_##stub(name)                                                                          \
    }
#include "dsp/dispatch/dispatch_rows.inc"
#undef DSP_ROW
    EXPECT_EQ(dsp::CpuVariantIndex.load(), 0u) << "the selector starts and ends at the generic variant";
    DSP_SKIP_UNSUPPORTED_VARIANTS();
}

// Every entry is set and entry 0 is the generic implementation. On x86 each row with a fast form
// takes a new implementation exactly at the listed indices (1: SSE, 2: SSE2 and double lanes,
// 3: complex pairs, 4: byte shuffles, 5: blends) and keeps it above; every other row stays generic.
TEST(Dispatcher, SixEntriesPerRowAndFastFormsWhereListed)
{
    using Steps = std::set<uint32_t>;
    const Steps sse{1}, sseThenSse2{1, 2}, sse2{2};
    const std::map<std::string, Steps> steps = {{"zeroF32", sseThenSse2},
                                                {"copyF32", sseThenSse2},
                                                {"setF32", sseThenSse2},
                                                {"addF32", sseThenSse2},
                                                {"subF32", sseThenSse2},
                                                {"mulF32", sseThenSse2},
                                                {"mulInPlaceF32", sseThenSse2},
                                                {"sqrtInPlaceF32", sse},
                                                {"absInPlaceF32", sse},
                                                {"sqrF32", sse},
                                                {"reverseCopy32", sse},
                                                {"maxF32", sse},
                                                {"minF32", sse},
                                                {"minEveryInPlaceF32", sse},
                                                {"maxEveryInPlaceF32", sse},
                                                {"upsampleF32", sse},
                                                {"downsampleF32", sse},
                                                {"interleave32", {1, 4}},
                                                {"deinterleave32", {1, 4}},
                                                {"divF32", {1, 5}},
                                                {"lnInPlaceF32", sse2},
                                                {"sumF32", sse2},
                                                {"meanF32", sse2},
                                                {"addProductF32", sse2},
                                                {"addProductConstF32", sse2},
                                                {"expInPlaceF32", {2, 5}},
                                                {"mulPackSpectrum", {2, 3}},
                                                {"fftCreateComplex", sse},
                                                {"fftFreeComplex", sse},
                                                {"fftForwardComplex", sse},
                                                {"fftCreateReal", sse},
                                                {"fftFreeReal", sse},
                                                {"fftForwardRealInPlace", sse},
                                                {"fftInverseRealInPlace", sse}};
    size_t listedRows = 0;
#define DSP_ROW(t, i, name, stub, ret, params, args, impl, ...)                                              \
    {                                                                                                        \
        const auto &row = DSP_CAT(DSP_CHECK_TABLE_, t).name;                                                 \
        EXPECT_EQ(row[0], &generic::impl) << #name;                                                          \
        Steps seen;                                                                                          \
        for (uint32_t v = 1; v < dsp::dispatch::kVariantCount; ++v)                                          \
        {                                                                                                    \
            EXPECT_NE(row[v], nullptr) << #name;                                                             \
            if (row[v] != row[v - 1])                                                                        \
                seen.insert(v);                                                                              \
        }                                                                                                    \
        const auto listed = steps.find(#name);                                                               \
        listedRows += listed != steps.end();                                                                 \
        EXPECT_EQ(seen, DSP_HAVE_SIMD_VARIANTS &&listed != steps.end() ? listed->second : Steps{})           \
            << #name << ": the indices where a new implementation starts";                                   \
    }
#include "dsp/dispatch/dispatch_rows.inc"
#undef DSP_ROW
    EXPECT_EQ(listedRows, steps.size()) << "a listed name is no row";
}

} // namespace
