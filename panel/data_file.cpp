#include "data_file.h"

#include <QFile>
#include <QFileInfo>
#include <QVariant>

#include <filesystem>

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

bool isNewFileName(const QString &name)
{
    return name.size() <= kMaxFileNameLength && isSafeFileName(name);
}

int boundedCount(const QVariant &value, int limit)
{
    bool ok = false;
    const qlonglong n = value.toString().trimmed().toLongLong(&ok);
    if (!ok || n < 0)
        return 0;
    return n > limit ? limit : int(n);
}
