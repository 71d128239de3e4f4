// The chip family's feature units on the virtual headset: the volume curve row
// by row, the scaled maps against exact rational arithmetic, the ranges, the
// mute LED through a recording register file, the hardware-mute OR, the nodes
// they make and the class cells of the unit-creator hook.
#include <gtest/gtest.h>

#include "driver/base/pool_memory.h"
#include "driver/base/usb_vendor_ids.h"
#include "driver/core/chip_level_units.h"
#include "driver/core/chip_units.h"
#include "driver/effects/effect_nodes.h"
#include "chip_fixture.h"

#include <cmath>
#include <map>
#include <random>
#include <string>

using namespace chip_bench;
using usbsim::Bytes;

namespace
{

// The user column as the chip maker's table gives it; the device column is 0,
// then 1 dB steps to -36 dB, then -38 dB twice.
constexpr SHORT kUser[MIRK_CURVE_ROWS] = {
    0,     0,     -62,   -128,  -192,  -263,  -331,  -402,  -477,  -556,  -638,  -717,  -804,  -894,
    -989,  -1088, -1188, -1298, -1411, -1529, -1657, -1785, -1920, -2082, -2240, -2420, -2612, -2816,
    -3072, -3303, -3584, -3917, -4301, -4788, -5402, -6221, -7578, -8500, -8832, -32768};
LONG DeviceRow(ULONG i)
{
    return i == 0 ? 0 : i <= 37 ? -LONG(i - 1) * 256 : -9728;
}

TEST(MirkCurve, EveryRowAndItsNeighbours)
{
    for (ULONG i = 0; i < MIRK_CURVE_ROWS; ++i)
    {
        SCOPED_TRACE(i);
        EXPECT_EQ(MirkVolumeCurve[i].User, kUser[i]);
        EXPECT_EQ(MirkVolumeCurve[i].Device, DeviceRow(i));
    }
    for (ULONG i = 0; i + 1 < MIRK_CURVE_ROWS; ++i)
    {
        SCOPED_TRACE(i);
        const LONG u = kUser[i + 1];
        EXPECT_EQ(MirkCurveToDevice(u * 256), DeviceRow(i + 1));
        EXPECT_EQ(MirkCurveToDevice((u + 1) * 256), DeviceRow(i));
        EXPECT_EQ(MirkCurveToDevice((u - 1) * 256), DeviceRow(i + 1));
    }
    EXPECT_EQ(MirkCurveToDevice(kSilence), -0x8000);
    EXPECT_EQ(MirkCurveToDevice(0), 0);
    EXPECT_EQ(MirkCurveToDevice(-100 * 256), -256);
    EXPECT_EQ(MirkCurveToDevice(-8833 * 256), -9728);
    EXPECT_EQ(MirkCurveToDevice(dB(-128)), -9728);
    EXPECT_EQ(MirkCurveToDevice(dB(-140)), -9728); // not +116 dB
    EXPECT_EQ(MirkCurveToDevice(0x7FFFFFFF), 0);
    EXPECT_EQ(MirkCurveFromDevice(-256), -62 * 256);
    EXPECT_EQ(MirkCurveFromDevice(0), 0);
    EXPECT_EQ(MirkCurveFromDevice(0x8000), kSilence);
    // What the driver writes reads back as the row it came from.
    for (ULONG i = 1; i <= 37; ++i)
        EXPECT_EQ(MirkCurveFromDevice(DeviceRow(i)), kUser[i] * 256) << i;
    // Every chip value reads inside the system's range.
    for (LONG d = -0x8000; d <= 0x7FFF; ++d)
    {
        const LONG level = MirkCurveFromDevice(d);
        ASSERT_TRUE(level == kSilence || (level <= 0x7FFF * 256 && level >= -0x8000 * 256)) << d;
    }
}

// The scaled maps against exact rational arithmetic: x*n/d truncated toward
// zero, held to 32 bits.
LONG Exact(long double x, long double n, long double d)
{
    const long double q = x * n / d;
    const long double t = q < 0 ? -std::floor(-q) : std::floor(q);
    return t < -2147483648.0L ? kSilence : t > 2147483647.0L ? 0x7FFFFFFF : LONG(t);
}

TEST(MirkScaled, MapsMatchExactArithmeticWithoutOverflow)
{
    EXPECT_EQ(MirkScaledRead(MirkScaleA, dB(-10)), dB(-15));
    EXPECT_EQ(MirkScaledRead(MirkScaleA, dB(2)), dB(6));
    EXPECT_EQ(MirkScaledWrite(MirkScaleA, dB(-15)), dB(-10));
    EXPECT_EQ(MirkScaledRead(MirkScaleB, dB(-8)), dB(-3));
    EXPECT_EQ(MirkScaledWrite(MirkScaleB, dB(-3)), dB(-8));
    for (const MirkScale *s : {&MirkScaleA, &MirkScaleB})
    {
        EXPECT_EQ(MirkScaledRead(*s, kSilence), kSilence);
        EXPECT_EQ(MirkScaledWrite(*s, kSilence), kSilence);
        // Every chip value through the read.
        for (LONG d = -0x7FFF; d <= 0x7FFF; ++d)
        {
            const LONG x = d * 256;
            ASSERT_EQ(MirkScaledRead(*s, x),
                      x < 0 ? Exact(x, s->NegativeMul, s->NegativeDiv) : Exact(x, 3, 1));
        }
        std::mt19937 random(17);
        for (int i = 0; i < 100000; ++i)
        {
            const LONG level = LONG(random());
            const LONG expected = level == kSilence ? kSilence
                                  : level < 0       ? Exact(level, s->NegativeDiv, s->NegativeMul)
                                                    : Exact(level, 1, 3);
            const LONG written = MirkScaledWrite(*s, level);
            ASSERT_EQ(written, expected) << level;
            const LONG wire = UacLevelToWire(written, 2);
            ASSERT_TRUE(wire >= -0x8000 && wire <= 0x7FFF);
            ASSERT_TRUE(MirkCurveToDevice(level) >= -0x8000 && MirkCurveToDevice(level) <= 0);
        }
    }
}

TEST_F(ChipUnitTest, CurveUnitRequestsRangeAndNodes)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    headset->Control(13, 1, 0) = {1, 0, 0, 1, 1};
    for (UCHAR ch = 1; ch <= 2; ++ch)
        headset->Control(13, 2, ch) = {2, -256, -9728, 0, 0};
    Plug(headset);
    // Without a mute control the unit makes nothing.
    Unit<CUnitVolumeCurve>(Feature(14, {0x00, 0x02, 0x02}), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(hal->GetFilterCount(), 0u);

    auto *unit = Unit<CUnitVolumeCurve>(Feature(13, {0x01, 0x02, 0x02}));
    ASSERT_EQ(hal->GetFilterCount(), 2u);
    IAudioNode *mute = nullptr, *volume = nullptr;
    hal->GetFilter(0, &mute);
    hal->GetFilter(1, &volume);
    EXPECT_EQ(mute->GetKind(), ULONG(NODE_KIND_MUTE));
    PPROCESSINGGATE gate = QueryAs<IProcessingGate>(volume, IID_IProcessingGate);
    ASSERT_NE(gate, nullptr); // the software-volume node
    gate->Release();

    LONG level = 0;
    ASSERT_EQ(unit->GetLevel(FU_VOLUME, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, -62 * 256);
    bus->ClearLog();
    ASSERT_EQ(unit->SetLevel(FU_VOLUME, 0, kSilence), STATUS_SUCCESS);
    ASSERT_EQ(unit->SetLevel(FU_VOLUME, 1, dB(-140)), STATUS_SUCCESS);
    ASSERT_EQ(unit->SetLevel(FU_VOLUME, 0, -100 * 256), STATUS_SUCCESS);
    EXPECT_EQ(Sent(), (std::vector<LONG>{-0x8000, -9728, -256}));
    EXPECT_EQ(headset->Control(13, 2, 1).cur, -256);

    LONG high = 0, low = 0, step = 0;
    ASSERT_EQ(unit->GetLevelRange(FU_VOLUME, &high, &low, &step), STATUS_SUCCESS);
    EXPECT_EQ(high, 0);
    EXPECT_EQ(low, -9728 * 256);
    EXPECT_EQ(step, 0x4000); // GET_RES said 0
    // A failed range read writes nothing.
    usbsim::RequestMatch res;
    res.bRequest = UAC1_GET_RES;
    const int fault = bus->InjectFault(kPort, res, {usbsim::FaultKind::Stall});
    high = 7;
    EXPECT_FALSE(NT_SUCCESS(unit->GetLevelRange(FU_VOLUME, &high, &low, &step)));
    EXPECT_EQ(high, 7);
    bus->ClearFault(fault);
}

TEST_F(ChipUnitTest, MuteLedFollowsSuccessfulMuteWrites)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    headset->Control(13, 1, 0) = {1, 0, 0, 1, 1};
    Plug(headset);
    struct Case
    {
        std::vector<UCHAR> need, reverse;
        std::vector<RegisterWrite> expected;
    } cases[] = {
        {{1}, {}, {{1, 0x30, 0x30}, {1, 0x10, 0x30}}},
        {{1}, {1}, {{1, 0x10, 0x30}, {1, 0x30, 0x30}}},
        {{0}, {1}, {}},
        {{}, {}, {}},
    };
    for (const auto &c : cases)
    {
        g_Settings.clear();
        if (!c.need.empty())
            g_Settings[u"NeedMuteLED"] = c.need;
        if (!c.reverse.empty())
            g_Settings[u"ReverseMuteLED"] = c.reverse;
        registers.writes.clear();
        auto *unit = Unit<CUnitVolumeCurve>(Feature(13, {0x01}));
        ASSERT_EQ(unit->SetSwitch(FU_MUTE, 0, 1), STATUS_SUCCESS);
        ASSERT_EQ(unit->SetSwitch(FU_MUTE, 0, 0), STATUS_SUCCESS);
        EXPECT_EQ(registers.writes, c.expected);
    }
    // A mute write the chip refuses leaves the LED alone.
    g_Settings[u"NeedMuteLED"] = {1};
    auto *unit = Unit<CUnitVolumeCurve>(Feature(13, {0x01}));
    registers.writes.clear();
    usbsim::RequestMatch set;
    set.bRequest = UAC1_SET_CUR;
    const int fault = bus->InjectFault(kPort, set, {usbsim::FaultKind::Stall});
    EXPECT_FALSE(NT_SUCCESS(unit->SetSwitch(FU_MUTE, 0, 1)));
    EXPECT_TRUE(registers.writes.empty());
    bus->ClearFault(fault);
    // A refused register write is the mute's result.
    registers.fail = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(unit->SetSwitch(FU_MUTE, 0, 1), STATUS_UNSUCCESSFUL);
}

TEST_F(ChipUnitTest, ScaledUnitsAndHardwareMute)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    headset->Control(11, 1, 0) = {1, 0, 0, 1, 1};
    headset->Control(11, 2, 0) = {2, -10 * 256, -0x2F0F, 0x060F, 0x100};
    headset->Control(8, 2, 0) = {2, -8 * 256, -0x2F00, 0x06FF, 0x100};
    headset->Control(8, 3, 0) = {1, 0, -48, 48, 0};
    Plug(headset);
    auto *a = Unit<CUnitScaledAHwMute>(Feature(11, {0x03}));
    auto *b = Unit<CUnitScaledB>(Feature(8, {0x06}));

    LONG level = 0, high = 0, low = 0, step = 0;
    ASSERT_EQ(a->GetLevel(FU_VOLUME, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, dB(-15));
    ASSERT_EQ(b->GetLevel(FU_VOLUME, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, dB(-3));
    ASSERT_EQ(a->GetLevelRange(FU_VOLUME, &high, &low, &step), STATUS_SUCCESS);
    EXPECT_EQ(high, 0x0600 * 3 * 256); // low 4 bits cleared, then scaled
    EXPECT_EQ(low, -0x2F0F * 256 * 3 / 2);
    EXPECT_EQ(step, 0x18000);
    ASSERT_EQ(b->GetLevelRange(FU_VOLUME, &high, &low, &step), STATUS_SUCCESS);
    EXPECT_EQ(high, 0x0600 * 3 * 256); // low byte cleared
    EXPECT_EQ(low, -0x2F00 * 256 * 3 / 8);
    EXPECT_EQ(step, 0x18000);
    ASSERT_EQ(b->GetLevelRange(FU_BASS, &high, &low, &step), STATUS_SUCCESS);
    EXPECT_EQ(high, 48 * 16384);
    EXPECT_EQ(low, -48 * 16384);
    EXPECT_EQ(step, 16384);             // GET_RES 0 still gives one chip step
    headset->Control(8, 3, 0).res = -2; // a signed byte: no step below one either
    ASSERT_EQ(b->GetLevelRange(FU_BASS, &high, &low, &step), STATUS_SUCCESS);
    EXPECT_EQ(step, 16384);
    bus->ClearLog();
    ASSERT_EQ(a->SetLevel(FU_VOLUME, 0, dB(-15)), STATUS_SUCCESS);
    ASSERT_EQ(b->SetLevel(FU_VOLUME, 0, LONG(0x80000001)),
              STATUS_SUCCESS); // saturates on the wire
    ASSERT_EQ(b->SetLevel(FU_VOLUME, 0, 0x7FFFFFFF), STATUS_SUCCESS);
    EXPECT_EQ(Sent(), (std::vector<LONG>{-10 * 256, -0x8000, 0x7FFF}));

    // The chip gets the user's mute OR the headset's switch.
    UCHAR mute = 9;
    ASSERT_EQ(a->SetSwitch(FU_MUTE, 0, 0), STATUS_SUCCESS);
    ASSERT_EQ(a->SetHardwareMute(1), STATUS_SUCCESS);
    ASSERT_EQ(a->SetHardwareMute(0), STATUS_SUCCESS);
    EXPECT_EQ(Sent(), (std::vector<LONG>{0, 1, 0}));
    EXPECT_EQ(a->GetSwitch(FU_MUTE, 1, &mute), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(a->SetSwitch(FU_MUTE, 1, 1), STATUS_INVALID_PARAMETER);
    headset->Control(11, 1, 0).cur = 1;
    ASSERT_EQ(a->GetSwitch(FU_MUTE, 0, &mute), STATUS_SUCCESS);
    EXPECT_EQ(mute, 1);
    ASSERT_EQ(a->SetHardwareMute(0),
              STATUS_SUCCESS); // re-sends the user mute just read
    EXPECT_EQ(Sent(), (std::vector<LONG>{1}));
    PHARDWAREMUTE hw = QueryAs<IHardwareMute>(static_cast<IUsbAudioUnit *>(a), IID_IHardwareMute);
    ASSERT_NE(hw, nullptr);
    hw->Release();
}

TEST_F(ChipUnitTest, SelectorMapsSourcesToChipInputs)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    headset->Control(20, 0, 0) = {1, 0, 0, 4, 1};
    headset->Control(21, 0, 0) = {1, 0, 0, 4, 1};
    Plug(headset);
    // Inputs fed by units 8, 5, 2, 16 and 15.
    const Bytes selector = {11, 0x24, 0x05, 20, 5, 8, 5, 2, 16, 15, 0};
    auto *unit = Unit<CSelectorInputMap>(selector);
    for (ULONG input = 1; input <= 5; ++input)
        ASSERT_EQ(unit->SetInput(input), STATUS_SUCCESS);
    EXPECT_EQ(unit->SetInput(0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(unit->SetInput(6), STATUS_INVALID_PARAMETER);
    std::vector<Bytes> sent;
    for (const auto &e : Urbs())
        if (e.function == URB_FUNCTION_CLASS_INTERFACE && e.bRequest == UAC1_SET_CUR)
        {
            EXPECT_EQ(e.wValue, 0);
            EXPECT_EQ(e.wIndex, 20 << 8);
            sent.push_back(e.data);
        }
    EXPECT_EQ(sent, (std::vector<Bytes>{{1}, {0}, {4}, {3}, {2}}));

    // The chip's value back to the first input that carries it.
    ULONG input = 0;
    usbsim::RequestMatch get;
    get.bRequest = UAC1_GET_CUR;
    int fault = bus->InjectFault(kPort, get, {usbsim::FaultKind::Short, 0});
    input = 9;
    EXPECT_FALSE(NT_SUCCESS(unit->GetInput(&input)));
    EXPECT_EQ(input, 9u);
    bus->ClearFault(fault);
    ASSERT_EQ(unit->SetInput(4), STATUS_SUCCESS); // the chip now holds 3
    ASSERT_EQ(unit->GetInput(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 4u);
    // A value no input maps to: input 1, its entry written back.
    ASSERT_EQ(unit->SetInput(2), STATUS_SUCCESS); // 0 now, the unmapped unit 5
    ASSERT_EQ(unit->GetInput(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 2u);
    const Bytes odd = {8, 0x24, 0x05, 21, 2, 8, 2, 0};
    auto *other = Unit<CSelectorInputMap>(odd);
    usbsim::RequestMatch set;
    set.bRequest = UAC1_SET_CUR;
    bus->ClearLog();
    fault = bus->InjectFault(kPort, set, {usbsim::FaultKind::Stall});
    input = 9;
    EXPECT_FALSE(NT_SUCCESS(other->GetInput(&input))); // 0 maps nowhere; the write-back fails
    EXPECT_EQ(input, 9u);
    bus->ClearFault(fault);
    bus->ClearLog();
    ASSERT_EQ(other->GetInput(&input), STATUS_SUCCESS);
    EXPECT_EQ(input, 1u);
    EXPECT_EQ(Sent(), (std::vector<LONG>{1}));
}

// A chip unit's requests on the wire: class-interface SET_CUR to the unit on the control interface,
// the channel in wValue's low byte with the chip's 5<->7 and 6<->8 swap, one byte for mute and bass,
// two for volume.
TEST_F(ChipUnitTest, RequestsSwapTheSurroundPairsAndSizeByControl)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    headset->Control(9, 1, 0) = {1, 0, 0, 1, 1};
    headset->Control(9, 3, 0) = {1, 0, -128, 127, 1};
    for (UCHAR ch = 1; ch <= 8; ++ch)
        headset->Control(9, 2, ch) = {2, 0, -0x8000, 0x7FFF, 0x100};
    Plug(headset);
    auto *unit = Unit<CUnitScaledA>(Feature(9, {0x05, 2, 2, 2, 2, 2, 2, 2, 2}));
    bus->ClearLog();
    for (ULONG i = 0; i < 8; ++i)
        ASSERT_EQ(unit->SetLevel(FU_VOLUME, i, dB(-3)), STATUS_SUCCESS) << i;
    ASSERT_EQ(unit->SetSwitch(FU_MUTE, 0, 1), STATUS_SUCCESS);
    ASSERT_EQ(unit->SetLevel(FU_BASS, 0, dB(2)), STATUS_SUCCESS);
    std::vector<std::pair<USHORT, size_t>> sent;
    for (const auto &e : Urbs())
        if (e.function == URB_FUNCTION_CLASS_INTERFACE && e.bRequest == UAC1_SET_CUR)
        {
            EXPECT_EQ(e.wIndex, 9 << 8);
            sent.push_back({e.wValue, e.data.size()});
        }
    EXPECT_EQ(sent, (std::vector<std::pair<USHORT, size_t>>{{0x0201, 2},
                                                            {0x0202, 2},
                                                            {0x0203, 2},
                                                            {0x0204, 2},
                                                            {0x0207, 2},
                                                            {0x0208, 2},
                                                            {0x0205, 2},
                                                            {0x0206, 2},
                                                            {0x0100, 1},
                                                            {0x0300, 1}}));
}

TEST_F(ChipUnitTest, LedSwitchNodeDrivesRegisterOne)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    headset->Control(2, 2, 0) = {2, 0, -0x2000, 0, 0x100};
    Plug(headset);
    g_Settings.clear();
    Unit<CUnitScaledBLed>(Feature(2, {0x02}));
    ASSERT_EQ(hal->GetFilterCount(), 2u);
    IAudioNode *level = nullptr, *led = nullptr;
    hal->GetFilter(0, &level);
    hal->GetFilter(1, &led);
    EXPECT_EQ(led->GetKind(), ULONG(NODE_KIND_BYTE_22));
    ULONG sources[1] = {}, count = 1;
    ASSERT_EQ(led->GetSources(&count, sources), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(sources[0], level->GetId()); // linked after the plain nodes
    PNODEVALUE value = QueryAs<INodeValue>(led, IID_INodeValue);
    ASSERT_NE(value, nullptr);
    bus->ClearLog();
    ASSERT_EQ(value->SetNodeValue(0, 1), STATUS_SUCCESS);
    ASSERT_EQ(value->SetNodeValue(0, 0), STATUS_SUCCESS);
    EXPECT_EQ(registers.writes, (std::vector<RegisterWrite>{{1, 0x10, 0x30}, {1, 0x30, 0x30}}));
    EXPECT_TRUE(Sent().empty()); // nothing on the audio-class side
    // A refused write is returned and leaves the cached byte.
    registers.fail = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(value->SetNodeValue(0, 1), STATUS_UNSUCCESSFUL);
    LONG cached = 7;
    ASSERT_EQ(value->GetNodeValue(0, &cached), STATUS_SUCCESS);
    EXPECT_EQ(cached, 0);
    registers.fail = STATUS_SUCCESS;
    EXPECT_EQ(value->SetNodeValue(1, 1), STATUS_INVALID_PARAMETER);
    value->Release();
}

class MirkCells : public KernelTest
{
};

TEST_F(MirkCells, ClassByUnitIdAndDevice)
{
    struct Case
    {
        USHORT vendor, product;
        UCHAR subtype, id;
        const char *expected;
    } cases[] = {
        {0x1E7D, 0x3750, 6, 11, "hw"},
        {0x1234, 0x3750, 6, 11, "A"},
        {0, 0, 6, 9, "A"},
        {0, 0, 6, 2, "B"},
        {0x28DA, 0x268E, 6, 15, "led"},
        {0, 0, 6, 8, "B"},
        {0, 0, 6, 15, "B"},
        {0, 0, 6, 13, "curve"},
        {0, 0, 6, 12, "plain"},
        {0, 0, 3, 13, "plain"},
        {0, 0, 6, 16, "plainmute"},
        {SalvineVendorId, 0x0053, 6, 8, "nodes"},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(std::to_string(c.id));
        UsbAudioFunctionInputs inputs{UsbAudioDeviceClass::Mirk, c.vendor, c.product, {}, FALSE};
        const UCHAR descriptor[] = {8, 0x24, c.subtype, c.id, 1, 1, 3, 0};
        IUsbAudioUnit *unit = nullptr;
        ASSERT_EQ(CreateMirkUnit(inputs, descriptor, 0, PoolTag::Mirk, &unit), STATUS_SUCCESS);
        const std::string kind = !unit                                      ? "plain"
                                 : dynamic_cast<CUnitPlainMute *>(unit)     ? "plainmute"
                                 : dynamic_cast<CUnitScaledBNodes *>(unit)  ? "nodes"
                                 : dynamic_cast<CUnitScaledAHwMute *>(unit) ? "hw"
                                 : dynamic_cast<CUnitScaledA *>(unit)       ? "A"
                                 : dynamic_cast<CUnitScaledBLed *>(unit)    ? "led"
                                 : dynamic_cast<CUnitScaledB *>(unit)       ? "B"
                                 : dynamic_cast<CUnitVolumeCurve *>(unit)   ? "curve"
                                                                            : "other";
        EXPECT_EQ(kind, c.expected);
        if (unit)
            unit->Release();
    }
}

// ---- The other families' level maps ------------------------------------------------------------------
// The formulas as the chip maker states them, in exact arithmetic (division toward zero); the
// 16-bit reads of the linear maps are the same where their intermediate fits 16 bits.
long double Trunc(long double q)
{
    return q < 0 ? -std::floor(-q) : std::floor(q);
}

TEST(ChipLevelMaps, StatedValuesAndEveryRow)
{
    // Second curve: reads, the band that sends -512, and the floor below the last row.
    EXPECT_EQ(Curve2Read(-256), -192 * 256);
    EXPECT_EQ(Curve2Read(0x8000), kSilence);
    for (LONG v = -256; v <= -193; ++v)
        EXPECT_EQ(Curve2Write(v * 256), -512) << v;
    EXPECT_EQ(Curve2Write(dB(-140)), -9472);
    EXPECT_EQ(Curve2Write(kSilence), -0x8000);
    for (ULONG i = 2; i < CURVE2_ROWS; ++i)
    {
        const LONG u = ChipSecondCurve[i].User;
        EXPECT_EQ(Curve2Write(u * 256), ChipSecondCurve[i].Device) << i;
        if (i + 1 < CURVE2_ROWS)
        {
            EXPECT_EQ(Curve2Write((u - 1) * 256), ChipSecondCurve[i + 1].Device) << i;
        }
    }
    EXPECT_EQ(ChipSecondCurve[20].User, -1736);
    EXPECT_EQ(ChipSecondCurve[37].Device, -9216);

    EXPECT_EQ(Linear6Read(-7168), dB(-36));
    EXPECT_EQ(Linear6Write(dB(-36)), -7168);
    // The linear read through the exact inverse of its write: a refresh changes nothing.
    EXPECT_EQ(Linear65Write(0), -4864);
    EXPECT_EQ(Linear65Read(-4864), 0);
    for (LONG n = -23; n <= 3; ++n)
        EXPECT_EQ(Linear65Write(Linear65Read(n * 256)), n * 256) << n;
    EXPECT_EQ(Step192Write(dB(-37)), -7120);
    EXPECT_EQ(Step192Read(-7120), dB(-37));
    EXPECT_EQ(Offset135Write(0), 3456);
    EXPECT_EQ(Offset135Read(3456), 0);
    EXPECT_EQ(Offset135Write(dB(-20)), 0); // a negative sum, not a wrapped unsigned one
    EXPECT_EQ(PlainLevelRead(0x8000), kSilence);
}

TEST(ChipLevelMaps, EveryChipValueAndRandomLevelsStayInRange)
{
    const ChipLevelMap *maps[] = {&kCurve2Map,  &kLinear6Map,   &kLinear65Map,
                                  &kStep192Map, &kOffset135Map, &kPlainLevelMap};
    for (LONG d = -0x7FFF; d <= 0x7FFF; ++d)
    {
        for (const ChipLevelMap *map : maps)
        {
            const LONG level = map->Read(d);
            ASSERT_NE(level, kSilence) << d; // only 0x8000 is silence
        }
        const long double whole = std::floor(d / 256.0L);
        const long double l6 = whole * 384 + 1536;
        if (l6 >= -32768 && l6 <= 32767)
        {
            ASSERT_EQ(Linear6Read(d), LONG(l6 * 256)) << d;
        }
        ASSERT_EQ(Step192Read(d), LONG(Trunc((d + 16) / 192.0L) * 65536)) << d;
        ASSERT_EQ(Offset135Read(d), LONG(Trunc((d - 3456) / 384.0L) * 0x18000)) << d;
        ASSERT_EQ(PlainLevelRead(d), d * 256);
    }
    std::mt19937 random(23);
    for (int i = 0; i < 100000; ++i)
    {
        const LONG level = LONG(random());
        for (const ChipLevelMap *map : maps)
        {
            const LONG wire = map->Write(level);
            ASSERT_TRUE(wire >= -0x8000 && wire <= 0x7FFF) << level;
        }
        if (level == kSilence)
            continue;
        const long double x = level;
        const long double l6 = (Trunc((x + 0x240000) / 0x18000) - 28) * 256;
        if (l6 >= -0x8000 && l6 <= 0x7FFF)
        {
            ASSERT_EQ(Linear6Write(level), LONG(l6)) << level;
        }
        const long double s192 = std::floor(-x / 65536) * -192 - 16;
        if (s192 >= -0x8000 && s192 <= 0x7FFF)
        {
            ASSERT_EQ(Step192Write(level), LONG(s192)) << level;
        }
        const long double o135 = Trunc((x + 0xD8000) / 0x18000) * 384;
        if (x + 0xD8000 >= 0 && o135 <= 0x7FFF)
        {
            ASSERT_EQ(Offset135Write(level), LONG(o135)) << level;
        }
    }
}

TEST_F(ChipUnitTest, LevelUnitsAnswerTheirMapAndFixedRanges)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    headset->Control(9, 1, 0) = {1, 0, 0, 1, 1};
    headset->Control(9, 3, 0) = {1, 0, -12, 12, 0}; // bass: GET_RES 0
    for (UCHAR ch = 1; ch <= 2; ++ch)
        headset->Control(9, 2, ch) = {2, -256, -9728, 0x0600, 0x10};
    Plug(headset);
    // No mute control: nothing is made.
    Unit<CUnitCurve2>(Feature(9, {0x00, 0x02, 0x02}), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(hal->GetFilterCount(), 0u);

    auto *curve = Unit<CUnitCurve2>(Feature(9, {0x05, 0x02, 0x02}));
    ASSERT_EQ(hal->GetFilterCount(), 3u); // mute, volume, bass
    LONG level = 0, high = 0, low = 0, step = 0;
    ASSERT_EQ(curve->GetLevel(FU_VOLUME, 0, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, -192 * 256);
    bus->ClearLog();
    ASSERT_EQ(curve->SetLevel(FU_VOLUME, 1, dB(-140)), STATUS_SUCCESS);
    EXPECT_EQ(Sent(), std::vector<LONG>{-9472});
    // The chip says +6 dB to -38 dB: the unit reports its own triple.
    ASSERT_EQ(curve->GetLevelRange(FU_VOLUME, &high, &low, &step), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<LONG>({high, low, step}), std::vector<LONG>({0, LONG(0xFFDF0000u), 0x2000}));
    // Bass bypasses the map: the chip's bytes x 16384, and a zero resolution reports one step.
    ASSERT_EQ(curve->GetLevelRange(FU_BASS, &high, &low, &step), STATUS_SUCCESS);
    EXPECT_EQ(std::vector<LONG>({high, low, step}), std::vector<LONG>({12 * 16384, -12 * 16384, 16384}));
    ULONG count = 0;
    EXPECT_EQ(curve->GetControlChannelCount(FU_BASS, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u); // master only
    EXPECT_EQ(curve->GetControlChannelCount(FU_LOUDNESS, &count), STATUS_UNSUCCESSFUL);
    usbsim::RequestMatch res;
    res.bRequest = UAC1_GET_RES;
    const int fault = bus->InjectFault(kPort, res, {usbsim::FaultKind::Stall});
    EXPECT_FALSE(NT_SUCCESS(curve->GetLevelRange(FU_VOLUME, &high, &low, &step)));
    bus->ClearFault(fault);

    // The second family: Linear65's refresh keeps the level; the mute is master-only.
    auto *linear = Unit<CUnitLinear65>(Feature(9, {0x03, 0x02, 0x02}));
    headset->Control(9, 2, 1).cur = -4864; // read as 0 dB
    for (int round = 0; round < 10; ++round)
    {
        ASSERT_EQ(linear->GetLevel(FU_VOLUME, 0, &level), STATUS_SUCCESS);
        ASSERT_EQ(linear->SetLevel(FU_VOLUME, 0, level), STATUS_SUCCESS);
    }
    EXPECT_EQ(level, 0);
    EXPECT_EQ(headset->Control(9, 2, 1).cur, -4864);
    auto *step192 = Unit<CUnitStep192>(Feature(9, {0x03, 0x02, 0x02}));
    UCHAR mute = 0;
    EXPECT_EQ(step192->GetSwitch(FU_MUTE, 1, &mute), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(step192->SetSwitch(FU_MUTE, 0, 1), STATUS_SUCCESS);
    EXPECT_EQ(headset->Control(9, 1, 0).cur, 1);
}

TEST_F(ChipUnitTest, EffectUnitMakesTheAnnouncedEffectNodes)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    headset->Control(9, 1, 0) = {1, 0, 0, 1, 1};
    headset->Control(9, 139, 0) = {1, 0, 0, 1, 1};
    headset->Control(9, 140, 0) = {1, 0, 0, 1, 1};
    Plug(headset);
    Unit<CUnitEffects>(Feature(9, {0x01}));
    ASSERT_EQ(hal->GetFilterCount(), 1u); // no extension record: the mute only

    headset->Entity(9).memory = {0x02, 0x00, 0x00, 0x0C}; // bits 10 and 11: 139 and 140
    Unit<CUnitEffects>(Feature(9, {0x01}));
    ASSERT_EQ(hal->GetFilterCount(), 4u);
    const GUID *types[] = {&EFFECT_NODE_139_TYPE, &EFFECT_NODE_140_TYPE};
    for (ULONG i = 0; i < 2; ++i)
    {
        IAudioNode *node = nullptr;
        hal->GetFilter(2 + i, &node);
        EXPECT_EQ(node->GetId(), 2 + i); // numbers stay contiguous
        auto *info = QueryAs<IInfoNode>(node, IID_IInfoNode);
        ASSERT_NE(info, nullptr);
        ULONG words[4] = {};
        ASSERT_EQ(info->GetWords(words), STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(words, types[i], sizeof words), 0);
        info->Release();
        auto *processing = QueryAs<IProcessingNode>(node, IID_IProcessingNode);
        ASSERT_NE(processing, nullptr);
        processing->Release();
    }
}

// Two PCM channels of `frames` samples at `value`, with their pointer table.
struct Block
{
    std::vector<float> left, right;
    float *table[2];
    Block(ULONG frames, float value)
        : left(frames, value), right(frames, value), table{left.data(), right.data()}
    {
    }
};

WAVEFORMATEXTENSIBLE PcmStereo()
{
    WAVEFORMATEXTENSIBLE f{};
    f.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    f.Format.nChannels = 2;
    f.Format.nSamplesPerSec = 48000;
    f.Format.wBitsPerSample = 16;
    f.Format.nBlockAlign = 4;
    f.SubFormat = SubFormatForTag(WAVE_FORMAT_PCM);
    return f;
}

// The units that exist to be muted make nothing without a mute control; their mute switches silence
// the stream only while their gate says 3 (the nodes unit's always); the curve unit's software volume
// scales only once its gate opens.
TEST_F(ChipUnitTest, MuteUnitsNeedAMuteAndGateTheirProcessing)
{
    auto headset = usbsim::VirtualDevice::Uac1();
    for (UCHAR id : {2, 13, 16})
        headset->Control(id, 1, 0) = {1, 0, 0, 1, 1};
    for (UCHAR ch = 1; ch <= 2; ++ch)
        headset->Control(13, 2, ch) = {2, -256, -9728, 0, 0};
    headset->Control(2, 2, 0) = {2, -256, -9728, 0, 0x100};
    Plug(headset);
    Unit<CUnitPlainMute>(Feature(16, {0x00}), STATUS_INSUFFICIENT_RESOURCES);
    Unit<CUnitScaledBNodes>(Feature(2, {0x02}), STATUS_INSUFFICIENT_RESOURCES);
    ASSERT_EQ(hal->GetFilterCount(), 0u);

    const auto pcm = PcmStereo();
    auto muteOf = [&](ULONG id)
    {
        IAudioNode *node = nullptr;
        hal->GetFilter(id, &node);
        return node;
    };
    auto runs = [&](IAudioNode *node)
    {
        auto *processing = QueryAs<IProcessingNode>(node, IID_IProcessingNode);
        Block block(64, 0.5f);
        processing->ProcessBuffers(&pcm, block.table, 64);
        processing->Release();
        return block.right[63] == 0.0f;
    };
    auto mute = [&](IAudioNode *node)
    {
        auto *value = QueryAs<ISwitchValue>(node, IID_ISwitchValue);
        ASSERT_EQ(value->SetByte(0, 1), STATUS_SUCCESS);
        value->Release();
    };

    // The curve unit: switch by its mode, software volume by its gate.
    Unit<CUnitVolumeCurve>(Feature(13, {0x01, 0x02, 0x02}));
    IAudioNode *curveMute = muteOf(0), *soft = muteOf(1);
    mute(curveMute);
    EXPECT_FALSE(runs(curveMute));
    auto *state = QueryAs<IStateTarget>(curveMute, IID_IStateTarget);
    state->SetState(3, 0);
    state->Release();
    EXPECT_TRUE(runs(curveMute));
    auto *volume = QueryAs<IProcessingNode>(soft, IID_IProcessingNode);
    auto *gate = QueryAs<IProcessingGate>(soft, IID_IProcessingGate);
    Block block(16, 0.5f);
    volume->ProcessBuffers(&pcm, block.table, 16);
    EXPECT_EQ(block.left[15], 0.5f);
    gate->SetSecondValue(SOFT_VOLUME_GATE_OPEN);
    volume->ProcessBuffers(&pcm, block.table, 16);
    EXPECT_NEAR(block.left[15], 0.5 * std::pow(10.0, -62.0 / 256 / 20), 1e-5); // -62/256 dB
    volume->Release();
    gate->Release();

    // The plain-mute unit: its switch by the second value of its gate interface.
    Unit<CUnitPlainMute>(Feature(16, {0x01}));
    IAudioNode *plain = muteOf(2);
    EXPECT_EQ(plain->GetId(), 2u);
    mute(plain);
    EXPECT_FALSE(runs(plain));
    auto *plainGate = QueryAs<IProcessingGate>(plain, IID_IProcessingGate);
    ASSERT_NE(plainGate, nullptr);
    plainGate->SetSecondValue(3);
    plainGate->Release();
    EXPECT_TRUE(runs(plain));

    // The nodes unit: an ungated mute, then a level node, each fed by the one before.
    Unit<CUnitScaledBNodes>(Feature(2, {0x03}));
    ASSERT_EQ(hal->GetFilterCount(), 5u);
    IAudioNode *nodesMute = muteOf(3), *level = muteOf(4);
    EXPECT_EQ(level->GetKind(), ULONG(NODE_KIND_LEVEL));
    ULONG sources[1] = {}, n = 1;
    ASSERT_EQ(level->GetSources(&n, sources), STATUS_SUCCESS);
    EXPECT_EQ(sources[0], 3u);
    mute(nodesMute);
    EXPECT_TRUE(runs(nodesMute));
    EXPECT_EQ(QueryAs<IProcessingGate>(nodesMute, IID_IProcessingGate), nullptr);
}

TEST_F(MirkCells, OtherFamiliesByUnitId)
{
    struct Case
    {
        PFN_CREATE_UNIT create;
        UCHAR subtype, id;
        const char *expected;
    } cases[] = {
        {CreateDovaUnit, 6, 9, "curve2"},     {CreateDovaUnit, 6, 10, "linear65"},
        {CreateDovaUnit, 6, 12, "linear65"},  {CreateDovaUnit, 6, 13, "linear6"},
        {CreateDovaUnit, 6, 14, "linear6"},   {CreateDovaUnit, 6, 15, "plain"},
        {CreateTeshUnit, 6, 9, "step192"},    {CreateTeshUnit, 6, 10, "plainlevel"},
        {CreateTeshUnit, 6, 13, "offset135"}, {CreateTeshUnit, 6, 11, "plain"},
        {CreateGrueUnit, 6, 5, "effects"},    {CreateGrueUnit, 5, 5, "plain"},
        {CreateDovaUnit, 2, 4, "input"},      {CreateTeshUnit, 2, 1, "input"},
        {CreateDovaUnit, 3, 3, "output"},     {CreateTeshUnit, 3, 6, "output"},
        {CreateGrueUnit, 2, 4, "plain"},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(std::to_string(c.id));
        UsbAudioFunctionInputs inputs{UsbAudioDeviceClass::Dova, 0, 0, {}, FALSE};
        const UCHAR descriptor[] = {8, 0x24, c.subtype, c.id, 1, 1, 3, 0};
        IUsbAudioUnit *unit = nullptr;
        ASSERT_EQ(c.create(inputs, descriptor, 0, PoolTag::Dova, &unit), STATUS_SUCCESS);
        const std::string kind = !unit                                          ? "plain"
                                 : dynamic_cast<CUnitCurve2 *>(unit)            ? "curve2"
                                 : dynamic_cast<CUnitLinear65 *>(unit)          ? "linear65"
                                 : dynamic_cast<CUnitLinear6 *>(unit)           ? "linear6"
                                 : dynamic_cast<CUnitStep192 *>(unit)           ? "step192"
                                 : dynamic_cast<CUnitPlainLevel *>(unit)        ? "plainlevel"
                                 : dynamic_cast<CUnitOffset135 *>(unit)         ? "offset135"
                                 : dynamic_cast<CUnitEffects *>(unit)           ? "effects"
                                 : dynamic_cast<CInputTerminalVariant *>(unit)  ? "input"
                                 : dynamic_cast<COutputTerminalVariant *>(unit) ? "output"
                                                                                : "other";
        EXPECT_EQ(kind, c.expected);
        if (unit)
            unit->Release();
    }
}

} // namespace
