// Rejected calls of every vector operation, through its dispatcher row at every variant index this
// processor runs: the first failing check decides the status (null pointers before lengths, factor
// before phase), and nothing is written.
#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

#include "dsp/dispatch/dispatch.h"
#include "support/dsp_test_support.h"

namespace
{

using dsp::Status;
using dsp::test::GuardedBuffer;

// The row's entry at the selector's index: what a caller of the operation reaches.
#define DSP_AT_INDEX(table, name) dsp::table.name[dsp::CpuVariantIndex.load()]

enum Slot : unsigned
{
    kIn1 = 1,
    kIn2 = 2,
    kOut = 4,
    kCount = 8,
    kPhase = 16
};

struct Args
{
    const float *in1;
    const float *in2;
    float *out;
    int32_t *count;
    int32_t *phase;
    int32_t len;
    int32_t factor;
};

struct Op
{
    const char *name;
    unsigned slots; // the pointer arguments the operation takes
    Status (*call)(const Args &);
};

const Op kOps[] = {
    {"zeroF32", kOut, [](const Args &a) { return DSP_AT_INDEX(VariantTableA, zeroF32)(a.out, a.len); }},
    {"copyF32", kIn1 | kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, copyF32)(a.in1, a.out, a.len); }},
    {"copyF32Bytewise", kIn1 | kOut,
     [](const Args &a) { return DSP_AT_INDEX(VariantTableA, copyF32Bytewise)(a.in1, a.out, a.len); }},
    {"setF32", kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, setF32)(0x12345678u, a.out, a.len); }},
    {"reverseCopy32", kIn1 | kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, reverseCopy32)(a.in1, a.out, a.len); }},
    {"addConstInPlaceF32", kOut,
     [](const Args &a) { return DSP_AT_INDEX(VariantTableA, addConstInPlaceF32)(2.0f, a.out, a.len); }},
    {"mulConstInPlaceF32", kOut,
     [](const Args &a) { return DSP_AT_INDEX(VariantTableA, mulConstInPlaceF32)(0.0f, a.out, a.len); }},
    {"mulConstF32", kIn1 | kOut,
     [](const Args &a)
     { return DSP_AT_INDEX(CpuVariantDispatchTable, mulConstF32)(a.in1, 3.0f, a.out, a.len); }},
    {"divConstInPlaceF32", kOut,
     [](const Args &a) { return DSP_AT_INDEX(VariantTableA, divConstInPlaceF32)(0.0f, a.out, a.len); }},
    {"addInPlaceF32", kIn1 | kOut,
     [](const Args &a) { return DSP_AT_INDEX(VariantTableA, addInPlaceF32)(a.in1, a.out, a.len); }},
    {"mulInPlaceF32", kIn1 | kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, mulInPlaceF32)(a.in1, a.out, a.len); }},
    {"addF32", kIn1 | kIn2 | kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, addF32)(a.in1, a.in2, a.out, a.len); }},
    {"subF32", kIn1 | kIn2 | kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, subF32)(a.in1, a.in2, a.out, a.len); }},
    {"mulF32", kIn1 | kIn2 | kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, mulF32)(a.in1, a.in2, a.out, a.len); }},
    {"addProductF32", kIn1 | kIn2 | kOut,
     [](const Args &a)
     { return DSP_AT_INDEX(CpuVariantDispatchTable, addProductF32)(a.in1, a.in2, a.out, a.len); }},
    {"addProductConstF32", kIn1 | kOut,
     [](const Args &a)
     { return DSP_AT_INDEX(CpuVariantDispatchTable, addProductConstF32)(a.in1, 2.0f, a.out, a.len); }},
    {"divF32", kIn1 | kIn2 | kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, divF32)(a.in1, a.in2, a.out, a.len); }},
    {"minEveryInPlaceF32", kIn1 | kOut,
     [](const Args &a)
     { return DSP_AT_INDEX(CpuVariantDispatchTable, minEveryInPlaceF32)(a.in1, a.out, a.len); }},
    {"maxEveryInPlaceF32", kIn1 | kOut,
     [](const Args &a)
     { return DSP_AT_INDEX(CpuVariantDispatchTable, maxEveryInPlaceF32)(a.in1, a.out, a.len); }},
    {"absInPlaceF32", kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, absInPlaceF32)(a.out, a.len); }},
    {"sqrF32", kIn1 | kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, sqrF32)(a.in1, a.out, a.len); }},
    {"sqrtInPlaceF32", kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, sqrtInPlaceF32)(a.out, a.len); }},
    {"expInPlaceF32", kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, expInPlaceF32)(a.out, a.len); }},
    {"lnInPlaceF32", kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, lnInPlaceF32)(a.out, a.len); }},
    {"maxF32", kIn1 | kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, maxF32)(a.in1, a.len, a.out); }},
    {"minF32", kIn1 | kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, minF32)(a.in1, a.len, a.out); }},
    {"sumF32", kIn1 | kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, sumF32)(a.in1, a.len, a.out, 0); }},
    {"meanF32", kIn1 | kOut,
     [](const Args &a) { return DSP_AT_INDEX(CpuVariantDispatchTable, meanF32)(a.in1, a.len, a.out, 0); }},
    {"dotProductF32", kIn1 | kIn2 | kOut,
     [](const Args &a)
     { return DSP_AT_INDEX(CpuVariantDispatchTable, dotProductF32)(a.in1, a.in2, a.len, a.out); }},
    {"mulPackSpectrum", kIn1 | kIn2 | kOut,
     [](const Args &a)
     { return DSP_AT_INDEX(CpuVariantDispatchTable, mulPackSpectrum)(a.in1, a.in2, a.out, a.len); }},
    {"upsampleF32", kIn1 | kOut | kCount | kPhase,
     [](const Args &a)
     {
         return DSP_AT_INDEX(CpuVariantDispatchTable, upsampleF32)(a.in1, a.len, a.out, a.count, a.factor,
                                                                   a.phase);
     }},
    {"downsampleF32", kIn1 | kOut | kCount | kPhase,
     [](const Args &a)
     {
         return DSP_AT_INDEX(CpuVariantDispatchTable, downsampleF32)(a.in1, a.len, a.out, a.count, a.factor,
                                                                     a.phase);
     }},
};

const Op &opNamed(const std::string &name)
{
    for (const Op &op : kOps)
        if (name == op.name)
            return op;
    throw std::invalid_argument(name);
}

// Canary-filled buffers for every argument; a rejected call must leave all of them as they were.
class Canaries
{
public:
    Canaries() : m_in1(64, 1, 0x11), m_in2(64, 2, 0x22), m_out(64, 3, 0x33) {}

    Args args(int32_t len, unsigned nullSlot = 0, int32_t factor = 2)
    {
        return Args{nullSlot & kIn1 ? nullptr : m_in1.as<float>(),
                    nullSlot & kIn2 ? nullptr : m_in2.as<float>(),
                    nullSlot & kOut ? nullptr : m_out.as<float>(),
                    nullSlot & kCount ? nullptr : &m_count,
                    nullSlot & kPhase ? nullptr : &m_phase,
                    len,
                    factor};
    }

    void setPhase(int32_t p) { m_phase = m_initialPhase = p; }

    bool untouched() const
    {
        return m_in1.unchangedSince(m_before1) && m_in2.unchangedSince(m_before2) &&
               m_out.unchangedSince(m_beforeOut) && m_count == 777 && m_phase == m_initialPhase;
    }

private:
    GuardedBuffer m_in1, m_in2, m_out;
    std::vector<unsigned char> m_before1 = m_in1.snapshot(), m_before2 = m_in2.snapshot(),
                               m_beforeOut = m_out.snapshot();
    int32_t m_count = 777;
    int32_t m_phase = 0, m_initialPhase = 0;
};

TEST(BadInput, NullPointersBeforeLengthsAndNothingWritten)
{
    for (uint32_t v = 0; v <= dsp::test::testMaxVariant(); ++v)
    {
        SCOPED_TRACE("variant " + std::to_string(v));
        dsp::test::ScopedVariantIndex at(v);
        for (const Op &op : kOps)
        {
            Canaries c;
            for (int32_t len : {0, -1, INT32_MIN})
            {
                EXPECT_EQ(op.call(c.args(len)), dsp::kErrBadLength) << op.name << " len " << len;
                for (unsigned slot = 1; slot <= kPhase; slot <<= 1)
                {
                    if (op.slots & slot)
                    {
                        EXPECT_EQ(op.call(c.args(len, slot)), dsp::kErrNullPointer)
                            << op.name << " null slot " << slot << " len " << len;
                    }
                }
            }
            for (unsigned slot = 1; slot <= kPhase; slot <<= 1)
            {
                if (op.slots & slot)
                {
                    EXPECT_EQ(op.call(c.args(4, slot)), dsp::kErrNullPointer)
                        << op.name << " null slot " << slot;
                }
            }
            EXPECT_TRUE(c.untouched()) << op.name;
        }
    }
    DSP_SKIP_UNSUPPORTED_VARIANTS();
}

TEST(BadInput, RateOperationsCheckFactorThenPhase)
{
    for (uint32_t v = 0; v <= dsp::test::testMaxVariant(); ++v)
    {
        SCOPED_TRACE("variant " + std::to_string(v));
        dsp::test::ScopedVariantIndex at(v);
        for (const char *name : {"upsampleF32", "downsampleF32"})
        {
            const Op &op = opNamed(name);
            Canaries c;
            for (int32_t phase : {0, -1, 5})
            {
                c.setPhase(phase);
                EXPECT_EQ(op.call(c.args(4, 0, 0)), dsp::kErrFactor) << op.name << " phase " << phase;
                EXPECT_EQ(op.call(c.args(4, 0, INT32_MIN)), dsp::kErrFactor) << op.name;
                EXPECT_EQ(op.call(c.args(0, 0, 0)), dsp::kErrBadLength) << op.name << ": length first";
                EXPECT_EQ(op.call(c.args(4, kPhase, 0)), dsp::kErrNullPointer) << op.name;
            }
            for (int32_t phase : {-1, 3, INT32_MAX})
            {
                c.setPhase(phase);
                EXPECT_EQ(op.call(c.args(4, 0, 3)), dsp::kErrPhase) << op.name << " phase " << phase;
            }
            EXPECT_TRUE(c.untouched()) << op.name;
        }
    }
    DSP_SKIP_UNSUPPORTED_VARIANTS();
}

TEST(BadInput, DivisionByAConstantZero)
{
    for (uint32_t v = 0; v <= dsp::test::testMaxVariant(); ++v)
    {
        SCOPED_TRACE("variant " + std::to_string(v));
        dsp::test::ScopedVariantIndex at(v);
        Canaries c;
        const Op &div = opNamed("divConstInPlaceF32");
        EXPECT_EQ(div.call(c.args(4)), dsp::kErrDivByZero);
        EXPECT_EQ(div.call(c.args(0)), dsp::kErrBadLength) << "the length before the constant";
        EXPECT_EQ(div.call(c.args(0, kOut)), dsp::kErrNullPointer);
        EXPECT_TRUE(c.untouched());
    }
    DSP_SKIP_UNSUPPORTED_VARIANTS();
}

} // namespace
