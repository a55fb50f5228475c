// What a command writes to its standard output and standard error, read while it runs and handed
// to the run's log as lines (CaptureOutput=TRUE).
//
// Classes in this file:
//   OutputLines    one stream's bytes as log lines: split by character, converted from the OEM code
//                  page without look-alikes, made safe, and bounded per stream
//   OutputCapture  one command's two pipes and its NUL input: prepared before the start, read while
//                  the command runs, without a thread of its own and without blocking on a pipe
#pragma once

#include <windows.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "runner/ScopedHandle.h"
#include "runner/Wait.h"

// How much of a stream reaches the log: the first headBytes as they come, the last tailBytes once
// the stream is over, and one line for what lay between. A line longer than lineBytes is cut, at a
// whole character, into lines of at most that many bytes.
struct OutputLimits {
    size_t headBytes = 16 * 1024;
    size_t tailBytes = 16 * 1024;
    size_t lineBytes = 1024;
};

class OutputLines {
public:
    // sink receives each line, in the ANSI code page; leftOut receives the one line about the
    // bytes and lines that were not logged, before the tail. codePage is the one the command
    // writes in (consoles write in the OEM code page).
    using Sink = std::function<void(const std::string& line)>;
    using LeftOutSink = std::function<void(uint64_t bytes, uint64_t lines)>;
    OutputLines(Sink sink, LeftOutSink leftOut, UINT codePage = CP_OEMCP, OutputLimits limits = OutputLimits());

    // Takes the next bytes of the stream, in any pieces: a line or a character may span pieces.
    void Add(const char* bytes, size_t count);
    // The stream is over: the last line even without a line end, the left-out line, the tail.
    void Finish();

    // A line of the stream as the log shows it: converted to the ANSI code page by character,
    // a character the ANSI code page lacks as '?' (never a look-alike), control characters and
    // NUL bytes as '?', tabs kept.
    static std::string ToLogText(const std::string& raw, UINT codePage);

private:
    void Line(const char* raw, size_t size);
    // Where a run of single-byte characters from from on ends: at a line end, a lead byte, or
    // limit.
    size_t RunEnd(const char* bytes, size_t from, size_t limit) const;

    Sink m_sink;
    LeftOutSink m_leftOut;
    UINT m_codePage;
    OutputLimits m_limits;
    bool m_lead[256];           // the lead bytes of the code page
    bool m_stop[256];           // the bytes that end a run of single-byte characters: lead bytes, CR, LF
    std::string m_partial;      // the bytes of the line being assembled
    bool m_afterCr = false;     // the last byte was a CR: an LF now ends no second line
    bool m_trailDue = false;    // the last byte was a lead byte: the next one belongs to it
    size_t m_headUsed = 0;
    bool m_inTail = false;
    std::string m_tailText;     // the tail's lines, from m_tailStart on
    size_t m_tailStart = 0;
    std::deque<size_t> m_tailSizes;
    size_t m_tailUsed = 0;
    uint64_t m_leftOutBytes = 0, m_leftOutLines = 0;
};

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
