// libFuzzer entry for the USB audio function's walks: a device class, a configuration and a script of
// control replies (layout in support/usb_audio_walk_harness.h). CI seeds it with what
// usb_audio_walk_seeds writes: the builders' headsets and the malformed corpus, for each class.
//
// A configuration the walks accept is then plugged as a headset of its class on the simulated bus,
// started, every format it offers streamed briefly, and removed: a misuse report of the USB stack
// stand-in (or of the kernel's) is a crash, as is a format offered that does not stream. Each
// configuration goes on the bus once a run: the device it makes ignores the input's reply script, so a
// second round of the same bytes would repeat the first.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_set>

#include <sim/files_sim.h>
#include <sim/kernel_sim.h>
#include <sim/pnp_sim.h>
#include <sim/usb_pnp.h>

#include "support/fuzz_one_core.h"
#include "support/fuzz_scratch.h"
#include "support/usb_audio_walk_harness.h"
#include "support/usb_device_rounds.h"

namespace
{

void Crash(const std::string &what)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

// The configuration as a headset of the class the input names, with the builders' jacks and strings.
std::shared_ptr<usbsim::VirtualDevice> Headset(const uint8_t *config, size_t bytes, bool uac2)
{
    auto reference = uac2 ? usbsim::VirtualDevice::Uac2() : usbsim::VirtualDevice::Uac1();
    usbsim::DescriptorSet set = reference->Descriptors();
    set.configuration.assign(config, config + bytes);
    usbsim::FixTotalLength(set.configuration);
    auto device =
        usbsim::VirtualDevice::Make(set, uac2 ? usbsim::DeviceFamily::Uac2 : usbsim::DeviceFamily::Uac1);
    device->jacks = reference->jacks;
    device->presenceMask = reference->presenceMask;
    if (!uac2)
    {
        device->SetString(0x50, u"Huld");
        device->otherReads[0x02u << 16 | 0x51] = {0x1F};
    }
    return device;
}

// Long enough for every format to move data (the first packets go out two frames after the start);
// longer only repeats the same packets.
constexpr unsigned kStreamMs = 4;

void StreamOnTheBus(const uint8_t *data, size_t size)
{
    const bool uac2 = UsbAudioDeviceClass(data[0] % 7) == UsbAudioDeviceClass::Uac2;
    size_t bytes = data[1] | data[2] << 8;
    if (bytes > size - 3)
        bytes = size - 3;
    if (bytes < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return;
    // What the walks accepted ends at wTotalLength (the adapter stand-in hands out no more than it
    // holds): bytes past it were never read, so they are not plugged, and a change to them is no new
    // configuration to stream.
    const size_t total = data[3 + 2] | data[3 + 3] << 8;
    if (total < bytes)
        bytes = total;
    if (bytes < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return;
    // A hash for each configuration, so a long run holds a few words for each one it streamed.
    static std::unordered_set<size_t> streamed;
    const std::string_view config(reinterpret_cast<const char *>(data + 3), bytes);
    if (!streamed.insert(std::hash<std::string_view>()(config) ^ size_t(uac2)).second)
        return;
    sim::ResetAll();
    sim::files::SetSystemRoot(fuzz_scratch::Folder("zelko-walk-fuzz"));
    std::string broke;
    {
        usbsim::Bus bus;
        usbsim::AttachPnpManager(bus);
        if (sim::pnp::LoadDriver(&DriverEntry) != STATUS_SUCCESS)
            Crash("the driver did not load");
        broke = device_rounds::PlugStreamRemove(bus, 1, Headset(data + 3, bytes, uac2), kStreamMs);
    }
    sim::pnp::UnloadDriver();
    sim::RunUntilIdle();
    const std::string leftOver = sim::EndOfTestChecks();
    if (!broke.empty() || !leftOver.empty())
        Crash(broke + leftOver);
}

} // namespace

// The stand-ins' threads stay on one core (see support/fuzz_one_core.h).
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz_one_core::PinUnlessWorkers(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // No handler: every misuse report prints and aborts.
    sim::SetViolationHandler(nullptr);
    sim::ResetAll();
    NTSTATUS result = STATUS_UNSUCCESSFUL;
    const std::string broke = walk_harness::RunWalks(data, size, &result);
    const std::string leftOver = sim::EndOfTestChecks();
    if (!broke.empty() || !leftOver.empty())
        Crash(broke + leftOver);
    if (NT_SUCCESS(result))
        StreamOnTheBus(data, size);
    return 0;
}
