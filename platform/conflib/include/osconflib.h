// API of the audio chip's configuration library ("osConfLib"), as a program that loads it by name
// sees it: the device record, the calling convention and the entry points' signatures. The library
// exports every entry point undecorated (extern "C"); a program resolves them at run time.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32) && (defined(_M_IX86) || defined(__i386__))
#define CONFLIB_CALL __stdcall
#else
#define CONFLIB_CALL
#endif

// One endpoint of the device list, filled by GetDeviceById and passed by value to PropertyControl.
struct DevInfo
{
    uint32_t Handle;  // the library's own identification; only passed back
    int32_t JackType; // 12: headset playback endpoint, 2: headset microphone endpoint
    int32_t DataFlow; // direction as the library reports it
    uint32_t State;   // 1: active
};
static_assert(sizeof(DevInfo) == 16);
static_assert(offsetof(DevInfo, Handle) == 0 && offsetof(DevInfo, JackType) == 4);
static_assert(offsetof(DevInfo, DataFlow) == 8 && offsetof(DevInfo, State) == 12);

// Directions of GetDeviceCount and GetDeviceById.
inline constexpr uint32_t CONFLIB_RENDER = 0;
inline constexpr uint32_t CONFLIB_CAPTURE = 1;
// Direction byte of PropertyControl.
inline constexpr uint8_t CONFLIB_GET = 0;
inline constexpr uint8_t CONFLIB_SET = 1;
// Value and parameter buffers are read and written within this many bytes; a get answers
// NUL-terminated UTF-16 decimal text. A property name longer than CONFLIB_MAX_NAME units fails.
inline constexpr size_t CONFLIB_BUFFER_BYTES = 1024;
inline constexpr size_t CONFLIB_MAX_NAME = 256;

// Event callback: Type, Id, ComponentType, EventId; called on a thread of the library's own.
typedef void(CONFLIB_CALL *ConfLibEventCallback)(int32_t, int32_t, int32_t, uint32_t);

typedef void(CONFLIB_CALL *RGBI2CModeProc)(uint32_t, uint32_t, uint32_t, uint32_t);
typedef void(CONFLIB_CALL *InitializeSMBProc)();
typedef void(CONFLIB_CALL *ShutdownSMBProc)();
typedef void(CONFLIB_CALL *SetPatternProc)(uint32_t, uint32_t);
typedef void(CONFLIB_CALL *SetRGBProc)(uint32_t, uint32_t, uint32_t, uint32_t);
typedef void(CONFLIB_CALL *OnTimerAppProc)();
typedef void(CONFLIB_CALL *CheckSPDProc)();
typedef void(CONFLIB_CALL *SaveToMCUProc)();
typedef int32_t(CONFLIB_CALL *ConfLibInitProc)();
typedef int32_t(CONFLIB_CALL *GetDeviceByIdProc)(uint32_t direction, uint32_t index, DevInfo *device);
// value and param are the addresses of variables that hold the buffers' addresses; param may be null.
typedef int32_t(CONFLIB_CALL *PropertyControlProc)(DevInfo device, const char16_t *name, void **value,
                                                   void **param, uint8_t direction);
typedef void(CONFLIB_CALL *RegisterCallbackFunctionProc)(ConfLibEventCallback callback);
typedef int32_t(CONFLIB_CALL *GetDeviceCountProc)(uint32_t direction, uint32_t *count);
typedef int32_t(CONFLIB_CALL *CreateDeviceListProc)();
typedef int32_t(CONFLIB_CALL *ConfLibUnInitProc)();
typedef void(CONFLIB_CALL *ShowAsioPanelProc)();
typedef void(CONFLIB_CALL *PlayTestSoundProc)();
typedef void(CONFLIB_CALL *StopTestSoundProc)();
typedef void(CONFLIB_CALL *CloseTestSoundProc)();
