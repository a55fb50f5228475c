// Byte work of the configuration reader, done inline: lines and items of configuration files
// are short, and a call into the runtime's memcpy, strlen or memchr (which under Wine align or
// scan byte by byte) costs more than their bytes.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <string.h>

// Copies count bytes front to back, so the ranges may overlap when to comes first. Long
// copies still go to the runtime.
inline void CopyShort(char* to, const char* from, size_t count)
{
    if (count >= 128) {
        memmove(to, from, count);
        return;
    }
    // Fixed-size memcpy compiles to one move; a plain byte loop would become a memcpy call.
    for (; count >= 4; count -= 4, to += 4, from += 4) {
        uint32_t word;
        memcpy(&word, from, 4);
        memcpy(to, &word, 4);
    }
    if (count & 2) {
        uint16_t half;
        memcpy(&half, from, 2);
        memcpy(to, &half, 2);
        to += 2;
        from += 2;
    }
    if (count & 1)
        *to = *from;
}

// Non-zero when one of the four bytes of word is zero.
inline uint32_t HasZeroByte(uint32_t word)
{
    return (word - 0x01010101u) & ~word & 0x80808080u;
}

// Non-zero when one of the four bytes of word is below limit (at most 0x80).
inline uint32_t HasByteBelow(uint32_t word, uint32_t limit)
{
    return (word - limit * 0x01010101u) & ~word & 0x80808080u;
}

inline bool IsLineEndByte(char c)
{
    return c == '\n' || c == '\r' || c == '\0';
}

// The first CR, LF or NUL in [p, stop), or stop. Words without a byte below 0x0E (which all
// three are) are passed over whole; ordinary text has few such bytes (only a tab or so).
inline const char* FindLineEnd(const char* p, const char* stop)
{
    for (; stop - p >= 4; p += 4) {
        uint32_t word;
        memcpy(&word, p, 4);
        if (HasByteBelow(word, 0x0E)) {
            for (int k = 0; k < 4; ++k) {
                if (IsLineEndByte(p[k]))
                    return p + k;
            }
        }
    }
    while (p < stop && !IsLineEndByte(*p))
        ++p;
    return p;
}

// The first byte c in [p, stop), or stop.
inline const char* FindByte(const char* p, const char* stop, char c)
{
    const uint32_t pattern = (unsigned char)c * 0x01010101u;
    for (; stop - p >= 4; p += 4) {
        uint32_t word;
        memcpy(&word, p, 4);
        if (HasZeroByte(word ^ pattern))
            break;
    }
    while (p < stop && *p != c)
        ++p;
    return p;
}

// strlen of a text in a buffer whose size is a multiple of four, with every byte set and a
// terminator in its last four bytes at the latest: the words read never leave the buffer.
inline size_t TextLengthInBuffer(const char* buffer)
{
    const char* p = buffer;
    for (;; p += 4) {
        uint32_t word;
        memcpy(&word, p, 4);
        if (HasZeroByte(word))
            break;
    }
    while (*p)
        ++p;
    return size_t(p - buffer);
}

// The length of the text in the first count bytes at text: up to its first NUL, or count.
// Words are read only while they lie wholly inside those bytes.
inline size_t TextLength(const char* text, size_t count)
{
    const char* p = text;
    const char* end = text + count;
    for (; end - p >= 4; p += 4) {
        uint32_t word;
        memcpy(&word, p, 4);
        if (HasZeroByte(word))
            break;
    }
    while (p < end && *p)
        ++p;
    return size_t(p - text);
}
