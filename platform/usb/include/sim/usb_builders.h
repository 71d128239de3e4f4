// Test face: descriptor sets of the virtual headsets, as byte vectors, with patch helpers so a test
// can damage or vary them. Byte-exact wire layouts; the driver never includes this.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace usbsim
{

using Bytes = std::vector<uint8_t>;

enum class Speed
{
    Full,
    High
};

// Everything a virtual device reports about itself.
struct DescriptorSet
{
    Bytes device;                              // 18 bytes
    Bytes configuration;                       // the whole configuration, wTotalLength bytes
    std::map<uint8_t, std::u16string> strings; // text by index (index 0, the language list, is implied)
    Speed speed = Speed::Full;
};

// ---- Patch helpers ---------------------------------------------------------------------------------
// Each checks its offsets and throws std::out_of_range on a bad one: a broken test, not a device.
void Set8(Bytes &b, size_t offset, uint8_t value);
void Set16(Bytes &b, size_t offset, uint16_t value); // little-endian
void Set24(Bytes &b, size_t offset, uint32_t value);
void Truncate(Bytes &b, size_t length);
void Insert(Bytes &b, size_t offset, const Bytes &bytes);
uint16_t Get16(const Bytes &b, size_t offset);
uint32_t Get24(const Bytes &b, size_t offset);
// Rewrites the configuration's wTotalLength with the vector's size.
void FixTotalLength(Bytes &configuration);
// A string descriptor: bLength, type 3, the UTF-16LE code units.
Bytes StringDescriptor(const std::u16string &text);
// Offset of the n-th (0-based) descriptor with this type (and subtype when subtype >= 0), or -1.
// Stops at the first malformed descriptor.
long FindDescriptor(const Bytes &b, uint8_t type, int subtype = -1, unsigned nth = 0);
// Offset of the interface descriptor (number, alternate), or -1.
long FindInterface(const Bytes &b, uint8_t number, uint8_t alternate);
// Offset of the n-th (0-based) endpoint descriptor of that interface setting, or -1.
long FindEndpoint(const Bytes &b, uint8_t number, uint8_t alternate, unsigned nth = 0);
// One configuration of both functions: `second`'s descriptors after `first`'s, bNumInterfaces summed,
// wTotalLength fixed. The caller gives them distinct interface numbers and endpoints.
Bytes JoinConfigurations(const Bytes &first, const Bytes &second);

// Appends descriptors; Begin/End patch bLength.
class DescriptorWriter
{
public:
    size_t Begin(uint8_t type);
    void U8(uint8_t v) { m_b.push_back(v); }
    void U16(uint16_t v)
    {
        U8(uint8_t(v));
        U8(uint8_t(v >> 8));
    }
    void U24(uint32_t v)
    {
        U16(uint16_t(v));
        U8(uint8_t(v >> 16));
    }
    void U32(uint32_t v)
    {
        U16(uint16_t(v));
        U16(uint16_t(v >> 16));
    }
    void End(size_t at);
    size_t Size() const { return m_b.size(); }
    Bytes &Data() { return m_b; }

private:
    Bytes m_b;
};

// ---- UAC1 headset, full speed -----------------------------------------------------------------------
struct Uac1Options
{
    uint16_t vendorId = 0x1234, productId = 0x5678, bcdDevice = 0x0100;
    uint8_t controlSize = 1;   // feature-unit bControlSize, 1 or 2
    bool mixer = false;        // playback mixer: IT 1 and the mic FU into FU 2
    bool selector = false;     // capture selector ahead of the capture OT
    bool secondRender = false; // a second headphone stream: IT 9, FU 10, OT 11, interface 3
    bool speaker = false;      // the playback OT is a speaker (0x0301) rather than headphones
    std::vector<uint32_t> rates = {44100, 48000}; // discrete rates; empty means a continuous range
    uint32_t rangeLow = 8000, rangeHigh = 48000;
    std::u16string manufacturer = u"Zelko Audio", product = u"Zelko USB Headset";
    // The playback setting's format type and data endpoint.
    uint8_t renderChannels = 2, renderSubframe = 2, renderBits = 16;
    uint16_t renderMaxPacket = 196;
    uint16_t statusMaxPacket = 2; // the interrupt endpoint's wMaxPacketSize (2: a status pipe)
    // A function after another in one configuration: its interface numbers start at interfaceBase,
    // its endpoint numbers are raised by endpointBase.
    uint8_t interfaceBase = 0, endpointBase = 0;
};
// Entity IDs of the UAC1 headset.
enum : uint8_t
{
    kUac1PlaybackIt = 1,
    kUac1PlaybackFu = 2,
    kUac1PlaybackOt = 3,
    kUac1MicIt = 4,
    kUac1MicFu = 5,
    kUac1CaptureOt = 6,
    kUac1Selector = 7,
    kUac1Mixer = 8,
    kUac1SecondIt = 9,
    kUac1SecondFu = 10,
    kUac1SecondOt = 11,
};
// Interfaces: 0 AudioControl (interrupt IN 0x83, wMaxPacketSize 2), 1 render (OUT 0x01, adaptive,
// wMaxPacketSize 196), 2 capture (IN 0x82, asynchronous, wMaxPacketSize 98), with secondRender 3 render
// (OUT 0x03, adaptive, wMaxPacketSize 196). Strings 1 and 2.
DescriptorSet BuildUac1Headset(const Uac1Options &options = {});

// ---- UAC2 headset, high speed -----------------------------------------------------------------------
struct Uac2Options
{
    uint16_t vendorId = 0x1234, productId = 0x9ABC, bcdDevice = 0x0200;
    bool bulkIn = false;      // a bulk IN endpoint 0x84 on the AudioControl interface
    uint8_t dataInterval = 1; // bInterval of the isochronous data endpoints (OUT 0x01, IN 0x82)
    std::u16string manufacturer = u"Zelko Audio", product = u"Zelko USB2 Headset";
    std::u16string chipString = u"Vask";         // string 0x32
    uint8_t interfaceBase = 0, endpointBase = 0; // as for the class 1.0 headset
};
enum : uint8_t
{
    kUac2Clock = 10,
    kUac2PlaybackIt = 1,
    kUac2PlaybackFu = 2,
    kUac2PlaybackOt = 3,
    kUac2MicIt = 4,
    kUac2MicFu = 5,
    kUac2CaptureOt = 6,
};
// Interfaces: 0 AudioControl (interrupt IN 0x83, wMaxPacketSize 6), 1 render (OUT 0x01 asynchronous
// with explicit feedback IN 0x81, bInterval 4; alternate 1 16-bit, 2 24-bit stereo), 2 capture
// (IN 0x82, 16-bit mono). Strings 1, 2 and 0x32.
DescriptorSet BuildUac2Headset(const Uac2Options &options = {});

// ---- A class 1.0 MIDI function -----------------------------------------------------------------------
// A configuration of one AudioControl interface (number `base`, class 1.0) whose header lists only the
// MIDI streaming interface that follows it (number base + 1, no endpoints): an audio function with no
// audio streaming interface.
Bytes BuildUac1MidiFunction(uint8_t base = 0);

// ---- Fixed-layout chip family (509-byte configuration) ---------------------------------------------
struct ChipOptions
{
    uint16_t vendorId = 0x1E7D, productId = 0x3750;
    std::u16string manufacturer = u"Zelko Audio", product = u"Zelko Chip Headset";
};
// String 0x50 starts with the code units 0x000B 0x0005 0x0050.
DescriptorSet BuildChipHeadset(const ChipOptions &options = {});

} // namespace usbsim
