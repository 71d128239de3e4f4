#include "panel/device/hid_thread.h"

#include "panel/device/hid_scrambler.h"

#include <QCoreApplication>
#include <QDebug>
#include <QtConcurrent>

#include <algorithm>
#include <cstring>

Hid_Thread::Hid_Thread(HidTransport &transport, const QString &deviceFile, QObject *parent)
    : QThread(parent), m_transport(transport), m_devices(loadHidDeviceList(deviceFile))
{
}

Hid_Thread::~Hid_Thread()
{
    m_polling = false;
    m_pollFuture.waitForFinished();
    closePollHandle();
}

int Hid_Thread::deviceCount() const
{
    return m_devices.size();
}

bool Hid_Thread::deviceAt(int did, HidDeviceRecord *out) const
{
    std::lock_guard<std::mutex> guard(m_pathsLock);
    if (did < 0 || did >= m_devices.size())
        return false;
    *out = m_devices[did];
    return true;
}

HidMatch Hid_Thread::detectDevice(int did)
{
    HidDeviceRecord record;
    if (!deviceAt(did, &record))
        return {};
    HidMatch m = matchDevice(record, m_transport.enumerate(record.vid, record.pid));
    {
        std::lock_guard<std::mutex> guard(m_pathsLock);
        m_devices[did].path = m.path;
        m_devices[did].path2 = m.path2;
    }
    if (did == kHeadset && m.connected)
        m_connection |= 1u << 3;
    return m;
}

uchar Hid_Thread::hidCS(uchar *cmd)
{
    return cmd ? hidChecksum(cmd) : 0;
}

void Hid_Thread::USBDataEncryption(uchar *FIFOBuf, uchar *SecrecyCode)
{
    if (FIFOBuf && SecrecyCode)
        scrambleBlock(FIFOBuf, SecrecyCode);
}

void Hid_Thread::USBDataDecipher(uchar *FIFOBuf, uchar *SecrecyCode)
{
    if (FIFOBuf && SecrecyCode)
        unscrambleBlock(FIFOBuf, SecrecyCode);
}

void Hid_Thread::loadSecrecyCode(int did)
{
    m_currentDevice = did;
    HidDeviceRecord record;
    if (deviceAt(did, &record))
        secrecyCodeOf(record.sCode, m_secrecyCode);
}

// The record's own code when it has one, so a command never goes out under another device's code;
// else the last loaded code.
bool Hid_Thread::codeFor(int did, uint8_t code[7]) const
{
    HidDeviceRecord record;
    if (!deviceAt(did, &record))
        return false;
    std::memcpy(code, m_secrecyCode, 7);
    secrecyCodeOf(record.sCode, code);
    code[6] = 0;
    return record.isEncode;
}

HidStatus Hid_Thread::openDevice(int did, HidHandle *handle)
{
    QString path;
    {
        std::lock_guard<std::mutex> guard(m_pathsLock);
        if (did < 0 || did >= m_devices.size())
            return HidStatus::BadArgument;
        path = m_devices[did].path;
    }
    if (path.isEmpty())
        return HidStatus::Offline;
    HidStatus st = m_transport.open(path.toStdString(), handle);
    if (st != HidStatus::Ok)
    {
        // Gone until detection finds it again.
        std::lock_guard<std::mutex> guard(m_pathsLock);
        if (did < m_devices.size() && m_devices[did].path == path)
            m_devices[did].path.clear();
    }
    return st;
}

HidStatus Hid_Thread::waitIdle()
{
    for (int i = 0; i < kIdlePolls; ++i)
    {
        bool expected = true;
        if (m_idle.compare_exchange_strong(expected, false))
            return HidStatus::Ok;
        // A command started from these events waits its turn behind the running one.
        m_transport.clock().sleep(kIdlePollMs);
        QCoreApplication::processEvents();
    }
    return HidStatus::Busy;
}

void Hid_Thread::settleWait()
{
    m_settle = false;
    m_transport.clock().sleep(64);
    if (!m_settle)
        m_settle = true;
    m_transport.clock().sleep(64);
}

HidStatus Hid_Thread::finish(HidStatus status)
{
    m_idle = true;
    return status;
}

HidStatus Hid_Thread::sendCommand(int did, const uint8_t report[9], const uint8_t *data, int length,
                                  bool settle)
{
    return finish(transfer(did, report, data, length, settle));
}

HidStatus Hid_Thread::transfer(int did, const uint8_t report[9], const uint8_t *data, int length, bool settle)
{
    HidDeviceRecord record;
    if (!deviceAt(did, &record) || length < 0 || (length > 0 && !data))
        return HidStatus::BadArgument;
    uint8_t wire[9];
    std::memcpy(wire, report, 9);
    uint8_t code[7];
    if (codeFor(did, code))
        scrambleBlock(wire + 1, code);
    HidHandle h = kNoHidHandle;
    HidStatus st = openDevice(did, &h);
    if (st != HidStatus::Ok)
        return st;
    st = m_transport.sendFeature(h, wire, sizeof wire);
    if (st == HidStatus::Ok && settle)
        settleWait();
    if (st == HidStatus::Ok && length > 0)
    {
        // Every chunk is a full report; the last one is zero-filled past the data.
        uint8_t chunk[1 + kMaxReportLength];
        const int rl = record.reportLength;
        for (int off = 0; off < length && st == HidStatus::Ok; off += rl)
        {
            const int n = std::min(rl, length - off);
            std::memset(chunk, 0, static_cast<size_t>(rl) + 1);
            std::memcpy(chunk + 1, data + off, static_cast<size_t>(n));
            st = m_transport.write(h, chunk, static_cast<size_t>(rl) + 1);
        }
        if (st == HidStatus::Ok && settle)
            settleWait();
    }
    m_transport.close(h);
    return st;
}

HidStatus Hid_Thread::queryCommand(int did, const uint8_t report[9], uint8_t reply[9], uint8_t *data,
                                   int length)
{
    HidDeviceRecord record;
    if (!deviceAt(did, &record) || !reply || length < 0 || length > 192 || (length > 0 && !data))
        return finish(HidStatus::BadArgument);
    uint8_t wire[9];
    std::memcpy(wire, report, 9);
    uint8_t code[7];
    const bool encoded = codeFor(did, code);
    if (encoded)
        scrambleBlock(wire + 1, code);
    HidHandle h = kNoHidHandle;
    HidStatus st = openDevice(did, &h);
    if (st != HidStatus::Ok)
        return finish(st);
    uint8_t answer[9] = {};
    uint8_t bulk[192];
    st = m_transport.sendFeature(h, wire, sizeof wire);
    if (st == HidStatus::Ok)
    {
        size_t got = 0;
        st = m_transport.getFeature(h, answer, sizeof answer, &got);
        // Replies carry no checksum: a wrong size or report id is all that shows a garbled one.
        if (st == HidStatus::Ok && (got != sizeof answer || answer[0] != 0))
            st = HidStatus::IoError;
    }
    const int rl = record.reportLength;
    for (int off = 0; off < length && st == HidStatus::Ok; off += rl)
    {
        const int n = std::min(rl, length - off);
        uint8_t chunk[kMaxReportLength];
        size_t got = 0;
        st = m_transport.readTimeout(h, chunk, static_cast<size_t>(rl), kChunkTimeoutMs, &got);
        if (st == HidStatus::Ok && got < static_cast<size_t>(n))
            st = HidStatus::IoError;
        if (st == HidStatus::Ok)
            std::memcpy(bulk + off, chunk, static_cast<size_t>(n));
    }
    m_transport.close(h);
    if (st == HidStatus::Ok)
    {
        if (encoded)
            unscrambleBlock(answer + 1, code);
        std::memcpy(reply, answer, sizeof answer);
        if (length > 0)
            std::memcpy(data, bulk, static_cast<size_t>(length));
    }
    return finish(st);
}

bool Hid_Thread::headSetHidSet(int did, int length)
{
    HidStatus st = HidStatus::BadArgument;
    HidHandle h = kNoHidHandle;
    if (length >= 1 && length <= kHeadsetReportLength)
        st = openDevice(did, &h);
    if (st == HidStatus::Ok)
    {
        st = m_transport.write(h, m_headsetReport, static_cast<size_t>(length));
        m_transport.close(h);
    }
    m_lastStatus = st;
    return st == HidStatus::Ok;
}

void Hid_Thread::runHeadset(const uint8_t report[16])
{
    // No claim and no wait: the lights follow the user at once, even while a command runs.
    std::memcpy(m_headsetReport, report, sizeof m_headsetReport);
    headSetHidSet(kHeadset, kHeadsetReportLength);
}

QVariant Hid_Thread::getSupportData()
{
    return QVariant(static_cast<int>(m_supportData.load()));
}

void Hid_Thread::setSupportData(QVariant value)
{
    m_supportData = value.toUInt();
}

void Hid_Thread::closePollHandle()
{
    if (m_pollHandle != kNoHidHandle)
        m_transport.close(m_pollHandle);
    m_pollHandle = kNoHidHandle;
    m_pollPath.clear();
}

// One headset read on the poll's handle; the caller holds the poll mutex.
HidStatus Hid_Thread::pollRead(uchar *status)
{
    HidDeviceRecord record;
    if (!deviceAt(kHeadset, &record))
    {
        closePollHandle();
        return HidStatus::BadArgument;
    }
    if (m_pollHandle != kNoHidHandle && record.path != m_pollPath)
        closePollHandle();
    if (m_pollHandle == kNoHidHandle)
    {
        HidStatus st = openDevice(kHeadset, &m_pollHandle);
        if (st != HidStatus::Ok)
            return st;
        m_pollPath = record.path;
    }
    uint8_t report[kHeadsetReportLength];
    size_t got = 0;
    HidStatus st = m_transport.readTimeout(m_pollHandle, report, sizeof report, kHeadsetReadMs, &got);
    if (st == HidStatus::Offline || st == HidStatus::IoError || st == HidStatus::NotSupported)
        closePollHandle();
    if (st != HidStatus::Ok)
        return st;
    *status = report[1];
    qDebug() << "readHeadSetData" << *status;
    const uchar s = *status;
    QMetaObject::invokeMethod(
        this,
        [this, s]
        {
            if (m_host)
                m_host->headsetStatus(s);
        },
        Qt::QueuedConnection);
    return HidStatus::Ok;
}

QVariant Hid_Thread::readHeadSetData()
{
    uchar status = 0;
    HidStatus st;
    {
        std::lock_guard<std::mutex> guard(m_pollLock);
        st = pollRead(&status);
    }
    m_lastStatus = st;
    return QVariant(st == HidStatus::Ok ? static_cast<int>(status) : 0);
}

void Hid_Thread::pollLoop()
{
    while (m_polling)
    {
        uchar status = 0;
        HidStatus st;
        {
            std::lock_guard<std::mutex> guard(m_pollLock);
            st = pollRead(&status);
        }
        if (st == HidStatus::Ok && (status == 0x40 || status == 0x04 || status == 0x80))
        {
            uint32_t old = m_supportData.load();
            while (!m_supportData.compare_exchange_weak(old, (old & ~0xFF00u) | (uint32_t{status} << 8)))
            {
            }
        }
        // A read that timed out has waited already; anything else would spin.
        if (st != HidStatus::Ok && st != HidStatus::Timeout)
            m_transport.clock().sleep(kHeadsetReadMs);
    }
}

void Hid_Thread::startPollingUSBVendorCmd()
{
    qDebug() << "startPollingUSBVendorCmd";
    if (m_pollFuture.isRunning())
        return;
    m_pollFuture = QtConcurrent::run([this] { pollLoop(); });
}

void Hid_Thread::stopPollingUSBVendorCmd()
{
    qDebug() << "stopPollingUSBVendorCmd";
    m_polling = false;
    m_pollFuture.waitForFinished();
    std::lock_guard<std::mutex> guard(m_pollLock);
    closePollHandle();
}
