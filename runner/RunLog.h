// The run log file that LogFile asks for: one block appended per run, every line with the local
// time in front, and a results table at the end of the block.
//
// Classes in this file:
//   LogFileWriter  appends time-stamped CR LF lines to a file, each handed to the system at once
//   ResultsTable   what became of each command, and of the restart question, as table lines
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "runner/RunReport.h"

class LogFileWriter {
public:
    explicit LogFileWriter(std::string path) : m_path(std::move(path)) {}
    const std::string& Path() const { return m_path; }

    // Makes the missing folders and opens the file for appending once, to learn early whether
    // it can be written. A link on the way (LinkProblem) is not followed: no folder is made and
    // nothing written. On failure reason holds the system's message, or why.
    bool Prepare(std::string& reason) const;

    // Appends text: each of its lines (line feeds, CR LF and lone CRs all end one; empty lines
    // at its end are dropped) gets "YYYY-MM-DD hh:mm:ss.mmm " of now in front and CR LF behind.
    // The file is opened, written, flushed and closed again, so a command may read or move it
    // and a run that is killed loses nothing it wrote. On failure reason holds the system's message.
    bool Write(const std::string& text, std::string& reason) const;

    // The bytes Write appends for text at the given local time.
    static std::string Format(const std::string& text, const SYSTEMTIME& time);

private:
    std::string m_path;
};

class ResultsTable {
public:
    void SetCommands(const std::vector<std::string>& commands);
    void Started(int index, const std::string& command, ULONGLONG tick);
    // The wait for the command ended at tick, as end says. The exit code is that of the
    // command's own process, when known: a command whose children outlived the limit has one.
    void Ended(int index, CommandEnd end, int exitCode, bool known, ULONGLONG tick);
    void Failed(int index, const std::string& command, unsigned long error);
    // How many processes the command started; the first count adds a column to every row.
    void Processes(int index, unsigned long count);
    // restart is "asked-yes", "asked-no", "due-unattended" or "not-asked".
    void SetRestart(const char* restart) { m_restart = restart; }

    // "Results:", one tab-separated line per command (N, status, exit or error code, seconds
    // with one decimal, the processes it started when they were counted, command), then
    // "Restart: " and the restart outcome. now closes a command that was started but never ended.
    // The statuses: completed, failed, not-started, timed-out, terminated, unfinished, skipped.
    std::vector<std::string> Lines(ULONGLONG now) const;

private:
    enum class Status { Skipped, Started, NotStarted };
    struct Row {
        std::string command;
        Status status = Status::Skipped;
        CommandEnd end = CommandEnd::Completed;
        std::string code;
        ULONGLONG started = 0, ended = 0;
        bool open = false;
        unsigned long processes = 0;
    };
    Row& At(int index);

    std::vector<Row> m_rows;
    const char* m_restart = "not-asked";
    bool m_processColumn = false;
};

// Whether both paths name one existing file, whatever their spelling (short names, "..", case).
// A log file that is the command file itself is refused.
bool SameExistingFile(const std::string& a, const std::string& b);

// The path as the file system takes it: '/' is read as '\\', and a run of separators as one (but
// for the two that open a network path). A trail byte equal to '\\' is no separator.
std::string FileSystemSpelling(const std::string& path);

// Why a log file at path must not be written although it could be, or "": a folder above it that
// exists is a symbolic link or junction, or the file itself is one, or has more than one name (a
// hard link). A run that writes as SYSTEM would otherwise create or append wherever whoever
// planted the link chose. Asks only about what exists; the run asks again as it opens the file.
std::string LinkProblem(const std::string& path);

// Whether path names a device (NUL, CON, COM1, also written as nul.log or in a folder, a pipe)
// rather than a file on a disk: what is written there is lost or never taken, and a write to a
// port may wait for ever. Opening it to ask changes nothing.
bool NamesDevice(const std::string& path);

// LogFile's value resolved to path (empty: nothing to do): when the file can be written, a log
// block is started in it with Sarnik's version and command line, and the file joins the report's
// outputs; otherwise the report gets one line that says why.
void AttachLogFile(RunReport& report, const std::string& path);
