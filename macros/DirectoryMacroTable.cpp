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

// Values longer than MAX_PATH are read whole into a larger buffer rather than skipped: a
// long directory is still a directory.
template <typename Call>
bool ReadWhole(Call call, std::string& out) {
    std::string buffer(MAX_PATH, '\0');
    DWORD n = call(&buffer[0], static_cast<DWORD>(buffer.size()));
    if (n >= buffer.size()) {
        buffer.assign(n + 1, '\0');
        n = call(&buffer[0], static_cast<DWORD>(buffer.size()));
        if (n >= buffer.size()) return false;
    }
    if (n == 0) return false;
    out.assign(buffer.c_str());
    return true;
}

bool Environment(const char* name, std::string& out) {
    return ReadWhole([name](char* b, DWORD n) { return ::GetEnvironmentVariableA(name, b, n); }, out);
}

bool ShellFolder(int csidl, std::string& out) {
    char buffer[MAX_PATH] = "";
    if (FAILED(::SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, buffer))) return false;
    out = buffer;
    return true;
}

// A machine registry value in the given view, found with the framework's case-insensitive
// lookup. A missing key counts like a missing value: most machines have no setup engine key,
// and a kit that never uses "<ZQDir>" must not fail for it. Other failures (a key that cannot
// be read) still raise and end the run in order.
bool MachineValue(const char* key, const char* name, REGSAM view, std::string& out) {
    DynamicString value;
    LONG status;
    try {
        status = ReadMachineRegistryString(key, name, value, view);
    } catch (const KEException& e) {
        if (e.GetErrorCode() == KE_REGISTRY_ITEM_NOT_FOUND) return false;
        throw;
    }
    if (status != ERROR_SUCCESS) return false;
    out = value.GetString();
    return true;
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

DirectoryMacroTable::DirectoryMacroTable(DynamicString baseDir, DynamicString tempDir, DynamicString installDir,
                                         bool createDirectories) {
    std::string value;

    // 1-3: the Windows directory, its drive and its 16-bit system folder.
    std::string windows;
    if (ReadWhole([](char* b, DWORD n) { return ::GetWindowsDirectoryA(b, n); }, windows)) {
        StripTrailing(windows);
        AddMacro("<WinDir>", windows.c_str());
        // The first two characters, not bytes.
        size_t two = 0;
        for (int n = 0; n < 2 && two < windows.size(); ++n) two += CharWidthAt(windows, two);
        AddMacro("<SystemDrive>", windows.substr(0, two).c_str());
        AddMacro("<WinSystem>", (windows + "\\system").c_str());
    }
    if (ShellFolder(CSIDL_SYSTEM, value)) AddMacro("<WinSystem32>", value.c_str());
    // The setup engine's folder, as the maker's 32-bit setup engine wrote it.
    if (MachineValue("SOFTWARE\\Brontell\\Common\\Installer", "ZQDIR", kProductRegistryView, value))
        AddMacro("<ZQDir>", value.c_str());

    AddProductDirectories(createDirectories);

    // Windows' own folder of programs of this program's architecture.
    if (Environment("ProgramFiles", value) || MachineValue(kCurrentVersionKey, "ProgramFilesDir", kOwnRegistryView, value))
        AddMacro("<ProgramFiles>", value.c_str());
    AddProgramFilesMacro(IsRunningUnderWow64() ? 0 : 1);

    if (ReadWhole([](char* b, DWORD n) { return ::GetCurrentDirectoryA(n, b); }, value))
        AddMacro("<InstallerDir>", value.c_str());
    if (!tempDir.IsEmpty()) AddMacro("<Temp>", tempDir);
    if (Environment("USERPROFILE", value)) {
        StripTrailing(value);
        AddMacro("<UserProfile>", value.c_str());
        // The user profile, not the documents folder: kits rely on this.
        AddMacro("<PersonalDir>", value.c_str());
    }
    if (ShellFolder(CSIDL_COMMON_PROGRAMS, value)) AddMacro("<ProgramMenu>", value.c_str());
    if (ShellFolder(CSIDL_COMMON_DESKTOPDIRECTORY, value)) AddMacro("<DesktopDir>", value.c_str());
    if (ShellFolder(CSIDL_SYSTEMX86, value)) AddMacro("<SysWOW64>", value.c_str());
    if (ShellFolder(CSIDL_COMMON_STARTUP, value)) AddMacro("<StartupDir>", value.c_str());
    if (Environment("ALLUSERSPROFILE", value)) AddMacro("<AllUsersProfile>", value.c_str());
    if (!baseDir.IsEmpty()) AddMacro("<Quelvaran>", baseDir);
    if (!installDir.IsEmpty()) AddMacro("<InstallationDir>", installDir);
}

bool DirectoryMacroTable::AddMacro(const char* name, const char* value) {
    size_t before = m_names.size();
    try {
        DynamicString v(value, true);
        if (v.GetLength() >= 2 && v.GetLastChar() == '\\') v.Delete(v.GetLength() - 1, 1);
        m_names.emplace_back(name, true);
        m_values.push_back(v);
        return true;
    } catch (...) {
        // Out of memory: both lists go back to their previous length.
        m_names.resize(before);
        m_values.resize(before);
        return false;
    }
}

void DirectoryMacroTable::AddProgramFilesMacro(int kind) {
    std::string value;
    if (kind == 0) {
        if (Environment("ProgramFiles(x86)", value) ||
            MachineValue(kCurrentVersionKey, "ProgramFilesDir (x86)", kOwnRegistryView, value))
            AddMacro("<ProgramFiles>", value.c_str());
    } else if (kind == 1) {
        if (Environment("ProgramFiles", value) || MachineValue(kCurrentVersionKey, "ProgramFilesDir", kOwnRegistryView, value))
            AddMacro("<ProgramFiles>", value.c_str());
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

int DirectoryMacroTable::ExpandMacros(String& text) const {
    DynamicString work(text);
    int total = 0;
    for (size_t i = 0; i < m_names.size(); ++i) total += work.ReplaceAll(m_names[i], m_values[i], true, true);
    if (total != 0) text.Assign(work);
    return total;
}
