// Reporting a command that could not be started.
#pragma once

#include <string>

class CSarnikDlg;

// Call right after the failed start, before anything can change the thread's last error.
// Logs the failure text; in silent mode also asks whether to go on. Returns true when the run
// must stop.
bool ReportStartFailure(CSarnikDlg* dlg, int index, int count, const std::string& command);

// Shows the failure in a message box: OK alone for the last command, Yes/No otherwise.
// Returns true only for the answer No; a box that cannot be shown is no answer.
bool AskContinue(const std::string& failureText, const std::string& title, int index, int count);
