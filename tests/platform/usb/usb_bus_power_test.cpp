// Selective suspend (the held idle IRP and the hub's callback), device power and the D2 refusal,
// and the USBDI bus interface with its reference count and injected failures.
#include "usb_bus_test_support.h"

using namespace usbtest;
using usbsim::EventKind;
using usbsim::VirtualDevice;

namespace
{

class UsbBusPower : public BusTest
{
};

struct IdleRecord
{
    int calls = 0;
    KIRQL irql = 0xFF;
    LONGLONG at = -1;
    PDEVICE_OBJECT pdo = nullptr; // when set, the callback powers the device down to D2 and waits
    NTSTATUS powerStatus = STATUS_PENDING;
    KEVENT powered;
    PKEVENT gate = nullptr; // when set, the callback waits for it before returning
};

VOID PowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK io)
{
    auto *r = static_cast<IdleRecord *>(context);
    r->powerStatus = io->Status;
    KeSetEvent(&r->powered, 0, FALSE);
}

VOID OnIdle(PVOID context)
{
    auto *r = static_cast<IdleRecord *>(context);
    ++r->calls;
    r->irql = KeGetCurrentIrql();
    r->at = sim::Now();
    if (r->pdo)
    {
        POWER_STATE s;
        s.DeviceState = PowerDeviceD2;
        if (PoRequestPowerIrp(r->pdo, IRP_MN_SET_POWER, s, PowerDone, r, nullptr) == STATUS_PENDING)
            KeWaitForSingleObject(&r->powered, Executive, KernelMode, FALSE, nullptr);
    }
    if (r->gate)
        KeWaitForSingleObject(r->gate, Executive, KernelMode, FALSE, nullptr);
}

std::unique_ptr<Sent> SendIdle(PDEVICE_OBJECT pdo, USB_IDLE_CALLBACK_INFO &info)
{
    auto s = Build(pdo, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, nullptr, &info, sizeof info);
    Call(pdo, *s);
    return s;
}

NTSTATUS SetPower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state)
{
    return SendIrp(pdo, IRP_MJ_POWER, IRP_MN_SET_POWER,
                   [state](PIO_STACK_LOCATION next)
                   {
                       next->Parameters.Power.Type = DevicePowerState;
                       next->Parameters.Power.State.DeviceState = state;
                   });
}

TEST_F(UsbBusPower, IdleIrpEndedDuringItsCallbackCompletesOnlyAfterTheCallbackReturned)
{
    // The driver frees the callback's context once the IRP is back, so a cancel or an unplug that
    // comes while the hub runs the callback must wait for its return.
    for (bool unplug : {false, true})
    {
        SCOPED_TRACE(unplug ? "unplug" : "cancel");
        PDEVICE_OBJECT pdo = bus->Plug(1, VirtualDevice::Uac1());
        bus->SetIdleDelayMs(1, 0);
        KEVENT gate;
        KeInitializeEvent(&gate, NotificationEvent, FALSE);
        IdleRecord rec;
        KeInitializeEvent(&rec.powered, NotificationEvent, FALSE);
        rec.gate = &gate;
        USB_IDLE_CALLBACK_INFO info{OnIdle, &rec};
        auto idle = SendIdle(pdo, info);
        sim::RunUntilIdle();
        ASSERT_EQ(rec.calls, 1) << "the callback runs and waits";
        if (unplug)
            bus->Unplug(1);
        else
            IoCancelIrp(idle->irp);
        sim::RunUntilIdle();
        EXPECT_FALSE(idle->completed);
        KeSetEvent(&gate, 0, FALSE);
        sim::RunUntilIdle();
        EXPECT_TRUE(idle->completed);
        EXPECT_EQ(idle->status, unplug ? STATUS_DEVICE_NOT_CONNECTED : STATUS_CANCELLED);
        Free(*idle);
        if (!unplug)
            bus->Unplug(1);
    }
}

TEST_F(UsbBusPower, IdleIrpIsHeldCalledBackAndCompletedByCancel)
{
    PDEVICE_OBJECT pdo = bus->Plug(1, VirtualDevice::Uac1());
    bus->SetIdleDelayMs(1, 100);
    IdleRecord rec;
    KeInitializeEvent(&rec.powered, NotificationEvent, FALSE);
    USB_IDLE_CALLBACK_INFO info{OnIdle, &rec};
    const LONGLONG t0 = sim::Now();
    auto idle = SendIdle(pdo, info);
    EXPECT_EQ(idle->callStatus, STATUS_PENDING);
    EXPECT_TRUE(bus->IdleIrpHeld(1));

    // A second one is refused at once.
    USB_IDLE_CALLBACK_INFO info2{OnIdle, &rec};
    auto second = SendIdle(pdo, info2);
    EXPECT_TRUE(second->completedInCall);
    EXPECT_EQ(second->status, STATUS_DEVICE_BUSY);
    Free(*second);

    sim::AdvanceMs(99);
    sim::RunUntilIdle();
    EXPECT_EQ(rec.calls, 0);
    sim::AdvanceMs(1);
    sim::RunUntilIdle();
    EXPECT_EQ(rec.calls, 1);
    EXPECT_EQ(rec.irql, PASSIVE_LEVEL);
    EXPECT_EQ(rec.at - t0, 100 * 10000);
    EXPECT_FALSE(idle->completed) << "held after the callback";
    sim::AdvanceMs(5000);
    EXPECT_EQ(rec.calls, 1) << "one callback per IRP";

    EXPECT_TRUE(IoCancelIrp(idle->irp));
    EXPECT_TRUE(idle->completed);
    EXPECT_EQ(idle->status, STATUS_CANCELLED);
    EXPECT_FALSE(bus->IdleIrpHeld(1));
    Free(*idle);

    // Scripted NOT_SUPPORTED: no callback, the IRP comes back with the status.
    bus->ScriptIdleNotSupported(1);
    idle = SendIdle(pdo, info);
    Wait(*idle);
    EXPECT_EQ(idle->status, STATUS_NOT_SUPPORTED);
    Free(*idle);
    bus->ScriptIdleNotSupported(1, false);

    // Unplug completes a held one with DEVICE_NOT_CONNECTED.
    idle = SendIdle(pdo, info);
    PDEVICE_OBJECT ref = IoGetAttachedDeviceReference(pdo);
    bus->Unplug(1);
    EXPECT_TRUE(idle->completed);
    EXPECT_EQ(idle->status, STATUS_DEVICE_NOT_CONNECTED);
    Free(*idle);
    // A gone device refuses a new one.
    idle = SendIdle(pdo, info);
    EXPECT_EQ(idle->status, STATUS_DEVICE_NOT_CONNECTED);
    Free(*idle);
    sim::RunUntilIdle();
    ObDereferenceObject(ref);
    EXPECT_EQ(rec.calls, 1);

    // The log: submit, busy, callback, cancel, not supported, unplug.
    std::vector<NTSTATUS> completions;
    for (const usbsim::Event &e : bus->Log(EventKind::IdleComplete))
        completions.push_back(e.status);
    EXPECT_EQ(completions, (std::vector<NTSTATUS>{STATUS_DEVICE_BUSY, STATUS_CANCELLED, STATUS_NOT_SUPPORTED,
                                                  STATUS_DEVICE_NOT_CONNECTED, STATUS_DEVICE_NOT_CONNECTED}));
    EXPECT_EQ(bus->Log(EventKind::IdleCallback).size(), 1u);
    EXPECT_EQ(bus->IdleCallbacks(1), 1u);
}

TEST_F(UsbBusPower, SuspendedDeviceRefusesControlAndIsochronousSubmissions)
{
    auto dev = VirtualDevice::Uac1();
    PDEVICE_OBJECT pdo = bus->Plug(1, dev);
    const SelectedPipe render = SelectAlternate(*bus, 1, 1, 1);
    ASSERT_NE(render.handle, nullptr);

    // The idle callback asks for D2 as a driver does, at once.
    IdleRecord rec;
    KeInitializeEvent(&rec.powered, NotificationEvent, FALSE);
    rec.pdo = pdo;
    USB_IDLE_CALLBACK_INFO info{OnIdle, &rec};
    auto idle = SendIdle(pdo, info);
    sim::RunUntilIdle();
    ASSERT_EQ(rec.calls, 1);
    EXPECT_EQ(rec.powerStatus, STATUS_SUCCESS);
    EXPECT_EQ(bus->PowerState(1), PowerDeviceD2);

    Bytes d;
    USBD_STATUS usbd = 0;
    EXPECT_EQ(GetDescriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, 0, d, 18, &usbd), STATUS_POWER_STATE_INVALID);
    EXPECT_TRUE(USBD_ERROR(usbd));
    IsoUrb iso(render.handle, 1, 176, false);
    EXPECT_EQ(SendUrb(pdo, iso.urb.get()), STATUS_POWER_STATE_INVALID);
    EXPECT_EQ(bus->Iso(1).OutPacketCount(0x01), 0u);

    // Activity: the idle IRP is cancelled, D0 comes back and both work again.
    EXPECT_TRUE(IoCancelIrp(idle->irp));
    Free(*idle);
    EXPECT_EQ(SetPower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(GetDescriptor(pdo, USB_DEVICE_DESCRIPTOR_TYPE, 0, d, 18), STATUS_SUCCESS);
    EXPECT_EQ(SendUrb(pdo, iso.urb.get()), STATUS_SUCCESS);
    EXPECT_EQ(bus->Iso(1).OutPacketCount(0x01), 1u);

    auto power = bus->Log(EventKind::Power);
    ASSERT_EQ(power.size(), 2u);
    EXPECT_EQ(power[0].powerState, PowerDeviceD2);
    EXPECT_EQ(power[1].powerState, PowerDeviceD0);
    // The order of the whole story.
    std::vector<EventKind> kinds;
    for (const usbsim::Event &e : bus->Log())
        if (e.kind != EventKind::Urb && e.kind != EventKind::SelectConfiguration &&
            e.kind != EventKind::SelectInterface)
            kinds.push_back(e.kind);
    EXPECT_EQ(kinds, (std::vector<EventKind>{EventKind::Plug, EventKind::IdleSubmit, EventKind::IdleCallback,
                                             EventKind::Power, EventKind::IdleComplete, EventKind::Power}));
}

NTSTATUS QueryBusInterface(PDEVICE_OBJECT pdo, USB_BUS_INTERFACE_USBDI_V1 &bi, USHORT version, USHORT size,
                           const GUID &guid = USB_BUS_INTERFACE_USBDI_GUID)
{
    return SendIrp(pdo, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE,
                   [&](PIO_STACK_LOCATION next)
                   {
                       next->Parameters.QueryInterface.InterfaceType = &guid;
                       next->Parameters.QueryInterface.Size = size;
                       next->Parameters.QueryInterface.Version = version;
                       next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&bi);
                   });
}

TEST_F(UsbBusPower, BusInterfaceCountsReferencesAndTakesInjection)
{
    PDEVICE_OBJECT full = bus->Plug(1, VirtualDevice::Uac1());
    PDEVICE_OBJECT high = bus->Plug(2, VirtualDevice::Uac2());
    USB_BUS_INTERFACE_USBDI_V1 bi{};
    ASSERT_EQ(QueryBusInterface(full, bi, USB_BUSIF_USBDI_VERSION_1, sizeof bi), STATUS_SUCCESS);
    EXPECT_EQ(bi.Version, USB_BUSIF_USBDI_VERSION_1);
    ASSERT_NE(bi.BusContext, nullptr);
    EXPECT_EQ(bus->BusInterfaceReferences(1), 1) << "the query hands out one reference";
    EXPECT_FALSE(bi.IsDeviceHighSpeed(bi.BusContext));
    bi.InterfaceReference(bi.BusContext);
    EXPECT_EQ(bus->BusInterfaceReferences(1), 2);
    EXPECT_NE(bus->Check().find("bus-interface reference"), std::string::npos);
    bi.InterfaceDereference(bi.BusContext);
    bi.InterfaceDereference(bi.BusContext);
    EXPECT_EQ(bus->BusInterfaceReferences(1), 0);
    {
        auto v = ScopedExpectViolation("dereferenced more often than referenced");
        bi.InterfaceDereference(bi.BusContext);
    }
    EXPECT_EQ(bus->BusInterfaceReferences(1), 0);

    // Bus time is the port engine's frame, wrapping at 32 bits.
    bus->Iso(1).SetFrameOrigin(0xFFFFFFFEu - ULONG(sim::Now() / 10000));
    ULONG frame = 0;
    ASSERT_EQ(bi.QueryBusTime(bi.BusContext, &frame), STATUS_SUCCESS);
    EXPECT_EQ(frame, 0xFFFFFFFEu);
    sim::AdvanceMs(3);
    bi.QueryBusTime(bi.BusContext, &frame);
    EXPECT_EQ(frame, 1u);
    UrbBuffer fn;
    fn->UrbHeader.Length = sizeof(URB_GET_CURRENT_FRAME_NUMBER);
    fn->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    EXPECT_EQ(SendUrb(full, fn.get()), STATUS_SUCCESS);
    EXPECT_EQ(fn->UrbGetCurrentFrameNumber.FrameNumber, 1u);

    USB_BUS_INTERFACE_USBDI_V1 hi{};
    ASSERT_EQ(QueryBusInterface(high, hi, USB_BUSIF_USBDI_VERSION_1, sizeof hi), STATUS_SUCCESS);
    EXPECT_TRUE(hi.IsDeviceHighSpeed(hi.BusContext));
    USBD_VERSION_INFORMATION version{};
    hi.GetUSBDIVersion(hi.BusContext, &version, nullptr);
    EXPECT_EQ(version.Supported_USB_Version, 0x200u);
    hi.InterfaceDereference(hi.BusContext);

    // Version 0 has no IsDeviceHighSpeed; unknown versions, short buffers and other GUIDs fail.
    USB_BUS_INTERFACE_USBDI_V1 v0{};
    ASSERT_EQ(QueryBusInterface(full, v0, USB_BUSIF_USBDI_VERSION_0,
                                USHORT(offsetof(USB_BUS_INTERFACE_USBDI_V1, IsDeviceHighSpeed))),
              STATUS_SUCCESS);
    EXPECT_EQ(v0.IsDeviceHighSpeed, nullptr);
    v0.InterfaceDereference(v0.BusContext);
    USB_BUS_INTERFACE_USBDI_V1 x{};
    EXPECT_EQ(QueryBusInterface(full, x, 2, sizeof x), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(QueryBusInterface(full, x, USB_BUSIF_USBDI_VERSION_1, 8), STATUS_INVALID_PARAMETER);
    const GUID other = {0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    EXPECT_EQ(QueryBusInterface(full, x, USB_BUSIF_USBDI_VERSION_1, sizeof x, other), STATUS_NOT_SUPPORTED)
        << "an interface the bus does not know keeps the status it came with";
    EXPECT_EQ(bus->BusInterfaceReferences(1), 0);

    // Injection: a failed query, a null context, a failing QueryBusTime.
    bus->FailBusInterfaceQuery(1, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(QueryBusInterface(full, x, USB_BUSIF_USBDI_VERSION_1, sizeof x), STATUS_INSUFFICIENT_RESOURCES);
    bus->FailBusInterfaceQuery(1, STATUS_SUCCESS);
    bus->NullBusContext(1);
    ASSERT_EQ(QueryBusInterface(full, x, USB_BUSIF_USBDI_VERSION_1, sizeof x), STATUS_SUCCESS);
    EXPECT_EQ(x.BusContext, nullptr);
    EXPECT_EQ(x.QueryBusTime(x.BusContext, &frame), STATUS_INVALID_PARAMETER);
    EXPECT_FALSE(x.IsDeviceHighSpeed(x.BusContext));
    x.InterfaceDereference(x.BusContext); // harmless
    EXPECT_EQ(bus->BusInterfaceReferences(1), 0);
    bus->NullBusContext(1, false);
    bus->FailQueryBusTime(1, STATUS_UNSUCCESSFUL);
    frame = 0xABCD;
    EXPECT_EQ(bi.QueryBusTime(bi.BusContext, &frame), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(frame, 0xABCDu) << "nothing written on failure";

    auto queries = bus->Log(EventKind::BusInterface);
    ASSERT_EQ(queries.size(), 7u);
    EXPECT_EQ(queries[5].status, STATUS_INSUFFICIENT_RESOURCES);
}

} // namespace
