#include "dsp/filters/iir.h"

#include <cstddef>
#include <cstring>

#include "dsp/core/alloc.h"

namespace dsp::generic
{
namespace
{

constexpr int32_t kHeaderBytes = static_cast<int32_t>(sizeof(IirState));

int64_t roundUp16(int64_t v)
{
    return (v + 15) & ~int64_t{15};
}

// Generic layout, in 64 bits so that a huge order cannot wrap into a short buffer.
int64_t tapsBytes(int64_t order)
{
    return roundUp16(8 * order + 4);
}
int64_t delayBytes(int64_t order)
{
    return roundUp16(4 * order + 4);
}
int64_t stateBytes(int64_t order)
{
    return kHeaderBytes + 16 + tapsBytes(order) + delayBytes(order);
}

float *arrayAt(IirState *st, int32_t offset)
{
    return reinterpret_cast<float *>(reinterpret_cast<unsigned char *>(st) + offset);
}

// Order check shared by the size query and the initialisers: -25 for a non-positive order and
// for one whose buffer size would not fit the 32-bit size protocol.
Status checkOrder(int32_t order)
{
    if (order <= 0 || stateBytes(order) > INT32_MAX)
        return kErrIirOrder;
    return kOk;
}

bool isZero(float v)
{
    return v == 0.0f;
}

// A header this library can run: a known tag, a positive order (even for a cascade) and arrays
// behind the header. Anything else is treated like a foreign record.
bool runnable(const IirState *st)
{
    if (st->order < 1 || st->taps < kHeaderBytes || st->delay < kHeaderBytes)
        return false;
    if (st->tag == kIirTagTransfer)
        return true;
    return st->tag == kIirTagBiquad && st->order % 2 == 0;
}

Status run(const float *src, float *dst, int32_t len, IirState *st)
{
    if (!runnable(st))
        return kErrBadTag;
    if (st->tag == kIirTagTransfer)
    {
        iirRunArbitrary(src, dst, len, st);
    }
    else
    {
        iirRunBiquad(src, dst, len, st);
    }
    return kOk;
}

// One sample through the order-N recursion: y = b0 x + z0, then zk = (b(k+1) x - a(k+1) y) +
// z(k+1) for increasing k (z(k+1) is read before it is overwritten; zN is the stored +0.0).
double singleStep(const float *b, const float *a, float *z, int32_t n, double x)
{
    const double y = b[0] * x + z[0];
    for (int32_t k = 0; k < n; ++k)
    {
        z[k] = static_cast<float>((b[k + 1] * x - a[k + 1] * y) + z[k + 1]);
    }
    return y;
}

} // namespace

Status iirGetStateSize(int32_t order, int32_t *pSize)
{
    if (pSize == nullptr)
        return kErrNullPointer;
    if (const Status s = checkOrder(order); s != kOk)
        return s;
    *pSize = static_cast<int32_t>(stateBytes(order));
    return kOk;
}

Status iirInit(IirState **ppState, const float *pTaps, int32_t order, const float *pDelay, void *pBuffer)
{
    if (pTaps == nullptr || ppState == nullptr || pBuffer == nullptr)
        return kErrNullPointer;
    if (const Status s = checkOrder(order); s != kOk)
        return s;
    // A zero leading feedback tap is refused before the buffer is touched, so a failed call can
    // never leave a tagged record whose taps were not set.
    if (isZero(pTaps[static_cast<ptrdiff_t>(order) + 1]))
        return kErrDivByZero;

    const auto address = reinterpret_cast<uintptr_t>(pBuffer);
    auto *st = reinterpret_cast<IirState *>((address + 15) & ~uintptr_t{15});
    std::memset(st, 0, sizeof(IirState));
    st->tag = kIirTagTransfer;
    st->taps = kHeaderBytes;
    st->delay = static_cast<int32_t>(kHeaderBytes + tapsBytes(order));
    st->order = order;

    float *z = arrayAt(st, st->delay);
    const size_t delayCount = static_cast<size_t>(order);
    if (pDelay != nullptr)
    {
        std::memcpy(z, pDelay, delayCount * sizeof(float));
    }
    else
    {
        std::memset(z, 0, delayCount * sizeof(float));
    }
    z[order] = 0.0f;
    *ppState = st;
    return iirInitTaps(pTaps, st);
}

Status iirInitTaps(const float *pTaps, IirState *pState)
{
    const int32_t n = pState->order;
    const float a0 = pTaps[n + 1];
    if (isZero(a0))
        return kErrDivByZero;
    // One division, then products: the runs never divide.
    const double r = 1.0 / static_cast<double>(a0);
    float *taps = arrayAt(pState, pState->taps);
    taps[0] = static_cast<float>(pTaps[0] * r);
    for (int32_t k = 1; k <= n; ++k)
    {
        taps[k] = static_cast<float>(pTaps[k] * r);
        taps[n + k] = static_cast<float>(pTaps[n + 1 + k] * r);
    }
    return kOk;
}

void iirRunArbitrary(const float *pSrc, float *pDst, int32_t len, IirState *pState)
{
    const int32_t n = pState->order;
    const float *b = arrayAt(pState, pState->taps);
    const float *a = b + n; // a[k] = a'k for k = 1..N
    float *z = arrayAt(pState, pState->delay);

    if (n == 1)
    {
        const double b0 = b[0], b1 = b[1], a1 = a[1];
        for (int32_t i = 0; i < len; ++i)
        {
            const double x = pSrc[i];
            const double y = b0 * x + z[0];
            z[0] = static_cast<float>(b1 * x - a1 * y);
            pDst[i] = static_cast<float>(y);
        }
        return;
    }

    // Two samples per pass over the delay line; inside a pair the delay elements between the two
    // samples stay in double and are never rounded to float.
    const int32_t pairs = len / 2;
    for (int32_t p = 0; p < pairs; ++p)
    {
        const double x0 = pSrc[2 * p];
        const double x1 = pSrc[2 * p + 1];
        const double y0 = b[0] * x0 + z[0];
        const double y1 = (b[1] * x0 + (b[0] * x1 + z[1])) - a[1] * y0;
        for (int32_t k = 0; k + 2 <= n; ++k)
        {
            z[k] = static_cast<float>((((b[k + 1] * x1 - a[k + 1] * y1) + b[k + 2] * x0) - a[k + 2] * y0) +
                                      z[k + 2]);
        }
        z[n - 1] = static_cast<float>(b[n] * x1 - a[n] * y1);
        pDst[2 * p] = static_cast<float>(y0);
        pDst[2 * p + 1] = static_cast<float>(y1);
    }
    if (len % 2 != 0)
    {
        const int32_t last = len - 1;
        pDst[last] = static_cast<float>(singleStep(b, a, z, n, pSrc[last]));
    }
}

void iirRunBiquad(const float *pSrc, float *pDst, int32_t len, IirState *pState)
{
    const int32_t sections = pState->order / 2;
    const float *taps = arrayAt(pState, pState->taps);
    float *delay = arrayAt(pState, pState->delay);
    for (int32_t i = 0; i < len; ++i)
    {
        double d = pSrc[i]; // the value between sections stays in double
        for (int32_t s = 0; s < sections; ++s)
        {
            const float *c = taps + 5 * static_cast<ptrdiff_t>(s);
            float *z = delay + 2 * static_cast<ptrdiff_t>(s);
            const double y = c[0] * d + z[0];
            z[0] = static_cast<float>((c[1] * d + z[1]) - c[3] * y);
            z[1] = static_cast<float>(c[2] * d - c[4] * y);
            d = y;
        }
        pDst[i] = static_cast<float>(d);
    }
}

Status iirFilterInPlace(float *pSrcDst, int32_t len, IirState *pState)
{
    if (pState == nullptr || pSrcDst == nullptr)
        return kErrNullPointer;
    if (len < 1)
        return kErrBadLength;
    return run(pSrcDst, pSrcDst, len, pState);
}

Status iirFilterF32(const float *src, float *dst, int32_t len, IirState *state)
{
    if (state == nullptr || src == nullptr || dst == nullptr)
        return kErrNullPointer;
    if (len < 1)
        return kErrBadLength;
    return run(src, dst, len, state);
}

Status iirBuildState(IirState **stateOut, const float *taps, int32_t order, const float *delay, uint32_t tag)
{
    if (tag != kIirTagTransfer)
        return kErrBadTag;
    int32_t size = 0;
    if (const Status s = iirGetStateSize(order, &size); s != kOk)
        return s;
    void *block = allocAligned(size);
    if (block == nullptr)
        return kErrNoMemory;
    IirState *st = nullptr;
    if (const Status s = iirInit(&st, taps, order, delay, block); s < 0)
    {
        freeAligned(block);
        return s;
    }
    st->ownsBuffer = 1;
    *stateOut = st;
    return kOk;
}

Status iirCreateF32(IirState **stateOut, const float *taps, int32_t order, const float *delay)
{
    if (taps == nullptr || stateOut == nullptr)
        return kErrNullPointer;
    if (order <= 0)
        return kErrIirOrder;
    return iirBuildState(stateOut, taps, order, delay, kIirTagTransfer);
}

Status iirFree(IirState *state)
{
    if (state == nullptr)
        return kErrNullPointer;
    if (state->tag != kIirTagTransfer && state->tag != kIirTagBiquad)
        return kErrBadTag;
    if (state->ownsBuffer != 0)
    {
        state->tag = 0;
        freeAligned(state);
    }
    return kOk;
}

} // namespace dsp::generic
