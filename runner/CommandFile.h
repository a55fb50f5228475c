// The command file <base>\Setup\CustCmds.ini: its readers and its display texts.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

class DirectoryMacroTable;

// The names of the command file, each written once: its sections and the keys of
// [CustomCommands]. kSettingKeys lists every key of [CustomCommands] besides the commands, for
// the checker and for the test that holds the reference to them.
extern const char kCommandSection[];  // "CustomCommands"
extern const char kStringsSection[];  // "Strings"
extern const char kCommandKeyPrefix[];  // "Commands_": Commands_0, Commands_1, ...
namespace CommandKey {
extern const char ShowDialog[];
extern const char Reboot[];
extern const char LogFile[];
extern const char RebootOnExitCodes[];
extern const char SuccessExitCodes[];
extern const char Unattended[];
extern const char CommandTimeout[];
extern const char CommandTimeoutAction[];
extern const char WaitForChildProcesses[];
extern const char HideConsoleWindows[];
extern const char CaptureOutput[];
}  // namespace CommandKey
extern const char* const kSettingKeys[];
extern const size_t kSettingKeyCount;

// The command file of the kit in folder base: base + "\Setup\CustCmds.ini". Every reader of the
// file, the run mode's included, and the checker take its path from here.
std::string CommandFilePathFor(const std::string& base);

// The base directory (field 0 of the command line) from which the command file path is formed.
void SetBaseDirectory(const std::string& dir);
const std::string& BaseDirectory();
std::string CommandFilePath();

// White space as the command file knows it: blank, tab, line feed, vertical tab, form feed, CR.
bool IsWhiteSpace(char c);
// Removes white space from the end, then from the start.
void TrimWhiteSpace(std::string& s);

// Reads a profile value into a caller-owned buffer, doubling the buffer while the value may have
// been cut. Returns the characters now in the buffer, 0 for a missing or empty value (or when a
// larger buffer cannot be had). The value is read wide and converted without best fit: exact
// (when given) is cleared when it holds a character the ANSI code page lacks, which then stands
// in the buffer as the code page's default character ("?").
int ReadProfileString(const char* section, const char* key, char*& buffer, int& capacity,
                      const char* path, bool* exact = nullptr);

// Reads section/key of the file at path (the command file when path is empty) into out;
// returns its length. exact as for ReadProfileString.
int ReadFileValue(const char* section, const char* key, std::string& out, const char* path, bool* exact = nullptr);
int ReadCommandFileValue(const char* section, const char* key, std::string& out, bool* exact = nullptr);

// The [Strings] section: every key Sarnik reads, its built-in text, and the printf conversions
// a replacement may carry, in order ('d' an int, 's' a string; empty for a text shown as it
// stands). One table for the program, the checker and the test of docs/command-file.md.
struct DisplayTextEntry {
    const char* key;
    const char* defaultText;
    const char* conversions;
};
extern const DisplayTextEntry kDisplayTexts[];
extern const size_t kDisplayTextCount;

// The table's entry for key (matched without case, as the profile reader does), or none.
const DisplayTextEntry* FindDisplayText(const char* key);

// The [Strings] value of key, or the default when it is missing or empty. DisplayText below is
// what the program shows; this is its reader.
std::string GetDisplayText(const char* key, const char* defaultText);

// Whether a replacement format may be used with arguments of the given conversions: its own
// conversions must be 'd' or 's' and a prefix of them. FormatDisplayText falls back otherwise.
bool DisplayTextFits(const std::string& format, const char* conversions);

// Formats a display text whose placeholders the kit may have replaced. The conversions of format
// must be a prefix of types ('d' an int, 's' a string, in the order the arguments follow);
// otherwise fallbackFormat (the built-in text) is used, so a bad replacement never reads an
// argument that is not there.
std::string FormatDisplayText(const std::string& format, const char* fallbackFormat,
                              const char* types, ...);

// The arguments DisplayText passes on: ints and texts.
inline int DisplayArg(int value) { return value; }
inline int DisplayArg(unsigned long value) { return static_cast<int>(value); }
inline const char* DisplayArg(const char* text) { return text; }
inline const char* DisplayArg(const std::string& text) { return text.c_str(); }
std::string FormatKeyedDisplayText(const char* key, size_t argumentCount, ...);

// The text Sarnik shows for key of the table: the [Strings] replacement or the built-in text,
// with args formatted into it in the order of the key's placeholders (a text without
// placeholders is shown as it stands). The one call for every display text.
template <class... Args>
std::string DisplayText(const char* key, const Args&... args) {
    return FormatKeyedDisplayText(key, sizeof...(Args), DisplayArg(args)...);
}

// Fills list with Commands_0, Commands_1, ... up to the first missing or empty one, trimmed and
// macro-expanded; sets reboot when Reboot is exactly "TRUE". Returns the number of commands.
// refusals (when given) gets one text per command: empty for a command that may be started, else
// why it may not (CommandRefusedMsg: the command holds a character the ANSI code page lacks;
// MacroRefusedMsg: it uses a macro whose directory the table refused).
int ReadCommandList(std::vector<std::string>& list, bool& reboot, DirectoryMacroTable& macros,
                    std::vector<std::string>* refusals = nullptr);
