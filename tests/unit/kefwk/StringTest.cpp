// The text classes under the default single-byte code page and under double-byte 932, where a
// lead byte and its trail byte are one character that must never be split.
#include <gtest/gtest.h>

#include <windows.h>

#include <mbctype.h>

#include <limits.h>
#include <string.h>

#include <string>
#include <thread>
#include <vector>

#include "CopyOnWrite.h"
#include "ErrorTables.h"
#include "KEException.h"
#include "kestring.h"
#include "unit/kefwk/FrameworkTestSupport.h"

namespace {

using kefwktest::Show;

// Hiragana "a" in code page 932; two single-byte characters in 1252.
#define HA "\x82\xa0"

class CodePage : public kefwktest::CodePageTest {};


#define EXPECT_TEXT(actual, expected, row) \
    EXPECT_STREQ(Show(actual).c_str(), Show(expected).c_str()) << "row " << (row)

TEST_P(CodePage, AssignCutsAtTheLastWholeCharacter)
{
    struct Case { const char* text; const char* sbcs; const char* dbcs; };
    const Case cases[] = {
        {"abcdefghij", "abcdefgh", "abcdefgh"},
        {"abcdefgh", "abcdefgh", "abcdefgh"},
        {"abcdefg" HA, "abcdefg\x82", "abcdefg"},   // the 8th byte is a lead byte
        {"abcdef" HA "x", "abcdef" HA, "abcdef" HA},
        {HA HA HA HA HA, HA HA HA HA, HA HA HA HA},
        {"", "", ""},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        StaticString<8> s("old");
        s.Assign(cases[i].text);
        const char* expected = Pick(cases[i].sbcs, cases[i].dbcs);
        EXPECT_TEXT(s.GetString(), expected, i);
        EXPECT_EQ(s.GetSize(), (int)strlen(expected) + 1) << "row " << i;
    }

    // 300 bytes into 256: the 256th byte is a lead byte.
    std::string text(255, 'a');
    text += HA;
    text += std::string(43, 'b');
    StaticString<256> big(text.c_str());
    EXPECT_EQ(big.GetByteLength(), Dbcs() ? 255 : 256);

    // Character counts and byte counts.
    StaticString<64> s;
    s.Assign("a" HA "bcd", 3);
    EXPECT_TEXT(s.GetString(), Pick("a\x82\xa0", "a" HA "b"), 0);
    s.AssignBytes("a" HA "bcd", 2);
    EXPECT_TEXT(s.GetString(), Pick("a\x82", "a"), 1);
    s.Assign("abc", 0);
    EXPECT_TEXT(s.GetString(), "", 2);
    s.Assign("abc", -1);
    EXPECT_TEXT(s.GetString(), "abc", 3);

    // Bytes of a stream's data end where they end: a lead byte last is not read past (the XML
    // fuzz target found a read of the byte after a stream's data).
    struct Unterminated { std::string bytes; const char* sbcs; const char* dbcs; };
    const Unterminated unterminated[] = {
        {"a\x82", "a\x82", "a"},
        {"\x82", "\x82", ""},
        {"a" HA, "a" HA, "a" HA},
    };
    for (size_t i = 0; i < sizeof unterminated / sizeof unterminated[0]; ++i) {
        const std::string& bytes = unterminated[i].bytes;
        std::vector<char> exact(bytes.begin(), bytes.end());  // no terminator after the data
        DynamicString d("old");
        d.AssignBytes(exact.data(), (int)exact.size());
        EXPECT_TEXT(d.GetString(), Pick(unterminated[i].sbcs, unterminated[i].dbcs), 10 + i);
    }
}

TEST_P(CodePage, AppendIntoFullAndNearlyFullStrings)
{
    struct Case { const char* start; const char* text; const char* sbcs; const char* dbcs; };
    const Case cases[] = {
        {"abcdefgh", "x", "abcdefgh", "abcdefgh"},            // full: unchanged
        {"abcdefg", HA, "abcdefg\x82", "abcdefg"},            // room for one byte only
        {"abcdef", "g" HA, "abcdefg\x82", "abcdefg"},
        {"abcdef", HA "x", "abcdef" HA, "abcdef" HA},
        {"ab", "cd", "abcd", "abcd"},
        {"", HA HA HA HA HA, HA HA HA HA, HA HA HA HA},
        {"abc", "", "abc", "abc"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const char* expected = Pick(cases[i].sbcs, cases[i].dbcs);
        StaticString<8> byPointer(cases[i].start);
        byPointer.Append(cases[i].text);
        EXPECT_TEXT(byPointer.GetString(), expected, i);
        EXPECT_EQ(byPointer.GetSize(), (int)strlen(expected) + 1) << "row " << i;

        StaticString<8> byString(cases[i].start);
        DynamicString text(cases[i].text);
        byString.Append(text);
        EXPECT_TEXT(byString.GetString(), expected, i);

        DynamicString grows(cases[i].start);
        grows.Append(cases[i].text);
        EXPECT_EQ(std::string(grows.GetString()), std::string(cases[i].start) + cases[i].text) << "row " << i;
    }

    // Appending a string to itself reads the text before the buffer moves.
    DynamicString self("abc");
    for (int i = 0; i < 10; ++i)
        self.Append(self);
    EXPECT_EQ(self.GetByteLength(), 3 * 1024);
    StaticString<8> fixedSelf("abc");
    fixedSelf.Append(fixedSelf.GetString() + 1);
    EXPECT_STREQ(fixedSelf.GetString(), "abcbc");
}

// Appends into room already there take a short way; it must end where the general one does.
TEST_P(CodePage, AppendingIntoRoomKeepsSizesAndCopies)
{
    // The reported size follows the framework's growth rule, however much the heap block behind
    // it holds: a text that outgrows its room gets what it needs and a margin of a 32nd of that
    // plus 4 bytes, in whole fours; so steady appends regrow a logarithmic number of times.
    DynamicString grown;
    int reported = grown.GetBufferSize();
    int regrowths = 0;
    for (int i = 0; i < 20000; ++i) {
        grown.AppendChar(i % 2 ? 'x' : 0x82A0);
        int size = grown.GetBufferSize();
        if (size != reported) {
            int need = grown.GetSize();
            int margin = size - need;
            EXPECT_EQ(size % 4, 0) << "after " << i << " appends: " << size << " for " << need;
            EXPECT_GE(margin, need / 32 + 4) << "after " << i << " appends: no margin, " << size << " for " << need;
            EXPECT_LT(margin, need / 32 + 8) << "after " << i << " appends: more than the margin in fours, " << size
                                             << " for " << need;
            reported = size;
            ++regrowths;
        }
        ASSERT_GE(reported, grown.GetSize());
    }
    // Growth by 33/32 at least from 4 bytes to 30,000: fewer than 290 steps.
    EXPECT_LT(regrowths, 290);
    EXPECT_EQ(grown.GetByteLength(), 30000);
    EXPECT_EQ(grown.GetLength(), Dbcs() ? 20000 : 30000);
    EXPECT_EQ(grown.GetFirstChar(), Dbcs() ? 0x82A0u : 0x82u);
    EXPECT_EQ(grown.GetLastChar(), (unsigned)'x');

    // A copy shares until one of them writes, room or not.
    DynamicString a;
    a.Reserve(64);
    a.Append("abc");
    DynamicString b(a);
    b.AppendChar('x');
    EXPECT_STREQ(a.GetString(), "abc");
    EXPECT_STREQ(b.GetString(), "abcx");
    a.AppendChar(0x82A0);
    a.Append("de");
    EXPECT_STREQ(a.GetString(), "abc" HA "de");
    EXPECT_STREQ(b.GetString(), "abcx");
    EXPECT_EQ(a.GetSize(), 8);

    // A piece of the string itself, and a text written through the buffer before.
    a.Append(a.GetString() + 3);
    EXPECT_STREQ(a.GetString(), "abc" HA "de" HA "de");
    strcpy(a.GetBuffer(), "xy");
    a.AppendChar('z');
    EXPECT_STREQ(a.GetString(), "xyz");
    EXPECT_EQ(a.GetSize(), 4);
    a.AppendChar(0);
    EXPECT_EQ(a.GetSize(), 4);
}

TEST_P(CodePage, CharactersAndIndices)
{
    StaticString<64> s("a" HA "b");
    EXPECT_EQ(s.GetLength(), Dbcs() ? 3 : 4);
    EXPECT_EQ(s.GetAt(1), Dbcs() ? 0x82a0u : 0x82u);
    EXPECT_EQ(s.GetLastChar(), unsigned('b'));
    EXPECT_EQ(s.ByteOffsetFromCharIndex(2), Dbcs() ? 3 : 2);
    EXPECT_EQ(s.CharIndexFromByteOffset(2), Dbcs() ? 1 : 2);  // a lead byte at the end of the bytes is not counted

    int index = -7;
    EXPECT_TRUE(s.FindChar('b', 0, index));
    EXPECT_EQ(index, Dbcs() ? 2 : 3);

    s.SetAt(1, 'x');
    EXPECT_TEXT(s.GetString(), Pick("ax\xa0" "b", "axb"), 0);
    s.SetAt(1, 0x82a0);
    EXPECT_TEXT(s.GetString(), Pick("a\x82\xa0\xa0" "b", "a" HA "b"), 1);
    s.Assign("ab");
    s.InsertChar(0x82a0, 1);
    EXPECT_TEXT(s.GetString(), "a" HA "b", 2);
    s.AppendChar('!');
    EXPECT_TEXT(s.GetString(), "a" HA "b!", 3);

    // A lone lead byte before the terminator is not a character.
    StaticString<8> lone("ab\x82");
    EXPECT_EQ(lone.GetLength(), Dbcs() ? 2 : 3);
}

TEST_P(CodePage, FindAllWithCaseAndWholeWords)
{
    struct Case { const char* text; const char* pattern; bool ignoreCase; bool wholeWord; int maximum;
                  std::vector<int> sbcs; std::vector<int> dbcs; };
    const std::vector<Case> cases = {
        {"foo foo_bar (foo). foo", "foo", false, true, -1, {0, 13, 19}, {0, 13, 19}},
        {"Foo FOO foo", "FOO", true, false, -1, {0, 4, 8}, {0, 4, 8}},
        {"xfoo foo, afoo fooz", "FOO", true, true, -1, {5}, {5}},
        {"aaaa", "aa", false, false, -1, {0, 2}, {0, 2}},            // matches never overlap
        {"foo foo foo", "foo", false, false, 2, {0, 4}, {0, 4}},
        {"foo foo foo", "foo", false, false, 0, {}, {}},
        {"\x82" "a" "a", "a", false, false, -1, {1, 2}, {2}},       // a trail byte is no 'a'
        {"\x82" "A" "A", "a", true, false, -1, {1, 2}, {2}},        // nor a capital one
        {"\x81" "A" "foo", "foo", false, true, -1, {}, {2}},  // the word before ends in a trail byte
        {"", "a", false, false, -1, {}, {}},
        {"abc", "", false, false, -1, {}, {}},
        {"aaab", "aab", false, false, -1, {1}, {1}},               // the first byte repeats
        {"abcab", "ab", false, false, -1, {0, 3}, {0, 3}},         // a match that ends the text
        {"abca", "ab", false, false, -1, {0}, {0}},                // a start too near the end
        {"ab", "abc", false, false, -1, {}, {}},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        StaticString<64> s(cases[i].text);
        std::vector<int> found;
        s.FindAll(cases[i].pattern, found, 0, cases[i].ignoreCase, cases[i].wholeWord, cases[i].maximum);
        EXPECT_EQ(found, Dbcs() ? cases[i].dbcs : cases[i].sbcs) << "row " << i << ": " << Show(cases[i].text);
    }

    StaticString<64> s("ab ab ab");
    int index = -1;
    EXPECT_TRUE(s.Find("ab", index, 1));
    EXPECT_EQ(index, 3);
    index = -7;
    EXPECT_FALSE(s.Find("zz", index));
    EXPECT_EQ(index, -7);  // untouched when not found
}

TEST_P(CodePage, ReplaceAll)
{
    struct Case { const char* text; const char* pattern; const char* with; bool ignoreCase; bool wholeWord;
                  int count; const char* expected; };
    const Case cases[] = {
        {"a-b-c", "-", "--", false, false, 2, "a--b--c"},
        {"a--b--c", "--", "", false, false, 2, "abc"},
        {"cat concat Cat", "cat", "dog", true, true, 2, "dog concat dog"},
        {"xyz", "q", "r", false, false, 0, "xyz"},
        {"aaa", "a", "a", false, false, 3, "aaa"},
        {"one two", "one", "three", false, false, 1, "three two"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        DynamicString s(cases[i].text);
        EXPECT_EQ(s.ReplaceAll(cases[i].pattern, cases[i].with, cases[i].ignoreCase, cases[i].wholeWord),
                  cases[i].count) << "row " << i;
        EXPECT_STREQ(s.GetString(), cases[i].expected) << "row " << i;
        EXPECT_EQ(s.GetSize(), (int)strlen(cases[i].expected) + 1) << "row " << i;
    }

    // A text that ends in a lone lead byte (932): lowering it for a search without case must stay
    // inside the text. The bytes behind the terminator are the caller's and stay upper case.
    char buffer[] = "AB\x82\0CDE";
    BufferString tail(buffer, 3);
    tail.MakeLower();
    EXPECT_STREQ(buffer, "ab\x82");
    EXPECT_STREQ(buffer + 4, "CDE");
    DynamicString ending("Cat cat\x82");
    EXPECT_EQ(ending.ReplaceAll("CAT", "dog", true, false), 2);
    EXPECT_STREQ(ending.GetString(), "dog dog\x82");

    // Growing past a StaticString<64>: the first 64 bytes of the result, and every match counted.
    StaticString<64> fixed;
    for (int i = 0; i < 32; ++i)
        fixed.Append("ab");
    EXPECT_EQ(fixed.ReplaceAll("b", "BB"), 32);
    std::string full;
    for (int i = 0; i < 32; ++i)
        full += "aBB";
    EXPECT_EQ(std::string(fixed.GetString()), full.substr(0, 64));

    // The same where byte 64 of the result is a lead byte: it is dropped in 932.
    StaticString<64> mixed;
    for (int i = 0; i < 13; ++i)
        mixed.Append("a" HA);
    EXPECT_EQ(mixed.ReplaceAll("a", "aaa"), 13);
    std::string grown;
    for (int i = 0; i < 13; ++i)
        grown += "aaa" HA;
    EXPECT_EQ(std::string(mixed.GetString()), grown.substr(0, Dbcs() ? 63 : 64));

    // Long texts that grow past their reported size and shrink, against a plain rewrite.
    for (const char* with : {"IPSUM!", "ip", HA HA HA}) {
        std::string text;
        for (int i = 0; i < 20000; ++i)
            text += i % 7 ? "lorem ipsum " : HA "ipsum ";
        std::string expected;
        size_t from = 0;
        for (size_t at; (at = text.find("ipsum", from)) != std::string::npos; from = at + 5)
            expected += text.substr(from, at - from) + with;
        expected += text.substr(from);
        DynamicString s(text.c_str());
        EXPECT_EQ(s.ReplaceAll("ipsum", with), 20000) << with;
        EXPECT_TRUE(s.GetString() == expected) << with;
        EXPECT_EQ(s.GetSize(), (int)expected.size() + 1) << with;
    }

    // A replacement taken from the string itself.
    DynamicString self("x-y");
    self.ReplaceAll("-", self.GetString());
    EXPECT_STREQ(self.GetString(), "xx-yy");
}

TEST_P(CodePage, EditsInPlace)
{
    struct Case { const char* text; const char* trimmed; bool quoted; const char* unquoted; };
    const Case cases[] = {
        {"  \t abc def \r\n", "abc def", false, "  \t abc def \r\n"},
        {"   ", "", false, "   "},
        {"", "", false, ""},
        {"x", "x", false, "x"},
        {"\"", "\"", false, "\""},
        {"\"\"", "\"\"", true, ""},
        {"\"a b\"", "\"a b\"", true, "a b"},
        {" \"" HA "\" ", "\"" HA "\"", false, " \"" HA "\" "},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        StaticString<64> t(cases[i].text);
        t.Trim();
        EXPECT_TEXT(t.GetString(), cases[i].trimmed, i);
        EXPECT_EQ(t.GetSize(), (int)strlen(cases[i].trimmed) + 1) << "row " << i;

        DynamicString q(cases[i].text);
        EXPECT_EQ(q.Unquote(), cases[i].quoted) << "row " << i;
        EXPECT_TEXT(q.GetString(), cases[i].unquoted, i);
    }

    struct Lines { const char* text; const char* crlf; const char* lf; };
    const Lines lines[] = {
        {"a\r\nb\nc", "a\r\nb\r\nc", "a\nb\nc"},
        {"\n\n", "\r\n\r\n", "\n\n"},
        {"a\rb\r\n", "a\rb\r\n", "a\rb\n"},
        {"plain", "plain", "plain"},
    };
    for (size_t i = 0; i < sizeof lines / sizeof lines[0]; ++i) {
        DynamicString d(lines[i].text);
        d.ConvertLineEndingsToCRLF();
        EXPECT_TEXT(d.GetString(), lines[i].crlf, i);
        StaticString<64> s(lines[i].text);
        s.ConvertLineEndingsToCRLF();
        EXPECT_TEXT(s.GetString(), lines[i].crlf, i);
        s.Assign(lines[i].text);
        s.ConvertLineEndingsToLF();
        EXPECT_TEXT(s.GetString(), lines[i].lf, i);
    }
    // No room to grow: both replacements, cut to the buffer.
    StaticString<6> small("a\nb\nc");
    small.ConvertLineEndingsToCRLF();
    EXPECT_TEXT(small.GetString(), "a\r\nb\r\n", 0);

    StaticString<64> s("hello world");
    s.Delete(5, -1);
    EXPECT_STREQ(s.GetString(), "hello");
    s.Insert(", you", 5);
    EXPECT_STREQ(s.GetString(), "hello, you");
    s.Replace(0, 5, "bye");
    EXPECT_STREQ(s.GetString(), "bye, you");
    StaticString<64> mid;
    s.Mid(5, 2, mid);
    EXPECT_STREQ(mid.GetString(), "yo");
    StaticString<8> cut("abcdefg");
    cut.Insert("XY", 3);
    EXPECT_STREQ(cut.GetString(), "abcXYdef");
    StaticString<8> cutLead("abcdef");
    cutLead.Insert(HA HA, 5);
    EXPECT_TEXT(cutLead.GetString(), Pick("abcde\x82\xa0\x82", "abcde" HA), 0);
    StaticString<8> cutLead2("abcdefg");
    cutLead2.Insert(HA, 0);
    EXPECT_TEXT(cutLead2.GetString(), HA "abcdef", 1);
}

TEST_P(CodePage, CompareWithCaseCountsAndItsOwnBuffer)
{
    struct Case { const char* text; const char* other; bool ignoreCase; int count; int start; int sbcs; int dbcs; };
    const Case cases[] = {
        {"abc", "abc", false, -1, 0, 0, 0},
        {"abc", "ABC", true, -1, 0, 0, 0},
        {"abc", "abd", false, -1, 0, -1, -1},
        {"abcx", "abcy", false, 3, 0, 0, 0},
        {"xxabc", "abc", false, -1, 2, 0, 0},
        {"ab", "abc", false, -1, 0, -1, -1},
        {"\x82" "A", "\x82" "a", true, -1, 0, 0, -1},  // a trail byte never folds
        {HA "x", HA "y", false, 2, 0, 0, -1},           // two characters reach the x in 932 only
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        StaticString<64> s(cases[i].text);
        int result = s.Compare(cases[i].other, cases[i].ignoreCase, cases[i].count, cases[i].start);
        int expected = Dbcs() ? cases[i].dbcs : cases[i].sbcs;
        EXPECT_EQ(result < 0 ? -1 : result > 0 ? 1 : 0, expected) << "row " << i;
    }
    DynamicString s("same");
    EXPECT_EQ(s.Compare(s.GetString()), 0);
    EXPECT_EQ(s.Compare(s.GetString(), true, 2), 0);
}

// Counting whole characters in a stretch of bytes never looks past it, even when its last byte
// is a lead byte: the stretch here ends at a page that may not be read.
TEST_P(CodePage, CountsInAByteStretchNeverReadPastIt)
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    char* pages = static_cast<char*>(VirtualAlloc(nullptr, 2 * info.dwPageSize, MEM_COMMIT, PAGE_READWRITE));
    ASSERT_TRUE(pages);
    DWORD old;
    ASSERT_TRUE(VirtualProtect(pages + info.dwPageSize, info.dwPageSize, PAGE_NOACCESS, &old));
    const char bytes[] = {'a', 'b', '\x82'};
    char* stretch = pages + info.dwPageSize - sizeof bytes;
    memcpy(stretch, bytes, sizeof bytes);
    DynamicString s("junk");
    s.AssignBytes(stretch, sizeof bytes);
    EXPECT_EQ(Show(s.GetString()), Show(Pick("ab\x82", "ab")));
    StaticString<8> fixed("junk");
    fixed.AssignBytes(stretch + 2, 1);
    EXPECT_EQ(Show(fixed.GetString()), Show(Pick("\x82", "")));
    VirtualFree(pages, 0, MEM_RELEASE);
}

INSTANTIATE_TEST_SUITE_P(, CodePage, ::testing::Values(0, 932), kefwktest::CodePageName);

TEST(DynamicString, CopiesShareUntilOneWrites)
{
    DynamicString a("hello");
    DynamicString b(a);
    EXPECT_EQ(a.GetSharedMemory(), b.GetSharedMemory());
    EXPECT_EQ(a.GetSharedMemory()->GetRefCount(), 2);

    b.Append(" world");
    EXPECT_STREQ(a.GetString(), "hello");
    EXPECT_STREQ(b.GetString(), "hello world");
    EXPECT_NE(a.GetSharedMemory(), b.GetSharedMemory());
    EXPECT_EQ(a.GetSharedMemory()->GetRefCount(), 1);

    DynamicString c;
    c = a;
    c.Empty();
    EXPECT_STREQ(a.GetString(), "hello");
    EXPECT_EQ(c.GetSharedMemory(), CopyOnWriteMemory::SharedEmpty());

    // Assigning a StaticString copies bytes; assigning a DynamicString shares.
    StaticString<16> fixed("fixed");
    DynamicString d(fixed);
    EXPECT_STREQ(d.GetString(), "fixed");
    DynamicString e;
    e.Assign(static_cast<const String&>(d));
    EXPECT_EQ(e.GetSharedMemory(), d.GetSharedMemory());
}

// A request below the text's size must still keep the whole text and its terminator when the
// memory is detached or resized, and the cached size must agree with the text afterwards.
TEST(DynamicString, ResizingKeepsTheWholeTextAndItsSize)
{
    enum Holder { Shared, SoleOwned, SoleLiteral, Empty };
    struct Row {
        Holder holder;
        int size;
        bool keep;
        bool exact;
    } rows[] = {
        {Shared, 4, true, false},     // Reserve(4) on a copy
        {Shared, 0, true, false},
        {Shared, 4, true, true},
        {Shared, 64, true, false},
        {SoleOwned, 4, true, true},   // an exact request must not cut the own text either
        {SoleLiteral, 4, true, true},
        {SoleLiteral, 4, true, false},
        {Shared, 4, false, false},    // contents dropped: the size must follow
        {Shared, 64, false, true},
        {SoleOwned, 64, false, false},
        {SoleLiteral, 64, false, false},
        // A request of no bytes at all: the string must still have a text to show and to grow.
        {Shared, 0, false, false},
        {Shared, 0, false, true},
        {Empty, 0, false, false},
        {Empty, 0, false, true},
        {Empty, 0, true, false},
        {SoleOwned, 0, false, false},
        {SoleLiteral, 0, false, false},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        char literal[] = "hello world";
        DynamicString original(literal, false);
        if (r.holder == SoleOwned) {
            original.Append("");
            original.SetAt(0, 'h');  // owned memory, count 1
        }
        DynamicString copy(original);
        DynamicString empty;
        DynamicString& s = r.holder == Shared ? copy : r.holder == Empty ? empty : original;
        if (r.holder != Shared)
            copy.Empty();
        const std::string kept = r.holder == Empty ? "" : "hello world";

        int usable = s.EnsureBufferSize(r.size, r.keep, r.exact);
        EXPECT_EQ(usable, s.GetBufferSize()) << "row " << i;
        EXPECT_EQ(s.GetSize(), int(strlen(s.GetString())) + 1) << "row " << i;
        if (r.keep) {
            EXPECT_EQ(s.GetString(), kept) << "row " << i;
            EXPECT_GE(usable, int(kept.size()) + 1) << "row " << i;
        }
        EXPECT_GE(usable, r.size) << "row " << i;
        s.Append("X");
        EXPECT_EQ(s.GetSize(), int(strlen(s.GetString())) + 1) << "row " << i;
        if (r.keep) {
            EXPECT_EQ(s.GetString(), kept + "X") << "row " << i;
        }
        s.Assign("assigned");
        EXPECT_STREQ(s.GetString(), "assigned") << "row " << i;
        EXPECT_EQ(s.GetSize(), 9) << "row " << i;
        if (r.holder == Shared) {
            EXPECT_STREQ(original.GetString(), "hello world") << "row " << i;
        }
        EXPECT_STREQ(literal, "hello world") << "row " << i;
    }

    DynamicString a("hello world");
    DynamicString b(a);
    b.Reserve(4);
    b.Append("X");
    EXPECT_STREQ(b.GetString(), "hello worldX");
    EXPECT_EQ(b.GetLength(), 12);
    EXPECT_STREQ(a.GetString(), "hello world");
}

TEST(DynamicString, AStringOverALiteralNeverWritesIt)
{
    // A writable array stands for the literal so that a stray write would show rather than crash.
    char literal[] = "literal";
    {
        DynamicString sole(literal, false);
        EXPECT_EQ(sole.GetString(), literal);
        EXPECT_FALSE(sole.GetSharedMemory()->IsOwned());
        sole.GetBuffer()[0] = 'L';
        sole.ReleaseBuffer();
        EXPECT_STREQ(sole.GetString(), "Literal");
        EXPECT_STREQ(literal, "literal");

        DynamicString shared(literal, false);
        DynamicString copy(shared);
        copy.SetAt(0, 'X');
        copy.MakeLower();
        copy.ReplaceAll("i", "I");
        EXPECT_STREQ(copy.GetString(), "xIteral");
        EXPECT_STREQ(shared.GetString(), "literal");
        EXPECT_STREQ(literal, "literal");

        DynamicString appended(literal, false);
        appended.Append("!");
        appended.Trim();
        EXPECT_STREQ(appended.GetString(), "literal!");
    }
    EXPECT_STREQ(literal, "literal");
}

TEST(DynamicString, OutOfMemoryLeavesTheStringUnchanged)
{
    // One request past the size arithmetic (refused on every architecture), and one that a
    // 32-bit process cannot have: a 64-bit one gets its 1.75 GB and keeps its text. The host
    // build's allocator stops at 1 GB, as a 32-bit process would.
#if defined(SARNIK_HOST_BUILD)
    const bool noRoomFor1750Mb = true;
#else
    const bool noRoomFor1750Mb = sizeof(void*) == 4;
#endif
    struct Row { int size; bool refused; } rows[] = {
        {0x7FFFFF00, true},
        {0x70000000, noRoomFor1750Mb},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        DynamicString alone("keep");
        alone.Append(" me");  // owned memory, count 1
        DynamicString shared("share");
        DynamicString other(shared);
        for (DynamicString* s : {&alone, &other}) {
            std::string before = s->GetString();
            CopyOnWriteMemory* memory = s->GetSharedMemory();
            int size = memory->GetSize();
            bool raised = false;
            try {
                s->Reserve(rows[i].size);
            } catch (const KEException& e) {
                raised = true;
                EXPECT_EQ(e.GetErrorCode(), -17000) << "row " << i;
                EXPECT_STREQ(e.GetFunction(), "CopyOnWriteMemory::ResizeBuffer") << "row " << i;
                EXPECT_STREQ(e.GetSourceFile(), "CopyOnWrite.cpp") << "row " << i;
                EXPECT_STREQ(e.GetDescription(), "Out of memory.") << "row " << i;
            }
            EXPECT_EQ(raised, rows[i].refused) << "row " << i;
            EXPECT_EQ(before, s->GetString()) << "row " << i;
            if (rows[i].refused) {
                EXPECT_EQ(memory, s->GetSharedMemory()) << "row " << i;
                EXPECT_EQ(size, memory->GetSize()) << "row " << i;
            } else {
                EXPECT_GE(s->GetSharedMemory()->GetSize(), rows[i].size) << "row " << i;
            }
        }
        EXPECT_EQ(shared.GetSharedMemory()->GetRefCount(), rows[i].refused ? 2 : 1) << "row " << i;
    }
}

#ifndef SARNIK_HOST_BUILD  // views of one section at chosen addresses: Windows only
// A text of more than a gigabyte that costs a few megabytes: one section of 'x' mapped again and
// again at consecutive addresses, then a tail of one allocation unit whose final byte is the
// terminator.
class RepeatedText {
public:
    static const size_t kView = 16 << 20;
    static const size_t kTail = 64 << 10;  // the allocation granularity: views start on it

    explicit RepeatedText(int bodyViews) : m_bodyViews(bodyViews)
    {
        m_body = Section(kView, false);
        m_tail = Section(kTail, true);
        if (!m_body || !m_tail)
            return;
        const size_t bytes = kView * bodyViews + kTail;
        // Another thread may take the range between its release and the views: a few tries.
        for (int attempt = 0; attempt < 5 && !m_base; ++attempt) {
            char* range = static_cast<char*>(::VirtualAlloc(nullptr, bytes, MEM_RESERVE, PAGE_NOACCESS));
            if (!range)
                return;
            ::VirtualFree(range, 0, MEM_RELEASE);
            int mapped = 0;
            while (mapped < bodyViews &&
                   ::MapViewOfFileEx(m_body, FILE_MAP_READ, 0, 0, kView, range + kView * mapped))
                ++mapped;
            if (mapped == bodyViews && ::MapViewOfFileEx(m_tail, FILE_MAP_READ, 0, 0, kTail, range + kView * mapped)) {
                m_base = range;
            } else {
                for (int k = 0; k < mapped; ++k)
                    ::UnmapViewOfFile(range + kView * k);
            }
        }
    }
    ~RepeatedText()
    {
        for (int k = 0; m_base && k <= m_bodyViews; ++k)
            ::UnmapViewOfFile(m_base + kView * k);
        if (m_body)
            ::CloseHandle(m_body);
        if (m_tail)
            ::CloseHandle(m_tail);
    }
    RepeatedText(const RepeatedText&) = delete;
    RepeatedText& operator=(const RepeatedText&) = delete;

    const char* Text() const { return m_base; }
    long long Length() const { return (long long)kView * m_bodyViews + kTail - 1; }

private:
    static HANDLE Section(size_t size, bool terminated)
    {
        HANDLE section = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, (DWORD)size, nullptr);
        if (!section)
            return nullptr;
        char* bytes = static_cast<char*>(::MapViewOfFile(section, FILE_MAP_WRITE, 0, 0, size));
        if (!bytes) {
            ::CloseHandle(section);
            return nullptr;
        }
        memset(bytes, 'x', size);
        if (terminated)
            bytes[size - 1] = '\0';
        ::UnmapViewOfFile(bytes);
        return section;
    }

    int m_bodyViews;
    HANDLE m_body = nullptr;
    HANDLE m_tail = nullptr;
    char* m_base = nullptr;
};

TEST(DynamicString, AppendingPastTheLargestSizeRaisesOutOfMemory)
{
    // The sum must pass INT_MAX. A 32-bit process has 2 GB of address space, shared with the
    // program, its DLLs, heaps and stacks: one text of just over a gigabyte is what surely fits,
    // so the sum is reached by appending that text to itself.
    const int bodyViews = 64;
    static_assert(sizeof(void*) == 8 || RepeatedText::kView * 64 + RepeatedText::kTail <= (1u << 30) + (1u << 20),
                  "a 32-bit process has no room for more than one text of about a gigabyte");
    RepeatedText text(bodyViews);
    ASSERT_TRUE(text.Text()) << "no room for " << text.Length() + 1 << " bytes of mapped views";
    ASSERT_GT(2 * text.Length() + 1, (long long)INT_MAX);

    DynamicString big(text.Text(), false);  // refers to the views: nothing is copied
    bool raised = false;
    try {
        big.Append(big);
    } catch (const KEException& e) {
        raised = true;
        EXPECT_EQ(e.GetErrorCode(), -17000) << e.GetDescription();
    }
    EXPECT_TRUE(raised) << "an append whose size passes INT_MAX must raise the out-of-memory error";
    EXPECT_EQ(big.GetString(), text.Text()) << "the refused append must leave the text where it was";
    EXPECT_EQ((long long)big.GetSize(), text.Length() + 1);

    // A copy of the text, sharing its views, appended to the text: the same refusal.
    DynamicString more(big);
    raised = false;
    try {
        big.Append(more);
    } catch (const KEException& e) {
        raised = e.GetErrorCode() == -17000;
    }
    EXPECT_TRUE(raised);
    EXPECT_EQ(big.GetString(), text.Text());

    // A fixed-capacity text keeps what fits, as for any text too long for it.
    StaticString<64> small("abc");
    small.Append(more);
    EXPECT_EQ(std::string(small.GetString()), "abc" + std::string(61, 'x'));
}
#endif

TEST(DynamicString, ThreadsCopyingOneStringKeepTheCountExact)
{
    DynamicString shared("shared between threads");
    shared.Append(" (owned memory)");
    CopyOnWriteMemory* memory = shared.GetSharedMemory();
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&shared, t] {
            DynamicString mine;
            for (int i = 0; i < 100000; ++i) {
                DynamicString copy(shared);
                mine = copy;
                if (i % 1000 == t)
                    mine.Append("x");  // detaches this thread's copy only
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(shared.GetSharedMemory(), memory);
    EXPECT_EQ(memory->GetRefCount(), 1);
    EXPECT_STREQ(shared.GetString(), "shared between threads (owned memory)");
}

TEST(BufferString, WritesNeverPassTheCallersText)
{
    char buffer[] = "hello";
    BufferString b(buffer, 0);
    EXPECT_FALSE(b.GetMark());
    EXPECT_EQ(b.GetBufferSize(), 6);
    b.Assign("hi there");
    EXPECT_STREQ(buffer, "hi th");
    b.Append("!!");
    EXPECT_STREQ(buffer, "hi th");
    b.Assign("yo");
    b.Append("!");
    EXPECT_STREQ(buffer, "yo!");
    BufferString marked(buffer, 0u);
    EXPECT_TRUE(marked.GetMark());
}

} // namespace
