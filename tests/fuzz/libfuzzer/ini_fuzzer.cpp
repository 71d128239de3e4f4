// libFuzzer entry point: the input is the INI file, imported into a fresh simulated headset.
// Built only with clang (see ../CMakeLists.txt); aborts on a leak or a key or file left open.
#include "driver/core/ini_reader.h"

#include <sim/files_sim.h>
#include <sim/kernel_sim.h>
#include <sim/registry_sim.h>

#include "support/fuzz_scratch.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::filesystem::path &root = fuzz_scratch::Folder("zelko-ini-fuzz");
    alignas(16) static unsigned char deviceObject[64];

    sim::ResetAll();
    sim::files::SetSystemRoot(root);
    const auto device = sim::registry::CreateDeviceInstance(
        {{"USB\\VID_5A4C&PID_0610&REV_0100", "USB\\VID_5A4C&PID_0610"}, "6&2F1A0C3B&0&1", ""});
    sim::registry::BindDevice(deviceObject, device);
    std::ofstream(root / "ZELKO610.INI", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(data), std::streamsize(size));

    IniImportSettings(reinterpret_cast<PDEVICE_OBJECT>(deviceObject));

    const std::string leftOver = sim::EndOfTestChecks();
    if (!leftOver.empty())
    {
        std::fprintf(stderr, "%s", leftOver.c_str());
        std::abort();
    }
    return 0;
}
