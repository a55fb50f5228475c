#include "support/TestSupport.h"

#include <gtest/gtest.h>
#include <shellapi.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace test {

std::string BinDir() {
    char path[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string s(path, n);
    return s.substr(0, s.find_last_of('\\'));
}

std::string BinPath(const char* exe) { return BinDir() + "\\" + exe; }

const char* DoubleByteSuffix() {
    // "ポ表ソ": trail bytes '|' (0x7C) and '\\' (0x5C), the last one at the very end of the name.
    return GetACP() == 932 ? "-\x83\x7C\x95\x5C\x83\x5C" : "";
}

TempFolder::TempFolder(const char* hint) {
    static int counter = 0;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    char name[MAX_PATH + 64];
    std::snprintf(name, sizeof name, "%ssarnik-%s-%lu-%lu-%d%s", temp, hint, GetCurrentProcessId(),
                  GetTickCount(), ++counter, DoubleByteSuffix());
    m_path = name;
    RemoveTree(m_path);
    MakeDirs(m_path);
}

TempFolder::~TempFolder() { RemoveTree(m_path); }

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

std::string ReadFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

DWORD RunConsoleProgram(const std::string& line, std::string& output, DWORD* processes) {
    return RunConsoleProgram(Widen(line), output, processes);
}

DWORD RunConsoleProgram(const std::wstring& line, std::string& output, DWORD* processes) {
    TempFolder out("console");
    std::string outPath = out / "out.txt";
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE file = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa, CREATE_ALWAYS, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = file;
    si.hStdError = file;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::vector<wchar_t> cmd(line.begin(), line.end());
    cmd.push_back(L'\0');
    DWORD code = 0xDEADBEEF;
    if (processes) *processes = 0;
    // Started suspended, so that nothing it starts escapes the job before it is in.
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    EXPECT_NE(job, nullptr);
    if (CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED, nullptr, nullptr, &si, &pi)) {
        EXPECT_TRUE(AssignProcessToJobObject(job, pi.hProcess)) << GetLastError();
        ResumeThread(pi.hThread);
        EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0) << BestFit(line);
        GetExitCodeProcess(pi.hProcess, &code);
        JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting = {};
        if (processes &&
            QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, nullptr))
            *processes = accounting.TotalProcesses;
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    } else {
        ADD_FAILURE() << "cannot start " << BestFit(line) << ": " << GetLastError();
    }
    CloseHandle(file);
    if (job) CloseHandle(job);
    output = ReadFile(outPath);
    return code;
}

namespace {
std::string Converted(const std::string& text, UINT from, UINT to) {
    int n = MultiByteToWideChar(from, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring wide(n, L'\0');
    MultiByteToWideChar(from, 0, text.data(), (int)text.size(), &wide[0], n);
    int m = WideCharToMultiByte(to, 0, wide.data(), n, nullptr, 0, nullptr, nullptr);
    std::string out(m, '\0');
    WideCharToMultiByte(to, 0, wide.data(), n, &out[0], m, nullptr, nullptr);
    return out;
}
}  // namespace

std::string AnsiToUtf8(const std::string& ansi) { return Converted(ansi, CP_ACP, CP_UTF8); }
std::string Utf8ToAnsi(const std::string& utf8) { return Converted(utf8, CP_UTF8, CP_ACP); }

std::wstring Widen(const std::string& ansi) {
    int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), (int)ansi.size(), nullptr, 0);
    std::wstring wide(n, L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, ansi.data(), (int)ansi.size(), &wide[0], n);
    return wide;
}

std::string BestFit(const std::wstring& wide) {
    int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), (int)wide.size(), nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, wide.data(), (int)wide.size(), &out[0], n, nullptr, nullptr);
    return out;
}

bool Representable(const std::wstring& wide) {
    BOOL used = FALSE;
    int n = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), (int)wide.size(), nullptr, 0, nullptr, &used);
    std::string out(n, '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), (int)wide.size(), &out[0], n, nullptr, &used);
    return !used && Widen(out) == wide;
}

void MakeDirsW(const std::wstring& path) {
    for (size_t i = 3; i <= path.size(); ++i)
        if (i == path.size() || path[i] == L'\\') CreateDirectoryW(path.substr(0, i).c_str(), nullptr);
}

void WriteFileW(const std::wstring& path, const std::string& content) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(file, content.data(), (DWORD)content.size(), &written, nullptr));
    CloseHandle(file);
}

std::string ReadFileW(const std::wstring& path) {
    std::string content;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return content;
    char chunk[4096];
    DWORD got = 0;
    while (::ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) content.append(chunk, got);
    CloseHandle(file);
    return content;
}

bool FileExistsW(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool FileExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void MakeDirs(const std::string& path) {
    // By character: a trail byte equal to '\\' (code page 932) is no separator.
    const char* begin = path.c_str();
    for (const char* p = begin + (path.size() < 3 ? path.size() : 3);; p = CharNextA(p)) {
        if (*p == '\0' || *p == '\\') CreateDirectoryA(std::string(begin, p).c_str(), nullptr);
        if (*p == '\0') break;
    }
}

std::string MissingDriveRoot() {
    for (char letter = 'Q'; letter <= 'Y'; ++letter) {
        std::string root = std::string(1, letter) + ":\\";
        if (GetDriveTypeA(root.c_str()) == DRIVE_NO_ROOT_DIR) return root;
    }
    return std::string();
}

bool TwoRegistryViews() {
#if defined(_WIN64)
    return true;
#else
    BOOL wow64 = FALSE;
    return IsWow64Process(GetCurrentProcess(), &wow64) && wow64;
#endif
}

void RemoveTree(const std::string& path) {
    if (!FileExists(path)) return;
    std::string from = path + '\0';  // double-terminated list
    SHFILEOPSTRUCTA op = {};
    op.wFunc = FO_DELETE;
    op.pFrom = from.c_str();
    op.fFlags = FOF_NOCONFIRMATION | FOF_NOERRORUI | FOF_SILENT;
    SHFileOperationA(&op);
}

std::vector<std::string> CrLfLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    for (size_t end; (end = text.find("\r\n", pos)) != std::string::npos; pos = end + 2)
        lines.push_back(text.substr(pos, end - pos));
    if (pos < text.size()) lines.push_back(text.substr(pos));
    return lines;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::istringstream in(ReadFile(path));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

void Kit::SetCommandFile(const std::string& ini) {
    MakeDirs(Dir() + "\\Setup");
    WriteFile(Dir() + "\\Setup\\CustCmds.ini", ini);
}

std::string Kit::Args(int parent, int reboot, const std::string& temp, const std::string& install) const {
    return std::to_string(parent) + " " + std::to_string(reboot) + "|" + Dir() + "|" + temp + "|" + install + "|";
}

Process::Process(const std::string& exe, const std::string& args, const std::vector<std::string>& env,
                 const std::string& desktop, DWORD flags) {
    std::string line = "\"" + exe + "\" " + args;
    std::vector<char> cmd(line.begin(), line.end());
    cmd.push_back('\0');

    std::string block;
    if (!env.empty()) {
        // The caller's environment with the given NAME=value entries in place of its own.
        auto overridden = [&](const char* entry) {
            for (const auto& e : env) {
                size_t eq = e.find('=');
                if (_strnicmp(entry, e.c_str(), eq + 1) == 0) return true;
            }
            return false;
        };
        char* current = GetEnvironmentStringsA();
        for (const char* p = current; *p; p += strlen(p) + 1)
            if (!overridden(p)) block.append(p).push_back('\0');
        FreeEnvironmentStringsA(current);
        for (const auto& e : env) block.append(e).push_back('\0');
        block.push_back('\0');
    }
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    std::vector<char> desk(desktop.begin(), desktop.end());
    desk.push_back('\0');
    if (!desktop.empty()) si.lpDesktop = desk.data();
    CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, flags,
                   env.empty() ? nullptr : const_cast<char*>(block.data()), nullptr, &si, &m_pi);
}

Process::Process(const CommandLine& line) {
    std::vector<char> cmd(line.text.begin(), line.text.end());
    cmd.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi);
}

Process::Process(const WideCommandLine& line) {
    std::vector<wchar_t> cmd(line.text.begin(), line.text.end());
    cmd.push_back(L'\0');
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi);
}

Process::~Process() {
    Kill();
    if (m_pi.hThread) CloseHandle(m_pi.hThread);
    if (m_pi.hProcess) CloseHandle(m_pi.hProcess);
}

bool Process::Wait(DWORD ms) { return m_pi.hProcess && WaitForSingleObject(m_pi.hProcess, ms) == WAIT_OBJECT_0; }

DWORD Process::ExitCode() const {
    DWORD code = 0xFFFFFFFF;
    if (m_pi.hProcess) GetExitCodeProcess(m_pi.hProcess, &code);
    return code;
}

void Process::Kill() {
    if (m_pi.hProcess && WaitForSingleObject(m_pi.hProcess, 0) == WAIT_TIMEOUT) {
        TerminateProcess(m_pi.hProcess, 99);
        WaitForSingleObject(m_pi.hProcess, 5000);
    }
}

namespace {
struct FindArgs {
    DWORD pid;
    const char* cls;
    const char* title;
    HWND found;
};

BOOL CALLBACK FindProc(HWND h, LPARAM lp) {
    FindArgs* a = reinterpret_cast<FindArgs*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (a->pid && pid != a->pid) return TRUE;
    if (!IsWindowVisible(h)) return TRUE;
    if (a->cls && ClassOf(h) != a->cls) return TRUE;
    if (a->title && WindowText(h) != a->title) return TRUE;
    a->found = h;
    return FALSE;
}
}  // namespace

HWND WaitForWindow(DWORD pid, const char* cls, const char* title, DWORD ms) {
    FindArgs args{pid, cls, title, nullptr};
    WaitUntil([&] {
        EnumWindows(FindProc, reinterpret_cast<LPARAM>(&args));
        return args.found != nullptr;
    }, ms);
    return args.found;
}

std::string WindowText(HWND h) {
    char buf[65536];
    int n = static_cast<int>(SendMessageA(h, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf)));
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string ClassOf(HWND h) {
    char buf[256];
    int n = GetClassNameA(h, buf, sizeof buf);
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

std::string MessageBoxText(HWND box) { return WindowText(GetDlgItem(box, 0xFFFF)); }

std::vector<int> MessageBoxButtons(HWND box) {
    std::vector<int> ids;
    for (int id : {IDOK, IDCANCEL, IDYES, IDNO}) {
        HWND b = GetDlgItem(box, id);
        if (b && IsWindowVisible(b)) ids.push_back(id);
    }
    return ids;
}

void Answer(HWND box, int id) {
    PostMessageA(box, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0);
    // The next box must not be confused with this one.
    WaitUntil([&] { return !IsWindow(box) || !IsWindowVisible(box); }, 5000);
}

bool IsAbove(HWND upper, HWND lower) {
    for (HWND h = GetWindow(upper, GW_HWNDNEXT); h; h = GetWindow(h, GW_HWNDNEXT))
        if (h == lower) return true;
    return false;
}

OtherWindow::OtherWindow() {
    m_ready = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    m_thread = CreateThread(nullptr, 0, Main, this, 0, &m_threadId);
    WaitForSingleObject(m_ready, 10000);
}

OtherWindow::~OtherWindow() {
    if (m_thread) {
        PostThreadMessageA(m_threadId, WM_QUIT, 0, 0);
        WaitForSingleObject(m_thread, 10000);
        CloseHandle(m_thread);
    }
    CloseHandle(m_ready);
}

DWORD WINAPI OtherWindow::Main(void* p) {
    OtherWindow* self = static_cast<OtherWindow*>(p);
    self->m_hwnd = CreateWindowExA(0, "STATIC", "sarnik test window", WS_POPUP | WS_VISIBLE | WS_BORDER, 40, 40, 200, 100,
                                   nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
    SetEvent(self->m_ready);
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
    DestroyWindow(self->m_hwnd);
    return 0;
}

bool WaitUntil(const std::function<bool()>& cond, DWORD ms) {
    DWORD start = GetTickCount();
    for (;;) {
        if (cond()) return true;
        if (GetTickCount() - start >= ms) return cond();
        Sleep(20);
    }
}

}  // namespace test

namespace test {

HWND SarnikRun::Dialog(DWORD ms) {
    if (!m_dialog || !IsWindow(m_dialog)) m_dialog = WaitForWindow(m_process.Id(), nullptr, "Command Progress", ms);
    return m_dialog;
}

std::string SarnikRun::Log() {
    HWND d = Dialog();
    return d ? WindowText(GetDlgItem(d, 1000)) : std::string("<no dialog>");
}

bool SarnikRun::OkEnabled() {
    HWND d = Dialog();
    return d && IsWindowEnabled(GetDlgItem(d, IDOK));
}

bool SarnikRun::WaitFinished(DWORD ms) {
    return WaitUntil([&] { return OkEnabled(); }, ms);
}

bool SarnikRun::CloseWithOk(DWORD ms) {
    HWND d = Dialog(0);
    if (d) PostMessageA(d, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return m_process.Wait(ms);
}

std::string Quoted(const std::string& path) { return "\"" + path + "\""; }

}  // namespace test
