// Service groups: a request only queues; the members run on the DPC thread at DISPATCH_LEVEL, each
// held while it is a member; a wave port's Notify is such a request.
#include <pc_port.h>
#include <sim/portcls_sim.h>

#include <atomic>
#include <thread>

#include "support/kernel_test.h"

namespace
{

class CountingSink final : public IServiceSink
{
public:
    NTSTATUS QueryInterface(REFIID, PVOID *object) override
    {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return ULONG(++refs); }
    ULONG Release() override { return ULONG(--refs); }
    void RequestService() override
    {
        irql = KeGetCurrentIrql();
        thread = std::this_thread::get_id();
        ++calls;
    }
    std::atomic<LONG> refs{1};
    std::atomic<int> calls{0};
    KIRQL irql = PASSIVE_LEVEL;
    std::thread::id thread;
};

class ServiceGroupTest : public KernelTest
{
};

TEST_F(ServiceGroupTest, RequestsQueueAndMembersRunOnTheDpcThreadAtDispatchLevel)
{
    PSERVICEGROUP group = nullptr;
    ASSERT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_SUCCESS);
    CountingSink first, second;
    ASSERT_EQ(group->AddMember(&first), STATUS_SUCCESS);
    ASSERT_EQ(group->AddMember(&second), STATUS_SUCCESS);
    EXPECT_EQ(first.refs, 2);

    // The DPC thread may take the request at once, so that it only queues shows in where the
    // members run, not in when.
    group->RequestService();
    sim::RunUntilIdle();
    EXPECT_EQ(first.calls, 1);
    EXPECT_EQ(second.calls, 1);
    EXPECT_NE(first.thread, std::this_thread::get_id()) << "a request only queues";
    EXPECT_EQ(first.irql, DISPATCH_LEVEL);

    group->RemoveMember(&second);
    EXPECT_EQ(second.refs, 1);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    group->RequestService(); // callable from a completion routine
    KeLowerIrql(old);
    sim::RunUntilIdle();
    EXPECT_EQ(first.calls, 2);
    EXPECT_EQ(second.calls, 1);

    group->Release();
    EXPECT_EQ(first.refs, 1) << "the group lets go of its members";
}

TEST_F(ServiceGroupTest, TheGroupAndItsRecordsComeFromThePool)
{
    sim::pool::FailNthAllocation(1);
    PSERVICEGROUP group = reinterpret_cast<PSERVICEGROUP>(1);
    EXPECT_EQ(PcNewServiceGroup(&group, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(group, nullptr);
    EXPECT_EQ(PcNewServiceGroup(nullptr, nullptr), STATUS_INVALID_PARAMETER);
}

TEST_F(ServiceGroupTest, ForwardedContentIsRecorded)
{
    sim::portcls::ClearForwardedContents();
    DEVICE_OBJECT device{};
    int pipe = 0;
    DRMFORWARD forward{0, &device, &pipe, &pipe};
    EXPECT_EQ(PcForwardContentToDeviceObject(7, nullptr, &forward), STATUS_SUCCESS);
    EXPECT_EQ(PcForwardContentToDeviceObject(7, nullptr, nullptr), STATUS_INVALID_PARAMETER);
    const auto recorded = sim::portcls::ForwardedContents();
    ASSERT_EQ(recorded.size(), 1u);
    EXPECT_EQ(recorded[0].ContentId, 7u);
    EXPECT_EQ(recorded[0].DeviceObject, &device);
    EXPECT_EQ(recorded[0].FileObject, &pipe);
}

} // namespace
