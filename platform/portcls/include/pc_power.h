// Adapter power management as the port-class framework asks it of an adapter object.
#pragma once

#include <ntkernel.h>
#include <pc_unknown.h>

// {793417D0-35FE-11D1-AD08-00A0C90AB1B0}
inline constexpr GUID IID_IAdapterPowerManagement = {
    0x793417D0, 0x35FE, 0x11D1, {0xAD, 0x08, 0x00, 0xA0, 0xC9, 0x0A, 0xB1, 0xB0}};

// The device's power capabilities, as the framework hands them to QueryDeviceCapabilities.
typedef DEVICE_CAPABILITIES PC_DEVICE_CAPABILITIES;
typedef PC_DEVICE_CAPABILITIES *PPC_DEVICE_CAPABILITIES;
inline constexpr ULONG PC_CAPS_SURPRISE_REMOVAL_OK = 1u << 9;

struct IAdapterPowerManagement : IUnknown
{
    // Called at PASSIVE_LEVEL when the device enters a new power state.
    virtual void PowerChangeState(POWER_STATE newState) = 0;
    virtual NTSTATUS QueryPowerChangeState(POWER_STATE newStateQuery) = 0;
    virtual NTSTATUS QueryDeviceCapabilities(PPC_DEVICE_CAPABILITIES capabilities) = 0;
};
typedef IAdapterPowerManagement *PADAPTERPOWERMANAGEMENT;
