// Ports and miniports of the port-class framework. A port wraps a miniport the driver creates and
// serves the filter the miniport describes (pc_filter.h); the driver registers the port as a
// sub-device and joins sub-devices with physical connections.
#pragma once

#include <ntkernel.h>
#include <pc_filter.h>
#include <pc_unknown.h>

struct IRP;
struct IResourceList;
typedef IResourceList *PRESOURCELIST;

// Port class identifiers; the framework gives each port type one.
// {6C619567-C63C-41B7-9FBA-908CE7E52535}
inline constexpr GUID CLSID_PortWaveCyclic = {
    0x6C619567, 0xC63C, 0x41B7, {0x9F, 0xBA, 0x90, 0x8C, 0xE7, 0xE5, 0x25, 0x35}};
// {3CDE604D-9FB1-4282-8827-1F3568A44C12}
inline constexpr GUID CLSID_PortTopology = {
    0x3CDE604D, 0x9FB1, 0x4282, {0x88, 0x27, 0x1F, 0x35, 0x68, 0xA4, 0x4C, 0x12}};

// {B7FB51D9-B701-466C-B583-2272EABDA07E}
inline constexpr GUID IID_IPort = {
    0xB7FB51D9, 0xB701, 0x466C, {0xB5, 0x83, 0x22, 0x72, 0xEA, 0xBD, 0xA0, 0x7E}};
// {63736DBF-F4AE-4AB3-BE3B-208A47F5794E}
inline constexpr GUID IID_IMiniport = {
    0x63736DBF, 0xF4AE, 0x4AB3, {0xBE, 0x3B, 0x20, 0x8A, 0x47, 0xF5, 0x79, 0x4E}};
// {0F90AF8C-3C2F-459C-A106-9D574A388D4D}
inline constexpr GUID IID_IMiniportWaveCyclic = {
    0x0F90AF8C, 0x3C2F, 0x459C, {0xA1, 0x06, 0x9D, 0x57, 0x4A, 0x38, 0x8D, 0x4D}};
// {5674D472-FAFE-4EB5-8AE1-10B67AB2D6F5}
inline constexpr GUID IID_IMiniportTopology = {
    0x5674D472, 0xFAFE, 0x4EB5, {0x8A, 0xE1, 0x10, 0xB6, 0x7A, 0xB2, 0xD6, 0xF5}};
// {47FA6040-320E-4458-9D0A-EA48BCC2B144}
inline constexpr GUID IID_IPortWaveCyclic = {
    0x47FA6040, 0x320E, 0x4458, {0x9D, 0x0A, 0xEA, 0x48, 0xBC, 0xC2, 0xB1, 0x44}};
// {AB179FEE-D6AD-4CE3-A8CB-D3FC378C73C6}
inline constexpr GUID IID_IPortTopology = {
    0xAB179FEE, 0xD6AD, 0x4CE3, {0xA8, 0xCB, 0xD3, 0xFC, 0x37, 0x8C, 0x73, 0xC6}};
// {16738177-E199-41F9-9A87-ABB2A5432F21}
inline constexpr GUID IID_IUnregisterSubdevice = {
    0x16738177, 0xE199, 0x41F9, {0x9A, 0x87, 0xAB, 0xB2, 0xA5, 0x43, 0x2F, 0x21}};
// {6C38E231-2A0D-428D-81F8-07CC428BB9A4}
inline constexpr GUID IID_IUnregisterPhysicalConnection = {
    0x6C38E231, 0x2A0D, 0x428D, {0x81, 0xF8, 0x07, 0xCC, 0x42, 0x8B, 0xB9, 0xA4}};

// {7D8F8B5A-3C1E-4B52-9A0D-6E2F41C8B701}
inline constexpr GUID IID_IMiniportWaveCyclicStream = {
    0x7D8F8B5A, 0x3C1E, 0x4B52, {0x9A, 0x0D, 0x6E, 0x2F, 0x41, 0xC8, 0xB7, 0x01}};
// {1E3B6C44-95A2-4F0B-8C7D-2A6B90E5D312}
inline constexpr GUID IID_IDmaChannel = {
    0x1E3B6C44, 0x95A2, 0x4F0B, {0x8C, 0x7D, 0x2A, 0x6B, 0x90, 0xE5, 0xD3, 0x12}};
// {5C0A2F19-7E4D-4A86-B1C3-93D85F2E6A40}
inline constexpr GUID IID_IServiceSink = {
    0x5C0A2F19, 0x7E4D, 0x4A86, {0xB1, 0xC3, 0x93, 0xD8, 0x5F, 0x2E, 0x6A, 0x40}};
// {A8E47D03-2B6F-4C19-8E50-C4F17B3A9D25}
inline constexpr GUID IID_IServiceGroup = {
    0xA8E47D03, 0x2B6F, 0x4C19, {0x8E, 0x50, 0xC4, 0xF1, 0x7B, 0x3A, 0x9D, 0x25}};

struct IPort;
typedef IPort *PPORT;

// The states a pin steps through, one at a time.
enum KSSTATE
{
    KSSTATE_STOP = 0,
    KSSTATE_ACQUIRE = 1,
    KSSTATE_PAUSE = 2,
    KSSTATE_RUN = 3,
};

typedef LARGE_INTEGER PHYSICAL_ADDRESS;
typedef PHYSICAL_ADDRESS *PPHYSICAL_ADDRESS;
struct ADAPTER_OBJECT;
typedef ADAPTER_OBJECT *PADAPTER_OBJECT;

// The stream of an open wave-cyclic pin, as its port drives it (PASSIVE_LEVEL except GetPosition,
// which the service may call at DISPATCH_LEVEL).
struct IMiniportWaveCyclicStream : IUnknown
{
    virtual NTSTATUS SetFormat(PKSDATAFORMAT dataFormat) = 0;
    // Returns the interval it will notify at; *framingSize the bytes of one interval.
    virtual ULONG SetNotificationFreq(ULONG interval, PULONG framingSize) = 0;
    virtual NTSTATUS SetState(KSSTATE state) = 0;
    virtual NTSTATUS GetPosition(PULONG position) = 0; // byte offset in the cyclic buffer
    virtual NTSTATUS NormalizePhysicalPosition(LONGLONG *position) = 0;
    virtual void Silence(PVOID buffer, ULONG byteCount) = 0;
};
typedef IMiniportWaveCyclicStream *PMINIPORTWAVECYCLICSTREAM;

// The cyclic buffer the port and the stream share. CopyTo and CopyFrom run at DISPATCH_LEVEL.
struct IDmaChannel : IUnknown
{
    virtual NTSTATUS AllocateBuffer(ULONG bufferSize, PPHYSICAL_ADDRESS constraint) = 0;
    virtual void FreeBuffer() = 0;
    virtual ULONG TransferCount() = 0;
    virtual ULONG MaximumBufferSize() = 0;
    virtual ULONG AllocatedBufferSize() = 0;
    virtual ULONG BufferSize() = 0;
    virtual void SetBufferSize(ULONG bufferSize) = 0;
    virtual PVOID SystemAddress() = 0;
    virtual PHYSICAL_ADDRESS PhysicalAddress() = 0;
    virtual PADAPTER_OBJECT GetAdapterObject() = 0;
    virtual void CopyTo(PVOID destination, PVOID source, ULONG byteCount) = 0;
    virtual void CopyFrom(PVOID destination, PVOID source, ULONG byteCount) = 0;
};
typedef IDmaChannel *PDMACHANNEL;

// A member of a service group: RequestService runs at DISPATCH_LEVEL on the DPC thread.
struct IServiceSink : IUnknown
{
    virtual void RequestService() = 0;
};
typedef IServiceSink *PSERVICESINK;

// A service group: RequestService only queues; its DPC then calls every member's RequestService, in
// the order they were added. Members are held with a reference until removed or the group goes.
struct IServiceGroup : IServiceSink
{
    virtual NTSTATUS AddMember(PSERVICESINK sink) = 0;
    virtual void RemoveMember(PSERVICESINK sink) = 0;
    virtual void SupportDelayedService() = 0;
    virtual void RequestDelayedService(ULONGLONG delay) = 0;
    virtual void CancelDelayedService() = 0;
};
typedef IServiceGroup *PSERVICEGROUP;

// A new service group with one reference (non-paged pool, "PcSg"; STATUS_INSUFFICIENT_RESOURCES).
NTSTATUS PcNewServiceGroup(PSERVICEGROUP *outServiceGroup, PUNKNOWN outerUnknown);

// Protected content handed to the device below: what the stand-in records for a test.
struct DRMFORWARD
{
    ULONG Flags;
    PDEVICE_OBJECT DeviceObject;
    PVOID FileObject;
    PVOID Context;
};
typedef DRMFORWARD *PDRMFORWARD;
// What the content's owner allows: no copies, no digital output.
struct DRMRIGHTS
{
    ULONG CopyProtect;
    ULONG Reserved;
    ULONG DigitalOutputDisable;
};
typedef const DRMRIGHTS *PCDRMRIGHTS;
// The stand-in keeps no DRM system that would know each content's rights, so the forwarding driver
// passes them where the platform has its reserved argument; null when it has none. The record keeps
// what would reach the device object.
NTSTATUS PcForwardContentToDeviceObject(ULONG contentId, PCDRMRIGHTS rights, const DRMFORWARD *forward);

// {1915C967-3299-48CB-A3E4-69FD1D1B306E}: a miniport stream that takes protected content.
inline constexpr GUID IID_IDrmAudioStream = {
    0x1915C967, 0x3299, 0x48CB, {0xA3, 0xE4, 0x69, 0xFD, 0x1D, 0x1B, 0x30, 0x6E}};
struct IDrmAudioStream : IUnknown
{
    virtual NTSTATUS SetContentId(ULONG contentId, PCDRMRIGHTS rights) = 0;
};
typedef IDrmAudioStream *PDRMAUDIOSTREAM;

// The common part of every miniport. Init is given the adapter's unknown, its resources and the
// port that wraps the miniport (held by the miniport as it needs).
struct IMiniport : IUnknown
{
    // The filter the miniport serves; it stays valid and unchanged while the miniport lives.
    virtual NTSTATUS GetDescription(PPCFILTER_DESCRIPTOR *description) = 0;
    // Picks the format a pin would take for a client's range, against one of the pin's own ranges:
    // STATUS_NOT_IMPLEMENTED lets the port's default apply. Size protocol: outputBufferLength 0 asks
    // for the size (STATUS_BUFFER_OVERFLOW with *resultantFormatLength set), too short is
    // STATUS_BUFFER_TOO_SMALL; no match is STATUS_NO_MATCH.
    virtual NTSTATUS DataRangeIntersection(ULONG pinId, PKSDATARANGE clientDataRange,
                                           PKSDATARANGE myDataRange, ULONG outputBufferLength,
                                           PVOID resultantFormat, PULONG resultantFormatLength) = 0;
};
typedef IMiniport *PMINIPORT;

struct IMiniportWaveCyclic : IMiniport
{
    virtual NTSTATUS Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORT port) = 0;
    // Opens a stream on a streaming pin in `dataFormat`; the stream, its DMA channel and service
    // group are handed out with a reference each.
    virtual NTSTATUS NewStream(PMINIPORTWAVECYCLICSTREAM *stream, PUNKNOWN outerUnknown, POOL_TYPE poolType,
                               ULONG pin, BOOLEAN capture, PKSDATAFORMAT dataFormat, PDMACHANNEL *dmaChannel,
                               PSERVICEGROUP *serviceGroup) = 0;
};
typedef IMiniportWaveCyclic *PMINIPORTWAVECYCLIC;

struct IMiniportTopology : IMiniport
{
    virtual NTSTATUS Init(PUNKNOWN unknownAdapter, PRESOURCELIST resourceList, PPORT port) = 0;
};
typedef IMiniportTopology *PMINIPORTTOPOLOGY;

// A port: Init queries the miniport for the interface of the port's type, calls its Init, then asks
// for its description and checks it (item sizes, indices, node pins, range sizes, categories); it
// holds the miniport when all that succeeds; otherwise it returns the failing status (a broken
// description: STATUS_INVALID_PARAMETER, logged with the rule it breaks) and holds nothing. A port
// answers IPortEvents for its miniport's events. A port wraps one miniport: a second Init gives
// STATUS_INVALID_DEVICE_REQUEST. A port answers IUnregisterSubdevice and IUnregisterPhysicalConnection
// besides its own interfaces. Calls run at PASSIVE_LEVEL. A miniport usually keeps the port it was given, and
// the port holds the miniport: to keep that loop from living on, the port counts the references its miniport
// took during Init and, when a release leaves only those (no caller and no registration holds it), lets go of
// the miniport, which then drops the port; that Release returns 0. A registered port is held by its
// registration until UnregisterSubdevice. The model expects a miniport to keep what it took at Init until it
// is destroyed.
struct IPort : IUnknown
{
    virtual NTSTATUS Init(PDEVICE_OBJECT deviceObject, IRP *irp, PUNKNOWN unknownMiniport,
                          PUNKNOWN unknownAdapter, PRESOURCELIST resourceList) = 0;
};

struct IPortWaveCyclic : IPort
{
    // Asks the group for service (its members run on the DPC thread); callable at DISPATCH_LEVEL.
    virtual void Notify(PSERVICEGROUP serviceGroup) = 0;
};
typedef IPortWaveCyclic *PPORTWAVECYCLIC;

struct IPortTopology : IPort
{
};
typedef IPortTopology *PPORTTOPOLOGY;

// Removal of a registered sub-device (`subdevice` names the port, through any of its interfaces):
// the framework's reference goes, and the port lets go of its miniport, which usually holds the port
// in turn. A sub-device not registered on that device: STATUS_INVALID_PARAMETER.
struct IUnregisterSubdevice : IUnknown
{
    virtual NTSTATUS UnregisterSubdevice(PDEVICE_OBJECT deviceObject, PUNKNOWN subdevice) = 0;
};
typedef IUnregisterSubdevice *PUNREGISTERSUBDEVICE;

// Removal of a physical connection, named exactly as it was registered; an unknown one:
// STATUS_INVALID_PARAMETER.
struct IUnregisterPhysicalConnection : IUnknown
{
    virtual NTSTATUS UnregisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown,
                                                  ULONG fromPin, PUNKNOWN toUnknown, ULONG toPin) = 0;
};
typedef IUnregisterPhysicalConnection *PUNREGISTERPHYSICALCONNECTION;

// Creates an uninitialised port of the given class (CLSID_PortWaveCyclic or CLSID_PortTopology),
// handed out with one reference; the port object comes from non-paged pool
// (STATUS_INSUFFICIENT_RESOURCES). Any other class: STATUS_INVALID_PARAMETER with *outPort null.
NTSTATUS PcNewPort(PPORT *outPort, REFGUID classId);

// Registers an initialised port as the named sub-device of the device; the framework keeps a
// reference until the sub-device is unregistered. One device interface per filter category is
// registered on the device's physical device object (reference string: the name) and enabled;
// unregistration disables them, and a failure of either leaves nothing registered. A name already registered
// on that device (compared without case): STATUS_OBJECT_NAME_COLLISION. A null device, an empty name or one
// above 127 characters, an object that is not a port, or a port already registered on that device:
// STATUS_INVALID_PARAMETER. A port not yet initialised: STATUS_INVALID_DEVICE_REQUEST. The record
// comes from paged pool (STATUS_INSUFFICIENT_RESOURCES). An adapter device holds at most the
// sub-devices PcAddAdapterDevice allowed it; one more: STATUS_INSUFFICIENT_RESOURCES.
NTSTATUS PcRegisterSubdevice(PDEVICE_OBJECT deviceObject, PCWSTR name, PUNKNOWN unknown);

// Records a physical connection from (fromUnknown, fromPin) to (toUnknown, toPin). Both ports must
// already be registered as sub-devices of that device and both pins must exist on their filters as
// bridge pins (communication NONE), the first flowing out, the second in, else
// STATUS_INVALID_PARAMETER; the same
// connection twice: STATUS_OBJECT_NAME_COLLISION. The record holds no reference.
NTSTATUS PcRegisterPhysicalConnection(PDEVICE_OBJECT deviceObject, PUNKNOWN fromUnknown, ULONG fromPin,
                                      PUNKNOWN toUnknown, ULONG toPin);
