// The headset audio control over the configuration library stand-in, with the debug log captured
// and the library's call log described as short texts for comparison:
//   "render get MuteControl", "capture set VolumeScalarControl(-1,0,0)=0.4".
#pragma once

#include "panel/device/headset_audio_control.h"

#include "support/conflib_sim_client.h"
#include "support/qt_log.h"

#include <bit>
#include <cstdio>
#include <optional>

inline std::string Describe(const ConfSimCall &call)
{
    const std::string name = PropertyName(call);
    std::string text = call.handle == 0x10   ? "render"
                       : call.handle == 0x20 ? "capture"
                                             : "h" + std::to_string(call.handle);
    text += (call.direction == CONFLIB_SET ? " set " : " get ") + name;
    if (call.hasParam)
        text += "(" + std::to_string(call.param[0]) + "," + std::to_string(call.param[1]) + "," +
                std::to_string(call.param[2]) + ")";
    if (call.hasValue)
    {
        char value[32];
        if (name.ends_with("VolumeScalarControl"))
            std::snprintf(value, sizeof value, "=%g", double(std::bit_cast<float>(call.value)));
        else
            std::snprintf(value, sizeof value, "=%d", int(call.value));
        text += value;
    }
    return text;
}

using Record = std::array<uint32_t, 4>;
inline Record Words(const DevInfo &device)
{
    return std::bit_cast<Record>(device);
}

class HeadsetTest : public ::testing::Test
{
protected:
    void SetUp() override { m_Sim.Reset(); }

    void Bind(const char *path = CONFLIB_PATH) { bindConfigLibrary(m_State, path); }
    // Bound, refreshed with the default headset, logs cleared.
    void MakeReady()
    {
        Bind();
        m_Control->refreshAudioDefaults();
        ASSERT_EQ(m_Control->libraryReady, 1);
        m_Sim.ResetLog();
        m_Log.Clear();
    }
    std::vector<std::string> PropertyCalls() const
    {
        std::vector<std::string> texts;
        for (const ConfSimCall &call : m_Sim.Calls("PropertyControl"))
            texts.push_back(Describe(call));
        return texts;
    }
    std::vector<std::string> Sets() const
    {
        std::vector<std::string> texts;
        for (const std::string &text : PropertyCalls())
            if (text.find(" set ") != std::string::npos)
                texts.push_back(text);
        return texts;
    }

    QtLogCapture m_Log;
    ConfLibSimClient m_Sim{CONFLIB_PATH};
    ConfLibState m_State;
    std::optional<HeadsetAudioControl> m_Control{std::in_place, m_State};
};

// Every operation of the object once, as a user and the panel's start-up and device check could
// run them; the order is fixed so that runs can be compared call by call.
inline void RunEveryOperation(HeadsetAudioControl &control)
{
    control.initConfigLibrary();
    control.openDeviceList();
    control.refreshAudioDefaults();
    control.refreshVolumeDefaults();
    control.readPlaybackMaster();
    control.readPlaybackChannels();
    control.readMicState();
    control.readSurround();
    control.readNoiseReduction();
    control.readVoiceClarity();
    control.readVoiceChanger();
    control.readEqualiser();
    control.applyPlaybackVolume(1, 1, 20, 80);
    control.applyMicVolume(0, 0, 40, 0);
    control.applyAAVolume(0, 1, 30, 60);
    control.setAAMute(1);
    const std::array<int32_t, 10> bands{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    control.setEqualiserEnable(1);
    control.setEqualiserBands(bands);
    control.applyEqualiser(0, bands);
    control.setVoiceClarityEnable(1);
    control.setVoiceClarityLevel(2);
    control.setVoiceClarityNoiseLevel(3);
    control.adjustVoiceClarity(1, 2, 3);
    control.setVoiceChangerEnable(1);
    control.setVoiceChangerMode(4);
    control.adjustVoiceChanger(0, 2);
    control.setPlaybackMute(1);
    control.setMicMute(1);
    control.setPlaybackVolume(1, 55, 65);
    control.setMicVolume(0, 45, 0);
    control.setNoiseReduction(1);
    control.setSurroundMax(1);
    control.adjustSurroundHeadphone(1);
    control.makeDefaultDevice();
    control.getSymbolicLink();
    control.getSupportFeature();
    control.getDeviceId();
    control.getExControl();
    control.getEndpointEnable();
    control.setRgbI2cMode(1, 2, 3, 4);
    control.setRgbPattern(1, 2);
    control.setRgbColor(1, 2, 3, 4);
    control.runRgbTimer();
    control.saveRgbToMcu();
}
