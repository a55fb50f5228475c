#include "app/SarnikDlg.h"

#include <climits>
#include <new>
#include <string>

#include "scan/CharScan.h"
#include "app/resource.h"
#include "runner/RunCommands.h"
#include "runner/RunReport.h"

namespace {
const UINT WM_RUN_FINISHED = WM_APP + 1;
const UINT WM_BRING_TO_TOP = WM_APP + 2;
const size_t kLogLimit = 32766;

// Only the main thread touches it.
bool g_firstPaint = true;

UINT __cdecl WorkerEntry(LPVOID dialog) {
    CSarnikDlg* dlg = static_cast<CSarnikDlg*>(dialog);
    return static_cast<UINT>(RunCommands(dlg, dlg->Arguments()));
}

// Puts text at the end of the edit control log, whatever the caret and selection were; a
// position past the end stands for the end.
void AppendToControl(HWND log, const char* text) {
    ::SendMessageA(log, EM_SETSEL, static_cast<WPARAM>(INT_MAX), INT_MAX);
    ::SendMessageA(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text));
}

// Where the last limit bytes of text start, moved forward past a trail byte so that the kept
// text never begins in the middle of a double-byte character.
size_t KeepFrom(const std::string& text, size_t limit) {
    size_t cut = text.size() - limit;
    size_t i = 0;
    while (i < cut) i += CharWidthAt(text, i);
    return i;
}
}  // namespace

CSarnikDlg::CSarnikDlg(std::wstring arguments)
    : CDialog(IDD_SARNIK_DIALOG), m_arguments(std::move(arguments)), m_exitCode(kExitFailed) {
    m_hIcon = ::LoadIconW(AfxGetResourceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME));
}

void CSarnikDlg::DoDataExchange(CDataExchange* dx) { CDialog::DoDataExchange(dx); }

BOOL CSarnikDlg::OnInitDialog() {
    m_shown = true;
    CDialog::OnInitDialog();
    SendMessage(WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessage(WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hIcon));
    ::EnableMenuItem(GetSystemMenu(), SC_CLOSE, MF_BYCOMMAND | MF_GRAYED);
    // Lines are appended as the user would type them, which the control's default limit (30,000
    // characters under Wine) would refuse before the log's own cut at 32,766 bytes is reached.
    ::SendMessageA(GetDlgItem(IDC_LOG), EM_SETLIMITTEXT, kLogLimit, 0);
    if (!StartWorker()) {
        // Without a worker nothing would ever enable OK: say why, stay in front, and let the
        // user close the dialog.
        DWORD code = ::GetLastError();
        char message[1024];
        if (!::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, message,
                              sizeof message, nullptr))
            message[0] = '\0';
        std::string text = message;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        std::string line = "The custom commands could not be run: the worker thread could not be started (error " +
                           std::to_string(code) + ") " + text;
        AppendLogLine(this, line.c_str());
        m_exitCode = kExitFailed;
        g_firstPaint = false;
        EnableFinishedControls();
    }
    return TRUE;
}

bool CSarnikDlg::StartWorker() {
    return AfxBeginThread(WorkerEntry, this, THREAD_PRIORITY_NORMAL, 0, 0, nullptr) != nullptr;
}

void CSarnikDlg::OnOK() {
    if (m_finished) CDialog::OnOK();
}

void CSarnikDlg::OnCancel() {
    if (m_finished) CDialog::OnCancel();
}

bool CSarnikDlg::OnMessage(UINT msg, WPARAM, LPARAM, LRESULT& result) {
    switch (msg) {
    case WM_PAINT:
        OnPaint();
        // A minimised dialog is painted here; otherwise the default dialog painting runs.
        result = 0;
        return IsIconic() != FALSE;
    case WM_QUERYDRAGICON:
        result = reinterpret_cast<LRESULT>(OnQueryDragIcon());
        return true;
    case WM_RUN_FINISHED:
        EnableFinishedControls();
        result = 0;
        return true;
    case WM_BRING_TO_TOP:
        // A run that ends at once can get here before the first paint; the first paint must
        // then not send the dialog back to the bottom.
        g_firstPaint = false;
        ::BringWindowToTop(m_hWnd);
        result = 0;
        return true;
    }
    return false;
}

void CSarnikDlg::OnPaint() {
    if (g_firstPaint) {
        // Opens behind the other windows; the worker brings it forward after the parent wait.
        // SWP_NOACTIVATE changes nothing for the window that is already active, but without it
        // Wine takes the call for an activation and puts the window on top instead.
        ::SetWindowPos(m_hWnd, HWND_BOTTOM, 0, 0, 100, 100, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
        g_firstPaint = false;
    }
    if (!IsIconic()) return;
    PAINTSTRUCT ps;
    HDC dc = ::BeginPaint(m_hWnd, &ps);
    SendMessage(WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    RECT client;
    ::GetClientRect(m_hWnd, &client);
    int x = (client.right - client.left - ::GetSystemMetrics(SM_CXICON) + 1) / 2;
    int y = (client.bottom - client.top - ::GetSystemMetrics(SM_CYICON) + 1) / 2;
    ::DrawIcon(dc, x, y, m_hIcon);
    ::EndPaint(m_hWnd, &ps);
}

HCURSOR CSarnikDlg::OnQueryDragIcon() { return static_cast<HCURSOR>(m_hIcon); }

void CSarnikDlg::OnRunFinished(int exitCode) {
    // Kept before OK becomes usable: the dialog may end the moment it is.
    m_exitCode = exitCode;
    // Carried out on the dialog's thread, so that OK and Close become usable together and the
    // dialog cannot end half-way through.
    ::SendMessageA(m_hWnd, WM_RUN_FINISHED, 0, 0);
}

void CSarnikDlg::EnableFinishedControls() {
    // OK last: whoever watches for the run's end by OK (a user, a deployment tool's window
    // driver) then finds Close usable too.
    ::EnableMenuItem(GetSystemMenu(), SC_CLOSE, MF_BYCOMMAND | MF_ENABLED);
    ::EnableWindow(GetDlgItem(IDOK), TRUE);
    m_finished = true;
}

void AppendLogLine(CSarnikDlg* dlg, const char* line) {
    if (!dlg) return;
    HWND log = dlg->GetDlgItem(IDC_LOG);
    try {
        std::string added = std::string(line) + "\r\n";
        if (added.size() >= kLogLimit) {
            // The line alone fills the log: its own end is all that stays.
            ::SetWindowTextA(log, added.c_str() + KeepFrom(added, kLogLimit));
            ::UpdateWindow(log);
            return;
        }
        // Only the new line is laid out: setting the whole text again costs the control a layout
        // of every line it holds (50 ms a line under Wine once the log is full, minutes for a
        // line of 30,000 characters without a break).
        int length = ::GetWindowTextLengthA(log);
        if (length > 0 && static_cast<size_t>(length) + added.size() > kLogLimit) {
            // The control's own text, typed text included, decides what leaves at the top.
            std::string text(static_cast<size_t>(length) + 1, '\0');
            length = ::GetWindowTextA(log, &text[0], length + 1);
            text.resize(static_cast<size_t>(length > 0 ? length : 0));
            if (text.size() + added.size() > kLogLimit) {
                size_t cut = text.size() + added.size() - kLogLimit;
                size_t drop = 0;
                while (drop < cut) drop += CharWidthAt(text, drop);
                // The control counts positions in UTF-16 units (the common controls' edit control
                // and Wine's keep their text wide), not in the bytes of the ANSI text.
                int units = ::MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(drop), nullptr, 0);
                ::SendMessageA(log, EM_SETSEL, 0, units);
                ::SendMessageA(log, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
            }
        }
        AppendToControl(log, added.c_str());
    } catch (const std::bad_alloc&) {
        // No memory for a copy of the line: the control appends it itself (within its own limit),
        // so the line is still shown and the run is not ended for it.
        AppendToControl(log, line);
        AppendToControl(log, "\r\n");
    }
    ::UpdateWindow(log);
}

void CSarnikDlg::AppendLine(const std::string& line) { AppendLogLine(this, line.c_str()); }

void CSarnikDlg::BringToFront() { BringDialogToTop(this); }

void BringDialogToTop(CSarnikDlg* dlg) {
    // Carried out on the dialog's thread, which alone owns the first-paint flag.
    if (dlg) ::SendMessageA(dlg->m_hWnd, WM_BRING_TO_TOP, 0, 0);
}
