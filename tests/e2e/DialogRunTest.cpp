// The real sarnik.exe in dialog mode, driven as a user would: the "Command Progress" dialog is
// found, its log read and its OK button watched and pressed.
#include <gtest/gtest.h>

#include "support/KitPackage.h"
#include "support/TestSupport.h"

using namespace test;

namespace {
std::string Probe() { return Quoted(BinPath("probe.exe")); }
std::string ProbePath() { return BinPath("probe.exe"); }

}  // namespace

TEST(DialogRun, LogsEachStepAndEnablesOkOnlyAtTheEnd) {
    Kit kit;
    std::string marks = kit.File("marks.txt");
    // The first command lasts until the test has tried to close the dialog (two minutes at most).
    const std::string go = "SarnikDialogGo" + std::to_string(GetCurrentProcessId());
    HANDLE goEvent = CreateEventA(nullptr, TRUE, FALSE, go.c_str());
    ASSERT_NE(goEvent, nullptr);
    const std::string first = Probe() + " mark " + marks + " A wait " + go + " 120000 exit 3";
    kit.SetCommandFile("[CustomCommands]\r\n"
                       "Commands_0=" + first + "\r\n"
                       "Commands_1=no-such-program-4711.exe /x\r\n"
                       "Commands_2=" + Probe() + " exit 259\r\n");
    SarnikRun run(kit.Args());
    ASSERT_NE(run.Dialog(), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return FileExists(marks); }, 10000));
    EXPECT_FALSE(run.OkEnabled()) << "OK must stay disabled while a command runs";

    // Esc and Close must not end the dialog while the worker still uses it.
    PostMessageA(run.Dialog(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    PostMessageA(run.Dialog(), WM_CLOSE, 0, 0);
    PostMessageA(run.Dialog(), WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    // Posted messages of one thread are taken in order: once a selection posted after them shows
    // in the log, the dialog has had all three. The log holds the "Invoking" line by now.
    HWND log = GetDlgItem(run.Dialog(), 1000);
    PostMessageA(log, EM_SETSEL, 1, 4);
    EXPECT_TRUE(WaitUntil([&] {
        // The answer packs both ends; pointers would not cross into the other process.
        return SendMessageA(log, EM_GETSEL, 0, 0) == MAKELRESULT(1, 4);
    }, 20000)) << "the dialog did not take its posted messages";
    EXPECT_TRUE(IsWindow(run.Dialog()));
    EXPECT_FALSE(run.Proc().Wait(0));
    SetEvent(goEvent);
    CloseHandle(goEvent);

    ASSERT_TRUE(run.WaitFinished(30000)) << run.Log();
    EXPECT_EQ(WaitForWindow(run.Proc().Id(), "#32770", "Error", 0), nullptr) << "no message box in dialog mode";
    std::vector<std::string> lines = CrLfLines(run.Log());
    ASSERT_GE(lines.size(), 7u) << run.Log();
    EXPECT_EQ(lines[0], "Waiting for parent installer to complete...");
    EXPECT_EQ(lines[1], "Parent installer complete.");
    EXPECT_EQ(lines[2], "Invoking " + first);
    EXPECT_EQ(lines[3], "Completed exit code:3");
    // A command that cannot be started: the system's message follows (its wording is Wine's).
    EXPECT_EQ(lines[4].find("Error code:2 occurred on command no-such-program-4711.exe /x\n"), 0u) << lines[4];
    EXPECT_GT(lines[4].size(), 64u) << "the system's message follows";
    EXPECT_EQ(lines.end()[-2], "Invoking " + Probe() + " exit 259");
    // A real exit code of 259 ends the wait like any other.
    EXPECT_EQ(lines.end()[-1], "Completed exit code:259");

    // Now Close ends the dialog and the process.
    PostMessageA(run.Dialog(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(run.Proc().Wait(10000));
    EXPECT_EQ(run.Proc().ExitCode(), 1603u) << "a command could not be started";
}

TEST(DialogRun, NoCommandsEnablesOkAtOnce) {
    Kit kit;
    kit.SetCommandFile("[CustomCommands]\r\nCommands_1=never read\r\n");
    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.WaitFinished(5000));
    EXPECT_EQ(run.Log(), "");
    EXPECT_TRUE(run.CloseWithOk());
}

TEST(DialogRun, BadStartsAreHandled) {
    // Whatever the command line, the command file or the commands hold, the run ends with OK
    // enabled (and the process ends when it is pressed): never a hang, never a crash.
    struct Case { const char* name; std::string args; std::string ini; bool rebootAsked = false; };
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage.push_back(static_cast<char>((i * 7919) % 256));
    const std::string kKitArgs = "<kit>";
    const std::string commands = "[CustomCommands]\r\n";
    const Case cases[] = {
        {"no arguments", "", ""},
        {"no command file", "0 0|C:\\no\\such\\kit|||", ""},
        {"binary garbage", kKitArgs, garbage},
        {"bars only", "||||||", ""},
        {"numbers out of range", "99999999999 99999999999|C:\\no|||", "", true},
        {"a lone lead byte at the end", "0 0|C:\\no|\x83", ""},
        {"a lead byte before every bar", "\x83|\x83|\x83|\x83|", ""},
        {"a field of 5000 characters", "0 0|" + std::string(5000, 'k') + "|||", ""},
        {"quotes, dots and separators as commands", kKitArgs,
         commands + "Commands_0=\"\"\r\nCommands_1=\"\r\nCommands_2=\\\r\nCommands_3=.\r\nCommands_4=..\\\r\n"
                    "Commands_5=\\\\\r\nCommands_6=\"\\\\?\\\"\r\nCommands_7=:\r\n"},
        {"setup programs that are no kits", kKitArgs,
         commands + "Commands_0=SETUP.EXE\r\nCommands_1=setup.exe setup.exe\r\nCommands_2=C:\\SETUP.EXE /q\r\n"},
        {"macros that are not known or not closed", kKitArgs,
         commands + "Commands_0=<NoSuchDir>\\x.exe\r\nCommands_1=<WinDir\r\nCommands_2=<>\r\n"},
        // Device names: opened as files they could wait for input that never comes.
        {"device names as commands", kKitArgs,
         commands + "Commands_0=CON\r\nCommands_1=C:\\CON\r\nCommands_2=NUL\r\nCommands_3=COM1 /x\r\n"
                    "Commands_4=CONIN$\r\nCommands_5=\\\\.\\CON\r\n"},
        {"lead bytes at the ends of commands", kKitArgs,
         commands + "Commands_0=\x83\r\nCommands_1=missing\x83\r\nCommands_2=\"\x83\"\r\n"},
    };
    for (const Case& c : cases) {
        Kit kit;
        if (!c.ini.empty()) kit.SetCommandFile(c.ini);
        SarnikRun run(c.args == kKitArgs ? kit.Args() : c.args);
        if (c.rebootAsked) {
            HWND box = run.Box("Reboot", 20000);
            EXPECT_NE(box, nullptr) << c.name;
            if (box) Answer(box, IDNO);
        }
        EXPECT_TRUE(run.WaitFinished(30000)) << c.name << "; log: " << run.Log();
        EXPECT_TRUE(run.CloseWithOk()) << c.name;
        // One of the documented codes, never a crash's.
        DWORD code = run.Proc().ExitCode();
        EXPECT_TRUE(code == 0 || code == 1603 || code == 3010) << c.name << ": " << code;
    }
}

TEST(DialogRun, SearchPathResolvesBareNames) {
    Kit kit;
    TempFolder tools("tools");
    // Only a .bat and a .com exist for these names; probe.exe is found beside sarnik.exe.
    WriteFile(tools / "batonly.bat", "@echo off\r\necho bat ran> \"" + kit.File("bat.txt") + "\"\r\nexit 5\r\n");
    CopyFileA(ProbePath().c_str(), (tools / "comonly.com").c_str(), FALSE);
    CopyFileA(ProbePath().c_str(), (tools / "setup.exe").c_str(), FALSE);
    kit.SetCommandFile("[CustomCommands]\r\n"
                       "Commands_0=probe exit 7\r\n"
                       "Commands_1=batonly\r\n"
                       "Commands_2=comonly exit 9\r\n"
                       "Commands_3=setup setup.log\r\n"
                       "Commands_4=" + ProbePath() + " exit 1\r\n");
    char path[32768];
    GetEnvironmentVariableA("PATH", path, sizeof path);
    SarnikRun run(kit.Args(), {"PATH=" + tools.Path() + ";" + path});
    ASSERT_TRUE(run.WaitFinished(30000)) << run.Log();
    std::vector<std::string> lines = CrLfLines(run.Log());
    ASSERT_EQ(lines.size(), 12u) << run.Log();  // 2 wait lines + 5 x (Invoking, Completed)
    EXPECT_EQ(lines[2], "Invoking " + ProbePath() + " exit 7");
    EXPECT_EQ(lines[3], "Completed exit code:7");
    EXPECT_EQ(lines[4], "Invoking " + (tools / "batonly.bat"));
    EXPECT_EQ(lines[5], "Completed exit code:5");
    EXPECT_EQ(ReadFile(kit.File("bat.txt")), "bat ran\r\n");
    EXPECT_EQ(lines[6], "Invoking " + (tools / "comonly.com") + " exit 9");
    EXPECT_EQ(lines[7], "Completed exit code:9");
    // Every occurrence of the program word is replaced, also inside an argument.
    EXPECT_EQ(lines[8], "Invoking " + (tools / "setup.exe") + " " + (tools / "setup.exe") + ".log");
    // A drive path is not searched for.
    EXPECT_EQ(lines[10], "Invoking " + ProbePath() + " exit 1");
    EXPECT_TRUE(run.CloseWithOk());
}

TEST(DialogRun, StringsReplaceTheDisplayTexts) {
    Kit kit;
    kit.SetCommandFile("[CustomCommands]\r\n"
                       "Commands_0=" + Probe() + " exit 4\r\n"
                       "Commands_1=missing-4711.exe\r\n"
                       "[Strings]\r\n"
                       "WaitingMsg=Warten...\r\n"
                       "CompleteMsg=Fertig.\r\n"
                       "InvokingMsg=\"Starte \"\r\n"
                       "CompletedExitCode=Ende mit %d\r\n"
                       "errorMsg=Fehler %d bei %s\r\n"
                       "CompletedNoExitCode=\r\n");
    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.WaitFinished(20000));
    std::vector<std::string> lines = CrLfLines(run.Log());
    ASSERT_EQ(lines.size(), 5u) << run.Log();
    EXPECT_EQ(lines[0], "Warten...");
    EXPECT_EQ(lines[1], "Fertig.");
    EXPECT_EQ(lines[2], "Starte " + Probe() + " exit 4");
    EXPECT_EQ(lines[3], "Ende mit 4");
    EXPECT_EQ(lines[4], "Fehler 2 bei missing-4711.exe");
    EXPECT_TRUE(run.CloseWithOk());
}

TEST(DialogRun, MismatchedFormatsFallBackToTheDefaultText) {
    Kit kit;
    kit.SetCommandFile("[CustomCommands]\r\n"
                       "Commands_0=" + Probe() + " exit 6\r\n"
                       "Commands_1=missing-4711.exe\r\n"
                       "[Strings]\r\n"
                       "CompletedExitCode=Ende %s %s %s\r\n"
                       "errorMsg=Fehler %d %s %s %s %n\r\n");
    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.WaitFinished(20000));
    std::vector<std::string> lines = CrLfLines(run.Log());
    ASSERT_GE(lines.size(), 5u) << run.Log();
    EXPECT_EQ(lines[3], "Completed exit code:6");
    EXPECT_EQ(lines[4].find("Error code:2 occurred on command missing-4711.exe\n"), 0u) << lines[4];
    EXPECT_TRUE(run.CloseWithOk());
}

TEST(DialogRun, LogKeepsTheNewest32766Bytes) {
    Kit kit;
    std::string ini = "[CustomCommands]\r\n";
    // Failed starts are logged at once, without waits: fifteen 3000-byte failure lines.
    for (int i = 0; i < 15; ++i)
        ini += "Commands_" + std::to_string(i) + "=missing-" + std::to_string(100 + i) + ".exe " +
               std::string(3000, 'a' + i) + "\r\n";
    kit.SetCommandFile(ini);
    SarnikRun run(kit.Args());
    // A limit only a hang reaches: a loaded machine lays a full log out slowly.
    ASSERT_TRUE(run.WaitFinished(300000));
    std::string log = run.Log();
    EXPECT_EQ(log.size(), 32766u);
    EXPECT_EQ(log.find("missing-100.exe"), std::string::npos) << "the oldest text leaves at the top";
    EXPECT_NE(log.find("missing-114.exe " + std::string(3000, 'a' + 14)), std::string::npos);
    EXPECT_EQ(log.substr(log.size() - 2), "\r\n");
    EXPECT_TRUE(run.CloseWithOk());
}

TEST(DialogRun, NewLinesAreAppendedAndTheNewestIsInView) {
    // More lines than the log shows, then a full log: each line is added at the end and the view
    // follows it, also after the oldest text has left at the top. Under code page 932 the lines
    // carry double-byte characters (trail bytes '\\' and '|'), so that what leaves at the top is
    // counted as the control counts it.
    std::string wide;
    for (int k = 0; k < 1000; ++k) wide += GetACP() == 932 ? "\x95\x5C\x83\x7C" : "wide";
    Kit kit;
    std::string ini = "[CustomCommands]\r\n";
    for (int i = 0; i < 40; ++i)
        ini += "Commands_" + std::to_string(i) + "=missing-" + std::to_string(100 + i) + ".exe " +
               (i < 30 ? std::string("short") : wide) + "\r\n";
    kit.SetCommandFile(ini);
    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.WaitFinished(60000));
    std::string text = run.Log();
    // A double-byte character at the cut leaves whole.
    EXPECT_LE(text.size(), 32766u);
    EXPECT_GE(text.size(), 32765u);
    EXPECT_EQ(text.find("missing-100.exe"), std::string::npos) << "the oldest text leaves at the top";
    for (int i = 133; i < 140; ++i)
        EXPECT_NE(text.find("occurred on command missing-" + std::to_string(i) + ".exe " + wide + "\n"),
                  std::string::npos) << i;
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    HWND log = GetDlgItem(run.Dialog(), 1000);
    DWORD_PTR first = 0, count = 0;
    ASSERT_TRUE(SendMessageTimeoutA(log, EM_GETFIRSTVISIBLELINE, 0, 0, SMTO_ABORTIFHUNG, 5000, &first));
    ASSERT_TRUE(SendMessageTimeoutA(log, EM_GETLINECOUNT, 0, 0, SMTO_ABORTIFHUNG, 5000, &count));
    EXPECT_GT(first, 0u) << "the view follows the newest line";
    EXPECT_GE(first + 30, count) << "the last lines are in view";
    EXPECT_TRUE(run.CloseWithOk());
}

TEST(DialogRun, HugeCommandIsAFailedStartAndTheRunGoesOn) {
    Kit kit;
    std::string marks = kit.File("marks.txt");
    kit.SetCommandFile("[CustomCommands]\r\n"
                       "Commands_0=" + Probe() + " " + std::string(100 * 1024, 'x') + "\r\n"
                       "Commands_1=" + Probe() + " mark " + marks + " after\r\n");
    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.WaitFinished(300000));
    std::string log = run.Log();
    // The failure line itself is longer than the log keeps.
    EXPECT_NE(log.find(std::string(1000, 'x')), std::string::npos);
    EXPECT_NE(log.find("Invoking " + Probe() + " mark " + marks + " after\r\n"), std::string::npos);
    EXPECT_TRUE(FileExists(marks));
    EXPECT_TRUE(run.CloseWithOk());
}

TEST(DialogRun, MacrosAreExpandedBeforeTheCommandRuns) {
    Kit kit;
    TempFolder temp("temp"), install("install");
    kit.SetCommandFile("[CustomCommands]\r\n"
                       "Commands_0=" + Probe() + " cmdline \"<temp>\\got.txt\" mark \"<InstallationDir>\\m.txt\" <WINDIR>\r\n");
    SarnikRun run(kit.Args(0, 0, temp.Path() + "\\", install.Path()));
    ASSERT_TRUE(run.WaitFinished(20000));
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    std::string expanded = Probe() + " cmdline \"" + (temp / "got.txt") + "\" mark \"" + (install / "m.txt") + "\" " + windows;
    EXPECT_NE(run.Log().find("Invoking " + expanded + "\r\n"), std::string::npos) << run.Log();
    EXPECT_EQ(ReadLines(temp / "got.txt"), std::vector<std::string>{expanded});
    EXPECT_TRUE(FileExists(install / "m.txt"));
    EXPECT_TRUE(run.CloseWithOk());
}

TEST(DialogRun, AFailureWhileMacrosAreBuiltEndsTheRunInOrder) {
    // A custom public directory that cannot be created (a file stands in the way).
    TempFolder root("blocked");
    WriteFile(root / "file", "in the way");
    std::string blocked = root / "file\\Pub";
    // The product's setting, in the registry view where its installers write it.
    RegistryValueRestorer custom(HKEY_LOCAL_MACHINE, "Software\\Brontell\\Quelvaran\\16.0", "CustomPublicLocation",
                                 KEY_WOW64_32KEY);
    ASSERT_TRUE(custom.SetString(blocked));
    Kit kit;
    kit.SetCommandFile("[CustomCommands]\r\nCommands_0=" + Probe() + " mark " + kit.File("m.txt") + " ran\r\n");
    SarnikRun run(kit.Args());
    bool finished = run.WaitFinished(20000);
    std::string log = run.Log();
    ASSERT_TRUE(finished) << log;
    EXPECT_EQ(log.find("The custom commands could not be run to the end: "), 0u) << log;
    EXPECT_NE(log.find(blocked), std::string::npos) << log;
    EXPECT_FALSE(FileExists(kit.File("m.txt"))) << "no command runs after the failure";
    EXPECT_TRUE(run.CloseWithOk());
}

TEST(DialogRun, TextFileStartedAsAProgramReportsTheSystemMessageWithItsInsert) {
    // Error 193 (not a valid program): the system's message holds an insert (%1), which stays
    // as it is instead of being filled from arguments nobody passed.
    Kit kit;
    std::string notes = kit.File("notes.exe");
    WriteFile(notes, "just some text, no program\r\n");
    kit.SetCommandFile("[CustomCommands]\r\nCommands_0=" + notes + " /x\r\nCommands_1=" + Probe() + " exit 2\r\n");
    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.WaitFinished(20000)) << run.Log();
    std::vector<std::string> lines = CrLfLines(run.Log());
    std::string log = run.Log();
    const std::string head = "Error code:193 occurred on command " + notes + " /x\n";
    size_t at = log.find(head);
    ASSERT_NE(at, std::string::npos) << log;
    // The system's message ends with its own line end; then come the format's line feed and
    // the log's line end.
    size_t end = log.find("\r\n\n\r\n", at);
    ASSERT_NE(end, std::string::npos) << log;
    std::string message = log.substr(at + head.size(), end - at - head.size());
    EXPECT_NE(message.find("%1"), std::string::npos) << "the message with its insert: " << message;
    EXPECT_EQ(CrLfLines(log).back(), "Completed exit code:2") << "the run goes on";
    EXPECT_TRUE(run.CloseWithOk());
}

TEST(DialogRun, DoubleByteNamesEndToEnd) {
    // Kit, temporary and installation folders all end in "ポ表ソ" in this registration (see
    // TempFolder); here program names and commands hold them too.
    if (GetACP() != 932) GTEST_SKIP() << "runs in the code page 932 registration";
    // "ソ表ポ": not a part of the folders' "ポ表ソ", which the program-word replacement would
    // otherwise also find in the marks file's path.
    const std::string kDbcs = "\x83\x5C\x95\x5C\x83\x7C";
    Kit kit;
    TempFolder tools("tools"), temp("temp"), install("install");
    std::string named = tools / (kDbcs + ".exe");
    ASSERT_TRUE(CopyFileA(ProbePath().c_str(), named.c_str(), FALSE)) << GetLastError();
    std::string marks = kit.File("marks.txt");
    kit.SetCommandFile("[CustomCommands]\r\n"
                       // A bare double-byte program name found on the search path.
                       "Commands_0=" + kDbcs + " mark " + marks + " named exit 4\r\n"
                       // "パ" is 0x83 0x70: the program word probe is not in "パrobe".
                       "Commands_1=probe mark " + marks + " \x83probe\r\n"
                       // Macros whose values end in a trail byte '\'.
                       "Commands_2=\"" + ProbePath() + "\" mark \"<Temp>\\m.txt\" temp mark <InstallationDir>\\m.txt install\r\n"
                       // A program that cannot be found, with a double-byte name.
                       "Commands_3=" + kDbcs + "missing.exe /q\r\n");
    char path[32768];
    GetEnvironmentVariableA("PATH", path, sizeof path);
    SarnikRun run(kit.Args(0, 0, temp.Path(), install.Path()), {"PATH=" + tools.Path() + ";" + path});
    ASSERT_TRUE(run.WaitFinished(30000)) << run.Log();
    std::vector<std::string> lines = CrLfLines(run.Log());
    ASSERT_GE(lines.size(), 9u) << run.Log();  // the system's message may add lines
    EXPECT_EQ(lines[2], "Invoking " + named + " mark " + marks + " named exit 4");
    EXPECT_EQ(lines[3], "Completed exit code:4");
    EXPECT_EQ(lines[4], "Invoking " + ProbePath() + " mark " + marks + " \x83probe");
    EXPECT_EQ(lines[6], "Invoking \"" + ProbePath() + "\" mark \"" + (temp / "m.txt") + "\" temp mark " +
                            (install / "m.txt") + " install");
    EXPECT_EQ(lines[8].find("Error code:2 occurred on command " + kDbcs + "missing.exe /q\n"), 0u) << lines[8];
    std::vector<std::string> m = ReadLines(marks);
    ASSERT_EQ(m.size(), 2u) << ReadFile(marks);
    EXPECT_EQ(Words(m[0])[0], "named");
    EXPECT_EQ(Words(m[1])[0], "\x83probe");
    EXPECT_TRUE(FileExists(temp / "m.txt"));
    EXPECT_TRUE(FileExists(install / "m.txt"));
    EXPECT_TRUE(run.CloseWithOk());
}

TEST(DialogRun, ProgramInADoubleByteFolderStartedWithoutQuotes) {
    // A parent installer may write sarnik.exe's path without quotation marks when it holds no
    // blank; a double-byte folder name must not leak into the arguments.
    if (GetACP() != 932) GTEST_SKIP() << "runs in the code page 932 registration";
    TempFolder bin("bin");
    std::string sarnik = bin / "\x83\x7C\x95\x5C.exe";
    ASSERT_EQ(bin.Path().find(' '), std::string::npos) << bin.Path();
    ASSERT_TRUE(CopyFileA(BinPath("sarnik.exe").c_str(), sarnik.c_str(), FALSE));
    Kit kit;
    std::string marks = kit.File("marks.txt");
    kit.SetCommandFile("[CustomCommands]\r\nCommands_0=" + Probe() + " mark " + marks + " ran\r\n");
    Process process(Process::CommandLine{sarnik + " " + kit.Args()});
    ASSERT_TRUE(process.Started());
    HWND dlg = WaitForWindow(process.Id(), nullptr, "Command Progress", 10000);
    ASSERT_NE(dlg, nullptr);
    ASSERT_TRUE(WaitUntil([&] { return IsWindowEnabled(GetDlgItem(dlg, IDOK)) != FALSE; }, 20000));
    EXPECT_TRUE(FileExists(marks)) << WindowText(GetDlgItem(dlg, 1000));
    PostMessageA(dlg, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_TRUE(process.Wait(10000));
}
