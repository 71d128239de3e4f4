// The driver's mutex lock object: a kernel mutex behind a fixed table of six operations.
#pragma once

#include <ntkernel.h>

// Embedded in its owner (the stream engine, the adapter, the information node); each owner has its own.
// Callers run at PASSIVE_LEVEL. The mutex is recursive for its owning thread: every Lock (and every
// successful TryLock) needs its own Unlock. A kernel mutex has no shared mode, so the shared forms only
// report FALSE; no caller relies on them.
class CMutexLock final
{
public:
    // The operation table, in its fixed order.
    virtual BOOLEAN Lock();                       // waits without a time-out; TRUE once owned
    virtual BOOLEAN LockShared(ULONG reserved);   // does nothing, FALSE
    virtual BOOLEAN Unlock();                     // KeReleaseMutex (Wait FALSE); TRUE
    virtual BOOLEAN UnlockShared(ULONG reserved); // does nothing, FALSE
    virtual BOOLEAN TryLock();                    // zero time-out: TRUE only when the wait succeeded
    virtual BOOLEAN Release();                    // the same as Unlock

    CMutexLock();
    CMutexLock(const CMutexLock &) = delete;
    CMutexLock &operator=(const CMutexLock &) = delete;

private:
    KMUTEX m_Mutex;
};
typedef CMutexLock *PCMUTEXLOCK;

// A CMutexLock held for one scope.
class CMutexHold final
{
public:
    explicit CMutexHold(CMutexLock &lock) : m_Lock(lock) { m_Lock.Lock(); }
    ~CMutexHold() { m_Lock.Unlock(); }
    CMutexHold(const CMutexHold &) = delete;
    CMutexHold &operator=(const CMutexHold &) = delete;

private:
    CMutexLock &m_Lock;
};
