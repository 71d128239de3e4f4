// "play" and "capture": the driver started on a virtual headset, one of its wave pins opened by the
// audio engine's client, a WAV file played to the bus or recorded from it, and what crossed the bus
// measured and written out.
#include "commands.h"
#include "machine.h"

#include <ks_guids.h>
#include <pc_wave_format.h>
#include <sim/audio_client.h>
#include <sim/kernel_sim.h>
#include <sim/pnp_sim.h>
#include <sim/portcls_sim.h>
#include <sim/usb_bus.h>
#include <sim/usb_iso_engine.h>
#include <sim/usb_pnp.h>

#include "driver/core/driver_entry.h"
#include "driver/filters/node_controls.h"
#include "host/cli/options.h"
#include "host/wav/wav_file.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <numeric>
#include <thread>

namespace host
{

namespace
{

constexpr unsigned kPort = 1;
constexpr unsigned kFilterWaitMs = 2000;

// ---- Sources ---------------------------------------------------------------------------------------

// What play plays, read block by block as the pin takes it, so nothing holds the whole of it.
class Source
{
public:
    virtual ~Source() = default;
    const wav::Format &Format() const { return m_Format; }
    uint64_t Frames() const { return m_Frames; }
    // Up to `frames` whole frames; 0 at the end or on an error (then `error` says which).
    virtual size_t Read(uint8_t *out, size_t frames, std::string *error) = 0;

protected:
    wav::Format m_Format;
    uint64_t m_Frames = 0;
};

class FileSource : public Source
{
public:
    bool Open(const std::filesystem::path &path, std::string *error, std::string *warning)
    {
        if (!m_Reader.Open(path, error))
            return false;
        const wav::Layout &at = m_Reader.Where();
        m_Format = at.format;
        m_Frames = m_Reader.Frames();
        if (m_Frames == 0)
        {
            *error = path.string() + " holds no audio: its data chunk " +
                     (at.declaredBytes ? "says " + std::to_string(at.declaredBytes) +
                                             " bytes, the file holds " + std::to_string(at.dataBytes)
                                       : "is empty");
            return false;
        }
        if (m_Frames > uint64_t(kMaxSeconds) * m_Format.rate)
        {
            *error = path.string() + " lasts " + std::to_string(m_Frames / m_Format.rate) +
                     " s; play takes at most " + std::to_string(kMaxSeconds) + " s";
            return false;
        }
        if (at.declaredBytes > at.dataBytes + m_Format.BlockAlign() - 1)
            *warning = path.string() + " is cut short: its data chunk says " +
                       std::to_string(at.declaredBytes) + " bytes, the file holds " +
                       std::to_string(at.dataBytes) + "; playing those";
        return true;
    }
    size_t Read(uint8_t *out, size_t frames, std::string *error) override
    {
        return m_Reader.Read(out, frames, error);
    }

private:
    wav::Reader m_Reader;
};

// A sine at half scale in every channel, made as it is read.
class ToneSource : public Source
{
public:
    explicit ToneSource(const Tone &tone) : m_Tone(tone)
    {
        m_Format = {tone.channels, tone.rate, tone.bits, tone.bits, 0};
        m_Frames = uint64_t(std::floor(tone.seconds * tone.rate));
        m_Full = std::ldexp(1.0, int(tone.bits) - 1) - 1;
    }
    size_t Read(uint8_t *out, size_t frames, std::string *) override
    {
        const size_t take = size_t(std::min<uint64_t>(frames, m_Frames - m_At));
        const unsigned width = m_Tone.bits / 8;
        for (size_t f = 0; f < take; ++f, ++m_At)
        {
            const int64_t v =
                std::llround(0.5 * m_Full * std::sin(2 * M_PI * m_Tone.hz * double(m_At) / m_Tone.rate));
            for (unsigned c = 0; c < m_Tone.channels; ++c)
                for (unsigned b = 0; b < width; ++b)
                    *out++ = uint8_t(uint64_t(v) >> (8 * b));
        }
        return take;
    }

private:
    Tone m_Tone;
    double m_Full = 0;
    uint64_t m_At = 0;
};

std::filesystem::path InputPath(const Options &options)
{
    return options.input.empty() ? options.examples / "play-example.wav" : options.input;
}

// The source --tone or --input names (the example without either), checked whole before a byte plays.
std::unique_ptr<Source> OpenSource(const Options &options, std::string *error, std::string *warning)
{
    if (options.tone)
        return std::make_unique<ToneSource>(*options.tone);
    auto file = std::make_unique<FileSource>();
    if (!file->Open(InputPath(options), error, warning))
        return nullptr;
    return file;
}

// Cuts a byte stream into whole frames, whatever pieces it arrives in.
class FrameCutter
{
public:
    explicit FrameCutter(size_t block = 1) : m_Block(block) {}
    template <typename PerFrame> void Feed(const uint8_t *bytes, size_t size, PerFrame &&perFrame)
    {
        while (size)
        {
            if (m_Carry.empty() && size >= m_Block)
            {
                perFrame(bytes);
                bytes += m_Block;
                size -= m_Block;
                continue;
            }
            const size_t take = std::min(size, m_Block - m_Carry.size());
            m_Carry.insert(m_Carry.end(), bytes, bytes + take);
            bytes += take;
            size -= take;
            if (m_Carry.size() == m_Block)
            {
                perFrame(m_Carry.data());
                m_Carry.clear();
            }
        }
    }

private:
    size_t m_Block;
    std::vector<uint8_t> m_Carry;
};

// ---- The data format a pin opens with --------------------------------------------------------------

std::vector<UCHAR> PinFormat(const wav::Format &f)
{
    WAVEFORMATEXTENSIBLE wave{};
    wave.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    wave.Format.nChannels = f.channels;
    wave.Format.nSamplesPerSec = f.rate;
    wave.Format.nBlockAlign = f.BlockAlign();
    wave.Format.nAvgBytesPerSec = f.rate * f.BlockAlign();
    wave.Format.wBitsPerSample = f.bits;
    wave.Format.cbSize = sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX);
    wave.Samples.wValidBitsPerSample = f.validBits;
    wave.dwChannelMask = f.channelMask ? f.channelMask : (1u << f.channels) - 1;
    wave.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    std::vector<UCHAR> data(sizeof(KSDATAFORMAT) + sizeof(wave));
    const KSDATAFORMAT header{ULONG(data.size()),
                              0,
                              0,
                              0,
                              KSDATAFORMAT_TYPE_AUDIO,
                              KSDATAFORMAT_SUBTYPE_PCM,
                              KSDATAFORMAT_SPECIFIER_WAVEFORMATEX};
    std::memcpy(data.data(), &header, sizeof(header));
    std::memcpy(data.data() + sizeof(header), &wave, sizeof(wave));
    return data;
}

std::string FormatText(const wav::Format &f)
{
    return std::to_string(f.rate) + " Hz, " + std::to_string(f.channels) + " ch, " + std::to_string(f.bits) +
           "-bit";
}

// ---- The headset's isochronous endpoints -----------------------------------------------------------

struct Endpoint
{
    uint8_t address;
    uint16_t maxPacket;
};

// Isochronous endpoints of the headset's configuration. Feedback packets are three or four bytes.
std::vector<Endpoint> IsoEndpoints(usbsim::VirtualDevice &device, bool in, bool feedback)
{
    std::vector<Endpoint> out;
    const auto &cfg = device.Descriptors().configuration;
    for (size_t at = 0; at + 2 <= cfg.size() && cfg[at] >= 2;)
    {
        const size_t length = cfg[at];
        if (cfg[at + 1] == 5 && length >= 7 && at + length <= cfg.size() && (cfg[at + 3] & 3) == 1)
        {
            const Endpoint e{cfg[at + 2], uint16_t((cfg[at + 4] | cfg[at + 5] << 8) & 0x7FF)};
            const bool listed = std::any_of(out.begin(), out.end(),
                                            [&](const Endpoint &o) { return o.address == e.address; });
            if (bool(e.address & 0x80) == in && (e.maxPacket <= 4) == feedback && !listed)
                out.push_back(e);
        }
        at += length;
    }
    return out;
}

// ---- What the bus's log says ----------------------------------------------------------------------

// What the isochronous engine logged for one endpoint: transfers completed, packets, bytes, failures.
struct BusCounts
{
    unsigned transfers = 0;
    uint64_t packets = 0;
    uint64_t bytes = 0;
    unsigned errors = 0;
    std::map<unsigned, unsigned> transferBytes;
    unsigned long firstStart = 0, lastStart = 0;
    uint64_t lastBytes = 0;

    // The bus's rate: the frames of every transfer but the last over the milliseconds from the first
    // start to the last.
    double Rate(unsigned blockAlign) const
    {
        const unsigned long ms = lastStart - firstStart;
        return ms ? double(bytes - lastBytes) / blockAlign * 1000.0 / double(ms) : 0;
    }
};

// The engine's log lines, counted per endpoint as they arrive (from any thread).
class TransferLog
{
public:
    void Add(const std::string &line)
    {
        unsigned pipe = 0, packets = 0, status = 0, urb = 0, ep = 0;
        unsigned long start = 0;
        uint64_t bytes = 0;
        std::lock_guard<std::mutex> hold(m_Lock);
        if (std::sscanf(
                line.c_str(),
                "iso complete pipe %u ep 0x%X start %lu packets %u status 0x%X urb 0x%X bytes %" SCNu64,
                &pipe, &ep, &start, &packets, &status, &urb, &bytes) == 7)
        {
            BusCounts &counts = m_Counts[uint8_t(ep)];
            if (counts.transfers++ == 0)
                counts.firstStart = start;
            counts.lastStart = start;
            counts.lastBytes = bytes;
            counts.packets += packets;
            counts.bytes += bytes;
            ++counts.transferBytes[unsigned(bytes)];
            if (status != 0)
                ++counts.errors;
        }
        else if (line.rfind("iso reject", 0) == 0 || line.rfind("iso fail", 0) == 0)
        {
            const size_t at = line.find(" ep 0x");
            if (at != std::string::npos && std::sscanf(line.c_str() + at, " ep 0x%X", &ep) == 1)
                ++m_Counts[uint8_t(ep)].errors;
        }
    }
    BusCounts Of(uint8_t endpoint)
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        return m_Counts[endpoint];
    }

private:
    std::mutex m_Lock;
    std::map<uint8_t, BusCounts> m_Counts;
};

// ---- The run --------------------------------------------------------------------------------------

// The machine with the driver loaded and the headset plugged and started, on virtual time unless
// --realtime.
class Session
{
public:
    explicit Session(const Options &options)
        : m_Options(options),
          m_Machine(options.examples, options.realtime ? sim::ClockMode::Real : sim::ClockMode::Virtual)
    {
    }
    ~Session() { End(); }

    std::string Start()
    {
        m_Headset = BuildHeadset(m_Options.device);
        if (!m_Headset)
            return "unknown device '" + m_Options.device + "'";
        m_Bus = std::make_unique<usbsim::Bus>();
        usbsim::AttachPnpManager(*m_Bus);
        const NTSTATUS loaded = sim::pnp::LoadDriver(&DriverEntry);
        if (!NT_SUCCESS(loaded))
            return "the driver did not load: " + StatusText(loaded);
        const PDEVICE_OBJECT pdo = m_Bus->Plug(kPort, m_Headset);
        // The status thread reads the jacks once it runs and the wave filters follow: an endpoint is
        // looked up, and the others listed, only once each of them has registered.
        sim::RunUntilIdle();
        // The engine's log is counted as it comes: a long run would otherwise hold every line.
        for (const std::string &line : Iso().Log())
            m_Counts.Add(line);
        Iso().ClearLog();
        Iso().SetLogSink([this](const std::string &line) { m_Counts.Add(line); });
        if (!pdo || !sim::pnp::Started(pdo))
            return "the headset did not start";
        return "";
    }
    BusCounts Counts(uint8_t endpoint) { return m_Counts.Of(endpoint); }
    usbsim::VirtualDevice &Headset() { return *m_Headset; }
    usbsim::IsoEngine &Iso() { return m_Bus->Iso(kPort); }

    // Moves time on by `ms`: the virtual clock, or the wall clock with --realtime.
    void Pass(unsigned ms)
    {
        if (m_Options.realtime)
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
        else
            sim::AdvanceMs(ms);
    }

    // Unplugs, unloads and checks the pool: "" when nothing was left behind.
    std::string End()
    {
        if (m_Ended)
            return "";
        m_Ended = true;
        if (m_Bus)
        {
            m_Bus->Unplug(kPort);
            Iso().SetLogSink(nullptr);
        }
        if (sim::pnp::Driver())
            sim::pnp::UnloadDriver();
        m_Bus.reset();
        return m_Machine.Finish();
    }

private:
    const Options &m_Options;
    SimulatedMachine m_Machine;
    std::shared_ptr<usbsim::VirtualDevice> m_Headset;
    std::unique_ptr<usbsim::Bus> m_Bus;
    TransferLog m_Counts;
    bool m_Ended = false;
};

// ---- Statistics -----------------------------------------------------------------------------------

std::string Db(double ratio)
{
    if (ratio <= 0)
        return "  -inf";
    char text[16];
    std::snprintf(text, sizeof text, "%6.1f", 20 * std::log10(ratio));
    return text;
}

// Peak and RMS per channel of a stream of frames.
class Levels
{
public:
    explicit Levels(const wav::Format &format)
        : m_Format(format), m_Peak(format.channels), m_Sum(format.channels),
          m_Full(std::ldexp(1.0, format.bits - 1))
    {
    }
    void Frame(const uint8_t *frame)
    {
        const unsigned width = m_Format.bits / 8;
        for (unsigned c = 0; c < m_Format.channels; ++c)
        {
            const double v = wav::SampleAt(frame + c * width, width) / m_Full;
            m_Peak[c] = std::max(m_Peak[c], std::fabs(v));
            m_Sum[c] += v * v;
        }
        ++m_Frames;
    }
    void Print(const char *what) const
    {
        std::printf("%-8s %s, %.3f s\n", what, FormatText(m_Format).c_str(),
                    double(m_Frames) / m_Format.rate);
        for (unsigned c = 0; c < m_Format.channels; ++c)
            std::printf("  channel %u  peak %s dBFS  RMS %s dBFS\n", c, Db(m_Peak[c]).c_str(),
                        Db(m_Frames ? std::sqrt(m_Sum[c] / double(m_Frames)) : 0).c_str());
    }

private:
    wav::Format m_Format;
    std::vector<double> m_Peak, m_Sum;
    double m_Full;
    uint64_t m_Frames = 0;
};

void PrintHistogram(const char *what, const std::map<unsigned, unsigned> &histogram)
{
    std::printf("%s", what);
    for (const auto &[size, count] : histogram)
        std::printf("  %u B x%u", size, count);
    std::printf("\n");
}

// Whether the bus carried what should arrive: after a lead of silence, the source's own channels
// frame for frame (channels the bus carries beyond them silent). The source is read a second time as
// the bus's frames come, so neither is held whole.
class Verdict
{
public:
    Verdict(std::unique_ptr<Source> expected, const wav::Format &bus)
        : m_Expected(std::move(expected)), m_Bus(bus), m_Want(m_Expected->Format().BlockAlign())
    {
        if (bus.bits != m_Expected->Format().bits)
            Fail("the bus carries " + std::to_string(bus.bits) + "-bit samples, the source " +
                 std::to_string(m_Expected->Format().bits) + "-bit");
        else if (bus.channels < m_Expected->Format().channels)
            Fail("the bus carries " + std::to_string(bus.channels) + " of the source's " +
                 std::to_string(m_Expected->Format().channels) + " channels");
    }

    void Frame(const uint8_t *frame)
    {
        const size_t block = m_Bus.BlockAlign();
        if (m_State == State::Leading)
        {
            if (std::all_of(frame, frame + block, [](uint8_t b) { return b == 0; }))
            {
                ++m_BusSilence;
                return;
            }
            // The first sound on the bus: the source's first sound must be as far into the source as
            // the bus's is past its lead.
            const uint64_t sourceSilence = SkipSilence();
            if (m_SourceDone || sourceSilence > m_BusSilence)
                return Fail("");
            m_Lead = m_BusSilence - sourceSilence;
            m_Matched = sourceSilence;
            m_State = State::Matching;
        }
        if (m_State != State::Matching)
            return;
        const uint8_t *want = Next();
        if (!want)
            return;
        if (std::memcmp(frame, want, m_Want) != 0 ||
            !std::all_of(frame + m_Want, frame + block, [](uint8_t b) { return b == 0; }))
            return Fail("");
        if (++m_Matched == m_Expected->Frames())
            m_State = State::Matched;
    }

    // "bit-exact: ..." for the frames seen.
    std::string Text()
    {
        if (m_State == State::Leading)
        {
            // A silent source matches a bus that was silent at least as long.
            const uint64_t sourceSilence = SkipSilence();
            if (m_SourceDone && sourceSilence <= m_BusSilence && m_Error.empty())
            {
                m_State = State::Matched;
                m_Lead = 0;
            }
        }
        if (m_State != State::Matched)
            return "no" + (m_Why.empty() ? "" : " (" + m_Why + ")");
        char text[96];
        std::snprintf(text, sizeof text, "yes (after %" PRIu64 " frames of silence, %.1f ms)", m_Lead,
                      double(m_Lead) * 1000.0 / m_Bus.rate);
        return text;
    }
    const std::string &Error() const { return m_Error; } // a source that could not be read again

private:
    enum class State
    {
        Leading,
        Matching,
        Matched,
        Failed,
    };

    void Fail(const std::string &why)
    {
        m_State = State::Failed;
        m_Why = why;
    }
    // The next source frame, or null at its end.
    const uint8_t *Next()
    {
        if (m_At == m_Have)
        {
            m_Block.resize(kBlockFrames * m_Want);
            m_Have = m_Expected->Read(m_Block.data(), kBlockFrames, &m_Error);
            m_At = 0;
            if (m_Have == 0)
            {
                m_SourceDone = true;
                return nullptr;
            }
        }
        return &m_Block[m_At++ * m_Want];
    }
    // Silent source frames from here on; the first frame with sound is read again by Next.
    uint64_t SkipSilence()
    {
        uint64_t silent = 0;
        for (const uint8_t *f; (f = Next()) != nullptr; ++silent)
            if (!std::all_of(f, f + m_Want, [](uint8_t b) { return b == 0; }))
            {
                --m_At;
                break;
            }
        return silent;
    }

    static constexpr size_t kBlockFrames = 4096;
    std::unique_ptr<Source> m_Expected;
    wav::Format m_Bus;
    size_t m_Want; // bytes of a source frame
    std::vector<uint8_t> m_Block;
    size_t m_Have = 0, m_At = 0;
    bool m_SourceDone = false;
    State m_State = State::Leading;
    uint64_t m_BusSilence = 0, m_Lead = 0, m_Matched = 0; // m_Matched: source frames the bus matched
    std::string m_Why, m_Error;
};

// ---- Endpoints --------------------------------------------------------------------------------------

// The wave filter of `endpoint`. The driver registers it once its status thread has read the jacks,
// so it may take a moment after the start.
sim::audio::FilterRef WaitForFilter(Session &session, const std::string &endpoint)
{
    sim::audio::FilterRef ref = sim::audio::FindFilter(endpoint + "Wave");
    for (unsigned waited = 0; !ref.Port && waited < kFilterWaitMs; waited += 10)
    {
        session.Pass(10);
        ref = sim::audio::FindFilter(endpoint + "Wave");
    }
    return ref;
}

// Whether the wave filter records: its streaming pin hands data out of the filter.
bool Captures(PPORT port)
{
    sim::audio::Filter filter(port);
    const std::vector<sim::audio::PinInfo> pins = filter.Pins();
    return !pins.empty() && pins[0].Flow == KSPIN_DATAFLOW_OUT;
}

// The endpoints the headset registered that play (capture false) or record, by name.
std::vector<std::string> EndpointsOf(bool capture)
{
    std::vector<std::string> names;
    for (const auto &r : sim::portcls::Subdevices())
        if (r.Name.size() > 4 && r.Name.compare(r.Name.size() - 4, 4, "Wave") == 0)
        {
            const sim::audio::FilterRef ref = sim::audio::FindFilter(r.Name);
            if (ref.Port && Captures(ref.Port) == capture)
                names.push_back(r.Name.substr(0, r.Name.size() - 4));
        }
    return names;
}

std::string Names(const std::vector<std::string> &names)
{
    std::string out;
    for (const std::string &n : names)
        out += (out.empty() ? "" : ", ") + n;
    return out.empty() ? "none" : out;
}

// "" when `endpoint` names a wave filter that goes the way the command does, else the mistake.
std::string CheckEndpoint(Session &session, const std::string &endpoint, bool capture,
                          sim::audio::FilterRef *ref)
{
    *ref = WaitForFilter(session, endpoint);
    const char *way = capture ? "capture" : "render";
    if (!ref->Port)
        return "the headset has no endpoint " + endpoint + " (its " + way +
               " endpoints: " + Names(EndpointsOf(capture)) + ")";
    if (Captures(ref->Port) != capture)
        return endpoint + " is a " + (capture ? "render" : "capture") + " endpoint; " +
               (capture ? "capture from" : "play to") + " a " + way +
               " endpoint: " + Names(EndpointsOf(capture));
    return "";
}

// Without --endpoint: the headphones, or else the first render endpoint the headset registered.
std::string DefaultRenderEndpoint(Session &session)
{
    if (WaitForFilter(session, "HPOut00").Port)
        return "HPOut00";
    const std::vector<std::string> render = EndpointsOf(false);
    return render.empty() ? "HPOut00" : render[0];
}

// The endpoint's own format: the pin's answer to a client that takes anything.
bool EndpointFormat(sim::audio::Filter &filter, wav::Format *format, std::vector<UCHAR> *data)
{
    KSDATARANGE_AUDIO any{{sizeof(KSDATARANGE_AUDIO), 0, 0, 0, KSDATAFORMAT_TYPE_AUDIO,
                           KSDATAFORMAT_SUBTYPE_PCM, KSDATAFORMAT_SPECIFIER_WILDCARD},
                          8,
                          8,
                          32,
                          1000,
                          768000,
                          0};
    data->assign(sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE), 0);
    ULONG length = 0;
    if (!NT_SUCCESS(filter.Intersect(0, &any, sizeof(any), ULONG(data->size()), data->data(), &length)) ||
        length < data->size())
        return false;
    WAVEFORMATEXTENSIBLE wave;
    std::memcpy(&wave, data->data() + sizeof(KSDATAFORMAT), sizeof(wave));
    *format = {wave.Format.nChannels, wave.Format.nSamplesPerSec, wave.Format.wBitsPerSample,
               wave.Samples.wValidBitsPerSample, wave.dwChannelMask};
    return true;
}

// The streaming pin of the wave filter opened in `format`; "" or why not, with what the pin takes.
std::string OpenEndpoint(const sim::audio::FilterRef &ref, const std::string &endpoint,
                         const std::vector<UCHAR> &format, const std::string &what,
                         std::unique_ptr<sim::audio::Filter> *filter, std::unique_ptr<sim::audio::Pin> *pin)
{
    *filter = std::make_unique<sim::audio::Filter>(ref.Port);
    const NTSTATUS status = sim::audio::OpenPin(**filter, 0, format.data(), ULONG(format.size()), pin);
    if (NT_SUCCESS(status))
        return "";
    std::string takes;
    for (const auto &pinInfo : (*filter)->Pins())
        for (const auto &range : pinInfo.Ranges)
            if (range.size() >= sizeof(KSDATARANGE_AUDIO))
            {
                KSDATARANGE_AUDIO audio;
                std::memcpy(&audio, range.data(), sizeof(audio));
                takes += std::string(takes.empty() ? "" : "; ") + "up to " +
                         std::to_string(audio.MaximumChannels) + " ch, " +
                         std::to_string(audio.MinimumBitsPerSample) + "-" +
                         std::to_string(audio.MaximumBitsPerSample) + " bits, " +
                         std::to_string(audio.MinimumSampleFrequency) + "-" +
                         std::to_string(audio.MaximumSampleFrequency) + " Hz";
            }
    return endpoint + " does not take " + what + ": " + StatusText(status) +
           (takes.empty() ? "" : " (it takes " + takes + ")");
}

// Switches the headset's surround node as a client does: the topology filter's node named by the
// surround type, through its device-specific property. "" or why it could not.
std::string SetSurround(bool on)
{
    for (const auto &ref : sim::audio::FiltersOf(KSCATEGORY_TOPOLOGY))
    {
        sim::audio::Filter topology(ref.Port);
        const auto nodes = topology.Nodes();
        for (ULONG n = 0; n < nodes.size(); ++n)
            if (nodes[n].Name && *nodes[n].Name == EFFECT_NODE_140_TYPE)
            {
                ULONG value = on ? 1 : 0;
                const NTSTATUS status = topology.Set(KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, n,
                                                     nullptr, 0, &value, sizeof value);
                return NT_SUCCESS(status) ? ""
                                          : "the surround node refused the switch: " + StatusText(status);
            }
    }
    return "the headset has no surround node";
}

// Where the output goes: --output, else out/<prefix>-<endpoint>.wav. "" or the mistake.
std::string OutputPath(const Options &options, const char *prefix, const std::string &endpoint,
                       const std::filesystem::path *input, std::filesystem::path *output)
{
    *output = options.output.empty()
                  ? std::filesystem::path("out") / (std::string(prefix) + "-" + endpoint + ".wav")
                  : options.output;
    std::error_code ec;
    if (std::filesystem::is_directory(*output, ec))
        return "the output " + output->string() + " is a folder";
    if (input && SameFile(*input, *output))
        return "the output " + output->string() + " is the input file: give another --output";
    return "";
}

// How a run ended: the exit code, with one line on stderr for anything but success. A mistake (2)
// is the user's to mend; a failure (1) is the run's. The output is committed only once every check
// of the run has passed, the kernel state's last.
int End(Session &session, const char *command, const Options &options, std::string failure,
        const std::string &mistake = "", wav::Writer *output = nullptr)
{
    const std::string leftOver = session.End();
    std::printf("Pool       %s\n", leftOver.empty() ? "every block freed, nothing left behind" : "");
    std::fputs(leftOver.c_str(), stdout);
    if (failure.empty() && mistake.empty() && !leftOver.empty())
        failure = "the run left kernel state behind";
    if (failure.empty() && mistake.empty() && output)
    {
        std::string error;
        if (output->Commit(&error))
            std::printf("wrote      %s\n", output->Path().string().c_str());
        else
            failure = error;
    }
    if (failure.empty() && mistake.empty())
        return 0;
    std::fprintf(stderr, "zelko-host: %s --device %s: %s\n", command, options.device.c_str(),
                 OneLine(mistake.empty() ? failure : mistake).c_str());
    return mistake.empty() ? 1 : 2;
}

// What plays: the source's frames, on the first channels of a wider endpoint.
class Feed
{
public:
    Feed(Source &source, const wav::Format &played)
        : m_Source(source), m_Played(played), m_Levels(source.Format())
    {
    }

    // Queues source frames until the pin holds `ahead` bytes; false with `error` on a read error.
    bool TopUp(sim::audio::Pin &pin, size_t ahead, std::string *error)
    {
        const size_t in = m_Source.Format().BlockAlign(), out = m_Played.BlockAlign();
        while (!m_Done && pin.SourceQueued() < ahead)
        {
            m_Block.resize(kBlockFrames * in);
            const size_t frames = m_Source.Read(m_Block.data(), kBlockFrames, error);
            if (frames == 0)
            {
                m_Done = true;
                return error->empty();
            }
            m_Wide.assign(frames * out, 0);
            for (size_t f = 0; f < frames; ++f)
            {
                m_Levels.Frame(&m_Block[f * in]);
                std::memcpy(&m_Wide[f * out], &m_Block[f * in], in);
            }
            pin.AppendSource(m_Wide.data(), m_Wide.size());
        }
        return true;
    }
    const Levels &SourceLevels() const { return m_Levels; }

private:
    static constexpr size_t kBlockFrames = 1024;
    Source &m_Source;
    wav::Format m_Played;
    Levels m_Levels;
    std::vector<uint8_t> m_Block, m_Wide;
    bool m_Done = false;
};

// What reached the OUT data endpoint, taken from the bus as it arrives: written out, measured and
// compared with the source.
class BusTap
{
public:
    BusTap(Session &session, const wav::Format &played, std::unique_ptr<Source> expected, wav::Writer &writer)
        : m_Session(session), m_Played(played), m_Expected(std::move(expected)), m_Writer(writer)
    {
    }

    // Takes what every OUT data endpoint received; the first to receive anything carries the stream.
    bool Drain(std::string *error)
    {
        for (const Endpoint &e : IsoEndpoints(m_Session.Headset(), false, false))
        {
            std::vector<usbsim::IsoOutPacket> packets = m_Session.Iso().TakeOutPackets(e.address);
            if (packets.empty() || (m_Data && e.address != m_Data))
                continue;
            if (!m_Data && !Begin(e.address, error))
                return false;
            for (const usbsim::IsoOutPacket &p : packets)
                if (!Packet(p, error))
                    return false;
        }
        return true;
    }
    // The stream's format as the bus carries it (the source's, before anything arrived).
    const wav::Format &Format() const { return m_Format; }
    uint8_t DataEndpoint() const { return m_Data; }

    void Print()
    {
        if (m_Levels)
            m_Levels->Print("Bus");
        else
            std::printf("Bus      nothing arrived\n");
    }
    void PrintPackets() const { PrintHistogram("packet sizes", m_Sizes); }
    // The bus's rate: the frames it carried (but the last packet's) over the USB frames they took.
    void PrintRate() const
    {
        if (m_Packets < 2)
            return;
        const double ms =
            double(m_Last.frame - m_First.frame) + (m_Last.microframe - m_First.microframe) / 8.0;
        const double frames = double(m_Bytes - m_LastBytes) / m_Format.BlockAlign();
        if (ms > 0)
            std::printf("measured rate %.1f Hz (bus, over %u USB frames)\n", frames * 1000.0 / ms,
                        unsigned(ms));
    }
    uint64_t Packets() const { return m_Packets; }
    std::string VerdictText() { return m_Verdict ? m_Verdict->Text() : "no (nothing arrived)"; }
    std::string VerdictError() const { return m_Verdict ? m_Verdict->Error() : ""; }
    // Before anything arrived, the file is still in the source's format.
    bool Finish(std::string *error) { return (m_Writer.Begun() || m_Writer.Begin(m_Played, error)); }

private:
    bool Begin(uint8_t endpoint, std::string *error)
    {
        m_Data = endpoint;
        // The device stream may carry fewer channels than the pin's format (a mix-down) or another
        // sample width: the streaming interface's alternate setting tells.
        m_Format = m_Played;
        const usbsim::IsoStreamFormat bus = m_Session.Iso().StreamFormat(endpoint);
        if (bus.channels && bus.bytesPerSample >= 2 && bus.bytesPerSample <= 4)
        {
            if (bus.channels != m_Format.channels)
                m_Format.channelMask = 0;
            m_Format.channels = bus.channels;
            m_Format.bits = uint16_t(bus.bytesPerSample * 8);
            m_Format.validBits = std::min(m_Format.validBits, m_Format.bits);
        }
        m_Cutter = FrameCutter(m_Format.BlockAlign());
        m_Levels = std::make_unique<Levels>(m_Format);
        m_Verdict = std::make_unique<Verdict>(std::move(m_Expected), m_Format);
        return m_Writer.Begin(m_Format, error);
    }
    bool Packet(const usbsim::IsoOutPacket &p, std::string *error)
    {
        if (m_Packets++ == 0)
            m_First = {p.frame, p.microframe, {}};
        m_Last = {p.frame, p.microframe, {}};
        m_Bytes += p.bytes.size();
        m_LastBytes = p.bytes.size();
        ++m_Sizes[unsigned(p.bytes.size())];
        bool written = true;
        m_Cutter.Feed(p.bytes.data(), p.bytes.size(),
                      [&](const uint8_t *frame)
                      {
                          m_Levels->Frame(frame);
                          m_Verdict->Frame(frame);
                          written = written && m_Writer.Append(frame, m_Format.BlockAlign(), error);
                      });
        return written;
    }

    Session &m_Session;
    wav::Format m_Played, m_Format;
    std::unique_ptr<Source> m_Expected;
    wav::Writer &m_Writer;
    uint8_t m_Data = 0;
    FrameCutter m_Cutter;
    std::unique_ptr<Levels> m_Levels;
    std::unique_ptr<Verdict> m_Verdict;
    std::map<unsigned, unsigned> m_Sizes;
    usbsim::IsoOutPacket m_First{}, m_Last{};
    uint64_t m_Packets = 0, m_Bytes = 0, m_LastBytes = 0;
};

} // namespace

int RunPlay(const Options &options)
{
    std::string error, warning;
    std::unique_ptr<Source> source = OpenSource(options, &error, &warning);
    if (!source)
    {
        std::fprintf(stderr, "zelko-host: play: %s\n", OneLine(error).c_str());
        return 2;
    }
    if (!warning.empty())
        std::fprintf(stderr, "zelko-host: play: warning: %s\n", OneLine(warning).c_str());
    const std::filesystem::path input = InputPath(options);

    Session session(options);
    std::string failure = session.Start();
    const std::string endpoint = !options.endpoint.empty() ? options.endpoint
                                 : failure.empty()         ? DefaultRenderEndpoint(session)
                                                           : "HPOut00";
    std::printf("Headset    --device %s, endpoint %s, %s time\n", options.device.c_str(), endpoint.c_str(),
                options.realtime ? "real" : "virtual");
    std::printf("Source     %s, %.3f s, %s\n", FormatText(source->Format()).c_str(),
                double(source->Frames()) / source->Format().rate,
                options.tone ? "a tone made as it plays" : input.string().c_str());
    if (!failure.empty())
        return End(session, "play", options, failure);
    std::filesystem::path output;
    sim::audio::FilterRef ref;
    std::string mistake = OutputPath(options, "bus", endpoint, options.tone ? nullptr : &input, &output);
    if (mistake.empty())
        mistake = CheckEndpoint(session, endpoint, false, &ref);
    if (!mistake.empty())
        return End(session, "play", options, "", mistake);

    // The format the pin is offered. A plain PCM source of the endpoint's channel count takes the
    // endpoint's channel mask, as the audio engine offers it; an endpoint that takes only more
    // channels than the source has (the 7.1 effect headsets) plays the source on its first channels
    // and silence on the others, as the system's mixer would.
    wav::Format own;
    std::vector<UCHAR> ownData;
    const bool knowsOwn = EndpointFormat(*std::make_unique<sim::audio::Filter>(ref.Port), &own, &ownData);
    wav::Format played = source->Format();
    if (!played.channelMask && knowsOwn && own.channels == played.channels)
        played.channelMask = own.channelMask;
    std::unique_ptr<sim::audio::Filter> filter;
    std::unique_ptr<sim::audio::Pin> pin;
    mistake = OpenEndpoint(ref, endpoint, PinFormat(played), FormatText(played), &filter, &pin);
    if (!mistake.empty() && knowsOwn && own.channels > played.channels)
    {
        played.channels = own.channels;
        played.channelMask = own.channelMask;
        if (OpenEndpoint(ref, endpoint, PinFormat(played), FormatText(played), &filter, &pin).empty())
        {
            mistake.clear();
            std::printf("Source     up-mixed to %u channels (mask 0x%X) for the endpoint\n", own.channels,
                        unsigned(own.channelMask));
        }
    }
    if (mistake.empty() && !options.surround.empty())
    {
        mistake = SetSurround(options.surround == "on");
        if (mistake.empty())
            std::printf("Surround   %s%s\n", options.surround.c_str(),
                        SurroundRunsInTheDriver(options.device)
                            ? ""
                            : " (switched in the headset itself: the bus carries the stream as sent)");
        else
            mistake = "--surround " + options.surround + ": " + mistake;
    }
    wav::Writer writer;
    if (mistake.empty() && !writer.Open(output, &error))
        mistake = error;
    std::unique_ptr<Source> expected = mistake.empty() ? OpenSource(options, &error, &warning) : nullptr;
    if (mistake.empty() && !expected)
        failure = "the source cannot be read again: " + error;
    if (!mistake.empty() || !failure.empty())
    {
        pin.reset();
        filter.reset();
        return End(session, "play", options, failure, mistake);
    }

    Feed feed(*source, played);
    BusTap tap(session, played, std::move(expected), writer);
    // The pin's client keeps a buffer's worth and 100 ms queued ahead of what it writes.
    pin->KeepMoved(FALSE);
    const size_t ahead = pin->BufferSize() + played.rate / 10 * played.BlockAlign();
    std::string readError;
    if (!feed.TopUp(*pin, ahead, &readError))
        failure = "the source could not be read: " + readError;
    if (failure.empty())
    {
        const NTSTATUS status = pin->SetState(KSSTATE_RUN);
        if (!NT_SUCCESS(status))
            failure = "the pin did not run: " + StatusText(status);
    }
    if (failure.empty())
    {
        // The source, then the transfers still in flight and a little silence.
        const uint64_t ms = source->Frames() * 1000 / played.rate;
        for (uint64_t t = 0; t < ms + 100 && failure.empty(); t += 10)
        {
            session.Pass(10);
            if (!feed.TopUp(*pin, ahead, &readError))
                failure = "the source could not be read: " + readError;
            else if (!tap.Drain(&error))
                failure = error;
        }
    }
    const sim::audio::PinCounters counters = pin->Counters();
    pin->SetState(KSSTATE_STOP);
    pin.reset();
    filter.reset();
    if (failure.empty() && !tap.Drain(&error))
        failure = error;
    if (!failure.empty())
        return End(session, "play", options, failure);

    feed.SourceLevels().Print("Source");
    tap.Print();
    const uint8_t data = tap.DataEndpoint();
    const BusCounts counts = session.Counts(data);
    std::printf("transfers %u on endpoint 0x%02X, packets %" PRIu64 ", errors %u, underruns %u\n",
                counts.transfers, data, tap.Packets(), counts.errors, counters.Underruns);
    tap.PrintPackets();
    const auto feedback = IsoEndpoints(session.Headset(), true, true);
    if (feedback.empty())
        std::printf("feedback   none (the endpoint adapts)\n");
    for (const Endpoint &e : feedback)
        std::printf("feedback   %u transfers on endpoint 0x%02X\n", session.Counts(e.address).transfers,
                    e.address);
    tap.PrintRate();
    // A bus the headset's effects processed cannot carry the source bit for bit: the check would
    // only ever say no.
    if (RenderPathProcessed(options.device))
        std::printf("bit-exact: not applicable (the headset's room effect processes its render stream)\n");
    else
        std::printf("bit-exact: %s\n", tap.VerdictText().c_str());
    if (!tap.VerdictError().empty())
        return End(session, "play", options, "the source could not be read again: " + tap.VerdictError());
    if (!tap.Finish(&error))
        return End(session, "play", options, error);
    return End(session, "play", options, "", "", &writer);
}

namespace
{

// Whether a recording is the IN source's pattern, sample for sample, from wherever it started; fed
// frame by frame.
class PatternCheck
{
public:
    PatternCheck(const wav::Format &format, bool ramp)
        : m_Format(format), m_Ramp(ramp),
          m_Mask(format.bits == 32 ? 0xFFFFFFFFu : (uint64_t(1) << format.bits) - 1),
          m_Full(std::ldexp(1.0, int(format.bits) - 1) - 1)
    {
    }

    void Frame(const uint8_t *frame)
    {
        if (m_Frames < 2)
            m_Head.insert(m_Head.end(), frame, frame + m_Format.BlockAlign());
        if (++m_Frames == 2)
            Candidates();
        else if (m_Frames > 2)
            Keep(frame, m_Frames - 1);
    }
    bool Matches()
    {
        if (m_Frames == 1)
            Candidates();
        return m_Frames > 0 && !m_Starts.empty();
    }

private:
    uint64_t Expected(uint64_t n, unsigned c) const
    {
        if (m_Ramp)
            return (n + c) & m_Mask;
        return uint64_t(
                   std::llround(0.5 * m_Full * std::sin(2 * M_PI * 1000.0 * double(n) / m_Format.rate))) &
               m_Mask;
    }
    uint64_t Actual(const uint8_t *frame, unsigned c) const
    {
        const unsigned width = m_Format.bits / 8;
        return uint64_t(uint32_t(wav::SampleAt(frame + c * width, width))) & m_Mask;
    }
    bool Fits(uint64_t start, const uint8_t *frame, uint64_t n) const
    {
        for (unsigned c = 0; c < m_Format.channels; ++c)
            if (Actual(frame, c) != Expected(start + n, c))
                return false;
        return true;
    }
    // The pattern's frame counter where the recording starts: the ramp names it; the sine repeats
    // after rate / gcd(rate, 1000) frames, so one period of starts holds every distinct one.
    void Candidates()
    {
        const uint8_t *first = m_Head.data();
        const uint8_t *second = m_Frames > 1 ? first + m_Format.BlockAlign() : nullptr;
        std::vector<uint64_t> starts;
        if (m_Ramp)
            starts.push_back(Actual(first, 0));
        else
            for (uint64_t n = 0, period = m_Format.rate / std::gcd(m_Format.rate, 1000u); n < period; ++n)
                if (Expected(n, 0) == Actual(first, 0) &&
                    (!second || Expected(n + 1, 0) == Actual(second, 0)))
                    starts.push_back(n);
        for (uint64_t n0 : starts)
            if (Fits(n0, first, 0) && (!second || Fits(n0, second, 1)))
                m_Starts.push_back(n0);
    }
    void Keep(const uint8_t *frame, uint64_t n)
    {
        std::erase_if(m_Starts, [&](uint64_t n0) { return !Fits(n0, frame, n); });
    }

    wav::Format m_Format;
    bool m_Ramp;
    uint64_t m_Mask;
    double m_Full;
    uint64_t m_Frames = 0;
    std::vector<uint8_t> m_Head;
    std::vector<uint64_t> m_Starts;
};

} // namespace

int RunCapture(const Options &options)
{
    const bool ramp = options.pattern == "ramp";
    const std::string endpoint = options.endpoint.empty() ? "MicIn00" : options.endpoint;

    Session session(options);
    std::string failure = session.Start();
    std::printf("Headset    --device %s, endpoint %s, %s time, IN source %s\n", options.device.c_str(),
                endpoint.c_str(), options.realtime ? "real" : "virtual",
                ramp ? "ramp" : "sine 1000 Hz, half scale");
    if (!failure.empty())
        return End(session, "capture", options, failure);
    const auto in = IsoEndpoints(session.Headset(), true, false);
    for (const Endpoint &e : in)
        session.Iso().SetPattern(e.address, ramp ? usbsim::IsoPattern::Ramp : usbsim::IsoPattern::Sine,
                                 1000.0, 0.5);
    std::filesystem::path output;
    sim::audio::FilterRef ref;
    std::string mistake = OutputPath(options, "capture", endpoint, nullptr, &output);
    if (mistake.empty())
        mistake = CheckEndpoint(session, endpoint, true, &ref);
    if (!mistake.empty())
        return End(session, "capture", options, "", mistake);

    wav::Format format;
    std::vector<UCHAR> data;
    {
        sim::audio::Filter probe(ref.Port);
        if (!EndpointFormat(probe, &format, &data))
            failure = "the pin of " + endpoint + "Wave offers no PCM format";
    }
    std::unique_ptr<sim::audio::Filter> filter;
    std::unique_ptr<sim::audio::Pin> pin;
    if (failure.empty())
        failure = OpenEndpoint(ref, endpoint, data, "its own format " + FormatText(format), &filter, &pin);
    std::string error;
    wav::Writer writer;
    if (failure.empty() && !(writer.Open(output, &error) && writer.Begin(format, &error)))
        mistake = error;
    if (failure.empty() && mistake.empty())
    {
        const NTSTATUS status = pin->SetState(KSSTATE_RUN);
        if (!NT_SUCCESS(status))
            failure = "the pin did not run: " + StatusText(status);
    }
    if (!failure.empty() || !mistake.empty())
    {
        pin.reset();
        filter.reset();
        return End(session, "capture", options, failure, mistake);
    }

    // What the pin's client read, taken as it comes.
    FrameCutter cutter(format.BlockAlign());
    Levels levels(format);
    PatternCheck pattern(format, ramp);
    const auto take = [&]
    {
        const std::vector<UCHAR> moved = pin->TakeMoved();
        bool written = true;
        cutter.Feed(moved.data(), moved.size(),
                    [&](const uint8_t *frame)
                    {
                        levels.Frame(frame);
                        pattern.Frame(frame);
                        written = written && writer.Append(frame, format.BlockAlign(), &error);
                    });
        if (!written)
            failure = error;
    };
    for (unsigned t = 0; t < options.seconds * 1000 && failure.empty(); t += 10)
    {
        session.Pass(10);
        take();
    }
    pin->SetState(KSSTATE_STOP);
    if (failure.empty())
        take();
    const sim::audio::PinCounters counters = pin->Counters();
    pin.reset();
    filter.reset();
    if (!failure.empty())
        return End(session, "capture", options, failure);
    levels.Print("Recorded");
    for (const Endpoint &e : in)
    {
        const BusCounts counts = session.Counts(e.address);
        if (counts.transfers == 0)
            continue;
        std::printf("transfers %u on endpoint 0x%02X, packets %" PRIu64 ", errors %u, overruns %u\n",
                    counts.transfers, e.address, counts.packets, counts.errors, counters.Underruns);
        PrintHistogram("transfer sizes", counts.transferBytes);
        std::printf("measured rate %.1f Hz (bus, over %lu USB frames)\n", counts.Rate(format.BlockAlign()),
                    counts.lastStart - counts.firstStart);
    }
    std::printf("bit-exact: %s (against the %s)\n", pattern.Matches() ? "yes" : "no", ramp ? "ramp" : "sine");
    return End(session, "capture", options, "", "", &writer);
}

} // namespace host
