// libFuzzer entry point: the input is a WAV file for the host program's reader. Whatever it accepts
// must hold whole frames of a supported format and read back the same after a write.
#include "host/wav/wav_file.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    wav::Audio audio;
    std::string error;
    if (!wav::Parse(data, size, &audio, &error))
        return 0;
    if (audio.data.size() % audio.format.BlockAlign() != 0)
        std::abort();
    const std::vector<uint8_t> file = wav::Serialize(audio);
    wav::Audio back;
    if (!wav::Parse(file.data(), file.size(), &back, &error) || back.data != audio.data ||
        back.format.BlockAlign() != audio.format.BlockAlign())
        std::abort();
    return 0;
}
