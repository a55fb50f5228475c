#include "afxwin.h"

#include <process.h>

#include <new>

namespace {
CWinApp* g_app = nullptr;
HINSTANCE g_instance = nullptr;
}

CWinApp::CWinApp() { g_app = this; }
CWinApp::~CWinApp() { if (g_app == this) g_app = nullptr; }

int CWinApp::Run() {
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return ExitInstance();
}

CWinApp* AfxGetApp() { return g_app; }
// Before WinMain has run (a test program linking the dialog), the process's own module.
HINSTANCE AfxGetResourceHandle() { return g_instance ? g_instance : ::GetModuleHandleA(nullptr); }

CDialog::CDialog(UINT templateId, CWnd* parent) : m_templateId(templateId), m_parent(parent) {}

INT_PTR CDialog::DoModal() {
    HWND owner = m_parent ? m_parent->m_hWnd : nullptr;
    INT_PTR result = ::DialogBoxParamA(AfxGetResourceHandle(), MAKEINTRESOURCEA(m_templateId), owner, DialogProc,
                                       reinterpret_cast<LPARAM>(this));
    m_hWnd = nullptr;
    return result;
}

void CDialog::EndDialog(int result) { ::EndDialog(m_hWnd, result); }

BOOL CDialog::UpdateData(BOOL saveAndValidate) {
    CDataExchange dx(saveAndValidate != FALSE);
    DoDataExchange(&dx);
    return TRUE;
}

BOOL CDialog::OnInitDialog() {
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::OnOK() {
    if (UpdateData(TRUE)) EndDialog(IDOK);
}

void CDialog::OnCancel() { EndDialog(IDCANCEL); }

INT_PTR CALLBACK CDialog::DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    CDialog* self;
    if (msg == WM_INITDIALOG) {
        self = reinterpret_cast<CDialog*>(lp);
        ::SetWindowLongPtrA(hwnd, DWLP_USER, lp);
        self->m_hWnd = hwnd;
        return self->OnInitDialog();
    }
    self = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hwnd, DWLP_USER));
    if (!self) return FALSE;

    LRESULT result = 0;
    if (self->OnMessage(msg, wp, lp, result)) {
        switch (msg) {
        // These messages return their answer directly from the dialog procedure.
        case WM_QUERYDRAGICON:
        case WM_CTLCOLORMSGBOX: case WM_CTLCOLOREDIT: case WM_CTLCOLORLISTBOX:
        case WM_CTLCOLORBTN: case WM_CTLCOLORDLG: case WM_CTLCOLORSCROLLBAR:
        case WM_CTLCOLORSTATIC: case WM_COMPAREITEM: case WM_VKEYTOITEM: case WM_CHARTOITEM:
            return static_cast<INT_PTR>(result);
        default:
            ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, result);
            return TRUE;
        }
    }
    if (msg == WM_COMMAND && HIWORD(wp) == BN_CLICKED) {
        switch (LOWORD(wp)) {
        case IDOK: self->OnOK(); return TRUE;
        case IDCANCEL: self->OnCancel(); return TRUE;
        }
    }
    return FALSE;
}

namespace {
unsigned __stdcall ThreadEntry(void* arg) {
    CWinThread* thread = static_cast<CWinThread*>(arg);
    AFX_THREADPROC proc = thread->m_proc;
    LPVOID param = thread->m_param;
    UINT code = proc(param);
    ::CloseHandle(thread->m_hThread);
    delete thread;
    return code;
}
}  // namespace

CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority, UINT stackSize,
                           DWORD createFlags, LPSECURITY_ATTRIBUTES security) {
    // Returns null rather than throwing: the callers run inside window procedures.
    CWinThread* thread = new (std::nothrow) CWinThread;
    if (!thread) {
        ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    thread->m_proc = proc;
    thread->m_param = param;
    // Started suspended so that the handle is stored before the thread can delete the object.
    unsigned id = 0;
    uintptr_t h = _beginthreadex(security, stackSize, ThreadEntry, thread, CREATE_SUSPENDED, &id);
    if (!h) {
        // _beginthreadex reports through errno; CreateThread's last error is what a caller shows.
        DWORD code = ::GetLastError();
        delete thread;
        ::SetLastError(code ? code : ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    thread->m_hThread = reinterpret_cast<HANDLE>(h);
    thread->m_nThreadID = id;
    ::SetThreadPriority(thread->m_hThread, priority);
    if (!(createFlags & CREATE_SUSPENDED)) ::ResumeThread(thread->m_hThread);
    return thread;
}

namespace {
// The arguments of a command line: what follows the program's name (quoted or not) and the
// blanks after it. Taken from the wide command line: the ANSI one is converted with best fit, and
// a character the code page lacks may come out as '|', '"' or '\\' there.
LPWSTR ArgumentsOf(LPWSTR line) {
    if (!line) return const_cast<LPWSTR>(L"");
    wchar_t* p = line;
    if (*p == L'"') {
        for (++p; *p && *p != L'"'; ++p) {
        }
        if (*p == L'"') ++p;
    } else {
        for (; *p > L' '; ++p) {
        }
    }
    while (*p && *p <= L' ') ++p;
    return p;
}
}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    g_instance = instance;
    CWinApp* app = AfxGetApp();
    if (!app) return 0;
    app->m_hInstance = instance;
    app->m_lpCmdLine = ArgumentsOf(::GetCommandLineW());
    if (!app->InitInstance()) return app->ExitInstance();
    return app->Run();
}
