// libFuzzer entry point: the first byte picks the kind of panel data file (or a copy-data record),
// the rest is its content; every reader runs over it. Built only with clang (see ../CMakeLists.txt).
#include "support/fuzz_scratch.h"
#include "support/panel_files_input.h"

#include <QFile>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString root =
        QString::fromStdString(fuzz_scratch::Folder("zelko-panel-files-fuzz").string());
    if (size == 0)
        return 0;
    const int kind = data[0] % panel_input::kKinds;
    panel_input::run(root, kind, data + 1, size - 1);
    // Each input starts from an empty folder: a file left by an earlier input would be re-read by
    // every later one, so each run would cost as much as all the kinds at their largest, and what an
    // input finds would depend on the inputs before it.
    if (kind < panel_input::kKinds - 1)
        QFile::remove(root + "/" + panel_input::kFiles[kind]);
    return 0;
}
