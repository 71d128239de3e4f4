#include "dsp/dispatch/cpu_probe.h"

#include "dsp/dispatch/dispatch.h"

namespace dsp
{

namespace
{

bool bit(uint32_t word, int n)
{
    return (word >> n) & 1u;
}

struct Features
{
    bool sse, sse2, sse3, ssse3, sse41, sse42, ia64, hyperThreading, longMode;
};

// Without a family/model match the class is that of the best feature the processor has.
int32_t featureLadder(const Features &f)
{
    if (f.sse42)
        return 69;
    if (f.sse41)
        return 68;
    if (f.ssse3)
        return 67;
    if (f.sse3)
        return 66;
    if (f.sse2)
        return 65;
    if (f.sse)
        return 64;
    if (f.longMode)
        return 96;
    return 0;
}

// Known family-6 models of the reference vendor; -1 sends the processor down the ladder.
int32_t family6Class(uint32_t model, uint32_t cores, const Features &f)
{
    switch (model)
    {
    case 1:
        return 3;
    case 3:
    case 5:
    case 6:
        return 4;
    case 7:
    case 8:
    case 10:
    case 11:
        return 5;
    case 9:
    case 13:
        return 9;
    case 14:
        return cores > 1 ? 11 : 10;
    case 15:
        return f.ssse3 ? (cores > 2 ? 34 : 33) : -1;
    case 23:
        return f.sse41 ? 68 : -1;
    case 26:
        return f.sse42 ? 35 : -1;
    case 28:
        return f.ssse3 ? 36 : -1;
    default:
        return -1;
    }
}

} // namespace

int32_t probeCpuClass(const CpuidRecord &cpu)
{
    if (!cpu.supported)
        return 0;
    const CpuidRegs &l1 = cpu.leaf1;
    uint32_t model = (l1.eax >> 4) & 0xF;
    uint32_t family = (l1.eax >> 8) & 0xF;
    const uint32_t extModel = (l1.eax >> 16) & 0xF;
    const uint32_t extFamily = (l1.eax >> 20) & 0xFF;

    Features f{};
    f.sse3 = bit(l1.ecx, 0);
    f.ssse3 = bit(l1.ecx, 9);
    f.sse41 = bit(l1.ecx, 19);
    f.sse42 = bit(l1.ecx, 20);
    f.sse = bit(l1.edx, 25);
    f.sse2 = bit(l1.edx, 26);
    f.ia64 = bit(l1.edx, 30);
    f.hyperThreading = bit(l1.edx, 28) && ((l1.ebx >> 17) & 0x7F) != 0;
    f.longMode = (cpu.ext0.eax & 0x7FFFFFFF) != 0 && bit(cpu.ext1.edx, 29);

    const uint32_t cores = cpu.leaf0.eax >= 4 ? (cpu.leaf4.eax >> 26) + 1 : 1;

    if (family == 6 || family == 15)
        model += extModel * 16;
    if (family == 15)
        family += extFamily;

    if (isReferenceVendor(cpu))
    {
        if (f.ia64)
            return family == 7 ? 16 : 17;
        int32_t cls = -1;
        if (family == 5)
        {
            if (model == 1 || model == 2)
                cls = 1;
            else if (model == 4)
                cls = 2;
        }
        else if (family == 6)
        {
            cls = family6Class(model, cores, f);
        }
        else if (family == 15)
        {
            cls = f.sse3 ? (f.longMode ? 32 : 8) : (f.hyperThreading ? 7 : 6);
        }
        if (cls >= 0)
            return cls;
    }
    return featureLadder(f);
}

uint32_t variantIndexForClass(int32_t cpuClass)
{
    switch (cpuClass)
    {
    case 5:
    case 16:
    case 17:
    case 64:
        return 1;
    case 6:
    case 7:
    case 9:
    case 65:
        return 2;
    case 8:
    case 10:
    case 11:
    case 32:
    case 66:
        return 3;
    case 33:
    case 34:
    case 36:
    case 67:
        return 4;
    case 35:
    case 37:
    case 68:
    case 69:
        return 5;
    default:
        return 0;
    }
}

Status initCpuVariant(const CpuidRecord &cpu)
{
    const uint32_t byClass = variantIndexForClass(probeCpuClass(cpu));
    const uint32_t supported = maxSupportedVariant(cpu);
    CpuVariantIndex.store(byClass < supported ? byClass : supported, std::memory_order_relaxed);
    return isReferenceVendor(cpu) ? kOk : kWarnCpuUnknown;
}

Status initCpuVariant()
{
    return initCpuVariant(readCpuid());
}

} // namespace dsp
