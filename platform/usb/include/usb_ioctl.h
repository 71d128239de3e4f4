// Internal USB device-control codes, the bus interface obtained by IRP_MN_QUERY_INTERFACE, and the
// idle-notification record.
#pragma once

#include <ntkernel.h>
#include <usb_urb.h>

#define IOCTL_INTERNAL_USB_SUBMIT_URB CTL_CODE(FILE_DEVICE_USB, 0, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_RESET_PORT CTL_CODE(FILE_DEVICE_USB, 1, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS CTL_CODE(FILE_DEVICE_USB, 4, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_CYCLE_PORT CTL_CODE(FILE_DEVICE_USB, 7, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION                                                          \
    CTL_CODE(FILE_DEVICE_USB, 9, METHOD_NEITHER, FILE_ANY_ACCESS)
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003);
static_assert(IOCTL_INTERNAL_USB_RESET_PORT == 0x220007);
static_assert(IOCTL_INTERNAL_USB_GET_PORT_STATUS == 0x220013);
static_assert(IOCTL_INTERNAL_USB_CYCLE_PORT == 0x22001F);
static_assert(IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION == 0x220027);

// GET_PORT_STATUS bits, written to the ULONG at Argument1.
#define USBD_PORT_ENABLED 0x00000001
#define USBD_PORT_CONNECTED 0x00000002

// Idle notification: the input buffer of IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION.
typedef VOID (*USB_IDLE_CALLBACK)(PVOID context);
struct USB_IDLE_CALLBACK_INFO
{
    USB_IDLE_CALLBACK IdleCallback;
    PVOID IdleContext;
};
typedef USB_IDLE_CALLBACK_INFO *PUSB_IDLE_CALLBACK_INFO;

// The USBDI bus interface, version 1.
inline constexpr GUID USB_BUS_INTERFACE_USBDI_GUID = {
    0xb1a96a13, 0x3de0, 0x4574, {0x9b, 0x01, 0xc0, 0x8f, 0xea, 0x36, 0xef, 0x9b}};
#define USB_BUSIF_USBDI_VERSION_0 0x0000
#define USB_BUSIF_USBDI_VERSION_1 0x0001

struct USBD_VERSION_INFORMATION
{
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
};
typedef USBD_VERSION_INFORMATION *PUSBD_VERSION_INFORMATION;

typedef VOID (*PUSB_BUSIFFN_GETUSBDI_VERSION)(PVOID busContext, PUSBD_VERSION_INFORMATION versionInformation,
                                              PULONG hcdCapabilities);
typedef NTSTATUS (*PUSB_BUSIFFN_QUERY_BUS_TIME)(PVOID busContext, PULONG currentUsbFrame);
typedef NTSTATUS (*PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB)(PVOID busContext, PURB urb);
typedef NTSTATUS (*PUSB_BUSIFFN_QUERY_BUS_INFORMATION)(PVOID busContext, ULONG level,
                                                       PVOID busInformationBuffer,
                                                       PULONG busInformationBufferLength,
                                                       PULONG busInformationActualLength);
typedef BOOLEAN (*PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED)(PVOID busContext);

struct USB_BUS_INTERFACE_USBDI_V1
{
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
};
typedef USB_BUS_INTERFACE_USBDI_V1 *PUSB_BUS_INTERFACE_USBDI_V1;
