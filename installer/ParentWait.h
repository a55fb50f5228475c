// Waiting for the installers: the setup engine's mutex, the Windows Installer's mutex, and the
// recognition of a command that starts the setup engine.
#pragma once

#include <windows.h>

#include <string>

#include "runner/ScopedHandle.h"
#include "runner/Wait.h"

extern const char kEngineMutexName[];     // "_ZQParentixMutex"
extern const char kInstallerMutexName[];  // "_MSIExecute"

// One probe of the setup engine's mutex. Returns false (busy) when another process owns it.
// Returns true (acquired) otherwise, with the handle in held (possibly none, when the mutex
// could not be opened); ReleaseEngineMutex gives it back.
bool TryAcquireEngineMutex(ScopedHandle& held);
void ReleaseEngineMutex(ScopedHandle& held);

// Polls every kPollMs, without limit, until the engine's mutex is found free once.
void WaitEngineMutexFree();
// The same, until the deadline at most; false when it came first (the engine is still busy).
bool WaitEngineMutexFreeUntil(const Deadline& deadline);

// Polls every kPollMs until the engine's mutex is found busy, for 30 seconds at most, serving
// service (the command's output) meanwhile.
void WaitEngineMutexTaken(WaitService* service = nullptr);

// Polls every kPollMs until the Windows Installer's mutex could be owned, for 30 seconds at most.
void WaitInstallerIdle();

// Whether the whole command text names a file whose version resource calls it "Parentix".
bool IsSetupEngine(const std::string& command);
