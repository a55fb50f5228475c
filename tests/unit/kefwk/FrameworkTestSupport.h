// What the framework's tests share: a fixture run under the default code page and under
// double-byte 932, a readable form of raw bytes, and the exception a call raised.
#pragma once

#include <gtest/gtest.h>

#include <mbctype.h>

#include <cstdio>
#include <string>

#include "KEException.h"

namespace kefwktest {

// Parameter 0 keeps the default code page; any other switches the runtime's multibyte page to
// it for the test and back afterwards.
class CodePageTest : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        m_saved = _getmbcp();
        if (GetParam()) {
            ASSERT_EQ(_setmbcp(GetParam()), 0);
        }
        ASSERT_EQ(_ismbblead(0x82) != 0, Dbcs());
    }
    void TearDown() override { _setmbcp(m_saved); }
    bool Dbcs() const { return GetParam() == 932; }
    const char* Pick(const char* sbcs, const char* dbcs) const { return Dbcs() ? dbcs : sbcs; }

private:
    int m_saved = 0;
};

// Names the instances of a CodePageTest suite: "default" and "cp932".
inline std::string CodePageName(const ::testing::TestParamInfo<int>& info)
{
    return info.param ? "cp" + std::to_string(info.param) : std::string("default");
}

// Printable bytes as they are, the others as \xNN, so a failure shows split characters.
inline std::string Show(const char* s)
{
    if (!s)
        return "(null)";
    std::string out;
    for (; *s; ++s) {
        unsigned char c = *s;
        if (c >= 0x20 && c < 0x7f) {
            out += char(c);
        } else {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// Runs f and returns the exception it raised; fails the test when it raised none.
template <class F>
KEException Raised(F f)
{
    try {
        f();
    } catch (const KEException& e) {
        return e;
    }
    ADD_FAILURE() << "no exception";
    return KEException("", "", 0, false, 0, 0, nullptr, "", 0, "", "");
}

}  // namespace kefwktest
