#include "installer/SystemLibrary.h"

#include <commctrl.h>

#include <mutex>
#include <string>

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif
#ifndef LOAD_LIBRARY_SEARCH_USER_DIRS
#define LOAD_LIBRARY_SEARCH_USER_DIRS 0x00000400
#endif

void RestrictDllSearch()
{
    // Looked up, not imported: Windows 7 has it only with KB2533623, and a missing import would
    // keep the program from starting at all. kernel32 is in every process from its start.
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesFunction)(DWORD);
    HMODULE kernel = ::GetModuleHandleA("kernel32.dll");
    auto setDefault = kernel ? reinterpret_cast<SetDefaultDllDirectoriesFunction>(reinterpret_cast<void*>(
                                   ::GetProcAddress(kernel, "SetDefaultDllDirectories")))
                             : nullptr;
    if (setDefault && setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_USER_DIRS)) return;
    // Without it the program's folder stays in the search order (the system gives no way to take
    // it out); an empty DLL directory at least removes the current directory.
    ::SetDllDirectoryA("");
}

bool RegisterCommonControls(DWORD classes)
{
    // A bare name: the activation context of the program's manifest redirects it to version 6
    // first, before any folder is searched (and on a system without SetDefaultDllDirectories,
    // before the program's folder is). Kept loaded for the process: the controls live on.
    static SystemLibrary comctl32;
    static bool loaded = [] {
        HMODULE module = ::LoadLibraryA("comctl32.dll");
        if (module) comctl32.Attach(module);
        return module != nullptr;
    }();
    typedef BOOL(WINAPI * InitCommonControlsExFunction)(const INITCOMMONCONTROLSEX*);
    auto init = loaded ? reinterpret_cast<InitCommonControlsExFunction>(comctl32.Proc("InitCommonControlsEx")) : nullptr;
    if (!init) return false;
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = sizeof controls;
    controls.dwICC = classes;
    return init(&controls) != FALSE;
}

bool SystemLibrary::Load(const char* name)
{
    // By its full path in the system folder: a bare name would give back any module of that name
    // already in the process, wherever it was loaded from (under Wine user32 itself imports
    // version.dll, and takes it from the program's folder first).
    // Wide from end to end: the system folder's name needs no ANSI form here.
    wchar_t dir[MAX_PATH];
    UINT n = ::GetSystemDirectoryW(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        if (n >= MAX_PATH) ::SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    std::wstring path = std::wstring(dir, n) + L"\\";
    for (const char* c = name; *c; ++c) path += static_cast<wchar_t>(static_cast<unsigned char>(*c));
    // The flag keeps the DLL's own imports to the system folder as well.
    HMODULE module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module && ::GetLastError() == ERROR_INVALID_PARAMETER) {
        // A system without the LOAD_LIBRARY_SEARCH_ flags (Windows 7 without KB2533623) rejects
        // the flag itself; the altered search path looks for the imports in the DLL's folder first.
        module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    }
    if (!module) return false;
    Close();
    m_module = module;
    return true;
}

void SystemLibrary::Close()
{
    if (m_module) {
        ::FreeLibrary(m_module);
        m_module = nullptr;
    }
}

namespace {
struct Notes {
    std::mutex lock;
    std::vector<SystemLibraryNote> pending;
};
Notes& TheNotes()
{
    static Notes notes;
    return notes;
}
}  // namespace

void NoteSystemLibraryFailure(const char* library, DWORD error)
{
    try {
        Notes& notes = TheNotes();
        std::lock_guard<std::mutex> guard(notes.lock);
        notes.pending.push_back({library, error});
    } catch (...) {
        // No memory for the note: the run goes on without saying why, as it would anyway.
    }
}

std::vector<SystemLibraryNote> TakeSystemLibraryNotes()
{
    std::vector<SystemLibraryNote> taken;
    Notes& notes = TheNotes();
    std::lock_guard<std::mutex> guard(notes.lock);
    taken.swap(notes.pending);
    return taken;
}
