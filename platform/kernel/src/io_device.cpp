// Device objects and device stacks, and the device registry entries answered from the Enum tree.
#include "io_internal.h"
#include "kernel_internal.h"

#include <new>
#include <set>

#include <sim/io_sim.h>
#include <sim/registry_sim.h>

using namespace sim::detail;

namespace
{

// The device object lives inside a referenced kernel object, so ObDereferenceObject works on it.
struct DeviceBlock final : SimObject
{
    DEVICE_OBJECT device{};
    bool deleted = false;
    void OnLastReference() override;
};

std::set<DeviceBlock *> g_devices; // guarded by the scheduler lock

void DeviceBlock::OnLastReference()
{
    UnregisterObjectPointer(&device);
    g_devices.erase(this);
    this->~DeviceBlock();
    ExFreePool(this);
}

DeviceBlock *BlockOf(PDEVICE_OBJECT d) // lock held
{
    for (DeviceBlock *b : g_devices)
        if (&b->device == d)
            return b;
    return nullptr;
}

PDEVICE_OBJECT Bottom(PDEVICE_OBJECT d)
{
    while (d && d->AttachedTo)
        d = d->AttachedTo;
    return d;
}

void Reset()
{
    {
        auto lk = Lock();
        for (DeviceBlock *b : g_devices)
            UnregisterObjectPointer(&b->device);
        g_devices.clear(); // the pool reset reclaims the memory of a failed test
    }
    sim::io::detail::ResetIrps();
    sim::io::detail::ResetPower();
}

std::string Check()
{
    std::string report = sim::io::detail::IrpCheck();
    auto lk = Lock();
    size_t live = 0;
    for (DeviceBlock *b : g_devices)
        if (!b->deleted)
            ++live;
    if (live)
        report += (report.empty() ? "" : "; ") + std::to_string(live) + " device object(s) not deleted";
    return report;
}

const bool registered = (sim::RegisterComponent("io", &Reset, &Check), true);

} // namespace

size_t sim::io::LiveDevices()
{
    auto lk = Lock();
    size_t live = 0;
    for (DeviceBlock *b : g_devices)
        if (!b->deleted)
            ++live;
    return live;
}

bool sim::io::IsLiveDevice(PDEVICE_OBJECT device)
{
    auto lk = Lock();
    DeviceBlock *b = device ? BlockOf(device) : nullptr;
    return b && !b->deleted;
}

extern "C" NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG extensionSize, PUNICODE_STRING,
                                   ULONG deviceType, ULONG characteristics, BOOLEAN,
                                   PDEVICE_OBJECT *deviceObject)
{
    (void)registered;
    *deviceObject = nullptr;
    const size_t head = (sizeof(DeviceBlock) + 15) & ~size_t(15);
    void *mem = ExAllocatePoolWithTag(NonPagedPool, head + extensionSize, MakePoolTag("Devo"));
    if (mem == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto *b = new (mem) DeviceBlock();
    PDEVICE_OBJECT d = &b->device;
    d->Type = 3;
    d->Size = USHORT(sizeof(DEVICE_OBJECT) + extensionSize);
    d->DriverObject = driverObject;
    d->DeviceType = deviceType;
    d->Characteristics = characteristics;
    d->StackSize = 1;
    d->Flags = DO_DEVICE_INITIALIZING;
    if (extensionSize)
    {
        d->DeviceExtension = static_cast<uint8_t *>(mem) + head;
        memset(d->DeviceExtension, 0, extensionSize);
    }
    auto lk = Lock();
    g_devices.insert(b);
    RegisterObjectPointer(d, b);
    if (driverObject)
    {
        d->NextDevice = driverObject->DeviceObject;
        driverObject->DeviceObject = d;
    }
    *deviceObject = d;
    return STATUS_SUCCESS;
}

extern "C" VOID IoDeleteDevice(PDEVICE_OBJECT deviceObject)
{
    auto lk = Lock();
    DeviceBlock *b = BlockOf(deviceObject);
    if (b == nullptr || b->deleted)
    {
        lk.unlock();
        sim::ReportViolation("IoDeleteDevice: not a live device object");
        return;
    }
    if (deviceObject->AttachedDevice || deviceObject->AttachedTo)
    {
        lk.unlock();
        sim::ReportViolation("IoDeleteDevice: the device is still attached to a stack");
        return;
    }
    if (PDRIVER_OBJECT drv = deviceObject->DriverObject)
    {
        for (PDEVICE_OBJECT *p = &drv->DeviceObject; *p; p = &(*p)->NextDevice)
            if (*p == deviceObject)
            {
                *p = deviceObject->NextDevice;
                break;
            }
    }
    b->deleted = true;
    if (--b->refs == 0)
        b->OnLastReference();
}

extern "C" PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target)
{
    auto lk = Lock();
    if (!BlockOf(source) || !BlockOf(target))
    {
        lk.unlock();
        sim::ReportViolation("IoAttachDeviceToDeviceStack: not a live device object");
        return nullptr;
    }
    PDEVICE_OBJECT top = target;
    while (top->AttachedDevice)
        top = top->AttachedDevice;
    top->AttachedDevice = source;
    source->AttachedTo = top;
    source->StackSize = CHAR(top->StackSize + 1);
    return top;
}

extern "C" VOID IoDetachDevice(PDEVICE_OBJECT targetDevice)
{
    auto lk = Lock();
    if (!targetDevice || !targetDevice->AttachedDevice)
    {
        lk.unlock();
        sim::ReportViolation("IoDetachDevice: nothing is attached to the device");
        return;
    }
    targetDevice->AttachedDevice->AttachedTo = nullptr;
    targetDevice->AttachedDevice = nullptr;
}

extern "C" PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT deviceObject)
{
    auto lk = Lock();
    PDEVICE_OBJECT top = deviceObject;
    while (top && top->AttachedDevice)
        top = top->AttachedDevice;
    DeviceBlock *b = top ? BlockOf(top) : nullptr;
    if (b == nullptr)
    {
        lk.unlock();
        sim::ReportViolation("IoGetAttachedDeviceReference: not a live device object");
        return nullptr;
    }
    ++b->refs;
    return top;
}

extern "C" NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY property,
                                        ULONG bufferLength, PVOID propertyBuffer, PULONG resultLength)
{
    sim::AssertPassiveLevel("IoGetDeviceProperty");
    auto instance = sim::registry::FindDevice(Bottom(deviceObject));
    if (!instance)
        return STATUS_INVALID_DEVICE_REQUEST;
    return sim::registry::QueryDeviceProperty(*instance, property, bufferLength, propertyBuffer,
                                              resultLength);
}

extern "C" NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG keyType, ACCESS_MASK access,
                                            PHANDLE key)
{
    sim::AssertPassiveLevel("IoOpenDeviceRegistryKey");
    auto instance = sim::registry::FindDevice(Bottom(deviceObject));
    if (!instance)
        return STATUS_INVALID_DEVICE_REQUEST;
    return sim::registry::OpenDeviceKey(*instance, keyType, access, key);
}
