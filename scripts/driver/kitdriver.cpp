// Runs sarnik.exe on a kit as the parent installer would and plays the user: waits for the
// run to finish, prints the "Command Progress" log, lets the caller take a screenshot, then
// closes the dialog with OK. Message boxes (failures, the reboot question) are printed and
// answered No, so the machine is never restarted, unless ANSWER is "yes".
//
//   kitdriver SARNIK_EXE ARGUMENTS READY_FILE GO_FILE [ANSWER]
//
// READY_FILE receives "left top right bottom" of the dialog when its OK button is enabled; the
// driver then waits up to 20 s for GO_FILE before it presses OK. Sarnik's exit code is printed
// last.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {
std::string Text(HWND h) {
    static char buf[65536];
    int n = static_cast<int>(SendMessageA(h, WM_GETTEXT, sizeof buf, reinterpret_cast<LPARAM>(buf)));
    return std::string(buf, n > 0 ? static_cast<size_t>(n) : 0);
}

struct Search {
    DWORD pid;
    HWND dialog;
    HWND box;
};

BOOL CALLBACK Visit(HWND h, LPARAM lp) {
    Search* s = reinterpret_cast<Search*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(h, &pid);
    if (pid != s->pid || !IsWindowVisible(h)) return TRUE;
    if (Text(h) == "Command Progress") s->dialog = h;
    else {
        char cls[64];
        GetClassNameA(h, cls, sizeof cls);
        if (std::string(cls) == "#32770") s->box = h;
    }
    return TRUE;
}
}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && argc != 6) {
        std::fprintf(stderr, "usage: kitdriver SARNIK_EXE ARGUMENTS READY_FILE GO_FILE [yes]\n");
        return 2;
    }
    const bool yes = argc == 6 && std::string(argv[5]) == "yes";
    std::string line = std::string("\"") + argv[1] + "\" " + argv[2];
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::fprintf(stderr, "kitdriver: cannot start %s (error %lu)\n", argv[1], GetLastError());
        return 1;
    }
    bool shown = false;
    for (int tick = 0; tick < 6000; ++tick) {  // at most 10 minutes
        if (WaitForSingleObject(pi.hProcess, 100) == WAIT_OBJECT_0) break;
        Search s{pi.dwProcessId, nullptr, nullptr};
        EnumWindows(Visit, reinterpret_cast<LPARAM>(&s));
        if (s.box) {
            HWND no = GetDlgItem(s.box, IDNO);
            int answer = no ? (yes ? IDYES : IDNO) : IDOK;
            std::printf("Message box \"%s\":\n%s\n(answered %s)\n\n", Text(s.box).c_str(),
                        Text(GetDlgItem(s.box, 0xFFFF)).c_str(),
                        answer == IDYES ? "Yes" : answer == IDNO ? "No" : "OK");
            std::fflush(stdout);
            PostMessageA(s.box, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
            Sleep(300);
            continue;
        }
        if (s.dialog && !shown && IsWindowEnabled(GetDlgItem(s.dialog, IDOK))) {
            shown = true;
            std::printf("Command Progress log:\n%s\n", Text(GetDlgItem(s.dialog, 1000)).c_str());
            std::fflush(stdout);
            RECT r;
            GetWindowRect(s.dialog, &r);
            SetForegroundWindow(s.dialog);
            if (FILE* f = std::fopen(argv[3], "w")) {
                std::fprintf(f, "%ld %ld %ld %ld\n", r.left, r.top, r.right, r.bottom);
                std::fclose(f);
            }
            for (int wait = 0; wait < 200 && GetFileAttributesA(argv[4]) == INVALID_FILE_ATTRIBUTES; ++wait)
                Sleep(100);
            PostMessageA(s.dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
        }
    }
    if (WaitForSingleObject(pi.hProcess, 5000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "kitdriver: sarnik.exe did not end; stopping it\n");
        TerminateProcess(pi.hProcess, 1);
        return 1;
    }
    if (!shown) std::printf("Silent run finished (no dialog).\n");
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    std::printf("Exit code of sarnik.exe: %lu\n", code);
    return 0;
}
