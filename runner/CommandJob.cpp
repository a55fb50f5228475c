#include "runner/CommandJob.h"

namespace {
const DWORD kPollMs = 100;
}  // namespace

bool CommandJob::Create() {
    m_job.Attach(::CreateJobObjectA(nullptr, nullptr));
    return static_cast<bool>(m_job);
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

bool CommandJob::WaitUntilEmpty(ULONGLONG deadline) const {
    for (;;) {
        unsigned long total = 0, active = 0;
        if (!Count(total, active) || active == 0) return true;
        DWORD pause = kPollMs;
        if (deadline) {
            ULONGLONG now = ::GetTickCount64();
            if (now >= deadline) return false;
            if (deadline - now < pause) pause = static_cast<DWORD>(deadline - now);
        }
        ::Sleep(pause);
    }
}
