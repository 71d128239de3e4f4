// Driver entry, add-device, start, sub-device installation and the dispatch routines the driver
// takes over from the port-class framework.
#include "driver/core/driver_entry.h"

#include "driver/base/pool_memory.h"
#include "driver/base/scope_guard.h"
#include "driver/core/asio_private.h"
#include "driver/effects/dsp_interleave_src.h"
#include "dsp/dispatch/cpu_probe.h"

namespace
{

constexpr ULONG MIN_NTDDI_VERSION = NTDDI_WINXP;
constexpr ULONG MIN_PORTCLS_VERSION = 11;
constexpr ULONG NAME_BUFFER_BYTES = 102; // 50 characters and the terminator

UNICODE_STRING g_AsioReference;
UNICODE_STRING g_AsioFileName;
UNICODE_STRING g_EnumReference;

NTSTATUS CompleteIrp(PIRP irp, NTSTATUS status)
{
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// A request is the driver's own when it names the private streaming file; a missing extension, stack
// location, file object or name leaves it to the framework.
bool IsPrivateRequest(PDEVICE_OBJECT deviceObject, PIRP irp, AdapterDeviceExtension **extension)
{
    *extension = GetAdapterExtension(deviceObject);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    if (!*extension || !location)
        return false;
    if ((*extension)->Adapter)
        (*extension)->Adapter->NotifyActivity();
    PFILE_OBJECT file = location->FileObject;
    if (!file || !file->FileName.Buffer || file->FileName.Length == 0)
        return false;
    return RtlCompareUnicodeString(&g_AsioFileName, &file->FileName, TRUE) == 0;
}

// Create and close on the private name: the adapter's private interface opens or closes the client.
NTSTATUS OpenOrClose(PDEVICE_OBJECT deviceObject, PIRP irp, bool open)
{
    AdapterDeviceExtension *extension;
    if (!IsPrivateRequest(deviceObject, irp, &extension))
        return PcDispatchIrp(deviceObject, irp);
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (auto *asio = QueryAs<IAsioPrivate>(extension->Adapter, IID_IAsioPrivate))
    {
        if (!NT_SUCCESS(open ? asio->Open(file) : asio->Close(file)))
            status = STATUS_UNSUCCESSFUL;
        else
            status = STATUS_SUCCESS;
        asio->Release();
    }
    irp->IoStatus.Information = 0;
    return CompleteIrp(irp, status);
}

// Disables whichever interfaces are enabled, the private streaming one first.
void DisableInterfaces(AdapterDeviceExtension *extension)
{
    if (extension->AsioInterfaceEnabled)
    {
        IoSetDeviceInterfaceState(&extension->AsioSymbolicLink, FALSE);
        extension->AsioInterfaceEnabled = FALSE;
    }
    if (extension->EnumInterfaceEnabled)
    {
        IoSetDeviceInterfaceState(&extension->EnumSymbolicLink, FALSE);
        extension->EnumInterfaceEnabled = FALSE;
    }
}

void ForgetInterfaces(AdapterDeviceExtension *extension)
{
    if (extension->AsioInterfaceRegistered)
    {
        RtlFreeUnicodeString(&extension->AsioSymbolicLink);
        extension->AsioInterfaceRegistered = FALSE;
    }
    if (extension->EnumInterfaceRegistered)
    {
        RtlFreeUnicodeString(&extension->EnumSymbolicLink);
        extension->EnumInterfaceRegistered = FALSE;
    }
}

// Stops the worker threads and streams and takes every engine's wave filter down; `logFailure`
// names the engine that would not go. A registered wave port holds the adapter, so an engine left
// registered would keep the adapter, and with it the device, alive for ever.
void StopAndUnregister(PDEVICE_OBJECT deviceObject, PAUDIOHAL adapter, bool logFailure)
{
    adapter->StopAll();
    const ULONG count = adapter->GetEngineCount();
    for (ULONG index = 0; index < count; ++index)
    {
        IStreamEngine *engine = nullptr;
        NTSTATUS status = adapter->GetEngine(index, &engine);
        if (NT_SUCCESS(status))
            status = engine ? engine->Unregister(deviceObject) : STATUS_UNSUCCESSFUL;
        if (!NT_SUCCESS(status))
        {
            if (logFailure)
                DbgPrint("Remove Miniport Failed StreamEngine ulIdx = %d\n", index);
            break;
        }
    }
}

// StopAndUnregister once per device, at surprise removal or else at removal.
void UninstallStreams(PDEVICE_OBJECT deviceObject, AdapterDeviceExtension *extension, bool logFailure)
{
    if (!extension->Adapter || extension->SurpriseRemoved)
        return;
    PUNKNOWN unknown = QueryAs<IUnknown>(extension->Adapter, IID_IUnknown);
    if (!unknown)
        return;
    extension->SurpriseRemoved = TRUE;
    StopAndUnregister(deviceObject, extension->Adapter, logFailure);
    unknown->Release();
}

// Names, wires and registers one stream's wave filter; remembers whether it serves the private
// streaming interface.
NTSTATUS InstallStream(PDEVICE_OBJECT deviceObject, PIRP irp, AdapterDeviceExtension *extension,
                       PAUDIOHAL adapter, ULONG index, PWSTR name, PUNKNOWN topologyPort,
                       PUNKNOWN topologyMiniport, bool *asioCapable)
{
    IStreamEngine *engine = nullptr;
    NTSTATUS status = adapter->GetEngine(index, &engine);
    if (!NT_SUCCESS(status))
        return status;
    if (!engine)
        return STATUS_UNSUCCESSFUL;
    ULONG type = engine->GetTerminalType();
    if (type >= FILTER_TYPE_NAMES)
        type = 0;
    const bool capture = engine->GetEngineId() != 0;
    UCHAR &counter = capture ? extension->CaptureNameCount[type] : extension->RenderNameCount[type];
    status = RtlStringCbPrintfW(name, NAME_BUFFER_BYTES, capture ? u"%sIn%02d" : u"%sOut%02d",
                                FilterTypeName(type), ULONG(counter));
    ++counter;
    if (!NT_SUCCESS(status))
        return status;
    status = engine->SetName(name);
    if (NT_SUCCESS(status))
        status = engine->SetMiniport(&CreateMiniportWaveCyclic, CLSID_PortWaveCyclic);
    if (NT_SUCCESS(status))
        status = engine->SetTopology(topologyPort, topologyMiniport);
    if (NT_SUCCESS(status))
        status = engine->UpdateRegistration(deviceObject, irp, adapter);
    if (!NT_SUCCESS(status))
        return status;
    ULONG info[HAL_INFO_WORDS] = {};
    adapter->GetStreamInfo(index, info);
    if (info[STREAM_INFO_WORD_ASIO] & STREAM_INFO_ASIO_CAPABLE)
        *asioCapable = true;
    return STATUS_SUCCESS;
}

// The framework must know everything the filters use: a wave-cyclic port is asked for the version.
NTSTATUS CheckPortClsVersion()
{
    PPORT port = nullptr;
    NTSTATUS status = PcNewPort(&port, CLSID_PortWaveCyclic);
    if (!NT_SUCCESS(status))
        return STATUS_UNSUCCESSFUL;
    auto *version = QueryAs<IPortClsVersion>(port, IID_IPortClsVersion);
    status = version && version->GetVersion() >= MIN_PORTCLS_VERSION ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
    if (version)
        version->Release();
    port->Release();
    return status;
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath)
{
    // The primitives' variant is chosen once, before anything can run one. Another vendor's
    // processor (status 20) still gets the index its features allow.
    (void)dsp::initCpuVariant();
    // Every wave stream converts through the effects layer's rate chain; the filters see only its
    // interface.
    SetRateChainCreator(&CreateSampleRateChain);
    if (!RtlIsNtDdiVersionAvailable(MIN_NTDDI_VERSION))
        return STATUS_UNSUCCESSFUL;
    const NTSTATUS status = PcInitializeAdapterDriver(DriverObject, RegistryPath, &AddDevice);
    if (NT_SUCCESS(status))
    {
        DriverObject->MajorFunction[IRP_MJ_PNP] = &DispatchPnp;
        DriverObject->MajorFunction[IRP_MJ_CREATE] = &DispatchCreate;
        DriverObject->MajorFunction[IRP_MJ_CLOSE] = &DispatchClose;
        DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = &DispatchDeviceControl;
    }
    RtlInitUnicodeString(&g_AsioReference, u"SVASIOPrivateInterface");
    RtlInitUnicodeString(&g_AsioFileName, u"\\SVASIOPrivateInterface");
    RtlInitUnicodeString(&g_EnumReference, u"SVEnumPrivateInterface");
    return status;
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject)
{
    PDEVICE_OBJECT lower = IoGetAttachedDeviceReference(PhysicalDeviceObject);
    NTSTATUS status =
        PcAddAdapterDevice(DriverObject, PhysicalDeviceObject, &StartDevice, MAX_ADAPTER_SUBDEVICES,
                           ULONG(PORT_CLASS_DEVICE_EXTENSION_SIZE + sizeof(AdapterDeviceExtension)));
    if (!NT_SUCCESS(status))
    {
        ObDereferenceObject(lower);
        return status;
    }
    PDEVICE_OBJECT self = IoGetAttachedDeviceReference(PhysicalDeviceObject);
    AdapterDeviceExtension *extension = GetAdapterExtension(self);
    RtlZeroMemory(extension, sizeof *extension);
    extension->LowerDevice = lower;
    extension->FunctionalDevice = self;
    extension->PhysicalDevice = PhysicalDeviceObject;
    KeInitializeMutex(&extension->Lock, 0);
    ObDereferenceObject(self);

    if (NT_SUCCESS(IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_ENUM_PRIVATE_INTERFACE,
                                             &g_EnumReference, &extension->EnumSymbolicLink)))
        extension->EnumInterfaceRegistered = TRUE;
    status = IoRegisterDeviceInterface(PhysicalDeviceObject, &GUID_ASIO_PRIVATE_INTERFACE, &g_AsioReference,
                                       &extension->AsioSymbolicLink);
    if (NT_SUCCESS(status))
    {
        extension->AsioInterfaceRegistered = TRUE;
        return status;
    }
    // A device the driver refuses must not stay in the stack: no start or removal will come for it.
    ForgetInterfaces(extension);
    IoDetachDevice(lower);
    IoDeleteDevice(self);
    ObDereferenceObject(lower);
    return status;
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList)
{
    AdapterDeviceExtension *extension = GetAdapterExtension(DeviceObject);
    NTSTATUS status = CheckPortClsVersion();
    if (!NT_SUCCESS(status))
        return status;

    PAUDIOHAL created = nullptr;
    status = CreateAdapter(&created);
    if (!NT_SUCCESS(status) || !created)
        return STATUS_INSUFFICIENT_RESOURCES;
    PAUDIOHAL adapter = QueryAs<IAudioHal>(created, IID_IAudioHal);
    created->Release();
    if (!adapter)
        return STATUS_INSUFFICIENT_RESOURCES;
    PWSTR name = nullptr;
    PUNKNOWN topologyPort = nullptr;
    PUNKNOWN topologyMiniport = nullptr;
    bool streamsInstalled = false;
    CScopeGuard release(
        [&]
        {
            // A start that fails once the streams may be registered (by the install or by the
            // status thread's first refresh) takes them down again; removal finds no adapter.
            if (adapter && streamsInstalled)
                StopAndUnregister(DeviceObject, adapter, false);
            if (name)
                FreePool(name);
            if (topologyPort)
                topologyPort->Release();
            if (adapter)
                adapter->Release();
        });

    status = adapter->Init(ResourceList, DeviceObject, extension->LowerDevice, extension->PhysicalDevice);
    if (!NT_SUCCESS(status))
        return status;
    status = PcRegisterAdapterPowerManagement(adapter, DeviceObject);
    if (!NT_SUCCESS(status))
        return status;
    name = static_cast<PWSTR>(AllocPoolZeroed(NAME_BUFFER_BYTES, PagedPool, PoolTag::Temp));
    if (!name)
        return STATUS_INSUFFICIENT_RESOURCES;

    status = InstallSubdevice(DeviceObject, Irp, CLSID_PortTopology, CLSID_PortTopology,
                              &CreateMiniportTopology, adapter, &topologyPort, &topologyMiniport);
    // Without a topology filter the wave filters have nothing to connect to.
    if (!NT_SUCCESS(status))
        return status;
    bool asioCapable = false;
    streamsInstalled = true;
    const ULONG count = adapter->GetEngineCount();
    for (ULONG index = 0; index < count; ++index)
    {
        status = InstallStream(DeviceObject, Irp, extension, adapter, index, name, topologyPort,
                               topologyMiniport, &asioCapable);
        if (!NT_SUCCESS(status))
            return status;
    }
    status = adapter->StartAll();
    if (!NT_SUCCESS(status))
        return status;
    if (asioCapable && extension->AsioInterfaceRegistered &&
        NT_SUCCESS(IoSetDeviceInterfaceState(&extension->AsioSymbolicLink, TRUE)))
        extension->AsioInterfaceEnabled = TRUE;
    status = extension->EnumInterfaceRegistered
                 ? IoSetDeviceInterfaceState(&extension->EnumSymbolicLink, TRUE)
                 : STATUS_UNSUCCESSFUL;
    if (!NT_SUCCESS(status))
        return status;
    extension->EnumInterfaceEnabled = TRUE;
    extension->Adapter = adapter;
    adapter = nullptr; // the extension keeps the reference
    return STATUS_SUCCESS;
}

NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, REFGUID PortClassId, REFGUID MiniportClassId,
                          PFN_CREATE_MINIPORT CreateMiniport, PUNKNOWN UnknownAdapter,
                          PUNKNOWN *OutPortUnknown, PUNKNOWN *OutMiniport)
{
    PAUDIOHAL hal = QueryAs<IAudioHal>(UnknownAdapter, IID_IAudioHal);
    PPORT port = nullptr;
    PUNKNOWN miniport = nullptr;
    CScopeGuard release(
        [&]
        {
            if (miniport)
                miniport->Release();
            if (port)
                port->Release();
            if (hal)
                hal->Release();
        });
    NTSTATUS status = PcNewPort(&port, PortClassId);
    if (!NT_SUCCESS(status))
        return status;
    if (!CreateMiniport)
        return STATUS_INVALID_PARAMETER;
    status = CreateMiniport(&miniport, MiniportClassId, nullptr, NonPagedPool, 0);
    if (!NT_SUCCESS(status))
        return status;
    status = port->Init(DeviceObject, Irp, miniport, UnknownAdapter, nullptr);
    if (!NT_SUCCESS(status))
        return status;
    auto *named = QueryAs<IMiniportPrivate>(miniport, IID_IMiniportPrivate);
    if (!named)
        return STATUS_INVALID_PARAMETER;
    PWSTR name = nullptr;
    status = named->GetName(&name);
    named->Release();
    if (!NT_SUCCESS(status))
        return status;
    status = PcRegisterSubdevice(DeviceObject, name, port);
    if (!NT_SUCCESS(status))
        return status;
    if (OutPortUnknown)
        status = port->QueryInterface(IID_IUnknown, reinterpret_cast<PVOID *>(OutPortUnknown));
    if (OutMiniport)
        *OutMiniport = miniport; // the port holds the miniport
    return status;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AdapterDeviceExtension *extension = GetAdapterExtension(DeviceObject);
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
    if (!extension || !location)
        return PcDispatchIrp(DeviceObject, Irp);
    if (location->MinorFunction != IRP_MN_START_DEVICE && extension->Adapter)
        extension->Adapter->NotifyActivity();
    switch (location->MinorFunction)
    {
    case IRP_MN_REMOVE_DEVICE:
    {
        DisableInterfaces(extension);
        ForgetInterfaces(extension);
        UninstallStreams(DeviceObject, extension, true);
        // The framework frees the extension with the device object, whatever the devices below
        // answered: keep what is released after, and release it on every outcome.
        PDEVICE_OBJECT lower = extension->LowerDevice;
        PAUDIOHAL adapter = extension->Adapter;
        const NTSTATUS status = PcDispatchIrp(DeviceObject, Irp);
        if (lower)
            ObDereferenceObject(lower);
        if (adapter)
            adapter->Release();
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
    {
        UninstallStreams(DeviceObject, extension, false);
        const NTSTATUS status = PcDispatchIrp(DeviceObject, Irp);
        DisableInterfaces(extension);
        return status;
    }
    default:
        return PcDispatchIrp(DeviceObject, Irp);
    }
}

NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return OpenOrClose(DeviceObject, Irp, true);
}

NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return OpenOrClose(DeviceObject, Irp, false);
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    AdapterDeviceExtension *extension;
    if (!IsPrivateRequest(DeviceObject, Irp, &extension))
        return PcDispatchIrp(DeviceObject, Irp);
    Irp->IoStatus.Information = 0;
    const NTSTATUS status =
        extension->Adapter ? DispatchPrivateRequest(extension->Adapter, Irp) : STATUS_INVALID_PARAMETER;
    // A pending request stays with the adapter, which completes it.
    if (status == STATUS_PENDING)
        return status;
    return CompleteIrp(Irp, status);
}
