#include "DebugStreamBuf.h"

#include <windows.h>

namespace {

void SendToDebugger(const char* text)
{
    OutputDebugStringA(text);
}

// Written before threads start (tests) and read on every piece; a plain pointer suffices.
volatile DebugOutputSink g_sink = SendToDebugger;

void Send(const char* text)
{
    g_sink(text);
}

} // namespace

DebugOutputSink SetDebugOutputSink(DebugOutputSink sink)
{
    DebugOutputSink previous = g_sink;
    g_sink = sink ? sink : SendToDebugger;
    return previous;
}

DebugStreamBuf::DebugStreamBuf()
{
    m_buffer[0] = '\0';
    setp(m_buffer, m_buffer + kBufferSize);
}

DebugStreamBuf::~DebugStreamBuf()
{
    Flush();
}

void DebugStreamBuf::Flush()
{
    *pptr() = '\0';
    Send(m_buffer);
    setp(m_buffer, m_buffer + kBufferSize);
}

DebugStreamBuf::int_type DebugStreamBuf::overflow(int_type ch)
{
    Flush();
    if (!traits_type::eq_int_type(ch, traits_type::eof())) {
        char piece[2] = {traits_type::to_char_type(ch), '\0'};
        Send(piece);
    }
    return 0;
}

int DebugStreamBuf::sync()
{
    Flush();
    return 0;
}
