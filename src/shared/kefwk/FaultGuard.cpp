#include "FaultGuard.h"

// Each architecture supplies GuardedCall: it calls fn(context) under a frame whose handler ends a
// fault there, and returns false with the code in *code when one did. CallGuarded around it puts
// the thread's guard state back as it found it however the call ends, a C++ exception that fn lets
// out included: a guard left registered after its frame is gone would send the next fault's
// dispatch into a dead stack frame.

#if defined(__x86_64__)

// x64 structured exceptions are table-based: the dispatcher finds a frame's handler through the
// unwind information of its function, not through a chain on the stack. The guarded frame is
// SarnikGuardedCall, written in assembly below, which names SarnikGuardHandler as its language
// handler (as a __try of another compiler would) and the resume label as the handler's data.
//
// It is assembly on purpose. The unwind lands at the resume label with the non-volatile registers
// restored and the volatile ones as the fault left them; compiled code may keep a value in a
// volatile register across that edge, and a local with a destructor makes GCC name its own
// personality routine as the frame's handler, silently replacing ours. Neither can happen to a
// frame that the compiler does not lay out.
namespace {
// The guards active on this thread, innermost first: the dispatcher asks the innermost frame
// first, so the top of the list is always the frame whose handler is running.
struct GuardState {
    GuardState* outer;
    DWORD code;
};
thread_local GuardState* innermostGuard = nullptr;

class GuardScope {
public:
    GuardScope() : m_state{innermostGuard, 0} { innermostGuard = &m_state; }
    ~GuardScope() { innermostGuard = m_state.outer; }
    GuardScope(const GuardScope&) = delete;
    GuardScope& operator=(const GuardScope&) = delete;
    DWORD Code() const { return m_state.code; }

private:
    GuardState m_state;
};
}  // namespace

extern "C" EXCEPTION_DISPOSITION SarnikGuardHandler(EXCEPTION_RECORD* record, void* establisher, CONTEXT*,
                                                    DISPATCHER_CONTEXT* dispatch) {
    // Called for dispatch only (@except); notices such as debugger output belong to the debugger.
    if ((record->ExceptionCode & 0xC0000000u) != 0xC0000000u) return ExceptionContinueSearch;
    if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
    if (innermostGuard) innermostGuard->code = record->ExceptionCode;
    // The handler data holds the address of the resume label, relative to the image base. The
    // unwind runs the handlers of the frames in between and lands in SarnikGuardedCall's frame.
    const DWORD target = *static_cast<const DWORD*>(dispatch->HandlerData);
    RtlUnwindEx(establisher, reinterpret_cast<void*>(dispatch->ImageBase + target), record, nullptr,
                dispatch->ContextRecord, dispatch->HistoryTable);
    return ExceptionContinueSearch;  // not reached
}

// int SarnikGuardedCall(void (*fn)(void*), void* context): 1 when fn returned, 0 after a fault.
// The 40 bytes are the callee's home space and keep the stack 16-byte aligned at the call. The
// instruction after the call keeps the return address inside the body, never on the epilogue.
extern "C" int SarnikGuardedCall(void (*fn)(void*), void* context);
asm(R"(
    .text
    .p2align 4
    .globl SarnikGuardedCall
    .def SarnikGuardedCall; .scl 2; .type 32; .endef
    .seh_proc SarnikGuardedCall
SarnikGuardedCall:
    .seh_handler SarnikGuardHandler, @except
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %rcx, %rax
    movq %rdx, %rcx
    call *%rax
    movl $1, %eax
    addq $40, %rsp
    ret
.LSarnikGuardFaulted:
    xorl %eax, %eax
    addq $40, %rsp
    ret
    .seh_handlerdata
    .rva .LSarnikGuardFaulted
    .text
    .seh_endproc
)");

bool CallGuarded(void (*fn)(void*), void* context, DWORD* code) {
    GuardScope scope;
    if (SarnikGuardedCall(fn, context)) return true;
    if (code) *code = scope.Code();
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

// Holds nothing that needs a destructor: __builtin_longjmp comes back into this frame.
__attribute__((noinline)) bool GuardedCall(void (*fn)(void*), void* context, DWORD* code) {
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

// C++ exceptions unwind by their own tables and never see the fs:[0] chain: one that fn lets out
// would leave GuardedCall's record registered in a frame that no longer exists.
class ChainScope {
public:
    ChainScope() : m_top(TopFrame()) {}
    ~ChainScope() { SetTopFrame(m_top); }
    ChainScope(const ChainScope&) = delete;
    ChainScope& operator=(const ChainScope&) = delete;

private:
    GuardFrame* m_top;
};
}  // namespace

bool CallGuarded(void (*fn)(void*), void* context, DWORD* code) {
    ChainScope scope;
    return GuardedCall(fn, context, code);
}

#else
#error "The guard frame knows the x86 chain under fs:[0] and the x64 unwind tables only."
#endif
