// The real sarnik.exe where nobody can answer and with the keys for unattended installations:
// a window station that is not visible (made by the test, as a service or a deployment tool has
// one), Unattended, CommandTimeout and WaitForChildProcesses, and Sarnik's exit code for the tool
// that runs it. The default run where a user sits stays as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/KitPackage.h"
#include "support/TestSupport.h"

using namespace test;

namespace {
std::string Probe() { return Quoted(BinPath("probe.exe")); }

// A log file's lines without the "YYYY-MM-DD hh:mm:ss.mmm " every line starts with.
std::vector<std::string> Unstamped(const std::string& content) {
    std::vector<std::string> lines;
    for (const std::string& line : CrLfLines(content)) {
        EXPECT_TRUE(line.size() >= 24 && line[4] == '-' && line[10] == ' ' && line[19] == '.' && line[23] == ' ')
            << "line without its time: " << line;
        lines.push_back(line.size() >= 24 ? line.substr(24) : line);
    }
    return lines;
}

std::vector<std::string> SystemMessageLines(DWORD code) {
    char message[1024] = "";
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, message,
                   sizeof message, nullptr);
    return CrLfLines(message);
}

template <class T>
void Append(std::vector<T>& a, const std::vector<T>& b) { a.insert(a.end(), b.begin(), b.end()); }

// The first word of each line of a marks file, in order.
std::vector<std::string> MarkNames(const std::string& file) {
    std::vector<std::string> names;
    for (const std::string& line : ReadLines(file)) names.push_back(Words(line)[0]);
    return names;
}

unsigned long MarkTick(const std::string& file, const std::string& name) {
    for (const std::string& line : ReadLines(file))
        if (Words(line)[0] == name) return std::stoul(Words(line)[1]);
    ADD_FAILURE() << "no mark " << name << " in " << ReadFile(file);
    return 0;
}

// The log file's lines after "Results:", without their time stamps.
std::vector<std::string> ResultLines(const std::vector<std::string>& lines) {
    auto at = std::find(lines.begin(), lines.end(), "Results:");
    return at == lines.end() ? std::vector<std::string>() : std::vector<std::string>(at + 1, lines.end());
}

bool Has(const std::vector<std::string>& lines, const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

// The field of a results row (N, status, code, seconds, ...).
std::string Field(const std::string& row, size_t n) {
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = row.find('\t', start)) != std::string::npos; start = tab + 1) fields.push_back(row.substr(start, tab - start));
    fields.push_back(row.substr(start));
    return n < fields.size() ? fields[n] : "<no field " + std::to_string(n) + " in " + row + ">";
}

// A window station of the test's own with one desktop. Windows and Wine make such a station
// without WSF_VISIBLE: to a program started on it, it is what a service's station is. A message
// box shown there is seen by nobody and waits for ever.
class InvisibleStation {
public:
    InvisibleStation() {
        static int counter = 0;
        m_name = "sarnik-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        m_station = CreateWindowStationA(m_name.c_str(), 0, WINSTA_ALL_ACCESS, nullptr);
        HWINSTA own = GetProcessWindowStation();
        // A desktop is made on the process's station: switched there for the call, and back.
        if (m_station && SetProcessWindowStation(m_station)) {
            m_desktop = CreateDesktopA("desk", nullptr, nullptr, 0, GENERIC_ALL, nullptr);
            SetProcessWindowStation(own);
        }
    }
    ~InvisibleStation() {
        if (m_desktop) CloseDesktop(m_desktop);
        if (m_station) CloseWindowStation(m_station);
    }
    InvisibleStation(const InvisibleStation&) = delete;
    InvisibleStation& operator=(const InvisibleStation&) = delete;
    bool Ready() const { return m_desktop != nullptr; }
    std::string Desktop() const { return m_name + "\\desk"; }
    // A top-level window of that desktop with the class and title, waiting up to ms.
    HWND Window(const char* cls, const char* title, DWORD ms) const {
        Find find{cls, title, nullptr};
        WaitUntil([&] {
            EnumDesktopWindows(m_desktop, Match, reinterpret_cast<LPARAM>(&find));
            return find.found != nullptr;
        }, ms);
        return find.found;
    }

private:
    struct Find { const char* cls; const char* title; HWND found; };
    // A callback of the platform's calling convention, which a lambda cannot give on x86.
    static BOOL CALLBACK Match(HWND h, LPARAM lp) {
        Find* f = reinterpret_cast<Find*>(lp);
        if (ClassOf(h) != f->cls || WindowText(h) != f->title) return TRUE;
        f->found = h;
        return FALSE;
    }

    std::string m_name;
    HWINSTA m_station = nullptr;
    HDESK m_desktop = nullptr;
};
}  // namespace

TEST(Unattended, NobodyCanAnswerOnAStationThatIsNotVisible) {
    InvisibleStation station;
    ASSERT_TRUE(station.Ready()) << "CreateWindowStation/CreateDesktop: " << GetLastError();
    // A silent kit and a dialog kit: neither shows anything there, and the run ends by itself.
    struct Case { const char* name; const char* mode; };
    const Case cases[] = {{"ShowDialog=FALSE", "ShowDialog=FALSE\r\n"}, {"the dialog", ""}};
    for (const Case& c : cases) {
        Kit kit;
        std::string marks = kit.File("marks.txt");
        std::string next = Probe() + " mark " + marks + " next";
        kit.SetCommandFile(std::string("[CustomCommands]\r\n") + c.mode + "LogFile=run.log\r\n"
                           "Commands_0=missing-4711.exe /a\r\n"
                           "Commands_1=" + next + "\r\n");
        SarnikRun run(kit.Args(0, 1), {}, station.Desktop());
        ASSERT_TRUE(run.Proc().Started()) << c.name;
        ASSERT_TRUE(run.Proc().Wait(60000)) << c.name << ": the run waits for an answer nobody can give";
        EXPECT_EQ(run.Proc().ExitCode(), 1603u) << c.name;
        EXPECT_EQ(MarkNames(marks), std::vector<std::string>{"next"}) << c.name << ": the run went on";

        std::vector<std::string> failure = SystemMessageLines(ERROR_FILE_NOT_FOUND);
        failure.insert(failure.begin(), "Error code:2 occurred on command missing-4711.exe /a");
        std::vector<std::string> expected = {
            "Unattended run (the window station is not visible): no message box is shown; every question gets "
            "its default answer.",
            "Waiting for parent installer to complete...", "Parent installer complete."};
        Append(expected, failure);
        std::vector<std::string> box = failure;
        box[0] = "Message box \"Error\" not shown (unattended run): " + box[0];
        Append(box, {"", "", "Do you want to continue running commands?"});
        Append(expected, box);
        Append(expected, {"Unattended answer: Yes (go on with the remaining commands)",
                          "Invoking " + next, "Completed exit code:0",
                          "Message box \"Reboot\" not shown (unattended run): Do you want to reboot the system now?",
                          "Unattended answer: No (Windows is not restarted; the restart is still due)",
                          "A restart is due and was not done: restart Windows to finish the installation.",
                          "Results:", "0\tnot-started\t2\t0.0\tmissing-4711.exe /a"});
        std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
        ASSERT_EQ(lines.size(), expected.size() + 4) << c.name << "\n" << ReadFile(kit.File("run.log"));
        for (size_t i = 0; i < expected.size(); ++i)
            EXPECT_EQ(lines[i + 1], expected[i]) << c.name << " line " << i + 1;
        EXPECT_EQ(lines[expected.size() + 1].substr(0, 14), "1\tcompleted\t0\t") << c.name;
        EXPECT_EQ(lines[lines.size() - 2], "Restart: due-unattended") << c.name;
        EXPECT_EQ(lines.back(), "Exit code: 1603") << c.name << ": what the tool was told";
    }
}

TEST(Unattended, FalseKeepsAskingWhereNobodyCanAnswer) {
    // A kit that must always ask: the box comes on the invisible desktop, where only this test
    // can find it.
    InvisibleStation station;
    ASSERT_TRUE(station.Ready());
    Kit kit;
    kit.SetCommandFile("[CustomCommands]\r\nShowDialog=FALSE\r\nUnattended=false\r\nCommands_0=missing-4711.exe\r\n");
    SarnikRun run(kit.Args(), {}, station.Desktop());
    HWND box = station.Window("#32770", "Error", 30000);
    ASSERT_NE(box, nullptr) << "the question is asked";
    EXPECT_EQ(MessageBoxText(box).find("Error code:2 occurred on command missing-4711.exe\n"), 0u);
    Answer(box, IDOK);
    ASSERT_TRUE(run.Proc().Wait(20000));
    EXPECT_EQ(run.Proc().ExitCode(), 1603u);
}

TEST(Unattended, TrueWithRebootLeavesTheRestartDue) {
    // Where a user sits: no dialog to close and no question, the run ends by itself with 3010.
    Kit kit;
    std::string command = Probe() + " exit 0";
    kit.SetCommandFile("[CustomCommands]\r\nUnattended=TRUE\r\nReboot=TRUE\r\nLogFile=run.log\r\n"
                       "Commands_0=" + command + "\r\n");
    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.Proc().Wait(30000)) << "a dialog or a question waits for a user";
    EXPECT_EQ(run.Proc().ExitCode(), 3010u);
    std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
    std::vector<std::string> expected = {
        "Unattended run (Unattended=TRUE): no message box is shown; every question gets its default answer.",
        "Waiting for parent installer to complete...", "Parent installer complete.",
        "Invoking " + command, "Completed exit code:0",
        "Message box \"Reboot\" not shown (unattended run): Do you want to reboot the system now?",
        "Unattended answer: No (Windows is not restarted; the restart is still due)",
        "A restart is due and was not done: restart Windows to finish the installation.",
        "Results:"};
    ASSERT_EQ(lines.size(), expected.size() + 4) << ReadFile(kit.File("run.log"));
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(lines[i + 1], expected[i]) << "line " << i + 1;
    EXPECT_EQ(lines[lines.size() - 2], "Restart: due-unattended");
    EXPECT_EQ(lines.back(), "Exit code: 3010");
}

TEST(CommandTimeout, AnEngineMutexHeldPastTheLimitHoldsTheRunUpNoLonger) {
    // The setup engine's mutex held until the test lets go: by a command over its limit, or by a
    // helper that a command which ends at once leaves behind. The run's wait for the engine after
    // the command has the same limit, so the next command starts while the mutex is still held;
    // the run says so and fails, since the engine's installation has not ended.
    struct Case { const char* name; const char* command; std::vector<std::string> after; };
    const std::string busy = "The setup engine was still busy 2 s after the command ended; the run goes on without "
                             "waiting for it.";
    const Case cases[] = {
        {"the command itself", " holduntil _ZQParentixMutex <event> 300000 mark <marks> released",
         {"Still running after 2 s; the run goes on without it.", busy}},
        {"a helper it leaves", " spawn \"holduntil _ZQParentixMutex <event> 300000\" waitheld _ZQParentixMutex 60000 exit 0",
         {"Completed exit code:0", busy}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Kit kit;
        std::string marks = kit.File("marks.txt");
        std::string event = "sarnik-test-release-" + std::to_string(GetCurrentProcessId());
        HANDLE release = CreateEventA(nullptr, TRUE, FALSE, event.c_str());
        ASSERT_NE(release, nullptr);
        std::string slow = Probe() + c.command;
        slow.replace(slow.find("<event>"), 7, event);
        if (slow.find("<marks>") != std::string::npos) slow.replace(slow.find("<marks>"), 7, marks);
        kit.SetCommandFile("[CustomCommands]\r\nShowDialog=FALSE\r\nLogFile=run.log\r\nCommandTimeout=2\r\n"
                           "Commands_0=" + slow + "\r\nCommands_1=" + Probe() + " mark " + marks + " next\r\n");
        SarnikRun run(kit.Args());
        bool ended = run.Proc().Wait(120000);
        std::vector<std::string> lines = ReadLines(marks);
        SetEvent(release);
        CloseHandle(release);
        ASSERT_TRUE(ended) << "the run waits for the engine's mutex for as long as it is held";
        EXPECT_EQ(run.Proc().ExitCode(), 1603u);
        ASSERT_EQ(lines.size(), 1u) << ReadFile(marks);
        std::vector<std::string> fields = Words(lines[0]);
        ASSERT_EQ(fields.size(), 4u) << lines[0];
        EXPECT_EQ(fields[0], "next");
        EXPECT_EQ(fields[2], "held") << "the engine's mutex when the next command ran";

        std::vector<std::string> logged = Unstamped(ReadFile(kit.File("run.log")));
        auto invoked = std::find(logged.begin(), logged.end(), "Invoking " + slow);
        ASSERT_TRUE(logged.end() - invoked > static_cast<long>(c.after.size())) << ReadFile(kit.File("run.log"));
        EXPECT_EQ(std::vector<std::string>(invoked + 1, invoked + 1 + static_cast<long>(c.after.size())), c.after);
        EXPECT_EQ(invoked[1 + c.after.size()].substr(0, 9), "Invoking ");
        EXPECT_EQ(logged.back(), "Exit code: 1603");
    }
}

TEST(CommandTimeout, TheNextCommandStartsAfterTheLimitAndTheSlowOneRunsOn) {
    // Alone, and with the tree of a bootstrapper that hands its work to a child and exits.
    struct Case { const char* name; const char* keys; bool tree; };
    const Case cases[] = {{"one process", "", false}, {"the whole tree", "WaitForChildProcesses=TRUE\r\n", true}};
    for (const Case& c : cases) {
        Kit kit;
        std::string marks = kit.File("marks.txt"), release = kit.File("release");
        std::string hung = "waitfile " + release + " 60000 mark " + marks + " slow-end";
        // The command itself marks its start, the closest a mark comes to the start of its time
        // limit. Words after the spawned one: a value in one pair of quotation marks would lose them.
        std::string slow = c.tree ? Probe() + " mark " + marks + " slow spawn \"" + hung + "\" exit 0"
                                  : Probe() + " mark " + marks + " slow " + hung;
        kit.SetCommandFile(std::string("[CustomCommands]\r\nShowDialog=FALSE\r\nLogFile=run.log\r\nCommandTimeout=2\r\n") +
                           c.keys + "Commands_0=" + slow + "\r\nCommands_1=" + Probe() + " mark " + marks + " next\r\n");
        SarnikRun run(kit.Args());
        ASSERT_TRUE(run.Proc().Wait(40000)) << c.name;
        EXPECT_EQ(run.Proc().ExitCode(), 1603u) << c.name;
        EXPECT_EQ(MarkNames(marks), (std::vector<std::string>{"slow", "next"})) << c.name << ": " << ReadFile(marks);
        EXPECT_GE(MarkTick(marks, "next") - MarkTick(marks, "slow"), 1900u) << c.name;

        std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
        // The bootstrapper itself ended at once: its exit code is known, its child is what ran on.
        std::vector<std::string> timedOut = c.tree ? std::vector<std::string>{"Completed exit code:0",
                                                                              "Processes it started still run after 2 s; "
                                                                              "the run goes on without them."}
                                                   : std::vector<std::string>{"Still running after 2 s; the run goes on "
                                                                              "without it."};
        ASSERT_GE(lines.size(), 9u + timedOut.size()) << ReadFile(kit.File("run.log"));
        EXPECT_EQ(lines[3], "Invoking " + slow) << c.name;
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.begin() + 4 + static_cast<long>(timedOut.size())), timedOut)
            << c.name;
        EXPECT_EQ(lines[4 + timedOut.size()], "Invoking " + Probe() + " mark " + marks + " next") << c.name;
        std::string row = lines[lines.size() - 4];
        EXPECT_EQ(row.substr(0, 13), c.tree ? "0\ttimed-out\t0" : "0\ttimed-out\t\t") << row;
        EXPECT_EQ(row.substr(row.size() - slow.size()), slow) << row;
        if (c.tree) {
            EXPECT_EQ(row.substr(row.size() - slow.size() - 3, 3), "\t2\t") << "child and grandchild: " << row;
        }
        // Not killed: released, the slow command finishes its work.
        WriteFile(release, "");
        EXPECT_TRUE(WaitUntil([&] { return MarkNames(marks).size() == 3; }, 30000)) << c.name;
        EXPECT_EQ(MarkNames(marks).back(), "slow-end") << c.name;
    }
}

TEST(WaitForChildProcesses, TheNextCommandWaitsForTheGrandchild) {
    Kit kit;
    std::string marks = kit.File("marks.txt");
    std::string bootstrapper = Probe() + " spawn \"mark " + marks + " grandchild sleep 1500 mark " + marks +
                               " grandchild-end\" mark " + marks + " child-exit";
    kit.SetCommandFile("[CustomCommands]\r\nShowDialog=FALSE\r\nLogFile=run.log\r\nWaitForChildProcesses=TRUE\r\n"
                       "Commands_0=" + bootstrapper + "\r\nCommands_1=" + Probe() + " mark " + marks + " next\r\n");
    // As a deployment tool runs it: inside a job of its own, so that the commands' jobs nest.
    HANDLE outer = CreateJobObjectA(nullptr, nullptr);
    ASSERT_NE(outer, nullptr);
    SarnikRun run(kit.Args());
    EXPECT_TRUE(AssignProcessToJobObject(outer, run.Proc().Handle())) << GetLastError();
    ASSERT_TRUE(run.Proc().Wait(40000));
    EXPECT_EQ(run.Proc().ExitCode(), 0u);
    std::vector<std::string> names = MarkNames(marks);
    ASSERT_EQ(names.size(), 4u) << ReadFile(marks);
    EXPECT_EQ(names[2], "grandchild-end") << ReadFile(marks);
    EXPECT_EQ(names[3], "next") << ReadFile(marks);
    std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
    ASSERT_GE(lines.size(), 4u);
    std::vector<std::string> results = ResultLines(lines);
    ASSERT_EQ(results.size(), 4u) << ReadFile(kit.File("run.log"));
    EXPECT_EQ(results[0].substr(0, 14), "0\tcompleted\t0\t") << results[0];
    EXPECT_NE(results[0].find("\t2\t" + bootstrapper), std::string::npos) << "two processes";
    EXPECT_NE(results[1].find("\t1\t" + Probe()), std::string::npos) << "one process";
    EXPECT_EQ(results[3], "Exit code: 0");
    CloseHandle(outer);
}

TEST(WaitForChildProcesses, WithoutTheKeyTheNextCommandDoesNotWait) {
    Kit kit;
    std::string marks = kit.File("marks.txt"), release = kit.File("release");
    kit.SetCommandFile("[CustomCommands]\r\nShowDialog=FALSE\r\n"
                       "Commands_0=" + Probe() + " spawn \"waitfile " + release + " 60000 mark " + marks +
                       " grandchild-end\" mark " + marks + " child-exit\r\n"
                       "Commands_1=" + Probe() + " mark " + marks + " next\r\n");
    SarnikRun run(kit.Args());
    // The run ends while the grandchild still waits for its release.
    ASSERT_TRUE(run.Proc().Wait(40000));
    EXPECT_EQ(run.Proc().ExitCode(), 0u);
    EXPECT_EQ(MarkNames(marks), (std::vector<std::string>{"child-exit", "next"}));
    WriteFile(release, "");
    EXPECT_TRUE(WaitUntil([&] { return MarkNames(marks).size() == 3; }, 30000));
}

TEST(ExitCode, TheDefaultRunWhereAUserSitsIsAsItWas) {
    // The new keys set but not met change nothing a user sees; the exit code tells the outcome.
    struct Case { const char* name; const char* keys; };
    const Case cases[] = {
        {"no new keys", ""},
        {"keys that ask for nothing new", "Unattended=FALSE\r\nCommandTimeout=600\r\nWaitForChildProcesses=TRUE\r\n"},
    };
    for (const Case& c : cases) {
        Kit kit;
        std::string first = Probe() + " exit 3", second = Probe() + " exit 0";
        kit.SetCommandFile(std::string("[CustomCommands]\r\n") + c.keys + "Commands_0=" + first + "\r\nCommands_1=" +
                           second + "\r\n");
        SarnikRun run(kit.Args());
        ASSERT_TRUE(run.WaitFinished(30000)) << c.name;
        EXPECT_EQ(run.Log(), "Waiting for parent installer to complete...\r\nParent installer complete.\r\nInvoking " +
                                 first + "\r\nCompleted exit code:3\r\nInvoking " + second + "\r\nCompleted exit code:0\r\n")
            << c.name;
        ASSERT_TRUE(run.CloseWithOk()) << c.name;
        EXPECT_EQ(run.Proc().ExitCode(), 0u) << c.name;
    }
}

TEST(ExitCode, TheAnswersDecideAndTheCodeReportsTheOutcome) {
    struct Case { const char* name; const char* ini; int reboot; DWORD code; };
    const Case cases[] = {
        {"a command that cannot start", "Commands_0=missing-4711.exe\r\n", 0, 1603},
        {"restart answered No", "Commands_0=<probe> exit 5\r\n", 1, 3010},
        {"stopped at a failure", "ShowDialog=FALSE\r\nCommands_0=missing-4711.exe\r\nCommands_1=<probe> exit 0\r\n", 0, 1603},
    };
    for (const Case& c : cases) {
        Kit kit;
        std::string ini = c.ini;
        size_t at = ini.find("<probe>");
        if (at != std::string::npos) ini.replace(at, 7, Probe());
        kit.SetCommandFile("[CustomCommands]\r\n" + ini);
        SarnikRun run(kit.Args(0, c.reboot));
        if (HWND error = run.Box("Error", ini.find("ShowDialog") != std::string::npos ? 20000 : 0)) Answer(error, IDNO);
        if (c.reboot) {
            HWND box = run.Box("Reboot", 20000);
            ASSERT_NE(box, nullptr) << c.name;
            Answer(box, IDNO);
        }
        if (ini.find("ShowDialog") == std::string::npos) {
            ASSERT_TRUE(run.WaitFinished(20000)) << c.name;
            ASSERT_TRUE(run.CloseWithOk()) << c.name;
        }
        ASSERT_TRUE(run.Proc().Wait(20000)) << c.name;
        EXPECT_EQ(run.Proc().ExitCode(), c.code) << c.name;
    }
}


TEST(NoDisplay, ARunWhoseDialogCannotBeShownGoesOnUnattended) {
    // A desktop without a display: Wine's desktop process takes the graphics driver of a new
    // desktop from HKCU\Software\Wine\Drivers, and with none that can be loaded no window can be
    // made on it, as on Windows where a process has no access to its desktop. The desktop is
    // visible, so the kit's dialog is tried.
    RegistryValueRestorer driver(HKEY_CURRENT_USER, "Software\\Wine\\Drivers", "Graphics");
    ASSERT_TRUE(driver.SetString("sarnik-test-no-display"));
    std::string name = "sarnik-no-display-" + std::to_string(GetCurrentProcessId());
    HDESK desktop = CreateDesktopA(name.c_str(), nullptr, nullptr, 0, GENERIC_ALL, nullptr);
    ASSERT_NE(desktop, nullptr) << GetLastError();

    Kit kit;
    std::string marks = kit.File("marks.txt");
    std::string next = Probe() + " mark " + marks + " next";
    kit.SetCommandFile("[CustomCommands]\r\nReboot=TRUE\r\nLogFile=run.log\r\n"
                       "Commands_0=missing-4711.exe /a\r\nCommands_1=" + next + "\r\n");
    SarnikRun run(kit.Args(), {}, "winsta0\\" + name);
    bool ended = run.Proc().Wait(60000);
    CloseDesktop(desktop);
    ASSERT_TRUE(ended) << "the run waits for a window or an answer nobody can give";
    EXPECT_EQ(run.Proc().ExitCode(), 1603u) << "a command could not be started";
    EXPECT_EQ(MarkNames(marks), std::vector<std::string>{"next"}) << "the commands ran";
    std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
    ASSERT_GE(lines.size(), 3u) << ReadFile(kit.File("run.log"));
    EXPECT_EQ(lines[1], "Unattended run (the dialog could not be shown): no message box is shown; every question gets "
                        "its default answer.");
    EXPECT_TRUE(Has(lines, "Unattended answer: Yes (go on with the remaining commands)")) << ReadFile(kit.File("run.log"));
    EXPECT_TRUE(Has(lines, "A restart is due and was not done: restart Windows to finish the installation."));
    EXPECT_EQ(lines[lines.size() - 2], "Restart: due-unattended");
    EXPECT_EQ(lines.back(), "Exit code: 1603");
}

TEST(WaitForChildProcesses, AHelperThatBreaksAwayIsNotWaitedFor) {
    // A bootstrapper whose helper leaves the job, as it may ask: it starts with the key as
    // without it, and the run waits for it in neither.
    struct Case { const char* name; const char* keys; };
    const Case cases[] = {{"with the key", "WaitForChildProcesses=TRUE\r\n"}, {"without the key", ""}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Kit kit;
        std::string marks = kit.File("marks.txt"), release = kit.File("release");
        std::string bootstrapper = Probe() + " spawnaway \"waitfile " + release + " 60000 mark " + marks +
                                   " helper-end\" mark " + marks + " bootstrapper";
        std::string next = Probe() + " mark " + marks + " next";
        kit.SetCommandFile(std::string("[CustomCommands]\r\nShowDialog=FALSE\r\nLogFile=run.log\r\n") + c.keys +
                           "Commands_0=" + bootstrapper + "\r\nCommands_1=" + next +
                           "\r\nCommands_2=missing-4711.exe /a\r\nCommands_3=" + next + "\r\n");
        SarnikRun run(kit.Args());
        // A command failed to start: the silent run asks whether to go on.
        HWND box = run.Box("Error", 40000);
        ASSERT_NE(box, nullptr) << ReadFile(kit.File("run.log"));
        Answer(box, IDYES);
        ASSERT_TRUE(run.Proc().Wait(40000)) << "the run waits for the helper";
        EXPECT_EQ(MarkNames(marks), (std::vector<std::string>{"bootstrapper", "next", "next"})) << ReadFile(marks);
        std::vector<std::string> results = ResultLines(Unstamped(ReadFile(kit.File("run.log"))));
        ASSERT_EQ(results.size(), 6u) << ReadFile(kit.File("run.log"));
        EXPECT_EQ(Field(results[0], 1), "completed") << results[0];
        EXPECT_EQ(Field(results[0], 2), "0") << "the helper was started: " << results[0];
        // The system's error of the failed start, not that of a call made after it.
        EXPECT_EQ(results[2].substr(0, 18), "2\tnot-started\t2\t0.") << results[2];
        if (*c.keys) {
            // The helper is not counted: the bootstrapper's job holds what a plain command's does.
            EXPECT_EQ(Field(results[0], 4), Field(results[1], 4)) << results[0] << "\n" << results[1];
            EXPECT_EQ(Field(results[2], 4), "0") << results[2];
        }
        WriteFile(release, "");
        EXPECT_TRUE(WaitUntil([&] { return MarkNames(marks).size() == 4; }, 30000)) << "the helper ran on";
    }
}

TEST(CommandTimeout, ARestartCodeCountsWhenOnlyTheCommandsChildrenOutliveTheLimit) {
    // The command exits 3010 at once and leaves a child that outlives the limit. Its exit code is
    // logged and asks for the restart in every mode; the run fails for the child.
    struct Case { const char* name; const char* keys; const char* restart; bool dialog; };
    const Case cases[] = {
        {"the dialog", "", "asked-no", true},
        {"silent", "ShowDialog=FALSE\r\n", "asked-no", false},
        {"unattended", "Unattended=TRUE\r\n", "due-unattended", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Kit kit;
        std::string marks = kit.File("marks.txt"), release = kit.File("release");
        std::string command = Probe() + " spawn \"waitfile " + release + " 60000 mark " + marks + " child-end\" exit 3010";
        kit.SetCommandFile(std::string("[CustomCommands]\r\n") + c.keys +
                           "LogFile=run.log\r\nCommandTimeout=2\r\nWaitForChildProcesses=TRUE\r\nRebootOnExitCodes=3010\r\n"
                           "Commands_0=" + command + "\r\nCommands_1=" + Probe() + " mark " + marks + " next\r\n");
        SarnikRun run(kit.Args());
        if (std::string(c.restart) == "asked-no") {
            HWND box = run.Box("Reboot", 60000);
            ASSERT_NE(box, nullptr) << "the restart question" << ReadFile(kit.File("run.log"));
            Answer(box, IDNO);
        }
        if (c.dialog) {
            ASSERT_TRUE(run.WaitFinished(30000));
            ASSERT_TRUE(run.CloseWithOk());
        }
        ASSERT_TRUE(run.Proc().Wait(60000));
        EXPECT_EQ(run.Proc().ExitCode(), 1603u) << "a child over the limit fails the run, and outweighs the restart";
        EXPECT_EQ(MarkNames(marks), std::vector<std::string>{"next"});

        std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
        auto invoked = std::find(lines.begin(), lines.end(), "Invoking " + command);
        ASSERT_TRUE(lines.end() - invoked >= 4) << ReadFile(kit.File("run.log"));
        EXPECT_EQ(invoked[1], "Completed exit code:3010");
        EXPECT_EQ(invoked[2], "Processes it started still run after 2 s; the run goes on without them.");
        EXPECT_EQ(invoked[3], "Command asked for a restart (exit code 3010).");
        std::vector<std::string> results = ResultLines(lines);
        ASSERT_EQ(results.size(), 4u) << ReadFile(kit.File("run.log"));
        EXPECT_EQ(results[0].substr(0, 19), "0\ttimed-out\t3010\t2.") << results[0];
        EXPECT_EQ(results[2], std::string("Restart: ") + c.restart);
        EXPECT_EQ(results[3], "Exit code: 1603");
        WriteFile(release, "");
        EXPECT_TRUE(WaitUntil([&] { return MarkNames(marks).size() == 2; }, 30000)) << "the child was left running";
    }
}

TEST(CommandTimeoutAction, TerminateEndsTheCommandAndLeaveOrAnythingElseDoesNot) {
    struct Case { const char* name; const char* keys; const char* status; const char* line; bool ended; };
    const Case cases[] = {
        {"its own process", "CommandTimeoutAction=Terminate\r\n", "terminated",
         "Still running after 2 s: ended (CommandTimeoutAction=Terminate); the run goes on.", true},
        {"the whole tree", "CommandTimeoutAction=terminate\r\nWaitForChildProcesses=TRUE\r\n", "terminated",
         "Processes it started still ran after 2 s: ended (CommandTimeoutAction=Terminate); the run goes on.", true},
        {"Leave", "CommandTimeoutAction=Leave\r\n", "timed-out", "Still running after 2 s; the run goes on without it.",
         false},
        {"a value that is neither", "CommandTimeoutAction=Kill\r\n", "timed-out",
         "Still running after 2 s; the run goes on without it.", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Kit kit;
        std::string marks = kit.File("marks.txt"), release = kit.File("release"), pids = kit.File("pids.txt");
        std::string hung = "pid " + pids + " mark " + marks + " slow waitfile " + release + " 60000 mark " + marks + " slow-end";
        bool tree = std::string(c.keys).find("WaitForChildProcesses") != std::string::npos;
        std::string slow = tree ? Probe() + " spawn \"" + hung + "\" exit 0" : Probe() + " " + hung;
        kit.SetCommandFile(std::string("[CustomCommands]\r\nShowDialog=FALSE\r\nLogFile=run.log\r\nCommandTimeout=2\r\n") +
                           c.keys + "Commands_0=" + slow + "\r\nCommands_1=" + Probe() + " mark " + marks + " next\r\n");
        SarnikRun run(kit.Args());
        ASSERT_TRUE(run.Proc().Wait(60000));
        EXPECT_EQ(run.Proc().ExitCode(), 1603u);
        EXPECT_EQ(MarkNames(marks), (std::vector<std::string>{"slow", "next"})) << ReadFile(marks);
        std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
        EXPECT_TRUE(Has(lines, c.line)) << ReadFile(kit.File("run.log"));
        bool ignored = Has(lines, "CommandTimeoutAction value \"Kill\" is neither Leave nor Terminate and is ignored: a "
                                  "command over its limit is left running.");
        EXPECT_EQ(ignored, std::string(c.name) == "a value that is neither");
        std::vector<std::string> results = ResultLines(lines);
        ASSERT_EQ(results.size(), 4u) << ReadFile(kit.File("run.log"));
        EXPECT_EQ(Field(results[0], 1), c.status) << results[0];
        // The whole tree's own process had ended with 0; a single process ended by the run has none.
        EXPECT_EQ(Field(results[0], 2), tree ? "0" : "") << results[0];

        // The slow process itself: gone, ended with ERROR_TIMEOUT by the run, or still waiting.
        std::vector<std::string> ids = ReadLines(pids);
        ASSERT_EQ(ids.size(), 1u);
        HANDLE slowProcess = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, std::stoul(ids[0]));
        DWORD code = 0;
        bool running = slowProcess && GetExitCodeProcess(slowProcess, &code) && code == STILL_ACTIVE &&
                       WaitForSingleObject(slowProcess, 0) == WAIT_TIMEOUT;
        EXPECT_EQ(running, !c.ended);
        if (slowProcess && c.ended) {
            EXPECT_EQ(code, static_cast<DWORD>(ERROR_TIMEOUT));
        }
        if (slowProcess) CloseHandle(slowProcess);
        if (!c.ended) {
            WriteFile(release, "");
            EXPECT_TRUE(WaitUntil([&] { return MarkNames(marks).size() == 3; }, 30000)) << "the command was left running";
        }
    }
}

TEST(SuccessExitCodes, AnExitCodeNotListedFailsTheCommandAndTheRun) {
    // Unattended, so that nothing waits for an answer; the restart codes keep their meaning.
    struct Case {
        const char* name;
        const char* keys;
        std::vector<std::string> statuses;  // of the commands exiting 0, 3010, 5, and the marking one
        std::vector<std::string> verdicts;  // the lines after "Completed exit code:N", in order
        DWORD exitCode;
    };
    const Case cases[] = {
        {"without the key nothing is judged", "", {"completed", "completed", "completed", "completed"}, {}, 3010},
        {"the listed codes succeed", "SuccessExitCodes=0, 3010, ok\r\n", {"completed", "completed", "failed", "completed"},
         {"Exit code 5 is not one of SuccessExitCodes: the command failed."}, 1603},
        {"a restart code not listed fails and still asks", "SuccessExitCodes=0\r\n",
         {"completed", "failed", "failed", "completed"},
         {"Exit code 3010 is not one of SuccessExitCodes: the command failed.",
          "Exit code 5 is not one of SuccessExitCodes: the command failed."},
         1603},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Kit kit;
        std::string marks = kit.File("marks.txt");
        kit.SetCommandFile(std::string("[CustomCommands]\r\nUnattended=TRUE\r\nLogFile=run.log\r\nRebootOnExitCodes=3010\r\n") +
                           c.keys + "Commands_0=" + Probe() + " exit 0\r\nCommands_1=" + Probe() + " exit 3010\r\n"
                           "Commands_2=" + Probe() + " exit 5\r\nCommands_3=" + Probe() + " mark " + marks + " next\r\n");
        SarnikRun run(kit.Args());
        ASSERT_TRUE(run.Proc().Wait(60000));
        EXPECT_EQ(run.Proc().ExitCode(), c.exitCode);
        EXPECT_EQ(MarkNames(marks), std::vector<std::string>{"next"}) << "the run goes on after a failed command";
        std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
        std::vector<std::string> verdicts;
        for (const std::string& line : lines)
            if (line.find("SuccessExitCodes") != std::string::npos) verdicts.push_back(line);
        std::vector<std::string> expected = c.verdicts;
        if (std::string(c.keys).find("ok") != std::string::npos)
            expected.insert(expected.begin(), "SuccessExitCodes entry \"ok\" is not an exit code and is ignored.");
        EXPECT_EQ(verdicts, expected) << ReadFile(kit.File("run.log"));
        // Each verdict stands right after the exit code it judges.
        for (size_t i = 1; i < lines.size(); ++i) {
            if (lines[i].compare(0, 10, "Exit code ") == 0 && lines[i].find("SuccessExitCodes") != std::string::npos) {
                EXPECT_EQ(lines[i - 1], "Completed exit code:" + Words(lines[i])[2]) << lines[i];
            }
        }
        EXPECT_TRUE(Has(lines, "Command asked for a restart (exit code 3010).")) << "the restart code keeps its meaning";
        std::vector<std::string> results = ResultLines(lines);
        ASSERT_EQ(results.size(), 6u) << ReadFile(kit.File("run.log"));
        for (size_t i = 0; i < 4; ++i) EXPECT_EQ(Field(results[i], 1), c.statuses[i]) << results[i];
        EXPECT_EQ(Field(results[2], 2), "5") << results[2];
        EXPECT_EQ(results[4], "Restart: due-unattended");
        EXPECT_EQ(results[5], "Exit code: " + std::to_string(c.exitCode));
    }
}

TEST(HideConsoleWindows, ConsoleCommandsStartWithoutAWindowWhereAsked) {
    // Sarnik started without a console, as a windowed installer starts it: a console program it
    // starts gets a console of its own, whose window is hidden where asked.
    struct Case { const char* name; const char* keys; const char* console; };
    const Case cases[] = {
        {"silent, without the key", "ShowDialog=FALSE\r\n", "window"},
        {"silent, TRUE", "ShowDialog=FALSE\r\nHideConsoleWindows=TRUE\r\n", "none"},
        {"unattended, without the key", "Unattended=TRUE\r\n", "none"},
        {"unattended, FALSE", "Unattended=TRUE\r\nHideConsoleWindows=false\r\n", "window"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Kit kit;
        std::string seen = kit.File("console.txt");
        kit.SetCommandFile(std::string("[CustomCommands]\r\n") + c.keys + "Commands_0=" + Probe() + " console " + seen +
                           " exit 0\r\n");
        SarnikRun run(kit.Args(), {}, "", DETACHED_PROCESS);
        ASSERT_TRUE(run.Proc().Wait(60000));
        EXPECT_EQ(run.Proc().ExitCode(), 0u);
        EXPECT_EQ(ReadLines(seen), std::vector<std::string>{c.console});
    }
}
