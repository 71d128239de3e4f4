// The chip family's headset started by the PnP manager with its settings from the INI file, as a user
// installs it: a mute set on the curve unit reaches the chip's LED register as a HID report on the bus.
#include <gtest/gtest.h>

#include <fstream>
#include <sim/files_sim.h>

#include "driver/core/chip_units.h"
#include "driver/core/usb_audio_device.h"
#include "support/driver_machine.h"

namespace
{

class ChipStartTest : public DriverMachineTest
{
protected:
    // The chip headset at a pair no quirk row names, so the stereo mix and its curve unit 13 can be
    // switched on.
    static std::shared_ptr<usbsim::VirtualDevice> Headset()
    {
        usbsim::ChipOptions options;
        options.vendorId = 0x1234;
        options.productId = 0x0001;
        return usbsim::VirtualDevice::Chip(options);
    }
    // Its INI rows.
    void WriteIni(const std::string &rows)
    {
        std::ofstream(sim::files::SystemRoot() / "ZELKO610.INI", std::ios::binary | std::ios::trunc)
            << "[VERSION]\r\nVersion=1\r\n[SALVIN]\r\nUSB\\VID_1234&PID_0001&REV_0100=CHIP\r\n[CHIP]\r\n"
            << rows;
    }
    // The mute node of the curve unit 13 of the started headset (no reference kept).
    static ISwitchValue *CurveMute(PDEVICE_OBJECT pdo)
    {
        CUsbAudioAdapter *adapter = AdapterOf(pdo);
        auto *function =
            adapter ? QueryAs<IUsbAudioFunction>(static_cast<IAudioHal *>(adapter), IID_IUsbAudioFunction)
                    : nullptr;
        if (!function)
            return nullptr;
        function->Release();
        IUsbAudioUnit *unit = nullptr;
        IAudioNode *node = nullptr;
        if (!NT_SUCCESS(static_cast<CUsbAudioDevice *>(function)->Model().FindUnitById(13, &unit)) ||
            !NT_SUCCESS(unit->GetUnitNode(0, &node)))
            return nullptr;
        auto *mute = QueryAs<ISwitchValue>(node, IID_ISwitchValue);
        if (mute)
            mute->Release();
        return mute;
    }
    // The LED bits (0x30) of every write to register 1 in the bus log.
    std::vector<int> LedWrites() const
    {
        std::vector<int> out;
        for (const usbsim::Event &e : bus->Log(usbsim::EventKind::RegisterWrite))
            if (e.data.size() == 4 && e.data[3] == MIRK_LED_REGISTER)
                out.push_back(e.data[1] & MIRK_LED_MASK);
        return out;
    }
};

// Each start: the INI rows, then the headset muted and unmuted through its curve unit's node; the LED
// bits written to register 1 on the way.
TEST_F(ChipStartTest, MuteWithTheLedSettingLightsTheLedThroughTheBus)
{
    struct Case
    {
        const char *rows;
        std::vector<int> led;
    } cases[] = {
        {"NeedMuteLED=0x01\r\nReverseMuteLED=0x00\r\n", {MIRK_LED_ON, MIRK_LED_OFF}},
        {"NeedMuteLED=0x01\r\nReverseMuteLED=0x01\r\n", {MIRK_LED_OFF, MIRK_LED_ON}}, // lit while sounding
        {"", {}},                                                                     // left alone
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.rows);
        Restart();
        WriteIni(std::string(c.rows) + "DisableStereoMixRecUnit=0\r\n");
        PDEVICE_OBJECT pdo = bus->Plug(1, Headset());
        ASSERT_TRUE(sim::pnp::Started(pdo));
        ISwitchValue *mute = CurveMute(pdo);
        ASSERT_NE(mute, nullptr);
        bus->ClearLog();
        ASSERT_EQ(mute->SetByte(0, 1), STATUS_SUCCESS);
        ASSERT_EQ(mute->SetByte(0, 0), STATUS_SUCCESS);
        EXPECT_EQ(LedWrites(), c.led);
        bus->Unplug(1);
    }
}

// The playback stream is named by the jack type selected on the chip's output terminal: the terminal's
// type selector stands on the stream's path, and a new selection changes what the stream reports.
TEST_F(ChipStartTest, ThePlaybackStreamFollowsTheSelectedJackType)
{
    Restart();
    WriteIni("");
    PDEVICE_OBJECT pdo = bus->Plug(1, Headset());
    ASSERT_TRUE(sim::pnp::Started(pdo));
    IAudioHal *hal = AdapterOf(pdo);
    ASSERT_NE(hal, nullptr);
    IStreamEngine *render = nullptr;
    for (ULONG i = 0; i < hal->GetEngineCount(); ++i)
    {
        IStreamEngine *engine = nullptr;
        if (NT_SUCCESS(hal->GetEngine(i, &engine)) && engine && engine->GetEngineId() == 0)
            render = engine;
    }
    ASSERT_NE(render, nullptr);
    INodeState *selector = nullptr;
    IAudioNode *node = nullptr;
    for (ULONG i = 0; !selector && NT_SUCCESS(render->GetNode(i, &node)) && node; ++i)
        if (node->GetKind() == NODE_KIND_STATE)
            selector = QueryAs<INodeState>(node, IID_INodeState);
    ASSERT_NE(selector, nullptr) << "the jack-type selector is not on the playback path";
    ULONG current = 0;
    ASSERT_EQ(selector->GetValue(&current), STATUS_SUCCESS);
    EXPECT_EQ(current, ULONG(JACK_TYPE_ANALOGUE));
    EXPECT_EQ(render->GetTerminalType(), current);
    for (ULONG type : {2u, 3u, 1u})
    {
        ASSERT_EQ(selector->Select(type), STATUS_SUCCESS);
        EXPECT_EQ(render->GetTerminalType(), type);
    }
    selector->Release();
    bus->Unplug(1);
}

// The chip family runs no status thread: its walk reads its terminals, so the endpoints they report
// are registered by the time the start succeeds, before any time passes.
TEST_F(ChipStartTest, TheEndpointsAreRegisteredWhenTheStartSucceeds)
{
    Restart();
    WriteIni("");
    PDEVICE_OBJECT pdo = bus->Plug(1, Headset());
    ASSERT_TRUE(sim::pnp::Started(pdo));
    EXPECT_EQ(WaveNames(), (std::set<std::string>{"RecIn00Wave", "SPKOut00Wave"}));
    bus->Unplug(1);
}

} // namespace
