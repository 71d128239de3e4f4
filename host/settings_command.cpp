// "settings": the INI import of device start, and the settings it leaves.
#include "commands.h"
#include "machine.h"

#include <sim/usb_bus.h>

#include "driver/core/ini_reader.h"

#include <cctype>
#include <cstdio>

namespace host
{

namespace
{

// The file the driver opens by default, found as the target's file system would: without case.
std::filesystem::path FindIniFile(const std::filesystem::path &folder)
{
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(folder, ec))
    {
        std::string name = entry.path().filename().string();
        for (char &c : name)
            c = char(std::toupper(static_cast<unsigned char>(c)));
        if (name == "ZELKO610.INI" && entry.is_regular_file(ec))
            return entry.path();
    }
    return {};
}

} // namespace

int RunSettings(const Options &options)
{
    const auto headset = BuildHeadset(options.device);
    if (!headset)
    {
        std::fprintf(stderr, "zelko-host: settings: no headset '%s'\n", options.device.c_str());
        return 2;
    }
    const auto iniFile = FindIniFile(options.examples);
    if (iniFile.empty())
    {
        std::fprintf(stderr, "zelko-host: settings: no ZELKO610.INI in %s\n",
                     OneLine(options.examples.string()).c_str());
        return 2;
    }

    SimulatedMachine machine(options.examples, sim::ClockMode::Real);
    PDEVICE_OBJECT device =
        machine.PlugHeadset(headset->VendorId(), headset->ProductId(), headset->BcdDevice());
    const NTSTATUS status = IniImportSettings(device);

    std::printf("Device     --device %s  %s (instance %s)\n", options.device.c_str(),
                machine.Headset().hardwareIds[0].c_str(), machine.Headset().instanceName.c_str());
    std::printf("INI file   \\SystemRoot\\%s  (%s)\n", iniFile.filename().string().c_str(),
                iniFile.string().c_str());
    std::printf("Import     %s\n", StatusText(status).c_str());
    std::printf("Settings   %s\n", machine.SettingsKey().c_str());
    const std::string dump = sim::registry::Dump(machine.SettingsKey());
    std::fputs(dump.empty() ? "  (no values)\n" : dump.c_str(), stdout);
    PrintDriverLog(); // why an import stopped
    return NT_SUCCESS(status) ? 0 : 1;
}

} // namespace host
