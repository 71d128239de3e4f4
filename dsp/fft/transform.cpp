#include "dsp/fft/transform.h"

#include "dsp/core/alloc.h"
#include "dsp/core/vector.h"

namespace dsp::generic
{

namespace
{

// One complex value held wide while a butterfly runs; rounded to float only on store.
struct Cx
{
    double re;
    double im;
};

inline Cx operator+(Cx a, Cx b)
{
    return {a.re + b.re, a.im + b.im};
}
inline Cx operator-(Cx a, Cx b)
{
    return {a.re - b.re, a.im - b.im};
}
// a * (-i) and a * (+i).
inline Cx mulMinusI(Cx a)
{
    return {a.im, -a.re};
}
inline Cx mulPlusI(Cx a)
{
    return {-a.im, a.re};
}

inline Cx load(const float *p, int64_t i)
{
    return {p[2 * i], p[2 * i + 1]};
}
inline void store(float *p, int64_t i, Cx v)
{
    p[2 * i] = float(v.re);
    p[2 * i + 1] = float(v.im);
}

// v times the table twiddle w (forward) or its conjugate (inverse).
template <bool Inverse> inline Cx twiddle(Cx v, const float *w)
{
    const double c = w[0];
    const double s = w[1];
    if constexpr (Inverse)
        return {v.re * c + v.im * s, v.im * c - v.re * s};
    else
        return {v.re * c - v.im * s, v.re * s + v.im * c};
}

// The -i of a forward butterfly is +i going back.
template <bool Inverse> inline Cx rotateNegative(Cx a)
{
    if constexpr (Inverse)
        return mulPlusI(a);
    else
        return mulMinusI(a);
}
template <bool Inverse> inline Cx rotatePositive(Cx a)
{
    if constexpr (Inverse)
        return mulMinusI(a);
    else
        return mulPlusI(a);
}

int32_t log2Of(int64_t n)
{
    int32_t p = 0;
    while ((int64_t(1) << p) < n)
        ++p;
    return p;
}

template <bool Inverse> void radixKernel(float *d, int32_t n, const float *table)
{
    if (n < 4)
        return;
    // First stage: 4-point DFTs of bit-reversed quads (samples 0, 2, 1, 3).
    for (int64_t g = 0; g < n; g += 4)
    {
        const Cx a0 = load(d, g), a1 = load(d, g + 1), a2 = load(d, g + 2), a3 = load(d, g + 3);
        const Cx s01 = a0 + a1, d01 = a0 - a1, s23 = a2 + a3, d23 = a2 - a3;
        store(d, g, s01 + s23);
        store(d, g + 2, s01 - s23);
        store(d, g + 1, d01 + rotateNegative<Inverse>(d23));
        store(d, g + 3, d01 + rotatePositive<Inverse>(d23));
    }
    const int32_t p = log2Of(n);
    int64_t L = 16;
    if (p & 1)
    {
        // Odd orders: one radix-2 stage on groups of eight with W8^1 = c(1 - i), W8^3 = d(1 + i).
        const double c = table[6 * (n / 8)];
        const double dd = table[6 * (n / 8) + 1];
        for (int64_t g = 0; g < n; g += 8)
        {
            Cx u[4];
            const Cx b0 = load(d, g + 4), b1 = load(d, g + 5), b2 = load(d, g + 6), b3 = load(d, g + 7);
            u[0] = b0;
            u[2] = rotateNegative<Inverse>(b2);
            if constexpr (Inverse)
            {
                u[1] = {c * (b1.re - b1.im), c * (b1.re + b1.im)};
                u[3] = {dd * (b3.re + b3.im), dd * (b3.im - b3.re)};
            }
            else
            {
                u[1] = {c * (b1.re + b1.im), c * (b1.im - b1.re)};
                u[3] = {dd * (b3.re - b3.im), dd * (b3.re + b3.im)};
            }
            for (int64_t j = 0; j < 4; ++j)
            {
                const Cx a = load(d, g + j);
                store(d, g + j, a + u[j]);
                store(d, g + j + 4, a - u[j]);
            }
        }
        L = 32;
    }
    // Radix-4 stages. Bit-reversed order puts samples 2 mod 4 in the second quarter and 1 mod 4
    // in the third, hence W^2k for the second and W^k for the third.
    for (; L <= n; L *= 4)
    {
        const int64_t q = L / 4;
        const int64_t stride = n / L;
        for (int64_t g = 0; g < n; g += L)
        {
            float *base = d + 2 * g;
            for (int64_t j = 0; j < q; ++j)
            {
                const Cx a = load(base, j);
                Cx t1 = load(base, j + q), t2 = load(base, j + 2 * q), t3 = load(base, j + 3 * q);
                if (j != 0)
                {
                    const float *w = table + 6 * (j * stride);
                    t1 = twiddle<Inverse>(t1, w + 2);
                    t2 = twiddle<Inverse>(t2, w);
                    t3 = twiddle<Inverse>(t3, w + 4);
                }
                const Cx s = a + t1, df = a - t1, u = t2 + t3, v = t2 - t3;
                store(base, j, s + u);
                store(base, j + 2 * q, s - u);
                store(base, j + q, df + rotateNegative<Inverse>(v));
                store(base, j + 3 * q, df + rotatePositive<Inverse>(v));
            }
        }
    }
}

void kernel(float *data, int32_t count, const float *table, FftDirection dir)
{
    if (dir == FftDirection::Forward)
        radixKernel<false>(data, count, table);
    else
        radixKernel<true>(data, count, table);
}

// The spec's factor over count complex values; the status cannot fail for these arguments.
void scaleLeaf(const FftSpec *spec, float *data, int64_t count, FftDirection dir)
{
    if (fftScales(spec, dir))
        mulConstInPlaceF32(spec->factor, data, int32_t(2 * count));
}

// Order 11 or 12 unsplit, on bit-reversed data: 1024-point kernels (each scaled), then the
// radix-2 stages up to the full length.
void blockedPath(const FftSpec *spec, float *data, int32_t order, FftDirection dir)
{
    constexpr int32_t kLeaf = 1024;
    const int64_t count = int64_t(1) << order;
    const float *table = fftTable<float>(spec, spec->kernelTwiddles);
    for (int64_t b = count / kLeaf - 1; b >= 0; --b)
    {
        float *leaf = data + 2 * kLeaf * b;
        kernel(leaf, kLeaf, table, dir);
        scaleLeaf(spec, leaf, kLeaf, dir);
    }
    fftRadix2Completion(data, int32_t(count), kLeaf, fftTable<float>(spec, spec->completion), dir);
}

// Orders up to 10: bit reversal, one kernel, the factor over the whole array.
void directTransform(const FftSpec *spec, const float *src, float *dst, int32_t order, FftDirection dir)
{
    const int32_t count = int32_t(1) << order;
    const int32_t *reverse = fftTable<int32_t>(spec, spec->bitReverse);
    if (src == dst)
        bitReversePermute(dst, count, reverse);
    else
        bitReverseCopy(src, dst, count, reverse);
    kernel(dst, count, fftTable<float>(spec, spec->kernelTwiddles), dir);
    scaleLeaf(spec, dst, count, dir);
}

// ---- Closed forms, orders 0..3 -------------------------------------------------------------

// Bits 0x3F3504F3 and 0x3FB504F3: the float nearest sqrt(1/2) and the float nearest sqrt(2).
constexpr double kC8 = 0.70710677f;
constexpr double kR8 = 1.4142135f;

void real2(const float *x, float *out, double f)
{
    const double v0 = x[0], v1 = x[1];
    out[0] = float((v0 + v1) * f);
    out[1] = float((v0 - v1) * f);
}

void forward4(const float *x, float *out, double f)
{
    const double x0 = x[0], x1 = x[1], x2 = x[2], x3 = x[3];
    const double s = (x0 + x2) * f, t = (x3 + x1) * f;
    out[0] = float(s + t);
    out[1] = float(s - t);
    out[2] = float((x0 - x2) * f);
    out[3] = float((x3 - x1) * f);
}

void inverse4(const float *x, float *out, double f)
{
    const double X0 = x[0], X2 = x[1], R1 = x[2], I1 = x[3];
    const double s = (X0 + X2) * f, t = (X0 - X2) * f;
    const double r = (2 * R1) * f, i = (2 * I1) * f;
    out[0] = float(s + r);
    out[1] = float(t - i);
    out[2] = float(s - r);
    out[3] = float(t + i);
}

void forward8(const float *x, float *out, double f)
{
    const double x0 = x[0], x1 = x[1], x2 = x[2], x3 = x[3], x4 = x[4], x5 = x[5], x6 = x[6], x7 = x[7];
    const double a0 = (x0 - x4) * f, a2 = (x2 - x6) * f;
    const double s04 = (x0 + x4) * f, s26 = (x2 + x6) * f;
    const double s0246 = s04 + s26;
    const double s37 = (x3 + x7) * f, s15 = (x1 + x5) * f;
    const double d15 = (x1 - x5) * f, d37 = (x3 - x7) * f;
    const double u = (d15 - d37) * kC8;
    const double w = (d15 + d37) * (-kC8);
    out[0] = float(s0246 + (s15 + s37));
    out[1] = float(s0246 - (s15 + s37));
    out[2] = float(a0 + u);
    out[3] = float(w - a2);
    out[4] = float(s04 - s26);
    out[5] = float(s37 - s15);
    out[6] = float(a0 - u);
    out[7] = float(a2 + w);
}

void inverse8(const float *x, float *out, double f)
{
    const double X0 = x[0], X4 = x[1], R1 = x[2], I1 = x[3], R2 = x[4], I2 = x[5], R3 = x[6], I3 = x[7];
    const double p = (X0 + X4) * f, q = (X0 - X4) * f;
    const double r2 = (2 * R2) * f, i2 = (2 * I2) * f;
    const double e0 = p + r2, e1 = p - r2, f0 = q - i2;
    // f1 alone is rounded to float before use.
    const double f1 = float(q + i2);
    const double dR = (R1 - R3) * f, sI = (I1 + I3) * f;
    const double g = dR - sI;
    const double b = 2 * ((R1 + R3) * f);
    const double dI = 2 * ((I1 - I3) * f);
    const double h = (dR + sI) * (-kR8);
    out[0] = float(e0 + b);
    out[1] = float(f0 + g * kR8);
    out[2] = float(e1 - dI);
    out[3] = float(h + f1);
    out[4] = float(e0 - b);
    out[5] = float(f0 - g * kR8);
    out[6] = float(e1 + dI);
    out[7] = float(f1 - h);
}

// Direct complex DFT of N = 1, 2, 4 or 8 points with exact eighth-turn twiddles; the inverse
// takes the conjugate twiddles.
template <int N, bool Inverse = false> void complexDirect(const float *src, float *dst, double f)
{
    constexpr double h = 0.70710678118654752;
    static constexpr double kW8[8][2] = {{1, 0},  {h, -h}, {0, -1}, {-h, -h},
                                         {-1, 0}, {-h, h}, {0, 1},  {h, h}};
    if constexpr (N == 1)
    {
        store(dst, 0, {src[0] * f, src[1] * f});
        return;
    }
    Cx x[N];
    for (int n = 0; n < N; ++n)
        x[n] = load(src, n);
    for (int k = 0; k < N; ++k)
    {
        Cx sum{0, 0};
        for (int n = 0; n < N; ++n)
        {
            const int turn = (n * k * (8 / N)) % 8;
            const double *w = kW8[Inverse ? (8 - turn) % 8 : turn];
            sum.re += x[n].re * w[0] - x[n].im * w[1];
            sum.im += x[n].re * w[1] + x[n].im * w[0];
        }
        store(dst, k, {sum.re * f, sum.im * f});
    }
}

void copy1(const float *src, float *dst)
{
    dst[0] = src[0];
}

void scale1(const float *src, float *dst, double f)
{
    dst[0] = float(f * src[0]);
}

// Each closed form takes its factor as a double; the plain kernels pass exactly 1.
using SmallForm = void (*)(const float *, float *, double);

template <SmallForm Form> void plainKernel(const float *src, float *dst)
{
    Form(src, dst, 1.0);
}

template <SmallForm Form> void scaledKernel(const float *src, float *dst, float factor)
{
    Form(src, dst, factor);
}

} // namespace

// ---- Kernel entries ---------------------------------------------------------------------------

void fftKernelGeneric(float *data, int32_t count, const float *table)
{
    radixKernel<false>(data, count, table);
}

void fftKernelGenericInverse(float *data, int32_t count, const float *table)
{
    radixKernel<true>(data, count, table);
}

// Each table pair (2i, 2j) exchanges i <-> j, i+1 <-> j+h, i+h <-> j+1, i+h+1 <-> j+h+1; each
// fixed point 2i (point 0 first, from the 0 ending the pair list) exchanges i+1 <-> i+h.
void bitReversePermute(float *data, int32_t count, const int32_t *table)
{
    if (count < 4)
        return;
    const int64_t h = count / 2;
    auto swap = [data](int64_t a, int64_t b)
    {
        const float re = data[2 * a], im = data[2 * a + 1];
        data[2 * a] = data[2 * b];
        data[2 * a + 1] = data[2 * b + 1];
        data[2 * b] = re;
        data[2 * b + 1] = im;
    };
    int64_t e = 0;
    for (; table[e] / 2 > 0; e += 2)
    {
        const int64_t i = table[e] / 2, j = table[e + 1] / 2;
        swap(i, j);
        swap(i + 1, j + h);
        swap(i + h, j + 1);
        swap(i + h + 1, j + h + 1);
    }
    for (int64_t i = 0;;)
    {
        swap(i + 1, i + h);
        const int32_t next = table[++e];
        if (next / 2 <= 0)
            break;
        i = next / 2;
    }
}

void bitReverseCopy(const float *src, float *dst, int32_t count, const int32_t *table)
{
    auto move = [src, dst](int64_t from, int64_t to)
    {
        dst[2 * to] = src[2 * from];
        dst[2 * to + 1] = src[2 * from + 1];
    };
    if (count < 8)
    {
        move(0, 0);
        move(count - 1, count - 1);
        if (count == 4)
        {
            move(1, 2);
            move(2, 1);
        }
        return;
    }
    const int64_t h = count / 2;
    auto exchange = [&move](int64_t a, int64_t b)
    {
        move(a, b);
        move(b, a);
    };
    int64_t e = 0;
    for (; table[e] / 2 > 0; e += 2)
    {
        const int64_t i = table[e] / 2, j = table[e + 1] / 2;
        exchange(i, j);
        exchange(i + 1, j + h);
        exchange(i + h, j + 1);
        exchange(i + h + 1, j + h + 1);
    }
    for (int64_t i = 0;;)
    {
        move(i, i);
        move(i + h + 1, i + h + 1);
        exchange(i + 1, i + h);
        const int32_t next = table[++e];
        if (next / 2 <= 0)
            break;
        i = next / 2;
    }
}

void fftRadix2Completion(float *data, int32_t count, int32_t span, const float *table, FftDirection dir)
{
    const bool inverse = dir == FftDirection::Inverse;
    for (int64_t h = span; h < count; h *= 2)
    {
        const int64_t stride = count / (2 * h);
        for (int64_t g = 0; g < count; g += 2 * h)
        {
            for (int64_t k = 0; k < h; ++k)
            {
                // W_2h^k from the quarter-length table; the upper half is a quarter turn on.
                Cx w;
                if (k < h / 2)
                {
                    w = load(table, k * stride);
                }
                else
                {
                    w = mulMinusI(load(table, (k - h / 2) * stride));
                }
                if (inverse)
                    w.im = -w.im;
                const Cx u = load(data, g + k);
                const Cx b = load(data, g + h + k);
                const Cx v{b.re * w.re - b.im * w.im, b.re * w.im + b.im * w.re};
                store(data, g + k, u + v);
                store(data, g + h + k, u - v);
            }
        }
    }
}

// Data: S = 2^s rows of R = 2^r bit-reversed points; row i holds the samples whose index mod S
// is rev_s(i). Rows first (they carry the scaling), then the twiddled columns four at a time.
void fftSplitLevel(const FftSpec *spec, float *data, int32_t order, int32_t depth, void *work,
                   FftDirection dir)
{
    const int32_t s = fftSplitOrder(order);
    const int32_t r = order - s;
    const int64_t S = int64_t(1) << s;
    const int64_t R = int64_t(1) << r;

    for (int64_t i = 0; i < S; ++i)
    {
        float *row = data + 2 * R * i;
        if (r <= kFftDirectMaxOrder)
        {
            kernel(row, int32_t(R), fftTable<float>(spec, spec->kernelTwiddles), dir);
            scaleLeaf(spec, row, R, dir);
        }
        else if (fftSplitOrder(r) != 0)
        {
            fftSplitLevel(spec, row, r, depth + 1, work, dir);
        }
        else
        {
            blockedPath(spec, row, r, dir);
        }
    }

    const float *stage = fftTable<float>(spec, spec->stageTwiddles[depth]);
    const float *columnTable = fftTable<float>(spec, spec->columnTwiddles[depth]);
    float *columns = static_cast<float *>(work);
    const bool inverse = dir == FftDirection::Inverse;
    for (int64_t g = 0; g < R / 4; ++g)
    {
        for (int64_t i = 0; i < S; ++i)
        {
            const float *row = data + 2 * (R * i + 4 * g);
            for (int64_t c = 0; c < 4; ++c)
            {
                const Cx x = load(row, c);
                const Cx v = inverse ? twiddle<true>(x, stage) : twiddle<false>(x, stage);
                store(columns + 2 * S * c, i, v);
                stage += 2;
            }
        }
        for (int64_t c = 0; c < 4; ++c)
            kernel(columns + 2 * S * c, int32_t(S), columnTable, dir);
        for (int64_t k2 = 0; k2 < S; ++k2)
        {
            float *row = data + 2 * (R * k2 + 4 * g);
            for (int64_t c = 0; c < 4; ++c)
            {
                row[2 * c] = columns[2 * (S * c + k2)];
                row[2 * c + 1] = columns[2 * (S * c + k2) + 1];
            }
        }
    }
}

void fftComplexDriver(const FftSpec *spec, const float *src, float *dst, int32_t order, void *work,
                      FftDirection dir)
{
    const int32_t count = int32_t(1) << order;
    const int32_t *reverse = fftTable<int32_t>(spec, spec->bitReverse);
    if (src == dst)
        bitReversePermute(dst, count, reverse);
    else
        bitReverseCopy(src, dst, count, reverse);
    if (fftSplitOrder(order) != 0)
        fftSplitLevel(spec, dst, order, 0, work, dir);
    else
        blockedPath(spec, dst, order, dir);
}

// ---- Shared by the transform entries ------------------------------------------------------

bool fftScales(const FftSpec *spec, FftDirection dir)
{
    return (dir == FftDirection::Forward ? spec->scaleForward : spec->scaleInverse) != 0;
}

Status fftCheckTransform(const FftSpec *spec, int32_t id, int32_t layout, const void *src, const void *dst)
{
    if (!spec)
        return kErrNullPointer;
    if (spec->id != id || spec->reserved0 != layout)
        return kErrBadTag;
    if (!src || !dst)
        return kErrNullPointer;
    return kOk;
}

FftWork::~FftWork()
{
    freeAligned(owned_);
}

Status FftWork::acquire(const FftSpec *spec, void *callerWork)
{
    if (spec->workSize < 1)
        return kOk;
    if (callerWork)
    {
        const uintptr_t a = reinterpret_cast<uintptr_t>(callerWork);
        area_ = reinterpret_cast<void *>((a + 31) & ~uintptr_t(31));
        return kOk;
    }
    owned_ = allocAligned(spec->workSize);
    if (!owned_)
        return kErrNoMemory;
    area_ = owned_;
    return kOk;
}

void fftComplexTransform(const FftSpec *spec, const float *src, float *dst, int32_t order, void *work,
                         FftDirection dir)
{
    if (order <= kFftDirectMaxOrder)
        directTransform(spec, src, dst, order, dir);
    else
        fftComplexDriver(spec, src, dst, order, work, dir);
}

// ---- Real transforms ------------------------------------------------------------------------

void fftRecombineForward(float *z, int32_t M, const float *table)
{
    if (M < 2)
        return;
    for (int64_t k = 1; k < M / 2; ++k)
    {
        const Cx A = load(z, k), B = load(z, M - k);
        const double h = table[2 * k], e = table[2 * k + 1];
        const double d = A.re - B.re, s = A.im + B.im;
        const double l = d * e + s * h, g = s * e - d * h;
        store(z, k, {B.re + l, g - B.im});
        store(z, M - k, {A.re - l, g - A.im});
    }
    z[2 * (M / 2) + 1] = -z[2 * (M / 2) + 1];
}

void fftRecombineInverse(const float *src, float *dst, int32_t M, const float *table)
{
    if (M < 2)
        return;
    for (int64_t k = 1; k < M / 2; ++k)
    {
        const Cx A = load(src, k), B = load(src, M - k);
        const double h = table[2 * k], e = table[2 * k + 1];
        const double d = A.re - B.re, s = A.im + B.im;
        const double l = d * e - s * h, g = d * h + s * e;
        store(dst, k, {A.re + B.re + l, (A.im - B.im) + g});
        store(dst, M - k, {A.re + B.re - l, g - (A.im - B.im)});
    }
    const Cx mid = load(src, M / 2);
    store(dst, M / 2, {2 * mid.re, -2 * mid.im});
}

void fftSmallTransform(const FftSpec *spec, FftKind kind, FftDirection dir, const float *src, float *dst)
{
    const int32_t order = spec->order;
    const bool real = kind == FftKind::Real;
    const bool forward = dir == FftDirection::Forward;
    const RealSmallKernel *plain = real ? (forward ? kRealForwardSmall : kRealInverseSmall)
                                        : (forward ? kComplexForwardSmall : kComplexInverseSmall);
    const RealSmallKernelScaled *scaled =
        real ? (forward ? kRealForwardSmallScaled : kRealInverseSmallScaled)
             : (forward ? kComplexForwardSmallScaled : kComplexInverseSmallScaled);
    if (fftScales(spec, dir))
        scaled[order](src, dst, spec->factor);
    else
        plain[order](src, dst);
}

Status fftTransform(const FftSpec *spec, FftKind kind, FftDirection dir, const float *src, float *dst,
                    void *work)
{
    const bool real = kind == FftKind::Real;
    if (Status s = fftCheckTransform(spec, real ? kFftIdReal : kFftIdComplex, kFftLayoutGeneric, src, dst))
        return s;
    return fftTransformBody(spec, kind, dir, src, dst, work);
}

Status fftTransformBody(const FftSpec *spec, FftKind kind, FftDirection dir, const float *src, float *dst,
                        void *work)
{
    const bool real = kind == FftKind::Real;
    const int32_t order = spec->order;
    const bool forward = dir == FftDirection::Forward;
    if (order <= 3)
    {
        fftSmallTransform(spec, kind, dir, src, dst);
        return kOk;
    }
    FftWork buffer;
    if (Status s = buffer.acquire(spec, work))
        return s;
    if (!real)
    {
        fftComplexTransform(spec, src, dst, order, buffer.get(), dir);
        return kOk;
    }
    const int32_t m = order - 1;
    const int32_t M = int32_t(1) << m;
    if (forward)
    {
        fftComplexTransform(spec, src, dst, m, buffer.get(), dir);
        const float t0 = dst[0], t1 = dst[1];
        dst[0] = t0 + t1;
        dst[1] = t0 - t1;
        fftRecombineForward(dst, M, fftTable<float>(spec, spec->recombineForward));
    }
    else
    {
        const float t0 = src[0], t1 = src[1];
        dst[1] = t0 - t1;
        dst[0] = t0 + t1;
        fftRecombineInverse(src, dst, M, fftTable<float>(spec, spec->recombineInverse));
        fftComplexTransform(spec, dst, dst, m, buffer.get(), dir);
    }
    return kOk;
}

Status fftRealForward(const float *src, float *dst, const FftSpec *spec, void *work)
{
    return fftTransform(spec, FftKind::Real, FftDirection::Forward, src, dst, work);
}

Status fftRealInverse(const float *src, float *dst, const FftSpec *spec, void *work)
{
    return fftTransform(spec, FftKind::Real, FftDirection::Inverse, src, dst, work);
}

Status mulPackSpectrumInPlace(const float *src, float *srcDst, int32_t len)
{
    return mulPackSpectrum(src, srcDst, srcDst, len);
}

// ---- Small real kernels ------------------------------------------------------------------------

extern constexpr RealSmallKernel rfftCopy1 = copy1;
extern constexpr RealSmallKernelScaled rfftScale1 = scaledKernel<scale1>;
extern constexpr RealSmallKernel rfftPair2 = plainKernel<real2>;
extern constexpr RealSmallKernelScaled rfftPairScaled2 = scaledKernel<real2>;
extern constexpr RealSmallKernel rfftForward4 = plainKernel<forward4>;
extern constexpr RealSmallKernelScaled rfftForwardScaled4 = scaledKernel<forward4>;
extern constexpr RealSmallKernel rfftInverse4 = plainKernel<inverse4>;
extern constexpr RealSmallKernelScaled rfftInverseScaled4 = scaledKernel<inverse4>;
extern constexpr RealSmallKernel rfftForward8 = plainKernel<forward8>;
extern constexpr RealSmallKernelScaled rfftForwardScaled8 = scaledKernel<forward8>;
extern constexpr RealSmallKernel rfftInverse8 = plainKernel<inverse8>;
extern constexpr RealSmallKernelScaled rfftInverseScaled8 = scaledKernel<inverse8>;

const RealSmallKernel kRealForwardSmall[4] = {rfftCopy1, rfftPair2, rfftForward4, rfftForward8};
const RealSmallKernelScaled kRealForwardSmallScaled[4] = {rfftScale1, rfftPairScaled2, rfftForwardScaled4,
                                                          rfftForwardScaled8};
const RealSmallKernel kRealInverseSmall[4] = {rfftCopy1, rfftPair2, rfftInverse4, rfftInverse8};
const RealSmallKernelScaled kRealInverseSmallScaled[4] = {rfftScale1, rfftPairScaled2, rfftInverseScaled4,
                                                          rfftInverseScaled8};
const RealSmallKernel kComplexForwardSmall[4] = {plainKernel<complexDirect<1>>, plainKernel<complexDirect<2>>,
                                                 plainKernel<complexDirect<4>>,
                                                 plainKernel<complexDirect<8>>};
const RealSmallKernelScaled kComplexForwardSmallScaled[4] = {
    scaledKernel<complexDirect<1>>, scaledKernel<complexDirect<2>>, scaledKernel<complexDirect<4>>,
    scaledKernel<complexDirect<8>>};
const RealSmallKernel kComplexInverseSmall[4] = {
    plainKernel<complexDirect<1, true>>, plainKernel<complexDirect<2, true>>,
    plainKernel<complexDirect<4, true>>, plainKernel<complexDirect<8, true>>};
const RealSmallKernelScaled kComplexInverseSmallScaled[4] = {
    scaledKernel<complexDirect<1, true>>, scaledKernel<complexDirect<2, true>>,
    scaledKernel<complexDirect<4, true>>, scaledKernel<complexDirect<8, true>>};

} // namespace dsp::generic
