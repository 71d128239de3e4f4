#include "driver/effects/dsp_interleave_src.h"

#include <algorithm>
#include <new>

#include "dsp/dispatch/primitives.h"

namespace
{

const char kSetFormat[] = "CDspInterleaveSrc::SetFormat";

bool IsPcmOrFloat(const WAVEFORMATEXTENSIBLE &format)
{
    const USHORT type = SampleTypeOf(format);
    return type == WAVE_FORMAT_PCM || type == WAVE_FORMAT_IEEE_FLOAT;
}

// The multiple of its family's base rate (1, 2 or 4), 0 for a rate not in the list.
ULONG RateMultiple(ULONG rate, ULONG base)
{
    for (ULONG m : {1u, 2u, 4u})
        if (rate == base * m)
            return m;
    return 0;
}

bool RateInList(ULONG rate)
{
    return RateMultiple(rate, 44100) || RateMultiple(rate, 48000);
}

bool BitsInList(USHORT bits)
{
    return bits == 16 || bits == 24 || bits == 32;
}

// One stage object ("SRCX") with its buffers allocated straight after it.
template <typename T> bool CreateStage(T *&stage)
{
    stage = new (NonPagedPool, PoolTag::SRCX) T;
    return stage && stage->AllocateBuffers();
}

} // namespace

NTSTATUS CreateSampleRateChain(IRateChain **chain)
{
    if (!chain)
        return STATUS_INVALID_PARAMETER;
    *chain = nullptr;
    auto *made = new (NonPagedPool, PoolTag::CCST) CDspInterleaveSrc;
    if (!made)
        return STATUS_INSUFFICIENT_RESOURCES;
    if (!made->Init())
    {
        delete made; // Release takes what the partial Init made
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *chain = made;
    return STATUS_SUCCESS;
}

bool CDspInterleaveSrc::Init()
{
    if (m_bInitialized)
        return false;
    if (!CreateStage(m_pSplit) || !CreateStage(m_pSrcFactor2) || !CreateStage(m_pSrcFactor4) ||
        !CreateStage(m_pSrc44k48k))
        return false;
    m_pWorkBuffer = static_cast<float *>(AllocPoolZeroed(WORK_BUFFER_BYTES, NonPagedPool, PoolTag::DSPS));
    if (!m_pWorkBuffer)
        return false;
    m_bInitialized = 1;
    return true;
}

void CDspInterleaveSrc::Release()
{
    FreePool(m_pWorkBuffer);
    m_pWorkBuffer = nullptr;
    delete m_pSplit;
    delete m_pSrc44k48k;
    delete m_pSrcFactor4;
    delete m_pSrcFactor2;
    m_pSplit = nullptr;
    m_pSrc44k48k = nullptr;
    m_pSrcFactor4 = nullptr;
    m_pSrcFactor2 = nullptr;
    for (CDspProcessor *&stage : m_pStage)
        stage = nullptr;
    m_bConfigured = 0;
    m_bInitialized = 0;
}

void CDspInterleaveSrc::ResetStages()
{
    for (CDspProcessor *stage :
         {static_cast<CDspProcessor *>(m_pSrcFactor2), static_cast<CDspProcessor *>(m_pSrcFactor4),
          static_cast<CDspProcessor *>(m_pSrc44k48k), static_cast<CDspProcessor *>(m_pSplit)})
        if (stage)
            stage->Reset();
    m_PendingCount = 0;
}

bool CDspInterleaveSrc::SetFormat(WAVEFORMATEXTENSIBLE first, WAVEFORMATEXTENSIBLE second)
{
    // Whatever happens below, nothing may run at the ratio of an earlier format.
    m_bConfigured = 0;
    const char *refusal = nullptr;
    if (!IsPcmOrFloat(first))
        refusal = "%s Tag not PCM\n";
    else if (first.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS)
        refusal = "%s InFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n";
    else if (!RateInList(first.Format.nSamplesPerSec))
        refusal = "%s InFormat.Format.nSamplesPerSec not in List\n";
    else if (!BitsInList(first.Format.wBitsPerSample))
        refusal = "%s InFormat.Format.wBitsPerSample not in List\n";
    else if (!IsPcmOrFloat(second))
        refusal = "%s Output Tag not PCM\n";
    else if (second.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS)
        refusal = "%s Output OutFormat.Format.nChannels > MAX_SOFTWARE_DSP_PROCESS_CHANNELS\n";
    else if (!RateInList(second.Format.nSamplesPerSec))
        refusal = "%s OutFormat.Format.nSamplesPerSec not in List\n";
    else if (!BitsInList(second.Format.wBitsPerSample))
        return false; // an output depth the stages cannot give is refused without a message
    if (refusal)
    {
        DbgPrint(refusal, kSetFormat);
        return false;
    }

    m_InFormat = first;
    m_OutFormat = second;
    // A chain whose Init failed has converters missing: it configures nothing.
    if (!m_bInitialized || !m_pSplit || !m_pSplit->SetFormat(first, second))
    {
        DbgPrint("%s m_pSplit->SetFormat False\n", kSetFormat);
        return false;
    }

    ResetStages();
    m_pStage[0] = m_pSplit;
    m_pStage[1] = m_pStage[2] = nullptr;

    const ULONG in = first.Format.nSamplesPerSec, out = second.Format.nSamplesPerSec;
    const bool in44 = RateMultiple(in, 44100) != 0, out44 = RateMultiple(out, 44100) != 0;
    const ULONG inMul = RateMultiple(in, in44 ? 44100 : 48000);
    const ULONG outMul = RateMultiple(out, out44 ? 44100 : 48000);
    auto integer = [this](ULONG ratio) -> CDspProcessor *
    { return ratio == 2 ? static_cast<CDspProcessor *>(m_pSrcFactor2) : m_pSrcFactor4; };
    if (in44 == out44)
    {
        if (inMul != outMul)
            Install(integer(std::max(inMul, outMul) / std::min(inMul, outMul)), outMul > inMul, nullptr,
                    false);
    }
    else
    {
        // The 147:160 step works between the two lower rates: first when the multiple rises,
        // after the decimation when it falls.
        const bool up = in44; // 44.1 kHz family to 48 kHz family
        if (outMul > inMul)
            Install(m_pSrc44k48k, up, integer(outMul / inMul), true);
        else if (outMul < inMul)
            Install(integer(inMul / outMul), false, m_pSrc44k48k, up);
        else
            Install(m_pSrc44k48k, up, nullptr, false);
    }
    m_bConfigured = 1;
    return true;
}

void CDspInterleaveSrc::Install(CDspProcessor *stage1, bool up1, CDspProcessor *stage2, bool up2)
{
    m_pStage[1] = stage1;
    stage1->SetDirection(up1);
    stage1->Reset();
    if (stage2)
    {
        m_pStage[2] = stage2;
        stage2->SetDirection(up2);
        stage2->Reset();
    }
}

CDspProcessor *CDspInterleaveSrc::Last() const
{
    return m_pStage[2] ? m_pStage[2] : m_pStage[1] ? m_pStage[1] : m_pStage[0];
}

ULONG CDspInterleaveSrc::DecimationFactor() const
{
    const CDspProcessor *first = m_pStage[1];
    if (first && !first->IsUp() && (first == m_pSrcFactor2 || first == m_pSrcFactor4))
        return static_cast<const CSrcIntegerFactor *>(first)->Factor();
    return 0;
}

ULONG CDspInterleaveSrc::FeedFirst(const float *const in[], ULONG offset, ULONG frames)
{
    const ULONG channels = InputChannels();
    CDspProcessor *first = m_pStage[1] ? m_pStage[1] : m_pStage[0];
    if (!m_pStage[1])
    {
        ULONG taken = 0;
        for (ULONG c = 0; c < channels; ++c)
            taken = first->Append(c, in[c] + offset, frames);
        return taken;
    }
    const ULONG factor = DecimationFactor();
    if (factor && m_PendingCount > 0)
    {
        // Complete the held group from the new input and offer it first.
        const ULONG need = factor - m_PendingCount;
        if (frames < need)
        {
            for (ULONG c = 0; c < channels; ++c)
                dsp::copyF32(in[c] + offset, m_Pending[c] + m_PendingCount, int32_t(frames));
            m_PendingCount += frames;
            return frames;
        }
        ULONG consumed = 0;
        for (ULONG c = 0; c < channels; ++c)
        {
            float group[4];
            dsp::copyF32(m_Pending[c], group, int32_t(m_PendingCount));
            dsp::copyF32(in[c] + offset, group + m_PendingCount, int32_t(need));
            consumed = factor;
            first->Process(c, group, &consumed);
        }
        if (consumed == 0)
            return 0; // ring full: the group stays held, the new frames are not taken
        m_PendingCount = 0;
        return need;
    }
    ULONG consumed = 0;
    for (ULONG c = 0; c < channels; ++c)
    {
        consumed = frames;
        first->Process(c, in[c] + offset, &consumed);
    }
    if (factor && frames - consumed < factor && frames > consumed)
    {
        const ULONG rest = frames - consumed;
        for (ULONG c = 0; c < channels; ++c)
            dsp::copyF32(in[c] + offset + consumed, m_Pending[c], int32_t(rest));
        m_PendingCount = rest;
        consumed = frames;
    }
    return consumed;
}

void CDspInterleaveSrc::PassToSecond()
{
    CDspProcessor *first = m_pStage[1], *second = m_pStage[2];
    if (!second)
        return;
    for (ULONG c = 0; c < InputChannels(); ++c)
    {
        ULONG count = first->WritePosition(c);
        if (count == 0)
            continue;
        second->Process(c, first->Ring(c), &count);
        first->Consume(c, count);
    }
}

ULONG CDspInterleaveSrc::Feed(const float *const in[], ULONG frames)
{
    if (!Moving() || !in)
        return 0;
    for (ULONG c = 0; c < InputChannels(); ++c)
        if (!in[c])
            return 0;
    ULONG taken = 0;
    for (;;)
    {
        PassToSecond(); // room in the first ring before it takes more
        if (taken == frames)
            break;
        const ULONG got = FeedFirst(in, taken, frames - taken);
        if (got == 0)
            break;
        taken += got;
    }
    return taken;
}

ULONG CDspInterleaveSrc::Available() const
{
    return Moving() ? Last()->WritePosition(0) : 0;
}

ULONG CDspInterleaveSrc::Drain(float *const out[], ULONG maxFrames)
{
    if (!out)
        return 0;
    for (ULONG c = 0; c < OutputChannels(); ++c)
        if (!out[c])
            return 0;
    ULONG moved = 0;
    while (moved < maxFrames)
    {
        const ULONG n = std::min(Available(), maxFrames - moved);
        if (n == 0)
            break;
        CDspProcessor *last = Last();
        for (ULONG c = 0; c < OutputChannels(); ++c)
        {
            if (c < InputChannels())
                dsp::copyF32(last->Ring(c), out[c] + moved, int32_t(n));
            else
                dsp::zeroF32(out[c] + moved, int32_t(n));
        }
        for (ULONG c = 0; c < InputChannels(); ++c)
            last->Consume(c, n);
        moved += n;
        PassToSecond(); // what waited in the first ring for room
    }
    return moved;
}

ULONG CDspInterleaveSrc::StageInputFor(const CDspProcessor *stage, ULONG outputs) const
{
    if (outputs == 0)
        return 0;
    const uint64_t m = outputs;
    if (stage == m_pSrc44k48k)
    {
        // Up: output j lies at 147 j + P on the 160-per-input grid; it needs input (147 j + P) / 160.
        // Down: output j lies at 160 j + P on the 147-per-input grid.
        const uint64_t phase = m_pSrc44k48k->Phase(0);
        return stage->IsUp() ? ULONG((147 * (m - 1) + phase) / 160 + 1)
                             : ULONG((phase + 160 * (m - 1)) / 147 + 1);
    }
    const uint64_t factor = static_cast<const CSrcIntegerFactor *>(stage)->Factor();
    if (stage->IsUp())
        return ULONG((m + factor - 1) / factor);
    const uint64_t need = m * factor;
    return need > m_PendingCount ? ULONG(need - m_PendingCount) : 0;
}

ULONG CDspInterleaveSrc::InputFor(ULONG outFrames) const
{
    if (!Moving())
        return 0;
    const ULONG available = Available();
    if (available >= outFrames)
        return 0;
    ULONG need = outFrames - available;
    if (m_pStage[2])
    {
        const ULONG second = StageInputFor(m_pStage[2], need);
        const ULONG waiting = m_pStage[1]->WritePosition(0);
        need = second > waiting ? second - waiting : 0;
    }
    return m_pStage[1] ? StageInputFor(m_pStage[1], need) : need;
}
