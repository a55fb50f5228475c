#include "FormattedNumber.h"

#include <limits.h>
#include <mbctype.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "DecimalPointLocalizer.h"
#include "ErrorTables.h"
#include "KEException.h"

namespace {

// Width in bytes of the character at p (0 at the end, and for a lead byte without its trail).
int CharWidthAt(const char* p)
{
    if (!p[0])
        return 0;
    unsigned char c = (unsigned char)p[0];
    if (c >= 0x80 && _ismbblead(c))
        return p[1] ? 2 : 0;
    return 1;
}

unsigned CharCodeAt(const char* p, int width)
{
    return width == 2 ? ((unsigned char)p[0] << 8) | (unsigned char)p[1] : (unsigned char)p[0];
}

bool IsFlag(unsigned c)
{
    return c == ' ' || c == '#' || c == '$' || c == '+' || c == '-' || c == '0';
}

// Only ASCII digits: a width or precision is handed to the run-time library's formatter, which
// reads nothing else.
bool IsDigit(unsigned c)
{
    return c >= '0' && c <= '9';
}

int ClassOf(unsigned c)
{
    switch (c) {
    case 'c': case 'd': case 'i': return FormatSpecification::SIGNED;
    case 'u': return FormatSpecification::UNSIGNED;
    case 'x': case 'X': return FormatSpecification::HEXADECIMAL;
    case 'b': case 'B': return FormatSpecification::BINARY;
    case 'o': case 'O': return FormatSpecification::OCTAL;
    case 'e': case 'E': case 'f': case 'g': case 'G': return FormatSpecification::FLOATING;
    case 's': return FormatSpecification::TEXT;
    default: return FormatSpecification::NO_CONVERSION;
    }
}

int GroupOf(int formatClass)
{
    if (formatClass == FormatSpecification::FLOATING || formatClass == FormatSpecification::FLOATING_TRIMMED)
        return FormatSpecification::ALLOW_FLOATING;
    if (formatClass == FormatSpecification::TEXT)
        return FormatSpecification::ALLOW_TEXT;
    return formatClass == FormatSpecification::NO_CONVERSION ? 0 : FormatSpecification::ALLOW_INTEGER;
}

// The run of digits at [first, first + count) of text as a number, saturated at INT_MAX.
int DigitsValue(const String& text, int first, int count)
{
    long long value = 0;
    for (int i = 0; i < count; ++i) {
        value = value * 10 + (text.GetAt(first + i) - '0');
        if (value > INT_MAX)
            return INT_MAX;
    }
    return (int)value;
}

// The truncating conversions of the processor, defined for every finite value: out of range, a
// signed conversion gives the "integer indefinite" INT_MIN, and an unsigned one keeps the low 32
// bits of the 64-bit truncation (0 beyond the 64-bit range).
int TruncateToInt32(double d)
{
    if (d > -2147483649.0 && d < 2147483648.0)
        return (int)d;
    return INT_MIN;
}

unsigned TruncateToUInt32(double d)
{
    if (d > -9223372036854775808.0 && d < 9223372036854775808.0)
        return (unsigned)(long long)d;
    return 0;
}

int ByteLength(const char* text)
{
    return text ? (int)strlen(text) : 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// FormatSpecification

void FormatSpecification::Reset()
{
    m_start = m_length = -1;
    m_flagsStart = m_flagsLength = -1;
    m_widthStart = m_widthLength = -1;
    m_precisionStart = m_precisionLength = -1;
    m_dollar = m_conversion = m_error = -1;
    m_class = NO_CONVERSION;
}

void FormatSpecification::Parse(const char* format, int allowed)
{
    Assign(format ? format : "");
    Reset();
    enum { TEXT, FLAGS, WIDTH, PRECISION, CONVERSION } state = TEXT;
    bool seenPoint = false;
    const char* p = GetString();
    int i = 0;
    for (int w; (w = CharWidthAt(p)) != 0;) {
        unsigned c = CharCodeAt(p, w);
        bool consumed = true;
        switch (state) {
        case TEXT:
            if (w == 2 && p[1] == '%') {
                // '%' is never a trail byte, so this is no character of the page; the runtime's
                // formatter, which reads byte by byte, would open a conversion at it and take an
                // argument nobody passes. Such a format has no conversion for us either.
                Reset();
                m_error = i;
                return;
            }
            if (c == '%') {
                // A "%" opens a new conversion: nothing of an earlier, unfinished one counts.
                Reset();
                seenPoint = false;
                m_start = i;
                state = FLAGS;
            }
            break;
        case FLAGS:
            if (IsFlag(c)) {
                if (m_flagsStart < 0)
                    m_flagsStart = i;
                if (c == '$')
                    m_dollar = i;
            } else {
                if (m_flagsStart >= 0)
                    m_flagsLength = i - m_flagsStart;
                state = WIDTH;
                consumed = false;
            }
            break;
        case WIDTH:
            if (IsDigit(c)) {
                if (m_widthStart < 0)
                    m_widthStart = i;
            } else {
                if (m_widthStart >= 0)
                    m_widthLength = i - m_widthStart;
                state = PRECISION;
                consumed = false;
            }
            break;
        case PRECISION:
            if (!seenPoint) {
                if (c == '.') {
                    m_precisionStart = i;
                    seenPoint = true;
                } else {
                    state = CONVERSION;
                    consumed = false;
                }
            } else if (!IsDigit(c)) {
                m_precisionLength = i - m_precisionStart;
                state = CONVERSION;
                consumed = false;
            }
            break;
        case CONVERSION: {
            int formatClass = ClassOf(c);
            if (!(GroupOf(formatClass) & allowed)) {
                m_error = i;
                return;
            }
            if (formatClass == FLOATING && m_dollar >= 0)
                formatClass = FLOATING_TRIMMED;
            m_class = formatClass;
            m_conversion = i;
            m_length = i - m_start + 1;
            return;
        }
        }
        if (consumed) {
            p += w;
            ++i;
            if (*p == '%')
                state = TEXT;
        }
    }
    // The text ended inside a conversion: close the open run.
    if (state == FLAGS && m_flagsStart >= 0)
        m_flagsLength = i - m_flagsStart;
    else if (state == WIDTH && m_widthStart >= 0)
        m_widthLength = i - m_widthStart;
    else if (state == PRECISION && seenPoint)
        m_precisionLength = i - m_precisionStart;
    m_error = i > 0 ? i - 1 : 0;
}

int FormatSpecification::GetWidth() const
{
    return m_widthStart < 0 ? -1 : DigitsValue(*this, m_widthStart, m_widthLength);
}

int FormatSpecification::GetPrecision() const
{
    return m_precisionStart < 0 ? -1 : DigitsValue(*this, m_precisionStart + 1, m_precisionLength - 1);
}

bool FormatSpecification::HasFlag(char flag) const
{
    for (int i = 0; m_flagsStart >= 0 && i < m_flagsLength; ++i) {
        if (GetAt(m_flagsStart + i) == (unsigned char)flag)
            return true;
    }
    return false;
}

void FormatSpecification::AppendRange(DynamicString& out, int first, int count) const
{
    int from = ByteOffsetFromCharIndex(first);
    int to = ByteOffsetFromCharIndex(first + count);
    out.Append(std::string(GetString() + from, to - from).c_str());
}

void FormatSpecification::AppendEscapedSuffix(DynamicString& out) const
{
    std::string suffix;
    for (const char* p = GetString() + ByteOffsetFromCharIndex(m_conversion + 1); *p; ++p) {
        if (*p == '%') {
            suffix += "%%";
            if (p[1] == '%')
                ++p;
        } else {
            suffix += *p;
        }
    }
    out.Append(suffix.c_str());
}

int FormatSpecification::GetSuffixOutputLength() const
{
    if (m_conversion < 0)
        return 0;
    int count = 0;
    const char* p = GetString() + ByteOffsetFromCharIndex(m_conversion + 1);
    for (int w; (w = CharWidthAt(p)) != 0; p += w, ++count) {
        if (p[0] == '%' && p[1] == '%')
            ++p;
    }
    return count;
}

int FormatSpecification::GetPrefixOutputLength() const
{
    if (m_start < 0)
        return 0;
    int count = 0;
    const char* p = GetString();
    const char* end = p + ByteOffsetFromCharIndex(m_start);
    for (int w; p < end && (w = CharWidthAt(p)) != 0; p += w, ++count) {
        if (p[0] == '%' && p[1] == '%' && p + 1 < end)
            ++p;
    }
    return count;
}

DynamicString FormatSpecification::GetFormatWith(unsigned conversionCharacter, bool keepPrecision,
                                                 bool dropZeroFlag) const
{
    DynamicString out;
    if (m_conversion < 0) {
        out.Assign(*this);
        return out;
    }
    out.Reserve(GetSize() + 8);
    AppendRange(out, 0, m_start + 1);
    for (int i = 0; m_flagsStart >= 0 && i < m_flagsLength; ++i) {
        unsigned flag = GetAt(m_flagsStart + i);
        if (flag != '$' && !(dropZeroFlag && flag == '0'))
            out.AppendChar(flag);
    }
    if (m_widthStart >= 0)
        AppendRange(out, m_widthStart, m_widthLength);
    if (keepPrecision && m_precisionStart >= 0)
        AppendRange(out, m_precisionStart, m_precisionLength);
    out.AppendChar(conversionCharacter);
    AppendEscapedSuffix(out);
    return out;
}

DynamicString FormatSpecification::GetPrintfFormat(bool sixtyFourBit) const
{
    if (m_conversion < 0)
        return GetFormatWith(0, true);
    DynamicString out = GetFormatWith(GetAt(m_conversion), true);
    if (sixtyFourBit) {
        // Inserted before the conversion character, which is the last one before the suffix.
        int conversionIndex = out.GetLength() - 1;
        DynamicString suffix;
        suffix.Reserve(GetSize());
        AppendEscapedSuffix(suffix);
        conversionIndex -= suffix.GetLength();
        out.Insert("I64", conversionIndex);
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Special values

int ClassifySpecialValue(double x)
{
    unsigned long long bits;
    memcpy(&bits, &x, sizeof bits);
    if (((bits >> 52) & 0x7FF) != 0x7FF)
        return 0;
    if (bits & 0xFFFFFFFFFFFFULL)
        return 1;
    unsigned top = (unsigned)(bits >> 48) & 0xF;
    bool negative = (bits >> 63) != 0;
    if (top == 0)
        return negative ? 8 : 4;
    if (top == 8 && negative)
        return 2;
    return 1;
}

void FormatSpecialNumber(int specialClass, String& out, const char* format, const FormatSpecification& spec)
{
    const char* word;
    switch (specialClass) {
    case 1: word = "NAN"; break;
    case 2: word = "IND"; break;
    case 4: word = "INF"; break;
    case 8: word = "-INF"; break;
    default:
        ThrowKEException(nullptr, "FormatSpecialNumber", KE_INVALID_OR_OUT_OF_RANGE, 0, KE_SOURCE_FILE, __LINE__,
                         __TIME__);
    }
    if (spec.m_conversion < 0) {
        out.Assign(format ? format : "");
        out.Append(word);
        return;
    }
    // The formatter pads a text with zeros under the "0" flag; "00000NAN" would read back as a
    // zero, so the word is padded with blanks only.
    DynamicString printfFormat = spec.GetFormatWith('s', false, true);
    out.EnsureBufferSize(printfFormat.GetSize() + 512, false, false);
    Printf(out, printfFormat.GetString(), word);
}

// ---------------------------------------------------------------------------------------------
// The converter

namespace {

const int kFormatLimit = 100;

// Width and precision beyond the limit are taken as the limit, which keeps every output within
// the room reserved for it.
void LimitWidthAndPrecision(FormatSpecification& spec, int allowed)
{
    if (spec.m_conversion < 0)
        return;
    if (spec.GetPrecision() > kFormatLimit) {
        DynamicString rewritten(spec);
        rewritten.Replace(spec.m_precisionStart, spec.m_precisionLength, ".100");
        spec.Parse(rewritten, allowed);
    }
    if (spec.GetWidth() > kFormatLimit) {
        DynamicString rewritten(spec);
        rewritten.Replace(spec.m_widthStart, spec.m_widthLength, "100");
        spec.Parse(rewritten, allowed);
    }
}

// Index one past the number's own output in result: what follows is the format's suffix.
int NumberOutputEnd(const String& result, const FormatSpecification& spec)
{
    return result.GetLength() - spec.GetSuffixOutputLength();
}

void TrimFractionZeros(String& result, const FormatSpecification& spec)
{
    int first = spec.GetPrefixOutputLength();
    int last = NumberOutputEnd(result, spec) - 1;
    if (first < 0 || last < first)
        return;
    int found;
    if ((result.FindChar('e', first, found) && found <= last) || (result.FindChar('E', first, found) && found <= last))
        return;
    int point;
    if (!result.ReverseFindChar('.', point, last) || point < first)
        return;
    // Characters inside the minimum field width become blanks, so that the field keeps its width.
    int fieldEnd = first + spec.GetWidth() - 1;
    bool keepPoint = spec.HasFlag('#');
    for (int i = last; i >= point; --i) {
        unsigned c = result.GetAt(i);
        if (i > point && c != '0' && c != ' ')
            break;
        if (i == point && keepPoint)
            break;
        if (i > fieldEnd)
            result.Delete(i, 1);
        else
            result.SetAt(i, ' ');
    }
}

// The first "0" or "1" at or after first in result, -1 when there is none.
int FindFirstBinaryDigit(const String& result, int first)
{
    int zero = -1, one = -1;
    bool hasZero = result.FindChar('0', first, zero);
    bool hasOne = result.FindChar('1', first, one);
    if (hasZero && hasOne)
        return zero < one ? zero : one;
    return hasZero ? zero : hasOne ? one : -1;
}

void FormatBinary(String& result, const FormatSpecification& format, const NumberValue& number)
{
    FormatSpecification spec(format.GetFormatWith(format.GetAt(format.m_conversion), true), FormatSpecification::ALLOW_INTEGER);
    unsigned conversionCharacter = spec.GetAt(spec.m_conversion);

    // 64 digits and a terminator; a negative integer shows its 64-bit two's complement.
    char digits[72];
    if (number.IsInteger())
        _ui64toa(number.GetUInt64(), digits, 2);
    else
        _ultoa(TruncateToUInt32(number.GetDouble()), digits, 2);

    std::string text(digits);
    int precision = spec.GetPrecision();
    if (precision > (int)text.size())
        text.insert(0, precision - text.size(), '0');
    DynamicString printfFormat = spec.GetFormatWith('s', false);
    Printf(result, printfFormat.GetString(), text.c_str());

    if (!spec.HasFlag('#'))
        return;
    int start = spec.GetPrefixOutputLength();
    int digit = FindFirstBinaryDigit(result, start);
    if (digit < 0)
        return;
    // The prefix takes the place of padding blanks of the field where there are any.
    if (digit - 2 >= start && result.GetAt(digit - 1) == ' ' && result.GetAt(digit - 2) == ' ') {
        result.SetAt(digit - 2, '0');
        result.SetAt(digit - 1, conversionCharacter);
    } else if (digit - 1 >= start && result.GetAt(digit - 1) == ' ') {
        result.SetAt(digit - 1, '0');
        result.InsertChar(conversionCharacter, digit);
    } else {
        result.InsertChar(conversionCharacter, digit);
        result.InsertChar('0', digit);
    }
}

void LocalizeDecimalPoint(String& result, const FormatSpecification& spec, unsigned point)
{
    int start = spec.GetPrefixOutputLength();
    if (point == '.' || spec.m_conversion < 0 || start >= result.GetLength())
        return;
    int found;
    if (result.FindChar('.', start, found) && found < NumberOutputEnd(result, spec))
        result.SetAt(found, point);
}

} // namespace

void String::QuelvaranConvertFromFormattedNumber(const NumberValue& number, int decimalPointKind, const char* format)
{
    unsigned short type = number.GetType();
    if (type != NumberValue::VT_R8 && type != NumberValue::VT_I8 && type != NumberValue::VT_UI8)
        ThrowKEException(nullptr, "String::QuelvaranConvertFromFormattedNumber", KE_UNEXPECTED_TYPE, 0,
                         KE_SOURCE_FILE, __LINE__, __TIME__);
    if (!format)
        format = "";

    unsigned point = GetLocalizedDecimalPoint(decimalPointKind);
    DynamicString result;
    result.Reserve(ByteLength(format) + 512);

    const bool integer = number.IsInteger();
    const double d = number.GetDouble();
    int special = integer ? 0 : ClassifySpecialValue(d);

    const int allowed = FormatSpecification::ALLOW_FLOATING | FormatSpecification::ALLOW_INTEGER;
    FormatSpecification spec(format, allowed);
    LimitWidthAndPrecision(spec, allowed);

    if (special) {
        FormatSpecialNumber(special, result, spec, spec);
    } else {
        DynamicString printfFormat = spec.GetPrintfFormat(integer);
        const char* f = printfFormat.GetString();
        switch (spec.m_class) {
        case FormatSpecification::SIGNED:
            if (integer)
                Printf(result, f, number.GetInt64());
            else
                Printf(result, f, TruncateToInt32(d));
            break;
        case FormatSpecification::UNSIGNED:
            if (integer)
                Printf(result, f, number.GetUInt64());
            else
                Printf(result, f, TruncateToUInt32(d));
            break;
        case FormatSpecification::HEXADECIMAL: {
            bool zero = integer ? number.GetUInt64() == 0 : TruncateToUInt32(d) == 0;
            bool markZero = zero && spec.HasFlag('#');
            // The formatter writes no "0x" for a zero: print a one for the prefix, then make it
            // the zero it stands for.
            if (integer)
                Printf(result, f, markZero ? 1ULL : number.GetUInt64());
            else
                Printf(result, f, markZero ? 1U : TruncateToUInt32(d));
            int one;
            if (markZero && result.FindChar('1', spec.GetPrefixOutputLength(), one))
                result.SetAt(one, '0');
            break;
        }
        case FormatSpecification::BINARY:
            FormatBinary(result, spec, number);
            break;
        case FormatSpecification::OCTAL: {
            if (integer)
                Printf(result, f, number.GetUInt64());
            else
                Printf(result, f, TruncateToUInt32(d));
            // At the number's place in the output, so that a text before the number keeps its
            // own start; a "%%" before it is one character there.
            int start = spec.GetPrefixOutputLength();
            result.Insert("0c", start < result.GetLength() ? start : result.GetLength());
            break;
        }
        case FormatSpecification::FLOATING:
        case FormatSpecification::FLOATING_TRIMMED:
            if (integer) {
                Append(number, decimalPointKind);
                return;
            }
            Printf(result, f, d);
            if (spec.m_class == FormatSpecification::FLOATING_TRIMMED)
                TrimFractionZeros(result, spec);
            break;
        default:
            Append(format);
            Append(number, decimalPointKind);
            return;
        }
    }
    LocalizeDecimalPoint(result, spec, point);
    Append(result);
}

void String::Append(const NumberValue& number, int decimalPointKind)
{
    switch (number.GetType()) {
    case NumberValue::VT_R8:
        QuelvaranConvertFromFormattedNumber(number, decimalPointKind, "%.13g");
        break;
    case NumberValue::VT_I8:
        QuelvaranConvertFromFormattedNumber(number, 1, "%d");
        break;
    case NumberValue::VT_UI8:
        QuelvaranConvertFromFormattedNumber(number, 1, "%u");
        break;
    default:
        ThrowKEException(nullptr, "String::Append", KE_UNEXPECTED_TYPE, 0, KE_SOURCE_FILE, __LINE__, __TIME__);
    }
}

void String::Append(double value, int decimalPointKind, const char* format)
{
    QuelvaranConvertFromFormattedNumber(NumberValue(value), decimalPointKind, format);
}

void String::Append(int64_t value, const char* format)
{
    QuelvaranConvertFromFormattedNumber(NumberValue(value), 1, format);
}

void String::Append(uint64_t value, const char* format)
{
    QuelvaranConvertFromFormattedNumber(NumberValue(value), 1, format);
}
