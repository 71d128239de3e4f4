// Vector power. Every double operation below is rounded in the order written: the error terms
// (Dekker splits, head/tail sums) only work if the compiler neither contracts a*b+c into a fused
// multiply-add nor reassociates, which is why dsp/ builds with -ffp-contract=off and no fast-math.
#include "dsp/core/pow.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <xmmintrin.h>

namespace dsp::detail
{
#include "dsp/core/pow_tables.inc"
} // namespace dsp::detail

namespace dsp::generic
{
namespace
{

using detail::kExp2Table128;
using detail::kLog2ReduceTable1;
using detail::kLog2ReduceTable2;
using detail::kLog2ReduceTable3;

constexpr double d(uint64_t bits)
{
    return std::bit_cast<double>(bits);
}
uint64_t bitsOf(double v)
{
    return std::bit_cast<uint64_t>(v);
}
int expField(double v)
{
    return static_cast<int>((bitsOf(v) >> 52) & 0x7FF);
}
bool signOf(double v)
{
    return (bitsOf(v) >> 63) != 0;
}

// 1/ln 2 cut to 23 significant bits: the third reduction lands next to it.
constexpr double kB = d(0x3FF7154740000000);
// log2(1 + Z/B) - Z.
constexpr double kC1 = d(0x3E79C3A6966457E8);
constexpr double kC2 = d(0xBFD62E4346694107);
constexpr double kC3 = d(0x3FC47FD462B6DEE1);
constexpr double kC4 = d(0xBFB550472A9012D8);
// 2^r - 1 for |r| <= 1/256.
constexpr double kK1 = d(0x3FE62E42FEFA39EF);
constexpr double kK2 = d(0x3FCEBFBDFF82C58F);
constexpr double kK3 = d(0x3FAC6B08D704A0C0);
constexpr double kK4 = d(0x3F83B2AB6FBA4E77);
constexpr double kK5 = d(0x3F55D87FE78A6731);
constexpr double kSplitter = 134217729.0;          // 2^27 + 1
constexpr double kShifter = d(0x42C8000000000000); // 3 * 2^44: rounds to multiples of 1/128
constexpr double kHuge = d(0x7FE0000000000000);    // 2^1023; squared overflows
constexpr double kTiny = d(0x0010000000000000);    // 2^-1022; squared underflows

// MXCSR: flush-to-zero, rounding control, denormals-are-zero; the exception flags are bits 0-5.
constexpr unsigned kMxcsrEnvBits = 0x8000u | 0x6000u | 0x0040u;
constexpr unsigned kMxcsrFlagBits = 0x003Fu;

struct Split
{
    double hi;
    double lo;
};

Split split(double a)
{
    const double t = a * kSplitter;
    const double hi = t - (t - a);
    return {hi, a - hi};
}

enum class YClass
{
    NonInteger,
    Odd,
    Even
};

// Class of y read from its bits as a double. Infinities and NaN count as non-integers; every
// magnitude of 2^53 or more is even.
YClass classify(double y)
{
    const uint64_t b = bitsOf(y);
    const int field = static_cast<int>((b >> 52) & 0x7FF);
    if (field == 0x7FF)
        return YClass::NonInteger;
    const int e = field - 1023;
    if (e < 0)
        return YClass::NonInteger;
    if (e >= 53)
        return YClass::Even;
    const int shift = 52 - e;
    const uint64_t fraction = b & ((uint64_t{1} << shift) - 1);
    if (fraction != 0)
        return YClass::NonInteger;
    return (((b | (uint64_t{1} << 52)) >> shift) & 1) ? YClass::Odd : YClass::Even;
}

// NaN operand(s): the quieted NaN, and of two NaNs the one with the larger significand (the
// first on a tie). An SSE addition would return the first operand instead.
float nanResult(float x, float y)
{
    const uint32_t bx = std::bit_cast<uint32_t>(x) | 0x00400000u;
    const uint32_t by = std::bit_cast<uint32_t>(y) | 0x00400000u;
    if (!std::isnan(y))
        return std::bit_cast<float>(bx);
    if (!std::isnan(x))
        return std::bit_cast<float>(by);
    return std::bit_cast<float>((by & 0x007FFFFFu) > (bx & 0x007FFFFFu) ? by : bx);
}

float defaultNan()
{
    return std::bit_cast<float>(0xFFC00000u);
}

// a = |x| > 0 finite, y finite non-zero; s = +1 or -1. The logarithm is carried as a head and a
// tail so that y * log2(a) keeps about 60 bits before the exponential.
double mainPath(double a, double y, double s)
{
    const uint64_t ab = bitsOf(a);
    const double m = d((ab & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull);
    const int k = static_cast<int>((ab >> 46) & 63);
    const int p = (k + 1) >> 1;
    const int bigE = static_cast<int>((ab >> 52) & 0x7FF) - 1023 + (k >= 31 ? 1 : 0);

    const double r1 = d(kLog2ReduceTable1[p].reciprocal);
    const double v = m * r1;
    const int j6 = static_cast<int>((bitsOf(v) >> 42) & 63);
    const int q = (j6 + 1) >> 1;
    const double r2 = d(kLog2ReduceTable2[q].reciprocal);
    const double w = v * r2;
    const int i8 = static_cast<int>((bitsOf(w) >> 36) & 255);
    const int rIdx = (i8 + 1) >> 1;
    const double r3 = d(kLog2ReduceTable3[rIdx].reciprocal);
    const double z = w * r3;

    const double bigH =
        ((static_cast<double>(bigE) + d(kLog2ReduceTable1[p].head)) + d(kLog2ReduceTable2[q].head)) +
        d(kLog2ReduceTable3[rIdx].head);
    const double bigT =
        (d(kLog2ReduceTable2[q].tail) + d(kLog2ReduceTable3[rIdx].tail)) + d(kLog2ReduceTable1[p].tail);
    const double bigS = z - kB;

    // What z lost against the exact m * U (U = R1 R2 R3 is exact: 15 + 15 + 23 bits).
    const double u = (r1 * r2) * r3;
    const Split ms = split(m);
    const Split us = split(u);
    const double e = (((ms.hi * us.hi - z) + ms.lo * us.hi) + ms.hi * us.lo) + ms.lo * us.lo;

    const double bigX = bigH + bigS;
    const double bigXt = bigS + (bigH - bigX);

    const int g = expField(y) + expField(bigX);
    if (g >= 2057)
    {
        // |y log2 a| of about 2^11 or more: far outside the float range either way.
        return signOf(y) == signOf(bigX) ? s * (kHuge * kHuge) : s * (kTiny * kTiny);
    }
    if (g <= 1984)
    {
        // |y log2 a| below about 2^-61: the result rounds to 1.
        return s * (1.0 + kTiny);
    }

    const double bigZ = e + bigS;
    const double poly = (((kC4 * bigZ + kC3) * bigZ + kC2) * bigZ + kC1) * bigZ;
    const double bigA = bigT + (bigXt + e);

    const double l1 = bigX + poly;
    const double bigL = bigA + l1;
    const double lt = (poly + (bigX - l1)) + (bigA + (l1 - bigL));

    const Split ls = split(bigL);
    const Split ys = split(y);
    const double bigM = ls.hi * ys.hi;

    const double bigG = bigM + kShifter;
    const int32_t bigN = static_cast<int32_t>(static_cast<uint32_t>(bitsOf(bigG)));
    const int j = bigN & 127;
    const int n = bigN >> 7;

    const double rr =
        (lt * y + ((ls.lo * ys.lo + ls.lo * ys.hi) + ls.hi * ys.lo)) + (bigM - (bigG - kShifter));

    const double head = d(kExp2Table128[j].head);
    const double qq =
        (((((kK5 * rr + kK4) * rr + kK3) * rr + kK2) * rr + kK1) * rr) * head + d(kExp2Table128[j].tail);
    const double f = head + qq;

    const int bigK = n + expField(f) - 1023;
    if (bigK >= 1024)
        return s * (kHuge * kHuge);
    if (bigK < -1022)
        return s * 0.0;
    const double scaled = d((bitsOf(f) & 0x800FFFFFFFFFFFFFull) | (static_cast<uint64_t>(bigK + 1023) << 52));
    return s * scaled;
}

// One element by the case table, first matching row wins. domainError reports rows 4, 7 and 8.
float powElement(float xf, float yf, bool &domainError)
{
    const double x = xf;
    const double y = yf;
    domainError = false;
    if (y == 0.0)
        return 1.0f; // any x, also NaN
    if (x == 1.0)
        return 1.0f; // any y, also NaN
    if (std::isnan(x) || std::isnan(y))
        return nanResult(xf, yf);

    const YClass cls = classify(y);
    const bool oddY = cls == YClass::Odd;
    const double s = (signOf(x) && oddY) ? -1.0 : 1.0;
    const double inf = HUGE_VAL;

    if (x == 0.0)
    {
        if (y < 0.0)
        { // pole
            domainError = true;
            return static_cast<float>(s * inf);
        }
        return static_cast<float>(s * 0.0);
    }
    if (x == -1.0)
    {
        if (std::isinf(y) || cls != YClass::NonInteger)
            return oddY ? -1.0f : 1.0f;
        domainError = true;
        return defaultNan();
    }
    if (x < 0.0 && !std::isinf(x) && !std::isinf(y) && cls == YClass::NonInteger)
    {
        domainError = true;
        return defaultNan();
    }
    const double ax = std::fabs(x);
    if (std::isinf(x) || (std::isinf(y) && ax > 1.0))
    {
        return static_cast<float>(y < 0.0 ? s * 0.0 : s * inf);
    }
    if (std::isinf(y))
        return y < 0.0 ? HUGE_VALF : 0.0f; // 0 < |x| < 1
    return static_cast<float>(mainPath(ax, y, s));
}

} // namespace

void raiseMathError(int32_t type, int32_t, const float *, const float *, const float *, const float *,
                    const void *)
{
    // Volatile operands keep the compiler from folding the expression away: raising the flag
    // is the whole point.
    volatile double zero = 0.0;
    volatile double one = 1.0;
    volatile double big = 1.7976931348623157e308;
    volatile double small = 2.225073858507202e-308;
    volatile double sink = 0.0;
    switch (type)
    {
    case 19:
        sink = zero / zero;
        break;
    case 18:
        sink = one / zero;
        break;
    case 12:
        sink = big * big;
        break;
    case 17:
        sink = small * small;
        break;
    default:
        break;
    }
    (void)sink;
}

Status powF32(const float *x, const float *y, float *r, int32_t len)
{
    if (len <= 0)
        return kErrBadLength;
    if (x == nullptr || y == nullptr || r == nullptr)
        return kErrNullPointer;

    // DAZ would read subnormal bases as zero, FTZ flush subnormal results, and a directed rounding
    // mode would break the error terms: compute in the default environment.
    const unsigned saved = _mm_getcsr();
    _mm_setcsr(saved & ~kMxcsrEnvBits);
    asm volatile("" ::: "memory");

    Status status = kOk;
    for (int32_t i = 0; i < len; ++i)
    {
        bool domainError = false;
        const float v = powElement(x[i], y[i], domainError);
        r[i] = v;
        if (domainError)
        {
            raiseMathError(19, i, x, y, r, r, nullptr);
            status = kWarnDomain;
        }
    }

    asm volatile("" ::: "memory");
    _mm_setcsr(saved | (_mm_getcsr() & kMxcsrFlagBits));
    return status;
}

} // namespace dsp::generic
