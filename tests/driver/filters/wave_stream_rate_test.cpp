// The wave stream's rate conversion, opened through the port's pin with the audio engine's client over
// a scripted device stream that announces a device format of its own: a 44.1 kHz client reaches a
// 48 kHz device at its frequency and level, a pair the chain refuses plays silence, and a stream whose
// format changed while stopped converts from its new rate.
#include "driver/effects/dsp_interleave_src.h"
#include "scripted_stream.h"
#include "support/sine_fit.h"

namespace
{
using namespace scripted_stream;

// The creator the driver registers at entry, for one test.
struct WithRateChains
{
    WithRateChains() { SetRateChainCreator(&CreateSampleRateChain); }
    ~WithRateChains() { SetRateChainCreator(nullptr); }
};

// `seconds` of a 997 Hz tone at -6.02 dBFS, 16-bit stereo at `rate`.
std::vector<UCHAR> Tone(ULONG rate, double seconds)
{
    const auto wave = sine_fit::Sine(size_t(rate * seconds), rate, 997.0, 0.5);
    std::vector<UCHAR> bytes(wave.size() * 4);
    for (size_t n = 0; n < wave.size(); ++n)
        for (size_t c = 0; c < 2; ++c)
        {
            const auto s = int16_t(std::lround(wave[n] * 32767.0f));
            std::memcpy(&bytes[4 * n + 2 * c], &s, 2);
        }
    return bytes;
}

class WaveStreamRateTest : public WaveCyclicStreamTest
{
protected:
    // `blocks` device blocks of 10 ms at 48 kHz (16-bit stereo) played; the left channel back as float.
    std::vector<float> Play(int blocks)
    {
        std::vector<UCHAR> block(1920);
        std::vector<float> left;
        auto take = [&]
        {
            for (size_t n = 0; n < block.size() / 4; ++n)
            {
                int16_t s;
                std::memcpy(&s, &block[4 * n], 2);
                left.push_back(float(s) / 32768.0f);
            }
        };
        for (int i = 0; i < 3; ++i)
        {
            std::fill(block.begin(), block.end(), 0);
            control.Fill(&block);
            take();
        }
        for (int i = 3; i < blocks; ++i)
        {
            control.Played(1920);
            sim::RunUntilIdle();
            std::fill(block.begin(), block.end(), 0);
            control.Fill(&block);
            take();
        }
        return left;
    }
    WithRateChains chains;
};

// 44.1 kHz content on a 48 kHz device: over ten seconds the tone keeps 997 Hz within a millihertz (the
// chain reads 147 client frames for every 160 device frames), at the client's level.
TEST_F(WaveStreamRateTest, AClientAt44kHzPlaysItsToneOnA48kHzDevice)
{
    const auto client = MakeFormat(kPcm, 2, 44100, 16), device = MakeFormat(kPcm, 2, 48000, 16);
    Build({client, device});
    ASSERT_EQ(Open(DataFormat(client)), STATUS_SUCCESS);
    pin->SetSource(Tone(44100, 10.2));
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    control.Announce(device, 5, 3);
    const std::vector<float> left = Play(1000);
    const auto counters = pin->Counters();
    EXPECT_EQ(counters.Underruns, 0u);
    // The position books: whole client frames for the device bytes played.
    EXPECT_EQ(counters.Position, 997u * 480 * 147 / 160 * 4);
    // The last two seconds: reading other than 147 client frames for 160 would move the tone.
    const size_t skip = left.size() - 96000;
    const auto fit = sine_fit::FitSine(left.data() + skip, left.size() - skip, 48000.0, 997.0);
    EXPECT_NEAR(fit.frequency, 997.0, 0.001);
    EXPECT_NEAR(fit.LevelDb(), 20 * std::log10(0.5 * 32767 / 32768), 0.05);
    EXPECT_LT(fit.ThdnDb(), -80.0);
}

// A device format the chain refuses (22.05 kHz) leaves the zeroed blocks silent and reads nothing; the
// next announcement the chain accepts converts again, into its own client's transfers only.
TEST_F(WaveStreamRateTest, ARefusedPairPlaysSilenceUntilAGoodOne)
{
    const auto client = MakeFormat(kPcm, 2, 44100, 16);
    Build({client});
    ASSERT_EQ(Open(DataFormat(client)), STATUS_SUCCESS);
    pin->SetSource(Tone(44100, 2.0));
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    control.Announce(MakeFormat(kPcm, 2, 22050, 16), 5, 3);
    for (float s : Play(50))
        ASSERT_EQ(s, 0.0f);
    control.Announce(MakeFormat(kPcm, 2, 48000, 16), 5, 3);
    const std::vector<float> left = Play(100);
    // A fill for another client's transfer stays as the device stream zeroed it; the next own one
    // converts again.
    std::vector<UCHAR> block(1920, 0);
    const PVOID own = control.record.ClientHandle;
    control.record.ClientHandle = &block;
    control.Fill(&block);
    EXPECT_EQ(std::count(block.begin(), block.end(), 0), 1920) << "another client's transfer";
    control.record.ClientHandle = own;
    control.Fill(&block);
    EXPECT_LT(std::count(block.begin(), block.end(), 0), 1920) << "the own transfer";
    // A block whose input would not fit the buffer the client set is not read from it.
    pin->Dma()->SetBufferSize(1600); // 400 client frames, fewer than 480 device frames need
    std::fill(block.begin(), block.end(), UCHAR(0));
    control.Fill(&block);
    EXPECT_EQ(std::count(block.begin(), block.end(), 0), 1920) << "silence";
    const auto fit = sine_fit::FitSine(left.data() + 4800, left.size() - 4800, 48000.0, 997.0);
    EXPECT_NEAR(fit.frequency, 997.0, 0.001);
}

// A format set while stopped takes effect even when the device stream's next announcement repeats its
// old format without the reset bit: the chain converts from the new rate, not at the old ratio.
TEST_F(WaveStreamRateTest, AFormatChangedWhileStoppedIsConvertedFromItsNewRate)
{
    const auto first = MakeFormat(kPcm, 2, 44100, 16), second = MakeFormat(kPcm, 2, 96000, 16);
    const auto device = MakeFormat(kPcm, 2, 48000, 16);
    Build({first, second});
    ASSERT_EQ(Open(DataFormat(first)), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    control.Announce(device, 5, 3);
    Play(10);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    const auto data = DataFormat(second);
    ASSERT_EQ(pin->SetFormat(data.data(), ULONG(data.size())), STATUS_SUCCESS);
    pin->SetSource(Tone(96000, 1.2));
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    control.record.Format = device;
    control.Send(CYCLIC_MSG_FORMAT, 5, 3); // the running device's format again, no reset bit
    const std::vector<float> left = Play(100);
    const auto fit = sine_fit::FitSine(left.data() + 4800, left.size() - 4800, 48000.0, 997.0);
    EXPECT_NEAR(fit.frequency, 997.0, 0.001);
    EXPECT_NEAR(fit.LevelDb(), 20 * std::log10(0.5 * 32767 / 32768), 0.05);
}

// Capture through the chain into a buffer size the client set that holds no whole number of frames:
// 16-bit device samples arrive as 32-bit stream samples (exactly v x 65536) in one unbroken byte
// stream around the buffer, frames split at its end and the ones after them off their word alignment.
TEST_F(WaveStreamRateTest, CaptureIntoABufferOfPartFramesKeepsEveryByteInOrder)
{
    const auto stream = MakeFormat(kPcm, 2, 48000, 32), device = MakeFormat(kPcm, 2, 48000, 16);
    Build({stream, device}, 1);
    const ULONG size = 8 * 50 + 2;
    ASSERT_EQ(Open(DataFormat(stream), size), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    control.Announce(device, 5, 3);
    auto *base = static_cast<UCHAR *>(pin->Buffer());
    std::vector<UCHAR> expected(size, 0);
    ULONG at = 0;
    int16_t next = -3000;
    for (int block = 0; block < 12; ++block)
    {
        std::vector<int16_t> samples(2 * 40);
        for (int16_t &v : samples)
            v = next, next = int16_t(next + 77);
        control.Send(CYCLIC_MSG_CAPTURE_DATA, ULONG_PTR(samples.data()), ULONG(samples.size() * 2));
        for (int16_t v : samples)
        {
            const int32_t wide = int32_t(v) * 65536;
            UCHAR bytes[4];
            std::memcpy(bytes, &wide, 4);
            for (UCHAR b : bytes)
                expected[at] = b, at = (at + 1) % size;
        }
        ASSERT_EQ(std::memcmp(base, expected.data(), size), 0) << "block " << block;
    }
}

} // namespace
