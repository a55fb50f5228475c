// The command file <base>\Setup\CustCmds.ini: its readers and its display texts.
#pragma once

#include <string>
#include <vector>

class DirectoryMacroTable;

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
// larger buffer cannot be had).
int ReadProfileString(const char* section, const char* key, char*& buffer, int& capacity,
                      const char* path);

// Reads section/key of the file at path (the command file when path is empty) into out;
// returns its length.
int ReadFileValue(const char* section, const char* key, std::string& out, const char* path);
int ReadCommandFileValue(const char* section, const char* key, std::string& out);

// The [Strings] value of key, or the default when it is missing or empty.
std::string GetDisplayText(const char* key, const char* defaultText);

// Formats a display text whose placeholders the kit may have replaced. The conversions of format
// must be a prefix of types ('d' an int, 's' a string, in the order the arguments follow);
// otherwise fallbackFormat (the built-in text) is used, so a bad replacement never reads an
// argument that is not there.
std::string FormatDisplayText(const std::string& format, const char* fallbackFormat,
                              const char* types, ...);

// Fills list with Commands_0, Commands_1, ... up to the first missing or empty one, trimmed and
// macro-expanded; sets reboot when Reboot is exactly "TRUE". Returns the number of commands.
int ReadCommandList(std::vector<std::string>& list, bool& reboot, DirectoryMacroTable& macros);
