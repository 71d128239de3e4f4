// Test and host face of the kernel stand-in: clock, pool accounting and failure injection, misuse
// reports, captured debug output, and the per-test reset of every platform component.
// Only tests and the host program include this; the driver never does.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nt_object.h>

namespace sim
{

// ---- Components: one reset and one end-of-test check per stand-in ---------------------------------
// reset runs at ResetAll (start of a test); check returns "" or a description of what was left over.
// Components register once, typically from a static initialiser in their own source file.
void RegisterComponent(const char *name, void (*reset)(), std::string (*endOfTestCheck)());
// Stops the DPC and worker threads, then gives every part a fresh start: virtual clock at 0, no
// timers, handles, callback objects, injections or log; the pool's accounting starts from zero.
// Call from the test thread, which becomes a counted thread of the virtual clock.
void ResetAll();
// Everything a test left behind, one line per finding ("" when clean): running system threads,
// timers still set, queued work, timer-resolution holds, components' own checks, callback objects
// never freed, open handles, locks still held by the caller, pool blocks not freed (tags, sizes).
std::string EndOfTestChecks();
inline std::string CheckAll()
{
    return EndOfTestChecks();
}

// ---- Misuse reports ------------------------------------------------------------------------------
// The handler decides what a violation does: the default prints it and aborts; the test fixture
// records it and fails the test.
using ViolationHandler = std::function<void(const std::string &message)>;
void SetViolationHandler(ViolationHandler handler);
void ReportViolation(const std::string &message);
void AssertPassiveLevel(const char *what);

// ---- Handles -------------------------------------------------------------------------------------
// One handle table for every kind of kernel handle, so ZwClose closes them all. close runs once, at
// ZwClose, outside the table's lock; its status is ZwClose's. An unknown handle gives
// STATUS_INVALID_HANDLE. LookupHandle returns null for an unknown handle or one of another kind.
enum class HandleKind
{
    Key,
    File,
    Thread,
    Other
};
HANDLE InsertHandle(HandleKind kind, void *object, NTSTATUS (*close)(void *));
void *LookupHandle(HANDLE h, HandleKind kind);
size_t HandleCount(HandleKind kind);

// ---- Pool ----------------------------------------------------------------------------------------
// To fail each allocation of an operation in turn: run it once and read Allocations(); then for
// k = 1..n: ResetAll (or free everything), FailAllocation(k), run it again, check the failure path.
void FailAllocation(unsigned n); // the n-th allocation from now (1 = the next) returns null; 0 cancels
size_t Allocations();            // allocations made since the last reset (including failed ones)
size_t Outstanding();            // blocks not yet freed
namespace pool
{
inline void FailNthAllocation(unsigned n)
{
    sim::FailAllocation(n);
}
inline size_t AllocationCount()
{
    return sim::Allocations();
}
inline size_t OutstandingBlocks()
{
    return sim::Outstanding();
}
void FailTag(ULONG tag, bool fail = true); // every allocation with this tag returns null
void ClearInjection();
size_t InjectedFailures(); // allocations that returned null on purpose since the last reset
size_t OutstandingBytes(ULONG tag);
size_t OutstandingBlocks(ULONG tag);
std::string LeakReport(); // "" when every block was freed
} // namespace pool

// ---- Clock ---------------------------------------------------------------------------------------
// One clock for waits, delays, timers, system time and the bus's frame numbers.
// Virtual mode (tests): time moves only by Advance or when every counted thread (the test thread,
// system threads, the DPC and worker threads, HostThreads) is blocked and some wait or timer has a
// deadline, which is then reached at once. Real mode (host program): wall-clock time.
// Host threads made with std::thread are not counted: if one of them waits with a timeout while the
// test thread waits for it outside the kernel (join), nothing moves the clock; use HostThread.
enum class ClockMode
{
    Virtual,
    Real
};
void SetClockMode(ClockMode mode);
LONGLONG Now();               // 100 ns units since boot (the interrupt time)
ULONG FrameNumber();          // 1 ms bus frames since boot, wrapping at 2^32
void Advance(LONGLONG ticks); // virtual mode: steps from deadline to deadline up to Now() + ticks,
                              // firing timers and letting every thread settle at each one
void AdvanceMs(LONGLONG ms);
void RunUntilIdle();          // waits until every other counted thread is blocked and no DPC or
                              // work item is queued; the clock does not move
ULONG TimerResolutionHolds(); // ExSetTimerResolution sets minus releases
// Virtual mode: times a blocked thread woke and found its wait still unsatisfied, since the last
// reset. A wake-up goes only to the waits that what changed satisfies, so this stays 0 unless two
// waiters raced for one object that satisfies only one of them.
size_t FruitlessWakeups();

// A host thread that the virtual clock counts, for a test that plays a second caller (another
// process, a second client). Its body may block in kernel waits; Join waits for it through the
// scheduler, so the clock moves while both wait. The destructor joins.
class HostThread
{
public:
    explicit HostThread(std::function<void()> body);
    ~HostThread();
    HostThread(const HostThread &) = delete;
    HostThread &operator=(const HostThread &) = delete;
    void Join();
    bool Done() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

// ---- Threads -------------------------------------------------------------------------------------
size_t RunningThreads();                   // system threads created and not yet ended
void InjectThreadCreateFailure(bool fail); // while set, PsCreateSystemThread fails (insufficient resources)
KPRIORITY ThreadPriority(PVOID threadObject); // the last KeSetPriorityThread value (8 when never set)

// ---- Debug output --------------------------------------------------------------------------------
// DbgPrint text split into lines, each with its newline; text not yet ended by one is the last entry.
// ZELKO_DBGPRINT=1 in the environment also echoes it to stderr.
std::vector<std::string> DebugLog();
void ClearDebugLog();
bool DebugLogContains(const std::string &text); // some line contains text
size_t DebugLogCount(const std::string &text);  // lines containing text

// ---- Floating point, versions --------------------------------------------------------------------
void FailFloatingPointSave(unsigned n); // the n-th save from now fails (1 = the next, 0 = none)
size_t FloatingPointSaves();            // saves attempted since the last reset
void SetNtDdiVersion(ULONG version);    // what RtlIsNtDdiVersionAvailable answers to (default Windows 7)
// Called on the calling thread with the routine's name at every spin-lock acquisition and release
// (after taking, before letting go), after a successful KeSaveFloatingPointState and on entry to
// KeRestoreFloatingPointState, so a test can check their order against other state such as MXCSR.
// Null for none (the default; a reset clears it).
using KernelProbe = void (*)(const char *routine);
void SetKernelProbe(KernelProbe probe);

// ---- Named objects -------------------------------------------------------------------------------
// Callback objects still in the namespace (a permanent object stays until ObMakeTemporaryObject and
// its last dereference), by upper-cased name.
std::vector<std::string> LiveNamedObjects();

} // namespace sim
