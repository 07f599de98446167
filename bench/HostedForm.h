#pragma once
// Form1 in this process, shown as the program shows it, with the stand-in control active.
// An error reaching the top level is kept, not shown: a message box would stop the run.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <memory>
#include <string>

#include "Bench.h"
#include "Form1.h"
#include "WindowText.h"

namespace bench {

class HostedForm {
public:
    HostedForm() {
        ole_ = SUCCEEDED(OleInitialize(nullptr));
        const ErrorReporter keep = [this](HWND, const NumberedError& error) {
            lastError_ =
                L"error " + std::to_wstring(error.Number()) + L" (" + error.Source() + L"): " + error.Description();
        };
        try {
            form_ = Form1::Create(GetModuleHandleW(nullptr), 0, keep);
            ShowWindow(form_->Window(), SW_SHOWNOACTIVATE);
            UpdateWindow(form_->Window());
            PumpMessages();
        } catch (const NumberedError& error) {
            lastError_ =
                L"Form1 could not be created: error " + std::to_wstring(error.Number()) + L": " + error.Description();
        }
    }
    HostedForm(const HostedForm&) = delete;
    HostedForm& operator=(const HostedForm&) = delete;
    ~HostedForm() {
        form_.reset();
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }  // the WM_QUIT a closed form leaves
        if (ole_) OleUninitialize();
    }

    // The window is up and no command has failed.
    bool Healthy() const { return form_ && IsWindow(form_->Window()) && lastError_.empty(); }
    // Says why on stderr when not healthy.
    bool Check(const char* section) const {
        if (Healthy()) return true;
        std::fprintf(stderr, "talvo_bench: %s: %s\n", section,
                     Narrow(lastError_.empty() ? std::wstring(L"the window went away") : lastError_).c_str());
        return false;
    }

    Form1& form() { return *form_; }

private:
    bool ole_ = false;
    std::unique_ptr<Form1> form_;
    std::wstring lastError_;
};

}  // namespace bench
