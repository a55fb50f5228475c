#include "FaultGuard.h"

#if defined(__x86_64__)

// x64 structured exceptions are table-based: the dispatcher finds a frame's handler through the
// unwind information of its function, not through a chain on the stack. CallGuarded names
// GuardHandler as its language handler (as a __try of another compiler would) and the resume
// label as the handler's data; GCC itself emits a handler only for functions with C++ clean-ups,
// and this one has none.
namespace {
// The guards active on this thread, innermost first: the dispatcher asks the innermost frame
// first, so the top of the list is always the frame whose handler is running.
struct GuardState {
    GuardState* outer;
    DWORD code;
};
thread_local GuardState* innermostGuard = nullptr;
}  // namespace

extern "C" EXCEPTION_DISPOSITION SarnikGuardHandler(EXCEPTION_RECORD* record, void* establisher, CONTEXT*,
                                                    DISPATCHER_CONTEXT* dispatch) {
    // Called for dispatch only (@except); notices such as debugger output belong to the debugger.
    if ((record->ExceptionCode & 0xC0000000u) != 0xC0000000u) return ExceptionContinueSearch;
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    if (innermostGuard) innermostGuard->code = record->ExceptionCode;
    // The handler data holds the address of the resume label, relative to the image base. The
    // unwind runs the handlers of the frames in between and lands in CallGuarded's own frame.
    const DWORD target = *static_cast<const DWORD*>(dispatch->HandlerData);
    RtlUnwindEx(establisher, reinterpret_cast<void*>(dispatch->ImageBase + target), record, nullptr,
                dispatch->ContextRecord, dispatch->HistoryTable);
    return ExceptionContinueSearch;  // not reached
}

__attribute__((noinline)) bool CallGuarded(void (*fn)(void*), void* context, DWORD* code) {
    GuardState state{innermostGuard, 0};
    innermostGuard = &state;
    // The compiler learns from the asm goto that control may arrive at 'faulted' from here; the
    // unwinder brings it there with the frame's non-volatile registers restored.
    asm goto(
        ".seh_handler SarnikGuardHandler, @except\n\t"
        ".seh_handlerdata\n\t"
        ".rva %l[faulted]\n\t"
        ".text\n\t" ::: "memory" : faulted);
    fn(context);
    // Keeps the call from being the function's last instruction, so a return address inside the
    // guarded range never points past the function's unwind information.
    asm volatile("nop");
    innermostGuard = state.outer;
    return true;
faulted:
    // The locals live in memory across the call, so they are as the fault left them.
    GuardState* self = innermostGuard;
    innermostGuard = self->outer;
    if (code) *code = self->code;
    return false;
}

#elif defined(__i386__)

namespace {
struct GuardFrame;
using FrameHandler = EXCEPTION_DISPOSITION(__cdecl*)(EXCEPTION_RECORD*, void*, CONTEXT*, void*);

// The x86 exception registration record, extended with where to resume. The first two fields
// are what the dispatcher reads through fs:[0]; the record must live on the thread's stack, as
// the dispatcher rejects records outside the stack limits.
struct GuardFrame {
    GuardFrame* next;
    FrameHandler handler;
    void* resume[5];  // __builtin_setjmp buffer
    DWORD code;
};

GuardFrame* TopFrame() {
    GuardFrame* top;
    __asm__ __volatile__("movl %%fs:0, %0" : "=r"(top));
    return top;
}

void SetTopFrame(GuardFrame* frame) { __asm__ __volatile__("movl %0, %%fs:0" : : "r"(frame) : "memory"); }

// Runs the unwind handlers of every frame registered above ours and leaves ours on top.
// RtlUnwind on x86 is known to return with ebx, esi and edi changed (the C runtimes of other
// compilers save them around it for that reason); the empty asm tells the compiler so, which makes
// this function save and restore them.
__attribute__((noinline)) void UnwindFramesAbove(GuardFrame* frame, EXCEPTION_RECORD* record) {
    RtlUnwind(frame, nullptr, record, nullptr);
    __asm__ __volatile__("" : : : "ebx", "esi", "edi", "memory");
}

EXCEPTION_DISPOSITION __cdecl GuardHandler(EXCEPTION_RECORD* record, void* establisher, CONTEXT*, void*) {
    // An unwind passing through on its way elsewhere is not ours to stop.
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    // Only errors: informational codes (debugger output, breakpoints) belong to the debugger.
    if ((record->ExceptionCode & 0xC0000000u) != 0xC0000000u) return ExceptionContinueSearch;

    GuardFrame* frame = static_cast<GuardFrame*>(establisher);
    frame->code = record->ExceptionCode;
    UnwindFramesAbove(frame, record);
    SetTopFrame(frame->next);
    __builtin_longjmp(frame->resume, 1);
}
}  // namespace

__attribute__((noinline)) bool CallGuarded(void (*fn)(void*), void* context, DWORD* code) {
    GuardFrame frame;
    frame.handler = GuardHandler;
    frame.code = 0;
    frame.next = TopFrame();
    if (__builtin_setjmp(frame.resume)) {
        // Back from the handler: the frames above are unwound and ours is already off the chain.
        if (code) *code = frame.code;
        return false;
    }
    SetTopFrame(&frame);
    fn(context);
    SetTopFrame(frame.next);
    return true;
}

#else
#error "The guard frame knows the x86 chain under fs:[0] and the x64 unwind tables only."
#endif
