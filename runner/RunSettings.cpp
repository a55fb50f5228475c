#include "runner/RunSettings.h"

#include <algorithm>
#include <cstring>

#include "AnsiText.h"
#include "PATH.h"
#include "scan/CharScan.h"
#include "kestring.h"
#include "macros/DirectoryMacroTable.h"
#include "runner/CommandFile.h"

namespace {
// Reads a 32-bit exit code written in decimal: digits with an optional leading '-'. Accepts
// -2147483648 to 4294967295, the range in which a text can mean one 32-bit code.
bool ParseExitCode(const std::string& text, uint32_t& code) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && text[i] == '-') {
        negative = true;
        ++i;
    }
    if (i == text.size()) return false;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
        if (value > 0xFFFFFFFFull) return false;
    }
    if (negative) {
        if (value > 0x80000000ull) return false;
        code = static_cast<uint32_t>(0u - static_cast<uint32_t>(value));
    } else {
        code = static_cast<uint32_t>(value);
    }
    return true;
}
}  // namespace

std::string LogFilePathFrom(const std::string& value, const std::string& kitDir, const DirectoryMacroTable& macros,
                            int* refusedMacro) {
    std::string text = value;
    TrimWhiteSpace(text);
    if (text.empty()) return text;
    DynamicString expanded(text.c_str(), true);
    if (macros.ExpandMacros(expanded, refusedMacro) != 0) text = expanded.GetString();

    // The path classes step by character, so a kit folder whose names hold '\' as a trail byte
    // is joined correctly.
    DynamicPath path(text.c_str());
    if (path.IsAbsolute() || path.IsUNC() || path.HasDriveSpec()) return path.GetText();
    DynamicPath joined(kitDir.c_str());
    joined.AppendComponent(text.c_str());
    return joined.GetText();
}

std::string ReadLogFilePath(const DirectoryMacroTable& macros, std::string* refusal) {
    std::string value;
    bool exact = true;
    ReadCommandFileValue(kCommandSection, CommandKey::LogFile, value, &exact);
    int refusedMacro = -1;
    std::string path = LogFilePathFrom(value, BaseDirectory(), macros, &refusedMacro);
    if (refusal) {
        refusal->clear();
        if (!exact)
            *refusal = "the path holds characters that the ANSI code page " + std::to_string(CodePageNumber()) +
                       " cannot represent";
        else if (refusedMacro >= 0)
            *refusal = std::string(macros.Name(refusedMacro).GetString()) + " (" + macros.RefusedDirectory(refusedMacro) +
                       ") cannot be represented in the ANSI code page " + std::to_string(CodePageNumber()) +
                       " and has no short name that can";
    }
    return path;
}

bool ExitCodeList::Contains(int exitCode) const {
    return std::find(codes.begin(), codes.end(), static_cast<uint32_t>(exitCode)) != codes.end();
}

ExitCodeList ParseExitCodeList(const std::string& value) {
    ExitCodeList result;
    std::string trimmed = value;
    TrimWhiteSpace(trimmed);
    result.given = !trimmed.empty();
    size_t start = 0;
    while (start <= value.size()) {
        // An entry may hold double-byte characters: a comma counts only as a character of its own.
        size_t end = FindCharacter(value, ',', start);
        if (end == std::string::npos) end = value.size();
        std::string entry = value.substr(start, end - start);
        TrimWhiteSpace(entry);
        uint32_t code = 0;
        if (ParseExitCode(entry, code))
            result.codes.push_back(code);
        else if (!entry.empty())
            result.ignored.push_back(entry);
        start = end + 1;
    }
    return result;
}

ExitCodeList ReadExitCodeList(const char* key) {
    std::string value;
    ReadCommandFileValue(kCommandSection, key, value);
    return ParseExitCodeList(value);
}

SwitchValue ParseSwitch(const std::string& value) {
    if (value.empty()) return SwitchValue::Missing;
    if (_stricmp(value.c_str(), "TRUE") == 0) return SwitchValue::True;
    if (_stricmp(value.c_str(), "FALSE") == 0) return SwitchValue::False;
    return SwitchValue::Other;
}

bool ReadWaitForChildProcesses() {
    std::string value;
    ReadCommandFileValue(kCommandSection, CommandKey::WaitForChildProcesses, value);
    return ParseSwitch(value) == SwitchValue::True;
}

SwitchValue ReadHideConsoleWindows() {
    std::string value;
    ReadCommandFileValue(kCommandSection, CommandKey::HideConsoleWindows, value);
    return ParseSwitch(value);
}

bool ReadCaptureOutput() {
    std::string value;
    ReadCommandFileValue(kCommandSection, CommandKey::CaptureOutput, value);
    return ParseSwitch(value) == SwitchValue::True;
}

unsigned long ParseCommandTimeout(const std::string& value, bool& valid) {
    std::string text = value;
    TrimWhiteSpace(text);
    valid = true;
    if (text.empty()) return 0;
    unsigned long seconds = 0;
    for (char c : text) {
        if (c < '0' || c > '9' || seconds > kMaxCommandTimeoutSeconds) {
            valid = false;
            return 0;
        }
        seconds = seconds * 10 + static_cast<unsigned long>(c - '0');
    }
    if (seconds > kMaxCommandTimeoutSeconds) {
        valid = false;
        return 0;
    }
    return seconds;
}

unsigned long ReadCommandTimeout(std::string& ignored) {
    std::string value;
    ReadCommandFileValue(kCommandSection, CommandKey::CommandTimeout, value);
    bool valid = false;
    unsigned long seconds = ParseCommandTimeout(value, valid);
    ignored = valid ? std::string() : value;
    return seconds;
}

TimeoutAction ParseTimeoutAction(const std::string& value, bool& valid) {
    valid = true;
    if (value.empty() || _stricmp(value.c_str(), "Leave") == 0) return TimeoutAction::Leave;
    if (_stricmp(value.c_str(), "Terminate") == 0) return TimeoutAction::Terminate;
    valid = false;
    return TimeoutAction::Leave;
}

TimeoutAction ReadTimeoutAction(std::string& ignored) {
    std::string value;
    ReadCommandFileValue(kCommandSection, CommandKey::CommandTimeoutAction, value);
    bool valid = false;
    TimeoutAction action = ParseTimeoutAction(value, valid);
    ignored = valid ? std::string() : value;
    return action;
}

CommandWaits ReadCommandWaits() {
    CommandWaits waits;
    waits.timeoutSeconds = ReadCommandTimeout(waits.ignoredTimeout);
    waits.timeoutAction = ReadTimeoutAction(waits.ignoredAction);
    waits.wholeTree = ReadWaitForChildProcesses();
    return waits;
}
