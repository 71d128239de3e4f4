// WAV files: exact bytes of the two header forms, every supported width and channel count through a
// write and a read, a one-line reason for each file refused, and seeded damage that never gets past
// the checks.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "host/wav/wav_file.h"

namespace
{

using Bytes = std::vector<uint8_t>;

void Put(Bytes *b, std::initializer_list<uint32_t> values, unsigned width)
{
    for (uint32_t v : values)
        for (unsigned i = 0; i < width; ++i)
            b->push_back(uint8_t(v >> (8 * i)));
}

// A file as the format's definition lays it out, built field by field: tag, channels, rate, bits,
// and for the extensible form valid bits, mask and a sub-format whose first two bytes are `subTag`.
Bytes File(uint16_t tag, uint16_t channels, uint32_t rate, uint16_t bits, const Bytes &data,
           uint16_t validBits = 0, uint16_t subTag = 1)
{
    const bool extensible = tag == 0xFFFE;
    const uint32_t block = channels * bits / 8;
    Bytes b = {'R', 'I', 'F', 'F'};
    Put(&b, {uint32_t(4 + 8 + (extensible ? 40 : 16) + 8 + data.size())}, 4);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    Put(&b, {extensible ? 40u : 16u}, 4);
    Put(&b, {tag, channels}, 2);
    Put(&b, {rate, rate * block}, 4);
    Put(&b, {block, bits}, 2);
    if (extensible)
    {
        Put(&b, {22, validBits ? validBits : bits}, 2);
        Put(&b, {0x3Fu}, 4);
        Put(&b, {subTag, 0}, 2);
        b.insert(b.end(), {0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71});
    }
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    Put(&b, {uint32_t(data.size())}, 4);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

std::string Refusal(const Bytes &file)
{
    wav::Audio audio;
    std::string error;
    EXPECT_FALSE(wav::Parse(file.data(), file.size(), &audio, &error));
    EXPECT_EQ(error.find('\n'), std::string::npos);
    return error;
}

TEST(WavFile, BothHeaderFormsReadTheirFieldsAndSamples)
{
    const Bytes frames16 = {0x01, 0x00, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x7F};
    wav::Audio audio;
    std::string error;
    const Bytes plain = File(1, 2, 44100, 16, frames16);
    ASSERT_EQ(plain.size(), 44u + 8);
    ASSERT_TRUE(wav::Parse(plain.data(), plain.size(), &audio, &error)) << error;
    EXPECT_EQ(audio.format.channels, 2);
    EXPECT_EQ(audio.format.rate, 44100u);
    EXPECT_EQ(audio.format.bits, 16);
    EXPECT_EQ(audio.data, frames16);
    EXPECT_EQ(wav::Sample(audio, 1), -1);
    EXPECT_EQ(wav::Sample(audio, 2), -32768);
    EXPECT_EQ(wav::Sample(audio, 3), 32767);
    EXPECT_EQ(wav::Serialize(audio), plain) << "a 16-bit stereo file is written in the plain form";

    const Bytes frames24 = {0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0x01, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const Bytes extensible = File(0xFFFE, 3, 96000, 24, frames24, 20);
    ASSERT_TRUE(wav::Parse(extensible.data(), extensible.size(), &audio, &error)) << error;
    EXPECT_EQ(audio.format.validBits, 20);
    EXPECT_EQ(audio.format.channelMask, 0x3Fu);
    EXPECT_EQ(wav::Sample(audio, 0), -8388608);
    EXPECT_EQ(wav::Sample(audio, 1), 8388607);
    EXPECT_EQ(wav::Sample(audio, 2), 1);
    EXPECT_EQ(wav::Serialize(audio), extensible);
}

TEST(WavFile, EveryWidthAndChannelCountSurvivesAWriteAndARead)
{
    std::mt19937 random(1);
    for (uint16_t bits : {16, 24, 32})
        for (uint16_t channels : {1, 2, 6, 8})
        {
            wav::Audio audio;
            audio.format = {channels, 48000, bits, bits, 0};
            audio.data.resize(size_t(audio.format.BlockAlign()) * 33);
            for (auto &b : audio.data)
                b = uint8_t(random());
            const Bytes file = wav::Serialize(audio);
            wav::Audio back;
            std::string error;
            ASSERT_TRUE(wav::Parse(file.data(), file.size(), &back, &error)) << error;
            EXPECT_EQ(back.data, audio.data) << bits << " bits, " << channels << " channels";
            EXPECT_EQ(back.format.BlockAlign(), audio.format.BlockAlign());
        }
}

TEST(WavFile, FilesOutsideWhatPlaysAreRefusedWithTheirReason)
{
    const Bytes four = {1, 2, 3, 4};
    EXPECT_EQ(Refusal(File(3, 2, 48000, 32, four)), "format tag 0x0003 is not PCM");
    EXPECT_EQ(Refusal(File(0xFFFE, 2, 48000, 32, four, 0, 3)), "the extensible sub-format is not PCM");
    EXPECT_EQ(Refusal(File(1, 2, 48000, 8, four)), "16, 24 or 32 bits per sample only, not 8");
    EXPECT_EQ(Refusal(File(1, 0, 48000, 16, four)), "1 to 8 channels only, not 0");
    EXPECT_EQ(Refusal(File(0xFFFE, 9, 48000, 16, four)), "1 to 8 channels only, not 9");
    EXPECT_EQ(Refusal(File(1, 2, 0, 16, four)), "a sample rate of 0 Hz");
    EXPECT_EQ(Refusal(File(0xFFFE, 2, 48000, 16, four, 17)), "17 valid bits in a 16-bit sample");
    Bytes badAlign = File(1, 2, 48000, 16, four);
    badAlign[32] = 3;
    EXPECT_EQ(Refusal(badAlign), "block align 3 does not fit 2 channels of 16 bits");
    Bytes noData = File(1, 2, 48000, 16, four);
    noData.resize(36);
    EXPECT_EQ(Refusal(noData), "no data chunk");
    EXPECT_EQ(Refusal(Bytes(noData.begin(), noData.begin() + 30)),
              "the fmt chunk runs past the end of the file");
    EXPECT_EQ(Refusal(Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 0, 'A', 'V', 'I', ' '}), "not a RIFF/WAVE file");

    // A recording cut short keeps its whole frames.
    Bytes cut = File(1, 2, 48000, 16, Bytes(40, 7));
    cut.resize(cut.size() - 6);
    wav::Audio audio;
    std::string error;
    ASSERT_TRUE(wav::Parse(cut.data(), cut.size(), &audio, &error)) << error;
    EXPECT_EQ(audio.data.size(), 32u);
}

TEST(WavFile, DamagedFilesNeverGetPastTheChecks)
{
#ifdef __SANITIZE_ADDRESS__
    constexpr int kRounds = 5000;
#else
    constexpr int kRounds = 50000;
#endif
    std::mt19937 random(2026);
    const Bytes seeds[] = {File(1, 2, 48000, 16, Bytes(64, 1)), File(0xFFFE, 6, 96000, 24, Bytes(72, 2), 24)};
    for (int round = 0; round < kRounds; ++round)
    {
        Bytes file = seeds[round % 2];
        const int edits = 1 + int(random() % 6);
        for (int e = 0; e < edits; ++e)
        {
            const size_t at = random() % file.size();
            switch (random() % 4)
            {
            case 0:
                file[at] = uint8_t(random());
                break;
            case 1:
                file.resize(at + 1);
                break;
            case 2:
                file.insert(file.begin() + std::ptrdiff_t(at), uint8_t(random()));
                break;
            default:
                file[at] ^= uint8_t(1u << (random() % 8));
                break;
            }
        }
        // Parse from an exact-size copy, so any read past the end shows under the sanitizer.
        std::unique_ptr<uint8_t[]> exact(new uint8_t[file.size()]);
        std::copy(file.begin(), file.end(), exact.get());
        wav::Audio audio;
        std::string error;
        if (!wav::Parse(exact.get(), file.size(), &audio, &error))
        {
            ASSERT_FALSE(error.empty());
            continue;
        }
        const wav::Format &f = audio.format;
        ASSERT_TRUE(f.bits == 16 || f.bits == 24 || f.bits == 32);
        ASSERT_TRUE(f.channels >= 1 && f.channels <= wav::kMaxChannels);
        ASSERT_EQ(audio.data.size() % f.BlockAlign(), 0u);
        ASSERT_LE(audio.data.size(), file.size());
    }
}

} // namespace
