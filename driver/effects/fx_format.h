// Float versions of stream formats: the effects work on 32-bit float samples only, so each stage
// describes its buffers with the float twin of the format it was given.
#pragma once

#include <pc_wave_format.h>

// The 32-bit IEEE-float twin of `format`, same rate and channels: nAvgBytesPerSec = nChannels x 4
// x rate, nBlockAlign = nChannels x 4, wBitsPerSample 32. An extensible record also gets
// wValidBitsPerSample 32 and the float SubFormat (cbSize and channel mask kept); a plain record
// gets the tag WAVE_FORMAT_IEEE_FLOAT. A record whose sample type (SampleTypeOf) is already float
// comes back unchanged.
WAVEFORMATEXTENSIBLE FxFloatFormat(const WAVEFORMATEXTENSIBLE &format);
