// The one way the run waits: a Deadline, and PollUntil, which asks one question every kPollMs
// until it is answered or the deadline has passed. Every wait of the run goes through them: the
// parent installer, a command's process and job, the setup engine's and the Windows Installer's
// mutexes.
//
// Classes in this file:
//   Deadline   a moment on the 64-bit tick count, or none (no limit)
#pragma once

#include <windows.h>

#include <functional>

// The interval of every poll. Short enough that a wait ends soon after its cause, long enough
// that a wait of hours costs nothing.
const DWORD kPollMs = 100;

class Deadline {
public:
    // No limit: Passed() is never true.
    Deadline() = default;
    // ms from now (GetTickCount64, which does not wrap).
    static Deadline In(ULONGLONG ms);
    // seconds from now; 0 seconds is no limit, as CommandTimeout means it.
    static Deadline InSeconds(unsigned long seconds);

    bool Limited() const { return m_at != 0; }
    bool Passed() const;
    // The longest pause that does not pass the deadline: ms, or the time left when that is less.
    DWORD Within(DWORD ms) const;

private:
    ULONGLONG m_at = 0;
};

// Work the run does while it waits for a command: reading what the command writes, so that a
// command that fills its pipe is not held up by the wait. A pause ends the moment one of its
// handles is signalled, and Serve is called before each question.
class WaitService {
public:
    static const size_t kMaxHandles = 4;
    virtual ~WaitService() = default;
    // The handles whose signal asks for Serve, at most kMaxHandles; they may change after Serve.
    virtual size_t Handles(HANDLE* handles) const = 0;
    // Takes what has come, without waiting.
    virtual void Serve() = 0;
};

// Asks ready() at once and then after each pause of kPollMs, until it answers true (returns
// true) or the deadline has passed (returns false). A pause is a wait on wake when one is given,
// so that it ends the moment that object is signalled (a process that ends); a handle that cannot
// be waited on pauses the whole interval. With a service, the pause also ends when the service's
// handles are signalled, and the service is served before every question.
bool PollUntil(const Deadline& deadline, const std::function<bool()>& ready, HANDLE wake = nullptr,
               WaitService* service = nullptr);
