// The small part of the Windows application framework that Sarnik uses, over plain Win32:
//   CWinApp        one application object per process; WinMain runs its InitInstance
//   CWnd           a borrowed window handle with the few operations the program calls
//   CDialog        a modal dialog from a template, with overridable initialisation,
//                  data exchange, OK/Cancel handling and a message hook in place of message maps
//   CWinThread     a started thread; AfxBeginThread makes one that deletes itself when it ends
#pragma once

#include <windows.h>

class CWnd {
public:
    CWnd() = default;
    virtual ~CWnd() = default;
    CWnd(const CWnd&) = delete;
    CWnd& operator=(const CWnd&) = delete;

    HWND GetSafeHwnd() const { return m_hWnd; }
    LRESULT SendMessage(UINT msg, WPARAM wp = 0, LPARAM lp = 0) const {
        return ::SendMessageA(m_hWnd, msg, wp, lp);
    }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    // The window's system menu (not a copy).
    HMENU GetSystemMenu() const { return ::GetSystemMenu(m_hWnd, FALSE); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }

    HWND m_hWnd = nullptr;
};

class CDataExchange {
public:
    explicit CDataExchange(bool saveAndValidate) : m_bSaveAndValidate(saveAndValidate) {}
    bool m_bSaveAndValidate;
};

class CDialog : public CWnd {
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr);

    // Runs the dialog until EndDialog; returns its result, or -1 when it cannot be created.
    virtual INT_PTR DoModal();
    void EndDialog(int result);

    // Transfers data between controls and members through DoDataExchange.
    BOOL UpdateData(BOOL saveAndValidate = TRUE);

protected:
    virtual void DoDataExchange(CDataExchange* dx) {}
    // The default sets up data exchange; the result says whether the framework sets the focus.
    virtual BOOL OnInitDialog();
    virtual void OnOK();
    virtual void OnCancel();
    // Stands in for a message map: return true and set result for a message the dialog handles.
    virtual bool OnMessage(UINT msg, WPARAM wp, LPARAM lp, LRESULT& result) { return false; }

private:
    static INT_PTR CALLBACK DialogProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    UINT m_templateId;
    CWnd* m_parent;
};

typedef UINT(__cdecl* AFX_THREADPROC)(LPVOID);

class CWinThread {
public:
    HANDLE m_hThread = nullptr;
    DWORD m_nThreadID = 0;
    AFX_THREADPROC m_proc = nullptr;
    LPVOID m_param = nullptr;
};

// Starts proc(param) on a new thread. The returned object belongs to the thread and is deleted
// when the thread ends; callers that do not keep it need do nothing. Null, with the thread's last
// error set, when no thread could be started.
CWinThread* AfxBeginThread(AFX_THREADPROC proc, LPVOID param, int priority = THREAD_PRIORITY_NORMAL,
                           UINT stackSize = 0, DWORD createFlags = 0,
                           LPSECURITY_ATTRIBUTES security = nullptr);

class CWinApp {
public:
    CWinApp();
    virtual ~CWinApp();
    CWinApp(const CWinApp&) = delete;
    CWinApp& operator=(const CWinApp&) = delete;

    // Returning FALSE ends the process without a message loop.
    virtual BOOL InitInstance() { return TRUE; }
    virtual int Run();
    virtual int ExitInstance() { return 0; }

    HINSTANCE m_hInstance = nullptr;
    // The command-line arguments without the program's own name, as the system holds them (wide:
    // the ANSI form is converted with best fit).
    LPWSTR m_lpCmdLine = const_cast<LPWSTR>(L"");
    CWnd* m_pMainWnd = nullptr;
};

CWinApp* AfxGetApp();
HINSTANCE AfxGetResourceHandle();
