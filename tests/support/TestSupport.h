// What the tests need to meet Sarnik as a user does: kit folders, the real sarnik.exe started
// with a command line, its windows found and answered, and the fixture programs' marker files.
#pragma once

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace test {

// The folder that holds the test program, sarnik.exe and the fixtures.
std::string BinDir();
std::string BinPath(const char* exe);

// Under the ANSI code page 932 the end of every test folder's name: double-byte characters whose
// trail bytes are '|' and '\\', the last character of the name being one of them. Empty under
// any other code page, where those bytes would make other characters.
const char* DoubleByteSuffix();

// A fresh, empty folder under the temporary directory, removed by the destructor; its name ends
// in DoubleByteSuffix().
class TempFolder {
public:
    explicit TempFolder(const char* hint);
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "\\" + name; }

private:
    std::string m_path;
};

void WriteFile(const std::string& path, const std::string& content);
std::string ReadFile(const std::string& path);

// Runs a console program (a command line) with its standard output and error in a file, waits up
// to a minute, and returns its exit code (0xDEADBEEF when it did not start or end) with the output
// as written. Under Wine a started program would otherwise write to the test's own Unix output.
// The program runs in a job object of its own: processes (when given) gets how many processes
// ran in it, the program itself included.
DWORD RunConsoleProgram(const std::string& line, std::string& output, DWORD* processes = nullptr);
// The same for a wide command line, as a Unicode program starts it.
DWORD RunConsoleProgram(const std::wstring& line, std::string& output, DWORD* processes = nullptr);

// Texts of the ANSI code page and UTF-8 into each other, converted by the platform.
std::string AnsiToUtf8(const std::string& ansi);
std::string Utf8ToAnsi(const std::string& utf8);

// Wide (UTF-16) text and the ANSI code page, asked of the platform directly (not of the product's
// own conversion): Widen converts ANSI text; BestFit is what an ANSI program gets for a wide text
// from the system (look-alikes included); Representable tells whether the code page holds every
// character of it.
std::wstring Widen(const std::string& ansi);
std::string BestFit(const std::wstring& wide);
bool Representable(const std::wstring& wide);
// Folders and files under wide paths, for names the ANSI code page lacks.
void MakeDirsW(const std::wstring& path);
void WriteFileW(const std::wstring& path, const std::string& content);
std::string ReadFileW(const std::wstring& path);
bool FileExistsW(const std::wstring& path);
bool FileExists(const std::string& path);
// The root ("Q:\\") of a drive letter that names nothing on this machine; "" when Q to Y are all
// taken.
std::string MissingDriveRoot();
// Whether the registry has a 32-bit and a 64-bit view apart: for a 64-bit program, and for a
// 32-bit one under WOW64 (in a 64-bit prefix). A 32-bit prefix has one view, which both view
// flags reach.
bool TwoRegistryViews();
void MakeDirs(const std::string& path);
void RemoveTree(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);
// The lines of a text with CR LF line ends (a dialog's log, a log file), without the final empty
// one; a lone line feed stays inside its line.
std::vector<std::string> CrLfLines(const std::string& text);
std::vector<std::string> Words(const std::string& line);

// A kit folder: <dir>\Setup\CustCmds.ini.
class Kit {
public:
    Kit() : m_folder("kit") {}
    const std::string& Dir() const { return m_folder.Path(); }
    std::string File(const std::string& name) const { return m_folder / name; }
    void SetCommandFile(const std::string& ini);
    // The command line a parent installer passes: "<parent> <reboot>|<kit>|<temp>|<install>|".
    std::string Args(int parent = 0, int reboot = 0, const std::string& temp = "",
                     const std::string& install = "") const;

private:
    TempFolder m_folder;
};

// A started sarnik.exe (or any program). The destructor kills it if it still runs.
class Process {
public:
    // Starts "exe" args (the program's path in quotation marks); on desktop ("station\\desktop")
    // when one is given, with the extra CreateProcess flags (DETACHED_PROCESS: without the test's
    // console, as a windowed parent installer starts it).
    Process(const std::string& exe, const std::string& args, const std::vector<std::string>& env = {},
            const std::string& desktop = "", DWORD flags = 0);
    // Starts a command line exactly as written, as a parent installer may write it.
    struct CommandLine { std::string text; };
    explicit Process(const CommandLine& line);
    // The same through CreateProcessW, as a Unicode parent installer starts it.
    struct WideCommandLine { std::wstring text; };
    explicit Process(const WideCommandLine& line);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;
    bool Started() const { return m_pi.hProcess != nullptr; }
    DWORD Id() const { return m_pi.dwProcessId; }
    HANDLE Handle() const { return m_pi.hProcess; }
    // Waits for the end; returns false on time-out.
    bool Wait(DWORD ms);
    DWORD ExitCode() const;
    void Kill();

private:
    PROCESS_INFORMATION m_pi = {};
};

// Top-level window of process pid with the given class (or any) and title (or any), waiting up
// to ms for it to appear. nullptr when none came.
HWND WaitForWindow(DWORD pid, const char* cls, const char* title, DWORD ms);
std::string WindowText(HWND h);
std::string ClassOf(HWND h);
// The text of a message box (its static control 0xFFFF).
std::string MessageBoxText(HWND box);
// Button ids that a message box shows (among IDOK, IDCANCEL, IDYES, IDNO).
std::vector<int> MessageBoxButtons(HWND box);
// Answers a message box as a user's click would.
void Answer(HWND box, int id);

// Whether upper stands above lower in the window stack.
bool IsAbove(HWND upper, HWND lower);

// A plain visible top-level window of the test, on a thread of its own that answers its
// messages: something for another program's window to stand above or below.
class OtherWindow {
public:
    OtherWindow();
    ~OtherWindow();
    OtherWindow(const OtherWindow&) = delete;
    OtherWindow& operator=(const OtherWindow&) = delete;
    HWND Get() const { return m_hwnd; }

private:
    HANDLE m_thread = nullptr;
    HANDLE m_ready = nullptr;
    DWORD m_threadId = 0;
    HWND m_hwnd = nullptr;
    static DWORD WINAPI Main(void* self);
};

// Polls cond every 20 ms for up to ms; returns its last value.
bool WaitUntil(const std::function<bool()>& cond, DWORD ms);

}  // namespace test

namespace test {

// sarnik.exe started on a kit; the "Command Progress" dialog when it shows one.
class SarnikRun {
public:
    explicit SarnikRun(const std::string& args, const std::vector<std::string>& env = {},
                       const std::string& desktop = "", DWORD flags = 0)
        : m_process(BinPath("sarnik.exe"), args, env, desktop, flags) {}
    // Started by a Unicode parent installer: the whole command line, program included.
    explicit SarnikRun(const Process::WideCommandLine& line) : m_process(line) {}
    Process& Proc() { return m_process; }
    // The dialog, waiting up to ms for it.
    HWND Dialog(DWORD ms = 10000);
    std::string Log();
    bool OkEnabled();
    // Waits until OK is enabled (the run is over).
    bool WaitFinished(DWORD ms);
    // Presses OK and waits for the process to end.
    bool CloseWithOk(DWORD ms = 10000);
    // A message box of the process with the given title, waiting up to ms.
    HWND Box(const char* title, DWORD ms) { return WaitForWindow(m_process.Id(), "#32770", title, ms); }

private:
    Process m_process;
    HWND m_dialog = nullptr;
};

// The full path of a fixture program, quoted for a command line.
std::string Quoted(const std::string& path);

}  // namespace test
