// The host program's commands. Each runs on a freshly booted simulated machine.
#pragma once

#include <filesystem>

namespace host
{

struct Options
{
    std::filesystem::path examples = "examples"; // the folder that stands for "\SystemRoot\"
};

// Imports the INI file of `examples` into the simulated headset's settings, as the driver does at
// device start, and prints the resulting "Settings" values. Returns the process exit code.
int RunSettings(const Options &options);

} // namespace host
