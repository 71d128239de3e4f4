// The virtual headsets --device names, each under its own hardware identifier (rows of the INI's
// "SALVIN").
#include "commands.h"

#include <sim/usb_builders.h>
#include <sim/usb_bus.h>

#include "driver/base/usb_vendor_ids.h"

namespace host
{

namespace
{
constexpr uint16_t kRevision = 0x0100;
} // namespace

std::shared_ptr<usbsim::VirtualDevice> BuildHeadset(const std::string &name)
{
    auto uac1 = [](uint16_t productId, bool speaker = false)
    {
        usbsim::Uac1Options options;
        options.vendorId = SalvineVendorId;
        options.productId = productId;
        options.bcdDevice = kRevision;
        options.speaker = speaker;
        return usbsim::VirtualDevice::Uac1(options);
    };
    // A class 1.0 headset that names its chip family in the identification string.
    auto named = [&](uint16_t productId, const std::u16string &text, bool speaker = false)
    {
        auto device = uac1(productId, speaker);
        device->SetString(0x50, text);
        return device;
    };
    // The plain headset carries the maker's generic chip: its identification string and the
    // revision byte the detection reads (vendor request 0x02, wValue 0x51).
    if (name == "uac1")
    {
        auto device = named(0x0610, u"Huld");
        device->otherReads[0x02u << 16 | 0x51] = {0x1F};
        return device;
    }
    if (name == "uac2")
    {
        usbsim::Uac2Options options;
        options.vendorId = SalvineVendorId;
        options.productId = 0x0620;
        options.bcdDevice = kRevision;
        return usbsim::VirtualDevice::Uac2(options);
    }
    if (name == "mirk")
    {
        usbsim::ChipOptions options;
        options.vendorId = SalvineVendorId;
        options.productId = 0x0630;
        auto device = usbsim::VirtualDevice::Chip(options);
        device->Registers()[8] = 0x00; // not the revision the quirk rows name
        return device;
    }
    if (name == "dova")
        return named(0x0640, u"Dova");
    if (name == "tesh")
        return named(0x0650, u"Tesh");
    // The effect headsets' playback feature unit announces the room effect (vendor control 139) and
    // the headphone surround (140) in its memory block.
    auto effects = [](std::shared_ptr<usbsim::VirtualDevice> device)
    {
        device->Entity(usbsim::kUac1PlaybackFu).memory = {0x02, 0x00, 0x00, 0x0C};
        return device;
    };
    if (name == "plon") // its speaker terminal carries the effect parameter node
        return effects(named(0x0660, u"SVQ4RTB", true));
    // One of the chip family's own vendor/product pairs, no identification string; its render stream is
    // 7.1, so a speaker rather than headphones.
    if (name == "grue")
        return effects(uac1(0x0161, true));
    return nullptr;
}

bool RenderPathProcessed(const std::string &name)
{
    // Grue's 7.1 stream passes the room effect, whose dry path (the one taken while it is off) folds
    // to stereo with a gain; Plon's, its switches off, only folds, which leaves a stereo source as it was.
    return name == "grue";
}

bool SurroundRunsInTheDriver(const std::string &name)
{
    // Grue's effect unit carries the surround engine; Plon's plain feature unit only forwards the
    // vendor switch to the device.
    return name == "grue";
}

} // namespace host
