// The single-control operations of HeadsetAudioControl: each property is read first and written
// only when the read succeeds, so a property the library does not know is never written.
#include "panel/device/conflib_answer.h"
#include "panel/device/headset_audio_control.h"

#include <QDebug>

void HeadsetAudioControl::setEqualiserEnable(int32_t enable)
{
    probeThenSet(state.renderDevice, u"Enable_EQ_GFX", Param::none(), Param::none(), enable);
}

void HeadsetAudioControl::setEqualiserBands(const std::array<int32_t, 10> &bands)
{
    for (size_t band = 0; band < bands.size(); ++band)
        probeThenSet(state.renderDevice, kEqSliderNames[band], Param::none(), Param::none(), bands[band]);
}

void HeadsetAudioControl::applyEqualiser(int32_t enable, const std::array<int32_t, 10> &bands)
{
    setEqualiserEnable(enable);
    setEqualiserBands(bands);
}

void HeadsetAudioControl::setVoiceClarityEnable(int32_t enable)
{
    probeThenSet(state.renderDevice, u"Enable_VOICECLARITY_LFX", Param::none(), Param::none(), enable);
}

void HeadsetAudioControl::setVoiceClarityLevel(int32_t level)
{
    probeThenSet(state.renderDevice, u"VOICECLARITY_LEVEL", Param::none(), Param::none(), level);
}

void HeadsetAudioControl::setVoiceClarityNoiseLevel(int32_t level)
{
    probeThenSet(state.renderDevice, u"VOICECLARITY_NOISESUPP_LEVEL", Param::none(), Param::none(), level);
}

void HeadsetAudioControl::adjustVoiceClarity(int32_t enable, int32_t level, int32_t level2)
{
    qDebug() << "User -- Adjust_VoiceClarity , enable = " << enable << " , level = " << level
             << " , level2 = " << level2;
    setVoiceClarityEnable(enable);
    setVoiceClarityLevel(level);
    setVoiceClarityNoiseLevel(level2);
}

void HeadsetAudioControl::setVoiceChangerEnable(int32_t enable)
{
    probeThenSet(state.captureDevice, u"Enable_MAGICVOICE", Param::none(), Param::none(), enable);
}

void HeadsetAudioControl::setVoiceChangerMode(int32_t mode)
{
    probeThenSet(state.captureDevice, u"MagicVoice_Selection", Param::none(), Param::none(), mode);
}

void HeadsetAudioControl::adjustVoiceChanger(int32_t enable, int32_t mode)
{
    qDebug() << "Enable_MAGICVOICE ==  " << enable << "mode = " << mode;
    setVoiceChangerEnable(enable);
    setVoiceChangerMode(mode);
}

void HeadsetAudioControl::setPlaybackMute(int32_t mute)
{
    probeThenSet(state.renderDevice, u"MuteControl", Param::none(), Param::none(), mute);
}

void HeadsetAudioControl::setMicMute(int32_t mute)
{
    probeThenSet(state.captureDevice, u"MuteControl", Param::none(), Param::none(), mute);
}

void HeadsetAudioControl::setNoiseReduction(int32_t enable)
{
    qDebug() << "Enable_ENC_LFX ==  " << uint32_t(enable);
    // The library wants a parameter buffer on the read of this one, and none on the write.
    probeThenSet(state.captureDevice, u"Enable_ENC_LFX", Param::zeroFilled(), Param::none(), enable);
}

void HeadsetAudioControl::setSurroundMax(int32_t enable)
{
    qDebug() << "Surround Max enable ==  " << uint32_t(enable);
    probeThenSet(state.renderDevice, u"Enable_Channel_COPY_LFX", Param::none(), Param::none(), enable);
}

void HeadsetAudioControl::adjustSurroundHeadphone(int32_t enable)
{
    // The surround control is addressed by a record (4, index, 0): index -1 takes the switch,
    // indexes 1 and 0 are set to 0 and 1 whatever the switch.
    const struct
    {
        int32_t index;
        int32_t value;
    } steps[] = {{-1, enable}, {1, 0}, {0, 1}};
    for (const auto &step : steps)
    {
        const Param record = Param::record(4, step.index, 0);
        if (probeThenSet(state.renderDevice, u"VirtualSurroundEffectControl", record, record, step.value))
            qDebug() << "PropertyControl - Adjust_SurroundHeadphone ok , return = "
                     << uint32_t(answerToInt(answerText()));
    }
}

void HeadsetAudioControl::makeDefaultDevice()
{
    if (get(state.currentDevice, u"DefaultDeviceControl", Param::zeroFilled()) == 0)
        qDebug() << "PropertyControl - get DefaultDeviceControl ok , return = "
                 << uint32_t(answerToInt(answerText()));
    if (set(state.currentDevice, u"DefaultDeviceControl", Param::zeroFilled(), int32_t(0)) == 0)
        qDebug() << "PropertyControl - DefaultDeviceControl set ok , device type is =  "
                 << state.currentDevice.JackType;
}

void HeadsetAudioControl::readDeviceInfo(const DevInfo &device, const char16_t *name, Param param,
                                         const char *logText)
{
    if (get(device, name, param) == 0)
        qDebug() << logText << uint32_t(answerToInt(answerText()));
}

void HeadsetAudioControl::getSymbolicLink()
{
    readDeviceInfo(state.currentDevice, u"GetSymbolicLink", Param::none(),
                   "PropertyControl - GetSymbolicLink ok , return = ");
}

void HeadsetAudioControl::getSupportFeature()
{
    readDeviceInfo(state.renderDevice, u"GetSupportFeature", Param::none(),
                   "PropertyControl - GetSupportFeature ok , return =  ");
}

void HeadsetAudioControl::getDeviceId()
{
    readDeviceInfo(state.currentDevice, u"GetDeviceID", Param::none(),
                   "PropertyControl - GetDeviceID ok , return = ");
}

void HeadsetAudioControl::getExControl()
{
    readDeviceInfo(state.currentDevice, u"EXControl", Param::zeroFilled(),
                   "PropertyControl - get EXControl ok , return = ");
}

void HeadsetAudioControl::getEndpointEnable()
{
    readDeviceInfo(state.currentDevice, u"EndpointEnableControl", Param::zeroFilled(),
                   "PropertyControl - get EndpointEnableControl ok , return = ");
}
