// Test and host face of the kernel stand-in: clock, pool accounting and failure injection, misuse
// reports, captured debug output, and the per-test reset of every platform component.
// Only tests and the host program include this; the driver never does.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <nt_object.h>

namespace sim {

// ---- Components: one reset and one end-of-test check per stand-in ---------------------------------
// reset runs at ResetAll (start of a test); check returns "" or a description of what was left over.
void RegisterComponent(const char *name, void (*reset)(), std::string (*endOfTestCheck)());
void ResetAll();
std::string EndOfTestChecks();

// ---- Misuse reports ------------------------------------------------------------------------------
// The handler decides what a violation does: the default prints it and aborts; the test fixture
// records it and fails the test.
using ViolationHandler = std::function<void(const std::string &message)>;
void SetViolationHandler(ViolationHandler handler);
void ReportViolation(const std::string &message);
void AssertPassiveLevel(const char *what);

// ---- Handles -------------------------------------------------------------------------------------
enum class HandleKind { Key, File, Thread, Other };
HANDLE InsertHandle(HandleKind kind, void *object, NTSTATUS (*close)(void *));
void *LookupHandle(HANDLE h, HandleKind kind);
size_t HandleCount(HandleKind kind);

// ---- Pool ----------------------------------------------------------------------------------------
void FailAllocation(unsigned n); // the n-th allocation from now (1 = the next) returns null
size_t Allocations();            // allocations made since the last reset (including failed ones)
size_t Outstanding();            // blocks not yet freed
namespace pool {
inline void FailNthAllocation(unsigned n) { sim::FailAllocation(n); }
inline size_t AllocationCount() { return sim::Allocations(); }
inline size_t OutstandingBlocks() { return sim::Outstanding(); }
void FailTag(ULONG tag, bool fail = true); // every allocation with this tag returns null
void ClearInjection();
size_t OutstandingBytes(ULONG tag);
size_t OutstandingBlocks(ULONG tag);
std::string LeakReport(); // "" when every block was freed
} // namespace pool

// ---- Clock ---------------------------------------------------------------------------------------
// Virtual mode (tests): time moves only by Advance or when every kernel thread is blocked and some
// wait or timer has a deadline, which is then reached at once. Real mode (host): wall-clock time.
enum class ClockMode { Virtual, Real };
void SetClockMode(ClockMode mode);
LONGLONG Now();                 // 100 ns units since boot (the interrupt time)
void Advance(LONGLONG ticks);   // fires due timers in order, then waits until the system is idle
void AdvanceMs(LONGLONG ms);
void RunUntilIdle();            // waits until every kernel thread is blocked and no DPC or work item is due
ULONG TimerResolutionHolds();   // ExSetTimerResolution sets minus releases

// ---- Threads -------------------------------------------------------------------------------------
size_t RunningThreads(); // system threads created and not yet ended
void InjectThreadCreateFailure(bool fail);
KPRIORITY ThreadPriority(PVOID threadObject);

// ---- Debug output --------------------------------------------------------------------------------
std::vector<std::string> DebugLog();
void ClearDebugLog();
bool DebugLogContains(const std::string &text);
size_t DebugLogCount(const std::string &text);

// ---- Floating point, versions --------------------------------------------------------------------
void FailFloatingPointSave(unsigned n); // the n-th save from now fails (0 = none)
size_t FloatingPointSaves();
void SetNtDdiVersion(ULONG version);

// ---- Named objects -------------------------------------------------------------------------------
std::vector<std::string> LiveNamedObjects(); // callback objects still in the namespace

} // namespace sim
