// XML memory stream and attribute list: the exact text written, round trips, every format error
// with its message and place, and damaged input that must fail cleanly.
#include <gtest/gtest.h>

#include <float.h>
#include <math.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

#include "ErrorTables.h"
#include "KEException.h"
#include "QvStreams.h"
#include "support/TestSupport.h"
#include "unit/kefwk/FrameworkTestSupport.h"

namespace {

std::string Text(const QvMemoryStream& s) { return std::string((const char*)s.GetData(), s.GetSize()); }

// A stream holding text, positioned at its start.
struct Input {
    explicit Input(const std::string& text)
    {
        s.WriteBytes(text.data(), (uint32_t)text.size());
        s.SetOffset(0);
    }
    QvXmlMemoryStream s;
};

struct Failure {
    bool raised = false;
    int code = 0;
    std::string message;
    std::string function;
};

Failure Catch(const std::function<void()>& f)
{
    Failure r;
    try {
        f();
    } catch (const KEException& e) {
        r.raised = true;
        r.code = e.GetErrorCode();
        r.message = e.GetDescription();
        r.function = e.GetFunction();
    }
    return r;
}

TEST(XmlStream, TextForm)
{
    struct Case { const char* what; std::function<void(QvXmlMemoryStream&)> write; std::string bytes; };
    const Case cases[] = {
        {"int at depth 1", [](QvXmlMemoryStream& s) { s.SetIndentationDepth(1); s.WriteInt("Count", 3); },
         "\t<Count>3</Count>\r\n"},
        {"empty text", [](QvXmlMemoryStream& s) { s.WriteString("Name", DynamicString(""), true, true); },
         "<Name/>\r\n"},
        {"attribute escaped", [](QvXmlMemoryStream& s) {
             s.SetAttributeMode(true);
             s.WriteString("a", DynamicString("x'y"), true, false);
         }, " a='x&apos;y'"},
        {"element escaped", [](QvXmlMemoryStream& s) { s.WriteString("T", DynamicString("a<b>&'\""), true, false); },
         "<T>a&lt;b&gt;&amp;'\"</T>\r\n"},
        {"not escaped", [](QvXmlMemoryStream& s) { s.WriteString("T", DynamicString("a&b"), false, false); },
         "<T>a&b</T>\r\n"},
        {"line ends", [](QvXmlMemoryStream& s) { s.WriteString("", DynamicString("a\nb\r\nc\n"), false, true); },
         "a\r\nb\r\nc\r\n"},
        {"line ends kept", [](QvXmlMemoryStream& s) { s.WriteString("", DynamicString("a\nb"), false, false); },
         "a\nb"},
        {"attribute int", [](QvXmlMemoryStream& s) { s.SetAttributeMode(true); s.WriteInt("n", -5); }, " n='-5'"},
        {"depth 2", [](QvXmlMemoryStream& s) { s.SetIndentationDepth(2); s.WriteBool("B", true); },
         "\t\t<B>true</B>\r\n"},
        {"bool false", [](QvXmlMemoryStream& s) { s.WriteBool("B", false); }, "<B>false</B>\r\n"},
        {"int min", [](QvXmlMemoryStream& s) { s.WriteInt("I", INT_MIN); }, "<I>-2147483648</I>\r\n"},
        {"uint max", [](QvXmlMemoryStream& s) { s.WriteUInt("U", UINT_MAX); }, "<U>4294967295</U>\r\n"},
        {"double tenth", [](QvXmlMemoryStream& s) { s.WriteDouble("D", 0.1); }, "<D>0.1</D>\r\n"},
        {"double 1.5", [](QvXmlMemoryStream& s) { s.WriteDouble("D", 1.5); }, "<D>1.5</D>\r\n"},
        {"double smallest", [](QvXmlMemoryStream& s) { s.WriteDouble("D", 4.940656458412465e-324); },
         "<D>4.940656458412465e-324</D>\r\n"},
        {"double largest", [](QvXmlMemoryStream& s) { s.WriteDouble("D", -DBL_MAX); },
         "<D>-1.797693134862316e+308</D>\r\n"},
        {"double 16 digits", [](QvXmlMemoryStream& s) { s.WriteDouble("D", 1.0 / 3); },
         "<D>0.3333333333333333</D>\r\n"},
        {"double large", [](QvXmlMemoryStream& s) { s.WriteDouble("D", 1e300); }, "<D>1e+300</D>\r\n"},
        {"int64 min", [](QvXmlMemoryStream& s) { s.WriteInt64("L", INT64_MIN); },
         "<L>-9223372036854775808</L>\r\n"},
        {"uint64 max", [](QvXmlMemoryStream& s) { s.WriteUInt64("L", UINT64_MAX); },
         "<L>18446744073709551615</L>\r\n"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        QvXmlMemoryStream s;
        cases[i].write(s);
        EXPECT_EQ(cases[i].bytes, Text(s)) << "row " << i << " " << cases[i].what;
    }
}

TEST(XmlStream, DoubleIgnoresUserDecimalPoint)
{
    // Kind 3 of the decimal point: "." whatever the user's setting, so the text reads back anywhere.
    QvXmlMemoryStream s;
    s.WriteDouble("D", 2.25);
    EXPECT_EQ("<D>2.25</D>\r\n", Text(s));
}

// Values written in one pass and read back in another, with the element names checked in order.
TEST(XmlStream, RoundTrips)
{
    const int ints[] = {0, 1, -1, INT_MAX, INT_MIN};
    const unsigned uints[] = {0, 1, UINT_MAX};
    const int64_t int64s[] = {0, -1, INT64_MAX, INT64_MIN};
    const uint64_t uint64s[] = {0, 1, UINT64_MAX, 1ULL << 63};
    const double doubles[] = {0.0, -0.0, 0.1, -1.5, 3.141592653589793, 1e-300, DBL_MAX, -DBL_MAX,
                              4.940656458412465e-324, 123456789012345.6, 1e22};
    const char* texts[] = {"", "plain", "a<b>c&d'e\"f", "&amp;lt; stays", "line1\nline2\n", "  spaced  ",
                           "\ttab", "&unknown;", "x'y"};
    QvXmlMemoryStream s;
    for (int v : ints) s.WriteInt("I", v);
    for (unsigned v : uints) s.WriteUInt("U", v);
    for (int64_t v : int64s) s.WriteInt64("L", v);
    for (uint64_t v : uint64s) s.WriteUInt64("M", v);
    for (double v : doubles) s.WriteDouble("D", v);
    s.WriteBool("B", true);
    s.WriteBool("C", false);
    for (const char* t : texts) s.WriteString("T", DynamicString(t), true, true);
    s.SetOffset(0);
    for (int v : ints) EXPECT_EQ(v, s.ReadInt("I"));
    for (unsigned v : uints) EXPECT_EQ(v, s.ReadUInt("U"));
    for (int64_t v : int64s) EXPECT_EQ(v, s.ReadInt64("L"));
    for (uint64_t v : uint64s) EXPECT_EQ(v, s.ReadUInt64("M"));
    for (size_t i = 0; i < sizeof doubles / sizeof doubles[0]; ++i) {
        double got = s.ReadDouble("D");
        EXPECT_EQ(doubles[i], got) << "double row " << i;
    }
    EXPECT_TRUE(s.ReadBool("B"));
    EXPECT_FALSE(s.ReadBool("C"));
    for (size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
        DynamicString out("junk");
        EXPECT_TRUE(s.ReadString("T", out));
        EXPECT_STREQ(texts[i], out.GetString()) << "text row " << i;
    }
    EXPECT_EQ(s.GetSize(), s.GetOffset() + 2);  // the last CR LF is left for whatever reads next
}

// Every double nearest to a decimal of 16 significant digits comes back exactly.
TEST(XmlStream, RandomSixteenDigitDoubles)
{
    std::mt19937 random(20240611);
    std::uniform_int_distribution<int> digit(0, 9), exponent(-307, 307), sign(0, 1);
    for (int row = 0; row < 300; ++row) {
        std::string text = sign(random) ? "-" : "";
        text += char('1' + digit(random) % 9);
        text += '.';
        for (int i = 0; i < 15; ++i) text += char('0' + digit(random));
        text += "e" + std::to_string(exponent(random));
        double value = strtod(text.c_str(), nullptr);
        QvXmlMemoryStream s;
        s.WriteDouble("D", value);
        s.SetOffset(0);
        EXPECT_EQ(value, s.ReadDouble("D")) << "row " << row << " " << text << " written " << Text(s);
    }
}

TEST(XmlStream, ReadsQuotesCommentsAndLooseSpacing)
{
    Input doc("<!-- a comment\nover two lines -->\r\n"
              "  <E one='1' two=\"x&amp;y\"  three = '-3' >\r\n"
              "<!--between--> <N>7</N >\n"
              "<Empty/>\n"
              "<S>a&lt;&quot;&apos;\r\nb</S>");
    QvXmlAttributeList list;
    doc.s.ReadStartTag("E", list);
    EXPECT_EQ(1, list.ReadInt("one"));
    DynamicString two;
    list.ReadString("two", two);
    EXPECT_STREQ("x&y", two.GetString());
    EXPECT_EQ(-3, list.ReadInt("three"));
    list.ThrowIfAttributesLeft();
    EXPECT_EQ(7, doc.s.ReadInt("N"));
    DynamicString text("junk");
    doc.s.ReadString("Empty", text);
    EXPECT_STREQ("", text.GetString());
    doc.s.ReadString("S", text);
    EXPECT_STREQ("a<\"'\nb", text.GetString());
    // The line feed inside the first comment counted: the start tag stood on line 3.
    EXPECT_EQ(3u, list.GetElementLocation().line);
    EXPECT_EQ(3, (int)(list.GetElementLocation().offset - list.GetElementLocation().lineStart));
}

TEST(XmlStream, EmptyElementWithAttributes)
{
    Input in("<E a='1'/>\r\n<F>2</F>");
    QvXmlAttributeList list;
    in.s.ReadStartTag("E", list);
    EXPECT_TRUE(in.s.IsEmptyElement());
    EXPECT_EQ(1, list.ReadInt("a"));
    in.s.ReadEndTag("E");
    EXPECT_FALSE(in.s.IsEmptyElement());
    EXPECT_EQ(2, in.s.ReadInt("F"));
}

TEST(XmlStream, BoolForms)
{
    struct Case { const char* text; bool ok; bool value; };
    const Case cases[] = {
        {"TRUE", true, true}, {"true", true, true}, {"tRuE", true, true}, {"1", true, true},
        {"False", true, false}, {"0", true, false}, {"yes", false, false}, {"", false, false},
        {" true", false, false}, {"2", false, false}, {"truex", false, false},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        Input in(std::string("<B>") + cases[i].text + "</B>");
        bool value = !cases[i].value;
        Failure f = Catch([&] { value = in.s.ReadBool("B"); });
        EXPECT_EQ(!cases[i].ok, f.raised) << "row " << i << " " << cases[i].text << " " << f.message;
        if (cases[i].ok) {
            EXPECT_EQ(cases[i].value, value) << "row " << i;
        } else {
            EXPECT_EQ("XML value on line 1 character 1 is the wrong type. Boolean value expected.", f.message)
                << "row " << i;
        }
        // The attribute list takes the same forms.
        Input tag(std::string("<E b='") + cases[i].text + "'>");
        QvXmlAttributeList list;
        tag.s.ReadStartTag("E", list);
        Failure g = Catch([&] { value = list.ReadBool("b"); });
        EXPECT_EQ(!cases[i].ok, g.raised) << "list row " << i;
        if (cases[i].ok) {
            EXPECT_EQ(cases[i].value, value) << "list row " << i;
        }
    }
}

// Each row: the input, the read, the exact message and where the offset is left.
TEST(XmlStream, FormatErrors)
{
    using Read = std::function<void(QvXmlMemoryStream&)>;
    auto readInt = [](const char* n) -> Read { return [n](QvXmlMemoryStream& s) { s.ReadInt(n); }; };
    auto startTag = [](const char* n) -> Read {
        return [n](QvXmlMemoryStream& s) { QvXmlAttributeList l; s.ReadStartTag(n, l); };
    };
    struct Case { std::string input; Read read; std::string message; uint32_t offset; };
    const std::string wrong = "XML value on line 1 character 1 is the wrong type. ";
    const Case cases[] = {
        {"<A>1</A>", readInt("B"), "Missing XML element 'B' on line 1 character 1", 0},
        {"<A>1</A>", [](QvXmlMemoryStream& s) { DynamicString t; s.ReadString("B", t); },
         "Missing XML element 'B' on line 1 character 1", 0},
        {"<AB>1</AB>", readInt("A"), "Missing XML element 'A' on line 1 character 1", 0},
        {"<!-- one\ntwo -->\r\n\t<A>1</A>", readInt("B"), "Missing XML element 'B' on line 3 character 2", 19},
        {"x\n  <A>1</A>", [](QvXmlMemoryStream& s) { DynamicString t; s.ReadString("", t); s.ReadInt("B"); },
         "Missing XML element 'B' on line 2 character 3", 4},
        {"<A>1</B>", readInt("A"), "Missing XML element end '</A>' on line 1 character 5", 4},
        {"<A>1</A", readInt("A"), "Missing XML element end '</A>' on line 1 character 5", 4},
        {"<A>1\n\n</AB>", readInt("A"), "Missing XML element end '</A>' on line 3 character 1", 6},
        {"<A x='1'>2</A>", readInt("A"), "Unexpected XML attribute 'x' on line 1 character 4", 3},
        {"<A %2='1'>2</A>", readInt("A"), "Unexpected XML attribute '%2' on line 1 character 4", 3},
        {"<A>1", readInt("A"), "Missing expected string '<' on line 1 character 5", 4},
        {"<A x=1>", startTag("A"), "Missing expected string '\"' on line 1 character 6", 5},
        {"<A x='1>", startTag("A"), "Missing expected string ''' on line 1 character 9", 8},
        {"<A x 'y'>", startTag("A"), "Missing expected string '=' on line 1 character 6", 5},
        {"<A", startTag("A"), "Missing expected string '=' on line 1 character 3", 2},
        {"A>", startTag("A"), "Missing expected string '<' on line 1 character 1", 0},
        {"<B>", startTag("A"), "Missing expected string 'A' on line 1 character 2", 1},
        {"<A/>", [](QvXmlMemoryStream& s) {
             QvXmlAttributeList l; s.ReadStartTag("A", l); s.SetOffset(3); s.ReadEndTag("A");
         }, "Missing XML element end '</A>' on line 1 character 4", 3},
        {"<A>x</A>", readInt("A"), wrong + "Integer expected.", 0},
        {"<A>2147483648</A>", readInt("A"), wrong + "Integer expected.", 0},
        {"<A/>", readInt("A"), wrong + "Integer expected.", 0},
        {"<A>-1</A>", [](QvXmlMemoryStream& s) { s.ReadUInt("A"); }, wrong + "Unsigned Integer expected.", 0},
        {"<A>4294967296</A>", [](QvXmlMemoryStream& s) { s.ReadUInt("A"); }, wrong + "Unsigned Integer expected.", 0},
        {"<A>1e999</A>", [](QvXmlMemoryStream& s) { s.ReadDouble("A"); },
         wrong + "Floating point number expected.", 0},
        {"<A>9223372036854775808</A>", [](QvXmlMemoryStream& s) { s.ReadInt64("A"); },
         wrong + "64-bit Integer expected.", 0},
        {"<A>-1</A>", [](QvXmlMemoryStream& s) { s.ReadUInt64("A"); },
         wrong + "64-bit Unsigned Integer expected.", 0},
        {"<A>18446744073709551616</A>", [](QvXmlMemoryStream& s) { s.ReadUInt64("A"); },
         wrong + "64-bit Unsigned Integer expected.", 0},
        {"<A>yes</A>", [](QvXmlMemoryStream& s) { s.ReadBool("A"); }, wrong + "Boolean value expected.", 0},
        {"<A> </A>", readInt("A"), wrong + "Integer expected.", 0},
        {"<A>x5</A>", [](QvXmlMemoryStream& s) { s.ReadDouble("A"); }, wrong + "Floating point number expected.", 0},
        {"<A> -1 </A>", [](QvXmlMemoryStream& s) { s.ReadUInt("A"); }, wrong + "Unsigned Integer expected.", 0},
        {"\r\n  <A>x</A>", readInt("A"),
         "XML value on line 2 character 3 is the wrong type. Integer expected.", 4},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        Input in(cases[i].input);
        Failure f = Catch([&] { cases[i].read(in.s); });
        EXPECT_TRUE(f.raised) << "row " << i;
        EXPECT_EQ(KE_BAD_FILE_FORMAT, f.code) << "row " << i;
        EXPECT_EQ(cases[i].message, f.message) << "row " << i;
        EXPECT_EQ("ThrowFileFormatErrorWithLocationInfo", f.function) << "row " << i;
        EXPECT_EQ(cases[i].offset, in.s.GetOffset()) << "row " << i;
    }
}

// Typed values convert as the framework's number conversions do: blanks on either side, and
// text after the number ignored. Each text is read as an element and as an attribute.
TEST(XmlStream, TypedReadsConvertAsTheFrameworkDoes)
{
    enum Type { Int, UInt, Int64, UInt64, Double };
    struct Row { Type type; const char* text; double value; } rows[] = {
        {Int, " 5", 5},
        {Int, "5 ", 5},
        {Int, "\r\n\t-5\r\n", -5},
        {Int, "12abc", 12},
        {UInt, "7 ", 7},
        {UInt, "4294967295x", 4294967295.0},
        {Int64, "1x", 1},
        {Int64, " -9 ", -9},
        {UInt64, "12 items", 12},
        {Double, "1.5.", 1.5},
        {Double, "2.5 ", 2.5},
        {Double, " 2.5e1kg", 25},
        {Double, " 1.797693134862316e+308 ", DBL_MAX},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        const Row& r = rows[i];
        Input element(std::string("<A>") + r.text + "</A>");
        Input attribute(std::string("<E a='") + r.text + "'/>");
        QvXmlAttributeList list;
        attribute.s.ReadStartTag("E", list);
        double fromElement = 0, fromAttribute = 0;
        Failure f = Catch([&] {
            switch (r.type) {
            case Int: fromElement = element.s.ReadInt("A"); fromAttribute = list.ReadInt("a"); break;
            case UInt: fromElement = element.s.ReadUInt("A"); fromAttribute = list.ReadUInt("a"); break;
            case Int64: fromElement = (double)element.s.ReadInt64("A"); fromAttribute = (double)list.ReadInt64("a"); break;
            case UInt64: fromElement = (double)element.s.ReadUInt64("A"); fromAttribute = (double)list.ReadUInt64("a"); break;
            case Double: fromElement = element.s.ReadDouble("A"); fromAttribute = list.ReadDouble("a"); break;
            }
        });
        EXPECT_FALSE(f.raised) << "row " << i << ": " << f.message;
        EXPECT_EQ(r.value, fromElement) << "row " << i;
        EXPECT_EQ(r.value, fromAttribute) << "row " << i;
    }
}

class XmlCodePage : public kefwktest::CodePageTest {};

// Element and attribute texts come back exactly, under both code pages: trail bytes '\\' and
// '|', and a lead byte at the very end of the value, which must not be lost.
TEST_P(XmlCodePage, TextsComeBackByteForByte)
{
    const char* texts[] = {"x\x95\x5c", "\x83\x7c|", "\x82", "ab\x82", "\x95\x5c\\\x83", "a&amp;\x82"};
    const char* expected[] = {"x\x95\x5c", "\x83\x7c|", "\x82", "ab\x82", "\x95\x5c\\\x83", "a&\x82"};
    for (size_t i = 0; i < sizeof texts / sizeof texts[0]; ++i) {
        Input element(std::string("<A>") + texts[i] + "</A>");
        DynamicString fromElement("junk");
        element.s.ReadString("A", fromElement);
        EXPECT_EQ(kefwktest::Show(expected[i]), kefwktest::Show(fromElement.GetString())) << "row " << i;

        Input attribute(std::string("<E a='") + texts[i] + "'/>");
        QvXmlAttributeList list;
        attribute.s.ReadStartTag("E", list);
        DynamicString fromAttribute("junk");
        list.ReadString("a", fromAttribute);
        EXPECT_EQ(kefwktest::Show(expected[i]), kefwktest::Show(fromAttribute.GetString())) << "row " << i;

    }
    // Written and read back.
    QvXmlMemoryStream out;
    out.WriteString("T", DynamicString("\x95\x5c<\x83\x7c>\x82"), true, true);
    out.SetOffset(0);
    DynamicString back;
    out.ReadString("T", back);
    EXPECT_EQ(kefwktest::Show("\x95\x5c<\x83\x7c>\x82"), kefwktest::Show(back.GetString()));
}

INSTANTIATE_TEST_SUITE_P(, XmlCodePage, ::testing::Values(0, 932), kefwktest::CodePageName);

TEST(XmlStream, AttributeListReads)
{
    Input in("<E i='-7' u='4294967295' d='2.5' b='False'\n"
             "   l='-9223372036854775808' m='18446744073709551615' s='a&lt;b' bad='x' left='1'>");
    QvXmlAttributeList list;
    in.s.ReadStartTag("E", list);
    EXPECT_EQ(-7, list.ReadInt("i"));
    EXPECT_EQ(UINT_MAX, list.ReadUInt("u"));
    EXPECT_EQ(2.5, list.ReadDouble("d"));
    EXPECT_FALSE(list.ReadBool("b"));
    EXPECT_EQ(INT64_MIN, list.ReadInt64("l"));
    EXPECT_EQ(UINT64_MAX, list.ReadUInt64("m"));
    DynamicString s;
    list.ReadString("s", s);
    EXPECT_STREQ("a<b", s.GetString());

    struct Case { std::function<void()> read; std::string message; };
    const Case cases[] = {
        // Taken once already: missing now, placed at the element's "<".
        {[&] { list.ReadInt("i"); }, "Missing XML attribute 'i' on line 1 character 1"},
        {[&] { list.ReadInt("bad"); }, "XML value on line 2 character 65 is the wrong type. Integer expected."},
        {[&] { list.ThrowIfAttributesLeft(); }, "Unexpected XML attribute 'left' on line 2 character 73"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        Failure f = Catch(cases[i].read);
        EXPECT_EQ(KE_BAD_FILE_FORMAT, f.code) << "row " << i;
        EXPECT_EQ(cases[i].message, f.message) << "row " << i;
    }
    list.ReadInt("left");
    list.ThrowIfAttributesLeft();
}

TEST(XmlStream, AttributeListIsNotPositionedOrWritten)
{
    QvXmlAttributeList list;
    QvMemoryStream other;
    struct Case { const char* function; std::function<void()> call; };
    const Case cases[] = {
        {"QvXmlAttributeList::GetOffset", [&] { list.GetOffset(); }},
        {"QvXmlAttributeList::GetLargeOffset", [&] { list.GetLargeOffset(); }},
        {"QvXmlAttributeList::SetOffset", [&] { list.SetOffset(0); }},
        {"QvXmlAttributeList::TruncateAtCurrentOffset", [&] { list.TruncateAtCurrentOffset(); }},
        {"QvXmlAttributeList::WriteBytes", [&] { list.WriteBytes("x", 1); }},
        {"QvXmlAttributeList::ReadBytes", [&] { char c; list.ReadBytes(&c, 1, 0); }},
        {"QvXmlAttributeList::WriteString", [&] { list.WriteString("a", DynamicString("x"), true, false); }},
        {"QvXmlAttributeList::WriteStream", [&] { list.WriteStream(other, 0, 0); }},
        {"QvXmlAttributeList::GetSize", [&] { list.GetSize(); }},
        {"QvXmlAttributeList::GetLargeSize", [&] { list.GetLargeSize(); }},
        // Typed writes fall through to the byte write.
        {"QvXmlAttributeList::WriteBytes", [&] { list.WriteInt("a", 1); }},
        {"QvXmlAttributeList::WriteBytes", [&] { list.WriteDouble("a", 1); }},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        Failure f = Catch(cases[i].call);
        EXPECT_EQ(KE_OPERATION_FAILED, f.code) << "row " << i;
        EXPECT_EQ(cases[i].function, f.function) << "row " << i;
    }
}

TEST(XmlStream, PositioningRecountsLines)
{
    QvXmlMemoryStream s;
    s.WriteInt("A", 1);
    s.WriteInt("B", 2);
    s.WriteString("C", DynamicString("x"), false, false);
    s.SetOffset(0);
    EXPECT_EQ(1, s.ReadInt("A"));
    EXPECT_EQ(2, s.ReadInt("B"));
    EXPECT_EQ(2u, s.GetLocation().line);  // the end tag's line end is left for the next read
    Failure first = Catch([&] { s.ReadInt("C"); });
    EXPECT_EQ("XML value on line 3 character 1 is the wrong type. Integer expected.", first.message);
    s.SetOffset(0);
    EXPECT_EQ(1u, s.GetLocation().line);
    s.SetOffset(10);  // just past the first line feed
    EXPECT_EQ(2u, s.GetLocation().line);
    EXPECT_EQ(2, s.ReadInt("B"));
}

// Written inside a root element, the output is a well-formed XML document; the test script checks
// the file with an independent parser when SARNIK_XML_OUT names it.
TEST(XmlStream, WellFormedDocument)
{
    QvXmlMemoryStream s;
    s.WriteBytes("<Root", 5);
    s.SetAttributeMode(true);
    s.WriteString("text", DynamicString("it's <a> & \"b\""), true, false);
    s.WriteInt("n", -1);
    s.WriteDouble("d", 1e-300);
    s.SetAttributeMode(false);
    s.WriteBytes(">\r\n", 3);
    s.SetIndentationDepth(1);
    s.WriteString("Text", DynamicString("a<b>&c'd\"e\nline two"), true, true);
    s.WriteString("Empty", DynamicString(""), true, true);
    s.WriteInt("Int", INT_MIN);
    s.WriteUInt("UInt", UINT_MAX);
    s.WriteDouble("Double", -DBL_MAX);
    s.WriteBool("Bool", true);
    s.WriteInt64("Int64", INT64_MIN);
    s.WriteUInt64("UInt64", UINT64_MAX);
    s.WriteBytes("</Root>\r\n", 9);

    // The stream reads its own document back.
    s.SetOffset(0);
    QvXmlAttributeList root;
    s.ReadStartTag("Root", root);
    DynamicString text;
    root.ReadString("text", text);
    EXPECT_STREQ("it's <a> & \"b\"", text.GetString());
    EXPECT_EQ(-1, root.ReadInt("n"));
    EXPECT_EQ(1e-300, root.ReadDouble("d"));
    root.ThrowIfAttributesLeft();
    s.ReadString("Text", text);
    EXPECT_STREQ("a<b>&c'd\"e\nline two", text.GetString());
    s.ReadString("Empty", text);
    EXPECT_STREQ("", text.GetString());
    EXPECT_EQ(INT_MIN, s.ReadInt("Int"));
    EXPECT_EQ(UINT_MAX, s.ReadUInt("UInt"));
    EXPECT_EQ(-DBL_MAX, s.ReadDouble("Double"));
    EXPECT_TRUE(s.ReadBool("Bool"));
    EXPECT_EQ(INT64_MIN, s.ReadInt64("Int64"));
    EXPECT_EQ(UINT64_MAX, s.ReadUInt64("UInt64"));
    s.ReadEndTag("Root");

    if (const char* out = getenv("SARNIK_XML_OUT"))
        test::WriteFile(out, Text(s));
}

// Truncated and randomly damaged documents: every read ends, by value or by KEException.
TEST(XmlStream, DamagedInputFailsCleanly)
{
    QvXmlMemoryStream good;
    good.WriteBytes("<!-- c\n-->", 10);
    good.WriteBytes("<E a='1' b=\"2\">", 15);
    good.WriteInt("I", 5);
    good.WriteString("S", DynamicString("x<y\nz"), true, true);
    good.WriteString("Z", DynamicString(""), true, true);
    good.WriteDouble("D", 0.5);
    good.WriteBytes("</E>", 4);
    const std::string doc = Text(good);

    auto readAll = [](QvXmlMemoryStream& s) {
        QvXmlAttributeList list;
        s.ReadStartTag("E", list);
        list.ReadInt("a");
        list.ReadInt("b");
        list.ThrowIfAttributesLeft();
        s.ReadInt("I");
        DynamicString t;
        s.ReadString("S", t);
        s.ReadString("Z", t);
        s.ReadDouble("D");
        s.ReadEndTag("E");
    };
    std::vector<std::string> inputs;
    for (size_t n = 0; n <= doc.size(); ++n)
        inputs.push_back(doc.substr(0, n));
    std::mt19937 random(7);
    const char letters[] = "<>/='\"!- \n\r\tEIabSZD1.&;x\0\xff";
    const std::string alphabet(letters, sizeof letters - 1);  // the NUL included
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    for (int row = 0; row < 1500; ++row) {
        std::string damaged = doc;
        int edits = 1 + row % 4;
        for (int e = 0; e < edits; ++e) {
            size_t where = std::uniform_int_distribution<size_t>(0, damaged.size() - 1)(random);
            switch (row % 3) {
            case 0: damaged[where] = alphabet[pick(random)]; break;
            case 1: damaged.insert(where, 1, alphabet[pick(random)]); break;
            default: damaged.erase(where, 1); break;
            }
        }
        inputs.push_back(damaged);
    }
    for (int row = 0; row < 500; ++row) {
        std::string noise;
        for (int i = 0; i < 1 + row % 40; ++i)
            noise += alphabet[pick(random)];
        inputs.push_back(noise);
    }
    size_t truncationsFailed = 0;
    for (size_t i = 0; i < inputs.size(); ++i) {
        Input in(inputs[i]);
        try {
            readAll(in.s);
        } catch (const KEException& e) {
            if (i < doc.size())
                ++truncationsFailed;
            EXPECT_EQ(KE_BAD_FILE_FORMAT, e.GetErrorCode()) << "row " << i << " " << e.GetDescription();
            EXPECT_LE(in.s.GetOffset(), in.s.GetSize()) << "row " << i;
        }
    }
    // The intact document reads; every truncation short of its end does not.
    Input whole(doc);
    readAll(whole.s);
    EXPECT_EQ(doc.size(), truncationsFailed);
}

} // namespace
