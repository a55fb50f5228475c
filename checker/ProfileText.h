// An initialization file read line by line, as the platform's profile reader splits it, so that
// the checker can name the line of a key and see what that reader hides: keys written twice,
// sections written twice, lines outside any section.
//
// The reader's rules, kept here: the file is ANSI text (or UTF-16 in either byte order, or UTF-8,
// each with its byte-order mark), converted to wide characters before it is split, so a
// double-byte character whose trail byte is '[', ']', '=' or '\' never splits a line; CR LF, LF
// and a lone CR each end a line; blanks around names and values are dropped;
// section and key names match without case; the first section of a name and the first key of a
// name in it are the ones read; a value in a matching pair of quotation marks loses them.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <vector>

struct ProfileEntry {
    int line = 0;
    std::string key;    // as written, trimmed
    std::string value;  // as the profile reader returns it: trimmed, matching quotes removed
    bool hasValue = false;  // false for a line without '='
    bool quoted = false;    // the value was written in a matching pair of quotation marks
};

struct ProfileSection {
    int line = 0;      // 0 for the lines before the first section header
    std::string name;  // between the brackets, trimmed
    std::vector<ProfileEntry> entries;
};

class ProfileText {
public:
    // Reads the file. Returns ERROR_SUCCESS, or the system error code of the failed open or read.
    DWORD Load(const std::string& path);

    // Every section in file order; the first one, named "" with line 0, holds the lines before
    // the first header.
    const std::vector<ProfileSection>& Sections() const { return m_sections; }

    // The section the profile reader reads for name (the first of that name), or none. The empty
    // name finds the lines before the first header.
    // Names are taken whole: a name read from the file may hold a NUL.
    const ProfileSection* FindSection(const std::string& name) const;
    // The entry the profile reader reads for section/key, or none.
    const ProfileEntry* Find(const std::string& section, const std::string& key) const;

    // Names compared as the profile reader compares them: without case.
    static bool SameName(const std::string& a, const std::string& b);

private:
    // The names as the reader compares them (wide, lower case), so that a lookup costs no scan.
    static std::wstring Folded(const std::string& name);

    std::vector<ProfileSection> m_sections;
    std::map<std::wstring, size_t> m_firstSection;              // folded name -> index
    std::vector<std::map<std::wstring, size_t>> m_firstEntry;   // per section: folded key -> index
};
