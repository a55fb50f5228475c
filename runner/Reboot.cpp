#include "runner/Reboot.h"

#include <windows.h>

#include <string>

#include "runner/CommandFile.h"
#include "runner/RunReport.h"
#include "runner/ScopedHandle.h"

namespace {
bool AdjustPrivilege(HANDLE token, const LUID& id, DWORD attributes) {
    TOKEN_PRIVILEGES privileges = {};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = id;
    privileges.Privileges[0].Attributes = attributes;
    return ::AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr) != FALSE;
}
}  // namespace

bool AskRebootAndRestart(RunReport& report) {
    return report.Ask(Question::Restart, DisplayText("rebootMsg"), DisplayText("rebootTitle"), MB_YESNO | MB_SYSTEMMODAL) ==
               IDYES &&
           RestartSystem();
}

bool RestartSystem(const char* privilege) {
    HANDLE raw = nullptr;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw))
        return false;
    ScopedHandle token(raw);

    LUID id = {};
    if (!::LookupPrivilegeValueA(nullptr, privilege, &id)) return false;
    // AdjustTokenPrivileges succeeds even when the token lacks the privilege; only the last
    // error (ERROR_NOT_ALL_ASSIGNED) tells.
    ::SetLastError(ERROR_SUCCESS);
    AdjustPrivilege(token.Get(), id, SE_PRIVILEGE_ENABLED);
    if (::GetLastError() != ERROR_SUCCESS) return false;

    if (!::ExitWindowsEx(EWX_REBOOT, 0)) {
        AdjustPrivilege(token.Get(), id, 0);
        return false;
    }
    return true;
}
