// Device-change broadcast records and events (WM_DEVICECHANGE).
#pragma once

#include <windows.h>

#define DBT_DEVICEARRIVAL 0x8000
#define DBT_DEVICEREMOVECOMPLETE 0x8004
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005

struct DEV_BROADCAST_DEVICEINTERFACE_W
{
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    WCHAR dbcc_name[1];
};
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_W) == 32, "the record's size on the target");
