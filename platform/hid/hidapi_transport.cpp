#include "platform/hid/hidapi_transport.h"

#include <hidapi.h>

#include <cerrno>
#include <cwchar>
#include <sys/stat.h>

HidapiTransport::HidapiTransport()
{
    hid_init();
}

HidapiTransport::~HidapiTransport()
{
    for (auto &entry : m_open)
        hid_close(entry.second.dev);
    hid_exit();
}

std::vector<HidDeviceInfo> HidapiTransport::enumerate(uint16_t vid, uint16_t pid)
{
    std::vector<HidDeviceInfo> out;
    hid_device_info *list = hid_enumerate(vid, pid);
    for (hid_device_info *it = list; it; it = it->next)
    {
        HidDeviceInfo info;
        info.path = it->path ? it->path : "";
        info.vid = it->vendor_id;
        info.pid = it->product_id;
        info.usagePage = it->usage_page;
        info.usage = it->usage;
        info.interfaceNumber = it->interface_number;
        out.push_back(info);
    }
    hid_free_enumeration(list);
    return out;
}

HidStatus HidapiTransport::open(const std::string &path, HidHandle *handle)
{
    if (!handle)
        return HidStatus::BadArgument;
    *handle = kNoHidHandle;
    hid_device *dev = hid_open_path(path.c_str());
    if (!dev)
        return HidStatus::Offline;
    hid_set_nonblocking(dev, 0);
    std::lock_guard<std::mutex> guard(m_lock);
    HidHandle h = m_next++;
    if (m_next == kNoHidHandle)
        m_next = 1;
    m_open[h] = Open{dev, path};
    *handle = h;
    return HidStatus::Ok;
}

void HidapiTransport::close(HidHandle handle)
{
    hid_device *dev = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_open.find(handle);
        if (it == m_open.end())
            return;
        dev = it->second.dev;
        m_open.erase(it);
    }
    hid_close(dev);
}

bool HidapiTransport::find(HidHandle handle, Open *out)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_open.find(handle);
    if (it == m_open.end())
        return false;
    *out = it->second;
    return true;
}

// hidapi gives -1 for every failure: tell a vanished node and a stall apart by what is left to see.
HidStatus HidapiTransport::failure(const Open &open)
{
    struct stat st;
    if (::stat(open.path.c_str(), &st) != 0)
        return HidStatus::Offline;
    const wchar_t *text = hid_error(open.dev);
    if (text && (std::wcsstr(text, L"Broken pipe") || std::wcsstr(text, L"stall")))
        return HidStatus::NotSupported;
    return HidStatus::IoError;
}

HidStatus HidapiTransport::sendFeature(HidHandle handle, const uint8_t *data, size_t len)
{
    Open o;
    if (!data || len == 0 || !find(handle, &o))
        return HidStatus::BadArgument;
    int n = hid_send_feature_report(o.dev, data, len);
    if (n < 0)
        return failure(o);
    return static_cast<size_t>(n) == len ? HidStatus::Ok : HidStatus::IoError;
}

HidStatus HidapiTransport::getFeature(HidHandle handle, uint8_t *buf, size_t len, size_t *got)
{
    Open o;
    if (got)
        *got = 0;
    if (!buf || !got || len == 0 || !find(handle, &o))
        return HidStatus::BadArgument;
    int n = hid_get_feature_report(o.dev, buf, len);
    if (n < 0)
        return failure(o);
    *got = static_cast<size_t>(n);
    return *got == len ? HidStatus::Ok : HidStatus::IoError;
}

HidStatus HidapiTransport::write(HidHandle handle, const uint8_t *data, size_t len)
{
    Open o;
    if (!data || len == 0 || !find(handle, &o))
        return HidStatus::BadArgument;
    int n = hid_write(o.dev, data, len);
    if (n < 0)
        return failure(o);
    return static_cast<size_t>(n) == len ? HidStatus::Ok : HidStatus::IoError;
}

HidStatus HidapiTransport::readTimeout(HidHandle handle, uint8_t *buf, size_t len, int ms, size_t *got)
{
    Open o;
    if (got)
        *got = 0;
    if (!buf || !got || len == 0 || !find(handle, &o))
        return HidStatus::BadArgument;
    int n = hid_read_timeout(o.dev, buf, len, ms);
    if (n < 0)
        return failure(o);
    if (n == 0)
        return HidStatus::Timeout;
    *got = static_cast<size_t>(n);
    return *got == len ? HidStatus::Ok : HidStatus::IoError;
}
