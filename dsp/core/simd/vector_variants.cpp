// The fast variants' entries: the generic checks, then the kernel of their level. Compiled with no
// instruction-set attribute: only the kernels in the *_sse*.cpp files carry one.
#include "dsp/core/simd/vector_variants.h"

#if defined(__x86_64__) || defined(__i386__)

#include <climits>
#include <cstddef>
#include <cstring>

#include "dsp/core/checks.h"
#include "dsp/core/convert.h"
#include "dsp/core/simd/simd_kernels.h"
#include "dsp/core/vector.h"

namespace dsp::simd
{

namespace
{

// Last-level cache sizes by leaf-2 descriptor, largest first; a code is a size of
// (high nibble) << (low nibble + 18) bytes.
constexpr int32_t cacheBytes(uint8_t code)
{
    return int32_t(code >> 4) << ((code & 15) + 18);
}

constexpr uint8_t k16M = 0x16, k12M = 0x34, k8M = 0x15, k6M = 0x33, k4M = 0x14, k3M = 0x32, k2M = 0x13,
                  k1M = 0x12, k512K = 0x11;

constexpr CacheDescriptor kFillCacheTable[] = {{0x4d, cacheBytes(k16M)},
                                               {0x4c, cacheBytes(k12M)},
                                               {0x4b, cacheBytes(k8M)},
                                               {0x47, cacheBytes(k8M)},
                                               {0x4e, cacheBytes(k6M)},
                                               {0x4a, cacheBytes(k6M)},
                                               {0x49, cacheBytes(k4M)},
                                               {0x29, cacheBytes(k4M)},
                                               {0x46, cacheBytes(k4M)},
                                               {0x48, cacheBytes(k3M)},
                                               {0x25, cacheBytes(k2M)},
                                               {0x7d, cacheBytes(k2M)},
                                               {0x85, cacheBytes(k2M)},
                                               {0x45, cacheBytes(k2M)},
                                               {0x23, cacheBytes(k1M)},
                                               {0x87, cacheBytes(k1M)},
                                               {0x7c, cacheBytes(k1M)},
                                               {0x78, cacheBytes(k1M)},
                                               {0x84, cacheBytes(k1M)},
                                               {0x44, cacheBytes(k1M)},
                                               {0x22, cacheBytes(k512K)},
                                               {0x7b, cacheBytes(k512K)},
                                               {0x80, cacheBytes(k512K)},
                                               {0x86, cacheBytes(k512K)},
                                               {0x3e, cacheBytes(k512K)},
                                               {0x7f, cacheBytes(k512K)},
                                               {0x83, cacheBytes(k512K)},
                                               {0x43, cacheBytes(k512K)},
                                               {0, 0}};
static_assert(sizeof kFillCacheTable / sizeof kFillCacheTable[0] == 29, "28 descriptors and the end mark");
static_assert(cacheBytes(k16M) == 16 << 20 && cacheBytes(k12M) == 12 << 20 && cacheBytes(k6M) == 6 << 20 &&
              cacheBytes(k3M) == 3 << 20 && cacheBytes(k512K) == 512 << 10);

constexpr int32_t kWideFillNormalUpTo = 262144; // words: 1 MiB

bool overlaps(const void *a, const void *b, size_t bytes)
{
    const uintptr_t x = reinterpret_cast<uintptr_t>(a);
    const uintptr_t y = reinterpret_cast<uintptr_t>(b);
    return x < y + bytes && y < x + bytes;
}

} // namespace

bool wideFillStreams(int32_t count, CpuidRecord (*read)())
{
    if (count <= kWideFillNormalUpTo)
        return false;
    const CpuidRecord cpu = read();
    if (!isReferenceVendor(cpu))
        return false;
    const int32_t size = cacheSizeFromDescriptors(kFillCacheTable, cpu);
    return size > 0 && count > size / 4;
}

namespace
{

Status fill(uint32_t value, void *dst, int32_t len, bool slot1)
{
    if (Status s = detail::checkArgs(len, dst))
        return s;
    if (slot1)
        fillHalvesKernelSse(value, dst, len, len > kSlot1StreamAbove);
    else
        fillKernelSse(value, dst, len, wideFillStreams(len, &readCpuid));
    return kOk;
}

// The generic copy is a move; so is an overlapping copy here.
Status copy(const float *src, float *dst, int32_t len, bool slot1)
{
    if (Status s = detail::checkArgs(len, src, dst))
        return s;
    if (overlaps(src, dst, size_t(len) * 4))
        return generic::copyF32(src, dst, len);
    (slot1 ? copyThreeSizesSse : copyKernelSse)(src, dst, len);
    return kOk;
}

using BinaryKernel = void (*)(const float *, const float *, float *, int32_t, int32_t);

Status binary(BinaryKernel kernel, const float *a, const float *b, float *r, int32_t len,
              int32_t streamBlocks)
{
    if (Status s = detail::checkArgs(len, a, b, r))
        return s;
    kernel(a, b, r, len, streamBlocks);
    return kOk;
}

// Multiplication never streams: its results are usually read again at once.
constexpr int32_t kNoStream = INT32_MAX;

} // namespace

} // namespace dsp::simd

#define DSP_DEFINE_FILL_ARITHMETIC(ns, slot1, streamBlocks)                                                  \
    namespace dsp::ns                                                                                        \
    {                                                                                                        \
    Status zeroF32(float *dst, int32_t len)                                                                  \
    {                                                                                                        \
        return simd::fill(0, dst, len, slot1);                                                               \
    }                                                                                                        \
    Status setF32(uint32_t value, void *dst, int32_t len)                                                    \
    {                                                                                                        \
        return simd::fill(value, dst, len, slot1);                                                           \
    }                                                                                                        \
    Status copyF32(const float *src, float *dst, int32_t len)                                                \
    {                                                                                                        \
        return simd::copy(src, dst, len, slot1);                                                             \
    }                                                                                                        \
    Status addF32(const float *a, const float *b, float *r, int32_t len)                                     \
    {                                                                                                        \
        return simd::binary(&simd::addKernelSse, a, b, r, len, streamBlocks);                                \
    }                                                                                                        \
    Status subF32(const float *a, const float *b, float *r, int32_t len)                                     \
    {                                                                                                        \
        return simd::binary(&simd::subKernelSse, a, b, r, len, streamBlocks);                                \
    }                                                                                                        \
    Status mulF32(const float *a, const float *b, float *r, int32_t len)                                     \
    {                                                                                                        \
        return simd::binary(&simd::mulKernelSse, a, b, r, len, simd::kNoStream);                             \
    }                                                                                                        \
    Status mulInPlaceF32(const float *a, float *b, int32_t len)                                              \
    {                                                                                                        \
        return simd::binary(&simd::mulKernelSse, a, b, b, len, simd::kNoStream);                             \
    }                                                                                                        \
    }

DSP_DEFINE_FILL_ARITHMETIC(sse, true, 5461)
DSP_DEFINE_FILL_ARITHMETIC(sse2, false, 10922)

namespace dsp::sse
{

namespace
{

// The generic checks on the pointers and the length, then the body's status.
template <class Body, class... P> Status checkedThen(int32_t len, Body body, const P *...ptrs)
{
    if (Status s = detail::checkArgs(len, ptrs...))
        return s;
    return body();
}

} // namespace

Status sqrtInPlaceF32(float *buf, int32_t len)
{
    return checkedThen(
        len, [&] { return simd::sqrtKernelSse(buf, len) ? kWarnSqrtNegative : kOk; }, buf);
}

Status absInPlaceF32(float *buf, int32_t len)
{
    return checkedThen(
        len, [&] { return simd::absKernelSse(buf, len), kOk; }, buf);
}

Status sqrF32(const float *src, float *dst, int32_t len)
{
    return checkedThen(
        len, [&] { return simd::sqrKernelSse(src, dst, len), kOk; }, src, dst);
}

// An overlapping reversal is the generic one's: a move first, then the reversal in place.
Status reverseCopy32(const void *src, void *dst, int32_t len)
{
    return checkedThen(
        len,
        [&]
        {
            if (simd::overlaps(src, dst, size_t(len) * 4))
                return generic::reverseCopy32(src, dst, len);
            return simd::reverseKernelSse(src, dst, len), kOk;
        },
        src, dst);
}

// The lanes decide unless a NaN or a zero extreme needs the first-wins walk.
Status maxF32(const float *src, int32_t len, float *out)
{
    return checkedThen(
        len, [&] { return simd::maxLanesSse(src, len, out) ? kOk : generic::maxF32(src, len, out); }, src,
        out);
}

Status minF32(const float *src, int32_t len, float *out)
{
    return checkedThen(
        len, [&] { return simd::minLanesSse(src, len, out) ? kOk : generic::minF32(src, len, out); }, src,
        out);
}

Status minEveryInPlaceF32(const float *a, float *b, int32_t len)
{
    return checkedThen(
        len, [&] { return simd::minEveryKernelSse(a, b, len), kOk; }, a, b);
}

Status maxEveryInPlaceF32(const float *a, float *b, int32_t len)
{
    return checkedThen(
        len, [&] { return simd::maxEveryKernelSse(a, b, len), kOk; }, a, b);
}

Status divF32(const float *a, const float *b, float *r, int32_t len)
{
    return checkedThen(
        len, [&] { return simd::divKernelSse(a, b, r, len) ? kWarnDivByZero : kOk; }, a, b, r);
}

Status upsampleF32(const float *src, int32_t len, float *dst, int32_t *outCount, int32_t factor,
                   const int32_t *phase)
{
    if (Status s = detail::checkRate(src, len, dst, outCount, factor, phase))
        return s;
    const int64_t total = int64_t(len) * factor;
    if (total > INT32_MAX)
        return kErrBadLength;
    *outCount = int32_t(total);
    if (factor == 1)
        return generic::copyF32(src, dst, len);
    simd::upsampleKernelSse(src, len, dst, factor, *phase);
    return kOk;
}

Status downsampleF32(const float *src, int32_t len, float *dst, int32_t *outCount, int32_t factor,
                     int32_t *phase)
{
    if (Status s = detail::checkRate(src, len, dst, outCount, factor, phase))
        return s;
    if (factor == 1)
    {
        *outCount = len;
        return generic::copyF32(src, dst, len);
    }
    const int32_t count = simd::downsampleKernelSse(src, len, dst, factor, *phase);
    *outCount = count;
    *phase = int32_t(*phase + int64_t(count) * factor - len);
    return kOk;
}

} // namespace dsp::sse

namespace dsp::sse41
{

Status divF32(const float *a, const float *b, float *r, int32_t len)
{
    if (Status s = detail::checkArgs(len, a, b, r))
        return s;
    return simd::divKernelSse41(a, b, r, len) ? kWarnDivByZero : kOk;
}

} // namespace dsp::sse41

namespace dsp::simd
{

namespace
{

// Packed spectra: element 0 (and for an even length element 1) as plain reals, the pairs after
// them by the level's pair kernel.
Status packedProduct(void (*pairs)(const float *, const float *, float *, int32_t), const float *a,
                     const float *b, float *out, int32_t len)
{
    if (Status s = detail::checkArgs(len, a, b, out))
        return s;
    int32_t first = 1;
    if (len % 2 == 0)
    {
        float a1, b1;
        std::memcpy(&a1, a + 1, 4);
        std::memcpy(&b1, b + 1, 4);
        const float re1 = a1 * b1;
        std::memcpy(out + 1, &re1, 4);
        first = 2;
    }
    float a0, b0;
    std::memcpy(&a0, a, 4);
    std::memcpy(&b0, b, 4);
    const float re0 = a0 * b0;
    std::memcpy(out, &re0, 4);
    if (len - first >= 2)
        pairs(a + first, b + first, out + first, (len - first) / 2);
    return kOk;
}

// Fewer than four elements take the generic path, as the generic implementation does itself.
Status expWith(void (*kernel)(float *, int32_t), float *buf, int32_t len)
{
    if (Status s = detail::checkArgs(len, buf))
        return s;
    if (len < 4)
        return generic::expInPlaceF32(buf, len);
    kernel(buf, len);
    return kOk;
}

// The method the hint selects: the blockwise sum for 1, the eight-way sum for anything else.
double sumWithHint(const float *src, int32_t len, int32_t hint)
{
    return hint == 1 ? sumBlockwiseSse2(src, len) : sumEightWaySse2(src, len);
}

} // namespace

} // namespace dsp::simd

namespace dsp::sse2
{

Status addProductF32(const float *a, const float *b, float *r, int32_t len)
{
    if (Status s = detail::checkArgs(len, a, b, r))
        return s;
    simd::addProductKernelSse2(a, b, r, len);
    return kOk;
}

Status addProductConstF32(const float *a, float c, float *r, int32_t len)
{
    if (Status s = detail::checkArgs(len, a, r))
        return s;
    simd::addProductConstKernelSse2(a, c, r, len);
    return kOk;
}

Status mulPackSpectrum(const float *a, const float *b, float *out, int32_t len)
{
    return simd::packedProduct(&simd::mulPackPairsSse2, a, b, out, len);
}

Status expInPlaceF32(float *buf, int32_t len)
{
    return simd::expWith(&simd::expKernelSse2, buf, len);
}

Status lnInPlaceF32(float *buf, int32_t len)
{
    if (Status s = detail::checkArgs(len, buf))
        return s;
    const int32_t flag = simd::lnKernelSse2(buf, len);
    return flag == 2 ? kWarnLnZero : flag == 4 ? kWarnLnNegative : kOk;
}

Status sumF32(const float *src, int32_t len, float *out, int32_t hint)
{
    if (Status s = detail::checkArgs(len, src, out))
        return s;
    const float sum = float(simd::sumWithHint(src, len, hint));
    std::memcpy(out, &sum, 4);
    return kOk;
}

Status meanF32(const float *src, int32_t len, float *out, int32_t hint)
{
    if (Status s = detail::checkArgs(len, src, out))
        return s;
    const float mean = float(simd::sumWithHint(src, len, hint) / double(len));
    std::memcpy(out, &mean, 4);
    return kOk;
}

} // namespace dsp::sse2

namespace dsp::sse3
{

Status mulPackSpectrum(const float *a, const float *b, float *out, int32_t len)
{
    return simd::packedProduct(&simd::mulPackPairsSse3, a, b, out, len);
}

} // namespace dsp::sse3

namespace dsp::simd
{

namespace
{

using InterleaveKernel = void (*)(const uint32_t *, const uint32_t *, int32_t, uint32_t *);
using DeinterleaveKernel = void (*)(const uint32_t *, int32_t, uint32_t *, uint32_t *);

// Stereo, the stream paths' common layout, has the vector form; other channel counts are the
// generic loops.
Status interleaveWith(InterleaveKernel kernel, const uint32_t *const *planes, int32_t channels, int32_t len,
                      uint32_t *dst)
{
    if (channels != 2)
        return generic::interleave32(planes, channels, len, dst);
    bool warn = false;
    if (Status s = detail::checkLayout(planes, dst, channels, len, &warn))
        return s;
    kernel(planes[0], planes[1], len, dst);
    return warn ? kWarnMisaligned : kOk;
}

Status deinterleaveWith(DeinterleaveKernel kernel, const uint32_t *src, int32_t channels, int32_t len,
                        uint32_t *const *planes)
{
    if (channels != 2)
        return generic::deinterleave32(src, channels, len, planes);
    bool warn = false;
    if (Status s = detail::checkLayout(planes, src, channels, len, &warn))
        return s;
    kernel(src, len, planes[0], planes[1]);
    return warn ? kWarnMisaligned : kOk;
}

} // namespace

} // namespace dsp::simd

namespace dsp::sse
{

Status interleave32(const uint32_t *const *planes, int32_t channels, int32_t len, uint32_t *dst)
{
    return simd::interleaveWith(&simd::interleave2Sse, planes, channels, len, dst);
}

Status deinterleave32(const uint32_t *src, int32_t channels, int32_t len, uint32_t *const *planes)
{
    return simd::deinterleaveWith(&simd::deinterleave2Sse, src, channels, len, planes);
}

} // namespace dsp::sse

namespace dsp::ssse3
{

Status interleave32(const uint32_t *const *planes, int32_t channels, int32_t len, uint32_t *dst)
{
    return simd::interleaveWith(&simd::interleave2Ssse3, planes, channels, len, dst);
}

Status deinterleave32(const uint32_t *src, int32_t channels, int32_t len, uint32_t *const *planes)
{
    return simd::deinterleaveWith(&simd::deinterleave2Ssse3, src, channels, len, planes);
}

} // namespace dsp::ssse3

namespace dsp::sse41
{

Status expInPlaceF32(float *buf, int32_t len)
{
    return simd::expWith(&simd::expKernelSse41, buf, len);
}

} // namespace dsp::sse41

#endif
