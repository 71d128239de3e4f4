// Floating-point state save and restore (x87 control word and MXCSR), with injectable failure,
// and the system version the driver checks at load.
#include "kernel_internal.h"

#include <xmmintrin.h>

#include <atomic>

namespace
{
constexpr uint32_t kSaved = 0x53465055; // "UPFS"
std::mutex g_fpuLock;
sim::detail::NthFailure g_nth; // counts every save
ULONG g_version = NTDDI_WIN7;
std::atomic<sim::KernelProbe> g_probe{nullptr};
} // namespace

void sim::SetKernelProbe(KernelProbe probe)
{
    g_probe = probe;
}

void sim::detail::Probe(const char *routine)
{
    if (const KernelProbe probe = g_probe)
        probe(routine);
}

extern "C" NTSTATUS KeSaveFloatingPointState(PKFLOATING_SAVE save)
{
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        sim::ReportViolation("KeSaveFloatingPointState above DISPATCH_LEVEL");
    {
        std::lock_guard<std::mutex> g(g_fpuLock);
        if (g_nth.Next())
        {
            save->Magic = 0;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    uint16_t cw;
    __asm__ volatile("fnstcw %0" : "=m"(cw));
    save->ControlWord = cw;
    save->Mxcsr = _mm_getcsr();
    save->Magic = kSaved;
    sim::detail::Probe("KeSaveFloatingPointState");
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS KeRestoreFloatingPointState(PKFLOATING_SAVE save)
{
    sim::detail::Probe("KeRestoreFloatingPointState");
    if (save->Magic != kSaved)
    {
        sim::ReportViolation("KeRestoreFloatingPointState without a successful save");
        return STATUS_UNSUCCESSFUL;
    }
    uint16_t cw = uint16_t(save->ControlWord);
    __asm__ volatile("fldcw %0" : : "m"(cw));
    _mm_setcsr(save->Mxcsr);
    save->Magic = 0;
    return STATUS_SUCCESS;
}

void sim::FailFloatingPointSave(unsigned n)
{
    std::lock_guard<std::mutex> g(g_fpuLock);
    g_nth.Arm(n);
}

size_t sim::FloatingPointSaves()
{
    std::lock_guard<std::mutex> g(g_fpuLock);
    return g_nth.calls;
}

void sim::SetNtDdiVersion(ULONG version)
{
    std::lock_guard<std::mutex> g(g_fpuLock);
    g_version = version;
}

extern "C" BOOLEAN RtlIsNtDdiVersionAvailable(ULONG version)
{
    std::lock_guard<std::mutex> g(g_fpuLock);
    return version <= g_version;
}

void sim::detail::ResetFpu()
{
    std::lock_guard<std::mutex> g(g_fpuLock);
    g_nth = {};
    g_version = NTDDI_WIN7;
    g_probe = nullptr;
}
