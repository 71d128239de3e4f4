// Test helpers for the primitive library: float bit-pattern assertions, guarded buffers, a
// recorder that replaces the library's pool hooks (sizes, blocks, failure injection) and an
// allocation counter for proving that run paths allocate nothing.
//
//   #include "support/dsp_test_support.h"
//   EXPECT_F32_SAME(expected, actual);           // same 32 bits (NaN payloads, signed zeros)
//   EXPECT_F32_BITS(0xFFC00000u, actual);        // a given bit pattern
//   EXPECT_F32_ARRAY_SAME(expected, actual, n);  // first differing index reported
//   EXPECT_F32_ULPS(expected, actual, 1);        // at most 1 ulp apart (same-sign ordering)
//   EXPECT_EQ(wordsOf(v), (Words{0x3F800000}));  // whole vectors by bit pattern, hex on failure
//
//   dsp::test::ScopedAllocHooks pool;            // entries 0 and 3 recorded while it lives
//   pool.failNth(2);                             // the 2nd allocation from now returns null
//   ...; EXPECT_TRUE(pool.balanced());
//
//   dsp::test::AllocationCounter count; run(); EXPECT_EQ(count.allocations(), 0);
//
//   for (uint32_t v = 0; v <= dsp::test::testMaxVariant(); ++v)
//   { dsp::test::ScopedVariantIndex at(v); ... }  // selector set for the scope, then put back
//   DSP_SKIP_UNSUPPORTED_VARIANTS();              // ends the test skipped if some index was not run
#pragma once

#include <gtest/gtest.h>

#include <bit>
#include <cinttypes>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <initializer_list>
#include <new>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include "dsp/core/alloc.h"
#include "dsp/dispatch/cpu_probe.h"
#include "dsp/dispatch/dispatch.h"

namespace dsp::test
{

// ---- Float bit patterns ------------------------------------------------------------------

inline uint32_t f32Bits(float x)
{
    return std::bit_cast<uint32_t>(x);
}

inline float f32FromBits(uint32_t b)
{
    return std::bit_cast<float>(b);
}

inline std::string describeF32(float x)
{
    char text[64];
    std::snprintf(text, sizeof text, "0x%08" PRIX32 " (%.9g)", f32Bits(x), double(x));
    return text;
}

// Distance in representable floats; NaN against anything but the same bits is "far".
inline int64_t ulpDistance(float a, float b)
{
    auto key = [](float x)
    {
        const int64_t b = f32Bits(x);
        return (b & 0x80000000) ? -(b & 0x7FFFFFFF) : b; // monotonic, +0 and -0 both 0
    };
    if (f32Bits(a) == f32Bits(b))
        return 0;
    if (a != a || b != b)
        return INT64_MAX;
    const int64_t d = key(a) - key(b);
    return d < 0 ? -d : d;
}

inline ::testing::AssertionResult sameF32Bits(const char *expectedExpr, const char *actualExpr,
                                              float expected, float actual)
{
    if (f32Bits(expected) == f32Bits(actual))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << actualExpr << " is " << describeF32(actual) << ", expected "
                                         << expectedExpr << " = " << describeF32(expected);
}

inline ::testing::AssertionResult f32HasBits(const char *bitsExpr, const char *actualExpr, uint32_t bits,
                                             float actual)
{
    return sameF32Bits(bitsExpr, actualExpr, f32FromBits(bits), actual);
}

inline ::testing::AssertionResult sameF32Array(const char *expectedExpr, const char *actualExpr, const char *,
                                               const float *expected, const float *actual, size_t n)
{
    for (size_t i = 0; i < n; ++i)
    {
        float e, a; // by memcpy: either array may sit at any byte address
        std::memcpy(&e, reinterpret_cast<const unsigned char *>(expected) + i * 4, 4);
        std::memcpy(&a, reinterpret_cast<const unsigned char *>(actual) + i * 4, 4);
        if (f32Bits(e) != f32Bits(a))
            return ::testing::AssertionFailure()
                   << actualExpr << "[" << i << "] is " << describeF32(a) << ", expected " << expectedExpr
                   << "[" << i << "] = " << describeF32(e);
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult withinUlps(const char *expectedExpr, const char *actualExpr, const char *,
                                             float expected, float actual, int64_t maxUlps)
{
    const int64_t d = ulpDistance(expected, actual);
    if (d <= maxUlps)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << actualExpr << " is " << describeF32(actual) << ", " << d << " ulp from " << expectedExpr
           << " = " << describeF32(expected) << " (allowed " << maxUlps << ")";
}

// A float vector's bit patterns, compared as words and printed in hex:
//   EXPECT_EQ(wordsOf(v), (Words{0x3F800000, 0xFFC00000}));
struct Words
{
    std::vector<uint32_t> w;
    Words() = default;
    Words(std::initializer_list<uint32_t> list) : w(list) {}
    bool operator==(const Words &) const = default;
    friend void PrintTo(const Words &x, std::ostream *os)
    {
        *os << "{";
        for (size_t i = 0; i < x.w.size(); ++i)
        {
            char text[16];
            std::snprintf(text, sizeof text, "%s0x%08" PRIX32, i ? ", " : "", x.w[i]);
            *os << text;
        }
        *os << "}";
    }
};

inline Words wordsOf(const float *p, size_t n)
{
    Words x;
    for (size_t i = 0; i < n; ++i)
    {
        uint32_t b;
        std::memcpy(&b, reinterpret_cast<const unsigned char *>(p) + i * 4, 4);
        x.w.push_back(b);
    }
    return x;
}

inline Words wordsOf(const std::vector<float> &v)
{
    return wordsOf(v.data(), v.size());
}

// Floats with the given bit patterns.
inline std::vector<float> floatsOf(std::initializer_list<uint32_t> bits)
{
    std::vector<float> v;
    for (uint32_t b : bits)
        v.push_back(f32FromBits(b));
    return v;
}

#define EXPECT_F32_SAME(expected, actual) EXPECT_PRED_FORMAT2(::dsp::test::sameF32Bits, expected, actual)
#define ASSERT_F32_SAME(expected, actual) ASSERT_PRED_FORMAT2(::dsp::test::sameF32Bits, expected, actual)
#define EXPECT_F32_BITS(bits, actual) EXPECT_PRED_FORMAT2(::dsp::test::f32HasBits, bits, actual)
#define ASSERT_F32_BITS(bits, actual) ASSERT_PRED_FORMAT2(::dsp::test::f32HasBits, bits, actual)
#define EXPECT_F32_ARRAY_SAME(expected, actual, n)                                                           \
    EXPECT_PRED_FORMAT3(::dsp::test::sameF32Array, expected, actual, n)
#define ASSERT_F32_ARRAY_SAME(expected, actual, n)                                                           \
    ASSERT_PRED_FORMAT3(::dsp::test::sameF32Array, expected, actual, n)
#define EXPECT_F32_ULPS(expected, actual, maxUlps)                                                           \
    EXPECT_PRED_FORMAT3(::dsp::test::withinUlps, expected, actual, maxUlps)

// Random floats for sweeps: random bit patterns (every exponent, both signs) with the special
// values mixed in at about one in eight: +-0, subnormals, +-inf, quiet and signalling NaNs.
class F32Source
{
public:
    explicit F32Source(uint32_t seed = 12345) : m_rng(seed) {}

    float next()
    {
        const uint32_t r = m_rng();
        const uint32_t sign = r & 0x80000000u;
        switch (m_rng() % 64)
        {
        case 0:
            return f32FromBits(sign); // +-0
        case 1:
        case 2:
            return f32FromBits(sign | (1 + r % 0x007FFFFFu)); // subnormal
        case 3:
            return f32FromBits(sign | 0x7F800000u); // +-inf
        case 4:
            return f32FromBits(sign | 0x7FC00000u | (r & 0x003FFFFFu)); // quiet NaN
        case 5:
            return f32FromBits(sign | 0x7F800000u | (1 + r % 0x003FFFFFu)); // signalling
        case 6:
            return f32FromBits(sign | 0x00800000u | (r & 0x007FFFFFu)); // smallest normals
        case 7:
            return float(int32_t(r % 2001) - 1000); // small integers
        default:
            return f32FromBits(r);
        }
    }

    // Uniform in [lo, hi).
    float uniform(float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(m_rng); }

    std::vector<float> vector(size_t n)
    {
        std::vector<float> v(n);
        for (float &x : v)
            x = next();
        return v;
    }

    std::mt19937 &engine() { return m_rng; }

private:
    std::mt19937 m_rng;
};

// ---- Guarded buffers ---------------------------------------------------------------------

// bytes of data at a chosen offset from a 64-byte boundary, with canary bytes before and after
// (and in the data until written). guardsIntact() tells whether anything outside the data
// changed; snapshot()/unchangedSince() compare everything, data included.
class GuardedBuffer
{
public:
    static constexpr size_t kGuard = 64;

    explicit GuardedBuffer(size_t bytes, size_t offset = 0, unsigned char canary = 0xA5)
        : m_bytes(bytes), m_canary(canary), m_storage(kGuard * 2 + 64 + offset + bytes + kGuard, canary)
    {
        const uintptr_t base = reinterpret_cast<uintptr_t>(m_storage.data()) + kGuard;
        m_start =
            size_t(((base + 63) & ~uintptr_t(63)) - reinterpret_cast<uintptr_t>(m_storage.data())) + offset;
    }

    unsigned char *data() { return m_storage.data() + m_start; }
    template <class T> T *as() { return reinterpret_cast<T *>(data()); }
    size_t size() const { return m_bytes; }

    bool guardsIntact() const
    {
        for (size_t i = 0; i < m_storage.size(); ++i)
            if ((i < m_start || i >= m_start + m_bytes) && m_storage[i] != m_canary)
                return false;
        return true;
    }

    std::vector<unsigned char> snapshot() const { return m_storage; }
    bool unchangedSince(const std::vector<unsigned char> &before) const { return before == m_storage; }

private:
    size_t m_bytes;
    unsigned char m_canary;
    std::vector<unsigned char> m_storage;
    size_t m_start = 0;
};

// ---- Allocation hooks --------------------------------------------------------------------

// Replaces DspAllocHooks entries 0 and 3 while it lives and records every call. Blocks come from
// the hooks that were installed before (normally the kernel pool), or, after placeBlocksAt(r),
// from the recorder's own memory at an address that is r modulo 32. One recorder is active at a
// time; a nested one forwards to the outer one.
class ScopedAllocHooks
{
public:
    ScopedAllocHooks()
    {
        std::lock_guard<std::mutex> lock(mutex());
        m_outer = active();
        m_saved = DspAllocHooks;
        active() = this;
        DspAllocHooks.allocate = &ScopedAllocHooks::allocateHook;
        DspAllocHooks.release = &ScopedAllocHooks::releaseHook;
    }

    ~ScopedAllocHooks()
    {
        std::lock_guard<std::mutex> lock(mutex());
        DspAllocHooks = m_saved;
        active() = m_outer;
        for (auto &[block, raw] : m_own) // a leak is reported by balanced(); free it anyway
            ::operator delete(raw);
    }

private:
    template <class F> auto locked(F f) const
    {
        std::lock_guard<std::mutex> lock(mutex());
        return f();
    }

public:
    ScopedAllocHooks(const ScopedAllocHooks &) = delete;
    ScopedAllocHooks &operator=(const ScopedAllocHooks &) = delete;

    // The n-th allocation call from now (1-based) returns null without reaching the pool;
    // 0 turns injection off. failFrom(n) fails the n-th and every later call.
    void failNth(int n) { set(m_failAt, n, false); }
    void failFrom(int n) { set(m_failAt, n, true); }

    // Later blocks come from the recorder's memory at residue (0..31) modulo 32.
    void placeBlocksAt(int residue)
    {
        std::lock_guard<std::mutex> lock(mutex());
        m_residue = residue & 31;
    }

    int allocations() const
    {
        return locked([&] { return int(m_sizes.size()); });
    }
    int failures() const
    {
        return locked([&] { return m_failures; });
    }
    int releases() const
    {
        return locked([&] { return int(m_released.size()); });
    }
    // Requested sizes and the blocks handed out (null for a failed call), in call order.
    std::vector<size_t> sizes() const
    {
        return locked([&] { return m_sizes; });
    }
    std::vector<void *> blocks() const
    {
        return locked([&] { return m_blocks; });
    }
    std::vector<void *> released() const
    {
        return locked([&] { return m_released; });
    }
    // Blocks handed out and not yet released.
    int64_t outstanding() const
    {
        return locked([&] { return int64_t(m_live.size()); });
    }
    // Releases of blocks this recorder never handed out (passed on to the outer hooks).
    int unknownReleases() const
    {
        return locked([&] { return m_unknown; });
    }
    bool balanced() const { return outstanding() == 0 && unknownReleases() == 0; }

private:
    void set(int &field, int n, bool sticky)
    {
        std::lock_guard<std::mutex> lock(mutex());
        field = n == 0 ? 0 : int(m_sizes.size()) + n;
        m_sticky = sticky;
    }

    static std::mutex &mutex()
    {
        static std::mutex m;
        return m;
    }

    static ScopedAllocHooks *&active()
    {
        static ScopedAllocHooks *a = nullptr;
        return a;
    }

    static void *allocateHook(size_t bytes) { return active()->allocate(bytes); }
    static void releaseHook(void *block) { active()->release(block); }

    void *allocate(size_t bytes)
    {
        std::unique_lock<std::mutex> lock(mutex());
        m_sizes.push_back(bytes);
        const int call = int(m_sizes.size());
        const bool fail = m_failAt != 0 && (call == m_failAt || (m_sticky && call > m_failAt));
        void *block = nullptr;
        if (fail)
        {
            ++m_failures;
        }
        else if (m_residue >= 0)
        {
            void *raw = ::operator new(bytes + 64);
            const uintptr_t base = (reinterpret_cast<uintptr_t>(raw) + 31) & ~uintptr_t(31);
            block = reinterpret_cast<void *>(base + uintptr_t(m_residue));
            m_own[block] = raw;
        }
        else
        {
            lock.unlock(); // the outer recorder takes the lock itself
            block = m_outer ? m_outer->allocate(bytes) : m_saved.allocate(bytes);
            lock.lock();
        }
        m_blocks.push_back(block);
        if (block)
            m_live[block] = bytes;
        return block;
    }

    void release(void *block)
    {
        std::unique_lock<std::mutex> lock(mutex());
        m_released.push_back(block);
        if (m_live.erase(block) == 0)
            ++m_unknown;
        if (auto own = m_own.find(block); own != m_own.end())
        {
            ::operator delete(own->second);
            m_own.erase(own);
            return;
        }
        lock.unlock();
        if (m_outer)
            m_outer->release(block);
        else
            m_saved.release(block);
    }

    ScopedAllocHooks *m_outer = nullptr;
    DspAllocHookTable m_saved{};
    int m_failAt = 0;
    bool m_sticky = false;
    int m_failures = 0;
    int m_unknown = 0;
    int m_residue = -1;
    std::vector<size_t> m_sizes;
    std::vector<void *> m_blocks;
    std::vector<void *> m_released;
    std::map<void *, size_t> m_live;
    std::map<void *, void *> m_own;
};

// Counts the library's allocations and releases while it lives (blocks still come from the
// pool). A run path proves it allocates nothing by leaving allocations() at 0.
class AllocationCounter
{
public:
    int allocations() const { return m_hooks.allocations(); }
    int releases() const { return m_hooks.releases(); }

private:
    ScopedAllocHooks m_hooks;
};

// ---- Variant selection -------------------------------------------------------------------

// Sets CpuVariantIndex for a scope and puts back what was there.
class ScopedVariantIndex
{
public:
    explicit ScopedVariantIndex(uint32_t index) : m_saved(CpuVariantIndex.exchange(index)) {}
    ~ScopedVariantIndex() { CpuVariantIndex.store(m_saved); }
    ScopedVariantIndex(const ScopedVariantIndex &) = delete;
    ScopedVariantIndex &operator=(const ScopedVariantIndex &) = delete;

private:
    uint32_t m_saved;
};

// The highest variant index this processor runs, lowered by the environment's
// DSP_TEST_MAX_VARIANT (CI reruns the suite with 2 to prove the lower levels alone).
inline uint32_t testMaxVariant()
{
    uint32_t max = maxSupportedVariant(readCpuid());
    if (const char *env = std::getenv("DSP_TEST_MAX_VARIANT"); env && *env)
    {
        const long cap = std::strtol(env, nullptr, 10);
        if (cap >= 0 && uint32_t(cap) < max)
            max = uint32_t(cap);
    }
    return max;
}

#if defined(__x86_64__) || defined(__i386__)
// The audio path's floating-point mode for a scope: flush-to-zero and denormals-are-zero.
class ScopedFlushDenormals
{
public:
    ScopedFlushDenormals() : m_saved(_mm_getcsr()) { _mm_setcsr(m_saved | 0x8040u); }
    ~ScopedFlushDenormals() { _mm_setcsr(m_saved); }
    ScopedFlushDenormals(const ScopedFlushDenormals &) = delete;
    ScopedFlushDenormals &operator=(const ScopedFlushDenormals &) = delete;

private:
    unsigned m_saved;
};
#endif

// The instruction set variant index needs, for skip messages.
inline const char *variantFeature(uint32_t index)
{
    static const char *const names[] = {"nothing", "SSE", "SSE2", "SSE3", "SSSE3", "SSE4.1"};
    return index < 6 ? names[index] : "an unknown level";
}

} // namespace dsp::test

// Ends a test that looped over the variant indices skipped when some were above testMaxVariant().
#define DSP_SKIP_UNSUPPORTED_VARIANTS()                                                                      \
    do                                                                                                       \
    {                                                                                                        \
        const uint32_t top_ = ::dsp::test::testMaxVariant();                                                 \
        if (top_ + 1 < ::dsp::dispatch::kVariantCount)                                                       \
            GTEST_SKIP() << "variant " << (top_ + 1) << " and above not run: it needs "                      \
                         << ::dsp::test::variantFeature(top_ + 1);                                           \
    } while (0)
