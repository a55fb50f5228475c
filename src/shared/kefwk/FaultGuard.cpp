#include "FaultGuard.h"

#if !defined(__i386__)
#error "The guard frame is the x86 form of structured exception handling (a chain under fs:[0])."
#endif

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
