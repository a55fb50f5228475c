// The application object: decides between dialog and silent mode and runs the job once.
#include <afxwin.h>
#include <commctrl.h>

#include <cstring>
#include <string>

#include "app/SarnikDlg.h"
#include "app/TokenScanner.h"
#include "installer/SystemLibrary.h"
#include "runner/RunCommands.h"

class CSarnikApp : public CWinApp {
public:
    BOOL InitInstance() override;
};

CSarnikApp theApp;

BOOL CSarnikApp::InitInstance() {
    // Before the common controls or anything else loads a DLL on the program's behalf.
    RestrictDllSearch();

    RegisterCommonControls(ICC_WIN95_CLASSES);

    CSarnikDlg dlg;

    std::string commandFile = TokenScanner(m_lpCmdLine).Field(0) + "\\Setup\\CustCmds.ini";
    char showDialog[1024];
    DWORD n = ::GetPrivateProfileStringA("CustomCommands", "ShowDialog", "", showDialog,
                                         sizeof showDialog, commandFile.c_str());
    if (n > 0 && _stricmp(showDialog, "FALSE") == 0) {
        RunCommands(nullptr);
    } else {
        m_pMainWnd = &dlg;
        dlg.DoModal();
        m_pMainWnd = nullptr;
    }
    return FALSE;
}
