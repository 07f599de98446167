// talvo_bench_bare_control: the start-up benchmark's like-for-like yardstick. Form1's window
// and children from the same table, and the function control created, sited and activated
// with the bare calls: CoCreateInstance, SetClientSite with a minimal site, InitNew,
// SetExtent and DoVerb. The window shows only once the control is active in place; when it
// cannot be, the program ends with 1 and never shows, which the benchmark counts as a failure.
// Built with TALVO_BARE_CHECK it is the /check run's yardstick, talvo_bench_bare_check: the
// window is never shown, and the program makes that run's calls once and ends.
#include <windows.h>
#include <commctrl.h>
#include <ole2.h>
#include <ocidl.h>

#ifdef TALVO_BARE_CHECK
#include "BareCheck.h"
#endif
#include "Form1.h"
#include "FormClass.h"
#include "ScreenDpi.h"
#include "Unique.h"

namespace {

constexpr wchar_t kClassName[] = L"TalvoBenchBareControl";
constexpr wchar_t kHostClassName[] = L"TalvoBenchBareHost";

// Only what the stand-in asks for to go in place: no frame, no ambients, no control site.
class MinimalSite final : public IOleClientSite, public IOleInPlaceSite {
public:
    explicit MinimalSite(HWND host) : host_(host) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IOleClientSite)
            *ppv = static_cast<IOleClientSite*>(this);
        else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceSite)
            *ppv = static_cast<IOleInPlaceSite*>(this);
        else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    // Lives on wWinMain's stack, past every reference the control holds.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP SaveObject() override { return S_OK; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** ppmk) override {
        if (ppmk) *ppmk = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetContainer(IOleContainer** ppContainer) override {
        if (ppContainer) *ppContainer = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

    STDMETHODIMP GetWindow(HWND* phwnd) override {
        if (phwnd == nullptr) return E_POINTER;
        *phwnd = host_;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP CanInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnInPlaceActivate() override { return S_OK; }
    STDMETHODIMP OnUIActivate() override { return S_OK; }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** ppFrame, IOleInPlaceUIWindow** ppDoc, LPRECT lprcPosRect,
                                  LPRECT lprcClipRect, LPOLEINPLACEFRAMEINFO) override {
        if (ppFrame == nullptr || ppDoc == nullptr || lprcPosRect == nullptr || lprcClipRect == nullptr)
            return E_POINTER;
        *ppFrame = nullptr;
        *ppDoc = nullptr;
        GetClientRect(host_, lprcPosRect);
        *lprcClipRect = *lprcPosRect;
        return S_OK;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override { return S_OK; }
    STDMETHODIMP OnInPlaceDeactivate() override { return S_OK; }
    STDMETHODIMP DiscardUndoState() override { return E_NOTIMPL; }
    STDMETHODIMP DeactivateAndUndo() override { return E_NOTIMPL; }
    STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

private:
    HWND host_;
};

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

bool RegisterClasses(HINSTANCE instance) {
    if (!bench::RegisterFormClass(instance, kClassName, WindowProc)) return false;

    WNDCLASSEXW host{};
    host.cbSize = sizeof(host);
    host.lpfnWndProc = DefWindowProcW;
    host.hInstance = instance;
    host.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    host.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
    host.lpszClassName = kHostClassName;
    return RegisterClassExW(&host) != 0;
}

// The children Form1 makes from its table, with the classes and styles it gives them;
// returns the function control's host.
HWND CreateChildren(HINSTANCE instance, HWND window, HFONT font, int dpi) {
    HWND host = nullptr;
    for (const ControlRow& row : Form1Controls()) {
        const wchar_t* className = WC_STATICW;
        DWORD style = SS_LEFTNOWORDWRAP | SS_NOPREFIX;
        DWORD exStyle = 0;
        switch (row.kind) {
            case ControlKind::FunctionControl:
                className = kHostClassName;
                style = WS_TABSTOP | WS_CLIPCHILDREN | WS_CLIPSIBLINGS;
                break;
            case ControlKind::Label:
                break;
            case ControlKind::CommandButton:
                className = WC_BUTTONW;
                style = WS_TABSTOP | BS_PUSHBUTTON;
                break;
            case ControlKind::ListBox:
                className = WC_LISTBOXW;
                style = WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_HASSTRINGS | LBS_NOINTEGRALHEIGHT;
                exStyle = WS_EX_CLIENTEDGE;
                break;
        }
        HWND child = CreateWindowExW(exStyle, className, row.caption, WS_CHILD | WS_VISIBLE | style,
                                     TwipsToPixels(row.left, dpi), TwipsToPixels(row.top, dpi),
                                     TwipsToPixels(row.width, dpi), TwipsToPixels(row.height, dpi), window,
                                     reinterpret_cast<HMENU>(static_cast<INT_PTR>(row.id)), instance, nullptr);
        if (!child) return nullptr;
        SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        if (row.kind == ControlKind::FunctionControl) host = child;
    }
    return host;
}

bool Embed(IOleObject* object, MinimalSite& site, HWND host) {
    SIZEL extent = kFunctionControlExtent;
    if (FAILED(object->SetClientSite(&site))) return false;
    com_ptr<IPersistPropertyBag> bag = com_ptr<IOleObject>(object).try_query<IPersistPropertyBag>();
    if (!bag || FAILED(bag->InitNew())) return false;
    if (FAILED(object->SetExtent(DVASPECT_CONTENT, &extent))) return false;
    RECT rect{};
    GetClientRect(host, &rect);
    return SUCCEEDED(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &site, 0, host, &rect));
}

int Run(HINSTANCE instance, int show) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);
    if (!RegisterClasses(instance)) return 1;

    const int dpi = ScreenDpi();
    constexpr DWORD style = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
    RECT frame{0, 0, TwipsToPixels(kForm1ClientWidthTwips, dpi), TwipsToPixels(kForm1ClientHeightTwips, dpi)};
    AdjustWindowRectEx(&frame, style, FALSE, 0);
    unique_hwnd window(CreateWindowExW(0, kClassName, L"Bare window with the control", style, CW_USEDEFAULT,
                                       CW_USEDEFAULT, frame.right - frame.left, frame.bottom - frame.top, nullptr,
                                       nullptr, instance, nullptr));
    if (!window) return 1;

    LOGFONTW logFont{};
    logFont.lfHeight = -MulDiv(8, dpi, 72);
    logFont.lfWeight = FW_NORMAL;
    logFont.lfCharSet = DEFAULT_CHARSET;
    wcscpy_s(logFont.lfFaceName, L"MS Shell Dlg 2");
    const unique_hgdiobj font(CreateFontIndirectW(&logFont));
    HWND host = CreateChildren(instance, window.get(), static_cast<HFONT>(font.get()), dpi);
    if (!host) return 1;

    MinimalSite site(host);  // before the control, which may hold it until its last release
    CLSID clsid{};
    com_ptr<IOleObject> object;
    if (FAILED(CLSIDFromProgID(kFunctionControlProgId, &clsid)) ||
        FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject, object.put_void())))
        return 1;
    int code = 1;
#ifdef TALVO_BARE_CHECK
    (void)show;
    if (Embed(object.get(), site, host)) code = RunBareCheck(object.get());
#else
    if (Embed(object.get(), site, host)) {
        for (const ControlRow& row : Form1Controls())
            if (row.kind == ControlKind::Label)
                SetWindowPos(GetDlgItem(window.get(), row.id), HWND_TOP, 0, 0, 0, 0,
                             SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        ShowWindow(window.get(), show);
        UpdateWindow(window.get());
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        window.release();  // destroyed by the close that ended the loop
        code = static_cast<int>(msg.wParam);
    }
#endif
    if (com_ptr<IOleInPlaceObject> inPlace = object.try_query<IOleInPlaceObject>()) inPlace->InPlaceDeactivate();
    object->Close(OLECLOSE_NOSAVE);
    object->SetClientSite(nullptr);
    return code;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
    if (FAILED(OleInitialize(nullptr))) return 1;
    const int code = Run(instance, show);
    OleUninitialize();
    return code;
}
