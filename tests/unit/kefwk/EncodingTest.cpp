// Text crossing to wide, system-string and UTF-8 form, under the default single-byte page and
// under double-byte 932 (switched with _setmbcp, while the prefix's ANSI page stays 1252), and
// the XML escaping of the special characters.
#include <gtest/gtest.h>

#include <windows.h>

#include <comutil.h>
#include <mbctype.h>
#include <oleauto.h>

#include <string>

#include "CopyOnWrite.h"
#include "KEException.h"
#include "kestring.h"
#include "unit/kefwk/FrameworkTestSupport.h"

namespace {

using kefwktest::Show;

// Hiragana "a" and "i": in 932 two bytes each, in UTF-8 three.
#define HA "\x82\xa0"
#define HI "\x82\xa2"
#define U8_A "\xe3\x81\x82"
#define U8_I "\xe3\x81\x84"

class Encodings : public kefwktest::CodePageTest {};


std::string ShowWide(const wchar_t* s)
{
    std::string out;
    for (; s && *s; ++s) {
        char hex[8];
        snprintf(hex, sizeof hex, *s < 0x80 ? "%c" : "\\u%04x", (unsigned)*s);
        out += hex;
    }
    return out;
}

std::string Repeat(const char* piece, int count)
{
    std::string out;
    for (int i = 0; i < count; ++i)
        out += piece;
    return out;
}

#define EXPECT_TEXT(actual, expected, row) \
    EXPECT_EQ(Show(actual), Show(expected)) << "row " << (row)

// ---------------------------------------------------------------------------------------------
// Wide text and system strings

TEST_P(Encodings, WideTextCrossesInTheMultibyteCodePage)
{
    // What 1252 cannot hold becomes its default character "?"; a later trip back gives "?".
    struct Case { const wchar_t* wide; const char* sbcs; const char* dbcs; bool sbcsBack; bool dbcsBack; };
    const Case cases[] = {
        {L"abc", "abc", "abc", true, true},
        {L"\x3042\x3044", "??", HA HI, false, true},
        {L"x\x3042y", "x?y", "x" HA "y", false, true},
        {L"\xff61", "?", "\xa1", false, true},             // half-width katakana: one byte in 932
        {L"caf\xe9", "caf\xe9", nullptr, true, false},     // 932 has no e acute (system's choice)
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        const char* expected = Pick(c.sbcs, c.dbcs);
        DynamicString assigned("old");
        assigned.Assign(c.wide);
        if (expected) {
            EXPECT_TEXT(assigned.GetString(), expected, i);
        }

        // Appending goes through the system-string wrapper: the same bytes as Assign.
        DynamicString appended("<");
        appended.Append(c.wide);
        EXPECT_EQ(Show(appended.GetString()), "<" + Show(assigned.GetString())) << "row " << i;

        _bstr_t wrapper(c.wide);
        StaticString<64> fromWrapper("old");
        fromWrapper.Assign(wrapper);
        EXPECT_TEXT(fromWrapper.GetString(), assigned.GetString(), i);
        fromWrapper.Append(wrapper);
        EXPECT_EQ(Show(fromWrapper.GetString()), Show(assigned.GetString()) + Show(assigned.GetString()))
            << "row " << i;

        BSTR back = assigned.AllocSysString();
        ASSERT_NE(back, nullptr) << "row " << i;
        if (Dbcs() ? c.dbcsBack : c.sbcsBack) {
            EXPECT_EQ(ShowWide(back), ShowWide(c.wide)) << "row " << i;
            EXPECT_EQ(SysStringLen(back), wcslen(c.wide)) << "row " << i;
        }
        SysFreeString(back);
    }
}

TEST_P(Encodings, EmptyAndNullWideTexts)
{
    DynamicString s("keep");
    s.Append(static_cast<const wchar_t*>(nullptr));
    s.Append(L"");
    s.Append(_bstr_t());
    s.Append(_bstr_t(L""));
    EXPECT_STREQ(s.GetString(), "keep");

    const _bstr_t empties[] = {_bstr_t(), _bstr_t(L"")};
    for (size_t i = 0; i < 2; ++i) {
        StaticString<8> t("keep");
        t.Assign(empties[i]);
        EXPECT_STREQ(t.GetString(), "") << "row " << i;
    }
    StaticString<8> t("keep");
    t.Assign(static_cast<const wchar_t*>(nullptr));
    EXPECT_STREQ(t.GetString(), "");
    t.Assign(L"x");
    t.Assign(L"");
    EXPECT_STREQ(t.GetString(), "");

    BSTR b = DynamicString().AllocSysString();
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(SysStringLen(b), 0u);
    SysFreeString(b);
}

TEST_P(Encodings, TheWrapperKeepsItsNarrowCopyInTheMultibyteCodePage)
{
    _bstr_t wrapper(L"\x3042z");
    const char* narrow = wrapper;
    EXPECT_EQ(Show(narrow), Show(Pick("?z", HA "z")));
    DynamicString s;
    s.Assign(wrapper);
    EXPECT_EQ(static_cast<const char*>(wrapper), narrow);  // made once, then reused

    // And the other way: a narrow text into a wrapper.
    _bstr_t fromNarrow(Pick("caf\xe9", HA "z"));
    EXPECT_EQ(ShowWide(fromNarrow), ShowWide(Dbcs() ? L"\x3042z" : L"caf\xe9"));
}

TEST_P(Encodings, AWideTextLongerThanAFixedStringKeepsWholeCharacters)
{
    std::wstring wide = L"a" + std::wstring(70, L'\x3042');
    StaticString<64> s("old");
    s.Assign(wide.c_str());
    // In 932 the 64th byte would be the lead byte of a character: it is left out.
    std::string expected = Dbcs() ? "a" + Repeat(HA, 31) : "a" + std::string(63, '?');
    EXPECT_EQ(Show(s.GetString()), Show(expected.c_str()));
    EXPECT_EQ(s.GetByteLength(), (int)expected.size());

    // Appending to a nearly full string cuts the same way.
    StaticString<64> t(std::string(60, 'x').c_str());
    t.Append(L"\x3042\x3044\x3046");
    expected = std::string(60, 'x') + (Dbcs() ? HA HI : "???");
    EXPECT_EQ(Show(t.GetString()), Show(expected.c_str()));

    StaticString<64> u("y");
    u.Assign(_bstr_t(wide.c_str()));
    EXPECT_EQ(u.GetByteLength(), Dbcs() ? 63 : 64);
}

// ---------------------------------------------------------------------------------------------
// UTF-8

TEST_P(Encodings, Utf8RoundTrips)
{
    struct Case { const char* utf8; const char* sbcs; const char* dbcs; };
    const Case cases[] = {
        {"plain", "plain", "plain"},
        {U8_A U8_I "b", "??b", HA HI "b"},
        {"caf\xc3\xa9", "caf\xe9", nullptr},
        {"", "", ""},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        const char* expected = Pick(c.sbcs, c.dbcs);
        const int counts[] = {-1, (int)strlen(c.utf8)};
        for (int count : counts) {
            DynamicString s("old");
            s.AssignFromUTF8(c.utf8, count);
            if (expected) {
                EXPECT_TEXT(s.GetString(), expected, i) << " count " << count;
            }
        }
        if (!expected)
            continue;
        DynamicString s;
        s.AssignFromUTF8(c.utf8, -1);
        char buffer[512];
        memset(buffer, 'J', sizeof buffer);
        char* utf8 = s.ToUTF8(buffer);
        EXPECT_EQ(utf8, buffer) << "row " << i;
        bool representable = strchr(expected, '?') == nullptr;
        if (representable) {
            EXPECT_TEXT(utf8, c.utf8, i);
        }
        if (utf8 != buffer)
            String::FreeUTF8(utf8);

        // Without a buffer of the caller's the result is always a new array.
        char* owned = s.ToUTF8(nullptr);
        ASSERT_NE(owned, nullptr) << "row " << i;
        if (representable) {
            EXPECT_TEXT(owned, c.utf8, i);
        }
        String::FreeUTF8(owned);
    }
    String::FreeUTF8(nullptr);
}

TEST_P(Encodings, Utf8CountsAndCutSequences)
{
    // A count that ends inside a sequence: the system turns the cut sequence into U+FFFD, which
    // neither page holds, so it arrives as the default character.
    struct Case { const char* utf8; int count; const char* sbcs; const char* dbcs; };
    const Case cases[] = {
        {"a" U8_A "b", 1, "a", "a"},
        {"a" U8_A "b", 2, "a?", "a?"},
        {"a" U8_A "b", 3, "a?", "a?"},
        {"a" U8_A "b", 4, "a?", "a" HA},
        {"a" U8_A "b", 5, "a?b", "a" HA "b"},
        {"a" U8_A "b", -1, "a?b", "a" HA "b"},
        {"a" U8_A "b", -7, "a?b", "a" HA "b"},   // every negative count means terminated text
        {"a" U8_A "b", 0, "", ""},
        {"ab\0cd", 5, "ab", "ab"},                // the text ends at an embedded terminator
        // Bytes that are no UTF-8 at all become replacement characters, never raw bytes.
        {"\xff\xfe", -1, "??", "??"},
        {"\x80x", 2, "?x", "?x"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        DynamicString s("old");
        s.AssignFromUTF8(cases[i].utf8, cases[i].count);
        EXPECT_TEXT(s.GetString(), Pick(cases[i].sbcs, cases[i].dbcs), i);
    }
    DynamicString s("old");
    s.AssignFromUTF8(nullptr, 5);
    EXPECT_STREQ(s.GetString(), "");
}

TEST_P(Encodings, LongTextsLeaveTheStackBuffers)
{
    // 511 to 513 wide characters around the 512 of the stack buffer, counted and terminated,
    // each character three bytes of UTF-8.
    for (int chars = 510; chars <= 514; ++chars) {
        std::string utf8 = Repeat(U8_A, chars - 1) + "z";
        std::string expected = Dbcs() ? Repeat(HA, chars - 1) + "z" : std::string(chars - 1, '?') + "z";
        const int counts[] = {-1, (int)utf8.size()};
        for (int count : counts) {
            DynamicString s;
            s.AssignFromUTF8(utf8.c_str(), count);
            EXPECT_EQ(s.GetString(), expected) << chars << " characters, count " << count;
        }
    }

    // 600 characters: the result cannot be the caller's 512 bytes.
    DynamicString text(Repeat(Pick("q", HA), 600).c_str());
    char buffer[512];
    char* utf8 = text.ToUTF8(buffer);
    ASSERT_NE(utf8, nullptr);
    EXPECT_NE(utf8, buffer);
    std::string expected = Repeat(Pick("q", U8_A), 600);
    EXPECT_EQ(std::string(utf8), expected);
    DynamicString back;
    back.AssignFromUTF8(utf8, -1);
    EXPECT_STREQ(back.GetString(), text.GetString());
    String::FreeUTF8(utf8);

    // 511 bytes and a terminator still fit the caller's buffer; one byte more does not.
    for (int bytes = 510; bytes <= 512; ++bytes) {
        DynamicString t(std::string(bytes, 'k').c_str());
        char* out = t.ToUTF8(buffer);
        EXPECT_EQ(out == buffer, bytes < 512) << bytes << " bytes";
        EXPECT_EQ(strlen(out), (size_t)bytes);
        if (out != buffer)
            String::FreeUTF8(out);
    }
}

INSTANTIATE_TEST_SUITE_P(, Encodings, ::testing::Values(0, 932), kefwktest::CodePageName);

// ---------------------------------------------------------------------------------------------
// XML escaping

class Xml : public Encodings {};

TEST_P(Xml, EscapeReplacesTheSpecialCharacters)
{
    struct Case { const char* text; bool apostrophe; const char* expected; bool replaced; };
    const Case cases[] = {
        {"a<b>c&d", false, "a&lt;b&gt;c&amp;d", true},
        {"it's \"q\"", false, "it's \"q\"", false},
        {"'\"", false, "'\"", false},
        {"'\"", true, "&apos;\"", true},
        {"\"", true, "\"", false},                     // the double quote is never escaped
        {"", true, "", false},
        {"&amp;", false, "&amp;amp;", true},
        {HA "<" HI "'", true, HA "&lt;" HI "&apos;", true},
        {"<<>>", true, "&lt;&lt;&gt;&gt;", true},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        DynamicString s(cases[i].text);
        EXPECT_EQ(String::XmlEscape(s, cases[i].apostrophe), cases[i].replaced) << "row " << i;
        EXPECT_TEXT(s.GetString(), cases[i].expected, i);
    }

    // A fixed-capacity text keeps the whole characters (here bytes) that fit.
    StaticString<8> small("<<<<");
    EXPECT_TRUE(String::XmlEscape(small, false));
    EXPECT_STREQ(small.GetString(), "&lt;&lt;");
}

TEST_P(Xml, UnescapeIsOnePassInPlace)
{
    struct Case { const char* text; const char* expected; };
    const Case cases[] = {
        {"&amp;lt;", "&lt;"},
        {"&lt;&gt;&amp;&apos;&quot;", "<>&'\""},
        {"a & b", "a & b"},
        {"&foo;bar", "&foo;bar"},
        {"&am", "&am"},
        {"x&", "x&"},
        {"&&lt;", "&<"},
        {"&LT;", "&LT;"},
        {"&quot", "&quot"},
        {HA "&lt;" HI, HA "<" HI},
        {"no entity", "no entity"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        DynamicString s(cases[i].text);
        s.XmlUnescape();
        EXPECT_TEXT(s.GetString(), cases[i].expected, i);
        EXPECT_EQ(s.GetByteLength(), (int)strlen(cases[i].expected)) << "row " << i;

        char chars[32];
        strcpy(chars, cases[i].text);
        BufferString view(chars, 0);
        view.XmlUnescape();
        EXPECT_TEXT(chars, cases[i].expected, i);
    }

    // Shared memory and a literal are copied before the first write.
    DynamicString original("&lt;x&gt;");
    DynamicString copy(original);
    copy.XmlUnescape();
    EXPECT_STREQ(copy.GetString(), "<x>");
    EXPECT_STREQ(original.GetString(), "&lt;x&gt;");
    DynamicString literal("&amp;", false);
    literal.XmlUnescape();
    EXPECT_STREQ(literal.GetString(), "&");
}

TEST_P(Xml, EscapeThenUnescapeGivesTheTextBack)
{
    const char* texts[] = {"plain", "a<b>&c'd\"e", "&&&", "<tag attr='v'>", HA "&" HI, "'", "x;y&z"};
    for (size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
        for (bool apostrophe : {false, true}) {
            DynamicString s(texts[i]);
            String::XmlEscape(s, apostrophe);
            s.XmlUnescape();
            EXPECT_TEXT(s.GetString(), texts[i], i) << " apostrophe " << apostrophe;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(, Xml, ::testing::Values(0, 932), kefwktest::CodePageName);

} // namespace
