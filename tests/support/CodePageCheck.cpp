// Linked into every test program that CTest runs a second time under the ANSI code page 932:
// that registration sets SARNIK_CODE_PAGE, and this check makes sure the locale really gave the
// program (and so every sarnik.exe and fixture it starts) that code page, rather than letting a
// missing locale turn the second run into a copy of the first.
#include <gtest/gtest.h>

#include <windows.h>
#include <mbctype.h>

#include <cstdlib>

TEST(CodePage, TheProgramRunsUnderTheExpectedAnsiCodePage) {
    const char* expected = std::getenv("SARNIK_CODE_PAGE");
    if (!expected) GTEST_SKIP() << "the registration under the default code page";
    EXPECT_EQ(GetACP(), static_cast<UINT>(std::atoi(expected)));
    EXPECT_EQ(_getmbcp(), std::atoi(expected)) << "the runtime's multibyte code page follows the ANSI one";
    EXPECT_NE(IsDBCSLeadByte(0x83), FALSE);
}
