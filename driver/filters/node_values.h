// The value node classes: per-channel bytes, per-channel levels with a range, clock rates and the
// information block. The concrete node classes derive from them and fix the kind.
//
// No lock is taken: callers rely on the framework serialising property requests per filter. The
// initialisations and table replacements allocate, so they run at PASSIVE_LEVEL.
#pragma once

#include "driver/filters/audio_node.h"
#include "driver/base/mutex_lock.h"
#include "driver/filters/node_interfaces.h"

// More channels than a USB audio cluster can describe are a caller's fault.
inline constexpr ULONG NODE_MAX_CHANNELS = 255;

// The reported channel count: the size for modes 0, 1, 4 and 6, else at most 2.
ULONG CappedChannelCount(ULONG size, ULONG mode);

// Per-channel bytes: size + 1 entries (non-paged, "MTag"), readable at DISPATCH_LEVEL.
class CByteControlNode : public ISwitchValue, public IStateTarget, public CAudioNodeBase
{
public:
    DECLARE_STD_UNKNOWN();
    CByteControlNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind);
    ~CByteControlNode() override;

    NTSTATUS GetByte(ULONG index, PUCHAR value) override;
    NTSTATUS SetByte(ULONG index, UCHAR value) override;
    NTSTATUS GetChannelCount(PULONG count) override;
    // A repeated Init replaces the table only once the new one and the source exist.
    NTSTATUS Init(ULONG sourceId, ULONG size) override;
    NTSTATUS SetState(ULONG value, ULONG reserved) override;

protected:
    // A zeroed table of size + 1 bytes (non-paged, `tag`) and the one source, all or nothing.
    NTSTATUS InstallBytes(ULONG sourceId, ULONG size, ULONG tag);

    PUCHAR m_Bytes;
    ULONG m_Size;
    ULONG m_Mode;
};

// Per-channel levels: count + 1 entries (paged, "VTag"), indexes 0 to the count.
class CLevelControlNode : public ILevelValue, public IStateTarget, public CAudioNodeBase
{
public:
    DECLARE_STD_UNKNOWN();
    CLevelControlNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind);
    ~CLevelControlNode() override;

    NTSTATUS GetLevel(ULONG index, PLONG level) override;
    NTSTATUS SetLevel(ULONG index, LONG level) override;
    NTSTATUS GetRange(PLONG maximum, PLONG minimum, PLONG step) override;
    NTSTATUS GetChannelCount(PULONG count) override;
    NTSTATUS Init(ULONG sourceId, ULONG count, LONG maximum, LONG minimum, LONG step) override;
    NTSTATUS SetState(ULONG value, ULONG reserved) override;

protected:
    PLONG m_Levels;
    ULONG m_Count;
    LONG m_Range[3]; // maximum, minimum, step
    ULONG m_Mode;
};

// A clock's sample rates (non-paged, "cloc"), at most CLOCK_MAX_RATES.
class CClockNode : public IClockRates, public CAudioNodeBase
{
public:
    DECLARE_STD_UNKNOWN();
    CClockNode(PUNKNOWN outerUnknown, ULONG id);
    ~CClockNode() override;

    NTSTATUS GetRates(PULONG count, PULONG rates) override;
    NTSTATUS GetRateCount(PULONG count) override;
    NTSTATUS SelectRate(ULONG rate) override;
    NTSTATUS GetSelectedRate(PULONG rate) override;
    NTSTATUS IsClock(PULONG isClock) override;
    // A null table or too many rates: STATUS_INSUFFICIENT_RESOURCES, as the callers expect.
    NTSTATUS SetRates(ULONG count, const ULONG *rates) override;

protected:
    PULONG m_Rates;
    ULONG m_RateCount;
    ULONG m_SelectedRate;
};

// An information block: four words, a byte and a value, filled by the derived class, which also
// uses the lock (PASSIVE_LEVEL).
class CInfoNode : public IInfoNode, public CAudioNodeBase
{
public:
    DECLARE_STD_UNKNOWN();
    CInfoNode(PUNKNOWN outerUnknown, ULONG id, ULONG kind = NODE_KIND_INFO);

    NTSTATUS GetWords(PULONG words) override;
    NTSTATUS SetValue(ULONG value) override; // stores it, and reports STATUS_UNSUCCESSFUL
    NTSTATUS GetByte(PUCHAR value) override;
    NTSTATUS GetValue(PULONG value) override;
    // The value table belongs to the derived class; the plain block has none.
    NTSTATUS GetValues(ULONG, ULONG, PULONG) override { return STATUS_INVALID_PARAMETER; }
    NTSTATUS SetValues(ULONG, ULONG, const ULONG *) override { return STATUS_INVALID_PARAMETER; }
    NTSTATUS GetTriple(ULONG, PULONG) override { return STATUS_INVALID_PARAMETER; }
    NTSTATUS Init(ULONG sourceId) override;

    CMutexLock &Lock() { return m_Lock; }

protected:
    CMutexLock m_Lock;
    ULONG m_Words[INFO_NODE_WORDS];
    UCHAR m_Byte;
    ULONG m_Value;
};
