// The path model: validation with its messages, normalisation, components, abbreviation and
// dot components. Pure text; the file operations are in FileOpsTest.cpp.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>

#include "ErrorTables.h"
#include "KEException.h"
#include "PATH.h"
#include "unit/kefwk/FrameworkTestSupport.h"

namespace {

using kefwktest::Show;

// The tables of plain paths run under the default code page and under double-byte 932, where
// every scan must step over whole characters.
class PathCodePage : public kefwktest::CodePageTest {};

std::string Msg(const char* key) { return GetTableString("ERR_DESCR", key).GetString(); }

TEST_P(PathCodePage, ValidationTable)
{
    struct Case { const char* path; bool wild; const char* error; };
    const Case cases[] = {
        // drive paths
        {"C:\\a\\b", false, nullptr},
        {"C:", false, nullptr},
        {"C:\\", false, nullptr},
        {"C:\\a\\", false, nullptr},
        {"C:\\a\\\\b", false, "PATH_HAS_EMPTY_COMPONENT"},
        {"C:\\a\\\\", false, "PATH_HAS_EMPTY_COMPONENT"},
        {"", false, "PATH_IS_EMPTY"},
        {"\\a", false, "PATH_BEGINS_WITH_SEPARATOR"},
        {"a\\b", false, nullptr},
        {".\\..\\a", false, nullptr},
        // wildcards only in the last component, only when allowed
        {"C:\\a\\b*.txt", false, "PATH_HAS_INVALID_CHARS"},
        {"C:\\a\\b*.txt", true, nullptr},
        {"C:\\a\\b?.txt", true, nullptr},
        {"C:\\a*\\b", true, "PATH_HAS_INVALID_CHARS"},
        // each forbidden character
        {"C:\\a<b", false, "PATH_HAS_INVALID_CHARS"},
        {"C:\\a>b", false, "PATH_HAS_INVALID_CHARS"},
        {"C:\\a|b", false, "PATH_HAS_INVALID_CHARS"},
        {"C:\\a/b", false, "PATH_HAS_INVALID_CHARS"},
        {"C:\\a\"b", false, "PATH_HAS_INVALID_CHARS"},
        {"C:\\a\rb", false, "PATH_HAS_INVALID_CHARS"},
        {"C:\\a\nb", false, "PATH_HAS_INVALID_CHARS"},
        {"C:\\a:b", false, "PATH_HAS_INVALID_CHARS"},
        // UNC paths
        {"\\\\", false, "UNC_PATH_MISSING_NETWORK_NAME"},
        {"\\\\srv", false, "UNC_PATH_MISSING_DIRECTORY"},
        {"\\\\srv\\", false, "UNC_PATH_MISSING_DIRECTORY"},
        {"\\\\..\\share", false, "UNC_PATH_INVALID_NETWORK_NAME"},
        {"\\\\.\\share", false, "UNC_PATH_INVALID_NETWORK_NAME"},
        {"\\\\s*v\\share", true, "UNC_PATH_INVALID_NETWORK_NAME"},
        {"\\\\\\share", false, "UNC_PATH_INVALID_NETWORK_NAME"},  // empty server name
        {"\\\\srv\\..", false, "UNC_PATH_INVALID_SHAREDIR"},
        {"\\\\srv\\sh*re", true, "UNC_PATH_INVALID_SHAREDIR"},
        {"\\\\srv\\share", false, nullptr},
        {"\\\\srv\\share\\..", false, nullptr},
        {"\\\\srv\\share\\\\x", false, "PATH_HAS_EMPTY_COMPONENT"},
        // entries inside a library file
        {"C:\\lib.qmx\\a:b", false, nullptr},
        {"C:\\lib.QMX\\a|b", false, nullptr},
        {"C:\\lib.txt\\a:b", false, "PATH_HAS_INVALID_CHARS"},
        {"C:\\lib.qmx\\a:b\\c", false, "PATH_HAS_INVALID_CHARS"},
        {"C:\\lib.qmx\\x:y\\", false, "PATH_HAS_INVALID_CHARS"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        // Raw text: the constructors would insert the separator after a drive.
        DynamicPath path;
        path = c.path;
        StaticString<1024> message("junk");
        bool valid = path.Validate(c.wild, &message);
        std::string expected = c.error ? Msg(c.error) : "junk";
        EXPECT_EQ(c.error == nullptr, valid) << "row " << i << " " << c.path;
        EXPECT_EQ(expected, message.GetString()) << "row " << i << " " << c.path;
        if (c.error) {
            try {
                path.Validate(c.wild);
                ADD_FAILURE() << "row " << i << " did not raise";
            } catch (const KEException& e) {
                EXPECT_EQ(-17204, e.GetErrorCode()) << "row " << i;
                EXPECT_EQ(expected, e.GetDescription()) << "row " << i;
                EXPECT_STREQ("PathBase::Validate", e.GetFunction()) << "row " << i;
            }
        }
    }
    DynamicPath drive;
    drive = "C:a";
    StaticString<256> message;
    EXPECT_FALSE(drive.Validate(false, &message));
    EXPECT_STREQ(Msg("PATH_SEP_MUST_FOLLOW_DRIVE_SPEC").c_str(), message.GetString());
}

TEST(Path, ValidationMessagesHaveTheirTexts)
{
    EXPECT_EQ("Path is empty.", Msg("PATH_IS_EMPTY"));
    EXPECT_EQ("Path separator (\\) must follow drive specification.", Msg("PATH_SEP_MUST_FOLLOW_DRIVE_SPEC"));
    EXPECT_EQ("Path contains two adjacent path separators (\\\\).", Msg("PATH_HAS_EMPTY_COMPONENT"));
    EXPECT_EQ("One or more path components contain invalid characters: (< > | : / \\ \" * ?).",
              Msg("PATH_HAS_INVALID_CHARS"));
    EXPECT_EQ("Path begins with separator (\\).\nPaths must begin with drive specification (C:) or network name "
              "(\\\\machine\\C).",
              Msg("PATH_BEGINS_WITH_SEPARATOR"));
    EXPECT_EQ("Path missing network name.", Msg("UNC_PATH_MISSING_NETWORK_NAME"));
    EXPECT_EQ("Path missing directory name after the network name.", Msg("UNC_PATH_MISSING_DIRECTORY"));
    EXPECT_EQ("Path contains invalid network name.", Msg("UNC_PATH_INVALID_NETWORK_NAME"));
    EXPECT_EQ("Path contains invalid directory name.", Msg("UNC_PATH_INVALID_SHAREDIR"));
}

TEST(Path, IsValidPathExport)
{
    struct Case { std::string text; int wild; int expected; };
    const Case cases[] = {
        {"C:\\a\\b", 0, 1},
        {"C:", 0, 1},
        {"C:dir", 0, 1},  // becomes C:\dir
        {"C:\\a\\*.txt", 0, 0},
        {"C:\\a\\*.txt", 1, 1},
        {"\\a", 0, 0},
        {"C:\\" + std::string(256, 'a'), 0, 1},   // 259 bytes
        {"C:\\" + std::string(257, 'a'), 0, 0},   // 260 bytes: too long whatever it holds
        {"C:\\" + std::string(400, 'a'), 0, 0},
        {"\\" + std::string(300, 'a'), 0, 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(cases[i].expected, IsValidPath(cases[i].text.c_str(), cases[i].wild))
            << "row " << i << " length " << cases[i].text.size();
    EXPECT_EQ(0, IsValidPath(nullptr, 0));
}

TEST(Path, ConstructionNormalisesTheDriveRoot)
{
    struct Case { const char* in; const char* out; };
    const Case cases[] = {
        {"C:", "C:\\"}, {"C:dir", "C:\\dir"}, {"c:\\x", "c:\\x"}, {"\\\\srv\\share", "\\\\srv\\share"},
        {"1:x", "1:x"}, {"", ""}, {"dir\\C:", "dir\\C:"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        EXPECT_STREQ(cases[i].out, Path(cases[i].in).GetText()) << "row " << i;
        EXPECT_STREQ(cases[i].out, DynamicPath(cases[i].in).GetText()) << "row " << i;
        DynamicPath set;
        set.SetPath(cases[i].in);
        EXPECT_STREQ(cases[i].out, set.GetText()) << "row " << i;
    }
    // Assignment and copies keep the text as it is.
    Path assigned;
    assigned = "C:x";
    EXPECT_STREQ("C:x", assigned.GetText());
    EXPECT_STREQ("C:x", DynamicPath(assigned).GetText());
    // The fixed-capacity path keeps 260 bytes; the heap one everything.
    std::string longText = "C:\\" + std::string(400, 'x');
    EXPECT_EQ(260u, strlen(Path(longText.c_str()).GetText()));
    EXPECT_EQ(longText, DynamicPath(longText.c_str()).GetText());
}

TEST_P(PathCodePage, Components)
{
    struct Case { const char* path; const char* name; const char* base; const char* ext; const char* dir; };
    const Case cases[] = {
        {"C:\\a\\b.txt", "b.txt", "b", "txt", "C:\\a"},
        {"C:\\a\\.profile", ".profile", "", "profile", "C:\\a"},
        {"C:\\a\\b.tar.gz", "b.tar.gz", "b.tar", "gz", "C:\\a"},
        {"C:\\a.d\\b", "b", "b", "", "C:\\a.d"},
        {"C:\\a\\", "", "", "", "C:\\a"},
        {"C:\\x", "x", "x", "", "C:\\"},
        {"C:\\", "", "", "", "C:\\"},
        {"\\\\srv\\share\\f.c", "f.c", "f", "c", "\\\\srv\\share"},
        {"name", "name", "name", "", ""},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        DynamicPath p(c.path);
        DynamicString name("junk"), base("junk"), ext("junk"), dir("junk");
        p.GetFileName(name);
        p.GetBaseName(base);
        p.GetExtension(ext);
        p.GetDirectory(dir);
        EXPECT_STREQ(c.name, name.GetString()) << "row " << i;
        EXPECT_STREQ(c.base, base.GetString()) << "row " << i;
        EXPECT_STREQ(c.ext, ext.GetString()) << "row " << i;
        EXPECT_STREQ(c.dir, dir.GetString()) << "row " << i;
        EXPECT_EQ(c.ext[0] != 0, p.HasExtension()) << "row " << i;
    }
    // The extension is looked for in the last 255 characters of the name only.
    std::string longName = "C:\\a\\x." + std::string(255, 'y');
    EXPECT_FALSE(DynamicPath(longName.c_str()).HasExtension());
    std::string fits = "C:\\a\\x." + std::string(254, 'y');
    EXPECT_TRUE(DynamicPath(fits.c_str()).HasExtension());

    DynamicPath p("C:\\a\\b.TXT");
    EXPECT_TRUE(p.HasExtension("txt"));
    EXPECT_TRUE(p.HasExtension(".Txt"));
    EXPECT_FALSE(p.HasExtension("tx"));
}

TEST_P(PathCodePage, Edits)
{
    struct Case { const char* path; void (*edit)(PathBase&); const char* result; };
    const Case cases[] = {
        {"C:\\a\\b.txt", [](PathBase& p) { p.SetExtension("ini"); }, "C:\\a\\b.ini"},
        {"C:\\a\\b.txt", [](PathBase& p) { p.SetExtension(".ini"); }, "C:\\a\\b.ini"},
        {"C:\\a\\b", [](PathBase& p) { p.SetExtension("ini"); }, "C:\\a\\b.ini"},
        {"C:\\a\\", [](PathBase& p) { p.SetExtension("ini"); }, "C:\\a\\"},
        {"C:\\a\\b.txt", [](PathBase& p) { p.SetExtension(""); }, "C:\\a\\b"},
        {"C:\\a\\b.txt", [](PathBase& p) { p.SetFileName("c.dat"); }, "C:\\a\\c.dat"},
        {"C:\\a\\", [](PathBase& p) { p.SetFileName("c.dat"); }, "C:\\a\\c.dat"},
        {"C:\\a\\b.txt", [](PathBase& p) { p.SetBaseName("z"); }, "C:\\a\\z.txt"},
        {"C:\\a\\.txt", [](PathBase& p) { p.SetBaseName("z"); }, "C:\\a\\.txt\\z"},
        {"C:\\a\\b.txt", [](PathBase& p) { p.SetDirectory("D:"); }, "D:\\b.txt"},
        {"C:\\a\\b.txt", [](PathBase& p) { p.SetDirectory("\\\\s\\h\\d\\"); }, "\\\\s\\h\\d\\b.txt"},
        {"C:\\a", [](PathBase& p) { p.AppendComponent("\\b"); }, "C:\\a\\b"},
        {"C:\\", [](PathBase& p) { p.AppendComponent("b"); }, "C:\\b"},
        {"", [](PathBase& p) { p.AppendComponent("b"); }, "b"},
        {"C:\\a\\b\\", [](PathBase& p) { p.RemoveLastComponent(); }, "C:\\a\\"},
        {"C:\\a\\b", [](PathBase& p) { p.RemoveFileName(); }, "C:\\a"},
        {"C:\\a\\", [](PathBase& p) { p.RemoveTrailingSeparator(); }, "C:\\a"},
        {"C:\\", [](PathBase& p) { p.RemoveTrailingSeparator(); }, "C:\\"},
        {"\\", [](PathBase& p) { p.RemoveTrailingSeparator(); }, "\\"},
        {"C:\\a\\\\\\b\\\\c", [](PathBase& p) { p.RemoveDoubleSeparators(); }, "C:\\a\\b\\c"},
        {"\\\\\\\\srv\\\\x", [](PathBase& p) { p.RemoveDoubleSeparators(); }, "\\\\srv\\x"},
        {"C:\\a\\b", [](PathBase& p) { EXPECT_TRUE(p.MakeDirectoryPath(false)); }, "C:\\a\\b\\"},
        {"C:\\a\\b", [](PathBase& p) { EXPECT_TRUE(p.MakeDirectoryPath(true)); }, "C:\\a\\"},
        {"", [](PathBase& p) { EXPECT_FALSE(p.MakeDirectoryPath(false)); }, ""},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        DynamicPath p;
        p = cases[i].path;
        cases[i].edit(p);
        EXPECT_STREQ(cases[i].result, p.GetText()) << "row " << i;
    }
}

TEST_P(PathCodePage, StructureQueries)
{
    struct Case { const char* path; int count; int depth; int top; const char* prefix1; const char* slash; };
    const Case cases[] = {
        {"C:\\a\\b", 3, 2, 3, "C:\\a", "/C/a/b"},
        {"C:\\a\\b\\", 3, 3, 3, "C:\\a", "/C/a/b/"},
        {"C:\\", 1, 1, 3, "C:\\", "/C/"},
        {"\\\\srv\\share\\a\\b", 3, 2, 12, "\\\\srv\\share\\a\\", "//srv/share/a/b"},
        {"\\\\srv\\share", 1, 1, 11, "\\\\srv\\share", "//srv/share"},
        {"a\\b", 2, 0, 2, "", ""},
        {"\\a", -1, 1, 1, "\\a", "/a"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        DynamicPath p(c.path);
        DynamicString prefix("junk");
        p.GetPrefix(1, prefix);
        EXPECT_EQ(c.count, p.GetComponentCount()) << "row " << i;
        EXPECT_EQ(c.depth, p.GetDepth()) << "row " << i;
        EXPECT_EQ(c.top, p.GetTopLevel()) << "row " << i;
        EXPECT_STREQ(c.prefix1, prefix.GetString()) << "row " << i;
        EXPECT_STREQ(c.slash, p.GetForwardSlashPath()) << "row " << i;
    }
    DynamicString prefix;
    DynamicPath("C:\\a\\b\\c").GetPrefix(2, prefix);
    EXPECT_STREQ("C:\\a\\b", prefix.GetString());
    DynamicPath("C:\\a").GetPrefix(5, prefix);
    EXPECT_STREQ("C:\\a", prefix.GetString());

    try {
        DynamicPath("\\\\srv").GetTopLevel();
        ADD_FAILURE() << "no exception";
    } catch (const KEException& e) {
        EXPECT_STREQ("invalid UNC path", e.GetDescription());
        EXPECT_EQ(0, e.GetErrorCode());
    }

    DynamicPath lead;
    EXPECT_TRUE(DynamicPath("C:\\a\\b\\c").GetLeadingComponents(2, lead));
    EXPECT_STREQ("C:\\a", lead.GetText());
    EXPECT_TRUE(DynamicPath("C:\\a\\b\\c").GetLeadingComponents(1, lead));
    EXPECT_STREQ("C:\\", lead.GetText());
    EXPECT_FALSE(DynamicPath("C:\\a").GetLeadingComponents(3, lead));

    DynamicPath parent("C:\\A\\"), child("c:\\a\\b\\c.txt");
    EXPECT_TRUE(parent.IsParentOf(child, true));
    EXPECT_TRUE(parent.IsParentOf(DynamicPath("C:\\a"), false));
    EXPECT_FALSE(parent.IsParentOf(DynamicPath("C:\\a"), true));
    EXPECT_FALSE(parent.IsParentOf(DynamicPath("C:\\ab\\c"), true));
    DynamicString relative("junk");
    EXPECT_TRUE(child.MakeRelativeTo(parent, relative));
    EXPECT_STREQ("b\\c.txt", relative.GetString());
    EXPECT_TRUE(child.MakeRelativeTo(DynamicPath("C:\\"), relative));
    EXPECT_STREQ("a\\b\\c.txt", relative.GetString());
    EXPECT_FALSE(parent.MakeRelativeTo(child, relative));

    // Tails of absolute paths.
    EXPECT_TRUE(DynamicPath("B\\c.txt").IsTailOf(child));
    EXPECT_FALSE(DynamicPath("x\\c.txt").IsTailOf(child));
    EXPECT_FALSE(DynamicPath("b\\").IsTailOf(child));
    EXPECT_FALSE(DynamicPath("C:\\b\\c.txt").IsTailOf(child));
    EXPECT_TRUE(DynamicPath("a\\b\\c.txt").EndsWithComponentsOf(DynamicPath("x\\a\\b\\c.txt")));
    EXPECT_FALSE(DynamicPath("y\\a\\b\\c.txt").EndsWithComponentsOf(DynamicPath("a\\b\\c.txt")));

    EXPECT_TRUE(DynamicPath("C:\\A\\b") == "c:\\a\\B");
    EXPECT_TRUE(DynamicPath("C:\\A\\b") != DynamicPath("c:\\a\\c"));
    EXPECT_TRUE(DynamicPath("C:\\a") < DynamicPath("c:\\B"));
}

TEST_P(PathCodePage, Abbreviation)
{
    struct Case { const char* path; int maximum; const char* result; };
    const Case cases[] = {
        {"C:\\a\\b\\c\\d\\file.txt", 16, "C:\\...\\file.txt"},
        {"C:\\a\\b\\c\\d\\file.txt", 17, "C:\\...\\d\\file.txt"},
        {"C:\\a\\b\\c\\d\\file.txt", 19, "C:\\a\\b\\c\\d\\file.txt"},
        {"C:\\a\\b\\c\\d\\file.txt", 15, "file.txt"},   // root + name + 4 reaches the maximum
        {"C:\\a\\b\\c\\d\\file.txt", 5, "file.txt"},    // the name alone, even when longer
        {"\\\\srv\\share\\aa\\bb\\f.c", 20, "\\\\srv\\share\\...\\f.c"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        DynamicString out("junk");
        DynamicPath(cases[i].path).GetAbbreviatedName(cases[i].maximum, out);
        EXPECT_STREQ(cases[i].result, out.GetString()) << "row " << i;
    }
}

#ifndef SARNIK_HOST_BUILD  // fonts and text drawing: Wine only
TEST(Path, AbbreviationByWidth)
{
    DynamicPath p("C:\\Program Files\\Quelvaran\\Some Deep Folder\\Another One\\settings.ini");
    DynamicString wide, narrow, middle;
    p.GetAbbreviatedNameForWidth(5000, wide, nullptr, false);
    EXPECT_STREQ(p.GetText(), wide.GetString());
    p.GetAbbreviatedNameForWidth(150, narrow, nullptr, false);
    std::string n = narrow.GetString();
    EXPECT_LT(n.size(), strlen(p.GetText()));
    EXPECT_NE(std::string::npos, n.find("...")) << n;
    // Path ellipsis keeps the file name whole.
    EXPECT_EQ("settings.ini", n.substr(n.size() - 12)) << n;
    p.GetAbbreviatedNameForWidth(150, middle, nullptr, true);
    EXPECT_NE(std::string::npos, std::string(middle.GetString()).find("...")) << middle.GetString();
}
#endif

TEST_P(PathCodePage, CollapseDotComponents)
{
    struct Case { const char* in; bool result; const char* out; };
    const Case cases[] = {
        {"C:\\a\\.\\b\\..\\c", true, "C:\\a\\c"},
        {"C:\\a\\b\\..\\..\\c", true, "C:\\c"},
        {"C:\\a\\.\\b\\", true, "C:\\a\\b\\"},
        {"..\\a", false, "..\\a"},
        {".\\a\\b", true, "a\\b"},
        {"a\\b\\..\\c", true, "a\\c"},
        {"a\\..\\..\\c", false, "a\\..\\..\\c"},
        {"C:\\..\\a", true, "C:\\..\\a"},       // above the root: dropped only with a rewrite
        {"C:\\..\\.\\a", true, "C:\\a"},
        {"\\\\srv\\share\\a\\..\\b", true, "\\\\srv\\share\\b"},
        {"C:\\a\\\\..", true, "C:\\a\\\\.."},    // not valid: left alone
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        DynamicPath p;
        p = cases[i].in;
        EXPECT_EQ(cases[i].result, p.CollapseDotComponents()) << "row " << i;
        EXPECT_STREQ(cases[i].out, p.GetText()) << "row " << i;
    }
}

// Double-byte characters whose trail byte is '\\' ("表" 0x95 0x5C, "ソ" 0x83 0x5C) or '|' ("ポ"
// 0x83 0x7C), and a lead byte at the very end: in 932 they are one character and no separator; in
// the single-byte page the same bytes are two characters, the second a real separator or bar.
#define HYO "\x95\x5c"
#define SO "\x83\x5c"
#define PO "\x83\x7c"

TEST_P(PathCodePage, TrailBytesAreNoSeparators)
{
    using Op = std::function<std::string(DynamicPath&)>;
    auto validation = [](DynamicPath& p) -> std::string {
        StaticString<1024> message("valid");
        p.Validate(false, &message);
        return message.GetString();
    };
    auto edit = [](void (*f)(PathBase&)) -> Op {
        return [f](DynamicPath& p) -> std::string { f(p); return p.GetText(); };
    };
    auto text = [](void (*f)(const PathBase&, String&)) -> Op {
        return [f](DynamicPath& p) -> std::string { DynamicString out("junk"); f(p, out); return out.GetString(); };
    };
    const std::string emptyComponent = Msg("PATH_HAS_EMPTY_COMPONENT");
    const std::string invalidChars = Msg("PATH_HAS_INVALID_CHARS");
    struct Row { const char* path; Op op; std::string sbcs; std::string dbcs; };
    const Row rows[] = {
        {"C:\\" HYO "\\x", validation, emptyComponent, "valid"},
        {"C:\\" PO, validation, invalidChars, "valid"},
        {"C:\\a" SO, validation, "valid", "valid"},
        {"\\\\" SO "\\share", validation, emptyComponent, "valid"},
        {"C:\\a\\\x95", validation, "valid", "valid"},
        {"C:\\" HYO "\\x", edit([](PathBase& p) { p.RemoveDoubleSeparators(); }), "C:\\\x95\\x", "C:\\" HYO "\\x"},
        {"\\\\" SO "\\x", edit([](PathBase& p) { p.RemoveDoubleSeparators(); }), "\\\\\x83\\x", "\\\\" SO "\\x"},
        {"C:\\a\\" HYO, edit([](PathBase& p) { p.RemoveTrailingSeparator(); }), "C:\\a\\\x95", "C:\\a\\" HYO},
        {"C:\\a" HYO, edit([](PathBase& p) { p.MakeDirectoryPath(false); }), "C:\\a" HYO, "C:\\a" HYO "\\"},
        {"C:\\" HYO, edit([](PathBase& p) { p.AppendComponent("b"); }), "C:\\" HYO "b", "C:\\" HYO "\\b"},
        {"C:\\a\\" HYO "x", edit([](PathBase& p) { p.RemoveFileName(); }), "C:\\a\\\x95", "C:\\a"},
        {"C:\\d\\" SO, text([](const PathBase& p, String& o) { p.GetFileName(o); }), "", SO},
        {"C:\\" HYO "\\f.txt", text([](const PathBase& p, String& o) { p.GetDirectory(o); }), "C:\\\x95\\", "C:\\" HYO},
        {"C:\\" SO ".t" SO, text([](const PathBase& p, String& o) { p.GetExtension(o); }), "", "t" SO},
        // An invalid path (here an empty component between two real separators) counts -1
        // components; a valid one counts its root and each component after it.
        {"C:\\" HYO "\\x", [](DynamicPath& p) { return std::to_string(p.GetComponentCount()); }, "-1", "3"},
        // A trailing separator adds one (empty) part to the depth.
        {"C:\\" HYO, [](DynamicPath& p) { return std::to_string(p.GetDepth()); }, "2", "1"},
        // Every separator becomes a slash, the path untidied: two separators in a row give two
        // slashes.
        {"C:\\" SO "\\x", [](DynamicPath& p) { return std::string(p.GetForwardSlashPath()); }, "/C/\x83//x",
         "/C/" SO "/x"},
        // An invalid path is left as it is.
        {"C:\\" HYO "\\..\\x", edit([](PathBase& p) { p.CollapseDotComponents(); }), "C:\\" HYO "\\..\\x", "C:\\x"},
        // Components after the root are dropped until root, "...\\" and the rest fit; the rest here
        // is the empty component between two real separators and the name: a doubled separator.
        {"C:\\aa\\bb\\" SO "\\file.txt", text([](const PathBase& p, String& o) { p.GetAbbreviatedName(17, o); }),
         "C:\\...\\\\file.txt", "C:\\...\\" SO "\\file.txt"},
    };
    for (size_t i = 0; i < sizeof rows / sizeof rows[0]; ++i) {
        DynamicPath p;
        p = rows[i].path;
        std::string actual = rows[i].op(p);
        const std::string& expected = Dbcs() ? rows[i].dbcs : rows[i].sbcs;
        EXPECT_EQ(Show(expected.c_str()), Show(actual.c_str())) << "row " << i << " " << Show(rows[i].path);
    }
}

INSTANTIATE_TEST_SUITE_P(, PathCodePage, ::testing::Values(0, 932), kefwktest::CodePageName);

TEST(Path, LongPathForm)
{
    EXPECT_EQ(L"\\\\?\\C:\\a\\b", *DynamicPath("C:\\a\\b").ConvertForLongPathCalls());
    EXPECT_EQ(L"\\\\?\\UNC\\srv\\share\\x", *DynamicPath("\\\\srv\\share\\x").ConvertForLongPathCalls());
}

#ifndef SARNIK_HOST_BUILD  // the environment: Wine only
TEST(Path, ExpandEnvironmentVariables)
{
    SetEnvironmentVariableA("SARNIK_TEST_DIR", "C:\\windows");
    DynamicPath p("%SARNIK_TEST_DIR%\\system32");
    p.ExpandEnvironmentVariables(true);
    EXPECT_EQ(0, _stricmp("C:\\windows\\system32", p.GetText())) << p.GetText();
    DynamicPath missing("%SARNIK_TEST_DIR%\\no such folder");
    missing.ExpandEnvironmentVariables(true);
    EXPECT_STREQ("%SARNIK_TEST_DIR%\\no such folder", missing.GetText());
    missing.ExpandEnvironmentVariables(false);
    EXPECT_STREQ("C:\\windows\\no such folder", missing.GetText());
}
#endif

} // namespace
