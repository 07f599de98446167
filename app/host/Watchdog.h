#pragma once
// The watch over calls into the hosted control. One thread of its own, for the program's
// lifetime, notices a call that does not come back and asks the user whether to wait or end
// the program; it also shows what the window's thread cannot show itself, being stuck or
// holding whatever a crashed control left locked. A guarded call only records what it is
// doing and since when: no thread, event or allocation per call.
#include <windows.h>

#include <string_view>

#include "TopLevelReport.h"

// HRESULT_FROM_WIN32(ERROR_TIMEOUT): the program was ended on a call that never came back.
inline constexpr UINT kHungExitCode = 0x800705B4;

// One call in progress, published for the watch for as long as it lives. The views point at
// the caller's storage; a nested call hides the outer one until it returns.
class WatchedCall {
public:
    WatchedCall(std::wstring_view source, std::wstring_view doing) noexcept;
    ~WatchedCall();
    WatchedCall(const WatchedCall&) = delete;
    WatchedCall& operator=(const WatchedCall&) = delete;

private:
    struct Outer {
        const wchar_t* source;
        size_t sourceLength;
        const wchar_t* doing;
        size_t doingLength;
        ULONGLONG started;
        unsigned serial;
        DWORD thread;
    } outer_;
};

namespace watchdog {

// Starts the watch's thread, once; later calls do nothing. Calls made before it are not watched.
void Start() noexcept;

// How long a call may run before the user is asked: 5 s, Windows' own threshold for a window
// that stopped responding. Tests shorten it.
inline constexpr DWORD kThresholdMs = 5000;
void SetThreshold(DWORD ms) noexcept;

// How the program ends when it cannot go on. By default the process ends at once, with no
// DLL told. Tests put one of their own, which returns.
using Ending = void (*)(UINT exitCode);
Ending SetEnding(Ending ending) noexcept;
void End(UINT exitCode) noexcept;

// After a crash of the control: the report, then the end of the program with the report's
// code, with no more of the control's code run. Without a reporter the box is shown from the
// watch's thread while this one waits (here only when the watch cannot, held up by a lock the
// fault left held). A reporter (tests) runs here. Returns only when the ending does.
void ReportCrashAndEnd(const ErrorReporter& reporter, HWND owner, const NumberedError& error) noexcept;

// With nobody at the machine no box is shown. A call running past the threshold goes to hung,
// on the watch's thread (the texts are the watch's own copies); a crash reported without a
// reporter (a damaged handler chain) goes to crashed, on the faulting thread. Both are meant
// to end the program; if they return, it ends as it would have. Set before Start.
struct HungCall {
    const wchar_t* source;
    const wchar_t* doing;
    ULONGLONG ms;
};
struct Unattended {
    void (*hung)(const HungCall& call) noexcept;
    void (*crashed)(const NumberedError& error) noexcept;
};
void SetUnattended(const Unattended& hooks) noexcept;

}  // namespace watchdog
