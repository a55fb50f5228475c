// The real sarnik.exe started by a Unicode parent installer (CreateProcessW) with kit, temporary
// and installation folders named with characters that the ANSI code page lacks, or turns into
// '|', '"', '\\' or '-' by best fit. Each run works on the real folders (by their short names) or
// refuses with its message: never on a look-alike folder, never with another kit's command file.
// Beside every folder the test plants the look-alike that an ANSI program would have been handed,
// with a command file of its own, as whoever wants to take over such an installation would.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "scan/CharScan.h"
#include "support/TestSupport.h"

using namespace test;

namespace {
struct Name {
    const char* label;
    const wchar_t* text;
};
// Best fit turns U+FF5C into '|', U+FF02 into '"', U+FF3C into '\\', U+00AD into '-' (932),
// U+0141 into 'L' and U+00A5 into '\\' (932); the rest has no look-alike and becomes '?'.
const Name kNames[] = {
    {"fullwidth bar", L"evil\xFF5Ckit"},
    {"fullwidth quotation mark", L"q\xFF02q"},
    {"fullwidth backslash", L"a\xFF3C" L"b"},
    {"soft hyphen", L"x\x00AD" L"y"},
    {"L with stroke, z with acute", L"\x0141\x00F3" L"d\x017A"},
    {"Cyrillic", L"\x0416\x0443\x043A"},
    {"CJK", L"\x65E5\x672C"},
    {"emoji", L"smile \xD83D\xDE00"},
    {"yen sign", L"\x00A5" L"100"},
};

std::string Probe() { return Quoted(BinPath("probe.exe")); }

// The first character of text that the code page lacks, as the run's messages show it.
std::string FirstMissing(const std::wstring& text) {
    for (size_t i = 0; i < text.size(); ++i) {
        size_t n = (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size()) ? 2 : 1;
        if (!Representable(text.substr(i, n))) {
            unsigned code = n == 2 ? 0x10000u + ((text[i] - 0xD800u) << 10) + (text[i + 1] - 0xDC00u) : text[i];
            char shown[16];
            std::snprintf(shown, sizeof shown, "[U+%04X]", code);
            return shown;
        }
        i += n - 1;
    }
    return std::string();
}

// The folder an ANSI program would have been handed for path: the platform's best-fit
// conversion, cut at a '|' that it made (the field ends there). Empty when that is the path
// itself (nothing to plant) or names no folder that can be made.
std::string LookAlike(const std::wstring& path) {
    std::string ansi = BestFit(path);
    size_t bar = FindCharacter(ansi, '|');
    if (bar != std::string::npos) ansi.resize(bar);
    if (Widen(ansi) == path || ansi.find_first_of("\"?*<>") != std::string::npos) return std::string();
    return ansi;
}

// A kit folder that whoever planted it would like to have run: its command marks wrong.txt.
void PlantKit(const std::string& dir, const std::string& wrong) {
    if (dir.empty()) return;
    MakeDirs(dir + "\\Setup");
    WriteFile(dir + "\\Setup\\CustCmds.ini",
              "[CustomCommands]\r\nUnattended=TRUE\r\nShowDialog=FALSE\r\nCommands_0=" + Probe() + " mark \"" + wrong +
                  "\" planted\r\n");
}

std::wstring SarnikLine(const std::wstring& kit, const std::wstring& temp, const std::wstring& install) {
    return L"\"" + Widen(BinPath("sarnik.exe")) + L"\" 0 0|" + kit + L"|" + temp + L"|" + install + L"|";
}

// Three commands that mark a file in the kit, temporary and installation folders.
std::string MarkingCommands() {
    return "Commands_0=" + Probe() + " mark \"<Quelvaran>\\m.txt\" kit\r\n" + "Commands_1=" + Probe() +
           " mark \"<Temp>\\m.txt\" temp\r\n" + "Commands_2=" + Probe() + " mark \"<InstallationDir>\\m.txt\" app\r\n";
}

// An unattended run of the three marking commands, started by a Unicode parent, with its log file
// in base. Returns the log; exitCode gets the run's exit code.
std::string RunMarking(const TempFolder& base, const std::wstring& kit, const std::wstring& temp,
                       const std::wstring& app, DWORD& exitCode) {
    WriteFileW(kit + L"\\Setup\\CustCmds.ini", "[CustomCommands]\r\nUnattended=TRUE\r\nLogFile=" + base.Path() +
                                                   "\\run.log\r\n" + MarkingCommands());
    Process run(Process::WideCommandLine{SarnikLine(kit, temp, app)});
    EXPECT_TRUE(run.Started());
    EXPECT_TRUE(run.Wait(60000));
    exitCode = run.ExitCode();
    return ReadFile(base / "run.log");
}

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string FirstWord(const std::string& text) {
    std::vector<std::string> words = Words(text);
    return words.empty() ? std::string() : words[0];
}
}  // namespace

// Case 1 and 3 of the report: a kit folder "evil｜kit" made Sarnik read the kit "evil"; "Łódź kit"
// found no command file. Case 2: an installation folder "App Łódź" was written as "App Lódz".
TEST(UnicodeFolders, TheRunWorksOnTheRealFoldersByTheirShortNames) {
    for (const Name& name : kNames) {
        SCOPED_TRACE(name.label);
        TempFolder base("uni");
        std::wstring root = Widen(base.Path());
        std::wstring kit = root + L"\\kit " + name.text, temp = root + L"\\tmp " + name.text,
                     app = root + L"\\app " + name.text;
        for (const std::wstring& dir : {kit + L"\\Setup", temp, app}) MakeDirsW(dir);
        std::string wrong = base / "wrong.txt";
        std::vector<std::string> lookAlikes{LookAlike(kit), LookAlike(temp), LookAlike(app)};
        PlantKit(lookAlikes[0], wrong);
        for (size_t i = 1; i < lookAlikes.size(); ++i)
            if (!lookAlikes[i].empty()) MakeDirs(lookAlikes[i]);

        DWORD exitCode = 0;
        std::string log = RunMarking(base, kit, temp, app, exitCode);
        EXPECT_EQ(exitCode, 0u) << log;
        EXPECT_EQ(FirstWord(ReadFileW(kit + L"\\m.txt")), "kit") << log;
        EXPECT_EQ(FirstWord(ReadFileW(temp + L"\\m.txt")), "temp") << log;
        EXPECT_EQ(FirstWord(ReadFileW(app + L"\\m.txt")), "app") << log;
        EXPECT_FALSE(FileExists(wrong)) << "the look-alike kit " << lookAlikes[0] << " was run";
        for (const std::string& lookAlike : lookAlikes) {
            if (!lookAlike.empty()) {
                EXPECT_FALSE(FileExists(lookAlike + "\\m.txt")) << lookAlike;
            }
        }

        // A folder the code page lacks is named once, with the short name used for it; one it
        // holds is used as it stands. The log's copy of the command line names every character.
        bool exact = Representable(name.text);
        for (const char* what : {"The kit folder (", "<Temp> (", "<InstallationDir> ("})
            EXPECT_EQ(Contains(log, what), !exact) << what << "\n" << log;
        EXPECT_EQ(Contains(log, "its short name"), !exact) << log;
        if (!exact) {
            EXPECT_TRUE(Contains(log, "command line: ") && Contains(log, FirstMissing(name.text))) << log;
        }
    }
}

// A folder without a short name (one that does not exist yet, or a volume with 8.3 names switched
// off) that the code page cannot hold is refused: the command that uses it is not started, the
// others are, and the run ends with 1603 and says why. Wine makes an ASCII short name for every
// existing name it cannot hold, so a folder that does not exist is the case it can show.
TEST(UnicodeFolders, ADirectoryWithoutAShortNameRefusesTheCommandsThatUseIt) {
    for (const Name& name : kNames) {
        SCOPED_TRACE(name.label);
        if (Representable(name.text)) continue;  // such a folder is used as it stands
        TempFolder base("uni");
        std::wstring root = Widen(base.Path());
        std::wstring kit = root + L"\\kit", temp = root + L"\\tmp", app = root + L"\\app " + name.text;
        MakeDirsW(kit + L"\\Setup");
        MakeDirsW(temp);
        std::string lookAlike = LookAlike(app);
        if (!lookAlike.empty()) MakeDirs(lookAlike);

        DWORD exitCode = 0;
        std::string log = RunMarking(base, kit, temp, app, exitCode);
        EXPECT_EQ(exitCode, 1603u) << log;
        EXPECT_EQ(FirstWord(ReadFileW(kit + L"\\m.txt")), "kit") << log;
        EXPECT_EQ(FirstWord(ReadFileW(temp + L"\\m.txt")), "temp") << log;
        if (!lookAlike.empty()) {
            EXPECT_FALSE(FileExists(lookAlike + "\\m.txt")) << lookAlike;
        }
        EXPECT_TRUE(Contains(log, "Error code:1113 occurred on command " + Probe() + " mark \"<InstallationDir>\\m.txt\" app"))
            << log;
        EXPECT_TRUE(Contains(log, "<InstallationDir> (") && Contains(log, FirstMissing(name.text)) &&
                    Contains(log, "cannot be represented in the ANSI code page " + std::to_string(GetACP()) +
                                      " and has no short name that can: the command that uses it is not started."))
            << log;
        EXPECT_TRUE(Contains(log, "2\tnot-started\t1113\t")) << log;
    }
}

// Without its folder there is no command file to read: the run says so and runs nothing, and
// the look-alike kit's command file is not read either. The kit's own settings cannot be read,
// so the dialog shows it.
TEST(UnicodeFolders, AKitFolderWithoutAShortNameRunsNothing) {
    const Name& name = kNames[4];
    TempFolder base("uni");
    std::wstring kit = Widen(base.Path()) + L"\\kit " + name.text;
    std::string wrong = base / "wrong.txt";
    PlantKit(LookAlike(kit), wrong);

    SarnikRun run(Process::WideCommandLine{SarnikLine(kit, L"", L"")});
    ASSERT_TRUE(run.Dialog()) << "no dialog";
    ASSERT_TRUE(run.WaitFinished(30000));
    std::string log = run.Log();
    EXPECT_TRUE(Contains(log, "The kit folder (") && Contains(log, FirstMissing(name.text)) &&
                Contains(log, "its command file is not read and no command is run."))
        << log;
    ASSERT_TRUE(run.CloseWithOk());
    EXPECT_EQ(run.Proc().ExitCode(), 1603u);
    EXPECT_FALSE(FileExists(wrong)) << "the look-alike kit was run";
}

// A silent run shows the refusal in its failure box, as it shows a command that cannot start.
TEST(UnicodeFolders, ASilentRunShowsTheRefusalInABox) {
    const Name& name = kNames[4];
    TempFolder base("uni");
    std::wstring kit = Widen(base.Path()) + L"\\kit";
    MakeDirsW(kit + L"\\Setup");
    WriteFileW(kit + L"\\Setup\\CustCmds.ini", "[CustomCommands]\r\nShowDialog=FALSE\r\nCommands_0=" + Probe() +
                                                   " mark \"<InstallationDir>\\m.txt\" app\r\n");
    SarnikRun run(Process::WideCommandLine{SarnikLine(kit, L"", Widen(base.Path()) + L"\\missing " + name.text)});
    HWND box = run.Box("Error", 30000);
    ASSERT_TRUE(box) << "no box";
    std::string text = MessageBoxText(box);
    EXPECT_TRUE(Contains(text, "Error code:1113") && Contains(text, "<InstallationDir> (") &&
                Contains(text, FirstMissing(name.text)))
        << text;
    Answer(box, IDOK);
    ASSERT_TRUE(run.Proc().Wait(30000));
    EXPECT_EQ(run.Proc().ExitCode(), 1603u);
}

namespace {
#if defined(_WIN64)
const char kOwnArch[] = "x64";
#else
const char kOwnArch[] = "x86";
#endif

// sarnikcheck started by a Unicode program on the three folders; its output and exit code.
DWORD Check(const std::wstring& kit, const std::wstring& temp, const std::wstring& install, std::string& output) {
    std::wstring line = L"\"" + Widen(BinPath("sarnikcheck.exe")) + L"\" --arch " + Widen(kOwnArch) + L" \"" + kit +
                        L"\" \"" + temp + L"\" \"" + install + L"\"";
    return RunConsoleProgram(line, output);
}

// A command file saved as UTF-16 with its byte-order mark, as an editor saves it "in Unicode".
void WriteUtf16(const std::wstring& path, const std::wstring& text) {
    std::string bytes("\xFF\xFE", 2);
    for (wchar_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>((c >> 8) & 0xFF);
    }
    WriteFileW(path, bytes);
}
}  // namespace

// The checker takes its folders as the run takes its fields: the real kit by its short name
// (never the look-alike beside it), and a command that uses a folder the run refuses is SC0015.
TEST(UnicodeFolders, TheCheckerSeesTheFoldersAsTheRunDoes) {
    const Name& name = kNames[0];
    TempFolder base("uni");
    std::wstring root = Widen(base.Path());
    std::wstring kit = root + L"\\kit " + name.text, temp = root + L"\\tmp", app = root + L"\\missing \x0141";
    MakeDirsW(kit + L"\\Setup");
    MakeDirsW(temp);
    WriteFileW(kit + L"\\Setup\\CustCmds.ini", "[CustomCommands]\r\nCommands_0=" + Probe() +
                                                   " mark \"<Quelvaran>\\m.txt\" real-kit\r\nCommands_1=" + Probe() +
                                                   " mark \"<InstallationDir>\\m.txt\" app\r\n");
    PlantKit(LookAlike(kit), base / "wrong.txt");

    std::string output;
    EXPECT_EQ(Check(kit, temp, app, output), 2u) << output;
    EXPECT_TRUE(Contains(output, "real-kit")) << output;
    EXPECT_FALSE(Contains(output, "planted")) << output;
    EXPECT_EQ(Contains(output, "The kit folder (") && Contains(output, "a run uses its short name"),
              !Representable(name.text))
        << output;
    EXPECT_TRUE(Contains(output, "error SC0015: Commands_1: <InstallationDir> (") && Contains(output, "[U+0141]"))
        << output;
    EXPECT_TRUE(Contains(output, "started: (not started)")) << output;

    // A kit folder that no run can name is one the checker cannot read either.
    EXPECT_EQ(Check(root + L"\\no kit \x0141", temp, L"", output), 3u) << output;
    EXPECT_TRUE(Contains(output, "error SC0001") && Contains(output, "a run reads no command file from it")) << output;
}

// A command file saved as UTF-16 can hold any character. A command with one the code page lacks
// is SC0015 for the checker and not started by the run; the next command runs.
TEST(UnicodeFolders, AUtf16CommandTheCodePageLacksIsNeitherBestFittedNorStarted) {
    TempFolder base("uni");
    std::wstring kit = Widen(base.Path()) + L"\\kit";
    MakeDirsW(kit + L"\\Setup");
    // Best fit would start the first command as "... L??" and mark the file with "L??".
    std::wstring first = Widen(Probe()) + L" mark \"" + kit + L"\\m.txt\" \x0141\xD83D\xDE00";
    std::wstring second = Widen(Probe()) + L" mark \"" + kit + L"\\m.txt\" second";
    WriteUtf16(kit + L"\\Setup\\CustCmds.ini", L"[CustomCommands]\r\nUnattended=TRUE\r\nLogFile=" +
                                                   Widen(base.Path()) + L"\\run.log\r\nCommands_0=" + first +
                                                   L"\r\nCommands_1=" + second + L"\r\n");
    std::string output;
    EXPECT_EQ(Check(kit, L"", L"", output), 2u) << output;
    EXPECT_TRUE(Contains(output, "error SC0015: Commands_0: The command holds characters")) << output;

    Process run(Process::WideCommandLine{SarnikLine(kit, L"", L"")});
    ASSERT_TRUE(run.Wait(60000));
    std::string log = ReadFile(base / "run.log");
    EXPECT_EQ(run.ExitCode(), 1603u) << log;
    std::vector<std::string> marks = ReadLines(base.Path() + "\\kit\\m.txt");
    ASSERT_EQ(marks.size(), 1u) << "only the second command marks: " << log;
    EXPECT_EQ(FirstWord(marks[0]), "second");
    EXPECT_TRUE(Contains(log, "Error code:1113 occurred on command ") && Contains(log, "[U+0141][U+1F600]") &&
                Contains(log, "The command holds characters that the ANSI code page " + std::to_string(GetACP()) +
                                  " cannot represent: it is not started."))
        << log;
}

// The program search begins with the kit folder: a bare name that the kit folder supplies while
// the system folder has it too is where a planted program passes for the system's (SC0028).
TEST(UnicodeFolders, TheCheckerNamesBareProgramsThatTheKitFolderSuppliesAheadOfTheSystem) {
    Kit kit;
    ASSERT_TRUE(CopyFileA(BinPath("probe.exe").c_str(), kit.File("cmd.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(BinPath("probe.exe").c_str(), kit.File("kittool.exe").c_str(), FALSE));
    kit.SetCommandFile("[CustomCommands]\r\nCommands_0=cmd /c exit 0\r\nCommands_1=kittool exit 0\r\n"
                       "Commands_2=<WinSystem32>\\cmd.exe /c exit 0\r\n");
    std::string output;
    RunConsoleProgram(Quoted(BinPath("sarnikcheck.exe")) + " --arch " + kOwnArch + " " + Quoted(kit.Dir()), output);
    EXPECT_TRUE(Contains(output, "warning SC0028: Commands_0: the program \"cmd\" is \"" + kit.File("cmd.exe") + "\""))
        << output;
    EXPECT_FALSE(Contains(output, "SC0028: Commands_1")) << "only the kit has it: " << output;
    EXPECT_FALSE(Contains(output, "SC0028: Commands_2")) << "a path, no bare name: " << output;
}
