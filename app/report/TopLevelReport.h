#pragma once
// The top level: an error that ends a command or the start-up becomes one NumberedError, is
// reported to the user, and the program ends with a non-zero code.
#include <windows.h>

#include <functional>
#include <string>

#include "NumberedError.h"
#include "Program.h"

// Who tells the user. The program shows a message box; tests and benchmarks pass their own.
using ErrorReporter = std::function<void(HWND owner, const NumberedError& error)>;

// The exception being handled, as the user reads it. Call only inside a catch block.
NumberedError CaughtError();

// The message box: number, description and source, owned by owner (may be null).
void ShowErrorReport(HWND owner, const NumberedError& error);
// Its text, to be built before it is needed.
std::wstring ErrorReportText(const NumberedError& error);

// A message box of the program whose text Ctrl+C copies, as Windows' own boxes do. text is
// read again on each copy, so it may change while the box is up. What MessageBoxW returns.
int ShowCopyableBox(HWND owner, const std::wstring& text, UINT style) noexcept;

// Hands the error to reporter, or to the message box when there is none. Whatever the
// report itself runs into, the program ends all the same.
void ReportError(const ErrorReporter& reporter, HWND owner, const NumberedError& error) noexcept;

// The exit code an error ends the program with: its number, never 0.
int ExitCodeFor(const NumberedError& error) noexcept;
