// libFuzzer entry point: the first byte picks the kind of panel data file (or a copy-data record),
// the rest is its content; every reader runs over it. Built only with clang (see ../CMakeLists.txt).
#include "support/panel_files_input.h"

#include <filesystem>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QString root = QString::fromStdString(
        (std::filesystem::temp_directory_path() / ("zelko-panel-files-fuzz-" + std::to_string(::getpid())))
            .string());
    if (size == 0)
        return 0;
    panel_input::run(root, data[0] % panel_input::kKinds, data + 1, size - 1);
    return 0;
}
