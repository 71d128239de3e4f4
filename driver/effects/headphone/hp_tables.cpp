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

bool HpFindSet(int32_t sizeCode, int32_t angleCode, HpTableSet *set)
{
    static constexpr int32_t kHeadSet = 10 * 1024;
    // Tail lengths of the primary and variant tables (both ears); the third is 6144.
    static constexpr int32_t kTails[3][2] = {{3072, 3072}, {3072, 5120}, {7168, 7168}};
    int32_t words = 0;
    const uint32_t *family = HpFamilyWords(sizeCode, &words);
    if (!family || !set)
        return false;
    const int32_t primary = kTails[sizeCode - 1][0], variant = kTails[sizeCode - 1][1];
    int32_t tailStart, tailLen, headStart;
    if (angleCode == 31)
    {
        tailStart = 2 * 4 * kHeadSet + primary + variant + kHeadSet;
        tailLen = 6144;
        headStart = tailStart - kHeadSet;
    }
    else
    {
        const bool isVariant = angleCode % 5 == 0;
        const int32_t index = (angleCode - (isVariant ? 25 : 24)) / 5;
        if (angleCode < 24 || angleCode > 40 || (angleCode - (isVariant ? 25 : 24)) % 5 != 0)
            return false;
        tailStart = isVariant ? 4 * kHeadSet + primary + 4 * kHeadSet : 4 * kHeadSet;
        tailLen = isVariant ? variant : primary;
        headStart = tailStart - 4 * kHeadSet + index * kHeadSet;
    }
    if (tailStart + tailLen > words)
        return false;
    set->head = family + headStart;
    set->tail = family + tailStart;
    set->tailLen = tailLen;
    return true;
}
