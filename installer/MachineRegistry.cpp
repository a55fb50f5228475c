#include "installer/MachineRegistry.h"

#include <cstring>

namespace {
// A key opened here; the predefined roots are borrowed and never land in one.
class ScopedKey {
public:
    ScopedKey() = default;
    ~ScopedKey() {
        if (m_key) ::RegCloseKey(m_key);
    }
    ScopedKey(const ScopedKey&) = delete;
    ScopedKey& operator=(const ScopedKey&) = delete;
    HKEY Get() const { return m_key; }
    HKEY* Receive() { return &m_key; }

private:
    HKEY m_key = nullptr;
};

const DWORD kBufferSize = 260;
}  // namespace

LONG ReadMachineRegistryString(const char* keyPath, const char* valueName, std::string& out) {
    ScopedKey key;
    LONG status = ::RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, key.Receive());
    if (status != ERROR_SUCCESS) return status;

    for (DWORD index = 0;; ++index) {
        char name[kBufferSize];
        char data[kBufferSize];
        DWORD nameSize = kBufferSize;
        DWORD dataSize = kBufferSize;
        status = ::RegEnumValueA(key.Get(), index, name, &nameSize, nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(data), &dataSize);
        if (status != ERROR_SUCCESS) return status;
        if (_stricmp(name, valueName) == 0) {
            // Data written without its terminator (or not text at all) may fill the buffer with
            // no NUL in it: read no further than the bytes the call returned.
            size_t length = 0;
            while (length < dataSize && data[length] != '\0') ++length;
            out.assign(data, length);
            return ERROR_SUCCESS;
        }
    }
}
