// RIFF/WAVE reading and writing.
#include "host/wav/wav_file.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace wav
{

namespace
{

constexpr uint16_t kTagPcm = 0x0001;
constexpr uint16_t kTagExtensible = 0xFFFE;
constexpr size_t kPlainFmt = 16;
constexpr size_t kExtensibleFmt = 40;
// The PCM sub-format after its first two bytes (the tag): -0000-0010-8000-00AA00389B71.
constexpr uint8_t kPcmSubFormatTail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                           0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

uint16_t Get16(const uint8_t *p)
{
    return uint16_t(p[0] | p[1] << 8);
}

uint32_t Get32(const uint8_t *p)
{
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void Put16(std::vector<uint8_t> *out, uint16_t v)
{
    out->push_back(uint8_t(v));
    out->push_back(uint8_t(v >> 8));
}

void Put32(std::vector<uint8_t> *out, uint32_t v)
{
    Put16(out, uint16_t(v));
    Put16(out, uint16_t(v >> 16));
}

bool Fail(std::string *error, const std::string &reason)
{
    if (error)
        *error = reason;
    return false;
}

// The "fmt " chunk's body, checked field by field.
bool ParseFormat(const uint8_t *p, size_t size, Format *format, std::string *error)
{
    if (size < kPlainFmt)
        return Fail(error, "the fmt chunk is " + std::to_string(size) + " bytes, fewer than 16");
    const uint16_t tag = Get16(p);
    format->channels = Get16(p + 2);
    format->rate = Get32(p + 4);
    const uint16_t blockAlign = Get16(p + 12);
    format->bits = Get16(p + 14);
    format->validBits = format->bits;
    format->channelMask = 0;
    if (tag == kTagExtensible)
    {
        if (size < kExtensibleFmt || Get16(p + 16) < kExtensibleFmt - 18)
            return Fail(error, "the extensible fmt chunk is too short");
        format->validBits = Get16(p + 18);
        format->channelMask = Get32(p + 20);
        if (Get16(p + 24) != kTagPcm ||
            std::memcmp(p + 26, kPcmSubFormatTail, sizeof(kPcmSubFormatTail)) != 0)
            return Fail(error, "the extensible sub-format is not PCM");
    }
    else if (tag != kTagPcm)
    {
        char text[64];
        std::snprintf(text, sizeof text, "format tag 0x%04X is not PCM", unsigned(tag));
        return Fail(error, text);
    }
    if (format->bits != 16 && format->bits != 24 && format->bits != 32)
        return Fail(error, "16, 24 or 32 bits per sample only, not " + std::to_string(format->bits));
    if (format->validBits == 0 || format->validBits > format->bits)
        return Fail(error, std::to_string(format->validBits) + " valid bits in a " +
                               std::to_string(format->bits) + "-bit sample");
    if (format->channels == 0 || format->channels > kMaxChannels)
        return Fail(error, "1 to 8 channels only, not " + std::to_string(format->channels));
    if (format->rate < kMinRate || format->rate > kMaxRate)
        return Fail(error, "a sample rate of " + std::to_string(format->rate) + " Hz");
    if (blockAlign != format->BlockAlign())
        return Fail(error, "block align " + std::to_string(blockAlign) + " does not fit " +
                               std::to_string(format->channels) + " channels of " +
                               std::to_string(format->bits) + " bits");
    return true;
}

} // namespace

bool Parse(const uint8_t *bytes, size_t size, Audio *out, std::string *error)
{
    if (!bytes || size < 12 || std::memcmp(bytes, "RIFF", 4) != 0 || std::memcmp(bytes + 8, "WAVE", 4) != 0)
        return Fail(error, "not a RIFF/WAVE file");
    // The RIFF size may be wrong (a recording cut short); the chunks themselves say what is there.
    bool haveFormat = false;
    Format format;
    for (size_t at = 12; size - at >= 8;)
    {
        const uint8_t *chunk = bytes + at;
        const size_t length = Get32(chunk + 4);
        const size_t available = size - at - 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0)
        {
            if (length > available)
                return Fail(error, "the fmt chunk runs past the end of the file");
            if (!ParseFormat(chunk + 8, length, &format, error))
                return false;
            haveFormat = true;
        }
        else if (std::memcmp(chunk, "data", 4) == 0)
        {
            if (!haveFormat)
                return Fail(error, "the data chunk comes before the fmt chunk");
            const size_t block = format.BlockAlign();
            const size_t whole = (length < available ? length : available) / block * block;
            out->format = format;
            out->data.assign(chunk + 8, chunk + 8 + whole);
            return true;
        }
        // Chunks are padded to an even length.
        const size_t step = 8 + length + (length & 1);
        if (step > size - at)
            break;
        at += step;
    }
    return Fail(error, haveFormat ? "no data chunk" : "no fmt chunk");
}

bool Read(const std::filesystem::path &path, Audio *out, std::string *error)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return Fail(error, "cannot open " + path.string());
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return Parse(bytes.data(), bytes.size(), out, error);
}

std::vector<uint8_t> Serialize(const Audio &audio)
{
    const Format &f = audio.format;
    const bool extensible = f.channels > 2 || f.bits != 16 || f.validBits != f.bits;
    const uint32_t fmtBytes = extensible ? kExtensibleFmt : kPlainFmt;
    const uint32_t dataBytes = uint32_t(audio.data.size());
    std::vector<uint8_t> out;
    out.reserve(12 + 8 + fmtBytes + 8 + dataBytes + 1);
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    Put32(&out, 4 + 8 + fmtBytes + 8 + dataBytes + (dataBytes & 1));
    out.insert(out.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put32(&out, fmtBytes);
    Put16(&out, extensible ? kTagExtensible : kTagPcm);
    Put16(&out, f.channels);
    Put32(&out, f.rate);
    Put32(&out, f.rate * f.BlockAlign());
    Put16(&out, f.BlockAlign());
    Put16(&out, f.bits);
    if (extensible)
    {
        Put16(&out, kExtensibleFmt - 18);
        Put16(&out, f.validBits);
        Put32(&out, f.channelMask ? f.channelMask : (1u << f.channels) - 1);
        Put16(&out, kTagPcm);
        out.insert(out.end(), std::begin(kPcmSubFormatTail), std::end(kPcmSubFormatTail));
    }
    out.insert(out.end(), {'d', 'a', 't', 'a'});
    Put32(&out, dataBytes);
    out.insert(out.end(), audio.data.begin(), audio.data.end());
    if (dataBytes & 1)
        out.push_back(0);
    return out;
}

bool Write(const std::filesystem::path &path, const Audio &audio, std::string *error)
{
    std::error_code ignored;
    if (path.has_parent_path())
        std::filesystem::create_directories(path.parent_path(), ignored);
    const std::vector<uint8_t> bytes = Serialize(audio);
    std::ofstream out(path, std::ios::binary);
    if (!out || !out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size())))
        return Fail(error, "cannot write " + path.string());
    return true;
}

int32_t Sample(const Audio &audio, size_t index)
{
    const unsigned width = audio.format.bits / 8;
    const uint8_t *p = audio.data.data() + index * width;
    uint32_t value = 0;
    for (unsigned b = 0; b < width; ++b)
        value |= uint32_t(p[b]) << (8 * b);
    // Sign-extend from the container width.
    const unsigned shift = 32 - 8 * width;
    return int32_t(value << shift) >> shift;
}

} // namespace wav
