#include "runner/CommandOutput.h"

#include <cstdio>
#include <vector>

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
