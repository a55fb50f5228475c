// Turning one command into a running process: program search, start, exit wait.
#pragma once

#include <windows.h>

#include <string>

#include "runner/CommandJob.h"
#include "runner/ScopedHandle.h"
#include "runner/Wait.h"

// Whether the program word must be searched for: not for a drive path, a network path or a
// path that starts with a dot.
bool NeedsPathSearch(const std::string& command);

// The system's search for a program (SearchPath with its standard order), word with extension
// added when it has none. On success found is the full path however long it is, as this program
// can use it (exactly, or by its short name); false when nothing is found or the path has no name
// this program can use.
bool SearchProgram(const std::string& word, const char* extension, std::string& found);

// Replaces every occurrence of the program word by the full path the system's search finds for it with
// ".exe", ".com" or ".bat"; leaves the command unchanged when nothing is found.
void ResolveProgramPath(std::string& command);

// The start-up record every command is started with: a normal window.
void PrepareStartupInfo(STARTUPINFOA& si);

// CreateProcessA on the whole command text. extraFlags joins CREATE_DEFAULT_ERROR_MODE
// (CREATE_SUSPENDED for a command that goes into a job first); with inheritErrorMode the command
// gets Sarnik's error mode instead of the default one. Handles are inherited when si names
// standard handles. On failure GetLastError holds the reason.
bool StartCommand(const std::string& command, STARTUPINFOA& si, PROCESS_INFORMATION& pi, DWORD extraFlags = 0,
                  bool inheritErrorMode = false);

// How a command is started: in a job of its own (WaitForChildProcesses), with Sarnik's error
// mode (an unattended run, where no critical-error box may come up), and a console program
// without a console window (HideConsoleWindows; CREATE_NO_WINDOW, which programs with windows
// of their own do not heed).
struct LaunchOptions {
    bool inJob = false;
    bool inheritErrorMode = false;
    bool hideConsoleWindow = false;
};

// A started command: its process and, when it runs in a job, the job. jobError says why a job
// was asked for and could not be had (the command then runs without one).
struct LaunchedCommand {
    ScopedHandle process;
    CommandJob job;
    DWORD jobError = ERROR_SUCCESS;
};

// Starts command; in a job it starts suspended, so that nothing it starts can escape the job
// before it is in, and is resumed there. False, with error taken at once from the failed call,
// when the command could not be started or resumed; nothing of it is left running then.
bool LaunchCommand(const std::string& command, STARTUPINFOA& si, const LaunchOptions& options,
                   LaunchedCommand& launched, DWORD& error);

// Lets a process started suspended run. A thread that cannot be resumed would leave the process
// suspended for good, and anyone waiting for it waiting for good: the process is then ended and
// false returned, with error taken from the failed resume.
bool ResumeOrEnd(HANDLE process, HANDLE thread, DWORD& error);

// Ends the process with exitCode and waits a few seconds at most until it is gone.
void EndProcess(HANDLE process, UINT exitCode);

// Polls the process's exit code every kPollMs until it has exited; each pause ends early when the
// process ends, so an ended process costs no full interval. An exit code of 259 (STILL_ACTIVE)
// counts once the process has really ended. Returns its exit code with known set, or -1 with
// known clear when there is no process or the code cannot be read.
int WaitForProcessExit(HANDLE process, bool& known);

// The same wait, ended at the deadline. Returns false when the deadline came first: the process
// still runs, exitCode and known are then -1 and clear. service (the command's output) is served
// while the process runs.
bool WaitForProcessExitUntil(HANDLE process, const Deadline& deadline, int& exitCode, bool& known,
                             WaitService* service = nullptr);
