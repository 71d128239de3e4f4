// The render path of the device streams: the audio engine's client writing ahead into an open pin's
// cyclic buffer (serviced on the DPC thread as positions advance) -> the wave-cyclic stream filling
// each transfer -> the engine's ProcessBlock -> the data pipe -> URBs completing on the bus's DPC
// thread, with the virtual clock advanced by the loop, 10 ms a turn. Stream classes: class 1.0 render
// at 48 kHz/16/2, class 2.0 render at 48 kHz/24 with 2 and 8 channels (high speed, explicit
// feedback), the DSP render class with 8 channels. Peers in the same run: the engine's ProcessBlock
// alone on the same 10 ms block, and a bare loop moving the bytes into their packet slots (the floor).
//
// Counters: s_per_frame (per client frame) and realtime_fraction (the turn's time over the 10 ms it
// plays); the render path counts wall time, since its completions run on another thread.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include <ntkernel.h>
#include <sim/kernel_sim.h>

#include "driver/effects/dsp_node.h"
#include "driver/filters/node_values.h"
#include "support/hal_doubles.h"
#include "engine_block_case.h"
#include "usb_stream_fixture.h"

namespace
{
constexpr double kTurnSeconds = 0.010;

// The stream bench of the tests with the endpoint's wave filter, driven by hand.
class RenderPathBench : public stream_test::WaveStreamTest
{
public:
    void TestBody() override {}
    using WaveStreamTest::SetUp;
    using WaveStreamTest::TearDown;

    enum Class
    {
        Uac1Render,
        Uac2Render,
        DspRender,
    };
    bool Open(Class kind, USHORT channels, USHORT bits)
    {
        UsbAudioFunctionInputs inputs{};
        format = stream_test::Pcm(48000, channels, bits);
        if (kind == Uac2Render)
        {
            // The 24-bit setting's endpoint made wide enough for eight channels.
            auto headset = usbsim::VirtualDevice::Uac2();
            usbsim::Bytes &config = headset->Descriptors().configuration;
            for (size_t at = 0, alternate = 0; at + 1 < config.size() && config[at]; at += config[at])
            {
                if (config[at + 1] == 4)
                    alternate = config[at + 2] == 1 ? config[at + 3] : 0;
                if (config[at + 1] == 5 && alternate == 2 && config[at + 2] == 0x01)
                    usbsim::Set16(config, at + 4, 1024);
            }
            clock = hal_test::Make<RateClock>();
            hal = hal_test::Make<hal_test::TestHal>();
            hal->startFilters = {clock};
            if (hal->Init(nullptr, &deviceObject, nullptr, nullptr) != STATUS_SUCCESS)
                return false;
            clockNode = 77;
            Bring(headset, FALSE, 1, CreateUac2Stream, inputs, hal);
        }
        else
        {
            inputs.DeviceClass = kind == DspRender ? UsbAudioDeviceClass::Plon : UsbAudioDeviceClass::Uac1;
            Bring(usbsim::VirtualDevice::Uac1(), FALSE, 1, CreateUac1Stream, inputs);
        }
        if (!stream)
            return false;
        // The engine runs what a started headset's engine runs at least: a software mute, off.
        mute = new (NonPagedPool, PoolTag::DSPS) CDspNode(nullptr, 40);
        static_cast<IProcessingNode *>(mute)->AddRef();
        if (mute->Init(1, 1) != STATUS_SUCCESS || stream->GetEngine()->AttachNode(mute) != STATUS_SUCCESS ||
            stream->GetEngine()->PrepareBuffers() != STATUS_SUCCESS)
            return false;
        Iso().KeepOutPackets(false);
        OpenMiniport(format, kind == Uac2Render && bits == 24 ? 2 : 1);
        if (!miniport || OpenClientPin(format) != STATUS_SUCCESS)
            return false;
        pin->KeepMoved(FALSE);
        std::vector<UCHAR> source(format.Format.nAvgBytesPerSec);
        for (size_t i = 0; i < source.size(); ++i)
            source[i] = UCHAR(i * 7 + 3);
        pin->SetSource(std::move(source));
        return pin->SetState(KSSTATE_RUN) == STATUS_SUCCESS;
    }
    void Close()
    {
        pin.reset();
        filter.reset();
        CloseStream();
        bench.Close();
        ReleaseStream();
        if (mute)
            static_cast<IProcessingNode *>(mute)->Release();
        if (hal)
            hal->Release();
        if (clock)
            clock->Release();
    }
    uint64_t OutBytes() { return Iso().OutBytes(0x01); }
    ULONG Underruns() const { return pin->Counters().Underruns; }

    // A clock that takes every rate.
    struct RateClock : CClockNode
    {
        explicit RateClock(PUNKNOWN outer) : CClockNode(outer, 77) {}
    };
    WAVEFORMATEXTENSIBLE format{};
    DEVICE_OBJECT deviceObject{};
    hal_test::TestHal *hal = nullptr;
    RateClock *clock = nullptr;
    CDspNode *mute = nullptr;
};

void Counters(benchmark::State &state, double framesPerTurn)
{
    const double turns = double(state.iterations());
    state.counters["s_per_frame"] =
        benchmark::Counter(turns * framesPerTurn, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["realtime_fraction"] =
        benchmark::Counter(turns * kTurnSeconds, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void RenderPath(benchmark::State &state)
{
    const auto kind = RenderPathBench::Class(state.range(0));
    const USHORT channels = USHORT(state.range(1));
    const USHORT bits = USHORT(state.range(2));
    sim::SetViolationHandler([](const std::string &) { std::abort(); });
    {
        RenderPathBench path;
        path.SetUp();
        if (!path.Open(kind, channels, bits))
            state.SkipWithError("stream set-up failed");
        else
        {
            sim::AdvanceMs(30); // the first transfers are in flight
            const uint64_t before = path.OutBytes();
            for (auto _ : state)
                sim::AdvanceMs(10);
            if (path.OutBytes() == before)
                state.SkipWithError("nothing reached the bus");
            else if (path.Underruns())
                state.SkipWithError("the client fell behind the stream");
            Counters(state, 480);
        }
        path.Close();
        path.TearDown();
    }
    sim::SetViolationHandler(nullptr);
}
BENCHMARK(RenderPath)
    ->ArgNames({"class", "ch", "bits"})
    ->Args({RenderPathBench::Uac1Render, 2, 16})
    ->Args({RenderPathBench::Uac2Render, 2, 24})
    ->Args({RenderPathBench::Uac2Render, 8, 24})
    ->Args({RenderPathBench::DspRender, 8, 16})
    ->UseRealTime() // completions run on the bus's DPC thread: the wall clock counts them
    ->Unit(benchmark::kMicrosecond);

// Peer: the engine's block processing alone, as the stream engine benchmark's ProcessBlock case runs it.
void EngineProcessBlockPeer(benchmark::State &state)
{
    const USHORT channels = USHORT(state.range(0));
    const USHORT bits = USHORT(state.range(1));
    sim::ResetAll();
    {
        std::vector<uint8_t> block(480u * channels * bits / 8, 0x55);
        if (RunEngineProcessBlock(state, stream_test::Pcm(48000, channels, bits), block))
            Counters(state, 480);
    }
    sim::ResetAll();
}
BENCHMARK(EngineProcessBlockPeer)
    ->ArgNames({"ch", "bits"})
    ->Args({2, 16})
    ->Args({2, 24})
    ->Args({8, 24})
    ->Args({8, 16});

// The floor: 10 ms of client bytes copied from the cyclic buffer into the packets' slots.
void BareCopyFloor(benchmark::State &state)
{
    const size_t frameBytes = size_t(state.range(0)) * size_t(state.range(1)) / 8;
    const size_t packets = size_t(state.range(2));
    const size_t perPacket = 480 / packets * frameBytes;
    std::vector<uint8_t> cyclic(48000 / 20 * frameBytes, 0x33);
    std::vector<uint8_t> transfer(perPacket * packets);
    size_t position = 0;
    for (auto _ : state)
    {
        for (size_t p = 0; p < packets; ++p)
        {
            const size_t n = std::min(perPacket, cyclic.size() - position);
            std::memcpy(transfer.data() + p * perPacket, cyclic.data() + position, n);
            std::memcpy(transfer.data() + p * perPacket + n, cyclic.data(), perPacket - n);
            position = (position + perPacket) % cyclic.size();
        }
        benchmark::DoNotOptimize(transfer.data());
        benchmark::ClobberMemory();
    }
    Counters(state, 480);
}
BENCHMARK(BareCopyFloor)
    ->ArgNames({"ch", "bits", "packets"})
    ->Args({2, 16, 10})
    ->Args({2, 24, 80})
    ->Args({8, 24, 80})
    ->Args({8, 16, 10});

} // namespace

// The USB layer's bench names its files after the running test, so the benchmarks run inside one.
TEST(StreamRenderBench, Run)
{
    benchmark::RunSpecifiedBenchmarks();
}

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
