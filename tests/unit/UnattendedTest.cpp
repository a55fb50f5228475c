// The pieces of unattended runs: the new keys' parsers, the exit code, the default answers, the
// results table's timed-out rows and process counts, a job object's count of a process tree, and
// what the platform says about the window station and session this test runs in.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "AnsiText.h"
#include "runner/CommandJob.h"
#include "runner/Launch.h"
#include "runner/RunLog.h"
#include "runner/RunCommands.h"
#include "runner/RunMode.h"
#include "runner/RunReport.h"
#include "runner/RunSettings.h"
#include "runner/ScopedHandle.h"
#include "runner/Wait.h"
#include "support/TestSupport.h"

TEST(RunSettingsSwitches, TrueAndFalseInAnyCaseAndNothingElse) {
    struct Case { const char* value; SwitchValue expected; };
    const Case cases[] = {
        {"", SwitchValue::Missing},   {"TRUE", SwitchValue::True},   {"true", SwitchValue::True},
        {"True", SwitchValue::True},  {"FALSE", SwitchValue::False}, {"false", SwitchValue::False},
        {"yes", SwitchValue::Other},  {"1", SwitchValue::Other},     {"TRUE ", SwitchValue::Other},
        {"TRUEX", SwitchValue::Other}, {"\x83\x7C", SwitchValue::Other},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(ParseSwitch(cases[i].value), cases[i].expected) << "row " << i << ": '" << cases[i].value << "'";
}

TEST(RunSettingsTimeout, WholeSecondsOrNoLimit) {
    struct Case { const char* value; unsigned long seconds; bool valid; };
    const Case cases[] = {
        {"", 0, true},          {"2", 2, true},           {" 30 ", 30, true},       {"0", 0, true},
        {"007", 7, true},       {"4000000", 4000000, true},
        // Not a number of seconds: no limit, and the value is named in the log.
        {"4000001", 0, false},  {"99999999999999999999", 0, false}, {"-5", 0, false}, {"+5", 0, false},
        {"2.5", 0, false},      {"2s", 0, false},         {"1 0", 0, false},        {"0x10", 0, false},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        bool valid = !cases[i].valid;
        EXPECT_EQ(ParseCommandTimeout(cases[i].value, valid), cases[i].seconds) << "row " << i << ": " << cases[i].value;
        EXPECT_EQ(valid, cases[i].valid) << "row " << i << ": " << cases[i].value;
    }
}

TEST(RunOutcome, ExitCodesAndDefaultAnswers) {
    EXPECT_EQ(RunExitCode(false, RestartOutcome::NotAsked), 0);
    EXPECT_EQ(RunExitCode(false, RestartOutcome::Due), 3010);
    EXPECT_EQ(RunExitCode(false, RestartOutcome::Started), 1641) << "Windows Installer's own code for a restart begun";
    EXPECT_EQ(RunExitCode(true, RestartOutcome::NotAsked), 1603);
    EXPECT_EQ(RunExitCode(true, RestartOutcome::Due), 1603) << "a failure outweighs a due restart";
    EXPECT_EQ(RunExitCode(true, RestartOutcome::Started), 1603) << "and a restart begun";

    struct Case { Question kind; unsigned buttons; int answer; };
    const Case cases[] = {
        {Question::ContinueAfterFailure, MB_YESNO, IDYES},  // go on with the rest
        {Question::ContinueAfterFailure, MB_OK, IDOK},      // the last command: nothing to decide
        {Question::Restart, MB_YESNO | MB_SYSTEMMODAL, IDNO},
        {Question::Notice, MB_OK, IDOK},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(RunReport::UnattendedAnswer(cases[i].kind, cases[i].buttons), cases[i].answer) << "row " << i;
}

namespace {
class Recorded : public RunOutput {
public:
    void Line(const std::string& text) override { lines.push_back(text); }
    void AnsweredUnattended(Question, const std::string& title, const std::string&, int answer) override {
        lines.push_back("unattended " + title + " " + std::to_string(answer));
    }
    void Answered(Question, const std::string& title, const std::string&, int) override { lines.push_back("shown " + title); }
    std::vector<std::string> lines;
};
}  // namespace

TEST(RunOutcome, AnUnattendedReportAsksNobodyAndCountsFailures) {
    RunReport report(nullptr, true);
    auto recorded = std::make_unique<Recorded>();
    Recorded& seen = *recorded;
    report.AddOutput(std::move(recorded));
    ASSERT_TRUE(report.Unattended());
    EXPECT_FALSE(report.Failed());
    // A box would wait for ever here: the test thread would never come back.
    EXPECT_EQ(report.Ask(Question::ContinueAfterFailure, "text", "Error", MB_YESNO), IDYES);
    EXPECT_EQ(report.Ask(Question::Restart, "text", "Reboot", MB_YESNO | MB_SYSTEMMODAL), IDNO);
    EXPECT_EQ(seen.lines, (std::vector<std::string>{"unattended Error 6", "unattended Reboot 7"}));
    report.CommandEnded(0, CommandEnd::Completed, 0, true, {"completed"});
    EXPECT_FALSE(report.Failed());
    report.CommandEnded(1, CommandEnd::TimedOut, -1, false, {"still running"});
    EXPECT_TRUE(report.Failed());
    EXPECT_EQ(seen.lines.back(), "still running");
}

TEST(ResultsTable, TimedOutRowsAndProcessCounts) {
    ResultsTable table;
    table.SetCommands({"a.exe", "b.exe", "missing.exe", "d.exe", "e.exe", "f.exe", "g.exe"});
    table.Started(0, "C:\\a.exe", 1000);
    table.Ended(0, CommandEnd::TimedOut, -1, false, 3049);
    table.Processes(0, 3);
    table.Started(1, "C:\\b.exe", 4000);
    table.Ended(1, CommandEnd::Completed, 0, true, 4100);
    table.Processes(1, 1);
    table.Failed(2, "missing.exe", 2);
    table.Processes(2, 0);
    // Its own process ended with 3010; a process it started outlived the limit.
    table.Started(4, "C:\\e.exe", 5000);
    table.Ended(4, CommandEnd::TimedOut, 3010, true, 8000);
    table.Processes(4, 2);
    table.Started(5, "C:\\f.exe", 9000);
    table.Ended(5, CommandEnd::Terminated, -1, false, 12000);
    table.Processes(5, 1);
    table.Started(6, "C:\\g.exe", 13000);
    table.Ended(6, CommandEnd::Terminated, 3010, true, 16000);
    table.Processes(6, 4);
    table.SetRestart("due-unattended");
    EXPECT_EQ(table.Lines(19000), (std::vector<std::string>{
                                      "Results:",
                                      "0\ttimed-out\t\t2.0\t3\tC:\\a.exe",
                                      "1\tcompleted\t0\t0.1\t1\tC:\\b.exe",
                                      "2\tnot-started\t2\t0.0\t0\tmissing.exe",
                                      "3\tskipped\t\t\t0\td.exe",
                                      "4\ttimed-out\t3010\t3.0\t2\tC:\\e.exe",
                                      "5\tterminated\t\t3.0\t1\tC:\\f.exe",
                                      "6\tterminated\t3010\t3.0\t4\tC:\\g.exe",
                                      "Restart: due-unattended",
                                  }));
}

TEST(CommandJob, CountsAndWaitsForTheWholeTree) {
    // A child that starts a grandchild and exits at once; the grandchild lives until released.
    test::TempFolder dir("job");
    std::string marks = dir / "marks.txt", release = dir / "release";
    std::string line = test::Quoted(test::BinPath("probe.exe")) + " spawn \"mark " + marks + " grandchild waitfile " +
                       release + " 30000 mark " + marks + " grandchild-end\" mark " + marks + " child";
    STARTUPINFOA si;
    PrepareStartupInfo(si);
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(StartCommand(line, si, pi, CREATE_SUSPENDED)) << GetLastError();
    ScopedHandle process(pi.hProcess), thread(pi.hThread);
    CommandJob job;
    ASSERT_TRUE(job.Create());
    ASSERT_TRUE(job.Assign(process.Get())) << GetLastError();
    ResumeThread(thread.Get());

    bool known = false;
    int code = -1;
    ASSERT_TRUE(WaitForProcessExitUntil(process.Get(), Deadline(), code, known));
    EXPECT_TRUE(known);
    ASSERT_TRUE(test::WaitUntil([&] { return test::ReadLines(marks).size() == 2; }, 10000)) << test::ReadFile(marks);
    // The child is gone, the grandchild still waits for its release: the job is not empty.
    unsigned long total = 0, active = 0;
    ASSERT_TRUE(job.Count(total, active));
    EXPECT_EQ(total, 2u);
    EXPECT_EQ(active, 1u);
    EXPECT_FALSE(job.WaitUntilEmpty(Deadline::In(300))) << "the deadline ends the wait";
    test::WriteFile(release, "");
    EXPECT_TRUE(job.WaitUntilEmpty(Deadline::In(30000)));
    EXPECT_EQ(test::ReadLines(marks).back().substr(0, 15), "grandchild-end ");
}

TEST(CommandWait, ADeadlineEndsTheWaitAndLeavesTheProcessRunning) {
    test::TempFolder dir("deadline");
    std::string release = dir / "release";
    test::Process slow(test::BinPath("probe.exe"), "waitfile " + release + " 30000 exit 4");
    ASSERT_TRUE(slow.Started());
    bool known = true;
    int code = 0;
    EXPECT_FALSE(WaitForProcessExitUntil(slow.Handle(), Deadline::In(200), code, known));
    EXPECT_FALSE(known);
    EXPECT_EQ(code, -1);
    test::WriteFile(release, "");
    EXPECT_TRUE(WaitForProcessExitUntil(slow.Handle(), Deadline::In(30000), code, known));
    EXPECT_TRUE(known);
    EXPECT_EQ(code, 4) << "not killed: it ended by itself";
}

TEST(RunMode, SomebodyCanAnswerWhereTheTestsRun) {
    // Wine gives WinSta0 WSF_VISIBLE and reports session 1 for every process; the invisible
    // station is met end to end (e2e_unattended).
    std::string why = "junk";
    EXPECT_FALSE(NobodyCanAnswer(why)) << why;
    EXPECT_EQ(why, "");
}

TEST(RunMode, TheCommandFileChoosesWhereSomebodyCanAnswer) {
    // The kit folder is field 0 of the arguments; under 932 its name ends in trail bytes '|' and
    // '\\', which must not end the field.
    struct Case { const char* keys; RunMode mode; const char* reason; };
    const Case cases[] = {
        {"", RunMode::Dialog, ""},
        {"ShowDialog=false\r\n", RunMode::Silent, ""},
        {"Unattended=TRUE\r\n", RunMode::Unattended, "Unattended=TRUE"},
        {"unattended=true\r\nShowDialog=FALSE\r\n", RunMode::Unattended, "Unattended=TRUE"},
        {"Unattended=FALSE\r\nShowDialog=FALSE\r\n", RunMode::Silent, ""},
        {"Unattended=FALSE\r\n", RunMode::Dialog, ""},
        // Not TRUE: the detection decides, and here somebody can answer.
        {"Unattended=yes\r\n", RunMode::Dialog, ""},
        {"Unattended=\"TRUE \"\r\nShowDialog=FALSE\r\n", RunMode::Silent, ""},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        test::Kit kit;
        kit.SetCommandFile(std::string("[CustomCommands]\r\n") + cases[i].keys);
        RunChoice choice = ChooseRunMode(AnsiToWide(kit.Args()));
        EXPECT_EQ(static_cast<int>(choice.mode), static_cast<int>(cases[i].mode)) << "row " << i << ": " << cases[i].keys;
        EXPECT_EQ(choice.reason, cases[i].reason) << "row " << i;
    }
    // No kit at all: the dialog, as before.
    EXPECT_EQ(static_cast<int>(ChooseRunMode(L"").mode), static_cast<int>(RunMode::Dialog));
}

TEST(Wait, APollEndsWhenReadyOrAtTheDeadlineAfterALastLook) {
    int asked = 0;
    EXPECT_TRUE(PollUntil(Deadline(), [&] { return ++asked == 3; }));
    EXPECT_EQ(asked, 3);
    asked = 0;
    EXPECT_FALSE(PollUntil(Deadline::In(250), [&] { return ++asked < 0; }));
    EXPECT_GE(asked, 2) << "asked at once, and again when the deadline has come";
    // What is true at the deadline is seen: the last look comes after the last pause.
    Deadline soon = Deadline::In(250);
    EXPECT_TRUE(PollUntil(soon, [&] { return soon.Passed(); }));

    EXPECT_FALSE(Deadline().Limited());
    EXPECT_FALSE(Deadline().Passed());
    EXPECT_EQ(Deadline().Within(kPollMs), kPollMs);
    EXPECT_FALSE(Deadline::InSeconds(0).Limited()) << "CommandTimeout=0 is no limit";
    EXPECT_TRUE(Deadline::InSeconds(4000000).Limited());
    EXPECT_LE(Deadline::In(50).Within(kPollMs), 50u);
    EXPECT_TRUE(Deadline::In(0).Passed());
    EXPECT_EQ(Deadline::In(0).Within(kPollMs), 0u);
}

TEST(RunMode, AnUnattendedRunFailsCriticalErrorsInsteadOfAsking) {
    // Run in this process: its error mode is what the run set. Only the unattended run sets it.
    UINT before = SetErrorMode(0);
    test::Kit kit;
    kit.SetCommandFile("[CustomCommands]\r\nShowDialog=FALSE\r\n");
    RunChoice silent;
    silent.mode = RunMode::Silent;
    EXPECT_EQ(RunCommands(nullptr, AnsiToWide(kit.Args()), silent), kExitSuccess);
    EXPECT_EQ(GetErrorMode(), 0u);
    RunChoice unattended;
    unattended.mode = RunMode::Unattended;
    unattended.reason = "Unattended=TRUE";
    EXPECT_EQ(RunCommands(nullptr, AnsiToWide(kit.Args()), unattended), kExitSuccess);
    const UINT kQuiet = SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX;
    EXPECT_EQ(GetErrorMode() & kQuiet, kQuiet);
    SetErrorMode(before);
}
