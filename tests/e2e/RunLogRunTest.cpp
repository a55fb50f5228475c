// The real sarnik.exe with the kit author's LogFile and RebootOnExitCodes keys: the log file's
// exact lines and results table in both run modes, blocks appended run after run, the restart
// question brought by an exit code, unwritable log paths, and the default run left as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "SarnikVersion.h"
#include "support/KitPackage.h"
#include "support/TestSupport.h"
#include "support/UnwritableLogs.h"

using namespace test;

namespace {
std::string Probe() { return Quoted(BinPath("probe.exe")); }

bool IsDigits(const std::string& s, size_t from, size_t count) {
    for (size_t i = from; i < from + count; ++i)
        if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    return true;
}

// A log file's lines without their "YYYY-MM-DD hh:mm:ss.mmm " prefix, which every line must
// carry. The prefixes themselves go to stamps when asked for.
std::vector<std::string> Unstamped(const std::string& content, std::vector<std::string>* stamps = nullptr) {
    EXPECT_EQ(content.substr(content.size() >= 2 ? content.size() - 2 : 0), "\r\n") << "the last line ends with CR LF";
    std::vector<std::string> lines;
    for (const std::string& line : CrLfLines(content)) {
        bool stamped = line.size() >= 24 && IsDigits(line, 0, 4) && line[4] == '-' && IsDigits(line, 5, 2) &&
                       line[7] == '-' && IsDigits(line, 8, 2) && line[10] == ' ' && IsDigits(line, 11, 2) &&
                       line[13] == ':' && IsDigits(line, 14, 2) && line[16] == ':' && IsDigits(line, 17, 2) &&
                       line[19] == '.' && IsDigits(line, 20, 3) && line[23] == ' ';
        EXPECT_TRUE(stamped) << "line without its time: " << line;
        EXPECT_EQ(line.find('\r'), std::string::npos) << "a lone CR inside: " << line;
        if (!stamped) continue;
        if (stamps) stamps->push_back(line.substr(0, 23));
        lines.push_back(line.substr(24));
    }
    return lines;
}

// The platform's own message for an error code, split into its lines as the log file holds them.
std::vector<std::string> SystemMessageLines(DWORD code) {
    char message[1024] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, message,
                   sizeof message, nullptr);
    std::vector<std::string> lines = CrLfLines(message);
    EXPECT_FALSE(lines.empty()) << "no system message for " << code;
    return lines;
}

std::string SarnikCommandLine(const std::string& args) { return std::string("Sarnik ") + SARNIK_VERSION_TEXT + ", command line: \"" + BinPath("sarnik.exe") + "\" " + args; }

template <class T>
std::vector<T> Concat(std::vector<T> a, const std::vector<T>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The local date as the log's stamps write it.
std::string Today() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    char today[16];
    snprintf(today, sizeof today, "%04u-%02u-%02u", now.wYear, now.wMonth, now.wDay);
    return today;
}

// The visible top-level windows of process pid.
struct WindowSearch {
    DWORD pid;
    std::vector<HWND> found;
};
BOOL CALLBACK CollectWindow(HWND h, LPARAM p) {
    WindowSearch* s = reinterpret_cast<WindowSearch*>(p);
    DWORD owner = 0;
    GetWindowThreadProcessId(h, &owner);
    if (owner == s->pid && IsWindowVisible(h)) s->found.push_back(h);
    return TRUE;
}
std::vector<HWND> TopLevelWindows(DWORD pid) {
    WindowSearch search = {pid, {}};
    EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

const char kWaitLines[][64] = {"Waiting for parent installer to complete...", "Parent installer complete."};

// The values of the results table's "Restart:" line that the reference for kit authors lists
// (the first code span of each row of the table in its log file section).
std::set<std::string> DocumentedRestartValues() {
    std::string doc = ReadFile(BinDir() + "\\command-file.md");
    size_t at = doc.find("\n## The log file");
    if (at == std::string::npos) return {};
    std::string part = doc.substr(at, doc.find("\n#", at + 1) - at);
    std::set<std::string> values;
    for (size_t row = part.find("\n| `"); row != std::string::npos; row = part.find("\n| `", row + 1)) {
        size_t close = part.find('`', row + 4);
        if (close != std::string::npos) values.insert(part.substr(row + 4, close - row - 4));
    }
    return values;
}

// The ```ini examples of a document beside the programs (the README, the reference), in order,
// as a kit author copies them into a command file.
std::vector<std::string> IniExamples(const char* document = "README.md") {
    std::string readme = ReadFile(BinDir() + "\\" + document);
    std::vector<std::string> examples;
    for (size_t at = readme.find("```ini\n"); at != std::string::npos; at = readme.find("```ini\n", at)) {
        size_t start = at + 7, end = readme.find("```", start);
        if (end == std::string::npos) break;
        std::string example;
        for (size_t i = start; i < end; ++i)
            if (readme[i] == '\n') example += "\r\n";
            else if (readme[i] != '\r') example += readme[i];
        examples.push_back(example);
        at = end + 3;
    }
    return examples;
}

// ini with lines put right below its [CustomCommands] header.
std::string WithKeys(const std::string& ini, const std::string& lines) {
    const std::string header = "[CustomCommands]\r\n";
    size_t at = ini.find(header);
    EXPECT_NE(at, std::string::npos) << ini;
    return at == std::string::npos ? ini : ini.substr(0, at + header.size()) + lines + ini.substr(at + header.size());
}
}  // namespace

TEST(RunLog, SilentRunWritesEveryLineBoxAndAnswerThenTheResults) {
    Kit kit;
    std::string marks = kit.File("marks.txt");
    std::string first = Probe() + " mark " + marks + " first sleep 300 exit 3";
    std::string skipped = Probe() + " mark " + marks + " never";
    kit.SetCommandFile("[CustomCommands]\r\nShowDialog=FALSE\r\n"
                       "LogFile=logs\\new\\run.log\r\n"
                       "Commands_0=" + first + "\r\n"
                       "Commands_1=missing-4711.exe /a\r\n"
                       "Commands_2=" + skipped + "\r\n");
    std::string logFile = kit.File("logs\\new\\run.log");
    std::vector<std::string> failure = SystemMessageLines(ERROR_FILE_NOT_FOUND);
    failure.insert(failure.begin(), "Error code:2 occurred on command missing-4711.exe /a");

    std::string firstBlock;
    for (int round = 0; round < 2; ++round) {
        const std::string dayBefore = Today();
        SarnikRun run(kit.Args(0, 1));
        // Each box is in the file while it waits for its answer, with the time it was shown.
        auto lastLine = [&] {
            std::vector<std::string> so_far = Unstamped(ReadFile(logFile).substr(round == 1 ? firstBlock.size() : 0));
            return so_far.empty() ? std::string() : so_far.back();
        };
        HWND box = run.Box("Error", 20000);
        ASSERT_NE(box, nullptr) << "round " << round;
        EXPECT_EQ(lastLine(), "Do you want to continue running commands?") << "round " << round;
        // Looked for while the run waits for the answer: a silent run has no dialog.
        EXPECT_EQ(run.Dialog(0), nullptr) << "round " << round;
        Answer(box, IDNO);
        HWND reboot = run.Box("Reboot", 20000);
        ASSERT_NE(reboot, nullptr) << "round " << round;
        EXPECT_EQ(lastLine(), "Message box \"Reboot\": Do you want to reboot the system now?") << "round " << round;
        Answer(reboot, IDNO);
        ASSERT_TRUE(run.Proc().Wait(20000));

        std::string content = ReadFile(logFile);
        std::string block = content;
        if (round == 1) {
            // The second run appends its block; the first stays byte for byte.
            ASSERT_EQ(content.compare(0, firstBlock.size(), firstBlock), 0);
            block = content.substr(firstBlock.size());
        }
        std::vector<std::string> stamps;
        std::vector<std::string> lines = Unstamped(block, &stamps);
        std::vector<std::string> expected = {SarnikCommandLine(kit.Args(0, 1)), kWaitLines[0], kWaitLines[1],
                                             "Invoking " + first, "Completed exit code:3"};
        expected = Concat(expected, failure);  // the line the dialog would have shown
        std::vector<std::string> boxText = failure;
        boxText[0] = "Message box \"Error\": " + boxText[0];
        boxText.push_back("");
        boxText.push_back("");
        boxText.push_back("Do you want to continue running commands?");
        expected = Concat(expected, boxText);
        expected = Concat(expected, std::vector<std::string>{
                                        "Answer: No",
                                        "Message box \"Reboot\": Do you want to reboot the system now?",
                                        "Answer: No",
                                        "Results:"});
        ASSERT_EQ(lines.size(), expected.size() + 5) << block;
        for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i], expected[i]) << "round " << round << " line " << i;
        // The command ran 300 ms and more (its sleep, then the exit poll).
        std::string row0 = lines[expected.size()];
        const size_t at = 14;
        EXPECT_EQ(row0.substr(0, at), "0\tcompleted\t3\t") << row0;
        double seconds = std::stod(row0.substr(at, row0.find('\t', at) - at));
        EXPECT_GE(seconds, 0.3) << row0;
        EXPECT_LT(seconds, 250.0) << row0 << ": milliseconds would read 300 and more";
        EXPECT_EQ(row0.substr(row0.find('\t', at) + 1), first);
        EXPECT_EQ(lines[expected.size() + 1], "1\tnot-started\t2\t0.0\tmissing-4711.exe /a");
        EXPECT_EQ(lines[expected.size() + 2], "2\tskipped\t\t\t" + skipped);
        EXPECT_EQ(lines[expected.size() + 3], "Restart: asked-no");
        EXPECT_EQ(lines[expected.size() + 4], "Exit code: 1603") << "the run was stopped";

        // Stamps are the local time of the run, in order; a run may cross midnight.
        const std::string dayAfter = Today();
        EXPECT_TRUE(stamps.front().substr(0, 10) == dayBefore || stamps.front().substr(0, 10) == dayAfter)
            << stamps.front() << " not within " << dayBefore << " to " << dayAfter;
        for (size_t i = 1; i < stamps.size(); ++i) EXPECT_LE(stamps[i - 1], stamps[i]) << "line " << i;
        if (round == 0) firstBlock = content;
    }
    EXPECT_EQ(ReadLines(marks).size(), 2u) << "the first command ran once per run, the skipped one never";
}

TEST(RunLog, DialogRunFileHoldsTheDialogsLinesAndAnExitCodeAsksForTheRestart) {
    Kit kit;
    TempFolder temp("temp");
    std::string restart = Probe() + " exit 3010";
    std::string plain = Probe() + " exit 0";
    kit.SetCommandFile("[CustomCommands]\r\n"
                       "LogFile=<Temp>\\sub\\MyKit-commands.log\r\n"
                       "RebootOnExitCodes= 1641 , junk,3010,\r\n"
                       "Commands_0=" + plain + "\r\n"
                       "Commands_1=" + restart + "\r\n");
    std::string args = kit.Args(0, 0, temp.Path());
    SarnikRun run(args);
    HWND box = run.Box("Reboot", 20000);
    ASSERT_NE(box, nullptr) << "exit code 3010 brings the restart question: " << run.Log();
    EXPECT_EQ(MessageBoxText(box), "Do you want to reboot the system now?");
    Answer(box, IDNO);
    ASSERT_TRUE(run.WaitFinished(20000));
    std::vector<std::string> shown = CrLfLines(run.Log());
    std::vector<std::string> expectedShown = {
        "RebootOnExitCodes entry \"junk\" is not an exit code and is ignored.",
        kWaitLines[0], kWaitLines[1],
        "Invoking " + plain, "Completed exit code:0",
        "Invoking " + restart, "Completed exit code:3010",
        "Command asked for a restart (exit code 3010).",
    };
    EXPECT_EQ(shown, expectedShown);
    EXPECT_TRUE(run.CloseWithOk());

    std::vector<std::string> lines = Unstamped(ReadFile(temp / "sub\\MyKit-commands.log"));
    ASSERT_EQ(lines.size(), 1 + shown.size() + 2 + 5) << ReadFile(temp / "sub\\MyKit-commands.log");
    EXPECT_EQ(lines[0], SarnikCommandLine(args));
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.begin() + 1 + shown.size()), shown);
    EXPECT_EQ(lines[1 + shown.size()], "Message box \"Reboot\": Do you want to reboot the system now?");
    EXPECT_EQ(lines[2 + shown.size()], "Answer: No");
    EXPECT_EQ(lines[3 + shown.size()], "Results:");
    EXPECT_EQ(lines[4 + shown.size()].substr(0, 14), "0\tcompleted\t0\t");
    EXPECT_EQ(lines[5 + shown.size()].substr(0, 17), "1\tcompleted\t3010\t");
    EXPECT_EQ(lines[6 + shown.size()], "Restart: asked-no");
    EXPECT_EQ(lines[7 + shown.size()], "Exit code: 3010");
}

TEST(RunLog, OnlyListedExitCodesAskForTheRestart) {
    struct Case { const char* codes; int exit; bool asked; };
    const Case cases[] = {
        {"3010, 1641", 0, false},
        {"3010, 1641", 1641, true},
        {"3010", 1641, false},
        {"-1", -1, true},
        {"4294967295", -1, true},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        Kit kit;
        kit.SetCommandFile(std::string("[CustomCommands]\r\nShowDialog=FALSE\r\nLogFile=run.log\r\n") +
                           "RebootOnExitCodes=" + c.codes + "\r\n"
                           "Commands_0=" + Probe() + " exit " + std::to_string(c.exit) + "\r\n");
        SarnikRun run(kit.Args());
        HWND box = run.Box("Reboot", c.asked ? 20000 : 0);
        if (c.asked) {
            ASSERT_NE(box, nullptr) << "row " << i;
            Answer(box, IDNO);
        }
        // Nobody answers from here on: a question would hold the run open, so its end proves
        // that none came. Looked for while the run lasts.
        HWND question = nullptr;
        ASSERT_TRUE(WaitUntil([&] {
            question = WaitForWindow(run.Proc().Id(), "#32770", nullptr, 0);
            return question != nullptr || run.Proc().Wait(0);
        }, 60000)) << "row " << i;
        EXPECT_EQ(question, nullptr) << "row " << i << ": " << WindowText(question);
        std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
        ASSERT_GE(lines.size(), 2u) << "row " << i;
        const std::string& restart = lines[lines.size() - 2];
        EXPECT_EQ(restart, c.asked ? "Restart: asked-no" : "Restart: not-asked") << "row " << i;
        EXPECT_EQ(DocumentedRestartValues().count(restart.substr(9)), 1u) << "the reference lists the value of " << restart;
        EXPECT_EQ(lines.back(), c.asked ? "Exit code: 3010" : "Exit code: 0") << "row " << i;
        bool logged = false;
        for (const std::string& line : lines)
            logged |= line == "Command asked for a restart (exit code " + std::to_string(c.exit) + ").";
        EXPECT_EQ(logged, c.asked) << "row " << i;
    }
}

TEST(RunLog, UnwritableLogLeavesTheRunAsItWas) {
    UnwritableLogs table;
    std::vector<UnwritableLog> cases = table.Cases();
    // Held open without sharing while the run goes on: a state of the moment, which the checker
    // cannot foresee and so is the run's case alone.
    TempFolder blocked("blocked");
    std::string locked = blocked / "locked.log";
    HANDLE lock = CreateFileA(locked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    cases.push_back({"a locked file", locked, false, ""});
    for (const UnwritableLog& c : cases) {
        for (bool silent : {false, true}) {
            Kit kit;
            std::string logFile = UnwritableLogs::RunPath(c, kit.Dir());
            std::string marks = kit.File("marks.txt");
            std::string command = Probe() + " mark " + marks + " ran exit 5";
            kit.SetCommandFile(std::string("[CustomCommands]\r\n") + (silent ? "ShowDialog=FALSE\r\n" : "") +
                               "LogFile=" + c.value + "\r\n"
                               "Commands_0=" + command + "\r\n"
                               "Commands_1=missing-4711.exe\r\n");
            std::string commandFile = ReadFile(kit.File("Setup\\CustCmds.ini"));
            SarnikRun run(kit.Args());
            if (silent) {
                // The failed start's box is the only window; nothing about the log file shows.
                HWND box = run.Box("Error", 20000);
                ASSERT_NE(box, nullptr) << c.name;
                EXPECT_EQ(MessageBoxText(box).find("Error code:2 occurred on command missing-4711.exe\n"), 0u);
                // Counted while the box waits for its answer, and the run then ends with nobody
                // answering anything else.
                EXPECT_EQ(TopLevelWindows(run.Proc().Id()), std::vector<HWND>{box}) << c.name;
                Answer(box, IDOK);
                ASSERT_TRUE(run.Proc().Wait(20000)) << c.name;
            } else {
                ASSERT_TRUE(run.WaitFinished(20000)) << c.name;
                std::vector<std::string> lines = CrLfLines(run.Log());
                ASSERT_GE(lines.size(), 6u) << run.Log();
                std::string prefix = "The log file " + logFile + " could not be written: ";
                EXPECT_EQ(lines[0].substr(0, prefix.size()), prefix) << c.name;
                EXPECT_GT(lines[0].size(), prefix.size()) << "the system's message follows";
                if (!c.reason.empty()) {
                    EXPECT_EQ(lines[0].substr(prefix.size(), c.reason.size()), c.reason) << c.name;
                }
                EXPECT_EQ(lines[1], kWaitLines[0]);
                EXPECT_EQ(lines[3], "Invoking " + command);
                EXPECT_EQ(lines[4], "Completed exit code:5");
                EXPECT_EQ(lines[5].find("Error code:2 occurred on command missing-4711.exe\n"), 0u);
                EXPECT_TRUE(run.CloseWithOk());
            }
            EXPECT_EQ(ReadLines(marks).size(), 1u) << c.name << (silent ? " (silent)" : "");
            EXPECT_EQ(ReadFile(kit.File("Setup\\CustCmds.ini")), commandFile) << c.name;
        }
    }
    CloseHandle(lock);
    EXPECT_EQ(ReadFile(locked), "");
    for (const auto& kept : table.KeptFiles()) EXPECT_EQ(ReadFile(kept.first), kept.second) << kept.first;
    for (const std::string& path : table.NeverMade()) EXPECT_FALSE(FileExists(path)) << path;
}

// A run that Sarnik itself ends before its first command (the product's public directory cannot
// be made) still writes its block to the log file: why it ended, every command skipped, and the
// restart line, also where the command line asks for a restart and where nobody can answer.
TEST(RunLog, ARunEndedByAFailureOfItsOwnStillWritesItsBlock) {
    TempFolder root("blocked"), temp("temp");
    WriteFile(root / "file", "in the way");
    std::string blocked = root / "file\\Pub";
    RegistryValueRestorer custom(HKEY_LOCAL_MACHINE, "Software\\Brontell\\Quelvaran\\16.0", "CustomPublicLocation",
                                 KEY_WOW64_32KEY);
    ASSERT_TRUE(custom.SetString(blocked));
    const std::string lead = "The custom commands could not be run to the end: ";
    const std::string rebootBox = "Do you want to reboot the system now?";

    struct Case { const char* name; const char* keys; int reboot; std::vector<std::string> between; const char* restart; };
    const std::vector<std::string> unattendedRestart = {
        "Message box \"Error\" not shown (unattended run): <why>", "Unattended answer: OK",
        "Message box \"Reboot\" not shown (unattended run): " + rebootBox,
        "Unattended answer: No (Windows is not restarted; the restart is still due)",
        "A restart is due and was not done: restart Windows to finish the installation."};
    const Case cases[] = {
        {"the dialog", "", 0, {}, "not-asked"},
        {"the dialog, a restart asked for", "", 1,
         {"Message box \"Reboot\": " + rebootBox, "Answer: No"}, "asked-no"},
        {"the dialog, Reboot=TRUE", "Reboot=TRUE\r\n", 0,
         {"Message box \"Reboot\": " + rebootBox, "Answer: No"}, "asked-no"},
        {"unattended, a restart asked for", "Unattended=TRUE\r\n", 1, unattendedRestart, "due-unattended"},
        // The command file's own request is kept too, though the run ends before it reads the
        // commands as a run does.
        {"unattended, Reboot=TRUE", "Unattended=TRUE\r\nReboot=TRUE\r\n", 0, unattendedRestart, "due-unattended"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Kit kit;
        std::string marks = temp / "marks.txt";
        kit.SetCommandFile(std::string("[CustomCommands]\r\n") + c.keys + "LogFile=<Temp>\\logs\\run.log\r\n"
                           "Commands_0=" + Probe() + " mark \"<Temp>\\marks.txt\" ran\r\n"
                           "Commands_1=missing-4711.exe /a\r\n");
        std::string args = kit.Args(0, c.reboot, temp.Path());
        SarnikRun run(args);
        std::string shown;
        bool unattended = std::string(c.keys).find("Unattended") != std::string::npos;
        bool asked = std::string(c.restart) != "not-asked";
        if (!unattended) {
            if (asked) {
                HWND box = run.Box("Reboot", 20000);
                ASSERT_NE(box, nullptr) << run.Log();
                Answer(box, IDNO);
            }
            ASSERT_TRUE(run.WaitFinished(20000)) << run.Log();
            shown = CrLfLines(run.Log()).at(0);
            EXPECT_TRUE(run.CloseWithOk());
        } else {
            ASSERT_TRUE(run.Proc().Wait(30000)) << "a dialog or a question waits for a user";
        }
        EXPECT_EQ(run.Proc().ExitCode(), 1603u);

        std::string logFile = temp / "logs\\run.log";
        std::vector<std::string> lines = Unstamped(ReadFile(logFile));
        DeleteFileA(logFile.c_str());
        ASSERT_GE(lines.size(), 3u) << "no block for the run";
        size_t at = 0;
        EXPECT_EQ(lines[at++], SarnikCommandLine(args));
        if (unattended) {
            EXPECT_EQ(lines[at++], "Unattended run (Unattended=TRUE): no message box is shown; every question gets its default answer.");
        }
        std::string why = lines[at++];
        EXPECT_EQ(why.find(lead + "Unable to create the Quelvaran public directory \"" + blocked + "\"."), 0u) << why;
        if (!shown.empty()) {
            EXPECT_EQ(why, shown) << "the dialog's line";
        }
        std::vector<std::string> expected;
        for (std::string line : c.between) {
            size_t mark = line.find("<why>");
            if (mark != std::string::npos) line.replace(mark, 5, why);
            expected.push_back(line);
        }
        expected = Concat(expected, std::vector<std::string>{
                                        "Results:",
                                        "0\tskipped\t\t\t" + Probe() + " mark \"" + marks + "\" ran",
                                        "1\tskipped\t\t\tmissing-4711.exe /a",
                                        std::string("Restart: ") + c.restart, "Exit code: 1603"});
        EXPECT_EQ(std::vector<std::string>(lines.begin() + static_cast<long>(at), lines.end()), expected);
        EXPECT_FALSE(FileExists(marks)) << "no command ran";
    }
}

TEST(RunLog, TheNewKeysLeaveTheDialogAsBeforeAndWithoutThemNoFileIsWritten) {
    struct Case { const char* name; const char* keys; };
    const Case cases[] = {
        {"no new keys", ""},
        {"LogFile", "LogFile=log\\run.log\r\n"},
        {"RebootOnExitCodes not met", "RebootOnExitCodes=3010\r\n"},
        {"both", "LogFile=run.log\r\nRebootOnExitCodes=1641,3010\r\n"},
    };
    std::string baseline;
    for (const Case& c : cases) {
        Kit kit;
        // Commands that name no folder of their own, so that the logs of all rows are equal.
        kit.SetCommandFile(std::string("[CustomCommands]\r\n") + c.keys +
                           "Commands_0=" + Probe() + " exit 3\r\n"
                           "Commands_1=missing-4711.exe /x\r\n"
                           "Commands_2=" + Probe() + " exit 0\r\n");
        SarnikRun run(kit.Args());
        ASSERT_TRUE(run.WaitFinished(20000)) << c.name;
        EXPECT_EQ(WaitForWindow(run.Proc().Id(), "#32770", "Reboot", 0), nullptr) << c.name;
        std::string log = run.Log();
        EXPECT_TRUE(run.CloseWithOk()) << c.name;
        if (baseline.empty()) {
            baseline = log;
            // Six lines; the failure text's own CR LF inside it makes a seventh and an eighth.
            EXPECT_EQ(CrLfLines(log).size(), 8u) << log;
            // Nothing but the command file in the kit folder.
            WIN32_FIND_DATAA found;
            int entries = 0;
            HANDLE find = FindFirstFileA((kit.Dir() + "\\*").c_str(), &found);
            ASSERT_NE(find, INVALID_HANDLE_VALUE);
            do {
                std::string name = found.cFileName;
                if (name != "." && name != "..") {
                    ++entries;
                    EXPECT_EQ(name, "Setup");
                }
            } while (FindNextFileA(find, &found));
            FindClose(find);
            EXPECT_EQ(entries, 1);
        }
        EXPECT_EQ(log, baseline) << c.name;
    }
}

// The README's command-file examples, copied as they stand into kits, do what their comments
// say. The kits only add what makes the run visible or what the example leaves to the machine: a
// log file for the silent first example, its setup program, a command that ends with 1641, the
// unattended example's bootstrapper, and the output example's package, one whose custom action
// fails.
TEST(RunLog, ReadmeExamplesDoWhatTheirCommentsSay) {
    std::vector<std::string> examples = IniExamples();
    ASSERT_EQ(examples.size(), 4u);
    // The reference's kit for a deployment tool is the README's last one: running one runs both.
    std::vector<std::string> reference = IniExamples("command-file.md");
    EXPECT_NE(std::find(reference.begin(), reference.end(), examples[3]), reference.end());
    {
        // "never ask": no box at all, though a command cannot be started and a restart is asked
        // for; the run ends by itself with the documented answers in the log and exit code 1603.
        Kit kit;
        TempFolder temp("temp");
        MakeDirs(kit.File("Redist"));
        ASSERT_TRUE(CopyFileA(BinPath("probe.exe").c_str(), kit.File("Redist\\bootstrap.exe").c_str(), FALSE));
        kit.SetCommandFile(examples[2]);
        SarnikRun run(kit.Args(0, 0, temp.Path()));
        ASSERT_TRUE(run.Proc().Wait(120000)) << "the unattended run waits for an answer";
        EXPECT_EQ(run.Proc().ExitCode(), 1603u);
        std::string log = ReadFile(temp / "MyKit-commands.log");
        std::vector<std::string> lines = Unstamped(log);
        ASSERT_GE(lines.size(), 3u) << log;
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.compare(0, 19, "Unattended answer: ") == 0; }),
                  2)
            << log;
        EXPECT_EQ(lines[lines.size() - 2], "Restart: due-unattended") << log;
        EXPECT_EQ(lines.back(), "Exit code: 1603") << log;
    }
    {
        Kit kit;
        TempFolder install("install");
        MakeDirs(kit.File("Redist"));
        ASSERT_TRUE(CopyFileA(BinPath("probe.exe").c_str(), kit.File("Redist\\setup.exe").c_str(), FALSE));
        kit.SetCommandFile(WithKeys(examples[0], "LogFile=run.log\r\n"));
        SarnikRun run(kit.Args(0, 0, "", install.Path()));
        // "ask about a restart at the end"
        HWND reboot = run.Box("Reboot", 60000);
        ASSERT_NE(reboot, nullptr) << ReadFile(kit.File("run.log"));
        // "run silently": the run is over and no dialog was made.
        EXPECT_EQ(run.Dialog(0), nullptr);
        Answer(reboot, IDNO);
        ASSERT_TRUE(run.Proc().Wait(20000));
        std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
        ASSERT_GE(lines.size(), 3u);
        // "optional replacements of the texts Sarnik shows"
        EXPECT_EQ(lines[1], "Waiting for the installation to finish...");
        std::string regsvr32 = "regsvr32.exe /s \"" + install.Path() + "\\ext.dll\"";
        std::string setup = "Invoking " + kit.File("Redist\\setup.exe") + " /q";
        bool registered = false, setupRan = false;
        for (size_t i = 0; i + 1 < lines.size(); ++i) {
            registered |= lines[i].compare(0, 9, "Invoking ") == 0 && lines[i].size() > regsvr32.size() &&
                          lines[i].compare(lines[i].size() - regsvr32.size(), regsvr32.size(), regsvr32) == 0 &&
                          lines[i + 1].compare(0, 20, "Completed exit code:") == 0;
            setupRan |= lines[i] == setup && lines[i + 1] == "Completed exit code:0";
        }
        EXPECT_TRUE(registered) << ReadFile(kit.File("run.log"));
        EXPECT_TRUE(setupRan) << ReadFile(kit.File("run.log"));
        EXPECT_EQ(lines[lines.size() - 2], "Restart: asked-no");
        EXPECT_EQ(lines.back(), "Exit code: 3010");
    }
    {
        Kit kit;
        TempFolder temp("temp");
        kit.SetCommandFile(WithKeys(examples[1], "Commands_2=" + Probe() + " exit 1641\r\n"));
        SarnikRun run(kit.Args(0, 0, temp.Path()));
        // The missing tool cannot be started: the silent run asks whether to go on.
        HWND error = run.Box("Error", 60000);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(run.Dialog(0), nullptr);
        Answer(error, IDYES);
        // "exit codes that ask for the restart question at the end": 1641 does.
        HWND reboot = run.Box("Reboot", 60000);
        ASSERT_NE(reboot, nullptr);
        Answer(reboot, IDNO);
        ASSERT_TRUE(run.Proc().Wait(20000));
        // "macros as in commands": the log file has the name the key gives, in the folder of <Temp>.
        std::string log = ReadFile(temp / "MyKit-commands.log");
        std::vector<std::string> lines = Unstamped(log);
        ASSERT_GE(lines.size(), 6u) << log;
        EXPECT_NE(std::find(lines.begin(), lines.end(), "Command asked for a restart (exit code 1641)."), lines.end())
            << log;
        for (const std::string& line : lines) EXPECT_EQ(line.find("is not an exit code"), std::string::npos) << line;
        size_t results = lines.size() - 6;
        EXPECT_EQ(lines[results], "Results:") << log;
        EXPECT_EQ(lines[results + 1].substr(0, 12), "0\tcompleted\t") << log;
        EXPECT_EQ(lines[results + 2].substr(0, 14), "1\tnot-started\t") << log;
        EXPECT_EQ(lines[results + 3].substr(0, 17), "2\tcompleted\t1641\t") << log;
        EXPECT_EQ(lines[results + 4], "Restart: asked-no");
        EXPECT_EQ(lines[results + 5], "Exit code: 1603");
        // Nothing else was written to the temporary folder.
        WIN32_FIND_DATAA found;
        std::vector<std::string> names;
        HANDLE find = FindFirstFileA((temp / "*").c_str(), &found);
        ASSERT_NE(find, INVALID_HANDLE_VALUE);
        do {
            if (std::string(found.cFileName) != "." && std::string(found.cFileName) != "..") names.push_back(found.cFileName);
        } while (FindNextFileA(find, &found));
        FindClose(find);
        EXPECT_EQ(names, std::vector<std::string>{"MyKit-commands.log"});
    }
    {
        // The package is one whose custom action fails.
        Kit kit;
        TempFolder temp("temp");
        MakeDirs(kit.File("Redist"));
        ASSERT_TRUE(CopyFileA(BinPath("failingpackage.msi").c_str(), kit.File("Redist\\runtime.msi").c_str(), FALSE));
        kit.SetCommandFile(examples[3]);
        SarnikRun run(kit.Args(0, 0, temp.Path()));
        ASSERT_TRUE(run.Proc().Wait(300000)) << "the unattended run waits for an answer";
        std::string log = ReadFile(temp / "MyKit-commands.log");
        std::vector<std::string> lines = Unstamped(log);
        // "what each command prints goes into the log, marked [N out] and [N err]"
        auto echoed = std::find(lines.begin(), lines.end(), "[0 out] Installing the runtime...");
        ASSERT_NE(echoed, lines.end()) << log;
        EXPECT_EQ(echoed[1], "Completed exit code:0") << log;
        // "any other exit code fails the command, and Sarnik exits with 1603"
        ASSERT_GE(lines.size(), 5u) << log;
        size_t results = lines.size() - 5;
        EXPECT_EQ(lines[results], "Results:") << log;
        EXPECT_EQ(lines[results + 1].substr(0, 14), "0\tcompleted\t0\t") << log;
        EXPECT_EQ(lines[results + 2].substr(0, 9), "1\tfailed\t") << log;
        EXPECT_EQ(lines[results + 4], "Exit code: 1603");
        EXPECT_EQ(run.Proc().ExitCode(), 1603u);
    }
}

TEST(RunLog, HostileTextsAndValuesEndTheRunInOrder) {
    // Each kit is run in the dialog with a log file: the run reaches its end (OK usable, the
    // results table written), the command after the hostile one runs, and the file holds the
    // lines that say what happened.
    std::string junk;
    for (int i = 0; i < 1000; ++i) junk += (i ? "," : "") + std::string("x") + std::to_string(i);
    const std::string digits(30000, '7');
    struct Case {
        const char* name;
        std::string keys;      // [CustomCommands] keys before the commands
        std::string strings;   // the [Strings] section's lines
        std::string command;   // Commands_0
        std::vector<std::string> shown;  // lines the dialog must show, in this order (prefixes)
        std::string row0;      // the results table's row of Commands_0 (a prefix)
    };
    const Case cases[] = {
        {"a command of 40,000 characters", "", "", "cmd /c echo " + std::string(40000, 'x'),
         {"Error code:"}, "0\tnot-started\t"},
        {"a display text with a huge field width", "", "CompletedExitCode=%99999999d\r\n", Probe() + " exit 7",
         {"Invoking ", "Completed exit code:7"}, "0\tcompleted\t7\t"},
        {"a display text with a huge precision", "", "CompletedExitCode=done %.2100000d\r\n", Probe() + " exit 7",
         {"Invoking ", "Completed exit code:7"}, "0\tcompleted\t7\t"},
        {"a thousand entries that are no exit codes", "RebootOnExitCodes=3010," + junk + "\r\n", "",
         Probe() + " exit 0",
         {"RebootOnExitCodes entries \"x0\", \"x1\", \"x2\", \"x3\", \"x4\", \"x5\", \"x6\", \"x7\", \"x8\", "
          "\"x9\" and 990 more are not exit codes and are ignored.",
          "Waiting for"},
         "0\tcompleted\t0\t"},
        {"an entry of 30,000 digits", "RebootOnExitCodes=" + digits + "\r\n", "", Probe() + " exit 0",
         {"RebootOnExitCodes entry \"" + digits.substr(0, 40) + "...\" is not an exit code and is ignored.",
          "Waiting for"},
         "0\tcompleted\t0\t"},
    };
    for (const Case& c : cases) {
        Kit kit;
        std::string marks = kit.File("marks.txt");
        std::string after = Probe() + " mark " + marks + " after";
        kit.SetCommandFile("[CustomCommands]\r\nLogFile=run.log\r\n" + c.keys + "Commands_0=" + c.command +
                           "\r\nCommands_1=" + after + "\r\n[Strings]\r\n" + c.strings);
        SarnikRun run(kit.Args());
        ASSERT_TRUE(run.WaitFinished(120000)) << c.name;
        std::vector<std::string> shown = CrLfLines(run.Log());
        ASSERT_FALSE(shown.empty()) << c.name;
        EXPECT_EQ(shown.back(), "Completed exit code:0") << c.name;
        EXPECT_TRUE(run.CloseWithOk()) << c.name;
        EXPECT_EQ(ReadLines(marks).size(), 1u) << c.name << ": the command after it ran";

        // The file holds every line the dialog showed, also those its 32,766 bytes no longer hold.
        std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
        size_t at = 0;
        for (const std::string& expected : c.shown) {
            while (at < lines.size() && lines[at].compare(0, expected.size(), expected) != 0) ++at;
            EXPECT_LT(at, lines.size()) << c.name << ": no line " << expected;
        }
        size_t ignoredLines = 0;
        for (const std::string& line : lines) ignoredLines += line.compare(0, 17, "RebootOnExitCodes") == 0;
        EXPECT_LE(ignoredLines, 1u) << c.name << ": the ignored entries are named together";
        ASSERT_GE(lines.size(), 5u) << c.name;
        EXPECT_EQ(lines[lines.size() - 5], "Results:") << c.name;
        EXPECT_EQ(lines[lines.size() - 4].substr(0, c.row0.size()), c.row0) << c.name;
        EXPECT_EQ(lines[lines.size() - 3].substr(0, 14), "1\tcompleted\t0\t") << c.name;
        EXPECT_EQ(lines[lines.size() - 2], "Restart: not-asked") << c.name;
    }
}
