#pragma once
// Calls into code we did not write (the hosted control) behind a guard on the call's own
// frame. A fault that leaves the control comes back to us as a value, so the program can
// say what happened instead of vanishing, or the message dispatch swallowing it unseen.
// Exceptions the control raises and handles itself never reach the guard: it is a frame
// handler on the fs:[0] chain, consulted only after every deeper frame declined.
#include <windows.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "NumberedError.h"

// Filled in at the fault with nothing allocated: the control may have left the heap damaged or
// its lock held.
struct ForeignFault {
    DWORD code = 0;                 // e.g. 0xC0000005
    void* address = nullptr;        // where it was raised
    wchar_t module[MAX_PATH] = {};  // file name (no folder) of the module holding address; L"" if none
    uintptr_t offset = 0;           // address - module base
    ULONG_PTR info[2] = {};         // access violations: 0 read, 1 write, 8 execute; the address accessed
};

// Runs fn(context). True when it returned; false when an SEH exception left it, described in
// fault. Frames between here and the fault are unwound the SEH way only: their C++ objects
// are not destroyed, and fn must not throw C++ exceptions (GuardForeignCall carries them).
// On first use in a thread it raises the thread's stack guarantee to 16 KiB and arms guard
// pages, so an overflow leaves room to report it; after an overflow it arms them again.
bool RunGuarded(void (*fn)(void*) noexcept, void* context, ForeignFault& fault) noexcept;

// Runs call(); an SEH exception that leaves it comes back as a fault instead of unwinding
// further. Keep `call` to the foreign call itself: objects with destructors alive in its frames
// when the control faults are skipped, not destroyed. A C++ exception thrown by `call` passes
// through, with the guard already gone from the chain.
template <typename F>
std::optional<ForeignFault> GuardForeignCall(F&& call) noexcept(std::is_nothrow_invocable_v<F&>) {
    struct Context {
        std::remove_reference_t<F>* call;
        std::exception_ptr thrown;
    } context{&call, {}};
    ForeignFault fault;
    const bool returned = RunGuarded(
        [](void* raw) noexcept {
            auto& ctx = *static_cast<Context*>(raw);
            if constexpr (std::is_nothrow_invocable_v<F&>) {
                (*ctx.call)();
            } else {
                try {
                    (*ctx.call)();
                } catch (...) {
                    ctx.thrown = std::current_exception();
                }
            }
        },
        &context, fault);
    if constexpr (!std::is_nothrow_invocable_v<F&>) {
        if (context.thrown) std::rethrow_exception(context.thrown);
    }
    if (returned) return std::nullopt;
    return fault;
}

// A last resort for a callee that damaged the thread's handler chain (fs:[0]): the guard is
// then never consulted and the process would end unreported. Installs, once, a vectored
// handler that calls report with a fault seen while a guard runs but is no longer on the
// chain; report is meant not to return (after it, the fault goes on to end the process). Call
// it from one thread, before the guards it is to watch run.
void WatchForLostGuards(void (*report)(const ForeignFault& fault) noexcept) noexcept;

// Our name of an exception code, e.g. "access violation"; "unknown exception" when we have none.
const wchar_t* ExceptionName(DWORD code) noexcept;

// The report the user reads when the control faulted while the program was `doing` something
// (L"calling member 0x60030001", L"activating it"): RPC_E_SERVERFAULT, as COM reports a faulting
// server, with where it happened and what the user can do about it.
NumberedError FaultError(const ForeignFault& fault, std::wstring_view doing, std::wstring source);
