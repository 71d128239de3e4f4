// FFT specs: byte counts against the published values, check order, table contents against
// exact expectations and long-double trigonometry, and init's promises about memory (aligned
// placement, no write past the queried sizes, nothing written when it refuses).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "support/dsp_test_support.h"
#include "fft_oracle.h"

namespace
{

using namespace fft_test;
using dsp::test::GuardedBuffer;

struct Sizes
{
    int32_t spec, init, work;
    bool operator==(const Sizes &) const = default;
};

void PrintTo(const Sizes &s, std::ostream *os)
{
    *os << s.spec << "/" << s.init << "/" << s.work;
}

Sizes realSizes(int32_t order, int32_t flag = 8)
{
    Sizes s{-1, -1, -1};
    EXPECT_EQ(generic::fftRealGetSize(order, flag, 0, &s.spec, &s.init, &s.work), 0) << order;
    return s;
}

Sizes complexSizes(int32_t order, int32_t flag = 8)
{
    Sizes s{-1, -1, -1};
    EXPECT_EQ(generic::complexFftSpecSize(order, flag, 0, &s.spec, &s.init, &s.work), 0) << order;
    return s;
}

const int32_t kFlags[] = {1, 2, 4, 8};

TEST(FftSizes, PublishedByteCounts)
{
    for (int32_t order = 0; order <= 3; ++order)
    {
        EXPECT_EQ(realSizes(order), (Sizes{116, 0, 0}));
        EXPECT_EQ(complexSizes(order), (Sizes{116, 0, 0}));
    }
    const int32_t realDirect[] = {320, 448, 736, 1280, 2368, 4544, 8896};
    const int32_t complexDirect[] = {320, 480, 768, 1344, 2496, 4800, 9408};
    for (int32_t order = 4; order <= 10; ++order)
    {
        EXPECT_EQ(realSizes(order), (Sizes{realDirect[order - 4], 0, 0}));
        EXPECT_EQ(complexSizes(order), (Sizes{complexDirect[order - 4], 0, 0}));
    }
    EXPECT_EQ(realSizes(11), (Sizes{17600, 2112, 0}));
    EXPECT_EQ(realSizes(12), (Sizes{30912, 4160, 0}));
    EXPECT_EQ(realSizes(13), (Sizes{53440, 8256, 0}));
    EXPECT_EQ(realSizes(14), (Sizes{141792, 17536, 1056}));
    // The split of complex order 13 gathers four columns of 32 points: 32 * 32 + 32 bytes.
    EXPECT_EQ(complexSizes(13), (Sizes{76256, 9344, 1056}));
    // The largest order served still fits int32.
    EXPECT_EQ(realSizes(27).spec, 1141387520);
    EXPECT_EQ(complexSizes(27).spec, 1209022720);

    for (int32_t order = 0; order <= 27; ++order)
        for (int32_t flag : kFlags)
        {
            EXPECT_EQ(realSizes(order, flag), realSizes(order)) << order << " flag " << flag;
            EXPECT_EQ(complexSizes(order, flag), complexSizes(order)) << order << " flag " << flag;
        }
}

TEST(FftSizes, RefusalsInCheckOrder)
{
    int32_t a = 7, b = 7, c = 7;
    for (auto query : {generic::fftRealGetSize, generic::complexFftSpecSize})
    {
        EXPECT_EQ(query(-1, 8, 0, &a, &b, &c), -15);
        EXPECT_EQ(query(31, 8, 0, &a, &b, &c), -15);
        // 28..30 would wrap the int32 counts.
        for (int32_t order = 28; order <= 30; ++order)
            EXPECT_EQ(query(order, 8, 0, &a, &b, &c), -15);
        for (int32_t flag : {0, 3, 16, -1})
            EXPECT_EQ(query(5, flag, 0, &a, &b, &c), -16);
        EXPECT_EQ(query(5, 8, 0, nullptr, &b, &c), -8);
        EXPECT_EQ(query(5, 8, 0, &a, nullptr, &c), -8);
        EXPECT_EQ(query(5, 8, 0, &a, &b, nullptr), -8);
        // Order before pointers before flag.
        EXPECT_EQ(query(31, 3, 0, nullptr, nullptr, nullptr), -15);
        EXPECT_EQ(query(5, 3, 0, nullptr, &b, &c), -8);
        EXPECT_EQ((std::vector<int32_t>{a, b, c}), (std::vector<int32_t>{7, 7, 7}));
    }
    // What order 28 would need: more than INT32_MAX.
    int64_t spec, init, work;
    generic::fftRealSizes64(28, &spec, &init, &work);
    EXPECT_EQ(spec, 2282764544);
    generic::fftComplexSizes64(28, &spec, &init, &work);
    EXPECT_EQ(spec, 2418034944);
}

// ---- Tables -------------------------------------------------------------------------------

std::vector<int32_t> bitReverseTable(int32_t m)
{
    std::vector<int32_t> t((size_t(1) << (m - 2)) + 1 + 8, -99);
    generic::buildBitReverseTable(m, t.data());
    t.resize((size_t(1) << (m - 2)) + 1);
    return t;
}

TEST(FftTables, BitReverseTablesAndPermutation)
{
    EXPECT_EQ(bitReverseTable(2), (std::vector<int32_t>{0, 0}));
    EXPECT_EQ(bitReverseTable(3), (std::vector<int32_t>{0, 4, 0}));
    EXPECT_EQ(bitReverseTable(4), (std::vector<int32_t>{4, 8, 0, 12, 0}));
    EXPECT_EQ(bitReverseTable(5), (std::vector<int32_t>{4, 16, 12, 24, 0, 28, 20, 8, 0}));

    // Positions hold their own index: after the permutation position p holds rev(p).
    for (int32_t m = 2; m <= 12; ++m)
    {
        const int32_t n = 1 << m;
        const std::vector<int32_t> table = bitReverseTable(m);
        std::vector<float> data(size_t(2 * n)), copy(size_t(2 * n), -1.0f);
        for (int32_t i = 0; i < n; ++i)
        {
            data[size_t(2 * i)] = float(i);
            data[size_t(2 * i + 1)] = float(-i);
        }
        generic::bitReverseCopy(data.data(), copy.data(), n, table.data());
        generic::bitReversePermute(data.data(), n, table.data());
        for (int32_t p = 0; p < n; ++p)
        {
            int32_t rev = 0;
            for (int32_t bit = 0; bit < m; ++bit)
                rev |= ((p >> bit) & 1) << (m - 1 - bit);
            ASSERT_EQ(data[size_t(2 * p)], float(rev)) << "order " << m << " position " << p;
            ASSERT_EQ(data[size_t(2 * p + 1)], float(-rev));
        }
        EXPECT_EQ(copy, data) << "order " << m;
        if (m == 3)
        {
            EXPECT_EQ(data, (std::vector<float>{0, -0.0f, 4, -4, 2, -2, 6, -6, 1, -1, 5, -5, 3, -3, 7, -7}));
        }
    }
}

TEST(FftTables, FixedSineTableIsCorrectlyRounded)
{
    EXPECT_EQ(generic::fixedSineTable[0], 0.0f);
    EXPECT_EQ(dsp::test::f32Bits(generic::fixedSineTable[256]), 0x3F800000u);
    const long double pi = 3.141592653589793238462643383279502884L;
    for (int k = 1; k < 256; ++k)
    {
        const long double exact = sinl(2 * pi * k / 1024);
        const float f = generic::fixedSineTable[size_t(k)];
        // The correctly rounded float is within half an ulp; both neighbours are farther.
        const long double err = fabsl((long double)f - exact);
        EXPECT_LE(err, fabsl((long double)std::nextafter(f, 2.0f) - exact)) << k;
        EXPECT_LE(err, fabsl((long double)std::nextafter(f, -2.0f) - exact)) << k;
    }
}

TEST(FftTables, ComputedSineTableFollowsTheQuarterWave)
{
    const int32_t n = 13;
    const size_t q = (size_t(1) << n) / 4;
    std::vector<float> table(q + 1 + 16);
    const unsigned char *end = generic::buildTwiddles(n, table.data());
    EXPECT_EQ(end, reinterpret_cast<unsigned char *>(table.data() + q + 1) +
                       ((32 - (reinterpret_cast<uintptr_t>(table.data() + q + 1) % 32)) % 32));
    EXPECT_EQ(table[0], 0.0f);
    EXPECT_EQ(table[q], 1.0f);
    const long double pi = 3.141592653589793238462643383279502884L;
    for (size_t k = 1; k < q; ++k)
        ASSERT_LE(fabsl((long double)table[k] - sinl(2 * pi * k / (1 << n))), std::ldexp(1.0L, -24)) << k;
    // Orders up to 10 copy the fixed table with a stride.
    std::vector<float> small(65);
    generic::buildTwiddles(8, small.data());
    for (size_t k = 0; k < 64; ++k)
        EXPECT_EQ(small[k], generic::fixedSineTable[4 * k]);
    EXPECT_EQ(small[64], 1.0f);
}

const float *kernelEntry(const FftSpec *spec, int32_t k)
{
    return generic::fftTable<float>(spec, spec->kernelTwiddles) + 6 * k;
}

TEST(FftTables, SpecLayoutAndTwiddles)
{
    // Real order 4 runs the complex order 3: its table 0, 4, 0 right behind the header and a
    // radix table of 3 entries.
    TestSpec r4(Kind::Real, 4, 8);
    const int32_t *rev = generic::fftTable<int32_t>(r4.spec, r4.spec->bitReverse);
    EXPECT_EQ(r4.spec->bitReverse, 84);
    EXPECT_EQ((std::vector<int32_t>{rev[0], rev[1], rev[2]}), (std::vector<int32_t>{0, 4, 0}));
    EXPECT_EQ(r4.spec->kernelTwiddles, 96);
    EXPECT_EQ(r4.spec->recombineForward - r4.spec->kernelTwiddles, 96); // 3 * 24 bytes, aligned up

    // The last radix entry of order t is W(L, L/4), W(L, L/2), W(L, 3L/4) = -j, -1, j exactly.
    auto lastEntryIsExact = [](const FftSpec *spec, int32_t t)
    {
        const float *e = kernelEntry(spec, (1 << t) / 4);
        return e[0] == 0 && e[1] == -1 && e[2] == -1 && e[3] == 0 && e[4] == 0 && e[5] == 1;
    };
    EXPECT_TRUE(lastEntryIsExact(r4.spec, 3));
    for (int32_t order = 4; order <= 10; ++order)
    {
        TestSpec c(Kind::Complex, order, 8);
        EXPECT_TRUE(lastEntryIsExact(c.spec, order)) << order;
    }

    // Strides into the fixed table: a complex order-10 spec reads it with stride 1; a real
    // order-10 spec (complex order 9) with stride 2 for its radix table, 1 for recombination.
    TestSpec c10(Kind::Complex, 10, 8);
    EXPECT_EQ(kernelEntry(c10.spec, 1)[1], -generic::fixedSineTable[1]);
    EXPECT_EQ(kernelEntry(c10.spec, 1)[0], generic::fixedSineTable[255]);
    TestSpec r10(Kind::Real, 10, 8);
    EXPECT_EQ(kernelEntry(r10.spec, 1)[1], -generic::fixedSineTable[2]);
    const float *fwd = generic::fftTable<float>(r10.spec, r10.spec->recombineForward);
    const float *inv = generic::fftTable<float>(r10.spec, r10.spec->recombineInverse);
    EXPECT_EQ(fwd[2], 0.5f * generic::fixedSineTable[255]);
    EXPECT_EQ(fwd[3], float(0.5 - 0.5 * double(generic::fixedSineTable[1])));
    EXPECT_EQ(inv[2], generic::fixedSineTable[255]);
    EXPECT_EQ(inv[3], -generic::fixedSineTable[1]);

    // A real order-11 spec computes the sine table of order 11 although its complex part is of
    // order 10: the recombination table holds odd multiples of 2 pi / 2048.
    TestSpec r11(Kind::Real, 11, 8);
    const long double pi = 3.141592653589793238462643383279502884L;
    const float *fwd11 = generic::fftTable<float>(r11.spec, r11.spec->recombineForward);
    EXPECT_NEAR(fwd11[3], double(0.5L - 0.5L * sinl(2 * pi / 2048)), 1e-7);
    EXPECT_NEAR(fwd11[2], double(0.5L * cosl(2 * pi / 2048)), 1e-7);

    // Large orders: the tables start at s + 96 + r32(M + 35); unsplit complex 11 and 12 have a
    // completion table and no work buffer; split orders record their column and stage tables.
    TestSpec r12(Kind::Real, 12, 8); // complex order 11, M = 2048
    EXPECT_EQ(r12.spec->kernelTwiddles, 96 + ((2048 + 35) & ~31));
    EXPECT_NE(r12.spec->completion, 0);
    EXPECT_EQ(r12.spec->workSize, 0);
    EXPECT_EQ(r12.spec->columnTwiddles[0], 0);
    TestSpec c13(Kind::Complex, 13, 8);
    EXPECT_EQ(c13.spec->kernelTwiddles, 96 + ((8192 + 35) & ~31));
    EXPECT_EQ(c13.spec->workSize, 1024);
    EXPECT_EQ(c13.spec->completion, 0);
    EXPECT_NE(c13.spec->columnTwiddles[0], 0);
    EXPECT_NE(c13.spec->stageTwiddles[0], 0);
    EXPECT_EQ(c13.spec->stageTwiddles[1], 0);
    TestSpec c23(Kind::Complex, 23, 8); // two levels: 2^8 rows of 2^15, each 2^7 rows of 2^8
    EXPECT_NE(c23.spec->stageTwiddles[1], 0);
    EXPECT_EQ(c23.spec->stageTwiddles[2], 0);
    EXPECT_EQ(c23.spec->workSize, 32 * 256);
    TestSpec c22(Kind::Complex, 22, 8); // 10 + 12, and 12 unsplit
    EXPECT_NE(c22.spec->completion, 0);
    EXPECT_EQ(c22.spec->stageTwiddles[1], 0);

    // Every table after the bit-reverse one on a 32-byte boundary.
    for (const TestSpec *t : {&r4, &c10, &r10, &r11, &r12, &c13, &c23, &c22})
    {
        const FftSpec *s = t->spec;
        for (int32_t off :
             {s->kernelTwiddles, s->completion, s->recombineForward, s->recombineInverse,
              s->columnTwiddles[0], s->columnTwiddles[1], s->stageTwiddles[0], s->stageTwiddles[1]})
            EXPECT_EQ(off % 32, 0);
    }

    // The stage twiddles of complex order 13 (32 rows of 256): group g, row i, column c holds
    // W_8192(rev5(i) * (4g + c)).
    const float *stage = generic::fftTable<float>(c13.spec, c13.spec->stageTwiddles[0]);
    for (int g : {0, 1, 17, 63})
        for (int i : {0, 1, 5, 31})
            for (int c = 0; c < 4; ++c)
            {
                int rev = 0;
                for (int bit = 0; bit < 5; ++bit)
                    rev |= ((i >> bit) & 1) << (4 - bit);
                const long double a = 2 * pi * (long double)(rev * (4 * g + c)) / 8192;
                const float *w = stage + 2 * ((g * 32 + i) * 4 + c);
                EXPECT_NEAR(w[0], double(cosl(a)), 1e-7) << g << " " << i << " " << c;
                EXPECT_NEAR(w[1], double(-sinl(a)), 1e-7) << g << " " << i << " " << c;
            }
}

// ---- Init ----------------------------------------------------------------------------------

using InitFn = dsp::Status (*)(FftSpec **, int32_t, int32_t, int32_t, void *, void *);
using SizeFn = dsp::Status (*)(int32_t, int32_t, int32_t, int32_t *, int32_t *, int32_t *);

struct KindFns
{
    Kind kind;
    SizeFn size;
    InitFn init;
    int32_t id;
};
const KindFns kKinds[] = {{Kind::Real, generic::fftRealGetSize, generic::fftRealInit, 6},
                          {Kind::Complex, generic::complexFftSpecSize, generic::complexFftSpecInit, 4}};

TEST(FftInit, HeaderFields)
{
    for (const KindFns &k : kKinds)
    {
        for (int32_t order = 0; order <= 3; ++order)
        {
            FftSpec *spec = nullptr;
            std::vector<unsigned char> buf(116, 0xEE);
            ASSERT_EQ(k.init(&spec, order, 8, 77, buf.data(), nullptr), 0);
            EXPECT_EQ(spec->id, k.id);
            EXPECT_EQ(spec->order, order);
            EXPECT_EQ(spec->hint, 77);
            EXPECT_EQ(spec->owned, 0);
            EXPECT_EQ(spec->workSize, 0);
            const int32_t *words = reinterpret_cast<const int32_t *>(spec);
            for (int w = 8; w < 21; ++w)
                EXPECT_EQ(words[w], 0) << "word " << w + 1;
        }
        TestSpec f1(k.kind, 7, 1), f2(k.kind, 7, 2), f4(k.kind, 5, 4), f8(k.kind, 7, 8);
        EXPECT_EQ((std::vector<int32_t>{f1.spec->scaleForward, f1.spec->scaleInverse}),
                  (std::vector<int32_t>{1, 0}));
        EXPECT_EQ((std::vector<int32_t>{f2.spec->scaleForward, f2.spec->scaleInverse}),
                  (std::vector<int32_t>{0, 1}));
        EXPECT_EQ((std::vector<int32_t>{f4.spec->scaleForward, f4.spec->scaleInverse}),
                  (std::vector<int32_t>{1, 1}));
        EXPECT_EQ((std::vector<int32_t>{f8.spec->scaleForward, f8.spec->scaleInverse}),
                  (std::vector<int32_t>{0, 0}));
        EXPECT_EQ(f1.spec->factor, 0.0078125f);
        EXPECT_EQ(f2.spec->factor, 0.0078125f);
        EXPECT_EQ(f4.spec->factor, 0.17677669f);
        EXPECT_EQ(dsp::test::f32Bits(f8.spec->factor), 0u);
        EXPECT_EQ(f1.spec->owned, 0);
    }
}

TEST(FftInit, PlacementAndBounds)
{
    // The record sits at the buffer rounded up to 32; a buffer at 4 mod 32 puts it 28 bytes in.
    for (const KindFns &k : kKinds)
    {
        int32_t specSize, initSize, workSize;
        ASSERT_EQ(k.size(9, 8, 0, &specSize, &initSize, &workSize), 0);
        GuardedBuffer buf(size_t(specSize), 4);
        FftSpec *spec = nullptr;
        ASSERT_EQ(k.init(&spec, 9, 8, 0, buf.data(), nullptr), 0);
        EXPECT_EQ(reinterpret_cast<unsigned char *>(spec), buf.data() + 28);
    }
    // Init never writes past the queried sizes, at the worst placement (31 bytes of slack used)
    // and an aligned one.
    for (const KindFns &k : kKinds)
        for (int32_t order = 0; order <= 22; ++order)
            for (size_t offset : {size_t(0), size_t(1)})
            {
                int32_t specSize, initSize, workSize;
                ASSERT_EQ(k.size(order, 2, 0, &specSize, &initSize, &workSize), 0);
                GuardedBuffer spec(size_t(specSize), offset);
                GuardedBuffer init(size_t(initSize), offset);
                FftSpec *out = nullptr;
                ASSERT_EQ(k.init(&out, order, 2, 0, spec.data(), initSize ? init.data() : nullptr), 0);
                EXPECT_TRUE(spec.guardsIntact()) << "order " << order << " offset " << offset;
                EXPECT_TRUE(init.guardsIntact()) << "order " << order << " offset " << offset;
                EXPECT_EQ(out->id, k.id);
            }
}

TEST(FftInit, RefusalsWriteNothing)
{
    for (const KindFns &k : kKinds)
    {
        int32_t specSize, initSize, workSize;
        ASSERT_EQ(k.size(11, 8, 0, &specSize, &initSize, &workSize), 0);
        GuardedBuffer buf(size_t(specSize), 0);
        std::vector<unsigned char> init(static_cast<size_t>(initSize));
        FftSpec *const sentinel = reinterpret_cast<FftSpec *>(uintptr_t(0x1234));
        FftSpec *out = sentinel;
        const std::vector<unsigned char> before = buf.snapshot();
        auto refused = [&](dsp::Status expected, FftSpec **o, int32_t order, int32_t flag, void *s, void *i)
        {
            EXPECT_EQ(k.init(o, order, flag, 0, s, i), expected) << order << " flag " << flag;
            EXPECT_TRUE(buf.unchangedSince(before));
            EXPECT_EQ(out, sentinel);
        };
        // A missing init buffer above order 10 is found before anything is written: the
        // buffer stays byte-identical, so no half-built spec with a valid id remains.
        refused(-8, &out, 11, 8, buf.data(), nullptr);
        refused(-16, &out, 11, 3, buf.data(), init.data());
        refused(-16, &out, 5, 0, buf.data(), nullptr);
        refused(-16, &out, 5, 16, buf.data(), nullptr);
        refused(-15, &out, 31, 8, buf.data(), nullptr);
        refused(-15, &out, 28, 8, buf.data(), nullptr);
        refused(-15, &out, -1, 8, buf.data(), nullptr);
        refused(-8, nullptr, 31, 3, buf.data(), nullptr); // specOut first
        refused(-15, &out, 31, 3, nullptr, nullptr);      // then the order
        refused(-8, &out, 5, 3, nullptr, nullptr);        // then the spec buffer, then the flag
        refused(-16, &out, 11, 3, buf.data(), nullptr);   // the flag before the init buffer
        // Order 10 needs no init buffer.
        ASSERT_EQ(k.init(&out, 10, 8, 0, buf.data(), nullptr), 0);
        EXPECT_EQ(out->id, k.id);
    }
}

// The header clear: the null pointer before the count, a count of 0 or less refused with nothing
// written, otherwise exactly the bytes asked for (whole words and a tail) and none after.
TEST(FftInit, ZeroFillStatusChecksThenClearsExactly)
{
    unsigned char bytes[12];
    std::memset(bytes, 0xA5, sizeof bytes);
    EXPECT_EQ(generic::zeroFillStatus(nullptr, 4), -8);
    EXPECT_EQ(generic::zeroFillStatus(nullptr, -1), -8);
    EXPECT_EQ(generic::zeroFillStatus(bytes, 0), -6);
    EXPECT_EQ(generic::zeroFillStatus(bytes, -4), -6);
    EXPECT_EQ(generic::zeroFillStatus(bytes, INT32_MIN), -6);
    EXPECT_EQ(std::count(bytes, bytes + 12, 0xA5), 12);
    EXPECT_EQ(generic::zeroFillStatus(bytes + 1, 7), 0);
    const unsigned char expected[12] = {0xA5, 0, 0, 0, 0, 0, 0, 0, 0xA5, 0xA5, 0xA5, 0xA5};
    EXPECT_EQ(std::memcmp(bytes, expected, sizeof bytes), 0);
}

} // namespace
