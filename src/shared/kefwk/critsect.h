// The framework's recursive lock and the operating system's critical section.
//
// Classes in this file:
//   CriticalSection       recursive lock; an uncontended enter and leave are two atomic
//                         operations, and the wait event is made only when a thread first waits
//   CriticalSectionGuard  enters a CriticalSection on construction, leaves it on release
//   OSCriticalSection     the system's CRITICAL_SECTION, for the framework's own process-wide locks
#pragma once

#include <windows.h>

class CriticalSection {
public:
    // constexpr so that instances in static storage are ready before any constructor runs.
    constexpr CriticalSection()
        : m_lockCount(-1), m_reserved(0), m_recursionCount(0), m_owner(0), m_waitEvent(nullptr), m_handOver(0)
    {
    }
    ~CriticalSection();
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

    // Blocks until the lock is the caller's; the owner may enter again. Raises
    // KE_UNABLE_TO_ALLOCATE_SYSTEM_RESOURCE when the wait event cannot be made.
    void Enter();
    // By the owner only; the last level hands the lock to one waiter. A leave by another thread
    // or of a free lock is a program error (ThrowAssertion) and changes nothing. Never raises
    // anything else: a wait event that cannot be made is reported in the waiting thread.
    void Leave();

    // The wait event, made on first need.
    HANDLE GetWaitForLockEvent();
    void WaitForLock();
    void Signal();

    // How wait events are made (CreateEventA unless replaced); returns the previous maker. Lets
    // tests reach the paths where the system refuses the event.
    using WaitEventMaker = HANDLE (*)();
    static WaitEventMaker SetWaitEventMaker(WaitEventMaker maker);

    // State, for diagnostics and tests.
    LONG GetLockCount() const { return m_lockCount; }
    DWORD GetOwner() const { return m_owner; }
    LONG GetRecursionCount() const { return m_recursionCount; }
    bool HasWaitEvent() const { return m_waitEvent != nullptr; }

private:
    // -1 when free; else the threads holding or wanting the lock, less one. Changed only by
    // interlocked operations.
    volatile LONG m_lockCount;
    DWORD m_reserved;
    LONG m_recursionCount;
    volatile DWORD m_owner;
    HANDLE volatile m_waitEvent;
    // 1 when a leave had a waiter to hand over to but no event to set it with; the next thread
    // that waits takes the lock through it.
    volatile LONG m_handOver;
};

class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CriticalSection& lock) : m_lock(&lock), m_held(false)
    {
        m_lock->Enter();
        m_held = true;
    }
    ~CriticalSectionGuard() { Release(); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

    void Release()
    {
        if (m_held) {
            m_held = false;
            m_lock->Leave();
        }
    }

private:
    CriticalSection* m_lock;
    bool m_held;
};

class OSCriticalSection {
public:
    // A static instance is never deleted: it may still be used while the process exits.
    explicit OSCriticalSection(bool isStatic = false) { Initialize(isStatic); }
    ~OSCriticalSection();
    OSCriticalSection(const OSCriticalSection&) = delete;
    OSCriticalSection& operator=(const OSCriticalSection&) = delete;

    void Enter() { EnterCriticalSection(&m_section); }
    void Leave() { LeaveCriticalSection(&m_section); }
    // True when the section was free (or already this thread's) and is now entered once more.
    bool TryEnter() { return TryEnterCriticalSection(&m_section) != FALSE; }

    [[noreturn]] static void ThrowExceptionForResourceAllocationFailure();

private:
    void Initialize(bool isStatic);

    CRITICAL_SECTION m_section;
    LONG m_static;
};
