#include "support/KitPackage.h"

#include <msi.h>
#include <msiquery.h>

#include <cstdio>

namespace test {

namespace {
// The test's own functions of msi.dll, bound by name here; the program under test binds its own
// by ordinal from the system folder.
struct MsiApi {
    decltype(&MsiOpenDatabaseA) openDatabase = nullptr;
    decltype(&MsiDatabaseOpenViewA) openView = nullptr;
    decltype(&MsiViewExecute) execute = nullptr;
    decltype(&MsiViewClose) closeView = nullptr;
    decltype(&MsiCreateRecord) createRecord = nullptr;
    decltype(&MsiRecordSetStringA) setString = nullptr;
    decltype(&MsiDatabaseCommit) commit = nullptr;
    decltype(&MsiCloseHandle) closeHandle = nullptr;

    MsiApi() {
        HMODULE msi = LoadLibraryA("msi.dll");
        if (!msi) return;
        Bind(msi, openDatabase, "MsiOpenDatabaseA");
        Bind(msi, openView, "MsiDatabaseOpenViewA");
        Bind(msi, execute, "MsiViewExecute");
        Bind(msi, closeView, "MsiViewClose");
        Bind(msi, createRecord, "MsiCreateRecord");
        Bind(msi, setString, "MsiRecordSetStringA");
        Bind(msi, commit, "MsiDatabaseCommit");
        Bind(msi, closeHandle, "MsiCloseHandle");
    }
    template <class T>
    static void Bind(HMODULE msi, T& fn, const char* name) {
        fn = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(msi, name)));
    }
    bool Complete() const {
        return openDatabase && openView && execute && closeView && createRecord && setString && commit && closeHandle;
    }
};

const MsiApi& Msi() {
    static MsiApi api;
    return api;
}

class Handle {
public:
    ~Handle() {
        if (h) Msi().closeHandle(h);
    }
    MSIHANDLE h = 0;
};

UINT RunQuery(MSIHANDLE db, const char* sql, MSIHANDLE params) {
    Handle view;
    UINT status = Msi().openView(db, sql, &view.h);
    if (status) return status;
    status = Msi().execute(view.h, params);
    Msi().closeView(view.h);
    return status;
}
}  // namespace

UINT WritePropertyPackage(const std::string& path, const PropertyList& properties) {
    if (!Msi().Complete()) return ERROR_PROC_NOT_FOUND;
    DeleteFileA(path.c_str());
    Handle db;
    UINT status = Msi().openDatabase(path.c_str(), MSIDBOPEN_CREATE, &db.h);
    if (status) return status;
    // Value may be null, unlike in a package built by a toolset, so that an empty value can be
    // stored at all.
    status = RunQuery(db.h, "CREATE TABLE `Property` (`Property` CHAR(72) NOT NULL, `Value` LONGCHAR "
                            "PRIMARY KEY `Property`)", 0);
    if (status) return status;
    for (const auto& p : properties) {
        Handle record;
        record.h = Msi().createRecord(2);
        Msi().setString(record.h, 1, p.first.c_str());
        Msi().setString(record.h, 2, p.second.c_str());
        status = RunQuery(db.h, "INSERT INTO `Property` (`Property`, `Value`) VALUES (?, ?)", record.h);
        if (status) return status;
    }
    return Msi().commit(db.h);
}

MachineHiveOverride::MachineHiveOverride() {
    char name[128];
    std::snprintf(name, sizeof name, "Software\\SarnikTests\\hklm-%lu-%lu", GetCurrentProcessId(), GetTickCount());
    m_scratch = name;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &m_root, nullptr))
        return;
    m_active = RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_root) == ERROR_SUCCESS;
}

MachineHiveOverride::~MachineHiveOverride() {
    if (m_active) RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    if (m_root) RegCloseKey(m_root);
    RegDeleteTreeA(HKEY_CURRENT_USER, m_scratch.c_str());
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\SarnikTests");  // only goes when empty
}

bool MachineHiveOverride::CreateKey(const std::string& keyPath) {
    HKEY key;
    if (RegCreateKeyExA(m_root, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)) return false;
    RegCloseKey(key);
    return true;
}

bool MachineHiveOverride::SetValue(const std::string& keyPath, const char* name, DWORD type, const void* data,
                                   DWORD size) {
    HKEY key;
    if (RegCreateKeyExA(m_root, keyPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)) return false;
    LONG status = RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool MachineHiveOverride::SetString(const std::string& keyPath, const char* name, const std::string& value) {
    return SetValue(keyPath, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}

RegistryValueRestorer::RegistryValueRestorer(HKEY root, const std::string& keyPath, const std::string& name,
                                             REGSAM view)
    : m_root(root), m_keyPath(keyPath), m_name(name), m_view(view) {
    HKEY key;
    if (RegOpenKeyExA(root, keyPath.c_str(), 0, KEY_QUERY_VALUE | view, &key)) return;
    DWORD size = 0;
    if (RegQueryValueExA(key, name.c_str(), nullptr, &m_type, nullptr, &size) == ERROR_SUCCESS) {
        m_data.resize(size);
        m_existed = RegQueryValueExA(key, name.c_str(), nullptr, &m_type, m_data.data(), &size) == ERROR_SUCCESS;
        m_data.resize(size);
    }
    RegCloseKey(key);
}

RegistryValueRestorer::~RegistryValueRestorer() {
    HKEY key;
    if (RegOpenKeyExA(m_root, m_keyPath.c_str(), 0, KEY_SET_VALUE | m_view, &key) == ERROR_SUCCESS) {
        if (m_existed)
            RegSetValueExA(key, m_name.c_str(), 0, m_type, m_data.data(), static_cast<DWORD>(m_data.size()));
        else
            RegDeleteValueA(key, m_name.c_str());
        RegCloseKey(key);
    }
    for (auto made = m_madeKeys.rbegin(); made != m_madeKeys.rend(); ++made)
        RegDeleteKeyExA(m_root, made->c_str(), m_view, 0);
}

bool RegistryValueRestorer::SetString(const std::string& value) {
    // The keys of the path that do not exist yet, to be removed again at the end.
    if (m_madeKeys.empty()) {
        for (size_t end = m_keyPath.find('\\');; end = m_keyPath.find('\\', end + 1)) {
            std::string part = m_keyPath.substr(0, end);
            HKEY key;
            if (RegOpenKeyExA(m_root, part.c_str(), 0, KEY_READ | m_view, &key) == ERROR_SUCCESS)
                RegCloseKey(key);
            else
                m_madeKeys.push_back(part);
            if (end == std::string::npos) break;
        }
    }
    HKEY key;
    if (RegCreateKeyExA(m_root, m_keyPath.c_str(), 0, nullptr, 0, KEY_SET_VALUE | m_view, nullptr, &key, nullptr))
        return false;
    LONG status = RegSetValueExA(key, m_name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                 static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

bool RegistryValueRestorer::Delete() {
    HKEY key;
    LONG status = RegOpenKeyExA(m_root, m_keyPath.c_str(), 0, KEY_SET_VALUE | m_view, &key);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) return false;
    status = RegDeleteValueA(key, m_name.c_str());
    RegCloseKey(key);
    return status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND;
}

}  // namespace test
