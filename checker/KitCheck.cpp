#include "checker/KitCheck.h"

#include <windows.h>

#include <mbctype.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <vector>

#include "PATH.h"
#include "app/TokenScanner.h"
#include "checker/ProfileText.h"
#include "installer/NestedKit.h"
#include "installer/ParentWait.h"
#include "macros/DirectoryMacroTable.h"
#include "runner/CommandFile.h"
#include "runner/Launch.h"
#include "runner/RunLog.h"
#include "runner/RunSettings.h"

namespace {
const char kCommandSection[] = "CustomCommands";
const char kStringsSection[] = "Strings";
const char kCommandPrefix[] = "Commands_";
const size_t kCommandPrefixLength = sizeof kCommandPrefix - 1;

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

// Why a run could not write the log file at path, or "" when nothing stands in its way.
std::string LogFileProblem(const std::string& path, const std::string& commandFile) {
    if (path.size() >= MAX_PATH)
        return "the path is " + std::to_string(path.size()) + " characters long; a file name holds " +
               std::to_string(MAX_PATH - 1) + " at most";
    DynamicString why;
    if (!DynamicPath(path.c_str()).Validate(false, &why))
        return std::string("it is no valid file path (") + why.GetString() + ")";
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return "it names a folder";
    if (SameExistingFile(path, commandFile)) return "it is the command file itself";
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY)) return "the file is read-only";
    // The folders the run would make: the nearest one that exists must be a folder.
    std::vector<size_t> cuts = SeparatorPositions(path);
    for (size_t k = cuts.size(); k-- > 0 && cuts[k] >= 3;) {
        std::string up = path.substr(0, cuts[k]);
        DWORD a = ::GetFileAttributesA(up.c_str());
        if (a == INVALID_FILE_ATTRIBUTES) continue;
        if (!(a & FILE_ATTRIBUTE_DIRECTORY)) return up + " is a file, so no folder can be made there";
        break;
    }
    return std::string();
}

// Commands_N with N in decimal without padding, as the list reader forms its keys; -1 for any
// other key, -2 for a Commands_ key that the reader can never form (Commands_01, Commands_x).
int CommandIndex(const std::string& key) {
    if (key.size() < kCommandPrefixLength ||
        !ProfileText::SameName(key.substr(0, kCommandPrefixLength), kCommandPrefix))
        return -1;
    std::string digits = key.substr(kCommandPrefixLength);
    if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos ||
        (digits.size() > 1 && digits[0] == '0'))
        return -2;
    return std::atoi(digits.c_str());
}

class Checker {
public:
    Checker(const KitCheckInput& input, CheckReport& report) : m_input(input), m_report(report) {}
    void Run();

private:
    void CheckStructure();
    void CheckCommandKeys(const ProfileSection& section, int count);
    void CheckSwitches();
    void CheckStrings(const ProfileSection& section);
    void CheckRunSettings(const DirectoryMacroTable& macros);
    void PlanCommand(int index, const std::string& prepared, const DirectoryMacroTable& macros);
    void CheckMacros(const PlannedCommand& c, const DirectoryMacroTable& macros);
    void CheckNestedKit(const PlannedCommand& c, const std::string& command);
    // Whether text names <Temp> or <InstallationDir> while the check was not given its directory:
    // the parent installer gives it at run time.
    bool NamesUngivenDirectory(const std::string& text) const {
        std::string lower = LowerAscii(text);
        return (m_input.tempDir.empty() && lower.find("<temp>") != std::string::npos) ||
               (m_input.installDir.empty() && lower.find("<installationdir>") != std::string::npos);
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
    m_report.commandFile = m_input.kitDir + "\\Setup\\CustCmds.ini";
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
    SetBaseDirectory(m_input.kitDir);
    std::vector<std::string> commands;
    bool reboot = false;
    bool listRead = false;
    try {
        DirectoryMacroTable macros(DynamicString(m_input.kitDir.c_str(), true),
                                   DynamicString(m_input.tempDir.c_str(), true),
                                   DynamicString(m_input.installDir.c_str(), true), false);
        ReadCommandList(commands, reboot, macros);
        listRead = true;
        for (size_t i = 0; i < commands.size(); ++i) PlanCommand(static_cast<int>(i), commands[i], macros);
        CheckRunSettings(macros);
    } catch (const std::exception& e) {
        Add(FindingCode::CommandFileUnreadable, 0, "",
            std::string("the directory macros cannot be worked out on this machine (") + e.what() +
                "); a run here would stop before the first command");
    }
    m_report.rebootAsked = reboot;
    CheckStructure();
    CheckSwitches();
    if (const ProfileSection* s = m_profile.FindSection(kCommandSection); s && listRead)
        CheckCommandKeys(*s, static_cast<int>(commands.size()));
    if (commands.empty() && listRead)
        Add(FindingCode::NoCommands, 0, "",
            m_profile.FindSection(kCommandSection) ? "no commands: Commands_0 is missing or empty"
                                                   : "no commands: the file has no [CustomCommands] section");
    if (const ProfileSection* s = m_profile.FindSection(kStringsSection)) CheckStrings(*s);
    m_report.SortFindings();
}

// Sections and keys written twice, lines outside any section.
void Checker::CheckStructure() {
    const std::vector<ProfileSection>& sections = m_profile.Sections();
    for (const ProfileEntry& e : sections[0].entries)
        if (!IsComment(e))
            Add(FindingCode::OutsideSection, e.line, e.key,
                "this line stands before the first section header and is never read");
    for (size_t i = 1; i < sections.size(); ++i) {
        const ProfileSection& s = sections[i];
        const ProfileSection* first = m_profile.FindSection(s.name.c_str());
        if (first != &s) {
            Add(FindingCode::DuplicateSection, s.line, "[" + s.name + "]",
                "the section is written again; only the first, " +
                    (first->line ? "at line " + std::to_string(first->line) : std::string("before the first header")) +
                    ", is read, and the keys below this header never are");
            continue;
        }
        for (const ProfileEntry& e : s.entries) {
            if (IsComment(e)) continue;
            const ProfileEntry* firstKey = m_profile.Find(s.name.c_str(), e.key.c_str());
            if (firstKey && firstKey != &e)
                Add(FindingCode::DuplicateKey, e.line, e.key,
                    "the key is written again; only the first, at line " + std::to_string(firstKey->line) +
                        ", is read");
        }
    }
}

void Checker::CheckCommandKeys(const ProfileSection& section, int count) {
    const ProfileEntry* end = nullptr;  // the empty key that ends the list, when it is written
    bool keysAfterEnd = false;
    for (const ProfileEntry& e : section.entries) {
        if (IsComment(e) || m_profile.Find(kCommandSection, e.key.c_str()) != &e) continue;
        int index = CommandIndex(e.key);
        if (index == count) end = &e;
        if (index > count) keysAfterEnd = true;
    }
    std::string endKey = kCommandPrefix + std::to_string(count);
    for (const ProfileEntry& e : section.entries) {
        if (IsComment(e) || m_profile.Find(kCommandSection, e.key.c_str()) != &e) continue;
        int index = CommandIndex(e.key);
        if (!e.hasValue) {
            Add(FindingCode::UnknownKey, e.line, e.key,
                "the line has no '=': it is no key Sarnik reads");
        } else if (index == -2) {
            Add(FindingCode::UnknownKey, e.line, e.key,
                "never read: command keys are Commands_0, Commands_1, ... in decimal without leading zeros");
        } else if (index == -1) {
            static const char* const known[] = {"ShowDialog", "Reboot", "LogFile", "RebootOnExitCodes"};
            bool isKnown = false;
            for (const char* k : known) isKnown = isKnown || ProfileText::SameName(e.key, k);
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

// ShowDialog and Reboot: values that look meant but do not count.
void Checker::CheckSwitches() {
    std::string value;
    ReadCommandFileValue(kCommandSection, "ShowDialog", value);
    m_report.showDialogValue = value;
    // The same test as the application's start-up.
    m_report.silent = !value.empty() && _stricmp(value.c_str(), "FALSE") == 0;
    if (!value.empty() && !m_report.silent) {
        int line = LineOf(kCommandSection, "ShowDialog");
        if (OneOf(value, {"false", "no", "0", "off", "n", "silent"}))
            Add(FindingCode::ShowDialogNotCounted, line, "ShowDialog",
                "the value " + Quote(value) + " shows the dialog: only FALSE (in any case) runs silently");
        else if (!OneOf(value, {"true", "yes", "1", "on", "y"}))
            Add(FindingCode::ShowDialogNotCounted, line, "ShowDialog",
                "the value " + Quote(value) + " is not FALSE: the dialog is shown");
    }

    ReadCommandFileValue(kCommandSection, "Reboot", value);
    m_report.rebootValue = value;
    if (!value.empty() && value != "TRUE" && !OneOf(value, {"false", "no", "0", "off", "n"}))
        Add(FindingCode::RebootNotCounted, LineOf(kCommandSection, "Reboot"), "Reboot",
            "the value " + Quote(value) +
                " does not ask about a restart: only TRUE, in upper case and without blanks, counts");
}

// LogFile and RebootOnExitCodes, judged by the run's own parsers.
void Checker::CheckRunSettings(const DirectoryMacroTable& macros) {
    std::string value;
    if (ReadCommandFileValue(kCommandSection, "LogFile", value) != 0) {
        int line = LineOf(kCommandSection, "LogFile");
        std::string path = LogFilePathFrom(value, m_input.kitDir, macros);
        m_report.plainNotes.push_back("Log file: " + path);
        // Checked only when it names no directory that the parent installer gives at run time.
        bool checkable = !NamesUngivenDirectory(value);
        if (!checkable) m_report.plainNotes.push_back("  (not checked: give TEMP_DIR and INSTALL_DIR to check it)");
        std::string problem = checkable ? LogFileProblem(path, m_report.commandFile) : std::string();
        if (!problem.empty())
            Add(FindingCode::LogFileUnusable, line, "LogFile",
                "the log file " + Quote(path) + " cannot be written: " + problem + "; the run logs one line saying so");
    }
    if (ReadCommandFileValue(kCommandSection, "RebootOnExitCodes", value) != 0) {
        RestartExitCodes codes = ParseRestartExitCodes(value);
        std::string list;
        for (uint32_t code : codes.codes) list += (list.empty() ? "" : ", ") + std::to_string(static_cast<int>(code));
        m_report.plainNotes.push_back("Restart asked after the exit codes: " + (list.empty() ? "none" : list));
        for (const std::string& entry : codes.ignored)
            Add(FindingCode::RebootExitCodesInvalid, LineOf(kCommandSection, "RebootOnExitCodes"),
                "RebootOnExitCodes", "the entry " + Quote(entry) + " is not a decimal exit code and is ignored");
    }
}

void Checker::CheckStrings(const ProfileSection& section) {
    for (const ProfileEntry& e : section.entries) {
        if (IsComment(e) || m_profile.Find(kStringsSection, e.key.c_str()) != &e) continue;
        const DisplayTextEntry* entry = FindDisplayText(e.key.c_str());
        if (!entry) {
            Add(FindingCode::UnknownStringsKey, e.line, e.key,
                "unknown [Strings] key: Sarnik never shows this text");
            continue;
        }
        std::string value;
        ReadCommandFileValue(kStringsSection, entry->key, value);
        if (!value.empty() && !DisplayTextFits(value, entry->conversions)) {
            std::string wanted;
            for (const char* c = entry->conversions; *c; ++c)
                wanted += std::string(wanted.empty() ? "" : " ") + "%" + *c;
            Add(FindingCode::PlaceholdersDoNotFit, e.line, e.key,
                "the placeholders do not fit " + wanted +
                    " (in this order, the later ones may be left out): Sarnik shows the built-in text instead");
        }
    }
}

void Checker::PlanCommand(int index, const std::string& prepared, const DirectoryMacroTable& macros) {
    PlannedCommand c;
    c.key = kCommandPrefix + std::to_string(index);
    c.line = LineOf(kCommandSection, c.key.c_str());
    ReadCommandFileValue(kCommandSection, c.key.c_str(), c.written);

    // The run's own preparation, in its order.
    std::string command = prepared;
    bool searched = NeedsPathSearch(command);
    if (searched) ResolveProgramPath(command);
    std::string afterSearch = command;
    RewriteNestedKitCommand(command);
    c.started = command;
    c.setupEngine = IsSetupEngine(command);
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
    // An unquoted path with blanks: CreateProcessA tries the text up to each blank in turn as
    // the program (".exe" added when it has no extension), so "C:\My App\app.exe /q" starts
    // "C:\My App\app.exe" even though the first word names no file.
    if (!planned.programFound && !afterSearch.empty() && afterSearch[0] != '"') {
        for (size_t i = 0; i < afterSearch.size() && !planned.programFound;
             i += ::IsDBCSLeadByte(static_cast<BYTE>(afterSearch[i])) && i + 1 < afterSearch.size() ? 2 : 1) {
            if (afterSearch[i] != ' ' || i == word.size()) continue;
            std::string candidate = afterSearch.substr(0, i);
            if (candidate.find('\\') == std::string::npos) continue;
            planned.programFound = FileExists(HasAnyExtension(candidate) ? candidate : candidate + ".exe");
        }
    }
    // A path from the current directory depends on where the parent installer starts Sarnik.
    bool relative = !prepared.empty() && prepared[0] == '.';
    if (!planned.programFound && !relative && planned.nestedKitPackage.empty() && !word.empty() &&
        word.find('<') == std::string::npos)
        Add(FindingCode::ProgramNotFound, planned.line, planned.key,
            "program " + Quote(word) + (searched ? " is not found on the search path" : " does not exist") +
                " on this machine (it may be installed before the command runs)");

    // The search replaces every occurrence of the program word, also inside the arguments.
    std::string searchedWord = TokenScanner(prepared).NextPathWord();
    size_t occurrences = 0;
    for (size_t at = prepared.find(searchedWord); !searchedWord.empty() && at != std::string::npos;
         at = prepared.find(searchedWord, at + searchedWord.size()))
        ++occurrences;
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
            bool escaped = i > 0 && text[i - 1] == '^';
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
