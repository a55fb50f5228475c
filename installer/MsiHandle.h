// msi.dll bound at run time, the guarded way every call into it is made, and the owning wrapper
// for Windows Installer handles (databases, views, records).
#pragma once

#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include "FaultGuard.h"

// The Windows Installer functions the nested-kit rewrite calls. msi.dll is no known DLL, so it is
// never imported (the loader would look for it beside the program first): it is loaded from the
// system folder when first needed and the functions are bound by their ordinals, which the
// Windows Installer has kept since its first version.
struct MsiApi {
    decltype(&::MsiCloseHandle) closeHandle;               // ordinal 8
    decltype(&::MsiDatabaseOpenViewA) databaseOpenView;    // ordinal 31
    decltype(&::MsiOpenDatabaseA) openDatabase;            // ordinal 91
    decltype(&::MsiRecordGetStringA) recordGetString;      // ordinal 117
    decltype(&::MsiViewExecute) viewExecute;               // ordinal 159
    decltype(&::MsiViewFetch) viewFetch;                   // ordinal 160
};

// The functions, bound on the first call; nullptr when msi.dll cannot be loaded from the system
// folder or lacks one of them (the failure is noted once for the run's log, see SystemLibrary.h).
const MsiApi* BoundMsi();

// Runs one msi.dll call, given as a callable that returns its status. A structured exception
// raised inside msi.dll becomes ERROR_FUNCTION_FAILED, so callers see every Windows Installer
// failure as a non-zero status. The callable must own nothing that needs a destructor.
template <class F>
UINT CallMsi(F&& call) {
    UINT status = ERROR_FUNCTION_FAILED;
    auto body = [&] { status = call(); };
    if (!CallGuarded(body, nullptr)) return ERROR_FUNCTION_FAILED;
    return status;
}

// Closed exactly once with MsiCloseHandle; 0 means no handle.
class MsiHandle {
public:
    MsiHandle() = default;
    explicit MsiHandle(MSIHANDLE h) : m_h(h) {}
    ~MsiHandle() { Close(); }
    MsiHandle(const MsiHandle&) = delete;
    MsiHandle& operator=(const MsiHandle&) = delete;
    MsiHandle(MsiHandle&& other) noexcept : m_h(other.Detach()) {}
    MsiHandle& operator=(MsiHandle&& other) noexcept {
        if (this != &other) {
            Close();
            m_h = other.Detach();
        }
        return *this;
    }

    MSIHANDLE Get() const { return m_h; }
    explicit operator bool() const { return m_h != 0; }
    // For a call that hands out a new handle: closes the one held and gives the place for it.
    MSIHANDLE* Receive() {
        Close();
        return &m_h;
    }
    MSIHANDLE Detach() {
        MSIHANDLE h = m_h;
        m_h = 0;
        return h;
    }
    void Close();

private:
    MSIHANDLE m_h = 0;
};
