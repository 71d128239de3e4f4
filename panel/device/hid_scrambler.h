// Command-report checksum and the scrambling of the eight bytes after the report id for devices
// that expect it.
#pragma once

#include "platform/hid/sim_hid_transport.h"

#include <cstdint>

// The key as stored; each byte is used with its nibbles swapped.
extern const uint8_t VaXmoLip[8];

// 0xFF minus the sum of the 7 bytes at cmd[0..6], modulo 256.
uint8_t hidChecksum(const uint8_t *cmd);

// In place on 8 bytes; SecrecyCode is the 7-byte code buffer, of which bytes 1-6 are used.
void scrambleBlock(uint8_t FIFOBuf[8], const uint8_t SecrecyCode[7]);
// The exact inverse of scrambleBlock.
void unscrambleBlock(uint8_t FIFOBuf[8], const uint8_t SecrecyCode[7]);

// The pair as the simulated devices take it.
HidCodec hidCodec();
