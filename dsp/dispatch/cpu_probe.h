// Processor probe: picks the dispatcher's variant index from CPUID results.
//
// DriverEntry calls initCpuVariant once, before the first primitive is used; the library never
// calls it. The decisions are pure functions of a CpuidRecord, so any processor can be described
// to them; readCpuid fills a record from the processor this runs on.
#pragma once

#include <cstdint>

#include "dsp/core/cpuid.h"
#include "dsp/core/status.h"

namespace dsp
{

// The processor class number (0 without CPUID; see cpu_probe.cpp for the family/model table and
// the feature ladder).
int32_t probeCpuClass(const CpuidRecord &cpu);

// The variant index (0..5) for a class number; every unlisted class maps to 0.
uint32_t variantIndexForClass(int32_t cpuClass);

// Stores the index of probeCpuClass(cpu) in CpuVariantIndex, lowered to maxSupportedVariant(cpu):
// a class known by its family and model alone may come from a processor or hypervisor that masks
// the feature, and running an instruction it lacks would stop the machine. Returns kOk when CPUID
// exists and the vendor is the reference vendor, otherwise kWarnCpuUnknown (the index is stored
// either way).
Status initCpuVariant(const CpuidRecord &cpu);
// The same on the processor this runs on.
Status initCpuVariant();

} // namespace dsp
