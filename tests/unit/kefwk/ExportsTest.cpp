// The exported functions: their decorated names in sarnik.exe's export table, and calls through
// a module's export table by those names.
#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace {

// The names in a PE file's export table, read from the file as it lies on disk.
std::vector<std::string> ExportNames(const std::string& file)
{
    std::ifstream in(file, std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> names;
    if (image.size() < sizeof(IMAGE_DOS_HEADER))
        return names;
    auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image.data());
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(image.data() + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir.VirtualAddress == 0)
        return names;
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    auto fileOffset = [&](DWORD rva) -> size_t {
        for (int i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
            const IMAGE_SECTION_HEADER& s = sections[i];
            if (rva >= s.VirtualAddress && rva < s.VirtualAddress + std::max(s.Misc.VirtualSize, s.SizeOfRawData))
                return rva - s.VirtualAddress + s.PointerToRawData;
        }
        return 0;
    };
    auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(image.data() + fileOffset(dir.VirtualAddress));
    auto nameRvas = reinterpret_cast<const DWORD*>(image.data() + fileOffset(exports->AddressOfNames));
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        names.push_back(image.data() + fileOffset(nameRvas[i]));
    return names;
}

// In the order of the export table (sorted by name).
const std::vector<std::string> kExportNames = {
    "_FilesAreIdentical@8", "_GetConfigDirectory@16", "_GetDefaultConfigDirectory@8",
    "_GetQuelvaranCommonAppDataDirectory@8", "_GetQuelvaranLocalAppDataDirectory@8",
    "_GetQuelvaranPublicDirectory@16", "_IsDevBuild@0", "_IsValidPath@8"};

TEST(Exports, SarnikExeExportsTheDecoratedNames)
{
    std::vector<std::string> names = ExportNames(test::BinPath("sarnik.exe"));
    EXPECT_EQ(kExportNames, names);
}

TEST(Exports, CalledByNameThroughAnExportTable)
{
    std::string dll = test::BinPath("kefwk_exports.dll");
    std::vector<std::string> names = ExportNames(dll);
    EXPECT_EQ(kExportNames, names);

    HMODULE module = LoadLibraryA(dll.c_str());
    ASSERT_NE(nullptr, module) << GetLastError();
    using IsValidPathFn = int(__stdcall*)(const char*, int);
    using FilesAreIdenticalFn = int(__stdcall*)(const char*, const char*);
    auto isValidPath = reinterpret_cast<IsValidPathFn>(reinterpret_cast<void*>(GetProcAddress(module, "_IsValidPath@8")));
    auto filesAreIdentical = reinterpret_cast<FilesAreIdenticalFn>(reinterpret_cast<void*>(GetProcAddress(module, "_FilesAreIdentical@8")));
    ASSERT_NE(nullptr, isValidPath);
    ASSERT_NE(nullptr, filesAreIdentical);

    struct Case { std::string text; int wild; int expected; };
    const Case cases[] = {
        {"C:\\a\\b", 0, 1}, {"C:\\a\\*.x", 0, 0}, {"C:\\a\\*.x", 1, 1}, {"\\\\srv", 0, 0},
        {"C:\\" + std::string(257, 'a'), 0, 0},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(cases[i].expected, isValidPath(cases[i].text.c_str(), cases[i].wild)) << "row " << i;

    test::TempFolder tmp("exports");
    test::WriteFile(tmp / "a", "same");
    test::WriteFile(tmp / "b", "same");
    test::WriteFile(tmp / "c", "sama");
    EXPECT_EQ(1, filesAreIdentical((tmp / "a").c_str(), (tmp / "b").c_str()));
    EXPECT_EQ(0, filesAreIdentical((tmp / "a").c_str(), (tmp / "c").c_str()));
    // A missing file must not throw into a caller that knows nothing of C++.
    EXPECT_EQ(0, filesAreIdentical((tmp / "a").c_str(), (tmp / "none").c_str()));

    // The directory exports: no product engine is registered in the test prefix.
    using IsDevBuildFn = int(__stdcall*)();
    using AppDataFn = void(__stdcall*)(const char*, BSTR*);
    auto isDevBuild = reinterpret_cast<IsDevBuildFn>(reinterpret_cast<void*>(GetProcAddress(module, "_IsDevBuild@0")));
    auto appData = reinterpret_cast<AppDataFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "_GetQuelvaranCommonAppDataDirectory@8")));
    ASSERT_TRUE(isDevBuild && appData);
    EXPECT_EQ(0, isDevBuild());
    BSTR dir = nullptr;
    appData("2016 (32-bit)", &dir);
    ASSERT_NE(nullptr, dir);
    EXPECT_NE(nullptr, wcsstr(dir, L"\\Brontell\\Quelvaran 2016 (32-bit)")) << dir;
    SysFreeString(dir);
    FreeLibrary(module);
}

} // namespace
