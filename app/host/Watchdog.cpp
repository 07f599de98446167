#include "Watchdog.h"

#include <algorithm>
#include <cwchar>
#include <string>

#include "ForeignCall.h"
#include "Program.h"
#include "TopLevelReport.h"

namespace {

// How often the watch looks; a box shown a quarter of a second late is still in time.
constexpr DWORD kLookEveryMs = 250;
// After "keep waiting", the same call is asked about again this much later.
constexpr ULONGLONG kAskAgainMs = 30000;
// A thread that answers a message within this is pumping (a dialog of the control), not stuck.
constexpr UINT kRespondMs = 250;
// The id of a message box's text, on Windows and Wine alike.
constexpr int kBoxTextId = 0xFFFF;

// The call being made now, as the window's thread published it. Written by the calling
// thread, copied by the watch's, both under the lock.
struct Published {
    const wchar_t* source = nullptr;
    size_t sourceLength = 0;
    const wchar_t* doing = nullptr;
    size_t doingLength = 0;
    ULONGLONG started = 0;
    unsigned serial = 0;  // 0: no call
    DWORD thread = 0;
};
SRWLOCK g_lock = SRWLOCK_INIT;
Published g_call;
unsigned g_lastSerial = 0;

// The watch's copy, texts and all: the caller's storage goes when its call returns.
struct Snapshot {
    wchar_t source[128];
    wchar_t doing[128];
    ULONGLONG started;
    unsigned serial;
    DWORD thread;
};

void CopyView(wchar_t (&to)[128], const wchar_t* from, size_t length) noexcept {
    length = std::min(length, std::size(to) - 1);
    if (from != nullptr) std::copy_n(from, length, to);
    to[from != nullptr ? length : 0] = L'\0';
}

bool Take(Snapshot& snapshot) noexcept {
    AcquireSRWLockShared(&g_lock);
    const bool calling = g_call.serial != 0;
    if (calling) {
        CopyView(snapshot.source, g_call.source, g_call.sourceLength);
        CopyView(snapshot.doing, g_call.doing, g_call.doingLength);
        snapshot.started = g_call.started;
        snapshot.serial = g_call.serial;
        snapshot.thread = g_call.thread;
    }
    ReleaseSRWLockShared(&g_lock);
    return calling;
}

unsigned CurrentSerial() noexcept {
    AcquireSRWLockShared(&g_lock);
    const unsigned serial = g_call.serial;
    ReleaseSRWLockShared(&g_lock);
    return serial;
}

// The stuck thread cannot be unwound, and exiting the normal way would run the control's DLL
// detach code, perhaps under the very lock it is stuck on or on a heap it damaged: the process
// ends here, no DLL told.
void Terminate(UINT exitCode) { TerminateProcess(GetCurrentProcess(), exitCode); }

volatile LONG g_thresholdMs = watchdog::kThresholdMs;
watchdog::Unattended g_unattended{};
watchdog::Ending volatile g_ending = &Terminate;

INIT_ONCE g_started = INIT_ONCE_STATIC_INIT;
DWORD g_watchThread = 0;

// The crash report, handed to the watch's thread to show while the faulted thread waits. The
// events live for the program's lifetime: a crash creates nothing.
SRWLOCK g_requestLock = SRWLOCK_INIT;
std::wstring g_crashText;
HANDLE g_requested = nullptr;  // auto-reset: show g_crashText
HANDLE g_shown = nullptr;      // auto-reset: the watch's box is up
HANDLE g_done = nullptr;       // auto-reset: the watch's box is gone
constexpr UINT kCrashBoxStyle = MB_OK | MB_ICONERROR | MB_SETFOREGROUND | MB_TOPMOST;
// The watch's thread gets a box up in well under a second; one that has not in this long waits on
// a lock, most likely one the faulted thread holds.
constexpr DWORD kCrashBoxWithinMs = 2000;
// Which thread shows the crash box: the first to claim it. The other's box, if any, goes.
enum : LONG { kNobodyShows, kWatchShows, kFaultedShows };
volatile LONG g_crashBoxBy = kNobodyShows;

BOOL CALLBACK DialogShown(HWND window, LPARAM found) {
    if (!IsWindowVisible(window) || !IsWindowEnabled(window) || GetWindow(window, GW_OWNER) == nullptr) return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

// A thread inside a call that shows a window of the control's own to the user (a dialog,
// owned and enabled) and still dispatches its messages is busy with the user, not stuck: the
// user can answer it. A message loop with nothing shown (a control waiting on the network
// between DoEvents) is judged by the clock, as a call that dispatches nothing.
bool Responding(DWORD thread) noexcept {
    HWND dialog = nullptr;
    EnumThreadWindows(thread, &DialogShown, reinterpret_cast<LPARAM>(&dialog));
    DWORD_PTR result = 0;
    return dialog != nullptr &&
           SendMessageTimeoutW(dialog, WM_NULL, 0, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG, kRespondMs, &result) != 0;
}

// The box about a call that did not come back. It lives on the watch's thread only.
struct HangBox {
    Snapshot call{};
    std::wstring text;
    bool returned = false;  // closed by the program: the call came back
};
HangBox* g_box = nullptr;

std::wstring HangText(const Snapshot& call) {
    const ULONGLONG seconds = (GetTickCount64() - call.started) / 1000;
    return std::wstring(L"The control \"") + call.source + L"\" is not answering: the program has been waiting " +
           std::to_wstring(seconds) + L" seconds for it while " + call.doing +
           L".\n\nA control that stays inside a call is usually waiting on the network (a name look-up or a "
           L"connection that times out), on a service, or on a lock.\n\nOK: keep waiting; the window comes back "
           L"as soon as the control answers.\nCancel: end the program.";
}

BOOL CALLBACK FindBox(HWND window, LPARAM found) {
    wchar_t name[16] = {};
    GetClassNameW(window, name, static_cast<int>(std::size(name)));
    if (std::wcscmp(name, L"#32770") != 0) return TRUE;
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
}

// Dispatched by the box's own message loop: keeps the time up to date, and closes the box as
// soon as the call has come back.
void CALLBACK Refresh(HWND, UINT, UINT_PTR, DWORD) {
    if (g_box == nullptr) return;
    HWND box = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), &FindBox, reinterpret_cast<LPARAM>(&box));
    if (box == nullptr) return;
    if (CurrentSerial() != g_box->call.serial) {
        if (!g_box->returned) PostMessageW(box, WM_COMMAND, IDOK, 0);
        g_box->returned = true;
        return;
    }
    try {
        g_box->text = HangText(g_box->call);
        SetDlgItemTextW(box, kBoxTextId, g_box->text.c_str());
    } catch (...) {
        // Out of memory: the time shown stays as it was.
    }
}

// Dispatched by the crash box's own loop: the box is up, past every lock on the way. Claims it,
// or closes it when the faulted thread has shown its own meanwhile.
void CALLBACK CrashBoxUp(HWND, UINT, UINT_PTR timer, DWORD) {
    KillTimer(nullptr, timer);
    if (InterlockedCompareExchange(&g_crashBoxBy, kWatchShows, kNobodyShows) == kFaultedShows) {
        HWND box = nullptr;
        EnumThreadWindows(GetCurrentThreadId(), &FindBox, reinterpret_cast<LPARAM>(&box));
        if (box != nullptr) PostMessageW(box, WM_COMMAND, IDOK, 0);
        return;
    }
    SetEvent(g_shown);
}

void ShowCrashBoxHere() noexcept {
    const UINT_PTR timer = SetTimer(nullptr, 0, USER_TIMER_MINIMUM, &CrashBoxUp);
    ShowCopyableBox(nullptr, g_crashText, kCrashBoxStyle);
    if (timer != 0) KillTimer(nullptr, timer);
}

// The crash box, from the watch's thread while this one waits: a box of this thread would run
// a message loop that dispatches to the control's windows. When the watch's thread cannot get it
// up, it is waiting on a lock the control left held, by this thread when it faulted (the heap's,
// the loader's): this thread can take that lock again, and shows the box itself.
void ShowCrashBox(std::wstring text) noexcept {
    if (g_watchThread == 0 || g_watchThread == GetCurrentThreadId()) {
        ShowCopyableBox(nullptr, text, kCrashBoxStyle);
        return;
    }
    AcquireSRWLockExclusive(&g_requestLock);
    g_crashText = std::move(text);  // the watch may read it for as long as the process lives
    SetEvent(g_requested);
    HANDLE waits[] = {g_done, g_shown};
    const DWORD woke = WaitForMultipleObjects(2, waits, FALSE, kCrashBoxWithinMs);
    if (woke == WAIT_TIMEOUT &&
        InterlockedCompareExchange(&g_crashBoxBy, kFaultedShows, kNobodyShows) == kNobodyShows) {
        ShowCopyableBox(nullptr, g_crashText, kCrashBoxStyle);
    } else if (woke != WAIT_OBJECT_0) {
        WaitForSingleObject(g_done, INFINITE);
    }
    ReleaseSRWLockExclusive(&g_requestLock);
}

enum class Answer { Returned, KeepWaiting, End };

Answer AskUser(const Snapshot& call) noexcept {
    try {
        HangBox box{call, HangText(call), false};
        g_box = &box;
        const UINT_PTR timer = SetTimer(nullptr, 0, kLookEveryMs, &Refresh);
        // No owner: an owner on the stuck thread would make the box wait on it.
        const int chosen = ShowCopyableBox(
            nullptr, box.text, MB_OKCANCEL | MB_DEFBUTTON1 | MB_ICONWARNING | MB_TOPMOST | MB_SETFOREGROUND);
        if (timer != 0) KillTimer(nullptr, timer);
        g_box = nullptr;
        if (box.returned || CurrentSerial() != call.serial) return Answer::Returned;
        return chosen == IDCANCEL ? Answer::End : Answer::KeepWaiting;
    } catch (...) {
        g_box = nullptr;
        return Answer::KeepWaiting;
    }
}

DWORD WINAPI Watch(void*) {
    unsigned watched = 0;
    ULONGLONG askAt = 0;  // time inside the call when the user is asked
    for (;;) {
        const DWORD woke = MsgWaitForMultipleObjects(1, &g_requested, FALSE, kLookEveryMs, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) {
            ShowCrashBoxHere();
            SetEvent(g_done);
            continue;
        }
        // Once it has shown a box the thread has windows of its own (the platform's IME window
        // for one), and a message sent to them, a broadcast included, waits until it is taken.
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
        Snapshot call;
        if (!Take(call)) continue;
        if (call.serial != watched) {
            watched = call.serial;
            askAt = static_cast<ULONGLONG>(g_thresholdMs);
        }
        const ULONGLONG inside = GetTickCount64() - call.started;
        if (inside < askAt) continue;
        if (g_unattended.hung != nullptr) {
            // Nobody to answer a dialog of the control either: the clock alone decides.
            g_unattended.hung({call.source, call.doing, inside});
            watchdog::End(kHungExitCode);
            askAt = ~0ULL;
            continue;
        }
        if (Responding(call.thread)) continue;
        switch (AskUser(call)) {
            case Answer::Returned:
                break;
            case Answer::KeepWaiting:
                askAt = GetTickCount64() - call.started + kAskAgainMs;
                break;
            case Answer::End:
                watchdog::End(kHungExitCode);
                askAt = ~0ULL;  // an ending that returned (tests): not asked again
                break;
        }
    }
}

// A fault the guard never saw: the control broke the thread's handler chain. Reported as any
// crash of the call being made, then the end.
void ReportLostGuard(const ForeignFault& fault) noexcept {
    Snapshot call{};
    if (!Take(call) || call.thread != GetCurrentThreadId()) {
        CopyView(call.source, kProgramSource, std::size(kProgramName) - 1);
        CopyView(call.doing, L"calling it", 10);
    }
    try {
        watchdog::ReportCrashAndEnd({}, nullptr, FaultError(fault, call.doing, call.source));
    } catch (...) {
        watchdog::End(static_cast<UINT>(RPC_E_SERVERFAULT));
    }
}

BOOL CALLBACK StartWatch(INIT_ONCE*, void*, void**) {
    WatchForLostGuards(&ReportLostGuard);
    g_requested = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_shown = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE thread =
        g_requested && g_shown && g_done ? CreateThread(nullptr, 0, &Watch, nullptr, 0, &g_watchThread) : nullptr;
    // The thread runs for the program's lifetime; its handle is not needed.
    if (thread != nullptr) CloseHandle(thread);
    return TRUE;
}

}  // namespace

WatchedCall::WatchedCall(std::wstring_view source, std::wstring_view doing) noexcept {
    const ULONGLONG now = GetTickCount64();
    const DWORD thread = GetCurrentThreadId();
    AcquireSRWLockExclusive(&g_lock);
    outer_ = {g_call.source,  g_call.sourceLength, g_call.doing, g_call.doingLength,
              g_call.started, g_call.serial,       g_call.thread};
    g_call = {source.data(), source.size(), doing.data(), doing.size(), now, ++g_lastSerial, thread};
    if (g_call.serial == 0) g_call.serial = ++g_lastSerial;  // 0 means no call
    ReleaseSRWLockExclusive(&g_lock);
}

WatchedCall::~WatchedCall() {
    AcquireSRWLockExclusive(&g_lock);
    g_call = {outer_.source,  outer_.sourceLength, outer_.doing, outer_.doingLength,
              outer_.started, outer_.serial,       outer_.thread};
    ReleaseSRWLockExclusive(&g_lock);
}

namespace watchdog {

void Start() noexcept { InitOnceExecuteOnce(&g_started, &StartWatch, nullptr, nullptr); }

void SetUnattended(const Unattended& hooks) noexcept { g_unattended = hooks; }

void SetThreshold(DWORD ms) noexcept { InterlockedExchange(&g_thresholdMs, static_cast<LONG>(ms)); }

Ending SetEnding(Ending ending) noexcept {
    const Ending old = g_ending;
    g_ending = ending != nullptr ? ending : &Terminate;
    return old;
}

void End(UINT exitCode) noexcept { g_ending(exitCode); }

void ReportCrashAndEnd(const ErrorReporter& reporter, HWND owner, const NumberedError& error) noexcept {
    const UINT exitCode = static_cast<UINT>(ExitCodeFor(error));
    if (reporter) {
        ReportError(reporter, owner, error);
    } else if (g_unattended.crashed != nullptr) {
        g_unattended.crashed(error);
    } else {
        try {
            ShowCrashBox(ErrorReportText(error));
        } catch (...) {
            // Out of memory for the text: the program ends all the same, with the code.
        }
    }
    End(exitCode);
}

}  // namespace watchdog
