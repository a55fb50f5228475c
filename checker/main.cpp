// sarnikcheck: checks a kit's command file for kit authors and build pipelines.
//   sarnikcheck [--json] [--arch x86|x64] KIT_DIR [TEMP_DIR [INSTALL_DIR]]
//   sarnikcheck --version
//   sarnikcheck --codes
// Prints the plan of the run and the findings; exit code 0 no findings, 1 warnings, 2 errors,
// 3 the kit could not be read (or the command line was wrong). Starts nothing, writes nothing.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "AnsiText.h"
#include "SarnikVersion.h"
#include "checker/KitCheck.h"
#include "installer/SystemLibrary.h"
#include "runner/Launch.h"

namespace {
const char kUsage[] =
    "usage: sarnikcheck [--json] [--arch x86|x64] KIT_DIR [TEMP_DIR [INSTALL_DIR]]\n"
    "       sarnikcheck --version | --codes\n"
    "Checks KIT_DIR\\Setup\\CustCmds.ini as sarnik.exe would read it, with TEMP_DIR and INSTALL_DIR\n"
    "as the parent installer would pass them. --arch names the sarnik.exe the kit is for: x86 the\n"
    "32-bit program (the default), x64 the 64-bit one. Exit code: 0 no findings, 1 warnings,\n"
    "2 errors, 3 the kit cannot be read.\n";

#if defined(_WIN64)
const char kOwnArch[] = "x64";
// The 32-bit checker is one folder up, as the package lays them out.
const wchar_t kSiblingPath[] = L"..\\sarnikcheck.exe";
#else
const char kOwnArch[] = "x86";
const wchar_t kSiblingPath[] = L"x64\\sarnikcheck.exe";
#endif

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

// The checker's own folder, wide, with its final backslash; empty when it cannot be had.
std::wstring OwnFolder() {
    std::wstring path = ModuleFileNameWide(nullptr);
    size_t cut = path.rfind(L'\\');
    return cut == std::wstring::npos ? std::wstring() : path.substr(0, cut + 1);
}

// A checker sees the machine as the program of its own architecture does: the folders behind the
// macros, the registry view, what the program search finds in the system folder. So the check for
// the other program is handed whole to the checker of that architecture, which the package ships
// beside this one, and its output and exit code are passed on as they are.
// Wide from end to end, so that the sibling gets the folders as they were given.
int CheckWithSibling(const char* arch, const std::wstring& ownArguments) {
    std::wstring sibling = OwnFolder() + kSiblingPath;
    std::string shown = AnsiForMessage(sibling);
    if (::GetFileAttributesW(sibling.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "sarnikcheck: checking for the %s sarnik.exe needs the %s checker, %s, which is missing\n",
                     arch, arch, shown.c_str());
        return 3;
    }
    std::wstring command = L"\"" + sibling + L"\" " + ownArguments;
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::fflush(stdout);
    if (!::CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        DWORD error = ::GetLastError();
        std::fprintf(stderr,
                     "sarnikcheck: the %s checker %s cannot run on this machine (system error %lu), nor can the %s "
                     "sarnik.exe\n",
                     arch, shown.c_str(), static_cast<unsigned long>(error), arch);
        return 3;
    }
    ::CloseHandle(pi.hThread);
    ScopedHandle process(pi.hProcess);
    // A check reads one file and starts nothing: ten minutes is a hang, not a slow machine.
    int exitCode = 3;
    bool known = false;
    if (!WaitForProcessExitUntil(process.Get(), Deadline::In(10 * 60 * 1000), exitCode, known) || !known) {
        std::fprintf(stderr, "sarnikcheck: the %s checker did not end\n", arch);
        EndProcess(process.Get(), 3);
        exitCode = 3;
    }
    return exitCode;
}

// The command line after the program's name, as it was given, for the sibling checker.
std::wstring ArgumentsAsGiven() {
    const wchar_t* p = ::GetCommandLineW();
    bool quoted = false;
    for (; *p && (quoted || (*p != L' ' && *p != L'\t')); ++p)
        if (*p == L'"') quoted = !quoted;
    while (*p == L' ' || *p == L'\t') ++p;
    return p;
}

// The arguments as the system holds them: the C runtime's argv is the best-fit conversion, where
// a folder named with U+FF5C or U+0141 is a look-alike, or no folder.
std::vector<std::wstring> WideArguments() {
    std::vector<std::wstring> args;
    int count = 0;
    LPWSTR* list = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!list) return args;
    for (int i = 1; i < count; ++i) args.emplace_back(list[i]);
    ::LocalFree(list);
    return args;
}
}  // namespace

int main() {
    RestrictDllSearch();
    bool json = false;
    std::string arch = "x86";
    std::vector<std::wstring> dirs;
    std::vector<std::wstring> args = WideArguments();
    for (size_t i = 0; i < args.size(); ++i) {
        // Options are ASCII; a folder is kept wide until it is made ANSI as the run makes it.
        std::string arg = AnsiForMessage(args[i]);
        if (arg == "--version") {
            Print(std::string("sarnikcheck ") + SARNIK_RELEASE_TEXT + "\n");
            return 0;
        }
        if (arg == "--codes") {
            Print(CodesText());
            return 0;
        }
        if (arg == "--help" || arg == "/?") {
            Print(kUsage);
            return 0;
        }
        if (arg == "--json")
            json = true;
        else if (arg == "--arch") {
            std::string value = i + 1 < args.size() ? AnsiForMessage(args[i + 1]) : std::string();
            if (value != "x86" && value != "x64") {
                std::fprintf(stderr, "sarnikcheck: --arch takes x86 or x64\n%s", kUsage);
                return 3;
            }
            arch = value;
            ++i;
        }
        else if (arg.compare(0, 2, "--") == 0) {
            std::fprintf(stderr, "sarnikcheck: unknown option %s\n%s", arg.c_str(), kUsage);
            return 3;
        } else
            dirs.push_back(args[i]);
    }
    if (dirs.empty() || dirs.size() > 3) {
        std::fputs(kUsage, stderr);
        return 3;
    }
    if (arch != kOwnArch) return CheckWithSibling(arch == "x64" ? "64-bit" : "32-bit", ArgumentsAsGiven());
    dirs.resize(3);
    try {
        // The folders as the run takes its fields: exactly, by their short names, or refused.
        CheckReport report =
            CheckKit({AnsiPath::FromWide(dirs[0]), AnsiPath::FromWide(dirs[1]), AnsiPath::FromWide(dirs[2])});
        report.program = arch;
        Print(json ? ReportJson(report, SARNIK_RELEASE_TEXT) : ReportText(report));
        std::fflush(stdout);
        return report.ExitCode();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sarnikcheck: %s\n", e.what());
        return 3;
    }
}
