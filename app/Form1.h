#pragma once
// Form1: the program's one window, its controls from one table, and the hosted function
// control VbFunzioni1.
#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <optional>
#include <span>

#include "ControlIds.h"
#include "Findings.h"
#include "HostedControl.h"
#include "Program.h"
#include "Readout.h"
#include "TopLevelReport.h"
#include "Unique.h"

enum class ControlKind { FunctionControl, Label, CommandButton, ListBox };

// One row of the control table: position and size in twips.
struct ControlRow {
    ControlId id;
    const wchar_t* name;
    ControlKind kind;
    const wchar_t* caption;
    int left, top, width, height;
};

std::span<const ControlRow> Form1Controls();

inline constexpr int kForm1ClientWidthTwips = 11910;
inline constexpr int kForm1ClientHeightTwips = 3000;
// The control's persisted extent, HIMETRIC (the same 5175 x 1095 twips as its table row).
inline constexpr SIZEL kFunctionControlExtent = {9128, 1931};

inline int TwipsToPixels(int twips, int dpi) { return MulDiv(twips, dpi, 1440); }

class Form1 {
public:
    // Creates the window with every control of the table and the function control active
    // in place. Throws NumberedError when the function control cannot be created. An error
    // that ends a command goes to reporter (the message box when there is none), then the
    // window closes and the message loop ends with a non-zero code.
    static std::unique_ptr<Form1> Create(HINSTANCE instance, int dpi = 0, ErrorReporter reporter = {});
    ~Form1();
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    HWND Window() const noexcept { return window_; }

    // The message loop's part: keystrokes for the hosted control and dialog navigation first;
    // after each message, focus and faults of the control are looked after.
    bool PreTranslateMessage(MSG& message) noexcept;
    void AfterMessage() noexcept;
    // Kept from creation: looking a child up by id asks the window manager every time.
    HWND Control(ControlId id) const noexcept;
    int Dpi() const noexcept { return dpi_; }

    // What the window shows and the control answered in the last press. Any thread may ask:
    // texts are read without a message to the window, whose thread may be inside a call.
    // List1 is counted on the window's own thread only. The control's registration is left to
    // the caller (Findings::control, if already there, keeps it).
    void Describe(Findings& findings) const;
    const PressRecord& LastPress() const noexcept { return lastPress_; }

    // The function control's dispatch; null once the window is gone.
    IDispatch* VbFunzioni1() const noexcept { return vbFunzioni1_ ? vbFunzioni1_->Dispatch() : nullptr; }

private:
    Form1() = default;
    static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls(HINSTANCE instance);
    ControlPtr<IDispatch> FunctionControl() const;
    ReadoutWindow ReadoutTargets() const noexcept;
    template <typename Command>
    void RunCommand(Command command) noexcept;
    void Report(HWND owner, const NumberedError& error, bool crashed) noexcept;
    void ReportAndClose(const NumberedError& error) noexcept;
    void TearDownControl() noexcept;
    void CopyReport() noexcept;

    HWND window_ = nullptr;
    HWND children_[8] = {};  // in the order of the control table
    HWND lastFocus_ = nullptr;
    int dpi_ = 96;
    int exitCode_ = 0;
    bool quitOnDestroy_ = false;
    bool busy_ = false;          // a command is running
    bool reported_ = false;      // an error was reported: the program is ending
    bool closePending_ = false;  // the user closed the window meanwhile
    PressRecord lastPress_;
    ErrorReporter reporter_;
    unique_hgdiobj font_;
    std::unique_ptr<HostedControl> vbFunzioni1_;
};

// Runs the message loop with dialog keyboard handling (Tab, Shift+Tab) for the window;
// returns the exit code carried by WM_QUIT.
int RunMessageLoop(Form1& form);
