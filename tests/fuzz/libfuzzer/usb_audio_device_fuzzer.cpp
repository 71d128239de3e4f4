// libFuzzer entry for the USB audio device's class selection and the Mirk configuration rewrite.
// Input: two bytes of settings flags, a vendor/product pair (four bytes), then bytes that both serve
// as an identification string descriptor and are laid over the chip's configuration (XOR from the
// start, so most inputs stay close to the real layout). A successful rewrite must chain exactly to
// its wTotalLength, never grow, and keep the class header's total in step; a refused one must leave
// every byte alone.
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sim/kernel_sim.h>
#include <sim/usb_builders.h>

#include "driver/core/usb_audio_device.h"
#include "driver/core/usb_audio_device_tables.h"

namespace
{

void Fail(const char *what)
{
    std::fprintf(stderr, "%s\n", what);
    std::abort();
}

void CheckRewritten(const std::vector<uint8_t> &config, size_t before)
{
    const size_t total = config[2] | config[3] << 8;
    if (total > before)
        Fail("the rewrite grew the configuration");
    size_t at = 0;
    while (at < total)
    {
        if (config[at] < 2 || at + config[at] > total)
            Fail("a rewritten descriptor runs past wTotalLength");
        at += config[at];
    }
    const size_t header = config[kMirkHeaderOffset + 5] | config[kMirkHeaderOffset + 6] << 8;
    // The AudioControl descriptors are the class-specific ones before the first streaming interface.
    size_t counted = 10;
    for (at = kMirkHeaderOffset + 10; at < total && config[at + 1] == 0x24; at += config[at])
        counted += config[at];
    if (header != counted)
        Fail("the class header's total does not match its descriptors");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 6)
        return 0;
    sim::ResetAll();
    const USHORT vendorId = USHORT(data[2] | data[3] << 8), productId = USHORT(data[4] | data[5] << 8);
    const uint8_t *rest = data + 6;
    const size_t restSize = size - 6;

    const UsbAudioDeviceClass selected =
        SelectUac1DeviceClass(rest, ULONG(restSize), TRUE, vendorId, productId);
    if (selected == UsbAudioDeviceClass::Uac2)
        Fail("a class 1.0 string selected the class 2.0 device");

    std::vector<uint8_t> config = usbsim::BuildChipHeadset().configuration;
    for (size_t i = 0; i < restSize && i < config.size(); ++i)
        config[i] ^= rest[i];
    // The driver's copy always holds wTotalLength bytes.
    const size_t claimed = config[2] | config[3] << 8;
    if (claimed > config.size())
        config.resize(claimed);
    const std::vector<uint8_t> original = config;
    UCHAR flags[MIRK_FLAG_COUNT];
    for (ULONG i = 0; i < MIRK_FLAG_COUNT; ++i)
        flags[i] = (data[i / 8] >> (i % 8)) & 1;
    std::vector<UCHAR> scratch(kMirkScratchBytes);
    const NTSTATUS status = MirkRewriteConfiguration(config.data(), flags, scratch.data());
    if (NT_SUCCESS(status))
        CheckRewritten(config, claimed);
    else if (config != original)
        Fail("a refused rewrite changed the configuration");
    const std::string leftOver = sim::EndOfTestChecks();
    if (!leftOver.empty())
        Fail(leftOver.c_str());
    return 0;
}
