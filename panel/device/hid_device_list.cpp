#include "panel/device/hid_device_list.h"

#include "panel/device/data_file_check.h"

#include <QDebug>
#include <QFileInfo>
#include <QSettings>

namespace
{
// Hexadecimal text; what does not parse is 0.
uint32_t hexValue(const QSettings &s, const QString &key, uint32_t fallback)
{
    QVariant v = s.value(key);
    if (!v.isValid())
        return fallback;
    bool ok = false;
    uint32_t n = v.toString().trimmed().toUInt(&ok, 16);
    return ok ? n : 0;
}
} // namespace

bool secrecyCodeOf(const QString &sCode, uint8_t code[7])
{
    if (sCode.size() != 6)
        return false;
    for (QChar c : sCode)
        if (c.unicode() >= 0x80)
            return false;
    for (int i = 0; i < 6; ++i)
        code[i] = static_cast<uint8_t>(sCode[i].unicode());
    return true;
}

QList<HidDeviceRecord> loadHidDeviceList(const QString &file)
{
    QList<HidDeviceRecord> list;
    // Without it the panel finds no device at all: worth a line, unlike a missing settings file.
    if (!QFileInfo::exists(file))
    {
        qDebug().noquote() << "device file" << file << "missing: no device is looked for";
        return list;
    }
    if (!usableDataFile(file))
        return list;
    QSettings s(file, QSettings::IniFormat);
    int count = s.value("common/deviceCount", 0).toInt();
    if (count > kMaxHidDevices)
    {
        qDebug().noquote() << "device file" << file << "lists" << count << "devices, reading"
                           << kMaxHidDevices;
        count = kMaxHidDevices;
    }
    for (int i = 0; i < count; ++i)
    {
        const QString g = QString::number(i) + QLatin1Char('/');
        HidDeviceRecord r;
        r.type = static_cast<int32_t>(hexValue(s, g + "type", 0xFFFFFFFFu));
        r.vid = static_cast<uint16_t>(hexValue(s, g + "vid", 0));
        r.pid = static_cast<uint16_t>(hexValue(s, g + "pid", 0));
        r.usagePage = static_cast<uint16_t>(hexValue(s, g + "usagePage", 0));
        r.usage = static_cast<uint16_t>(hexValue(s, g + "usage", 0));
        r.usagePage2 = static_cast<uint16_t>(hexValue(s, g + "usagePage2", 0));
        r.usage2 = static_cast<uint16_t>(hexValue(s, g + "usage2", 0));
        QVariant length = s.value(g + "reportLength");
        if (length.isValid())
        {
            bool ok = false;
            int n = length.toString().trimmed().toInt(&ok);
            // 0 would never end a bulk transfer, and the chunk buffer holds 1024 bytes of payload.
            if (ok && n >= 1 && n <= kMaxReportLength)
                r.reportLength = n;
            else
                qDebug().noquote() << "device" << i << "reportLength" << length.toString()
                                   << "out of 1..1024, using 32";
        }
        r.isEncode = s.value(g + "isEncode", false).toBool();
        r.sCode = s.value(g + "sCode", QStringLiteral("482917")).toString();
        uint8_t probe[7] = {};
        if (!secrecyCodeOf(r.sCode, probe))
            qDebug().noquote() << "device" << i
                               << "sCode is not six plain characters; the last loaded code is used";
        list.append(r);
    }
    return list;
}

HidMatch matchDevice(const HidDeviceRecord &record, const std::vector<HidDeviceInfo> &entries)
{
    HidMatch m;
    for (const HidDeviceInfo &e : entries)
    {
        qDebug("open device...");
        qDebug("VID = %x", e.vid);
        qDebug("PID = %x", e.pid);
        qDebug("usagePage = %x", e.usagePage);
        qDebug("usage = %x", e.usage);
        qDebug("MI = %x", static_cast<unsigned>(e.interfaceNumber));
        if (e.usagePage == record.usagePage && e.usage == record.usage)
        {
            m.path = QString::fromStdString(e.path);
            m.connected = true;
        }
        if (e.usagePage == record.usagePage2 && e.usage == record.usage2)
            m.path2 = QString::fromStdString(e.path);
    }
    if (!m.connected)
        m.path2.clear();
    return m;
}
