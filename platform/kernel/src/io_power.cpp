// Power requests: PoCallDriver and PoRequestPowerIrp (sent from a worker, completion callback).
#include "io_internal.h"
#include "kernel_internal.h"

#include <mutex>

#include <sim/io_sim.h>

namespace
{

std::mutex g_powerLock;
unsigned g_failIn = 0; // 0: no injection; n: the n-th request from now fails
NTSTATUS g_failStatus = STATUS_INSUFFICIENT_RESOURCES;
size_t g_requests = 0;

struct PowerRequest
{
    PDEVICE_OBJECT device; // the device named by the caller, given back to the callback
    PDEVICE_OBJECT top;    // referenced top of its stack
    PIRP irp;
    PIO_WORKITEM work;
    UCHAR minor;
    POWER_STATE state;
    PREQUEST_POWER_COMPLETE callback;
    PVOID context;
};

NTSTATUS PowerDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *req = static_cast<PowerRequest *>(context);
    IO_STATUS_BLOCK status = irp->IoStatus;
    if (req->callback)
        req->callback(req->device, req->minor, req->state, req->context, &status);
    IoFreeIrp(irp);
    ExFreePool(req);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID SendPower(PDEVICE_OBJECT, PVOID context)
{
    auto *req = static_cast<PowerRequest *>(context);
    PDEVICE_OBJECT top = req->top;
    IoFreeWorkItem(req->work);
    PoCallDriver(top, req->irp); // req may be gone once this returns
    ObDereferenceObject(top);
}

} // namespace

namespace sim::io::detail
{
void ResetPower()
{
    std::lock_guard<std::mutex> g(g_powerLock);
    g_failIn = 0;
    g_requests = 0;
}
} // namespace sim::io::detail

void sim::io::FailPowerRequest(unsigned n, NTSTATUS status)
{
    std::lock_guard<std::mutex> g(g_powerLock);
    g_failIn = n;
    g_failStatus = status;
}

size_t sim::io::PowerRequests()
{
    std::lock_guard<std::mutex> g(g_powerLock);
    return g_requests;
}

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    return IofCallDriver(deviceObject, irp);
}
extern "C" VOID PoStartNextPowerIrp(PIRP) {}
extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT, POWER_STATE_TYPE, POWER_STATE state)
{
    return state;
}

extern "C" NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                      POWER_STATE powerState, PREQUEST_POWER_COMPLETE completionFunction,
                                      PVOID context, PIRP *irpOut)
{
    if (irpOut)
        *irpOut = nullptr;
    {
        std::lock_guard<std::mutex> g(g_powerLock);
        ++g_requests;
        if (g_failIn && --g_failIn == 0)
            return g_failStatus;
    }
    if (deviceObject == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (minorFunction != IRP_MN_SET_POWER && minorFunction != IRP_MN_QUERY_POWER &&
        minorFunction != IRP_MN_WAIT_WAKE)
        return STATUS_INVALID_PARAMETER;
    auto *req = static_cast<PowerRequest *>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(PowerRequest), MakePoolTag("PoRq")));
    if (req == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(deviceObject);
    PIRP irp = top ? IoAllocateIrp(top->StackSize, FALSE) : nullptr;
    PIO_WORKITEM work = irp ? IoAllocateWorkItem(deviceObject) : nullptr;
    if (work == nullptr)
    {
        if (irp)
            IoFreeIrp(irp);
        if (top)
            ObDereferenceObject(top);
        ExFreePool(req);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *req = PowerRequest{deviceObject, top, irp, work, minorFunction, powerState, completionFunction, context};
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minorFunction;
    next->Parameters.Power.Type = DevicePowerState;
    next->Parameters.Power.State = powerState;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoSetCompletionRoutine(irp, PowerDone, req, TRUE, TRUE, TRUE);
    if (irpOut)
        *irpOut = irp;
    IoQueueWorkItem(work, SendPower, DelayedWorkQueue, req);
    return STATUS_PENDING;
}
