#include "installer/NestedKit.h"

#include <msiquery.h>

#include <cstring>

#include "AnsiText.h"
#include "KEException.h"
#include "scan/CharScan.h"
#include "REGISTRY.h"
#include "runner/CommandFile.h"

namespace {
const char kSetupName[] = "SETUP.EXE";
const size_t kSetupNameLength = sizeof kSetupName - 1;
const char kDescriptionName[] = "SETUP.INI";
const char kMarkerProperty[] = "ZQMSIDISTKIT_TEMPLATE_REV";
const char kInstallerKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer";
const char kMsiexec[] = "msiexec.exe";
const DWORD kRecordBufferSize = 260;

std::string UpperCased(std::string text) {
    // Letters of the ANSI code page, one single-byte character at a time, so that positions in
    // the copy are positions in the command. A double-byte character keeps its bytes: the
    // platform's conversion of a whole text could change its length (a lone lead byte at the
    // end becomes another character), and the names searched for are plain ASCII.
    for (size_t i = 0; i < text.size(); i += CharWidthAt(text, i))
        if (CharWidthAt(text, i) == 1) ::CharUpperBuffA(&text[i], 1);
    return text;
}

UINT ReadRecordString(const MsiApi& msi, MSIHANDLE record, UINT field, char (&buffer)[kRecordBufferSize]) {
    DWORD size = kRecordBufferSize;
    return CallMsi([&] { return msi.recordGetString(record, field, buffer, &size); });
}
}  // namespace

void RewriteNestedKitCommand(std::string& command) {
    if (command.empty()) return;
    try {
        std::string setupPart, packagePath;
        if (!DetectNestedKit(command, setupPart, packagePath)) return;
        std::string replacement = "\"" + LocateMsiexec() + "\"  /i \"" + packagePath + "\"";
        command = ReplaceAllText(command, setupPart, replacement);
    } catch (...) {
        // No memory for the texts: the setup program runs as written, as on any other failure.
    }
}

std::string KitDescriptionPath(const std::string& command, size_t& at) {
    std::string upper = UpperCased(command);
    // By character: 'S' is also a trail byte (code page 932), and a byte search would find
    // "SETUP.EXE" starting inside a double-byte character.
    at = FindText(upper, kSetupName);
    if (at == std::string::npos) return std::string();
    // A path of MAX_PATH characters or more names no file for the ANSI calls that would look at
    // it (as for the setup-engine test): a command text that long describes no kit.
    if (at + sizeof kDescriptionName - 1 >= MAX_PATH) return std::string();
    return upper.substr(0, at) + kDescriptionName;
}

std::string KitPackagePath(const std::string& description, const std::string& package) {
    return ReplaceAllText(description, kDescriptionName, package);
}

bool DetectNestedKit(const std::string& command, std::string& setupPart, std::string& packagePath) {
    size_t at = 0;
    std::string description = KitDescriptionPath(command, at);
    if (description.empty()) return false;
    if (::GetFileAttributesA(description.c_str()) == INVALID_FILE_ATTRIBUTES) return false;
    std::string package;
    if (ReadFileValue("Installer", "Package", package, description.c_str()) == 0) return false;
    std::string path = KitPackagePath(description, package);

    std::string revision;
    {
        // Closed before the command starts, so the Windows Installer started next can open it.
        MsiHandle database = OpenKitDatabase(path);
        if (!database) return false;
        if (ReadKitTemplateRevision(database.Get(), revision) != ERROR_SUCCESS) return false;
    }
    if (revision.empty()) return false;

    setupPart = command.substr(0, at + kSetupNameLength);
    packagePath = path;
    return true;
}

MsiHandle OpenKitDatabase(const std::string& packagePath) {
    MsiHandle database;
    // Without msi.dll no package can be opened: the setup program runs as written.
    const MsiApi* msi = BoundMsi();
    if (!msi) return database;
    MSIHANDLE* place = database.Receive();
    const char* path = packagePath.c_str();
    if (CallMsi([&] { return msi->openDatabase(path, MSIDBOPEN_READONLY, place); }) != ERROR_SUCCESS)
        database.Close();
    return database;
}

UINT ReadKitTemplateRevision(MSIHANDLE database, std::string& revision) {
    revision.clear();
    const MsiApi* msi = BoundMsi();
    if (!msi) return ERROR_INSTALL_SERVICE_FAILURE;
    MsiHandle view;
    MSIHANDLE* viewPlace = view.Receive();
    UINT status = CallMsi([&] { return msi->databaseOpenView(database, "SELECT * FROM Property", viewPlace); });
    if (status != ERROR_SUCCESS) return status;
    status = CallMsi([&] { return msi->viewExecute(view.Get(), 0); });
    if (status != ERROR_SUCCESS) return status;

    char buffer[kRecordBufferSize] = "";
    for (;;) {
        // At the end of the table this is ERROR_NO_MORE_ITEMS: a package without the marker.
        MsiHandle record;
        MSIHANDLE* recordPlace = record.Receive();
        status = CallMsi([&] { return msi->viewFetch(view.Get(), recordPlace); });
        if (status != ERROR_SUCCESS) return status;
        status = ReadRecordString(*msi, record.Get(), 1, buffer);
        if (status != ERROR_SUCCESS) return status;
        if (std::strcmp(buffer, kMarkerProperty) == 0) {
            status = ReadRecordString(*msi, record.Get(), 2, buffer);
            if (status != ERROR_SUCCESS) return status;
            break;
        }
    }
    revision = buffer;
    return ERROR_SUCCESS;
}

std::string LocateMsiexec() {
    // A missing key is no worse than a missing value: either way the process start finds
    // msiexec.exe through the platform's search. An empty folder would name "\msiexec.exe" at
    // the root of the current drive, so it counts as missing too. The Windows Installer of this
    // program's own architecture, in its own registry view, as the program search finds it too.
    // A folder named with characters the code page lacks is taken by its short name; one that
    // has none counts as missing.
    std::wstring folder;
    try {
        if (ReadMachineRegistryString(kInstallerKey, "InstallerLocation", folder, kOwnRegistryView) == ERROR_SUCCESS && !folder.empty()) {
            AnsiPath path = AnsiPath::FromWide(folder);
            if (!path.IsRefused()) return path.Text() + "\\" + kMsiexec;
        }
    } catch (const KEException&) {
        // The key itself is missing (or unreadable): the bare name, as for a missing value.
    }
    return kMsiexec;
}
