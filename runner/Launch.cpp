#include "runner/Launch.h"

#include <mbstring.h>

#include <cstring>
#include <vector>

#include "app/TokenScanner.h"

namespace {
const DWORD kPollMs = 100;

// Every occurrence, left to right, without overlaps; the inserted text is not searched again.
void ReplaceAllExact(std::string& text, const std::string& pattern, const std::string& with) {
    if (pattern.empty()) return;
    std::string out;
    size_t pos = 0;
    for (size_t hit; (hit = text.find(pattern, pos)) != std::string::npos; pos = hit + pattern.size())
        out.append(text, pos, hit - pos).append(with);
    out.append(text, pos, std::string::npos);
    text.swap(out);
}

// SearchPathA for word with extension; on success the full path, however long it is.
bool SearchProgram(const std::string& word, const char* extension, std::string& found) {
    std::vector<char> buffer(MAX_PATH);
    char* filePart = nullptr;
    DWORD n = ::SearchPathA(nullptr, word.c_str(), extension, static_cast<DWORD>(buffer.size()),
                            buffer.data(), &filePart);
    if (n == 0) return false;
    if (n >= buffer.size()) {
        // A result longer than MAX_PATH reports the size it needs: fetch the whole path rather
        // than use a buffer that does not hold it.
        buffer.resize(n + 1);
        n = ::SearchPathA(nullptr, word.c_str(), extension, static_cast<DWORD>(buffer.size()),
                          buffer.data(), &filePart);
        if (n == 0 || n >= buffer.size()) return false;
    }
    found.assign(buffer.data(), n);
    return true;
}
}  // namespace

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
            ReplaceAllExact(command, word, found);
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

bool StartCommand(const std::string& command, STARTUPINFOA& si, PROCESS_INFORMATION& pi) {
    // CreateProcessA may write into the command line, so it gets a writable copy.
    std::vector<char> line(command.begin(), command.end());
    line.push_back('\0');
    std::memset(&pi, 0, sizeof pi);
    return ::CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_DEFAULT_ERROR_MODE,
                            nullptr, nullptr, &si, &pi) != FALSE;
}

int WaitForProcessExit(HANDLE process, bool& known) {
    known = false;
    if (!process) return -1;
    for (;;) {
        ::Sleep(kPollMs);
        DWORD code = 0;
        if (!::GetExitCodeProcess(process, &code)) {
            known = false;
            return -1;
        }
        known = true;
        // A process may really exit with 259 (STILL_ACTIVE): its signalled handle tells it apart
        // from one that still runs.
        if (code != STILL_ACTIVE || ::WaitForSingleObject(process, 0) == WAIT_OBJECT_0)
            return static_cast<int>(code);
    }
}
