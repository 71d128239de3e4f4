// A held control answer whose time comes while another thread cancels it: the IRP completes exactly
// once, as answered or as cancelled, and the bus holds nothing afterwards.
#include "usb_bus_test_support.h"

#include <atomic>

using namespace usbtest;
using usbsim::FaultKind;
using usbsim::VirtualDevice;

namespace
{

class UsbBusCancel : public BusTest
{
};

struct Counted
{
    std::atomic<int> completions{0};
    NTSTATUS status = STATUS_PENDING;
};

NTSTATUS CountDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *c = static_cast<Counted *>(context);
    c->status = irp->IoStatus.Status;
    ++c->completions;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(UsbBusCancel, CancelRacingTheAnswerCompletesOnce)
{
    auto dev = VirtualDevice::Uac1();
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    usbsim::RequestMatch any;
    bus->InjectFault(1, any, {FaultKind::Delay, 1});
    int answered = 0, cancelled = 0;
    for (int round = 0; round < 2000; ++round)
    {
        Bytes buf(18);
        UrbBuffer urb;
        UsbBuildGetDescriptorRequest(urb.get(), sizeof(URB_CONTROL_DESCRIPTOR_REQUEST),
                                     USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buf.data(), nullptr, 18, nullptr);
        PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
        ASSERT_NE(irp, nullptr);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = urb.get();
        Counted c;
        IoSetCompletionRoutine(irp, CountDone, &c, TRUE, TRUE, TRUE);
        ASSERT_EQ(IofCallDriver(pdo, irp), STATUS_PENDING);
        {
            sim::HostThread canceller([irp] { IoCancelIrp(irp); });
            sim::AdvanceMs(1);
            canceller.Join();
        }
        sim::RunUntilIdle();
        ASSERT_EQ(c.completions.load(), 1) << "round " << round;
        if (c.status == STATUS_SUCCESS)
        {
            ++answered;
            EXPECT_EQ(buf, dev->Descriptors().device);
        }
        else
        {
            ASSERT_EQ(c.status, STATUS_CANCELLED) << "round " << round;
            EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_CANCELED);
            ++cancelled;
        }
        IoFreeIrp(irp);
        ASSERT_EQ(bus->PendingTransfers(1), 0u);
    }
    EXPECT_EQ(answered + cancelled, 2000);
    EXPECT_GT(cancelled, 0);
}

} // namespace
