// Power changes as the framework reports them: the timer resolution, the device object's power
// interface, low-latency streaming across a sleep, the held Stop, and teardown while asleep.
#include <gtest/gtest.h>

#include "usb_fixture.h"

using usbsim::EventKind;

TEST_F(UsbLayerTest, TimerResolutionIsHeldExactlyWhileInD0)
{
    Attach();
    StartHardware();
    EXPECT_EQ(layer->GetDevicePowerState(), PowerDeviceD0);
    EXPECT_EQ(sim::TimerResolutionHolds(), 1u);
    const DEVICE_POWER_STATE path[] = {PowerDeviceD0, PowerDeviceD2, PowerDeviceD0, PowerDeviceD0,
                                       PowerDeviceD3, PowerDeviceD3, PowerDeviceD0, PowerDeviceD0,
                                       PowerDeviceD2, PowerDeviceD3, PowerDeviceD0};
    for (DEVICE_POWER_STATE s : path)
    {
        layer->PowerChangeState(PowerState(s));
        EXPECT_EQ(layer->GetDevicePowerState(), s);
        EXPECT_EQ(sim::TimerResolutionHolds(), s == PowerDeviceD0 ? 1u : 0u) << "after D" << (s - 1);
    }
    layer->PowerChangeState(PowerState(PowerDeviceUnspecified)); // not a state: ignored
    layer->PowerChangeState(PowerState(PowerDeviceMaximum));
    EXPECT_EQ(layer->GetDevicePowerState(), PowerDeviceD0);
    // Changes only: D2, D0, D3, D0, D2, D3, D0 reach the device object.
    EXPECT_EQ(hooks.power.States(),
              (std::vector<DEVICE_POWER_STATE>{PowerDeviceD2, PowerDeviceD0, PowerDeviceD3, PowerDeviceD0,
                                               PowerDeviceD2, PowerDeviceD3, PowerDeviceD0}));
    layer->PowerChangeState(PowerState(PowerDeviceD3));
    DestroyLayer();
    EXPECT_EQ(sim::TimerResolutionHolds(), 0u);
    EXPECT_EQ(bus->BusInterfaceReferences(kPort), 0);
}

TEST_F(UsbLayerTest, PowerChangesTakeLockThenSecondLockAndCarryLowLatencyAcross)
{
    Attach();
    StartHardware();
    hooks.lowLatencyRunning = true;
    hooks.ClearCalls();
    layer->PowerChangeState(PowerState(PowerDeviceD2));
    EXPECT_EQ(hooks.Calls(),
              (std::vector<std::string>{"Lock", "SecondLock", "SecondUnlock", "StopLowLatency", "Unlock"}));
    EXPECT_FALSE(hooks.lowLatencyRunning);
    hooks.ClearCalls();
    layer->PowerChangeState(PowerState(PowerDeviceD0));
    EXPECT_EQ(hooks.Calls(), (std::vector<std::string>{"Lock", "RestartLowLatency", "HandOverRunEvent",
                                                       "Unlock", "CompleteHeldStop"}));
    EXPECT_TRUE(hooks.lowLatencyRunning);
    // Not running when it slept: nothing to restart.
    hooks.lowLatencyRunning = false;
    layer->PowerChangeState(PowerState(PowerDeviceD3));
    hooks.ClearCalls();
    layer->PowerChangeState(PowerState(PowerDeviceD0));
    EXPECT_EQ(hooks.Calls(), (std::vector<std::string>{"Lock", "Unlock", "CompleteHeldStop"}));
    EXPECT_TRUE(hooks.Faults().empty());
}

TEST_F(UsbLayerTest, HeldStopCompletesAfterTheLockIsReleasedOnReturnToD0)
{
    Attach();
    StartHardware();
    layer->PowerChangeState(PowerState(PowerDeviceD2));
    hooks.heldStop = true; // a Stop came while asleep
    layer->PowerChangeState(PowerState(PowerDeviceD3));
    EXPECT_EQ(hooks.heldStopsCompleted, 0u);
    layer->PowerChangeState(PowerState(PowerDeviceD0));
    EXPECT_EQ(hooks.heldStopsCompleted, 1u);
    EXPECT_TRUE(hooks.Faults().empty()) << hooks.Faults().front(); // not under Lock
    layer->PowerChangeState(PowerState(PowerDeviceD0));            // no change: no second call
    EXPECT_EQ(hooks.Count("CompleteHeldStop"), 1u);
}

TEST_F(UsbLayerTest, GoneDeviceIsNotToldItsLowPowerState)
{
    Attach();
    StartHardware();
    bus->Unplug(kPort);
    layer->PowerChangeState(PowerState(PowerDeviceD3));
    EXPECT_TRUE(hooks.power.States().empty());
    EXPECT_FALSE(layer->IsConnected());
    EXPECT_EQ(layer->GetDevicePowerState(), PowerDeviceD3);
    EXPECT_EQ(sim::TimerResolutionHolds(), 0u);
    // Without a device object yet, changes still go through.
    hooks.SetDevicePower(false);
    layer->PowerChangeState(PowerState(PowerDeviceD0));
    EXPECT_EQ(sim::TimerResolutionHolds(), 1u);
}

TEST_F(UsbLayerTest, TeardownWhileSuspendedEndsEverythingAndNothingFiresLater)
{
    Attach();
    StartHardware();
    SetSelectiveSuspend(1);
    layer->StartSelectiveSuspend();
    sim::AdvanceMs(5000);
    sim::RunUntilIdle();
    ASSERT_EQ(layer->GetDevicePowerState(), PowerDeviceD2);
    ASSERT_TRUE(bus->IdleIrpHeld(kPort));
    DestroyLayer();
    EXPECT_FALSE(bus->IdleIrpHeld(kPort));
    EXPECT_EQ(sim::TimerResolutionHolds(), 0u);
    EXPECT_EQ(bus->BusInterfaceReferences(kPort), 0);
    const size_t events = bus->Log().size();
    // A device that goes away is not woken, and no timer, DPC or work item of the layer is left.
    sim::AdvanceMs(60000);
    sim::RunUntilIdle();
    EXPECT_EQ(bus->Log().size(), events) << bus->LogText();
    EXPECT_EQ(BusPowerStates(), std::vector<DEVICE_POWER_STATE>{PowerDeviceD2});
}

TEST_F(UsbLayerTest, TeardownWhileTheIdleCheckRunsRepeatedly)
{
    // Teardown at every millisecond around the check: the timer, its DPC and work item never
    // outlive the layer (AddressSanitizer sees any late touch).
    for (int at = 4995; at <= 5005; ++at)
    {
        SCOPED_TRACE(at);
        Attach();
        StartHardware();
        SetSelectiveSuspend(1);
        layer->StartSelectiveSuspend();
        sim::AdvanceMs(at);
        DestroyLayer();
        sim::AdvanceMs(20000);
        sim::RunUntilIdle();
        EXPECT_FALSE(bus->IdleIrpHeld(kPort));
        Restart();
    }
}

TEST_F(UsbLayerTest, InterfacesAnswerForTheAdapterAndPassItsShareOn)
{
    Attach();
    PUSBLOWERREQUESTS lowerRequests = layer.get();
    PADAPTERPOWERMANAGEMENT power = layer.get();
    EXPECT_EQ(lowerRequests->AddRef(), 2u); // references are the adapter's
    EXPECT_EQ(power->Release(), 1u);
    EXPECT_EQ(outer.Refs(), 1);

    EXPECT_EQ(lowerRequests->GetLowerDevice(), pdo);
    PIRP irp = lowerRequests->AllocateIrp();
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, fdo->StackSize + 1);
    EXPECT_EQ(lowerRequests->FreeIrp(irp), STATUS_SUCCESS);

    URB selection{};
    hooks.selection = &selection;
    hooks.interfaceNumber = 3;
    hooks.createStatus = STATUS_NO_MATCH;
    EXPECT_EQ(lowerRequests->GetSelectedConfiguration(), &selection);
    EXPECT_EQ(lowerRequests->GetInterfaceNumber(), 3);
    EXPECT_EQ(lowerRequests->CreateDeviceObject(), STATUS_NO_MATCH);
    EXPECT_EQ(hooks.Count("CreateDeviceObject"), 1u);
    EXPECT_EQ(lowerRequests->GetConfigurationDescriptor(), nullptr); // nothing read yet

    EXPECT_EQ(lowerRequests->SetConnected(FALSE), STATUS_SUCCESS);
    EXPECT_TRUE(lowerRequests->IsDeviceGone());
    EXPECT_EQ(Count(usbsim::EventKind::PortStatus), 0u);
    lowerRequests->SetConnected(TRUE);
    EXPECT_FALSE(lowerRequests->IsDeviceGone());

    PC_DEVICE_CAPABILITIES caps{};
    EXPECT_EQ(power->QueryDeviceCapabilities(&caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.Flags, PC_CAPS_SURPRISE_REMOVAL_OK);
    EXPECT_EQ(power->QueryPowerChangeState(PowerState(PowerDeviceD3)), STATUS_SUCCESS);
}
