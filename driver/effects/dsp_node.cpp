#include "driver/effects/dsp_node.h"

#include "driver/base/pool_memory.h"
#include "dsp/dispatch/primitives.h"

CDspNode::CDspNode(PUNKNOWN outerUnknown, ULONG id) : CByteControlNode(outerUnknown, id, NODE_KIND_MUTE) {}

NTSTATUS CDspNode::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    return AnswerNode(iid, object, static_cast<ISwitchValue *>(this),
                      {{IID_ISwitchValue, static_cast<ISwitchValue *>(this)},
                       {IID_IStateTarget, static_cast<IStateTarget *>(this)},
                       {IID_IProcessingNode, static_cast<IProcessingNode *>(this)}});
}

NTSTATUS CDspNode::Init(ULONG sourceId, ULONG size)
{
    if (size != 1)
        return STATUS_INSUFFICIENT_RESOURCES;
    return InstallBytes(sourceId, 1, PoolTag::DSPs);
}

NTSTATUS CDspNode::ProcessBuffers(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames)
{
    if (!format || !buffers)
        return STATUS_INVALID_PARAMETER;
    if (!m_Bytes || !m_Bytes[0])
        return STATUS_SUCCESS;
    return SilenceBlock(format, buffers, frames);
}

NTSTATUS SilenceBlock(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames)
{
    if (!format || !buffers)
        return STATUS_INVALID_PARAMETER;
    if (!frames)
        return STATUS_SUCCESS;
    if (SampleTypeOf(*format) == WAVE_FORMAT_PCM)
    {
        const ULONG channels = format->Format.nChannels;
        if (channels > DSP_NODE_MAX_CHANNELS)
            return STATUS_INVALID_PARAMETER;
        for (ULONG channel = 0; channel < channels; ++channel)
            if (dsp::zeroF32(buffers[channel], int32_t(frames)) < 0)
                return STATUS_UNSUCCESSFUL;
        return STATUS_SUCCESS;
    }
    if (!buffers[0])
        return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(buffers[0], SIZE_T(frames) * format->Format.nBlockAlign);
    return STATUS_SUCCESS;
}
