// Registry reads against real values, written under a key of the test's own
// (HKLM\Software\SarnikTest\<pid>) and removed afterwards.
#include <gtest/gtest.h>

#include <windows.h>
#include <mbctype.h>

#include <string>

#include "DiagnosticCapture.h"
#include "KEException.h"
#include "REGISTRY.h"
#include "kestring.h"
#include "support/TestSupport.h"

namespace {

// The test key with its values; the whole tree goes when the fixture ends.
class TestKey {
public:
    TestKey()
    {
        m_path = "Software\\SarnikTest\\" + std::to_string(GetCurrentProcessId());
        Create(m_path);
    }
    ~TestKey()
    {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, m_path.c_str());
        HKEY parent;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_ALL_ACCESS, &parent) == ERROR_SUCCESS) {
            RegDeleteKeyA(parent, "SarnikTest");  // only when no other run still uses it
            RegCloseKey(parent);
        }
    }
    TestKey(const TestKey&) = delete;
    TestKey& operator=(const TestKey&) = delete;

    const std::string& Path() const { return m_path; }
    std::string Sub(const std::string& name) const { return m_path + "\\" + name; }

    void Set(const std::string& subkey, const std::string& name, DWORD type, const void* data, DWORD size)
    {
        HKEY key = Create(subkey.empty() ? m_path : Sub(subkey));
        ASSERT_EQ(RegSetValueExA(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS)
            << name;
        RegCloseKey(key);
    }
    void SetText(const std::string& subkey, const std::string& name, const std::string& text, DWORD type = REG_SZ)
    {
        Set(subkey, name, type, text.c_str(), (DWORD)text.size() + 1);
    }

private:
    HKEY Create(const std::string& path)
    {
        HKEY key = nullptr;
        EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                  nullptr), ERROR_SUCCESS) << path;
        return key;
    }

    std::string m_path;
};

// The system's own text for an error code, as the messages carry it.
std::string SystemText(DWORD code)
{
    char text[1024];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0x400, text,
                             sizeof text, nullptr);
    return n ? std::string(text, n) : std::string();
}

struct Raised {
    bool raised = false;
    int code = 0;
    int apiCode = 0;
    std::string description, function, file;
};

template <class F>
Raised Catch(F f)
{
    Raised r;
    try {
        f();
    } catch (const KEException& e) {
        r.raised = true;
        r.code = e.GetErrorCode();
        r.apiCode = e.GetAPIErrorCode();
        r.description = e.GetDescription();
        r.function = e.GetFunction();
        r.file = e.GetSourceFile();
    }
    return r;
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_key.SetText("", "Expand", "%SystemRoot%\\x", REG_EXPAND_SZ);
        m_key.SetText("", "Plain", "%SystemRoot%\\x");
        m_key.SetText("", "Empty", "");
        m_key.Set("", "Unterminated", REG_SZ, "abc", 3);
        DWORD number = 42;
        m_key.Set("", "Dword", REG_DWORD, &number, 4);
        m_key.Set("", "Binary4", REG_BINARY, "\x2a\0\0\0", 4);
        m_key.Set("", "Short", REG_DWORD, "\x2a\0", 2);
        unsigned long long big = 42;
        m_key.Set("", "Qword", REG_QWORD, &big, 8);
        m_key.SetText("", "Text", "1");
    }
    std::string Place(const char* name) const { return m_key.Path() + "\\" + name; }

    TestKey m_key;
};

std::string Expanded(const char* text)
{
    char out[1024];
    ExpandEnvironmentStringsA(text, out, sizeof out);
    return out;
}

TEST_F(Registry, TextValues)
{
    struct Case { const char* name; std::string expected; };
    const Case cases[] = {
        {"Expand", Expanded("%SystemRoot%\\x")},
        {"Plain", "%SystemRoot%\\x"},
        {"Empty", ""},
        {"Unterminated", "abc"},
    };
    ASSERT_NE(cases[0].expected, "%SystemRoot%\\x");
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        DynamicString out("junk");
        EXPECT_TRUE(QvRegistry::GetStringValueIfExists(HKEY_LOCAL_MACHINE, m_key.Path().c_str(), cases[i].name, out))
            << "row " << i;
        EXPECT_EQ(std::string(out.GetString()), cases[i].expected) << "row " << i;
    }

    // A fixed-capacity output keeps what fits.
    StaticString<4> small("junk");
    EXPECT_TRUE(QvRegistry::GetStringValueIfExists(HKEY_LOCAL_MACHINE, m_key.Path().c_str(), "Plain", small));
    EXPECT_STREQ(small.GetString(), "%Sys");
}

TEST_F(Registry, MissingKeysAndValuesLeaveTheOutputAlone)
{
    struct Case { std::string key; const char* value; };
    const Case cases[] = {
        {m_key.Path(), "NoSuchValue"},
        {m_key.Sub("NoSuchKey"), "Plain"},
        {"Software\\SarnikTest\\NoSuchParent\\Key", "Plain"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        DynamicString text("unchanged");
        EXPECT_FALSE(QvRegistry::GetStringValueIfExists(HKEY_LOCAL_MACHINE, cases[i].key.c_str(), cases[i].value, text))
            << "row " << i;
        EXPECT_STREQ(text.GetString(), "unchanged") << "row " << i;
        int number = 0x5a5a;
        EXPECT_FALSE(QvRegistry::GetNumericValueIfExists(HKEY_LOCAL_MACHINE, cases[i].key.c_str(), cases[i].value,
                                                         number)) << "row " << i;
        EXPECT_EQ(number, 0x5a5a) << "row " << i;
    }

    DynamicString fallback(QvRegistry::GetMachineStringValueOrDefault(m_key.Path().c_str(), "NoSuchValue",
                                                                      DynamicString("default")));
    EXPECT_STREQ(fallback.GetString(), "default");
    DynamicString found(QvRegistry::GetMachineStringValueOrDefault(m_key.Path().c_str(), "Plain",
                                                                   DynamicString("default")));
    EXPECT_STREQ(found.GetString(), "%SystemRoot%\\x");
}

TEST_F(Registry, NumericValues)
{
    int number = 0;
    EXPECT_TRUE(QvRegistry::GetNumericValueIfExists(HKEY_LOCAL_MACHINE, m_key.Path().c_str(), "Dword", number));
    EXPECT_EQ(number, 42);
}

TEST_F(Registry, ValuesOfTheWrongTypeOrSize)
{
    const std::string wrongType = " does not have the expected type.";
    const std::string tooLong = SystemText(ERROR_MORE_DATA);
    ASSERT_FALSE(tooLong.empty());
    struct Case { bool numeric; const char* name; std::string description; int apiCode; };
    const Case cases[] = {
        {false, "Dword", "Registry value " + Place("Dword") + wrongType, 0},
        {false, "Binary4", "Registry value " + Place("Binary4") + wrongType, 0},
        {true, "Binary4", "Registry value " + Place("Binary4") + wrongType, 0},
        {true, "Short", "Registry value " + Place("Short") + wrongType, 0},
        {true, "Text", "Registry value " + Place("Text") + wrongType, 0},
        {true, "Qword", "Failed to access registry value " + Place("Qword") + ":  " + tooLong, ERROR_MORE_DATA},
        {true, "Plain", "Failed to access registry value " + Place("Plain") + ":  " + tooLong, ERROR_MORE_DATA},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        DynamicString text("unchanged");
        int number = 0x5a5a;
        Raised r = Catch([&] {
            if (c.numeric)
                QvRegistry::GetNumericValueIfExists(HKEY_LOCAL_MACHINE, m_key.Path().c_str(), c.name, number);
            else
                QvRegistry::GetStringValueIfExists(HKEY_LOCAL_MACHINE, m_key.Path().c_str(), c.name, text);
        });
        ASSERT_TRUE(r.raised) << "row " << i;
        EXPECT_EQ(r.code, -17002) << "row " << i;
        EXPECT_EQ(r.description, c.description) << "row " << i;
        EXPECT_EQ(r.apiCode, c.apiCode) << "row " << i;
        EXPECT_EQ(r.function, c.numeric ? "QvRegistry::GetNumericValueIfExists" : "QvRegistry::GetStringValueIfExists")
            << "row " << i;
        EXPECT_EQ(r.file, "REGISTRY.cpp") << "row " << i;
        EXPECT_STREQ(text.GetString(), "unchanged") << "row " << i;
        EXPECT_EQ(number, 0x5a5a) << "row " << i;
    }
}

TEST_F(Registry, AnEmptyKeyPathLeavesJustTheValueName)
{
    RegistryKey key;
    ASSERT_EQ(key.Open(HKEY_LOCAL_MACHINE, m_key.Path().c_str(), KEY_READ), ERROR_SUCCESS);
    DynamicString text;
    EXPECT_TRUE(QvRegistry::GetStringValueIfExists(key.Get(), "", "Plain", text));
    EXPECT_STREQ(text.GetString(), "%SystemRoot%\\x");
    Raised r = Catch([&] { QvRegistry::GetStringValueIfExists(key.Get(), "", "Dword", text); });
    EXPECT_EQ(r.description, "Registry value Dword does not have the expected type.");
}

TEST_F(Registry, OpeningKeys)
{
    // A key held before is let go; a missing key leaves the handle empty.
    RegistryKey key;
    QvRegistry::OpenKeyIfExists(key, HKEY_LOCAL_MACHINE, m_key.Path().c_str(), KEY_READ, true);
    EXPECT_TRUE(key.IsOpen());
    QvRegistry::OpenKeyIfExists(key, HKEY_LOCAL_MACHINE, m_key.Sub("NoSuchKey").c_str(), KEY_READ, false);
    EXPECT_FALSE(key.IsOpen());

    struct Case { HKEY root; const char* subkey; bool mustExist; int code; std::string description; int apiCode; };
    const std::string missing = m_key.Sub("NoSuchKey");
    const Case cases[] = {
        {HKEY_LOCAL_MACHINE, nullptr, false, -17001, "Subkey path cannot be NULL.", 0},
        {HKEY_LOCAL_MACHINE, missing.c_str(), true, -17003,
         "Item '" + missing + "' could not be found in the system registry.", 0},
        {reinterpret_cast<HKEY>(0x1234), "Software", false, -17002,
         "Failed to access registry key Software:  " + SystemText(ERROR_INVALID_HANDLE), ERROR_INVALID_HANDLE},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        RegistryKey k;
        Raised r = Catch([&] { QvRegistry::OpenKeyIfExists(k, cases[i].root, cases[i].subkey, KEY_READ,
                                                            cases[i].mustExist); });
        ASSERT_TRUE(r.raised) << "row " << i;
        EXPECT_EQ(r.code, cases[i].code) << "row " << i;
        EXPECT_EQ(r.description, cases[i].description) << "row " << i;
        EXPECT_EQ(r.apiCode, cases[i].apiCode) << "row " << i;
        EXPECT_EQ(r.function, "QvRegistry::OpenKeyIfExists") << "row " << i;
        EXPECT_FALSE(k.IsOpen()) << "row " << i;
    }
    // The system's text is there (its wording differs between Wine and Windows).
    EXPECT_FALSE(SystemText(ERROR_INVALID_HANDLE).empty());
}

TEST_F(Registry, RegistryViewsOfThePrefix)
{
    struct View { REGSAM flag; bool holdsTheValue; };
#if defined(_WIN64)
    // A 64-bit program in a win64 prefix writes to the 64-bit view: no flag and KEY_WOW64_64KEY
    // reach the value, KEY_WOW64_32KEY reads the 32-bit view (Wow6432Node), which lacks it.
    const View views[] = {{0, true}, {KEY_WOW64_64KEY, true}, {KEY_WOW64_32KEY, false}};
#else
    // A 32-bit prefix has a single view: both flags reach the same values.
    const View views[] = {{0, true}, {KEY_WOW64_64KEY, true}, {KEY_WOW64_32KEY, true}};
#endif
    for (const View& v : views) {
        DynamicString text;
        EXPECT_EQ(QvRegistry::GetStringValueIfExists(HKEY_LOCAL_MACHINE, m_key.Path().c_str(), "Plain", text, v.flag),
                  v.holdsTheValue)
            << "view " << v.flag;
        if (v.holdsTheValue) {
            EXPECT_STREQ(text.GetString(), "%SystemRoot%\\x") << "view " << v.flag;
        }
        DynamicString fallback(QvRegistry::GetMachineStringValueOrDefault(m_key.Path().c_str(), "Expand",
                                                                          DynamicString("d"), v.flag));
        EXPECT_EQ(std::string(fallback.GetString()), v.holdsTheValue ? Expanded("%SystemRoot%\\x") : "d")
            << "view " << v.flag;
    }
}

// The value the next opened key gets. Wine's GetProcessHandleCount always reports 0, but its
// handle table hands out the lowest free slot, so a leak shows as a climbing handle value.
uintptr_t NextKeyHandle()
{
    HKEY key = nullptr;
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
    return reinterpret_cast<uintptr_t>(key);
}

TEST_F(Registry, KeyHandlesAreClosedOnEveryPath)
{
    // Reads that raise, find nothing or succeed must not leave keys open behind them.
    uintptr_t before = NextKeyHandle();
    for (int i = 0; i < 500; ++i) {
        DynamicString text;
        int number;
        Catch([&] { QvRegistry::GetStringValueIfExists(HKEY_LOCAL_MACHINE, m_key.Path().c_str(), "Dword", text); });
        Catch([&] { QvRegistry::GetNumericValueIfExists(HKEY_LOCAL_MACHINE, m_key.Path().c_str(), "Qword", number); });
        Catch([&] { ReadMachineRegistryString(m_key.Sub("NoSuchKey").c_str(), "x", text); });
        QvRegistry::GetStringValueIfExists(HKEY_LOCAL_MACHINE, m_key.Path().c_str(), "Expand", text);
        QvRegistry::GetStringValueIfExists(HKEY_LOCAL_MACHINE, m_key.Path().c_str(), "NoSuchValue", text);
        ReadMachineRegistryString(m_key.Path().c_str(), "plain", text);
        ReadMachineRegistryString(m_key.Path().c_str(), "missing", text);
        RegistryKey key;
        QvRegistry::OpenKeyIfExists(key, HKEY_LOCAL_MACHINE, m_key.Path().c_str(), KEY_READ, true);
        QvRegistry::OpenKeyIfExists(key, HKEY_LOCAL_MACHINE, m_key.Path().c_str(), KEY_READ, true);
    }
    uintptr_t after = NextKeyHandle();
    // A leak of one key per read would move it by thousands of slots.
    EXPECT_LT(after, before + 4 * 50) << "before " << before << ", after " << after;
}

// ---------------------------------------------------------------------------------------------

TEST_F(Registry, ReadMachineRegistryStringFindsANameInAnyCase)
{
    m_key.SetText("Dir", "Before", "x");
    m_key.SetText("Dir", "ZQDIR", "C:\\zq");
    m_key.SetText("Dir", "Expand", "%SystemRoot%", REG_EXPAND_SZ);
    DWORD number = 7;
    m_key.Set("Dir", "Number", REG_DWORD, &number, 4);
    struct Case { const char* name; LONG result; const char* text; };
    const Case cases[] = {
        {"zqdir", 0, "C:\\zq"},
        {"ZQDIR", 0, "C:\\zq"},
        {"zqDir", 0, "C:\\zq"},
        {"missing", ERROR_NO_MORE_ITEMS, "unchanged"},
        {"expand", 0, "%SystemRoot%"},              // text as stored, not expanded
        {"number", ERROR_DATATYPE_MISMATCH, "unchanged"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        DynamicString out("unchanged");
        EXPECT_EQ(ReadMachineRegistryString(m_key.Sub("Dir").c_str(), cases[i].name, out), cases[i].result)
            << "row " << i;
        EXPECT_STREQ(out.GetString(), cases[i].text) << "row " << i;
    }

    // Texts stored without a terminator, up to the size of the data buffer.
    struct Edge { int bytes; DWORD type; LONG result; };
    const Edge edges[] = {
        {259, REG_SZ, 0},
        {260, REG_SZ, ERROR_MORE_DATA},   // Wine wants room for the terminator it adds
        {259, REG_EXPAND_SZ, 0},
    };
    for (size_t i = 0; i < sizeof edges / sizeof edges[0]; ++i) {
        std::string key = "Edge" + std::to_string(i);
        std::string text(edges[i].bytes, 'f');
        m_key.Set(key, "Full", edges[i].type, text.c_str(), edges[i].bytes);
        DynamicString out("unchanged");
        EXPECT_EQ(ReadMachineRegistryString(m_key.Sub(key).c_str(), "full", out), edges[i].result) << "row " << i;
        EXPECT_EQ(std::string(out.GetString()), edges[i].result ? "unchanged" : text) << "row " << i;
    }
}

// Value names compare by character: in code page 932 "\x83\x61" and "\x83\x41" are two
// different double-byte characters whose trail bytes merely look like a letter in two cases; in
// the single-byte page they are the same two letters in another case.
TEST_F(Registry, ReadMachineRegistryStringComparesNamesByCharacter)
{
    m_key.SetText("Dbcs", "\x83\x61", "trail a");
    m_key.SetText("Dbcs", "x\x95\x5c", "trail backslash");
    struct Case { int codePage; const char* name; LONG result; const char* text; };
    const Case cases[] = {
        {0, "\x83\x41", 0, "trail a"},
        {932, "\x83\x41", ERROR_NO_MORE_ITEMS, "unchanged"},
        {932, "\x83\x61", 0, "trail a"},
        {932, "X\x95\x5c", 0, "trail backslash"},
        {932, "x\x95\x7c", ERROR_NO_MORE_ITEMS, "unchanged"},
    };
    const int saved = _getmbcp();
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        ASSERT_EQ(_setmbcp(cases[i].codePage ? cases[i].codePage : saved), 0) << "row " << i;
        DynamicString out("unchanged");
        EXPECT_EQ(ReadMachineRegistryString(m_key.Sub("Dbcs").c_str(), cases[i].name, out), cases[i].result)
            << "row " << i;
        EXPECT_STREQ(out.GetString(), cases[i].text) << "row " << i;
    }
    _setmbcp(saved);
}

TEST_F(Registry, ReadMachineRegistryStringStopsAtALongValue)
{
    // Values are met in name order under Wine and in creation order under Windows: both put the
    // long ones first here.
    m_key.SetText("LongData", "Big", std::string(300, 'b'));
    m_key.SetText("LongData", "ZQDIR", "C:\\zq");
    m_key.SetText("LongName", std::string(300, 'A'), "a");
    m_key.SetText("LongName", "ZQDIR", "C:\\zq");
    const char* keys[] = {"LongData", "LongName"};
    for (size_t i = 0; i < 2; ++i) {
        DynamicString out("unchanged");
        EXPECT_EQ(ReadMachineRegistryString(m_key.Sub(keys[i]).c_str(), "zqdir", out), ERROR_MORE_DATA) << keys[i];
        EXPECT_STREQ(out.GetString(), "unchanged") << keys[i];
    }

    const std::string missing = m_key.Sub("NoSuchKey");
    DynamicString out("unchanged");
    Raised r = Catch([&] { ReadMachineRegistryString(missing.c_str(), "ZQDIR", out); });
    ASSERT_TRUE(r.raised);
    EXPECT_EQ(r.code, -17003);
    EXPECT_EQ(r.description, "Item '" + missing + "' could not be found in the system registry.");
    EXPECT_STREQ(out.GetString(), "unchanged");
}

// ---------------------------------------------------------------------------------------------

TEST(DiagnosticLevelRead, ThroughTheRegistryReader)
{
    {
        DiagnosticLevelValue none(-1);
        EXPECT_FALSE(QvRegistry::ReadDiagnosticLevel());
        EXPECT_EQ(GetDiagnosticLevel(), 0);
    }
    {
        DiagnosticLevelValue three(3);
        EXPECT_TRUE(QvRegistry::ReadDiagnosticLevel());
        EXPECT_EQ(GetDiagnosticLevel(), 3);
    }
    DiagnosticLevelValue wrong("1");
    Raised r = Catch([] { GetDiagnosticLevel(); });
    EXPECT_EQ(r.code, -17002);
    EXPECT_EQ(r.function, "QvRegistry::GetNumericValueIfExists");
}

TEST(DiagnosticLevelRead, InTheProductsRegistryView)
{
    // Written in one view and not in the other: the level is the product's setting, read where
    // the maker's 32-bit installers write it, by the 64-bit program too (a 32-bit prefix has one
    // view, which both flags reach).
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        DiagnosticLevelValue two(2, view);
        const bool read = view == KEY_WOW64_32KEY || !test::TwoRegistryViews();
        EXPECT_EQ(QvRegistry::ReadDiagnosticLevel(), read) << "view " << view;
        EXPECT_EQ(GetDiagnosticLevel(), read ? 2 : 0) << "view " << view;
    }
}

} // namespace
