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
#include "runner/CommandOutput.h"
#include "runner/FailureReport.h"
#include "runner/Launch.h"
#include "runner/Reboot.h"
#include "runner/RunArguments.h"
#include "runner/RunLog.h"
#include "runner/RunReport.h"
#include "runner/RunSettings.h"
#include "runner/ScopedHandle.h"
#include "runner/Wait.h"

namespace {

// An entry as the log names it: a long one (thousands of digits) is cut, at a whole character.
std::string ShownEntry(const std::string& entry) {
    const size_t kShown = 40;
    if (entry.size() <= kShown) return entry;
    size_t end = 0;
    while (end + CharWidthAt(entry, end) <= kShown) end += CharWidthAt(entry, end);
    return entry.substr(0, end) + "...";
}

// One line for the ignored entries of an exit code list, however many there are: a list of a
// thousand slips is one finding, not a thousand lines to scroll past. oneKey and manyKey are the
// display texts for one entry and for several.
std::string IgnoredExitCodesLine(const std::vector<std::string>& ignored, const char* oneKey, const char* manyKey) {
    if (ignored.size() == 1) return DisplayText(oneKey, ShownEntry(ignored[0]));
    const size_t kNamed = 10;
    std::string list;
    for (size_t i = 0; i < ignored.size() && i < kNamed; ++i)
        list += (i ? ", \"" : "\"") + ShownEntry(ignored[i]) + "\"";
    if (ignored.size() > kNamed) list += " and " + std::to_string(ignored.size() - kNamed) + " more";
    return DisplayText(manyKey, list);
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
        report.Line(DisplayText("LogFileErrorMsg", logFile, refusal));
    if (mode.mode == RunMode::Unattended) report.Line(DisplayText("UnattendedRunMsg", mode.reason));
}

// The run's macro table. Building it may fail (a public directory that cannot be made), and the
// run then ends before its first command, as it always did. What the command file asks of the
// end of the run still holds: its restart request is kept, so that the restart is asked for or
// said to be due. A log file asked for still gets the run's block, so that an unattended
// installation does not end with exit code 1603 and no word of why: the log's path and the
// commands are read with the table as it stands when nothing is made (as the checker reads
// them), and every command is listed as skipped.
std::unique_ptr<DirectoryMacroTable> BuildMacroTable(RunReport& report, bool& rebootRequested, const RunChoice& mode,
                                                     const RunArguments& args) {
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
            OpenLog(report, mode, logFile, refusal);
            std::vector<std::string> commands;
            ReadCommandList(commands, rebootRequested, *found);
            report.CommandList(commands);
        } catch (...) {
            // The failure that ends the run is the one to report.
        }
        std::rethrow_exception(failure);
    }
}

// What every command of a run shares: the settings read once, the restart codes, the start-up
// record.
struct CommandRun {
    RunReport& report;
    bool& rebootRequested;
    CommandWaits waits;
    ExitCodeList restartCodes;
    ExitCodeList successCodes;
    LaunchOptions launch;
    STARTUPINFOA startup;
    bool captureOutput = false;
};

// The output of command index (CaptureOutput=TRUE) on its way into the log, marked with the
// command's N. The lines of one reading go into the log as one entry: a command that writes much
// costs the log file one write per reading, not one per line.
class OutputToLog : public WaitService {
public:
    OutputToLog(RunReport& report, int index)
        : m_report(report),
          m_capture(
              [this, index](bool error, const std::string& line) {
                  Add(DisplayText(error ? "ErrorOutputLineMsg" : "OutputLineMsg", index, line));
              },
              [this, index](bool error, uint64_t bytes, uint64_t lines) {
                  Add(DisplayText(error ? "ErrorOutputLeftOutMsg" : "OutputLeftOutMsg", index, std::to_string(bytes),
                                  std::to_string(lines)));
              }) {}
    // startup gets the pipes and NUL as the command's standard handles. When they cannot be made
    // the log says so and startup is left alone: the command starts without them, and nothing is
    // lost but its output.
    bool Prepare(STARTUPINFOA& startup) {
        STARTUPINFOA prepared = startup;
        if (m_capture.Prepare(prepared)) {
            startup = prepared;
            return true;
        }
        m_report.Line(DisplayText("CaptureFailedMsg", static_cast<int>(::GetLastError())));
        return false;
    }
    void Started() {
        m_capture.Started();
        Flush();
    }
    size_t Handles(HANDLE* handles) const override { return m_capture.Handles(handles); }
    void Serve() override {
        m_capture.Read();
        Flush();
    }
    void Finish() {
        m_capture.Finish();
        Flush();
    }

private:
    void Add(const std::string& line) {
        if (!m_pending.empty()) m_pending += "\r\n";
        m_pending += line;
    }
    void Flush() {
        if (m_pending.empty()) return;
        std::string lines;
        lines.swap(m_pending);
        m_report.Line(lines);
    }

    RunReport& m_report;
    OutputCapture m_capture;
    std::string m_pending;
};

// How the wait for a started command went: whether its own process ended in time (with its exit
// code when it could be read), and whether its whole job did.
struct CommandWait {
    bool processEnded = false;
    bool treeEnded = false;
    int exitCode = -1;
    bool known = false;
};

// Waits for the started command until its deadline: its process, then, with a job, every process
// of that job, reading its output (when captured) all the while. A setup engine is first waited
// for until it has taken its mutex.
CommandWait WaitForCommand(const LaunchedCommand& launched, const Deadline& deadline, bool engine,
                           WaitService* capture) {
    CommandWait wait;
    if (engine) WaitEngineMutexTaken(capture);
    wait.processEnded = WaitForProcessExitUntil(launched.process.Get(), deadline, wait.exitCode, wait.known, capture);
    wait.treeEnded = wait.processEnded && (!launched.job || launched.job.WaitUntilEmpty(deadline, capture));
    return wait;
}

// A command over its limit is left running, or, with CommandTimeoutAction=Terminate, ended: its
// whole job when it has one, else its process. Returns how the command ended.
CommandEnd HandleTimeout(const CommandRun& run, const LaunchedCommand& launched) {
    if (run.waits.timeoutAction != TimeoutAction::Terminate) return CommandEnd::TimedOut;
    // The code a deployment tool's own look at the processes would see: ended over a time-out.
    const UINT kEndedCode = ERROR_TIMEOUT;
    if (launched.job) {
        if (!launched.job.Terminate(kEndedCode)) return CommandEnd::TimedOut;
    } else {
        EndProcess(launched.process.Get(), kEndedCode);
    }
    return CommandEnd::Terminated;
}

// The log line for a command whose own process has ended: its exit code, when it can be read.
std::string CompletedLine(const CommandWait& wait) {
    return wait.known ? DisplayText("CompletedExitCode", wait.exitCode) : DisplayText("CompletedNoExitCode");
}

// The log lines for the end of a command that did not complete in time.
std::vector<std::string> TimeoutLines(const CommandRun& run, CommandEnd end, const CommandWait& wait) {
    int seconds = static_cast<int>(run.waits.timeoutSeconds);
    if (!wait.processEnded)
        return {end == CommandEnd::Terminated ? DisplayText("TerminatedMsg", seconds) : DisplayText("TimedOutMsg", seconds)};
    // Its own process ended, the processes it started did not: its exit code is known and said.
    std::vector<std::string> lines;
    lines.push_back(CompletedLine(wait));
    lines.push_back(end == CommandEnd::Terminated ? DisplayText("ChildrenTerminatedMsg", seconds)
                                                  : DisplayText("ChildrenTimedOutMsg", seconds));
    return lines;
}

// The log lines for a command that ended in time, and whether SuccessExitCodes, when the kit
// gives it, counts its exit code as a failure. Without the key no exit code is judged.
CommandEnd JudgeExitCode(const CommandRun& run, const CommandWait& wait, std::vector<std::string>& lines) {
    lines.push_back(CompletedLine(wait));
    if (!run.successCodes.given || (wait.known && run.successCodes.Contains(wait.exitCode))) return CommandEnd::Completed;
    lines.push_back(wait.known ? DisplayText("ExitCodeFailedMsg", wait.exitCode) : DisplayText("NoExitCodeFailedMsg"));
    return CommandEnd::Failed;
}

// A command's exit code that RebootOnExitCodes lists asks for the restart question at the end.
void NoteRestartCode(CommandRun& run, const CommandWait& wait) {
    if (!wait.known || !run.restartCodes.Contains(wait.exitCode)) return;
    run.rebootRequested = true;
    run.report.Line(DisplayText("RestartRequestedMsg", wait.exitCode));
}

enum class Step { Next, Stop };

// One command of the list, from its preparation to the waits after it: the per-command step of
// the run's loop.
Step RunCommand(CommandRun& run, int index, int count, std::string& command, const std::string& refusal) {
    RunReport& report = run.report;
    // A command that holds a text the code page cannot represent, or uses such a directory, is
    // not started: with a look-alike it would run on another folder, or another program.
    if (!refusal.empty()) {
        if (run.waits.wholeTree) report.CommandProcesses(index, 0);
        return ReportRefusedCommand(report, index, count, command, refusal) ? Step::Stop : Step::Next;
    }
    if (NeedsPathSearch(command)) ResolveProgramPath(command);
    RewriteNestedKitCommand(command);
    bool engine = IsSetupEngine(command);
    ReportSystemLibraryNotes(report);

    STARTUPINFOA startup = run.startup;
    LaunchOptions launch = run.launch;
    std::unique_ptr<OutputToLog> capture;
    if (run.captureOutput) {
        capture = std::make_unique<OutputToLog>(report, index);
        if (!capture->Prepare(startup)) capture.reset();
        // A console window would stay empty: what the command writes goes into the log.
        launch.hideConsoleWindow = true;
    }
    LaunchedCommand launched;
    DWORD error = ERROR_SUCCESS;
    if (!LaunchCommand(command, startup, launch, launched, error)) {
        capture.reset();
        if (run.waits.wholeTree) report.CommandProcesses(index, 0);
        return ReportStartFailure(report, index, count, command, error) ? Step::Stop : Step::Next;
    }
    Deadline deadline = Deadline::InSeconds(run.waits.timeoutSeconds);
    report.CommandStarted(index, command, DisplayText("InvokingMsg") + command);
    // Only now, so that no line of the command's output comes before the line that starts it.
    if (capture) capture->Started();
    if (launched.jobError != ERROR_SUCCESS) report.Line(DisplayText("JobFailedMsg", static_cast<int>(launched.jobError)));

    CommandWait wait = WaitForCommand(launched, deadline, engine, capture.get());
    CommandEnd end = wait.treeEnded ? CommandEnd::Completed : HandleTimeout(run, launched);
    // Reading ends with the command (with WaitForChildProcesses, its job) or at its limit: what is
    // still in the pipes is taken, but a process that inherited them and lives on cannot hold the
    // run. A command left running past its limit writes into closed pipes from now on.
    if (capture) {
        capture->Finish();
        capture.reset();
    }
    if (run.waits.wholeTree) {
        unsigned long total = 1, active = 0;
        if (launched.job) launched.job.Count(total, active);
        report.CommandProcesses(index, total);
    }
    // Closing the job kills nothing: a command that outlived its limit keeps running.
    launched.job.Close();
    if (end != CommandEnd::Completed) {
        report.CommandEnded(index, end, wait.exitCode, wait.known, TimeoutLines(run, end, wait));
        NoteRestartCode(run, wait);
    }
    WaitInstallerIdle();
    // With a time limit the engine's wait has one too: a command that outlived its limit (or a
    // helper it left) may hold the engine's mutex for good, and the limit is there so that
    // nothing holds the installation up for good.
    bool engineIdle = WaitEngineMutexFreeUntil(Deadline::InSeconds(run.waits.timeoutSeconds));
    launched.process.Close();
    if (end == CommandEnd::Completed) {
        std::vector<std::string> lines;
        end = JudgeExitCode(run, wait, lines);
        report.CommandEnded(index, end, wait.exitCode, wait.known, lines);
        NoteRestartCode(run, wait);
    }
    // The installation the engine carries out has not ended: the run is not a success.
    if (!engineIdle) report.Failure(DisplayText("EngineBusyMsg", static_cast<int>(run.waits.timeoutSeconds)));
    return Step::Next;
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
        std::string text = DisplayText("KitFolderRefusedMsg", args.kit.Shown(), static_cast<int>(CodePageNumber()));
        report.Stopped();
        report.Line(text);
        if (report.Silent()) report.Ask(Question::Notice, text, DisplayText("errorTitle"), MB_OK);
        report.ShowProgress();
        return;
    }
    SetBaseDirectory(args.kit.Text());

    std::unique_ptr<DirectoryMacroTable> table = BuildMacroTable(report, rebootRequested, mode, args);
    DirectoryMacroTable& macros = *table;
    std::string logRefusal;
    std::string logFile = ReadLogFilePath(macros, &logRefusal);
    OpenLog(report, mode, logFile, logRefusal);
    // A system DLL the start could not bind (the common controls beside a ".local" folder).
    ReportSystemLibraryNotes(report);
    for (const DirectoryMacroTable::ShortNameNote& note : macros.ShortNameNotes())
        report.Line(DisplayText("ShortNameMsg", note.label, note.directory, static_cast<int>(CodePageNumber()),
                                note.shortName));
    CommandRun run{report, rebootRequested, ReadCommandWaits(), ExitCodeList(), ExitCodeList(), LaunchOptions(),
                   STARTUPINFOA()};
    if (!run.waits.ignoredTimeout.empty()) report.Line(DisplayText("IgnoredTimeoutMsg", run.waits.ignoredTimeout));
    if (!run.waits.ignoredAction.empty()) report.Line(DisplayText("IgnoredTimeoutActionMsg", run.waits.ignoredAction));
    run.launch.inJob = run.waits.wholeTree;
    // Where nobody can answer, a command must not bring up a critical-error box either, nor a
    // console window that nobody watches.
    run.launch.inheritErrorMode = report.Unattended();
    SwitchValue hide = ReadHideConsoleWindows();
    run.launch.hideConsoleWindow = hide == SwitchValue::True || (hide != SwitchValue::False && report.Unattended());
    run.captureOutput = ReadCaptureOutput();
    PrepareStartupInfo(run.startup);

    std::vector<std::string> commands, refusals;
    int count = ReadCommandList(commands, rebootRequested, macros, &refusals);
    report.CommandList(commands);
    run.restartCodes = ReadExitCodeList(CommandKey::RebootOnExitCodes);
    if (!run.restartCodes.ignored.empty())
        report.Line(IgnoredExitCodesLine(run.restartCodes.ignored, "IgnoredExitCodeMsg", "IgnoredExitCodesMsg"));
    run.successCodes = ReadExitCodeList(CommandKey::SuccessExitCodes);
    if (!run.successCodes.ignored.empty())
        report.Line(IgnoredExitCodesLine(run.successCodes.ignored, "IgnoredSuccessCodeMsg", "IgnoredSuccessCodesMsg"));

    if (count > 0) {
        report.Line(DisplayText("WaitingMsg"));
        bool known;
        WaitForProcessExit(parent.Get(), known);
        WaitEngineMutexFree();
        report.Line(DisplayText("CompleteMsg"));
    }
    report.ShowProgress();
    parent.Close();

    for (int i = 0; i < count; ++i) {
        if (RunCommand(run, i, count, commands[static_cast<size_t>(i)], refusals[static_cast<size_t>(i)]) == Step::Stop) {
            report.Stopped();
            break;
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
        if (report.Silent()) report.Ask(Question::Notice, text, DisplayText("errorTitle"), MB_OK);
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
    // Where nobody can answer, no "There is no disk in the drive" box may come up for the run's
    // own file accesses either; the commands inherit the mode (LaunchOptions).
    if (report.Unattended()) ::SetErrorMode(::GetErrorMode() | SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    bool rebootRequested = false;
    try {
        RunCommandList(report, rebootRequested, arguments, mode);
    } catch (const std::exception& e) {  // KEException among them, with its description
        ReportAbortedRun(report, e.what());
    } catch (...) {
        ReportAbortedRun(report, "unexpected failure");
    }
    RestartOutcome restart = RestartOutcome::NotAsked;
    if (rebootRequested) {
        restart = RestartOutcome::Due;
        try {
            if (AskRebootAndRestart(report)) restart = RestartOutcome::Started;
            else if (report.Unattended()) report.Line(DisplayText("RestartDueMsg"));
        } catch (...) {
            // Nothing to add: the question is the last step and the run is over either way.
        }
    }
    int exitCode = RunExitCode(report.Failed(), restart);
    report.RunOver(exitCode);
    return exitCode;
}
