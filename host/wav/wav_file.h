// RIFF/WAVE files of linear PCM, as the host program plays and records them: 16-, 24- or 32-bit
// little-endian samples, one to eight channels, in a plain PCM or an extensible "fmt " chunk.
// Everything read is checked before use; a file that does not qualify gets a one-line reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace wav
{

inline constexpr uint16_t kMaxChannels = 8;
inline constexpr uint32_t kMinRate = 1000;
inline constexpr uint32_t kMaxRate = 768000;

struct Format
{
    uint16_t channels = 2;
    uint32_t rate = 48000;
    uint16_t bits = 16;      // container bits per sample: 16, 24 or 32
    uint16_t validBits = 16; // 1..bits
    uint32_t channelMask = 0;

    uint16_t BlockAlign() const { return uint16_t(channels * (bits / 8)); }
};

struct Audio
{
    Format format;
    std::vector<uint8_t> data; // whole frames, as stored in the file
};

// Parses a whole file held in memory. A data chunk longer than what follows it (a file cut short, or
// written while recording) gives the whole frames that are there.
bool Parse(const uint8_t *bytes, size_t size, Audio *out, std::string *error);
bool Read(const std::filesystem::path &path, Audio *out, std::string *error);

// The file for `audio`: a plain PCM chunk for one or two channels of 16 bits, an extensible one
// otherwise (channel mask: the format's, else the first channels of the standard order).
std::vector<uint8_t> Serialize(const Audio &audio);
bool Write(const std::filesystem::path &path, const Audio &audio, std::string *error);

// Sample `index` (frame × channels + channel) as a signed value of the container width.
int32_t Sample(const Audio &audio, size_t index);

} // namespace wav
