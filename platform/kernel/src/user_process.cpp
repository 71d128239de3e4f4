// User processes of the low-latency front end: 32-bit event handles, memory descriptor lists and
// user-mode mappings, and the identity a calling thread acts for.
#include <algorithm>
#include <map>
#include <mutex>

#include <sim/pnp_sim.h>
#include <sim/user_sim.h>

#include "kernel_internal.h"

using namespace sim::detail;

namespace
{

constexpr ULONG kMdlTag = MakePoolTag("Mdl ");
constexpr uint32_t kFirstUserAddress = 0x10000000;
constexpr uint32_t kMapGap = 0x10000; // unmapped room between mappings, so an overrun finds nothing

struct UserEvent : SimObject
{
    KEVENT k{};
    size_t sets = 0;
    long handles = 0;
    void OnSignal() override { ++sets; }
    void OnLastReference() override;
};

struct Mapping
{
    sim::user::Process::State *owner;
    uint32_t address;
    PMDL mdl;
    uint8_t *bytes;
    size_t length;
    size_t offset;
};

OBJECT_TYPE *g_eventType = reinterpret_cast<OBJECT_TYPE *>(0x6576); // identity only

// Under the scheduler lock: the live user events. Under g_mm: MDLs, mappings, injection.
std::vector<UserEvent *> g_events;
std::mutex g_mm;
std::vector<PMDL> g_mdls;
std::vector<Mapping> g_mappings;
size_t g_foreignUnmaps = 0;
NthFailure g_raise;
NTSTATUS g_raiseCode = STATUS_INSUFFICIENT_RESOURCES;
uint32_t g_nextProcess = 1;

void UserEvent::OnLastReference()
{
    UnregisterObjectPointer(&k);
    std::erase(g_events, this);
    delete this;
}

} // namespace

POBJECT_TYPE *ExEventObjectType = &g_eventType;

struct sim::user::Process::State
{
    uint32_t id = 0;
    uint32_t nextHandle = 0x100;
    uint32_t nextAddress = kFirstUserAddress;
    std::map<uint32_t, UserEvent *> handles; // under the scheduler lock
};

namespace
{
thread_local sim::user::Process::State *t_acting = nullptr;

// The calling thread acts for `state` while this lives.
class Acting
{
public:
    explicit Acting(sim::user::Process::State *state) : m_previous(t_acting) { t_acting = state; }
    ~Acting() { t_acting = m_previous; }

private:
    sim::user::Process::State *m_previous;
};

void Reset()
{
    {
        auto lk = Lock();
        for (UserEvent *e : g_events)
        {
            UnregisterObjectPointer(&e->k);
            delete e;
        }
        g_events.clear();
    }
    std::lock_guard<std::mutex> g(g_mm);
    g_mdls.clear(); // their pool blocks go with the pool's reset
    g_mappings.clear();
    g_foreignUnmaps = 0;
    g_raise = {};
}

std::string Check()
{
    std::string out;
    if (size_t n = sim::user::EventReferences())
        out += std::to_string(n) + " user event reference(s) never given back\n";
    std::lock_guard<std::mutex> g(g_mm);
    if (!g_mappings.empty())
        out += std::to_string(g_mappings.size()) + " user mapping(s) never unmapped\n";
    if (!g_mdls.empty())
        out += std::to_string(g_mdls.size()) + " MDL(s) never freed\n";
    return out;
}

const bool registered = (sim::RegisterComponent("user processes", &Reset, &Check), true);

} // namespace

namespace sim::detail
{
// ObReferenceObjectByHandle for a user-mode handle: only events of the acting process.
NTSTATUS ReferenceUserHandle(HANDLE handle, POBJECT_TYPE type, PVOID *object)
{
    *object = nullptr;
    const ULONG_PTR value = reinterpret_cast<ULONG_PTR>(handle);
    auto lk = Lock();
    if (!t_acting || value > 0xFFFFFFFFu)
        return STATUS_INVALID_HANDLE;
    auto it = t_acting->handles.find(uint32_t(value));
    if (it == t_acting->handles.end())
        return STATUS_INVALID_HANDLE;
    if (type != *ExEventObjectType)
        return STATUS_OBJECT_TYPE_MISMATCH;
    ++it->second->refs;
    *object = &it->second->k;
    return STATUS_SUCCESS;
}
} // namespace sim::detail

// ---- Processes --------------------------------------------------------------------------------------

sim::user::Process::Process() : m_state(std::make_shared<State>())
{
    auto lk = Lock();
    m_state->id = g_nextProcess++;
}

sim::user::Process::~Process()
{
    std::vector<uint32_t> open;
    {
        auto lk = Lock();
        for (auto &h : m_state->handles)
            open.push_back(h.first);
    }
    for (uint32_t h : open)
        CloseHandle(h);
}

uint32_t sim::user::Process::Id() const
{
    return m_state->id;
}

uint32_t sim::user::Process::CreateEvent(bool manualReset)
{
    auto *e = new UserEvent;
    KeInitializeEvent(&e->k, manualReset ? NotificationEvent : SynchronizationEvent, FALSE);
    auto lk = Lock();
    e->handles = 1;
    RegisterObjectPointer(&e->k, e);
    g_events.push_back(e);
    const uint32_t handle = m_state->nextHandle += 4;
    m_state->handles[handle] = e;
    return handle;
}

NTSTATUS sim::user::Process::CloseHandle(uint32_t handle)
{
    auto lk = Lock();
    auto it = m_state->handles.find(handle);
    if (it == m_state->handles.end())
        return STATUS_INVALID_HANDLE;
    UserEvent *e = it->second;
    m_state->handles.erase(it);
    --e->handles;
    if (--e->refs == 0)
        e->OnLastReference();
    return STATUS_SUCCESS;
}

size_t sim::user::Process::EventSets(uint32_t handle) const
{
    auto lk = Lock();
    auto it = m_state->handles.find(handle);
    return it == m_state->handles.end() ? 0 : it->second->sets;
}

bool sim::user::Process::EventSignalled(uint32_t handle) const
{
    auto lk = Lock();
    auto it = m_state->handles.find(handle);
    return it != m_state->handles.end() && it->second->k.Header.SignalState > 0;
}

bool sim::user::Process::WaitEvent(uint32_t handle, LONGLONG timeoutMs)
{
    UserEvent *e = nullptr;
    {
        auto lk = Lock();
        auto it = m_state->handles.find(handle);
        if (it == m_state->handles.end())
            return false;
        e = it->second;
        ++e->refs; // the wait's own reference
    }
    LARGE_INTEGER timeout;
    timeout.QuadPart = -timeoutMs * 10000;
    const NTSTATUS status = KeWaitForSingleObject(&e->k, UserRequest, UserMode, FALSE, &timeout);
    ObDereferenceObject(&e->k);
    return status == STATUS_WAIT_0;
}

NTSTATUS sim::user::Process::OpenFile(PDEVICE_OBJECT pdo, const std::u16string &name, PFILE_OBJECT *file)
{
    Acting acting(m_state.get());
    return sim::pnp::OpenFile(pdo, name, file);
}

NTSTATUS sim::user::Process::CloseFile(PFILE_OBJECT file)
{
    Acting acting(m_state.get());
    return sim::pnp::CloseFile(file);
}

NTSTATUS sim::user::Process::DeviceIoControl(PFILE_OBJECT file, ULONG code, const void *in, ULONG inLength,
                                             void *out, ULONG outLength, ULONG_PTR *information)
{
    Acting acting(m_state.get());
    return sim::pnp::DeviceControl(file, code, in, inLength, out, outLength, information);
}

uint8_t *sim::user::Process::At(uint32_t address, size_t bytes) const
{
    std::lock_guard<std::mutex> g(g_mm);
    for (const Mapping &m : g_mappings)
        if (m.owner == m_state.get() && address >= m.address && bytes <= m.length &&
            address - m.address <= m.length - bytes)
            return m.bytes + (address - m.address);
    return nullptr;
}

size_t sim::user::Process::Mappings() const
{
    std::lock_guard<std::mutex> g(g_mm);
    return size_t(std::count_if(g_mappings.begin(), g_mappings.end(),
                                [&](const Mapping &m) { return m.owner == m_state.get(); }));
}

std::vector<sim::user::MappingRecord> sim::user::Mappings()
{
    std::lock_guard<std::mutex> g(g_mm);
    std::vector<MappingRecord> out;
    for (const Mapping &m : g_mappings)
        out.push_back({m.owner->id, m.address, m.length, m.offset});
    return out;
}

size_t sim::user::LiveMdls()
{
    std::lock_guard<std::mutex> g(g_mm);
    return g_mdls.size();
}

size_t sim::user::ForeignUnmaps()
{
    std::lock_guard<std::mutex> g(g_mm);
    return g_foreignUnmaps;
}

void sim::user::RaiseOnMap(unsigned n, NTSTATUS code)
{
    std::lock_guard<std::mutex> g(g_mm);
    g_raise.Arm(n);
    g_raiseCode = code;
}

size_t sim::user::EventReferences()
{
    auto lk = Lock();
    size_t n = 0;
    for (const UserEvent *e : g_events)
        n += size_t(e->refs - e->handles);
    return n;
}

// ---- Memory descriptor lists --------------------------------------------------------------------------

extern "C" PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN, BOOLEAN, IRP *)
{
    if (!virtualAddress || length == 0)
        return nullptr;
    auto *mdl = static_cast<PMDL>(ExAllocatePoolWithTag(NonPagedPool, sizeof(MDL), kMdlTag));
    if (!mdl)
        return nullptr;
    std::memset(mdl, 0, sizeof *mdl);
    mdl->Size = SHORT(sizeof(MDL));
    const ULONG_PTR va = reinterpret_cast<ULONG_PTR>(virtualAddress);
    mdl->StartVa = reinterpret_cast<PVOID>(va & ~ULONG_PTR(PAGE_SIZE - 1));
    mdl->ByteOffset = ULONG(va & (PAGE_SIZE - 1));
    mdl->ByteCount = length;
    std::lock_guard<std::mutex> g(g_mm);
    g_mdls.push_back(mdl);
    return mdl;
}

extern "C" VOID MmBuildMdlForNonPagedPool(PMDL mdl)
{
    mdl->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
    mdl->MappedSystemVa = static_cast<PUCHAR>(mdl->StartVa) + mdl->ByteOffset;
}

extern "C" PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE,
                                              PVOID, ULONG, ULONG)
{
    if (!(mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL))
    {
        sim::ReportViolation("MmMapLockedPagesSpecifyCache: the MDL describes no locked pages");
        return nullptr;
    }
    if (accessMode == KernelMode)
        return mdl->MappedSystemVa;
    if (Self().irql > APC_LEVEL)
        sim::ReportViolation("MmMapLockedPagesSpecifyCache: user mapping above APC_LEVEL");
    std::unique_lock<std::mutex> g(g_mm);
    if (g_raise.Next())
        throw KERNEL_EXCEPTION{g_raiseCode};
    if (!t_acting)
        throw KERNEL_EXCEPTION{STATUS_INVALID_PARAMETER}; // no user process to map into
    const size_t offset = mdl->ByteOffset;
    const size_t span = ROUND_TO_PAGES(offset + mdl->ByteCount);
    if (t_acting->nextAddress > 0xFFFFFFFFu - span - kMapGap)
        throw KERNEL_EXCEPTION{STATUS_INSUFFICIENT_RESOURCES};
    const uint32_t address = t_acting->nextAddress + uint32_t(offset);
    t_acting->nextAddress += uint32_t(span + kMapGap);
    g_mappings.push_back(
        {t_acting, address, mdl, static_cast<uint8_t *>(mdl->MappedSystemVa), mdl->ByteCount, offset});
    return reinterpret_cast<PVOID>(ULONG_PTR(address));
}

extern "C" VOID MmUnmapLockedPages(PVOID baseAddress, PMDL mdl)
{
    std::unique_lock<std::mutex> g(g_mm);
    const ULONG_PTR address = reinterpret_cast<ULONG_PTR>(baseAddress);
    auto it = std::find_if(g_mappings.begin(), g_mappings.end(),
                           [&](const Mapping &m) { return m.mdl == mdl && m.address == address; });
    if (it == g_mappings.end())
    {
        g.unlock();
        sim::ReportViolation("MmUnmapLockedPages: no such mapping of this MDL");
        return;
    }
    if (it->owner != t_acting)
        ++g_foreignUnmaps;
    g_mappings.erase(it);
}

extern "C" VOID IoFreeMdl(PMDL mdl)
{
    {
        std::unique_lock<std::mutex> g(g_mm);
        auto it = std::find(g_mdls.begin(), g_mdls.end(), mdl);
        if (it == g_mdls.end())
        {
            g.unlock();
            sim::ReportViolation("IoFreeMdl: not an MDL from IoAllocateMdl");
            return;
        }
        if (std::any_of(g_mappings.begin(), g_mappings.end(), [&](const Mapping &m) { return m.mdl == mdl; }))
        {
            g.unlock();
            sim::ReportViolation("IoFreeMdl: the MDL is still mapped");
            return;
        }
        g_mdls.erase(it);
    }
    ExFreePoolWithTag(mdl, kMdlTag);
}
