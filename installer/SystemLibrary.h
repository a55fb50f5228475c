// DLLs of the system folder, bound when first needed, and the search order that keeps a DLL
// planted beside the program out of the process.
//
// A kit folder (an unpacked download, a temporary folder, a network share) is often writable by
// others while an elevated installer runs Sarnik from it. The loader looks for a DLL that is not
// one of Windows' known DLLs in the program's own folder first, so the programs import only known
// DLLs at load time and bind every other one here, from the system folder alone.
//
// Classes in this file:
//   SystemLibrary   owns a module loaded from the system folder only
//   SystemBinding   a system DLL and a table of its functions, bound once when first needed
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The first call of each program, before anything else may load a DLL: from then on neither the
// program nor the platform on its behalf (common controls, shell, COM) searches the program's
// folder or the current directory. Where the system lacks SetDefaultDllDirectories (Windows 7
// without KB2533623) at least the current directory leaves the search order.
void RestrictDllSearch();

// "<program>.local" beside the program, for a message, when it exists (a folder or a file of
// that name); empty otherwise.
std::string LocalRedirection();

// InitCommonControlsEx with the given class set, from comctl32.dll bound at run time after
// RestrictDllSearch: imported, it would be loaded with the program, before the search is
// restricted, and so would every DLL it imports in turn (Wine's imports version.dll). Version 6
// comes from the program's manifest resource manifestResource, made an activation context and
// activated here for the rest of the program. False when they cannot be loaded or refuse, and,
// without loading or activating anything, where LocalRedirection names a ".local" beside the
// program (noted for the run's log as a failure of "comctl32.dll").
bool RegisterCommonControls(DWORD classes, WORD manifestResource);

class SystemLibrary {
public:
    SystemLibrary() = default;
    ~SystemLibrary() { Close(); }
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;

    // Loads name, a bare file name in ASCII, from the system folder and from nowhere else, also when a
    // module of that name from elsewhere is in the process already. If the result is false, the
    // held module is unchanged and the system's error code is that of the failure.
    bool Load(const char* name);
    void Close();
    // Takes over a module loaded otherwise; the one held is freed.
    void Attach(HMODULE module)
    {
        Close();
        m_module = module;
    }
    HMODULE Get() const { return m_module; }
    // The function exported under name, or under the ordinal MAKEINTRESOURCEA(n); nullptr when the
    // module has none.
    void* Proc(const char* nameOrOrdinal) const
    {
        return m_module ? reinterpret_cast<void*>(::GetProcAddress(m_module, nameOrOrdinal)) : nullptr;
    }

private:
    HMODULE m_module = nullptr;
};

// Binds function to the export of library under name, or under the ordinal MAKEINTRESOURCEA(n);
// false when it has none.
template <class F>
bool BindProc(const SystemLibrary& library, F& function, const char* nameOrOrdinal)
{
    function = reinterpret_cast<F>(library.Proc(nameOrOrdinal));
    return function != nullptr;
}

void NoteSystemLibraryFailure(const char* library, DWORD error);

// A DLL of the system folder and the table of functions (Api) the program calls in it, bound by
// bind at construction. Meant to be a function-local static, so that it is made once, by
// whichever thread first needs it, and the module stays loaded for the process. A DLL that cannot
// be loaded, or lacks a function, is noted once for the run's log and gives no table.
template <class Api>
class SystemBinding {
public:
    SystemBinding(const char* name, bool (*bind)(const SystemLibrary&, Api&))
    {
        if (!m_library.Load(name)) {
            NoteSystemLibraryFailure(name, ::GetLastError());
            return;
        }
        m_bound = bind(m_library, m_api);
        if (!m_bound) NoteSystemLibraryFailure(name, ERROR_PROC_NOT_FOUND);
    }
    SystemBinding(const SystemBinding&) = delete;
    SystemBinding& operator=(const SystemBinding&) = delete;
    // The bound functions; nullptr when the DLL or one of them could not be had.
    const Api* Get() const { return m_bound ? &m_api : nullptr; }

private:
    SystemLibrary m_library;
    Api m_api = {};
    bool m_bound = false;
};

// Why a system DLL could not be bound, for the run's log. Each failure is noted once per
// process; TakeSystemLibraryNotes hands out those not taken before.
struct SystemLibraryNote {
    const char* library;  // "msi.dll", "version.dll"
    DWORD error;          // the system's error code: the load's, or ERROR_PROC_NOT_FOUND
};
std::vector<SystemLibraryNote> TakeSystemLibraryNotes();
