// Copy, zero and the constant operations: the shortcuts' exact bit patterns, division by a
// rounded reciprocal, byte-level work at any alignment, and moves over overlapping ranges.
#include <numeric>
#include <vector>

#include "dsp/core/vector.h"
#include "support/dsp_test_support.h"

namespace
{

using namespace dsp::test;
namespace generic = dsp::generic;

constexpr uint32_t kNegZero = 0x80000000u, kInf = 0x7F800000u, kNegInf = 0xFF800000u, kMinus3 = 0xC0400000u,
                   kSNaN = 0x7FA00001u, kQNaN = 0x7FC00000u;

// Runs an in-place constant operation over the given patterns; returns status and result.
template <class Op> std::pair<dsp::Status, Words> constOp(Op op, float c, std::initializer_list<uint32_t> in)
{
    std::vector<float> v = floatsOf(in);
    const dsp::Status s = op(c, v.data(), int32_t(v.size()));
    return {s, wordsOf(v)};
}

TEST(DivConst, ReciprocalRoundedOnceThenMultiplied)
{
    // 5 * r with r = 0.3333333432674408: one ulp above the correctly rounded 5 / 3.
    EXPECT_EQ(constOp(generic::divConstInPlaceF32, 3.0f, {f32Bits(5.0f)}).second,
              (Words{f32Bits(1.6666667461395264f)}));
    // 1 * r shows r = 7.629394644936838e-07 itself.
    EXPECT_EQ(constOp(generic::divConstInPlaceF32, 1310720.0f,
                      {f32Bits(1310720.0f), f32Bits(-3.0f * 1310720.0f), f32Bits(65536.0f), f32Bits(1.0f)}),
              std::make_pair(dsp::kOk, Words{f32Bits(1.0f), kMinus3, f32Bits(0.05000000074505806f),
                                             f32Bits(7.629394644936838e-07f)}));
    // A power of two scales exactly, into the subnormals too.
    EXPECT_EQ(constOp(generic::divConstInPlaceF32, 8388608.0f, {0x00800000u}).second, (Words{1}));
    for (float zero : {0.0f, -0.0f})
        EXPECT_EQ(constOp(generic::divConstInPlaceF32, zero, {kSNaN, kNegZero, 5}),
                  std::make_pair(dsp::kErrDivByZero, Words{kSNaN, kNegZero, 5}));
    auto [status, nan] = constOp(generic::divConstInPlaceF32, f32FromBits(kQNaN), {0, kInf, kMinus3});
    EXPECT_EQ(status, dsp::kOk);
    for (uint32_t b : nan.w)
        EXPECT_TRUE((b & 0x7FFFFFFFu) > kInf) << std::hex << b;
    // +-inf: r = +-0, which zeroes with +0.0 even where x * -0 would give -0.
    for (uint32_t c : {kInf, kNegInf})
        EXPECT_EQ(constOp(generic::divConstInPlaceF32, f32FromBits(c), {kMinus3, 7, kNegZero}).second,
                  (Words{0, 0, 0}));
    // A subnormal constant's reciprocal overflows to inf.
    EXPECT_EQ(constOp(generic::divConstInPlaceF32, f32FromBits(0x10), {f32Bits(1.0f), kMinus3}).second,
              (Words{kInf, kNegInf}));
}

TEST(ConstOps, ShortcutsAndSubnormals)
{
    const std::initializer_list<uint32_t> odd = {kMinus3, kInf, kQNaN, kNegZero, 0x80000001u};
    for (float zero : {0.0f, -0.0f})
        EXPECT_EQ(constOp(generic::mulConstInPlaceF32, zero, odd).second, (Words{0, 0, 0, 0, 0}));
    EXPECT_EQ(constOp(generic::mulConstInPlaceF32, 1.0f, {kSNaN, kNegZero}).second, (Words{kSNaN, kNegZero}))
        << "nothing written: the NaN stays signalling";
    for (float zero : {0.0f, -0.0f})
        EXPECT_EQ(constOp(generic::addConstInPlaceF32, zero, {kNegZero, kSNaN, 1}).second,
                  (Words{kNegZero, kSNaN, 1}))
            << "plain -0 + +0 would give +0";
    // Gradual underflow: 3 * 2^-149 * 0.5 ties to even at 2 * 2^-149.
    EXPECT_EQ(constOp(generic::mulConstInPlaceF32, 0.5f, {3, 0x00400001u, 0x807FFFFFu}).second,
              (Words{2, 0x00200000u, 0x80400000u}));
    EXPECT_EQ(constOp(generic::divConstInPlaceF32, 2.0f, {6}).second, (Words{3}));
    EXPECT_EQ(constOp(generic::addConstInPlaceF32, f32FromBits(0x80000002u), {5}).second, (Words{3}));
    EXPECT_EQ(constOp(generic::addConstInPlaceF32, 0.5f, {kNegZero}).second, (Words{f32Bits(0.5f)}));

    // Out of place: c = 1 copies bits, c = 0 writes +0.0, anything else is arithmetic.
    const std::vector<float> src = floatsOf({kSNaN, kNegZero, kMinus3});
    std::vector<float> dst(3, 1.0f);
    EXPECT_EQ(generic::mulConstF32(src.data(), 1.0f, dst.data(), 3), dsp::kOk);
    EXPECT_EQ(wordsOf(dst), wordsOf(src));
    generic::mulConstF32(src.data(), -0.0f, dst.data(), 3);
    EXPECT_EQ(wordsOf(dst), (Words{0, 0, 0}));
    generic::mulConstF32(src.data() + 1, -0.5f, dst.data(), 2);
    EXPECT_EQ(wordsOf(dst.data(), 2), (Words{0, f32Bits(1.5f)}));
    std::vector<float> same = src;
    EXPECT_EQ(generic::mulConstF32(same.data(), 1.0f, same.data(), 3), dsp::kOk);
    EXPECT_EQ(wordsOf(same), wordsOf(src));
}

TEST(ZeroCopySet, ByteExactAtAnyAlignment)
{
    for (size_t offset : {0u, 1u, 2u, 3u})
    {
        GuardedBuffer buf(7 * 4, offset);
        std::memset(buf.data(), 0xFF, buf.size());
        EXPECT_EQ(generic::zeroF32(buf.as<float>(), 7), dsp::kOk);
        EXPECT_EQ(std::vector<unsigned char>(buf.data(), buf.data() + 28), std::vector<unsigned char>(28, 0));
        EXPECT_TRUE(buf.guardsIntact()) << "offset " << offset;

        const std::vector<float> src = floatsOf({kSNaN, kNegZero, 1, kNegInf, 0xDEADBEEFu});
        GuardedBuffer copy(5 * 4, offset);
        EXPECT_EQ(generic::copyF32(src.data(), copy.as<float>(), 5), dsp::kOk);
        EXPECT_EQ(wordsOf(copy.as<float>(), 5), wordsOf(src));
        EXPECT_TRUE(copy.guardsIntact());

        GuardedBuffer set(5 * 4, offset);
        EXPECT_EQ(generic::setF32(0xFFC00000u, set.data(), 5), dsp::kOk);
        EXPECT_EQ(wordsOf(set.as<float>(), 5),
                  (Words{0xFFC00000u, 0xFFC00000u, 0xFFC00000u, 0xFFC00000u, 0xFFC00000u}));
        EXPECT_TRUE(set.guardsIntact());
    }
    unsigned char bytes[13] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}, out[13] = {};
    EXPECT_EQ(generic::copyBytes(bytes + 1, out + 3, 9), out + 3);
    EXPECT_EQ(std::memcmp(out + 3, bytes + 1, 9), 0);
    EXPECT_EQ(out[2] + out[12], 0);
    EXPECT_EQ(generic::copyBytes(bytes, out, -4), out);
    EXPECT_EQ(out[0], 0);
}

// dst must end up holding what src held, whichever way the ranges overlap.
TEST(ZeroCopySet, OverlappingMovesAndReversals)
{
    using Op = dsp::Status (*)(const float *, float *, int32_t);
    for (int shift : {-5, -3, -1, 0, 1, 3, 5})
    {
        for (Op op : {Op(&generic::copyF32), Op(&generic::copyF32Bytewise)})
        {
            std::vector<float> buf(20);
            std::iota(buf.begin(), buf.end(), 100.0f);
            const std::vector<float> expected(buf.begin() + 5, buf.begin() + 15);
            EXPECT_EQ(op(buf.data() + 5, buf.data() + 5 + shift, 10), dsp::kOk);
            EXPECT_EQ(std::vector<float>(buf.begin() + 5 + shift, buf.begin() + 15 + shift), expected)
                << "shift " << shift;
        }
        for (int len : {1, 2, 7, 10})
        {
            std::vector<float> buf(20);
            std::iota(buf.begin(), buf.end(), 1.0f);
            const std::vector<float> reversed(buf.rbegin() + 10 - len + 5, buf.rend() - 5);
            EXPECT_EQ(generic::reverseCopy32(buf.data() + 5, buf.data() + 5 + shift, len), dsp::kOk);
            EXPECT_EQ(std::vector<float>(buf.begin() + 5 + shift, buf.begin() + 5 + shift + len), reversed)
                << "shift " << shift << " len " << len << (shift == 0 ? ": no palindrome in place" : "");
        }
    }
    const std::vector<float> words = floatsOf({kSNaN, kNegZero, 0xDEADBEEFu});
    GuardedBuffer out(12, 1);
    EXPECT_EQ(generic::reverseCopy32(words.data(), out.data(), 3), dsp::kOk);
    EXPECT_EQ(wordsOf(out.as<float>(), 3), (Words{0xDEADBEEFu, kNegZero, kSNaN}));
    EXPECT_TRUE(out.guardsIntact());
}

} // namespace
