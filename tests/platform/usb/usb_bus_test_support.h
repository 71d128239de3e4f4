// Shared parts of the bus tests: a fixture with a bus that shuts down before the kernel's checks,
// synchronous senders for URBs and IOCTLs straight to a PDO, URB builders and a recording FDO.
#pragma once

#include <algorithm>
#include <memory>
#include <vector>

#include "support/kernel_test.h"

#include <sim/io_sim.h>
#include <sim/usb_bus.h>
#include <sim/usb_printer.h>
#include <usbd_lib.h>

#include "support/usb_failure_dump.h"

namespace usbtest
{

using usbsim::Bytes;

// An IRP sent to a device and, once it completed, its statuses.
struct Sent
{
    PIRP irp = nullptr;
    KEVENT done;
    NTSTATUS callStatus = STATUS_PENDING;
    NTSTATUS status = STATUS_PENDING;
    bool completed = false;
    bool completedInCall = false;
    KIRQL completionIrql = PASSIVE_LEVEL;
};

inline NTSTATUS SentDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    auto *s = static_cast<Sent *>(context);
    s->status = irp->IoStatus.Status;
    s->completionIrql = KeGetCurrentIrql();
    s->completed = true;
    KeSetEvent(&s->done, 0, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Builds an internal device-control IRP for `target` without sending it.
inline std::unique_ptr<Sent> Build(PDEVICE_OBJECT target, ULONG code, PVOID arg1, PVOID inputBuffer = nullptr,
                                   ULONG inputLength = 0)
{
    auto s = std::make_unique<Sent>();
    KeInitializeEvent(&s->done, NotificationEvent, FALSE);
    s->irp = IoAllocateIrp(target->StackSize, FALSE);
    if (s->irp == nullptr)
        return s;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(s->irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inputLength;
    next->Parameters.DeviceIoControl.Type3InputBuffer = inputBuffer;
    next->Parameters.Others.Argument1 = arg1;
    IoSetCompletionRoutine(s->irp, SentDone, s.get(), TRUE, TRUE, TRUE);
    return s;
}

inline void Call(PDEVICE_OBJECT target, Sent &s)
{
    s.callStatus = IofCallDriver(target, s.irp);
    s.completedInCall = s.completed;
}

inline void Wait(Sent &s)
{
    KeWaitForSingleObject(&s.done, Executive, KernelMode, FALSE, nullptr);
}

inline void Free(Sent &s)
{
    if (s.irp)
        IoFreeIrp(s.irp);
    s.irp = nullptr;
}

// Sends and waits; returns the IRP's final status. The clock moves to the bus's deadlines on its own.
inline NTSTATUS SendIoctl(PDEVICE_OBJECT target, ULONG code, PVOID arg1, PVOID input = nullptr,
                          ULONG inputLength = 0)
{
    auto s = Build(target, code, arg1, input, inputLength);
    Call(target, *s);
    Wait(*s);
    NTSTATUS st = s->status;
    Free(*s);
    return st;
}

// Any IRP: `setup` fills the next stack location; IoStatus starts as `initial` (PnP's convention).
template <typename F>
NTSTATUS SendIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor, F setup,
                 NTSTATUS initial = STATUS_NOT_SUPPORTED)
{
    auto s = std::make_unique<Sent>();
    KeInitializeEvent(&s->done, NotificationEvent, FALSE);
    s->irp = IoAllocateIrp(target->StackSize, FALSE);
    s->irp->IoStatus.Status = initial;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(s->irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    setup(next);
    IoSetCompletionRoutine(s->irp, SentDone, s.get(), TRUE, TRUE, TRUE);
    Call(target, *s);
    Wait(*s);
    NTSTATUS st = s->status;
    Free(*s);
    return st;
}

inline NTSTATUS SendUrb(PDEVICE_OBJECT target, PURB urb)
{
    return SendIoctl(target, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

// A URB in host memory (the bus never frees it).
struct UrbBuffer
{
    std::vector<uint64_t> mem;
    explicit UrbBuffer(size_t bytes = sizeof(URB)) : mem((std::max(bytes, sizeof(URB)) + 7) / 8 + 1, 0) {}
    PURB get() { return reinterpret_cast<PURB>(mem.data()); }
    PURB operator->() { return get(); }
};

// An isochronous URB of `packets` packets, one `slot` apart, ASAP; OUT packets carry `slot` bytes.
struct IsoUrb
{
    UrbBuffer urb;
    Bytes data;
    IsoUrb(USBD_PIPE_HANDLE pipe, ULONG packets, ULONG slot, bool in)
        : urb(GET_ISO_URB_SIZE(packets)), data(size_t(packets) * slot)
    {
        auto &t = urb->UrbIsochronousTransfer;
        t.Hdr.Length = GET_ISO_URB_SIZE(packets);
        t.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
        t.PipeHandle = pipe;
        t.TransferFlags =
            (in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT) | USBD_START_ISO_TRANSFER_ASAP;
        t.TransferBufferLength = ULONG(data.size());
        t.TransferBuffer = data.data();
        t.NumberOfPackets = packets;
        for (ULONG i = 0; i < packets; ++i)
        {
            t.IsoPacket[i].Offset = i * slot;
            t.IsoPacket[i].Length = in ? 0 : slot;
        }
    }
    URB_ISOCH_TRANSFER &Iso() { return urb->UrbIsochronousTransfer; }
};

inline NTSTATUS GetDescriptor(PDEVICE_OBJECT pdo, uint8_t type, uint8_t index, Bytes &out, ULONG length,
                              USBD_STATUS *usbd = nullptr, USHORT language = 0x0409)
{
    UrbBuffer urb;
    out.assign(length, 0xEE);
    UsbBuildGetDescriptorRequest(urb.get(), sizeof(URB_CONTROL_DESCRIPTOR_REQUEST), type, index, language,
                                 out.data(), nullptr, length, nullptr);
    NTSTATUS st = SendUrb(pdo, urb.get());
    out.resize(urb->UrbControlDescriptorRequest.TransferBufferLength <= length
                   ? urb->UrbControlDescriptorRequest.TransferBufferLength
                   : length);
    if (usbd)
        *usbd = urb->UrbHeader.Status;
    return st;
}

// A class or vendor request; `data` is the OUT data or, for IN, sized to wLength and cut to the answer.
struct ControlResult
{
    NTSTATUS status;
    USBD_STATUS usbd;
    ULONG length;
};
inline ControlResult ControlRequest(PDEVICE_OBJECT pdo, USHORT function, bool in, uint8_t request,
                                    uint16_t value, uint16_t index, Bytes &data, uint16_t wLength)
{
    UrbBuffer urb;
    if (in)
        data.assign(wLength, 0xEE);
    UsbBuildVendorRequest(
        urb.get(), function, sizeof(URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
        in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT, 0, request,
        value, index, data.empty() ? nullptr : data.data(), nullptr, wLength, nullptr);
    NTSTATUS st = SendUrb(pdo, urb.get());
    ControlResult r{st, urb->UrbHeader.Status, urb->UrbControlVendorClassRequest.TransferBufferLength};
    if (in && r.length <= wLength)
        data.resize(r.length);
    return r;
}

// A select-configuration URB for every alternate-0 interface (or the listed (number, alternate) pairs),
// built by the request builder over the device's configuration bytes.
struct Selection
{
    PURB urb = nullptr;
    Bytes config;
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    ~Selection()
    {
        if (urb)
            ExFreePool(urb);
    }
    PUSBD_INTERFACE_INFORMATION Interface(size_t i) { return list[i].Interface; }
};
inline std::unique_ptr<Selection> MakeSelection(const Bytes &config,
                                                std::vector<std::pair<int, int>> interfaces = {})
{
    auto s = std::make_unique<Selection>();
    s->config = config;
    auto *cfg = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(s->config.data());
    if (interfaces.empty())
        for (int i = 0; i < cfg->bNumInterfaces; ++i)
            interfaces.push_back({i, 0});
    for (auto [n, a] : interfaces)
    {
        PUSB_INTERFACE_DESCRIPTOR d = USBD_ParseConfigurationDescriptorEx(cfg, cfg, n, a, -1, -1, -1);
        s->list.push_back({d, nullptr});
    }
    s->list.push_back({nullptr, nullptr});
    s->urb = USBD_CreateConfigurationRequestEx(cfg, s->list.data());
    return s;
}

// A select-interface URB for (interface, alternate) with room for `pipes` pipes.
struct InterfaceSelection
{
    UrbBuffer urb;
    explicit InterfaceSelection(USBD_CONFIGURATION_HANDLE config, uint8_t number, uint8_t alternate,
                                size_t pipes)
        : urb(GET_SELECT_INTERFACE_REQUEST_SIZE(pipes))
    {
        UsbBuildSelectInterfaceRequest(urb.get(), GET_SELECT_INTERFACE_REQUEST_SIZE(pipes), config, number,
                                       alternate);
        for (size_t k = 0; k < pipes; ++k)
            urb->UrbSelectInterface.Interface.Pipes[k].MaximumTransferSize =
                USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    }
    PUSBD_INTERFACE_INFORMATION Info() { return &urb->UrbSelectInterface.Interface; }
};

// The first pipe of (interface, alternate) once the device's configuration and that alternate are
// selected; null pipe when a selection failed.
struct SelectedPipe
{
    USBD_PIPE_HANDLE handle = nullptr;
    uint8_t endpoint = 0;
};
inline SelectedPipe SelectAlternate(usbsim::Bus &bus, unsigned port, uint8_t number, uint8_t alternate)
{
    PDEVICE_OBJECT pdo = bus.Pdo(port);
    auto sel = MakeSelection(bus.Device(port)->Descriptors().configuration);
    if (SendUrb(pdo, sel->urb) != STATUS_SUCCESS)
        return {};
    InterfaceSelection alt(bus.ConfigurationHandle(port), number, alternate, 1);
    if (SendUrb(pdo, alt.urb.get()) != STATUS_SUCCESS)
        return {};
    return {alt.Info()->Pipes[0].PipeHandle, alt.Info()->Pipes[0].EndpointAddress};
}

// The fixture: a kernel test with a bus that is shut down, and checked, before the kernel's checks.
class BusTest : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        bus = std::make_unique<usbsim::Bus>();
    }
    void TearDown() override
    {
        if (bus)
        {
            EXPECT_EQ(bus->Check(), "") << bus->LogText();
            if (HasFailure())
                PrintBusDevices(*bus);
            bus->Shutdown();
            bus.reset();
        }
        KernelTest::TearDown();
    }
    std::unique_ptr<usbsim::Bus> bus;
};

// A test FDO: attached on arrival, passes everything down, detached and deleted on removal; records
// the PnP events it saw.
struct TestFdo
{
    DRIVER_OBJECT driver{};
    PDEVICE_OBJECT fdo = nullptr, lower = nullptr;
    std::vector<usbsim::PnpEvent> events;
    usbsim::Bus *bus = nullptr;

    ~TestFdo()
    {
        if (bus)
            bus->SetPnpListener(nullptr);
        if (fdo)
        {
            IoDetachDevice(lower);
            IoDeleteDevice(fdo);
        }
    }

    static NTSTATUS PassDown(PDEVICE_OBJECT d, PIRP irp)
    {
        auto *self = *static_cast<TestFdo **>(d->DeviceExtension);
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(self->lower, irp);
    }
    void Listen(usbsim::Bus &b)
    {
        bus = &b;
        driver.DriverExtension = &driver.Extension;
        for (auto &f : driver.MajorFunction)
            f = PassDown;
        b.SetPnpListener(
            [this](const usbsim::PnpEvent &e)
            {
                events.push_back(e);
                if (e.kind == usbsim::PnpEventKind::Arrival && fdo == nullptr)
                {
                    if (NT_SUCCESS(IoCreateDevice(&driver, sizeof(TestFdo *), nullptr, FILE_DEVICE_UNKNOWN, 0,
                                                  FALSE, &fdo)))
                    {
                        *static_cast<TestFdo **>(fdo->DeviceExtension) = this;
                        lower = IoAttachDeviceToDeviceStack(fdo, e.pdo);
                    }
                }
                else if (e.kind == usbsim::PnpEventKind::Removal && fdo)
                {
                    IoDetachDevice(lower);
                    IoDeleteDevice(fdo);
                    fdo = lower = nullptr;
                }
            });
    }
};

} // namespace usbtest
