// Writing and naming the panel's data files; checkDataFile judges whether one can be trusted.
#pragma once

#include "panel/device/data_file_check.h"

#include <QString>
#include <QVariant>

// Copies source to target + ".new", then renames that over target, so the target is either its
// old self or a whole copy. False when the copy or the rename fails; the temporary file is then
// removed (a folder in its place is left alone).
bool copyThroughTemporary(const QString &source, const QString &target);

// A name that becomes a file name (a macro, a language): not empty, and free of "/", "\", "..", ":",
// NUL and control characters, so it cannot reach another file.
bool isSafeFileName(const QString &name);

// The longest name a new data file may have: with the program's folder, "modules/macro1/" and
// ".bin" it stays well inside the 260 characters of a Windows path.
constexpr int kMaxFileNameLength = 64;
// A name for a file about to be made (created, renamed to, imported): safe as above and at most
// kMaxFileNameLength characters. Files that exist keep being reached under isSafeFileName alone.
bool isNewFileName(const QString &name);

// A count read from a file: non-numeric or negative gives 0, and at most `limit`.
int boundedCount(const QVariant &value, int limit = 10000);
