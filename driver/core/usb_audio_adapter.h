// The adapter-wide object: one per started device. It holds the device's USB state (the device
// layer), reads the low-latency settings, selects the USB configuration, creates the USB audio device
// object to which it forwards the stream queries, and answers the private streaming interface.
//
// Ownership: the start routine's extension holds the one outside reference. The adapter owns the
// device object through DeviceUnknown; the device object aggregates with the adapter as its outer
// unknown, so every reference taken on it counts on the adapter.
//
// Locks, in this order: Lock (every IAsioPrivate operation and the power changes), then SecondLock
// (the presence check), then BufferLock (a spin lock, shared-buffer positions). All PASSIVE_LEVEL but
// BufferLock.
#pragma once

#include "driver/base/item_list.h"
#include "driver/base/mutex_lock.h"
#include "driver/core/adapter_hooks.h"
#include "driver/core/asio_private.h"
#include "driver/core/usb_device_layer.h"
#include "driver/filters/audio_hal.h"

// Low-latency defaults and the bounds of the stored values.
inline constexpr ULONG ASIO_DEFAULT_SAMPLE_TYPE = 16;
inline constexpr ULONG ASIO_DEFAULT_LATENCY_INDEX = 4; // 20 ms
inline constexpr ULONG ASIO_DEFAULT_SAMPLE_RATE = 48000;
inline constexpr ULONG ASIO_LATENCY_ENTRIES = 8;
inline constexpr ULONG ASIO_MIN_SAMPLE_RATE = 8000;

// One open file on the private streaming name (non-paged, "USBd"), in the adapter's client list.
struct AsioClientRecord
{
    LIST_ENTRY Links;
    PFILE_OBJECT FileObject;
    PKEVENT NotifyEvent; // referenced from a user handle, or null
    PKEVENT RunEvent;    // referenced while started, or null
    ULONG SampleType;
    ULONG LatencyIndex;
    ULONG SampleRate;
    ULONG IoFormat; // 0 PCM, 1 DSD
    ULONG BuffersCreated;
};

// One stream's shared low-latency buffer; the table has one zeroed entry per stream engine.
// The buffer's header: ten 32-bit words ahead of the sample data, shared with the client.
enum : ULONG
{
    ASIO_HEADER_ACTIVE = 0,
    ASIO_HEADER_IS_INPUT = 1,
    ASIO_HEADER_CHANNELS = 2,
    ASIO_HEADER_FIRST_CHANNEL = 3,
    ASIO_HEADER_DATA_BYTES = 4,
    ASIO_HEADER_POSITION = 5, // the driver's ring position: render read, capture write
    ASIO_HEADER_START = 6,    // the position at the run-event hand-over
    ASIO_HEADER_NOTIFY = 7,   // bytes between two run events
    ASIO_HEADER_LAST = 8,
    ASIO_HEADER_PERIODS = 9, // transfers completed since the hand-over
    ASIO_HEADER_WORDS = 10,
};

// One stream's shared low-latency buffer; the table has one zeroed entry per stream engine.
// KernelBuffer holds whole zero-filled pages, so nothing else of the pool is mapped with it.
struct AsioSharedBuffer
{
    PULONG KernelBuffer; // header, then DataBytes of samples
    ULONG UserAddress;   // the 32-bit address in the owner's process
    PMDL Mdl;
    ICyclicControl *Control;          // the stream's, referenced while the buffer exists
    StreamClientRecord *Registration; // the kind-5 client, or null
    // The driver's own copies: the header is the client's to read and write, so nothing the
    // callback relies on is read back from it.
    ULONG DataBytes;
    ULONG Position;
    ULONG Channels;
    BOOLEAN IsInput;
    BOOLEAN Active;
    BOOLEAN Last;
    BOOLEAN Opened;  // OpenClient done
    BOOLEAN Started; // StartClient done
};

class CUsbAudioAdapter final : public CAudioHal, public IAsioPrivate, private IUsbAdapterHooks
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CUsbAudioAdapter(PUNKNOWN outerUnknown);
    // Stops selective suspend and waits for its work, then releases the device object and frees
    // what start-up kept. PASSIVE_LEVEL.
    ~CUsbAudioAdapter() override;

    // ---- IAudioHal: the stream queries go to the device object (STATUS_UNSUCCESSFUL, or a zero
    // count, while there is none).
    NTSTATUS GetStreamInfo(ULONG index, PULONG words) override;
    // A KSCOMPONENTID (72 bytes) from the vendor and product identifiers; the request is not read.
    NTSTATUS GetComponentId(PVOID request, PVOID record) override;
    ULONG GetEngineCount() override;
    NTSTATUS GetEngine(ULONG index, IStreamEngine **engine) override;
    ULONG GetFilterCount() override;
    NTSTATUS GetFilter(ULONG index, IAudioNode **node) override;
    // (resource list, functional, lower and physical device objects): the INI import, the device
    // layer, the audio-HAL part (which runs StartHardware), selective suspend.
    NTSTATUS Init(PVOID resourceList, PDEVICE_OBJECT deviceObject, PVOID lowerDevice,
                  PVOID physicalDevice) override;
    NTSTATUS StartAll() override;
    NTSTATUS StopAll() override;
    NTSTATUS RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID *registration) override;
    NTSTATUS UnregisterCallback(PVOID registration) override;
    ULONG NotifyActivity() override { return m_Layer.NotifyActivity(); }
    // Descriptors, configuration, bus interface, device object, names and low-latency settings. Runs
    // once, inside Init; each step's failure ends it.
    NTSTATUS StartHardware() override;
    NTSTATUS ConnectAll() override { return STATUS_SUCCESS; }

    // ---- IAsioPrivate
    NTSTATUS Open(PFILE_OBJECT file) override;
    NTSTATUS Unused(PFILE_OBJECT) override { return STATUS_UNSUCCESSFUL; }
    NTSTATUS Close(PFILE_OBJECT file) override;
#define ADAPTER_ASIO_REQUEST(name)                                                                           \
    NTSTATUS name(PFILE_OBJECT file, PVOID buffer, ULONG inLength, ULONG outLength, PULONG_PTR information)  \
        override
    ADAPTER_ASIO_REQUEST(GetDriverName);
    ADAPTER_ASIO_REQUEST(GetChannels);
    ADAPTER_ASIO_REQUEST(GetChannelInfo);
    ADAPTER_ASIO_REQUEST(SetNotifyEvent);
    ADAPTER_ASIO_REQUEST(ClearNotifyEvent);
    ADAPTER_ASIO_REQUEST(GetOwnerActive);
    ADAPTER_ASIO_REQUEST(GetSampleTypes);
    ADAPTER_ASIO_REQUEST(GetLatencyList);
    ADAPTER_ASIO_REQUEST(SetSampleType);
    ADAPTER_ASIO_REQUEST(SetLatency);
    ADAPTER_ASIO_REQUEST(GetLatencies);
    ADAPTER_ASIO_REQUEST(GetSampleRate);
    ADAPTER_ASIO_REQUEST(CanSampleRate);
    ADAPTER_ASIO_REQUEST(SetSampleRate);
    ADAPTER_ASIO_REQUEST(GetBufferSize);
    ADAPTER_ASIO_REQUEST(CreateBuffers);
    ADAPTER_ASIO_REQUEST(DisposeBuffers);
    ADAPTER_ASIO_REQUEST(Start);
    ADAPTER_ASIO_REQUEST(Stop);
    ADAPTER_ASIO_REQUEST(CanIoFormat);
    ADAPTER_ASIO_REQUEST(SetIoFormat);
    ADAPTER_ASIO_REQUEST(GetIoFormat);
#undef ADAPTER_ASIO_REQUEST

    // The device object's audio HAL, or null before it exists (no reference added).
    PAUDIOHAL DeviceHal() const
    {
        return m_DeviceHal;
    }
    // The low-latency values start-up settled on.
    ULONG EffectiveSampleType() const
    {
        return m_EffectiveSampleType;
    }
    ULONG RequestedSampleType() const
    {
        return m_RequestedSampleType;
    }
    ULONG LatencyIndex() const
    {
        return m_LatencyIndex;
    }
    ULONG SampleRate() const
    {
        return m_SampleRate;
    }

private:
    // ---- IUsbAdapterHooks
    void Lock() override
    {
        m_Lock.Lock();
    }
    void Unlock() override
    {
        m_Lock.Unlock();
    }
    void SecondLock() override
    {
        m_SecondLock.Lock();
    }
    void SecondUnlock() override
    {
        m_SecondLock.Unlock();
    }
    PADAPTERPOWERMANAGEMENT DevicePower() override
    {
        return m_DevicePower;
    }
    // Low-latency streaming (asio_streams.cpp).
    BOOLEAN IsLowLatencyRunning() override
    {
        return m_AsioRunning;
    }
    void StopLowLatency() override;
    void RestartLowLatency() override;
    void HandOverRunEvent() override;
    void CompleteHeldStop() override;
    PURB GetSelectedConfiguration() override
    {
        return m_SelectedConfiguration;
    }
    UCHAR GetInterfaceNumber() override
    {
        return m_InterfaceNumber;
    }
    // Finds the AudioControl interface, chooses and creates the device class, and takes its
    // interfaces.
    NTSTATUS CreateDeviceObject() override;

    NTSTATUS SelectConfiguration();
    void ReadLowLatencySettings();
    AsioClientRecord *FindClient(PFILE_OBJECT file);
    // Runs `body` with the caller's client under Lock; an unknown file is STATUS_INVALID_PARAMETER.
    template <class Body> NTSTATUS Serve(PFILE_OBJECT file, Body body)
    {
        CMutexHold hold(m_Lock);
        AsioClientRecord *client = FindClient(file);
        return client ? body(client) : STATUS_INVALID_PARAMETER;
    }
    void ReleaseDevice();

    // ---- Low-latency service (asio_requests.cpp, asio_streams.cpp); all under m_Lock.
    // Serving streams in index order: the engine and its channel count; false past the last.
    bool ServingStream(ULONG index, IStreamEngine **engine, PULONG channels);
    // Whether some format of `engine` satisfies `match`.
    template <class Match> static bool Offers(IStreamEngine *engine, Match match)
    {
        for (ULONG i = 0, n = engine->GetFormatCount(); i < n; ++i)
        {
            WAVEFORMATEXTENSIBLE format = {};
            if (NT_SUCCESS(engine->GetFormat(i, &format)) && match(format))
                return true;
        }
        return false;
    }
    // Whether every serving stream (all), or some serving stream, offers a format satisfying `match`.
    template <class Match> bool ServingStreamsOffer(bool all, Match match)
    {
        IStreamEngine *engine = nullptr;
        ULONG channels = 0;
        bool some = false;
        for (ULONG index = 0, count = GetEngineCount(); index < count; ++index)
        {
            if (!ServingStream(index, &engine, &channels))
                continue;
            const bool offers = Offers(engine, match);
            if (all && !offers)
                return false;
            some = some || offers;
        }
        return all || some;
    }
    void NotifyClients();
    NTSTATUS CheckRate(const AsioClientRecord *client, ULONG rate);
    NTSTATUS MatchRate(const AsioClientRecord *client, ULONG rate);
    NTSTATUS BufferSizes(const AsioClientRecord *client, ULONG sizes[4]);
    NTSTATUS BuildBuffers(AsioClientRecord *client, const ULONG *request, ULONG entries, PULONG answer);
    NTSTATUS PrepareStreams(AsioClientRecord *client);
    NTSTATUS StartStreams();
    void StopStreams();
    void ClearSampleData();
    void ResetPositions();
    void HandOver(PKEVENT event);
    void FreeBuffers();
    void SignalDevice(USHORT value);
    NTSTATUS StopFor(AsioClientRecord *client);
    void CancelHeldStop(PFILE_OBJECT file);
    static VOID TransferCallback(PVOID context, PVOID argument1, PVOID argument2);
    static VOID HeldStopCancelled(PDEVICE_OBJECT deviceObject, PIRP irp);

    CUsbDeviceLayer m_Layer;
    CMutexLock m_Lock;
    CMutexLock m_SecondLock;

    PUNKNOWN m_DeviceUnknown = nullptr;              // the one reference on the device object
    PAUDIOHAL m_DeviceHal = nullptr;                 // no reference of its own
    PADAPTERPOWERMANAGEMENT m_DevicePower = nullptr; // no reference of its own
    PUNKNOWN m_DeviceFunction = nullptr;             // IUsbAudioFunction, or null; no reference of its own
    UCHAR m_InterfaceNumber = 0;
    PURB m_SelectedConfiguration = nullptr; // from USBD_CreateConfigurationRequestEx

    LIST_ENTRY m_Clients;
    AsioClientRecord *m_Owner = nullptr;
    BOOLEAN m_OwnerActive = FALSE;
    BOOLEAN m_AsioRunning = FALSE;
    ULONG m_EffectiveSampleType = ASIO_DEFAULT_SAMPLE_TYPE;
    ULONG m_RequestedSampleType = ASIO_DEFAULT_SAMPLE_TYPE;
    ULONG m_LatencyIndex = ASIO_DEFAULT_LATENCY_INDEX;
    ULONG m_SampleRate = ASIO_DEFAULT_SAMPLE_RATE;
    AsioSharedBuffer *m_SharedBuffers = nullptr;
    ULONG m_SharedBufferCount = 0;
    KSPIN_LOCK m_BufferLock;
    ULONG m_BufferFrames = 0;
    ULONG m_BytesPerSample = 0;
    ULONG m_PeriodMs = 0;                      // of the prepare step
    ULONG m_Packets = 0;                       // frames (1 ms packets) per transfer
    ULONG m_Split = 0;                         // transfers per period
    PIRP volatile m_HeldStopRequest = nullptr; // a Stop held while the device is not in D0
    CItemList *m_AccessList = nullptr;
};
