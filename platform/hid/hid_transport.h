// The HID seam of the control panel: enumeration, open by path, feature reports, output reports and
// timed input reads, plus the clock every wait goes through. The program uses the hidapi back end and
// real time; tests use the simulated devices and a virtual clock.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// What one transport call came to.
//   Ok            the call did what was asked (for transfers: exactly the bytes asked for).
//   Busy          the transport was claimed by another command (never returned by a back end).
//   Timeout       readTimeout: no input report within the time; getFeature: the device never answered.
//   Offline       open: the path is not (or no longer) present; any call on a handle whose device left.
//   NotSupported  the device stalled the request.
//   IoError       the transfer failed, or moved a byte count other than the one asked for, or the
//                 reply was garbled.
//   BadArgument   a null or closed handle, a null buffer, a length of 0, or a device index outside the list.
enum class HidStatus : int32_t
{
    Ok,
    Busy,
    Timeout,
    Offline,
    NotSupported,
    IoError,
    BadArgument,
};

const char *hidStatusName(HidStatus status);

// One HID interface as enumeration reports it.
struct HidDeviceInfo
{
    std::string path;
    uint16_t vid = 0;
    uint16_t pid = 0;
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    int32_t interfaceNumber = -1;
};

// An open interface; 0 is never a valid handle.
using HidHandle = uint32_t;
constexpr HidHandle kNoHidHandle = 0;

// Every wait of the HID code goes through this, so tests run on virtual time. Thread-safe.
class HidClock
{
public:
    virtual ~HidClock() = default;
    virtual void sleep(int ms) = 0;
    // Milliseconds since an arbitrary start.
    virtual int64_t now() const = 0;
};

class RealHidClock final : public HidClock
{
public:
    void sleep(int ms) override;
    int64_t now() const override;
};

// Sleeping advances the time at once; time never runs by itself.
class VirtualHidClock final : public HidClock
{
public:
    void sleep(int ms) override;
    int64_t now() const override { return m_now.load(); }
    void advance(int64_t ms) { m_now += ms; }
    // A program shown to a user runs its simulated devices at the wall clock's pace: each sleep
    // also waits as long for real, so a poll does not spin.
    void setRealPace(bool on) { m_realPace = on; }
    bool realPace() const { return m_realPace.load(); }

private:
    std::atomic<int64_t> m_now{0};
    std::atomic<bool> m_realPace{false};
};

// All calls are thread-safe; a handle is used by one thread at a time.
class HidTransport
{
public:
    virtual ~HidTransport() = default;

    // The interfaces with this vendor and product id (0 matches any), in enumeration order.
    virtual std::vector<HidDeviceInfo> enumerate(uint16_t vid, uint16_t pid) = 0;
    // Ok: *handle is the open interface, in blocking mode. Offline: the path is absent or cannot be
    // opened (whatever the reason). BadArgument: handle is null.
    virtual HidStatus open(const std::string &path, HidHandle *handle) = 0;
    // Closing kNoHidHandle or an unknown handle does nothing.
    virtual void close(HidHandle handle) = 0;
    // data[0] is the report id (0 for unnumbered devices). Ok: all len bytes went out. Offline: the
    // device left. NotSupported: it stalled the request. IoError: it failed or took fewer bytes.
    virtual HidStatus sendFeature(HidHandle handle, const uint8_t *data, size_t len) = 0;
    // buf[0] holds the report id on entry and on return; *got is the byte count the device gave,
    // report id included. Ok: exactly len bytes. IoError: another count, or the transfer failed.
    // Timeout: the device never answered. Offline and NotSupported as for sendFeature.
    virtual HidStatus getFeature(HidHandle handle, uint8_t *buf, size_t len, size_t *got) = 0;
    // An output report: data[0] is the report id (0), then the payload. Statuses as for sendFeature.
    virtual HidStatus write(HidHandle handle, const uint8_t *data, size_t len) = 0;
    // One input report of an unnumbered device (payload only, no report id), waiting at most ms on
    // the clock. *got is the byte count received. Ok: exactly len bytes. Timeout: none within ms
    // (*got is 0). IoError: a report of another length, or the read failed. Offline, NotSupported as
    // for sendFeature.
    virtual HidStatus readTimeout(HidHandle handle, uint8_t *buf, size_t len, int ms, size_t *got) = 0;

    // The clock of every wait that goes with this transport.
    virtual HidClock &clock() = 0;
};
