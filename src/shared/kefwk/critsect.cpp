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

}  // namespace

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
    if (--m_recursionCount > 0)
        return;
    m_owner = 0;
    // A count still at 0 or above means someone has announced that it waits: hand over to one.
    if (InterlockedDecrement(&m_lockCount) >= 0)
        Signal();
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
        // Automatic reset: one SetEvent releases exactly one waiter.
        event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
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
    // The owner may have left between our increment and now and already handed over.
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
