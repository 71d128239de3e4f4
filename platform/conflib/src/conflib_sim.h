// The simulated headset behind the configuration library stand-in: its endpoint lists, property
// store, injected failures and call log. One instance per loaded library; every entry point locks it.
#pragma once

#include <osconflib.h>
#include <sim/conflib_sim.h>

#include <array>
#include <compare>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace conflib_sim
{

enum class AnswerMode
{
    Normal,
    Unterminated,
    NonNumeric,
    Random
};

struct CountSetting
{
    enum Kind
    {
        List,   // the size of the served list
        Silent, // nothing is written
        Fixed
    } kind = List;
    uint32_t count = 0;
};

// Everything a scenario sets; Apply edits a copy and commits it only when every line parsed.
struct Config
{
    std::vector<DevInfo> lists[2];
    CountSetting counts[2];
    std::map<std::u16string, std::string> answers; // by name: the text a get answers
    std::map<std::u16string, int32_t> failGet;     // by name, u"*" for every name: the result
    std::map<std::u16string, int32_t> failSet;
    uint32_t failCallIn = 0; // counts down per entry-point call; the call that reaches 0 fails
    int32_t failCallResult = 1;
    int32_t initResult = 0;
    int32_t createListResult = 0;
    std::map<std::pair<uint32_t, uint32_t>, int32_t> lookupResults; // (direction, index)
    AnswerMode answerMode = AnswerMode::Normal;
    uint32_t seed = 0;
    std::vector<std::array<uint32_t, 4>> pendingEvents;

    Config();
};

struct PropertyKey
{
    uint32_t handle;
    std::u16string name;
    std::array<int32_t, 3> param;
    auto operator<=>(const PropertyKey &) const = default;
};

struct Simulator
{
    std::mutex lock;
    Config config;
    std::vector<DevInfo> served[2]; // the lists as of the last successful CreateDeviceList
    std::map<PropertyKey, std::string> store;
    std::vector<ConfSimCall> log;
    ConfLibEventCallback callback = nullptr;
    std::mt19937 random;

    Simulator() { Reset(); }
    void Reset();
    // 0, or the 1-based number of the first line that does not parse (then nothing changes).
    int32_t Apply(std::string_view scenario);
    // Logs the call and tells whether the injected "fail call" hits it.
    ConfSimCall &Begin(const char *entry, bool &injected);
    // Writes the answer for a get into the value buffer (at most CONFLIB_BUFFER_BYTES).
    void WriteAnswer(const std::string &text, void *buffer);
};

Simulator &Instance();
// Runs each event on a thread of the library's own and waits for it; call without the lock held.
void FireEvents(ConfLibEventCallback callback, const std::vector<std::array<uint32_t, 4>> &events);

} // namespace conflib_sim
