// Host layer: the COM support library's system-string wrapper, as far as the framework and its
// tests use it. Like the real one it converts through _com_util's two functions (which the
// framework defines) and makes its narrow copy once, on first use.
#pragma once

#include <windows.h>

namespace _com_util {
BSTR WINAPI ConvertStringToBSTR(const char* text);
char* WINAPI ConvertBSTRToString(BSTR text);
}  // namespace _com_util

class _bstr_t {
public:
    _bstr_t() : m_data(nullptr) {}
    _bstr_t(const wchar_t* text) : m_data(new Data(text ? SysAllocString(text) : nullptr)) {}
    _bstr_t(const char* text) : m_data(new Data(_com_util::ConvertStringToBSTR(text))) {}
    _bstr_t(const _bstr_t& other) : m_data(other.m_data) { if (m_data) ++m_data->refs; }
    _bstr_t& operator=(const _bstr_t& other)
    {
        if (other.m_data)
            ++other.m_data->refs;
        Release();
        m_data = other.m_data;
        return *this;
    }
    ~_bstr_t() { Release(); }

    operator const wchar_t*() const { return m_data ? m_data->wide : nullptr; }
    operator wchar_t*() const { return m_data ? m_data->wide : nullptr; }
    operator const char*() const
    {
        if (!m_data)
            return nullptr;
        if (!m_data->narrow)
            m_data->narrow = _com_util::ConvertBSTRToString(m_data->wide);
        return m_data->narrow;
    }
    unsigned int length() const { return m_data ? SysStringLen(m_data->wide) : 0; }

private:
    struct Data {
        explicit Data(BSTR w) : wide(w), narrow(nullptr), refs(1) {}
        ~Data() { SysFreeString(wide); delete[] narrow; }
        BSTR wide;
        char* narrow;
        long refs;
    };
    void Release()
    {
        if (m_data && --m_data->refs == 0)
            delete m_data;
        m_data = nullptr;
    }
    Data* m_data;
};
