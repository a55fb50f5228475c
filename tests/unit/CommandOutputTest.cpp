// A command's output as log lines: split by character, bounded, converted without look-alikes; and
// read from real processes without ever waiting for one that outlived the command.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runner/CommandOutput.h"
#include "runner/Launch.h"
#include "runner/ScopedHandle.h"
#include "support/TestSupport.h"

using namespace test;

namespace {

struct Collected {
    std::vector<std::string> lines;  // in order; the left-out line as "<left out B bytes, L lines>"
};

Collected Split(const std::vector<std::string>& pieces, UINT codePage, OutputLimits limits = OutputLimits()) {
    Collected c;
    OutputLines lines([&](const std::string& line) { c.lines.push_back(line); },
                      [&](uint64_t bytes, uint64_t count) {
                          c.lines.push_back("<left out " + std::to_string(bytes) + " bytes, " + std::to_string(count) +
                                            " lines>");
                      },
                      codePage, limits);
    for (const std::string& piece : pieces) lines.Add(piece.data(), piece.size());
    lines.Finish();
    return c;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string all;
    for (const std::string& l : lines) all += "[" + l + "]";
    return all;
}

TEST(OutputLines, LineEndsPiecesAndUnsafeBytes) {
    struct Row {
        const char* what;
        std::vector<std::string> pieces;
        std::vector<std::string> lines;
    } rows[] = {
        {"LF, CR LF and a lone CR each end one line", {"a\nb\r\nc\rd\n"}, {"a", "b", "c", "d"}},
        {"CR LF split between pieces is one line end", {"a\r", "\nb\r", "\n"}, {"a", "b"}},
        {"empty lines are kept", {"\n\r\n\r\rx\n"}, {"", "", "", "", "x"}},
        {"the last line needs no line end", {"one\ntw", "o"}, {"one", "two"}},
        {"a line a byte at a time", {"a", "b", "\r", "c", "\n", "d"}, {"ab", "c", "d"}},
        {"no output is no line", {}, {}},
        {"NUL, escape and other control bytes are shown as '?', tabs kept", {std::string("a\0b\x1b[m\t\x7f\n", 9)},
         {"a?b?[m\t?"}},
        {"a line past the line limit is cut into lines of the limit", {"0123456789abc\n"}, {"01234567", "89abc"}},
    };
    OutputLimits limits;
    limits.lineBytes = 8;
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(Join(Split(rows[i].pieces, 1252, limits).lines), Join(rows[i].lines)) << "row " << i << ": " << rows[i].what;
}

// Code page 932: trail bytes '\' (0x5C, in "表") and '|' (0x7C, in "ポ"). A cut never separates a
// lead byte from its trail byte, also when the character arrives split between two pieces.
TEST(OutputLines, DoubleByteCharactersAreNeverCut) {
    const std::string hyo = "\x95\x5c", po = "\x83\x7c";
    struct Row {
        std::vector<std::string> pieces;
        std::vector<std::string> raw;  // the lines in code page 932
    } rows[] = {
        {{"a" + hyo + po + "\n"}, {"a" + hyo + po}},                  // 5 bytes: fits the limit of 5
        {{"ab" + hyo + po + "\n"}, {"ab" + hyo, po}},                 // the second character would not fit
        {{"abcd" + hyo.substr(0, 1), hyo.substr(1) + "\n"}, {"abcd", hyo}},
        {{hyo + hyo + hyo}, {hyo + hyo, hyo}},
    };
    OutputLimits limits;
    limits.lineBytes = 5;
    for (size_t i = 0; i < std::size(rows); ++i) {
        std::vector<std::string> expected;
        for (const std::string& raw : rows[i].raw) expected.push_back(OutputLines::ToLogText(raw, 932));
        EXPECT_EQ(Join(Split(rows[i].pieces, 932, limits).lines), Join(expected)) << "row " << i;
    }
}

// A console set to UTF-8 (chcp 65001, or Windows' UTF-8 option): a character takes up to four
// bytes, which no lead-byte table knows; a cut still falls between characters.
TEST(OutputLines, Utf8CharactersAreNeverCut) {
    const std::string e = "\xc3\xa9", han = "\xe8\xa1\xa8", smile = "\xf0\x9f\x98\x80";
    struct Row {
        std::vector<std::string> pieces;
        std::vector<std::string> raw;  // the lines in UTF-8
    } rows[] = {
        {{"a" + e + e + "\n"}, {"a" + e + e}},                        // 5 bytes: fits
        {{"ab" + e + e + "\n"}, {"ab" + e, e}},
        {{"ab" + smile.substr(0, 2), smile.substr(2) + "c\n"}, {"ab", smile + "c"}},
        {{han + han}, {han, han}},
    };
    OutputLimits limits;
    limits.lineBytes = 5;
    for (size_t i = 0; i < std::size(rows); ++i) {
        std::vector<std::string> expected;
        for (const std::string& raw : rows[i].raw) expected.push_back(OutputLines::ToLogText(raw, CP_UTF8));
        EXPECT_EQ(Join(Split(rows[i].pieces, CP_UTF8, limits).lines), Join(expected)) << "row " << i;
    }
    // The line limit always has room for one character.
    limits.lineBytes = 2;
    EXPECT_EQ(Join(Split({smile + "\n"}, CP_UTF8, limits).lines), Join({OutputLines::ToLogText(smile, CP_UTF8)}));
}

TEST(OutputLines, HeadAsItComesTheLeftOutCountAndTheTail) {
    std::vector<std::string> pieces;
    for (int n = 10; n < 30; ++n) pieces.push_back(std::to_string(n) + "\n");  // 3 bytes a line
    OutputLimits limits;
    limits.headBytes = 9;
    limits.tailBytes = 7;
    limits.lineCost = 1;
    // Three lines fit the head, two the tail; the fifteen between are counted.
    EXPECT_EQ(Join(Split(pieces, 1252, limits).lines), "[10][11][12][<left out 45 bytes, 15 lines>][28][29]");
    // With short lines the tail's bytes are given back many times over as lines fall out of it;
    // the lines it keeps stay whole.
    limits.lineBytes = 4;
    EXPECT_EQ(Join(Split(pieces, 1252, limits).lines), "[10][11][12][<left out 45 bytes, 15 lines>][28][29]");
    // What the log adds to a line counts too: with 4 bytes a line, two lines fit the head and one
    // the tail; the count of what was left out is the output's.
    limits.lineBytes = 1024;
    limits.lineCost = 2;
    EXPECT_EQ(Join(Split(pieces, 1252, limits).lines), "[10][11][<left out 51 bytes, 17 lines>][29]");
    limits.lineCost = 1;
    // Within both limits nothing is left out and no line says so.
    EXPECT_EQ(Join(Split({"a\nb\n"}, 1252, limits).lines), "[a][b]");
}

// Consoles write in the OEM code page. What the ANSI code page lacks is '?', never the look-alike
// that best fit would give: 0xC4 in code page 437 is the box line U+2500 (best fit: '-'), 0x82 is
// 'é' (best fit in code page 932: 'e').
TEST(OutputLines, ConvertedToTheAnsiCodePageWithoutLookAlikes) {
    const bool dbcs = GetACP() == 932;
    EXPECT_EQ(OutputLines::ToLogText("\xc4\xc4 ok", 437), dbcs ? "\x84\x9f\x84\x9f ok" : "?? ok");
    EXPECT_EQ(OutputLines::ToLogText("caf\x82", 437), dbcs ? "caf?" : "caf\xe9");
    EXPECT_EQ(OutputLines::ToLogText("\x83\x7c", 932), dbcs ? "\x83\x7c" : "?");
}

// ---- Real processes -----------------------------------------------------------------------------

struct Captured {
    std::vector<std::string> out, err;
    int exitCode = -1;
};

// Runs command with its output captured, as the run does, until it ends; then takes what is left.
Captured RunCaptured(const std::string& command, OutputLimits limits = OutputLimits()) {
    Captured c;
    OutputCapture capture([&](bool error, const std::string& line) { (error ? c.err : c.out).push_back(line); },
                          [&](bool error, uint64_t bytes, uint64_t lines) {
                              (error ? c.err : c.out).push_back("<left out " + std::to_string(bytes) + " bytes, " +
                                                                std::to_string(lines) + " lines>");
                          },
                          limits);
    STARTUPINFOA si;
    PrepareStartupInfo(si);
    EXPECT_TRUE(capture.Prepare(si)) << GetLastError();
    PROCESS_INFORMATION pi;
    bool started = StartCommand(command, si, pi, CREATE_NO_WINDOW);
    capture.Started();
    EXPECT_TRUE(started) << command << ": " << GetLastError();
    if (!started) return c;
    ScopedHandle process(pi.hProcess), thread(pi.hThread);
    bool known = false;
    // Only a hang reaches the deadline.
    EXPECT_TRUE(WaitForProcessExitUntil(process.Get(), Deadline::In(120000), c.exitCode, known, &capture))
        << command << " did not end";
    capture.Finish();
    return c;
}

TEST(OutputCapture, BothStreamsInTheirOwnOrder) {
    Captured c = RunCaptured(Quoted(BinPath("probe.exe")) + " out a1 err b1 out a2 err b2 out a3 exit 7");
    EXPECT_EQ(Join(c.out), "[a1][a2][a3]");
    EXPECT_EQ(Join(c.err), "[b1][b2]");
    EXPECT_EQ(c.exitCode, 7);
}

TEST(OutputCapture, InputIsAtItsEndAtOnce) {
    // A command that reads its input would otherwise wait for a person who is not there.
    Captured c = RunCaptured(Quoted(BinPath("probe.exe")) + " readin");
    EXPECT_EQ(Join(c.out), "[read 0 bytes]");
}

TEST(OutputCapture, ALargeOutputKeepsItsHeadAndTail) {
    // 1 MiB in lines of 99 'x' and LF: 10,485 lines of 100 bytes and a last one of 76 'x'. The
    // head takes 10 lines (1,000 bytes), the tail the last 5 (400 + 77 bytes), and the 10,471
    // lines between are counted to the byte.
    OutputLimits limits;
    limits.headBytes = 1000;
    limits.tailBytes = 500;
    limits.lineCost = 1;
    Captured c = RunCaptured(Quoted(BinPath("probe.exe")) + " flood 1048576", limits);
    const std::string line(99, 'x');
    std::vector<std::string> expected(10, line);
    expected.push_back("<left out 1047100 bytes, 10471 lines>");
    for (int k = 0; k < 4; ++k) expected.push_back(line);
    expected.push_back(std::string(76, 'x'));
    EXPECT_EQ(Join(c.out), Join(expected));
    EXPECT_TRUE(c.err.empty());
}

TEST(OutputCapture, AProcessThatKeepsTheOutputOpenDoesNotHoldTheReading) {
    // The command leaves a helper behind that inherited its output and holds it until the test
    // lets it go (or a minute has passed), then writes "late". The reading ends with the command:
    // "late" is never read.
    const std::string go = "sarnik-test-heir-" + std::to_string(GetCurrentProcessId());
    ScopedHandle event(CreateEventA(nullptr, TRUE, FALSE, go.c_str()));
    Captured c = RunCaptured(Quoted(BinPath("probe.exe")) + " heir \"wait " + go + " 60000 out late\" out done");
    EXPECT_EQ(Join(c.out), "[done]");
    SetEvent(event.Get());
}

}  // namespace
