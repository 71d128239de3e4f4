// Audio-class control requests: one builder for every entity request of both class versions, the
// level conversions between the system's levels and the wire's, and the streaming interface's
// valid-alternate-settings check.
//
// Every request is a synchronous 80-byte control URB through the adapter's IUsbLowerRequests
// (PASSIVE_LEVEL). Selectors with bit 7 set are vendor controls (URB_FUNCTION_VENDOR_INTERFACE),
// all others class requests (URB_FUNCTION_CLASS_INTERFACE); wIndex is (entity << 8) | interface.
#pragma once

#include "driver/core/uac_descriptors.h"
#include "driver/core/usb_lower_requests.h"

// Request codes of the two class versions.
enum : UCHAR
{
    UAC1_SET_CUR = 0x01,
    UAC1_GET_CUR = 0x81,
    UAC1_GET_MIN = 0x82,
    UAC1_GET_MAX = 0x83,
    UAC1_GET_RES = 0x84,
    UAC1_GET_MEM = 0x85,
    UAC1_VENDOR_LIST = 0x86, // the output-type list
    UAC2_CUR = 0x01,
    UAC2_RANGE = 0x02,
    UAC2_MEM = 0x03,
};

inline constexpr USHORT UAC_MEMORY_VALUE = 16; // wValue of the vendor extension block
inline constexpr ULONG UAC_MEMORY_MAX = 512;   // the block is never read beyond this
// The longest answer any request takes: a clock's sub-range list at its cap of 64 (2 + 64 × 12).
inline constexpr ULONG UAC_ANSWER_MAX = 770;
inline constexpr USHORT UAC_JACK_TABLE = 0x02FF; // jack count and table
inline constexpr USHORT UAC_JACK_PRESENCE = 0x0200;
inline constexpr USHORT UAC_OUTPUT_TYPE = 0x0800;
inline constexpr USHORT UAC2_VALID_ALTERNATES = 0x0200;

// Channels 5, 6 and 7, 8 trade places on the wire.
UCHAR UacWireChannel(ULONG channel);

// Levels: the system's 1/65536 dB against the wire's 1/256 dB (two bytes) or 1/4 dB (one byte). Sets
// saturate to the wire's range, so a level beyond it goes out as the nearest end, never wrapped.
LONG UacLevelFromWire(LONG wire, ULONG bytes);
LONG UacLevelToWire(LONG level, ULONG bytes);
// The wire size of a feature-unit control: one byte for bass, mid, treble and the switches.
ULONG UacLevelBytes(UCHAR control);

// Where requests go: the adapter, the AudioControl interface, the class version and the pool tag of
// the request blocks.
struct UacRequestTarget
{
    IUsbLowerRequests *Lower;
    UCHAR InterfaceNumber;
    UacVersion Version;
    ULONG PoolTag;
};

// One request. IN: `length` bytes are asked for; with `returned` null an answer shorter than that is
// STATUS_UNSUCCESSFUL, otherwise *returned tells how many arrived. Nothing is written to `buffer` on a
// failure. OUT: `length` bytes of `buffer` are sent. STATUS_INSUFFICIENT_RESOURCES when the request
// block cannot be had, STATUS_INVALID_PARAMETER for a missing target or buffer.
NTSTATUS UacRequest(const UacRequestTarget &target, BOOLEAN in, UCHAR request, USHORT value, UCHAR entity,
                    PVOID buffer, ULONG length, PULONG returned = nullptr);

// The same with the request form chosen by the caller: the class 1.0 terminals' jack and output-type
// requests are the chip's own (vendor) although their selectors lack bit 7.
NTSTATUS UacFormRequest(const UacRequestTarget &target, BOOLEAN vendor, BOOLEAN in, UCHAR request,
                        USHORT value, UCHAR entity, PVOID buffer, ULONG length, PULONG returned = nullptr);

// The streaming interface's valid-alternate-settings control (class 2.0): alternate setting 0 is
// always valid; another is valid when the answer holds its bit map (bControlSize bytes, at most four
// used) and the bit is set. A failed or short answer validates nothing but 0.
BOOLEAN UacIsAlternateSettingValid(IUsbLowerRequests *lower, UCHAR streamingInterface,
                                   UCHAR alternateSetting);
