#include "runner/RunCommands.h"

#include <windows.h>

#include <exception>
#include <string>
#include <vector>

#include "app/SarnikDlg.h"
#include "app/TokenScanner.h"
#include "installer/NestedKit.h"
#include "installer/ParentWait.h"
#include "macros/DirectoryMacroTable.h"
#include "runner/CommandFile.h"
#include "runner/FailureReport.h"
#include "runner/Launch.h"
#include "runner/Reboot.h"
#include "runner/ScopedHandle.h"

namespace {

// The command-line arguments without the program's own name.
std::string CommandLineArguments() {
    CWinApp* app = AfxGetApp();
    return app && app->m_lpCmdLine ? app->m_lpCmdLine : "";
}

void RunCommandList(CSarnikDlg* dlg, bool& rebootRequested) {
    TokenScanner scanner(CommandLineArguments());
    bool found = false;
    int parentId = scanner.NextNumber(found);
    ScopedHandle parent;
    if (found && parentId != 0)
        parent.Attach(::OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, static_cast<DWORD>(parentId)));
    if (scanner.NextNumber(found) != 0) rebootRequested = true;
    std::string base = scanner.Field(0), temp = scanner.Field(1), install = scanner.Field(2);
    SetBaseDirectory(base);

    DirectoryMacroTable macros(DynamicString(base.c_str(), true), DynamicString(temp.c_str(), true),
                               DynamicString(install.c_str(), true));
    STARTUPINFOA startup;
    PrepareStartupInfo(startup);

    std::vector<std::string> commands;
    int count = ReadCommandList(commands, rebootRequested, macros);

    if (count > 0) {
        AppendLogLine(dlg, GetDisplayText("WaitingMsg").c_str());
        bool known;
        WaitForProcessExit(parent.Get(), known);
        WaitEngineMutexFree();
        AppendLogLine(dlg, GetDisplayText("CompleteMsg").c_str());
    }
    BringDialogToTop(dlg);
    parent.Close();

    std::string invoking = GetDisplayText("InvokingMsg");
    std::string completedExitCode = GetDisplayText("CompletedExitCode");
    std::string completedNoExitCode = GetDisplayText("CompletedNoExitCode");

    for (int i = 0; i < count; ++i) {
        std::string& command = commands[static_cast<size_t>(i)];
        if (NeedsPathSearch(command)) ResolveProgramPath(command);
        RewriteNestedKitCommand(command);
        bool engine = IsSetupEngine(command);

        PROCESS_INFORMATION pi;
        if (!StartCommand(command, startup, pi)) {
            if (ReportStartFailure(dlg, i, count, command)) break;
            continue;
        }
        ScopedHandle process(pi.hProcess), thread(pi.hThread);
        AppendLogLine(dlg, (invoking + command).c_str());
        thread.Close();

        if (engine) WaitEngineMutexTaken();
        bool known = false;
        int exitCode = WaitForProcessExit(process.Get(), known);
        WaitInstallerIdle();
        WaitEngineMutexFree();
        process.Close();

        std::string line = known ? FormatDisplayText(completedExitCode, DefaultDisplayText("CompletedExitCode"), "d", exitCode)
                                 : completedNoExitCode;
        AppendLogLine(dlg, line.c_str());
    }
}

// Tells the user that the run could not go on, in the log or, in silent mode, in a box.
void ReportAbortedRun(CSarnikDlg* dlg, const std::string& reason) {
    std::string text = "The custom commands could not be run to the end: " + reason;
    if (dlg)
        AppendLogLine(dlg, text.c_str());
    else
        ::MessageBoxExA(nullptr, text.c_str(), GetDisplayText("errorTitle").c_str(), MB_OK, 0x0400);
}
}  // namespace

int RunCommands(CSarnikDlg* dlg) {
    bool rebootRequested = false;
    try {
        RunCommandList(dlg, rebootRequested);
    } catch (const std::exception& e) {  // KEException among them, with its description
        ReportAbortedRun(dlg, e.what());
    } catch (...) {
        ReportAbortedRun(dlg, "unexpected failure");
    }
    if (rebootRequested) {
        try {
            AskRebootAndRestart();
        } catch (...) {
            // Nothing to add: the question is the last step and the run is over either way.
        }
    }
    if (dlg) dlg->OnRunFinished();
    return 0;
}
