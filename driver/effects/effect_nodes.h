// The effect nodes a device with software effects shows in its topology: node 139 (the room
// effect), node 140 (headphone surround) and the parameter node of a jack output terminal (the
// speaker placement bands and the positional stage). Each owns its engines and working buffers,
// runs them on the render stream (ProcessBuffers, through CEffectPath) and shows the engine's
// switch and parameters as node values persisted under "Unit%02d_" + index.
//
// Threading: initialisation and destruction at PASSIVE_LEVEL. Setters (switch, parameters, format)
// on the property path: they validate first, change the engines and the stored copy under the node
// lock with the floating-point state saved, and write the registry after releasing it.
// ProcessBuffers and TakeSwitchChange run at either IRQL under the same lock.
#pragma once

#include "driver/effects/chain_adapters.h"
#include "driver/effects/effect_path.h"
#include "driver/effects/headphone/headphone_surround.h"
#include "driver/filters/node_controls.h"

// The parameter node's type (the switch nodes' are beside CEffectSwitchNode).
// {10FB641C-4F95-4AFF-BC19-74FCAD262392}
inline constexpr GUID EFFECT_PARAM_NODE_TYPE = {
    0x10FB641C, 0x4F95, 0x4AFF, {0xBC, 0x19, 0x74, 0xFC, 0xAD, 0x26, 0x23, 0x92}};

// What every effect node adds to its value node (N: the effect switch, or the processing node of the
// parameter node): the render entry, and the information node's operations 5-7 as GetEffectParameters,
// SetEffectParameters and GetParameterRange over a table of parameters whose size GetValue answers.
template <class N> class TEffectNode : public IProcessingNode, public N, public CEffectPath
{
public:
    template <class... A>
    TEffectNode(PUNKNOWN outerUnknown, ULONG id, ULONG poolTag, OutputRule rule, ULONG parameterCount,
                A... args)
        : N(outerUnknown, id, args...), CEffectPath(poolTag, rule), m_EffectParameterCount(parameterCount)
    {
    }

    NTSTATUS NonDelegatingQueryInterface(REFIID iid, PVOID *object) override
    {
        if (iid != IID_IProcessingNode || !object)
            return N::NonDelegatingQueryInterface(iid, object);
        *object = static_cast<IProcessingNode *>(this);
        N::AddRef();
        return STATUS_SUCCESS;
    }
    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override { return N::QueryInterface(iid, object); }
    ULONG AddRef() override { return N::AddRef(); }
    ULONG Release() override { return N::Release(); }

    NTSTATUS GetValue(PULONG value) override
    {
        if (!value)
            return STATUS_INVALID_PARAMETER;
        *value = m_EffectParameterCount;
        return STATUS_SUCCESS;
    }
    NTSTATUS GetValues(ULONG first, ULONG count, PULONG values) override
    {
        return GetEffectParameters(first, count, reinterpret_cast<PLONG>(values));
    }
    NTSTATUS SetValues(ULONG first, ULONG count, const ULONG *values) override
    {
        return SetEffectParameters(first, count, reinterpret_cast<const LONG *>(values));
    }
    NTSTATUS GetTriple(ULONG first, PULONG values) override
    {
        LONG range[3] = {};
        const NTSTATUS status =
            values ? GetParameterRange(first, &range[0], &range[1], &range[2]) : STATUS_INVALID_PARAMETER;
        if (NT_SUCCESS(status))
            RtlCopyMemory(values, range, sizeof range);
        return status;
    }

    // first <= the parameter count and count <= that - first, else STATUS_INVALID_PARAMETER.
    virtual NTSTATUS GetEffectParameters(ULONG first, ULONG count, PLONG values) = 0;
    virtual NTSTATUS SetEffectParameters(ULONG first, ULONG count, const LONG *values) = 0;
    // (maximum, minimum, step) of one parameter: what its set accepts.
    virtual NTSTATUS GetParameterRange(ULONG index, PLONG maximum, PLONG minimum, PLONG step) = 0;

    NTSTATUS ProcessSlot1(PVOID, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ProcessSlot2(PVOID, PVOID, ULONG) override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS ProcessBuffers(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames) override
    {
        return RunEntry(format, buffers, frames);
    }
    NTSTATUS StreamStopped(const WAVEFORMATEXTENSIBLE *, float **, ULONG) override { return STATUS_SUCCESS; }

protected:
    // first <= limit and count <= limit - first: no sum that could wrap.
    BOOLEAN InSpan(ULONG first, ULONG count) const
    {
        return first <= m_EffectParameterCount && count <= m_EffectParameterCount - first;
    }

    ULONG m_EffectParameterCount;
};

// The switch side both effect nodes share: the on/off the processing reads, the two channel
// chains and the stream format.
class CEffectNode : public TEffectNode<CEffectSwitchNode>
{
public:
    CEffectNode(PUNKNOWN outerUnknown, ULONG id, const GUID &type, OutputRule rule, ULONG parameterCount);
    ~CEffectNode() override;

    NTSTATUS GetEffectParameters(ULONG first, ULONG count, PLONG values) override;
    NTSTATUS SetEffectParameters(ULONG first, ULONG count, const LONG *values) override;
    NTSTATUS GetParameterRange(ULONG index, PLONG maximum, PLONG minimum, PLONG step) override;

    // Under the node lock: a pending switch change becomes the active on/off the processing reads.
    // TRUE when there was one.
    BOOLEAN TakeSwitchChange();
    LONG ActiveSwitch() const { return m_Active; }

    // A format of 0 or more than eight channels, or rate 0, is STATUS_INVALID_PARAMETER with nothing
    // stored.
    NTSTATUS SetEffectFormat(const WAVEFORMATEXTENSIBLE *format) override;
    NTSTATUS ResetEffect() override;

    const WAVEFORMATEXTENSIBLE &StreamFormat() const { return m_Format; }
    const WAVEFORMATEXTENSIBLE &FloatFormat() const { return m_FloatFormat; }

protected:
    // The switch for `control`, the working buffers and the two channel chains (mode 0, the first
    // with `firstGain`, the second with 1.0, master gain 1.0). Any failure is
    // STATUS_INSUFFICIENT_RESOURCES or the switch's own status; destruction frees what was made.
    NTSTATUS InitEffectNode(PUNKNOWN unit, UCHAR unitId, UCHAR control, const NodeSettings &settings,
                            ULONG sourceId, float firstGain);
    // The engine's own part of a format change, under the node lock.
    virtual void ApplyFormat() = 0;
    virtual BOOLEAN EffectExists() const = 0;
    virtual void ResetEngine() {}

    BOOLEAN TakeToggle() override;
    BOOLEAN IsEnabled() const override { return m_Active != 0; }
    void DryStages(float *const *dry, ULONG channels, ULONG frames) override;

    DspChain *m_ChainA;
    DspChain *m_ChainB;
    volatile LONG m_Active;
    LONG m_Parameters[2];
    WAVEFORMATEXTENSIBLE m_Format;      // as the stream gave it
    WAVEFORMATEXTENSIBLE m_FloatFormat; // the same, as 32-bit float
};

// Node 139: the room effect on 6- and 8-channel streams, after a 1e-12 offset that keeps its
// recursions out of denormals. No parameters.
class CEffectNode139 : public CEffectNode
{
public:
    CEffectNode139(PUNKNOWN outerUnknown, ULONG id);
    ~CEffectNode139() override;
    NTSTATUS Init139(PUNKNOWN unit, UCHAR unitId, const NodeSettings &settings, ULONG sourceId);
    DelayState *Engine() const { return m_Delay; }

protected:
    void ApplyFormat() override;
    BOOLEAN EffectExists() const override { return m_Delay != nullptr; }
    BOOLEAN EffectsReady() const override { return m_Delay && m_ChainA && m_ChainB; }
    void ResetEngine() override;
    void BeforeCopy(float *const *buffers, ULONG channels, ULONG frames) override;
    void WetStages(float *const *wet, ULONG channels, ULONG frames) override;

private:
    DelayState *m_Delay;
};

// Node 140: headphone surround. Parameter 0 is the surround mode (0, 1, 2: the selected path's first
// value), parameter 1 the enable flag (both paths' second value).
class CEffectNode140 : public CEffectNode
{
public:
    CEffectNode140(PUNKNOWN outerUnknown, ULONG id);
    ~CEffectNode140() override;
    NTSTATUS Init140(PUNKNOWN unit, UCHAR unitId, const NodeSettings &settings, ULONG sourceId);

    // All values are checked first; one refused value refuses the request, changing nothing.
    NTSTATUS SetEffectParameters(ULONG first, ULONG count, const LONG *values) override;
    NTSTATUS GetParameterRange(ULONG index, PLONG maximum, PLONG minimum, PLONG step) override;
    HeadphoneSurround *Engine() const { return m_Surround; }

protected:
    void ApplyFormat() override;
    BOOLEAN EffectExists() const override { return m_Surround != nullptr; }
    BOOLEAN EffectsReady() const override { return m_Surround && m_ChainA && m_ChainB; }
    void WetStages(float *const *wet, ULONG channels, ULONG frames) override;

private:
    static BOOLEAN Accepts(ULONG index, LONG value, LONG stored);
    void ApplyMode(LONG mode);
    void ApplyEnable(LONG enable);

    HeadphoneSurround *m_Surround;
};

// The parameter node: 17 values, band i's (first, second) pair at 2i and 2i + 1 for the eight bands,
// the enable word at 16. A set stores and persists the values and applies the bands whose pair
// changed; a changed enable word fades the processing in or out.
class CEffectParamNode : public TEffectNode<CProcessingNode>
{
public:
    static constexpr ULONG BANDS = 8;
    static constexpr ULONG PARAMETERS = 2 * BANDS + 1;
    static constexpr ULONG ENABLE = 2 * BANDS;

    CEffectParamNode(PUNKNOWN outerUnknown, ULONG id);
    ~CEffectParamNode() override;

    NTSTATUS InitParamNode(UCHAR unitId, const NodeSettings &settings, ULONG sourceId);

    NTSTATUS GetEffectParameters(ULONG first, ULONG count, PLONG values) override;
    NTSTATUS SetEffectParameters(ULONG first, ULONG count, const LONG *values) override;
    NTSTATUS GetParameterRange(ULONG index, PLONG maximum, PLONG minimum, PLONG step) override;
    // One band's pair (band 0..7).
    NTSTATUS SetBandPair(ULONG band, LONG first, LONG second);

    // The stream's rate goes to the positional stage, the bands are applied again and the
    // processing fades in or out. A null format or a node without engines: STATUS_INVALID_PARAMETER.
    NTSTATUS SetEffectFormat(const WAVEFORMATEXTENSIBLE *format) override;
    NTSTATUS ResetEffect() override;

    ParamEngine *Panner() const { return m_Panner; }
    HrtfEngine *Hrtf() const { return m_Hrtf; }

protected:
    // The bands whose pair differs from the engine's (or that the engine cannot report) are set.
    // FALSE when one is refused. Under the node lock.
    BOOLEAN ApplyBands(BOOLEAN all);
    // One band into the placement engine (EqSetBand).
    virtual BOOLEAN SetBand(ULONG band, float first, float second);

    BOOLEAN TakeToggle() override;
    BOOLEAN IsEnabled() const override { return m_Values[ENABLE] != 0; }
    BOOLEAN EffectsReady() const override { return m_Panner && m_Hrtf; }
    void DryStages(float *const *dry, ULONG channels, ULONG frames) override;
    void WetStages(float *const *wet, ULONG channels, ULONG frames) override;
    void AfterStages(float *const *wet, ULONG channels, ULONG frames) override;

    ParamEngine *m_Panner;
    HrtfEngine *m_Hrtf;
    NodeOwner m_Owner;
    LONG m_Values[PARAMETERS];
    volatile LONG m_TogglePending;
    WAVEFORMATEXTENSIBLE m_Format;
};
