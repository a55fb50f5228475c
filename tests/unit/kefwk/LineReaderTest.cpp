// The configuration library's line reader over real files, streams and a trickling source.
#include <gtest/gtest.h>

#include <stdio.h>

#include <sstream>
#include <string>
#include <vector>

#include "ErrorTables.h"
#include "KEException.h"
#include "LINESTRM.h"
#include "support/TestSupport.h"
#include "unit/kefwk/FrameworkTestSupport.h"

namespace {

using Lines = std::vector<std::string>;

std::string Show(const Lines& lines)
{
    std::string out;
    for (const auto& l : lines) {
        out += "[";
        for (char c : l)
            out += (c >= 0x20 && c < 0x7F) ? std::string(1, c) : "\\x" + std::to_string((unsigned char)c);
        out += "]";
    }
    return out;
}

// A source that hands out at most `step` bytes per call, so that line-end pairs and long lines
// fall across chunk borders.
struct TrickleSource {
    std::string data;
    size_t position = 0;
    int step = 1;
    int failAfterCalls = -1;
    int calls = 0;
};

int TrickleRead(void* source, int wanted, int* delivered, char* buffer)
{
    TrickleSource& s = *static_cast<TrickleSource*>(source);
    if (s.failAfterCalls >= 0 && s.calls++ >= s.failAfterCalls) {
        *delivered = 0;
        return -5262;
    }
    size_t n = std::min<size_t>({(size_t)wanted, (size_t)s.step, s.data.size() - s.position});
    memcpy(buffer, s.data.data() + s.position, n);
    s.position += n;
    *delivered = (int)n;
    return 0;
}

// Every line LineFile_Read (or ReadNonEmpty) gives until the end, checking that the end comes
// with an empty, terminated buffer and that no call fails.
Lines ReadAll(LineFile* file, bool nonEmpty, int maxLength = 640)
{
    Lines lines;
    std::vector<char> buffer(maxLength + 1);
    for (int guard = 0; guard < 10000; ++guard) {
        memset(buffer.data(), 'X', buffer.size());
        int length = -1, end = -1;
        int status = nonEmpty ? LineFile_ReadNonEmpty(file, buffer.data(), maxLength, &length, &end)
                              : LineFile_Read(file, buffer.data(), maxLength, &length, &end);
        EXPECT_EQ(status, 0);
        EXPECT_EQ((int)strlen(buffer.data()), length) << "terminator after the line";
        if (end) {
            EXPECT_EQ(length, 0) << "the end comes with an empty line";
            return lines;
        }
        lines.emplace_back(buffer.data(), length);
    }
    ADD_FAILURE() << "no end of data";
    return lines;
}

struct LineCase {
    const char* name;
    std::string data;
    Lines lines;          // LineFile_Read
    Lines nonEmptyLines;  // LineFile_ReadNonEmpty
};

const std::string NUL(1, '\0');

const std::vector<LineCase> kLineCases = {
    // single line ends and their pairs
    {"CR LF", "a\r\nb\r\n", {"a", "b"}, {"a", "b"}},
    {"LF CR", "a\n\rb\n\r", {"a", "b"}, {"a", "b"}},
    {"lone CR", "a\rb\r", {"a", "b"}, {"a", "b"}},
    {"lone LF", "a\nb\n", {"a", "b"}, {"a", "b"}},
    {"LF LF", "a\n\nb", {"a", "", "b"}, {"a", "b"}},
    {"CR CR", "a\r\rb", {"a", "", "b"}, {"a", "b"}},
    {"CR LF CR LF", "a\r\n\r\nb", {"a", "", "b"}, {"a", "b"}},
    {"CR LF LF", "a\r\n\nb", {"a", "", "b"}, {"a", "b"}},
    {"LF CR LF", "a\n\r\nb", {"a", "", "b"}, {"a", "b"}},
    {"mixed ends", "a\rb\nc\r\nd\n\re", {"a", "b", "c", "d", "e"}, {"a", "b", "c", "d", "e"}},
    // the start and the end of the data
    {"empty source", "", {}, {}},
    {"no final line end", "a\nlast", {"a", "last"}, {"a", "last"}},
    {"leading LF is skipped", "\nfirst", {"first"}, {"first"}},
    {"leading CR LF gives one empty line", "\r\nfirst", {"", "first"}, {"first"}},
    {"only line ends", "\n\n\n", {"", ""}, {}},
    // NUL bytes end lines
    {"NUL inside", "ab" + NUL + "cd", {"ab", "cd"}, {"ab", "cd"}},
    {"NUL first", NUL + "x", {"", "x"}, {"x"}},
    {"NUL then LF is a pair", "a" + NUL + "\nb", {"a", "b"}, {"a", "b"}},
    {"NUL NUL", "a" + NUL + NUL + "b", {"a", "", "b"}, {"a", "b"}},
    // blank lines
    {"blanks and tabs", "a\n \t \nb\n\t\n", {"a", " \t ", "b", "\t"}, {"a", "b"}},
    {"blank last line", "a\n   ", {"a", "   "}, {"a"}},
    {"inner blanks kept", "  x y  \n", {"  x y  "}, {"  x y  "}},
};

TEST(LineReader, LineEndsOverTricklingSources)
{
    for (size_t row = 0; row < kLineCases.size(); ++row) {
        const LineCase& c = kLineCases[row];
        for (int step : {1, 2, 3, 2048}) {
            for (bool nonEmpty : {false, true}) {
                TrickleSource source;
                source.data = c.data;
                source.step = step;
                LineFile* file = LineFile_New(TrickleRead, &source);
                ASSERT_NE(file, nullptr);
                Lines got = ReadAll(file, nonEmpty);
                LineFile_Dispose(file);
                const Lines& want = nonEmpty ? c.nonEmptyLines : c.lines;
                EXPECT_EQ(got, want) << "row " << row << " (" << c.name << "), chunk " << step
                                     << (nonEmpty ? ", non-empty" : "") << ": got " << Show(got) << " want "
                                     << Show(want);
            }
        }
    }
}

TEST(LineReader, RealFileThroughTheDefaultReadFunction)
{
    test::TempFolder folder("lines");
    std::string content = "[Section]\r\nKey = Value\r\n\r\n  \t\r\n" + NUL + "tail";
    test::WriteFile(folder / "a.ini", content);
    FILE* f = fopen((folder / "a.ini").c_str(), "rb");
    ASSERT_NE(f, nullptr);
    LineFile* file = LineFile_New(nullptr, f);
    ASSERT_NE(file, nullptr);
    Lines got = ReadAll(file, true);
    LineFile_Dispose(file);
    fclose(f);
    EXPECT_EQ(got, (Lines{"[Section]", "Key = Value", "tail"})) << Show(got);
}

TEST(LineReader, OverlongLinesAreCutNotSplit)
{
    struct Case { int lineBytes; int maxLength; int step; };
    const Case cases[] = {
        {700, 640, 2048}, {700, 640, 7}, {640, 640, 2048}, {641, 640, 2048},
        {5000, 640, 2048}, {5000, 640, 1000}, {10, 0, 2048}, {3, 1, 1},
    };
    for (size_t row = 0; row < sizeof cases / sizeof cases[0]; ++row) {
        const Case& c = cases[row];
        std::string longLine;
        for (int i = 0; i < c.lineBytes; ++i)
            longLine += (char)('a' + i % 26);
        TrickleSource source;
        source.data = longLine + "\r\nnext\r\n";
        source.step = c.step;
        LineFile* file = LineFile_New(TrickleRead, &source);
        Lines got = ReadAll(file, false, c.maxLength);
        LineFile_Dispose(file);
        std::string cut = longLine.substr(0, std::min(c.lineBytes, c.maxLength));
        Lines want = {cut, c.maxLength >= 4 ? "next" : std::string("next").substr(0, c.maxLength)};
        EXPECT_EQ(got, want) << "row " << row << ": " << c.lineBytes << " bytes, max " << c.maxLength;
    }
}

// Under a double-byte code page a cut keeps whole characters: a lead byte whose trail byte does
// not fit goes too. A line that ends in a lone lead byte keeps it.
class LineCodePage : public kefwktest::CodePageTest {};

TEST_P(LineCodePage, OverlongLinesAreCutAtAWholeCharacter)
{
    const std::string a639(639, 'a'), a638(638, 'a');
    struct Case { std::string line; std::string sbcs; std::string dbcs; };
    const Case cases[] = {
        {a639 + "\x95\x5c" "zz", a639 + "\x95", a639},          // the lead byte is the 640th
        {a638 + "\x95\x5c" "zz", a638 + "\x95\x5c", a638 + "\x95\x5c"},  // the trail byte is the 640th
        {a639 + "\x83\x7c", a639 + "\x83", a639},
        {a638 + "a\x82", a638 + "a\x82", a638 + "a\x82"},    // fits: the lone lead byte stays
        {"ab\x82", "ab\x82", "ab\x82"},
        {"\x95\x5c\x95\x5c|\x83\x7c", "\x95\x5c\x95\x5c|\x83\x7c", "\x95\x5c\x95\x5c|\x83\x7c"},
    };
    for (size_t row = 0; row < sizeof cases / sizeof cases[0]; ++row) {
        for (int step : {2048, 1, 3}) {
            TrickleSource source;
            source.data = cases[row].line + "\r\nnext\r\n";
            source.step = step;
            LineFile* file = LineFile_New(TrickleRead, &source);
            Lines got = ReadAll(file, false, 640);
            LineFile_Dispose(file);
            Lines want = {Dbcs() ? cases[row].dbcs : cases[row].sbcs, "next"};
            EXPECT_EQ(Show(got), Show(want)) << "row " << row << " step " << step;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(, LineCodePage, ::testing::Values(0, 932), kefwktest::CodePageName);

TEST(LineReader, SourceErrorIsReturnedAndTheLineSoFarKept)
{
    TrickleSource source;
    source.data = "abcdef\n";
    source.step = 2;
    source.failAfterCalls = 2;
    LineFile* file = LineFile_New(TrickleRead, &source);
    char buffer[641];
    memset(buffer, 'X', sizeof buffer);
    int length = -1, end = -1;
    EXPECT_EQ(LineFile_Read(file, buffer, 640, &length, &end), -5262);
    EXPECT_STREQ(buffer, "abcd");
    EXPECT_EQ(end, 0);
    // An absent length is allowed.
    EXPECT_EQ(LineFile_ReadNonEmpty(file, buffer, 640, nullptr, &end), -5262);
    LineFile_Dispose(file);
}

// LineStream over a character stream: how in-memory configuration text is read.
Lines StreamLines(std::istream& in, int bufferSize = 641)
{
    LineStream stream(in);
    Lines lines;
    std::vector<char> buffer(bufferSize);
    for (int guard = 0; guard < 10000; ++guard) {
        int length = -1;
        bool end = false;
        stream.ReadLine(buffer.data(), bufferSize, length, end);
        if (end)
            return lines;
        lines.emplace_back(buffer.data(), length);
    }
    ADD_FAILURE() << "no end";
    return lines;
}

TEST(LineStream, ReadsNonBlankLinesOfAStringStream)
{
    std::istringstream in("[S]\r\n\r\n \t\nA=1\n\rB=2" + NUL + "C=3");
    EXPECT_EQ(StreamLines(in), (Lines{"[S]", "A=1", "B=2", "C=3"}));

    std::string big(5000, 'x');
    std::istringstream longIn(big + "\nend");
    Lines got = StreamLines(longIn);
    EXPECT_EQ(got, (Lines{std::string(640, 'x'), "end"})) << "buffer of 641 keeps 640 bytes";

    std::istringstream empty("");
    EXPECT_TRUE(StreamLines(empty).empty());
}

TEST(LineStream, StreamFailureRaisesIOError)
{
    std::istringstream in("A=1\nB=2\n");
    in.setstate(std::ios::badbit);
    LineStream stream(in);
    char buffer[641];
    int length = 0;
    bool end = false;
    try {
        stream.ReadLine(buffer, sizeof buffer, length, end);
        ADD_FAILURE() << "nothing raised";
    } catch (const KEException& e) {
        EXPECT_EQ(e.GetErrorCode(), KE_IO_ERROR);
        EXPECT_EQ(e.GetAPIErrorCode(), -5262);
        EXPECT_STREQ(e.GetFunction(), "LineStream::ReadLine");
        DynamicString text;
        GetToolStatusDescription(-5262, text);
        EXPECT_STREQ(e.GetDescription(), text.GetString());
    }
}

}  // namespace
