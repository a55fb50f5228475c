// Windows Installer packages made at test time with msi.dll, and a private HKEY_LOCAL_MACHINE
// for tests of machine-wide registry values.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace test {

using PropertyList = std::vector<std::pair<std::string, std::string>>;

// Writes a package at path whose Property table holds the given rows in order (an empty value is
// stored as the null string, as the Windows Installer stores it). Returns the first failing
// Windows Installer status, 0 when the package was committed.
UINT WritePropertyPackage(const std::string& path, const PropertyList& properties);

// For the life of the object, HKEY_LOCAL_MACHINE of this process is a fresh key under
// HKEY_CURRENT_USER (RegOverridePredefKey), which the destructor removes again. So a test can
// make the machine key it needs present, absent or odd without touching the prefix's real one.
class MachineHiveOverride {
public:
    MachineHiveOverride();
    ~MachineHiveOverride();
    MachineHiveOverride(const MachineHiveOverride&) = delete;
    MachineHiveOverride& operator=(const MachineHiveOverride&) = delete;
    bool Active() const { return m_active; }
    // Creates keyPath (as seen through HKEY_LOCAL_MACHINE) and, with a name, sets a value in it.
    bool CreateKey(const std::string& keyPath);
    bool SetValue(const std::string& keyPath, const char* name, DWORD type, const void* data, DWORD size);
    bool SetString(const std::string& keyPath, const char* name, const std::string& value);

private:
    std::string m_scratch;
    HKEY m_root = nullptr;
    bool m_active = false;
};

// Sets or deletes one value of a real key and puts it back as it was, removing the keys it had to
// make. view: the registry view of the key (KEY_WOW64_32KEY or KEY_WOW64_64KEY), or 0 for the
// test's own.
class RegistryValueRestorer {
public:
    RegistryValueRestorer(HKEY root, const std::string& keyPath, const std::string& name, REGSAM view = 0);
    ~RegistryValueRestorer();
    RegistryValueRestorer(const RegistryValueRestorer&) = delete;
    RegistryValueRestorer& operator=(const RegistryValueRestorer&) = delete;
    bool SetString(const std::string& value);
    // The value gone until the restorer ends (true also when there was none).
    bool Delete();

private:
    HKEY m_root;
    std::string m_keyPath, m_name;
    REGSAM m_view;
    std::vector<std::string> m_madeKeys;  // outermost first
    bool m_existed = false;
    DWORD m_type = 0;
    std::vector<BYTE> m_data;
};

}  // namespace test
