#include "runner/RunReport.h"

#include <windows.h>

#include <exception>

#include "app/SarnikDlg.h"

namespace {
const LANGID kUserDefaultLanguage = 0x0400;

// The progress dialog as an output: its log shows the lines, it comes to the front after the
// parent wait and lets the user close it when the run is over. Without a dialog (silent mode)
// every event passes unseen.
class DialogOutput : public RunOutput {
public:
    explicit DialogOutput(CSarnikDlg* dlg) : m_dlg(dlg) {}
    void Line(const std::string& text) override { AppendLogLine(m_dlg, text.c_str()); }
    void ParentWaitOver() override { BringDialogToTop(m_dlg); }
    void RunOver() override {
        if (m_dlg) m_dlg->OnRunFinished();
    }

private:
    CSarnikDlg* m_dlg;
};
}  // namespace

RunReport::RunReport(CSarnikDlg* dlg) : m_silent(dlg == nullptr) {
    m_outputs.push_back(std::make_unique<DialogOutput>(dlg));
}

RunReport::~RunReport() = default;

void RunReport::AddOutput(std::unique_ptr<RunOutput> output) {
    // Ahead of the dialog: a log file has the whole run written down before the dialog lets
    // the user close it.
    m_outputs.insert(m_outputs.begin(), std::move(output));
}

template <class Event>
void RunReport::Each(Event event) {
    // By index: an output may report a line of its own (its file cannot be written) while
    // this loop runs. One output's trouble (no memory for a line) must not keep the others from
    // the event: the dialog has to learn that the run is over.
    for (size_t i = 0; i < m_outputs.size(); ++i) {
        try {
            event(*m_outputs[i]);
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

void RunReport::CommandEnded(int index, int exitCode, bool known, const std::string& line) {
    Each([&](RunOutput& o) { o.CommandEnded(index, exitCode, known); });
    Line(line);
}

void RunReport::CommandFailed(int index, const std::string& command, unsigned long error, const std::string& line) {
    Each([&](RunOutput& o) { o.CommandFailed(index, command, error); });
    Line(line);
}

int RunReport::Ask(Question kind, const std::string& text, const std::string& title, unsigned int buttons) {
    int answer = ::MessageBoxExA(nullptr, text.c_str(), title.c_str(), buttons, kUserDefaultLanguage);
    Each([&](RunOutput& o) { o.Answered(kind, title, text, answer); });
    return answer;
}

void RunReport::ParentWaitOver() {
    Each([](RunOutput& o) { o.ParentWaitOver(); });
}

void RunReport::RunOver() {
    Each([](RunOutput& o) { o.RunOver(); });
}
