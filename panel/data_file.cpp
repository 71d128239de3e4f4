#include "data_file.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QTemporaryFile>
#include <QVariant>

#include <filesystem>

DataFileCheck checkDataFile(const QString &path)
{
    // Larger than any file the panel writes: reading it would only stall the GUI thread.
    constexpr qint64 kMaxBytes = 1024 * 1024;
    const QFileInfo info(path);
    if (!info.exists())
        return {};
    if (!info.isFile())
        return {false, "not a regular file"};
    if (info.size() > kMaxBytes)
        return {false, "larger than 1 MiB"};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {false, "unreadable"};
    const QByteArray bytes = file.readAll();
    if (bytes.contains('\0'))
        return {false, "holds a NUL byte"};
    // QSettings keeps a path's parsed contents, and its status, while the file looks unchanged: a
    // second look at the same path would pass. The bytes are judged under a path never used before.
    QTemporaryFile copy;
    if (!copy.open() || copy.write(bytes) != bytes.size() || !copy.flush())
        return {false, "could not be checked"};
    QSettings settings(copy.fileName(), QSettings::IniFormat);
    if (settings.status() != QSettings::NoError)
        return {false, "not valid settings text"};
    return {};
}

bool copyThroughTemporary(const QString &source, const QString &target)
{
    const QString temporary = target + ".new";
    bool ok = QFile::copy(source, temporary);
    if (ok)
    {
        std::error_code error;
        std::filesystem::rename(temporary.toStdString(), target.toStdString(), error);
        ok = !error;
    }
    if (!ok && QFileInfo(temporary).isFile())
        QFile::remove(temporary);
    return ok;
}

bool isSafeFileName(const QString &name)
{
    if (name.isEmpty() || name.contains('/') || name.contains('\\') || name.contains("..") ||
        name.contains(':'))
        return false;
    for (const QChar c : name)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return false;
    return true;
}

int boundedCount(const QVariant &value, int limit)
{
    bool ok = false;
    const qlonglong n = value.toString().trimmed().toLongLong(&ok);
    if (!ok || n < 0)
        return 0;
    return n > limit ? limit : int(n);
}
