// The channel format stage: each row's mixing matrix from unit impulses (typed in from the rows,
// with the plain 4-channel fold-downs adding the rear and the mono up-mix filling the right),
// random input against a float reference that evaluates the rows term by term in their written
// order, canaries in the channels a row leaves alone, and the calls that must change nothing.
#include "driver/effects/chain_adapters.h"
#include "driver/effects/format_channels.h"

#include "support/dsp_test_support.h"

#include <array>
#include <cstring>
#include <random>
#include <vector>

namespace
{

constexpr int L = 0, R = 1, C = 2, LFE = 3, BL = 4, BR = 5, SL = 6, SR = 7;
constexpr int LP = 8, RP = 9; // the 1-output rows' L' and R'
constexpr float D = 0.871f, E = 0.49f, K = 0.707f;

// value = coef x (a sum of channels in order, or of nested terms in order); coef 1 multiplies
// nothing and coef -1 subtracts, as the rows are written.
struct Term
{
    float coef;
    std::vector<int> channels;
    std::vector<Term> nested = {};
};
struct Assign
{
    int target;
    std::vector<Term> terms;
};
struct Row
{
    int in, out, plain;
    std::vector<Assign> assigns;
};

float Sum(const std::vector<int> &ch, const float *v)
{
    float s = v[ch[0]];
    for (size_t i = 1; i < ch.size(); ++i)
        s = s + v[ch[i]];
    return s;
}

float Eval(const std::vector<Term> &terms, const float *v);

float Value(const Term &t, const float *v)
{
    const float inner = t.nested.empty() ? Sum(t.channels, v) : Eval(t.nested, v);
    return t.coef == 1.0f ? inner : t.coef * inner;
}

float Eval(const std::vector<Term> &terms, const float *v)
{
    float acc = Value(terms[0], v);
    for (size_t i = 1; i < terms.size(); ++i)
    {
        if (terms[i].coef == -1.0f)
            acc = acc - Value({1.0f, terms[i].channels, terms[i].nested}, v);
        else if (terms[i].coef < 0.0f)
            acc = acc - Value({-terms[i].coef, terms[i].channels, terms[i].nested}, v);
        else
            acc = acc + Value(terms[i], v);
    }
    return acc;
}

std::vector<Row> Rows()
{
    const float hd = D / 2, he = E / 2;
    auto front = [](int ch) { return Assign{ch, {{K, {LFE, C}}, {1, {ch}}}}; };
    std::vector<Row> rows;
    for (int plain : {0, 1})
    {
        const float d = plain ? 1.0f : D, e = plain ? 0.0f : E;
        const float hd1 = plain ? 0.5f : hd, he1 = plain ? 0.0f : he;
        const float sign = plain ? 1.0f : -1.0f;
        if (plain)
        {
            rows.push_back({8, 6, 1, {{BL, {{1, {BL, SL}}}}, {BR, {{1, {BR, SR}}}}}});
            rows.push_back({8, 4, 1, {front(L), front(R), {2, {{1, {BL, SL}}}}, {3, {{1, {BR, SR}}}}}});
            rows.push_back({8,
                            2,
                            1,
                            {{L, {{K, {C}}, {1, {LFE}}, {1, {BL}}, {1, {SL}}, {1, {L}}}},
                             {R, {{K, {C}}, {1, {LFE}}, {1, {BR}}, {1, {SR}}, {1, {R}}}}}});
            rows.push_back({6,
                            2,
                            1,
                            {{L, {{K, {C}}, {1, {LFE}}, {1, {BL}}, {1, {L}}}},
                             {R, {{K, {C}}, {1, {LFE}}, {1, {BR}}, {1, {R}}}}}});
            rows.push_back({4, 2, 1, {{L, {{1, {L}}, {1, {2}}}}, {R, {{1, {R}}, {1, {3}}}}}});
            rows.push_back({4,
                            1,
                            1,
                            {{RP, {{e, {2}}, {d, {3}}, {1, {R}}}},
                             {LP, {{1, {L}}, {1, {2}}}},
                             {R, {{1, {RP}}}},
                             {L, {{0.5f, {RP, LP}}}}}});
        }
        else
        {
            rows.push_back(
                {8,
                 6,
                 0,
                 {{BL, {{D, {BL}}, {1, {SL}}, {E, {BR}}}}, {BR, {{1, {SR}}, {E, {BL}}, {D, {BR}}}}}});
            rows.push_back({8,
                            4,
                            0,
                            {front(L),
                             front(R),
                             {2, {{D, {BL}}, {1, {SL}}, {E, {BR}}}},
                             {3, {{E, {BL}}, {1, {SR}}, {D, {BR}}}}}});
            rows.push_back({8,
                            2,
                            0,
                            {{L, {{K, {C, LFE}}, {-hd, {BL, SL}}, {-he, {BR, SR}}, {1, {L}}}},
                             {R, {{K, {C}}, {1, {LFE}}, {1, {BR}}, {1, {SR}}, {1, {R}}}}}});
            rows.push_back({6,
                            2,
                            0,
                            {{L, {{K, {C, LFE}}, {-D, {BL}}, {-E, {BR}}, {1, {L}}}},
                             {R, {{K, {C}}, {1, {LFE}}, {1, {BR}}, {1, {R}}}}}});
            rows.push_back(
                {4,
                 2,
                 0,
                 {{L, {{1, {L}}, {-1, {}, {{D, {2}}, {E, {3}}}}}}, {R, {{E, {2}}, {D, {3}}, {1, {R}}}}}});
            rows.push_back({4,
                            1,
                            0,
                            {{RP, {{E, {2}}, {D, {3}}, {1, {R}}}},
                             {LP, {{1, {L}}, {-1, {}, {{E, {3}}, {D, {2}}}}}},
                             {R, {{1, {RP}}}},
                             {L, {{0.5f, {RP, LP}}}}}});
        }
        rows.push_back({6, 4, plain, {front(L), front(R), {2, {{1, {BL}}}}, {3, {{1, {BR}}}}}});
        rows.push_back({8,
                        1,
                        plain,
                        {{LP, {{K, {C, LFE}}, {sign, {}, {{hd1, {BL, SL}}, {he1, {BR, SR}}}}, {1, {L}}}},
                         {RP, {{he1, {BL, SL}}, {K, {C, LFE}}, {hd1, {BR, SR}}, {1, {R}}}},
                         {R, {{1, {RP}}}},
                         {L, {{0.5f, {RP, LP}}}}}});
        rows.push_back({6,
                        1,
                        plain,
                        {{LP, {{K, {C, LFE}}, {sign, {}, {{d, {BL}}, {e, {BR}}}}, {1, {L}}}},
                         {RP, {{K, {C, LFE}}, {e, {BL}}, {d, {BR}}, {1, {R}}}},
                         {R, {{1, {RP}}}},
                         {L, {{0.5f, {RP, LP}}}}}});
        rows.push_back({2, 1, plain, {{L, {{0.5f, {R, L}}}}}});
    }
    return rows;
}

struct Planes
{
    std::vector<std::vector<float>> data;
    std::array<float *, 8> ptr{};
    explicit Planes(size_t n, float fill = 0.0f) : data(8, std::vector<float>(n, fill))
    {
        for (int c = 0; c < 8; ++c)
            ptr[c] = data[c].data();
    }
};

TEST(FormatChannels, RandomInputMatchesTheRowsInWrittenOrderAndKeepsOtherChannels)
{
    dsp::test::F32Source src(3);
    for (const Row &row : Rows())
    {
        const size_t n = 257;
        Planes p(n);
        for (auto &ch : p.data)
            for (float &v : ch)
                v = src.uniform(-4.0f, 4.0f);
        const Planes before = p;
        ASSERT_EQ(ConvertChannels(p.ptr.data(), row.in, row.out, int32_t(n), row.plain), row.out);
        std::array<bool, 8> written{};
        for (const Assign &a : row.assigns)
            if (a.target < 8)
                written[a.target] = true;
        for (size_t i = 0; i < n; ++i)
        {
            float v[10];
            for (int c = 0; c < 8; ++c)
                v[c] = before.data[c][i];
            float out[10];
            std::memcpy(out, v, sizeof v);
            for (const Assign &a : row.assigns) // right-hand sides read the sample's inputs (and L', R')
            {
                out[a.target] = Eval(a.terms, v);
                if (a.target >= 8)
                    v[a.target] = out[a.target];
            }
            for (int c = 0; c < 8; ++c)
                ASSERT_EQ(dsp::test::f32Bits(p.data[c][i]),
                          dsp::test::f32Bits(written[c] ? out[c] : before.data[c][i]))
                    << row.in << "->" << row.out << " plain " << row.plain << " ch " << c << " sample " << i;
        }
    }
}

// expected[out][in]: what a unit impulse in input channel `in` leaves in output channel `out`.
void ExpectMatrix(int in, int out, int plain, const std::vector<std::vector<double>> &expected)
{
    for (int k = 0; k < in; ++k)
    {
        Planes p(1);
        p.data[k][0] = 1.0f;
        FormatChannels(p.ptr.data(), in, out, 1, plain);
        for (int c = 0; c < int(expected.size()); ++c)
            EXPECT_NEAR(p.data[c][0], expected[c][k], 1e-6)
                << in << "->" << out << " plain " << plain << " in " << k << " out " << c;
    }
}

TEST(FormatChannels, UnitImpulsesGiveEachRowsMatrix)
{
    const double d = D, e = E, k = K;
    //                     L  R  C  LFE BL   BR  SL  SR
    ExpectMatrix(8, 2, 1, {{1, 0, k, 1, 1, 0, 1, 0}, {0, 1, k, 1, 0, 1, 0, 1}});
    ExpectMatrix(8, 2, 0, {{1, 0, k, k, -d / 2, -e / 2, -d / 2, -e / 2}, {0, 1, k, 1, 0, 1, 0, 1}});
    ExpectMatrix(6, 2, 1, {{1, 0, k, 1, 1, 0}, {0, 1, k, 1, 0, 1}});
    ExpectMatrix(6, 2, 0, {{1, 0, k, k, -d, -e}, {0, 1, k, 1, 0, 1}});
    // Plain 4 -> 2 and 4 -> 1 add the rear left: equal front and rear content must not cancel.
    ExpectMatrix(4, 2, 1, {{1, 0, 1, 0}, {0, 1, 0, 1}});
    ExpectMatrix(4, 2, 0, {{1, 0, -d, -e}, {0, 1, e, d}});
    ExpectMatrix(4, 1, 1, {{0.5, 0.5, 0.5, 0.5}, {0, 1, 0, 1}});
    ExpectMatrix(4, 1, 0, {{0.5, 0.5, (e - d) / 2, (d - e) / 2}, {0, 1, e, d}});
    ExpectMatrix(8, 1, 1, {{0.5, 0.5, k, k, 0.25, 0.25, 0.25, 0.25}, {0, 1, k, k, 0, 0.5, 0, 0.5}});
    ExpectMatrix(8, 1, 0,
                 {{0.5, 0.5, k, k, (e - d) / 4, (d - e) / 4, (e - d) / 4, (d - e) / 4},
                  {0, 1, k, k, e / 2, d / 2, e / 2, d / 2}});
    ExpectMatrix(6, 1, 1, {{0.5, 0.5, k, k, 0.5, 0.5}, {0, 1, k, k, 0, 1}});
    ExpectMatrix(6, 1, 0, {{0.5, 0.5, k, k, (e - d) / 2, (d - e) / 2}, {0, 1, k, k, e, d}});
    ExpectMatrix(2, 1, 0, {{0.5, 0.5}, {0, 1}});
    ExpectMatrix(8, 6, 0,
                 {{1, 0, 0, 0, 0, 0, 0, 0},
                  {0, 1, 0, 0, 0, 0, 0, 0},
                  {0, 0, 1, 0, 0, 0, 0, 0},
                  {0, 0, 0, 1, 0, 0, 0, 0},
                  {0, 0, 0, 0, d, e, 1, 0},
                  {0, 0, 0, 0, e, d, 0, 1},
                  {0, 0, 0, 0, 0, 0, 1, 0},
                  {0, 0, 0, 0, 0, 0, 0, 1}});
    ExpectMatrix(8, 4, 1,
                 {{1, 0, k, k, 0, 0, 0, 0},
                  {0, 1, k, k, 0, 0, 0, 0},
                  {0, 0, 0, 0, 1, 0, 1, 0},
                  {0, 0, 0, 0, 0, 1, 0, 1}});
    ExpectMatrix(6, 4, 0, {{1, 0, k, k, 0, 0}, {0, 1, k, k, 0, 0}, {0, 0, 0, 0, 1, 0}, {0, 0, 0, 0, 0, 1}});
}

TEST(FormatChannels, UpMixesMoveAndFill)
{
    Planes p(3, 7.0f);
    for (int i = 0; i < 3; ++i)
        p.data[L][i] = float(i + 1);
    // From mono the right channel gets the signal, not whatever the last block left there.
    EXPECT_EQ(ConvertChannels(p.ptr.data(), 1, 4, 3, 1), 4);
    for (int i = 0; i < 3; ++i)
    {
        EXPECT_EQ(p.data[R][i], float(i + 1));
        EXPECT_EQ(p.data[C][i], 1e-12f);
        EXPECT_EQ(p.data[LFE][i], 1e-12f);
        EXPECT_EQ(p.data[BL][i], 7.0f);
    }
    Planes q(2, 7.0f);
    q.data[2] = {3, 4};
    q.data[3] = {5, 6};
    EXPECT_EQ(ConvertChannels(q.ptr.data(), 4, 8, 2, 1), 8);
    EXPECT_EQ(q.data[BL], (std::vector<float>{3, 4}));
    EXPECT_EQ(q.data[BR], (std::vector<float>{5, 6}));
    for (int c : {C, LFE, SL, SR})
        EXPECT_EQ(q.data[c], (std::vector<float>{1e-12f, 1e-12f}));
    Planes s(2, 7.0f);
    EXPECT_EQ(ConvertChannels(s.ptr.data(), 6, 8, 2, 0), 8);
    EXPECT_EQ(s.data[SL][1], 1e-12f);
    EXPECT_EQ(s.data[BR][1], 7.0f);
    EXPECT_EQ(ConvertChannels(s.ptr.data(), 2, 3, 2, 0), 3);
    EXPECT_EQ(s.data[C][0], 1e-12f);
}

TEST(FormatChannels, CallsWithoutARuleChangeNothing)
{
    dsp::test::F32Source src(5);
    Planes p(16);
    for (auto &ch : p.data)
        for (float &v : ch)
            v = src.next();
    const auto before = p.data;
    const int32_t pairs[][2] = {{2, 2}, {8, 3}, {6, 5}, {4, 3}, {4, 5}, {0, 2}, {9, 2}, {2, 9}, {8, 8}};
    for (const auto &pr : pairs)
        EXPECT_EQ(ConvertChannels(p.ptr.data(), pr[0], pr[1], 16, 1), pr[0]);
    EXPECT_EQ(ConvertChannels(p.ptr.data(), 8, 2, 0, 1), 8);
    EXPECT_EQ(ConvertChannels(p.ptr.data(), 8, 2, -5, 1), 8);
    for (int c = 0; c < 8; ++c)
        EXPECT_EQ(dsp::test::wordsOf(p.data[c]), dsp::test::wordsOf(before[c]));
    EXPECT_EQ(ConvertChannels(p.ptr.data(), 8, 2, 16, 1), 2);
    EXPECT_EQ(ConvertChannels(p.ptr.data(), 6, 6, 16, 1), 6);
}

} // namespace
