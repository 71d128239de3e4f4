// Random private low-latency requests from three processes on the started class 2.0 headset, with
// power changes in between: every status one a request may answer, the I/O manager's checks quiet,
// and nothing left when the clients have closed. Deterministic seeds, every build.
#include <random>
#include <vector>

#include "support/asio_request_harness.h"
#include "support/kernel_test.h"

namespace
{

class AsioRequestRandomTest : public KernelTest
{
};

// 64 random steps; some aim at the exact sizes of their request; some runs of three set 16-bit
// samples, create buffers and start them from one client.
std::vector<uint8_t> RandomSteps(std::mt19937 &rng)
{
    std::vector<uint8_t> in(8 * 64);
    for (uint8_t &b : in)
        b = uint8_t(rng());
    for (size_t at = 0; at < in.size(); at += 8)
    {
        if (rng() % 2)
            in[at + 3] = uint8_t(std::vector<int>{0, 4, 8, 16, 52, 40, 3, 15, 17, 39}[rng() % 10]);
        if (rng() % 8 == 0 && at + 24 <= in.size())
        {
            asio_harness::StreamingSteps(in[at], uint8_t(rng() % 5), in[at + 7], &in[at]);
            at += 16;
        }
    }
    return in;
}

TEST_F(AsioRequestRandomTest, RandomStepsEndClean)
{
    std::mt19937 rng(18);
    asio_harness::Served served;
    for (unsigned round = 0; round < 12; ++round)
    {
        const std::vector<uint8_t> in = RandomSteps(rng);
        ASSERT_EQ(asio_harness::RunRequests(in.data(), in.size(), &served), "") << "round " << round;
        ASSERT_EQ(sim::EndOfTestChecks(), "") << "round " << round;
    }
    EXPECT_GT(served.Buffers, 0u);
    EXPECT_GT(served.Starts, 0u);
}

// As the fuzzer runs them: one headset for every input, each input with clients of its own. None
// leaves a logged line behind, or a long run's memory grows with every input; what the driver
// still holds is checked when the headset goes, at the end of the test.
TEST_F(AsioRequestRandomTest, OneHeadsetServesInputAfterInputAndKeepsNoneOfThem)
{
    asio_harness::Rig rig;
    ASSERT_EQ(rig.Start(), "");
    std::mt19937 rng(5);
    asio_harness::Served served;
    for (unsigned round = 0; round < 12; ++round)
    {
        const std::vector<uint8_t> in = RandomSteps(rng);
        ASSERT_EQ(rig.Run(in.data(), in.size(), &served), "") << "round " << round;
        EXPECT_EQ(rig.Logged(), 0u) << "round " << round;
    }
    EXPECT_GT(served.Buffers, 0u);
    EXPECT_GT(served.Starts, 0u);
}

} // namespace
