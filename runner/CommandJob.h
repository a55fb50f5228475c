// A job object of a command's own, so that the run can wait for every process the command starts
// (bootstrappers, "cmd /c start", self-extractors that hand over and exit).
#pragma once

#include <windows.h>

#include "runner/ScopedHandle.h"
#include "runner/Wait.h"

class CommandJob {
public:
    // Makes an unnamed job whose processes may break away: a process that a command starts with
    // CREATE_BREAKAWAY_FROM_JOB (bootstrappers and some installers start their helpers so) leaves
    // the job, as it asks, and is not waited for. Closing the job kills nothing, so a command that
    // outlives its wait keeps running. On failure the job is empty and GetLastError holds the
    // reason.
    bool Create();
    explicit operator bool() const { return static_cast<bool>(m_job); }

    // Puts a process started with CREATE_SUSPENDED into the job before it can start another.
    // Jobs nest (Windows 8 and later, and Wine): a run inside a deployment tool's job still gets
    // a job of its own per command. False, with GetLastError, when the system refuses.
    bool Assign(HANDLE process);

    // Processes ever in the job (the command and all it started) and those still running; false
    // when the job cannot be queried.
    bool Count(unsigned long& total, unsigned long& active) const;

    // Waits until no process of the job is left, polling every kPollMs, or until the deadline.
    // Returns false when the deadline came first. A job that cannot be queried counts as empty.
    // service (the command's output) is served while the job's processes run.
    bool WaitUntilEmpty(const Deadline& deadline, WaitService* service = nullptr) const;

    // Ends every process of the job with exitCode and waits a few seconds at most until none is
    // left. False, with GetLastError, when the system refuses.
    bool Terminate(UINT exitCode) const;

    void Close() { m_job.Close(); }

private:
    ScopedHandle m_job;
};
