// sarnikcheck: checks a kit's command file for kit authors and build pipelines.
//   sarnikcheck [--json] KIT_DIR [TEMP_DIR [INSTALL_DIR]]
//   sarnikcheck --version
//   sarnikcheck --codes
// Prints the plan of the run and the findings; exit code 0 no findings, 1 warnings, 2 errors,
// 3 the kit could not be read (or the command line was wrong). Starts nothing, writes nothing.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "SarnikVersion.h"
#include "checker/KitCheck.h"
#include "installer/SystemLibrary.h"

namespace {
const char kUsage[] =
    "usage: sarnikcheck [--json] KIT_DIR [TEMP_DIR [INSTALL_DIR]]\n"
    "       sarnikcheck --version | --codes\n"
    "Checks KIT_DIR\\Setup\\CustCmds.ini as sarnik.exe would read it, with TEMP_DIR and INSTALL_DIR\n"
    "as the parent installer would pass them. Exit code: 0 no findings, 1 warnings, 2 errors,\n"
    "3 the kit cannot be read.\n";

void Print(const std::string& text) { std::fwrite(text.data(), 1, text.size(), stdout); }
}  // namespace

int main(int argc, char** argv) {
    RestrictDllSearch();
    bool json = false;
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
    dirs.resize(3);
    try {
        CheckReport report = CheckKit({dirs[0], dirs[1], dirs[2]});
        Print(json ? ReportJson(report, SARNIK_RELEASE_TEXT) : ReportText(report));
        std::fflush(stdout);
        return report.ExitCode();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sarnikcheck: %s\n", e.what());
        return 3;
    }
}
