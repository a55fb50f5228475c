// The decimal point setting: the user's separator, the product's configuration item and the
// process-wide object.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DecimalPointLocalizer.h"
#include "ErrorTables.h"
#include "KEException.h"
#include "support/TestSupport.h"
#include "UserDecimalSeparator.h"
#include "kestring.h"

namespace {

const char kChildSeparatorVariable[] = "SARNIK_TEST_DECIMAL_SEPARATOR";

// Set before anything in this program asks for the decimal point: the process-wide object reads
// the user's separator once, at its first use, and that first use is made here by several
// threads at once.
class CommaSeparatorEnvironment : public ::testing::Environment {
public:
    void SetUp() override
    {
        // A child started by ParseDouble.ReadsAnyUserSeparator runs with the separator it was given.
        char child[8] = "";
        GetEnvironmentVariableA(kChildSeparatorVariable, child, sizeof child);
        m_separator.reset(new UserDecimalSeparator(child[0] ? child : ","));
        std::promise<void> go;
        std::shared_future<void> gate = go.get_future().share();
        const int kThreads = 8;
        firstUsers.assign(kThreads, nullptr);
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([gate, i] {
                gate.wait();
                firstUsers[i] = &DecimalPointLocalizer::GetShared();
            });
        }
        go.set_value();
        for (auto& t : threads)
            t.join();
    }
    void TearDown() override { m_separator.reset(); }

    static std::vector<const DecimalPointLocalizer*> firstUsers;

private:
    std::unique_ptr<UserDecimalSeparator> m_separator;
};
std::vector<const DecimalPointLocalizer*> CommaSeparatorEnvironment::firstUsers;

::testing::Environment* const commaEnvironment = ::testing::AddGlobalTestEnvironment(new CommaSeparatorEnvironment);

TEST(DecimalPoint, ConcurrentFirstUsersShareOneObject)
{
    ASSERT_FALSE(CommaSeparatorEnvironment::firstUsers.empty());
    for (size_t i = 0; i < CommaSeparatorEnvironment::firstUsers.size(); ++i)
        EXPECT_EQ(CommaSeparatorEnvironment::firstUsers[i], &DecimalPointLocalizer::GetShared()) << "thread " << i;
}

TEST(DecimalPoint, ReadsTheUsersSeparator)
{
    EXPECT_EQ(DecimalPointLocalizer::GetCurrentSystemSetting(), ',');
    {
        UserDecimalSeparator other("'");
        EXPECT_EQ(DecimalPointLocalizer::GetCurrentSystemSetting(), '\'');
    }
    EXPECT_EQ(DecimalPointLocalizer::GetCurrentSystemSetting(), ',');
}

int ErrorOfKind(int kind)
{
    try {
        GetLocalizedDecimalPoint(kind);
    } catch (const KEException& e) {
        EXPECT_STREQ(e.GetFunction(), "DecimalPointLocalizer::GetLocalizedDecimalPoint") << "kind " << kind;
        return e.GetErrorCode();
    }
    return 0;
}

TEST(DecimalPoint, KindsWithTheConfigurationItemAbsent)
{
    bool value = true;
    EXPECT_FALSE(FindUseLocalizedDecimalPointItem(value));

    struct Case { int kind; unsigned short point; };
    const Case cases[] = {
        {1, '.'},  // the user's comma only when the product asks for it
        {2, ','},
        {3, '.'},
        {4, ','},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i)
        EXPECT_EQ(GetLocalizedDecimalPoint(cases[i].kind), cases[i].point) << "row " << i;

    for (int kind : {5, 0, -1})
        EXPECT_EQ(ErrorOfKind(kind), KE_INVALID_OR_OUT_OF_RANGE) << "kind " << kind;
    // The shared object survives a bad request.
    EXPECT_EQ(GetLocalizedDecimalPoint(2), ',');
}

bool ItemTrue(bool& value) { value = true; return true; }
bool ItemFalse(bool& value) { value = false; return true; }
bool ItemAbsent(bool& value) { value = true; return false; }  // a value beside "not found" is ignored
bool ConfigurationUnreadable(bool&)
{
    ThrowKEException(nullptr, "IniObj::ReadFile", KE_UNABLE_TO_OPEN_FILE, 0, "test", __LINE__, __TIME__);
}

TEST(DecimalPoint, ConfigurationItemDecidesKindOne)
{
    struct Case { DecimalPointLocalizer::ConfigurationLookup lookup; unsigned short kind1, kind2; };
    const Case cases[] = {
        {ItemTrue, ',', ','},
        {ItemFalse, '.', ','},
        {ItemAbsent, '.', ','},
        {nullptr, '.', ','},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        DecimalPointLocalizer localizer(cases[i].lookup);
        EXPECT_EQ(localizer.GetLocalizedDecimalPoint(1), cases[i].kind1) << "row " << i;
        EXPECT_EQ(localizer.GetLocalizedDecimalPoint(2), cases[i].kind2) << "row " << i;
        EXPECT_EQ(localizer.GetLocalizedDecimalPoint(3), '.') << "row " << i;
        EXPECT_EQ(localizer.GetLocalizedDecimalPoint(4), ',') << "row " << i;
    }

    // A user point "." makes kind 1 "." whatever the product says.
    UserDecimalSeparator point(".");
    DecimalPointLocalizer localizer(ItemTrue);
    EXPECT_EQ(localizer.GetLocalizedDecimalPoint(1), '.');
}

TEST(DecimalPoint, UnreadableConfigurationPropagates)
{
    try {
        DecimalPointLocalizer localizer(ConfigurationUnreadable);
        ADD_FAILURE() << "no exception";
    } catch (const KEException& e) {
        EXPECT_EQ(e.GetErrorCode(), KE_UNABLE_TO_OPEN_FILE);
    }
}

TEST(DecimalPoint, MissingUserSettingGivesPoint)
{
    UserDecimalSeparator none(nullptr);
    EXPECT_EQ(DecimalPointLocalizer::GetCurrentSystemSetting(), '.');
    DecimalPointLocalizer localizer(ItemTrue);
    EXPECT_EQ(localizer.GetLocalizedDecimalPoint(1), '.');
    EXPECT_EQ(localizer.GetLocalizedDecimalPoint(2), '.');
}

// Run only in a child process: the separator of the process-wide object is read once.
TEST(ParseDouble, DISABLED_ChildReadsTheSeparator)
{
    char separator[8] = "";
    ASSERT_NE(GetEnvironmentVariableA(kChildSeparatorVariable, separator, sizeof separator), 0u);
    ASSERT_EQ(GetLocalizedDecimalPoint(2), (unsigned char)separator[0]);
    std::string text = std::string("12") + separator + "25e1x";
    const char* end = nullptr;
    EXPECT_EQ(String::ParseDouble(text.c_str(), &end), 122.5) << text;
    EXPECT_EQ(end, text.c_str() + text.size() - 1) << text;
    // "." and "," still count.
    EXPECT_EQ(String::ParseDouble("1.5", &end), 1.5);
    EXPECT_EQ(String::ParseDouble("1,5", &end), 1.5);
    // A second separator of any kind ends the number.
    text = std::string("1") + separator + "5.5";
    EXPECT_EQ(String::ParseDouble(text.c_str(), &end), 1.5) << text;
    EXPECT_EQ(*end, '.');
    double value = 0;
    int used = 0;
    EXPECT_TRUE(DynamicString(("0" + std::string(separator) + "5").c_str()).ToDouble(value, used));
    EXPECT_EQ(value, 0.5);
    EXPECT_EQ(used, 3);
    // What the user's point writes, the parser reads back.
    DynamicString written;
    written.Append(2.25, 2, "%.2f");
    EXPECT_STREQ(written.GetString(), ("2" + std::string(separator) + "25").c_str());
    EXPECT_EQ(String::ParseDouble(written.GetString(), &end), 2.25);
    EXPECT_EQ(*end, '\0');
}

TEST(ParseDouble, ReadsAnyUserSeparator)
{
    char self[MAX_PATH];
    ASSERT_NE(GetModuleFileNameA(nullptr, self, sizeof self), 0u);
    for (const char* separator : {"'", "_"}) {
        test::Process child(self, "--gtest_also_run_disabled_tests --gtest_filter=ParseDouble.DISABLED_ChildReadsTheSeparator",
                      {std::string(kChildSeparatorVariable) + "=" + separator});
        ASSERT_TRUE(child.Started()) << separator;
        ASSERT_TRUE(child.Wait(60000)) << separator;
        EXPECT_EQ(child.ExitCode(), 0u) << "separator " << separator;
    }
}

} // namespace

// The real lookup: the product's configuration files in its configuration directory.
TEST(DecimalPoint, ProductConfigurationFilesDecide)
{
    char common[MAX_PATH] = "";
    SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common);
    std::string cfg = std::string(common) + "\\Brontell\\Quelvaran 2016 (32-bit)\\Cfg";
    test::MakeDirs(cfg);
    std::string testExec = cfg + "\\TestExec.ini", startupCfg = cfg + "\\StartupCfg.ini";
    struct Case { const char* testExec; const char* startupCfg; unsigned short kind1; };
    const Case cases[] = {
        {"[Config]\r\nUseLocalizedDecimalPoint=True\r\n", nullptr, ','},
        {"[Config]\r\nUseLocalizedDecimalPoint=false\r\n", "[%StartupCfg]\r\nUseLocalizedDecimalPoint=True\r\n", '.'},
        {nullptr, "[%StartupCfg]\r\nUseLocalizedDecimalPoint=TRUE\r\n", ','},
        {"[Other]\r\nUseLocalizedDecimalPoint=True\r\n", nullptr, '.'},       // wrong section
        {nullptr, "[Config]\r\nUseLocalizedDecimalPoint=True\r\n", '.'},       // wrong section for this file
        {nullptr, nullptr, '.'},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        DeleteFileA(testExec.c_str());
        DeleteFileA(startupCfg.c_str());
        if (cases[i].testExec) test::WriteFile(testExec, cases[i].testExec);
        if (cases[i].startupCfg) test::WriteFile(startupCfg, cases[i].startupCfg);
        DecimalPointLocalizer localizer(FindUseLocalizedDecimalPointItem);
        EXPECT_EQ(localizer.GetLocalizedDecimalPoint(1), cases[i].kind1) << "row " << i;
        EXPECT_EQ(localizer.GetLocalizedDecimalPoint(2), ',') << "row " << i;
    }
    DeleteFileA(testExec.c_str());
    DeleteFileA(startupCfg.c_str());
}
