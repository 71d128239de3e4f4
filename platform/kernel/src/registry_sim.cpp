// Test and host face of the registry: seeding, inspection, dumps and simulated devices.
#include <sim/registry_sim.h>

#include "registry_tree.h"

#include <cstdio>
#include <cstring>
#include <map>

using namespace sim::registry::detail;

namespace sim::registry
{

namespace
{

struct Devices
{
    std::map<const void *, DeviceInstance> bindings;
    unsigned nextDriverIndex = 0;
};

Devices &TheDevices()
{
    static Devices devices;
    return devices;
}

KeyPtr FindKey(std::string_view path)
{
    KeyPtr key;
    if (!NT_SUCCESS(Walk(nullptr, Widen(path), false, key)))
        return nullptr;
    return key;
}

KeyPtr MustCreate(std::string_view path)
{
    KeyPtr key = CreatePath(Widen(path));
    if (!key)
    {
        std::fprintf(stderr, "registry: \"%.*s\" is not an absolute registry path\n", int(path.size()),
                     path.data());
        std::abort();
    }
    return key;
}

std::u16string FromUtf16Bytes(const std::vector<uint8_t> &data, size_t offset, size_t &next)
{
    std::u16string out;
    size_t i = offset;
    for (; i + 1 < data.size(); i += 2)
    {
        const char16_t c = char16_t(data[i] | data[i + 1] << 8);
        if (c == 0)
        {
            i += 2;
            break;
        }
        out.push_back(c);
    }
    next = i;
    return out;
}

std::string Hex(const std::vector<uint8_t> &data)
{
    std::string out;
    char byte[4];
    for (size_t i = 0; i < data.size(); ++i)
    {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
        out += byte;
    }
    return out;
}

const char *TypeName(ULONG type)
{
    switch (type)
    {
    case REG_NONE:
        return "REG_NONE";
    case REG_SZ:
        return "REG_SZ";
    case REG_EXPAND_SZ:
        return "REG_EXPAND_SZ";
    case REG_BINARY:
        return "REG_BINARY";
    case REG_DWORD:
        return "REG_DWORD";
    case REG_MULTI_SZ:
        return "REG_MULTI_SZ";
    default:
        return nullptr;
    }
}

void DumpKey(const KeyPtr &key, const std::string &relative, std::string &out)
{
    if (!relative.empty())
        out += "[" + relative + "]\n";
    size_t width = 0;
    for (const auto &v : key->values)
        width = std::max(width, Narrow(v.name).size());
    for (const auto &v : key->values)
    {
        std::string name = v.name.empty() ? "(default)" : Narrow(v.name);
        name.resize(std::max(width, name.size()), ' ');
        out += "  " + name + "  " + FormatValue({v.type, v.data}) + "\n";
    }
    for (const auto &[folded, sub] : key->subkeys)
        DumpKey(sub, relative.empty() ? Narrow(sub->name) : relative + "\\" + Narrow(sub->name), out);
}

} // namespace

void Reset()
{
    ResetTree();
    std::lock_guard guard(Lock());
    TheDevices() = Devices{};
}

void CreateKey(std::string_view path)
{
    std::lock_guard guard(Lock());
    MustCreate(path);
}

void SetValue(std::string_view keyPath, std::string_view name, ULONG type, std::vector<uint8_t> data)
{
    std::lock_guard guard(Lock());
    MustCreate(keyPath)->SetValue(Widen(name), type, std::move(data));
}

void SetString(std::string_view keyPath, std::string_view name, std::string_view text)
{
    SetValue(keyPath, name, REG_SZ, Utf16Bytes(text, true));
}

void SetDword(std::string_view keyPath, std::string_view name, uint32_t value)
{
    SetValue(keyPath, name, REG_DWORD, DwordBytes(value));
}

void SetMultiString(std::string_view keyPath, std::string_view name, const std::vector<std::string> &strings)
{
    std::vector<uint8_t> data;
    for (const auto &s : strings)
    {
        const auto bytes = Utf16Bytes(s, true);
        data.insert(data.end(), bytes.begin(), bytes.end());
    }
    data.push_back(0);
    data.push_back(0);
    SetValue(keyPath, name, REG_MULTI_SZ, std::move(data));
}

bool KeyExists(std::string_view path)
{
    std::lock_guard guard(Lock());
    return FindKey(path) != nullptr;
}

std::optional<Value> GetValue(std::string_view keyPath, std::string_view name)
{
    std::lock_guard guard(Lock());
    KeyPtr key = FindKey(keyPath);
    const ValueEntry *value = key ? key->FindValue(Widen(name)) : nullptr;
    if (!value)
        return std::nullopt;
    return Value{value->type, value->data};
}

std::vector<std::string> ValueNames(std::string_view keyPath)
{
    std::lock_guard guard(Lock());
    std::vector<std::string> names;
    if (KeyPtr key = FindKey(keyPath))
        for (const auto &v : key->values)
            names.push_back(Narrow(v.name));
    return names;
}

std::vector<std::string> SubkeyNames(std::string_view keyPath)
{
    std::lock_guard guard(Lock());
    std::vector<std::string> names;
    if (KeyPtr key = FindKey(keyPath))
        for (const auto &[folded, sub] : key->subkeys)
            names.push_back(Narrow(sub->name));
    return names;
}

std::string Dump(std::string_view keyPath)
{
    std::lock_guard guard(Lock());
    std::string out;
    if (KeyPtr key = FindKey(keyPath))
        DumpKey(key, "", out);
    return out;
}

std::string FormatValue(const Value &value)
{
    const char *type = TypeName(value.type);
    char unknown[24];
    if (!type)
    {
        std::snprintf(unknown, sizeof unknown, "type %u", value.type);
        type = unknown;
    }
    std::string out = type;
    out.resize(std::max<size_t>(out.size(), 12), ' ');
    switch (value.type)
    {
    case REG_SZ:
    case REG_EXPAND_SZ:
        if (value.data.size() % 2 == 0)
        {
            size_t next = 0;
            return out + "\"" + Narrow(FromUtf16Bytes(value.data, 0, next)) + "\"";
        }
        break;
    case REG_MULTI_SZ:
        if (value.data.size() % 2 == 0)
        {
            std::string list;
            for (size_t at = 0; at + 1 < value.data.size();)
            {
                size_t next = 0;
                const auto s = FromUtf16Bytes(value.data, at, next);
                if (s.empty())
                    break;
                list += (list.empty() ? "\"" : " \"") + Narrow(s) + "\"";
                at = next;
            }
            return out + list;
        }
        break;
    case REG_DWORD:
        if (value.data.size() == 4)
        {
            uint32_t v;
            std::memcpy(&v, value.data.data(), 4);
            char text[32];
            std::snprintf(text, sizeof text, "0x%08X (%u)", v, v);
            return out + text;
        }
        break;
    case REG_BINARY:
        if (value.data.size() == 4)
        {
            // Settings keep 32-bit numbers as four little-endian bytes: show the number too.
            const uint32_t v =
                value.data[0] | value.data[1] << 8 | value.data[2] << 16 | uint32_t(value.data[3]) << 24;
            char text[16];
            std::snprintf(text, sizeof text, " (%u)", v);
            return out + Hex(value.data) + text;
        }
        break;
    }
    return out + (value.data.empty() ? "(empty)" : Hex(value.data));
}

std::vector<uint8_t> Utf16Bytes(std::string_view text, bool terminate)
{
    std::vector<uint8_t> data;
    for (char16_t c : Widen(text))
    {
        data.push_back(uint8_t(c));
        data.push_back(uint8_t(c >> 8));
    }
    if (terminate)
    {
        data.push_back(0);
        data.push_back(0);
    }
    return data;
}

std::vector<uint8_t> DwordBytes(uint32_t value)
{
    return {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16), uint8_t(value >> 24)};
}

size_t OpenKeyHandles()
{
    return OpenKeyHandleCount();
}

uint64_t NameComparisons()
{
    return detail::NameComparisons().load(std::memory_order_relaxed);
}

DeviceInstance CreateDeviceInstance(const DeviceInstanceDesc &desc)
{
    if (desc.hardwareIds.empty() || desc.hardwareIds[0].empty() || desc.instanceName.empty())
    {
        std::fprintf(stderr, "registry: a device instance needs a hardware id and an instance name\n");
        std::abort();
    }
    DeviceInstance instance;
    instance.hardwareIds = desc.hardwareIds;
    instance.instanceName = desc.instanceName;
    const std::string enumRelative = desc.hardwareIds[0] + "\\" + desc.instanceName;
    instance.instanceKey = std::string(kEnumRoot) + "\\" + enumRelative;
    instance.hwProfileKey = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Hardware "
                            "Profiles\\Current\\System\\CurrentControlSet\\Enum\\" +
                            enumRelative;
    std::string driverName;
    if (desc.driverKey.empty())
    {
        std::lock_guard guard(Lock());
        char index[8];
        std::snprintf(index, sizeof index, "%04u", TheDevices().nextDriverIndex++ % 10000);
        instance.driverKey = std::string(kMediaClassRoot) + "\\" + index;
    }
    else
        instance.driverKey = desc.driverKey;
    // "Driver" names the software key relative to the class root, as the I/O manager keeps it.
    const std::string classRoot = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\Class\\";
    driverName = instance.driverKey.compare(0, classRoot.size(), classRoot) == 0
                     ? instance.driverKey.substr(classRoot.size())
                     : instance.driverKey;

    SetMultiString(instance.instanceKey, "HardwareID", desc.hardwareIds);
    SetString(instance.instanceKey, "Driver", driverName);
    CreateKey(instance.instanceKey + "\\Device Parameters");
    CreateKey(instance.hwProfileKey);
    CreateKey(instance.driverKey);
    return instance;
}

void BindDevice(const void *deviceObject, const DeviceInstance &instance)
{
    std::lock_guard guard(Lock());
    TheDevices().bindings[deviceObject] = instance;
}

void BindDriverKey(const void *deviceObject, std::string_view driverKeyPath)
{
    DeviceInstance instance;
    instance.driverKey = std::string(driverKeyPath);
    CreateKey(driverKeyPath);
    BindDevice(deviceObject, instance);
}

void UnbindDevice(const void *deviceObject)
{
    std::lock_guard guard(Lock());
    TheDevices().bindings.erase(deviceObject);
}

std::optional<DeviceInstance> FindDevice(const void *deviceObject)
{
    std::lock_guard guard(Lock());
    const auto &bindings = TheDevices().bindings;
    const auto it = bindings.find(deviceObject);
    if (it == bindings.end())
        return std::nullopt;
    return it->second;
}

NTSTATUS QueryDeviceProperty(const DeviceInstance &instance, DEVICE_REGISTRY_PROPERTY property, ULONG length,
                             PVOID buffer, PULONG resultLength)
{
    if (!resultLength)
        return STATUS_INVALID_PARAMETER;
    *resultLength = 0;
    const char *name = nullptr;
    switch (property)
    {
    case DevicePropertyDeviceDescription:
        name = "DeviceDesc";
        break;
    case DevicePropertyHardwareID:
        name = "HardwareID";
        break;
    case DevicePropertyCompatibleIDs:
        name = "CompatibleIDs";
        break;
    case DevicePropertyDriverKeyName:
        name = "Driver";
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    const auto value = instance.instanceKey.empty() ? std::nullopt : GetValue(instance.instanceKey, name);
    if (!value)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    *resultLength = ULONG(value->data.size());
    if (length < value->data.size())
        return STATUS_BUFFER_TOO_SMALL;
    if (!value->data.empty())
    {
        if (!buffer)
            return STATUS_INVALID_PARAMETER;
        std::memcpy(buffer, value->data.data(), value->data.size());
    }
    return STATUS_SUCCESS;
}

NTSTATUS OpenDeviceKey(const DeviceInstance &instance, ULONG keyType, ACCESS_MASK access, PHANDLE handle)
{
    if (!handle)
        return STATUS_INVALID_PARAMETER;
    *handle = nullptr;
    std::string path;
    switch (keyType)
    {
    case PLUGPLAY_REGKEY_DEVICE:
        path = instance.instanceKey.empty() ? "" : instance.instanceKey + "\\Device Parameters";
        break;
    case PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE:
        path = instance.hwProfileKey;
        break;
    case PLUGPLAY_REGKEY_DRIVER:
        path = instance.driverKey;
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (path.empty())
        return STATUS_OBJECT_NAME_NOT_FOUND;
    KeyPtr key;
    {
        std::lock_guard guard(Lock());
        key = MustCreate(path);
    }
    *handle = InsertKeyHandle(key, access);
    return STATUS_SUCCESS;
}

} // namespace sim::registry
