#include <newdev.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/stat.h>

namespace
{
// A device list larger than this is refused whole rather than half-read.
constexpr size_t kMaxDeviceListBytes = 64 * 1024;

using Device = std::vector<std::string>; // hardware IDs, most specific first

struct Scenario
{
    std::vector<Device> devices;
    std::vector<std::string> notes; // why a setting was refused, for the call log
};

const char *env(const char *name)
{
    return std::getenv(name);
}

// Log text stays on one line and shows every byte: printable ASCII as is, the rest as \xHH.
std::string quoted(LPCSTR text)
{
    if (text == nullptr)
        return "NULL";
    std::string out = "\"";
    for (const char *p = text; *p != '\0'; ++p)
    {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"' || c == '\\')
        {
            out += '\\';
            out += char(c);
        }
        else if (c >= 0x20 && c < 0x7F)
            out += char(c);
        else
        {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out + "\"";
}

std::string hex(DWORD value)
{
    char text[11];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

void appendLog(const std::string &line)
{
    const char *path = env("DRVSETUP_SIM_LOG");
    if (path == nullptr || *path == '\0')
        return;
    std::ofstream out(path, std::ios::app | std::ios::binary);
    out << line << '\n';
}

// Parses "ID,ID;ID,ID". Returns nothing for an empty device or ID, or a control byte, so a damaged
// list never half-matches.
std::optional<std::vector<Device>> parseDevices(std::string_view text)
{
    std::vector<Device> devices;
    if (text.empty())
        return devices;
    for (char c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return std::nullopt;
    size_t start = 0;
    while (true)
    {
        const size_t end = std::min(text.find(';', start), text.size());
        const std::string_view device = text.substr(start, end - start);
        Device ids;
        size_t idStart = 0;
        while (true)
        {
            const size_t idEnd = std::min(device.find(',', idStart), device.size());
            if (idEnd == idStart)
                return std::nullopt;
            ids.emplace_back(device.substr(idStart, idEnd - idStart));
            if (idEnd == device.size())
                break;
            idStart = idEnd + 1;
        }
        devices.push_back(std::move(ids));
        if (end == text.size())
            break;
        start = end + 1;
    }
    return devices;
}

void loadDevices(Scenario &scenario)
{
    std::string text;
    std::string source;
    if (const char *list = env("DRVSETUP_SIM_DEVICES"))
    {
        text = list;
        source = "DRVSETUP_SIM_DEVICES";
    }
    else if (const char *path = env("DRVSETUP_SIM_DEVICES_FILE"))
    {
        source = std::string("device file ") + quoted(path);
        std::ifstream in(path, std::ios::binary);
        if (!in)
        {
            scenario.notes.push_back(source + " unreadable: no device");
            return;
        }
        // One byte past the limit is enough to know the file is too large.
        text.resize(kMaxDeviceListBytes + 1);
        in.read(text.data(), std::streamsize(text.size()));
        text.resize(size_t(in.gcount()));
        if (text.size() <= kMaxDeviceListBytes)
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.pop_back();
    }
    else
        return;
    if (text.size() > kMaxDeviceListBytes)
    {
        scenario.notes.push_back(source + " over 64 KiB: no device");
        return;
    }
    if (auto devices = parseDevices(text))
        scenario.devices = std::move(*devices);
    else
        scenario.notes.push_back(source + " malformed: no device");
}

bool sameId(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
    {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'a' && x <= 'z')
            x = x - 'a' + 'A';
        if (y >= 'a' && y <= 'z')
            y = y - 'a' + 'A';
        if (x != y)
            return false;
    }
    return true;
}

bool isPresent(const Scenario &scenario, LPCSTR hardwareId)
{
    for (const Device &device : scenario.devices)
        for (const std::string &id : device)
            if (sameId(id, hardwareId))
                return true;
    return false;
}

// The platform call takes a full path, so a relative one is as good as missing.
bool isExistingInf(LPCSTR path)
{
    struct stat st;
    return path[0] == '/' && ::stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

// The scripted failure code, if one is set and valid.
std::optional<DWORD> scriptedFailure(Scenario &scenario)
{
    const char *text = env("DRVSETUP_SIM_FAIL");
    if (text == nullptr || *text == '\0')
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    const unsigned long long code = std::strtoull(text, &end, 0);
    if (errno != 0 || *end != '\0' || text[0] == '-' || code == 0 || code > 0xFFFFFFFFull)
    {
        scenario.notes.push_back("DRVSETUP_SIM_FAIL " + quoted(text) + " is not an error code: ignored");
        return std::nullopt;
    }
    return DWORD(code);
}

BOOL install(Scenario &scenario, LPCSTR hardwareId, LPCSTR infPath, DWORD flags, PBOOL rebootRequired)
{
    if (hardwareId == nullptr || *hardwareId == '\0' || infPath == nullptr || *infPath == '\0')
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if ((flags & ~DWORD(INSTALLFLAG_BITS)) != 0)
    {
        SetLastError(ERROR_INVALID_FLAGS);
        return FALSE;
    }
    if (!isExistingInf(infPath))
    {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return FALSE;
    }
    loadDevices(scenario);
    if (!isPresent(scenario, hardwareId))
    {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return FALSE;
    }
    if (const auto code = scriptedFailure(scenario))
    {
        SetLastError(*code);
        return FALSE;
    }
    if (rebootRequired != nullptr)
    {
        const char *reboot = env("DRVSETUP_SIM_REBOOT");
        *rebootRequired = (reboot != nullptr && std::string_view(reboot) == "1") ? TRUE : FALSE;
    }
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

std::string flagText(const BOOL *flag)
{
    if (flag == nullptr)
        return "NULL";
    return *flag ? "TRUE" : "FALSE";
}
} // namespace

extern "C" BOOL WINAPI UpdateDriverForPlugAndPlayDevicesA(HWND hwndParent, LPCSTR HardwareId,
                                                          LPCSTR FullInfPath, DWORD InstallFlags,
                                                          PBOOL bRebootRequired)
{
    std::string line = "UpdateDriverForPlugAndPlayDevicesA(";
    if (hwndParent == nullptr)
        line += "NULL";
    else
    {
        char text[2 + 2 * sizeof(void *) + 1];
        std::snprintf(text, sizeof text, "0x%jX", uintmax_t(reinterpret_cast<uintptr_t>(hwndParent)));
        line += text;
    }
    line += ", " + quoted(HardwareId) + ", " + quoted(FullInfPath) + ", " + hex(InstallFlags) + ", reboot " +
            flagText(bRebootRequired) + ")";

    Scenario scenario;
    const BOOL result = install(scenario, HardwareId, FullInfPath, InstallFlags, bRebootRequired);
    const DWORD error = GetLastError();
    for (const std::string &note : scenario.notes)
        appendLog("note: " + note);
    line += result ? " -> TRUE, reboot " + flagText(bRebootRequired) : " -> FALSE, error " + hex(error);
    appendLog(line);
    SetLastError(error);
    return result;
}
