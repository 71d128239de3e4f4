// Selective suspend: the idle timer, its DPC and work item, the idle request to the hub, the hub's
// callback that puts the device to D2, and activity that wakes it.
#include <gtest/gtest.h>

#include "usb_fixture.h"

using usbsim::EventKind;

namespace
{

constexpr LONGLONG kMs = 10000;

} // namespace

class UsbSuspendTest : public UsbLayerTest
{
protected:
    // A started headset with "SelectiveSuspendEnabled" = value and the idle timer running.
    void StartWithSuspend(ULONG value = 1)
    {
        Attach();
        StartHardware();
        SetSelectiveSuspend(value);
        layer->StartSelectiveSuspend();
        bus->ClearLog();
    }
    LONGLONG FirstTime(EventKind kind, size_t nth = 0) const
    {
        auto events = bus->Log(kind);
        return events.size() > nth ? events[nth].time : -1;
    }
};

TEST_F(UsbSuspendTest, FiveIdleSecondsPutTheDeviceToD2AndActivityWakesIt)
{
    StartWithSuspend();
    EXPECT_TRUE(layer->IsSelectiveSuspendEnabled());
    const LONGLONG start = sim::Now();
    sim::AdvanceMs(4999);
    EXPECT_EQ(Count(EventKind::IdleSubmit), 0u);
    sim::AdvanceMs(1);
    sim::RunUntilIdle();
    ASSERT_EQ(Count(EventKind::IdleSubmit), 1u) << bus->LogText();
    EXPECT_EQ(FirstTime(EventKind::IdleSubmit) - start, 5000 * kMs);
    EXPECT_EQ(bus->IdleCallbacks(kPort), 1u);
    EXPECT_EQ(BusPowerStates(), std::vector<DEVICE_POWER_STATE>{PowerDeviceD2});
    EXPECT_EQ(layer->GetDevicePowerState(), PowerDeviceD2);
    EXPECT_EQ(hooks.power.States(), std::vector<DEVICE_POWER_STATE>{PowerDeviceD2});
    EXPECT_TRUE(bus->IdleIrpHeld(kPort));
    EXPECT_EQ(sim::TimerResolutionHolds(), 0u);
    // Order on the bus: idle request, the hub's callback, then the power change.
    const auto log = bus->Log();
    std::vector<EventKind> order;
    for (const auto &e : log)
        if (e.kind == EventKind::IdleSubmit || e.kind == EventKind::IdleCallback ||
            e.kind == EventKind::Power)
            order.push_back(e.kind);
    EXPECT_EQ(order,
              (std::vector<EventKind>{EventKind::IdleSubmit, EventKind::IdleCallback, EventKind::Power}));

    // A request arrives: the idle request is cancelled and the device is back in D0 within 1 s.
    sim::AdvanceMs(20000);
    EXPECT_EQ(Count(EventKind::IdleSubmit), 1u); // no timer while the idle request is out
    const LONGLONG wake = sim::Now();
    layer->NotifyActivity();
    EXPECT_LE(sim::Now() - wake, 1000 * kMs);
    EXPECT_EQ(layer->GetDevicePowerState(), PowerDeviceD0);
    EXPECT_EQ(BusPowerStates(), (std::vector<DEVICE_POWER_STATE>{PowerDeviceD2, PowerDeviceD0}));
    EXPECT_FALSE(bus->IdleIrpHeld(kPort));
    ASSERT_EQ(Count(EventKind::IdleComplete), 1u);
    EXPECT_EQ(bus->Log(EventKind::IdleComplete)[0].status, STATUS_CANCELLED);
    EXPECT_EQ(sim::TimerResolutionHolds(), 1u);
    EXPECT_EQ(layer->GetBusyCount(), 1);

    // The next cycle starts five seconds after the idle request ended.
    const LONGLONG ended = bus->Log(EventKind::IdleComplete)[0].time;
    sim::AdvanceMs(5000);
    sim::RunUntilIdle();
    ASSERT_EQ(Count(EventKind::IdleSubmit), 2u);
    EXPECT_EQ(FirstTime(EventKind::IdleSubmit, 1) - ended, 5000 * kMs);
    EXPECT_EQ(layer->GetDevicePowerState(), PowerDeviceD2);
}

TEST_F(UsbSuspendTest, NoIdleRequestWhenDisabledOnlyInSettingsOrStreaming)
{
    // Disabled.
    StartWithSuspend(0);
    EXPECT_FALSE(layer->IsSelectiveSuspendEnabled());
    sim::AdvanceMs(60000);
    EXPECT_EQ(Count(EventKind::IdleSubmit), 0u);
    Restart();

    // Set only under the driver's "Settings" key: not the place it is read from.
    Attach();
    StartHardware();
    const auto instance = sim::registry::FindDevice(pdo);
    ASSERT_TRUE(instance);
    sim::registry::SetDword(instance->driverKey + "\\Settings", "SelectiveSuspendEnabled", 1);
    layer->StartSelectiveSuspend();
    EXPECT_FALSE(layer->IsSelectiveSuspendEnabled());
    sim::AdvanceMs(60000);
    EXPECT_EQ(Count(EventKind::IdleSubmit), 0u);
    Restart();

    // A running stream keeps the device awake; its stop lets it idle again.
    StartWithSuspend(1);
    layer->StreamStarted();
    sim::AdvanceMs(60000);
    EXPECT_EQ(Count(EventKind::IdleSubmit), 0u);
    layer->StreamStopped();
    sim::AdvanceMs(5000);
    sim::RunUntilIdle();
    EXPECT_EQ(Count(EventKind::IdleSubmit), 1u);
}

TEST_F(UsbSuspendTest, StreamStoppedNeverGoesBelowZero)
{
    StartWithSuspend(1);
    layer->StreamStarted();
    layer->StreamStopped();
    layer->StreamStopped(); // one stop too many
    EXPECT_EQ(layer->GetStreamCount(), 0);
    EXPECT_EQ(sim::DebugLogCount("StreamStopped StreamCount already 0"), 1u);
    // The device still idles: a count of -1 would have kept it awake for good.
    sim::AdvanceMs(5000);
    sim::RunUntilIdle();
    EXPECT_EQ(Count(EventKind::IdleSubmit), 1u);
}

TEST_F(UsbSuspendTest, SecondIdleRequestIsBusyAndOneOutsideD0IsRefused)
{
    StartWithSuspend(0);
    bus->SetIdleDelayMs(kPort, 600000); // the hub holds the request, the device stays in D0
    EXPECT_EQ(layer->SendIdleRequest(), STATUS_PENDING);
    EXPECT_TRUE(bus->IdleIrpHeld(kPort));
    EXPECT_EQ(layer->SendIdleRequest(), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Count(EventKind::IdleSubmit), 1u);
    layer->NotifyActivity();
    EXPECT_FALSE(bus->IdleIrpHeld(kPort));
    EXPECT_EQ(layer->GetDevicePowerState(), PowerDeviceD0);
    EXPECT_TRUE(BusPowerStates().empty()); // cancelled in D0: nothing to wake

    layer->PowerChangeState(PowerState(PowerDeviceD3));
    EXPECT_EQ(layer->SendIdleRequest(), STATUS_POWER_STATE_INVALID);
    EXPECT_EQ(Count(EventKind::IdleSubmit), 1u);
}

TEST_F(UsbSuspendTest, HubWithoutSelectiveSuspendEndsTheRequestAndTheTimerGoesOn)
{
    StartWithSuspend(1);
    bus->ScriptIdleNotSupported(kPort);
    sim::AdvanceMs(5000);
    sim::RunUntilIdle();
    ASSERT_EQ(Count(EventKind::IdleComplete), 1u);
    EXPECT_EQ(bus->Log(EventKind::IdleComplete)[0].status, STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(BusPowerStates().empty());
    EXPECT_EQ(layer->GetDevicePowerState(), PowerDeviceD0);
    bus->ScriptIdleNotSupported(kPort, false);
    sim::AdvanceMs(5000);
    sim::RunUntilIdle();
    EXPECT_EQ(Count(EventKind::IdleSubmit), 2u);
}

namespace
{
VOID BlockWorker(PDEVICE_OBJECT, PVOID)
{
    LARGE_INTEGER t;
    t.QuadPart = -11000 * 10000LL;
    KeDelayExecutionThread(KernelMode, FALSE, &t);
}
} // namespace

TEST_F(UsbSuspendTest, TimerChecksWhileTheWorkItemWaitsDoNotQueueItAgain)
{
    StartWithSuspend(1);
    // Keep the worker busy for 11 s, so that the 5 s check's work item is still queued at 10 s.
    PIO_WORKITEM blocker = IoAllocateWorkItem(fdo);
    ASSERT_NE(blocker, nullptr);
    IoQueueWorkItem(blocker, BlockWorker, DelayedWorkQueue, nullptr);
    sim::AdvanceMs(10500);
    EXPECT_EQ(Count(EventKind::IdleSubmit), 0u);
    sim::AdvanceMs(1000);
    sim::RunUntilIdle();
    EXPECT_EQ(Count(EventKind::IdleSubmit), 1u);
    IoFreeWorkItem(blocker);
}

TEST_F(UsbSuspendTest, FailedPowerRequestsNeitherHangNorLeaveWakeWaitersStuck)
{
    StartWithSuspend(1);
    // The hub's callback cannot ask for D2: it returns at once and the device stays awake.
    sim::io::FailPowerRequest(1);
    sim::AdvanceMs(5000);
    sim::RunUntilIdle();
    EXPECT_EQ(bus->IdleCallbacks(kPort), 1u);
    EXPECT_EQ(layer->GetDevicePowerState(), PowerDeviceD0);
    EXPECT_TRUE(sim::DebugLogContains("IdleCallback PoRequestPowerIrp failed"));
    layer->NotifyActivity();
    EXPECT_FALSE(bus->IdleIrpHeld(kPort));

    // Asleep, and the wake-up request fails: activity is not held up by a wake that never comes.
    sim::AdvanceMs(5000);
    sim::RunUntilIdle();
    ASSERT_EQ(layer->GetDevicePowerState(), PowerDeviceD2);
    sim::io::FailPowerRequest(1);
    const LONGLONG start = sim::Now();
    layer->NotifyActivity();
    EXPECT_LT(sim::Now() - start, 500 * kMs);
    EXPECT_TRUE(sim::DebugLogContains("IdleCompletion PoRequestPowerIrp failed"));
    layer->NotifyActivity();
    EXPECT_EQ(sim::Now() - start, 0);
}

TEST_F(UsbSuspendTest, CancelRacingTheHubsCompletionFreesTheIdleRequestOnce)
{
    // Activity cancels the idle request while an unplug completes it: whichever lets go last frees
    // the IRP, exactly once (a double free or a leak fails the test at its end).
    for (int round = 0; round < 40; ++round)
    {
        SCOPED_TRACE(round);
        StartWithSuspend(1);
        if (round % 2)
            bus->SetIdleDelayMs(kPort, 600000); // odd rounds: the request is held in D0
        sim::AdvanceMs(5000);
        sim::RunUntilIdle();
        ASSERT_TRUE(bus->IdleIrpHeld(kPort));
        {
            sim::HostThread activity([this] { layer->NotifyActivity(); });
            bus->Unplug(kPort);
            activity.Join();
        }
        sim::RunUntilIdle();
        EXPECT_FALSE(bus->IdleIrpHeld(kPort));
        EXPECT_EQ(Count(EventKind::IdleComplete), 1u);
        Restart();
    }
}

TEST_F(UsbSuspendTest, ActivityWaitsAtMost500msForAWakeThatIsLate)
{
    StartWithSuspend(1);
    sim::AdvanceMs(5000);
    sim::RunUntilIdle();
    ASSERT_EQ(layer->GetDevicePowerState(), PowerDeviceD2);
    // The wake-up request queues behind 2 s of other work: the request that caused it goes on.
    PIO_WORKITEM blocker = IoAllocateWorkItem(fdo);
    ASSERT_NE(blocker, nullptr);
    IoQueueWorkItem(
        blocker,
        [](PDEVICE_OBJECT, PVOID)
        {
            LARGE_INTEGER t;
            t.QuadPart = -2000 * 10000LL;
            KeDelayExecutionThread(KernelMode, FALSE, &t);
        },
        DelayedWorkQueue, nullptr);
    const LONGLONG start = sim::Now();
    layer->NotifyActivity();
    EXPECT_EQ(sim::Now() - start, 500 * kMs);
    EXPECT_EQ(layer->GetDevicePowerState(), PowerDeviceD2);
    sim::AdvanceMs(2000);
    sim::RunUntilIdle();
    EXPECT_EQ(layer->GetDevicePowerState(), PowerDeviceD0);
    IoFreeWorkItem(blocker);
}

TEST_F(UsbSuspendTest, IdleRequestEndingWhileTheHubsCallbackSleepsTheDeviceStillWakesIt)
{
    // Holding Lock stalls the callback's D2 power change inside the layer, so the idle request can
    // be cancelled while the device is on its way down.
    StartWithSuspend(1);
    hooks.Lock();
    sim::AdvanceMs(5000);
    sim::RunUntilIdle();
    ASSERT_EQ(bus->IdleCallbacks(kPort), 1u);
    ASSERT_EQ(layer->GetDevicePowerState(), PowerDeviceD0);
    {
        sim::HostThread activity([this] { layer->NotifyActivity(); });
        sim::AdvanceMs(1000);
        activity.Join();
    }
    EXPECT_FALSE(bus->IdleIrpHeld(kPort));
    ASSERT_EQ(Count(EventKind::IdleComplete), 1u);
    EXPECT_EQ(bus->Log(EventKind::IdleComplete)[0].status, STATUS_CANCELLED);
    hooks.Unlock();
    sim::RunUntilIdle();
    // D2 is reached, then left again at once.
    EXPECT_EQ(BusPowerStates(), (std::vector<DEVICE_POWER_STATE>{PowerDeviceD2, PowerDeviceD0}));
    EXPECT_EQ(layer->GetDevicePowerState(), PowerDeviceD0);
    EXPECT_EQ(sim::TimerResolutionHolds(), 1u);
    // And suspend goes on as usual: the next cycle sleeps 5 s after the idle request ended.
    sim::AdvanceMs(5000);
    sim::RunUntilIdle();
    EXPECT_EQ(Count(EventKind::IdleSubmit), 2u);
    EXPECT_EQ(layer->GetDevicePowerState(), PowerDeviceD2);
}

TEST_F(UsbSuspendTest, ShutdownWaitsForTheHubsCallbackInProgress)
{
    StartWithSuspend(1);
    hooks.Lock(); // the callback's D2 power change waits inside the layer
    sim::AdvanceMs(5000);
    sim::RunUntilIdle();
    ASSERT_EQ(bus->IdleCallbacks(kPort), 1u);
    sim::HostThread stop([this] { layer->Shutdown(); });
    sim::AdvanceMs(1000);
    sim::RunUntilIdle();
    EXPECT_FALSE(bus->IdleIrpHeld(kPort)); // the cancel is done...
    EXPECT_FALSE(stop.Done());             // ...but the layer is still in use
    hooks.Unlock();
    stop.Join();
    // The callback's power change reached the layer before Shutdown returned; nothing woke it.
    EXPECT_EQ(layer->GetDevicePowerState(), PowerDeviceD2);
    EXPECT_EQ(BusPowerStates(), std::vector<DEVICE_POWER_STATE>{PowerDeviceD2});
}
