// Test face: the isochronous engine of the simulated bus. It schedules isochronous URBs on 1 ms
// frames of the virtual clock, checks them strictly, records what OUT endpoints receive, makes up what
// IN endpoints send (audio patterns, explicit feedback) and completes the IRPs on the DPC thread.
// The bus's PDO hands it every URB_FUNCTION_ISOCH_TRANSFER; tests may also drive it directly.
//
// Threading: every entry may be called at PASSIVE_LEVEL or DISPATCH_LEVEL from any thread, including
// from the completion routines it calls. AbortPipe, ClosePipe, CancelAll and FailAll wait at
// PASSIVE_LEVEL until the IRPs they end are completed; at DISPATCH_LEVEL they only queue them.
// While an IRP is pending here its Tail.Overlay.DriverContext belongs to the engine.
// The engine must be destroyed before the kernel stand-in is reset (ResetAll stops the DPC thread).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <ntkernel.h>
#include <usb_urb.h>

namespace usbsim
{

using IsoPipeId = uint32_t; // 0 is never a valid pipe

// What the engine needs of an endpoint (the fields of its endpoint descriptor) and the bus speed.
struct IsoPipeDesc
{
    uint8_t bEndpointAddress = 0; // bit 7: IN
    uint8_t bmAttributes = 0x01;  // bits 0-1: 1 isochronous; bits 4-5: 0 data, 1 feedback
    uint16_t wMaxPacketSize = 0;  // at high speed bits 11-12 add transactions per microframe
    uint8_t bInterval = 1;
    bool feedback = false; // feedback whatever the usage bits say (audio class 1.0: named by bSynchAddress)
    bool highSpeed = false;
};

// Packets a 1 ms frame carries on the pipe: 1 at full speed, 8 >> (bInterval - 1) at high speed with
// bInterval clamped to 1..4.
uint32_t IsoPacketsPerFrame(const IsoPipeDesc &desc);
// Bytes one packet may carry: wMaxPacketSize bits 0-10, times the transactions per microframe at high speed.
uint32_t IsoMaxPacketBytes(const IsoPipeDesc &desc);

// The IRP status a failed URB status gives (and back), as the bus reports them.
NTSTATUS IsoIrpStatusFor(USBD_STATUS urbStatus);
USBD_STATUS IsoUrbStatusFor(NTSTATUS irpStatus);

// One packet an OUT endpoint received.
struct IsoOutPacket
{
    ULONG frame;        // bus frame number
    uint8_t microframe; // 0..7 at high speed, 0 at full speed
    std::vector<uint8_t> bytes;
};

// What an IN data endpoint sends. Samples are little-endian, signed, except 8-bit (unsigned, 0x80 silence).
enum class IsoPattern
{
    Silence,
    Ramp, // sample of frame n, channel c: (n + c) truncated to the sample width
    Sine, // amplitude x full scale x sin(2 pi f n / rate), the same in every channel
};

// The stream an IN endpoint carries: packet sizes follow the rate through a fractional accumulator
// (44100 Hz at full speed: nine packets of 44 frames, then one of 45) and are capped at the packet's
// slot in the buffer and at the pipe's maximum, in whole frames. With rate 0 every packet fills its cap.
struct IsoStreamFormat
{
    uint32_t sampleRate = 0;
    uint16_t channels = 2;
    uint16_t bytesPerSample = 2;
};

// A scripted packet, by the endpoint's packet sequence number (see NextPacketSequence).
enum class IsoPacketScript
{
    ZeroLength, // IN: Length 0, success
    Short,      // IN: at most `bytes` bytes
    Error,      // IN or OUT: no data (not recorded), the packet gets `status`
};

class IsoEngine
{
public:
    IsoEngine();
    ~IsoEngine(); // cancels what is outstanding and waits for the engine's DPC
    IsoEngine(const IsoEngine &) = delete;
    IsoEngine &operator=(const IsoEngine &) = delete;

    // ---- Pipes ----
    IsoPipeId OpenPipe(const IsoPipeDesc &desc);
    // Completes the pipe's outstanding transfers with irpStatus (URB status from IsoUrbStatusFor); the
    // id is stale afterwards. STATUS_INVALID_PARAMETER for an id that is not open.
    NTSTATUS ClosePipe(IsoPipeId id, NTSTATUS irpStatus = STATUS_CANCELLED);
    // The pipe's transfers complete as cancelled (STATUS_CANCELLED, USBD_STATUS_CANCELED) before it
    // returns (at PASSIVE_LEVEL); the pipe stays open and its next ASAP transfer starts afresh.
    NTSTATUS AbortPipe(IsoPipeId id);
    bool PipeOpen(IsoPipeId id) const;
    size_t Outstanding(IsoPipeId id) const; // transfers accepted and not yet completed
    size_t Outstanding() const;             // on every pipe

    // ---- Transfers ----
    // URB_FUNCTION_ISOCH_TRANSFER. The engine takes the IRP (its current stack location is the bus's):
    // - a malformed URB (header length, pipe type or direction, packet count, offsets, OUT lengths,
    //   stale pipe) completes at once with STATUS_INVALID_PARAMETER and reports a kernel violation;
    // - a start frame in the past, 1024 or more frames ahead, or on frames the pipe already has
    //   scheduled completes at once with USBD_STATUS_BAD_START_FRAME (a late transfer is no misuse);
    // - while refusing (see Refuse), or for a transfer scripted to fail at submission, it completes at once;
    // - otherwise the IRP is marked pending and STATUS_PENDING returned; it completes (cancellable
    //   meanwhile) at the end of its last frame, on the DPC thread at DISPATCH_LEVEL, in order per pipe.
    //   In synchronous mode it completes, at DISPATCH_LEVEL, before Submit returns.
    // Returns the IRP's status, or STATUS_PENDING.
    NTSTATUS Submit(IsoPipeId pipe, PIRP irp, PURB urb);

    // Completes everything outstanding: CancelAll with STATUS_CANCELLED (port reset), FailAll with
    // the given status (unplug: STATUS_DEVICE_NOT_CONNECTED). Pipes stay open.
    void CancelAll();
    void FailAll(NTSTATUS irpStatus);
    // While set, Submit completes every URB at once with these statuses (unplugged, low power).
    void Refuse(NTSTATUS irpStatus, USBD_STATUS urbStatus);
    void StopRefusing();
    // Completion inside Submit instead of at the end of the last frame.
    void SetSynchronous(bool synchronous);

    // ---- Frames ----
    // 32-bit bus frame number: origin + virtual milliseconds since boot.
    ULONG CurrentFrame() const;
    void SetFrameOrigin(ULONG origin);
    // Runs first in every Submit, on the submitting thread and outside the engine's lock, before the
    // URB or the frame is looked at: a test may move the frames on there (SetFrameOrigin) to stand for
    // a submitter held up between reading the frame number and the bus taking the transfer. Null: none.
    using SubmitHook = std::function<void(IsoPipeId pipe, PURB urb)>;
    void SetSubmitHook(SubmitHook hook);

    // ---- Endpoint behaviour (by endpoint address, kept across pipe reopening) ----
    void SetStreamFormat(uint8_t endpoint, const IsoStreamFormat &format);
    // Changes the rate only (the endpoint's sampling-frequency control).
    void SetStreamRate(uint8_t endpoint, uint32_t sampleRate);
    IsoStreamFormat StreamFormat(uint8_t endpoint) const;
    void SetPattern(uint8_t endpoint, IsoPattern pattern, double frequencyHz = 1000.0,
                    double amplitude = 0.5);
    // The feedback value a feedback endpoint sends: 10.14 samples per frame in 3 bytes at full speed,
    // 16.16 samples per microframe in 4 bytes at high speed, little-endian. Unset, it follows the
    // endpoint's stream rate.
    void SetFeedbackValue(uint8_t endpoint, uint32_t value);
    // Packet scripts by sequence number; every packet of an accepted transfer takes the next number.
    uint64_t NextPacketSequence(uint8_t endpoint) const;
    void ScriptPacket(uint8_t endpoint, uint64_t sequence, IsoPacketScript kind, uint32_t bytes = 0,
                      USBD_STATUS status = USBD_STATUS_CRC);
    // The transfer with this sequence number fails: at its last frame (no packet accessed), or at once
    // at submission. Every accepted transfer takes the next number; NextTransferSequence gives it.
    uint64_t NextTransferSequence(uint8_t endpoint) const;
    void ScriptTransferFailure(uint8_t endpoint, uint64_t sequence, bool atSubmission = false,
                               USBD_STATUS urbStatus = USBD_STATUS_ISOCH_REQUEST_FAILED);

    // ---- OUT sink ----
    std::vector<IsoOutPacket> OutPackets(uint8_t endpoint) const;
    uint64_t OutBytes(uint8_t endpoint) const; // every byte received, kept or not
    uint64_t OutPacketCount(uint8_t endpoint) const;
    void ClearOutPackets(uint8_t endpoint);
    std::vector<IsoOutPacket> TakeOutPackets(uint8_t endpoint); // what OutPackets gives, then cleared
    void KeepOutPackets(bool keep);                             // off: only the counts (long benchmarks)

    // ---- Log ----
    // Lines such as "iso submit pipe 1 ep 0x01 out start 100 packets 10 bytes 1764". With a sink set
    // they go to it instead, in order, outside the engine's lock, before the call that logged them
    // returns (unless a flush already runs on another thread, which delivers them).
    using LogSink = std::function<void(const std::string &line)>;
    void SetLogSink(LogSink sink);
    std::vector<std::string> Log() const;
    void ClearLog();

private:
    struct State;
    std::unique_ptr<State> m;
};

} // namespace usbsim
