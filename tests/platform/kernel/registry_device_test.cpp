// The Enum entries and keys of a simulated device, and the registry dump.
#include <ntkernel.h>
#include <sim/registry_sim.h>

#include "support/kernel_test.h"

#include <cstring>
#include <string>
#include <vector>

namespace
{

const sim::registry::DeviceInstanceDesc kHeadset = {
    {"USB\\VID_5A4C&PID_0610&REV_0100", "USB\\VID_5A4C&PID_0610"}, "6&2F1A0C3B&0&1", ""};

std::u16string KeyName(HANDLE key)
{
    UCHAR buffer[256];
    ULONG result = 0;
    if (ZwQueryKey(key, KeyBasicInformation, buffer, sizeof buffer, &result) != STATUS_SUCCESS)
        return u"<error>";
    ULONG length;
    std::memcpy(&length, buffer + 12, 4);
    std::u16string name(length / 2, u'\0');
    std::memcpy(name.data(), buffer + 16, length);
    return name;
}

using RegistryDeviceTest = KernelTest;

TEST_F(RegistryDeviceTest, InstanceWritesTheEnumEntries)
{
    const auto device = sim::registry::CreateDeviceInstance(kHeadset);
    EXPECT_EQ(device.instanceKey,
              "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_5A4C&PID_0610&"
              "REV_0100\\6&2F1A0C3B&0&1");
    EXPECT_TRUE(sim::registry::KeyExists(device.instanceKey + "\\Device Parameters"));
    EXPECT_TRUE(sim::registry::KeyExists(device.driverKey));

    // REG_MULTI_SZ: each id terminated, then an empty string.
    const auto ids = sim::registry::GetValue(device.instanceKey, "HardwareID");
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->type, ULONG(REG_MULTI_SZ));
    std::vector<uint8_t> expected = sim::registry::Utf16Bytes("USB\\VID_5A4C&PID_0610&REV_0100", true);
    const auto second = sim::registry::Utf16Bytes("USB\\VID_5A4C&PID_0610", true);
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), {0, 0});
    EXPECT_EQ(ids->data, expected);

    // Two devices get two software keys.
    auto other = kHeadset;
    other.instanceName = "6&2F1A0C3B&0&2";
    EXPECT_NE(sim::registry::CreateDeviceInstance(other).driverKey, device.driverKey);
}

TEST_F(RegistryDeviceTest, PropertyQueryFollowsTheSizeProtocol)
{
    const auto device = sim::registry::CreateDeviceInstance(kHeadset);
    const auto stored = sim::registry::GetValue(device.instanceKey, "HardwareID")->data;
    std::vector<uint8_t> buffer(200, 0xEE);
    ULONG result = 0;
    EXPECT_EQ(sim::registry::QueryDeviceProperty(device, DevicePropertyHardwareID, ULONG(stored.size() - 1),
                                                 buffer.data(), &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, stored.size());
    EXPECT_EQ(buffer[0], 0xEE);
    ASSERT_EQ(sim::registry::QueryDeviceProperty(device, DevicePropertyHardwareID, ULONG(buffer.size()),
                                                 buffer.data(), &result),
              STATUS_SUCCESS);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + result), stored);
    EXPECT_EQ(sim::registry::QueryDeviceProperty(device, DevicePropertyCompatibleIDs, ULONG(buffer.size()),
                                                 buffer.data(), &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RegistryDeviceTest, DeviceKeysOpenAndCarryTheirNames)
{
    const auto device = sim::registry::CreateDeviceInstance(kHeadset);
    HANDLE key = nullptr;
    // The current profile's device key is named as the instance: that is how the driver finds the
    // instance name of its Enum key.
    ASSERT_EQ(sim::registry::OpenDeviceKey(device, PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                                           KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    EXPECT_EQ(KeyName(key), u"6&2F1A0C3B&0&1");
    ZwClose(key);
    ASSERT_EQ(sim::registry::OpenDeviceKey(device, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    EXPECT_EQ(KeyName(key), u"Device Parameters");
    ZwClose(key);
    ASSERT_EQ(sim::registry::OpenDeviceKey(device, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key),
              STATUS_SUCCESS);
    EXPECT_EQ(KeyName(key), u"0000");
    ZwClose(key);
    EXPECT_EQ(sim::registry::OpenDeviceKey(device, 0x40, KEY_ALL_ACCESS, &key), STATUS_INVALID_PARAMETER);

    // Bindings: a device object finds its instance; reset forgets both.
    int deviceObject = 0;
    sim::registry::BindDevice(&deviceObject, device);
    ASSERT_TRUE(sim::registry::FindDevice(&deviceObject));
    EXPECT_EQ(sim::registry::FindDevice(&deviceObject)->driverKey, device.driverKey);
    sim::registry::Reset();
    EXPECT_FALSE(sim::registry::FindDevice(&deviceObject));
    EXPECT_FALSE(sim::registry::KeyExists(device.instanceKey));
    EXPECT_TRUE(sim::registry::KeyExists("\\Registry\\Machine"));
}

TEST_F(RegistryDeviceTest, DumpShowsTypesAndReadableContents)
{
    const std::string root = "\\Registry\\Machine\\SOFTWARE\\Zelko";
    sim::registry::SetValue(root, "Rate", REG_BINARY, {0x80, 0xBB, 0x00, 0x00});
    sim::registry::SetValue(root, "Gain", REG_BINARY, {0x1F, 0x20});
    sim::registry::SetValue(root + "\\EQ", "Name", REG_SZ, sim::registry::Utf16Bytes("Rock", false));
    sim::registry::SetDword(root + "\\EQ", "Bands", 10);
    EXPECT_EQ(sim::registry::Dump(root), "  Rate  REG_BINARY  80 BB 00 00 (48000)\n"
                                         "  Gain  REG_BINARY  1F 20\n"
                                         "[EQ]\n"
                                         "  Name   REG_SZ      \"Rock\"\n"
                                         "  Bands  REG_DWORD   0x0000000A (10)\n");
    EXPECT_EQ(sim::registry::Dump(root + "\\Missing"), "");
}

} // namespace
