// Numbers written as text through one printf-like format language.
//
// Classes in this file:
//   NumberValue          a number tagged with its type, as the converter accepts it
//   FormatSpecification  a copy of a format text with the first conversion in it parsed
// Free functions: ClassifySpecialValue, FormatSpecialNumber.
//
// The format language is the run-time library's with four extensions: a "$" flag that strips
// trailing fraction zeros of floating-point output (the field keeps its width), the conversions
// "b" and "B" for binary, octal output marked "0c", and "%#x" giving "0x0" for zero. Width and
// precision above 100 are taken as 100. The converter itself is
// String::QuelvaranConvertFromFormattedNumber (kestring.h).
#pragma once

#include <stdint.h>

#include "kestring.h"

// The type tags are COM's VARIANT tags, so a VARIANT's number maps across unchanged.
class NumberValue {
public:
    enum Type : unsigned short {
        VT_R8 = 5,    // double
        VT_I8 = 20,   // signed 64-bit integer
        VT_UI8 = 21,  // unsigned 64-bit integer
    };

    explicit NumberValue(double value) : m_type(VT_R8) { m_value.r8 = value; }
    explicit NumberValue(int64_t value) : m_type(VT_I8) { m_value.i8 = value; }
    explicit NumberValue(uint64_t value) : m_type(VT_UI8) { m_value.ui8 = value; }
    // Any tag at all, with the value's bits: the converter rejects types it does not know.
    static NumberValue WithTag(unsigned short type, uint64_t bits)
    {
        NumberValue v((uint64_t)bits);
        v.m_type = type;
        return v;
    }

    unsigned short GetType() const { return m_type; }
    bool IsInteger() const { return m_type == VT_I8 || m_type == VT_UI8; }
    double GetDouble() const { return m_value.r8; }
    int64_t GetInt64() const { return m_value.i8; }
    uint64_t GetUInt64() const { return m_value.ui8; }

private:
    unsigned short m_type;
    union {
        double r8;
        int64_t i8;
        uint64_t ui8;
    } m_value;
};

class FormatSpecification : public DynamicString {
public:
    enum Class {
        NO_CONVERSION = 0,
        SIGNED = 1,           // c d i
        UNSIGNED = 2,         // u
        HEXADECIMAL = 3,      // x X
        BINARY = 4,           // b B
        OCTAL = 5,            // o O
        FLOATING = 6,         // e E f g G
        FLOATING_TRIMMED = 7, // e E f g G with the "$" flag
        TEXT = 8,             // s
    };
    // Masks of the allowed conversions for Parse.
    enum { ALLOW_FLOATING = 1, ALLOW_INTEGER = 2, ALLOW_TEXT = 4 };

    FormatSpecification() { Reset(); }
    FormatSpecification(const char* format, int allowed) { Parse(format, allowed); }

    // Copies format and finds its first acceptable conversion. Positions and lengths count
    // characters; -1 means absent, and a run's length means something only when it starts.
    void Parse(const char* format, int allowed);

    // The width digits as a number (saturated at INT_MAX); -1 without a width.
    int GetWidth() const;
    // The digits after the "."; 0 for a lone "."; -1 without a precision.
    int GetPrecision() const;
    // The text for the run-time library's formatter: "I64" before the conversion character when
    // asked for and a conversion was found, the "$" flags removed, and every "%" after the
    // conversion that is not part of "%%" doubled, so that the text never asks for a second value.
    DynamicString GetPrintfFormat(bool sixtyFourBit) const;
    // The format with the conversion character replaced and the "$" flags left out (the
    // precision and the "0" flag too when asked), the suffix as GetPrintfFormat leaves it; the
    // format unchanged without a conversion.
    DynamicString GetFormatWith(unsigned conversionCharacter, bool keepPrecision, bool dropZeroFlag = false) const;
    // Characters the formatter writes for the text after the conversion ("%%" is one).
    int GetSuffixOutputLength() const;
    // Characters the formatter writes for the text before the conversion ("%%" is one): where
    // the number's field starts in the output.
    int GetPrefixOutputLength() const;
    bool HasFlag(char flag) const;

    int m_start, m_length;
    int m_flagsStart, m_flagsLength;
    int m_widthStart, m_widthLength;
    int m_precisionStart, m_precisionLength;
    int m_dollar;
    int m_conversion;
    int m_error;
    int m_class;

private:
    void Reset();
    // The characters [first, first + count) of the format.
    void AppendRange(DynamicString& out, int first, int count) const;
    void AppendEscapedSuffix(DynamicString& out) const;
};

// 0 finite, 1 not-a-number, 2 the indefinite value, 4 plus infinity, 8 minus infinity.
int ClassifySpecialValue(double x);

// The word for a special value ("NAN", "IND", "INF", "-INF") into out: printed with the format
// as a text when spec found a conversion (so width and "-" still apply), else after the format.
void FormatSpecialNumber(int specialClass, String& out, const char* format, const FormatSpecification& spec);
