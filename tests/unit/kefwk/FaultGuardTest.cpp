// The fault guard on both architectures: the x86 frame chain and the x64 unwind tables must end
// the same faults, let the same others pass, and leave the thread as it was.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <stdexcept>

#include "FaultGuard.h"

namespace {

// An address no process maps, read through a variable so that the compiler cannot see it.
volatile uintptr_t unmappedAddress = 16;
volatile int* Unmapped() { return reinterpret_cast<volatile int*>(unmappedAddress); }

// Faults with every register the calling convention lets a callee change overwritten first, so
// the guard cannot lean on what its own caller left in them (its output pointer, say).
void FaultWithVolatileRegistersOverwritten()
{
#if defined(__x86_64__)
    asm volatile(
        "movq $16, %%rax\n\t"
        "movq %%rax, %%rcx\n\t"
        "movq %%rax, %%rdx\n\t"
        "movq %%rax, %%r8\n\t"
        "movq %%rax, %%r9\n\t"
        "movq %%rax, %%r10\n\t"
        "movq %%rax, %%r11\n\t"
        "movl (%%rax), %%eax" ::: "rax", "rcx", "rdx", "r8", "r9", "r10", "r11", "memory");
#elif defined(__i386__)
    asm volatile(
        "movl $16, %%eax\n\t"
        "movl %%eax, %%ecx\n\t"
        "movl %%eax, %%edx\n\t"
        "movl (%%eax), %%eax" ::: "eax", "ecx", "edx", "memory");
#endif
}

// Overwrites the stack below the caller's frame, where the frames of calls that have ended lay.
__attribute__((noinline)) void ScribbleBelow()
{
    volatile unsigned char bytes[16384];
    for (size_t i = 0; i < sizeof bytes; ++i)
        bytes[i] = 0xCC;
}

TEST(FaultGuard, FaultsEndOnlyTheGuardedCall)
{
    struct Row {
        const char* what;
        void (*body)();
        bool returns;
        DWORD code;  // when it does not return
    } rows[] = {
        {"access violation", [] { (void)*Unmapped(); }, false, EXCEPTION_ACCESS_VIOLATION},
        {"write to address 16", [] { *Unmapped() = 1; }, false, EXCEPTION_ACCESS_VIOLATION},
        {"fault with the volatile registers overwritten", FaultWithVolatileRegistersOverwritten, false,
         EXCEPTION_ACCESS_VIOLATION},
        {"in-page error", [] { RaiseException(EXCEPTION_IN_PAGE_ERROR, 0, 0, nullptr); }, false,
         EXCEPTION_IN_PAGE_ERROR},
        {"error raised as non-continuable", [] { RaiseException(0xE0000001, EXCEPTION_NONCONTINUABLE, 0, nullptr); },
         false, 0xE0000001},
        // A fault the callee catches itself is no fault of the call.
        {"fault handled inside the system", [] { (void)IsBadReadPtr(const_cast<int*>(Unmapped()), 4); }, true, 0},
        // Notices belong to the debugger (or to nobody): they pass through.
        {"debugger output", [] { OutputDebugStringA("fault guard test\n"); }, true, 0},
        {"nothing", [] {}, true, 0},
    };
    for (int round = 0; round < 2; ++round) {
        for (size_t i = 0; i < std::size(rows); ++i) {
            DWORD code = 0xdeadbeef;
            bool returned = CallGuarded([&] { rows[i].body(); }, &code);
            EXPECT_EQ(returned, rows[i].returns) << "round " << round << " row " << i << " " << rows[i].what;
            if (!rows[i].returns) {
                EXPECT_EQ(code, rows[i].code) << "round " << round << " row " << i << " " << rows[i].what;
            } else {
                EXPECT_EQ(code, 0xdeadbeefu) << "row " << i << ": the code is left alone when the call returns";
            }
        }
    }
    // The thread is sound afterwards: C++ exceptions and a guarded call work as before.
    EXPECT_THROW(throw std::runtime_error("after"), std::runtime_error);
    int calls = 0;
    EXPECT_TRUE(CallGuarded([&] { ++calls; }, nullptr));
    EXPECT_EQ(calls, 1);
}

TEST(FaultGuard, InnermostGuardEndsTheFaultAndOuterCallGoesOn)
{
    int afterInner = 0;
    DWORD innerCode = 0, outerCode = 0;
    bool innerReturned = true;
    bool outerReturned = CallGuarded(
        [&] {
            innerReturned = CallGuarded([&] { (void)*Unmapped(); }, &innerCode);
            ++afterInner;
        },
        &outerCode);
    EXPECT_TRUE(outerReturned);
    EXPECT_EQ(outerCode, 0u);
    EXPECT_FALSE(innerReturned);
    EXPECT_EQ(innerCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    EXPECT_EQ(afterInner, 1);

    // A fault after the inner call has returned belongs to the outer guard.
    outerReturned = CallGuarded(
        [&] {
            CallGuarded([] {}, nullptr);
            (void)*Unmapped();
        },
        &outerCode);
    EXPECT_FALSE(outerReturned);
    EXPECT_EQ(outerCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
}

TEST(FaultGuard, ACppExceptionLeavingTheCallTakesItsGuardAway)
{
    // The exception passes through the inner guard to the outer call's catch; the inner guard's
    // frame is gone then, and its stack is overwritten before the next fault. That fault is the
    // outer guard's, and after it no guard is left behind.
    bool caught = false;
    DWORD outerCode = 0;
    bool outerReturned = CallGuarded(
        [&] {
            try {
                CallGuarded([] { throw std::runtime_error("leaves the guarded call"); }, nullptr);
            } catch (const std::runtime_error&) {
                caught = true;
            }
            ScribbleBelow();
            (void)*Unmapped();
        },
        &outerCode);
    EXPECT_TRUE(caught);
    EXPECT_FALSE(outerReturned);
    EXPECT_EQ(outerCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));

    // The same at the top, with no guard around the one the exception leaves.
    EXPECT_THROW(CallGuarded([] { throw std::runtime_error("out"); }, nullptr), std::runtime_error);
    ScribbleBelow();
    DWORD code = 0;
    EXPECT_FALSE(CallGuarded([] { FaultWithVolatileRegistersOverwritten(); }, &code));
    EXPECT_EQ(code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
}

struct ThreadResult {
    bool returned = true;
    DWORD code = 0;
};

DWORD WINAPI FaultOnThread(void* p)
{
    auto* r = static_cast<ThreadResult*>(p);
    r->returned = CallGuarded([] { (void)*Unmapped(); }, &r->code);
    return 0;
}

TEST(FaultGuard, WorksOnEveryThread)
{
    ThreadResult result;
    HANDLE thread = CreateThread(nullptr, 0, FaultOnThread, &result, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, 60000), WAIT_OBJECT_0);
    CloseHandle(thread);
    EXPECT_FALSE(result.returned);
    EXPECT_EQ(result.code, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
}

}  // namespace
