// Formatted number output: the format parser, special values and the converter. The program's
// environment sets the user's decimal separator to a comma (DecimalPointTest.cpp), so kind 2
// shows a comma here and kinds 1 and 3 must not.
#include <gtest/gtest.h>

#include <mbctype.h>
#include <float.h>
#include <limits.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "DecimalPointLocalizer.h"
#include "ErrorTables.h"
#include "FormattedNumber.h"
#include "KEException.h"
#include "kestring.h"
#include "unit/kefwk/FrameworkTestSupport.h"

namespace {

// The tables run under the default code page and under double-byte 932: the format is walked
// by character, and the edits of the output are placed by character.
class NumberCodePage : public kefwktest::CodePageTest {};

double FromBits(unsigned long long bits)
{
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}

const double kNaN = FromBits(0x7FF8000000000000ULL);
const double kIndefinite = FromBits(0xFFF8000000000000ULL);
const double kInfinity = FromBits(0x7FF0000000000000ULL);
const double kMinusInfinity = FromBits(0xFFF0000000000000ULL);

TEST_P(NumberCodePage, FormatSpecificationParsesTheFirstConversion)
{
    const int A = FormatSpecification::ALLOW_FLOATING | FormatSpecification::ALLOW_INTEGER;
    struct Case {
        const char* format;
        int allowed;
        int start, length, flagsStart, flagsLength, widthStart, widthLength, precisionStart, precisionLength;
        int dollar, conversion, error, formatClass, width, precision;
    };
    const Case cases[] = {
        // format        allowed start len fS fL  wS wL  pS pL  $   conv err cls  w   p
        {"%d",            A,   0,  2, -1, -1, -1, -1, -1, -1, -1,  1, -1, 1, -1, -1},
        {"x=%-#$08.3f!",  A,   2,  9,  3,  4,  7,  1,  8,  2,  5, 10, -1, 7,  8,  3},
        {"%.f",           A,   0,  3, -1, -1, -1, -1,  1,  1, -1,  2, -1, 6, -1,  0},
        {"%12.100e",      A,   0,  8, -1, -1,  1,  2,  3,  4, -1,  7, -1, 6, 12, 100},
        {"%i",            A,   0,  2, -1, -1, -1, -1, -1, -1, -1,  1, -1, 1, -1, -1},
        {"%c",            A,   0,  2, -1, -1, -1, -1, -1, -1, -1,  1, -1, 1, -1, -1},
        {"%u",            A,   0,  2, -1, -1, -1, -1, -1, -1, -1,  1, -1, 2, -1, -1},
        {"%X",            A,   0,  2, -1, -1, -1, -1, -1, -1, -1,  1, -1, 3, -1, -1},
        {"%#B",           A,   0,  3,  1,  1, -1, -1, -1, -1, -1,  2, -1, 4, -1, -1},
        {"%O",            A,   0,  2, -1, -1, -1, -1, -1, -1, -1,  1, -1, 5, -1, -1},
        {"%G",            A,   0,  2, -1, -1, -1, -1, -1, -1, -1,  1, -1, 6, -1, -1},
        {"%$E",           A,   0,  3,  1,  1, -1, -1, -1, -1,  1,  2, -1, 7, -1, -1},
        {"%$d",           A,   0,  3,  1,  1, -1, -1, -1, -1,  1,  2, -1, 1, -1, -1},  // "$" trims floats only
        {"%s",            A,   0, -1, -1, -1, -1, -1, -1, -1, -1, -1,  1, 0, -1, -1},
        {"%s",            4,   0,  2, -1, -1, -1, -1, -1, -1, -1,  1, -1, 8, -1, -1},
        {"%f",            2,   0, -1, -1, -1, -1, -1, -1, -1, -1, -1,  1, 0, -1, -1},
        {"%d",            1,   0, -1, -1, -1, -1, -1, -1, -1, -1, -1,  1, 0, -1, -1},
        // "%%" is no escape: the conversion is the one after the last "%" of the run.
        {"%%d",           A,   1,  2, -1, -1, -1, -1, -1, -1, -1,  2, -1, 1, -1, -1},
        // Nothing of an unfinished conversion carries over to the next one.
        {"%-8%x",         A,   3,  2, -1, -1, -1, -1, -1, -1, -1,  4, -1, 3, -1, -1},
        {"%d%x",          A,   0,  2, -1, -1, -1, -1, -1, -1, -1,  1, -1, 1, -1, -1},
        {"%5",            A,   0, -1, -1, -1,  1,  1, -1, -1, -1, -1,  1, 0,  5, -1},
        {"%ld",           A,   0, -1, -1, -1, -1, -1, -1, -1, -1, -1,  1, 0, -1, -1},
        {"abc",           A,  -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  2, 0, -1, -1},
        {"%99999999999d", A,   0, 13, -1, -1,  1, 11, -1, -1, -1, 12, -1, 1, INT_MAX, -1},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        FormatSpecification s(c.format, c.allowed);
        const int actual[] = {s.m_start, s.m_length, s.m_flagsStart, s.m_flagsStart < 0 ? -1 : s.m_flagsLength,
                              s.m_widthStart, s.m_widthStart < 0 ? -1 : s.m_widthLength, s.m_precisionStart,
                              s.m_precisionStart < 0 ? -1 : s.m_precisionLength, s.m_dollar, s.m_conversion,
                              s.m_error, s.m_class, s.GetWidth(), s.GetPrecision()};
        const int expected[] = {c.start, c.length, c.flagsStart, c.flagsLength, c.widthStart, c.widthLength,
                                c.precisionStart, c.precisionLength, c.dollar, c.conversion, c.error, c.formatClass,
                                c.width, c.precision};
        const char* names[] = {"start", "length", "flags start", "flags length", "width start", "width length",
                               "precision start", "precision length", "dollar", "conversion", "error", "class",
                               "width", "precision"};
        for (int f = 0; f < 14; ++f)
            EXPECT_EQ(actual[f], expected[f]) << "row " << i << " \"" << c.format << "\" " << names[f];
        EXPECT_STREQ(s.GetString(), c.format) << "row " << i;
    }
}

TEST_P(NumberCodePage, FormatSpecificationPrintfFormat)
{
    struct Case { const char* format; bool sixtyFour; const char* expected; };
    const Case cases[] = {
        {"%$8.3f", false, "%8.3f"},
        {"%$$.2f", false, "%.2f"},
        {"%x", true, "%I64x"},
        {"a%-5db", true, "a%-5I64db"},
        {"%d%%", true, "%I64d%%"},
        // A second conversion would read a value that is not there: it is printed as text.
        {"%d and %s", false, "%d and %%s"},
        {"%d %", false, "%d %%"},
        {"plain", true, "plain"},
        {"%s", true, "%s"},  // not a number conversion: left as it is
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        FormatSpecification s(cases[i].format, 3);
        EXPECT_STREQ(s.GetPrintfFormat(cases[i].sixtyFour).GetString(), cases[i].expected) << "row " << i;
    }
}

TEST(SpecialValues, Classify)
{
    struct Case { unsigned long long bits; int expected; };
    const Case cases[] = {
        {0x7FF0000000000000ULL, 4},
        {0xFFF0000000000000ULL, 8},
        {0xFFF8000000000000ULL, 2},  // the indefinite value
        {0x7FF8000000000000ULL, 1},  // a quiet not-a-number without sign
        {0xFFFF000000000001ULL, 1},
        {0x7FF0000000000001ULL, 1},  // any of the low 48 mantissa bits
        {0x7FF0800000000000ULL, 1},
        {0xFFF1000000000000ULL, 1},
        {0x7FEFFFFFFFFFFFFFULL, 0},  // the largest double
        {0x0000000000000001ULL, 0},
        {0x8000000000000000ULL, 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(ClassifySpecialValue(FromBits(cases[i].bits)), cases[i].expected) << "row " << i;
}

struct ConvertCase {
    NumberValue number;
    int kind;
    const char* format;
    std::string expected;
};

void CheckConversions(const ConvertCase* cases, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        DynamicString s("<");
        try {
            s.QuelvaranConvertFromFormattedNumber(cases[i].number, cases[i].kind, cases[i].format);
        } catch (const KEException& e) {
            ADD_FAILURE() << "row " << i << " \"" << cases[i].format << "\" raised " << e.GetErrorCode();
            continue;
        }
        EXPECT_EQ(std::string(s.GetString()), "<" + cases[i].expected)
            << "row " << i << " \"" << cases[i].format << "\"";
    }
}

NumberValue R(double d) { return NumberValue(d); }
NumberValue I(int64_t v) { return NumberValue(v); }
NumberValue U(uint64_t v) { return NumberValue(v); }

TEST_P(NumberCodePage, FormattedNumberConversions)
{
    const ConvertCase cases[] = {
        // Decimal point kinds: 3 always ".", 4 always ",", 2 the user's comma, 1 "." while the
        // product does not ask for the user's point.
        {R(0.1), 3, "%.16g", "0.1"},
        {R(1.5), 3, "%.16g", "1.5"},
        {R(0.1), 4, "%.16g", "0,1"},
        {R(0.1), 2, "%.16g", "0,1"},
        {R(0.1), 1, "%.16g", "0.1"},
        {R(2.5), 4, "%.2f", "2,50"},
        // Only the number's own point is localized, not one in the text around it.
        {R(2.5), 4, "%.1f v1.2", "2,5 v1.2"},
        {R(2.5), 4, "v.%.1f", "v.2,5"},
        {I(5), 4, "%d.txt", "5.txt"},
        {R(5), 4, "%.0f.txt", "5.txt"},

        // Width and precision above 100 are taken as 100.
        {R(1), 3, "%.150f", "1." + std::string(100, '0')},
        {I(5), 3, "%150d", std::string(99, ' ') + "5"},
        {R(1), 3, "%150.150f", "1." + std::string(100, '0')},
        {R(1), 3, "%101.0f", std::string(99, ' ') + "1"},
        {R(1), 3, "%100.0f", std::string(99, ' ') + "1"},

        // "$": trailing fraction zeros go; inside the field width they become blanks.
        {R(2.5), 3, "%$.3f", "2.5"},
        {R(2.0), 3, "%$.3f", "2"},
        {R(2.0), 3, "%#$.3f", "2."},
        {R(2.5), 3, "%$8.3f", "   2.5  "},
        {R(2.5), 3, "%-$8.3f", "2.5     "},
        {R(12345), 3, "%$8.3f", "12345   "},
        {R(2.25), 3, "%$5.2f", " 2.25"},
        {R(100), 3, "%$g", "100"},
        {R(250), 3, "%$.2e", "2.50e+002"},
        {R(2.5), 4, "%$.3f", "2,5"},
        {R(2.5), 3, "%$.2f%%", "2.5%"},
        {R(2.0), 3, "Sum: %$.2f EUR", "Sum: 2 EUR"},
        {R(0.25), 3, "%$.0f", "0"},
        {R(-0.25), 3, "%$10.4f", "   -0.25  "},

        // Hexadecimal: "#" gives "0x0" for zero.
        {I(0), 3, "%#x", "0x0"},
        {I(0), 3, "%x", "0"},
        {R(0.0), 3, "%#x", "0x0"},
        {U(0), 3, "%#X", "0X0"},
        {I(0), 3, "%#6x", "   0x0"},
        {I(0), 3, "%#.3x", "0x000"},
        {I(0), 3, "1: %#x", "1: 0x0"},
        {I(255), 3, "%#x", "0xff"},
        {R(-1.0), 3, "%x", "ffffffff"},
        {I(-1), 3, "%x", "ffffffffffffffff"},

        // Octal carries "0c".
        {I(8), 3, "%o", "0c10"},
        {R(8.9), 3, "%o", "0c10"},
        {I(8), 3, "n=%o", "n=0c10"},
        {I(0), 3, "%o", "0c0"},
        // The number's place counts "%%" before it as the one character it prints.
        {I(8), 3, "100%% %o", "100% 0c10"},
        {I(8), 3, "%%%%%%%o", "%%%0c10"},
        {I(8), 3, "%% %5o", "% 0c   10"},
        // The same place for every conversion that edits its own output.
        {I(0), 3, "%%%%%%%%%#x", "%%%%0x0"},
        {I(5), 3, "%%%%%%%%%#6b", "%%%% 0b101"},
        {R(2.5), 4, "%%%%%%%%%%%%%.1f", "%%%%%%2,5"},
        {R(2.0), 3, "%%%%%%%%%%%%%$5.2f", "%%%%%% 2   "},

        // Binary.
        {I(5), 3, "%b", "101"},
        {I(5), 3, "%.8b", "00000101"},
        {I(5), 3, "%#b", "0b101"},
        {I(5), 3, "%#6b", " 0b101"},
        {I(5), 3, "%#8b", "   0b101"},
        {I(5), 3, "%#4b", "0b101"},
        {I(5), 3, "%#B", "0B101"},
        {I(5), 3, "%-6b|", "101   |"},
        {I(5), 3, "%8.4b", "    0101"},
        {I(5), 3, "%-8.4b|", "0101    |"},
        {I(5), 3, "%#.8b", "0b00000101"},
        {I(5), 3, "%#10.8b", "0b00000101"},
        {I(5), 3, "%.2b", "101"},
        {I(5), 3, "%$b", "101"},
        {I(0), 3, "%#b", "0b0"},
        {I(5), 3, "x=%#6b", "x= 0b101"},
        {R(5.7), 3, "%b", "101"},
        {I(-1), 3, "%b", std::string(64, '1')},
        {U(1ULL << 63), 3, "%b", "1" + std::string(63, '0')},

        // Integer conversions of doubles truncate toward zero.
        {R(3.99), 3, "%d", "3"},
        {R(-3.99), 3, "%d", "-3"},
        {R(1e10), 3, "%d", "-2147483648"},
        {R(-1.0), 3, "%u", "4294967295"},
        {R(4294967295.0), 3, "%u", "4294967295"},
        {I(-5), 3, "%d", "-5"},
        {I(1LL << 40), 3, "%d", "1099511627776"},
        {U(UINT64_MAX), 3, "%u", "18446744073709551615"},
        {I(42), 3, "%+05d", "+0042"},
        {R(65.0), 3, "%c", "A"},

        // Integers under a floating conversion take the default integer form.
        {I(7), 3, "%f", "7"},
        {U(7), 4, "%.2f", "7"},
        {I(-7), 3, "%$8.3f", "-7"},

        // Special values are words; width and "-" still apply, zeros never pad them.
        {R(kNaN), 3, "%8.3f", "     NAN"},
        {R(kMinusInfinity), 3, "%f", "-INF"},
        {R(kInfinity), 3, "%-6f|", "INF   |"},
        {R(kInfinity), 3, "%$8.3f", "     INF"},
        {R(kIndefinite), 3, "%f", "IND"},
        {R(kNaN), 3, "%08.3f", "     NAN"},
        {R(kNaN), 3, "%d", "NAN"},
        {R(kInfinity), 3, "%.150f", "INF"},
        {R(kInfinity), 3, "x", "xINF"},

        // Without a conversion the format is written, then the number in its default form.
        {R(2.5), 3, "Total", "Total2.5"},
        {R(2.5), 4, "Total", "Total2,5"},
        {I(7), 3, "Total", "Total7"},
        {R(1), 3, "%q", "%q1"},
        {R(1), 3, "", "1"},
        {R(1), 3, "%s", "%s1"},

        // A second conversion in the text is printed as text, never fed a value.
        {I(5), 3, "%d %s", "5 %s"},
        {I(5), 3, "%d%%", "5%"},
        {R(2.5), 3, "%.1f %n %s%d", "2.5 %n %s%d"},
    };
    CheckConversions(cases, sizeof cases / sizeof cases[0]);
}

// Double-byte characters around the conversion, with trail bytes '\\' and '|': the number's
// place and its edits count them as one character each under 932, as two under the default page,
// and the bytes come out the same.
#define HYO "\x95\x5c"
#define PO "\x83\x7c"

TEST_P(NumberCodePage, DoubleByteTextAroundTheNumber)
{
    FormatSpecification spec(HYO "%5d" PO, FormatSpecification::ALLOW_INTEGER);
    EXPECT_EQ(spec.m_start, Dbcs() ? 1 : 2);
    EXPECT_EQ(spec.m_conversion, Dbcs() ? 3 : 4);
    EXPECT_EQ(spec.GetPrefixOutputLength(), Dbcs() ? 1 : 2);
    EXPECT_EQ(spec.GetSuffixOutputLength(), Dbcs() ? 1 : 2);
    const ConvertCase cases[] = {
        {I(8), 3, HYO "%o", HYO "0c10"},
        {I(8), 3, HYO "%% %o" PO, HYO "% 0c10" PO},
        {I(0), 3, PO "%#x", PO "0x0"},
        {I(5), 3, HYO "%#6b" HYO, HYO " 0b101" HYO},
        {R(2.5), 4, HYO "%.1f" HYO, HYO "2,5" HYO},
        {R(2.5), 4, "v1.0" PO "%.1f.", "v1.0" PO "2,5."},
        {R(2.0), 3, PO "%$5.2f|", PO " 2   |"},
        {R(2.5), 3, HYO, HYO "2.5"},
    };
    CheckConversions(cases, sizeof cases / sizeof cases[0]);
    // A lead byte before "%" is no character of 932 ("%" is never a trail byte), yet the
    // runtime's formatter, which reads bytes, would open a conversion there: no conversion.
    const ConvertCase lone[] = {
        {I(5), 3, "\x82%d", Dbcs() ? "\x82%d5" : "\x82" "5"},
    };
    CheckConversions(lone, sizeof lone / sizeof lone[0]);
}

INSTANTIATE_TEST_SUITE_P(, NumberCodePage, ::testing::Values(0, 932), kefwktest::CodePageName);

TEST(FormattedNumber, ZeroFlagPadsBinaryDigits)
{
    const ConvertCase cases[] = {
        {I(5), 3, "%08b", "00000101"},
        {I(5), 3, "%-08b|", "101     |"},
    };
    CheckConversions(cases, sizeof cases / sizeof cases[0]);
}

TEST(FormattedNumber, AppendForms)
{
    DynamicString s("x=");
    s.Append(NumberValue(1.0 / 3), 3);
    EXPECT_STREQ(s.GetString(), "x=0.3333333333333");
    s.Append(NumberValue(int64_t(-7)), 4);
    s.Append(NumberValue(uint64_t(UINT64_MAX)), 4);
    EXPECT_STREQ(s.GetString(), "x=0.3333333333333-718446744073709551615");

    DynamicString d;
    d.Append(NumberValue(0.5), 4);
    d.Append(0.25, 2, " %.2f");
    d.Append(int64_t(-5), " %d");
    d.Append(uint64_t(255), " %#x");
    EXPECT_STREQ(d.GetString(), "0,5 0,25 -5 0xff");

    // The widest output the limits allow is written whole.
    DynamicString widest;
    widest.Append(-DBL_MAX, 3, "%150.150f");
    EXPECT_EQ(widest.GetLength(), 1 + 309 + 1 + 100);
    EXPECT_EQ(std::string(widest.GetString() + 310), "." + std::string(100, '0')) << widest.GetString();

    // A fixed-capacity target keeps what fits.
    StaticString<8> small("ab");
    small.Append(123456789.0, 3, "%.0f");
    EXPECT_STREQ(small.GetString(), "ab123456");
}

// The runtime's formatter reads a format byte by byte. In 932 a lead byte before '%' is no
// character of the page ('%' is never a trail byte), yet counted by character it would hide that
// '%' from the framework while the formatter opens a conversion there and takes an argument nobody
// passed (found by the formatting fuzz target).
TEST(FormattedNumber, APercentAfterALeadByteOpensNoConversionUnseen)
{
    struct Case { int codePage; const char* format; std::string expected; };
    const Case cases[] = {
        {932, "\x81%x", "\x81%x5"},                    // no conversion: the text, then the number
        {932, "\xe2\xe2\xe2%xk%xx", "\xe2\xe2\xe2%xk%xx5"},
        {932, "\x81%%d", "\x81%%d5"},
        {932, "\x82\xa0%d", "\x82\xa0" "5"},            // a real double-byte character before it
        {1252, "\x81%x", "\x81" "5"},                   // every byte a character: "%x" converts
    };
    int saved = _getmbcp();
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        ASSERT_EQ(_setmbcp(cases[i].codePage), 0) << "row " << i;
        DynamicString s;
        s.Append(int64_t(5), cases[i].format);
        EXPECT_EQ(std::string(s.GetString()), cases[i].expected) << "row " << i;
        DynamicString d;
        d.Append(5.0, 3, cases[i].format);
        // Five as a double prints as the integer does: "%.13g" without a conversion, truncated
        // under an integer one.
        EXPECT_EQ(std::string(d.GetString()), cases[i].expected) << "row " << i << " (double)";
        DynamicString u;
        u.Append(uint64_t(5), cases[i].format);
        EXPECT_EQ(std::string(u.GetString()), cases[i].expected) << "row " << i;
    }
    _setmbcp(saved);
}

int ErrorOf(void (*call)(String&), std::string& function)
{
    DynamicString s("kept");
    try {
        call(s);
    } catch (const KEException& e) {
        function = e.GetFunction();
        EXPECT_STREQ(s.GetString(), "kept");
        return e.GetErrorCode();
    }
    return 0;
}

TEST(FormattedNumber, Failures)
{
    struct Case { void (*call)(String&); int code; const char* function; };
    const Case cases[] = {
        {[](String& s) { s.QuelvaranConvertFromFormattedNumber(NumberValue::WithTag(3, 5), 3, "%d"); },
         KE_UNEXPECTED_TYPE, "String::QuelvaranConvertFromFormattedNumber"},
        {[](String& s) { s.QuelvaranConvertFromFormattedNumber(NumberValue::WithTag(0, 0), 3, "x"); },
         KE_UNEXPECTED_TYPE, "String::QuelvaranConvertFromFormattedNumber"},
        {[](String& s) { s.Append(NumberValue::WithTag(19, 5), 3); }, KE_UNEXPECTED_TYPE, "String::Append"},
        {[](String& s) { s.Append(2.5, 5, "%f"); }, KE_INVALID_OR_OUT_OF_RANGE,
         "DecimalPointLocalizer::GetLocalizedDecimalPoint"},
        {[](String& s) { FormatSpecialNumber(3, s, "%f", FormatSpecification("%f", 1)); }, KE_INVALID_OR_OUT_OF_RANGE,
         "FormatSpecialNumber"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        std::string function;
        EXPECT_EQ(ErrorOf(cases[i].call, function), cases[i].code) << "row " << i;
        EXPECT_EQ(function, cases[i].function) << "row " << i;
    }
}

// The user's separator is a comma in this program, which ParseDouble accepts anyway: what this
// program can check is that no other separator is taken. Other user separators are read in child
// programs (ParseDouble.ReadsAnyUserSeparator).
TEST(FormattedNumber, ParseDoubleTakesNoOtherSeparator)
{
    ASSERT_EQ(GetLocalizedDecimalPoint(2), (unsigned)',');
    struct Row { const char* text; double value; int used; } rows[] = {
        {"1,5", 1.5, 3},
        {"1.5", 1.5, 3},
        {"1'5", 1, 1},
        {"1;5", 1, 1},
        {"1_5", 1, 1},
        {"1 5", 1, 1},
    };
    for (const Row& r : rows) {
        const char* end = nullptr;
        EXPECT_EQ(String::ParseDouble(r.text, &end), r.value) << r.text;
        EXPECT_EQ(end, r.text + r.used) << r.text;
    }
}

} // namespace
