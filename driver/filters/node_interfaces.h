// Interfaces of the node value classes: byte and level values, the state target, the switchable
// terminal, clock rates, the information block and the selector's listeners.
#pragma once

#include "driver/filters/audio_hal_interfaces.h"

// {8EDE1D42-90E4-4B08-96EF-7CBBC472F9ED}
inline constexpr GUID IID_ISwitchValue = {
    0x8EDE1D42, 0x90E4, 0x4B08, {0x96, 0xEF, 0x7C, 0xBB, 0xC4, 0x72, 0xF9, 0xED}};
// {03449A8C-92DC-45CA-859F-AC21AD70C59F}
inline constexpr GUID IID_IStateTarget = {
    0x03449A8C, 0x92DC, 0x45CA, {0x85, 0x9F, 0xAC, 0x21, 0xAD, 0x70, 0xC5, 0x9F}};
// {B0446B44-06EB-403F-8B78-E1E963DEA3CD}
inline constexpr GUID IID_ILevelValue = {
    0xB0446B44, 0x06EB, 0x403F, {0x8B, 0x78, 0xE1, 0xE9, 0x63, 0xDE, 0xA3, 0xCD}};
// {9E3FB612-FCD2-4C51-88BA-B1BD3734F1B5}
inline constexpr GUID IID_ISwitchable = {
    0x9E3FB612, 0xFCD2, 0x4C51, {0x88, 0xBA, 0xB1, 0xBD, 0x37, 0x34, 0xF1, 0xB5}};
// {E1A6E8A0-3C43-4950-901B-9E84F6C3C2EC}
inline constexpr GUID IID_IClockRates = {
    0xE1A6E8A0, 0x3C43, 0x4950, {0x90, 0x1B, 0x9E, 0x84, 0xF6, 0xC3, 0xC2, 0xEC}};
// {34480E1C-F752-41EE-81AE-70174C8FB3B3}
inline constexpr GUID IID_IInfoNode = {
    0x34480E1C, 0xF752, 0x41EE, {0x81, 0xAE, 0x70, 0x17, 0x4C, 0x8F, 0xB3, 0xB3}};
// {F52EB3CB-E312-4CB0-AC9C-F6AB1BF9B29A}: the kind-20 information node, same operations
inline constexpr GUID IID_IInfoNode20 = {
    0xF52EB3CB, 0xE312, 0x4CB0, {0xAC, 0x9C, 0xF6, 0xAB, 0x1B, 0xF9, 0xB2, 0x9A}};
// {B72008CF-4F37-4B4F-BD58-2A930CD64971}
inline constexpr GUID IID_ISelectListener = {
    0xB72008CF, 0x4F37, 0x4B4F, {0xBD, 0x58, 0x2A, 0x93, 0x0C, 0xD6, 0x49, 0x71}};

// A value node's mode, steered by a state node.
struct IStateTarget : IUnknown
{
    virtual NTSTATUS SetState(ULONG value, ULONG reserved) = 0;
};
typedef IStateTarget *PSTATETARGET;

// Per-channel byte values (mute switches and byte controls).
struct ISwitchValue : IUnknown
{
    virtual NTSTATUS GetByte(ULONG index, PUCHAR value) = 0; // index below the size
    virtual NTSTATUS SetByte(ULONG index, UCHAR value) = 0;
    virtual NTSTATUS GetChannelCount(PULONG count) = 0;
    virtual NTSTATUS Init(ULONG sourceId, ULONG size) = 0; // PASSIVE_LEVEL
};
typedef ISwitchValue *PSWITCHVALUE;

// Per-channel levels with a range; index 0 to the count, both inclusive. The range is kept and
// answered as (maximum, minimum, step).
struct ILevelValue : IUnknown
{
    virtual NTSTATUS GetLevel(ULONG index, PLONG level) = 0;
    virtual NTSTATUS SetLevel(ULONG index, LONG level) = 0;
    virtual NTSTATUS GetRange(PLONG maximum, PLONG minimum, PLONG step) = 0;
    virtual NTSTATUS GetChannelCount(PULONG count) = 0;
    virtual NTSTATUS Init(ULONG sourceId, ULONG count, LONG maximum, LONG minimum, LONG step) = 0;
};
typedef ILevelValue *PLEVELVALUE;

// A mixer node that shows itself as a source-less input terminal while on.
struct ISwitchable : IUnknown
{
    virtual NTSTATUS SetSwitch(UCHAR on) = 0;
};
typedef ISwitchable *PSWITCHABLE;

// Told by a selector: before the store (new, old), then after it (new).
struct ISelectListener : IUnknown
{
    virtual NTSTATUS OnSelecting(ULONG newIndex, ULONG oldIndex) = 0;
    virtual NTSTATUS OnSelected(ULONG newIndex) = 0;
};
typedef ISelectListener *PSELECTLISTENER;

inline constexpr ULONG CLOCK_MAX_RATES = 30;

struct IClockRates : IUnknown
{
    virtual NTSTATUS GetRates(PULONG count, PULONG rates) = 0; // *count in: room, out: stored count
    virtual NTSTATUS GetRateCount(PULONG count) = 0;
    virtual NTSTATUS SelectRate(ULONG rate) = 0;
    virtual NTSTATUS GetSelectedRate(PULONG rate) = 0;
    virtual NTSTATUS IsClock(PULONG isClock) = 0;
    virtual NTSTATUS SetRates(ULONG count, const ULONG *rates) = 0; // at most CLOCK_MAX_RATES
};
typedef IClockRates *PCLOCKRATES;

inline constexpr ULONG INFO_NODE_WORDS = 4;

// An information block filled by the derived class. GetValue also answers the limit N of the value
// table that GetValues, SetValues and GetTriple address; callers keep first <= N and
// count <= N - first.
struct IInfoNode : IUnknown
{
    virtual NTSTATUS GetWords(PULONG words) = 0; // INFO_NODE_WORDS words
    virtual NTSTATUS SetValue(ULONG value) = 0;
    virtual NTSTATUS GetByte(PUCHAR value) = 0;
    virtual NTSTATUS GetValue(PULONG value) = 0;
    virtual NTSTATUS GetValues(ULONG first, ULONG count, PULONG values) = 0;
    virtual NTSTATUS SetValues(ULONG first, ULONG count, const ULONG *values) = 0;
    virtual NTSTATUS GetTriple(ULONG first, PULONG values) = 0; // three words
    virtual NTSTATUS Init(ULONG sourceId) = 0;
};
typedef IInfoNode *PINFONODE;

// {39F527DD-1800-4CFA-B3F3-4FCD2C6301BB}
inline constexpr GUID IID_IRangedValue = {
    0x39F527DD, 0x1800, 0x4CFA, {0xB3, 0xF3, 0x4F, 0xCD, 0x2C, 0x63, 0x01, 0xBB}};
// {AA978CF6-0C30-40E0-A559-EA9AE9A4F276}
inline constexpr GUID IID_INamedValue = {
    0xAA978CF6, 0x0C30, 0x40E0, {0xA5, 0x59, 0xEA, 0x9A, 0xE9, 0xA4, 0xF2, 0x76}};

// A device-specific 32-bit value within a range (kind 17).
struct IRangedValue : IUnknown
{
    virtual NTSTATUS GetValue(PULONG value) = 0;
    virtual NTSTATUS GetRange(PULONG minimum, PULONG maximum) = 0;
    virtual NTSTATUS SetValue(ULONG value) = 0;
};
typedef IRangedValue *PRANGEDVALUE;

// A device-specific 32-bit value that names its node (kind 24).
struct INamedValue : IUnknown
{
    virtual NTSTATUS GetName(GUID *name) = 0;
    virtual NTSTATUS GetValue(PULONG value) = 0;
    virtual NTSTATUS SetValue(ULONG value) = 0;
};
typedef INamedValue *PNAMEDVALUE;
