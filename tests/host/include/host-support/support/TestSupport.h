// The host build's stand-in for the Wine test support: the host has no kit folders, programs or
// files of its own, so the cases that need them are built for Wine only (SARNIK_HOST_BUILD).
#pragma once

#include <windows.h>

#include <string>

namespace test {

// The host layer's only module folder: LoadLibraryA finds "zqzlibwapi.dll" (the system zlib,
// linked in) under any folder, and GetModuleFileNameA names this one.
inline std::string BinDir() { return "C:\\HostBin"; }

}  // namespace test

namespace test {

// Files are memory files of the host layer: readers that open them with CreateFileA or the C
// runtime's fopen get the bytes written here.
class TempFolder {
public:
    explicit TempFolder(const char* hint) : m_path(std::string("C:\\HostTemp\\") + hint) {}
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& Path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "\\" + name; }

private:
    std::string m_path;
};

inline void WriteFile(const std::string& path, const std::string& content)
{
    HostSetMemoryFile(path.c_str(), content.data(), content.size());
}

}  // namespace test

namespace test {

inline std::string ReadFile(const std::string& path)
{
    std::string content;
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return content;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        content.append(buffer, got);
    CloseHandle(file);
    return content;
}

inline bool FileExists(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace test
