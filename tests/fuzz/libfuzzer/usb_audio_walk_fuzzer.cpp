// libFuzzer entry for the USB audio function's walks: a device class, a configuration and a script of
// control replies (layout in support/usb_audio_walk_harness.h). CI seeds it with what
// usb_audio_walk_seeds writes: the builders' headsets and the malformed corpus, for each class.
#include <cstdio>
#include <cstdlib>

#include <sim/kernel_sim.h>

#include "support/usb_audio_walk_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sim::ResetAll();
    const std::string broke = walk_harness::RunWalks(data, size);
    const std::string leftOver = sim::EndOfTestChecks();
    if (!broke.empty() || !leftOver.empty())
    {
        std::fprintf(stderr, "%s%s\n", broke.c_str(), leftOver.c_str());
        std::abort();
    }
    return 0;
}
