// The configuration library as the panel binds it at run time: its entry points, the device list it
// serves and the headset endpoints chosen from it. All of it lives in one ConfLibState that the
// owner creates once; the GUI thread alone uses it.
#pragma once

#include <osconflib.h>

#include <QLibrary>
#include <QString>

#include <array>
#include <memory>
#include <tuple>

// The entry points, in the order they are looked up.
enum class ConfLibEntry
{
    RGBI2CMode,
    InitializeSMB,
    ShutdownSMB,
    SetPattern,
    SetRGB,
    OnTimerApp,
    CheckSPD,
    SaveToMCU,
    ConfLibInit,
    GetDeviceById,
    PropertyControl,
    RegisterCallbackFunction,
    GetDeviceCount,
    CreateDeviceList,
    ConfLibUnInit,
    ShowAsioPanel,
    PlayTestSound,
    StopTestSound,
    CloseTestSound,
};
inline constexpr size_t kConfLibEntryCount = 19;
inline constexpr const char *kConfLibEntryNames[kConfLibEntryCount] = {
    "RGBI2CMode",     "InitializeSMB",    "ShutdownSMB",     "SetPattern",
    "SetRGB",         "OnTimerApp",       "CheckSPD",        "SaveToMCU",
    "ConfLibInit",    "GetDeviceById",    "PropertyControl", "RegisterCallbackFunction",
    "GetDeviceCount", "CreateDeviceList", "ConfLibUnInit",   "ShowAsioPanel",
    "PlayTestSound",  "StopTestSound",    "CloseTestSound"};
using ConfLibProcs =
    std::tuple<RGBI2CModeProc, InitializeSMBProc, ShutdownSMBProc, SetPatternProc, SetRGBProc, OnTimerAppProc,
               CheckSPDProc, SaveToMCUProc, ConfLibInitProc, GetDeviceByIdProc, PropertyControlProc,
               RegisterCallbackFunctionProc, GetDeviceCountProc, CreateDeviceListProc, ConfLibUnInitProc,
               ShowAsioPanelProc, PlayTestSoundProc, StopTestSoundProc, CloseTestSoundProc>;
static_assert(std::tuple_size_v<ConfLibProcs> == kConfLibEntryCount);

struct ConfLibState
{
    std::unique_ptr<QLibrary> libraryHandle;                    // the loaded library, or null
    std::array<QFunctionPointer, kConfLibEntryCount> entries{}; // null where missing
    uint32_t renderDeviceCount = 0;  // as GetDeviceCount last wrote it for the render list
    uint32_t captureDeviceCount = 0; // ... and for the capture list
    int32_t lastLibraryResult = 0;   // result of the last device lookup or property call
    DevInfo currentDevice{};         // scratch record of the lookups
    DevInfo renderDevice{};          // the headset's playback endpoint (all zero until one is found)
    DevInfo captureDevice{};         // the headset's microphone endpoint
    uint8_t smbusOpen = 0;           // nothing opens the SMBus; closing shuts it only when set

    // The entry point's typed pointer, or null when the library lacks it.
    template <ConfLibEntry E> auto entry() const
    {
        return reinterpret_cast<std::tuple_element_t<size_t(E), ConfLibProcs>>(entries[size_t(E)]);
    }
    template <ConfLibEntry E> void setEntry(std::tuple_element_t<size_t(E), ConfLibProcs> proc)
    {
        entries[size_t(E)] = reinterpret_cast<QFunctionPointer>(proc);
    }
};

// Loads the library from `path` (by default the program's folder + "osConfLib"; the platform adds
// prefix and suffix) and looks up every entry point. Never a search path: a library found elsewhere
// could be anyone's. A file that does not load counts as missing; every entry is then null.
void bindConfigLibrary(ConfLibState &state, const QString &path = QString());

// Looks up the headset endpoints: the last active JackType 12 endpoint among the first 64 of the
// render list, and index 0 of the capture list when it is an active JackType 2 endpoint. A record
// keeps its earlier contents when nothing matches; a failed lookup never matches.
void selectHeadsetDevices(ConfLibState &state);
inline constexpr uint32_t kMaxRenderEndpoints = 64;

// The library's event callback: one log line, nothing else; safe on any thread.
void CONFLIB_CALL onConfigLibraryEvent(int32_t Type, int32_t Id, int32_t ComponentType, uint32_t EventId);
