#include "installer/ParentWait.h"

#include <cstring>
#include <vector>

const char kEngineMutexName[] = "_ZQParentixMutex";
const char kInstallerMutexName[] = "_MSIExecute";

namespace {
const DWORD kPollMs = 100;
const int kTakenPolls = 300;
const DWORD kInstallerIdleMs = 30000;
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

void WaitEngineMutexFree() {
    for (;;) {
        ScopedHandle held;
        if (TryAcquireEngineMutex(held)) {
            ReleaseEngineMutex(held);
            return;
        }
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
    DWORD ignored = 0;
    DWORD size = ::GetFileVersionInfoSizeA(command.c_str(), &ignored);
    if (size == 0) return false;
    std::vector<char> block;
    try {
        block.resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!::GetFileVersionInfoA(command.c_str(), 0, size, block.data())) return false;
    void* value = nullptr;
    UINT length = 0;
    if (!::VerQueryValueA(block.data(), "\\StringFileInfo\\040904b0\\InternalName", &value, &length) ||
        !value)
        return false;
    // The reported length differs between platforms (with or without the terminator); compare
    // the terminated text, never reading past the block.
    const char* name = static_cast<const char*>(value);
    const char* end = block.data() + block.size();
    if (name < block.data() || name >= end) return false;
    size_t n = strnlen(name, static_cast<size_t>(end - name));
    return n == 8 && std::memcmp(name, "Parentix", 8) == 0;
}
