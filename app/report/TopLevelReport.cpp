#include "TopLevelReport.h"

#include <new>
#include <string>

#include "Clipboard.h"
#include "Unique.h"

namespace {

// A message box shows its text up to the first NUL: each part keeps only what shows, so a
// NUL in the description does not hide the source after it.
std::wstring UpToNul(const std::wstring& text) { return text.substr(0, text.find(L'\0')); }

// A box taller than the screen hides its own button: a longer description is shown cut.
constexpr size_t kShownDescription = 1024;

std::wstring Shown(const std::wstring& description) {
    std::wstring text = UpToNul(description);
    if (text.size() > kShownDescription) {
        text.resize(kShownDescription);
        text += L"\u2026";
    }
    return text;
}

// Windows' message box copies its text on Ctrl+C; not every platform's does (Wine's does not).
// While the report is up, a message-filter hook of this thread gives it that, in Windows' form.
thread_local const std::wstring* tShownReport = nullptr;
thread_local const wchar_t* tShownButtons = nullptr;

LRESULT CALLBACK CopyOnCtrlC(int code, WPARAM wParam, LPARAM lParam) {
    const auto* message = reinterpret_cast<const MSG*>(lParam);
    if (code == MSGF_DIALOGBOX && tShownReport != nullptr && message != nullptr && message->message == WM_KEYDOWN &&
        (message->wParam == 'C' || message->wParam == VK_INSERT) && GetKeyState(VK_CONTROL) < 0) {
        constexpr wchar_t kRule[] = L"---------------------------\r\n";
        std::wstring text = std::wstring(kRule) + kProgramName + L"\r\n" + kRule;
        for (const wchar_t c : *tShownReport) {
            if (c == L'\n')
                text += L"\r\n";
            else
                text += c;
        }
        text += std::wstring(L"\r\n") + kRule + tShownButtons + L"\r\n" + kRule;
        try {
            CopyToClipboard(GetAncestor(message->hwnd, GA_ROOT), text);
        } catch (...) {
            MessageBeep(MB_ICONWARNING);  // the box stays; the user may try again
        }
        return TRUE;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

using unique_hhook = unique_any<unique_detail::null_traits<HHOOK, &UnhookWindowsHookEx>>;

}  // namespace

NumberedError CaughtError() {
    try {
        throw;
    } catch (const NumberedError& error) {
        return error;
    } catch (const std::bad_alloc&) {
        return NumberedError(errnum::OutOfMemory, kProgramSource, L"Out of memory");
    } catch (...) {
        return NumberedError(E_UNEXPECTED, kProgramSource, SystemMessage(E_UNEXPECTED));
    }
}

std::wstring ErrorReportText(const NumberedError& error) {
    return L"Run-time error '" + std::to_wstring(error.Number()) + L"':\n\n" + Shown(error.Description()) +
           L"\n\nSource: " + UpToNul(error.Source());
}

int ShowCopyableBox(HWND owner, const std::wstring& text, UINT style) noexcept {
    const unique_hhook copier(SetWindowsHookExW(WH_MSGFILTER, &CopyOnCtrlC, nullptr, GetCurrentThreadId()));
    tShownReport = &text;
    tShownButtons = (style & MB_TYPEMASK) == MB_OKCANCEL ? L"OK   Cancel   " : L"OK   ";
    const int chosen = MessageBoxW(owner, text.c_str(), kProgramName, style);
    tShownReport = nullptr;
    return chosen;
}

void ShowErrorReport(HWND owner, const NumberedError& error) {
    ShowCopyableBox(owner, ErrorReportText(error), MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

void ReportError(const ErrorReporter& reporter, HWND owner, const NumberedError& error) noexcept {
    try {
        if (reporter)
            reporter(owner, error);
        else
            ShowErrorReport(owner, error);
    } catch (...) {
        // The report itself failed; the program ends all the same.
    }
}

int ExitCodeFor(const NumberedError& error) noexcept {
    return error.Number() != 0 ? static_cast<int>(error.Number()) : 1;
}
