// The exported functions: their names in sarnik.exe's export table (stdcall-decorated in the
// 32-bit program, plain in the 64-bit one), and calls through a module's export table by them.
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
    // This build's own header form: PE32 for the 32-bit program, PE32+ for the 64-bit one.
    auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(image.data() + dos->e_lfanew);
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

// The name other programs import a function by. 32-bit programs import the stdcall decoration:
// a leading underscore and the bytes of the arguments. x64 has one calling convention and no
// decoration, so there the name is the function's own.
std::string ExportName(const char* name, int argumentBytes)
{
#if defined(_WIN64)
    (void)argumentBytes;
    return name;
#else
    return "_" + std::string(name) + "@" + std::to_string(argumentBytes);
#endif
}

// In the order of the export table (sorted by name, which the decoration does not change).
const std::vector<std::string> kExportNames = {
    ExportName("FilesAreIdentical", 8), ExportName("GetConfigDirectory", 16),
    ExportName("GetDefaultConfigDirectory", 8), ExportName("GetQuelvaranCommonAppDataDirectory", 8),
    ExportName("GetQuelvaranLocalAppDataDirectory", 8), ExportName("GetQuelvaranPublicDirectory", 16),
    ExportName("IsDevBuild", 0), ExportName("IsValidPath", 8)};

FARPROC Export(HMODULE module, const char* name, int argumentBytes)
{
    return GetProcAddress(module, ExportName(name, argumentBytes).c_str());
}

TEST(Exports, SarnikExeExportsTheNamesOfItsArchitecture)
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
    auto isValidPath = reinterpret_cast<IsValidPathFn>(reinterpret_cast<void*>(Export(module, "IsValidPath", 8)));
    auto filesAreIdentical = reinterpret_cast<FilesAreIdenticalFn>(reinterpret_cast<void*>(Export(module, "FilesAreIdentical", 8)));
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
    auto isDevBuild = reinterpret_cast<IsDevBuildFn>(reinterpret_cast<void*>(Export(module, "IsDevBuild", 0)));
    auto appData = reinterpret_cast<AppDataFn>(
        reinterpret_cast<void*>(Export(module, "GetQuelvaranCommonAppDataDirectory", 8)));
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
