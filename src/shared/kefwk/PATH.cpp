#include "PATH.h"

#include <mbctype.h>
#include <mbstring.h>

#include <algorithm>
#include <string>
#include <vector>

#include "AnsiText.h"
#include "ErrorTables.h"
#include "KEException.h"
#include "QvStreams.h"

namespace {

// ---------------------------------------------------------------------------------------------
// Handle wrappers; they never throw.

class FindHandle {
public:
    explicit FindHandle(HANDLE h) : m_h(h) {}
    ~FindHandle() { if (Valid()) FindClose(m_h); }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    bool Valid() const { return m_h != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_h; }

private:
    HANDLE m_h;
};

class FileHandle {
public:
    explicit FileHandle(HANDLE h) : m_h(h) {}
    ~FileHandle() { if (Valid()) CloseHandle(m_h); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool Valid() const { return m_h != INVALID_HANDLE_VALUE; }
    HANDLE Get() const { return m_h; }

private:
    HANDLE m_h;
};

class MemoryDC {
public:
    MemoryDC() : m_dc(CreateCompatibleDC(nullptr)) {}
    ~MemoryDC() { if (m_dc) DeleteDC(m_dc); }
    MemoryDC(const MemoryDC&) = delete;
    MemoryDC& operator=(const MemoryDC&) = delete;
    HDC Get() const { return m_dc; }

private:
    HDC m_dc;
};

// Selects an object into a DC for its lifetime.
class SelectedObject {
public:
    SelectedObject(HDC dc, HGDIOBJ object) : m_dc(dc), m_old(dc && object ? SelectObject(dc, object) : nullptr) {}
    ~SelectedObject() { if (m_old) SelectObject(m_dc, m_old); }
    SelectedObject(const SelectedObject&) = delete;
    SelectedObject& operator=(const SelectedObject&) = delete;

private:
    HDC m_dc;
    HGDIOBJ m_old;
};

// ---------------------------------------------------------------------------------------------
// Character stepping. Separators, dots and colons are single bytes, but in double-byte code pages
// a trail byte can be '\' (0x5C) or '|': every scan must step whole characters.

inline bool IsLead(unsigned char c) { return c >= 0x80 && _ismbblead(c); }

inline int Step(const char* s, int i)
{
    return IsLead((unsigned char)s[i]) && s[i + 1] ? i + 2 : i + 1;
}

int Len(const char* s) { return (int)strlen(s); }

// Byte offset of the first c at or after from (a character boundary), or -1.
int FindByte(const char* s, int from, char c)
{
    for (int i = from; s[i]; i = Step(s, i)) {
        if (s[i] == c)
            return i;
    }
    return -1;
}

// Byte offset of the last character of s, or -1 for an empty text.
int LastCharOffset(const char* s)
{
    int last = -1;
    for (int i = 0; s[i]; i = Step(s, i))
        last = i;
    return last;
}

int CharCount(const char* s, int fromByte = 0, int toByte = -1)
{
    int n = 0;
    for (int i = fromByte; s[i] && (toByte < 0 || i < toByte); i = Step(s, i))
        ++n;
    return n;
}

int BytesOfChars(const char* s, int chars)
{
    int i = 0;
    for (int n = 0; n < chars && s[i]; ++n)
        i = Step(s, i);
    return i;
}

bool IsAsciiLetter(unsigned char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool EqualNoCase(const char* a, const char* b)
{
    return DynamicString(a, false).Compare(b, true) == 0;
}

bool EqualNoCase(const std::string& a, const std::string& b) { return EqualNoCase(a.c_str(), b.c_str()); }

bool HasDriveSpecText(const char* s) { return IsAsciiLetter((unsigned char)s[0]) && s[1] == ':'; }
bool IsUNCText(const char* s) { return s[0] == '\\' && s[1] == '\\'; }

bool IsAbsoluteText(const char* s)
{
    int i = HasDriveSpecText(s) ? 2 : 0;
    return s[i] == '\\';
}

// Start of the name component: the byte after the last '\' or ':'.
int NameStart(const char* s)
{
    int start = 0;
    for (int i = 0; s[i]; i = Step(s, i)) {
        if (s[i] == '\\' || s[i] == ':')
            start = i + 1;
    }
    return start;
}

// Byte offset of the extension's '.', or -1. Only the last 255 characters of the name are looked at.
int ExtensionDot(const char* s)
{
    int nameStart = NameStart(s);
    std::vector<int> offsets;
    for (int i = nameStart; s[i]; i = Step(s, i))
        offsets.push_back(i);
    int looked = 0;
    for (auto it = offsets.rbegin(); it != offsets.rend() && looked < 255; ++it, ++looked) {
        if (s[*it] == '.')
            return *it;
    }
    return -1;
}

bool EndsWithSeparatorText(const char* s)
{
    int last = LastCharOffset(s);
    return last >= 0 && (s[last] == '\\' || s[last] == ':');
}

void RemoveTrailingSeparatorText(std::string& s)
{
    int last = LastCharOffset(s.c_str());
    if (last < 0 || s[last] != '\\')
        return;
    if (s.size() == 1)
        return;
    if (s.size() == 3 && HasDriveSpecText(s.c_str()))
        return;
    s.erase(last);
}

// The nine characters no component may hold, and the two wildcards.
bool ComponentCharactersValid(const char* s, int from, int to, bool allowWildcards)
{
    for (int i = from; i < to; i = Step(s, i)) {
        if (IsLead((unsigned char)s[i]))
            continue;
        switch (s[i]) {
        case '<': case '>': case '|': case ':': case '/': case '\\': case '"': case '\r': case '\n':
            return false;
        case '*': case '?':
            if (!allowWildcards)
                return false;
            break;
        default:
            break;
        }
    }
    return true;
}

bool IsDots(const char* s, int from, int to)
{
    int n = to - from;
    return (n == 1 && s[from] == '.') || (n == 2 && s[from] == '.' && s[from + 1] == '.');
}

// The error code name of the first rule the path breaks, or nullptr for a valid path.
const char* ValidationError(const char* s, bool allowWildcards)
{
    int len = Len(s);
    if (len == 0)
        return "PATH_IS_EMPTY";
    int start = 0;
    bool uncShare = false;
    if (HasDriveSpecText(s)) {
        if (len == 2)
            return nullptr;
        if (s[2] != '\\')
            return "PATH_SEP_MUST_FOLLOW_DRIVE_SPEC";
        start = 3;
    } else if (IsUNCText(s)) {
        if (len == 2)
            return "UNC_PATH_MISSING_NETWORK_NAME";
        int sep = FindByte(s, 2, '\\');
        if (sep < 0 || sep == len - 1)
            return "UNC_PATH_MISSING_DIRECTORY";
        // An empty server name (\\\share) names no machine at all.
        if (sep == 2 || IsDots(s, 2, sep) || !ComponentCharactersValid(s, 2, sep, false))
            return "UNC_PATH_INVALID_NETWORK_NAME";
        start = sep + 1;
        uncShare = true;
    } else if (s[0] == '\\') {
        return "PATH_BEGINS_WITH_SEPARATOR";
    }
    for (int i = start; i < len;) {
        int sep = FindByte(s, i, '\\');
        bool last = sep < 0;
        int end = last ? len : sep;
        if (end == i)
            return "PATH_HAS_EMPTY_COMPONENT";
        if (uncShare) {
            if (IsDots(s, i, end) || !ComponentCharactersValid(s, i, end, false))
                return "UNC_PATH_INVALID_SHAREDIR";
            uncShare = false;
        } else if (!ComponentCharactersValid(s, i, end, allowWildcards && last)) {
            // An entry inside a ".qmx" library file may be named anything.
            bool libraryMember = last && i >= 5 && _strnicmp(s + i - 5, ".qmx", 4) == 0;
            if (!libraryMember)
                return "PATH_HAS_INVALID_CHARS";
        }
        i = last ? len : sep + 1;
    }
    return nullptr;
}

// Byte index where the first component below the root starts.
int TopLevelOf(const char* s)
{
    int len = Len(s);
    if (HasDriveSpecText(s))
        return len == 2 ? 2 : 3;
    if (IsUNCText(s)) {
        int sep = FindByte(s, 2, '\\');
        if (sep < 0)
            ThrowKEException("invalid UNC path", "PathBase::GetTopLevel", 0, 0, KE_SOURCE_FILE, __LINE__, __TIME__);
        int next = FindByte(s, sep + 1, '\\');
        return next < 0 ? len : next + 1;
    }
    int sep = FindByte(s, 0, '\\');
    return sep < 0 ? len : sep + 1;
}

// The components from byte start on, without separators; a trailing separator adds none.
std::vector<std::string> ComponentsFrom(const char* s, int start)
{
    std::vector<std::string> parts;
    int len = Len(s);
    for (int i = start; i < len;) {
        int sep = FindByte(s, i, '\\');
        int end = sep < 0 ? len : sep;
        parts.emplace_back(s + i, s + end);
        i = sep < 0 ? len : sep + 1;
    }
    return parts;
}

void AppendComponentText(std::string& path, const char* component)
{
    if (path.empty()) {
        path = component;
        return;
    }
    if (!EndsWithSeparatorText(path.c_str()))
        path += '\\';
    path += component[0] == '\\' ? component + 1 : component;
}

// Deletes the name component, keeping the separator before it.
void DeleteNameText(std::string& s) { s.erase(NameStart(s.c_str())); }

// A message from the "ERR_DESCR" table with %1 and %2 filled.
DynamicString Describe(const char* key, const char* arg1 = nullptr, const char* arg2 = nullptr)
{
    DynamicString text(GetTableString("ERR_DESCR", key).Text());
    if (arg1)
        text.ReplaceArgument(arg1, 1);
    if (arg2)
        text.ReplaceArgument(arg2, 2);
    return text;
}

[[noreturn]] void ThrowDescribed(const char* function, int code, DWORD apiError, int line, const char* key,
                                 const char* arg1 = nullptr, const char* arg2 = nullptr)
{
    ThrowKEExceptionWithText(Describe(key, arg1, arg2), function, code, (int)apiError, KE_SOURCE_FILE, line,
                             __TIME__);
}

// The framework code for a failed system call, with the code's own message.
[[noreturn]] void ThrowSystemError(const char* function, DWORD apiError, int line)
{
    int code = ErrorCodeFromSystemError(apiError);
    ThrowKEException(nullptr, function, code, (int)apiError, KE_SOURCE_FILE, line, __TIME__);
}

}  // namespace

std::wstring WidenPathText(const char* text)
{
    return AnsiToWide(text, strlen(text));
}

namespace {

// The name of a found entry as this ANSI program can use it: its own name when that converts
// exactly, else its short name when that does; false when neither does. A name converted with
// best fit ("L\u00f3dz" for "\u0141\u00f3d\u017a") would name another entry, or none.
bool UsableName(const WIN32_FIND_DATAW& data, std::string& name)
{
    if (WideToAnsi(data.cFileName, wcslen(data.cFileName), name))
        return true;
    return data.cAlternateFileName[0] &&
           WideToAnsi(data.cAlternateFileName, wcslen(data.cAlternateFileName), name);
}

// Attributes of an entry; false when it cannot be found. The attribute query fails on some
// entries that a directory listing still shows (system files in use, for one).
bool QueryAttributes(const PathBase& path, bool longForm, DWORD& attributes)
{
    if (!path.IsAbsolute() || !path.Validate(false, nullptr))
        return false;
    DynamicPath copy(path);
    copy.RemoveTrailingSeparator();
    LongPathText wide;
    try {
        if (longForm)
            wide = copy.ConvertForLongPathCalls();
    } catch (const KEException&) {
        return false;
    }
    DWORD a = longForm ? GetFileAttributesW(wide->c_str()) : GetFileAttributesA(copy.GetText());
    if (a != INVALID_FILE_ATTRIBUTES) {
        attributes = a;
        return true;
    }
    DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_NOT_READY)
        return false;
    if (longForm) {
        WIN32_FIND_DATAW data;
        FindHandle h(FindFirstFileExW(wide->c_str(), FindExInfoStandard, &data, FindExSearchNameMatch, nullptr, 0));
        if (!h.Valid())
            return false;
        attributes = data.dwFileAttributes;
        return true;
    }
    WIN32_FIND_DATAA data;
    FindHandle h(FindFirstFileExA(copy.GetText(), FindExInfoStandard, &data, FindExSearchNameMatch, nullptr, 0));
    if (!h.Valid())
        return false;
    attributes = data.dwFileAttributes;
    return true;
}

bool ExistsAs(const PathBase& path, bool longForm, int kind)
{
    DWORD attributes = 0;
    if (!QueryAttributes(path, longForm, attributes))
        return false;
    if (kind == PATH_KIND_ANY)
        return true;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? kind == PATH_KIND_DIRECTORY : kind == PATH_KIND_FILE;
}

bool DeleteFileImpl(const PathBase& path, bool keepReadOnly, bool longForm)
{
    const char* function = longForm ? "PathBase::DeleteFileIfExistsLong" : "PathBase::DeleteFileIfExists";
    if (!(longForm ? path.FileExistsLong() : path.FileExists()))
        return true;
    BOOL ok;
    if (longForm) {
        LongPathText wide = path.ConvertForLongPathCalls();
        DWORD a = GetFileAttributesW(wide->c_str());
        if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) && !keepReadOnly)
            SetFileAttributesW(wide->c_str(), FILE_ATTRIBUTE_NORMAL);
        ok = DeleteFileW(wide->c_str());
    } else {
        DWORD a = GetFileAttributesA(path.GetText());
        if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY) && !keepReadOnly)
            SetFileAttributesA(path.GetText(), FILE_ATTRIBUTE_NORMAL);
        ok = DeleteFileA(path.GetText());
    }
    if (!ok) {
        DWORD error = GetLastError();
        ThrowDescribed(function, ErrorCodeFromSystemError(error), error, __LINE__, "DELETE_FILE_FAILED", path.GetText());
    }
    return true;
}

void MakeAllDirectories(const PathBase& path, bool lastIsDirectory, bool longForm)
{
    const char* function = "PathBase::MakeAllDirectoriesInPathName_Impl";
    int n = path.GetDepth();
    if (!lastIsDirectory)
        --n;
    auto prefixOf = [&path](int k) {
        DynamicString text;
        path.GetPrefix(k, text);
        DynamicPath prefix;
        prefix.SetPath(text);
        return prefix;
    };
    int existing = n;
    while (existing > 0 && !ExistsAs(prefixOf(existing), longForm, PATH_KIND_DIRECTORY))
        --existing;
    for (int k = existing + 1; k <= n; ++k) {
        DynamicPath prefix = prefixOf(k);
        BOOL ok = longForm ? CreateDirectoryW(prefix.ConvertForLongPathCalls()->c_str(), nullptr)
                           : CreateDirectoryA(prefix.GetText(), nullptr);
        if (ok)
            continue;
        DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS) {
            DWORD attributes = 0;
            bool found = QueryAttributes(prefix, longForm, attributes);
            if (found && (attributes & FILE_ATTRIBUTE_DIRECTORY))
                continue;
            if (found)
                ThrowDescribed(function, KE_FILE_ALREADY_EXISTS, error, __LINE__, "FILE_ALREADY_EXISTS_WITH_PATHNAME",
                               prefix.GetText());
            ThrowDescribed(function, KE_UNABLE_TO_OPEN_DIR, error, __LINE__, "KE_UNABLE_TO_OPEN_DIR_DESC",
                           prefix.GetText());
        }
        int code = ErrorCodeFromSystemError(error);
        ThrowKEExceptionWithText(GetErrorCodeMessage(code).Text(), function, code, (int)error, KE_SOURCE_FILE,
                                 __LINE__, __TIME__);
    }
}

// A file opened for reading its times, as GetFileTime and CompareFileTime need it.
FILETIME ReadFileTime(const PathBase& path, int which, const char* function)
{
    FileHandle h(CreateFileA(path.GetText(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.Valid())
        ThrowSystemError(function, GetLastError(), __LINE__);
    FILETIME created, accessed, written;
    if (!::GetFileTime(h.Get(), &created, &accessed, &written))
        ThrowSystemError(function, GetLastError(), __LINE__);
    return which == PATH_TIME_CREATION ? created : which == PATH_TIME_LAST_ACCESS ? accessed : written;
}

struct ListedEntry {
    std::string name;
    DWORD attributes;
};

// The entries of directory matching pattern, without "." and "..".
std::vector<ListedEntry> ListDirectory(const PathBase& directory, const char* pattern, bool longForm)
{
    std::vector<ListedEntry> entries;
    DynamicPath search(directory);
    search.AppendComponent(pattern);
    // Listed wide in both forms: the ANSI listing hands out names converted with best fit. An
    // entry with no name this program can use is left out; whoever works on the folder then finds
    // it not empty rather than working on a look-alike.
    std::wstring wide = longForm ? *search.ConvertForLongPathCalls() : WidenPathText(search.GetText());
    WIN32_FIND_DATAW data;
    FindHandle h(FindFirstFileExW(wide.c_str(), FindExInfoStandard, &data, FindExSearchNameMatch, nullptr, 0));
    if (!h.Valid())
        return entries;
    do {
        if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0)
            continue;
        std::string name;
        if (UsableName(data, name))
            entries.push_back({name, data.dwFileAttributes});
    } while (FindNextFileW(h.Get(), &data));
    return entries;
}

// Files of the tree and its directories, parents before children. A directory that is a
// reparse point (junction, link) is listed as a directory but not entered: removing a tree must
// never reach through a link into files that live elsewhere.
void ListTree(const DynamicPath& directory, std::vector<DynamicPath>& files, std::vector<DynamicPath>& directories)
{
    for (const ListedEntry& entry : ListDirectory(directory, "*.*", false)) {
        DynamicPath child(directory);
        child.AppendComponent(entry.name.c_str());
        if (entry.attributes & FILE_ATTRIBUTE_DIRECTORY) {
            directories.push_back(child);
            if (!(entry.attributes & FILE_ATTRIBUTE_REPARSE_POINT))
                ListTree(child, files, directories);
        } else {
            files.push_back(child);
        }
    }
}

void RemoveDirectoryOrThrow(const PathBase& directory)
{
    DWORD a = GetFileAttributesA(directory.GetText());
    if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesA(directory.GetText(), FILE_ATTRIBUTE_NORMAL);
    if (!RemoveDirectoryA(directory.GetText())) {
        DWORD error = GetLastError();
        ThrowDescribed("PathBase::RemoveDir", ErrorCodeFromSystemError(error), error, __LINE__, "REMOVE_DIR_FAILED",
                       directory.GetText());
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Text, comparison and assignment

const char* PathBase::GetText() const { return GetStorageString().GetString(); }
const String& PathBase::GetString() const { return GetStorageString(); }

PathBase& PathBase::operator=(const String& text)
{
    GetStringForWrite().Assign(text);
    return *this;
}

PathBase& PathBase::operator=(const char* text)
{
    GetStringForWrite().Assign(text ? text : "");
    return *this;
}

PathBase& PathBase::operator=(const PathBase& other)
{
    if (&other != this)
        GetStringForWrite().Assign(other.GetString());
    return *this;
}

bool PathBase::operator==(const String& text) const { return *this == text.GetString(); }

bool PathBase::operator==(const char* text) const
{
    if (text == GetText())
        return true;
    return GetString().Compare(text ? text : "", true) == 0;
}

bool PathBase::operator==(const PathBase& other) const { return *this == other.GetText(); }
bool PathBase::operator!=(const String& text) const { return !(*this == text); }
bool PathBase::operator!=(const char* text) const { return !(*this == text); }
bool PathBase::operator!=(const PathBase& other) const { return !(*this == other); }
bool PathBase::operator<(const PathBase& other) const { return GetString().Compare(other.GetText(), true) < 0; }

bool PathBase::IsSameFile(const String& other, bool resolve) const { return IsSameFile(other.GetString(), resolve); }
bool PathBase::IsSameFile(const PathBase& other, bool resolve) const { return IsSameFile(other.GetText(), resolve); }

bool PathBase::IsSameFile(const char* other, bool resolve) const
{
    if (*this == other)
        return true;
    wchar_t mine[MAX_PATH], theirs[MAX_PATH];
    // Compared wide: the ANSI long names are converted with best fit, and two different files
    // could come back as one look-alike. A result of MAX_PATH or more is the size a longer
    // buffer would need: nothing was written.
    DWORD a = GetLongPathNameW(WidenPathText(GetText()).c_str(), mine, MAX_PATH);
    DWORD b = GetLongPathNameW(WidenPathText(other).c_str(), theirs, MAX_PATH);
    if (a >= 1 && a < MAX_PATH && b >= 1 && b < MAX_PATH) {
        std::string x, y;
        if (WideToAnsi(mine, a, x) && WideToAnsi(theirs, b, y))
            return EqualNoCase(x, y);
        // A name the code page lacks is told apart exactly; no look-alike makes two names one.
        return std::wstring(mine, a) == std::wstring(theirs, b);
    }
    if (!resolve)
        return false;
    DynamicPath first(*this), second(other);
    DynamicString firstName, secondName;
    first.GetFileName(firstName);
    second.GetFileName(secondName);
    first.RemoveFileName();
    second.RemoveFileName();
    if (!first.HasExtension("qmx") || !second.HasExtension("qmx"))
        return false;
    return first.IsSameFile(second, resolve) && firstName.Compare(secondName, true) == 0;
}

void PathBase::GetPath(String& out) const { out.Assign(GetString()); }
void PathBase::SetPath(const PathBase& other) { *this = other; }

void PathBase::SetPath(const String& text)
{
    GetStringForWrite().Assign(text);
    NormalizeDriveRoot();
}

void PathBase::SetPath(const char* text)
{
    GetStringForWrite().Assign(text ? text : "");
    NormalizeDriveRoot();
}

void PathBase::NormalizeDriveRoot()
{
    const char* s = GetText();
    if (HasDriveSpecText(s) && (s[2] == '\0' || s[2] != '\\'))
        GetStringForWrite().Insert("\\", 2);
}

// ---------------------------------------------------------------------------------------------
// Components

void PathBase::GetDirectory(String& out) const
{
    std::string s(GetText());
    s.erase(NameStart(s.c_str()));
    RemoveTrailingSeparatorText(s);
    out.Assign(s.c_str());
}

void PathBase::SetDirectory(const String& directory) { SetDirectory(directory.GetString()); }

void PathBase::SetDirectory(const char* directory)
{
    DynamicString name;
    GetFileName(name);
    SetPath(directory);
    AppendComponent(name);
}

bool PathBase::MakeDirectoryPath(bool fromDirectory)
{
    if (IsEmpty())
        return false;
    if (EndsWithSeparator())
        return true;
    DynamicString text;
    if (fromDirectory)
        GetDirectory(text);
    else
        text.Assign(GetString());
    if (!EndsWithSeparatorText(text))
        text.Append("\\");
    SetPath(text);
    return EndsWithSeparator();
}

bool PathBase::EndsWithSeparator() const { return EndsWithSeparatorText(GetText()); }

void PathBase::GetAbbreviatedName(int maximum, String& out) const
{
    const char* s = GetText();
    int length = CharCount(s);
    if (maximum >= length) {
        out.Assign(s);
        return;
    }
    int nameStart = NameStart(s);
    int nameLength = CharCount(s, nameStart);
    int top = TopLevelBytes();
    int rootLength = CharCount(s, 0, top);
    if (nameLength >= maximum || rootLength + nameLength + 4 >= maximum) {
        out.Assign(s + nameStart);
        return;
    }
    int tail = top;
    while (rootLength + 4 + CharCount(s, tail) > maximum) {
        int sep = FindByte(s, tail, '\\');
        if (sep < 0)
            ThrowKEException("Missing path components??", "PathBase::GetAbbreviatedName", 0, 0, KE_SOURCE_FILE,
                             __LINE__, __TIME__);
        tail = sep + 1;
    }
    std::string result(s, top);
    result += "...\\";
    result += s + tail;
    out.Assign(result.c_str());
}

void PathBase::GetAbbreviatedNameForWidth(int width, String& out, HFONT font, bool middle) const
{
    out.Assign(GetString());
    MemoryDC dc;
    if (!dc.Get())
        return;
    SelectedObject selected(dc.Get(), font);
    // DT_MODIFYSTRING writes up to four more characters than the text had. DT_NOPREFIX keeps an
    // '&' in a folder name from being taken as a mnemonic marker.
    std::vector<char> first(GetString().GetSize() + 8, '\0');
    memcpy(first.data(), GetText(), GetString().GetSize());
    RECT rect = {0, 0, width, 1};
    DrawTextA(dc.Get(), first.data(), -1, &rect, DT_PATH_ELLIPSIS | DT_MODIFYSTRING | DT_NOPREFIX | DT_SINGLELINE);
    out.Assign(first.data());
    if (!middle)
        return;
    std::vector<char> copy(first.size() + 8, '\0');
    memcpy(copy.data(), first.data(), first.size());
    RECT rect2 = {0, 0, width, 1};
    DrawTextA(dc.Get(), copy.data(), -1, &rect2, DT_WORD_ELLIPSIS | DT_MODIFYSTRING | DT_NOPREFIX | DT_SINGLELINE);
    if (strcmp(copy.data(), first.data()) == 0)
        return;
    DynamicString copied(copy.data());
    int copyLength = copied.GetLength();
    if (copyLength <= 29) {
        out.Assign(copied);
        return;
    }
    int half = copyLength / 2;
    DynamicString head, tailText;
    copied.Mid(0, half, head);
    DynamicString firstText(first.data());
    int firstLength = firstText.GetLength();
    int tailCount = std::min(half - 3, firstLength);
    firstText.Mid(firstLength - tailCount, tailCount, tailText);
    head.Append("...");
    head.Append(tailText);
    out.Assign(head);
}

void PathBase::GetFileName(String& out) const
{
    const char* s = GetText();
    out.Assign(s + NameStart(s));
}

void PathBase::SetFileName(const String& name) { SetFileName(name.GetString()); }

void PathBase::SetFileName(const char* name)
{
    std::string s(GetText());
    int start = NameStart(s.c_str());
    if (start < (int)s.size()) {
        s.replace(start, std::string::npos, name ? name : "");
        Assign(s);
    } else {
        AppendComponent(name ? name : "");
    }
}

void PathBase::GetBaseName(String& out) const
{
    const char* s = GetText();
    int start = NameStart(s);
    int dot = ExtensionDot(s);
    int end = dot >= 0 ? dot : Len(s);
    out.Assign(std::string(s + start, s + end).c_str());
}

void PathBase::SetBaseName(const String& name) { SetBaseName(name.GetString()); }

void PathBase::SetBaseName(const char* name)
{
    std::string s(GetText());
    int start = NameStart(s.c_str());
    int dot = ExtensionDot(s.c_str());
    int end = dot >= 0 ? dot : (int)s.size();
    if (end > start) {
        s.replace(start, end - start, name ? name : "");
        Assign(s);
    } else {
        AppendComponent(name ? name : "");
    }
}

bool PathBase::HasExtension() const { return ExtensionDot(GetText()) >= 0; }

bool PathBase::HasExtension(const char* extension) const
{
    int dot = ExtensionDot(GetText());
    if (dot < 0 || !extension)
        return false;
    if (extension[0] == '.')
        ++extension;
    return EqualNoCase(GetText() + dot + 1, extension);
}

void PathBase::GetExtension(String& out) const
{
    int dot = ExtensionDot(GetText());
    out.Assign(dot >= 0 ? GetText() + dot + 1 : "");
}

void PathBase::SetExtension(const String& extension) { SetExtension(extension.GetString()); }

void PathBase::SetExtension(const char* extension)
{
    if (!extension)
        extension = "";
    if (extension[0] == '.')
        ++extension;
    std::string s(GetText());
    int dot = ExtensionDot(s.c_str());
    if (*extension) {
        if (dot >= 0)
            s.replace(dot + 1, std::string::npos, extension);
        else if (NameStart(s.c_str()) < (int)s.size())
            s += std::string(".") + extension;
        else
            return;
    } else {
        if (dot < 0)
            return;
        s.erase(dot);
    }
    Assign(s);
}

void PathBase::AppendComponent(const String& component) { AppendComponent(component.GetString()); }

void PathBase::AppendComponent(const char* component)
{
    std::string s(GetText());
    AppendComponentText(s, component ? component : "");
    Assign(s);
}

void PathBase::RemoveLastComponent()
{
    std::string s(GetText());
    RemoveTrailingSeparatorText(s);
    DeleteNameText(s);
    Assign(s);
}

void PathBase::RemoveFileName()
{
    std::string s(GetText());
    DeleteNameText(s);
    RemoveTrailingSeparatorText(s);
    Assign(s);
}

bool PathBase::IsEmpty() const { return GetText()[0] == '\0'; }
bool PathBase::IsAbsolute() const { return IsAbsoluteText(GetText()); }
bool PathBase::HasDriveSpec() const { return HasDriveSpecText(GetText()); }
bool PathBase::IsUNC() const { return IsUNCText(GetText()); }

// ---------------------------------------------------------------------------------------------
// Validation and normalisation

bool PathBase::Validate(bool allowWildcards, String* message) const
{
    const char* error = ValidationError(GetText(), allowWildcards);
    if (!error)
        return true;
    if (message)
        message->Assign(GetTableString("ERR_DESCR", error).Text());
    return false;
}

void PathBase::Validate(bool allowWildcards) const
{
    DynamicString message;
    if (!Validate(allowWildcards, &message))
        ThrowKEExceptionWithText(message, "PathBase::Validate", KE_INVALID_PATHNAME, 0, KE_SOURCE_FILE, __LINE__,
                                 __TIME__);
}

bool PathBase::CollapseDotComponents()
{
    if (!Validate(false, nullptr))
        return true;
    const char* s = GetText();
    bool absolute = IsAbsoluteText(s);
    int top = TopLevelBytes();
    std::string result(s, top);
    bool changed = false, climbs = false;
    int removable = 0;  // components of result beyond the root and the leading ".."
    if (!absolute) {
        std::string first(result);
        RemoveTrailingSeparatorText(first);
        if (first == ".") {
            result.clear();
            changed = true;
        } else if (first == "..") {
            climbs = true;
        } else if (!first.empty()) {
            // The first component of a relative path is its root part: never removed.
        }
    }
    for (const std::string& part : ComponentsFrom(s, top)) {
        if (part == ".") {
            changed = true;
        } else if (part == "..") {
            if (removable > 0) {
                RemoveTrailingSeparatorText(result);
                DeleteNameText(result);
                --removable;
                changed = true;
            } else if (!absolute) {
                AppendComponentText(result, "..");
                climbs = true;
            }
            // Above the root of an absolute path a ".." is dropped, which alone is no rewrite.
        } else {
            AppendComponentText(result, part.c_str());
            ++removable;
        }
    }
    if (changed) {
        // A trailing separator says the path names a directory; keep saying it.
        if (EndsWithSeparatorText(s) && !result.empty() && !EndsWithSeparatorText(result.c_str()))
            result += '\\';
        Assign(result);
    }
    return !climbs;
}

void PathBase::RemoveTrailingSeparator()
{
    std::string s(GetText());
    RemoveTrailingSeparatorText(s);
    if (s.size() != (size_t)GetString().GetByteLength())
        Assign(s);
}

void PathBase::MatchCaseOnDisk(PathBase& out) const
{
    const char* s = GetText();
    if (!IsAbsoluteText(s) || !Validate(false, nullptr)) {
        out.SetPath(*this);
        return;
    }
    int top = TopLevelBytes();
    std::string result(s, top);
    int appended = 0;
    for (const std::string& part : ComponentsFrom(s, top)) {
        if (part == ".")
            continue;
        if (part == "..") {
            if (appended > 0) {
                RemoveTrailingSeparatorText(result);
                DeleteNameText(result);
                --appended;
            }
            continue;
        }
        AppendComponentText(result, part.c_str());
        ++appended;
        // A wildcard would find another entry and put its name in place of this one.
        if (part.find_first_of("*?") != std::string::npos)
            continue;
        // The spelling on disk only when this program can use it: a short name given for a folder
        // whose long name the code page lacks stays a short name.
        WIN32_FIND_DATAW data;
        FindHandle h(FindFirstFileW(WidenPathText(result.c_str()).c_str(), &data));
        std::string name;
        if (h.Valid() && WideToAnsi(data.cFileName, wcslen(data.cFileName), name)) {
            DeleteNameText(result);
            result += name;
        }
    }
    out = result.c_str();
}

void PathBase::RemoveDoubleSeparators()
{
    const char* s = GetText();
    std::string out;
    // Kept per character: the last byte of out may be the trail byte '\\' of a double-byte
    // character, which is no separator.
    int kept = 0;
    bool lastWasSeparator = false;
    for (int i = 0; s[i];) {
        int next = Step(s, i);
        bool separator = s[i] == '\\';
        // The first two characters are never merged: a UNC prefix stays.
        bool skip = separator && kept >= 2 && lastWasSeparator;
        if (!skip) {
            out.append(s + i, s + next);
            ++kept;
            lastWasSeparator = separator;
        }
        i = next;
    }
    if (out != s)
        Assign(out);
}

int PathBase::TopLevelBytes() const { return TopLevelOf(GetText()); }

int PathBase::GetTopLevel() const { return CharCount(GetText(), 0, TopLevelBytes()); }

bool PathBase::SkipComponents(int start, int count, int& length) const
{
    const char* s = GetText();
    int from = BytesOfChars(s, start);
    int i = from;
    for (int n = 0; n < count; ++n) {
        if (!s[i])
            return false;
        int sep = FindByte(s, i, '\\');
        i = sep < 0 ? Len(s) : sep + 1;
    }
    length = CharCount(s, from, i);
    return true;
}

int PathBase::GetComponentCount() const
{
    if (!Validate(false, nullptr))
        return -1;
    return 1 + (int)ComponentsFrom(GetText(), TopLevelBytes()).size();
}

bool PathBase::EndsWithComponentsOf(const PathBase& other) const
{
    std::vector<std::string> mine = ComponentsFrom(GetText(), 0);
    std::vector<std::string> theirs = ComponentsFrom(other.GetText(), 0);
    if (mine.empty() || mine.size() > theirs.size())
        return false;
    auto a = mine.rbegin();
    auto b = theirs.rbegin();
    for (; a != mine.rend(); ++a, ++b) {
        if (!EqualNoCase(*a, *b))
            return false;
    }
    return true;
}

bool PathBase::GetLeadingComponents(int count, PathBase& out) const
{
    if (count < 1 || IsEmpty())
        return false;
    const char* s = GetText();
    int top = TopLevelBytes();
    int i = top;
    for (int n = 0; n < count - 1; ++n) {
        if (!s[i])
            return false;
        int sep = FindByte(s, i, '\\');
        i = sep < 0 ? Len(s) : sep + 1;
    }
    std::string result(s, i);
    RemoveTrailingSeparatorText(result);
    out = result.c_str();
    return true;
}

bool PathBase::MakeRelativeTo(const PathBase& base, String& out) const
{
    if (!base.IsParentOf(*this, true))
        return false;
    std::string baseText(base.GetText());
    RemoveTrailingSeparatorText(baseText);
    const char* s = GetText() + baseText.size();
    if (*s == '\\')
        ++s;
    out.Assign(s);
    return true;
}

bool PathBase::IsParentOf(const PathBase& child, bool strict) const
{
    if (!IsAbsolute() || !child.IsAbsolute())
        return false;
    int mine = GetComponentCount(), theirs = child.GetComponentCount();
    if (mine < 0 || theirs < 0 || mine > theirs || (strict && mine == theirs))
        return false;
    DynamicPath leading;
    if (!child.GetLeadingComponents(mine, leading))
        return false;
    std::string self(GetText());
    RemoveTrailingSeparatorText(self);
    return EqualNoCase(leading.GetText(), self.c_str());
}

bool PathBase::IsTailOf(const PathBase& absolute) const
{
    if (EndsWithSeparator() || absolute.EndsWithSeparator() || IsAbsolute() || !absolute.IsAbsolute())
        return false;
    return EndsWithComponentsOf(absolute);
}

int PathBase::GetDepth() const
{
    const char* s = GetText();
    if (!IsAbsoluteText(s))
        return 0;
    int start = HasDriveSpecText(s) ? 3 : IsUNCText(s) ? TopLevelBytes() : 1;
    int parts = 1;
    for (int i = start; s[i]; i = Step(s, i)) {
        if (s[i] == '\\')
            ++parts;
    }
    return parts;
}

void PathBase::GetPrefix(int count, String& out) const
{
    const char* s = GetText();
    if (count < 1 || !IsAbsoluteText(s)) {
        out.Empty();
        return;
    }
    bool unc = IsUNCText(s);
    int i = HasDriveSpecText(s) ? 3 : unc ? TopLevelBytes() : 1;
    for (int n = 0; n < count; ++n) {
        int sep = FindByte(s, i, '\\');
        if (sep < 0) {
            out.Assign(s);
            return;
        }
        if (n == count - 1) {
            // Below a network share the prefix keeps its separator.
            out.Assign(std::string(s, unc ? sep + 1 : sep).c_str());
            return;
        }
        i = sep + 1;
    }
}

const char* PathBase::GetForwardSlashPath() const
{
    static DynamicString* buffer = new DynamicString;
    const char* s = GetText();
    std::string result;
    if (*s && IsAbsoluteText(s)) {
        if (HasDriveSpecText(s)) {
            result = "/";
            result += s[0];
            result += s + 2;
        } else {
            result = s;
        }
        for (int i = 0; i < (int)result.size(); i = Step(result.c_str(), i)) {
            if (result[i] == '\\')
                result[i] = '/';
        }
    }
    buffer->Assign(result.c_str());
    return buffer->GetString();
}

void PathBase::ExpandEnvironmentVariables(bool onlyIfExists)
{
    wchar_t wide[MAX_PATH];
    DWORD n = ExpandEnvironmentStringsW(WidenPathText(GetText()).c_str(), wide, MAX_PATH);
    // A result that does not fit is not a path to keep half of; one that the code page cannot
    // hold is not kept as a look-alike either.
    std::string expanded;
    if (n == 0 || n > MAX_PATH || !WideToAnsi(wide, n - 1, expanded) || expanded.size() >= MAX_PATH)
        return;
    if (onlyIfExists && !DynamicPath(expanded.c_str()).Exists(PATH_KIND_ANY))
        return;
    SetPath(expanded.c_str());
}

LongPathText PathBase::ConvertForLongPathCalls() const
{
    static const std::wstring plainPrefix = L"\\\\?\\";
    static const std::wstring uncPrefix = L"\\\\?\\UNC\\";
    const char* s = GetText();
    bool unc = IsUNCText(s);
    const char* rest = unc ? s + 2 : s;
    std::wstring wide = WidenPathText(rest);
    if (wide.empty() && *rest)
        ThrowKEException(nullptr, "PathBase::ConvertForLongPathCalls", KE_OUT_OF_MEMORY, 0, KE_SOURCE_FILE, __LINE__,
                         __TIME__);
    try {
        return std::make_shared<const std::wstring>((unc ? uncPrefix : plainPrefix) + wide);
    } catch (const std::bad_alloc&) {
        ThrowKEException(nullptr, "PathBase::ConvertForLongPathCalls", KE_OUT_OF_MEMORY, 0, KE_SOURCE_FILE, __LINE__,
                         __TIME__);
    }
}

// ---------------------------------------------------------------------------------------------
// File operations

bool PathBase::DirectoryExists(bool self) const
{
    if (self)
        return Exists(PATH_KIND_DIRECTORY);
    DynamicString directory;
    GetDirectory(directory);
    return DynamicPath(directory).Exists(PATH_KIND_DIRECTORY);
}

bool PathBase::DirectoryExistsLong(bool self) const
{
    if (self)
        return ExistsLong(PATH_KIND_DIRECTORY);
    DynamicString directory;
    GetDirectory(directory);
    return DynamicPath(directory).ExistsLong(PATH_KIND_DIRECTORY);
}

bool PathBase::DeleteFileIfExists(bool keepReadOnly) const { return DeleteFileImpl(*this, keepReadOnly, false); }
bool PathBase::DeleteFileIfExistsLong(bool keepReadOnly) const { return DeleteFileImpl(*this, keepReadOnly, true); }
bool PathBase::FileExists() const { return Exists(PATH_KIND_FILE); }
bool PathBase::FileExistsLong() const { return ExistsLong(PATH_KIND_FILE); }
bool PathBase::Exists(int kind) const { return ExistsAs(*this, false, kind); }
bool PathBase::ExistsLong(int kind) const { return ExistsAs(*this, true, kind); }

uint64_t PathBase::GetFileSizeLarge() const
{
    const char* function = "PathBase::GetFileSizeLarge";
    if (!IsAbsolute() || !Validate(false, nullptr))
        ThrowKEException(nullptr, function, KE_FILE_NOT_FOUND, 0, KE_SOURCE_FILE, __LINE__, __TIME__);
    FileHandle h(CreateFileA(GetText(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!h.Valid())
        ThrowSystemError(function, GetLastError(), __LINE__);
    DWORD high = 0;
    // 0xFFFFFFFF is also a valid low part: only the last error tells a failure apart.
    SetLastError(0);
    DWORD low = GetFileSize(h.Get(), &high);
    if (low == INVALID_FILE_SIZE && GetLastError() != 0)
        ThrowSystemError(function, GetLastError(), __LINE__);
    return ((uint64_t)high << 32) | low;
}

uint32_t PathBase::GetFileSizeT() const
{
    uint64_t size = GetFileSizeLarge();
    if (size >> 32)
        ThrowKEException(nullptr, "PathBase::GetFileSizeT", KE_UINT32_OVERFLOW, 0, KE_SOURCE_FILE, __LINE__, __TIME__);
    return (uint32_t)size;
}

bool PathBase::IsReadOnly() const
{
    DWORD a = GetFileAttributesA(GetText());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_READONLY);
}

int PathBase::SetReadOnly(bool readOnly) const
{
    DWORD a = GetFileAttributesA(GetText());
    if (a == INVALID_FILE_ATTRIBUTES)
        return -1;
    a = readOnly ? (a | FILE_ATTRIBUTE_READONLY) : (a & ~FILE_ATTRIBUTE_READONLY);
    return SetFileAttributesA(GetText(), a);
}

bool PathBase::FindFile(const char* name, int kind, bool recursive, PathBase* out, bool longListing,
                        const PathFilter* filter) const
{
    DynamicPath candidate(*this);
    candidate.AppendComponent(name);
    if (candidate.Exists(kind)) {
        DynamicPath found(candidate);
        found.CollapseDotComponents();
        bool accepted = true;
        if (filter && filter->GetFilterText() && filter->GetFilterText()[0]) {
            DynamicString text;
            filter->GetTextForPath(found, text);
            accepted = text.Compare(filter->GetFilterText(), true) == 0;
        }
        if (accepted) {
            if (out)
                *out = found;
            return true;
        }
    }
    return recursive && FindFileInSubdirectories(name, kind, out, longListing, filter);
}

bool PathBase::FindFileInSubdirectories(const char* name, int kind, PathBase* out, bool longListing,
                                        const PathFilter* filter) const
{
    for (const ListedEntry& entry : ListDirectory(*this, "*", longListing)) {
        if (!(entry.attributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        DynamicPath sub(*this);
        sub.AppendComponent(entry.name.c_str());
        if (sub.FindFile(name, kind, true, out, longListing, filter))
            return true;
    }
    return false;
}

void PathBase::MakeAllDirectoriesInPathName(bool lastIsDirectory) const
{
    MakeAllDirectories(*this, lastIsDirectory, false);
}

void PathBase::MakeAllDirectoriesInPathNameLong(bool lastIsDirectory) const
{
    MakeAllDirectories(*this, lastIsDirectory, true);
}

void PathBase::CopyFileTo(const PathBase& destination, bool overwrite) const
{
    DynamicPath target(destination);
    if (destination.DirectoryExists(true)) {
        DynamicString name;
        GetFileName(name);
        target.AppendComponent(name);
    }
    if (!CopyFileA(GetText(), target.GetText(), !overwrite)) {
        DWORD error = GetLastError();
        ThrowDescribed("PathBase::CopyFileTo", ErrorCodeFromSystemError(error), error, __LINE__, "COPY_FILE_FAILED",
                       GetText(), target.GetText());
    }
}

void PathBase::MoveFileTo(const PathBase& destination, bool overwrite) const
{
    DynamicPath target(destination);
    if (destination.DirectoryExists(true)) {
        DynamicString name;
        GetFileName(name);
        target.AppendComponent(name);
    }
    if (!MoveFileExA(GetText(), target.GetText(), overwrite ? MOVEFILE_REPLACE_EXISTING : 0)) {
        DWORD error = GetLastError();
        ThrowDescribed("PathBase::MoveFileTo", ErrorCodeFromSystemError(error), error, __LINE__, "MOVE_FILE_FAILED",
                       GetText(), target.GetText());
    }
}

int PathBase::CompareFileTime(const PathBase& other) const
{
    const char* function = "PathBase::CompareFileTime";
    if (!FileExists())
        ThrowDescribed(function, KE_FILE_NOT_FOUND, 0, __LINE__, "CANT_FIND_FILE", GetText());
    if (!other.FileExists())
        ThrowDescribed(function, KE_FILE_NOT_FOUND, 0, __LINE__, "CANT_FIND_FILE", other.GetText());
    FILETIME mine = ReadFileTime(*this, PATH_TIME_LAST_WRITE, function);
    FILETIME theirs = ReadFileTime(other, PATH_TIME_LAST_WRITE, function);
    return ::CompareFileTime(&mine, &theirs);
}

void PathBase::GetFileTime(FILETIME& out, int which) const
{
    out = ReadFileTime(*this, which, "PathBase::GetFileTime");
}

bool PathBase::RemoveDir(int flags) const
{
    DynamicPath root(*this);
    root.RemoveTrailingSeparator();
    if (!root.Exists(PATH_KIND_DIRECTORY))
        return false;
    std::vector<DynamicPath> files, directories;
    ListTree(root, files, directories);
    bool empty = files.empty() && directories.empty();
    if ((flags & (REMOVE_DIR_ONLY_IF_EMPTY | REMOVE_DIR_ONLY_IF_EMPTY_STRICT)) && !empty) {
        if ((flags & REMOVE_DIR_RAISE_IF_NOT_EMPTY) && (flags & REMOVE_DIR_ONLY_IF_EMPTY_STRICT))
            ThrowDescribed("PathBase::RemoveDir", KE_OPERATION_FAILED, 0, __LINE__, "REMOVE_DIR_FAILED_NON_EMPTY",
                           root.GetText());
        return false;
    }
    for (const DynamicPath& file : files)
        file.DeleteFileIfExists((flags & REMOVE_DIR_KEEP_READ_ONLY_FILES) != 0);
    // Listed parents first, so the reverse order removes children before their parents.
    for (auto it = directories.rbegin(); it != directories.rend(); ++it)
        RemoveDirectoryOrThrow(*it);
    RemoveDirectoryOrThrow(root);
    return true;
}

// ---------------------------------------------------------------------------------------------
// Exported functions

bool CompareFileContents(const char* path1, const char* path2)
{
    QvBinaryFileStream first(path1, 0.0);
    QvBinaryFileStream second(path2, 0.0);
    uint64_t size = first.GetLargeSize();
    if (size != second.GetLargeSize())
        return false;
    if (size == 0)
        return true;
    const uint32_t kBlock = 4096;
    std::vector<char> a(kBlock), b(kBlock);
    for (uint64_t done = 0; done < size;) {
        uint32_t n = (uint32_t)std::min<uint64_t>(kBlock, size - done);
        first.ReadBytes(a.data(), n, KE_IO_ERROR);
        second.ReadBytes(b.data(), n, KE_IO_ERROR);
        if (memcmp(a.data(), b.data(), n) != 0)
            return false;
        done += n;
    }
    return true;
}

extern "C" int __stdcall IsValidPath(const char* text, int allowWildcards)
{
    if (!text || strlen(text) >= MAX_PATH)
        return 0;
    try {
        Path path(text);
        return path.Validate(allowWildcards != 0, nullptr) ? 1 : 0;
    } catch (...) {
        return 0;
    }
}

// A C++ exception must not cross into a caller of another module or language: it would end
// that process. Failures become 0 with the system error in the thread's last error.
extern "C" int __stdcall FilesAreIdentical(const char* path1, const char* path2)
{
    if (!path1 || !path2) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    try {
        return CompareFileContents(path1, path2) ? 1 : 0;
    } catch (const KEException& e) {
        SetLastError(e.GetAPIErrorCode() ? (DWORD)e.GetAPIErrorCode() : ERROR_OPEN_FAILED);
        return 0;
    } catch (...) {
        SetLastError(ERROR_OPEN_FAILED);
        return 0;
    }
}
