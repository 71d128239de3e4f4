// The adapter half of the port-class stand-in: the device extension's layout and guard, the order of
// power notices around the stack, and what the framework's dispatch does with requests it does not own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <pc_adapter.h>
#include <pc_port.h>
#include <sim/pnp_sim.h>
#include <sim/portcls_adapter_sim.h>
#include <sim/portcls_sim.h>

#include "support/bridge_filter.h"
#include "support/kernel_test.h"

namespace
{

std::vector<std::string> g_order;

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION l = IoGetCurrentIrpStackLocation(irp);
    if (l->MajorFunction == IRP_MJ_POWER)
    {
        g_order.push_back("bus D" + std::to_string(int(l->Parameters.Power.State.DeviceState) - 1));
        PoStartNextPowerIrp(irp);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

// A stack object of one interface that answers every query with itself and counts its references.
template <class I> class Counted : public I
{
public:
    NTSTATUS QueryInterface(REFIID, PVOID *object) override
    {
        AddRef();
        *object = static_cast<I *>(this);
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return ULONG(++refs); }
    ULONG Release() override { return ULONG(--refs); }
    LONG refs = 0;
};

class RecordingPower : public Counted<IAdapterPowerManagement>
{
public:
    void PowerChangeState(POWER_STATE state) override
    {
        g_order.push_back("adapter D" + std::to_string(int(state.DeviceState) - 1));
    }
    NTSTATUS QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
    NTSTATUS QueryDeviceCapabilities(PPC_DEVICE_CAPABILITIES) override { return STATUS_SUCCESS; }
};

class Topology : public Counted<IMiniportTopology>
{
public:
    NTSTATUS Init(PUNKNOWN, PRESOURCELIST, PPORT) override { return STATUS_SUCCESS; }
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR *description) override
    {
        *description = filter.Get();
        return STATUS_SUCCESS;
    }
    NTSTATUS DataRangeIntersection(ULONG, PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG) override
    {
        return STATUS_NOT_IMPLEMENTED;
    }
    BridgeFilter filter{{KSPIN_DATAFLOW_IN}};
};

NTSTATUS NoStart(PDEVICE_OBJECT, PIRP, PRESOURCELIST)
{
    return STATUS_SUCCESS;
}

class PortClsAdapterTest : public KernelTest
{
protected:
    void SetUp() override
    {
        KernelTest::SetUp();
        g_order.clear();
        lowerDriver.DriverExtension = &lowerDriver.Extension;
        for (PDRIVER_DISPATCH &d : lowerDriver.MajorFunction)
            d = &LowerDispatch;
        driver.DriverExtension = &driver.Extension;
        ASSERT_EQ(IoCreateDevice(&lowerDriver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo),
                  STATUS_SUCCESS);
        ASSERT_EQ(PcInitializeAdapterDriver(&driver, nullptr,
                                            [](PDRIVER_OBJECT, PDEVICE_OBJECT) { return STATUS_SUCCESS; }),
                  STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (pdo->AttachedDevice)
            Remove();
        IoDeleteDevice(pdo);
        KernelTest::TearDown();
    }
    void Remove()
    {
        PDEVICE_OBJECT fdo = pdo->AttachedDevice;
        PIRP irp = IoAllocateIrp(fdo->StackSize + 1, FALSE);
        IoSetNextIrpStackLocation(irp);
        PIO_STACK_LOCATION l = IoGetNextIrpStackLocation(irp);
        l->MajorFunction = IRP_MJ_PNP;
        l->MinorFunction = IRP_MN_REMOVE_DEVICE;
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_MORE_PROCESSING_REQUIRED; }, nullptr, TRUE,
            TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(fdo, irp), STATUS_SUCCESS);
        IoFreeIrp(irp);
    }

    DRIVER_OBJECT driver{}, lowerDriver{};
    PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(PortClsAdapterTest, ExtensionSizeAndGuard)
{
    EXPECT_EQ(PcAddAdapterDevice(&driver, pdo, &NoStart, 1, PORT_CLASS_DEVICE_EXTENSION_SIZE - 1),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    ASSERT_EQ(PcAddAdapterDevice(&driver, pdo, &NoStart, 1, PORT_CLASS_DEVICE_EXTENSION_SIZE + 8),
              STATUS_SUCCESS);
    ASSERT_NE(pdo->AttachedDevice, nullptr);
    EXPECT_EQ(sim::portcls::AdapterDevices(), 1u);
    // A driver that takes the framework's part for a fixed smaller size writes into it.
    auto *extension = static_cast<UCHAR *>(pdo->AttachedDevice->DeviceExtension);
    const UCHAR saved = extension[PORT_CLASS_DEVICE_EXTENSION_SIZE - 1];
    extension[PORT_CLASS_DEVICE_EXTENSION_SIZE - 1] ^= 0xFF;
    {
        auto expect = ScopedExpectViolation("the framework's part of the device extension was overwritten");
        EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD3), STATUS_INVALID_DEVICE_STATE);
    }
    extension[PORT_CLASS_DEVICE_EXTENSION_SIZE - 1] = saved;
    Remove();
    EXPECT_EQ(sim::portcls::AdapterDevices(), 0u);
}

TEST_F(PortClsAdapterTest, AdapterSavesBeforePowerDownAndRestoresAfterPowerUp)
{
    ASSERT_EQ(PcAddAdapterDevice(&driver, pdo, &NoStart, 1, PORT_CLASS_DEVICE_EXTENSION_SIZE),
              STATUS_SUCCESS);
    RecordingPower power;
    ASSERT_EQ(PcRegisterAdapterPowerManagement(&power, pdo->AttachedDevice), STATUS_SUCCESS);
    EXPECT_EQ(power.refs, 1);
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(sim::pnp::SetDevicePower(pdo, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(g_order, (std::vector<std::string>{"adapter D3", "bus D3", "bus D0", "adapter D0", "bus D0"}));
    Remove();
    EXPECT_EQ(power.refs, 0) << "the registration is held until removal";
    const std::vector<std::string> log = sim::portcls::DispatchLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), "PNP 0x02 -> 0x00000000");
}

TEST_F(PortClsAdapterTest, VersionAndCreateOnUnknownName)
{
    PPORT port = nullptr;
    ASSERT_EQ(PcNewPort(&port, CLSID_PortTopology), STATUS_SUCCESS);
    PVOID object = nullptr;
    ASSERT_EQ(port->QueryInterface(IID_IPortClsVersion, &object), STATUS_SUCCESS);
    EXPECT_EQ(static_cast<PPORTCLSVERSION>(object)->GetVersion(), 11u);
    static_cast<PPORTCLSVERSION>(object)->Release();
    sim::portcls::SetPortClsVersion(11, false);
    EXPECT_EQ(port->QueryInterface(IID_IPortClsVersion, &object), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(object, nullptr);
    port->Release();

    ASSERT_EQ(PcAddAdapterDevice(&driver, pdo, &NoStart, 1, PORT_CLASS_DEVICE_EXTENSION_SIZE),
              STATUS_SUCCESS);
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(sim::pnp::OpenFile(pdo, u"\\NoSuchFilter", &file), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(file, nullptr);
}

} // namespace

namespace
{

TEST_F(PortClsAdapterTest, SubdevicesUpToTheDevicesLimit)
{
    ASSERT_EQ(PcAddAdapterDevice(&driver, pdo, &NoStart, 2, PORT_CLASS_DEVICE_EXTENSION_SIZE),
              STATUS_SUCCESS);
    PDEVICE_OBJECT fdo = pdo->AttachedDevice;
    Topology miniport;
    const char16_t *names[] = {u"One", u"Two", u"Three"};
    const NTSTATUS expected[] = {STATUS_SUCCESS, STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES};
    for (int i = 0; i < 3; ++i)
    {
        PPORT port = nullptr;
        ASSERT_EQ(PcNewPort(&port, CLSID_PortTopology), STATUS_SUCCESS);
        ASSERT_EQ(port->Init(fdo, nullptr, &miniport, nullptr, nullptr), STATUS_SUCCESS);
        EXPECT_EQ(PcRegisterSubdevice(fdo, names[i], port), expected[i]);
        port->Release();
    }
    // Removal unregisters what the driver left: the ports and their miniport go.
    Remove();
    EXPECT_EQ(sim::portcls::LivePorts(), 0u);
    EXPECT_EQ(miniport.refs, 0);
}

} // namespace
