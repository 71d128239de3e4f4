// Inside the isochronous engine: per-endpoint state and what one packet carries.
#pragma once

#include <map>
#include <vector>

#include <sim/usb_iso_engine.h>

namespace usbsim::iso
{

struct PacketScriptEntry
{
    IsoPacketScript kind;
    uint32_t bytes;
    USBD_STATUS status;
};

struct TransferFailure
{
    bool atSubmission;
    USBD_STATUS urbStatus;
};

// What an endpoint address keeps while pipes to it come and go.
struct Endpoint
{
    IsoStreamFormat format;
    IsoPattern pattern = IsoPattern::Ramp;
    double frequency = 1000.0, amplitude = 0.5;
    uint64_t accumulator = 0; // fractional frames, in units of 1 / packets per second
    uint64_t sampleIndex = 0; // frames the source has produced, sent or lost
    bool feedbackSet = false;
    uint32_t feedback = 0;
    std::map<uint64_t, PacketScriptEntry> packetScripts;
    std::map<uint64_t, TransferFailure> transferFailures;
    uint64_t nextPacketSeq = 0, nextTransferSeq = 0;
    std::vector<IsoOutPacket> out;
    uint64_t outBytes = 0, outPackets = 0;
};

struct PacketContext
{
    ULONG frame;
    uint8_t microframe;
    uint64_t sequence;
    uint32_t perFrame;
    bool highSpeed;
    bool feedbackPipe;
    uint8_t *buffer; // the packet's place in the transfer buffer
    ULONG slot;      // bytes up to the next packet's offset (or the buffer's end)
    uint32_t maxBytes;
    bool keepOut;
    bool failed; // the transfer is scripted to fail: nothing is accessed
};

struct PacketResult
{
    ULONG length;
    USBD_STATUS status;
};

// IN: fills the packet from the endpoint's source (or feedback value) and its scripts.
PacketResult ServeIn(Endpoint &ep, const PacketContext &ctx);
// OUT: records the packet's `length` bytes unless a script fails it.
PacketResult ServeOut(Endpoint &ep, const PacketContext &ctx, ULONG length);
// The feedback value an endpoint sends when none was scripted: its stream rate in 10.14 samples per
// frame (full speed) or 16.16 samples per microframe (high speed).
uint32_t DefaultFeedback(uint32_t sampleRate, bool highSpeed);

} // namespace usbsim::iso
