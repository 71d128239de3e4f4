#include "driver/effects/headphone/headphone_surround.h"

void SurroundProcess(HeadphoneSurround *effect, float *const *buffers, int32_t count)
{
    if (effect)
        effect->Process(buffers, count);
}
