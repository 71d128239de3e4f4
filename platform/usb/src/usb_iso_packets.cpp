// What one isochronous packet carries: the IN sources (audio patterns sized by the stream rate,
// explicit feedback), the OUT sink, and the scripted zero-length, short and error packets.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "usb_iso_internal.h"

namespace usbsim::iso
{

namespace
{

// Takes the script for this packet, if any.
bool TakeScript(Endpoint &ep, uint64_t sequence, PacketScriptEntry &out)
{
    auto it = ep.packetScripts.find(sequence);
    if (it == ep.packetScripts.end())
        return false;
    out = it->second;
    ep.packetScripts.erase(it);
    return true;
}

// Frames the stream produces in the next packet interval: rate / packets per second, with the
// remainder carried so that the long-run average is exact.
uint32_t NextFrames(Endpoint &ep, uint32_t perFrame)
{
    const uint64_t packetsPerSecond = uint64_t(perFrame) * 1000;
    ep.accumulator += ep.format.sampleRate;
    const uint64_t frames = ep.accumulator / packetsPerSecond;
    ep.accumulator %= packetsPerSecond;
    return uint32_t(frames);
}

int64_t SampleValue(const Endpoint &ep, uint64_t n, unsigned channel, unsigned bytesPerSample)
{
    switch (ep.pattern)
    {
    case IsoPattern::Silence:
        return 0;
    case IsoPattern::Ramp:
        return int64_t(n + channel);
    case IsoPattern::Sine:
    {
        const double rate = ep.format.sampleRate ? double(ep.format.sampleRate) : 48000.0;
        const double fullScale = double((uint64_t(1) << (8 * bytesPerSample - 1)) - 1);
        return std::llround(ep.amplitude * fullScale *
                            std::sin(2.0 * M_PI * ep.frequency * double(n) / rate));
    }
    }
    return 0;
}

// Writes `frames` frames of the pattern from sample frame `first`, at most `limit` bytes.
void WriteFrames(const Endpoint &ep, uint8_t *dst, uint64_t first, uint32_t frames, ULONG limit)
{
    const unsigned bps = std::clamp<unsigned>(ep.format.bytesPerSample, 1, 4);
    const unsigned channels = std::max<unsigned>(ep.format.channels, 1);
    ULONG at = 0;
    for (uint32_t f = 0; f < frames; ++f)
        for (unsigned c = 0; c < channels; ++c)
        {
            int64_t v = SampleValue(ep, first + f, c, bps);
            if (bps == 1 && ep.pattern != IsoPattern::Ramp)
                v += 0x80; // 8-bit PCM is unsigned
            for (unsigned b = 0; b < bps; ++b)
            {
                if (at == limit)
                    return;
                dst[at++] = uint8_t(uint64_t(v) >> (8 * b));
            }
        }
}

} // namespace

uint32_t DefaultFeedback(uint32_t sampleRate, bool highSpeed)
{
    return highSpeed ? uint32_t(uint64_t(sampleRate) * 65536 / 8000)
                     : uint32_t(uint64_t(sampleRate) * 16384 / 1000);
}

PacketResult ServeIn(Endpoint &ep, const PacketContext &ctx)
{
    PacketScriptEntry script{};
    const bool scripted = TakeScript(ep, ctx.sequence, script);
    const ULONG cap = std::min<ULONG>(ctx.slot, ctx.maxBytes);
    const bool feedback = ctx.feedbackPipe || ep.feedbackSet;
    const unsigned block = std::max<unsigned>(1, unsigned(std::max<unsigned>(ep.format.channels, 1)) *
                                                     std::clamp<unsigned>(ep.format.bytesPerSample, 1, 4));
    // The device's clock runs whatever the bus does with the packet: a lost packet loses its frames.
    uint32_t nominal = 0;
    if (!feedback)
        nominal = ep.format.sampleRate ? NextFrames(ep, ctx.perFrame) : uint32_t(cap / block);
    const uint64_t first = ep.sampleIndex;
    ep.sampleIndex += nominal;
    if (ctx.failed)
        return {0, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW};
    if (scripted && script.kind == IsoPacketScript::Error)
        return {0, script.status};
    if (scripted && script.kind == IsoPacketScript::ZeroLength)
        return {0, USBD_STATUS_SUCCESS};
    ULONG length;
    if (feedback)
    {
        const uint32_t value =
            ep.feedbackSet ? ep.feedback : DefaultFeedback(ep.format.sampleRate, ctx.highSpeed);
        length = std::min<ULONG>(ctx.highSpeed ? 4 : 3, cap);
        if (scripted && script.kind == IsoPacketScript::Short)
            length = std::min<ULONG>(length, script.bytes);
        for (ULONG b = 0; b < length; ++b)
            ctx.buffer[b] = uint8_t(value >> (8 * b));
        return {length, USBD_STATUS_SUCCESS};
    }
    const uint32_t frames = std::min<uint32_t>(nominal, uint32_t(cap / block));
    length = frames * block;
    if (scripted && script.kind == IsoPacketScript::Short)
        length = std::min<ULONG>(length, script.bytes);
    WriteFrames(ep, ctx.buffer, first, frames, length);
    return {length, USBD_STATUS_SUCCESS};
}

PacketResult ServeOut(Endpoint &ep, const PacketContext &ctx, ULONG length)
{
    PacketScriptEntry script{};
    const bool scripted = TakeScript(ep, ctx.sequence, script);
    if (ctx.failed)
        return {0, USBD_STATUS_ISO_NOT_ACCESSED_BY_HW};
    if (scripted && script.kind == IsoPacketScript::Error)
        return {0, script.status};
    ep.outBytes += length;
    ++ep.outPackets;
    if (ctx.keepOut)
        ep.out.push_back(
            IsoOutPacket{ctx.frame, ctx.microframe, std::vector<uint8_t>(ctx.buffer, ctx.buffer + length)});
    return {length, USBD_STATUS_SUCCESS};
}

} // namespace usbsim::iso
