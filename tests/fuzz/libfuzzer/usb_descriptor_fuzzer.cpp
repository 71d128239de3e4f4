// libFuzzer entry for the bounded descriptor helpers, the request builder, the printer and the
// bus's own parsing: the bytes are plugged as the configuration of each device family, configured,
// and every alternate setting they list is selected.
// CI seeds it with what usb_descriptor_seeds writes: the malformed corpus and the builders' output.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <ntkernel.h>
#include <sim/kernel_sim.h>
#include <sim/registry_sim.h>
#include <sim/usb_bus.h>
#include <sim/usb_printer.h>
#include <usbd_lib.h>

namespace
{

NTSTATUS Signal(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendUrb(PDEVICE_OBJECT pdo, PURB urb)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = urb;
    IoSetCompletionRoutine(irp, Signal, &done, TRUE, TRUE, TRUE);
    IofCallDriver(pdo, irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

struct Alternate
{
    uint8_t number, alternate, endpoints;
};

// Selects the configuration over its first alternates, then every alternate the walk finds.
void SelectEverything(usbsim::Bus &bus, PDEVICE_OBJECT pdo, const uint8_t *base, size_t size)
{
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    std::vector<Alternate> alternates;
    for (auto i = usbd::ParseInterfaceBounded(base, size, base, -1, -1, -1, -1, -1);
         i && alternates.size() < 32;
         i = usbd::ParseInterfaceBounded(base, size, reinterpret_cast<const uint8_t *>(i) + i->bLength, -1,
                                         -1, -1, -1, -1))
    {
        alternates.push_back({i->bInterfaceNumber, i->bAlternateSetting, i->bNumEndpoints});
        if (i->bAlternateSetting == 0 && list.size() < 8)
            list.push_back({const_cast<PUSB_INTERFACE_DESCRIPTOR>(i), nullptr});
    }
    list.push_back({nullptr, nullptr});
    PURB config = usbd::CreateConfigurationRequestBounded(base, size, list.data());
    if (config == nullptr)
        return;
    const NTSTATUS selected = SendUrb(pdo, config);
    ExFreePool(config);
    if (!NT_SUCCESS(selected))
        return;
    for (const Alternate &a : alternates)
    {
        const size_t pipes =
            a.endpoints < USBD_MAX_PIPES_PER_INTERFACE ? a.endpoints : USBD_MAX_PIPES_PER_INTERFACE;
        const size_t bytes = GET_SELECT_INTERFACE_REQUEST_SIZE(pipes);
        std::vector<uint64_t> mem((bytes + 7) / 8 + 1, 0);
        auto urb = reinterpret_cast<PURB>(mem.data());
        UsbBuildSelectInterfaceRequest(urb, USHORT(bytes), bus.ConfigurationHandle(1), a.number, a.alternate);
        (void)SendUrb(pdo, urb);
    }
}

// One bus for the whole run (its hub thread starts once); every plug is undone before the next.
usbsim::Bus &TheBus()
{
    static usbsim::Bus *bus = []
    {
        sim::SetViolationHandler(
            [](const std::string &report)
            {
                std::fprintf(stderr, "kernel misuse: %s\n", report.c_str());
                __builtin_trap();
            });
        sim::ResetAll();
        // Down before the kernel stand-in's own statics go, or its hub thread keeps them waiting.
        std::atexit(
            []
            {
                TheBus().Shutdown();
                sim::ResetAll();
            });
        return new usbsim::Bus;
    }();
    return *bus;
}

void PlugAsEachFamily(const std::vector<uint8_t> &bytes)
{
    static const usbsim::Bytes device = usbsim::BuildUac1Headset().device;
    usbsim::Bus &bus = TheBus();
    for (usbsim::DeviceFamily family :
         {usbsim::DeviceFamily::Uac1, usbsim::DeviceFamily::Uac2, usbsim::DeviceFamily::Chip})
    {
        usbsim::DescriptorSet set;
        set.device = device;
        set.configuration = bytes; // exactly sized: a read past it is caught
        auto dev = usbsim::VirtualDevice::Make(std::move(set), family);
        if (PDEVICE_OBJECT pdo = bus.Plug(1, dev))
            SelectEverything(bus, pdo, dev->Descriptors().configuration.data(),
                             dev->Descriptors().configuration.size());
        bus.Unplug(1);
        bus.ClearLog();
        bus.Iso(1).ClearLog();
    }
    // Each plug made a device instance with a software key of its own, and the port's engine logs what
    // it did: without these the run's memory grew with every input.
    sim::registry::Reset();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A private copy, exactly sized, so any read past it is caught.
    std::vector<uint8_t> b(data, data + size);
    const uint8_t *base = b.data();
    for (size_t start = 0; start < size; start += 1 + start / 8)
    {
        for (LONG type : {-1, 4, 5, 0x24})
        {
            auto d = usbd::ParseDescriptorsBounded(base, size, base + start, type);
            if (d && (reinterpret_cast<const uint8_t *>(d) + d->bLength > base + size || d->bLength < 2))
                __builtin_trap();
        }
    }
    USBD_INTERFACE_LIST_ENTRY list[9] = {};
    size_t k = 0;
    for (auto i = usbd::ParseInterfaceBounded(base, size, base, -1, -1, -1, -1, -1); i && k < 8;
         i = usbd::ParseInterfaceBounded(base, size, reinterpret_cast<const uint8_t *>(i) + i->bLength, -1,
                                         -1, -1, -1, -1))
    {
        if (i->bLength < 9 || reinterpret_cast<const uint8_t *>(i) + i->bLength > base + size)
            __builtin_trap();
        list[k++].InterfaceDescriptor = const_cast<PUSB_INTERFACE_DESCRIPTOR>(i);
    }
    if (PURB urb = usbd::CreateConfigurationRequestBounded(base, size, list))
        ExFreePool(urb);
    (void)usbsim::PrintDescriptors(base, size);
    PlugAsEachFamily(b);
    return 0;
}
