// The render stream of the effect headsets: the DSP chain over the client's channels, then the
// frames packed down to the two channels the device plays.
#include "driver/core/usb_audio_stream.h"

#include <usbd_lib.h>

namespace
{
void RunDspChain(PVOID context, float *const *channels, ULONG, ULONG frames)
{
    DspChainProcess(static_cast<DspChain *>(context), channels, int32_t(frames));
}

BOOLEAN IsPcm(const WAVEFORMATEXTENSIBLE &format)
{
    const USHORT tag = format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? USHORT(format.SubFormat.Data1)
                                                                          : format.Format.wFormatTag;
    return tag == WAVE_FORMAT_PCM;
}
} // namespace

NTSTATUS CUac1DspRenderStream::PrepareFormat(StreamClientRecord *client, PULONG currentFrame)
{
    // The chain works in the engine's channel buffers; they are made once, before the first block.
    if (m_Engine && !NT_SUCCESS(m_Engine->PrepareBuffers()))
        return STATUS_INSUFFICIENT_RESOURCES;
    m_LoggedUnpacked = FALSE;
    return CUac1RenderStream::PrepareFormat(client, currentFrame);
}

NTSTATUS CUac1DspRenderStream::SubmitTransfer()
{
    return SubmitWith(
        [this](IsoTransfer *transfer)
        {
            const ULONG packets = m_FramesPerTransfer * m_PacketsPerFrame;
            // The client's bytes stay the transfer's: they are the position it moved.
            ULONG bytes = FillRenderTransfer(transfer, packets);
            const WAVEFORMATEX &f = m_CurrentFormat.Format;
            if (Packs())
            {
                if (m_DspReady)
                    m_Engine->ProcessChunks(transfer->Buffer, bytes, RunDspChain, m_DspChain);
                bytes = PackToStereo(transfer->Urb, transfer->Buffer, packets);
            }
            else if (!m_LoggedUnpacked)
            {
                m_LoggedUnpacked = TRUE;
                DbgPrint("DSP render passes tag %u, %u channels unprocessed\n", unsigned(f.wFormatTag),
                         unsigned(f.nChannels));
            }
            SendTransfer(transfer, packets, USBD_TRANSFER_DIRECTION_OUT, bytes);
        });
}

BOOLEAN CUac1DspRenderStream::Packs() const
{
    const WAVEFORMATEX &f = m_CurrentFormat.Format;
    return IsPcm(m_CurrentFormat) && f.nChannels >= 2 && f.nBlockAlign % f.nChannels == 0;
}

ULONG CUac1DspRenderStream::WireBlockAlign() const
{
    const WAVEFORMATEX &f = m_CurrentFormat.Format;
    return Packs() ? 2 * (f.nBlockAlign / f.nChannels) : f.nBlockAlign;
}

ULONG CUac1DspRenderStream::PackToStereo(PURB urb, PUCHAR buffer, ULONG packets)
{
    const WAVEFORMATEX &f = m_CurrentFormat.Format;
    const ULONG frameBytes = f.nBlockAlign;
    const ULONG keep = 2 * (frameBytes / f.nChannels); // the first two samples of a frame
    ULONG packed = 0;
    for (ULONG i = 0; i < packets; ++i)
    {
        USBD_ISO_PACKET_DESCRIPTOR &packet = urb->UrbIsochronousTransfer.IsoPacket[i];
        const ULONG frames = packet.Length / frameBytes;
        const PUCHAR from = buffer + packet.Offset;
        packet.Offset = packed;
        packet.Length = frames * keep;
        // The packed frames never pass the ones still to be read, so the copy runs forward in place.
        for (ULONG n = 0; n < frames; ++n)
            RtlMoveMemory(buffer + packed + n * keep, from + n * frameBytes, keep);
        packed += packet.Length;
    }
    return packed;
}
