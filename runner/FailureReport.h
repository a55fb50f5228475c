// Reporting a command that could not be started.
#pragma once

#include <string>

class RunReport;
struct SystemLibraryNote;

// The system's message for an error code as FormatMessageA gives it (usually ending in CR LF),
// or the empty text when the system has none.
std::string SystemMessage(unsigned long code);
// The same without the line end it usually carries; "error <code>" when the system has none.
std::string ShortSystemMessage(unsigned long code);

// The log line that says why a system DLL could not be bound and what the run does without it
// (MsiUnavailableMsg, VersionUnavailableMsg).
std::string SystemLibraryNoteLine(const SystemLibraryNote& note);

// Reports a command that could not be started, error being the system's code of the failed call
// (taken at once, before any other call could change the thread's last error). The failure text
// is the log line; in silent mode the user is also asked whether to go on. Returns true when the
// run must stop.
bool ReportStartFailure(RunReport& report, int index, int count, const std::string& command, unsigned long error);

// The same report for a command that is not started because it holds, or uses, a text the ANSI
// code page cannot represent: the error code is ERROR_NO_UNICODE_TRANSLATION (1113) and reason
// (MacroRefusedMsg, CommandRefusedMsg) takes the place of the system's message.
bool ReportRefusedCommand(RunReport& report, int index, int count, const std::string& command,
                          const std::string& reason);

// Shows the failure in a message box: OK alone for the last command, Yes/No otherwise.
// Returns true only for the answer No; a box that cannot be shown is no answer.
bool AskContinue(RunReport& report, const std::string& failureText, const std::string& title, int index, int count);
