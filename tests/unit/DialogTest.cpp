// The "Command Progress" dialog itself, built from the program's own resources, with the worker
// replaced so that the test decides when the run is over, or that no worker can be started.
// Another thread of the test plays the user: it reads the dialog, its OK button and the Close
// item of its system menu, and presses them.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>

#include "app/SarnikDlg.h"
#include "runner/RunCommands.h"
#include "support/KitPackage.h"
#include "support/TestSupport.h"

using namespace test;

namespace {
// A dialog whose worker waits until the test lets it go on, then either only finishes the run or
// runs the real RunCommands; or a dialog whose worker cannot be started.
enum class Worker { Scripted, RunCommands, CannotStart };

class ScriptedDialog : public CSarnikDlg {
public:
    explicit ScriptedDialog(Worker worker) : m_kind(worker) {}
    ~ScriptedDialog() override {
        Finish();
        if (m_worker.joinable()) m_worker.join();
    }
    void Finish() { m_finish = true; }

protected:
    bool StartWorker() override {
        if (m_kind == Worker::CannotStart) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
        m_worker = std::thread([this] {
            while (!m_finish) Sleep(10);
            if (m_kind == Worker::RunCommands) {
                RunCommands(this, L"");
                return;
            }
            AppendLogLine(this, "run over");
            OnRunFinished();
        });
        return true;
    }

private:
    Worker m_kind;
    std::atomic<bool> m_finish{false};
    std::thread m_worker;
};

HWND WaitForDialog() { return WaitForWindow(GetCurrentProcessId(), nullptr, "Command Progress", 10000); }

bool CloseGreyed(HWND dlg) {
    UINT state = GetMenuState(GetSystemMenu(dlg, FALSE), SC_CLOSE, MF_BYCOMMAND);
    return state != static_cast<UINT>(-1) && (state & MF_GRAYED) != 0;
}

bool OkEnabled(HWND dlg) { return IsWindowEnabled(GetDlgItem(dlg, IDOK)) != FALSE; }

// Waits until the dialog's thread has taken every message posted to it so far: posted messages
// are taken in order, and a thread's message hook sees a marker posted after them only when the
// dialog asks for its next message, once the earlier ones have been handled.
std::atomic<bool> g_markerTaken{false};
const WPARAM kMarker = 0x5A17;
LRESULT CALLBACK MarkerHook(int code, WPARAM removed, LPARAM lParam) {
    const MSG* msg = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && removed == PM_REMOVE && msg->message == WM_NULL && msg->wParam == kMarker)
        g_markerTaken = true;
    return CallNextHookEx(nullptr, code, removed, lParam);
}
bool PostedMessagesTaken(HWND dlg) {
    g_markerTaken = false;
    HHOOK hook = SetWindowsHookExA(WH_GETMESSAGE, MarkerHook, nullptr, GetWindowThreadProcessId(dlg, nullptr));
    if (!hook) return false;
    PostMessageA(dlg, WM_NULL, kMarker, 0);
    bool taken = WaitUntil([] { return g_markerTaken.load(); }, 20000);
    UnhookWindowsHookEx(hook);
    return taken;
}

// The dialog run modally on a thread of its own, as the application's main thread runs it. A test
// that stops early (a failed assertion) must not leave the modal loop running behind a join that
// never returns: the run is let finish and OK pressed, and a dialog that still will not end ends
// the test program with a message instead of a hang.
struct ModalRun {
    explicit ModalRun(ScriptedDialog& dlg) : dialog(dlg), thread([&] { result = dlg.DoModal(); done = true; }) {}
    ~ModalRun() {
        if (!done) {
            dialog.Finish();
            if (HWND h = WaitForDialog()) {
                WaitUntil([&] { return OkEnabled(h); }, 20000);
                PostMessageA(h, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
            }
            if (!WaitUntil([&] { return done.load(); }, 10000)) {
                std::fprintf(stderr, "the dialog did not end after the test; the test program stops\n");
                std::fflush(stderr);
                ExitProcess(3);
            }
        }
        if (thread.joinable()) thread.join();
    }
    ScriptedDialog& dialog;
    std::atomic<bool> done{false};
    INT_PTR result = 0;
    std::thread thread;
};
}  // namespace

TEST(Dialog, CloseIsGreyedDuringTheRunAndUsableAfterIt) {
    ScriptedDialog dlg(Worker::Scripted);
    ModalRun run(dlg);
    HWND h = WaitForDialog();
    ASSERT_NE(h, nullptr);

    EXPECT_TRUE(CloseGreyed(h)) << "the Close item of the system menu is greyed while the run goes on";
    EXPECT_FALSE(OkEnabled(h));
    // Neither the Close command, Esc nor OK ends the dialog while the worker still uses it.
    PostMessageA(h, WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageA(h, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    PostMessageA(h, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(PostedMessagesTaken(h)) << "the dialog did not take its posted messages";
    EXPECT_FALSE(run.done);
    EXPECT_TRUE(IsWindow(h));

    dlg.Finish();
    ASSERT_TRUE(WaitUntil([&] { return OkEnabled(h); }, 10000));
    EXPECT_FALSE(CloseGreyed(h)) << "the Close item is usable after the run";
    EXPECT_EQ(WindowText(GetDlgItem(h, 1000)), "run over\r\n");
    PostMessageA(h, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(WaitUntil([&] { return run.done.load(); }, 10000)) << "Close ends the dialog after the run";
}

TEST(Dialog, AWorkerThatCannotBeStartedIsShownAndOkEnabled) {
    ScriptedDialog dlg(Worker::CannotStart);
    ModalRun run(dlg);
    HWND h = WaitForDialog();
    ASSERT_NE(h, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return OkEnabled(h); }, 10000)) << "nothing else would ever enable OK";
    std::string log = WindowText(GetDlgItem(h, 1000));
    EXPECT_EQ(log.find("The custom commands could not be run: the worker thread could not be started (error 8)"), 0u)
        << log;
    EXPECT_GT(log.size(), 90u) << "the system's message for the error follows: " << log;
    EXPECT_FALSE(CloseGreyed(h));
    PostMessageA(h, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(WaitUntil([&] { return run.done.load(); }, 10000));
    EXPECT_EQ(run.result, IDOK);
}

TEST(Dialog, AFailureThatEndsTheRunEarlyBringsTheDialogForward) {
    // The run ends in the macro table's build, before the parent wait after which the dialog
    // normally comes forward: a custom public directory that cannot be created.
    TempFolder root("blocked");
    WriteFile(root / "file", "in the way");
    std::string blocked = root / "file\\Pub";
    // Put back however the test ends: a value left behind would break every later run's table.
    RegistryValueRestorer custom(HKEY_LOCAL_MACHINE, "Software\\Brontell\\Quelvaran\\16.0", "CustomPublicLocation",
                                 KEY_WOW64_32KEY);
    ASSERT_TRUE(custom.SetString(blocked));
    OtherWindow other;
    ScriptedDialog dlg(Worker::RunCommands);
    ModalRun run(dlg);
    HWND h = WaitForDialog();
    ASSERT_NE(h, nullptr);
    // Behind the other window, as after the dialog's first paint. Wine raises a new dialog once
    // it has painted, later on a loaded machine: the paint is had first (UpdateWindow waits for
    // the dialog's thread), and the dialog pushed down until it stays there.
    UpdateWindow(h);
    ASSERT_TRUE(WaitUntil([&] {
        SetWindowPos(h, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
        Sleep(100);
        return IsAbove(other.Get(), h);
    }, 10000));
    dlg.Finish();
    ASSERT_TRUE(WaitUntil([&] { return OkEnabled(h); }, 20000));
    std::string log = WindowText(GetDlgItem(h, 1000));
    EXPECT_EQ(log.find("The custom commands could not be run to the end: "), 0u) << log;
    EXPECT_TRUE(IsAbove(h, other.Get())) << "the dialog must be in front before OK is usable";
    PostMessageA(h, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(WaitUntil([&] { return run.done.load(); }, 10000));
}
