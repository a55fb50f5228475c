#include <gtest/gtest.h>

#include "macros/DirectoryMacroTable.h"
#include "runner/CommandFile.h"
#include "support/TestSupport.h"
#include "unit/AppCodePage.h"

using namespace test;

namespace {
struct CommandFileTest : ::testing::Test {
    Kit kit;
    DirectoryMacroTable macros{DynamicString(), DynamicString(), DynamicString()};
    void Use(const std::string& ini) {
        kit.SetCommandFile(ini);
        SetBaseDirectory(kit.Dir());
    }
};
}  // namespace

TEST_F(CommandFileTest, ReadsCommandsUpToTheFirstGap) {
    std::string longCommand = "tool.exe " + std::string(2991, 'y');  // 3000 characters
    Use("[customcommands]\r\n"
        "Reboot=true\r\n"
        "Commands_0= \t first a\\nb \t\r\n"
        "COMMANDS_1=\"quoted whole\"\r\n"
        "Commands_2=\"C:\\Program Files\\x.exe\" /q arg\r\n"
        "Commands_3=" + longCommand + "\r\n"
        "Commands_5=after the gap\r\n");
    std::vector<std::string> list;
    bool reboot = false;
    EXPECT_EQ(ReadCommandList(list, reboot, macros), 4);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0], "first a\\nb");  // no escapes are interpreted
    EXPECT_EQ(list[1], "quoted whole");
    EXPECT_EQ(list[2], "\"C:\\Program Files\\x.exe\" /q arg");
    EXPECT_EQ(list[3], longCommand);
    EXPECT_FALSE(reboot) << "only TRUE in capitals requests the reboot";
}

TEST_F(CommandFileTest, EmptyOrBlankFirstCommandMeansNone) {
    for (const char* first : {"Commands_0=\r\nCommands_1=x\r\n", "Commands_0=    \r\nCommands_1=x\r\n", ""}) {
        Use(std::string("[CustomCommands]\r\nReboot=TRUE\r\n") + first);
        std::vector<std::string> list;
        bool reboot = false;
        EXPECT_EQ(ReadCommandList(list, reboot, macros), 0) << first;
        EXPECT_TRUE(reboot);
    }
}

TEST_F(CommandFileTest, RebootFromTheCommandLineIsNeverCleared) {
    Use("[CustomCommands]\r\nReboot=FALSE\r\n");
    std::vector<std::string> list;
    bool reboot = true;
    ReadCommandList(list, reboot, macros);
    EXPECT_TRUE(reboot);
}

TEST_F(CommandFileTest, TenThousandCommandsAreReadWhole) {
    std::string ini = "[CustomCommands]\r\n";
    for (int i = 0; i < 10000; ++i) ini += "Commands_" + std::to_string(i) + "=cmd" + std::to_string(i) + "\r\n";
    Use(ini);
    std::vector<std::string> list;
    bool reboot = false;
    ASSERT_EQ(ReadCommandList(list, reboot, macros), 10000);
    EXPECT_EQ(list[9999], "cmd9999");
}

TEST_F(CommandFileTest, BinaryGarbageReadsAsNoCommands) {
    std::string garbage;
    for (int i = 0; i < 8192; ++i) garbage.push_back(static_cast<char>((i * 7919 + 13) % 256));
    Use(garbage);
    std::vector<std::string> list;
    bool reboot = false;
    EXPECT_EQ(ReadCommandList(list, reboot, macros), 0);
}

TEST_F(CommandFileTest, DisplayTextsFallBackToTheirDefaults) {
    Use("[Strings]\r\nWaitingMsg=Bitte warten\r\nCompleteMsg=\r\n");
    EXPECT_EQ(GetDisplayText("WaitingMsg", "default"), "Bitte warten");
    EXPECT_EQ(GetDisplayText("completemsg", "default"), "default");  // present but empty
    EXPECT_EQ(GetDisplayText("rebootMsg", "default"), "default");    // missing
    SetBaseDirectory("C:\\no\\such\\kit");
    EXPECT_EQ(GetDisplayText("WaitingMsg", "default"), "default");   // missing file
}

TEST_F(CommandFileTest, ReadFileValueReadsAnyFile) {
    WriteFile(kit.File("SETUP.INI"), "[Installer]\r\nPackage=product.msi\r\n");
    std::string value = "junk";
    EXPECT_EQ(ReadFileValue("Installer", "Package", value, kit.File("SETUP.INI").c_str()), 11);
    EXPECT_EQ(value, "product.msi");
    EXPECT_EQ(ReadFileValue("Installer", "Missing", value, kit.File("SETUP.INI").c_str()), 0);
    EXPECT_EQ(value, "");
}

TEST(ProfileReader, BufferDoublesUntilTheValueFits) {
    TempFolder dir("profile");
    WriteFile(dir / "a.ini", "[s]\r\nk=" + std::string(3000, 'v') + "\r\n");
    int capacity = 1024;
    char* buffer = new char[capacity];
    EXPECT_EQ(ReadProfileString("s", "k", buffer, capacity, (dir / "a.ini").c_str()), 3000);
    EXPECT_EQ(capacity, 4096);
    EXPECT_EQ(std::string(buffer), std::string(3000, 'v'));
    delete[] buffer;

    char* none = nullptr;
    EXPECT_EQ(ReadProfileString("s", "k", none, capacity, (dir / "a.ini").c_str()), 0);
}

TEST(DisplayFormat, ReplacementPlaceholdersMustMatchTheDefaults) {
    struct Case { const char* format; const char* expected; };
    const Case cases[] = {
        {"Exit %d", "Exit 3"},                   // fewer conversions: the rest is unused
        {"Exit %d of %s", "Exit 3 of tool"},
        {"%5d|%-6s|", "    3|tool  |"},        // flags and widths pass
        {"100%% done, code %i", "100% done, code 3"},
        {"no placeholders", "no placeholders"},
        {"%s first", "Exit 3 / tool"},          // wrong type: default
        {"%d %s %s", "Exit 3 / tool"},          // more than given: default
        {"%*d", "Exit 3 / tool"},
        {"%ld", "Exit 3 / tool"},
        {"%n", "Exit 3 / tool"},
        {"trailing %", "Exit 3 / tool"},
        // A field wider or a precision longer than a log line: default (the formatter would
        // reserve the whole field on the stack).
        {"Completed exit code:%99999999d", "Exit 3 / tool"},
        {"%2100000d", "Exit 3 / tool"},
        {"%-32767d", "Exit 3 / tool"},
        {"%.99999999d", "Exit 3 / tool"},
        {"%d %.2100000s", "Exit 3 / tool"},
        {"%99999999999999999999d", "Exit 3 / tool"},  // past the int the formatter reads
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        std::string got = FormatDisplayText(cases[i].format, "Exit %d / %s", "ds", 3, "tool");
        EXPECT_EQ(got, cases[i].expected) << "row " << i << " format '" << cases[i].format << "'";
    }
    // The widest field that fits is filled.
    EXPECT_EQ(FormatDisplayText("%32766d", "Exit %d", "d", 3), std::string(32765, ' ') + "3");
    EXPECT_EQ(FormatDisplayText("%-.32766s|", "Exit %s", "s", "tool"), "tool|");
}

TEST_F(CommandFileTest, DisplayTextIsTheOneCallForEveryText) {
    Use("[Strings]\r\nCompletedExitCode=Fertig: %d\r\nTimedOutMsg=%s s\r\nInvokingMsg=\"100% \"\r\n");
    EXPECT_EQ(DisplayText("CompletedExitCode", 3), "Fertig: 3");
    EXPECT_EQ(DisplayText("completedexitcode", -1), "Fertig: -1") << "keys match without case";
    // A replacement whose placeholders do not fit the arguments: the built-in text.
    EXPECT_EQ(DisplayText("TimedOutMsg", 5), "Still running after 5 s; the run goes on without it.");
    // A text without placeholders is shown as written.
    EXPECT_EQ(DisplayText("InvokingMsg"), "100% ");
    EXPECT_EQ(DisplayText("errorMsg", 2, std::string("tool.exe"), "gone\r\n"),
              "Error code:2 occurred on command tool.exe\ngone\r\n\n");
    // The program's own slips show the key instead of reading arguments that are not there.
    EXPECT_EQ(DisplayText("NoSuchKey"), "NoSuchKey");
    EXPECT_EQ(DisplayText("CompletedExitCode"), "CompletedExitCode");
    EXPECT_EQ(DisplayText("InvokingMsg", 3), "InvokingMsg");
}

class CommandFileCodePage : public AppCodePage {
protected:
    Kit kit;
    DirectoryMacroTable macros{DynamicString(), DynamicString(), DynamicString()};
};

TEST_P(CommandFileCodePage, TrimmingKeepsDoubleByteCharactersWhole) {
    // Trail bytes '|' and '\' next to the white space at both ends, and a vertical tab and form
    // feed, which the profile reader leaves for the program to trim.
    kit.SetCommandFile("[CustomCommands]\r\n"
                       "Commands_0=\t\x83\x7C tool \x95\x5C\t\r\n"
                       "Commands_1=\v\f\x83\x5C tool \x83\x7C\v\f\r\n");
    SetBaseDirectory(kit.Dir());
    std::vector<std::string> list;
    bool reboot = false;
    ASSERT_EQ(ReadCommandList(list, reboot, macros), 2);
    EXPECT_EQ(list[0], "\x83\x7C tool \x95\x5C");
    EXPECT_EQ(list[1], "\x83\x5C tool \x83\x7C");
}

INSTANTIATE_APP_CODE_PAGES(CommandFileCodePage);
