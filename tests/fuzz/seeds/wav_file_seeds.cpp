// Writes the WAV fuzzer's seed corpus into the directory given: a short file of each width, in both
// header forms.
#include "host/wav/wav_file.h"

#include "seed_writer.h"

int main(int argc, char **argv)
{
    return seeds::WriteSeeds(argc, argv,
                             [](auto write)
                             {
                                 for (uint16_t bits : {16, 24, 32})
                                     for (uint16_t channels : {1, 2, 6})
                                     {
                                         wav::Audio audio;
                                         audio.format = {channels, 48000, bits, bits, 0};
                                         audio.data.assign(size_t(audio.format.BlockAlign()) * 4, 0x5A);
                                         const auto file = wav::Serialize(audio);
                                         write(file.data(), file.size());
                                     }
                             });
}
