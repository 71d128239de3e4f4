// What the two halves of the adapter's low-latency service share: the latency table, the record
// sizes, word access to request buffers and the checks on formats and sample types.
#pragma once

#include <ntkernel.h>
#include <pc_wave_format.h>

#include "driver/core/usb_audio_adapter.h"

inline constexpr ULONG kAsioLatencyMs[ASIO_LATENCY_ENTRIES] = {4, 6, 8, 10, 20, 30, 40, 50};
inline constexpr ULONG ASIO_IO_PCM = 0;
inline constexpr ULONG ASIO_IO_DSD = 1;
inline constexpr ULONG ASIO_DSD_MIN_RATE = 2822400; // 64 × 44100: the one-bit rate of DSD64
inline constexpr ULONG ASIO_SAMPLE_TYPE_DSD = 33;
inline constexpr ULONG ASIO_CHANNEL_INFO_BYTES = 52;
inline constexpr ULONG ASIO_CHANNEL_NAME_BYTES = 32;
inline constexpr ULONG ASIO_BUFFER_MS = 40; // audio a shared buffer holds
inline constexpr UCHAR ASIO_DSD_SILENCE = 0x69;

inline const WCHAR kAsioBitDepthValue[] = u"ASIOMLDataBitDepth";
inline const WCHAR kAsioLatencyValue[] = u"ASIOMLDataLatency";
inline const WCHAR kAsioSampleRateValue[] = u"ASIOMLSampleRate";

// Request buffers carry little-endian 32-bit words with no alignment promise.
inline ULONG AsioReadWord(const void *buffer, ULONG index)
{
    ULONG value;
    RtlCopyMemory(&value, static_cast<const UCHAR *>(buffer) + index * sizeof(ULONG), sizeof value);
    return value;
}
inline void AsioWriteWord(void *buffer, ULONG index, ULONG value)
{
    RtlCopyMemory(static_cast<UCHAR *>(buffer) + index * sizeof(ULONG), &value, sizeof value);
}

bool AsioIsPcmFormat(const WAVEFORMATEXTENSIBLE &format);
bool AsioIsDsdFormat(const WAVEFORMATEXTENSIBLE &format); // the vendor raw-data sub-format
bool AsioIsSampleType(ULONG type);                        // 16, 17, 18, 24..27
ULONG AsioBytesPerSample(ULONG sampleType);               // 2, 3 or 4

// A user's 32-bit event handle referenced for setting; any failure is STATUS_INVALID_PARAMETER.
inline NTSTATUS AsioReferenceEvent(ULONG handle, PKEVENT *event)
{
    PVOID object = nullptr;
    const NTSTATUS status =
        ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(ULONG_PTR(handle)), EVENT_MODIFY_STATE,
                                  *ExEventObjectType, UserMode, &object, nullptr);
    if (!NT_SUCCESS(status))
        return STATUS_INVALID_PARAMETER;
    *event = static_cast<PKEVENT>(object);
    return STATUS_SUCCESS;
}

// Input and output latency in samples at the client's rate for latency index `index`.
inline void AsioLatencies(const AsioClientRecord *client, ULONG index, ULONG latencies[2])
{
    const ULONG ms = kAsioLatencyMs[index < ASIO_LATENCY_ENTRIES ? index : ASIO_DEFAULT_LATENCY_INDEX];
    const ULONG rate = client->SampleRate;
    if (client->IoFormat != ASIO_IO_DSD)
    {
        latencies[0] = rate / 1000 * ms;
        latencies[1] = 2 * latencies[0];
    }
    else if (rate < ASIO_DSD_MIN_RATE)
    {
        latencies[0] = ms * 2816;
        latencies[1] = ms * 5632;
    }
    else if (rate % 44100 == 0)
    {
        latencies[0] = ms * (rate / 44100) * 44;
        latencies[1] = 2 * latencies[0];
    }
    else
    {
        latencies[0] = ms * (rate / 48000) * 48;
        latencies[1] = 2 * latencies[0];
    }
}
