// The I/O manager as drivers see it: driver and device objects, device stacks, IRPs with their stack
// locations, completion and cancellation, device-control and power requests.
// Included through <ntkernel.h>. Misuse (double completion, a call past the last stack location,
// freeing an IRP that is outstanding, ...) is reported as a kernel violation.
#pragma once

#include <cstring>

#include <nt_types.h>
#include <nt_registry.h>
#include <nt_files.h>

struct IRP;
typedef IRP *PIRP;
struct DRIVER_OBJECT;
typedef DRIVER_OBJECT *PDRIVER_OBJECT;
struct DEVICE_OBJECT;
typedef DEVICE_OBJECT *PDEVICE_OBJECT;
struct FILE_OBJECT;
typedef FILE_OBJECT *PFILE_OBJECT;
struct MDL;
typedef MDL *PMDL;

// ---- Major and minor functions -------------------------------------------------------------------
#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_CLEANUP 0x12
#define IRP_MJ_POWER 0x16
#define IRP_MJ_SYSTEM_CONTROL 0x17
#define IRP_MJ_PNP 0x1b
#define IRP_MJ_MAXIMUM_FUNCTION 0x1b

#define IRP_MN_START_DEVICE 0x00
#define IRP_MN_QUERY_REMOVE_DEVICE 0x01
#define IRP_MN_REMOVE_DEVICE 0x02
#define IRP_MN_CANCEL_REMOVE_DEVICE 0x03
#define IRP_MN_STOP_DEVICE 0x04
#define IRP_MN_QUERY_STOP_DEVICE 0x05
#define IRP_MN_CANCEL_STOP_DEVICE 0x06
#define IRP_MN_QUERY_INTERFACE 0x08
#define IRP_MN_QUERY_CAPABILITIES 0x09
#define IRP_MN_SURPRISE_REMOVAL 0x17

#define IRP_MN_WAIT_WAKE 0x00
#define IRP_MN_POWER_SEQUENCE 0x01
#define IRP_MN_SET_POWER 0x02
#define IRP_MN_QUERY_POWER 0x03

// Stack-location Control bits.
#define SL_PENDING_RETURNED 0x01
#define SL_INVOKE_ON_CANCEL 0x20
#define SL_INVOKE_ON_SUCCESS 0x40
#define SL_INVOKE_ON_ERROR 0x80

#define IO_NO_INCREMENT 0

// Device-control codes.
#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002
#define CTL_CODE(type, function, method, access)                                                             \
    (((type) << 16) | ((access) << 14) | ((function) << 2) | (method))
#define FILE_DEVICE_UNKNOWN 0x22
#define FILE_DEVICE_KS 0x2f
#define FILE_DEVICE_SOUND 0x1d
#define FILE_DEVICE_BUS_EXTENDER 0x2a
#define FILE_DEVICE_USB FILE_DEVICE_UNKNOWN

// Device object flags.
#define DO_BUFFERED_IO 0x00000004
#define DO_DEVICE_INITIALIZING 0x00000080
#define DO_POWER_PAGABLE 0x00002000

// ---- Power ---------------------------------------------------------------------------------------
enum SYSTEM_POWER_STATE : int32_t
{
    PowerSystemUnspecified = 0,
    PowerSystemWorking,
    PowerSystemSleeping1,
    PowerSystemSleeping2,
    PowerSystemSleeping3,
    PowerSystemHibernate,
    PowerSystemShutdown,
    PowerSystemMaximum
};
enum DEVICE_POWER_STATE : int32_t
{
    PowerDeviceUnspecified = 0,
    PowerDeviceD0,
    PowerDeviceD1,
    PowerDeviceD2,
    PowerDeviceD3,
    PowerDeviceMaximum
};
typedef DEVICE_POWER_STATE *PDEVICE_POWER_STATE;
union POWER_STATE
{
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
};
enum POWER_STATE_TYPE : int32_t
{
    SystemPowerState = 0,
    DevicePowerState
};
enum POWER_ACTION : int32_t
{
    PowerActionNone = 0
};

// What a device can do about power and removal, as IRP_MN_QUERY_CAPABILITIES asks it. Only the
// leading fields are modelled; Flags carries the capability bits in their fixed positions.
struct DEVICE_CAPABILITIES
{
    USHORT Size;
    USHORT Version;
    ULONG Flags; // bit 9: surprise removal is fine
    ULONG Address;
    ULONG UINumber;
    DEVICE_POWER_STATE DeviceState[7];
    SYSTEM_POWER_STATE SystemWake;
    DEVICE_POWER_STATE DeviceWake;
    ULONG D1Latency;
    ULONG D2Latency;
    ULONG D3Latency;
};
typedef DEVICE_CAPABILITIES *PDEVICE_CAPABILITIES;

// ---- Interfaces (IO_STATUS_BLOCK comes from <nt_files.h>)
// --------------------------------------------------------------------

typedef VOID (*PINTERFACE_REFERENCE)(PVOID context);
typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID context);
struct INTERFACE
{
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
};
typedef INTERFACE *PINTERFACE;

// ---- Routines ------------------------------------------------------------------------------------
typedef NTSTATUS (*PDRIVER_DISPATCH)(PDEVICE_OBJECT deviceObject, PIRP irp);
typedef NTSTATUS (*PIO_COMPLETION_ROUTINE)(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context);
typedef VOID (*PDRIVER_CANCEL)(PDEVICE_OBJECT deviceObject, PIRP irp);
typedef NTSTATUS (*PDRIVER_INITIALIZE)(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
typedef NTSTATUS (*PDRIVER_ADD_DEVICE)(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject);
typedef VOID (*PDRIVER_UNLOAD)(PDRIVER_OBJECT driverObject);
typedef VOID (*PREQUEST_POWER_COMPLETE)(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                        POWER_STATE powerState, PVOID context, PIO_STATUS_BLOCK ioStatus);

// ---- Driver and device objects -------------------------------------------------------------------
struct DRIVER_EXTENSION
{
    PDRIVER_OBJECT DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
};
typedef DRIVER_EXTENSION *PDRIVER_EXTENSION;

struct DRIVER_OBJECT
{
    PDEVICE_OBJECT DeviceObject; // devices this driver created, linked by NextDevice
    ULONG Flags;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
    DRIVER_EXTENSION Extension; // what DriverExtension points at
};

struct DEVICE_OBJECT
{
    SHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;     // next device of the same driver
    PDEVICE_OBJECT AttachedDevice; // the device attached above this one, or null
    ULONG Flags;
    ULONG Characteristics;
    PVOID DeviceExtension;
    ULONG DeviceType;
    CHAR StackSize;            // stack locations an IRP sent to this device needs
    PDEVICE_OBJECT AttachedTo; // the device below (what IoAttachDeviceToDeviceStack returned)
};

// An open file on a device: what a create request names and what later requests on it carry.
struct FILE_OBJECT
{
    SHORT Type;
    SHORT Size;
    PDEVICE_OBJECT DeviceObject; // the device the create was sent to
    PVOID FsContext;             // the driver's
    PVOID FsContext2;            // the driver's
    UNICODE_STRING FileName; // the name after the device's: a backslash and the reference string, or empty
};

// ---- IRPs ----------------------------------------------------------------------------------------
// ULONG parameters take a pointer's room so that Others.ArgumentN overlays them as on the target.
#define IO_POINTER_ALIGNMENT alignas(sizeof(PVOID))

struct IO_STACK_LOCATION
{
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union
    {
        struct
        {
            IO_POINTER_ALIGNMENT ULONG OutputBufferLength;
            IO_POINTER_ALIGNMENT ULONG InputBufferLength;
            IO_POINTER_ALIGNMENT ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct
        {
            const GUID *InterfaceType;
            USHORT Size;
            USHORT Version;
            PINTERFACE Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
        struct
        {
            IO_POINTER_ALIGNMENT ULONG SystemContext;
            IO_POINTER_ALIGNMENT POWER_STATE_TYPE Type;
            IO_POINTER_ALIGNMENT POWER_STATE State;
            IO_POINTER_ALIGNMENT POWER_ACTION ShutdownType;
        } Power;
        struct
        {
            PDEVICE_CAPABILITIES Capabilities;
        } DeviceCapabilities;
        struct
        {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject; // the device this location was given to
    PFILE_OBJECT FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
};
typedef IO_STACK_LOCATION *PIO_STACK_LOCATION;

struct IRP
{
    SHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union
    {
        PVOID SystemBuffer;
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation; // StackCount + 1 when no driver holds it
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    PDRIVER_CANCEL CancelRoutine;
    PVOID UserBuffer;
    PIO_STATUS_BLOCK UserIosb; // threaded requests: copied here at completion
    PKEVENT UserEvent;         // threaded requests: signalled at completion
    struct
    {
        struct
        {
            PVOID DriverContext[4];
            LIST_ENTRY ListEntry;
            PIO_STACK_LOCATION CurrentStackLocation;
        } Overlay;
    } Tail;
    PVOID SimState; // the stand-in's bookkeeping; drivers leave it alone
};

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp)
{
    return irp->Tail.Overlay.CurrentStackLocation;
}
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp)
{
    return irp->Tail.Overlay.CurrentStackLocation - 1;
}
inline VOID IoSkipCurrentIrpStackLocation(PIRP irp)
{
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}
inline VOID IoSetNextIrpStackLocation(PIRP irp)
{
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
}
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP irp)
{
    PIO_STACK_LOCATION cur = IoGetCurrentIrpStackLocation(irp), next = IoGetNextIrpStackLocation(irp);
    memcpy(next, cur, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    next->Control = 0;
}
inline VOID IoMarkIrpPending(PIRP irp)
{
    IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED;
}
inline VOID IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context, BOOLEAN onSuccess,
                                   BOOLEAN onError, BOOLEAN onCancel)
{
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->CompletionRoutine = routine;
    next->Context = context;
    next->Control = 0;
    if (onSuccess)
        next->Control |= SL_INVOKE_ON_SUCCESS;
    if (onError)
        next->Control |= SL_INVOKE_ON_ERROR;
    if (onCancel)
        next->Control |= SL_INVOKE_ON_CANCEL;
}
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine)
{
    return __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_SEQ_CST);
}

extern "C"
{
    // ---- Device objects and stacks ----
    // The extension is zeroed; StackSize starts at 1. Failed allocation: STATUS_INSUFFICIENT_RESOURCES.
    NTSTATUS IoCreateDevice(PDRIVER_OBJECT driverObject, ULONG extensionSize, PUNICODE_STRING name,
                            ULONG deviceType, ULONG characteristics, BOOLEAN exclusive,
                            PDEVICE_OBJECT *deviceObject);
    // The memory goes when the last reference (IoGetAttachedDeviceReference) is dropped.
    VOID IoDeleteDevice(PDEVICE_OBJECT deviceObject);
    // Attaches source on top of target's stack; source->StackSize = top->StackSize + 1. Returns the
    // device it was attached to.
    PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
    VOID IoDetachDevice(PDEVICE_OBJECT targetDevice);
    // The top of the stack, referenced; drop with ObDereferenceObject.
    PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT deviceObject);

    // ---- IRPs ----
    // From pool (tag "Irp "), so pool injection and leak reports cover IRPs.
    PIRP IoAllocateIrp(CHAR stackSize, BOOLEAN chargeQuota);
    VOID IoFreeIrp(PIRP irp);
    VOID IoReuseIrp(PIRP irp, NTSTATUS status);
    VOID IoInitializeIrp(PIRP irp, USHORT packetSize, CHAR stackSize);
    NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
    VOID IofCompleteRequest(PIRP irp, CHAR priorityBoost);
    // Calls the cancel routine (which must release the cancel spin lock) when one is set.
    BOOLEAN IoCancelIrp(PIRP irp);
    VOID IoAcquireCancelSpinLock(PKIRQL irql);
    VOID IoReleaseCancelSpinLock(KIRQL irql);
    // A threaded request: completion copies the status to ioStatus, signals event and frees the IRP.
    PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject, PVOID inputBuffer,
                                       ULONG inputBufferLength, PVOID outputBuffer, ULONG outputBufferLength,
                                       BOOLEAN internalDeviceIoControl, PKEVENT event,
                                       PIO_STATUS_BLOCK ioStatus);

    // ---- Device registry (answered from the Enum entries bound to the stack's physical device) ----
    // Size protocol: too small gives STATUS_BUFFER_TOO_SMALL with resultLength the size needed.
    NTSTATUS IoGetDeviceProperty(PDEVICE_OBJECT deviceObject, DEVICE_REGISTRY_PROPERTY property,
                                 ULONG bufferLength, PVOID propertyBuffer, PULONG resultLength);
    NTSTATUS IoOpenDeviceRegistryKey(PDEVICE_OBJECT deviceObject, ULONG keyType, ACCESS_MASK access,
                                     PHANDLE key);

    // ---- Device interfaces ----
    // Registers (or finds) the interface of `classGuid` with the optional reference string on the
    // physical device object and returns its symbolic link in a pool buffer the caller frees with
    // RtlFreeUnicodeString. The same device, class and reference give the same link every time; a new
    // interface starts disabled. A null device, class or link: STATUS_INVALID_PARAMETER; no memory:
    // STATUS_INSUFFICIENT_RESOURCES. PASSIVE_LEVEL.
    NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT physicalDeviceObject, const GUID *classGuid,
                                       PUNICODE_STRING referenceString, PUNICODE_STRING symbolicLinkName);
    // Enables or disables a registered interface by its link (compared without case); setting the state
    // it already has succeeds. An unknown link: STATUS_OBJECT_NAME_NOT_FOUND. PASSIVE_LEVEL.
    NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING symbolicLinkName, BOOLEAN enable);

    // ---- Power ----
    NTSTATUS PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp);
    VOID PoStartNextPowerIrp(PIRP irp);
    POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state);
    // Sends a power IRP to the top of deviceObject's stack from a worker; completionFunction runs when it
    // completes. STATUS_PENDING when sent; STATUS_INSUFFICIENT_RESOURCES (or an injected status) when not.
    NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                               PREQUEST_POWER_COMPLETE completionFunction, PVOID context, PIRP *irp);
}
#define IoCallDriver IofCallDriver
#define IoCompleteRequest IofCompleteRequest
