// The pieces of the run log: the RebootOnExitCodes parser, the LogFile path, the bytes of a log
// line, the file writer against real folders and locks, and the results table.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "SarnikVersion.h"
#include "macros/DirectoryMacroTable.h"
#include "runner/RunLog.h"
#include "runner/RunSettings.h"
#include "support/TestSupport.h"
#include "unit/AppCodePage.h"
#include "unit/kefwk/FrameworkTestSupport.h"

using kefwktest::Show;

TEST(ExitCodeList, ParsesCodesAndNamesWhatIsNot) {
    struct Case {
        const char* value;
        std::vector<uint32_t> codes;
        std::vector<std::string> ignored;
    };
    const Case cases[] = {
        {"3010, 1641", {3010, 1641}, {}},
        {" \t3010 ,\t1641 \t", {3010, 1641}, {}},
        {"3010,,1641,", {3010, 1641}, {}},                      // empty entries pass unnamed
        {"3010 1641", {}, {"3010 1641"}},                        // blanks only around an entry
        {"abc, 12x,3010, 0x10", {3010}, {"abc", "12x", "0x10"}},
        {"-1, 4294967295", {0xFFFFFFFFu, 0xFFFFFFFFu}, {}},      // the same 32-bit code twice
        {"4294967296,-2147483649,-2147483648", {0x80000000u}, {"4294967296", "-2147483649"}},
        {"99999999999999999999999", {}, {"99999999999999999999999"}},
        {"-, +5, 0", {0}, {"-", "+5"}},
        {"", {}, {}},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        ExitCodeList parsed = ParseExitCodeList(cases[i].value);
        EXPECT_EQ(parsed.codes, cases[i].codes) << "row " << i << ": " << cases[i].value;
        EXPECT_EQ(parsed.ignored, cases[i].ignored) << "row " << i << ": " << cases[i].value;
    }
    // Given is what makes SuccessExitCodes judge: any value but blanks, also one without codes.
    EXPECT_FALSE(ParseExitCodeList(" \t").given);
    EXPECT_TRUE(ParseExitCodeList("ok").given);
    EXPECT_TRUE(ParseExitCodeList("0").given);
    ExitCodeList minusOne = ParseExitCodeList("4294967295");
    EXPECT_TRUE(minusOne.Contains(-1));
    EXPECT_FALSE(minusOne.Contains(0));
}

class RunLogCodePage : public AppCodePage {};
INSTANTIATE_APP_CODE_PAGES(RunLogCodePage);

TEST_P(RunLogCodePage, DoubleByteEntriesAreNamedWhole) {
    // "ポ" is 0x83 0x7C: under 932 its trail byte is no '|' and the entry stays one piece.
    ExitCodeList parsed = ParseExitCodeList("\x83\x7C" "1,3010");
    EXPECT_EQ(parsed.codes, std::vector<uint32_t>{3010});
    ASSERT_EQ(parsed.ignored.size(), 1u);
    EXPECT_EQ(parsed.ignored[0], "\x83\x7C" "1");
}

TEST_P(RunLogCodePage, LogFilePathIsExpandedAndTakenFromTheKitFolder) {
    // A kit folder whose last character is "表" (0x95 0x5C): its trail byte is no separator.
    std::string kit = Pick<std::string>("C:\\Kit", "C:\\\x95\x5C");
    DirectoryMacroTable macros(DynamicString(kit.c_str(), true), DynamicString("C:\\Tmp\\", true),
                               DynamicString("", true));
    struct Case { std::string value, expected; };
    const Case cases[] = {
        {"logs\\run.log", kit + "\\logs\\run.log"},
        {"run.log", kit + "\\run.log"},
        {"  run.log  ", kit + "\\run.log"},
        {"<Temp>\\MyKit-commands.log", "C:\\Tmp\\MyKit-commands.log"},
        {"<TEMP>\\a.log", "C:\\Tmp\\a.log"},
        {"<Quelvaran>\\b.log", kit + "\\b.log"},
        {"D:\\logs\\c.log", "D:\\logs\\c.log"},
        {"\\logs\\d.log", "\\logs\\d.log"},
        {"\\\\server\\share\\e.log", "\\\\server\\share\\e.log"},
        {"", ""},
        {"   ", ""},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(Show(LogFilePathFrom(cases[i].value, kit, macros).c_str()), Show(cases[i].expected.c_str()))
            << "row " << i << ": " << cases[i].value;
    // A kit folder given with its closing backslash gets no second one.
    EXPECT_EQ(LogFilePathFrom("f.log", "C:\\Kit\\", macros), "C:\\Kit\\f.log");
}

TEST(LogFileWriter, FormatsTimeStampedCrLfLines) {
    SYSTEMTIME t = {};
    t.wYear = 2026;
    t.wMonth = 3;
    t.wDay = 7;
    t.wHour = 9;
    t.wMinute = 5;
    t.wSecond = 4;
    t.wMilliseconds = 12;
    const char* stamp = "2026-03-07 09:05:04.012 ";
    struct Case { std::string text, expected; };
    const Case cases[] = {
        {"Invoking x.exe", std::string(stamp) + "Invoking x.exe\r\n"},
        {"", std::string(stamp) + "\r\n"},
        // A failure text: line feed, the system's CR LF, the format's closing line feed.
        {"Error code:2 occurred on command x\nFile not found.\r\n\n",
         std::string(stamp) + "Error code:2 occurred on command x\r\n" + stamp + "File not found.\r\n"},
        {"a\n\nb\rc", std::string(stamp) + "a\r\n" + stamp + "\r\n" + stamp + "b\r\n" + stamp + "c\r\n"},
        {"0\tcompleted\t3\t1.5\tx", std::string(stamp) + "0\tcompleted\t3\t1.5\tx\r\n"},
        {"\x95\x5C\x83\x7C", std::string(stamp) + "\x95\x5C\x83\x7C\r\n"},  // bytes as they are
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(LogFileWriter::Format(cases[i].text, t), cases[i].expected) << "row " << i;
}

TEST(LogFileWriter, MakesFoldersAndAppends) {
    test::TempFolder dir("runlog");
    LogFileWriter writer(dir / "a\\b\\c.log");
    std::string reason;
    ASSERT_TRUE(writer.Prepare(reason)) << reason;
    ASSERT_TRUE(writer.Write("one", reason)) << reason;
    ASSERT_TRUE(LogFileWriter(dir / "a\\b\\c.log").Write("two\nthree", reason)) << reason;
    std::string content = test::ReadFile(dir / "a\\b\\c.log");
    ASSERT_EQ(content.size(), 3 * 24 + std::string("one\r\ntwo\r\nthree\r\n").size()) << content;
    EXPECT_EQ(content.substr(24, 5), "one\r\n");
    EXPECT_EQ(content.substr(29 + 24, 5), "two\r\n");
    EXPECT_EQ(content.substr(content.size() - 7), "three\r\n");
    // The time is the local time of now.
    SYSTEMTIME now;
    GetLocalTime(&now);
    char year[8];
    snprintf(year, sizeof year, "%04u-", now.wYear);
    EXPECT_EQ(content.substr(0, 5), year);
}

TEST(LogFileWriter, UnwritablePathsGiveTheSystemsReason) {
    test::TempFolder dir("runlog");
    test::WriteFile(dir / "file", "in the way");
    test::MakeDirs(dir / "folder.log");
    std::string locked = dir / "locked.log";
    HANDLE lock = CreateFileA(locked.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    // A macro the table does not know stays in the path, and '<' is no character of a name.
    const std::string paths[] = {dir / "file\\sub\\x.log", dir / "file\\x.log", dir / "folder.log", locked,
                                 dir / "<NoSuchMacro>\\x.log"};
    for (const std::string& path : paths) {
        std::string reason;
        EXPECT_FALSE(LogFileWriter(path).Prepare(reason)) << path;
        EXPECT_FALSE(reason.empty()) << path;
        EXPECT_EQ(reason.find('\n'), std::string::npos) << path << ": " << reason;
        EXPECT_FALSE(LogFileWriter(path).Write("x", reason)) << path;
    }
    CloseHandle(lock);
    EXPECT_EQ(test::ReadFile(locked), "") << "nothing was written past the lock";
    EXPECT_EQ(test::ReadFile(dir / "file"), "in the way");
}

TEST(ResultsTable, OneLinePerCommandAndTheRestart) {
    ResultsTable table;
    table.SetCommands({"a.exe", "missing.exe", "c.exe /x", "d.exe"});
    table.Started(0, "C:\\bin\\a.exe", 1000);
    table.Ended(0, CommandEnd::Completed, 3010, true, 2549);
    table.Failed(1, "missing.exe", 2);
    table.Started(2, "C:\\bin\\c.exe /x", 5000);
    table.Ended(2, CommandEnd::Completed, 0, false, 5040);
    table.SetRestart("asked-no");
    EXPECT_EQ(table.Lines(9000), (std::vector<std::string>{
                                     "Results:",
                                     "0\tcompleted\t3010\t1.5\tC:\\bin\\a.exe",
                                     "1\tnot-started\t2\t0.0\tmissing.exe",
                                     "2\tcompleted\t\t0.0\tC:\\bin\\c.exe /x",
                                     "3\tskipped\t\t\td.exe",
                                     "Restart: asked-no",
                                 }));

    ResultsTable empty;
    EXPECT_EQ(empty.Lines(0), (std::vector<std::string>{"Results:", "Restart: not-asked"}));
    // A command that started but whose end never came (the run was stopped by a failure) is
    // unfinished, without an exit code, and timed up to the table.
    ResultsTable open;
    open.SetCommands({"x"});
    open.Started(0, "x", 100);
    open.SetRestart("asked-yes");
    EXPECT_EQ(open.Lines(2100)[1], "0\tunfinished\t\t2.0\tx");
    EXPECT_EQ(open.Lines(2100)[2], "Restart: asked-yes");
}

namespace {
// An output that keeps the lines it is given, as the dialog's log would show them.
class ShownLines : public RunOutput {
public:
    explicit ShownLines(std::vector<std::string>& lines) : m_lines(lines) {}
    void Line(const std::string& text) override { m_lines.push_back(text); }

private:
    std::vector<std::string>& m_lines;
};
}  // namespace

TEST(RunReportLogFile, AFileThatStopsBeingWritableIsReportedOnceAndLeftAlone) {
    test::TempFolder dir("runlog");
    std::string path = dir / "run.log";
    RunReport report(nullptr);
    std::vector<std::string> shown;
    report.AddOutput(std::make_unique<ShownLines>(shown));
    AttachLogFile(report, path);
    report.CommandList({"a.exe"});
    report.Line("before");
    HANDLE lock = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    report.Line("while locked");
    report.Line("still locked");
    CloseHandle(lock);
    report.Line("after");
    report.RunOver(kExitSuccess);

    // The other output (added before the log file) sees each line first, then the one failure.
    ASSERT_EQ(shown.size(), 5u);
    EXPECT_EQ(shown[0], "before");
    EXPECT_EQ(shown[1], "while locked");
    EXPECT_EQ(shown[2].find("The log file " + path + " could not be written: "), 0u) << shown[2];
    EXPECT_EQ(shown[3], "still locked");
    EXPECT_EQ(shown[4], "after");
    std::vector<std::string> written = test::ReadLines(path);
    ASSERT_EQ(written.size(), 2u) << "the block ends where writing failed";
    EXPECT_NE(written[0].find(std::string(" Sarnik ") + SARNIK_VERSION_TEXT + ", command line: "), std::string::npos) << written[0];
    EXPECT_EQ(written[1].substr(24), "before");
}

TEST(RunReportLogFile, AnUnwritablePathIsOneLineAndNoOutput) {
    test::TempFolder dir("runlog");
    test::WriteFile(dir / "file", "");
    RunReport report(nullptr);
    std::vector<std::string> shown;
    report.AddOutput(std::make_unique<ShownLines>(shown));
    AttachLogFile(report, dir / "file\\run.log");
    AttachLogFile(report, "");  // no LogFile: nothing at all
    report.Line("next");
    ASSERT_EQ(shown.size(), 2u);
    EXPECT_EQ(shown[0].find("The log file " + (dir / "file\\run.log") + " could not be written: "), 0u) << shown[0];
    EXPECT_EQ(shown[1], "next");
}

// The seconds are rounded to the nearest tenth, a half up, never cut: the durations sit on either
// side of each rounding step.
TEST(ResultsTable, SecondsAreRoundedToTheNearestTenth) {
    struct Case { ULONGLONG ms; const char* seconds; };
    const Case cases[] = {
        {0, "0.0"}, {49, "0.0"}, {50, "0.1"}, {149, "0.1"}, {150, "0.2"},
        {960, "1.0"}, {1549, "1.5"}, {1550, "1.6"}, {59999, "60.0"}, {3600000, "3600.0"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        ResultsTable table;
        table.SetCommands({"a.exe"});
        table.Started(0, "a.exe", 1000);
        table.Ended(0, CommandEnd::Completed, 0, true, 1000 + cases[i].ms);
        EXPECT_EQ(table.Lines(0)[1], std::string("0\tcompleted\t0\t") + cases[i].seconds + "\ta.exe")
            << "row " << i << ": " << cases[i].ms << " ms";
    }
}
