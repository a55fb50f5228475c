// The framework's recursive lock, met by real threads.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ErrorTables.h"
#include "KEException.h"
#include "critsect.h"

namespace {

TEST(CriticalSection, RecursionByOneThreadNeedsNoEvent)
{
    CriticalSection lock;
    const DWORD self = GetCurrentThreadId();
    for (int level = 1; level <= 3; ++level) {
        lock.Enter();
        EXPECT_EQ(lock.GetOwner(), self) << "level " << level;
        EXPECT_EQ(lock.GetRecursionCount(), level);
        EXPECT_EQ(lock.GetLockCount(), 0) << "re-entry must not count as another thread";
    }
    for (int level = 2; level >= 0; --level) {
        lock.Leave();
        EXPECT_EQ(lock.GetRecursionCount(), level);
        EXPECT_EQ(lock.GetOwner(), level > 0 ? self : 0u) << "level " << level;
        EXPECT_EQ(lock.GetLockCount(), level > 0 ? 0 : -1) << "level " << level;
    }
    EXPECT_FALSE(lock.HasWaitEvent());
}

TEST(CriticalSection, GuardLeavesOnReleaseAndOnScopeEnd)
{
    CriticalSection lock;
    {
        CriticalSectionGuard outer(lock);
        {
            CriticalSectionGuard inner(lock);
            EXPECT_EQ(lock.GetRecursionCount(), 2);
            inner.Release();
            EXPECT_EQ(lock.GetRecursionCount(), 1);
        }
        EXPECT_EQ(lock.GetRecursionCount(), 1) << "a released guard must not leave twice";
    }
    EXPECT_EQ(lock.GetOwner(), 0u);
    EXPECT_EQ(lock.GetLockCount(), -1);
}

TEST(CriticalSection, BlockedThreadBecomesOwnerAfterLastLeave)
{
    CriticalSection lock;
    lock.Enter();
    lock.Enter();

    std::atomic<int> stage{0};
    DWORD waiterId = 0;
    DWORD ownerSeenByWaiter = 0;
    HANDLE eventSeenByWaiter = nullptr;
    std::thread waiter([&] {
        waiterId = GetCurrentThreadId();
        stage = 1;
        lock.Enter();
        ownerSeenByWaiter = lock.GetOwner();
        stage = 2;
        lock.Leave();
        eventSeenByWaiter = lock.GetWaitForLockEvent();
    });
    // The waiter announces itself by raising the lock count to 1.
    for (int i = 0; i < 500 && lock.GetLockCount() < 1; ++i)
        Sleep(10);
    ASSERT_EQ(lock.GetLockCount(), 1);
    EXPECT_TRUE(lock.HasWaitEvent()) << "contention makes the event";

    lock.Leave();
    Sleep(100);
    EXPECT_EQ(stage.load(), 1) << "a leave before the last level must keep the lock";
    EXPECT_EQ(lock.GetOwner(), GetCurrentThreadId());

    lock.Leave();
    waiter.join();
    EXPECT_EQ(stage.load(), 2);
    EXPECT_EQ(ownerSeenByWaiter, waiterId);
    EXPECT_EQ(lock.GetLockCount(), -1);
    EXPECT_EQ(lock.GetOwner(), 0u);
    // The one SetEvent was consumed by the waiter: the event is not left signalled.
    EXPECT_EQ(WaitForSingleObject(eventSeenByWaiter, 0), (DWORD)WAIT_TIMEOUT);
}

TEST(CriticalSection, ManyThreadsLoseNoIncrement)
{
    CriticalSection lock;
    const int threads = 8, rounds = 5000;
    long counter = 0;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                CriticalSectionGuard guard(lock);
                // A read, a yield now and then, and a write: an unguarded pair would lose updates.
                long seen = counter;
                if (i % 64 == 0)
                    SwitchToThread();
                {
                    CriticalSectionGuard nested(lock);
                    counter = seen + 1;
                }
            }
        });
    }
    for (auto& w : workers)
        w.join();
    EXPECT_EQ(counter, (long)threads * rounds);
    EXPECT_EQ(lock.GetLockCount(), -1);
    EXPECT_EQ(lock.GetOwner(), 0u);
}

TEST(CriticalSection, StaticInstanceIsReadyBeforeConstructorsRun)
{
    static CriticalSection lock;
    EXPECT_EQ(lock.GetLockCount(), -1);
    EXPECT_EQ(lock.GetOwner(), 0u);
    EXPECT_FALSE(lock.HasWaitEvent());
}

TEST(OSCriticalSection, ExcludesOtherThreadsUntilLastLeave)
{
    OSCriticalSection lock;
    lock.Enter();
    lock.Enter();
    std::atomic<bool> otherInside{false};
    std::thread other([&] {
        lock.Enter();
        otherInside = true;
        lock.Leave();
    });
    lock.Leave();
    Sleep(100);
    EXPECT_FALSE(otherInside.load()) << "one leave of two must keep the lock";
    lock.Leave();
    other.join();
    EXPECT_TRUE(otherInside.load());
}

TEST(OSCriticalSection, AllocationFailureIsReportedAsSystemResource)
{
    try {
        OSCriticalSection::ThrowExceptionForResourceAllocationFailure();
    } catch (const KEException& e) {
        EXPECT_EQ(e.GetErrorCode(), KE_UNABLE_TO_ALLOCATE_SYSTEM_RESOURCE);
        EXPECT_STREQ(e.GetFunction(), "OSCriticalSection::ThrowExceptionForResourceAllocationFailure");
        return;
    }
    ADD_FAILURE() << "nothing raised";
}

}  // namespace
