#include "conflib_sim.h"
#include "conflib_export.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace conflib_sim
{
namespace
{

std::u16string Widen(std::string_view text)
{
    return std::u16string(text.begin(), text.end());
}

bool ParseNumber(const std::string &token, long long low, long long high, long long &out)
{
    if (token.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    const long long value = std::strtoll(token.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || value < low || value > high)
        return false;
    out = value;
    return true;
}

bool ParseI32(const std::string &token, int32_t &out)
{
    long long v = 0;
    if (!ParseNumber(token, INT32_MIN, INT32_MAX, v))
        return false;
    out = int32_t(v);
    return true;
}

bool ParseU32(const std::string &token, uint32_t &out)
{
    long long v = 0;
    if (!ParseNumber(token, 0, UINT32_MAX, v))
        return false;
    out = uint32_t(v);
    return true;
}

bool ParseList(const std::string &token, uint32_t &out)
{
    if (token == "render")
        out = CONFLIB_RENDER;
    else if (token == "capture")
        out = CONFLIB_CAPTURE;
    else
        return false;
    return true;
}

// "H,J,F,S"
bool ParseDevice(const std::string &token, DevInfo &device)
{
    std::string fields[4];
    size_t start = 0;
    for (int i = 0; i < 4; ++i)
    {
        const size_t comma = token.find(',', start);
        if ((i < 3) == (comma == std::string::npos))
            return false;
        fields[i] = token.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        start = comma + 1;
    }
    return ParseU32(fields[0], device.Handle) && ParseI32(fields[1], device.JackType) &&
           ParseI32(fields[2], device.DataFlow) && ParseU32(fields[3], device.State);
}

// One command line into the configuration; false when it does not parse.
bool ParseLine(const std::string &line, Config &config, std::vector<std::u16string> &answered)
{
    std::istringstream in(line);
    std::vector<std::string> t;
    for (std::string word; in >> word;)
        t.push_back(word);
    if (t.empty() || t[0][0] == '#')
        return true;
    const std::string &cmd = t[0];
    const size_t n = t.size();
    uint32_t list = 0;
    if (cmd == "devices" && n >= 2 && ParseList(t[1], list))
    {
        std::vector<DevInfo> devices(n - 2);
        for (size_t i = 2; i < n; ++i)
            if (!ParseDevice(t[i], devices[i - 2]))
                return false;
        config.lists[list] = devices;
        return true;
    }
    if (cmd == "count" && n == 3 && ParseList(t[1], list))
    {
        CountSetting &count = config.counts[list];
        if (t[2] == "list" || t[2] == "silent")
        {
            count.kind = t[2] == "list" ? CountSetting::List : CountSetting::Silent;
            return true;
        }
        count.kind = CountSetting::Fixed;
        return ParseU32(t[2], count.count);
    }
    if (cmd == "answer" && n >= 2)
    {
        // The text is the rest of the line after the name and one blank; it may hold blanks.
        const size_t at = line.find(t[1], line.find("answer") + 6) + t[1].size();
        const std::string text = at < line.size() ? line.substr(at + 1) : std::string();
        config.answers[Widen(t[1])] = text;
        answered.push_back(Widen(t[1]));
        return true;
    }
    if (cmd == "fail" && n >= 3 && n <= 4)
    {
        int32_t result = 1;
        if (n == 4 && !ParseI32(t[3], result))
            return false;
        if (t[1] == "call")
        {
            config.failCallResult = result;
            return ParseU32(t[2], config.failCallIn) && config.failCallIn > 0;
        }
        const std::u16string name = Widen(t[2]);
        if (t[1] != "get" && t[1] != "set" && t[1] != "both")
            return false;
        if (t[1] != "set")
            config.failGet[name] = result;
        if (t[1] != "get")
            config.failSet[name] = result;
        return true;
    }
    if (cmd == "result" && n == 3 && (t[1] == "ConfLibInit" || t[1] == "CreateDeviceList"))
        return ParseI32(t[2], t[1] == "ConfLibInit" ? config.initResult : config.createListResult);
    if (cmd == "result" && n == 5 && t[1] == "GetDeviceById" && ParseList(t[2], list))
    {
        uint32_t index = 0;
        int32_t result = 0;
        if (!ParseU32(t[3], index) || !ParseI32(t[4], result))
            return false;
        config.lookupResults[{list, index}] = result;
        return true;
    }
    if (cmd == "answers" && n >= 2 && n <= 3)
    {
        static const std::pair<const char *, AnswerMode> modes[] = {
            {"normal", AnswerMode::Normal},
            {"unterminated", AnswerMode::Unterminated},
            {"nonnumeric", AnswerMode::NonNumeric},
            {"random", AnswerMode::Random}};
        if (n == 3 && !ParseU32(t[2], config.seed))
            return false;
        for (const auto &[word, mode] : modes)
            if (t[1] == word)
            {
                config.answerMode = mode;
                return true;
            }
        return false;
    }
    if (cmd == "event" && n == 5)
    {
        std::array<uint32_t, 4> event{};
        for (int i = 0; i < 4; ++i)
        {
            int32_t signedValue = 0;
            if (ParseI32(t[i + 1], signedValue))
                event[i] = uint32_t(signedValue);
            else if (!ParseU32(t[i + 1], event[i]))
                return false;
        }
        config.pendingEvents.push_back(event);
        return true;
    }
    return false;
}

} // namespace

Config::Config()
{
    lists[CONFLIB_RENDER] = {{0x10, 12, 0, 1}};
    lists[CONFLIB_CAPTURE] = {{0x20, 2, 1, 1}};
    for (const char *name :
         {"VolumeControl", "MuteControl", "AAVolumeControl", "AAMuteControl", "Enable_VOICECLARITY_LFX",
          "VOICECLARITY_LEVEL", "VOICECLARITY_NOISESUPP_LEVEL", "Enable_Channel_COPY_LFX", "Enable_EQ_GFX",
          "VirtualSurroundEffectControl", "Enable_ENC_LFX", "Enable_MAGICVOICE", "MagicVoice_Selection"})
        answers[Widen(name)] = "0";
    for (int band = 1; band <= 10; ++band)
        answers[Widen("EQ_Slider" + std::to_string(band))] = "0";
    answers[u"VolumeScalarControl"] = "0.75";
    answers[u"AAVolumeScalarControl"] = "0.5";
}

void Simulator::Reset()
{
    config = Config();
    for (uint32_t d : {CONFLIB_RENDER, CONFLIB_CAPTURE})
        served[d] = config.lists[d];
    store.clear();
    log.clear();
    callback = nullptr;
    random.seed(0);
}

int32_t Simulator::Apply(std::string_view scenario)
{
    Config next = config;
    std::vector<std::u16string> answered;
    std::istringstream in{std::string(scenario)};
    int32_t number = 0;
    for (std::string line; std::getline(in, line);)
    {
        ++number;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (!ParseLine(line, next, answered))
            return number;
    }
    config = next;
    for (const std::u16string &name : answered)
        std::erase_if(store, [&](const auto &entry) { return entry.first.name == name; });
    random.seed(config.seed);
    return 0;
}

ConfSimCall &Simulator::Begin(const char *entry, bool &injected)
{
    ConfSimCall &call = log.emplace_back();
    std::memset(&call, 0, sizeof call);
    std::strncpy(call.entry, entry, sizeof call.entry - 1);
    call.direction = -1;
    injected = config.failCallIn > 0 && --config.failCallIn == 0;
    if (injected)
        call.result = config.failCallResult;
    return call;
}

void Simulator::WriteAnswer(const std::string &text, void *buffer)
{
    constexpr size_t units = CONFLIB_BUFFER_BYTES / sizeof(char16_t);
    std::u16string answer = Widen(text);
    switch (config.answerMode)
    {
    case AnswerMode::Normal:
        break;
    case AnswerMode::NonNumeric:
        answer = u"n/a";
        break;
    case AnswerMode::Unterminated:
        answer.resize(units, u'A');
        break;
    case AnswerMode::Random:
        answer.resize(random() % (units + 1));
        for (char16_t &unit : answer)
            unit = char16_t(random() % 4 == 0 ? u'0' + random() % 10 : random());
        break;
    }
    answer.resize(std::min(answer.size(), units));
    if (answer.size() < units)
        answer.push_back(0);
    std::memcpy(buffer, answer.data(), answer.size() * sizeof(char16_t));
}

Simulator &Instance()
{
    static Simulator simulator;
    return simulator;
}

void FireEvents(ConfLibEventCallback callback, const std::vector<std::array<uint32_t, 4>> &events)
{
    for (const auto &e : events)
        std::thread([&] { callback(int32_t(e[0]), int32_t(e[1]), int32_t(e[2]), e[3]); }).join();
}

namespace
{

// A program names its scenario file in the environment; a file that cannot be read, is over 1 MiB
// or does not parse leaves the defaults, with a line on standard error.
struct ScenarioAtLoad
{
    ScenarioAtLoad()
    {
        const char *path = std::getenv("OSCONF_SIM_SCENARIO");
        if (!path || !*path)
            return;
        std::ifstream file(path, std::ios::binary | std::ios::ate);
        if (!file)
        {
            std::fprintf(stderr, "osConfLib: scenario %s cannot be read; defaults apply\n", path);
            return;
        }
        // A scenario is a few dozen lines; a larger file is a mistake, and read whole it would stall
        // the program that loads the library.
        constexpr std::streamoff kMaxScenarioBytes = 1 << 20;
        if (file.tellg() > kMaxScenarioBytes)
        {
            std::fprintf(stderr, "osConfLib: scenario %s is over the limit of %lld bytes; defaults apply\n",
                         path, static_cast<long long>(kMaxScenarioBytes));
            return;
        }
        file.seekg(0);
        std::stringstream text;
        text << file.rdbuf();
        Simulator &sim = Instance();
        std::lock_guard guard(sim.lock);
        if (const int32_t line = sim.Apply(text.str()))
            std::fprintf(stderr, "osConfLib: scenario %s, line %d does not parse; defaults apply\n", path,
                         int(line));
    }
} scenarioAtLoad;

} // namespace
} // namespace conflib_sim

using conflib_sim::Instance;

CONFLIB_EXPORT void osConfSim_Reset()
{
    std::lock_guard guard(Instance().lock);
    Instance().Reset();
}

CONFLIB_EXPORT int32_t osConfSim_Apply(const char *scenario)
{
    conflib_sim::Simulator &sim = Instance();
    ConfLibEventCallback callback = nullptr;
    std::vector<std::array<uint32_t, 4>> events;
    {
        std::lock_guard guard(sim.lock);
        if (const int32_t bad = sim.Apply(scenario ? scenario : ""))
            return bad;
        if ((callback = sim.callback))
            events.swap(sim.config.pendingEvents);
    }
    if (callback)
        conflib_sim::FireEvents(callback, events);
    return 0;
}

CONFLIB_EXPORT uint32_t osConfSim_CallCount()
{
    std::lock_guard guard(Instance().lock);
    return uint32_t(Instance().log.size());
}

CONFLIB_EXPORT int32_t osConfSim_GetCall(uint32_t index, ConfSimCall *call)
{
    std::lock_guard guard(Instance().lock);
    if (!call || index >= Instance().log.size())
        return -1;
    *call = Instance().log[index];
    return 0;
}

CONFLIB_EXPORT void osConfSim_ResetLog()
{
    std::lock_guard guard(Instance().lock);
    Instance().log.clear();
}
