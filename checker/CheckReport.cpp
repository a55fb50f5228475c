#include "checker/CheckReport.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

namespace {
const char* SeverityText(Severity s) { return s == Severity::Error ? "error" : "warning"; }

// The JSON library takes UTF-8 only; the kit's texts are in the ANSI code page.
std::string Utf8(const std::string& ansi) {
    if (ansi.empty()) return ansi;
    int n = ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0], n);
    int m = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(m), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), n, &out[0], m, nullptr, nullptr);
    return out;
}

// What the run waits for after a command has started, as the plan of each command says it.
std::string CommandWaitsText(const CheckReport& report) {
    std::string limit = report.timeLimitSeconds ? std::to_string(report.timeLimitSeconds) + " s" : std::string();
    std::string text = "waits for the process";
    if (report.waitForChildProcesses) text += " and every process it starts except those that break away";
    if (!limit.empty())
        text += " (at most " + limit + (report.terminateAtLimit ? ", then ended)" : ", then left running)");
    text += ", for the Windows Installer (at most 30 s) and for the setup engine";
    if (!limit.empty()) text += " (at most " + limit + ")";
    return text;
}

std::string Plural(size_t n, const char* word) {
    return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}
}  // namespace

const FindingKind kFindingKinds[] = {
    {FindingCode::CommandFileUnreadable, Severity::Error,
     "the command file cannot be read (exit code 3), or the directory macros cannot be worked out on this "
     "machine (among them, the product's public directory cannot be made, so a run would end before its first "
     "command)"},
    {FindingCode::NoCommands, Severity::Warning,
     "no commands: Commands_0 is missing or empty, or there is no [CustomCommands] section"},
    {FindingCode::KeyNeverRead, Severity::Error,
     "a Commands_ key after a gap in the numbering or after an empty command: never read"},
    {FindingCode::EmptyCommand, Severity::Error,
     "an empty command that ends the list while keys follow, or one of blanks in quotation marks, which "
     "cannot start"},
    {FindingCode::DuplicateKey, Severity::Warning, "a key written twice in a section: only the first is read"},
    {FindingCode::DuplicateSection, Severity::Warning, "a section written twice: only the first is read"},
    {FindingCode::UnknownKey, Severity::Warning,
     "a key of [CustomCommands] that Sarnik never reads (a misspelling, Commands_01, a line without '=')"},
    {FindingCode::ProbableComment, Severity::Warning,
     "a value with a blank and then ';' (\"FALSE   ; run silently\"): a comment only starts a line, so the text "
     "after the ';' is part of the value"},
    {FindingCode::OutsideSection, Severity::Warning, "a line before the first section header: never read"},
    {FindingCode::UnknownMacro, Severity::Warning,
     "a word in angle brackets that is no directory macro: stays as written"},
    {FindingCode::UnclosedMacro, Severity::Warning, "a macro name without its closing '>': not replaced"},
    {FindingCode::MacroInsideWord, Severity::Warning,
     "a macro touching a letter, digit or underscore: macros are replaced only as whole words"},
    {FindingCode::MacroWithoutValue, Severity::Warning,
     "a macro with no value on this machine (its registry value or folder is missing): stays as written"},
    {FindingCode::NulByte, Severity::Warning,
     "a NUL byte in a section name, key or value: Sarnik's reader sees the text cut there, so the section or key "
     "is not found by the name written"},
    {FindingCode::TextNotRepresentable, Severity::Error,
     "a command that holds a character the ANSI code page cannot represent (a UTF-16 command file), or uses a "
     "directory that cannot be represented and has no short name: Sarnik does not start it, where best fit would "
     "start another program or work on another folder"},
    {FindingCode::ProgramNotFound, Severity::Warning,
     "the program is not found on the search path, or its path does not exist on this machine"},
    {FindingCode::KitPackageMissing, Severity::Error, "a nested kit whose package, named in SETUP.INI, is missing"},
    {FindingCode::KitPackageNotInstaller, Severity::Error,
     "a nested kit whose package is not a Windows Installer package"},
    {FindingCode::KitNotTemplate, Severity::Warning,
     "a SETUP.EXE with a SETUP.INI beside it that is not rewritten: no Package, or no template marker in "
     "the package"},
    {FindingCode::CommandTooLong, Severity::Error,
     "a command longer than a process command line (32,766 characters; 8,191 for a batch file)"},
    {FindingCode::ProgramWordRepeated, Severity::Warning,
     "the program word occurs again in the arguments, where the program search replaces it too"},
    {FindingCode::UnquotedProgramPath, Severity::Warning,
     "a program path with a blank and no quotation marks: the system tries the text up to the blank first "
     "(C:\\Kit\\Tool.exe for C:\\Kit\\Tool Dir\\tool.exe), so another file there would be started"},
    {FindingCode::KitShadowsSystemProgram, Severity::Warning,
     "a bare program name (cmd) that the kit folder supplies, beside sarnik.exe, ahead of the system folder, "
     "which also has it: whoever can write the kit folder decides what runs"},
    {FindingCode::RebootNotCounted, Severity::Warning, "a Reboot value that looks meant but is not exactly TRUE"},
    {FindingCode::ShowDialogNotCounted, Severity::Warning,
     "a ShowDialog value that looks meant to run silently but is not FALSE"},
    {FindingCode::PlaceholdersDoNotFit, Severity::Warning,
     "a [Strings] text of a key that takes placeholders, whose placeholders do not fit them: the built-in "
     "text is shown instead"},
    {FindingCode::UnknownStringsKey, Severity::Warning, "a [Strings] key that Sarnik never shows"},
    {FindingCode::PlaceholderShownAsWritten, Severity::Warning,
     "a [Strings] text that takes no placeholders but holds one (%d, %s): it is shown as written, the "
     "placeholder included"},
    {FindingCode::LogFileUnusable, Severity::Error,
     "a LogFile that cannot be written (a folder or a path ending in a backslash, the command file itself, a "
     "read-only file, a file where a folder must be made, a drive or folder that does not exist and is not "
     "made, no valid path)"},
    {FindingCode::RebootExitCodesInvalid, Severity::Error,
     "a RebootOnExitCodes entry that is not a decimal exit code: ignored"},
    {FindingCode::UnattendedNotCounted, Severity::Warning,
     "an Unattended value that is neither TRUE nor FALSE: the run is unattended only when nobody can answer"},
    {FindingCode::CommandTimeoutInvalid, Severity::Error,
     "a CommandTimeout that is not a whole number of seconds (1 to 4000000): ignored, no time limit"},
    {FindingCode::WaitForChildProcessesNotCounted, Severity::Warning,
     "a WaitForChildProcesses value that is neither TRUE nor FALSE: child processes are not waited for"},
    {FindingCode::ChildWaitWithoutLimit, Severity::Warning,
     "WaitForChildProcesses=TRUE without a CommandTimeout: a command that leaves a process running (a tray "
     "program) holds the installation up for good"},
    {FindingCode::TimeoutActionNotCounted, Severity::Warning,
     "a CommandTimeoutAction value that is neither Leave nor Terminate: a command over its time limit is left "
     "running"},
    {FindingCode::TimeoutActionWithoutLimit, Severity::Warning,
     "CommandTimeoutAction=Terminate without a CommandTimeout: no command has a limit, so none is ended"},
    {FindingCode::SuccessExitCodesInvalid, Severity::Error, "a SuccessExitCodes entry that is not a decimal exit code: ignored"},
    {FindingCode::SuccessWithoutZero, Severity::Warning,
     "a SuccessExitCodes that leaves out 0: a command that ends without an error fails the run"},
    {FindingCode::HideConsoleWindowsNotCounted, Severity::Warning,
     "a HideConsoleWindows value that is neither TRUE nor FALSE: console windows are hidden only in an unattended run"},
    {FindingCode::CaptureOutputNotCounted, Severity::Warning,
     "a CaptureOutput value that is neither TRUE nor FALSE: the commands' output is not captured"},
};
const size_t kFindingKindCount = sizeof kFindingKinds / sizeof kFindingKinds[0];

const FindingKind& KindOf(FindingCode code) {
    for (const FindingKind& kind : kFindingKinds)
        if (kind.code == code) return kind;
    return kFindingKinds[0];
}

void CheckReport::Add(FindingCode code, int line, const std::string& key, const std::string& message) {
    Finding f;
    f.severity = KindOf(code).severity;
    f.code = code;
    f.line = line;
    f.key = key;
    f.message = message;
    findings.push_back(f);
}

int CheckReport::ExitCode() const {
    if (!readable) return 3;
    bool warnings = false;
    for (const Finding& f : findings) {
        if (f.severity == Severity::Error) return 2;
        warnings = true;
    }
    return warnings ? 1 : 0;
}

void CheckReport::SortFindings() {
    std::stable_sort(findings.begin(), findings.end(),
                     [](const Finding& a, const Finding& b) { return a.line < b.line; });
}

std::string CodeText(FindingCode code) {
    char text[16];
    std::snprintf(text, sizeof text, "SC%04d", static_cast<int>(code));
    return text;
}

std::string FindingLine(const std::string& file, const Finding& f) {
    std::string place = file;
    if (f.line > 0) place += "(" + std::to_string(f.line) + ")";
    return place + ": " + SeverityText(f.severity) + " " + CodeText(f.code) + ": " + f.message;
}

std::string ReportText(const CheckReport& report) {
    std::string out;
    auto line = [&out](const std::string& text) { out += text + "\n"; };
    if (report.readable) {
        line("Command file: " + report.commandFile);
        line(report.program == "x64" ? "Program: the 64-bit sarnik.exe (folders and registry as a 64-bit program sees them)"
                                     : "Program: the 32-bit sarnik.exe (folders and registry as a 32-bit program sees them)");
        line(report.mode == "unattended"
                 ? "Mode: unattended (Unattended=TRUE): no dialog and no message box; every question gets its default answer"
             : report.mode == "silent" ? "Mode: silent (ShowDialog=" + report.showDialogValue + ")"
                                       : "Mode: the \"Command Progress\" dialog");
        line(report.rebootAsked ? "Reboot: asked at the end (Reboot=TRUE)"
                                : "Reboot: not asked by the command file (the parent installer may ask for it)");
        for (const std::string& note : report.plainNotes) line(note);
        line("Commands: " + std::to_string(report.commands.size()));
        for (const PlannedCommand& c : report.commands) {
            line("  " + c.key + " (line " + std::to_string(c.line) + ")");
            line("    written: " + c.written);
            line("    started: " + (c.started.empty() ? std::string("(not started)") : c.started));
            if (!c.nestedKitPackage.empty())
                line("    nested kit: its package " + c.nestedKitPackage + " is installed by the Windows Installer");
            if (c.setupEngine)
                line("    setup engine: Sarnik waits until it has taken its mutex, then until it is free again");
            line("    then: " + CommandWaitsText(report));
            if (report.judgesExitCodes) {
                std::string codes;
                for (int code : report.successExitCodes) codes += (codes.empty() ? "" : ", ") + std::to_string(code);
                line("    success: exit code " + (codes.empty() ? std::string("none") : codes) +
                     "; any other fails the command and the run");
            }
            line("    console window: " + report.consoleWindows);
            if (report.outputCaptured) {
                const std::string n = c.key.substr(c.key.find('_') + 1);
                line("    output: standard output and standard error into the log, marked [" + n + " out] and [" + n +
                     " err]; standard input: NUL");
            }
        }
    }
    size_t errors = 0, warnings = 0;
    for (const Finding& f : report.findings) {
        line(FindingLine(report.commandFile, f));
        (f.severity == Severity::Error ? errors : warnings)++;
    }
    line(Plural(errors, "error") + ", " + Plural(warnings, "warning"));
    return out;
}

std::string CodesText() {
    std::string out;
    for (const FindingKind& kind : kFindingKinds)
        out += CodeText(kind.code) + " " + SeverityText(kind.severity) + ": " + kind.summary + "\n";
    return out;
}

std::string ReportJson(const CheckReport& report, const std::string& version) {
    using nlohmann::ordered_json;
    ordered_json doc;
    doc["checker"] = "sarnikcheck";
    doc["version"] = version;
    doc["program"] = report.program;
    doc["commandFile"] = Utf8(report.commandFile);
    doc["readable"] = report.readable;
    doc["exitCode"] = report.ExitCode();
    ordered_json plan;
    plan["mode"] = report.mode;
    plan["silent"] = report.silent;
    plan["rebootAsked"] = report.rebootAsked;
    ordered_json notes = ordered_json::array();
    for (const std::string& note : report.plainNotes) notes.push_back(Utf8(note));
    plan["notes"] = notes;
    ordered_json commands = ordered_json::array();
    for (const PlannedCommand& c : report.commands) {
        ordered_json entry;
        entry["key"] = c.key;
        entry["line"] = c.line;
        entry["written"] = Utf8(c.written);
        entry["started"] = Utf8(c.started);
        entry["programFound"] = c.programFound;
        entry["setupEngine"] = c.setupEngine;
        entry["nestedKitPackage"] =
            c.nestedKitPackage.empty() ? ordered_json() : ordered_json(Utf8(c.nestedKitPackage));
        entry["timeLimitSeconds"] = report.timeLimitSeconds ? ordered_json(report.timeLimitSeconds) : ordered_json();
        entry["endedAtLimit"] = report.terminateAtLimit;
        entry["waitsForChildProcesses"] = report.waitForChildProcesses;
        entry["successExitCodes"] = report.judgesExitCodes ? ordered_json(report.successExitCodes) : ordered_json();
        entry["consoleWindow"] = report.consoleWindows;
        entry["outputCaptured"] = report.outputCaptured;
        commands.push_back(entry);
    }
    plan["commands"] = commands;
    doc["plan"] = plan;
    ordered_json findings = ordered_json::array();
    for (const Finding& f : report.findings) {
        ordered_json entry;
        entry["file"] = Utf8(report.commandFile);
        entry["line"] = f.line;
        entry["severity"] = SeverityText(f.severity);
        entry["code"] = CodeText(f.code);
        entry["key"] = Utf8(f.key);
        entry["message"] = Utf8(f.message);
        findings.push_back(entry);
    }
    doc["findings"] = findings;
    return doc.dump(2) + "\n";
}
