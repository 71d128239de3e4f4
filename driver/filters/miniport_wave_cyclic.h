// The wave-cyclic miniport of one audio endpoint: a filter with one streaming pin and one bridge pin,
// data ranges built from the formats its stream engine lists, format checks and intersection, the
// private stream-information property and the one open stream it allows.
#pragma once

#include "driver/base/object_model.h"
#include "driver/filters/audio_hal_interfaces.h"
#include "driver/filters/miniport_common.h"

class CMiniportWaveCyclic;

// Creates and initialises the stream object of a pin that NewStream has admitted (its format
// checked, the open-stream count taken): on success the stream, its DMA channel and its service group
// are handed out with a reference each; on failure nothing is handed out. `format` is the checked wave
// format (40 bytes, zero-padded past what the data format held). PASSIVE_LEVEL.
typedef NTSTATUS (*PFN_CREATE_WAVE_STREAM)(CMiniportWaveCyclic *miniport, PUNKNOWN outerUnknown,
                                           POOL_TYPE poolType, ULONG pin, BOOLEAN capture,
                                           PKSDATAFORMAT dataFormat, const WAVEFORMATEXTENSIBLE *format,
                                           IStreamEngine *engine, PMINIPORTWAVECYCLICSTREAM *stream,
                                           PDMACHANNEL *dmaChannel, PSERVICEGROUP *serviceGroup);
// The one creation entry NewStream uses, defined with the wave-cyclic stream.
NTSTATUS CreateWaveCyclicStream(CMiniportWaveCyclic *miniport, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                                ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat,
                                const WAVEFORMATEXTENSIBLE *format, IStreamEngine *engine,
                                PMINIPORTWAVECYCLICSTREAM *stream, PDMACHANNEL *dmaChannel,
                                PSERVICEGROUP *serviceGroup);

// The creation function handed to CStreamEngine::SetMiniport: a zeroed object from `poolType`
// ("WAVC") for the engine at `engineIndex` of the device's list; the port class is ignored.
NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN *unknown, REFGUID portClassId, PUNKNOWN outerUnknown,
                                  POOL_TYPE poolType, ULONG engineIndex);

// The data format sizes a stream may be opened with, and where their wave format starts.
inline constexpr ULONG WAVE_DATAFORMAT_MIN_BYTES = 82;
inline constexpr ULONG WAVE_INTERSECTION_BYTES = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEXTENSIBLE); // 104

// Threading: Init, NewStream, properties and destruction at PASSIVE_LEVEL; the port serialises
// property requests. The open-stream count changes with interlocked operations only.
class CMiniportWaveCyclic : public IMiniportWaveCyclic,
                            public IMiniportPrivate,
                            public IPowerNotify,
                            public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    CMiniportWaveCyclic(PUNKNOWN outerUnknown, ULONG engineIndex);
    // Waits (no time-out) until no stream is open, then frees and releases everything.
    ~CMiniportWaveCyclic() override;

    // ---- IMiniport, IMiniportWaveCyclic
    NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR *description) override;
    NTSTATUS DataRangeIntersection(ULONG pinId, PKSDATARANGE clientDataRange, PKSDATARANGE myDataRange,
                                   ULONG outputBufferLength, PVOID resultantFormat,
                                   PULONG resultantFormatLength) override;
    NTSTATUS Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORT port) override;
    NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM *stream, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                       ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat, PDMACHANNEL *dmaChannel,
                       PSERVICEGROUP *serviceGroup) override;
    // ---- IMiniportPrivate: GetTerminalId is the terminal query (its input is ignored)
    NTSTATUS QueryTerminal(ULONG ignored, PULONG terminalId) override;
    NTSTATUS GetName(PWSTR *name) override;
    // ---- IPowerNotify
    void PowerChangeNotify(POWER_STATE powerState) override;

    // Checks a stream's data format: its size (82 plain, 90 with attributes at 72, 104 extensible;
    // with the attribute flag 88, 96 at 72, or 104), the audio major format, a wave format that fits
    // (for the extensible tag cbSize >= 22 and all 40 bytes), and a format the engine lists.
    // STATUS_INVALID_PARAMETER otherwise; `waveFormat` receives at most 40 bytes, zero-padded. Nothing
    // is read past FormatSize bytes of `dataFormat`.
    NTSTATUS ValidateFormat(const KSDATAFORMAT *dataFormat, WAVEFORMATEXTENSIBLE *waveFormat);

    // The stream's side of the one-stream rule: a stream that goes away calls StreamClosed once.
    void StreamClosed();
    LONG OpenStreams() const { return m_OpenStreams; }
    // Tests replace the stream creation; null restores CreateWaveCyclicStream.
    void SetStreamCreator(PFN_CREATE_WAVE_STREAM create);

    DEVICE_POWER_STATE PowerState() const { return m_PowerState; }
    ULONG EngineIndex() const { return m_EngineIndex; }
    IStreamEngine *Engine() const { return m_Engine; }
    PPORTWAVECYCLIC Port() const { return m_Port; } // no reference added

    // The filter's private property set (ids 1 and 5).
    static NTSTATUS PrivatePropertyHandler(PPCPROPERTY_REQUEST request);

private:
    NTSTATUS BuildDataRanges();
    NTSTATUS BuildDescriptor();
    NTSTATUS BuildName();
    // The first engine format with these channels, rate, valid bits and sub-format, else the first
    // with these as container bits; FALSE when none.
    BOOLEAN FindEngineFormat(USHORT channels, ULONG rate, USHORT validBits, const GUID &subFormat,
                             WAVEFORMATEXTENSIBLE *found);
    BOOLEAN EngineListsSubFormat(const GUID &subFormat);
    void FreeAll();

    ULONG m_EngineIndex;
    PPORTWAVECYCLIC m_Port;
    IAudioHal *m_Hal;
    IStreamEngine *m_Engine;
    PWSTR m_Name; // MINIPORT_NAME_BUFFER_BYTES, paged "WAVC"
    DEVICE_POWER_STATE m_PowerState;
    volatile LONG m_OpenStreams;
    KEVENT m_StreamClosed; // notification, signalled while no stream is open
    PFN_CREATE_WAVE_STREAM m_CreateStream;
    PPCFILTER_DESCRIPTOR m_FilterDescriptor;
    PPCPIN_DESCRIPTOR m_Pins;
    PPCNODE_DESCRIPTOR m_Nodes;
    PPCCONNECTION_DESCRIPTOR m_Connections;
    KSDATARANGE_AUDIO *m_DataRanges;
    PKSDATARANGE *m_DataRangePointers;
    ULONG m_DataRangeCount;
};
