// The headset's audio controls through the configuration library: binding state and device list
// (ConfLibState), the property call, the start-up default passes, the read-backs that the view
// shows, and one operation per control the user changes. GUI thread only: the four buffers and
// the shared state are used without locks.
#pragma once

#include "panel/device/conflib_binding.h"

#include <array>
#include <cstdint>
#include <string_view>

// Every property call goes out with these buffers' addresses. Gets zero-fill the value buffer and
// the library writes its answer there; sets zero-fill it and carry the value in the first four bytes
// (int32, or float32 for the scalar volumes). The parameter buffer carries the channel (-1 master,
// 0 left, 1 right) or a three-word record in its first bytes, zeros elsewhere.
class HeadsetAudioControl
{
public:
    // `state` must outlive this object; nothing is called on the library here.
    explicit HeadsetAudioControl(ConfLibState &state);
    // Uninitialises the library when it is bound.
    ~HeadsetAudioControl();
    HeadsetAudioControl(const HeadsetAudioControl &) = delete;
    HeadsetAudioControl &operator=(const HeadsetAudioControl &) = delete;

    // ---- Library start-up and device list ----------------------------------------------------------
    void initConfigLibrary();
    // Rebuilds the library's device list and reads both counts; libraryReady when both are non-zero.
    void openDeviceList();
    // initConfigLibrary and openDeviceList; when ready, selectHeadsetDevices and the default pass.
    void refreshAudioDefaults();
    void refreshVolumeDefaults();

    // ---- I/O-port entries of the same library (missing entries are skipped) ---------------------
    // Shuts the SMBus when it was opened, then releases the library: 1 when the file was unloaded,
    // 0 when it stays loaded for another user or nothing was bound. Every entry is null afterwards.
    int closeIoLibrary();
    void setRgbI2cMode(uint8_t a, uint8_t b, uint8_t c, uint8_t d);
    void setRgbPattern(uint8_t a, uint8_t b);                     // only when libraryInitialised
    void setRgbColor(uint8_t a, uint8_t b, uint8_t c, uint8_t d); // only when libraryInitialised
    void runRgbTimer();
    void saveRgbToMcu();

    // ---- The property call ------------------------------------------------------------------------
    // Calls PropertyControl with the addresses of variables holding `value` and `param` (param null:
    // none) and direction CONFLIB_GET or CONFLIB_SET. The result goes to lastLibraryResult and is
    // returned; -1 when the library has no PropertyControl.
    int32_t propertyCall(const DevInfo &device, const char16_t *name, void *value, void *param,
                         uint8_t direction);

    // ---- Default passes: every property that cannot be read is set to 0 ----------------------------
    void initVolumeDefaults(); // 10 properties
    void initAudioDefaults();  // 19 effect properties, eqBand from the answers, then the volume pass

    // ---- Read-backs: a member changes only when its get succeeds ----------------------------------
    // The volume read-backs say whether their volumes were read (both channels for the pair); the
    // mute's read does not count.
    bool readPlaybackMaster();
    bool readPlaybackChannels();
    bool readMicState();
    void readSurround();
    void readNoiseReduction();
    void readVoiceClarity();
    void readVoiceChanger();
    void readEqualiser();

    // ---- Volumes (percents 0..100; sent as scalars clamped to 0.0..1.0) ----------------------------
    // Mute first (when it can be read), then the master scalar, or channels 0 and 1 when perChannel.
    void applyPlaybackVolume(int32_t mute, int32_t perChannel, int32_t leftOrMaster, int32_t right);
    void applyMicVolume(int32_t mute, int32_t perChannel, int32_t leftOrMaster, int32_t right);
    void applyAAVolume(int32_t mute, int32_t perChannel, int32_t leftOrMaster, int32_t right);
    void setAAMute(int32_t mute);

    // ---- One control at a time: each property is read first and written only when it can be read ----
    void setEqualiserEnable(int32_t enable);
    void setEqualiserBands(const std::array<int32_t, 10> &bands); // band 1 first
    void applyEqualiser(int32_t enable, const std::array<int32_t, 10> &bands);
    void setVoiceClarityEnable(int32_t enable);
    void setVoiceClarityLevel(int32_t level);
    void setVoiceClarityNoiseLevel(int32_t level);
    void adjustVoiceClarity(int32_t enable, int32_t level, int32_t level2);
    void setVoiceChangerEnable(int32_t enable);
    void setVoiceChangerMode(int32_t mode);
    void adjustVoiceChanger(int32_t enable, int32_t mode);
    void setPlaybackMute(int32_t mute);
    void setMicMute(int32_t mute);
    void setPlaybackVolume(int32_t perChannel, int32_t leftOrMaster, int32_t right);
    void setMicVolume(int32_t perChannel, int32_t leftOrMaster, int32_t right);
    void setNoiseReduction(int32_t enable);
    void setSurroundMax(int32_t enable);
    void adjustSurroundHeadphone(int32_t enable);
    // On currentDevice: sets "DefaultDeviceControl" to 0 whatever its get gave.
    void makeDefaultDevice();
    // Device information: logged when the get succeeds, never stored.
    void getSymbolicLink();
    void getSupportFeature();
    void getDeviceId();
    void getExControl();
    void getEndpointEnable();

    ConfLibState &state;
    uint8_t libraryInitialised = 0; // nothing sets it; gates the RGB pattern and colour
    uint8_t libraryReady = 0;       // both device lists non-empty at the last openDeviceList
    // The last values read; all zero until a read succeeds.
    int32_t eqEnable = 0;
    int32_t eqBand[10] = {};
    int32_t voiceClarityEnable = 0;
    int32_t voiceClarityLevel = 0;
    int32_t voiceClarityNoiseLevel = 0;
    int32_t surroundEnable = 0;
    int32_t noiseReductionEnable = 0;
    int32_t voiceChangerEnable = 0;
    int32_t voiceChangerMode = 0;
    int32_t playbackMute = 0;
    float playbackLeftPercent = 0;
    float playbackRightPercent = 0;
    float playbackMasterPercent = 0;
    int32_t micMute = 0;
    float micMasterPercent = 0;
    alignas(8) unsigned char setValueBuffer[CONFLIB_BUFFER_BYTES] = {};
    alignas(8) unsigned char setParamBuffer[CONFLIB_BUFFER_BYTES] = {};
    alignas(8) unsigned char getValueBuffer[CONFLIB_BUFFER_BYTES] = {};
    alignas(8) unsigned char getParamBuffer[CONFLIB_BUFFER_BYTES] = {};

private:
    static constexpr const char16_t *kEqSliderNames[10] = {
        u"EQ_Slider1", u"EQ_Slider2", u"EQ_Slider3", u"EQ_Slider4", u"EQ_Slider5",
        u"EQ_Slider6", u"EQ_Slider7", u"EQ_Slider8", u"EQ_Slider9", u"EQ_Slider10"};

    // What a call carries in its parameter buffer: nothing (null pointer) or three int32.
    struct Param
    {
        bool present;
        int32_t words[3];
        static Param none() { return {false, {}}; }
        static Param channel(int32_t c) { return {true, {c, 0, 0}}; }
        static Param zeroFilled() { return {true, {}}; }
        static Param record(int32_t a, int32_t b, int32_t c) { return {true, {a, b, c}}; }
    };

    int32_t get(const DevInfo &device, const char16_t *name, Param param);
    int32_t set(const DevInfo &device, const char16_t *name, Param param, uint32_t valueBits);
    int32_t set(const DevInfo &device, const char16_t *name, Param param, int32_t value);
    int32_t set(const DevInfo &device, const char16_t *name, Param param, float value);
    // Get, and only when it succeeds, set; true when the get succeeded.
    template <class V>
    bool probeThenSet(const DevInfo &device, const char16_t *name, Param getParam, Param setParam, V value);
    // Get; when it fails, set 0 with the same parameter. The get's result.
    int32_t defaultIfUnreadable(const DevInfo &device, const char16_t *name, Param param);
    void readInt(const DevInfo &device, const char16_t *name, Param param, int32_t &member);
    bool readPercent(const DevInfo &device, const char16_t *name, int32_t channel, float &member);
    void applyScalarVolume(const DevInfo &device, const char16_t *name, int32_t perChannel,
                           int32_t leftOrMaster, int32_t right);
    void readDeviceInfo(const DevInfo &device, const char16_t *name, Param param, const char *logText);
    bool refreshDevices();
    // The get answer, cut at UTF-16 unit 511 so that an answer without a terminator ends there.
    std::u16string_view answerText();
    char16_t m_AnswerUnits[CONFLIB_BUFFER_BYTES / sizeof(char16_t)] = {};
};
