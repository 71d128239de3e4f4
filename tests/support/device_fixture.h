// A simulated headset's registry entries and "\SystemRoot\" folder, for the settings and INI tests.
#pragma once

#include <ntkernel.h>
#include <sim/files_sim.h>
#include <sim/registry_sim.h>

#include "support/kernel_test.h"

#include <fstream>
#include <string>
#include <string_view>
#include <vector>

// A NUL-terminated wide copy of an ASCII text, for the driver's PCWSTR parameters.
class Wide
{
public:
    explicit Wide(std::string_view text)
    {
        for (char c : text)
            m_Text.push_back(WCHAR(UCHAR(c)));
        m_Text.push_back(0);
    }
    operator PCWSTR() const { return m_Text.data(); }

private:
    std::vector<WCHAR> m_Text;
};

class DeviceTest : public KernelTest
{
protected:
    static constexpr char kHardwareId[] = "USB\\VID_5A4C&PID_0610&REV_0100";

    void SetUp() override
    {
        KernelTest::SetUp();
        SetUpDevice();
    }

    // The headset's Enum entries and software key, bound to Device().
    void SetUpDevice()
    {
        instance = sim::registry::CreateDeviceInstance(
            {{kHardwareId, "USB\\VID_5A4C&PID_0610"}, "6&2F1A0C3B&0&1", ""});
        sim::registry::BindDevice(Device(), instance);
    }

    // The driver sees a device object only as a pointer; the registry stand-in binds the pointer.
    PDEVICE_OBJECT Device() { return reinterpret_cast<PDEVICE_OBJECT>(&m_DeviceStorage); }

    std::string SettingsKey() const { return instance.driverKey + "\\Settings"; }

    std::optional<sim::registry::Value> Setting(std::string_view name, std::string_view subKey = {}) const
    {
        return sim::registry::GetValue(
            subKey.empty() ? SettingsKey() : SettingsKey() + "\\" + std::string(subKey), name);
    }

    void WriteSystemFile(const std::string &name, std::string_view bytes)
    {
        std::ofstream(sim::files::SystemRoot() / name, std::ios::binary | std::ios::trunc)
            .write(bytes.data(), std::streamsize(bytes.size()));
    }

    sim::registry::DeviceInstance instance;

private:
    alignas(16) unsigned char m_DeviceStorage[64] = {};
};
