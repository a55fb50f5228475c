#include "installer/ParentWait.h"

#include <cstring>
#include <cwchar>
#include <vector>

#include "AnsiText.h"
#include "installer/SystemLibrary.h"

const char kEngineMutexName[] = "_ZQParentixMutex";
const char kInstallerMutexName[] = "_MSIExecute";

namespace {
const DWORD kEngineTakenMs = 30000;
const DWORD kInstallerIdleMs = 30000;

// version.dll is no known DLL, so it is never imported (the loader would look for it beside the
// program first): it is loaded from the system folder when the first command is tested.
struct VersionApi {
    // The wide forms: the ANSI ones hand the internal name out with best fit, and a fullwidth
    // "Ｐａｒｅｎｔｉｘ" would pass for the engine.
    decltype(&::GetFileVersionInfoSizeW) infoSize;
    decltype(&::GetFileVersionInfoW) info;
    decltype(&::VerQueryValueW) queryValue;
};

bool BindVersion(const SystemLibrary& library, VersionApi& api) {
    return BindProc(library, api.infoSize, "GetFileVersionInfoSizeW") && BindProc(library, api.info, "GetFileVersionInfoW") &&
           BindProc(library, api.queryValue, "VerQueryValueW");
}

// Bound once, by whichever thread first needs it; nullptr when it cannot be.
const VersionApi* BoundVersion() {
    static SystemBinding<VersionApi> binding("version.dll", BindVersion);
    return binding.Get();
}

// One probe of a named mutex: opened (or made, not owned) and waited on for no time. False
// (busy) when another process owns it. True (acquired) otherwise, with the handle in held
// (possibly none, when the mutex could not be opened: it counts as free); ReleaseMutexHeld gives
// it back. An abandoned mutex is now ours and free as well.
bool TryAcquireMutex(const char* name, ScopedHandle& held) {
    held.Attach(::CreateMutexA(nullptr, FALSE, name));
    if (::WaitForSingleObject(held.Get(), 0) == WAIT_TIMEOUT) {
        held.Close();
        return false;
    }
    return true;
}

void ReleaseMutexHeld(ScopedHandle& held) {
    if (!held) return;
    ::ReleaseMutex(held.Get());
    held.Close();
}

// Whether the named mutex is free: acquired and released at once, never held.
bool MutexFree(const char* name) {
    ScopedHandle held;
    if (!TryAcquireMutex(name, held)) return false;
    ReleaseMutexHeld(held);
    return true;
}
}  // namespace

bool TryAcquireEngineMutex(ScopedHandle& held) { return TryAcquireMutex(kEngineMutexName, held); }

void ReleaseEngineMutex(ScopedHandle& held) { ReleaseMutexHeld(held); }

void WaitEngineMutexFree() { WaitEngineMutexFreeUntil(Deadline()); }

bool WaitEngineMutexFreeUntil(const Deadline& deadline) {
    return PollUntil(deadline, [] { return MutexFree(kEngineMutexName); });
}

void WaitEngineMutexTaken(WaitService* service) {
    PollUntil(Deadline::In(kEngineTakenMs), [] { return !MutexFree(kEngineMutexName); }, nullptr, service);
}

void WaitInstallerIdle() {
    PollUntil(Deadline::In(kInstallerIdleMs), [] { return MutexFree(kInstallerMutexName); });
}

bool IsSetupEngine(const std::string& command) {
    // A text of MAX_PATH characters or more names no file for the ANSI calls, and the version
    // reader of some platforms faults on such a name instead of failing (seen for 40,000
    // characters under 64-bit Wine): it is not the engine, without asking.
    if (command.size() >= MAX_PATH || command.empty()) return false;
    // Without version.dll no version resource can be read: not the engine.
    const VersionApi* version = BoundVersion();
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
