// Binding the configuration library, its device list and the choice of the headset's endpoints,
// with the library whole, missing, corrupt or lacking entries.
#include "headset_fixture.h"

#include <QTemporaryDir>

#include <fstream>
#include <random>

namespace
{

using ::testing::ElementsAre;

class BindingTest : public HeadsetTest
{
protected:
    // Everything of the state that the library's answers reach.
    std::vector<uint32_t> Snapshot() const
    {
        std::vector<uint32_t> words{m_State.renderDeviceCount, m_State.captureDeviceCount,
                                    uint32_t(m_State.lastLibraryResult), m_Control->libraryReady};
        for (const DevInfo &device : {m_State.currentDevice, m_State.renderDevice, m_State.captureDevice})
            for (uint32_t word : Words(device))
                words.push_back(word);
        return words;
    }
};

TEST_F(BindingTest, TheWholeLibraryResolvesAllItsEntries)
{
    Bind();
    EXPECT_EQ(m_Log.Texts(), std::vector<std::string>{"hInpOutDll called ok"});
    for (size_t i = 0; i < kConfLibEntryCount; ++i)
        EXPECT_NE(m_State.entries[i], nullptr) << kConfLibEntryNames[i];
    m_Control->initConfigLibrary();
    m_Control->openDeviceList();
    EXPECT_THAT(m_Log.Texts(),
                ElementsAre("hInpOutDll called ok", "ConfLibInit called ok", "CreateDeviceList called ok",
                            "GetDeviceCount called ok  , Render Device Count =  1",
                            "GetDeviceCount called ok  , Capture Device Count =  1", "isSVok  = true"));
    EXPECT_EQ(m_Control->libraryReady, 1);
}

// From construction through a device check, every operation and teardown, no library is called.
TEST_F(BindingTest, AMissingOrCorruptLibraryIsNeverCalled)
{
    QTemporaryDir dir;
    const QString corrupt = dir.path() + "/osConfLib";
    {
        std::mt19937 random(24);
        std::ofstream file((dir.path() + "/libosConfLib.so").toStdString(), std::ios::binary);
        for (int i = 0; i < 4096; ++i)
            file.put(char(random()));
    }
    for (const QString &path : {dir.path() + "/absent/osConfLib", corrupt})
    {
        m_Log.Clear();
        ConfLibState state;
        {
            HeadsetAudioControl control(state);
            bindConfigLibrary(state, path);
            control.initConfigLibrary();
            control.openDeviceList();
            control.refreshAudioDefaults();
            RunEveryOperation(control);
            EXPECT_EQ(control.libraryReady, 0);
            EXPECT_EQ(state.lastLibraryResult, -1) << "a property call without a library";
            EXPECT_EQ(control.closeIoLibrary(), 0);
        }
        EXPECT_EQ(state.libraryHandle, nullptr);
        const auto texts = m_Log.Texts();
        ASSERT_GE(texts.size(), 2u);
        EXPECT_EQ(texts[0], "hInpOutDll == NULL") << path.toStdString();
        EXPECT_EQ(texts[1], "SVI_Init == NULL");
    }
    EXPECT_TRUE(m_Sim.Calls().empty());
}

TEST_F(BindingTest, VariantsLackingEntriesRunTheSameLifeSafely)
{
    struct
    {
        const char *path;
        bool ready;
        const char *firstInitLine;
    } variants[] = {{CONFLIB_NO_INIT_PATH, true, "SVI_Init == NULL"},
                    {CONFLIB_NO_LIST_PATH, false, "ConfLibInit called ok"},
                    {CONFLIB_NO_PROPERTY_PATH, true, "ConfLibInit called ok"}};
    for (const auto &variant : variants)
    {
        m_Log.Clear();
        ConfLibState state;
        {
            HeadsetAudioControl control(state);
            bindConfigLibrary(state, variant.path);
            control.initConfigLibrary();
            control.openDeviceList();
            EXPECT_EQ(control.libraryReady, variant.ready ? 1 : 0) << variant.path;
            RunEveryOperation(control);
            if (state.entry<ConfLibEntry::PropertyControl>() == nullptr)
            {
                EXPECT_EQ(state.lastLibraryResult, -1);
            }
        }
        EXPECT_EQ(m_Log.Texts().at(1), variant.firstInitLine) << variant.path;
        if (!variant.ready)
        {
            EXPECT_EQ(m_Log.Count("isSVok  = true"), 0u);
        }
    }
}

TEST_F(BindingTest, AnEmptyCaptureListKeepsTheLibraryUnreadyAndTheRefreshIdle)
{
    m_Sim.Apply("devices render 1,12,0,1 2,12,0,1\ndevices capture");
    Bind();
    m_Control->openDeviceList();
    EXPECT_EQ(m_Log.Texts().back(), "isSVok  = false");
    m_Sim.ResetLog();
    m_Control->refreshAudioDefaults();
    EXPECT_EQ(m_Log.Texts().back(), "isSVok == false");
    EXPECT_TRUE(m_Sim.Calls("GetDeviceById").empty());
    EXPECT_TRUE(m_Sim.Calls("PropertyControl").empty());
}

TEST_F(BindingTest, ARefreshInitialisesAndRebuildsOnceAndAFailedRebuildStillCounts)
{
    Bind();
    m_Control->refreshAudioDefaults();
    EXPECT_EQ(m_Sim.Calls("ConfLibInit").size(), 1u);
    EXPECT_EQ(m_Sim.Calls("CreateDeviceList").size(), 1u);

    // The device check: the list, then the refresh.
    m_Sim.ResetLog();
    m_Control->openDeviceList();
    m_Control->refreshAudioDefaults();
    EXPECT_EQ(m_Sim.Calls("CreateDeviceList").size(), 2u);
    EXPECT_EQ(m_Sim.Calls("ConfLibInit").size(), 1u);

    m_Sim.Apply("result CreateDeviceList 3\nresult ConfLibInit 2");
    m_Sim.ResetLog();
    m_Log.Clear();
    m_Control->initConfigLibrary();
    m_Control->openDeviceList();
    EXPECT_EQ(m_Log.Count("CreateDeviceList called ok"), 0u);
    EXPECT_EQ(m_Log.Count("ConfLibInit called failed!"), 1u);
    EXPECT_EQ(m_Sim.Calls("GetDeviceCount").size(), 2u);
    EXPECT_EQ(m_Control->libraryReady, 1);
}

TEST_F(BindingTest, CountsTheLibraryDoesNotWriteOrOverstatesAreNotTrusted)
{
    MakeReady();
    m_Sim.Apply("count capture silent");
    m_Control->openDeviceList();
    EXPECT_EQ(m_Control->libraryReady, 0) << "an unplug that the count does not report";

    m_Sim.Apply("count capture list\ncount render 0xFFFFFFFF");
    m_Sim.ResetLog();
    m_Log.Clear();
    m_Control->refreshVolumeDefaults();
    size_t renderLookups = 0;
    for (const ConfSimCall &call : m_Sim.Calls("GetDeviceById"))
        renderLookups += call.args[0] == CONFLIB_RENDER;
    EXPECT_EQ(renderLookups, kMaxRenderEndpoints);
    EXPECT_EQ(m_Log.Count("Render Device Count capped at 64"), 1u);
    EXPECT_EQ(m_State.renderDevice.Handle, 0x10u);
}

TEST_F(BindingTest, TheLastActiveHeadsetEndpointIsChosenAndOnlyIndexZeroOfCapture)
{
    m_Sim.Apply("devices render 1,12,5,1 2,3,0,1 3,12,6,1\ndevices capture 4,2,1,1");
    Bind();
    m_Control->refreshAudioDefaults();
    EXPECT_EQ(Words(m_State.renderDevice), (Record{3, 12, 6, 1}));
    EXPECT_EQ(Words(m_State.captureDevice), (Record{4, 2, 1, 1}));
    EXPECT_EQ(m_Log.Count(" DevInfo.JackType = 12"), 2u);
    EXPECT_EQ(m_Log.Count("GetDeviceById called ok=   , the Capture device state is =  1"), 1u);

    // Inactive headset endpoint, capture match only at index 1: both records keep what they had.
    m_Sim.Apply("devices render 7,12,0,0\ndevices capture 8,3,0,1 9,2,0,1");
    m_Control->refreshAudioDefaults();
    EXPECT_EQ(m_State.renderDevice.Handle, 3u);
    EXPECT_EQ(m_State.captureDevice.Handle, 4u);
}

TEST_F(BindingTest, AFailedLookupNeverSelectsWhatTheScratchRecordStillHolds)
{
    // Index 1 would match and the capture lookup finds the scratch record holding a JackType 2 one.
    m_Sim.Apply("devices render 1,12,0,1 2,12,0,1 5,2,0,1\nresult GetDeviceById render 1 4\n"
                "result GetDeviceById capture 0 6");
    Bind();
    m_Control->openDeviceList();
    selectHeadsetDevices(m_State);
    EXPECT_EQ(m_State.renderDevice.Handle, 1u);
    EXPECT_EQ(m_State.captureDevice.Handle, 0u);
    EXPECT_EQ(m_State.lastLibraryResult, 6);
}

TEST_F(BindingTest, TheEventCallbackOnlyLogsFromTheLibrarysThread)
{
    MakeReady();
    m_State.lastLibraryResult = 77;
    const auto before = Snapshot();
    m_State.entry<ConfLibEntry::RegisterCallbackFunction>()(&onConfigLibraryEvent);
    m_Sim.Apply("event 1 -2 3 4294967295");
    const auto lines = m_Log.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "Type =  1 Id =  -2 ComponentType =  3 EventId =  4294967295");
    EXPECT_NE(lines[0].thread, std::this_thread::get_id());
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(m_Sim.Calls().size(), 1u) << "only the registration";
}

TEST_F(BindingTest, TheIoPortEntriesPassTheirBytesAndClosingReleasesEverything)
{
    Bind();
    m_Control->setRgbI2cMode(1, 2, 3, 0xFF);
    m_Control->setRgbPattern(1, 2); // not while the library is uninitialised
    m_Control->libraryInitialised = 1;
    m_Control->setRgbPattern(5, 6);
    m_Control->setRgbColor(7, 8, 9, 10);
    m_Control->runRgbTimer();
    m_Control->saveRgbToMcu();
    std::vector<std::string> seen;
    for (const ConfSimCall &call : m_Sim.Calls())
        seen.push_back(std::string(call.entry) + " " + std::to_string(call.args[0]) + " " +
                       std::to_string(call.args[3]));
    EXPECT_THAT(seen, ElementsAre("RGBI2CMode 1 255", "SetPattern 5 0", "SetRGB 7 10", "OnTimerApp 0 0",
                                  "SaveToMCU 0 0"));

    m_State.smbusOpen = 1;
    m_Control->closeIoLibrary(); // the file stays loaded while this test holds it too
    EXPECT_EQ(m_Sim.Calls("ShutdownSMB").size(), 1u);
    EXPECT_EQ(m_State.libraryHandle, nullptr);
    m_Sim.ResetLog();
    RunEveryOperation(*m_Control);
    m_Control.reset();
    EXPECT_TRUE(m_Sim.Calls().empty()) << "nothing reaches a released library";
}

} // namespace
