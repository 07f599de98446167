#pragma once
// Form1: the program's one window, its controls from one table, and the hosted function
// control VbFunzioni1.
#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <memory>
#include <span>
#include <string_view>

#include "ControlIds.h"
#include "NumberedError.h"
#include "Unique.h"

class OleSite;

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
inline constexpr wchar_t kFunctionControlProgId[] = L"TALVO_VB6.VbFunzioni";
// The control's persisted extent, HIMETRIC (the same 5175 x 1095 twips as its table row).
inline constexpr SIZEL kFunctionControlExtent = {9128, 1931};

inline int TwipsToPixels(int twips, int dpi) { return MulDiv(twips, dpi, 1440); }

// What happens to an error that reaches the top level: reported, then the program ends.
// Tests replace it so that no message box blocks them.
using TopLevelHandler = std::function<void(HWND form, const NumberedError& error)>;

class Form1 {
public:
    // Creates the window with every control of the table and the function control active
    // in place. Throws NumberedError when the function control cannot be created.
    static std::unique_ptr<Form1> Create(HINSTANCE instance, int dpi = 0);
    ~Form1();
    Form1(const Form1&) = delete;
    Form1& operator=(const Form1&) = delete;

    HWND Window() const noexcept { return window_; }
    // Kept from creation: looking a child up by id asks the window manager every time.
    HWND Control(ControlId id) const noexcept;
    int Dpi() const noexcept { return dpi_; }

    // What the commands use.
    IDispatch* VbFunzioni1() const noexcept { return control_.get(); }
    void SetLabel(ControlId label, std::wstring_view text);
    void SetCaption(std::wstring_view text);

    static void SetTopLevelHandler(TopLevelHandler handler);
    static void ReportAndEnd(HWND form, const NumberedError& error);

private:
    Form1() = default;
    static LRESULT CALLBACK WindowProc(HWND, UINT, WPARAM, LPARAM);
    LRESULT HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls(HINSTANCE instance);
    void CreateFunctionControl(HWND host);
    void DestroyFunctionControl() noexcept;
    template <typename Command>
    void RunCommand(Command command) noexcept;

    HWND window_ = nullptr;
    HWND children_[8] = {};  // in the order of the control table
    HWND lastFocus_ = nullptr;
    int dpi_ = 96;
    int exitCode_ = 0;
    bool quitOnDestroy_ = false;
    unique_hgdiobj font_;
    com_ptr<OleSite> site_;
    com_ptr<IDispatch> control_;
};

// Runs the message loop with dialog keyboard handling (Tab, Shift+Tab) for the window;
// returns the exit code carried by WM_QUIT.
int RunMessageLoop(HWND window);
