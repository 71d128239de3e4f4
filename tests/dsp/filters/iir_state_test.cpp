// IIR records: the size query, where iirInit puts the record and what it stores, and the checks
// that leave the caller's buffer alone.
#include <gtest/gtest.h>

#include <bit>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "support/dsp_test_support.h"
#include "dsp/filters/iir.h"

namespace
{

using namespace dsp;
using namespace dsp::generic;
using dsp::test::GuardedBuffer;

const float *tapsOf(const IirState *st)
{
    return reinterpret_cast<const float *>(reinterpret_cast<const unsigned char *>(st) + st->taps);
}
const float *delayOf(const IirState *st)
{
    return reinterpret_cast<const float *>(reinterpret_cast<const unsigned char *>(st) + st->delay);
}

// The generic layout's size, straight from its definition.
int64_t expectedSize(int64_t n)
{
    auto r16 = [](int64_t v) { return (v + 15) / 16 * 16; };
    return 48 + 16 + r16(8 * n + 4) + r16(4 * n + 4);
}

TEST(IirStateSize, GenericLayoutAndLimits)
{
    const int32_t want[] = {96, 112, 112, 144};
    for (int32_t order = 1; order <= 4; ++order)
    {
        int32_t size = -1;
        ASSERT_EQ(iirGetStateSize(order, &size), kOk);
        EXPECT_EQ(size, want[order - 1]) << order;
    }
    int32_t size = 12345;
    EXPECT_EQ(iirGetStateSize(0, &size), kErrIirOrder);
    EXPECT_EQ(iirGetStateSize(-3, &size), kErrIirOrder);
    EXPECT_EQ(iirGetStateSize(1, nullptr), kErrNullPointer);
    EXPECT_EQ(iirGetStateSize(0, nullptr), kErrNullPointer); // null before the order
    EXPECT_EQ(size, 12345);

    // The largest order whose buffer size fits 32 bits, and the first that does not: the sum
    // would wrap in 32-bit arithmetic into a short buffer.
    int64_t largest = 1;
    while (expectedSize(largest * 2) <= INT32_MAX)
        largest *= 2;
    for (int64_t step = largest / 2; step >= 1; step /= 2)
        if (expectedSize(largest + step) <= INT32_MAX)
            largest += step;
    ASSERT_EQ(iirGetStateSize(static_cast<int32_t>(largest), &size), kOk);
    EXPECT_EQ(size, expectedSize(largest));
    size = 7;
    EXPECT_EQ(iirGetStateSize(static_cast<int32_t>(largest + 1), &size), kErrIirOrder);
    EXPECT_EQ(iirGetStateSize(INT32_MAX, &size), kErrIirOrder);
    EXPECT_EQ(size, 7);
    // iirInit refuses the same orders before it reads a tap or touches the buffer.
    IirState *st = nullptr;
    float tap = 1.0f;
    unsigned char byte = 0x5A;
    EXPECT_EQ(iirInit(&st, &tap, INT32_MAX, nullptr, &byte), kErrIirOrder);
    EXPECT_EQ(iirInit(&st, &tap, static_cast<int32_t>(largest + 1), nullptr, &byte), kErrIirOrder);
    EXPECT_EQ(st, nullptr);
    EXPECT_EQ(byte, 0x5A);
}

TEST(IirInit, RecordPlacementInAMisalignedBuffer)
{
    for (int32_t order = 1; order <= 5; ++order)
    {
        int32_t size = 0;
        ASSERT_EQ(iirGetStateSize(order, &size), kOk);
        for (size_t offset : {0u, 4u, 8u, 12u, 1u})
        {
            GuardedBuffer buf(static_cast<size_t>(size), offset);
            std::vector<float> taps(2 * (order + 1), 0.5f);
            taps[order + 1] = 1.0f;
            IirState *st = nullptr;
            ASSERT_EQ(iirInit(&st, taps.data(), order, nullptr, buf.data()), kOk);
            const auto base = reinterpret_cast<uintptr_t>(buf.data());
            EXPECT_EQ(reinterpret_cast<uintptr_t>(st), (base + 15) & ~uintptr_t{15});
            EXPECT_TRUE(buf.guardsIntact()) << "order " << order << " offset " << offset;
            // Everything the record uses lies inside the reported size.
            const auto end = reinterpret_cast<uintptr_t>(delayOf(st) + order + 1);
            EXPECT_LE(end, base + static_cast<uintptr_t>(size));
            EXPECT_EQ(st->tag, kIirTagTransfer);
            EXPECT_EQ(st->order, order);
            EXPECT_EQ(st->sections, 0);
            EXPECT_EQ(st->ownsBuffer, 0);
            EXPECT_EQ(st->taps, 48);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(delayOf(st)) % 16, 0u);
        }
    }
}

TEST(IirInit, NormalisedTapsAndDelayLine)
{
    alignas(16) unsigned char buf[256];
    IirState *st = nullptr;
    // Order 1: three stored taps and z1 = +0.0.
    const float t1[] = {0.7f, -0.3f, 3.0f, 1.1f};
    ASSERT_EQ(iirInit(&st, t1, 1, nullptr, buf), kOk);
    EXPECT_F32_ULPS(static_cast<float>(0.7f / 3.0), tapsOf(st)[0], 1);
    EXPECT_F32_ULPS(static_cast<float>(-0.3f / 3.0), tapsOf(st)[1], 1);
    EXPECT_F32_ULPS(static_cast<float>(1.1f / 3.0), tapsOf(st)[2], 1);
    EXPECT_F32_BITS(0u, delayOf(st)[0]);
    EXPECT_F32_BITS(0u, delayOf(st)[1]);

    // A given delay line is stored unscaled; the element after it is +0.0.
    std::memset(buf, 0xEE, sizeof buf);
    const float z[] = {-0.0f, 2.5f, 1e-40f};
    const float t3[] = {1, 2, 3, 4, 2.0f, -6, 8, -0.5f};
    ASSERT_EQ(iirInit(&st, t3, 3, z, buf), kOk);
    EXPECT_F32_ARRAY_SAME(z, delayOf(st), 3);
    EXPECT_F32_BITS(0u, delayOf(st)[3]);
    // a0 = 2 halves every stored tap, numerator and denominator alike.
    const float halves[] = {0.5f, 1.0f, 1.5f, 2.0f, -3.0f, 4.0f, -0.25f};
    EXPECT_F32_ARRAY_SAME(halves, tapsOf(st), 7);

    // A NaN a0 is not refused: every tap becomes NaN.
    const float tn[] = {1, 2, 3, std::bit_cast<float>(0x7FC00000u), 5, 6};
    ASSERT_EQ(iirInit(&st, tn, 2, nullptr, buf), kOk);
    for (int i = 0; i < 5; ++i)
        EXPECT_TRUE(std::isnan(tapsOf(st)[i])) << i;
}

TEST(IirInit, RejectedCallsLeaveBufferAndPointerAlone)
{
    int32_t size = 0;
    ASSERT_EQ(iirGetStateSize(3, &size), kOk);
    GuardedBuffer buf(static_cast<size_t>(size), 8, 0x3C);
    const auto before = buf.snapshot();
    auto *sentinel = reinterpret_cast<IirState *>(uintptr_t{0x1234560});
    IirState *st = sentinel;
    const float taps[] = {1, 2, 3, 4, 0.0f, 1, 2, 3};
    const float negZero[] = {1, 2, 3, 4, -0.0f, 1, 2, 3};
    const float good[] = {1, 2, 3, 4, 1.0f, 0, 0, 0};

    // A zero a0 is refused before anything is written: no half-built record to be run later.
    EXPECT_EQ(iirInit(&st, taps, 3, nullptr, buf.data()), kErrDivByZero);
    EXPECT_EQ(iirInit(&st, negZero, 3, nullptr, buf.data()), kErrDivByZero);
    // Null pointers come before the order check.
    EXPECT_EQ(iirInit(nullptr, good, 3, nullptr, buf.data()), kErrNullPointer);
    EXPECT_EQ(iirInit(&st, nullptr, 0, nullptr, buf.data()), kErrNullPointer);
    EXPECT_EQ(iirInit(&st, good, -1, nullptr, nullptr), kErrNullPointer);
    EXPECT_EQ(iirInit(&st, good, 0, nullptr, buf.data()), kErrIirOrder);
    EXPECT_EQ(iirInit(&st, good, -7, nullptr, buf.data()), kErrIirOrder);
    EXPECT_EQ(st, sentinel);
    EXPECT_TRUE(buf.unchangedSince(before));

    // iirInitTaps alone on a built record: a zero a0 writes no tap.
    ASSERT_EQ(iirInit(&st, good, 3, nullptr, buf.data()), kOk);
    std::vector<float> stored(tapsOf(st), tapsOf(st) + 7);
    EXPECT_EQ(iirInitTaps(taps, st), kErrDivByZero);
    EXPECT_F32_ARRAY_SAME(stored.data(), tapsOf(st), 7);
}

} // namespace
