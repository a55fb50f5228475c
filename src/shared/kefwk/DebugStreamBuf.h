// A stream buffer that hands everything written to it to the debugger output in pieces of at
// most 200 characters.
#pragma once

#include <streambuf>

// Where the pieces go; OutputDebugStringA unless a test listens in.
using DebugOutputSink = void (*)(const char* text);
// Replaces the process-wide sink and returns the previous one; null restores OutputDebugStringA.
DebugOutputSink SetDebugOutputSink(DebugOutputSink sink);

class DebugStreamBuf : public std::streambuf {
public:
    enum { kBufferSize = 200 };

    DebugStreamBuf();
    ~DebugStreamBuf() override;
    DebugStreamBuf(const DebugStreamBuf&) = delete;
    DebugStreamBuf& operator=(const DebugStreamBuf&) = delete;

protected:
    int_type overflow(int_type ch) override;
    int sync() override;

private:
    void Flush();

    char m_buffer[kBufferSize + 1];
};
