// The basic user-mode Windows types, with the few kernel32 calls the system makes, as a 32-bit
// Windows program sees them. Handles are opaque pointers; integer types keep their Windows widths
// on every host (DWORD is 32 bits, BOOL an int), so records built from them match the target.
// The other platform libraries (newdev, afx, user32) declare their calls in headers of their own.
#pragma once

#include <cstddef>
#include <cstdint>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef BOOL *PBOOL, *LPBOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD, UINT, ULONG;
typedef DWORD *PDWORD, *LPDWORD;
typedef int32_t LONG;
typedef char CHAR;
typedef CHAR *LPSTR, *PSTR;
typedef const CHAR *LPCSTR, *PCSTR;
typedef char16_t WCHAR; // so u"..." literals are wide strings, as L"..." are on the target
typedef WCHAR *LPWSTR, *PWSTR;
typedef const WCHAR *LPCWSTR, *PCWSTR;
typedef void VOID, *PVOID, *LPVOID;
typedef uintptr_t ULONG_PTR, UINT_PTR, WPARAM;
typedef intptr_t LONG_PTR, LPARAM, LRESULT;
typedef PVOID HANDLE;

#define ZELKO_DECLARE_HANDLE(name)                                                                           \
    struct name##__;                                                                                         \
    typedef struct name##__ *name
ZELKO_DECLARE_HANDLE(HWND);
ZELKO_DECLARE_HANDLE(HINSTANCE);
typedef HINSTANCE HMODULE;

struct GUID
{
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

struct POINT
{
    LONG x;
    LONG y;
};

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

// System error codes (winerror.h values).
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_INVALID_FLAGS 1004L

extern "C"
{
    // The calling thread's last error, as set by the platform call that failed last (newdev).
    DWORD WINAPI GetLastError(void);
    void WINAPI SetLastError(DWORD dwErrCode);

    // Only the own module is known (a null name): any other name gives NULL and ERROR_MOD_NOT_FOUND.
    HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName);
    HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
    // The process's command line as one string: arguments separated by a space, an argument that holds
    // a space or a tab, or is empty, in double quotes. Valid for the life of the process.
    LPSTR WINAPI GetCommandLineA(void);
}
