// The configuration library stand-in as tests drive it: loaded at run time from the path the build
// gives, like the panel loads it, and controlled through its osConfSim_ exports.
#pragma once

#include <sim/conflib_sim.h>

#include <QLibrary>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

class ConfLibSimClient
{
public:
    explicit ConfLibSimClient(const char *path) : m_Library(QString::fromUtf8(path))
    {
        if (!m_Library.load())
            ADD_FAILURE() << "cannot load " << path << ": " << m_Library.errorString().toStdString();
        m_Reset = reinterpret_cast<osConfSim_ResetProc>(m_Library.resolve("osConfSim_Reset"));
        m_Apply = reinterpret_cast<osConfSim_ApplyProc>(m_Library.resolve("osConfSim_Apply"));
        m_CallCount = reinterpret_cast<osConfSim_CallCountProc>(m_Library.resolve("osConfSim_CallCount"));
        m_GetCall = reinterpret_cast<osConfSim_GetCallProc>(m_Library.resolve("osConfSim_GetCall"));
        m_ResetLog = reinterpret_cast<osConfSim_ResetLogProc>(m_Library.resolve("osConfSim_ResetLog"));
        if (!m_Reset || !m_Apply || !m_CallCount || !m_GetCall || !m_ResetLog)
            ADD_FAILURE() << "the stand-in's test exports are missing";
    }

    void Reset() { m_Reset(); }
    // Applies scenario text; a line that does not parse fails the test.
    void Apply(const std::string &scenario) { EXPECT_EQ(m_Apply(scenario.c_str()), 0) << scenario; }
    int32_t TryApply(const std::string &scenario) { return m_Apply(scenario.c_str()); }
    void ResetLog() { m_ResetLog(); }

    std::vector<ConfSimCall> Calls() const
    {
        std::vector<ConfSimCall> calls(m_CallCount());
        for (uint32_t i = 0; i < calls.size(); ++i)
            m_GetCall(i, &calls[i]);
        return calls;
    }
    // The calls of one entry point, in order.
    std::vector<ConfSimCall> Calls(const std::string &entry) const
    {
        std::vector<ConfSimCall> matching;
        for (const ConfSimCall &call : Calls())
            if (entry == call.entry)
                matching.push_back(call);
        return matching;
    }

private:
    QLibrary m_Library;
    osConfSim_ResetProc m_Reset = nullptr;
    osConfSim_ApplyProc m_Apply = nullptr;
    osConfSim_CallCountProc m_CallCount = nullptr;
    osConfSim_GetCallProc m_GetCall = nullptr;
    osConfSim_ResetLogProc m_ResetLog = nullptr;
};

// A logged property name as ASCII, for assertions.
inline std::string PropertyName(const ConfSimCall &call)
{
    std::string name;
    for (const char16_t *unit = call.name; *unit; ++unit)
        name.push_back(char(*unit));
    return name;
}
