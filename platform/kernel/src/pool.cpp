// Pool with per-tag accounting, misuse checks and failure injection. Each block carries a header in
// front of it, so a double free, a foreign pointer or a wrong tag is caught instead of corrupting.
#include "kernel_internal.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <vector>

using namespace sim::detail;

namespace
{
// Layout of one block: [padding][BlockHeader][user bytes][guard]. The user pointer is aligned to 16
// bytes (64 for the cache-aligned pool types), and the header sits right in front of it.
struct BlockHeader
{
    uint32_t magic;
    uint32_t tag;
    uint64_t size;
    uint64_t serial;
    uint32_t type;
    uint32_t offset; // from the start of the host allocation to the user pointer
};
static_assert(sizeof(BlockHeader) <= 32, "the header fits in front of a 16-byte aligned block");
constexpr uint32_t kLive = 0x4C4F4F50;  // "POOL"
constexpr uint32_t kFreed = 0x45455246; // "FREE"
constexpr size_t kGuard = 16;           // bytes after the block that must stay untouched
constexpr uint8_t kGuardByte = 0xFD;
// The largest request the pool considers: more than any pool holds (1 TiB on 64 bits, half the
// address space on 32), and far enough below SIZE_MAX that a block's total size cannot wrap.
constexpr size_t kMaxBlockBytes = size_t(std::min<uint64_t>(uint64_t(1) << 40, SIZE_MAX / 2));

BlockHeader *HeaderOf(void *p);

// The user pointers of the live blocks, in an open-addressed table (linear probing, deletion by
// shifting back): a block's bookkeeping costs no host allocation of its own and a lookup stays
// constant-time however many blocks are live. A driver allocates and frees thousands of blocks per
// start, so a node per block and a tree walk per free were most of the pool's cost.
class LiveBlocks
{
public:
    void Insert(void *p)
    {
        if (2 * (m_count + 1) > m_slots.size())
            Grow();
        size_t i = Home(p);
        while (m_slots[i])
            i = (i + 1) & Mask();
        m_slots[i] = p;
        ++m_count;
    }
    // False when `p` is no live block.
    bool Erase(void *p)
    {
        if (!m_count)
            return false;
        size_t i = Home(p);
        while (m_slots[i] != p)
        {
            if (!m_slots[i])
                return false;
            i = (i + 1) & Mask();
        }
        // Each later entry of the run that may sit at the freed slot moves back into it, so a lookup
        // never meets a hole before its entry.
        for (size_t j = (i + 1) & Mask(); m_slots[j]; j = (j + 1) & Mask())
        {
            const size_t home = Home(m_slots[j]);
            if (((j - home) & Mask()) >= ((j - i) & Mask()))
            {
                m_slots[i] = m_slots[j];
                i = j;
            }
        }
        m_slots[i] = nullptr;
        --m_count;
        return true;
    }
    size_t Size() const { return m_count; }
    void Clear()
    {
        if (m_count)
            std::fill(m_slots.begin(), m_slots.end(), nullptr);
        m_count = 0;
    }
    template <class F> void ForEach(F f) const
    {
        for (void *p : m_slots)
            if (p)
                f(HeaderOf(p));
    }

private:
    size_t Mask() const { return m_slots.size() - 1; }
    // The top bits of the address times the golden ratio: neighbouring blocks land far apart.
    size_t Home(void *p) const
    {
        return size_t((uint64_t(reinterpret_cast<uintptr_t>(p)) * 0x9E3779B97F4A7C15ull) >> m_shift);
    }
    void Grow()
    {
        std::vector<void *> old(m_slots.empty() ? size_t(1) << kFirstBits : 2 * m_slots.size(), nullptr);
        m_shift = m_slots.empty() ? 64 - kFirstBits : m_shift - 1;
        old.swap(m_slots);
        m_count = 0;
        for (void *p : old)
            if (p)
                Insert(p);
    }

    static constexpr unsigned kFirstBits = 9;
    std::vector<void *> m_slots; // a power of two in size, at most half of them used
    size_t m_count = 0;
    unsigned m_shift = 64;
};

std::mutex g_poolLock;
LiveBlocks g_live;
NthFailure g_nth;      // counts every allocation
size_t g_injected = 0; // allocations that failed on purpose
std::set<ULONG> g_failTags;
uint64_t g_serial = 0;

bool CacheAligned(POOL_TYPE type)
{
    return (uint32_t(type) & 4) != 0;
}
bool Paged(POOL_TYPE type)
{
    return (uint32_t(type) & 1) != 0;
}

BlockHeader *HeaderOf(void *p)
{
    return static_cast<BlockHeader *>(p) - 1;
}
uint8_t *GuardOf(void *p, uint64_t size)
{
    return static_cast<uint8_t *>(p) + size;
}

bool GuardIntact(void *p, uint64_t size)
{
    const uint8_t *g = GuardOf(p, size);
    for (size_t i = 0; i < kGuard; ++i)
        if (g[i] != kGuardByte)
            return false;
    return true;
}
} // namespace

extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    KIRQL irql = Self().irql;
    if (Paged(type) && irql >= DISPATCH_LEVEL)
        sim::ReportViolation("paged pool allocation (tag " + TagText(tag) + ") at IRQL " +
                             std::to_string(irql));
    else if (irql > DISPATCH_LEVEL)
        sim::ReportViolation("pool allocation (tag " + TagText(tag) + ") above DISPATCH_LEVEL");
    std::lock_guard<std::mutex> g(g_poolLock);
    const bool nth = g_nth.Next(); // counted whether or not the tag fails too
    if (nth || g_failTags.count(tag))
    {
        ++g_injected;
        return nullptr;
    }
    if (bytes > kMaxBlockBytes)
        return nullptr;
    // As on the target, a block of a page or more starts on a page boundary.
    const size_t align = bytes >= PAGE_SIZE ? PAGE_SIZE : CacheAligned(type) ? 64 : 16;
    const size_t front = align >= sizeof(BlockHeader) ? align : 32;
    const size_t total = (front + bytes + kGuard + align - 1) & ~(align - 1);
    auto *base = static_cast<uint8_t *>(std::aligned_alloc(align, total));
    if (!base)
        return nullptr;
    void *p = base + front;
    *HeaderOf(p) = {kLive, tag, bytes, ++g_serial, uint32_t(type), uint32_t(front)};
    // Fresh pool is not zeroed on the target: fill it so code that forgets to initialise shows it.
    std::memset(p, 0xCD, bytes);
    std::memset(GuardOf(p, bytes), kGuardByte, kGuard);
    g_live.Insert(p);
    return p;
}

extern "C" PVOID ExAllocatePool(POOL_TYPE type, SIZE_T bytes)
{
    return ExAllocatePoolWithTag(type, bytes, MakePoolTag("None"));
}

static void FreeBlock(PVOID p, const ULONG *tag, const char *caller)
{
    if (!p)
    {
        sim::ReportViolation(std::string(caller) + "(NULL)");
        return;
    }
    BlockHeader *h = nullptr;
    std::string problem;
    {
        std::lock_guard<std::mutex> g(g_poolLock);
        if (!g_live.Erase(p))
        {
            problem = std::string(caller) + ": not a live pool block (double free or foreign pointer)";
        }
        else
        {
            h = HeaderOf(p);
            KIRQL irql = Self().irql;
            if (tag && *tag != h->tag)
                problem = std::string(caller) + ": tag " + TagText(*tag) + " does not match block tag " +
                          TagText(h->tag);
            else if (!GuardIntact(p, h->size))
                problem = std::string(caller) + ": a write ran past the end of the " +
                          std::to_string(h->size) + "-byte block with tag " + TagText(h->tag);
            else if (Paged(POOL_TYPE(h->type)) && irql >= DISPATCH_LEVEL)
                problem = std::string(caller) + ": paged pool (tag " + TagText(h->tag) + ") freed at IRQL " +
                          std::to_string(irql);
            else if (irql > DISPATCH_LEVEL)
                problem = std::string(caller) + " above DISPATCH_LEVEL";
        }
    }
    if (!problem.empty())
        sim::ReportViolation(problem); // outside the pool lock: the handler may look at the pool
    if (problem.find("not a live pool block") != std::string::npos)
        return;
    h->magic = kFreed;
    std::memset(p, 0xDD, h->size);
    std::free(reinterpret_cast<uint8_t *>(p) - h->offset);
}

extern "C" VOID ExFreePool(PVOID p)
{
    FreeBlock(p, nullptr, "ExFreePool");
}
extern "C" VOID ExFreePoolWithTag(PVOID p, ULONG tag)
{
    FreeBlock(p, &tag, "ExFreePoolWithTag");
}

void sim::FailAllocation(unsigned n)
{
    std::lock_guard<std::mutex> g(g_poolLock);
    g_nth.Arm(n);
}

size_t sim::Allocations()
{
    std::lock_guard<std::mutex> g(g_poolLock);
    return g_nth.calls;
}

size_t sim::pool::InjectedFailures()
{
    std::lock_guard<std::mutex> g(g_poolLock);
    return g_injected;
}

size_t sim::Outstanding()
{
    std::lock_guard<std::mutex> g(g_poolLock);
    return g_live.Size();
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
    g_nth.failAt = 0;
    g_failTags.clear();
}

size_t sim::pool::OutstandingBytes(ULONG tag)
{
    std::lock_guard<std::mutex> g(g_poolLock);
    size_t n = 0;
    g_live.ForEach(
        [&](const BlockHeader *h)
        {
            if (h->tag == tag)
                n += h->size;
        });
    return n;
}

size_t sim::pool::OutstandingBlocks(ULONG tag)
{
    std::lock_guard<std::mutex> g(g_poolLock);
    size_t n = 0;
    g_live.ForEach([&](const BlockHeader *h) { n += h->tag == tag; });
    return n;
}

std::string sim::pool::LeakReport()
{
    std::lock_guard<std::mutex> g(g_poolLock);
    if (!g_live.Size())
        return "";
    std::map<ULONG, std::pair<size_t, size_t>> byTag;
    g_live.ForEach(
        [&](const BlockHeader *h)
        {
            auto &t = byTag[h->tag];
            ++t.first;
            t.second += h->size;
        });
    std::string s = "pool leak:";
    for (auto &t : byTag)
        s += " '" + TagText(t.first) + "' " + std::to_string(t.second.first) + " block(s), " +
             std::to_string(t.second.second) + " bytes;";
    return s;
}

namespace sim::detail
{
void ResetPool()
{
    std::lock_guard<std::mutex> g(g_poolLock);
    // Blocks left by an earlier failed test stay allocated (they may still be referenced) but no
    // longer count against the next test.
    g_live.Clear();
    g_nth = {};
    g_injected = 0;
    g_failTags.clear();
}
std::string PoolCheck()
{
    return sim::pool::LeakReport();
}
} // namespace sim::detail
