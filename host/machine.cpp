// The simulated machine of the host program.
#include "machine.h"

#include <sim/files_sim.h>
#include <sim/kernel_sim.h>

#include <cstdio>
#include <vector>

namespace host
{

SimulatedMachine::SimulatedMachine(const std::filesystem::path &systemRoot, sim::ClockMode clock)
{
    sim::ResetAll();
    sim::SetClockMode(clock);
    sim::files::SetSystemRoot(systemRoot);
}

SimulatedMachine::~SimulatedMachine()
{
    if (!m_Finished)
    {
        const std::string leftOver = Finish();
        if (!leftOver.empty())
            std::fprintf(stderr, "zelko-host: the system left kernel state behind:\n%s", leftOver.c_str());
    }
    sim::ResetAll();
}

std::string SimulatedMachine::Finish()
{
    m_Finished = true;
    return sim::EndOfTestChecks();
}

PDEVICE_OBJECT SimulatedMachine::PlugHeadset(uint16_t vendorId, uint16_t productId, uint16_t revision)
{
    char compatible[32], hardware[48];
    std::snprintf(compatible, sizeof compatible, "USB\\VID_%04X&PID_%04X", vendorId, productId);
    std::snprintf(hardware, sizeof hardware, "%s&REV_%04X", compatible, revision);
    m_Headset = sim::registry::CreateDeviceInstance({{hardware, compatible}, kHeadsetInstance, ""});
    auto *device = reinterpret_cast<PDEVICE_OBJECT>(m_DeviceObject);
    sim::registry::BindDevice(device, m_Headset);
    return device;
}

std::string StatusText(NTSTATUS status)
{
    static const struct
    {
        NTSTATUS status;
        const char *name;
    } names[] = {
        {STATUS_SUCCESS, "STATUS_SUCCESS"},
        {STATUS_UNSUCCESSFUL, "STATUS_UNSUCCESSFUL"},
        {STATUS_INVALID_PARAMETER, "STATUS_INVALID_PARAMETER"},
        {STATUS_OBJECT_NAME_NOT_FOUND, "STATUS_OBJECT_NAME_NOT_FOUND"},
        {STATUS_OBJECT_PATH_NOT_FOUND, "STATUS_OBJECT_PATH_NOT_FOUND"},
        {STATUS_INSUFFICIENT_RESOURCES, "STATUS_INSUFFICIENT_RESOURCES"},
        {STATUS_ACCESS_DENIED, "STATUS_ACCESS_DENIED"},
        {STATUS_BUFFER_TOO_SMALL, "STATUS_BUFFER_TOO_SMALL"},
        {STATUS_NO_MATCH, "STATUS_NO_MATCH"},
        {STATUS_IMPLEMENTATION_LIMIT, "STATUS_IMPLEMENTATION_LIMIT"},
    };
    char code[16];
    std::snprintf(code, sizeof code, "0x%08X", uint32_t(status));
    for (const auto &n : names)
        if (n.status == status)
            return status == STATUS_SUCCESS ? n.name : std::string(n.name) + " (" + code + ")";
    return code;
}

void PrintDriverLog()
{
    const std::vector<std::string> messages = sim::DebugLog();
    if (messages.empty())
        return;
    std::printf("Driver log\n");
    for (const std::string &line : messages)
        std::printf("  %s", line.c_str());
}

} // namespace host
