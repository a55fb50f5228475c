// The real sarnikcheck.exe on real kit folders: one clean kit and one kit per finding, each
// checked for the exact findings (line, severity, code, key) and the exit code; the JSON form;
// and that a check starts no command and writes nothing.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/KitPackage.h"
#include "support/TestSupport.h"
#include "support/UnwritableLogs.h"

using namespace test;

namespace {
struct CheckRun {
    DWORD exitCode = 0xDEADBEEF;
    std::string output;
    // Every process the checker's job ever held, the checker included: its commands would be
    // children in the same job.
    DWORD processes = 0;
};

// The architecture of this test program, and so of the sarnikcheck.exe beside it.
#if defined(_WIN64)
const char kOwnArch[] = "x64";
const char kOtherArch[] = "x86";
#else
const char kOwnArch[] = "x86";
const char kOtherArch[] = "x64";
#endif

CheckRun RunCheckerAsGiven(const std::string& args);

// Runs the checker for the program of its own architecture (the 64-bit checker checks for the
// 32-bit program unless told otherwise).
CheckRun RunChecker(const std::string& args) { return RunCheckerAsGiven(std::string("--arch ") + kOwnArch + " " + args); }

// Runs sarnikcheck.exe with its standard output in a file (under Wine a started program would
// otherwise write to the Unix stdout of the test).
CheckRun RunCheckerAsGiven(const std::string& args) {
    CheckRun run;
    std::string output;
    // In a job of its own: the test can see that the checker started nothing.
    run.exitCode = RunConsoleProgram(Quoted(BinPath("sarnikcheck.exe")) + " " + args, output, &run.processes);
    // The console program writes text mode: CR LF line ends.
    for (char ch : output)
        if (ch != '\r') run.output += ch;
    return run;
}

// "12 warning SC0003: Commands_3: text" for every finding line of the output, in order.
std::vector<std::string> Findings(const std::string& output, const std::string& commandFile) {
    std::vector<std::string> found;
    std::regex form(R"(^(?:\((\d+)\))?: (warning|error) (SC\d{4}): (.*)$)");
    size_t start = 0;
    while (start < output.size()) {
        size_t end = output.find('\n', start);
        if (end == std::string::npos) end = output.size();
        std::string line = output.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        start = end + 1;
        if (line.compare(0, commandFile.size(), commandFile) != 0) continue;
        std::smatch m;
        std::string rest = line.substr(commandFile.size());
        if (std::regex_match(rest, m, form))
            found.push_back((m[1].matched ? m[1].str() : std::string("0")) + " " + m[2].str() + " " + m[3].str() + ": " +
                            m[4].str());
        else
            found.push_back("unparsed: " + line);
    }
    return found;
}

// The 1-based line of the first line of ini that starts with prefix.
int LineOf(const std::string& ini, const std::string& prefix) {
    int line = 1;
    for (size_t start = 0; start < ini.size(); ++line) {
        if (ini.compare(start, prefix.size(), prefix) == 0) return line;
        size_t end = ini.find('\n', start);
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return -1;
}

std::string Finding(const std::string& ini, const std::string& linePrefix, const char* severity, const char* code,
                    const std::string& key) {
    return std::to_string(linePrefix.empty() ? 0 : LineOf(ini, linePrefix)) + " " + severity + " " + code + ": " +
           (key.empty() ? "" : key + ": ");
}

// Each actual finding starts with the expected one (line, severity, code and the key it names).
void ExpectFindings(std::vector<std::string> actual, std::vector<std::string> expected, const std::string& context) {
    std::sort(actual.begin(), actual.end());
    std::sort(expected.begin(), expected.end());
    bool same = actual.size() == expected.size();
    for (size_t i = 0; same && i < actual.size(); ++i) same = actual[i].compare(0, expected[i].size(), expected[i]) == 0;
    if (same) return;
    std::string a, e;
    for (const std::string& f : actual) a += "  " + f + "\n";
    for (const std::string& f : expected) e += "  " + f + "...\n";
    ADD_FAILURE() << context << "\nfindings:\n" << a << "expected:\n" << e;
}

std::string Probe() { return Quoted(BinPath("probe.exe")); }
}  // namespace

TEST(Checker, KitsWithOneFindingEach) {
    struct Case {
        const char* name;
        std::string ini;
        // Extra files of the kit, made before the check.
        std::function<void(const Kit&)> prepare;
        DWORD exitCode;
        // Expected findings: line prefix ("" for the file as a whole), severity, code, key.
        std::vector<std::vector<std::string>> findings;
        const char* planText;  // a text the plan must show, or nullptr
    };
    const std::string probe = Probe();
    const std::string longCommand = "cmd /c rem " + std::string(33000, 'x');
    const std::string longBatch = "<Quelvaran>\\run.bat " + std::string(9000, 'y');
    const Case cases[] = {
        {"clean kit",
         "; a kit without findings\r\n[CustomCommands]\r\nShowDialog=FALSE\r\nReboot=TRUE\r\n"
         "Commands_0=cmd /c exit 0\r\nCommands_1=" + probe + " exit 3\r\nCommands_2=<WinDir>\\system32\\cmd.exe /c exit 0\r\n"
         "Commands_3=\"<Quelvaran>\\Tools\\tool.exe\" /q\r\n"
         "LogFile=<Temp>\\logs\\kit.log\r\nRebootOnExitCodes=3010, 1641\r\n"
         "[Strings]\r\nerrorMsg=Fehler %d bei %s\r\nCompletedExitCode=Ende:%d\r\nInvokingMsg=\"Start: \"\r\n",
         [](const Kit& kit) { MakeDirs(kit.File("Tools")); WriteFile(kit.File("Tools\\tool.exe"), "MZ"); },
         0, {}, "Mode: silent (ShowDialog=FALSE)"},
        {"no command file", "", nullptr, 3, {{"", "error", "SC0001", ""}}, nullptr},
        {"no commands", "[CustomCommands]\r\nShowDialog=FALSE\r\n", nullptr, 1, {{"", "warning", "SC0002", ""}},
         "Commands: 0"},
        {"gap in the numbering",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nCommands_1=cmd /c exit 1\r\nCommands_3=cmd /c exit 3\r\n",
         nullptr, 2, {{"Commands_3=", "error", "SC0003", "Commands_3"}}, "Commands: 2"},
        {"empty command ends the list",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nCommands_1=\r\nCommands_2=cmd /c exit 2\r\n", nullptr, 2,
         {{"Commands_1=", "error", "SC0004", "Commands_1"}, {"Commands_2=", "error", "SC0003", "Commands_2"}}, nullptr},
        {"quoted blanks run as an empty command", "[CustomCommands]\r\nCommands_0=\"   \"\r\n", nullptr, 2,
         {{"Commands_0=", "error", "SC0004", "Commands_0"}}, nullptr},
        {"duplicate key",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\ncommands_0=cmd /c exit 1\r\n", nullptr, 1,
         {{"commands_0=", "warning", "SC0005", "commands_0"}}, "written: cmd /c exit 0"},
        {"duplicate section",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\n[customcommands]\r\nCommands_1=cmd /c exit 1\r\n", nullptr, 1,
         {{"[customcommands]", "warning", "SC0006", "[customcommands]"}}, "Commands: 1"},
        {"unknown keys",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nCommands_01=cmd /c exit 1\r\nShowDialogs=FALSE\r\n"
         "Commands_1 cmd /c exit 1\r\n",
         nullptr, 1,
         {{"Commands_01=", "warning", "SC0007", "Commands_01"}, {"ShowDialogs=", "warning", "SC0007", "ShowDialogs"},
          {"Commands_1 cmd", "warning", "SC0007", "Commands_1 cmd /c exit 1"}}, nullptr},
        {"line before the first section", "Commands_0=cmd\r\n[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\n", nullptr,
         1, {{"Commands_0=cmd\r", "warning", "SC0009", "Commands_0"}}, nullptr},
        {"macros that are not replaced",
         "[CustomCommands]\r\nCommands_0=cmd /c echo <Nope>\r\nCommands_1=<WinDir\\system32\\cmd.exe /c exit 0\r\n"
         "Commands_2=cmd /c echo x<WinDir>\r\nCommands_3=cmd /c echo <ZQDir>\\x ^<WinDir^>\r\n",
         nullptr, 1,
         {{"Commands_0=", "warning", "SC0010", "Commands_0"}, {"Commands_1=", "warning", "SC0011", "Commands_1"},
          {"Commands_2=", "warning", "SC0012", "Commands_2"}, {"Commands_3=", "warning", "SC0013", "Commands_3"}},
         nullptr},
        {"program not found", "[CustomCommands]\r\nCommands_0=missing-4711.exe /q\r\nCommands_1=C:\\nowhere\\x.exe\r\n",
         nullptr, 1,
         {{"Commands_0=", "warning", "SC0020", "Commands_0"}, {"Commands_1=", "warning", "SC0020", "Commands_1"}},
         "started: missing-4711.exe /q"},
        {"nested kit whose package is missing",
         "[CustomCommands]\r\nCommands_0=<Quelvaran>\\Nested\\setup.exe /q\r\n",
         [](const Kit& kit) {
             MakeDirs(kit.File("Nested"));
             WriteFile(kit.File("Nested\\setup.exe"), "MZ");
             WriteFile(kit.File("Nested\\SETUP.INI"), "[Installer]\r\nPackage=product.msi\r\n");
         },
         2, {{"Commands_0=", "error", "SC0021", "Commands_0"}}, nullptr},
        {"nested kit whose package is no installer package",
         "[CustomCommands]\r\nCommands_0=<Quelvaran>\\Nested\\setup.exe /q\r\n",
         [](const Kit& kit) {
             MakeDirs(kit.File("Nested"));
             WriteFile(kit.File("Nested\\setup.exe"), "MZ");
             WriteFile(kit.File("Nested\\SETUP.INI"), "[Installer]\r\nPackage=product.msi\r\n");
             WriteFile(kit.File("Nested\\product.msi"), "not a package");
         },
         2, {{"Commands_0=", "error", "SC0022", "Commands_0"}}, nullptr},
        {"nested kit without the template marker",
         "[CustomCommands]\r\nCommands_0=<Quelvaran>\\Nested\\setup.exe /q\r\n",
         [](const Kit& kit) {
             MakeDirs(kit.File("Nested"));
             WriteFile(kit.File("Nested\\setup.exe"), "MZ");
             WriteFile(kit.File("Nested\\SETUP.INI"), "[Installer]\r\nPackage=product.msi\r\n");
             ASSERT_EQ(WritePropertyPackage(kit.File("Nested\\product.msi"), {{"ProductName", "Nested"}}), 0u);
         },
         1, {{"Commands_0=", "warning", "SC0023", "Commands_0"}}, nullptr},
        {"nested kit rewritten",
         "[CustomCommands]\r\nCommands_0=<Quelvaran>\\Nested\\setup.exe /q\r\n",
         [](const Kit& kit) {
             MakeDirs(kit.File("Nested"));
             WriteFile(kit.File("Nested\\setup.exe"), "MZ");
             WriteFile(kit.File("Nested\\SETUP.INI"), "[Installer]\r\nPackage=product.msi\r\n");
             ASSERT_EQ(WritePropertyPackage(kit.File("Nested\\product.msi"),
                                            {{"ProductName", "Nested"}, {"ZQMSIDISTKIT_TEMPLATE_REV", "3.1"}}),
                       0u);
         },
         0, {}, "  /i \""},
        {"program word repeated in the arguments",
         "[CustomCommands]\r\nCommands_0=cmd /c echo x> \"<Temp>\\cmd.txt\"\r\n", nullptr, 1,
         {{"Commands_0=", "warning", "SC0026", "Commands_0"}}, "cmd.exe.txt\""},
        {"command too long", "[CustomCommands]\r\nCommands_0=" + longCommand + "\r\n", nullptr, 2,
         {{"Commands_0=", "error", "SC0025", "Commands_0"}}, nullptr},
        {"batch command too long for the interpreter", "[CustomCommands]\r\nCommands_0=" + longBatch + "\r\n",
         [](const Kit& kit) { WriteFile(kit.File("run.bat"), "@exit 0\r\n"); }, 2,
         {{"Commands_0=", "error", "SC0025", "Commands_0"}}, nullptr},
        {"Reboot and ShowDialog values that do not count",
         "[CustomCommands]\r\nReboot=true\r\nShowDialog=no\r\nCommands_0=cmd /c exit 0\r\n", nullptr, 1,
         {{"Reboot=", "warning", "SC0030", "Reboot"}, {"ShowDialog=", "warning", "SC0031", "ShowDialog"}},
         "Reboot: not asked"},
        {"quoted values with a blank do not count",
         "[CustomCommands]\r\nReboot=\"TRUE \"\r\nShowDialog='False '\r\nCommands_0=cmd /c exit 0\r\n", nullptr, 1,
         {{"Reboot=", "warning", "SC0030", "Reboot"}, {"ShowDialog=", "warning", "SC0031", "ShowDialog"}}, nullptr},
        {"[Strings] placeholders and unknown keys",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\n[Strings]\r\nerrorMsg=%s failed with %d\r\n"
         "CompletedExitCode=Done %d of %d\r\nWaitingMessage=Please wait\r\nrebootmsg=Restart now?\r\n",
         nullptr, 1,
         {{"errorMsg=", "warning", "SC0040", "errorMsg"}, {"CompletedExitCode=", "warning", "SC0040", "CompletedExitCode"},
          {"WaitingMessage=", "warning", "SC0041", "WaitingMessage"}},
         nullptr},
        {"log file and restart codes that cannot work",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nLogFile=blocker\\sub\\run.log\r\nRebootOnExitCodes=3010, soon\r\n",
         [](const Kit& kit) { WriteFile(kit.File("blocker"), "a file where the log's folder would be"); }, 2,
         {{"LogFile=", "error", "SC0050", "LogFile"}, {"RebootOnExitCodes=", "error", "SC0051", "RebootOnExitCodes"}},
         "Restart asked after the exit codes: 3010"},
        {"unattended keys that do not count",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nUnattended=yes\r\nCommandTimeout=2m\r\n"
         "WaitForChildProcesses=1\r\n",
         nullptr, 2,
         {{"Unattended=", "warning", "SC0052", "Unattended"}, {"CommandTimeout=", "error", "SC0053", "CommandTimeout"},
          {"WaitForChildProcesses=", "warning", "SC0054", "WaitForChildProcesses"}},
         "Time limit per command: none"},
        {"unattended keys that count",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nunattended=True\r\nCommandTimeout= 90 \r\n"
         "WaitForChildProcesses=TRUE\r\n",
         nullptr, 0, {}, "Time limit per command: 90 s"},
        {"a wait for child processes without a limit",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nWaitForChildProcesses=TRUE\r\n", nullptr, 1,
         {{"WaitForChildProcesses=", "warning", "SC0055", "WaitForChildProcesses"}}, "holds the installation up for good"},
        {"a time-out action that does not count",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nCommandTimeout=60\r\nCommandTimeoutAction=Kill\r\n", nullptr, 1,
         {{"CommandTimeoutAction=", "warning", "SC0056", "CommandTimeoutAction"}}, "(at most 60 s, then left running)"},
        {"ending commands without a limit",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nCommandTimeoutAction=Terminate\r\n", nullptr, 1,
         {{"CommandTimeoutAction=", "warning", "SC0057", "CommandTimeoutAction"}}, "ends nothing"},
        {"success codes that are no codes",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nSuccessExitCodes=0, 3010, fine\r\n", nullptr, 2,
         {{"SuccessExitCodes=", "error", "SC0058", "SuccessExitCodes"}}, "    success: exit code 0, 3010; any other fails"},
        {"success codes without 0", "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nSuccessExitCodes=3010\r\n", nullptr, 1,
         {{"SuccessExitCodes=", "warning", "SC0059", "SuccessExitCodes"}}, "    success: exit code 3010; any other fails"},
        {"a console switch that does not count",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nHideConsoleWindows=hide\r\n", nullptr, 1,
         {{"HideConsoleWindows=", "warning", "SC0060", "HideConsoleWindows"}}, "    console window: hidden where unattended\n"},
        {"a capture switch that does not count",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nCaptureOutput=yes\r\n", nullptr, 1,
         {{"CaptureOutput=", "warning", "SC0061", "CaptureOutput"}}, "    console window: hidden where unattended\n"},
        {"output captured", "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nCommands_1=cmd /c exit 1\r\nCaptureOutput=True\r\nHideConsoleWindows=FALSE\r\n",
         nullptr, 0, {},
         "    console window: hidden (output captured)\n"
         "    output: standard output and standard error into the log, marked [1 out] and [1 err]; standard input: NUL\n"},
        {"log file in a folder", "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nLogFile=Setup\r\n", nullptr, 2,
         {{"LogFile=", "error", "SC0050", "LogFile"}}, nullptr},
        {"unquoted program path with a blank",
         "[CustomCommands]\r\nCommands_0=<Quelvaran>\\Tool Dir\\tool.exe /q\r\n",
         [](const Kit& kit) { MakeDirs(kit.File("Tool Dir")); WriteFile(kit.File("Tool Dir\\tool.exe"), "MZ"); }, 1,
         {{"Commands_0=", "warning", "SC0027", "Commands_0"}}, "\\Tool.exe\" first and starts"},
        {"unquoted program path cut short at its blank",
         "[CustomCommands]\r\nCommands_0=<Quelvaran>\\Tool Dir\\tool.exe /q\r\n",
         [](const Kit& kit) {
             MakeDirs(kit.File("Tool Dir"));
             WriteFile(kit.File("Tool Dir\\tool.exe"), "MZ");
             WriteFile(kit.File("Tool.exe"), "MZ");
         },
         1, {{"Commands_0=", "warning", "SC0027", "Commands_0"}}, "\\Tool.exe\", not \""},
        {"quoted program path with a blank",
         "[CustomCommands]\r\nCommands_0=\"<Quelvaran>\\Tool Dir\\tool.exe\" /q\r\n",
         [](const Kit& kit) {
             MakeDirs(kit.File("Tool Dir"));
             WriteFile(kit.File("Tool Dir\\tool.exe"), "MZ");
             WriteFile(kit.File("Tool.exe"), "MZ");
         },
         0, {}, nullptr},
        {"values that hold what looks like a comment",
         "[CustomCommands]\r\nShowDialog=FALSE          ; run silently\r\nReboot=TRUE ; ask\r\n"
         "LogFile=<Temp>\\MyKit-commands.log   ; macros as in commands\r\n"
         "RebootOnExitCodes=3010, 1641        ; exit codes\r\nCommands_0=cmd /c exit 0\t; a comment\r\n"
         "Commands_1=\"cmd /c echo a ; b\"\r\nUnknown=x ; y\r\n[Strings]\r\nrebootTitle=Restart ; title\r\n",
         nullptr, 2,
         {{"ShowDialog=", "warning", "SC0008", "ShowDialog"}, {"ShowDialog=", "warning", "SC0031", "ShowDialog"},
          {"Reboot=", "warning", "SC0008", "Reboot"}, {"Reboot=", "warning", "SC0030", "Reboot"},
          {"LogFile=", "warning", "SC0008", "LogFile"}, {"RebootOnExitCodes=", "warning", "SC0008", "RebootOnExitCodes"},
          {"RebootOnExitCodes=", "error", "SC0051", "RebootOnExitCodes"}, {"Commands_0=", "warning", "SC0008", "Commands_0"},
          {"Unknown=", "warning", "SC0007", "Unknown"}, {"rebootTitle=", "warning", "SC0008", "rebootTitle"}},
         "not \"FALSE\""},
        {"[Strings] texts without placeholders hold one",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\n[Strings]\r\nWaitingMsg=Waiting: 100% done %s\r\n"
         "CompleteMsg=Parent %d done\r\nInvokingMsg=\"100% sure: \"\r\nCompletedExitCode=%d%% done\r\n",
         nullptr, 1,
         {{"WaitingMsg=", "warning", "SC0042", "WaitingMsg"}, {"CompleteMsg=", "warning", "SC0042", "CompleteMsg"}},
         "shows it as written, \"%s\" included"},
        {"log file that is the command file",
         "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nLogFile=<Quelvaran>\\SETUP\\.\\custcmds.ini\r\n", nullptr, 2,
         {{"LogFile=", "error", "SC0050", "LogFile"}}, "the command file itself"},
    };
    for (const Case& c : cases) {
        Kit kit;
        if (!c.ini.empty()) kit.SetCommandFile(c.ini);
        if (c.prepare) c.prepare(kit);
        TempFolder temp("checktemp");
        CheckRun run = RunChecker(Quoted(kit.Dir()) + " " + Quoted(temp.Path()) + " \"C:\\Program Files\\Kit App\"");
        std::string commandFile = kit.Dir() + "\\Setup\\CustCmds.ini";
        std::vector<std::string> expected;
        for (const std::vector<std::string>& f : c.findings) expected.push_back(Finding(c.ini, f[0], f[1].c_str(), f[2].c_str(), f[3]));
        ExpectFindings(Findings(run.output, commandFile), expected, std::string(c.name) + "\n" + run.output);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.name << "\n" << run.output;
        if (c.planText) {
            EXPECT_NE(run.output.find(c.planText), std::string::npos) << c.name << "\n" << run.output;
        }
    }
}

// What the checker says about a LogFile is what a run does with it: SC0050 exactly when the run's
// dialog says the log file could not be written. The log files that no run can write are the
// shared table's, which the run's own test takes too.
TEST(Checker, LogFileFindingsAgreeWithTheRun) {
    TempFolder temp("checktemp");
    WriteFile(temp / "file", "a file where a folder would be");
    // The temporary folder with '/' for each backslash, by character ("表" ends in 0x5C).
    std::string slashed = temp.Path();
    for (size_t i = 0; i < slashed.size(); ++i) {
        if (IsDBCSLeadByte(static_cast<BYTE>(slashed[i])) && i + 1 < slashed.size())
            ++i;
        else if (slashed[i] == '\\')
            slashed[i] = '/';
    }
    struct Case {
        std::string logFile;
        bool writable;
    };
    std::vector<Case> cases = {
        {"<Temp>\\logs\\run.log", true},
        {slashed + "/run.log", true},
        {"<Temp>/run2.log", true},
        {"<Temp>/new/run.log", false},  // folders are made only at backslashes
    };
    for (const Case& c : cases) {
        Kit kit;
        kit.SetCommandFile("[CustomCommands]\r\nLogFile=" + c.logFile + "\r\nCommands_0=" + Probe() + " exit 0\r\n");
        CheckRun check = RunChecker(Quoted(kit.Dir()) + " " + Quoted(temp.Path()));
        std::vector<std::string> findings = Findings(check.output, kit.Dir() + "\\Setup\\CustCmds.ini");
        bool predicted = findings.empty();
        EXPECT_TRUE(findings.empty() || (findings.size() == 1 && findings[0].find("error SC0050: LogFile: ") != std::string::npos))
            << c.logFile << "\n" << check.output;

        SarnikRun run(kit.Args(0, 0, temp.Path()));
        ASSERT_TRUE(run.WaitFinished(20000)) << c.logFile;
        std::string log = run.Log();
        EXPECT_TRUE(run.CloseWithOk()) << c.logFile;
        bool written = log.find("could not be written") == std::string::npos;
        EXPECT_EQ(written, c.writable) << c.logFile << "\n" << log;
        EXPECT_EQ(predicted, written) << c.logFile << "\nthe run:\n" << log << "\nthe checker:\n" << check.output;
    }
}

TEST(Checker, UnwritableLogFilesAreOneErrorEach) {
    UnwritableLogs table;
    for (const UnwritableLog& c : table.Cases()) {
        Kit kit;
        std::string ini = "[CustomCommands]\r\nLogFile=" + c.value + "\r\nCommands_0=" + Probe() + " exit 0\r\n";
        kit.SetCommandFile(ini);
        CheckRun check = RunChecker(Quoted(kit.Dir()));
        std::vector<std::string> findings = Findings(check.output, kit.Dir() + "\\Setup\\CustCmds.ini");
        ExpectFindings(findings, {Finding(ini, "LogFile=", "error", "SC0050", "LogFile")}, c.name + "\n" + check.output);
        EXPECT_EQ(check.exitCode, 2u) << c.name;
        std::string named = "the log file \"" + UnwritableLogs::RunPath(c, kit.Dir()) + "\" cannot be written: ";
        ASSERT_EQ(findings.size(), 1u) << c.name;
        size_t at = findings[0].find(named);
        EXPECT_NE(at, std::string::npos) << c.name << ": " << findings[0];
        if (!c.reason.empty() && at != std::string::npos) {
            // The run's own words for the reason.
            EXPECT_EQ(findings[0].compare(at + named.size(), c.reason.size(), c.reason), 0) << c.name << ": " << findings[0];
        }
    }
    for (const auto& kept : table.KeptFiles()) EXPECT_EQ(ReadFile(kept.first), kept.second) << kept.first;
    for (const std::string& path : table.NeverMade()) EXPECT_FALSE(FileExists(path)) << path;
}

// Where the run cannot make the product's public directory, it ends before its first command: the
// checker says so (SC0001), and says nothing of it where the directory can be made.
TEST(Checker, APublicDirectoryTheRunCannotMakeIsAnError) {
    TempFolder root("public");
    WriteFile(root / "file", "in the way");
    RegistryValueRestorer custom(HKEY_LOCAL_MACHINE, "Software\\Brontell\\Quelvaran\\16.0", "CustomPublicLocation",
                                 KEY_WOW64_32KEY);
    struct Case { std::string name, location; bool made; };
    std::vector<Case> cases = {
        {"a folder under a file", root / "file\\Pub", false},
        {"new folders in a folder", root / "new\\Pub", true},
    };
    std::string drive = MissingDriveRoot();
    if (!drive.empty()) cases.push_back({"a drive that does not exist", drive + "Pub", false});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(custom.SetString(c.location));
        Kit kit;
        std::string marks = kit.File("marks.txt");
        kit.SetCommandFile("[CustomCommands]\r\nCommands_0=" + Probe() + " mark " + marks + " ran\r\n");
        CheckRun check = RunChecker(Quoted(kit.Dir()));
        std::vector<std::string> findings = Findings(check.output, kit.Dir() + "\\Setup\\CustCmds.ini");
        if (c.made) {
            EXPECT_EQ(findings, std::vector<std::string>{}) << check.output;
            EXPECT_EQ(check.exitCode, 0u);
        } else {
            ExpectFindings(findings, {"0 error SC0001: the directory macros cannot be worked out on this machine ("},
                           check.output);
            EXPECT_NE(check.output.find("the Quelvaran public directory \"" + c.location + "\""), std::string::npos)
                << check.output;
            EXPECT_EQ(check.exitCode, 2u);
        }

        SarnikRun run(kit.Args());
        ASSERT_TRUE(run.WaitFinished(20000)) << run.Log();
        std::string log = run.Log();
        EXPECT_TRUE(run.CloseWithOk());
        EXPECT_EQ(log.find("The custom commands could not be run to the end: ") == 0, !c.made) << log;
        EXPECT_EQ(FileExists(marks), c.made) << log;
    }
}

// SC0025 at its limits: the longest command line a process takes and the longest the command
// interpreter takes for a batch file, and one character more of each.
TEST(Checker, CommandLengthsAtTheirLimits) {
    struct Case { const char* name; bool batch; size_t length; bool tooLong; };
    const Case cases[] = {
        {"a program, 32,766 characters", false, 32766, false},
        {"a program, 32,767 characters", false, 32767, true},
        {"a batch file, 8,191 characters", true, 8191, false},
        {"a batch file, 8,192 characters", true, 8192, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Kit kit;
        std::string program = c.batch ? Quoted(kit.File("run.bat")) : Probe();
        if (c.batch) WriteFile(kit.File("run.bat"), "@exit 0\r\n");
        std::string command = program + " ";
        command += std::string(c.length - command.size(), 'x');
        std::string ini = "[CustomCommands]\r\nCommands_0=" + command + "\r\n";
        kit.SetCommandFile(ini);
        CheckRun check = RunChecker(Quoted(kit.Dir()));
        std::vector<std::string> expected;
        if (c.tooLong) expected.push_back(Finding(ini, "Commands_0=", "error", "SC0025", "Commands_0") + "the command is " +
                                          std::to_string(c.length) + " characters long");
        ExpectFindings(Findings(check.output, kit.Dir() + "\\Setup\\CustCmds.ini"), expected, check.output.substr(0, 2000));
        EXPECT_EQ(check.exitCode, c.tooLong ? 2u : 0u);
    }
}

// [Strings] texts as the checker describes them and as a run shows them: a text without
// placeholders as written, '%' and all; a format whose placeholders do not fit gives way to the
// built-in text.
TEST(Checker, StringsFindingsSayWhatTheRunShows) {
    Kit kit;
    kit.SetCommandFile("[CustomCommands]\r\nCommands_0=" + Probe() + " exit 7\r\n"
                       "[Strings]\r\nWaitingMsg=Waiting: 100% done %s\r\nCompleteMsg=Parent %d done\r\n"
                       "CompletedExitCode=Done %d of %d\r\n");
    CheckRun check = RunChecker(Quoted(kit.Dir()));
    std::vector<std::string> findings = Findings(check.output, kit.Dir() + "\\Setup\\CustCmds.ini");
    ExpectFindings(findings, {"4 warning SC0042: WaitingMsg: ", "5 warning SC0042: CompleteMsg: ",
                              "6 warning SC0040: CompletedExitCode: "},
                   check.output);
    for (const char* text : {"WaitingMsg: this text takes no placeholders: Sarnik shows it as written, \"%s\" included",
                             "CompleteMsg: this text takes no placeholders: Sarnik shows it as written, \"%d\" included",
                             "CompletedExitCode: the placeholders do not fit %d (in this order, the later ones may be "
                             "left out): Sarnik shows the built-in text instead"})
        EXPECT_NE(check.output.find(text), std::string::npos) << text << "\n" << check.output;

    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.WaitFinished(20000));
    std::vector<std::string> lines = CrLfLines(run.Log());
    EXPECT_TRUE(run.CloseWithOk());
    ASSERT_EQ(lines.size(), 4u) << run.Log();
    EXPECT_EQ(lines[0], "Waiting: 100% done %s");
    EXPECT_EQ(lines[1], "Parent %d done");
    EXPECT_EQ(lines[3], "Completed exit code:7");
}

// An unquoted program path with a blank: the run starts the program behind the blank, and the
// checker says so (SC0027, not "program not found").
TEST(Checker, UnquotedProgramPathIsStartedAsTheCheckerSays) {
    Kit kit;
    MakeDirs(kit.File("Tool Dir"));
    ASSERT_TRUE(CopyFileA(BinPath("probe.exe").c_str(), kit.File("Tool Dir\\tool.exe").c_str(), FALSE));
    std::string marks = kit.File("marks.txt");
    kit.SetCommandFile("[CustomCommands]\r\nShowDialog=FALSE\r\nCommands_0=<Quelvaran>\\Tool Dir\\tool.exe mark " + marks +
                       " ran\r\n");
    CheckRun check = RunChecker(Quoted(kit.Dir()));
    ExpectFindings(Findings(check.output, kit.Dir() + "\\Setup\\CustCmds.ini"), {"3 warning SC0027: Commands_0: "},
                   check.output);
    EXPECT_NE(check.output.find("tries \"" + kit.File("Tool.exe") + "\" first and starts \"" + kit.File("Tool Dir\\tool.exe") +
                                "\""),
              std::string::npos)
        << check.output;
    EXPECT_EQ(check.exitCode, 1u) << check.output;

    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.Proc().Wait(30000));
    std::vector<std::string> lines = ReadLines(marks);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].compare(0, 4, "ran "), 0) << lines[0];
}

TEST(Checker, DoubleByteKeysAndValues) {
    if (GetACP() != 932) GTEST_SKIP() << "double-byte texts need the ANSI code page 932";
    // Trail bytes '\\' ("表", "ソ"), '[' and ']' ("ー" 0x81 0x5B, "‐" 0x81 0x5D) and '|' ("ポ").
    const std::string ini =
        "[\x95\x5C\x81\x5B]\r\n\x83\x5C=\x81\x5D\r\n"
        "[CustomCommands]\r\nCommands_0=cmd /c echo \x83\x5C\x95\x5C <Nope> \x83\x7C\r\n"
        // "ツmd" (ツ 0x83 0x63) holds no second "cmd"; "タ<WinDir" (タ 0x83 0x5E) is no escaped '<'.
        "Commands_1=cmd /c echo \x83\x63md\r\nCommands_2=\x83\x5E<WinDir\\notepad.exe\r\n"
        "LogFile=\x95\x5C\\\x83\x5C\\run.log\r\n"
        "[Strings]\r\n\x95\x5C\x8E\xA6=x\r\nWaitingMsg=\x91\xD2\x82\xBF \x81\x5B\r\nerrorMsg=\x83\x5C %s\r\n";
    Kit kit;
    kit.SetCommandFile(ini);
    WriteFile(kit.File("\x95\x5C"), "a file where the log's folder would be");
    CheckRun run = RunChecker(Quoted(kit.Dir()));
    std::string commandFile = kit.Dir() + "\\Setup\\CustCmds.ini";
    ExpectFindings(Findings(run.output, commandFile),
                   {Finding(ini, "Commands_0=", "warning", "SC0010", "Commands_0"),
                    Finding(ini, "Commands_2=", "warning", "SC0011", "Commands_2"),
                    Finding(ini, "LogFile=", "error", "SC0050", "LogFile"),
                    Finding(ini, "\x95\x5C\x8E\xA6=", "warning", "SC0041", "\x95\x5C\x8E\xA6"),
                    Finding(ini, "errorMsg=", "warning", "SC0040", "errorMsg")},
                   run.output);
    EXPECT_EQ(run.exitCode, 2u) << run.output;
    EXPECT_NE(run.output.find("written: cmd /c echo \x83\x5C\x95\x5C <Nope> \x83\x7C\n"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(kit.Dir() + "\\\x95\x5C is a file"), std::string::npos) << run.output;
}

// The line of a finding is the line an editor shows, written out in each row rather than counted
// by the test: CR LF, LF and a lone CR each end one line, as Notepad, Visual Studio Code and
// Notepad++ count them and as the profile reader splits the file; blank lines, lines of blanks,
// comments and section headers are lines like any other. The plan's line and the value the run's
// reader gets for Commands_0 show that the checker's lines are the reader's lines. The JSON form
// holds the same numbers.
TEST(Checker, LineNumbersAreTheLinesAnEditorShows) {
    auto utf16 = [](const std::string& ascii, bool bigEndian = false) {
        std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
        for (char c : ascii) bytes += bigEndian ? std::string(1, '\0') + c : std::string(1, c) + '\0';
        return bytes;
    };
    const std::string header = "[CustomCommands]", command = "cmd /c exit 0", first = "Commands_0=" + command,
                      gap = "Commands_2=cmd /c exit 2";
    const std::string nul(1, '\0');
    struct Case {
        const char* name;
        std::string file;
        int commandLine;                    // the line of Commands_0
        std::vector<std::string> findings;  // "line severity code: key: ", each on the line an editor shows
    };
    const Case cases[] = {
        {"CR LF", header + "\r\n" + first + "\r\n" + gap + "\r\n", 2, {"3 error SC0003: Commands_2: "}},
        {"LF", header + "\n" + first + "\n" + gap, 2, {"3 error SC0003: Commands_2: "}},
        {"CR", header + "\r" + first + "\r" + gap + "\r", 2, {"3 error SC0003: Commands_2: "}},
        {"CR LF with a lone CR", header + "\r\n" + first + "\r" + gap + "\r\n", 2, {"3 error SC0003: Commands_2: "}},
        {"UTF-16", utf16(header + "\r\n" + first + "\r\n" + gap + "\r\n"), 2, {"3 error SC0003: Commands_2: "}},
        {"UTF-16 big-endian", utf16(header + "\r\n" + first + "\r\n" + gap + "\r\n", true), 2,
         {"3 error SC0003: Commands_2: "}},
        {"blank lines", "\r\n" + header + "\r\n\r\n\r\n" + first + "\r\n\r\n" + gap + "\r\n", 5,
         {"7 error SC0003: Commands_2: "}},
        {"lines of blanks only", "  \r\n" + header + "\r\n \t \r\n\t\r\n" + first + "\r\n        \r\n" + gap + "\r\n",
         5, {"7 error SC0003: Commands_2: "}},
        {"comment lines",
         "; a kit\r\n" + header + "\r\n;Commands_1=cmd\r\n   ; after blanks\r\n\t;after a tab\r\n" + first +
             "\r\n; between\r\n" + gap + "\r\n",
         6, {"8 error SC0003: Commands_2: "}},
        {"a section header, and a second section of the same name",
         "[Strings]\r\nWaitingMsg=Wait\r\n" + header + "\r\n" + first + "\r\n[Strings]\r\nCompleteMsg=Done\r\n" +
             "[customcommands]\r\n" + gap + "\r\n",
         4, {"5 warning SC0006: [Strings]", "7 warning SC0006: [customcommands]"}},
        {"UTF-16 with blank and comment lines",
         utf16("; a kit\r\n\r\n" + header + "\r\n;\r\n" + first + "\r\n" + gap + "\r\n"), 5,
         {"6 error SC0003: Commands_2: "}},
        {"UTF-16 big-endian with LF and CR", utf16(header + "\n\r" + first + "\r\r\n" + gap, true), 3,
         {"5 error SC0003: Commands_2: "}},
        {"UTF-8 with its byte-order mark", "\xEF\xBB\xBF" + header + "\r\n\r\n" + first + "\r\n" + gap + "\r\n", 3,
         {"4 error SC0003: Commands_2: "}},
        // LF, then CR CR LF (a lone CR and a CR LF: two line ends), LF CR (two), CR.
        {"a mix of line ends", header + "\n" + first + "\r\r\n;\n\r" + gap + "\r", 2, {"6 error SC0003: Commands_2: "}},
        // A comment longer than a 64 KiB read and a command longer than the reader's first
        // 1024-byte buffer each stay one line.
        {"lines longer than the reader's buffer",
         header + "\r\n;" + std::string(70000, 'c') + "\r\n" + first + " " + std::string(5000, 'x') + "\r\n" + gap +
             "\r\n",
         3, {"4 error SC0003: Commands_2: "}},
        // The reader cuts the value at the NUL; the line goes on to its line end.
        {"a line holding a NUL byte",
         header + "\r\n" + first + "\r\nUnattended=" + nul + "TRUE\r\n" + gap + "\r\n", 2,
         {"3 warning SC0014: Unattended: ", "4 error SC0003: Commands_2: "}},
        {"the last line without a line end", header + "\r\n" + first + "\r\n\r\n" + gap, 2,
         {"4 error SC0003: Commands_2: "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Kit kit;
        kit.SetCommandFile(c.file);
        CheckRun run = RunChecker(Quoted(kit.Dir()));
        ExpectFindings(Findings(run.output, kit.Dir() + "\\Setup\\CustCmds.ini"), c.findings, run.output);
        EXPECT_NE(run.output.find("Commands: 1\n  Commands_0 (line " + std::to_string(c.commandLine) + ")\n"),
                  std::string::npos)
            << run.output;

        CheckRun json = RunChecker("--json " + Quoted(kit.Dir()));
        nlohmann::json doc = nlohmann::json::parse(json.output, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << json.output;
        ASSERT_EQ(doc["plan"]["commands"].size(), 1u) << json.output;
        EXPECT_EQ(doc["plan"]["commands"][0]["line"], c.commandLine) << json.output;
        // What the run's reader gets: the value alone, not the lines after a lone CR.
        std::string written = doc["plan"]["commands"][0]["written"];
        EXPECT_EQ(written.compare(0, command.size(), command), 0) << written;
        EXPECT_EQ(written.find_first_of("\r\n"), std::string::npos) << written;
        std::vector<std::string> lines;
        for (const auto& f : doc["findings"])
            lines.push_back(std::to_string(f["line"].get<int>()) + " " + f["severity"].get<std::string>() + " " +
                            f["code"].get<std::string>() + ": " + Utf8ToAnsi(f["key"].get<std::string>()) + ": ");
        ExpectFindings(lines, c.findings, json.output);
    }
}

TEST(Checker, PlanShowsCommandsAsTheyWouldStart) {
    Kit kit;
    MakeDirs(kit.File("Tools"));
    WriteFile(kit.File("Tools\\tool.exe"), "MZ");
    kit.SetCommandFile("[CustomCommands]\r\nCommands_0=  cmd /c exit 0  \r\n"
                       "Commands_1=<Quelvaran>\\Tools\\tool.exe \"<Temp>\\a b\" <InstallationDir>\r\n"
                       "Commands_2=" + BinPath("engine.exe") + "\r\n");
    CheckRun run = RunChecker(Quoted(kit.Dir()) + " C:\\T \"C:\\Program Files\\App\"");
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    char system[MAX_PATH];
    GetSystemDirectoryA(system, MAX_PATH);
    for (const std::string& text : std::vector<std::string>{
             std::string("Mode: the \"Command Progress\" dialog"),
             std::string("Commands: 3"),
             "started: " + std::string(system) + "\\cmd.exe /c exit 0\n",
             "started: " + kit.Dir() + "\\Tools\\tool.exe \"C:\\T\\a b\" C:\\Program Files\\App\n",
             std::string("written: <Quelvaran>\\Tools\\tool.exe \"<Temp>\\a b\" <InstallationDir>\n"),
             std::string("setup engine: Sarnik waits until it has taken its mutex"),
             std::string("0 errors, 0 warnings"),
         })
        EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
    // Only the engine's command carries the engine note.
    EXPECT_EQ(run.output.find("setup engine:"), run.output.rfind("setup engine:")) << run.output;
}

TEST(Checker, DirectoriesOfTheCommandLineNotGiven) {
    // Without TEMP_DIR and INSTALL_DIR their macros stay: no finding that only the parent
    // installer's directories could settle.
    Kit kit;
    kit.SetCommandFile("[CustomCommands]\r\nLogFile=<Temp>\\logs\\run.log\r\n"
                       "Commands_0=<InstallationDir>\\app.exe /register\r\nCommands_1=cmd /c echo <Temp>\r\n");
    CheckRun run = RunChecker(Quoted(kit.Dir()));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(run.output.find("(not checked: give TEMP_DIR and INSTALL_DIR to check it)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("started: <InstallationDir>\\app.exe /register\n"), std::string::npos) << run.output;
}

TEST(Checker, HostileFilesGetFindingsNeverACrash) {
    // 3 MB of random bytes, the same on every run.
    std::string noise(3 << 20, '\0');
    unsigned state = 4711;
    for (char& b : noise) {
        state = state * 1103515245u + 12345u;
        b = static_cast<char>(state >> 23);
    }
    const std::string valid = "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\n";
    struct Case {
        const char* name;
        std::string file;
        std::vector<std::string> findings;  // line prefix, severity, code, key; empty: any findings
    };
    const Case cases[] = {
        // The reader sees "[Str]": the section is not [Strings], and the check says so.
        {"a NUL inside a section header", valid + "[Str" + std::string(1, '\0') + "ings]\r\nWaitingMsg=x\r\n",
         {"[Str", "warning", "SC0014", "[Str\\0ings]"}},
        {"a NUL inside a header written twice",
         valid + "[A" + std::string(1, '\0') + "B]\r\nk=1\r\n[a" + std::string(1, '\0') + "B]\r\nk=2\r\n",
         {"[a", "warning", "SC0006", ""}},
        {"a NUL inside a key written twice",
         valid + "[S]\r\nk" + std::string(1, '\0') + "x=1\r\nK" + std::string(1, '\0') + "x=2\r\n",
         {"K", "warning", "SC0005", ""}},
        {"3 MB of random bytes", noise, {}},
        {"a log file that is a device", valid + "LogFile=NUL\r\n", {"LogFile=", "error", "SC0050", "LogFile"}},
    };
    for (const Case& c : cases) {
        Kit kit;
        kit.SetCommandFile(c.file);
        CheckRun run = RunChecker(Quoted(kit.Dir()));
        // The whole report and an exit code of 0 to 2: never a crash's code, never "cannot be read".
        EXPECT_LE(run.exitCode, 2u) << c.name << "\n" << run.output.substr(0, 2000);
        EXPECT_TRUE(std::regex_search(run.output, std::regex("\n[0-9]+ errors?, [0-9]+ warnings?\n$")))
            << c.name << ": the summary closes the report";
        std::vector<std::string> found = Findings(run.output, kit.Dir() + "\\Setup\\CustCmds.ini");
        if (c.findings.empty()) continue;
        bool seen = false;
        std::string expected = Finding(c.file, c.findings[0], c.findings[1].c_str(), c.findings[2].c_str(), "");
        expected = expected.substr(0, expected.size() - 2);  // the key is checked below, NUL and all
        for (const std::string& f : found)
            seen = seen || (f.compare(0, expected.size(), expected) == 0 &&
                            f.find(c.findings[3], expected.size()) != std::string::npos);
        EXPECT_TRUE(seen) << c.name << ": no " << c.findings[2] << "\n" << run.output.substr(0, 2000);
    }
}

// The plan says how the run meets its user and how it waits after each command, as the run's
// own readers take the keys; the JSON document says the same.
TEST(Checker, PlansTheRunModeAndEachCommandsWaits) {
    const std::string plain =
        "then: waits for the process, for the Windows Installer (at most 30 s) and for the setup engine";
    struct Case {
        const char* name;
        const char* keys;
        const char* modeLine;
        std::string thenLine;
        const char* mode;
        bool silent;
        int limit;  // 0: none
        bool ended, tree;
        bool captured = false;
    };
    const Case cases[] = {
        {"the dialog", "", "Mode: the \"Command Progress\" dialog", plain, "dialog", false, 0, false, false},
        {"silent", "ShowDialog=false\r\n", "Mode: silent (ShowDialog=false)", plain, "silent", true, 0, false, false},
        {"unattended", "Unattended=TRUE\r\nShowDialog=TRUE\r\n",
         "Mode: unattended (Unattended=TRUE): no dialog and no message box; every question gets its default answer",
         plain, "unattended", true, 0, false, false},
        {"a limit, left running", "CommandTimeout=90\r\n", "Mode: the \"Command Progress\" dialog",
         "then: waits for the process (at most 90 s, then left running), for the Windows Installer (at most 30 s) and "
         "for the setup engine (at most 90 s)",
         "dialog", false, 90, false, false},
        {"a limit, the tree ended", "CommandTimeout=90\r\nCommandTimeoutAction=TERMINATE\r\nWaitForChildProcesses=true\r\n",
         "Mode: the \"Command Progress\" dialog",
         "then: waits for the process and every process it starts except those that break away (at most 90 s, then "
         "ended), for the Windows Installer (at most 30 s) and for the setup engine (at most 90 s)",
         "dialog", false, 90, true, true},
        {"output captured", "CaptureOutput=TRUE\r\n", "Mode: the \"Command Progress\" dialog", plain, "dialog", false, 0,
         false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Kit kit;
        kit.SetCommandFile(std::string("[CustomCommands]\r\n") + c.keys + "Commands_0=cmd /c exit 0\r\n");
        CheckRun text = RunChecker(Quoted(kit.Dir()));
        EXPECT_NE(text.output.find("\n" + std::string(c.modeLine) + "\n"), std::string::npos) << text.output;
        EXPECT_NE(text.output.find("\n    " + c.thenLine + "\n"), std::string::npos) << text.output;
        CheckRun json = RunChecker("--json " + Quoted(kit.Dir()));
        nlohmann::json doc;
        ASSERT_NO_THROW(doc = nlohmann::json::parse(json.output)) << json.output;
        EXPECT_EQ(doc["plan"]["mode"], c.mode);
        EXPECT_EQ(doc["plan"]["silent"], c.silent);
        const nlohmann::json& command = doc["plan"]["commands"].at(0);
        EXPECT_EQ(command["timeLimitSeconds"], c.limit ? nlohmann::json(c.limit) : nlohmann::json()) << command.dump();
        EXPECT_EQ(command["endedAtLimit"], c.ended);
        EXPECT_EQ(command["waitsForChildProcesses"], c.tree);
        EXPECT_EQ(command["successExitCodes"], nullptr) << "no code is judged";
        EXPECT_EQ(command["consoleWindow"], c.captured                          ? "hidden (output captured)"
                                            : std::string(c.mode) == "unattended" ? "hidden"
                                                                                  : "hidden where unattended");
        EXPECT_EQ(command["outputCaptured"], c.captured);
    }
}

// A key that holds a NUL byte is named once, by the finding that says so, with the NUL shown
// as "\0" in the text and in the JSON document.
TEST(Checker, AKeyWithANulIsNamedOnceAndEscaped) {
    Kit kit;
    std::string ini = "[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nShow" + std::string(1, '\0') + "Dialog=FALSE\r\n";
    kit.SetCommandFile(ini);
    CheckRun text = RunChecker(Quoted(kit.Dir()));
    EXPECT_EQ(text.output.find('\0'), std::string::npos) << "a NUL byte printed as it stands";
    std::vector<std::string> found = Findings(text.output, kit.Dir() + "\\Setup\\CustCmds.ini");
    ASSERT_EQ(found.size(), 1u) << text.output;
    EXPECT_EQ(found[0].find("3 warning SC0014: Show\\0Dialog: the key holds a NUL byte"), 0u) << found[0];
    CheckRun json = RunChecker("--json " + Quoted(kit.Dir()));
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(json.output)) << json.output;
    ASSERT_EQ(doc["findings"].size(), 1u) << json.output;
    EXPECT_EQ(doc["findings"][0]["code"], "SC0014");
    EXPECT_EQ(doc["findings"][0]["key"], "Show\\0Dialog");
    EXPECT_EQ(json.output.find("\\u0000"), std::string::npos) << json.output;
}

TEST(Checker, JsonDocument) {
    Kit kit;
    // Texts in the ANSI code page come out in UTF-8: double-byte ones under 932 ("表ソ", trail
    // bytes '\\'), Latin-1 letters otherwise.
    bool cp932 = GetACP() == 932;
    std::string ansi = cp932 ? "\x95\x5C\x83\x5C" : "gr\xFC\xDF";
    std::string utf8 = cp932 ? "\xE8\xA1\xA8\xE3\x82\xBD" : "gr\xC3\xBC\xC3\x9F";
    kit.SetCommandFile("[CustomCommands]\r\nReboot=yes\r\nCommands_0=cmd /c echo " + ansi + " <Nope>\r\n"
                       "Commands_2=cmd /c exit 2\r\n");
    CheckRun run = RunChecker("--json " + Quoted(kit.Dir()));
    EXPECT_EQ(run.exitCode, 2u) << run.output;
    nlohmann::json doc;
    ASSERT_NO_THROW(doc = nlohmann::json::parse(run.output)) << run.output;
    EXPECT_EQ(doc["exitCode"], 2);
    // The kit's folder ends in double-byte characters under 932: the path, too, is UTF-8.
    EXPECT_EQ(doc["commandFile"], AnsiToUtf8(kit.Dir() + "\\Setup\\CustCmds.ini"));
    ASSERT_EQ(doc["plan"]["commands"].size(), 1u);
    EXPECT_EQ(doc["plan"]["commands"][0]["key"], "Commands_0");
    EXPECT_EQ(doc["plan"]["commands"][0]["line"], 3);
    EXPECT_EQ(doc["plan"]["commands"][0]["written"], "cmd /c echo " + utf8 + " <Nope>");
    EXPECT_EQ(doc["plan"]["rebootAsked"], false);
    std::multiset<std::string> findings;
    for (const auto& f : doc["findings"])
        findings.insert(std::to_string(f["line"].get<int>()) + " " + f["severity"].get<std::string>() + " " +
                        f["code"].get<std::string>() + " " + f["key"].get<std::string>());
    EXPECT_EQ(findings, (std::multiset<std::string>{"2 warning SC0030 Reboot", "3 warning SC0010 Commands_0",
                                                    "4 error SC0003 Commands_2"}))
        << run.output;
}

TEST(Checker, StartsNothingAndWritesNothing) {
    Kit kit;
    TempFolder publicRoot("checkpublic");
    std::string publicDir = publicRoot / "never-made";
    std::string marks = kit.File("marks.txt");
    kit.SetCommandFile("[CustomCommands]\r\nLogFile=<Temp>\\logs\\run.log\r\n"
                       "Commands_0=" + Probe() + " mark " + marks + " started\r\n"
                       "Commands_1=cmd /c echo started> \"<Quelvaran>\\started.txt\"\r\n"
                       "Commands_2=cmd /c echo <QvPublic>\r\n");
    TempFolder temp("checktemp");
    // The product's public folder, which a run makes when it is missing, here points at a folder
    // that does not exist.
    RegistryValueRestorer custom(HKEY_LOCAL_MACHINE, "Software\\Brontell\\Quelvaran\\16.0", "CustomPublicLocation",
                                 KEY_WOW64_32KEY);
    ASSERT_TRUE(custom.SetString(publicDir));
    CheckRun run = RunChecker(Quoted(kit.Dir()) + " " + Quoted(temp.Path()));
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    EXPECT_NE(run.output.find("/c echo " + publicDir + "\n"), std::string::npos) << run.output;
    // One process in the checker's job, the checker itself: nothing was started that could still
    // write after it ended.
    EXPECT_EQ(run.processes, 1u) << run.output;
    EXPECT_FALSE(FileExists(marks));
    EXPECT_FALSE(FileExists(kit.File("started.txt")));
    EXPECT_EQ(GetFileAttributesA(publicDir.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesA((temp / "logs").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST(Checker, CommandLineAndVersion) {
    CheckRun version = RunChecker("--version");
    EXPECT_EQ(version.exitCode, 0u);
    EXPECT_TRUE(std::regex_match(version.output, std::regex("sarnikcheck [0-9]+\\.[0-9]+\\.[0-9]+\r?\n"))) << version.output;
    CheckRun codes = RunChecker("--codes");
    EXPECT_EQ(codes.exitCode, 0u);
    EXPECT_NE(codes.output.find("SC0003 error: a Commands_ key after a gap"), std::string::npos) << codes.output;
    for (const char* code : {"SC0008 warning: ", "SC0027 warning: ", "SC0042 warning: ", "SC0051 error: "})
        EXPECT_NE(codes.output.find(code), std::string::npos) << code << "\n" << codes.output;
    CheckRun none = RunChecker("");
    EXPECT_EQ(none.exitCode, 3u);
    EXPECT_NE(none.output.find("usage: sarnikcheck"), std::string::npos) << none.output;
    EXPECT_EQ(RunChecker("--frobnicate C:\\Kit").exitCode, 3u);
    EXPECT_EQ(RunChecker("a b c d").exitCode, 3u);
    EXPECT_EQ(RunCheckerAsGiven("--arch arm64 C:\\Kit").exitCode, 3u);
    EXPECT_EQ(RunCheckerAsGiven("C:\\Kit --arch").exitCode, 3u);
}

TEST(Checker, ChecksForTheProgramOfItsArchitecture) {
    Kit kit;
    kit.SetCommandFile("[CustomCommands]\r\nCommands_0=cmd /c echo x\r\n");
    CheckRun text = RunChecker(Quoted(kit.Dir()));
    EXPECT_EQ(text.exitCode, 0u) << text.output;
    const std::string program = std::string("Program: the ") + (sizeof(void*) == 8 ? "64" : "32") + "-bit sarnik.exe";
    EXPECT_NE(text.output.find(program), std::string::npos) << text.output;
    CheckRun json = RunChecker("--json " + Quoted(kit.Dir()));
    EXPECT_EQ(nlohmann::json::parse(json.output).at("program"), kOwnArch) << json.output;

    // The other program's check belongs to the checker of its architecture, which the package
    // ships beside this one (tested from the package); a build folder has none there.
    CheckRun other = RunCheckerAsGiven(std::string("--arch ") + kOtherArch + " " + Quoted(kit.Dir()));
    EXPECT_EQ(other.exitCode, 3u) << other.output;
    EXPECT_NE(other.output.find("which is missing"), std::string::npos) << other.output;
#if defined(_WIN64)
    // Without --arch the kit is checked for the 32-bit program, the product.
    EXPECT_EQ(RunCheckerAsGiven(Quoted(kit.Dir())).exitCode, 3u);
#else
    EXPECT_EQ(RunCheckerAsGiven(Quoted(kit.Dir())).output, text.output);
#endif
}
