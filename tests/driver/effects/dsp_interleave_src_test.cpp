// The sample-rate chain: format checks and their messages, the stage table, state sizes, every
// allocation failed in turn, the converters' Process edges, bit-exact output against references
// built from the committed rows, output counts and chunking, InputFor, streaming without
// allocation, refused formats and bad arguments, and random format pairs.
#include "driver/effects/dsp_interleave_src.h"
#include "driver/effects/fx_format.h"

#include "src_test_support.h"
#include "support/dsp_test_support.h"
#include "support/fir_reference.h"
#include "support/kernel_test.h"

#include <random>
#include <string>

namespace
{
using namespace src_test;
using Access = CDspInterleaveSrcTestAccess;
using dsp::test::sameF32Array;

#ifdef __SANITIZE_ADDRESS__
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

class Src : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        m_Chain = NewChain();
        sim::ClearDebugLog();
    }
    void TearDown() override
    {
        m_Chain.reset();
        KernelTest::TearDown();
    }
    // SetFormat and what it printed ("" for nothing).
    std::string Refusal(const WAVEFORMATEXTENSIBLE &a, const WAVEFORMATEXTENSIBLE &b, bool *result = nullptr)
    {
        sim::ClearDebugLog();
        const bool ok = m_Chain->SetFormat(a, b);
        if (result)
            *result = ok;
        std::string text;
        for (const std::string &line : sim::DebugLog())
            text += line;
        return text;
    }
    ChainPtr m_Chain;
};

const std::string kPrefix = "CDspInterleaveSrc::SetFormat ";

TEST_F(Src, FormatChecksRefuseWithTheirMessagesAndStoreNothing)
{
    const auto good = Extensible(2, 48000);
    bool ok = false;
    ASSERT_EQ(Refusal(good, Extensible(2, 96000)), "");
    const auto in0 = Access::In(*m_Chain), out0 = Access::Out(*m_Chain);
    const CDspProcessor *stages0[3] = {m_Chain->Stage(0), m_Chain->Stage(1), m_Chain->Stage(2)};

    auto sub = good;
    sub.SubFormat.Data1 = 2; // neither PCM nor float
    auto nine = Extensible(9, 48000);
    auto slow = Extensible(2, 22050);
    auto bits8 = Extensible(2, 48000, 8);
    auto plainMu = good;
    plainMu.Format.wFormatTag = 7;
    struct Case
    {
        WAVEFORMATEXTENSIBLE a, b;
        std::string message;
    } cases[] = {
        {sub, good, "Tag not PCM\n"},
        {plainMu, good, "Tag not PCM\n"},
        {nine, good, "InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
        {slow, good, "InFormat.Format.nSamplesPerSec not in List\n"},
        {bits8, good, "InFormat.Format.wBitsPerSample not in List\n"},
        {good, sub, "Output Tag not PCM\n"},
        {good, nine, "Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
        {good, slow, "OutFormat.Format.nSamplesPerSec not in List\n"},
        {good, bits8, ""},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.message);
        const std::string printed = Refusal(c.a, c.b, &ok);
        EXPECT_FALSE(ok);
        EXPECT_EQ(printed, c.message.empty() ? "" : kPrefix + c.message);
        EXPECT_EQ(0, std::memcmp(&Access::In(*m_Chain), &in0, sizeof in0));
        EXPECT_EQ(0, std::memcmp(&Access::Out(*m_Chain), &out0, sizeof out0));
        for (ULONG i = 0; i < 3; ++i)
            EXPECT_EQ(m_Chain->Stage(i), stages0[i]);
    }

    // Accepted edges: extensible float, a plain float tag, 8 channels, 0 channels, 24 and 32 bits.
    for (const auto &[a, b] :
         {std::pair{Extensible(8, 44100, 32, WAVE_FORMAT_IEEE_FLOAT), Extensible(8, 192000, 24)},
          std::pair{Extensible(0, 88200), Extensible(2, 96000, 32)}})
    {
        EXPECT_EQ(Refusal(a, b, &ok), "");
        EXPECT_TRUE(ok);
    }
    WAVEFORMATEX plain{WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 384000, 8, 32, 0};
    WAVEFORMATEXTENSIBLE p{};
    std::memcpy(&p, &plain, sizeof plain);
    EXPECT_EQ(Refusal(p, good, &ok), "");
    EXPECT_TRUE(ok);
}

TEST_F(Src, FormatStageRefusalStoresBothFormats)
{
    // The format stage can only refuse what the chain's checks let through if its conversion is
    // missing: take it away and the formats are stored, the stage pointers kept.
    ASSERT_TRUE(m_Chain->SetFormat(Extensible(2, 44100), Extensible(2, 48000)));
    CDspProcessor *stage1 = m_Chain->Stage(1);
    CDspSplit *split = Access::Split(*m_Chain);
    Access::Split(*m_Chain) = nullptr;
    const auto a = Extensible(4, 96000, 24), b = Extensible(6, 88200, 32);
    bool ok = true;
    EXPECT_EQ(Refusal(a, b, &ok), kPrefix + "m_pSplit->SetFormat False\n");
    EXPECT_FALSE(ok);
    EXPECT_EQ(0, std::memcmp(&Access::In(*m_Chain), &a, sizeof a));
    EXPECT_EQ(0, std::memcmp(&Access::Out(*m_Chain), &b, sizeof b));
    EXPECT_EQ(m_Chain->Stage(1), stage1);
    Access::Split(*m_Chain) = split;
}

TEST_F(Src, ChannelConversionAcceptsOnlyFloatWithinEightChannels)
{
    std::unique_ptr<CChannelConversion> conv(new (NonPagedPool, PoolTag::SRCX) CChannelConversion);
    const auto f = Extensible(2, 48000, 32, WAVE_FORMAT_IEEE_FLOAT);
    const std::string name = "CChannelConversion::SetFormat ";
    struct Case
    {
        WAVEFORMATEXTENSIBLE a, b;
        std::string message;
    } cases[] = {
        {Extensible(2, 48000), f, "Tag not WAVE_FORMAT_IEEE_FLOAT\n"},
        {f, Extensible(2, 48000), "Output Tag not WAVE_FORMAT_IEEE_FLOAT\n"},
        {Extensible(9, 48000, 32, WAVE_FORMAT_IEEE_FLOAT), f,
         "InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
        {f, Extensible(9, 48000, 32, WAVE_FORMAT_IEEE_FLOAT),
         "InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n"},
    };
    for (const Case &c : cases)
    {
        sim::ClearDebugLog();
        EXPECT_FALSE(conv->SetFormat(c.a, c.b));
        ASSERT_EQ(sim::DebugLog().size(), 1u);
        EXPECT_EQ(sim::DebugLog()[0], name + c.message);
    }
    sim::ClearDebugLog();
    EXPECT_TRUE(conv->SetFormat(f, Extensible(8, 44100, 32, WAVE_FORMAT_IEEE_FLOAT)));
    EXPECT_TRUE(sim::DebugLog().empty());
}

TEST_F(Src, FloatFormatRewritesIntegerFormatsFieldByField)
{
    const auto pcm = Extensible(6, 96000, 24);
    const auto f = FxFloatFormat(pcm);
    EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(f.Format.nChannels, 6);
    EXPECT_EQ(f.Format.nSamplesPerSec, 96000u);
    EXPECT_EQ(f.Format.nAvgBytesPerSec, 6u * 4 * 96000);
    EXPECT_EQ(f.Format.nBlockAlign, 24);
    EXPECT_EQ(f.Format.wBitsPerSample, 32);
    EXPECT_EQ(f.Format.cbSize, 22);
    EXPECT_EQ(f.Samples.wValidBitsPerSample, 32);
    EXPECT_EQ(f.dwChannelMask, pcm.dwChannelMask);
    const GUID floatSub = SubFormatForTag(WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(0, std::memcmp(&f.SubFormat, &floatSub, sizeof floatSub));

    WAVEFORMATEXTENSIBLE plain{};
    plain.Format = {WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
    plain.Samples.wValidBitsPerSample = 0x1234; // not part of a plain record: left alone
    const auto g = FxFloatFormat(plain);
    EXPECT_EQ(g.Format.wFormatTag, WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(g.Format.nAvgBytesPerSec, 2u * 4 * 44100);
    EXPECT_EQ(g.Format.nBlockAlign, 8);
    EXPECT_EQ(g.Format.wBitsPerSample, 32);
    EXPECT_EQ(g.Format.cbSize, 0);
    EXPECT_EQ(g.Samples.wValidBitsPerSample, 0x1234);

    auto odd = Extensible(2, 48000, 32, WAVE_FORMAT_IEEE_FLOAT);
    odd.Format.nAvgBytesPerSec = 7; // already float: not even the inconsistent fields change
    const auto h = FxFloatFormat(odd);
    EXPECT_EQ(0, std::memcmp(&h, &odd, sizeof odd));
}

// ---- Stages --------------------------------------------------------------------------------------

TEST_F(Src, StageTableInstallsTheConvertersOfEveryPair)
{
    // Rows: input rate; cells: stage 1 and stage 2 as "x2", "/4", "u" (147:160 up), "d" (down).
    const char *table[6][6] = {
        {"", "u", "x2", "u x2", "x4", "u x4"}, {"d", "", "d x2", "x2", "d x4", "x4"},
        {"/2", "/2 u", "", "u", "x2", "u x2"}, {"/2 d", "/2", "d", "", "d x2", "x2"},
        {"/4", "/4 u", "/2", "/2 u", "", "u"}, {"/4 d", "/4", "/2 d", "/2", "d", ""},
    };
    auto name = [&](const CDspProcessor *p) -> std::string
    {
        if (p == Access::Src44k48k(*m_Chain))
            return p->IsUp() ? "u" : "d";
        const std::string f = p == Access::Factor2(*m_Chain)   ? "2"
                              : p == Access::Factor4(*m_Chain) ? "4"
                                                               : "?";
        return (p->IsUp() ? "x" : "/") + f;
    };
    for (size_t i = 0; i < 6; ++i)
        for (size_t o = 0; o < 6; ++o)
        {
            ASSERT_TRUE(m_Chain->SetFormat(Extensible(2, kRates[i]), Extensible(2, kRates[o])));
            std::string got;
            for (ULONG s = 1; s < 3; ++s)
                if (m_Chain->Stage(s))
                    got += (got.empty() ? "" : " ") + name(m_Chain->Stage(s));
            EXPECT_EQ(got, table[i][o]) << kRates[i] << " -> " << kRates[o];
            EXPECT_EQ(m_Chain->Stage(0), Access::Split(*m_Chain));
            EXPECT_FALSE(m_Chain->Stage(2) && !m_Chain->Stage(1));
        }
}

// Records Reset calls with the direction in force.
template <typename Base> class Recording : public Base
{
public:
    explicit Recording(std::vector<std::string> *log, const char *name) : m_log(log), m_name(name) {}
    void Reset() override
    {
        m_log->push_back(std::string(m_name) + (this->IsUp() ? " up" : " down"));
        Base::Reset();
    }

private:
    std::vector<std::string> *m_log;
    const char *m_name;
};

TEST_F(Src, TwoConvertersAreEachSetThenResetInRunOrder)
{
    std::vector<std::string> log;
    auto *f4 = new (NonPagedPool, PoolTag::SRCX) Recording<CSrcFactor4>(&log, "/4");
    auto *s147 = new (NonPagedPool, PoolTag::SRCX) Recording<CSrc44k48k>(&log, "147");
    ASSERT_TRUE(f4->AllocateBuffers() && s147->AllocateBuffers());
    CSrcFactor4 *r4 = f4;
    CSrc44k48k *r147 = s147;
    std::swap(Access::Factor4(*m_Chain), r4);
    std::swap(Access::Src44k48k(*m_Chain), r147);
    ASSERT_TRUE(m_Chain->SetFormat(Extensible(2, 176400), Extensible(2, 48000)));
    // ResetStages first (factor-2, factor-4, 147:160, split), then the installed pair in order.
    EXPECT_EQ(log, (std::vector<std::string>{"/4 down", "147 down", "/4 down", "147 up"}));
    std::swap(Access::Factor4(*m_Chain), r4);
    std::swap(Access::Src44k48k(*m_Chain), r147);
    delete r4;
    delete r147;
}

TEST_F(Src, StateSizesOfEachProcessor)
{
    CSrcFactor2 f2;
    CSrcFactor4 f4;
    CSrc44k48k s;
    CDspSplit split;
    EXPECT_EQ(f2.UpStateSize(), 18224u);
    EXPECT_EQ(f2.DownStateSize(), 18576u);
    EXPECT_EQ(f4.UpStateSize(), 19552u);
    EXPECT_EQ(f4.DownStateSize(), 20592u);
    EXPECT_EQ(s.UpStateSize(), 16864u);
    EXPECT_EQ(s.DownStateSize(), 16928u);
    EXPECT_EQ(split.UpStateSize(), 4u);
    EXPECT_EQ(split.DownStateSize(), 4u);
}

// ---- Allocation --------------------------------------------------------------------------------

TEST_F(Src, EveryInitAllocationFailedInTurnLeavesNothing)
{
    EXPECT_FALSE(m_Chain->Init()); // a second Init
    m_Chain.reset();
    {
        CDspInterleaveSrc never; // Release of a chain never initialised
        never.Release();
    }
    const ULONG tags[] = {PoolTag::SRCX, PoolTag::DSPS, PoolTag::CCST, PoolTag::PRIM};
    const size_t before = sim::Allocations();
    NewChain().reset();
    const size_t count = sim::Allocations() - before;
    // Object, conversion, 8 x 3 buffers for each of four stages, work buffer.
    ASSERT_EQ(count, 1u + 4 * (1 + 24) + 1 + 1);
    for (size_t k = 2; k <= count; ++k) // allocation 1 is the chain object itself
    {
        SCOPED_TRACE(k);
        ChainPtr s(new (NonPagedPool, PoolTag::CCST) CDspInterleaveSrc);
        ASSERT_TRUE(s);
        sim::FailAllocation(unsigned(k - 1));
        EXPECT_FALSE(s->Init());
        sim::FailAllocation(0);
        EXPECT_FALSE(s->SetFormat(Extensible(2, 44100), Extensible(2, 192000)));
        s->Release();
        s.reset();
        for (ULONG tag : tags)
            EXPECT_EQ(sim::pool::OutstandingBlocks(tag), 0u);
    }
    // The library's own allocator is never asked: its hooks fail nothing Init needs.
    for (int n = 1; n <= 3; ++n)
    {
        dsp::test::ScopedAllocHooks hooks;
        hooks.failNth(n);
        ChainPtr s = NewChain();
        EXPECT_EQ(hooks.allocations(), 0);
        ASSERT_TRUE(s->SetFormat(Extensible(2, 44100), Extensible(2, 192000)));
        s.reset();
        EXPECT_TRUE(hooks.balanced());
    }
    for (ULONG tag : tags)
        EXPECT_EQ(sim::pool::OutstandingBlocks(tag), 0u);
}

// ---- Process -------------------------------------------------------------------------------------

// A converter with buffers, set to a direction and reset.
template <typename T> std::unique_ptr<T> Converter(bool up)
{
    std::unique_ptr<T> p(new (NonPagedPool, PoolTag::SRCX) T);
    EXPECT_TRUE(p->AllocateBuffers());
    p->SetDirection(up);
    p->Reset();
    return p;
}

TEST_F(Src, IntegerFactorsStopAtTheRingAndAtWholeGroups)
{
    std::vector<float> x(DSP_RING_LENGTH, 0.5f);
    auto up = Converter<CSrcFactor2>(true);
    ULONG n = DSP_RING_LENGTH; // 3840 inputs fill the ring; the rest stays unconsumed
    EXPECT_TRUE(up->Process(0, x.data(), &n));
    EXPECT_EQ(n, DSP_RING_LENGTH / 2);
    up->Consume(0, 1); // one free sample holds no pair of outputs
    n = 16;
    up->Process(0, x.data(), &n);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(up->WritePosition(0), DSP_RING_LENGTH - 1);

    auto down = Converter<CSrcFactor2>(false);
    n = 5;
    down->Process(0, x.data(), &n);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(down->WritePosition(0), 2u);

    // A full ring mid-call: it reports what it consumed, and the rest follows exactly.
    auto a = Converter<CSrcFactor4>(false);
    const auto sig = fir_test::uniformSignal(4 * (DSP_RING_LENGTH + 100), 7);
    ULONG all = ULONG(sig.size());
    a->Process(0, sig.data(), &all);
    EXPECT_EQ(all, 4 * DSP_RING_LENGTH);
    std::vector<float> got(a->Ring(0), a->Ring(0) + DSP_RING_LENGTH);
    a->Consume(0, DSP_RING_LENGTH);
    ULONG rest = ULONG(sig.size()) - all;
    a->Process(0, sig.data() + all, &rest);
    EXPECT_EQ(rest, 400u);
    got.insert(got.end(), a->Ring(0), a->Ring(0) + 100);
    const std::vector<float> h(CSrcFactor4::Taps(), CSrcFactor4::Taps() + CSrcFactor4::TAPS);
    const auto ref = fir_test::multirateReference(h, 1, 0, 4, 0, sig, got.size());
    EXPECT_F32_ARRAY_SAME(ref.data(), got.data(), ref.size());
}

// 147:160 reference: output j is sum over k (oldest first) of row[phase_j][k] x[newest_j - k].
std::vector<float> Reference147(const std::vector<float> &x, bool up, size_t outputs)
{
    const float *rows = up ? CSrc44k48k::UpRows() : CSrc44k48k::DownRows();
    const int64_t L = up ? 20 : 24, P = up ? 160 : 147, step = up ? 147 : 160;
    std::vector<float> y(outputs);
    for (size_t j = 0; j < outputs; ++j)
    {
        const int64_t t = int64_t(j) * step; // on the grid of P per input
        const int64_t newest = t / P, phase = t % P;
        double acc = +0.0;
        for (int64_t k = L - 1; k >= 0; --k)
            acc += double(rows[phase * L + k]) * fir_test::firSample(x, {}, newest - k);
        y[j] = float(acc);
    }
    return y;
}

TEST_F(Src, ConvertersMatchReferencesBuiltFromTheirRows)
{
    const auto x = fir_test::uniformSignal(3000, 11);
    for (ULONG F : {2u, 4u})
        for (bool up : {true, false})
        {
            SCOPED_TRACE(std::to_string(F) + (up ? " up" : " down"));
            std::unique_ptr<CSrcIntegerFactor> c;
            if (F == 2)
                c = Converter<CSrcFactor2>(up);
            else
                c = Converter<CSrcFactor4>(up);
            ULONG n = 1000;
            c->Process(0, x.data(), &n);
            const float *taps = F == 2 ? CSrcFactor2::Taps() : CSrcFactor4::Taps();
            const std::vector<float> h(taps, taps + (F == 2 ? 66 : 132));
            const size_t outs = c->WritePosition(0);
            ASSERT_EQ(outs, up ? 1000 * F : 1000 / F);
            auto ref = fir_test::multirateReference(h, up ? F : 1, 0, up ? 1 : F, 0, x, outs);
            if (up)
                for (float &v : ref)
                    v *= float(F); // the gain after rounding, exact
            EXPECT_F32_ARRAY_SAME(ref.data(), c->Ring(0), outs);
        }
    for (bool up : {true, false})
    {
        SCOPED_TRACE(up ? "147:160 up" : "147:160 down");
        auto c = Converter<CSrc44k48k>(up);
        // Uneven calls, so phases wrap across call boundaries.
        std::vector<float> out;
        size_t done = 0;
        for (size_t piece : {1, 2, 13, 146, 147, 160, 7, 500, 1024})
        {
            ULONG n = ULONG(piece);
            c->Process(0, x.data() + done, &n);
            ASSERT_EQ(n, piece);
            done += piece;
            out.insert(out.end(), c->Ring(0), c->Ring(0) + c->WritePosition(0));
            c->Consume(0, c->WritePosition(0));
        }
        const size_t expect = up ? (160 * done + 146) / 147 : (147 * done + 159) / 160;
        ASSERT_EQ(out.size(), expect);
        const auto ref = Reference147(x, up, out.size());
        EXPECT_F32_ARRAY_SAME(ref.data(), out.data(), out.size());
    }
}

TEST_F(Src, DownStepReadsOnlyItsOwnInput)
{
    auto c = Converter<CSrc44k48k>(false);
    auto ref = Converter<CSrc44k48k>(false);
    const auto x = fir_test::uniformSignal(2000, 5);
    ULONG zero = 0;
    c->Process(0, nullptr, &zero); // count 0 reads nothing, even through a null array
    EXPECT_EQ(zero, 0u);
    EXPECT_EQ(c->WritePosition(0), 0u);
    std::vector<float> out;
    size_t done = 0, wrapped = 0;
    while (done < x.size())
    {
        // Each call gets a heap array of exactly its count: a read past it is an ASan report.
        const size_t piece = std::min<size_t>(1 + (done * 7) % 23, x.size() - done);
        std::unique_ptr<float[]> exact(new float[piece]);
        std::copy(x.begin() + long(done), x.begin() + long(done + piece), exact.get());
        ULONG n = ULONG(piece);
        c->Process(0, exact.get(), &n);
        ASSERT_EQ(n, piece);
        wrapped += c->Phase(0) >= 147;
        ULONG none = 0;
        c->Process(0, exact.get() + piece, &none); // count 0 at the array's end
        done += piece;
    }
    EXPECT_GT(wrapped, 0u); // some calls ended before the skipped input arrived
    ULONG all = ULONG(x.size());
    ref->Process(0, x.data(), &all);
    ASSERT_EQ(c->WritePosition(0), ref->WritePosition(0));
    EXPECT_F32_ARRAY_SAME(ref->Ring(0), c->Ring(0), c->WritePosition(0));
}

TEST_F(Src, UpResumesAReusedInputAfterAFullRing)
{
    const auto x = fir_test::uniformSignal(9000, 3);
    bool reused = false;
    for (ULONG lead = 1; lead < 160 && !reused; ++lead)
    {
        auto c = Converter<CSrc44k48k>(true);
        ULONG n = 200;
        c->Process(0, x.data(), &n);
        // Taking `lead` outputs out moves where the ring fills against the 160-output period.
        std::vector<float> out(c->Ring(0), c->Ring(0) + lead);
        c->Consume(0, lead);
        size_t done = n;
        n = ULONG(x.size() - done);
        c->Process(0, x.data() + done, &n); // stops at the ring's end
        ASSERT_EQ(c->WritePosition(0), DSP_RING_LENGTH);
        // A phase of 147 or more: the input in hand feeds another output and was not consumed.
        reused = c->Phase(0) >= 147;
        done += n;
        out.insert(out.end(), c->Ring(0), c->Ring(0) + DSP_RING_LENGTH);
        c->Consume(0, DSP_RING_LENGTH);
        n = ULONG(x.size() - done);
        c->Process(0, x.data() + done, &n);
        ASSERT_EQ(done + n, x.size());
        out.insert(out.end(), c->Ring(0), c->Ring(0) + c->WritePosition(0));
        const auto ref = Reference147(x, true, out.size());
        ASSERT_EQ(out.size(), (160 * x.size() + 146) / 147);
        ASSERT_TRUE(sameF32Array("ref", "out", "", ref.data(), out.data(), out.size())) << lead;
    }
    EXPECT_TRUE(reused);
}

// ---- The chain: counts, chunking, InputFor -------------------------------------------------------

size_t Compose(uint32_t in, uint32_t out, size_t n)
{
    const bool in44 = in % 44100 == 0, out44 = out % 44100 == 0;
    const size_t im = in / (in44 ? 44100 : 48000), om = out / (out44 ? 44100 : 48000);
    auto by147 = [&](size_t k) { return in44 ? (160 * k + 146) / 147 : (147 * k + 159) / 160; };
    auto integer = [&](size_t k) { return om > im ? k * (om / im) : k / (im / om); };
    if (in44 == out44)
        return integer(n);
    return om >= im ? integer(by147(n)) : by147(integer(n));
}

TEST_F(Src, EveryPairGivesTheComposedCountAndChunkingDoesNotMatter)
{
    const size_t n = kSanitized ? 1500 : 4410;
    Planar in{fir_test::uniformSignal(n, 1), fir_test::uniformSignal(n, 2)};
    std::mt19937 rng(9);
    for (uint32_t a : kRates)
        for (uint32_t b : kRates)
        {
            SCOPED_TRACE(std::to_string(a) + " -> " + std::to_string(b));
            ASSERT_TRUE(m_Chain->SetFormat(Extensible(2, a), Extensible(2, b)));
            const Planar whole = Convert(*m_Chain, in, 2, n);
            ASSERT_EQ(whole[0].size(), Compose(a, b, n));
            for (size_t chunk : {1, 7, 147, 160, 441, 480, 512, 4096, 0})
            {
                if (kSanitized && chunk == 1)
                    continue;
                m_Chain->ResetStages();
                const size_t size = chunk ? chunk : 1 + rng() % 997;
                const Planar pieces = Convert(*m_Chain, in, 2, size);
                ASSERT_EQ(pieces[1].size(), whole[1].size()) << chunk;
                EXPECT_F32_ARRAY_SAME(whole[0].data(), pieces[0].data(), whole[0].size()) << chunk;
                EXPECT_F32_ARRAY_SAME(whole[1].data(), pieces[1].data(), whole[1].size()) << chunk;
            }
        }
}

TEST_F(Src, WholePeriodsGiveTheNominalRatio)
{
    Planar a{std::vector<float>(147 * 30, 0.1f)};
    ASSERT_TRUE(m_Chain->SetFormat(Extensible(1, 44100), Extensible(1, 192000)));
    EXPECT_EQ(Convert(*m_Chain, a, 1, 1000)[0].size(), 640u * 30);
    Planar b{std::vector<float>(160 * 30, 0.1f)};
    ASSERT_TRUE(m_Chain->SetFormat(Extensible(1, 48000), Extensible(1, 44100)));
    EXPECT_EQ(Convert(*m_Chain, b, 1, 1000)[0].size(), 147u * 30);
}

TEST_F(Src, InputForIsTheExactInputThatMakesTheFramesAvailable)
{
    const auto x = fir_test::uniformSignal(80000, 4);
    std::vector<float> sink(8192);
    std::mt19937 rng(1);
    for (uint32_t a : kRates)
        for (uint32_t b : kRates)
        {
            SCOPED_TRACE(std::to_string(a) + " -> " + std::to_string(b));
            ASSERT_TRUE(m_Chain->SetFormat(Extensible(1, a), Extensible(1, b)));
            size_t done = 0;
            for (int round = 0; round < 40; ++round)
            {
                const ULONG want = 1 + rng() % 300;
                const ULONG need = m_Chain->InputFor(want);
                if (need > 0)
                {
                    // One frame fewer is not enough.
                    const float *p = x.data() + done;
                    ASSERT_EQ(m_Chain->Feed(&p, need - 1), need - 1);
                    EXPECT_LT(m_Chain->Available(), want);
                    p = x.data() + done + need - 1;
                    ASSERT_EQ(m_Chain->Feed(&p, 1), 1u);
                    done += need;
                }
                EXPECT_GE(m_Chain->Available(), want);
                float *o = sink.data();
                m_Chain->Drain(&o, 1 + rng() % want);
                ASSERT_LT(done + 2000, x.size());
            }
        }
}

// ---- Streaming, refused formats, bad arguments ---------------------------------------------------

TEST_F(Src, TenSecondsOfEveryPairAllocateNothing)
{
    const double seconds = kSanitized ? 0.5 : 10.0;
    Planar block(1);
    std::vector<std::vector<float>> outPlanes(8, std::vector<float>(1920));
    std::vector<float *> outs;
    for (auto &p : outPlanes)
        outs.push_back(p.data());
    for (uint32_t a : kRates)
        for (uint32_t b : kRates)
        {
            ASSERT_TRUE(m_Chain->SetFormat(Extensible(1, a), Extensible(1, b)));
            const size_t per = a / 100;
            for (auto &c : block)
                c.assign(per, 0.5f);
            const size_t pool = sim::Outstanding(), calls = sim::Allocations();
            dsp::test::AllocationCounter counter;
            AtDispatch(
                [&]
                {
                    for (size_t t = 0; t < size_t(seconds * 100); ++t)
                    {
                        ULONG fed = 0;
                        while (fed < per)
                        {
                            const auto at = Pointers(block, fed);
                            fed += m_Chain->Feed(at.data(), ULONG(per - fed));
                            while (m_Chain->Drain(outs.data(), 1920) > 0)
                            {
                            }
                        }
                    }
                });
            EXPECT_EQ(sim::Outstanding(), pool);
            EXPECT_EQ(sim::Allocations(), calls);
            EXPECT_EQ(counter.allocations(), 0);
        }
}

TEST_F(Src, RefusedFormatMovesNothingUntilAGoodOne)
{
    ASSERT_TRUE(m_Chain->SetFormat(Extensible(2, 44100), Extensible(2, 48000)));
    Planar in{std::vector<float>(100, 0.5f), std::vector<float>(100, 0.5f)};
    auto p = Pointers(in, 0);
    ASSERT_EQ(m_Chain->Feed(p.data(), 100), 100u);
    ASSERT_GT(m_Chain->Available(), 0u);
    EXPECT_FALSE(m_Chain->SetFormat(Extensible(2, 44100), Extensible(2, 22050)));
    EXPECT_EQ(m_Chain->Available(), 0u);
    EXPECT_EQ(m_Chain->InputFor(100), 0u);
    EXPECT_EQ(m_Chain->Feed(p.data(), 100), 0u);
    std::vector<float> canary(200, -7.0f);
    float *o[2] = {canary.data(), canary.data() + 100};
    EXPECT_EQ(m_Chain->Drain(o, 100), 0u);
    EXPECT_TRUE(std::all_of(canary.begin(), canary.end(), [](float v) { return v == -7.0f; }));
    ASSERT_TRUE(m_Chain->SetFormat(Extensible(2, 96000), Extensible(2, 48000)));
    EXPECT_EQ(m_Chain->Feed(p.data(), 100), 100u);
    EXPECT_EQ(m_Chain->Drain(o, 100), 50u);
}

TEST_F(Src, ChannelsBeyondTheInputAreZeroAndExtraInputsDropped)
{
    ASSERT_TRUE(m_Chain->SetFormat(Extensible(2, 48000), Extensible(4, 48000)));
    Planar in{std::vector<float>(64, 0.25f), std::vector<float>(64, -0.5f)};
    const Planar out = Convert(*m_Chain, in, 4, 64);
    EXPECT_EQ(out[0], in[0]); // equal rates: a plain copy
    EXPECT_EQ(out[1], in[1]);
    for (size_t c : {2, 3})
        for (float v : out[c])
            EXPECT_EQ(dsp::test::f32Bits(v), 0u);
    ASSERT_TRUE(m_Chain->SetFormat(Extensible(2, 48000), Extensible(1, 96000)));
    EXPECT_EQ(Convert(*m_Chain, in, 1, 64)[0].size(), 128u);
    ASSERT_TRUE(m_Chain->SetFormat(Extensible(0, 48000), Extensible(2, 96000)));
    EXPECT_EQ(m_Chain->Feed(Pointers(in, 0).data(), 64), 0u);
    EXPECT_EQ(m_Chain->InputFor(10), 0u);
}

TEST_F(Src, NullTablesAndPlanesAreRefusedWithoutATouch)
{
    ASSERT_TRUE(m_Chain->SetFormat(Extensible(2, 44100), Extensible(2, 96000)));
    Planar in{std::vector<float>(300, 0.5f), std::vector<float>(300, 0.5f)};
    auto p = Pointers(in, 0);
    ASSERT_EQ(m_Chain->Feed(p.data(), 300), 300u);
    const ULONG available = m_Chain->Available();
    const ULONG inputFor = m_Chain->InputFor(2000);
    EXPECT_EQ(m_Chain->Feed(nullptr, 300), 0u);
    const float *half[2] = {in[0].data(), nullptr};
    EXPECT_EQ(m_Chain->Feed(half, 300), 0u);
    std::vector<float> guard(1000, 3.0f);
    float *o[2] = {guard.data(), nullptr};
    EXPECT_EQ(m_Chain->Drain(nullptr, 100), 0u);
    EXPECT_EQ(m_Chain->Drain(o, 100), 0u);
    EXPECT_TRUE(std::all_of(guard.begin(), guard.end(), [](float v) { return v == 3.0f; }));
    EXPECT_EQ(m_Chain->Available(), available);
    EXPECT_EQ(m_Chain->InputFor(2000), inputFor);
}

// ---- Random format pairs -------------------------------------------------------------------------

TEST_F(Src, RandomFormatPairsAreJudgedByTheRules)
{
    std::mt19937 rng(2024);
    const uint16_t tags[] = {1, 3, 0xFFFE, 0, 2, 7, 0xFFFF};
    const uint32_t rates[] = {44100, 48000, 88200, 96000, 176400, 192000, 22050, 0, 44101, 384000};
    const uint16_t bits[] = {16, 24, 32, 8, 0, 20, 64};
    auto pick = [&](auto &list) { return list[rng() % (sizeof list / sizeof list[0])]; };
    auto make = [&]
    {
        WAVEFORMATEXTENSIBLE f{};
        auto *bytes = reinterpret_cast<unsigned char *>(&f);
        for (size_t i = 0; i < sizeof f; ++i)
            bytes[i] = uint8_t(rng());
        if (rng() % 4)
            f.Format.wFormatTag = pick(tags);
        if (rng() % 3)
            f.SubFormat.Data1 = (rng() % 2 ? 0 : rng() << 16) | pick(tags);
        if (rng() % 4)
            f.Format.nChannels = uint16_t(rng() % 11);
        if (rng() % 4)
            f.Format.nSamplesPerSec = pick(rates);
        if (rng() % 4)
            f.Format.wBitsPerSample = pick(bits);
        return f;
    };
    auto message = [](const WAVEFORMATEXTENSIBLE &a, const WAVEFORMATEXTENSIBLE &b) -> std::string
    {
        auto okTag = [](const WAVEFORMATEXTENSIBLE &f)
        {
            const uint32_t t =
                f.Format.wFormatTag == 0xFFFE ? (f.SubFormat.Data1 & 0xFFFF) : f.Format.wFormatTag;
            return t == 1 || t == 3;
        };
        auto okRate = [](uint32_t r) { return std::find(kRates.begin(), kRates.end(), r) != kRates.end(); };
        auto okBits = [](uint16_t b) { return b == 16 || b == 24 || b == 32; };
        if (!okTag(a))
            return "Tag not PCM\n";
        if (a.Format.nChannels > 8)
            return "InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n";
        if (!okRate(a.Format.nSamplesPerSec))
            return "InFormat.Format.nSamplesPerSec not in List\n";
        if (!okBits(a.Format.wBitsPerSample))
            return "InFormat.Format.wBitsPerSample not in List\n";
        if (!okTag(b))
            return "Output Tag not PCM\n";
        if (b.Format.nChannels > 8)
            return "Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n";
        if (!okRate(b.Format.nSamplesPerSec))
            return "OutFormat.Format.nSamplesPerSec not in List\n";
        if (!okBits(b.Format.wBitsPerSample))
            return "-";
        return "";
    };
    const int rounds = kSanitized ? 10000 : 100000;
    for (int i = 0; i < rounds; ++i)
    {
        const auto a = make(), b = make();
        const std::string expect = message(a, b);
        bool ok = false;
        const std::string printed = Refusal(a, b, &ok);
        ASSERT_EQ(ok, expect.empty()) << i;
        ASSERT_EQ(printed, expect.empty() || expect == "-" ? "" : kPrefix + expect) << i;
    }
}

} // namespace
