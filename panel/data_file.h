// The panel's data files are INI text read with QSettings. A file the panel cannot trust is treated
// as missing and never written, so the user's file survives byte for byte.
#pragma once

#include <QString>
#include <QVariant>

struct DataFileCheck
{
    bool usable = true; // a missing file is usable: it reads as defaults and its first write creates it
    QString reason;     // why not, for the log
};

// Rejects a file over 1 MiB, one holding a NUL byte, a folder or unreadable file, and one that
// QSettings reads with a status other than NoError.
DataFileCheck checkDataFile(const QString &path);

// Copies source to target + ".new", then renames that over target, so the target is either its
// old self or a whole copy. False when the copy or the rename fails; the temporary file is then
// removed (a folder in its place is left alone).
bool copyThroughTemporary(const QString &source, const QString &target);

// A name that becomes a file name (a macro, a language): not empty, and free of "/", "\", "..", ":",
// NUL and control characters, so it cannot reach another file.
bool isSafeFileName(const QString &name);

// A count read from a file: non-numeric or negative gives 0, and at most `limit`.
int boundedCount(const QVariant &value, int limit = 10000);
