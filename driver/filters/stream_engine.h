// The per-endpoint stream engine: the endpoint's formats, attached nodes, client records and
// processing stages, the per-block float path, and the port-class registration of the endpoint's wave
// miniport. Every isochronous stream object carries one.
#pragma once

#include "driver/base/object_model.h"
#include "driver/filters/audio_hal_interfaces.h"
#include "driver/base/item_list.h"
#include "driver/base/mutex_lock.h"

// Sizes of the float path: a block is worked through in chunks of at most this many frames, so the
// per-channel buffers and the interleaved scratch block suffice for any block size.
inline constexpr ULONG ENGINE_CHUNK_FRAMES = 512;
inline constexpr ULONG ENGINE_MAX_CHANNELS = 8;
inline constexpr ULONG ENGINE_SCRATCH_BYTES = ENGINE_CHUNK_FRAMES * ENGINE_MAX_CHANNELS * sizeof(float);
inline constexpr ULONG ENGINE_CHANNEL_BYTES = ENGINE_CHUNK_FRAMES * sizeof(float);
inline constexpr ULONG ENGINE_NAME_BUFFER_BYTES = 102; // paged, "Stre"
inline constexpr ULONG ENGINE_NAME_BYTES = 100;        // of which SetName may use this much
inline constexpr ULONG ENGINE_CALLBACK_NAME_BYTES = 98;
inline constexpr ULONG ENGINE_LIST_COUNT = 9;
// GetTerminalType before Initialize: the type is a ULONG, so the missing list is told by the bits
// of STATUS_UNSUCCESSFUL, which no terminal type code reaches.
inline constexpr ULONG ENGINE_NO_TERMINAL_TYPE = ULONG(STATUS_UNSUCCESSFUL);

// The client lists ordered by kind, and the two stage lists.
enum class EngineClientList
{
    Opened,
    Running,
};

// Threading:
// - Initialize, AttachNode, AddProcessingNode, AddFormat, PrepareBuffers, SetName, SetMiniport,
//   SetTopology, UpdateRegistration, Unregister and destruction run at PASSIVE_LEVEL, the list
//   builders during start-up before streaming (no lock guards those lists).
// - The client and stage operations and SetCurrentFormat take the engine spin lock (callable up to
//   DISPATCH_LEVEL); ProcessBlock runs at DISPATCH_LEVEL and holds the same lock across the block.
// - The stream lock (StreamLock) is the owning stream's mutex; the engine itself never takes it.
class CStreamEngine : public IStreamEngine, public CUnknownBase
{
public:
    DECLARE_STD_UNKNOWN();
    CStreamEngine(PUNKNOWN outerUnknown, ULONG value);
    // Waits until no client record is left (the clients remove their own), then frees everything.
    ~CStreamEngine() override;

    // ---- IStreamEngine
    ULONG GetEngineId() override { return m_EngineId; }
    ULONG GetTerminalType() override;
    NTSTATUS SetName(PCWSTR name) override;
    NTSTATUS GetName(PWSTR name) override;
    ULONG GetFormatCount() override;
    NTSTATUS GetFormat(ULONG index, WAVEFORMATEXTENSIBLE *format) override;
    ULONG GetNodeCount() override;
    NTSTATUS GetNode(ULONG index, IAudioNode **node) override;
    NTSTATUS SetMiniport(PFN_CREATE_MINIPORT create, REFGUID portClassId) override;
    NTSTATUS SetTopology(PUNKNOWN topologyPort, PUNKNOWN topologyMiniport) override;
    NTSTATUS UpdateRegistration(PDEVICE_OBJECT deviceObject, IRP *irp, PUNKNOWN adapter) override;
    NTSTATUS Unregister(PDEVICE_OBJECT deviceObject) override;
    NTSTATUS MatchFormat(WAVEFORMATEXTENSIBLE *format) override;
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID *registration) override;
    NTSTATUS UnregisterCallback(PVOID registration) override;
    NTSTATUS ReservedOperation(PVOID, PVOID) override { return STATUS_SUCCESS; }
    NTSTATUS ProcessBlock(PVOID buffer, ULONG bytes) override;
    NTSTATUS ProcessNodes(PVOID buffer, ULONG bytes) override;
    NTSTATUS RunProcessingNodes(const EngineBlock *block) override;
    NTSTATUS ProcessFirstStage(PVOID buffer, ULONG bytes) override;
    NTSTATUS RunFirstStage(ULONG frames) override;
    NTSTATUS ProcessSecondStage(PVOID buffer, ULONG bytes) override;
    NTSTATUS RunSecondStage(ULONG frames) override;
    // Creates the lists, the name buffer and the callback object. A second call is refused with
    // STATUS_UNSUCCESSFUL; a failure leaves nothing behind.
    NTSTATUS Initialize(ULONG engineId) override;

    // ---- Start-up (PASSIVE_LEVEL, no lock)
    // Appends with one reference; an object already listed is not added again (STATUS_SUCCESS).
    NTSTATUS AddProcessingNode(IProcessingNode *node);
    // Appends with one reference unless a node with the same identifier is attached; a node that
    // answers IProcessingNode also joins the processing nodes. A failure undoes both.
    NTSTATUS AttachNode(IAudioNode *node);
    // Whether a node with identifier `id` is attached; one pass over the attached nodes.
    BOOLEAN HoldsNode(ULONG id);
    // A copy to the formats, and for two channels a second to the two-channel formats.
    NTSTATUS AddFormat(const WAVEFORMATEXTENSIBLE &format);
    // Removes every record `match` accepts from both format lists; returns how many left the formats
    // list. Same threading as AddFormat.
    typedef BOOLEAN (*PFN_MATCH_FORMAT)(const WAVEFORMATEXTENSIBLE &format, PVOID context);
    ULONG RemoveFormat(PFN_MATCH_FORMAT match, PVOID context);
    // The scratch block and the eight channel buffers; all or nothing.
    NTSTATUS PrepareBuffers();

    // ---- Clients and stages (engine spin lock)
    NTSTATUS AppendStreamRecord(StreamClientRecord *record);
    StreamClientRecord *FindStreamRecord(PVOID clientHandle);
    StreamClientRecord *TakeStreamRecord(PVOID clientHandle);
    // Kept in descending (unsigned) kind; a new record goes before records of equal or lower kind.
    NTSTATUS InsertRegistration(EngineClientList list, StreamClientRecord *record);
    StreamClientRecord *FindRegistration(EngineClientList list, PVOID clientHandle);
    StreamClientRecord *TakeRegistration(EngineClientList list, PVOID clientHandle);
    StreamClientRecord *FirstRegistration(EngineClientList list);
    // stage is 1 or 2. AddStage keeps a reference, RemoveStage and ClearStage drop it.
    NTSTATUS AddStage(ULONG stage, IProcessingNode *object);
    NTSTATUS RemoveStage(ULONG stage, IProcessingNode *object);
    void ClearStage(ULONG stage);

    // Runs `process` alone over a PCM block as ProcessBlock runs its passes: chunks of at most
    // ENGINE_CHUNK_FRAMES frames converted into the channel buffers and back, flush-to-zero set and
    // the floating-point state saved, under the engine lock (so at DISPATCH_LEVEL). Blocks of
    // other sample types are left untouched.
    typedef void (*PFN_PROCESS_CHUNK)(PVOID context, float *const *channels, ULONG channelCount,
                                      ULONG frames);
    NTSTATUS ProcessChunks(PVOID buffer, ULONG bytes, PFN_PROCESS_CHUNK process, PVOID context);

    // The processing node at `index` of the list (no reference added), null past the end. The list is
    // built at start-up and fixed while streams run.
    IProcessingNode *ProcessingNodeAt(ULONG index);

    // The stream's current format; no block sees half of a change.
    void SetCurrentFormat(const WAVEFORMATEXTENSIBLE &format);
    WAVEFORMATEXTENSIBLE CurrentFormat();

    CMutexLock &StreamLock() { return m_StreamLock; }
    ULONG ConstructionValue() const { return m_Value; }
    ULONG TopologyPin() const { return m_TopologyPin; }
    PUNKNOWN WavePort() const { return m_WavePort; }

protected:
    enum Pass : ULONG
    {
        PASS_NODES = 1,
        PASS_STAGE1 = 2,
        PASS_STAGE2 = 4,
        PASS_CHUNK_HOOK = 8, // ProcessChunks' function
    };
    struct ChunkHook
    {
        PFN_PROCESS_CHUNK Process;
        PVOID Context;
    };
    // The checks every whole-block entry makes before touching the block: a usable format, a whole
    // number of frames, buffers for PCM. STATUS_SUCCESS with *frames and *runnable (FALSE for a
    // sample type or width the float path does not know).
    NTSTATUS CheckBlock(const WAVEFORMATEXTENSIBLE &format, ULONG bytes, ULONG *frames, BOOLEAN *runnable);
    // Logs a refused format once until the format changes.
    void LogRefusedFormat(const WAVEFORMATEXTENSIBLE &format, const char *why);
    // Logs a block that is not a whole number of frames, once per stream (until SetCurrentFormat):
    // the audio path at DISPATCH_LEVEL must not log on every block.
    void LogBlockSize(ULONG bytes, ULONG blockAlign);
    // The float path over the chunks of a block; the caller holds whatever lock it needs and has
    // saved the floating-point state; `passes` holds only passes whose list has something.
    NTSTATUS RunChunks(PUCHAR buffer, ULONG frames, ULONG passes, const ChunkHook *hook = nullptr);
    NTSTATUS RunPass(CItemList *list, BOOLEAN stopped, float **buffers, ULONG frames);
    // FPU and MXCSR save, optional spin lock, chunks, restore in reverse.
    NTSTATUS ProcessWithFpu(PVOID buffer, ULONG bytes, ULONG passes, BOOLEAN locked,
                            const ChunkHook *hook = nullptr);
    NTSTATUS ProcessWholeStage(CItemList *list, BOOLEAN stopped, PVOID buffer, ULONG bytes);
    CItemList *ClientListOf(EngineClientList list);
    CItemList *StageOf(ULONG stage);
    CItemList *CurrentFormatList();
    // Whether the endpoint's terminal reports a connected jack; STATUS_INSUFFICIENT_RESOURCES when
    // the jack records cannot be read.
    NTSTATUS DecidePresence(BOOLEAN *present);
    // Whether the list the wave filter reads holds a PCM format: its pin needs one.
    BOOLEAN ListsPcmFormat();
    NTSTATUS Register(PDEVICE_OBJECT deviceObject, IRP *irp, PUNKNOWN adapter);
    void WaitUntilEmpty(CItemList *list, const char *name);
    // Destroys the nine lists (empty or not yet created), last created first.
    void FreeLists();

    ULONG m_Value;
    ULONG m_EngineId;
    PWSTR m_NameBuffer;
    PUNKNOWN m_WavePort;
    GUID m_PortClassId;
    PFN_CREATE_MINIPORT m_CreateMiniport;
    PUNKNOWN m_TopologyPort;
    IMiniportPrivate *m_TopologyPrivate; // no reference: the topology port holds its miniport
    ULONG m_TopologyPin;
    CItemList *m_ProcessingNodes; // IProcessingNode, one reference each
    CItemList *m_AttachedNodes;   // IAudioNode, one reference each
    CItemList *m_Formats;         // WAVEFORMATEXTENSIBLE records ("Stre")
    CItemList *m_RegisteredClients;
    CItemList *m_OpenedClients;
    CItemList *m_RunningClients;
    CItemList *m_Stage1; // IProcessingNode, one reference each
    CItemList *m_Stage2;
    CItemList *m_TwoChannelFormats;
    static CItemList *CStreamEngine::*const s_Lists[ENGINE_LIST_COUNT]; // the nine lists above, written once
    float *m_Scratch;                                                   // one chunk of interleaved samples
    float **m_ChannelBuffers; // ENGINE_MAX_CHANNELS buffers of one chunk each
    CMutexLock m_StreamLock;
    KSPIN_LOCK m_SpinLock;
    PCALLBACK_OBJECT m_CallbackObject;
    WAVEFORMATEXTENSIBLE m_CurrentWaveFormat;
    // The last refused format that was logged, so a stream of bad blocks logs once.
    WAVEFORMATEXTENSIBLE m_LoggedFormat;
    BOOLEAN m_FormatLogged;
    BOOLEAN m_BlockSizeLogged;
    // Why the endpoint was last left unregistered (logged once until it registers or the reason changes).
    const char *m_AbsenceLogged;
};
typedef CStreamEngine *PCSTREAMENGINE;
