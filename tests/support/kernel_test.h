// Every kernel-facing test derives from KernelTest: a fresh clock, pool, log, registry and sandbox
// per test, and a failure at the end for leaks, misuse reports and threads left running.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <ntkernel.h>
#include <sim/kernel_sim.h>

class KernelTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Misuse reports so far that no ExpectViolation consumed.
    const std::vector<std::string> &Violations() const { return m_violations; }
    // The next report containing `text` is expected: it is consumed instead of failing the test.
    void ExpectViolation(const std::string &text) { m_expected.push_back(text); }
    // True when an expected report arrived (and consumes the expectation record).
    bool SawExpectedViolation(const std::string &text);
    std::string EndOfTestReport() { return sim::EndOfTestChecks(); }

    // Runs body at DISPATCH_LEVEL, as a DPC or a spin-lock holder would.
    template <typename F> void AtDispatch(F &&body)
    {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        body();
        KeLowerIrql(old);
    }

    std::filesystem::path dir; // the sandbox that stands for "\SystemRoot\"

private:
    std::vector<std::string> m_violations, m_expected, m_seen;
};
