// Real devices' descriptors as a new user plugs them, end to end: streams only through endpoints that
// fit, each function's own interfaces, and a logged reason for every refusal. Each device starts with
// what remains (or is refused with its reason), leaves no misuse report and nothing behind.
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>

#include <sim/kernel_sim.h>
#include <sim/pnp_sim.h>
#include <sim/portcls_sim.h>
#include <sim/usb_bus.h>

#include "support/driver_machine.h"

namespace
{

constexpr unsigned kPort = 1;
constexpr size_t kEpAddress = 2, kEpAttributes = 3;

class DeviceDescriptorsTest : public DriverMachineTest
{
protected:
    // Plugs the headset and lets its start and its first refreshes settle; whether it started.
    bool Start(std::shared_ptr<usbsim::VirtualDevice> headset)
    {
        pdo = bus->Plug(kPort, std::move(headset));
        sim::RunUntilIdle();
        return sim::pnp::Started(pdo);
    }
    void Remove()
    {
        bus->Unplug(kPort);
        EXPECT_EQ(sim::pnp::Devices(), 0u);
    }

    PDEVICE_OBJECT pdo = nullptr;
};

TEST_F(DeviceDescriptorsTest, AStreamWhoseEndpointsDoNotFitIsLeftOutAndTheRestStarts)
{
    struct Case
    {
        const char *name;
        usbsim::Uac1Options options;
        std::function<void(usbsim::Bytes &)> damage;
        const char *logged;
        std::set<std::string> waves;
    };
    usbsim::Uac1Options small;
    small.renderMaxPacket = 100; // 44.1 and 48 kHz stereo need 180 and 192 bytes
    const Case cases[] = {
        {"render endpoint bulk",
         {},
         [](usbsim::Bytes &b)
         { usbsim::Set8(b, size_t(usbsim::FindEndpoint(b, 1, 1)) + kEpAttributes, 0x02); },
         "interface 1 alternate 1 not offered: data endpoint not isochronous",
         {"MicIn00Wave"}},
        {"capture endpoint OUT",
         {},
         [](usbsim::Bytes &b) { usbsim::Set8(b, size_t(usbsim::FindEndpoint(b, 2, 1)) + kEpAddress, 0x02); },
         "interface 2 alternate 1 not offered: data endpoint not IN for capture",
         {"HPOut00Wave"}},
        {"render packets too large",
         small,
         [](usbsim::Bytes &) {},
         "48000 Hz packet of 192 bytes above wMaxPacketSize 100",
         {"MicIn00Wave"}},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        auto headset = HuldHeadset(c.options);
        c.damage(headset->Descriptors().configuration);
        ASSERT_TRUE(Start(headset));
        EXPECT_EQ(WaveNames(), c.waves);
        EXPECT_TRUE(sim::DebugLogContains(c.logged));
        EXPECT_TRUE(sim::DebugLogContains("not registered: no PCM format its endpoint carries"));
        Remove();
        Restart();
    }
}

} // namespace
