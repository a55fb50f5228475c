// Test helpers for the diagnostic output: the machine's "DiagnosticLevel" registry value, written
// for one test and removed afterwards, and a listener on the pieces sent to the debugger output.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "DebugStreamBuf.h"
#include "KEException.h"

// In the registry view where the product's installers write it (KEY_WOW64_32KEY), unless another
// view is named.
class DiagnosticLevelValue {
public:
    // level < 0: no value at all.
    explicit DiagnosticLevelValue(int level, REGSAM view = KEY_WOW64_32KEY) : m_view(view)
    {
        Prepare();
        if (level >= 0) Set(REG_DWORD, &level, sizeof level);
    }
    // A value of the wrong type.
    explicit DiagnosticLevelValue(const char* text) : m_view(KEY_WOW64_32KEY)
    {
        Prepare();
        Set(REG_SZ, text, (DWORD)strlen(text) + 1);
    }
    ~DiagnosticLevelValue()
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeys[2], 0, KEY_SET_VALUE | m_view, &key) == ERROR_SUCCESS) {
            RegDeleteValueA(key, "DiagnosticLevel");
            RegCloseKey(key);
        }
        for (int i = 2; i >= 0; --i) {
            if (m_created[i])
                RegDeleteKeyExA(HKEY_LOCAL_MACHINE, kKeys[i], m_view, 0);
        }
        ResetDiagnosticLevel();
    }
    DiagnosticLevelValue(const DiagnosticLevelValue&) = delete;
    DiagnosticLevelValue& operator=(const DiagnosticLevelValue&) = delete;

private:
    void Prepare()
    {
        for (int i = 0; i < 3; ++i) {
            HKEY key;
            DWORD disposition = 0;
            if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKeys[i], 0, nullptr, 0, KEY_ALL_ACCESS | m_view, nullptr, &key,
                                &disposition) == ERROR_SUCCESS) {
                m_created[i] = disposition == REG_CREATED_NEW_KEY;
                if (i == 2)
                    RegDeleteValueA(key, "DiagnosticLevel");
                RegCloseKey(key);
            }
        }
        ResetDiagnosticLevel();
    }
    void Set(DWORD type, const void* data, DWORD size)
    {
        HKEY key;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKeys[2], 0, KEY_SET_VALUE | m_view, &key) == ERROR_SUCCESS) {
            RegSetValueExA(key, "DiagnosticLevel", 0, type, static_cast<const BYTE*>(data), size);
            RegCloseKey(key);
        }
    }

    static constexpr const char* kKeys[3] = {"Software\\Brontell", "Software\\Brontell\\Quelvaran",
                                             "Software\\Brontell\\Quelvaran\\16.0"};
    REGSAM m_view;
    bool m_created[3] = {false, false, false};
};

// Collects what the diagnostic stream sends, piece by piece, instead of the debugger.
class DebugCapture {
public:
    DebugCapture() { Pieces().clear(); m_previous = SetDebugOutputSink(&Sink); }
    ~DebugCapture() { SetDebugOutputSink(m_previous); }
    DebugCapture(const DebugCapture&) = delete;
    DebugCapture& operator=(const DebugCapture&) = delete;

    static std::vector<std::string>& Pieces()
    {
        static std::vector<std::string> pieces;
        return pieces;
    }
    static std::string Text()
    {
        std::string all;
        for (const std::string& piece : Pieces())
            all += piece;
        return all;
    }

private:
    static void Sink(const char* text) { Pieces().push_back(text); }
    DebugOutputSink m_previous;
};
