// The IIR stubs and stubless rows reach the generic implementations at every variant index.
#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "dsp/dispatch/primitives.h"
#include "support/dsp_test_support.h"
#include "dsp/filters/iir.h"

namespace
{

using namespace dsp;

const std::vector<float> kTaps = {0.2f, 0.1f, 0.05f, 2.0f, -0.4f, 0.1f};

TEST(IirStubs, CreateFilterFreeAndRowsAtEveryVariantIndex)
{
    const std::vector<float> x = {1.0f, -0.5f, 0.25f, 0.0f, 3.0f};
    std::vector<float> want(x.size());
    {
        IirState *st = nullptr;
        ASSERT_EQ(generic::iirCreateF32(&st, kTaps.data(), 2, nullptr), kOk);
        ASSERT_EQ(generic::iirFilterF32(x.data(), want.data(), 5, st), kOk);
        ASSERT_EQ(generic::iirFree(st), kOk);
    }
    for (uint32_t index = 0; index <= test::testMaxVariant(); ++index)
    {
        test::ScopedAllocHooks pool;
        std::optional<test::ScopedVariantIndex> at(index);
        IirState *st = nullptr;
        EXPECT_EQ(dsp::iirCreateF32(&st, kTaps.data(), 2, nullptr), kOk);
        std::vector<float> y(x.size());
        EXPECT_EQ(dsp::iirFilterF32(x.data(), y.data(), 5, st), kOk);
        EXPECT_EQ(dsp::iirFilterF32(x.data(), y.data(), 0, st), kErrBadLength);
        EXPECT_EQ(dsp::iirFree(st), kOk);
        EXPECT_EQ(dsp::iirFree(nullptr), kErrNullPointer);

        // The stubless rows: size query, caller-buffer initialisation, in-place filtering.
        int32_t size = 0;
        EXPECT_EQ(VariantTableA.iirStateSizeF32[index](2, &size), kOk);
        EXPECT_EQ(size, 112);
        alignas(16) unsigned char buf[112];
        IirState *local = nullptr;
        EXPECT_EQ(VariantTableA.iirInitBufF32[index](&local, kTaps.data(), 2, nullptr, buf), kOk);
        std::vector<float> z = x;
        EXPECT_EQ(VariantTableA.iirFilterBufF32[index](z.data(), 5, local), kOk);
        at.reset();

        EXPECT_F32_ARRAY_SAME(want.data(), y.data(), 5);
        EXPECT_F32_ARRAY_SAME(want.data(), z.data(), 5);
        EXPECT_EQ(pool.allocations(), 1);
        EXPECT_TRUE(pool.balanced());
    }
    DSP_SKIP_UNSUPPORTED_VARIANTS();
}

} // namespace
