#include <gtest/gtest.h>

#include <string>

#include "scan/TokenScanner.h"
#include "unit/AppCodePage.h"

TEST(TokenScanner, FieldsAreTheTextBetweenBars) {
    struct Case { const char* text; int k; const char* expected; };
    const Case cases[] = {
        {"5 0|A|B|C|", 0, "A"},
        {"5 0|A|B|C|", 1, "B"},
        {"5 0|A|B|C|", 2, "C"},
        {"5 0|A|B|C", 2, ""},          // a field needs its closing bar
        {"|A||C|", 1, ""},             // adjacent bars
        {"|A||C|", 2, "C"},
        {"", 0, ""},
        {"no bars", 0, ""},
        {"1 1| C:\\Kit |\"x\"|", 0, " C:\\Kit "},  // taken as they stand
        {"1 1| C:\\Kit |\"x\"|", 1, "\"x\""},
        {"|a|b|", -1, ""},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        TokenScanner s(cases[i].text);
        EXPECT_EQ(s.Field(cases[i].k), cases[i].expected) << "row " << i << ": '" << cases[i].text << "' k=" << cases[i].k;
    }
}

TEST(TokenScanner, NumbersAreSignedDigitRuns) {
    TokenScanner s("  12  -3|x|");
    bool found = false;
    EXPECT_EQ(s.NextNumber(found), 12);
    EXPECT_TRUE(found);
    EXPECT_EQ(s.NextNumber(found), -3);
    EXPECT_TRUE(found);
    EXPECT_EQ(s.NextNumber(found), 0);
    EXPECT_FALSE(found);

    TokenScanner bar("|x|");
    found = true;
    EXPECT_EQ(bar.NextNumber(found), 0);
    EXPECT_FALSE(found);
    EXPECT_EQ(bar.Cursor(), 0u);

    TokenScanner blanks("   ");
    EXPECT_EQ(blanks.NextNumber(found), 0);
    EXPECT_FALSE(found);
    EXPECT_EQ(blanks.Cursor(), 0u);  // nothing left after the white space: cursor stays

    TokenScanner minus("- 7");
    EXPECT_EQ(minus.NextNumber(found), 0);
    EXPECT_FALSE(found);
    EXPECT_EQ(minus.Cursor(), 1u);  // a lone minus sign is consumed
    EXPECT_EQ(minus.NextNumber(found), 7);
    EXPECT_TRUE(found);

    TokenScanner huge("99999999999 -99999999999");
    EXPECT_EQ(huge.NextNumber(found), 2147483647);
    EXPECT_TRUE(found);
    EXPECT_EQ(huge.NextNumber(found), -2147483647 - 1);
}

TEST(TokenScanner, WordsEndAtABlankOrTheClosingQuote) {
    TokenScanner quoted("\"C:\\Program Files\\Kit\\setup.exe\" /q");
    EXPECT_EQ(quoted.NextWord(), "C:\\Program Files\\Kit\\setup.exe");
    EXPECT_EQ(quoted.NextWord(), "/q");
    EXPECT_EQ(quoted.NextWord(), "");

    TokenScanner bare("setup.exe");
    EXPECT_EQ(bare.NextWord(), "setup.exe");
    EXPECT_EQ(bare.NextWord(), "");

    TokenScanner open("\"C:\\no close mark");
    EXPECT_EQ(open.NextWord(), "C:\\no close mark");
    EXPECT_EQ(open.NextWord(), "");

    TokenScanner tab("a\tb c");  // only the blank ends an unquoted word
    EXPECT_EQ(tab.NextWord(), "a\tb");
    EXPECT_EQ(tab.NextWord(), "c");

    TokenScanner longWord(std::string(300, 'x') + " y");
    EXPECT_EQ(longWord.NextPathWord(), std::string(260, 'x'));
}

// ---------------------------------------------------------------------------------------------
// Double-byte characters. "ポ" is 0x83 0x7C (trail byte '|'), "表" 0x95 0x5C and "ソ" 0x83 0x5C
// (trail byte '\'); under 1252 the same bytes are two characters each, the second a real '|' or
// '\'.

class TokenScannerCodePage : public AppCodePage {};

TEST_P(TokenScannerCodePage, FieldsStepOverDoubleByteCharacters) {
    struct Case { const char* text; int k; const char* sbcs; const char* dbcs; };
    const Case cases[] = {
        // A kit folder whose name holds "ポ": under 932 its trail byte closes no field.
        {"0 0|C:\\\x83\x7C|T|I|", 0, "C:\\\x83", "C:\\\x83\x7C"},
        {"0 0|C:\\\x83\x7C|T|I|", 1, "", "T"},
        {"0 0|C:\\\x83\x7C|T|I|", 2, "T", "I"},
        // Trail byte '\' at the very end of a field, right before its bar.
        {"4711 1|C:\\\x95\x5C|C:\\T\x83\x5C|C:\\\x83\x7C\x95\x5C\x83\x5C|", 0, "C:\\\x95\x5C", "C:\\\x95\x5C"},
        {"4711 1|C:\\\x95\x5C|C:\\T\x83\x5C|C:\\\x83\x7C\x95\x5C\x83\x5C|", 1, "C:\\T\x83\x5C", "C:\\T\x83\x5C"},
        {"4711 1|C:\\\x95\x5C|C:\\T\x83\x5C|C:\\\x83\x7C\x95\x5C\x83\x5C|", 2, "C:\\\x83", "C:\\\x83\x7C\x95\x5C\x83\x5C"},
        // A lead byte right before the closing bar: under 932 the two bytes are "ポ" and the
        // field has no closing bar.
        {"0 0|A|B\x83|", 1, "B\x83", ""},
        // A lone lead byte at the very end of the text.
        {"0 0|A|\x83", 0, "A", "A"},
        {"0 0|A|\x83", 1, "", ""},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        TokenScanner s(cases[i].text);
        EXPECT_EQ(s.Field(cases[i].k), Pick<std::string>(cases[i].sbcs, cases[i].dbcs))
            << "row " << i << " k=" << cases[i].k;
    }
}

TEST_P(TokenScannerCodePage, WordsAndNumbersStepOverDoubleByteCharacters) {
    // The numbers before a double-byte field; the scan of the fields is not disturbed by them.
    TokenScanner line("12 -3|\x83\x7C|");
    bool found = false;
    EXPECT_EQ(line.NextNumber(found), 12);
    EXPECT_EQ(line.NextNumber(found), -3);
    EXPECT_EQ(line.Field(0), Pick<std::string>("\x83", "\x83\x7C"));

    TokenScanner quoted("\"C:\\\x83\x7C\x95\x5C\\t \x83\x5C.exe\" /q \x95\x5C");
    EXPECT_EQ(quoted.NextWord(), "C:\\\x83\x7C\x95\x5C\\t \x83\x5C.exe");
    EXPECT_EQ(quoted.NextWord(), "/q");
    EXPECT_EQ(quoted.NextWord(), "\x95\x5C");
    EXPECT_EQ(quoted.NextWord(), "");

    TokenScanner endsInLead("tool\x83");
    EXPECT_EQ(endsInLead.NextWord(), "tool\x83");
    EXPECT_EQ(endsInLead.Cursor(), 5u);

    // 300 characters "表": the path word keeps 260 whole characters, never half of one.
    std::string kanji;
    for (int i = 0; i < 300; ++i) kanji += "\x95\x5C";
    TokenScanner longWord(kanji + " y");
    EXPECT_EQ(longWord.NextPathWord(), kanji.substr(0, Pick<size_t>(260, 520)));
    TokenScanner oddCut("x" + kanji);  // under 932: 'x' and 259 whole characters "表"
    std::string cut = oddCut.NextPathWord();
    EXPECT_EQ(cut.size(), Pick<size_t>(260, 1 + 2 * 259));
    // A lead byte before a NUL inside the text is a character of its own, also as the 260th: the
    // cut takes it alone and the NUL stays behind it.
    std::string nul = std::string(259, 'x') + "\xFA" + std::string(1, '\0') + "yz";
    TokenScanner leadBeforeNul(nul);
    EXPECT_EQ(leadBeforeNul.NextPathWord(), nul.substr(0, 260));
}

INSTANTIATE_APP_CODE_PAGES(TokenScannerCodePage);
