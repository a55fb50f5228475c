#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "macros/DirectoryMacroTable.h"
#include "unit/AppCodePage.h"

namespace {
std::string Expand(const DirectoryMacroTable& table, const char* text, int* count = nullptr) {
    DynamicString s(text, true);
    int n = table.ExpandMacros(s);
    if (count) *count = n;
    return s.GetString();
}

std::string Env(const char* name) {
    char b[32768];
    DWORD n = GetEnvironmentVariableA(name, b, sizeof b);
    return n ? std::string(b, n) : std::string();
}

std::string ShellDir(int csidl) {
    char b[MAX_PATH] = "";
    SHGetFolderPathA(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, b);
    return b;
}

// The 64-bit world is met by running these tests in a 64-bit prefix, which says so.
bool ExpectWow64() { return Env("SARNIK_EXPECT_WOW64") == "1"; }

std::string NoTrailingBackslash(std::string s) {
    if (s.size() >= 2 && s.back() == '\\') s.pop_back();
    return s;
}
}  // namespace

TEST(MacroTable, EachMacroIsThePlatformsAnswer) {
    DirectoryMacroTable table(DynamicString("C:\\Kit\\", true), DynamicString("C:\\Tmp", true),
                              DynamicString("D:\\", true));
    char windows[MAX_PATH], current[MAX_PATH];
    GetWindowsDirectoryA(windows, MAX_PATH);
    GetCurrentDirectoryA(MAX_PATH, current);
    struct Case { const char* macro; std::string expected; };
    const Case cases[] = {
        {"<WinDir>", NoTrailingBackslash(windows)},
        {"<SystemDrive>", std::string(windows, 2)},
        {"<WinSystem>", NoTrailingBackslash(windows) + "\\system"},
        {"<WinSystem32>", ShellDir(CSIDL_SYSTEM)},
        {"<ProgramFiles>", Env("ProgramFiles")},
        {"<InstallerDir>", NoTrailingBackslash(current)},
        {"<Temp>", "C:\\Tmp"},
        {"<UserProfile>", NoTrailingBackslash(Env("USERPROFILE"))},
        {"<PersonalDir>", NoTrailingBackslash(Env("USERPROFILE"))},
        {"<ProgramMenu>", ShellDir(CSIDL_COMMON_PROGRAMS)},
        {"<DesktopDir>", ShellDir(CSIDL_COMMON_DESKTOPDIRECTORY)},
        {"<SysWOW64>", ShellDir(CSIDL_SYSTEMX86)},
        {"<StartupDir>", ShellDir(CSIDL_COMMON_STARTUP)},
        {"<AllUsersProfile>", NoTrailingBackslash(Env("ALLUSERSPROFILE"))},
        {"<QvPublic>", ShellDir(CSIDL_COMMON_DOCUMENTS) + "\\Brontell\\Quelvaran 2016 (32-bit)"},
        {"<QvAppData>", ShellDir(CSIDL_COMMON_APPDATA) + "\\Brontell\\Quelvaran 2016 (32-bit)"},
        {"<Quelvaran>", "C:\\Kit"},          // without its trailing backslash
        {"<InstallationDir>", "D:"},         // a drive root becomes the bare drive
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        ASSERT_FALSE(cases[i].expected.empty()) << "row " << i << ": the platform has no answer for " << cases[i].macro;
        EXPECT_EQ(_stricmp(Expand(table, cases[i].macro).c_str(), cases[i].expected.c_str()), 0)
            << "row " << i << " " << cases[i].macro << ": " << Expand(table, cases[i].macro);
    }
    EXPECT_EQ(DirectoryMacroTable::IsRunningUnderWow64(), ExpectWow64());
#if defined(_WIN64)
    // The 64-bit program sees the 64-bit world natively: the folder of 64-bit programs, and the
    // 32-bit system files apart in SysWOW64.
    EXPECT_FALSE(ExpectWow64()) << "a 64-bit program never runs under WOW64";
    EXPECT_EQ(_stricmp(Expand(table, "<ProgramFiles>").c_str(), Env("ProgramW6432").c_str()), 0)
        << Expand(table, "<ProgramFiles>");
    EXPECT_EQ(Expand(table, "<ProgramFiles>").find("(x86)"), std::string::npos);
    EXPECT_NE(_stricmp(Expand(table, "<SysWOW64>").c_str(), Expand(table, "<WinSystem32>").c_str()), 0);
#endif
}

TEST(MacroTable, MatchesWholeWordsIgnoringCase) {
    DirectoryMacroTable table(DynamicString("C:\\Kit", true), DynamicString(), DynamicString("C:\\App", true));
    struct Case { const char* text; const char* expected; int count; };
    const Case cases[] = {
        {"<installationdir>\\a.exe", "C:\\App\\a.exe", 1},
        {"\"<INSTALLATIONDIR>\\a b.exe\" <Quelvaran>.", "\"C:\\App\\a b.exe\" C:\\Kit.", 2},
        {"<Quelvaran><Other>", "C:\\Kit<Other>", 1},              // another macro after
        {"x<InstallationDir>", "x<InstallationDir>", 0},         // a letter before
        {"<InstallationDir>_1", "<InstallationDir>_1", 0},       // an underscore after
        {"<InstallationDir>9", "<InstallationDir>9", 0},         // a digit after
        {"<InstallationDir>;<InstallationDir>;<InstallationDir>", "C:\\App;C:\\App;C:\\App", 3},
        {"<Unknown>\\x <Temp>\\y", "<Unknown>\\x <Temp>\\y", 0}, // unknown, and <Temp> not given
        {"", "", 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        int count = -1;
        EXPECT_EQ(Expand(table, cases[i].text, &count), cases[i].expected) << "row " << i;
        EXPECT_EQ(count, cases[i].count) << "row " << i;
    }
}

TEST(MacroTable, TrailingBackslashRules) {
    struct Case { const char* in; const char* out; };
    const Case cases[] = {{"C:\\Dir\\", "C:\\Dir"}, {"C:\\", "C:"}, {"\\", "\\"}, {"", ""}, {"C:\\Dir", "C:\\Dir"}};
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        char buffer[64];
        strcpy(buffer, cases[i].in);
        DirectoryMacroTable::StripTrailingBackslash(buffer);
        EXPECT_STREQ(buffer, cases[i].out) << "row " << i;
    }
    DirectoryMacroTable table(DynamicString("\\", true), DynamicString(), DynamicString());
    EXPECT_EQ(Expand(table, "<Quelvaran>"), "\\");
}

TEST(MacroTable, EnvironmentProgramFilesWins) {
    std::string saved = Env("ProgramFiles");
    SetEnvironmentVariableA("ProgramFiles", "C:\\Elsewhere\\");
    DirectoryMacroTable table{DynamicString(), DynamicString(), DynamicString()};
    SetEnvironmentVariableA("ProgramFiles", saved.c_str());
    EXPECT_EQ(Expand(table, "<ProgramFiles>\\x"), "C:\\Elsewhere\\x");
}

TEST(MacroTable, SetupEngineDirectoryFromTheRegistry) {
    const char* key = "SOFTWARE\\Brontell\\Common\\Installer";
    // Where the maker's 32-bit setup engine writes it (tests/e2e/RegistryViewsTest.cpp has the
    // other view).
    const REGSAM view = KEY_WOW64_32KEY;
    // Most machines have no setup engine key at all: the table is built without "<ZQDir>".
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key, view, 0);
    {
        DirectoryMacroTable table{DynamicString(), DynamicString(), DynamicString()};
        EXPECT_EQ(Expand(table, "<ZQDir>\\x"), "<ZQDir>\\x");
    }
    HKEY h = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &h, nullptr),
              ERROR_SUCCESS);
    struct Case { const char* name; const char* value; const char* expected; };
    const Case cases[] = {
        {"ZQDIR", "C:\\ZQ\\", "C:\\ZQ\\x"},
        {"zqdir", "C:\\ZQ", "C:\\ZQ\\x"},  // the name matches without case
        {"ZQDIR", "", "\\x"},              // an empty value removes the macro
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        RegDeleteValueA(h, "ZQDIR");
        RegSetValueExA(h, cases[i].name, 0, REG_SZ, reinterpret_cast<const BYTE*>(cases[i].value),
                       static_cast<DWORD>(strlen(cases[i].value) + 1));
        DirectoryMacroTable table{DynamicString(), DynamicString(), DynamicString()};
        EXPECT_EQ(Expand(table, "<ZQDir>\\x"), cases[i].expected) << "row " << i;
    }
    RegCloseKey(h);
    RegDeleteKeyExA(HKEY_LOCAL_MACHINE, key, view, 0);
}

TEST(MacroTable, SecondProgramFilesEntryCountsOnlyWithoutTheFirstSource) {
    const char* key = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion";
    std::string savedEnv = Env("ProgramFiles");
    char savedReg[MAX_PATH] = "";
    DWORD size = sizeof savedReg;
    bool hadReg = RegGetValueA(HKEY_LOCAL_MACHINE, key, "ProgramFilesDir", RRF_RT_REG_SZ, nullptr, savedReg, &size) ==
                  ERROR_SUCCESS;

    // Both sources of the first entry gone: only the second entry can expand the macro.
    SetEnvironmentVariableA("ProgramFiles", nullptr);
    RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, key, "ProgramFilesDir");
    std::string expanded;
    {
        DirectoryMacroTable table{DynamicString(), DynamicString(), DynamicString()};
        expanded = Expand(table, "<ProgramFiles>");
    }
    SetEnvironmentVariableA("ProgramFiles", savedEnv.c_str());
    if (hadReg)
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, key, "ProgramFilesDir", REG_SZ, savedReg, static_cast<DWORD>(strlen(savedReg) + 1));

    if (ExpectWow64()) {
        // Under WOW64 the second entry takes the 32-bit (x86) folder.
        ASSERT_FALSE(Env("ProgramFiles(x86)").empty());
        EXPECT_EQ(expanded, NoTrailingBackslash(Env("ProgramFiles(x86)")));
    } else {
        // Natively the second entry reads the same two sources: nothing is left to expand with.
        EXPECT_EQ(expanded, "<ProgramFiles>");
    }
}

class MacroTableCodePage : public AppCodePage {};

TEST_P(MacroTableCodePage, TrailBytesAreNoTrailingBackslash) {
    // "表" is 0x95 0x5C and "ソ" 0x83 0x5C: under 932 a directory ending in them ends in no
    // backslash, under 1252 it does.
    struct Case { const char* in; const char* sbcs; const char* dbcs; };
    const Case cases[] = {
        {"C:\\\x95\x5C", "C:\\\x95", "C:\\\x95\x5C"},
        {"C:\\\x83\x5C\\", "C:\\\x83\x5C", "C:\\\x83\x5C"},
        {"\x83\x5C", "\x83", "\x83\x5C"},
        {"C:\\T\x83", "C:\\T\x83", "C:\\T\x83"},  // a lone lead byte at the very end
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        char buffer[64];
        strcpy(buffer, cases[i].in);
        DirectoryMacroTable::StripTrailingBackslash(buffer);
        EXPECT_STREQ(buffer, Pick(cases[i].sbcs, cases[i].dbcs)) << "row " << i;
    }
    // The caller's directories lose one trailing backslash the same way.
    DirectoryMacroTable table(DynamicString("C:\\\x95\x5C", true), DynamicString("C:\\\x83\x5C\\", true),
                              DynamicString());
    EXPECT_EQ(Expand(table, "<Quelvaran>|<Temp>"),
              Pick<std::string>("C:\\\x95|C:\\\x83\x5C", "C:\\\x95\x5C|C:\\\x83\x5C"));
}

INSTANTIATE_APP_CODE_PAGES(MacroTableCodePage);
