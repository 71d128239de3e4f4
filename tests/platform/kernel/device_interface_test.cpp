// Device interfaces: stable links per (device, class, reference), the enable state, failure injection
// and what a test leaves behind.
#include <string>

#include "support/kernel_test.h"
#include <sim/io_sim.h>

namespace
{

constexpr GUID kClassA = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
constexpr GUID kClassB = {0xAAAAAAAA, 0xBBBB, 0xCCCC, {0xDD, 0xDD, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}};

std::u16string Text(const UNICODE_STRING &s)
{
    return std::u16string(s.Buffer, s.Length / 2);
}

class DeviceInterfaces : public KernelTest
{
protected:
    NTSTATUS Register(PDEVICE_OBJECT device, const GUID &cls, PCWSTR reference, UNICODE_STRING *link)
    {
        UNICODE_STRING ref;
        RtlInitUnicodeString(&ref, reference);
        return IoRegisterDeviceInterface(device, &cls, reference ? &ref : nullptr, link);
    }
    DEVICE_OBJECT pdo1{}, pdo2{};
};

TEST_F(DeviceInterfaces, SameTripleGivesSameLinkAndOtherTriplesDiffer)
{
    UNICODE_STRING a{}, again{}, otherRef{}, otherClass{}, otherDevice{};
    ASSERT_EQ(Register(&pdo1, kClassA, u"Wave", &a), STATUS_SUCCESS);
    ASSERT_EQ(Register(&pdo1, kClassA, u"WAVE", &again), STATUS_SUCCESS); // references compare without case
    ASSERT_EQ(Register(&pdo1, kClassA, u"Topo", &otherRef), STATUS_SUCCESS);
    ASSERT_EQ(Register(&pdo1, kClassB, u"Wave", &otherClass), STATUS_SUCCESS);
    ASSERT_EQ(Register(&pdo2, kClassA, u"Wave", &otherDevice), STATUS_SUCCESS);
    EXPECT_EQ(Text(a), Text(again));
    EXPECT_NE(a.Buffer, again.Buffer); // each caller owns its copy
    EXPECT_NE(Text(a), Text(otherRef));
    EXPECT_NE(Text(a), Text(otherClass));
    EXPECT_NE(Text(a), Text(otherDevice));
    EXPECT_EQ(a.MaximumLength, a.Length + 2);
    EXPECT_EQ(a.Buffer[a.Length / 2], 0);

    const auto listedA = sim::io::DeviceInterfaces(&kClassA);
    ASSERT_EQ(listedA.size(), 3u);
    EXPECT_EQ(listedA[0].Reference, "Wave");
    EXPECT_FALSE(listedA[0].Enabled); // a new interface starts disabled
    EXPECT_EQ(sim::io::DeviceInterfaces().size(), 4u);
    for (UNICODE_STRING *s : {&a, &again, &otherRef, &otherClass, &otherDevice})
        RtlFreeUnicodeString(s);
}

TEST_F(DeviceInterfaces, StateChangesAreCountedAndUnknownLinksRefused)
{
    UNICODE_STRING link{};
    ASSERT_EQ(Register(&pdo1, kClassA, nullptr, &link), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS); // already on: not counted again
    EXPECT_TRUE(sim::io::DeviceInterfaces(&kClassA).at(0).Enabled);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    EXPECT_EQ(sim::io::InterfaceEnables(), 1u);
    EXPECT_EQ(sim::io::InterfaceDisables(), 1u);

    UNICODE_STRING unknown;
    RtlInitUnicodeString(&unknown, u"\\??\\NOT#THERE");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoRegisterDeviceInterface(nullptr, &kClassA, nullptr, &link), STATUS_INVALID_PARAMETER);
    RtlFreeUnicodeString(&link);
}

TEST_F(DeviceInterfaces, InjectedFailuresChangeNothing)
{
    UNICODE_STRING link{};
    sim::io::FailNextInterfaceRegistration(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Register(&pdo1, kClassA, u"Wave", &link), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(link.Buffer, nullptr);
    EXPECT_TRUE(sim::io::DeviceInterfaces().empty());

    sim::FailAllocation(1); // the link buffer
    EXPECT_EQ(Register(&pdo1, kClassA, u"Wave", &link), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(link.Buffer, nullptr);

    ASSERT_EQ(Register(&pdo1, kClassA, u"Wave", &link), STATUS_SUCCESS);
    sim::io::FailNextInterfaceState(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(sim::io::DeviceInterfaces().at(0).Enabled);
    EXPECT_EQ(sim::io::InterfaceEnables(), 0u);
    RtlFreeUnicodeString(&link);
}

TEST_F(DeviceInterfaces, LeftoversAreReported)
{
    UNICODE_STRING link{};
    ASSERT_EQ(Register(&pdo1, kClassA, u"Wave", &link), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&link, TRUE), STATUS_SUCCESS);
    sim::io::FailNextInterfaceState(STATUS_UNSUCCESSFUL);
    const std::string report = EndOfTestReport();
    EXPECT_NE(report.find("still enabled"), std::string::npos) << report;
    EXPECT_NE(report.find("armed and never reached"), std::string::npos) << report;
    EXPECT_NE(report.find("Strg"), std::string::npos) << report; // the link never freed

    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_UNSUCCESSFUL); // consumes the armed failure
    EXPECT_EQ(IoSetDeviceInterfaceState(&link, FALSE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&link);
    EXPECT_EQ(EndOfTestReport(), "");
}

} // namespace
