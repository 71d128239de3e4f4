// RIFF/WAVE files of linear PCM, as the host program plays and records them: 16-, 24- or 32-bit
// little-endian samples, one to eight channels, in a plain PCM or an extensible "fmt " chunk.
// Everything read is checked before use; a file that does not qualify gets a one-line reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace wav
{

inline constexpr uint16_t kMaxChannels = 8;
inline constexpr uint32_t kMinRate = 1000;
inline constexpr uint32_t kMaxRate = 768000;
// RIFF sizes are 32-bit: no WAV file is longer than this.
inline constexpr uint64_t kMaxFileBytes = 0xFFFFFFFFull + 8;

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

// Where a file's audio is: its format, the data chunk's offset, the bytes of whole frames there and
// the bytes the chunk's header claims (more when the file was cut short).
struct Layout
{
    Format format;
    uint64_t dataOffset = 0;
    uint64_t dataBytes = 0;
    uint64_t declaredBytes = 0;
};

// Reads `size` bytes at `offset` of a file of known size into `out`; false on a read error.
using ReadAt = std::function<bool(uint64_t offset, size_t size, uint8_t *out)>;
// Walks the chunks of a file of `fileSize` bytes up to its data chunk, reading only chunk headers and
// the fmt chunk's fields.
bool ParseLayout(const ReadAt &read, uint64_t fileSize, Layout *out, std::string *error);

// Parses a whole file held in memory. A data chunk longer than what follows it (a file cut short, or
// written while recording) gives the whole frames that are there.
bool Parse(const uint8_t *bytes, size_t size, Audio *out, std::string *error);

// A WAV file read in blocks: only regular files of at most kMaxFileBytes.
class Reader
{
public:
    bool Open(const std::filesystem::path &path, std::string *error);
    const Layout &Where() const { return m_Layout; }
    uint64_t Frames() const { return m_Layout.dataBytes / m_Layout.format.BlockAlign(); }
    // Up to `frames` whole frames from where the last read ended: the frames read, 0 at the end or on
    // an error (then `error` says which).
    size_t Read(uint8_t *out, size_t frames, std::string *error);

private:
    std::ifstream m_File;
    Layout m_Layout;
    uint64_t m_Done = 0; // data bytes read
};

// A WAV file written as the audio arrives, into a temporary file beside `path` that becomes `path`
// only at Commit, so a run that fails leaves no file and two runs never write into one. The folders
// Open makes for `path` go with the temporary file when it is not committed.
class Writer
{
public:
    Writer() = default;
    ~Writer(); // removes the temporary file and the folders made for it when not committed
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    bool Open(const std::filesystem::path &path, std::string *error);
    // The audio's format, known once it arrives; before the first Append.
    bool Begin(const Format &format, std::string *error);
    bool Append(const uint8_t *bytes, size_t size, std::string *error);
    // The header's sizes, then the rename.
    bool Commit(std::string *error);
    bool Begun() const { return m_Begun; }
    const std::filesystem::path &Path() const { return m_Path; }

private:
    friend void EndOnSignalsLeavingNoFile();
    // Removes the temporary file, then the folders Open made, innermost first and only when empty.
    void Discard();

    std::filesystem::path m_Path, m_Temporary;
    std::vector<std::filesystem::path> m_Folders; // made by Open, outermost first
    FILE *m_File = nullptr;
    Format m_Format;
    bool m_Begun = false;
    uint64_t m_Bytes = 0;
};

// Ends the program on SIGINT, SIGTERM or SIGHUP (each unless it was ignored when the program started)
// with exit code 128 + the signal, once every uncommitted Writer's temporary file and the folders
// made for it are gone. For a program whose last step is committing its file: a signal that comes
// after a commit lets the program end as it would. The end is an _exit: what stdio holds is lost.
// Call it first in main, before any other thread starts: the signals stay blocked in every thread
// and one thread waits for them.
void EndOnSignalsLeavingNoFile();

// The file for `audio`: a plain PCM chunk for one or two channels of 16 bits, an extensible one
// otherwise (channel mask: the format's, else the first channels of the standard order).
std::vector<uint8_t> Serialize(const Audio &audio);
bool Write(const std::filesystem::path &path, const Audio &audio, std::string *error);

// A sample `width` bytes wide at `p` as a signed value.
int32_t SampleAt(const uint8_t *p, unsigned width);
// Sample `index` (frame × channels + channel) as a signed value of the container width.
int32_t Sample(const Audio &audio, size_t index);

} // namespace wav
