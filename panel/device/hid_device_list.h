// The supported HID devices, as the device file lists them, and the rule that matches a record to
// the interfaces enumeration finds.
#pragma once

#include "platform/hid/hid_transport.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <vector>

struct HidDeviceRecord
{
    int32_t type = -1;
    uint16_t vid = 0;
    uint16_t pid = 0;
    uint16_t usagePage = 0;
    uint16_t usage = 0;
    uint16_t usagePage2 = 0;
    uint16_t usage2 = 0;
    int32_t reportLength = 32; // 1..1024: payload bytes of one output report
    bool isEncode = false;
    QString sCode = QStringLiteral("482917");
    QString path;  // command interface, empty until matched
    QString path2; // second interface, empty until matched
};

constexpr int kMaxHidDevices = 64;
constexpr int kMaxReportLength = 1024;

// Reads the INI device file; never writes it. A missing file is an empty list. A file over 1 MiB,
// holding a NUL byte or that the INI reader rejects is an empty list and one log line naming it.
QList<HidDeviceRecord> loadHidDeviceList(const QString &file);

// The 7-byte code buffer for sCode when it has six characters below 0x80; false (code untouched)
// otherwise.
bool secrecyCodeOf(const QString &sCode, uint8_t code[7]);

struct HidMatch
{
    QString path;
    QString path2;
    bool connected = false; // the command interface was found
};

// Entries whose usage page and usage equal the record's first pair give path, the second pair
// path2; a later entry overwrites an earlier one. Without a first-pair match both paths are empty.
HidMatch matchDevice(const HidDeviceRecord &record, const std::vector<HidDeviceInfo> &entries);
