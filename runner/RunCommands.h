// The worker: the whole run of the kit's custom commands.
#pragma once

#include "runner/RunMode.h"

class CSarnikDlg;

// Runs the command sequence once, logging to the dialog when there is one (silent otherwise;
// unattended when mode says so, which never comes with a dialog). Returns Sarnik's exit code
// (RunExitCode): a failure inside the run ends it in order, reported in the log or a box.
int RunCommands(CSarnikDlg* dlg, const RunChoice& mode = RunChoice());
