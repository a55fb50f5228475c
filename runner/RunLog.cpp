#include "runner/RunLog.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "AnsiText.h"
#include "KEException.h"
#include "PATH.h"
#include "scan/CharScan.h"
#include "app/version.h"
#include "runner/CommandFile.h"
#include "runner/FailureReport.h"
#include "runner/ScopedHandle.h"

namespace {

// Whether a reparse point of the given tag leads to another place: a symbolic link or a junction
// (a name surrogate), or one whose kind the system does not tell (Wine shows a folder that is a
// Unix symbolic link so). Others keep their data in place (a file held in the cloud, a
// deduplicated file).
bool LeadsElsewhere(DWORD tag) { return tag == 0 || IsReparseTagNameSurrogate(tag); }

// Whether the existing entry at path is such a link.
bool IsLink(const std::string& path) {
    WIN32_FIND_DATAW found;
    HANDLE search = ::FindFirstFileW(AnsiToWide(path).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return false;
    ::FindClose(search);
    // The reparse tag stands in dwReserved0 when the entry is a reparse point.
    return (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && LeadsElsewhere(found.dwReserved0);
}

// The first folder above the file at path that exists and is a link: a privileged run (SYSTEM
// writing to C:\Windows\Temp) would make folders and write wherever whoever planted it chose.
// Empty when there is none.
std::string LinkedFolder(const std::string& path) {
    DynamicPath asWritten(path.c_str());
    for (int k = 1; k < asWritten.GetDepth(); ++k) {
        DynamicString prefix;
        asWritten.GetPrefix(k, prefix);
        DynamicPath folder(FileSystemSpelling(prefix.GetString()).c_str());
        folder.RemoveTrailingSeparator();
        if (IsLink(folder.GetText())) return folder.GetText();
    }
    return std::string();
}

// Why the file opened as itself (never followed) must not be written, or "": it is a link, or
// it has another name (a hard link), which may stand in any folder of the volume.
std::string FileLinkProblem(HANDLE file) {
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    if (::GetFileInformationByHandleEx(file, FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && LeadsElsewhere(tag.ReparseTag))
        return "it is a symbolic link or junction, which is not followed";
    BY_HANDLE_FILE_INFORMATION info = {};
    if (::GetFileInformationByHandle(file, &info) && info.nNumberOfLinks > 1)
        return "the file has " + std::to_string(info.nNumberOfLinks) +
               " names (hard links), and another one may stand in any folder";
    return std::string();
}

// Opens the file for appending only. FILE_APPEND_DATA without FILE_WRITE_DATA makes every write
// land at the end, also when another program (a nested kit's own run) appends at the same time.
// Sharing read and write lets the file be watched and shared while a line is written. The file
// opened is the one judged, so that nothing can be swapped in between. On failure reason says
// why.
ScopedHandle OpenForAppend(const std::string& path, std::string& reason) {
    ScopedHandle file(::CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        reason = ShortSystemMessage(::GetLastError());
        return file;
    }
    reason = FileLinkProblem(file.Get());
    if (!reason.empty()) file.Close();
    return file;
}


std::string Seconds(ULONGLONG ms) {
    // Integer arithmetic: the decimal point stays '.' whatever locale is set.
    ULONGLONG tenths = (ms + 50) / 100;
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

const char* AnswerName(int answer) {
    switch (answer) {
    case IDOK: return "OK";
    case IDYES: return "Yes";
    case IDNO: return "No";
    case IDCANCEL: return "Cancel";
    case 0: return "none (the message box could not be shown)";
    }
    return "other";
}

// The log file as an output of the run. The first write that fails is reported once through the
// report, and the file is left alone from then on: a block with holes would mislead more than one
// that visibly ends.
class RunLogFile : public RunOutput {
public:
    RunLogFile(RunReport& report, LogFileWriter writer) : m_report(report), m_writer(std::move(writer)) {}

    void CommandList(const std::vector<std::string>& commands) override { m_table.SetCommands(commands); }
    void Line(const std::string& text) override { Write(text); }
    void CommandStarted(int index, const std::string& command) override {
        m_table.Started(index, command, ::GetTickCount64());
    }
    void CommandEnded(int index, CommandEnd end, int exitCode, bool known) override {
        m_table.Ended(index, end, exitCode, known, ::GetTickCount64());
    }
    void CommandFailed(int index, const std::string& command, unsigned long error) override {
        m_table.Failed(index, command, error);
    }
    void CommandProcesses(int index, unsigned long count) override { m_table.Processes(index, count); }
    void AnsweredUnattended(Question kind, const std::string& title, const std::string& text, int answer) override {
        Write("Message box \"" + title + "\" not shown (unattended run): " + text);
        std::string meaning;
        if (kind == Question::ContinueAfterFailure)
            meaning = answer == IDYES ? " (go on with the remaining commands)" : " (no command is left)";
        if (kind == Question::Restart) {
            meaning = " (Windows is not restarted; the restart is still due)";
            m_table.SetRestart("due-unattended");
        }
        Write(std::string("Unattended answer: ") + AnswerName(answer) + meaning);
    }
    // The box's text when it appears and the answer when it is given, each at its own time: a run
    // that is ended while the box waits still has the question in its log.
    void Asking(Question, const std::string& title, const std::string& text) override {
        Write("Message box \"" + title + "\": " + text);
    }
    void Answered(Question kind, const std::string&, const std::string&, int answer) override {
        Write(std::string("Answer: ") + AnswerName(answer));
        if (kind == Question::Restart) {
            // Written before a Yes restarts Windows: the restart may end the program at any moment.
            m_table.SetRestart(answer == IDYES ? "asked-yes" : "asked-no");
            WriteResults();
        }
    }
    // The block ends with what the tool that started Sarnik is told.
    void RunOver(int exitCode) override {
        WriteResults();
        Write("Exit code: " + std::to_string(exitCode));
    }

private:
    void Write(const std::string& text) {
        if (m_failed) return;
        std::string reason;
        if (m_writer.Write(text, reason)) return;
        m_failed = true;
        m_report.Line(DisplayText("LogFileErrorMsg", m_writer.Path(), reason));
    }

    void WriteResults() {
        if (m_resultsWritten) return;
        m_resultsWritten = true;
        for (const std::string& line : m_table.Lines(::GetTickCount64())) Write(line);
    }

    RunReport& m_report;
    LogFileWriter m_writer;
    ResultsTable m_table;
    bool m_failed = false;
    bool m_resultsWritten = false;
};
}  // namespace

bool SameExistingFile(const std::string& a, const std::string& b) {
    auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
        ScopedHandle file(::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        return file && ::GetFileInformationByHandle(file.Get(), &info);
    };
    BY_HANDLE_FILE_INFORMATION x, y;
    return identify(a, x) && identify(b, y) && x.dwVolumeSerialNumber == y.dwVolumeSerialNumber &&
           x.nFileIndexHigh == y.nFileIndexHigh && x.nFileIndexLow == y.nFileIndexLow;
}

// The path as the file system takes it: '/' is read as '\\', and a run of separators as one
// (but for the two that open a network path). A trail byte equal to '\\' is no separator.
std::string FileSystemSpelling(const std::string& path) {
    std::string out;
    bool afterSeparator = false;
    for (size_t i = 0; i < path.size(); i += CharWidthAt(path, i)) {
        bool separator = CharWidthAt(path, i) == 1 && (path[i] == '/' || path[i] == '\\');
        if (separator && afterSeparator && out.size() > 1) continue;
        if (separator)
            out += '\\';
        else
            out.append(path, i, CharWidthAt(path, i));
        afterSeparator = separator;
    }
    return out;
}

bool NamesDevice(const std::string& path) {
    // The platform's reserved names stand for devices in every folder and with any extension
    // ("logs\nul.log"), whether or not the folder exists yet: told by the name alone, the same
    // for the run and for the checker, before any folder is made.
    if (path.compare(0, 4, "\\\\.\\") == 0) return true;
    size_t nameStart = 0;
    for (size_t i = 0; i < path.size(); i += CharWidthAt(path, i))
        if (path[i] == '\\' || path[i] == '/' || (i == 1 && path[i] == ':')) nameStart = i + 1;
    std::string name = path.substr(nameStart);
    name = name.substr(0, std::min(name.find('.'), name.find(':')));
    while (!name.empty() && name.back() == ' ') name.pop_back();
    for (char& c : name)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : kDevices)
        if (name == device) return true;
    if (name.size() == 4 && (name.compare(0, 3, "COM") == 0 || name.compare(0, 3, "LPT") == 0) && name[3] >= '1' &&
        name[3] <= '9')
        return true;
    // Any other name may still reach a device (a pipe, a link): an existing one is asked. No
    // access is asked for: enough to learn the type, and no device is opened for reading or
    // writing.
    ScopedHandle file(::CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file && ::GetFileType(file.Get()) != FILE_TYPE_DISK;
}

std::string LinkProblem(const std::string& path) {
    std::string linked = LinkedFolder(path);
    if (!linked.empty()) return "the folder " + linked + " is a symbolic link or junction, which is not followed";
    ScopedHandle file(::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
                                    nullptr));
    return file ? FileLinkProblem(file.Get()) : std::string();
}

bool LogFileWriter::Prepare(std::string& reason) const {
    try {
        DynamicPath path(m_path.c_str());
        // The path's own fault is the reason, in the checker's words; making its folders would
        // fail on some piece of it for a reason that misleads ("\\?\C:\..." met "already exists").
        // It is judged as the file system reads it: "C:/Temp/run.log" names C:\Temp\run.log.
        DynamicString why;
        if (!DynamicPath(FileSystemSpelling(m_path).c_str()).Validate(false, &why)) {
            reason = std::string("it is no valid file path (") + why.GetString() + ")";
            return false;
        }
        // Checked before the missing folders are made and again after: a folder made inside a
        // link would stand where the link leads.
        for (int pass = 0; pass < 2; ++pass) {
            reason = LinkProblem(m_path);
            if (!reason.empty()) return false;
            if (pass == 0) path.MakeAllDirectoriesInPathName(false);
        }
    } catch (const KEException& e) {
        reason = e.GetAPIErrorCode() ? ShortSystemMessage(static_cast<unsigned long>(e.GetAPIErrorCode()))
                                     : std::string(e.GetDescription());
        return false;
    } catch (const std::exception& e) {
        reason = e.what();
        return false;
    }
    // Windows refuses to write a read-only file to anybody; said here in the checker's words, and
    // also where the file system would let an administrator write it (Wine run as root).
    DWORD attributes = ::GetFileAttributesA(m_path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        reason = "the file is read-only";
        return false;
    }
    ScopedHandle file = OpenForAppend(m_path, reason);
    if (!file) return false;
    if (::GetFileType(file.Get()) != FILE_TYPE_DISK) {
        reason = "it names a device, not a file";
        return false;
    }
    return true;
}

std::string LogFileWriter::Format(const std::string& text, const SYSTEMTIME& t) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
    // Line ends are single bytes that no trail byte of the supported code pages equals, so a
    // byte-wise split never cuts a double-byte character.
    std::vector<std::string> lines(1);
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' || text[i] == '\n') {
            if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
            lines.emplace_back();
        } else {
            lines.back() += text[i];
        }
    }
    while (lines.size() > 1 && lines.back().empty()) lines.pop_back();
    std::string out;
    for (const std::string& line : lines) out.append(stamp).append(line).append("\r\n");
    return out;
}

bool LogFileWriter::Write(const std::string& text, std::string& reason) const {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    std::string bytes = Format(text, now);
    ScopedHandle file = OpenForAppend(m_path, reason);
    if (!file) return false;
    DWORD written = 0;
    if (!::WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) ||
        written != bytes.size()) {
        reason = ShortSystemMessage(::GetLastError());
        return false;
    }
    // On the disk before the next command runs: a command may restart or switch off the machine.
    ::FlushFileBuffers(file.Get());
    return true;
}

void ResultsTable::SetCommands(const std::vector<std::string>& commands) {
    m_rows.assign(commands.size(), Row());
    for (size_t i = 0; i < commands.size(); ++i) m_rows[i].command = commands[i];
}

ResultsTable::Row& ResultsTable::At(int index) {
    if (index >= static_cast<int>(m_rows.size())) m_rows.resize(static_cast<size_t>(index) + 1);
    return m_rows[static_cast<size_t>(index)];
}

void ResultsTable::Started(int index, const std::string& command, ULONGLONG tick) {
    Row& row = At(index);
    row.command = command;
    row.status = Status::Started;
    row.started = row.ended = tick;
    row.open = true;
}

void ResultsTable::Ended(int index, CommandEnd end, int exitCode, bool known, ULONGLONG tick) {
    Row& row = At(index);
    row.end = end;
    row.code = known ? std::to_string(exitCode) : "";
    row.ended = tick;
    row.open = false;
}

void ResultsTable::Processes(int index, unsigned long count) {
    At(index).processes = count;
    m_processColumn = true;
}

void ResultsTable::Failed(int index, const std::string& command, unsigned long error) {
    Row& row = At(index);
    row.command = command;
    row.status = Status::NotStarted;
    row.code = std::to_string(error);
}

std::vector<std::string> ResultsTable::Lines(ULONGLONG now) const {
    std::vector<std::string> lines{"Results:"};
    for (size_t i = 0; i < m_rows.size(); ++i) {
        const Row& row = m_rows[i];
        std::string line = std::to_string(i) + "\t";
        switch (row.status) {
        case Status::Started:
            // A command whose end the run never saw (it stopped on a failure of its own while
            // the command ran) has no exit code and did not complete as far as anyone knows.
            // One over its limit has the exit code of its own process when that had ended, and
            // the time is the limit that ran out.
            line += std::string(row.open                             ? "unfinished\t"
                                : row.end == CommandEnd::TimedOut   ? "timed-out\t"
                                : row.end == CommandEnd::Terminated ? "terminated\t"
                                : row.end == CommandEnd::Failed     ? "failed\t"
                                                                     : "completed\t") +
                    row.code + "\t" + Seconds((row.open ? now : row.ended) - row.started);
            break;
        case Status::NotStarted:
            // Nothing ran: no time passed for the command itself.
            line += "not-started\t" + row.code + "\t" + Seconds(0);
            break;
        case Status::Skipped:
            line += "skipped\t\t";
            break;
        }
        if (m_processColumn) line += "\t" + std::to_string(row.processes);
        lines.push_back(line + "\t" + row.command);
    }
    lines.push_back(std::string("Restart: ") + m_restart);
    return lines;
}

void AttachLogFile(RunReport& report, const std::string& path) {
    if (path.empty()) return;
    LogFileWriter writer(path);
    std::string reason;
    // Lines appended to the command file would become its keys and values.
    // The command line as the parent gave it: the ANSI one is a best-fit look-alike of it.
    std::string header =
        std::string("Sarnik ") + SARNIK_VERSION_TEXT + ", command line: " + AnsiForMessage(::GetCommandLineW());
    if (SameExistingFile(path, CommandFilePath())) {
        reason = "it is the command file";
    } else if (NamesDevice(path)) {
        reason = "it names a device, not a file";
    } else if (writer.Prepare(reason) && writer.Write(header, reason)) {
        report.AddOutput(std::make_unique<RunLogFile>(report, std::move(writer)));
        return;
    }
    report.Line(DisplayText("LogFileErrorMsg", path, reason));
}
