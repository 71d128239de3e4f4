// The adapter's requests to the USB stack below the driver, as every other driver object reaches
// them: through the adapter's IUsbLowerRequests interface.
#pragma once

#include <ntkernel.h>
#include <pc_unknown.h>
#include <usb_urb.h>

// {4E0BFAF2-66CC-40AC-8203-C3C4D08CD4FF}
inline constexpr GUID IID_IUsbLowerRequests = {
    0x4E0BFAF2, 0x66CC, 0x40AC, {0x82, 0x03, 0xC3, 0xC4, 0xD0, 0x8C, 0xD4, 0xFF}};

// The operations, in their fixed order after the three unknown ones. Everything that waits
// (SubmitUrb, IsDeviceGone, CyclePort, CreateDeviceObject) runs at PASSIVE_LEVEL; the others may be
// called up to DISPATCH_LEVEL.
struct IUsbLowerRequests : IUnknown
{
    // The full configuration descriptor read at start, or null. Its header was checked (the
    // configuration type, bLength and wTotalLength at least the header's size) and its wTotalLength
    // never exceeds the bytes held.
    virtual PUSB_CONFIGURATION_DESCRIPTOR GetConfigurationDescriptor() = 0;
    // The select-configuration request made at start (interface handles and pipes), or null.
    virtual PURB GetSelectedConfiguration() = 0;
    // The number of the AudioControl interface.
    virtual UCHAR GetInterfaceNumber() = 0;
    virtual NTSTATUS SetConnected(BOOLEAN connected) = 0;
    // IofCallDriver to the lower device; the caller owns the IRP and its completion routine.
    virtual NTSTATUS CallLower(PIRP irp) = 0;
    // A synchronous URB: STATUS_UNSUCCESSFUL when the device is gone, the request cancelled after
    // 500 ms without an answer; the IRP's final status.
    virtual NTSTATUS SubmitUrb(PURB urb) = 0;
    // *frame = 0, then the bus's current frame number when the bus answers.
    virtual NTSTATUS GetCurrentFrame(PULONG frame) = 0;
    // An IRP with enough stack locations for the lower device (null when the pool is empty).
    virtual PIRP AllocateIrp() = 0;
    virtual NTSTATUS FreeIrp(PIRP irp) = 0;
    virtual BOOLEAN IsHighSpeed() = 0;
    // TRUE when the device is no longer there (asks the port when it still seems to be).
    virtual BOOLEAN IsDeviceGone() = 0;
    // Cycles the port once per device; TRUE when the device is (now) gone. When the request cannot be
    // allocated nothing changes (FALSE while connected) and a later call tries again.
    virtual BOOLEAN CyclePort() = 0;
    virtual PDEVICE_OBJECT GetLowerDevice() = 0;
    virtual NTSTATUS StreamStarted() = 0;
    virtual NTSTATUS StreamStopped() = 0;
    // Builds the USB audio device object for the configuration read at start.
    virtual NTSTATUS CreateDeviceObject() = 0;
};
typedef IUsbLowerRequests *PUSBLOWERREQUESTS;
