// How a run meets its user: the progress dialog, silent (message boxes only), or unattended (no
// window at all, every question answered with its documented default). Chosen by the shell
// before the run through the runner's own reading of the command file.
#pragma once

#include <string>

enum class RunMode { Dialog, Silent, Unattended };

struct RunChoice {
    RunMode mode = RunMode::Dialog;
    // Why the run is unattended ("Unattended=TRUE", "the window station is not visible",
    // "session 0"); empty otherwise.
    std::string reason;
};

// Whether nobody can answer a question put by this process: its window station is not visible
// (a service's or a tool's own station), or it runs in session 0, where services run since
// Windows Vista. why says which. A station whose flags cannot be read counts as visible.
bool NobodyCanAnswer(std::string& why);

// The run mode the command file at commandFile (empty: a kit folder that cannot be named, which
// has no settings) chooses: Unattended=TRUE, or nobody can answer
// (nobodyCanAnswerBecause says why; empty: somebody can) and Unattended is not FALSE: unattended;
// else ShowDialog=FALSE (any case): silent; else the dialog. The checker asks it for both kinds
// of machine.
RunChoice RunModeFor(const std::string& commandFile, const std::string& nobodyCanAnswerBecause);

// The run mode for the command line arguments (wide; field 0 names the kit) on this machine.
RunChoice ChooseRunMode(const std::wstring& arguments);

// The reason of a run that is unattended because its dialog could not be made.
extern const char kDialogNotShownReason[];
