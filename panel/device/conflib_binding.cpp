#include "panel/device/conflib_binding.h"

#include <QCoreApplication>
#include <QDebug>

#include <algorithm>

void bindConfigLibrary(ConfLibState &state, const QString &path)
{
    auto library = std::make_unique<QLibrary>(
        path.isEmpty() ? QCoreApplication::applicationDirPath() + "/osConfLib" : path);
    state.libraryHandle = library->load() ? std::move(library) : nullptr;
    if (!state.libraryHandle)
        qDebug() << "hInpOutDll == NULL";
    for (size_t i = 0; i < kConfLibEntryCount; ++i)
        state.entries[i] =
            state.libraryHandle ? state.libraryHandle->resolve(kConfLibEntryNames[i]) : nullptr;
    if (state.libraryHandle)
        qDebug() << "hInpOutDll called ok";
}

namespace
{

// One GetDeviceById into currentDevice; its result, or -1 when the library has no such entry.
int32_t lookupDevice(ConfLibState &state, uint32_t direction, uint32_t index)
{
    const auto getDeviceById = state.entry<ConfLibEntry::GetDeviceById>();
    state.lastLibraryResult = getDeviceById ? getDeviceById(direction, index, &state.currentDevice) : -1;
    if (state.lastLibraryResult == 0)
    {
        qDebug() << "GetDeviceById called ok= "
                 << (direction == CONFLIB_RENDER ? " , the Render device state is = "
                                                 : " , the Capture device state is = ")
                 << state.currentDevice.State;
        qDebug() << " DevInfo.JackType =" << state.currentDevice.JackType;
        qDebug() << " DevInfo.DataFlow =" << state.currentDevice.DataFlow;
    }
    return state.lastLibraryResult;
}

// A record that the library did not fill is never taken for the headset.
void takeIfHeadset(ConfLibState &state, int32_t lookupResult, int32_t jackType, DevInfo &chosen)
{
    const DevInfo &found = state.currentDevice;
    if (lookupResult == 0 && found.JackType == jackType && found.State == 1)
        chosen = {found.Handle, jackType, found.DataFlow, 1};
}

} // namespace

void selectHeadsetDevices(ConfLibState &state)
{
    // The count is the library's word; a huge one must not stall the GUI thread.
    const uint32_t renderCount = std::min(state.renderDeviceCount, kMaxRenderEndpoints);
    if (state.renderDeviceCount > kMaxRenderEndpoints)
        qDebug() << "Render Device Count capped at" << kMaxRenderEndpoints;
    for (uint32_t i = 0; i < renderCount; ++i)
        takeIfHeadset(state, lookupDevice(state, CONFLIB_RENDER, i), 12, state.renderDevice);
    // Only the first capture endpoint is the headset's microphone.
    takeIfHeadset(state, lookupDevice(state, CONFLIB_CAPTURE, 0), 2, state.captureDevice);
}

void CONFLIB_CALL onConfigLibraryEvent(int32_t Type, int32_t Id, int32_t ComponentType, uint32_t EventId)
{
    qDebug() << "Type = " << Type << "Id = " << Id << "ComponentType = " << ComponentType
             << "EventId = " << EventId;
}
