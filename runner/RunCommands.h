// The worker: the whole run of the kit's custom commands.
#pragma once

#include "runner/RunMode.h"

#include <string>

class ProgressView;

// Runs the command sequence once for the program's command-line arguments (without its own
// name, as the system holds them: wide), logging to the progress view when there is one (silent
// otherwise; unattended when mode says so, which never comes with a view). Returns Sarnik's exit
// code (RunExitCode): a failure inside the run ends it in order, reported in the log or a box.
int RunCommands(ProgressView* view, const std::wstring& arguments, const RunChoice& mode = RunChoice());
