// Non-paged lookaside lists over the pool, and the performance counter.
#include "kernel_internal.h"

#include <set>

namespace
{
constexpr ULONG kListMagic = 0x4B534C4C; // "LLSK"

std::mutex g_listLock;
std::set<PNPAGED_LOOKASIDE_LIST> g_lists; // initialised and not yet deleted

bool Usable(PNPAGED_LOOKASIDE_LIST list, const char *caller)
{
    if (list && list->Magic == kListMagic)
        return true;
    sim::ReportViolation(std::string(caller) + ": lookaside list not initialised");
    return false;
}

void Reset()
{
    std::lock_guard<std::mutex> g(g_listLock);
    g_lists.clear();
}

std::string Check()
{
    std::lock_guard<std::mutex> g(g_listLock);
    if (g_lists.empty())
        return "";
    return std::to_string(g_lists.size()) + " lookaside list(s) never deleted";
}

const bool registered = (sim::RegisterComponent("lookaside", &Reset, &Check), true);
} // namespace

extern "C" VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PALLOCATE_FUNCTION allocate,
                                                PFREE_FUNCTION free, ULONG, SIZE_T size, ULONG tag, USHORT)
{
    (void)registered;
    if (!list || allocate || free || size == 0)
    {
        sim::ReportViolation("ExInitializeNPagedLookasideList: bad arguments");
        return;
    }
    list->Size = size;
    list->Tag = tag;
    list->Type = NonPagedPool;
    list->Outstanding = 0;
    list->Magic = kListMagic;
    std::lock_guard<std::mutex> g(g_listLock);
    g_lists.insert(list);
}

extern "C" VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list)
{
    if (!Usable(list, __func__))
        return;
    if (__atomic_load_n(&list->Outstanding, __ATOMIC_SEQ_CST) != 0)
        sim::ReportViolation("ExDeleteNPagedLookasideList: " + std::to_string(list->Outstanding) +
                             " entries still out");
    list->Magic = 0;
    std::lock_guard<std::mutex> g(g_listLock);
    g_lists.erase(list);
}

extern "C" PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list)
{
    if (!Usable(list, __func__))
        return nullptr;
    PVOID entry = ExAllocatePoolWithTag(list->Type, list->Size, list->Tag);
    if (entry)
        InterlockedIncrement(&list->Outstanding);
    return entry;
}

extern "C" VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST list, PVOID entry)
{
    if (!Usable(list, __func__) || !entry)
        return;
    if (InterlockedDecrement(&list->Outstanding) < 0)
    {
        InterlockedIncrement(&list->Outstanding);
        sim::ReportViolation("ExFreeToNPagedLookasideList: more entries freed than allocated");
        return;
    }
    ExFreePoolWithTag(entry, list->Tag);
}

extern "C" LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER frequency)
{
    if (frequency)
        frequency->QuadPart = 10000000;
    LARGE_INTEGER now;
    now.QuadPart = LONGLONG(KeQueryInterruptTime());
    return now;
}
