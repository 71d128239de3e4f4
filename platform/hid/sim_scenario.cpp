// Scenario files for the simulated devices, for example:
// {"devices": [{"name": "mouse", "family": 560, "isEncode": true, "sCode": "482917", "reportLength": 64,
//   "entries": [{"path": "sim:mouse", "vid": "04d9", "pid": "a070", "usagePage": "ff00", "usage": "1",
//                "interface": 1}],
//   "profiles": {"1": "00 11 22 ..."}, "reports": ["ff 40 00 ..."], "reportPeriodMs": 300,
//   "faults": [{"step": "read", "kind": "noReply", "command": "8c", "index": 1, "count": 1}]}]}
// Every device needs "reportLength" and "entries", every entry "path", "vid" and "pid"; the rest
// have defaults.
#include "platform/hid/sim_hid_transport.h"

#include <QDebug>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace
{
// Far above any scenario of a few devices; a larger file is a mistake, not a scenario.
constexpr qint64 kMaxScenarioBytes = 1 << 20;
// The largest report a device of the panel's device file may have.
constexpr int kMaxReportLength = 1024;

// A number, or a hexadecimal text.
int number(const QJsonValue &v, int fallback)
{
    if (v.isDouble())
        return v.toInt();
    if (v.isString())
    {
        bool ok = false;
        int n = v.toString().toInt(&ok, 16);
        return ok ? n : fallback;
    }
    return fallback;
}

std::vector<uint8_t> bytes(const QString &hex)
{
    QByteArray raw = QByteArray::fromHex(hex.toLatin1());
    return std::vector<uint8_t>(raw.begin(), raw.end());
}

template <typename E>
bool pick(const QString &text, const std::initializer_list<std::pair<const char *, E>> &names, E *out)
{
    for (const auto &n : names)
        if (text == QLatin1String(n.first))
        {
            *out = n.second;
            return true;
        }
    return false;
}

bool parseFault(const QJsonObject &o, SimFault *f)
{
    bool ok = pick<SimStep>(o.value("step").toString(),
                            {{"open", SimStep::Open},
                             {"setFeature", SimStep::SetFeature},
                             {"getFeature", SimStep::GetFeature},
                             {"write", SimStep::Write},
                             {"read", SimStep::Read},
                             {"anyReport", SimStep::AnyReport}},
                            &f->step) &&
              pick<SimFaultKind>(o.value("kind").toString(),
                                 {{"fail", SimFaultKind::Fail},
                                  {"stall", SimFaultKind::Stall},
                                  {"noReply", SimFaultKind::NoReply},
                                  {"replyLength", SimFaultKind::ReplyLength},
                                  {"replyReportId", SimFaultKind::ReplyReportId},
                                  {"unplug", SimFaultKind::Unplug}},
                                 &f->kind);
    f->command = number(o.value("command"), -1);
    f->index = o.value("index").toInt(-1);
    f->value = o.value("value").toInt(0);
    f->count = o.value("count").toInt(1);
    return ok;
}

// The fields a device cannot do without: what is missing or of the wrong kind, named as
// the file names it; empty when the scenario has its shape.
QString shapeProblem(const QJsonObject &scenario)
{
    if (!scenario.value("devices").isArray())
        return scenario.contains("devices") ? QStringLiteral("\"devices\" is not an array")
                                            : QStringLiteral("\"devices\" is missing");
    const QJsonArray devices = scenario.value("devices").toArray();
    for (int d = 0; d < devices.size(); ++d)
    {
        const QString device = QStringLiteral("device %1").arg(d);
        if (!devices[d].isObject())
            return device + " is not an object";
        const QJsonObject o = devices[d].toObject();
        const QJsonValue length = o.value("reportLength");
        // The device's interrupt reports: a bulk transfer of 0-byte reports would never end.
        if (!length.isDouble() || length.toDouble() != length.toInt() || length.toInt() < 1 ||
            length.toInt() > kMaxReportLength)
            return device + QStringLiteral(" has no \"reportLength\" of 1 to %1").arg(kMaxReportLength);
        if (!o.value("entries").isArray())
            return device + " has no \"entries\" array";
        const QJsonArray entries = o.value("entries").toArray();
        for (int e = 0; e < entries.size(); ++e)
        {
            const QJsonObject entry = entries[e].toObject();
            for (const char *field : {"path", "vid", "pid"})
                if (!entries[e].isObject() || !entry.contains(QLatin1String(field)))
                    return device + QStringLiteral(" entry %1 has no \"%2\"").arg(e).arg(field);
            if (!entry.value("path").isString() || entry.value("path").toString().isEmpty())
                return device + QStringLiteral(" entry %1 has no \"path\" text").arg(e);
        }
    }
    return {};
}
} // namespace

bool SimHidTransport::loadScenario(const std::string &file)
{
    QFile in(QString::fromStdString(file));
    if (!in.open(QIODevice::ReadOnly))
    {
        qDebug() << "HID scenario" << in.fileName() << "cannot be read";
        return false;
    }
    // Read whole or not at all: a cut file would only report a confusing parse error at the cut.
    if (in.size() > kMaxScenarioBytes)
    {
        qDebug().noquote() << "HID scenario" << in.fileName() << "is over the limit of" << kMaxScenarioBytes
                           << "bytes; no device is added";
        return false;
    }
    QJsonParseError error;
    QJsonDocument doc = QJsonDocument::fromJson(in.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
    {
        qDebug() << "HID scenario" << in.fileName() << "does not parse:"
                 << (doc.isNull() ? error.errorString() : QStringLiteral("not an object"));
        return false;
    }
    const QString shape = shapeProblem(doc.object());
    if (!shape.isEmpty())
    {
        qDebug().noquote() << "HID scenario" << in.fileName() + ":" << shape + "; no device is added";
        return false;
    }
    // Everything is checked before the first device is added, so a bad file adds none.
    struct Parsed
    {
        SimDeviceConfig config;
        QJsonObject source;
        std::vector<SimFault> faults;
    };
    std::vector<Parsed> devices;
    for (const QJsonValue &dv : doc.object().value("devices").toArray())
    {
        QJsonObject o = dv.toObject();
        Parsed p;
        p.source = o;
        p.config.name = o.value("name").toString().toStdString();
        p.config.family = o.value("family").toInt(560);
        p.config.isEncode = o.value("isEncode").toBool(false);
        p.config.sCode = o.value("sCode").toString("482917").toStdString();
        p.config.reportLength = o.value("reportLength").toInt();
        for (const QJsonValue &ev : o.value("entries").toArray())
        {
            QJsonObject e = ev.toObject();
            HidDeviceInfo info;
            info.path = e.value("path").toString().toStdString();
            info.vid = static_cast<uint16_t>(number(e.value("vid"), 0));
            info.pid = static_cast<uint16_t>(number(e.value("pid"), 0));
            info.usagePage = static_cast<uint16_t>(number(e.value("usagePage"), 0));
            info.usage = static_cast<uint16_t>(number(e.value("usage"), 0));
            info.interfaceNumber = e.value("interface").toInt(-1);
            p.config.entries.push_back(info);
        }
        for (const QJsonValue &fv : o.value("faults").toArray())
        {
            SimFault f;
            if (!parseFault(fv.toObject(), &f))
            {
                qDebug() << "HID scenario" << in.fileName() << "has a fault it does not know";
                return false;
            }
            p.faults.push_back(f);
        }
        devices.push_back(p);
    }
    for (const Parsed &p : devices)
    {
        int d = addDevice(p.config);
        QJsonObject profiles = p.source.value("profiles").toObject();
        for (auto it = profiles.begin(); it != profiles.end(); ++it)
        {
            std::array<uint8_t, 128> image = {};
            std::vector<uint8_t> raw = bytes(it.value().toString());
            std::copy(raw.begin(), raw.begin() + static_cast<long>(std::min(raw.size(), image.size())),
                      image.begin());
            setProfile(d, it.key().toInt(), image);
        }
        for (const QJsonValue &r : p.source.value("reports").toArray())
            queueInput(d, bytes(r.toString()));
        int period = p.source.value("reportPeriodMs").toInt(0);
        QJsonArray reports = p.source.value("reports").toArray();
        if (period > 0 && !reports.isEmpty())
            setPeriodicInput(d, bytes(reports.last().toString()), period);
        for (const SimFault &f : p.faults)
            addFault(d, f);
    }
    return true;
}
