// libFuzzer entry for the private low-latency requests on a started class 2.0 headset (see
// support/asio_request_harness.h for the input layout and what counts as broken).
#include <cstdio>
#include <cstdlib>

#include "support/asio_request_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    sim::ResetAll();
    std::string broke = asio_harness::RunRequests(data, size);
    if (broke.empty())
        broke = sim::EndOfTestChecks();
    if (!broke.empty())
    {
        std::fprintf(stderr, "%s\n", broke.c_str());
        std::abort();
    }
    return 0;
}
