// Processor probe: picks the dispatcher's variant index from CPUID results.
//
// DriverEntry calls initCpuVariant once, before the first primitive is used; the library never
// calls it. The decisions are pure functions of a CpuidRecord, so any processor can be described
// to them; readCpuid fills a record from the processor this runs on.
#pragma once

#include <cstdint>

#include "dsp/core/status.h"

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

// The processor class number (0 without CPUID; see cpu_probe.cpp for the family/model table and
// the feature ladder).
int32_t probeCpuClass(const CpuidRecord &cpu);

// The variant index (0..5) for a class number; every unlisted class maps to 0.
uint32_t variantIndexForClass(int32_t cpuClass);

// The highest variant index whose instruction set and every set below it the processor reports in
// leaf 1 (EDX bit 25 SSE, 26 SSE2; ECX bit 0 SSE3, 9 SSSE3, 19 SSE4.1); 0 without CPUID.
uint32_t maxSupportedVariant(const CpuidRecord &cpu);

// Stores the index of probeCpuClass(cpu) in CpuVariantIndex, lowered to maxSupportedVariant(cpu):
// a class known by its family and model alone may come from a processor or hypervisor that masks
// the feature, and running an instruction it lacks would stop the machine. Returns kOk when CPUID
// exists and the vendor is the reference vendor, otherwise kWarnCpuUnknown (the index is stored
// either way).
Status initCpuVariant(const CpuidRecord &cpu);
// The same on the processor this runs on.
Status initCpuVariant();

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
