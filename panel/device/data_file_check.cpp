#include "panel/device/data_file_check.h"

#include <QFile>
#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QMutex>
#include <QSet>
#include <QSettings>
#include <QTemporaryFile>

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

bool usableDataFile(const QString &path)
{
    const DataFileCheck check = checkDataFile(path);
    if (check.usable)
        return true;
    static QMutex lock;
    static QSet<QString> reported; // a file as it stood when it was logged
    const QFileInfo info(path);
    const QString key = QString("%1|%2|%3")
                            .arg(info.absoluteFilePath())
                            .arg(info.size())
                            .arg(info.lastModified().toMSecsSinceEpoch());
    QMutexLocker guard(&lock);
    if (!reported.contains(key))
    {
        reported.insert(key);
        qWarning().noquote() << "damaged data file" << path + ":" << check.reason;
    }
    return false;
}
