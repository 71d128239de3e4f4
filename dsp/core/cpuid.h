// The processor's identification results (CPUID), read once into a plain record so that every
// decision made from them is a pure function any test can feed: the dispatcher's variant choice
// (dsp/dispatch/cpu_probe.h) and the large fills' cache size.
#pragma once

#include <cstdint>

namespace dsp
{

struct CpuidRegs
{
    uint32_t eax = 0, ebx = 0, ecx = 0, edx = 0;
};

// The CPUID results the probe reads.
struct CpuidRecord
{
    bool supported = false; // the CPUID instruction exists (EFLAGS bit 21 can be flipped)
    CpuidRegs leaf0;        // highest standard leaf; vendor string in EBX, EDX, ECX
    CpuidRegs leaf1;        // family/model/stepping, feature flags
    CpuidRegs leaf2;        // cache and TLB descriptors
    CpuidRegs leaf4;        // deterministic cache parameters, sub-leaf 0
    CpuidRegs ext0;         // 0x80000000: highest extended leaf
    CpuidRegs ext1;         // 0x80000001: extended features (long mode)
};

// The reference vendor string, as leaf 0 returns it in EBX, EDX, ECX.
inline constexpr uint32_t kReferenceVendor[3] = {0x756E6547, 0x49656E69, 0x6C65746E};

// CPUID exists and leaf 0 names the reference vendor.
bool isReferenceVendor(const CpuidRecord &cpu);

// The highest variant index whose instruction set and every set below it the processor reports in
// leaf 1 (EDX bit 25 SSE, 26 SSE2; ECX bit 0 SSE3, 9 SSSE3, 19 SSE4.1); 0 without CPUID.
uint32_t maxSupportedVariant(const CpuidRecord &cpu);

// One entry of a cache descriptor table; a table ends with descriptor 0.
struct CacheDescriptor
{
    uint8_t descriptor;
    int32_t size;
};

// The size of the first table entry whose descriptor appears among leaf 2's descriptor bytes, or
// -1: when CPUID is missing, when EAX's low byte is not 1, when every register is empty (bit 31
// set), or when nothing matches.
int32_t cacheSizeFromDescriptors(const CacheDescriptor *table, const CpuidRecord &cpu);

// The current processor's CPUID results (supported = false off x86).
CpuidRecord readCpuid();

} // namespace dsp
