// Log files that no run can write, for the run's tests and the checker's alike: what the checker
// calls unwritable (SC0050) is what a run reports it could not write, case for case.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/TestSupport.h"

namespace test {

struct UnwritableLog {
    std::string name;
    // LogFile as the command file gives it; inKit: a path relative to the kit folder.
    std::string value;
    bool inKit = false;
    // The start of the run's reason where the program gives it in its own words; empty where
    // it is the system's message.
    std::string reason;
};

// The table, with what its cases need prepared in a folder of its own (a file where a folder
// should be, a read-only file, a folder) and taken away again by the destructor.
class UnwritableLogs {
public:
    UnwritableLogs();
    ~UnwritableLogs();
    UnwritableLogs(const UnwritableLogs&) = delete;
    UnwritableLogs& operator=(const UnwritableLogs&) = delete;
    const std::vector<UnwritableLog>& Cases() const { return m_cases; }
    // The path a run names in its line: the value, in the kit folder kitDir where it is relative.
    static std::string RunPath(const UnwritableLog& c, const std::string& kitDir) {
        return c.inKit ? kitDir + "\\" + c.value : c.value;
    }
    // The files of the folder that no run may change, with their contents.
    std::vector<std::pair<std::string, std::string>> KeptFiles() const;
    // Paths that no run may make (where a link on the way leads).
    std::vector<std::string> NeverMade() const;

private:
    TempFolder m_folder;
    std::vector<UnwritableLog> m_cases;
    std::string m_link;  // the symbolic link made, removed by the destructor
};

}  // namespace test
