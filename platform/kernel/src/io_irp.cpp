// IRPs: allocation from pool, the call and completion chains, cancellation, reuse and threaded
// device-control requests.
//
// Each IRP carries a small state record in the same pool block. States: Idle (allocated or reused),
// Outstanding (sent down, not completing), Completing (routines running), Owned (a routine returned
// STATUS_MORE_PROCESSING_REQUIRED), Done (completed to the top). The block is freed only when no
// IofCallDriver for it is still on a stack, so the post-call checks never touch freed memory.
#include "io_internal.h"
#include "kernel_internal.h"

#include <mutex>
#include <set>

#include <sim/io_sim.h>

namespace
{

constexpr uint32_t kIrpMagic = 0x20707249; // "Irp "
constexpr ULONG kIrpTag = MakePoolTag("Irp ");

enum class IrpState
{
    Idle,
    Outstanding,
    Completing,
    Owned,
    Done
};

struct IrpRecord
{
    uint32_t magic;
    IrpState state;
    int callDepth;       // IofCallDriver frames for this IRP still running
    unsigned generation; // completions started, to tell a re-sent IRP from a returned one
    bool freePending;    // IoFreeIrp came while a call frame was live
    bool threaded;       // built by IoBuildDeviceIoControlRequest
    bool buffered;       // threaded with a system buffer to copy back
    PVOID outputBuffer;
    ULONG outputLength;
};

std::mutex g_irpLock; // guards every IrpRecord and g_live; never held across a driver routine
std::set<PIRP> g_live;
KSPIN_LOCK g_cancelLock;

IrpRecord *Rec(PIRP irp)
{
    return static_cast<IrpRecord *>(irp->SimState);
}

// Valid when the IRP is live; reports a violation naming the caller otherwise. Lock held.
bool ValidLocked(PIRP irp, const char *caller)
{
    if (irp == nullptr || g_live.count(irp) == 0 || Rec(irp)->magic != kIrpMagic)
    {
        sim::ReportViolation(std::string(caller) + ": not a live IRP");
        return false;
    }
    return true;
}

PIO_STACK_LOCATION FirstLocation(PIRP irp)
{
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 1;
}

void ResetStack(PIRP irp)
{
    PIO_STACK_LOCATION stack = FirstLocation(irp);
    memset(stack - 1, 0, size_t(irp->StackCount + 1) * sizeof(IO_STACK_LOCATION));
    irp->CurrentLocation = CHAR(irp->StackCount + 1);
    irp->Tail.Overlay.CurrentStackLocation = stack + irp->StackCount;
}

void ReallyFree(PIRP irp) // lock held
{
    g_live.erase(irp);
    IrpRecord *r = Rec(irp);
    if (r->buffered && irp->AssociatedIrp.SystemBuffer)
        ExFreePool(irp->AssociatedIrp.SystemBuffer);
    r->magic = 0;
    ExFreePool(irp);
}

// Threaded completion: status block, output copy, event, free.
void FinishThreaded(PIRP irp)
{
    IrpRecord *r = Rec(irp);
    if (r->buffered && r->outputBuffer && NT_SUCCESS(irp->IoStatus.Status))
    {
        size_t n = irp->IoStatus.Information < r->outputLength ? irp->IoStatus.Information : r->outputLength;
        memcpy(r->outputBuffer, irp->AssociatedIrp.SystemBuffer, n);
    }
    if (irp->UserIosb)
        *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    {
        std::lock_guard<std::mutex> g(g_irpLock);
        r->state = IrpState::Done;
        if (r->callDepth > 0)
            r->freePending = true;
        else
            ReallyFree(irp);
    }
    if (event)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

} // namespace

namespace sim::io::detail
{

void ResetIrps()
{
    std::lock_guard<std::mutex> g(g_irpLock);
    g_live.clear(); // the pool reset reclaims what a failed test left
    KeInitializeSpinLock(&g_cancelLock);
}

std::string IrpCheck()
{
    std::lock_guard<std::mutex> g(g_irpLock);
    if (g_live.empty())
        return "";
    size_t outstanding = 0;
    for (PIRP irp : g_live)
        if (Rec(irp)->state == IrpState::Outstanding)
            ++outstanding;
    return std::to_string(g_live.size()) + " IRP(s) not freed, " + std::to_string(outstanding) +
           " outstanding";
}

} // namespace sim::io::detail

size_t sim::io::LiveIrps()
{
    std::lock_guard<std::mutex> g(g_irpLock);
    return g_live.size();
}

extern "C" PIRP IoAllocateIrp(CHAR stackSize, BOOLEAN)
{
    if (stackSize < 1)
    {
        sim::ReportViolation("IoAllocateIrp: stack size " + std::to_string(int(stackSize)));
        return nullptr;
    }
    // One spare location ahead of the stack absorbs the next-location write of a driver that runs
    // out of locations, so that misuse is reported by IoCallDriver rather than corrupting the pool.
    const size_t bytes = sizeof(IRP) + size_t(stackSize + 1) * sizeof(IO_STACK_LOCATION) + sizeof(IrpRecord);
    auto *irp = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, bytes, kIrpTag));
    if (irp == nullptr)
        return nullptr;
    memset(irp, 0, bytes);
    IoInitializeIrp(irp, USHORT(bytes), stackSize);
    std::lock_guard<std::mutex> g(g_irpLock);
    g_live.insert(irp);
    return irp;
}

extern "C" VOID IoInitializeIrp(PIRP irp, USHORT packetSize, CHAR stackSize)
{
    irp->Type = 6;
    irp->Size = packetSize;
    irp->StackCount = stackSize;
    auto *r = reinterpret_cast<IrpRecord *>(FirstLocation(irp) + stackSize);
    *r = IrpRecord{kIrpMagic, IrpState::Idle, 0, 0, false, false, false, nullptr, 0};
    irp->SimState = r;
    ResetStack(irp);
}

extern "C" VOID IoFreeIrp(PIRP irp)
{
    std::lock_guard<std::mutex> g(g_irpLock);
    if (!ValidLocked(irp, "IoFreeIrp"))
        return;
    IrpRecord *r = Rec(irp);
    if (r->state == IrpState::Outstanding)
    {
        sim::ReportViolation("IoFreeIrp: the IRP is outstanding");
        return;
    }
    if (r->freePending)
    {
        sim::ReportViolation("IoFreeIrp: the IRP was freed twice");
        return;
    }
    if (r->callDepth > 0)
        r->freePending = true; // the last call frame frees it
    else
        ReallyFree(irp);
}

extern "C" VOID IoReuseIrp(PIRP irp, NTSTATUS status)
{
    {
        std::lock_guard<std::mutex> g(g_irpLock);
        if (!ValidLocked(irp, "IoReuseIrp"))
            return;
        if (Rec(irp)->state == IrpState::Outstanding)
        {
            sim::ReportViolation("IoReuseIrp: the IRP is outstanding");
            return;
        }
        Rec(irp)->state = IrpState::Idle;
    }
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    irp->Cancel = FALSE;
    irp->CancelRoutine = nullptr;
    irp->PendingReturned = FALSE;
    irp->MdlAddress = nullptr;
    irp->AssociatedIrp.SystemBuffer = nullptr;
    irp->UserBuffer = nullptr;
    memset(&irp->Tail, 0, sizeof irp->Tail);
    ResetStack(irp);
}

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    unsigned generation;
    {
        std::lock_guard<std::mutex> g(g_irpLock);
        if (!ValidLocked(irp, "IoCallDriver"))
            return STATUS_INVALID_PARAMETER;
        IrpRecord *r = Rec(irp);
        if (r->state == IrpState::Done || r->freePending)
        {
            sim::ReportViolation("IoCallDriver: the IRP was already completed or freed");
            return STATUS_INVALID_PARAMETER;
        }
        if (deviceObject == nullptr || deviceObject->DriverObject == nullptr)
        {
            sim::ReportViolation("IoCallDriver: no device object or driver");
            return STATUS_INVALID_PARAMETER;
        }
        if (irp->CurrentLocation <= 1)
        {
            sim::ReportViolation("IoCallDriver: call past the last stack location (StackCount " +
                                 std::to_string(int(irp->StackCount)) + ")");
            return STATUS_INVALID_PARAMETER;
        }
        r->state = IrpState::Outstanding;
        ++r->callDepth;
        generation = r->generation;
    }
    IoSetNextIrpStackLocation(irp);
    PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
    loc->DeviceObject = deviceObject;
    PDRIVER_DISPATCH dispatch = deviceObject->DriverObject->MajorFunction[loc->MajorFunction];
    NTSTATUS status;
    if (dispatch == nullptr)
    {
        irp->IoStatus.Status = status = STATUS_INVALID_DEVICE_REQUEST;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    }
    else
    {
        status = dispatch(deviceObject, irp);
    }
    std::lock_guard<std::mutex> g(g_irpLock);
    IrpRecord *r = Rec(irp);
    // Once a completion has begun the location may already serve a re-sent request; check only before.
    // A driver that passed the IRP on gets its mark from its completion routine; the one holding it
    // must have marked it before returning.
    if (status == STATUS_PENDING && r->generation == generation && IoGetCurrentIrpStackLocation(irp) == loc &&
        !(loc->Control & SL_PENDING_RETURNED))
        sim::ReportViolation(
            "IoCallDriver: the dispatch routine returned STATUS_PENDING without IoMarkIrpPending");
    if (--r->callDepth == 0 && r->freePending)
        ReallyFree(irp);
    return status;
}

extern "C" VOID IofCompleteRequest(PIRP irp, CHAR)
{
    unsigned generation;
    {
        std::lock_guard<std::mutex> g(g_irpLock);
        if (!ValidLocked(irp, "IoCompleteRequest"))
            return;
        IrpRecord *r = Rec(irp);
        // A driver that claimed the IRP with STATUS_MORE_PROCESSING_REQUIRED may complete it again.
        const bool heldBelow = r->state == IrpState::Owned && irp->CurrentLocation <= irp->StackCount;
        if (r->state != IrpState::Outstanding && !heldBelow)
        {
            sim::ReportViolation("IoCompleteRequest: the IRP is not outstanding (completed twice?)");
            return;
        }
        if (irp->IoStatus.Status == STATUS_PENDING)
        {
            sim::ReportViolation("IoCompleteRequest: completed with STATUS_PENDING");
            return;
        }
        if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST) != nullptr) // IoCancelIrp may race
            sim::ReportViolation("IoCompleteRequest: completed with a cancel routine set");
        if (KeGetCurrentIrql() > DISPATCH_LEVEL)
            sim::ReportViolation("IoCompleteRequest above DISPATCH_LEVEL");
        r->state = IrpState::Completing;
        generation = ++r->generation;
    }
    while (irp->CurrentLocation <= irp->StackCount)
    {
        PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
        irp->PendingReturned = (loc->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
        const UCHAR control = loc->Control;
        PIO_COMPLETION_ROUTINE routine = loc->CompletionRoutine;
        PVOID context = loc->Context;
        const NTSTATUS status = irp->IoStatus.Status;
        const bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                        (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                        (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        loc->CompletionRoutine = nullptr;
        loc->Context = nullptr;
        IoSkipCurrentIrpStackLocation(irp);
        if (invoke)
        {
            PDEVICE_OBJECT owner = irp->CurrentLocation <= irp->StackCount
                                       ? IoGetCurrentIrpStackLocation(irp)->DeviceObject
                                       : nullptr;
            if (routine(owner, irp, context) == STATUS_MORE_PROCESSING_REQUIRED)
            {
                std::lock_guard<std::mutex> g(g_irpLock);
                if (g_live.count(irp) && Rec(irp)->generation == generation &&
                    Rec(irp)->state == IrpState::Completing)
                    Rec(irp)->state = IrpState::Owned;
                return;
            }
        }
        else if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
        {
            IoMarkIrpPending(irp);
        }
    }
    if (Rec(irp)->threaded)
    {
        FinishThreaded(irp);
        return;
    }
    {
        std::lock_guard<std::mutex> g(g_irpLock);
        Rec(irp)->state = IrpState::Done;
    }
    sim::ReportViolation(
        "IoCompleteRequest: an allocated IRP completed to the top with no routine claiming it");
}

extern "C" VOID IoAcquireCancelSpinLock(PKIRQL irql)
{
    KeAcquireSpinLock(&g_cancelLock, irql);
}
extern "C" VOID IoReleaseCancelSpinLock(KIRQL irql)
{
    KeReleaseSpinLock(&g_cancelLock, irql);
}

extern "C" BOOLEAN IoCancelIrp(PIRP irp)
{
    {
        std::lock_guard<std::mutex> g(g_irpLock);
        if (!ValidLocked(irp, "IoCancelIrp"))
            return FALSE;
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr)
    {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    PDEVICE_OBJECT device =
        irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
    routine(device, irp); // releases the cancel spin lock
    return TRUE;
}

extern "C" PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                              PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                                              ULONG outputBufferLength, BOOLEAN internalDeviceIoControl,
                                              PKEVENT event, PIO_STATUS_BLOCK ioStatus)
{
    if (deviceObject == nullptr)
        return nullptr;
    PIRP irp = IoAllocateIrp(deviceObject->StackSize, FALSE);
    if (irp == nullptr)
        return nullptr;
    IrpRecord *r = Rec(irp);
    r->threaded = true;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = inputBufferLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputBufferLength;
    if (!internalDeviceIoControl && (ioControlCode & 3) == METHOD_BUFFERED)
    {
        ULONG size = inputBufferLength > outputBufferLength ? inputBufferLength : outputBufferLength;
        if (size)
        {
            irp->AssociatedIrp.SystemBuffer = ExAllocatePoolWithTag(NonPagedPool, size, MakePoolTag("IoSb"));
            if (irp->AssociatedIrp.SystemBuffer == nullptr)
            {
                IoFreeIrp(irp);
                return nullptr;
            }
            memset(irp->AssociatedIrp.SystemBuffer, 0, size);
            if (inputBuffer && inputBufferLength)
                memcpy(irp->AssociatedIrp.SystemBuffer, inputBuffer, inputBufferLength);
            r->buffered = true;
            r->outputBuffer = outputBuffer;
            r->outputLength = outputBufferLength;
        }
    }
    else
    {
        next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
        irp->UserBuffer = outputBuffer;
    }
    irp->UserIosb = ioStatus;
    irp->UserEvent = event;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    return irp;
}
