#include "ForeignCall.h"

#include <algorithm>
#include <cstddef>
#include <cwchar>
#include <iterator>

// The guard is a frame handler on the fs:[0] chain: that chain exists on 32-bit x86 only, and
// C++ exceptions must leave it alone (DWARF tables, not SJLJ registrations of their own on it).
#if !defined(__i386__)
#error "The foreign-call guard links an SEH record at fs:[0]: 32-bit x86 only."
#elif defined(__USING_SJLJ_EXCEPTIONS__) || defined(__SEH__)
#error "The foreign-call guard needs table-based (DWARF) C++ exceptions, not SJLJ or SEH-based ones."
#endif

namespace {

#ifndef STATUS_FLOAT_MULTIPLE_FAULTS
constexpr DWORD STATUS_FLOAT_MULTIPLE_FAULTS = 0xC00002B4;
constexpr DWORD STATUS_FLOAT_MULTIPLE_TRAPS = 0xC00002B5;
#endif
constexpr DWORD kCppException = 0xE06D7363;  // raised by code built with Visual C++
constexpr DWORD kDelayLoadModule = 0xC06D007E;
constexpr DWORD kDelayLoadProcedure = 0xC06D007F;

// One guard's state, on RunGuarded's own frame. The record comes first: the system hands the
// handler the record's address as the establisher frame.
// __builtin_setjmp rather than setjmp: it saves only the frame and stack pointers, with no
// library state to restore, and the longjmp back runs nothing of the C runtime's.
// No SafeSEH table lists GuardHandler, and none is needed: the loader checks handlers against
// such a table only in images that carry one, and GNU ld writes none into this program.
struct GuardFrame {
    EXCEPTION_REGISTRATION_RECORD record;
    void* resume[5];  // __builtin_setjmp's buffer
    DWORD code;
    void* address;
    DWORD parameters;
    ULONG_PTR info[2];
};
static_assert(offsetof(GuardFrame, record) == 0, "the handler's establisher frame is the record's address");

// The innermost guard of each thread, for the vectored handler to look for on the chain. A
// slot of the system's own, taken when the watch is installed: reading it allocates nothing,
// whatever thread faults.
DWORD g_guardSlot = TLS_OUT_OF_INDEXES;

EXCEPTION_REGISTRATION_RECORD* InnermostGuard() noexcept {
    return g_guardSlot != TLS_OUT_OF_INDEXES ? static_cast<EXCEPTION_REGISTRATION_RECORD*>(TlsGetValue(g_guardSlot))
                                             : nullptr;
}
void SetInnermostGuard(EXCEPTION_REGISTRATION_RECORD* guard) noexcept {
    if (g_guardSlot != TLS_OUT_OF_INDEXES) TlsSetValue(g_guardSlot, guard);
}
void (*volatile g_reportLostGuard)(const ForeignFault&) noexcept = nullptr;

EXCEPTION_REGISTRATION_RECORD* ChainHead() noexcept {
    EXCEPTION_REGISTRATION_RECORD* head;
    asm volatile("movl %%fs:0, %0" : "=r"(head) : : "memory");
    return head;
}

void SetChainHead(EXCEPTION_REGISTRATION_RECORD* head) noexcept {
    asm volatile("movl %0, %%fs:0" : : "r"(head) : "memory");
}

NT_TIB* ThreadBlock() noexcept {
    NT_TIB* tib;
    asm("movl %%fs:0x18, %0" : "=r"(tib));
    return tib;
}

// Runs the unwind handlers of every frame above ours (the control's own cleanup) and leaves our
// record at the head of the chain. RtlUnwind on x86 keeps none of ebx, esi, edi or ebp.
void UnwindTo(EXCEPTION_REGISTRATION_RECORD* frame, EXCEPTION_RECORD* record) noexcept {
    void* unwind = reinterpret_cast<void*>(&RtlUnwind);
    asm volatile(
        "pushl %%ebp\n\t"
        "pushl $0\n\t"
        "pushl %2\n\t"
        "pushl $0\n\t"
        "pushl %1\n\t"
        "call *%0\n\t"
        "popl %%ebp"
        : "+a"(unwind), "+c"(frame), "+d"(record)
        :
        : "ebx", "esi", "edi", "memory", "cc");
}

// Runs in the dispatch of an exception nobody deeper handled, maybe on the last page of an
// overflowed stack or with the heap locked: no allocation, little stack. Takes the exception and
// jumps back into RunGuarded.
EXCEPTION_DISPOSITION NTAPI GuardHandler(EXCEPTION_RECORD* record, void* establisher, CONTEXT*, void*) {
    if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0) return ExceptionContinueSearch;
    auto* frame = static_cast<GuardFrame*>(establisher);
    frame->code = record->ExceptionCode;
    frame->address = record->ExceptionAddress;
    frame->parameters = std::min<DWORD>(record->NumberParameters, 2);
    for (DWORD i = 0; i < frame->parameters; ++i) frame->info[i] = record->ExceptionInformation[i];
    UnwindTo(&frame->record, record);
    __builtin_longjmp(frame->resume, 1);
}

// What the dispatch of an overflow and our unwind need below the faulting frame, with margin.
constexpr ULONG kOverflowRoom = 16 * 1024;

// Arms one guard page just above the guaranteed room at the bottom of the stack, where Windows
// keeps its own: the stack grows onto it, and the system raises the overflow with that room left.
// Only there, and only one: the system grows the stack through one guard page at a time, and
// writes an exception's frame below the stack pointer with no fault of its own allowed, so a
// frame it writes across a guard page higher up ends the process (as Wine does). On Windows the
// page there is not committed until the stack reaches it, and Windows keeps the room itself:
// nothing is armed.
void ArmStackGuard(ULONG guarantee) noexcept {
    MEMORY_BASIC_INFORMATION stack{};
    char* const here = static_cast<char*>(__builtin_frame_address(0));
    if (VirtualQuery(here, &stack, sizeof stack) == 0) return;
    SYSTEM_INFO system{};
    GetSystemInfo(&system);
    const uintptr_t page = system.dwPageSize;
    const uintptr_t bottom = reinterpret_cast<uintptr_t>(stack.AllocationBase);
    // Above the unusable page at the very bottom and the guaranteed room.
    const uintptr_t guard = bottom + page + ((guarantee + page - 1) & ~(page - 1));
    if (guard + 2 * page > reinterpret_cast<uintptr_t>(here)) return;  // the stack is already that deep
    MEMORY_BASIC_INFORMATION at{};
    if (VirtualQuery(reinterpret_cast<void*>(guard), &at, sizeof at) == 0 || at.State != MEM_COMMIT ||
        (at.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0)
        return;
    DWORD old = 0;
    if (!VirtualProtect(reinterpret_cast<void*>(guard), page, PAGE_READWRITE | PAGE_GUARD, &old)) return;
    // The limit is the lowest page in use, just above the guard page, as the system keeps it.
    NT_TIB* const tib = ThreadBlock();
    if (reinterpret_cast<uintptr_t>(tib->StackLimit) < guard + page)
        tib->StackLimit = reinterpret_cast<void*>(guard + page);
}

// Makes sure a stack overflow in this thread leaves room to report it, once per thread and again
// after each overflow, which uses the guard page up: without it the next overflow ends the
// process with no handler run. Windows keeps the guaranteed room below its guard page by itself;
// Wine commits the whole stack up front with one guard page at its very bottom, and raises the
// overflow there with less than a page left, too little for the unwind, unless a guard page
// higher up meets the stack first.
void PrepareStack(bool overflowed) noexcept {
    ULONG guarantee = 0;  // zero asks without changing it
    if (!SetThreadStackGuarantee(&guarantee)) return;
    if (guarantee >= kOverflowRoom && !overflowed) return;
    if (guarantee < kOverflowRoom) {
        ULONG previous = kOverflowRoom;
        if (!SetThreadStackGuarantee(&previous)) return;
        guarantee = kOverflowRoom;
    }
    ArmStackGuard(guarantee);
}

bool IsFloatFault(DWORD code) {
    return (code >= EXCEPTION_FLT_DENORMAL_OPERAND && code <= EXCEPTION_FLT_UNDERFLOW) ||
           code == STATUS_FLOAT_MULTIPLE_FAULTS || code == STATUS_FLOAT_MULTIPLE_TRAPS;
}

// The module holding the address, by file name, and the offset into it; nothing for code outside
// any module. Written straight into the fault: no allocation, and no buffer on a stack that may
// have overflowed. A module whose path is longer than MAX_PATH (a loader that allows such paths)
// is named by its address alone.
void Locate(ForeignFault& fault) noexcept {
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<const wchar_t*>(fault.address), &module) ||
        module == nullptr) {
        return;
    }
    fault.offset = reinterpret_cast<uintptr_t>(fault.address) - reinterpret_cast<uintptr_t>(module);
    wchar_t* const path = fault.module;
    const DWORD length = GetModuleFileNameW(module, path, std::size(fault.module));
    if (length == 0 || length >= std::size(fault.module)) {
        path[0] = L'\0';
        return;
    }
    const size_t slash = std::wstring_view(path, length).find_last_of(L"\\/");
    const wchar_t* const name = slash == std::wstring_view::npos ? path : path + slash + 1;
    std::copy(name, static_cast<const wchar_t*>(path + length + 1), path);  // the name and its terminator
}

void AppendHex(std::wstring& text, const wchar_t* format, uintptr_t value) {
    wchar_t hex[64];
    std::swprintf(hex, std::size(hex), format, static_cast<unsigned>(value));
    text += hex;
}

struct NamedCode {
    DWORD code;
    const wchar_t* name;  // cppcheck-suppress unusedStructMember ; read through find_if's result
};
constexpr NamedCode kExceptionNames[] = {
    {EXCEPTION_ACCESS_VIOLATION, L"access violation"},
    {EXCEPTION_STACK_OVERFLOW, L"stack overflow"},
    {kCppException, L"C++ exception"},
    {EXCEPTION_ILLEGAL_INSTRUCTION, L"illegal instruction"},
    {EXCEPTION_PRIV_INSTRUCTION, L"privileged instruction"},
    {EXCEPTION_INT_DIVIDE_BY_ZERO, L"integer divide by zero"},
    {EXCEPTION_INT_OVERFLOW, L"integer overflow"},
    {EXCEPTION_IN_PAGE_ERROR, L"in-page error"},
    {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, L"array bounds exceeded"},
    {EXCEPTION_DATATYPE_MISALIGNMENT, L"datatype misalignment"},
    {EXCEPTION_FLT_DENORMAL_OPERAND, L"floating-point denormal operand"},
    {EXCEPTION_FLT_DIVIDE_BY_ZERO, L"floating-point divide by zero"},
    {EXCEPTION_FLT_INEXACT_RESULT, L"floating-point inexact result"},
    {EXCEPTION_FLT_INVALID_OPERATION, L"floating-point invalid operation"},
    {EXCEPTION_FLT_OVERFLOW, L"floating-point overflow"},
    {EXCEPTION_FLT_STACK_CHECK, L"floating-point stack check"},
    {EXCEPTION_FLT_UNDERFLOW, L"floating-point underflow"},
    {STATUS_FLOAT_MULTIPLE_FAULTS, L"floating-point error"},
    {STATUS_FLOAT_MULTIPLE_TRAPS, L"floating-point error"},
    {EXCEPTION_BREAKPOINT, L"breakpoint"},
    {EXCEPTION_SINGLE_STEP, L"single step"},
    {EXCEPTION_GUARD_PAGE, L"guard page violation"},
    {EXCEPTION_INVALID_HANDLE, L"invalid handle"},
    {EXCEPTION_NONCONTINUABLE_EXCEPTION, L"noncontinuable exception"},
    {EXCEPTION_INVALID_DISPOSITION, L"invalid disposition"},
    {STATUS_HEAP_CORRUPTION, L"heap corruption"},
    {STATUS_STACK_BUFFER_OVERRUN, L"stack buffer overrun"},
    {kDelayLoadModule, L"delay-loaded module not found"},
    {kDelayLoadProcedure, L"delay-loaded procedure not found"},
};

// Whether record is still reachable from the head of the chain, walking only records that lie
// on this thread's stack, as the system's dispatcher does.
bool OnChain(const EXCEPTION_REGISTRATION_RECORD* record) noexcept {
    const NT_TIB* const tib = ThreadBlock();
    const auto low = reinterpret_cast<uintptr_t>(tib->StackLimit);
    const auto high = reinterpret_cast<uintptr_t>(tib->StackBase);
    const EXCEPTION_REGISTRATION_RECORD* at = ChainHead();
    for (int i = 0; i < 100000; ++i, at = at->Next) {
        const auto address = reinterpret_cast<uintptr_t>(at);
        if (address < low || address + sizeof(*at) > high || (address & 3) != 0) return false;
        if (at == record) return true;
    }
    return false;
}

// Out of line: its fault record stays off the stack of every exception that is not reported.
__attribute__((noinline)) void ReportLostGuard(const EXCEPTION_RECORD& record) noexcept {
    ForeignFault fault;
    fault.code = record.ExceptionCode;
    fault.address = record.ExceptionAddress;
    if ((fault.code == EXCEPTION_ACCESS_VIOLATION || fault.code == EXCEPTION_IN_PAGE_ERROR) &&
        record.NumberParameters >= 2) {
        fault.info[0] = record.ExceptionInformation[0];
        fault.info[1] = record.ExceptionInformation[1];
    }
    Locate(fault);
    if (auto report = g_reportLostGuard) report(fault);
}

LONG CALLBACK LostGuardWatch(EXCEPTION_POINTERS* pointers) {
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    const EXCEPTION_REGISTRATION_RECORD* guard = InnermostGuard();
    // Errors only: notices and continuable exceptions a damaged chain cannot hurt.
    if (guard == nullptr || (record->ExceptionCode & 0xC0000000) != 0xC0000000 || OnChain(guard))
        return EXCEPTION_CONTINUE_SEARCH;
    SetInnermostGuard(nullptr);  // once: the report itself must not come back here
    ReportLostGuard(*record);
    return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

bool RunGuarded(void (*fn)(void*) noexcept, void* context, ForeignFault& fault) noexcept {
    GuardFrame frame{};
    frame.record.Next = ChainHead();
    frame.record.Handler = GuardHandler;
    PrepareStack(false);
    EXCEPTION_REGISTRATION_RECORD* const outer = InnermostGuard();
    if (__builtin_setjmp(frame.resume) == 0) {
        SetChainHead(&frame.record);
        SetInnermostGuard(&frame.record);
        fn(context);
        SetInnermostGuard(outer);
        // Also drops anything the callee left linked above us.
        SetChainHead(frame.record.Next);
        return true;
    }
    SetInnermostGuard(outer);
    SetChainHead(frame.record.Next);
    if (frame.code == EXCEPTION_STACK_OVERFLOW) PrepareStack(true);
    // A pending x87 exception would go off again in the next waiting floating-point instruction
    // (Wine's _clearfp has one).
    if (IsFloatFault(frame.code)) asm volatile("fnclex");
    fault.code = frame.code;
    fault.address = frame.address;
    fault.module[0] = L'\0';
    fault.offset = 0;
    fault.info[0] = fault.info[1] = 0;
    if (frame.code == EXCEPTION_ACCESS_VIOLATION || frame.code == EXCEPTION_IN_PAGE_ERROR) {
        for (DWORD i = 0; i < frame.parameters; ++i) fault.info[i] = frame.info[i];
    }
    Locate(fault);
    return false;
}

void WatchForLostGuards(void (*report)(const ForeignFault& fault) noexcept) noexcept {
    g_reportLostGuard = report;
    if (g_guardSlot != TLS_OUT_OF_INDEXES) return;
    g_guardSlot = TlsAlloc();
    // First in line: the chain's handlers may be unreachable.
    if (g_guardSlot != TLS_OUT_OF_INDEXES) AddVectoredExceptionHandler(1, &LostGuardWatch);
}

const wchar_t* ExceptionName(DWORD code) noexcept {
    const auto known = std::find_if(std::begin(kExceptionNames), std::end(kExceptionNames),
                                    [code](const NamedCode& entry) { return entry.code == code; });
    return known != std::end(kExceptionNames) ? known->name : L"unknown exception";
}

NumberedError FaultError(const ForeignFault& fault, std::wstring_view doing, std::wstring source) {
    std::wstring text;
    text.reserve(512);  // one allocation for the whole text
    text += L"The control crashed while ";
    text += doing;
    AppendHex(text, L": exception %08X (", fault.code);
    text += ExceptionName(fault.code);
    text += L") at ";
    if (fault.module[0] == L'\0') {
        AppendHex(text, L"0x%08X", reinterpret_cast<uintptr_t>(fault.address));
    } else {
        text += fault.module;
        AppendHex(text, L"+0x%X", fault.offset);
    }
    if (fault.code == EXCEPTION_ACCESS_VIOLATION || fault.code == EXCEPTION_IN_PAGE_ERROR) {
        text += fault.info[0] == 1 ? L", writing" : fault.info[0] == 8 ? L", executing" : L", reading";
        AppendHex(text, L" address 0x%08X", fault.info[1]);
    }
    text += L".\n\nThe control is faulty on this machine. Report the problem to its vendor, with this text.";
    return NumberedError(static_cast<long>(RPC_E_SERVERFAULT), std::move(source), std::move(text));
}
