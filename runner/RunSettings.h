// The opt-in keys of [CustomCommands] that shape a run's record: LogFile and RebootOnExitCodes.
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
// Empty when the value is empty: no log file is written then.
std::string LogFilePathFrom(const std::string& value, const std::string& kitDir, const DirectoryMacroTable& macros);

// LogFile of the command file, resolved by LogFilePathFrom against the base directory.
std::string ReadLogFilePath(const DirectoryMacroTable& macros);

// ---- RebootOnExitCodes -------------------------------------------------------------------------

// The exit codes that ask for a restart, and the entries of the value that were not codes.
struct RestartExitCodes {
    // Kept as the 32 bits a process returns: "-1" and "4294967295" name the same code.
    std::vector<uint32_t> codes;
    // Entries that are not decimal numbers in the 32-bit range, trimmed, in their order.
    std::vector<std::string> ignored;

    bool Contains(int exitCode) const;
};

// Parses "3010, 1641": decimal codes (an optional '-' allowed) separated by commas, blanks and
// tabs around each. Empty entries are passed over without a word.
RestartExitCodes ParseRestartExitCodes(const std::string& value);

// RebootOnExitCodes of the command file, parsed; no codes and nothing ignored when the key is
// missing.
RestartExitCodes ReadRestartExitCodes();
