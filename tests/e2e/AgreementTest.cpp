// The checker and the run on the same kits: sarnikcheck's plan for a kit, and what sarnik.exe
// then logs for it (its "Invoking" lines and its results table), compared with each other by the
// test. Normal kits and the kit author's typical mistakes, with LogFile; the command as started
// also where the run rewrote it (a macro, a program found on the search path, a nested kit).
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/KitPackage.h"
#include "support/TestSupport.h"

using namespace test;

namespace {
#if defined(_WIN64)
const char kOwnArch[] = "x64";
#else
const char kOwnArch[] = "x86";
#endif
const char kInstallerKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer";

// sarnikcheck.exe --json for the program of this architecture, its output through a file.
nlohmann::json CheckKit(const std::string& args) {
    std::string text;
    RunConsoleProgram(Quoted(BinPath("sarnikcheck.exe")) + " --json --arch " + kOwnArch + " " + args, text);
    nlohmann::json doc;
    try {
        doc = nlohmann::json::parse(text);
    } catch (const std::exception& e) {
        ADD_FAILURE() << "no JSON from the checker: " << e.what() << "\n" << text;
    }
    return doc;
}

// The log file's lines without their time stamps.
std::vector<std::string> LogLines(const std::string& path) {
    std::vector<std::string> lines;
    for (const std::string& line : CrLfLines(ReadFile(path))) lines.push_back(line.size() > 24 ? line.substr(24) : line);
    return lines;
}

// command filled up with 'x' to length characters.
std::string Padded(const std::string& command, size_t length) { return command + std::string(length - command.size(), 'x'); }

std::vector<std::string> Split(const std::string& line, char at) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t i; (i = line.find(at, start)) != std::string::npos; start = i + 1) parts.push_back(line.substr(start, i - start));
    parts.push_back(line.substr(start));
    return parts;
}

}  // namespace

TEST(Agreement, TheCheckersPlanIsWhatTheRunStarts) {
    TempFolder temp("agreetemp"), install("agreeinst");
    MakeDirs(install / "My App");
    ASSERT_TRUE(CopyFileA(BinPath("probe.exe").c_str(), (install / "app.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(BinPath("probe.exe").c_str(), (install / "My App\\app.exe").c_str(), FALSE));
    // A nested kit whose package carries the marker: the run starts the Windows Installer on it,
    // here a stand-in for msiexec.exe in a folder of the test's, so that nothing gets installed.
    TempFolder nested("agreenested"), installer("agreemsi");
    ASSERT_TRUE(CopyFileA(BinPath("probe.exe").c_str(), (nested / "setup.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(BinPath("nestedkit.msi").c_str(), (nested / "product.msi").c_str(), FALSE));
    WriteFile(nested / "SETUP.INI", "[Installer]\r\nPackage=product.msi\r\n");
    ASSERT_TRUE(CopyFileA(BinPath("probe.exe").c_str(), (installer / "msiexec.exe").c_str(), FALSE));
    RegistryValueRestorer location(HKEY_LOCAL_MACHINE, kInstallerKey, "InstallerLocation");
    ASSERT_TRUE(location.SetString(installer.Path()));

    const std::string P = Quoted(BinPath("probe.exe"));
    struct Row { const char* name; std::function<std::string()> commands; };
    const Row rows[] = {
        {"a plain kit", [&] { return "Commands_0=" + P + " exit 3\r\nCommands_1=" + P + " exit 0\r\n"; }},
        {"a program found on the search path", [&] { return "Commands_0=cmd /c exit 4\r\n"; }},
        {"macros", [&] {
             return "Commands_0=\"<InstallationDir>\\My App\\app.exe\" exit 5\r\n"
                    "Commands_1=<WinSystem32>\\cmd.exe /c exit 0\r\n"
                    "Commands_2=" + P + " mark \"<Temp>\\marks.txt\" ran\r\n";
         }},
        {"a nested kit", [&] { return "Commands_0=" + (nested / "setup.exe") + " /q\r\n"; }},
        {"a missing program", [&] { return "Commands_0=missing-4711.exe /a\r\nCommands_1=" + P + " exit 1\r\n"; }},
        {"a path with a blank, unquoted", [&] {
             return "Commands_0=<InstallationDir>\\My App\\app.exe exit 7\r\nCommands_1=" + P + " exit 2\r\n";
         }},
        {"a gap in the numbers", [&] { return "Commands_0=" + P + " exit 0\r\nCommands_2=" + P + " exit 2\r\n"; }},
        {"an empty command before others", [&] {
             return "Commands_0=" + P + " exit 0\r\nCommands_1=\r\nCommands_2=" + P + " exit 2\r\n";
         }},
        {"an unknown macro", [&] { return "Commands_0=" + P + " exit 0 <Nope>\r\n"; }},
        {"a key twice", [&] { return "Commands_0=" + P + " exit 1\r\nCommands_0=" + P + " exit 2\r\n"; }},
        {"keys in another case, blanks around", [&] { return "commands_0 =   " + P + " exit 3   \r\n"; }},
        {"no commands", [&] { return std::string(); }},
        // The longest command line a process takes, and one character more.
        {"a command of 32,766 characters", [&] { return "Commands_0=" + Padded(P + " exit 0 ", 32766) + "\r\n"; }},
        {"a command of 32,767 characters", [&] { return "Commands_0=" + Padded(P + " exit 0 ", 32767) + "\r\n"; }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Kit kit;
        kit.SetCommandFile("[CustomCommands]\r\nLogFile=run.log\r\n" + row.commands());
        nlohmann::json doc = CheckKit(Quoted(kit.Dir()) + " " + Quoted(temp.Path()) + " " + Quoted(install.Path()));
        ASSERT_TRUE(doc.contains("plan")) << doc.dump();
        const nlohmann::json& plan = doc["plan"]["commands"];

        SarnikRun run(kit.Args(0, 0, temp.Path(), install.Path()));
        ASSERT_TRUE(run.WaitFinished(300000)) << run.Log();
        EXPECT_TRUE(run.CloseWithOk());

        // What the run invoked and its results table.
        std::vector<std::string> lines = LogLines(kit.File("run.log"));
        std::vector<std::string> invoked, results;
        bool inResults = false;
        for (const std::string& line : lines) {
            if (line.compare(0, 9, "Invoking ") == 0) invoked.push_back(line.substr(9));
            if (line == "Results:") inResults = true;
            else if (inResults && line.compare(0, 9, "Restart: ") != 0 && line.compare(0, 11, "Exit code: ") != 0)
                results.push_back(line);
        }
        ASSERT_EQ(results.size(), plan.size()) << doc.dump(1) << "\n" << ReadFile(kit.File("run.log"));
        // A command too long to start is the checker's error SC0025.
        std::vector<std::string> tooLong;
        for (const auto& f : doc["findings"])
            if (f["code"] == "SC0025") tooLong.push_back(f["key"].get<std::string>());
        std::vector<std::string> planned;
        for (size_t i = 0; i < plan.size(); ++i) {
            std::string started = Utf8ToAnsi(plan[i]["started"].get<std::string>());
            std::vector<std::string> fields = Split(results[i], '\t');
            ASSERT_EQ(fields.size(), 5u) << results[i];
            EXPECT_EQ(fields[0], std::to_string(i));
            EXPECT_EQ(fields[4], started) << "command " << i << ": the run's command as started, the checker's plan";
            // The checker's verdict on the program, the run's on the start.
            bool starts = plan[i]["programFound"].get<bool>() &&
                          std::find(tooLong.begin(), tooLong.end(), plan[i]["key"].get<std::string>()) == tooLong.end();
            EXPECT_EQ(fields[1], starts ? "completed" : "not-started") << "command " << i << ": " << results[i].substr(0, 200);
            if (starts) planned.push_back(started);
        }
        EXPECT_EQ(invoked, planned);
    }
    EXPECT_EQ(ReadLines(temp / "marks.txt").size(), 1u) << "the macros row ran its marking command once";
}

// The JSON plan's remaining fields, each against what it names: the mode (the run's own choice
// for the kit where somebody can answer), the notes on the log file and the restart codes, an
// engine and a nested kit among the commands, and a finding's file and message.
TEST(Agreement, TheJsonPlanNamesItsParts) {
    TempFolder temp("agreetemp"), install("agreeinst");
    TempFolder nested("agreenested"), installer("agreemsi");
    ASSERT_TRUE(CopyFileA(BinPath("probe.exe").c_str(), (nested / "setup.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(BinPath("nestedkit.msi").c_str(), (nested / "product.msi").c_str(), FALSE));
    WriteFile(nested / "SETUP.INI", "[Installer]\r\nPackage=product.msi\r\n");
    RegistryValueRestorer location(HKEY_LOCAL_MACHINE, kInstallerKey, "InstallerLocation");
    ASSERT_TRUE(location.SetString(installer.Path()));
    struct Mode { const char* name; const char* keys; bool silent; bool unattendedNote; };
    const Mode modes[] = {
        {"dialog", "", false, false},
        {"silent", "ShowDialog=FALSE\r\n", true, false},
        {"unattended", "Unattended=TRUE\r\n", true, true},
    };
    for (const Mode& mode : modes) {
        SCOPED_TRACE(mode.name);
        bool silent = mode.silent;
        Kit kit;
        kit.SetCommandFile(std::string("[CustomCommands]\r\n") + mode.keys +
                           "LogFile=run.log\r\nRebootOnExitCodes=3010, 1641\r\n"
                           "Commands_0=" + Quoted(BinPath("engine.exe")) + "\r\n"
                           "Commands_1=" + (nested / "setup.exe") + " /q\r\n"
                           "Commands_2=missing-4711.exe /a\r\n");
        nlohmann::json doc = CheckKit(Quoted(kit.Dir()) + " " + Quoted(temp.Path()) + " " + Quoted(install.Path()));
        ASSERT_TRUE(doc.contains("plan")) << doc.dump();
        const nlohmann::json& plan = doc["plan"];
        EXPECT_EQ(plan["mode"], mode.name);
        EXPECT_EQ(plan["silent"], silent);
        nlohmann::json notes{"Log file: " + AnsiToUtf8(kit.File("run.log")), "Restart asked after the exit codes: 3010, 1641"};
        if (mode.unattendedNote) notes.push_back("Unattended: always: no message box; every question gets its default answer");
        EXPECT_EQ(plan["notes"], notes);
        ASSERT_EQ(plan["commands"].size(), 3u) << doc.dump(1);
        EXPECT_EQ(plan["commands"][0]["setupEngine"], true);
        EXPECT_EQ(plan["commands"][0]["nestedKitPackage"], nullptr);
        EXPECT_EQ(plan["commands"][1]["setupEngine"], false);
        // The kit's folder as the rewrite names it, upper-cased as the run's command has it.
        std::string folder = nested.Path();
        CharUpperBuffA(&folder[0], static_cast<DWORD>(folder.size()));
        EXPECT_EQ(plan["commands"][1]["nestedKitPackage"], AnsiToUtf8(folder + "\\product.msi")) << doc.dump(1);
        EXPECT_EQ(plan["commands"][2]["programFound"], false);
        // The finding on the missing program names the file and the program.
        bool named = false;
        for (const auto& f : doc["findings"]) {
            if (f["key"] != "Commands_2") continue;
            named = true;
            EXPECT_EQ(f["file"], AnsiToUtf8(kit.File("Setup\\CustCmds.ini")));
            EXPECT_EQ(f["line"], *mode.keys ? 7 : 6);
            EXPECT_NE(f["message"].get<std::string>().find("missing-4711.exe"), std::string::npos) << f.dump();
        }
        EXPECT_TRUE(named) << doc.dump(1);
    }
}
