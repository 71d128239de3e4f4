// The host program's commands. Each runs on a freshly booted simulated machine.
#pragma once

#include <filesystem>

namespace host
{

struct Options
{
    std::filesystem::path examples = "examples"; // the folder that stands for "\SystemRoot\"
    std::string device = "uac1";                 // the headset "start" plugs in
};

// Imports the INI file of `examples` into the simulated headset's settings, as the driver does at
// device start, and prints the resulting "Settings" values. Returns the process exit code.
int RunSettings(const Options &options);

// Loads the driver on the simulated machine, plugs the headset `options.device` names and prints what
// the start built (PnP steps, device class and capabilities, settings, sub-devices, connections,
// endpoints, topology, interfaces), then removes it and checks the pool. Exit code 0 for a clean start
// and a removal that left nothing behind, else 1 with a one-line reason.
int RunStart(const Options &options);

} // namespace host
