#pragma once
// A plain-text report of what the window shows and what the control is, for the technician
// to paste into a message: Ctrl+C in the window, or "Copy report" in its system menu. It goes
// to the clipboard only; nothing is written to disk.
#include <windows.h>

#include <string>
#include <vector>

struct RegisteredControl;

// What the window shows, as the report gives it.
struct ShownTexts {
    std::wstring labels[4];
    std::wstring caption;
    LRESULT listItems = 0;
    // How long the control took: its creation, then each member of the last press.
    struct Timing {
        std::wstring what;
        double ms;
    };
    std::vector<Timing> timings;
};

std::wstring ComposeReport(const ShownTexts& shown, std::wstring_view progId, const RegisteredControl& control,
                           const SYSTEMTIME& at);
