// The Quelvaran product's directories on this machine: the installed engine, its binaries, the
// public, application-data and configuration directories and the configuration files. Each is
// worked out once per getter and kept until ClearCache.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "PATH.h"
#include "REGISTRY.h"
#include "kestring.h"

class DirectoryGetter {
public:
    // engineView: the registry view in which the engine's registration is looked for. The
    // product's folders follow the product's view; a caller that loads the engine's binaries
    // asks for its own view, as only a registration of its own architecture has binaries it can
    // load.
    explicit DirectoryGetter(REGSAM engineView = kProductRegistryView);
    DirectoryGetter(const DirectoryGetter&) = delete;
    DirectoryGetter& operator=(const DirectoryGetter&) = delete;

    // The virtual operations are declared in the order the framework's callers rely on; keep it.
    virtual ~DirectoryGetter();
    // Created when missing. accessRights: 0, KEY_WOW64_64KEY or KEY_WOW64_32KEY for the
    // product's registry key.
    virtual void GetGlobalConfigDirectory(PathBase& out, const char* releaseLabel, const char* registryVersion,
                                          REGSAM accessRights);
    virtual void GetGlobalQuelvaranPublicDirectory(PathBase& out, const char* releaseLabel,
                                                   const char* registryVersion, REGSAM accessRights);
    // Not created.
    virtual void GetQuelvaranCommonAppDataDirectory(PathBase& out, const char* releaseLabel);
    virtual void GetQuelvaranLocalAppDataDirectory(PathBase& out, const char* releaseLabel);
    // Forgets every directory; the development-build state is kept.
    virtual void ClearCache();

    // The directory GetGlobalQuelvaranPublicDirectory gives, neither created nor cached (for
    // callers that must not write). Returns whether the registry's custom location chose it.
    bool FindGlobalQuelvaranPublicDirectory(PathBase& out, const char* releaseLabel, const char* registryVersion,
                                            REGSAM accessRights);

    // Whether the engine is a development build; false when it cannot be found.
    bool IsDevBuild();
    void GetActiveKEDirectory(PathBase& out);
    void GetActiveKEDirectoryFromRegistry(PathBase& out, bool& devBuild);
    void GetDefaultConfigDirectory(PathBase& out, const char* releaseLabel);
    void GetDefaultPublicDirectory(PathBase& out, const char* releaseLabel);
    void GetBinDirectory(PathBase& out, bool preferDevLayout);
    void GetTestExecIniPath(PathBase& out);
    void GetStartupCfgIniPath(PathBase& out);
    void GetQuelvaranFolderPath(PathBase& out, int shellFolder, const char* releaseLabel);

    // The getter for a release label, made on first request and kept for the process's life.
    static DirectoryGetter& ForRelease(const char* releaseLabel);

private:
    void DeriveEngineDirectory(const char* libraryFile);
    // The development-layout or shell-folder directory of one kind, cached in slot.
    void GetConfigurationFilePath(StaticPath& slot, PathBase& out, const char* fileName);
    void GetProductFolder(StaticPath& slot, PathBase& out, const char* devComponent, int shellFolder,
                          const char* releaseLabel);

    StaticPath m_engineDir, m_globalConfigDir, m_defaultConfigDir, m_binDir, m_testExecIni, m_startupCfgIni,
        m_globalPublicDir, m_defaultPublicDir, m_commonAppDataDir, m_localAppDataDir;
    REGSAM m_engineView;
    bool m_devBuildKnown = false;
    bool m_devBuild = false;
};

extern "C" {
void __stdcall GetQuelvaranPublicDirectory(const char* releaseLabel, const char* registryVersion, int use64BitView,
                                           BSTR* out);
void __stdcall GetQuelvaranCommonAppDataDirectory(const char* releaseLabel, BSTR* out);
void __stdcall GetQuelvaranLocalAppDataDirectory(const char* releaseLabel, BSTR* out);
void __stdcall GetDefaultConfigDirectory(const char* releaseLabel, BSTR* out);
void __stdcall GetConfigDirectory(const char* releaseLabel, const char* registryVersion, int use64BitView, BSTR* out);
int __stdcall IsDevBuild();
}
