// The adapter's private streaming interface: the requests that read and change the low-latency
// settings. Buffers, start and stop are in asio_streams.cpp. Every operation runs under the adapter's
// Lock at PASSIVE_LEVEL and finds its client by the file object first.
#include <pc_wave_format.h>

#include "driver/base/pool_memory.h"
#include "driver/base/usb_vendor_ids.h"
#include "driver/core/asio_internal.h"
#include "driver/core/driver_entry.h"
#include "driver/core/settings.h"
#include "driver/core/usb_descriptor_reader.h"
#include "driver/core/usb_audio_adapter.h"

namespace
{

const char kFixedDriverName[] = "Salvine USB ASIO Device";
constexpr USHORT kEnglish = 0x0409;
constexpr ULONG kStringRequestBytes = 256;
// Sample types a stream can offer, in the order the list reports them.
const ULONG kListedSampleTypes[] = {16, 17, 24, 27, 18};

// The sample type a PCM format carries: its container size, then its valid bits.
ULONG SampleTypeOfFormat(const WAVEFORMATEXTENSIBLE &format)
{
    switch (format.Format.wBitsPerSample)
    {
    case 16:
        return 16;
    case 24:
        return 17;
    case 32:
        return format.Samples.wValidBitsPerSample == 16   ? 24
               : format.Samples.wValidBitsPerSample == 24 ? 27
                                                          : 18;
    default:
        return 0;
    }
}

// The variable-size protocol: a zero length asks for the size, a short buffer is refused.
NTSTATUS SizeProtocol(ULONG needed, ULONG outLength, PULONG_PTR information)
{
    if (outLength == 0)
    {
        *information = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    return outLength < needed ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

} // namespace

// ---- Helpers shared with the stream half ---------------------------------------------------------------

bool AsioIsPcmFormat(const WAVEFORMATEXTENSIBLE &format)
{
    return format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE &&
           format.SubFormat == SubFormatForTag(WAVE_FORMAT_PCM);
}

bool AsioIsDsdFormat(const WAVEFORMATEXTENSIBLE &format)
{
    GUID raw = SubFormatForTag(0);
    raw.Data1 = SalvineVendorId;
    return format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE && format.SubFormat == raw;
}

bool AsioIsSampleType(ULONG type)
{
    return type == 16 || type == 17 || type == 18 || (type >= 24 && type <= 27);
}

ULONG AsioBytesPerSample(ULONG sampleType)
{
    return sampleType == 16 ? 2 : sampleType == 17 ? 3 : 4;
}

bool CUsbAudioAdapter::ServingStream(ULONG index, IStreamEngine **engine, PULONG channels)
{
    ULONG info[HAL_INFO_WORDS] = {};
    if (!NT_SUCCESS(GetStreamInfo(index, info)) || !(info[STREAM_INFO_WORD_ASIO] & STREAM_INFO_ASIO_CAPABLE))
        return false;
    IStreamEngine *found = nullptr;
    if (!NT_SUCCESS(GetEngine(index, &found)) || !found)
        return false;
    // A stream's channel count is that of its largest format.
    ULONG most = 0;
    for (ULONG i = 0, n = found->GetFormatCount(); i < n; ++i)
    {
        WAVEFORMATEXTENSIBLE format = {};
        if (NT_SUCCESS(found->GetFormat(i, &format)) && format.Format.nChannels > most)
            most = format.Format.nChannels;
    }
    *engine = found;
    *channels = most;
    return true;
}

void CUsbAudioAdapter::NotifyClients()
{
    for (PLIST_ENTRY entry = m_Clients.Flink; entry != &m_Clients; entry = entry->Flink)
    {
        auto *client = CONTAINING_RECORD(entry, AsioClientRecord, Links);
        if (client->NotifyEvent)
            KeSetEvent(client->NotifyEvent, 8, FALSE);
    }
}

// A rate suits PCM below the one-bit rate and DSD from it on; lower than 8000 Hz serves nobody and
// would make the per-millisecond frame count zero.
NTSTATUS CUsbAudioAdapter::CheckRate(const AsioClientRecord *client, ULONG rate)
{
    if (rate < ASIO_MIN_SAMPLE_RATE)
        return STATUS_INVALID_PARAMETER;
    const bool dsd = client->IoFormat == ASIO_IO_DSD;
    return dsd == (rate >= ASIO_DSD_MIN_RATE) ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
}

// Every serving stream needs a format of the client's kind at the rate. A DSD format carries the
// one-bit rate / 64 as its sample rate, whatever its bits and channels.
NTSTATUS CUsbAudioAdapter::MatchRate(const AsioClientRecord *client, ULONG rate)
{
    const bool dsd = client->IoFormat == ASIO_IO_DSD;
    const bool all = ServingStreamsOffer(
        true,
        [&](const WAVEFORMATEXTENSIBLE &format)
        {
            return dsd ? AsioIsDsdFormat(format) && format.Format.nSamplesPerSec == rate / 64
                       : AsioIsPcmFormat(format) && format.Format.nSamplesPerSec == rate;
        });
    return all ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

// Minimum, maximum, preferred and granularity in frames at the client's rate. A DSD frame is 64
// one-bit samples per channel: k counts multiples of the 64 × 44.1 kHz (or 64 × 48 kHz) rate.
NTSTATUS CUsbAudioAdapter::BufferSizes(const AsioClientRecord *client, ULONG sizes[4])
{
    const ULONG rate = client->SampleRate;
    if (!NT_SUCCESS(CheckRate(client, rate)))
        return STATUS_INVALID_PARAMETER;
    const ULONG index = m_LatencyIndex < ASIO_LATENCY_ENTRIES ? m_LatencyIndex : ASIO_DEFAULT_LATENCY_INDEX;
    if (client->IoFormat != ASIO_IO_DSD)
    {
        const ULONG perMs = rate / 1000;
        sizes[0] = perMs * kAsioLatencyMs[0];
        sizes[1] = perMs * kAsioLatencyMs[ASIO_LATENCY_ENTRIES - 1];
        sizes[2] = perMs * kAsioLatencyMs[index];
        sizes[3] = 1;
        return STATUS_SUCCESS;
    }
    ULONG base = 0, k = 0;
    if (rate % ASIO_DSD_MIN_RATE == 0)
        base = 44, k = rate / ASIO_DSD_MIN_RATE;
    else if (rate % (64 * 48000) == 0)
        base = 48, k = rate / (64 * 48000);
    else
        return STATUS_INVALID_PARAMETER;
    sizes[0] = kAsioLatencyMs[1] * k * base;
    sizes[1] = kAsioLatencyMs[ASIO_LATENCY_ENTRIES - 1] * k * base;
    sizes[2] = kAsioLatencyMs[index > 1 ? index : 1] * k * base;
    sizes[3] = k;
    return STATUS_SUCCESS;
}

// ---- Requests ---------------------------------------------------------------------------------------

NTSTATUS CUsbAudioAdapter::GetDriverName(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG outLength,
                                         PULONG_PTR information)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *) -> NTSTATUS
                 {
                     const USB_DEVICE_IDENTITY identity = m_Layer.GetIdentity();
                     auto *out = static_cast<PCHAR>(buffer);
                     if (identity.ProductIndex == 0)
                     {
                         const ULONG needed = sizeof kFixedDriverName;
                         if (outLength == 0)
                             return SizeProtocol(needed, 0, information);
                         // The fixed name is cut to fit and always terminated.
                         const ULONG copied = outLength < needed ? outLength - 1 : needed - 1;
                         RtlCopyMemory(out, kFixedDriverName, copied);
                         out[copied] = 0;
                         *information = copied + 1;
                         return STATUS_SUCCESS;
                     }
                     USB_STRING_TEXT text = {};
                     NTSTATUS status =
                         UsbReadString(&m_Layer, identity.ProductIndex, kEnglish, kStringRequestBytes,
                                       kStringRequestBytes, PoolTag::USBd, PoolTag::USBd, &text);
                     if (!NT_SUCCESS(status))
                         return status;
                     ULONG characters = text.Characters;
                     while (characters && text.Text[characters - 1] == u' ')
                         --characters;
                     const ULONG needed = characters + 1;
                     status = SizeProtocol(needed, outLength, information);
                     if (status == STATUS_SUCCESS)
                     {
                         // Code units outside ANSI become '?', as the platform's conversion does.
                         for (ULONG i = 0; i < characters; ++i)
                             out[i] = text.Text[i] < 0x80 ? CHAR(text.Text[i]) : '?';
                         out[characters] = 0;
                         *information = needed;
                     }
                     UsbFreeString(&text);
                     return status;
                 });
}

NTSTATUS CUsbAudioAdapter::GetChannels(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG outLength,
                                       PULONG_PTR information)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *) -> NTSTATUS
                 {
                     if (outLength != 16)
                         return STATUS_INVALID_PARAMETER;
                     ULONG counts[4] = {};
                     IStreamEngine *engine = nullptr;
                     ULONG channels = 0;
                     for (ULONG index = 0, n = GetEngineCount(); index < n; ++index)
                         if (ServingStream(index, &engine, &channels))
                         {
                             ++counts[0];
                             counts[engine->GetEngineId() == 1 ? 2 : 1] += channels;
                         }
                     RtlCopyMemory(buffer, counts, sizeof counts);
                     *information = sizeof counts;
                     return STATUS_SUCCESS;
                 });
}

NTSTATUS CUsbAudioAdapter::GetChannelInfo(PFILE_OBJECT file, PVOID buffer, ULONG inLength, ULONG outLength,
                                          PULONG_PTR information)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     if (inLength < 8 || outLength != ASIO_CHANNEL_INFO_BYTES)
                         return STATUS_INVALID_PARAMETER;
                     const ULONG channel = AsioReadWord(buffer, 0);
                     const ULONG capture = AsioReadWord(buffer, 1) ? 1 : 0;
                     IStreamEngine *engine = nullptr;
                     ULONG channels = 0, first = 0;
                     for (ULONG index = 0, n = GetEngineCount(); index < n; ++index)
                     {
                         if (!ServingStream(index, &engine, &channels) || engine->GetEngineId() != capture)
                             continue;
                         if (channel - first < channels)
                         {
                             WCHAR name[ENGINE_NAME_CHARS] = {};
                             if (!NT_SUCCESS(engine->GetName(name)))
                                 name[0] = 0;
                             name[ENGINE_NAME_CHARS - 1] = 0;
                             ULONG words[5] = {channel, capture, m_OwnerActive ? 1u : 0u, 0,
                                               client->IoFormat == ASIO_IO_DSD ? ASIO_SAMPLE_TYPE_DSD
                                                                               : m_EffectiveSampleType};
                             auto *out = static_cast<PUCHAR>(buffer);
                             RtlCopyMemory(out, words, sizeof words);
                             // Bounded: a long filter name is cut and the text stays terminated within its 32
                             // bytes.
                             auto *text = reinterpret_cast<PCHAR>(out + sizeof words);
                             RtlZeroMemory(text, ASIO_CHANNEL_NAME_BYTES);
                             RtlStringCbPrintfA(text, ASIO_CHANNEL_NAME_BYTES, "%ws_%02d ch", name,
                                                int(channel - first));
                             *information = ASIO_CHANNEL_INFO_BYTES;
                             return STATUS_SUCCESS;
                         }
                         first += channels;
                     }
                     return STATUS_INVALID_PARAMETER;
                 });
}

NTSTATUS CUsbAudioAdapter::SetNotifyEvent(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG, PULONG_PTR)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     if (client->NotifyEvent)
                         return STATUS_INVALID_PARAMETER;
                     return AsioReferenceEvent(AsioReadWord(buffer, 0), &client->NotifyEvent);
                 });
}

NTSTATUS CUsbAudioAdapter::ClearNotifyEvent(PFILE_OBJECT file, PVOID, ULONG, ULONG, PULONG_PTR)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     if (!client->NotifyEvent)
                         return STATUS_INVALID_PARAMETER;
                     ObDereferenceObject(client->NotifyEvent);
                     client->NotifyEvent = nullptr;
                     return STATUS_SUCCESS;
                 });
}

NTSTATUS CUsbAudioAdapter::GetOwnerActive(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG outLength,
                                          PULONG_PTR information)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *) -> NTSTATUS
                 {
                     const NTSTATUS status = SizeProtocol(sizeof(ULONG), outLength, information);
                     if (status != STATUS_SUCCESS)
                         return status;
                     AsioWriteWord(buffer, 0, m_OwnerActive ? 1 : 0);
                     *information = sizeof(ULONG);
                     return STATUS_SUCCESS;
                 });
}

NTSTATUS CUsbAudioAdapter::GetSampleTypes(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG outLength,
                                          PULONG_PTR information)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     ULONG offered[sizeof kListedSampleTypes / sizeof kListedSampleTypes[0]] = {};
                     ULONG count = 0;
                     for (ULONG type : kListedSampleTypes)
                         if (ServingStreamsOffer(
                                 false, [&](const WAVEFORMATEXTENSIBLE &format)
                                 { return AsioIsPcmFormat(format) && SampleTypeOfFormat(format) == type; }))
                             offered[count++] = type;
                     const ULONG needed = 8 + 4 * count;
                     const NTSTATUS status = SizeProtocol(needed, outLength, information);
                     if (status != STATUS_SUCCESS)
                         return status;
                     client->SampleType = m_RequestedSampleType;
                     AsioWriteWord(buffer, 0, m_RequestedSampleType);
                     AsioWriteWord(buffer, 1, count);
                     for (ULONG i = 0; i < count; ++i)
                         AsioWriteWord(buffer, 2 + i, offered[i]);
                     *information = needed;
                     return STATUS_SUCCESS;
                 });
}

NTSTATUS CUsbAudioAdapter::GetLatencyList(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG outLength,
                                          PULONG_PTR information)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     const ULONG needed = (2 + ASIO_LATENCY_ENTRIES) * sizeof(ULONG);
                     const NTSTATUS status = SizeProtocol(needed, outLength, information);
                     if (status != STATUS_SUCCESS)
                         return status;
                     client->LatencyIndex = m_LatencyIndex;
                     AsioWriteWord(buffer, 0, m_LatencyIndex);
                     AsioWriteWord(buffer, 1, ASIO_LATENCY_ENTRIES);
                     for (ULONG i = 0; i < ASIO_LATENCY_ENTRIES; ++i)
                         AsioWriteWord(buffer, 2 + i, kAsioLatencyMs[i]);
                     *information = needed;
                     return STATUS_SUCCESS;
                 });
}

NTSTATUS CUsbAudioAdapter::SetSampleType(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG, PULONG_PTR)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     const ULONG type = AsioReadWord(buffer, 0);
                     if (!AsioIsSampleType(type))
                         return STATUS_INVALID_PARAMETER;
                     client->SampleType = type;
                     m_RequestedSampleType = type;
                     // With no buffers anywhere the new type takes effect at once; otherwise when the owner
                     // lets go.
                     if (!m_Owner)
                         m_EffectiveSampleType = type;
                     NotifyClients();
                     return STATUS_SUCCESS;
                 });
}

NTSTATUS CUsbAudioAdapter::SetLatency(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG outLength,
                                      PULONG_PTR information)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     ULONG index = AsioReadWord(buffer, 0);
                     if (index >= ASIO_LATENCY_ENTRIES)
                         return STATUS_INVALID_PARAMETER;
                     client->LatencyIndex = index;
                     m_LatencyIndex = index;
                     NotifyClients();
                     SettingsValue(GetDeviceObject(), SETTINGS_WRITE, &index, sizeof index,
                                   kAsioLatencyValue);
                     if (outLength < 2 * sizeof(ULONG))
                         return STATUS_SUCCESS;
                     ULONG latencies[2] = {};
                     AsioLatencies(client, m_LatencyIndex, latencies);
                     RtlCopyMemory(buffer, latencies, sizeof latencies);
                     *information = sizeof latencies;
                     return STATUS_SUCCESS;
                 });
}

NTSTATUS CUsbAudioAdapter::GetLatencies(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG, PULONG_PTR information)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     ULONG latencies[2] = {};
                     AsioLatencies(client, m_LatencyIndex, latencies);
                     RtlCopyMemory(buffer, latencies, sizeof latencies);
                     *information = sizeof latencies;
                     return STATUS_SUCCESS;
                 });
}

NTSTATUS CUsbAudioAdapter::GetSampleRate(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG,
                                         PULONG_PTR information)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     AsioWriteWord(buffer, 0, client->SampleRate);
                     *information = sizeof(ULONG);
                     return STATUS_SUCCESS;
                 });
}

NTSTATUS CUsbAudioAdapter::CanSampleRate(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG, PULONG_PTR)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 { return MatchRate(client, AsioReadWord(buffer, 0)); });
}

NTSTATUS CUsbAudioAdapter::SetSampleRate(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG, PULONG_PTR)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     ULONG rate = AsioReadWord(buffer, 0);
                     if (!NT_SUCCESS(CheckRate(client, rate)))
                         return STATUS_INVALID_PARAMETER;
                     const NTSTATUS status = MatchRate(client, rate);
                     if (!NT_SUCCESS(status))
                         return status;
                     if (!client->BuffersCreated)
                         client->SampleRate = rate;
                     m_SampleRate = rate;
                     SettingsValue(GetDeviceObject(), SETTINGS_WRITE, &rate, sizeof rate,
                                   kAsioSampleRateValue);
                     if (m_Owner)
                         NotifyClients();
                     return STATUS_SUCCESS;
                 });
}

NTSTATUS CUsbAudioAdapter::GetBufferSize(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG,
                                         PULONG_PTR information)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     ULONG sizes[4] = {};
                     const NTSTATUS status = BufferSizes(client, sizes);
                     if (!NT_SUCCESS(status))
                         return status;
                     RtlCopyMemory(buffer, sizes, sizeof sizes);
                     *information = sizeof sizes;
                     return STATUS_SUCCESS;
                 });
}

NTSTATUS CUsbAudioAdapter::CanIoFormat(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG, PULONG_PTR)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *) -> NTSTATUS
                 {
                     const ULONG kind = AsioReadWord(buffer, 0);
                     if (kind != ASIO_IO_PCM && kind != ASIO_IO_DSD)
                         return STATUS_UNSUCCESSFUL;
                     const bool all = ServingStreamsOffer(
                         true, [&](const WAVEFORMATEXTENSIBLE &format)
                         { return kind == ASIO_IO_DSD ? AsioIsDsdFormat(format) : AsioIsPcmFormat(format); });
                     return all ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
                 });
}

NTSTATUS CUsbAudioAdapter::SetIoFormat(PFILE_OBJECT file, PVOID buffer, ULONG inLength, ULONG outLength,
                                       PULONG_PTR information)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     const NTSTATUS status = CanIoFormat(file, buffer, inLength, outLength, information);
                     if (!NT_SUCCESS(status))
                         return status;
                     client->IoFormat = AsioReadWord(buffer, 0);
                     return STATUS_SUCCESS;
                 });
}

NTSTATUS CUsbAudioAdapter::GetIoFormat(PFILE_OBJECT file, PVOID buffer, ULONG, ULONG, PULONG_PTR information)
{
    PAGED_CODE();
    return Serve(file,
                 [&](AsioClientRecord *client) -> NTSTATUS
                 {
                     AsioWriteWord(buffer, 0, client->IoFormat);
                     *information = sizeof(ULONG);
                     return STATUS_SUCCESS;
                 });
}
