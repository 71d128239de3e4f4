// The wave stream's rate conversion on the simulated bus: a capture client beside a running client of
// another rate records the device's tone through the sample-rate chain.
#include "driver/effects/dsp_interleave_src.h"
#include "support/sine_fit.h"
#include "usb_stream_fixture.h"

namespace
{
using namespace stream_test;

// The creator the driver registers at entry, for one test.
struct WithRateChains
{
    WithRateChains() { SetRateChainCreator(&CreateSampleRateChain); }
    ~WithRateChains() { SetRateChainCreator(nullptr); }
};

// A 96 kHz capture pin shares the endpoint with a 48 kHz client that runs the device: the device's
// 997 Hz tone reaches the cyclic buffer at its frequency and level, two stream frames for every
// device frame, from the buffer's start.
TEST_F(WaveStreamTest, ACaptureClientAtTwiceTheDevicesRateRecordsTheDevicesTone)
{
    WithRateChains chains;
    Bring(usbsim::VirtualDevice::Chip(), TRUE, 2);
    Iso().SetPattern(0x82, usbsim::IsoPattern::Sine, 997.0, 0.5);
    const auto device = Pcm(48000, 2, 16), own = Pcm(96000, 2, 16);
    OpenMiniport(own);
    Client running;
    Start(running, device, 1, 10, 3, 5); // the low-latency kind holds the device at 48 kHz
    ASSERT_EQ(OpenPin(DataFormat(own), TRUE), STATUS_SUCCESS);
    const ULONG size = dma->BufferSize();
    ASSERT_EQ(size, 19200u) << "50 ms";
    ASSERT_EQ(wave->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    ASSERT_EQ(wave->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(wave->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    {
        std::lock_guard<std::mutex> g(running.guard);
        running.captured.clear(); // what came before the pin ran
    }
    sim::AdvanceMs(45);
    EXPECT_EQ(wave->SetState(KSSTATE_PAUSE), STATUS_SUCCESS);
    size_t deviceFrames = 0;
    {
        std::lock_guard<std::mutex> g(running.guard);
        deviceFrames = running.captured.size() / 4;
    }
    Stop(running);
    ASSERT_GE(deviceFrames, 48u * 30);
    ASSERT_LE(2 * deviceFrames, size / 4) << "the buffer has not wrapped";

    // Left channel, past the filters' start.
    const auto *samples = static_cast<const int16_t *>(dma->SystemAddress());
    std::vector<float> left;
    for (size_t n = 480; n < 2 * deviceFrames; ++n)
        left.push_back(float(samples[2 * n]) / 32768.0f);
    const sine_fit::SineFit fit = sine_fit::FitSine(left.data(), left.size(), 96000.0, 997.0);
    EXPECT_NEAR(fit.frequency, 997.0, 0.001);
    EXPECT_NEAR(fit.LevelDb(), 20 * std::log10(0.5), 0.05);
    EXPECT_LT(fit.ThdnDb(), -80.0);
    // Nothing past what the chain made: the rest of the buffer is as allocated.
    for (size_t n = 2 * deviceFrames; n < size / 4; ++n)
        ASSERT_EQ(samples[2 * n], 0) << "frame " << n;
}

} // namespace
