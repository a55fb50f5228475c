// What sarnikcheck found in a kit: the plan of the run and the findings, printed as text in the
// form build tools and editors parse, or as one JSON document.
#pragma once

#include <string>
#include <vector>

enum class Severity { Warning, Error };

// The stable finding codes; docs/command-file.md lists them with their meaning.
enum class FindingCode {
    CommandFileUnreadable = 1,   // SC0001 error: nothing could be checked
    NoCommands = 2,              // SC0002 warning
    KeyNeverRead = 3,            // SC0003 error: a Commands_ key after the end of the list
    EmptyCommand = 4,            // SC0004 error: an empty command that ends the list early or runs as nothing
    DuplicateKey = 5,            // SC0005 warning
    DuplicateSection = 6,        // SC0006 warning
    UnknownKey = 7,              // SC0007 warning: in [CustomCommands]
    OutsideSection = 9,          // SC0009 warning
    UnknownMacro = 10,           // SC0010 warning
    UnclosedMacro = 11,          // SC0011 warning
    MacroInsideWord = 12,        // SC0012 warning
    MacroWithoutValue = 13,      // SC0013 warning
    ProgramNotFound = 20,        // SC0020 warning
    KitPackageMissing = 21,      // SC0021 error
    KitPackageNotInstaller = 22, // SC0022 error
    KitNotTemplate = 23,         // SC0023 warning
    CommandTooLong = 25,         // SC0025 error
    ProgramWordRepeated = 26,    // SC0026 warning: the search replaces it in the arguments too
    RebootNotCounted = 30,       // SC0030 warning
    ShowDialogNotCounted = 31,   // SC0031 warning
    PlaceholdersDoNotFit = 40,   // SC0040 warning
    UnknownStringsKey = 41,      // SC0041 warning
    LogFileUnusable = 50,        // SC0050 error
    RebootExitCodesInvalid = 51, // SC0051 error
};

struct Finding {
    Severity severity = Severity::Warning;
    FindingCode code = FindingCode::NoCommands;
    int line = 0;     // 0: the file as a whole
    std::string key;  // the key or section it concerns, as written
    std::string message;
};

struct PlannedCommand {
    std::string key;
    int line = 0;
    std::string written;   // the value as the reader returns it
    std::string started;   // what CreateProcessA would get
    bool programFound = false;
    bool setupEngine = false;
    std::string nestedKitPackage;  // non-empty: rewritten into a Windows Installer command
};

struct CheckReport {
    std::string commandFile;
    bool readable = false;
    bool silent = false;
    std::string showDialogValue;
    bool rebootAsked = false;
    std::string rebootValue;
    std::vector<std::string> plainNotes;  // further lines of the plan (log file, exit codes)
    std::vector<PlannedCommand> commands;
    std::vector<Finding> findings;

    void Add(Severity severity, FindingCode code, int line, const std::string& key, const std::string& message);
    // 0 no findings, 1 warnings only, 2 errors, 3 the kit could not be read.
    int ExitCode() const;
    // Findings in line order (the file-wide ones first), each kind of finding kept in its order.
    void SortFindings();
};

// "SC0003"
std::string CodeText(FindingCode code);
// "<file>(12): warning SC0003: text", or "<file>: ..." without a line.
std::string FindingLine(const std::string& file, const Finding& f);

std::string ReportText(const CheckReport& report);
// One JSON document in UTF-8 (the texts are converted from the ANSI code page).
std::string ReportJson(const CheckReport& report, const std::string& version);
