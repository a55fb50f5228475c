// What the fuzz targets share: the first input byte picks the code page (odd: 932, even: 1252)
// for both the system and the runtime, the rest is the untrusted text. The framework's own
// failures (KEException) are answers; anything else escaping, or any sanitizer report, is a
// finding.
#pragma once

#include <mbctype.h>
#include <windows.h>

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>

#include "KEException.h"

namespace fuzz {

struct Input {
    int codePage;
    std::string bytes;
    // The bytes up to the first NUL, as a terminated text.
    const char* Text() const { return bytes.c_str(); }
};

inline Input Prepare(const uint8_t* data, size_t size)
{
    Input in;
    in.codePage = size && (data[0] & 1) ? 932 : 1252;
    HostSetAnsiCodePage((unsigned)in.codePage);
    _setmbcp(in.codePage);
    if (size > 1)
        in.bytes.assign(reinterpret_cast<const char*>(data) + 1, size - 1);
    return in;
}

// Runs f; the framework's exception is an allowed answer.
template <class F>
bool Answer(F f)
{
    try {
        f();
        return true;
    } catch (const KEException&) {
        return false;
    }
}

// A broken promise of the code under test: reported as a crash, so that libFuzzer keeps the input.
#define FUZZ_CHECK(condition)                                                          \
    do {                                                                               \
        if (!(condition)) {                                                            \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                   \
        }                                                                              \
    } while (0)

// Whole characters only: no lead byte stands last in text.
inline bool EndsOnWholeCharacter(const char* text)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (*p) {
        if (_ismbblead(*p)) {
            if (!p[1])
                return false;
            p += 2;
        } else {
            ++p;
        }
    }
    return true;
}

}  // namespace fuzz
