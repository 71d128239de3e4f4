// RIFF/WAVE reading and writing.
#include "host/wav/wav_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>

#include <csignal>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wav
{

namespace
{

constexpr uint16_t kTagPcm = 0x0001;
constexpr uint16_t kTagExtensible = 0xFFFE;
constexpr size_t kPlainFmt = 16;
constexpr size_t kExtensibleFmt = 40;
constexpr unsigned kMaxChunks = 4096;
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
// `size` is the chunk's length; `p` holds its first min(size, 40) bytes.
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

bool ParseLayout(const ReadAt &read, uint64_t fileSize, Layout *out, std::string *error)
{
    uint8_t head[12];
    if (fileSize < 12 || !read(0, 12, head) || std::memcmp(head, "RIFF", 4) != 0 ||
        std::memcmp(head + 8, "WAVE", 4) != 0)
        return Fail(error, "not a RIFF/WAVE file");
    // The RIFF size may be wrong (a recording cut short); the chunks themselves say what is there.
    bool haveFormat = false;
    Format format;
    unsigned chunks = 0;
    for (uint64_t at = 12; fileSize - at >= 8;)
    {
        // Chunks before the audio are few; a file of thousands is no recording.
        if (++chunks > kMaxChunks)
            return Fail(error, "more than " + std::to_string(kMaxChunks) + " chunks before the data chunk");
        uint8_t chunk[8];
        if (!read(at, 8, chunk))
            return Fail(error, "the file cannot be read");
        const uint64_t length = Get32(chunk + 4);
        const uint64_t available = fileSize - at - 8;
        if (std::memcmp(chunk, "fmt ", 4) == 0)
        {
            if (length > available)
                return Fail(error, "the fmt chunk runs past the end of the file");
            // The fields end at byte 40; what follows them is not read.
            uint8_t body[kExtensibleFmt];
            const size_t take = size_t(std::min<uint64_t>(length, sizeof body));
            if (!read(at + 8, take, body))
                return Fail(error, "the file cannot be read");
            if (!ParseFormat(body, size_t(length), &format, error))
                return false;
            haveFormat = true;
        }
        else if (std::memcmp(chunk, "data", 4) == 0)
        {
            if (!haveFormat)
                return Fail(error, "the data chunk comes before the fmt chunk");
            const uint64_t block = format.BlockAlign();
            out->format = format;
            out->dataOffset = at + 8;
            out->declaredBytes = length;
            out->dataBytes = std::min(length, available) / block * block;
            return true;
        }
        // Chunks are padded to an even length.
        const uint64_t step = 8 + length + (length & 1);
        if (step > fileSize - at)
            break;
        at += step;
    }
    return Fail(error, haveFormat ? "no data chunk" : "no fmt chunk");
}

bool Parse(const uint8_t *bytes, size_t size, Audio *out, std::string *error)
{
    const ReadAt read = [&](uint64_t offset, size_t n, uint8_t *to)
    {
        std::memcpy(to, bytes + offset, n);
        return true;
    };
    if (!bytes)
        return Fail(error, "not a RIFF/WAVE file");
    Layout layout;
    if (!ParseLayout(read, size, &layout, error))
        return false;
    out->format = layout.format;
    out->data.assign(bytes + layout.dataOffset, bytes + layout.dataOffset + layout.dataBytes);
    return true;
}

bool Reader::Open(const std::filesystem::path &path, std::string *error)
{
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status))
        return Fail(error, "no file " + path.string());
    if (!std::filesystem::is_regular_file(status))
        return Fail(error, path.string() + " is not a regular file");
    const uint64_t size = std::filesystem::file_size(path, ec);
    if (ec)
        return Fail(error, "cannot read " + path.string());
    if (size > kMaxFileBytes)
        return Fail(error,
                    path.string() + " is larger than a WAV file can be (" + std::to_string(size) + " bytes)");
    if (m_File.is_open())
        m_File.close();
    m_File.clear();
    m_File.open(path, std::ios::binary);
    if (!m_File)
        return Fail(error, "cannot open " + path.string());
    const ReadAt read = [&](uint64_t offset, size_t n, uint8_t *to)
    {
        m_File.clear();
        return bool(m_File.seekg(std::streamoff(offset)) &&
                    m_File.read(reinterpret_cast<char *>(to), std::streamsize(n)));
    };
    std::string reason;
    if (!ParseLayout(read, size, &m_Layout, &reason))
        return Fail(error, path.string() + ": " + reason);
    m_File.clear();
    m_File.seekg(std::streamoff(m_Layout.dataOffset));
    m_Done = 0;
    return true;
}

size_t Reader::Read(uint8_t *out, size_t frames, std::string *error)
{
    const size_t block = m_Layout.format.BlockAlign();
    const uint64_t left = (m_Layout.dataBytes - m_Done) / block;
    const size_t take = size_t(std::min<uint64_t>(frames, left));
    if (take == 0)
        return 0;
    if (!m_File.read(reinterpret_cast<char *>(out), std::streamsize(take * block)))
    {
        Fail(error, "the file could not be read to its end");
        return 0;
    }
    m_Done += take * block;
    return take;
}

namespace
{

// The header of a file of `dataBytes` audio bytes.
std::vector<uint8_t> Header(const Format &f, uint64_t dataBytes)
{
    const bool extensible = f.channels > 2 || f.bits != 16 || f.validBits != f.bits;
    const uint32_t fmtBytes = extensible ? kExtensibleFmt : kPlainFmt;
    std::vector<uint8_t> out;
    out.insert(out.end(), {'R', 'I', 'F', 'F'});
    Put32(&out, uint32_t(4 + 8 + fmtBytes + 8 + dataBytes + (dataBytes & 1)));
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
    Put32(&out, uint32_t(dataBytes));
    return out;
}

} // namespace

std::vector<uint8_t> Serialize(const Audio &audio)
{
    std::vector<uint8_t> out = Header(audio.format, audio.data.size());
    out.insert(out.end(), audio.data.begin(), audio.data.end());
    if (audio.data.size() & 1)
        out.push_back(0);
    return out;
}

namespace
{

// The writers whose temporary file is not committed. Open, Commit and a writer's end take the lock
// around what they do to their files, so the signal thread finds each file either still to remove
// or already renamed.
std::mutex g_Uncommitted;
bool g_Committed = false; // under g_Uncommitted: a file is in place, the program's work is done
std::vector<Writer *> &Uncommitted()
{
    static auto *writers = new std::vector<Writer *>; // outlives the statics: a signal may come at exit
    return *writers;
}

} // namespace

Writer::~Writer()
{
    if (m_File)
    {
        std::fclose(m_File);
        std::lock_guard<std::mutex> hold(g_Uncommitted);
        Discard();
    }
}

void Writer::Discard()
{
    if (!m_Temporary.empty())
        unlink(m_Temporary.c_str());
    // rmdir takes only an empty folder: one that now holds something else stays.
    for (auto folder = m_Folders.rbegin(); folder != m_Folders.rend(); ++folder)
        rmdir(folder->c_str());
    m_Folders.clear();
    std::erase(Uncommitted(), this);
}

bool Writer::Open(const std::filesystem::path &path, std::string *error)
{
    std::error_code ec;
    if (std::filesystem::exists(path, ec) && !std::filesystem::is_regular_file(path, ec))
        return Fail(error, "cannot write " + path.string() + ": it is not a regular file");
    const std::filesystem::path folder = path.has_parent_path() ? path.parent_path() : ".";
    std::lock_guard<std::mutex> hold(g_Uncommitted);
    m_Temporary.clear();
    // What was made before a step failed goes again.
    const auto refuse = [&](const char *reason)
    {
        const std::string text = "cannot write " + path.string() + (reason ? std::string(": ") + reason : "");
        Discard();
        return Fail(error, text);
    };
    // The missing folders, outermost first, each noted only when this writer made it (another
    // program may make one at the same time).
    std::vector<std::filesystem::path> missing;
    for (auto at = folder; !at.empty() && !std::filesystem::exists(at, ec); at = at.parent_path())
    {
        missing.push_back(at);
        if (at == at.parent_path())
            break;
    }
    for (auto at = missing.rbegin(); at != missing.rend(); ++at)
        if (mkdir(at->c_str(), 0777) == 0)
            m_Folders.push_back(*at);
        else if (errno != EEXIST)
            return refuse(std::strerror(errno));
    std::string name = (folder / ("." + path.filename().string() + ".XXXXXX")).string();
    const int fd = mkstemp(name.data());
    if (fd < 0)
        return refuse(std::strerror(errno));
    fchmod(fd, 0644);
    m_Temporary = name;
    m_File = fdopen(fd, "wb");
    if (!m_File)
    {
        close(fd);
        return refuse(nullptr);
    }
    m_Path = path;
    m_Bytes = 0;
    m_Begun = false;
    Uncommitted().push_back(this);
    return true;
}

bool Writer::Begin(const Format &format, std::string *error)
{
    m_Format = format;
    m_Begun = true;
    const std::vector<uint8_t> header = Header(format, 0);
    if (!m_File || std::fwrite(header.data(), 1, header.size(), m_File) != header.size())
        return Fail(error, "cannot write " + m_Path.string());
    return true;
}

bool Writer::Append(const uint8_t *bytes, size_t size, std::string *error)
{
    if (!m_File || !m_Begun)
        return Fail(error, "cannot write " + m_Path.string());
    // The header's 32-bit sizes bound what a file can hold.
    if (m_Bytes + size + 8 + kExtensibleFmt + 8 + 4 > 0xFFFFFFFFull)
        return Fail(error, m_Path.string() + " would be larger than a WAV file can be");
    if (size && std::fwrite(bytes, 1, size, m_File) != size)
        return Fail(error, "cannot write " + m_Path.string() + ": " + std::strerror(errno));
    m_Bytes += size;
    return true;
}

bool Writer::Commit(std::string *error)
{
    if (!m_File || !m_Begun)
        return Fail(error, "cannot write " + m_Path.string());
    const std::vector<uint8_t> header = Header(m_Format, m_Bytes);
    const uint8_t pad = 0;
    bool ok = (!(m_Bytes & 1) || std::fwrite(&pad, 1, 1, m_File) == 1) &&
              std::fseek(m_File, 0, SEEK_SET) == 0 &&
              std::fwrite(header.data(), 1, header.size(), m_File) == header.size();
    ok = std::fclose(m_File) == 0 && ok;
    m_File = nullptr;
    std::lock_guard<std::mutex> hold(g_Uncommitted);
    std::error_code ec;
    if (ok)
        std::filesystem::rename(m_Temporary, m_Path, ec);
    if (!ok || ec)
    {
        Discard();
        return Fail(error, "cannot write " + m_Path.string());
    }
    m_Folders.clear();
    std::erase(Uncommitted(), this);
    g_Committed = true;
    return true;
}

void EndOnSignalsLeavingNoFile()
{
    // A handler could run on any thread, while the main thread makes, renames or removes the very
    // file it would remove, and may take no lock: the signals are blocked everywhere instead and
    // one thread takes them, as ordinary code under the writers' lock.
    sigset_t taken;
    sigemptyset(&taken);
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
    {
        struct sigaction was = {};
        // A signal ignored from the start (a run under nohup) stays ignored.
        if (sigaction(signal, nullptr, &was) == 0 && was.sa_handler != SIG_IGN)
            sigaddset(&taken, signal);
    }
    pthread_sigmask(SIG_BLOCK, &taken, nullptr);
    try
    {
        std::thread(
            [taken]
            {
                int signal = 0;
                if (sigwait(&taken, &signal) != 0)
                    return;
                std::lock_guard<std::mutex> hold(g_Uncommitted);
                // Too late to undo: the run ends as it would, with the file it wrote.
                if (g_Committed)
                    return;
                while (!Uncommitted().empty())
                    Uncommitted().back()->Discard();
                _exit(128 + signal);
            })
            .detach();
    }
    catch (const std::system_error &)
    {
        // No thread to take them: the signals end the run as they would by default.
        pthread_sigmask(SIG_UNBLOCK, &taken, nullptr);
    }
}

bool Write(const std::filesystem::path &path, const Audio &audio, std::string *error)
{
    Writer writer;
    return writer.Open(path, error) && writer.Begin(audio.format, error) &&
           writer.Append(audio.data.data(), audio.data.size(), error) && writer.Commit(error);
}

int32_t SampleAt(const uint8_t *p, unsigned width)
{
    uint32_t value = 0;
    for (unsigned b = 0; b < width; ++b)
        value |= uint32_t(p[b]) << (8 * b);
    // Sign-extend from the container width.
    const unsigned shift = 32 - 8 * width;
    return int32_t(value << shift) >> shift;
}

int32_t Sample(const Audio &audio, size_t index)
{
    const unsigned width = audio.format.bits / 8;
    return SampleAt(audio.data.data() + index * width, width);
}

} // namespace wav
