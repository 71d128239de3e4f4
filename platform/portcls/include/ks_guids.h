// The kernel-streaming and audio identifiers the filters, their clients and the framework share:
// categories, formats, property and event sets, node and pin types. Published values where the audio
// system fixes them; the stand-in's own where only the framework compares them.
#pragma once

#include <nt_types.h>

#define ZELKO_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                                          \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

// ---- Filter and pin categories --------------------------------------------------------------------
ZELKO_GUID(KSCATEGORY_AUDIO, 0x6994AD04, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
ZELKO_GUID(KSCATEGORY_TOPOLOGY, 0xDDA54A40, 0x1E4C, 0x11D1, 0xA0, 0x50, 0x40, 0x57, 0x05, 0xC1, 0x00, 0x00);
// The stand-in's own values: only the framework and its clients compare these.
ZELKO_GUID(KSCATEGORY_RENDER, 0xDEA496CE, 0x241F, 0x4E7E, 0xA4, 0x5A, 0x6D, 0x35, 0xEE, 0xAC, 0x49, 0x9C);
ZELKO_GUID(KSCATEGORY_CAPTURE, 0x2BE75FA5, 0x371B, 0x4C54, 0x91, 0xB9, 0x20, 0x64, 0xC7, 0x13, 0x8C, 0x57);
ZELKO_GUID(KSCATEGORY_REALTIME, 0x30A9C382, 0x22EB, 0x4945, 0x93, 0xBF, 0xC2, 0xCD, 0x4B, 0x02, 0x1D, 0x36);

// ---- Data formats ---------------------------------------------------------------------------------
ZELKO_GUID(KSDATAFORMAT_TYPE_AUDIO, 0x73647561, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B,
           0x71);
ZELKO_GUID(KSDATAFORMAT_SUBTYPE_PCM, 0x00000001, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B,
           0x71);
ZELKO_GUID(KSDATAFORMAT_SUBTYPE_ANALOG, 0x6DBA3190, 0x67BD, 0x11CF, 0xA0, 0xF7, 0x00, 0x20, 0xAF, 0xD1, 0x56,
           0xE4);
ZELKO_GUID(KSDATAFORMAT_SPECIFIER_NONE, 0x0F6417D6, 0xC318, 0x11D0, 0xA4, 0x3F, 0x00, 0xA0, 0xC9, 0x22, 0x31,
           0x96);
ZELKO_GUID(KSDATAFORMAT_SPECIFIER_WAVEFORMATEX, 0x05589F81, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00,
           0x55, 0x59, 0x5A);
ZELKO_GUID(KSDATAFORMAT_SPECIFIER_DSOUND, 0x518590A2, 0xA184, 0x11D0, 0x85, 0x22, 0x00, 0xC0, 0x4F, 0xD9,
           0xBA, 0xF3);
// Wildcards are the null identifier.
inline constexpr GUID KSDATAFORMAT_TYPE_WILDCARD = {};
inline constexpr GUID KSDATAFORMAT_SUBTYPE_WILDCARD = {};
inline constexpr GUID KSDATAFORMAT_SPECIFIER_WILDCARD = {};

// ---- Pin interfaces -------------------------------------------------------------------------------
// The stand-in's own value.
ZELKO_GUID(KSINTERFACESETID_Standard, 0xC575223F, 0xE14C, 0x421A, 0xAA, 0x8A, 0x8A, 0xBC, 0x4E, 0x00, 0x60,
           0x63);

// ---- Property sets --------------------------------------------------------------------------------
// The stand-in's own value.
ZELKO_GUID(KSPROPSETID_Audio, 0xF1B45D74, 0x0BED, 0x4D68, 0xBA, 0x55, 0xD9, 0xF4, 0xF2, 0x61, 0x26, 0xB8);
ZELKO_GUID(KSPROPSETID_Jack, 0x4509F757, 0x2D46, 0x4637, 0x8E, 0x62, 0xCE, 0x7D, 0xB9, 0x44, 0xF5, 0x7B);
ZELKO_GUID(KSPROPTYPESETID_General, 0x97E99BA0, 0xBDEA, 0x11CF, 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00,
           0x00);

// ---- Node types -----------------------------------------------------------------------------------
// The stand-in's own values.
ZELKO_GUID(KSNODETYPE_DAC, 0xAF111121, 0x4E04, 0x4A0F, 0x85, 0xA3, 0xC3, 0x97, 0x97, 0x50, 0x25, 0xFB);
ZELKO_GUID(KSNODETYPE_ADC, 0x9F1E51CE, 0x6330, 0x49D5, 0xB1, 0xAB, 0x17, 0xD2, 0x92, 0xE8, 0xA9, 0xC5);

// ---- Port and miniport interfaces of the filter half ---------------------------------------------
// The stand-in's own values.
ZELKO_GUID(IID_IPowerNotify, 0x3F2E9CA5, 0x1495, 0x468A, 0xB6, 0xC2, 0x2D, 0xAE, 0x76, 0x5E, 0x23, 0x6B);

// Property and event values of KSPROPSETID_Audio and KSPROPSETID_Jack the filters answer.
enum : ULONG
{
    KSPROPERTY_AUDIO_VOLUMELEVEL = 4,
    KSPROPERTY_AUDIO_MUX_SOURCE = 12,
    KSPROPERTY_AUDIO_MUTE = 13,
    KSPROPERTY_AUDIO_BASS = 14,
    KSPROPERTY_AUDIO_MID = 15,
    KSPROPERTY_AUDIO_TREBLE = 16,
    KSPROPERTY_AUDIO_AGC = 21,
    KSPROPERTY_AUDIO_LOUDNESS = 23,
    KSPROPERTY_AUDIO_DEV_SPECIFIC = 28,
};
enum : ULONG
{
    KSPROPERTY_JACK_DESCRIPTION = 1,
    KSPROPERTY_JACK_DESCRIPTION2 = 2,
};

// ---- Component identification -----------------------------------------------------------------------
// What a filter reports of its maker and product (KSPROPERTY_GENERAL_COMPONENTID).
struct KSCOMPONENTID
{
    GUID Manufacturer;
    GUID Product;
    GUID Component;
    GUID Name;
    ULONG Version;
    ULONG Revision;
};
typedef KSCOMPONENTID *PKSCOMPONENTID;
static_assert(sizeof(KSCOMPONENTID) == 72, "four identifiers and two 32-bit words");

// USB audio devices: the maker and product identifiers carry the USB vendor and product numbers in
// Data1 on fixed bases; the tails are the stand-in's own.
inline constexpr ULONG USBAUDIO_MID_BASE = 0x4E1CECD2;
inline constexpr ULONG USBAUDIO_PID_BASE = 0xABCC5A5E;
inline void INIT_USBAUDIO_MID(GUID *guid, USHORT vendorId)
{
    *guid = {USBAUDIO_MID_BASE + vendorId, 0x52C4, 0x4D6B, {0x9A, 0x31, 0x0E, 0x58, 0x7C, 0x16, 0xB2, 0x44}};
}
inline void INIT_USBAUDIO_PID(GUID *guid, USHORT productId)
{
    *guid = {USBAUDIO_PID_BASE + productId, 0x0D27, 0x4A9E, {0x8F, 0x63, 0x41, 0xC2, 0x95, 0x0B, 0x7E, 0x3A}};
}
// The stand-in's own value.
ZELKO_GUID(KSCOMPONENTID_USBAUDIO, 0x8F1275F0, 0x26E9, 0x4264, 0xBA, 0x4D, 0x39, 0xFF, 0xF0, 0x1D, 0x94,
           0xAA);
