// USB wire descriptors: packed, fixed-width, byte-exact on every host.
// Multi-byte fields are little-endian on the wire; this host is little-endian as the target is.
#pragma once

#include <nt_types.h>

#define USB_DEVICE_DESCRIPTOR_TYPE 0x01
#define USB_CONFIGURATION_DESCRIPTOR_TYPE 0x02
#define USB_STRING_DESCRIPTOR_TYPE 0x03
#define USB_INTERFACE_DESCRIPTOR_TYPE 0x04
#define USB_ENDPOINT_DESCRIPTOR_TYPE 0x05
#define USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE 0x06
#define USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE 0x0B
#define USB_HID_DESCRIPTOR_TYPE 0x21
#define USB_CS_INTERFACE_DESCRIPTOR_TYPE 0x24
#define USB_CS_ENDPOINT_DESCRIPTOR_TYPE 0x25

#define USB_ENDPOINT_DIRECTION_MASK 0x80
#define USB_ENDPOINT_DIRECTION_IN(a) (((a)&USB_ENDPOINT_DIRECTION_MASK) != 0)
#define USB_ENDPOINT_DIRECTION_OUT(a) (((a)&USB_ENDPOINT_DIRECTION_MASK) == 0)
#define USB_ENDPOINT_TYPE_MASK 0x03
#define USB_ENDPOINT_TYPE_CONTROL 0x00
#define USB_ENDPOINT_TYPE_ISOCHRONOUS 0x01
#define USB_ENDPOINT_TYPE_BULK 0x02
#define USB_ENDPOINT_TYPE_INTERRUPT 0x03

#define USB_DEVICE_CLASS_AUDIO 0x01
#define USB_DEVICE_CLASS_HUMAN_INTERFACE 0x03
#define USB_AUDIO_SUBCLASS_AUDIOCONTROL 0x01
#define USB_AUDIO_SUBCLASS_AUDIOSTREAMING 0x02
#define USB_AUDIO_PROTOCOL_UAC2 0x20

// Standard requests and request-type bits (bmRequestType).
#define USB_REQUEST_GET_STATUS 0x00
#define USB_REQUEST_CLEAR_FEATURE 0x01
#define USB_REQUEST_SET_FEATURE 0x03
#define USB_REQUEST_GET_DESCRIPTOR 0x06
#define USB_REQUEST_SET_CONFIGURATION 0x09
#define USB_REQUEST_SET_INTERFACE 0x0B
#define USB_REQUEST_TYPE_DIR_IN 0x80
#define USB_REQUEST_TYPE_STANDARD 0x00
#define USB_REQUEST_TYPE_CLASS 0x20
#define USB_REQUEST_TYPE_VENDOR 0x40
#define USB_REQUEST_RECIPIENT_DEVICE 0x00
#define USB_REQUEST_RECIPIENT_INTERFACE 0x01
#define USB_REQUEST_RECIPIENT_ENDPOINT 0x02
#define USB_REQUEST_RECIPIENT_OTHER 0x03

#pragma pack(push, 1)

struct USB_COMMON_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
};

struct USB_DEVICE_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    USHORT idVendor;
    USHORT idProduct;
    USHORT bcdDevice;
    UCHAR iManufacturer;
    UCHAR iProduct;
    UCHAR iSerialNumber;
    UCHAR bNumConfigurations;
};

struct USB_CONFIGURATION_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT wTotalLength;
    UCHAR bNumInterfaces;
    UCHAR bConfigurationValue;
    UCHAR iConfiguration;
    UCHAR bmAttributes;
    UCHAR MaxPower;
};

struct USB_INTERFACE_ASSOCIATION_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bFirstInterface;
    UCHAR bInterfaceCount;
    UCHAR bFunctionClass;
    UCHAR bFunctionSubClass;
    UCHAR bFunctionProtocol;
    UCHAR iFunction;
};

struct USB_INTERFACE_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bInterfaceNumber;
    UCHAR bAlternateSetting;
    UCHAR bNumEndpoints;
    UCHAR bInterfaceClass;
    UCHAR bInterfaceSubClass;
    UCHAR bInterfaceProtocol;
    UCHAR iInterface;
};

// The 7 standard bytes; audio-class 1.0 endpoints add bRefresh and bSynchAddress (9 bytes).
struct USB_ENDPOINT_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
};

struct USB_AUDIO_ENDPOINT_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bEndpointAddress;
    UCHAR bmAttributes;
    USHORT wMaxPacketSize;
    UCHAR bInterval;
    UCHAR bRefresh;
    UCHAR bSynchAddress;
};

struct USB_STRING_DESCRIPTOR
{
    UCHAR bLength;
    UCHAR bDescriptorType;
    WCHAR bString[1];
};

#pragma pack(pop)

static_assert(sizeof(USB_COMMON_DESCRIPTOR) == 2);
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_AUDIO_ENDPOINT_DESCRIPTOR) == 9);
static_assert(sizeof(USB_STRING_DESCRIPTOR) == 4);
static_assert(sizeof(WCHAR) == 2);

typedef USB_COMMON_DESCRIPTOR *PUSB_COMMON_DESCRIPTOR;
typedef USB_DEVICE_DESCRIPTOR *PUSB_DEVICE_DESCRIPTOR;
typedef USB_CONFIGURATION_DESCRIPTOR *PUSB_CONFIGURATION_DESCRIPTOR;
typedef USB_INTERFACE_DESCRIPTOR *PUSB_INTERFACE_DESCRIPTOR;
typedef USB_ENDPOINT_DESCRIPTOR *PUSB_ENDPOINT_DESCRIPTOR;
typedef USB_STRING_DESCRIPTOR *PUSB_STRING_DESCRIPTOR;
