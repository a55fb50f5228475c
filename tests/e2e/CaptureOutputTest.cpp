// The real sarnik.exe with CaptureOutput=TRUE: what each command writes to its standard output and
// standard error goes into the run's log as it comes, marked with the command's N, bounded, in
// the ANSI code page, and without a command that outlives its reading holding the run. And
// SuccessExitCodes on a real Windows Installer package that fails, in an unattended run.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/TestSupport.h"

using namespace test;

namespace {
std::string Probe() { return Quoted(BinPath("probe.exe")); }

// A log file's lines without the "YYYY-MM-DD hh:mm:ss.mmm " every line starts with.
std::vector<std::string> Unstamped(const std::string& content) {
    std::vector<std::string> lines;
    for (const std::string& line : CrLfLines(content)) lines.push_back(line.size() >= 24 ? line.substr(24) : line);
    return lines;
}

// The lines of the log that start with prefix, the prefix taken off.
std::vector<std::string> After(const std::vector<std::string>& lines, const std::string& prefix) {
    std::vector<std::string> out;
    for (const std::string& line : lines)
        if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line.substr(prefix.size()));
    return out;
}

size_t IndexOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
}

// The log file's lines after "Results:".
std::vector<std::string> ResultLines(const std::vector<std::string>& lines) {
    auto at = std::find(lines.begin(), lines.end(), "Results:");
    return at == lines.end() ? std::vector<std::string>() : std::vector<std::string>(at + 1, lines.end());
}

std::string Field(const std::string& row, size_t n) {
    size_t start = 0;
    for (size_t i = 0; i < n; ++i) {
        start = row.find('\t', start);
        if (start == std::string::npos) return "<no field " + std::to_string(n) + " in " + row + ">";
        ++start;
    }
    return row.substr(start, row.find('\t', start) - start);
}

std::string Hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// A named event of the test's, which probe's "wait NAME MS" waits for: a command that runs until
// the test lets it end.
class GoAhead {
public:
    GoAhead() {
        static int counter = 0;
        m_name = "sarnik-capture-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter);
        m_event = CreateEventA(nullptr, TRUE, FALSE, m_name.c_str());
    }
    ~GoAhead() {
        SetEvent(m_event);
        CloseHandle(m_event);
    }
    const std::string& Name() const { return m_name; }
    void Set() { SetEvent(m_event); }

private:
    std::string m_name;
    HANDLE m_event;
};

const char kCaptured[] = "[CustomCommands]\r\nShowDialog=FALSE\r\nCaptureOutput=TRUE\r\nLogFile=run.log\r\n";
}  // namespace

TEST(CaptureOutput, EachStreamGoesIntoTheLogInItsOwnOrderMarkedWithItsCommand) {
    Kit kit;
    // Binary output, NUL and control bytes, CR-only line ends, a CR LF and a last line without a
    // line end; then a command that reads its input, which is at its end at once.
    const char rawBytes[] = "one\rtwo\r\nbin\0\x01\x07z\tend\nlast";
    const std::string raw(rawBytes, sizeof rawBytes - 1);
    kit.SetCommandFile(std::string(kCaptured) + "Commands_0=" + Probe() +
                       " out a1 err b1 out a2 err b2 out a3 exit 0\r\n"
                       "Commands_1=" + Probe() + " rawout " + Hex(raw) + "\r\n"
                       "Commands_2=" + Probe() + " readin exit 4\r\n");
    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.Proc().Wait(60000)) << "a command that reads its input holds the run";
    EXPECT_EQ(run.Proc().ExitCode(), 0u);
    std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
    EXPECT_EQ(After(lines, "[0 out] "), (std::vector<std::string>{"a1", "a2", "a3"})) << ReadFile(kit.File("run.log"));
    EXPECT_EQ(After(lines, "[0 err] "), (std::vector<std::string>{"b1", "b2"}));
    EXPECT_EQ(After(lines, "[1 out] "), (std::vector<std::string>{"one", "two", "bin???z\tend", "last"}));
    EXPECT_EQ(After(lines, "[2 out] "), std::vector<std::string>{"read 0 bytes"});
    EXPECT_TRUE(After(lines, "[1 err] ").empty());
    // Every line of a command's output stands between the line that starts it and its exit code.
    for (int n = 0; n < 3; ++n) {
        SCOPED_TRACE(n);
        size_t started = lines.size(), ended = lines.size();
        for (size_t i = 0; i < lines.size(); ++i) {
            if (started == lines.size() && lines[i].compare(0, 9, "Invoking ") == 0 &&
                lines[i].find(n == 0 ? " out a1" : n == 1 ? " rawout " : " readin") != std::string::npos)
                started = i;
            if (started < i && ended == lines.size() && lines[i].compare(0, 20, "Completed exit code:") == 0) ended = i;
        }
        ASSERT_LT(ended, lines.size()) << ReadFile(kit.File("run.log"));
        const std::string mark = "[" + std::to_string(n) + " ";
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].compare(0, mark.size(), mark) == 0) {
                EXPECT_TRUE(started < i && i < ended) << lines[i];
            }
    }
    EXPECT_EQ(lines[IndexOf(lines, "[2 out] read 0 bytes") + 1], "Completed exit code:4");
}

TEST(CaptureOutput, WithoutTheKeyNothingOfTheOutputIsLogged) {
    Kit kit;
    kit.SetCommandFile("[CustomCommands]\r\nShowDialog=FALSE\r\nLogFile=run.log\r\nCommands_0=" + Probe() +
                       " out visible err visible exit 0\r\n");
    SarnikRun run(kit.Args(), {}, "", DETACHED_PROCESS);
    ASSERT_TRUE(run.Proc().Wait(60000));
    std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
    size_t started = 0;
    while (started < lines.size() && lines[started].compare(0, 9, "Invoking ") != 0) ++started;
    ASSERT_LT(started + 1, lines.size()) << ReadFile(kit.File("run.log"));
    EXPECT_EQ(lines[started + 1], "Completed exit code:0");
    EXPECT_TRUE(After(lines, "[0 ").empty());
}

TEST(CaptureOutput, TheDialogShowsTheOutputLines) {
    Kit kit;
    kit.SetCommandFile("[CustomCommands]\r\nCaptureOutput=true\r\nCommands_0=" + Probe() + " out hello err trouble\r\n");
    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.WaitFinished(60000));
    std::string log = run.Log();
    EXPECT_NE(log.find("[0 out] hello"), std::string::npos) << log;
    EXPECT_NE(log.find("[0 err] trouble"), std::string::npos) << log;
    EXPECT_TRUE(run.CloseWithOk());
}

TEST(CaptureOutput, AHundredMegabytesKeepTheirHeadAndTailAndCountTheRest) {
    Kit kit;
    const long long total = 100ll * 1024 * 1024;
    kit.SetCommandFile(std::string(kCaptured) + "Commands_0=" + Probe() + " flood " + std::to_string(total) + "\r\n");
    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.Proc().Wait(600000));
    EXPECT_EQ(run.Proc().ExitCode(), 0u);
    std::string content = ReadFile(kit.File("run.log"));
    EXPECT_LT(content.size(), 200u * 1024) << "the log holds a bounded part of the output";
    std::vector<std::string> lines = Unstamped(content);
    std::vector<std::string> out = After(lines, "[0 out] ");
    // Lines of 99 'x' and LF: the first ones, one line for what was left out, the last ones.
    const std::string x(99, 'x');
    size_t leftOutAt = out.size();
    unsigned long long leftBytes = 0, leftLines = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] == x) continue;
        ASSERT_EQ(leftOutAt, out.size()) << "a second line that is not output: " << out[i];
        leftOutAt = i;
        std::vector<std::string> words = Words(out[i]);
        ASSERT_EQ(words.size(), 9u) << out[i];
        ASSERT_EQ(words[0] + " " + words[2] + " " + words[3] + " " + words[5] + " " + words[6] + " " + words[7] + " " +
                      words[8],
                  "... bytes in lines left out ...")
            << out[i];
        leftBytes = std::stoull(words[1]);
        leftLines = std::stoull(words[4]);
    }
    ASSERT_LT(leftOutAt, out.size()) << content.substr(0, 2000);
    EXPECT_GT(leftOutAt, 100u) << "the head is logged";
    EXPECT_GT(out.size() - leftOutAt - 1, 100u) << "the tail is logged";
    EXPECT_EQ(leftBytes, leftLines * 100);
    EXPECT_EQ((out.size() - 1 + leftLines) * 100, static_cast<unsigned long long>(total)) << "every line counted once";
    EXPECT_EQ(lines[IndexOf(lines, "Results:") - 1], "Completed exit code:0");
}

TEST(CaptureOutput, TextIsConvertedToTheAnsiCodePageByCharacterWithoutLookAlikes) {
    // In code page 932 the trail bytes of these characters are '\' and '|'; a line of them longer
    // than a log line is cut between characters. In the Western code pages the OEM box-drawing
    // line has no ANSI character: it is '?', not the look-alike '-'.
    const bool cp932 = GetOEMCP() == 932 && GetACP() == 932;
    const std::string hyo = "\x95\x5c", po = "\x83\x7c", so = "\x83\x5c";
    std::string longLine = "a";
    for (int i = 0; i < 600; ++i) longLine += hyo;
    Kit kit;
    kit.SetCommandFile(std::string(kCaptured) + "Commands_0=" + Probe() + " rawout " +
                       Hex(hyo + po + so + "|" + "\r\n" + longLine + "\n" + "\xc4" + "\n") + "\r\n");
    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.Proc().Wait(60000));
    std::vector<std::string> out = After(Unstamped(ReadFile(kit.File("run.log"))), "[0 out] ");
    if (cp932) {
        std::string rest;
        for (int i = 0; i < 600 - 511; ++i) rest += hyo;
        ASSERT_EQ(out.size(), 4u) << ReadFile(kit.File("run.log"));
        EXPECT_EQ(out[0], hyo + po + so + "|");
        EXPECT_EQ(out[1], longLine.substr(0, 1 + 2 * 511)) << "cut before the character that does not fit";
        EXPECT_EQ(out[2], rest);
        EXPECT_EQ(out[3], "\xc4") << "a half-width katakana stays itself";
    } else {
        ASSERT_EQ(out.size(), 4u) << ReadFile(kit.File("run.log"));
        EXPECT_EQ(out[3], "?") << "no look-alike for a character the ANSI code page lacks";
        EXPECT_EQ(out[1].size() + out[2].size(), longLine.size());
    }
}

TEST(CaptureOutput, AProcessThatInheritsThePipesDoesNotHoldTheRun) {
    // The command starts a helper that inherits its output and waits for the test, then ends. The
    // run must go on to the next command and end while the helper still holds the pipes.
    GoAhead helperEnds;
    Kit kit;
    std::string marks = kit.File("marks.txt");
    kit.SetCommandFile(std::string(kCaptured) + "Commands_0=" + Probe() + " heir \"out fromheir wait " +
                       helperEnds.Name() + " 120000 out late\" out fromparent\r\n"
                       "Commands_1=" + Probe() + " mark " + marks + " next\r\n");
    SarnikRun run(kit.Args());
    ASSERT_TRUE(run.Proc().Wait(60000)) << "the helper holding the pipes holds the run";
    helperEnds.Set();
    EXPECT_EQ(run.Proc().ExitCode(), 0u);
    EXPECT_EQ(ReadLines(marks).size(), 1u);
    std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
    std::vector<std::string> out = After(lines, "[0 out] ");
    EXPECT_NE(std::find(out.begin(), out.end(), "fromparent"), out.end()) << ReadFile(kit.File("run.log"));
    EXPECT_EQ(std::find(out.begin(), out.end(), "late"), out.end());
}

TEST(CaptureOutput, ReadingEndsAtTheTimeLimit) {
    // A command that never ends (or whose helper, in its job, never does) with CommandTimeout:
    // what it wrote is in the log, the run goes on at the limit and ends.
    struct Case {
        const char* name;
        std::string keys;
        std::string command;
        const char* status;
    };
    GoAhead release;
    const std::string wait = " wait " + release.Name() + " 300000";
    const Case cases[] = {
        {"left running", "CommandTimeout=3\r\n", Probe() + " out started err warned" + wait, "timed-out"},
        {"ended", "CommandTimeout=3\r\nCommandTimeoutAction=Terminate\r\n", Probe() + " out started err warned" + wait,
         "terminated"},
        {"its helper in the job", "CommandTimeout=3\r\nWaitForChildProcesses=TRUE\r\n",
         Probe() + " heir \"err warned" + wait + "\" out started", "timed-out"},
        {"writing without end", "CommandTimeout=3\r\nCommandTimeoutAction=Terminate\r\n",
         Probe() + " out started err warned flood 1000000000000", "terminated"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Kit kit;
        std::string marks = kit.File("marks.txt");
        kit.SetCommandFile(std::string(kCaptured) + "Unattended=TRUE\r\n" + c.keys + "Commands_0=" + c.command +
                           "\r\nCommands_1=" + Probe() + " mark " + marks + " next\r\n");
        SarnikRun run(kit.Args());
        ASSERT_TRUE(run.Proc().Wait(120000)) << "the reading outlives the limit";
        EXPECT_EQ(run.Proc().ExitCode(), 1603u);
        EXPECT_EQ(ReadLines(marks).size(), 1u) << "the next command runs";
        std::vector<std::string> lines = Unstamped(ReadFile(kit.File("run.log")));
        std::vector<std::string> out = After(lines, "[0 out] "), err = After(lines, "[0 err] ");
        ASSERT_FALSE(out.empty()) << ReadFile(kit.File("run.log"));
        EXPECT_EQ(out[0], "started");
        EXPECT_EQ(err, std::vector<std::string>{"warned"});
        std::vector<std::string> results = ResultLines(lines);
        ASSERT_FALSE(results.empty()) << ReadFile(kit.File("run.log"));
        EXPECT_EQ(Field(results[0], 1), c.status) << results[0];
    }
}

TEST(SuccessExitCodes, AFailingWindowsInstallerPackageEndsTheUnattendedRunWith1603) {
    // A real package whose custom action fails: msiexec ends with a failure code, which Sarnik
    // logs and, only where the kit lists the codes of success, judges.
    struct Case {
        const char* name;
        const char* keys;
        const char* status;
        DWORD exitCode;
    };
    const Case cases[] = {
        {"judged", "SuccessExitCodes=0,3010,1641\r\n", "failed", 1603},
        {"not judged, as without the key", "", "completed", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Kit kit;
        ASSERT_TRUE(CopyFileA(BinPath("failingpackage.msi").c_str(), kit.File("failing.msi").c_str(), FALSE));
        kit.SetCommandFile(std::string("[CustomCommands]\r\nUnattended=TRUE\r\nLogFile=run.log\r\n") + c.keys +
                           "Commands_0=msiexec /i \"<Quelvaran>\\failing.msi\" /qn\r\n");
        SarnikRun run(kit.Args());
        ASSERT_TRUE(run.Proc().Wait(300000));
        std::string log = ReadFile(kit.File("run.log"));
        std::vector<std::string> results = ResultLines(Unstamped(log));
        ASSERT_GE(results.size(), 3u) << log;
        EXPECT_EQ(Field(results[0], 1), c.status) << log;
        std::string code = Field(results[0], 2);
        EXPECT_NE(code, "0") << "the package's custom action fails";
        EXPECT_NE(code, "3010");
        EXPECT_EQ(run.Proc().ExitCode(), c.exitCode) << log;
        EXPECT_EQ(results.back(), "Exit code: " + std::to_string(c.exitCode));
        if (*c.keys) {
            EXPECT_NE(log.find("Exit code " + code + " is not one of SuccessExitCodes: the command failed."),
                      std::string::npos)
                << log;
        }
    }
}
