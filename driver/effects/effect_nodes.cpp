#include "driver/effects/effect_nodes.h"

#include "driver/base/pool_memory.h"
#include "driver/base/queued_lock.h"
#include "dsp/dispatch/primitives.h"

namespace
{
// The construction list of the parameter node: each band's second value (its first is 30).
constexpr LONG kBandDefaults[CEffectParamNode::BANDS] = {-30, 30, -150, 150, 0, -100, 100, 15};
constexpr LONG kBandFirstDefault = 30;

// The surround engine's first format, until the stream's arrives.
constexpr WAVEFORMATEX kSurroundStartFormat = {WAVE_FORMAT_IEEE_FLOAT, 2, 44100, 176400, 4, 16, 0};

// +4 dB, the processed EQ output's make-up gain.
constexpr float kEqMakeUp = 1.5848f;
// Keeps the room effect's recursions out of denormals.
constexpr float kDenormalGuard = 1e-12f;

// The floating-point state around a setter's float work; a failed save is logged and the work skipped.
class CFpuScope
{
public:
    CFpuScope() : m_Saved(NT_SUCCESS(KeSaveFloatingPointState(&m_Save)))
    {
        if (!m_Saved)
            DbgPrint("Save FPU error\n");
    }
    ~CFpuScope()
    {
        if (m_Saved)
            KeRestoreFloatingPointState(&m_Save);
    }
    BOOLEAN Saved() const { return m_Saved; }

private:
    KFLOATING_SAVE m_Save;
    BOOLEAN m_Saved;
};

template <class T> void DeleteEngine(T *&engine)
{
    delete static_cast<CPooled<T> *>(engine);
    engine = nullptr;
}

DspChain *NewChain(float gain)
{
    DspChain *chain = new (NonPagedPool, PoolTag::TAVO) CPooled<DspChain>;
    if (!chain)
        return nullptr;
    if (!DspChainInit(chain))
    {
        DeleteEngine(chain);
        return nullptr;
    }
    DspChainSetMode(chain, 0);
    DspChainSetGains(chain, gain);
    DspChainSetMasterGain(chain, 1.0f);
    return chain;
}

// The stream format as the float engines take it: an extensible PCM record gets the float
// sub-format, other plain tags become tag 3; 32 bits, block align and byte rate to match.
WAVEFORMATEXTENSIBLE ToFloat(const WAVEFORMATEXTENSIBLE &format)
{
    WAVEFORMATEXTENSIBLE f = format;
    const USHORT tag = format.Format.wFormatTag;
    const BOOLEAN extensibleNotFloat =
        tag == WAVE_FORMAT_EXTENSIBLE && SampleTypeOf(format) != WAVE_FORMAT_IEEE_FLOAT;
    if (extensibleNotFloat)
    {
        f.SubFormat = SubFormatForTag(WAVE_FORMAT_IEEE_FLOAT);
        f.Samples.wValidBitsPerSample = 32;
    }
    else if (tag != WAVE_FORMAT_EXTENSIBLE && tag != WAVE_FORMAT_IEEE_FLOAT)
        f.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    else
        return f;
    f.Format.wBitsPerSample = 32;
    f.Format.nBlockAlign = USHORT(format.Format.nChannels * 4);
    f.Format.nAvgBytesPerSec = f.Format.nBlockAlign * format.Format.nSamplesPerSec;
    return f;
}

BOOLEAN FormatUsable(const WAVEFORMATEXTENSIBLE *format)
{
    return format && format->Format.nChannels >= 1 && format->Format.nChannels <= CEffectPath::CHANNELS &&
           format->Format.nSamplesPerSec != 0;
}
} // namespace

// ---- CEffectNode ------------------------------------------------------------------------------------
CEffectNode::CEffectNode(PUNKNOWN outerUnknown, ULONG id, const GUID &type, OutputRule rule,
                         ULONG parameterCount)
    : TEffectNode(outerUnknown, id, PoolTag::DoHP, rule, parameterCount, type), m_ChainA(nullptr),
      m_ChainB(nullptr), m_Active(0), m_Parameters{0, 0}, m_Format{}, m_FloatFormat{}
{
}

CEffectNode::~CEffectNode()
{
    DeleteEngine(m_ChainA);
    DeleteEngine(m_ChainB);
}

NTSTATUS CEffectNode::InitEffectNode(PUNKNOWN unit, UCHAR unitId, UCHAR control, const NodeSettings &settings,
                                     ULONG sourceId, float firstGain)
{
    NTSTATUS status = InitEffectSwitch(unit, unitId, control, settings, sourceId);
    if (!NT_SUCCESS(status))
        return status;
    m_Active = m_Byte;
    status = AllocateSets();
    if (!NT_SUCCESS(status))
        return status;
    if (!m_ChainA)
        m_ChainA = NewChain(firstGain);
    if (!m_ChainB)
        m_ChainB = NewChain(1.0f);
    return m_ChainA && m_ChainB ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

NTSTATUS CEffectNode::GetEffectParameters(ULONG first, ULONG count, PLONG values)
{
    if (!values || !InSpan(first, count))
        return STATUS_INVALID_PARAMETER;
    CQueuedLockGuard lock(NodeLock());
    RtlCopyMemory(values, m_Parameters + first, count * sizeof(LONG));
    return STATUS_SUCCESS;
}

NTSTATUS CEffectNode::SetEffectParameters(ULONG, ULONG, const LONG *)
{
    return STATUS_INVALID_PARAMETER;
}

NTSTATUS CEffectNode::GetParameterRange(ULONG, PLONG, PLONG, PLONG)
{
    return STATUS_INVALID_PARAMETER;
}

BOOLEAN CEffectNode::TakeSwitchChange()
{
    CQueuedLockGuard lock(NodeLock());
    if (!CEffectSwitchNode::TakeSwitchChange())
        return FALSE;
    m_Active = m_Byte;
    return TRUE;
}

BOOLEAN CEffectNode::TakeToggle()
{
    if (!TakeSecondChange())
        return FALSE;
    if (EffectExists())
        TakeSwitchChange();
    return TRUE;
}

NTSTATUS CEffectNode::SetEffectFormat(const WAVEFORMATEXTENSIBLE *format)
{
    if (!FormatUsable(format))
        return STATUS_INVALID_PARAMETER;
    CFpuScope fpu;
    if (!fpu.Saved())
        return STATUS_UNSUCCESSFUL;
    CQueuedLockGuard lock(NodeLock());
    m_Format = *format;
    m_FloatFormat = ToFloat(*format);
    ApplyFormat();
    return STATUS_SUCCESS;
}

NTSTATUS CEffectNode::ResetEffect()
{
    CQueuedLockGuard lock(NodeLock());
    ResetEngine();
    DspChainReset(m_ChainA);
    DspChainReset(m_ChainB);
    return STATUS_SUCCESS;
}

void CEffectNode::DryStages(float *const *dry, ULONG channels, ULONG frames)
{
    FoldToStereo(dry, channels, frames);
    DspChainProcess(m_ChainA, dry, int32_t(frames));
}

// ---- CEffectNode139 ---------------------------------------------------------------------------------
CEffectNode139::CEffectNode139(PUNKNOWN outerUnknown, ULONG id)
    : CEffectNode(outerUnknown, id, EFFECT_NODE_139_TYPE, OUTPUT_SIX_OR_EIGHT, 0), m_Delay(nullptr)
{
}

CEffectNode139::~CEffectNode139()
{
    if (m_Delay)
        m_Delay->Destroy();
    DeleteEngine(m_Delay);
}

NTSTATUS CEffectNode139::Init139(PUNKNOWN unit, UCHAR unitId, const NodeSettings &settings, ULONG sourceId)
{
    // The dry chain gets +9 dB (2.8183).
    NTSTATUS status = InitEffectNode(unit, unitId, EFFECT_CONTROL_139, settings, sourceId, 2.8183f);
    if (!NT_SUCCESS(status))
        return status;
    if (!m_Delay)
        m_Delay = new (NonPagedPool, PoolTag::DoHP) CPooled<DelayState>;
    return m_Delay ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

void CEffectNode139::ApplyFormat()
{
    DspChainSetFormat(m_ChainA, &m_Format);
    DspChainSetFormat(m_ChainB, &m_Format);
    if (m_Delay)
        m_Delay->SetFormat(int32_t(m_Format.Format.nSamplesPerSec), int32_t(m_Format.Format.nChannels) - 1);
}

void CEffectNode139::ResetEngine()
{
    DspChainClearState(m_ChainA);
}

void CEffectNode139::BeforeCopy(float *const *buffers, ULONG channels, ULONG frames)
{
    for (ULONG c = 0; c < channels; ++c)
        dsp::addConstInPlaceF32(kDenormalGuard, buffers[c], int32_t(frames));
}

void CEffectNode139::WetStages(float *const *wet, ULONG, ULONG frames)
{
    EffectProcess(m_Delay, wet, wet, int32_t(frames));
    DspChainProcess(m_ChainB, wet, int32_t(frames));
}

// ---- CEffectNode140 ---------------------------------------------------------------------------------
CEffectNode140::CEffectNode140(PUNKNOWN outerUnknown, ULONG id)
    : CEffectNode(outerUnknown, id, EFFECT_NODE_140_TYPE, OUTPUT_WHILE_FADING, 2), m_Surround(nullptr)
{
}

CEffectNode140::~CEffectNode140()
{
    DeleteEngine(m_Surround);
}

BOOLEAN CEffectNode140::Accepts(ULONG index, LONG value, LONG stored)
{
    if (index == 0)
        return value == stored || (value >= 0 && value <= 2);
    return TRUE;
}

void CEffectNode140::ApplyMode(LONG mode)
{
    const LONG path = m_Surround->GetPath() != 0 ? 1 : 0;
    if (m_Surround->GetFirstValue(path) != mode)
        m_Surround->SetFirstValue(path, mode);
}

void CEffectNode140::ApplyEnable(LONG enable)
{
    const LONG flag = enable != 0;
    for (LONG path : {1, 0})
        if (m_Surround->GetSecondValue(path) != flag)
            m_Surround->SetSecondValue(path, flag);
}

NTSTATUS CEffectNode140::Init140(PUNKNOWN unit, UCHAR unitId, const NodeSettings &settings, ULONG sourceId)
{
    NTSTATUS status = InitEffectNode(unit, unitId, EFFECT_CONTROL_140, settings, sourceId, 2.0f);
    if (!NT_SUCCESS(status))
        return status;
    if (!m_Surround)
        m_Surround = new (NonPagedPool, PoolTag::TAVO) CPooled<HeadphoneSurround>;
    if (!m_Surround || !m_Surround->Engine() || m_Surround->SetFormat(&kSurroundStartFormat) != 0)
        return STATUS_INSUFFICIENT_RESOURCES;
    // The engine's configuration order matters: the path must be chosen before its values.
    m_Surround->SetActive(TRUE);
    m_Surround->SetPath(0);
    m_Surround->SetThirdValue(0, 3);
    m_Surround->SetThirdValue(1, 3);
    m_Surround->SetOutput(0);
    m_Parameters[0] = m_Surround->GetFirstValue(0);
    m_Parameters[1] = m_Surround->GetSecondValue(0);
    for (ULONG index = 0; index < 2; ++index)
    {
        LONG stored = m_Parameters[index];
        if (!NT_SUCCESS(m_Owner.ReadIndexed(index, &stored, sizeof stored)))
            continue;
        if (Accepts(index, stored, m_Parameters[index]))
            m_Parameters[index] = stored;
        else
            DbgPrint("CEffectNode140::Init140 stored parameter %u (%d) ignored\n", index, int(stored));
    }
    ApplyEnable(m_Parameters[1]);
    ApplyMode(m_Parameters[0]);
    return STATUS_SUCCESS;
}

NTSTATUS CEffectNode140::SetEffectParameters(ULONG first, ULONG count, const LONG *values)
{
    if (!values || count == 0 || !InSpan(first, count) || !m_Surround)
        return STATUS_INVALID_PARAMETER;
    LONG next[2];
    {
        CQueuedLockGuard lock(NodeLock());
        RtlCopyMemory(next, m_Parameters, sizeof next);
    }
    for (ULONG i = 0; i < count; ++i)
    {
        if (!Accepts(first + i, values[i], next[first + i]))
            return STATUS_INVALID_PARAMETER;
        next[first + i] = values[i];
    }
    {
        CFpuScope fpu;
        if (!fpu.Saved())
            return STATUS_UNSUCCESSFUL;
        CQueuedLockGuard lock(NodeLock());
        if (first == 0)
            ApplyMode(next[0]);
        if (first + count > 1 && next[1] != m_Parameters[1])
            ApplyEnable(next[1]);
        RtlCopyMemory(m_Parameters, next, sizeof next);
    }
    for (ULONG i = first; i < first + count; ++i)
        m_Owner.WriteIndexed(i, &next[i], sizeof next[i]);
    return STATUS_SUCCESS;
}

NTSTATUS CEffectNode140::GetParameterRange(ULONG index, PLONG maximum, PLONG minimum, PLONG step)
{
    if (index >= m_EffectParameterCount || !maximum || !minimum || !step)
        return STATUS_INVALID_PARAMETER;
    *maximum = index == 0 ? 2 : 1;
    *minimum = 0;
    *step = 1;
    return STATUS_SUCCESS;
}

void CEffectNode140::ApplyFormat()
{
    const USHORT channels = m_Format.Format.nChannels;
    const USHORT bits = m_Format.Format.wBitsPerSample;
    WAVEFORMATEX surround{};
    surround.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    surround.nChannels = channels;
    surround.nSamplesPerSec = m_Format.Format.nSamplesPerSec;
    surround.wBitsPerSample = bits;
    surround.nBlockAlign = USHORT(bits * channels / 8);
    surround.nAvgBytesPerSec = surround.nSamplesPerSec * surround.nBlockAlign;
    if (m_Surround && m_Surround->SetFormat(&surround) != 0)
        DbgPrint("CEffectNode140::SetEffectFormat surround format refused\n");
    DspChainSetFormat(m_ChainA, &m_FloatFormat);
    DspChainSetFormat(m_ChainB, &m_FloatFormat);
}

void CEffectNode140::WetStages(float *const *wet, ULONG, ULONG frames)
{
    SurroundProcess(m_Surround, wet, int32_t(frames));
    DspChainProcess(m_ChainB, wet, int32_t(frames));
}

// ---- CEffectParamNode -------------------------------------------------------------------------------
CEffectParamNode::CEffectParamNode(PUNKNOWN outerUnknown, ULONG id)
    : TEffectNode(outerUnknown, id, PoolTag::Plon, OUTPUT_WHEN_ENABLED, PARAMETERS), m_Panner(nullptr),
      m_Hrtf(nullptr), m_Owner{}, m_Values{}, m_TogglePending(0), m_Format{}
{
    static_assert(sizeof(m_Words) == sizeof(GUID));
    RtlCopyMemory(m_Words, &EFFECT_PARAM_NODE_TYPE, sizeof(GUID));
    m_ParameterCount = PARAMETERS;
    for (ULONG band = 0; band < BANDS; ++band)
    {
        m_Values[2 * band] = kBandFirstDefault;
        m_Values[2 * band + 1] = kBandDefaults[band];
    }
}

CEffectParamNode::~CEffectParamNode()
{
    DeleteEngine(m_Hrtf);
    DeleteEngine(m_Panner);
}

NTSTATUS CEffectParamNode::InitParamNode(UCHAR unitId, const NodeSettings &settings, ULONG sourceId)
{
    NTSTATUS status = AllocateSets();
    if (!NT_SUCCESS(status))
        return status;
    if (!m_Panner)
        m_Panner = new (NonPagedPool, PoolTag::Plon) CPooled<ParamEngine>;
    if (!m_Hrtf)
        m_Hrtf = new (NonPagedPool, PoolTag::Plon) CPooled<HrtfEngine>;
    if (!m_Panner || !m_Hrtf || !m_Panner->AllocateBuffers() || !m_Hrtf->CreateFilter())
        return STATUS_INSUFFICIENT_RESOURCES;
    m_Owner = NodeOwner{unitId, settings, nullptr};
    for (ULONG index = 0; index < PARAMETERS; ++index)
        m_Owner.ReadIndexed(index, &m_Values[index], sizeof m_Values[index]);
    {
        CFpuScope fpu;
        CQueuedLockGuard lock(NodeLock());
        if (fpu.Saved() && !ApplyBands(TRUE))
            DbgPrint("CEffectParamNode::InitParamNode a stored band was refused\n");
    }
    return CInfoNode::Init(sourceId);
}

NTSTATUS CEffectParamNode::GetEffectParameters(ULONG first, ULONG count, PLONG values)
{
    if (!values || !InSpan(first, count))
        return STATUS_INVALID_PARAMETER;
    CQueuedLockGuard lock(NodeLock());
    RtlCopyMemory(values, m_Values + first, count * sizeof(LONG));
    return STATUS_SUCCESS;
}

NTSTATUS CEffectParamNode::GetParameterRange(ULONG index, PLONG maximum, PLONG minimum, PLONG step)
{
    if (index >= PARAMETERS || !maximum || !minimum || !step)
        return STATUS_INVALID_PARAMETER;
    *maximum = LONG(0x7FFFFFFF);
    *minimum = LONG(0x80000000u);
    *step = 1;
    return STATUS_SUCCESS;
}

BOOLEAN CEffectParamNode::ApplyBands(BOOLEAN all)
{
    BOOLEAN applied = TRUE;
    for (ULONG band = 0; band < BANDS; ++band)
    {
        const float first = float(m_Values[2 * band]), second = float(m_Values[2 * band + 1]);
        float current[2] = {};
        // An engine that cannot report the band counts as changed.
        const BOOLEAN known = EqGetBand(m_Panner, int32_t(band), &current[0], &current[1]);
        if (all || !known || current[0] != first || current[1] != second)
            applied = SetBand(band, first, second) && applied;
    }
    return applied;
}

BOOLEAN CEffectParamNode::SetBand(ULONG band, float first, float second)
{
    return EqSetBand(m_Panner, int32_t(band), first, second);
}

NTSTATUS CEffectParamNode::SetEffectParameters(ULONG first, ULONG count, const LONG *values)
{
    if (!values || !InSpan(first, count))
        return STATUS_INVALID_PARAMETER;
    if (!EffectsReady())
        return STATUS_INVALID_PARAMETER;
    BOOLEAN applied = TRUE;
    {
        CFpuScope fpu;
        if (!fpu.Saved())
            return STATUS_UNSUCCESSFUL;
        CQueuedLockGuard lock(NodeLock());
        const LONG enable = m_Values[ENABLE];
        RtlCopyMemory(m_Values + first, values, count * sizeof(LONG));
        applied = ApplyBands(FALSE);
        if ((m_Values[ENABLE] != 0) != (enable != 0))
            InterlockedExchange(&m_TogglePending, 1);
    }
    for (ULONG i = first; i < first + count; ++i)
        m_Owner.WriteIndexed(i, const_cast<PLONG>(&values[i - first]), sizeof(LONG));
    return applied ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS CEffectParamNode::SetBandPair(ULONG band, LONG first, LONG second)
{
    if (band >= BANDS)
        return STATUS_INVALID_PARAMETER;
    const LONG pair[2] = {first, second};
    return SetEffectParameters(2 * band, 2, pair);
}

NTSTATUS CEffectParamNode::SetEffectFormat(const WAVEFORMATEXTENSIBLE *format)
{
    if (!format || !m_Hrtf || !m_Panner)
        return STATUS_INVALID_PARAMETER;
    CFpuScope fpu;
    if (!fpu.Saved())
        return STATUS_UNSUCCESSFUL;
    CQueuedLockGuard lock(NodeLock());
    m_Format = *format;
    m_Hrtf->SetSecondWord(format->Format.nSamplesPerSec);
    m_Hrtf->Recompute();
    const BOOLEAN applied = ApplyBands(TRUE);
    InterlockedExchange(&m_TogglePending, 1);
    return applied ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

NTSTATUS CEffectParamNode::ResetEffect()
{
    InterlockedExchange(&m_TogglePending, 0);
    return STATUS_SUCCESS;
}

BOOLEAN CEffectParamNode::TakeToggle()
{
    return InterlockedExchange(&m_TogglePending, 0) != 0;
}

void CEffectParamNode::DryStages(float *const *dry, ULONG channels, ULONG frames)
{
    FoldToStereo(dry, channels, frames);
}

void CEffectParamNode::WetStages(float *const *wet, ULONG, ULONG frames)
{
    EqProcess(m_Panner, wet, wet, int32_t(frames));
    EqSecondStage(m_Hrtf, wet, int32_t(frames));
}

void CEffectParamNode::AfterStages(float *const *wet, ULONG channels, ULONG frames)
{
    if (!IsEnabled())
        return;
    for (ULONG c = 0; c < channels; ++c)
        dsp::mulConstInPlaceF32(kEqMakeUp, wet[c], int32_t(frames));
}
