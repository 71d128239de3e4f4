// DbgPrint output is kept so tests can assert on the driver's messages; ZELKO_DBGPRINT=1 echoes it.
#include "kernel_internal.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

std::string SimFormatNarrow(PCSTR fmt, va_list ap);

namespace
{
std::mutex g_logLock;
std::vector<std::string> g_log;
std::string g_partial; // text of a message not yet ended by a newline
bool Echo()
{
    static bool echo = []
    {
        const char *e = std::getenv("ZELKO_DBGPRINT");
        return e && *e == '1';
    }();
    return echo;
}
} // namespace

extern "C" ULONG vDbgPrintEx(ULONG, ULONG, PCSTR format, va_list args)
{
    std::string text = SimFormatNarrow(format, args);
    std::lock_guard<std::mutex> g(g_logLock);
    if (Echo())
        std::fputs(text.c_str(), stderr);
    g_partial += text;
    size_t nl;
    while ((nl = g_partial.find('\n')) != std::string::npos)
    {
        g_log.push_back(g_partial.substr(0, nl + 1));
        g_partial.erase(0, nl + 1);
    }
    return 0;
}

extern "C" ULONG DbgPrint(PCSTR format, ...)
{
    va_list ap;
    va_start(ap, format);
    vDbgPrintEx(0, 0, format, ap);
    va_end(ap);
    return 0;
}

std::vector<std::string> sim::DebugLog()
{
    std::lock_guard<std::mutex> g(g_logLock);
    auto out = g_log;
    if (!g_partial.empty())
        out.push_back(g_partial);
    return out;
}

void sim::ClearDebugLog()
{
    std::lock_guard<std::mutex> g(g_logLock);
    g_log.clear();
    g_partial.clear();
}

size_t sim::DebugLogCount(const std::string &text)
{
    size_t n = 0;
    for (auto &line : DebugLog())
        n += line.find(text) != std::string::npos;
    return n;
}

bool sim::DebugLogContains(const std::string &text)
{
    return DebugLogCount(text) > 0;
}

void sim::detail::ResetDebugLog()
{
    sim::ClearDebugLog();
}
