// The driver's spine: the load routine, the add-device and start routines given to the port-class
// framework, the sub-device installer, and the four dispatch routines taken over from the framework.
// Only requests on the private streaming file name are served here; everything else goes to
// PcDispatchIrp.
#pragma once

#include <ntkernel.h>
#include <pc_adapter.h>
#include <pc_port.h>

#include "driver/filters/audio_hal_interfaces.h"

// Filter-type names are indexed by the terminal type an engine reports; the counters keep room for
// the types the device classes may add.
inline constexpr ULONG FILTER_TYPE_NAMES = 19;
inline constexpr ULONG FILTER_TYPE_COUNTERS = 22;
// Sub-devices one adapter device can register.
inline constexpr ULONG MAX_ADAPTER_SUBDEVICES = 20;
// Bit of word 6 of a stream's information record: the stream can serve the private streaming interface.
inline constexpr ULONG STREAM_INFO_WORD_ASIO = 6;
inline constexpr ULONG STREAM_INFO_ASIO_CAPABLE = 0x2;

// {5C935B5E-C6BA-497B-9805-27687FDB37E5}
inline constexpr GUID GUID_ASIO_PRIVATE_INTERFACE = {
    0x5C935B5E, 0xC6BA, 0x497B, {0x98, 0x05, 0x27, 0x68, 0x7F, 0xDB, 0x37, 0xE5}};
// {3FA6E638-DC0F-400F-905B-7D76E08D50C7}
inline constexpr GUID GUID_ENUM_PRIVATE_INTERFACE = {
    0x3FA6E638, 0xDC0F, 0x400F, {0x90, 0x5B, 0x7D, 0x76, 0xE0, 0x8D, 0x50, 0xC7}};

// The driver's part of the adapter device's extension, behind the framework's part. PASSIVE_LEVEL
// requests only; the PnP manager serialises the PnP ones.
struct AdapterDeviceExtension
{
    PAUDIOHAL Adapter;               // one reference; null until a start completed
    PDEVICE_OBJECT FunctionalDevice; // no reference
    PDEVICE_OBJECT LowerDevice;      // a counted reference, dropped at removal
    PDEVICE_OBJECT PhysicalDevice;
    UCHAR RenderNameCount[FILTER_TYPE_COUNTERS];
    UCHAR CaptureNameCount[FILTER_TYPE_COUNTERS];
    BOOLEAN AsioInterfaceRegistered;
    UNICODE_STRING AsioSymbolicLink; // owned, freed at removal
    BOOLEAN AsioInterfaceEnabled;
    BOOLEAN EnumInterfaceRegistered;
    UNICODE_STRING EnumSymbolicLink; // owned, freed at removal
    BOOLEAN EnumInterfaceEnabled;
    KMUTEX Lock;
    BOOLEAN SurpriseRemoved; // streams already stopped and unregistered: removal must not repeat it
};

// The driver's part of an adapter device's extension.
inline AdapterDeviceExtension *GetAdapterExtension(PDEVICE_OBJECT deviceObject)
{
    if (!deviceObject || !deviceObject->DeviceExtension)
        return nullptr;
    return reinterpret_cast<AdapterDeviceExtension *>(static_cast<PUCHAR>(deviceObject->DeviceExtension) +
                                                      PORT_CLASS_DEVICE_EXTENSION_SIZE);
}

// The endpoint base name of a terminal type; a type outside the table (an error status included)
// names a plain "Stream".
PCWSTR FilterTypeName(ULONG terminalType);

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, PRESOURCELIST ResourceList);
NTSTATUS InstallSubdevice(PDEVICE_OBJECT DeviceObject, PIRP Irp, REFGUID PortClassId, REFGUID MiniportClassId,
                          PFN_CREATE_MINIPORT CreateMiniport, PUNKNOWN UnknownAdapter,
                          PUNKNOWN *OutPortUnknown, PUNKNOWN *OutMiniport);
NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// What the start routine builds on, provided by the adapter and the miniports: the adapter-wide
// object (its IAudioHal with one reference) and the two miniport creators.
NTSTATUS CreateAdapter(PAUDIOHAL *hal);
NTSTATUS CreateMiniportTopology(PUNKNOWN *miniport, REFGUID classId, PUNKNOWN outerUnknown,
                                POOL_TYPE poolType, ULONG index);
NTSTATUS CreateMiniportWaveCyclic(PUNKNOWN *miniport, REFGUID classId, PUNKNOWN outerUnknown,
                                  POOL_TYPE poolType, ULONG index);

// The private streaming requests of a client: one entry for the request table. Completes nothing;
// returns the status and sets Irp->IoStatus.Information.
NTSTATUS DispatchPrivateRequest(PAUDIOHAL adapter, PIRP Irp);
