// Streaming pins of the port-class stand-in: the port's checks when the audio engine opens a pin or
// changes its format, the state steps, and the engine's client that keeps the cyclic buffer fed.
#include <pc_wave_format.h>
#include <sim/audio_client.h>

#include "port_core.h"

#include <algorithm>

using namespace pcsim;

namespace
{

constexpr ULONG kNotificationMs = 10;
constexpr ULONG kWaveAt = sizeof(KSDATAFORMAT);

bool IsAudioRange(const KSDATARANGE &range)
{
    return range.FormatSize >= sizeof(KSDATARANGE_AUDIO) &&
           range.Specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
}

// Whether the format fits one range: its identifiers and, for an audio range, the wave format that
// follows the header (a plain format or the head of an extensible one).
bool FitsRange(const KSDATAFORMAT &format, const KSDATARANGE &range)
{
    if (!Matches(format.MajorFormat, range.MajorFormat) || !Matches(format.SubFormat, range.SubFormat) ||
        !Matches(format.Specifier, range.Specifier))
        return false;
    if (!IsAudioRange(range))
        return true;
    if (format.FormatSize < kWaveAt + sizeof(WAVEFORMATEX))
        return false;
    WAVEFORMATEX wave;
    std::memcpy(&wave, reinterpret_cast<const UCHAR *>(&format) + kWaveAt, sizeof(wave));
    const auto &audio = reinterpret_cast<const KSDATARANGE_AUDIO &>(range);
    return wave.nChannels >= 1 && wave.nChannels <= audio.MaximumChannels &&
           wave.wBitsPerSample >= audio.MinimumBitsPerSample &&
           wave.wBitsPerSample <= audio.MaximumBitsPerSample &&
           wave.nSamplesPerSec >= audio.MinimumSampleFrequency &&
           wave.nSamplesPerSec <= audio.MaximumSampleFrequency;
}

bool HasStandardStreaming(const KSPIN_DESCRIPTOR &ks)
{
    // A pin that names no interface streams through the standard one.
    if (ks.InterfacesCount == 0)
        return true;
    for (ULONG i = 0; i < ks.InterfacesCount; ++i)
        if (ks.Interfaces[i].Set == KSINTERFACESETID_Standard &&
            ks.Interfaces[i].Id == KSINTERFACE_STANDARD_STREAMING)
            return true;
    return false;
}

// The record's own size must lie within the caller's bytes before anything else of it is read.
NTSTATUS CheckRecord(const void *dataFormat, ULONG size)
{
    if (!dataFormat || size < sizeof(KSDATAFORMAT))
        return STATUS_INVALID_PARAMETER;
    const auto *format = static_cast<const KSDATAFORMAT *>(dataFormat);
    if (format->FormatSize < sizeof(KSDATAFORMAT) || format->FormatSize > size)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS CPortCore::CheckPinFormat(ULONG pin, const KSDATAFORMAT *dataFormat)
{
    const PCFILTER_DESCRIPTOR *d = Description();
    if (!d)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (pin >= d->PinCount)
        return STATUS_INVALID_PARAMETER;
    const KSPIN_DESCRIPTOR &ks = d->Pins[pin].KsPinDescriptor;
    if ((ks.Communication != KSPIN_COMMUNICATION_SINK && ks.Communication != KSPIN_COMMUNICATION_BOTH) ||
        !HasStandardStreaming(ks))
        return STATUS_INVALID_DEVICE_REQUEST;
    for (ULONG i = 0; i < ks.DataRangesCount; ++i)
        if (ks.DataRanges[i] && FitsRange(*dataFormat, *ks.DataRanges[i]))
            return STATUS_SUCCESS;
    return STATUS_NO_MATCH;
}

NTSTATUS CPortCore::OpenStream(ULONG pin, const void *dataFormat, ULONG size,
                               PMINIPORTWAVECYCLICSTREAM *stream, PDMACHANNEL *dma, PSERVICEGROUP *group,
                               BOOLEAN *capture)
{
    sim::AssertPassiveLevel("pin creation");
    NTSTATUS status = CheckRecord(dataFormat, size);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> serial(m_RequestLock);
    // The miniport sees exactly FormatSize bytes, so a read past them shows under the sanitizer.
    const ULONG formatSize = static_cast<const KSDATAFORMAT *>(dataFormat)->FormatSize;
    ExactBuffer copy(dataFormat, formatSize);
    auto *format = reinterpret_cast<PKSDATAFORMAT>(copy.Get());
    status = CheckPinFormat(pin, format);
    if (!NT_SUCCESS(status))
        return status;
    const PCPIN_DESCRIPTOR &descriptor = Description()->Pins[pin];
    m_PinInstances.resize(Description()->PinCount);
    const ULONG limit = std::min(descriptor.MaxGlobalInstanceCount, descriptor.MaxFilterInstanceCount);
    if (m_PinInstances[pin] >= limit)
        return STATUS_INSUFFICIENT_RESOURCES;
    PVOID answer = nullptr;
    if (!NT_SUCCESS(m_Miniport->QueryInterface(IID_IMiniportWaveCyclic, &answer)) || !answer)
        return STATUS_INVALID_DEVICE_REQUEST; // only wave-cyclic filters stream here
    auto *miniport = static_cast<IMiniportWaveCyclic *>(answer);
    *capture = descriptor.KsPinDescriptor.DataFlow == KSPIN_DATAFLOW_OUT;
    *stream = nullptr;
    *dma = nullptr;
    *group = nullptr;
    status = miniport->NewStream(stream, nullptr, NonPagedPool, pin, *capture, format, dma, group);
    miniport->Release();
    if (NT_SUCCESS(status) && (!*stream || !*dma || !*group))
    {
        sim::ReportViolation("NewStream succeeded without a stream, a DMA channel and a service group");
        status = STATUS_UNSUCCESSFUL;
    }
    if (NT_SUCCESS(status))
        ++m_PinInstances[pin];
    return status;
}

NTSTATUS CPortCore::SetStreamFormat(ULONG pin, PMINIPORTWAVECYCLICSTREAM stream, const void *dataFormat,
                                    ULONG size)
{
    sim::AssertPassiveLevel("pin format change");
    NTSTATUS status = CheckRecord(dataFormat, size);
    if (!NT_SUCCESS(status))
        return status;
    std::lock_guard<std::mutex> serial(m_RequestLock);
    ExactBuffer copy(dataFormat, static_cast<const KSDATAFORMAT *>(dataFormat)->FormatSize);
    auto *format = reinterpret_cast<PKSDATAFORMAT>(copy.Get());
    status = CheckPinFormat(pin, format);
    return NT_SUCCESS(status) ? stream->SetFormat(format) : status;
}

void CPortCore::ClosePin(ULONG pin)
{
    std::lock_guard<std::mutex> serial(m_RequestLock);
    if (pin < m_PinInstances.size() && m_PinInstances[pin] > 0)
        --m_PinInstances[pin];
}

// ---- The audio engine's client -------------------------------------------------------------------

// The pin's member of the service group. The group may still hold it (a queued DPC) after the pin
// closed, so it lives by its own references and forgets the pin under its lock.
struct sim::audio::Pin::Sink final : IServiceSink
{
    explicit Sink(Pin *pin) : Owner(pin) { KeInitializeSpinLock(&Lock); }

    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override
    {
        if (!object)
            return STATUS_INVALID_PARAMETER;
        *object = nullptr;
        if (iid != IID_IUnknown && iid != IID_IServiceSink)
            return STATUS_INVALID_PARAMETER;
        AddRef();
        *object = static_cast<IServiceSink *>(this);
        return STATUS_SUCCESS;
    }
    ULONG AddRef() override { return ULONG(InterlockedIncrement(&Refs)); }
    ULONG Release() override
    {
        const LONG left = InterlockedDecrement(&Refs);
        if (left == 0)
            delete this;
        return ULONG(left);
    }
    void RequestService() override
    {
        KIRQL old;
        KeAcquireSpinLock(&Lock, &old);
        if (Owner)
        {
            ++Owner->m_Counters.Services;
            if (old != DISPATCH_LEVEL || InNotify())
                ++Owner->m_Counters.Misplaced;
            Owner->Service();
        }
        KeReleaseSpinLock(&Lock, old);
    }

    volatile LONG Refs = 1;
    KSPIN_LOCK Lock;
    Pin *Owner;
};

// One scope of the sink's lock, from PASSIVE_LEVEL.
class SinkHold
{
public:
    explicit SinkHold(PKSPIN_LOCK lock) : m_Lock(lock) { KeAcquireSpinLock(m_Lock, &m_Old); }
    ~SinkHold() { KeReleaseSpinLock(m_Lock, m_Old); }
    SinkHold(const SinkHold &) = delete;
    SinkHold &operator=(const SinkHold &) = delete;

private:
    PKSPIN_LOCK m_Lock;
    KIRQL m_Old;
};

NTSTATUS sim::audio::OpenPin(Filter &filter, ULONG pin, const void *dataFormat, ULONG size,
                             std::unique_ptr<Pin> *out, ULONG bufferSize)
{
    if (!out)
        return STATUS_INVALID_PARAMETER;
    out->reset();
    CPortCore *core = FindPort(filter.Port());
    if (!core)
        return STATUS_INVALID_DEVICE_REQUEST;
    std::unique_ptr<Pin> opened(new Pin());
    NTSTATUS status = core->OpenStream(pin, dataFormat, size, &opened->m_Stream, &opened->m_Dma,
                                       &opened->m_Group, &opened->m_Capture);
    if (!NT_SUCCESS(status))
        return status;
    opened->m_Port = filter.Port();
    opened->m_Port->AddRef();
    opened->m_PinId = pin;
    opened->m_Sink = new Pin::Sink(opened.get());
    if (bufferSize)
        opened->m_Dma->SetBufferSize(bufferSize);
    opened->ReadBuffer(dataFormat);
    status = opened->m_Group->AddMember(opened->m_Sink);
    if (!NT_SUCCESS(status))
        return status; // the destructor closes what opened
    *out = std::move(opened);
    return STATUS_SUCCESS;
}

sim::audio::Pin::~Pin()
{
    // Down one level at a time, going on past a failed step, as the framework closes a pin.
    while (m_Stream && m_State != KSSTATE_STOP)
    {
        m_Stream->SetState(KSSTATE(m_State - 1));
        m_State = KSSTATE(m_State - 1);
    }
    if (m_Sink)
    {
        {
            SinkHold hold(&m_Sink->Lock);
            m_Sink->Owner = nullptr;
        }
        if (m_Group)
            m_Group->RemoveMember(m_Sink);
        m_Sink->Release();
    }
    for (IUnknown *o : {static_cast<IUnknown *>(m_Stream), static_cast<IUnknown *>(m_Dma),
                        static_cast<IUnknown *>(m_Group)})
        if (o)
            o->Release();
    if (m_Port)
    {
        if (CPortCore *core = FindPort(m_Port))
            core->ClosePin(m_PinId);
        m_Port->Release();
    }
}

void sim::audio::Pin::ReadBuffer(const void *dataFormat)
{
    SinkHold hold(&m_Sink->Lock);
    m_BufferSize = m_Dma->BufferSize();
    m_Buffer = static_cast<PUCHAR>(m_Dma->SystemAddress());
    m_Interval = m_Stream->SetNotificationFreq(kNotificationMs, &m_Framing);
    // The client moves whole frames; a format without a wave record moves bytes.
    const auto *format = static_cast<const KSDATAFORMAT *>(dataFormat);
    m_BlockAlign = 1;
    if (format->FormatSize >= kWaveAt + sizeof(WAVEFORMATEX))
    {
        WAVEFORMATEX wave;
        std::memcpy(&wave, static_cast<const UCHAR *>(dataFormat) + kWaveAt, sizeof(wave));
        m_BlockAlign = std::max<ULONG>(wave.nBlockAlign, 1);
    }
    ResetBooks();
}

void sim::audio::Pin::ResetBooks()
{
    m_LastPosition = 0;
    m_Counters.Position = 0;
    m_Counters.Moved = 0;
}

NTSTATUS sim::audio::Pin::SetFormat(const void *dataFormat, ULONG size)
{
    CPortCore *core = FindPort(m_Port);
    if (!core)
        return STATUS_INVALID_DEVICE_REQUEST;
    const NTSTATUS status = core->SetStreamFormat(m_PinId, m_Stream, dataFormat, size);
    if (NT_SUCCESS(status))
        ReadBuffer(dataFormat);
    return status;
}

NTSTATUS sim::audio::Pin::SetContentId(ULONG contentId, const DRMRIGHTS &rights)
{
    PDRMAUDIOSTREAM drm = nullptr;
    if (!m_Stream ||
        !NT_SUCCESS(m_Stream->QueryInterface(IID_IDrmAudioStream, reinterpret_cast<PVOID *>(&drm))) || !drm)
        return STATUS_NOT_IMPLEMENTED;
    const NTSTATUS status = drm->SetContentId(contentId, &rights);
    drm->Release();
    return status;
}

NTSTATUS sim::audio::Pin::SetState(KSSTATE state)
{
    if (state < KSSTATE_STOP || state > KSSTATE_RUN)
        return STATUS_INVALID_PARAMETER;
    while (m_State != state)
    {
        const KSSTATE next = KSSTATE(m_State < state ? m_State + 1 : m_State - 1);
        if (next == KSSTATE_RUN && !m_Capture)
        {
            SinkHold hold(&m_Sink->Lock);
            Service(); // the engine fills the buffer before the pin runs
        }
        const NTSTATUS status = m_Stream->SetState(next);
        if (!NT_SUCCESS(status))
            return status;
        m_State = next;
        if (next == KSSTATE_STOP)
        {
            SinkHold hold(&m_Sink->Lock);
            ResetBooks();
        }
    }
    return STATUS_SUCCESS;
}

void sim::audio::Pin::SetSource(std::vector<UCHAR> bytes)
{
    SinkHold hold(&m_Sink->Lock);
    m_Source = std::move(bytes);
    m_SourceAt = 0;
}

void sim::audio::Pin::AppendSource(const UCHAR *bytes, size_t size)
{
    SinkHold hold(&m_Sink->Lock);
    m_Source.erase(m_Source.begin(),
                   m_Source.begin() + std::ptrdiff_t(std::min(m_SourceAt, m_Source.size())));
    m_SourceAt = 0;
    m_Source.insert(m_Source.end(), bytes, bytes + size);
}

size_t sim::audio::Pin::SourceQueued() const
{
    SinkHold hold(&m_Sink->Lock);
    return m_Source.size() - std::min(m_SourceAt, m_Source.size());
}

BOOLEAN sim::audio::Pin::SourceDone() const
{
    SinkHold hold(&m_Sink->Lock);
    return m_SourceAt >= m_Source.size();
}

std::vector<UCHAR> sim::audio::Pin::Moved() const
{
    SinkHold hold(&m_Sink->Lock);
    return m_Moved;
}

std::vector<UCHAR> sim::audio::Pin::TakeMoved()
{
    SinkHold hold(&m_Sink->Lock);
    std::vector<UCHAR> moved;
    moved.swap(m_Moved);
    return moved;
}

void sim::audio::Pin::KeepMoved(BOOLEAN keep)
{
    SinkHold hold(&m_Sink->Lock);
    m_KeepMoved = keep;
}

sim::audio::PinCounters sim::audio::Pin::Counters() const
{
    SinkHold hold(&m_Sink->Lock);
    return m_Counters;
}

void sim::audio::Pin::Service()
{
    const ULONG size = m_BufferSize;
    if (!m_Buffer || size == 0)
        return;
    ULONG position = 0;
    m_Stream->GetPosition(&position);
    if (position >= size)
        ++m_Counters.Backwards; // outside the buffer: no wrap explains it
    else
    {
        // Service runs many times a buffer, so a move of more than half of it is a step back.
        const ULONG delta = (position + size - m_LastPosition) % size;
        if (delta > size / 2)
            ++m_Counters.Backwards;
        else
        {
            m_Counters.Position += delta;
            m_LastPosition = position;
        }
    }
    if (m_Capture)
    {
        if (m_Counters.Position > m_Counters.Moved + size)
        {
            ++m_Counters.Underruns; // the stream wrote over what was never read: skip to it
            m_Counters.Moved = m_Counters.Position - size;
        }
        while (m_Counters.Moved < m_Counters.Position)
        {
            const ULONG at = ULONG(m_Counters.Moved % size);
            const ULONG n = ULONG(std::min<ULONGLONG>(m_Counters.Position - m_Counters.Moved, size - at));
            std::vector<UCHAR> &into = m_KeepMoved ? m_Moved : m_Scratch;
            const size_t old = m_KeepMoved ? m_Moved.size() : 0;
            into.resize(old + n);
            m_Dma->CopyFrom(into.data() + old, m_Buffer + at, n);
            m_Counters.Moved += n;
        }
        return;
    }
    if (m_Counters.Position > m_Counters.Moved)
        ++m_Counters.Underruns;
    const ULONG half = size / 2 / m_BlockAlign * m_BlockAlign;
    const ULONGLONG target = m_Counters.Position + half;
    while (m_Counters.Moved < target)
    {
        const ULONG at = ULONG(m_Counters.Moved % size);
        const ULONG n = ULONG(std::min<ULONGLONG>(target - m_Counters.Moved, size - at));
        m_Scratch.assign(n, 0);
        const size_t take = std::min<size_t>(n, m_Source.size() - std::min(m_SourceAt, m_Source.size()));
        std::copy_n(m_Source.begin() + std::ptrdiff_t(m_SourceAt), take, m_Scratch.begin());
        m_SourceAt += take;
        m_Dma->CopyTo(m_Buffer + at, m_Scratch.data(), n);
        if (m_KeepMoved)
            m_Moved.insert(m_Moved.end(), m_Scratch.begin(), m_Scratch.end());
        m_Counters.Moved += n;
    }
}
