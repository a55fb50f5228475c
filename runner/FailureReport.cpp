#include "runner/FailureReport.h"

#include <windows.h>

#include "app/SarnikDlg.h"
#include "runner/CommandFile.h"

namespace {
const LANGID kUserDefaultLanguage = 0x0400;
}  // namespace

bool ReportStartFailure(CSarnikDlg* dlg, int index, int count, const std::string& command) {
    DWORD code = ::GetLastError();

    // Insert sequences are ignored: system texts such as "... %1" would otherwise make
    // FormatMessageA read arguments that nobody passed.
    char message[1024];
    if (!::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                          0, message, sizeof message, nullptr))
        message[0] = '\0';

    std::string format = GetDisplayText("errorMsg");
    std::string title = GetDisplayText("errorTitle");
    std::string text = FormatDisplayText(format, DefaultDisplayText("errorMsg"), "dss", static_cast<int>(code),
                                         command.c_str(), message);
    AppendLogLine(dlg, text.c_str());
    if (dlg) return false;
    return AskContinue(text, title, index, count);
}

bool AskContinue(const std::string& failureText, const std::string& title, int index, int count) {
    std::string text = failureText;
    UINT buttons = MB_OK;
    if (index != count - 1) {
        text += GetDisplayText("ContinueRunningMsg");
        buttons = MB_YESNO;
    }
    int answer = ::MessageBoxExA(nullptr, text.c_str(), title.c_str(), buttons, kUserDefaultLanguage);
    return answer == IDNO;
}
