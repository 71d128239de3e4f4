// The headset's property calls as the library sees them: the default passes, volumes, effects, the
// read-backs, the value buffers, and every library call failing in turn.
#include "headset_fixture.h"

namespace
{

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

using PropertyTest = HeadsetTest;

// The device information and default-device controls are not among the library's defaults.
const char kDeviceInfoAnswers[] = "answer DefaultDeviceControl 1\nanswer GetSymbolicLink 1\n"
                                  "answer GetSupportFeature 1\nanswer GetDeviceID 1\nanswer EXControl 1\n"
                                  "answer EndpointEnableControl 1";

const std::vector<std::string> kVolumePassSets = {"render set VolumeControl(-1,0,0)=0",
                                                  "render set VolumeControl(0,0,0)=0",
                                                  "render set VolumeControl(1,0,0)=0",
                                                  "render set MuteControl=0",
                                                  "render set VolumeScalarControl(-1,0,0)=0",
                                                  "capture set AAVolumeControl(-1,0,0)=0",
                                                  "capture set AAVolumeControl(0,0,0)=0",
                                                  "capture set AAVolumeControl(1,0,0)=0",
                                                  "capture set AAMuteControl=0",
                                                  "capture set AAVolumeScalarControl(0,0,0)=0"};

TEST_F(PropertyTest, UnreadablePropertiesAreSetToZeroByTheDefaultPasses)
{
    MakeReady();
    m_Sim.Apply("fail get *");
    m_Control->initVolumeDefaults();
    EXPECT_THAT(Sets(), ElementsAreArray(kVolumePassSets));
    EXPECT_EQ(PropertyCalls().size(), 20u) << "each set after its own get";

    m_Sim.ResetLog();
    std::fill(std::begin(m_Control->eqBand), std::end(m_Control->eqBand), 7);
    m_Control->initAudioDefaults();
    std::vector<std::string> expected = {
        "render set Enable_VOICECLARITY_LFX=0", "render set VOICECLARITY_LEVEL=0",
        "render set VOICECLARITY_NOISESUPP_LEVEL=0", "render set Enable_Channel_COPY_LFX=0",
        "render set Enable_EQ_GFX=0"};
    for (int band = 1; band <= 10; ++band)
        expected.push_back("render set EQ_Slider" + std::to_string(band) + "=0");
    expected.insert(expected.end(),
                    {"render set VirtualSurroundEffectControl(0,0,0)=0", "capture set Enable_ENC_LFX=0",
                     "capture set Enable_MAGICVOICE=0", "capture set MagicVoice_Selection=0"});
    expected.insert(expected.end(), kVolumePassSets.begin(), kVolumePassSets.end());
    EXPECT_THAT(Sets(), ElementsAreArray(expected));
    ASSERT_EQ(Sets().size(), 29u);
    EXPECT_THAT(m_Control->eqBand, ::testing::Each(0));
    const auto calls = PropertyCalls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), "capture get Enable_ENC_LFX(0,0,0)"), calls.end());
}

TEST_F(PropertyTest, ReadablePropertiesAreLeftAloneAndTheBandsAndScalarsRead)
{
    MakeReady();
    const int32_t answers[10] = {-12, 0, 3, 4, 2147483647, 6, -7, 8, 9, 10};
    std::string scenario = "answer VolumeScalarControl 0.5\n";
    for (int band = 0; band < 10; ++band)
        scenario +=
            "answer EQ_Slider" + std::to_string(band + 1) + " " + std::to_string(answers[band]) + "\n";
    m_Sim.Apply(scenario);
    m_Control->initAudioDefaults();
    EXPECT_TRUE(Sets().empty());
    EXPECT_THAT(m_Control->eqBand, ElementsAreArray(answers));
    EXPECT_TRUE(m_Control->readPlaybackChannels());
    EXPECT_EQ(m_Control->playbackLeftPercent, 50.5f);
    EXPECT_EQ(m_Control->playbackRightPercent, 50.5f);
    // A volume read says whether the volume itself was read: the mute's get comes first and does
    // not count, and the pair of channels is read only when both are.
    m_Sim.Apply("fail call 1");
    EXPECT_TRUE(m_Control->readPlaybackMaster());
    m_Sim.Apply("fail call 1");
    EXPECT_TRUE(m_Control->readMicState());
    for (const char *fault : {"fail call 2", "fail call 3"})
    {
        m_Sim.Apply(fault);
        EXPECT_FALSE(m_Control->readPlaybackChannels()) << fault;
    }
    m_Sim.Apply("fail call 2");
    EXPECT_FALSE(m_Control->readPlaybackMaster());
    m_Sim.Apply("fail call 2");
    EXPECT_FALSE(m_Control->readMicState());
}

TEST_F(PropertyTest, PlaybackVolumeSetsMasterOrBothChannelsEachAfterItsGet)
{
    MakeReady();
    m_Control->applyPlaybackVolume(0, 0, 75, 10);
    EXPECT_THAT(PropertyCalls(), ElementsAre("render get MuteControl", "render set MuteControl=0",
                                             "render get VolumeScalarControl(-1,0,0)",
                                             "render set VolumeScalarControl(-1,0,0)=0.75"));
    m_Sim.ResetLog();
    m_Control->applyPlaybackVolume(1, 1, 20, 80);
    EXPECT_THAT(PropertyCalls(), ElementsAre("render get MuteControl", "render set MuteControl=1",
                                             "render get VolumeScalarControl(0,0,0)",
                                             "render set VolumeScalarControl(0,0,0)=0.2",
                                             "render get VolumeScalarControl(1,0,0)",
                                             "render set VolumeScalarControl(1,0,0)=0.8"));
    EXPECT_EQ(std::bit_cast<float>(m_Sim.Calls("PropertyControl")[3].value), 0.2f);

    // Out-of-range percents are clamped where the scalar is made.
    m_Sim.ResetLog();
    m_Control->applyAAVolume(0, 1, 150, -20);
    EXPECT_THAT(Sets(),
                ElementsAre("capture set AAMuteControl=0", "capture set AAVolumeScalarControl(0,0,0)=1",
                            "capture set AAVolumeScalarControl(1,0,0)=0"));
}

TEST_F(PropertyTest, VolumeOperationsWithoutMuteAndWithAFailedChannel)
{
    MakeReady();
    m_Control->setMicVolume(0, 40, 90);
    EXPECT_THAT(PropertyCalls(), ElementsAre("capture get VolumeScalarControl(-1,0,0)",
                                             "capture set VolumeScalarControl(-1,0,0)=0.4"));
    EXPECT_EQ(std::bit_cast<float>(m_Sim.Calls("PropertyControl")[1].value), 0.4f);

    // Only the channel 0 get fails: the first call from now.
    m_Sim.ResetLog();
    m_Sim.Apply("fail call 1");
    m_Control->setPlaybackVolume(1, 30, 70);
    EXPECT_THAT(PropertyCalls(),
                ElementsAre("render get VolumeScalarControl(0,0,0)", "render get VolumeScalarControl(1,0,0)",
                            "render set VolumeScalarControl(1,0,0)=0.7"));
    m_Sim.ResetLog();
    m_Control->setPlaybackVolume(0, 150, 0);
    m_Control->setMicVolume(0, -20, 0);
    EXPECT_THAT(Sets(), ElementsAre("render set VolumeScalarControl(-1,0,0)=1",
                                    "capture set VolumeScalarControl(-1,0,0)=0"));
}

TEST_F(PropertyTest, EffectsProbeEachPropertyAndWriteOnlyWhatCanBeRead)
{
    MakeReady();
    m_Sim.Apply("fail get EQ_Slider3");
    m_Control->setEqualiserBands({11, 12, 13, 14, 15, 16, 17, 18, 19, 20});
    std::vector<std::string> expected;
    for (int band = 1; band <= 10; ++band)
        if (band != 3)
            expected.push_back("render set EQ_Slider" + std::to_string(band) + "=" +
                               std::to_string(10 + band));
    EXPECT_THAT(Sets(), ElementsAreArray(expected));

    m_Sim.ResetLog();
    m_Control->adjustSurroundHeadphone(0);
    EXPECT_THAT(PropertyCalls(), ElementsAre("render get VirtualSurroundEffectControl(4,-1,0)",
                                             "render set VirtualSurroundEffectControl(4,-1,0)=0",
                                             "render get VirtualSurroundEffectControl(4,1,0)",
                                             "render set VirtualSurroundEffectControl(4,1,0)=0",
                                             "render get VirtualSurroundEffectControl(4,0,0)",
                                             "render set VirtualSurroundEffectControl(4,0,0)=1"));

    m_Sim.ResetLog();
    m_Control->setNoiseReduction(1);
    EXPECT_THAT(PropertyCalls(),
                ElementsAre("capture get Enable_ENC_LFX(0,0,0)", "capture set Enable_ENC_LFX=1"));

    // A property the library does not know is not read, yet the default device is still set.
    m_Sim.ResetLog();
    m_State.currentDevice = {0x31, 12, 0, 1};
    m_Control->makeDefaultDevice();
    EXPECT_THAT(PropertyCalls(),
                ElementsAre("h49 get DefaultDeviceControl(0,0,0)", "h49 set DefaultDeviceControl(0,0,0)=0"));
    EXPECT_NE(m_Sim.Calls("PropertyControl")[0].result, 0);
}

TEST_F(PropertyTest, ReadBacksKeepWhatCannotBeRead)
{
    MakeReady();
    m_Sim.Apply("fail get EQ_Slider5\nanswer EQ_Slider6 66\nanswer EQ_Slider10 -10\nanswer MuteControl 1");
    std::fill(std::begin(m_Control->eqBand), std::end(m_Control->eqBand), 5);
    m_Control->readEqualiser();
    EXPECT_THAT(m_Control->eqBand, ElementsAre(0, 0, 0, 0, 5, 66, 0, 0, 0, -10));

    m_Sim.Apply("fail get *");
    m_Control->micMute = 3;
    m_Control->readMicState();
    m_Control->readSurround();
    m_Control->readNoiseReduction();
    EXPECT_EQ(m_Control->micMute, 3);
    EXPECT_EQ(m_Control->surroundEnable, 0) << "members start at zero";
    EXPECT_EQ(m_Control->noiseReductionEnable, 0);
}

TEST_F(PropertyTest, LogLinesOfTheSingleControlOperations)
{
    MakeReady();
    m_Sim.Apply("answer GetSupportFeature 42\nanswer GetDeviceID -1\nanswer VirtualSurroundEffectControl 3");
    m_State.currentDevice = m_State.renderDevice;
    m_Control->setNoiseReduction(-1);
    m_Control->setSurroundMax(2);
    m_Control->adjustVoiceClarity(1, 2, 3);
    m_Control->adjustVoiceChanger(1, 4);
    m_Control->getSupportFeature();
    m_Control->getDeviceId();
    m_Control->getSymbolicLink(); // unknown to the library: nothing logged
    m_Control->adjustSurroundHeadphone(1);
    m_Control->makeDefaultDevice();
    EXPECT_THAT(m_Log.Texts(),
                ElementsAre("Enable_ENC_LFX ==   4294967295", "Surround Max enable ==   2",
                            "User -- Adjust_VoiceClarity , enable =  1  , level =  2  , level2 =  3",
                            "Enable_MAGICVOICE ==   1 mode =  4",
                            "PropertyControl - GetSupportFeature ok , return =   42",
                            "PropertyControl - GetDeviceID ok , return =  4294967295",
                            "PropertyControl - Adjust_SurroundHeadphone ok , return =  3",
                            "PropertyControl - Adjust_SurroundHeadphone ok , return =  3",
                            "PropertyControl - Adjust_SurroundHeadphone ok , return =  3",
                            "PropertyControl - DefaultDeviceControl set ok , device type is =   12"));
}

// Every value and parameter goes out in the object's own buffers, never in a 4-byte argument.
TEST_F(PropertyTest, EveryCallPassesTheObjectsBuffers)
{
    MakeReady();
    m_Sim.Apply(kDeviceInfoAnswers);
    RunEveryOperation(*m_Control);
    const auto calls = m_Sim.Calls("PropertyControl");
    ASSERT_GT(calls.size(), 100u);
    for (const ConfSimCall &call : calls)
    {
        const void *expected =
            call.direction == CONFLIB_SET ? m_Control->setValueBuffer : m_Control->getValueBuffer;
        EXPECT_EQ(call.valueAddress, uint64_t(reinterpret_cast<uintptr_t>(expected))) << Describe(call);
    }
}

TEST_F(PropertyTest, AnswersFillingTheBufferAreReadUpToItsEnd)
{
    MakeReady();
    m_Sim.Apply("answers unterminated\nanswer MuteControl\nanswer VolumeScalarControl 0.25");
    m_Control->micMute = 9;
    m_Control->readMicState(); // 512 units of 'A', no terminator
    EXPECT_EQ(m_Control->micMute, 0);
    EXPECT_EQ(m_Control->micMasterPercent, 25.5f);
    m_Sim.Apply("answers normal\nanswer VolumeScalarControl nan");
    m_Control->readPlaybackMaster();
    EXPECT_EQ(int(m_Control->playbackMasterPercent), 0);
    m_Sim.Apply("answers random 3");
    for (int i = 0; i < 50; ++i)
        m_Control->readEqualiser();
}

TEST_F(PropertyTest, TeardownUninitialisesABoundLibraryOnce)
{
    Bind();
    m_Control.reset();
    EXPECT_EQ(m_Sim.Calls("ConfLibUnInit").size(), 1u);
    ConfLibState unbound;
    {
        HeadsetAudioControl control(unbound);
    }
    EXPECT_EQ(m_Sim.Calls().size(), 1u);
}

// Sits between the panel and the library's two result-bearing entries: at each call, and at the
// end, the panel's lastLibraryResult must be what the previous one returned.
struct ResultWatch
{
    static inline ConfLibState *state = nullptr;
    static inline PropertyControlProc property = nullptr;
    static inline GetDeviceByIdProc lookup = nullptr;
    static inline std::optional<int32_t> last;
    static inline int mismatches = 0;

    static void Install(ConfLibState &s)
    {
        state = &s;
        last.reset();
        property = s.entry<ConfLibEntry::PropertyControl>();
        lookup = s.entry<ConfLibEntry::GetDeviceById>();
        s.setEntry<ConfLibEntry::PropertyControl>(&Property);
        s.setEntry<ConfLibEntry::GetDeviceById>(&Lookup);
    }
    static void Check() { mismatches += last && state->lastLibraryResult != *last; }
    static int32_t CONFLIB_CALL Property(DevInfo d, const char16_t *n, void **v, void **p, uint8_t direction)
    {
        Check();
        return *(last = property(d, n, v, p, direction));
    }
    static int32_t CONFLIB_CALL Lookup(uint32_t direction, uint32_t index, DevInfo *device)
    {
        Check();
        return *(last = lookup(direction, index, device));
    }
};

// Each library call of a whole life fails once in turn: nothing crashes, every result is where the
// panel keeps it until the next call, and the calls after the failed one are unaffected.
TEST_F(PropertyTest, EachLibraryCallFailingInTurnIsSurvived)
{
    const auto runLife = [&](uint32_t failing)
    {
        m_Sim.Reset();
        m_Sim.Apply(kDeviceInfoAnswers);
        if (failing)
            m_Sim.Apply("fail call " + std::to_string(failing) + " -9");
        ConfLibState state;
        ResultWatch::mismatches = 0;
        {
            HeadsetAudioControl control(state);
            bindConfigLibrary(state, CONFLIB_PATH);
            ResultWatch::Install(state);
            control.initConfigLibrary();
            control.openDeviceList();
            control.openDeviceList();
            control.refreshAudioDefaults();
            RunEveryOperation(control);
            ResultWatch::Check();
        }
        EXPECT_EQ(ResultWatch::mismatches, 0) << "failing call " << failing;
        return m_Sim.Calls();
    };
    const uint32_t total = uint32_t(runLife(0).size());
    ASSERT_GT(total, 200u);
    for (uint32_t failing = 1; failing <= total; ++failing)
    {
        const auto calls = runLife(failing);
        ASSERT_GE(calls.size(), failing);
        for (uint32_t i = 0; i < calls.size(); ++i)
            EXPECT_EQ(calls[i].result, i + 1 == failing ? -9 : 0) << "call " << i << ", failing " << failing;
    }
}

} // namespace
