// The USB audio device object: the started device's USB audio function as the driver serves it. It
// is the device's audio HAL (node list, stream engines, callback object), detects what the device
// can do, walks its configuration, names the stream endpoints, refreshes units on status changes and
// carries the adapter power interface. Seven classes share one layout: the generic class 1.0 and
// class 2.0 devices and five class 1.0 chip families with their own quirks.
//
// Aggregation: the adapter creates the object with itself as the outer unknown and holds its
// non-delegating unknown (the one owning reference); every interface reference goes to the adapter.
//
// Threading: creation, Init (detection and walks), naming and power changes run at PASSIVE_LEVEL on
// the PnP and power paths; RefreshUnit and SetUnitValue on the status thread. The unit list is built
// before anything else runs and never changes afterwards, so the object takes no lock of its own.
// StartAll and StopAll come from the adapter's start, power and removal paths, one at a time; the
// worker thread they start and stop (usb_audio_status.cpp) is the only user of its requests.
#pragma once

#include "driver/core/usb_audio_function.h"
#include "driver/core/usb_descriptor_reader.h"

// {B00C6788-253F-4638-9460-336A8BE6EE9A}
inline constexpr GUID IID_IUsbAudioFunction = {
    0xB00C6788, 0x253F, 0x4638, {0x94, 0x60, 0x33, 0x6A, 0x8B, 0xE6, 0xEE, 0x9A}};

struct IUsbAudioFunction : IUnknown
{
    // Renames and re-registers every engine whose endpoint state node reports a change.
    virtual NTSTATUS NamePins(ULONG unitId) = 0;
    virtual PCALLBACK_OBJECT GetHalCallbackObject() = 0;
    virtual NTSTATUS ParseControlInterface(const USB_INTERFACE_DESCRIPTOR *interfaceDescriptor,
                                           ULONG length) = 0;
    virtual NTSTATUS ParseStreamingInterfaces(const USB_CONFIGURATION_DESCRIPTOR *configuration,
                                              const USB_INTERFACE_DESCRIPTOR *first, ULONG length) = 0;
    // Brings the chip's registers back after power-up; the class 2.0 device has none
    // (STATUS_NOT_IMPLEMENTED).
    virtual NTSTATUS OnPowerUp() = 0;
};
typedef IUsbAudioFunction *PUSBAUDIOFUNCTION;

// Nodes of one unit a refresh announces at most.
inline constexpr ULONG UAC_MAX_UNIT_NODES = 64;

// The worker threads' messages and priorities.
inline constexpr ULONG UAC1_STATUS_BYTES = 2; // bStatusType, bOriginator
inline constexpr ULONG UAC2_STATUS_BYTES = 6; // bInfo, bAttribute, wValue, wIndex
inline constexpr ULONG UAC2_SECOND_READ_BYTES = 512;
inline constexpr ULONG MIRK_SWITCH_REPORT_BYTES = 3;
inline constexpr UCHAR MIRK_SWITCH_BIT = 0x10;   // byte 0 of the report: set while the switch is open
inline constexpr ULONG MIRK_SWITCH_SAMPLES = 30; // 1.5 s of 50 ms polls
inline constexpr LONG MIRK_POLL_MS = 50;
inline constexpr ULONG MIRK_HARDWARE_MUTE_UNIT = 11;
inline constexpr KPRIORITY UAC1_STATUS_PRIORITY = 24;
inline constexpr KPRIORITY UAC2_STATUS_PRIORITY = 16;
inline constexpr KPRIORITY MIRK_POLL_PRIORITY = 16;

// Capability block words (the eight words GetTerminalCapabilities answers).
inline constexpr ULONG CAPS_WORD_MASK = 0;
inline constexpr ULONG CAPS_WORD_SECOND = 4;
inline constexpr ULONG CAPS_WORD_THIRD = 6;

// The identification string: string descriptor 0x50, else 0x32 (language 0x0409), into a 104-byte
// block tagged "pmet". The second read's failure when neither is readable.
inline constexpr UCHAR USB_ID_STRING_INDEX = 0x50;
inline constexpr UCHAR USB_ID_STRING_FALLBACK_INDEX = 0x32;
inline constexpr ULONG USB_ID_STRING_BYTES = 104;
NTSTATUS ReadIdentificationString(IUsbLowerRequests *lower, USB_STRING_TEXT *text);

// A one-byte vendor read addressed to "other" (the chips' own request space), URB tagged `tag`.
NTSTATUS ReadVendorOtherByte(IUsbLowerRequests *lower, UCHAR request, USHORT value, USHORT index, ULONG tag,
                             PUCHAR byte);

// The class 1.0 device class for a device: the first identification-string row whose code units
// begin the text (only the characters read count, so a shorter string matches no row); otherwise
// the Grue family when the vendor/product pair is one of its detection table's explicit rows;
// otherwise the generic class. `text` null means the string could not be read.
UsbAudioDeviceClass SelectUac1DeviceClass(const USB_STRING_TEXT *text, USHORT vendorId, USHORT productId);
// The same over the raw descriptor bytes as returned (bLength, bDescriptorType, code units).
UsbAudioDeviceClass SelectUac1DeviceClass(const UCHAR *stringBytes, ULONG bytesReturned, BOOLEAN stringRead,
                                          USHORT vendorId, USHORT productId);

// Allocates the class's object (its own pool tag) with `outer` as the outer unknown and returns its
// non-delegating unknown with one reference. STATUS_INSUFFICIENT_RESOURCES when the pool is empty,
// STATUS_INVALID_PARAMETER for a null out pointer.
NTSTATUS CreateUsbAudioDevice(UsbAudioDeviceClass deviceClass, PUNKNOWN outer, USHORT vendorId,
                              USHORT productId, POOL_TYPE poolType, PUNKNOWN *device);

// What the adapter's CreateDeviceObject needs after finding the AudioControl interface: protocol 0x20
// makes the class 2.0 device; protocol 0 reads the identification string through `lower` and picks a
// class 1.0 class; any other protocol is STATUS_UNSUCCESSFUL.
NTSTATUS CreateUsbAudioDeviceForProtocol(UCHAR protocol, IUsbLowerRequests *lower, PUNKNOWN outer,
                                         USHORT vendorId, USHORT productId, PUNKNOWN *device);

// ---- The classes ----------------------------------------------------------------------------------------
// What every class shares: the function model, the identity, the capability block (the CAudioHal
// part's eight information words) and the naming and refresh machinery.
class CUsbAudioDevice : public IUsbAudioFunction, public CAudioHal
{
public:
    DECLARE_STD_UNKNOWN();
    CUsbAudioDevice(PUNKNOWN outer, UsbAudioDeviceClass deviceClass, USHORT vendorId, USHORT productId);
    ~CUsbAudioDevice() override;

    // ---- IUsbAudioFunction
    NTSTATUS NamePins(ULONG unitId) override;
    PCALLBACK_OBJECT GetHalCallbackObject() override { return m_CallbackObject; }
    NTSTATUS ParseControlInterface(const USB_INTERFACE_DESCRIPTOR *interfaceDescriptor, ULONG length) override
    {
        return m_Model.ParseControlInterface(interfaceDescriptor, length);
    }
    NTSTATUS ParseStreamingInterfaces(const USB_CONFIGURATION_DESCRIPTOR *configuration,
                                      const USB_INTERFACE_DESCRIPTOR *first, ULONG length) override
    {
        return m_Model.ParseStreamingInterfaces(configuration, first, length);
    }
    NTSTATUS OnPowerUp() override { return STATUS_SUCCESS; }

    // ---- IAudioHal operations the device replaces
    // Engine `index` (the last one past the end): GetTerminalCapabilities of its direction and type.
    // No engines: STATUS_UNSUCCESSFUL with the record zeroed.
    NTSTATUS GetStreamInfo(ULONG index, PULONG words) override;
    // Creates the unit list, then the CAudioHal initialisation (which runs StartHardware).
    NTSTATUS Init(PVOID unused, PDEVICE_OBJECT deviceObject, PVOID lowerDevice,
                  PVOID physicalDevice) override;
    // Detection, then the two walks, then OnPowerUp, each only after the one before succeeded.
    NTSTATUS StartHardware() override;
    NTSTATUS GetTerminalCapabilities(ULONG direction, ULONG typeIndex, PULONG words) override = 0;

    // ---- IAdapterPowerManagement
    void PowerChangeState(POWER_STATE newState) override;

    // Registers every stream engine with the port class again (a terminal changed).
    NTSTATUS RegisterAllEngines();
    // Whether a worker thread runs, and the pipes it reads (0xFF: none), for tests and the host.
    BOOLEAN ThreadRuns() const { return m_Thread != nullptr; }
    PKTHREAD WorkerThread() const { return m_Thread; }
    UCHAR StatusPipeIndex() const { return m_StatusPipeIndex; }
    UCHAR SecondPipeIndex() const { return m_SecondPipeIndex; }
    CUsbAudioFunctionModel &Model() { return m_Model; }
    USHORT VendorId() const { return m_VendorId; }
    USHORT ProductId() const { return m_ProductId; }
    UsbAudioDeviceClass DeviceClass() const { return m_DeviceClass; }
    const ULONG *Capabilities() const { return m_StreamInfo; }

protected:
    // Fills the capability block; the class's own rule.
    virtual NTSTATUS DetectCapabilities() = 0;
    // What the walks are told about the device; the chip family adds its output flags.
    virtual UsbAudioFunctionInputs Inputs() const;
    // Whether the class answers IID_IUsbAudioFunction from outside.
    virtual BOOLEAN AnswersFunction() const { return TRUE; }
    // What the walks build for the class's own cells and for each AudioStreaming interface.
    virtual PFN_CREATE_UNIT UnitCreator() const { return nullptr; }
    virtual PFN_CREATE_STREAM StreamCreator() const;
    // The name number and what follows the renaming; the class 1.0 chip family refreshes instead of
    // registering, the class 2.0 device waits "UpdateMiniportDelay" first.
    virtual NTSTATUS AfterRename(IStreamEngine *engine, ULONG unitId);
    NTSTATUS RegisterEngine(IStreamEngine *engine);
    // Sends the control-change message {1, 1, node, 0} on the device's callback object.
    void AnnounceChange(ULONG nodeId);
    NTSTATUS RenameEngine(IStreamEngine *engine, ULONG unitId);
    // Zeroes the block and sets its three words.
    void SetCapabilities(ULONG mask, ULONG second, ULONG third);
    IUsbLowerRequests *Lower() const { return m_Lower; }
    ULONG ClassTag() const { return m_Tag; }

    // ---- The worker thread (usb_audio_status.cpp)
    // What changed before any status message could tell: the status thread's first pass, and the
    // whole of it for a device without a status pipe, so its endpoints follow its jacks from the start.
    virtual void ReadCurrentState() = 0;
    // Selects the AudioControl interface at alternate setting 0 and keeps a copy of its pipes. The
    // first IN interrupt pipe of `statusPacket` bytes is the status pipe; with `findSecond` the first
    // IN bulk pipe is the second pipe, and a second match of either kind ends the scan. Success with
    // no copy when the interface has no endpoints; the copy goes again when no status pipe is found.
    NTSTATUS SelectStatusPipes(USHORT statusPacket, BOOLEAN findSecond);
    // Creates the system thread running `routine` on this object, at `priority`, and keeps its object.
    // The routine's context is this object as a CUsbAudioDevice pointer.
    NTSTATUS LaunchThread(PKSTART_ROUTINE routine, KPRIORITY priority);
    // Both: the status pipes, and the thread when there is a status pipe (no thread otherwise).
    NTSTATUS StartStatusThread(USHORT statusPacket, BOOLEAN findSecond, PKSTART_ROUTINE routine,
                               KPRIORITY priority);
    // Signals the stop event and waits for the thread's end, then forgets the thread, the pipes and
    // the copy and clears both events. Nothing runs when no thread does, but the copy still goes.
    void EndThread();
    // A thread's last act before it ends: it signals the exit event.
    [[noreturn]] static void ThreadExit(CUsbAudioDevice *device);
    USBD_PIPE_HANDLE PipeHandle(UCHAR index) const;

    CUsbAudioFunctionModel m_Model;
    UsbAudioDeviceClass m_DeviceClass;
    USHORT m_VendorId;
    USHORT m_ProductId;
    ULONG m_Tag;
    IUsbLowerRequests *m_Lower; // the adapter's, no reference: the adapter outlives the device
    KEVENT m_StopEvent;         // the status thread's, when it runs
    KEVENT m_ExitEvent;
    PKTHREAD m_Thread;                           // referenced while the worker thread runs
    PUSBD_INTERFACE_INFORMATION m_InterfaceInfo; // the AudioControl interface's pipes ("URB ")
    UCHAR m_StatusPipeIndex;                     // 0xFF: none
    UCHAR m_SecondPipeIndex;                     // 0xFF: none (class 2.0 only)
    BOOLEAN m_Initialised;
};

class CUac1Device : public CUsbAudioDevice
{
public:
    CUac1Device(PUNKNOWN outer, USHORT vendorId, USHORT productId,
                UsbAudioDeviceClass deviceClass = UsbAudioDeviceClass::Uac1);

    NTSTATUS GetTerminalCapabilities(ULONG direction, ULONG typeIndex, PULONG words) override;
    // The unit reloads its values: a terminal re-registers every engine, any other unit announces
    // each node whose reload succeeded.
    NTSTATUS RefreshUnit(ULONG unitId);
    // The status thread on the AudioControl interrupt pipe, then the CAudioHal step.
    NTSTATUS StartAll() override;
    NTSTATUS StopAll() override;

protected:
    NTSTATUS DetectCapabilities() override;
    // Every unit reloads, by its own ID (a terminal re-registers the engines).
    void ReadCurrentState() override;
    static VOID StatusThread(PVOID context);
    void RunStatusThread();
};

class CUac2Device : public CUsbAudioDevice
{
public:
    enum class Chip
    {
        None,
        Vask,
        Jorp,
        Frel,
        Brix,
        Yant
    };
    CUac2Device(PUNKNOWN outer, USHORT vendorId, USHORT productId);

    NTSTATUS OnPowerUp() override { return STATUS_NOT_IMPLEMENTED; }
    NTSTATUS GetTerminalCapabilities(ULONG direction, ULONG typeIndex, PULONG words) override;
    // The unit reloads one control of one channel: a terminal re-registers every engine for the
    // connector control (2), any other unit announces each of its nodes whose reload succeeded.
    NTSTATUS SetUnitValue(ULONG unitId, ULONG controlSelector, ULONG channel);
    Chip ChipKind() const { return m_Chip; }
    // The status thread on the interrupt pipe, keeping the bulk pipe read too; no CAudioHal step.
    NTSTATUS StartAll() override;
    NTSTATUS StopAll() override;

protected:
    NTSTATUS DetectCapabilities() override;
    NTSTATUS AfterRename(IStreamEngine *engine, ULONG unitId) override;
    PFN_CREATE_STREAM StreamCreator() const override;
    // Each terminal reads its connectors, as a connector message would make it.
    void ReadCurrentState() override;
    static VOID StatusThread(PVOID context);
    void RunStatusThread();

    Chip m_Chip;
};

// The Mirk chip's settings flags, in their table order.
enum MirkFlag : ULONG
{
    MIRK_DISABLE_MIC_IN_TERMINAL,
    MIRK_DISABLE_LINE_IN_TERMINAL,
    MIRK_DISABLE_SPDIF_IN_TERMINAL,
    MIRK_DISABLE_MIC_IN_AA_UNIT,
    MIRK_DISABLE_LINE_IN_AA_UNIT,
    MIRK_DISABLE_MIC_IN_REC_UNIT,
    MIRK_DISABLE_LINE_IN_REC_UNIT,
    MIRK_DISABLE_STEREO_MIX_REC_UNIT,
    MIRK_SUPPORT_HP_OUT,
    MIRK_SUPPORT_SPDIF_OUT,
    MIRK_DISABLE_2CH_OUT,
    MIRK_DISABLE_4CH_OUT,
    MIRK_DISABLE_6CH_OUT,
    MIRK_DISABLE_8CH_OUT,
    MIRK_FLAG_COUNT
};
inline constexpr ULONG MIRK_REGISTER_COUNT = 6;
inline constexpr USHORT MIRK_REGISTER_RESTORE = 0x2; // written again on power-up
inline constexpr USHORT MIRK_REGISTER_DIRTY = 0x1;   // cleared by every good write

class CUac1DeviceMirk : public IChipRegisters, public CUac1Device
{
public:
    DECLARE_STD_UNKNOWN();
    CUac1DeviceMirk(PUNKNOWN outer, USHORT vendorId, USHORT productId);
    // The polling thread uses this object's timer: it ends before the object does.
    ~CUac1DeviceMirk() override;

    // Restores the chip's output enable and every register marked for restoring; the first failure
    // ends it.
    NTSTATUS OnPowerUp() override;
    // One register by HID SET_REPORT on interface 3; bits outside `mask` keep the cached value.
    NTSTATUS WriteRegister(ULONG index, ULONG value, ULONG mask) override;
    NTSTATUS ReadRegisterEntry(ULONG index, PUSHORT value) const;
    USHORT RegisterFlags(ULONG index) const
    {
        return index < MIRK_REGISTER_COUNT ? m_RegisterFlags[index] : 0;
    }
    BOOLEAN Flag(MirkFlag flag) const { return m_Flags[flag] != 0; }
    BOOLEAN StatusThreadWanted() const { return m_StatusThreadWanted; }
    BOOLEAN MatchingRevision() const { return m_MatchingRevision; }
    // The switch-polling thread, when detection asked for it, with the CAudioHal steps.
    NTSTATUS StartAll() override;
    NTSTATUS StopAll() override;
    // 0 passes (hardware mute on), 1 attenuates, 2 silences (mute off); the stage's mode too.
    ULONG SwitchMode() const { return m_SwitchMode; }

protected:
    static VOID PollThread(PVOID context);
    void RunPollThread();
    NTSTATUS ReadSwitch(PUCHAR report);
    void ApplySwitchMode(ULONG mode, ULONG hardwareMute);

    NTSTATUS DetectCapabilities() override;
    UsbAudioFunctionInputs Inputs() const override;
    NTSTATUS AfterRename(IStreamEngine *engine, ULONG unitId) override;
    PFN_CREATE_UNIT UnitCreator() const override;

    USHORT m_Registers[MIRK_REGISTER_COUNT];
    USHORT m_RegisterFlags[MIRK_REGISTER_COUNT];
    UCHAR m_Flags[MIRK_FLAG_COUNT];
    BOOLEAN m_StatusThreadWanted;
    BOOLEAN m_ThreadRunning;
    BOOLEAN m_MatchingRevision;
    KTIMER m_PollTimer;
    ULONG m_SwitchMode;
};

// Rebuilds the chip's fixed-layout configuration at `config` (its wTotalLength bytes, at least the
// layout's) in `scratch` (kMirkScratchBytes) without what `flags` remove, and copies the result back.
// The flags' dependencies are applied to `flags` first. Every listed descriptor is checked (length,
// type, subtype and ID) before a byte changes: a mismatch, or both 6- and 8-channel playback off, is
// STATUS_UNSUCCESSFUL with the configuration untouched.
NTSTATUS MirkRewriteConfiguration(PUCHAR config, UCHAR flags[MIRK_FLAG_COUNT], PUCHAR scratch);

// The four families whose device object is not reached as IUsbAudioFunction from outside: their
// operations serve only the device itself.
class CUac1InternalFunction : public CUac1Device
{
public:
    using CUac1Device::CUac1Device;

protected:
    BOOLEAN AnswersFunction() const override { return FALSE; }
};

#define DECLARE_UAC1_FAMILY(name)                                                                            \
    class name : public CUac1InternalFunction                                                                \
    {                                                                                                        \
    public:                                                                                                  \
        name(PUNKNOWN outer, USHORT vendorId, USHORT productId);                                             \
                                                                                                             \
    protected:                                                                                               \
        NTSTATUS DetectCapabilities() override;                                                              \
        PFN_CREATE_UNIT UnitCreator() const override;                                                        \
    }

DECLARE_UAC1_FAMILY(CUac1DeviceDova);
DECLARE_UAC1_FAMILY(CUac1DeviceTesh);
DECLARE_UAC1_FAMILY(CUac1DevicePlon);
DECLARE_UAC1_FAMILY(CUac1DeviceGrue);
#undef DECLARE_UAC1_FAMILY
