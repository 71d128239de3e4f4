// Writes the descriptor fuzzer's seed corpus: the malformed cases the descriptor tests use and the
// builders' well-formed output, one file each.
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
                    write(entry.second.data(), entry.second.size());
        });
}
