#include "panel/device/headset_audio_control.h"
#include "panel/device/conflib_answer.h"

#include <QDebug>

#include <bit>
#include <cstring>

HeadsetAudioControl::HeadsetAudioControl(ConfLibState &s) : state(s) {}

HeadsetAudioControl::~HeadsetAudioControl()
{
    if (const auto uninit = state.entry<ConfLibEntry::ConfLibUnInit>())
        uninit();
}

// ---- Library start-up and device list ---------------------------------------------------------------

void HeadsetAudioControl::initConfigLibrary()
{
    const auto init = state.entry<ConfLibEntry::ConfLibInit>();
    if (!init)
    {
        qDebug() << "SVI_Init == NULL";
        return;
    }
    if (init() != 0)
        qDebug() << "ConfLibInit called failed!";
    else
        qDebug() << "ConfLibInit called ok";
}

void HeadsetAudioControl::openDeviceList()
{
    if (const auto createList = state.entry<ConfLibEntry::CreateDeviceList>();
        createList && createList() == 0)
        qDebug() << "CreateDeviceList called ok";
    // A count the library does not write stays 0: a stale one would keep an unplugged headset ready.
    state.renderDeviceCount = 0;
    state.captureDeviceCount = 0;
    if (const auto getCount = state.entry<ConfLibEntry::GetDeviceCount>())
    {
        getCount(CONFLIB_RENDER, &state.renderDeviceCount);
        qDebug() << "GetDeviceCount called ok"
                 << " , Render Device Count = " << state.renderDeviceCount;
        getCount(CONFLIB_CAPTURE, &state.captureDeviceCount);
        qDebug() << "GetDeviceCount called ok"
                 << " , Capture Device Count = " << state.captureDeviceCount;
    }
    libraryReady = state.renderDeviceCount != 0 && state.captureDeviceCount != 0;
    qDebug() << (libraryReady ? "isSVok  = true" : "isSVok  = false");
}

bool HeadsetAudioControl::refreshDevices()
{
    initConfigLibrary();
    openDeviceList();
    if (!libraryReady)
    {
        qDebug() << "isSVok == false";
        return false;
    }
    selectHeadsetDevices(state);
    return true;
}

void HeadsetAudioControl::refreshAudioDefaults()
{
    if (refreshDevices())
        initAudioDefaults();
}

void HeadsetAudioControl::refreshVolumeDefaults()
{
    if (refreshDevices())
        initVolumeDefaults();
}

// ---- I/O-port entries ---------------------------------------------------------------------------------

int HeadsetAudioControl::closeIoLibrary()
{
    if (state.smbusOpen)
        if (const auto shutdown = state.entry<ConfLibEntry::ShutdownSMB>())
            shutdown();
    if (!state.libraryHandle)
        return 0;
    const int released = state.libraryHandle->unload() ? 1 : 0;
    // Nothing may call into a released library.
    state.libraryHandle.reset();
    state.entries.fill(nullptr);
    return released;
}

void HeadsetAudioControl::setRgbI2cMode(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    if (const auto mode = state.entry<ConfLibEntry::RGBI2CMode>())
        mode(a, b, c, d);
}

void HeadsetAudioControl::setRgbPattern(uint8_t a, uint8_t b)
{
    if (const auto pattern = state.entry<ConfLibEntry::SetPattern>(); pattern && libraryInitialised)
        pattern(a, b);
}

void HeadsetAudioControl::setRgbColor(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    if (const auto color = state.entry<ConfLibEntry::SetRGB>(); color && libraryInitialised)
        color(a, b, c, d);
}

void HeadsetAudioControl::runRgbTimer()
{
    if (const auto timer = state.entry<ConfLibEntry::OnTimerApp>())
        timer();
}

void HeadsetAudioControl::saveRgbToMcu()
{
    if (const auto save = state.entry<ConfLibEntry::SaveToMCU>())
        save();
}

// ---- The property call ------------------------------------------------------------------------------

int32_t HeadsetAudioControl::propertyCall(const DevInfo &device, const char16_t *name, void *value,
                                          void *param, uint8_t direction)
{
    const auto control = state.entry<ConfLibEntry::PropertyControl>();
    void *valueAddress = value;
    void *paramAddress = param;
    state.lastLibraryResult =
        control ? control(device, name, &valueAddress, param ? &paramAddress : nullptr, direction) : -1;
    return state.lastLibraryResult;
}

int32_t HeadsetAudioControl::get(const DevInfo &device, const char16_t *name, Param param)
{
    std::memset(getValueBuffer, 0, sizeof getValueBuffer);
    std::memset(getParamBuffer, 0, sizeof getParamBuffer);
    std::memcpy(getParamBuffer, param.words, sizeof param.words);
    return propertyCall(device, name, getValueBuffer, param.present ? getParamBuffer : nullptr, CONFLIB_GET);
}

int32_t HeadsetAudioControl::set(const DevInfo &device, const char16_t *name, Param param, uint32_t valueBits)
{
    // The library reads its documented buffer, never just the four bytes of an argument.
    std::memset(setValueBuffer, 0, sizeof setValueBuffer);
    std::memcpy(setValueBuffer, &valueBits, sizeof valueBits);
    std::memset(setParamBuffer, 0, sizeof setParamBuffer);
    std::memcpy(setParamBuffer, param.words, sizeof param.words);
    return propertyCall(device, name, setValueBuffer, param.present ? setParamBuffer : nullptr, CONFLIB_SET);
}

int32_t HeadsetAudioControl::set(const DevInfo &device, const char16_t *name, Param param, int32_t value)
{
    return set(device, name, param, std::bit_cast<uint32_t>(value));
}

int32_t HeadsetAudioControl::set(const DevInfo &device, const char16_t *name, Param param, float value)
{
    return set(device, name, param, std::bit_cast<uint32_t>(value));
}

template <class V>
bool HeadsetAudioControl::probeThenSet(const DevInfo &device, const char16_t *name, Param getParam,
                                       Param setParam, V value)
{
    if (get(device, name, getParam) != 0)
        return false;
    set(device, name, setParam, value);
    return true;
}
template bool HeadsetAudioControl::probeThenSet(const DevInfo &, const char16_t *, Param, Param, int32_t);
template bool HeadsetAudioControl::probeThenSet(const DevInfo &, const char16_t *, Param, Param, float);

int32_t HeadsetAudioControl::defaultIfUnreadable(const DevInfo &device, const char16_t *name, Param param)
{
    const int32_t result = get(device, name, param);
    if (result != 0)
        set(device, name, param, int32_t(0));
    return result;
}

std::u16string_view HeadsetAudioControl::answerText()
{
    constexpr size_t last = CONFLIB_BUFFER_BYTES / sizeof(char16_t) - 1;
    // An answer that fills the whole buffer has no terminator of its own.
    std::memset(getValueBuffer + last * sizeof(char16_t), 0, sizeof(char16_t));
    std::memcpy(m_AnswerUnits, getValueBuffer, sizeof m_AnswerUnits);
    return std::u16string_view(m_AnswerUnits);
}

// ---- Default passes -----------------------------------------------------------------------------------

void HeadsetAudioControl::initVolumeDefaults()
{
    const DevInfo &render = state.renderDevice;
    const DevInfo &capture = state.captureDevice;
    for (int32_t channel : {-1, 0, 1})
        defaultIfUnreadable(render, u"VolumeControl", Param::channel(channel));
    defaultIfUnreadable(render, u"MuteControl", Param::none());
    defaultIfUnreadable(render, u"VolumeScalarControl", Param::channel(-1));
    for (int32_t channel : {-1, 0, 1})
        defaultIfUnreadable(capture, u"AAVolumeControl", Param::channel(channel));
    defaultIfUnreadable(capture, u"AAMuteControl", Param::none());
    defaultIfUnreadable(capture, u"AAVolumeScalarControl", Param::channel(0));
}

void HeadsetAudioControl::initAudioDefaults()
{
    const DevInfo &render = state.renderDevice;
    const DevInfo &capture = state.captureDevice;
    for (const char16_t *name :
         {u"Enable_VOICECLARITY_LFX", u"VOICECLARITY_LEVEL", u"VOICECLARITY_NOISESUPP_LEVEL",
          u"Enable_Channel_COPY_LFX", u"Enable_EQ_GFX"})
        defaultIfUnreadable(render, name, Param::none());
    for (int band = 0; band < 10; ++band)
    {
        defaultIfUnreadable(render, kEqSliderNames[band], Param::none());
        // A failed get left the buffer zero-filled, so the band reads 0 then.
        eqBand[band] = answerToInt(answerText());
    }
    defaultIfUnreadable(render, u"VirtualSurroundEffectControl", Param::zeroFilled());
    if (get(capture, u"Enable_ENC_LFX", Param::zeroFilled()) != 0)
        set(capture, u"Enable_ENC_LFX", Param::none(), int32_t(0));
    defaultIfUnreadable(capture, u"Enable_MAGICVOICE", Param::none());
    defaultIfUnreadable(capture, u"MagicVoice_Selection", Param::none());
    initVolumeDefaults();
}

// ---- Read-backs ---------------------------------------------------------------------------------------

void HeadsetAudioControl::readInt(const DevInfo &device, const char16_t *name, Param param, int32_t &member)
{
    if (get(device, name, param) == 0)
        member = answerToInt(answerText());
}

bool HeadsetAudioControl::readPercent(const DevInfo &device, const char16_t *name, int32_t channel,
                                      float &member)
{
    if (get(device, name, Param::channel(channel)) != 0)
        return false;
    member = percentFromAnswer(answerText());
    return true;
}

bool HeadsetAudioControl::readPlaybackMaster()
{
    readInt(state.renderDevice, u"MuteControl", Param::none(), playbackMute);
    return readPercent(state.renderDevice, u"VolumeScalarControl", -1, playbackMasterPercent);
}

bool HeadsetAudioControl::readPlaybackChannels()
{
    readInt(state.renderDevice, u"MuteControl", Param::none(), playbackMute);
    const bool left = readPercent(state.renderDevice, u"VolumeScalarControl", 0, playbackLeftPercent);
    const bool right = readPercent(state.renderDevice, u"VolumeScalarControl", 1, playbackRightPercent);
    return left && right;
}

bool HeadsetAudioControl::readMicState()
{
    readInt(state.captureDevice, u"MuteControl", Param::none(), micMute);
    return readPercent(state.captureDevice, u"VolumeScalarControl", -1, micMasterPercent);
}

void HeadsetAudioControl::readSurround()
{
    readInt(state.renderDevice, u"VirtualSurroundEffectControl", Param::zeroFilled(), surroundEnable);
}

void HeadsetAudioControl::readNoiseReduction()
{
    readInt(state.captureDevice, u"Enable_ENC_LFX", Param::zeroFilled(), noiseReductionEnable);
}

void HeadsetAudioControl::readVoiceClarity()
{
    readInt(state.renderDevice, u"Enable_VOICECLARITY_LFX", Param::none(), voiceClarityEnable);
    readInt(state.renderDevice, u"VOICECLARITY_LEVEL", Param::none(), voiceClarityLevel);
    readInt(state.renderDevice, u"VOICECLARITY_NOISESUPP_LEVEL", Param::none(), voiceClarityNoiseLevel);
}

void HeadsetAudioControl::readVoiceChanger()
{
    readInt(state.captureDevice, u"Enable_MAGICVOICE", Param::none(), voiceChangerEnable);
    readInt(state.captureDevice, u"MagicVoice_Selection", Param::none(), voiceChangerMode);
}

void HeadsetAudioControl::readEqualiser()
{
    readInt(state.renderDevice, u"Enable_EQ_GFX", Param::none(), eqEnable);
    for (int band = 0; band < 10; ++band)
        readInt(state.renderDevice, kEqSliderNames[band], Param::none(), eqBand[band]);
}

// ---- Volumes ------------------------------------------------------------------------------------------

void HeadsetAudioControl::applyScalarVolume(const DevInfo &device, const char16_t *name, int32_t perChannel,
                                            int32_t leftOrMaster, int32_t right)
{
    if (!perChannel)
    {
        probeThenSet(device, name, Param::channel(-1), Param::channel(-1), scalarFromPercent(leftOrMaster));
        return;
    }
    // Channel 1 is tried whatever channel 0 gave.
    probeThenSet(device, name, Param::channel(0), Param::channel(0), scalarFromPercent(leftOrMaster));
    probeThenSet(device, name, Param::channel(1), Param::channel(1), scalarFromPercent(right));
}

void HeadsetAudioControl::applyPlaybackVolume(int32_t mute, int32_t perChannel, int32_t leftOrMaster,
                                              int32_t right)
{
    setPlaybackMute(mute);
    applyScalarVolume(state.renderDevice, u"VolumeScalarControl", perChannel, leftOrMaster, right);
}

void HeadsetAudioControl::applyMicVolume(int32_t mute, int32_t perChannel, int32_t leftOrMaster,
                                         int32_t right)
{
    setMicMute(mute);
    applyScalarVolume(state.captureDevice, u"VolumeScalarControl", perChannel, leftOrMaster, right);
}

void HeadsetAudioControl::applyAAVolume(int32_t mute, int32_t perChannel, int32_t leftOrMaster, int32_t right)
{
    setAAMute(mute);
    applyScalarVolume(state.captureDevice, u"AAVolumeScalarControl", perChannel, leftOrMaster, right);
}

void HeadsetAudioControl::setAAMute(int32_t mute)
{
    probeThenSet(state.captureDevice, u"AAMuteControl", Param::none(), Param::none(), mute);
}

void HeadsetAudioControl::setPlaybackVolume(int32_t perChannel, int32_t leftOrMaster, int32_t right)
{
    applyScalarVolume(state.renderDevice, u"VolumeScalarControl", perChannel, leftOrMaster, right);
}

void HeadsetAudioControl::setMicVolume(int32_t perChannel, int32_t leftOrMaster, int32_t right)
{
    applyScalarVolume(state.captureDevice, u"VolumeScalarControl", perChannel, leftOrMaster, right);
}
