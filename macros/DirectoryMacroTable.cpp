#include "macros/DirectoryMacroTable.h"

#include <windows.h>
#include <shlobj.h>

#include <mbctype.h>

#include <cstring>
#include <new>
#include <string>

#include "DirectoryGetter.h"
#include "ErrorTables.h"
#include "KEException.h"
#include "REGISTRY.h"
#include "scan/CharScan.h"

namespace {
const char kCurrentVersionKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
const char kRelease[] = "2016 (32-bit)";

// Every source is read wide: its ANSI form is converted with best fit, a look-alike of the
// directory that may name another one (AnsiText.h). Values longer than MAX_PATH are read whole
// into a larger buffer rather than skipped: a long directory is still a directory.
template <typename Call>
bool ReadWhole(Call call, std::wstring& out) {
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD n = call(&buffer[0], static_cast<DWORD>(buffer.size()));
    if (n >= buffer.size()) {
        buffer.assign(n + 1, L'\0');
        n = call(&buffer[0], static_cast<DWORD>(buffer.size()));
        if (n >= buffer.size()) return false;
    }
    if (n == 0) return false;
    out.assign(buffer.c_str());
    return true;
}

bool Environment(const wchar_t* name, std::wstring& out) {
    return ReadWhole([name](wchar_t* b, DWORD n) { return ::GetEnvironmentVariableW(name, b, n); }, out);
}

bool ShellFolder(int csidl, std::wstring& out) {
    wchar_t buffer[MAX_PATH] = L"";
    if (FAILED(::SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) return false;
    out = buffer;
    return true;
}

// A machine registry value in the given view, found with the framework's case-insensitive
// lookup. A missing key counts like a missing value: most machines have no setup engine key,
// and a kit that never uses "<ZQDir>" must not fail for it. Other failures (a key that cannot
// be read) still raise and end the run in order.
bool MachineValue(const char* key, const char* name, REGSAM view, std::wstring& out) {
    LONG status;
    try {
        status = ReadMachineRegistryString(key, name, out, view);
    } catch (const KEException& e) {
        if (e.GetErrorCode() == KE_REGISTRY_ITEM_NOT_FOUND) return false;
        throw;
    }
    return status == ERROR_SUCCESS;
}

// The value less one trailing backslash, as StripTrailingBackslash leaves a buffer.
std::wstring WithoutTrailingBackslash(std::wstring s) {
    if (s.size() >= 2 && s.back() == L'\\') s.pop_back();
    return s;
}

void StripTrailing(std::string& s) {
    DirectoryMacroTable::StripTrailingBackslash(&s[0]);
    s.resize(std::strlen(s.c_str()));
}

// Start of the last character of a terminated text, stepping over double-byte characters so
// that a trail byte equal to "\\" is never taken for a separator; sets count to the number of
// characters.
const char* LastCharacter(const char* text, int& count) {
    const char* last = nullptr;
    count = 0;
    for (const char* p = text; *p; ++count) {
        last = p;
        p += (_ismbblead(static_cast<unsigned char>(*p)) && p[1]) ? 2 : 1;
    }
    return last;
}
}  // namespace

const char* const kDirectoryMacroNames[] = {
    "<WinDir>",     "<SystemDrive>", "<WinSystem>",   "<WinSystem32>", "<ZQDir>",
    "<QvPublic>",   "<QvAppData>",   "<ProgramFiles>", "<InstallerDir>", "<Temp>",
    "<UserProfile>", "<PersonalDir>", "<ProgramMenu>", "<DesktopDir>",  "<SysWOW64>",
    "<StartupDir>", "<AllUsersProfile>", "<Quelvaran>", "<InstallationDir>",
};
const size_t kDirectoryMacroNameCount = sizeof kDirectoryMacroNames / sizeof kDirectoryMacroNames[0];

void DirectoryMacroTable::AddProductDirectories(bool createDirectories) {
    // Failures here (a public directory that cannot be created) are not caught: they end the run.
    // The getter takes its folders wide and exactly itself, or raises.
    DirectoryGetter getter;
    Path publicDir, appData;
    if (createDirectories)
        getter.GetGlobalQuelvaranPublicDirectory(publicDir, kRelease, "16.0", kProductRegistryView);
    else
        getter.FindGlobalQuelvaranPublicDirectory(publicDir, kRelease, "16.0", kProductRegistryView);
    if (publicDir.Validate(false, nullptr)) AddMacro("<QvPublic>", publicDir.GetText());
    getter.GetQuelvaranCommonAppDataDirectory(appData, kRelease);
    if (appData.Validate(false, nullptr)) AddMacro("<QvAppData>", appData.GetText());
}

std::string DirectoryMacroTable::PublicDirectory() {
    DirectoryGetter getter;
    Path publicDir;
    getter.FindGlobalQuelvaranPublicDirectory(publicDir, kRelease, "16.0", kProductRegistryView);
    std::string dir = publicDir.GetText();
    StripTrailing(dir);
    return dir;
}

DirectoryMacroTable::DirectoryMacroTable(const AnsiPath& baseDir, const AnsiPath& tempDir, const AnsiPath& installDir,
                                         bool createDirectories) {
    Build(baseDir, tempDir, installDir, createDirectories);
}

DirectoryMacroTable::DirectoryMacroTable(DynamicString baseDir, DynamicString tempDir, DynamicString installDir,
                                         bool createDirectories) {
    Build(AnsiPath::FromAnsi(baseDir.GetString()), AnsiPath::FromAnsi(tempDir.GetString()),
          AnsiPath::FromAnsi(installDir.GetString()), createDirectories);
}

void DirectoryMacroTable::Build(const AnsiPath& baseDir, const AnsiPath& tempDir, const AnsiPath& installDir,
                                bool createDirectories) {
    std::wstring value;

    // 1-3: the Windows directory, its drive and its 16-bit system folder.
    std::wstring windows;
    if (ReadWhole([](wchar_t* b, DWORD n) { return ::GetWindowsDirectoryW(b, n); }, windows)) {
        AnsiPath path = AnsiPath::FromWide(WithoutTrailingBackslash(windows));
        AddPath("<WinDir>", path);
        if (path.IsRefused()) {
            AddRefused("<SystemDrive>", path);
            AddRefused("<WinSystem>", AnsiPath::FromWide(WithoutTrailingBackslash(windows) + L"\\system"));
        } else {
            // The first two characters, not bytes.
            const std::string& text = path.Text();
            size_t two = 0;
            for (int n = 0; n < 2 && two < text.size(); ++n) two += CharWidthAt(text, two);
            AddMacro("<SystemDrive>", text.substr(0, two).c_str());
            AddMacro("<WinSystem>", (text + "\\system").c_str());
        }
    }
    if (ShellFolder(CSIDL_SYSTEM, value)) AddPath("<WinSystem32>", AnsiPath::FromWide(value));
    // The setup engine's folder, as the maker's 32-bit setup engine wrote it.
    if (MachineValue("SOFTWARE\\Brontell\\Common\\Installer", "ZQDIR", kProductRegistryView, value))
        AddPath("<ZQDir>", AnsiPath::FromWide(value));

    AddProductDirectories(createDirectories);

    // Windows' own folder of programs of this program's architecture.
    if (Environment(L"ProgramFiles", value) || MachineValue(kCurrentVersionKey, "ProgramFilesDir", kOwnRegistryView, value))
        AddPath("<ProgramFiles>", AnsiPath::FromWide(value));
    AddProgramFilesMacro(IsRunningUnderWow64() ? 0 : 1);

    if (ReadWhole([](wchar_t* b, DWORD n) { return ::GetCurrentDirectoryW(n, b); }, value))
        AddPath("<InstallerDir>", AnsiPath::FromWide(value));
    if (!tempDir.Wide().empty()) AddPath("<Temp>", tempDir);
    if (Environment(L"USERPROFILE", value)) {
        AnsiPath profile = AnsiPath::FromWide(WithoutTrailingBackslash(value));
        AddPath("<UserProfile>", profile);
        // The user profile, not the documents folder: kits rely on this.
        AddPath("<PersonalDir>", profile);
    }
    if (ShellFolder(CSIDL_COMMON_PROGRAMS, value)) AddPath("<ProgramMenu>", AnsiPath::FromWide(value));
    if (ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY, value)) AddPath("<DesktopDir>", AnsiPath::FromWide(value));
    if (ShellFolder(CSIDL_SYSTEMX86, value)) AddPath("<SysWOW64>", AnsiPath::FromWide(value));
    if (ShellFolder(CSIDL_COMMON_STARTUP, value)) AddPath("<StartupDir>", AnsiPath::FromWide(value));
    if (Environment(L"ALLUSERSPROFILE", value)) AddPath("<AllUsersProfile>", AnsiPath::FromWide(value));
    if (!baseDir.Wide().empty()) AddPath("<Quelvaran>", baseDir, "The kit folder");
    if (!installDir.Wide().empty()) AddPath("<InstallationDir>", installDir);
}

void DirectoryMacroTable::AddPath(const char* name, const AnsiPath& path, const char* label) {
    if (path.IsRefused()) {
        AddRefused(name, path);
        return;
    }
    if (path.GetKind() == AnsiPath::ShortName) {
        bool noted = false;
        for (const std::wstring& w : m_noted) noted = noted || w == path.Wide();
        if (!noted) {
            m_noted.push_back(path.Wide());
            m_notes.push_back({*label ? label : name, path.Shown(), path.Text()});
        }
    }
    AddMacro(name, path.Text().c_str());
}

void DirectoryMacroTable::AddRefused(const char* name, const AnsiPath& path) {
    size_t before = m_names.size();
    try {
        m_names.emplace_back(name, true);
        m_values.emplace_back();
        m_refused.push_back(true);
        m_shown.push_back(path.Shown());
    } catch (...) {
        // Out of memory: every list goes back to its previous length.
        m_names.resize(before);
        m_values.resize(before);
        m_refused.resize(before);
        m_shown.resize(before);
    }
}

bool DirectoryMacroTable::AddMacro(const char* name, const char* value) {
    size_t before = m_names.size();
    try {
        DynamicString v(value, true);
        if (v.GetLength() >= 2 && v.GetLastChar() == '\\') v.Delete(v.GetLength() - 1, 1);
        m_names.emplace_back(name, true);
        m_values.push_back(v);
        m_refused.push_back(false);
        m_shown.emplace_back();
        return true;
    } catch (...) {
        // Out of memory: every list goes back to its previous length.
        m_names.resize(before);
        m_values.resize(before);
        m_refused.resize(before);
        m_shown.resize(before);
        return false;
    }
}

void DirectoryMacroTable::AddProgramFilesMacro(int kind) {
    std::wstring value;
    if (kind == 0) {
        if (Environment(L"ProgramFiles(x86)", value) ||
            MachineValue(kCurrentVersionKey, "ProgramFilesDir (x86)", kOwnRegistryView, value))
            AddPath("<ProgramFiles>", AnsiPath::FromWide(value));
    } else if (kind == 1) {
        if (Environment(L"ProgramFiles", value) || MachineValue(kCurrentVersionKey, "ProgramFilesDir", kOwnRegistryView, value))
            AddPath("<ProgramFiles>", AnsiPath::FromWide(value));
    }
}

bool DirectoryMacroTable::IsRunningUnderWow64() {
    BOOL wow64 = FALSE;
    return ::IsWow64Process(::GetCurrentProcess(), &wow64) && wow64 == TRUE;
}

void DirectoryMacroTable::StripTrailingBackslash(char* buffer) {
    int count = 0;
    const char* last = LastCharacter(buffer, count);
    if (count >= 2 && *last == '\\' && last[1] == '\0') buffer[last - buffer] = '\0';
}

int DirectoryMacroTable::ExpandMacros(String& text, int* refused) const {
    DynamicString work(text);
    int total = 0;
    if (refused) *refused = -1;
    for (size_t i = 0; i < m_names.size(); ++i) {
        if (!m_refused[i]) {
            total += work.ReplaceAll(m_names[i], m_values[i], true, true);
            continue;
        }
        // Found by the same whole-word search that would replace it, and left as written.
        if (refused && *refused < 0 && work.ReplaceAll(m_names[i], m_names[i], true, true) > 0)
            *refused = static_cast<int>(i);
    }
    if (total != 0) text.Assign(work);
    return total;
}
