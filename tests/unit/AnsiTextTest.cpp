// The one conversion from the wide side of Windows into the ANSI code page, under the code page
// the program runs with (1252, and 932 in the second registration): exact or refused, never a
// look-alike; and what the run makes of a folder or a command file that holds such characters.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "AnsiText.h"
#include "KEException.h"
#include "REGISTRY.h"
#include "macros/DirectoryMacroTable.h"
#include "runner/CommandFile.h"
#include "support/TestSupport.h"

using namespace test;

namespace {
bool Dbcs() { return GetACP() == 932; }

std::string Show(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        char hex[8];
        std::snprintf(hex, sizeof hex, c >= 0x20 && c < 0x7F ? "%c" : "\\x%02X", c);
        out += hex;
    }
    return out;
}

// A UTF-16 file with its byte-order mark, as an editor saves a command file "in Unicode".
void WriteUtf16(const std::string& path, const std::wstring& text) {
    std::string bytes("\xFF\xFE", 2);
    for (wchar_t c : text) {
        bytes += static_cast<char>(c & 0xFF);
        bytes += static_cast<char>((c >> 8) & 0xFF);
    }
    WriteFile(path, bytes);
}
}  // namespace

TEST(AnsiText, ConvertsExactlyOrSaysItCannotNeverALookAlike) {
    // exact: whether the code page holds the text; the best-fit look-alike that must never appear.
    struct Case { const wchar_t* wide; bool sbcs; bool dbcs; const char* lookAlike; };
    const Case cases[] = {
        {L"C:\\Kit", true, true, nullptr},
        {L"evil\xFF5Ckit", false, true, "evil|kit"},   // fullwidth '|': one double-byte character in 932
        {L"q\xFF02q", false, true, "q\"q"},
        {L"a\xFF3C" L"b", false, true, "a\\b"},
        {L"x\x00AD" L"y", true, false, "x-y"},          // the soft hyphen of CVE-2024-4577
        {L"\x00A5" L"100", true, false, "\\100"},       // under 932 the yen sign's look-alike is the separator
        {L"\x0141\x00F3" L"d\x017A", false, false, "L\xF3" "dz"},
        {L"\x0416", false, true, nullptr},
        {L"\x65E5\x672C", false, true, nullptr},
        {L"smile \xD83D\xDE00", false, false, nullptr},  // a pair of surrogates: one character
        {L"half \xD800 pair", false, false, nullptr},    // an unpaired surrogate is no character
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        std::wstring wide = c.wide;
        std::string out = "junk";
        bool exact = WideToAnsi(wide, out);
        EXPECT_EQ(exact, Dbcs() ? c.dbcs : c.sbcs) << "row " << i << ": " << Show(out);
        if (exact) {
            EXPECT_EQ(Widen(out), wide) << "row " << i;
        } else {
            if (c.lookAlike) {
                EXPECT_NE(out, c.lookAlike) << "row " << i;
            }
            EXPECT_NE(out.find('?'), std::string::npos) << "row " << i << ": the default character stands in: " << Show(out);
            EXPECT_NE(FirstUnrepresentable(wide), 0u) << "row " << i;
        }
    }
    // The code pages that take no flags (UTF-8) are held to the same round trip.
    std::string utf8;
    EXPECT_TRUE(WideToAnsi(std::wstring(L"\x0141\xD83D\xDE00"), utf8, CP_UTF8));
    EXPECT_EQ(utf8, "\xC5\x81\xF0\x9F\x98\x80");
    EXPECT_FALSE(WideToAnsi(std::wstring(L"a\xDC00"), utf8, CP_UTF8));
}

TEST(AnsiText, MessagesNameTheCharactersTheCodePageLacks) {
    EXPECT_EQ(AnsiForMessage(L"C:\\Kit"), "C:\\Kit");
    EXPECT_EQ(AnsiForMessage(L"evil\xFF5Ckit"), Dbcs() ? "evil\x81\x62kit" : "evil[U+FF5C]kit");
    EXPECT_EQ(AnsiForMessage(L"App \x0141\x00F3" L"d\x017A"),
              Dbcs() ? "App [U+0141][U+00F3]d[U+017A]" : "App [U+0141]\xF3" "d[U+017A]");
    EXPECT_EQ(AnsiForMessage(L"smile \xD83D\xDE00"), "smile [U+1F600]");
    EXPECT_EQ(FirstUnrepresentable(L"ok \x0141"), 0x141u);
    EXPECT_EQ(FirstUnrepresentable(L"ok"), 0u);
}

// A folder the code page lacks is used by its short name when it has one: that name reaches the
// folder itself and no look-alike. One without a short name (here: one that does not exist) is
// refused. Wine makes an ASCII short name for every name that is not a valid 8.3 ASCII name.
TEST(AnsiText, AFolderIsUsedByItsShortNameOrRefused) {
    TempFolder base("ansi");
    std::wstring real = Widen(base.Path()) + L"\\App \x0141\x00F3" L"d\x017A";
    MakeDirsW(real);
    WriteFileW(real + L"\\here.txt", "x");
    std::string lookAlike = BestFit(real);
    MakeDirs(lookAlike);

    AnsiPath found = AnsiPath::FromWide(real);
    EXPECT_EQ(found.GetKind(), AnsiPath::ShortName);
    EXPECT_TRUE(FileExists(found.Text() + "\\here.txt")) << found.Text();
    EXPECT_NE(found.Text(), lookAlike);
    EXPECT_EQ(found.Wide(), real);
    EXPECT_NE(found.Shown().find("[U+0141]"), std::string::npos) << found.Shown();

    AnsiPath missing = AnsiPath::FromWide(real + L"\\sub \x0141");
    EXPECT_TRUE(missing.IsRefused());
    EXPECT_EQ(missing.Text(), "");

    AnsiPath plain = AnsiPath::FromWide(Widen(base.Path()));
    EXPECT_EQ(plain.GetKind(), AnsiPath::Exact);
    EXPECT_EQ(plain.Text(), base.Path());
}

// A refused directory is registered as such: a command that uses it is named, left as written,
// and nothing else changes; a short name is noted once however many macros have it.
TEST(AnsiText, TheMacroTableRefusesWhatItCannotNameAndNotesShortNames) {
    TempFolder base("ansi");
    std::wstring temp = Widen(base.Path()) + L"\\tmp \x0141";
    MakeDirsW(temp);
    std::wstring install = Widen(base.Path()) + L"\\missing \x0141";
    DirectoryMacroTable table(AnsiPath::FromAnsi(base.Path()), AnsiPath::FromWide(temp), AnsiPath::FromWide(install));

    DynamicString command("run \"<InstallationDir>\\x\" \"<Temp>\\y\" <WinDir>", true);
    int refused = -2;
    table.ExpandMacros(command, &refused);
    ASSERT_GE(refused, 0);
    EXPECT_STREQ(table.Name(refused).GetString(), "<InstallationDir>");
    EXPECT_TRUE(table.IsRefused(refused));
    EXPECT_NE(table.RefusedDirectory(refused).find("missing [U+0141]"), std::string::npos);
    std::string expanded = command.GetString();
    EXPECT_NE(expanded.find("\"<InstallationDir>\\x\""), std::string::npos) << expanded;
    EXPECT_EQ(expanded.find("<Temp>"), std::string::npos) << expanded;
    EXPECT_EQ(expanded.find("<WinDir>"), std::string::npos) << expanded;

    DynamicString other("<Temp>", true);
    table.ExpandMacros(other, &refused);
    EXPECT_EQ(refused, -1);
    EXPECT_TRUE(FileExists(other.GetString())) << "the short name reaches the folder: " << other.GetString();

    ASSERT_EQ(table.ShortNameNotes().size(), 1u);
    EXPECT_EQ(table.ShortNameNotes()[0].label, "<Temp>");
    EXPECT_NE(table.ShortNameNotes()[0].directory.find("tmp [U+0141]"), std::string::npos);
}

// A command file saved as UTF-16: the profile reader's ANSI form hands "cmd Ł" out as "cmd L" and
// U+FF5C as '|'. The run's reader reads it wide: the command is refused and shown as meant.
TEST(AnsiText, ACommandFileInUtf16IsReadWithoutBestFit) {
    Kit kit;
    MakeDirs(kit.Dir() + "\\Setup");
    WriteUtf16(kit.Dir() + "\\Setup\\CustCmds.ini",
               L"[CustomCommands]\r\nCommands_0=cmd /c echo \x0141\xFF5C" L"x\r\nCommands_1=cmd /c echo ok\r\n");
    SetBaseDirectory(kit.Dir());
    DirectoryMacroTable macros{DynamicString(), DynamicString(), DynamicString()};
    std::vector<std::string> list, refusals;
    bool reboot = false;
    ASSERT_EQ(ReadCommandList(list, reboot, macros, &refusals), 2);
    ASSERT_EQ(refusals.size(), 2u);
    EXPECT_EQ(list[0], Dbcs() ? "cmd /c echo [U+0141]\x81\x62x" : "cmd /c echo [U+0141][U+FF5C]x");
    EXPECT_NE(refusals[0].find("cannot represent"), std::string::npos) << refusals[0];
    EXPECT_EQ(list[1], "cmd /c echo ok");
    EXPECT_EQ(refusals[1], "");

    std::string value;
    bool exact = true;
    ReadCommandFileValue("CustomCommands", "Commands_0", value, &exact);
    EXPECT_FALSE(exact);
    EXPECT_EQ(value.find('L'), std::string::npos) << Show(value);
    EXPECT_EQ(value.find('|'), std::string::npos) << Show(value);
}

// Registry strings are read wide: a value the code page cannot hold is no value (the framework's
// readers say why), its wide text is there for a short name, and a name that matches only as a
// look-alike is another value.
TEST(AnsiText, RegistryStringsAreReadWithoutBestFit) {
    const std::string key = "Software\\Sarnik-test-ansi-" + std::to_string(GetCurrentProcessId());
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    auto set = [&](const wchar_t* name, const std::wstring& data) {
        RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
    };
    set(L"\xFF3A\xFF31\xFF24\xFF29\xFF32", L"C:\\planted");  // "ZQDIR" in fullwidth letters
    set(L"Dir", L"C:\\App \x0141\x00F3" L"d\x017A");
    RegCloseKey(handle);

    DynamicString text("unchanged");
    LONG found = ReadMachineRegistryString(key.c_str(), "ZQDIR", text);
    EXPECT_EQ(found, ERROR_NO_MORE_ITEMS) << text.GetString();
    EXPECT_STREQ(text.GetString(), "unchanged");
    EXPECT_EQ(ReadMachineRegistryString(key.c_str(), "dir", text), ERROR_NO_UNICODE_TRANSLATION);
    EXPECT_STREQ(text.GetString(), "unchanged");
    std::wstring wide;
    EXPECT_EQ(ReadMachineRegistryString(key.c_str(), "dir", wide), ERROR_SUCCESS);
    EXPECT_EQ(wide, L"C:\\App \x0141\x00F3" L"d\x017A");

    bool raised = false;
    try {
        QvRegistry::GetStringValueIfExists(HKEY_LOCAL_MACHINE, key.c_str(), "Dir", text);
    } catch (const KEException& e) {
        raised = e.GetAPIErrorCode() == ERROR_NO_UNICODE_TRANSLATION;
    }
    EXPECT_TRUE(raised) << "a text the code page cannot hold is no value to go on with";
    EXPECT_STREQ(text.GetString(), "unchanged");
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
}
