// The framework's file-system paths and the file operations on them.
//
// Classes in this file:
//   PathBase     abstract; every path operation, written once over two storage operations
//                (GetStorageString, GetStringForWrite) that the concrete classes supply
//   StaticPath   text in a StaticString<260> inside the object; no heap
//   Path         the everyday path type; a StaticPath of its own name
//   DynamicPath  text in a DynamicString; no length limit
//   PathFilter   a caller's test applied to FindFile candidates
// Exported functions: IsValidPath, FilesAreIdentical.
//
// Text is multibyte in the process's code page; indices and counts are in characters. The
// separator is '\' ('/' is not one); ':' also ends a drive specification. Failures are raised as
// KEException; existence tests and the non-throwing Validate never raise.
#pragma once

#include <windows.h>

#include <stdint.h>

#include <memory>
#include <string>

#include "kestring.h"

class PathBase;

// Produces a text for a FindFile candidate; the candidate counts when that text equals
// GetFilterText() ignoring case. An empty filter text accepts every candidate.
class PathFilter {
public:
    virtual ~PathFilter() {}
    virtual const char* GetFilterText() const = 0;
    virtual void GetTextForPath(const PathBase& candidate, String& out) const = 0;
};

// The UTF-16 extended-length form of a path ("\\?\C:\..." or "\\?\UNC\srv\share\..."), shared by
// whoever holds it.
using LongPathText = std::shared_ptr<const std::wstring>;

// Existence kinds.
enum PathKind { PATH_KIND_FILE = 1, PATH_KIND_DIRECTORY = 2, PATH_KIND_ANY = 3 };

// Time selectors of GetFileTime.
enum PathTime { PATH_TIME_CREATION = 0, PATH_TIME_LAST_ACCESS = 1, PATH_TIME_LAST_WRITE = 2 };

// RemoveDir flags.
enum RemoveDirFlags {
    REMOVE_DIR_KEEP_READ_ONLY_FILES = 0x1,  // read-only files are not deleted: their deletion fails
    REMOVE_DIR_RAISE_IF_NOT_EMPTY = 0x2,    // with REMOVE_DIR_ONLY_IF_EMPTY_STRICT: raise, not false
    REMOVE_DIR_ONLY_IF_EMPTY = 0x4,         // a non-empty directory is left alone (false)
    REMOVE_DIR_ONLY_IF_EMPTY_STRICT = 0x8,  // same; combined with 0x2 it raises
};

class PathBase {
public:
    // The virtual operations are declared in the order the framework's callers rely on; keep it.
    virtual const char* GetText() const;
    virtual const String& GetString() const;
    virtual PathBase& operator=(const String& text);
    virtual PathBase& operator=(const char* text);
    virtual PathBase& operator=(const PathBase& other);
    virtual bool operator==(const String& text) const;
    virtual bool operator==(const char* text) const;
    virtual bool operator==(const PathBase& other) const;
    virtual bool operator!=(const String& text) const;
    virtual bool operator!=(const char* text) const;
    virtual bool operator!=(const PathBase& other) const;
    virtual bool operator<(const PathBase& other) const;
    // True for the same text, or when both long forms are the same; with resolveLibraryMembers
    // also for entries of the same name inside the same ".qmx" library file.
    virtual bool IsSameFile(const String& other, bool resolveLibraryMembers) const;
    virtual bool IsSameFile(const char* other, bool resolveLibraryMembers) const;
    virtual bool IsSameFile(const PathBase& other, bool resolveLibraryMembers) const;
    virtual void GetPath(String& out) const;
    virtual void SetPath(const PathBase& other);
    virtual void SetPath(const String& text);
    virtual void SetPath(const char* text);
    virtual void GetDirectory(String& out) const;
    virtual void SetDirectory(const String& directory);
    virtual void SetDirectory(const char* directory);
    virtual bool MakeDirectoryPath(bool fromDirectory);
    virtual bool EndsWithSeparator() const;
    virtual void GetAbbreviatedName(int maximumCharacters, String& out) const;
    // Shortened with path ellipsis to fit width pixels in font (the DC's default font when null);
    // with middle, long results keep their start and end around "...".
    virtual void GetAbbreviatedNameForWidth(int width, String& out, HFONT font, bool middle) const;
    virtual void GetFileName(String& out) const;
    virtual void SetFileName(const String& name);
    virtual void SetFileName(const char* name);
    virtual void GetBaseName(String& out) const;
    virtual void SetBaseName(const String& name);
    virtual void SetBaseName(const char* name);
    virtual bool HasExtension() const;
    virtual bool HasExtension(const char* extension) const;
    virtual void GetExtension(String& out) const;
    virtual void SetExtension(const String& extension);
    virtual void SetExtension(const char* extension);
    virtual void AppendComponent(const String& component);
    virtual void AppendComponent(const char* component);
    virtual void RemoveLastComponent();
    virtual void RemoveFileName();
    virtual bool IsEmpty() const;
    virtual bool IsAbsolute() const;
    // Never raises; message, when given, receives the error description of an invalid path.
    virtual bool Validate(bool allowWildcards, String* message) const;
    // Raises KE_INVALID_PATHNAME with the description when the path is not valid.
    virtual void Validate(bool allowWildcards) const;
    // False when a ".." climbs above the start of a relative path.
    virtual bool CollapseDotComponents();
    virtual void RemoveTrailingSeparator();
    virtual void MatchCaseOnDisk(PathBase& out) const;
    virtual void RemoveDoubleSeparators();
    virtual bool HasDriveSpec() const;
    virtual bool IsUNC() const;
    virtual int GetComponentCount() const;
    // True when every component of this path, counted from its end, equals (ignoring case) the
    // component of other at the same distance from other's end; other must have at least as many.
    virtual bool EndsWithComponentsOf(const PathBase& other) const;
    virtual bool GetLeadingComponents(int count, PathBase& out) const;
    virtual bool MakeRelativeTo(const PathBase& base, String& out) const;
    virtual bool IsParentOf(const PathBase& child, bool strict) const;
    // True when this relative path names the tail of the absolute path other (b\c.txt is a tail
    // of C:\a\b\c.txt); false for any other combination or when either ends with a separator.
    virtual bool IsTailOf(const PathBase& absolute) const;
    virtual int GetDepth() const;
    virtual void GetPrefix(int count, String& out) const;
    // One process-wide buffer, overwritten by the next call; not for concurrent use.
    virtual const char* GetForwardSlashPath() const;
    virtual bool DirectoryExists(bool self) const;
    virtual bool DirectoryExistsLong(bool self) const;
    virtual bool DeleteFileIfExists(bool keepReadOnly) const;
    virtual bool DeleteFileIfExistsLong(bool keepReadOnly) const;
    virtual bool FileExists() const;
    virtual bool FileExistsLong() const;
    virtual bool Exists(int kind) const;
    virtual bool ExistsLong(int kind) const;
    virtual uint64_t GetFileSizeLarge() const;
    virtual uint32_t GetFileSizeT() const;
    virtual bool IsReadOnly() const;
    // -1 when the attributes cannot be read, else SetFileAttributesA's result.
    virtual int SetReadOnly(bool readOnly) const;
    // out, when given, receives the path found (only when one is found).
    virtual bool FindFile(const char* name, int kind, bool recursive, PathBase* out, bool longListing,
                          const PathFilter* filter) const;
    virtual bool FindFileInSubdirectories(const char* name, int kind, PathBase* out, bool longListing,
                                          const PathFilter* filter) const;
    virtual void MakeAllDirectoriesInPathName(bool lastIsDirectory) const;
    virtual void MakeAllDirectoriesInPathNameLong(bool lastIsDirectory) const;
    virtual void CopyFileTo(const PathBase& destination, bool overwrite) const;
    virtual void MoveFileTo(const PathBase& destination, bool overwrite) const;
    // -1 when this file was last written before other, 0 at the same time, 1 after.
    virtual int CompareFileTime(const PathBase& other) const;
    virtual void GetFileTime(FILETIME& out, int which) const;
    virtual const String& GetStorageString() const = 0;
    virtual String& GetStringForWrite() = 0;
    virtual void ExpandEnvironmentVariables(bool onlyIfExists);
    // False when the directory does not exist or is not empty under REMOVE_DIR_ONLY_IF_EMPTY*.
    virtual bool RemoveDir(int flags) const;
    virtual ~PathBase() {}

    void NormalizeDriveRoot();
    // Character index where the first component below the root starts.
    int GetTopLevel() const;
    // Steps over count components from the character index start; false when the text ends first.
    bool SkipComponents(int start, int count, int& length) const;
    LongPathText ConvertForLongPathCalls() const;

protected:
    PathBase() {}
    PathBase(const PathBase&) {}

private:
    void Assign(const std::string& text) { GetStringForWrite().Assign(text.c_str()); }
    int TopLevelBytes() const;
};

class StaticPath : public PathBase {
public:
    StaticPath() {}
    StaticPath(const char* text) { SetPath(text); }
    StaticPath(const String& text) { SetPath(text); }
    StaticPath(const PathBase& other) { m_text.Assign(other.GetString()); }
    StaticPath(const StaticPath& other) : PathBase() { m_text.Assign(other.GetString()); }
    ~StaticPath() override {}
    using PathBase::operator=;
    StaticPath& operator=(const StaticPath& other) { PathBase::operator=(other); return *this; }

    const String& GetStorageString() const override { return m_text; }
    String& GetStringForWrite() override { return m_text; }

private:
    StaticString<260> m_text;
};

class Path : public StaticPath {
public:
    Path() {}
    Path(const char* text) : StaticPath(text) {}
    Path(const String& text) : StaticPath(text) {}
    Path(const PathBase& other) : StaticPath(other) {}
    Path(const Path& other) : StaticPath(static_cast<const PathBase&>(other)) {}
    ~Path() override {}
    using PathBase::operator=;
    Path& operator=(const Path& other) { PathBase::operator=(other); return *this; }
};

class DynamicPath : public PathBase {
public:
    DynamicPath() {}
    DynamicPath(const char* text) { SetPath(text); }
    DynamicPath(const String& text) { SetPath(text); }
    DynamicPath(const PathBase& other) { m_text.Assign(other.GetString()); }
    DynamicPath(const DynamicPath& other) : PathBase() { m_text.Assign(other.GetString()); }
    ~DynamicPath() override {}
    using PathBase::operator=;
    DynamicPath& operator=(const DynamicPath& other) { PathBase::operator=(other); return *this; }

    const String& GetStorageString() const override { return m_text; }
    String& GetStringForWrite() override { return m_text; }

private:
    DynamicString m_text;
};

// A path's text as wide characters of the ANSI code page, for the long-path ("\\\\?\\") calls.
std::wstring WidenPathText(const char* text);

// Byte-for-byte comparison of two files; raises KEException when either cannot be opened or read.
bool CompareFileContents(const char* path1, const char* path2);

extern "C" {
// 1 when text (shorter than 260 bytes) is a valid path, wildcards in its last component allowed
// when allowWildcards is non-zero; else 0. Raises nothing.
int __stdcall IsValidPath(const char* text, int allowWildcards);
// 1 when both files exist and have the same bytes, else 0. A file that cannot be opened or read
// gives 0 with the thread's last error set to the system error (ERROR_OPEN_FAILED when none).
int __stdcall FilesAreIdentical(const char* path1, const char* path2);
}
