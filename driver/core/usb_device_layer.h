// The adapter's USB device layer: synchronous requests to the USB stack with a time-out, the port
// status, reset and cycle requests, the device's power changes, selective suspend (an idle request
// to the hub, a five-second idle timer and the power requests that put the device to sleep and wake
// it), and the start-up reads (descriptors, bus interface, names, the selective-suspend setting).
//
// The layer lives inside the adapter-wide object: its IUnknown methods pass to the adapter's
// unknown, and the adapter answers IID_IUsbLowerRequests and IID_IAdapterPowerManagement with the
// layer's interfaces. What the layer needs of the adapter comes through IUsbAdapterHooks.
//
// Lifecycle: construct (the device starts in D0), Initialize with the three device objects (the
// system timer resolution is held from here while in D0), the start-up reads, StartSelectiveSuspend, and
// Shutdown before destruction (the destructor shuts down when nobody did).
//
// Locks: the adapter's Lock, then its SecondLock (a power change to a low-power state runs the
// presence check while holding Lock); IdleLock, a spin lock, guards the idle-request fields and is
// never held across a call out of the layer.
#pragma once

#include <ntkernel.h>
#include <pc_power.h>
#include <usb_ioctl.h>
#include <usb_urb.h>

#include "driver/core/adapter_hooks.h"
#include "driver/core/usb_device_registry.h"
#include "driver/core/usb_lower_requests.h"

// Idle timer: first check 5 s after it is set, then every period.
#define USB_IDLE_CHECK_MS 5000
// How long a synchronous URB and each wait of NotifyActivity may take.
#define USB_REQUEST_TIMEOUT_MS 500
// Pause between the two port-status reads of the presence check.
#define USB_PORT_RETRY_MS 100

class CUsbDeviceLayer final : public IUsbLowerRequests, public IAdapterPowerManagement
{
public:
    // `outer` is the adapter's unknown (every reference goes to it); `hooks` the adapter's share.
    CUsbDeviceLayer(PUNKNOWN outer, PUSBADAPTERHOOKS hooks);
    ~CUsbDeviceLayer();
    CUsbDeviceLayer(const CUsbDeviceLayer &) = delete;
    CUsbDeviceLayer &operator=(const CUsbDeviceLayer &) = delete;

    // IUnknown, for both interfaces: passes to the outer unknown.
    NTSTATUS QueryInterface(REFIID iid, PVOID *object) override
    {
        return m_Outer->QueryInterface(iid, object);
    }
    ULONG AddRef() override { return m_Outer->AddRef(); }
    ULONG Release() override { return m_Outer->Release(); }

    // IUsbLowerRequests
    PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() override { return m_ConfigurationDescriptor; }
    PURB GetSelectedConfiguration() override { return m_Hooks->GetSelectedConfiguration(); }
    UCHAR GetInterfaceNumber() override { return m_Hooks->GetInterfaceNumber(); }
    NTSTATUS SetConnected(BOOLEAN connected) override;
    NTSTATUS CallLower(PIRP irp) override { return IofCallDriver(m_LowerDevice, irp); }
    NTSTATUS SubmitUrb(PURB urb) override;
    NTSTATUS GetCurrentFrame(PULONG frame) override;
    PIRP AllocateIrp() override { return IoAllocateIrp(m_IrpStackSize, FALSE); }
    NTSTATUS FreeIrp(PIRP irp) override;
    BOOLEAN IsHighSpeed() override { return m_HighSpeed; }
    BOOLEAN IsDeviceGone() override;
    BOOLEAN CyclePort() override;
    PDEVICE_OBJECT GetLowerDevice() override { return m_LowerDevice; }
    NTSTATUS StreamStarted() override;
    NTSTATUS StreamStopped() override;
    NTSTATUS CreateDeviceObject() override { return m_Hooks->CreateDeviceObject(); }

    // IAdapterPowerManagement. PowerChangeState runs at PASSIVE_LEVEL under the adapter's Lock; a
    // state outside D0..D3 is ignored.
    void PowerChangeState(POWER_STATE newState) override;
    NTSTATUS QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
    NTSTATUS QueryDeviceCapabilities(PPC_DEVICE_CAPABILITIES capabilities) override;

    // Stores the device objects, marks the device connected and takes the idle work item.
    // STATUS_INSUFFICIENT_RESOURCES when the work item cannot be allocated.
    NTSTATUS Initialize(PDEVICE_OBJECT functionalDevice, PDEVICE_OBJECT lowerDevice,
                        PDEVICE_OBJECT physicalDevice);

    // Start-up reads, in this order. Each returns its failure for the start to end with.
    // Device descriptor (18 bytes): VendorId, ProductId, string indexes. A short answer or another
    // type is STATUS_UNSUCCESSFUL.
    NTSTATUS ReadDeviceDescriptor();
    // The configuration descriptor, 9 bytes and then its full length. Type 2 and bLength and
    // wTotalLength of at least 9 are required (else STATUS_UNSUCCESSFUL); when fewer bytes come than
    // wTotalLength says, the stored wTotalLength becomes the byte count.
    NTSTATUS ReadConfigurationDescriptor();
    // The USBDI version 1 bus interface and HighSpeed. A failed query or a null bus context is
    // STATUS_UNSUCCESSFUL. The reference the query took is given back once, by Shutdown.
    NTSTATUS AcquireBusInterface();
    // "FriendlyName" and "Mfg" of the instance key; never fails.
    VOID WriteDeviceNames();
    // Reads "SelectiveSuspendEnabled" and, when set, starts the idle timer.
    VOID StartSelectiveSuspend();

    // Activity: wakes a suspended device and keeps it awake for the request that follows.
    ULONG NotifyActivity();
    // The idle request to the hub; normally sent by the idle timer's work item.
    NTSTATUS SendIdleRequest();

    // Stops selective suspend for good (no timer re-arms, no new idle request), then waits for the
    // timer's DPC and work item, cancels the idle request and waits for it, for a hub callback in
    // progress and for a wake-up in flight; gives back the bus interface, frees the descriptor and releases
    // the timer resolution. A device going away is not woken. Safe to call twice. PASSIVE_LEVEL.
    VOID Shutdown();

    // State, for the adapter's other parts.
    BOOLEAN IsConnected() const { return m_Connected != 0; }
    DEVICE_POWER_STATE GetDevicePowerState() const { return m_DevicePowerState; }
    USB_DEVICE_IDENTITY GetIdentity() const
    {
        return {m_VendorId, m_ProductId, m_ManufacturerIndex, m_ProductIndex};
    }
    BOOLEAN IsSelectiveSuspendEnabled() const { return m_SelectiveSuspendEnabled; }
    LONG GetStreamCount() const { return m_StreamCount; }
    LONG GetBusyCount() const { return m_BusyCount; }
    // The restart mark a power-down leaves while low-latency streaming ran; a Stop in between clears
    // it, so the return to D0 does not start what the client stopped. Under the adapter's Lock.
    BOOLEAN AsioWasRunning() const { return m_AsioWasRunning; }
    void ClearAsioWasRunning() { m_AsioWasRunning = FALSE; }

private:
    static NTSTATUS SignalEventCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context);
    static VOID IdleTimerDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID FlushDpc(PKDPC dpc, PVOID context, PVOID, PVOID);
    static VOID IdleWorkItem(PDEVICE_OBJECT, PVOID context);
    static VOID IdleCallback(PVOID context);
    static NTSTATUS IdleCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context);
    static VOID PowerUpComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK);
    static VOID SleepComplete(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context, PIO_STATUS_BLOCK);

    bool IsIdle() const { return m_BusyCount == 1 && m_StreamCount == 0; }
    VOID CancelIdleRequest(bool evenWhenIdle);
    VOID DropIdleReference(PIRP irp);
    // Asks for D0; PowerUpDone is signalled when it is there or when the request could not go out.
    VOID RequestPowerUp(const char *who);
    VOID ArmIdleTimer();
    VOID HoldTimerResolution(bool hold);
    // Sends `irp` (its next location filled in) to the lower device and waits for its completion:
    // without limit (timeoutMs < 0), or cancelling it after timeoutMs. The IRP's final status; the
    // IRP stays the caller's.
    NTSTATUS SendAndWait(PIRP irp, LONG timeoutMs);
    NTSTATUS PortRequest(ULONG ioControlCode, PULONG portStatus);
    VOID Wait(PKEVENT event, LONG timeoutMs);

    PUNKNOWN m_Outer;
    PUSBADAPTERHOOKS m_Hooks;

    // Device objects and presence.
    PDEVICE_OBJECT m_DeviceObject = nullptr;
    PDEVICE_OBJECT m_LowerDevice = nullptr;
    PDEVICE_OBJECT m_PhysicalDevice = nullptr;
    volatile DEVICE_POWER_STATE m_DevicePowerState = PowerDeviceD0;
    volatile LONG m_Connected = 0;
    volatile LONG m_PortCycled = 0;
    CHAR m_IrpStackSize = 2;

    // What start-up read.
    PUSB_CONFIGURATION_DESCRIPTOR m_ConfigurationDescriptor = nullptr;
    USHORT m_VendorId = 0, m_ProductId = 0;
    UCHAR m_ManufacturerIndex = 0, m_ProductIndex = 0;
    USB_BUS_INTERFACE_USBDI_V1 m_BusInterface = {};
    bool m_BusInterfaceHeld = false;
    BOOLEAN m_HighSpeed = FALSE;

    // Selective suspend.
    PIRP m_IdleIrp = nullptr;
    PUSB_IDLE_CALLBACK_INFO m_IdleCallbackInfo = nullptr;
    LONG m_IdlePending = 0;
    volatile LONG m_IdleIrpRefs = 0;
    KSPIN_LOCK m_IdleLock;
    KEVENT m_IdleDone, m_PowerUpDone, m_IdleWorkDone;
    LONG m_IdleCallbacks = 0;    // under IdleLock: hub callbacks running
    KEVENT m_IdleCallbackDone;   // signalled while none runs
    bool m_WakeDeferred = false; // under IdleLock: the idle request ended during a callback
    KTIMER m_IdleTimer;
    KDPC m_IdleDpc;
    PIO_WORKITEM m_IdleWork = nullptr;
    bool m_Stopping = false; // under IdleLock: no re-arming, no new idle request
    bool m_ShutDown = false;
    KDPC m_FlushDpc;
    KEVENT m_FlushDone;
    volatile LONG m_BusyCount = 1;
    volatile LONG m_StreamCount = 0;
    BOOLEAN m_SelectiveSuspendEnabled = FALSE;

    // Power.
    BOOLEAN m_AsioWasRunning = FALSE;
    bool m_ResolutionHeld = false; // the 1 ms system timer resolution, held exactly while in D0
};
