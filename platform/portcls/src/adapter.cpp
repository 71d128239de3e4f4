// The adapter half of the framework: driver registration, the adapter device object and its state at
// the front of the extension, the framework's IRP dispatch, power registration and the version.
#include <pc_adapter.h>
#include <pc_port.h>
#include <sim/io_sim.h>
#include <sim/kernel_sim.h>
#include <sim/portcls_adapter_sim.h>
#include <sim/portcls_sim.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "port_version.h"

namespace
{

constexpr uint64_t kGuard = 0x50434144'41505445ull; // the framework's marks around its state
constexpr UCHAR kFill = 0xA5;                       // the unused rest of the framework's part

// The framework's state at the front of the extension. Its own marks are checked on every call, so a
// driver that writes into the framework's part (or misplaces its own) is reported.
struct AdapterState
{
    uint64_t GuardFront;
    PDEVICE_OBJECT Self;
    PDEVICE_OBJECT Physical;
    PDEVICE_OBJECT Lower;
    PCPFNSTARTDEVICE StartDevice;
    ULONG MaxObjects;
    DEVICE_POWER_STATE DevicePower;
    PADAPTERPOWERMANAGEMENT Power; // held until removal
    uint64_t GuardBack;
};
static_assert(sizeof(AdapterState) <= PORT_CLASS_DEVICE_EXTENSION_SIZE,
              "the framework's state fits its part");

struct Globals
{
    std::mutex Lock;
    ULONG Version = 11;
    bool VersionAvailable = true;
    std::vector<NTSTATUS> InitFailures;
    std::vector<std::string> Log;
    std::vector<PDEVICE_OBJECT> Devices; // adapter devices not yet removed
    LONG VersionReferences = 0;
};

Globals &G()
{
    static Globals g;
    return g;
}

void Note(std::string line, NTSTATUS status)
{
    char tail[24];
    std::snprintf(tail, sizeof tail, " -> 0x%08X", unsigned(status));
    std::lock_guard<std::mutex> guard(G().Lock);
    G().Log.push_back(line + tail);
}

// A driver may delete an adapter device it refuses before any start (no removal comes for it).
void ForgetDeletedDevices() // lock held
{
    std::erase_if(G().Devices, [](PDEVICE_OBJECT d) { return !sim::io::IsLiveDevice(d); });
}

bool IsAdapterDevice(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(G().Lock);
    ForgetDeletedDevices();
    for (PDEVICE_OBJECT d : G().Devices)
        if (d == device)
            return true;
    return false;
}

// The framework's state of an adapter device, or null (reported) when the device is not one or its
// state was overwritten.
AdapterState *StateOf(PDEVICE_OBJECT device, const char *caller)
{
    if (!device || !IsAdapterDevice(device))
    {
        sim::ReportViolation(std::string(caller) + ": not an adapter device of the framework");
        return nullptr;
    }
    auto *bytes = static_cast<UCHAR *>(device->DeviceExtension);
    auto *state = reinterpret_cast<AdapterState *>(bytes);
    bool intact = state->GuardFront == kGuard && state->GuardBack == kGuard && state->Self == device;
    for (size_t i = sizeof(AdapterState); intact && i < PORT_CLASS_DEVICE_EXTENSION_SIZE; ++i)
        intact = bytes[i] == kFill;
    if (!intact)
    {
        sim::ReportViolation(std::string(caller) +
                             ": the framework's part of the device extension was overwritten");
        return nullptr;
    }
    return state;
}

class CPortClsVersion final : public IPortClsVersion
{
public:
    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override
    {
        if (!object)
            return STATUS_INVALID_PARAMETER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IPortClsVersion)
            return STATUS_INVALID_PARAMETER;
        AddRef();
        *object = static_cast<IPortClsVersion *>(this);
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        return ULONG(++G().VersionReferences);
    }
    ULONG Release() override
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        if (G().VersionReferences == 0)
        {
            sim::ReportViolation("IPortClsVersion::Release: released more often than referenced");
            return 0;
        }
        return ULONG(--G().VersionReferences);
    }
    DWORD GetVersion() override
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        return G().Version;
    }
};

CPortClsVersion g_version;

NTSTATUS OnLowerDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the IRP down and takes it back once the devices below completed it; returns their status.
NTSTATUS ForwardAndWait(AdapterState *state, PIRP irp, bool power)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, &OnLowerDone, &done, TRUE, TRUE, TRUE);
    const NTSTATUS status = power ? PoCallDriver(state->Lower, irp) : IoCallDriver(state->Lower, irp);
    if (status == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    return irp->IoStatus.Status;
}

NTSTATUS Complete(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(AdapterState *state, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(state->Lower, irp);
}

// What the driver left registered goes with the device: connections first, then the sub-devices.
void UnregisterEverything(PDEVICE_OBJECT device)
{
    for (const sim::portcls::ConnectionRecord &c : sim::portcls::Connections())
    {
        if (c.Device != device)
            continue;
        PVOID object = nullptr;
        if (NT_SUCCESS(c.From->QueryInterface(IID_IUnregisterPhysicalConnection, &object)) && object)
        {
            auto *unregister = static_cast<IUnregisterPhysicalConnection *>(object);
            unregister->UnregisterPhysicalConnection(device, c.From, c.FromPin, c.To, c.ToPin);
            unregister->Release();
        }
    }
    for (const sim::portcls::SubdeviceRecord &s : sim::portcls::Subdevices())
    {
        if (s.Device != device)
            continue;
        PVOID object = nullptr;
        if (NT_SUCCESS(s.Port->QueryInterface(IID_IUnregisterSubdevice, &object)) && object)
        {
            auto *unregister = static_cast<IUnregisterSubdevice *>(object);
            unregister->UnregisterSubdevice(device, s.Port);
            unregister->Release();
        }
    }
}

NTSTATUS DispatchPnp(AdapterState *state, PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MinorFunction)
    {
    case IRP_MN_START_DEVICE:
    {
        NTSTATUS status = ForwardAndWait(state, irp, false);
        if (NT_SUCCESS(status) && state->StartDevice)
            status = state->StartDevice(device, irp, nullptr);
        return Complete(irp, status);
    }
    case IRP_MN_QUERY_CAPABILITIES:
    {
        NTSTATUS status = ForwardAndWait(state, irp, false);
        PPC_DEVICE_CAPABILITIES caps = location->Parameters.DeviceCapabilities.Capabilities;
        if (NT_SUCCESS(status) && state->Power && caps)
            status = state->Power->QueryDeviceCapabilities(caps);
        return Complete(irp, status);
    }
    case IRP_MN_REMOVE_DEVICE:
    {
        UnregisterEverything(device);
        if (state->Power)
        {
            state->Power->Release();
            state->Power = nullptr;
        }
        PDEVICE_OBJECT lower = state->Lower;
        irp->IoStatus.Status = STATUS_SUCCESS;
        const NTSTATUS status = PassDown(state, irp);
        {
            std::lock_guard<std::mutex> guard(G().Lock);
            std::erase(G().Devices, device);
        }
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        return PassDown(state, irp);
    default:
        return PassDown(state, irp);
    }
}

NTSTATUS DispatchPower(AdapterState *state, PIRP irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    const bool device = location->Parameters.Power.Type == DevicePowerState;
    if (location->MinorFunction == IRP_MN_QUERY_POWER && device && state->Power)
    {
        const NTSTATUS status = state->Power->QueryPowerChangeState(location->Parameters.Power.State);
        if (!NT_SUCCESS(status))
        {
            PoStartNextPowerIrp(irp);
            return Complete(irp, status);
        }
    }
    if (location->MinorFunction != IRP_MN_SET_POWER || !device)
    {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(state->Lower, irp);
    }
    const POWER_STATE next = location->Parameters.Power.State;
    // Going down the adapter saves its state before the bus powers off; going up the bus powers on
    // before the adapter restores it.
    if (next.DeviceState > state->DevicePower)
    {
        if (state->Power)
            state->Power->PowerChangeState(next);
        state->DevicePower = next.DeviceState;
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(state->Lower, irp);
    }
    const NTSTATUS status = ForwardAndWait(state, irp, true);
    if (NT_SUCCESS(status) && next.DeviceState != state->DevicePower)
    {
        if (state->Power)
            state->Power->PowerChangeState(next);
        state->DevicePower = next.DeviceState;
    }
    PoStartNextPowerIrp(irp);
    return Complete(irp, status);
}

// Sub-device names are the reference strings of their interfaces: a create names one after a
// backslash, possibly followed by what the filter opens inside it.
bool NamesSubdevice(PDEVICE_OBJECT device, const UNICODE_STRING &fileName)
{
    std::string name;
    for (USHORT i = 0; i < fileName.Length / sizeof(WCHAR); ++i)
        name += fileName.Buffer[i] < 128 ? char(fileName.Buffer[i]) : '?';
    if (name.empty() || name[0] != '\\')
        return false;
    name.erase(0, 1);
    if (const size_t end = name.find('\\'); end != std::string::npos)
        name.resize(end);
    for (const sim::portcls::SubdeviceRecord &s : sim::portcls::Subdevices())
        if (s.Device == device && s.Name.size() == name.size() &&
            std::equal(name.begin(), name.end(), s.Name.begin(),
                       [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
            return true;
    return false;
}

std::string Describe(PIRP irp)
{
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    char text[64];
    switch (location->MajorFunction)
    {
    case IRP_MJ_PNP:
        std::snprintf(text, sizeof text, "PNP 0x%02X", location->MinorFunction);
        return text;
    case IRP_MJ_POWER:
        std::snprintf(text, sizeof text, "POWER 0x%02X", location->MinorFunction);
        if (location->Parameters.Power.Type == DevicePowerState)
            return text + std::string(" D") +
                   std::to_string(int(location->Parameters.Power.State.DeviceState) - 1);
        return text;
    case IRP_MJ_CREATE:
    {
        std::string name = "CREATE ";
        if (PFILE_OBJECT file = location->FileObject)
            for (USHORT i = 0; i < file->FileName.Length / sizeof(WCHAR); ++i)
                name += file->FileName.Buffer[i] < 128 ? char(file->FileName.Buffer[i]) : '?';
        return name;
    }
    case IRP_MJ_CLOSE:
        return "CLOSE";
    case IRP_MJ_DEVICE_CONTROL:
        return "DEVICE_CONTROL";
    default:
        std::snprintf(text, sizeof text, "MJ 0x%02X", location->MajorFunction);
        return text;
    }
}

void Reset()
{
    Globals &g = G();
    std::lock_guard<std::mutex> guard(g.Lock);
    g.Version = 11;
    g.VersionAvailable = true;
    g.InitFailures.clear();
    g.Log.clear();
    g.Devices.clear();
    g.VersionReferences = 0;
}

std::string Check()
{
    Globals &g = G();
    std::lock_guard<std::mutex> guard(g.Lock);
    std::string report;
    ForgetDeletedDevices();
    if (!g.Devices.empty())
        report += "portcls: " + std::to_string(g.Devices.size()) + " adapter device(s) never removed\n";
    if (g.VersionReferences != 0)
        report += "portcls: " + std::to_string(g.VersionReferences) +
                  " IPortClsVersion reference(s) not released\n";
    if (!g.InitFailures.empty())
        report += "portcls: an armed PcInitializeAdapterDriver failure was never reached\n";
    return report;
}

const bool registered = (sim::RegisterComponent("portcls-adapter", &Reset, &Check), true);

} // namespace

NTSTATUS PcQueryPortClsVersion(PVOID *object)
{
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        if (!G().VersionAvailable)
        {
            *object = nullptr;
            return STATUS_INVALID_PARAMETER;
        }
    }
    return g_version.QueryInterface(IID_IPortClsVersion, object);
}

ULONG PcAdapterMaxObjects(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(G().Lock);
    ForgetDeletedDevices();
    for (PDEVICE_OBJECT d : G().Devices)
        if (d == device)
            return reinterpret_cast<AdapterState *>(d->DeviceExtension)->MaxObjects;
    return 0;
}

extern "C" NTSTATUS PcInitializeAdapterDriver(PDRIVER_OBJECT driverObject, PUNICODE_STRING,
                                              PDRIVER_ADD_DEVICE addDevice)
{
    (void)registered;
    sim::AssertPassiveLevel("PcInitializeAdapterDriver");
    if (!driverObject || !addDevice)
        return STATUS_INVALID_PARAMETER;
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        if (!G().InitFailures.empty())
        {
            const NTSTATUS status = G().InitFailures.front();
            G().InitFailures.erase(G().InitFailures.begin());
            return status;
        }
    }
    for (PDRIVER_DISPATCH &dispatch : driverObject->MajorFunction)
        dispatch = &PcDispatchIrp;
    driverObject->DriverExtension->AddDevice = addDevice;
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PcAddAdapterDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject,
                                       PCPFNSTARTDEVICE startDevice, ULONG maxObjects, ULONG extensionSize)
{
    sim::AssertPassiveLevel("PcAddAdapterDevice");
    if (!driverObject || !physicalDeviceObject || !startDevice || maxObjects == 0 ||
        extensionSize < PORT_CLASS_DEVICE_EXTENSION_SIZE)
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driverObject, extensionSize, nullptr, FILE_DEVICE_KS, 0, FALSE, &device);
    if (!NT_SUCCESS(status))
        return status;
    auto *bytes = static_cast<UCHAR *>(device->DeviceExtension);
    std::memset(bytes, kFill, PORT_CLASS_DEVICE_EXTENSION_SIZE);
    auto *state = new (bytes) AdapterState{};
    state->GuardFront = state->GuardBack = kGuard;
    state->Self = device;
    state->Physical = physicalDeviceObject;
    state->StartDevice = startDevice;
    state->MaxObjects = maxObjects;
    state->DevicePower = PowerDeviceD0;
    state->Lower = IoAttachDeviceToDeviceStack(device, physicalDeviceObject);
    if (!state->Lower)
    {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    device->Flags |= DO_POWER_PAGABLE;
    std::lock_guard<std::mutex> guard(G().Lock);
    ForgetDeletedDevices();
    G().Devices.push_back(device);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS PcDispatchIrp(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    const std::string what = Describe(irp);
    AdapterState *state = StateOf(deviceObject, "PcDispatchIrp");
    NTSTATUS status;
    if (!state)
    {
        status = Complete(irp, STATUS_INVALID_DEVICE_STATE);
        Note(what, status);
        return status;
    }
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    switch (location->MajorFunction)
    {
    case IRP_MJ_PNP:
        status = DispatchPnp(state, deviceObject, irp);
        break;
    case IRP_MJ_POWER:
        status = DispatchPower(state, irp);
        break;
    case IRP_MJ_CREATE:
    {
        PFILE_OBJECT file = location->FileObject;
        status = Complete(irp, file && NamesSubdevice(deviceObject, file->FileName)
                                   ? STATUS_SUCCESS
                                   : STATUS_OBJECT_NAME_NOT_FOUND);
        break;
    }
    case IRP_MJ_CLOSE:
        status = Complete(irp, STATUS_SUCCESS);
        break;
    case IRP_MJ_DEVICE_CONTROL:
        status = Complete(irp, STATUS_INVALID_DEVICE_REQUEST);
        break;
    default:
        status = PassDown(state, irp);
        break;
    }
    Note(what, status);
    return status;
}

extern "C" NTSTATUS PcCompleteIrp(PDEVICE_OBJECT, PIRP irp, NTSTATUS status)
{
    if (status == STATUS_PENDING)
        return status;
    return Complete(irp, status);
}

extern "C" NTSTATUS PcRegisterAdapterPowerManagement(PUNKNOWN unknown, PDEVICE_OBJECT deviceObject)
{
    AdapterState *state = StateOf(deviceObject, "PcRegisterAdapterPowerManagement");
    if (!state || !unknown)
        return STATUS_INVALID_PARAMETER;
    PVOID object = nullptr;
    const NTSTATUS status = unknown->QueryInterface(IID_IAdapterPowerManagement, &object);
    if (!NT_SUCCESS(status) || !object)
        return NT_SUCCESS(status) ? STATUS_INVALID_PARAMETER : status;
    if (state->Power)
        state->Power->Release();
    state->Power = static_cast<PADAPTERPOWERMANAGEMENT>(object);
    return STATUS_SUCCESS;
}

namespace sim::portcls
{

void SetPortClsVersion(ULONG version, bool available)
{
    std::lock_guard<std::mutex> guard(G().Lock);
    G().Version = version;
    G().VersionAvailable = available;
}

void FailNextInitializeAdapterDriver(NTSTATUS status)
{
    std::lock_guard<std::mutex> guard(G().Lock);
    G().InitFailures.push_back(status);
}

std::vector<std::string> DispatchLog()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    return G().Log;
}

void ClearDispatchLog()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    G().Log.clear();
}

size_t AdapterDevices()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    ForgetDeletedDevices();
    return G().Devices.size();
}

size_t PowerRegistrations()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    ForgetDeletedDevices();
    size_t held = 0;
    for (PDEVICE_OBJECT d : G().Devices)
        held += reinterpret_cast<AdapterState *>(d->DeviceExtension)->Power != nullptr;
    return held;
}

} // namespace sim::portcls
