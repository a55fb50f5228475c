#include "installer/ParentWait.h"

#include <cstring>
#include <cwchar>
#include <vector>

#include "AnsiText.h"
#include "installer/SystemLibrary.h"

const char kEngineMutexName[] = "_ZQParentixMutex";
const char kInstallerMutexName[] = "_MSIExecute";

namespace {
const DWORD kPollMs = 100;
const int kTakenPolls = 300;
const DWORD kInstallerIdleMs = 30000;
const char kVersionLibrary[] = "version.dll";

// version.dll is no known DLL, so it is never imported (the loader would look for it beside the
// program first): it is loaded from the system folder when the first command is tested.
struct VersionBinding {
    SystemLibrary library;
    // The wide forms: the ANSI ones hand the internal name out with best fit, and a fullwidth
    // "Ｐａｒｅｎｔｉｘ" would pass for the engine.
    decltype(&::GetFileVersionInfoSizeW) infoSize = nullptr;
    decltype(&::GetFileVersionInfoW) info = nullptr;
    decltype(&::VerQueryValueW) queryValue = nullptr;
    bool bound = false;

    VersionBinding() {
        if (!library.Load(kVersionLibrary)) {
            NoteSystemLibraryFailure(kVersionLibrary, ::GetLastError());
            return;
        }
        bound = Bind(infoSize, "GetFileVersionInfoSizeW") && Bind(info, "GetFileVersionInfoW") &&
                Bind(queryValue, "VerQueryValueW");
        if (!bound) NoteSystemLibraryFailure(kVersionLibrary, ERROR_PROC_NOT_FOUND);
    }
    template <class F>
    bool Bind(F& function, const char* name) {
        function = reinterpret_cast<F>(library.Proc(name));
        return function != nullptr;
    }
};

// Bound once, by whichever thread first needs it; nullptr when it cannot be.
const VersionBinding* BoundVersion() {
    static VersionBinding binding;
    return binding.bound ? &binding : nullptr;
}
}  // namespace

bool TryAcquireEngineMutex(ScopedHandle& held) {
    held.Attach(::CreateMutexA(nullptr, FALSE, kEngineMutexName));
    // A failed wait (no handle) counts as acquired: a mutex that cannot be opened is free.
    // An abandoned mutex is now ours and free as well.
    if (::WaitForSingleObject(held.Get(), 0) == WAIT_TIMEOUT) {
        held.Close();
        return false;
    }
    return true;
}

void ReleaseEngineMutex(ScopedHandle& held) {
    if (!held) return;
    ::ReleaseMutex(held.Get());
    held.Close();
}

void WaitEngineMutexFree() { WaitEngineMutexFreeUntil(0); }

bool WaitEngineMutexFreeUntil(ULONGLONG deadline) {
    for (;;) {
        ScopedHandle held;
        if (TryAcquireEngineMutex(held)) {
            ReleaseEngineMutex(held);
            return true;
        }
        if (deadline != 0 && ::GetTickCount64() >= deadline) return false;
        ::Sleep(kPollMs);
    }
}

void WaitEngineMutexTaken() {
    for (int poll = 0; poll < kTakenPolls; ++poll) {
        ScopedHandle held;
        if (!TryAcquireEngineMutex(held)) return;
        ReleaseEngineMutex(held);
        ::Sleep(kPollMs);
    }
}

void WaitInstallerIdle() {
    ScopedHandle mutex(::CreateMutexA(nullptr, FALSE, kInstallerMutexName));
    if (!mutex) return;
    ::WaitForSingleObject(mutex.Get(), kInstallerIdleMs);
    // After a time-out the release fails harmlessly: the mutex was never ours.
    ::ReleaseMutex(mutex.Get());
}

bool IsSetupEngine(const std::string& command) {
    // A text of MAX_PATH characters or more names no file for the ANSI calls, and the version
    // reader of some platforms faults on such a name instead of failing (seen for 40,000
    // characters under 64-bit Wine): it is not the engine, without asking.
    if (command.size() >= MAX_PATH || command.empty()) return false;
    // Without version.dll no version resource can be read: not the engine.
    const VersionBinding* version = BoundVersion();
    if (!version) return false;
    std::wstring file = AnsiToWide(command);
    DWORD ignored = 0;
    DWORD size = version->infoSize(file.c_str(), &ignored);
    if (size == 0) return false;
    std::vector<char> block;
    try {
        block.resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!version->info(file.c_str(), 0, size, block.data())) return false;
    void* value = nullptr;
    UINT length = 0;
    if (!version->queryValue(block.data(), L"\\StringFileInfo\\040904b0\\InternalName", &value, &length) ||
        !value)
        return false;
    // The reported length differs between platforms (with or without the terminator); compare
    // the terminated text, never reading past the block.
    const char* start = static_cast<const char*>(value);
    const char* end = block.data() + block.size();
    if (start < block.data() || start >= end) return false;
    const wchar_t* name = static_cast<const wchar_t*>(value);
    size_t room = static_cast<size_t>(end - start) / sizeof(wchar_t), n = 0;
    while (n < room && name[n]) ++n;
    return n == 8 && std::wmemcmp(name, L"Parentix", 8) == 0;
}
