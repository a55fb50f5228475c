// Registry reads under the framework's error reporting.
//
// Classes in this file:
//   RegistryKey   an owned key handle, closed by its destructor; never throws
//   QvRegistry    static reads of keys and values that raise KEException on failure
// Free function: ReadMachineRegistryString.
//
// Keys are opened with KEY_READ, to which a caller may add a view flag (KEY_WOW64_64KEY or
// KEY_WOW64_32KEY). Texts are read wide and come back in the system's ANSI code page exactly
// (AnsiText): a text that the code page cannot hold is refused, never handed out as a look-alike.
#pragma once

#include <windows.h>

#include <string>

#include "kestring.h"

// The registry view of the maker's own settings (Software\Brontell\...) and of its engine's
// registration: its setup engine, product and installers are 32-bit programs, which on 64-bit
// Windows write to the 32-bit view. The 32-bit program reads that view by default; the 64-bit
// program must ask for it, or it would look in the 64-bit view, where they are not, and name
// other folders than the 32-bit program on the same machine. (32-bit Windows ignores the flag.)
const REGSAM kProductRegistryView = KEY_WOW64_32KEY;
// The program's own view: Windows' settings for programs of its architecture (the folder of
// its programs, its Windows Installer), and a registration whose DLLs it is to load.
const REGSAM kOwnRegistryView = 0;

class RegistryKey {
public:
    RegistryKey() : m_key(nullptr) {}
    ~RegistryKey() { Close(); }
    RegistryKey(const RegistryKey&) = delete;
    RegistryKey& operator=(const RegistryKey&) = delete;

    // Opens subkey of root (a predefined root is only borrowed). On success the key held before
    // is closed and the new one kept; otherwise the key held is unchanged. Returns the system's
    // status code.
    LONG Open(HKEY root, const char* subkey, REGSAM access);
    void Close();
    void Attach(HKEY key);
    HKEY Detach();
    HKEY Get() const { return m_key; }
    bool IsOpen() const { return m_key != nullptr; }

private:
    HKEY m_key;
};

class QvRegistry {
public:
    // Empties key, then opens subkey. A key that does not exist leaves key empty, or raises
    // CANT_FIND_REGISTRY_ITEM when mustExist is set. Raises on a null subkey and on any other
    // failure.
    static void OpenKeyIfExists(RegistryKey& key, HKEY root, const char* subkey, REGSAM access, bool mustExist);

    // True when the text value (REG_SZ, or REG_EXPAND_SZ, which is expanded) exists and was
    // copied into out. False when the key or the value is missing: out is then unchanged.
    // Raises for a value of another type and on other failures.
    // A text that the code page cannot represent raises ERROR_ACCESSING_REGISTRY_VALUE with the
    // system error ERROR_NO_UNICODE_TRANSLATION.
    static bool GetStringValueIfExists(HKEY root, const char* subkey, const char* valueName, String& out,
                                       REGSAM extraAccess = 0);
    // The same read, the text as the system holds it (wide).
    static bool GetStringValueIfExists(HKEY root, const char* subkey, const char* valueName, std::wstring& out,
                                       REGSAM extraAccess = 0);

    // The same contract for a 4-byte REG_DWORD value.
    static bool GetNumericValueIfExists(HKEY root, const char* subkey, const char* valueName, int& out,
                                        REGSAM extraAccess = 0);

    // The text value under HKEY_LOCAL_MACHINE, or a copy of defaultText when it is missing.
    static DynamicString GetMachineStringValueOrDefault(const char* subkey, const char* valueName,
                                                        const String& defaultText, REGSAM extraAccess = 0);

    // Reads the machine's "DiagnosticLevel" (the product's setting, in its view) into the
    // process-wide diagnostic level; false when the value is missing (the level is then unchanged).
    static bool ReadDiagnosticLevel();
};

// Looks the value name up without regard to case among the values of the HKEY_LOCAL_MACHINE key
// (in the registry view given: kOwnRegistryView or kProductRegistryView) and copies its data,
// taken as text, into out. Returns 0 when found; otherwise the status that ended the search:
// ERROR_NO_MORE_ITEMS (259) when no name matched, ERROR_MORE_DATA (234) when a value met earlier
// has a name or data longer than 260 bytes. Raises CANT_FIND_REGISTRY_ITEM for a missing key. A
// text that the code page cannot represent gives ERROR_NO_UNICODE_TRANSLATION (out unchanged).
LONG ReadMachineRegistryString(const char* keyPath, const char* valueName, String& out,
                               REGSAM view = kOwnRegistryView);
// The same search, the text as the system holds it (wide).
LONG ReadMachineRegistryString(const char* keyPath, const char* valueName, std::wstring& out,
                               REGSAM view = kOwnRegistryView);
