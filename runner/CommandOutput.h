// What a command writes, read while it runs and handed to the run's log as lines
// (CaptureOutput=TRUE).
//
// Classes in this file:
//   OutputCapture  one command's two pipes and its NUL input: prepared before the start, read while
//                  the command runs, without a thread of its own and without blocking on a pipe
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "runner/OutputLines.h"
#include "runner/ScopedHandle.h"
#include "runner/Wait.h"

class OutputCapture : public WaitService {
public:
    // Lines of standard output (error false) and standard error (error true) of the command.
    using Sink = std::function<void(bool error, const std::string& line)>;
    using LeftOutSink = std::function<void(bool error, uint64_t bytes, uint64_t lines)>;
    OutputCapture(Sink sink, LeftOutSink leftOut, OutputLimits limits = OutputLimits());
    ~OutputCapture() override;
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;

    // Makes the pipes and opens NUL for input, and puts them into si as the command's standard
    // handles (STARTF_USESTDHANDLES). The command must be started with handle inheritance; these
    // are the only handles of the run that can be inherited. false, with GetLastError, when a
    // pipe cannot be made.
    bool Prepare(STARTUPINFOA& si);
    // The command has been started (or could not be): the run's copies of the write ends and of
    // NUL are closed, so that only the command's processes hold them.
    void Started();
    // The handles that are signalled when output has come: to be waited on with the command's
    // (at most two).
    size_t Handles(HANDLE* events) const override;
    // Takes what has come, without waiting. Returns whether anything did.
    bool Read();
    void Serve() override { Read(); }
    // The command (or its whole tree) has ended: takes what is still in the pipes, waiting at
    // most a moment for what is on its way, but not for a process that outlived the command and
    // still holds a pipe; then ends both streams.
    void Finish();

private:
    struct Stream;
    bool ReadStream(Stream& stream);
    Stream* m_streams[2];
    ScopedHandle m_nul;
};
