// The nested-kit rewrite against real kit folders, real packages made with msi.dll, and machine
// registry values under a private HKEY_LOCAL_MACHINE.
#include <gtest/gtest.h>

#include <windows.h>
#include <mbctype.h>
#include <msi.h>
#include <msiquery.h>

#include <cstdio>
#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "FaultGuard.h"
#include "installer/NestedKit.h"
#include "support/KitPackage.h"
#include "support/TestSupport.h"

namespace {
const char kInstallerKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer";
const char kMarker[] = "ZQMSIDISTKIT_TEMPLATE_REV";

std::string Upper(std::string s) {
    CharUpperBuffA(&s[0], static_cast<DWORD>(s.size()));
    return s;
}

std::string ReplaceAll(std::string text, const std::string& what, const std::string& with) {
    for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += with.size())
        text.replace(at, what.size(), with);
    return text;
}

// ---------------------------------------------------------------------------------------------
// msi.dll imported by ordinal

struct Import {
    bool byOrdinal;
    WORD ordinal;
    void* bound;  // the address the loader put in the import slot
};

// The msi.dll entries of a mapped image's import table.
std::vector<Import> MsiImportsOf(HMODULE image) {
    std::vector<Import> imports;
    BYTE* base = reinterpret_cast<BYTE*>(image);
    // The headers and thunks of this build's own architecture, as sarnik.exe is built with it.
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); d->Name; ++d) {
        if (_stricmp(reinterpret_cast<char*>(base + d->Name), "msi.dll") != 0) continue;
        auto* lookup = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + d->FirstThunk);
        for (; lookup->u1.AddressOfData; ++lookup, ++slot)
            imports.push_back({IMAGE_SNAP_BY_ORDINAL(lookup->u1.Ordinal) != 0,
                               static_cast<WORD>(IMAGE_ORDINAL(lookup->u1.Ordinal)),
                               reinterpret_cast<void*>(slot->u1.Function)});
    }
    return imports;
}

struct MsiFunction {
    WORD ordinal;
    const char* name;
};
const MsiFunction kMsiFunctions[] = {
    {8, "MsiCloseHandle"},    {31, "MsiDatabaseOpenViewA"}, {91, "MsiOpenDatabaseA"},
    {117, "MsiRecordGetStringA"}, {159, "MsiViewExecute"},  {160, "MsiViewFetch"},
};

TEST(MsiImports, SarnikImportsTheSixFunctionsByOrdinalOnly) {
    HMODULE image = LoadLibraryExA(test::BinPath("sarnik.exe").c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(image, nullptr) << GetLastError();
    std::set<WORD> ordinals;
    for (const Import& i : MsiImportsOf(image)) {
        EXPECT_TRUE(i.byOrdinal) << "sarnik.exe imports an msi.dll function by name";
        ordinals.insert(i.ordinal);
    }
    FreeLibrary(image);
    std::set<WORD> expected;
    for (const MsiFunction& f : kMsiFunctions) expected.insert(f.ordinal);
    EXPECT_EQ(ordinals, expected);
}

// The same import library is linked into this test program: what the loader bound for each
// ordinal must be the function of that name in the msi.dll this process met.
TEST(MsiImports, OrdinalsBindTheNamedFunctions) {
    HMODULE msi = GetModuleHandleA("msi.dll");
    ASSERT_NE(msi, nullptr);
    std::vector<Import> imports = MsiImportsOf(GetModuleHandleA(nullptr));
    ASSERT_EQ(imports.size(), std::size(kMsiFunctions));
    for (const MsiFunction& f : kMsiFunctions) {
        void* byName = reinterpret_cast<void*>(GetProcAddress(msi, f.name));
        void* byOrdinal = reinterpret_cast<void*>(GetProcAddress(msi, MAKEINTRESOURCEA(f.ordinal)));
        ASSERT_NE(byName, nullptr) << f.name;
        EXPECT_EQ(byOrdinal, byName) << f.name << " is not ordinal " << f.ordinal;
        auto bound = std::find_if(imports.begin(), imports.end(),
                                  [&](const Import& i) { return i.byOrdinal && i.ordinal == f.ordinal; });
        ASSERT_NE(bound, imports.end()) << "no import of ordinal " << f.ordinal;
        EXPECT_EQ(bound->bound, byName) << f.name;
    }
}

// ---------------------------------------------------------------------------------------------
// Packages

class KitFolders : public ::testing::Test {
protected:
    // A package at the given name in the root folder; fails the test when it cannot be made.
    std::string Package(const std::string& name, const test::PropertyList& properties) {
        std::string path = root / name;
        EXPECT_EQ(test::WritePropertyPackage(path, properties), 0u) << path;
        return path;
    }
    // A kit folder: a description file naming package, the package with the given properties,
    // and a setup program (the probe, which records how it was started).
    std::string Kit(const std::string& name, const char* descriptionName, const char* packageValue,
                    const char* packageFile, const test::PropertyList* properties) {
        std::string dir = root / name;
        test::MakeDirs(dir);
        CopyFileA(test::BinPath("probe.exe").c_str(), (dir + "\\setup.exe").c_str(), FALSE);
        if (descriptionName)
            test::WriteFile(dir + "\\" + descriptionName,
                            packageValue ? std::string("[Installer]\r\nPackage=") + packageValue + "\r\n"
                                         : std::string("[Installer]\r\nOther=x\r\n"));
        if (packageFile && properties) {
            EXPECT_EQ(test::WritePropertyPackage(dir + "\\" + packageFile, *properties), 0u);
        }
        return dir;
    }

    test::TempFolder root{"nestedkit"};
    const test::PropertyList marked{{"ProductName", "Nested"}, {kMarker, "3.1"}, {"Zeta", "z"}};
    const test::PropertyList unmarked{{"ProductName", "Nested"}, {"ProductVersion", "1.0"}};
    const test::PropertyList emptyMarker{{"ProductName", "Nested"}, {kMarker, ""}};
};

TEST_F(KitFolders, OpenAndReadTemplateRevision) {
    std::string garbage = root / "damaged.msi";
    test::WriteFile(garbage, std::string(4096, 'x'));
    std::string truncated = root / "truncated.msi";
    test::WriteFile(truncated, test::ReadFile(Package("whole.msi", marked)).substr(0, 1536));

    struct Row {
        std::string path;
        bool opens;
        UINT status;
        std::string revision;
    } rows[] = {
        {Package("marked.msi", marked), true, 0, "3.1"},
        {Package("first.msi", {{kMarker, "9"}, {"A", "a"}}), true, 0, "9"},
        {Package("unmarked.msi", unmarked), true, ERROR_NO_MORE_ITEMS, ""},
        {Package("empty.msi", emptyMarker), true, 0, ""},
        // Compared byte for byte: another case is another property.
        {Package("lower.msi", {{"zqmsidistkit_template_rev", "3.1"}}), true, ERROR_NO_MORE_ITEMS, ""},
        {Package("noprops.msi", {}), true, ERROR_NO_MORE_ITEMS, ""},
        // The value is read into 260 characters: 259 fit, a longer one is a failure.
        {Package("long259.msi", {{kMarker, std::string(259, 'r')}}), true, 0, std::string(259, 'r')},
        {Package("long260.msi", {{kMarker, std::string(260, 'r')}}), true, ERROR_MORE_DATA, ""},
        {garbage, false, 0, ""},
        {truncated, false, 0, ""},
        {root / "missing.msi", false, 0, ""},
        {"", false, 0, ""},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        const Row& r = rows[i];
        MsiHandle db = OpenKitDatabase(r.path);
        EXPECT_EQ(static_cast<bool>(db), r.opens) << "row " << i << " " << r.path;
        if (!db) continue;
        std::string revision = "junk";
        UINT status = ReadKitTemplateRevision(db.Get(), revision);
        EXPECT_EQ(status, r.status) << "row " << i;
        EXPECT_EQ(revision, r.revision) << "row " << i;
    }
}

// The package must not stay open: msiexec, started right after, opens it for installing.
TEST_F(KitFolders, DetectionLeavesThePackageClosed) {
    std::string dir = Kit("Kit", "SETUP.INI", "product.msi", "product.msi", &marked);
    std::string setupPart, packagePath;
    ASSERT_TRUE(DetectNestedKit(dir + "\\setup.exe /q", setupPart, packagePath));
    EXPECT_EQ(setupPart, dir + "\\setup.exe");
    EXPECT_EQ(packagePath, Upper(dir) + "\\product.msi");
    HANDLE f = CreateFileA(packagePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(f, INVALID_HANDLE_VALUE) << "package still open, error " << GetLastError();
    if (f != INVALID_HANDLE_VALUE) CloseHandle(f);
}

// ---------------------------------------------------------------------------------------------
// A fault raised inside msi.dll

TEST_F(KitFolders, FaultInsideMsiDllEndsOnlyThatCall) {
    std::string package = Package("marked.msi", marked);
    // A handle place msi.dll cannot write to: the fault happens inside msi.dll, on its stack.
    MSIHANDLE* unwritable = reinterpret_cast<MSIHANDLE*>(16);
    for (int round = 0; round < 2; ++round) {
        UINT status = 0xdeadbeef;
        DWORD code = 0;
        bool returned = CallGuarded([&] { status = MsiOpenDatabaseA(package.c_str(), MSIDBOPEN_READONLY, unwritable); },
                                    &code);
        EXPECT_FALSE(returned) << "round " << round;
        EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION)) << "round " << round;
        EXPECT_EQ(status, 0xdeadbeefu) << "round " << round;
        EXPECT_EQ(CallMsi([&] { return MsiOpenDatabaseA(package.c_str(), MSIDBOPEN_READONLY, unwritable); }),
                  static_cast<UINT>(ERROR_FUNCTION_FAILED));
    }
    // Nothing is left locked or half done: msi.dll and C++ exceptions work as before.
    MsiHandle db = OpenKitDatabase(package);
    ASSERT_TRUE(db);
    std::string revision;
    EXPECT_EQ(ReadKitTemplateRevision(db.Get(), revision), 0u);
    EXPECT_EQ(revision, "3.1");
    EXPECT_THROW(throw std::runtime_error("after"), std::runtime_error);

    int calls = 0;
    EXPECT_TRUE(CallGuarded([&] { ++calls; }, nullptr));
    EXPECT_EQ(calls, 1);
}

// ---------------------------------------------------------------------------------------------
// Registry

TEST(MachineRegistry, LocateMsiexecCases) {
    enum State { NoKey, NoValue, Value };
    struct Row {
        State state;
        const char* name;
        const char* folder;
        std::string expected;
    } rows[] = {
        {Value, "InstallerLocation", "C:\\Inst", "C:\\Inst\\msiexec.exe"},
        {Value, "INSTALLERLOCATION", "C:\\Inst", "C:\\Inst\\msiexec.exe"},
        {NoValue, nullptr, nullptr, "msiexec.exe"},
        {Value, "OtherValue", "C:\\Inst", "msiexec.exe"},
        {NoKey, nullptr, nullptr, "msiexec.exe"},
        {Value, "InstallerLocation", "", "msiexec.exe"},
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        test::MachineHiveOverride hklm;
        ASSERT_TRUE(hklm.Active());
        if (rows[i].state == NoValue) {
            ASSERT_TRUE(hklm.CreateKey(kInstallerKey));
        }
        if (rows[i].state == Value) {
            ASSERT_TRUE(hklm.SetString(kInstallerKey, rows[i].name, rows[i].folder));
        }
        EXPECT_EQ(LocateMsiexec(), rows[i].expected) << "row " << i;
    }
}

// ---------------------------------------------------------------------------------------------
// The rewrite

TEST_F(KitFolders, RewriteCases) {
    // {X} is a kit folder as written, {X!} the same folder upper-cased (the description and
    // package paths are formed from the upper-cased command).
    const std::string K = Kit("Kit", "SETUP.INI", "product.msi", "product.msi", &marked);
    const std::string M = Kit("MyKit", "MYSETUP.INI", "kit.msi", "MYkit.msi", &marked);
    const std::string S = Kit("Sub", "SETUP.INI", "Pkg\\sub.msi", "Pkg\\sub.msi", nullptr);
    test::MakeDirs(S + "\\Pkg");
    ASSERT_EQ(test::WritePropertyPackage(S + "\\Pkg\\sub.msi", marked), 0u);
    const std::string U = Kit("Unmarked", "SETUP.INI", "product.msi", "product.msi", &unmarked);
    const std::string E = Kit("EmptyMarker", "SETUP.INI", "product.msi", "product.msi", &emptyMarker);
    const std::string N = Kit("NoIni", nullptr, nullptr, "product.msi", &marked);
    const std::string P = Kit("NoPackageKey", "SETUP.INI", nullptr, "product.msi", &marked);
    const std::string G = Kit("GonePackage", "SETUP.INI", "gone.msi", "product.msi", &marked);
    const std::string D = Kit("Damaged", "SETUP.INI", "product.msi", nullptr, nullptr);
    test::WriteFile(D + "\\product.msi", "not a package");
    // A package named like a device: opening it must not wait for input that never comes.
    const std::string C = Kit("Device", "SETUP.INI", "CON", nullptr, nullptr);
    const std::string C2 = Kit("Device2", "SETUP.INI", "COM1", nullptr, nullptr);

    const std::string msi = "\"C:\\Inst\\msiexec.exe\"  /i ";
    enum Registry { Location, NoValue, NoKey };
    struct Row {
        Registry registry;
        std::string command;
        std::string expected;
    } rows[] = {
        // Recognised in any case; the setup's arguments stay after the new text.
        {Location, "{K}\\setup.exe /q", msi + "\"{K!}\\product.msi\" /q"},
        {Location, "{K}\\SETUP.EXE /q", msi + "\"{K!}\\product.msi\" /q"},
        {Location, "{K}\\Setup.exe", msi + "\"{K!}\\product.msi\""},
        {Location, "{K}\\setup.exe /log {K}\\setup.exe.log",
         msi + "\"{K!}\\product.msi\" /log " + msi + "\"{K!}\\product.msi\".log"},
        // A package in a subfolder of the kit.
        {Location, "{S}\\setup.exe /s", msi + "\"{S!}\\Pkg\\sub.msi\" /s"},
        // SETUP.EXE inside a longer name: MYSETUP.INI is looked for, and the package path is
        // that path with SETUP.INI replaced, so the name keeps the MY in front of it.
        {Location, "{M}\\MySetup.exe /s", msi + "\"{M!}\\MYkit.msi\" /s"},
        {Location, "{K}\\MySetup.exe /s", "{K}\\MySetup.exe /s"},
        // A quoted setup path: the description path starts with the quotation mark.
        {Location, "\"{K}\\setup.exe\" /q", "\"{K}\\setup.exe\" /q"},
        {Location, "{U}\\setup.exe /q", "{U}\\setup.exe /q"},
        {Location, "{E}\\setup.exe /q", "{E}\\setup.exe /q"},
        {Location, "{N}\\setup.exe /q", "{N}\\setup.exe /q"},
        {Location, "{P}\\setup.exe /q", "{P}\\setup.exe /q"},
        {Location, "{G}\\setup.exe /q", "{G}\\setup.exe /q"},
        {Location, "{D}\\setup.exe /q", "{D}\\setup.exe /q"},
        {Location, "{C}\\setup.exe /q", "{C}\\setup.exe /q"},
        {Location, "{C2}\\setup.exe /q", "{C2}\\setup.exe /q"},
        {Location, "{K}\\install.exe /q", "{K}\\install.exe /q"},
        {Location, "", ""},
        // Without the Windows Installer's location the platform's search finds msiexec.exe.
        {NoValue, "{K}\\setup.exe /q", "\"msiexec.exe\"  /i \"{K!}\\product.msi\" /q"},
        {NoKey, "{K}\\setup.exe /q", "\"msiexec.exe\"  /i \"{K!}\\product.msi\" /q"},
    };
    auto fill = [&](std::string s) {
        const std::pair<const char*, const std::string*> folders[] = {{"K", &K}, {"M", &M}, {"S", &S}, {"U", &U},
                                                                      {"E", &E}, {"N", &N}, {"P", &P}, {"G", &G},
                                                                      {"D", &D}, {"C2", &C2}, {"C", &C}};
        for (const auto& f : folders) {
            s = ReplaceAll(s, std::string("{") + f.first + "!}", Upper(*f.second));
            s = ReplaceAll(s, std::string("{") + f.first + "}", *f.second);
        }
        return s;
    };
    for (size_t i = 0; i < std::size(rows); ++i) {
        test::MachineHiveOverride hklm;
        ASSERT_TRUE(hklm.Active());
        if (rows[i].registry == Location) {
            ASSERT_TRUE(hklm.SetString(kInstallerKey, "InstallerLocation", "C:\\Inst"));
        }
        if (rows[i].registry == NoValue) {
            ASSERT_TRUE(hklm.CreateKey(kInstallerKey));
        }
        std::string command = fill(rows[i].command);
        RewriteNestedKitCommand(command);
        EXPECT_EQ(command, fill(rows[i].expected)) << "row " << i;
    }
}

TEST_F(KitFolders, SetupNameIsFoundOnlyAtACharacterBoundary) {
    // 'S' is also a trail byte: under 932 "\x88S" is one double-byte character, and the command
    // below names "<kanji>ETUP.EXE", no setup program. Under 1252 it is a modifier letter and
    // 'S', and the name holds SETUP.EXE as MySetup.exe does, so the kit is recognised.
    const std::string B = Kit("Byte", "\x88SETUP.INI", "product.msi", "\x88product.msi", &marked);
    test::MachineHiveOverride hklm;
    ASSERT_TRUE(hklm.Active());
    ASSERT_TRUE(hklm.SetString(kInstallerKey, "InstallerLocation", "C:\\Inst"));
    const int saved = _getmbcp();
    struct Row { int codePage; std::string expected; };
    const Row rows[] = {
        {1252, "\"C:\\Inst\\msiexec.exe\"  /i \"" + Upper(B) + "\\\x88product.msi\" /q"},
        {932, B + "\\\x88SETUP.EXE /q"},
    };
    for (const Row& row : rows) {
        // A process whose ANSI code page is 932 has no 1252 world to test: its file names are
        // double-byte text, which a single-byte runtime page would split.
        // The 1252 row is had in the single-byte registration of this program; said, not dropped.
        if (row.codePage == 1252 && GetACP() == 932) {
            std::printf("[   NOTE   ] row 1252 not run: the ANSI code page is 932; the 1252 registration runs it\n");
            continue;
        }
        ASSERT_EQ(_setmbcp(row.codePage), 0);
        std::string command = B + "\\\x88SETUP.EXE /q";
        RewriteNestedKitCommand(command);
        EXPECT_EQ(command, row.expected) << "code page " << row.codePage;
    }
    _setmbcp(saved);
}
}  // namespace
