#include "runner/Launch.h"

#include <mbstring.h>

#include <cstring>
#include <vector>

#include "AnsiText.h"
#include "scan/CharScan.h"
#include "scan/TokenScanner.h"

namespace {
// How long ending a process may take before the run goes on without seeing it gone.
const DWORD kEndWaitMs = 5000;

// Whether the process has ended: its handle is signalled, or, for a handle that cannot be
// waited on, the system has recorded its exit time.
bool HasEnded(HANDLE process) {
    DWORD state = ::WaitForSingleObject(process, 0);
    if (state != WAIT_FAILED) return state == WAIT_OBJECT_0;
    FILETIME created, exited, kernel, user;
    return ::GetProcessTimes(process, &created, &exited, &kernel, &user) &&
           (exited.dwLowDateTime != 0 || exited.dwHighDateTime != 0);
}

}  // namespace

// Searched wide: the ANSI search hands a path found in a folder named with a character the code
// page lacks out as a look-alike, another folder's program. Such a path is taken by its short
// name; one that has none counts as not found, and the command is started as written, where the
// system's own search, made wide, finds the same program.
bool SearchProgram(const std::string& word, const char* extension, std::string& found) {
    std::wstring wideWord = AnsiToWide(word), wideExtension = AnsiToWide(extension);
    std::vector<wchar_t> buffer(MAX_PATH);
    wchar_t* filePart = nullptr;
    DWORD n = ::SearchPathW(nullptr, wideWord.c_str(), wideExtension.c_str(), static_cast<DWORD>(buffer.size()),
                            buffer.data(), &filePart);
    if (n == 0) return false;
    if (n >= buffer.size()) {
        // A result longer than MAX_PATH reports the size it needs: fetch the whole path rather
        // than use a buffer that does not hold it.
        buffer.resize(n + 1);
        n = ::SearchPathW(nullptr, wideWord.c_str(), wideExtension.c_str(), static_cast<DWORD>(buffer.size()),
                          buffer.data(), &filePart);
        if (n == 0 || n >= buffer.size()) return false;
    }
    AnsiPath path = AnsiPath::FromWide(std::wstring(buffer.data(), n));
    if (path.IsRefused()) return false;
    found = path.Text();
    return true;
}
bool NeedsPathSearch(const std::string& command) {
    if (command.empty()) return false;
    const unsigned char* first = reinterpret_cast<const unsigned char*>(command.c_str());
    if (*first == '.') return false;
    // A lead byte before the terminator counts as a one-character text.
    const unsigned char* second = (_ismbblead(*first) && first[1]) ? first + 2 : first + 1;
    if (*second == '\0') return true;
    if (*first == '\\' && *second == '\\') return false;
    if (*second == ':') return false;
    return true;
}

void ResolveProgramPath(std::string& command) {
    if (command.empty()) return;
    TokenScanner scanner(command);
    std::string word = scanner.NextPathWord();
    if (word.empty()) return;
    for (const char* extension : {".exe", ".com", ".bat"}) {
        std::string found;
        if (SearchProgram(word, extension, found)) {
            // By character: a byte search would also match the word from the trail byte of a
            // double-byte character ("パ" is 0x83 0x70, so 'p'robe hides in "パrobe").
            command = ReplaceAllText(command, word, found);
            return;
        }
    }
}

void PrepareStartupInfo(STARTUPINFOA& si) {
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWNORMAL;
}

bool StartCommand(const std::string& command, STARTUPINFOA& si, PROCESS_INFORMATION& pi, DWORD extraFlags,
                  bool inheritErrorMode) {
    // CreateProcessA may write into the command line, so it gets a writable copy.
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    std::memset(&pi, 0, sizeof pi);
    DWORD flags = extraFlags | (inheritErrorMode ? 0 : CREATE_DEFAULT_ERROR_MODE);
    // Handles are inherited only when the start-up record hands the command standard handles of
    // the run's (its captured output): those are then the only inheritable handles the run has.
    const BOOL inherit = (si.dwFlags & STARTF_USESTDHANDLES) ? TRUE : FALSE;
    return ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, inherit, flags, nullptr, nullptr, &si, &pi) != FALSE;
}

bool ResumeOrEnd(HANDLE process, HANDLE thread, DWORD& error) {
    if (::ResumeThread(thread) != static_cast<DWORD>(-1)) return true;
    error = ::GetLastError();
    EndProcess(process, error);
    return false;
}

bool LaunchCommand(const std::string& command, STARTUPINFOA& si, const LaunchOptions& options,
                   LaunchedCommand& launched, DWORD& error) {
    PROCESS_INFORMATION pi;
    DWORD flags = (options.inJob ? CREATE_SUSPENDED : 0) | (options.hideConsoleWindow ? CREATE_NO_WINDOW : 0);
    if (!StartCommand(command, si, pi, flags, options.inheritErrorMode)) {
        error = ::GetLastError();
        return false;
    }
    launched.process.Attach(pi.hProcess);
    ScopedHandle thread(pi.hThread);
    if (!options.inJob) return true;
    if (!launched.job.Create() || !launched.job.Assign(launched.process.Get())) {
        launched.jobError = ::GetLastError();
        launched.job.Close();
    }
    if (ResumeOrEnd(launched.process.Get(), thread.Get(), error)) return true;
    launched.job.Close();
    launched.process.Close();
    return false;
}

void EndProcess(HANDLE process, UINT exitCode) {
    ::TerminateProcess(process, exitCode);
    // Ending is carried out after the call returns: wait a little, so that the files the process
    // held are free for the next command, but never for good.
    int code = -1;
    bool known = false;
    WaitForProcessExitUntil(process, Deadline::In(kEndWaitMs), code, known);
}

int WaitForProcessExit(HANDLE process, bool& known) {
    int exitCode = -1;
    WaitForProcessExitUntil(process, Deadline(), exitCode, known);
    return exitCode;
}

bool WaitForProcessExitUntil(HANDLE process, const Deadline& deadline, int& exitCode, bool& known,
                             WaitService* service) {
    known = false;
    exitCode = -1;
    if (!process) return true;
    // The pause between polls is a wait on the process itself, so it ends the moment the process
    // does. A handle opened without SYNCHRONIZE cannot be waited on; it pauses the full interval.
    return PollUntil(deadline, [&] {
        DWORD code = 0;
        if (!::GetExitCodeProcess(process, &code)) return true;  // no code to wait for
        // A process may really exit with 259 (STILL_ACTIVE): only its end tells it apart from
        // one that still runs. It may also end between the two questions: its code is then read
        // again, now final, or a process that exited with 5 would be logged with 259.
        if (code == STILL_ACTIVE) {
            if (!HasEnded(process)) return false;
            if (!::GetExitCodeProcess(process, &code)) return true;
        }
        known = true;
        exitCode = static_cast<int>(code);
        return true;
    }, process, service);
}
