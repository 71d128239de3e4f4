// Every kernel-facing test derives from KernelTest: a fresh clock, pool, log, registry and sandbox
// per test, and a failure at the end for leaks, misuse reports and threads left running.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include <ntkernel.h>
#include <sim/kernel_sim.h>

// Fails, in turn, each allocation that `operation` makes (a first run, which must succeed, counts
// them). `settle(status)` runs after every call: it checks the outcome and gives back what the call
// kept. Then no more pool blocks may be outstanding than after the first run was settled.
template <class Operation, class Settle> void FailEachAllocation(Operation operation, Settle settle)
{
    const size_t before = sim::Allocations();
    const NTSTATUS first = operation();
    ASSERT_TRUE(NT_SUCCESS(first)) << std::hex << first;
    const size_t needed = sim::Allocations() - before;
    settle(first);
    const size_t live = sim::pool::OutstandingBlocks();
    for (unsigned k = 1; k <= needed; ++k)
    {
        SCOPED_TRACE(k);
        sim::FailAllocation(k);
        const NTSTATUS status = operation();
        sim::FailAllocation(0);
        settle(status);
        EXPECT_EQ(sim::pool::OutstandingBlocks(), live) << sim::pool::LeakReport();
    }
}

class KernelTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Misuse reports so far that no ExpectViolation consumed.
    const std::vector<std::string> &Violations() const { return m_violations; }
    // The next report containing `text` is expected: it is consumed instead of failing the test.
    // An expectation still unmet at the end of the test fails it.
    void ExpectViolation(const std::string &text) { m_expected.push_back(text); }
    // True when an expected report arrived (and consumes the expectation record).
    bool SawExpectedViolation(const std::string &text);

    // The same as a scope: { auto v = ScopedExpectViolation("a wait at DISPATCH_LEVEL"); ... }
    // fails the test at the end of the scope unless such a report came inside it.
    class ViolationScope
    {
    public:
        ViolationScope(KernelTest &test, std::string text) : m_test(test), m_text(std::move(text))
        {
            m_test.ExpectViolation(m_text);
        }
        ~ViolationScope();
        ViolationScope(const ViolationScope &) = delete;
        ViolationScope &operator=(const ViolationScope &) = delete;

    private:
        KernelTest &m_test;
        std::string m_text;
    };
    [[nodiscard]] ViolationScope ScopedExpectViolation(const std::string &text) { return {*this, text}; }

    std::string EndOfTestReport() { return sim::CheckAll(); }

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
