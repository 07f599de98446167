#include <gtest/gtest.h>

#include <float.h>

#include <stdexcept>

#include "ForeignCall.h"
#include "Unique.h"

namespace {

void* ChainHead() {
    void* head;
    asm volatile("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}

void SetChainHead(void* head) { asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory"); }

// Faults the way a broken control does; out of line, so the fault is in this program's code.
volatile uintptr_t nowhere = 0;
__attribute__((noinline)) void WriteThroughNull() { *reinterpret_cast<volatile int*>(nowhere) = 1; }

volatile bool forever = true;
__attribute__((noinline)) char Overflow(volatile char* above) {
    volatile char pad[3000];  // first touched at its far end, as a big frame may be
    pad[0] = above != nullptr ? above[0] : 0;
    if (forever) Overflow(pad);
    return pad[0];
}

// Raises a continuable exception and handles it on its own frame, as a Visual Basic runtime does.
constexpr DWORD kOwnCode = 0xE0001234;
struct OwnFrame {
    EXCEPTION_REGISTRATION_RECORD record;
    volatile int seen;
};
EXCEPTION_DISPOSITION NTAPI ContinueOwn(EXCEPTION_RECORD* record, void* frame, CONTEXT*, void*) {
    if ((record->ExceptionFlags & EXCEPTION_UNWINDING) != 0 || record->ExceptionCode != kOwnCode) {
        return ExceptionContinueSearch;
    }
    auto& own = *static_cast<OwnFrame*>(frame);
    own.seen = own.seen + 1;
    return ExceptionContinueExecution;
}
__attribute__((noinline)) int RaiseAndHandle() {
    OwnFrame own{};
    own.record.Next = static_cast<EXCEPTION_REGISTRATION_RECORD*>(ChainHead());
    own.record.Handler = ContinueOwn;
    SetChainHead(&own.record);
    RaiseException(kOwnCode, 0, 0, nullptr);
    SetChainHead(own.record.Next);
    return own.seen;
}

DWORD WINAPI AnswerTheBox(void*) {
    for (int i = 0; i < 500; ++i, Sleep(20)) {
        if (HWND box = FindWindowW(L"#32770", L"ForeignCallTests")) {
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            return 0;
        }
    }
    return 1;
}

std::wstring ExeName() {
    wchar_t path[MAX_PATH];
    const std::wstring full(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
    return full.substr(full.find_last_of(L'\\') + 1);
}

}  // namespace

TEST(GuardForeignCall, ReportsAnAccessViolationWhereItHappened) {
    void* const before = ChainHead();
    bool ran = false;
    EXPECT_FALSE(GuardForeignCall([&] { ran = true; }));
    EXPECT_TRUE(ran);

    const auto fault = GuardForeignCall([] { WriteThroughNull(); });
    ASSERT_TRUE(fault);
    EXPECT_EQ(fault->code, EXCEPTION_ACCESS_VIOLATION);
    EXPECT_EQ(fault->module, ExeName());
    const auto base = reinterpret_cast<uintptr_t>(GetModuleHandleW(nullptr));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(fault->address), base + fault->offset);
    EXPECT_GE(reinterpret_cast<uintptr_t>(fault->address), reinterpret_cast<uintptr_t>(&WriteThroughNull));
    EXPECT_LT(reinterpret_cast<uintptr_t>(fault->address), reinterpret_cast<uintptr_t>(&WriteThroughNull) + 64);
    EXPECT_EQ(fault->info[0], 1u);
    EXPECT_EQ(fault->info[1], 0u);
    EXPECT_EQ(ChainHead(), before);

    const NumberedError error = FaultError(*fault, L"calling member 0x60030001", L"Form1");
    EXPECT_EQ(error.Number(), static_cast<long>(RPC_E_SERVERFAULT));
    EXPECT_EQ(error.Source(), L"Form1");
    const std::wstring& text = error.Description();
    EXPECT_EQ(
        text.rfind(L"The control crashed while calling member 0x60030001: exception C0000005 (access violation) at " +
                       ExeName() + L"+0x",
                   0),
        0u)
        << text;
    EXPECT_NE(text.find(L", writing address 0x00000000.\n"), std::wstring::npos) << text;
}

TEST(GuardForeignCall, NestsAndLeavesSelfHandledExceptionsAlone) {
    void* const before = ChainHead();
    int handled = 0;
    std::optional<ForeignFault> inner;
    const auto outer = GuardForeignCall([&] {
        handled = RaiseAndHandle();
        inner = GuardForeignCall([] { WriteThroughNull(); });
        RaiseException(EXCEPTION_BREAKPOINT, 0, 0, nullptr);
    });
    EXPECT_EQ(handled, 1);
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->code, EXCEPTION_ACCESS_VIOLATION);
    ASSERT_TRUE(outer);
    EXPECT_EQ(outer->code, EXCEPTION_BREAKPOINT);
    EXPECT_EQ(outer->info[0], 0u);
    EXPECT_EQ(ChainHead(), before);

    EXPECT_THROW(GuardForeignCall([] { throw std::runtime_error("ours"); }), std::runtime_error);
    EXPECT_EQ(ChainHead(), before);
}

TEST(GuardForeignCall, CatchesEveryStackOverflowAndTheStackStaysUsable) {
    void* const before = ChainHead();
    for (int round = 0; round < 3; ++round) {
        const auto fault = GuardForeignCall([] { Overflow(nullptr); });
        ASSERT_TRUE(fault) << round;
        EXPECT_EQ(fault->code, EXCEPTION_STACK_OVERFLOW) << round;
        EXPECT_EQ(ChainHead(), before);
    }
    // The user is told with a message box, which needs a healthy stack; a helper answers it.
    unique_handle answer(CreateThread(nullptr, 0, AnswerTheBox, nullptr, 0, nullptr));
    EXPECT_EQ(MessageBoxW(nullptr, L"The control crashed.", L"ForeignCallTests", MB_OK), IDOK);
    WaitForSingleObject(answer.get(), 15000);
}

TEST(GuardForeignCall, ClearsAFloatingPointFault) {
    const unsigned saved = _controlfp(0, 0);
    _controlfp(_MCW_EM & ~_EM_ZERODIVIDE, _MCW_EM);
    const auto fault = GuardForeignCall([] {
        volatile double zero = 0;
        volatile double quotient = 1 / zero;
        (void)quotient;
    });
    // With the fault still pending, this would go off outside any guard.
    volatile double sum = 1;
    sum = sum + 1;
    _controlfp(saved, _MCW_EM);
    ASSERT_TRUE(fault);
    EXPECT_EQ(fault->code, EXCEPTION_FLT_DIVIDE_BY_ZERO);
    EXPECT_EQ(sum, 2);
}

namespace {

struct Outcome {
    DWORD code = 0;
    bool chainKept = false;
};

LRESULT CALLBACK FaultingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_APP) return DefWindowProcW(window, message, wParam, lParam);
    auto& outcome = *reinterpret_cast<Outcome*>(lParam);
    void* const before = ChainHead();
    const auto fault = GuardForeignCall([] { WriteThroughNull(); });
    outcome.code = fault ? fault->code : 0;
    outcome.chainKept = ChainHead() == before;
    return 0;
}

struct Send {
    HWND window;
    Outcome* outcome;
};
DWORD WINAPI SendFromHere(void* raw) {
    const auto& send = *static_cast<Send*>(raw);
    SendMessageW(send.window, WM_APP, 0, reinterpret_cast<LPARAM>(send.outcome));
    return 0;
}

}  // namespace

TEST(GuardForeignCall, WorksInWindowProceduresReachedEitherWay) {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = FaultingProc;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"ForeignCallTests";
    ASSERT_NE(RegisterClassW(&windowClass), 0);
    unique_hwnd window(
        CreateWindowW(L"ForeignCallTests", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, windowClass.hInstance, nullptr));
    ASSERT_TRUE(window);

    Outcome dispatched;
    PostMessageW(window.get(), WM_APP, 0, reinterpret_cast<LPARAM>(&dispatched));
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    EXPECT_EQ(dispatched.code, EXCEPTION_ACCESS_VIOLATION);
    EXPECT_TRUE(dispatched.chainKept);

    // Sent from another thread, the call arrives while this thread waits for messages.
    Outcome sent;
    Send send{window.get(), &sent};
    unique_handle sender(CreateThread(nullptr, 0, SendFromHere, &send, 0, nullptr));
    ASSERT_TRUE(sender);
    HANDLE waitFor = sender.get();
    while (MsgWaitForMultipleObjects(1, &waitFor, FALSE, 15000, QS_SENDMESSAGE) == WAIT_OBJECT_0 + 1) {
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE);
    }
    EXPECT_EQ(sent.code, EXCEPTION_ACCESS_VIOLATION);
    EXPECT_TRUE(sent.chainKept);
    window.reset();
    UnregisterClassW(L"ForeignCallTests", windowClass.hInstance);
}
