// WAV files: exact bytes of the two header forms, every supported width and channel count through a
// write and a read, a one-line reason for each file refused, and seeded damage that never gets past
// the checks.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/wav/wav_file.h"

#include <unistd.h>

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

namespace
{

// A folder of its own per test, removed after it.
class WavFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Folder =
            std::filesystem::temp_directory_path() /
            (std::string("wav_files_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
             "_" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_Folder);
    }
    void TearDown() override { std::filesystem::remove_all(m_Folder); }
    std::filesystem::path Store(const std::string &name, const Bytes &bytes)
    {
        std::ofstream(m_Folder / name, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
        return m_Folder / name;
    }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto &entry : std::filesystem::directory_iterator(m_Folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
    std::filesystem::path m_Folder;
};

// What a reader gives, block by block of `frames`.
Bytes ReadAll(wav::Reader &reader, size_t frames)
{
    Bytes all, block(frames * reader.Where().format.BlockAlign());
    std::string error;
    for (size_t n; (n = reader.Read(block.data(), frames, &error)) != 0;)
        all.insert(all.end(), block.begin(),
                   block.begin() + std::ptrdiff_t(n * reader.Where().format.BlockAlign()));
    EXPECT_EQ(error, "");
    return all;
}

TEST_F(WavFiles, TheReaderTakesRegularFilesOnlyAndReadsThemInBlocks)
{
    std::string error;
    wav::Reader reader;
    EXPECT_FALSE(reader.Open(m_Folder, &error));
    EXPECT_EQ(error, m_Folder.string() + " is not a regular file");
    EXPECT_FALSE(reader.Open("/dev/zero", &error));
    EXPECT_EQ(error, "/dev/zero is not a regular file");
    EXPECT_FALSE(reader.Open(m_Folder / "none.wav", &error));
    EXPECT_EQ(error, "no file " + (m_Folder / "none.wav").string());
    // Longer than a RIFF size can say, whatever its chunks claim: refused by its size alone. It is made
    // sparse, taking no room; a file system that cannot hold a file this long leaves nothing to try.
    const std::filesystem::path huge = Store("huge.wav", File(1, 2, 48000, 16, Bytes(4)));
    std::error_code ec;
    std::filesystem::resize_file(huge, wav::kMaxFileBytes + 1, ec);
    if (!ec)
    {
        EXPECT_FALSE(reader.Open(huge, &error));
        EXPECT_EQ(error, huge.string() + " is larger than a WAV file can be (" +
                             std::to_string(wav::kMaxFileBytes + 1) + " bytes)");
    }
    std::filesystem::remove(huge);

    // An odd chunk and a cut frame: the whole frames, in any block size, as the in-memory parse gives them.
    Bytes frames(6 * 101 + 4);
    std::mt19937 random(5);
    for (auto &b : frames)
        b = uint8_t(random());
    Bytes file = File(0xFFFE, 3, 44100, 16, frames);
    file.insert(file.begin() + 12, {'L', 'I', 'S', 'T', 3, 0, 0, 0, 'a', 'b', 'c', 0});
    wav::Audio whole;
    ASSERT_TRUE(wav::Parse(file.data(), file.size(), &whole, &error)) << error;
    ASSERT_EQ(whole.data.size(), 6u * 101);
    for (size_t block : {1, 7, 101, 4096})
    {
        ASSERT_TRUE(reader.Open(Store("odd.wav", file), &error)) << error;
        EXPECT_EQ(reader.Frames(), 101u);
        EXPECT_EQ(ReadAll(reader, block), whole.data) << block;
    }
}

TEST_F(WavFiles, AShortDataChunkSaysWhatItClaimsAndWhatIsThere)
{
    // A header whose data chunk claims 384,000 bytes, cut at several places, and the sizes a streaming
    // writer leaves.
    Bytes header = File(1, 2, 48000, 16, Bytes(10000, 3));
    const auto claim = [&](uint32_t bytes)
    {
        Bytes b = header;
        for (int i = 0; i < 4; ++i)
            b[40 + i] = uint8_t(bytes >> (8 * i));
        return b;
    };
    const Bytes large = claim(384000);
    struct Case
    {
        Bytes file;
        uint64_t declared, whole;
    } cases[] = {
        {Bytes(large.begin(), large.begin() + 44), 384000, 0},
        {Bytes(large.begin(), large.begin() + 45), 384000, 0},
        {Bytes(large.begin(), large.begin() + 10001), 384000, 9956},
        {claim(0xFFFFFFFF), 0xFFFFFFFF, 10000},
        {claim(1), 1, 0},
        {claim(0), 0, 0},
    };
    for (const Case &c : cases)
    {
        std::string error;
        wav::Reader reader;
        ASSERT_TRUE(reader.Open(Store("short.wav", c.file), &error)) << error;
        EXPECT_EQ(reader.Where().declaredBytes, c.declared);
        EXPECT_EQ(reader.Where().dataBytes, c.whole) << c.file.size();
        EXPECT_EQ(ReadAll(reader, 64).size(), c.whole);
    }
}

TEST_F(WavFiles, AWriterLeavesTheFileWholeOrNotAtAll)
{
    wav::Audio audio;
    audio.format = {2, 48000, 16, 16, 0};
    audio.data = Bytes(4 * 1000, 9);
    const std::filesystem::path path = m_Folder / "out" / "bus.wav";
    std::string error;
    ASSERT_TRUE(wav::Write(path, audio, &error)) << error;

    {
        // A run that fails between its start and its end: the earlier file stays as it was, and the
        // temporary file goes.
        wav::Writer writer;
        ASSERT_TRUE(writer.Open(path, &error)) << error;
        ASSERT_TRUE(writer.Begin({8, 96000, 24, 24, 0}, &error));
        ASSERT_TRUE(writer.Append(Bytes(24 * 10, 1).data(), 24 * 10, &error));
        EXPECT_EQ(std::filesystem::directory_iterator(m_Folder / "out") !=
                      std::filesystem::directory_iterator(),
                  true);
    }
    std::ifstream in(path, std::ios::binary);
    const Bytes kept((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(kept, wav::Serialize(audio));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_Folder / "out"), {}), 1);

    // Two writers of one file never mix: each writes its own file, the last to finish is the file.
    wav::Writer first, second;
    ASSERT_TRUE(first.Open(path, &error) && first.Begin(audio.format, &error));
    ASSERT_TRUE(second.Open(path, &error) && second.Begin(audio.format, &error));
    ASSERT_TRUE(first.Append(Bytes(8, 1).data(), 8, &error) && second.Append(Bytes(4, 2).data(), 4, &error));
    ASSERT_TRUE(first.Append(Bytes(8, 1).data(), 8, &error));
    ASSERT_TRUE(second.Commit(&error) && first.Commit(&error)) << error;
    wav::Audio back;
    wav::Reader reader;
    ASSERT_TRUE(reader.Open(path, &error)) << error;
    EXPECT_EQ(ReadAll(reader, 3), Bytes(16, 1));

    // A folder is no file to write.
    wav::Writer writer;
    EXPECT_FALSE(writer.Open(m_Folder / "out", &error));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_Folder / "out"), {}), 1);

    // The folders a writer made go with its uncommitted file, innermost first and each only when
    // empty; a folder that was there stays, and so do the folders of a committed file.
    const std::filesystem::path nested = m_Folder / "out" / "a" / "b" / "bus.wav";
    {
        wav::Writer uncommitted;
        ASSERT_TRUE(uncommitted.Open(nested, &error)) << error;
    }
    EXPECT_EQ(Names(), std::vector<std::string>{"out"});
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_Folder / "out"), {}), 1);
    {
        wav::Writer uncommitted;
        ASSERT_TRUE(uncommitted.Open(nested, &error)) << error;
        Store("out/a/other", Bytes(1));
    }
    EXPECT_TRUE(std::filesystem::exists(m_Folder / "out" / "a" / "other"));
    EXPECT_FALSE(std::filesystem::exists(m_Folder / "out" / "a" / "b"));
    ASSERT_TRUE(wav::Write(nested, audio, &error)) << error;
    EXPECT_TRUE(std::filesystem::is_regular_file(nested));
}

// Whether the calling thread is soon the process's only one (a thread that ended is gone from
// /proc/self/task). Polls, bounded.
bool SoonAlone()
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}) > 1)
    {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::yield();
    }
    return true;
}

// In a child process each, where one thread takes the signals: a signal before the commit ends the
// program with 128 + the signal and takes the file and its folder along; one after the commit comes
// too late to undo it and leaves the program to end with 0, the file in place.
TEST_F(WavFiles, ASignalUndoesWhatIsNotCommittedAndNothingElse)
{
    GTEST_FLAG_SET(death_test_style, "fast"); // the child keeps this process's m_Folder
    wav::Audio audio;
    audio.format = {2, 48000, 16, 16, 0};
    audio.data = Bytes(4 * 100, 9);
    const std::filesystem::path path = m_Folder / "new" / "bus.wav";
    EXPECT_EXIT(
        {
            wav::EndOnSignalsLeavingNoFile();
            wav::Writer writer;
            std::string error;
            if (!writer.Open(path, &error) || !writer.Begin(audio.format, &error))
                std::exit(3);
            kill(getpid(), SIGTERM);
            std::exit(SoonAlone() ? 4 : 5);
        },
        ::testing::ExitedWithCode(128 + SIGTERM), "");
    EXPECT_EQ(Names(), std::vector<std::string>{});
    EXPECT_EXIT(
        {
            wav::EndOnSignalsLeavingNoFile();
            std::string error;
            if (!wav::Write(path, audio, &error))
                std::exit(3);
            kill(getpid(), SIGTERM);
            std::exit(SoonAlone() ? 0 : 5);
        },
        ::testing::ExitedWithCode(0), "");
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), wav::Serialize(audio));
}

TEST_F(WavFiles, DamagedFilesOnDiskReadAsTheyParse)
{
    std::mt19937 random(37);
    const Bytes seed = File(0xFFFE, 6, 96000, 24, Bytes(18 * 40, 2), 24);
    for (int round = 0; round < 100; ++round)
    {
        Bytes file = seed;
        for (int e = 1 + int(random() % 4); e; --e)
        {
            const size_t at = random() % file.size();
            if (random() % 3 == 0)
                file.resize(at + 1);
            else
                file[at] = uint8_t(random());
        }
        wav::Audio audio;
        std::string parsed, read;
        const bool parses = wav::Parse(file.data(), file.size(), &audio, &parsed);
        wav::Reader reader;
        const bool opens = reader.Open(Store("damaged.wav", file), &read);
        ASSERT_EQ(parses, opens) << parsed << " / " << read;
        if (parses)
            ASSERT_EQ(ReadAll(reader, 5), audio.data);
        else
            ASSERT_NE(read.find(parsed), std::string::npos);
    }
}

} // namespace
