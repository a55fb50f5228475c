// The registry view of each of the maker's settings that a run reads, with the real sarnik.exe and
// sarnikcheck.exe of the test's own architecture, on a machine with both views: the 64-bit
// programs in the 64-bit suite's prefix, the 32-bit ones under WOW64 in a 64-bit prefix beside
// them (tests/e2e/wow64-test.sh; a 32-bit prefix has one view only). Each value is written in one
// view and not in the other: both programs, and the checker, name the folders of the 32-bit view,
// where the maker's 32-bit setup engine, product and installers write them, and nothing of the
// 64-bit view.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/KitPackage.h"
#include "support/TestSupport.h"

using namespace test;

namespace {
const char kProductKey[] = "Software\\Brontell\\Quelvaran\\16.0";
const char kSetupEngineKey[] = "SOFTWARE\\Brontell\\Common\\Installer";
const char kEngineKey[] = "CLSID\\{5A1C7E20-3B94-4D6F-8E21-7C0D9B4A6F13}\\InprocServer32";
const char kRelease[] = "Brontell\\Quelvaran 2016 (32-bit)";

#if defined(_WIN64)
const char kOwnArch[] = "x64";
#else
const char kOwnArch[] = "x86";
#endif

std::string Probe() { return Quoted(BinPath("probe.exe")); }

std::string ShellDir(int csidl) {
    char b[MAX_PATH] = "";
    SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, b);
    return b;
}

const char* ViewName(REGSAM view) { return view == KEY_WOW64_32KEY ? "the 32-bit view" : "the 64-bit view"; }

// What a command that names the three macros is started with.
struct Folders {
    std::string qvPublic, qvAppData, zqDir;
};
}  // namespace

TEST(RegistryViews, TheMakersSettingsAreReadInThe32BitViewByBothPrograms) {
    ASSERT_TRUE(TwoRegistryViews()) << "needs a registry with both views: a 64-bit program, or a 32-bit one in a "
                                       "64-bit prefix (wow64-test.sh)";
    TempFolder root("views");
    WriteFile(root / "file", "in the way");
    // A registered engine whose grandparent folder holds the beacon: a development build, whose
    // product folders lie beside the engine folder (root\Engine).
    std::string d2 = root / "Engine\\D2", d0 = d2 + "\\D1\\D0";
    MakeDirs(d0);
    WriteFile(d2 + "\\DEV BUILD BEACON (Do not delete or install).txt", "");
    std::string library = d0 + "\\kefwk.dll";
    WriteFile(library, "");

    const Folders shell = {ShellDir(CSIDL_COMMON_DOCUMENTS) + "\\" + kRelease,
                           ShellDir(CSIDL_COMMON_APPDATA) + "\\" + kRelease, "<ZQDir>"};
    const std::string blocked = root / "file\\Pub";
    struct Case {
        const char* name;
        HKEY root;
        const char* key;
        const char* valueName;
        std::string value;
        // The folders when the value is read; no public folder: the run cannot make it and ends
        // before its first command.
        Folders read;
    };
    const Case cases[] = {
        {"CustomPublicLocation", HKEY_LOCAL_MACHINE, kProductKey, "CustomPublicLocation", root / "Custom Pub",
         {root / "Custom Pub", shell.qvAppData, shell.zqDir}},
        {"CustomPublicLocation below a file", HKEY_LOCAL_MACHINE, kProductKey, "CustomPublicLocation", blocked, {}},
        {"ZQDIR", HKEY_LOCAL_MACHINE, kSetupEngineKey, "ZQDIR", "C:\\Setup Engine\\",
         {shell.qvPublic, shell.qvAppData, "C:\\Setup Engine"}},
        {"the engine's registration", HKEY_CLASSES_ROOT, kEngineKey, "", library,
         {root / "QuelvaranPublic", root / "CommonAppData", shell.zqDir}},
    };
    for (const Case& c : cases) {
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            SCOPED_TRACE(std::string(c.name) + " in " + ViewName(view));
            RegistryValueRestorer written(c.root, c.key, c.valueName, view);
            RegistryValueRestorer missing(c.root, c.key, c.valueName,
                                          view == KEY_WOW64_32KEY ? KEY_WOW64_64KEY : KEY_WOW64_32KEY);
            ASSERT_TRUE(missing.Delete());
            ASSERT_TRUE(written.SetString(c.value));
            const bool read = view == KEY_WOW64_32KEY;
            const bool runs = !read || !c.read.qvPublic.empty();
            const Folders& expected = read ? c.read : shell;

            Kit kit;
            TempFolder temp("viewstemp");
            std::string folders = temp / "folders.txt";
            // Not ending in a quotation mark, which the profile reader would take off with the first.
            kit.SetCommandFile("[CustomCommands]\r\nShowDialog=FALSE\r\nUnattended=TRUE\r\nLogFile=<Temp>\\run.log\r\n"
                               "Commands_0=" + Probe() +
                               " cmdline \"<Temp>\\folders.txt\" \"<QvPublic>\" \"<QvAppData>\" \"<ZQDir>\" end\r\n");
            std::string started = Probe() + " cmdline \"" + folders + "\" \"" + expected.qvPublic + "\" \"" +
                                  expected.qvAppData + "\" \"" + expected.zqDir + "\" end";

            // The checker of the same architecture, before the run makes any folder.
            std::string output;
            DWORD checked = RunConsoleProgram(Quoted(BinPath("sarnikcheck.exe")) + " --json --arch " + kOwnArch + " " +
                                                  Quoted(kit.Dir()) + " " + Quoted(temp.Path()),
                                              output);
            nlohmann::json doc = nlohmann::json::parse(output, nullptr, false);
            ASSERT_FALSE(doc.is_discarded()) << output;
            std::vector<std::string> findings;
            for (const auto& f : doc["findings"]) findings.push_back(f["code"].get<std::string>());
            if (runs) {
                // A macro without value is a warning of its own (SC0013).
                bool zqDirLeft = expected.zqDir == "<ZQDir>";
                EXPECT_EQ(findings, zqDirLeft ? std::vector<std::string>{"SC0013"} : std::vector<std::string>{})
                    << output;
                EXPECT_EQ(checked, zqDirLeft ? 1u : 0u) << output;
                ASSERT_EQ(doc["plan"]["commands"].size(), 1u) << output;
                std::string planned = Utf8ToAnsi(doc["plan"]["commands"][0]["started"].get<std::string>());
                EXPECT_EQ(_stricmp(planned.c_str(), started.c_str()), 0)
                    << "the checker's plan: " << planned << "\nexpected: " << started;
            } else {
                EXPECT_EQ(findings, std::vector<std::string>{"SC0001"}) << output;
                EXPECT_EQ(checked, 2u) << output;
            }

            SarnikRun run(kit.Args(0, 0, temp.Path()));
            ASSERT_TRUE(run.Proc().Wait(60000)) << "the run did not end";
            std::string log = ReadFile(temp / "run.log");
            if (runs) {
                EXPECT_EQ(run.Proc().ExitCode(), 0u) << log;
                std::vector<std::string> lines = ReadLines(folders);
                ASSERT_EQ(lines.size(), 1u) << log;
                EXPECT_EQ(_stricmp(lines[0].c_str(), started.c_str()), 0)
                    << "the run started: " << lines[0] << "\nexpected: " << started;
                EXPECT_TRUE(FileExists(expected.qvPublic)) << "the run makes the public folder";
            } else {
                EXPECT_EQ(run.Proc().ExitCode(), 1603u) << log;
                EXPECT_NE(log.find("The custom commands could not be run to the end: Unable to create the Quelvaran "
                                   "public directory \"" + blocked + "\"."),
                          std::string::npos)
                    << log;
                EXPECT_FALSE(FileExists(folders)) << "no command runs";
            }
        }
    }
}
