#include "checker/ProfileText.h"

#include <cwctype>

#include "AnsiText.h"
#include "runner/ScopedHandle.h"

namespace {
// The profile reader's white space: the wide white-space class and the end-of-file mark Ctrl-Z.
bool IsProfileSpace(wchar_t c) { return std::iswspace(c) || c == 0x1A; }

std::wstring ToWide(const char* bytes, size_t length, UINT codePage) {
    if (length == 0) return std::wstring();
    int n = ::MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(length), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    if (n > 0) ::MultiByteToWideChar(codePage, 0, bytes, static_cast<int>(length), &out[0], n);
    return out;
}

// Back to the ANSI code page as the program's readers convert it: without best fit, a character
// the code page lacks as its default character.
std::string ToAnsi(const wchar_t* text, size_t length) {
    std::string out;
    WideToAnsi(text, length, out);
    return out;
}

// The encodings the profile reader tells by their byte-order marks: UTF-8, UTF-16 in either byte
// order; anything else is ANSI text. An odd last byte of a UTF-16 file is no character.
std::wstring DecodeFile(const std::string& bytes) {
    const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes.data());
    if (bytes.size() >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0xFE && b[1] == 0xFF))) {
        bool bigEndian = b[0] == 0xFE;
        std::wstring text((bytes.size() - 2) / 2, L'\0');
        for (size_t i = 0; i < text.size(); ++i) {
            unsigned char first = b[2 + 2 * i], second = b[3 + 2 * i];
            text[i] = static_cast<wchar_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
        }
        return text;
    }
    if (bytes.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF)
        return ToWide(bytes.data() + 3, bytes.size() - 3, CP_UTF8);
    return ToWide(bytes.data(), bytes.size(), CP_ACP);
}

// A value in a matching pair of quotation marks loses them, as the reader returns it.
std::string Unquoted(const wchar_t* begin, const wchar_t* end, bool& quoted) {
    quoted = end - begin >= 2 && (*begin == L'"' || *begin == L'\'') && end[-1] == *begin;
    if (quoted) return ToAnsi(begin + 1, end - begin - 2);
    return ToAnsi(begin, end - begin);
}
}  // namespace

DWORD ProfileText::Load(const std::string& path) {
    m_sections.assign(1, ProfileSection());
    m_firstSection.clear();
    // The lines before the first header form a section of the empty name, which the reader finds.
    m_firstSection.emplace(std::wstring(), 0);
    m_firstEntry.assign(1, {});
    ScopedHandle file(::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return ::GetLastError();
    std::string bytes;
    char chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!::ReadFile(file.Get(), chunk, sizeof chunk, &got, nullptr)) return ::GetLastError();
        if (got == 0) break;
        bytes.append(chunk, got);
    }
    std::wstring text = DecodeFile(bytes);

    // A line ends at CR LF, at LF and at a lone CR alike, as the reader splits it (a file with CR
    // LF line ends may still hold a lone CR, which ends a line there too). Lines are counted as
    // an editor counts them, one for each of those line ends.
    const wchar_t* next = text.c_str();
    const wchar_t* end = next + text.size();
    int line = 0;
    while (next < end) {
        const wchar_t* start = next;
        const wchar_t* stop = start;
        while (stop < end && *stop != L'\n' && *stop != L'\r') ++stop;
        next = stop;
        if (next < end && *next == L'\r') ++next;
        if (next < end && *next == L'\n' && (next == stop || next[-1] == L'\r')) ++next;
        ++line;
        while (start < stop && IsProfileSpace(*start)) ++start;
        while (stop > start && IsProfileSpace(stop[-1])) --stop;
        if (start == stop) continue;

        if (*start == L'[') {
            // The header's name runs to the last ']' of the line.
            const wchar_t* close = nullptr;
            for (const wchar_t* p = stop; p > start;)
                if (*--p == L']') {
                    close = p;
                    break;
                }
            if (close) {
                ProfileSection section;
                section.line = line;
                // The reader trims the name inside the brackets too: "[ Strings ]" is [Strings].
                const wchar_t* nameStart = start + 1;
                const wchar_t* nameEnd = close;
                while (nameStart < nameEnd && IsProfileSpace(*nameStart)) ++nameStart;
                while (nameEnd > nameStart && IsProfileSpace(nameEnd[-1])) --nameEnd;
                section.name = ToAnsi(nameStart, nameEnd - nameStart);
                m_sections.push_back(section);
                m_firstEntry.emplace_back();
                m_firstSection.emplace(Folded(section.name), m_sections.size() - 1);
                continue;
            }
            // Without ']' the line is read as a key.
        }
        ProfileEntry entry;
        entry.line = line;
        const wchar_t* equals = std::char_traits<wchar_t>::find(start, stop - start, L'=');
        const wchar_t* nameEnd = equals ? equals : stop;
        while (nameEnd > start && IsProfileSpace(nameEnd[-1])) --nameEnd;
        entry.key = ToAnsi(start, nameEnd - start);
        if (equals) {
            const wchar_t* value = equals + 1;
            while (value < stop && IsProfileSpace(*value)) ++value;
            entry.value = Unquoted(value, stop, entry.quoted);
            entry.hasValue = true;
        }
        m_sections.back().entries.push_back(entry);
        m_firstEntry.back().emplace(Folded(entry.key), m_sections.back().entries.size() - 1);
    }
    return ERROR_SUCCESS;
}

std::wstring ProfileText::Folded(const std::string& name) {
    // Per character without case, as the reader compares; lstrcmpi's word sort would also weigh
    // hyphens and apostrophes.
    // Blanks around a name asked for are dropped as the reader drops them.
    std::wstring wide = ToWide(name.data(), name.size(), CP_ACP);
    size_t first = 0, last = wide.size();
    while (first < last && IsProfileSpace(wide[first])) ++first;
    while (last > first && IsProfileSpace(wide[last - 1])) --last;
    wide = wide.substr(first, last - first);
    if (!wide.empty()) ::CharLowerBuffW(&wide[0], static_cast<DWORD>(wide.size()));
    return wide;
}

bool ProfileText::SameName(const std::string& a, const std::string& b) { return Folded(a) == Folded(b); }

const ProfileSection* ProfileText::FindSection(const std::string& name) const {
    auto found = m_firstSection.find(Folded(name));
    return found == m_firstSection.end() ? nullptr : &m_sections[found->second];
}

const ProfileEntry* ProfileText::Find(const std::string& section, const std::string& key) const {
    auto found = m_firstSection.find(Folded(section));
    if (found == m_firstSection.end()) return nullptr;
    const std::map<std::wstring, size_t>& keys = m_firstEntry[found->second];
    auto entry = keys.find(Folded(key));
    return entry == keys.end() ? nullptr : &m_sections[found->second].entries[entry->second];
}
