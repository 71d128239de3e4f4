// The wave-cyclic stream: DMA channel, positions, states and the device stream's messages.
#include "driver/filters/wave_cyclic_stream.h"

#include "driver/base/pool_memory.h"
#include "driver/filters/pcm_float.h"
#include "dsp/dispatch/primitives.h"

namespace
{
// The stream spin lock for one scope, at whatever IRQL the caller runs.
class CSpinHold
{
public:
    explicit CSpinHold(PKSPIN_LOCK lock) : m_Lock(lock) { KeAcquireSpinLock(m_Lock, &m_Old); }
    ~CSpinHold() { KeReleaseSpinLock(m_Lock, m_Old); }
    CSpinHold(const CSpinHold &) = delete;
    CSpinHold &operator=(const CSpinHold &) = delete;

private:
    PKSPIN_LOCK m_Lock;
    KIRQL m_Old;
};

bool Inside(const UCHAR *base, ULONG size, const void *at, ULONG bytes)
{
    const auto *p = static_cast<const UCHAR *>(at);
    return base && p >= base && ULONG_PTR(p - base) <= size && bytes <= size - ULONG(p - base);
}

// The floating-point state of the interrupted thread, kept while the conversions run at DISPATCH_LEVEL.
class CFloatHold
{
public:
    CFloatHold() : m_Saved(NT_SUCCESS(KeSaveFloatingPointState(&m_State))) {}
    ~CFloatHold()
    {
        if (m_Saved)
            KeRestoreFloatingPointState(&m_State);
    }
    CFloatHold(const CFloatHold &) = delete;
    CFloatHold &operator=(const CFloatHold &) = delete;
    bool Saved() const { return m_Saved; }

private:
    KFLOATING_SAVE m_State{};
    bool m_Saved;
};

// A format the conversions can stage: at most 8 channels of 16, 24 or 32-bit integers or 32-bit float.
bool Stageable(const WAVEFORMATEXTENSIBLE &format)
{
    const WAVEFORMATEX &f = format.Format;
    const USHORT bits = f.wBitsPerSample;
    return f.nChannels >= 1 && f.nChannels <= RATE_CHAIN_STAGE_CHANNELS &&
           (bits == 16 || bits == 24 || bits == 32) && f.nBlockAlign == f.nChannels * (bits / 8);
}

bool IsFloat(const WAVEFORMATEXTENSIBLE &format)
{
    return SampleTypeOf(format) == WAVE_FORMAT_IEEE_FLOAT;
}

// The work buffer's halves: planes of RATE_CHAIN_STAGE_FRAMES floats, then the interleaved frames.
void StagePlanes(float *work, ULONG offset, float *planes[RATE_CHAIN_STAGE_CHANNELS])
{
    for (ULONG c = 0; c < RATE_CHAIN_STAGE_CHANNELS; ++c)
        planes[c] = work + c * RATE_CHAIN_STAGE_FRAMES + offset;
}

float *StageInterleaved(float *work)
{
    return work + RATE_CHAIN_STAGE_CHANNELS * RATE_CHAIN_STAGE_FRAMES;
}
} // namespace

NTSTATUS CreateWaveCyclicStream(CMiniportWaveCyclic *miniport, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                ULONG pin, BOOLEAN capture, PKSDATAFORMAT, const WAVEFORMATEXTENSIBLE *format,
                                IStreamEngine *engine, PMINIPORTWAVECYCLICSTREAM *stream,
                                PDMACHANNEL *dmaChannel, PSERVICEGROUP *serviceGroup)
{
    if (!stream || !dmaChannel || !serviceGroup || !format)
        return STATUS_INVALID_PARAMETER;
    *stream = nullptr;
    *dmaChannel = nullptr;
    *serviceGroup = nullptr;
    auto *object = new (poolType, PoolTag::WAVC) CMiniportWaveCyclicStream(outerUnknown);
    if (!object)
        return STATUS_INSUFFICIENT_RESOURCES;
    PUNKNOWN unknown = object->NonDelegatingUnknown();
    unknown->AddRef();
    PSERVICEGROUP group = nullptr;
    NTSTATUS status = object->InitStream(miniport, pin, capture, format, engine, &group);
    if (NT_SUCCESS(status))
    {
        *stream = static_cast<IMiniportWaveCyclicStream *>(object);
        (*stream)->AddRef();
        *dmaChannel = static_cast<IDmaChannel *>(object);
        (*dmaChannel)->AddRef();
        *serviceGroup = group;
    }
    unknown->Release();
    return status;
}

CMiniportWaveCyclicStream::CMiniportWaveCyclicStream(PUNKNOWN outerUnknown)
    : CUnknownBase(outerUnknown), m_Miniport(nullptr), m_Pin(0), m_DeviceStream(nullptr),
      m_State(KSSTATE_STOP), m_NotifyMs(WAVE_STREAM_NOTIFY_MS),
      m_FramesPerTransfer(WAVE_STREAM_FRAMES_PER_TRANSFER), m_TransfersInFlight(0), m_ClientId(nullptr),
      m_ClientRecord(nullptr), m_ServiceGroup(nullptr), m_Format{}, m_DeviceFormat{}, m_Base(nullptr),
      m_Allocated(0), m_BufferSize(0), m_Position(0), m_Reported(0), m_Cursor(0), m_Total(0),
      m_CurrentBlock(0), m_LastAdvance(0), m_Lock(0), m_Capture(FALSE), m_Registered(FALSE), m_Blocks{},
      m_BlockRead(0), m_BlockWrite(0), m_FillDevice(0), m_FillStream(0), m_PosDevice(0), m_PosStream(0),
      m_Chain(nullptr), m_ChainReady(FALSE)
{
    KeInitializeSpinLock(&m_Lock);
}

CMiniportWaveCyclicStream::~CMiniportWaveCyclicStream()
{
    ICyclicControl *control = QueryAs<ICyclicControl>(m_DeviceStream, IID_ICyclicControl);
    // Down one level at a time, going on when a step fails: the client must not stay registered.
    while (m_State != KSSTATE_STOP)
    {
        const KSSTATE next = KSSTATE(m_State - 1);
        if (!NT_SUCCESS(StepDown(next, control)))
            m_State = next;
    }
    if (control)
        control->Release();
    FreeBuffer();
    if (m_ServiceGroup)
        m_ServiceGroup->Release();
    m_ServiceGroup = nullptr;
    if (m_DeviceStream)
        m_DeviceStream->Release();
    m_DeviceStream = nullptr;
    delete m_Chain;
    m_Chain = nullptr;
    if (m_Registered && m_Miniport)
        m_Miniport->StreamClosed();
}

NTSTATUS CMiniportWaveCyclicStream::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    PUNKNOWN first = static_cast<IMiniportWaveCyclicStream *>(this);
    return AnswerInterface(iid, object, first,
                           {{IID_IMiniportWaveCyclicStream, first},
                            {IID_IDmaChannel, static_cast<IDmaChannel *>(this)},
                            {IID_IDrmAudioStream, static_cast<IDrmAudioStream *>(this)}});
}

NTSTATUS CMiniportWaveCyclicStream::SetContentId(ULONG contentId, PCDRMRIGHTS rights)
{
    if (!m_DeviceStream)
        return STATUS_UNSUCCESSFUL;
    IStreamDrm *drm = nullptr;
    const NTSTATUS status = m_DeviceStream->QueryInterface(IID_IStreamDrm, reinterpret_cast<PVOID *>(&drm));
    if (!NT_SUCCESS(status) || !drm)
        return NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status;
    const NTSTATUS forwarded = drm->SetContentId(contentId, rights);
    drm->Release();
    return forwarded;
}

NTSTATUS CMiniportWaveCyclicStream::InitStream(CMiniportWaveCyclic *miniport, ULONG pin, BOOLEAN capture,
                                               const WAVEFORMATEXTENSIBLE *format, PUNKNOWN deviceStream,
                                               PSERVICEGROUP *serviceGroup)
{
    PAGED_CODE();
    if (!miniport || !deviceStream || !format || !serviceGroup)
        return STATUS_INSUFFICIENT_RESOURCES;
    m_Miniport = miniport;
    m_DeviceStream = deviceStream;
    m_DeviceStream->AddRef();
    NTSTATUS status = PcNewServiceGroup(&m_ServiceGroup, nullptr);
    if (NT_SUCCESS(status) && RateChainCreator() && !NT_SUCCESS(RateChainCreator()(&m_Chain)))
        status = STATUS_INSUFFICIENT_RESOURCES;
    if (NT_SUCCESS(status))
    {
        m_Pin = pin;
        m_Capture = capture ? TRUE : FALSE;
        // The record holds 40 bytes whatever cbSize claims.
        m_Format = *format;
        if (m_Format.Format.nBlockAlign == 0 || m_Format.Format.nAvgBytesPerSec < 20)
            status = STATUS_INVALID_PARAMETER;
        else
            status = AllocateBuffer(m_Format.Format.nAvgBytesPerSec / 20, nullptr);
    }
    if (!NT_SUCCESS(status))
    {
        // Each pointer is cleared as it goes, so destruction releases nothing twice.
        if (m_ServiceGroup)
            m_ServiceGroup->Release();
        m_ServiceGroup = nullptr;
        m_DeviceStream->Release();
        m_DeviceStream = nullptr;
        delete m_Chain;
        m_Chain = nullptr;
        return status;
    }
    m_ServiceGroup->AddRef();
    *serviceGroup = m_ServiceGroup;
    m_Registered = TRUE;
    m_DeviceFormat = m_Format;
    return STATUS_SUCCESS;
}

// ---- DMA channel ----------------------------------------------------------------------------------

NTSTATUS CMiniportWaveCyclicStream::AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS)
{
    if (bufferSize == 0 || bufferSize > WAVE_STREAM_MAX_BUFFER)
        return STATUS_INVALID_PARAMETER;
    auto *buffer = static_cast<PUCHAR>(AllocPoolZeroed(bufferSize, NonPagedPoolCacheAligned, PoolTag::CCST));
    if (!buffer)
        return STATUS_INSUFFICIENT_RESOURCES;
    PUCHAR old = nullptr;
    {
        CSpinHold hold(&m_Lock);
        old = m_Base;
        m_Base = buffer;
        m_Allocated = m_BufferSize = bufferSize;
        m_Position = m_Reported = 0;
        m_Total = 0;
        m_CurrentBlock = 0;
        m_Cursor = 0;
    }
    FreePool(old);
    return STATUS_SUCCESS;
}

void CMiniportWaveCyclicStream::FreeBuffer()
{
    PUCHAR old = nullptr;
    {
        CSpinHold hold(&m_Lock);
        old = m_Base;
        m_Base = nullptr;
        m_Allocated = m_BufferSize = 0;
        m_Position = m_Reported = m_Cursor = 0;
    }
    FreePool(old);
}

void CMiniportWaveCyclicStream::SetBufferSize(ULONG bufferSize)
{
    CSpinHold hold(&m_Lock);
    if (bufferSize == 0 || bufferSize >= m_Allocated)
        return;
    m_BufferSize = bufferSize;
    // Positions past the new end would point outside what the port reads.
    m_Position %= bufferSize;
    m_Reported %= bufferSize;
    m_Cursor %= bufferSize;
}

void CMiniportWaveCyclicStream::CopyTo(PVOID destination, PVOID source, ULONG byteCount)
{
    CSpinHold hold(&m_Lock);
    if (source && Inside(m_Base, Effective(), destination, byteCount))
        RtlCopyMemory(destination, source, byteCount);
}

void CMiniportWaveCyclicStream::CopyFrom(PVOID destination, PVOID source, ULONG byteCount)
{
    CSpinHold hold(&m_Lock);
    if (destination && Inside(m_Base, Effective(), source, byteCount))
        RtlCopyMemory(destination, source, byteCount);
}

void CMiniportWaveCyclicStream::Silence(PVOID buffer, ULONG byteCount)
{
    CSpinHold hold(&m_Lock);
    if (Inside(m_Base, Effective(), buffer, byteCount))
        RtlFillMemory(buffer, byteCount, m_Format.Format.wBitsPerSample == 8 ? 0x80 : 0);
}

// ---- Stream ---------------------------------------------------------------------------------------

NTSTATUS CMiniportWaveCyclicStream::SetFormat(PKSDATAFORMAT dataFormat)
{
    PAGED_CODE();
    if (m_State == KSSTATE_RUN)
        return STATUS_UNSUCCESSFUL;
    WAVEFORMATEXTENSIBLE format;
    NTSTATUS status = m_Miniport->ValidateFormat(dataFormat, &format);
    if (!NT_SUCCESS(status))
        return status;
    const WAVEFORMATEX &now = m_Format.Format;
    if (format.Format.nSamplesPerSec == now.nSamplesPerSec && format.Format.nChannels == now.nChannels &&
        format.Format.wBitsPerSample == now.wBitsPerSample)
        return STATUS_SUCCESS;
    if (format.Format.nBlockAlign == 0 || format.Format.nAvgBytesPerSec < 20)
        return STATUS_INVALID_PARAMETER;
    status = AllocateBuffer(format.Format.nAvgBytesPerSec / 20, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    CSpinHold hold(&m_Lock);
    m_Format = format;
    m_Cursor = 0;
    // As at creation: the device side is taken to match until the device stream announces its own,
    // and that announcement then differs, so the chain is set up for the new pair before it runs.
    m_DeviceFormat = format;
    m_ChainReady = FALSE;
    return STATUS_SUCCESS;
}

ULONG CMiniportWaveCyclicStream::SetNotificationFreq(ULONG, PULONG framingSize)
{
    const WAVEFORMATEX &f = m_Format.Format;
    if (framingSize)
        *framingSize = f.nSamplesPerSec * m_NotifyMs / 1000 * (f.wBitsPerSample / 8) * f.nChannels;
    return m_NotifyMs;
}

NTSTATUS CMiniportWaveCyclicStream::NormalizePhysicalPosition(LONGLONG *position)
{
    const WAVEFORMATEX &f = m_Format.Format;
    const ULONG frameBytes = ULONG(f.nChannels) * (f.wBitsPerSample / 8);
    if (!position || frameBytes == 0 || f.nSamplesPerSec == 0)
        return STATUS_INVALID_PARAMETER;
    *position = *position * LONGLONG(10000000 / frameBytes) / LONGLONG(f.nSamplesPerSec);
    return STATUS_SUCCESS;
}

ULONGLONG CMiniportWaveCyclicStream::Now10us()
{
    LARGE_INTEGER frequency;
    const LARGE_INTEGER now = KeQueryPerformanceCounter(&frequency);
    return frequency.QuadPart ? ULONGLONG(now.QuadPart) * 100000 / ULONGLONG(frequency.QuadPart) : 0;
}

NTSTATUS CMiniportWaveCyclicStream::GetPosition(PULONG position)
{
    if (!position)
        return STATUS_INVALID_PARAMETER;
    CSpinHold hold(&m_Lock);
    const ULONG size = Effective();
    if (m_State != KSSTATE_RUN || size == 0)
    {
        *position = m_Reported;
        return STATUS_SUCCESS;
    }
    // In 64 bits: eight channels of 32-bit samples at 192 kHz pass 2^32 within milliseconds.
    ULONGLONG elapsed = (Now10us() - m_LastAdvance) * m_Format.Format.nAvgBytesPerSec / 100000;
    if (elapsed > m_CurrentBlock)
        elapsed = m_CurrentBlock;
    const ULONG blockAlign = m_Format.Format.nBlockAlign;
    ULONG reported;
    if (m_Capture)
    {
        const ULONG behind = ULONG((m_CurrentBlock - elapsed) / blockAlign * blockAlign) % size;
        reported = (size + m_Position % size - behind) % size;
    }
    else
        reported = ULONG((m_Position + elapsed) % size);
    m_Reported = reported;
    *position = reported;
    return STATUS_SUCCESS;
}

void CMiniportWaveCyclicStream::ResetPositions()
{
    m_Position = m_Reported = 0;
    m_Total = 0;
    m_CurrentBlock = 0;
    RtlZeroMemory(m_Blocks, sizeof(m_Blocks));
    m_BlockRead = m_BlockWrite = 0;
    m_FillDevice = m_FillStream = m_PosDevice = m_PosStream = 0;
}

NTSTATUS CMiniportWaveCyclicStream::StepDown(KSSTATE to, ICyclicControl *control)
{
    if (m_State == KSSTATE_RUN && to == KSSTATE_PAUSE)
    {
        if (!control)
            return STATUS_UNSUCCESSFUL;
        NTSTATUS status = STATUS_SUCCESS;
        if (m_ClientRecord)
        {
            control->StopClient(m_ClientId, nullptr);
            control->CloseClient(m_ClientId);
            status = control->UnregisterClient(m_ClientId);
            ForgetClient(control);
        }
        CSpinHold hold(&m_Lock);
        m_Reported = m_Position;
        m_State = to;
        return status;
    }
    CSpinHold hold(&m_Lock);
    if (to == KSSTATE_PAUSE)
        m_Reported = m_Position;
    else
    {
        ResetPositions();
        m_Cursor = 0;
    }
    m_State = to;
    return STATUS_SUCCESS;
}

void CMiniportWaveCyclicStream::ForgetClient(ICyclicControl *)
{
    CSpinHold hold(&m_Lock);
    m_ClientRecord = nullptr;
    m_ClientId = nullptr;
}

NTSTATUS CMiniportWaveCyclicStream::SetState(KSSTATE state)
{
    PAGED_CODE();
    if (state > KSSTATE_RUN)
        return STATUS_INVALID_PARAMETER;
    ICyclicControl *control = QueryAs<ICyclicControl>(m_DeviceStream, IID_ICyclicControl);
    if (!control)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_SUCCESS;
    if (state == m_State)
        ;
    else if (state != KSSTATE_RUN)
        status = StepDown(state, control);
    else if (!m_Base)
        status = STATUS_UNSUCCESSFUL;
    else
    {
        StreamClientRecord *record = nullptr;
        status = control->RegisterClient(WAVE_STREAM_CLIENT_KIND, &m_Format, WAVE_STREAM_FRAMES_PER_TRANSFER,
                                         WAVE_STREAM_TRANSFERS_IN_FLIGHT, MessageCallback, this, &record);
        if (NT_SUCCESS(status))
        {
            {
                CSpinHold hold(&m_Lock);
                m_ClientRecord = record;
                m_ClientId = record->ClientHandle;
            }
            ULONG frame = 0, frames = 0;
            status = control->OpenClient(m_ClientId, &frames, &frame);
            if (!NT_SUCCESS(status))
            {
                control->UnregisterClient(m_ClientId);
                ForgetClient(control);
            }
            else
            {
                m_FramesPerTransfer = frames;
                status = control->StartClient(m_ClientId, frame + 2, &frames, nullptr);
                if (!NT_SUCCESS(status))
                {
                    control->CloseClient(m_ClientId);
                    control->UnregisterClient(m_ClientId);
                    ForgetClient(control);
                }
                else
                {
                    CSpinHold hold(&m_Lock);
                    m_FramesPerTransfer = frames;
                    m_LastAdvance = Now10us();
                }
            }
        }
        if (NT_SUCCESS(status))
            m_State = KSSTATE_RUN;
    }
    control->Release();
    return status;
}

// ---- Messages -------------------------------------------------------------------------------------

VOID CMiniportWaveCyclicStream::MessageCallback(PVOID context, PVOID argument1, PVOID)
{
    auto *self = static_cast<CMiniportWaveCyclicStream *>(context);
    auto *message = static_cast<const CyclicControlMessage *>(argument1);
    if (self && message && message->RunningClient)
        self->OnMessage(message);
}

BOOLEAN CMiniportWaveCyclicStream::SameRate(const WAVEFORMATEXTENSIBLE &device) const
{
    // Bytes copy through only when they mean the same samples.
    const WAVEFORMATEX &d = device.Format, &s = m_Format.Format;
    return d.nSamplesPerSec == s.nSamplesPerSec && d.nChannels == s.nChannels &&
           d.wBitsPerSample == s.wBitsPerSample && d.nBlockAlign == s.nBlockAlign;
}

ULONG CMiniportWaveCyclicStream::ConvertedBytes(ULONG deviceBytes, ULONGLONG *deviceTotal,
                                                ULONGLONG *streamTotal) const
{
    const WAVEFORMATEX &d = m_DeviceFormat.Format, &s = m_Format.Format;
    *deviceTotal += deviceBytes;
    if (d.nBlockAlign == 0 || d.nSamplesPerSec == 0)
        return 0;
    const ULONGLONG frames = *deviceTotal / d.nBlockAlign * s.nSamplesPerSec / d.nSamplesPerSec;
    const ULONGLONG total = frames * s.nBlockAlign;
    const ULONG delta = ULONG(total - *streamTotal);
    *streamTotal = total;
    return delta;
}

void CMiniportWaveCyclicStream::OnMessage(const CyclicControlMessage *message)
{
    CSpinHold hold(&m_Lock);
    if (!m_ClientRecord)
        return;
    if (message->Code == CYCLIC_MSG_FORMAT)
    {
        DeviceFormatChanged(ULONG(message->Value1), message->Value2, message->RunningClient->Format);
        return;
    }
    if (!m_ClientRecord->Active)
        return;
    switch (message->Code)
    {
    case CYCLIC_MSG_POSITION:
        AdvancePosition(ULONG(message->Value1));
        break;
    case CYCLIC_MSG_RENDER_FILL:
        PullRenderBlock(reinterpret_cast<PUCHAR>(message->Value1), message->Value2,
                        message->RunningClient->ClientHandle == m_ClientId);
        break;
    case CYCLIC_MSG_CAPTURE_DATA:
        PushCaptureBlock(reinterpret_cast<const UCHAR *>(message->Value1), message->Value2);
        break;
    default:
        break;
    }
}

void CMiniportWaveCyclicStream::ReadRing(PUCHAR destination, ULONG bytes) const
{
    const ULONG size = Effective();
    const ULONG first = size - m_Cursor < bytes ? size - m_Cursor : bytes;
    RtlCopyMemory(destination, m_Base + m_Cursor, first);
    RtlCopyMemory(destination + first, m_Base, bytes - first);
}

void CMiniportWaveCyclicStream::ConvertRenderBlock(PUCHAR destination, ULONG bytes)
{
    const WAVEFORMATEXTENSIBLE &device = m_DeviceFormat, &stream = m_Format;
    if (!m_ChainReady || !destination || !Stageable(device) || !Stageable(stream))
        return; // the device stream zeroed the block: it plays silence
    CFloatHold fpu;
    if (!fpu.Saved())
        return;
    const ULONG size = Effective();
    const ULONG inAlign = stream.Format.nBlockAlign, outAlign = device.Format.nBlockAlign;
    float *work = m_Chain->WorkBuffer();
    float *planes[RATE_CHAIN_STAGE_CHANNELS];
    StagePlanes(work, 0, planes);
    float *interleaved = StageInterleaved(work);
    auto *raw = reinterpret_cast<PUCHAR>(work); // stream PCM lands in the planes' half first
    const ULONG frames = bytes / outAlign;
    // As for a block that is copied as it is: a buffer no larger than what the block reads is
    // not played from (the reads would pass its end).
    if (ULONGLONG(m_Chain->InputFor(frames)) * inAlign >= size)
        return;
    for (ULONG done = 0; done < frames;)
    {
        const ULONG want = frames - done < RATE_CHAIN_STAGE_FRAMES ? frames - done : RATE_CHAIN_STAGE_FRAMES;
        // Exactly the stream frames that make `want` device frames, so the copy cursor keeps pace.
        for (ULONG need = m_Chain->InputFor(want); need > 0; need = m_Chain->InputFor(want))
        {
            const ULONG piece = need < RATE_CHAIN_STAGE_FRAMES ? need : RATE_CHAIN_STAGE_FRAMES;
            ReadRing(raw, piece * inAlign);
            if (!PcmToFloat(raw, stream.Format.wBitsPerSample, IsFloat(stream), interleaved,
                            int32_t(piece * stream.Format.nChannels)) ||
                dsp::deinterleave32(reinterpret_cast<const uint32_t *>(interleaved), stream.Format.nChannels,
                                    int32_t(piece), reinterpret_cast<uint32_t *const *>(planes)) < 0)
                return;
            const ULONG taken = m_Chain->Feed(planes, piece);
            m_Cursor = ULONG((ULONGLONG(m_Cursor) + ULONGLONG(taken) * inAlign) % size);
            if (taken == 0)
                break;
        }
        const ULONG got = m_Chain->Drain(planes, want);
        if (got == 0 ||
            dsp::interleave32(reinterpret_cast<const uint32_t *const *>(planes), device.Format.nChannels,
                              int32_t(got), reinterpret_cast<uint32_t *>(interleaved)) < 0 ||
            !FloatToPcm(interleaved, device.Format.wBitsPerSample, IsFloat(device),
                        destination + done * outAlign, int32_t(got * device.Format.nChannels), 1))
            return;
        done += got;
    }
}

void CMiniportWaveCyclicStream::WriteRingFrames(const float *interleaved, ULONG frames)
{
    const ULONG size = Effective();
    const ULONG align = m_Format.Format.nBlockAlign, channels = m_Format.Format.nChannels;
    const USHORT bits = m_Format.Format.wBitsPerSample;
    const bool isFloat = IsFloat(m_Format);
    // Samples are stored as words of their width; packed 24-bit ones byte by byte.
    const ULONG word = bits == 24 ? 1 : bits / 8;
    for (ULONG done = 0; done < frames;)
    {
        ULONG whole = (size - m_Cursor) / align;
        if (whole > frames - done)
            whole = frames - done;
        if (whole > 0 && m_Cursor % word == 0)
        {
            FloatToPcm(interleaved + done * channels, bits, isFloat, m_Base + m_Cursor,
                       int32_t(whole * channels), 1);
            m_Cursor = (m_Cursor + whole * align) % size;
            done += whole;
            continue;
        }
        // A buffer size the port set need not hold whole frames: a frame that wraps, and the frames
        // after it that no longer start on a word, go through a frame of their own.
        UCHAR frame[RATE_CHAIN_STAGE_CHANNELS * 4];
        FloatToPcm(interleaved + done * channels, bits, isFloat, frame, int32_t(channels), 1);
        const ULONG first = size - m_Cursor < align ? size - m_Cursor : align;
        RtlCopyMemory(m_Base + m_Cursor, frame, first);
        RtlCopyMemory(m_Base, frame + first, align - first);
        m_Cursor = ULONG((ULONGLONG(m_Cursor) + align) % size);
        ++done;
    }
}

ULONG CMiniportWaveCyclicStream::DrainIntoRing(float *const planes[], float *interleaved)
{
    // The output planes follow the input's quarter of each plane.
    constexpr ULONG room = RATE_CHAIN_STAGE_FRAMES * 3 / 4;
    ULONG moved = 0;
    for (ULONG ready = m_Chain->Available(); ready > 0; ready = m_Chain->Available())
    {
        const ULONG got = m_Chain->Drain(planes, ready < room ? ready : room);
        if (got == 0 ||
            dsp::interleave32(reinterpret_cast<const uint32_t *const *>(planes), m_Format.Format.nChannels,
                              int32_t(got), reinterpret_cast<uint32_t *>(interleaved)) < 0)
            break;
        WriteRingFrames(interleaved, got);
        moved += got;
    }
    return moved;
}

void CMiniportWaveCyclicStream::ConvertCaptureBlock(const UCHAR *source, ULONG bytes, ULONG streamBytes)
{
    const WAVEFORMATEXTENSIBLE &device = m_DeviceFormat;
    const ULONG size = Effective();
    CFloatHold fpu;
    if (m_ChainReady && Stageable(device) && Stageable(m_Format) && fpu.Saved() &&
        m_Format.Format.nBlockAlign <= size)
    {
        constexpr ULONG quarter = RATE_CHAIN_STAGE_FRAMES / 4;
        float *work = m_Chain->WorkBuffer();
        float *in[RATE_CHAIN_STAGE_CHANNELS], *out[RATE_CHAIN_STAGE_CHANNELS];
        StagePlanes(work, 0, in);
        StagePlanes(work, quarter, out);
        float *interleaved = StageInterleaved(work);
        const ULONG align = device.Format.nBlockAlign, channels = device.Format.nChannels;
        const ULONG frames = bytes / align;
        for (ULONG done = 0; done < frames;)
        {
            const ULONG piece = frames - done < quarter ? frames - done : quarter;
            if (!PcmToFloat(source + done * align, device.Format.wBitsPerSample, IsFloat(device), interleaved,
                            int32_t(piece * channels)) ||
                dsp::deinterleave32(reinterpret_cast<const uint32_t *>(interleaved), int32_t(channels),
                                    int32_t(piece), reinterpret_cast<uint32_t *const *>(in)) < 0)
                return;
            // A full ring takes the rest after the drain makes room.
            for (ULONG fed = 0; fed < piece;)
            {
                const float *at[RATE_CHAIN_STAGE_CHANNELS];
                for (ULONG c = 0; c < RATE_CHAIN_STAGE_CHANNELS; ++c)
                    at[c] = in[c] + fed;
                const ULONG taken = m_Chain->Feed(at, piece - fed);
                fed += taken;
                if (DrainIntoRing(out, interleaved) == 0 && taken == 0)
                    return;
            }
            done += piece;
        }
        return;
    }
    // Foreign samples are never copied as they are: the converted length of silence keeps the
    // client's clock.
    for (ULONG done = 0; done < streamBytes && size;)
    {
        const ULONG piece = streamBytes - done < size - m_Cursor ? streamBytes - done : size - m_Cursor;
        RtlFillMemory(m_Base + m_Cursor, piece, m_Format.Format.wBitsPerSample == 8 ? 0x80 : 0);
        m_Cursor = (m_Cursor + piece) % size;
        done += piece;
    }
}

void CMiniportWaveCyclicStream::PullRenderBlock(PUCHAR destination, ULONG bytes, BOOLEAN copy)
{
    const ULONG size = Effective();
    if (!m_Base || size == 0)
        return;
    ULONG streamBytes;
    if (SameRate(m_DeviceFormat))
    {
        if (bytes >= size)
            return;
        if (copy && destination)
            ReadRing(destination, bytes);
        m_Cursor = (m_Cursor + bytes) % size;
        streamBytes = bytes;
    }
    else
    {
        streamBytes = ConvertedBytes(bytes, &m_FillDevice, &m_FillStream);
        if (copy)
            ConvertRenderBlock(destination, bytes);
    }
    m_Blocks[m_BlockWrite] = streamBytes;
    if (m_BlockWrite == m_BlockRead)
        m_CurrentBlock = streamBytes;
    m_BlockWrite = (m_BlockWrite + 1) % WAVE_STREAM_BLOCK_RING;
}

void CMiniportWaveCyclicStream::PushCaptureBlock(const UCHAR *source, ULONG bytes)
{
    const ULONG size = Effective();
    if (!m_Base || size == 0 || !source)
        return;
    if (!SameRate(m_DeviceFormat))
    {
        ULONGLONG device = m_FillDevice, stream = m_FillStream;
        const ULONG converted = ConvertedBytes(bytes, &device, &stream);
        m_FillDevice = device;
        m_FillStream = stream;
        if (converted < size)
            ConvertCaptureBlock(source, bytes, converted);
        return;
    }
    if (bytes >= size)
        return;
    const ULONG first = size - m_Cursor < bytes ? size - m_Cursor : bytes;
    RtlCopyMemory(m_Base + m_Cursor, source, first);
    RtlCopyMemory(m_Base, source + first, bytes - first);
    m_Cursor = (m_Cursor + bytes) % size;
}

void CMiniportWaveCyclicStream::AdvancePosition(ULONG deviceBytes)
{
    const ULONG size = Effective();
    if (size == 0)
        return;
    const ULONG bytes =
        SameRate(m_DeviceFormat) ? deviceBytes : ConvertedBytes(deviceBytes, &m_PosDevice, &m_PosStream);
    m_Position = ULONG((ULONGLONG(m_Position) + bytes) % size);
    m_LastAdvance = Now10us();
    if (m_Capture)
    {
        m_Total += m_CurrentBlock;
        m_CurrentBlock = bytes;
    }
    else
    {
        m_Total += bytes;
        if (m_BlockRead == m_BlockWrite)
            m_CurrentBlock = 0;
        else
        {
            m_BlockRead = (m_BlockRead + 1) % WAVE_STREAM_BLOCK_RING;
            m_CurrentBlock = m_Blocks[m_BlockRead];
        }
    }
    // Notify only queues the service, so it may run under the stream lock.
    if (m_Miniport && m_Miniport->Port() && m_ServiceGroup)
        m_Miniport->Port()->Notify(m_ServiceGroup);
}

void CMiniportWaveCyclicStream::DeviceFormatChanged(ULONG first, ULONG second,
                                                    const WAVEFORMATEXTENSIBLE &device)
{
    if (RtlCompareMemory(&device, &m_DeviceFormat, sizeof(device)) != sizeof(device))
    {
        m_DeviceFormat = device;
        first |= CYCLIC_FORMAT_CHANGED;
    }
    if (first & CYCLIC_FORMAT_CHANGED)
    {
        if (m_Chain)
        {
            // The chain takes first the side the samples come from.
            CFloatHold fpu;
            m_Chain->ResetStages();
            m_ChainReady = fpu.Saved() && (m_Capture ? m_Chain->SetFormat(device, m_Format)
                                                     : m_Chain->SetFormat(m_Format, device));
        }
        ResetPositions();
        const ULONG size = Effective();
        if (m_Capture || size == 0)
            m_Cursor = 0;
        else
        {
            // The device plays this far ahead of the client: start the copies that far behind the end.
            const WAVEFORMATEX &s = m_Format.Format;
            const ULONGLONG lead = ULONGLONG(s.nSamplesPerSec / 1000) * s.nBlockAlign *
                                   (first & ~CYCLIC_FORMAT_CHANGED) * second;
            m_Cursor = ULONG((size - lead % size) % size);
        }
    }
    m_FramesPerTransfer = first & ~CYCLIC_FORMAT_CHANGED;
    m_TransfersInFlight = second;
}
