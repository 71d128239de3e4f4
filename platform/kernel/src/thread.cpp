// System threads and referenced objects. A thread is a host thread at PASSIVE_LEVEL; its object is
// a waitable dispatcher object that outlives the handle and becomes signalled when the thread ends.
#include "kernel_internal.h"

#include <map>
#include <thread>

using namespace sim::detail;

struct KTHREAD
{
    DISPATCHER_HEADER Header; // first: waits take the object pointer as a dispatcher header
};

namespace
{
struct ThreadObject : SimObject
{
    KTHREAD k{};
    KPRIORITY priority = 8;
    void OnLastReference() override
    {
        UnregisterObjectPointer(&k);
        delete this;
    }
};
struct ThreadExit
{
};

size_t g_running = 0;
bool g_failCreate = false;
std::map<PKTHREAD, KPRIORITY> g_otherPriorities;
thread_local ThreadObject *t_self = nullptr;
thread_local KTHREAD t_foreign{};

// Caller holds the scheduler lock.
void DerefLocked(SimObject *o)
{
    if (--o->refs == 0 && !o->permanent)
        o->OnLastReference();
}

NTSTATUS CloseThreadHandle(void *object)
{
    auto lk = Lock();
    DerefLocked(static_cast<ThreadObject *>(object));
    return STATUS_SUCCESS;
}

OBJECT_TYPE *g_threadType = reinterpret_cast<OBJECT_TYPE *>(0x7468); // identity only
} // namespace

POBJECT_TYPE *PsThreadType = &g_threadType;

extern "C" NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PVOID,
                                         PKSTART_ROUTINE routine, PVOID context)
{
    sim::AssertPassiveLevel("PsCreateSystemThread");
    auto lk = Lock();
    if (g_failCreate)
        return STATUS_INSUFFICIENT_RESOURCES;
    auto *t = new ThreadObject;
    t->k.Header.Type = SimThread;
    t->refs = 2; // the handle and the running thread
    RegisterObjectPointer(&t->k, t);
    ++g_running;
    AddCountedThread();
    lk.unlock();
    *threadHandle = sim::InsertHandle(sim::HandleKind::Thread, t, CloseThreadHandle);
    std::thread(
        [t, routine, context]
        {
            Self().counted = true;
            t_self = t;
            // PsTerminateSystemThread unwinds to here, so the routine's own guards run on the way out.
            try
            {
                routine(context);
            }
            catch (ThreadExit &)
            {
            }
            if (Self().irql != PASSIVE_LEVEL)
                sim::ReportViolation("a system thread ended at IRQL " + std::to_string(Self().irql));
            std::string held = HeldLocksText(Self());
            if (!held.empty())
                sim::ReportViolation("a system thread ended holding " + held);
            auto lk2 = Lock();
            t->k.Header.SignalState = 1;
            --g_running;
            t_self = nullptr;
            DerefLocked(t);
            RemoveCountedThread();
        })
        .detach();
    return STATUS_SUCCESS;
}

extern "C" [[noreturn]] NTSTATUS PsTerminateSystemThread(NTSTATUS)
{
    if (!t_self)
    {
        sim::ReportViolation("PsTerminateSystemThread outside a system thread");
        std::abort();
    }
    throw ThreadExit{};
}

extern "C" PKTHREAD KeGetCurrentThread()
{
    return t_self ? &t_self->k : &t_foreign;
}

extern "C" KPRIORITY KeSetPriorityThread(PKTHREAD thread, KPRIORITY priority)
{
    auto lk = Lock();
    SimObject *o = nullptr;
    if (thread != &t_foreign)
        o = FromPointer(thread, "KeSetPriorityThread");
    if (auto *t = dynamic_cast<ThreadObject *>(o))
    {
        KPRIORITY old = t->priority;
        t->priority = priority;
        return old;
    }
    KPRIORITY old = g_otherPriorities.count(thread) ? g_otherPriorities[thread] : 8;
    g_otherPriorities[thread] = priority;
    return old;
}

KPRIORITY sim::ThreadPriority(PVOID threadObject)
{
    auto lk = Lock();
    if (auto *t = dynamic_cast<ThreadObject *>(FromPointer(threadObject, "ThreadPriority")))
        return t->priority;
    return -1;
}

extern "C" NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, POBJECT_TYPE type,
                                              KPROCESSOR_MODE mode, PVOID *object,
                                              OBJECT_HANDLE_INFORMATION *)
{
    if (mode == UserMode)
        return ReferenceUserHandle(handle, type, object);
    auto *t = static_cast<ThreadObject *>(sim::LookupHandle(handle, sim::HandleKind::Thread));
    if (!t)
    {
        *object = nullptr;
        return STATUS_INVALID_HANDLE;
    }
    if (type && type != *PsThreadType)
    {
        *object = nullptr;
        return STATUS_OBJECT_TYPE_MISMATCH;
    }
    auto lk = Lock();
    ++t->refs;
    *object = &t->k;
    return STATUS_SUCCESS;
}

extern "C" VOID ObfReferenceObject(PVOID object)
{
    auto lk = Lock();
    if (SimObject *o = FromPointer(object, "ObReferenceObject"))
        ++o->refs;
}

extern "C" VOID ObfDereferenceObject(PVOID object)
{
    auto lk = Lock();
    SimObject *o = FromPointer(object, "ObDereferenceObject");
    if (!o)
        return;
    if (o->refs <= 0)
    {
        lk.unlock();
        sim::ReportViolation("ObDereferenceObject of an object with no references left");
        return;
    }
    DerefLocked(o);
}

extern "C" VOID ObMakeTemporaryObject(PVOID object)
{
    auto lk = Lock();
    SimObject *o = FromPointer(object, "ObMakeTemporaryObject");
    if (!o)
        return;
    o->permanent = false;
    if (o->refs == 0)
        o->OnLastReference();
}

size_t sim::RunningThreads()
{
    auto lk = Lock();
    return g_running;
}

void sim::InjectThreadCreateFailure(bool fail)
{
    auto lk = Lock();
    g_failCreate = fail;
}

namespace sim::detail
{
void ResetThreads()
{
    auto lk = Lock();
    g_failCreate = false;
    g_otherPriorities.clear();
}
std::string ThreadCheck()
{
    auto lk = Lock();
    if (g_running == 0)
        return "";
    return std::to_string(g_running) + " system thread(s) still running at the end of the test";
}
} // namespace sim::detail
