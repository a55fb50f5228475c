// A nested distribution kit's setup program, rewritten into a Windows Installer command.
#pragma once

#include <string>

// Replaces the setup part of a command that starts a nested kit by an msiexec command on the
// kit's package; leaves any other command unchanged.
void RewriteNestedKitCommand(std::string& command);
