#pragma once
// The built program, started as its own process and driven from outside by messages, as a
// user's clicks would reach it.
#include <windows.h>

#include <optional>
#include <string>

#include "Unique.h"

// The program run with arguments until it ends by itself, its standard output a pipe: the exit
// code (none when it had to be ended), what it wrote, and whether a window of it was ever seen
// visible meanwhile.
struct FinishedRun {
    std::optional<DWORD> exitCode;
    std::string output;
    bool windowShown = false;
};
FinishedRun RunToEnd(const std::wstring& arguments, DWORD timeoutMs = 60000);

class RunningApp {
public:
    // Starts the program, by default "Test OCX TALVO.exe" from the folder of the running test
    // program; it inherits this process's environment (and so the control's scripting).
    explicit RunningApp(const std::wstring& program = ProgramPath());
    RunningApp(const RunningApp&) = delete;
    RunningApp& operator=(const RunningApp&) = delete;
    // A program still running at the end of a test is ended: it is ours.
    ~RunningApp();

    static std::wstring ProgramPath();

    // The program's main window, waited for (bounded); null when it never came.
    HWND WaitForForm(DWORD timeoutMs = 30000);
    // A message box of the program, waited for (bounded); null when none came.
    HWND WaitForMessageBox(DWORD timeoutMs = 30000);

    // Presses a button and returns once its click handler has run.
    bool Press(int controlId);
    // Presses a button without waiting for its handler (which may block on a message box).
    bool PostPress(int controlId);

    std::wstring Text(HWND window) const;
    std::wstring Text(int controlId) const { return Text(Child(controlId)); }
    HWND Child(int controlId) const { return GetDlgItem(form_, controlId); }
    HWND Form() const { return form_; }
    DWORD ProcessId() const { return processId_; }
    HANDLE Process() const { return process_.get(); }

    // Closes the window as the user would; the exit code, or nothing when it did not end.
    std::optional<DWORD> Close(DWORD timeoutMs = 30000);
    // Waits for the program to end by itself.
    std::optional<DWORD> WaitForExit(DWORD timeoutMs = 30000);

private:
    HWND FindWindowOf(const wchar_t* className, const wchar_t* caption) const;

    unique_handle process_;
    DWORD processId_ = 0;
    HWND form_ = nullptr;
};

// The text of a message box: its caption and its message.
std::wstring MessageBoxText(HWND box);

// The Unicode text act puts on the clipboard; nothing when none came.
template <typename Act>
inline std::optional<std::wstring> Copied(Act act) {
    const DWORD before = GetClipboardSequenceNumber();
    if (!act()) return std::nullopt;
    for (int waited = 0; waited <= 5000; waited += 20, Sleep(20)) {
        if (GetClipboardSequenceNumber() == before || !IsClipboardFormatAvailable(CF_UNICODETEXT) ||
            !OpenClipboard(nullptr))
            continue;
        std::optional<std::wstring> text;
        HANDLE data = GetClipboardData(CF_UNICODETEXT);
        if (const auto* chars = data ? static_cast<const wchar_t*>(GlobalLock(data)) : nullptr) {
            text.emplace(chars, wcsnlen(chars, GlobalSize(data) / sizeof(wchar_t)));
            GlobalUnlock(data);
        }
        CloseClipboard();
        if (text) return text;
    }
    return std::nullopt;
}

// Ctrl+C typed into the window in the foreground, as a user's keyboard would.
inline bool TypeCtrlC(HWND window) {
    SetForegroundWindow(window);
    for (int waited = 0; GetForegroundWindow() != window; waited += 20, Sleep(20))
        if (waited > 2000) return false;
    INPUT keys[4] = {};  // Ctrl down, C down, C up, Ctrl up
    for (int i = 0; i < 4; ++i) {
        keys[i].type = INPUT_KEYBOARD;
        keys[i].ki.wVk = i == 1 || i == 2 ? 'C' : VK_CONTROL;
        keys[i].ki.dwFlags = i < 2 ? 0 : KEYEVENTF_KEYUP;
    }
    return SendInput(4, keys, sizeof(INPUT)) == 4;
}
