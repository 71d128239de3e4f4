#include "driver/effects/fx_format.h"

WAVEFORMATEXTENSIBLE FxFloatFormat(const WAVEFORMATEXTENSIBLE &format)
{
    WAVEFORMATEXTENSIBLE f = format;
    if (SampleTypeOf(format) == WAVE_FORMAT_IEEE_FLOAT)
        return f;
    if (f.Format.wFormatTag == WAVE_FORMAT_EXTENSIBLE)
    {
        f.Samples.wValidBitsPerSample = 32;
        f.SubFormat = SubFormatForTag(WAVE_FORMAT_IEEE_FLOAT);
    }
    else
    {
        f.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT;
    }
    // Unsigned arithmetic wraps as the 32-bit field does for out-of-range inputs.
    f.Format.nAvgBytesPerSec = ULONG(f.Format.nChannels) * 4u * f.Format.nSamplesPerSec;
    f.Format.nBlockAlign = USHORT(f.Format.nChannels * 4u);
    f.Format.wBitsPerSample = 32;
    return f;
}
