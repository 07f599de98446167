#pragma once
// What demanding and misbehaving controls do inside a call: keep the container's messages
// moving, show a modal dialog, raise the exceptions real controls raise, or handle one of
// their own on the way.
#include <windows.h>

namespace standin {

// Caption of the dialog ShowTimedModal shows, for tests that look for it.
inline constexpr wchar_t kModalCaption[] = L"VbFunzioni stand-in modal";

// A message loop for every window of the thread, as Visual Basic's DoEvents runs it in a
// busy loop, for about ms milliseconds. A WM_QUIT ends it early and is posted again for
// the loop that owns the thread.
void PumpMessages(DWORD ms) noexcept;

// A modal dialog owned by owner (may be null) that ends itself after ms milliseconds.
// S_OK, or the error of a dialog that could not be shown.
HRESULT ShowTimedModal(HWND owner, DWORD ms) noexcept;

// These raise an exception that nothing here handles; they come back only when something
// outside continued it.
void RaiseAccessViolation() noexcept;
void RaiseCxxThrow() noexcept;  // what an MSVC-built control's throw raises
void OverflowStack() noexcept;
// Overwrites the head of the thread's handler chain (fs:[0]) with an address off the stack, as
// a buffer overrun does, then raises an access violation: no frame handler is reached.
void SmashChainAndFault() noexcept;
// Takes the process heap's lock, as a fault inside an allocation leaves it, and faults holding
// it: any other thread that allocates waits for good.
void FaultHoldingTheHeap() noexcept;

// Raises an exception of its own and handles it in a frame-based handler on its own stack
// frame, as a control built with __try/__except does. True when the handler saw it.
bool RaiseAndHandle() noexcept;

}  // namespace standin
