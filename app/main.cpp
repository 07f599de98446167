#include <windows.h>
#include <commctrl.h>
#include <ole2.h>

#include <memory>
#include <new>

#include "Form1.h"

namespace {

int ExitCodeFor(const NumberedError& error) { return error.Number() != 0 ? static_cast<int>(error.Number()) : 1; }

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    const HRESULT ole = OleInitialize(nullptr);
    if (FAILED(ole)) {
        const NumberedError error = ErrorFromHresult(ole, L"Test OCX TALVO");
        Form1::ReportAndEnd(nullptr, error);
        return ExitCodeFor(error);
    }
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    int exitCode = 0;
    try {
        std::unique_ptr<Form1> form = Form1::Create(instance);
        ShowWindow(form->Window(), show);
        UpdateWindow(form->Window());
        exitCode = RunMessageLoop(form->Window());
    } catch (const NumberedError& error) {
        // The window could not be made, most often because the function control is missing.
        Form1::ReportAndEnd(nullptr, error);
        exitCode = ExitCodeFor(error);
    } catch (const std::bad_alloc&) {
        Form1::ReportAndEnd(nullptr, NumberedError(errnum::OutOfMemory, L"Test OCX TALVO", L"Out of memory"));
        exitCode = errnum::OutOfMemory;
    }
    OleUninitialize();
    return exitCode;
}
