// Writes the HID fuzzer's seed corpus into the directory given: one well-formed input of each kind
// (a getter reply for each getter, a headset status report, a device file, a block and code).
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

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
    std::vector<std::string> seeds;
    // Kind 0: selector (device in bits 0-1, getter in bits 2-3), then a 9-byte reply with report id 0.
    for (int getter = 0; getter < 4; ++getter)
        seeds.push_back(std::string(1, '\0') + char(getter << 2 | 1) +
                        std::string("\0\x82\x03\0\0\0\0\0\x7a", 9));
    seeds.push_back(std::string("\x01") + std::string("\xff\x40", 2) + std::string(14, '\0'));
    seeds.push_back("\x02[common]\ndeviceCount=2\n[0]\nvid=04d9\npid=a070\nusagePage=ff00\nusage=1\n"
                    "reportLength=64\nisEncode=true\nsCode=482917\n[1]\nreportLength=0\n");
    seeds.push_back(std::string("\x03\x82\0\0\0\0\0\0\x7d", 9) + "482917");
    unsigned n = 0;
    for (const std::string &seed : seeds)
    {
        const std::filesystem::path file = dir / ("seed-" + std::to_string(n++));
        std::ofstream out(file, std::ios::binary);
        out.write(seed.data(), std::streamsize(seed.size()));
        if (!out)
        {
            std::fprintf(stderr, "cannot write %s\n", file.c_str());
            return 1;
        }
    }
    std::printf("%u seeds in %s\n", n, dir.c_str());
    return 0;
}
