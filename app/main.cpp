#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include <memory>

#include "Form1.h"
#include "TopLevelReport.h"
#include "Unique.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
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
