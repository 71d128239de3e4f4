// Simulated HID devices behind the HID seam: enumeration entries, a stateful command model, queued or
// periodic headset input reports, fault injection and a report log. Time is a virtual clock.
//
// Command model (plain 9-byte feature reports: id 0, command, data, checksum):
// - family 560: 01H/02H are stored and answered by 81H/82H; 04H (offset 2 = stage index n, offset 3 =
//   stage) is answered by 84H for the n asked; 0CH (offset 2 = profile number) takes the next 128 bytes
//   of output reports as that profile; 8CH (offset 2 = number) answers with the profile in input
//   reports of reportLength bytes.
// - family 553: 03H/0BH are stored and answered by 83H/8BH.
// - anything else is logged; a feature get after it is answered with zeros.
// Replies are scrambled with the device's code when it is encoded.
#pragma once

#include "platform/hid/hid_transport.h"

#include <array>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

// The scrambling pair, supplied by the panel (the sim does not own the protocol's key material).
// code is the 7-byte code buffer (the six characters of sCode, then 0).
struct HidCodec
{
    void (*encrypt)(uint8_t block[8], const uint8_t code[7]) = nullptr;
    void (*decrypt)(uint8_t block[8], const uint8_t code[7]) = nullptr;
};

enum class SimStep : int32_t
{
    Open,
    SetFeature,
    GetFeature,
    Write,     // index: output report number after the last feature set, from 0
    Read,      // index: input report number after the last feature set, from 0
    AnyReport, // index: the device's Nth report operation from now on, from 1 (unplug at the Nth report)
};

enum class SimFaultKind : int32_t
{
    Fail,          // IoError
    Stall,         // NotSupported
    NoReply,       // the read or get waits its time out: Timeout
    ReplyLength,   // the get gives value bytes
    ReplyReportId, // the get answers with report id value
    Unplug,        // the device leaves before the step: Offline
};

struct SimFault
{
    SimStep step = SimStep::Open;
    SimFaultKind kind = SimFaultKind::Fail;
    int32_t command = -1; // plain command byte of the last feature set, -1 for any
    int32_t index = -1;   // see SimStep, -1 for any
    int32_t value = 0;
    int32_t count = 1; // how many times it fires, -1 for ever
};

enum class SimDir : int32_t
{
    Open, // handle 0 when the open failed
    Close,
    FeatureSet,
    FeatureGet,
    Write,
    Read,
};

struct SimLogEntry
{
    int64_t time = 0;
    SimDir dir = SimDir::Open;
    int32_t device = -1;
    std::string path;
    HidHandle handle = kNoHidHandle;
    std::vector<uint8_t> bytes; // as on the wire; a get or read logs what the device gave
};

struct SimDeviceConfig
{
    std::string name;
    int32_t family = 560;
    std::vector<HidDeviceInfo> entries;
    bool isEncode = false;
    std::string sCode = "482917";
    int32_t reportLength = 32;
};

class SimHidTransport final : public HidTransport
{
public:
    explicit SimHidTransport(HidCodec codec = {});

    std::vector<HidDeviceInfo> enumerate(uint16_t vid, uint16_t pid) override;
    HidStatus open(const std::string &path, HidHandle *handle) override;
    void close(HidHandle handle) override;
    HidStatus sendFeature(HidHandle handle, const uint8_t *data, size_t len) override;
    HidStatus getFeature(HidHandle handle, uint8_t *buf, size_t len, size_t *got) override;
    HidStatus write(HidHandle handle, const uint8_t *data, size_t len) override;
    HidStatus readTimeout(HidHandle handle, uint8_t *buf, size_t len, int ms, size_t *got) override;
    HidClock &clock() override { return m_clock; }

    // Test and host face.
    VirtualHidClock &virtualClock() { return m_clock; }
    int addDevice(const SimDeviceConfig &config); // plugged in; returns the device number
    int deviceCount() const;
    void unplug(int device);
    void replug(int device);
    void queueInput(int device, const std::vector<uint8_t> &report);
    // Every periodMs from now the device has this input report ready (0 stops it).
    void setPeriodicInput(int device, const std::vector<uint8_t> &report, int periodMs);
    void addFault(int device, const SimFault &fault);
    void clearFaults(int device);
    void setProfile(int device, int number, const std::array<uint8_t, 128> &image);
    std::array<uint8_t, 128> profile(int device, int number) const;
    int openHandles() const;
    // The next feature get of this device answers with these bytes as they stand (up to 64).
    void setNextReply(int device, const std::vector<uint8_t> &wire);
    // Calls that named a handle already closed (or never opened).
    int staleHandleCalls() const;

    std::vector<SimLogEntry> log() const;
    // The log with command reports and replies of encoded devices unscrambled.
    std::vector<SimLogEntry> decodeLog() const;
    void clearLog();
    // Called after each logged report, outside the transport's lock, on the calling thread.
    void setReportHook(std::function<void(const SimLogEntry &)> hook);

    // Devices from a JSON scenario file of at most 1 MiB. A file that is larger, does not parse or
    // lacks a required field adds no devices and gives one log line saying why.
    bool loadScenario(const std::string &file);

private:
    struct Device
    {
        SimDeviceConfig config;
        uint8_t code[7] = {};
        bool present = true;
        uint32_t plugGeneration = 0;
        std::vector<SimFault> faults;
        int32_t reportsSeen = 0;
        std::deque<std::vector<uint8_t>> input;
        std::vector<uint8_t> periodic;
        int32_t periodMs = 0;
        int64_t nextPeriodic = 0;
        std::map<uint8_t, std::array<uint8_t, 9>> stored;
        std::array<uint8_t, 4> stages = {};
        std::map<int, std::array<uint8_t, 128>> profiles;
        std::vector<uint8_t> nextReply;
        bool hasNextReply = false;
    };
    struct Handle
    {
        int32_t device;
        uint32_t plugGeneration;
        std::string path;
        int32_t command = -1;
        int32_t writes = 0;
        int32_t reads = 0;
        std::array<uint8_t, 9> reply = {};
        int32_t profileIn = -1; // profile being written
        size_t profileOffset = 0;
        std::deque<uint8_t> bulkOut; // 8CH data waiting to be read
    };

    // Checks faults and presence before a step; Ok when the step may go on. Unplug faults unplug.
    HidStatus gate(Handle *h, int device, SimStep step, int index, SimFault *fired);
    Handle *handle(HidHandle id);
    Handle *usable(HidHandle id, const void *buf, size_t len);
    void record(SimDir dir, int device, const std::string &path, HidHandle h, const uint8_t *bytes,
                size_t len);
    void flushHooks(std::unique_lock<std::mutex> &lock);
    void runCommand(Device &dev, Handle &h, const uint8_t plain[9]);

    HidCodec m_codec;
    VirtualHidClock m_clock;
    mutable std::mutex m_lock;
    std::vector<Device> m_devices;
    std::map<HidHandle, Handle> m_handles;
    HidHandle m_next = 1;
    int m_stale = 0;
    std::vector<SimLogEntry> m_log;
    std::vector<SimLogEntry> m_pendingHooks;
    std::function<void(const SimLogEntry &)> m_hook;
};
