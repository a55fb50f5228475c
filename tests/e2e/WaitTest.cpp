// Waits for installers, met as the parent installer and a kit would meet them: real parent
// processes, real named mutexes held by other processes, commands that record when they ran
// and which mutexes were held at that moment.
#include <gtest/gtest.h>

#include "support/TestSupport.h"

using namespace test;

// Marks of two processes can land in either order when one starts the very moment the other
// releases a mutex; the slack keeps such a race from failing a test that would still catch a
// command started seconds too early.
namespace {
std::string Probe() { return Quoted(BinPath("probe.exe")); }

const char kSilent[] = "[CustomCommands]\r\nShowDialog=FALSE\r\n";

// Fields of a probe mark line: text, tick, engine mutex state, installer mutex state.
struct Mark {
    std::string text;
    unsigned long tick = 0;
    std::string engine, installer;
};

std::vector<Mark> Marks(const std::string& file) {
    std::vector<Mark> marks;
    for (const std::string& line : ReadLines(file)) {
        std::vector<std::string> w = Words(line);
        if (w.size() == 4) marks.push_back({w[0], std::stoul(w[1]), w[2], w[3]});
    }
    return marks;
}

const Mark* Find(const std::vector<Mark>& marks, const std::string& text) {
    for (const Mark& m : marks)
        if (m.text == text) return &m;
    return nullptr;
}

// Starts a probe that carries out args and waits until it has marked "ready" in file.
std::unique_ptr<Process> StartHelper(const std::string& args, const std::string& file) {
    auto p = std::make_unique<Process>(BinPath("probe.exe"), args);
    WaitUntil([&] { return Find(Marks(file), "ready") != nullptr; }, 10000);
    return p;
}
}  // namespace

TEST(Waits, CommandsWaitForTheParentAndTheEngineMutex) {
    Kit kit;
    std::string marks = kit.File("marks.txt");
    kit.SetCommandFile(std::string(kSilent) + "Commands_0=" + Probe() + " mark " + marks + " command\r\n");
    // The parent ends after 1.5 s; the engine's mutex is held until 3 s by another process.
    auto parent = StartHelper("mark " + marks + " ready sleep 1500 mark " + marks + " parent-end", marks);
    auto engine = std::make_unique<Process>(BinPath("probe.exe"),
                                            "hold _ZQParentixMutex 3000 mark " + marks + " engine-released");
    Sleep(200);
    SarnikRun run(kit.Args(static_cast<int>(parent->Id())));
    ASSERT_TRUE(run.Proc().Wait(30000));
    std::vector<Mark> m = Marks(marks);
    const Mark* command = Find(m, "command");
    const Mark* parentEnd = Find(m, "parent-end");
    ASSERT_TRUE(command && parentEnd) << ReadFile(marks);
    EXPECT_GE(command->tick, parentEnd->tick);
    EXPECT_EQ(command->engine, "free");
    ASSERT_TRUE(Find(m, "engine-released"));
    EXPECT_GE(command->tick + 500, Find(m, "engine-released")->tick);
}

TEST(Waits, NoParentSkipsTheProcessWaitButNotTheMutexWait) {
    const char* parents[] = {"", "0 0", "99999 0"};  // none, 0, an id that names no process
    for (const char* parentArg : parents) {
        Kit kit;
        std::string marks = kit.File("marks.txt");
        kit.SetCommandFile(std::string(kSilent) + "Commands_0=" + Probe() + " mark " + marks + " command\r\n");
        Process holder(BinPath("probe.exe"), "hold _ZQParentixMutex 1500");
        Sleep(300);
        std::string args = std::string(parentArg) + "|" + kit.Dir() + "|||";
        SarnikRun run(args);
        ASSERT_TRUE(run.Proc().Wait(20000)) << parentArg;
        const Mark* command = Find(Marks(marks), "command");
        ASSERT_TRUE(command) << parentArg;
        EXPECT_EQ(command->engine, "free") << parentArg;
        EXPECT_TRUE(holder.Wait(0)) << "the command ran before the engine released its mutex: " << parentArg;
    }
}

TEST(Waits, AfterTheEngineTheNextCommandWaitsUntilItHasFinished) {
    Kit kit;
    std::string marks = kit.File("marks.txt");
    // Started without arguments, the engine takes its mutex after 0.5 s, marks, and a helper it
    // leaves behind would be invisible; here the engine holds the mutex for 1.5 s, then exits.
    kit.SetCommandFile(std::string(kSilent) +
                       "Commands_0=" + BinPath("engine.exe") + "\r\n"
                       "Commands_1=" + Probe() + " mark " + marks + " next\r\n"
                       "Commands_2=" + BinPath("engine.exe") + " exit 0\r\n"
                       "Commands_3=" + Probe() + " mark " + marks + " after-argument\r\n");
    SarnikRun run(kit.Args(), {"PROBE_ARGS=sleep 500 mark " + marks + " engine-start hold _ZQParentixMutex 1500 mark " +
                                   marks + " engine-released"});
    ASSERT_TRUE(run.Proc().Wait(60000));
    std::vector<Mark> m = Marks(marks);
    const Mark* released = Find(m, "engine-released");
    const Mark* next = Find(m, "next");
    const Mark* afterArgument = Find(m, "after-argument");
    ASSERT_TRUE(released && next && afterArgument) << ReadFile(marks);
    EXPECT_GE(next->tick + 500, released->tick);
    EXPECT_EQ(next->engine, "free");
    // "engine.exe exit 0" is not recognised, so no wait for a mutex it never takes: that wait
    // would last its 300 polls (30 s), which no load of the machine comes near.
    EXPECT_LT(afterArgument->tick - next->tick, 25000u);
}

TEST(Waits, AbandonedEngineMutexCountsAsFree) {
    Kit kit;
    std::string marks = kit.File("marks.txt");
    Process grabber(BinPath("probe.exe"), "grab _ZQParentixMutex sleep 300");
    ASSERT_TRUE(grabber.Wait(10000));
    kit.SetCommandFile(std::string(kSilent) + "Commands_0=" + Probe() + " mark " + marks + " command\r\n");
    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.Proc().Wait(20000));
    const Mark* command = Find(Marks(marks), "command");
    ASSERT_TRUE(command);
    EXPECT_EQ(command->engine, "free") << "Sarnik must not keep the abandoned mutex it probed";
}

TEST(Waits, BusyWindowsInstallerDelaysTheNextCommand) {
    struct Case { DWORD holdMs; bool untilIdle; };
    // Idle before the limit: the next command follows the release. Busy past 30 s: it goes on.
    const Case cases[] = {{3000, true}, {40000, false}};
    for (const Case& c : cases) {
        Kit kit;
        std::string marks = kit.File("marks.txt");
        kit.SetCommandFile(std::string(kSilent) +
                           "Commands_0=" + Probe() + " mark " + marks + " first\r\n"
                           "Commands_1=" + Probe() + " mark " + marks + " second\r\n");
        auto installer = StartHelper("mark " + marks + " ready hold _MSIExecute " + std::to_string(c.holdMs) +
                                         " mark " + marks + " installer-idle",
                                     marks);
        SarnikRun run(kit.Args());
        ASSERT_TRUE(run.Proc().Wait(60000)) << c.holdMs;
        std::vector<Mark> m = Marks(marks);
        const Mark* first = Find(m, "first");
        const Mark* second = Find(m, "second");
        ASSERT_TRUE(first && second) << ReadFile(marks);
        EXPECT_EQ(first->installer, "held");
        if (c.untilIdle) {
            EXPECT_EQ(second->installer, "free") << c.holdMs;
            ASSERT_TRUE(Find(m, "installer-idle"));
            EXPECT_GE(second->tick + 500, Find(m, "installer-idle")->tick);
        } else {
            EXPECT_EQ(second->installer, "held");
            EXPECT_GE(second->tick - first->tick, 29000u);
        }
        installer->Kill();
    }
}

TEST(Waits, ParentThatExitsWith259EndsTheWait) {
    // 259 is STILL_ACTIVE: only the parent's handle tells that it has really ended.
    Kit kit;
    std::string marks = kit.File("marks.txt");
    kit.SetCommandFile(std::string(kSilent) + "Commands_0=" + Probe() + " mark " + marks + " command\r\n");
    auto parent = StartHelper("mark " + marks + " ready sleep 1000 mark " + marks + " parent-end exit 259", marks);
    SarnikRun run(kit.Args(static_cast<int>(parent->Id())));
    ASSERT_TRUE(run.Proc().Wait(30000)) << "the run hangs on a parent that exited with 259";
    ASSERT_TRUE(parent->Wait(0));
    EXPECT_EQ(parent->ExitCode(), 259u);
    std::vector<Mark> m = Marks(marks);
    const Mark* command = Find(m, "command");
    const Mark* parentEnd = Find(m, "parent-end");
    ASSERT_TRUE(command && parentEnd) << ReadFile(marks);
    EXPECT_GE(command->tick, parentEnd->tick);
}

TEST(Waits, TheDialogComesForwardAfterTheParentWait) {
    OtherWindow other;
    Kit kit;
    std::string marks = kit.File("marks.txt");
    kit.SetCommandFile("[CustomCommands]\r\nCommands_0=" + Probe() + " mark " + marks + " command\r\n");
    // The parent lives until the test has sent the dialog behind (two minutes at most).
    const std::string go = "SarnikParentGo" + std::to_string(GetCurrentProcessId());
    HANDLE goEvent = CreateEventA(nullptr, TRUE, FALSE, go.c_str());
    ASSERT_NE(goEvent, nullptr);
    auto parent = StartHelper("mark " + marks + " ready wait " + go + " 120000", marks);
    SarnikRun run(kit.Args(static_cast<int>(parent->Id())));
    HWND dlg = run.Dialog();
    ASSERT_NE(dlg, nullptr);
    // The dialog sends itself to the bottom when it first paints, but under Wine the window's
    // activation, which arrives later from the X server, raises it again. So the user sends it
    // back here, as by clicking another window during the wait.
    // On a loaded machine the activation comes late: the dialog is pushed down until it stays.
    Sleep(500);
    bool behind = WaitUntil([&] {
        SetWindowPos(dlg, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
        Sleep(100);
        return IsAbove(other.Get(), dlg);
    }, 1000);
    ASSERT_FALSE(parent->Wait(0)) << "the parent ended too early for this test";
    SetEvent(goEvent);
    CloseHandle(goEvent);
    ASSERT_TRUE(behind);
    ASSERT_TRUE(run.WaitFinished(120000)) << run.Log();
    EXPECT_TRUE(IsAbove(dlg, other.Get())) << "the dialog comes to the front after the parent wait";
    EXPECT_TRUE(run.CloseWithOk());
}
