// PCM to float and back through the primitives.
#include "driver/filters/pcm_float.h"

#include "dsp/dispatch/primitives.h"

namespace
{
// The primitives' warnings (positive) mean the work was done; only errors fail.
bool Done(dsp::Status status)
{
    return status >= 0;
}
} // namespace

bool PcmToFloat(const UCHAR *pcm, USHORT bits, bool isFloat, float *out, int32_t samples)
{
    if (isFloat)
        return Done(dsp::copyF32(reinterpret_cast<const float *>(pcm), out, samples));
    if (bits == 16)
        return Done(dsp::convertS16ToF32Scaled(reinterpret_cast<const int16_t *>(pcm), out, samples, 15));
    if (bits == 24)
        return Done(dsp::convertS24ToF32(pcm, out, samples)) &&
               Done(dsp::divConstInPlaceF32(8388608.0f, out, samples));
    return Done(dsp::convertS32ToF32Scaled(reinterpret_cast<const int32_t *>(pcm), out, samples, 31));
}

bool FloatToPcm(const float *in, USHORT bits, bool isFloat, UCHAR *pcm, int32_t samples, int32_t roundMode)
{
    if (isFloat)
        return Done(dsp::copyF32(in, reinterpret_cast<float *>(pcm), samples));
    if (bits == 16)
        return Done(
            dsp::convertF32ToS16Scaled(in, reinterpret_cast<int16_t *>(pcm), samples, roundMode, -15));
    if (bits == 24)
        return Done(dsp::convertF32ToS24Scaled(in, pcm, samples, -23));
    return Done(dsp::convertF32ToS32Scaled(in, reinterpret_cast<int32_t *>(pcm), samples, roundMode, -31));
}
