// Feedback values to rates.
#include "driver/core/usb_stream_feedback.h"

#include "driver/core/uac_endpoints.h"

namespace
{
struct Correction
{
    ULONG From;
    ULONG To;
};
// 10.14 values the chips send for 44.1, 88.2 and 176.4 kHz families, rounded down a step.
constexpr Correction kThreeByte[] = {
    {0x2B9900, 0x2B99A0},       {0x2C1900, 0x2C199A},       {0x2C9900, 0x2C99A0},
    {0x57B300, 0x57B300 + 56},  {0x583300, 0x583300 + 56},  {0x58B300, 0x58B300 + 56},
    {0xAFE600, 0xAFE600 + 104}, {0xB06600, 0xB06600 + 104}, {0xB0E600, 0xB0E600 + 104},
};
constexpr Correction kFourByte[] = {
    {357248, 357248 - 76},    {361344, 361344 - 76},    {365440, 365440 - 76},
    {718400, 718400 + 39},    {722496, 722496 + 39},    {726592, 726592 + 39},
    {1440864, 1440864 + 109}, {1444960, 1444960 + 109}, {1449056, 1449056 + 109},
};

template <size_t N> ULONG Corrected(ULONG value, const Correction (&table)[N])
{
    for (const Correction &c : table)
        if (c.From == value)
            return c.To;
    return value;
}
} // namespace

ULONG FeedbackPacketRate(ULONG value, ULONG bytes, ULONG packetsPerFrame)
{
    const ULONG v = bytes == 4 ? Corrected(value, kFourByte) : Corrected((value & 0xFFFFFF) * 4, kThreeByte);
    const ULONGLONG perSecond = ULONGLONG(packetsPerFrame) * 1000;
    return ULONG((v % 65536) * perSecond / 65536 + (v / 65536) * perSecond);
}

ULONG MeasureFeedbackRate(const UCHAR *data, ULONG length, ULONG packets, ULONG bytes, ULONG packetsPerFrame,
                          ULONG nominal, ULONG framesPerTransfer, ULONG current)
{
    if (!data || (bytes != 3 && bytes != 4) || packetsPerFrame == 0)
        return current;
    ULONGLONG sum = 0;
    ULONG counted = 0;
    for (ULONG i = 0; i < packets && (i + 1) * bytes <= length; ++i)
    {
        const UCHAR *p = data + i * bytes;
        ULONG value = ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16;
        if (bytes == 4)
            value |= ULONG(p[3]) << 24;
        const ULONG rate = FeedbackPacketRate(value, bytes, packetsPerFrame);
        if (rate + UAC_FEEDBACK_WINDOW_HZ >= nominal && rate <= nominal + UAC_FEEDBACK_WINDOW_HZ)
        {
            sum += rate;
            ++counted;
        }
    }
    if (counted == 0)
        return current;
    const ULONG average = ULONG(sum / counted);
    if (framesPerTransfer != 0)
    {
        const ULONG step = 500 / framesPerTransfer;
        if (average == nominal + step)
            return average + step;
        if (average + step == nominal)
            return average - step;
    }
    return average;
}
