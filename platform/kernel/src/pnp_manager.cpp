// The PnP manager and the file I/O a user process causes: one driver, its devices, their PnP, power,
// create, close and buffered device-control requests.
#include <ntkernel.h>
#include <sim/io_sim.h>
#include <sim/kernel_sim.h>
#include <sim/pnp_sim.h>
#include <sim/registry_sim.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

namespace
{

constexpr ULONG kFileTag = MakePoolTag("File");
constexpr ULONG kSystemBufferTag = MakePoolTag("Sbuf");
constexpr ULONG kDriverTag = MakePoolTag("Drvo");
constexpr size_t kGuardBytes = 16;
constexpr UCHAR kGuardByte = 0xFD;  // after the system buffer
constexpr UCHAR kPoisonByte = 0xCD; // what the driver did not get as input

// Requests the manager has sent to a device and not yet seen complete. Removal waits for them, as the
// platform's does: a removal may come from the hub's thread while a power request is on its way down
// the stack, and the stack must not be deleted under it.
struct InFlight
{
    LONG Count = 0; // under the lock
    KEVENT Idle;    // signalled while Count is 0
    InFlight() { KeInitializeEvent(&Idle, NotificationEvent, TRUE); }
};

struct DeviceRec
{
    PDEVICE_OBJECT Pdo;
    bool Started = false;
    bool SurpriseRemoved = false;
    bool RemovePending = false; // gone, waiting for its files to close
    bool Removing = false;      // its removal has been sent: a second path finds it taken
    std::shared_ptr<InFlight> Busy = std::make_shared<InFlight>();
};

struct FileRec
{
    FILE_OBJECT File;
    PDEVICE_OBJECT Pdo;
    WCHAR Name[1]; // the name's characters follow
};

struct Globals
{
    std::mutex Lock;
    PDRIVER_OBJECT Driver = nullptr;
    std::vector<DeviceRec> Devices;
    std::vector<FileRec *> Files;
    std::vector<std::string> Log;
};

Globals &G()
{
    static Globals g;
    return g;
}

DeviceRec *Find(PDEVICE_OBJECT pdo) // lock held
{
    for (DeviceRec &d : G().Devices)
        if (d.Pdo == pdo)
            return &d;
    return nullptr;
}

void Note(const std::string &what, NTSTATUS status)
{
    char tail[24];
    std::snprintf(tail, sizeof tail, " -> 0x%08X", unsigned(status));
    std::lock_guard<std::mutex> guard(G().Lock);
    G().Log.push_back(what + tail);
}

NTSTATUS OnDone(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one request to the top of the device's stack and waits for it. `fill` sets up the first stack
// location; the IRP's final IoStatus is returned through `ioStatus`.
template <class Fill>
NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, NTSTATUS initial, Fill fill,
              IO_STATUS_BLOCK *ioStatus = nullptr, PVOID systemBuffer = nullptr)
{
    std::shared_ptr<InFlight> busy;
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        if (DeviceRec *d = Find(pdo))
        {
            busy = d->Busy;
            if (busy->Count++ == 0)
                KeClearEvent(&busy->Idle);
        }
    }
    struct Done
    {
        std::shared_ptr<InFlight> &busy;
        ~Done()
        {
            std::lock_guard<std::mutex> guard(G().Lock);
            if (busy && --busy->Count == 0)
                KeSetEvent(&busy->Idle, 0, FALSE);
        }
    } done{busy};
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
    if (!top)
        return STATUS_NO_SUCH_DEVICE;
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    // A removal cannot be dropped for want of memory, or the stack would stay above a device that
    // is gone: the manager tries again until the pool gives.
    const bool removal =
        major == IRP_MJ_PNP && (minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL);
    for (int tries = 0; !irp && removal && tries < 16; ++tries)
        irp = IoAllocateIrp(top->StackSize, FALSE);
    if (!irp)
    {
        ObDereferenceObject(top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    irp->IoStatus.Status = initial;
    irp->IoStatus.Information = 0;
    irp->AssociatedIrp.SystemBuffer = systemBuffer;
    PIO_STACK_LOCATION location = IoGetNextIrpStackLocation(irp);
    location->MajorFunction = major;
    location->MinorFunction = minor;
    fill(location);
    KEVENT completed;
    KeInitializeEvent(&completed, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, &OnDone, &completed, TRUE, TRUE, TRUE);
    const NTSTATUS sent = major == IRP_MJ_POWER ? PoCallDriver(top, irp) : IoCallDriver(top, irp);
    if (sent == STATUS_PENDING)
        KeWaitForSingleObject(&completed, Executive, KernelMode, FALSE, nullptr);
    const IO_STATUS_BLOCK result = irp->IoStatus;
    IoFreeIrp(irp);
    ObDereferenceObject(top);
    if (ioStatus)
        *ioStatus = result;
    return result.Status;
}

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, const char *name)
{
    const NTSTATUS status = Send(pdo, IRP_MJ_PNP, minor, STATUS_NOT_SUPPORTED, [](PIO_STACK_LOCATION) {});
    Note(name, status);
    return status;
}

// The last request of a device: the stack above its physical device must be gone afterwards.
void Remove(PDEVICE_OBJECT pdo)
{
    std::shared_ptr<InFlight> busy;
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        if (DeviceRec *d = Find(pdo))
        {
            // An unplug, a query-remove and a last close can race to remove one device; one wins.
            if (d->Removing)
                return;
            d->Removing = true;
            busy = d->Busy;
        }
    }
    if (busy)
        KeWaitForSingleObject(&busy->Idle, Executive, KernelMode, FALSE, nullptr);
    SendPnp(pdo, IRP_MN_REMOVE_DEVICE, "REMOVE_DEVICE");
    if (pdo->AttachedDevice)
        sim::ReportViolation("PnP: a device object is still attached after IRP_MN_REMOVE_DEVICE");
    std::lock_guard<std::mutex> guard(G().Lock);
    std::erase_if(G().Devices, [pdo](const DeviceRec &d) { return d.Pdo == pdo; });
}

bool HasOpenFiles(PDEVICE_OBJECT pdo) // lock held
{
    return std::any_of(G().Files.begin(), G().Files.end(), [pdo](const FileRec *f) { return f->Pdo == pdo; });
}

void FreeDriver(PDRIVER_OBJECT driver)
{
    if (driver->DriverName.Buffer)
        ExFreePoolWithTag(driver->DriverName.Buffer, kDriverTag);
    ExFreePoolWithTag(driver, kDriverTag);
}

void Reset()
{
    Globals &g = G();
    std::lock_guard<std::mutex> guard(g.Lock);
    g.Driver = nullptr; // the pool's reset reclaims it
    g.Devices.clear();
    g.Files.clear();
    g.Log.clear();
}

std::string Check()
{
    Globals &g = G();
    std::lock_guard<std::mutex> guard(g.Lock);
    std::string report;
    if (!g.Files.empty())
        report += "pnp: " + std::to_string(g.Files.size()) + " file(s) still open\n";
    if (!g.Devices.empty())
        report += "pnp: " + std::to_string(g.Devices.size()) + " device(s) never removed\n";
    if (g.Driver)
        report += "pnp: the driver was never unloaded\n";
    return report;
}

const bool registered = (sim::RegisterComponent("pnp", &Reset, &Check), true);

} // namespace

namespace sim::pnp
{

NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, const std::string &service)
{
    (void)registered;
    sim::AssertPassiveLevel("LoadDriver");
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        if (G().Driver)
            return STATUS_OBJECT_NAME_COLLISION;
    }
    auto *driver =
        static_cast<PDRIVER_OBJECT>(ExAllocatePoolWithTag(NonPagedPool, sizeof(DRIVER_OBJECT), kDriverTag));
    if (!driver)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(driver, 0, sizeof *driver);
    driver->DriverExtension = &driver->Extension;
    driver->Extension.DriverObject = driver;
    const std::string path = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
    sim::registry::CreateKey(path);
    const size_t bytes = (path.size() + 1) * sizeof(WCHAR);
    auto *text = static_cast<PWCHAR>(ExAllocatePoolWithTag(NonPagedPool, bytes, kDriverTag));
    if (!text)
    {
        FreeDriver(driver);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    for (size_t i = 0; i <= path.size(); ++i)
        text[i] = WCHAR(static_cast<unsigned char>(path.c_str()[i]));
    driver->DriverName.Buffer = text;
    driver->DriverName.Length = USHORT(path.size() * sizeof(WCHAR));
    driver->DriverName.MaximumLength = USHORT(bytes);
    UNICODE_STRING registryPath = driver->DriverName;
    const NTSTATUS status = entry(driver, &registryPath);
    Note("DRIVER_ENTRY", status);
    if (!NT_SUCCESS(status))
    {
        FreeDriver(driver);
        return status;
    }
    std::lock_guard<std::mutex> guard(G().Lock);
    G().Driver = driver;
    return status;
}

PDRIVER_OBJECT Driver()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    return G().Driver;
}

void UnloadDriver()
{
    PDRIVER_OBJECT driver;
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        driver = G().Driver;
        G().Driver = nullptr;
    }
    if (!driver)
        return;
    if (driver->DeviceObject)
        sim::ReportViolation("PnP: the driver is unloaded with device objects left");
    if (driver->DriverUnload)
        driver->DriverUnload(driver);
    FreeDriver(driver);
}

NTSTATUS DeviceAddedNotStarted(PDEVICE_OBJECT pdo)
{
    sim::AssertPassiveLevel("DeviceAddedNotStarted");
    PDRIVER_OBJECT driver = Driver();
    if (!driver || !driver->DriverExtension->AddDevice || !pdo)
        return STATUS_NO_SUCH_DEVICE;
    NTSTATUS status = driver->DriverExtension->AddDevice(driver, pdo);
    Note("ADD_DEVICE", status);
    if (!NT_SUCCESS(status))
    {
        if (pdo->AttachedDevice)
            sim::ReportViolation("PnP: a failed add-device left a device object attached");
        return status;
    }
    std::lock_guard<std::mutex> guard(G().Lock);
    G().Devices.push_back(DeviceRec{pdo});
    return status;
}

NTSTATUS DeviceArrived(PDEVICE_OBJECT pdo)
{
    NTSTATUS status = DeviceAddedNotStarted(pdo);
    if (!NT_SUCCESS(status))
        return status;
    status = SendPnp(pdo, IRP_MN_START_DEVICE, "START_DEVICE");
    if (!NT_SUCCESS(status))
    {
        Remove(pdo);
        return status;
    }
    std::lock_guard<std::mutex> guard(G().Lock);
    if (DeviceRec *d = Find(pdo))
        d->Started = true;
    return status;
}

void DeviceSurpriseRemoved(PDEVICE_OBJECT pdo)
{
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        DeviceRec *d = Find(pdo);
        if (!d || d->SurpriseRemoved)
            return;
        d->SurpriseRemoved = true;
        if (!d->Started)
            return;
        d->Started = false;
    }
    SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL, "SURPRISE_REMOVAL");
}

void DeviceRemoved(PDEVICE_OBJECT pdo)
{
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        DeviceRec *d = Find(pdo);
        if (!d)
            return;
        if (HasOpenFiles(pdo))
        {
            d->RemovePending = true;
            return;
        }
    }
    Remove(pdo);
}

NTSTATUS QueryRemove(PDEVICE_OBJECT pdo)
{
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        if (!Find(pdo))
            return STATUS_NO_SUCH_DEVICE;
    }
    const NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_REMOVE_DEVICE, "QUERY_REMOVE_DEVICE");
    if (!NT_SUCCESS(status))
    {
        SendPnp(pdo, IRP_MN_CANCEL_REMOVE_DEVICE, "CANCEL_REMOVE_DEVICE");
        return status;
    }
    DeviceRemoved(pdo);
    return status;
}

NTSTATUS SetDevicePower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state)
{
    const NTSTATUS status = Send(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, STATUS_NOT_SUPPORTED,
                                 [state](PIO_STACK_LOCATION l)
                                 {
                                     l->Parameters.Power.Type = DevicePowerState;
                                     l->Parameters.Power.State.DeviceState = state;
                                 });
    Note("SET_POWER D" + std::to_string(int(state) - 1), status);
    return status;
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT pdo, DEVICE_CAPABILITIES *capabilities)
{
    std::memset(capabilities, 0, sizeof *capabilities);
    capabilities->Size = sizeof *capabilities;
    capabilities->Version = 1;
    const NTSTATUS status = Send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, STATUS_NOT_SUPPORTED,
                                 [capabilities](PIO_STACK_LOCATION l)
                                 { l->Parameters.DeviceCapabilities.Capabilities = capabilities; });
    Note("QUERY_CAPABILITIES", status);
    return status;
}

bool Started(PDEVICE_OBJECT pdo)
{
    std::lock_guard<std::mutex> guard(G().Lock);
    DeviceRec *d = Find(pdo);
    return d && d->Started;
}

size_t Devices()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    return G().Devices.size();
}

std::vector<std::string> Log()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    return G().Log;
}

void ClearLog()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    G().Log.clear();
}

NTSTATUS OpenFile(PDEVICE_OBJECT pdo, const std::u16string &name, PFILE_OBJECT *file)
{
    *file = nullptr;
    const size_t bytes = offsetof(FileRec, Name) + (name.size() + 1) * sizeof(WCHAR);
    auto *rec = static_cast<FileRec *>(ExAllocatePoolWithTag(NonPagedPool, bytes, kFileTag));
    if (!rec)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(rec, 0, bytes);
    std::copy(name.begin(), name.end(), rec->Name);
    rec->Pdo = pdo;
    rec->File.Type = 5;
    rec->File.Size = sizeof(FILE_OBJECT);
    rec->File.DeviceObject = pdo;
    rec->File.FileName.Buffer = rec->Name;
    rec->File.FileName.Length = USHORT(name.size() * sizeof(WCHAR));
    rec->File.FileName.MaximumLength = USHORT((name.size() + 1) * sizeof(WCHAR));
    PFILE_OBJECT object = &rec->File;
    const NTSTATUS status = Send(pdo, IRP_MJ_CREATE, 0, STATUS_SUCCESS,
                                 [object](PIO_STACK_LOCATION l) { l->FileObject = object; });
    if (!NT_SUCCESS(status))
    {
        ExFreePoolWithTag(rec, kFileTag);
        return status;
    }
    std::lock_guard<std::mutex> guard(G().Lock);
    G().Files.push_back(rec);
    *file = object;
    return status;
}

NTSTATUS OpenInterface(const std::string &link, PFILE_OBJECT *file)
{
    *file = nullptr;
    for (const sim::io::DeviceInterfaceRecord &r : sim::io::DeviceInterfaces())
        if (r.Enabled && r.Link.size() == link.size() &&
            std::equal(link.begin(), link.end(), r.Link.begin(),
                       [](char a, char b) { return std::tolower(a) == std::tolower(b); }))
            return OpenFile(r.Device, u"\\" + std::u16string(r.Reference.begin(), r.Reference.end()), file);
    return STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS CloseFile(PFILE_OBJECT file)
{
    FileRec *rec = nullptr;
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        for (FileRec *f : G().Files)
            if (&f->File == file)
                rec = f;
        if (!rec)
            return STATUS_INVALID_HANDLE;
        std::erase(G().Files, rec);
    }
    const NTSTATUS status = Send(rec->Pdo, IRP_MJ_CLOSE, 0, STATUS_SUCCESS,
                                 [file](PIO_STACK_LOCATION l) { l->FileObject = file; });
    PDEVICE_OBJECT pdo = rec->Pdo;
    ExFreePoolWithTag(rec, kFileTag);
    bool removeNow = false;
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        DeviceRec *d = Find(pdo);
        removeNow = d && d->RemovePending && !HasOpenFiles(pdo);
    }
    if (removeNow)
        Remove(pdo);
    return status;
}

size_t OpenFiles()
{
    std::lock_guard<std::mutex> guard(G().Lock);
    return G().Files.size();
}

NTSTATUS DeviceControl(PFILE_OBJECT file, ULONG code, const void *in, ULONG inLength, void *out,
                       ULONG outLength, ULONG_PTR *information)
{
    if (information)
        *information = 0;
    PDEVICE_OBJECT pdo = nullptr;
    {
        std::lock_guard<std::mutex> guard(G().Lock);
        for (FileRec *f : G().Files)
            if (&f->File == file)
                pdo = f->Pdo;
    }
    if (!pdo)
        return STATUS_INVALID_HANDLE;
    const size_t room = std::max(inLength, outLength);
    auto *buffer =
        static_cast<UCHAR *>(ExAllocatePoolWithTag(NonPagedPool, room + kGuardBytes, kSystemBufferTag));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memset(buffer, kPoisonByte, room);
    std::memset(buffer + room, kGuardByte, kGuardBytes);
    if (in && inLength)
        std::memcpy(buffer, in, inLength);
    IO_STATUS_BLOCK result{};
    const NTSTATUS status = Send(
        pdo, IRP_MJ_DEVICE_CONTROL, 0, STATUS_SUCCESS,
        [&](PIO_STACK_LOCATION l)
        {
            l->FileObject = file;
            l->Parameters.DeviceIoControl.IoControlCode = code;
            l->Parameters.DeviceIoControl.InputBufferLength = inLength;
            l->Parameters.DeviceIoControl.OutputBufferLength = outLength;
        },
        &result, room ? buffer : nullptr);
    for (size_t i = 0; i < kGuardBytes; ++i)
        if (buffer[room + i] != kGuardByte)
        {
            sim::ReportViolation("DeviceControl: the driver wrote past the system buffer");
            break;
        }
    if (outLength && !NT_ERROR(status))
    {
        if (result.Information > outLength)
            sim::ReportViolation("DeviceControl: Information is above the output length");
        if (out)
            std::memcpy(out, buffer, std::min<size_t>(result.Information, outLength));
    }
    ExFreePoolWithTag(buffer, kSystemBufferTag);
    if (information)
        *information = result.Information;
    return status;
}

} // namespace sim::pnp
