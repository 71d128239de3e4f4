// Random private low-latency requests from three processes on the started class 2.0 headset, with
// power changes in between: every status one a request may answer, the I/O manager's checks quiet,
// and nothing left when the clients have closed. Deterministic seeds, every build.
#include <random>

#include "support/asio_request_harness.h"
#include "support/kernel_test.h"

namespace
{

class AsioRequestRandomTest : public KernelTest
{
};

TEST_F(AsioRequestRandomTest, RandomStepsEndClean)
{
    std::mt19937 rng(18);
    for (unsigned round = 0; round < 12; ++round)
    {
        std::vector<uint8_t> in(8 * 64);
        for (uint8_t &b : in)
            b = uint8_t(rng());
        // Some steps aim at the exact sizes of their request.
        for (size_t at = 0; at < in.size(); at += 8)
            if (rng() % 2)
                in[at + 3] = uint8_t(std::vector<int>{0, 4, 8, 16, 52, 40, 3, 15, 17, 39}[rng() % 10]);
        ASSERT_EQ(asio_harness::RunRequests(in.data(), in.size()), "") << "round " << round;
        ASSERT_EQ(sim::EndOfTestChecks(), "") << "round " << round;
    }
}

} // namespace
