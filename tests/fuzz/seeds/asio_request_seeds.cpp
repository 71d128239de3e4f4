// Writes the private-request fuzzer's seed corpus into the directory given: a client that sets its
// samples, creates buffers and streams, then sleeps and wakes the device, stops and disposes, for
// each buffer size the harness offers; and a second client asking for buffers the first one owns.
#include <vector>

#include "seed_writer.h"
#include "support/asio_request_harness.h"

int main(int argc, char **argv)
{
    return seeds::WriteSeeds(argc, argv,
                             [](auto write)
                             {
                                 for (uint8_t frames = 0; frames < 6; ++frames)
                                 {
                                     std::vector<uint8_t> steps(24);
                                     asio_harness::StreamingSteps(0, frames, 5, steps.data());
                                     const uint8_t after[][8] = {
                                         {1, 14, 0x40, 8, frames, 0, 0, 3}, // a second client's buffers
                                         {0, 251, 0, 0, 0, 0, 0, 7},        // D2
                                         {0, 252, 0, 0, 0, 0, 0, 7},        // D0
                                         {0, 17, 0, 0, 0, 0, 0, 2},         // Stop
                                         {0, 15, 0, 0, 0, 0, 0, 0}};        // DisposeBuffers
                                     for (const auto &step : after)
                                         steps.insert(steps.end(), step, step + 8);
                                     write(steps.data(), steps.size());
                                 }
                             });
}
