// The library's entry points over the simulated headset. Variants of the library leave some out
// (CONFSIM_WITHOUT_INIT, CONFSIM_WITHOUT_LIST, CONFSIM_WITHOUT_PROPERTY), so a program can be shown
// missing entries.
#include "conflib_export.h"
#include "conflib_sim.h"

#include <charconv>
#include <cstring>

using conflib_sim::Instance;
using conflib_sim::Simulator;

namespace
{

using Guard = std::lock_guard<std::mutex>;

// The I/O-port entries only record their arguments.
void RecordPort(const char *entry, std::initializer_list<uint32_t> args = {})
{
    Simulator &sim = Instance();
    Guard guard(sim.lock);
    bool injected = false;
    ConfSimCall &call = sim.Begin(entry, injected);
    std::copy(args.begin(), args.end(), call.args);
}

// An entry whose whole effect is its result: the scenario's setting, or 0 when there is none.
int32_t ResultOnly(const char *entry, int32_t conflib_sim::Config::*setting)
{
    Simulator &sim = Instance();
    Guard guard(sim.lock);
    bool injected = false;
    ConfSimCall &call = sim.Begin(entry, injected);
    if (!injected)
        call.result = setting ? sim.config.*setting : 0;
    return call.result;
}

bool EndsWith(const std::u16string &text, std::u16string_view tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The value a set stores, as the text a later get answers: floats in their shortest form.
[[maybe_unused]] std::string StoredText(const std::u16string &name, uint32_t bits)
{
    char text[32];
    std::to_chars_result end;
    if (EndsWith(name, u"VolumeScalarControl"))
    {
        float value;
        std::memcpy(&value, &bits, sizeof value);
        end = std::to_chars(text, text + sizeof text, value);
    }
    else
        end = std::to_chars(text, text + sizeof text, int32_t(bits));
    return std::string(text, end.ptr);
}

[[maybe_unused]] const int32_t *FailureFor(const std::map<std::u16string, int32_t> &failures,
                                           const std::u16string &name)
{
    auto it = failures.find(name);
    if (it == failures.end())
        it = failures.find(u"*");
    return it == failures.end() ? nullptr : &it->second;
}

constexpr int32_t kUnknownProperty = 1;
constexpr int32_t kBadArgument = 2;

} // namespace

CONFLIB_EXPORT void CONFLIB_CALL RGBI2CMode(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    RecordPort("RGBI2CMode", {a, b, c, d});
}
CONFLIB_EXPORT void CONFLIB_CALL InitializeSMB()
{
    RecordPort("InitializeSMB");
}
CONFLIB_EXPORT void CONFLIB_CALL ShutdownSMB()
{
    RecordPort("ShutdownSMB");
}
CONFLIB_EXPORT void CONFLIB_CALL SetPattern(uint32_t a, uint32_t b)
{
    RecordPort("SetPattern", {a, b});
}
CONFLIB_EXPORT void CONFLIB_CALL SetRGB(uint32_t a, uint32_t b, uint32_t c, uint32_t d)
{
    RecordPort("SetRGB", {a, b, c, d});
}
CONFLIB_EXPORT void CONFLIB_CALL OnTimerApp()
{
    RecordPort("OnTimerApp");
}
CONFLIB_EXPORT void CONFLIB_CALL CheckSPD()
{
    RecordPort("CheckSPD");
}
CONFLIB_EXPORT void CONFLIB_CALL SaveToMCU()
{
    RecordPort("SaveToMCU");
}
CONFLIB_EXPORT void CONFLIB_CALL ShowAsioPanel()
{
    RecordPort("ShowAsioPanel");
}
CONFLIB_EXPORT void CONFLIB_CALL PlayTestSound()
{
    RecordPort("PlayTestSound");
}
CONFLIB_EXPORT void CONFLIB_CALL StopTestSound()
{
    RecordPort("StopTestSound");
}
CONFLIB_EXPORT void CONFLIB_CALL CloseTestSound()
{
    RecordPort("CloseTestSound");
}

#ifndef CONFSIM_WITHOUT_INIT
// Can be called again at any time: the library simply stays initialised.
CONFLIB_EXPORT int32_t CONFLIB_CALL ConfLibInit()
{
    return ResultOnly("ConfLibInit", &conflib_sim::Config::initResult);
}
#endif

CONFLIB_EXPORT int32_t CONFLIB_CALL ConfLibUnInit()
{
    return ResultOnly("ConfLibUnInit", nullptr);
}

#ifndef CONFSIM_WITHOUT_LIST
CONFLIB_EXPORT int32_t CONFLIB_CALL CreateDeviceList()
{
    Simulator &sim = Instance();
    Guard guard(sim.lock);
    bool injected = false;
    ConfSimCall &call = sim.Begin("CreateDeviceList", injected);
    if (injected)
        return call.result;
    call.result = sim.config.createListResult;
    if (call.result == 0)
        for (uint32_t d : {CONFLIB_RENDER, CONFLIB_CAPTURE})
            sim.served[d] = sim.config.lists[d];
    return call.result;
}

CONFLIB_EXPORT int32_t CONFLIB_CALL GetDeviceCount(uint32_t direction, uint32_t *count)
{
    Simulator &sim = Instance();
    Guard guard(sim.lock);
    bool injected = false;
    ConfSimCall &call = sim.Begin("GetDeviceCount", injected);
    call.args[0] = direction;
    call.direction = int32_t(direction);
    if (injected)
        return call.result;
    if (direction > CONFLIB_CAPTURE || !count)
        return call.result = kBadArgument;
    const conflib_sim::CountSetting &setting = sim.config.counts[direction];
    if (setting.kind == conflib_sim::CountSetting::List)
        *count = uint32_t(sim.served[direction].size());
    else if (setting.kind == conflib_sim::CountSetting::Fixed)
        *count = setting.count;
    return call.result = 0;
}
#endif

CONFLIB_EXPORT int32_t CONFLIB_CALL GetDeviceById(uint32_t direction, uint32_t index, DevInfo *device)
{
    Simulator &sim = Instance();
    Guard guard(sim.lock);
    bool injected = false;
    ConfSimCall &call = sim.Begin("GetDeviceById", injected);
    call.args[0] = direction;
    call.args[1] = index;
    call.direction = int32_t(direction);
    if (injected)
        return call.result;
    if (direction > CONFLIB_CAPTURE || !device)
        return call.result = kBadArgument;
    if (const auto it = sim.config.lookupResults.find({direction, index});
        it != sim.config.lookupResults.end())
        return call.result = it->second;
    if (index >= sim.served[direction].size())
        return call.result = kUnknownProperty;
    *device = sim.served[direction][index];
    return call.result = 0;
}

CONFLIB_EXPORT void CONFLIB_CALL RegisterCallbackFunction(ConfLibEventCallback callback)
{
    Simulator &sim = Instance();
    std::vector<std::array<uint32_t, 4>> events;
    {
        Guard guard(sim.lock);
        bool injected = false;
        sim.Begin("RegisterCallbackFunction", injected);
        if (injected)
            return;
        sim.callback = callback;
        if (callback)
            events.swap(sim.config.pendingEvents);
    }
    if (callback)
        conflib_sim::FireEvents(callback, events);
}

#ifndef CONFSIM_WITHOUT_PROPERTY
CONFLIB_EXPORT int32_t CONFLIB_CALL PropertyControl(DevInfo device, const char16_t *name, void **value,
                                                    void **param, uint8_t direction)
{
    Simulator &sim = Instance();
    Guard guard(sim.lock);
    bool injected = false;
    ConfSimCall &call = sim.Begin("PropertyControl", injected);
    call.handle = device.Handle;
    call.direction = direction;
    if (value)
        call.valueAddress = uint64_t(reinterpret_cast<uintptr_t>(*value));
    std::u16string key;
    if (name)
        for (size_t i = 0; i <= CONFLIB_MAX_NAME && name[i]; ++i)
            key.push_back(name[i]);
    std::memcpy(call.name, key.data(), std::min(key.size(), CONFLIB_MAX_NAME) * sizeof(char16_t));
    if (param && *param)
    {
        call.hasParam = 1;
        std::memcpy(call.param, *param, sizeof call.param);
    }
    if (injected)
        return call.result;
    if (!name || key.empty() || key.size() > CONFLIB_MAX_NAME || !value || !*value || (param && !*param) ||
        direction > CONFLIB_SET)
        return call.result = kBadArgument;

    const conflib_sim::PropertyKey where{device.Handle, key, {call.param[0], call.param[1], call.param[2]}};
    if (direction == CONFLIB_SET)
    {
        std::memcpy(&call.value, *value, sizeof call.value);
        call.hasValue = 1;
        if (const int32_t *failure = FailureFor(sim.config.failSet, key))
            return call.result = *failure;
        sim.store[where] = StoredText(key, call.value);
        return call.result = 0;
    }
    if (const int32_t *failure = FailureFor(sim.config.failGet, key))
        return call.result = *failure;
    const std::string *text = nullptr;
    if (const auto stored = sim.store.find(where); stored != sim.store.end())
        text = &stored->second;
    else if (const auto answer = sim.config.answers.find(key); answer != sim.config.answers.end())
        text = &answer->second;
    if (!text)
        return call.result = kUnknownProperty;
    sim.WriteAnswer(*text, *value);
    return call.result = 0;
}
#endif
