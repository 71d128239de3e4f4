// Port-class registry keys and the device property query.
#include <pc_registry.h>
#include <sim/registry_sim.h>

#include "support/kernel_test.h"

#include <cstring>
#include <vector>

namespace
{

// A counted string over a literal.
UNICODE_STRING Us(PCWSTR text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

class RegistryKeyTest : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        instance = sim::registry::CreateDeviceInstance(
            {{"USB\\VID_5A4C&PID_0610&REV_0100", "USB\\VID_5A4C&PID_0610"}, "6&2F1A0C3B&0&1", ""});
        sim::registry::BindDevice(&device, instance);
    }

    NTSTATUS DriverKey(PREGISTRYKEY *key, PVOID deviceObject)
    {
        return PcNewRegistryKey(key, nullptr, DriverRegistryKey, KEY_ALL_ACCESS, deviceObject, nullptr,
                                nullptr, 0, nullptr);
    }

    int device = 0;
    sim::registry::DeviceInstance instance;
};

TEST_F(RegistryKeyTest, DriverKeyOpensTheBoundSoftwareKey)
{
    PREGISTRYKEY key = nullptr;
    ASSERT_EQ(DriverKey(&key, &device), STATUS_SUCCESS);
    UNICODE_STRING rate = Us(u"Rate");
    uint8_t bytes[] = {0x80, 0xBB, 0x00, 0x00};
    ASSERT_EQ(key->SetValueKey(&rate, REG_BINARY, bytes, sizeof bytes), STATUS_SUCCESS);
    const auto stored = sim::registry::GetValue(instance.driverKey, "Rate");
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->type, ULONG(REG_BINARY));
    EXPECT_EQ(stored->data, std::vector<uint8_t>(bytes, bytes + 4));

    UCHAR buffer[32] = {};
    ULONG result = 0;
    ASSERT_EQ(key->QueryValueKey(&rate, KeyValuePartialInformation, buffer, sizeof buffer, &result),
              STATUS_SUCCESS);
    EXPECT_EQ(result, 16u);
    EXPECT_EQ(std::memcmp(buffer + 12, bytes, 4), 0);

    // A test may point the driver key anywhere.
    int other = 0;
    sim::registry::BindDriverKey(&other, "\\Registry\\Machine\\SOFTWARE\\Elsewhere");
    PREGISTRYKEY elsewhere = nullptr;
    ASSERT_EQ(DriverKey(&elsewhere, &other), STATUS_SUCCESS);
    ASSERT_EQ(elsewhere->SetValueKey(&rate, REG_BINARY, bytes, 2), STATUS_SUCCESS);
    EXPECT_EQ(sim::registry::GetValue("\\Registry\\Machine\\SOFTWARE\\Elsewhere", "Rate")->data.size(), 2u);
    EXPECT_EQ(elsewhere->Release(), 0u);

    // The interfaces answered, and the last release closes the key.
    PVOID unknown = nullptr;
    ASSERT_EQ(key->QueryInterface(IID_IRegistryKey, &unknown), STATUS_SUCCESS);
    EXPECT_EQ(unknown, key);
    EXPECT_EQ(key->Release(), 1u);
    const GUID other_iid = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
    unknown = &other;
    EXPECT_EQ(key->QueryInterface(other_iid, &unknown), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unknown, nullptr);
    EXPECT_EQ(sim::registry::OpenKeyHandles(), 1u);
    EXPECT_EQ(key->Release(), 0u);
    EXPECT_EQ(sim::registry::OpenKeyHandles(), 0u);

    int unknownDevice = 0;
    key = reinterpret_cast<PREGISTRYKEY>(&unknownDevice);
    EXPECT_EQ(DriverKey(&key, &unknownDevice), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(key, nullptr);
}

TEST_F(RegistryKeyTest, NewSubKeyOpensOrCreates)
{
    PREGISTRYKEY key = nullptr;
    ASSERT_EQ(DriverKey(&key, &device), STATUS_SUCCESS);
    UNICODE_STRING settings = Us(u"Settings");
    PREGISTRYKEY sub = nullptr;
    ULONG disposition = 0;
    ASSERT_EQ(key->NewSubKey(&sub, nullptr, KEY_ALL_ACCESS, &settings, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_CREATED_NEW_KEY));
    EXPECT_TRUE(sim::registry::KeyExists(instance.driverKey + "\\Settings"));
    sub->Release();
    UNICODE_STRING upper = Us(u"SETTINGS");
    ASSERT_EQ(key->NewSubKey(&sub, nullptr, KEY_ALL_ACCESS, &upper, REG_OPTION_NON_VOLATILE, &disposition),
              STATUS_SUCCESS);
    EXPECT_EQ(disposition, ULONG(REG_OPENED_EXISTING_KEY));
    sub->Release();
    key->Release();
}

TEST_F(RegistryKeyTest, FailedKeyAllocationLeavesNoHandle)
{
    PREGISTRYKEY key = nullptr;
    sim::pool::FailNthAllocation(1);
    EXPECT_EQ(DriverKey(&key, &device), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(sim::registry::OpenKeyHandles(), 0u);

    ASSERT_EQ(DriverKey(&key, &device), STATUS_SUCCESS);
    UNICODE_STRING settings = Us(u"Settings");
    PREGISTRYKEY sub = reinterpret_cast<PREGISTRYKEY>(&device);
    sim::pool::FailNthAllocation(1);
    EXPECT_EQ(key->NewSubKey(&sub, nullptr, KEY_ALL_ACCESS, &settings, REG_OPTION_NON_VOLATILE, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sub, nullptr);
    EXPECT_EQ(sim::registry::OpenKeyHandles(), 1u);
    key->Release();
}

TEST_F(RegistryKeyTest, DevicePropertyGivesTheHardwareIds)
{
    std::vector<uint8_t> buffer(1000, 0xEE);
    ULONG result = 0;
    ASSERT_EQ(PcGetDeviceProperty(&device, DevicePropertyHardwareID, 1000, buffer.data(), &result),
              STATUS_SUCCESS);
    std::vector<uint8_t> expected = sim::registry::Utf16Bytes("USB\\VID_5A4C&PID_0610&REV_0100", true);
    const auto second = sim::registry::Utf16Bytes("USB\\VID_5A4C&PID_0610", true);
    expected.insert(expected.end(), second.begin(), second.end());
    expected.insert(expected.end(), {0, 0});
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + result), expected);
    EXPECT_EQ(PcGetDeviceProperty(&device, DevicePropertyHardwareID, 10, buffer.data(), &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, expected.size());
    int unknownDevice = 0;
    EXPECT_EQ(PcGetDeviceProperty(&unknownDevice, DevicePropertyHardwareID, 1000, buffer.data(), &result),
              STATUS_INVALID_PARAMETER);
}

} // namespace
