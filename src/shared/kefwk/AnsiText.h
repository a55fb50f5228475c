// Text from the wide (UTF-16) side of Windows in the ANSI code page: exactly, or not at all.
//
// Windows keeps every text as UTF-16; an ANSI program gets its command line, environment, folder
// names, registry strings and module paths converted, and the platform's conversion uses "best
// fit": a character the code page lacks becomes a look-alike. U+FF5C (fullwidth '|') becomes '|',
// U+FF3C '\\', U+0141 'L'; under 932 the yen sign U+00A5 becomes 0x5C, the path separator, and
// the soft hyphen U+00AD becomes '-'. A path or an argument changed that way names another folder
// or splits into other fields. So every such text is taken wide and converted here, where a
// character the code page lacks is never replaced by a look-alike and the caller learns of it.
//
// Classes in this file:
//   AnsiPath   a path from the system as the ANSI program may use it: as it is, by its short
//              (8.3) name, or not at all
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// Converts length wide characters of text to codePage (CP_ACP: the system's ANSI code page, as
// kestring's MultibyteCodePage also gives it). True when the text converts exactly, that is, back
// into the same wide text. out holds the converted text either way: a character the code page
// lacks stands there as the code page's default character ("?"), never as a look-alike. The
// platform is asked not to best-fit (WC_NO_BEST_FIT_CHARS) and whether it used the default
// character; code pages that take no such flags (UTF-8, UTF-7, the ISO-2022 pages) are converted
// plainly, and for every code page the result is converted back and compared, so that no mapping
// of the platform's own passes unseen.
bool WideToAnsi(const wchar_t* text, size_t length, std::string& out, UINT codePage = CP_ACP);
bool WideToAnsi(const std::wstring& text, std::string& out, UINT codePage = CP_ACP);

// ANSI text in codePage as wide text (exact for every text that WideToAnsi gave exactly).
std::wstring AnsiToWide(const char* text, size_t length, UINT codePage = CP_ACP);
std::wstring AnsiToWide(const std::string& text, UINT codePage = CP_ACP);

// The text for a message or a log line in codePage: what converts exactly as it is, and every
// character that does not as "[U+XXXX]" (a pair of surrogates as its one code point), so that the
// reader sees which text was meant and which characters are the trouble.
std::string AnsiForMessage(const std::wstring& text, UINT codePage = CP_ACP);

// The first character of text that codePage cannot represent, as a code point; 0 when there is
// none.
unsigned FirstUnrepresentable(const std::wstring& text, UINT codePage = CP_ACP);

class AnsiPath {
public:
    enum Kind {
        Exact,      // the path converts exactly
        ShortName,  // it does not, but the file or folder exists and its short name does
        Refused,    // neither: the path cannot be used by the ANSI program
    };

    AnsiPath() = default;
    // A path that is already ANSI text (given by an ANSI caller): exact by definition.
    static AnsiPath FromAnsi(const std::string& text, UINT codePage = CP_ACP);
    // A path as the system gave it: converted exactly, or replaced by its short name
    // (GetShortPathNameW) when the file or folder exists and that name converts exactly,
    // or refused.
    static AnsiPath FromWide(const std::wstring& path, UINT codePage = CP_ACP);

    Kind GetKind() const { return m_kind; }
    bool IsRefused() const { return m_kind == Refused; }
    // The path to use: as given, or its short name; empty when refused.
    const std::string& Text() const { return m_text; }
    // The path as the system gave it.
    const std::wstring& Wide() const { return m_wide; }
    // The path as given, for messages (AnsiForMessage).
    std::string Shown() const { return AnsiForMessage(m_wide, m_codePage); }
    UINT CodePage() const { return m_codePage; }

private:
    Kind m_kind = Exact;
    std::string m_text;
    std::wstring m_wide;
    UINT m_codePage = CP_ACP;
};

// The number of the code page that codePage stands for (CP_ACP: GetACP()), for messages.
unsigned CodePageNumber(UINT codePage = CP_ACP);

// The full path of module (null: the program itself) as the system holds it, however long; empty
// when it cannot be had.
std::wstring ModuleFileNameWide(HMODULE module);
