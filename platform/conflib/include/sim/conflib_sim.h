// Test face of the configuration library stand-in. Tests resolve these exports by name (they load
// the library at run time, like the panel); programs set the same things through a scenario file
// named by the environment variable OSCONF_SIM_SCENARIO (at most 1 MiB), read when the library loads.
//
// Scenario text: one command a line; blank lines and lines starting with '#' are skipped.
//   devices render|capture [H,J,F,S ...]   the endpoint list (Handle, JackType, DataFlow, State);
//                                           CreateDeviceList makes it the list the library serves
//   count render|capture list|silent|N     what GetDeviceCount reports: the list's size (default),
//                                           nothing written, or N
//   answer NAME [TEXT]                     the text a get of NAME answers (rest of the line, may be
//                                           empty) until a set of that name stores a value
//   fail get|set|both NAME|* [RESULT]      gets and/or sets of NAME (or of every name) fail
//   fail call N [RESULT]                   the N-th entry-point call from now fails (1 = the next)
//   result ConfLibInit|CreateDeviceList N  that entry's result
//   result GetDeviceById render|capture I N   the lookup of index I gives N and fills nothing
//   answers normal|unterminated|nonnumeric|random [SEED]
//                                           unterminated: the text, then 'A' to the end of the
//                                           1024 bytes, no NUL; nonnumeric: "n/a"; random: random
//                                           UTF-16 units of random length, often without a NUL
//   event TYPE ID COMPONENT EVENTID        fired on a library thread once a callback is registered
//                                           (at once when one is); the firing call waits for it
// A failure RESULT defaults to 1. A failed call changes nothing and writes nothing. Numbers are
// decimal or 0x-hexadecimal.
#pragma once

#include <osconflib.h>

// One entry-point call as the library saw it.
struct ConfSimCall
{
    char entry[32];                      // entry point name, NUL-terminated
    uint32_t handle;                     // PropertyControl: the record's Handle
    char16_t name[CONFLIB_MAX_NAME + 1]; // PropertyControl: the property name (cut, NUL-terminated)
    int32_t direction;     // PropertyControl: CONFLIB_GET / CONFLIB_SET; lookups: the list; else -1
    int32_t hasParam;      // PropertyControl: a parameter buffer was given
    int32_t param[3];      // its first three int32 (zeros when none)
    int32_t hasValue;      // PropertyControl set: the value was read
    uint32_t value;        // the set's first four value bytes (int32 or float32)
    uint64_t valueAddress; // the value buffer's address (*value)
    uint32_t args[4];      // GetDeviceById: direction, index; GetDeviceCount: direction;
                           // the I/O-port entries: their arguments
    int32_t result;        // what the call returned (0 for entries without a result)
};
static_assert(sizeof(ConfSimCall) % 8 == 0);

typedef void (*osConfSim_ResetProc)();                        // defaults, empty log, no callback
typedef int32_t (*osConfSim_ApplyProc)(const char *scenario); // 0, or the first bad line (1-based);
                                                              // nothing is applied from a bad text
typedef uint32_t (*osConfSim_CallCountProc)();
typedef int32_t (*osConfSim_GetCallProc)(uint32_t index, ConfSimCall *call); // 0, or -1 out of range
typedef void (*osConfSim_ResetLogProc)();
