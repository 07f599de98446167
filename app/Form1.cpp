#include "Form1.h"

#include <commctrl.h>

#include <string>

#include "Clipboard.h"
#include "ControlDiagnosis.h"
#include "ProcessListCommand.h"
#include "ScreenDpi.h"
#include "WindowText.h"

namespace {

constexpr wchar_t kHostClassName[] = L"TalvoControlHost";

// The window's controls, in tab order; positions and sizes in twips.
constexpr ControlRow kControls[] = {
    {IDC_VBFUNZIONI1, L"VbFunzioni1", ControlKind::FunctionControl, L"", 360, 240, 5175, 1095},
    {IDC_LABEL2, L"Label2", ControlKind::Label, L"Label2", 360, 600, 11175, 255},
    {IDC_LABEL3, L"Label3", ControlKind::Label, L"Label3", 360, 1080, 11175, 255},
    {IDC_LABEL4, L"Label4", ControlKind::Label, L"Label4", 360, 1560, 11175, 255},
    {IDC_LABEL5, L"Label5", ControlKind::Label, L"Label5", 360, 2040, 11175, 255},
    {IDC_COMMAND1, L"Command1", ControlKind::CommandButton, L"Get", 360, 2400, 735, 495},
    {IDC_LIST1, L"List1", ControlKind::ListBox, L"", 480, 3600, 5775, 3960},
    {IDC_COMMAND2, L"Command2", ControlKind::CommandButton, L"Command2", 600, 7800, 975, 255},
};

struct WindowKind {
    const wchar_t* className;
    DWORD style;
    DWORD exStyle;
};

WindowKind KindOf(ControlKind kind) {
    switch (kind) {
        case ControlKind::FunctionControl:
            // Below the labels it shares its area with, and clipped by them.
            return {kHostClassName, WS_TABSTOP | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0};
        case ControlKind::Label:
            // Answers are shown as they come: no '&' mnemonics, one line.
            return {WC_STATICW, SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0};
        case ControlKind::CommandButton:
            return {WC_BUTTONW, WS_TABSTOP | BS_PUSHBUTTON, 0};
        case ControlKind::ListBox:
            return {WC_LISTBOXW, WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_HASSTRINGS | LBS_NOINTEGRALHEIGHT,
                    WS_EX_CLIENTEDGE};
    }
    return {WC_STATICW, 0, 0};
}

void RegisterClasses(HINSTANCE instance, WNDPROC formProc) {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof(existing);
    if (GetClassInfoExW(instance, kForm1ClassName, &existing)) return;

    WNDCLASSEXW form{};
    form.cbSize = sizeof(form);
    form.style = CS_HREDRAW | CS_VREDRAW;
    form.lpfnWndProc = formProc;
    form.hInstance = instance;
    form.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    // Shared: the system owns the icons for as long as the module, and the class, live.
    form.hIconSm =
        static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                      GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    form.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    form.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    form.lpszClassName = kForm1ClassName;
    if (!RegisterClassExW(&form)) ThrowLastError(kProgramSource);

    WNDCLASSEXW host{};
    host.cbSize = sizeof(host);
    host.lpfnWndProc = &HostedControl::HostWindowProc;
    host.hInstance = instance;
    host.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    host.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    host.lpszClassName = kHostClassName;
    if (!RegisterClassExW(&host)) ThrowLastError(kProgramSource);
}

// The dialog font at 8 points, the size the twips layout was drawn for, at the window's DPI.
HFONT CreateFormFont(int dpi) {
    LOGFONTW font{};
    font.lfHeight = -MulDiv(8, dpi, 72);
    font.lfWeight = FW_NORMAL;
    font.lfCharSet = DEFAULT_CHARSET;
    font.lfQuality = DEFAULT_QUALITY;
    wcscpy_s(font.lfFaceName, L"MS Shell Dlg 2");
    return CreateFontIndirectW(&font);
}

}  // namespace

std::span<const ControlRow> Form1Controls() { return kControls; }

std::unique_ptr<Form1> Form1::Create(HINSTANCE instance, int dpi, ErrorReporter reporter) {
    RegisterClasses(instance, &Form1::WindowProc);

    std::unique_ptr<Form1> form(new Form1());
    form->dpi_ = dpi > 0 ? dpi : ScreenDpi();
    form->reporter_ = std::move(reporter);

    constexpr DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
    RECT frame{0, 0, TwipsToPixels(kForm1ClientWidthTwips, form->dpi_),
               TwipsToPixels(kForm1ClientHeightTwips, form->dpi_)};
    AdjustWindowRectEx(&frame, style, FALSE, 0);
    if (!CreateWindowExW(0, kForm1ClassName, kForm1Caption, style, CW_USEDEFAULT, CW_USEDEFAULT,
                         frame.right - frame.left, frame.bottom - frame.top, nullptr, nullptr, instance, form.get()))
        ThrowLastError(kProgramSource);

    const LONG crashes = ControlCalls::Crashes();
    try {
        form->CreateControls(instance);
    } catch (...) {
        // Before the window goes: destroying it would run the crashed control's code.
        if (ControlCalls::Crashes() != crashes) watchdog::ReportCrashAndEnd(form->reporter_, nullptr, CaughtError());
        throw;
    }
    // The report is offered where it changes neither the layout nor the client area.
    if (HMENU system = GetSystemMenu(form->window_, FALSE)) {
        AppendMenuW(system, MF_SEPARATOR, 0, nullptr);
        AppendMenuW(system, MF_STRING, kSysCopyReport, L"Copy report\tCtrl+C");
    }
    // Only a window that came up whole ends the message loop when it goes; a half-made one
    // must not leave a WM_QUIT behind to swallow the report of why it failed.
    form->quitOnDestroy_ = true;
    return form;
}

Form1::~Form1() {
    if (window_) DestroyWindow(window_);
}

HWND Form1::Control(ControlId id) const noexcept {
    static_assert(std::size(kControls) == std::size(decltype(children_){}));
    for (size_t i = 0; i < std::size(kControls); ++i)
        if (kControls[i].id == id) return window_ ? children_[i] : nullptr;
    return nullptr;
}

void Form1::CreateControls(HINSTANCE instance) {
    font_.reset(CreateFormFont(dpi_));
    for (size_t i = 0; i < std::size(kControls); ++i) {
        const ControlRow& row = kControls[i];
        const WindowKind kind = KindOf(row.kind);
        HWND child = CreateWindowExW(kind.exStyle, kind.className, row.caption, WS_CHILD | WS_VISIBLE | kind.style,
                                     TwipsToPixels(row.left, dpi_), TwipsToPixels(row.top, dpi_),
                                     TwipsToPixels(row.width, dpi_), TwipsToPixels(row.height, dpi_), window_,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), instance, nullptr);
        if (!child) ThrowLastError(kProgramSource);
        children_[i] = child;
        if (font_) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), FALSE);
        if (row.kind == ControlKind::FunctionControl) {
            const ControlPlacement placement{kFunctionControlProgId,
                                             kFunctionControlExtent,
                                             row.name,
                                             row.left,
                                             row.top,
                                             row.width,
                                             row.height,
                                             static_cast<int>(i),
                                             static_cast<HFONT>(font_.get()),
                                             dpi_,
                                             L"Form1"};
            vbFunzioni1_ = std::make_unique<HostedControl>(child, placement);
        }
    }
    // The read-outs lie over the function control's area: keep them on top so they stay
    // readable. Labels take no focus, so the tab order is unchanged.
    for (const ControlRow& row : kControls)
        if (row.kind == ControlKind::Label)
            SetWindowPos(Control(row.id), HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
}

// The command's own reference: the control lives until the command is done. A control
// without a dispatch interface has none of the members the command asks for.
ControlPtr<IDispatch> Form1::FunctionControl() const {
    if (!vbFunzioni1_) return {};
    if (ControlPtr<IDispatch> control = vbFunzioni1_->HoldDispatch()) return control;
    throw NumberedError(errnum::NoSuchMember, kFunctionControlProgId,
                        L"Object doesn't support this property or method");
}

ReadoutWindow Form1::ReadoutTargets() const noexcept {
    return {window_, Control(IDC_LABEL2), Control(IDC_LABEL3), Control(IDC_LABEL4), Control(IDC_LABEL5)};
}

// The program ends after its first report: one report per run, and its code is the exit code.
// After a crash it ends right there: a fault may have left a lock held or the heap damaged, and
// closing the window, uninitialising OLE or exiting would run the control's code again.
// A crash is reported even after another error: the program must still end without running
// the control's code again.
void Form1::Report(HWND owner, const NumberedError& error, bool crashed) noexcept {
    if (reported_ && !crashed) return;
    reported_ = true;
    exitCode_ = ExitCodeFor(error);
    if (crashed)
        watchdog::ReportCrashAndEnd(reporter_, owner, error);
    else
        ReportError(reporter_, owner, error);
}

void Form1::ReportAndClose(const NumberedError& error) noexcept {
    Report(window_, error, true);
    if (window_) DestroyWindow(window_);
}

// The boundary of a click handler: an error raised inside a command is reported and ends
// the program; nothing crosses into the window procedure. A command runs alone: a control
// that runs a message loop inside a call brings clicks and a close here before it returns.
template <typename Command>
void Form1::RunCommand(Command command) noexcept {
    if (busy_) return;
    busy_ = true;
    std::optional<NumberedError> error;
    try {
        command();
    } catch (...) {
        try {
            error = CaughtError();
        } catch (...) {
            error.emplace(errnum::OutOfMemory, kProgramSource, L"Out of memory");
        }
    }
    // A crash of the control not thrown yet (letting go of an answer, or inside its last call)
    // outweighs what the command made of it: the control is gone.
    if (vbFunzioni1_) {
        if (std::optional<NumberedError> fault = vbFunzioni1_->TakeFault()) error = std::move(fault);
    }
    if (error) Report(window_, *error, vbFunzioni1_ && vbFunzioni1_->Crashed());
    busy_ = false;
    if (error || closePending_) {
        if (window_) DestroyWindow(window_);
    }
    // Destroyed under the command by someone else: the control outlived its call, now it goes,
    // and only now may the message loop end (a WM_QUIT would have closed the report unseen).
    if (window_ == nullptr && vbFunzioni1_) {
        TearDownControl();
        if (quitOnDestroy_) PostQuitMessage(exitCode_);
    }
}

void Form1::Describe(Findings& findings) const {
    // The registration is the caller's to read: a stuck control may hold the loader's lock.
    if (!findings.control) findings.control = ControlNamed(kFunctionControlProgId);
    findings.control->created = vbFunzioni1_ != nullptr;
    if (vbFunzioni1_) findings.control->createMs = vbFunzioni1_->CreationMs();
    findings.calls = lastPress_.calls;
    if (window_ == nullptr) return;
    for (int i = 0; i < 4; ++i) findings.labels[i] = UnsentWindowText(Control(static_cast<ControlId>(IDC_LABEL2 + i)));
    findings.caption = UnsentWindowText(window_);
    if (GetWindowThreadProcessId(window_, nullptr) == GetCurrentThreadId())
        findings.listItems = SendMessageW(Control(IDC_LIST1), LB_GETCOUNT, 0, 0);
}

void Form1::CopyReport() noexcept {
    try {
        Findings findings;
        StampFindings(findings);
        findings.control = RegisteredFacts(kFunctionControlProgId);
        Describe(findings);
        findings.machine = ReadMachineFacts();
        CopyToClipboard(window_, FindingsText(findings));
    } catch (...) {
        // Not a command: a report that did not reach the clipboard is said, and the program goes on.
        try {
            const NumberedError error = CaughtError();
            MessageBoxW(window_, error.Description().c_str(), kProgramName, MB_OK | MB_ICONWARNING);
        } catch (...) {
        }
    }
}

void Form1::TearDownControl() noexcept {
    if (!vbFunzioni1_) return;
    const std::unique_ptr<HostedControl> control = std::move(vbFunzioni1_);
    control->Close();
    // A crash in the control's teardown is still a crash: reported, and a non-zero exit.
    if (const std::optional<NumberedError> fault = control->TakeFault()) Report(nullptr, *fault, true);
}

bool Form1::PreTranslateMessage(MSG& message) noexcept {
    if (window_ == nullptr) return false;
    if (vbFunzioni1_ && vbFunzioni1_->TranslateAccelerator(message)) return true;
    // Ctrl+C copies the report, unless the control has the focus: then the key is its own.
    if (message.message == WM_KEYDOWN && message.wParam == 'C' && GetKeyState(VK_CONTROL) < 0 &&
        GetKeyState(VK_MENU) >= 0) {
        HWND host = Control(IDC_VBFUNZIONI1);
        if (message.hwnd != host && !IsChild(host, message.hwnd)) {
            CopyReport();
            return true;
        }
    }
    return IsDialogMessageW(window_, &message) != FALSE;
}

void Form1::AfterMessage() noexcept {
    if (!vbFunzioni1_ || busy_) return;
    vbFunzioni1_->CheckFocus();
    if (const std::optional<NumberedError> fault = vbFunzioni1_->TakeFault()) ReportAndClose(*fault);
}

LRESULT CALLBACK Form1::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Form1* self;
    if (message == WM_NCCREATE) {
        self = static_cast<Form1*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    } else {
        self = reinterpret_cast<Form1*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    }
    if (self == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    return self->HandleMessage(message, wParam, lParam);
}

LRESULT Form1::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    HWND window = window_;
    switch (message) {
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) {
                switch (LOWORD(wParam)) {
                    case IDC_COMMAND1:
                        RunCommand([this] { ReadoutCommand(FunctionControl(), ReadoutTargets(), lastPress_); });
                        return 0;
                    case IDC_COMMAND2:
                        RunCommand([this] { ProcessListCommand(Control(IDC_LIST1)); });
                        return 0;
                }
            }
            break;

        // Keep the keyboard focus where the user left it when the window comes back.
        case WM_ACTIVATE:
            if (LOWORD(wParam) == WA_INACTIVE) {
                HWND focus = GetFocus();
                if (focus && IsChild(window_, focus)) lastFocus_ = focus;
            }
            break;
        case WM_SETFOCUS: {
            HWND target = lastFocus_ && IsWindow(lastFocus_) ? lastFocus_ : GetNextDlgTabItem(window_, nullptr, FALSE);
            if (target) SetFocus(target);
            return 0;
        }

        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == kSysCopyReport) {
                CopyReport();
                return 0;
            }
            break;

        // Closing waits for a running command: the control may be inside a call.
        case WM_CLOSE:
            if (busy_) {
                closePending_ = true;
                return 0;
            }
            break;

        case WM_DESTROY:
            if (busy_) return 0;  // RunCommand finishes the job once the call returned
            TearDownControl();
            if (quitOnDestroy_) PostQuitMessage(exitCode_);
            return 0;
        case WM_NCDESTROY:
            SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
            window_ = nullptr;
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

int RunMessageLoop(Form1& form) {
    MSG msg{};
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0) return static_cast<int>(msg.wParam);
        if (got == -1) return 1;
        if (!form.PreTranslateMessage(msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        form.AfterMessage();
    }
}
