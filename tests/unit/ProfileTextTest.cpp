// The checker's line reader against the platform's profile reader on the same files: for every
// key it must find the value GetPrivateProfileStringA returns (or find nothing when that reader
// returns nothing), or its line numbers would name lines a run never reads.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "checker/ProfileText.h"
#include "support/TestSupport.h"

namespace {
std::string PlatformValue(const std::string& path, const char* section, const char* key, bool& found) {
    char buffer[4096];
    // A default that no file holds tells "missing" from "empty".
    DWORD n = GetPrivateProfileStringA(section, key, "\x01missing", buffer, sizeof buffer, path.c_str());
    found = !(n == 8 && std::string(buffer) == "\x01missing");
    return std::string(buffer, n);
}
}  // namespace

TEST(ProfileText, AgreesWithTheProfileReader) {
    const bool cp932 = GetACP() == 932;
    // Double-byte names and values whose trail bytes are '\\', '[' , ']' and '|' under 932.
    const std::string dbcs = cp932 ? "\x95\x5C\x81\x5B\x81\x5D\x83\x7C" : "\xE9\xE8";
    const std::string file =
        "before=the first section\r\n"
        "[Plain]\r\n"
        "a=value\r\n"
        "  b  =  blanks around  \r\n"
        "c=\t tabs\t\r\n"
        "d=\"double quoted \"\r\n"
        "e='single quoted'\r\n"
        "f=\"mismatched'\r\n"
        "g=\"\r\n"
        "h=\r\n"
        "i=a=b;c\r\n"
        "j\r\n"
        "; k=comment\r\n"
        "A=first of two\r\n"
        "l=\"\"\r\n"
        "m=x \x1A\r\n"
        "[plain]\r\n"
        "n=in the second section of the name\r\n"
        "[ Spaced ]\r\n"
        "o=spaced header\r\n"
        "[Spaced]\r\n"
        "p=plain header\r\n"
        "[" + dbcs + "]\r\n" +
        dbcs + "=" + dbcs + "\r\n"
        "q=" + dbcs + "\\\r\n"
        "[Open\r\n"
        "r=after an open header\r\n";
    const std::vector<std::pair<std::string, std::string>> lookups = {
        {"Plain", "a"}, {"plain", "B"}, {"Plain", "c"}, {"Plain", "d"}, {"Plain", "e"}, {"Plain", "f"},
        {"Plain", "g"}, {"Plain", "h"}, {"Plain", "i"}, {"Plain", "j"}, {"Plain", "k"}, {"Plain", "; k"},
        {"Plain", "a"}, {"Plain", "l"}, {"Plain", "m"}, {"Plain", "n"}, {"Spaced", "o"}, {"Spaced", "p"},
        {" Spaced ", "o"}, {dbcs, dbcs}, {dbcs, "q"}, {"Open", "r"}, {"[Open", "r"}, {"", "before"},
        {"Plain", "missing"}, {"Missing", "a"},
    };
    test::TempFolder folder("profile");
    std::string path = folder / "test.ini";
    test::WriteFile(path, file);
    ProfileText profile;
    ASSERT_EQ(profile.Load(path), static_cast<DWORD>(ERROR_SUCCESS));
    for (size_t i = 0; i < lookups.size(); ++i) {
        const auto& l = lookups[i];
        bool found = false;
        std::string expected = PlatformValue(path, l.first.c_str(), l.second.c_str(), found);
        const ProfileEntry* entry = profile.Find(l.first.c_str(), l.second.c_str());
        // A value is present exactly when the platform finds the key, empty values included ("h=",
        // "l=\"\"", "g=\""): an empty command is told from a missing one by this. A key without
        // '=' is an entry without a value here, which Wine's reader does not find and Windows'
        // reads as empty.
        if (entry && !entry->hasValue) {
            EXPECT_TRUE(!found || expected.empty()) << "row " << i << " [" << l.first << "] " << l.second;
        } else {
            EXPECT_EQ(entry != nullptr, found) << "row " << i << " [" << l.first << "] " << l.second;
        }
        if (entry && found) EXPECT_EQ(entry->value, expected) << "row " << i << " [" << l.first << "] " << l.second;
    }
    // Line numbers: the key "a" of the first [Plain] stands on line 3, "A" (its duplicate) on 14,
    // the spaced header on line 19.
    ASSERT_NE(profile.Find("Plain", "a"), nullptr);
    EXPECT_EQ(profile.Find("Plain", "a")->line, 3);
    int duplicate = 0;
    for (const ProfileEntry& e : profile.FindSection("Plain")->entries)
        if (e.key == "A") duplicate = e.line;
    EXPECT_EQ(duplicate, 14);
    ASSERT_NE(profile.FindSection("Spaced"), nullptr);
    EXPECT_EQ(profile.FindSection("Spaced")->line, 19);
}
