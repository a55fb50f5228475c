#include "installer/SystemLibrary.h"

#include <commctrl.h>

#include "AnsiText.h"

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

std::string LocalRedirection()
{
    // A ".local" folder beside a program makes the loader take the program's DLLs that are asked
    // for by bare name from there, the side-by-side assemblies among them (a folder named after
    // the common controls' assembly inside it), however the program's manifest is set. The kit
    // folder is often writable by others, so the folder itself is the warning.
    std::wstring path = ModuleFileNameWide(nullptr);
    if (path.empty()) return std::string();
    path += L".local";
    if (::GetFileAttributesW(path.c_str()) == INVALID_FILE_ATTRIBUTES) return std::string();
    return AnsiForMessage(path);
}

bool RegisterCommonControls(DWORD classes, WORD manifestResource)
{
    // Not loaded at all where a ".local" folder could redirect them: the dialog's edit and
    // button controls need no registration, and without the context below the system's own
    // classes serve them. The run's log says why (LocalFolderMsg).
    if (!LocalRedirection().empty()) {
        NoteSystemLibraryFailure("comctl32.dll", ERROR_SUCCESS);
        return false;
    }
    // The context that names version 6 is activated here, for the rest of the program: the
    // system passes it on to every thread started from now on (the worker asks its questions in
    // boxes too), and it makes the dialog's controls those of version 6.
    std::wstring self = ModuleFileNameWide(nullptr);
    ACTCTXW context = {};
    context.cbSize = sizeof context;
    context.dwFlags = ACTCTX_FLAG_RESOURCE_NAME_VALID | ACTCTX_FLAG_HMODULE_VALID;
    context.lpSource = self.c_str();
    context.hModule = ::GetModuleHandleW(nullptr);
    context.lpResourceName = MAKEINTRESOURCEW(manifestResource);
    HANDLE handle = ::CreateActCtxW(&context);
    ULONG_PTR cookie = 0;
    // Kept for the life of the process: the dialog and its boxes use it until the program ends.
    if (handle != INVALID_HANDLE_VALUE && !::ActivateActCtx(handle, &cookie)) ::ReleaseActCtx(handle);
    // A bare name: the activation context redirects it to version 6 first, before any folder
    // is searched (and on a system without SetDefaultDllDirectories,
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
