// The S/PDIF render stream of the class 1.0 headsets: its format list follows the terminal type
// the endpoint is named for.
#include "driver/core/usb_audio_stream.h"

#include "driver/base/pool_memory.h"

namespace
{
constexpr USHORT kDolbyAc3Spdif = 0x0092;
constexpr ULONG kSpeakers = 1;
constexpr ULONG kHeadphones = 2;
constexpr ULONG kSpdifInterface = 3;

// The stereo 16-bit extensible records this stream adds. The AC-3 records carry no extension
// (cbSize 0), so a lookup compares only their 18-byte head.
WAVEFORMATEXTENSIBLE SpdifRecord(ULONG rate, USHORT tag, USHORT cbSize, ULONG channelMask)
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = 2;
    f.Format.nSamplesPerSec = rate;
    f.Format.nAvgBytesPerSec = rate * 4;
    f.Format.nBlockAlign = 4;
    f.Format.wBitsPerSample = 16;
    f.Format.cbSize = cbSize;
    f.Samples.wValidBitsPerSample = 16;
    f.dwChannelMask = channelMask;
    f.SubFormat = SubFormatForTag(tag);
    return f;
}

struct SpdifFormat
{
    ULONG Rate;
    USHORT Tag;
    USHORT CbSize;
    ULONG ChannelMask;
    UCHAR AlternateSetting;
};
constexpr SpdifFormat kPcm96k = {96000, WAVE_FORMAT_PCM, 22, 3, 5};
constexpr SpdifFormat kAc3[] = {
    {44100, kDolbyAc3Spdif, 0, 0, 2},
    {48000, kDolbyAc3Spdif, 0, 0, 2},
    {96000, kDolbyAc3Spdif, 0, 0, 5},
};

BOOLEAN IsAc3(const WAVEFORMATEXTENSIBLE &format, PVOID)
{
    // Format records are packed: the GUID is compared as bytes, never bound where it may be misaligned.
    const GUID ac3 = SubFormatForTag(kDolbyAc3Spdif);
    return format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
           RtlCompareMemory(&format.SubFormat, &ac3, sizeof(ac3)) == sizeof(ac3);
}

BOOLEAN IsSameRecord(const WAVEFORMATEXTENSIBLE &format, PVOID context)
{
    return RtlCompareMemory(&format, context, sizeof(format)) == sizeof(format);
}

// The engine part of the S/PDIF stream: after a name is stored, the stream follows the type.
class CSpdifStreamEngine : public CStreamEngine
{
public:
    CSpdifStreamEngine(PUNKNOWN outer, ULONG value, CUac1RenderStreamEx *stream)
        : CStreamEngine(outer, value), m_Stream(stream)
    {
    }
    NTSTATUS SetName(PCWSTR name) override
    {
        const NTSTATUS status = CStreamEngine::SetName(name);
        if (!NT_SUCCESS(status))
            return status;
        return m_Stream->FollowTerminalType();
    }

private:
    CUac1RenderStreamEx *m_Stream; // the owner, which outlives its engine part
};
} // namespace

CStreamEngine *CUac1RenderStreamEx::NewEngine()
{
    return new (NonPagedPool, PoolTag::USBS) CSpdifStreamEngine(GetOuterUnknown(), m_Value, this);
}

NTSTATUS CUac1RenderStreamEx::FollowTerminalType()
{
    PAGED_CODE();
    if (!m_Engine)
        return STATUS_UNSUCCESSFUL;
    const ULONG type = m_Engine->GetTerminalType();
    if (type != kSpeakers && type != kHeadphones && type != kSpdifInterface)
        return STATUS_SUCCESS;
    // Clients look formats up under the stream lock; the lists change only under it.
    m_Engine->StreamLock().Lock();
    RemoveStreamFormats(IsAc3, nullptr);
    NTSTATUS status = STATUS_SUCCESS;
    if (type == kSpdifInterface)
    {
        // Named again with the same type, the 96 kHz entry replaces itself rather than repeating.
        WAVEFORMATEXTENSIBLE pcm =
            SpdifRecord(kPcm96k.Rate, kPcm96k.Tag, kPcm96k.CbSize, kPcm96k.ChannelMask);
        RemoveStreamFormats(IsSameRecord, &pcm);
        status = AddStreamFormat(pcm, kPcm96k.AlternateSetting);
    }
    if (type != kSpeakers)
        for (const SpdifFormat &f : kAc3)
        {
            if (!NT_SUCCESS(status))
                break;
            status = AddStreamFormat(SpdifRecord(f.Rate, f.Tag, f.CbSize, f.ChannelMask), f.AlternateSetting);
        }
    // Half an AC-3 set would offer formats the device cannot be switched to as a whole.
    if (!NT_SUCCESS(status))
        RemoveStreamFormats(IsAc3, nullptr);
    m_Engine->StreamLock().Unlock();
    return status;
}
