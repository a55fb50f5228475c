#include "runner/CommandJob.h"

namespace {
// How long ending the job's processes may take before the run goes on without seeing them gone.
const DWORD kEndWaitMs = 5000;
}  // namespace

bool CommandJob::Create() {
    m_job.Attach(::CreateJobObjectA(nullptr, nullptr));
    if (!m_job) return false;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (!::SetInformationJobObject(m_job.Get(), JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        DWORD error = ::GetLastError();
        m_job.Close();
        ::SetLastError(error);
        return false;
    }
    return true;
}

bool CommandJob::Assign(HANDLE process) {
    return m_job && ::AssignProcessToJobObject(m_job.Get(), process) != FALSE;
}

bool CommandJob::Count(unsigned long& total, unsigned long& active) const {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info = {};
    if (!m_job || !::QueryInformationJobObject(m_job.Get(), JobObjectBasicAccountingInformation, &info,
                                               sizeof info, nullptr))
        return false;
    total = info.TotalProcesses;
    active = info.ActiveProcesses;
    return true;
}

bool CommandJob::WaitUntilEmpty(const Deadline& deadline, WaitService* service) const {
    return PollUntil(deadline, [this] {
        unsigned long total = 0, active = 0;
        return !Count(total, active) || active == 0;
    }, nullptr, service);
}

bool CommandJob::Terminate(UINT exitCode) const {
    if (!m_job || !::TerminateJobObject(m_job.Get(), exitCode)) return false;
    WaitUntilEmpty(Deadline::In(kEndWaitMs));
    return true;
}
