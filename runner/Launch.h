// Turning one command into a running process: program search, start, exit wait.
#pragma once

#include <windows.h>

#include <string>

// Whether the program word must be searched for: not for a drive path, a network path or a
// path that starts with a dot.
bool NeedsPathSearch(const std::string& command);

// Replaces every occurrence of the program word by the full path SearchPathA finds for it with
// ".exe", ".com" or ".bat"; leaves the command unchanged when nothing is found.
void ResolveProgramPath(std::string& command);

// The start-up record every command is started with: a normal window.
void PrepareStartupInfo(STARTUPINFOA& si);

// CreateProcessA on the whole command text. On failure GetLastError holds the reason.
bool StartCommand(const std::string& command, STARTUPINFOA& si, PROCESS_INFORMATION& pi);

// Polls the process's exit code every 100 ms until it has exited; each pause ends early when the
// process ends, so an ended process costs no full interval. An exit code of 259 (STILL_ACTIVE)
// counts once the process has really ended. Returns its exit code with known set, or -1 with
// known clear when there is no process or the code cannot be read.
int WaitForProcessExit(HANDLE process, bool& known);
