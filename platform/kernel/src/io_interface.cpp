// Device interfaces: the links that let user mode and the audio system find a device by class.
#include "io_internal.h"
#include "kernel_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <sim/io_sim.h>

namespace
{

// The link buffer is a string the caller frees with RtlFreeUnicodeString, so it carries that tag.
constexpr ULONG kStringTag = MakePoolTag("Strg");

struct InterfaceRec
{
    PDEVICE_OBJECT Device;
    GUID Class;
    std::u16string Reference;
    std::u16string Link;
    bool Enabled;
};

struct State
{
    std::mutex Lock;
    std::vector<InterfaceRec> Interfaces;
    std::vector<PDEVICE_OBJECT> Instances; // a device's position gives its instance number in links
    std::vector<NTSTATUS> RegisterFailures;
    std::vector<NTSTATUS> StateFailures;
    size_t Enables = 0;
    size_t Disables = 0;
};

State &G()
{
    static State state;
    return state;
}

bool TakeFailure(std::vector<NTSTATUS> &failures, NTSTATUS *status)
{
    if (failures.empty())
        return false;
    *status = failures.front();
    failures.erase(failures.begin());
    return true;
}

std::u16string FromCounted(PCUNICODE_STRING s)
{
    if (!s || !s->Buffer)
        return {};
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::string Narrow(const std::u16string &text)
{
    std::string out;
    for (char16_t c : text)
        out += c < 128 ? char(c) : '?';
    return out;
}

bool SameText(const std::u16string &a, const std::u16string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                              [](char16_t x, char16_t y)
                                              { return RtlUpcaseUnicodeChar(x) == RtlUpcaseUnicodeChar(y); });
}

// Lock held. "\??\ROOT#MEDIA#0000#{class}\reference", the shape links have on the target.
std::u16string MakeLink(PDEVICE_OBJECT device, const GUID &cls, const std::u16string &reference)
{
    auto &instances = G().Instances;
    auto it = std::find(instances.begin(), instances.end(), device);
    if (it == instances.end())
        it = instances.insert(instances.end(), device);
    char text[96];
    std::snprintf(
        text, sizeof(text), "\\??\\ROOT#MEDIA#%04u#{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
        unsigned(it - instances.begin()), unsigned(cls.Data1), cls.Data2, cls.Data3, cls.Data4[0],
        cls.Data4[1], cls.Data4[2], cls.Data4[3], cls.Data4[4], cls.Data4[5], cls.Data4[6], cls.Data4[7]);
    std::u16string link(text, text + std::strlen(text));
    if (!reference.empty())
        link += u"\\" + reference;
    return link;
}

void Reset()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    G().Interfaces.clear();
    G().Instances.clear();
    G().RegisterFailures.clear();
    G().StateFailures.clear();
    G().Enables = G().Disables = 0;
}

std::string Check()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    std::string report;
    for (const InterfaceRec &r : G().Interfaces)
        if (r.Enabled)
            report += (report.empty() ? "device interface(s) still enabled: " : ", ") + Narrow(r.Link);
    const size_t armed = G().RegisterFailures.size() + G().StateFailures.size();
    if (armed)
        report += (report.empty() ? "" : "; ") + std::to_string(armed) +
                  " device-interface failure(s) armed and never reached";
    return report;
}

const bool registered = (sim::RegisterComponent("device interfaces", &Reset, &Check), true);

} // namespace

extern "C" NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject, const GUID *classGuid,
                                              PUNICODE_STRING referenceString,
                                              PUNICODE_STRING symbolicLinkName)
{
    sim::AssertPassiveLevel("IoRegisterDeviceInterface");
    std::u16string link;
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        NTSTATUS injected;
        if (TakeFailure(G().RegisterFailures, &injected))
            return injected;
        if (!physicalDeviceObject || !classGuid || !symbolicLinkName)
            return STATUS_INVALID_PARAMETER;
        const std::u16string reference = FromCounted(referenceString);
        const auto it = std::find_if(G().Interfaces.begin(), G().Interfaces.end(),
                                     [&](const InterfaceRec &r) {
                                         return r.Device == physicalDeviceObject && r.Class == *classGuid &&
                                                SameText(r.Reference, reference);
                                     });
        link = it != G().Interfaces.end() ? it->Link : MakeLink(physicalDeviceObject, *classGuid, reference);
        if (link.size() * sizeof(WCHAR) + sizeof(WCHAR) > 0xFFFF)
            return STATUS_INVALID_PARAMETER;
        if (it == G().Interfaces.end())
            G().Interfaces.push_back({physicalDeviceObject, *classGuid, reference, link, false});
    }
    const size_t bytes = (link.size() + 1) * sizeof(WCHAR);
    auto *buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, bytes, kStringTag));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::copy(link.begin(), link.end(), buffer);
    buffer[link.size()] = 0;
    symbolicLinkName->Buffer = buffer;
    symbolicLinkName->Length = USHORT(link.size() * sizeof(WCHAR));
    symbolicLinkName->MaximumLength = USHORT(bytes);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable)
{
    sim::AssertPassiveLevel("IoSetDeviceInterfaceState");
    std::lock_guard<std::mutex> guard(G().Lock);
    NTSTATUS injected;
    if (TakeFailure(G().StateFailures, &injected))
        return injected;
    if (!symbolicLinkName || !symbolicLinkName->Buffer)
        return STATUS_INVALID_PARAMETER;
    const std::u16string link = FromCounted(symbolicLinkName);
    for (InterfaceRec &r : G().Interfaces)
        if (SameText(r.Link, link))
        {
            if (r.Enabled != bool(enable))
                ++(enable ? G().Enables : G().Disables);
            r.Enabled = enable;
            return STATUS_SUCCESS;
        }
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

std::vector<sim::io::DeviceInterfaceRecord> sim::io::DeviceInterfaces(const GUID *classGuid)
{
    std::lock_guard<std::mutex> guard(G().Lock);
    std::vector<DeviceInterfaceRecord> out;
    for (const InterfaceRec &r : G().Interfaces)
        if (!classGuid || r.Class == *classGuid)
            out.push_back({r.Device, r.Class, Narrow(r.Reference), Narrow(r.Link), r.Enabled});
    return out;
}

size_t sim::io::InterfaceEnables()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    return G().Enables;
}

size_t sim::io::InterfaceDisables()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    return G().Disables;
}

void sim::io::FailNextInterfaceRegistration(NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(G().Lock);
    G().RegisterFailures.push_back(status);
}

void sim::io::FailNextInterfaceState(NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(G().Lock);
    G().StateFailures.push_back(status);
}
