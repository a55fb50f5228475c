// Owning wrapper for Windows Installer handles (databases, views, records), and the guarded way
// every call into msi.dll is made.
#pragma once

#include <windows.h>
#include <msi.h>

#include "FaultGuard.h"

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
