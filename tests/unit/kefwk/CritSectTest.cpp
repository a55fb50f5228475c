// The framework's recursive lock, met by real threads.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "ErrorTables.h"
#include "KEException.h"
#include "critsect.h"
#include "unit/kefwk/FrameworkTestSupport.h"

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
    // The waiter announces itself by raising the lock count to 1, then makes the event.
    for (int i = 0; i < 500 && (lock.GetLockCount() < 1 || !lock.HasWaitEvent()); ++i)
        Sleep(10);
    ASSERT_EQ(lock.GetLockCount(), 1);
    EXPECT_TRUE(lock.HasWaitEvent()) << "contention makes the event";

    lock.Leave();
    // The waiter is announced and waits on the event: a lock let go here would have changed hands
    // (owner, level) or dropped the announcement before these reads.
    EXPECT_EQ(stage.load(), 1) << "a leave before the last level must keep the lock";
    EXPECT_EQ(lock.GetOwner(), GetCurrentThreadId());
    EXPECT_EQ(lock.GetRecursionCount(), 1);
    EXPECT_EQ(lock.GetLockCount(), 1) << "the waiter is still announced";

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

// A lock defined after this reader in the same unit: the reader's constructor runs first, so it
// sees the lock as static initialisation left it. Only a constant-initialised lock is free then;
// a lock built by a run-time constructor would still be all zeros. The compiler may still choose
// to initialise a plain constructor's object statically, so the build insists on it as well
// (__constinit, the compiler's form of C++20 constinit).
extern CriticalSection g_lockDefinedLater;
struct EarlyReader {
    LONG lockCount = g_lockDefinedLater.GetLockCount();
    DWORD owner = g_lockDefinedLater.GetOwner();
    LONG recursion = g_lockDefinedLater.GetRecursionCount();
} g_earlyReader;
__constinit CriticalSection g_lockDefinedLater;

TEST(CriticalSection, StaticInstanceIsReadyBeforeConstructorsRun)
{
    EXPECT_EQ(g_earlyReader.lockCount, -1);
    EXPECT_EQ(g_earlyReader.owner, 0u);
    EXPECT_EQ(g_earlyReader.recursion, 0);
    g_lockDefinedLater.Enter();
    g_lockDefinedLater.Leave();
    EXPECT_EQ(g_lockDefinedLater.GetLockCount(), -1);
}

// Runs f on a thread of its own and reports whether it ended within the time; a thread that
// hangs is left behind so that the test fails instead of hanging.
template <class F>
bool EndsWithin(DWORD milliseconds, F f)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread t([f, done] {
        f();
        *done = true;
    });
    for (DWORD waited = 0; waited < milliseconds && !*done; waited += 10)
        Sleep(10);
    if (*done) {
        t.join();
        return true;
    }
    t.detach();
    return false;
}

TEST(CriticalSection, LeaveByAStrangerOrOfAFreeLockIsRefused)
{
    CriticalSection lock;
    // A free lock.
    EXPECT_EQ(kefwktest::Raised([&] { lock.Leave(); }).GetErrorCode(), KE_PROGRAM_ERROR);
    EXPECT_EQ(lock.GetLockCount(), -1);
    EXPECT_EQ(lock.GetRecursionCount(), 0);

    // Held by this thread, left by another.
    lock.Enter();
    int stranger = 0;
    std::thread([&] {
        try {
            lock.Leave();
        } catch (const KEException& e) {
            stranger = e.GetErrorCode();
        }
    }).join();
    EXPECT_EQ(stranger, KE_PROGRAM_ERROR);
    EXPECT_EQ(lock.GetOwner(), GetCurrentThreadId());
    EXPECT_EQ(lock.GetRecursionCount(), 1);
    EXPECT_EQ(lock.GetLockCount(), 0);
    std::atomic<bool> otherInside{false};
    std::thread other([&] {
        CriticalSectionGuard guard(lock);
        otherInside = true;
    });
    // The other thread announces itself as a waiter (lock count 1) when the lock is held; into a
    // free lock it would have gone straight in.
    ASSERT_TRUE(EndsWithin(10000, [&] {
        while (lock.GetLockCount() < 1 && !otherInside.load()) Sleep(1);
    }));
    EXPECT_FALSE(otherInside.load()) << "the stranger's leave must not free the lock";
    lock.Leave();
    other.join();
    EXPECT_TRUE(otherInside.load());

    // After all that the lock still works without blocking.
    EXPECT_TRUE(EndsWithin(5000, [&] {
        CriticalSectionGuard guard(lock);
    }));
    EXPECT_EQ(lock.GetLockCount(), -1);
}

HANDLE NoEvent()
{
    SetLastError(ERROR_NO_SYSTEM_RESOURCES);
    return nullptr;
}

TEST(CriticalSection, AnEventThatCannotBeMadeIsRaisedInTheWaitingThread)
{
    CriticalSection lock;
    struct MakerRestorer {
        CriticalSection::WaitEventMaker previous = CriticalSection::SetWaitEventMaker(NoEvent);
        ~MakerRestorer() { CriticalSection::SetWaitEventMaker(previous); }
    } refuse;
    int waiterError = 0;
    int waiterApiError = 0;
    {
        CriticalSectionGuard guard(lock);
        std::thread([&] {
            try {
                lock.Enter();
                lock.Leave();
            } catch (const KEException& e) {
                waiterError = e.GetErrorCode();
                waiterApiError = e.GetAPIErrorCode();
            }
        }).join();
        // The guard's leave finds an announced waiter and no event; it must not raise from the
        // destructor (that would end the process).
    }
    EXPECT_EQ(waiterError, KE_UNABLE_TO_ALLOCATE_SYSTEM_RESOURCE);
    EXPECT_EQ(waiterApiError, (int)ERROR_NO_SYSTEM_RESOURCES);
    EXPECT_FALSE(lock.HasWaitEvent());
    EXPECT_EQ(lock.GetOwner(), 0u);

    // Once events can be made again the lock is usable by every thread.
    CriticalSection::SetWaitEventMaker(refuse.previous);
    for (int round = 0; round < 3; ++round) {
        EXPECT_TRUE(EndsWithin(5000, [&] {
            CriticalSectionGuard guard(lock);
        })) << "round " << round;
    }
}

TEST(OSCriticalSection, ExcludesOtherThreadsUntilLastLeave)
{
    OSCriticalSection lock;
    lock.Enter();
    lock.Enter();
    lock.Leave();
    // A thread that tries now must find the lock taken.
    bool probeGotIn = true;
    std::thread([&] {
        probeGotIn = lock.TryEnter();
        if (probeGotIn) lock.Leave();
    }).join();
    EXPECT_FALSE(probeGotIn) << "one leave of two must keep the lock";
    std::atomic<bool> otherInside{false};
    std::thread other([&] {
        lock.Enter();
        otherInside = true;
        lock.Leave();
    });
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
