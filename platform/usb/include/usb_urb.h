// USB request blocks as the USB stack takes them (IOCTL_INTERNAL_USB_SUBMIT_URB, Argument1).
// Pointer-sized fields follow the host: a URB never leaves this machine, only its data does.
#pragma once

#include <nt_types.h>
#include <usb_descriptors.h>

// ---- USBD status: the stand-in's own values; errors are negative, a stall is 0xC0000004 -----------
typedef LONG USBD_STATUS;
#define USBD_SUCCESS(s) ((LONG)(s) >= 0)
#define USBD_ERROR(s) ((LONG)(s) < 0)
#define USBD_STATUS_SUCCESS ((USBD_STATUS)0x00000000)
#define USBD_STATUS_PENDING ((USBD_STATUS)0x40000000)
#define USBD_STATUS_CRC ((USBD_STATUS)0xC0000001)
#define USBD_STATUS_STALL_PID ((USBD_STATUS)0xC0000004)
#define USBD_STATUS_DEV_NOT_RESPONDING ((USBD_STATUS)0xC0000005)
#define USBD_STATUS_DATA_OVERRUN ((USBD_STATUS)0xC0000008)
#define USBD_STATUS_BUFFER_OVERRUN ((USBD_STATUS)0xC000000C)
#define USBD_STATUS_ENDPOINT_HALTED ((USBD_STATUS)0xC0000030)
#define USBD_STATUS_INVALID_URB_FUNCTION ((USBD_STATUS)0x80000200)
#define USBD_STATUS_INVALID_PARAMETER ((USBD_STATUS)0x80000300)
#define USBD_STATUS_REQUEST_FAILED ((USBD_STATUS)0x80000500)
#define USBD_STATUS_INVALID_PIPE_HANDLE ((USBD_STATUS)0x80000600)
#define USBD_STATUS_NO_BANDWIDTH ((USBD_STATUS)0x80000700)
#define USBD_STATUS_ERROR_SHORT_TRANSFER ((USBD_STATUS)0x80000900)
#define USBD_STATUS_BAD_START_FRAME ((USBD_STATUS)0xC0000A00)
#define USBD_STATUS_ISOCH_REQUEST_FAILED ((USBD_STATUS)0xC0000B00)
#define USBD_STATUS_DEVICE_GONE ((USBD_STATUS)0xC0007000)
#define USBD_STATUS_CANCELED ((USBD_STATUS)0xC0010000)
#define USBD_STATUS_ISO_NOT_ACCESSED_BY_HW ((USBD_STATUS)0xC0020000)
#define USBD_STATUS_NOT_SUPPORTED ((USBD_STATUS)0xC0000E00)

// ---- Handles and pipe/interface records ----------------------------------------------------------
typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

enum USBD_PIPE_TYPE : int32_t
{
    UsbdPipeTypeControl,
    UsbdPipeTypeIsochronous,
    UsbdPipeTypeBulk,
    UsbdPipeTypeInterrupt
};

#define USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE 0x1000u

struct USBD_PIPE_INFORMATION
{
    USHORT MaximumPacketSize; // filled by the stack
    UCHAR EndpointAddress;    // filled by the stack
    UCHAR Interval;           // filled by the stack
    USBD_PIPE_TYPE PipeType;  // filled by the stack
    USBD_PIPE_HANDLE PipeHandle;
    ULONG MaximumTransferSize; // set by the caller
    ULONG PipeFlags;
};
typedef USBD_PIPE_INFORMATION *PUSBD_PIPE_INFORMATION;

struct USBD_INTERFACE_INFORMATION
{
    USHORT Length; // bytes of this record including every pipe
    UCHAR InterfaceNumber;
    UCHAR AlternateSetting;
    UCHAR Class;
    UCHAR SubClass;
    UCHAR Protocol;
    UCHAR Reserved;
    USBD_INTERFACE_HANDLE InterfaceHandle;
    ULONG NumberOfPipes;
    USBD_PIPE_INFORMATION Pipes[1];
};
typedef USBD_INTERFACE_INFORMATION *PUSBD_INTERFACE_INFORMATION;

#define GET_USBD_INTERFACE_SIZE(numEndpoints)                                                                \
    ((USHORT)(offsetof(USBD_INTERFACE_INFORMATION, Pipes) + (numEndpoints) * sizeof(USBD_PIPE_INFORMATION)))

struct USBD_INTERFACE_LIST_ENTRY
{
    PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
    PUSBD_INTERFACE_INFORMATION Interface;
};
typedef USBD_INTERFACE_LIST_ENTRY *PUSBD_INTERFACE_LIST_ENTRY;

// ---- Function codes ------------------------------------------------------------------------------
#define URB_FUNCTION_SELECT_CONFIGURATION 0x0000
#define URB_FUNCTION_SELECT_INTERFACE 0x0001
#define URB_FUNCTION_ABORT_PIPE 0x0002
#define URB_FUNCTION_GET_CURRENT_FRAME_NUMBER 0x0007
#define URB_FUNCTION_CONTROL_TRANSFER 0x0008
#define URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER 0x0009
#define URB_FUNCTION_ISOCH_TRANSFER 0x000A
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE 0x000B
#define URB_FUNCTION_VENDOR_DEVICE 0x0017
#define URB_FUNCTION_VENDOR_INTERFACE 0x0018
#define URB_FUNCTION_VENDOR_ENDPOINT 0x0019
#define URB_FUNCTION_CLASS_DEVICE 0x001A
#define URB_FUNCTION_CLASS_INTERFACE 0x001B
#define URB_FUNCTION_CLASS_ENDPOINT 0x001C
#define URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL 0x001E
#define URB_FUNCTION_CLASS_OTHER 0x001F
#define URB_FUNCTION_VENDOR_OTHER 0x0020
#define URB_FUNCTION_GET_DESCRIPTOR_FROM_INTERFACE 0x0028

// TransferFlags
#define USBD_TRANSFER_DIRECTION_OUT 0x0
#define USBD_TRANSFER_DIRECTION_IN 0x1
#define USBD_SHORT_TRANSFER_OK 0x2
#define USBD_START_ISO_TRANSFER_ASAP 0x4
#define USBD_TRANSFER_DIRECTION(flags) ((flags)&USBD_TRANSFER_DIRECTION_IN)

// ---- URB records ---------------------------------------------------------------------------------
struct MDL;
struct URB;

struct URB_HEADER
{
    USHORT Length; // bytes of the whole URB
    USHORT Function;
    USBD_STATUS Status;
    PVOID UsbdDeviceHandle;
    ULONG UsbdFlags;
};

struct URB_HCD_AREA
{
    PVOID Reserved8[8];
};

struct URB_SELECT_CONFIGURATION
{
    URB_HEADER Hdr;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor; // null deconfigures
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface; // first of the interface records, packed one after another
};

struct URB_SELECT_INTERFACE
{
    URB_HEADER Hdr;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    USBD_INTERFACE_INFORMATION Interface;
};

struct URB_PIPE_REQUEST
{
    URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG Reserved;
};

struct URB_GET_CURRENT_FRAME_NUMBER
{
    URB_HEADER Hdr;
    ULONG FrameNumber;
};

struct URB_CONTROL_DESCRIPTOR_REQUEST
{
    URB_HEADER Hdr;
    PVOID Reserved;
    ULONG Reserved0;
    ULONG TransferBufferLength; // in: buffer size; out: bytes returned
    PVOID TransferBuffer;
    MDL *TransferBufferMDL;
    URB *UrbLink;
    URB_HCD_AREA hca;
    USHORT Reserved1;
    UCHAR Index;
    UCHAR DescriptorType;
    USHORT LanguageId;
    USHORT Reserved2;
};

struct URB_CONTROL_VENDOR_OR_CLASS_REQUEST
{
    URB_HEADER Hdr;
    PVOID Reserved;
    ULONG TransferFlags;
    ULONG TransferBufferLength; // in: wLength; out: bytes moved
    PVOID TransferBuffer;
    MDL *TransferBufferMDL;
    URB *UrbLink;
    URB_HCD_AREA hca;
    UCHAR RequestTypeReservedBits;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Reserved1;
};

struct URB_BULK_OR_INTERRUPT_TRANSFER
{
    URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    MDL *TransferBufferMDL;
    URB *UrbLink;
    URB_HCD_AREA hca;
};

struct USBD_ISO_PACKET_DESCRIPTOR
{
    ULONG Offset;       // in: start of the packet in the buffer
    ULONG Length;       // IN: bytes received; OUT: bytes to send (set by the caller)
    USBD_STATUS Status; // per packet
};
typedef USBD_ISO_PACKET_DESCRIPTOR *PUSBD_ISO_PACKET_DESCRIPTOR;

struct URB_ISOCH_TRANSFER
{
    URB_HEADER Hdr;
    USBD_PIPE_HANDLE PipeHandle;
    ULONG TransferFlags;
    ULONG TransferBufferLength;
    PVOID TransferBuffer;
    MDL *TransferBufferMDL;
    URB *UrbLink;
    URB_HCD_AREA hca;
    ULONG StartFrame; // in unless ASAP; out: the frame actually used
    ULONG NumberOfPackets;
    ULONG ErrorCount;
    USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

struct URB
{
    union
    {
        URB_HEADER UrbHeader;
        URB_SELECT_INTERFACE UrbSelectInterface;
        URB_SELECT_CONFIGURATION UrbSelectConfiguration;
        URB_PIPE_REQUEST UrbPipeRequest;
        URB_GET_CURRENT_FRAME_NUMBER UrbGetCurrentFrameNumber;
        URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
        URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
        URB_BULK_OR_INTERRUPT_TRANSFER UrbBulkOrInterruptTransfer;
        URB_ISOCH_TRANSFER UrbIsochronousTransfer;
    };
};
typedef URB *PURB;

#define GET_ISO_URB_SIZE(n)                                                                                  \
    ((USHORT)(offsetof(URB_ISOCH_TRANSFER, IsoPacket) + (n) * sizeof(USBD_ISO_PACKET_DESCRIPTOR)))
#define GET_SELECT_CONFIGURATION_REQUEST_SIZE(numInterfaces, numPipes)                                       \
    ((USHORT)(offsetof(URB_SELECT_CONFIGURATION, Interface) +                                                \
              (numInterfaces)*offsetof(USBD_INTERFACE_INFORMATION, Pipes) +                                  \
              (numPipes) * sizeof(USBD_PIPE_INFORMATION)))
#define GET_SELECT_INTERFACE_REQUEST_SIZE(numPipes)                                                          \
    ((USHORT)(offsetof(URB_SELECT_INTERFACE, Interface) + GET_USBD_INTERFACE_SIZE(numPipes)))

// ---- Builders ------------------------------------------------------------------------------------
inline void UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType, UCHAR descriptorIndex,
                                         USHORT languageId, PVOID transferBuffer, MDL *mdl,
                                         ULONG bufferLength, PURB link)
{
    URB_CONTROL_DESCRIPTOR_REQUEST &r = urb->UrbControlDescriptorRequest;
    r.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    r.Hdr.Length = length;
    r.TransferBufferLength = bufferLength;
    r.TransferBufferMDL = mdl;
    r.TransferBuffer = transferBuffer;
    r.DescriptorType = descriptorType;
    r.Index = descriptorIndex;
    r.LanguageId = languageId;
    r.UrbLink = link;
}

inline void UsbBuildVendorRequest(PURB urb, USHORT function, USHORT length, ULONG transferFlags,
                                  UCHAR reservedBits, UCHAR request, USHORT value, USHORT index,
                                  PVOID transferBuffer, MDL *mdl, ULONG bufferLength, PURB link)
{
    URB_CONTROL_VENDOR_OR_CLASS_REQUEST &r = urb->UrbControlVendorClassRequest;
    r.Hdr.Function = function;
    r.Hdr.Length = length;
    r.TransferBufferLength = bufferLength;
    r.TransferBufferMDL = mdl;
    r.TransferBuffer = transferBuffer;
    r.RequestTypeReservedBits = reservedBits;
    r.Request = request;
    r.Value = value;
    r.Index = index;
    r.TransferFlags = transferFlags;
    r.UrbLink = link;
}

inline void UsbBuildInterruptOrBulkTransferRequest(PURB urb, USHORT length, USBD_PIPE_HANDLE pipe,
                                                   PVOID transferBuffer, MDL *mdl, ULONG bufferLength,
                                                   ULONG transferFlags, PURB link)
{
    URB_BULK_OR_INTERRUPT_TRANSFER &r = urb->UrbBulkOrInterruptTransfer;
    r.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    r.Hdr.Length = length;
    r.PipeHandle = pipe;
    r.TransferBufferLength = bufferLength;
    r.TransferBufferMDL = mdl;
    r.TransferBuffer = transferBuffer;
    r.TransferFlags = transferFlags;
    r.UrbLink = link;
}

inline void UsbBuildSelectConfigurationRequest(PURB urb, USHORT length, PUSB_CONFIGURATION_DESCRIPTOR config)
{
    urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->UrbSelectConfiguration.Hdr.Length = length;
    urb->UrbSelectConfiguration.ConfigurationDescriptor = config;
}

inline void UsbBuildSelectInterfaceRequest(PURB urb, USHORT length, USBD_CONFIGURATION_HANDLE config,
                                           UCHAR interfaceNumber, UCHAR alternateSetting)
{
    urb->UrbSelectInterface.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbSelectInterface.Hdr.Length = length;
    urb->UrbSelectInterface.Interface.AlternateSetting = alternateSetting;
    urb->UrbSelectInterface.Interface.InterfaceNumber = interfaceNumber;
    urb->UrbSelectInterface.Interface.Length = (USHORT)(length - offsetof(URB_SELECT_INTERFACE, Interface));
    urb->UrbSelectInterface.ConfigurationHandle = config;
}
