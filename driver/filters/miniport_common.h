// What the wave-cyclic and topology miniports share: the driver's private property set, the analog
// bridge range, the power-state rule and the size protocol of property answers.
#pragma once

#include <pc_filter.h>
#include <pc_port.h>

// {1B4400F0-9627-4EE7-A593-B37C034EF0DE}: stream information and format checks on wave filters,
// a version word and level sets on topology filters.
inline constexpr GUID KSPROPSETID_MiniportPrivate = {
    0x1B4400F0, 0x9627, 0x4EE7, {0xA5, 0x93, 0xB3, 0x7C, 0x03, 0x4E, 0xF0, 0xDE}};

// The 64-byte analog range of every bridge pin.
inline constexpr KSDATARANGE kAnalogBridgeRange = {
    sizeof(KSDATARANGE),        0, 0, 0, KSDATAFORMAT_TYPE_AUDIO, KSDATAFORMAT_SUBTYPE_ANALOG,
    KSDATAFORMAT_SPECIFIER_NONE};

// Room of a miniport's name buffer in bytes (102, paged) and the bytes its formatted name may use.
inline constexpr ULONG MINIPORT_NAME_BUFFER_BYTES = 102;

// A miniport keeps a power state D0 to D3 that it is told of; anything else is ignored.
inline void TakePowerState(DEVICE_POWER_STATE *stored, POWER_STATE state)
{
    const DEVICE_POWER_STATE next = state.DeviceState;
    if (next != *stored && next >= PowerDeviceD0 && next <= PowerDeviceD3)
        *stored = next;
}

// The size protocol of a variable answer of `needed` bytes: a value size of 0 asks for the size
// (STATUS_BUFFER_OVERFLOW), a smaller one is STATUS_BUFFER_TOO_SMALL; otherwise `answer` is copied and
// the value size becomes `needed`. Nothing is written on failure.
NTSTATUS AnswerValue(PPCPROPERTY_REQUEST request, const void *answer, ULONG needed);
// The same protocol before an answer is built: STATUS_SUCCESS when the value buffer holds `needed`
// bytes, else the status to return (the size is reported for a value size of 0).
NTSTATUS CheckAnswerRoom(PPCPROPERTY_REQUEST request, ULONG needed);
