// Waiting for the installers: the setup engine's mutex, the Windows Installer's mutex, and the
// recognition of a command that starts the setup engine.
#pragma once

#include <windows.h>

#include <string>

#include "runner/ScopedHandle.h"

extern const char kEngineMutexName[];     // "_ZQParentixMutex"
extern const char kInstallerMutexName[];  // "_MSIExecute"

// One probe of the setup engine's mutex. Returns false (busy) when another process owns it.
// Returns true (acquired) otherwise, with the handle in held (possibly none, when the mutex
// could not be opened); ReleaseEngineMutex gives it back.
bool TryAcquireEngineMutex(ScopedHandle& held);
void ReleaseEngineMutex(ScopedHandle& held);

// Polls every 100 ms, without limit, until the engine's mutex is found free once.
void WaitEngineMutexFree();
// The same, until the tick count deadline at most (0: no limit); false when it came first.
bool WaitEngineMutexFreeUntil(ULONGLONG deadline);

// Polls every 100 ms until the engine's mutex is found busy, at most 300 times.
void WaitEngineMutexTaken();

// Waits until the Windows Installer's mutex can be owned, at most 30,000 ms.
void WaitInstallerIdle();

// Whether the whole command text names a file whose version resource calls it "Parentix".
bool IsSetupEngine(const std::string& command);
