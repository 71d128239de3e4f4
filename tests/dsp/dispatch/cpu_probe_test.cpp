// The processor probe on injected CPUID results, and the cache-descriptor lookup.
#include <gtest/gtest.h>

#include <set>

#include "dsp/dispatch/cpu_probe.h"
#include "dsp/dispatch/dispatch.h"

namespace
{

using dsp::CpuidRecord;

// CPUID bit positions, as the processor reports them.
constexpr uint32_t kEcxSse3 = 1u << 0, kEcxSsse3 = 1u << 9, kEcxSse41 = 1u << 19, kEcxSse42 = 1u << 20;
constexpr uint32_t kEdxSse = 1u << 25, kEdxSse2 = 1u << 26, kEdxHtt = 1u << 28, kEdxIa64 = 1u << 30;

// A processor of the given vendor (the reference one unless told) and family/model signature.
CpuidRecord cpu(uint32_t family, uint32_t model, uint32_t ecx = 0, uint32_t edx = 0, uint32_t extModel = 0,
                uint32_t extFamily = 0, bool reference = true)
{
    CpuidRecord r;
    r.supported = true;
    r.leaf0.eax = 1;
    if (reference)
    {
        r.leaf0.ebx = 0x756E6547;
        r.leaf0.edx = 0x49656E69;
        r.leaf0.ecx = 0x6C65746E;
    }
    else
    {
        r.leaf0.ebx = 0x68747541; // some other vendor's string
        r.leaf0.edx = 0x69746E65;
        r.leaf0.ecx = 0x444D4163;
    }
    r.leaf1.eax = (extFamily << 20) | (extModel << 16) | (family << 8) | (model << 4) | 0x3;
    r.leaf1.ecx = ecx;
    r.leaf1.edx = edx;
    return r;
}

CpuidRecord withCores(CpuidRecord r, uint32_t cores)
{
    r.leaf0.eax = 4;
    r.leaf4.eax = (cores - 1) << 26;
    return r;
}

CpuidRecord withLongMode(CpuidRecord r)
{
    r.ext0.eax = 0x80000008;
    r.ext1.edx = 1u << 29;
    return r;
}

// Runs initCpuVariant and returns (status, stored index); the selector goes back to 0.
std::pair<dsp::Status, uint32_t> init(const CpuidRecord &r)
{
    const dsp::Status s = dsp::initCpuVariant(r);
    const uint32_t index = dsp::CpuVariantIndex.exchange(0);
    return {s, index};
}

TEST(CpuProbe, SelectorAndStatusForTheDoneWhenProcessors)
{
    CpuidRecord none; // no CPUID instruction
    EXPECT_EQ(dsp::probeCpuClass(none), 0);
    EXPECT_EQ(init(none), std::make_pair(dsp::kWarnCpuUnknown, 0u));

    const CpuidRecord other = cpu(6, 15, kEcxSse41 | kEcxSsse3 | kEcxSse3, kEdxSse | kEdxSse2, 0, 0, false);
    EXPECT_EQ(dsp::probeCpuClass(other), 68);
    EXPECT_EQ(init(other), std::make_pair(dsp::kWarnCpuUnknown, 5u));

    const CpuidRecord four = withCores(cpu(6, 15, kEcxSsse3 | kEcxSse3, kEdxSse | kEdxSse2), 4);
    EXPECT_EQ(dsp::probeCpuClass(four), 34);
    EXPECT_EQ(init(four), std::make_pair(dsp::kOk, 4u));
    const CpuidRecord two = withCores(cpu(6, 15, kEcxSsse3 | kEcxSse3, kEdxSse | kEdxSse2), 2);
    EXPECT_EQ(dsp::probeCpuClass(two), 33);
    EXPECT_EQ(init(two), std::make_pair(dsp::kOk, 4u));

    // Extended model 1, model 7: model 23.
    EXPECT_EQ(dsp::probeCpuClass(cpu(6, 7, kEcxSse41, kEdxSse, 1)), 68);
    // Family 15 with SSE3 and long mode.
    const CpuidRecord f15 = withLongMode(cpu(15, 4, kEcxSse3, kEdxSse | kEdxSse2));
    EXPECT_EQ(dsp::probeCpuClass(f15), 32);
    EXPECT_EQ(init(f15), std::make_pair(dsp::kOk, 3u));
    // Long mode and no SSE at all: the ladder's last rung, which runs generic code.
    const CpuidRecord bare = withLongMode(cpu(16, 1, 0, 0, 0, 0, false));
    EXPECT_EQ(dsp::probeCpuClass(bare), 96);
    EXPECT_EQ(init(bare), std::make_pair(dsp::kWarnCpuUnknown, 0u));
}

TEST(CpuProbe, FamilyModelTableAndFeatureLadder)
{
    const uint32_t sse = kEdxSse | kEdxSse2;
    CpuidRecord ht = cpu(15, 2, 0, sse | kEdxHtt);
    ht.leaf1.ebx = 2u << 16; // two logical processors
    CpuidRecord noLeaf4 = withCores(cpu(6, 15, kEcxSsse3, sse), 4);
    noLeaf4.leaf0.eax = 3; // cores are only counted when leaf 4 exists
    CpuidRecord lm = withLongMode(cpu(15, 4, kEcxSse3, sse));
    lm.ext0.eax = 0x80000000; // long mode needs one of bits 0-30 of the highest extended leaf
    const std::pair<CpuidRecord, int32_t> cases[] = {
        {cpu(5, 2), 1},
        {cpu(5, 4), 2},
        {cpu(5, 8, 0, kEdxSse), 64}, // unknown model: ladder
        {cpu(6, 1), 3},
        {cpu(6, 6), 4},
        {cpu(6, 11, 0, sse), 5},
        {cpu(6, 13, 0, sse), 9},
        {withCores(cpu(6, 14, kEcxSse3, sse), 1), 10},
        {withCores(cpu(6, 14, kEcxSse3, sse), 2), 11},
        {cpu(6, 15, kEcxSse3, sse), 66},                 // model 15 without SSSE3
        {cpu(6, 7, kEcxSsse3, sse, 1), 67},              // model 23 without SSE4.1
        {cpu(6, 10, kEcxSse42 | kEcxSse41, sse, 1), 35}, // model 26
        {cpu(6, 12, kEcxSsse3, sse, 1), 36},             // model 28
        {noLeaf4, 33},
        {cpu(15, 2, 0, sse | kEdxHtt), 6},
        {ht, 7},
        {cpu(15, 3, kEcxSse3, sse), 8},
        {lm, 8},
        {cpu(15, 1, kEcxSse3, sse, 0, 1), 66}, // extended family: another family
        {cpu(7, 0, 0, kEdxIa64), 16},
        {cpu(6, 15, kEcxSsse3, kEdxIa64), 17},
        // Other vendors: the ladder only, whatever the family, model or IA-64 bit.
        {cpu(6, 15, kEcxSse42 | kEcxSse41, kEdxSse, 0, 0, false), 69},
        {cpu(6, 15, kEcxSsse3 | kEcxSse3, kEdxSse, 0, 0, false), 67},
        {cpu(6, 15, kEcxSse3, kEdxSse2, 0, 0, false), 66},
        {cpu(6, 1, 0, sse, 0, 0, false), 65},
        {cpu(6, 1, 0, kEdxSse, 0, 0, false), 64},
        {cpu(7, 0, 0, kEdxIa64, 0, 0, false), 0},
    };
    for (const auto &[record, expected] : cases)
        EXPECT_EQ(dsp::probeCpuClass(record), expected)
            << "family/model word 0x" << std::hex << record.leaf1.eax;
}

// A class known from the signature alone never selects instructions the processor does not report
// (a hypervisor may mask them): the stored index is capped by the feature bits, the class and the
// status stay.
TEST(CpuProbe, StoredIndexNeverExceedsTheReportedFeatures)
{
    const CpuidRecord model14 = withCores(cpu(6, 14, 0, kEdxSse | kEdxSse2), 2);
    EXPECT_EQ(dsp::probeCpuClass(model14), 11);
    EXPECT_EQ(init(model14), std::make_pair(dsp::kOk, 2u));

    const CpuidRecord family15 = cpu(15, 2, 0, kEdxSse);
    EXPECT_EQ(dsp::probeCpuClass(family15), 6);
    EXPECT_EQ(init(family15), std::make_pair(dsp::kOk, 1u));
    EXPECT_EQ(init(cpu(15, 2)), std::make_pair(dsp::kOk, 0u));

    const CpuidRecord ia64 = cpu(6, 15, kEcxSsse3, kEdxIa64);
    EXPECT_EQ(dsp::probeCpuClass(ia64), 17);
    EXPECT_EQ(init(ia64), std::make_pair(dsp::kOk, 0u));

    // The ladder stops at the first missing level: SSE4.1 without SSE3 is worth SSE2 only.
    EXPECT_EQ(dsp::maxSupportedVariant(cpu(6, 7, kEcxSse41 | kEcxSsse3, kEdxSse | kEdxSse2, 1)), 2u);
    EXPECT_EQ(dsp::maxSupportedVariant(cpu(6, 7, kEcxSse41 | kEcxSsse3 | kEcxSse3, kEdxSse2, 1)), 0u);
    EXPECT_EQ(dsp::maxSupportedVariant(CpuidRecord{}), 0u);
}

TEST(CpuProbe, EveryClassLandsOnItsIndex)
{
    const std::set<int32_t> byIndex[6] = {
        {}, {5, 16, 17, 64}, {6, 7, 9, 65}, {8, 10, 11, 32, 66}, {33, 34, 36, 67}, {35, 37, 68, 69}};
    for (int32_t cls = -1; cls <= 200; ++cls)
    {
        uint32_t expected = 0;
        for (uint32_t i = 1; i < 6; ++i)
            if (byIndex[i].count(cls))
                expected = i;
        EXPECT_EQ(dsp::variantIndexForClass(cls), expected) << "class " << cls;
    }
}

TEST(CpuProbe, CacheSizeFromDescriptors)
{
    const dsp::CacheDescriptor table[] = {{0x2C, 32}, {0x49, 4096}, {0x7D, 2048}, {0, 0}};
    CpuidRecord r = cpu(6, 15);
    r.leaf2 = {0x00497D01, 0, 0, 0}; // descriptors 0x7D then 0x49 in EAX
    // The first table entry that matches wins, whatever the register order.
    EXPECT_EQ(dsp::cacheSizeFromDescriptors(table, r), 4096);

    r.leaf2.eax = 0x00497D02; // more than one iteration
    EXPECT_EQ(dsp::cacheSizeFromDescriptors(table, r), -1);

    r.leaf2 = {0x80497D01, 0, 0x0000002C, 0}; // EAX is empty: only ECX's 0x2C counts
    EXPECT_EQ(dsp::cacheSizeFromDescriptors(table, r), 32);
    r.leaf2 = {0x00000001, 0, 0x8000002C, 0x7D000000}; // ECX empty, EDX holds 0x7D
    EXPECT_EQ(dsp::cacheSizeFromDescriptors(table, r), 2048);
    r.leaf2 = {0x80000001, 0x80000049, 0x8000002C, 0x8000007D}; // every register empty
    EXPECT_EQ(dsp::cacheSizeFromDescriptors(table, r), -1);
    r.leaf2 = {0x00000001, 0x00504030, 0, 0}; // descriptors, none in the table
    EXPECT_EQ(dsp::cacheSizeFromDescriptors(table, r), -1);
    // EAX's low byte is the iteration count, never a descriptor.
    const dsp::CacheDescriptor ones[] = {{0x01, 7}, {0, 0}};
    r.leaf2 = {0x00000001, 0, 0, 0};
    EXPECT_EQ(dsp::cacheSizeFromDescriptors(ones, r), -1);
    EXPECT_EQ(dsp::cacheSizeFromDescriptors(table, CpuidRecord{}), -1);
}

TEST(CpuProbe, ReaderOfThisProcessor)
{
    const CpuidRecord here = dsp::readCpuid();
#if defined(__x86_64__)
    EXPECT_TRUE(here.supported);
    EXPECT_NE(here.leaf1.edx & kEdxSse2, 0u) << "every 64-bit processor has SSE2";
    EXPECT_GE(dsp::variantIndexForClass(dsp::probeCpuClass(here)), 2u);
#endif
    EXPECT_EQ(dsp::CpuVariantIndex.load(), 0u) << "reading the processor selects nothing";
    // On this machine the probe selects the best level the processor reports.
    EXPECT_EQ(init(here).second, dsp::maxSupportedVariant(here));
}

} // namespace
