// Wave formats as the audio framework passes them: the 18-byte WAVEFORMATEX and the 40-byte
// WAVEFORMATEXTENSIBLE. Both are byte-packed because they cross the driver's boundary (property
// buffers, registry bytes, stream records) with exactly these layouts on every target.
#pragma once

#include <nt_types.h>

inline constexpr USHORT WAVE_FORMAT_PCM = 0x0001;
inline constexpr USHORT WAVE_FORMAT_IEEE_FLOAT = 0x0003;
inline constexpr USHORT WAVE_FORMAT_EXTENSIBLE = 0xFFFE;

#pragma pack(push, 1)
struct WAVEFORMATEX
{
    USHORT wFormatTag;
    USHORT nChannels;
    ULONG nSamplesPerSec;
    ULONG nAvgBytesPerSec;
    USHORT nBlockAlign;
    USHORT wBitsPerSample;
    USHORT cbSize; // bytes that follow this header
};

struct WAVEFORMATEXTENSIBLE
{
    WAVEFORMATEX Format;
    union
    {
        USHORT wValidBitsPerSample;
        USHORT wSamplesPerBlock;
        USHORT wReserved;
    } Samples;
    ULONG dwChannelMask;
    GUID SubFormat; // its first 16 bits carry the plain format tag (1 PCM, 3 IEEE float)
};
#pragma pack(pop)

static_assert(sizeof(WAVEFORMATEX) == 18, "WAVEFORMATEX is 18 bytes");
static_assert(sizeof(WAVEFORMATEXTENSIBLE) == 40, "WAVEFORMATEXTENSIBLE is 40 bytes");
typedef WAVEFORMATEX *PWAVEFORMATEX;
typedef WAVEFORMATEXTENSIBLE *PWAVEFORMATEXTENSIBLE;

// The sub-format of an extensible record for a plain tag: the tag in the first 16 bits, then the
// fixed tail every audio sub-format shares.
inline constexpr GUID SubFormatForTag(USHORT tag)
{
    return GUID{tag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

// The sample type of a record: its tag, or for an extensible record the sub-format's first 16 bits.
inline USHORT SampleTypeOf(const WAVEFORMATEXTENSIBLE &format)
{
    return format.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE ? USHORT(format.SubFormat.Data1 & 0xFFFF)
                                                              : format.Format.wFormatTag;
}
