// The isochronous stream of one AudioStreaming interface: the formats the interface offers, the
// clients that register, open, start, stop and close on it (the wave-cyclic stream, the low-latency
// front end), the messages of the audio path on "\Callback\CyclicControlAddr%p", the stream thread
// that resubmits and recovers, and a pool of ten transfers reused for the whole run.
//
// Threading and locks, in their order:
// - the stream lock (the engine's CMutexLock) serialises every client and state operation at
//   PASSIVE_LEVEL; the stream thread takes it around each wake-up;
// - the submit spin lock is held while one transfer is built, never across the call down (a bus may
//   complete inside that call);
// - the transfer-pool and capture-ring spin locks are leaves;
// - m_StreamState, the resubmit flag and the outstanding count are interlocked: completions at
//   DISPATCH_LEVEL read and write them without the stream lock.
#pragma once

#include "driver/core/usb_audio_function.h"
#include "driver/core/usb_lower_requests.h"
#include "driver/effects/chain_adapters.h"

class CUsbAudioStream;

inline constexpr ULONG STREAM_TRANSFER_SLOTS = 10;
inline constexpr ULONG STREAM_CALLBACK_NAME_BYTES = 98;
// Client values outside 1..STREAM_TRANSFER_SLOTS could not be served by the pool.
inline constexpr ULONG STREAM_MAX_FRAMES_PER_TRANSFER = STREAM_TRANSFER_SLOTS;
// Frames between the frame number read and the first transfer: a client's start, a restart after a
// recovery. A first transfer that still comes too late goes again at most this many times.
inline constexpr ULONG STREAM_START_LEAD_FRAMES = 5;
inline constexpr ULONG STREAM_RESTART_LEAD_FRAMES = 2;
inline constexpr ULONG STREAM_LATE_START_RETRIES = 3;

// One transfer of the pool: the IRP, its URB and data buffer, reused from prepare to release.
struct IsoTransfer
{
    PIRP Irp;
    PURB Urb;
    CUsbAudioStream *Owner;
    ULONG Bytes; // client bytes in flight
    PUCHAR Buffer;
    ULONG Slot; // 0..9
};

// Ten slots of transfers: a slot's transfer is in Free while idle and in Busy while in flight.
struct IsoTransferPool
{
    IsoTransfer *Busy[STREAM_TRANSFER_SLOTS];
    IsoTransfer *Free[STREAM_TRANSFER_SLOTS];
    KSPIN_LOCK Lock;
};

// One format the interface offers ("USBS").
struct StreamFormatEntry
{
    LIST_ENTRY Links;
    UCHAR AlternateSetting;
    WAVEFORMATEXTENSIBLE Format;
};

enum : LONG
{
    STREAM_CLOSED = 0,
    STREAM_PREPARED = 1,
    STREAM_RUNNING = 2,
};
enum : LONG
{
    RESUBMIT_IDLE = 0,
    RESUBMIT_REQUESTED = 1,
    RESUBMIT_ERROR = 2,
};

// The base of every stream class. The derived classes give the transfer path (SubmitTransfer,
// CompleteTransfer), PrepareFormat and SelectAlternateSetting.
class CUsbAudioStream : public ICyclicControl, public IStreamBuilder, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    // `value` is the device's word handed to the engine part.
    CUsbAudioStream(PUNKNOWN outer, UCHAR interfaceNumber, ULONG value);
    // Frees the formats, stops the thread (when one was made), drops the callback object and the engine.
    ~CUsbAudioStream() override;

    // ---- IStreamBuilder
    // Engine, callback object, thread, device, DSP chain. A failure releases what this call made.
    NTSTATUS InitStream(BOOLEAN capture, CAudioHal *hal, PUNKNOWN device) override;
    CStreamEngine *GetEngine() override { return m_Engine; }
    NTSTATUS AddStreamFormat(const WAVEFORMATEXTENSIBLE &format, UCHAR alternateSetting) override;
    BOOLEAN AcceptsRawData(UCHAR, ULONG) override { return FALSE; }

    // ---- ICyclicControl
    NTSTATUS RegisterClient(LONG kind, const WAVEFORMATEXTENSIBLE *format, ULONG framesPerTransfer,
                            ULONG transfersInFlight, PCALLBACK_FUNCTION callback, PVOID context,
                            StreamClientRecord **record) override;
    NTSTATUS UnregisterClient(PVOID clientHandle) override;
    NTSTATUS StartClient(PVOID clientHandle, ULONG startFrame, PULONG framesPerTransfer,
                         PUNKNOWN attached) override;
    NTSTATUS StopClient(PVOID clientHandle, PUNKNOWN attached) override;
    NTSTATUS OpenClient(PVOID clientHandle, PULONG framesPerTransfer, PULONG currentFrame) override;
    NTSTATUS CloseClient(PVOID clientHandle) override;
    NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord *client) override;
    NTSTATUS FreeTransfers() override;
    NTSTATUS AbortPipe() override;
    NTSTATUS RecoverStream() override;
    NTSTATUS SelectZeroBandwidth() override;
    NTSTATUS RestartStream() override;
    NTSTATUS SubmitTransfer() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS CompleteTransfer(PDEVICE_OBJECT deviceObject, IRP *irp, IsoTransfer *transfer) override;
    void StreamThread() override;
    NTSTATUS PrepareFormat(StreamClientRecord *client, PULONG currentFrame) override;
    NTSTATUS ReleaseFormat() override;
    NTSTATUS RunStream(ULONG startFrame, BOOLEAN scheduled) override;
    NTSTATUS StopStream() override;
    // Alternate setting 0 always; any other only when its endpoints carry this stream (present,
    // isochronous, of the stream's direction; a class 2.0 feedback endpoint isochronous IN).
    BOOLEAN IsAlternateSettingValid(UCHAR alternateSetting) override;

    // ---- Used by the device object and the derived classes
    // The alternate setting carrying `format`: extensible records compare their first
    // min(18 + cbSize, 40) bytes; other tags compare channels, rate, bits and the sub-format's tag.
    NTSTATUS FindAlternateSetting(const WAVEFORMATEXTENSIBLE *format, PUCHAR alternateSetting);
    ULONG GetCurrentFrameNumber();
    // Packets per 1 ms frame of the interface's data endpoint at this alternate setting, the one the
    // endpoint checks take: 1 at full speed, 8 >> (bInterval - 1) at high speed with bInterval clamped
    // to 1..4; 1 for a setting that fails the checks; never 0.
    ULONG GetPacketsPerFrame(UCHAR alternateSetting);
    NTSTATUS AllocateTransfer(IsoTransfer **transfer);
    NTSTATUS FindAttachedNode(ULONG id, IAudioNode **node);

    // Test and diagnostics face.
    LONG State() const { return m_StreamState; }
    LONG Outstanding() const { return m_Outstanding; }
    ULONG FramesPerTransfer() const { return m_FramesPerTransfer; }
    ULONG TransfersInFlight() const { return m_TransfersInFlight; }
    ULONG PacketsPerFrame() const { return m_PacketsPerFrame; }
    ULONG SamplesPerPacket() const { return m_SamplesPerPacket; }
    BOOLEAN DeviceGone() const { return m_DeviceGone; }
    BOOLEAN HoldsBandwidth() const { return m_HoldsBandwidth; }
    // Render packets the transfer path cut to the data endpoint's wMaxPacketSize (the last guard: the
    // walk offers no format whose packets do not fit).
    LONG ClampedPackets() const { return m_ClampedPackets; }
    ULONG CaptureRingBytes() const { return m_RingSize; }
    const StreamClientRecord *RunningClient() const { return m_RunningClient; }
    const StreamClientRecord *OpenedClient() const { return m_OpenedClient; }

protected:
    // The engine part InitStream builds; a class whose engine behaves differently makes its own.
    virtual CStreamEngine *NewEngine();
    // Removes every format `match` accepts from the stream's list and the engine's two lists.
    void RemoveStreamFormats(CStreamEngine::PFN_MATCH_FORMAT match, PVOID context);
    // The adapter's interfaces, with a reference each, for one operation.
    IUsbLowerRequests *Lower();
    IAudioHal *Hal();
    BOOLEAN IsCapture() const { return m_Capture; }
    void SendMessage(LONG code, ULONG_PTR value1, ULONG value2);
    // The endpoints of an alternate setting of this interface, checked for this stream's direction.
    NTSTATUS CheckEndpoints(IUsbLowerRequests *lower, UCHAR alternateSetting, UacStreamEndpoints *endpoints,
                            PCSTR *rule);
    // Bytes one client frame takes on the bus (the DSP render class sends fewer).
    virtual ULONG WireBlockAlign() const { return m_CurrentFormat.Format.nBlockAlign; }
    // Packet sizes of one render transfer from the current rate: the whole-sample part, the
    // remainder carried in the accumulator; each packet capped at its slot.
    ULONG SizeRenderPackets(PURB urb, ULONG packets, ULONG blockAlign);
    // The checks every class's PrepareFormat starts with: a listed format with an alternate setting,
    // a usable frame size and rate; takes the client's transfer values and format.
    NTSTATUS TakeClientValues(StreamClientRecord *client, PULONG currentFrame, PUCHAR alternateSetting);
    // One transfer: a free one is taken and zeroed under the submit lock, `build` fills it (and
    // calls SendTransfer), and it goes down without the lock, since the bus may complete it inside
    // the call. A gone device ends every submit loop; a stream not running sends nothing.
    template <class Build> NTSTATUS SubmitWith(Build build)
    {
        if (m_DeviceGone)
            return STATUS_DEVICE_NOT_CONNECTED;
        if (m_StreamState != STREAM_RUNNING)
            return STATUS_SUCCESS;
        KIRQL old;
        KeAcquireSpinLock(&m_SubmitLock, &old);
        IsoTransfer *transfer = TakeTransfer(m_Pool);
        if (!transfer)
        {
            KeReleaseSpinLock(&m_SubmitLock, old);
            return STATUS_BUFFER_TOO_SMALL;
        }
        RtlZeroMemory(transfer->Urb, m_UrbBytes);
        build(transfer);
        m_SubmittingThread = KeGetCurrentThread();
        KeReleaseSpinLock(&m_SubmitLock, old);
        return CallDown(transfer);
    }
    NTSTATUS CallDown(IsoTransfer *transfer);
    // The IRP to the device below, as it is; STATUS_PENDING and success both count as sent.
    NTSTATUS PassDown(PIRP irp);
    // The next stack location for the URB, the completion routine, the outstanding count.
    void PrepareIrp(IsoTransfer *transfer, PIO_COMPLETION_ROUTINE routine);
    // A render transfer's packets sized, its buffer zeroed, filled by the client and processed by
    // the engine; returns its bytes, which it also keeps as the transfer's client bytes.
    ULONG FillRenderTransfer(IsoTransfer *transfer, ULONG packets);
    // The render completion: device-gone check, position, verdict, next transfer.
    NTSTATUS CompleteRender(IRP *irp, IsoTransfer *transfer);
    // The transfers of one slot (the base: one data transfer); every class frees what it made.
    virtual NTSTATUS AllocateSlot(ULONG slot);
    // Class 2.0: the clock source runs at the client's rate before the interface is selected.
    // STATUS_UNSUCCESSFUL when the clock node cannot be found or refuses the rate.
    NTSTATUS SelectClockRate(ULONG rate);
    void FreePoolTransfers(IsoTransferPool &pool, IUsbLowerRequests *lower);
    // Waits for the last transfer to come back; an unusually long wait is logged once.
    void WaitUntilIdle();
    // The start of every recovery: no transfer out, no resubmit pending, and whether the device is
    // still there (STATUS_DEVICE_NOT_CONNECTED, remembered, when it is not).
    NTSTATUS BeginRecovery(IUsbLowerRequests *lower);
    // The end of every completion: the transfer back to the pool, the next one when the verdict
    // allows (before the count falls, so the idle event does not flicker), the count.
    NTSTATUS FinishCompletion(IsoTransfer *transfer, BOOLEAN submitNext);
    // Builds the URB header and prepares the IRP (the caller holds the submit lock).
    NTSTATUS SendTransfer(IsoTransfer *transfer, ULONG packets, ULONG flags, ULONG bytes);
    // The common shape of the class PrepareFormat: lookaside lists, ten transfers, the capture ring,
    // the selection. `bufferBytes` sizes the data buffers.
    NTSTATUS PrepareTransfers(StreamClientRecord *client, UCHAR alternateSetting, ULONG bufferBytes,
                              ULONG ringTag, PULONG currentFrame);
    void DeleteLookasides();
    IsoTransfer *TakeTransfer(IsoTransferPool &pool);
    void ReturnTransfer(IsoTransferPool &pool, IsoTransfer *transfer);
    void TransferDone(); // the outstanding count falls; the idle event at zero
    // A completion's verdict: resubmit flag, wake-up. Returns TRUE when the caller may submit the
    // next transfer itself.
    BOOLEAN JudgeCompletion(NTSTATUS irpStatus, PURB urb);
    BOOLEAN SubmittingHere() const;
    // The first transfers of a start or restart, at most `count`; STATUS_BUFFER_TOO_SMALL ends the
    // loop as success. The first of them, refused by the bus because its start frame has passed
    // meanwhile, goes again, as it was, `lead` frames after the frame the bus is at then (see
    // KeepLateTransfer).
    NTSTATUS SubmitUpTo(ULONG count, ULONG lead);
    // In a completion: TRUE when it kept the transfer, moved to the frame the bus is at plus the
    // lead, for SubmitUpTo to send again: one of its transfers refused inline with
    // USBD_STATUS_BAD_START_FRAME for a frame now behind the bus, retries left. The caller then
    // reports nothing for it.
    BOOLEAN KeepLateTransfer(PIRP irp, IsoTransfer *transfer);
    NTSTATUS SendLateTransfer();
    NTSTATUS SelectInterface(UCHAR alternateSetting, StreamClientRecord *client, BOOLEAN setRate,
                             BOOLEAN rateMatters);
    NTSTATUS SetEndpointRate(IUsbLowerRequests *lower, UCHAR endpoint, ULONG rate);
    PUSBD_PIPE_INFORMATION DataPipe();
    NTSTATUS StopThread();
    static VOID ThreadStart(PVOID context);
    static NTSTATUS TransferCompleted(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
    void RunEffectFormats();
    NTSTATUS StopEffects();
    void TakeFormatOf(StreamClientRecord *client);

    UCHAR m_InterfaceNumber;
    BOOLEAN m_Capture;
    BOOLEAN m_ClassTwo;     // the interface is class 2.0: a render setting's second endpoint is feedback
    ULONG m_MaxPacketBytes; // the selected data endpoint's packet limit; 0 while none is selected
    UCHAR m_DataAddress;
    volatile LONG m_ClampedPackets;
    ULONG m_ClockNodeId; // class 2.0: the clock source's node
    ULONG m_Value;
    CStreamEngine *m_Engine; // aggregated: its unknown is this stream's
    PUNKNOWN m_Device;       // the adapter, not referenced: it owns the device object that owns us
    CAudioHal *m_Hal;
    PCALLBACK_OBJECT m_CallbackObject;
    WCHAR m_CallbackName[STREAM_CALLBACK_NAME_BYTES / sizeof(WCHAR)];
    PKTHREAD m_Thread;
    LIST_ENTRY m_Formats;
    WAVEFORMATEXTENSIBLE m_CurrentFormat;
    StreamClientRecord *m_OpenedClient;
    StreamClientRecord *m_RunningClient;
    ULONG m_FramesPerTransfer;
    ULONG m_TransfersInFlight;
    ULONG m_PacketsPerFrame;
    ULONG m_SamplesPerPacket;
    ULONG m_Rate;
    ULONG m_Accumulator;
    ULONG m_NextStartFrame;
    BOOLEAN m_Scheduled;
    volatile BOOLEAN m_DeviceGone;
    BOOLEAN m_HoldsBandwidth;
    BOOLEAN m_LookasidesLive;
    volatile LONG m_StreamState;
    volatile LONG m_Outstanding;
    volatile LONG m_Resubmit;
    PKTHREAD volatile m_SubmittingThread; // set while this stream sends a transfer down
    ULONG m_PreparedFrame;                // the frame number the last preparation read
    PKTHREAD volatile m_StartingThread;   // set while SubmitUpTo sends its first transfer
    IsoTransfer *m_LateTransfer;          // a first transfer refused as late, to go again
    ULONG m_StartLead;                    // the lead of the SubmitUpTo running
    ULONG m_LateStarts;                   // transfers sent again by this SubmitUpTo
    IsoTransferPool m_Pool;
    NPAGED_LOOKASIDE_LIST m_UrbList;
    NPAGED_LOOKASIDE_LIST m_BufferList;
    NPAGED_LOOKASIDE_LIST m_RecordList;
    ULONG m_UrbBytes;
    ULONG m_BufferBytes;
    PUCHAR m_Ring;
    ULONG m_RingSize;
    ULONG m_RingRead;
    ULONG m_RingWrite;
    PUSBD_INTERFACE_INFORMATION m_InterfaceInfo; // "URB "
    ULONG m_PipeIndex;
    DspChain *m_DspChain; // "USBS"; null when none
    BOOLEAN m_DspReady;   // DspChainInit succeeded
    KEVENT m_IdleEvent;
    KEVENT m_StopEvent;
    KEVENT m_ExitedEvent;
    KEVENT m_WakeEvent;
    KSPIN_LOCK m_SubmitLock;
    KSPIN_LOCK m_RingLock;
};

// UAC1 render: render transfer path, the endpoint's sampling frequency set on selection (its
// answer ignored), content forwarding.
class CUac1RenderStream : public CUsbAudioStream, public IStreamDrm
{
public:
    DECLARE_STD_UNKNOWN();
    CUac1RenderStream(PUNKNOWN outer, UCHAR interfaceNumber, ULONG value)
        : CUsbAudioStream(outer, interfaceNumber, value)
    {
    }
    // Forwards protected content and its rights to the device below with the data pipe as file object
    // and context, under the stream lock (PASSIVE_LEVEL); STATUS_UNSUCCESSFUL while no interface is
    // selected.
    NTSTATUS SetContentId(ULONG contentId, PCDRMRIGHTS rights) override;
    NTSTATUS SubmitTransfer() override;
    NTSTATUS CompleteTransfer(PDEVICE_OBJECT deviceObject, IRP *irp, IsoTransfer *transfer) override;
    NTSTATUS PrepareFormat(StreamClientRecord *client, PULONG currentFrame) override;
    NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord *client) override;
    NTSTATUS RestartStream() override;

protected:
    // The render preparation; class 2.0 chooses the rate on its clock and keeps its ring as "US20".
    NTSTATUS PrepareRender(StreamClientRecord *client, PULONG currentFrame, BOOLEAN classTwo);
};

// The S/PDIF render stream: a UAC1 render stream whose format list follows the endpoint's terminal
// type each time the engine is named. Speakers (1) offer no AC-3; headphones (2) add the three AC-3
// formats; the S/PDIF interface (3) adds PCM 96 kHz and the AC-3 set. A type met again leaves one
// entry of each.
class CUac1RenderStreamEx : public CUac1RenderStream
{
public:
    CUac1RenderStreamEx(PUNKNOWN outer, UCHAR interfaceNumber, ULONG value)
        : CUac1RenderStream(outer, interfaceNumber, value)
    {
    }
    // Rebuilds the list for the engine's terminal type (called after the engine stored a new name).
    // On a failed addition the AC-3 formats of this call are removed again and the failure returned.
    NTSTATUS FollowTerminalType();

protected:
    CStreamEngine *NewEngine() override;
};

// The render stream of the effect headsets: the client's multichannel PCM runs through the DSP chain
// and goes to the device as its first two channels. The position the client sees is its own bytes.
// Float blocks and blocks of fewer than two channels go out as they came (logged once per format).
class CUac1DspRenderStream : public CUac1RenderStream
{
public:
    CUac1DspRenderStream(PUNKNOWN outer, UCHAR interfaceNumber, ULONG value)
        : CUac1RenderStream(outer, interfaceNumber, value), m_LoggedUnpacked(FALSE)
    {
        m_FramesPerTransfer = 10;
    }
    NTSTATUS SubmitTransfer() override;
    // The UAC1 render preparation, and the engine's channel buffers the chain works in.
    NTSTATUS PrepareFormat(StreamClientRecord *client, PULONG currentFrame) override;

protected:
    // Whether the current format is sent as its first two channels.
    BOOLEAN Packs() const;
    ULONG WireBlockAlign() const override;
    // Packs every frame of the transfer to its first two channels, from the buffer's start, and
    // rewrites the packets to match; returns the packed length.
    ULONG PackToStereo(PURB urb, PUCHAR buffer, ULONG packets);
    BOOLEAN m_LoggedUnpacked;
};

// UAC1 capture: capture transfers copied into a 40 ms ring, delivered in whole frames.
class CUac1CaptureStream : public CUsbAudioStream
{
public:
    CUac1CaptureStream(PUNKNOWN outer, UCHAR interfaceNumber, ULONG value)
        : CUsbAudioStream(outer, interfaceNumber, value)
    {
    }
    NTSTATUS SubmitTransfer() override;
    NTSTATUS CompleteTransfer(PDEVICE_OBJECT deviceObject, IRP *irp, IsoTransfer *transfer) override;
    NTSTATUS PrepareFormat(StreamClientRecord *client, PULONG currentFrame) override;
    NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord *client) override;

protected:
    // The capture preparation; class 2.0 chooses the rate on its clock, tells the client the
    // transfers it raised and keeps its ring as "US20".
    NTSTATUS PrepareCapture(StreamClientRecord *client, PULONG currentFrame, BOOLEAN classTwo);
    // The copy step of a capture completion: into the ring, then delivered in whole frames.
    virtual void CopyCapturedData(PURB urb, PUCHAR buffer);
    // Every packet into the ring at the write position (the caller holds the ring lock); a packet the
    // device did not send becomes `missing` bytes of silence, within its slot. Returns the bytes
    // written.
    ULONG CopyPacketsToRing(PURB urb, PUCHAR buffer, ULONG missing);
};

// Class 2.0 render: explicit feedback sets the packet sizes (a feedback transfer goes before each
// data transfer); the rate is chosen on the clock source; recovery resets the pipes in place.
class CUac2RenderStream : public CUac1RenderStream
{
public:
    CUac2RenderStream(PUNKNOWN outer, UCHAR interfaceNumber, ULONG value, ULONG clockNodeId);
    NTSTATUS SubmitTransfer() override;
    NTSTATUS PrepareFormat(StreamClientRecord *client, PULONG currentFrame) override;
    NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord *client) override;
    NTSTATUS FreeTransfers() override;
    NTSTATUS AbortPipe() override;
    // Resets the data pipe, then the feedback pipe, and sends three transfers; a failed reset or
    // submit cycles the port and is returned.
    NTSTATUS RecoverStream() override;
    BOOLEAN IsAlternateSettingValid(UCHAR alternateSetting) override;

    ULONG MeasuredRate() const { return m_Rate; }
    ULONG FeedbackPackets() const { return m_FeedbackPackets; }

protected:
    NTSTATUS AllocateSlot(ULONG slot) override;
    NTSTATUS SubmitFeedback();
    NTSTATUS CompleteFeedback(IRP *irp, IsoTransfer *transfer);
    static NTSTATUS FeedbackCompleted(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
    PUSBD_PIPE_INFORMATION FeedbackPipe();

    IsoTransferPool m_FeedbackPool;
    ULONG m_FeedbackPipeIndex;
    volatile LONG m_FeedbackPackets;
};

// Class 2.0 capture: the rate is chosen on the clock source; each completion delivers exactly its
// own bytes.
class CUac2CaptureStream : public CUac1CaptureStream
{
public:
    CUac2CaptureStream(PUNKNOWN outer, UCHAR interfaceNumber, ULONG value, ULONG clockNodeId)
        : CUac1CaptureStream(outer, interfaceNumber, value)
    {
        m_ClockNodeId = clockNodeId;
        m_ClassTwo = TRUE;
    }
    NTSTATUS PrepareFormat(StreamClientRecord *client, PULONG currentFrame) override;
    NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord *client) override;
    BOOLEAN IsAlternateSettingValid(UCHAR alternateSetting) override;

protected:
    void CopyCapturedData(PURB urb, PUCHAR buffer) override;
};

// The stream creators the device objects hand the function model. Class 1.0: capture, and render
// (the S/PDIF stream for the Mirk family, the DSP render class for the effect headsets). Class 2.0:
// render and capture on the clock source node `clockNodeId`.
NTSTATUS CreateUac1Stream(const UsbAudioFunctionInputs &inputs, BOOLEAN capture, UCHAR interfaceNumber,
                          ULONG terminalNodeId, ULONG clockNodeId, ULONG tag, IStreamBuilder **stream);
NTSTATUS CreateUac2Stream(const UsbAudioFunctionInputs &inputs, BOOLEAN capture, UCHAR interfaceNumber,
                          ULONG terminalNodeId, ULONG clockNodeId, ULONG tag, IStreamBuilder **stream);
