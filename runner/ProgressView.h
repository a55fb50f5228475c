// What the runner needs from a view of its progress. The shell's "Command Progress" dialog is
// one; a silent or unattended run has none. The runner knows nothing else of the shell.
#pragma once

#include <string>

class ProgressView {
public:
    // Adds a line to the view's log; line breaks inside it are kept as they are. Never throws.
    virtual void AppendLine(const std::string& line) = 0;
    // The run's progress belongs in front of the user now.
    virtual void BringToFront() = 0;
    // The run is over with Sarnik's exit code: the view lets the user close it. The runner does
    // not touch the view afterwards.
    virtual void RunFinished(int exitCode) = 0;

protected:
    ~ProgressView() = default;
};
