// msvcrt's behaviour on the host: the multibyte code page with the lead-byte ranges Windows
// uses, and printf with msvcrt's rules, built conversion by conversion on the host's printf.
#include "hostcrt.h"

#include <ctype.h>
#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <malloc.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <atomic>
#include <string>

namespace {

std::atomic<int> g_mbcp{0};
std::atomic<unsigned> g_acp{1252};

int EffectivePage()
{
    int page = g_mbcp.load();
    return page == 0 ? (int)g_acp.load() : page;
}

// Lead bytes of code page 932 (Shift JIS as Windows defines it).
bool Is932Lead(unsigned c)
{
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

bool Is932Trail(unsigned c)
{
    return c >= 0x40 && c <= 0xFC && c != 0x7F;
}

}  // namespace

extern "C" {

void HostSetAnsiCodePage(unsigned int codePage) { g_acp = codePage == 932 ? 932 : 1252; }
unsigned HostAnsiCodePage() { return g_acp.load(); }

int _getmbcp(void) { return g_mbcp.load(); }

int _setmbcp(int codePage)
{
    // _MB_CP_ANSI (-3) and _MB_CP_LOCALE (-4) mean the ANSI page, _MB_CP_SBCS (0) no lead bytes
    // beyond what the ANSI page has.
    if (codePage == -3 || codePage == -4)
        codePage = (int)g_acp.load();
    if (codePage != 0 && codePage != 1252 && codePage != 932) {
        errno = EINVAL;
        return -1;
    }
    g_mbcp = codePage;
    return 0;
}

int _ismbblead(unsigned int c)
{
    return EffectivePage() == 932 && Is932Lead(c & 0xFF) && c <= 0xFF;
}

int _ismbbtrail(unsigned int c)
{
    return EffectivePage() == 932 && Is932Trail(c & 0xFF) && c <= 0xFF;
}

int _ismbcdigit(unsigned int c)
{
    if (c < 0x100)
        return c >= '0' && c <= '9';
    // Full-width digits of 932.
    return EffectivePage() == 932 && c >= 0x824F && c <= 0x8258;
}

int _ismbcalpha(unsigned int c)
{
    if (c < 0x100) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
            return 1;
        // Half-width katakana count as letters in 932.
        return EffectivePage() == 932 && c >= 0xA6 && c <= 0xDF;
    }
    // Full-width Latin letters of 932.
    return EffectivePage() == 932 && ((c >= 0x8260 && c <= 0x8279) || (c >= 0x8281 && c <= 0x829A));
}

int _ismbcalnum(unsigned int c) { return _ismbcalpha(c) || _ismbcdigit(c); }

int _ismbcspace(unsigned int c)
{
    if (c < 0x100)
        return c == ' ' || (c >= 0x09 && c <= 0x0D);
    // The ideographic space.
    return EffectivePage() == 932 && c == 0x8140;
}

unsigned char* _mbslwr(unsigned char* text)
{
    if (!text)
        return nullptr;
    for (unsigned char* p = text; *p; ++p) {
        if (_ismbblead(*p) && p[1]) {
            ++p;
            continue;
        }
        if (*p >= 'A' && *p <= 'Z')
            *p = (unsigned char)(*p + ('a' - 'A'));
    }
    return text;
}

unsigned char* _mbsinc(const unsigned char* p)
{
    if (_ismbblead(*p) && p[1])
        return const_cast<unsigned char*>(p + 2);
    return const_cast<unsigned char*>(p + 1);
}

// By character: a trail byte equal to c is no match.
unsigned char* _mbsrchr(const unsigned char* text, unsigned int c)
{
    const unsigned char* found = nullptr;
    for (const unsigned char* p = text;; p = _mbsinc(p)) {
        unsigned code = _ismbblead(*p) && p[1] ? (unsigned)(p[0] << 8 | p[1]) : *p;
        if (code == c)
            found = p;
        if (!*p)
            break;
    }
    return const_cast<unsigned char*>(found);
}

unsigned char* _mbschr(const unsigned char* text, unsigned int c)
{
    for (const unsigned char* p = text;; p = _mbsinc(p)) {
        unsigned code = _ismbblead(*p) && p[1] ? (unsigned)(p[0] << 8 | p[1]) : *p;
        if (code == c)
            return const_cast<unsigned char*>(p);
        if (!*p)
            return nullptr;
    }
}

size_t _mbslen(const unsigned char* text)
{
    size_t n = 0;
    for (const unsigned char* p = text; *p; p = _mbsinc(p))
        ++n;
    return n;
}

size_t _msize(void* block)
{
    return malloc_usable_size(block);
}

struct HostLocale {
    int unused;
};

_locale_t _create_locale(int, const char* name)
{
    if (!name || strcmp(name, "C") != 0)
        return nullptr;
    static HostLocale c = {0};
    return &c;
}

void _free_locale(_locale_t) {}

int _stricmp(const char* a, const char* b) { return strcasecmp(a, b); }
int _strnicmp(const char* a, const char* b, size_t n) { return strncasecmp(a, b, n); }
int _strnicmp_l(const char* a, const char* b, size_t n, _locale_t) { return strncasecmp(a, b, n); }
// msvcrt's long has 32 bits: its conversions saturate (with ERANGE) at the 32-bit limits, and
// strtoul negates a "-" number in 32 bits. The host's 64-bit ones are held to that.
long _strtol_l(const char* text, char** end, int radix, _locale_t)
{
    long long value = strtoll(text, end, radix);
    if (value > INT32_MAX || value < INT32_MIN) {
        errno = ERANGE;
        return value > 0 ? INT32_MAX : INT32_MIN;
    }
    return (long)value;
}
unsigned long _strtoul_l(const char* text, char** end, int radix, _locale_t)
{
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    bool negative = *p == '-';
    unsigned long long magnitude = strtoull(negative ? p + 1 : text, end, radix);
    if (negative && end && *end == p + 1)
        *end = (char*)text;  // "-" alone converts nothing
    if (magnitude > UINT32_MAX || (errno == ERANGE && magnitude == ULLONG_MAX)) {
        errno = ERANGE;
        return UINT32_MAX;
    }
    return negative ? (unsigned long)(uint32_t)(0u - (uint32_t)magnitude) : (unsigned long)magnitude;
}
int64_t _strtoi64_l(const char* text, char** end, int radix, _locale_t) { return strtoll(text, end, radix); }
uint64_t _strtoui64_l(const char* text, char** end, int radix, _locale_t) { return strtoull(text, end, radix); }
double _strtod_l(const char* text, char** end, _locale_t) { return strtod(text, end); }

static char* UnsignedToText(uint64_t value, char* out, int radix)
{
    char digits[72];
    int n = 0;
    do {
        unsigned d = (unsigned)(value % (unsigned)radix);
        digits[n++] = (char)(d < 10 ? '0' + d : 'a' + d - 10);
        value /= (unsigned)radix;
    } while (value);
    for (int i = 0; i < n; ++i)
        out[i] = digits[n - 1 - i];
    out[n] = '\0';
    return out;
}

char* _ultoa(unsigned long value, char* out, int radix) { return UnsignedToText(value, out, radix); }
char* _ui64toa(uint64_t value, char* out, int radix) { return UnsignedToText(value, out, radix); }

char* _itoa(int value, char* out, int radix)
{
    if (radix == 10 && value < 0) {
        out[0] = '-';
        UnsignedToText(0 - (uint64_t)(int64_t)value, out + 1, radix);
        return out;
    }
    return UnsignedToText((unsigned)value, out, radix);
}

}  // extern "C"

// ---------------------------------------------------------------------------------------------
// printf as msvcrt does it

namespace {

// msvcrt writes at least three exponent digits ("1.5e+003").
void WidenExponent(std::string& piece)
{
    size_t e = piece.find_first_of("eE");
    if (e == std::string::npos || e + 2 >= piece.size() || (piece[e + 1] != '+' && piece[e + 1] != '-'))
        return;
    size_t digits = e + 2, end = digits;
    while (end < piece.size() && isdigit((unsigned char)piece[end]))
        ++end;
    if (end - digits == 2) {
        piece.insert(digits, "0");
        // A field width is kept: take a pad blank back when there is one.
        if (!piece.empty() && piece[0] == ' ')
            piece.erase(0, 1);
        else if (piece.size() > 1 && piece[piece.size() - 1] == ' ')
            piece.erase(piece.size() - 1);
    }
}

// msvcrt's texts for infinities and NaNs: "1.#INF", "1.#QNAN", "-1.#IND" and their digits.
std::string SpecialNumber(double v, const std::string& flags, int width, int precision, char conversion)
{
    const char* word = isinf(v) ? "#INF" : (signbit(v) ? "#IND" : "#QNAN");
    std::string body = std::string("1.") + word;
    int p = precision < 0 ? 6 : precision;
    if (conversion == 'e' || conversion == 'E')
        body += std::string(p > (int)strlen(word) ? p - (int)strlen(word) : 0, '0') + "e+000";
    else if (conversion == 'f' || conversion == 'F')
        body += std::string(p > (int)strlen(word) ? p - (int)strlen(word) : 0, '0');
    if (signbit(v))
        body = "-" + body;
    else if (flags.find('+') != std::string::npos)
        body = "+" + body;
    else if (flags.find(' ') != std::string::npos)
        body = " " + body;
    if ((int)body.size() < width) {
        if (flags.find('-') != std::string::npos)
            body += std::string(width - body.size(), ' ');
        else
            body = std::string(width - body.size(), ' ') + body;
    }
    return body;
}

int FormatMsvcrt(std::string& out, const char* format, va_list args)
{
    for (const char* f = format; *f;) {
        if (*f != '%') {
            out += *f++;
            continue;
        }
        const char* start = f++;
        std::string flags;
        while (*f && strchr("-+ #0", *f))
            flags += *f++;
        int width = -1, precision = -1;
        std::string spec = "%" + flags;
        if (*f == '*') {
            width = va_arg(args, int);
            spec += std::to_string(width);
            ++f;
        } else {
            if (isdigit((unsigned char)*f))
                width = atoi(f);
            while (isdigit((unsigned char)*f))
                spec += *f++;
        }
        if (*f == '.') {
            spec += *f++;
            if (*f == '*') {
                precision = va_arg(args, int);
                spec += std::to_string(precision < 0 ? 0 : precision);
                if (precision < 0)
                    spec.erase(spec.size() - 2);  // a negative precision is no precision
                ++f;
            } else {
                precision = atoi(f);
                while (isdigit((unsigned char)*f))
                    spec += *f++;
            }
        }
        // Sizes: msvcrt's I64, I32, I and the C ones.
        enum { kInt, kShort, kChar, kLong, kLongLong } size = kInt;
        if (f[0] == 'I' && f[1] == '6' && f[2] == '4') {
            size = kLongLong;
            f += 3;
        } else if (f[0] == 'I' && f[1] == '3' && f[2] == '2') {
            f += 3;
        } else if (f[0] == 'I') {
            f += 1;
        } else if (f[0] == 'l' && f[1] == 'l') {
            size = kLongLong;
            f += 2;
        } else if (f[0] == 'h' && f[1] == 'h') {
            size = kChar;
            f += 2;
        } else if (f[0] == 'h') {
            size = kShort;
            f += 1;
        } else if (f[0] == 'l' || f[0] == 'w' || f[0] == 'L' || f[0] == 'z' || f[0] == 't' || f[0] == 'j') {
            size = f[0] == 'j' || f[0] == 'L' ? kLongLong : kLong;
            if (f[0] == 'L')
                size = kLong;  // long double is double in msvcrt
            f += 1;
        }
        char conversion = *f;
        if (!conversion) {
            // An unfinished specification at the end is printed as it stands.
            out += start;
            break;
        }
        ++f;
        char piece[32];
        std::string text;
        switch (conversion) {
        case 'd':
        case 'i':
        case 'o':
        case 'u':
        case 'x':
        case 'X': {
            if (size == kLongLong) {
                long long v = va_arg(args, long long);
                std::string s = spec + "ll" + conversion;
                text.resize(snprintf(nullptr, 0, s.c_str(), v));
                snprintf(&text[0], text.size() + 1, s.c_str(), v);
            } else {
                int v = va_arg(args, int);
                if (size == kShort)
                    v = (conversion == 'd' || conversion == 'i') ? (int)(short)v : (int)(unsigned short)v;
                else if (size == kChar)
                    v = (conversion == 'd' || conversion == 'i') ? (int)(signed char)v : (int)(unsigned char)v;
                std::string s = spec + conversion;
                text.resize(snprintf(nullptr, 0, s.c_str(), v));
                snprintf(&text[0], text.size() + 1, s.c_str(), v);
            }
            break;
        }
        case 'e':
        case 'E':
        case 'f':
        case 'F':
        case 'g':
        case 'G':
        case 'a':
        case 'A': {
            double v = va_arg(args, double);
            if (isinf(v) || isnan(v)) {
                text = SpecialNumber(v, flags, width, precision, conversion);
                break;
            }
            std::string s = spec + conversion;
            text.resize(snprintf(nullptr, 0, s.c_str(), v));
            snprintf(&text[0], text.size() + 1, s.c_str(), v);
            if (conversion != 'a' && conversion != 'A')
                WidenExponent(text);
            break;
        }
        case 'c':
        case 'C': {
            int v = va_arg(args, int);
            if (conversion == 'C' || size == kLong)
                v = v < 0x100 ? v : '?';
            std::string s = spec + 'c';
            // A NUL character counts, so the length comes from snprintf's answer, not strlen.
            text.resize(snprintf(nullptr, 0, s.c_str(), v));
            snprintf(&text[0], text.size() + 1, s.c_str(), v);
            break;
        }
        case 's':
        case 'S': {
            bool wide = conversion == 'S' ? size != kShort : size == kLong;
            std::string narrow;
            if (wide) {
                const wchar_t* w = va_arg(args, const wchar_t*);
                if (!w) {
                    narrow = "(null)";
                } else {
                    for (; *w; ++w)
                        narrow += (char)(*w < 0x80 ? *w : '?');
                }
            } else {
                const char* v = va_arg(args, const char*);
                narrow = v ? v : "(null)";
            }
            std::string s = spec + 's';
            text.resize(snprintf(nullptr, 0, s.c_str(), narrow.c_str()));
            snprintf(&text[0], text.size() + 1, s.c_str(), narrow.c_str());
            // msvcrt pads a text with zeros under the 0 flag (and without -).
            if (flags.find('0') != std::string::npos && flags.find('-') == std::string::npos) {
                size_t pad = text.size() > narrow.size() ? text.find_first_not_of(' ') : 0;
                if (pad == std::string::npos)
                    pad = text.size();
                for (size_t i = 0; i < pad && text.size() > narrow.size(); ++i)
                    text[i] = '0';
            }
            break;
        }
        case 'p': {
            void* v = va_arg(args, void*);
            snprintf(piece, sizeof piece, "%08X", (unsigned)(uintptr_t)v);
            text = piece;
            break;
        }
        case 'n': {
            int* target = va_arg(args, int*);
            *target = (int)out.size();
            break;
        }
        case '%':
            text = "%";
            break;
        default:
            // msvcrt prints an unknown conversion character as it stands.
            text = std::string(1, conversion);
            break;
        }
        out += text;
    }
    return (int)out.size();
}

}  // namespace

extern "C" {

int _vsnprintf(char* buffer, size_t count, const char* format, va_list args)
{
    std::string out;
    va_list copy;
    va_copy(copy, args);
    FormatMsvcrt(out, format, copy);
    va_end(copy);
    // msvcrt: the whole text and its terminator if they fit, the text alone if it fits exactly,
    // else count bytes and -1.
    if (out.size() < count) {
        memcpy(buffer, out.c_str(), out.size() + 1);
        return (int)out.size();
    }
    memcpy(buffer, out.data(), count);
    return out.size() == count ? (int)count : -1;
}

int _vsnprintf_l(char* buffer, size_t count, const char* format, _locale_t, va_list args)
{
    return _vsnprintf(buffer, count, format, args);
}

int _snprintf(char* buffer, size_t count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int n = _vsnprintf(buffer, count, format, args);
    va_end(args);
    return n;
}

}  // extern "C"
