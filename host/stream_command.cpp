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
#include "host/wav/wav_file.h"

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <sstream>
#include <thread>

namespace host
{

namespace
{

constexpr unsigned kPort = 1;
constexpr unsigned kFilterWaitMs = 2000;

// ---- Sources ---------------------------------------------------------------------------------------

// --tone HZ,SECONDS,RATE,CHANNELS,BITS: a sine at half scale in every channel.
bool MakeTone(const std::string &spec, wav::Audio *out, std::string *error)
{
    double hz = 0, seconds = 0;
    unsigned rate = 0, channels = 0, bits = 0;
    char tail = 0;
    if (std::sscanf(spec.c_str(), "%lf,%lf,%u,%u,%u%c", &hz, &seconds, &rate, &channels, &bits, &tail) != 5 ||
        !(hz > 0) || !(seconds > 0) || seconds > 600)
    {
        *error = "--tone wants HZ,SECONDS,RATE,CHANNELS,BITS (for example 1000,2,48000,2,16)";
        return false;
    }
    wav::Audio tone;
    tone.format = {uint16_t(channels), rate, uint16_t(bits), uint16_t(bits), 0};
    // The reader's checks decide what a format may be.
    const std::vector<uint8_t> probe = wav::Serialize(tone);
    if (!wav::Parse(probe.data(), probe.size(), &tone, error))
        return false;
    const size_t frames = size_t(seconds * rate);
    const unsigned width = bits / 8;
    const double full = std::ldexp(1.0, int(bits) - 1) - 1;
    tone.data.resize(frames * tone.format.BlockAlign());
    uint8_t *p = tone.data.data();
    for (size_t n = 0; n < frames; ++n)
    {
        const int64_t v = std::llround(0.5 * full * std::sin(2 * M_PI * hz * double(n) / rate));
        for (unsigned c = 0; c < channels; ++c)
            for (unsigned b = 0; b < width; ++b)
                *p++ = uint8_t(uint64_t(v) >> (8 * b));
    }
    *out = std::move(tone);
    return true;
}

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

// ---- The run --------------------------------------------------------------------------------------

// The machine with the driver loaded and the headset plugged and started, on virtual time unless
// --realtime.
class Session
{
public:
    explicit Session(const Options &options) : m_Options(options), m_Machine(options.examples)
    {
        if (!options.realtime)
            sim::SetClockMode(sim::ClockMode::Virtual);
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
        if (!pdo || !sim::pnp::Started(pdo))
            return "the headset did not start";
        return "";
    }
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
            m_Bus->Unplug(kPort);
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

void PrintLevels(const char *what, const wav::Audio &audio)
{
    const unsigned channels = audio.format.channels;
    const size_t frames = audio.data.size() / audio.format.BlockAlign();
    const double full = std::ldexp(1.0, audio.format.bits - 1);
    std::printf("%-8s %s, %.3f s\n", what, FormatText(audio.format).c_str(),
                double(frames) / audio.format.rate);
    for (unsigned c = 0; c < channels; ++c)
    {
        double peak = 0, sum = 0;
        for (size_t n = 0; n < frames; ++n)
        {
            const double v = wav::Sample(audio, n * channels + c) / full;
            peak = std::max(peak, std::fabs(v));
            sum += v * v;
        }
        std::printf("  channel %u  peak %s dBFS  RMS %s dBFS\n", c, Db(peak).c_str(),
                    Db(frames ? std::sqrt(sum / double(frames)) : 0).c_str());
    }
}

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

BusCounts CountTransfers(const std::vector<std::string> &log, uint8_t endpoint)
{
    BusCounts counts;
    char ep[8];
    std::snprintf(ep, sizeof ep, "0x%02X", endpoint);
    for (const std::string &line : log)
    {
        if (line.find(std::string("ep ") + ep) == std::string::npos)
            continue;
        unsigned pipe = 0, packets = 0, status = 0, urb = 0, epValue = 0;
        unsigned long start = 0;
        uint64_t bytes = 0;
        if (std::sscanf(
                line.c_str(),
                "iso complete pipe %u ep 0x%X start %lu packets %u status 0x%X urb 0x%X bytes %" SCNu64,
                &pipe, &epValue, &start, &packets, &status, &urb, &bytes) == 7)
        {
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
            ++counts.errors;
    }
    return counts;
}

void PrintHistogram(const char *what, const std::map<unsigned, unsigned> &histogram)
{
    std::printf("%s", what);
    for (const auto &[size, count] : histogram)
        std::printf("  %u B x%u", size, count);
    std::printf("\n");
}

// The bus's rate: frames it carried over the frames (milliseconds) they took.
void PrintMeasuredRate(const std::vector<usbsim::IsoOutPacket> &packets, unsigned blockAlign)
{
    if (packets.size() < 2)
        return;
    uint64_t frames = 0;
    for (size_t i = 0; i + 1 < packets.size(); ++i)
        frames += packets[i].bytes.size() / blockAlign;
    const double ms = double(packets.back().frame - packets.front().frame) +
                      (packets.back().microframe - packets.front().microframe) / 8.0;
    if (ms > 0)
        std::printf("measured rate %.1f Hz (bus, %u-frame window)\n", double(frames) * 1000.0 / ms,
                    unsigned(ms));
}

// Where the source starts in what reached the bus: the first offset after which the bus carries the
// source byte for byte, with only silence before it. -1 when there is none.
long FindSource(const std::vector<uint8_t> &bus, const std::vector<uint8_t> &source, unsigned blockAlign)
{
    for (size_t k = 0; k + source.size() <= bus.size(); k += blockAlign)
    {
        if (std::equal(source.begin(), source.end(), bus.begin() + std::ptrdiff_t(k)))
            return long(k);
        for (size_t b = k; b < k + blockAlign; ++b)
            if (bus[b] != 0)
                return -1;
    }
    return -1;
}

// Writes what the run recorded (when it got that far), ends the session and says how it went: the
// exit code, with a one-line reason on stderr for a failure.
int Conclude(Session &session, std::string reason, const char *command, const Options &options,
             const std::filesystem::path &output, const wav::Audio *recorded)
{
    std::string error;
    if (reason.empty() && recorded)
    {
        if (wav::Write(output, *recorded, &error))
            std::printf("wrote      %s\n", output.string().c_str());
        else
            reason = error;
    }
    const std::string leftOver = session.End();
    std::printf("Pool       %s\n", leftOver.empty() ? "every block freed, nothing left behind" : "");
    std::fputs(leftOver.c_str(), stdout);
    if (reason.empty() && !leftOver.empty())
        reason = "the run left kernel state behind";
    if (reason.empty())
        return 0;
    std::fprintf(stderr, "zelko-host: %s --device %s: %s\n", command, options.device.c_str(), reason.c_str());
    return 1;
}

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

bool EndpointFormat(sim::audio::Filter &filter, wav::Format *format, std::vector<UCHAR> *data);

// Without --endpoint: the headphones, or else the first render endpoint the headset registered.
std::string DefaultRenderEndpoint(Session &session)
{
    if (WaitForFilter(session, "HPOut00").Port)
        return "HPOut00";
    for (const auto &r : sim::portcls::Subdevices())
    {
        const size_t out = r.Name.find("Out");
        if (out != std::string::npos && r.Name.size() > 4 &&
            r.Name.compare(r.Name.size() - 4, 4, "Wave") == 0)
            return r.Name.substr(0, r.Name.size() - 4);
    }
    return "HPOut00";
}

// `audio` on the first of `channels` channels (the others silent), with that channel mask.
wav::Audio UpMix(const wav::Audio &audio, uint16_t channels, uint32_t mask)
{
    wav::Audio out{audio.format, {}};
    out.format.channels = channels;
    out.format.channelMask = mask;
    const size_t bytes = audio.format.bits / 8, in = audio.format.BlockAlign(),
                 frames = audio.data.size() / in;
    out.data.assign(frames * out.format.BlockAlign(), 0);
    for (size_t f = 0; f < frames; ++f)
        std::memcpy(&out.data[f * out.format.BlockAlign()], &audio.data[f * in],
                    audio.format.channels * bytes);
    return out;
}

// The wave filter of `endpoint` and its streaming pin opened in `format`.
std::string OpenEndpoint(const sim::audio::FilterRef &ref, const std::string &endpoint,
                         const std::vector<UCHAR> &format, std::unique_ptr<sim::audio::Filter> *filter,
                         std::unique_ptr<sim::audio::Pin> *pin)
{
    if (!ref.Port)
    {
        std::string names;
        for (const auto &r : sim::portcls::Subdevices())
            names += (names.empty() ? "" : ", ") + r.Name;
        return "no wave filter \"" + endpoint + "Wave\" (registered: " + (names.empty() ? "none" : names) +
               ")";
    }
    *filter = std::make_unique<sim::audio::Filter>(ref.Port);
    const NTSTATUS status = sim::audio::OpenPin(**filter, 0, format.data(), ULONG(format.size()), pin);
    if (!NT_SUCCESS(status))
    {
        std::string takes;
        for (const auto &pinInfo : (*filter)->Pins())
            for (const auto &range : pinInfo.Ranges)
                if (range.size() >= sizeof(KSDATARANGE_AUDIO) && takes.empty())
                {
                    KSDATARANGE_AUDIO audio;
                    std::memcpy(&audio, range.data(), sizeof(audio));
                    takes = " (it takes up to " + std::to_string(audio.MaximumChannels) + " ch, " +
                            std::to_string(audio.MinimumBitsPerSample) + "-" +
                            std::to_string(audio.MaximumBitsPerSample) + " bits, " +
                            std::to_string(audio.MinimumSampleFrequency) + "-" +
                            std::to_string(audio.MaximumSampleFrequency) + " Hz)";
                }
        return "the pin of " + endpoint + "Wave did not open: " + StatusText(status) + takes;
    }
    return "";
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

} // namespace

int RunPlay(const Options &options)
{
    wav::Audio source;
    std::string error;
    const bool loaded =
        !options.tone.empty()
            ? MakeTone(options.tone, &source, &error)
            : wav::Read(options.input.empty() ? options.examples / "play-example.wav" : options.input,
                        &source, &error);
    if (!loaded)
    {
        std::fprintf(stderr, "zelko-host: play: %s\n", error.c_str());
        return 2;
    }
    Session session(options);
    std::string reason = session.Start();
    const std::string endpoint = !options.endpoint.empty() ? options.endpoint
                                 : reason.empty()          ? DefaultRenderEndpoint(session)
                                                           : "HPOut00";
    const std::filesystem::path output =
        options.output.empty() ? std::filesystem::path("out") / ("bus-" + endpoint + ".wav") : options.output;
    std::printf("Headset    --device %s, endpoint %s, %s time\n", options.device.c_str(), endpoint.c_str(),
                options.realtime ? "real" : "virtual");
    PrintLevels("Source", source);
    std::vector<uint8_t> bus;
    if (reason.empty())
    {
        std::unique_ptr<sim::audio::Filter> filter;
        std::unique_ptr<sim::audio::Pin> pin;
        const sim::audio::FilterRef ref = WaitForFilter(session, endpoint);
        reason = OpenEndpoint(ref, endpoint, PinFormat(source.format), &filter, &pin);
        // An endpoint that takes only more channels than the source has (the 7.1 effect headsets)
        // plays the source on its first channels and silence on the others, as the system's mixer would.
        wav::Format own;
        std::vector<UCHAR> ownData;
        if (!reason.empty() && ref.Port &&
            EndpointFormat(*std::make_unique<sim::audio::Filter>(ref.Port), &own, &ownData) &&
            own.channels > source.format.channels)
        {
            source = UpMix(source, own.channels, own.channelMask);
            std::printf("Source     up-mixed to %u channels (mask 0x%X) for the endpoint\n", own.channels,
                        unsigned(own.channelMask));
            reason = OpenEndpoint(ref, endpoint, PinFormat(source.format), &filter, &pin);
        }
        if (reason.empty() && !options.surround.empty())
        {
            const std::string refused = SetSurround(options.surround == "on");
            if (!refused.empty())
            {
                std::fprintf(stderr, "zelko-host: play --device %s --surround %s: %s\n",
                             options.device.c_str(), options.surround.c_str(), refused.c_str());
                pin.reset();
                filter.reset();
                session.End();
                return 2;
            }
            std::printf("Surround   %s\n", options.surround.c_str());
        }
        if (reason.empty())
        {
            pin->SetSource(source.data);
            const NTSTATUS status = pin->SetState(KSSTATE_RUN);
            if (!NT_SUCCESS(status))
                reason = "the pin did not run: " + StatusText(status);
        }
        if (reason.empty())
        {
            // The source, then the transfers still in flight and a little silence.
            const uint64_t ms =
                uint64_t(source.data.size()) * 1000 / (source.format.rate * source.format.BlockAlign());
            for (uint64_t t = 0; t < ms + 100; t += 10)
                session.Pass(10);
            const sim::audio::PinCounters counters = pin->Counters();
            pin->SetState(KSSTATE_STOP);
            pin.reset();
            filter.reset();

            const auto out = IsoEndpoints(session.Headset(), false, false);
            uint8_t data = 0;
            for (const Endpoint &e : out)
                if (session.Iso().OutPacketCount(e.address) > session.Iso().OutPacketCount(data))
                    data = e.address;
            const std::vector<usbsim::IsoOutPacket> packets = session.Iso().OutPackets(data);
            std::map<unsigned, unsigned> sizes;
            for (const auto &p : packets)
            {
                bus.insert(bus.end(), p.bytes.begin(), p.bytes.end());
                ++sizes[unsigned(p.bytes.size())];
            }
            wav::Audio recorded{source.format, bus};
            // A device stream that mixes the source down carries fewer channels than the source: the
            // bytes per packet tell how many.
            const double perPacket = packets.empty() ? 0.0 : double(bus.size()) / double(packets.size());
            const long busChannels =
                std::lround(perPacket * 1000.0 / source.format.rate / (source.format.bits / 8));
            if (busChannels >= 1 && busChannels < source.format.channels)
            {
                recorded.format.channels = uint16_t(busChannels);
                recorded.format.channelMask = 0;
            }
            recorded.data.resize(bus.size() / recorded.format.BlockAlign() * recorded.format.BlockAlign());
            PrintLevels("Bus", recorded);
            const std::vector<std::string> log = session.Iso().Log();
            const BusCounts counts = CountTransfers(log, data);
            std::printf("transfers %u on endpoint 0x%02X, packets %" PRIu64 ", errors %u, underruns %u\n",
                        counts.transfers, data, uint64_t(packets.size()), counts.errors, counters.Underruns);
            PrintHistogram("packet sizes", sizes);
            const auto feedback = IsoEndpoints(session.Headset(), true, true);
            if (feedback.empty())
                std::printf("feedback   none (the endpoint adapts)\n");
            for (const Endpoint &e : feedback)
                std::printf("feedback   %u transfers on endpoint 0x%02X\n",
                            CountTransfers(log, e.address).transfers, e.address);
            PrintMeasuredRate(packets, recorded.format.BlockAlign());
            const long at = FindSource(bus, source.data, source.format.BlockAlign());
            if (at < 0)
                std::printf("bit-exact: no\n");
            else
                std::printf("bit-exact: yes (after %.1f ms of silence)\n",
                            double(at) * 1000.0 / (source.format.rate * source.format.BlockAlign()));
            return Conclude(session, reason, "play", options, output, &recorded);
        }
    }
    return Conclude(session, reason, "play", options, output, nullptr);
}

namespace
{

// Whether the recording is the IN source's pattern, sample for sample, from wherever it started.
bool MatchesPattern(const wav::Audio &audio, bool ramp)
{
    const unsigned channels = audio.format.channels;
    const size_t frames = audio.data.size() / audio.format.BlockAlign();
    if (frames == 0)
        return false;
    const unsigned bits = audio.format.bits;
    const uint64_t mask = bits == 32 ? 0xFFFFFFFFu : (uint64_t(1) << bits) - 1;
    const double full = std::ldexp(1.0, int(bits) - 1) - 1;
    const auto expected = [&](uint64_t n, unsigned c) -> uint64_t
    {
        if (ramp)
            return (n + c) & mask;
        return uint64_t(
                   std::llround(0.5 * full * std::sin(2 * M_PI * 1000.0 * double(n) / audio.format.rate))) &
               mask;
    };
    const auto actual = [&](size_t n, unsigned c)
    { return uint64_t(uint32_t(wav::Sample(audio, n * channels + c))) & mask; };
    // The pattern's frame counter where the recording starts: the ramp names it, the sine repeats
    // within a second.
    std::vector<uint64_t> starts;
    if (ramp)
        starts.push_back(actual(0, 0));
    else
        for (uint64_t n = 0; n < audio.format.rate; ++n)
            if (expected(n, 0) == actual(0, 0) && (frames < 2 || expected(n + 1, 0) == actual(1, 0)))
                starts.push_back(n);
    for (const uint64_t n0 : starts)
    {
        bool all = true;
        for (size_t n = 0; all && n < frames; ++n)
            for (unsigned c = 0; all && c < channels; ++c)
                all = actual(n, c) == expected(n0 + n, c);
        if (all)
            return true;
    }
    return false;
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

} // namespace

int RunCapture(const Options &options)
{
    if (options.pattern != "sine" && options.pattern != "ramp")
    {
        std::fprintf(stderr, "zelko-host: capture: --pattern is sine or ramp, not '%s'\n",
                     options.pattern.c_str());
        return 2;
    }
    if (options.seconds == 0 || options.seconds > 600)
    {
        std::fprintf(stderr, "zelko-host: capture: --seconds is 1 to 600\n");
        return 2;
    }
    const bool ramp = options.pattern == "ramp";
    const std::string endpoint = options.endpoint.empty() ? "MicIn00" : options.endpoint;
    const std::filesystem::path output = options.output.empty()
                                             ? std::filesystem::path("out") / ("capture-" + endpoint + ".wav")
                                             : options.output;

    Session session(options);
    std::string reason = session.Start();
    std::printf("Headset    --device %s, endpoint %s, %s time, IN source %s\n", options.device.c_str(),
                endpoint.c_str(), options.realtime ? "real" : "virtual",
                ramp ? "ramp" : "sine 1000 Hz, half scale");
    std::string error;
    if (reason.empty())
    {
        const auto in = IsoEndpoints(session.Headset(), true, false);
        for (const Endpoint &e : in)
            session.Iso().SetPattern(e.address, ramp ? usbsim::IsoPattern::Ramp : usbsim::IsoPattern::Sine,
                                     1000.0, 0.5);
        const sim::audio::FilterRef ref = WaitForFilter(session, endpoint);
        wav::Format format;
        std::vector<UCHAR> data;
        std::unique_ptr<sim::audio::Filter> filter;
        std::unique_ptr<sim::audio::Pin> pin;
        if (ref.Port)
        {
            sim::audio::Filter probe(ref.Port);
            if (!EndpointFormat(probe, &format, &data))
                reason = "the pin of " + endpoint + "Wave offers no PCM format";
        }
        if (reason.empty())
            reason = OpenEndpoint(ref, endpoint, data, &filter, &pin);
        if (reason.empty())
        {
            const NTSTATUS status = pin->SetState(KSSTATE_RUN);
            if (!NT_SUCCESS(status))
                reason = "the pin did not run: " + StatusText(status);
        }
        if (reason.empty())
        {
            for (unsigned t = 0; t < options.seconds * 1000; t += 10)
                session.Pass(10);
            pin->SetState(KSSTATE_STOP);
            const sim::audio::PinCounters counters = pin->Counters();
            wav::Audio recorded{format, pin->Moved()};
            pin.reset();
            filter.reset();
            PrintLevels("Recorded", recorded);
            const std::vector<std::string> log = session.Iso().Log();
            for (const Endpoint &e : in)
            {
                const BusCounts counts = CountTransfers(log, e.address);
                if (counts.transfers == 0)
                    continue;
                std::printf("transfers %u on endpoint 0x%02X, packets %" PRIu64 ", errors %u, overruns %u\n",
                            counts.transfers, e.address, counts.packets, counts.errors, counters.Underruns);
                PrintHistogram("transfer sizes", counts.transferBytes);
                std::printf("measured rate %.1f Hz (bus, %lu ms)\n", counts.Rate(format.BlockAlign()),
                            counts.lastStart - counts.firstStart);
            }
            std::printf("bit-exact: %s (against the %s)\n", MatchesPattern(recorded, ramp) ? "yes" : "no",
                        ramp ? "ramp" : "sine");
            return Conclude(session, reason, "capture", options, output, &recorded);
        }
    }
    return Conclude(session, reason, "capture", options, output, nullptr);
}

} // namespace host
