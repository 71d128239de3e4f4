#include "platform/hid/hid_transport.h"

#include <chrono>
#include <thread>

const char *hidStatusName(HidStatus status)
{
    switch (status)
    {
    case HidStatus::Ok:
        return "Ok";
    case HidStatus::Busy:
        return "Busy";
    case HidStatus::Timeout:
        return "Timeout";
    case HidStatus::Offline:
        return "Offline";
    case HidStatus::NotSupported:
        return "NotSupported";
    case HidStatus::IoError:
        return "IoError";
    case HidStatus::BadArgument:
        return "BadArgument";
    }
    return "?";
}

void RealHidClock::sleep(int ms)
{
    if (ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

int64_t RealHidClock::now() const
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void VirtualHidClock::sleep(int ms)
{
    if (ms > 0)
        m_now += ms;
    if (m_realPace && ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    else
        std::this_thread::yield(); // a sleeping thread lets the others run, as a real sleep would
}
