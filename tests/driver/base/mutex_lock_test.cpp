// The mutex lock: recursion for the owner, a zero-time-out try from another thread, blocking Lock.
#include "driver/base/mutex_lock.h"
#include "support/kernel_test.h"

namespace
{

// Runs Lock (or TryLock) on a system thread, unlocking again when it got the mutex.
struct Contender
{
    CMutexLock *lock;
    bool block;
    BOOLEAN got = FALSE;
    bool done = false;
    PVOID thread = nullptr;

    static VOID Run(PVOID context)
    {
        auto *c = static_cast<Contender *>(context);
        c->got = c->block ? c->lock->Lock() : c->lock->TryLock();
        if (c->got)
            c->lock->Unlock();
        c->done = true;
        PsTerminateSystemThread(STATUS_SUCCESS);
    }
    void Start()
    {
        HANDLE handle = nullptr;
        ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, Run, this), 0);
        ASSERT_EQ(
            ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, *PsThreadType, KernelMode, &thread, nullptr),
            0);
        ZwClose(handle);
    }
    // Waits for the thread's end, `relative` 100 ns at most (0: no limit).
    NTSTATUS Wait(LONGLONG relative = 0)
    {
        LARGE_INTEGER timeout;
        timeout.QuadPart = relative;
        const NTSTATUS status =
            KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, relative ? &timeout : nullptr);
        if (status == STATUS_SUCCESS)
            ObDereferenceObject(thread);
        return status;
    }
};

using MutexLockTest = KernelTest;

TEST_F(MutexLockTest, OwnerMayLockAgainAndOthersTryInVain)
{
    CMutexLock lock;
    EXPECT_TRUE(lock.Lock());
    EXPECT_TRUE(lock.Lock());
    EXPECT_TRUE(lock.TryLock()); // the owner's try succeeds too
    EXPECT_FALSE(lock.LockShared(0));
    EXPECT_FALSE(lock.UnlockShared(0));
    EXPECT_TRUE(lock.Unlock());
    EXPECT_TRUE(lock.Release());

    Contender tryer{&lock, false}; // still held once: the try fails at once
    tryer.Start();
    EXPECT_EQ(tryer.Wait(), STATUS_SUCCESS);
    EXPECT_TRUE(tryer.done);
    EXPECT_FALSE(tryer.got);

    EXPECT_TRUE(lock.Unlock());
    Contender second{&lock, false};
    second.Start();
    EXPECT_EQ(second.Wait(), STATUS_SUCCESS);
    EXPECT_TRUE(second.got);
}

TEST_F(MutexLockTest, LockWaitsForTheOwner)
{
    CMutexLock lock;
    ASSERT_TRUE(lock.Lock());
    Contender waiter{&lock, true};
    waiter.Start();
    EXPECT_EQ(waiter.Wait(-100'000'000LL), STATUS_TIMEOUT); // ten virtual seconds, still waiting
    EXPECT_FALSE(waiter.done);
    EXPECT_TRUE(lock.Unlock());
    EXPECT_EQ(waiter.Wait(), STATUS_SUCCESS);
    EXPECT_TRUE(waiter.got);
    EXPECT_TRUE(lock.TryLock()); // the waiter gave it back
    EXPECT_TRUE(lock.Unlock());
}

} // namespace
