#include <windows.h>

#include <fstream>
#include <iterator>
#include <string>

namespace
{
thread_local DWORD t_lastError = ERROR_SUCCESS;

// Any unique address serves as the module's handle: callers only pass it on or test it for null.
char g_ownModule;

// Joins the arguments the way a Windows command line spells them, so callers that split it again
// get the same arguments for the common cases.
std::string buildCommandLine()
{
    std::ifstream in("/proc/self/cmdline", std::ios::binary);
    const std::string raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string line;
    size_t start = 0;
    while (start < raw.size())
    {
        size_t end = raw.find('\0', start);
        if (end == std::string::npos)
            end = raw.size();
        const std::string arg = raw.substr(start, end - start);
        if (!line.empty())
            line += ' ';
        if (arg.empty() || arg.find_first_of(" \t") != std::string::npos)
            line += '"' + arg + '"';
        else
            line += arg;
        start = end + 1;
    }
    return line;
}
} // namespace

extern "C"
{
    DWORD WINAPI GetLastError(void)
    {
        return t_lastError;
    }

    void WINAPI SetLastError(DWORD dwErrCode)
    {
        t_lastError = dwErrCode;
    }

    HMODULE WINAPI GetModuleHandleA(LPCSTR lpModuleName)
    {
        if (lpModuleName != nullptr)
        {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        return reinterpret_cast<HMODULE>(&g_ownModule);
    }

    HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName)
    {
        return GetModuleHandleA(lpModuleName == nullptr ? nullptr : "");
    }

    LPSTR WINAPI GetCommandLineA(void)
    {
        static std::string line = buildCommandLine();
        return line.data();
    }
}
