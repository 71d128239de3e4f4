// A device file, simulated devices that match it, and the transport over them.
#pragma once

#include "panel/device/hid_scrambler.h"
#include "panel/device/hid_thread.h"
#include "platform/hid/sim_hid_transport.h"
#include "support/qt_log.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using Bytes = std::vector<uint8_t>;

struct SimSetup
{
    int family = 560;
    int reportLength = 32;
    bool encode = false;
    QString sCode = "482917";
};

class RecordingHost : public HidHost
{
public:
    bool gun = true;
    std::vector<unsigned char> statuses;
    bool offGuiThread = false;
    bool mouseIsGun() const override { return gun; }
    void headsetStatus(unsigned char status) override
    {
        offGuiThread |= QThread::currentThread() != QCoreApplication::instance()->thread();
        statuses.push_back(status);
    }
};

// Lines of the capture that contain text.
inline int linesWith(const QtLogCapture &log, const QString &text)
{
    int n = 0;
    for (const std::string &line : log.Texts())
        n += QString::fromStdString(line).contains(text);
    return n;
}

inline QString simPath(int d)
{
    return QString("sim:%1").arg(d);
}

// Writes one device-file group per setup and one simulated device per setup, matched by usage.
class HidRig
{
public:
    explicit HidRig(const std::vector<SimSetup> &setups = std::vector<SimSetup>(4))
    {
        QString ini = QString("[common]\ndeviceCount=%1\n").arg(setups.size());
        for (size_t d = 0; d < setups.size(); ++d)
        {
            const SimSetup &s = setups[d];
            ini +=
                QString(
                    "[%1]\nvid=%2\npid=1\nusagePage=ff00\nusage=1\nreportLength=%3\nisEncode=%4\nsCode=%5\n")
                    .arg(d)
                    .arg(0x1000 + d, 0, 16)
                    .arg(s.reportLength)
                    .arg(s.encode ? "true" : "false")
                    .arg(s.sCode);
            SimDeviceConfig c;
            c.family = s.family;
            c.reportLength = s.reportLength;
            c.isEncode = s.encode;
            c.sCode = s.sCode.toStdString();
            HidDeviceInfo info;
            info.path = simPath(static_cast<int>(d)).toStdString();
            info.vid = static_cast<uint16_t>(0x1000 + d);
            info.pid = 1;
            info.usagePage = 0xFF00;
            info.usage = 1;
            info.interfaceNumber = 1;
            c.entries.push_back(info);
            sim.addDevice(c);
        }
        file = dir.filePath("apConfig.bin");
        QFile out(file);
        EXPECT_TRUE(out.open(QIODevice::WriteOnly));
        out.write(ini.toUtf8());
        out.close();
        hid = std::make_unique<Hid_Thread>(sim, file);
        hid->setHost(&host);
        for (size_t d = 0; d < setups.size(); ++d)
            hid->detectDevice(static_cast<int>(d));
        sim.clearLog();
    }

    // The reports of one direction, in order, optionally of one device.
    Bytes nth(SimDir dir, size_t n, int device = -1, bool decoded = false) const
    {
        auto all = of(dir, device, decoded);
        return n < all.size() ? all[n] : Bytes{};
    }
    std::vector<Bytes> of(SimDir dir, int device = -1, bool decoded = false) const
    {
        std::vector<Bytes> out;
        for (const SimLogEntry &e : decoded ? sim.decodeLog() : sim.log())
            if (e.dir == dir && (device < 0 || e.device == device))
                out.push_back(e.bytes);
        return out;
    }
    std::vector<SimLogEntry> entries(SimDir dir) const
    {
        std::vector<SimLogEntry> out;
        for (const SimLogEntry &e : sim.log())
            if (e.dir == dir)
                out.push_back(e);
        return out;
    }
    // Reports moved either way, not counting opens and closes.
    int traffic() const
    {
        int n = 0;
        for (const SimLogEntry &e : sim.log())
            n += e.dir != SimDir::Open && e.dir != SimDir::Close;
        return n;
    }
    int64_t now() { return sim.virtualClock().now(); }

    QTemporaryDir dir;
    SimHidTransport sim{hidCodec()};
    RecordingHost host;
    QString file;
    std::unique_ptr<Hid_Thread> hid;
};

inline QByteArray ramp(int n, int start = 1)
{
    QByteArray a(n, 0);
    for (int i = 0; i < n; ++i)
        a[i] = static_cast<char>(start + i);
    return a;
}
