#include "checker/KitCheck.h"

#include <windows.h>

#include <mbctype.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "PATH.h"
#include "scan/CharScan.h"
#include "scan/TokenScanner.h"
#include "checker/ProfileText.h"
#include "checker/StructureCheck.h"
#include "installer/NestedKit.h"
#include "installer/ParentWait.h"
#include "installer/SystemLibrary.h"
#include "macros/DirectoryMacroTable.h"
#include "runner/CommandFile.h"
#include "runner/FailureReport.h"
#include "runner/Launch.h"
#include "runner/RunLog.h"
#include "runner/RunMode.h"
#include "runner/RunSettings.h"

namespace {
const size_t kCommandPrefixLength = sizeof "Commands_" - 1;

// The codes of a list as a plan names them: "3010, 1641", or "none".
std::string CodesText(const ExitCodeList& list) {
    std::string text;
    for (uint32_t code : list.codes) text += (text.empty() ? "" : ", ") + std::to_string(static_cast<int>(code));
    return text.empty() ? "none" : text;
}

std::string Quote(const std::string& text) { return "\"" + text + "\""; }

bool IsComment(const ProfileEntry& e) { return !e.key.empty() && e.key[0] == ';'; }

std::string LowerAscii(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

bool OneOf(const std::string& value, std::initializer_list<const char*> words) {
    std::string lower = LowerAscii(value);
    // Blanks inside quotation marks survive the reader ("False "); they do not make another word.
    size_t first = lower.find_first_not_of(" \t"), last = lower.find_last_not_of(" \t");
    lower = first == std::string::npos ? std::string() : lower.substr(first, last - first + 1);
    for (const char* w : words)
        if (lower == w) return true;
    return false;
}

bool FileExists(const std::string& path) {
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Whether word ends in ".ext" (without case), ext given in lower case.
bool HasExtension(const std::string& word, const char* ext) {
    size_t n = std::strlen(ext);
    return word.size() > n && LowerAscii(word.substr(word.size() - n)) == ext;
}


// Where the backslashes of a path stand, stepping by character: a trail byte may be '\\'.
std::vector<size_t> SeparatorPositions(const std::string& path) {
    std::vector<size_t> at;
    for (size_t i = 0; i < path.size();) {
        if (_ismbblead(static_cast<unsigned char>(path[i])) && i + 1 < path.size()) {
            i += 2;
            continue;
        }
        if (path[i] == '\\') at.push_back(i);
        ++i;
    }
    return at;
}

bool HasAnyExtension(const std::string& word) {
    // '.' is never a trail byte; '\\' may be.
    std::vector<size_t> separators = SeparatorPositions(word);
    size_t dot = word.rfind('.');
    return dot != std::string::npos && (separators.empty() || dot > separators.back());
}

bool IsFolder(const std::string& path) {
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Whether c stands in text as a character of its own.
bool HasCharacter(const std::string& text, char c) { return FindCharacter(text, c) != std::string::npos; }

// The folder that holds the last name of a path in file-system spelling; a drive's root keeps its
// backslash ("C:\\"). Empty for a path without a backslash.
std::string HoldingFolder(const std::string& path) {
    std::vector<size_t> separators = SeparatorPositions(path);
    if (separators.empty()) return std::string();
    size_t cut = separators.back();
    if (cut == 2 && path[1] == ':') return path.substr(0, 3);
    return path.substr(0, cut);
}

std::string MissingFolder(const std::string& folder) {
    if (folder.size() == 3 && folder[1] == ':') return "the drive " + folder.substr(0, 2) + " does not exist";
    return "the folder " + folder + " does not exist";
}

// Whether folder exists, or is among those made before it.
bool IsFolderOrMade(const std::string& folder, const std::vector<std::string>& made) {
    if (IsFolder(folder)) return true;
    for (const std::string& m : made)
        if (::lstrcmpiA(m.c_str(), folder.c_str()) == 0) return true;
    return false;
}

// Why a run could not make the first `folders` folders of path, or "" when nothing stands in the
// way; made receives those it would make. The path class makes them at the backslashes of the
// path as written, from the first that does not exist; this follows the same steps without
// making anything.
std::string FoldersProblem(const std::string& path, int folders, std::vector<std::string>& made) {
    DynamicPath asWritten(path.c_str());
    auto prefix = [&asWritten](int count) {
        DynamicString text;
        asWritten.GetPrefix(count, text);
        return FileSystemSpelling(text.GetString());
    };
    int existing = folders;
    while (existing > 0 && !IsFolder(prefix(existing))) --existing;
    for (int k = existing + 1; k <= folders; ++k) {
        std::string folder = prefix(k);
        if (::GetFileAttributesA(folder.c_str()) != INVALID_FILE_ATTRIBUTES)
            return folder + " is a file, so no folder can be made there";
        std::string holder = HoldingFolder(folder);
        if (!holder.empty() && !IsFolderOrMade(holder, made))
            return MissingFolder(holder) + ", so no folder can be made in it";
        made.push_back(folder);
    }
    return std::string();
}

// Why a run could not write the log file at path, or "" when nothing stands in its way. The run
// makes the missing folders above the file with the path class (at the backslashes of the path
// as written), then opens the file; this follows the same steps without making anything.
std::string LogFileProblem(const std::string& path, const std::string& commandFile) {
    if (path.size() >= MAX_PATH)
        return "the path is " + std::to_string(path.size()) + " characters long; a file name holds " +
               std::to_string(MAX_PATH - 1) + " at most";
    if (NamesDevice(path)) return "it names a device, not a file";
    std::string named = FileSystemSpelling(path);
    std::vector<size_t> separators = SeparatorPositions(named);
    if (!separators.empty() && separators.back() + 1 == named.size())
        return "it ends in a backslash and so names a folder: the run makes that folder, then cannot open it as a "
               "file";
    DynamicString why;
    if (!DynamicPath(named.c_str()).Validate(false, &why))
        return std::string("it is no valid file path (") + why.GetString() + ")";
    DWORD attributes = ::GetFileAttributesA(named.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return "it names a folder";
    if (SameExistingFile(named, commandFile)) return "it is the command file itself";
    std::string link = LinkProblem(named);
    if (!link.empty()) return link;
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return "the file is read-only";

    std::vector<std::string> made;
    std::string problem = FoldersProblem(path, DynamicPath(path.c_str()).GetDepth() - 1, made);
    if (!problem.empty()) return problem;
    std::string holder = HoldingFolder(named);
    if (!holder.empty() && !IsFolderOrMade(holder, made))
        return MissingFolder(holder) + (HasCharacter(path, '/') ? " (the run makes missing folders only at backslashes)"
                                                                 : std::string());
    return std::string();
}

// The texts of value that look like printf placeholders ("%d", "%s", "%%"), quoted and joined,
// or "" when there are none. By character: a '%' is never part of a double-byte character.
std::string PlaceholdersIn(const std::string& value) {
    std::string found;
    for (size_t i = 0; i + 1 < value.size(); i += CharWidthAt(value, i)) {
        if (value[i] != '%' || !std::strchr("%cdiouxXsSeEfgGp", value[i + 1]) || value[i + 1] == '\0') continue;
        found += (found.empty() ? "" : ", ") + Quote(value.substr(i, 2));
        ++i;
    }
    return found;
}

// The program an unquoted command line starts.
struct UnquotedProgram {
    std::vector<std::string> tried;  // the files the system looks for, in its order
    int started = -1;                // the first of them that exists, or -1
    int later = -1;                  // the first existing one after that, or -1
};

// How CreateProcessA finds the program of a command line that does not start with a quotation
// mark: the text up to the first blank, then up to the second and so on, each with ".exe" added
// when it has no extension of its own, looked up as SearchPath looks it up; the first file that
// exists is started. A text longer than a path is no longer tried.
UnquotedProgram FindUnquotedProgram(const std::string& command) {
    UnquotedProgram result;
    if (command.empty() || command[0] == '"') return result;
    bool afterBlank = true;  // a run of blanks ends no further name
    for (size_t i = 0, width = 1; i <= command.size(); i += width) {
        width = i < command.size() ? CharWidthAt(command, i) : 1;
        bool blank = i < command.size() && width == 1 && (command[i] == ' ' || command[i] == '\t');
        bool ends = (blank || i == command.size()) && !afterBlank;
        afterBlank = blank;
        if (!ends) continue;
        std::string name = command.substr(0, i);
        if (name.size() >= MAX_PATH) break;
        std::string found;
        bool exists = SearchProgram(name, ".exe", found) && found.size() < MAX_PATH && FileExists(found);
        result.tried.push_back(exists ? std::string(found) : HasAnyExtension(name) ? name : name + ".exe");
        int index = static_cast<int>(result.tried.size()) - 1;
        if (exists && result.started < 0)
            result.started = index;
        else if (exists && result.later < 0) {
            result.later = index;
            break;
        }
    }
    return result;
}

// Whether the character before position i (a character boundary) is '^'. By character: a trail
// byte may be 0x5E too ("タ" is 0x83 0x5E).
bool PrecededByCaret(const std::string& text, size_t i) {
    size_t previous = std::string::npos;
    for (size_t at = 0; at < i; at += CharWidthAt(text, at)) previous = at;
    return previous != std::string::npos && CharWidthAt(text, previous) == 1 && text[previous] == '^';
}

// Commands_N with N in decimal without padding, as the list reader forms its keys; -1 for any
// other key, -2 for a Commands_ key that the reader can never form (Commands_01, Commands_x).
int CommandIndex(const std::string& key) {
    if (key.size() < kCommandPrefixLength ||
        !ProfileText::SameName(key.substr(0, kCommandPrefixLength), kCommandKeyPrefix))
        return -1;
    std::string digits = key.substr(kCommandPrefixLength);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos ||
        (digits.size() > 1 && digits[0] == '0'))
        return -2;
    return std::atoi(digits.c_str());
}

// The keys of [CustomCommands] whose values a blank and a ';' would change unseen: the settings
// without findings of their own for a value they do not understand, and the commands of the list.
bool IsReadCommandKey(const std::string& key, int commandCount) {
    for (const char* k : {CommandKey::ShowDialog, CommandKey::Reboot, CommandKey::LogFile, CommandKey::RebootOnExitCodes})
        if (ProfileText::SameName(key, k)) return true;
    int index = CommandIndex(key);
    return index >= 0 && index < commandCount;
}

class Checker {
public:
    Checker(const KitCheckInput& input, CheckReport& report) : m_input(input), m_report(report) {}
    void Run();

private:
    void CheckCommandKeys(const ProfileSection& section, int count);
    void CheckSwitches();
    void CheckStrings(const ProfileSection& section);
    void CheckProbableComments(int commandCount);
    void CheckRunSettings(const DirectoryMacroTable& macros);
    void CheckUnattendedSettings();
    void PlanCommand(int index, const std::string& prepared, const std::string& refusal,
                     const DirectoryMacroTable& macros);
    void CheckBareName(const PlannedCommand& c, const std::string& word);
    void CheckMacros(const PlannedCommand& c, const DirectoryMacroTable& macros);
    void CheckNestedKit(const PlannedCommand& c, const std::string& command);
    // Whether text names <Temp> or <InstallationDir> while the check was not given its directory:
    // the parent installer gives it at run time.
    bool NamesUngivenDirectory(const std::string& text) const {
        std::string lower = LowerAscii(text);
        return (m_input.temp.Wide().empty() && lower.find("<temp>") != std::string::npos) ||
               (m_input.install.Wide().empty() && lower.find("<installationdir>") != std::string::npos);
    }
    int LineOf(const char* section, const char* key) const {
        const ProfileEntry* e = m_profile.Find(section, key);
        return e ? e->line : 0;
    }
    void Add(FindingCode code, int line, const std::string& key, const std::string& message) {
        m_report.Add(code, line, key, key.empty() ? message : key + ": " + message);
    }

    const KitCheckInput& m_input;
    CheckReport& m_report;
    ProfileText m_profile;
};

void Checker::Run() {
    if (m_input.kit.IsRefused()) {
        m_report.commandFile = m_input.kit.Shown() + "\\Setup\\CustCmds.ini";
        Add(FindingCode::CommandFileUnreadable, 0, "",
            "the kit folder " + Quote(m_input.kit.Shown()) + " cannot be represented in the ANSI code page " +
                std::to_string(CodePageNumber()) +
                " and has no short name that can: a run reads no command file from it and runs no command");
        return;
    }
    m_report.commandFile = CommandFilePathFor(m_input.kit.Text());
    DWORD attributes = ::GetFileAttributesA(m_report.commandFile.c_str());
    DWORD error = attributes == INVALID_FILE_ATTRIBUTES   ? ::GetLastError()
                  : attributes & FILE_ATTRIBUTE_DIRECTORY ? static_cast<DWORD>(ERROR_ACCESS_DENIED)
                                                          : m_profile.Load(m_report.commandFile);
    if (error != ERROR_SUCCESS) {
        char message[512] = "";
        ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, message,
                         sizeof message, nullptr);
        std::string text = message;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
        Add(FindingCode::CommandFileUnreadable, 0, "",
            "the command file cannot be read (system error " + std::to_string(error) + ": " + text +
                "); a run would find no commands");
        return;
    }
    m_report.readable = true;

    // The program's own readers, on the kit as a run on this machine would see it.
    SetBaseDirectory(m_input.kit.Text());
    std::vector<std::string> commands, refusals;
    bool reboot = false;
    bool listRead = false;
    try {
        DirectoryMacroTable macros(m_input.kit, m_input.temp, m_input.install, false);
        for (const DirectoryMacroTable::ShortNameNote& note : macros.ShortNameNotes())
            m_report.plainNotes.push_back(note.label + " (" + note.directory + ") cannot be represented in the ANSI code page " +
                                          std::to_string(CodePageNumber()) + ": a run uses its short name " +
                                          note.shortName);
        // The run makes the public directory while it builds the table; where it cannot, the run
        // ends there.
        std::string publicDir = DirectoryMacroTable::PublicDirectory();
        std::vector<std::string> made;
        std::string problem =
            publicDir.empty() ? std::string() : FoldersProblem(publicDir, DynamicPath(publicDir.c_str()).GetDepth(), made);
        if (!problem.empty())
            throw std::runtime_error("the run cannot make the Quelvaran public directory " + Quote(publicDir) + ": " +
                                     problem);
        ReadCommandList(commands, reboot, macros, &refusals);
        listRead = true;
        for (size_t i = 0; i < commands.size(); ++i) PlanCommand(static_cast<int>(i), commands[i], refusals[i], macros);
        CheckRunSettings(macros);
    } catch (const std::exception& e) {
        Add(FindingCode::CommandFileUnreadable, 0, "",
            std::string("the directory macros cannot be worked out on this machine (") + e.what() +
                "); a run here would stop before the first command");
    }
    m_report.rebootAsked = reboot;
    CheckProfileStructure(m_profile, m_report);
    CheckSwitches();
    if (const ProfileSection* s = m_profile.FindSection(kCommandSection); s && listRead)
        CheckCommandKeys(*s, static_cast<int>(commands.size()));
    if (commands.empty() && listRead)
        Add(FindingCode::NoCommands, 0, "",
            m_profile.FindSection(kCommandSection) ? "no commands: Commands_0 is missing or empty"
                                                   : "no commands: the file has no [CustomCommands] section");
    if (const ProfileSection* s = m_profile.FindSection(kStringsSection)) CheckStrings(*s);
    if (listRead) CheckProbableComments(static_cast<int>(commands.size()));
    m_report.SortFindings();
}

void Checker::CheckCommandKeys(const ProfileSection& section, int count) {
    const ProfileEntry* end = nullptr;  // the empty key that ends the list, when it is written
    bool keysAfterEnd = false;
    for (const ProfileEntry& e : section.entries) {
        if (IsComment(e) || m_profile.Find(kCommandSection, e.key) != &e) continue;
        int index = CommandIndex(e.key);
        if (index == count) end = &e;
        if (index > count) keysAfterEnd = true;
    }
    std::string endKey = kCommandKeyPrefix + std::to_string(count);
    for (const ProfileEntry& e : section.entries) {
        if (IsComment(e) || m_profile.Find(kCommandSection, e.key) != &e) continue;
        int index = CommandIndex(e.key);
        if (e.key.find('\0') != std::string::npos) {
            // Said once, with the NUL shown, by the structure check (SC0014).
            continue;
        } else if (!e.hasValue) {
            Add(FindingCode::UnknownKey, e.line, e.key,
                "the line has no '=': it is no key Sarnik reads");
        } else if (index == -2) {
            Add(FindingCode::UnknownKey, e.line, e.key,
                "never read: command keys are Commands_0, Commands_1, ... in decimal without leading zeros");
        } else if (index == -1) {
            bool isKnown = false;
            for (size_t k = 0; k < kSettingKeyCount; ++k) isKnown = isKnown || ProfileText::SameName(e.key, kSettingKeys[k]);
            if (!isKnown)
                Add(FindingCode::UnknownKey, e.line, e.key,
                    "unknown key in [CustomCommands]: Sarnik never reads it");
        } else if (index > count) {
            Add(FindingCode::KeyNeverRead, e.line, e.key,
                end ? "never read: the list ends at " + end->key + " (line " + std::to_string(end->line) +
                          "), which is empty"
                    : "never read: the numbering has a gap at " + endKey + ", where the list ends");
        } else if (index == count && keysAfterEnd) {
            Add(FindingCode::EmptyCommand, e.line, e.key,
                "the empty command ends the list: the commands after it are never read");
        } else if (index < count && m_report.commands[static_cast<size_t>(index)].written.find_first_not_of(
                                        " \t\n\v\f\r") == std::string::npos) {
            Add(FindingCode::EmptyCommand, e.line, e.key,
                "the command holds only white space inside quotation marks: Sarnik tries to start an empty "
                "command, which fails");
        }
    }
}

// The run mode the kit asks for, by the run's own choice, and ShowDialog and Reboot values that
// look meant but do not count.
void Checker::CheckSwitches() {
    std::string value;
    ReadCommandFileValue(kCommandSection, CommandKey::ShowDialog, value);
    m_report.showDialogValue = value;
    // The machine decides the rest: the plan says what the kit asks where somebody can answer.
    RunChoice choice = RunModeFor(m_report.commandFile, std::string());
    m_report.mode = choice.mode == RunMode::Unattended ? "unattended" : choice.mode == RunMode::Silent ? "silent" : "dialog";
    m_report.silent = choice.mode != RunMode::Dialog;
    bool silentValue = !value.empty() && _stricmp(value.c_str(), "FALSE") == 0;
    if (!value.empty() && !silentValue) {
        int line = LineOf(kCommandSection, CommandKey::ShowDialog);
        if (OneOf(value, {"false", "no", "0", "off", "n", "silent"}))
            Add(FindingCode::ShowDialogNotCounted, line, CommandKey::ShowDialog,
                "the value " + Quote(value) + " shows the dialog: only FALSE (in any case) runs silently");
        else if (!OneOf(value, {"true", "yes", "1", "on", "y"}))
            Add(FindingCode::ShowDialogNotCounted, line, CommandKey::ShowDialog,
                "the value " + Quote(value) + " is not FALSE: the dialog is shown");
    }

    ReadCommandFileValue(kCommandSection, CommandKey::Reboot, value);
    m_report.rebootValue = value;
    if (!value.empty() && value != "TRUE" && !OneOf(value, {"false", "no", "0", "off", "n"}))
        Add(FindingCode::RebootNotCounted, LineOf(kCommandSection, CommandKey::Reboot), CommandKey::Reboot,
            "the value " + Quote(value) +
                " does not ask about a restart: only TRUE, in upper case and without blanks, counts");
}

// LogFile and RebootOnExitCodes, judged by the run's own parsers.
void Checker::CheckRunSettings(const DirectoryMacroTable& macros) {
    std::string value;
    if (ReadCommandFileValue(kCommandSection, CommandKey::LogFile, value) != 0) {
        int line = LineOf(kCommandSection, CommandKey::LogFile);
        std::string refusal;
        std::string path = ReadLogFilePath(macros, &refusal);
        m_report.plainNotes.push_back("Log file: " + path);
        // Checked only when it names no directory that the parent installer gives at run time.
        bool checkable = !NamesUngivenDirectory(value);
        if (!checkable) m_report.plainNotes.push_back("  (not checked: give TEMP_DIR and INSTALL_DIR to check it)");
        std::string problem = !refusal.empty() ? refusal
                              : checkable       ? LogFileProblem(path, m_report.commandFile)
                                                : std::string();
        if (!problem.empty())
            Add(FindingCode::LogFileUnusable, line, CommandKey::LogFile,
                "the log file " + Quote(path) + " cannot be written: " + problem + "; the run logs one line saying so");
    }
    if (ReadCommandFileValue(kCommandSection, CommandKey::RebootOnExitCodes, value) != 0) {
        ExitCodeList codes = ParseExitCodeList(value);
        m_report.plainNotes.push_back("Restart asked after the exit codes: " + CodesText(codes));
        for (const std::string& entry : codes.ignored)
            Add(FindingCode::RebootExitCodesInvalid, LineOf(kCommandSection, CommandKey::RebootOnExitCodes),
                CommandKey::RebootOnExitCodes, "the entry " + Quote(entry) + " is not a decimal exit code and is ignored");
    }
    ExitCodeList success = ReadExitCodeList(CommandKey::SuccessExitCodes);
    if (success.given) {
        int line = LineOf(kCommandSection, CommandKey::SuccessExitCodes);
        m_report.judgesExitCodes = true;
        for (uint32_t code : success.codes) m_report.successExitCodes.push_back(static_cast<int>(code));
        for (const std::string& entry : success.ignored)
            Add(FindingCode::SuccessExitCodesInvalid, line, CommandKey::SuccessExitCodes,
                "the entry " + Quote(entry) + " is not a decimal exit code and is ignored");
        if (!success.Contains(0))
            Add(FindingCode::SuccessWithoutZero, line, CommandKey::SuccessExitCodes,
                "0 is not among the codes: a command that ends without an error fails the run");
    }
    CheckUnattendedSettings();
}

// Unattended, CommandTimeout, CommandTimeoutAction, WaitForChildProcesses and
// HideConsoleWindows, judged by the run's own parsers.
void Checker::CheckUnattendedSettings() {
    std::string value;
    if (ReadCommandFileValue(kCommandSection, CommandKey::Unattended, value) != 0) {
        SwitchValue unattended = ParseSwitch(value);
        m_report.plainNotes.push_back(
            unattended == SwitchValue::True    ? "Unattended: always: no message box; every question gets its default answer"
            : unattended == SwitchValue::False ? "Unattended: never: questions are asked also where nobody can answer"
                                               : "Unattended: when nobody can answer (window station not visible, session 0)");
        if (unattended == SwitchValue::Other)
            Add(FindingCode::UnattendedNotCounted, LineOf(kCommandSection, CommandKey::Unattended), CommandKey::Unattended,
                "the value " + Quote(value) +
                    " is neither TRUE nor FALSE: the run is unattended only when nobody can answer");
    }
    // The run's own reading of the three, for the plan of each command.
    CommandWaits waits = ReadCommandWaits();
    m_report.timeLimitSeconds = waits.timeoutSeconds;
    m_report.terminateAtLimit = waits.timeoutSeconds != 0 && waits.timeoutAction == TimeoutAction::Terminate;
    m_report.waitForChildProcesses = waits.wholeTree;
    if (ReadCommandFileValue(kCommandSection, CommandKey::CommandTimeout, value) != 0) {
        m_report.plainNotes.push_back(waits.timeoutSeconds ? "Time limit per command: " + std::to_string(waits.timeoutSeconds) + " s"
                                                           : std::string("Time limit per command: none"));
        if (!waits.ignoredTimeout.empty())
            Add(FindingCode::CommandTimeoutInvalid, LineOf(kCommandSection, CommandKey::CommandTimeout),
                CommandKey::CommandTimeout,
                "the value " + Quote(value) + " is not a whole number of seconds from 1 to " +
                    std::to_string(kMaxCommandTimeoutSeconds) + ": it is ignored and commands have no time limit");
    }
    if (ReadCommandFileValue(kCommandSection, CommandKey::CommandTimeoutAction, value) != 0) {
        int line = LineOf(kCommandSection, CommandKey::CommandTimeoutAction);
        if (!waits.ignoredAction.empty())
            Add(FindingCode::TimeoutActionNotCounted, line, CommandKey::CommandTimeoutAction,
                "the value " + Quote(value) + " is neither Leave nor Terminate: a command over its time limit is left running");
        else if (waits.timeoutAction == TimeoutAction::Terminate && !waits.timeoutSeconds)
            Add(FindingCode::TimeoutActionWithoutLimit, line, CommandKey::CommandTimeoutAction,
                "Terminate without a CommandTimeout ends nothing: commands have no time limit");
        if (m_report.terminateAtLimit)
            m_report.plainNotes.push_back(waits.wholeTree
                                              ? "A command over its time limit is ended, with every process it started"
                                              : "A command over its time limit is ended (its process; the processes it "
                                                "started run on)");
    }
    if (ReadCommandFileValue(kCommandSection, CommandKey::WaitForChildProcesses, value) != 0) {
        SwitchValue tree = ParseSwitch(value);
        int line = LineOf(kCommandSection, CommandKey::WaitForChildProcesses);
        if (tree == SwitchValue::True)
            m_report.plainNotes.push_back("Each command is waited for with every process it starts");
        if (tree == SwitchValue::True && !waits.timeoutSeconds)
            Add(FindingCode::ChildWaitWithoutLimit, line, CommandKey::WaitForChildProcesses,
                "TRUE without a CommandTimeout: a command that leaves a process running (a tray program, a "
                "helper that never ends) holds the installation up for good");
        if (tree == SwitchValue::Other)
            Add(FindingCode::WaitForChildProcessesNotCounted, line, CommandKey::WaitForChildProcesses,
                "the value " + Quote(value) + " is neither TRUE nor FALSE: the processes a command starts are not waited for");
    }
    SwitchValue hide = ReadHideConsoleWindows();
    m_report.consoleWindows = hide == SwitchValue::True    ? "hidden"
                              : hide == SwitchValue::False ? "shown"
                              : RunModeFor(m_report.commandFile, std::string()).mode == RunMode::Unattended
                                  ? "hidden"
                                  : "hidden where unattended";
    if (ReadCommandFileValue(kCommandSection, CommandKey::CaptureOutput, value) != 0) {
        SwitchValue capture = ParseSwitch(value);
        m_report.outputCaptured = capture == SwitchValue::True;
        // The run starts every command without a console window when it captures the output.
        if (m_report.outputCaptured) m_report.consoleWindows = "hidden (output captured)";
        if (capture == SwitchValue::Other)
            Add(FindingCode::CaptureOutputNotCounted, LineOf(kCommandSection, CommandKey::CaptureOutput),
                CommandKey::CaptureOutput,
                "the value " + Quote(value) + " is neither TRUE nor FALSE: the commands' output is not captured");
    }
    if (hide == SwitchValue::Other) {
        ReadCommandFileValue(kCommandSection, CommandKey::HideConsoleWindows, value);
        Add(FindingCode::HideConsoleWindowsNotCounted, LineOf(kCommandSection, CommandKey::HideConsoleWindows),
            CommandKey::HideConsoleWindows,
            "the value " + Quote(value) + " is neither TRUE nor FALSE: console windows are hidden only where the run is unattended");
    }
}

void Checker::CheckStrings(const ProfileSection& section) {
    for (const ProfileEntry& e : section.entries) {
        if (IsComment(e) || m_profile.Find(kStringsSection, e.key) != &e) continue;
        const DisplayTextEntry* entry = FindDisplayText(e.key.c_str());
        if (!entry) {
            Add(FindingCode::UnknownStringsKey, e.line, e.key,
                "unknown [Strings] key: Sarnik never shows this text");
            continue;
        }
        std::string value;
        ReadCommandFileValue(kStringsSection, entry->key, value);
        if (value.empty()) continue;
        if (!*entry->conversions) {
            // A text without placeholders is shown as it stands; nothing is formatted into it.
            std::string written = PlaceholdersIn(value);
            if (!written.empty())
                Add(FindingCode::PlaceholderShownAsWritten, e.line, e.key,
                    "this text takes no placeholders: Sarnik shows it as written, " + written + " included");
        } else if (!DisplayTextFits(value, entry->conversions)) {
            std::string wanted;
            for (const char* c = entry->conversions; *c; ++c)
                wanted += std::string(wanted.empty() ? "" : " ") + "%" + *c;
            Add(FindingCode::PlaceholdersDoNotFit, e.line, e.key,
                "the placeholders do not fit " + wanted +
                    " (in this order, the later ones may be left out): Sarnik shows the built-in text instead");
        }
    }
}

// Values that hold a blank and then ';': a comment only at the start of a line, so the text after
// it belongs to the value.
void Checker::CheckProbableComments(int commandCount) {
    for (const char* sectionName : {kCommandSection, kStringsSection}) {
        const ProfileSection* section = m_profile.FindSection(sectionName);
        if (!section) continue;
        for (const ProfileEntry& e : section->entries) {
            if (IsComment(e) || !e.hasValue || e.quoted || m_profile.Find(sectionName, e.key.c_str()) != &e) continue;
            bool read = sectionName == kStringsSection ? FindDisplayText(e.key.c_str()) != nullptr
                                                       : IsReadCommandKey(e.key, commandCount);
            if (!read) continue;
            const std::string& v = e.value;
            for (size_t i = 0; i < v.size(); i += CharWidthAt(v, i)) {
                if ((v[i] != ' ' && v[i] != '\t') || i + 1 >= v.size()) continue;
                size_t next = i + 1;
                while (next < v.size() && (v[next] == ' ' || v[next] == '\t')) ++next;
                if (next < v.size() && v[next] == ';') {
                    Add(FindingCode::ProbableComment, e.line, e.key,
                        "a ';' after a blank starts no comment inside a value: Sarnik reads the value " + Quote(v) +
                            ", not " + Quote(v.substr(0, i)) + "; put a comment on a line of its own");
                    break;
                }
            }
        }
    }
}

void Checker::PlanCommand(int index, const std::string& prepared, const std::string& refusal,
                          const DirectoryMacroTable& macros) {
    PlannedCommand c;
    c.key = kCommandKeyPrefix + std::to_string(index);
    c.line = LineOf(kCommandSection, c.key.c_str());
    bool exact = true;
    ReadCommandFileValue(kCommandSection, c.key.c_str(), c.written, &exact);
    // The run does not start a command that holds, or uses, a text the code page cannot
    // represent: with the look-alike of best fit it would start another program, or work on
    // another folder. Nothing is started, and the command is shown as the run's log shows it.
    if (!refusal.empty()) {
        if (!exact) c.written = prepared;
        m_report.commands.push_back(c);
        Add(FindingCode::TextNotRepresentable, c.line, c.key, refusal);
        return;
    }

    // The run's own preparation, in its order.
    std::string command = prepared;
    bool searched = NeedsPathSearch(command);
    if (searched) ResolveProgramPath(command);
    std::string afterSearch = command;
    RewriteNestedKitCommand(command);
    c.started = command;
    c.setupEngine = IsSetupEngine(command);
    // A system DLL that could not be bound on this machine: the plan says why, as a run's log would.
    for (const SystemLibraryNote& note : TakeSystemLibraryNotes()) m_report.plainNotes.push_back(SystemLibraryNoteLine(note));
    std::string setupPart;
    if (command != afterSearch) DetectNestedKit(afterSearch, setupPart, c.nestedKitPackage);
    m_report.commands.push_back(c);
    PlannedCommand& planned = m_report.commands.back();

    CheckMacros(planned, macros);
    if (planned.nestedKitPackage.empty()) CheckNestedKit(planned, afterSearch);

    std::string word = TokenScanner(afterSearch).NextPathWord();
    planned.programFound = afterSearch != prepared || FileExists(word);
    if (!HasAnyExtension(word))
        for (const char* ext : {".exe", ".com", ".bat"})
            planned.programFound = planned.programFound || FileExists(word + ext);
    // A path from the current directory depends on where the parent installer starts Sarnik.
    bool relative = !prepared.empty() && prepared[0] == '.';
    if (planned.nestedKitPackage.empty() && !relative) {
        UnquotedProgram program = FindUnquotedProgram(command);
        planned.programFound = planned.programFound || program.started >= 0;
        if (program.started > 0)
            Add(FindingCode::UnquotedProgramPath, planned.line, planned.key,
                "the program path holds a blank and is not in quotation marks: the system tries " +
                    Quote(program.tried[0]) + " first and starts " + Quote(program.tried[program.started]) +
                    " only while that file does not exist; write the path in quotation marks to leave no doubt");
        else if (program.started == 0 && program.later > 0)
            Add(FindingCode::UnquotedProgramPath, planned.line, planned.key,
                "the program path is not in quotation marks: the system starts " + Quote(program.tried[0]) +
                    ", not " + Quote(program.tried[program.later]) +
                    " behind the blank; write the path meant in quotation marks");
    }
    if (!planned.programFound && !relative && planned.nestedKitPackage.empty() && !word.empty() &&
        word.find('<') == std::string::npos)
        Add(FindingCode::ProgramNotFound, planned.line, planned.key,
            "program " + Quote(word) + (searched ? " is not found on the search path" : " does not exist") +
                " on this machine (it may be installed before the command runs)");

    // The search replaces every occurrence of the program word, also inside the arguments; counted
    // as the run finds them, by character ("ツmd" holds no "cmd": ツ is 0x83 0x63).
    std::string searchedWord = TokenScanner(prepared).NextPathWord();
    size_t occurrences = 0;
    for (size_t at = FindText(prepared, searchedWord); at != std::string::npos;
         at = FindText(prepared, searchedWord, at + searchedWord.size()))
        ++occurrences;
    if (searched) CheckBareName(planned, searchedWord);
    if (searched && afterSearch != prepared && occurrences > 1)
        Add(FindingCode::ProgramWordRepeated, planned.line, planned.key,
            "the program word " + Quote(searchedWord) + " occurs " + std::to_string(occurrences) +
                " times; the program search replaces every occurrence, also in the arguments");

    if (command.size() > kMaxCommandLine)
        Add(FindingCode::CommandTooLong, planned.line, planned.key,
            "the command is " + std::to_string(command.size()) + " characters long; a process command line holds " +
                std::to_string(kMaxCommandLine) + " at most, so it cannot be started");
    else if ((HasExtension(word, ".bat") || HasExtension(word, ".cmd")) && command.size() > kMaxInterpreterLine)
        Add(FindingCode::CommandTooLong, planned.line, planned.key,
            "the command is " + std::to_string(command.size()) + " characters long; the command interpreter that "
                "runs a batch file takes " + std::to_string(kMaxInterpreterLine) + " at most");
}

// A bare program name that the kit folder supplies. The search begins with the folder of
// sarnik.exe, which is the kit folder, so a "cmd.exe" there is started before the system's, with
// the installer's rights. Kits rely on tools shipped beside Sarnik, so the order stays; a name
// that the system folder also has is where a planted file would pass for the system's program.
void Checker::CheckBareName(const PlannedCommand& c, const std::string& word) {
    if (word.empty() || HasCharacter(word, '\\') || HasCharacter(word, '/') || HasCharacter(word, ':')) return;
    wchar_t systemWide[MAX_PATH];
    UINT n = ::GetSystemDirectoryW(systemWide, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return;
    AnsiPath system = AnsiPath::FromWide(std::wstring(systemWide, n));
    if (system.IsRefused()) return;
    for (const char* extension : {".exe", ".com", ".bat"}) {
        // The extension is tried only for a word without one of its own, as the search does.
        std::string name = HasAnyExtension(word) ? word : word + extension;
        std::string own = m_input.kit.Text() + "\\" + name;
        if (FileExists(own)) {
            std::string systemFile = system.Text() + "\\" + name;
            if (FileExists(systemFile))
                Add(FindingCode::KitShadowsSystemProgram, c.line, c.key,
                    "the program " + Quote(word) + " is " + Quote(own) +
                        " in the kit folder, which the program search tries before the system folder's " +
                        Quote(systemFile) +
                        ": whoever can write the kit folder decides what this command runs; write the path meant "
                        "(<WinSystem32>\\" + name + " or <Quelvaran>\\" + name + ")");
            return;
        }
        std::string elsewhere;
        if (HasAnyExtension(word) || SearchProgram(word, extension, elsewhere)) return;
    }
}

// Texts in angle brackets that the macro table will not replace.
void Checker::CheckMacros(const PlannedCommand& c, const DirectoryMacroTable& macros) {
    std::string text = c.written;
    for (size_t i = 0; i < text.size();) {
        unsigned char ch = static_cast<unsigned char>(text[i]);
        if (_ismbblead(ch) && i + 1 < text.size()) {
            i += 2;
            continue;
        }
        if (ch != '<') {
            ++i;
            continue;
        }
        size_t j = i + 1;
        while (j < text.size() && (std::isalnum(static_cast<unsigned char>(text[j])) || text[j] == '_')) ++j;
        std::string word = text.substr(i + 1, j - i - 1);
        bool closed = j < text.size() && text[j] == '>';
        std::string name = "<" + word + ">";
        const char* known = nullptr;
        for (size_t k = 0; k < kDirectoryMacroNameCount; ++k)
            if (LowerAscii(kDirectoryMacroNames[k]) == LowerAscii(name)) known = kDirectoryMacroNames[k];
        if (word.empty() || !std::isalpha(static_cast<unsigned char>(word[0]))) {
            i = j;
            continue;
        }
        if (!closed) {
            // "^<WinDir^>" is the command interpreter's escape for a literal text, not a slip.
            bool escaped = PrecededByCaret(text, i);
            if (known && !escaped)
                Add(FindingCode::UnclosedMacro, c.line, c.key,
                    Quote("<" + word) + " lacks its closing '>': " + known + " is not replaced");
            i = j;
            continue;
        }
        if (!known) {
            Add(FindingCode::UnknownMacro, c.line, c.key,
                Quote(name) + " looks like a directory macro but is none: it stays in the command as written");
        } else {
            bool registered = false;
            for (int k = 0; k < macros.Count(); ++k)
                registered = registered || LowerAscii(macros.Name(k).GetString()) == LowerAscii(name);
            bool fromCommandLine =
                ProfileText::SameName(name, "<Temp>") || ProfileText::SameName(name, "<InstallationDir>");
            if (!registered && !fromCommandLine) {
                Add(FindingCode::MacroWithoutValue, c.line, c.key,
                    std::string(known) + " has no value on this machine: it stays in the command as written");
            } else if (registered) {
                // The table's own whole-word search tells which occurrences it leaves alone.
                DynamicString work(text.c_str(), true);
                std::vector<int> any, whole;
                work.FindAll(name.c_str(), any, 0, true, false);
                work.FindAll(name.c_str(), whole, 0, true, true);
                bool standsAlone = false;
                for (int at : whole) standsAlone = standsAlone || at == static_cast<int>(i);
                if (!standsAlone)
                    Add(FindingCode::MacroInsideWord, c.line, c.key,
                        Quote(text.substr(i, j + 1 - i)) +
                            " touches a letter, digit or underscore: macros are replaced only as whole words");
            }
        }
        i = j + 1;
    }
}

// A SETUP.EXE with a SETUP.INI beside it that is not rewritten: say why.
void Checker::CheckNestedKit(const PlannedCommand& c, const std::string& command) {
    size_t at = 0;
    std::string description = KitDescriptionPath(command, at);
    if (description.empty() || !FileExists(description)) return;
    std::string package;
    if (ReadFileValue("Installer", "Package", package, description.c_str()) == 0) {
        Add(FindingCode::KitNotTemplate, c.line, c.key,
            description + " names no [Installer] Package: the setup program runs as written");
        return;
    }
    std::string path = KitPackagePath(description, package);
    if (!FileExists(path)) {
        Add(FindingCode::KitPackageMissing, c.line, c.key,
            "the nested kit's package " + path + " is missing: the setup program runs as written");
        return;
    }
    MsiHandle database = OpenKitDatabase(path);
    // Without msi.dll no package can be read here; the plan's note says so.
    if (!database && !BoundMsi()) return;
    if (!database) {
        Add(FindingCode::KitPackageNotInstaller, c.line, c.key,
            "the nested kit's package " + path +
                " is not a Windows Installer package: the setup program runs as written");
        return;
    }
    std::string revision;
    if (ReadKitTemplateRevision(database.Get(), revision) != ERROR_SUCCESS || revision.empty())
        Add(FindingCode::KitNotTemplate, c.line, c.key,
            "the package " + path + " has no ZQMSIDISTKIT_TEMPLATE_REV property: the setup program runs as written");
}
}  // namespace

CheckReport CheckKit(const KitCheckInput& input) {
    CheckReport report;
    Checker(input, report).Run();
    return report;
}
