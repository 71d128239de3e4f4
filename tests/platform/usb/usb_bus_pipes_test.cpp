// Selections with their length checks, pipe handles going stale, interrupt and bulk reads that wait
// for data, overrun, ABORT_PIPE on held and isochronous transfers, halts and SYNC_RESET.
#include "usb_bus_test_support.h"

using namespace usbtest;
using usbsim::EventKind;
using usbsim::VirtualDevice;

namespace
{

class UsbBusPipes : public BusTest
{
};

// The headset with its bulk IN endpoint.
std::shared_ptr<VirtualDevice> BulkHeadset()
{
    usbsim::Uac2Options o;
    o.bulkIn = true;
    return VirtualDevice::Uac2(o);
}

struct Read
{
    UrbBuffer urb;
    Bytes buf;
    std::unique_ptr<Sent> sent;
    Read(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG length) : buf(length, 0xEE)
    {
        UsbBuildInterruptOrBulkTransferRequest(urb.get(), sizeof(URB_BULK_OR_INTERRUPT_TRANSFER), pipe,
                                               buf.data(), nullptr, length,
                                               USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, nullptr);
        sent = Build(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb.get());
        Call(pdo, *sent);
    }
    ~Read() { Free(*sent); }
};

TEST_F(UsbBusPipes, SelectConfigurationWritesPipesAndChecksLengths)
{
    auto dev = BulkHeadset();
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);

    // One byte short of the last pipe: refused, nothing written.
    auto shortSel = MakeSelection(dev->Descriptors().configuration);
    ASSERT_NE(shortSel->urb, nullptr);
    shortSel->urb->UrbHeader.Length -= 1;
    EXPECT_EQ(SendUrb(pdo, shortSel->urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(shortSel->urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(shortSel->Interface(0)->Pipes[0].PipeHandle, nullptr);
    EXPECT_EQ(bus->ConfigurationHandle(1), nullptr);
    // A record whose Length leaves out a pipe of its interface.
    auto lying = MakeSelection(dev->Descriptors().configuration);
    lying->Interface(0)->Length = GET_USBD_INTERFACE_SIZE(1);
    EXPECT_EQ(SendUrb(pdo, lying->urb), STATUS_INVALID_PARAMETER);
    // An interface the configuration does not have.
    auto missing = MakeSelection(dev->Descriptors().configuration);
    missing->Interface(2)->AlternateSetting = 9;
    EXPECT_EQ(SendUrb(pdo, missing->urb), STATUS_INVALID_PARAMETER);

    auto sel = MakeSelection(dev->Descriptors().configuration);
    ASSERT_EQ(SendUrb(pdo, sel->urb), STATUS_SUCCESS);
    USBD_CONFIGURATION_HANDLE config = sel->urb->UrbSelectConfiguration.ConfigurationHandle;
    EXPECT_NE(config, nullptr);
    EXPECT_EQ(config, bus->ConfigurationHandle(1));
    PUSBD_INTERFACE_INFORMATION ac = sel->Interface(0);
    EXPECT_EQ(ac->Class, USB_DEVICE_CLASS_AUDIO);
    EXPECT_EQ(ac->SubClass, USB_AUDIO_SUBCLASS_AUDIOCONTROL);
    EXPECT_EQ(ac->Protocol, USB_AUDIO_PROTOCOL_UAC2);
    ASSERT_EQ(ac->NumberOfPipes, 2u);
    EXPECT_EQ(ac->Pipes[0].EndpointAddress, 0x83);
    EXPECT_EQ(ac->Pipes[0].PipeType, UsbdPipeTypeInterrupt);
    EXPECT_EQ(ac->Pipes[0].MaximumPacketSize, 6);
    EXPECT_EQ(ac->Pipes[0].Interval, 4);
    EXPECT_EQ(ac->Pipes[1].EndpointAddress, 0x84);
    EXPECT_EQ(ac->Pipes[1].PipeType, UsbdPipeTypeBulk);
    EXPECT_EQ(ac->Pipes[1].MaximumPacketSize, 512);
    EXPECT_NE(ac->Pipes[0].PipeHandle, ac->Pipes[1].PipeHandle);
    EXPECT_EQ(sel->Interface(1)->NumberOfPipes, 0u) << "alternate 0 is zero-bandwidth";

    // SELECT_INTERFACE: render alternate 1 has the data OUT and the feedback IN pipe.
    InterfaceSelection tooSmall(config, 1, 1, 1);
    EXPECT_EQ(SendUrb(pdo, tooSmall.urb.get()), STATUS_INVALID_PARAMETER);
    InterfaceSelection render(config, 1, 1, 2);
    ASSERT_EQ(SendUrb(pdo, render.urb.get()), STATUS_SUCCESS);
    ASSERT_EQ(render.Info()->NumberOfPipes, 2u);
    EXPECT_EQ(render.Info()->Pipes[0].EndpointAddress, 0x01);
    EXPECT_EQ(render.Info()->Pipes[0].PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(render.Info()->Pipes[1].EndpointAddress, 0x81);
    EXPECT_EQ(bus->CurrentAlternate(1, 1), 1);
    InterfaceSelection stale(reinterpret_cast<USBD_CONFIGURATION_HANDLE>(0x1234), 1, 2, 2);
    EXPECT_EQ(SendUrb(pdo, stale.urb.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bus->CurrentAlternate(1, 1), 1);

    // Back to alternate 0: the old data pipe's handle is stale.
    USBD_PIPE_HANDLE old = render.Info()->Pipes[0].PipeHandle;
    InterfaceSelection zero(config, 1, 0, 0);
    ASSERT_EQ(SendUrb(pdo, zero.urb.get()), STATUS_SUCCESS);
    EXPECT_EQ(bus->PipeHandle(1, 0x01), nullptr);
    UrbBuffer abort;
    abort->UrbPipeRequest.Hdr.Length = sizeof(URB_PIPE_REQUEST);
    abort->UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort->UrbPipeRequest.PipeHandle = old;
    EXPECT_EQ(SendUrb(pdo, abort.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(abort->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    // An isochronous URB on the stale handle is an engine violation and records nothing.
    IsoUrb iso(old, 8, 52, false);
    {
        auto v = ScopedExpectViolation("stale or unknown pipe handle");
        EXPECT_EQ(SendUrb(pdo, iso.urb.get()), STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(bus->Iso(1).OutPacketCount(0x01), 0u);

    // Deconfiguring makes every handle stale.
    USBD_PIPE_HANDLE status = ac->Pipes[0].PipeHandle;
    UrbBuffer none;
    UsbBuildSelectConfigurationRequest(none.get(), sizeof(URB_SELECT_CONFIGURATION), nullptr);
    EXPECT_EQ(SendUrb(pdo, none.get()), STATUS_SUCCESS);
    EXPECT_EQ(bus->ConfigurationHandle(1), nullptr);
    Read r(pdo, status, 6);
    EXPECT_EQ(r.urb->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

    auto selections = bus->Log(EventKind::SelectConfiguration);
    ASSERT_EQ(selections.size(), 5u);
    EXPECT_EQ(selections[0].status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(selections[3].status, STATUS_SUCCESS);
    EXPECT_EQ(selections[3].configurationValue, 1);
    auto ifaces = bus->Log(EventKind::SelectInterface);
    ASSERT_EQ(ifaces.size(), 4u);
    EXPECT_EQ(ifaces[1].interfaceNumber, 1);
    EXPECT_EQ(ifaces[1].alternateSetting, 1);
    EXPECT_EQ(ifaces[1].status, STATUS_SUCCESS);
}

// A setting with fewer whole endpoint descriptors than its bNumEndpoints cannot be opened as named: the
// stack refuses to select it, by configuration or by interface, and opens no pipe for it. A setting
// that is not selected does not stop the configuration.
TEST_F(UsbBusPipes, SettingShortOfItsEndpointsIsRefusedWhenSelected)
{
    usbsim::DescriptorSet set = usbsim::BuildUac1Headset();
    Bytes &c = set.configuration;
    // The render setting names a second endpoint that is not there; the capture setting's endpoint, the
    // configuration's last, is cut by its end.
    usbsim::Set8(c, size_t(usbsim::FindInterface(c, 1, 1)) + 4, 2);
    usbsim::Truncate(c, size_t(usbsim::FindEndpoint(c, 2, 1)) + 5);
    usbsim::FixTotalLength(c);
    auto dev = VirtualDevice::Make(set, usbsim::DeviceFamily::Uac1);
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);

    auto withRender = MakeSelection(c, {{0, 0}, {1, 1}, {2, 0}});
    ASSERT_NE(withRender->urb, nullptr);
    EXPECT_EQ(SendUrb(pdo, withRender->urb), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(withRender->urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bus->ConfigurationHandle(1), nullptr);

    auto sel = MakeSelection(c);
    ASSERT_EQ(SendUrb(pdo, sel->urb), STATUS_SUCCESS);
    for (const auto &[number, pipes] : {std::pair<uint8_t, size_t>{1, 2}, {2, 1}})
    {
        InterfaceSelection refused(bus->ConfigurationHandle(1), number, 1, pipes);
        EXPECT_EQ(SendUrb(pdo, refused.urb.get()), STATUS_INVALID_PARAMETER) << int(number);
        EXPECT_EQ(refused.urb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER) << int(number);
        EXPECT_EQ(bus->CurrentAlternate(1, number), 0) << int(number);
    }
    EXPECT_EQ(bus->PipeHandle(1, 0x01), nullptr);
    EXPECT_EQ(bus->PipeHandle(1, 0x82), nullptr);
    auto ifaces = bus->Log(EventKind::SelectInterface);
    ASSERT_EQ(ifaces.size(), 2u);
    EXPECT_EQ(ifaces[0].status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(ifaces[1].status, STATUS_INVALID_PARAMETER);
    auto configs = bus->Log(EventKind::SelectConfiguration);
    ASSERT_EQ(configs.size(), 2u);
    EXPECT_EQ(configs[0].status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(configs[1].status, STATUS_SUCCESS);
}

TEST_F(UsbBusPipes, ReadsWaitForDataAndOverrunIsAnError)
{
    auto dev = BulkHeadset();
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    auto sel = MakeSelection(dev->Descriptors().configuration);
    ASSERT_EQ(SendUrb(pdo, sel->urb), STATUS_SUCCESS);
    USBD_PIPE_HANDLE status = sel->Interface(0)->Pipes[0].PipeHandle;
    USBD_PIPE_HANDLE bulk = sel->Interface(0)->Pipes[1].PipeHandle;

    Read a(pdo, status, 6);
    EXPECT_EQ(a.sent->callStatus, STATUS_PENDING);
    sim::AdvanceMs(60000);
    EXPECT_FALSE(a.sent->completed) << "an interrupt read waits for the device";
    const Bytes message = {0x00, 0x01, 0x01, 0x02, 0x00, 0x02}; // UAC2 interrupt: CUR of volume, unit 2
    bus->PostInData(1, 0x83, message);
    Wait(*a.sent);
    EXPECT_EQ(a.sent->status, STATUS_SUCCESS);
    EXPECT_EQ(a.sent->completionIrql, DISPATCH_LEVEL);
    EXPECT_EQ(a.urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 6u);
    EXPECT_EQ(a.buf, message);

    // Posted first, read later: at once; a shorter chunk gives its own length.
    bus->PostInData(1, 0x84, {1, 2, 3});
    Read b(pdo, bulk, 512);
    Wait(*b.sent);
    EXPECT_EQ(b.urb->UrbBulkOrInterruptTransfer.TransferBufferLength, 3u);
    EXPECT_EQ(Bytes(b.buf.begin(), b.buf.begin() + 3), (Bytes{1, 2, 3}));

    // More than the buffer: overrun, nothing copied.
    Read c(pdo, status, 6);
    bus->PostInData(1, 0x83, Bytes(7, 0x55));
    Wait(*c.sent);
    EXPECT_EQ(c.sent->status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(c.urb->UrbHeader.Status, USBD_STATUS_DATA_OVERRUN);
    EXPECT_EQ(c.buf, Bytes(6, 0xEE));

    // Reads complete in the order they were sent.
    Read d1(pdo, status, 6), d2(pdo, status, 6);
    bus->PostInData(1, 0x83, {1});
    bus->PostInData(1, 0x83, {2});
    Wait(*d1.sent);
    Wait(*d2.sent);
    EXPECT_EQ(d1.buf[0], 1);
    EXPECT_EQ(d2.buf[0], 2);

    auto urbs = bus->Log(EventKind::Urb);
    ASSERT_GE(urbs.size(), 2u);
    EXPECT_EQ(urbs[1].function, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    EXPECT_EQ(urbs[1].endpoint, 0x83);
    EXPECT_EQ(urbs[1].wLength, 6);
    EXPECT_EQ(urbs[1].data, message);
    EXPECT_EQ(urbs[1].length, 6u);
}

TEST_F(UsbBusPipes, BulkOutIsRecorded)
{
    // The bulk endpoint turned into an OUT one: what the host sends is kept per transfer.
    usbsim::Uac2Options o;
    o.bulkIn = true;
    usbsim::DescriptorSet set = usbsim::BuildUac2Headset(o);
    long ep = -1;
    for (unsigned n = 0; ep < 0 || set.configuration[size_t(ep) + 2] != 0x84; ++n)
        ASSERT_GE(ep = usbsim::FindDescriptor(set.configuration, USB_ENDPOINT_DESCRIPTOR_TYPE, -1, n), 0);
    usbsim::Set8(set.configuration, size_t(ep) + 2, 0x04);
    auto dev = VirtualDevice::Make(set, usbsim::DeviceFamily::Uac2);
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    auto sel = MakeSelection(dev->Descriptors().configuration);
    ASSERT_EQ(SendUrb(pdo, sel->urb), STATUS_SUCCESS);
    USBD_PIPE_HANDLE bulk = bus->PipeHandle(1, 0x04);
    ASSERT_NE(bulk, nullptr);
    for (Bytes data : {Bytes{1, 2, 3}, Bytes(512, 0x5A)})
    {
        UrbBuffer urb;
        UsbBuildInterruptOrBulkTransferRequest(urb.get(), sizeof(URB_BULK_OR_INTERRUPT_TRANSFER), bulk,
                                               data.data(), nullptr, ULONG(data.size()),
                                               USBD_TRANSFER_DIRECTION_OUT, nullptr);
        EXPECT_EQ(SendUrb(pdo, urb.get()), STATUS_SUCCESS);
        EXPECT_EQ(urb->UrbBulkOrInterruptTransfer.TransferBufferLength, data.size());
    }
    EXPECT_EQ(bus->OutData(1, 0x04), (std::vector<Bytes>{{1, 2, 3}, Bytes(512, 0x5A)}));
}

TEST_F(UsbBusPipes, AbortHaltAndSyncReset)
{
    auto dev = VirtualDevice::Uac1();
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    auto sel = MakeSelection(dev->Descriptors().configuration);
    ASSERT_EQ(SendUrb(pdo, sel->urb), STATUS_SUCCESS);
    USBD_PIPE_HANDLE status = sel->Interface(0)->Pipes[0].PipeHandle;

    // ABORT_PIPE returns after its three held reads have completed as cancelled.
    {
        Read r1(pdo, status, 2), r2(pdo, status, 2), r3(pdo, status, 2);
        EXPECT_EQ(bus->PendingTransfers(1), 3u);
        UrbBuffer abort;
        abort->UrbPipeRequest.Hdr.Length = sizeof(URB_PIPE_REQUEST);
        abort->UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
        abort->UrbPipeRequest.PipeHandle = status;
        auto s = Build(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, abort.get());
        Call(pdo, *s);
        for (Read *r : {&r1, &r2, &r3})
        {
            EXPECT_TRUE(r->sent->completed);
            EXPECT_EQ(r->sent->status, STATUS_CANCELLED);
            EXPECT_EQ(r->urb->UrbHeader.Status, USBD_STATUS_CANCELED);
        }
        Wait(*s);
        EXPECT_EQ(s->status, STATUS_SUCCESS);
        Free(*s);
        EXPECT_EQ(bus->PendingTransfers(1), 0u);
    }

    // ABORT_PIPE on an isochronous pipe: the engine cancels its transfers before it returns.
    InterfaceSelection render(bus->ConfigurationHandle(1), 1, 1, 1);
    ASSERT_EQ(SendUrb(pdo, render.urb.get()), STATUS_SUCCESS);
    USBD_PIPE_HANDLE out = render.Info()->Pipes[0].PipeHandle;
    std::vector<std::unique_ptr<IsoUrb>> urbs;
    std::vector<std::unique_ptr<Sent>> sent;
    for (int k = 0; k < 3; ++k)
    {
        urbs.push_back(std::make_unique<IsoUrb>(out, 10, 176, false));
        sent.push_back(Build(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urbs.back()->urb.get()));
        Call(pdo, *sent.back());
        EXPECT_EQ(sent.back()->callStatus, STATUS_PENDING);
    }
    EXPECT_EQ(bus->Iso(1).Outstanding(), 3u);
    UrbBuffer abort;
    abort->UrbPipeRequest.Hdr.Length = sizeof(URB_PIPE_REQUEST);
    abort->UrbPipeRequest.Hdr.Function = URB_FUNCTION_ABORT_PIPE;
    abort->UrbPipeRequest.PipeHandle = out;
    auto a = Build(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, abort.get());
    Call(pdo, *a);
    for (auto &s : sent)
    {
        EXPECT_TRUE(s->completed);
        EXPECT_EQ(s->status, STATUS_CANCELLED);
        Free(*s);
    }
    Wait(*a);
    EXPECT_EQ(a->status, STATUS_SUCCESS);
    Free(*a);

    // A halted pipe fails transfers until SYNC_RESET; a failing reset leaves it halted.
    bus->HaltPipe(1, 0x83);
    {
        Read h(pdo, status, 2);
        Wait(*h.sent);
        EXPECT_EQ(h.sent->status, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(h.urb->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    }
    UrbBuffer reset;
    reset->UrbPipeRequest.Hdr.Length = sizeof(URB_PIPE_REQUEST);
    reset->UrbPipeRequest.Hdr.Function = URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    reset->UrbPipeRequest.PipeHandle = status;
    bus->FailSyncReset(1, 0x83, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SendUrb(pdo, reset.get()), STATUS_UNSUCCESSFUL);
    {
        Read h(pdo, status, 2);
        Wait(*h.sent);
        EXPECT_EQ(h.urb->UrbHeader.Status, USBD_STATUS_ENDPOINT_HALTED);
    }
    bus->FailSyncReset(1, 0x83, STATUS_SUCCESS);
    EXPECT_EQ(SendUrb(pdo, reset.get()), STATUS_SUCCESS);
    {
        Read h(pdo, status, 2);
        EXPECT_EQ(h.sent->callStatus, STATUS_PENDING);
        bus->PostInData(1, 0x83, {0x00, 0x02});
        Wait(*h.sent);
        EXPECT_EQ(h.sent->status, STATUS_SUCCESS);
    }

    // Malformed URBs: an unknown function, a short header.
    UrbBuffer bad;
    bad->UrbHeader.Length = sizeof(URB_HEADER);
    bad->UrbHeader.Function = 0x0055;
    EXPECT_EQ(SendUrb(pdo, bad.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(bad->UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);
    bad->UrbHeader.Function = URB_FUNCTION_CLASS_INTERFACE;
    EXPECT_EQ(SendUrb(pdo, bad.get()), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SendIoctl(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, nullptr), STATUS_INVALID_PARAMETER);
}

} // namespace

// The port's engine outlives its devices: an unplugged device's pipes must leave it, or every plug
// after adds its own and each transfer walks them all.
TEST_F(UsbBusPipes, UnplugClosesTheDevicesPipesSoReplugsDoNotPileThemUp)
{
    auto openPipes = [&]
    {
        size_t n = 0;
        for (usbsim::IsoPipeId id = 1; id < 64; ++id)
            n += bus->Iso(1).PipeOpen(id);
        return n;
    };
    for (int round = 0; round < 3; ++round)
    {
        ASSERT_NE(bus->Plug(1, VirtualDevice::Uac1()), nullptr);
        ASSERT_NE(SelectAlternate(*bus, 1, 1, 1).handle, nullptr);
        EXPECT_EQ(openPipes(), 1u) << round;
        bus->Unplug(1);
        EXPECT_EQ(openPipes(), 0u) << round;
    }
}

TEST_F(UsbBusPipes, UnplugEndsIsochronousTransfersAndRefusesNewOnes)
{
    auto dev = VirtualDevice::Uac1();
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    const SelectedPipe render = SelectAlternate(*bus, 1, 1, 1);
    ASSERT_NE(render.handle, nullptr);
    USBD_PIPE_HANDLE out = render.handle;
    std::vector<std::unique_ptr<IsoUrb>> urbs;
    std::vector<std::unique_ptr<Sent>> sent;
    auto submit = [&]
    {
        urbs.push_back(std::make_unique<IsoUrb>(out, 10, 176, false));
        sent.push_back(Build(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urbs.back()->urb.get()));
        Call(pdo, *sent.back());
    };
    for (int k = 0; k < 3; ++k)
    {
        submit();
        EXPECT_EQ(sent.back()->callStatus, STATUS_PENDING);
    }
    ASSERT_EQ(bus->Iso(1).Outstanding(), 3u);

    PDEVICE_OBJECT ref = IoGetAttachedDeviceReference(pdo); // keeps the PDO for the late submission
    bus->Unplug(1);
    for (size_t k = 0; k < 3; ++k)
    {
        SCOPED_TRACE(k);
        EXPECT_TRUE(sent[k]->completed) << "completed before Unplug returns";
        EXPECT_EQ(sent[k]->status, STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(urbs[k]->Iso().Hdr.Status, USBD_STATUS_DEVICE_GONE);
    }
    EXPECT_EQ(bus->Iso(1).Outstanding(), 0u);
    const uint8_t endpoint = render.endpoint;
    const uint64_t recorded = bus->Iso(1).OutPacketCount(endpoint);
    submit();
    EXPECT_TRUE(sent.back()->completedInCall);
    EXPECT_EQ(sent.back()->callStatus, STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(urbs.back()->Iso().Hdr.Status, USBD_STATUS_DEVICE_GONE);
    sim::AdvanceMs(20);
    EXPECT_EQ(bus->Iso(1).OutPacketCount(endpoint), recorded) << "nothing reaches the sink";
    for (auto &s : sent)
        Free(*s);
    ObDereferenceObject(ref);
}
