// The channel format stage: folds planar float channels down to fewer channels or spreads them
// up to more, in place. Channel order FL, FR, FC, LFE, BL, BR, SL, SR.
#pragma once

#include <cstdint>

// Converts `samples` samples of `channels` (at least max(inCount, outCount) valid buffers) from
// inCount to outCount channels. plain != 0: plain mixing; plain == 0: matrix-surround encoding
// (front-rear weights 0.871 and 0.49). Each output sample is formed in float from the inputs of
// the same sample, terms added in the order of the rows; channels a row does not name keep their
// contents. Fold-downs: 8 -> 6, 4, 2, 1; 6 -> 4, 2, 1; 4 -> 2, 1; 2 -> 1. Up-mixes: from 1 (copy to
// the right channel), 2, 4 (rear pair moves to BL/BR) and 6, filling new channels with 1e-12
// (keeps denormals out); at most 8 channels. Returns true when a conversion ran; equal counts,
// samples <= 0, counts outside 1..8, a pair without a rule (8 -> 3, 6 -> 5, 4 -> 5, ...) or a
// null buffer change nothing and return false. DISPATCH_LEVEL, no allocation.
bool FormatChannels(float *const *channels, int32_t inCount, int32_t outCount, int32_t samples,
                    int32_t plain);
