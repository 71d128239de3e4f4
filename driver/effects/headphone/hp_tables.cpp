#include "driver/effects/headphone/hp_tables.h"

namespace
{
#include "driver/effects/headphone/hp_tables.inc"
} // namespace

const uint32_t *HpFamilyWords(int32_t sizeCode, int32_t *words)
{
    const uint32_t *table = nullptr;
    int32_t n = 0;
    switch (sizeCode)
    {
    case 1:
        table = kHpFamily1;
        n = int32_t(sizeof kHpFamily1 / sizeof kHpFamily1[0]);
        break;
    case 2:
        table = kHpFamily2;
        n = int32_t(sizeof kHpFamily2 / sizeof kHpFamily2[0]);
        break;
    case 3:
        table = kHpFamily3;
        n = int32_t(sizeof kHpFamily3 / sizeof kHpFamily3[0]);
        break;
    default:
        break;
    }
    if (words)
        *words = n;
    return table;
}

const uint32_t *HpTailGainWords(int32_t table)
{
    return table >= 0 && table < 5 ? kHpTailGains + 512 * table : nullptr;
}

const uint32_t *HpLinearPhaseWords(int32_t factor)
{
    return factor == 2 ? kHpLinearPhaseRows : factor == 4 ? kHpLinearPhaseRows + 16 : nullptr;
}
