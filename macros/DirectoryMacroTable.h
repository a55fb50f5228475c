// Directory macros such as "<WinDir>" in commands, resolved once per run.
#pragma once

#include <string>
#include <vector>

class DirectoryMacroTable {
public:
    DirectoryMacroTable(std::string baseDir, std::string tempDir, std::string installDir);

    // Replaces the known macros in text; returns the number of replacements.
    int ExpandMacros(std::string& text) const;

private:
    std::vector<std::string> m_names;
    std::vector<std::string> m_values;
};
