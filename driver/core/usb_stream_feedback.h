// The explicit-feedback rate measurement of the class 2.0 render stream: each feedback packet is a
// number of samples per packet interval (10.14 in three bytes at full speed, 16.16 in four bytes at
// high speed), corrected for the values the chips are known to round, and turned into Hz.
#pragma once

#include <nt_types.h>

// The rate in Hz one packet's value gives. `value` is the little-endian packet; `bytes` 3 or 4.
ULONG FeedbackPacketRate(ULONG value, ULONG bytes, ULONG packetsPerFrame);

// The measured rate after one feedback transfer of `packets` packets of `bytes` bytes each: the
// average of the packet rates within 1000 Hz of `nominal` (none: `current` stays); an average off
// nominal by exactly 500 / framesPerTransfer Hz is pushed as far again. Packets are read only within
// `length` bytes.
ULONG MeasureFeedbackRate(const UCHAR *data, ULONG length, ULONG packets, ULONG bytes, ULONG packetsPerFrame,
                          ULONG nominal, ULONG framesPerTransfer, ULONG current);
