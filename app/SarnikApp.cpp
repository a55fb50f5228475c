// The application object: decides between dialog, silent and unattended mode through the
// runner's reading of the command file, runs the job once and ends with the run's exit code.
#include <afxwin.h>
#include <commctrl.h>

#include "app/SarnikDlg.h"
#include "app/resource.h"
#include "installer/SystemLibrary.h"
#include "runner/RunCommands.h"
#include "runner/RunMode.h"
#include "runner/RunReport.h"

class CSarnikApp : public CWinApp {
public:
    BOOL InitInstance() override;
    int ExitInstance() override { return m_exitCode; }

private:
    // A run that never reached its end never tells its tool that all went well.
    int m_exitCode = kExitFailed;
};

CSarnikApp theApp;

BOOL CSarnikApp::InitInstance() {
    // Before the common controls or anything else loads a DLL on the program's behalf.
    RestrictDllSearch();

    RegisterCommonControls(ICC_WIN95_CLASSES, IDR_COMMON_CONTROLS_MANIFEST);

    CSarnikDlg dlg(m_lpCmdLine);

    RunChoice choice = ChooseRunMode(m_lpCmdLine);
    if (choice.mode != RunMode::Dialog) {
        m_exitCode = RunCommands(nullptr, m_lpCmdLine, choice);
    } else {
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
        if (dlg.WasShown()) {
            m_exitCode = dlg.RunExitCode();
        } else {
            // No dialog could be made (no display; on Windows no access to the desktop, or its
            // heap used up): nobody would see a question either. The run goes on unattended.
            choice.mode = RunMode::Unattended;
            choice.reason = kDialogNotShownReason;
            m_exitCode = RunCommands(nullptr, m_lpCmdLine, choice);
        }
    }
    return FALSE;
}
