// Seeds of the walk fuzzer: each headset configuration and malformed case, for each device class,
// with a script that answers every request in full.
#include <vector>

#include "seed_writer.h"
#include "support/usb_malformed_corpus.h"

int main(int argc, char **argv)
{
    return seeds::WriteSeeds(
        argc, argv,
        [](auto write)
        {
            for (const auto &corpus : {usbtest::MalformedCorpus(), usbtest::BuilderCorpus()})
                for (const auto &entry : corpus)
                    for (unsigned deviceClass = 0; deviceClass < 7; ++deviceClass)
                    {
                        const auto &bytes = entry.second;
                        std::vector<unsigned char> in = {(unsigned char)deviceClass,
                                                         (unsigned char)bytes.size(),
                                                         (unsigned char)(bytes.size() >> 8)};
                        in.insert(in.end(), bytes.begin(), bytes.end());
                        in.insert(in.end(), 512, 2);
                        write(in.data(), in.size());
                    }
        });
}
