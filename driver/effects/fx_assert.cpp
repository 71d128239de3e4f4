#include "driver/effects/fx_assert.h"

#include <atomic>

namespace
{
std::atomic<int32_t> g_Count{0};
std::atomic<const char *> g_Last{nullptr};
} // namespace

void FxAssertFailed(const char *, const char *condition)
{
    g_Count.fetch_add(1, std::memory_order_relaxed);
    g_Last.store(condition, std::memory_order_relaxed);
}

int32_t FxAssertCount()
{
    return g_Count.load(std::memory_order_relaxed);
}

const char *FxAssertLastCondition()
{
    return g_Last.load(std::memory_order_relaxed);
}

void FxAssertReset()
{
    g_Count.store(0, std::memory_order_relaxed);
    g_Last.store(nullptr, std::memory_order_relaxed);
}
