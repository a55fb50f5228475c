#include "runner/FailureReport.h"

#include <windows.h>

#include <cstring>

#include "installer/SystemLibrary.h"
#include "runner/CommandFile.h"
#include "runner/RunReport.h"

std::string SystemMessage(unsigned long code) {
    // Insert sequences are ignored: system texts such as "... %1" would otherwise make
    // FormatMessageA read arguments that nobody passed.
    char message[1024];
    if (!::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                          0, message, sizeof message, nullptr))
        message[0] = '\0';
    return message;
}

std::string ShortSystemMessage(unsigned long code) {
    std::string message = SystemMessage(code);
    while (!message.empty() && (message.back() == '\r' || message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    if (message.empty()) message = "error " + std::to_string(code);
    return message;
}

std::string SystemLibraryNoteLine(const SystemLibraryNote& note) {
    if (std::strcmp(note.library, "comctl32.dll") == 0) return DisplayText("LocalFolderMsg", LocalRedirection());
    const char* key = std::strcmp(note.library, "msi.dll") == 0 ? "MsiUnavailableMsg" : "VersionUnavailableMsg";
    return DisplayText(key, ShortSystemMessage(note.error));
}

namespace {
bool ReportCommandFailure(RunReport& report, int index, int count, const std::string& command, unsigned long code,
                          const std::string& message) {
    std::string text = DisplayText("errorMsg", static_cast<int>(code), command, message);
    report.CommandFailed(index, command, code, text);
    if (!report.Silent()) return false;
    return AskContinue(report, text, DisplayText("errorTitle"), index, count);
}
}  // namespace

bool ReportStartFailure(RunReport& report, int index, int count, const std::string& command, unsigned long error) {
    return ReportCommandFailure(report, index, count, command, error, SystemMessage(error));
}

bool ReportRefusedCommand(RunReport& report, int index, int count, const std::string& command,
                          const std::string& reason) {
    return ReportCommandFailure(report, index, count, command, ERROR_NO_UNICODE_TRANSLATION, reason);
}

bool AskContinue(RunReport& report, const std::string& failureText, const std::string& title, int index, int count) {
    std::string text = failureText;
    UINT buttons = MB_OK;
    if (index != count - 1) {
        text += DisplayText("ContinueRunningMsg");
        buttons = MB_YESNO;
    }
    return report.Ask(Question::ContinueAfterFailure, text, title, buttons) == IDNO;
}
