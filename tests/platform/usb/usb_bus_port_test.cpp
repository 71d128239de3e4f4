// The hub and its ports: plug and the Enum entries, PnP notices, the port IOCTLs with scripted
// status, reset and cycle, unplug now, at a frame and at the n-th URB.
#include "usb_bus_test_support.h"

#include <sim/registry_sim.h>

using namespace usbtest;
using usbsim::EventKind;
using usbsim::PnpEventKind;
using usbsim::VirtualDevice;

namespace
{

class UsbBusPort : public BusTest
{
};

std::string HardwareIds(PDEVICE_OBJECT pdo)
{
    ULONG need = 0;
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, 0, nullptr, &need), STATUS_BUFFER_TOO_SMALL);
    std::vector<WCHAR> buf(need / 2 + 1, 0);
    EXPECT_EQ(IoGetDeviceProperty(pdo, DevicePropertyHardwareID, need, buf.data(), &need), STATUS_SUCCESS);
    std::string s;
    for (size_t i = 0; i < need / 2; ++i)
        s.push_back(buf[i] ? char(buf[i]) : '|');
    return s;
}

TEST_F(UsbBusPort, PlugWritesEnumEntriesAndAnswersProperties)
{
    usbsim::Uac1Options o;
    o.vendorId = 0x0A1B;
    o.productId = 0x00C2;
    o.bcdDevice = 0x0107;
    PDEVICE_OBJECT pdo = bus->Plug(3, VirtualDevice::Uac1(o));
    ASSERT_NE(pdo, nullptr);
    EXPECT_EQ(bus->Pdo(3), pdo);
    EXPECT_EQ(bus->Plug(3, VirtualDevice::Uac1()), nullptr) << "a taken port";

    // The two hardware IDs, the longer first, as a multi-string.
    EXPECT_EQ(HardwareIds(pdo), "USB\\VID_0A1B&PID_00C2&REV_0107|USB\\VID_0A1B&PID_00C2||");
    const std::string key = bus->InstanceKey(3);
    EXPECT_EQ(key.rfind(std::string(sim::registry::kEnumRoot) + "\\USB\\VID_0A1B&PID_00C2&REV_0107\\", 0), 0u)
        << key;
    EXPECT_TRUE(sim::registry::KeyExists(key + "\\Device Parameters"));

    // The device key opens "Device Parameters"; a value written there is what the driver reads.
    sim::registry::SetDword(key + "\\Device Parameters", "SelectiveSuspendEnabled", 1);
    HANDLE h = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &h), STATUS_SUCCESS);
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"SelectiveSuspendEnabled");
    uint8_t info[64] = {};
    ULONG got = 0;
    ASSERT_EQ(ZwQueryValueKey(h, &name, KeyValuePartialInformation, info, sizeof info, &got), STATUS_SUCCESS);
    auto *v = reinterpret_cast<KEY_VALUE_PARTIAL_INFORMATION *>(info);
    EXPECT_EQ(v->Type, ULONG(REG_DWORD));
    EXPECT_EQ(v->Data[0], 1);
    ZwClose(h);

    // Hardware-profile instance key: named as the instance.
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                                      KEY_ALL_ACCESS, &h),
              STATUS_SUCCESS);
    uint8_t basic[256] = {};
    ASSERT_EQ(ZwQueryKey(h, KeyBasicInformation, basic, sizeof basic, &got), STATUS_SUCCESS);
    auto *b = reinterpret_cast<KEY_BASIC_INFORMATION *>(basic);
    std::string instance;
    for (ULONG i = 0; i < b->NameLength / 2; ++i)
        instance.push_back(char(b->Name[i]));
    EXPECT_EQ(key.substr(key.size() - instance.size()), instance);
    ZwClose(h);

    auto plugs = bus->Log(EventKind::Plug);
    ASSERT_EQ(plugs.size(), 1u);
    EXPECT_EQ(plugs[0].port, 3u);
}

TEST_F(UsbBusPort, PlugWithoutMemoryFailsCleanly)
{
    // Each allocation of the first plug failed in turn: the hub thread, the PDO.
    auto dev = VirtualDevice::Uac1();
    sim::InjectThreadCreateFailure(true);
    EXPECT_EQ(bus->Plug(1, dev), nullptr);
    sim::InjectThreadCreateFailure(false);
    EXPECT_EQ(sim::RunningThreads(), 0u);
    sim::pool::FailTag(MakePoolTag("Devo"));
    EXPECT_EQ(bus->Plug(1, dev), nullptr);
    sim::pool::FailTag(MakePoolTag("Devo"), false);
    EXPECT_EQ(bus->Pdo(1), nullptr);
    EXPECT_EQ(dev->PluggedBus(), nullptr);
    EXPECT_EQ(sim::io::LiveDevices(), 0u);
    EXPECT_TRUE(bus->Log(EventKind::Plug).empty());
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    ASSERT_NE(pdo, nullptr) << "the port is still free";
    Bytes d;
    EXPECT_EQ(GetDescriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, 0, d, 18), STATUS_SUCCESS);
}

TEST_F(UsbBusPort, PortStatusFollowsTheScriptThenTheLiveState)
{
    PDEVICE_OBJECT pdo = bus->Plug(1, VirtualDevice::Uac1());
    bus->ScriptPortStatus(1, {{STATUS_NO_SUCH_DEVICE, 0}, {STATUS_SUCCESS, USBD_PORT_ENABLED}});
    ULONG bits = 0xFFFF;
    EXPECT_EQ(SendIoctl(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(bits, 0u);
    EXPECT_EQ(SendIoctl(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, ULONG(USBD_PORT_ENABLED));
    EXPECT_EQ(SendIoctl(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, 3u) << "live: enabled (1) | connected (2)";
    EXPECT_EQ(SendIoctl(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, nullptr), STATUS_INVALID_PARAMETER);

    auto log = bus->Log(EventKind::PortStatus);
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].status, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(log[1].portStatus, ULONG(USBD_PORT_ENABLED));
    EXPECT_EQ(log[2].portStatus, 3u);
    for (size_t i = 1; i < log.size(); ++i)
        EXPECT_GT(log[i].sequence, log[i - 1].sequence);

    EXPECT_EQ(SendIoctl(pdo, 0x220099, nullptr), STATUS_INVALID_DEVICE_REQUEST) << "an unknown IOCTL";
}

TEST_F(UsbBusPort, UnplugFailsHeldTransfersAndEverythingAfter)
{
    TestFdo fdo;
    fdo.Listen(*bus);
    auto dev = VirtualDevice::Uac1();
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    ASSERT_NE(fdo.fdo, nullptr);
    ASSERT_EQ(fdo.events.size(), 1u);
    EXPECT_EQ(fdo.events[0].kind, PnpEventKind::Arrival);
    EXPECT_EQ(fdo.events[0].pdo, pdo);

    // A request the device never answers is held until the unplug.
    usbsim::RequestMatch any;
    bus->InjectFault(1, any, {usbsim::FaultKind::NoAnswer});
    Bytes buf(18);
    UrbBuffer urb;
    UsbBuildGetDescriptorRequest(urb.get(), sizeof(URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buf.data(), nullptr, 18, nullptr);
    auto held = Build(fdo.fdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb.get());
    Call(fdo.fdo, *held);
    EXPECT_EQ(held->callStatus, STATUS_PENDING);
    sim::AdvanceMs(1000);
    EXPECT_FALSE(held->completed);
    EXPECT_EQ(bus->PendingTransfers(1), 1u);

    bus->Unplug(1);
    EXPECT_TRUE(held->completed) << "completed before Unplug returns";
    EXPECT_EQ(held->status, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
    Free(*held);
    EXPECT_FALSE(bus->Connected(1));
    ASSERT_EQ(fdo.events.size(), 3u);
    EXPECT_EQ(fdo.events[1].kind, PnpEventKind::SurpriseRemoval);
    EXPECT_EQ(fdo.events[2].kind, PnpEventKind::Removal);
    EXPECT_EQ(fdo.fdo, nullptr);
    EXPECT_EQ(bus->Pdo(1), nullptr);
    EXPECT_EQ(sim::io::LiveDevices(), 0u) << "the PDO went once nothing was attached";
    EXPECT_EQ(dev->PluggedBus(), nullptr);

    // The device can come back on another port.
    PDEVICE_OBJECT again = bus->Plug(2, dev);
    ASSERT_NE(again, nullptr);
    Bytes d;
    EXPECT_EQ(GetDescriptor(again, USB_DEVICE_DESCRIPTOR_TYPE, 0, d, 18), STATUS_SUCCESS);
    EXPECT_EQ(d, dev->Descriptors().device);
}

TEST_F(UsbBusPort, UnplugAtTheNthUrbAndAtAFrame)
{
    auto dev = VirtualDevice::Uac1();
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    bus->UnplugAtUrb(1, 3);
    Bytes d;
    EXPECT_EQ(GetDescriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, 0, d, 18), STATUS_SUCCESS);
    EXPECT_EQ(GetDescriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, 0, d, 18), STATUS_SUCCESS);
    // The IRP sender still holds the PDO: it is kept until the stack is gone, and answers "gone".
    PDEVICE_OBJECT ref = IoGetAttachedDeviceReference(pdo);
    USBD_STATUS usbd = 0;
    EXPECT_EQ(GetDescriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, 0, d, 18, &usbd), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(usbd, USBD_STATUS_DEVICE_GONE);
    sim::RunUntilIdle();
    EXPECT_EQ(GetDescriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, 0, d, 18), STATUS_DEVICE_NOT_CONNECTED);
    ULONG bits = 0xFF;
    EXPECT_EQ(SendIoctl(pdo, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits), STATUS_SUCCESS);
    EXPECT_EQ(bits, 0u) << "nothing connected";
    ObDereferenceObject(ref);

    auto urbs = bus->Log(EventKind::Urb);
    ASSERT_EQ(urbs.size(), 4u);
    EXPECT_EQ(urbs[2].status, STATUS_DEVICE_NOT_CONNECTED);
    ASSERT_EQ(bus->Log(EventKind::Unplug).size(), 1u);
    EXPECT_LT(bus->Log(EventKind::Unplug)[0].sequence, urbs[2].sequence);

    // At a frame: the port's own frame numbers, with a moved origin.
    bus->Iso(2).SetFrameOrigin(0xFFFFFFF0u);
    PDEVICE_OBJECT pdo2 = bus->Plug(2, VirtualDevice::Uac2());
    ASSERT_NE(pdo2, nullptr);
    const ULONG start = bus->Iso(2).CurrentFrame();
    bus->UnplugAtFrame(2, start + 40); // across the wrap
    sim::AdvanceMs(39);
    EXPECT_TRUE(bus->Connected(2));
    sim::AdvanceMs(1);
    sim::RunUntilIdle();
    EXPECT_FALSE(bus->Connected(2));
    auto unplugs = bus->Log(EventKind::Unplug);
    ASSERT_EQ(unplugs.size(), 2u);
    EXPECT_EQ(unplugs[1].frame, start + 40);
}

TEST_F(UsbBusPort, ResetKeepsTheSelectionAndCycleReenumerates)
{
    TestFdo fdo;
    fdo.Listen(*bus);
    auto dev = VirtualDevice::Uac1();
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    auto sel = MakeSelection(dev->Descriptors().configuration);
    ASSERT_NE(sel->urb, nullptr);
    ASSERT_EQ(SendUrb(fdo.fdo, sel->urb), STATUS_SUCCESS);
    USBD_PIPE_HANDLE status = bus->PipeHandle(1, 0x83);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(sel->Interface(0)->Pipes[0].PipeHandle, status);

    // A read held on the interrupt pipe, then a port reset: the read ends as cancelled, handles stay.
    Bytes buf(2);
    UrbBuffer read;
    UsbBuildInterruptOrBulkTransferRequest(read.get(), sizeof(URB_BULK_OR_INTERRUPT_TRANSFER), status,
                                           buf.data(), nullptr, 2,
                                           USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
    auto r = Build(fdo.fdo, IOCTL_INTERNAL_USB_SUBMIT_URB, read.get());
    Call(fdo.fdo, *r);
    EXPECT_EQ(r->callStatus, STATUS_PENDING);
    bus->HaltPipe(1, 0x83);
    EXPECT_EQ(SendIoctl(fdo.fdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);
    EXPECT_TRUE(r->completed);
    EXPECT_EQ(r->status, STATUS_CANCELLED);
    EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_CANCELED);
    Free(*r);
    EXPECT_EQ(bus->PipeHandle(1, 0x83), status);
    EXPECT_EQ(bus->ConfigurationHandle(1), sel->urb->UrbSelectConfiguration.ConfigurationHandle);
    // The halt is gone too: a new read waits for data and takes it.
    bus->PostInData(1, 0x83, {0x00, 0x05});
    auto r2 = Build(fdo.fdo, IOCTL_INTERNAL_USB_SUBMIT_URB, read.get());
    read->UrbBulkOrInterruptTransfer.TransferBufferLength = 2;
    Call(fdo.fdo, *r2);
    Wait(*r2);
    EXPECT_EQ(r2->status, STATUS_SUCCESS);
    EXPECT_EQ(buf, (Bytes{0x00, 0x05}));
    Free(*r2);

    // A failing reset is reported as such.
    bus->SetResetPortStatus(1, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SendIoctl(fdo.fdo, IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_UNSUCCESSFUL);

    // Cycle: surprise removal, removal, a new PDO for the same instance, nothing selected.
    const std::string key = bus->InstanceKey(1);
    EXPECT_EQ(SendIoctl(fdo.fdo, IOCTL_INTERNAL_USB_CYCLE_PORT, nullptr), STATUS_SUCCESS);
    sim::RunUntilIdle();
    EXPECT_EQ(bus->CycleCount(1), 1u);
    ASSERT_EQ(fdo.events.size(), 4u);
    EXPECT_EQ(fdo.events[1].kind, PnpEventKind::SurpriseRemoval);
    EXPECT_EQ(fdo.events[2].kind, PnpEventKind::Removal);
    EXPECT_EQ(fdo.events[3].kind, PnpEventKind::Arrival);
    PDEVICE_OBJECT fresh = bus->Pdo(1);
    ASSERT_NE(fresh, nullptr);
    EXPECT_EQ(fdo.events[3].pdo, fresh);
    (void)pdo;
    EXPECT_EQ(bus->InstanceKey(1), key);
    EXPECT_EQ(bus->ConfigurationHandle(1), nullptr);
    EXPECT_EQ(bus->PipeHandle(1, 0x83), nullptr);
    EXPECT_TRUE(bus->Connected(1));
    // The old handle is stale on the new device.
    auto r3 = Build(fdo.fdo, IOCTL_INTERNAL_USB_SUBMIT_URB, read.get());
    Call(fdo.fdo, *r3);
    Wait(*r3);
    EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    Free(*r3);
    EXPECT_EQ(HardwareIds(fresh).substr(0, 8), "USB\\VID_");
}

} // namespace

TEST_F(UsbBusPort, FailureDumpDecodesEveryPluggedDevice)
{
    ASSERT_NE(bus->Plug(2, VirtualDevice::Uac1()), nullptr);
    testing::internal::CaptureStdout();
    PrintBusDevices(*bus);
    const std::string dump = testing::internal::GetCapturedStdout();
    EXPECT_NE(dump.find("port 2 device:"), std::string::npos) << dump;
    EXPECT_EQ(dump.find("port 1 device:"), std::string::npos);
    EXPECT_NE(dump.find("idVendor"), std::string::npos);
    EXPECT_NE(dump.find("(input terminal)"), std::string::npos);
}
