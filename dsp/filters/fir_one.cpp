#include "dsp/filters/fir_one.h"

#include <cstring>

namespace dsp::generic
{

Status firFilterOneSample(float sample, float *result, const float *taps, int32_t tapCount, float *delayLine,
                          int32_t *index)
{
    if (result == nullptr || taps == nullptr)
        return kErrNullPointer;
    if (tapCount <= 0)
        return kErrFirLength;
    if (delayLine == nullptr || index == nullptr)
        return kErrNullPointer;
    const int32_t i = *index;
    // An index outside the line would write past it.
    if (i < 0 || i >= tapCount)
        return kErrPhase;

    // Word copies keep NaN payloads and signed zeros.
    std::memcpy(delayLine + i, &sample, sizeof sample);
    std::memcpy(delayLine + i + tapCount, &sample, sizeof sample);
    const int32_t j = i + 1 < tapCount ? i + 1 : 0;
    *index = j;

    const float *window = delayLine + j;
    double acc = +0.0;
    for (int32_t k = 0; k < tapCount; ++k)
        acc += static_cast<double>(taps[tapCount - 1 - k]) * window[k];
    *result = static_cast<float>(acc);
    return kOk;
}

} // namespace dsp::generic
