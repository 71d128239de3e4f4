// Pool with per-tag accounting, misuse checks and failure injection. Each block carries a header in
// front of it, so a double free, a foreign pointer or a wrong tag is caught instead of corrupting.
#include "kernel_internal.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

using namespace sim::detail;

namespace {
struct alignas(16) BlockHeader {
    uint32_t magic;
    uint32_t tag;
    uint64_t size;
    uint64_t serial;
    uint32_t type;
    uint32_t pad;
};
static_assert(sizeof(BlockHeader) % 16 == 0, "pool blocks stay 16-byte aligned");
constexpr uint32_t kLive = 0x4C4F4F50;  // "POOL"
constexpr uint32_t kFreed = 0x45455246; // "FREE"

std::mutex g_poolLock;
std::map<void *, BlockHeader *> g_live; // user pointer -> header
size_t g_allocations = 0;
unsigned g_failAt = 0; // 0 = off; otherwise the allocation number that fails
std::set<ULONG> g_failTags;
uint64_t g_serial = 0;
} // namespace

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    if (type == PagedPool && Self().irql >= DISPATCH_LEVEL)
        sim::ReportViolation("paged pool allocation (tag " + TagText(tag) + ") at IRQL " +
                             std::to_string(Self().irql));
    std::lock_guard<std::mutex> g(g_poolLock);
    ++g_allocations;
    if (g_failAt != 0 && g_allocations == g_failAt) {
        g_failAt = 0;
        return nullptr;
    }
    if (g_failTags.count(tag))
        return nullptr;
    if (bytes > (SIZE_T(1) << 40))
        return nullptr;
    auto *h = static_cast<BlockHeader *>(std::aligned_alloc(16, sizeof(BlockHeader) + ((bytes + 15) & ~SIZE_T(15))));
    if (!h)
        return nullptr;
    *h = {kLive, tag, bytes, ++g_serial, uint32_t(type), 0};
    void *p = h + 1;
    // Fresh pool is not zeroed on the target: fill it so code that forgets to initialise shows it.
    std::memset(p, 0xCD, bytes);
    g_live[p] = h;
    return p;
}

extern "C" PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes)
{
    return ExAllocatePoolWithTag(type, bytes, MakePoolTag("None"));
}

static void FreeBlock(PVOID p, const ULONG *tag, const char *caller)
{
    if (!p) {
        sim::ReportViolation(std::string(caller) + "(NULL)");
        return;
    }
    BlockHeader *h;
    {
        std::lock_guard<std::mutex> g(g_poolLock);
        auto it = g_live.find(p);
        if (it == g_live.end()) {
            sim::ReportViolation(std::string(caller) + ": not a live pool block (double free or foreign pointer)");
            return;
        }
        h = it->second;
        if (tag && *tag != h->tag) {
            sim::ReportViolation(std::string(caller) + ": tag " + TagText(*tag) + " does not match block tag " +
                                 TagText(h->tag));
        }
        g_live.erase(it);
    }
    h->magic = kFreed;
    std::memset(p, 0xDD, h->size);
    std::free(h);
}

extern "C" VOID ExFreePool(PVOID p) { FreeBlock(p, nullptr, "ExFreePool"); }
extern "C" VOID ExFreePoolWithTag(PVOID p, ULONG tag) { FreeBlock(p, &tag, "ExFreePoolWithTag"); }

void sim::FailAllocation(unsigned n)
{
    std::lock_guard<std::mutex> g(g_poolLock);
    g_failAt = n ? unsigned(g_allocations) + n : 0;
}

size_t sim::Allocations()
{
    std::lock_guard<std::mutex> g(g_poolLock);
    return g_allocations;
}

size_t sim::Outstanding()
{
    std::lock_guard<std::mutex> g(g_poolLock);
    return g_live.size();
}

void sim::pool::FailTag(ULONG tag, bool fail)
{
    std::lock_guard<std::mutex> g(g_poolLock);
    if (fail)
        g_failTags.insert(tag);
    else
        g_failTags.erase(tag);
}

void sim::pool::ClearInjection()
{
    std::lock_guard<std::mutex> g(g_poolLock);
    g_failAt = 0;
    g_failTags.clear();
}

size_t sim::pool::OutstandingBytes(ULONG tag)
{
    std::lock_guard<std::mutex> g(g_poolLock);
    size_t n = 0;
    for (auto &e : g_live)
        if (e.second->tag == tag)
            n += e.second->size;
    return n;
}

size_t sim::pool::OutstandingBlocks(ULONG tag)
{
    std::lock_guard<std::mutex> g(g_poolLock);
    size_t n = 0;
    for (auto &e : g_live)
        n += e.second->tag == tag;
    return n;
}

std::string sim::pool::LeakReport()
{
    std::lock_guard<std::mutex> g(g_poolLock);
    if (g_live.empty())
        return "";
    std::map<ULONG, std::pair<size_t, size_t>> byTag;
    for (auto &e : g_live) {
        auto &t = byTag[e.second->tag];
        ++t.first;
        t.second += e.second->size;
    }
    std::string s = "pool leak:";
    for (auto &t : byTag)
        s += " '" + TagText(t.first) + "' " + std::to_string(t.second.first) + " block(s), " +
             std::to_string(t.second.second) + " bytes;";
    return s;
}

namespace sim::detail {
void ResetPool()
{
    std::lock_guard<std::mutex> g(g_poolLock);
    // Blocks left by an earlier failed test stay allocated (they may still be referenced) but no
    // longer count against the next test.
    g_live.clear();
    g_allocations = 0;
    g_failAt = 0;
    g_failTags.clear();
}
std::string PoolCheck() { return sim::pool::LeakReport(); }
} // namespace sim::detail
