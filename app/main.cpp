#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include <cstdlib>
#include <memory>
#include <span>

#include "Check.h"
#include "Form1.h"
#include "SystemDll.h"
#include "TopLevelReport.h"
#include "Unique.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    const CommandLine line =
        ParseCommandLine(__wargv != nullptr && __argc > 1 ? std::span<const wchar_t* const>(__wargv + 1, __argc - 1)
                                                          : std::span<const wchar_t* const>());
    // Before anything loads a DLL by name: this program runs from wherever it was put.
    RestrictDllSearch();
    // Bound on first use (app/CMakeLists.txt); loaded now, from the system folder, they are in
    // place before a control is loaded with its own folder searched first.
    const unique_hmodule bound[] = {LoadSystemDll(L"user32.dll"), LoadSystemDll(L"gdi32.dll"),
                                    LoadSystemDll(L"ole32.dll"), LoadSystemDll(L"oleaut32.dll")};
    if (line.check) return RunCheck(instance, line);
    if (!line.refused.empty()) {
        MessageBoxW(nullptr, (line.refused + L"\r\n\r\n" + UsageText()).c_str(), kProgramName, MB_OK | MB_ICONWARNING);
        return checkexit::BadCommandLine;
    }

    const HRESULT initialized = OleInitialize(nullptr);
    const unique_oleuninitialize_call ole(initialized);
    if (FAILED(initialized)) {
        const NumberedError error = ErrorFromHresult(initialized, kProgramSource);
        ReportError(nullptr, nullptr, error);
        return ExitCodeFor(error);
    }
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    try {
        const std::unique_ptr<Form1> form = Form1::Create(instance);
        ShowWindow(form->Window(), show);
        UpdateWindow(form->Window());
        return RunMessageLoop(*form);
    } catch (...) {
        // The window could not be made, most often because the function control is missing.
        const NumberedError error = CaughtError();
        ReportError(nullptr, nullptr, error);
        return ExitCodeFor(error);
    }
}
