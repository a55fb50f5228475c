#include "support/UnwritableLogs.h"

#include <windows.h>

namespace test {
namespace {
const char kInTheWay[] = "in the way";
const char kReadOnly[] = "kept as it is\r\n";
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
}

UnwritableLogs::~UnwritableLogs() {
    SetFileAttributesA((m_folder / "readonly.log").c_str(), FILE_ATTRIBUTE_NORMAL);
}

std::vector<std::pair<std::string, std::string>> UnwritableLogs::KeptFiles() const {
    return {{m_folder / "file", kInTheWay}, {m_folder / "readonly.log", kReadOnly}};
}

}  // namespace test
