// The "Command Progress" dialog: a log that the worker appends to and an OK button that becomes
// usable when the run is over.
#pragma once

#include <afxwin.h>

#include <atomic>
#include <string>

#include "runner/ProgressView.h"

class CSarnikDlg : public CDialog, public ProgressView {
public:
    // arguments: the command line's arguments (wide, as the system holds them) that the worker
    // runs the kit for.
    explicit CSarnikDlg(std::wstring arguments = std::wstring());

    // The runner's view of its progress.
    void AppendLine(const std::string& line) override;
    void BringToFront() override;
    void RunFinished(int exitCode) override { OnRunFinished(exitCode); }

    // Called by the worker at the end of the run with Sarnik's exit code: enables OK and the
    // Close command. From then on the worker no longer touches the dialog.
    void OnRunFinished(int exitCode = 0);
    // The exit code the run ended with once it has finished; until then that of a failed run.
    int RunExitCode() const { return m_exitCode; }
    // Whether the dialog was made and initialised (and so started the run): a modal dialog that
    // cannot be created returns at once without.
    bool WasShown() const { return m_shown; }
    const std::wstring& Arguments() const { return m_arguments; }

protected:
    void DoDataExchange(CDataExchange* dx) override;
    BOOL OnInitDialog() override;
    // Until the run has finished OK and Cancel (Enter, Esc, Close) do nothing, so the dialog
    // cannot be destroyed while the worker still uses it.
    void OnOK() override;
    void OnCancel() override;
    bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) override;
    // Starts RunCommands on a worker thread with this dialog; false (with the thread's last
    // error set) when no thread could be started.
    virtual bool StartWorker();

private:
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    void EnableFinishedControls();

    HICON m_hIcon;
    std::wstring m_arguments;
    std::atomic<bool> m_finished{false};
    std::atomic<int> m_exitCode;
    bool m_shown = false;
};

// Appends line and a line end to the dialog's log, keeping the newest 32,766 bytes.
// Does nothing without a dialog. Never throws.
void AppendLogLine(CSarnikDlg* dlg, const char* line);

// Brings the dialog to the top of the window stack; nothing without a dialog.
void BringDialogToTop(CSarnikDlg* dlg);
