#include "DirectoryGetter.h"

#include <shlobj.h>

#include <map>
#include <memory>
#include <string>

#include "AnsiText.h"
#include "ErrorTables.h"
#include "KEException.h"
#include "REGISTRY.h"

namespace {
const int kDirectoryError = -17500;
const char kEngineClsidKey[] = "CLSID\\{5A1C7E20-3B94-4D6F-8E21-7C0D9B4A6F13}\\InprocServer32";
const char kBeacon[] = "DEV BUILD BEACON (Do not delete or install).txt";
const char kDefaultRelease[] = "2016 (32-bit)";
const char kDefaultRegistryVersion[] = "16.0";

[[noreturn]] void Raise(const char* message, const char* function, int line) {
    ThrowKEException(message, function, kDirectoryError, 0, KE_SOURCE_FILE, line, __TIME__);
}

// The product's message texts for directories that cannot be created; the tables may lack them.
DynamicString DirectoryAccessText(const char* key, const char* fallback) {
    TableString text = GetTableString("DIRECTORY_ACCESS", key, fallback);
    return DynamicString(text.GetString(), true);
}

DynamicString ProductKey(const char* registryVersion) {
    DynamicString key("Software\\Brontell\\Quelvaran\\", true);
    key.Append(registryVersion);
    return key;
}

// A path from the system (a shell folder, a registry value, a module's file) as this ANSI
// program can use it: exactly, or by its short name. One that can be neither raises: going on
// with a look-alike, or with another folder, would put the product's files where the product
// does not look for them.
std::string UsablePath(const std::wstring& wide, const char* function, int line) {
    AnsiPath path = AnsiPath::FromWide(wide);
    if (path.IsRefused()) {
        std::string message = "The folder " + path.Shown() + " cannot be represented in the ANSI code page " +
                              std::to_string(CodePageNumber()) + " and has no short name that can.";
        ThrowKEException(message.c_str(), function, kDirectoryError, ERROR_NO_UNICODE_TRANSLATION, KE_SOURCE_FILE, line,
                         __TIME__);
    }
    return path.Text();
}

// A non-empty absolute path from a product registry value, or false. Failures while reading
// leave the default in place; a location set that this program cannot name raises.
bool CustomLocation(const char* registryVersion, const char* valueName, REGSAM accessRights, PathBase& out) {
    std::wstring value;
    try {
        if (!QvRegistry::GetStringValueIfExists(HKEY_LOCAL_MACHINE, ProductKey(registryVersion), valueName, value,
                                                accessRights))
            return false;
    } catch (const KEException&) {
        return false;
    }
    if (value.empty()) return false;
    Path candidate(UsablePath(value, "DirectoryGetter::CustomLocation", __LINE__).c_str());
    if (!candidate.IsAbsolute()) return false;
    candidate.MatchCaseOnDisk(out);
    return true;
}
}  // namespace

DirectoryGetter::DirectoryGetter(REGSAM engineView) : m_engineView(engineView) {}
DirectoryGetter::~DirectoryGetter() {}

void DirectoryGetter::ClearCache() {
    for (StaticPath* p : {&m_engineDir, &m_globalConfigDir, &m_defaultConfigDir, &m_binDir, &m_testExecIni,
                          &m_startupCfgIni, &m_globalPublicDir, &m_defaultPublicDir, &m_commonAppDataDir,
                          &m_localAppDataDir})
        *p = "";
}

void DirectoryGetter::DeriveEngineDirectory(const char* libraryFile) {
    // D0 holds the library; D1, D2, D3 are its parent, grandparent and great-grandparent.
    Path d(libraryFile);
    d.RemoveLastComponent();  // D0
    d.RemoveLastComponent();  // D1
    Path d1(d);
    d.RemoveLastComponent();  // D2
    Path beacon(d);
    beacon.AppendComponent(kBeacon);
    bool dev = beacon.FileExists();
    Path engine(d1);
    if (dev) {
        engine = d;
        engine.RemoveLastComponent();  // D3
    }
    engine.MatchCaseOnDisk(m_engineDir);
    m_devBuild = dev;
}

void DirectoryGetter::GetActiveKEDirectory(PathBase& out) {
    if (m_engineDir.IsEmpty()) {
        HMODULE framework = nullptr;
        if (::GetModuleHandleExA(0, "kefwk.dll", &framework) && framework) {
            std::wstring file = ModuleFileNameWide(framework);
            ::FreeLibrary(framework);
            DeriveEngineDirectory(
                file.empty() ? "" : UsablePath(file, "DirectoryGetter::GetActiveKEDirectory", __LINE__).c_str());
        } else {
            bool dev = false;
            GetActiveKEDirectoryFromRegistry(m_engineDir, dev);
        }
    }
    out = m_engineDir;
}

void DirectoryGetter::GetActiveKEDirectoryFromRegistry(PathBase& out, bool& devBuild) {
    std::wstring library;
    if (!QvRegistry::GetStringValueIfExists(HKEY_CLASSES_ROOT, kEngineClsidKey, "", library, m_engineView))
        Raise("Quelvaran Engine not registered", "DirectoryGetter::GetActiveKEDirectoryFromRegistry", __LINE__);
    DeriveEngineDirectory(UsablePath(library, "DirectoryGetter::GetActiveKEDirectoryFromRegistry", __LINE__).c_str());
    devBuild = m_devBuild;
    out = m_engineDir;
}

bool DirectoryGetter::IsDevBuild() {
    if (!m_devBuildKnown) {
        try {
            Path engine;
            GetActiveKEDirectory(engine);
        } catch (const KEException&) {
            m_devBuild = false;
        }
        m_devBuildKnown = true;
    }
    return m_devBuild;
}

void DirectoryGetter::GetQuelvaranFolderPath(PathBase& out, int shellFolder, const char* releaseLabel) {
    wchar_t folder[MAX_PATH] = L"";
    if (FAILED(::SHGetFolderPathW(nullptr, shellFolder, nullptr, 0, folder))) {
        const char* message = "Unable to obtain folder path  ";
        if (shellFolder == CSIDL_LOCAL_APPDATA) message = "Unable to obtain Quelvaran LocalAppData directory";
        if (shellFolder == CSIDL_COMMON_APPDATA) message = "Unable to obtain Quelvaran CommonAppData directory";
        if (shellFolder == CSIDL_COMMON_DOCUMENTS) message = "Unable to obtain Quelvaran Public directory";
        Raise(message, "DirectoryGetter::GetQuelvaranFolderPath", __LINE__);
    }
    Path path(UsablePath(folder, "DirectoryGetter::GetQuelvaranFolderPath", __LINE__).c_str());
    path.AppendComponent("Brontell");
    DynamicString product("Quelvaran ", true);
    product.Append(releaseLabel);
    path.AppendComponent(product);
    path.MatchCaseOnDisk(out);
}

void DirectoryGetter::GetProductFolder(StaticPath& slot, PathBase& out, const char* devComponent, int shellFolder,
                                       const char* releaseLabel) {
    if (slot.IsEmpty()) {
        if (IsDevBuild()) {
            Path path;
            GetActiveKEDirectory(path);
            path.RemoveLastComponent();
            path.AppendComponent(devComponent);
            path.MatchCaseOnDisk(slot);
        } else {
            GetQuelvaranFolderPath(slot, shellFolder, releaseLabel);
        }
    }
    out = slot;
}

void DirectoryGetter::GetQuelvaranCommonAppDataDirectory(PathBase& out, const char* releaseLabel) {
    GetProductFolder(m_commonAppDataDir, out, "CommonAppData", CSIDL_COMMON_APPDATA, releaseLabel);
}

void DirectoryGetter::GetQuelvaranLocalAppDataDirectory(PathBase& out, const char* releaseLabel) {
    GetProductFolder(m_localAppDataDir, out, "LocalAppData", CSIDL_LOCAL_APPDATA, releaseLabel);
}

void DirectoryGetter::GetDefaultPublicDirectory(PathBase& out, const char* releaseLabel) {
    GetProductFolder(m_defaultPublicDir, out, "QuelvaranPublic", CSIDL_COMMON_DOCUMENTS, releaseLabel);
}

bool DirectoryGetter::FindGlobalQuelvaranPublicDirectory(PathBase& out, const char* releaseLabel,
                                                         const char* registryVersion, REGSAM accessRights) {
    GetDefaultPublicDirectory(out, releaseLabel);
    return CustomLocation(registryVersion, "CustomPublicLocation", accessRights, out);
}

void DirectoryGetter::GetGlobalQuelvaranPublicDirectory(PathBase& out, const char* releaseLabel,
                                                        const char* registryVersion, REGSAM accessRights) {
    if (m_globalPublicDir.IsEmpty()) {
        Path dir;
        bool custom = FindGlobalQuelvaranPublicDirectory(dir, releaseLabel, registryVersion, accessRights);
        try {
            dir.MakeAllDirectoriesInPathName(true);
        } catch (const KEException&) {
            DynamicString message = DirectoryAccessText("ERR_UNABLE_TO_CREATE_PUBLIC_DIR",
                                                        "Unable to create the Quelvaran public directory \"%1\".");
            message.ReplaceArgument(dir.GetText(), 1);
            if (custom)
                message.Append(DirectoryAccessText("ERR_UNABLE_TO_WRITE_CREATE_PUBLIC_DIR",
                                                   " The custom public location set in the registry must be a "
                                                   "folder that can be created and written to."));
            ThrowKEExceptionWithText(message, "DirectoryGetter::GetGlobalQuelvaranPublicDirectory", kDirectoryError,
                                     0, KE_SOURCE_FILE, __LINE__, __TIME__);
        }
        m_globalPublicDir = dir;
    }
    out = m_globalPublicDir;
}

void DirectoryGetter::GetGlobalConfigDirectory(PathBase& out, const char* releaseLabel, const char* registryVersion,
                                               REGSAM accessRights) {
    if (m_globalConfigDir.IsEmpty()) {
        Path dir, common;
        GetQuelvaranCommonAppDataDirectory(common, releaseLabel);
        common.AppendComponent("Cfg\\");
        common.MatchCaseOnDisk(dir);
        CustomLocation(registryVersion, "CfgLocation", accessRights, dir);
        try {
            dir.MakeAllDirectoriesInPathName(true);
        } catch (const KEException&) {
            DynamicString message = DirectoryAccessText("ERR_UNABLE_TO_CREATE_CFG_DIR",
                                                        "Unable to create the Quelvaran configuration directory \"%1\".");
            message.ReplaceArgument(dir.GetText(), 1);
            ThrowKEExceptionWithText(message, "DirectoryGetter::GetGlobalConfigDirectory", kDirectoryError, 0,
                                     KE_SOURCE_FILE, __LINE__, __TIME__);
        }
        m_globalConfigDir = dir;
    }
    out = m_globalConfigDir;
}

void DirectoryGetter::GetDefaultConfigDirectory(PathBase& out, const char* releaseLabel) {
    if (m_defaultConfigDir.IsEmpty()) {
        Path common;
        GetQuelvaranCommonAppDataDirectory(common, releaseLabel);
        common.AppendComponent("Cfg\\");
        common.MatchCaseOnDisk(m_defaultConfigDir);
    }
    out = m_defaultConfigDir;
}

void DirectoryGetter::GetBinDirectory(PathBase& out, bool preferDevLayout) {
    if (preferDevLayout && IsDevBuild()) {
        Path bin;
        GetActiveKEDirectory(bin);
        bin.AppendComponent("Bin\\");
        bin.MatchCaseOnDisk(out);
        return;
    }
    if (m_binDir.IsEmpty()) {
        Path bin;
        GetActiveKEDirectory(bin);
        bin.AppendComponent("Bin\\");
        if (IsDevBuild()) {
            bin.AppendComponent("Win32");
            bin.AppendComponent("Release");
        }
        bin.MatchCaseOnDisk(m_binDir);
    }
    out = m_binDir;
}

void DirectoryGetter::GetConfigurationFilePath(StaticPath& slot, PathBase& out, const char* fileName) {
    if (slot.IsEmpty()) {
        Path path;
        GetGlobalConfigDirectory(path, kDefaultRelease, kDefaultRegistryVersion, kProductRegistryView);
        path.AppendComponent(fileName);
        slot = path;
    }
    out = slot;
}

void DirectoryGetter::GetTestExecIniPath(PathBase& out) { GetConfigurationFilePath(m_testExecIni, out, "TestExec.ini"); }

void DirectoryGetter::GetStartupCfgIniPath(PathBase& out) {
    GetConfigurationFilePath(m_startupCfgIni, out, "StartupCfg.ini");
}

DirectoryGetter& DirectoryGetter::ForRelease(const char* releaseLabel) {
    // Compared with case; kept until the process ends.
    static std::map<std::string, std::unique_ptr<DirectoryGetter>>* getters =
        new std::map<std::string, std::unique_ptr<DirectoryGetter>>;
    std::unique_ptr<DirectoryGetter>& getter = (*getters)[releaseLabel ? releaseLabel : ""];
    if (!getter) getter.reset(new DirectoryGetter);
    return *getter;
}

namespace {
REGSAM View(int use64BitView) { return use64BitView ? KEY_WOW64_64KEY : KEY_WOW64_32KEY; }

// The exports hand a directory to programs of other runtimes, which cannot catch this
// framework's exceptions: a failure gives no string (a null BSTR) instead of ending the caller.
template <typename Get>
void ExportPath(BSTR* out, Get get) {
    if (!out) return;
    *out = nullptr;
    try {
        Path path;
        get(path);
        *out = path.GetString().AllocSysString();
    } catch (...) {
        *out = nullptr;
    }
}
}  // namespace

extern "C" {
void __stdcall GetQuelvaranPublicDirectory(const char* releaseLabel, const char* registryVersion, int use64BitView,
                                           BSTR* out) {
    ExportPath(out, [&](Path& p) {
        DirectoryGetter::ForRelease(releaseLabel).GetGlobalQuelvaranPublicDirectory(p, releaseLabel, registryVersion,
                                                                                    View(use64BitView));
    });
}

void __stdcall GetQuelvaranCommonAppDataDirectory(const char* releaseLabel, BSTR* out) {
    ExportPath(out, [&](Path& p) { DirectoryGetter::ForRelease(releaseLabel).GetQuelvaranCommonAppDataDirectory(p, releaseLabel); });
}

void __stdcall GetQuelvaranLocalAppDataDirectory(const char* releaseLabel, BSTR* out) {
    ExportPath(out, [&](Path& p) { DirectoryGetter::ForRelease(releaseLabel).GetQuelvaranLocalAppDataDirectory(p, releaseLabel); });
}

void __stdcall GetDefaultConfigDirectory(const char* releaseLabel, BSTR* out) {
    ExportPath(out, [&](Path& p) { DirectoryGetter::ForRelease(releaseLabel).GetDefaultConfigDirectory(p, releaseLabel); });
}

void __stdcall GetConfigDirectory(const char* releaseLabel, const char* registryVersion, int use64BitView, BSTR* out) {
    ExportPath(out, [&](Path& p) {
        DirectoryGetter::ForRelease(releaseLabel).GetGlobalConfigDirectory(p, releaseLabel, registryVersion,
                                                                           View(use64BitView));
    });
}

int __stdcall IsDevBuild() {
    try {
        return DirectoryGetter::ForRelease(kDefaultRelease).IsDevBuild() ? 1 : 0;
    } catch (...) {
        return 0;
    }
}
}
