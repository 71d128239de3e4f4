// Arbitrary configurations through the USB audio function's walks for every device class, with the
// control replies scripted (bytes, short answers, stalls): no crash, no leak, a status from the
// walks' failure list, requests bounded by the configuration. Deterministic seeds, every build.
#include "support/kernel_test.h"
#include "support/usb_audio_walk_harness.h"
#include "support/usb_malformed_corpus.h"

#include <random>

namespace
{

class UsbAudioWalkRandomTest : public KernelTest
{
};

std::vector<uint8_t> Input(uint8_t deviceClass, const std::vector<uint8_t> &config,
                           const std::vector<uint8_t> &script)
{
    std::vector<uint8_t> in = {deviceClass, uint8_t(config.size()), uint8_t(config.size() >> 8)};
    in.insert(in.end(), config.begin(), config.end());
    in.insert(in.end(), script.begin(), script.end());
    return in;
}

TEST_F(UsbAudioWalkRandomTest, ArbitraryConfigurationsAndRepliesEndCleanly)
{
    std::vector<std::vector<uint8_t>> bases;
    for (const auto &corpus : {usbtest::MalformedCorpus(), usbtest::BuilderCorpus()})
        for (const auto &entry : corpus)
            bases.push_back(entry.second);
    std::mt19937 rng(14);
    for (unsigned round = 0; round < 1500; ++round)
    {
        std::vector<uint8_t> config = bases[rng() % bases.size()];
        // A few byte changes, sometimes a cut: most inputs stay close to a real device.
        for (unsigned k = rng() % 6; k && !config.empty(); --k)
            config[rng() % config.size()] = uint8_t(rng() % 3 ? rng() : (rng() % 2 ? 0 : 0xFF));
        if (rng() % 5 == 0 && !config.empty())
            config.resize(rng() % config.size());
        std::vector<uint8_t> script(rng() % 600);
        for (uint8_t &b : script)
            b = uint8_t(rng() % 4 == 0 ? rng() % 3 : rng());
        const std::vector<uint8_t> in = Input(uint8_t(rng() % 7), config, script);
        const size_t before = sim::Outstanding();
        const std::string broke = walk_harness::RunWalks(in.data(), in.size());
        ASSERT_EQ(broke, "") << "round " << round;
        ASSERT_EQ(sim::Outstanding(), before) << "round " << round << ": pool blocks left";
    }
}

// The walk fuzzer streams on the bus only what the walks accepted: the builders' headsets must pass
// them as the class the bus device is walked as, or no input of that class ever reaches the bus.
TEST_F(UsbAudioWalkRandomTest, BuildersHeadsetsPassTheWalksOfTheirBusClass)
{
    const std::vector<uint8_t> answers(512, 2); // every request answered in full
    const auto walk = [&](uint8_t classByte, const std::vector<uint8_t> &config)
    {
        const std::vector<uint8_t> in = Input(classByte, config, answers);
        NTSTATUS status = STATUS_PENDING;
        EXPECT_EQ(walk_harness::RunWalks(in.data(), in.size(), &status), "");
        return status;
    };
    const auto uac1 = usbsim::BuildUac1Headset().configuration;
    EXPECT_EQ(walk(0, uac1), STATUS_SUCCESS) << "class 1.0";
    EXPECT_EQ(walk(6, usbsim::BuildUac2Headset().configuration), STATUS_SUCCESS) << "class 2.0";
    // The class 1.0 product with its own end check still has inputs: the headset lacks its terminals.
    EXPECT_EQ(walk(7, uac1), STATUS_UNSUCCESSFUL);
}

// Every allocation of a whole walk over each headset, failed in turn.
TEST_F(UsbAudioWalkRandomTest, EveryAllocationOfTheWalksFailedInTurn)
{
    for (const auto &entry : usbtest::BuilderCorpus())
    {
        const uint8_t deviceClass = entry.first.find("uac2") != std::string::npos ? 6 : 0;
        {
            // Every request stalls: the units keep their defaults and the walks run to their end.
            std::vector<uint8_t> script(4000, 0);
            const std::vector<uint8_t> in = Input(deviceClass, entry.second, script);
            for (unsigned n = 1;; ++n)
            {
                const size_t failedBefore = sim::pool::InjectedFailures(), before = sim::Outstanding();
                sim::FailAllocation(n);
                NTSTATUS status = STATUS_PENDING;
                const std::string broke = walk_harness::RunWalks(in.data(), in.size(), &status);
                sim::FailAllocation(0);
                ASSERT_EQ(broke, "") << entry.first << " allocation " << n;
                // A failed allocation of the walk itself (not of the harness) ends it with that status.
                if (sim::pool::InjectedFailures() != failedBefore && status != STATUS_PENDING)
                {
                    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << entry.first << " allocation " << n;
                }
                ASSERT_EQ(sim::Outstanding(), before) << entry.first << " allocation " << n;
                if (sim::pool::InjectedFailures() == failedBefore)
                {
                    // A headset's walk makes units, nodes and streams: many allocations, all met.
                    // (With every request stalled the class 2.0 clock has no rates and ends its walk.)
                    if (entry.first == "uac1 configuration")
                    {
                        EXPECT_GT(n, 25u) << entry.first;
                    }
                    break;
                }
                ASSERT_LT(n, 2000u);
            }
        }
    }
}

} // namespace
