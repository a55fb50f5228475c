// File operations of paths on real files and folders, long paths, large sparse files and the
// exported comparison.
#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include <string>

#include "ErrorTables.h"
#include "KEException.h"
#include "PATH.h"
#include "support/TestSupport.h"
#include "unit/kefwk/FrameworkTestSupport.h"

namespace {

std::string Describe(const char* key, const std::string& a1, const std::string& a2 = "")
{
    DynamicString text(GetTableString("ERR_DESCR", key).Text());
    text.ReplaceArgument(a1.c_str(), 1);
    if (!a2.empty())
        text.ReplaceArgument(a2.c_str(), 2);
    return text.GetString();
}

using kefwktest::Raised;

TEST(FileOps, ExistenceKinds)
{
    test::TempFolder tmp("paths");
    test::WriteFile(tmp / "f.txt", "x");
    test::MakeDirs(tmp / "d");
    struct Case { std::string path; bool file, dir, any; };
    const Case cases[] = {
        {tmp / "f.txt", true, false, true},
        {tmp / "f.txt\\", true, false, true},     // tested without its trailing separator
        {tmp / "d", false, true, true},
        {tmp / "d\\", false, true, true},
        {tmp / "missing", false, false, false},
        {tmp / "missing\\deeper\\x", false, false, false},
        {"f.txt", false, false, false},             // relative: never touches the disk
        {tmp / "f*.txt", false, false, false},      // wildcards are not a path
        {"C:\\", false, true, true},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        DynamicPath p(cases[i].path.c_str());
        EXPECT_EQ(cases[i].file, p.Exists(PATH_KIND_FILE)) << "row " << i << " " << cases[i].path;
        EXPECT_EQ(cases[i].dir, p.Exists(PATH_KIND_DIRECTORY)) << "row " << i;
        EXPECT_EQ(cases[i].any, p.Exists(PATH_KIND_ANY)) << "row " << i;
        EXPECT_EQ(cases[i].file, p.FileExists()) << "row " << i;
        EXPECT_EQ(cases[i].file, p.ExistsLong(PATH_KIND_FILE)) << "row " << i;
        EXPECT_EQ(cases[i].dir, p.ExistsLong(PATH_KIND_DIRECTORY)) << "row " << i;
        EXPECT_EQ(cases[i].file, p.FileExistsLong()) << "row " << i;
    }
    EXPECT_TRUE(DynamicPath((tmp / "f.txt").c_str()).DirectoryExists(false));
    EXPECT_FALSE(DynamicPath((tmp / "f.txt").c_str()).DirectoryExists(true));
    EXPECT_TRUE(DynamicPath((tmp / "d").c_str()).DirectoryExistsLong(true));
}

TEST(FileOps, DeleteReadOnly)
{
    test::TempFolder tmp("paths");
    DynamicPath missing((tmp / "none.txt").c_str());
    EXPECT_TRUE(missing.DeleteFileIfExists(false));

    for (int longForm = 0; longForm < 2; ++longForm) {
        DynamicPath ro((tmp / "ro.txt").c_str());
        test::WriteFile(ro.GetText(), "x");
        EXPECT_NE(0, ro.SetReadOnly(true));
        EXPECT_TRUE(ro.IsReadOnly());
        KEException e = Raised([&] { longForm ? ro.DeleteFileIfExistsLong(true) : ro.DeleteFileIfExists(true); });
        EXPECT_EQ(Describe("DELETE_FILE_FAILED", ro.GetText()), e.GetDescription()) << longForm;
        EXPECT_EQ(KE_ACCESS_DENIED, e.GetErrorCode()) << longForm;
        EXPECT_EQ(ERROR_ACCESS_DENIED, e.GetAPIErrorCode()) << longForm;
        EXPECT_TRUE(ro.FileExists());
        EXPECT_TRUE(longForm ? ro.DeleteFileIfExistsLong(false) : ro.DeleteFileIfExists(false));
        EXPECT_FALSE(ro.FileExists());
    }
    EXPECT_EQ(-1, missing.SetReadOnly(true));
    EXPECT_FALSE(missing.IsReadOnly());
}

TEST(FileOps, CopyAndMove)
{
    test::TempFolder tmp("paths");
    test::WriteFile(tmp / "src.txt", "source");
    test::MakeDirs(tmp / "into");
    DynamicPath src((tmp / "src.txt").c_str());

    src.CopyFileTo(DynamicPath((tmp / "into").c_str()), false);
    EXPECT_EQ("source", test::ReadFile(tmp / "into\\src.txt"));

    test::WriteFile(tmp / "other.txt", "other");
    DynamicPath other((tmp / "other.txt").c_str());
    KEException e = Raised([&] { src.CopyFileTo(other, false); });
    EXPECT_EQ(Describe("COPY_FILE_FAILED", src.GetText(), other.GetText()), e.GetDescription());
    EXPECT_NE(0, e.GetErrorCode());
    EXPECT_EQ("other", test::ReadFile(other.GetText()));
    src.CopyFileTo(other, true);
    EXPECT_EQ("source", test::ReadFile(other.GetText()));

    test::WriteFile(tmp / "m.txt", "move me");
    DynamicPath m((tmp / "m.txt").c_str());
    KEException me = Raised([&] { m.MoveFileTo(other, false); });
    EXPECT_EQ(Describe("MOVE_FILE_FAILED", m.GetText(), other.GetText()), me.GetDescription());
    m.MoveFileTo(DynamicPath((tmp / "into").c_str()), false);
    EXPECT_FALSE(m.FileExists());
    EXPECT_EQ("move me", test::ReadFile(tmp / "into\\m.txt"));
    DynamicPath((tmp / "into\\m.txt").c_str()).MoveFileTo(other, true);
    EXPECT_EQ("move me", test::ReadFile(other.GetText()));
}

TEST(FileOps, MakeAllDirectories)
{
    test::TempFolder tmp("paths");
    DynamicPath file((tmp / "a\\b\\file.txt").c_str());
    file.MakeAllDirectoriesInPathName(false);
    EXPECT_TRUE(DynamicPath((tmp / "a\\b").c_str()).Exists(PATH_KIND_DIRECTORY));
    EXPECT_FALSE(file.Exists(PATH_KIND_ANY));

    DynamicPath dir((tmp / "x\\y\\z").c_str());
    dir.MakeAllDirectoriesInPathName(true);
    EXPECT_TRUE(dir.Exists(PATH_KIND_DIRECTORY));
    dir.MakeAllDirectoriesInPathName(true);  // all there already

    test::WriteFile(tmp / "blocker", "I am a file");
    DynamicPath blocked((tmp / "blocker\\sub\\f.txt").c_str());
    KEException e = Raised([&] { blocked.MakeAllDirectoriesInPathName(false); });
    EXPECT_EQ(-17206, e.GetErrorCode());
    EXPECT_EQ(Describe("FILE_ALREADY_EXISTS_WITH_PATHNAME", tmp / "blocker"), e.GetDescription());
    EXPECT_STREQ("PathBase::MakeAllDirectoriesInPathName_Impl", e.GetFunction());
    KEException e2 = Raised([&] { blocked.MakeAllDirectoriesInPathNameLong(false); });
    EXPECT_EQ(-17206, e2.GetErrorCode());
}

TEST(FileOps, RemoveDirTrees)
{
    test::TempFolder tmp("paths");
    auto build = [&] {
        test::MakeDirs(tmp / "t\\a\\b");
        test::MakeDirs(tmp / "t\\c");
        test::WriteFile(tmp / "t\\f1", "1");
        test::WriteFile(tmp / "t\\a\\f2", "2");
        test::WriteFile(tmp / "t\\a\\b\\f3", "3");
    };
    build();
    DynamicPath tree((tmp / "t").c_str());
    EXPECT_FALSE(tree.RemoveDir(REMOVE_DIR_ONLY_IF_EMPTY));
    EXPECT_FALSE(tree.RemoveDir(REMOVE_DIR_ONLY_IF_EMPTY_STRICT));
    EXPECT_FALSE(tree.RemoveDir(REMOVE_DIR_ONLY_IF_EMPTY | REMOVE_DIR_RAISE_IF_NOT_EMPTY));
    KEException e = Raised([&] { tree.RemoveDir(REMOVE_DIR_ONLY_IF_EMPTY_STRICT | REMOVE_DIR_RAISE_IF_NOT_EMPTY); });
    EXPECT_EQ(-17500, e.GetErrorCode());
    EXPECT_EQ(Describe("REMOVE_DIR_FAILED_NON_EMPTY", tree.GetText()), e.GetDescription());
    EXPECT_TRUE(test::FileExists(tmp / "t\\a\\b\\f3"));

    // A read-only file and a read-only folder go with the rest.
    DynamicPath((tmp / "t\\a\\f2").c_str()).SetReadOnly(true);
    SetFileAttributesA((tmp / "t\\c").c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(tree.RemoveDir(0));
    EXPECT_FALSE(tree.Exists(PATH_KIND_ANY));
    EXPECT_FALSE(tree.RemoveDir(0));  // gone

    build();
    DynamicPath((tmp / "t\\a\\f2").c_str()).SetReadOnly(true);
    KEException k = Raised([&] { tree.RemoveDir(REMOVE_DIR_KEEP_READ_ONLY_FILES); });
    EXPECT_EQ(Describe("DELETE_FILE_FAILED", tmp / "t\\a\\f2"), k.GetDescription());
    EXPECT_TRUE(test::FileExists(tmp / "t\\a\\f2"));
    DynamicPath((tmp / "t\\a\\f2").c_str()).SetReadOnly(false);

    DynamicPath empty((tmp / "empty").c_str());
    test::MakeDirs(empty.GetText());
    EXPECT_TRUE(empty.RemoveDir(REMOVE_DIR_ONLY_IF_EMPTY_STRICT | REMOVE_DIR_RAISE_IF_NOT_EMPTY));
    EXPECT_FALSE(empty.Exists(PATH_KIND_ANY));
}

TEST(FileOps, LongPaths)
{
    test::TempFolder tmp("paths");
    std::string deep = tmp.Path();
    for (int i = 0; i < 6; ++i)
        deep += "\\" + std::string(60, 'a' + i);
    ASSERT_GT(deep.size(), 300u);
    std::string file = deep + "\\f.bin";
    DynamicPath dir(deep.c_str()), f(file.c_str());

    dir.MakeAllDirectoriesInPathNameLong(true);
    EXPECT_TRUE(dir.ExistsLong(PATH_KIND_DIRECTORY));
    EXPECT_TRUE(f.DirectoryExistsLong(false));
    HANDLE h = CreateFileW(f.ConvertForLongPathCalls()->c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    CloseHandle(h);
    EXPECT_TRUE(f.FileExistsLong());
    EXPECT_FALSE(f.ExistsLong(PATH_KIND_DIRECTORY));
    EXPECT_TRUE(f.DeleteFileIfExistsLong(false));
    EXPECT_FALSE(f.ExistsLong(PATH_KIND_ANY));

    // Remove the chain from the deepest folder up, through the wide calls.
    DynamicPath walk(deep.c_str());
    while (walk.GetDepth() > DynamicPath(tmp.Path().c_str()).GetDepth()) {
        EXPECT_TRUE(RemoveDirectoryW(walk.ConvertForLongPathCalls()->c_str())) << walk.GetText();
        walk.RemoveFileName();
    }
}

TEST(FileOps, SizesOfASparse5GiBFile)
{
    test::TempFolder tmp("paths");
    std::string name = tmp / "big.bin";
    {
        HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        DWORD bytes = 0;
        // Sparse where the file system supports it, so that 5 GiB take no disk space.
        DeviceIoControl(h, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &bytes, nullptr);
        LARGE_INTEGER size;
        size.QuadPart = 5LL << 30;
        EXPECT_TRUE(SetFilePointerEx(h, size, nullptr, FILE_BEGIN));
        EXPECT_TRUE(SetEndOfFile(h));
        CloseHandle(h);
    }
    DynamicPath big(name.c_str());
    EXPECT_EQ(5ULL << 30, big.GetFileSizeLarge());
    KEException e = Raised([&] { big.GetFileSizeT(); });
    EXPECT_EQ(-17011, e.GetErrorCode());
    EXPECT_STREQ("PathBase::GetFileSizeT", e.GetFunction());
    EXPECT_TRUE(big.DeleteFileIfExists(false));

    test::WriteFile(tmp / "small", "12345");
    EXPECT_EQ(5u, DynamicPath((tmp / "small").c_str()).GetFileSizeT());
    EXPECT_EQ(-17208, Raised([&] { DynamicPath("small").GetFileSizeLarge(); }).GetErrorCode());
    EXPECT_EQ(KE_FILE_NOT_FOUND, Raised([&] { DynamicPath((tmp / "none").c_str()).GetFileSizeLarge(); }).GetErrorCode());
}

TEST(FileOps, TimesAndSearch)
{
    test::TempFolder tmp("paths");
    test::WriteFile(tmp / "old", "o");
    test::WriteFile(tmp / "new", "n");
    FILETIME t = {};
    SYSTEMTIME st = {2001, 1, 0, 1, 0, 0, 0, 0};
    SystemTimeToFileTime(&st, &t);
    HANDLE h = CreateFileA((tmp / "old").c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    SetFileTime(h, &t, &t, &t);
    CloseHandle(h);
    DynamicPath oldFile((tmp / "old").c_str()), newFile((tmp / "new").c_str());
    EXPECT_EQ(-1, oldFile.CompareFileTime(newFile));
    EXPECT_EQ(1, newFile.CompareFileTime(oldFile));
    EXPECT_EQ(0, oldFile.CompareFileTime(oldFile));
    FILETIME read = {};
    oldFile.GetFileTime(read, PATH_TIME_LAST_WRITE);
    EXPECT_EQ(0, ::CompareFileTime(&t, &read));
    DynamicPath none((tmp / "none").c_str());
    KEException e = Raised([&] { oldFile.CompareFileTime(none); });
    EXPECT_EQ(-17208, e.GetErrorCode());
    EXPECT_EQ(Describe("CANT_FIND_FILE", none.GetText()), e.GetDescription());

    test::MakeDirs(tmp / "s\\one\\two");
    test::WriteFile(tmp / "s\\one\\two\\target.ini", "t");
    DynamicPath root((tmp / "s").c_str()), found("junk");
    EXPECT_FALSE(root.FindFile("target.ini", PATH_KIND_FILE, false, &found, false, nullptr));
    EXPECT_STREQ("junk", found.GetText());
    EXPECT_TRUE(root.FindFile("target.ini", PATH_KIND_FILE, true, &found, false, nullptr));
    EXPECT_EQ(tmp / "s\\one\\two\\target.ini", found.GetText());
    EXPECT_FALSE(root.FindFile("target.ini", PATH_KIND_DIRECTORY, true, nullptr, false, nullptr));
    EXPECT_TRUE(root.FindFile("two", PATH_KIND_DIRECTORY, true, nullptr, true, nullptr));

    struct OnlyIn : PathFilter {
        const char* GetFilterText() const override { return "TWO"; }
        void GetTextForPath(const PathBase& candidate, String& out) const override
        {
            DynamicPath dir(candidate);
            dir.RemoveFileName();
            dir.GetFileName(out);
        }
    } filter;
    test::WriteFile(tmp / "s\\target.ini", "top");
    EXPECT_TRUE(root.FindFile("target.ini", PATH_KIND_FILE, true, &found, false, &filter));
    EXPECT_EQ(tmp / "s\\one\\two\\target.ini", found.GetText());

    // The spelling on disk.
    DynamicPath upper((tmp / "S\\ONE\\.\\TWO\\..\\two\\TARGET.INI").c_str()), matched;
    upper.MatchCaseOnDisk(matched);
    // Only the part below the temporary folder is ours to spell.
    std::string spelled = matched.GetText();
    ASSERT_GE(spelled.size(), 21u);
    EXPECT_EQ("\\s\\one\\two\\target.ini", spelled.substr(spelled.size() - 21)) << spelled;
}

TEST(FileOps, FilesAreIdentical)
{
    test::TempFolder tmp("paths");
    test::WriteFile(tmp / "e1", "");
    test::WriteFile(tmp / "e2", "");
    std::string big(10000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (char)(i * 7);
    test::WriteFile(tmp / "b1", big);
    test::WriteFile(tmp / "b2", big);
    std::string changed = big;
    changed.back() ^= 1;
    test::WriteFile(tmp / "b3", changed);
    test::WriteFile(tmp / "short", big.substr(0, 9999));
    struct Case { const char* a; const char* b; int expected; };
    const Case cases[] = {
        {"e1", "e2", 1}, {"b1", "b2", 1}, {"b1", "b3", 0}, {"b1", "short", 0}, {"e1", "b1", 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(cases[i].expected, FilesAreIdentical((tmp / cases[i].a).c_str(), (tmp / cases[i].b).c_str()))
            << "row " << i;
    // A missing file is no match, and the caller learns why.
    SetLastError(0);
    EXPECT_EQ(0, FilesAreIdentical((tmp / "b1").c_str(), (tmp / "none").c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_EQ(KE_FILE_NOT_FOUND,
              Raised([&] { CompareFileContents((tmp / "none").c_str(), (tmp / "b1").c_str()); }).GetErrorCode());
}

} // namespace
