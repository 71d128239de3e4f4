// The adapter-wide object: construction, the start-up steps, the device object and the client records
// of the private streaming interface.
#include "driver/core/usb_audio_adapter.h"

#include <ks_guids.h>
#include <usbd_lib.h>

#include "driver/base/pool_memory.h"
#include "driver/base/scope_guard.h"
#include "driver/core/asio_internal.h"
#include "driver/core/ini_reader.h"
#include "driver/core/settings.h"
#include "driver/core/uac_endpoints.h"
#include "driver/core/usb_audio_device.h"
#include "driver/core/usb_lower_requests.h"
#include "driver/core/driver_entry.h"

namespace
{

constexpr UCHAR USB_CLASS_AUDIO = 1;
constexpr UCHAR USB_SUBCLASS_AUDIOCONTROL = 1;

// The sample type a device gets when nothing is stored: some devices serve only 24-bit formats.
ULONG DeviceDefaultSampleType(USHORT vendorId, USHORT productId)
{
    if (vendorId == 0x0B05 && productId == 0x17F3)
        return 17;
    if ((vendorId == 0x0B05 && (productId == 0x17A8 || productId == 0x17CD)) ||
        (vendorId == 0x1043 && (productId == 0x8593 || productId == 0x8592)))
        return 27;
    return ASIO_DEFAULT_SAMPLE_TYPE;
}

} // namespace

NTSTATUS CreateAdapter(PAUDIOHAL *hal)
{
    if (!hal)
        return STATUS_INVALID_PARAMETER;
    *hal = nullptr;
    PUNKNOWN unknown = nullptr;
    NTSTATUS status = NewObject<CUsbAudioAdapter>(&unknown, nullptr, NonPagedPool, PoolTag::PcCr);
    if (!NT_SUCCESS(status))
        return STATUS_INSUFFICIENT_RESOURCES;
    *hal = QueryAs<IAudioHal>(unknown, IID_IAudioHal);
    unknown->Release();
    return *hal ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

// The layer holds the 1 ms timer resolution while the device is in D0, so the adapter takes none of
// its own: one holder keeps sets and releases paired.
CUsbAudioAdapter::CUsbAudioAdapter(PUNKNOWN outerUnknown)
    : CAudioHal(outerUnknown), m_Layer(GetOuterUnknown(), this)
{
    InitializeListHead(&m_Clients);
    KeInitializeSpinLock(&m_BufferLock);
}

CUsbAudioAdapter::~CUsbAudioAdapter()
{
    // Selective suspend first: a hub callback or an idle power change must not reach the device
    // object or the adapter once they go.
    m_Layer.Shutdown();
    while (!IsListEmpty(&m_Clients))
    {
        auto *client = CONTAINING_RECORD(RemoveHeadList(&m_Clients), AsioClientRecord, Links);
        if (client->NotifyEvent)
            ObDereferenceObject(client->NotifyEvent);
        if (client->RunEvent)
            ObDereferenceObject(client->RunEvent);
        FreePool(client);
    }
    CItemList::ReleaseAllAndDestroy<IUnknown>(m_AccessList);
    m_AccessList = nullptr;
    ReleaseDevice();
    if (m_SelectedConfiguration)
        ExFreePool(m_SelectedConfiguration);
    m_SelectedConfiguration = nullptr;
    FreePool(m_SharedBuffers);
    m_SharedBuffers = nullptr;
}

void CUsbAudioAdapter::ReleaseDevice()
{
    m_DeviceHal = nullptr;
    m_DevicePower = nullptr;
    m_DeviceFunction = nullptr;
    if (PUNKNOWN device = m_DeviceUnknown)
    {
        m_DeviceUnknown = nullptr;
        device->Release();
    }
}

NTSTATUS CUsbAudioAdapter::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (IsEqualId(iid, IID_IUsbAudioFunction))
    {
        if (!object)
            return STATUS_INVALID_PARAMETER;
        *object = m_DeviceFunction;
        if (!m_DeviceFunction)
            return STATUS_INVALID_PARAMETER;
        m_DeviceFunction->AddRef();
        return STATUS_SUCCESS;
    }
    // The chip units reach their device's registers through the adapter, the outer unknown.
    if (IsEqualId(iid, IID_IChipRegisters))
    {
        if (!object)
            return STATUS_INVALID_PARAMETER;
        *object = nullptr;
        return m_DeviceUnknown ? m_DeviceUnknown->QueryInterface(iid, object) : STATUS_INVALID_PARAMETER;
    }
    return AnswerInterface(iid, object, static_cast<IAudioHal *>(this),
                           {{IID_IAudioHal, static_cast<IAudioHal *>(this)},
                            {IID_IAdapterPowerManagement, static_cast<IAdapterPowerManagement *>(&m_Layer)},
                            {IID_IUsbLowerRequests, static_cast<IUsbLowerRequests *>(&m_Layer)},
                            {IID_IAsioPrivate, static_cast<IAsioPrivate *>(this)}});
}

// ---- IAudioHal ----------------------------------------------------------------------------------------

NTSTATUS CUsbAudioAdapter::GetStreamInfo(ULONG index, PULONG words)
{
    return m_DeviceHal ? m_DeviceHal->GetStreamInfo(index, words) : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUsbAudioAdapter::GetComponentId(PVOID, PVOID record)
{
    if (!record)
        return STATUS_INVALID_PARAMETER;
    auto *id = static_cast<PKSCOMPONENTID>(record);
    RtlZeroMemory(id, sizeof *id);
    const USB_DEVICE_IDENTITY identity = m_Layer.GetIdentity();
    INIT_USBAUDIO_MID(&id->Manufacturer, identity.VendorId);
    INIT_USBAUDIO_PID(&id->Product, identity.ProductId);
    id->Component = KSCOMPONENTID_USBAUDIO;
    return STATUS_SUCCESS;
}

ULONG CUsbAudioAdapter::GetEngineCount()
{
    return m_DeviceHal ? m_DeviceHal->GetEngineCount() : 0;
}

NTSTATUS CUsbAudioAdapter::GetEngine(ULONG index, IStreamEngine **engine)
{
    return m_DeviceHal ? m_DeviceHal->GetEngine(index, engine) : STATUS_UNSUCCESSFUL;
}

ULONG CUsbAudioAdapter::GetFilterCount()
{
    return m_DeviceHal ? m_DeviceHal->GetFilterCount() : 0;
}

NTSTATUS CUsbAudioAdapter::GetFilter(ULONG index, IAudioNode **node)
{
    return m_DeviceHal ? m_DeviceHal->GetFilter(index, node) : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUsbAudioAdapter::StartAll()
{
    return m_DeviceHal ? m_DeviceHal->StartAll() : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUsbAudioAdapter::StopAll()
{
    // The device is going: a Stop held for its return to D0 ends now.
    CancelHeldStop(nullptr);
    return m_DeviceHal ? m_DeviceHal->StopAll() : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUsbAudioAdapter::RegisterCallback(PCALLBACK_FUNCTION function, PVOID context, PVOID *registration)
{
    return m_DeviceHal ? m_DeviceHal->RegisterCallback(function, context, registration) : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUsbAudioAdapter::UnregisterCallback(PVOID registration)
{
    return m_DeviceHal ? m_DeviceHal->UnregisterCallback(registration) : STATUS_UNSUCCESSFUL;
}

NTSTATUS CUsbAudioAdapter::Init(PVOID resourceList, PDEVICE_OBJECT deviceObject, PVOID lowerDevice,
                                PVOID physicalDevice)
{
    PAGED_CODE();
    if (!deviceObject || !lowerDevice || !physicalDevice)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = m_Layer.Initialize(deviceObject, static_cast<PDEVICE_OBJECT>(lowerDevice),
                                         static_cast<PDEVICE_OBJECT>(physicalDevice));
    if (!NT_SUCCESS(status))
        return status;
    // A file that cannot be imported, or only in part, leaves the settings as far as it got; only a
    // reader that could not even be allocated ends the start.
    status = IniImportSettings(deviceObject);
    if (status == STATUS_INSUFFICIENT_RESOURCES)
        return status;
    m_AccessList = CItemList::Create(NonPagedPool, PoolTag::USBd);
    if (!m_AccessList)
        return STATUS_INSUFFICIENT_RESOURCES;
    status = CAudioHal::Init(resourceList, deviceObject, lowerDevice, physicalDevice);
    if (NT_SUCCESS(status))
        m_Layer.StartSelectiveSuspend();
    return status;
}

// ---- Start hardware -------------------------------------------------------------------------------

NTSTATUS CUsbAudioAdapter::StartHardware()
{
    PAGED_CODE();
    NTSTATUS status = m_Layer.ReadDeviceDescriptor();
    if (NT_SUCCESS(status))
        status = m_Layer.ReadConfigurationDescriptor();
    if (NT_SUCCESS(status))
        status = SelectConfiguration();
    if (NT_SUCCESS(status))
        status = m_Layer.AcquireBusInterface();
    if (NT_SUCCESS(status))
        status = CreateDeviceObject();
    if (NT_SUCCESS(status))
        status = m_DeviceHal->Init(nullptr, GetDeviceObject(), m_Value2, m_Value3);
    if (!NT_SUCCESS(status))
        return status;
    m_Layer.WriteDeviceNames();

    m_SharedBufferCount = m_DeviceHal->GetEngineCount();
    if (m_SharedBufferCount)
    {
        m_SharedBuffers = static_cast<AsioSharedBuffer *>(
            AllocPoolZeroed(m_SharedBufferCount * sizeof(AsioSharedBuffer), NonPagedPool, PoolTag::USBd));
        if (!m_SharedBuffers)
        {
            m_SharedBufferCount = 0;
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    ReadLowLatencySettings();
    return STATUS_SUCCESS;
}

// Every interface at alternate setting 0, in descriptor order; the request stays until destruction.
NTSTATUS CUsbAudioAdapter::SelectConfiguration()
{
    PUSB_CONFIGURATION_DESCRIPTOR config = m_Layer.GetConfigurationDescriptor();
    if (!config)
        return STATUS_UNSUCCESSFUL;
    const ULONG capacity = config->bNumInterfaces;
    if (capacity == 0)
        return STATUS_UNSUCCESSFUL;
    auto *list = static_cast<PUSBD_INTERFACE_LIST_ENTRY>(
        AllocPoolZeroed((capacity + 1) * sizeof(USBD_INTERFACE_LIST_ENTRY), NonPagedPool, PoolTag::USBd));
    if (!list)
        return STATUS_INSUFFICIENT_RESOURCES;
    CScopeGuard freeList([&] { FreePool(list); });
    ULONG count = 0;
    // Interface numbers are tried in order; a configuration that skips numbers is still covered
    // up to 255, and the list never outgrows bNumInterfaces.
    for (ULONG number = 0; number <= 0xFF && count < capacity; ++number)
    {
        PUSB_INTERFACE_DESCRIPTOR found =
            USBD_ParseConfigurationDescriptorEx(config, config, LONG(number), 0, -1, -1, -1);
        if (!found)
            continue;
        // The bus refuses the whole configuration for one setting short of its endpoints; say which.
        PCSTR rule = nullptr;
        const NTSTATUS checked = UacCheckSettingEndpoints(reinterpret_cast<const UCHAR *>(config),
                                                          config->wTotalLength, UCHAR(number), 0, &rule);
        if (!NT_SUCCESS(checked))
        {
            DbgPrint("SelectConfiguration interface %u alternate 0 not selectable: %s\n", unsigned(number),
                     rule);
            return checked;
        }
        list[count++].InterfaceDescriptor = found;
    }
    if (count == 0)
        return STATUS_UNSUCCESSFUL;
    PURB urb = USBD_CreateConfigurationRequestEx(config, list);
    if (!urb)
        return STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS status = m_Layer.SubmitUrb(urb);
    if (!NT_SUCCESS(status))
    {
        // The bus takes a configuration only with every interface its bNumInterfaces counts.
        DbgPrint("SelectConfiguration %u of %u interfaces found, refused 0x%08X\n", unsigned(count),
                 unsigned(capacity), unsigned(status));
        ExFreePool(urb);
        return status;
    }
    m_SelectedConfiguration = urb;
    return STATUS_SUCCESS;
}

void CUsbAudioAdapter::ReadLowLatencySettings()
{
    PDEVICE_OBJECT device = GetDeviceObject();
    const USB_DEVICE_IDENTITY identity = m_Layer.GetIdentity();
    ULONG sampleType = ASIO_DEFAULT_SAMPLE_TYPE;
    m_LatencyIndex = ASIO_DEFAULT_LATENCY_INDEX;
    m_SampleRate = ASIO_DEFAULT_SAMPLE_RATE;
    const NTSTATUS bitDepth =
        SettingsValue(device, SETTINGS_READ, &sampleType, sizeof sampleType, kAsioBitDepthValue);
    SettingsValue(device, SETTINGS_READ, &m_LatencyIndex, sizeof m_LatencyIndex, kAsioLatencyValue);
    SettingsValue(device, SETTINGS_READ, &m_SampleRate, sizeof m_SampleRate, kAsioSampleRateValue);

    bool serving = false;
    for (ULONG index = 0, count = GetEngineCount(); index < count && !serving; ++index)
    {
        ULONG info[HAL_INFO_WORDS] = {};
        if (NT_SUCCESS(GetStreamInfo(index, info)))
            serving = (info[STREAM_INFO_WORD_ASIO] & STREAM_INFO_ASIO_CAPABLE) != 0;
    }
    const ULONG deviceDefault = DeviceDefaultSampleType(identity.VendorId, identity.ProductId);
    if (serving && bitDepth == STATUS_OBJECT_NAME_NOT_FOUND)
        sampleType = deviceDefault;
    // Stored values come from the user and the INI file: one out of range would index the latency
    // table or size the buffers wrongly later.
    if (!AsioIsSampleType(sampleType))
    {
        DbgPrint("StartHardware ASIOMLDataBitDepth %u invalid, using %u\n", sampleType, deviceDefault);
        sampleType = deviceDefault;
    }
    if (m_LatencyIndex >= ASIO_LATENCY_ENTRIES)
    {
        DbgPrint("StartHardware ASIOMLDataLatency %u invalid, using %u\n", m_LatencyIndex,
                 ASIO_DEFAULT_LATENCY_INDEX);
        m_LatencyIndex = ASIO_DEFAULT_LATENCY_INDEX;
    }
    if (m_SampleRate < ASIO_MIN_SAMPLE_RATE)
    {
        DbgPrint("StartHardware ASIOMLSampleRate %u invalid, using %u\n", m_SampleRate,
                 ASIO_DEFAULT_SAMPLE_RATE);
        m_SampleRate = ASIO_DEFAULT_SAMPLE_RATE;
    }
    m_EffectiveSampleType = m_RequestedSampleType = sampleType;
}

// ---- Device object --------------------------------------------------------------------------------

NTSTATUS CUsbAudioAdapter::CreateDeviceObject()
{
    PAGED_CODE();
    if (m_DeviceUnknown)
        return STATUS_UNSUCCESSFUL;
    PUSB_CONFIGURATION_DESCRIPTOR config = m_Layer.GetConfigurationDescriptor();
    PUSB_INTERFACE_DESCRIPTOR control =
        config ? USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, USB_CLASS_AUDIO,
                                                     USB_SUBCLASS_AUDIOCONTROL, -1)
               : nullptr;
    if (!control)
    {
        DbgPrint("CreateDeviceObject no AudioControl interface\n");
        return STATUS_UNSUCCESSFUL;
    }
    m_InterfaceNumber = control->bInterfaceNumber;
    // Class 2.0 by protocol 0x20, class 1.0 by the identification string, any other protocol refused.
    const USB_DEVICE_IDENTITY identity = m_Layer.GetIdentity();
    PUNKNOWN device = nullptr;
    NTSTATUS status =
        CreateUsbAudioDeviceForProtocol(control->bInterfaceProtocol, &m_Layer, GetOuterUnknown(),
                                        identity.VendorId, identity.ProductId, &device);
    if (!NT_SUCCESS(status) || !device)
        return NT_SUCCESS(status) ? STATUS_INSUFFICIENT_RESOURCES : status;
    m_DeviceUnknown = device;
    // The device aggregates with the adapter: each answer below counts on the adapter, whose own
    // reference on the device is DeviceUnknown. Give them back at once.
    PUNKNOWN outer = GetOuterUnknown();
    auto take = [&](REFIID iid) -> PVOID
    {
        PVOID answer = nullptr;
        if (!NT_SUCCESS(device->QueryInterface(iid, &answer)) || !answer)
            return nullptr;
        outer->Release();
        return answer;
    };
    m_DeviceHal = static_cast<PAUDIOHAL>(take(IID_IAudioHal));
    m_DeviceFunction = static_cast<PUNKNOWN>(take(IID_IUsbAudioFunction));
    m_DevicePower = static_cast<PADAPTERPOWERMANAGEMENT>(take(IID_IAdapterPowerManagement));
    if (!m_DeviceHal || !m_DevicePower)
    {
        ReleaseDevice();
        return STATUS_UNSUCCESSFUL;
    }
    return STATUS_SUCCESS;
}

// ---- Private streaming interface ------------------------------------------------------------------

AsioClientRecord *CUsbAudioAdapter::FindClient(PFILE_OBJECT file)
{
    for (PLIST_ENTRY entry = m_Clients.Flink; entry != &m_Clients; entry = entry->Flink)
    {
        auto *client = CONTAINING_RECORD(entry, AsioClientRecord, Links);
        if (client->FileObject == file)
            return client;
    }
    return nullptr;
}

NTSTATUS CUsbAudioAdapter::Open(PFILE_OBJECT file)
{
    PAGED_CODE();
    if (!file)
        return STATUS_INVALID_PARAMETER;
    m_Lock.Lock();
    CScopeGuard unlock([&] { m_Lock.Unlock(); });
    auto *client = static_cast<AsioClientRecord *>(
        AllocPoolZeroed(sizeof(AsioClientRecord), NonPagedPool, PoolTag::USBd));
    if (!client)
        return STATUS_UNSUCCESSFUL;
    client->FileObject = file;
    client->SampleType = m_EffectiveSampleType;
    client->LatencyIndex = m_LatencyIndex;
    client->SampleRate = m_SampleRate;
    client->IoFormat = 0;
    InsertTailList(&m_Clients, &client->Links);
    return STATUS_SUCCESS;
}

NTSTATUS CUsbAudioAdapter::Close(PFILE_OBJECT file)
{
    PAGED_CODE();
    m_Lock.Lock();
    CScopeGuard unlock([&] { m_Lock.Unlock(); });
    AsioClientRecord *client = file ? FindClient(file) : nullptr;
    if (!client)
        return STATUS_INVALID_PARAMETER;
    // A Stop held for this file while the device slept ends with the file.
    CancelHeldStop(file);
    if (client->BuffersCreated == 1)
    {
        if (client->RunEvent)
            StopFor(client);
        FreeBuffers();
        client->BuffersCreated = 0;
    }
    if (m_Owner == client)
    {
        m_Owner = nullptr;
        m_OwnerActive = FALSE;
    }
    if (!m_Owner)
    {
        ULONG requested = m_RequestedSampleType;
        SettingsValue(GetDeviceObject(), SETTINGS_WRITE, &requested, sizeof requested, kAsioBitDepthValue);
        m_EffectiveSampleType = m_RequestedSampleType;
    }
    if (client->NotifyEvent)
        ObDereferenceObject(client->NotifyEvent);
    RemoveEntryList(&client->Links);
    FreePool(client);
    return STATUS_SUCCESS;
}
