// The I/O manager: device stacks, the completion chain, cancellation, threaded and power requests,
// and the misuse reports.
#include <atomic>
#include <thread>
#include <vector>

#include "support/kernel_test.h"
#include <sim/io_sim.h>
#include <sim/registry_sim.h>

namespace
{

// A small stack of test drivers. Each device's extension says what its dispatch does.
enum class Act
{
    PassDown,
    PassDownRaw,
    PassDownWithRoutine,
    Complete,
    Pend,
    PendNoMark
};

struct Ext
{
    Act act;
    NTSTATUS completeWith;
    PDEVICE_OBJECT lower;
    const char *name;
    BOOLEAN onSuccess, onError, onCancel;
    NTSTATUS routineResult;
    PIRP held; // a pended IRP
};

std::vector<std::string> *g_order;

NTSTATUS RecordingRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *ext = static_cast<Ext *>(context);
    g_order->push_back(std::string(ext->name) + (device && device->DeviceExtension == ext ? "" : "?"));
    if (ext->routineResult != STATUS_MORE_PROCESSING_REQUIRED && irp->PendingReturned)
        IoMarkIrpPending(irp);
    return ext->routineResult;
}

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    auto *ext = static_cast<Ext *>(device->DeviceExtension);
    switch (ext->act)
    {
    case Act::PassDown:
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(ext->lower, irp);
    case Act::PassDownRaw: // forgets to set up the next location
        return IoCallDriver(ext->lower, irp);
    case Act::PassDownWithRoutine:
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, RecordingRoutine, ext, ext->onSuccess, ext->onError, ext->onCancel);
        return IoCallDriver(ext->lower, irp);
    case Act::Complete:
        irp->IoStatus.Status = ext->completeWith;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return ext->completeWith;
    case Act::Pend:
        IoMarkIrpPending(irp);
        ext->held = irp;
        return STATUS_PENDING;
    case Act::PendNoMark:
        ext->held = irp;
        return STATUS_PENDING;
    }
    return STATUS_UNSUCCESSFUL;
}

struct OwnerState
{
    int calls = 0;
    NTSTATUS status = 0;
    BOOLEAN pendingReturned = FALSE;
};
NTSTATUS OwnerRoutine(PDEVICE_OBJECT device, PIRP irp, PVOID context)
{
    auto *s = static_cast<OwnerState *>(context);
    ++s->calls;
    s->status = irp->IoStatus.Status;
    s->pendingReturned = irp->PendingReturned;
    EXPECT_EQ(device, nullptr); // the owner has no device of its own
    return STATUS_MORE_PROCESSING_REQUIRED;
}

class IoManager : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        g_order = &order;
        memset(&driver, 0, sizeof driver);
        driver.DriverExtension = &driver.Extension;
        for (auto &f : driver.MajorFunction)
            f = Dispatch;
    }
    void TearDown() override
    {
        for (size_t i = devices.size(); i-- > 0;)
        {
            if (devices[i]->AttachedTo)
                IoDetachDevice(devices[i]->AttachedTo);
        }
        for (PDEVICE_OBJECT d : devices)
            IoDeleteDevice(d);
        KernelTest::TearDown();
    }
    // Builds a stack bottom-up; returns the top.
    PDEVICE_OBJECT Stack(std::vector<Ext> exts)
    {
        PDEVICE_OBJECT below = nullptr;
        for (Ext &e : exts)
        {
            PDEVICE_OBJECT d;
            EXPECT_EQ(IoCreateDevice(&driver, sizeof(Ext), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &d),
                      STATUS_SUCCESS);
            *static_cast<Ext *>(d->DeviceExtension) = e;
            if (below)
                static_cast<Ext *>(d->DeviceExtension)->lower = IoAttachDeviceToDeviceStack(d, below);
            devices.push_back(d);
            below = d;
        }
        return below;
    }
    Ext &E(size_t i) { return *static_cast<Ext *>(devices[i]->DeviceExtension); }
    PIRP OwnedIrp(PDEVICE_OBJECT top, OwnerState &s)
    {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, OwnerRoutine, &s, TRUE, TRUE, TRUE);
        return irp;
    }

    DRIVER_OBJECT driver;
    std::vector<PDEVICE_OBJECT> devices;
    std::vector<std::string> order;
};

Ext Bottom(Act a, NTSTATUS s = STATUS_SUCCESS)
{
    return Ext{a, s, nullptr, "bus", 0, 0, 0, 0, nullptr};
}
Ext Middle(const char *name, BOOLEAN ok = TRUE, BOOLEAN err = TRUE, BOOLEAN cancel = TRUE,
           NTSTATUS result = STATUS_SUCCESS)
{
    return Ext{Act::PassDownWithRoutine, 0, nullptr, name, ok, err, cancel, result, nullptr};
}

} // namespace

TEST_F(IoManager, StacksAttachWithGrowingStackSize)
{
    PDEVICE_OBJECT top = Stack({Bottom(Act::Complete), Middle("filter"), Middle("fdo")});
    EXPECT_EQ(devices[0]->StackSize, 1);
    EXPECT_EQ(devices[1]->StackSize, 2);
    EXPECT_EQ(top->StackSize, 3);
    EXPECT_EQ(devices[1]->AttachedTo, devices[0]);
    EXPECT_EQ(devices[0]->AttachedDevice, devices[1]);
    PDEVICE_OBJECT ref = IoGetAttachedDeviceReference(devices[0]);
    EXPECT_EQ(ref, top);
    ObDereferenceObject(ref);
    EXPECT_EQ(sim::io::LiveDevices(), 3u);
    // The memory of a deleted device stays while a reference is held.
    PDEVICE_OBJECT held = IoGetAttachedDeviceReference(top);
    IoDetachDevice(devices[1]);
    IoDeleteDevice(top);
    devices.pop_back();
    EXPECT_EQ(sim::io::LiveDevices(), 2u);
    EXPECT_EQ(held->StackSize, 3);
    ObDereferenceObject(held);
    // Allocation failure.
    sim::FailAllocation(1);
    PDEVICE_OBJECT d = reinterpret_cast<PDEVICE_OBJECT>(1);
    EXPECT_EQ(IoCreateDevice(&driver, 16, nullptr, 0, 0, FALSE, &d), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(d, nullptr);
    sim::FailAllocation(1);
    EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
}

TEST_F(IoManager, RoutinesRunBottomUpAndHonourTheirFlags)
{
    PDEVICE_OBJECT top =
        Stack({Bottom(Act::Complete), Middle("low"), Middle("cancel-only", FALSE, FALSE, TRUE),
               Middle("errors-only", FALSE, TRUE, FALSE), Middle("high")});
    OwnerState owner;
    PIRP irp = OwnedIrp(top, owner);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    EXPECT_EQ(order, (std::vector<std::string>{"low", "high"}));
    EXPECT_EQ(owner.calls, 1);
    EXPECT_EQ(owner.status, STATUS_SUCCESS);

    // An error reaches the error-only routine.
    order.clear();
    E(0).completeWith = STATUS_DEVICE_NOT_CONNECTED;
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OwnerRoutine, &owner, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(order, (std::vector<std::string>{"low", "errors-only", "high"}));
    EXPECT_EQ(owner.calls, 2);

    // A cancelled IRP reaches the cancel-only routine (and, being an error, the error-only one).
    order.clear();
    E(0).act = Act::Pend;
    IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, OwnerRoutine, &owner, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    EXPECT_FALSE(IoCancelIrp(irp)); // no cancel routine: only marked
    EXPECT_TRUE(order.empty());
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(order, (std::vector<std::string>{"low", "cancel-only", "errors-only", "high"}));
    EXPECT_EQ(owner.calls, 3);
    EXPECT_EQ(owner.status, STATUS_CANCELLED);
    IoFreeIrp(irp);
    EXPECT_EQ(sim::io::LiveIrps(), 0u);
}

TEST_F(IoManager, MoreProcessingRequiredReturnsTheIrpToItsOwner)
{
    PDEVICE_OBJECT top =
        Stack({Bottom(Act::Complete), Middle("claims", TRUE, TRUE, TRUE, STATUS_MORE_PROCESSING_REQUIRED),
               Middle("above")});
    OwnerState owner;
    PIRP irp = OwnedIrp(top, owner);
    IoCallDriver(top, irp);
    EXPECT_EQ(order, (std::vector<std::string>{"claims"}));
    EXPECT_EQ(owner.calls, 0);
    // The claiming driver finishes it later: the rest of the chain runs then.
    E(1).routineResult = STATUS_SUCCESS;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(order, (std::vector<std::string>{"claims", "above"}));
    EXPECT_EQ(owner.calls, 1);
    EXPECT_EQ(owner.status, STATUS_CANCELLED);
    IoFreeIrp(irp);
}

TEST_F(IoManager, PendingPropagatesToTheOwner)
{
    PDEVICE_OBJECT top =
        Stack({Bottom(Act::Pend), Ext{Act::PassDown, 0, nullptr, "skip", 0, 0, 0, 0, nullptr}});
    OwnerState owner;
    PIRP irp = OwnedIrp(top, owner);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    ASSERT_EQ(E(0).held, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    AtDispatch([&] { IoCompleteRequest(irp, IO_NO_INCREMENT); });
    EXPECT_EQ(owner.calls, 1);
    EXPECT_TRUE(owner.pendingReturned);
    IoFreeIrp(irp);
}

TEST_F(IoManager, MisuseIsReported)
{
    PDEVICE_OBJECT top = Stack({Bottom(Act::Pend), Middle("fdo")});
    OwnerState owner;

    // Freeing or reusing while outstanding.
    PIRP irp = OwnedIrp(top, owner);
    IoCallDriver(top, irp);
    ExpectViolation("IoFreeIrp: the IRP is outstanding");
    IoFreeIrp(irp);
    EXPECT_TRUE(SawExpectedViolation("IoFreeIrp: the IRP is outstanding"));
    ExpectViolation("IoReuseIrp: the IRP is outstanding");
    IoReuseIrp(irp, STATUS_SUCCESS);
    EXPECT_TRUE(SawExpectedViolation("IoReuseIrp: the IRP is outstanding"));
    // Completion with STATUS_PENDING, then twice.
    irp->IoStatus.Status = STATUS_PENDING;
    ExpectViolation("completed with STATUS_PENDING");
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_TRUE(SawExpectedViolation("completed with STATUS_PENDING"));
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(owner.calls, 1);
    ExpectViolation("not outstanding (completed twice?)");
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_TRUE(SawExpectedViolation("not outstanding (completed twice?)"));
    EXPECT_EQ(owner.calls, 1);
    IoFreeIrp(irp);
    ExpectViolation("IoFreeIrp: not a live IRP");
    IoFreeIrp(irp);
    EXPECT_TRUE(SawExpectedViolation("IoFreeIrp: not a live IRP"));

    // A call past the last stack location: an IRP sized for one device sent into a stack of two.
    PIRP small = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(small)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    E(1).act = Act::PassDownRaw;
    ExpectViolation("call past the last stack location");
    EXPECT_EQ(IoCallDriver(top, small), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(SawExpectedViolation("call past the last stack location"));
    E(1).act = Act::PassDownWithRoutine;

    // The top driver still holds it and completes it: an allocated IRP that no routine claims.
    small->IoStatus.Status = STATUS_UNSUCCESSFUL;
    ExpectViolation("no routine claiming it");
    IoCompleteRequest(small, IO_NO_INCREMENT);
    EXPECT_TRUE(SawExpectedViolation("no routine claiming it"));
    IoFreeIrp(small);

    // STATUS_PENDING without IoMarkIrpPending.
    E(0).act = Act::PendNoMark;
    PIRP unmarked = OwnedIrp(top, owner);
    ExpectViolation("without IoMarkIrpPending");
    EXPECT_EQ(IoCallDriver(top, unmarked), STATUS_PENDING);
    EXPECT_TRUE(SawExpectedViolation("without IoMarkIrpPending"));
    unmarked->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(unmarked, IO_NO_INCREMENT);
    IoFreeIrp(unmarked);
    EXPECT_EQ(sim::io::LiveIrps(), 0u);
}

namespace
{
std::atomic<int> g_completions;
NTSTATUS CountRoutine(PDEVICE_OBJECT, PIRP, PVOID)
{
    g_completions.fetch_add(1);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
VOID CancelHeld(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}
NTSTATUS PendCancellable(PDEVICE_OBJECT device, PIRP irp)
{
    IoMarkIrpPending(irp);
    static_cast<Ext *>(device->DeviceExtension)->held = irp;
    IoSetCancelRoutine(irp, CancelHeld);
    return STATUS_PENDING;
}
} // namespace

TEST_F(IoManager, CancelRacingCompletionCompletesOnce)
{
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PendCancellable;
    PDEVICE_OBJECT top = Stack({Bottom(Act::Pend)});
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    int cancelledWins = 0;
    for (int round = 0; round < 10000; ++round)
    {
        IoReuseIrp(irp, STATUS_SUCCESS);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, CountRoutine, nullptr, TRUE, TRUE, TRUE);
        g_completions = 0;
        ASSERT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
        std::thread completer(
            [irp]
            {
                // The driver's completion path: only the side that takes the cancel routine back completes.
                if (IoSetCancelRoutine(irp, nullptr) != nullptr)
                {
                    irp->IoStatus.Status = STATUS_SUCCESS;
                    IoCompleteRequest(irp, IO_NO_INCREMENT);
                }
            });
        IoCancelIrp(irp);
        completer.join();
        ASSERT_EQ(g_completions.load(), 1) << "round " << round;
        cancelledWins += irp->IoStatus.Status == STATUS_CANCELLED;
    }
    IoFreeIrp(irp);
    RecordProperty("cancelled", cancelledWins);
}

namespace
{
NTSTATUS AnswerIoctl(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
    if (loc->MajorFunction == IRP_MJ_DEVICE_CONTROL)
    {
        auto *b = static_cast<uint8_t *>(irp->AssociatedIrp.SystemBuffer);
        b[0] = uint8_t(b[0] + 1); // echo input + 1
        irp->IoStatus.Information = 1;
    }
    else
    {
        *static_cast<ULONG *>(loc->Parameters.Others.Argument1) = 3;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
struct PowerSeen
{
    std::atomic<int> calls{0};
    std::thread::id thread;
    NTSTATUS status = 0;
    DEVICE_POWER_STATE state = PowerDeviceUnspecified;
    KIRQL irql = 0xFF;
};
VOID PowerComplete(PDEVICE_OBJECT, UCHAR minor, POWER_STATE state, PVOID context, PIO_STATUS_BLOCK status)
{
    auto *s = static_cast<PowerSeen *>(context);
    s->thread = std::this_thread::get_id();
    ++s->calls;
    s->status = status->Status;
    s->state = state.DeviceState;
    s->irql = KeGetCurrentIrql();
    EXPECT_EQ(minor, IRP_MN_SET_POWER);
}
NTSTATUS PowerDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Status =
        loc->Parameters.Power.State.DeviceState == PowerDeviceD3 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return irp->IoStatus.Status;
}
} // namespace

TEST_F(IoManager, ThreadedAndPowerRequests)
{
    driver.MajorFunction[IRP_MJ_DEVICE_CONTROL] = AnswerIoctl;
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = AnswerIoctl;
    driver.MajorFunction[IRP_MJ_POWER] = PowerDispatch;
    PDEVICE_OBJECT top = Stack({Bottom(Act::Complete)});
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    uint8_t in = 41, out = 0;
    PIRP irp =
        IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), top,
                                      &in, 1, &out, 1, FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(top, irp), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(out, 42);
    EXPECT_EQ(sim::io::LiveIrps(), 0u); // it freed itself

    ULONG port = 0;
    KeClearEvent(&event);
    irp = IoBuildDeviceIoControlRequest(0x220013, top, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &port;
    IoCallDriver(top, irp);
    EXPECT_EQ(port, 3u);
    EXPECT_EQ(sim::io::LiveIrps(), 0u);

    // Pool failure while building: nothing leaks.
    sim::FailAllocation(2); // the system buffer
    EXPECT_EQ(
        IoBuildDeviceIoControlRequest(CTL_CODE(FILE_DEVICE_UNKNOWN, 1, METHOD_BUFFERED, FILE_ANY_ACCESS), top,
                                      &in, 1, &out, 1, FALSE, &event, &iosb),
        nullptr);

    // Power requests complete on a worker, asynchronously.
    PowerSeen seen;
    POWER_STATE d2;
    d2.DeviceState = PowerDeviceD2;
    EXPECT_EQ(PoRequestPowerIrp(top, IRP_MN_SET_POWER, d2, PowerComplete, &seen, nullptr), STATUS_PENDING);
    sim::RunUntilIdle();
    EXPECT_EQ(seen.calls, 1);
    EXPECT_NE(seen.thread, std::this_thread::get_id()) << "the completion runs on a worker";
    EXPECT_EQ(seen.status, STATUS_SUCCESS);
    EXPECT_EQ(seen.state, PowerDeviceD2);
    EXPECT_EQ(seen.irql, PASSIVE_LEVEL);
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    PoRequestPowerIrp(top, IRP_MN_SET_POWER, d3, PowerComplete, &seen, nullptr);
    sim::RunUntilIdle();
    EXPECT_EQ(seen.status, STATUS_UNSUCCESSFUL);
    // Injected failure: nothing is sent, no callback.
    sim::io::FailPowerRequest(1);
    EXPECT_EQ(PoRequestPowerIrp(top, IRP_MN_SET_POWER, d2, PowerComplete, &seen, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    sim::RunUntilIdle();
    EXPECT_EQ(seen.calls, 2);
    // And a failed allocation on the way.
    for (unsigned n = 1; n <= 3; ++n)
    {
        sim::FailAllocation(n);
        EXPECT_EQ(PoRequestPowerIrp(top, IRP_MN_SET_POWER, d2, PowerComplete, &seen, nullptr),
                  STATUS_INSUFFICIENT_RESOURCES);
    }
    EXPECT_EQ(sim::io::LiveIrps(), 0u);
}

TEST_F(IoManager, DeviceRegistryComesFromTheBoundInstance)
{
    PDEVICE_OBJECT top = Stack({Bottom(Act::Complete), Middle("fdo")});
    auto instance = sim::registry::CreateDeviceInstance(
        {{"USB\\VID_1234&PID_5678&REV_0100", "USB\\VID_1234&PID_5678"}, "5&1a2b3c&0&1", ""});
    sim::registry::BindDevice(devices[0], instance);
    ULONG needed = 0;
    EXPECT_EQ(IoGetDeviceProperty(top, DevicePropertyHardwareID, 0, nullptr, &needed),
              STATUS_BUFFER_TOO_SMALL);
    std::vector<WCHAR> ids(needed / 2);
    EXPECT_EQ(IoGetDeviceProperty(top, DevicePropertyHardwareID, needed, ids.data(), &needed),
              STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(ids.data()), u"USB\\VID_1234&PID_5678&REV_0100");
    HANDLE key = nullptr;
    EXPECT_EQ(IoOpenDeviceRegistryKey(top, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    ZwClose(key);
    sim::registry::UnbindDevice(devices[0]);
    EXPECT_EQ(IoOpenDeviceRegistryKey(top, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key),
              STATUS_INVALID_DEVICE_REQUEST);
}
