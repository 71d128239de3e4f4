// An in-stack queued spin lock taken in the form the current IRQL allows, for code that runs both on
// the property path (PASSIVE_LEVEL) and on the audio path (DISPATCH_LEVEL) under one lock.
#pragma once

#include <ntkernel.h>

// Below DISPATCH_LEVEL the ordinary form (raises, restores the IRQL at release); at DISPATCH_LEVEL the
// at-DPC-level form. Held for the guard's scope; not recursive.
class CQueuedLockGuard
{
public:
    explicit CQueuedLockGuard(KSPIN_LOCK &lock) : m_AtDpc(KeGetCurrentIrql() >= DISPATCH_LEVEL)
    {
        if (m_AtDpc)
            KeAcquireInStackQueuedSpinLockAtDpcLevel(&lock, &m_Handle);
        else
            KeAcquireInStackQueuedSpinLock(&lock, &m_Handle);
    }
    ~CQueuedLockGuard()
    {
        if (m_AtDpc)
            KeReleaseInStackQueuedSpinLockFromDpcLevel(&m_Handle);
        else
            KeReleaseInStackQueuedSpinLock(&m_Handle);
    }
    CQueuedLockGuard(const CQueuedLockGuard &) = delete;
    CQueuedLockGuard &operator=(const CQueuedLockGuard &) = delete;

private:
    KLOCK_QUEUE_HANDLE m_Handle;
    BOOLEAN m_AtDpc;
};
