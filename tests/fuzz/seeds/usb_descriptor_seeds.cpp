// Writes the descriptor fuzzer's seed corpus into the directory given: the malformed cases the
// descriptor tests use and the builders' well-formed output, one file each.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "support/usb_malformed_corpus.h"

int main(int argc, char **argv)
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
    for (const auto &corpus : {usbtest::MalformedCorpus(), usbtest::BuilderCorpus()})
        for (const auto &[name, bytes] : corpus)
        {
            char file[16];
            std::snprintf(file, sizeof file, "seed-%03u", n++);
            std::ofstream out(dir / file, std::ios::binary);
            out.write(reinterpret_cast<const char *>(bytes.data()), std::streamsize(bytes.size()));
            if (!out)
            {
                std::fprintf(stderr, "cannot write %s (%s)\n", (dir / file).c_str(), name.c_str());
                return 1;
            }
        }
    std::printf("%u seeds in %s\n", n, dir.c_str());
    return 0;
}
