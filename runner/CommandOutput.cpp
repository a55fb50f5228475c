#include "runner/CommandOutput.h"

#include <cstdio>
#include <cstring>
#include <vector>

// ---------------------------------------------------------------------------------------------
// OutputLines

OutputLines::OutputLines(Sink sink, LeftOutSink leftOut, UINT codePage, OutputLimits limits)
    : m_sink(std::move(sink)), m_leftOut(std::move(leftOut)), m_codePage(codePage), m_limits(limits) {
    if (m_limits.lineBytes < 2) m_limits.lineBytes = 2;  // room for one double-byte character
    for (int b = 0; b < 256; ++b) {
        m_lead[b] = b >= 0x80 && ::IsDBCSLeadByteEx(m_codePage, static_cast<BYTE>(b));
        m_stop[b] = m_lead[b] || b == '\r' || b == '\n';
    }
}

size_t OutputLines::RunEnd(const char* bytes, size_t from, size_t limit) const {
    while (from < limit && !m_stop[static_cast<unsigned char>(bytes[from])]) ++from;
    return from;
}

void OutputLines::Add(const char* bytes, size_t count) {
    size_t i = 0;
    while (i < count) {
        const unsigned char b = static_cast<unsigned char>(bytes[i]);
        // CR LF is one line end; a lone CR or LF is one too. No code page has them as trail
        // bytes: after a lead byte they end the line all the same, the lead byte shown as '?'.
        if (b == '\r' || b == '\n') {
            const bool secondHalf = b == '\n' && m_afterCr;
            m_afterCr = b == '\r';
            m_trailDue = false;
            if (!secondHalf) {
                Line(m_partial.data(), m_partial.size());
                m_partial.clear();
            }
            ++i;
            continue;
        }
        m_afterCr = false;
        if (m_trailDue) {
            m_partial.push_back(static_cast<char>(b));
            m_trailDue = false;
            ++i;
            continue;
        }
        // A long line is cut before the character that would not fit, never inside it.
        const size_t width = m_lead[b] ? 2 : 1;
        if (m_partial.size() + width > m_limits.lineBytes) {
            Line(m_partial.data(), m_partial.size());
            m_partial.clear();
        }
        if (width == 2) {
            m_partial.push_back(static_cast<char>(b));
            m_trailDue = true;
            ++i;
            continue;
        }
        // A run of single-byte characters goes in at once, as far as the line has room: a
        // command that writes megabytes costs a scan, not a call per byte.
        const size_t room = m_limits.lineBytes - m_partial.size();
        const size_t end = RunEnd(bytes, i + 1, count - i < room ? count : i + room);
        if (m_partial.empty() && end < count && (bytes[end] == '\r' || bytes[end] == '\n')) {
            // A whole line in this piece: handed on as it lies, then its line end.
            Line(bytes + i, end - i);
            m_afterCr = bytes[end] == '\r';
            i = end + 1;
            continue;
        }
        m_partial.append(bytes + i, end - i);
        i = end;
    }
}

void OutputLines::Line(const char* raw, size_t size) {
    // A line costs its bytes and its line end, so that a flood of empty lines is bounded too.
    const size_t cost = size + 1;
    if (!m_inTail && m_headUsed + cost <= m_limits.headBytes) {
        m_headUsed += cost;
        m_sink(ToLogText(std::string(raw, size), m_codePage));
        return;
    }
    // The tail: the last lines' bytes one after another, their sizes beside them. Lines that fall
    // out are only counted; the bytes before m_tailStart are given back now and then, so that
    // keeping a line costs no allocation of its own.
    m_inTail = true;
    m_tailText.append(raw, size);
    m_tailSizes.push_back(size);
    m_tailUsed += cost;
    while (m_tailUsed > m_limits.tailBytes && !m_tailSizes.empty()) {
        const size_t front = m_tailSizes.front();
        m_tailStart += front;
        m_tailUsed -= front + 1;
        m_leftOutBytes += front + 1;
        ++m_leftOutLines;
        m_tailSizes.pop_front();
    }
    if (m_tailStart > m_limits.tailBytes + m_limits.lineBytes) {
        m_tailText.erase(0, m_tailStart);
        m_tailStart = 0;
    }
}

void OutputLines::Finish() {
    if (!m_partial.empty()) Line(m_partial.data(), m_partial.size());
    m_partial.clear();
    m_trailDue = false;
    m_afterCr = false;
    if (m_leftOutLines) m_leftOut(m_leftOutBytes, m_leftOutLines);
    size_t at = m_tailStart;
    for (size_t size : m_tailSizes) {
        m_sink(ToLogText(m_tailText.substr(at, size), m_codePage));
        at += size;
    }
    m_tailText.clear();
    m_tailSizes.clear();
    m_tailStart = 0;
    m_tailUsed = 0;
}

std::string OutputLines::ToLogText(const std::string& raw, UINT codePage) {
    if (raw.empty()) return raw;
    const int n = static_cast<int>(raw.size());
    int wide = ::MultiByteToWideChar(codePage, 0, raw.data(), n, nullptr, 0);
    if (wide <= 0) return std::string(raw.size(), '?');
    std::vector<wchar_t> text(static_cast<size_t>(wide));
    ::MultiByteToWideChar(codePage, 0, raw.data(), n, text.data(), wide);
    for (wchar_t& c : text)
        if ((c < 0x20 && c != L'\t') || c == 0x7F || c == 0xFFFD) c = L'?';
    // No best fit: a character the ANSI code page lacks is shown as '?', not as a look-alike
    // that says something the command did not write. UTF-8 takes no flags.
    const DWORD flags = ::GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    int bytes = ::WideCharToMultiByte(CP_ACP, flags, text.data(), wide, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return std::string(raw.size(), '?');
    std::string out(static_cast<size_t>(bytes), '\0');
    ::WideCharToMultiByte(CP_ACP, flags, text.data(), wide, &out[0], bytes, flags ? "?" : nullptr, nullptr);
    return out;
}

// ---------------------------------------------------------------------------------------------
// OutputCapture

namespace {
const DWORD kPipeBytes = 1024 * 1024;
// How long the last output of a command that has ended may take to arrive, and how long the
// pipes are read after the end at the most: a process that outlived the command and still writes
// must not hold the run.
const DWORD kSettleMs = 100;
const DWORD kFinishMs = 1000;
// Reads per call of Read, so that a command that writes without pause still lets the wait look
// at its deadline.
const int kReadsPerCall = 64;

SECURITY_ATTRIBUTES Inheritable() {
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof sa;
    sa.bInheritHandle = TRUE;
    return sa;
}
}  // namespace

struct OutputCapture::Stream {
    Stream(OutputLines::Sink sink, OutputLines::LeftOutSink leftOut, OutputLimits limits)
        : lines(std::move(sink), std::move(leftOut), CP_OEMCP, limits), buffer(kPipeBytes) {}
    OutputLines lines;
    ScopedHandle read, write, event;
    OVERLAPPED overlapped = {};
    std::vector<char> buffer;
    bool pending = false;
    bool closed = true;

    // An overlapped pipe that only the run reads, with a write end the command inherits. A
    // named pipe, as an anonymous one cannot be read without blocking; the name is the run's
    // own, and a pipe of that name made by anyone else first makes the start fail.
    bool Make() {
        static LONG serial = 0;
        char name[96];
        std::snprintf(name, sizeof name, "\\\\.\\pipe\\sarnik-output-%lu-%lu-%ld", ::GetCurrentProcessId(),
                      ::GetTickCount(), ::InterlockedIncrement(&serial));
        read.Attach(::CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1,
                                       kPipeBytes, kPipeBytes, 0, nullptr));
        if (!read) return false;
        SECURITY_ATTRIBUTES sa = Inheritable();
        write.Attach(::CreateFileA(name, GENERIC_WRITE, 0, &sa, OPEN_EXISTING, 0, nullptr));
        event.Attach(::CreateEventA(nullptr, TRUE, FALSE, nullptr));
        if (!write || !event) return false;
        overlapped.hEvent = event.Get();
        closed = false;
        return true;
    }
};

OutputCapture::OutputCapture(Sink sink, LeftOutSink leftOut, OutputLimits limits) {
    for (int i = 0; i < 2; ++i) {
        const bool error = i == 1;
        m_streams[i] = new Stream([sink, error](const std::string& line) { sink(error, line); },
                                  [leftOut, error](uint64_t bytes, uint64_t lines) { leftOut(error, bytes, lines); },
                                  limits);
    }
}

OutputCapture::~OutputCapture() {
    for (Stream* s : m_streams) {
        // The system writes into the buffer until the read is over: it must be over before the
        // buffer goes.
        if (s->pending) {
            DWORD n = 0;
            ::CancelIo(s->read.Get());
            ::GetOverlappedResult(s->read.Get(), &s->overlapped, &n, TRUE);
        }
        delete s;
    }
}

bool OutputCapture::Prepare(STARTUPINFOA& si) {
    for (Stream* s : m_streams)
        if (!s->Make()) return false;
    SECURITY_ATTRIBUTES sa = Inheritable();
    // A command that reads its input gets end-of-file at once instead of waiting for a person.
    m_nul.Attach(::CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0, nullptr));
    if (!m_nul) return false;
    si.dwFlags |= STARTF_USESTDHANDLES;
    si.hStdInput = m_nul.Get();
    si.hStdOutput = m_streams[0]->write.Get();
    si.hStdError = m_streams[1]->write.Get();
    return true;
}

void OutputCapture::Started() {
    for (Stream* s : m_streams) s->write.Close();
    m_nul.Close();
    Read();
}

size_t OutputCapture::Handles(HANDLE* events) const {
    size_t n = 0;
    for (const Stream* s : m_streams)
        if (!s->closed) events[n++] = s->event.Get();
    return n;
}

bool OutputCapture::ReadStream(Stream& s) {
    bool any = false;
    for (int reads = 0; reads < kReadsPerCall && !s.closed; ++reads) {
        if (!s.pending) {
            if (!::ReadFile(s.read.Get(), s.buffer.data(), kPipeBytes, nullptr, &s.overlapped) &&
                ::GetLastError() != ERROR_IO_PENDING) {
                s.closed = true;  // the last writer has gone (ERROR_BROKEN_PIPE), or the pipe failed
                break;
            }
            s.pending = true;
        }
        DWORD n = 0;
        if (!::GetOverlappedResult(s.read.Get(), &s.overlapped, &n, FALSE)) {
            if (::GetLastError() == ERROR_IO_INCOMPLETE) break;
            s.pending = false;
            s.closed = true;
            break;
        }
        s.pending = false;
        if (n) {
            s.lines.Add(s.buffer.data(), n);
            any = true;
        }
    }
    return any;
}

bool OutputCapture::Read() {
    bool any = false;
    for (Stream* s : m_streams) any = ReadStream(*s) || any;
    return any;
}

void OutputCapture::Finish() {
    const ULONGLONG end = ::GetTickCount64() + kFinishMs;
    for (Stream* s : m_streams) {
        while (!s->closed && ::GetTickCount64() < end) {
            if (ReadStream(*s)) continue;
            if (s->closed || ::WaitForSingleObject(s->event.Get(), kSettleMs) != WAIT_OBJECT_0) break;
        }
        if (s->pending) {
            // Still open: a process that outlived the command holds it. What the cancelled read
            // had already taken is kept.
            DWORD n = 0;
            ::CancelIo(s->read.Get());
            if (::GetOverlappedResult(s->read.Get(), &s->overlapped, &n, TRUE) && n) s->lines.Add(s->buffer.data(), n);
            s->pending = false;
        }
        s->closed = true;
        s->lines.Finish();
    }
}
