#include "REGISTRY.h"

#include <string.h>

#include <vector>

#include "AnsiText.h"
#include "ErrorTables.h"
#include "KEException.h"

namespace {

const char kDiagnosticKey[] = "Software\\Brontell\\Quelvaran\\16.0";
const char kDiagnosticValue[] = "DiagnosticLevel";

// "key\value", or just the value name for an empty key path.
DynamicString ValuePlace(const char* subkey, const char* valueName)
{
    DynamicString place(subkey);
    if (!place.IsEmpty())
        place.Append("\\");
    place.Append(valueName ? valueName : "");
    return place;
}

[[noreturn]] void ThrowRegistryError(const char* key, const String& place, LONG status, int code,
                                     const char* function, int line)
{
    DynamicString message(GetTableString("ERR_DESCR", key).Text());
    message.ReplaceArgument(place, 1);
    if (status != ERROR_SUCCESS)
        message.ReplaceArgument(GetSystemErrorText(status), 2);
    ThrowKEExceptionWithText(message, function, code, status, KE_SOURCE_FILE, line, __TIME__);
}

[[noreturn]] void ThrowValueError(const char* subkey, const char* valueName, LONG status, const char* function,
                                  int line)
{
    ThrowRegistryError("ERROR_ACCESSING_REGISTRY_VALUE", ValuePlace(subkey, valueName), status,
                       KE_REGISTRY_ACCESS_ERROR, function, line);
}

[[noreturn]] void ThrowWrongType(const char* subkey, const char* valueName, const char* function, int line)
{
    ThrowRegistryError("ERROR_REGISTRY_VALUE_HAS_WRONG_TYPE", ValuePlace(subkey, valueName), ERROR_SUCCESS,
                       KE_REGISTRY_ACCESS_ERROR, function, line);
}

bool IsTextType(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// RegistryKey

LONG RegistryKey::Open(HKEY root, const char* subkey, REGSAM access)
{
    HKEY key = nullptr;
    LONG status = RegOpenKeyExA(root, subkey, 0, access, &key);
    if (status == ERROR_SUCCESS)
        Attach(key);
    return status;
}

void RegistryKey::Close()
{
    if (m_key) {
        RegCloseKey(m_key);
        m_key = nullptr;
    }
}

void RegistryKey::Attach(HKEY key)
{
    Close();
    m_key = key;
}

HKEY RegistryKey::Detach()
{
    HKEY key = m_key;
    m_key = nullptr;
    return key;
}

// ---------------------------------------------------------------------------------------------
// QvRegistry

void QvRegistry::OpenKeyIfExists(RegistryKey& key, HKEY root, const char* subkey, REGSAM access, bool mustExist)
{
    key.Close();
    if (!subkey)
        ThrowKEException("Subkey path cannot be NULL.", "QvRegistry::OpenKeyIfExists", KE_PROGRAM_ERROR, 0,
                         KE_SOURCE_FILE, __LINE__, __TIME__);
    LONG status = key.Open(root, subkey, access);
    if (status == ERROR_SUCCESS)
        return;
    DynamicString place(subkey);
    if (status == ERROR_FILE_NOT_FOUND) {
        if (mustExist)
            ThrowRegistryError("CANT_FIND_REGISTRY_ITEM", place, ERROR_SUCCESS, KE_REGISTRY_ITEM_NOT_FOUND,
                               "QvRegistry::OpenKeyIfExists", __LINE__);
        return;
    }
    ThrowRegistryError("ERROR_ACCESSING_REGISTRY_KEY", place, status, KE_REGISTRY_ACCESS_ERROR,
                       "QvRegistry::OpenKeyIfExists", __LINE__);
}

bool QvRegistry::GetStringValueIfExists(HKEY root, const char* subkey, const char* valueName, std::wstring& out,
                                        REGSAM extraAccess)
{
    static const char kFunction[] = "QvRegistry::GetStringValueIfExists";
    RegistryKey key;
    OpenKeyIfExists(key, root, subkey, KEY_READ | extraAccess, false);
    if (!key.IsOpen())
        return false;

    // Both queries are judged alike: the value may change or go between them.
    auto found = [&](LONG status, DWORD type, int line) {
        if (status == ERROR_FILE_NOT_FOUND)
            return false;
        if (status != ERROR_SUCCESS)
            ThrowValueError(subkey, valueName, status, kFunction, line);
        if (!IsTextType(type))
            ThrowWrongType(subkey, valueName, kFunction, line);
        return true;
    };
    // Read wide: the ANSI query hands the text out converted with best fit.
    std::wstring name = AnsiToWide(valueName ? valueName : "", valueName ? strlen(valueName) : 0);
    DWORD type = 0, size = 0;
    LONG status = RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, nullptr, &size);
    if (!found(status, type, __LINE__))
        return false;

    // One character more than the data, for a terminator the stored text may lack.
    std::vector<wchar_t> data(size / sizeof(wchar_t) + 2, L'\0');
    status = RegQueryValueExW(key.Get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    if (!found(status, type, __LINE__))
        return false;
    data[size / sizeof(wchar_t)] = L'\0';

    if (type == REG_EXPAND_SZ) {
        DWORD needed = ExpandEnvironmentStringsW(data.data(), nullptr, 0);
        if (needed == 0)
            ThrowValueError(subkey, valueName, GetLastError(), kFunction, __LINE__);
        std::vector<wchar_t> expanded(needed + 1, L'\0');
        DWORD written = ExpandEnvironmentStringsW(data.data(), expanded.data(), needed + 1);
        if (written == 0 || written > needed + 1)
            ThrowValueError(subkey, valueName, written ? ERROR_MORE_DATA : GetLastError(), kFunction, __LINE__);
        out.assign(expanded.data());
    } else {
        out.assign(data.data());
    }
    return true;
}

bool QvRegistry::GetStringValueIfExists(HKEY root, const char* subkey, const char* valueName, String& out,
                                        REGSAM extraAccess)
{
    std::wstring wide;
    if (!GetStringValueIfExists(root, subkey, valueName, wide, extraAccess))
        return false;
    // A text the code page cannot hold is no value to go on with: the look-alike would name
    // another folder, the default character none.
    std::string text;
    if (!WideToAnsi(wide, text))
        ThrowValueError(subkey, valueName, ERROR_NO_UNICODE_TRANSLATION, "QvRegistry::GetStringValueIfExists",
                        __LINE__);
    out.Assign(text.c_str());
    return true;
}

bool QvRegistry::GetNumericValueIfExists(HKEY root, const char* subkey, const char* valueName, int& out,
                                         REGSAM extraAccess)
{
    static const char kFunction[] = "QvRegistry::GetNumericValueIfExists";
    RegistryKey key;
    OpenKeyIfExists(key, root, subkey, KEY_READ | extraAccess, false);
    if (!key.IsOpen())
        return false;

    DWORD type = 0, value = 0, size = sizeof value;
    LONG status = RegQueryValueExA(key.Get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    if (status == ERROR_FILE_NOT_FOUND)
        return false;
    // Longer data (a REG_QWORD, a text of more than four bytes) fails here with ERROR_MORE_DATA.
    if (status != ERROR_SUCCESS)
        ThrowValueError(subkey, valueName, status, kFunction, __LINE__);
    if (type != REG_DWORD || size != sizeof value)
        ThrowWrongType(subkey, valueName, kFunction, __LINE__);
    out = (int)value;
    return true;
}

DynamicString QvRegistry::GetMachineStringValueOrDefault(const char* subkey, const char* valueName,
                                                         const String& defaultText, REGSAM extraAccess)
{
    DynamicString value;
    if (!GetStringValueIfExists(HKEY_LOCAL_MACHINE, subkey, valueName, value, extraAccess))
        value.Assign(defaultText);
    return value;
}

bool QvRegistry::ReadDiagnosticLevel()
{
    int level = 0;
    if (!GetNumericValueIfExists(HKEY_LOCAL_MACHINE, kDiagnosticKey, kDiagnosticValue, level, kProductRegistryView))
        return false;
    SetDiagnosticLevel(level);
    return true;
}

// ---------------------------------------------------------------------------------------------

LONG ReadMachineRegistryString(const char* keyPath, const char* valueName, std::wstring& out, REGSAM view)
{
    const DWORD kBufferSize = 260;
    RegistryKey key;
    QvRegistry::OpenKeyIfExists(key, HKEY_LOCAL_MACHINE, keyPath, KEY_READ | view, true);
    const char* wanted = valueName ? valueName : "";
    for (DWORD index = 0;; ++index) {
        char name[kBufferSize];
        // One byte past what the system may fill, so that data without a terminator still ends.
        char data[kBufferSize + 1];
        DWORD nameSize = kBufferSize, dataSize = kBufferSize, type = REG_NONE;
        LONG status = RegEnumValueA(key.Get(), index, name, &nameSize, nullptr, &type,
                                    reinterpret_cast<BYTE*>(data), &dataSize);
        if (status != ERROR_SUCCESS)
            return status;
        // Compared by character: a trail byte that looks like a capital letter is not one.
        if (BufferString(name, 0).Compare(wanted, true) != 0)
            continue;
        // Data of another type has no text to give; the caller sees a status, not bytes.
        if (type != REG_SZ && type != REG_EXPAND_SZ && type != REG_MULTI_SZ)
            return ERROR_DATATYPE_MISMATCH;
        // The search keeps the limits of the ANSI enumeration; the text is taken wide from the
        // same entry, as the ANSI data is converted with best fit.
        wchar_t wideName[kBufferSize];
        wchar_t wide[kBufferSize + 1];
        DWORD wideNameSize = kBufferSize, wideSize = kBufferSize * sizeof(wchar_t);
        status = RegEnumValueW(key.Get(), index, wideName, &wideNameSize, nullptr, &type, reinterpret_cast<BYTE*>(wide),
                               &wideSize);
        if (status != ERROR_SUCCESS)
            return status;
        // A name that matched only as a look-alike ("\uFF3A\uFF31DIR" for "ZQDIR") is another value.
        std::string exactName;
        if (!WideToAnsi(wideName, wideNameSize, exactName))
            continue;
        size_t length = wideSize / sizeof(wchar_t);
        wide[length < kBufferSize ? length : kBufferSize] = L'\0';
        out.assign(wide);
        return ERROR_SUCCESS;
    }
}

LONG ReadMachineRegistryString(const char* keyPath, const char* valueName, String& out, REGSAM view)
{
    std::wstring wide;
    LONG status = ReadMachineRegistryString(keyPath, valueName, wide, view);
    if (status != ERROR_SUCCESS)
        return status;
    std::string text;
    if (!WideToAnsi(wide, text))
        return ERROR_NO_UNICODE_TRANSLATION;
    out.Assign(text.c_str());
    return ERROR_SUCCESS;
}
