// Message tables, error codes, exceptions and what reaches the debugger output.
#include <gtest/gtest.h>

#include <windows.h>

#include <stdlib.h>

#include <atomic>
#include <future>
#include <new>
#include <sstream>
#include <thread>
#include <string>
#include <vector>

#include "DebugStreamBuf.h"
#include "DiagnosticCapture.h"
#include "ErrorTables.h"
#include "KEException.h"
#include "support/TestSupport.h"
#include "unit/kefwk/FrameworkTestSupport.h"

// While armed (0 or more), counts the allocations of operator new down; the one that finds the
// count at 0 fails as a real exhaustion would. Only the child runs below arm it.
static std::atomic<int> g_allocationsLeft{-1};

void* operator new(size_t n)
{
    if (g_allocationsLeft.load() >= 0 && g_allocationsLeft-- == 0)
        throw std::bad_alloc();
    if (void* p = HeapAlloc(GetProcessHeap(), 0, n ? n : 1))
        return p;
    throw std::bad_alloc();
}
// The framework allocates with new (std::nothrow): it must meet the same count and the same heap
// as the plain form, or a runtime that supplies its own nothrow form would pair it with our delete.
void* operator new(size_t n, const std::nothrow_t&) noexcept
{
    try {
        return operator new(n);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { if (p) HeapFree(GetProcessHeap(), 0, p); }
void operator delete(void* p, size_t) noexcept { if (p) HeapFree(GetProcessHeap(), 0, p); }

namespace {

std::vector<std::string> SplitLines(const std::string& text)
{
    std::vector<std::string> lines;
    std::string line;
    std::istringstream in(text);
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

TEST(ErrorTables, MessagesByCode)
{
    struct Case { int code; const char* message; };
    const Case cases[] = {
        {-17000, "Out of memory."},
        {-17001, "Program Error."},
        {-17002, "Could not access system registry."},
        {-17003, "An item could not be found in system registry."},
        {-17004, "Could not load DLL or library."},
        {-17006, "Unable to allocate system resource."},
        {-17011, "An unsigned 32-bit value has overflowed."},
        {-17100, "Incorrect file format."},
        {-17200, "General I/O Error."},
        {-17201, "Unable to open file."},
        {-17202, "Bad network path, or network not responding."},
        {-17203, "Drive Not Ready Error."},
        {-17204, "Pathname is invalid."},
        {-17205, "Access Denied."},
        {-17206, "File already exists."},
        {-17207, "Disk Full."},
        {-17208, "File or directory not found."},
        {-17209, "Sharing violation."},
        {-17210, "Disk is write protected."},
        {-17211, "Drive letter is invalid."},
        {-17212, "Path not found."},
        {-17300, "Value invalid or out of range."},
        {-17303, "Too many items."},
        {-17304, "Unrecognized value."},
        {-17305, "Duplicate item or value."},
        {-17308, "Specified value does not have the expected type."},
        {-17321, "Variable or property types do not match or are not compatible."},
        {-17346, "Invalid Pointer."},
        {-17401, "Error, operation in progress."},
        {-17500, "Operation Failed."},
        {-17501, "Unexpected Operating System Error."},
        {-17604, "Operation Canceled."},
        {-18101, "The DDE transaction failed."},
        {-18151, "No application is associated with the given filename extension."},
        {1, "User-defined error code."},
        {-1, "User-defined error code."},
        {0, "User-defined error code."},
        {-17005, "Function not found in DLL or library."},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        TableString text = GetErrorCodeMessage(cases[i].code);
        EXPECT_STREQ(text.GetString(), cases[i].message) << "row " << i << ": code " << cases[i].code;
        EXPECT_FALSE(text.IsOwned()) << "row " << i;
    }
    ASSERT_NE(FindErrorCodeEntry(-17205), nullptr);
    EXPECT_STREQ(FindErrorCodeEntry(-17205)->name, "KE_ACCESS_DENIED");
    EXPECT_EQ(FindErrorCodeEntry(-17205)->equivalentStatus, 0x80070005u);
    EXPECT_EQ(FindErrorCodeEntry(-1), nullptr);
}

// Tables and keys are found without regard to case under the default code page and under 932.
class TablesCodePage : public kefwktest::CodePageTest {};

TEST_P(TablesCodePage, MessagesByTableAndKey)
{
    struct Case { const char* table; const char* key; const char* text; };
    const Case cases[] = {
        {"err_descr", "path_is_empty", "Path is empty."},
        {"ERR_DESCR", "SPRINTF_FORMATTING_ERROR", "Error occurred formatting the string."},
        {"ERR_DESCR", "PATH_SEP_MUST_FOLLOW_DRIVE_SPEC", "Path separator (\\) must follow drive specification."},
        {"ERR_DESCR", "PATH_HAS_EMPTY_COMPONENT", "Path contains two adjacent path separators (\\\\)."},
        {"ERR_DESCR", "PATH_HAS_INVALID_CHARS",
         "One or more path components contain invalid characters: (< > | : / \\ \" * ?)."},
        {"ERR_DESCR", "PATH_BEGINS_WITH_SEPARATOR",
         "Path begins with separator (\\).\nPaths must begin with drive specification (C:) or network name "
         "(\\\\machine\\C)."},
        {"ERR_DESCR", "COPY_FILE_FAILED", "Could not copy '%1' to '%2'."},
        {"ERR_DESCR", "FILE_FORMAT_ERROR_WRONG_TYPE_UINT64",
         "XML value on line %2 character %3 is the wrong type. 64-bit Unsigned Integer expected."},
        {"Ke_Errors", "USER_DEFINED_ERR_CODE", "User-defined error code."},
        {"DRX_TOOLERR", "nodescriptionavailable", "No description available. "},
        {"ERRORS", "ERROR_32_BIT_POINTER_WITH_64_BIT_PLATFORM", "32-bit pointer used with 64-bit platform."},
        {"ERR_DESCR", "NO_SUCH_KEY", "String not found in the language resource files"},
        {"NO_SUCH_TABLE", "PATH_IS_EMPTY", "String not found in the language resource files"},
    };
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        TableString text = GetTableString(cases[i].table, cases[i].key);
        EXPECT_STREQ(text.GetString(), cases[i].text) << "row " << i << ": " << cases[i].key;
        EXPECT_FALSE(text.IsOwned()) << "row " << i;
    }
    TableString fallback = GetTableString("ERR_DESCR", "NO_SUCH_KEY", "my default");
    EXPECT_STREQ(fallback.GetString(), "my default");
    EXPECT_TRUE(fallback.IsOwned());
    TableString found = GetTableString("ERR_DESCR", "PATH_IS_EMPTY", "my default");
    EXPECT_STREQ(found.GetString(), "Path is empty.");
    EXPECT_FALSE(found.IsOwned());
}

// The message registry is built at the first lookup, which only a fresh process can show: these
// run in child programs started by ErrorTables.FirstLookupInAFreshProcess.
TEST(ErrorTables, DISABLED_ChildRunsOutOfMemoryWhileBuilding)
{
    g_allocationsLeft = 40;
    int code = 0;
    try {
        GetTableString("ERR_DESCR", "PATH_IS_EMPTY");
    } catch (const KEException& e) {
        code = e.GetErrorCode();
    }
    g_allocationsLeft = -1;
    EXPECT_EQ(code, KE_OUT_OF_MEMORY);
    // Not built again: the first rows are there, the later ones are not, and nothing raises.
    EXPECT_STREQ(GetTableString("ERR_DESCR", "SPRINTF_FORMATTING_ERROR").GetString(),
                 "Error occurred formatting the string.");
    EXPECT_STREQ(GetTableString("KE_ERRORS", "USER_DEFINED_ERR_CODE").GetString(), "String Not Found In Table");
}

TEST(ErrorTables, DISABLED_ChildLooksUpFromManyThreadsAtOnce)
{
    std::promise<void> go;
    std::shared_future<void> gate = go.get_future().share();
    std::vector<const char*> seen(8, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i) {
        threads.emplace_back([gate, &seen, i] {
            gate.wait();
            TableString text = GetTableString("ERR_DESCR", i % 2 ? "PATH_IS_EMPTY" : "path_is_empty");
            seen[i] = text.GetString();
        });
    }
    go.set_value();
    for (auto& t : threads)
        t.join();
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_STREQ(seen[i], "Path is empty.") << "thread " << i;
        EXPECT_EQ(seen[i], seen[0]) << "thread " << i << ": one registry for all";
    }
}

#ifndef SARNIK_HOST_BUILD  // child processes: Wine only
TEST(ErrorTables, FirstLookupInAFreshProcess)
{
    char self[MAX_PATH];
    ASSERT_NE(GetModuleFileNameA(nullptr, self, sizeof self), 0u);
    for (const char* child : {"DISABLED_ChildRunsOutOfMemoryWhileBuilding", "DISABLED_ChildLooksUpFromManyThreadsAtOnce"}) {
        test::Process run(self, std::string("--gtest_also_run_disabled_tests --gtest_filter=ErrorTables.") + child);
        ASSERT_TRUE(run.Started()) << child;
        ASSERT_TRUE(run.Wait(60000)) << child;
        EXPECT_EQ(run.ExitCode(), 0u) << child;
    }
}
#endif

INSTANTIATE_TEST_SUITE_P(, TablesCodePage, ::testing::Values(0, 932), kefwktest::CodePageName);

TEST(ErrorTables, Translations)
{
    struct Case { long long status; int code; };
    const Case system[] = {
        {2, -17208}, {3, -17212}, {5, -17205}, {65, -17205}, {0x80070005, -17205}, {8, -17000}, {14, -17000},
        {0x8007000E, -17000}, {15, -17211}, {19, -17210}, {21, -17203}, {32, -17209}, {39, -17207},
        {112, -17207}, {53, -17202}, {58, -17202}, {240, -17202}, {80, -17206}, {183, -17206}, {110, -17201},
        {123, -17204}, {161, -17204}, {1155, -18151}, {1156, -18101}, {1157, -17004}, {1223, -17604},
        {0x80004003, -17346}, {0x80020005, -17321}, {0, -17200}, {87, -17200},
    };
    for (size_t i = 0; i < sizeof system / sizeof system[0]; ++i)
        EXPECT_EQ(ErrorCodeFromSystemError((unsigned long)system[i].status), system[i].code) << "row " << i;

    const Case tool[] = {
        {0, 0}, {-5001, -17201}, {-5002, -17200}, {-5262, -17200}, {-5005, -17100}, {-5006, -17100},
        {-5025, -17100}, {-5026, -17100}, {-5021, -17300}, {-5024, -17300}, {-5027, -17304}, {-5050, -17401},
        {-5051, -17303}, {-5052, -17305}, {-5261, -17000}, {-5263, -17205}, {-5264, -17204}, {-5265, -17207},
        {-5003, -17500}, {-5028, -17500}, {5001, -17500},
    };
    for (size_t i = 0; i < sizeof tool / sizeof tool[0]; ++i)
        EXPECT_EQ(ErrorCodeFromToolStatus((int)tool[i].status), tool[i].code) << "row " << i;

    struct Description { int status; const char* text; };
    const Description descriptions[] = {
        {-5028, "A line in the file was longer than the supported maximum of 640 bytes."},
        {-5001, "Could Not Open File For Reading"},
        {5002, "Error Reading From File"},
        {-5265, "Disk Full"},
        {-9999, "No description available. "},
    };
    for (size_t i = 0; i < sizeof descriptions / sizeof descriptions[0]; ++i) {
        DynamicString out("junk");
        GetToolStatusDescription(descriptions[i].status, out);
        EXPECT_STREQ(out.GetString(), descriptions[i].text) << "row " << i;
    }
    // The table's own text keeps its %1 for the next caller.
    EXPECT_STREQ(GetTableString("DRX_TOOLERR", "LineTooLong").GetString(),
                 "A line in the file was longer than the supported maximum of %1 bytes.");
}

TEST(ErrorTables, SystemErrorTexts)
{
    EXPECT_STREQ(GetSystemErrorText(31).GetString(), "Cannot load DLL or system device not functioning");

    // Wording is the system's own (Wine's differs from Windows'): check the shape only.
    DynamicString notFound = GetSystemErrorText(ERROR_FILE_NOT_FOUND);
    std::string text = notFound.GetString();
    ASSERT_GE(text.size(), 3u);
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n") << text;

    EXPECT_STREQ(GetSystemErrorText(0x2000ABCD).GetString(), "Win32 error: 0x2000abcd\n");
}

TEST(KEException, DescriptionFromTheCodeTable)
{
    try {
        ThrowKEException(nullptr, "Test::Raise", -17000, 0, "here.cpp", 12, "10:11:12");
    } catch (const KEException& e) {
        EXPECT_STREQ(e.GetDescription(), "Out of memory.");
        EXPECT_STREQ(e.what(), "Out of memory.");
        EXPECT_STREQ(e.GetFunction(), "Test::Raise");
        EXPECT_STREQ(e.GetSourceFile(), "here.cpp");
        EXPECT_EQ(e.GetLine(), 12);
        EXPECT_STREQ(e.GetCompileTime(), "10:11:12");
        EXPECT_EQ(strlen(e.GetCompileDate()), 11u);  // "Apr  5 2017"
        EXPECT_STREQ(e.GetSource(), "");
        EXPECT_STREQ(e.GetAPIFunction(), "");
        EXPECT_EQ(e.GetUserValue(), 0);
        EXPECT_STREQ(e.GetPath(), "");
    }

    // Caught as the standard exception, as the application's catch-all does.
    try {
        ThrowKEException("own text", "Test::Raise", -17208, 2, "here.cpp", 1, "00:00:00");
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "own text");
    }

    try {
        ThrowKEExceptionWithText(DynamicString(""), "Test::Raise", -17000, 0, "here.cpp", 1, "00:00:00");
    } catch (const KEException& e) {
        EXPECT_STREQ(e.GetDescription(), "");  // the text form takes the text as given
    }
}

TEST(KEException, ReportLines)
{
    KEException plain(nullptr, "Test::Plain", 0, false, 0, 0, nullptr, "plain.cpp", 77, "Apr  5 2017", "01:02:03");
    EXPECT_STREQ(plain.GetDescription(), "");
    std::ostringstream out;
    plain.Report("Test::Catcher", out);
    const std::vector<std::string> expected = {
        "",
        "Error Code: 0",
        "Where raised:  ",
        "  function:  Test::Plain",
        "  file:  plain.cpp",
        "  line:  77",
        "  compilation time:  01:02:03  Apr  5 2017",
        "",
        "Where caught:  Test::Catcher",
    };
    EXPECT_EQ(SplitLines(out.str()), expected);

    KEException full("Could not open.", "Test::Full", -17201, false, 0, 5, "origin", "full.cpp", 9, "Jan 10 2020",
                     "23:59:59");
    full.SetAPIFunction("CreateFileA");
    full.PrependToDescription(DynamicString(">> "));
    full.AppendToDescription(DynamicString(" <<"));
    KEException copy(full);
    std::ostringstream fullOut;
    copy.Report("main", fullOut);
    const std::vector<std::string> fullExpected = {
        ">> Could not open. <<",
        "Error Code: -17201",
        "API Function: CreateFileA, API Error Code: 5",
        "Source:'origin'",
        "Where raised:  ",
        "  function:  Test::Full",
        "  file:  full.cpp",
        "  line:  9",
        "  compilation time:  23:59:59  Jan 10 2020",
        "",
        "Where caught:  main",
    };
    EXPECT_EQ(SplitLines(fullOut.str()), fullExpected);
}

TEST(DebugStreamBuf, SendsPiecesOfAtMost200Characters)
{
    DebugCapture capture;
    {
        DebugStreamBuf buffer;
        std::ostream out(&buffer);
        out << std::string(450, 'a') << std::flush;
        std::vector<size_t> sizes;
        for (const std::string& piece : capture.Pieces())
            sizes.push_back(piece.size());
        EXPECT_EQ(sizes, (std::vector<size_t>{200, 1, 200, 1, 48}));

        capture.Pieces().clear();
        out << std::flush;
        EXPECT_EQ(capture.Pieces(), (std::vector<std::string>{""}));  // an empty flush sends an empty text

        capture.Pieces().clear();
        out << "tail";
    }
    EXPECT_EQ(capture.Pieces(), (std::vector<std::string>{"tail"}));  // the destructor sends the rest
}

std::string ExpectedWarning(const char* message, const char* function, int line)
{
    return std::string("WARNING! '") + message + "' Line " + std::to_string(line) + " in function " + function +
           " in file kestring.cpp\n";
}

TEST(Diagnostics, WithoutALevelNothingIsWarnedAndAssertionsHideTheirMessage)
{
    DiagnosticLevelValue level(-1);
    DebugCapture capture;
    EXPECT_EQ(GetDiagnosticLevel(), 0);
    ReportWarning("should not show", "Test::Warn", 10);
    EXPECT_EQ(capture.Text(), "");

    try {
        ThrowAssertion("secret detail", "Test::Assert", "assert.cpp", 33, "12:00:00");
    } catch (const KEException& e) {
        EXPECT_EQ(e.GetErrorCode(), -17001);
        EXPECT_STREQ(e.GetDescription(), "Program Error.");
    }
    // The report is still written, headed by the description.
    std::vector<std::string> lines = SplitLines(capture.Text());
    ASSERT_EQ(lines.size(), 9u) << capture.Text();
    EXPECT_EQ(lines[0], "Program Error.");
    EXPECT_EQ(lines[1], "Error Code: -17001");
    EXPECT_EQ(lines[3], "  function:  Test::Assert");
    EXPECT_EQ(lines[8], "Where caught:  Debugging When Exception Constructed");
}

#ifndef SARNIK_HOST_BUILD  // registry values: Wine only
TEST(Diagnostics, AtLevelOneWarningsAndAssertionsReachTheDebugger)
{
    DiagnosticLevelValue level(1);
    DebugCapture capture;
    EXPECT_EQ(GetDiagnosticLevel(), 1);

    ReportWarning("Something odd", "Test::Warn", 42);
    std::vector<std::string> lines = SplitLines(capture.Text());
    ASSERT_EQ(lines.size(), 2u) << capture.Text();
    EXPECT_EQ(lines[0] + "\n", ExpectedWarning("Something odd", "Test::Warn", 42));
    EXPECT_EQ(lines[1].rfind("Compilation Date: ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(" Compilation Time: "), std::string::npos) << lines[1];

    // A long warning arrives in pieces of at most 200 characters, whole and in order.
    capture.Pieces().clear();
    std::string longMessage(450, 'w');
    ReportWarning(longMessage.c_str(), "Test::Warn", 7);
    for (size_t i = 0; i < capture.Pieces().size(); ++i)
        EXPECT_LE(capture.Pieces()[i].size(), 200u) << "piece " << i;
    EXPECT_EQ(SplitLines(capture.Text())[0] + "\n", ExpectedWarning(longMessage.c_str(), "Test::Warn", 7));

    // A missing message argument warns as well.
    capture.Pieces().clear();
    DynamicString s("no args");
    s.ReplaceArgument("x", 1);
    EXPECT_EQ(SplitLines(capture.Text()).at(0).rfind("WARNING! 'Could not find argument to replace in string' Line ", 0),
              0u) << capture.Text();
    EXPECT_NE(capture.Text().find(" in function String::HandleMissingFormatArgument in file kestring.cpp\n"),
              std::string::npos);

    capture.Pieces().clear();
    try {
        ThrowAssertion("the detail", "Test::Assert", "assert.cpp", 33, "12:00:00");
    } catch (const KEException& e) {
        EXPECT_STREQ(e.GetDescription(), "the detail");
    }
    EXPECT_EQ(SplitLines(capture.Text()).at(0), "the detail");
}
#endif

#ifndef SARNIK_HOST_BUILD  // registry values: Wine only
TEST(Diagnostics, AValueOfTheWrongTypeIsAnErrorEachTime)
{
    DiagnosticLevelValue level("1");
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            GetDiagnosticLevel();
            ADD_FAILURE() << "attempt " << attempt << ": no exception";
        } catch (const KEException& e) {
            EXPECT_EQ(e.GetErrorCode(), -17002) << "attempt " << attempt;
            EXPECT_STREQ(e.GetDescription(),
                         "Registry value Software\\Brontell\\Quelvaran\\16.0\\DiagnosticLevel does not have the "
                         "expected type.") << "attempt " << attempt;
        }
    }
}
#endif

} // namespace
