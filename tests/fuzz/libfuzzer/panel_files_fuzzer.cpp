// libFuzzer entry point: the first byte picks the kind of panel data file (or a copy-data record),
// the rest is its content; every reader runs over it. Built only with clang (see ../CMakeLists.txt).
#include "support/fuzz_scratch.h"
#include "support/panel_files_input.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString root =
        QString::fromStdString(fuzz_scratch::Folder("zelko-panel-files-fuzz").string());
    if (size == 0)
        return 0;
    panel_input::run(root, data[0] % panel_input::kKinds, data + 1, size - 1);
    return 0;
}
