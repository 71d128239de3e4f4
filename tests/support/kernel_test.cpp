#include "support/kernel_test.h"
#include "support/test_dir.h"

#include "dsp/dispatch/dispatch.h"

#include <mutex>
#include <unistd.h>

#if __has_include(<sim/files_sim.h>)
#include <sim/files_sim.h>
#define ZELKO_HAVE_FILES 1
#endif

namespace
{
std::mutex g_violationLock;
}

void KernelTest::SetUp()
{
    sim::SetViolationHandler(
        [this](const std::string &m)
        {
            std::lock_guard<std::mutex> g(g_violationLock);
            for (size_t i = 0; i < m_expected.size(); ++i)
                if (m.find(m_expected[i]) != std::string::npos)
                {
                    m_seen.push_back(m_expected[i]);
                    m_expected.erase(m_expected.begin() + long(i));
                    return;
                }
            m_violations.push_back(m);
            ADD_FAILURE() << "kernel misuse: " << m;
        });
    sim::ResetAll();
    dir = freshTestDirectory();
#ifdef ZELKO_HAVE_FILES
    sim::files::SetSystemRoot(dir);
#endif
}

bool KernelTest::SawExpectedViolation(const std::string &text)
{
    std::lock_guard<std::mutex> g(g_violationLock);
    for (size_t i = 0; i < m_seen.size(); ++i)
        if (m_seen[i] == text)
        {
            m_seen.erase(m_seen.begin() + long(i));
            return true;
        }
    return false;
}

KernelTest::ViolationScope::~ViolationScope()
{
    if (m_test.SawExpectedViolation(m_text))
        return;
    {
        std::lock_guard<std::mutex> g(g_violationLock);
        auto &e = m_test.m_expected;
        for (size_t i = 0; i < e.size(); ++i)
            if (e[i] == m_text)
            {
                e.erase(e.begin() + long(i)); // reported here, not again at the end of the test
                break;
            }
    }
    ADD_FAILURE() << "no kernel misuse report containing \"" << m_text << "\" in this scope";
}

void KernelTest::TearDown()
{
    sim::RunUntilIdle();
    std::string report = sim::CheckAll();
    EXPECT_EQ(report, "") << "the test left kernel state behind";
    {
        std::lock_guard<std::mutex> g(g_violationLock);
        for (auto &e : m_expected)
            ADD_FAILURE() << "expected kernel misuse report did not come: " << e;
    }
    sim::ResetAll();
    sim::SetViolationHandler(nullptr);
    // A test that loaded the driver selected a fast variant; the next one starts generic again.
    dsp::CpuVariantIndex.store(0);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
}
