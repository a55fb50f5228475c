#include "runner/Wait.h"

Deadline Deadline::In(ULONGLONG ms) {
    Deadline d;
    // A deadline of 0 ms has passed already; the tick count is never 0 after the first
    // millisecond of the system's life, so 0 stays free to mean no limit.
    d.m_at = ::GetTickCount64() + ms;
    if (d.m_at == 0) d.m_at = 1;
    return d;
}

Deadline Deadline::InSeconds(unsigned long seconds) {
    return seconds ? In(static_cast<ULONGLONG>(seconds) * 1000ull) : Deadline();
}

bool Deadline::Passed() const { return m_at != 0 && ::GetTickCount64() >= m_at; }

DWORD Deadline::Within(DWORD ms) const {
    if (!m_at) return ms;
    ULONGLONG now = ::GetTickCount64();
    if (now >= m_at) return 0;
    return m_at - now < ms ? static_cast<DWORD>(m_at - now) : ms;
}

bool PollUntil(const Deadline& deadline, const std::function<bool()>& ready, HANDLE wake, WaitService* service) {
    for (;;) {
        if (service) service->Serve();
        if (ready()) return true;
        if (deadline.Passed()) return false;
        DWORD pause = deadline.Within(kPollMs);
        HANDLE handles[1 + WaitService::kMaxHandles];
        DWORD count = 0;
        if (wake) handles[count++] = wake;
        if (service) count += static_cast<DWORD>(service->Handles(handles + count));
        if (!count || ::WaitForMultipleObjects(count, handles, FALSE, pause) == WAIT_FAILED) ::Sleep(pause);
    }
}
