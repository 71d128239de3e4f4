// The driver's private interfaces between its device, stream, engine, miniport and node objects, and
// the records the isochronous streams exchange with their clients. Every interface is reached through
// QueryInterface with the identifier below it; identifiers are fixed because other objects answer them.
//
// Pointer-size rule: handles and pointers in these records are pointer-sized (the target is 32-bit,
// this machine 64-bit); every other field has a fixed width.
#pragma once

#include <ntkernel.h>
#include <pc_port.h>
#include <pc_unknown.h>
#include <pc_wave_format.h>

struct IStreamEngine;
struct IAudioNode;

// The interface `iid` of `unknown` with a reference, or null when it has none (or `unknown` is null).
template <class I> I *QueryAs(PUNKNOWN unknown, REFIID iid)
{
    PVOID object = nullptr;
    if (!unknown || !NT_SUCCESS(unknown->QueryInterface(iid, &object)))
        return nullptr;
    return static_cast<I *>(object);
}

// {200AFF7F-71A4-4FFC-BF4F-61F2B8A522B5}
inline constexpr GUID IID_IAudioNode = {
    0x200AFF7F, 0x71A4, 0x4FFC, {0xBF, 0x4F, 0x61, 0xF2, 0xB8, 0xA5, 0x22, 0xB5}};
// {3D64C291-9F42-43E5-A468-2C5DC9BB2353}
inline constexpr GUID IID_IStreamEngine = {
    0x3D64C291, 0x9F42, 0x43E5, {0xA4, 0x68, 0x2C, 0x5D, 0xC9, 0xBB, 0x23, 0x53}};
// {7284B608-74F9-4B95-A5BB-EC6DDD0B6F58}
inline constexpr GUID IID_IAudioHal = {
    0x7284B608, 0x74F9, 0x4B95, {0xA5, 0xBB, 0xEC, 0x6D, 0xDD, 0x0B, 0x6F, 0x58}};
// {7C4D1930-875A-418C-A0A4-3A30456A8996}
inline constexpr GUID IID_ICyclicControl = {
    0x7C4D1930, 0x875A, 0x418C, {0xA0, 0xA4, 0x3A, 0x30, 0x45, 0x6A, 0x89, 0x96}};
// {1C704CEB-6111-4878-A9AF-0575E1C79F76}
inline constexpr GUID IID_IMiniportPrivate = {
    0x1C704CEB, 0x6111, 0x4878, {0xA9, 0xAF, 0x05, 0x75, 0xE1, 0xC7, 0x9F, 0x76}};
// {1EDBBC0C-AA74-4046-911E-C8BDE64A66FF}
inline constexpr GUID IID_IProcessingNode = {
    0x1EDBBC0C, 0xAA74, 0x4046, {0x91, 0x1E, 0xC8, 0xBD, 0xE6, 0x4A, 0x66, 0xFF}};
// {540C5664-4620-4FDB-9B81-7E2145D95BE3}
inline constexpr GUID IID_ITerminalInfo = {
    0x540C5664, 0x4620, 0x4FDB, {0x9B, 0x81, 0x7E, 0x21, 0x45, 0xD9, 0x5B, 0xE3}};
// {DC7604D8-C1F4-4EA1-818C-F744191B5B18}
inline constexpr GUID IID_INodeState = {
    0xDC7604D8, 0xC1F4, 0x4EA1, {0x81, 0x8C, 0xF7, 0x44, 0x19, 0x1B, 0x5B, 0x18}};
// {524FA5C2-9FBF-4FC8-B8D2-DC302DEDB0DF}
inline constexpr GUID IID_INodeConnect = {
    0x524FA5C2, 0x9FBF, 0x4FC8, {0xB8, 0xD2, 0xDC, 0x30, 0x2D, 0xED, 0xB0, 0xDF}};
// {D31296ED-008B-4C8C-A239-4E6B322E9626}
inline constexpr GUID IID_INodeChild = {
    0xD31296ED, 0x008B, 0x4C8C, {0xA2, 0x39, 0x4E, 0x6B, 0x32, 0x2E, 0x96, 0x26}};
// {A2A9F460-60B0-4AFF-87B8-753B60F24B88}
inline constexpr GUID IID_IEngineInputBind = {
    0xA2A9F460, 0x60B0, 0x4AFF, {0x87, 0xB8, 0x75, 0x3B, 0x60, 0xF2, 0x4B, 0x88}};
// {267CEBE5-5821-4D11-8E58-6569B7E95DA1}
inline constexpr GUID IID_IEngineOutputBind = {
    0x267CEBE5, 0x5821, 0x4D11, {0x8E, 0x58, 0x65, 0x69, 0xB7, 0xE9, 0x5D, 0xA1}};
// {20C8868C-E090-4CEF-BD03-B80F0ECD7C19}
inline constexpr GUID IID_IEngineReset = {
    0x20C8868C, 0xE090, 0x4CEF, {0xBD, 0x03, 0xB8, 0x0F, 0x0E, 0xCD, 0x7C, 0x19}};

// ---------------------------------------------------------------------------------------------------
// Node kinds. The constructing class fixes a node's kind; a kind-5 node reads as kind 0 while on.
enum : ULONG
{
    NODE_KIND_INPUT_TERMINAL = 0,  // no source; also a switched-on mixer node
    NODE_KIND_OUTPUT_TERMINAL = 1, // one source, terminal types and jack records
    NODE_KIND_MUTE = 2,            // byte control; also the software mute of a stream
    NODE_KIND_LEVEL = 3,
    NODE_KIND_SELECTOR = 4,
    NODE_KIND_MIXER = 5, // a switchable terminal
    NODE_KIND_BYTE_6 = 6,
    NODE_KIND_BYTE_7 = 7,
    NODE_KIND_LEVEL_8 = 8,
    NODE_KIND_LEVEL_9 = 9,
    NODE_KIND_LEVEL_10 = 10,
    NODE_KIND_LEVEL_11 = 11,
    NODE_KIND_CLOCK = 12,
    NODE_KIND_STATE = 13,
    NODE_KIND_BYTE_18 = 18,
    NODE_KIND_INFO_20 = 20,
    NODE_KIND_BYTE_22 = 22,
    NODE_KIND_INFO = 23,
};

// One jack description: nine 32-bit fields, 36 bytes, kept in tables by the terminal nodes.
struct JackRecord
{
    ULONG ChannelMapping;
    ULONG Color;
    ULONG ConnectionType;
    ULONG GeoLocation;
    ULONG GenLocation;
    ULONG PortConnection;
    ULONG Unused6;
    ULONG IsConnected; // non-zero: something is plugged in
    ULONG Unused8;
};
static_assert(sizeof(JackRecord) == 36, "a jack record is nine 32-bit fields");
typedef JackRecord *PJackRecord;

// ---------------------------------------------------------------------------------------------------
// The smallest common part of every entity, topology node and effect node.
struct IAudioNode : IUnknown
{
    virtual ULONG GetId() = 0;
    virtual ULONG GetKind() = 0;
    virtual ULONG GetSourceCount() = 0;
    // *count in: the room of `sources`; out: the identifiers copied (at most the stored count).
    virtual NTSTATUS GetSources(PULONG count, PULONG sources) = 0;
    virtual NTSTATUS ApplyAll() = 0; // re-sends every cached value to the device
    virtual NTSTATUS Refresh() = 0;  // re-reads the device's values into the cache
    virtual NTSTATUS StartNode() = 0;
    virtual NTSTATUS StopNode() = 0;
    // Replaces the source table with a copy of `count` identifiers. PASSIVE_LEVEL (paged pool).
    virtual NTSTATUS SetSources(ULONG count, const ULONG *sources) = 0;
};
typedef IAudioNode *PAUDIONODE;

// A node that works on the samples of a stream. `format` is the engine's current format; `buffers`
// is the table of per-channel float buffers of `frames` samples each (PCM), or a one-entry table
// whose entry [0] is the interleaved chunk (IEEE float, and the whole-block stage calls). The
// processing calls run at DISPATCH_LEVEL under the engine lock, with the floating-point state saved.
struct IProcessingNode : IUnknown
{
    virtual NTSTATUS ProcessSlot1(PVOID first, PVOID second, ULONG third) = 0;
    virtual NTSTATUS ProcessSlot2(PVOID first, PVOID second, ULONG third) = 0;
    virtual NTSTATUS SetEffectFormat(const WAVEFORMATEXTENSIBLE *format) = 0;
    virtual NTSTATUS ResetEffect() = 0;
    virtual NTSTATUS ProcessBuffers(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames) = 0;
    virtual NTSTATUS StreamStopped(const WAVEFORMATEXTENSIBLE *format, float **buffers, ULONG frames) = 0;
};
typedef IProcessingNode *PPROCESSINGNODE;

// Terminal type codes (the index of an endpoint's base name) that the engine names.
inline constexpr ULONG TERMINAL_TYPE_STREAMING = 0; // the USB side of a stream
inline constexpr ULONG TERMINAL_TYPE_HEADPHONE = 2;
// S/PDIF: on a capture endpoint the weakest claim, given up to any later terminal's type.
inline constexpr ULONG TERMINAL_TYPE_SPDIF = 3;
inline constexpr ULONG TERMINAL_TYPE_HEADSET = 14;
inline constexpr ULONG TERMINAL_TYPE_FRONT_HEADPHONE = 17;
// "Rec": a capture endpoint fed by two or more terminals, so no single connector names it.
inline constexpr ULONG TERMINAL_TYPE_SEVERAL = 18;

// What a terminal node tells: its terminal type code (0 streaming, 1-17 connectors), its types and
// jack records, and eight words its class filled.
struct ITerminalInfo : IUnknown
{
    virtual NTSTATUS GetSelectedType(PULONG type) = 0;
    virtual NTSTATUS GetTypeCount(PULONG count) = 0;
    virtual NTSTATUS GetTypes(PULONG types) = 0; // count x 4 bytes
    virtual NTSTATUS SelectType(ULONG type) = 0;
    virtual NTSTATUS GetJackCount(PULONG count) = 0;
    virtual NTSTATUS GetJacks(ULONG size, PVOID buffer) = 0; // min(size, count x 36) bytes
    virtual NTSTATUS GetWords(PULONG words) = 0;             // eight 32-bit words
};
typedef ITerminalInfo *PTERMINALINFO;

// The target of a state node's change (declared with the value-node interfaces).
struct IStateTarget;

// A shared state value with listeners (kind 13).
struct INodeState : IUnknown
{
    virtual NTSTATUS GetValue(PULONG value) = 0;
    virtual NTSTATUS GetValueCount(PULONG count) = 0;
    virtual NTSTATUS GetValues(PULONG values) = 0;
    virtual NTSTATUS Select(ULONG value) = 0;
    virtual BOOLEAN IsChanged() = 0;
    virtual void ClearChanged() = 0;
    virtual NTSTATUS AddListener(IStateTarget *listener) = 0;
    virtual NTSTATUS Init(ULONG sourceId, ULONG count, const ULONG *values) = 0;
};
typedef INodeState *PNODESTATE;

// Told by a selector before and after its selection changes.
struct ISelectListener;

// A selector (kind 4); its connected nodes are its sources (IAudioNode::GetSources).
struct INodeConnect : IUnknown
{
    virtual NTSTATUS GetSelected(PULONG selected) = 0;
    virtual NTSTATUS Select(ULONG index) = 0; // 0, or 1 to the source count
    virtual NTSTATUS GetCount(PULONG count) = 0;
    virtual NTSTATUS AddListener(ISelectListener *listener) = 0;
};
typedef INodeConnect *PNODECONNECT;

// A node linked below an output-terminal node: it names its child and takes the selector's link.
struct INodeChild : IUnknown
{
    virtual NTSTATUS GetChildId(PULONG childId) = 0;
    virtual NTSTATUS Link(IAudioNode *selector, ULONG position, ULONG selectedInput) = 0;
};
typedef INodeChild *PNODECHILD;

// Nodes bound to a capture engine, and nodes reset with a render engine. Device-specific units
// (kinds 15 and 19) also keep one 32-bit value behind the same interfaces.
struct IEngineInputBind : IUnknown
{
    virtual NTSTATUS BindEngine(IStreamEngine *engine) = 0;
    virtual NTSTATUS SetValue(ULONG value) = 0;
    virtual NTSTATUS GetValue(PULONG value) = 0;
};
struct IEngineOutputBind : IUnknown
{
    virtual NTSTATUS BindEngine(IStreamEngine *engine) = 0;
    virtual NTSTATUS SetValue(ULONG value) = 0;
    virtual NTSTATUS GetValue(PULONG value) = 0;
};
struct IEngineReset : IUnknown
{
    virtual NTSTATUS Reset(ULONG argument) = 0;
};

// The private face of the wave-cyclic and topology miniports. The first slot is the terminal query:
// the wave miniport answers its terminal identifier (the input is ignored), the topology miniport
// translates a terminal identifier into its pin.
struct IMiniportPrivate : IUnknown
{
    virtual NTSTATUS QueryTerminal(ULONG terminalId, PULONG result) = 0;
    // Hands back the miniport's own name buffer (no copy; valid while the miniport lives):
    // STATUS_INVALID_PARAMETER for a null out pointer.
    virtual NTSTATUS GetName(PWSTR *name) = 0;

    NTSTATUS GetTerminalId(PULONG terminalId) { return QueryTerminal(0, terminalId); }
    NTSTATUS GetPinForTerminal(ULONG terminalId, PULONG pin) { return QueryTerminal(terminalId, pin); }
};
typedef IMiniportPrivate *PMINIPORTPRIVATE;
// Room of a miniport's name buffer, terminator included.
inline constexpr ULONG MINIPORT_NAME_CHARS = 50;

// ---------------------------------------------------------------------------------------------------
// Isochronous stream clients.

// One registered client of a stream (non-paged pool, tag "USBS"). The client handle is the key of
// every later call.
struct StreamClientRecord
{
    LONG Kind;          // priority, higher wins: 3 wave-cyclic stream, 5 low-latency front end
    PVOID ClientHandle; // the registration ExRegisterCallback returned
    ULONG FramesPerTransfer;
    ULONG TransfersInFlight;
    WAVEFORMATEXTENSIBLE Format;
    LONG Direction; // the engine identifier: 1 capture, 0 render
    UCHAR Active;   // 1 between StartClient and StopClient
};
typedef StreamClientRecord *PStreamClientRecord;

enum : LONG
{
    CYCLIC_MSG_POSITION = 1,     // Value1: bytes of client data moved
    CYCLIC_MSG_FORMAT = 2,       // Value1: frames per transfer (bit 31: client or format changed)
    CYCLIC_MSG_RENDER_FILL = 3,  // Value1: the zeroed render buffer, Value2: its bytes
    CYCLIC_MSG_CAPTURE_DATA = 4, // Value1: into the capture ring, Value2: bytes
};
inline constexpr ULONG CYCLIC_FORMAT_CHANGED = 0x80000000u;

// Argument1 of the stream's notifications (Argument2 is 0). Value1 carries a buffer address for two
// codes, so it is pointer-sized.
struct CyclicControlMessage
{
    StreamClientRecord *RunningClient;
    LONG Code;
    ULONG_PTR Value1;
    ULONG Value2;
};
typedef CyclicControlMessage *PCyclicControlMessage;

struct IsoTransfer;

// {AA68946D-7D26-4137-9A5D-71E1EDB6C0CC}: protected content of a render stream goes to the device
// below with the data pipe as its target.
inline constexpr GUID IID_IStreamDrm = {
    0xAA68946D, 0x7D26, 0x4137, {0x9A, 0x5D, 0x71, 0xE1, 0xED, 0xB6, 0xC0, 0xCC}};
struct IStreamDrm : IUnknown
{
    virtual NTSTATUS SetContentId(ULONG contentId, PCDRMRIGHTS rights) = 0;
};

// The isochronous stream's interface to its clients and its device object.
struct ICyclicControl : IUnknown
{
    virtual NTSTATUS RegisterClient(LONG kind, const WAVEFORMATEXTENSIBLE *format, ULONG framesPerTransfer,
                                    ULONG transfersInFlight, PCALLBACK_FUNCTION callback, PVOID context,
                                    StreamClientRecord **record) = 0;
    virtual NTSTATUS UnregisterClient(PVOID clientHandle) = 0;
    virtual NTSTATUS StartClient(PVOID clientHandle, ULONG startFrame, PULONG framesPerTransfer,
                                 PUNKNOWN attached) = 0;
    virtual NTSTATUS StopClient(PVOID clientHandle, PUNKNOWN attached) = 0;
    virtual NTSTATUS OpenClient(PVOID clientHandle, PULONG framesPerTransfer, PULONG currentFrame) = 0;
    virtual NTSTATUS CloseClient(PVOID clientHandle) = 0;
    virtual NTSTATUS SelectAlternateSetting(UCHAR alternateSetting, StreamClientRecord *client) = 0;
    virtual NTSTATUS FreeTransfers() = 0;
    virtual NTSTATUS AbortPipe() = 0;
    virtual NTSTATUS RecoverStream() = 0;
    virtual NTSTATUS SelectZeroBandwidth() = 0;
    virtual NTSTATUS RestartStream() = 0;
    virtual NTSTATUS SubmitTransfer() = 0;
    virtual NTSTATUS CompleteTransfer(PDEVICE_OBJECT deviceObject, IRP *irp, IsoTransfer *transfer) = 0;
    virtual void StreamThread() = 0;
    virtual NTSTATUS PrepareFormat(StreamClientRecord *client, PULONG currentFrame) = 0;
    virtual NTSTATUS ReleaseFormat() = 0;
    virtual NTSTATUS RunStream(ULONG startFrame, BOOLEAN scheduled) = 0;
    virtual NTSTATUS StopStream() = 0;
    virtual BOOLEAN IsAlternateSettingValid(UCHAR alternateSetting) = 0;
};
typedef ICyclicControl *PCYCLICCONTROL;

// ---------------------------------------------------------------------------------------------------
// The per-endpoint stream engine.

// Creates the endpoint's wave miniport: (out miniport, port class, outer unknown, pool, engine index).
typedef NTSTATUS (*PFN_CREATE_MINIPORT)(PUNKNOWN *miniport, REFGUID portClassId, PUNKNOWN outerUnknown,
                                        POOL_TYPE poolType, ULONG engineIndex);

// One chunk of a block as the processing passes see it.
struct EngineBlock
{
    float **Buffers; // per-channel buffers, or a one-entry table of the interleaved chunk
    ULONG Frames;
};

inline constexpr ULONG ENGINE_NAME_CHARS = 50; // room of a name, terminator included (100 bytes)

struct IStreamEngine : IUnknown
{
    virtual ULONG GetEngineId() = 0; // 1 capture, 0 render
    virtual ULONG GetTerminalType() = 0;
    virtual NTSTATUS SetName(PCWSTR name) = 0;
    virtual NTSTATUS GetName(PWSTR name) = 0; // ENGINE_NAME_CHARS characters of room
    virtual ULONG GetFormatCount() = 0;
    virtual NTSTATUS GetFormat(ULONG index, WAVEFORMATEXTENSIBLE *format) = 0;
    virtual ULONG GetNodeCount() = 0;
    virtual NTSTATUS GetNode(ULONG index, IAudioNode **node) = 0; // no reference added
    virtual NTSTATUS SetMiniport(PFN_CREATE_MINIPORT create, REFGUID portClassId) = 0;
    virtual NTSTATUS SetTopology(PUNKNOWN topologyPort, PUNKNOWN topologyMiniport) = 0;
    virtual NTSTATUS UpdateRegistration(PDEVICE_OBJECT deviceObject, IRP *irp, PUNKNOWN adapter) = 0;
    virtual NTSTATUS Unregister(PDEVICE_OBJECT deviceObject) = 0;
    virtual NTSTATUS MatchFormat(WAVEFORMATEXTENSIBLE *format) = 0;
    virtual NTSTATUS RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID *registration) = 0;
    virtual NTSTATUS UnregisterCallback(PVOID registration) = 0;
    virtual NTSTATUS ReservedOperation(PVOID first, PVOID second) = 0;
    virtual NTSTATUS ProcessBlock(PVOID buffer, ULONG bytes) = 0; // DISPATCH_LEVEL
    virtual NTSTATUS ProcessNodes(PVOID buffer, ULONG bytes) = 0;
    virtual NTSTATUS RunProcessingNodes(const EngineBlock *block) = 0;
    // The whole block in one call per stage object, under the engine lock; PASSIVE or DISPATCH_LEVEL.
    virtual NTSTATUS ProcessFirstStage(PVOID buffer, ULONG bytes) = 0;
    virtual NTSTATUS RunFirstStage(ULONG frames) = 0;
    virtual NTSTATUS ProcessSecondStage(PVOID buffer, ULONG bytes) = 0;
    virtual NTSTATUS RunSecondStage(ULONG frames) = 0;
    virtual NTSTATUS Initialize(ULONG engineId) = 0;
};
typedef IStreamEngine *PSTREAMENGINE;

// ---------------------------------------------------------------------------------------------------
// The per-device object that holds the node graph and the stream engines.
inline constexpr ULONG HAL_INFO_WORDS = 8;

struct IAudioHal : IUnknown
{
    virtual NTSTATUS GetStreamInfo(ULONG index, PULONG words) = 0; // HAL_INFO_WORDS words
    virtual NTSTATUS GetComponentId(PVOID request, PVOID record) = 0;
    virtual ULONG GetEngineCount() = 0;
    virtual NTSTATUS GetEngine(ULONG index, IStreamEngine **engine) = 0; // no reference added
    virtual ULONG GetFilterCount() = 0;
    virtual NTSTATUS GetFilter(ULONG index, IAudioNode **node) = 0; // no reference added
    virtual PDEVICE_OBJECT GetDeviceObject() = 0;
    virtual NTSTATUS Init(PVOID unused, PDEVICE_OBJECT deviceObject, PVOID value2, PVOID value3) = 0;
    virtual NTSTATUS StartAll() = 0;
    virtual NTSTATUS StopAll() = 0;
    virtual NTSTATUS RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID *registration) = 0;
    virtual NTSTATUS UnregisterCallback(PVOID registration) = 0;
    virtual ULONG NotifyActivity() = 0;
    virtual NTSTATUS StartHardware() = 0;
    virtual NTSTATUS ConnectAll() = 0;
    virtual NTSTATUS GetTerminalCapabilities(ULONG direction, ULONG terminalType, PULONG words) = 0;
};
typedef IAudioHal *PAUDIOHAL;
