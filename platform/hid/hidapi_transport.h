// The HID transport over hidapi (hidraw back end).
//
// Report ids, as hidapi passes them:
// - write and sendFeature: byte 0 is the report id, 0 for a device without numbered reports; the
//   byte count includes it.
// - getFeature: byte 0 is set to the report id before the call and holds it on return; the count
//   includes it.
// - readTimeout: a device without numbered reports gives the payload only, no id byte.
#pragma once

#include "platform/hid/hid_transport.h"

#include <map>
#include <mutex>

struct hid_device_;

class HidapiTransport final : public HidTransport
{
public:
    HidapiTransport();
    ~HidapiTransport() override;

    std::vector<HidDeviceInfo> enumerate(uint16_t vid, uint16_t pid) override;
    HidStatus open(const std::string &path, HidHandle *handle) override;
    void close(HidHandle handle) override;
    HidStatus sendFeature(HidHandle handle, const uint8_t *data, size_t len) override;
    HidStatus getFeature(HidHandle handle, uint8_t *buf, size_t len, size_t *got) override;
    HidStatus write(HidHandle handle, const uint8_t *data, size_t len) override;
    HidStatus readTimeout(HidHandle handle, uint8_t *buf, size_t len, int ms, size_t *got) override;
    HidClock &clock() override { return m_clock; }

private:
    struct Open
    {
        hid_device_ *dev;
        std::string path;
    };
    bool find(HidHandle handle, Open *out);
    HidStatus failure(const Open &open);

    RealHidClock m_clock;
    std::mutex m_lock;
    std::map<HidHandle, Open> m_open;
    HidHandle m_next = 1;
};
