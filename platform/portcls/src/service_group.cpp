// Service groups and content forwarding of the port-class stand-in.
#include <pc_port.h>
#include <sim/kernel_sim.h>
#include <sim/portcls_sim.h>

#include <mutex>
#include <new>
#include <vector>

namespace
{
constexpr ULONG kGroupTag = MakePoolTag("PcSg");
constexpr ULONG kMaxMembers = 8;

// Members are few (a pin and perhaps a second pin): a fixed table, no allocation at DISPATCH_LEVEL.
class CServiceGroup final : public IServiceGroup
{
public:
    CServiceGroup()
    {
        KeInitializeSpinLock(&m_Lock);
        KeInitializeDpc(&m_Dpc, &CServiceGroup::Service, this);
    }

    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override
    {
        if (!object)
            return STATUS_INVALID_PARAMETER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IServiceSink && iid != IID_IServiceGroup)
            return STATUS_INVALID_PARAMETER;
        AddRef();
        *object = static_cast<IServiceGroup *>(this);
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return ULONG(InterlockedIncrement(&m_Refs)); }
    ULONG Release() override
    {
        const LONG left = InterlockedDecrement(&m_Refs);
        if (left == 0)
        {
            for (auto &m : m_Members)
                if (m)
                    m->Release();
            this->~CServiceGroup();
            ExFreePoolWithTag(this, kGroupTag);
        }
        return ULONG(left);
    }

    // The DPC holds a reference while queued, so the group outlives it.
    void RequestService() override
    {
        AddRef();
        if (!KeInsertQueueDpc(&m_Dpc, nullptr, nullptr))
            Release();
    }
    NTSTATUS AddMember(PSERVICESINK sink) override
    {
        if (!sink)
            return STATUS_INVALID_PARAMETER;
        KIRQL old;
        KeAcquireSpinLock(&m_Lock, &old);
        NTSTATUS status = STATUS_INSUFFICIENT_RESOURCES;
        for (auto &m : m_Members)
            if (!m)
            {
                sink->AddRef();
                m = sink;
                status = STATUS_SUCCESS;
                break;
            }
        KeReleaseSpinLock(&m_Lock, old);
        return status;
    }
    void RemoveMember(PSERVICESINK sink) override
    {
        PSERVICESINK removed = nullptr;
        KIRQL old;
        KeAcquireSpinLock(&m_Lock, &old);
        for (auto &m : m_Members)
            if (m == sink)
            {
                removed = m;
                m = nullptr;
                break;
            }
        KeReleaseSpinLock(&m_Lock, old);
        if (removed)
            removed->Release();
    }
    void SupportDelayedService() override {}
    void RequestDelayedService(ULONGLONG) override { RequestService(); }
    void CancelDelayedService() override {}

private:
    static VOID Service(KDPC *, PVOID context, PVOID, PVOID)
    {
        auto *self = static_cast<CServiceGroup *>(context);
        PSERVICESINK members[kMaxMembers] = {};
        KeAcquireSpinLockAtDpcLevel(&self->m_Lock);
        for (ULONG i = 0; i < kMaxMembers; ++i)
            if ((members[i] = self->m_Members[i]) != nullptr)
                members[i]->AddRef();
        KeReleaseSpinLockFromDpcLevel(&self->m_Lock);
        for (auto *m : members)
            if (m)
            {
                m->RequestService();
                m->Release();
            }
        self->Release();
    }

    volatile LONG m_Refs = 1;
    KSPIN_LOCK m_Lock;
    KDPC m_Dpc;
    PSERVICESINK m_Members[kMaxMembers] = {};
};

std::mutex g_forwardLock;
std::vector<sim::portcls::ForwardedContent> g_forwarded;
} // namespace

NTSTATUS PcNewServiceGroup(PSERVICEGROUP *outServiceGroup, PUNKNOWN)
{
    if (!outServiceGroup)
        return STATUS_INVALID_PARAMETER;
    *outServiceGroup = nullptr;
    void *memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(CServiceGroup), kGroupTag);
    if (!memory)
        return STATUS_INSUFFICIENT_RESOURCES;
    *outServiceGroup = new (memory) CServiceGroup();
    return STATUS_SUCCESS;
}

NTSTATUS PcForwardContentToDeviceObject(ULONG contentId, PCDRMRIGHTS rights, const DRMFORWARD *forward)
{
    if (!forward)
        return STATUS_INVALID_PARAMETER;
    std::lock_guard<std::mutex> g(g_forwardLock);
    g_forwarded.push_back({contentId, forward->DeviceObject, forward->FileObject, forward->Context,
                           rights != nullptr, rights ? *rights : DRMRIGHTS{}});
    return STATUS_SUCCESS;
}

std::vector<sim::portcls::ForwardedContent> sim::portcls::ForwardedContents()
{
    std::lock_guard<std::mutex> g(g_forwardLock);
    return g_forwarded;
}

void sim::portcls::ClearForwardedContents()
{
    std::lock_guard<std::mutex> g(g_forwardLock);
    g_forwarded.clear();
}
