#include <gtest/gtest.h>

#include <string>

#include "app/TokenScanner.h"

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
        EXPECT_EQ(s.Cursor(), 0u) << "row " << i;
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
