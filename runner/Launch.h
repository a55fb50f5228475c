// Turning one command into a running process: program search, start, exit wait.
#pragma once

#include <windows.h>

#include <string>

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
// (CREATE_SUSPENDED for a command that goes into a job first). On failure GetLastError holds the
// reason.
bool StartCommand(const std::string& command, STARTUPINFOA& si, PROCESS_INFORMATION& pi, DWORD extraFlags = 0);

// Polls the process's exit code every 100 ms until it has exited; each pause ends early when the
// process ends, so an ended process costs no full interval. An exit code of 259 (STILL_ACTIVE)
// counts once the process has really ended. Returns its exit code with known set, or -1 with
// known clear when there is no process or the code cannot be read.
int WaitForProcessExit(HANDLE process, bool& known);

// The same wait, ended when the tick count reaches deadline (GetTickCount64; 0: no deadline).
// Returns false when the deadline came first: the process still runs, exitCode and known are
// then -1 and clear.
bool WaitForProcessExitUntil(HANDLE process, ULONGLONG deadline, int& exitCode, bool& known);
