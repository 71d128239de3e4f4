// The panel's data files, the device list among them, are INI text read with QSettings. A file the
// panel cannot trust is treated as missing and never written, so the user's file survives byte for
// byte.
#pragma once

#include <QString>

struct DataFileCheck
{
    bool usable = true; // a missing file is usable: it reads as defaults and its first write creates it
    QString reason;     // why not, for the log
};

// Rejects a file over 1 MiB, one holding a NUL byte, a folder or unreadable file, and one that
// QSettings reads with a status other than NoError.
DataFileCheck checkDataFile(const QString &path);

// checkDataFile, and a file that fails it is logged ("damaged data file <path>: <reason>") once
// while it stays as it is (same size and time), whichever reader meets it first: the device list
// and the view both read apConfig.bin, and one start should say so once. Any thread.
bool usableDataFile(const QString &path);
