// A fixture for the application's text-scanning units: each test runs with the runtime's
// multibyte code page set to its parameter (1252 or double-byte 932) and put back afterwards,
// whatever ANSI code page the process has.
#pragma once

#include <gtest/gtest.h>

#include <mbctype.h>

class AppCodePage : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        m_saved = _getmbcp();
        ASSERT_EQ(_setmbcp(GetParam()), 0);
        ASSERT_EQ(_ismbblead(0x83) != 0, Dbcs());
    }
    void TearDown() override { _setmbcp(m_saved); }
    bool Dbcs() const { return GetParam() == 932; }
    template <class T>
    T Pick(const T& sbcs, const T& dbcs) const { return Dbcs() ? dbcs : sbcs; }

private:
    int m_saved = 0;
};

#define INSTANTIATE_APP_CODE_PAGES(suite)                                                        \
    INSTANTIATE_TEST_SUITE_P(, suite, ::testing::Values(1252, 932),                              \
                             [](const ::testing::TestParamInfo<int>& info) {                     \
                                 return "CodePage" + std::to_string(info.param);                 \
                             })
