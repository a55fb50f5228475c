#include "runner/CommandFile.h"

#include <windows.h>

#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "AnsiText.h"
#include "FaultGuard.h"

#include "scan/CharScan.h"
#include "macros/DirectoryMacroTable.h"

namespace {
// Written once by the worker before the first read; only the worker reads it.
std::string g_baseDirectory;

// The widest field and the longest precision a display text may ask for: the dialog's log holds
// no longer line. The run-time library's formatter reserves a number's whole field on the stack,
// so a width taken from a kit without a bound overflows the thread's stack.
const long kMaxFieldWidth = 32766;

// Steps over the digits at i; false when their number passes kMaxFieldWidth.
bool SkipBoundedNumber(const std::string& format, size_t& i) {
    long value = 0;
    for (; i < format.size() && format[i] >= '0' && format[i] <= '9'; ++i) {
        value = value * 10 + (format[i] - '0');
        if (value > kMaxFieldWidth) return false;
    }
    return true;
}

// The conversions of a printf format in order ('d' or 's'), or false when it holds anything
// FormatDisplayText does not pass through safely. Byte by byte on purpose: the formatter reads
// every '%' byte as a conversion, also one that follows a lead byte, and this check must see
// exactly the conversions the formatter will use.
bool ConversionsOf(const std::string& format, std::string& kinds) {
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        ++i;
        if (i < format.size() && format[i] == '%') continue;
        while (i < format.size() && std::strchr("-+ #0", format[i])) ++i;
        if (!SkipBoundedNumber(format, i)) return false;
        if (i < format.size() && format[i] == '.') {
            ++i;
            if (!SkipBoundedNumber(format, i)) return false;
        }
        if (i >= format.size()) return false;
        char c = format[i];
        if (c == 'd' || c == 'i') kinds += 'd';
        else if (c == 's') kinds += 's';
        else return false;
    }
    return true;
}
}  // namespace

const char kCommandSection[] = "CustomCommands";
const char kStringsSection[] = "Strings";
const char kCommandKeyPrefix[] = "Commands_";
namespace CommandKey {
const char ShowDialog[] = "ShowDialog";
const char Reboot[] = "Reboot";
const char LogFile[] = "LogFile";
const char RebootOnExitCodes[] = "RebootOnExitCodes";
const char SuccessExitCodes[] = "SuccessExitCodes";
const char Unattended[] = "Unattended";
const char CommandTimeout[] = "CommandTimeout";
const char CommandTimeoutAction[] = "CommandTimeoutAction";
const char WaitForChildProcesses[] = "WaitForChildProcesses";
const char HideConsoleWindows[] = "HideConsoleWindows";
const char CaptureOutput[] = "CaptureOutput";
}  // namespace CommandKey
// In the order of the reference's table.
const char* const kSettingKeys[] = {
    CommandKey::ShowDialog,           CommandKey::Reboot,       CommandKey::LogFile,
    CommandKey::RebootOnExitCodes,    CommandKey::SuccessExitCodes, CommandKey::Unattended,
    CommandKey::CommandTimeout,       CommandKey::CommandTimeoutAction, CommandKey::WaitForChildProcesses,
    CommandKey::HideConsoleWindows,   CommandKey::CaptureOutput,
};
const size_t kSettingKeyCount = sizeof kSettingKeys / sizeof kSettingKeys[0];

bool IsWhiteSpace(char c) { return c != '\0' && std::strchr(" \t\n\v\f\r", c) != nullptr; }

// Trims the end, then the start, stepping by characters so that a lead byte is never parted
// from its trail byte (a lead byte followed by a blank is one character, as the platform reads
// it, and stays whole).
void TrimWhiteSpace(std::string& s) {
    size_t end = 0;
    for (size_t i = 0; i < s.size(); i += CharWidthAt(s, i))
        if (CharWidthAt(s, i) == 2 || !IsWhiteSpace(s[i])) end = i + CharWidthAt(s, i);
    s.resize(end);
    size_t start = 0;
    while (start < s.size() && IsWhiteSpace(s[start])) ++start;
    s.erase(0, start);
}

const DisplayTextEntry kDisplayTexts[] = {
    {"WaitingMsg", "Waiting for parent installer to complete...", ""},
    {"CompleteMsg", "Parent installer complete.", ""},
    {"InvokingMsg", "Invoking ", ""},
    {"CompletedExitCode", "Completed exit code:%d", "d"},
    {"CompletedNoExitCode", "Completed", ""},
    {"errorMsg", "Error code:%d occurred on command %s\n%s\n", "dss"},
    {"errorTitle", "Error", ""},
    {"ContinueRunningMsg", "\nDo you want to continue running commands?", ""},
    {"rebootMsg", "Do you want to reboot the system now?", ""},
    {"rebootTitle", "Reboot", ""},
    {"RestartRequestedMsg", "Command asked for a restart (exit code %d).", "d"},
    {"IgnoredExitCodeMsg", "RebootOnExitCodes entry \"%s\" is not an exit code and is ignored.", "s"},
    {"IgnoredExitCodesMsg", "RebootOnExitCodes entries %s are not exit codes and are ignored.", "s"},
    {"LogFileErrorMsg", "The log file %s could not be written: %s", "ss"},
    {"MsiUnavailableMsg", "msi.dll could not be loaded from the system folder (%s): nested kits are started as written.", "s"},
    {"VersionUnavailableMsg",
     "version.dll could not be loaded from the system folder (%s): no command is recognised as the setup engine.", "s"},
    {"UnattendedRunMsg", "Unattended run (%s): no message box is shown; every question gets its default answer.", "s"},
    {"RestartDueMsg", "A restart is due and was not done: restart Windows to finish the installation.", ""},
    {"TimedOutMsg", "Still running after %d s; the run goes on without it.", "d"},
    {"IgnoredTimeoutMsg", "CommandTimeout value \"%s\" is not a number of seconds and is ignored.", "s"},
    {"JobFailedMsg", "The command could not be given a job object of its own (error %d): only its own process is waited for.", "d"},
    {"ChildrenTimedOutMsg", "Processes it started still run after %d s; the run goes on without them.", "d"},
    {"TerminatedMsg", "Still running after %d s: ended (CommandTimeoutAction=Terminate); the run goes on.", "d"},
    {"ChildrenTerminatedMsg",
     "Processes it started still ran after %d s: ended (CommandTimeoutAction=Terminate); the run goes on.", "d"},
    {"IgnoredTimeoutActionMsg",
     "CommandTimeoutAction value \"%s\" is neither Leave nor Terminate and is ignored: a command over its limit is left running.",
     "s"},
    {"EngineBusyMsg", "The setup engine was still busy %d s after the command ended; the run goes on without waiting for it.",
     "d"},
    {"ExitCodeFailedMsg", "Exit code %d is not one of SuccessExitCodes: the command failed.", "d"},
    {"NoExitCodeFailedMsg", "Its exit code could not be read, so it is none of SuccessExitCodes: the command failed.", ""},
    {"IgnoredSuccessCodeMsg", "SuccessExitCodes entry \"%s\" is not an exit code and is ignored.", "s"},
    {"IgnoredSuccessCodesMsg", "SuccessExitCodes entries %s are not exit codes and are ignored.", "s"},
    {"LocalFolderMsg",
     "%s exists beside sarnik.exe: the common controls are not loaded, as that folder could put other DLLs in "
     "their place.",
     "s"},
    {"ShortNameMsg", "%s (%s) cannot be represented in the ANSI code page %d; its short name %s is used.", "ssds"},
    {"KitFolderRefusedMsg",
     "The kit folder (%s) cannot be represented in the ANSI code page %d and has no short name that can: its command "
     "file is not read and no command is run.",
     "sd"},
    {"MacroRefusedMsg",
     "%s (%s) cannot be represented in the ANSI code page %d and has no short name that can: the command that uses it "
     "is not started.",
     "ssd"},
    {"CommandRefusedMsg",
     "The command holds characters that the ANSI code page %d cannot represent: it is not started.", "d"},
    {"OutputLineMsg", "[%d out] %s", "ds"},
    {"ErrorOutputLineMsg", "[%d err] %s", "ds"},
    {"OutputLeftOutMsg", "[%d out] ... %s bytes in %s lines left out ...", "dss"},
    {"ErrorOutputLeftOutMsg", "[%d err] ... %s bytes in %s lines left out ...", "dss"},
    {"CaptureFailedMsg", "The command's output cannot be captured (error %d): it is started without.", "d"},
};
const size_t kDisplayTextCount = sizeof kDisplayTexts / sizeof kDisplayTexts[0];

const DisplayTextEntry* FindDisplayText(const char* key) {
    for (const DisplayTextEntry& entry : kDisplayTexts)
        if (::lstrcmpiA(entry.key, key) == 0) return &entry;
    return nullptr;
}

void SetBaseDirectory(const std::string& dir) { g_baseDirectory = dir; }

const std::string& BaseDirectory() { return g_baseDirectory; }

std::string CommandFilePathFor(const std::string& base) { return base + "\\Setup\\CustCmds.ini"; }

std::string CommandFilePath() { return CommandFilePathFor(g_baseDirectory); }

namespace {
// The value as the profile reader holds it (wide), read into a buffer of capacity characters that
// doubles while the value may have been cut (capacity then holds the last size); false when no
// larger buffer can be had.
bool ReadWideProfileString(const char* section, const char* key, const char* path, int& capacity, std::wstring& out) {
    // Read wide: the ANSI reader converts a UTF-16 command file's text with best fit, so that
    // "cmd \u0141" would run as "cmd L" and U+FF5C would become a '|'.
    std::wstring wideSection = AnsiToWide(section ? section : ""), wideKey = AnsiToWide(key ? key : "");
    std::wstring widePath = AnsiToWide(path ? path : "");
    std::vector<wchar_t> wide(static_cast<size_t>(capacity));
    for (;;) {
        int n = static_cast<int>(::GetPrivateProfileStringW(section ? wideSection.c_str() : nullptr,
                                                            key ? wideKey.c_str() : nullptr, L"", wide.data(),
                                                            static_cast<DWORD>(wide.size()),
                                                            path ? widePath.c_str() : nullptr));
        if (n != static_cast<int>(wide.size()) - 1) {
            out.assign(wide.data(), static_cast<size_t>(n));
            capacity = static_cast<int>(wide.size());
            return true;
        }
        // The value may have been cut: read again into twice the room.
        if (wide.size() > INT_MAX / 2) return false;
        try {
            wide.resize(wide.size() * 2);
        } catch (const std::bad_alloc&) {
            return false;
        }
    }
}
}  // namespace

int ReadProfileString(const char* section, const char* key, char*& buffer, int& capacity,
                      const char* path, bool* exact) {
    if (exact) *exact = true;
    if (!buffer || capacity <= 0) return 0;
    std::wstring wide;
    int larger = capacity;
    if (!ReadWideProfileString(section, key, path, larger, wide)) return 0;
    std::string value;
    bool converted = WideToAnsi(wide, value);
    if (exact) *exact = converted;
    // The buffer doubles as the reader's did, and further while the converted text (two bytes for
    // a double-byte character) does not fit.
    while (value.size() + 1 > static_cast<size_t>(larger)) {
        if (larger > INT_MAX / 2) return 0;
        larger *= 2;
    }
    if (larger != capacity) {
        char* bigger = new (std::nothrow) char[larger];
        if (!bigger) return 0;
        delete[] buffer;
        buffer = bigger;
        capacity = larger;
    }
    std::memcpy(buffer, value.c_str(), value.size() + 1);
    return static_cast<int>(value.size());
}

int ReadFileValue(const char* section, const char* key, std::string& out, const char* path, bool* exact) {
    out.clear();
    if (exact) *exact = true;
    int capacity = 1024;
    char* buffer = new (std::nothrow) char[capacity]();
    if (!buffer) return 0;
    std::string commandFile;
    if (!path || !*path) {
        commandFile = CommandFilePath();
        path = commandFile.c_str();
    }
    if (ReadProfileString(section, key, buffer, capacity, path, exact) != 0) out = buffer;
    delete[] buffer;
    return static_cast<int>(out.size());
}

int ReadCommandFileValue(const char* section, const char* key, std::string& out, bool* exact) {
    return ReadFileValue(section, key, out, "", exact);
}

std::string GetDisplayText(const char* key, const char* defaultText) {
    std::string text;
    ReadCommandFileValue(kStringsSection, key, text);
    if (text.empty()) text = defaultText;
    return text;
}


bool DisplayTextFits(const std::string& format, const char* conversions) {
    std::string kinds;
    return ConversionsOf(format, kinds) && kinds.size() <= std::strlen(conversions) &&
           std::strncmp(conversions, kinds.c_str(), kinds.size()) == 0;
}

namespace {
// Formats under the fault guard, so that a fault inside the run-time library's formatter ends the
// formatting and not the run. The guarded calls own nothing: the text is allocated between them.
bool FormatGuarded(const char* format, va_list args, std::string& out) {
    va_list measure;
    va_copy(measure, args);
    int needed = -1;
    bool returned = CallGuarded([&] { needed = std::vsnprintf(nullptr, 0, format, measure); }, nullptr);
    va_end(measure);
    if (!returned || needed < 0) return false;
    std::vector<char> text(static_cast<size_t>(needed) + 1);
    va_list write;
    va_copy(write, args);
    returned = CallGuarded([&] { std::vsnprintf(text.data(), text.size(), format, write); }, nullptr);
    va_end(write);
    if (!returned) return false;
    out.assign(text.data(), static_cast<size_t>(needed));
    return true;
}
}  // namespace

namespace {
std::string FormatDisplayTextV(const std::string& format, const char* fallbackFormat, const char* types,
                               va_list args) {
    const char* chosen = DisplayTextFits(format, types) ? format.c_str() : fallbackFormat;
    std::string result;
    // The built-in text after a replacement that faulted; the built-in text as it stands when
    // even that fails, so that the line still says what happened.
    if (!FormatGuarded(chosen, args, result) && (chosen == fallbackFormat || !FormatGuarded(fallbackFormat, args, result)))
        result = fallbackFormat;
    return result;
}
}  // namespace

std::string FormatDisplayText(const std::string& format, const char* fallbackFormat,
                              const char* types, ...) {
    va_list args;
    va_start(args, types);
    std::string result = FormatDisplayTextV(format, fallbackFormat, types, args);
    va_end(args);
    return result;
}

std::string FormatKeyedDisplayText(const char* key, size_t argumentCount, ...) {
    const DisplayTextEntry* entry = FindDisplayText(key);
    // A key of no table, or a call with other arguments than its placeholders: a slip of the
    // program's own, shown as the key rather than formatted with arguments that do not fit.
    if (!entry || std::strlen(entry->conversions) != argumentCount) return key;
    std::string text = GetDisplayText(entry->key, entry->defaultText);
    if (argumentCount == 0) return text;
    va_list args;
    va_start(args, argumentCount);
    std::string result = FormatDisplayTextV(text, entry->defaultText, entry->conversions, args);
    va_end(args);
    return result;
}

namespace {
// Why a command may not be started: it holds a character the code page lacks (refusedMacro -1),
// or it uses a macro whose directory the table refused.
std::string CommandRefusal(const DirectoryMacroTable& macros, int refusedMacro) {
    int codePage = static_cast<int>(CodePageNumber());
    if (refusedMacro < 0) return DisplayText("CommandRefusedMsg", codePage);
    return DisplayText("MacroRefusedMsg", macros.Name(refusedMacro).GetString(), macros.RefusedDirectory(refusedMacro),
                       codePage);
}
}  // namespace

int ReadCommandList(std::vector<std::string>& list, bool& reboot, DirectoryMacroTable& macros,
                    std::vector<std::string>* refusals) {
    std::string value;
    ReadCommandFileValue(kCommandSection, CommandKey::Reboot, value);
    if (value == "TRUE") reboot = true;

    for (int index = 0;; ++index) {
        char key[32];
        std::snprintf(key, sizeof key, "%s%d", kCommandKeyPrefix, index);
        bool exact = true;
        if (ReadCommandFileValue(kCommandSection, key, value, &exact) == 0) break;
        list.resize(static_cast<size_t>(index) + 1);
        std::string& entry = list.back();
        entry = value;
        // A command that is not started is shown as it was meant, the characters the code page
        // lacks as "[U+XXXX]", where the log and the results table name it.
        std::wstring wide;
        int capacity = 1024;
        if (!exact && ReadWideProfileString(kCommandSection, key, CommandFilePath().c_str(), capacity, wide))
            entry = AnsiForMessage(wide);
        TrimWhiteSpace(entry);
        DynamicString expanded(entry.c_str(), true);
        int refused = -1;
        if (macros.ExpandMacros(expanded, &refused) != 0) entry = expanded.GetString();
        if (refusals) {
            refusals->resize(list.size());
            if (!exact || refused >= 0) refusals->back() = CommandRefusal(macros, exact ? refused : -1);
        }
    }
    return static_cast<int>(list.size());
}
