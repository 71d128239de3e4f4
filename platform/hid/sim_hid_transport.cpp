#include "platform/hid/sim_hid_transport.h"

#include <algorithm>
#include <cstring>

namespace
{
uint8_t checksum(const uint8_t *bytes7)
{
    unsigned sum = 0;
    for (int i = 0; i < 7; ++i)
        sum += bytes7[i];
    return static_cast<uint8_t>(0xFF - (sum & 0xFF));
}
} // namespace

SimHidTransport::SimHidTransport(HidCodec codec) : m_codec(codec) {}

int SimHidTransport::addDevice(const SimDeviceConfig &config)
{
    std::lock_guard<std::mutex> guard(m_lock);
    Device dev;
    dev.config = config;
    for (size_t i = 0; i < 6 && i < config.sCode.size(); ++i)
        dev.code[i] = static_cast<uint8_t>(config.sCode[i]);
    m_devices.push_back(std::move(dev));
    return static_cast<int>(m_devices.size()) - 1;
}

int SimHidTransport::deviceCount() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(m_devices.size());
}

void SimHidTransport::unplug(int device)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_devices.at(device).present = false;
}

void SimHidTransport::replug(int device)
{
    std::lock_guard<std::mutex> guard(m_lock);
    Device &dev = m_devices.at(device);
    if (!dev.present)
    {
        dev.present = true;
        ++dev.plugGeneration;
    }
}

void SimHidTransport::queueInput(int device, const std::vector<uint8_t> &report)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_devices.at(device).input.push_back(report);
}

void SimHidTransport::setPeriodicInput(int device, const std::vector<uint8_t> &report, int periodMs)
{
    std::lock_guard<std::mutex> guard(m_lock);
    Device &dev = m_devices.at(device);
    dev.periodic = report;
    dev.periodMs = std::max(periodMs, 0);
    dev.nextPeriodic = m_clock.now() + dev.periodMs;
}

void SimHidTransport::addFault(int device, const SimFault &fault)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_devices.at(device).faults.push_back(fault);
    m_devices.at(device).reportsSeen = 0;
}

void SimHidTransport::clearFaults(int device)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_devices.at(device).faults.clear();
}

void SimHidTransport::setProfile(int device, int number, const std::array<uint8_t, 128> &image)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_devices.at(device).profiles[number] = image;
}

std::array<uint8_t, 128> SimHidTransport::profile(int device, int number) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const Device &dev = m_devices.at(device);
    auto it = dev.profiles.find(number);
    return it == dev.profiles.end() ? std::array<uint8_t, 128>{} : it->second;
}

int SimHidTransport::openHandles() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return static_cast<int>(m_handles.size());
}

void SimHidTransport::setNextReply(int device, const std::vector<uint8_t> &wire)
{
    std::lock_guard<std::mutex> guard(m_lock);
    Device &dev = m_devices.at(device);
    dev.nextReply.assign(wire.begin(), wire.begin() + static_cast<long>(std::min<size_t>(wire.size(), 64)));
    dev.hasNextReply = true;
}

int SimHidTransport::staleHandleCalls() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_stale;
}

std::vector<SimLogEntry> SimHidTransport::log() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_log;
}

std::vector<SimLogEntry> SimHidTransport::decodeLog() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<SimLogEntry> out = m_log;
    for (SimLogEntry &e : out)
    {
        bool command = e.dir == SimDir::FeatureSet || e.dir == SimDir::FeatureGet;
        if (!command || e.bytes.size() < 9 || e.device < 0 || !m_codec.decrypt)
            continue;
        const Device &dev = m_devices[e.device];
        if (dev.config.isEncode)
            m_codec.decrypt(e.bytes.data() + 1, dev.code);
    }
    return out;
}

void SimHidTransport::clearLog()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_log.clear();
}

void SimHidTransport::setReportHook(std::function<void(const SimLogEntry &)> hook)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_hook = std::move(hook);
}

void SimHidTransport::record(SimDir dir, int device, const std::string &path, HidHandle h,
                             const uint8_t *bytes, size_t len)
{
    SimLogEntry e;
    e.time = m_clock.now();
    e.dir = dir;
    e.device = device;
    e.path = path;
    e.handle = h;
    if (bytes)
        e.bytes.assign(bytes, bytes + len);
    m_log.push_back(e);
    if (m_hook && dir != SimDir::Open && dir != SimDir::Close)
        m_pendingHooks.push_back(std::move(e));
}

// Runs the report hook without the lock: it may start another command, as a nested event loop would.
void SimHidTransport::flushHooks(std::unique_lock<std::mutex> &lock)
{
    while (!m_pendingHooks.empty() && m_hook)
    {
        SimLogEntry e = std::move(m_pendingHooks.front());
        m_pendingHooks.erase(m_pendingHooks.begin());
        auto hook = m_hook;
        lock.unlock();
        hook(e);
        lock.lock();
    }
    m_pendingHooks.clear();
}

SimHidTransport::Handle *SimHidTransport::handle(HidHandle id)
{
    auto it = m_handles.find(id);
    if (it != m_handles.end())
        return &it->second;
    if (id != kNoHidHandle)
        ++m_stale;
    return nullptr;
}

// The handle of a call whose buffer and length are usable, else null.
SimHidTransport::Handle *SimHidTransport::usable(HidHandle id, const void *buf, size_t len)
{
    Handle *h = handle(id);
    return h && buf && len > 0 ? h : nullptr;
}

HidStatus SimHidTransport::gate(Handle *h, int device, SimStep step, int index, SimFault *fired)
{
    Device &dev = m_devices[device];
    if (!dev.present || (h && h->plugGeneration != dev.plugGeneration))
        return HidStatus::Offline;
    if (step != SimStep::Open)
        ++dev.reportsSeen;
    for (auto it = dev.faults.begin(); it != dev.faults.end(); ++it)
    {
        const SimFault &f = *it;
        bool match = f.step == SimStep::AnyReport ? (step != SimStep::Open && f.index == dev.reportsSeen)
                                                  : (f.step == step && (f.index < 0 || f.index == index));
        if (!match || (f.command >= 0 && (!h || f.command != h->command)))
            continue;
        SimFault copy = f;
        if (it->count > 0 && --it->count == 0)
            dev.faults.erase(it);
        if (fired)
            *fired = copy;
        switch (copy.kind)
        {
        case SimFaultKind::Unplug:
            dev.present = false;
            return HidStatus::Offline;
        case SimFaultKind::Fail:
            return HidStatus::IoError;
        case SimFaultKind::Stall:
            return HidStatus::NotSupported;
        case SimFaultKind::NoReply:
            return HidStatus::Timeout;
        default:
            return HidStatus::Ok;
        }
    }
    return HidStatus::Ok;
}

std::vector<HidDeviceInfo> SimHidTransport::enumerate(uint16_t vid, uint16_t pid)
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::vector<HidDeviceInfo> out;
    for (const Device &dev : m_devices)
    {
        if (!dev.present)
            continue;
        for (const HidDeviceInfo &e : dev.config.entries)
            if ((vid == 0 || e.vid == vid) && (pid == 0 || e.pid == pid))
                out.push_back(e);
    }
    return out;
}

HidStatus SimHidTransport::open(const std::string &path, HidHandle *out)
{
    if (!out)
        return HidStatus::BadArgument;
    *out = kNoHidHandle;
    std::unique_lock<std::mutex> lock(m_lock);
    int device = -1;
    for (size_t d = 0; d < m_devices.size() && device < 0; ++d)
        for (const HidDeviceInfo &e : m_devices[d].config.entries)
            if (e.path == path)
                device = static_cast<int>(d);
    HidStatus st = device < 0 ? HidStatus::Offline : gate(nullptr, device, SimStep::Open, -1, nullptr);
    if (st != HidStatus::Ok)
    {
        record(SimDir::Open, device, path, kNoHidHandle, nullptr, 0);
        // A failed open is Offline whatever the reason, as hidapi's NULL is.
        return HidStatus::Offline;
    }
    HidHandle id = m_next++;
    Handle h;
    h.device = device;
    h.plugGeneration = m_devices[device].plugGeneration;
    h.path = path;
    m_handles[id] = h;
    record(SimDir::Open, device, path, id, nullptr, 0);
    *out = id;
    return HidStatus::Ok;
}

void SimHidTransport::close(HidHandle id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_handles.find(id);
    if (it == m_handles.end())
    {
        if (id != kNoHidHandle)
            ++m_stale;
        return;
    }
    record(SimDir::Close, it->second.device, it->second.path, id, nullptr, 0);
    m_handles.erase(it);
}

void SimHidTransport::runCommand(Device &dev, Handle &h, const uint8_t plain[9])
{
    uint8_t cmd = plain[1];
    std::array<uint8_t, 9> reply = {};
    int family = dev.config.family;
    h.profileIn = -1;
    h.bulkOut.clear();
    if (family == 560 && cmd == 0x04)
        dev.stages[plain[2] & 3] = plain[3];
    else if (family == 560 && cmd == 0x84)
    {
        reply[1] = cmd;
        reply[2] = plain[2];
        reply[3] = dev.stages[plain[2] & 3];
    }
    else if (family == 560 && cmd == 0x0C)
    {
        h.profileIn = plain[2];
        h.profileOffset = 0;
    }
    else if (family == 560 && cmd == 0x8C)
    {
        reply[1] = cmd;
        reply[2] = plain[2];
        auto it = dev.profiles.find(plain[2]);
        std::array<uint8_t, 128> image = it == dev.profiles.end() ? std::array<uint8_t, 128>{} : it->second;
        h.bulkOut.assign(image.begin(), image.end());
    }
    else if ((family == 560 && (cmd == 0x01 || cmd == 0x02)) ||
             (family == 553 && (cmd == 0x03 || cmd == 0x0B)))
        std::copy(plain, plain + 9, dev.stored[cmd].begin());
    else if (cmd & 0x80)
    {
        auto it = dev.stored.find(cmd & 0x7F);
        if (it != dev.stored.end())
        {
            reply = it->second;
            reply[1] = cmd;
        }
    }
    if (reply[1] != 0)
        reply[8] = checksum(&reply[1]);
    h.reply = reply;
}

HidStatus SimHidTransport::sendFeature(HidHandle id, const uint8_t *data, size_t len)
{
    std::unique_lock<std::mutex> lock(m_lock);
    Handle *h = usable(id, data, len);
    if (!h)
        return HidStatus::BadArgument;
    Device &dev = m_devices[h->device];
    uint8_t plain[9] = {};
    std::memcpy(plain, data, std::min<size_t>(len, 9));
    if (dev.config.isEncode && m_codec.decrypt)
        m_codec.decrypt(plain + 1, dev.code);
    h->command = plain[1];
    h->writes = 0;
    h->reads = 0;
    HidStatus st = gate(h, h->device, SimStep::SetFeature, -1, nullptr);
    if (st != HidStatus::Ok)
        return st;
    record(SimDir::FeatureSet, h->device, h->path, id, data, len);
    runCommand(dev, *h, plain);
    flushHooks(lock);
    return HidStatus::Ok;
}

HidStatus SimHidTransport::getFeature(HidHandle id, uint8_t *buf, size_t len, size_t *got)
{
    std::unique_lock<std::mutex> lock(m_lock);
    if (got)
        *got = 0;
    Handle *h = got ? usable(id, buf, len) : nullptr;
    if (!h)
        return HidStatus::BadArgument;
    Device &dev = m_devices[h->device];
    SimFault fired;
    fired.kind = SimFaultKind::Fail;
    fired.value = -1;
    HidStatus st = gate(h, h->device, SimStep::GetFeature, -1, &fired);
    if (st == HidStatus::Timeout)
    {
        lock.unlock();
        m_clock.sleep(1000);
        return st;
    }
    if (st != HidStatus::Ok)
        return st;
    std::array<uint8_t, 9> reply = h->reply;
    if (dev.config.isEncode && m_codec.encrypt && reply[1] != 0)
        m_codec.encrypt(reply.data() + 1, dev.code);
    size_t n = 9;
    uint8_t wire[64] = {};
    std::copy(reply.begin(), reply.end(), wire);
    if (fired.value >= 0 && fired.kind == SimFaultKind::ReplyLength)
        n = std::min<size_t>(static_cast<size_t>(fired.value), sizeof wire);
    if (fired.value >= 0 && fired.kind == SimFaultKind::ReplyReportId)
        wire[0] = static_cast<uint8_t>(fired.value);
    if (dev.hasNextReply)
    {
        n = dev.nextReply.size();
        std::copy(dev.nextReply.begin(), dev.nextReply.end(), wire);
        dev.hasNextReply = false;
    }
    std::memcpy(buf, wire, std::min(n, len));
    *got = n;
    record(SimDir::FeatureGet, h->device, h->path, id, wire, n);
    flushHooks(lock);
    return n == len ? HidStatus::Ok : HidStatus::IoError;
}

HidStatus SimHidTransport::write(HidHandle id, const uint8_t *data, size_t len)
{
    std::unique_lock<std::mutex> lock(m_lock);
    Handle *h = usable(id, data, len);
    if (!h)
        return HidStatus::BadArgument;
    Device &dev = m_devices[h->device];
    HidStatus st = gate(h, h->device, SimStep::Write, h->writes, nullptr);
    if (st != HidStatus::Ok)
        return st;
    ++h->writes;
    record(SimDir::Write, h->device, h->path, id, data, len);
    if (h->profileIn >= 0 && len > 1)
    {
        std::array<uint8_t, 128> &image = dev.profiles[h->profileIn];
        size_t n = std::min(len - 1, image.size() - h->profileOffset);
        std::memcpy(image.data() + h->profileOffset, data + 1, n);
        h->profileOffset += n;
        if (h->profileOffset >= image.size())
            h->profileIn = -1;
    }
    flushHooks(lock);
    return HidStatus::Ok;
}

HidStatus SimHidTransport::readTimeout(HidHandle id, uint8_t *buf, size_t len, int ms, size_t *got)
{
    std::unique_lock<std::mutex> lock(m_lock);
    if (got)
        *got = 0;
    Handle *h = got ? usable(id, buf, len) : nullptr;
    if (!h)
        return HidStatus::BadArgument;
    Device &dev = m_devices[h->device];
    HidStatus st = gate(h, h->device, SimStep::Read, h->reads, nullptr);
    std::vector<uint8_t> report;
    if (st == HidStatus::Ok)
    {
        if (!h->bulkOut.empty())
        {
            // Bulk data comes in input reports of reportLength bytes, the last one zero-filled.
            report.assign(static_cast<size_t>(std::max(dev.config.reportLength, 1)), 0);
            size_t n = std::min(report.size(), h->bulkOut.size());
            std::copy(h->bulkOut.begin(), h->bulkOut.begin() + static_cast<long>(n), report.begin());
            h->bulkOut.erase(h->bulkOut.begin(), h->bulkOut.begin() + static_cast<long>(n));
        }
        else if (!dev.input.empty())
        {
            report = dev.input.front();
            dev.input.pop_front();
        }
        else if (dev.periodMs > 0 && dev.nextPeriodic <= m_clock.now() + ms)
        {
            int64_t wait = dev.nextPeriodic - m_clock.now();
            dev.nextPeriodic += dev.periodMs;
            report = dev.periodic;
            lock.unlock();
            m_clock.sleep(static_cast<int>(std::max<int64_t>(wait, 0)));
            lock.lock();
            h = handle(id);
            if (!h)
                return HidStatus::BadArgument;
        }
        else
            st = HidStatus::Timeout;
    }
    if (st == HidStatus::Timeout)
    {
        lock.unlock();
        m_clock.sleep(ms);
        return st;
    }
    if (st != HidStatus::Ok)
        return st;
    ++h->reads;
    if (!report.empty())
        std::memcpy(buf, report.data(), std::min(report.size(), len));
    *got = std::min(report.size(), len);
    record(SimDir::Read, h->device, h->path, id, report.data(), report.size());
    flushHooks(lock);
    return report.size() == len ? HidStatus::Ok : HidStatus::IoError;
}
