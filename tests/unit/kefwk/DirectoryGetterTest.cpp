// The product's directories against real registry values and real folders.
#include <gtest/gtest.h>

#include <windows.h>
#include <mbctype.h>
#include <oleauto.h>
#include <shlobj.h>

#include <string>

#include "Compressor.h"
#include "DirectoryGetter.h"
#include "KEException.h"
#include "support/TestSupport.h"

using namespace test;

namespace {
const char kClsid[] = "CLSID\\{5A1C7E20-3B94-4D6F-8E21-7C0D9B4A6F13}";
const char kProductKey[] = "Software\\Brontell\\Quelvaran\\16.0";
const char kRelease[] = "2016 (32-bit)";

std::string ShellDir(int csidl) {
    char b[MAX_PATH] = "";
    SHGetFolderPathA(nullptr, csidl, nullptr, 0, b);
    return b;
}

// Registry values of the product, written for one test and removed afterwards.
struct ProductRegistry {
    ProductRegistry() { Clear(); }
    ~ProductRegistry() { Clear(); }
    void Clear() {
        // In both views (a 32-bit prefix has one, which both flags reach).
        for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
            DeleteTree(HKEY_CLASSES_ROOT, "CLSID", kClsid + sizeof "CLSID", view);
            DeleteTree(HKEY_LOCAL_MACHINE, "Software", kProductKey + sizeof "Software", view);
        }
    }
    // The engine's registration, in the view of the maker's 32-bit installers unless another is
    // named.
    void RegisterEngine(const std::string& library, REGSAM view = KEY_WOW64_32KEY) {
        std::string path = std::string(kClsid) + "\\InprocServer32";
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(library.c_str()),
                       static_cast<DWORD>(library.size() + 1));
        RegCloseKey(key);
    }
    void SetString(const char* name, const std::string& value) {
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, kProductKey, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
    }
    // In one registry view: KEY_WOW64_32KEY or KEY_WOW64_64KEY. A 32-bit prefix has one view for
    // both; a 64-bit program in a win64 prefix writes the 32-bit one only with the flag.
    void SetStringInView(REGSAM view, const char* name, const std::string& value) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductKey, 0, nullptr, 0, KEY_SET_VALUE | view, nullptr, &key,
                                  nullptr),
                  ERROR_SUCCESS);
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>(value.size() + 1));
        RegCloseKey(key);
    }
    void SetDword(const char* name, DWORD value) {
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, kProductKey, name, REG_DWORD, &value, sizeof value);
    }

private:
    static void DeleteTree(HKEY root, const char* parent, const char* child, REGSAM view) {
        HKEY key = nullptr;
        if (RegOpenKeyExA(root, parent, 0, KEY_ALL_ACCESS | view, &key) != ERROR_SUCCESS) return;
        RegDeleteTreeA(key, child);
        RegCloseKey(key);
    }
};

std::string Text(const PathBase& p) { return p.GetText(); }
}  // namespace

TEST(DirectoryGetter, EngineDirectoryAndDevelopmentBuild) {
    ProductRegistry registry;
    TempFolder root("engine");
    // root\D2\D1\D0\kefwk.dll: the beacon in D2 makes a development build whose engine is root.
    std::string d2 = root / "D2", d1 = d2 + "\\D1", d0 = d1 + "\\D0";
    MakeDirs(d0);
    WriteFile(d0 + "\\kefwk.dll", "");
    registry.RegisterEngine(d0 + "\\kefwk.dll");

    struct Case { bool beacon; std::string engine; bool dev; };
    const Case cases[] = {{false, d1, false}, {true, root.Path(), true}};
    for (const Case& c : cases) {
        if (c.beacon) WriteFile(d2 + "\\DEV BUILD BEACON (Do not delete or install).txt", "");
        DirectoryGetter getter;
        Path engine;
        getter.GetActiveKEDirectory(engine);
        EXPECT_EQ(_stricmp(Text(engine).c_str(), c.engine.c_str()), 0) << Text(engine) << " beacon " << c.beacon;
        EXPECT_EQ(getter.IsDevBuild(), c.dev);
        Path bin;
        getter.GetBinDirectory(bin, false);
        std::string expectedBin = c.engine + (c.dev ? "\\Bin\\Win32\\Release" : "\\Bin");
        EXPECT_EQ(_stricmp(Text(bin).c_str(), expectedBin.c_str()), 0) << Text(bin) << " beacon " << c.beacon;
        if (c.dev) {
            Path appData;
            getter.GetQuelvaranCommonAppDataDirectory(appData, kRelease);
            // Beside the engine directory: its parent's "CommonAppData".
            std::string parent = root.Path().substr(0, root.Path().find_last_of('\\'));
            EXPECT_EQ(_stricmp(Text(appData).c_str(), (parent + "\\CommonAppData").c_str()), 0) << Text(appData);
        }
    }
}

// Under double-byte 932 a registered library path whose folder names end in trail bytes '\\'
// ("表" 0x95 0x5C, "ソ" 0x83 0x5C) loses whole components, never half a character.
TEST(DirectoryGetter, EngineDirectoryOfADoubleBytePath) {
    ProductRegistry registry;
    registry.RegisterEngine("C:\\nowhere\\\x95\x5c\\\x83\x5c\\kefwk.dll");
    const int saved = _getmbcp();
    ASSERT_EQ(_setmbcp(932), 0);
    DirectoryGetter getter;
    Path engine;
    getter.GetActiveKEDirectory(engine);
    std::string text = Text(engine);
    _setmbcp(saved);
    EXPECT_EQ(text, "C:\\nowhere\\\x95\x5c");
    EXPECT_FALSE(getter.IsDevBuild());
}

TEST(DirectoryGetter, EngineNotRegistered) {
    ProductRegistry registry;
    DirectoryGetter getter;
    Path engine;
    try {
        getter.GetActiveKEDirectory(engine);
        ADD_FAILURE() << "no exception";
    } catch (const KEException& e) {
        EXPECT_STREQ(e.GetDescription(), "Quelvaran Engine not registered");
        EXPECT_EQ(e.GetErrorCode(), -17500);
        EXPECT_STREQ(e.GetFunction(), "DirectoryGetter::GetActiveKEDirectoryFromRegistry");
        // The source unit is the compiler's file name, as every other unit gives it.
        EXPECT_STREQ(e.GetSourceFile(), "DirectoryGetter.cpp");
    }
    EXPECT_FALSE(getter.IsDevBuild());
    EXPECT_EQ(IsDevBuild(), 0);
}

TEST(DirectoryGetter, PublicDirectoryAndItsCustomLocation) {
    ProductRegistry registry;
    TempFolder root("public");
    std::string defaultDir = ShellDir(CSIDL_COMMON_DOCUMENTS) + "\\Brontell\\Quelvaran " + kRelease;
    struct Case { const char* name; bool dword; std::string value; std::string expected; };
    const Case cases[] = {
        {"absolute: used and created", false, root / "Custom\\Pub", root / "Custom\\Pub"},
        {"relative: ignored", false, "JustAFolder", defaultDir},
        {"wrong type: ignored", true, "", defaultDir},
        {"empty: ignored", false, "", defaultDir},
    };
    for (const Case& c : cases) {
        registry.Clear();
        if (c.dword) registry.SetDword("CustomPublicLocation", 5);
        else registry.SetString("CustomPublicLocation", c.value);
        DirectoryGetter getter;
        Path dir;
        getter.GetGlobalQuelvaranPublicDirectory(dir, kRelease, "16.0", 0);
        EXPECT_EQ(_stricmp(Text(dir).c_str(), c.expected.c_str()), 0) << c.name << ": " << Text(dir);
        EXPECT_TRUE(FileExists(Text(dir))) << c.name;
        // Asked again on the same getter, the first answer stands even when the registry changed.
        registry.SetString("CustomPublicLocation", root / "Other");
        Path again;
        getter.GetGlobalQuelvaranPublicDirectory(again, kRelease, "16.0", 0);
        EXPECT_EQ(Text(again), Text(dir)) << c.name;
    }
}

TEST(DirectoryGetter, PublicDirectoryThatCannotBeCreated) {
    ProductRegistry registry;
    TempFolder root("blocked");
    WriteFile(root / "file", "in the way");
    registry.SetString("CustomPublicLocation", root / "file\\Pub");
    DirectoryGetter getter;
    Path dir;
    try {
        getter.GetGlobalQuelvaranPublicDirectory(dir, kRelease, "16.0", 0);
        ADD_FAILURE() << "no exception";
    } catch (const KEException& e) {
        EXPECT_EQ(e.GetErrorCode(), -17500);
        EXPECT_STREQ(e.GetFunction(), "DirectoryGetter::GetGlobalQuelvaranPublicDirectory");
        EXPECT_STREQ(e.GetSourceFile(), "DirectoryGetter.cpp");
        std::string message = e.GetDescription();
        EXPECT_NE(message.find(root / "file\\Pub"), std::string::npos) << message;
        EXPECT_NE(message.find("custom public location"), std::string::npos) << message;
    }
}

TEST(DirectoryGetter, ConfigDirectoryIgnoresAWrongTypedLocation) {
    ProductRegistry registry;
    registry.SetDword("CfgLocation", 1);
    DirectoryGetter getter;
    Path dir, defaultDir;
    getter.GetGlobalConfigDirectory(dir, kRelease, "16.0", 0);
    getter.GetDefaultConfigDirectory(defaultDir, kRelease);
    std::string expected = ShellDir(CSIDL_COMMON_APPDATA) + "\\Brontell\\Quelvaran " + kRelease + "\\Cfg";
    EXPECT_EQ(_stricmp(Text(dir).c_str(), expected.c_str()), 0) << Text(dir);
    EXPECT_EQ(Text(dir), Text(defaultDir));
    EXPECT_TRUE(FileExists(Text(dir)));
    Path ini;
    getter.GetTestExecIniPath(ini);
    EXPECT_EQ(_stricmp(Text(ini).c_str(), (expected + "\\TestExec.ini").c_str()), 0) << Text(ini);
}

TEST(DirectoryGetter, ExportsShareTheGetterOfARelease) {
    ProductRegistry registry;
    TempFolder root("export");
    // Each call reads the view it names (0: the 32-bit one, 1: the 64-bit one), so each value is
    // written where its call would find it: the second answer is the first only because the
    // release's getter is shared.
    registry.SetStringInView(KEY_WOW64_32KEY, "CustomPublicLocation", root / "First");
    BSTR first = nullptr, second = nullptr;
    GetQuelvaranPublicDirectory("Export Test", "16.0", 0, &first);
    registry.SetStringInView(KEY_WOW64_64KEY, "CustomPublicLocation", root / "Second");
    GetQuelvaranPublicDirectory("Export Test", "16.0", 1, &second);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(std::wstring(first), std::wstring(second));
    std::wstring expected(root.Path().begin(), root.Path().end());
    EXPECT_EQ(_wcsicmp(first, (expected + L"\\First").c_str()), 0);
    SysFreeString(first);
    SysFreeString(second);

    BSTR appData = nullptr;
    GetQuelvaranCommonAppDataDirectory(kRelease, &appData);
    ASSERT_TRUE(appData);
    std::string expectedAppData = ShellDir(CSIDL_COMMON_APPDATA) + "\\Brontell\\Quelvaran " + kRelease;
    EXPECT_EQ(_wcsicmp(appData, std::wstring(expectedAppData.begin(), expectedAppData.end()).c_str()), 0);
    SysFreeString(appData);
}

// The product's configuration location and the engine's registration, each written in one
// registry view and not in the other: the getter reads the 32-bit view, where the maker's 32-bit
// installers write them, in the 64-bit program as in the 32-bit one. Only the compressor, which
// loads a DLL from the engine's binaries, takes the registration of the program's own view (a
// 32-bit prefix has one view, which both flags reach).
TEST(DirectoryGetter, TheProductsSettingsAreReadInThe32BitView) {
    TempFolder root("views");
    std::string engine = root / "Engine", d2 = engine + "\\D2", d0 = d2 + "\\D1\\D0";
    MakeDirs(d0);
    WriteFile(d2 + "\\DEV BUILD BEACON (Do not delete or install).txt", "");
    const std::string shellCfg = ShellDir(CSIDL_COMMON_APPDATA) + "\\Brontell\\Quelvaran " + kRelease + "\\Cfg";
#if defined(_WIN64)
    const REGSAM ownView = KEY_WOW64_64KEY;
#else
    const REGSAM ownView = KEY_WOW64_32KEY;
#endif
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        SCOPED_TRACE(view == KEY_WOW64_32KEY ? "written in the 32-bit view" : "written in the 64-bit view");
        ProductRegistry registry;
        registry.SetStringInView(view, "CfgLocation", root / "Cfg");
        registry.RegisterEngine(d0 + "\\kefwk.dll", view);
        const bool read = view == KEY_WOW64_32KEY || !TwoRegistryViews();

        DirectoryGetter getter;
        Path ini, appData;
        getter.GetTestExecIniPath(ini);
        EXPECT_EQ(_stricmp(Text(ini).c_str(), ((read ? root / "Cfg" : shellCfg) + "\\TestExec.ini").c_str()), 0)
            << Text(ini);
        EXPECT_EQ(getter.IsDevBuild(), read);
        getter.GetQuelvaranCommonAppDataDirectory(appData, kRelease);
        std::string shellAppData = ShellDir(CSIDL_COMMON_APPDATA) + "\\Brontell\\Quelvaran " + kRelease;
        EXPECT_EQ(_stricmp(Text(appData).c_str(), (read ? root / "CommonAppData" : shellAppData).c_str()), 0)
            << Text(appData);

        DynamicString bin;
        GetCompressorBinDirectory(bin);
        const bool own = view == ownView || !TwoRegistryViews();
        // Without an engine of its own architecture: the folder of the program itself.
        std::string expectedBin = own ? engine + "\\Bin\\Win32" : BinDir();
        EXPECT_EQ(_stricmp(bin.GetString(), expectedBin.c_str()), 0) << bin.GetString();
    }
}
