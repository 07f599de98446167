#include <gtest/gtest.h>

#include <float.h>
#include <malloc.h>

#include <stdexcept>

#include "ForeignCall.h"
#include "Unique.h"

namespace {

void* ChainHead() {
    void* head;
    asm volatile("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}

// Faults the way a broken control does, in this program's code.
volatile uintptr_t nowhere = 0;
__attribute__((noinline)) void WriteThroughNull() { *reinterpret_cast<volatile int*>(nowhere) = 1; }

volatile bool forever = true;
__attribute__((noinline)) char Overflow(volatile char* above) {
    volatile char pad[3000];  // first touched at its far end, as a big frame may be
    pad[0] = above != nullptr ? above[0] : 0;
    if (forever) Overflow(pad);
    return pad[0];
}

// The code the guard caught (0 for none); the chain must come back as it was.
template <typename F>
DWORD Caught(F&& call) {
    void* const before = ChainHead();
    const auto fault = GuardForeignCall(call);
    EXPECT_EQ(ChainHead(), before);
    return fault ? fault->code : 0;
}

// Raises a continuable exception and handles it on its own frame, as a Visual Basic runtime does.
volatile int ownHandled = 0;
EXCEPTION_DISPOSITION NTAPI ContinueOwn(EXCEPTION_RECORD*, void*, CONTEXT*, void*) {
    ownHandled = ownHandled + 1;
    return ExceptionContinueExecution;
}
__attribute__((noinline)) void RaiseAndHandle() {
    EXCEPTION_REGISTRATION_RECORD own{{static_cast<EXCEPTION_REGISTRATION_RECORD*>(ChainHead())}, {ContinueOwn}};
    asm volatile("movl %0, %%fs:0" : : "r"(&own) : "memory");
    RaiseException(0xE0001234, 0, 0, nullptr);
    asm volatile("movl %0, %%fs:0" : : "r"(own.Next) : "memory");
}

DWORD WINAPI AnswerTheBox(void*) {
    for (int i = 0; i < 500; ++i, Sleep(20)) {
        if (HWND box = FindWindowW(L"#32770", L"ForeignCallTests")) return PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    return 0;
}

LRESULT CALLBACK FaultingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_APP) return DefWindowProcW(window, message, wParam, lParam);
    *reinterpret_cast<DWORD*>(lParam) = Caught([] { WriteThroughNull(); });
    return 0;
}

DWORD WINAPI SendWmApp(void* window) {
    DWORD code = 0;
    SendMessageW(static_cast<HWND>(window), WM_APP, 0, reinterpret_cast<LPARAM>(&code));
    return code;
}

// A thread's first guard arms the pages below it; the fault comes at whatever depth the thread
// had reached.
DWORD WINAPI FaultBelow(void* depth) {
    auto* pad = static_cast<volatile char*>(alloca(reinterpret_cast<uintptr_t>(depth) + 1));
    pad[0] = 0;
    const auto fault = GuardForeignCall([] { WriteThroughNull(); });
    return fault ? fault->code : 0;
}

}  // namespace

TEST(GuardForeignCall, ReportsAnAccessViolationWhereItHappened) {
    EXPECT_EQ(Caught([] {}), 0u);
    const auto fault = GuardForeignCall([] { WriteThroughNull(); });
    ASSERT_TRUE(fault);
    const auto at = reinterpret_cast<uintptr_t>(fault->address);
    EXPECT_LT(at - reinterpret_cast<uintptr_t>(&WriteThroughNull), 32u);
    // The module and offset are checked through the report that shows them.
    wchar_t exe[MAX_PATH], where[64];
    std::wstring text(exe, GetModuleFileNameW(nullptr, exe, MAX_PATH));
    swprintf(where, 64, L"+0x%X, writing address 0x00000000.\n",
             static_cast<unsigned>(at - reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr))));
    text = L"The control crashed while calling member 0x60030001: exception C0000005 (access violation) at " +
           text.substr(text.rfind(L'\\') + 1) + where;
    const NumberedError report = FaultError(*fault, L"calling member 0x60030001", L"Form1");
    EXPECT_EQ(report.Description().rfind(text, 0), 0u) << report.Description();
    EXPECT_EQ(report.Number(), static_cast<long>(RPC_E_SERVERFAULT));
}

TEST(GuardForeignCall, NestsPassesWhatItDoesNotOwnAndLeavesNothingBehind) {
    DWORD inner = 0;
    EXPECT_EQ(Caught([&] {
                  RaiseAndHandle();
                  inner = Caught([] { WriteThroughNull(); });
                  RaiseException(EXCEPTION_BREAKPOINT, 0, 0, nullptr);
              }),
              EXCEPTION_BREAKPOINT);
    EXPECT_EQ(ownHandled, 1);
    EXPECT_EQ(inner, EXCEPTION_ACCESS_VIOLATION);
    EXPECT_THROW(Caught([] { throw std::runtime_error("ours"); }), std::runtime_error);

    // No floating-point fault stays pending past the guard.
    const unsigned saved = _controlfp(0, 0);
    _controlfp(_MCW_EM & ~_EM_ZERODIVIDE, _MCW_EM);
    volatile double zero = 0, sum = 1;
    EXPECT_EQ(Caught([&] { sum = 1 / zero; }), EXCEPTION_FLT_DIVIDE_BY_ZERO);
    sum = sum + 1;  // outside any guard
    _controlfp(saved, _MCW_EM);
    EXPECT_EQ(sum, 2);
}

// Wherever in its page the guard starts, the fault's own frame finds room below it.
TEST(GuardForeignCall, CatchesAFaultWhereverInThePageTheGuardStarts) {
    for (uintptr_t depth = 0; depth < 4096; depth += 128) {
        unique_handle thread(CreateThread(nullptr, 0, FaultBelow, reinterpret_cast<void*>(depth), 0, nullptr));
        ASSERT_TRUE(thread);
        ASSERT_EQ(WaitForSingleObject(thread.get(), 15000), WAIT_OBJECT_0);
        DWORD code = 0;
        GetExitCodeThread(thread.get(), &code);
        EXPECT_EQ(code, EXCEPTION_ACCESS_VIOLATION) << depth;
    }
}

TEST(GuardForeignCall, CatchesEveryStackOverflowAndTheStackStaysUsable) {
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(Caught([] { Overflow(nullptr); }), EXCEPTION_STACK_OVERFLOW) << round;
    }
    unique_handle answer(CreateThread(nullptr, 0, AnswerTheBox, nullptr, 0, nullptr));
    EXPECT_EQ(MessageBoxW(nullptr, L"The control crashed.", L"ForeignCallTests", MB_OK), IDOK);
    WaitForSingleObject(answer.get(), 15000);
}

TEST(GuardForeignCall, WorksInWindowProceduresReachedEitherWay) {
    unique_hwnd window(CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
    ASSERT_TRUE(window);
    SetWindowLongPtrW(window.get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(FaultingProc));
    DWORD dispatched = 0;
    PostMessageW(window.get(), WM_APP, 0, reinterpret_cast<LPARAM>(&dispatched));
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    EXPECT_EQ(dispatched, EXCEPTION_ACCESS_VIOLATION);

    unique_handle sender(CreateThread(nullptr, 0, SendWmApp, window.get(), 0, nullptr));
    HANDLE waitFor = sender.get();
    while (MsgWaitForMultipleObjects(1, &waitFor, FALSE, 15000, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    }
    DWORD sent = 0;
    GetExitCodeThread(sender.get(), &sent);
    EXPECT_EQ(sent, EXCEPTION_ACCESS_VIOLATION);
}
