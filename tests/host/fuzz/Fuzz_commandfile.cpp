// A kit's command file as the checker reads it: the file's bytes through its profile reader and
// its structure check into findings, printed as text and as JSON. Whatever the bytes, the
// checker answers with findings and an exit code, never a crash.
#include "FuzzInput.h"

#include "checker/CheckReport.h"
#include "checker/ProfileText.h"
#include "checker/StructureCheck.h"

namespace {
const char kPath[] = "C:\\Kit\\Setup\\CustCmds.ini";
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz::Input in = fuzz::Prepare(data, size);
    HostSetMemoryFile(kPath, in.bytes.data(), in.bytes.size());

    ProfileText profile;
    FUZZ_CHECK(profile.Load(kPath) == ERROR_SUCCESS);
    const std::vector<ProfileSection>& sections = profile.Sections();
    FUZZ_CHECK(!sections.empty() && sections[0].line == 0);
    int lastLine = 0;  // entries and headers stand one a line, in file order
    for (const ProfileSection& s : sections) {
        FUZZ_CHECK(&s == &sections[0] || s.line > lastLine);
        if (&s != &sections[0])
            lastLine = s.line;
        // Every section and key is found under its own whole name: the first of that name.
        const ProfileSection* first = profile.FindSection(s.name);
        FUZZ_CHECK(first != nullptr && first->line <= s.line);
        for (const ProfileEntry& e : s.entries) {
            FUZZ_CHECK(e.line > lastLine);
            lastLine = e.line;
            if (first == &s) {
                const ProfileEntry* found = profile.Find(s.name, e.key);
                FUZZ_CHECK(found != nullptr && found->line <= e.line);
            }
        }
    }

    CheckReport report;
    report.commandFile = kPath;
    report.readable = true;
    CheckProfileStructure(profile, report);
    report.SortFindings();
    const int exitCode = report.ExitCode();
    FUZZ_CHECK(exitCode == (report.findings.empty() ? 0 : 1));  // the structure's findings are warnings
    for (const Finding& f : report.findings)
        FUZZ_CHECK(f.line >= 0 && f.line <= lastLine);
    std::string text = ReportText(report);
    FUZZ_CHECK(!text.empty());
    std::string json = ReportJson(report, "0.0.0");
    FUZZ_CHECK(!json.empty());

    HostSetMemoryFile(kPath, nullptr, 0);
    return 0;
}
