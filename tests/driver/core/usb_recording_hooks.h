// Test doubles for what the USB device layer needs of the adapter: the adapter hooks (locks, the
// low-latency service, the held Stop), the device object's power interface, and the adapter's
// unknown. Each records what the layer asked, in order, and checks the lock rules as it goes.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include <ntkernel.h>
#include <pc_power.h>

#include "driver/core/adapter_hooks.h"
#include "driver/base/mutex_lock.h"

// The device object's power interface: records every state it is told.
class RecordingDevicePower final : public IAdapterPowerManagement
{
public:
    NTSTATUS QueryInterface(REFIID, PVOID *object) override
    {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return ++m_Refs; }
    ULONG Release() override { return --m_Refs; }
    void PowerChangeState(POWER_STATE newState) override;
    NTSTATUS QueryPowerChangeState(POWER_STATE) override { return STATUS_SUCCESS; }
    NTSTATUS QueryDeviceCapabilities(PPC_DEVICE_CAPABILITIES) override { return STATUS_SUCCESS; }

    std::vector<DEVICE_POWER_STATE> States() const;
    void Clear();
    LONG Refs() const { return m_Refs; }

private:
    mutable std::mutex m_Guard;
    std::vector<DEVICE_POWER_STATE> m_States;
    std::atomic<LONG> m_Refs{0};
};

// The adapter's hooks. Every call is logged by name ("Lock", "Unlock", "SecondLock",
// "SecondUnlock", "StopLowLatency", "RestartLowLatency", "HandOverRunEvent", "CompleteHeldStop",
// "CreateDeviceObject"). Taking Lock while holding SecondLock, unbalanced unlocks and a held Stop
// completed under a lock are recorded as Faults().
class RecordingAdapterHooks final : public IUsbAdapterHooks
{
public:
    void Lock() override;
    void Unlock() override;
    void SecondLock() override;
    void SecondUnlock() override;
    PADAPTERPOWERMANAGEMENT DevicePower() override { return m_HavePower ? &power : nullptr; }
    BOOLEAN IsLowLatencyRunning() override { return lowLatencyRunning ? TRUE : FALSE; }
    void StopLowLatency() override;
    void RestartLowLatency() override;
    void HandOverRunEvent() override;
    void CompleteHeldStop() override;
    PURB GetSelectedConfiguration() override { return selection; }
    UCHAR GetInterfaceNumber() override { return interfaceNumber; }
    NTSTATUS CreateDeviceObject() override;

    std::vector<std::string> Calls() const;
    size_t Count(const std::string &call) const;
    void ClearCalls();
    std::vector<std::string> Faults() const;
    // Locks still held by anybody (the end-of-test check).
    int LocksHeld() const { return m_Lock.depth + m_Second.depth; }
    void SetDevicePower(bool present) { m_HavePower = present; }

    RecordingDevicePower power;
    bool lowLatencyRunning = false;
    bool heldStop = false; // a Stop is held: CompleteHeldStop carries it out once
    unsigned heldStopsCompleted = 0;
    PURB selection = nullptr;
    UCHAR interfaceNumber = 0;
    NTSTATUS createStatus = STATUS_SUCCESS;

private:
    // A mutex with its owner and depth, changed only by the thread that owns it.
    struct TrackedLock
    {
        CMutexLock mutex;
        int depth = 0;
        PKTHREAD owner = nullptr;
        bool HeldHere() const { return depth > 0 && owner == KeGetCurrentThread(); }
    };
    void Record(const std::string &call);
    void Fault(const std::string &what);
    void Acquire(TrackedLock &lock, const char *name);
    void Release(TrackedLock &lock, const char *name);
    void NeedLock(const char *call);

    TrackedLock m_Lock, m_Second;
    bool m_HavePower = true;
    mutable std::mutex m_Guard;
    std::vector<std::string> m_Calls, m_Faults;
};

// The adapter's unknown as the layer sees it: counts references so that a test can prove the layer
// gives back every one it takes.
class CountingUnknown final : public IUnknown
{
public:
    NTSTATUS QueryInterface(REFIID, PVOID *object) override
    {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG AddRef() override { return ULONG(++m_Refs); }
    ULONG Release() override { return ULONG(--m_Refs); }
    LONG Refs() const { return m_Refs; }

private:
    std::atomic<LONG> m_Refs{1};
};
