// A nested distribution kit's setup program, rewritten into a Windows Installer command.
//
// A kit is a folder with SETUP.EXE, a SETUP.INI whose [Installer] Package names the kit's
// package, and that package, whose Property table holds a non-empty ZQMSIDISTKIT_TEMPLATE_REV.
#pragma once

#include <windows.h>

#include <string>

#include "installer/MsiHandle.h"

// Replaces every occurrence of the setup part of a command that starts a nested kit by
// '"<msiexec>"  /i "<package>"', so the setup's own arguments follow the new text. Any other
// command, and any failure on the way, leaves the command unchanged.
void RewriteNestedKitCommand(std::string& command);

// Whether command starts a nested kit. On true, setupPart is the command's text up to and
// including "SETUP.EXE" (in the command's own case) and packagePath the kit's package; on false
// both are unchanged.
bool DetectNestedKit(const std::string& command, std::string& setupPart, std::string& packagePath);

// The kit description file a command is recognised by: the command up to its first "SETUP.EXE"
// (found without case) upper-cased, then "SETUP.INI"; at is that position. Empty when the
// command names no SETUP.EXE, or when that path would be MAX_PATH characters or longer.
std::string KitDescriptionPath(const std::string& command, size_t& at);
// The package path: description with every "SETUP.INI" replaced by its Package value.
std::string KitPackagePath(const std::string& description, const std::string& package);

// The package opened read-only, or no handle when it cannot be opened (also when msi.dll faults
// on it, or cannot be loaded from the system folder).
MsiHandle OpenKitDatabase(const std::string& packagePath);

// Reads the template revision property of an open package. Returns 0 with its value in revision,
// or the Windows Installer status that stopped the search (ERROR_NO_MORE_ITEMS when the package
// has no such property; ERROR_INSTALL_SERVICE_FAILURE without msi.dll) with revision empty.
UINT ReadKitTemplateRevision(MSIHANDLE database, std::string& revision);

// The path of msiexec.exe from the Windows Installer's registry entry, or the bare name when the
// entry (value or key) is missing or empty.
std::string LocateMsiexec();
