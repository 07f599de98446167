#include "TopLevelReport.h"

#include <new>
#include <string>

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

void ShowErrorReport(HWND owner, const NumberedError& error) {
    const std::wstring text = L"Run-time error '" + std::to_wstring(error.Number()) + L"':\n\n" +
                              Shown(error.Description()) + L"\n\nSource: " + UpToNul(error.Source());
    MessageBoxW(owner, text.c_str(), kProgramSource, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
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
