// The system audio client of the stand-in: finds filters by device-interface category, reads their
// pins, nodes and connections, sends property requests (typed or raw), intersects data ranges,
// subscribes to events and prints a filter. Only tests and the host program use it. Every request goes
// through the port exactly as the system's would, at PASSIVE_LEVEL.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <pc_port.h>

namespace sim::audio
{

// A registered filter whose device interface of the category is enabled.
struct FilterRef
{
    std::string Name; // the sub-device name (the interface's reference string)
    PDEVICE_OBJECT Device;
    PPORT Port;
};
std::vector<FilterRef> FiltersOf(const GUID &category);
// The filter registered under `name` on any device (compared without case), or a null Port.
FilterRef FindFilter(const std::string &name);

struct PinInfo
{
    KSPIN_DATAFLOW Flow;
    KSPIN_COMMUNICATION Communication;
    const GUID *Category;                   // null for none
    const GUID *Name;                       // null for none
    std::vector<std::vector<UCHAR>> Ranges; // each range's FormatSize bytes
};

struct PropertyInfo
{
    GUID Set;
    ULONG Id;
    ULONG Flags;
};

struct NodeInfo
{
    GUID Type;
    const GUID *Name; // null for none
    std::vector<PropertyInfo> Properties;
    std::vector<PropertyInfo> Events; // Flags 0
};

class Subscription;
class Pin;

// A client's view of one filter; holds a reference on its port.
class Filter
{
public:
    explicit Filter(PPORT port);
    ~Filter();
    Filter(const Filter &) = delete;
    Filter &operator=(const Filter &) = delete;

    bool Valid() const; // the port holds a miniport with a checked description

    std::vector<PinInfo> Pins() const;
    std::vector<NodeInfo> Nodes() const;
    std::vector<PCCONNECTION_DESCRIPTOR> Connections() const;
    std::vector<GUID> Categories() const;
    std::vector<PropertyInfo> FilterProperties() const;

    // One request of `verb` (KSPROPERTY_TYPE_GET, _SET or _BASICSUPPORT) for a node (with its channel
    // or other instance bytes after the node header) or, with node PCFILTER_NODE, for the filter or a
    // pin (instance: the pin id and what follows). *valueSize in: room of value; out: bytes.
    NTSTATUS Request(ULONG verb, const GUID &set, ULONG id, ULONG node, const void *instance,
                     ULONG instanceSize, void *value, PULONG valueSize);
    NTSTATUS Get(const GUID &set, ULONG id, ULONG node, const void *instance, ULONG instanceSize, void *value,
                 PULONG valueSize)
    {
        return Request(KSPROPERTY_TYPE_GET, set, id, node, instance, instanceSize, value, valueSize);
    }
    NTSTATUS Set(const GUID &set, ULONG id, ULONG node, const void *instance, ULONG instanceSize, void *value,
                 ULONG valueSize)
    {
        return Request(KSPROPERTY_TYPE_SET, set, id, node, instance, instanceSize, value, &valueSize);
    }
    NTSTATUS Support(const GUID &set, ULONG id, ULONG node, const void *instance, ULONG instanceSize,
                     void *value, PULONG valueSize)
    {
        return Request(KSPROPERTY_TYPE_BASICSUPPORT, set, id, node, instance, instanceSize, value, valueSize);
    }
    // Any request bytes: a KSPROPERTY (KSNODEPROPERTY with KSPROPERTY_TYPE_TOPOLOGY) and what follows.
    NTSTATUS Raw(const void *request, ULONG requestSize, void *value, PULONG valueSize);

    // The pin's format for a client range of `rangeSize` bytes, into `length` bytes of `result`.
    NTSTATUS Intersect(ULONG pin, const void *range, ULONG rangeSize, ULONG length, void *result,
                       PULONG resultLength);

    // Enables an event of a node (or, with PCFILTER_NODE, of the filter).
    NTSTATUS Subscribe(const GUID &set, ULONG id, ULONG node, std::unique_ptr<Subscription> *subscription);

    // Pins, nodes, connections and the jacks each pin reports, one item a line.
    std::string Print();

    PPORT Port() const { return m_Port; } // no reference added

private:
    PPORT m_Port;
    friend class Subscription;
};

// One enabled event. Destroying it disables the event (when its filter still holds it).
class Subscription
{
public:
    ~Subscription();
    ULONG Signals() const;
    // Waits up to `timeoutMs` of virtual time for a signal not yet waited for: STATUS_SUCCESS or
    // STATUS_TIMEOUT.
    NTSTATUS Wait(LONGLONG timeoutMs);

private:
    friend class Filter;
    struct Impl;
    std::unique_ptr<Impl> m_Impl;
    Subscription();
};

// What an open pin's audio-engine client has seen since the pin opened (or last stopped).
struct PinCounters
{
    ULONGLONG Position; // bytes the stream's positions moved, unwrapped
    ULONGLONG Moved;    // render: bytes written ahead into the buffer; capture: bytes read out of it
    ULONG Services;     // service calls the pin's group made
    ULONG Misplaced;    // services not at DISPATCH_LEVEL, or run inside Notify itself
    ULONG Underruns;    // render: a position past the written data; capture: one a buffer past reading
    ULONG Backwards;    // a position that moved back by more than a wrap can explain
};

// Opens a stream on streaming pin `pin` of a wave-cyclic filter with the KSDATAFORMAT of `size` bytes
// at `dataFormat`, as the audio engine does: the pin must be a sink with the standard streaming
// interface (else STATUS_INVALID_DEVICE_REQUEST; a pin that does not exist, a record shorter than
// its header or whose FormatSize runs past `size`: STATUS_INVALID_PARAMETER), its instance limits must
// allow one more (else STATUS_INSUFFICIENT_RESOURCES) and one of its ranges must match the format's
// identifiers and, for an audio range, its wave format's channels, bits and rate (else
// STATUS_NO_MATCH). Then the miniport's NewStream (its status returned), SetNotificationFreq(10),
// the buffer's size and address, SetBufferSize(`bufferSize`) when that is not 0, and the pin joins
// the stream's service group. The pin starts in STOP.
NTSTATUS OpenPin(Filter &filter, ULONG pin, const void *dataFormat, ULONG size, std::unique_ptr<Pin> *out,
                 ULONG bufferSize = 0);

// An open streaming pin with its audio-engine client. The client is serviced by the stream's group
// (DISPATCH_LEVEL, DPC thread): a render client writes ahead of GetPosition, at most half the buffer,
// with CopyTo (the source's bytes, then silence); a capture client reads up to GetPosition with
// CopyFrom. Both wrap at BufferSize and keep every byte they moved. Closing (destruction) steps the
// state down to STOP, going on past a failed step, and leaves the group.
class Pin
{
public:
    ~Pin();
    Pin(const Pin &) = delete;
    Pin &operator=(const Pin &) = delete;

    // The port's format checks, then the stream's SetFormat; the buffer is read again.
    NTSTATUS SetFormat(const void *dataFormat, ULONG size);
    // Protected content on the pin, as the port passes it on: the stream's IDrmAudioStream gets the id
    // and the rights (a stream without the interface: STATUS_NOT_IMPLEMENTED).
    NTSTATUS SetContentId(ULONG contentId, const DRMRIGHTS &rights);
    // Steps one state at a time towards `state`, stopping at the first failure (its status). Before
    // RUN a render client fills half the buffer; at STOP the client's books start again.
    NTSTATUS SetState(KSSTATE state);
    KSSTATE State() const { return m_State; }

    // Render: the bytes to play, from the start of the next fill.
    void SetSource(std::vector<UCHAR> bytes);
    // Render: more bytes to play after those still queued, for a source fed as it plays; what was
    // written into the buffer is dropped from the queue.
    void AppendSource(const UCHAR *bytes, size_t size);
    size_t SourceQueued() const; // source bytes not yet written into the buffer
    BOOLEAN SourceDone() const;  // every source byte was written into the buffer

    BOOLEAN Capture() const { return m_Capture; }
    ULONG NotificationInterval() const { return m_Interval; }
    ULONG FramingSize() const { return m_Framing; }
    ULONG BufferSize() const { return m_BufferSize; }
    PVOID Buffer() const { return m_Buffer; }
    PMINIPORTWAVECYCLICSTREAM Stream() const { return m_Stream; }
    PDMACHANNEL Dma() const { return m_Dma; }

    // Every byte the client moved, in order: render what it wrote, capture what it read.
    std::vector<UCHAR> Moved() const;
    std::vector<UCHAR> TakeMoved(); // the bytes kept so far, which the pin then forgets
    void KeepMoved(BOOLEAN keep);   // off: only the counters (long benchmarks)
    PinCounters Counters() const;

private:
    friend NTSTATUS OpenPin(Filter &, ULONG, const void *, ULONG, std::unique_ptr<Pin> *, ULONG);
    struct Sink;
    Pin() = default;
    void ReadBuffer(const void *dataFormat); // a format the port accepted
    void Service();                          // sink lock held
    void ResetBooks();

    PPORT m_Port = nullptr; // one reference
    ULONG m_PinId = 0;
    PMINIPORTWAVECYCLICSTREAM m_Stream = nullptr;
    PDMACHANNEL m_Dma = nullptr;
    PSERVICEGROUP m_Group = nullptr;
    Sink *m_Sink = nullptr;
    BOOLEAN m_Capture = FALSE;
    KSSTATE m_State = KSSTATE_STOP;
    ULONG m_Interval = 0;
    ULONG m_Framing = 0;
    ULONG m_BufferSize = 0;
    PUCHAR m_Buffer = nullptr;
    ULONG m_BlockAlign = 1;
    // The client's books, under the sink's spin lock.
    std::vector<UCHAR> m_Source;
    size_t m_SourceAt = 0;
    std::vector<UCHAR> m_Moved;
    BOOLEAN m_KeepMoved = TRUE;
    std::vector<UCHAR> m_Scratch;
    ULONG m_LastPosition = 0;
    PinCounters m_Counters{};
};

std::string GuidText(const GUID &guid);

} // namespace sim::audio
