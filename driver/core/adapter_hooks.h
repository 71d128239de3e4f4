// What the USB device layer needs of the adapter-wide object it lives in: the adapter's two locks,
// the device object's power interface, the low-latency streaming service and the configuration
// selection. The adapter implements it; tests use a recording double.
#pragma once

#include <ntkernel.h>
#include <pc_power.h>
#include <usb_urb.h>

// Lock order: Lock before SecondLock, never the other way round. Both are mutexes (PASSIVE_LEVEL,
// recursive for their owner). Every other operation runs at PASSIVE_LEVEL too.
struct IUsbAdapterHooks
{
    // The adapter's Lock: serialises power changes and every low-latency request.
    virtual void Lock() = 0;
    virtual void Unlock() = 0;
    // The adapter's SecondLock: serialises the presence check.
    virtual void SecondLock() = 0;
    virtual void SecondUnlock() = 0;

    // The device object's power interface, or null while there is no device object. No reference
    // is added; the adapter keeps it alive while it keeps the layer.
    virtual PADAPTERPOWERMANAGEMENT DevicePower() = 0;

    // Low-latency streaming, called with Lock held.
    virtual BOOLEAN IsLowLatencyRunning() = 0;
    // Stops every low-latency transfer and clears the owner's run event.
    virtual void StopLowLatency() = 0;
    // Starts the low-latency transfers again after a return to D0.
    virtual void RestartLowLatency() = 0;
    // Gives the owner's run event back to the notification path.
    virtual void HandOverRunEvent() = 0;

    // Called without either lock after a return to D0: a Stop request held while the device slept
    // is carried out now and completed with its status. Nothing when none is held.
    virtual void CompleteHeldStop() = 0;

    // The configuration selection made at start, or null.
    virtual PURB GetSelectedConfiguration() = 0;
    // The AudioControl interface number found when the device object was created.
    virtual UCHAR GetInterfaceNumber() = 0;
    // Builds the USB audio device object.
    virtual NTSTATUS CreateDeviceObject() = 0;

protected:
    ~IUsbAdapterHooks() = default;
};
typedef IUsbAdapterHooks *PUSBADAPTERHOOKS;
