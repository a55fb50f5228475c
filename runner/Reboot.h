// The restart question at the end of a run.
#pragma once

class RunReport;

// Asks whether to restart Windows now and restarts on Yes. Returns whether the restart was
// asked for and accepted by Windows; otherwise the restart is still due.
bool AskRebootAndRestart(RunReport& report);

// Enables the privilege in the process token and asks Windows to restart. Returns whether the
// request was accepted. The privilege is a parameter so that the path where it cannot be enabled
// can be reached on purpose.
bool RestartSystem(const char* privilege = "SeShutdownPrivilege");
