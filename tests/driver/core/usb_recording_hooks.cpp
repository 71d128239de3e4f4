#include "usb_recording_hooks.h"

void RecordingDevicePower::PowerChangeState(POWER_STATE newState)
{
    std::lock_guard<std::mutex> g(m_Guard);
    m_States.push_back(newState.DeviceState);
}

std::vector<DEVICE_POWER_STATE> RecordingDevicePower::States() const
{
    std::lock_guard<std::mutex> g(m_Guard);
    return m_States;
}

void RecordingDevicePower::Clear()
{
    std::lock_guard<std::mutex> g(m_Guard);
    m_States.clear();
}

void RecordingAdapterHooks::Record(const std::string &call)
{
    std::lock_guard<std::mutex> g(m_Guard);
    m_Calls.push_back(call);
}

void RecordingAdapterHooks::Fault(const std::string &what)
{
    std::lock_guard<std::mutex> g(m_Guard);
    m_Faults.push_back(what);
}

void RecordingAdapterHooks::Acquire(TrackedLock &lock, const char *name)
{
    lock.mutex.Lock();
    lock.owner = KeGetCurrentThread();
    ++lock.depth;
    Record(name);
}

void RecordingAdapterHooks::Release(TrackedLock &lock, const char *name)
{
    if (!lock.HeldHere())
    {
        Fault(std::string(name) + " without its lock");
        return;
    }
    Record(name);
    if (--lock.depth == 0)
        lock.owner = nullptr;
    lock.mutex.Unlock();
}

void RecordingAdapterHooks::NeedLock(const char *call)
{
    if (!m_Lock.HeldHere())
        Fault(std::string(call) + " without Lock");
    Record(call);
}

void RecordingAdapterHooks::Lock()
{
    if (m_Second.HeldHere())
        Fault("Lock taken while holding SecondLock");
    Acquire(m_Lock, "Lock");
}

void RecordingAdapterHooks::Unlock()
{
    Release(m_Lock, "Unlock");
}
void RecordingAdapterHooks::SecondLock()
{
    Acquire(m_Second, "SecondLock");
}
void RecordingAdapterHooks::SecondUnlock()
{
    Release(m_Second, "SecondUnlock");
}

void RecordingAdapterHooks::StopLowLatency()
{
    lowLatencyRunning = false;
    NeedLock("StopLowLatency");
}

void RecordingAdapterHooks::RestartLowLatency()
{
    lowLatencyRunning = true;
    NeedLock("RestartLowLatency");
}

void RecordingAdapterHooks::HandOverRunEvent()
{
    NeedLock("HandOverRunEvent");
}

void RecordingAdapterHooks::CompleteHeldStop()
{
    if (m_Lock.HeldHere() || m_Second.HeldHere())
        Fault("held Stop completed under a lock");
    Record("CompleteHeldStop");
    if (heldStop)
    {
        heldStop = false;
        ++heldStopsCompleted;
    }
}

NTSTATUS RecordingAdapterHooks::CreateDeviceObject()
{
    Record("CreateDeviceObject");
    return createStatus;
}

std::vector<std::string> RecordingAdapterHooks::Calls() const
{
    std::lock_guard<std::mutex> g(m_Guard);
    return m_Calls;
}

size_t RecordingAdapterHooks::Count(const std::string &call) const
{
    std::lock_guard<std::mutex> g(m_Guard);
    size_t n = 0;
    for (const auto &c : m_Calls)
        n += c == call;
    return n;
}

void RecordingAdapterHooks::ClearCalls()
{
    std::lock_guard<std::mutex> g(m_Guard);
    m_Calls.clear();
}

std::vector<std::string> RecordingAdapterHooks::Faults() const
{
    std::lock_guard<std::mutex> g(m_Guard);
    return m_Faults;
}
