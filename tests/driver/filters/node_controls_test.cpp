// The topology node objects over a scripted unit: the set rules (what is sent, cached and persisted,
// and what is reported), restore and refresh, the software volume's gains and gate, the effect
// switch under contention, bounds, and every allocation of the initialisations failed in turn.
#include "driver/filters/node_controls.h"

#include "support/device_fixture.h"
#include "driver/core/settings.h"
#include "driver/base/named_callback.h"
#include "driver/base/pool_memory.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace
{

constexpr LONG dB(double value)
{
    return LONG(value * 65536.0);
}

// A unit whose controls answer from tables and log every send ("set 2 1 -655360").
class FakeUnit : public ILevelControl,
                 public ISwitchControl,
                 public ISelectorControl,
                 public IClockControl,
                 public IParameterControl,
                 public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    explicit FakeUnit(PUNKNOWN outer) : CUnknownBase(outer) {}

    std::map<UCHAR, std::vector<LONG>> values; // per control, per channel (levels and bytes alike)
    LONG maximum = dB(0), minimum = dB(-60), step = dB(1);
    NTSTATUS sendStatus = STATUS_SUCCESS, readStatus = STATUS_SUCCESS;
    std::vector<std::string> sends;
    ULONG inputCount = 3, input = 2, changedInput = 0;
    std::vector<ULONG> rates = {44100, 48000};
    ULONG parameterCount = 4;

    NTSTATUS Channels(UCHAR control, PULONG count)
    {
        auto it = values.find(control);
        if (it == values.end())
            return STATUS_UNSUCCESSFUL;
        *count = ULONG(it->second.size());
        return STATUS_SUCCESS;
    }
    NTSTATUS Read(UCHAR control, ULONG channel, LONG *value)
    {
        if (!NT_SUCCESS(readStatus))
            return readStatus;
        *value = values.at(control).at(channel);
        return STATUS_SUCCESS;
    }
    NTSTATUS Send(const char *what, UCHAR control, ULONG channel, LONG value)
    {
        sends.push_back(std::string(what) + " " + std::to_string(control) + " " + std::to_string(channel) +
                        " " + std::to_string(value));
        if (NT_SUCCESS(sendStatus))
            values[control].at(channel) = value;
        return sendStatus;
    }

    NTSTATUS GetLevelChannels(UCHAR c, PULONG n) override { return Channels(c, n); }
    NTSTATUS GetLevel(UCHAR c, ULONG ch, PLONG v) override { return Read(c, ch, v); }
    NTSTATUS SetLevel(UCHAR c, ULONG ch, LONG v) override { return Send("set", c, ch, v); }
    NTSTATUS GetLevelRange(UCHAR, PLONG max, PLONG min, PLONG res) override
    {
        *max = maximum;
        *min = minimum;
        *res = step;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetSwitchChannels(UCHAR c, PULONG n) override { return Channels(c, n); }
    NTSTATUS GetSwitch(UCHAR c, ULONG ch, PUCHAR v) override
    {
        LONG value = 0;
        NTSTATUS status = Read(c, ch, &value);
        *v = UCHAR(value);
        return status;
    }
    NTSTATUS SetSwitch(UCHAR c, ULONG ch, UCHAR v) override { return Send("switch", c, ch, v); }
    NTSTATUS GetInputCount(PULONG n) override
    {
        *n = inputCount;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetInput(PULONG v) override
    {
        *v = input;
        return readStatus;
    }
    NTSTATUS SetInput(ULONG v) override
    {
        sends.push_back("input " + std::to_string(v));
        if (NT_SUCCESS(sendStatus))
            input = v;
        return sendStatus;
    }
    NTSTATUS InputChanged(ULONG v) override
    {
        changedInput = v;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetClockRates(PULONG count, PULONG out) override
    {
        if (*count < rates.size())
            return STATUS_BUFFER_TOO_SMALL;
        *count = ULONG(rates.size());
        std::copy(rates.begin(), rates.end(), out);
        return STATUS_SUCCESS;
    }
    NTSTATUS GetClockRate(PULONG rate) override
    {
        *rate = 48000;
        return STATUS_SUCCESS;
    }
    NTSTATUS SetClockRate(ULONG rate) override
    {
        sends.push_back("rate " + std::to_string(rate));
        return sendStatus;
    }
    NTSTATUS GetParameterCount(PULONG n) override
    {
        *n = parameterCount;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetParameters(ULONG start, ULONG count, PLONG) override
    {
        sends.push_back("get-params " + std::to_string(start) + " " + std::to_string(count));
        return STATUS_SUCCESS;
    }
    NTSTATUS SetParameters(ULONG start, ULONG count, const LONG *) override
    {
        sends.push_back("set-params " + std::to_string(start) + " " + std::to_string(count));
        return STATUS_SUCCESS;
    }
    NTSTATUS SetParameter(ULONG index, LONG, LONG) override
    {
        sends.push_back("set-param " + std::to_string(index));
        return STATUS_SUCCESS;
    }
};

NTSTATUS FakeUnit::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<ILevelControl *>(this),
                           {{IID_ILevelControl, static_cast<ILevelControl *>(this)},
                            {IID_ISwitchControl, static_cast<ISwitchControl *>(this)},
                            {IID_ISelectorControl, static_cast<ISelectorControl *>(this)},
                            {IID_IClockControl, static_cast<IClockControl *>(this)},
                            {IID_IParameterControl, static_cast<IParameterControl *>(this)}});
}

// A terminal whose jack table the test changes between refreshes.
class FakeTerminal : public ITerminalControl, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    explicit FakeTerminal(PUNKNOWN outer) : CUnknownBase(outer) {}
    std::vector<JackRecord> jacks;
    NTSTATUS GetChannelConfigs(PULONG, PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS GetTerminalJackCount(ULONG, PULONG count) override
    {
        *count = ULONG(jacks.size());
        return STATUS_SUCCESS;
    }
    NTSTATUS GetTerminalJacks(ULONG, ULONG bytes, JackRecord *out) override
    {
        if (bytes < jacks.size() * sizeof(JackRecord))
            return STATUS_INVALID_PARAMETER;
        std::copy(jacks.begin(), jacks.end(), out);
        return STATUS_SUCCESS;
    }
    NTSTATUS GetOutputType(PULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS SelectOutputType(ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS TakeFormat(const WAVEFORMATEXTENSIBLE *) override { return STATUS_SUCCESS; }
};

NTSTATUS FakeTerminal::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<ITerminalControl *>(this),
                           {{IID_ITerminalControl, static_cast<ITerminalControl *>(this)}});
}

// One reference, moved along and released at the end of its scope.
template <class T> struct Ref
{
    T *p = nullptr;
    Ref() = default;
    Ref(Ref &&other) noexcept : p(std::exchange(other.p, nullptr)) {}
    Ref &operator=(Ref &&other) noexcept
    {
        std::swap(p, other.p);
        return *this;
    }
    ~Ref()
    {
        if (p)
            p->Release();
    }
    T *operator->() const { return p; }
};

template <class T, class... A> Ref<T> New(A... args)
{
    Ref<T> r;
    r.p = new (NonPagedPool, PoolTag::SelT) T(nullptr, args...);
    if (r.p)
        r.p->AddRef();
    return r;
}

std::vector<uint8_t> Le32(LONG v)
{
    return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(uint32_t(v) >> 24)};
}

struct Notifications
{
    std::vector<std::vector<ULONG>> messages;
    static void Callback(PVOID context, PVOID argument1, PVOID)
    {
        auto *words = static_cast<const ULONG *>(argument1);
        static_cast<Notifications *>(context)->messages.push_back({words[0], words[1], words[2], words[3]});
    }
};

class NodeControls : public DeviceTest
{
protected:
    void SetUp() override
    {
        DeviceTest::SetUp();
        unit = New<FakeUnit>();
        settings = {Device(), SettingsValue};
    }
    void TearDown() override
    {
        unit = {}; // before the end-of-test pool check
        DeviceTest::TearDown();
    }
    std::optional<std::vector<uint8_t>> Stored(const std::string &name)
    {
        auto v = Setting(name);
        return v ? std::optional(v->data) : std::nullopt;
    }
    void Store(const std::string &name, std::vector<uint8_t> bytes)
    {
        sim::registry::SetValue(SettingsKey(), name, REG_BINARY, bytes);
    }
    PUNKNOWN Unit() { return static_cast<ILevelControl *>(unit.p); }

    Ref<FakeUnit> unit;
    NodeSettings settings{};
};

TEST_F(NodeControls, LevelSetClampsCachesTheExactValueAndSendsItQuantised)
{
    unit->values[FU_VOLUME] = {dB(-12), dB(-12)};
    auto node = New<CLevelNodeRefreshing>(7u);
    ASSERT_EQ(node->InitLevel(Unit(), 5, FU_VOLUME, settings, 3), STATUS_SUCCESS);
    ILevelValue *level = static_cast<ILevelValue *>(node.p);
    EXPECT_EQ(node->GetKind(), ULONG(NODE_KIND_LEVEL));
    unit->sends.clear();

    // -10.3 dB on a 1 dB grid: the device gets -10 dB, the cache and the setting keep -10.3 dB.
    const LONG wanted = dB(-10.3);
    ASSERT_EQ(level->SetLevel(1, wanted), STATUS_SUCCESS);
    EXPECT_EQ(unit->sends, std::vector<std::string>{"set 2 1 " + std::to_string(dB(-10))});
    LONG cached = 0;
    ASSERT_EQ(level->GetLevel(1, &cached), STATUS_SUCCESS);
    EXPECT_EQ(cached, wanted);
    EXPECT_EQ(Stored("Unit05_ 2_1"), Le32(wanted));

    // Above the maximum the maximum is cached; silence passes unchanged on the refreshing variant.
    ASSERT_EQ(level->SetLevel(0, dB(6)), STATUS_SUCCESS);
    ASSERT_EQ(level->GetLevel(0, &cached), STATUS_SUCCESS);
    EXPECT_EQ(cached, dB(0));
    ASSERT_EQ(level->SetLevel(0, LEVEL_SILENCE), STATUS_SUCCESS);
    EXPECT_EQ(unit->sends.back(), "set 2 0 " + std::to_string(LEVEL_SILENCE));
    EXPECT_EQ(Stored("Unit05_ 2_0"), Le32(LEVEL_SILENCE));

    // A channel equal to the count is refused and writes nothing.
    const size_t sent = unit->sends.size();
    EXPECT_EQ(level->SetLevel(2, dB(-3)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->sends.size(), sent);
    EXPECT_FALSE(Stored("Unit05_ 2_2"));

    // A failed send changes neither cache nor setting, and says so.
    unit->sendStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(level->SetLevel(1, dB(-20)), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(level->GetLevel(1, &cached), STATUS_SUCCESS);
    EXPECT_EQ(cached, wanted);
    EXPECT_EQ(Stored("Unit05_ 2_1"), Le32(wanted));

    // GetRange reports (maximum, minimum, step).
    LONG a = 0, b = 0, c = 0;
    ASSERT_EQ(level->GetRange(&a, &b, &c), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<LONG>({a, b, c}), std::vector<LONG>({dB(0), dB(-60), dB(1)}));
}

TEST_F(NodeControls, PlainLevelTakesTheMinimumForSilenceAndMasterSetsEveryChannel)
{
    unit->values[FU_BASS] = {0, 0};
    auto bass = New<CLevelNode>(1u, ULONG(NODE_KIND_LEVEL_9), CLevelNode::Variant::Plain);
    ASSERT_EQ(bass->InitLevel(Unit(), 5, FU_BASS, settings, 0), STATUS_SUCCESS);
    unit->sends.clear();
    ASSERT_EQ(bass->SetLevel(0, LEVEL_SILENCE), STATUS_SUCCESS);
    EXPECT_EQ(unit->sends, std::vector<std::string>{"set 3 0 " + std::to_string(dB(-60))});
    LONG cached = 0;
    ASSERT_EQ(bass->GetLevel(0, &cached), STATUS_SUCCESS);
    EXPECT_EQ(cached, dB(-60));

    unit->values[FU_VOLUME] = {0, 0, 0};
    auto master = New<CMasterLevelNode>(2u);
    ASSERT_EQ(master->InitLevel(Unit(), 5, FU_VOLUME, settings, 0), STATUS_SUCCESS);
    EXPECT_EQ(master->GetKind(), ULONG(NODE_KIND_LEVEL_8));
    unit->sends.clear();
    ASSERT_EQ(master->SetLevel(NODE_ALL_CHANNELS, dB(-6)), STATUS_SUCCESS);
    EXPECT_EQ(unit->sends.size(), 3u);
    ASSERT_EQ(master->GetLevel(NODE_ALL_CHANNELS, &cached), STATUS_SUCCESS);
    EXPECT_EQ(cached, dB(-6));
    EXPECT_EQ(bass->GetLevel(NODE_ALL_CHANNELS, &cached), STATUS_INVALID_PARAMETER);
}

TEST_F(NodeControls, StoredLevelOutsideTheRangeIsClampedAndAZeroStepDividesNothing)
{
    unit->values[FU_VOLUME] = {dB(-12)};
    unit->step = 0;
    Store("Unit05_ 2_0", Le32(dB(20)));
    auto node = New<CLevelNodeRefreshing>(1u);
    ASSERT_EQ(node->InitLevel(Unit(), 5, FU_VOLUME, settings, 0), STATUS_SUCCESS);
    LONG cached = 0;
    ASSERT_EQ(node->GetLevel(0, &cached), STATUS_SUCCESS);
    EXPECT_EQ(cached, dB(0));
    ASSERT_EQ(node->ApplyAll(), STATUS_SUCCESS);
    EXPECT_EQ(unit->sends, std::vector<std::string>{"set 2 0 0"});
    EXPECT_EQ(Stored("Unit05_ 2_0"), Le32(dB(20))); // what the user stored stays
    // With a step of 0 counted as 1, an odd value goes out as it is.
    ASSERT_EQ(node->SetLevel(0, -12345), STATUS_SUCCESS);
    EXPECT_EQ(unit->sends.back(), "set 2 0 -12345");
}

TEST_F(NodeControls, RefreshingRefreshReadsEveryChannelAndFailsOnlyWhenNothingChanged)
{
    unit->values[FU_VOLUME] = {dB(-12), dB(-12), dB(-12)};
    auto node = New<CLevelNodeRefreshing>(1u);
    ASSERT_EQ(node->InitLevel(Unit(), 5, FU_VOLUME, settings, 0), STATUS_SUCCESS);
    EXPECT_EQ(node->Refresh(), STATUS_UNSUCCESSFUL);

    // Only the last channel moved: the first unchanged channel does not end the refresh.
    unit->values[FU_VOLUME][2] = dB(-20);
    ASSERT_EQ(node->Refresh(), STATUS_SUCCESS);
    LONG cached = 0;
    ASSERT_EQ(node->GetLevel(2, &cached), STATUS_SUCCESS);
    EXPECT_EQ(cached, dB(-20));
    EXPECT_EQ(Stored("Unit05_ 2_2"), Le32(dB(-20)));
    EXPECT_FALSE(Stored("Unit05_ 2_0"));
}

TEST_F(NodeControls, RestoreResendsEveryChannelAndNotifiesTheNodeId)
{
    unit->values[FU_VOLUME] = {dB(-12), dB(-12)};
    Store("Unit05_ 2_1", Le32(dB(-30)));
    auto node = New<CLevelNodeRefreshing>(9u);
    ASSERT_EQ(node->InitLevel(Unit(), 5, FU_VOLUME, settings, 0), STATUS_SUCCESS);
    unit->sends.clear();

    // Without a callback object the values go out and nobody is told.
    ASSERT_EQ(node->RestoreNodeValues(&settings, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(unit->sends, (std::vector<std::string>{"set 2 0 " + std::to_string(dB(-12)),
                                                     "set 2 1 " + std::to_string(dB(-30))}));

    WCHAR name[HAL_NAME_BUFFER_BYTES / sizeof(WCHAR)];
    static constexpr WCHAR kFormat[] = {'\\', 'C', 'a', 'l', 'l', 'b', 'a', 'c', 'k', '\\', 'N', '%', 'p', 0};
    PCALLBACK_OBJECT object = nullptr;
    ASSERT_EQ(CreateNamedCallback(&object, kFormat, this, name, sizeof name), STATUS_SUCCESS);
    Notifications seen;
    PVOID registration = ExRegisterCallback(object, Notifications::Callback, &seen);
    ASSERT_TRUE(registration);
    unit->sends.clear();
    ASSERT_EQ(node->RestoreNodeValues(&settings, object), STATUS_SUCCESS);
    EXPECT_EQ(unit->sends.size(), 2u);
    EXPECT_EQ(seen.messages, (std::vector<std::vector<ULONG>>{{1, 1, 9, 0}}));
    ExUnregisterCallback(registration);
    ReleaseNamedCallback(&object);
}

TEST_F(NodeControls, SwitchesPersistEvenAfterAFailedSendUnlessChecked)
{
    unit->values[FU_MUTE] = {0, 0};
    unit->values[FU_LOUDNESS] = {0, 0};
    auto mute = New<CSwitchNode>(1u, ULONG(NODE_KIND_MUTE), BOOLEAN(FALSE));
    auto checked = New<CSwitchNode>(2u, ULONG(NODE_KIND_BYTE_18), BOOLEAN(TRUE));
    auto loudness = New<CSwitchNode>(3u, ULONG(NODE_KIND_BYTE_7), BOOLEAN(FALSE));
    ASSERT_EQ(mute->InitSwitch(Unit(), 5, FU_MUTE, settings, 0), STATUS_SUCCESS);
    ASSERT_EQ(checked->InitSwitch(Unit(), 6, FU_MUTE, settings, 0), STATUS_SUCCESS);
    ASSERT_EQ(loudness->InitSwitch(Unit(), 5, FU_LOUDNESS, settings, 0), STATUS_SUCCESS);

    ASSERT_EQ(static_cast<ISwitchValue *>(loudness.p)->SetByte(1, 1), STATUS_SUCCESS);
    EXPECT_EQ(Stored("Unit05_10_1"), std::vector<uint8_t>{1});

    unit->sendStatus = STATUS_UNSUCCESSFUL;
    // The mute byte also drives the software mute, so it is taken even when the device refused.
    EXPECT_EQ(static_cast<ISwitchValue *>(mute.p)->SetByte(0, 1), STATUS_UNSUCCESSFUL);
    UCHAR value = 0;
    ASSERT_EQ(mute->GetByte(0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(Stored("Unit05_ 1_0"), std::vector<uint8_t>{1});
    EXPECT_EQ(static_cast<ISwitchValue *>(checked.p)->SetByte(0, 1), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(checked->GetByte(0, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0);
    EXPECT_FALSE(Stored("Unit06_ 1_0"));
    EXPECT_EQ(mute->SetByte(2, 1), STATUS_INVALID_PARAMETER);

    // The cached switch never reaches the device, and keeps its byte.
    auto cached = New<CCachedSwitchNode>(4u);
    ASSERT_EQ(cached->InitSwitch(Unit(), 8, FU_MUTE, settings, 0), STATUS_SUCCESS);
    EXPECT_EQ(cached->GetKind(), ULONG(NODE_KIND_BYTE_22));
    const size_t sent = unit->sends.size();
    ASSERT_EQ(static_cast<ISwitchValue *>(cached.p)->SetByte(1, 1), STATUS_SUCCESS);
    ASSERT_EQ(cached->ApplyAll(), STATUS_SUCCESS);
    EXPECT_EQ(unit->sends.size(), sent);
    EXPECT_EQ(Stored("Unit08_ 1_1"), std::vector<uint8_t>{1});
}

TEST_F(NodeControls, SelectorStartsFromTheStoredInputClampedToItsInputs)
{
    const ULONG sources[3] = {4, 5, 6};
    for (auto [stored, expected] : {std::pair{9u, 3u}, std::pair{0u, 1u}})
    {
        Store("Unit07_", Le32(LONG(stored)));
        auto node = New<CSelectorUnitNode>(1u);
        ASSERT_EQ(node->InitSelector(Unit(), 7, settings, 3, sources), STATUS_SUCCESS);
        ULONG selected = 0;
        ASSERT_EQ(node->GetSelected(&selected), STATUS_SUCCESS);
        EXPECT_EQ(selected, expected);
    }
    auto node = New<CSelectorUnitNode>(1u);
    ASSERT_EQ(node->InitSelector(Unit(), 7, settings, 3, sources), STATUS_SUCCESS);
    INodeConnect *connect = static_cast<INodeConnect *>(node.p);
    EXPECT_EQ(connect->Select(4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(connect->Select(0), STATUS_INVALID_PARAMETER);
    ASSERT_EQ(connect->Select(2), STATUS_SUCCESS);
    EXPECT_EQ(Stored("Unit07_"), Le32(2));
    unit->sendStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(connect->Select(3), STATUS_UNSUCCESSFUL);
    ULONG selected = 0;
    ASSERT_EQ(connect->GetSelected(&selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, 2u);
    // A device that moved by itself is adopted and the unit told.
    unit->sendStatus = STATUS_SUCCESS;
    unit->input = 3;
    ASSERT_EQ(node->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(unit->changedInput, 3u);
    EXPECT_EQ(Stored("Unit07_"), Le32(3));
}

TEST_F(NodeControls, EffectSwitchesKeepOwnNamesAndStayConsistentUnderContention)
{
    static constexpr GUID kEffect = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    unit->values[0x8B] = {0};
    unit->values[0x8C] = {0};
    Store("Unit05_", {1}); // the unit's single name of an earlier driver
    Store("Unit05_140_0", {0});
    auto first = New<CEffectSwitchNode>(1u, kEffect);
    auto second = New<CEffectSwitchNode>(2u, kEffect);
    ASSERT_EQ(first->InitEffectSwitch(Unit(), 5, 0x8B, settings, 0), STATUS_SUCCESS);
    ASSERT_EQ(second->InitEffectSwitch(Unit(), 5, 0x8C, settings, 0), STATUS_SUCCESS);
    UCHAR a = 9, b = 9;
    ASSERT_EQ(first->GetByte(&a), STATUS_SUCCESS);
    ASSERT_EQ(second->GetByte(&b), STATUS_SUCCESS);
    EXPECT_EQ(a, 1); // from the old single name
    EXPECT_EQ(b, 0); // its own name wins
    EXPECT_FALSE(first->TakeSwitchChange());

    ASSERT_EQ(static_cast<IInfoNode *>(first.p)->SetValue(0), STATUS_SUCCESS);
    ASSERT_EQ(static_cast<IInfoNode *>(second.p)->SetValue(1), STATUS_SUCCESS);
    EXPECT_EQ(Stored("Unit05_139_0"), std::vector<uint8_t>{0});
    EXPECT_EQ(Stored("Unit05_140_0"), std::vector<uint8_t>{1});
    EXPECT_TRUE(first->TakeSwitchChange());
    EXPECT_FALSE(first->TakeSwitchChange());
    EXPECT_TRUE(first->TakeSecondChange());

    // A failed send still raises the flags but keeps the byte, and says so.
    unit->sendStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(static_cast<IInfoNode *>(first.p)->SetValue(1), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(first->TakeSwitchChange());
    ASSERT_EQ(first->GetByte(&a), STATUS_SUCCESS);
    EXPECT_EQ(a, 0);
    unit->sendStatus = STATUS_SUCCESS;

    // Eight setters: the cached byte, the stored byte and the device agree afterwards.
    unit->values[0x8B] = {0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back(
            [&, t]
            {
                for (int i = 0; i < 50; ++i)
                    static_cast<IInfoNode *>(first.p)->SetValue(ULONG((t + i) & 1));
            });
    for (std::thread &t : threads)
        t.join();
    ASSERT_EQ(first->GetByte(&a), STATUS_SUCCESS);
    EXPECT_EQ(LONG(a), unit->values[0x8B][0]);
    EXPECT_EQ(Stored("Unit05_139_0"), std::vector<uint8_t>{a});
    EXPECT_EQ(unit->sends.size(), 3u + 400u);
}

// The gain of a level in 1/65536 dB, in double precision.
double ReferenceGain(LONG level)
{
    return std::pow(10.0, double(level) / 65536.0 / 20.0);
}

TEST_F(NodeControls, SoftVolumeGainsFollowTheLevelAndItsGateStartsClosed)
{
    unit->values[FU_VOLUME] = {0, dB(-6.0206), dB(-20)};
    unit->step = 1;
    auto node = New<CSoftVolumeNode>(1u);
    ASSERT_EQ(node->InitSoftVolume(Unit(), 5, FU_VOLUME, settings, 0), STATUS_SUCCESS);

    WAVEFORMATEXTENSIBLE format{};
    format.Format.wFormatTag = WAVE_FORMAT_PCM;
    format.Format.nChannels = 3;
    float samples[3][4];
    float *buffers[3] = {samples[0], samples[1], samples[2]};
    auto fill = [&]
    {
        for (auto &row : samples)
            for (float &s : row)
                s = 1.0f;
    };
    fill();
    IProcessingNode *processing = static_cast<IProcessingNode *>(node.p);
    ASSERT_EQ(processing->ProcessBuffers(&format, buffers, 4), STATUS_SUCCESS);
    EXPECT_EQ(samples[2][0], 1.0f); // closed: the device already applies the level

    static_cast<IProcessingGate *>(node.p)->SetSecondValue(SOFT_VOLUME_GATE_OPEN);
    ASSERT_EQ(processing->ProcessBuffers(&format, buffers, 4), STATUS_SUCCESS);
    const double expected[3] = {1.0, 0.5, 0.1};
    for (int ch = 0; ch < 3; ++ch)
    {
        EXPECT_NEAR(samples[ch][3], expected[ch], 1e-6) << ch;
        EXPECT_NEAR(samples[ch][3], ReferenceGain(unit->values[FU_VOLUME][ch]), 1e-6) << ch;
    }

    // A set moves its channel's gain; a failed floating-point save keeps it and says so.
    ASSERT_EQ(node->SetLevel(0, dB(-20)), STATUS_SUCCESS);
    sim::FailFloatingPointSave(1);
    ASSERT_EQ(node->SetLevel(1, dB(-40)), STATUS_SUCCESS);
    EXPECT_TRUE(sim::DebugLogContains("Save FPU error\n"));
    fill();
    ASSERT_EQ(processing->ProcessBuffers(&format, buffers, 4), STATUS_SUCCESS);
    EXPECT_NEAR(samples[0][0], 0.1, 1e-6);
    EXPECT_NEAR(samples[1][0], 0.5, 1e-6);

    // Other sample types pass untouched.
    format.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    fill();
    ASSERT_EQ(processing->ProcessBuffers(&format, buffers, 4), STATUS_SUCCESS);
    EXPECT_EQ(samples[0][0], 1.0f);
}

// A stream may carry more channels than the node: a master node's gain reaches every channel, a
// node with fewer channels than the stream leaves the rest at unity, and no channel takes a gain
// that was never computed.
TEST_F(NodeControls, SoftVolumeOnAStreamWithMoreChannelsThanTheNode)
{
    struct Case
    {
        std::vector<LONG> levels; // the node's channels
        USHORT streamChannels;
        std::vector<double> expected; // per stream channel
    } cases[] = {
        {{dB(-6)}, 2, {0.5012, 0.5012}},
        {{dB(-6)}, 8, std::vector<double>(8, 0.5012)},
        {{dB(-6), dB(-20)}, 4, {0.5012, 0.1, 1.0, 1.0}},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.streamChannels);
        unit->values[FU_VOLUME] = c.levels;
        unit->step = 1;
        auto node = New<CSoftVolumeNode>(1u);
        ASSERT_EQ(node->InitSoftVolume(Unit(), 5, FU_VOLUME, settings, 0), STATUS_SUCCESS);
        static_cast<IProcessingGate *>(node.p)->SetSecondValue(SOFT_VOLUME_GATE_OPEN);
        WAVEFORMATEXTENSIBLE format{};
        format.Format.wFormatTag = WAVE_FORMAT_PCM;
        format.Format.nChannels = c.streamChannels;
        std::vector<std::vector<float>> samples(c.streamChannels, std::vector<float>(4, 1.0f));
        std::vector<float *> buffers;
        for (auto &row : samples)
            buffers.push_back(row.data());
        ASSERT_EQ(static_cast<IProcessingNode *>(node.p)->ProcessBuffers(&format, buffers.data(), 4),
                  STATUS_SUCCESS);
        for (USHORT ch = 0; ch < c.streamChannels; ++ch)
            EXPECT_NEAR(samples[ch][3], c.expected[ch], 1e-4) << "channel " << ch;
    }
}

TEST_F(NodeControls, ParameterAndClockNodesCheckTheirBounds)
{
    auto params = New<CProcessingNode>(1u);
    ASSERT_EQ(params->InitParameters(Unit(), 0), STATUS_SUCCESS);
    LONG values[4] = {};
    EXPECT_EQ(params->GetParameters(1, 3, values), STATUS_SUCCESS);
    EXPECT_EQ(params->GetParameters(4, 0, values), STATUS_SUCCESS);
    // 1 + 0xFFFFFFFF wraps to 0 ≤ 4 in a sum check; both bounds are checked apart.
    EXPECT_EQ(params->SetParameters(1, 0xFFFFFFFFu, values), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(params->GetParameters(5, 0, values), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(params->SetParameter(4, 0, 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->sends, (std::vector<std::string>{"get-params 1 3", "get-params 4 0"}));
    EXPECT_EQ(params->GetKind(), ULONG(NODE_KIND_INFO_20));

    auto clock = New<CClockRateNode>(2u);
    ASSERT_EQ(clock->InitClock(Unit()), STATUS_SUCCESS);
    ULONG rate = 0;
    ASSERT_EQ(clock->GetSelectedRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 48000u);
    unit->sendStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(clock->SelectRate(44100), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(clock->GetSelectedRate(&rate), STATUS_SUCCESS);
    EXPECT_EQ(rate, 48000u); // cached on success only
}

TEST_F(NodeControls, UnitBaseLinksItsNodesInOrder)
{
    auto unitBase = New<CUnitBase>(4u);
    const UCHAR descriptor[9] = {9, 0x24, 6, 2, 1, 1, 3, 0, 0};
    ASSERT_EQ(unitBase->AttachDescriptor(descriptor, sizeof descriptor), STATUS_SUCCESS);
    EXPECT_EQ(unitBase->AttachDescriptor(nullptr, 9), STATUS_INVALID_PARAMETER);
    unit->values[FU_MUTE] = {0};
    unit->values[FU_VOLUME] = {0};
    auto mute = New<CSwitchNode>(10u, ULONG(NODE_KIND_MUTE), BOOLEAN(FALSE));
    auto volume = New<CLevelNodeRefreshing>(11u);
    ASSERT_EQ(mute->InitSwitch(Unit(), 2, FU_MUTE, settings, 1), STATUS_SUCCESS);
    ASSERT_EQ(volume->InitLevel(Unit(), 2, FU_VOLUME, settings, 0), STATUS_SUCCESS);
    ASSERT_EQ(unitBase->AddNode(static_cast<IAudioNode *>(static_cast<CAudioNodeBase *>(mute.p))),
              STATUS_SUCCESS);
    ASSERT_EQ(unitBase->AddNode(static_cast<IAudioNode *>(static_cast<CAudioNodeBase *>(volume.p))),
              STATUS_SUCCESS);
    unitBase->LinkNodes();
    ULONG ids[2] = {}, count = 2;
    ASSERT_EQ(volume->GetSources(&count, ids), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(ids[0], 10u);
    ULONG first = 0;
    ASSERT_EQ(unitBase->FirstNodeId(&first), STATUS_SUCCESS);
    EXPECT_EQ(first, 10u);
    EXPECT_EQ(unitBase->SoleNodeId(&first), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(unitBase->DescriptorLength(), 9u);
}

TEST_F(NodeControls, EveryInitialisationAllocationFailedInTurn)
{
    unit->values[FU_VOLUME] = {0, 0};
    unit->values[FU_MUTE] = {0, 0};
    const ULONG sources[3] = {1, 2, 3};
    // Without persistence, so that every allocation counted is the initialisation's own.
    const NodeSettings settings{};
    const std::vector<std::function<NTSTATUS()>> inits = {
        [&] { return New<CLevelNodeRefreshing>(1u)->InitLevel(Unit(), 5, FU_VOLUME, settings, 0); },
        [&] { return New<CSoftVolumeNode>(1u)->InitSoftVolume(Unit(), 5, FU_VOLUME, settings, 0); },
        [&]
        {
            return New<CSwitchNode>(1u, ULONG(NODE_KIND_MUTE), BOOLEAN(FALSE))
                ->InitSwitch(Unit(), 5, 1, settings, 0);
        },
        [&] { return New<CSelectorUnitNode>(1u)->InitSelector(Unit(), 7, settings, 3, sources); },
        [&] { return New<CClockRateNode>(1u)->InitClock(Unit()); },
        [&]
        {
            const UCHAR d[3] = {3, 0x24, 1};
            return New<CUnitBase>(0u)->AttachDescriptor(d, 3);
        },
    };
    for (size_t i = 0; i < inits.size(); ++i)
    {
        // Allocation 1 is the node itself; the initialisation's own come after it.
        for (unsigned n = 2;; ++n)
        {
            sim::FailAllocation(n);
            const NTSTATUS status = inits[i]();
            sim::FailAllocation(0);
            if (NT_SUCCESS(status))
                break;
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "init " << i << " allocation " << n;
            ASSERT_LT(n, 20u);
        }
    }
}

TEST_F(NodeControls, TerminalRefreshTakesTheUnitsJacksAnew)
{
    auto terminal = New<FakeTerminal>();
    JackRecord plugged = kDefaultJackRecord, empty = kDefaultJackRecord;
    empty.IsConnected = 0;
    terminal->jacks = {plugged};
    auto node = New<CUnitTerminalNode>(4u, ULONG(NODE_KIND_OUTPUT_TERMINAL), 0u);
    const ULONG type = 2, words[HAL_INFO_WORDS] = {};
    ASSERT_EQ(node->InitFromUnit(static_cast<ITerminalControl *>(terminal.p), TRUE, 1, &type, 1,
                                 terminal->jacks.data(), words),
              STATUS_SUCCESS);
    auto jacksOf = [&]
    {
        ULONG count = 0;
        node->GetJackCount(&count);
        std::vector<ULONG> connected;
        JackRecord out[4] = {};
        if (count && NT_SUCCESS(node->GetJacks(sizeof out, out)))
            for (ULONG j = 0; j < count; ++j)
                connected.push_back(out[j].IsConnected);
        return std::make_pair(count, connected);
    };
    // A new count, then the same count with new values, then none.
    terminal->jacks = {empty, plugged, empty};
    ASSERT_EQ(node->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(jacksOf(), std::make_pair(3u, std::vector<ULONG>{0, 1, 0}));
    terminal->jacks = {plugged, plugged, empty};
    ASSERT_EQ(node->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(jacksOf(), std::make_pair(3u, std::vector<ULONG>{1, 1, 0}));
    terminal->jacks.clear();
    ASSERT_EQ(node->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(jacksOf().first, 0u);
    // A new table that cannot be had leaves no jacks rather than stale ones.
    terminal->jacks = {plugged, plugged};
    sim::FailAllocation(1);
    EXPECT_EQ(node->Refresh(), STATUS_INSUFFICIENT_RESOURCES);
    sim::FailAllocation(0);
    EXPECT_EQ(jacksOf().first, 0u);
    ASSERT_EQ(node->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(jacksOf(), std::make_pair(2u, std::vector<ULONG>{1, 1}));
    node->DetachUnit(); // a detached node keeps what it has
    terminal->jacks.clear();
    EXPECT_EQ(node->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(jacksOf().first, 2u);
}

TEST_F(NodeControls, ApplyAllRefreshOfTheSoftVolumeSendsWhatItRead)
{
    unit->values[FU_VOLUME] = {dB(-12), dB(-12)};
    auto node = New<CSoftVolumeApplyAllNode>(1u);
    ASSERT_EQ(node->InitSoftVolume(Unit(), 5, FU_VOLUME, settings, 0), STATUS_SUCCESS);
    auto sent = [](LONG level) { return std::to_string(level); };
    unit->values[FU_VOLUME][1] = dB(-6);
    unit->sends.clear();
    ASSERT_EQ(node->Refresh(), STATUS_SUCCESS);
    EXPECT_EQ(unit->sends, (std::vector<std::string>{"set 2 0 " + sent(dB(-12)), "set 2 1 " + sent(dB(-6))}));
    LONG level = 0;
    ASSERT_EQ(node->GetLevel(1, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, dB(-6));
    // Nothing changed: still sent back, and the caller still learns that nothing changed.
    unit->sends.clear();
    EXPECT_EQ(node->Refresh(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(unit->sends.size(), 2u);
    // A read the device refuses sends nothing.
    unit->sends.clear();
    unit->readStatus = STATUS_DEVICE_NOT_CONNECTED;
    EXPECT_EQ(node->Refresh(), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_TRUE(unit->sends.empty());
}

} // namespace
