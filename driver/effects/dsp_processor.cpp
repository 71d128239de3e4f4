#include "driver/effects/dsp_processor.h"

#include <algorithm>
#include <bit>
#include <new>

#include "driver/effects/fx_format.h"
#include "driver/effects/src_tables.inc"
#include "dsp/dispatch/primitives.h"

namespace
{

template <size_t N> struct FloatTable
{
    float v[N];
};

template <size_t N> constexpr FloatTable<N> FromBits(const uint32_t (&bits)[N])
{
    FloatTable<N> t{};
    for (size_t i = 0; i < N; ++i)
        t.v[i] = std::bit_cast<float>(bits[i]);
    return t;
}

constexpr auto kFactor2Taps = FromBits(kSrcFactor2TapBits);
constexpr auto kFactor4Taps = FromBits(kSrcFactor4TapBits);
constexpr auto kUpRows = FromBits(kSrcUpRowBits);
constexpr auto kDownRows = FromBits(kSrcDownRowBits);
static_assert(sizeof kFactor2Taps.v == CSrcFactor2::TAPS * sizeof(float));
static_assert(sizeof kFactor4Taps.v == CSrcFactor4::TAPS * sizeof(float));
static_assert(sizeof kUpRows.v == CSrc44k48k::UP_PHASES * CSrc44k48k::UP_TAPS * sizeof(float));
static_assert(sizeof kDownRows.v == CSrc44k48k::DOWN_PHASES * CSrc44k48k::DOWN_TAPS * sizeof(float));

bool IsFloat(const WAVEFORMATEXTENSIBLE &format)
{
    return SampleTypeOf(format) == WAVE_FORMAT_IEEE_FLOAT;
}

} // namespace

// ---- CDspProcessor -------------------------------------------------------------------------------

ULONG CDspProcessor::UpStateSize()
{
    return 0;
}

ULONG CDspProcessor::DownStateSize()
{
    return 0;
}

bool CDspProcessor::Process(ULONG, const float *, ULONG *)
{
    return false;
}

void CDspProcessor::Reset()
{
    for (ULONG &position : m_WritePosition)
        position = 0;
}

CDspProcessor::~CDspProcessor()
{
    for (ULONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c)
    {
        FreePool(m_pRing[c]);
        FreePool(m_pUpState[c]);
        FreePool(m_pDownState[c]);
    }
}

bool CDspProcessor::AllocateBuffers()
{
    const ULONG down = DownStateSize();
    const ULONG up = UpStateSize();
    m_RingLength = DSP_RING_LENGTH;
    if (m_bBuffersAllocated || down == 0 || up == 0)
        return false;
    for (ULONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c)
    {
        m_pDownState[c] = AllocPoolZeroed(down, NonPagedPool, PoolTag::SRCX);
        if (!m_pDownState[c])
            return false;
        m_pUpState[c] = AllocPoolZeroed(up, NonPagedPool, PoolTag::SRCX);
        if (!m_pUpState[c])
            return false;
        m_pRing[c] = static_cast<float *>(
            AllocPoolZeroed(DSP_RING_LENGTH * sizeof(float), NonPagedPool, PoolTag::SRCX));
        if (!m_pRing[c])
            return false;
    }
    m_bBuffersAllocated = 1;
    return true;
}

ULONG CDspProcessor::Append(ULONG channel, const float *input, ULONG count)
{
    const ULONG n = std::min(count, RingFree(channel));
    if (n == 0 || !m_pRing[channel])
        return 0;
    dsp::copyF32(input, m_pRing[channel] + m_WritePosition[channel], int32_t(n));
    m_WritePosition[channel] += n;
    return n;
}

void CDspProcessor::Consume(ULONG channel, ULONG count)
{
    ULONG &position = m_WritePosition[channel];
    count = std::min(count, position);
    if (count == 0)
        return;
    // copyF32 moves overlapping ranges correctly, so the rest slides to the ring's start.
    if (position > count)
        dsp::copyF32(m_pRing[channel] + count, m_pRing[channel], int32_t(position - count));
    position -= count;
}

// ---- CChannelConversion and CDspSplit ------------------------------------------------------------

bool CChannelConversion::SetFormat(WAVEFORMATEXTENSIBLE inFormat, WAVEFORMATEXTENSIBLE outFormat)
{
    static const char kName[] = "CChannelConversion::SetFormat";
    if (!IsFloat(inFormat))
    {
        DbgPrint("%s Tag not WAVE_FORMAT_IEEE_FLOAT\n", kName);
        return false;
    }
    if (!IsFloat(outFormat))
    {
        DbgPrint("%s Output Tag not WAVE_FORMAT_IEEE_FLOAT\n", kName);
        return false;
    }
    if (inFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS ||
        outFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS)
    {
        DbgPrint("%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n", kName);
        return false;
    }
    m_InFormat = inFormat;
    m_OutFormat = outFormat;
    m_bInitialized = 1;
    return true;
}

CDspSplit::~CDspSplit()
{
    delete m_pConversion;
}

bool CDspSplit::AllocateBuffers()
{
    if (!m_pConversion)
        m_pConversion = new (NonPagedPool, PoolTag::SRCX) CChannelConversion;
    if (!m_pConversion)
        return false;
    return CDspProcessor::AllocateBuffers();
}

bool CDspSplit::SetFormat(WAVEFORMATEXTENSIBLE inFormat, WAVEFORMATEXTENSIBLE outFormat)
{
    m_InFormat = inFormat;
    m_OutFormat = outFormat;
    return m_pConversion && m_pConversion->SetFormat(FxFloatFormat(inFormat), FxFloatFormat(outFormat));
}

// ---- Integer factors -----------------------------------------------------------------------------

ULONG CSrcIntegerFactor::StateSize(ULONG up, ULONG down) const
{
    int32_t size = 0;
    return dsp::firMultiRateStateSizeF32(int32_t(m_TapCount), int32_t(up), int32_t(down), &size) == dsp::kOk
               ? ULONG(size)
               : 0;
}

ULONG CSrcIntegerFactor::UpStateSize()
{
    return StateSize(m_Factor, 1);
}

ULONG CSrcIntegerFactor::DownStateSize()
{
    return StateSize(1, m_Factor);
}

void CSrcIntegerFactor::Reset()
{
    const int32_t up = m_bUp ? int32_t(m_Factor) : 1;
    const int32_t down = m_bUp ? 1 : int32_t(m_Factor);
    for (ULONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c)
    {
        void *buffer = m_bUp ? m_pUpState[c] : m_pDownState[c];
        m_pState[c] = nullptr;
        if (buffer)
            dsp::firMultiRateInitF32(&m_pState[c], m_pTaps, int32_t(m_TapCount), up, 0, down, 0, nullptr,
                                     buffer);
    }
    CDspProcessor::Reset();
}

bool CSrcIntegerFactor::Process(ULONG channel, const float *input, ULONG *count)
{
    const ULONG F = m_Factor;
    dsp::FirState *state = m_pState[channel];
    float *ring = m_pRing[channel];
    ULONG &position = m_WritePosition[channel];
    ULONG remaining = *count, used = 0;
    if (!state || !ring || !input)
        remaining = 0;
    if (m_bUp)
    {
        while (remaining > 0 && RingFree(channel) >= F)
        {
            const ULONG n = std::min(remaining, RingFree(channel) / F);
            dsp::firFilterF32(input + used, ring + position, int32_t(n), state);
            dsp::mulConstInPlaceF32(float(F), ring + position, int32_t(n * F));
            position += n * F;
            used += n;
            remaining -= n;
        }
    }
    else
    {
        while (remaining >= F && RingFree(channel) > 0)
        {
            const ULONG n = std::min(remaining / F, RingFree(channel));
            dsp::firFilterF32(input + used, ring + position, int32_t(n), state);
            position += n;
            used += n * F;
            remaining -= n * F;
        }
    }
    *count = used;
    return true;
}

CSrcFactor2::CSrcFactor2() : CSrcIntegerFactor(2, kFactor2Taps.v, TAPS) {}

const float *CSrcFactor2::Taps()
{
    return kFactor2Taps.v;
}

CSrcFactor4::CSrcFactor4() : CSrcIntegerFactor(4, kFactor4Taps.v, TAPS) {}

const float *CSrcFactor4::Taps()
{
    return kFactor4Taps.v;
}

// ---- 147:160 -------------------------------------------------------------------------------------

const float *CSrc44k48k::UpRows()
{
    return kUpRows.v;
}

const float *CSrc44k48k::DownRows()
{
    return kDownRows.v;
}

ULONG CSrc44k48k::UpStateSize()
{
    int32_t size = 0;
    return dsp::firStateSizeF32(UP_TAPS, &size) == dsp::kOk ? ULONG(size) : 0;
}

ULONG CSrc44k48k::DownStateSize()
{
    int32_t size = 0;
    return dsp::firStateSizeF32(DOWN_TAPS, &size) == dsp::kOk ? ULONG(size) : 0;
}

void CSrc44k48k::Reset()
{
    for (ULONG c = 0; c < MAX_SOFTWARE_DSP_PROCESS_CHANNELS; ++c)
    {
        m_Phase[c] = 0;
        void *buffer = m_bUp ? m_pUpState[c] : m_pDownState[c];
        m_pState[c] = nullptr;
        // The state is kept for the record; Process runs the one-sample FIR on the rows directly.
        if (buffer)
            dsp::firInitF32(&m_pState[c], m_bUp ? kUpRows.v : kDownRows.v,
                            int32_t(m_bUp ? UP_TAPS : DOWN_TAPS), m_Delay[c], buffer);
        dsp::zeroF32(m_Delay[c], int32_t(2 * DOWN_TAPS));
        m_DelayIndex[c] = 0;
    }
    CDspProcessor::Reset();
}

bool CSrc44k48k::Process(ULONG channel, const float *input, ULONG *count)
{
    if (!m_pRing[channel] || !input)
        *count = 0;
    else if (m_bUp)
        ProcessUp(channel, input, count);
    else
        ProcessDown(channel, input, count);
    return true;
}

void CSrc44k48k::ProcessUp(ULONG channel, const float *input, ULONG *count)
{
    float *ring = m_pRing[channel];
    ULONG &position = m_WritePosition[channel];
    ULONG &phase = m_Phase[channel];
    int32_t &index = m_DelayIndex[channel];
    ULONG used = 0;
    while (used < *count && position < m_RingLength)
    {
        const int32_t before = index;
        dsp::firOneSampleF32(input[used], ring + position, kUpRows.v + phase * UP_TAPS, UP_TAPS,
                             m_Delay[channel], &index);
        ++position;
        phase += DOWN_PHASES;
        if (phase < UP_PHASES)
            index = before; // the same input feeds the next phase: its write is undone
        else
        {
            phase -= UP_PHASES;
            ++used;
        }
    }
    *count = used;
}

void CSrc44k48k::Push(ULONG channel, float sample)
{
    int32_t &index = m_DelayIndex[channel];
    m_Delay[channel][index] = sample;
    m_Delay[channel][index + DOWN_TAPS] = sample;
    index = (index + 1) % int32_t(DOWN_TAPS);
}

void CSrc44k48k::ProcessDown(ULONG channel, const float *input, ULONG *count)
{
    float *ring = m_pRing[channel];
    ULONG &position = m_WritePosition[channel];
    ULONG &phase = m_Phase[channel];
    const ULONG n = *count;
    ULONG used = 0;
    // A phase of 147 or more was left by a call whose input ended before the sample that the
    // next output skips; that sample is the first of this call.
    if (phase >= DOWN_PHASES && used < n)
    {
        Push(channel, input[used++]);
        phase -= DOWN_PHASES;
    }
    while (phase < DOWN_PHASES && used < n && position < m_RingLength)
    {
        dsp::firOneSampleF32(input[used++], ring + position, kDownRows.v + phase * DOWN_TAPS, DOWN_TAPS,
                             m_Delay[channel], &m_DelayIndex[channel]);
        ++position;
        phase += UP_PHASES - DOWN_PHASES;
        if (phase >= DOWN_PHASES && used < n)
        {
            Push(channel, input[used++]);
            phase -= DOWN_PHASES;
        }
    }
    *count = used;
}
