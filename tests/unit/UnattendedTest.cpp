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
#include "runner/RunMode.h"
#include "runner/RunReport.h"
#include "runner/RunSettings.h"
#include "runner/ScopedHandle.h"
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
    EXPECT_EQ(RunExitCode(false, false), 0);
    EXPECT_EQ(RunExitCode(false, true), 3010);
    EXPECT_EQ(RunExitCode(true, false), 1603);
    EXPECT_EQ(RunExitCode(true, true), 1603) << "a failure outweighs a due restart";

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
    report.CommandTimedOut(0, 2, "still running");
    EXPECT_TRUE(report.Failed());
    EXPECT_EQ(seen.lines.back(), "still running");
}

TEST(ResultsTable, TimedOutRowsAndProcessCounts) {
    ResultsTable table;
    table.SetCommands({"a.exe", "b.exe", "missing.exe", "d.exe"});
    table.Started(0, "C:\\a.exe", 1000);
    table.TimedOut(0, 3049);
    table.Processes(0, 3);
    table.Started(1, "C:\\b.exe", 4000);
    table.Ended(1, 0, true, 4100);
    table.Processes(1, 1);
    table.Failed(2, "missing.exe", 2);
    table.Processes(2, 0);
    table.SetRestart("due-unattended");
    EXPECT_EQ(table.Lines(9000), (std::vector<std::string>{
                                     "Results:",
                                     "0\ttimed-out\t\t2.0\t3\tC:\\a.exe",
                                     "1\tcompleted\t0\t0.1\t1\tC:\\b.exe",
                                     "2\tnot-started\t2\t0.0\t0\tmissing.exe",
                                     "3\tskipped\t\t\t0\td.exe",
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
    ASSERT_TRUE(WaitForProcessExitUntil(process.Get(), 0, code, known));
    EXPECT_TRUE(known);
    ASSERT_TRUE(test::WaitUntil([&] { return test::ReadLines(marks).size() == 2; }, 10000)) << test::ReadFile(marks);
    // The child is gone, the grandchild still waits for its release: the job is not empty.
    unsigned long total = 0, active = 0;
    ASSERT_TRUE(job.Count(total, active));
    EXPECT_EQ(total, 2u);
    EXPECT_EQ(active, 1u);
    EXPECT_FALSE(job.WaitUntilEmpty(GetTickCount64() + 300)) << "the deadline ends the wait";
    test::WriteFile(release, "");
    EXPECT_TRUE(job.WaitUntilEmpty(GetTickCount64() + 30000));
    EXPECT_EQ(test::ReadLines(marks).back().substr(0, 15), "grandchild-end ");
}

TEST(CommandWait, ADeadlineEndsTheWaitAndLeavesTheProcessRunning) {
    test::TempFolder dir("deadline");
    std::string release = dir / "release";
    test::Process slow(test::BinPath("probe.exe"), "waitfile " + release + " 30000 exit 4");
    ASSERT_TRUE(slow.Started());
    bool known = true;
    int code = 0;
    EXPECT_FALSE(WaitForProcessExitUntil(slow.Handle(), GetTickCount64() + 200, code, known));
    EXPECT_FALSE(known);
    EXPECT_EQ(code, -1);
    test::WriteFile(release, "");
    EXPECT_TRUE(WaitForProcessExitUntil(slow.Handle(), GetTickCount64() + 30000, code, known));
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
