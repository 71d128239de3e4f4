// The control plane: audio-class requests over entity state (UAC1 CUR/MIN/MAX/RES/SET_CUR, GET_MEM,
// selector; UAC2 CUR/RANGE/MEM and the clock), the endpoint rate and its effect on IN packets,
// injected faults, the chip family and the canned vendor requests, and the exact log fields.
#include "usb_bus_test_support.h"

using namespace usbtest;
using usbsim::EventKind;
using usbsim::FaultKind;
using usbsim::RequestMatch;
using usbsim::RequestType;
using usbsim::VirtualDevice;

namespace
{

class UsbControlPlane : public BusTest
{
};

constexpr USHORT kClassIf = URB_FUNCTION_CLASS_INTERFACE;
constexpr USHORT kVendorIf = URB_FUNCTION_VENDOR_INTERFACE;

uint16_t Entity(uint8_t id, uint8_t iface = 0)
{
    return uint16_t(id << 8 | iface);
}
uint16_t Cs(uint8_t selector, uint8_t channel)
{
    return uint16_t(selector << 8 | channel);
}

TEST_F(UsbControlPlane, Uac1FeatureUnitRequestsWithOneAndTwoByteData)
{
    // bControlSize 2 with bass (bit 2) added to the master controls of the playback unit.
    usbsim::Uac1Options o;
    o.controlSize = 2;
    o.selector = true;
    usbsim::DescriptorSet set = usbsim::BuildUac1Headset(o);
    long fu = usbsim::FindDescriptor(set.configuration, USB_CS_INTERFACE_DESCRIPTOR_TYPE, 0x06, 0);
    ASSERT_GT(fu, 0);
    ASSERT_EQ(set.configuration[size_t(fu) + 3], usbsim::kUac1PlaybackFu);
    ASSERT_EQ(set.configuration[size_t(fu) + 5], 2);
    usbsim::Set8(set.configuration, size_t(fu) + 6, 0x07);
    auto dev = VirtualDevice::Make(set, usbsim::DeviceFamily::Uac1);
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    const uint16_t fuIndex = Entity(usbsim::kUac1PlaybackFu);

    // Volume, 2 bytes, channel 1: -12 dB, from -60 dB to 0 in 1 dB steps (1/256 dB units).
    Bytes d;
    EXPECT_EQ(ControlRequest(pdo, kClassIf, true, 0x81, Cs(2, 1), fuIndex, d, 2).status, STATUS_SUCCESS);
    EXPECT_EQ(d, (Bytes{0x00, 0xF4}));
    ControlRequest(pdo, kClassIf, true, 0x82, Cs(2, 1), fuIndex, d, 2);
    EXPECT_EQ(d, (Bytes{0x00, 0xC4}));
    ControlRequest(pdo, kClassIf, true, 0x83, Cs(2, 1), fuIndex, d, 2);
    EXPECT_EQ(d, (Bytes{0x00, 0x00}));
    ControlRequest(pdo, kClassIf, true, 0x84, Cs(2, 1), fuIndex, d, 2);
    EXPECT_EQ(d, (Bytes{0x00, 0x01}));
    Bytes v = {0x80, 0xFD}; // -2.5 dB
    auto r = ControlRequest(pdo, kClassIf, false, 0x01, Cs(2, 1), fuIndex, v, 2);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(r.length, 2u);
    EXPECT_EQ(dev->Control(usbsim::kUac1PlaybackFu, 2, 1).cur, -0x0280);
    ControlRequest(pdo, kClassIf, true, 0x81, Cs(2, 1), fuIndex, d, 2);
    EXPECT_EQ(d, v);

    // Bass, 1 byte, master channel, signed quarter dB.
    ControlRequest(pdo, kClassIf, true, 0x82, Cs(3, 0), fuIndex, d, 1);
    EXPECT_EQ(d, (Bytes{0xD0})); // -48 = -12 dB
    ControlRequest(pdo, kClassIf, true, 0x83, Cs(3, 0), fuIndex, d, 1);
    EXPECT_EQ(d, (Bytes{0x30}));
    Bytes bass = {0xF8};
    EXPECT_EQ(ControlRequest(pdo, kClassIf, false, 0x01, Cs(3, 0), fuIndex, bass, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(dev->Control(usbsim::kUac1PlaybackFu, 3, 0).cur, -8);
    // Mute, 1 byte.
    Bytes on = {1};
    ControlRequest(pdo, kClassIf, false, 0x01, Cs(1, 0), fuIndex, on, 1);
    ControlRequest(pdo, kClassIf, true, 0x81, Cs(1, 0), fuIndex, d, 1);
    EXPECT_EQ(d, on);

    // A wrong data length, a channel without the control, an unknown entity: stalls.
    Bytes one = {0x10};
    r = ControlRequest(pdo, kClassIf, false, 0x01, Cs(2, 1), fuIndex, one, 1);
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(r.usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(ControlRequest(pdo, kClassIf, true, 0x81, Cs(3, 1), fuIndex, d, 1).usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(ControlRequest(pdo, kClassIf, true, 0x81, Cs(2, 1), Entity(40), d, 2).usbd,
              USBD_STATUS_STALL_PID);
    EXPECT_EQ(dev->Control(usbsim::kUac1PlaybackFu, 2, 1).cur, -0x0280)
        << "a stalled SET_CUR changes nothing";

    // GET_MEM: the 2-byte size first, then the block.
    ControlRequest(pdo, kClassIf, true, 0x85, 0, fuIndex, d, 2);
    EXPECT_EQ(d, (Bytes{0x04, 0x00}));
    ControlRequest(pdo, kClassIf, true, 0x85, 0, fuIndex, d, 6);
    EXPECT_EQ(d, (Bytes{0x04, 0x00, 0x11, 0x22, 0x33, 0x44}));

    // Selector CUR: input pin 1 of 1.
    ControlRequest(pdo, kClassIf, true, 0x81, 0, Entity(usbsim::kUac1Selector), d, 1);
    EXPECT_EQ(d, (Bytes{1}));
    Bytes pin = {1};
    EXPECT_EQ(ControlRequest(pdo, kClassIf, false, 0x01, 0, Entity(usbsim::kUac1Selector), pin, 1).status,
              STATUS_SUCCESS);

    // The log holds the exact setup of the SET_CUR on the volume.
    std::vector<usbsim::Event> urbs = bus->Log(EventKind::Urb);
    ASSERT_GE(urbs.size(), 5u);
    const usbsim::Event &set5 = urbs[4];
    EXPECT_EQ(set5.function, kClassIf);
    EXPECT_EQ(set5.bmRequestType, 0x21);
    EXPECT_EQ(set5.bRequest, 0x01);
    EXPECT_EQ(set5.wValue, 0x0201);
    EXPECT_EQ(set5.wIndex, 0x0200);
    EXPECT_EQ(set5.wLength, 2);
    EXPECT_EQ(set5.data, v);
    EXPECT_TRUE(set5.completed);
    EXPECT_EQ(set5.usbdStatus, USBD_STATUS_SUCCESS);
    EXPECT_EQ(set5.status, STATUS_SUCCESS);
    EXPECT_EQ(set5.length, 2u);
    const usbsim::Event &get = urbs[0];
    EXPECT_EQ(get.bmRequestType, 0xA1);
    EXPECT_EQ(get.bRequest, 0x81);
    EXPECT_EQ(get.data, (Bytes{0x00, 0xF4}));
}

TEST_F(UsbControlPlane, Uac2RangeLayoutsAndTheClock)
{
    auto dev = VirtualDevice::Uac2();
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    const uint16_t fu = Entity(usbsim::kUac2PlaybackFu);
    Bytes d;
    // 2-byte layout: wNumSubRanges, then MIN, MAX, RES of 2 bytes.
    EXPECT_EQ(ControlRequest(pdo, kClassIf, true, 0x02, Cs(2, 1), fu, d, 8).status, STATUS_SUCCESS);
    EXPECT_EQ(d, (Bytes{0x01, 0x00, 0x00, 0xC4, 0x00, 0x00, 0x00, 0x01}));
    // 1-byte layout (a bass control put into the unit's state).
    usbsim::ControlState bass;
    bass.size = 1;
    bass.min = -48;
    bass.max = 48;
    bass.res = 2;
    dev->Control(usbsim::kUac2PlaybackFu, 3, 0) = bass;
    ControlRequest(pdo, kClassIf, true, 0x02, Cs(3, 0), fu, d, 5);
    EXPECT_EQ(d, (Bytes{0x01, 0x00, 0xD0, 0x30, 0x02}));
    // CUR read and write; the master mute.
    ControlRequest(pdo, kClassIf, true, 0x01, Cs(2, 2), fu, d, 2);
    EXPECT_EQ(d, (Bytes{0x00, 0xF4}));
    Bytes mute = {1};
    EXPECT_EQ(ControlRequest(pdo, kClassIf, false, 0x01, Cs(1, 0), fu, mute, 1).status, STATUS_SUCCESS);
    EXPECT_EQ(dev->Control(usbsim::kUac2PlaybackFu, 1, 0).cur, 1);
    // MEM.
    ControlRequest(pdo, kClassIf, true, 0x03, 0, fu, d, 2);
    EXPECT_EQ(d, (Bytes{0x04, 0x00}));

    // The clock RANGE in two reads: wNumSubRanges, then the whole block of 4-byte triples.
    const uint16_t clock = Entity(usbsim::kUac2Clock);
    auto r = ControlRequest(pdo, kClassIf, true, 0x02, Cs(1, 0), clock, d, 2);
    EXPECT_EQ(r.length, 2u);
    ASSERT_EQ(d, (Bytes{0x03, 0x00}));
    const uint16_t full = uint16_t(2 + 3 * 12);
    r = ControlRequest(pdo, kClassIf, true, 0x02, Cs(1, 0), clock, d, full);
    EXPECT_EQ(r.length, full);
    Bytes expect = {0x03, 0x00};
    for (uint32_t rate : {44100u, 48000u, 96000u})
        for (uint32_t v : {rate, rate, 0u})
            for (int k = 0; k < 4; ++k)
                expect.push_back(uint8_t(v >> (8 * k)));
    EXPECT_EQ(d, expect);
    // The first 14 bytes (count and the first range) read as the driver asks first.
    ControlRequest(pdo, kClassIf, true, 0x02, Cs(1, 0), clock, d, 14);
    EXPECT_EQ(d, Bytes(expect.begin(), expect.begin() + 14));

    // Clock CUR: 48 kHz; a rate inside the ranges is taken, one outside stalls and changes nothing.
    ControlRequest(pdo, kClassIf, true, 0x01, Cs(1, 0), clock, d, 4);
    EXPECT_EQ(d, (Bytes{0x80, 0xBB, 0x00, 0x00}));
    Bytes rate = {0x00, 0x77, 0x01, 0x00}; // 96000
    EXPECT_EQ(ControlRequest(pdo, kClassIf, false, 0x01, Cs(1, 0), clock, rate, 4).status, STATUS_SUCCESS);
    EXPECT_EQ(dev->EndpointRate(0x82), 96000u);
    EXPECT_EQ(bus->Iso(1).StreamFormat(0x82).sampleRate, 96000u);
    Bytes bad = {0x50, 0xC3, 0x00, 0x00}; // 50000
    r = ControlRequest(pdo, kClassIf, false, 0x01, Cs(1, 0), clock, bad, 4);
    EXPECT_EQ(r.usbd, USBD_STATUS_STALL_PID);
    EXPECT_EQ(r.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(dev->Control(usbsim::kUac2Clock, 1, 0).cur, 96000);
    // Clock validity (shares wValue 0x0200 with the jack-presence form).
    ControlRequest(pdo, kClassIf, true, 0x01, Cs(2, 0), clock, d, 1);
    EXPECT_EQ(d, (Bytes{0x01}));

    // Valid alternate settings of the render interface: alternates 0, 1 and 2.
    ControlRequest(pdo, kClassIf, true, 0x01, Cs(2, 0), 0x0001, d, 5);
    EXPECT_EQ(d, (Bytes{0x04, 0x07, 0x00, 0x00, 0x00}));
}

// An isochronous IN transfer of `packets` packets of `slot` bytes each, ASAP; returns the lengths.
// An isochronous IN transfer of `packets` packets of `slot` bytes each, ASAP; returns the lengths.
std::vector<ULONG> ReadIso(PDEVICE_OBJECT pdo, USBD_PIPE_HANDLE pipe, ULONG packets, ULONG slot)
{
    IsoUrb iso(pipe, packets, slot, true);
    EXPECT_EQ(SendUrb(pdo, iso.urb.get()), STATUS_SUCCESS);
    std::vector<ULONG> lengths;
    for (ULONG i = 0; i < packets; ++i)
        lengths.push_back(iso.Iso().IsoPacket[i].Length);
    return lengths;
}

TEST_F(UsbControlPlane, EndpointSetCurChangesInPacketSizes)
{
    auto dev = VirtualDevice::Uac1(); // capture IN 0x82: mono, 2 bytes, wMaxPacketSize 98
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    const SelectedPipe capture = SelectAlternate(*bus, 1, 2, 1);
    USBD_PIPE_HANDLE pipe = capture.handle;
    ASSERT_EQ(capture.endpoint, 0x82);
    EXPECT_EQ(bus->Iso(1).StreamFormat(0x82).sampleRate, 44100u) << "the first listed rate";

    // 48 kHz: 48 frames of 2 bytes in every 1 ms packet.
    Bytes rate = {0x80, 0xBB, 0x00};
    Bytes got;
    auto r = ControlRequest(pdo, URB_FUNCTION_CLASS_ENDPOINT, false, 0x01, 0x0100, 0x82, rate, 3);
    ASSERT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(dev->EndpointRate(0x82), 48000u);
    ControlRequest(pdo, URB_FUNCTION_CLASS_ENDPOINT, true, 0x81, 0x0100, 0x82, got, 3);
    EXPECT_EQ(got, rate);
    EXPECT_EQ(ReadIso(pdo, pipe, 10, 98), std::vector<ULONG>(10, 96));

    // 44.1 kHz: nine packets of 44 frames and one of 45.
    rate = {0x44, 0xAC, 0x00};
    ASSERT_EQ(ControlRequest(pdo, URB_FUNCTION_CLASS_ENDPOINT, false, 0x01, 0x0100, 0x82, rate, 3).status,
              STATUS_SUCCESS);
    std::vector<ULONG> lengths = ReadIso(pdo, pipe, 10, 98);
    ULONG total = 0;
    for (ULONG l : lengths)
    {
        EXPECT_TRUE(l == 88 || l == 90) << l;
        total += l;
    }
    EXPECT_EQ(total, 441u * 2);

    // A rate of 0 or a short rate field stalls; an endpoint without the control stalls.
    Bytes zero = {0, 0, 0};
    EXPECT_EQ(ControlRequest(pdo, URB_FUNCTION_CLASS_ENDPOINT, false, 0x01, 0x0100, 0x82, zero, 3).usbd,
              USBD_STATUS_STALL_PID);
    Bytes two = {0x80, 0xBB};
    EXPECT_EQ(ControlRequest(pdo, URB_FUNCTION_CLASS_ENDPOINT, false, 0x01, 0x0100, 0x82, two, 2).usbd,
              USBD_STATUS_STALL_PID);
    EXPECT_EQ(ControlRequest(pdo, URB_FUNCTION_CLASS_ENDPOINT, false, 0x01, 0x0100, 0x83, rate, 3).usbd,
              USBD_STATUS_STALL_PID);
    EXPECT_EQ(dev->EndpointRate(0x82), 44100u);
}

TEST_F(UsbControlPlane, DescriptorsAndStringsAreCappedAtWLength)
{
    usbsim::Uac1Options o;
    auto dev = VirtualDevice::Uac1(o);
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    const Bytes &config = dev->Descriptors().configuration;
    Bytes d;
    EXPECT_EQ(GetDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, d, 9), STATUS_SUCCESS);
    EXPECT_EQ(d, Bytes(config.begin(), config.begin() + 9));
    const uint16_t total = usbsim::Get16(config, 2);
    EXPECT_EQ(GetDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, d, total), STATUS_SUCCESS);
    EXPECT_EQ(d, config);
    EXPECT_EQ(GetDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, d, 4096), STATUS_SUCCESS);
    EXPECT_EQ(d.size(), config.size()) << "a larger buffer gets what there is";
    auto urbs = bus->Log(EventKind::Urb);
    ASSERT_EQ(urbs.size(), 3u);
    EXPECT_EQ(urbs[0].wLength, 9);
    EXPECT_EQ(urbs[0].wValue, 0x0200);
    EXPECT_EQ(urbs[0].bmRequestType, 0x80);
    EXPECT_EQ(urbs[0].bRequest, USB_REQUEST_GET_DESCRIPTOR);
    EXPECT_EQ(urbs[0].function, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE);
    EXPECT_EQ(urbs[1].wLength, total);
    EXPECT_EQ(urbs[1].length, total);

    // Strings: the language list, a text, a raw override; a missing index stalls.
    GetDescriptor(pdo, USB_STRING_DESCRIPTOR_TYPE, 0, d, 255);
    EXPECT_EQ(d, (Bytes{4, 3, 0x09, 0x04}));
    GetDescriptor(pdo, USB_STRING_DESCRIPTOR_TYPE, 2, d, 255);
    EXPECT_EQ(d, usbsim::StringDescriptor(o.product));
    EXPECT_EQ(urbs[0].wIndex, 0x0409);
    dev->SetRawString(2, {0xFF, 3, 'A', 0});
    GetDescriptor(pdo, USB_STRING_DESCRIPTOR_TYPE, 2, d, 255);
    EXPECT_EQ(d, (Bytes{0xFF, 3, 'A', 0}));
    USBD_STATUS usbd = 0;
    EXPECT_EQ(GetDescriptor(pdo, USB_STRING_DESCRIPTOR_TYPE, 0x50, d, 104, &usbd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_STALL_PID);
    EXPECT_TRUE(d.empty());
}

TEST_F(UsbControlPlane, InjectedFaults)
{
    auto dev = VirtualDevice::Uac1();
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    RequestMatch config;
    config.bRequest = USB_REQUEST_GET_DESCRIPTOR;
    config.wValue = 0x0200;
    Bytes d;

    // Short: the answer is cut; TransferBufferLength says so.
    int id = bus->InjectFault(1, config, {FaultKind::Short, 5});
    EXPECT_EQ(GetDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, d, 9), STATUS_SUCCESS);
    EXPECT_EQ(d,
              Bytes(dev->Descriptors().configuration.begin(), dev->Descriptors().configuration.begin() + 5));
    bus->ClearFault(id);

    // Wrong length: the bytes are there, the length field lies.
    id = bus->InjectFault(1, config, {FaultKind::WrongLength, 300});
    UrbBuffer urb;
    Bytes buf(9);
    UsbBuildGetDescriptorRequest(urb.get(), sizeof(URB_CONTROL_DESCRIPTOR_REQUEST),
                                 USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buf.data(), nullptr, 9, nullptr);
    EXPECT_EQ(SendUrb(pdo, urb.get()), STATUS_SUCCESS);
    EXPECT_EQ(urb->UrbControlDescriptorRequest.TransferBufferLength, 300u);
    EXPECT_EQ(buf,
              Bytes(dev->Descriptors().configuration.begin(), dev->Descriptors().configuration.begin() + 9));
    bus->ClearFault(id);

    // Stall on a request the device would answer.
    id = bus->InjectFault(1, config, {FaultKind::Stall});
    USBD_STATUS usbd = 0;
    EXPECT_EQ(GetDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, d, 9, &usbd), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(usbd, USBD_STATUS_STALL_PID);
    bus->ClearFault(id);

    // Fail after 2, once: success, success, failure with the given statuses, success.
    usbsim::ControlFault after{FaultKind::FailAfter, 2, USBD_STATUS_DEV_NOT_RESPONDING, STATUS_NO_SUCH_DEVICE,
                               1};
    id = bus->InjectFault(1, config, after);
    EXPECT_EQ(GetDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, d, 9), STATUS_SUCCESS);
    EXPECT_EQ(GetDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, d, 9), STATUS_SUCCESS);
    EXPECT_EQ(GetDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, d, 9, &usbd), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(usbd, USBD_STATUS_DEV_NOT_RESPONDING);
    EXPECT_EQ(GetDescriptor(pdo, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, d, 9), STATUS_SUCCESS);
    // Other requests were never affected.
    EXPECT_EQ(GetDescriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, 0, d, 18), STATUS_SUCCESS);
    bus->ClearFault(id);

    // Delay: the answer comes 499 virtual ms later, on the DPC thread.
    id = bus->InjectFault(1, config, {FaultKind::Delay, 499});
    auto s = Build(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb.get());
    urb->UrbControlDescriptorRequest.TransferBufferLength = 9;
    const LONGLONG t0 = sim::Now();
    Call(pdo, *s);
    EXPECT_EQ(s->callStatus, STATUS_PENDING);
    sim::AdvanceMs(498);
    EXPECT_FALSE(s->completed);
    sim::AdvanceMs(1);
    Wait(*s);
    EXPECT_EQ(sim::Now() - t0, 499 * 10000);
    EXPECT_EQ(s->status, STATUS_SUCCESS);
    EXPECT_EQ(s->completionIrql, DISPATCH_LEVEL);
    Free(*s);
    bus->ClearFault(id);

    // No answer until cancelled.
    id = bus->InjectFault(1, config, {FaultKind::NoAnswer});
    s = Build(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb.get());
    Call(pdo, *s);
    sim::AdvanceMs(10000);
    EXPECT_FALSE(s->completed);
    EXPECT_TRUE(IoCancelIrp(s->irp));
    EXPECT_TRUE(s->completed);
    EXPECT_EQ(s->status, STATUS_CANCELLED);
    EXPECT_EQ(urb->UrbHeader.Status, USBD_STATUS_CANCELED);
    Free(*s);
    bus->ClearFault(id);

    // Synchronous mode: the answer is there when IofCallDriver returns.
    bus->SetSynchronous(true);
    s = Build(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb.get());
    urb->UrbControlDescriptorRequest.TransferBufferLength = 9;
    Call(pdo, *s);
    EXPECT_TRUE(s->completedInCall);
    EXPECT_EQ(s->callStatus, STATUS_SUCCESS);
    Free(*s);
    bus->SetSynchronous(false);

    auto urbs = bus->Log(EventKind::Urb);
    ASSERT_FALSE(urbs.empty());
    EXPECT_EQ(urbs[1].length, 300u);
    EXPECT_EQ(urbs[2].usbdStatus, USBD_STATUS_STALL_PID);
}

TEST_F(UsbControlPlane, ChipFamilyRegistersReportsAndIdentification)
{
    auto dev = VirtualDevice::Chip();
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    Bytes d;
    GetDescriptor(pdo, USB_STRING_DESCRIPTOR_TYPE, 0x50, d, 104);
    ASSERT_GE(d.size(), 8u);
    EXPECT_EQ(d[1], USB_STRING_DESCRIPTOR_TYPE);
    EXPECT_EQ(Bytes(d.begin() + 2, d.begin() + 8), (Bytes{0x0B, 0x00, 0x05, 0x00, 0x50, 0x00}));

    // Registers 9 and 8: vendor 0x81 to recipient other, wIndex the register.
    ControlRequest(pdo, URB_FUNCTION_VENDOR_OTHER, true, 0x81, 0, 9, d, 1);
    EXPECT_EQ(d, (Bytes{0x9F}));
    ControlRequest(pdo, URB_FUNCTION_VENDOR_OTHER, true, 0x81, 0, 8, d, 1);
    EXPECT_EQ(d[0] & 0x63, 0x03);
    dev->Registers()[9] = 0x12;
    ControlRequest(pdo, URB_FUNCTION_VENDOR_OTHER, true, 0x81, 0, 9, d, 1);
    EXPECT_EQ(d, (Bytes{0x12}));
    EXPECT_EQ(ControlRequest(pdo, URB_FUNCTION_VENDOR_OTHER, true, 0x81, 0, 7, d, 1).usbd,
              USBD_STATUS_STALL_PID);

    // HID SET_REPORT on interface 3 is a register write in the log.
    Bytes report = {0x20, 0x32, 0x30, 0x01};
    EXPECT_EQ(ControlRequest(pdo, kClassIf, false, 0x09, 0x0200, 3, report, 4).status, STATUS_SUCCESS);
    Bytes notReport = {0x21, 0, 0, 0};
    EXPECT_EQ(ControlRequest(pdo, kClassIf, false, 0x09, 0x0200, 3, notReport, 4).usbd,
              USBD_STATUS_STALL_PID);
    auto writes = bus->Log(EventKind::RegisterWrite);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].reg, 1);
    EXPECT_EQ(writes[0].regValue, 0x3032);
    EXPECT_EQ(writes[0].port, 1u);

    // GET_REPORT follows its script, then the default; the switch is bit 0x10 of byte 0.
    dev->reportScript = {{0x10, 0, 0}, {0x00, 0, 0}};
    ControlRequest(pdo, kClassIf, true, 0x01, 0x0100, 3, d, 3);
    EXPECT_EQ(d, (Bytes{0x10, 0, 0}));
    ControlRequest(pdo, kClassIf, true, 0x01, 0x0100, 3, d, 3);
    EXPECT_EQ(d, (Bytes{0x00, 0, 0}));
    dev->reportDefault = {0x10, 0x01, 0x02};
    ControlRequest(pdo, kClassIf, true, 0x01, 0x0100, 3, d, 3);
    EXPECT_EQ(d, (Bytes{0x10, 0x01, 0x02}));
}

TEST_F(UsbControlPlane, CannedVendorAndJackRequestsInBothForms)
{
    auto uac1 = VirtualDevice::Uac1();
    auto uac2 = VirtualDevice::Uac2();
    PDEVICE_OBJECT p1 = bus->Plug(1, uac1);
    PDEVICE_OBJECT p2 = bus->Plug(2, uac2);
    Bytes d;

    // UAC1 vendor form: jack table (first 9 bytes: count and one entry), presence, output types.
    const uint16_t ot1 = Entity(usbsim::kUac1PlaybackOt);
    ControlRequest(p1, kVendorIf, true, 0x81, 0x02FF, ot1, d, 9);
    EXPECT_EQ(d, (Bytes{1, 0x03, 0, 0, 0, 0x00, 0x10, 0x01, 0x00}));
    ControlRequest(p1, kVendorIf, true, 0x81, 0x0200, ot1, d, 6);
    EXPECT_EQ(d, (Bytes{1, 0x03, 0, 0, 0, 0}));
    uac1->presenceMask[usbsim::kUac1PlaybackOt] = 0; // changed over time: unplugged jack
    ControlRequest(p1, kVendorIf, true, 0x81, 0x0200, ot1, d, 6);
    EXPECT_EQ(d, (Bytes{1, 0, 0, 0, 0, 0}));
    uac1->outputTypes[usbsim::kUac1PlaybackOt] = {0x0302, 0x0301};
    uac1->currentOutputType[usbsim::kUac1PlaybackOt] = 0x0302;
    ControlRequest(p1, kVendorIf, true, 0x86, 0x0800, ot1, d, 2);
    EXPECT_EQ(d, (Bytes{2, 0}));
    ControlRequest(p1, kVendorIf, true, 0x86, 0x0800, ot1, d, 14);
    EXPECT_EQ(d, (Bytes{2, 0, 0x02, 0x03, 0, 0, 0, 0, 0x01, 0x03, 0, 0, 0, 0}));
    Bytes sel = {0x01, 0x03};
    EXPECT_EQ(ControlRequest(p1, kVendorIf, false, 0x81, 0x0800, ot1, sel, 2).status, STATUS_SUCCESS);
    ControlRequest(p1, kVendorIf, true, 0x81, 0x0800, ot1, d, 2);
    EXPECT_EQ(d, sel);
    Bytes unknown = {0x05, 0x06};
    EXPECT_EQ(ControlRequest(p1, kVendorIf, false, 0x81, 0x0800, ot1, unknown, 2).usbd,
              USBD_STATUS_STALL_PID);
    // A terminal without jacks stalls.
    EXPECT_EQ(ControlRequest(p1, kVendorIf, true, 0x81, 0x02FF, Entity(usbsim::kUac1PlaybackIt), d, 9).usbd,
              USBD_STATUS_STALL_PID);

    // UAC2 class form: CUR for the table and presence, RANGE for the type list.
    const uint16_t ot2 = Entity(usbsim::kUac2PlaybackOt);
    ControlRequest(p2, kClassIf, true, 0x01, 0x02FF, ot2, d, 9);
    EXPECT_EQ(d, (Bytes{1, 0x03, 0, 0, 0, 0x00, 0x10, 0x01, 0x00}));
    ControlRequest(p2, kClassIf, true, 0x01, 0x0200, ot2, d, 6);
    EXPECT_EQ(d, (Bytes{1, 0x03, 0, 0, 0, 0}));
    uac2->outputTypes[usbsim::kUac2PlaybackOt] = {0x0302};
    uac2->currentOutputType[usbsim::kUac2PlaybackOt] = 0x0302;
    ControlRequest(p2, kClassIf, true, 0x02, 0x0800, ot2, d, 8);
    EXPECT_EQ(d, (Bytes{1, 0, 0x02, 0x03, 0, 0, 0, 0}));
    ControlRequest(p2, kClassIf, true, 0x01, 0x0800, ot2, d, 2);
    EXPECT_EQ(d, (Bytes{0x02, 0x03}));

    // Identification reads to recipient other, vendor requests 7 and 0x10.
    uac1->otherReads[0x02u << 16 | 0x51] = {0x1F};
    ControlRequest(p1, URB_FUNCTION_VENDOR_OTHER, true, 0x02, 0x51, 0, d, 1);
    EXPECT_EQ(d, (Bytes{0x1F}));
    EXPECT_EQ(ControlRequest(p1, URB_FUNCTION_VENDOR_OTHER, true, 0x00, 0x1A, 0, d, 1).usbd,
              USBD_STATUS_STALL_PID);
    Bytes none;
    EXPECT_EQ(ControlRequest(p1, URB_FUNCTION_VENDOR_DEVICE, false, 0x07, 1, 0, none, 0).status,
              STATUS_SUCCESS);
    uac1->stallVendor7 = true;
    EXPECT_EQ(ControlRequest(p1, URB_FUNCTION_VENDOR_DEVICE, false, 0x07, 0, 0, none, 0).usbd,
              USBD_STATUS_STALL_PID);
    EXPECT_EQ(ControlRequest(p2, kVendorIf, false, 0x10, 0, 1, none, 0).status, STATUS_SUCCESS);

    // A handler added later wins over the canned one; removing it brings the canned one back.
    RequestMatch m;
    m.type = RequestType::Vendor;
    m.bRequest = 0x10;
    int h = uac2->AddHandler(m, [](VirtualDevice &, const usbsim::ControlRequest &)
                             { return usbsim::ControlReply::Stall(); });
    EXPECT_EQ(ControlRequest(p2, kVendorIf, false, 0x10, 0, 1, none, 0).usbd, USBD_STATUS_STALL_PID);
    uac2->RemoveHandler(h);
    EXPECT_EQ(ControlRequest(p2, kVendorIf, false, 0x10, 0, 1, none, 0).status, STATUS_SUCCESS);
}

} // namespace
