// What a topology node asks of the unit that created it, and the small interfaces the device, its
// status thread and its streams reach each other through. The units (USB audio entities, chip units)
// implement them; the node objects and the device's walks only call them.
//
// Levels are the system's: signed 1/65536 dB, 0x80000000 for silence. Channels are 0-based logical
// indexes; the unit maps them onto its wire channels. Every operation runs at PASSIVE_LEVEL (the units
// send synchronous control requests) unless it says otherwise.
#pragma once

#include "driver/filters/audio_hal_interfaces.h"

// {39CDB6EC-5678-49C6-8751-AF1D9E17B454}
inline constexpr GUID IID_ILevelControl = {
    0x39CDB6EC, 0x5678, 0x49C6, {0x87, 0x51, 0xAF, 0x1D, 0x9E, 0x17, 0xB4, 0x54}};
// {A0F0C011-D235-47C2-84E1-C2E84812B8F1}
inline constexpr GUID IID_ISwitchControl = {
    0xA0F0C011, 0xD235, 0x47C2, {0x84, 0xE1, 0xC2, 0xE8, 0x48, 0x12, 0xB8, 0xF1}};
// {229AC304-510D-463F-B3CD-62E19A25EC10}
inline constexpr GUID IID_ISelectorControl = {
    0x229AC304, 0x510D, 0x463F, {0xB3, 0xCD, 0x62, 0xE1, 0x9A, 0x25, 0xEC, 0x10}};
// {9AAC1B16-EF62-4529-9EC8-A8A54CB59DBB}
inline constexpr GUID IID_IClockControl = {
    0x9AAC1B16, 0xEF62, 0x4529, {0x9E, 0xC8, 0xA8, 0xA5, 0x4C, 0xB5, 0x9D, 0xBB}};
// {F069982E-D2B0-4A44-9BC3-8156CEF6C06E}
inline constexpr GUID IID_ITerminalControl = {
    0xF069982E, 0xD2B0, 0x4A44, {0x9B, 0xC3, 0x81, 0x56, 0xCE, 0xF6, 0xC0, 0x6E}};
// {6DBF9C24-AA9B-4E45-B318-E36EDC50BFF1}
inline constexpr GUID IID_IParameterControl = {
    0x6DBF9C24, 0xAA9B, 0x4E45, {0xB3, 0x18, 0xE3, 0x6E, 0xDC, 0x50, 0xBF, 0xF1}};
// {1567712F-D115-4D20-A2EA-A6AADA92E16F}
inline constexpr GUID IID_IMixerControl = {
    0x1567712F, 0xD115, 0x4D20, {0xA2, 0xEA, 0xA6, 0xAA, 0xDA, 0x92, 0xE1, 0x6F}};
// {E2FABFB5-CA88-4F28-AFF8-48505FDC234B}
inline constexpr GUID IID_IClockSourceLink = {
    0xE2FABFB5, 0xCA88, 0x4F28, {0xAF, 0xF8, 0x48, 0x50, 0x5F, 0xDC, 0x23, 0x4B}};
// {9BBB201E-4C09-499D-8F42-3700DD4BF12A}
inline constexpr GUID IID_IProcessingGate = {
    0x9BBB201E, 0x4C09, 0x499D, {0x8F, 0x42, 0x37, 0x00, 0xDD, 0x4B, 0xF1, 0x2A}};
// {95B76A6A-1216-4A2E-8354-826E47DBD0F3}
inline constexpr GUID IID_IChipRegisters = {
    0x95B76A6A, 0x1216, 0x4A2E, {0x83, 0x54, 0x82, 0x6E, 0x47, 0xDB, 0xD0, 0xF3}};
// {D0609AD6-51F3-4431-8456-FFBA8F7689FB}
inline constexpr GUID IID_IHardwareMute = {
    0xD0609AD6, 0x51F3, 0x4431, {0x84, 0x56, 0xFF, 0xBA, 0x8F, 0x76, 0x89, 0xFB}};
// {8E915437-EFBC-4BD5-B402-6023E8F054AF}
inline constexpr GUID IID_IHardwareMuteStage = {
    0x8E915437, 0xEFBC, 0x4BD5, {0xB4, 0x02, 0x60, 0x23, 0xE8, 0xF0, 0x54, 0xAF}};

// {1C7D4C0C-7649-462F-889D-676A91C55E79}
inline constexpr GUID IID_IStreamConfigSink = {
    0x1C7D4C0C, 0x7649, 0x462F, {0x88, 0x9D, 0x67, 0x6A, 0x91, 0xC5, 0x5E, 0x79}};

// ---- Settings access for nodes ------------------------------------------------------------------------
// Nodes persist their values through the driver's settings store, which lives above this folder; the
// unit hands its entry point down with the device object. A null Access persists nothing.
typedef NTSTATUS (*PFN_SETTINGS_VALUE)(PDEVICE_OBJECT deviceObject, ULONG operation, PVOID buffer, ULONG size,
                                       PCWSTR valueName);
struct NodeSettings
{
    PDEVICE_OBJECT DeviceObject;
    PFN_SETTINGS_VALUE Access;
};
inline constexpr ULONG NODE_SETTING_READ = 1; // leaves the buffer as it was when the value is absent
inline constexpr ULONG NODE_SETTING_WRITE = 2;

// ---- Unit controls -------------------------------------------------------------------------------------
// Per-channel levels of one control selector.
struct ILevelControl : IUnknown
{
    // How many logical channels carry `control` (a master-only control counts 1);
    // STATUS_UNSUCCESSFUL when none does.
    virtual NTSTATUS GetLevelChannels(UCHAR control, PULONG count) = 0;
    virtual NTSTATUS GetLevel(UCHAR control, ULONG channel, PLONG level) = 0;
    virtual NTSTATUS SetLevel(UCHAR control, ULONG channel, LONG level) = 0;
    virtual NTSTATUS GetLevelRange(UCHAR control, PLONG maximum, PLONG minimum, PLONG step) = 0;
};
typedef ILevelControl *PLEVELCONTROL;

// Per-channel on/off bytes of one control selector (mute, automatic gain, loudness, vendor switches).
struct ISwitchControl : IUnknown
{
    virtual NTSTATUS GetSwitchChannels(UCHAR control, PULONG count) = 0;
    virtual NTSTATUS GetSwitch(UCHAR control, ULONG channel, PUCHAR value) = 0;
    virtual NTSTATUS SetSwitch(UCHAR control, ULONG channel, UCHAR value) = 0;
};
typedef ISwitchControl *PSWITCHCONTROL;

// A selector unit: inputs are numbered from 1.
struct ISelectorControl : IUnknown
{
    virtual NTSTATUS GetInputCount(PULONG count) = 0;
    virtual NTSTATUS GetInput(PULONG input) = 0;
    virtual NTSTATUS SetInput(ULONG input) = 0;
    // The selector node's selection changed on a refresh; the unit records it.
    virtual NTSTATUS InputChanged(ULONG input) = 0;
};
typedef ISelectorControl *PSELECTORCONTROL;

// A clock source: its rates (ascending, at most CLOCK_MAX_RATES) and the current one, in Hz.
struct IClockControl : IUnknown
{
    virtual NTSTATUS GetClockRates(PULONG count, PULONG rates) = 0; // *count in: room, out: rates
    virtual NTSTATUS GetClockRate(PULONG rate) = 0;
    virtual NTSTATUS SetClockRate(ULONG rate) = 0;
};
typedef IClockControl *PCLOCKCONTROL;

// A terminal: channel configurations (1 to TERMINAL_MAX_TYPES), jack records per jack index (an
// output terminal has one jack index per output type), and the output-type selection.
struct ITerminalControl : IUnknown
{
    virtual NTSTATUS GetChannelConfigs(PULONG count, PULONG configs) = 0; // *count in: room
    virtual NTSTATUS GetTerminalJackCount(ULONG jackIndex, PULONG count) = 0;
    // The jack records of `jackIndex`, with the connection refreshed from the device first. The
    // buffer must hold every record (36 bytes each), else STATUS_INVALID_PARAMETER and nothing written.
    virtual NTSTATUS GetTerminalJacks(ULONG jackIndex, ULONG bufferBytes, JackRecord *jacks) = 0;
    virtual NTSTATUS GetOutputType(PULONG type) = 0;   // the current terminal type code
    virtual NTSTATUS SelectOutputType(ULONG type) = 0; // on the device
    virtual NTSTATUS TakeFormat(const WAVEFORMATEXTENSIBLE *format) = 0;
};
typedef ITerminalControl *PTERMINALCONTROL;

// The device's streaming side, which turns a terminal's channel configuration into the format its
// stream will offer.
struct IStreamConfigSink : IUnknown
{
    virtual NTSTATUS TakeChannelConfig(ULONG count, const ULONG *configs, WAVEFORMATEXTENSIBLE *format) = 0;
};
typedef IStreamConfigSink *PSTREAMCONFIGSINK;

// A processing unit's parameter block.
struct IParameterControl : IUnknown
{
    virtual NTSTATUS GetParameterCount(PULONG count) = 0;
    virtual NTSTATUS GetParameters(ULONG start, ULONG count, PLONG values) = 0;
    virtual NTSTATUS SetParameters(ULONG start, ULONG count, const LONG *values) = 0;
    virtual NTSTATUS SetParameter(ULONG index, LONG first, LONG second) = 0;
};
typedef IParameterControl *PPARAMETERCONTROL;

// A mixer's values; the plain mixer and the extension unit report none.
struct IMixerControl : IUnknown
{
    virtual NTSTATUS GetMixerValueCount(PULONG count) = 0;
    virtual NTSTATUS GetMixerValue(ULONG index, PLONG value) = 0;
    virtual NTSTATUS SetMixerValue(ULONG index, LONG value) = 0;
};
typedef IMixerControl *PMIXERCONTROL;

// A class 2.0 terminal names the clock source that times it.
struct IClockSourceLink : IUnknown
{
    virtual NTSTATUS GetClockSourceId(PULONG clockSourceId) = 0; // the descriptor ID (bCSourceID)
};
typedef IClockSourceLink *PCLOCKSOURCELINK;

// The gate of a software-volume node: it processes while its two values are equal. The first value
// starts at SOFT_VOLUME_GATE_OPEN, the second at 0, so the node is closed until someone opens it.
inline constexpr ULONG SOFT_VOLUME_GATE_OPEN = 3;
struct IProcessingGate : IUnknown
{
    virtual NTSTATUS QueryGate() = 0;                 // STATUS_SUCCESS
    virtual NTSTATUS SetSecondValue(ULONG value) = 0; // written only when it differs
    virtual NTSTATUS SetFirstValue(ULONG value) = 0;
};
typedef IProcessingGate *PPROCESSINGGATE;

// The chip's register file, written through the device (value bits outside `mask` are kept).
struct IChipRegisters : IUnknown
{
    virtual NTSTATUS WriteRegister(ULONG index, ULONG value, ULONG mask) = 0;
};
typedef IChipRegisters *PCHIPREGISTERS;

// The status thread tells a hardware-mute unit of the headset's mute switch.
struct IHardwareMute : IUnknown
{
    virtual NTSTATUS SetHardwareMute(ULONG flag) = 0;
};
typedef IHardwareMute *PHARDWAREMUTE;

// The render streams' hardware-mute stage: mode 1 attenuates by 12 dB, mode 2 silences, others pass.
// SetMode may be called at any IRQL; the stage reads the mode once per chunk.
inline constexpr ULONG HARDWARE_MUTE_ATTENUATE = 1;
inline constexpr ULONG HARDWARE_MUTE_SILENCE = 2;
struct IHardwareMuteStage : IUnknown
{
    virtual void SetMode(ULONG mode) = 0;
};
typedef IHardwareMuteStage *PHARDWAREMUTESTAGE;
