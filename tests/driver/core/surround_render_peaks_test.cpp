// Full-scale program through the enabled surround endpoint's render path, to 16- and 24-bit PCM:
// the surround node in the stream engine (its wet set: the headphone surround, then its chain's
// limiter), then the DSP render class's chain and its pack to two channels. The surround alone
// goes far past full scale at the ears; the bus never does, every PCM sample is the saturated
// value of the float it came from (nothing wraps to the other sign), and the wet limiter is back
// at unity gain after the burst.
#include "driver/effects/chain_adapters.h"

#include "support/engine_doubles.h"
#include "support/kernel_test.h"
#include "support/surround_render_path.h"

#include <cmath>
#include <cstring>
#include <functional>
#include <numbers>
#include <random>

namespace
{
constexpr USHORT kChannels = 8;
constexpr ULONG kRate = 48000;
constexpr ULONG kBlock = 480; // one 10 ms transfer
constexpr size_t kBurst = 24000;
// After the burst: the surround's block and longest tail (512 + 3584 samples) still ring, the limiter
// looks one block ahead and holds 20, and its gain closes the gap to unity by e every release of
// 10240 samples down to the float step (a gap of 1.2e-3, at most 7 releases from any gain), then
// takes at most one more release for the rest.
constexpr size_t kBackToUnity = 512 + 3584 + 256 + 20 * 128 + 8 * 10240;
constexpr size_t kQuiet = (kBackToUnity / kBlock + 2) * kBlock;

// The surround node with its wet chain's limiter in view.
class OpenSurroundNode : public CEffectNode140
{
public:
    using CEffectNode140::CEffectNode140;
    const PeakLimiter &WetLimiter() const { return m_ChainB->m_Limiter; }
};

// Every channel as the surround node handed it on, before the engine converts it back to PCM.
class BusTap : public engine_test::RecordingNode
{
public:
    using RecordingNode::RecordingNode;
    std::vector<std::vector<float>> bus = std::vector<std::vector<float>>(kChannels);
    NTSTATUS ProcessBuffers(const WAVEFORMATEXTENSIBLE *, float **buffers, ULONG frames) override
    {
        for (USHORT c = 0; c < kChannels; ++c)
            bus[c].insert(bus[c].end(), buffers[c], buffers[c] + frames);
        return STATUS_SUCCESS;
    }
};

// A full-scale program: sample i of channel c, in [-1, 1].
using Program = std::function<double(size_t i, USHORT c)>;

int32_t FullScale(USHORT bits)
{
    return bits == 16 ? 0x7FFF : 0x7FFFFF;
}

int32_t ReadSample(const uint8_t *p, USHORT bits)
{
    if (bits == 16)
        return int16_t(uint16_t(p[0] | p[1] << 8));
    return int32_t(uint32_t(p[0] | p[1] << 8 | p[2] << 16) << 8) >> 8;
}

void WriteSample(uint8_t *p, USHORT bits, double x)
{
    const int32_t full = FullScale(bits);
    const int32_t v = int32_t(std::lround(std::clamp(x * (full + 1.0), -full - 1.0, double(full))));
    for (int b = 0; b < bits / 8; ++b)
        p[b] = uint8_t(uint32_t(v) >> (8 * b));
}

// The PCM value of float x with saturation, in double: what every converted sample must be within
// one step (either rounding).
int32_t Saturated(double x, USHORT bits)
{
    const int32_t full = FullScale(bits);
    return int32_t(std::clamp(std::round(x * (full + 1.0)), -full - 1.0, double(full)));
}

class SurroundRenderPeaks : public KernelTest
{
protected:
    struct Outcome
    {
        float busPeak = 0;     // the largest float either conversion took
        float lowestGain = 1;  // the wet limiter's, over the burst
        size_t unityAfter = 0; // samples after the burst until the wet limiter was at unity again
        float classGain = 0;   // the render class's limiter at the end
    };

    struct Final
    {
        std::vector<float> left, right;
    };

    // One transfer: the engine's pass with the node, every channel checked against the float the
    // tap saw; then the render class's step, both ears checked against the floats it converted.
    static ::testing::AssertionResult Transfer(CStreamEngine *engine, surround_path::RenderClassChain *render,
                                               const BusTap *tap, const Final &final,
                                               std::vector<uint8_t> &block, size_t start, USHORT bits,
                                               Outcome *out)
    {
        const size_t bytes = bits / 8, frameBytes = bytes * kChannels;
        // The transfer path runs at DISPATCH_LEVEL.
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        const NTSTATUS status = engine->ProcessBlock(block.data(), ULONG(block.size()));
        KeLowerIrql(irql);
        if (status != STATUS_SUCCESS)
            return ::testing::AssertionFailure() << "ProcessBlock failed at " << start;
        for (size_t i = 0; i < kBlock; ++i)
            for (USHORT c = 0; c < kChannels; ++c)
            {
                const float x = tap->bus[c][start + i];
                out->busPeak = std::max(out->busPeak, std::fabs(x));
                const int32_t got = ReadSample(&block[i * frameBytes + c * bytes], bits);
                if (std::abs(got - Saturated(x, bits)) > 1)
                    return ::testing::AssertionFailure() << "engine, sample " << start + i << " channel " << c
                                                         << ": float " << x << " became " << got;
            }
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        const ULONG packed = render->Run(block.data(), kBlock);
        KeLowerIrql(irql);
        if (packed != kBlock * 2 * bytes)
            return ::testing::AssertionFailure() << "packed size at " << start;
        for (size_t i = 0; i < kBlock; ++i)
            for (int c = 0; c < 2; ++c)
            {
                const float x = (c ? final.right : final.left)[start + i];
                out->busPeak = std::max(out->busPeak, std::fabs(x));
                const int32_t got = ReadSample(&block[(2 * i + size_t(c)) * bytes], bits);
                if (std::abs(got - Saturated(x, bits)) > 1)
                    return ::testing::AssertionFailure() << "render class, sample " << start + i << " ear "
                                                         << c << ": float " << x << " became " << got;
            }
        return ::testing::AssertionSuccess();
    }

    // Streams kBurst samples of `program` on all channels, then kQuiet of silence, through the
    // engine with the surround node and the render class; checks every conversion on the way.
    Outcome Run(USHORT bits, const Program &program)
    {
        Outcome out;
        const WAVEFORMATEXTENSIBLE pcm = engine_test::MakeFormat(WAVE_FORMAT_PCM, kChannels, kRate, bits);
        CStreamEngine *engine = engine_test::MakeEngine();
        OpenSurroundNode *node = surround_path::MakeSurroundNode<OpenSurroundNode>(pcm);
        auto *tap = new (NonPagedPool, PoolTag::USBS) BusTap(nullptr, 99);
        auto *render = new (NonPagedPool, PoolTag::US10) surround_path::RenderClassChain();
        tap->AddRef();
        render->NonDelegatingUnknown()->AddRef();
        Final final;
        render->Observe(
            [](PVOID context, float *const *channels, ULONG, ULONG frames)
            {
                auto *f = static_cast<Final *>(context);
                f->left.insert(f->left.end(), channels[0], channels[0] + frames);
                f->right.insert(f->right.end(), channels[1], channels[1] + frames);
            },
            &final);
        const bool ready = node && engine->Initialize(0) == STATUS_SUCCESS &&
                           engine->PrepareBuffers() == STATUS_SUCCESS && render->Setup(pcm, engine) &&
                           engine->AddProcessingNode(node) == STATUS_SUCCESS &&
                           engine->AddProcessingNode(tap) == STATUS_SUCCESS;
        EXPECT_TRUE(ready);
        if (ready)
        {
            engine->SetCurrentFormat(pcm);
            const size_t bytes = bits / 8, frameBytes = bytes * kChannels;
            std::vector<uint8_t> block(kBlock * frameBytes);
            bool sawUnity = false;
            for (size_t start = 0; start < kBurst + kQuiet; start += kBlock)
            {
                for (size_t i = 0; i < kBlock; ++i)
                    for (USHORT c = 0; c < kChannels; ++c)
                        WriteSample(&block[i * frameBytes + c * bytes], bits,
                                    start + i < kBurst ? program(start + i, c) : 0.0);
                const ::testing::AssertionResult converted =
                    Transfer(engine, render, tap, final, block, start, bits, &out);
                if (!converted)
                {
                    ADD_FAILURE() << converted.message();
                    break;
                }
                const float gain = node->WetLimiter().Gain(0);
                if (start < kBurst)
                    out.lowestGain = std::min(out.lowestGain, gain);
                else if (!sawUnity && gain == 1.0f)
                {
                    sawUnity = true;
                    out.unityAfter = start + kBlock - kBurst;
                }
            }
            if (!sawUnity)
                out.unityAfter = SIZE_MAX;
            out.classGain = render->Chain().m_Limiter.Gain(0);
        }
        render->NonDelegatingUnknown()->Release();
        tap->Release();
        if (node)
            node->Release();
        engine->Release();
        return out;
    }
};

TEST_F(SurroundRenderPeaks, FullScaleProgramNeverPassesFullScaleNorWraps)
{
    std::mt19937 rng(7);
    std::vector<double> signs(kBurst * kChannels);
    for (double &s : signs)
        s = (rng() & 1) ? 1.0 : -1.0;
    const struct
    {
        const char *name;
        Program program;
    } programs[] = {
        {"square 100 Hz", [](size_t i, USHORT) { return (i / 240) % 2 ? -1.0 : 1.0; }},
        {"sine 100 Hz",
         [](size_t i, USHORT) { return std::sin(2 * std::numbers::pi * 100.0 * double(i) / kRate); }},
        {"sine 1 kHz",
         [](size_t i, USHORT) { return std::sin(2 * std::numbers::pi * 1000.0 * double(i) / kRate); }},
        {"independent noise", [&](size_t i, USHORT c) { return signs[i * kChannels + c]; }},
        {"impulse train", [](size_t i, USHORT) { return i % 1000 == 0 ? 1.0 : 0.0; }},
    };
    for (USHORT bits : {16, 24})
        for (const auto &p : programs)
        {
            SCOPED_TRACE(std::string(p.name) + ", " + std::to_string(bits) + " bits");
            const Outcome o = Run(bits, p.program);
            EXPECT_LE(o.busPeak, 1.0f + 1e-6f);
            // The surround alone reached at least twice full scale.
            EXPECT_LT(o.lowestGain, 0.5f);
            // Past the hold, and back within the release.
            EXPECT_GT(o.unityAfter, size_t(20 * 128));
            EXPECT_LE(o.unityAfter, kBackToUnity);
            // The node's limiter already held the bus: the render class's never had to act.
            EXPECT_EQ(o.classGain, 1.0f);
        }
}

} // namespace
