#include "support/UnwritableLogs.h"

#include <windows.h>

#include <vector>

namespace test {
namespace {
const char kInTheWay[] = "in the way";
const char kReadOnly[] = "kept as it is\r\n";
const char kLinked[] = "the other name's own text\r\n";

// The Unix path of a path under Wine; empty elsewhere.
std::string UnixPath(const std::string& path) {
    typedef char*(CDECL * UnixName)(const wchar_t*);
    auto unixName = reinterpret_cast<UnixName>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unixName ? unixName(Widen(path).c_str()) : nullptr;
    std::string result = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// Runs a Unix program of /bin with arguments (Wine starts Unix programs too, but not in a job
// object and without a handle to wait on); false elsewhere.
bool RunUnix(const std::string& program, const std::string& arguments) {
    std::string line = "Z:\\bin\\" + program + " " + arguments;
    std::vector<char> command(line.begin(), line.end());
    command.push_back('\0');
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!FileExists("Z:\\bin\\" + program) ||
        !CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return false;
    // Its end is seen by what it made: the process handle of a Unix program tells nothing.
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

// A Unix symbolic link at link to target, made as Wine lets a program make one: by running the
// system's ln. Wine shows a folder that is such a link as a reparse point (as Windows shows a
// junction or a symbolic link); false where none can be made or it is not shown so.
bool PlantLink(const std::string& target, const std::string& link) {
    std::string from = UnixPath(target), to = UnixPath(link);
    if (from.empty() || to.empty() || !RunUnix("ln", "-s \"" + from + "\" \"" + to + "\"")) return false;
    DWORD attributes = INVALID_FILE_ATTRIBUTES;
    WaitUntil([&] { return (attributes = GetFileAttributesA(link.c_str())) != INVALID_FILE_ATTRIBUTES; }, 10000);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}
}  // namespace

UnwritableLogs::UnwritableLogs() : m_folder("unwritable") {
    WriteFile(m_folder / "file", kInTheWay);
    WriteFile(m_folder / "readonly.log", kReadOnly);
    SetFileAttributesA((m_folder / "readonly.log").c_str(), FILE_ATTRIBUTE_READONLY);
    MakeDirs(m_folder / "folder.log");
    std::string drive = MissingDriveRoot();
    m_cases = {
        {"a file where a folder should be", m_folder / "file\\logs\\run.log", false, ""},
        {"a read-only file", m_folder / "readonly.log", false, "the file is read-only"},
        {"an existing folder", m_folder / "folder.log", false, ""},
        // The run makes the folder, then cannot open it as a file.
        {"a path that ends in a backslash", m_folder / "newlogs\\", false, ""},
        {"a name with a character no file name holds", m_folder / "run|1.log", false, "it is no valid file path ("},
        {"a path too long for a file name", m_folder / (std::string(300, 'x') + ".log"), false, ""},
        {"the command file itself", "Setup\\..\\setup\\custcmds.ini", true, ""},
        // A device takes what is written and keeps nothing (or never takes it): no log at all.
        {"the device NUL", "NUL", true, "it names a device, not a file"},
        {"the device NUL with an extension", "logs\\nul.log", true, "it names a device, not a file"},
        // The reason the checker gives, not what making its folders met on the way.
        {"a path in the long form", "\\\\?\\" + (m_folder / "long\\run.log"), false,
         "it is no valid file path (Path contains invalid network name.)"},
    };
    if (!drive.empty()) m_cases.push_back({"a drive that does not exist", drive + "logs\\run.log", false, ""});

    // Links that a run as SYSTEM would follow into any folder: a second name of the file (a hard
    // link), and a folder on the way that is a symbolic link or junction (made here as Wine can:
    // a Unix symbolic link, which it shows as a reparse point). A symbolic link to a file Wine 8
    // shows as the file itself, not as a reparse point: no run can tell it there, so that case
    // is Windows' alone.
    WriteFile(m_folder / "linked.log", kLinked);
    if (CreateHardLinkA((m_folder / "other-name.log").c_str(), (m_folder / "linked.log").c_str(), nullptr))
        m_cases.push_back({"a file with a second name (a hard link)", m_folder / "linked.log", false,
                           "the file has 2 names (hard links)"});
    MakeDirs(m_folder / "elsewhere");
    bool linked = PlantLink(m_folder / "elsewhere", m_folder / "link");
    if (FileExists(m_folder / "link")) m_link = m_folder / "link";
    if (linked)
        m_cases.push_back({"a folder on the way that is a symbolic link", m_folder / "link\\sub\\run.log", false,
                           "the folder " + (m_folder / "link") + " is a symbolic link or junction, which is not followed"});
}

UnwritableLogs::~UnwritableLogs() {
    SetFileAttributesA((m_folder / "readonly.log").c_str(), FILE_ATTRIBUTE_NORMAL);
    // The link itself, before the folder is removed, which would take it for a folder of its own.
    if (!m_link.empty() && RunUnix("rm", "-f \"" + UnixPath(m_link) + "\""))
        WaitUntil([&] { return !FileExists(m_link); }, 10000);
}

std::vector<std::pair<std::string, std::string>> UnwritableLogs::KeptFiles() const {
    return {{m_folder / "file", kInTheWay}, {m_folder / "readonly.log", kReadOnly}, {m_folder / "linked.log", kLinked}};
}

std::vector<std::string> UnwritableLogs::NeverMade() const { return {m_folder / "elsewhere\\sub"}; }

}  // namespace test
