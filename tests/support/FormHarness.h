#pragma once
// Form1 in the test's own process: OLE for the test, the window's texts, and what the window
// showed when an error reached the top level (the reporter the tests hand Form1::Create).
#include <gtest/gtest.h>
#include <windows.h>
#include <ole2.h>

#include <memory>
#include <string>
#include <vector>

#include "ControlIds.h"
#include "Form1.h"
#include "Watchdog.h"
#include "WindowText.h"

inline std::wstring TextOf(HWND window) { return WindowText(window); }

// What the window showed when an error reached the top level.
struct Report {
    long number = 0;
    std::wstring source, description, caption;
    std::wstring labels[4];

    static Report Of(HWND form, const NumberedError& error) {
        Report report{error.Number(), error.Source(), error.Description(), TextOf(form), {}};
        for (int i = 0; i < 4; ++i) report.labels[i] = TextOf(GetDlgItem(form, IDC_LABEL2 + i));
        return report;
    }
};

class FormHarness : public testing::Test {
protected:
    // The program's ending is recorded, not carried out: the test process goes on.
    void SetUp() override {
        ended_ = 0;
        ending_ = watchdog::SetEnding([](UINT code) { ended_ = code; });
        ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
    }
    void TearDown() override {
        form_.reset();
        DrainMessages();
        OleUninitialize();
        watchdog::SetEnding(ending_);
    }

    // A fresh window at 96 dpi whose reports land in reports_.
    Form1& Open() {
        form_ = Form1::Create(GetModuleHandleW(nullptr), 96, Recorder());
        ShowWindow(form_->Window(), SW_SHOWNOACTIVATE);
        return *form_;
    }
    ErrorReporter Recorder() {
        return [this](HWND form, const NumberedError& error) { reports_.push_back(Report::Of(form, error)); };
    }
    // Dispatches what is queued, the WM_QUIT a closed form leaves included; returns its code.
    static std::optional<WPARAM> DrainMessages() {
        std::optional<WPARAM> quit;
        MSG msg{};
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT)
                quit = msg.wParam;
            else
                DispatchMessageW(&msg);
        }
        return quit;
    }

    void PressGet() { SendMessageW(form_->Control(IDC_COMMAND1), BM_CLICK, 0, 0); }
    std::wstring Label(int id) const { return TextOf(form_->Control(static_cast<ControlId>(id))); }
    std::wstring Caption() const { return TextOf(form_->Window()); }

    std::unique_ptr<Form1> form_;
    std::vector<Report> reports_;
    static inline volatile UINT ended_ = 0;  // the exit code the program would have ended with
    watchdog::Ending ending_ = nullptr;
};
