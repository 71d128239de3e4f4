// The simulated machine the host program runs the system on: the kernel stand-in on the virtual or
// the real-time clock, "\SystemRoot\" over a host folder, and the simulated headset's registry entries.
#pragma once

#include <ntkernel.h>
#include <sim/kernel_sim.h>
#include <sim/registry_sim.h>

#include <filesystem>
#include <string>

namespace host
{

// The instance the host's headset is entered under.
inline constexpr char kHeadsetInstance[] = "6&2F1A0C3B&0&1";

class SimulatedMachine
{
public:
    // Boots the kernel stand-in on `clock`; "\SystemRoot\" stands for systemRoot. On the real-time
    // clock the driver's request timeouts are wall time: a loaded machine can let one pass before
    // the simulated bus answers.
    SimulatedMachine(const std::filesystem::path &systemRoot, sim::ClockMode clock);
    ~SimulatedMachine();
    SimulatedMachine(const SimulatedMachine &) = delete;
    SimulatedMachine &operator=(const SimulatedMachine &) = delete;

    // The end-of-run checks, once: "" when the system left nothing behind. The destructor then only
    // resets.
    std::string Finish();

    // Writes the Enum entries and software key of a headset with these identifiers (hardware IDs
    // as the USB bus makes them, most specific first) and returns its device object.
    PDEVICE_OBJECT PlugHeadset(uint16_t vendorId, uint16_t productId, uint16_t revision);

    const sim::registry::DeviceInstance &Headset() const { return m_Headset; }
    std::string SettingsKey() const { return m_Headset.driverKey + "\\Settings"; }

private:
    sim::registry::DeviceInstance m_Headset;
    alignas(16) unsigned char m_DeviceObject[64] = {};
    bool m_Finished = false;
};

// "STATUS_SUCCESS", "STATUS_UNSUCCESSFUL (0xC0000001)", ... for messages.
std::string StatusText(NTSTATUS status);

// The driver's DbgPrint lines so far under a "Driver log" heading; nothing when it logged none.
void PrintDriverLog();

} // namespace host
