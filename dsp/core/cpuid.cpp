#include "dsp/core/cpuid.h"

#if defined(__i386__) || defined(__x86_64__)
#include <cpuid.h>
#define DSP_HAVE_CPUID 1
#endif

namespace dsp
{

namespace
{

bool bit(uint32_t word, int n)
{
    return (word >> n) & 1u;
}

} // namespace

bool isReferenceVendor(const CpuidRecord &cpu)
{
    return cpu.supported && cpu.leaf0.ebx == kReferenceVendor[0] && cpu.leaf0.edx == kReferenceVendor[1] &&
           cpu.leaf0.ecx == kReferenceVendor[2];
}

uint32_t maxSupportedVariant(const CpuidRecord &cpu)
{
    if (!cpu.supported)
        return 0;
    const CpuidRegs &l1 = cpu.leaf1;
    const bool ladder[] = {bit(l1.edx, 25), bit(l1.edx, 26), bit(l1.ecx, 0), bit(l1.ecx, 9), bit(l1.ecx, 19)};
    uint32_t index = 0;
    while (index < 5 && ladder[index])
        ++index;
    return index;
}

int32_t cacheSizeFromDescriptors(const CacheDescriptor *table, const CpuidRecord &cpu)
{
    if (!cpu.supported || !table || (cpu.leaf2.eax & 0xFF) != 1)
        return -1;
    uint8_t bytes[16];
    int n = 0;
    const uint32_t regs[4] = {cpu.leaf2.eax, cpu.leaf2.ebx, cpu.leaf2.ecx, cpu.leaf2.edx};
    for (int r = 0; r < 4; ++r)
    {
        if (bit(regs[r], 31))
            continue;                            // the register holds no descriptors
        for (int b = r == 0 ? 1 : 0; b < 4; ++b) // EAX's low byte is the iteration count
            bytes[n++] = uint8_t(regs[r] >> (8 * b));
    }
    if (n == 0)
        return -1;
    for (const CacheDescriptor *e = table; e->descriptor != 0; ++e)
        for (int i = 0; i < n; ++i)
            if (bytes[i] == e->descriptor)
                return e->size;
    return -1;
}

CpuidRecord readCpuid()
{
    CpuidRecord cpu;
#ifdef DSP_HAVE_CPUID
    unsigned a, b, c, d;
    if (!__get_cpuid(0, &a, &b, &c, &d))
        return cpu;
    cpu.supported = true;
    cpu.leaf0 = {a, b, c, d};
    const unsigned maxLeaf = a;
    auto leaf = [&](unsigned n, unsigned sub, CpuidRegs &out)
    {
        __cpuid_count(n, sub, a, b, c, d);
        out = {a, b, c, d};
    };
    if (maxLeaf >= 1)
        leaf(1, 0, cpu.leaf1);
    if (maxLeaf >= 2)
        leaf(2, 0, cpu.leaf2);
    if (maxLeaf >= 4)
        leaf(4, 0, cpu.leaf4);
    leaf(0x80000000u, 0, cpu.ext0);
    if (cpu.ext0.eax >= 0x80000001u)
        leaf(0x80000001u, 0, cpu.ext1);
#endif
    return cpu;
}

} // namespace dsp
