// For fuzzers that run the kernel stand-in's threads (DPC, worker, hub, the driver's own): keeps them
// all on the core the run starts on. Each control request and each frame hands over from one of them
// to another; spread over the cores, every handover waited for a second core that the rest of the
// machine (CI's sanitizer suite) kept busy, and the waits cost more than the inputs. A run that starts
// workers (-fork, -jobs, -workers) stays free, so they do not all inherit one core: each pins itself
// to its own. Call from LLVMFuzzerInitialize, before the first thread starts.
#pragma once

#include <sched.h>

#include <cstring>

namespace fuzz_one_core
{

inline void PinUnlessWorkers(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i)
        for (const char *flag : {"-fork=", "-jobs=", "-workers="})
            if (std::strncmp(argv[i], flag, std::strlen(flag)) == 0)
                return;
    const int cpu = sched_getcpu();
    if (cpu < 0)
        return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    sched_setaffinity(0, sizeof one, &one); // where it is refused, the threads go where they may
}

} // namespace fuzz_one_core
