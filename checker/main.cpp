// sarnikcheck: checks a kit's command file for kit authors and build pipelines.
//   sarnikcheck [--json] [--arch x86|x64] KIT_DIR [TEMP_DIR [INSTALL_DIR]]
//   sarnikcheck --version
//   sarnikcheck --codes
// Prints the plan of the run and the findings; exit code 0 no findings, 1 warnings, 2 errors,
// 3 the kit could not be read (or the command line was wrong). Starts nothing, writes nothing.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

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
const char kSiblingPath[] = "..\\sarnikcheck.exe";
#else
const char kOwnArch[] = "x86";
const char kSiblingPath[] = "x64\\sarnikcheck.exe";
#endif

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }

std::string OwnFolder() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        DWORD n = ::GetModuleFileNameA(nullptr, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) return std::string();
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        if (path.size() >= 32768) return std::string();
        path.resize(path.size() * 2);
    }
    // The last backslash, found by character: a trail byte may equal '\\'.
    size_t cut = std::string::npos;
    for (const char* p = path.c_str(); *p; p = ::CharNextA(p))
        if (*p == '\\') cut = static_cast<size_t>(p - path.c_str());
    return cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
}

// A checker sees the machine as the program of its own architecture does: the folders behind the
// macros, the registry view, what the program search finds in the system folder. So the check for
// the other program is handed whole to the checker of that architecture, which the package ships
// beside this one, and its output and exit code are passed on as they are.
int CheckWithSibling(const char* arch, const std::string& ownArguments) {
    std::string sibling = OwnFolder() + kSiblingPath;
    if (::GetFileAttributesA(sibling.c_str()) == INVALID_FILE_ATTRIBUTES) {
        std::fprintf(stderr, "sarnikcheck: checking for the %s sarnik.exe needs the %s checker, %s, which is missing\n",
                     arch, arch, sibling.c_str());
        return 3;
    }
    std::string command = "\"" + sibling + "\" " + ownArguments;
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = ::GetStdHandle(STD_OUTPUT_HANDLE);
    si.hStdError = ::GetStdHandle(STD_ERROR_HANDLE);
    PROCESS_INFORMATION pi = {};
    std::fflush(stdout);
    if (!::CreateProcessA(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        DWORD error = ::GetLastError();
        std::fprintf(stderr,
                     "sarnikcheck: the %s checker %s cannot run on this machine (system error %lu), nor can the %s "
                     "sarnik.exe\n",
                     arch, sibling.c_str(), static_cast<unsigned long>(error), arch);
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
std::string ArgumentsAsGiven() {
    const char* p = ::GetCommandLineA();
    bool quoted = false;
    for (; *p && (quoted || (*p != ' ' && *p != '\t')); p = ::CharNextA(p))
        if (*p == '"') quoted = !quoted;
    while (*p == ' ' || *p == '\t') ++p;
    return p;
}
}  // namespace

int main(int argc, char** argv) {
    RestrictDllSearch();
    bool json = false;
    std::string arch = "x86";
    std::vector<std::string> dirs;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            Print(std::string("sarnikcheck ") + SARNIK_RELEASE_TEXT + "\n");
            return 0;
        }
        if (std::strcmp(argv[i], "--codes") == 0) {
            Print(CodesText());
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "/?") == 0) {
            Print(kUsage);
            return 0;
        }
        if (std::strcmp(argv[i], "--json") == 0)
            json = true;
        else if (std::strcmp(argv[i], "--arch") == 0) {
            if (i + 1 >= argc || (std::strcmp(argv[i + 1], "x86") != 0 && std::strcmp(argv[i + 1], "x64") != 0)) {
                std::fprintf(stderr, "sarnikcheck: --arch takes x86 or x64\n%s", kUsage);
                return 3;
            }
            arch = argv[++i];
        }
        else if (argv[i][0] == '-' && argv[i][1] == '-') {
            std::fprintf(stderr, "sarnikcheck: unknown option %s\n%s", argv[i], kUsage);
            return 3;
        } else
            dirs.push_back(argv[i]);
    }
    if (dirs.empty() || dirs.size() > 3) {
        std::fputs(kUsage, stderr);
        return 3;
    }
    if (arch != kOwnArch) return CheckWithSibling(arch == "x64" ? "64-bit" : "32-bit", ArgumentsAsGiven());
    dirs.resize(3);
    try {
        CheckReport report = CheckKit({dirs[0], dirs[1], dirs[2]});
        report.program = arch;
        Print(json ? ReportJson(report, SARNIK_RELEASE_TEXT) : ReportText(report));
        std::fflush(stdout);
        return report.ExitCode();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sarnikcheck: %s\n", e.what());
        return 3;
    }
}
