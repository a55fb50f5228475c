// What sarnikcheck found in a kit: the plan of the run and the findings, printed as text in the
// form build tools and editors parse, or as one JSON document.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

enum class Severity { Warning, Error };

// The stable finding codes; docs/command-file.md lists them with their meaning.
enum class FindingCode {
    CommandFileUnreadable = 1,
    NoCommands = 2,
    KeyNeverRead = 3,
    EmptyCommand = 4,
    DuplicateKey = 5,
    DuplicateSection = 6,
    UnknownKey = 7,
    ProbableComment = 8,
    OutsideSection = 9,
    UnknownMacro = 10,
    UnclosedMacro = 11,
    MacroInsideWord = 12,
    MacroWithoutValue = 13,
    NulByte = 14,
    TextNotRepresentable = 15,
    ProgramNotFound = 20,
    KitPackageMissing = 21,
    KitPackageNotInstaller = 22,
    KitNotTemplate = 23,
    CommandTooLong = 25,
    ProgramWordRepeated = 26,
    UnquotedProgramPath = 27,
    KitShadowsSystemProgram = 28,
    RebootNotCounted = 30,
    ShowDialogNotCounted = 31,
    PlaceholdersDoNotFit = 40,
    UnknownStringsKey = 41,
    PlaceholderShownAsWritten = 42,
    LogFileUnusable = 50,
    RebootExitCodesInvalid = 51,
    UnattendedNotCounted = 52,
    CommandTimeoutInvalid = 53,
    WaitForChildProcessesNotCounted = 54,
    ChildWaitWithoutLimit = 55,
    TimeoutActionNotCounted = 56,
    TimeoutActionWithoutLimit = 57,
    SuccessExitCodesInvalid = 58,
    SuccessWithoutZero = 59,
    HideConsoleWindowsNotCounted = 60,
    CaptureOutputNotCounted = 61,
};

// Every code with its severity and what it means: one table for the checker and for the test
// that keeps the reference's table true.
struct FindingKind {
    FindingCode code;
    Severity severity;
    const char* summary;
};
extern const FindingKind kFindingKinds[];
extern const size_t kFindingKindCount;
const FindingKind& KindOf(FindingCode code);

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
    std::string started;   // what CreateProcessA would get; empty when the run does not start it
    bool programFound = false;
    bool setupEngine = false;
    std::string nestedKitPackage;  // non-empty: rewritten into a Windows Installer command
};

struct CheckReport {
    // The sarnik.exe the kit is checked for: "x86" (the 32-bit program) or "x64". A checker only
    // ever checks for the program of its own architecture; the other one is its sibling's work.
    std::string program = "x86";
    std::string commandFile;
    bool readable = false;
    // The run mode the kit asks for where somebody can answer: "dialog", "silent" or
    // "unattended"; silent is set for both without a window.
    std::string mode = "dialog";
    bool silent = false;
    std::string showDialogValue;
    bool rebootAsked = false;
    std::string rebootValue;
    std::vector<std::string> plainNotes;  // further lines of the plan (log file, exit codes)
    // How each command is waited for: its time limit (0: none), whether it is ended at the limit,
    // whether every process it starts is waited for.
    unsigned long timeLimitSeconds = 0;
    bool terminateAtLimit = false;
    bool waitForChildProcesses = false;
    // Whether SuccessExitCodes judges the exit codes, and the codes it counts as success.
    bool judgesExitCodes = false;
    std::vector<int> successExitCodes;
    // Console windows of the commands: "hidden", "shown" or "hidden where unattended".
    std::string consoleWindows = "hidden where unattended";
    bool outputCaptured = false;  // CaptureOutput=TRUE
    std::vector<PlannedCommand> commands;
    std::vector<Finding> findings;

    // A finding with its code's severity.
    void Add(FindingCode code, int line, const std::string& key, const std::string& message);
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
// Every finding code with its severity and meaning, one a line.
std::string CodesText();
// One JSON document in UTF-8 (the texts are converted from the ANSI code page).
std::string ReportJson(const CheckReport& report, const std::string& version);
