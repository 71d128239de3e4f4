// Every pool allocation on the layer's paths, failed in turn: the path reports a failure (or, where
// it has no status, leaves things as they were), nothing crashes and nothing leaks, IRPs included.
#include <gtest/gtest.h>

#include <functional>
#include <set>

#include <sim/kernel_sim.h>

#include "usb_fixture.h"

class UsbAllocationTest : public UsbLayerTest
{
protected:
    // The paths, each with the injected failures seen while it ran; returns false when a path that
    // reports a status swallowed an injected failure.
    bool RunPaths(std::string *where)
    {
        struct Step
        {
            const char *name;
            std::function<NTSTATUS()> run; // STATUS_SUCCESS for steps without a status
        };
        UCHAR buffer[18];
        URB_CONTROL_DESCRIPTOR_REQUEST urb{};
        const Step steps[] = {
            {"ReadDeviceDescriptor", [&] { return layer->ReadDeviceDescriptor(); }},
            {"ReadConfigurationDescriptor", [&] { return layer->ReadConfigurationDescriptor(); }},
            {"AcquireBusInterface", [&] { return layer->AcquireBusInterface(); }},
            {"WriteDeviceNames",
             [&]
             {
                 layer->WriteDeviceNames();
                 return STATUS_SUCCESS;
             }},
            {"StartSelectiveSuspend",
             [&]
             {
                 layer->StartSelectiveSuspend();
                 return STATUS_SUCCESS;
             }},
            {"SubmitUrb",
             [&]
             {
                 urb = DescriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, buffer, sizeof buffer);
                 return layer->SubmitUrb(reinterpret_cast<PURB>(&urb));
             }},
            {"IsDeviceGone", [&] { return layer->IsDeviceGone() ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS; }},
            {"SendIdleRequest",
             [&]
             {
                 NTSTATUS s = layer->SendIdleRequest();
                 return s == STATUS_PENDING ? STATUS_SUCCESS : s;
             }},
            {"NotifyActivity", [&] { return NTSTATUS(layer->NotifyActivity()); }},
            {"PowerChangeState",
             [&]
             {
                 layer->PowerChangeState(PowerState(PowerDeviceD2));
                 layer->PowerChangeState(PowerState(PowerDeviceD0));
                 return STATUS_SUCCESS;
             }},
        };
        bool fine = true;
        for (const Step &s : steps)
        {
            const size_t before = sim::pool::InjectedFailures();
            const NTSTATUS status = s.run();
            if (sim::pool::InjectedFailures() != before)
            {
                *where = s.name;
                // Steps with a status must report the failure; the presence check must not call a
                // device gone for want of memory.
                if (std::string(s.name) == "IsDeviceGone")
                    fine = fine && NT_SUCCESS(status) && layer->IsConnected();
                else if (std::string(s.name) != "WriteDeviceNames" &&
                         std::string(s.name) != "StartSelectiveSuspend" &&
                         std::string(s.name) != "NotifyActivity" && std::string(s.name) != "PowerChangeState")
                    fine = fine && !NT_SUCCESS(status);
            }
        }
        return fine;
    }
};

TEST_F(UsbAllocationTest, EachAllocationFailedInTurn)
{
    Attach();
    bus->SetIdleDelayMs(kPort, 600000);
    std::string where;
    const size_t before = sim::Allocations();
    ASSERT_TRUE(RunPaths(&where));
    const size_t total = sim::Allocations() - before;
    ASSERT_GT(total, 10u);
    std::set<std::string> hit;
    for (size_t k = 1; k <= total; ++k)
    {
        SCOPED_TRACE(testing::Message() << "allocation " << k << " of " << total);
        Restart();
        Attach();
        bus->SetIdleDelayMs(kPort, 600000);
        sim::FailAllocation(unsigned(k));
        where.clear();
        EXPECT_TRUE(RunPaths(&where)) << "in " << where;
        sim::FailAllocation(0);
        if (!where.empty())
            hit.insert(where);
    }
    // Every path that allocates was reached by some injection.
    for (const char *path :
         {"ReadDeviceDescriptor", "ReadConfigurationDescriptor", "AcquireBusInterface", "WriteDeviceNames",
          "StartSelectiveSuspend", "SubmitUrb", "IsDeviceGone", "SendIdleRequest"})
        EXPECT_TRUE(hit.count(path)) << path;
}

TEST_F(UsbAllocationTest, InitializeWithoutItsWorkItem)
{
    Attach();
    CUsbDeviceLayer second(&outer, &hooks);
    EXPECT_EQ(sim::TimerResolutionHolds(), 1u) << "construction takes no hold";
    sim::FailAllocation(1);
    EXPECT_EQ(second.Initialize(fdo, lower, pdo), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(sim::TimerResolutionHolds(), 1u) << "nor does a layer that did not start";
    second.Shutdown();
    EXPECT_EQ(sim::TimerResolutionHolds(), 1u);
}
