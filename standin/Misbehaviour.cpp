#include "Misbehaviour.h"

#include <algorithm>
#include <cstdint>
#include <cstddef>
#include <iterator>

#include "Module.h"

namespace standin {

namespace {

static_assert(sizeof(void*) == 4, "frame-based handlers are linked at fs:[0] on i386 only");

constexpr DWORD kOwnExceptionCode = 0xE0000001;
constexpr DWORD kMsvcCxxExceptionCode = 0xE06D7363;  // 'msc' | 0xE0000000
constexpr ULONG_PTR kMsvcCxxMagic = 0x19930520;
constexpr UINT_PTR kModalTimer = 1;

// Longest sleep between looks at the clock while pumping; the loop wakes for any input too.
constexpr DWORD kPumpSliceMs = 10;

INT_PTR CALLBACK ModalProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG:
            if (SetTimer(dialog, kModalTimer, static_cast<UINT>(lParam), nullptr) == 0) EndDialog(dialog, -1);
            return TRUE;
        case WM_TIMER:
            if (wParam != kModalTimer) return FALSE;
            KillTimer(dialog, kModalTimer);
            EndDialog(dialog, IDOK);
            return TRUE;
        case WM_COMMAND:
            // Escape and the close box end it early, as any dialog.
            if (LOWORD(wParam) != IDCANCEL) return FALSE;
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
    }
}

// DLGTEMPLATE, no menu, the default class, the caption, no controls. DLGTEMPLATE is
// WORD-packed, so nothing pads the fields after it; the dialog manager wants a DWORD-aligned start.
struct alignas(4) ModalTemplate {
    DLGTEMPLATE dialog;
    // cppcheck-suppress unusedStructMember ; zero: no menu, read by the dialog manager
    WORD menu;
    // cppcheck-suppress unusedStructMember ; zero: the default dialog class
    WORD windowClass;
    wchar_t caption[std::size(kModalCaption)];
};
static_assert(offsetof(ModalTemplate, caption) == sizeof(DLGTEMPLATE) + 2 * sizeof(WORD));

struct OwnFrame {
    EXCEPTION_REGISTRATION_RECORD record;  // first: the dispatcher hands its address back
    volatile LONG seen;
};

EXCEPTION_DISPOSITION NTAPI OwnHandler(EXCEPTION_RECORD* record, void* establisher, CONTEXT*, void*) {
    if ((record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) != 0 ||
        record->ExceptionCode != kOwnExceptionCode) {
        return ExceptionContinueSearch;
    }
    static_cast<OwnFrame*>(establisher)->seen = 1;
    return ExceptionContinueExecution;
}

// Read at run time, so the compiler can neither see the null write coming nor turn the
// recursion below into a loop.
int* volatile g_nowhere = nullptr;
volatile bool g_deeper = true;

__attribute__((noinline)) unsigned Descend(unsigned depth) {
    volatile unsigned char frame[256];
    frame[0] = static_cast<unsigned char>(depth);
    // The addition after the call keeps it from being a tail call.
    if (g_deeper) return Descend(depth + 1) + frame[0];
    return frame[0];
}

// The TEB starts with the NT_TIB, whose first field is the head of the handler chain; fs:[0x18]
// holds its own address.
NT_TIB* ThreadInformationBlock() noexcept {
    NT_TIB* self = nullptr;
    __asm__("movl %%fs:0x18, %0" : "=r"(self));
    return self;
}

}  // namespace

void PumpMessages(DWORD ms) noexcept {
    const ULONGLONG end = GetTickCount64() + ms;
    for (;;) {
        MSG message;
        // The clock is read between messages too: a flood of them must not keep the call here.
        while (GetTickCount64() < end && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                PostQuitMessage(static_cast<int>(message.wParam));
                return;
            }
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        const ULONGLONG now = GetTickCount64();
        if (now >= end) return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(end - now, kPumpSliceMs)),
                                  QS_ALLINPUT);
    }
}

HRESULT ShowTimedModal(HWND owner, DWORD ms) noexcept {
    ModalTemplate form{};
    form.dialog.style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_CENTER;
    form.dialog.cx = 160;  // dialog units
    form.dialog.cy = 40;
    std::copy(std::begin(kModalCaption), std::end(kModalCaption), form.caption);
    SetLastError(ERROR_SUCCESS);
    const INT_PTR ended =
        DialogBoxIndirectParamW(ModuleHandle(), &form.dialog, owner, ModalProc, static_cast<LPARAM>(ms));
    if (ended == IDOK || ended == IDCANCEL) return S_OK;
    const DWORD error = GetLastError();
    return error != ERROR_SUCCESS ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

void RaiseAccessViolation() noexcept { *g_nowhere = 0; }

void RaiseCxxThrow() noexcept {
    const ULONG_PTR arguments[3] = {kMsvcCxxMagic, 0, 0};
    RaiseException(kMsvcCxxExceptionCode, EXCEPTION_NONCONTINUABLE, 3, arguments);
}

void OverflowStack() noexcept { Descend(0); }

void SmashChainAndFault() noexcept {
    ThreadInformationBlock()->ExceptionList = reinterpret_cast<EXCEPTION_REGISTRATION_RECORD*>(0x41414140);
    RaiseAccessViolation();
}

void FaultHoldingTheHeap() noexcept {
    HeapLock(GetProcessHeap());
    RaiseAccessViolation();
}

bool RaiseAndHandle() noexcept {
    NT_TIB* tib = ThreadInformationBlock();
    OwnFrame frame{};
    frame.record.Next = tib->ExceptionList;
    frame.record.Handler = &OwnHandler;
    tib->ExceptionList = &frame.record;
    RaiseException(kOwnExceptionCode, 0, 0, nullptr);
    tib->ExceptionList = frame.record.Next;
    return frame.seen != 0;
}

}  // namespace standin
