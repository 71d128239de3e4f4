// The USB audio function as the driver models it: the configuration descriptor's AudioControl
// interface becomes the unit list and the node graph, each AudioStreaming interface one stream with
// its formats and the nodes its signal path runs through. The USB audio device classes embed one.
//
// Threading: the walks run once on the device's start path at PASSIVE_LEVEL before any stream runs;
// nothing is locked. What a failed walk created stays in the lists until the model is destroyed.
#pragma once

#include "driver/core/uac_endpoints.h"
#include "driver/core/uac_entities.h"
#include "driver/filters/stream_engine.h"

enum class UsbAudioDeviceClass
{
    Uac1,
    Mirk,
    Dova,
    Tesh,
    Plon,
    Grue,
    Uac2,
};

// The pool tag of a device class: its object and everything its walks allocate.
ULONG UsbAudioClassTag(UsbAudioDeviceClass deviceClass);

// What the device object knows before the walks.
struct UsbAudioFunctionInputs
{
    UsbAudioDeviceClass DeviceClass;
    USHORT VendorId;
    USHORT ProductId;
    ULONG MirkOutputFlags[3]; // handed to the chip-specific output terminal
    BOOLEAN EightChannelOff;
};

// {DAA53564-D9D1-4632-B30A-CB98C3A48FFC}
inline constexpr GUID IID_IStreamBuilder = {
    0xDAA53564, 0xD9D1, 0x4632, {0xB3, 0x0A, 0xCB, 0x98, 0xC3, 0xA4, 0x8F, 0xFC}};

// One AudioStreaming interface's stream as the walk builds it.
struct IStreamBuilder : IUnknown
{
    virtual NTSTATUS InitStream(BOOLEAN capture, CAudioHal *hal, PUNKNOWN device) = 0;
    virtual CStreamEngine *GetEngine() = 0; // no reference added
    virtual NTSTATUS AddStreamFormat(const WAVEFORMATEXTENSIBLE &format, UCHAR alternateSetting) = 0;
    // Whether the stream's raw-data mode takes this alternate setting at this rate.
    virtual BOOLEAN AcceptsRawData(UCHAR alternateSetting, ULONG rate) = 0;
};
typedef IStreamBuilder *PSTREAMBUILDER;

// Makes a chip-specific unit for a class's own cells; STATUS_SUCCESS with *unit null means the plain
// class serves the descriptor.
typedef NTSTATUS (*PFN_CREATE_UNIT)(const UsbAudioFunctionInputs &inputs, const UCHAR *descriptor,
                                    ULONG position, ULONG tag, IUsbAudioUnit **unit);
// Makes the stream object of an AudioStreaming interface (one reference).
typedef NTSTATUS (*PFN_CREATE_STREAM)(const UsbAudioFunctionInputs &inputs, BOOLEAN capture,
                                      UCHAR interfaceNumber, ULONG terminalNodeId, ULONG clockNodeId,
                                      ULONG tag, IStreamBuilder **stream);

// The stream until the streaming classes exist: an engine with its formats and nodes, no transfers.
NTSTATUS CreateEngineOnlyStream(const UsbAudioFunctionInputs &inputs, BOOLEAN capture, UCHAR interfaceNumber,
                                ULONG terminalNodeId, ULONG clockNodeId, ULONG tag, IStreamBuilder **stream);

inline constexpr ULONG UAC_MAX_LINKED_SOURCES = 9; // units with more sources are not linked
inline constexpr ULONG GRAPH_RING_ENTRIES = 20;
inline constexpr ULONG UAC_RAW_DATA_FORMATS = 0x80008000u;

class CUsbAudioFunctionModel
{
public:
    CUsbAudioFunctionModel();
    // Detaches and releases every unit and stream.
    ~CUsbAudioFunctionModel();
    CUsbAudioFunctionModel(const CUsbAudioFunctionModel &) = delete;
    CUsbAudioFunctionModel &operator=(const CUsbAudioFunctionModel &) = delete;

    // The device's graph, identity, requests and hooks; `device` is handed to the streams. Creates the
    // lists.
    NTSTATUS Init(const UsbAudioFunctionInputs &inputs, CAudioHal *hal, PUNKNOWN device,
                  IUsbLowerRequests *lower, const NodeSettings &settings,
                  PFN_CREATE_UNIT createUnit = nullptr,
                  PFN_CREATE_STREAM createStream = CreateEngineOnlyStream);

    // What the device's detection learnt, before the walks.
    void SetInputs(const UsbAudioFunctionInputs &inputs) { m_Inputs = inputs; }

    // The two walks over the configuration `lower` read at start.
    NTSTATUS ParseControlFromConfig(IUsbLowerRequests *lower);
    NTSTATUS ParseStreamingFromConfig(IUsbLowerRequests *lower);
    NTSTATUS ParseControlInterface(const USB_INTERFACE_DESCRIPTOR *interfaceDescriptor, ULONG length);
    NTSTATUS ParseStreamingInterfaces(const USB_CONFIGURATION_DESCRIPTOR *configuration,
                                      const USB_INTERFACE_DESCRIPTOR *first, ULONG length);

    // The last unit with that descriptor ID (no reference); STATUS_UNSUCCESSFUL when none.
    NTSTATUS FindUnitById(ULONG id, IUsbAudioUnit **unit);
    NTSTATUS AddUnit(IUsbAudioUnit *unit); // at the head, with a reference
    ULONG UnitCount() const { return CItemList::CountOf(m_Units); }
    // The descriptor ID of the unit at `index` of the list; STATUS_UNSUCCESSFUL past the last.
    NTSTATUS UnitIdAt(ULONG index, PULONG id) const;
    // Whether the unit with this descriptor ID is an input or an output terminal.
    BOOLEAN IsTerminal(ULONG id);
    UCHAR ControlInterface() const { return m_ControlInterface; }
    ULONG StreamCount() const { return CItemList::CountOf(m_Streams); }
    NTSTATUS StreamAt(ULONG index, IStreamBuilder **stream) const;

    // Formats of one FORMAT_TYPE descriptor (bLength bytes, checked) for the record's layout.
    NTSTATUS RegisterUac1Formats(IStreamBuilder *stream, const UCHAR *formatType, USHORT formatTag,
                                 UCHAR alternateSetting, WAVEFORMATEXTENSIBLE &record);
    NTSTATUS RegisterUac2Formats(IStreamBuilder *stream, ULONG clockNodeId, UCHAR formatType, ULONG formats,
                                 UCHAR alternateSetting, WAVEFORMATEXTENSIBLE &record);

    // The graph around a stream.
    NTSTATUS BindStreamNodes(CStreamEngine *engine, ULONG terminalNodeId);
    NTSTATUS AttachPathNodes(CStreamEngine *engine, ULONG firstNodeId);
    // A render path's mixer: the streaming input terminal among its sources joins the engine.
    NTSTATUS AttachStreamingSource(CStreamEngine *engine, IAudioNode *mixer);
    // The effect nodes of the units a render path runs through join the engine's processing pass,
    // in the signal's order (from the stream's terminal to the output).
    NTSTATUS AttachUnitEffects(CStreamEngine *engine);
    NTSTATUS CompleteStreamNodes(CStreamEngine *engine);
    NTSTATUS CompleteTwoNodeStream(CStreamEngine *engine);
    NTSTATUS AddDspNode(ULONG id, ULONG source, ULONG size, CStreamEngine *engine);
    NTSTATUS AddStateNode(ULONG id, ULONG source, CStreamEngine *engine);
    NTSTATUS EnableKindFiveNodes(CStreamEngine *engine);
    // Every kind-13 node gives its value to the chain of single-source nodes below it.
    NTSTATUS RunStatePass();
    // The chip family's render stages: the hardware-mute stage (its mode setter, for the status
    // thread, is HardwareMuteStage) and the channel swap, as its identity asks.
    NTSTATUS AttachRenderStages();
    IHardwareMuteStage *HardwareMuteStage() const { return m_HardwareMute; } // no reference added

protected:
    BOOLEAN IsUac2() const { return m_Inputs.DeviceClass == UsbAudioDeviceClass::Uac2; }
    ULONG ClassTag() const;
    // The first audio interface of `subclass` in the configuration `lower` holds, and the bytes from
    // it to the configuration's end; *found null when there is none.
    NTSTATUS FindInterface(IUsbLowerRequests *lower, LONG subclass,
                           const USB_CONFIGURATION_DESCRIPTOR **config,
                           const USB_INTERFACE_DESCRIPTOR **found, PULONG remaining);
    NTSTATUS CreateUnit(const UCHAR *descriptor, ULONG length);
    // The streaming interfaces of this function: those after its AudioControl interface up to the next
    // one (`iface`, `length` bytes to the configuration's end), or those a class 1.0 header lists.
    void TakeMembers(const UCHAR *iface, ULONG length);
    // Class 2.0: the interfaces of the association that holds the AudioControl interface, when one does.
    void TakeAssociation(const USB_CONFIGURATION_DESCRIPTOR *config);
    // The refusal of a function whose control walk found no streaming interface of its own.
    NTSTATUS OwnsNoStreaming();
    BOOLEAN IsMember(UCHAR interfaceNumber) const
    {
        return !m_MembersKnown || (m_Members[interfaceNumber / 32] >> (interfaceNumber % 32)) & 1;
    }
    void AddMember(UCHAR interfaceNumber) { m_Members[interfaceNumber / 32] |= 1u << (interfaceNumber % 32); }
    NTSTATUS LinkUnits();
    NTSTATUS CheckEnd();
    NTSTATUS StreamingInterface(const UCHAR *config, ULONG total, const UCHAR *interfaceAt,
                                const UCHAR **stoppedAt);
    // The stream of an interface at its first AS_GENERAL; `clockNode` is its clock source's node
    // (class 2.0) or UAC_NO_NODE.
    NTSTATUS BeginStream(UCHAR interfaceNumber, UCHAR terminalLink, ULONG clockNode, IStreamBuilder **stream);
    NTSTATUS AddFormats(IStreamBuilder *stream, const UCHAR *formatType, USHORT formatTag, UCHAR alternate,
                        WAVEFORMATEXTENSIBLE &record, ULONG copies);
    // Whether the alternate setting's endpoints carry a stream of this direction (logged once per
    // setting when they do not); what they allow goes to m_Fit for the setting's formats.
    BOOLEAN CheckAlternate(const UCHAR *config, ULONG total, UCHAR interfaceNumber, UCHAR alternate,
                           BOOLEAN capture, ULONG wireBlock);
    // Adds the format when its largest packet fits the endpoint m_Fit describes (or no setting is
    // being walked); a format that does not fit is logged and left out, which is no failure.
    NTSTATUS OfferFormat(IStreamBuilder *stream, const WAVEFORMATEXTENSIBLE &record, UCHAR alternate);
    // The units in list order, one step each (an indexed walk would restart from the head for every
    // unit): cursor = FirstUnitNode(), then NextUnit until FALSE.
    CItemList::PNODE FirstUnitNode() const { return m_Units ? m_Units->FirstNode() : nullptr; }
    BOOLEAN NextUnit(CItemList::PNODE *cursor, IUsbAudioUnit **unit) const
    {
        return m_Units && m_Units->NextItem(cursor, unit);
    }

    UsbAudioFunctionInputs m_Inputs;
    CAudioHal *m_Hal; // the device's, not referenced: the device owns both
    PUNKNOWN m_Device;
    NodeSettings m_Settings;
    PFN_CREATE_UNIT m_CreateUnit;
    PFN_CREATE_STREAM m_CreateStream;
    IUsbLowerRequests *m_Lower; // the device's, not referenced
    UCHAR m_ControlInterface;
    CItemList *m_Units;                 // IUsbAudioUnit, one reference each
    CItemList *m_Streams;               // IStreamBuilder, one reference each
    IHardwareMuteStage *m_HardwareMute; // one reference, shared by the render engines
    // The AudioStreaming interfaces of the function the control walk took (bit n: interface n); all
    // while no control walk ran.
    ULONG m_Members[8];
    BOOLEAN m_MembersKnown;
    // The alternate setting whose formats the streaming walk is listing.
    struct FormatFit
    {
        BOOLEAN Active;  // set while one FORMAT_TYPE's formats are offered
        BOOLEAN Checked; // the setting below was checked
        BOOLEAN Usable;  // and its endpoints carry the stream
        BOOLEAN Capture; // the direction it was checked for: a device may repeat the pair for the other
        UCHAR Interface;
        UCHAR Alternate;
        ULONG WireBlock; // bytes of one frame on the bus
        UacStreamEndpoints Endpoints;
    } m_Fit;
};
