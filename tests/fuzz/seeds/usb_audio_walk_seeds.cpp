// Seeds of the walk fuzzer: each headset configuration and malformed case, for each device class,
// with a script that answers every request in full.
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
            for (unsigned deviceClass = 0; deviceClass < 7; ++deviceClass)
            {
                std::vector<unsigned char> in = {(unsigned char)deviceClass, (unsigned char)bytes.size(),
                                                 (unsigned char)(bytes.size() >> 8)};
                in.insert(in.end(), bytes.begin(), bytes.end());
                in.insert(in.end(), 512, 2);
                char file[16];
                std::snprintf(file, sizeof file, "seed-%04u", n++);
                std::ofstream out(dir / file, std::ios::binary);
                out.write(reinterpret_cast<const char *>(in.data()), std::streamsize(in.size()));
                if (!out)
                {
                    std::fprintf(stderr, "cannot write %s (%s)\n", (dir / file).c_str(), name.c_str());
                    return 1;
                }
            }
    std::printf("%u seeds in %s\n", n, dir.c_str());
    return 0;
}
