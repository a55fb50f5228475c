// One stream of a command's output as log lines: the bytes are untrusted (binary, NUL bytes,
// lines of megabytes, any code page), the lines are safe to log.
//
// Classes in this file:
//   OutputLines    one stream's bytes as log lines: split by character, converted from the OEM code
//                  page without look-alikes, made safe, and bounded per stream
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>

// How much of a stream reaches the log: the first headBytes as they come, the last tailBytes once
// the stream is over, and one line for what lay between. A line counts its bytes and lineCost
// more, what the log adds to each line (its time, its mark, its line end), so that the bounds
// hold for the log and not only for the output: a flood of empty lines is a few hundred lines in
// the log, not thousands. A line longer than lineBytes is cut, at a whole character, into lines
// of at most that many bytes.
struct OutputLimits {
    size_t headBytes = 16 * 1024;
    size_t tailBytes = 16 * 1024;
    size_t lineBytes = 1024;
    size_t lineCost = 40;
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
    unsigned char m_width[256]; // the bytes of a character that starts with this byte
    bool m_stop[256];           // the bytes that end a run of single-byte characters: lead bytes, CR, LF
    std::string m_partial;      // the bytes of the line being assembled
    bool m_afterCr = false;     // the last byte was a CR: an LF now ends no second line
    size_t m_trailsDue = 0;     // the bytes still to come of the character being read
    size_t m_headUsed = 0;
    bool m_inTail = false;
    std::string m_tailText;     // the tail's lines, from m_tailStart on
    size_t m_tailStart = 0;
    std::deque<size_t> m_tailSizes;
    size_t m_tailUsed = 0;
    uint64_t m_leftOutBytes = 0, m_leftOutLines = 0;
};
