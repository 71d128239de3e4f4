// The driver's mutex lock object.
#include "driver/base/mutex_lock.h"

CMutexLock::CMutexLock()
{
    KeInitializeMutex(&m_Mutex, 0);
}

BOOLEAN CMutexLock::Lock()
{
    return KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS;
}

BOOLEAN CMutexLock::LockShared(ULONG)
{
    return FALSE;
}

BOOLEAN CMutexLock::Unlock()
{
    KeReleaseMutex(&m_Mutex, FALSE);
    return TRUE;
}

BOOLEAN CMutexLock::UnlockShared(ULONG)
{
    return FALSE;
}

BOOLEAN CMutexLock::TryLock()
{
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    return KeWaitForSingleObject(&m_Mutex, Executive, KernelMode, FALSE, &poll) == STATUS_SUCCESS;
}

BOOLEAN CMutexLock::Release()
{
    return Unlock();
}
