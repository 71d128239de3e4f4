// The effect nodes over a scripted switch unit and the registry: node 140's configuration order and
// its stored parameters, all-or-nothing parameter sets, the float format, the switch hand-over at
// either IRQL, the parameter node's bands and enable word, and every allocation of each
// initialisation failed in turn.
#include "driver/effects/effect_nodes.h"
#include "driver/effects/headphone/audio_app.h"

#include "driver/base/pool_memory.h"
#include "driver/core/settings.h"
#include "effects_test_support.h"
#include "support/device_fixture.h"

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{

class SwitchUnit : public ISwitchControl, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    explicit SwitchUnit(PUNKNOWN outer) : CUnknownBase(outer) {}
    std::map<UCHAR, UCHAR> bytes;
    NTSTATUS sendStatus = STATUS_SUCCESS;
    ULONG sends = 0;

    NTSTATUS GetSwitchChannels(UCHAR, PULONG count) override
    {
        *count = 1;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetSwitch(UCHAR control, ULONG, PUCHAR value) override
    {
        *value = bytes[control];
        return STATUS_SUCCESS;
    }
    NTSTATUS SetSwitch(UCHAR control, ULONG, UCHAR value) override
    {
        ++sends;
        if (NT_SUCCESS(sendStatus))
            bytes[control] = value;
        return sendStatus;
    }
};

NTSTATUS SwitchUnit::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<ISwitchControl *>(this),
                           {{IID_ISwitchControl, static_cast<ISwitchControl *>(this)}});
}

// The parameter node with its band writes counted and, optionally, its processed copy left as it is
// (so the make-up gain shows alone).
class CountingParamNode : public CEffectParamNode
{
public:
    using CEffectParamNode::CEffectParamNode;
    std::vector<ULONG> bandsSet;
    bool plainWet = false;

protected:
    BOOLEAN SetBand(ULONG band, float first, float second) override
    {
        bandsSet.push_back(band);
        return CEffectParamNode::SetBand(band, first, second);
    }
    void WetStages(float *const *wet, ULONG channels, ULONG frames) override
    {
        if (!plainWet)
            CEffectParamNode::WetStages(wet, channels, frames);
    }
};

// Node 139 with the first sample its dry stages see.
class ProbedNode139 : public CEffectNode139
{
public:
    using CEffectNode139::CEffectNode139;
    float dryInput = -1.0f;

protected:
    void DryStages(float *const *dry, ULONG channels, ULONG frames) override
    {
        dryInput = dry[0][0];
        CEffectNode139::DryStages(dry, channels, frames);
    }
};

template <class T> struct Held
{
    T *p = nullptr;
    ~Held() { Reset(); }
    void Reset()
    {
        if (p)
            p->Release();
        p = nullptr;
    }
    T *operator->() const { return p; }
};

template <class T> Held<T> Make(ULONG id = 9)
{
    Held<T> h;
    h.p = new (NonPagedPool, PoolTag::Grue) T(nullptr, id);
    if (h.p)
        h.p->AddRef();
    return h;
}

std::vector<uint8_t> Le32(LONG v)
{
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(uint32_t(v) >> 24)};
}

WAVEFORMATEXTENSIBLE Pcm(USHORT channels, ULONG rate, USHORT bits, bool extensible)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = extensible ? WAVE_FORMAT_EXTENSIBLE : WAVE_FORMAT_PCM;
    f.Format.nChannels = channels;
    f.Format.nSamplesPerSec = rate;
    f.Format.wBitsPerSample = bits;
    f.Format.nBlockAlign = USHORT(channels * bits / 8);
    f.Format.nAvgBytesPerSec = rate * f.Format.nBlockAlign;
    if (extensible)
    {
        f.Format.cbSize = 22;
        f.Samples.wValidBitsPerSample = bits;
        f.SubFormat = SubFormatForTag(WAVE_FORMAT_PCM);
    }
    return f;
}

class EffectNodes : public DeviceTest
{
protected:
    static constexpr UCHAR kUnit = 5;
    void SetUp() override
    {
        DeviceTest::SetUp();
        unit = new (NonPagedPool, PoolTag::Grue) SwitchUnit(nullptr);
        unit->AddRef();
        settings = {Device(), SettingsValue};
    }
    void TearDown() override
    {
        unit->Release();
        DeviceTest::TearDown();
    }
    PUNKNOWN Unit() { return static_cast<ISwitchControl *>(unit); }
    std::optional<std::vector<uint8_t>> Stored(const std::string &name)
    {
        auto v = Setting(name);
        return v ? std::optional(v->data) : std::nullopt;
    }
    void Store(const std::string &name, LONG value)
    {
        sim::registry::SetValue(SettingsKey(), name, REG_BINARY, Le32(value));
    }
    std::vector<LONG> Parameters(IInfoNode *node, ULONG count)
    {
        std::vector<LONG> v(count);
        EXPECT_EQ(node->GetValues(0, count, reinterpret_cast<PULONG>(v.data())), STATUS_SUCCESS);
        return v;
    }

    SwitchUnit *unit = nullptr;
    NodeSettings settings{};
};

TEST_F(EffectNodes, SurroundNodeConfiguresItsEngineInOrderAndStoredParametersWin)
{
    {
        auto node = Make<CEffectNode140>();
        ASSERT_EQ(node->Init140(Unit(), kUnit, settings, 3), STATUS_SUCCESS);
        HeadphoneSurround *engine = node->Engine();
        EXPECT_EQ(engine->GetActive(), TRUE);
        EXPECT_EQ(engine->GetPath(), 0);
        EXPECT_EQ(engine->GetThirdValue(0), 3);
        EXPECT_EQ(engine->GetThirdValue(1), 3);
        EXPECT_EQ(engine->GetOutput(), 5); // output setting 0 is the engine's room 5
        EXPECT_EQ(Parameters(node.p, 2),
                  (std::vector<LONG>{engine->GetFirstValue(0), engine->GetSecondValue(0)}));

        // The information block: the node type, the switch byte, two parameters and their ranges.
        ULONG words[4] = {};
        ASSERT_EQ(node->GetWords(words), STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(words, &EFFECT_NODE_140_TYPE, sizeof words), 0);
        ULONG count = 0, range[3] = {};
        EXPECT_EQ(node->GetValue(&count), STATUS_SUCCESS);
        EXPECT_EQ(count, 2u);
        EXPECT_EQ(node->GetTriple(0, range), STATUS_SUCCESS);
        EXPECT_EQ(std::vector<ULONG>(range, range + 3), (std::vector<ULONG>{2, 0, 1}));
        EXPECT_EQ(node->GetTriple(1, range), STATUS_SUCCESS);
        EXPECT_EQ(std::vector<ULONG>(range, range + 3), (std::vector<ULONG>{1, 0, 1}));
        EXPECT_EQ(node->GetTriple(2, range), STATUS_INVALID_PARAMETER);

        // The first block of a stream applies that configuration: angle code 39 at size code 2,
        // and the parameters read mode 1, flag 0.
        const auto pcm = Pcm(8, 48000, 16, true);
        ASSERT_EQ(node->SetEffectFormat(&pcm), STATUS_SUCCESS);
        fx_test::Planes block(512, 8, 0.1f);
        AtDispatch([&] { EXPECT_EQ(node->ProcessBuffers(&pcm, block.ptr.data(), 512), STATUS_SUCCESS); });
        EXPECT_EQ(engine->Engine()->m_Core.m_nAngle, 39);
        EXPECT_EQ(engine->Engine()->m_Core.m_nRoom, 2);
        EXPECT_EQ(Parameters(node.p, 2), (std::vector<LONG>{1, 0}));
    }
    Store("Unit05_0", 2);
    Store("Unit05_1", 1);
    {
        auto node = Make<CEffectNode140>();
        ASSERT_EQ(node->Init140(Unit(), kUnit, settings, 3), STATUS_SUCCESS);
        EXPECT_EQ(Parameters(node.p, 2), (std::vector<LONG>{2, 1}));
        EXPECT_EQ(node->Engine()->GetFirstValue(0), 2);
        EXPECT_EQ(node->Engine()->GetSecondValue(0), 1);
        EXPECT_EQ(node->Engine()->GetSecondValue(1), 1);
    }
    // A stored mode the set would refuse never reaches the engine.
    Store("Unit05_0", 7);
    {
        auto node = Make<CEffectNode140>();
        ASSERT_EQ(node->Init140(Unit(), kUnit, settings, 3), STATUS_SUCCESS);
        EXPECT_NE(node->Engine()->GetFirstValue(0), 7);
        EXPECT_EQ(Parameters(node.p, 2)[0], node->Engine()->GetFirstValue(0));
    }
}

TEST_F(EffectNodes, SurroundParametersAreCheckedWholeBeforeAnythingChanges)
{
    auto node = Make<CEffectNode140>();
    ASSERT_EQ(node->Init140(Unit(), kUnit, settings, 3), STATUS_SUCCESS);
    HeadphoneSurround *engine = node->Engine();
    const auto before = Parameters(node.p, 2);
    const LONG engineMode = engine->GetFirstValue(0), engineFlag = engine->GetSecondValue(0);

    const ULONG refused[2] = {5, 1};
    EXPECT_EQ(node->SetValues(0, 2, refused), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Parameters(node.p, 2), before);
    EXPECT_EQ(engine->GetFirstValue(0), engineMode);
    EXPECT_EQ(engine->GetSecondValue(0), engineFlag);
    EXPECT_FALSE(Stored("Unit05_0"));
    EXPECT_FALSE(Stored("Unit05_1"));

    const ULONG taken[2] = {2, 0};
    EXPECT_EQ(node->SetValues(0, 2, taken), STATUS_SUCCESS);
    EXPECT_EQ(Parameters(node.p, 2), (std::vector<LONG>{2, 0}));
    EXPECT_EQ(engine->GetFirstValue(0), 2);
    EXPECT_EQ(engine->GetSecondValue(0), 0);
    EXPECT_EQ(Stored("Unit05_0"), Le32(2));
    EXPECT_EQ(Stored("Unit05_1"), Le32(0));

    // The mode runs from 0 to 2: one past either end is refused; both ends are taken.
    for (LONG mode : {3, -1})
    {
        EXPECT_EQ(node->SetEffectParameters(0, 1, &mode), STATUS_INVALID_PARAMETER) << mode;
        EXPECT_EQ(Parameters(node.p, 1), (std::vector<LONG>{2})) << mode;
    }
    for (LONG mode : {0, 2})
        EXPECT_EQ(node->SetEffectParameters(0, 1, &mode), STATUS_SUCCESS) << mode;

    const ULONG one = 1;
    LONG out[2] = {};
    EXPECT_EQ(node->SetValues(0xFFFFFFFFu, 1, &one), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->SetValues(1, 2, taken), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->SetValues(0, 0, taken), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->GetEffectParameters(0xFFFFFFFFu, 2, out), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->SetEffectParameters(1, 1, nullptr), STATUS_INVALID_PARAMETER);

    // Node 139 has no parameters.
    auto room = Make<CEffectNode139>();
    ASSERT_EQ(room->Init139(Unit(), kUnit, settings, 3), STATUS_SUCCESS);
    ULONG count = 9;
    EXPECT_EQ(room->GetValue(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(room->SetValues(0, 1, &one), STATUS_INVALID_PARAMETER);
}

TEST_F(EffectNodes, FormatsBecomeFloatAndUnusableOnesChangeNothing)
{
    auto node = Make<CEffectNode140>();
    ASSERT_EQ(node->Init140(Unit(), kUnit, settings, 3), STATUS_SUCCESS);
    const auto pcm = Pcm(6, 48000, 16, true);
    ASSERT_EQ(node->SetEffectFormat(&pcm), STATUS_SUCCESS);
    const auto &f = node->FloatFormat();
    EXPECT_EQ(std::memcmp(&node->StreamFormat(), &pcm, sizeof pcm), 0);
    EXPECT_EQ(f.Format.wFormatTag, WAVE_FORMAT_EXTENSIBLE);
    EXPECT_EQ(SampleTypeOf(f), WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(f.Format.wBitsPerSample, 32);
    EXPECT_EQ(f.Samples.wValidBitsPerSample, 32);
    EXPECT_EQ(f.Format.nBlockAlign, 24);
    EXPECT_EQ(f.Format.nAvgBytesPerSec, 24u * 48000);
    EXPECT_EQ(node->Engine()->GetChannels(), 6); // the surround engine got the stream's layout

    const auto plain = Pcm(2, 44100, 24, false);
    ASSERT_EQ(node->SetEffectFormat(&plain), STATUS_SUCCESS);
    EXPECT_EQ(node->FloatFormat().Format.wFormatTag, WAVE_FORMAT_IEEE_FLOAT);
    EXPECT_EQ(node->FloatFormat().Format.nBlockAlign, 8);

    for (auto bad : {Pcm(0, 48000, 16, true), Pcm(9, 48000, 16, true), Pcm(2, 0, 16, true)})
        EXPECT_EQ(node->SetEffectFormat(&bad), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->SetEffectFormat(nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(std::memcmp(&node->StreamFormat(), &plain, sizeof plain), 0);
}

// Decision: the kind-23 set sends the byte, raises the change and persists; the processing takes
// each change exactly once, at PASSIVE_LEVEL or at DISPATCH_LEVEL.
TEST_F(EffectNodes, SwitchChangesReachTheProcessingOnceAtEitherLevel)
{
    auto node = Make<CEffectNode139>();
    ASSERT_EQ(node->Init139(Unit(), kUnit, settings, 3), STATUS_SUCCESS);
    EXPECT_FALSE(node->TakeSwitchChange());

    EXPECT_EQ(node->SetValue(1), STATUS_SUCCESS);
    EXPECT_EQ(unit->bytes[EFFECT_CONTROL_139], 1);
    EXPECT_EQ(Stored("Unit05_139_0"), std::vector<uint8_t>{1});
    BOOLEAN first = FALSE, second = TRUE;
    AtDispatch(
        [&]
        {
            first = node->TakeSwitchChange();
            second = node->TakeSwitchChange();
        });
    EXPECT_TRUE(first);
    EXPECT_FALSE(second);
    EXPECT_EQ(node->ActiveSwitch(), 1);

    EXPECT_EQ(node->SetValue(0), STATUS_SUCCESS);
    EXPECT_TRUE(node->TakeSwitchChange());
    EXPECT_FALSE(node->TakeSwitchChange());
    EXPECT_EQ(node->ActiveSwitch(), 0);

    unit->sendStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(node->SetValue(1), STATUS_UNSUCCESSFUL);
    UCHAR cached = 9;
    EXPECT_EQ(node->GetByte(&cached), STATUS_SUCCESS);
    EXPECT_EQ(cached, 0);
    EXPECT_TRUE(Violations().empty());
}

// The render entry of the effect nodes with their own engines: the room node's offset comes first,
// and it leaves a stereo stream dry; a switch toggled while streaming fades in.
TEST_F(EffectNodes, RoomNodeOffsetsFirstAndLeavesStereoDry)
{
    auto node = Make<ProbedNode139>();
    ASSERT_EQ(node->Init139(Unit(), kUnit, settings, 3), STATUS_SUCCESS);
    const auto format = Pcm(2, 48000, 16, true);
    ASSERT_EQ(node->SetEffectFormat(&format), STATUS_SUCCESS);
    ASSERT_EQ(node->SetValue(1), STATUS_SUCCESS);
    fx_test::Planes silence(256, 2, 0.0f);
    AtDispatch([&] { EXPECT_EQ(node->ProcessBuffers(&format, silence.ptr.data(), 256), STATUS_SUCCESS); });
    EXPECT_EQ(node->dryInput, 1e-12f);
    EXPECT_EQ(node->ActiveSwitch(), 1);

    // Float blocks are not the node's.
    fx_test::Planes tone(64, 2, 0.25f);
    const auto floats = fx_test::FloatFormat(2, 48000);
    EXPECT_EQ(node->ProcessBuffers(&floats, tone.ptr.data(), 64), STATUS_SUCCESS);
    EXPECT_EQ(tone.data[1][63], 0.25f);
}

TEST_F(EffectNodes, ParameterNodeBandsPersistAndOnlyChangedOnesReachTheEngine)
{
    auto node = Make<CountingParamNode>();
    ASSERT_EQ(node->InitParamNode(kUnit, settings, 3), STATUS_SUCCESS);
    const LONG defaults[8] = {-30, 30, -150, 150, 0, -100, 100, 15};
    for (int band = 0; band < 8; ++band)
    {
        float first = 0, second = 0;
        ASSERT_TRUE(EqGetBand(node->Panner(), band, &first, &second));
        EXPECT_EQ(first, 30.0f);
        EXPECT_EQ(second, float(defaults[band]));
    }
    ULONG words[4] = {}, count = 0;
    ASSERT_EQ(node->GetWords(words), STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(words, &EFFECT_PARAM_NODE_TYPE, sizeof words), 0);
    EXPECT_EQ(node->GetValue(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 17u);

    // Bands 0 (unchanged) and 7 (changed): only band 7 is written.
    node->bandsSet.clear();
    const ULONG set[4] = {30, ULONG(-30), 20, 45};
    ASSERT_EQ(node->SetValues(0, 2, set), STATUS_SUCCESS);
    ASSERT_EQ(node->SetValues(14, 2, set + 2), STATUS_SUCCESS);
    EXPECT_EQ(node->bandsSet, std::vector<ULONG>{7});
    float first = 0, second = 0;
    EqGetBand(node->Panner(), 7, &first, &second);
    EXPECT_EQ(first, 20.0f);
    EXPECT_EQ(second, 45.0f);
    EXPECT_EQ(Stored("Unit05_14"), Le32(20));
    EXPECT_EQ(Stored("Unit05_15"), Le32(45));
    EXPECT_EQ(node->SetBandPair(2, 10, 11), STATUS_SUCCESS);
    EXPECT_EQ(Stored("Unit05_5"), Le32(11));
    EXPECT_EQ(node->SetBandPair(8, 10, 11), STATUS_INVALID_PARAMETER);

    // Spans that would wrap store nothing.
    node->bandsSet.clear();
    EXPECT_EQ(node->SetValues(0xFFFFFFFFu, 2, set), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->SetValues(16, 2, set), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(node->bandsSet.empty());
    EXPECT_FALSE(Stored("Unit05_16"));

    ULONG range[3] = {};
    EXPECT_EQ(node->GetTriple(16, range), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<ULONG>(range, range + 3), (std::vector<ULONG>{0x7FFFFFFF, 0x80000000, 1}));
    EXPECT_EQ(node->GetTriple(17, range), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(node->SetEffectFormat(nullptr), STATUS_INVALID_PARAMETER);

    // A second node reads the stored bands back.
    auto again = Make<CountingParamNode>();
    ASSERT_EQ(again->InitParamNode(kUnit, settings, 3), STATUS_SUCCESS);
    EqGetBand(again->Panner(), 7, &first, &second);
    EXPECT_EQ(second, 45.0f);

    // Without its engines (never initialised) the node refuses formats and sets.
    auto bare = Make<CEffectParamNode>();
    const auto format = Pcm(2, 48000, 16, true);
    EXPECT_EQ(bare->SetEffectFormat(&format), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bare->SetValues(0, 2, set), STATUS_INVALID_PARAMETER);
}

// The enable word turns the +4 dB make-up on after its fade.
TEST_F(EffectNodes, EnabledEqGainsFourDecibels)
{
    auto node = Make<CountingParamNode>();
    ASSERT_EQ(node->InitParamNode(kUnit, settings, 3), STATUS_SUCCESS);
    node->plainWet = true;
    const auto format = Pcm(2, 48000, 16, true);
    ASSERT_EQ(node->SetEffectFormat(&format), STATUS_SUCCESS);
    const ULONG on = 1;
    ASSERT_EQ(node->SetValues(16, 1, &on), STATUS_SUCCESS);
    fx_test::Planes block(512, 2, 0.25f);
    AtDispatch([&] { node->ProcessBuffers(&format, block.ptr.data(), 512); });
    EXPECT_FLOAT_EQ(block.data[0][511], 0.25f * 1.5848f);
    EXPECT_FLOAT_EQ(block.data[1][300], 0.25f * 1.5848f);
}

// Every allocation of each initialisation, failed in turn: a clear failure, and nothing left once
// the node is released. A failed registry read only loses the stored value: the node still starts.
TEST_F(EffectNodes, EveryAllocationOfEachInitialisationFailsCleanly)
{
    // A node that says it started has its buffers and engines: the render path fills them unchecked.
    auto run = [&](int kind) -> NTSTATUS
    {
        switch (kind)
        {
        case 0:
        {
            auto node = Make<CEffectNode139>();
            const NTSTATUS status =
                node.p ? node->Init139(Unit(), kUnit, settings, 3) : STATUS_INSUFFICIENT_RESOURCES;
            EXPECT_TRUE(!NT_SUCCESS(status) || (node->SetsReady() && node->Engine()));
            return status;
        }
        case 1:
        {
            auto node = Make<CEffectNode140>();
            const NTSTATUS status =
                node.p ? node->Init140(Unit(), kUnit, settings, 3) : STATUS_INSUFFICIENT_RESOURCES;
            EXPECT_TRUE(!NT_SUCCESS(status) || (node->SetsReady() && node->Engine()));
            return status;
        }
        default:
        {
            auto node = Make<CEffectParamNode>();
            const NTSTATUS status =
                node.p ? node->InitParamNode(kUnit, settings, 3) : STATUS_INSUFFICIENT_RESOURCES;
            EXPECT_TRUE(!NT_SUCCESS(status) || (node->SetsReady() && node->Panner() && node->Hrtf()));
            return status;
        }
        }
    };
    for (int kind = 0; kind < 3; ++kind)
    {
        const size_t before = sim::Allocations(), outstanding = sim::Outstanding();
        ASSERT_EQ(run(kind), STATUS_SUCCESS);
        const size_t total = sim::Allocations() - before;
        ASSERT_GT(total, 18u);
        unsigned failed = 0;
        for (unsigned n = 1; n <= total; ++n)
        {
            sim::FailAllocation(n);
            const NTSTATUS status = run(kind);
            sim::FailAllocation(0);
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_INSUFFICIENT_RESOURCES)
                << kind << " " << n;
            failed += status == STATUS_INSUFFICIENT_RESOURCES;
            EXPECT_EQ(sim::Outstanding(), outstanding) << kind << " " << n;
        }
        EXPECT_GT(failed, 18u) << kind; // the buffers alone are 18 blocks
    }
}

} // namespace

namespace
{

// What of a node and its engines may change only under the node lock.
struct GuardedState
{
    LONG active, path, first0, first1, second0, second1, rate, channels;
    float band[8][2];
    bool operator==(const GuardedState &) const = default;
};
std::mutex g_ProbeLock;
CEffectNode140 *g_Surround = nullptr;
CEffectParamNode *g_Bands = nullptr;
int g_Holders = 0; // threads inside some spin lock, as the probe has seen them
GuardedState g_AtLastRelease{};
bool g_Quiet = false;
int g_ChangedOutsideTheLock = 0;

GuardedState ReadGuarded()
{
    HeadphoneSurround *engine = g_Surround->Engine();
    GuardedState s = {g_Surround->ActiveSwitch(),
                      engine->GetPath(),
                      engine->GetFirstValue(0),
                      engine->GetFirstValue(1),
                      engine->GetSecondValue(0),
                      engine->GetSecondValue(1),
                      LONG(g_Surround->StreamFormat().Format.nSamplesPerSec),
                      LONG(g_Surround->StreamFormat().Format.nChannels),
                      {}};
    for (int b = 0; b < 8; ++b)
        EqGetBand(g_Bands->Panner(), b, &s.band[b][0], &s.band[b][1]);
    return s;
}

// The kernel calls this right after taking a spin lock and right before letting one go. When the
// last holder lets go, nobody holds the node lock until the next acquisition: whatever changed in
// between was changed outside it.
void GuardProbe(const char *routine)
{
    const std::string name = routine;
    if (name.find("SpinLock") == std::string::npos)
        return;
    std::lock_guard<std::mutex> hold(g_ProbeLock);
    if (name.find("Acquire") != std::string::npos)
    {
        if (g_Holders++ == 0 && g_Quiet && !(ReadGuarded() == g_AtLastRelease))
            ++g_ChangedOutsideTheLock;
    }
    else if (name.find("Release") != std::string::npos && --g_Holders == 0)
    {
        g_AtLastRelease = ReadGuarded();
        g_Quiet = true;
    }
}

// Rounds of the hammer; the sanitizer builds run fewer.
#if defined(__SANITIZE_ADDRESS__)
constexpr int kHammerRounds = 60;
#else
constexpr int kHammerRounds = 400;
#endif

} // namespace

// The property path's setters on a second thread against the render path's switch hand-over and
// processing at DISPATCH_LEVEL, on the surround node and the parameter node: the engines and the
// stored copies change only while the node lock is held, and when the hammering stops the processing
// runs what was set last.
TEST_F(EffectNodes, SettersHammeredAgainstTheRenderPathChangeNothingOutsideTheLock)
{
    auto surround = Make<CEffectNode140>();
    ASSERT_EQ(surround->Init140(Unit(), kUnit, settings, 3), STATUS_SUCCESS);
    auto bands = Make<CEffectParamNode>();
    ASSERT_EQ(bands->InitParamNode(kUnit, settings, 3), STATUS_SUCCESS);
    const auto stereo48 = Pcm(2, 48000, 16, true), stereo44 = Pcm(2, 44100, 16, true);
    ASSERT_EQ(surround->SetEffectFormat(&stereo48), STATUS_SUCCESS);
    ASSERT_EQ(bands->SetEffectFormat(&stereo48), STATUS_SUCCESS);
    g_Surround = surround.p;
    g_Bands = bands.p;
    g_Holders = 0;
    g_Quiet = false;
    g_ChangedOutsideTheLock = 0;
    sim::SetKernelProbe(GuardProbe);

    std::atomic<bool> done{false};
    LONG lastMode = 0, lastEnable = 0, lastBand = 0;
    UCHAR lastSwitch = 0;
    {
        sim::HostThread setters(
            [&]
            {
                for (int round = 0; round < kHammerRounds; ++round)
                {
                    lastMode = round % 3;
                    lastEnable = (round / 3) & 1;
                    const LONG pair[2] = {lastMode, lastEnable};
                    EXPECT_EQ(surround->SetEffectParameters(0, 2, pair), STATUS_SUCCESS);
                    lastSwitch = UCHAR(round & 1);
                    EXPECT_EQ(surround->SetValue(lastSwitch), STATUS_SUCCESS);
                    EXPECT_EQ(surround->SetEffectFormat(round % 5 ? &stereo48 : &stereo44), STATUS_SUCCESS);
                    lastBand = -40 + round % 80;
                    const LONG band7[2] = {30, lastBand};
                    EXPECT_EQ(bands->SetEffectParameters(14, 2, band7), STATUS_SUCCESS);
                    EXPECT_EQ(round % 7 ? STATUS_SUCCESS : surround->ResetEffect(), STATUS_SUCCESS);
                }
                EXPECT_EQ(surround->SetEffectFormat(&stereo48), STATUS_SUCCESS);
                done = true;
            });
        fx_test::Planes block(64, 2, 0.25f);
        AtDispatch(
            [&]
            {
                while (!done)
                {
                    surround->TakeSwitchChange();
                    surround->ProcessBuffers(&stereo48, block.ptr.data(), 64);
                    bands->ProcessBuffers(&stereo48, block.ptr.data(), 64);
                }
            });
        setters.Join();
    }
    sim::SetKernelProbe(nullptr);
    EXPECT_EQ(g_ChangedOutsideTheLock, 0);

    // The last values set are what the processing runs.
    surround->TakeSwitchChange();
    EXPECT_EQ(surround->ActiveSwitch(), lastSwitch);
    EXPECT_FALSE(surround->TakeSwitchChange());
    EXPECT_EQ(Parameters(surround.p, 2), (std::vector<LONG>{lastMode, lastEnable}));
    EXPECT_EQ(surround->Engine()->GetFirstValue(0), lastMode);
    EXPECT_EQ(surround->Engine()->GetSecondValue(0), lastEnable);
    float first = 0, second = 0;
    ASSERT_TRUE(EqGetBand(bands->Panner(), 7, &first, &second));
    EXPECT_EQ(std::vector<float>({first, second}), std::vector<float>({30.0f, float(lastBand)}));
    EXPECT_TRUE(Violations().empty());
}
