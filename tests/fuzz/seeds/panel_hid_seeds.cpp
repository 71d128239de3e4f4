// Writes the HID fuzzer's seed corpus into the directory given: one well-formed input of each kind
// (a getter reply for each getter, a headset status report, a device file, a block and code).
#include <string>
#include <vector>

#include "seed_writer.h"

int main(int argc, char **argv)
{
    std::vector<std::string> inputs;
    // Kind 0: selector (device in bits 0-1, getter in bits 2-3), then a 9-byte reply with report id 0.
    for (int getter = 0; getter < 4; ++getter)
        inputs.push_back(std::string(1, '\0') + char(getter << 2 | 1) +
                         std::string("\0\x82\x03\0\0\0\0\0\x7a", 9));
    inputs.push_back(std::string("\x01") + std::string("\xff\x40", 2) + std::string(14, '\0'));
    inputs.push_back("\x02[common]\ndeviceCount=2\n[0]\nvid=04d9\npid=a070\nusagePage=ff00\nusage=1\n"
                     "reportLength=64\nisEncode=true\nsCode=482917\n[1]\nreportLength=0\n");
    inputs.push_back(std::string("\x03\x82\0\0\0\0\0\0\x7d", 9) + "482917");
    return seeds::WriteSeeds(argc, argv,
                             [&](auto write)
                             {
                                 for (const std::string &seed : inputs)
                                     write(seed.data(), seed.size());
                             });
}
