// The filter half of the port-class framework as miniports see it: kernel-streaming records (property
// headers, data ranges, property descriptions, jack descriptions), the filter, pin, node and
// connection descriptors a miniport describes itself with, and the property requests the port sends
// to the handlers of its automation tables.
//
// Records that cross to clients in property buffers hold no pointers and have fixed layouts, checked
// below; the descriptors hold pointers and follow the host (PinSize and NodeSize are their sizeof).
#pragma once

#include <ks_guids.h>
#include <ntkernel.h>
#include <pc_events.h>
#include <pc_unknown.h>

struct IRP;

// ---- Property headers -----------------------------------------------------------------------------
enum : ULONG
{
    KSPROPERTY_TYPE_GET = 0x00000001,
    KSPROPERTY_TYPE_SET = 0x00000002,
    KSPROPERTY_TYPE_BASICSUPPORT = 0x00000200,
    KSPROPERTY_TYPE_TOPOLOGY = 0x10000000, // the request starts with a KSNODEPROPERTY
};

struct KSPROPERTY
{
    GUID Set;
    ULONG Id;
    ULONG Flags; // KSPROPERTY_TYPE_*
};
typedef KSPROPERTY KSIDENTIFIER, KSEVENT;
typedef KSPROPERTY *PKSPROPERTY;

// A property of a node; the instance (a channel, for the audio set) follows.
struct KSNODEPROPERTY
{
    KSPROPERTY Property;
    ULONG NodeId;
    ULONG Reserved;
};
typedef KSNODEPROPERTY *PKSNODEPROPERTY;

struct KSNODEPROPERTY_AUDIO_CHANNEL
{
    KSNODEPROPERTY NodeProperty;
    LONG Channel;
    ULONG Reserved;
};

// A property of a pin, asked of the filter.
struct KSP_PIN
{
    KSPROPERTY Property;
    ULONG PinId;
    ULONG Reserved;
};

static_assert(sizeof(KSPROPERTY) == 24 && sizeof(KSNODEPROPERTY) == 32 && sizeof(KSP_PIN) == 32 &&
                  sizeof(KSNODEPROPERTY_AUDIO_CHANNEL) == 40,
              "property headers have fixed layouts");

// ---- Data formats and ranges ----------------------------------------------------------------------
// A data format and a data range share the 64-byte header; an audio range adds 24 bytes of limits, a
// data format is followed by its format record (a wave format at byte 64, or 72 behind attributes).
struct KSDATAFORMAT
{
    ULONG FormatSize; // bytes of the whole record
    ULONG Flags;      // KSDATAFORMAT_ATTRIBUTES: an attribute list follows the record
    ULONG SampleSize;
    ULONG Reserved;
    GUID MajorFormat;
    GUID SubFormat;
    GUID Specifier;
};
typedef KSDATAFORMAT KSDATARANGE;
typedef KSDATAFORMAT *PKSDATAFORMAT, *PKSDATARANGE;
inline constexpr ULONG KSDATAFORMAT_ATTRIBUTES = 0x2;

struct KSDATARANGE_AUDIO
{
    KSDATARANGE DataRange;
    ULONG MaximumChannels;
    ULONG MinimumBitsPerSample;
    ULONG MaximumBitsPerSample;
    ULONG MinimumSampleFrequency;
    ULONG MaximumSampleFrequency;
    ULONG Reserved;
};
typedef KSDATARANGE_AUDIO *PKSDATARANGE_AUDIO;

static_assert(sizeof(KSDATAFORMAT) == 64 && sizeof(KSDATARANGE_AUDIO) == 88,
              "data ranges have fixed layouts");

// ---- Property descriptions (basic support) --------------------------------------------------------
enum : ULONG
{
    KSPROPERTY_MEMBER_RANGES = 1,
    KSPROPERTY_MEMBER_STEPPEDRANGES = 2,
    KSPROPERTY_MEMBER_VALUES = 3,
};
inline constexpr ULONG KSPROPERTY_MEMBER_FLAG_BASICSUPPORT_MULTICHANNEL = 2;
// Variant types of property descriptions.
enum : ULONG
{
    VT_I4 = 3,
    VT_BOOL = 11,
    VT_UI4 = 19,
};

struct KSPROPERTY_DESCRIPTION
{
    ULONG AccessFlags; // KSPROPERTY_TYPE_* the property answers
    ULONG DescriptionSize;
    KSIDENTIFIER PropTypeSet; // Set: KSPROPTYPESETID_General, Id: the variant type
    ULONG MembersListCount;
    ULONG Reserved;
};

struct KSPROPERTY_MEMBERSHEADER
{
    ULONG MembersFlags; // KSPROPERTY_MEMBER_*
    ULONG MembersSize;
    ULONG MembersCount;
    ULONG Flags;
};

struct KSPROPERTY_BOUNDS_LONG
{
    LONG SignedMinimum;
    LONG SignedMaximum;
};

struct KSPROPERTY_STEPPING_LONG
{
    ULONG SteppingDelta;
    ULONG Reserved;
    KSPROPERTY_BOUNDS_LONG Bounds;
};

// A counted list answer: Size bytes in all (header included), Count items after the header.
struct KSMULTIPLE_ITEM
{
    ULONG Size;
    ULONG Count;
};

static_assert(sizeof(KSPROPERTY_DESCRIPTION) == 40 && sizeof(KSPROPERTY_MEMBERSHEADER) == 16 &&
                  sizeof(KSPROPERTY_STEPPING_LONG) == 16 && sizeof(KSPROPERTY_BOUNDS_LONG) == 8 &&
                  sizeof(KSMULTIPLE_ITEM) == 8,
              "property descriptions have fixed layouts");

// ---- Jacks ----------------------------------------------------------------------------------------
struct KSJACK_DESCRIPTION
{
    ULONG ChannelMapping;
    ULONG Color;
    ULONG ConnectionType;
    ULONG GeoLocation;
    ULONG GenLocation;
    ULONG PortConnection;
    ULONG IsConnected;
};

inline constexpr ULONG JACKDESC2_PRESENCE_DETECT_CAPABILITY = 0x1;
struct KSJACK_DESCRIPTION2
{
    ULONG DeviceStateInfo;
    ULONG JackCapabilities;
};

static_assert(sizeof(KSJACK_DESCRIPTION) == 28 && sizeof(KSJACK_DESCRIPTION2) == 8,
              "jack answers have fixed layouts");

// ---- Pins -----------------------------------------------------------------------------------------
enum KSPIN_DATAFLOW : ULONG
{
    KSPIN_DATAFLOW_IN = 1,
    KSPIN_DATAFLOW_OUT = 2,
};
enum KSPIN_COMMUNICATION : ULONG
{
    KSPIN_COMMUNICATION_NONE = 0,
    KSPIN_COMMUNICATION_SINK = 1,
    KSPIN_COMMUNICATION_SOURCE = 2,
    KSPIN_COMMUNICATION_BOTH = 3,
    KSPIN_COMMUNICATION_BRIDGE = 4,
};

inline constexpr ULONG KSINTERFACE_STANDARD_STREAMING = 0;
typedef KSIDENTIFIER KSPIN_INTERFACE, KSPIN_MEDIUM;

struct KSPIN_DESCRIPTOR
{
    ULONG InterfacesCount;
    const KSPIN_INTERFACE *Interfaces;
    ULONG MediumsCount;
    const KSPIN_MEDIUM *Mediums;
    ULONG DataRangesCount;
    const PKSDATARANGE *DataRanges;
    KSPIN_DATAFLOW DataFlow;
    KSPIN_COMMUNICATION Communication;
    const GUID *Category;
    const GUID *Name;
    LONGLONG Reserved;
};

// ---- Automation tables ----------------------------------------------------------------------------
struct PCPROPERTY_REQUEST;
typedef PCPROPERTY_REQUEST *PPCPROPERTY_REQUEST;
typedef NTSTATUS (*PCPFNPROPERTY_HANDLER)(PPCPROPERTY_REQUEST PropertyRequest);

enum : ULONG
{
    PCPROPERTY_ITEM_FLAG_GET = KSPROPERTY_TYPE_GET,
    PCPROPERTY_ITEM_FLAG_SET = KSPROPERTY_TYPE_SET,
    PCPROPERTY_ITEM_FLAG_BASICSUPPORT = KSPROPERTY_TYPE_BASICSUPPORT,
};

struct PCPROPERTY_ITEM
{
    const GUID *Set;
    ULONG Id;
    ULONG Flags; // the verbs the handler serves
    PCPFNPROPERTY_HANDLER Handler;
};
typedef PCPROPERTY_ITEM *PPCPROPERTY_ITEM;

struct PCAUTOMATION_TABLE
{
    ULONG PropertyItemSize; // sizeof(PCPROPERTY_ITEM)
    ULONG PropertyCount;
    const PCPROPERTY_ITEM *Properties;
    ULONG MethodItemSize;
    ULONG MethodCount;
    const void *Methods;
    ULONG EventItemSize; // sizeof(PCEVENT_ITEM)
    ULONG EventCount;
    const PCEVENT_ITEM *Events;
    ULONG Reserved;
};
typedef PCAUTOMATION_TABLE *PPCAUTOMATION_TABLE;

// What the port hands a property handler. Instance points past the request's header (KSNODEPROPERTY
// for a node, so Instance[0] is the channel; KSPROPERTY otherwise, so Instance[0] is the pin id).
// Value holds exactly ValueSize bytes; the handler sets ValueSize to the bytes it wrote, or for
// STATUS_BUFFER_OVERFLOW to the bytes it needs. A failed request must leave Value as it was.
// Requests to one filter are serialised by the port.
struct PCPROPERTY_REQUEST
{
    PUNKNOWN MajorTarget; // the miniport
    PUNKNOWN MinorTarget; // the stream, for a pin property of an open pin; else null
    ULONG Node;           // node index, or PCFILTER_NODE for a filter or pin property
    const PCPROPERTY_ITEM *PropertyItem;
    ULONG Verb; // one KSPROPERTY_TYPE_* value
    ULONG InstanceSize;
    PVOID Instance;
    ULONG ValueSize;
    PVOID Value;
    IRP *Irp;
};

// ---- Descriptors ----------------------------------------------------------------------------------
inline constexpr ULONG PCFILTER_NODE = ULONG(-1);

struct PCPIN_DESCRIPTOR
{
    ULONG MaxGlobalInstanceCount;
    ULONG MaxFilterInstanceCount;
    ULONG MinFilterInstanceCount;
    const PCAUTOMATION_TABLE *AutomationTable;
    KSPIN_DESCRIPTOR KsPinDescriptor;
};
typedef PCPIN_DESCRIPTOR *PPCPIN_DESCRIPTOR;

struct PCNODE_DESCRIPTOR
{
    ULONG Flags;
    const PCAUTOMATION_TABLE *AutomationTable;
    const GUID *Type;
    const GUID *Name;
};
typedef PCNODE_DESCRIPTOR *PPCNODE_DESCRIPTOR;

// A filter pin when the node is PCFILTER_NODE; else a node's pin: 0 its output, 1 and up its inputs.
struct PCCONNECTION_DESCRIPTOR
{
    ULONG FromNode;
    ULONG FromNodePin;
    ULONG ToNode;
    ULONG ToNodePin;
};
typedef PCCONNECTION_DESCRIPTOR *PPCCONNECTION_DESCRIPTOR;
static_assert(sizeof(PCCONNECTION_DESCRIPTOR) == 16, "a connection is four 32-bit values");

struct PCFILTER_DESCRIPTOR
{
    ULONG Version;
    const PCAUTOMATION_TABLE *AutomationTable;
    ULONG PinSize; // sizeof(PCPIN_DESCRIPTOR)
    ULONG PinCount;
    const PCPIN_DESCRIPTOR *Pins;
    ULONG NodeSize; // sizeof(PCNODE_DESCRIPTOR)
    ULONG NodeCount;
    const PCNODE_DESCRIPTOR *Nodes;
    ULONG ConnectionCount;
    const PCCONNECTION_DESCRIPTOR *Connections;
    ULONG CategoryCount;
    const GUID *Categories;
};
typedef PCFILTER_DESCRIPTOR *PPCFILTER_DESCRIPTOR;

// ---- Power ----------------------------------------------------------------------------------------
// Answered by a miniport that wants to hear of its device's power changes (PASSIVE_LEVEL).
struct IPowerNotify : IUnknown
{
    virtual void PowerChangeNotify(POWER_STATE PowerState) = 0;
};
typedef IPowerNotify *PPOWERNOTIFY;
