// Looking a value up by name under HKEY_LOCAL_MACHINE.
#pragma once

#include <windows.h>

#include <string>

// Enumerates the values of HKEY_LOCAL_MACHINE\keyPath and takes the first whose name equals
// valueName ignoring case: its data, as text up to the first NUL, goes to out and the result is
// ERROR_SUCCESS. Otherwise out is unchanged and the result is the status that ended the search:
// ERROR_FILE_NOT_FOUND for a missing key, ERROR_NO_MORE_ITEMS when no value matched,
// ERROR_MORE_DATA when a value met before the match has a name or data over 259/260 bytes.
LONG ReadMachineRegistryString(const char* keyPath, const char* valueName, std::string& out);
