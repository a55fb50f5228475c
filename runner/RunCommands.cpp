#include "runner/RunCommands.h"

#include <windows.h>

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "scan/CharScan.h"
#include "installer/NestedKit.h"
#include "installer/ParentWait.h"
#include "installer/SystemLibrary.h"
#include "macros/DirectoryMacroTable.h"
#include "runner/CommandFile.h"
#include "runner/CommandJob.h"
#include "runner/FailureReport.h"
#include "runner/Launch.h"
#include "runner/Reboot.h"
#include "runner/RunArguments.h"
#include "runner/RunLog.h"
#include "runner/RunReport.h"
#include "runner/RunSettings.h"
#include "runner/ScopedHandle.h"

namespace {

// What the run does about one command's waits: the opt-in time limit and job object.
struct CommandWaits {
    unsigned long timeoutSeconds = 0;  // 0: no limit
    bool wholeTree = false;
};

// The deadline for a command started now, 0 without a limit.
ULONGLONG DeadlineFor(const CommandWaits& waits) {
    return waits.timeoutSeconds ? ::GetTickCount64() + waits.timeoutSeconds * 1000ull : 0;
}

// An entry as the log names it: a long one (thousands of digits) is cut, at a whole character.
std::string ShownEntry(const std::string& entry) {
    const size_t kShown = 40;
    if (entry.size() <= kShown) return entry;
    size_t end = 0;
    while (end + CharWidthAt(entry, end) <= kShown) end += CharWidthAt(entry, end);
    return entry.substr(0, end) + "...";
}

// One line for the ignored entries of RebootOnExitCodes, however many there are: a list of a
// thousand slips is one finding, not a thousand lines to scroll past.
std::string IgnoredExitCodesLine(const std::vector<std::string>& ignored) {
    if (ignored.size() == 1)
        return FormatDisplayText(GetDisplayText("IgnoredExitCodeMsg"), DefaultDisplayText("IgnoredExitCodeMsg"), "s",
                                 ShownEntry(ignored[0]).c_str());
    const size_t kNamed = 10;
    std::string list;
    for (size_t i = 0; i < ignored.size() && i < kNamed; ++i)
        list += (i ? ", \"" : "\"") + ShownEntry(ignored[i]) + "\"";
    if (ignored.size() > kNamed) list += " and " + std::to_string(ignored.size() - kNamed) + " more";
    return FormatDisplayText(GetDisplayText("IgnoredExitCodesMsg"), DefaultDisplayText("IgnoredExitCodesMsg"), "s",
                             list.c_str());
}

// Says in the log why a system DLL the run needed could not be bound, once, at the command that
// first needed it.
void ReportSystemLibraryNotes(RunReport& report) {
    for (const SystemLibraryNote& note : TakeSystemLibraryNotes()) report.Line(SystemLibraryNoteLine(note));
}

// The log file, when one is asked for, and the first line of an unattended run. A path that must
// not be written (refusal) is named in the log and left alone.
void OpenLog(RunReport& report, const RunChoice& mode, const std::string& logFile, const std::string& refusal = "") {
    if (refusal.empty())
        AttachLogFile(report, logFile);
    else
        report.Line(FormatDisplayText(GetDisplayText("LogFileErrorMsg"), DefaultDisplayText("LogFileErrorMsg"), "ss",
                                      logFile.c_str(), refusal.c_str()));
    if (mode.mode == RunMode::Unattended)
        report.Line(FormatDisplayText(GetDisplayText("UnattendedRunMsg"), DefaultDisplayText("UnattendedRunMsg"), "s",
                                      mode.reason.c_str()));
}

// The run's macro table. Building it may fail (a public directory that cannot be made), and the
// run then ends before its first command, as it always did. A log file asked for still gets the
// run's block, so that an unattended installation does not end with exit code 1603 and no word
// of why: the log's path and the commands are read with the table as it stands when nothing is
// made (as the checker reads them), and every command is listed as skipped.
std::unique_ptr<DirectoryMacroTable> BuildMacroTable(RunReport& report, const RunChoice& mode, const RunArguments& args) {
    auto table = [&](bool createDirectories) {
        return std::make_unique<DirectoryMacroTable>(args.kit, args.temp, args.install, createDirectories);
    };
    try {
        return table(true);
    } catch (...) {
        std::exception_ptr failure = std::current_exception();
        try {
            std::unique_ptr<DirectoryMacroTable> found = table(false);
            std::string refusal;
            std::string logFile = ReadLogFilePath(*found, &refusal);
            if (!logFile.empty()) {
                OpenLog(report, mode, logFile, refusal);
                std::vector<std::string> commands;
                bool reboot = false;  // not the run's: what it asks at the end stays as it was
                ReadCommandList(commands, reboot, *found);
                report.CommandList(commands);
            }
        } catch (...) {
            // The failure that ends the run is the one to report.
        }
        std::rethrow_exception(failure);
    }
}

void RunCommandList(RunReport& report, bool& rebootRequested, const std::wstring& arguments, const RunChoice& mode) {
    RunArguments args = ParseRunArguments(arguments);
    int parentId = args.parentId;
    ScopedHandle parent;
    if (args.parentFound && parentId != 0) {
        // SYNCHRONIZE as well: a parent that exits with 259 (STILL_ACTIVE) is told from a running
        // one only by waiting on its handle, and the wait then ends the moment the parent does.
        // Where only query access is granted the parent is still waited for as before.
        DWORD id = static_cast<DWORD>(parentId);
        parent.Attach(::OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, id));
        if (!parent) parent.Attach(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, id));
    }
    if (args.reboot != 0) rebootRequested = true;
    // Without its folder the kit has no command file to read; another folder's must never be read.
    // The settings are unknown, so the user learns it as from a failure of the run's own.
    if (args.kit.IsRefused()) {
        std::string text = FormatDisplayText(GetDisplayText("KitFolderRefusedMsg"), DefaultDisplayText("KitFolderRefusedMsg"),
                                             "sd", args.kit.Shown().c_str(), static_cast<int>(CodePageNumber()));
        report.Stopped();
        report.Line(text);
        if (report.Silent()) report.Ask(Question::Notice, text, GetDisplayText("errorTitle"), MB_OK);
        report.ShowProgress();
        return;
    }
    SetBaseDirectory(args.kit.Text());

    std::unique_ptr<DirectoryMacroTable> table = BuildMacroTable(report, mode, args);
    DirectoryMacroTable& macros = *table;
    std::string logRefusal;
    std::string logFile = ReadLogFilePath(macros, &logRefusal);
    OpenLog(report, mode, logFile, logRefusal);
    // A system DLL the start could not bind (the common controls beside a ".local" folder).
    ReportSystemLibraryNotes(report);
    for (const DirectoryMacroTable::ShortNameNote& note : macros.ShortNameNotes())
        report.Line(FormatDisplayText(GetDisplayText("ShortNameMsg"), DefaultDisplayText("ShortNameMsg"), "ssds",
                                      note.label.c_str(), note.directory.c_str(), static_cast<int>(CodePageNumber()),
                                      note.shortName.c_str()));
    CommandWaits waits;
    std::string ignoredTimeout;
    waits.timeoutSeconds = ReadCommandTimeout(ignoredTimeout);
    if (!ignoredTimeout.empty())
        report.Line(FormatDisplayText(GetDisplayText("IgnoredTimeoutMsg"), DefaultDisplayText("IgnoredTimeoutMsg"), "s",
                                      ignoredTimeout.c_str()));
    waits.wholeTree = ReadWaitForChildProcesses();
    STARTUPINFOA startup;
    PrepareStartupInfo(startup);

    std::vector<std::string> commands, refusals;
    int count = ReadCommandList(commands, rebootRequested, macros, &refusals);
    report.CommandList(commands);
    RestartExitCodes restartCodes = ReadRestartExitCodes();
    if (!restartCodes.ignored.empty()) report.Line(IgnoredExitCodesLine(restartCodes.ignored));

    if (count > 0) {
        report.Line(GetDisplayText("WaitingMsg"));
        bool known;
        WaitForProcessExit(parent.Get(), known);
        WaitEngineMutexFree();
        report.Line(GetDisplayText("CompleteMsg"));
    }
    report.ShowProgress();
    parent.Close();

    std::string invoking = GetDisplayText("InvokingMsg");
    std::string completedExitCode = GetDisplayText("CompletedExitCode");
    std::string completedNoExitCode = GetDisplayText("CompletedNoExitCode");

    for (int i = 0; i < count; ++i) {
        std::string& command = commands[static_cast<size_t>(i)];
        // A command that holds a text the code page cannot represent, or uses such a directory,
        // is not started: with a look-alike it would run on another folder, or another program.
        if (!refusals[static_cast<size_t>(i)].empty()) {
            if (waits.wholeTree) report.CommandProcesses(i, 0);
            if (ReportRefusedCommand(report, i, count, command, refusals[static_cast<size_t>(i)])) {
                report.Stopped();
                break;
            }
            continue;
        }
        if (NeedsPathSearch(command)) ResolveProgramPath(command);
        RewriteNestedKitCommand(command);
        bool engine = IsSetupEngine(command);
        ReportSystemLibraryNotes(report);

        PROCESS_INFORMATION pi;
        // A command that goes into a job starts suspended, so that nothing it starts can escape
        // the job before it is in.
        if (!StartCommand(command, startup, pi, waits.wholeTree ? CREATE_SUSPENDED : 0)) {
            if (waits.wholeTree) report.CommandProcesses(i, 0);
            if (ReportStartFailure(report, i, count, command)) {
                report.Stopped();
                break;
            }
            continue;
        }
        ScopedHandle process(pi.hProcess), thread(pi.hThread);
        ULONGLONG deadline = DeadlineFor(waits);
        CommandJob job;
        DWORD jobError = ERROR_SUCCESS;
        if (waits.wholeTree) {
            if (!job.Create() || !job.Assign(process.Get())) {
                jobError = ::GetLastError();
                job.Close();
            }
            ::ResumeThread(thread.Get());
        }
        report.CommandStarted(i, command, invoking + command);
        if (jobError != ERROR_SUCCESS)
            report.Line(FormatDisplayText(GetDisplayText("JobFailedMsg"), DefaultDisplayText("JobFailedMsg"), "d",
                                          static_cast<int>(jobError)));
        thread.Close();

        if (engine) WaitEngineMutexTaken();
        bool known = false;
        int exitCode = -1;
        bool inTime = WaitForProcessExitUntil(process.Get(), deadline, exitCode, known);
        if (inTime && job) inTime = job.WaitUntilEmpty(deadline);
        if (waits.wholeTree) {
            unsigned long total = 1, active = 0;
            if (job) job.Count(total, active);
            report.CommandProcesses(i, total);
        }
        // Closing the job kills nothing: a command that outlived its limit keeps running.
        job.Close();
        if (!inTime)
            report.CommandTimedOut(i, waits.timeoutSeconds,
                                   FormatDisplayText(GetDisplayText("TimedOutMsg"), DefaultDisplayText("TimedOutMsg"), "d",
                                                     static_cast<int>(waits.timeoutSeconds)));
        WaitInstallerIdle();
        // With a time limit the engine's wait has one too: a command that outlived its limit
        // (or a helper it left) may hold the engine's mutex for good, and the limit is there so
        // that nothing holds the installation up for good.
        WaitEngineMutexFreeUntil(DeadlineFor(waits));
        process.Close();
        if (!inTime) continue;

        std::string line = known ? FormatDisplayText(completedExitCode, DefaultDisplayText("CompletedExitCode"), "d", exitCode)
                                 : completedNoExitCode;
        report.CommandEnded(i, exitCode, known, line);
        if (known && restartCodes.Contains(exitCode)) {
            rebootRequested = true;
            report.Line(FormatDisplayText(GetDisplayText("RestartRequestedMsg"), DefaultDisplayText("RestartRequestedMsg"), "d", exitCode));
        }
    }
}

// Tells the user that the run could not go on: in the log and, in silent mode, in a box. In the
// dialog the run may have ended before the dialog came forward after the parent wait, so it is
// brought forward here. Nothing may escape: the dialog's OK still has to be enabled afterwards.
void ReportAbortedRun(RunReport& report, const char* reason) {
    const char kLead[] = "The custom commands could not be run to the end: ";
    report.Stopped();
    try {
        std::string text = kLead + std::string(reason);
        report.Line(text);
        if (report.Silent()) report.Ask(Question::Notice, text, GetDisplayText("errorTitle"), MB_OK);
    } catch (...) {
        // No memory even for the text: the lead alone, and in silent mode a box that needs no
        // memory of ours.
        try {
            report.Line(kLead);
        } catch (...) {
        }
        if (report.Silent() && !report.Unattended()) ::MessageBoxExA(nullptr, kLead, "Error", MB_OK, 0x0400);
    }
    report.ShowProgress();
}
}  // namespace

int RunCommands(ProgressView* view, const std::wstring& arguments, const RunChoice& mode) {
    RunReport report(view, mode.mode == RunMode::Unattended);
    bool rebootRequested = false;
    try {
        RunCommandList(report, rebootRequested, arguments, mode);
    } catch (const std::exception& e) {  // KEException among them, with its description
        ReportAbortedRun(report, e.what());
    } catch (...) {
        ReportAbortedRun(report, "unexpected failure");
    }
    bool restartDue = false;
    if (rebootRequested) {
        restartDue = true;
        try {
            restartDue = !AskRebootAndRestart(report);
            if (restartDue && report.Unattended()) report.Line(GetDisplayText("RestartDueMsg"));
        } catch (...) {
            // Nothing to add: the question is the last step and the run is over either way.
        }
    }
    int exitCode = RunExitCode(report.Failed(), restartDue);
    report.RunOver(exitCode);
    return exitCode;
}
