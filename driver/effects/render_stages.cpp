#include "driver/effects/render_stages.h"

#include "dsp/dispatch/primitives.h"

NTSTATUS CHardwareMuteStage::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<IProcessingNode *>(this),
                           {{IID_IProcessingNode, static_cast<IProcessingNode *>(this)},
                            {IID_IHardwareMuteStage, static_cast<IHardwareMuteStage *>(this)}});
}

NTSTATUS CHardwareMuteStage::ProcessBuffers(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames)
{
    if (!format || !buffers)
        return STATUS_INVALID_PARAMETER;
    const LONG mode = m_Mode;
    if (SampleTypeOf(*format) != WAVE_FORMAT_PCM ||
        (mode != HARDWARE_MUTE_ATTENUATE && mode != HARDWARE_MUTE_SILENCE))
        return STATUS_SUCCESS;
    for (ULONG channel = 0; channel < format->Format.nChannels; ++channel)
    {
        if (!buffers[channel])
            continue;
        if (mode == HARDWARE_MUTE_ATTENUATE)
            dsp::mulConstInPlaceF32(0.25f, buffers[channel], int32_t(frames));
        else
            dsp::zeroF32(buffers[channel], int32_t(frames));
    }
    return STATUS_SUCCESS;
}

NTSTATUS CChannelSwapStage::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerInterface(iid, object, static_cast<IProcessingNode *>(this),
                           {{IID_IProcessingNode, static_cast<IProcessingNode *>(this)}});
}

NTSTATUS CChannelSwapStage::ProcessBuffers(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames)
{
    if (!format || !buffers)
        return STATUS_INVALID_PARAMETER;
    if (SampleTypeOf(*format) != WAVE_FORMAT_PCM || format->Format.nChannels != 8)
        return STATUS_SUCCESS;
    for (ULONG pair = 4; pair < 6; ++pair)
    {
        float *a = buffers[pair], *b = buffers[pair + 2];
        if (!a || !b)
            continue;
        for (ULONG i = 0; i < frames; ++i)
        {
            const float t = a[i];
            a[i] = b[i];
            b[i] = t;
        }
    }
    return STATUS_SUCCESS;
}
