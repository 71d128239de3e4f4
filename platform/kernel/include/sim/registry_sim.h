// Test and host face of the registry stand-in: seed keys and values, inspect and dump them, and
// create the Enum entries and keys of a simulated device. Paths and names are UTF-8 here and
// absolute ("\Registry\Machine\..."); the tree is emptied by the kernel's per-test reset.
#pragma once

#include <nt_registry.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim::registry
{

struct Value
{
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
};

// Back to a tree holding only "\Registry\Machine" and "\Registry\User"; device bindings forgotten.
void Reset();

// --- seeding (missing keys along the path are created) ---
void CreateKey(std::string_view path);
void SetValue(std::string_view keyPath, std::string_view name, ULONG type, std::vector<uint8_t> data);
void SetString(std::string_view keyPath, std::string_view name, std::string_view text); // REG_SZ, terminated
void SetDword(std::string_view keyPath, std::string_view name, uint32_t value); // REG_DWORD, little-endian
void SetMultiString(std::string_view keyPath, std::string_view name, const std::vector<std::string> &strings);

// --- inspection ---
bool KeyExists(std::string_view path);
std::optional<Value> GetValue(std::string_view keyPath, std::string_view name);
std::vector<std::string> ValueNames(std::string_view keyPath);  // in the order first set
std::vector<std::string> SubkeyNames(std::string_view keyPath); // sorted without case
// One line per value, "name  TYPE  contents" (strings quoted, bytes in hex), each sub-key after its
// parent's values under a "[relative path]" line. An empty string when the key does not exist.
std::string Dump(std::string_view keyPath);
std::string FormatValue(const Value &value);
// Little helpers for assertions on stored bytes.
std::vector<uint8_t> Utf16Bytes(std::string_view text, bool terminate);
std::vector<uint8_t> DwordBytes(uint32_t value);
// Key handles open now (the kernel's end-of-test check reports those left open).
size_t OpenKeyHandles();
// Names compared without case so far, by lookups of values, keys and files (a running count, never
// reset): a value lookup compares about one name, however many values its key holds.
uint64_t NameComparisons();

// --- devices ---
inline constexpr char kEnumRoot[] = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum";
inline constexpr char kMediaClassRoot[] =
    "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\{4d36e96c-e325-11ce-bfc1-08002be10318}";

struct DeviceInstanceDesc
{
    std::vector<std::string> hardwareIds; // most specific first; the first names the Enum key
    std::string instanceName;             // the instance key's name below it
    std::string driverKey;                // empty: the next free "<media class>\NNNN"
};

struct DeviceInstance
{
    std::vector<std::string> hardwareIds;
    std::string instanceName;
    std::string instanceKey;  // "<Enum>\<first hardware id>\<instance>", holds "HardwareID", "Driver"
    std::string hwProfileKey; // the current hardware profile's copy of the instance key (same name)
    std::string driverKey;    // the device's software key
};

// Writes the Enum entries (instance key with "HardwareID", "Driver" and "Device Parameters", its
// hardware-profile copy) and creates the driver key.
DeviceInstance CreateDeviceInstance(const DeviceInstanceDesc &desc);

// Ties a device object (opaque here) to an instance, so that the port-class and I/O-manager
// stand-ins find its keys and properties. A binding with only `driverKey` set serves tests that
// need nothing but the software key.
void BindDevice(const void *deviceObject, const DeviceInstance &instance);
void BindDriverKey(const void *deviceObject, std::string_view driverKeyPath);
void UnbindDevice(const void *deviceObject);
std::optional<DeviceInstance> FindDevice(const void *deviceObject);

// The property as the I/O manager reports it (DevicePropertyHardwareID: REG_MULTI_SZ of the ids).
// Size protocol: a buffer too small gives STATUS_BUFFER_TOO_SMALL with ResultLength the size needed
// and writes nothing; a property the device lacks is STATUS_OBJECT_NAME_NOT_FOUND.
NTSTATUS QueryDeviceProperty(const DeviceInstance &instance, DEVICE_REGISTRY_PROPERTY property, ULONG length,
                             PVOID buffer, PULONG resultLength);
// Opens (creating when missing) PLUGPLAY_REGKEY_DEVICE ("Device Parameters"),
// PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE (the profile's instance key, named as
// the instance) or PLUGPLAY_REGKEY_DRIVER (the software key). The handle closes with ZwClose.
NTSTATUS OpenDeviceKey(const DeviceInstance &instance, ULONG keyType, ACCESS_MASK access, PHANDLE handle);

} // namespace sim::registry
