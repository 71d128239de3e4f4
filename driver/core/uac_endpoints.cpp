#include "driver/core/uac_endpoints.h"

#include <usb_descriptors.h>

#include "driver/core/uac_descriptors.h"

namespace
{
constexpr UCHAR kTransferTypeMask = 0x03, kIsochronous = 0x01;
// bmAttributes bits 4-5: data, feedback, implicit-feedback data, reserved.
constexpr UCHAR kUsageMask = 0x30, kUsageFeedback = 0x10, kUsageReserved = 0x30;
constexpr UCHAR kDirectionIn = 0x80;
constexpr ULONG kReservedTransactions = 3;
constexpr ULONG kMaxEndpoints = 30; // an interface has at most 15 endpoints a direction

ULONG Transactions(USHORT maxPacketSize)
{
    return (maxPacketSize >> 11) & 3;
}

// The interface descriptor of (number, alternate) that the bus selects: the first with both, whatever
// its class, as the stack finds it. Null when there is none.
const UCHAR *FindSetting(const UCHAR *config, ULONG total, UCHAR number, UCHAR alternate)
{
    for (ULONG at = 0; total - at >= 2 && config[at] >= 2 && config[at] <= total - at; at += config[at])
        if (config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && config[at] >= UAC_INTERFACE_LENGTH &&
            config[at + 2] == number && config[at + 3] == alternate)
            return config + at;
    return nullptr;
}

// The rule the bus holds a setting to when it selects it: its bNumEndpoints endpoint descriptors lie
// whole between it and the next interface (or association). Null when they do; the first two are put
// in `found` when it is given.
PCSTR EndpointsMissing(const UCHAR *config, ULONG total, const UCHAR *setting, const UCHAR *found[2])
{
    const ULONG wanted = setting[4] < kMaxEndpoints ? setting[4] : kMaxEndpoints;
    ULONG count = 0;
    ULONG at = ULONG(setting - config) + setting[0];
    while (count < wanted && total - at >= 2 && config[at] >= 2 && config[at] <= total - at &&
           config[at + 1] != USB_INTERFACE_DESCRIPTOR_TYPE &&
           config[at + 1] != USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE)
    {
        if (config[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE)
        {
            if (config[at] < UAC_ENDPOINT_LENGTH)
                break;
            if (found && count < 2)
                found[count] = config + at;
            ++count;
        }
        at += config[at];
    }
    return count < setting[4] ? "endpoint descriptor missing or cut off" : nullptr;
}
} // namespace

ULONG UacMaxPacketBytes(USHORT maxPacketSize, BOOLEAN highSpeed)
{
    const ULONG base = maxPacketSize & 0x7FF;
    return highSpeed ? base * (1 + Transactions(maxPacketSize)) : base;
}

ULONG UacPacketsPerFrame(UCHAR interval, BOOLEAN highSpeed)
{
    if (!highSpeed)
        return 1;
    const ULONG clamped = interval < 1 ? 1 : (interval > 4 ? 4 : interval);
    return 8u >> (clamped - 1);
}

NTSTATUS UacCheckStreamEndpoints(const UCHAR *config, ULONG total, UCHAR interfaceNumber, UCHAR alternate,
                                 BOOLEAN capture, BOOLEAN classTwo, BOOLEAN highSpeed,
                                 UacStreamEndpoints *endpoints, PCSTR *rule)
{
    PCSTR broken = nullptr;
    const UCHAR *setting = config ? FindSetting(config, total, interfaceNumber, alternate) : nullptr;
    const UCHAR *found[2] = {};
    if (!setting)
        broken = "no such alternate setting";
    // A device that repeats the pair under another class first would have the stream run on that
    // interface's endpoints, not on the ones checked here.
    else if (setting[5] != USB_DEVICE_CLASS_AUDIO || setting[6] != USB_AUDIO_SUBCLASS_AUDIOSTREAMING)
        broken = "the setting the bus selects is not audio streaming";
    else if (setting[4] == 0)
        broken = "no endpoint";
    else
        broken = EndpointsMissing(config, total, setting, found);
    if (!broken)
    {
        const UCHAR *data = found[0];
        const USHORT maxPacket = USHORT(data[4] | data[5] << 8);
        if ((data[3] & kTransferTypeMask) != kIsochronous)
            broken = "data endpoint not isochronous";
        else if ((data[3] & kUsageMask) == kUsageFeedback || (data[3] & kUsageMask) == kUsageReserved)
            broken = "data endpoint's usage is not data";
        else if (((data[2] & kDirectionIn) != 0) != (capture != FALSE))
            broken = capture ? "data endpoint not IN for capture" : "data endpoint not OUT for render";
        else if (highSpeed && Transactions(maxPacket) == kReservedTransactions)
            broken = "data endpoint names reserved transactions";
        else if (classTwo && !capture && found[1] &&
                 ((found[1][3] & kTransferTypeMask) != kIsochronous || !(found[1][2] & kDirectionIn)))
            broken = "feedback endpoint not isochronous IN";
        // A feedback transfer carries one packet a frame.
        else if (classTwo && !capture && found[1] && UacPacketsPerFrame(found[1][6], highSpeed) != 1)
            broken = "feedback endpoint polls more than once a frame";
        else if (endpoints)
        {
            endpoints->DataAddress = data[2];
            endpoints->MaxPacketBytes = UacMaxPacketBytes(maxPacket, highSpeed);
            endpoints->PacketsPerFrame = UacPacketsPerFrame(data[6], highSpeed);
            endpoints->Feedback = classTwo && !capture && found[1] != nullptr;
        }
    }
    if (rule)
        *rule = broken;
    return broken ? STATUS_DEVICE_CONFIGURATION_ERROR : STATUS_SUCCESS;
}

NTSTATUS UacCheckSettingEndpoints(const UCHAR *config, ULONG total, UCHAR interfaceNumber, UCHAR alternate,
                                  PCSTR *rule)
{
    const UCHAR *setting = config ? FindSetting(config, total, interfaceNumber, alternate) : nullptr;
    const PCSTR broken =
        setting ? EndpointsMissing(config, total, setting, nullptr) : "no such alternate setting";
    if (rule)
        *rule = broken;
    return broken ? STATUS_DEVICE_CONFIGURATION_ERROR : STATUS_SUCCESS;
}

ULONG UacLargestPacketBytes(ULONG rate, ULONG blockAlign, ULONG packetsPerFrame, BOOLEAN feedback)
{
    const ULONG perSecond = (packetsPerFrame ? packetsPerFrame : 1) * 1000;
    const ULONG slot = rate / perSecond + 1; // the transfer path's cap
    const ULONG highest = feedback ? rate + UAC_FEEDBACK_WINDOW_HZ : rate;
    ULONG samples = (highest + perSecond - 1) / perSecond;
    if (samples > slot)
        samples = slot;
    return samples * blockAlign;
}
