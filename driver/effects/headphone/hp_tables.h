// The headphone surround's generated tables (tools/gen_hp_tables.py documents their models and
// layout), as float bit patterns.
#pragma once

#include <cstdint>

// Family of size code 1, 2 or 3: [4 head sets][primary tail][4 head sets][variant tail]
// [1 head set][third tail]; *words its length. Null for another code.
const uint32_t *HpFamilyWords(int32_t sizeCode, int32_t *words);
// One filter set of a family: the 10 x 1024 head taps and both tail filters (tailLen taps in
// all, the left ear's first).
struct HpTableSet
{
    const uint32_t *head;
    const uint32_t *tail;
    int32_t tailLen;
};
// The set of size code 1..3 and angle code 24/25, 29/30, 34/35, 39/40 (primary/variant, head set
// 0..3) or 31 (the third table); false for other codes.
bool HpFindSet(int32_t sizeCode, int32_t angleCode, HpTableSet *set);

// Tail-gain table 0..4 (codes 5, 10, 15, 20, 30): 256 pairs (a_i, b_i). Null for another index.
const uint32_t *HpTailGainWords(int32_t table);
// LinearPhaseIIR row of factor 2 or 4: 16 words. Null for another factor.
const uint32_t *HpLinearPhaseWords(int32_t factor);
