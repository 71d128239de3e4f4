// libFuzzer entry point: what the configuration library hands the panel. The first byte picks
// an answer buffer (even) or a pair of device lists with their counts (odd), served by an
// in-process entry table. Aborts on a selection the lists do not justify or an unbounded lookup.
#include "panel/device/conflib_answer.h"
#include "panel/device/headset_audio_control.h"

#include "support/fake_conflib.h"

#include <QtGlobal>

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace
{

void Silent(QtMsgType, const QMessageLogContext &, const QString &) {}

bool IsHeadset(const DevInfo &device, int32_t jackType)
{
    return (device.JackType == jackType && device.State == 1) || (device.JackType == 0 && device.Handle == 0);
}

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const QtMessageHandler previous = qInstallMessageHandler(&Silent);
    (void)previous;
    if (size == 0)
        return 0;
    FakeConfLib fake;
    ConfLibState state;
    fake.Install(state);
    HeadsetAudioControl control(state);
    const uint8_t *rest = data + 1;
    const size_t restSize = size - 1;

    if (data[0] % 2 == 0)
    {
        // As an answer of exactly its own length, then as the library's whole 1024-byte buffer.
        std::vector<char16_t> units(restSize / 2);
        if (!units.empty()) // an empty vector's data() may be null, which memcpy may not take
            std::memcpy(units.data(), rest, units.size() * sizeof(char16_t));
        const std::u16string_view text(units.data(), units.size());
        answerToInt(text);
        Check(std::isfinite(answerToDouble(text)));
        Check(std::isfinite(percentFromAnswer(text)));
        std::memcpy(fake.answer, rest, std::min(restSize, sizeof fake.answer));
        control.readEqualiser();
        control.readMicState();
        control.initAudioDefaults();
        Check(std::isfinite(control.micMasterPercent));
        return 0;
    }

    // Two counts (0xFFFFFFFF: not written), then 16-byte records, split between the lists.
    uint32_t counts[2] = {};
    std::memcpy(counts, rest, std::min(restSize, sizeof counts));
    for (int d = 0; d < 2; ++d)
    {
        fake.countsWritten[d] = counts[d] != 0xFFFFFFFFu;
        fake.counts[d] = counts[d] & 0x8000FFFFu;
    }
    const size_t records = restSize > sizeof counts ? (restSize - sizeof counts) / sizeof(DevInfo) : 0;
    const size_t split = records ? rest[sizeof counts] % (records + 1) : 0;
    for (size_t i = 0; i < records; ++i)
    {
        DevInfo device;
        std::memcpy(&device, rest + sizeof counts + i * sizeof device, sizeof device);
        fake.lists[i < split ? 0 : 1].push_back(device);
    }
    control.refreshVolumeDefaults();
    Check(fake.lookups <= kMaxRenderEndpoints + 1);
    Check(IsHeadset(state.renderDevice, 12) && IsHeadset(state.captureDevice, 2));
    Check(control.libraryReady ==
          (fake.countsWritten[0] && fake.countsWritten[1] && fake.counts[0] && fake.counts[1]));
    return 0;
}
