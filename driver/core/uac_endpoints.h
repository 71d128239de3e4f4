// The isochronous endpoints of one AudioStreaming alternate setting, checked before a stream offers
// or runs on them, and the largest packet a stream's transfers carry. A device's endpoint descriptors
// are taken on trust nowhere: an alternate setting whose data endpoint is missing, of another
// transfer type or of the other direction, or a format whose packets do not fit, would be a dead
// stream or a bus error.
//
// Pure functions over the configuration bytes; callable at any IRQL up to DISPATCH_LEVEL.
#pragma once

#include <ntkernel.h>

// What the checks found for an alternate setting.
struct UacStreamEndpoints
{
    UCHAR DataAddress;     // bEndpointAddress of the data endpoint (the setting's first)
    ULONG MaxPacketBytes;  // what one packet may carry (see UacMaxPacketBytes)
    ULONG PacketsPerFrame; // packets in a 1 ms frame (see UacPacketsPerFrame)
    BOOLEAN Feedback;      // class 2.0 render: an explicit-feedback endpoint follows the data endpoint
};

// Bytes one packet may carry: wMaxPacketSize bits 0-10, at high speed times one plus the additional
// transactions of bits 11-12.
ULONG UacMaxPacketBytes(USHORT maxPacketSize, BOOLEAN highSpeed);
// Packets a 1 ms frame carries: 1 at full speed, 8 >> (bInterval - 1) at high speed with bInterval
// clamped to 1..4 (a longer interval would give no packet at all).
ULONG UacPacketsPerFrame(UCHAR interval, BOOLEAN highSpeed);

// Checks alternate setting `alternate` of streaming interface `interfaceNumber` in the configuration
// `config` of `total` bytes. The setting must exist, and the first interface descriptor of that number
// and setting (the one the bus selects) must be audio streaming; its bNumEndpoints endpoint descriptors
// must lie whole inside the configuration before the next interface; the first is the data endpoint and
// must be isochronous, of data (or implicit-feedback data) usage, OUT for render and IN for capture; in
// class 2.0 a render setting's second endpoint is the explicit-feedback endpoint and must be isochronous
// IN, polled once a frame (bInterval 4 or more at high speed); wMaxPacketSize must not name the reserved
// transaction count. STATUS_SUCCESS with `endpoints` filled, else STATUS_DEVICE_CONFIGURATION_ERROR and
// `rule` (static text) names what failed. The endpoint a class 1.0 bSynchAddress names is not read.
NTSTATUS UacCheckStreamEndpoints(const UCHAR *config, ULONG total, UCHAR interfaceNumber, UCHAR alternate,
                                 BOOLEAN capture, BOOLEAN classTwo, BOOLEAN highSpeed,
                                 UacStreamEndpoints *endpoints, PCSTR *rule);

// Checks what the bus checks of any setting it selects, by configuration or by interface: alternate
// setting `alternate` of interface `interfaceNumber` exists, and its bNumEndpoints endpoint descriptors
// lie whole inside the configuration before the next interface. STATUS_SUCCESS, else
// STATUS_DEVICE_CONFIGURATION_ERROR and `rule` (static text) names what failed. UacCheckStreamEndpoints
// holds a streaming setting to the same rule.
NTSTATUS UacCheckSettingEndpoints(const UCHAR *config, ULONG total, UCHAR interfaceNumber, UCHAR alternate,
                                  PCSTR *rule);

// The lowest rate a stream runs at: a packet interval of 1 ms must carry at least one whole frame.
inline constexpr ULONG UAC_MIN_STREAM_RATE_HZ = 1000;

// The highest rate explicit feedback can set: the measurement keeps only packets within this many Hz
// of the nominal rate, and its correction never pushes the average further than that.
inline constexpr ULONG UAC_FEEDBACK_WINDOW_HZ = 1000;

// The largest packet, in bytes, the render transfer path builds for `rate` at `blockAlign` bytes a
// frame: whole samples per packet interval and one more where a fraction is carried (the 44.1 kHz
// family), never more than one above the nominal share; with explicit feedback at the highest rate the
// feedback window allows. A capture stream's device sends no more at the nominal rate.
ULONG UacLargestPacketBytes(ULONG rate, ULONG blockAlign, ULONG packetsPerFrame, BOOLEAN feedback);
