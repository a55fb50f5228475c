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

// The file's lines written with one kind of line end, or with CR LF, LF and a lone CR in turn.
std::string Joined(const std::vector<std::string>& lines, const char* lineEnd) {
    static const char* const mixed[] = {"\r\n", "\r", "\n"};
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i) text += lines[i] + (lineEnd ? lineEnd : mixed[i % 3]);
    return text;
}

// The ANSI text in the encodings the profile reader tells by their byte-order marks.
enum class Encoding { Ansi, Utf16LittleEndian, Utf16BigEndian, Utf8 };
std::string Encoded(const std::string& ansi, Encoding encoding) {
    if (encoding == Encoding::Ansi) return ansi;
    std::wstring wide(ansi.size(), L'\0');
    wide.resize(static_cast<size_t>(
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0], static_cast<int>(wide.size()))));
    std::string bytes;
    if (encoding == Encoding::Utf8) {
        bytes.resize(wide.size() * 3);
        bytes.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                                             &bytes[0], static_cast<int>(bytes.size()), nullptr, nullptr)));
        return "\xEF\xBB\xBF" + bytes;
    }
    bool big = encoding == Encoding::Utf16BigEndian;
    bytes = big ? "\xFE\xFF" : "\xFF\xFE";
    for (wchar_t c : wide) {
        char high = static_cast<char>((c >> 8) & 0xFF), low = static_cast<char>(c & 0xFF);
        bytes += big ? std::string{high, low} : std::string{low, high};
    }
    return bytes;
}
}  // namespace

TEST(ProfileText, AgreesWithTheProfileReader) {
    const bool cp932 = GetACP() == 932;
    // Double-byte names and values whose trail bytes are '\\', '[' , ']' and '|' under 932.
    const std::string dbcs = cp932 ? "\x95\x5C\x81\x5B\x81\x5D\x83\x7C" : "\xE9\xE8";
    const std::vector<std::string> lines = {
        "before=the first section",
        "[Plain]",
        "a=value",
        "  b  =  blanks around  ",
        "c=\t tabs\t",
        "d=\"double quoted \"",
        "e='single quoted'",
        "f=\"mismatched'",
        "g=\"",
        "h=",
        "i=a=b;c",
        "j",
        "; k=comment",
        "A=first of two",
        "l=\"\"",
        "m=x \x1A",
        "[plain]",
        "n=in the second section of the name",
        "[ Spaced ]",
        "o=spaced header",
        "[Spaced]",
        "p=plain header",
        "[" + dbcs + "]",
        dbcs + "=" + dbcs,
        "q=" + dbcs + "\\",
        "[Open",
        "r=after an open header",
        "s=a value ; with what looks like a comment",
    };
    const std::vector<std::pair<std::string, std::string>> lookups = {
        {"Plain", "a"}, {"plain", "B"}, {"Plain", "c"}, {"Plain", "d"}, {"Plain", "e"}, {"Plain", "f"},
        {"Plain", "g"}, {"Plain", "h"}, {"Plain", "i"}, {"Plain", "j"}, {"Plain", "k"}, {"Plain", "; k"},
        {"Plain", "a"}, {"Plain", "l"}, {"Plain", "m"}, {"Plain", "n"}, {"Spaced", "o"}, {"Spaced", "p"},
        {" Spaced ", "o"}, {dbcs, dbcs}, {dbcs, "q"}, {"Open", "r"}, {"[Open", "r"}, {"", "before"},
        {"Plain", "missing"}, {"Missing", "a"}, {"Open", "s"},
    };
    struct Form {
        const char* name;
        const char* lineEnd;  // nullptr: CR LF, a lone CR and LF in turn
        Encoding encoding;
    };
    const Form forms[] = {
        {"ANSI, CR LF", "\r\n", Encoding::Ansi},
        {"ANSI, LF", "\n", Encoding::Ansi},
        {"ANSI, CR", "\r", Encoding::Ansi},
        {"ANSI, mixed line ends", nullptr, Encoding::Ansi},
        {"UTF-16 little-endian", "\r\n", Encoding::Utf16LittleEndian},
        {"UTF-16 big-endian", "\r\n", Encoding::Utf16BigEndian},
        {"UTF-16 big-endian, mixed line ends", nullptr, Encoding::Utf16BigEndian},
        {"UTF-8 with its byte-order mark", "\r\n", Encoding::Utf8},
    };
    test::TempFolder folder("profile");
    std::string path = folder / "test.ini";
    for (const Form& form : forms) {
        test::WriteFile(path, Encoded(Joined(lines, form.lineEnd), form.encoding));
        ProfileText profile;
        ASSERT_EQ(profile.Load(path), static_cast<DWORD>(ERROR_SUCCESS)) << form.name;
        for (size_t i = 0; i < lookups.size(); ++i) {
            const auto& l = lookups[i];
            bool found = false;
            std::string expected = PlatformValue(path, l.first.c_str(), l.second.c_str(), found);
            const ProfileEntry* entry = profile.Find(l.first.c_str(), l.second.c_str());
            // A value is present exactly when the platform finds the key, empty values included
            // ("h=", "l=\"\"", "g=\""): an empty command is told from a missing one by this. A key
            // without '=' is an entry without a value here, which Wine's reader does not find and
            // Windows' reads as empty.
            if (entry && !entry->hasValue) {
                EXPECT_TRUE(!found || expected.empty())
                    << form.name << ", row " << i << " [" << l.first << "] " << l.second;
            } else {
                EXPECT_EQ(entry != nullptr, found) << form.name << ", row " << i << " [" << l.first << "] " << l.second;
            }
            if (entry && found) {
                EXPECT_EQ(entry->value, expected) << form.name << ", row " << i << " [" << l.first << "] " << l.second;
            }
        }
        // Line numbers as an editor shows them, whatever the line ends: the key "a" of the first
        // [Plain] stands on line 3, "A" (its duplicate) on 14, the spaced header on line 19.
        ASSERT_NE(profile.Find("Plain", "a"), nullptr) << form.name;
        EXPECT_EQ(profile.Find("Plain", "a")->line, 3) << form.name;
        int duplicate = 0;
        for (const ProfileEntry& e : profile.FindSection("Plain")->entries)
            if (e.key == "A") duplicate = e.line;
        EXPECT_EQ(duplicate, 14) << form.name;
        ASSERT_NE(profile.FindSection("Spaced"), nullptr) << form.name;
        EXPECT_EQ(profile.FindSection("Spaced")->line, 19) << form.name;
    }
}
