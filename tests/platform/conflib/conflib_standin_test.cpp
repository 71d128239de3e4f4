// The configuration library stand-in, through its exports as a program resolves them: the simulated
// headset's lists and property store, the scenario text and file, injected failures, events.
#include "support/conflib_sim_client.h"

#include <QLibrary>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <unistd.h>
#include <thread>

namespace
{

class ConfLibStandInTest : public ::testing::Test
{
protected:
    void SetUp() override { m_Sim.Reset(); }

    template <class F> F Entry(const char *name)
    {
        auto proc = reinterpret_cast<F>(m_Library.resolve(name));
        EXPECT_NE(proc, nullptr) << name;
        return proc;
    }

    // A get's answer as ASCII (units cut at the first NUL or at 512).
    std::string Get(DevInfo device, const char16_t *name, const int32_t *param = nullptr,
                    int32_t *result = nullptr)
    {
        alignas(8) char16_t value[512] = {};
        int32_t words[3] = {};
        if (param)
            std::memcpy(words, param, sizeof words);
        void *valueAddress = value;
        void *paramAddress = words;
        const int32_t r =
            m_Property(device, name, &valueAddress, param ? &paramAddress : nullptr, CONFLIB_GET);
        if (result)
            *result = r;
        std::string text;
        for (size_t i = 0; i < 512 && value[i]; ++i)
            text.push_back(char(value[i]));
        return text;
    }
    int32_t Set(DevInfo device, const char16_t *name, uint32_t bits, const int32_t *param = nullptr)
    {
        alignas(8) unsigned char value[1024] = {};
        std::memcpy(value, &bits, sizeof bits);
        int32_t words[256] = {};
        if (param)
            std::memcpy(words, param, 3 * sizeof(int32_t));
        void *valueAddress = value;
        void *paramAddress = words;
        return m_Property(device, name, &valueAddress, param ? &paramAddress : nullptr, CONFLIB_SET);
    }

    ConfLibSimClient m_Sim{CONFLIB_PATH};
    QLibrary m_Library{CONFLIB_PATH};
    PropertyControlProc m_Property = Entry<PropertyControlProc>("PropertyControl");
    GetDeviceCountProc m_Count = Entry<GetDeviceCountProc>("GetDeviceCount");
    GetDeviceByIdProc m_Lookup = Entry<GetDeviceByIdProc>("GetDeviceById");
    CreateDeviceListProc m_CreateList = Entry<CreateDeviceListProc>("CreateDeviceList");
    const DevInfo m_Render{0x10, 12, 0, 1};
};

TEST_F(ConfLibStandInTest, ServesTheDefaultHeadsetAndRebuildsItsListsOnRequest)
{
    uint32_t counts[2] = {99, 99};
    EXPECT_EQ(m_Count(CONFLIB_RENDER, &counts[0]), 0);
    EXPECT_EQ(m_Count(CONFLIB_CAPTURE, &counts[1]), 0);
    EXPECT_EQ(counts[0], 1u);
    EXPECT_EQ(counts[1], 1u);
    DevInfo device{};
    ASSERT_EQ(m_Lookup(CONFLIB_CAPTURE, 0, &device), 0);
    EXPECT_EQ(device.JackType, 2);
    EXPECT_EQ(device.State, 1u);
    EXPECT_NE(m_Lookup(CONFLIB_CAPTURE, 1, &device), 0);

    // A new list is served only once CreateDeviceList has rebuilt it.
    m_Sim.Apply("devices render 1,3,0,1 2,12,0,0 3,12,0,1\ncount capture silent");
    EXPECT_EQ(m_Count(CONFLIB_RENDER, &counts[0]), 0);
    EXPECT_EQ(counts[0], 1u);
    ASSERT_EQ(m_CreateList(), 0);
    counts[1] = 77;
    EXPECT_EQ(m_Count(CONFLIB_RENDER, &counts[0]), 0);
    EXPECT_EQ(m_Count(CONFLIB_CAPTURE, &counts[1]), 0);
    EXPECT_EQ(counts[0], 3u);
    EXPECT_EQ(counts[1], 77u) << "a silent count writes nothing";
    ASSERT_EQ(m_Lookup(CONFLIB_RENDER, 2, &device), 0);
    EXPECT_EQ(device.Handle, 3u);
    EXPECT_NE(m_Lookup(CONFLIB_RENDER, 3, &device), 0);
    auto init = Entry<ConfLibInitProc>("ConfLibInit");
    EXPECT_EQ(init(), 0);
    EXPECT_EQ(init(), 0);
}

TEST_F(ConfLibStandInTest, StoresSetsPerHandleNameAndParameterAndAnswersThemAsText)
{
    const int32_t left[3] = {0, 0, 0};
    const int32_t right[3] = {1, 0, 0};
    EXPECT_EQ(Get(m_Render, u"VolumeScalarControl", right), "0.75");
    float scalar = 0.2f;
    uint32_t bits;
    std::memcpy(&bits, &scalar, sizeof bits);
    ASSERT_EQ(Set(m_Render, u"VolumeScalarControl", bits, left), 0);
    EXPECT_EQ(Get(m_Render, u"VolumeScalarControl", left), "0.2");
    EXPECT_EQ(Get(m_Render, u"VolumeScalarControl", right), "0.75");
    EXPECT_EQ(Get(DevInfo{0x99, 12, 0, 1}, u"VolumeScalarControl", left), "0.75");
    ASSERT_EQ(Set(m_Render, u"MuteControl", uint32_t(-3)), 0);
    EXPECT_EQ(Get(m_Render, u"MuteControl"), "-3");

    // The last call's record, as the log gives it.
    const ConfSimCall last = m_Sim.Calls("PropertyControl").back();
    EXPECT_EQ(PropertyName(last), "MuteControl");
    EXPECT_EQ(last.direction, CONFLIB_GET);
    EXPECT_EQ(last.hasParam, 0);

    int32_t result = 0;
    Get(m_Render, u"NoSuchControl", nullptr, &result);
    EXPECT_NE(result, 0);
    const std::u16string longName(257, u'A');
    EXPECT_NE(Set(m_Render, longName.c_str(), 1), 0);
    EXPECT_EQ(Set(m_Render, std::u16string(256, u'A').c_str(), 1), 0);
}

TEST_F(ConfLibStandInTest, ScenarioTextAppliesWholeOrNotAtAll)
{
    EXPECT_EQ(m_Sim.TryApply("answer MuteControl 7\nfail get * 9\nbogus line"), 3);
    EXPECT_EQ(Get(m_Render, u"MuteControl"), "0") << "nothing of a bad text applies";
    for (const char *bad : {"count render -1", "devices render 1,2,3", "fail call 0", "answers loud",
                            "result GetDeviceById left 0 1", "event 1 2 3"})
        EXPECT_EQ(m_Sim.TryApply(bad), 1) << bad;

    m_Sim.Apply("# comment\n\nanswer MuteControl  12 apples\nfail get EQ_Slider3 5\nfail call 3 -4");
    EXPECT_EQ(Get(m_Render, u"MuteControl"), " 12 apples");
    int32_t result = 0;
    Get(m_Render, u"EQ_Slider3", nullptr, &result);
    EXPECT_EQ(result, 5);
    Get(m_Render, u"EQ_Slider4", nullptr, &result);
    EXPECT_EQ(result, -4) << "the third call from the scenario on";
    Get(m_Render, u"EQ_Slider4", nullptr, &result);
    EXPECT_EQ(result, 0);
}

TEST_F(ConfLibStandInTest, AnswerModesStayWithinTheBuffer)
{
    m_Sim.Apply("answers unterminated");
    EXPECT_EQ(Get(m_Render, u"VolumeScalarControl"), "0.75" + std::string(508, 'A'));
    m_Sim.Apply("answers nonnumeric");
    EXPECT_EQ(Get(m_Render, u"MuteControl"), "n/a");
    // Random answers: ASan would catch a write past the 1024 bytes.
    m_Sim.Apply("answers random 7");
    for (int i = 0; i < 200; ++i)
        Get(m_Render, u"MuteControl");
}

TEST_F(ConfLibStandInTest, EventsRunOnALibraryThreadOnceACallbackIsRegistered)
{
    static std::vector<std::pair<std::thread::id, uint32_t>> seen;
    seen.clear();
    auto registerCallback = Entry<RegisterCallbackFunctionProc>("RegisterCallbackFunction");
    m_Sim.Apply("event 1 -2 3 4294967295");
    EXPECT_TRUE(seen.empty());
    registerCallback([](int32_t, int32_t id, int32_t, uint32_t eventId)
                     { seen.emplace_back(std::this_thread::get_id(), eventId + uint32_t(id)); });
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_NE(seen[0].first, std::this_thread::get_id());
    EXPECT_EQ(seen[0].second, 4294967293u);
    m_Sim.Apply("event 0 0 0 5");
    ASSERT_EQ(seen.size(), 2u);
}

TEST(ConfLibVariantTest, EachVariantLacksItsChosenEntries)
{
    struct
    {
        const char *path;
        std::vector<std::string> missing;
    } variants[] = {{CONFLIB_NO_INIT_PATH, {"ConfLibInit"}},
                    {CONFLIB_NO_LIST_PATH, {"CreateDeviceList", "GetDeviceCount"}},
                    {CONFLIB_NO_PROPERTY_PATH, {"PropertyControl"}}};
    for (const auto &variant : variants)
    {
        QLibrary library(variant.path);
        ASSERT_TRUE(library.load()) << variant.path;
        for (const char *name : {"ConfLibInit", "CreateDeviceList", "GetDeviceCount", "PropertyControl",
                                 "GetDeviceById", "ConfLibUnInit", "SaveToMCU"})
        {
            const bool expectMissing =
                std::find(variant.missing.begin(), variant.missing.end(), name) != variant.missing.end();
            EXPECT_EQ(library.resolve(name) == nullptr, expectMissing) << variant.path << " " << name;
        }
    }
}

// A program's scenario file is read when the library loads; a copy of the library under another
// name is a fresh load.
TEST(ConfLibScenarioFileTest, IsReadAtLoadAndABadOrLargeOneLeavesTheDefaultsWithAReport)
{
    const auto dir = std::filesystem::temp_directory_path() / ("zelko-conflib-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const auto load = [&](const std::string &scenario, const std::string &copyName)
    {
        std::ofstream(dir / "scenario.txt") << scenario;
        std::filesystem::copy_file(CONFLIB_PATH, dir / copyName,
                                   std::filesystem::copy_options::overwrite_existing);
        ::setenv("OSCONF_SIM_SCENARIO", (dir / "scenario.txt").c_str(), 1);
        auto library = std::make_unique<QLibrary>(QString::fromStdString((dir / copyName).string()));
        EXPECT_TRUE(library->load());
        ::unsetenv("OSCONF_SIM_SCENARIO");
        uint32_t count = 0;
        reinterpret_cast<GetDeviceCountProc>(library->resolve("GetDeviceCount"))(CONFLIB_RENDER, &count);
        return count;
    };
    EXPECT_EQ(load("count render 5\n", "libGoodScenario.so"), 5u);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(load("count render 5\ncount render many\n", "libBadScenario.so"), 1u);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("line 2"), std::string::npos);
    // Over the size limit: refused whole, in a line naming the limit, though every line would parse.
    std::string large = "count render 5\n";
    while (large.size() <= (1u << 20))
        large += "# a comment line of the scenario, repeated past the limit\n";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(load(large, "libLargeScenario.so"), 1u);
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("is over the limit of 1048576 bytes; defaults apply"), std::string::npos) << report;
    EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
    std::filesystem::remove_all(dir);
}

} // namespace
