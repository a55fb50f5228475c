#include "runner/RunReport.h"

#include <windows.h>

#include <exception>


namespace {
const LANGID kUserDefaultLanguage = 0x0400;
}  // namespace

void DialogOutput::Line(const std::string& text) {
    if (m_view) m_view->AppendLine(text);
}
void DialogOutput::ShowProgress() {
    if (m_view) m_view->BringToFront();
}
void DialogOutput::RunOver(int exitCode) {
    if (m_view) m_view->RunFinished(exitCode);
}

int RunExitCode(bool failed, RestartOutcome restart) {
    if (failed) return kExitFailed;
    switch (restart) {
    case RestartOutcome::Started: return kExitRestartStarted;
    case RestartOutcome::Due: return kExitRestartDue;
    case RestartOutcome::NotAsked: break;
    }
    return kExitSuccess;
}

RunReport::RunReport(ProgressView* view, bool unattended) noexcept
    : m_silent(view == nullptr), m_unattended(unattended && view == nullptr), m_dialog(view) {}

RunReport::~RunReport() = default;

void RunReport::AddOutput(std::unique_ptr<RunOutput> output) { m_outputs.push_back(std::move(output)); }

template <class Event>
void RunReport::Each(Event event) {
    // By index: an output may report a line of its own (its file cannot be written) while
    // this loop runs. One output's trouble (no memory for a line) must not keep the others from
    // the event: the dialog has to learn that the run is over.
    for (size_t i = 0; i <= m_outputs.size(); ++i) {
        try {
            event(i < m_outputs.size() ? *m_outputs[i] : static_cast<RunOutput&>(m_dialog));
        } catch (const std::exception&) {
        }
    }
}

void RunReport::CommandList(const std::vector<std::string>& commands) {
    Each([&](RunOutput& o) { o.CommandList(commands); });
}

void RunReport::Line(const std::string& text) {
    Each([&](RunOutput& o) { o.Line(text); });
}

void RunReport::CommandStarted(int index, const std::string& command, const std::string& line) {
    Each([&](RunOutput& o) { o.CommandStarted(index, command); });
    Line(line);
}

void RunReport::Failure(const std::string& line) {
    m_failed = true;
    Line(line);
}

void RunReport::CommandEnded(int index, CommandEnd end, int exitCode, bool known,
                             const std::vector<std::string>& lines) {
    if (end != CommandEnd::Completed) m_failed = true;
    Each([&](RunOutput& o) { o.CommandEnded(index, end, exitCode, known); });
    for (const std::string& line : lines) Line(line);
}

void RunReport::CommandFailed(int index, const std::string& command, unsigned long error, const std::string& line) {
    m_failed = true;
    Each([&](RunOutput& o) { o.CommandFailed(index, command, error); });
    Line(line);
}

void RunReport::CommandProcesses(int index, unsigned long count) {
    Each([&](RunOutput& o) { o.CommandProcesses(index, count); });
}

int RunReport::UnattendedAnswer(Question kind, unsigned int buttons) {
    switch (kind) {
    case Question::ContinueAfterFailure: return (buttons & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
    case Question::Restart: return IDNO;
    case Question::Notice: break;
    }
    return IDOK;
}

int RunReport::Ask(Question kind, const std::string& text, const std::string& title, unsigned int buttons) {
    if (m_unattended) {
        // Nobody would see the box: a box on an invisible window station waits forever.
        int answer = UnattendedAnswer(kind, buttons);
        Each([&](RunOutput& o) { o.AnsweredUnattended(kind, title, text, answer); });
        return answer;
    }
    Each([&](RunOutput& o) { o.Asking(kind, title, text); });
    int answer = ::MessageBoxExA(nullptr, text.c_str(), title.c_str(), buttons, kUserDefaultLanguage);
    Each([&](RunOutput& o) { o.Answered(kind, title, text, answer); });
    return answer;
}

void RunReport::ShowProgress() {
    Each([](RunOutput& o) { o.ShowProgress(); });
}

void RunReport::RunOver(int exitCode) {
    Each([exitCode](RunOutput& o) { o.RunOver(exitCode); });
}
