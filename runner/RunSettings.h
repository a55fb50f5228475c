// The opt-in keys of [CustomCommands] that shape a run's record, its verdicts and its waits:
// LogFile, RebootOnExitCodes, SuccessExitCodes, Unattended, CommandTimeout, CommandTimeoutAction,
// WaitForChildProcesses, HideConsoleWindows and CaptureOutput.
// Readers (which take the value from the command file) and parsers (which only judge a text) are
// kept apart, so that a checker of command files can judge a value without running anything.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class DirectoryMacroTable;

// ---- LogFile ---------------------------------------------------------------------------------

// The file a LogFile value names: directory macros expanded, white space around it trimmed, and a
// path that is neither absolute nor a network path nor drive-qualified taken from kitDir.
// Empty when the value is empty: no log file is written then. refusedMacro as for ExpandMacros.
std::string LogFilePathFrom(const std::string& value, const std::string& kitDir, const DirectoryMacroTable& macros,
                            int* refusedMacro = nullptr);

// LogFile of the command file, resolved by LogFilePathFrom against the base directory. refusal
// (when given) says why the path must not be written: it holds a character the ANSI code page
// lacks, or uses a macro whose directory was refused; empty otherwise.
std::string ReadLogFilePath(const DirectoryMacroTable& macros, std::string* refusal = nullptr);

// ---- RebootOnExitCodes, SuccessExitCodes --------------------------------------------------------

// A list of exit codes (those that ask for a restart, those that count as success), and the
// entries of the value that were not codes.
struct ExitCodeList {
    // Kept as the 32 bits a process returns: "-1" and "4294967295" name the same code.
    std::vector<uint32_t> codes;
    // Entries that are not decimal numbers in the 32-bit range, trimmed, in their order.
    std::vector<std::string> ignored;
    // Whether the key was given at all (not missing or empty): a SuccessExitCodes whose every
    // entry is ignored still judges, and every code then fails.
    bool given = false;

    bool Contains(int exitCode) const;
};

// Parses "3010, 1641": decimal codes (an optional '-' allowed) separated by commas, blanks and
// tabs around each. Empty entries are passed over without a word.
ExitCodeList ParseExitCodeList(const std::string& value);

// RebootOnExitCodes or SuccessExitCodes of the command file, parsed; no codes, nothing ignored
// and not given when the key is missing.
ExitCodeList ReadExitCodeList(const char* key);

// ---- Unattended, CommandTimeout, CommandTimeoutAction, WaitForChildProcesses ----------------------

// A switch value: TRUE or FALSE without regard to case (blanks inside quotation marks count).
// Any other non-empty value is Other and means what no value means.
enum class SwitchValue { Missing, True, False, Other };
SwitchValue ParseSwitch(const std::string& value);

// WaitForChildProcesses=TRUE: each command runs in a job object of its own and is waited for
// until no process of that job is left.
bool ReadWaitForChildProcesses();

// HideConsoleWindows as the command file gives it: TRUE starts console commands without a
// window; without the key an unattended run does so as well, FALSE never.
SwitchValue ReadHideConsoleWindows();

// CaptureOutput=TRUE (in any case): each command's standard output and standard error go into
// the run's log, its input is NUL and it has no console window.
bool ReadCaptureOutput();

// A CommandTimeout value in whole seconds, 1 to kMaxCommandTimeoutSeconds. 0 means no limit: the
// value was empty, 0, or not a number of seconds (then valid is false).
const unsigned long kMaxCommandTimeoutSeconds = 4000000;  // 46 days: below the 32-bit tick range
unsigned long ParseCommandTimeout(const std::string& value, bool& valid);

// CommandTimeout of the command file. A value that is not a number of seconds is returned in
// ignored and means no limit.
unsigned long ReadCommandTimeout(std::string& ignored);

// What happens to a command still running at its CommandTimeout: left running (the default:
// stopping an installer half-way is worse), or ended with its whole job.
enum class TimeoutAction { Leave, Terminate };

// A CommandTimeoutAction value: Leave or Terminate without regard to case. Anything else is
// Leave, with valid false; an empty value is Leave and valid.
TimeoutAction ParseTimeoutAction(const std::string& value, bool& valid);

// CommandTimeoutAction of the command file. A value that is neither word is returned in ignored.
TimeoutAction ReadTimeoutAction(std::string& ignored);

// What the run does about each command's waits, read once from the command file. Values that
// are not understood are returned for the log: ignoredTimeout, ignoredAction.
struct CommandWaits {
    unsigned long timeoutSeconds = 0;  // 0: no limit
    TimeoutAction timeoutAction = TimeoutAction::Leave;
    bool wholeTree = false;            // WaitForChildProcesses=TRUE
    std::string ignoredTimeout, ignoredAction;
};
CommandWaits ReadCommandWaits();
