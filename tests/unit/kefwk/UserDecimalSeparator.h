// Sets the user's decimal separator ("sDecimal" of the "intl" settings, kept in the user's
// registry under Control Panel\International) for the life of the object, and puts back what
// was there, or removes the value when there was none.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

class UserDecimalSeparator {
public:
    // A null separator removes the value.
    explicit UserDecimalSeparator(const char* separator)
    {
        LONG rc = RegCreateKeyExA(HKEY_CURRENT_USER, "Control Panel\\International", 0, nullptr, 0,
                                  KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &m_key, nullptr);
        EXPECT_EQ(rc, ERROR_SUCCESS) << "opening Control Panel\\International";
        if (rc != ERROR_SUCCESS) {
            m_key = nullptr;
            return;
        }
        char old[64];
        DWORD size = sizeof old, type = 0;
        if (RegQueryValueExA(m_key, "sDecimal", nullptr, &type, (BYTE*)old, &size) == ERROR_SUCCESS &&
            type == REG_SZ) {
            m_had = true;
            m_old.assign(old, size && old[size - 1] == '\0' ? size - 1 : size);
        }
        if (separator)
            rc = RegSetValueExA(m_key, "sDecimal", 0, REG_SZ, (const BYTE*)separator, (DWORD)strlen(separator) + 1);
        else
            rc = RegDeleteValueA(m_key, "sDecimal");
        EXPECT_TRUE(rc == ERROR_SUCCESS || (!separator && rc == ERROR_FILE_NOT_FOUND)) << "setting sDecimal: " << rc;
    }
    ~UserDecimalSeparator()
    {
        if (!m_key)
            return;
        if (m_had)
            RegSetValueExA(m_key, "sDecimal", 0, REG_SZ, (const BYTE*)m_old.c_str(), (DWORD)m_old.size() + 1);
        else
            RegDeleteValueA(m_key, "sDecimal");
        RegCloseKey(m_key);
    }
    UserDecimalSeparator(const UserDecimalSeparator&) = delete;
    UserDecimalSeparator& operator=(const UserDecimalSeparator&) = delete;

private:
    HKEY m_key = nullptr;
    bool m_had = false;
    std::string m_old;
};
