#include <gtest/gtest.h>

#include "installer/ParentWait.h"
#include "runner/Launch.h"
#include "runner/Reboot.h"
#include "scan/CharScan.h"
#include "support/TestSupport.h"
#include "unit/AppCodePage.h"

using namespace test;

TEST(Launch, PathSearchOnlyForBareAndQuotedPrograms) {
    struct Case { const char* command; bool search; };
    const Case cases[] = {
        {"", false},
        {"notepad", true},
        {"x", true},
        {".\\t.exe", false},
        {"..\\setup.exe", false},
        {"\\\\server\\share\\t.exe", false},
        {"C:\\tools\\t.exe /x", false},
        {"c:t.exe", false},
        {"\\tools\\t.exe", true},
        {"\"C:\\Program Files\\t.exe\" /x", true},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(NeedsPathSearch(cases[i].command), cases[i].search) << "row " << i << " '" << cases[i].command << "'";
}

TEST(Launch, ResolvesTheProgramWordInPlace) {
    TempFolder dir("with blank");
    std::string probe = dir / "my probe.exe";
    ASSERT_TRUE(CopyFileA(BinPath("probe.exe").c_str(), probe.c_str(), FALSE));

    // A quoted path with a blank: the quotation marks stay around the found path.
    std::string quoted = "\"" + probe + "\" /x";
    ResolveProgramPath(quoted);
    EXPECT_EQ(quoted, "\"" + probe + "\" /x");

    std::string unknown = "no-such-program-4711 /x";
    ResolveProgramPath(unknown);
    EXPECT_EQ(unknown, "no-such-program-4711 /x");

    char sys[MAX_PATH];
    GetSystemDirectoryA(sys, MAX_PATH);
    std::string cmd = "cmd /c echo";
    ResolveProgramPath(cmd);
    EXPECT_EQ(_stricmp(cmd.c_str(), (std::string(sys) + "\\cmd.exe /c echo").c_str()), 0) << cmd;
}

// Programs whose found path fills the 260-character buffer of the search to its last byte (259
// characters and the terminator), falls one short, and needs one more byte: the whole path must
// replace the word, never a cut one.
TEST(Launch, SearchPathResultsAroundMaxPath) {
    TempFolder root("maxpath");
    char oldPath[32767] = "";
    GetEnvironmentVariableA("PATH", oldPath, sizeof oldPath);
    const std::string exe = "\\maxpathprobe.exe";
    for (size_t length : {MAX_PATH - 2, MAX_PATH - 1, MAX_PATH}) {
        // A folder chain whose program path is exactly length characters long.
        std::string dir = root / std::to_string(length);
        ASSERT_LT(dir.size() + exe.size() + 2, length);
        while (dir.size() + exe.size() < length) {
            size_t room = length - exe.size() - dir.size() - 1;
            dir += "\\" + std::string(room < 100 ? room : 100, 'd');
        }
        ASSERT_EQ(dir.size() + exe.size(), length);
        MakeDirs(dir);
        ASSERT_TRUE(CopyFileA(BinPath("probe.exe").c_str(), (dir + exe).c_str(), FALSE)) << length;
        SetEnvironmentVariableA("PATH", (dir + ";" + oldPath).c_str());

        std::string command = "maxpathprobe /x";
        ResolveProgramPath(command);
        bool whole = _stricmp(command.c_str(), (dir + exe + " /x").c_str()) == 0;
        if (length < MAX_PATH) {
            EXPECT_TRUE(whole) << "length " << length << ": " << command.size() << " characters: " << command;
        } else {
            // Wine's SearchPathA refuses a result of 260 characters (ERROR_FILENAME_EXCED_RANGE)
            // where Windows reports the size it needs: the command then stays as it was.
            EXPECT_TRUE(whole || command == "maxpathprobe /x")
                << "length " << length << ": " << command.size() << " characters: " << command;
        }
    }
    SetEnvironmentVariableA("PATH", oldPath);
}

TEST(Launch, WaitWithoutAProcessReturnsAtOnce) {
    bool known = true;
    EXPECT_EQ(WaitForProcessExit(nullptr, known), -1);
    EXPECT_FALSE(known);
}

TEST(Launch, ExitCodesAreCollected) {
    for (int code : {0, 3, -1, 259}) {
        STARTUPINFOA si;
        PrepareStartupInfo(si);
        // The structure's own size: 68 bytes in a 32-bit program, 104 in a 64-bit one.
        EXPECT_EQ(si.cb, sizeof(STARTUPINFOA));
        EXPECT_EQ(si.cb, sizeof(void*) == 4 ? 68u : 104u);
        PROCESS_INFORMATION pi;
        ASSERT_TRUE(StartCommand(Quoted(BinPath("probe.exe")) + " exit " + std::to_string(code), si, pi));
        CloseHandle(pi.hThread);
        bool known = false;
        EXPECT_EQ(WaitForProcessExit(pi.hProcess, known), code);
        EXPECT_TRUE(known);
        CloseHandle(pi.hProcess);
    }
    STARTUPINFOA si;
    PrepareStartupInfo(si);
    PROCESS_INFORMATION pi;
    SetLastError(0);
    EXPECT_FALSE(StartCommand("no-such-program-4711.exe", si, pi));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST(Launch, AProcessThatCannotBeResumedIsEndedNotLeftSuspended) {
    STARTUPINFOA si;
    PrepareStartupInfo(si);
    PROCESS_INFORMATION pi;
    ASSERT_TRUE(StartCommand(Quoted(BinPath("probe.exe")) + " exit 7", si, pi, CREATE_SUSPENDED)) << GetLastError();
    ScopedHandle process(pi.hProcess), thread(pi.hThread);
    // A handle of the thread without the right to resume it.
    HANDLE limited = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), thread.Get(), GetCurrentProcess(), &limited, SYNCHRONIZE, FALSE, 0));
    ScopedHandle limitedThread(limited);
    DWORD error = 0xDEADBEEF;
    EXPECT_FALSE(ResumeOrEnd(process.Get(), limitedThread.Get(), error));
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(WaitForSingleObject(process.Get(), 0), WAIT_OBJECT_0) << "the process is left suspended";
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeProcess(process.Get(), &code));
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_ACCESS_DENIED)) << "ended by the run, never run itself";

    // With the right to resume it, it runs to its own end.
    PROCESS_INFORMATION pi2;
    ASSERT_TRUE(StartCommand(Quoted(BinPath("probe.exe")) + " exit 7", si, pi2, CREATE_SUSPENDED));
    ScopedHandle process2(pi2.hProcess), thread2(pi2.hThread);
    EXPECT_TRUE(ResumeOrEnd(process2.Get(), thread2.Get(), error));
    bool known = false;
    EXPECT_EQ(WaitForProcessExit(process2.Get(), known), 7);
}

TEST(Launch, ProcessThatExitsWith259EndsTheWaitWhateverTheHandleMayDo) {
    // The parent installer's handle: opened for query and synchronisation, or, where only query
    // access is granted, for query alone. Either way a parent that exits with STILL_ACTIVE ends
    // the wait instead of being taken for a running one forever.
    struct Case { const char* name; DWORD access; };
    const Case cases[] = {
        {"query and synchronize", PROCESS_QUERY_INFORMATION | SYNCHRONIZE},
        {"query only", PROCESS_QUERY_INFORMATION},
    };
    for (const Case& c : cases) {
        Process parent(BinPath("probe.exe"), "sleep 300 exit 259");
        ASSERT_TRUE(parent.Started());
        HANDLE h = OpenProcess(c.access, FALSE, parent.Id());
        ASSERT_NE(h, nullptr) << c.name;
        bool known = false;
        EXPECT_EQ(WaitForProcessExit(h, known), 259) << c.name;
        EXPECT_TRUE(known) << c.name;
        EXPECT_TRUE(parent.Wait(0)) << c.name << ": the wait ended before the process did";
        CloseHandle(h);
    }
}

class LaunchCodePage : public AppCodePage {};

TEST_P(LaunchCodePage, ReplacementMatchesWholeCharactersOnly) {
    struct Case { const char* text; const char* pattern; const char* with; const char* sbcs; const char* dbcs; };
    const Case cases[] = {
        // "パ" is 0x83 0x70: under 932 no 'p' starts inside it.
        {"probe \x83probe.log", "probe", "P", "P \x83P.log", "P \x83probe.log"},
        // Trail byte '\' of "表" and "ソ" is no backslash of its own.
        {"\x95\x5C\\\x83\x5C", "\\", "/", "\x95//\x83/", "\x95\x5C/\x83\x5C"},
        // A pattern that ends in a lone lead byte takes no half character.
        {"a\x83pb a\x83", "a\x83", "X", "Xpb X", "a\x83pb X"},
        // Whole double-byte characters are found like any other.
        {"\x83\x7C \x83\x7C\x83\x7C", "\x83\x7C", "|", "| ||", "| ||"},
        {"abc", "", "X", "abc", "abc"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(ReplaceAllText(cases[i].text, cases[i].pattern, cases[i].with),
                  Pick<std::string>(cases[i].sbcs, cases[i].dbcs))
            << "row " << i;
    EXPECT_EQ(FindCharacter("\x83\x7C|", '|'), Pick<size_t>(1, 2));
    EXPECT_EQ(FindText("x\x83\x5Cy", "\x5Cy"), Pick<size_t>(2, std::string::npos));
}

TEST_P(LaunchCodePage, ProgramWordIsReplacedOnlyWhereItStands) {
    // probe.exe is found beside the test program, the first place of the platform's search.
    std::string command = "probe mark \x83probe";
    ResolveProgramPath(command);
    std::string path = BinPath("probe.exe");
    EXPECT_EQ(command, Pick<std::string>(path + " mark \x83" + path, path + " mark \x83probe"));
}

TEST_P(LaunchCodePage, PathSearchDecisionReadsCharacters) {
    struct Case { const char* command; bool sbcs; bool dbcs; };
    const Case cases[] = {
        {"\x83", true, true},                      // a lone lead byte is a one-character text
        {"\x83:\\t.exe", false, true},           // under 932 the ':' is a trail byte
        {"\x95\x5C\\share", true, true},        // "表" then '\': not two backslashes
        {"C:\\\x83\x7C\\t.exe", false, false},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(NeedsPathSearch(cases[i].command), Pick(cases[i].sbcs, cases[i].dbcs)) << "row " << i;
}

INSTANTIATE_APP_CODE_PAGES(LaunchCodePage);

TEST(Reboot, PrivilegeThatCannotBeEnabledRequestsNothing) {
    // The token never holds this privilege: the request stops before ExitWindowsEx.
    EXPECT_FALSE(RestartSystem("SeCreateTokenPrivilege"));
    EXPECT_FALSE(RestartSystem("NoSuchPrivilege"));
}

TEST(SetupEngine, RecognisedByTheVersionResourceOfTheWholeCommand) {
    TempFolder dir("engine");
    WriteFile(dir / "plain.txt", "not a program");
    struct Case { std::string command; bool engine; };
    const Case cases[] = {
        {BinPath("engine.exe"), true},
        {BinPath("engine.exe") + " /q", false},          // arguments: names no file
        {Quoted(BinPath("engine.exe")), false},          // quoted: names no file
        {BinPath("notengine.exe"), false},               // another InternalName
        {BinPath("lookalikeengine.exe"), false},         // fullwidth letters, "Parentix" by best fit
        {BinPath("probe.exe"), false},                   // no version resource
        {dir / "plain.txt", false},
        {dir / "missing.exe", false},
        {"", false},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(IsSetupEngine(cases[i].command), cases[i].engine) << "row " << i << " " << cases[i].command;
}

// An engine that takes its mutex only seconds after its start, well inside the 300 polls of
// 100 ms: the wait must last until the mutex is taken, not give up early.
TEST(SetupEngine, WaitForTheMutexOutlastsASlowEngine) {
    // The engine holds its mutex far longer than the wait can take, so that the mutex is still
    // held when the wait ends, however loaded the machine.
    Process engine(BinPath("probe.exe"), "sleep 4000 hold _ZQParentixMutex 120000");
    ASSERT_TRUE(engine.Started());
    DWORD start = GetTickCount();
    WaitEngineMutexTaken();
    DWORD waited = GetTickCount() - start;
    EXPECT_GE(waited, 3500u) << "returned before the engine took its mutex";
    // The wait gives up after its 300 polls (30 s); only a wait that never saw the mutex taken
    // comes near that.
    EXPECT_LT(waited, 25000u) << "kept polling after the engine took its mutex";
    ScopedHandle held;
    EXPECT_FALSE(TryAcquireEngineMutex(held)) << "the engine's mutex must be held when the wait ends";
    ReleaseEngineMutex(held);
    engine.Kill();
}
