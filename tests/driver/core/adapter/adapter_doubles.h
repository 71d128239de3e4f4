// A scripted USB audio device object behind the real adapter: the streams of the entry doubles, the
// statuses its steps return, and what the adapter asked of it (protocol, power).
#pragma once

#include <string>
#include <vector>

#include "../entry/entry_doubles.h"
#include "asio_doubles.h"
#include "driver/core/usb_audio_device.h"

namespace adapter_test
{

struct DeviceScript
{
    NTSTATUS CreateStatus = STATUS_SUCCESS;
    NTSTATUS DetectStatus = STATUS_SUCCESS; // what the device's StartHardware returns
    bool AnswersFunction = true;            // the device answers IUsbAudioFunction
    bool AnswersPower = true;

    std::vector<UCHAR> Protocols;   // of each creation asked for
    std::vector<std::string> Power; // "D0", "D3", ... as the device object was told
    LONG LiveDevices = 0;
};

inline DeviceScript &D()
{
    static DeviceScript script;
    return script;
}

// The device object: a CAudioHal aggregated with the adapter, with the scripted streams' engines.
class StubDevice : public CAudioHal
{
public:
    DECLARE_STD_UNKNOWN();
    explicit StubDevice(PUNKNOWN outer) : CAudioHal(outer) { ++D().LiveDevices; }
    ~StubDevice() override { --D().LiveDevices; }

    NTSTATUS StartHardware() override
    {
        for (ULONG i = 0; i < entry_test::S().Streams.size(); ++i)
        {
            IStreamEngine *engine = nullptr;
            if (A().Streams.empty())
                engine = hal_test::Make<entry_test::ScriptedEngine>(i);
            else
                engine = hal_test::Make<AsioStream>(i);
            if (!engine)
                return STATUS_INSUFFICIENT_RESOURCES;
            const NTSTATUS status = AddEngine(engine);
            engine->Release();
            if (!NT_SUCCESS(status))
                return status;
        }
        return D().DetectStatus;
    }
    NTSTATUS GetStreamInfo(ULONG index, PULONG words) override
    {
        if (!words || index >= GetEngineCount())
            return STATUS_INVALID_PARAMETER;
        RtlZeroMemory(words, HAL_INFO_WORDS * sizeof(ULONG));
        words[6] = entry_test::S().Streams[index].Word6;
        return STATUS_SUCCESS;
    }
    NTSTATUS StartAll() override
    {
        entry_test::S().Calls.push_back("StartAll");
        return entry_test::S().StartAllStatus;
    }
    NTSTATUS StopAll() override
    {
        entry_test::S().Calls.push_back("StopAll");
        return STATUS_SUCCESS;
    }
    void PowerChangeState(POWER_STATE state) override
    {
        D().Power.push_back("D" + std::to_string(int(state.DeviceState) - 1));
        CAudioHal::PowerChangeState(state);
    }
};

inline NTSTATUS StubDevice::NonDelegatingQueryInterface(REFIID iid, PVOID *object)
{
    if (iid == IID_IUsbAudioFunction && !D().AnswersFunction)
        return AnswerInterface(iid, object, static_cast<IAudioHal *>(this));
    if (iid == IID_IAdapterPowerManagement && !D().AnswersPower)
        return AnswerInterface(iid, object, static_cast<IAudioHal *>(this));
    // The stand-in has no function interface of its own: the HAL answers for it.
    return AnswerInterface(iid, object, static_cast<IAudioHal *>(this),
                           {{IID_IAudioHal, static_cast<IAudioHal *>(this)},
                            {IID_IUsbAudioFunction, static_cast<IAudioHal *>(this)},
                            {IID_IAdapterPowerManagement, static_cast<IAdapterPowerManagement *>(this)}});
}

} // namespace adapter_test
