#include "panel/device/hid_scrambler.h"

#include <utility>

const uint8_t VaXmoLip[8] = {'V', 'a', 'X', 'm', 'o', 'L', 'i', 'p'};

namespace
{
uint8_t keyByte(int i)
{
    return static_cast<uint8_t>((VaXmoLip[i] << 4) | (VaXmoLip[i] >> 4));
}

void swapPairs(uint8_t *b)
{
    std::swap(b[0], b[5]);
    std::swap(b[1], b[4]);
    std::swap(b[2], b[7]);
    std::swap(b[3], b[6]);
}

void mixCode(uint8_t *b, const uint8_t *code)
{
    for (int i = 1; i <= 6; ++i)
        b[i] ^= code[i];
}
} // namespace

uint8_t hidChecksum(const uint8_t *cmd)
{
    unsigned sum = 0;
    for (int i = 0; i < 7; ++i)
        sum += cmd[i];
    return static_cast<uint8_t>(0xFF - (sum & 0xFF));
}

void scrambleBlock(uint8_t FIFOBuf[8], const uint8_t SecrecyCode[7])
{
    swapPairs(FIFOBuf);
    mixCode(FIFOBuf, SecrecyCode);
    // Rotate left by 3 bits as one big-endian 64-bit number.
    uint8_t first = FIFOBuf[0];
    for (int k = 0; k < 8; ++k)
    {
        uint8_t next = k == 7 ? first : FIFOBuf[k + 1];
        FIFOBuf[k] = static_cast<uint8_t>((FIFOBuf[k] << 3) | (next >> 5));
    }
    for (int i = 0; i < 8; ++i)
        FIFOBuf[i] = static_cast<uint8_t>(FIFOBuf[i] + keyByte(i));
}

void unscrambleBlock(uint8_t FIFOBuf[8], const uint8_t SecrecyCode[7])
{
    for (int i = 0; i < 8; ++i)
        FIFOBuf[i] = static_cast<uint8_t>(FIFOBuf[i] - keyByte(i));
    uint8_t last = FIFOBuf[7];
    for (int k = 7; k >= 0; --k)
    {
        uint8_t prev = k == 0 ? last : FIFOBuf[k - 1];
        FIFOBuf[k] = static_cast<uint8_t>((prev << 5) | (FIFOBuf[k] >> 3));
    }
    mixCode(FIFOBuf, SecrecyCode);
    swapPairs(FIFOBuf);
}

HidCodec hidCodec()
{
    HidCodec codec;
    codec.encrypt = scrambleBlock;
    codec.decrypt = unscrambleBlock;
    return codec;
}
