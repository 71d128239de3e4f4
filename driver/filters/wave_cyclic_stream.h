// The stream of an open wave-cyclic pin: its own DMA channel (the cyclic buffer the port reads and
// writes), play and record positions, and the client of the endpoint's isochronous stream whose
// messages fill render transfers from the cyclic buffer and bring captured data into it.
//
// Threading: creation, SetState, SetFormat and destruction at PASSIVE_LEVEL; the device stream's
// messages, CopyTo, CopyFrom and GetPosition up to DISPATCH_LEVEL. Every position, cursor and counter
// is guarded by the stream spin lock, which is a leaf (the port's Notify only queues).
#pragma once

#include "driver/base/object_model.h"
#include "driver/filters/audio_hal_interfaces.h"
#include "driver/filters/miniport_wave_cyclic.h"
#include "driver/filters/rate_chain.h"

inline constexpr ULONG WAVE_STREAM_MAX_BUFFER = 0x4B000; // 307200 bytes
inline constexpr ULONG WAVE_STREAM_BLOCK_RING = 10;
inline constexpr ULONG WAVE_STREAM_NOTIFY_MS = 10;
inline constexpr LONG WAVE_STREAM_CLIENT_KIND = 3;
inline constexpr ULONG WAVE_STREAM_FRAMES_PER_TRANSFER = 5;
inline constexpr ULONG WAVE_STREAM_TRANSFERS_IN_FLIGHT = 3;

class CMiniportWaveCyclicStream : public IMiniportWaveCyclicStream,
                                  public IDmaChannel,
                                  public IDrmAudioStream,
                                  public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CMiniportWaveCyclicStream(PUNKNOWN outerUnknown);
    // Steps the state down to STOP, frees the buffer, releases the service group and the device
    // stream, destroys the chain and tells the miniport the stream is gone.
    ~CMiniportWaveCyclicStream() override;

    // `format` is the checked wave format (40 bytes). A failure releases what this call took.
    NTSTATUS InitStream(CMiniportWaveCyclic *miniport, ULONG pin, BOOLEAN capture,
                        const WAVEFORMATEXTENSIBLE *format, PUNKNOWN deviceStream,
                        PSERVICEGROUP *serviceGroup);

    // ---- IMiniportWaveCyclicStream
    NTSTATUS SetFormat(PKSDATAFORMAT dataFormat) override;
    ULONG SetNotificationFreq(ULONG interval, PULONG framingSize) override;
    NTSTATUS SetState(KSSTATE state) override;
    NTSTATUS GetPosition(PULONG position) override;
    NTSTATUS NormalizePhysicalPosition(LONGLONG *position) override;
    void Silence(PVOID buffer, ULONG byteCount) override;

    // ---- IDmaChannel
    NTSTATUS AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS constraint) override;
    void FreeBuffer() override;
    ULONG TransferCount() override { return m_Allocated; }
    ULONG MaximumBufferSize() override { return WAVE_STREAM_MAX_BUFFER; }
    ULONG AllocatedBufferSize() override { return m_Allocated; }
    ULONG BufferSize() override { return Effective(); }
    void SetBufferSize(ULONG bufferSize) override;
    PVOID SystemAddress() override { return m_Base; }
    PHYSICAL_ADDRESS PhysicalAddress() override
    {
        PHYSICAL_ADDRESS zero;
        zero.QuadPart = 0;
        return zero;
    }
    PADAPTER_OBJECT GetAdapterObject() override { return nullptr; }
    void CopyTo(PVOID destination, PVOID source, ULONG byteCount) override;
    void CopyFrom(PVOID destination, PVOID source, ULONG byteCount) override;

    // ---- IDrmAudioStream
    // Passes the content id and its rights to the device stream's content forwarding and returns its
    // status; a device stream without it: the failure of the query.
    NTSTATUS SetContentId(ULONG contentId, PCDRMRIGHTS rights) override;

    KSSTATE State() const { return m_State; }
    const WAVEFORMATEXTENSIBLE &Format() const { return m_Format; }
    ULONGLONG TotalBytes() const { return m_Total; }

private:
    static VOID MessageCallback(PVOID context, PVOID argument1, PVOID argument2);
    void OnMessage(const CyclicControlMessage *message);
    ULONG Effective() const { return m_BufferSize ? m_BufferSize : m_Allocated; }
    BOOLEAN SameRate(const WAVEFORMATEXTENSIBLE &device) const;
    // Stream bytes that `deviceBytes` more device bytes make, in whole stream frames, from 64-bit
    // totals so nothing drifts: *deviceTotal and *streamTotal carry the books.
    ULONG ConvertedBytes(ULONG deviceBytes, ULONGLONG *deviceTotal, ULONGLONG *streamTotal) const;
    void PullRenderBlock(PUCHAR destination, ULONG bytes, BOOLEAN copy);
    void PushCaptureBlock(const UCHAR *source, ULONG bytes);
    void AdvancePosition(ULONG deviceBytes);
    void DeviceFormatChanged(ULONG first, ULONG second, const WAVEFORMATEXTENSIBLE &device);
    void ResetPositions();
    // The conversion step of a render block whose device format differs: reads exactly the stream
    // frames the chain needs from the copy cursor and writes the device frames it gives. Without a
    // configured chain the zeroed block stays silence.
    void ConvertRenderBlock(PUCHAR destination, ULONG bytes);
    // The conversion step of a capture block whose format differs: the chain's output goes into the
    // cyclic buffer; without a configured chain, `streamBytes` of silence keep the client's clock.
    void ConvertCaptureBlock(const UCHAR *source, ULONG bytes, ULONG streamBytes);
    // Drains every converted frame into the cyclic buffer at the copy cursor; the frames moved.
    ULONG DrainIntoRing(float *const planes[], float *interleaved);
    // Stream-format frames from interleaved float into the cyclic buffer at the copy cursor; a frame
    // that straddles the buffer's end is split.
    void WriteRingFrames(const float *interleaved, ULONG frames);
    // `bytes` from the cyclic buffer at the copy cursor, in two pieces at the wrap; the cursor stays.
    void ReadRing(PUCHAR destination, ULONG bytes) const;
    static ULONGLONG Now10us();
    NTSTATUS StepDown(KSSTATE to, ICyclicControl *control);
    void ForgetClient(ICyclicControl *control);

    CMiniportWaveCyclic *m_Miniport;
    ULONG m_Pin;
    PUNKNOWN m_DeviceStream; // one reference
    KSSTATE m_State;
    ULONG m_NotifyMs;
    ULONG m_FramesPerTransfer;
    ULONG m_TransfersInFlight;
    PVOID m_ClientId;
    StreamClientRecord *m_ClientRecord;
    PSERVICEGROUP m_ServiceGroup; // one reference; null once released
    WAVEFORMATEXTENSIBLE m_Format;
    WAVEFORMATEXTENSIBLE m_DeviceFormat;
    PUCHAR m_Base;
    ULONG m_Allocated;
    ULONG m_BufferSize;
    ULONG m_Position;
    ULONG m_Reported;
    ULONG m_Cursor;
    ULONGLONG m_Total;
    ULONG m_CurrentBlock;
    ULONGLONG m_LastAdvance;
    KSPIN_LOCK m_Lock;
    BOOLEAN m_Capture;
    BOOLEAN m_Registered;
    ULONG m_Blocks[WAVE_STREAM_BLOCK_RING];
    ULONG m_BlockRead;
    ULONG m_BlockWrite;
    ULONGLONG m_FillDevice, m_FillStream; // render fill books when the rates differ
    ULONGLONG m_PosDevice, m_PosStream;   // position books when the rates differ
    IRateChain *m_Chain;                  // "CCST"; null when no creator was registered
    BOOLEAN m_ChainReady;                 // the chain accepted the present pair of formats
};
