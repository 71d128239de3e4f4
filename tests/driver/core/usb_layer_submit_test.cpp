// Synchronous requests to the USB stack: descriptor reads, the 500 ms limit, a device that went
// away, the presence check with its port reset and cycle, the configuration fetch's length rules and
// the bus interface's one reference.
#include <gtest/gtest.h>

#include <cstring>

#include "driver/core/usb_descriptor_reader.h"
#include "driver/base/pool_memory.h"
#include "usb_fixture.h"

using usbsim::EventKind;

namespace
{

usbsim::RequestMatch GetDescriptor(uint8_t type)
{
    usbsim::RequestMatch m;
    m.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    m.wValue = uint16_t(type << 8);
    m.wValueMask = 0xFF00;
    return m;
}

std::u16string Text(const USB_STRING_TEXT &t)
{
    return std::u16string(t.Text, t.Characters);
}

} // namespace

TEST_F(UsbLayerTest, SubmitUrbReadsDescriptorsAndStringsOfTheUac1Headset)
{
    Attach();
    bus->ClearLog();
    StartHardware();
    const usbsim::Bytes &dev = device->Descriptors().device;
    const usbsim::Bytes &cfg = device->Descriptors().configuration;
    const USB_DEVICE_IDENTITY id = layer->GetIdentity();
    EXPECT_EQ(id.VendorId, usbsim::Get16(dev, 8));
    EXPECT_EQ(id.ProductId, usbsim::Get16(dev, 10));
    EXPECT_EQ(id.ManufacturerIndex, dev[14]);
    EXPECT_EQ(id.ProductIndex, dev[15]);
    PUSB_CONFIGURATION_DESCRIPTOR stored = layer->GetConfigurationDescriptor();
    ASSERT_NE(stored, nullptr);
    ASSERT_EQ(stored->wTotalLength, cfg.size());
    EXPECT_EQ(std::memcmp(stored, cfg.data(), cfg.size()), 0);
    EXPECT_FALSE(layer->IsHighSpeed());

    // Standard GET_DESCRIPTOR setups: device (18), configuration header (9), then its full length.
    const auto urbs = Urbs();
    ASSERT_EQ(urbs.size(), 3u) << bus->LogText();
    const uint16_t values[] = {0x0100, 0x0200, 0x0200};
    const uint16_t lengths[] = {18, 9, uint16_t(cfg.size())};
    for (size_t i = 0; i < 3; ++i)
    {
        EXPECT_EQ(urbs[i].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
        EXPECT_EQ(urbs[i].bmRequestType, 0x80);
        EXPECT_EQ(urbs[i].bRequest, 6);
        EXPECT_EQ(urbs[i].wValue, values[i]);
        EXPECT_EQ(urbs[i].wLength, lengths[i]);
        EXPECT_EQ(urbs[i].length, lengths[i]);
        EXPECT_EQ(urbs[i].status, STATUS_SUCCESS);
    }

    USB_STRING_TEXT text;
    ASSERT_EQ(UsbReadString(layer.get(), id.ProductIndex, USB_LANGUAGE_ENGLISH_US, 256, 260, PoolTag::USBd,
                            PoolTag::URB, &text),
              STATUS_SUCCESS);
    EXPECT_EQ(Text(text), u"Zelko USB Headset");
    EXPECT_EQ(text.Text[text.Characters], 0); // room for the terminator in a 260-byte block
    UsbFreeString(&text);
    const auto last = Urbs().back();
    EXPECT_EQ(last.wValue, 0x0300 | id.ProductIndex);
    EXPECT_EQ(last.wIndex, USB_LANGUAGE_ENGLISH_US);
    EXPECT_EQ(last.wLength, 256);
}

TEST_F(UsbLayerTest, SubmitUrbCancelsARequestUnansweredFor500ms)
{
    Attach();
    UCHAR buffer[18] = {};
    // No answer at all: cancelled at exactly 500 virtual ms, its status returned, its IRP freed.
    int fault =
        bus->InjectFault(kPort, GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE), {usbsim::FaultKind::NoAnswer});
    auto urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
    LONGLONG start = sim::Now();
    EXPECT_EQ(layer->SubmitUrb(reinterpret_cast<PURB>(&urb)), STATUS_CANCELLED);
    EXPECT_EQ(sim::Now() - start, 500 * 10000LL);
    EXPECT_EQ(sim::io::LiveIrps(), 0u);
    EXPECT_EQ(layer->GetBusyCount(), 1);
    EXPECT_TRUE(layer->IsConnected());
    bus->ClearFault(fault);

    // An answer 1 ms inside the limit is an answer.
    bus->InjectFault(kPort, GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE), {usbsim::FaultKind::Delay, 499});
    urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
    start = sim::Now();
    EXPECT_EQ(layer->SubmitUrb(reinterpret_cast<PURB>(&urb)), STATUS_SUCCESS);
    EXPECT_EQ(sim::Now() - start, 499 * 10000LL);
    EXPECT_EQ(urb.TransferBufferLength, 18u);
    EXPECT_EQ(std::memcmp(buffer, device->Descriptors().device.data(), 18), 0);
    EXPECT_EQ(sim::io::LiveIrps(), 0u);
}

// CallLower hands an IRP the caller built to the device below, as it stands, and returns what that
// driver returned: the answer, or the failure of a stalled request.
TEST_F(UsbLayerTest, CallLowerSendsTheIrpDownAndReturnsTheLowerStatus)
{
    Attach();
    bus->SetSynchronous(true);
    struct Done
    {
        KEVENT event;
        int calls = 0;
        static NTSTATUS Routine(PDEVICE_OBJECT, PIRP, PVOID context)
        {
            auto *done = static_cast<Done *>(context);
            ++done->calls;
            KeSetEvent(&done->event, 0, FALSE);
            return STATUS_MORE_PROCESSING_REQUIRED;
        }
    };
    auto send = [&](PVOID buffer, ULONG length, Done &done)
    {
        KeInitializeEvent(&done.event, NotificationEvent, FALSE);
        PIRP irp = layer->AllocateIrp();
        EXPECT_NE(irp, nullptr);
        auto urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, length);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb;
        IoSetCompletionRoutine(irp, Done::Routine, &done, TRUE, TRUE, TRUE);
        const NTSTATUS status = layer->CallLower(irp);
        EXPECT_EQ(irp->IoStatus.Status, status);
        EXPECT_EQ(layer->FreeIrp(irp), STATUS_SUCCESS);
        return status;
    };
    bus->ClearLog();
    UCHAR buffer[18] = {};
    Done answered;
    EXPECT_EQ(send(buffer, sizeof buffer, answered), STATUS_SUCCESS);
    EXPECT_EQ(answered.calls, 1);
    EXPECT_EQ(std::memcmp(buffer, device->Descriptors().device.data(), 18), 0);
    ASSERT_EQ(Urbs().size(), 1u);
    EXPECT_EQ(Urbs()[0].wValue, 0x0100);

    bus->InjectFault(kPort, GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE), {usbsim::FaultKind::Stall});
    Done stalled;
    EXPECT_EQ(send(buffer, sizeof buffer, stalled), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stalled.calls, 1);
    EXPECT_EQ(Urbs().size(), 2u);
    EXPECT_TRUE(layer->IsConnected()) << "the layer only passes the IRP on";
    EXPECT_EQ(sim::io::LiveIrps(), 0u);
}

TEST_F(UsbLayerTest, SubmitUrbAfterUnplugFailsOnceAtTheBusThenAtOnce)
{
    Attach();
    UCHAR buffer[18] = {};
    bus->Unplug(kPort);
    auto urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
    EXPECT_EQ(layer->SubmitUrb(reinterpret_cast<PURB>(&urb)), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(layer->IsConnected());
    bus->ClearLog();
    for (int i = 0; i < 3; ++i)
    {
        urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
        EXPECT_EQ(layer->SubmitUrb(reinterpret_cast<PURB>(&urb)), STATUS_UNSUCCESSFUL);
    }
    EXPECT_TRUE(bus->Log().empty()) << bus->LogText();
    EXPECT_TRUE(layer->IsDeviceGone());
    EXPECT_EQ(Count(EventKind::PortStatus), 0u); // gone is gone: no port question either
}

TEST_F(UsbLayerTest, SubmitUrbOutstandingAtUnplugEndsNotConnected)
{
    Attach();
    UCHAR buffer[18] = {};
    bus->InjectFault(kPort, GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE), {usbsim::FaultKind::Delay, 200});
    bus->UnplugAtFrame(kPort, sim::FrameNumber() + 100);
    auto urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
    EXPECT_EQ(layer->SubmitUrb(reinterpret_cast<PURB>(&urb)), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_FALSE(layer->IsConnected());
}

TEST_F(UsbLayerTest, IsDeviceGoneCyclesOnceWhenThePortStaysSilent)
{
    Attach();
    bus->ScriptPortStatus(kPort, {{STATUS_NO_SUCH_DEVICE, 0}, {STATUS_NO_SUCH_DEVICE, 0}});
    const LONGLONG start = sim::Now();
    EXPECT_TRUE(layer->IsDeviceGone());
    EXPECT_GE(sim::Now() - start, 100 * 10000LL); // asked again after a 100 ms pause
    EXPECT_EQ(Count(EventKind::PortStatus), 2u);
    EXPECT_EQ(Count(EventKind::CyclePort), 1u);
    EXPECT_EQ(Count(EventKind::ResetPort), 0u);
    EXPECT_FALSE(layer->IsConnected());
    EXPECT_TRUE(layer->CyclePort()); // once per device: nothing more is sent
    EXPECT_EQ(Count(EventKind::CyclePort), 1u);
    EXPECT_TRUE(hooks.power.States().empty());
    EXPECT_EQ(hooks.Count("SecondLock"), 1u);
    EXPECT_EQ(hooks.Count("SecondUnlock"), 1u);
}

TEST_F(UsbLayerTest, CyclePortWithoutMemoryChangesNothingAndCanBeTriedAgain)
{
    Attach();
    sim::FailAllocation(1); // the cycle request itself
    EXPECT_FALSE(layer->CyclePort());
    EXPECT_EQ(Count(EventKind::CyclePort), 0u);
    EXPECT_TRUE(layer->IsConnected());
    EXPECT_TRUE(layer->CyclePort());
    EXPECT_EQ(Count(EventKind::CyclePort), 1u);
    EXPECT_FALSE(layer->IsConnected());
    EXPECT_TRUE(layer->CyclePort());
    EXPECT_EQ(Count(EventKind::CyclePort), 1u);
}

TEST_F(UsbLayerTest, IsDeviceGoneResetsAPortThatAnswersTheSecondTime)
{
    Attach();
    bus->ScriptPortStatus(
        kPort, {{STATUS_NO_SUCH_DEVICE, 0}, {STATUS_SUCCESS, USBD_PORT_ENABLED | USBD_PORT_CONNECTED}});
    EXPECT_FALSE(layer->IsDeviceGone());
    EXPECT_EQ(Count(EventKind::ResetPort), 1u);
    EXPECT_EQ(Count(EventKind::CyclePort), 0u);
    EXPECT_EQ(hooks.power.States(), (std::vector<DEVICE_POWER_STATE>{PowerDeviceD3, PowerDeviceD0}));
    EXPECT_TRUE(layer->IsConnected());

    // Connected but not enabled is still there; answered without the connected bit, gone.
    bus->ScriptPortStatus(kPort, {{STATUS_SUCCESS, USBD_PORT_CONNECTED}});
    EXPECT_FALSE(layer->IsDeviceGone());
    bus->ScriptPortStatus(kPort, {{STATUS_SUCCESS, USBD_PORT_ENABLED}});
    EXPECT_TRUE(layer->IsDeviceGone());
    EXPECT_FALSE(layer->IsConnected());
}

TEST_F(UsbLayerTest, IsDeviceGoneOnOtherPortFailuresAndSilentSecondAnswer)
{
    Attach();
    // Not there the second time: gone, no reset, no cycle.
    bus->ScriptPortStatus(kPort, {{STATUS_NO_SUCH_DEVICE, 0}, {STATUS_SUCCESS, 0}});
    EXPECT_TRUE(layer->IsDeviceGone());
    EXPECT_EQ(Count(EventKind::ResetPort) + Count(EventKind::CyclePort), 0u);
    layer->SetConnected(TRUE);
    bus->ScriptPortStatus(kPort, {{STATUS_UNSUCCESSFUL, 0}});
    EXPECT_TRUE(layer->IsDeviceGone());
    EXPECT_EQ(Count(EventKind::PortStatus), 3u);
}

TEST_F(UsbLayerTest, ConfigurationFetchRefusesHeadersThatWouldLetWalksOverRead)
{
    struct Case
    {
        size_t offset;
        uint8_t value;
    } cases[] = {{0, 0}, {0, 8}, {1, 4}, {2, 8}, {2, 0}}; // bLength, type, wTotalLength < 9
    for (const Case &c : cases)
    {
        SCOPED_TRACE(testing::Message() << "offset " << c.offset << " value " << int(c.value));
        auto headset = usbsim::VirtualDevice::Uac1();
        usbsim::Set8(headset->Descriptors().configuration, c.offset, c.value);
        if (c.offset == 2)
            usbsim::Set8(headset->Descriptors().configuration, 3, 0);
        Attach(headset);
        EXPECT_EQ(layer->ReadConfigurationDescriptor(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(layer->GetConfigurationDescriptor(), nullptr);
        Restart();
    }
}

TEST_F(UsbLayerTest, ConfigurationFetchCutsWTotalLengthToTheBytesReturned)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    const size_t real = headset->Descriptors().configuration.size();
    usbsim::Set16(headset->Descriptors().configuration, 2, uint16_t(real + 100));
    Attach(headset);
    ASSERT_EQ(layer->ReadConfigurationDescriptor(), STATUS_SUCCESS);
    ASSERT_NE(layer->GetConfigurationDescriptor(), nullptr);
    EXPECT_EQ(layer->GetConfigurationDescriptor()->wTotalLength, real);
    EXPECT_EQ(Urbs().back().wLength, real + 100);
    EXPECT_TRUE(sim::DebugLogContains("wTotalLength " + std::to_string(real + 100)));

    // A short second answer is cut as well.
    bus->InjectFault(kPort, GetDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE),
                     {usbsim::FaultKind::Short, 40, 0, 0, -1});
    usbsim::Set16(device->Descriptors().configuration, 2, uint16_t(real));
    ASSERT_EQ(layer->ReadConfigurationDescriptor(), STATUS_SUCCESS);
    EXPECT_EQ(layer->GetConfigurationDescriptor()->wTotalLength, 40);
}

TEST_F(UsbLayerTest, DeviceDescriptorMustBeWhole)
{
    Attach();
    bus->InjectFault(kPort, GetDescriptor(USB_DEVICE_DESCRIPTOR_TYPE),
                     {usbsim::FaultKind::Short, 17, 0, 0, -1});
    EXPECT_EQ(layer->ReadDeviceDescriptor(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(layer->GetIdentity().VendorId, 0);
}

TEST_F(UsbLayerTest, BusInterfaceIsReferencedOnceAndGivenBackAtTeardown)
{
    Attach();
    StartHardware();
    EXPECT_EQ(bus->BusInterfaceReferences(kPort), 1);
    ULONG frame = 77;
    EXPECT_EQ(layer->GetCurrentFrame(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, sim::FrameNumber());
    bus->FailQueryBusTime(kPort);
    frame = 77;
    EXPECT_FALSE(NT_SUCCESS(layer->GetCurrentFrame(&frame)));
    EXPECT_EQ(frame, 0u);
    EXPECT_EQ(layer->AcquireBusInterface(), STATUS_SUCCESS); // already held: no second reference
    EXPECT_EQ(bus->BusInterfaceReferences(kPort), 1);
    DestroyLayer();
    EXPECT_EQ(bus->BusInterfaceReferences(kPort), 0);
}

TEST_F(UsbLayerTest, BusInterfaceFailuresEndTheStartAndLeakNothing)
{
    Attach();
    bus->FailBusInterfaceQuery(kPort);
    EXPECT_EQ(layer->AcquireBusInterface(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(bus->BusInterfaceReferences(kPort), 0);
    bus->FailBusInterfaceQuery(kPort, STATUS_SUCCESS);
    bus->NullBusContext(kPort);
    EXPECT_EQ(layer->AcquireBusInterface(), STATUS_UNSUCCESSFUL);
    ULONG frame = 5;
    layer->GetCurrentFrame(&frame);
    EXPECT_EQ(frame, 0u);
    DestroyLayer();
    EXPECT_EQ(bus->BusInterfaceReferences(kPort), 0);
}

TEST_F(UsbLayerTest, HighSpeedComesFromTheBusInterface)
{
    Attach(usbsim::VirtualDevice::Uac2());
    StartHardware();
    EXPECT_TRUE(layer->IsHighSpeed());
}
