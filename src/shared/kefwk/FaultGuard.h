// Calls into foreign code (a DLL, the run-time library's formatter) under a structured-exception
// frame of their own, so that a fault the platform raises inside it (an access violation on a
// damaged file or on arguments that do not match a format, an in-page error when the medium goes
// away) ends that one call instead of the process.
//
// GCC has no __try/__except for 32-bit Windows, and its C++ exceptions (DWARF-2 unwinding) never
// see structured exceptions, so catch (...) alone would let such a fault kill the program.
#pragma once

#include <windows.h>

#include <type_traits>

// Calls fn(context). Returns true when fn returned. Returns false when a structured exception of
// error severity was raised inside it; *code (when given) then holds the exception code.
//
// A fault abandons fn where it stood: the frames beneath are unwound as the platform unwinds them
// (their SEH handlers run), but C++ destructors of those frames do not. So fn must own nothing that
// needs a destructor; a call into a C interface with arguments prepared by the caller is what it
// is for. A C++ exception that fn lets out goes on to the caller with the guard undone. Notices
// such as debugger output and breakpoints pass through untouched.
bool CallGuarded(void (*fn)(void*), void* context, DWORD* code);

// The same for a callable taken by reference: CallGuarded([&] { status = SomeApi(...); }, &code).
template <class F>
bool CallGuarded(F&& f, DWORD* code) {
    using Fn = typename std::remove_reference<F>::type;
    return CallGuarded([](void* p) { (*static_cast<Fn*>(p))(); }, static_cast<void*>(&f), code);
}
