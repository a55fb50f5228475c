// The real sarnik.exe in silent mode: no dialog; failures and the reboot question come as
// message boxes, which the tests read and answer as a user would.
#include <gtest/gtest.h>

#include "support/TestSupport.h"

using namespace test;

namespace {
std::string Probe() { return Quoted(BinPath("probe.exe")); }

const char kSilent[] = "[CustomCommands]\r\nShowDialog=false\r\n";
}  // namespace

TEST(SilentRun, CommandsRunInOrderOneAtATime) {
    Kit kit;
    std::string marks = kit.File("marks.txt");
    kit.SetCommandFile(std::string(kSilent) +
                       "Commands_0=  \t" + Probe() + " mark " + marks + " first sleep 700 mark " + marks + " first-end exit 3 \t\r\n"
                       "Commands_1=" + Probe() + " mark " + marks + " second exit -1\r\n"
                       "Commands_2=" + Probe() + " mark " + marks + " third\r\n"
                       "Commands_4=" + Probe() + " mark " + marks + " after-gap\r\n");
    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.Proc().Wait(30000));
    EXPECT_EQ(run.Proc().ExitCode(), 0u);
    EXPECT_EQ(run.Dialog(0), nullptr);
    std::vector<std::string> lines = ReadLines(marks);
    ASSERT_EQ(lines.size(), 4u) << ReadFile(marks);
    EXPECT_EQ(Words(lines[0])[0], "first");
    EXPECT_EQ(Words(lines[1])[0], "first-end");
    EXPECT_EQ(Words(lines[2])[0], "second");   // exit codes 3 and -1 never stop the run
    EXPECT_EQ(Words(lines[3])[0], "third");
    EXPECT_GE(std::stoul(Words(lines[2])[1]), std::stoul(Words(lines[1])[1]));
}

TEST(SilentRun, FailedStartAsksWhetherToGoOn) {
    struct Case { const char* name; int answer; bool nextRuns; };
    const Case cases[] = {{"Yes runs the next command", IDYES, true}, {"No stops the run", IDNO, false}};
    for (const Case& c : cases) {
        Kit kit;
        std::string marks = kit.File("marks.txt");
        kit.SetCommandFile(std::string(kSilent) +
                           "Commands_0=missing-4711.exe /a\r\n"
                           "Commands_1=" + Probe() + " mark " + marks + " next\r\n"
                           "Commands_2=missing-4712.exe\r\n");
        SarnikRun run(kit.Args(0, 1));
        HWND box = run.Box("Error", 20000);
        ASSERT_NE(box, nullptr) << c.name;
        std::string text = MessageBoxText(box);
        EXPECT_EQ(text.find("Error code:2 occurred on command missing-4711.exe /a\n"), 0u) << text;
        EXPECT_NE(text.find("\n\nDo you want to continue running commands?"), std::string::npos) << text;
        EXPECT_EQ(MessageBoxButtons(box), (std::vector<int>{IDYES, IDNO})) << c.name;
        Answer(box, c.answer);

        if (c.nextRuns) {
            // The last command fails too: its box has only OK.
            HWND last = run.Box("Error", 20000);
            ASSERT_NE(last, nullptr);
            EXPECT_EQ(MessageBoxButtons(last), std::vector<int>{IDOK});
            EXPECT_EQ(MessageBoxText(last).find("Do you want to continue"), std::string::npos);
            Answer(last, IDOK);
        }
        // The reboot question still follows; No leaves the machine running.
        HWND reboot = run.Box("Reboot", 20000);
        ASSERT_NE(reboot, nullptr) << c.name;
        EXPECT_EQ(MessageBoxText(reboot), "Do you want to reboot the system now?");
        Answer(reboot, IDNO);
        ASSERT_TRUE(run.Proc().Wait(10000)) << c.name;
        EXPECT_EQ(FileExists(marks), c.nextRuns) << c.name;
    }
}

TEST(SilentRun, RebootIsAskedOnlyWhenRequested) {
    struct Case { int reboot; const char* rebootKey; bool asked; };
    const Case cases[] = {
        {1, nullptr, true}, {-1, nullptr, true}, {7, "FALSE", true},
        {0, "TRUE", true}, {0, "true", false}, {0, nullptr, false},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        Kit kit;
        std::string ini = kSilent;  // no commands: the question still comes when requested
        if (c.rebootKey) ini += std::string("Reboot=") + c.rebootKey + "\r\n";
        ini += "[Strings]\r\nrebootTitle=Neustart\r\nrebootMsg=Jetzt neu starten?\r\n";
        kit.SetCommandFile(ini);
        SarnikRun run(kit.Args(0, c.reboot));
        HWND box = run.Box("Neustart", c.asked ? 20000 : 0);
        if (c.asked) {
            ASSERT_NE(box, nullptr) << "row " << i;
            EXPECT_EQ(MessageBoxText(box), "Jetzt neu starten?");
            EXPECT_EQ(MessageBoxButtons(box), (std::vector<int>{IDYES, IDNO}));
            EXPECT_TRUE(GetWindowLongA(box, GWL_EXSTYLE) & WS_EX_TOPMOST) << "system-modal";
            Answer(box, IDNO);
        }
        if (!c.asked) {
            // Nobody answers: a question would hold the run open, so its end proves that none
            // came. Looked for while the run lasts.
            HWND question = nullptr;
            ASSERT_TRUE(WaitUntil([&] {
                question = WaitForWindow(run.Proc().Id(), "#32770", nullptr, 0);
                return question != nullptr || run.Proc().Wait(0);
            }, 10000)) << "row " << i;
            EXPECT_EQ(question, nullptr) << "row " << i << ": " << WindowText(question);
        }
        ASSERT_TRUE(run.Proc().Wait(10000)) << "row " << i;
    }
}

TEST(SilentRun, ErrorTitleAndTextComeFromStrings) {
    Kit kit;
    kit.SetCommandFile(std::string(kSilent) +
                       "Commands_0=missing-4711.exe\r\n"
                       "[Strings]\r\nerrorTitle=Fehler\r\nerrorMsg=Befehl %s ging nicht (%d)\r\n");
    SarnikRun run(kit.Args());
    HWND box = run.Box("Fehler", 20000);
    ASSERT_NE(box, nullptr);
    // Placeholders in another order than the built-in text's: the built-in text is used.
    EXPECT_EQ(MessageBoxText(box).find("Error code:2 occurred on command missing-4711.exe\n"), 0u);
    Answer(box, IDOK);
    EXPECT_TRUE(run.Proc().Wait(10000));
}

TEST(SilentRun, ShowDialogValuesSelectTheRunMode) {
    // A failed start shows what the mode is: a message box in silent mode, a log line in the
    // dialog. The profile reader drops blanks and one pair of quotation marks around a value.
    struct Case { const char* line; bool silent; };
    const Case cases[] = {
        {"ShowDialog=false", true},    {"ShowDialog=False", true}, {"ShowDialog=FALSE", true},
        {"ShowDialog=  FALSE  ", true}, {"ShowDialog=\"FALSE\"", true},
        {"ShowDialog=no", false},      {"ShowDialog=0", false},   {"ShowDialog=", false},
        {"ShowDialog=FALSE0", false},  {"ShowDialog=TRUE", false}, {"ShowDialog=F", false},
        {"NoShowDialogKey=FALSE", false},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        Kit kit;
        kit.SetCommandFile(std::string("[CustomCommands]\r\n") + c.line + "\r\nCommands_0=missing-4711.exe\r\n");
        SarnikRun run(kit.Args());
        if (c.silent) {
            HWND box = run.Box("Error", 20000);
            ASSERT_NE(box, nullptr) << "row " << i << " " << c.line;
            EXPECT_EQ(run.Dialog(0), nullptr) << "row " << i;
            Answer(box, IDOK);
            EXPECT_TRUE(run.Proc().Wait(10000)) << "row " << i;
        } else {
            ASSERT_TRUE(run.WaitFinished(20000)) << "row " << i << " " << c.line;
            EXPECT_NE(run.Log().find("\r\nError code:2 occurred on command missing-4711.exe\n"), std::string::npos)
                << "row " << i << ": " << run.Log();
            EXPECT_EQ(WaitForWindow(run.Proc().Id(), "#32770", "Error", 0), nullptr) << "row " << i;
            EXPECT_TRUE(run.CloseWithOk()) << "row " << i;
        }
    }
}
