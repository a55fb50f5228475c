#include "kestring.h"

#include <windows.h>

#include <comutil.h>
#include <errno.h>
#include <float.h>
#include <limits.h>
#include <locale.h>
#include <math.h>
#include <mbctype.h>
#include <mbstring.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <new>
#include <string>

#include "AnsiText.h"
#include "CopyOnWrite.h"
#include "DecimalPointLocalizer.h"
#include "ErrorTables.h"
#include "FaultGuard.h"
#include "KEException.h"

// ---------------------------------------------------------------------------------------------
// Character counting in the current multibyte code page. The code page can change while the
// process runs (_setmbcp), so nothing about it is cached.

namespace {

inline bool IsLead(unsigned char c)
{
    return c >= 0x80 && _ismbblead(c);
}

// True when the current code page has lead bytes at all; single-byte pages take fast paths.
bool HasLeadBytes()
{
    // One word holds the code page last looked at and its answer, so that racing threads
    // never see the answer of another page.
    static volatile long cached = -1;
    long page = _getmbcp();
    long seen = cached;
    if (seen >= 0 && (seen >> 1) == page)
        return seen & 1;
    bool any = false;
    for (int c = 0x80; c < 0x100 && !any; ++c)
        any = _ismbblead(c) != 0;
    cached = (page << 1) | (any ? 1 : 0);
    return any;
}

// Width in bytes of the character at p: 2 for a lead byte with its trail, else 1 (0 at the end).
inline int CharWidth(const char* p)
{
    if (!p[0])
        return 0;
    if (IsLead((unsigned char)p[0]))
        return p[1] ? 2 : 0;  // a lead byte before the terminator is not a character
    return 1;
}

inline unsigned CharCode(const char* p)
{
    int w = CharWidth(p);
    if (w == 2)
        return ((unsigned char)p[0] << 8) | (unsigned char)p[1];
    return w == 1 ? (unsigned char)p[0] : 0;
}

// Bytes of the first n characters (n < 0: all).
int BytesOfChars(const char* s, int n)
{
    if (n < 0)
        return (int)strlen(s);
    int i = 0;
    for (int count = 0; count < n; ++count) {
        int w = CharWidth(s + i);
        if (!w)
            break;
        i += w;
    }
    return i;
}

// The width of the character at p within the left bytes there, which need not be terminated (a
// stream's data): the byte after a lead byte is read only when it lies within them.
inline int CharWidthWithin(const char* p, int left)
{
    if (left < 1 || !p[0])
        return 0;
    if (IsLead((unsigned char)p[0]))
        return left >= 2 && p[1] ? 2 : 0;
    return 1;
}

// Bytes of the whole characters that fit in the first b bytes.
int BytesOfWholeCharsIn(const char* s, int b)
{
    int i = 0;
    while (i < b) {
        int w = CharWidthWithin(s + i, b - i);
        if (!w)
            break;
        i += w;
    }
    return i;
}

int WholeCharsIn(const char* s, int b)
{
    int i = 0, count = 0;
    while (i < b) {
        int w = CharWidthWithin(s + i, b - i);
        if (!w)
            break;
        i += w;
        ++count;
    }
    return count;
}

int CharLength(const char* s)
{
    int count = 0;
    for (int w; (w = CharWidth(s)) != 0; s += w)
        ++count;
    return count;
}

// The bytes of text that fit a budget without splitting a character (budget < 0: no budget),
// after a character limit (limit < 0: none).
int FitBytes(const char* text, int characterLimit, int budget)
{
    int n = characterLimit < 0 ? (int)strlen(text) : BytesOfChars(text, characterLimit);
    if (budget < 0 || n <= budget)
        return n;
    return BytesOfWholeCharsIn(text, budget);
}

inline bool IsSpaceCode(unsigned code)
{
    return code != 0 && _ismbcspace(code);
}

// The first occurrence of pattern (patternBytes > 0) that starts in [from, end), or null: what
// strstr finds in a terminated text, with both lengths known so that memchr can jump to the
// candidates for the first byte instead of rescanning lengths on every call.
const char* FindBytes(const char* from, const char* end, const char* pattern, int patternBytes)
{
    const char first = pattern[0];
    while (end - from >= patternBytes) {
        const char* at = static_cast<const char*>(memchr(from, first, size_t(end - from - patternBytes + 1)));
        if (!at)
            return nullptr;
        if (memcmp(at + 1, pattern + 1, size_t(patternBytes - 1)) == 0)
            return at;
        from = at + 1;
    }
    return nullptr;
}

inline bool Contains(const char* begin, int size, const char* p)
{
    return p >= begin && p < begin + size;
}

int EncodeChar(unsigned character, char* out)
{
    if (character < 256) {
        out[0] = (char)character;
        out[1] = '\0';
        return character ? 1 : 0;
    }
    out[0] = (char)(character >> 8);
    out[1] = (char)character;
    out[2] = '\0';
    return 2;
}

void LowerInPlace(char* s)
{
    // The runtime's _mbslwr takes a lead byte just before the terminator for a pair, steps over
    // the terminator and lowers whatever memory follows. Such a lone lead byte is hidden from it
    // and stays as it is.
    unsigned char* text = reinterpret_cast<unsigned char*>(s);
    unsigned char* lone = nullptr;
    for (unsigned char* p = text; *p; ++p) {
        if (!_ismbblead(*p))
            continue;
        if (!p[1]) {
            lone = p;
            break;
        }
        ++p;
    }
    const unsigned char kept = lone ? *lone : 0;
    if (lone)
        *lone = '\0';
    _mbslwr(text);
    if (lone)
        *lone = kept;
}

_locale_t CLocale()
{
    static _locale_t locale = _create_locale(LC_ALL, "C");
    return locale;
}

int FormatInto(char* p, int s, const char* format, va_list args)
{
    if (!p || s < 1)
        return -1;
    // Arguments that do not match the format fault inside the run-time library (an access
    // violation), which no catch clause of this compiler sees: the formatter runs under a
    // structured-exception frame of its own.
    _locale_t locale = CLocale();
    int result = -1;
    bool returned = CallGuarded([&] { result = _vsnprintf_l(p, s - 1, format, locale, args); }, nullptr);
    if (!returned) {
        TableString text = GetTableString("ERR_DESCR", "SPRINTF_FORMATTING_ERROR");
        strncpy(p, text.GetString(), s);
        p[s - 1] = '\0';
        return -1;
    }
    if (result < 0 || result == s - 1)
        p[s - 1] = '\0';
    return result < 0 ? -1 : result;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Storage-level operations

CopyOnWriteMemory* String::GetSharedMemory() const
{
    return nullptr;
}

char* String::GetBufferAt(int index)
{
    char* p = GetBuffer();
    return p + BytesOfChars(p, index);
}

void String::ReleaseBuffer()
{
    m_size = -1;
}

int String::GetSize() const
{
    if (m_size < 0)
        m_size = (int)strlen(GetString()) + 1;
    return m_size;
}

int String::GetLength() const
{
    const char* s = GetString();
    return HasLeadBytes() ? CharLength(s) : GetSize() - 1;
}

void String::Empty()
{
    GetBuffer()[0] = '\0';
    m_size = 1;
}

void String::Assign(const char* text)
{
    if (!text || !*text) {
        Empty();
        return;
    }
    if (Contains(GetString(), GetSize(), text)) {
        std::string copy(text);
        Assign(copy.c_str());
        return;
    }
    int n = (int)strlen(text);
    int s = EnsureBufferSize(n + 1, false, false);
    char* p = GetBuffer();
    if (s < 1)
        return;  // no byte to write even a terminator into; the size stays unknown
    // FitBytes without a character limit, the length being known already.
    int k = n <= s - 1 ? n : BytesOfWholeCharsIn(text, s - 1);
    memcpy(p, text, k);
    p[k] = '\0';
    m_size = k + 1;
}

void String::Assign(const char* text, int characterCount)
{
    if (!text || !*text || characterCount == 0) {
        Empty();
        return;
    }
    if (Contains(GetString(), GetSize(), text)) {
        std::string copy(text);
        Assign(copy.c_str(), characterCount);
        return;
    }
    int bytes = BytesOfChars(text, characterCount);
    int s = EnsureBufferSize(bytes + 1, false, false);
    char* p = GetBuffer();
    if (s < 1)
        return;
    int k = FitBytes(text, characterCount, s - 1);
    memcpy(p, text, k);
    p[k] = '\0';
    m_size = k + 1;
}

void String::AssignBytes(const char* text, int byteCount)
{
    if (!text) {
        Empty();
        return;
    }
    Assign(text, byteCount < 0 ? -1 : WholeCharsIn(text, byteCount));
}

void String::Assign(const String& text)
{
    if (&text == this)
        return;
    if (text.GetSize() == 1) {
        Empty();
        return;
    }
    Assign(text.GetString());
}

void String::AppendBytes(const char* text, int n)
{
    if (n <= 0 || AppendInPlace(text, n))
        return;
    int a = GetSize();
    // Summed wide: a sum past INT_MAX asks for more than any text can hold (a heap text raises
    // the out-of-memory error, a fixed one keeps what fits) instead of wrapping into a small one.
    const long long wanted = (long long)a + n;
    // A piece of this very text must outlive the growth that may move it. Past INT_MAX nothing
    // moves (the heap text raises, a fixed one has its place), and a copy would only cost memory.
    if (wanted <= INT_MAX && Contains(GetString(), a, text)) {
        std::string copy(text, n);
        AppendBytes(copy.c_str(), n);
        return;
    }
    int s = EnsureBufferSize(wanted > INT_MAX ? INT_MAX : (int)wanted, true, false);
    char* p = GetBuffer();
    if (s >= wanted) {
        memcpy(p + a - 1, text, n);
        p[a - 1 + n] = '\0';
        m_size = a + n;
    } else if (s - a + 1 > 0) {
        int k = FitBytes(text, -1, s - a);
        memcpy(p + a - 1, text, k);
        p[a - 1 + k] = '\0';
        m_size = a + k;
    } else {
        m_size = a;
    }
}

void String::Append(const char* text)
{
    if (text)
        AppendBytes(text, (int)strlen(text));
}

void String::Append(const String& text)
{
    AppendBytes(text.GetString(), text.GetSize() - 1);
}

// ---------------------------------------------------------------------------------------------
// Encodings: every crossing goes through UTF-16. The multibyte side is the runtime's current
// multibyte code page, the one the text classes count characters in. It follows _setmbcp, not
// the system's ANSI page; a runtime that reports 0 for it means CP_ACP, which is also what the
// conversion functions make of 0.

namespace {

inline UINT MultibyteCodePage()
{
    return (UINT)_getmbcp();
}

// Conversions of up to this many wide characters stay on the stack.
const int kStackWideChars = 512;
// The caller's buffer size that ToUTF8 fills when the result fits.
const int kUTF8BufferBytes = 512;

// A wide buffer on the stack, or a heap array for long texts; freed on every way out.
class WideScratch {
public:
    explicit WideScratch(int count) : m_heap(nullptr), m_text(m_stack)
    {
        if (count > kStackWideChars) {
            m_heap = new (std::nothrow) wchar_t[count];
            m_text = m_heap;
        }
    }
    ~WideScratch() { delete[] m_heap; }
    WideScratch(const WideScratch&) = delete;
    WideScratch& operator=(const WideScratch&) = delete;
    wchar_t* Get() const { return m_text; }

private:
    wchar_t m_stack[kStackWideChars];
    wchar_t* m_heap;
    wchar_t* m_text;
};

[[noreturn]] void ThrowOutOfMemory(const char* function, int line)
{
    ThrowKEException(nullptr, function, KE_OUT_OF_MEMORY, 0, KE_SOURCE_FILE, line, __TIME__);
}

[[noreturn]] void ThrowUnexpectedSystemError(const char* function, int line)
{
    ThrowKEException(nullptr, function, KE_UNEXPECTED_SYSTEM_ERROR, 0, KE_SOURCE_FILE, line, __TIME__);
}

} // namespace

// A new system string holding text in the runtime's multibyte code page; function names the
// raiser of a failure.
static BSTR NewSysString(const char* text, const char* function)
{
    UINT codePage = MultibyteCodePage();
    int n = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (n == 0)
        ThrowUnexpectedSystemError(function, __LINE__);
    BSTR result = SysAllocStringLen(nullptr, n - 1);
    if (!result)
        ThrowOutOfMemory(function, __LINE__);
    MultiByteToWideChar(codePage, 0, text, -1, result, n);
    return result;
}

// The COM support library's conversions behind _bstr_t (mingw-w64 declares them but ships no
// comsupp). Unlike Microsoft's, which always use CP_ACP, they convert in the runtime's multibyte
// code page, so that a wrapper's narrow copy reads in the same page as the text it lands in.
// Their failures raise the framework's exception.
namespace _com_util {

BSTR WINAPI ConvertStringToBSTR(const char* text)
{
    if (!text)
        return nullptr;
    return NewSysString(text, "_com_util::ConvertStringToBSTR");
}

char* WINAPI ConvertBSTRToString(BSTR text)
{
    if (!text)
        return nullptr;
    // Without best fit: a character the code page lacks becomes its default character, never a
    // look-alike.
    std::string converted;
    WideToAnsi(text, (size_t)SysStringLen(text) + 1, converted, MultibyteCodePage());
    if (converted.empty())
        ThrowUnexpectedSystemError("_com_util::ConvertBSTRToString", __LINE__);
    char* result = new (std::nothrow) char[converted.size()];
    if (!result)
        ThrowOutOfMemory("_com_util::ConvertBSTRToString", __LINE__);
    memcpy(result, converted.data(), converted.size());
    result[converted.size() - 1] = '\0';
    return result;
}

} // namespace _com_util

void String::Assign(const wchar_t* text)
{
    if (!text || !*text) {
        Empty();
        return;
    }
    // Without best fit: a character the code page lacks becomes its default character ("?"),
    // never a look-alike ("L" for U+0141, "|" for U+FF5C) that would name another file.
    std::string converted;
    WideToAnsi(text, wcslen(text) + 1, converted, MultibyteCodePage());
    int n = (int)converted.size();
    if (n == 0)
        ThrowUnexpectedSystemError("String::Assign", __LINE__);
    int s = EnsureBufferSize(n, false, false);
    char* p = GetBuffer();
    if (s < 1)
        return;
    if (s >= n) {
        memcpy(p, converted.data(), (size_t)n);
        m_size = n;
        return;
    }
    // Too long for a fixed buffer: keep the whole characters that fit.
    Assign(converted.c_str());
}

void String::Append(const wchar_t* text)
{
    if (!text)
        return;
    Append(_bstr_t(text));
}

void String::Assign(const _bstr_t& text)
{
    const wchar_t* wide = text;
    if (!wide || text.length() == 0) {
        Empty();
        return;
    }
    // The wrapper makes its narrow copy once and keeps it for later uses.
    Assign(static_cast<const char*>(text));
}

void String::Append(const _bstr_t& text)
{
    const wchar_t* wide = text;
    if (wide && text.length() != 0)
        Append(static_cast<const char*>(text));
}

wchar_t* String::AllocSysString() const
{
    const char* text = GetString();
    return NewSysString(text, "String::AllocSysString");
}

void String::AssignFromUTF8(const char* text, int byteCount)
{
    if (!text || byteCount == 0) {
        Empty();
        return;
    }
    // Every negative count means terminated text; Windows itself refuses counts below -1
    // (Wine takes them as terminated).
    if (byteCount < 0)
        byteCount = -1;
    int n = MultiByteToWideChar(CP_UTF8, 0, text, byteCount, nullptr, 0);
    // Input the system cannot convert at all: converting anyway would hand an unwritten buffer
    // to Assign.
    if (n == 0) {
        Empty();
        return;
    }
    if (byteCount >= 0)
        ++n;
    WideScratch scratch(n);
    if (!scratch.Get())
        ThrowOutOfMemory("String::AssignFromUTF8", __LINE__);
    MultiByteToWideChar(CP_UTF8, 0, text, byteCount, scratch.Get(), n);
    if (byteCount >= 0)
        scratch.Get()[n - 1] = L'\0';
    Assign(scratch.Get());
}

char* String::ToUTF8(char* buffer) const
{
    const char* text = GetString();
    UINT codePage = MultibyteCodePage();
    int n = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (n == 0)
        ThrowUnexpectedSystemError("String::ToUTF8", __LINE__);
    WideScratch wide(n);
    if (!wide.Get())
        ThrowOutOfMemory("String::ToUTF8", __LINE__);
    MultiByteToWideChar(codePage, 0, text, -1, wide.Get(), n);

    int m = WideCharToMultiByte(CP_UTF8, 0, wide.Get(), -1, nullptr, 0, nullptr, nullptr);
    if (m < 1)
        return nullptr;
    char* result = buffer;
    if (!buffer || m > kUTF8BufferBytes) {
        result = new (std::nothrow) char[m];
        if (!result)
            ThrowOutOfMemory("String::ToUTF8", __LINE__);
    }
    WideCharToMultiByte(CP_UTF8, 0, wide.Get(), -1, result, m, nullptr, nullptr);
    return result;
}

void String::FreeUTF8(char* text)
{
    delete[] text;
}

// ---------------------------------------------------------------------------------------------
// XML escaping

namespace {

struct XmlEntity {
    char character;
    const char* name;
    int length;
};

// The order is the order in which unescaping tries them.
const XmlEntity kXmlEntities[] = {
    {'<', "&lt;", 4}, {'>', "&gt;", 4}, {'&', "&amp;", 5}, {'\'', "&apos;", 6}, {'"', "&quot;", 6},
};

} // namespace

bool String::XmlEscape(String& text, bool escapeApostrophe)
{
    // The double quote is never escaped: the framework writes attribute values in single quotes.
    const char* set = escapeApostrophe ? "<>&'" : "<>&";
    const char* p = text.GetString();
    if (!p[strcspn(p, set)])
        return false;
    DynamicString result;
    result.Reserve(text.GetSize() + text.GetSize() / 2);
    // Character by character, so that no trail byte of a double-byte character is taken for one
    // of the special characters.
    while (int w = CharWidth(p)) {
        const char* found = w == 1 ? strchr(set, *p) : nullptr;
        if (found)
            result.Append(kXmlEntities[found - set].name);
        else
            result.AppendBytes(p, w);
        p += w;
    }
    // A lone lead byte before the terminator is not a character, but it is part of the text.
    if (*p)
        result.AppendBytes(p, (int)strlen(p));
    text.Assign(result);
    return true;
}

void String::XmlUnescape()
{
    if (!strchr(GetString(), '&'))
        return;
    // The result is never longer than the text, so the work is done in the text's own buffer.
    char* buffer = GetBuffer();
    char* read = buffer;
    char* write = buffer;
    while (char* amp = strchr(read, '&')) {
        size_t stretch = amp - read;
        memmove(write, read, stretch);
        write += stretch;
        read = amp;
        const XmlEntity* match = nullptr;
        for (const XmlEntity& entity : kXmlEntities) {
            if (strncmp(read, entity.name, entity.length) == 0) {
                match = &entity;
                break;
            }
        }
        *write++ = match ? match->character : '&';
        read += match ? match->length : 1;
    }
    memmove(write, read, strlen(read) + 1);
    ReleaseBuffer();
}

// ---------------------------------------------------------------------------------------------
// Characters and indices

int String::CharIndexFromByteOffset(int byteOffset) const
{
    return WholeCharsIn(GetString(), byteOffset);
}

int String::ByteOffsetFromCharIndex(int index) const
{
    return BytesOfChars(GetString(), index);
}

unsigned String::GetAt(int index) const
{
    return CharCode(GetString() + ByteOffsetFromCharIndex(index));
}

void String::SetAt(int index, unsigned character)
{
    int offset = ByteOffsetFromCharIndex(index);
    int oldWidth = CharWidth(GetString() + offset);
    char text[3];
    int newWidth = EncodeChar(character, text);
    if (oldWidth == 0)
        return;  // past the end: there is no character to overwrite
    if (oldWidth == newWidth) {
        char* p = GetBuffer() + offset;
        memcpy(p, text, newWidth);
        m_size = -1;
        return;
    }
    ReplaceBytes(offset, oldWidth, text);
}


void String::InsertChar(unsigned character, int index)
{
    char text[3];
    EncodeChar(character, text);
    Insert(text, index);
}

unsigned String::GetFirstChar() const
{
    return CharCode(GetString());
}

unsigned String::GetLastChar() const
{
    const char* s = GetString();
    if (!HasLeadBytes()) {
        int n = GetSize() - 1;
        return n > 0 ? (unsigned char)s[n - 1] : 0;
    }
    const char* last = nullptr;
    for (int w; (w = CharWidth(s)) != 0; s += w)
        last = s;
    return last ? CharCode(last) : 0;
}

bool String::IsWordChar(unsigned character)
{
    return character == '_' || (character != 0 && _ismbcalnum(character));
}

// ---------------------------------------------------------------------------------------------
// Comparing and searching

int String::Compare(const char* other, bool ignoreCase, int count, int start) const
{
    const char* mine = GetString();
    const char* p = mine + BytesOfChars(mine, start);
    if (other == p)
        return 0;
    if (!other)
        other = "";
    const char* q = other;
    for (int n = 0; count < 0 || n < count; ++n) {
        unsigned char a = *p, b = *q;
        int wa = CharWidth(p), wb = CharWidth(q);
        // Only single-byte letters fold: the "C" locale knows no other case pairs, and a
        // trail byte that looks like a letter is not one.
        if (ignoreCase) {
            if (wa == 1 && a >= 'A' && a <= 'Z')
                a += 'a' - 'A';
            if (wb == 1 && b >= 'A' && b <= 'Z')
                b += 'a' - 'A';
        }
        if (a != b)
            return (int)a - (int)b;
        if (!a)
            return 0;
        if (wa == 2 || wb == 2) {
            unsigned char a2 = p[1], b2 = q[1];
            if (a2 != b2)
                return (int)a2 - (int)b2;
        }
        p += wa ? wa : 1;
        q += wb ? wb : 1;
    }
    return 0;
}

void String::FindAll(const char* pattern, std::vector<int>& byteOffsets, int startByteOffset, bool ignoreCase,
                     bool wholeWord, int maximum) const
{
    int size = GetSize();
    if (!pattern || !*pattern || maximum == 0 || startByteOffset < 0 || startByteOffset + 1 >= size)
        return;
    const char* text = GetString();
    std::string lowerText, lowerPattern;
    if (ignoreCase) {
        lowerText.assign(text, size - 1);
        lowerPattern.assign(pattern);
        LowerInPlace(&lowerText[0]);
        LowerInPlace(&lowerPattern[0]);
        text = lowerText.c_str();
        pattern = lowerPattern.c_str();
    }
    const int patternBytes = (int)strlen(pattern);
    const bool multibyte = HasLeadBytes();

    // In a double-byte page a match must begin on a character boundary: walk the boundaries
    // forward alongside the search (never backward, so the whole search stays linear).
    int boundary = 0, previous = -1;
    if (multibyte) {
        while (boundary < startByteOffset) {
            int w = CharWidth(text + boundary);
            if (!w)
                break;
            previous = boundary;
            boundary += w;
        }
    }
    int from = startByteOffset;
    int found = 0;
    while (from < size - 1) {
        const char* hit = FindBytes(text + from, text + size - 1, pattern, patternBytes);
        if (!hit)
            break;
        int at = int(hit - text);
        int before = at - 1;
        if (multibyte) {
            while (boundary < at) {
                int w = CharWidth(text + boundary);
                if (!w)
                    break;
                previous = boundary;
                boundary += w;
            }
            if (boundary < at)
                break;  // the text ends in a lone lead byte before the hit
            if (boundary > at) {
                from = boundary;  // the hit began inside a character
                continue;
            }
            before = previous;
        }
        bool accepted = true;
        if (wholeWord) {
            if (at > 0 && before >= 0 && IsWordChar(CharCode(text + before)))
                accepted = false;
            if (accepted && IsWordChar(CharCode(text + at + patternBytes)))
                accepted = false;
        }
        if (accepted) {
            byteOffsets.push_back(at);
            if (maximum > 0 && ++found >= maximum)
                break;
        }
        from = at + patternBytes;
    }
}

bool String::Find(const char* pattern, int& index, int start) const
{
    std::vector<int> offsets;
    FindAll(pattern, offsets, ByteOffsetFromCharIndex(start), false, false, 1);
    if (offsets.empty())
        return false;
    index = CharIndexFromByteOffset(offsets[0]);
    return true;
}

bool String::FindChar(unsigned character, int start, int& index) const
{
    const char* s = GetString();
    const char* p = s + BytesOfChars(s, start);
    for (int i = start, w; (w = CharWidth(p)) != 0; p += w, ++i) {
        if (CharCode(p) == character) {
            index = i;
            return true;
        }
    }
    return false;
}

bool String::ReverseFindChar(unsigned character, int& index, int last) const
{
    const char* p = GetString();
    int found = -1;
    for (int i = 0, w; (w = CharWidth(p)) != 0 && (last == -1 || i <= last); p += w, ++i) {
        if (CharCode(p) == character)
            found = i;
    }
    if (found < 0)
        return false;
    index = found;
    return true;
}

bool String::FindOneOf(const char* set, int start, int& index) const
{
    if (!set)
        return false;
    const char* s = GetString();
    const char* p = s + BytesOfChars(s, start);
    for (int i = start, w; (w = CharWidth(p)) != 0; p += w, ++i) {
        unsigned code = CharCode(p);
        for (const char* q = set; *q; q += CharWidth(q) ? CharWidth(q) : 1) {
            if (CharCode(q) == code) {
                index = i;
                return true;
            }
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// Replacing

void String::ReplaceBytes(int byteOffset, int byteCount, const char* text)
{
    if (!text)
        text = "";
    int c = GetSize();
    if (Contains(GetString(), c, text)) {
        std::string copy(text);
        ReplaceBytes(byteOffset, byteCount, copy.c_str());
        return;
    }
    int o = byteOffset < 0 ? 0 : (byteOffset > c - 1 ? c - 1 : byteOffset);
    int r = byteCount < 0 || o + byteCount > c - 1 ? c - 1 - o : byteCount;
    int t = (int)strlen(text);
    int newSize = c - r + t;
    if (t <= r) {
        char* buf = GetBuffer();
        memcpy(buf + o, text, t);
        memmove(buf + o + t, buf + o + r, c - (o + r));
        m_size = newSize;
        return;
    }
    int usable = EnsureBufferSize(newSize, true, false);
    char* buf = GetBuffer();
    int limit = usable - 1;  // the last usable byte holds the terminator
    int tailFrom = o + r, tailLength = c - 1 - tailFrom, tailTo = o + t;
    if (tailTo < limit)
        memmove(buf + tailTo, buf + tailFrom, tailLength < limit - tailTo ? tailLength : limit - tailTo);
    if (o < limit)
        memcpy(buf + o, text, t < limit - o ? t : limit - o);
    int end = newSize - 1;
    if (end > limit)
        end = BytesOfWholeCharsIn(buf, limit);  // cut without splitting a character
    buf[end] = '\0';
    m_size = end + 1;
}

void String::Replace(int index, int count, const char* text)
{
    const char* s = GetString();
    int o = BytesOfChars(s, index);
    ReplaceBytes(o, count < 0 ? -1 : BytesOfChars(s + o, count), text);
}

void String::Replace(int index, int count, const String& text)
{
    Replace(index, count, text.GetString());
}

void String::Insert(const char* text, int index)
{
    Replace(index, 0, text);
}

void String::Delete(int index, int count)
{
    Replace(index, count, "");
}

void String::Mid(int index, int count, String& out) const
{
    const char* s = GetString();
    out.Assign(s + BytesOfChars(s, index), count);
}

bool String::ReplaceFirst(const char* pattern, const char* text)
{
    std::vector<int> offsets;
    FindAll(pattern, offsets, 0, false, false, 1);
    if (offsets.empty())
        return false;
    ReplaceBytes(offsets[0], (int)strlen(pattern), text);
    return true;
}

bool String::ReplaceFirst(const String& pattern, const String& text)
{
    return ReplaceFirst(pattern.GetString(), text.GetString());
}

int String::ReplaceAll(const char* pattern, const char* text, bool ignoreCase, bool wholeWord)
{
    std::vector<int> offsets;
    FindAll(pattern, offsets, 0, ignoreCase, wholeWord, -1);
    if (offsets.empty())
        return 0;
    if (!text)
        text = "";
    if (Contains(GetString(), GetSize(), text)) {
        std::string copy(text);
        return ReplaceAllFound(offsets, (int)strlen(pattern), copy.c_str());
    }
    return ReplaceAllFound(offsets, (int)strlen(pattern), text);
}

int String::ReplaceAll(const String& pattern, const String& text, bool ignoreCase, bool wholeWord)
{
    return ReplaceAll(pattern.GetString(), text.GetString(), ignoreCase, wholeWord);
}

// One pass in place: shrinking walks the matches forward, growing walks them backward so that
// every byte moves once.
int String::ReplaceAllFound(const std::vector<int>& offsets, int p, const char* text)
{
    const int k = (int)offsets.size();
    const int t = (int)strlen(text);
    const int c = GetSize();
    long long wanted = c + (long long)k * (t - p);
    if (wanted > INT_MAX)
        wanted = INT_MAX;
    const int newSize = (int)wanted;

    if (t < p) {
        char* buf = GetBuffer();
        int write = offsets[0];
        for (int i = 0; i < k; ++i) {
            memcpy(buf + write, text, t);
            write += t;
            int from = offsets[i] + p;
            int to = i + 1 < k ? offsets[i + 1] : c - 1;
            memmove(buf + write, buf + from, to - from);
            write += to - from;
        }
        buf[write] = '\0';
        m_size = write + 1;
        return k;
    }

    int usable = newSize > c ? EnsureBufferSize(newSize, true, false) : c;
    char* buf = GetBuffer();
    const long long limit = usable - 1;
    for (int i = k - 1; i >= 0; --i) {
        long long target = offsets[i] + (long long)i * (t - p);
        long long stretchTo = target + t;
        int from = offsets[i] + p;
        int length = (i + 1 < k ? offsets[i + 1] : c - 1) - from;
        if (stretchTo < limit)
            memmove(buf + stretchTo, buf + from, length < limit - stretchTo ? length : size_t(limit - stretchTo));
        if (target < limit)
            memcpy(buf + target, text, t < limit - target ? t : size_t(limit - target));
    }
    int end = newSize - 1;
    if (end > limit)
        end = BytesOfWholeCharsIn(buf, (int)limit);
    buf[end] = '\0';
    m_size = end + 1;
    return k;
}

// ---------------------------------------------------------------------------------------------
// Whole-text edits

void String::Trim()
{
    const char* s = GetString();
    int leading = 0;
    int w;
    while ((w = CharWidth(s + leading)) != 0 && IsSpaceCode(CharCode(s + leading)))
        leading += w;
    int end = leading;  // byte after the last character that is not white space
    for (int i = leading; (w = CharWidth(s + i)) != 0; i += w) {
        if (!IsSpaceCode(CharCode(s + i)))
            end = i + w;
    }
    int length = GetSize() - 1;
    if (leading == 0 && end == length)
        return;
    char* buf = GetBuffer();
    memmove(buf, buf + leading, end - leading);
    buf[end - leading] = '\0';
    m_size = end - leading + 1;
}

void String::MakeLower()
{
    if (IsEmpty())
        return;
    LowerInPlace(GetBuffer());
}

bool String::IsQuoted() const
{
    return GetLength() >= 2 && GetFirstChar() == '"' && GetLastChar() == '"';
}

bool String::Unquote()
{
    if (!IsQuoted())
        return false;
    Delete(GetLength() - 1, 1);
    Delete(0, 1);
    return true;
}

void String::ConvertLineEndingsToCRLF()
{
    const char* s = GetString();
    int c = GetSize();
    int lone = 0;
    for (int i = 0; i < c - 1; ++i) {
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r'))
            ++lone;
    }
    if (!lone)
        return;
    if (EnsureBufferSize(c + lone, true, false) >= c + lone) {
        char* buf = GetBuffer();
        // Backward, so that the text moves up in place.
        int write = c + lone - 1;
        for (int read = c - 1; read >= 0; --read) {
            buf[write--] = buf[read];
            if (buf[read] == '\n' && (read == 0 || buf[read - 1] != '\r'))
                buf[write--] = '\r';
        }
        m_size = c + lone;
        return;
    }
    ReplaceAll("\r\n", "\n");
    ReplaceAll("\n", "\r\n");
}

void String::ConvertLineEndingsToLF()
{
    if (!strstr(GetString(), "\r\n"))
        return;
    char* buf = GetBuffer();
    int write = 0;
    for (int read = 0; buf[read]; ++read) {
        if (buf[read] == '\r' && buf[read + 1] == '\n')
            continue;
        buf[write++] = buf[read];
    }
    buf[write] = '\0';
    m_size = write + 1;
}

// ---------------------------------------------------------------------------------------------
// Formatting and numbered arguments

int Printf(String& target, const char* format, ...)
{
    int s = target.GetBufferSize();
    char* p = target.GetBufferAt(0);
    va_list args;
    va_start(args, format);
    int result = FormatInto(p, s, format, args);
    va_end(args);
    target.ReleaseBuffer();
    return result;
}

int FormatToBuffer(char* buffer, int bufferSize, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int result = FormatInto(buffer, bufferSize, format, args);
    va_end(args);
    return result;
}

void String::AppendInt(int value)
{
    char text[256];
    FormatToBuffer(text, sizeof text, "%d", value);
    Append(text);
}

void String::AppendUInt(unsigned value)
{
    char text[256];
    FormatToBuffer(text, sizeof text, "%u", value);
    Append(text);
}

void String::ReplaceArgument(const String& text, int n)
{
    StaticString<64> pattern;
    Printf(pattern, "%%%d", n);
    std::vector<int> offsets;
    FindAll(pattern, offsets, 0, false, false, 1);
    if (offsets.empty()) {
        HandleMissingFormatArgument(pattern, text);
        return;
    }
    ReplaceBytes(offsets[0], pattern.GetSize() - 1, text.GetString());
}

void String::ReplaceArgument(const char* text, int n)
{
    DynamicString replacement(text ? text : "", false);
    ReplaceArgument(replacement, n);
}

void String::ReplaceArgument(int value, int n)
{
    StaticString<64> replacement;
    Printf(replacement, "%d", value);
    ReplaceArgument(replacement, n);
}

void String::HandleMissingFormatArgument(const String& pattern, const String& replacement)
{
    ReportWarning("Could not find argument to replace in string", "String::HandleMissingFormatArgument", __LINE__);
    Append(" COULD NOT FIND ");
    Append(pattern);
    Append("TO REPLACE WITH ");
    Append(replacement);
    Append(" ");
}

// ---------------------------------------------------------------------------------------------
// Text to number

namespace {

int RadixOfPrefix(const char* p)
{
    if (p[0] != '0')
        return 0;
    switch (p[1]) {
    case 'b': case 'B': return 2;
    case 'c': case 'C': return 8;
    case 'x': case 'X': return 16;
    default: return 0;
    }
}

bool IsDigitOf(char c, int radix)
{
    int v = c >= '0' && c <= '9' ? c - '0'
          : c >= 'a' && c <= 'z' ? c - 'a' + 10
          : c >= 'A' && c <= 'Z' ? c - 'A' + 10 : 99;
    return v < radix;
}

// The user's decimal separator, for reading numbers typed in the user's own form. Reading
// numbers never raises: when the product's configuration cannot be read, the separator comes
// straight from the system setting.
unsigned SystemDecimalPoint()
{
    try {
        return GetLocalizedDecimalPoint(2);
    } catch (const KEException&) {
        return DecimalPointLocalizer::GetCurrentSystemSetting();
    }
}

// Width in bytes of the decimal point at p, 0 when p holds none.
int DecimalPointWidth(const char* p, unsigned systemPoint)
{
    if (*p == '.' || *p == ',')
        return 1;
    int w = CharWidth(p);
    return w && CharCode(p) == systemPoint ? w : 0;
}

// The exponent after "e": optional sign, then digits. Returns false when no digit follows;
// sets overflow when the value does not fit an int.
bool ParseExponent(const char* p, const char** end, int& value, bool& overflow)
{
    bool negative = false;
    if (*p == '+' || *p == '-')
        negative = *p++ == '-';
    if (*p < '0' || *p > '9')
        return false;
    long long v = 0;
    overflow = false;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (v <= INT_MAX)
            v = v * 10 + (*p - '0');
    }
    if (v > INT_MAX)
        overflow = true;
    value = negative ? -(int)(v > INT_MAX ? INT_MAX : v) : (int)(v > INT_MAX ? INT_MAX : v);
    *end = p;
    return true;
}

double FromBits(unsigned long long bits)
{
    double d;
    memcpy(&d, &bits, sizeof d);
    return d;
}

} // namespace

double String::ParseDouble(const char* text, const char** end)
{
    const char* p = text;
    for (int w; (w = CharWidth(p)) != 0 && IsSpaceCode(CharCode(p)); p += w) {}
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    } else if (*p == '+') {
        ++p;
    }

    if (p[0] && p[1] && p[2]) {
        if (_strnicmp_l(p, "NAN", 3, CLocale()) == 0) {
            *end = p + 3;
            return FromBits(0xFFFF000000000001ULL);
        }
        if (_strnicmp_l(p, "IND", 3, CLocale()) == 0) {
            *end = p + 3;
            return FromBits(0xFFF8000000000000ULL);
        }
        if (_strnicmp_l(p, "INF", 3, CLocale()) == 0) {
            *end = p + 3;
            return FromBits(negative ? 0xFFF0000000000000ULL : 0x7FF0000000000000ULL);
        }
    }

    // Digits beyond the 300th cannot change a double; those of the integer part still scale it.
    const int kMaxDigits = 300;
    char digits[kMaxDigits];
    int count = 0;
    long long exponent = 0;
    bool seenPoint = false, anyDigit = false;
    const unsigned systemPoint = SystemDecimalPoint();
    for (int step = 1;; p += step) {
        step = 1;
        if (*p >= '0' && *p <= '9') {
            anyDigit = true;
            if (count == 0 && *p == '0') {
                // Leading zeros take no place among the digits kept.
                if (seenPoint)
                    --exponent;
            } else if (count < kMaxDigits) {
                digits[count++] = *p;
                if (seenPoint)
                    --exponent;
            } else if (!seenPoint) {
                ++exponent;
            }
        } else if (!seenPoint && (step = DecimalPointWidth(p, systemPoint)) != 0) {
            seenPoint = true;
        } else {
            break;
        }
    }
    if (!anyDigit) {
        *end = text;
        return 0;
    }

    if (*p == 'e' || *p == 'E') {
        int savedErrno = errno;
        int value = 0;
        bool overflow = false;
        const char* after;
        if (ParseExponent(p + 1, &after, value, overflow)) {
            p = after;
            if (overflow && value < 0) {
                errno = ERANGE;
                *end = text;
                return 0;
            }
            if (overflow) {
                errno = ERANGE;
                *end = p;
                return negative ? -HUGE_VAL : HUGE_VAL;
            }
            exponent += value;
        }
        errno = savedErrno;
    }
    *end = p;

    // The digits as an integer, exactly: 19 of them fit in 64 bits, and a long double holds 64
    // bits without rounding. (A double would round from 16 digits on, and the scaling below then
    // rounds a second time: without the x87 unit's excess precision, as in a 64-bit build, sixteen-
    // digit numbers were read back as their neighbours.) Digits past the 19th only scale.
    unsigned long long mantissa = 0;
    int significant = 0;
    for (int i = 0; i < count; ++i) {
        if (significant < 19) {
            mantissa = mantissa * 10 + (unsigned)(digits[i] - '0');
            if (mantissa != 0)
                ++significant;
        } else {
            ++exponent;
        }
    }
    if (mantissa == 0)
        return 0;

    // Scaled in extended precision: one rounding to double, and no overflow of 10^e on the way
    // for results that are themselves in range.
    long double scaled = exponent < 0 ? (long double)mantissa / powl(10.0L, (long double)-exponent)
                                      : (long double)mantissa * powl(10.0L, (long double)exponent);
    if (exponent < 0 && scaled < (long double)DBL_MIN) {
        *end = text;
        errno = ERANGE;
        return 0;
    }
    if (exponent > 0 && scaled > (long double)DBL_MAX) {
        errno = ERANGE;
        return negative ? -HUGE_VAL : HUGE_VAL;
    }
    double result = (double)scaled;
    return negative ? -result : result;
}

bool String::ToDouble(double& out, int& charactersUsed) const
{
    out = 0;
    const char* s = GetString();
    const char* end = s;
    if (int radix = RadixOfPrefix(s)) {
        if (!IsDigitOf(s[2], radix))
            return false;
        char* stop;
        unsigned long value = _strtoul_l(s + 2, &stop, radix, CLocale());
        out = (double)value;
        end = stop;
    } else {
        errno = 0;
        double value = ParseDouble(s, &end);
        if (end == s || errno != 0)
            return false;
        out = value;
    }
    charactersUsed = WholeCharsIn(s, int(end - s));
    return true;
}

bool String::ToInt64(int64_t& out, int& charactersUsed) const
{
    out = 0;
    const char* s = GetString();
    const char* p = s;
    for (int w; (w = CharWidth(p)) != 0 && IsSpaceCode(CharCode(p)); p += w) {}
    int radix = RadixOfPrefix(p);
    char* stop;
    if (radix) {
        p += 2;
        if (!IsDigitOf(*p, radix))
            return false;
        out = (int64_t)_strtoui64_l(p, &stop, radix, CLocale());
    } else if (*p != '-') {
        out = (int64_t)_strtoui64_l(p, &stop, 10, CLocale());
    } else {
        out = _strtoi64_l(p, &stop, 10, CLocale());
    }
    if (stop == p)
        return false;
    charactersUsed = WholeCharsIn(s, int(stop - s));
    return true;
}

bool String::ToLong(long& out, int startIndex, int& endIndex) const
{
    out = 0;
    const char* s = GetString();
    const char* p = s + BytesOfChars(s, startIndex);
    char* stop;
    long value = _strtol_l(p, &stop, 10, CLocale());
    if (stop == p)
        return false;
    out = value;
    endIndex = WholeCharsIn(s, int(stop - s));
    return true;
}

bool String::ToULong(unsigned long& out, int& endIndex) const
{
    out = 0;
    const char* s = GetString();
    char* stop;
    unsigned long value = _strtoul_l(s, &stop, 10, CLocale());
    if (stop == s)
        return false;
    out = value;
    endIndex = WholeCharsIn(s, int(stop - s));
    return true;
}

// ---------------------------------------------------------------------------------------------
// DynamicString

DynamicString::DynamicString() : m_memory(CopyOnWriteMemory::SharedEmpty())
{
    m_memory->AddRef();
    m_size = 1;
}

DynamicString::DynamicString(const String& text) : DynamicString()
{
    Assign(text);
}

DynamicString::DynamicString(const DynamicString& text) : String(), m_memory(text.m_memory)
{
    m_memory->AddRef();
    m_size = text.m_size;
}

DynamicString::DynamicString(const char* text, bool copy) : DynamicString()
{
    if (copy) {
        String::Assign(text);
    } else if (text && *text) {
        int size = (int)strlen(text) + 1;
        CopyOnWriteMemory::AdoptForeignBuffer(m_memory, text, size);
        m_size = size;
    }
}

DynamicString::~DynamicString()
{
    m_memory->Release();
}

void DynamicString::Assign(const String& text)
{
    if (&text == this)
        return;
    if (CopyOnWriteMemory* shared = text.GetSharedMemory()) {
        int size = text.GetSize();
        shared->AddRef();
        m_memory->Release();
        m_memory = shared;
        m_size = size;
    } else if (text.GetSize() > 1) {
        String::Assign(text);
    } else {
        Empty();
    }
}

void DynamicString::Empty()
{
    CopyOnWriteMemory* empty = CopyOnWriteMemory::SharedEmpty();
    if (m_memory != empty) {
        empty->AddRef();
        m_memory->Release();
        m_memory = empty;
    }
    m_size = 1;
}

const char* DynamicString::GetString() const
{
    return m_memory->GetData();
}

char* DynamicString::GetBuffer()
{
    m_size = -1;
    return CopyOnWriteMemory::DetachForWriting(m_memory);
}

int DynamicString::GetBufferSize() const
{
    return m_memory->GetSize();
}

CopyOnWriteMemory* DynamicString::GetSharedMemory() const
{
    return m_memory;
}

int DynamicString::EnsureBufferSize(int size, bool keepContents, bool exact)
{
    int usable = CopyOnWriteMemory::DetachAndResize(m_memory, size, keepContents, exact);
    // Without kept contents a detached or freshly allocated block starts empty while a resized
    // own block keeps its text: only a recount is right in every case.
    if (!keepContents)
        m_size = -1;
    return usable;
}

DynamicString& DynamicString::operator=(const DynamicString& other)
{
    if (this != &other) {
        other.m_memory->AddRef();
        m_memory->Release();
        m_memory = other.m_memory;
        m_size = other.m_size;
    }
    return *this;
}

void DynamicString::Reserve(int size)
{
    EnsureBufferSize(size, true, false);
}

// ---------------------------------------------------------------------------------------------
// BufferString

BufferString::BufferString(char* buffer, int) : m_buffer(buffer), m_bufferSize(-1), m_mark(false) {}

BufferString::BufferString(char* buffer, unsigned) : m_buffer(buffer), m_bufferSize(-1), m_mark(true) {}

int BufferString::GetBufferSize() const
{
    if (m_bufferSize < 0)
        m_bufferSize = (int)strlen(m_buffer) + 1;
    return m_bufferSize;
}
