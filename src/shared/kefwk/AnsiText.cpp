#include "AnsiText.h"

#include <cstdio>

namespace {

// One conversion call. flags WC_NO_BEST_FIT_CHARS with usedDefault, or 0 without it for the code
// pages that refuse both (ERROR_INVALID_FLAGS / ERROR_INVALID_PARAMETER: UTF-8, UTF-7, 5022x, 42).
int Convert(UINT codePage, bool strict, const wchar_t* text, int length, char* out, int size, BOOL* usedDefault)
{
    return ::WideCharToMultiByte(codePage, strict ? WC_NO_BEST_FIT_CHARS : 0, text, length, out, size, nullptr,
                                 strict ? usedDefault : nullptr);
}

bool IsHighSurrogate(wchar_t c) { return c >= 0xD800 && c <= 0xDBFF; }
bool IsLowSurrogate(wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }

// Characters of at most two code units: a pair of surrogates stays whole.
size_t CharacterLength(const std::wstring& text, size_t i)
{
    return IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1]) ? 2 : 1;
}

unsigned CodePoint(const std::wstring& text, size_t i, size_t length)
{
    if (length == 2)
        return 0x10000u + ((static_cast<unsigned>(text[i]) - 0xD800u) << 10) + (static_cast<unsigned>(text[i + 1]) - 0xDC00u);
    return static_cast<unsigned>(text[i]) & 0xFFFFu;
}

} // namespace

bool WideToAnsi(const wchar_t* text, size_t length, std::string& out, UINT codePage)
{
    out.clear();
    if (!text || length == 0)
        return true;
    if (length > 0x7FFFFFFF)
        return false;
    int count = static_cast<int>(length);
    BOOL used = FALSE;
    bool strict = true;
    int n = Convert(codePage, strict, text, count, nullptr, 0, &used);
    if (n <= 0) {
        DWORD error = ::GetLastError();
        if (error != ERROR_INVALID_FLAGS && error != ERROR_INVALID_PARAMETER)
            return false;
        strict = false;
        n = Convert(codePage, strict, text, count, nullptr, 0, &used);
        if (n <= 0)
            return false;
    }
    out.resize(static_cast<size_t>(n));
    used = FALSE;
    if (Convert(codePage, strict, text, count, &out[0], n, &used) != n) {
        out.clear();
        return false;
    }
    if (used)
        return false;
    // Back again: a code page whose own table maps a character onto another one's bytes (or one
    // converted without the flags) shows it here.
    return AnsiToWide(out, codePage) == std::wstring(text, length);
}

bool WideToAnsi(const std::wstring& text, std::string& out, UINT codePage)
{
    return WideToAnsi(text.data(), text.size(), out, codePage);
}

std::wstring AnsiToWide(const char* text, size_t length, UINT codePage)
{
    if (!text || length == 0 || length > 0x7FFFFFFF)
        return std::wstring();
    int n = ::MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), nullptr, 0);
    if (n <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(n), L'\0');
    n = ::MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), &out[0], n);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

std::wstring AnsiToWide(const std::string& text, UINT codePage)
{
    return AnsiToWide(text.data(), text.size(), codePage);
}

std::string AnsiForMessage(const std::wstring& text, UINT codePage)
{
    std::string whole;
    if (WideToAnsi(text, whole, codePage))
        return whole;
    // Character by character: a stretch that converts is shown as it is.
    std::string shown;
    for (size_t i = 0; i < text.size();) {
        size_t length = CharacterLength(text, i);
        std::string piece;
        if (WideToAnsi(text.data() + i, length, piece, codePage)) {
            shown += piece;
        } else {
            char code[16];
            std::snprintf(code, sizeof code, "[U+%04X]", CodePoint(text, i, length));
            shown += code;
        }
        i += length;
    }
    return shown;
}

unsigned FirstUnrepresentable(const std::wstring& text, UINT codePage)
{
    std::string piece;
    for (size_t i = 0; i < text.size();) {
        size_t length = CharacterLength(text, i);
        if (!WideToAnsi(text.data() + i, length, piece, codePage))
            return CodePoint(text, i, length);
        i += length;
    }
    return 0;
}

unsigned CodePageNumber(UINT codePage)
{
    return codePage == CP_ACP ? ::GetACP() : codePage;
}

AnsiPath AnsiPath::FromAnsi(const std::string& text, UINT codePage)
{
    AnsiPath path;
    path.m_text = text;
    path.m_wide = AnsiToWide(text, codePage);
    path.m_codePage = codePage;
    return path;
}

AnsiPath AnsiPath::FromWide(const std::wstring& wide, UINT codePage)
{
    AnsiPath path;
    path.m_wide = wide;
    path.m_codePage = codePage;
    if (WideToAnsi(wide, path.m_text, codePage))
        return path;
    path.m_text.clear();
    // The short name exists only for what exists; where short names are switched off (a volume
    // without 8.3 names) the system gives the long name back, which still does not convert.
    DWORD size = ::GetShortPathNameW(wide.c_str(), nullptr, 0);
    if (size > 0) {
        std::wstring shortName(size, L'\0');
        DWORD n = ::GetShortPathNameW(wide.c_str(), &shortName[0], size);
        std::string text;
        if (n > 0 && n < size) {
            shortName.resize(n);
            if (WideToAnsi(shortName, text, codePage)) {
                path.m_kind = ShortName;
                path.m_text = text;
                return path;
            }
        }
    }
    path.m_kind = Refused;
    return path;
}

std::wstring ModuleFileNameWide(HMODULE module)
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = ::GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0)
            return std::wstring();
        // A cut name fills the buffer: ask again with more room.
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        if (path.size() >= 32768)
            return std::wstring();
        path.resize(path.size() * 2);
    }
}
