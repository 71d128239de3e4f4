// The builders' class 1.0 and 2.0 headsets with their endpoint and format descriptors mutated, and cut
// at every byte of their last interface: each is plugged, started, every format it offers played or
// recorded for 100 ms of virtual time, and removed. No misuse report of the USB stack stand-in, no
// leak, and every offered format opens and streams. Fixed seeds, every build.
#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <usb_descriptors.h>

#include "support/driver_machine.h"
#include "support/usb_device_rounds.h"

namespace
{

constexpr unsigned kPort = 1;
constexpr unsigned kStreamMs = 100;

class UsbDeviceRandomTest : public DriverMachineTest
{
protected:
    // A headset over `set` with the builders' jacks and the strings its class's detection reads.
    static std::shared_ptr<usbsim::VirtualDevice> Headset(const usbsim::DescriptorSet &set, bool uac2)
    {
        auto reference = uac2 ? usbsim::VirtualDevice::Uac2() : HuldHeadset();
        auto device =
            usbsim::VirtualDevice::Make(set, uac2 ? usbsim::DeviceFamily::Uac2 : usbsim::DeviceFamily::Uac1);
        device->jacks = reference->jacks;
        device->presenceMask = reference->presenceMask;
        device->otherReads = reference->otherReads;
        if (!uac2)
            device->SetString(0x50, u"Huld");
        return device;
    }
    // One round; the failure names it.
    void Round(const usbsim::DescriptorSet &set, bool uac2, const std::string &name)
    {
        const size_t before = sim::Outstanding();
        bool running = false;
        const std::string broke =
            device_rounds::PlugStreamRemove(*bus, kPort, Headset(set, uac2), kStreamMs, &running);
        started += running;
        EXPECT_EQ(broke, "") << name;
        EXPECT_EQ(sim::Outstanding(), before) << name << ": pool blocks left";
    }

    unsigned started = 0; // rounds whose device started, so the rounds test streaming, not refusals
};

// Offsets of every descriptor of `type` (and CS subtype when >= 0) inside the streaming interfaces.
std::vector<size_t> StreamingDescriptors(const usbsim::Bytes &b, uint8_t type, int subtype)
{
    std::vector<size_t> found;
    bool streaming = false;
    for (size_t at = 0; b.size() - at >= 2 && b[at] >= 2 && b[at] <= b.size() - at; at += b[at])
    {
        if (b[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && b[at] >= 9)
            streaming = b[at + 5] == USB_DEVICE_CLASS_AUDIO && b[at + 6] == USB_AUDIO_SUBCLASS_AUDIOSTREAMING;
        if (streaming && b[at + 1] == type && (subtype < 0 || (b[at] >= 3 && b[at + 2] == subtype)))
            found.push_back(at);
    }
    return found;
}

usbsim::DescriptorSet Base(bool uac2)
{
    return uac2 ? usbsim::BuildUac2Headset() : usbsim::BuildUac1Headset();
}

TEST_F(UsbDeviceRandomTest, MutatedEndpointsAndFormatsStreamWhatTheyOfferAndNothingElse)
{
    std::mt19937 rng(38);
    const uint32_t rates[] = {8000, 11025, 22050, 32000, 44100, 48000, 48127, 88200, 96000, 192000};
    for (unsigned round = 0; round < 60; ++round)
    {
        const bool uac2 = round % 2;
        usbsim::DescriptorSet set = Base(uac2);
        usbsim::Bytes &b = set.configuration;
        const auto endpoints = StreamingDescriptors(b, USB_ENDPOINT_DESCRIPTOR_TYPE, -1);
        const auto formats = StreamingDescriptors(b, USB_CS_INTERFACE_DESCRIPTOR_TYPE, 0x02);
        const auto generals = StreamingDescriptors(b, USB_CS_INTERFACE_DESCRIPTOR_TYPE, 0x01);
        const auto settings = StreamingDescriptors(b, USB_INTERFACE_DESCRIPTOR_TYPE, -1);
        std::string name = (uac2 ? "uac2" : "uac1") + std::string(" round ") + std::to_string(round) + ":";
        for (unsigned k = 1 + rng() % 3; k; --k)
        {
            const size_t ep = endpoints[rng() % endpoints.size()];
            const size_t ft = formats[rng() % formats.size()];
            switch (rng() % 8)
            {
            case 0:
            {
                const uint8_t kinds[] = {0x01, 0x05, 0x09, 0x0D, 0x11, 0x25, 0x00, 0x02, 0x03};
                b[ep + 3] = rng() % 4 ? kinds[rng() % std::size(kinds)] : uint8_t(rng());
                name += " bmAttributes";
                break;
            }
            case 1:
                b[ep + 2] = rng() % 2 ? uint8_t(b[ep + 2] ^ 0x80) : uint8_t(rng());
                name += " address";
                break;
            case 2:
                usbsim::Set16(b, ep + 4, uint16_t(rng() % 3 ? rng() % 1100 : rng()));
                name += " wMaxPacketSize";
                break;
            case 3:
                b[settings[rng() % settings.size()] + 4] = uint8_t(rng() % 4);
                name += " bNumEndpoints";
                break;
            case 4: // channels
                if (uac2)
                    b[generals[rng() % generals.size()] + 10] = uint8_t(1 + rng() % 8);
                else
                    b[ft + 4] = uint8_t(1 + rng() % 8);
                name += " channels";
                break;
            case 5:
                b[ft + (uac2 ? 4 : 5)] = uint8_t(rng() % 6);
                name += " subframe";
                break;
            case 6:
                b[ft + (uac2 ? 5 : 6)] = uint8_t(rng() % 34);
                name += " bits";
                break;
            default: // UAC1 discrete rates; class 2.0 rates are the clock's
                if (!uac2 && b[ft + 7] > 0)
                    usbsim::Set24(b, ft + 8 + 3 * (rng() % b[ft + 7]), rates[rng() % std::size(rates)]);
                name += " rate";
                break;
            }
        }
        Round(set, uac2, name);
        if (HasFailure())
            return;
    }
    EXPECT_GE(started, 30u);
}

TEST_F(UsbDeviceRandomTest, EveryCutOfTheLastInterfaceStreamsWhatRemains)
{
    unsigned whole = 0;
    for (const bool uac2 : {false, true})
    {
        const usbsim::DescriptorSet base = Base(uac2);
        const auto settings = StreamingDescriptors(base.configuration, USB_INTERFACE_DESCRIPTOR_TYPE, -1);
        // The last interface from its first setting on.
        const uint8_t last = base.configuration[settings.back() + 2];
        const size_t from = *std::find_if(settings.begin(), settings.end(),
                                          [&](size_t at) { return base.configuration[at + 2] == last; });
        for (size_t cut = from; cut < base.configuration.size(); ++cut)
        {
            usbsim::DescriptorSet set = base;
            usbsim::Truncate(set.configuration, cut);
            usbsim::FixTotalLength(set.configuration);
            const std::string name = (uac2 ? "uac2 cut at " : "uac1 cut at ") + std::to_string(cut);
            sim::ClearDebugLog();
            const unsigned before = started;
            Round(set, uac2, name);
            // Without its first setting the interface is missing, and a configuration short of
            // bNumInterfaces cannot be selected: the start is refused, with its reason.
            if (cut < from + 9)
            {
                EXPECT_EQ(started, before) << name;
                EXPECT_TRUE(sim::DebugLogContains("SelectConfiguration 2 of 3 interfaces found")) << name;
            }
            else
                ++whole;
            if (HasFailure())
                return;
        }
    }
    // Every other cut leaves a device that starts: what the cut took is not offered.
    EXPECT_EQ(started, whole);
}

} // namespace
