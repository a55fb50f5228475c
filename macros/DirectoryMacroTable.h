// Directory macros such as "<WinDir>" or "<InstallationDir>" in commands, resolved once per run
// into (macro, directory) pairs and applied to every command as it is read.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kestring.h"

// Every macro name the table may register, whether or not this machine gives it a value.
extern const char* const kDirectoryMacroNames[];
extern const size_t kDirectoryMacroNameCount;

class DirectoryMacroTable {
public:
    // Builds the whole table from the well-known directories and the three directories of the
    // command line (an empty text: not given). May raise KEException from the product
    // directories (a public directory that cannot be created, a registry that cannot be read).
    // createDirectories false: the product's public directory is named but never created, for
    // the checker, which writes nothing.
    DirectoryMacroTable(DynamicString baseDir, DynamicString tempDir, DynamicString installDir,
                        bool createDirectories = true);
    DirectoryMacroTable(const DirectoryMacroTable&) = delete;
    DirectoryMacroTable& operator=(const DirectoryMacroTable&) = delete;

    // Replaces every known macro standing as a whole word, ignoring case, in registration
    // order; assigns text only when something was replaced. Returns the number of replacements.
    int ExpandMacros(String& text) const;

    // Registers name with value less one trailing backslash. False only when memory runs out,
    // with both lists as they were.
    bool AddMacro(const char* name, const char* value);

    // The second "<ProgramFiles>" candidate: kind 0 the 32-bit (x86) sources, kind 1 the native
    // ones; any other kind registers nothing.
    void AddProgramFilesMacro(int kind);

    // The product's public directory that a run makes when it builds its table, without a
    // trailing backslash; "" when none can be named.
    static std::string PublicDirectory();

    static bool IsRunningUnderWow64();
    // Overwrites the last of two or more characters with the terminator when it is "\".
    static void StripTrailingBackslash(char* buffer);

    int Count() const { return static_cast<int>(m_names.size()); }
    const DynamicString& Name(int i) const { return m_names[static_cast<size_t>(i)]; }
    const DynamicString& Value(int i) const { return m_values[static_cast<size_t>(i)]; }

private:
    // "<QvPublic>" and "<QvAppData>": the product's public and common application-data folders.
    void AddProductDirectories(bool createDirectories);

    std::vector<DynamicString> m_names;
    std::vector<DynamicString> m_values;
};
