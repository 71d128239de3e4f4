// What every seed writer shares: `<writer> <directory>` creates the directory and writes each seed
// the writer emits into a file of its own.
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace seeds
{
// Runs `emit(write)`, where write(bytes, length) stores the next seed; returns the exit status.
template <class Emit> int WriteSeeds(int argc, char **argv, Emit emit)
{
    if (argc != 2)
    {
        std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    unsigned n = 0;
    bool ok = true;
    emit(
        [&](const void *bytes, size_t length)
        {
            const std::filesystem::path file = dir / ("seed-" + std::to_string(n++));
            std::ofstream out(file, std::ios::binary);
            out.write(static_cast<const char *>(bytes), std::streamsize(length));
            if (!out && ok)
            {
                std::fprintf(stderr, "cannot write %s\n", file.c_str());
                ok = false;
            }
        });
    if (!ok)
        return 1;
    std::printf("%u seeds in %s\n", n, dir.c_str());
    return 0;
}
} // namespace seeds
