// Feedback values to rates, and render packet sizes from a measured rate: exact values from the
// formats' definitions, and a seeded sweep of values that must never put a packet past its slot.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "driver/core/usb_audio_stream.h"
#include "driver/core/usb_stream_feedback.h"
#include "support/kernel_test.h"

namespace
{

class FeedbackTest : public KernelTest
{
};

// Packet sizing of a render stream at a given rate, without a device.
class SizingProbe final : public CUac1RenderStream
{
public:
    SizingProbe() : CUac1RenderStream(nullptr, 1, 0) {}
    // `maxPacketBytes`: the endpoint's packet limit for 4-byte frames, 0 for none selected.
    ULONG Size(PURB urb, ULONG packets, ULONG rate, ULONG nominal, ULONG packetsPerFrame,
               ULONG maxPacketBytes = 0)
    {
        m_Rate = rate;
        m_CurrentFormat.Format.nSamplesPerSec = nominal;
        m_CurrentFormat.Format.nBlockAlign = 4;
        m_MaxPacketBytes = maxPacketBytes;
        m_PacketsPerFrame = packetsPerFrame;
        return SizeRenderPackets(urb, packets, 4);
    }
};

std::vector<UCHAR> Packets(const std::vector<ULONG> &values, ULONG bytes)
{
    std::vector<UCHAR> out;
    for (ULONG v : values)
        for (ULONG b = 0; b < bytes; ++b)
            out.push_back(UCHAR(v >> (8 * b)));
    return out;
}

TEST_F(FeedbackTest, KnownValuesMeasureTheirRates)
{
    // 0x0B0640 in 10.14 is 0x2C1900 in 16.16, which the chip means as 0x2C199A: 44.1 samples.
    EXPECT_EQ(FeedbackPacketRate(0x0B0640, 3, 1), 44100u);
    EXPECT_EQ(FeedbackPacketRate(48u << 14, 3, 1), 48000u);
    EXPECT_EQ(FeedbackPacketRate(6u << 16, 4, 8), 48000u);

    // Five packets at 48000 Hz and five at 48100 Hz average 50 Hz above nominal: with ten frames a
    // transfer that is pushed to 100 Hz above.
    std::vector<ULONG> values(5, 786432);
    values.insert(values.end(), 5, 788071);
    const auto data = Packets(values, 3);
    EXPECT_EQ(MeasureFeedbackRate(data.data(), ULONG(data.size()), 10, 3, 1, 48000, 10, 48000), 48100u);

    // Values more than 1000 Hz off are not measured; none left keeps the rate.
    const auto wild = Packets({0xFFFFFF, 0, 0x100000}, 3);
    EXPECT_EQ(MeasureFeedbackRate(wild.data(), ULONG(wild.size()), 3, 3, 1, 48000, 10, 47990), 47990u);
    // A transfer shorter than its packets is read only as far as it goes.
    EXPECT_EQ(MeasureFeedbackRate(data.data(), 5, 10, 3, 1, 48000, 10, 47990), 48000u);
}

TEST_F(FeedbackTest, MeasuredRatesAboveAndBelowNominalNeverPutAPacketPastItsSlot)
{
    SizingProbe probe;
    std::vector<UCHAR> urbBytes(GET_ISO_URB_SIZE(80));
    auto *urb = reinterpret_cast<PURB>(urbBytes.data());
    std::mt19937 rng(1121);
    const ULONG rates[] = {44100, 48000, 96000, 192000};
    for (int round = 0; round < 2000; ++round)
    {
        const ULONG nominal = rates[rng() % 4];
        const bool high = rng() % 2;
        const ULONG ppf = high ? 8 : 1, bytes = high ? 4 : 3;
        // Values spread around nominal, below it too, and sometimes anything at all.
        const double samples = nominal / (ppf * 1000.0) * (1.0 + (int(rng() % 2001) - 1000) / 20000.0);
        ULONG value = high ? ULONG(samples * 65536) : ULONG(samples * 16384);
        if (rng() % 8 == 0)
            value = rng() & (high ? 0xFFFFFFFFu : 0xFFFFFFu);
        const auto data = Packets(std::vector<ULONG>(10, value), bytes);
        const ULONG measured =
            MeasureFeedbackRate(data.data(), ULONG(data.size()), 10, bytes, ppf, nominal, 10, nominal);
        const ULONG packets = 10 * ppf;
        const ULONG total = probe.Size(urb, packets, measured, nominal, ppf);
        const ULONG slot = (nominal / 1000 / ppf + 1) * 4;
        ULONG sum = 0;
        for (ULONG i = 0; i < packets; ++i)
        {
            const auto &p = urb->UrbIsochronousTransfer.IsoPacket[i];
            ASSERT_LE(p.Length, slot) << "rate " << measured << " nominal " << nominal;
            ASSERT_EQ(p.Length % 4, 0u);
            ASSERT_EQ(p.Offset, sum);
            sum += p.Length;
        }
        ASSERT_EQ(total, sum);
    }

    // Near the top of what the measurement keeps, 44.1 kHz at full speed measured about 1 kHz fast, on
    // an endpoint whose packets could hold more: the remainder carried from one transfer to the next
    // would make a packet of 46 frames, and the transfer buffer has a 45-frame slot for it.
    const auto fast = Packets(std::vector<ULONG>(10, ULONG(45.099 * 16384)), 3);
    const ULONG measured = MeasureFeedbackRate(fast.data(), ULONG(fast.size()), 10, 3, 1, 44100, 10, 44100);
    ASSERT_GT(measured, 45000u);
    ASSERT_LE(measured, 45100u);
    SizingProbe edge;
    for (int transfer = 0; transfer < 3; ++transfer)
    {
        edge.Size(urb, 10, measured, 44100, 1, 1023);
        for (ULONG i = 0; i < 10; ++i)
            ASSERT_LE(urb->UrbIsochronousTransfer.IsoPacket[i].Length, 45u * 4) << transfer << " " << i;
    }
}

} // namespace
