// The topology filter's node-kind and terminal-type tables.
#include "driver/filters/miniport_topology_tables.h"

#include <iterator>

namespace
{

#define TOPO_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                           \
    constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

// Node types.
TOPO_GUID(kNodeMute, 0x02B223C0, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
TOPO_GUID(kNodeVolume, 0x3A5ACC00, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
TOPO_GUID(kNodeDevSpecific, 0x941C7AC0, 0xC559, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
TOPO_GUID(kNodeMux, 0x2CEAF780, 0xC556, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
TOPO_GUID(kNodeSum, 0xDA441A60, 0xC556, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
TOPO_GUID(kNodeAgc, 0xE88C9BA0, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
TOPO_GUID(kNodeLoudness, 0x41887440, 0xC558, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
TOPO_GUID(kNodeTone, 0x7607E580, 0xC557, 0x11D0, 0x8A, 0x2B, 0x00, 0xA0, 0xC9, 0x25, 0x5A, 0xC1);
// Node names.
TOPO_GUID(kNameBass, 0x185FEDE0, 0x9905, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
TOPO_GUID(kNameMid, 0xA2CBE478, 0xAE84, 0x49A1, 0x8B, 0x72, 0x4A, 0xD0, 0x9B, 0x78, 0xED, 0x34);
TOPO_GUID(kNameTreble, 0x185FEDE1, 0x9905, 0x11D1, 0x95, 0xA9, 0x00, 0xC0, 0x4F, 0xB9, 0x25, 0xD3);
TOPO_GUID(kName16, 0x2BC31D6A, 0x96E3, 0x11D2, 0xAC, 0x4C, 0x00, 0xC0, 0x4F, 0x8E, 0xFB, 0x68);
TOPO_GUID(kName8, 0xBAE3AD68, 0x0CB6, 0x4A9A, 0x94, 0xB5, 0x0B, 0xB6, 0x28, 0xC4, 0x1D, 0x7A);
TOPO_GUID(kName15, 0x97491449, 0xE534, 0x4A7E, 0xB1, 0x4F, 0x94, 0x1B, 0x20, 0x7D, 0x58, 0x6D);
TOPO_GUID(kName17, 0xA63DF7EA, 0x8A37, 0x450D, 0x83, 0x2C, 0x5B, 0x90, 0x64, 0x23, 0x58, 0x51);
TOPO_GUID(kName18, 0xFDA49636, 0xC86D, 0x4E91, 0xA7, 0x07, 0xA1, 0x25, 0x2E, 0x3F, 0x19, 0xE6);
TOPO_GUID(kName22, 0xDB357A6F, 0xC4B1, 0x4390, 0x8C, 0x07, 0xCB, 0xDF, 0xA9, 0xD5, 0xC0, 0x47);
TOPO_GUID(kName13, 0x0D18F5A4, 0x5721, 0x4A07, 0x92, 0xE5, 0x84, 0x30, 0x99, 0xFA, 0x8F, 0xDB);
// Pin categories and names.
TOPO_GUID(kPinSpeaker, 0xDFF21CE1, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
TOPO_GUID(kPinHeadphones, 0xDFF21CE2, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
TOPO_GUID(kPinSpdif, 0xDFF21FE5, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
TOPO_GUID(kPinHdmi, 0xD1B9CC2A, 0xF519, 0x417F, 0x91, 0xC9, 0x55, 0xFA, 0x65, 0x48, 0x10, 0x01);
TOPO_GUID(kPinDisplayPort, 0xE47E4031, 0x3EA6, 0x418D, 0x8F, 0x9B, 0xB7, 0x38, 0x43, 0xCC, 0xBA, 0x97);
TOPO_GUID(kPinLine, 0xDFF21FE3, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
TOPO_GUID(kPinMic, 0xDFF21BE1, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
TOPO_GUID(kPinAnalog, 0xDFF21FE1, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
TOPO_GUID(kPinCd, 0xDFF220E3, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
TOPO_GUID(kPinVideo, 0xDFF220EA, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
TOPO_GUID(kPinFrontMic, 0xDFF21BE2, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
TOPO_GUID(kPinPhone, 0xDFF21EE2, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
TOPO_GUID(kPinHandset, 0xDFF21DE1, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
TOPO_GUID(kPinHeadset, 0xDFF21DE2, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
TOPO_GUID(kPinSpeakerphone, 0xDFF21DE3, 0xF70F, 0x11D0, 0xB9, 0x17, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
TOPO_GUID(kPinOlderMix, 0x00DFF077, 0x96E3, 0x11D2, 0xAC, 0x4C, 0x00, 0xC0, 0x4F, 0x8E, 0xFB, 0x68);
TOPO_GUID(kSpdifOutName, 0x12C15946, 0xBA58, 0x42C1, 0x9F, 0x11, 0x83, 0x41, 0xE2, 0x19, 0x86, 0x22);
TOPO_GUID(kSpdifInName, 0x017D895C, 0x7AE7, 0x4F4D, 0xB7, 0x8C, 0xCD, 0x1F, 0xFC, 0x0C, 0xE7, 0x76);
TOPO_GUID(kHdmiName, 0x387BFC03, 0xE7EF, 0x4901, 0x86, 0xE0, 0x35, 0xB7, 0xC3, 0x2B, 0x00, 0xEF);
TOPO_GUID(kDisplayPortName, 0x21FBB329, 0x1A4A, 0x48DA, 0xA0, 0x76, 0x23, 0x18, 0xA3, 0xC5, 0x9B, 0x26);
TOPO_GUID(kAuxName, 0x5F4BB488, 0xA646, 0x408A, 0x92, 0x65, 0x86, 0x47, 0xF9, 0xC3, 0x74, 0xD4);
TOPO_GUID(kStereoMixName, 0x8C5716E6, 0xC984, 0x492E, 0xA2, 0xFB, 0x13, 0x85, 0xF2, 0xD0, 0xF3, 0xC9);

constexpr ULONG kGetSetSupport =
    PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT;

const PCEVENT_ITEM kControlChange[] = {
    {&KSEVENTSETID_AudioControlChange, KSEVENT_CONTROL_CHANGE, 0, TopologyEventHandler}};

template <size_t N> constexpr PCAUTOMATION_TABLE Table(const PCPROPERTY_ITEM (&items)[N], bool events)
{
    return {sizeof(PCPROPERTY_ITEM),
            ULONG(N),
            items,
            0,
            0,
            nullptr,
            sizeof(PCEVENT_ITEM),
            events ? 1u : 0u,
            events ? kControlChange : nullptr,
            0};
}

#define LEVEL_ITEMS(name, id)                                                                                \
    const PCPROPERTY_ITEM name[] = {                                                                         \
        {&KSPROPSETID_Audio, id, kGetSetSupport, TopologyLevelHandler},                                      \
        {&KSPROPSETID_MiniportPrivate, 3, PCPROPERTY_ITEM_FLAG_SET, TopologyLevelHandler}}
LEVEL_ITEMS(kVolumeItems, KSPROPERTY_AUDIO_VOLUMELEVEL);
LEVEL_ITEMS(kBassItems, KSPROPERTY_AUDIO_BASS);
LEVEL_ITEMS(kMidItems, KSPROPERTY_AUDIO_MID);
LEVEL_ITEMS(kTrebleItems, KSPROPERTY_AUDIO_TREBLE);
const PCPROPERTY_ITEM kMuteItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUTE, kGetSetSupport, TopologySwitchHandler}};
const PCPROPERTY_ITEM kAgcItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_AGC, kGetSetSupport, TopologySwitchHandler}};
const PCPROPERTY_ITEM kLoudnessItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_LOUDNESS, kGetSetSupport, TopologySwitchHandler}};
const PCPROPERTY_ITEM kMuxItems[] = {{&KSPROPSETID_Audio, KSPROPERTY_AUDIO_MUX_SOURCE,
                                      PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET,
                                      TopologyMuxHandler}};
const PCPROPERTY_ITEM kDevSpecificItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kGetSetSupport, TopologyDevSpecificHandler}};
const PCPROPERTY_ITEM kNamedDevSpecificItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kGetSetSupport, TopologyDevSpecificHandler},
    {&KSPROPSETID_NodeName, 1, PCPROPERTY_ITEM_FLAG_GET, TopologyNameHandler}};

const PCPROPERTY_ITEM kStateItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, PCPROPERTY_ITEM_FLAG_SET, TopologyDevSpecificHandler},
    {&KSPROPSETID_NodeName, 1, PCPROPERTY_ITEM_FLAG_GET, TopologyNameHandler},
    {&KSPROPSETID_StateValues, 1, PCPROPERTY_ITEM_FLAG_GET, TopologyStateHandler},
    {&KSPROPSETID_StateValues, 2, PCPROPERTY_ITEM_FLAG_GET, TopologyStateHandler}};
const PCPROPERTY_ITEM kProcessingItems[] = {
    {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kGetSetSupport, TopologyDevSpecificHandler},
    {&KSPROPSETID_NodeName, 1, PCPROPERTY_ITEM_FLAG_GET, TopologyNameHandler},
    {&KSPROPSETID_ProcessingBlock, 1, PCPROPERTY_ITEM_FLAG_GET, TopologyInfoHandler},
    {&KSPROPSETID_ProcessingBlock, 2, PCPROPERTY_ITEM_FLAG_GET, TopologyInfoHandler},
    {&KSPROPSETID_ProcessingBlock, 3, PCPROPERTY_ITEM_FLAG_SET, TopologyInfoHandler},
    {&KSPROPSETID_ProcessingBlock, 4, PCPROPERTY_ITEM_FLAG_GET, TopologyInfoHandler},
    {&KSPROPSETID_ProcessingBlock, 5, PCPROPERTY_ITEM_FLAG_GET, TopologyInfoHandler}};
// Kinds 23 and 24 list the same properties; a kind-24 unit serves only its named value.
#define EFFECT_ITEMS(name, devSpecific, nodeName, block)                                                     \
    const PCPROPERTY_ITEM name[] = {                                                                         \
        {&KSPROPSETID_Audio, KSPROPERTY_AUDIO_DEV_SPECIFIC, kGetSetSupport, devSpecific},                    \
        {&KSPROPSETID_NodeName, 1, PCPROPERTY_ITEM_FLAG_GET, nodeName},                                      \
        {&KSPROPSETID_EffectBlock, 1, PCPROPERTY_ITEM_FLAG_GET, block},                                      \
        {&KSPROPSETID_EffectBlock, 2, PCPROPERTY_ITEM_FLAG_GET, block},                                      \
        {&KSPROPSETID_EffectBlock, 3, PCPROPERTY_ITEM_FLAG_GET, block},                                      \
        {&KSPROPSETID_EffectBlock, 4, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_SET, block},           \
        {&KSPROPSETID_EffectValue, 1, kGetSetSupport, TopologyNamedValueHandler}}
EFFECT_ITEMS(kEffectItems, TopologyDevSpecificHandler, TopologyNameHandler, TopologyInfoHandler);
EFFECT_ITEMS(kNamedValueItems, TopologyNamedValueHandler, TopologyNamedValueHandler,
             TopologyNamedValueHandler);

const PCAUTOMATION_TABLE kVolume = Table(kVolumeItems, true);
const PCAUTOMATION_TABLE kBass = Table(kBassItems, true);
const PCAUTOMATION_TABLE kMid = Table(kMidItems, true);
const PCAUTOMATION_TABLE kTreble = Table(kTrebleItems, true);
const PCAUTOMATION_TABLE kMute = Table(kMuteItems, true);
const PCAUTOMATION_TABLE kAgc = Table(kAgcItems, true);
const PCAUTOMATION_TABLE kLoudness = Table(kLoudnessItems, true);
const PCAUTOMATION_TABLE kMux = Table(kMuxItems, false);
const PCAUTOMATION_TABLE kSelectorOne = Table(kDevSpecificItems, false);
const PCAUTOMATION_TABLE kNamedDevSpecific = Table(kNamedDevSpecificItems, true);
const PCAUTOMATION_TABLE kState = Table(kStateItems, true);
const PCAUTOMATION_TABLE kProcessing = Table(kProcessingItems, false);
const PCAUTOMATION_TABLE kEffect = Table(kEffectItems, true);
const PCAUTOMATION_TABLE kNamedValue = Table(kNamedValueItems, true);

// Kind 4 appears twice: first the one-source row, then the row for two or more sources.
const TopologyKindRow kKinds[] = {
    {NODE_KIND_MUTE, &kNodeMute, &kMute, nullptr},
    {NODE_KIND_LEVEL, &kNodeVolume, &kVolume, nullptr},
    {NODE_KIND_SELECTOR, &kNodeDevSpecific, &kSelectorOne, &kNodeDevSpecific},
    {NODE_KIND_SELECTOR, &kNodeMux, &kMux, nullptr},
    {NODE_KIND_MIXER, &kNodeSum, nullptr, nullptr},
    {NODE_KIND_BYTE_6, &kNodeAgc, &kAgc, nullptr},
    {NODE_KIND_BYTE_7, &kNodeLoudness, &kLoudness, nullptr},
    {NODE_KIND_LEVEL_8, &kNodeDevSpecific, &kNamedDevSpecific, &kName8},
    {NODE_KIND_LEVEL_9, &kNodeTone, &kBass, &kNameBass},
    {NODE_KIND_LEVEL_10, &kNodeTone, &kMid, &kNameMid},
    {NODE_KIND_LEVEL_11, &kNodeTone, &kTreble, &kNameTreble},
    {NODE_KIND_STATE, &kNodeDevSpecific, &kState, &kName13},
    {15, &kNodeDevSpecific, &kNamedDevSpecific, &kName15},
    {16, &kNodeVolume, &kVolume, &kName16},
    {17, &kNodeDevSpecific, &kNamedDevSpecific, &kName17},
    {NODE_KIND_BYTE_18, &kNodeDevSpecific, &kNamedDevSpecific, &kName18},
    {19, &kNodeDevSpecific, &kNamedDevSpecific, &kName18},
    {NODE_KIND_INFO_20, &kNodeDevSpecific, &kProcessing, &KSPROPSETID_ProcessingBlock},
    {NODE_KIND_BYTE_22, &kNodeDevSpecific, &kNamedDevSpecific, &kName22},
    {NODE_KIND_INFO, &kNodeDevSpecific, &kEffect, nullptr},
    {24, &kNodeDevSpecific, &kNamedValue, nullptr},
};

const TopologyTerminalRow kTerminals[TOPOLOGY_TERMINAL_TYPES] = {
    {&KSCATEGORY_AUDIO, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},          // 0 streaming
    {&kPinSpeaker, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},               // 1
    {&kPinHeadphones, nullptr, "HeadPhoneOutName", nullptr, nullptr, nullptr, nullptr}, // 2
    {&kPinSpdif, nullptr, "SpdifOutName", "SpdifInName", &kSpdifOutName, &kSpdifInName, nullptr}, // 3
    {&kPinHdmi, nullptr, nullptr, nullptr, &kHdmiName, &kHdmiName, nullptr},                      // 4
    {&kPinDisplayPort, nullptr, nullptr, nullptr, &kDisplayPortName, &kDisplayPortName, nullptr}, // 5
    {&kPinLine, nullptr, nullptr, "LineInName", nullptr, nullptr, nullptr},                       // 6
    {&kPinMic, nullptr, nullptr, "MicroPhoneInName", nullptr, nullptr, nullptr},                  // 7
    {&kPinAnalog, nullptr, nullptr, nullptr, nullptr, nullptr, &kAuxName},                        // 8
    {&kPinCd, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},                              // 9
    {&kPinVideo, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},                           // 10
    {&kPinFrontMic, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},                        // 11
    {&kPinPhone, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},                           // 12
    {&kPinHandset, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},                         // 13
    {&kPinHeadset, nullptr, "HeadSetOutName", "HeadSetInName", nullptr, nullptr, nullptr},        // 14
    {&kPinSpeakerphone, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},                    // 15
    {&kPinAnalog, &kPinOlderMix, nullptr, nullptr, nullptr, nullptr, &kStereoMixName},            // 16
    {&kPinHeadphones, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr},                      // 17
};

const PCPROPERTY_ITEM kFilterItems[] = {
    {&KSPROPSETID_MiniportPrivate, 2, PCPROPERTY_ITEM_FLAG_GET, TopologyFilterHandler},
    {&KSPROPSETID_MiniportPrivate, 4, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     TopologyPinHandler},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, TopologyPinHandler},
    {&KSPROPSETID_Jack, KSPROPERTY_JACK_DESCRIPTION2,
     PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT, TopologyPinHandler},
    {&KSPROPSETID_PinWords, 1, PCPROPERTY_ITEM_FLAG_GET | PCPROPERTY_ITEM_FLAG_BASICSUPPORT,
     TopologyPinHandler},
};

} // namespace

// {00A34C4A-26E6-4095-98E9-77FAE2F11FB6}
const GUID KSPROPSETID_NodeName = {
    0x00A34C4A, 0x26E6, 0x4095, {0x98, 0xE9, 0x77, 0xFA, 0xE2, 0xF1, 0x1F, 0xB6}};

// {A210D309-0822-456B-BD3C-2196567CADA7}
const GUID KSPROPSETID_PinWords = {
    0xA210D309, 0x0822, 0x456B, {0xBD, 0x3C, 0x21, 0x96, 0x56, 0x7C, 0xAD, 0xA7}};

// {ED76304D-B322-4ECB-9B9E-8E13C1465F04}
const GUID KSPROPSETID_StateValues = {
    0xED76304D, 0xB322, 0x4ECB, {0x9B, 0x9E, 0x8E, 0x13, 0xC1, 0x46, 0x5F, 0x04}};
// {561BABB8-E02F-4500-9BEF-E0BE8B7C4630}: also the processing node's name
const GUID KSPROPSETID_ProcessingBlock = {
    0x561BABB8, 0xE02F, 0x4500, {0x9B, 0xEF, 0xE0, 0xBE, 0x8B, 0x7C, 0x46, 0x30}};
// {369C31B9-34E6-4640-99B6-ADD16CF11994}
const GUID KSPROPSETID_EffectBlock = {
    0x369C31B9, 0x34E6, 0x4640, {0x99, 0xB6, 0xAD, 0xD1, 0x6C, 0xF1, 0x19, 0x94}};
// {C268AAF7-E045-4B5B-B4AD-02F4FA2586ED}
const GUID KSPROPSETID_EffectValue = {
    0xC268AAF7, 0xE045, 0x4B5B, {0xB4, 0xAD, 0x02, 0xF4, 0xFA, 0x25, 0x86, 0xED}};

const PCAUTOMATION_TABLE kTopologyFilterAutomation = {
    sizeof(PCPROPERTY_ITEM), ULONG(std::size(kFilterItems)), kFilterItems, 0, 0, nullptr, 0, 0, nullptr, 0};

const TopologyKindRow *FindKindRow(ULONG kind, ULONG sources)
{
    for (const TopologyKindRow &row : kKinds)
        if (row.Kind == kind)
            return kind == NODE_KIND_SELECTOR && sources >= 2 ? &row + 1 : &row;
    return nullptr;
}

const TopologyTerminalRow *FindTerminalRow(ULONG type)
{
    return type < TOPOLOGY_TERMINAL_TYPES ? &kTerminals[type] : nullptr;
}
