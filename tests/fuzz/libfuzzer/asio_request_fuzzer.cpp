// libFuzzer entry for the private low-latency requests on a started class 2.0 headset (see
// support/asio_request_harness.h for the input layout and what counts as broken). One headset is
// started for the whole run: starting it for each input cost many times the requests, and its
// coverage buried theirs. Each input opens its own clients and leaves none, at D0; what the driver
// still holds is checked when the headset is removed at exit.
#include <cstdio>
#include <cstdlib>

#include "support/asio_request_harness.h"
#include "support/fuzz_one_core.h"

namespace
{

[[noreturn]] void Fail(const std::string &what)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

asio_harness::Rig &TheRig()
{
    static asio_harness::Rig *rig = []
    {
        sim::ResetAll();
        auto *r = new asio_harness::Rig;
        if (const std::string broke = r->Start(); !broke.empty())
            Fail(broke);
        // Gone before the kernel stand-in's own statics, or its threads keep them waiting.
        std::atexit(
            []
            {
                delete &TheRig();
                if (const std::string broke = sim::EndOfTestChecks(); !broke.empty())
                    Fail(broke);
            });
        return r;
    }();
    return *rig;
}

} // namespace

// Every request hands over between the test thread and the DPC thread: on one core (see
// support/fuzz_one_core.h) that is a switch, not a wait for a second core.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    fuzz_one_core::PinUnlessWorkers(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string broke = TheRig().Run(data, size);
    if (!broke.empty())
        Fail(broke);
    return 0;
}
