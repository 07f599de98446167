#pragma once
// What the stand-in tests share: a COM apartment, the control made from its ProgID, one
// Invoke with its outputs owned, and a minimal OLE container (window + site).
#include <windows.h>
#include <ole2.h>
#include <ocidl.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "Unique.h"

namespace standin_test {

inline constexpr CLSID Clsid = {0xCDD9DE31, 0xFF13, 0x4496, {0xBA, 0xD9, 0x9F, 0x41, 0x89, 0xD5, 0x12, 0x72}};
inline constexpr DISPID LocalIp = 0x60030001;
inline constexpr DISPID MacAddress = 0x60030002;
inline constexpr DISPID PelloraStatus = 0x60030005;
inline constexpr WORD MethodOrGet = DISPATCH_METHOD | DISPATCH_PROPERTYGET;

class OleApartment {
public:
    OleApartment() { EXPECT_EQ(OleInitialize(nullptr), S_OK); }
    ~OleApartment() { OleUninitialize(); }
    OleApartment(const OleApartment&) = delete;
    OleApartment& operator=(const OleApartment&) = delete;
};

// The control as any client gets it: ProgID -> CLSID -> CoCreateInstance.
inline com_ptr<IDispatch> CreateStandIn() {
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID(L"TALVO_VB6.VbFunzioni", &clsid), S_OK);
    com_ptr<IDispatch> control;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, control.put_void()), S_OK);
    return control;
}

// The folder of the test program, where the build puts the DLL too.
inline std::wstring StandInDllPath() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L'\\') + 1) + L"VbFunzioniStandIn.dll";
}

struct OwnedExcepInfo {
    EXCEPINFO info{};
    OwnedExcepInfo() = default;
    OwnedExcepInfo(const OwnedExcepInfo&) = delete;
    OwnedExcepInfo& operator=(const OwnedExcepInfo&) = delete;
    ~OwnedExcepInfo() {
        SysFreeString(info.bstrSource);
        SysFreeString(info.bstrDescription);
        SysFreeString(info.bstrHelpFile);
    }
};

// One Invoke with no arguments (or argCount empty ones).
struct Reply {
    HRESULT hr;
    unique_variant value;
    OwnedExcepInfo error;

    Reply(IDispatch* control, DISPID dispid, WORD flags = MethodOrGet, UINT argCount = 0) {
        std::vector<VARIANT> args(argCount);
        for (VARIANT& arg : args) VariantInit(&arg);
        DISPPARAMS params{args.empty() ? nullptr : args.data(), nullptr, argCount, 0};
        UINT argErr = 0;
        hr = control->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, value.get(), &error.info, &argErr);
    }
    std::wstring Text() const {
        if (value->vt != VT_BSTR) return L"<not a string>";
        return std::wstring(value->bstrVal, SysStringLen(value->bstrVal));
    }
};

// A top-level window to hold the control, destroyed with the test.
class ContainerWindow {
public:
    ContainerWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"StandInTestContainer";
        RegisterClassW(&wc);  // again in a later test of the same process: already there
        window_.reset(CreateWindowExW(0, wc.lpszClassName, L"container", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0,
                                      480, 320, nullptr, nullptr, wc.hInstance, nullptr));
        ShowWindow(window_.get(), SW_SHOWNOACTIVATE);
    }
    HWND get() const { return window_.get(); }

    std::vector<HWND> Children() const {
        std::vector<HWND> children;
        for (HWND child = GetWindow(window_.get(), GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
            children.push_back(child);
        return children;
    }

private:
    unique_hwnd window_;
};

// Client site and in-place site of the container. It lives on the stack and only counts its
// references, so a test can see that the control gave back every one it took. Optionally an
// IOleInPlaceSiteEx, an IOleControlSite (with an extender), an ambient IDispatch, and itself
// as the frame, whose references count with the site's.
class TestSite final : public IOleClientSite,
                       public IOleInPlaceSiteEx,
                       public IOleControlSite,
                       public IOleInPlaceFrame {
public:
    TestSite(HWND window, RECT position) : window_(window), position_(position) {}
    TestSite(const TestSite&) = delete;
    TestSite& operator=(const TestSite&) = delete;

    std::vector<std::string> calls;
    HRESULT canActivate = S_OK;
    HRESULT windowContext = S_OK;
    LONG references = 0;
    bool offersEx = false;
    bool offersControlSite = false;
    IDispatch* extender = nullptr;  // GetExtendedControl
    IDispatch* ambients = nullptr;  // what QueryInterface(IID_IDispatch) gives
    bool offersFrame = false;       // GetWindowContext; SetActiveObject is recorded in calls

    void SetPosition(const RECT& position) { position_ = position; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IOleClientSite) {
            *ppv = static_cast<IOleClientSite*>(this);
        } else if (riid == IID_IOleInPlaceSite || riid == IID_IOleWindow) {
            *ppv = static_cast<IOleInPlaceSite*>(this);
        } else if (riid == IID_IOleInPlaceSiteEx && offersEx) {
            *ppv = static_cast<IOleInPlaceSiteEx*>(this);
        } else if (riid == IID_IOleControlSite && offersControlSite) {
            *ppv = static_cast<IOleControlSite*>(this);
        } else if (riid == IID_IDispatch && ambients != nullptr) {
            return ambients->QueryInterface(riid, ppv);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++references); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--references); }

    // IOleClientSite
    STDMETHODIMP SaveObject() override { return S_OK; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
        *moniker = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetContainer(IOleContainer** container) override {
        *container = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }

    // IOleWindow / IOleInPlaceSite
    STDMETHODIMP GetWindow(HWND* window) override {
        calls.push_back("GetWindow");
        *window = window_;
        return S_OK;
    }
    STDMETHODIMP ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }
    STDMETHODIMP CanInPlaceActivate() override {
        calls.push_back("CanInPlaceActivate");
        return canActivate;
    }
    STDMETHODIMP OnInPlaceActivate() override {
        calls.push_back("OnInPlaceActivate");
        return S_OK;
    }
    STDMETHODIMP OnUIActivate() override {
        calls.push_back("OnUIActivate");
        return S_OK;
    }
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** frame, IOleInPlaceUIWindow** document, LPRECT position,
                                  LPRECT clip, LPOLEINPLACEFRAMEINFO) override {
        calls.push_back("GetWindowContext");
        *frame = offersFrame ? static_cast<IOleInPlaceFrame*>(this) : nullptr;
        if (*frame != nullptr) AddRef();
        *document = nullptr;
        *position = position_;
        *clip = position_;
        return windowContext;
    }
    STDMETHODIMP Scroll(SIZE) override { return E_NOTIMPL; }
    STDMETHODIMP OnUIDeactivate(BOOL) override {
        calls.push_back("OnUIDeactivate");
        return S_OK;
    }
    STDMETHODIMP OnInPlaceDeactivate() override {
        calls.push_back("OnInPlaceDeactivate");
        return S_OK;
    }
    STDMETHODIMP DiscardUndoState() override { return S_OK; }
    STDMETHODIMP DeactivateAndUndo() override { return S_OK; }
    STDMETHODIMP OnPosRectChange(LPCRECT) override { return S_OK; }

    // IOleInPlaceSiteEx
    STDMETHODIMP OnInPlaceActivateEx(BOOL* redraw, DWORD flags) override {
        calls.push_back("OnInPlaceActivateEx " + std::to_string(flags));
        if (redraw != nullptr) *redraw = FALSE;
        return S_OK;
    }
    STDMETHODIMP OnInPlaceDeactivateEx(BOOL noRedraw) override {
        calls.push_back("OnInPlaceDeactivateEx " + std::to_string(noRedraw));
        return S_OK;
    }
    STDMETHODIMP RequestUIActivate() override { return S_OK; }

    // IOleControlSite
    STDMETHODIMP OnControlInfoChanged() override { return S_OK; }
    STDMETHODIMP LockInPlaceActive(BOOL) override { return S_OK; }
    STDMETHODIMP GetExtendedControl(IDispatch** out) override {
        *out = extender;
        if (extender == nullptr) return E_NOTIMPL;
        extender->AddRef();
        return S_OK;
    }
    STDMETHODIMP TransformCoords(POINTL*, POINTF*, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP TranslateAccelerator(MSG*, DWORD) override { return S_FALSE; }
    STDMETHODIMP OnFocus(BOOL focus) override {
        calls.push_back("OnFocus " + std::to_string(focus));
        return S_OK;
    }
    STDMETHODIMP ShowPropertyFrame() override { return E_NOTIMPL; }

    // IOleInPlaceUIWindow / IOleInPlaceFrame
    STDMETHODIMP GetBorder(LPRECT) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override { return INPLACE_E_NOTOOLSPACE; }
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override { return S_OK; }
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* object, LPCOLESTR name) override {
        calls.push_back("SetActiveObject " + (object == nullptr ? std::string("none")
                                              : name == nullptr ? std::string("unnamed")
                                                                : std::string(name, name + wcslen(name))));
        return S_OK;
    }
    STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override { return E_NOTIMPL; }
    STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override { return S_OK; }
    STDMETHODIMP RemoveMenus(HMENU) override { return S_OK; }
    STDMETHODIMP SetStatusText(LPCOLESTR) override { return S_OK; }
    STDMETHODIMP EnableModeless(BOOL) override { return S_OK; }
    STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override { return S_FALSE; }

private:
    HWND window_;
    RECT position_;
};

// The window's rectangle in its parent's client coordinates.
inline RECT RectInParent(HWND window) {
    RECT rect{};
    GetWindowRect(window, &rect);
    MapWindowPoints(HWND_DESKTOP, GetParent(window), reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

}  // namespace standin_test

// In the global namespace, where RECT is, for EXPECT_EQ to find them.
inline bool operator==(const RECT& a, const RECT& b) {
    return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}
inline void PrintTo(const RECT& r, std::ostream* out) {
    *out << "{" << r.left << "," << r.top << "," << r.right << "," << r.bottom << "}";
}
