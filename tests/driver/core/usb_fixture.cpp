#include "usb_fixture.h"

#include <usbd_lib.h>

#include "support/usb_failure_dump.h"

void UsbLayerTest::SetUp()
{
    KernelTest::SetUp();
    bus = std::make_unique<usbsim::Bus>();
    m_Driver = {};
    m_Driver.DriverExtension = &m_Driver.Extension;
    for (auto &f : m_Driver.MajorFunction)
        f = FdoPassDown;
    m_Driver.MajorFunction[IRP_MJ_POWER] = FdoPower;
}

void UsbLayerTest::DetachFdo()
{
    if (!fdo)
        return;
    static_cast<FdoExtension *>(fdo->DeviceExtension)->layer = nullptr;
    IoDetachDevice(lower);
    IoDeleteDevice(fdo);
    fdo = nullptr;
}

void UsbLayerTest::DestroyLayer()
{
    if (layer)
    {
        layer->Shutdown();
        if (fdo)
            static_cast<FdoExtension *>(fdo->DeviceExtension)->layer = nullptr;
        layer.reset();
    }
}

void UsbLayerTest::TearDown()
{
    DestroyLayer();
    sim::RunUntilIdle();
    DetachFdo();
    if (bus)
    {
        EXPECT_EQ(bus->Check(), "") << "the test left bus state behind";
        if (HasFailure())
            usbtest::PrintBusDevices(*bus);
        bus->Shutdown();
        bus.reset();
    }
    device.reset();
    EXPECT_EQ(outer.Refs(), 1) << "adapter references not given back";
    EXPECT_EQ(hooks.LocksHeld(), 0) << "adapter lock still held";
    EXPECT_TRUE(hooks.Faults().empty()) << hooks.Faults().front();
    EXPECT_EQ(sim::io::LiveIrps(), 0u) << "IRPs left";
    KernelTest::TearDown();
}

void UsbLayerTest::Attach(std::shared_ptr<usbsim::VirtualDevice> headset)
{
    device = std::move(headset);
    pdo = bus->Plug(kPort, device);
    ASSERT_NE(pdo, nullptr);
    ASSERT_EQ(IoCreateDevice(&m_Driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_KS, 0, FALSE, &fdo),
              STATUS_SUCCESS);
    lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    ASSERT_EQ(lower, pdo);
    fdo->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    layer = std::make_unique<CUsbDeviceLayer>(&outer, &hooks);
    auto *ext = static_cast<FdoExtension *>(fdo->DeviceExtension);
    ext->lower = lower;
    ext->layer = layer.get();
    ASSERT_EQ(layer->Initialize(fdo, lower, pdo), STATUS_SUCCESS);
}

void UsbLayerTest::StartHardware()
{
    ASSERT_EQ(layer->ReadDeviceDescriptor(), STATUS_SUCCESS);
    ASSERT_EQ(layer->ReadConfigurationDescriptor(), STATUS_SUCCESS);
    ASSERT_EQ(layer->AcquireBusInterface(), STATUS_SUCCESS);
}

PURB UsbLayerTest::SelectConfiguration()
{
    PUSB_CONFIGURATION_DESCRIPTOR cfg = layer->GetConfigurationDescriptor();
    std::vector<USBD_INTERFACE_LIST_ENTRY> list;
    for (UCHAR i = 0; i < cfg->bNumInterfaces; ++i)
        list.push_back({USBD_ParseConfigurationDescriptorEx(cfg, cfg, i, 0, -1, -1, -1), nullptr});
    list.push_back({nullptr, nullptr});
    PURB selection = USBD_CreateConfigurationRequestEx(cfg, list.data());
    if (!selection || layer->SubmitUrb(selection) != STATUS_SUCCESS)
    {
        if (selection)
            ExFreePool(selection);
        return nullptr;
    }
    hooks.selection = selection;
    return selection;
}

void UsbLayerTest::SetSelectiveSuspend(ULONG value)
{
    sim::registry::SetDword(DeviceParametersKey(), "SelectiveSuspendEnabled", value);
}

std::vector<DEVICE_POWER_STATE> UsbLayerTest::BusPowerStates() const
{
    std::vector<DEVICE_POWER_STATE> states;
    for (const auto &e : bus->Log(usbsim::EventKind::Power))
        states.push_back(e.powerState);
    return states;
}

URB_CONTROL_DESCRIPTOR_REQUEST UsbLayerTest::DescriptorUrb(UCHAR type, UCHAR index, PVOID buffer,
                                                           ULONG length, USHORT language)
{
    URB_CONTROL_DESCRIPTOR_REQUEST r{};
    UsbBuildGetDescriptorRequest(reinterpret_cast<PURB>(&r), USHORT(sizeof(r)), type, index, language, buffer,
                                 nullptr, length, nullptr);
    return r;
}

NTSTATUS UsbLayerTest::FdoPassDown(PDEVICE_OBJECT fdo, PIRP irp)
{
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(static_cast<FdoExtension *>(fdo->DeviceExtension)->lower, irp);
}

// With no port-class yet, the test FDO stands in for the framework: it reports device power
// changes to the layer and passes the IRP down.
NTSTATUS UsbLayerTest::FdoPower(PDEVICE_OBJECT fdo, PIRP irp)
{
    auto *ext = static_cast<FdoExtension *>(fdo->DeviceExtension);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (s->MinorFunction == IRP_MN_SET_POWER && s->Parameters.Power.Type == DevicePowerState && ext->layer)
        ext->layer->PowerChangeState(s->Parameters.Power.State);
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(ext->lower, irp);
}
