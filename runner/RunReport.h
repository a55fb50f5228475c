// Everything a run reports flows through one RunReport, which hands each event to its outputs:
// the progress view's log (nothing in silent mode), a log file, a checker's plan. The worker speaks only
// to the RunReport and never asks which outputs there are.
//
// Classes in this file:
//   Question   what a message box asks
//   RunOutput     one receiver of the events; every event does nothing unless overridden
//   DialogOutput  the progress view (the shell's dialog), or nothing in silent mode
//   RunReport     the events' entry point and the owner of the outputs; shows the message boxes
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "runner/ProgressView.h"

// How the wait for a started command ended.
enum class CommandEnd {
    Completed,   // its process ended (with WaitForChildProcesses, every process of its job)
    TimedOut,    // something of it still ran at CommandTimeout and was left running
    Terminated,  // something of it still ran at CommandTimeout and was ended (CommandTimeoutAction)
    Failed,      // it ended in time with an exit code that SuccessExitCodes does not list
};

enum class Question {
    ContinueAfterFailure,  // a command could not be started: go on with the rest? (silent mode)
    Restart,               // restart Windows now?
    Notice,                // information with an OK button alone
};

class RunOutput {
public:
    virtual ~RunOutput() = default;
    // The commands as read (trimmed, macros expanded), before the parent wait.
    virtual void CommandList(const std::vector<std::string>& commands) {}
    // A line as the dialog's log shows it; line breaks inside it are kept as they are.
    virtual void Line(const std::string& text) {}
    // Command index (the N of Commands_N) was started; command is the text handed to the start.
    virtual void CommandStarted(int index, const std::string& command) {}
    // The started command and the waits after it are over. exitCode is that of the command's own
    // process and means something only when known is set: a command whose process ended in time
    // has one, also when processes it started outlived the limit.
    virtual void CommandEnded(int index, CommandEnd end, int exitCode, bool known) {}
    // Command index could not be started; error is the system's error code.
    virtual void CommandFailed(int index, const std::string& command, unsigned long error) {}
    // A message box is about to be shown; the user may take long to answer it, or never do.
    virtual void Asking(Question kind, const std::string& title, const std::string& text) {}
    // How many processes command index started, itself included (only when the run waits for
    // child processes).
    virtual void CommandProcesses(int index, unsigned long count) {}
    // The message box was answered with answer (IDOK, IDYES, IDNO; 0 when the box could not be
    // shown).
    virtual void Answered(Question kind, const std::string& title, const std::string& text, int answer) {}
    // An unattended run gave a question its default answer without showing it.
    virtual void AnsweredUnattended(Question kind, const std::string& title, const std::string& text, int answer) {}
    // The run's progress belongs in front of the user now: the parent installer is done, or the
    // run ended early.
    virtual void ShowProgress() {}
    // Nothing more follows; exitCode is Sarnik's own.
    virtual void RunOver(int exitCode) {}
};

// The progress view as an output: its log shows the lines, it comes to the front when the
// progress is to be shown and lets the user close it when the run is over. Without a view
// (silent mode) every event passes unseen.
class DialogOutput : public RunOutput {
public:
    explicit DialogOutput(ProgressView* view) : m_view(view) {}
    void Line(const std::string& text) override;
    void ShowProgress() override;
    void RunOver(int exitCode) override;

private:
    ProgressView* m_view;
};

// Sarnik's exit code, for a tool that runs it: the codes deployment tools already understand.
const int kExitSuccess = 0;           // every command started and ended in time, no restart due
const int kExitRestartStarted = 1641; // Windows was asked to restart and accepted
const int kExitRestartDue = 3010;     // a restart is due and was not done
const int kExitFailed = 1603;         // a command could not be started or timed out, or the run was
                                      // stopped or never reached its end
// What became of a restart at the end of the run.
enum class RestartOutcome { NotAsked, Due, Started };
// A failure outweighs a restart: the log tells both.
int RunExitCode(bool failed, RestartOutcome restart);

class RunReport {
public:
    // With a view its log receives the lines; without one the run is silent. An unattended run
    // (never with a view) shows no message box: Ask gives each question its default answer.
    // Needs no memory, so that a run can always be reported and ended.
    explicit RunReport(ProgressView* view, bool unattended = false) noexcept;
    ~RunReport();
    RunReport(const RunReport&) = delete;
    RunReport& operator=(const RunReport&) = delete;

    bool Silent() const { return m_silent; }
    bool Unattended() const { return m_unattended; }
    // Whether a command could not be started or timed out, or the run was stopped or ended early.
    bool Failed() const { return m_failed; }
    // The run did not carry out every command: the user stopped it, or it ended early.
    void Stopped() { m_failed = true; }
    // Something the run waited for did not end in time (the setup engine after a command): the
    // line says what, and the run goes on, failed.
    void Failure(const std::string& line);
    // Outputs receive each event in the order they were added, all of them before the dialog:
    // a log file has the whole run written down before the dialog lets the user close it.
    void AddOutput(std::unique_ptr<RunOutput> output);

    void CommandList(const std::vector<std::string>& commands);
    void Line(const std::string& text);
    // line is what the log shows for the event.
    void CommandStarted(int index, const std::string& command, const std::string& line);
    // lines are what the log shows for the end, in order. A command that did not complete in
    // time fails the run.
    void CommandEnded(int index, CommandEnd end, int exitCode, bool known, const std::vector<std::string>& lines);
    void CommandFailed(int index, const std::string& command, unsigned long error, const std::string& line);
    void CommandProcesses(int index, unsigned long count);
    // Shows a message box (no owner, the user's language for the buttons), reports it when it is
    // shown and when it is answered, and returns the answer. In an unattended run nothing is
    // shown and the answer is the question's default (UnattendedAnswer).
    int Ask(Question kind, const std::string& text, const std::string& title, unsigned int buttons);
    void ShowProgress();
    // Nothing more follows; the outputs learn the run's exit code.
    void RunOver(int exitCode);

    // The documented default answers: a command that could not be started: go on (Yes, or OK
    // for the last one); the restart question: No; a notice: OK.
    static int UnattendedAnswer(Question kind, unsigned int buttons);

private:
    template <class Event>
    void Each(Event event);

    bool m_silent;
    bool m_unattended;
    bool m_failed = false;
    std::vector<std::unique_ptr<RunOutput>> m_outputs;
    DialogOutput m_dialog;
};
