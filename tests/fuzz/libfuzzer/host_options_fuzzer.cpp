// libFuzzer entry point: the input, cut at NUL bytes, is the host program's argument list. Whatever
// the parser accepts holds values in range; whatever it refuses gets one line.
#include "host/cli/options.h"

#include <algorithm>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> args(1);
    for (size_t i = 0; i < size && args.size() < 64; ++i)
        if (data[i] == 0)
            args.emplace_back();
        else
            args.back() += char(data[i]);
    host::Options options;
    const host::Parsed parsed = host::ParseArguments(args, &options);
    if (parsed.outcome == host::Parsed::Mistake)
    {
        if (parsed.error.empty() || parsed.error.find('\n') != std::string::npos)
            std::abort();
        return 0;
    }
    const auto &devices = host::DeviceNames();
    if (std::find(devices.begin(), devices.end(), options.device) == devices.end() || options.seconds < 1 ||
        options.seconds > host::kMaxSeconds || (options.tone && !options.input.empty()))
        std::abort();
    if (options.tone && (options.tone->channels < 1 || options.tone->channels > 8 ||
                         !(options.tone->seconds > 0 && options.tone->seconds <= host::kMaxSeconds) ||
                         !(options.tone->hz > 0 && options.tone->hz <= options.tone->rate / 2.0)))
        std::abort();
    return 0;
}
