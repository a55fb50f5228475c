// Directory macros such as "<WinDir>" or "<InstallationDir>" in commands, resolved once per run
// into (macro, directory) pairs and applied to every command as it is read.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "AnsiText.h"
#include "kestring.h"

// Every macro name the table may register, whether or not this machine gives it a value.
extern const char* const kDirectoryMacroNames[];
extern const size_t kDirectoryMacroNameCount;

class DirectoryMacroTable {
public:
    // Builds the whole table from the well-known directories and the three directories of the
    // command line (an empty path: not given). Every directory is taken from the system wide
    // and made ANSI exactly, by its short name, or not at all (AnsiText): a macro whose
    // directory cannot be had either way is registered as refused, and a command that uses it is
    // not started. May raise KEException from the product directories (a public directory that
    // cannot be created, a registry that cannot be read). createDirectories false: the product's
    // public directory is named but never created, for the checker, which writes nothing.
    DirectoryMacroTable(const AnsiPath& baseDir, const AnsiPath& tempDir, const AnsiPath& installDir,
                        bool createDirectories = true);
    // The same for three directories given as ANSI text (exact by definition).
    DirectoryMacroTable(DynamicString baseDir, DynamicString tempDir, DynamicString installDir,
                        bool createDirectories = true);
    DirectoryMacroTable(const DirectoryMacroTable&) = delete;
    DirectoryMacroTable& operator=(const DirectoryMacroTable&) = delete;

    // Replaces every known macro standing as a whole word, ignoring case, in registration
    // order; assigns text only when something was replaced. Returns the number of replacements.
    // A refused macro replaces nothing; when the text uses one (at the point of the table where
    // it stands), refused receives its entry's index, else -1.
    int ExpandMacros(String& text, int* refused = nullptr) const;

    // Whether entry i is refused; its directory as the system holds it, for a message
    // (AnsiForMessage).
    bool IsRefused(int i) const { return m_refused[static_cast<size_t>(i)]; }
    const std::string& RefusedDirectory(int i) const { return m_shown[static_cast<size_t>(i)]; }

    // A directory used by its short name: what it is (the kit folder, or the first macro that
    // has it), the directory as the system holds it and the short name.
    struct ShortNameNote {
        std::string label;
        std::string directory;
        std::string shortName;
    };
    // Each such directory once, in the order the table met them.
    const std::vector<ShortNameNote>& ShortNameNotes() const { return m_notes; }

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
    void Build(const AnsiPath& baseDir, const AnsiPath& tempDir, const AnsiPath& installDir, bool createDirectories);
    // "<QvPublic>" and "<QvAppData>": the product's public and common application-data folders.
    void AddProductDirectories(bool createDirectories);
    // Registers name for a directory from the system: its ANSI text or short name, noting the
    // short name once per path, or a refused entry. label names it in a note ("" : the macro).
    void AddPath(const char* name, const AnsiPath& path, const char* label = "");
    void AddRefused(const char* name, const AnsiPath& path);

    std::vector<DynamicString> m_names;
    std::vector<DynamicString> m_values;
    std::vector<bool> m_refused;
    std::vector<std::string> m_shown;  // a refused entry's directory, for its message
    std::vector<std::wstring> m_noted;
    std::vector<ShortNameNote> m_notes;
};
