#include "critsect.h"

#include "ErrorTables.h"
#include "KEException.h"

namespace {

// Made on first use and never deleted, so that locks in static storage can still wait while
// the process exits.
OSCriticalSection& EventCreationLock()
{
    static OSCriticalSection lock(true);
    return lock;
}

OSCriticalSection& WaitingBarrier()
{
    static OSCriticalSection lock(true);
    return lock;
}

HANDLE MakeAutoResetEvent()
{
    // Automatic reset: one SetEvent releases exactly one waiter.
    return CreateEventA(nullptr, FALSE, FALSE, nullptr);
}

CriticalSection::WaitEventMaker volatile g_makeWaitEvent = MakeAutoResetEvent;

}  // namespace

CriticalSection::WaitEventMaker CriticalSection::SetWaitEventMaker(WaitEventMaker maker)
{
    WaitEventMaker previous = g_makeWaitEvent;
    g_makeWaitEvent = maker ? maker : MakeAutoResetEvent;
    return previous;
}

CriticalSection::~CriticalSection()
{
    if (m_waitEvent)
        CloseHandle(m_waitEvent);
}

void CriticalSection::Enter()
{
    DWORD self = GetCurrentThreadId();
    if (m_owner == self) {
        ++m_recursionCount;
        return;
    }
    if (InterlockedIncrement(&m_lockCount) != 0)
        WaitForLock();
    m_owner = self;
    ++m_recursionCount;
}

void CriticalSection::Leave()
{
    // Another thread's leave would free the lock under its owner, and a leave of a free lock
    // would leave counts that block every later enter.
    if (m_owner != GetCurrentThreadId() || m_recursionCount <= 0)
        ThrowAssertion("CriticalSection::Leave called by a thread that does not own the lock", "CriticalSection::Leave",
                       KE_SOURCE_FILE, __LINE__, __TIME__);
    if (--m_recursionCount > 0)
        return;
    m_owner = 0;
    // A count still at 0 or above means someone has announced that it waits: hand over to one.
    if (InterlockedDecrement(&m_lockCount) < 0)
        return;
    HANDLE event = m_waitEvent;
    if (!event) {
        // The waiter has announced itself but not yet made the event. Leave runs in guards'
        // destructors and must not raise, so a refusal is left to the waiter to report.
        EventCreationLock().Enter();
        event = m_waitEvent;
        if (!event) {
            event = g_makeWaitEvent();
            if (event)
                m_waitEvent = event;
        }
        EventCreationLock().Leave();
    }
    if (event) {
        SetEvent(event);
        return;
    }
    // No event to set: leave the lock as a token the waiter takes. A waiter that made the event
    // meanwhile may already have looked for the token, so take it back and set that event.
    InterlockedExchange(&m_handOver, 1);
    event = m_waitEvent;
    if (event && InterlockedExchange(&m_handOver, 0) == 1)
        SetEvent(event);
}

HANDLE CriticalSection::GetWaitForLockEvent()
{
    HANDLE event = m_waitEvent;
    if (event)
        return event;
    OSCriticalSection& creation = EventCreationLock();
    creation.Enter();
    event = m_waitEvent;
    if (!event) {
        event = g_makeWaitEvent();
        if (!event) {
            DWORD error = GetLastError();
            creation.Leave();
            ThrowKEException(nullptr, "CriticalSection::GetWaitForLockEvent", KE_UNABLE_TO_ALLOCATE_SYSTEM_RESOURCE,
                             (int)error, KE_SOURCE_FILE, __LINE__, __TIME__);
        }
        m_waitEvent = event;
    }
    creation.Leave();
    return event;
}

void CriticalSection::WaitForLock()
{
    HANDLE event = GetWaitForLockEvent();
    // The owner may have left between our increment and now and already handed over, through
    // the event or, when it could not make one, through the token.
    if (InterlockedExchange(&m_handOver, 0) == 1)
        return;
    if (WaitForSingleObject(event, 0) == WAIT_OBJECT_0)
        return;
    WaitingBarrier().Enter();
    WaitingBarrier().Leave();
    WaitForSingleObject(event, INFINITE);
}

void CriticalSection::Signal()
{
    SetEvent(GetWaitForLockEvent());
}

OSCriticalSection::~OSCriticalSection()
{
    if (!m_static)
        DeleteCriticalSection(&m_section);
}

void OSCriticalSection::Initialize(bool isStatic)
{
    m_static = isStatic ? 1 : 0;
    InitializeCriticalSection(&m_section);
}

void OSCriticalSection::ThrowExceptionForResourceAllocationFailure()
{
    ThrowKEException(nullptr, "OSCriticalSection::ThrowExceptionForResourceAllocationFailure",
                     KE_UNABLE_TO_ALLOCATE_SYSTEM_RESOURCE, 0, KE_SOURCE_FILE, __LINE__, __TIME__);
}
