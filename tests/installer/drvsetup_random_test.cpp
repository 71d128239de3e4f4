// Random command lines and device lists: drvsetup succeeds only for two arguments naming a present
// device and an existing absolute file, prints nothing but the framework failure line, never crashes.
#include "drvsetup_harness.h"
#include "support/drvsetup_sim.h"

#include <random>

namespace
{
constexpr const char *kFatal = "Fatal Error: MFC initialization failed\n";

bool sameIdIgnoringAsciiCase(const std::string &a, const std::string &b)
{
    auto fold = [](unsigned char c) { return c >= 'a' && c <= 'z' ? c - 32 : c; };
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (fold(a[i]) != fold(b[i]))
            return false;
    return true;
}

// One random scenario with what the independent oracle knows of it.
struct Scenario
{
    std::string list;
    bool listKnown = true;        // false for raw random text, whose devices the oracle does not parse
    std::vector<std::string> ids; // every ID of a well-formed list
    bool afxFails = false;
    std::vector<std::string> args;
};

class Generator
{
public:
    explicit Generator(uint32_t seed) : m_rng(seed) {}

    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_rng); }

    // Printable ASCII other than the separators, and bytes above 0x7F.
    std::string id(size_t maxLength)
    {
        std::string s(1 + below(maxLength), ' ');
        for (char &c : s)
            do
                c = char(below(2) ? 0x21 + below(0x5E) : 0x80 + below(0x80));
            while (c == ',' || c == ';');
        return s;
    }

    std::string rawBytes(size_t length)
    {
        std::string s(length, ' ');
        for (char &c : s)
            c = char(1 + below(255));
        return s;
    }

    Scenario scenario(const std::string &inf, const std::string &dir)
    {
        Scenario s;
        std::vector<std::string> devices;
        for (size_t d = below(5); d > 0; --d)
        {
            std::string device;
            for (size_t n = 1 + below(3); n > 0; --n)
            {
                s.ids.push_back(id(40));
                device += (device.empty() ? "" : ",") + s.ids.back();
            }
            devices.push_back(device);
        }
        for (const std::string &device : devices)
            s.list += (s.list.empty() ? "" : ";") + device;
        switch (below(8))
        {
        case 0: // an empty ID
            s.list += ",";
            s.ids.clear();
            break;
        case 1: // a control byte
            s.list += char(1 + below(31));
            s.ids.clear();
            break;
        case 2: // over the size limit
            s.list += ";" + std::string(100 * 1024, 'Z');
            s.ids.clear();
            break;
        case 3:
            s.list = rawBytes(below(300));
            s.listKnown = false;
            s.ids.clear();
            break;
        default:
            break;
        }
        s.afxFails = below(10) == 0;
        // Two arguments half the time, each as often a good one as not, so every path is drawn.
        const size_t count = below(2) ? 2 : below(7);
        for (size_t n = 0; n < count; ++n)
            s.args.push_back(argument(s, n, inf, dir));
        return s;
    }

private:
    std::string argument(const Scenario &s, size_t position, const std::string &inf, const std::string &dir)
    {
        size_t kind = below(8);
        if (below(2))
            kind = position == 0 ? 0 : position == 1 ? 1 : kind;
        switch (kind)
        {
        case 0:
            if (!s.ids.empty())
            {
                std::string chosen = s.ids[below(s.ids.size())];
                for (char &c : chosen)
                    if (below(2) && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
                        c ^= 0x20;
                return chosen;
            }
            return id(10);
        case 1:
            return inf;
        case 2:
            return "";
        case 3:
            return rawBytes(64 * 1024);
        case 4:
        case 5:
            return rawBytes(below(20));
        case 6:
            return dir + (below(2) ? "" : "/missing.inf");
        default:
            return "zelko610.inf";
        }
    }

    std::mt19937 m_rng;
};

class DrvsetupRandomTest : public DrvsetupSimTest
{
protected:
    void apply(const Scenario &s)
    {
        clearEnv();
        ::setenv("DRVSETUP_SIM_DEVICES", s.list.c_str(), 1);
        if (s.afxFails)
            ::setenv("DRVSETUP_SIM_AFX_FAIL", "1", 1);
    }

    // What the caller must see: exit 0 only for two arguments naming a present device and the INF.
    void check(const Scenario &s, int exitCode, const std::string &err)
    {
        const bool valid = s.args.size() == 2;
        const bool fatal = valid && s.afxFails;
        EXPECT_EQ(err, fatal ? kFatal : "");
        if (!valid || fatal || s.args[1] != inf)
        {
            EXPECT_EQ(exitCode, 1);
            return;
        }
        bool present = false;
        if (s.listKnown)
        {
            for (const std::string &id : s.ids)
                present = present || sameIdIgnoringAsciiCase(id, s.args[0]);
            EXPECT_EQ(exitCode, present ? 0 : 1);
            return;
        }
        // Raw text: success needs the ID among the text's pieces at least.
        if (exitCode == 0)
            for (size_t start = 0; start <= s.list.size();)
            {
                const size_t end = std::min(s.list.find_first_of(",;", start), s.list.size());
                present = present || sameIdIgnoringAsciiCase(s.list.substr(start, end - start), s.args[0]);
                start = end + 1;
            }
        EXPECT_TRUE(exitCode == 1 || present);
    }
};

TEST_F(DrvsetupRandomTest, InProcess)
{
    Generator gen(0x28u);
    int installed = 0;
    for (int i = 0; i < 400; ++i)
    {
        SCOPED_TRACE(i);
        const Scenario s = gen.scenario(inf, dir.string());
        apply(s);
        RecordingPlatform platform;
        const int code = runDrvsetupMain(s.args, platform);
        check(s, code, platform.err);
        EXPECT_LE(platform.updates.size(), 1u);
        installed += code == 0;
    }
    // The draw must reach the success path too, or the oracle proves little.
    EXPECT_GE(installed, 5);
}

TEST_F(DrvsetupRandomTest, Program)
{
    Generator gen(0x2828u);
    for (int i = 0; i < 60; ++i)
    {
        SCOPED_TRACE(i);
        const Scenario s = gen.scenario(inf, dir.string());
        apply(s);
        const ProgramRun run = runDrvsetup(s.args, dir);
        EXPECT_EQ(run.out, "");
        check(s, run.exitCode, run.err);
    }
}
} // namespace
