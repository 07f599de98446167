#pragma once
// The built program, started as its own process and driven from outside by messages, as a
// user's clicks would reach it.
#include <windows.h>

#include <optional>
#include <string>

#include "Unique.h"

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
