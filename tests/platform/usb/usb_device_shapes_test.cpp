// Device shapes real headsets have and the builders do not make: UAC1 format-type descriptors cut
// short, implicit-feedback data endpoints, UAC1 feedback endpoints named only by bSynchAddress.
#include "usb_bus_test_support.h"

using namespace usbtest;
using usbsim::DeviceFamily;
using usbsim::VirtualDevice;

namespace
{

class UsbDeviceShapes : public BusTest
{
};

// Offset of the first descriptor of `type` at or after `from` whose byte `at` is `value`, or -1.
long FindAfter(const Bytes &b, long from, uint8_t type, size_t at, uint8_t value)
{
    for (unsigned n = 0;; ++n)
    {
        const long d = usbsim::FindDescriptor(b, type, -1, n);
        if (d < 0)
            return -1;
        if (d >= from && size_t(d) + at < b.size() && b[size_t(d) + at] == value)
            return d;
    }
}

// The capture alternate's format-type descriptor (interface 2, alternate 1: the last interface).
long CaptureFormat(const Bytes &b)
{
    const long alt = usbsim::FindDescriptor(b, USB_INTERFACE_DESCRIPTOR_TYPE, -1, 4);
    return FindAfter(b, alt, USB_CS_INTERFACE_DESCRIPTOR_TYPE, 2, 0x02);
}

// The descriptor at `at` keeps only its first `length` bytes.
void CutDescriptor(Bytes &b, long at, uint8_t length)
{
    const size_t from = size_t(at);
    b.erase(b.begin() + long(from + length), b.begin() + long(from + b[from]));
    b[from] = length;
    usbsim::FixTotalLength(b);
}

TEST_F(UsbDeviceShapes, Uac1FormatTypeRatesAreReadOnlyInsideTheirDescriptor)
{
    // A format type of bLength 8 ends the configuration: its rate bytes would lie past the buffer
    // (the sanitizer build catches a read there).
    usbsim::DescriptorSet last = usbsim::BuildUac1Headset();
    last.configuration = {0x09, 0x02, 0x1a, 0x00, 0x01, 0x01, 0x00, 0x80, 0x32, 0x09, 0x04, 0x01, 0x00,
                          0x00, 0x01, 0x02, 0x00, 0x00, 0x08, 0x24, 0x02, 0x01, 0x02, 0x02, 0x10, 0x01};
    auto ending = VirtualDevice::Make(last, DeviceFamily::Uac1);
    EXPECT_TRUE(ending->EndpointRates().empty());

    // Cut short before the endpoint, a discrete list (two rates announced) or a continuous range
    // (bSamFreqType 0 needs 14 bytes) gives the endpoint no rate, not bytes of the endpoint descriptor.
    usbsim::Uac1Options continuous;
    continuous.rates = {};
    for (auto [options, cut] : {std::pair{usbsim::Uac1Options{}, uint8_t(8)},
                                {usbsim::Uac1Options{}, uint8_t(13)},
                                {continuous, uint8_t(11)}})
    {
        usbsim::DescriptorSet set = usbsim::BuildUac1Headset(options);
        auto whole = VirtualDevice::Make(set, DeviceFamily::Uac1);
        EXPECT_EQ(whole->EndpointRate(0x82), options.rates.empty() ? 48000u : 44100u)
            << "top of the range, or the first rate";
        CutDescriptor(set.configuration, CaptureFormat(set.configuration), cut);
        auto shortened = VirtualDevice::Make(set, DeviceFamily::Uac1);
        EXPECT_EQ(shortened->EndpointRate(0x82), 0u) << "bLength " << int(cut) << "\n"
                                                     << usbsim::PrintDescriptors(set.configuration);
        EXPECT_EQ(shortened->EndpointRate(0x01), whole->EndpointRate(0x01))
            << "the render alternate is whole";
    }
}

TEST_F(UsbDeviceShapes, ImplicitFeedbackDataEndpointCarriesItsAlternatesFormat)
{
    // Capture IN 0x82 (16-bit mono, high speed, one packet a microframe) marked implicit feedback.
    usbsim::DescriptorSet set = usbsim::BuildUac2Headset();
    const long ep = FindAfter(set.configuration, 0, USB_ENDPOINT_DESCRIPTOR_TYPE, 2, 0x82);
    ASSERT_GT(ep, 0);
    usbsim::Set8(set.configuration, size_t(ep) + 3, 0x25); // isochronous, asynchronous, implicit feedback
    auto dev = VirtualDevice::Make(set, DeviceFamily::Uac2);
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    const SelectedPipe capture = SelectAlternate(*bus, 1, 2, 1);
    ASSERT_EQ(capture.endpoint, 0x82);
    const usbsim::IsoStreamFormat f = bus->Iso(1).StreamFormat(0x82);
    EXPECT_EQ(f.channels, 1);
    EXPECT_EQ(f.bytesPerSample, 2);
    EXPECT_EQ(f.sampleRate, 48000u);
    // 48 kHz over 8000 microframes: 6 mono frames, 12 bytes a packet.
    IsoUrb iso(capture.handle, 8, 64, true);
    ASSERT_EQ(SendUrb(pdo, iso.urb.get()), STATUS_SUCCESS);
    for (ULONG i = 0; i < 8; ++i)
        EXPECT_EQ(iso.Iso().IsoPacket[i].Length, 12u) << i;
}

TEST_F(UsbDeviceShapes, Uac1FeedbackEndpointNamedBySynchAddressSendsFeedback)
{
    // The render alternate becomes asynchronous with a feedback IN 0x81 whose usage bits are 0, named
    // by the data endpoint's bSynchAddress: the audio-class 1.0 way.
    usbsim::DescriptorSet set = usbsim::BuildUac1Headset();
    Bytes &c = set.configuration;
    const long alt = usbsim::FindDescriptor(c, USB_INTERFACE_DESCRIPTOR_TYPE, -1, 2);
    const long data = FindAfter(c, alt, USB_ENDPOINT_DESCRIPTOR_TYPE, 2, 0x01);
    ASSERT_GT(data, alt);
    usbsim::Set8(c, size_t(alt) + 4, 2);     // bNumEndpoints
    usbsim::Set8(c, size_t(data) + 3, 0x05); // isochronous, asynchronous
    usbsim::Set8(c, size_t(data) + 8, 0x81); // bSynchAddress
    const size_t after =
        size_t(data) + c[size_t(data)] + c[size_t(data) + c[size_t(data)]]; // past EP_GENERAL
    usbsim::Insert(c, after, {9, USB_ENDPOINT_DESCRIPTOR_TYPE, 0x81, 0x01, 3, 0, 1, 2, 0});
    usbsim::FixTotalLength(c);
    auto dev = VirtualDevice::Make(set, DeviceFamily::Uac1);
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    auto sel = MakeSelection(c);
    ASSERT_EQ(SendUrb(pdo, sel->urb), STATUS_SUCCESS);
    InterfaceSelection render(bus->ConfigurationHandle(1), 1, 1, 2);
    ASSERT_EQ(SendUrb(pdo, render.urb.get()), STATUS_SUCCESS);
    ASSERT_EQ(render.Info()->NumberOfPipes, 2u);
    ASSERT_EQ(render.Info()->Pipes[1].EndpointAddress, 0x81);

    // 44.1 kHz in 10.14 samples a frame: 44.1 x 16384 = 722534.4, sent as 0x0B0666.
    IsoUrb feedback(render.Info()->Pipes[1].PipeHandle, 4, 3, true);
    ASSERT_EQ(SendUrb(pdo, feedback.urb.get()), STATUS_SUCCESS);
    for (ULONG i = 0; i < 4; ++i)
    {
        const USBD_ISO_PACKET_DESCRIPTOR &p = feedback.Iso().IsoPacket[i];
        ASSERT_EQ(p.Length, 3u) << i;
        EXPECT_EQ(Bytes(feedback.data.begin() + p.Offset, feedback.data.begin() + p.Offset + 3),
                  (Bytes{0x66, 0x06, 0x0B}))
            << i;
    }
}

} // namespace
