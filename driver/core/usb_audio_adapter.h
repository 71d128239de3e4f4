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
struct AsioSharedBuffer
{
    PVOID KernelBuffer;
    PVOID UserAddress;
    PMDL Mdl;
    PVOID Registration;
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
#define ADAPTER_ASIO_LATER(name)                                                                             \
    NTSTATUS name(PFILE_OBJECT, PVOID, ULONG, ULONG, PULONG_PTR) override                                    \
    {                                                                                                        \
        return STATUS_NOT_IMPLEMENTED;                                                                       \
    }
    ADAPTER_ASIO_LATER(GetDriverName)
    ADAPTER_ASIO_LATER(GetChannels)
    ADAPTER_ASIO_LATER(GetChannelInfo)
    ADAPTER_ASIO_LATER(SetNotifyEvent)
    ADAPTER_ASIO_LATER(ClearNotifyEvent)
    ADAPTER_ASIO_LATER(GetOwnerActive)
    ADAPTER_ASIO_LATER(GetSampleTypes)
    ADAPTER_ASIO_LATER(GetLatencyList)
    ADAPTER_ASIO_LATER(SetSampleType)
    ADAPTER_ASIO_LATER(SetLatency)
    ADAPTER_ASIO_LATER(GetLatencies)
    ADAPTER_ASIO_LATER(GetSampleRate)
    ADAPTER_ASIO_LATER(CanSampleRate)
    ADAPTER_ASIO_LATER(SetSampleRate)
    ADAPTER_ASIO_LATER(GetBufferSize)
    ADAPTER_ASIO_LATER(CreateBuffers)
    ADAPTER_ASIO_LATER(DisposeBuffers)
    ADAPTER_ASIO_LATER(Start)
    ADAPTER_ASIO_LATER(Stop)
    ADAPTER_ASIO_LATER(CanIoFormat)
    ADAPTER_ASIO_LATER(SetIoFormat)
    ADAPTER_ASIO_LATER(GetIoFormat)
#undef ADAPTER_ASIO_LATER

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
    // Low-latency streaming is not served yet: it never runs, so there is nothing to stop or restart.
    BOOLEAN IsLowLatencyRunning() override
    {
        return m_AsioRunning;
    }
    void StopLowLatency() override
    {
        m_AsioRunning = FALSE;
    }
    void RestartLowLatency() override {}
    void HandOverRunEvent() override {}
    void CompleteHeldStop() override {}
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
    void ReleaseDevice();

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
    CItemList *m_AccessList = nullptr;
};
