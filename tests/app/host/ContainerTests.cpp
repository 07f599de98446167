// What the form gives a hosted control: the lifecycle the control sees through its site,
// ambients, the extender object and the reflection of its children's notifications.
#include <gtest/gtest.h>

#include <olectl.h>

#include <string>
#include <vector>

#include "Ambients.h"
#include "Extender.h"
#include "FormHarness.h"
#include "OleSite.h"
#include "StandInScript.h"
#include "Unique.h"

namespace {

// Gets the property by name, or puts `put` into it.
HRESULT ByName(IDispatch* object, const wchar_t* name, unique_variant& value, VARIANT* put = nullptr) {
    DISPID id = 0, named = DISPID_PROPERTYPUT;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    const HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) return hr;
    const UINT n = put != nullptr ? 1 : 0;
    DISPPARAMS params{put, n != 0 ? &named : nullptr, n, n};
    const WORD flags = n != 0 ? DISPATCH_PROPERTYPUT : DISPATCH_PROPERTYGET;
    return object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, value.put(), nullptr, nullptr);
}

// The property as text ("vt:value"), so one comparison checks its type too.
std::wstring Read(IDispatch* object, const wchar_t* name) {
    unique_variant value;
    const HRESULT hr = ByName(object, name, value);
    if (FAILED(hr)) return L"hr:" + std::to_wstring(hr);
    const VARTYPE type = value->vt;
    if (type == VT_DISPATCH) return L"object";
    unique_variant text;
    if (FAILED(VariantChangeType(text.get(), value.get(), VARIANT_ALPHABOOL, VT_BSTR))) return L"?";
    return std::to_wstring(type) + L":" + std::wstring(text->bstrVal, SysStringLen(text->bstrVal));
}

struct Windows {
    unique_hwnd form{CreateWindowExW(0, L"STATIC", L"Test OCX TALVO", WS_OVERLAPPEDWINDOW, 0, 0, 400, 200, nullptr,
                                     nullptr, nullptr, nullptr)};
    HWND host = CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP, 24, 16, 345, 73, form.get(),
                                reinterpret_cast<HMENU>(101), nullptr, nullptr);
};

TEST(Extender, AnswersItsPropertiesByNameAndReadsTheWindowsLive) {
    Windows windows;
    com_ptr<IDispatch> extender =
        CreateExtender({L"VbFunzioni1", 360, 240, 5175, 1095, windows.host, 3, L"", windows.form.get(), L"Form1"});
    ASSERT_TRUE(extender);

    EXPECT_EQ(Read(extender.get(), L"name"), L"8:VbFunzioni1");
    EXPECT_EQ(Read(extender.get(), L"Left"), L"4:360");
    EXPECT_EQ(Read(extender.get(), L"HEIGHT"), L"4:1095");
    EXPECT_EQ(Read(extender.get(), L"TabIndex"), L"2:3");
    EXPECT_EQ(Read(extender.get(), L"TabStop"), L"11:True");
    EXPECT_EQ(Read(extender.get(), L"Visible"), L"11:True") << "the host's own flag, the form is hidden";
    ShowWindow(windows.host, SW_HIDE);
    EXPECT_EQ(Read(extender.get(), L"Visible"), L"11:False");
    EnableWindow(windows.host, FALSE);
    EXPECT_EQ(Read(extender.get(), L"Enabled"), L"11:False");

    unique_variant parent;
    ASSERT_EQ(ByName(extender.get(), L"Parent", parent), S_OK);
    ASSERT_EQ(parent->vt, VT_DISPATCH);
    EXPECT_EQ(Read(parent->pdispVal, L"Name"), L"8:Form1");
    SetWindowTextW(windows.form.get(), L"True");
    EXPECT_EQ(Read(parent->pdispVal, L"Caption"), L"8:True");
    EXPECT_EQ(Read(parent->pdispVal, L"hWnd"), L"3:" + std::to_wstring(HandleToLong(windows.form.get())));

    // Unknown names, unknown members, and writes.
    EXPECT_EQ(Read(extender.get(), L"Caption"), L"hr:" + std::to_wstring(DISP_E_UNKNOWNNAME));
    EXPECT_EQ(Read(parent->pdispVal, L"Visible"), L"hr:" + std::to_wstring(DISP_E_UNKNOWNNAME));
    DISPPARAMS none{};
    unique_variant value;
    EXPECT_EQ(extender->Invoke(12345, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, value.put(), nullptr, nullptr),
              DISP_E_MEMBERNOTFOUND);
    VARIANT moved{};
    moved.vt = VT_I4;
    EXPECT_EQ(ByName(extender.get(), L"Left", value, &moved), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(Read(extender.get(), L"Left"), L"4:360");
}

TEST(Ambients, FontCarriesTheWindowsFaceAndSizeAndUnknownOnesAreNotFound) {
    LOGFONTW logFont{};
    logFont.lfHeight = -11;  // 8.25 points at 96 dpi, as VB shows an 8-point form font
    logFont.lfWeight = FW_BOLD;
    logFont.lfItalic = TRUE;
    logFont.lfCharSet = DEFAULT_CHARSET;
    wcscpy_s(logFont.lfFaceName, L"MS Shell Dlg 2");
    const unique_hgdiobj font(CreateFontIndirectW(&logFont));
    const AmbientFacts facts{nullptr, static_cast<HFONT>(font.get()), L"VbFunzioni1", 96};

    unique_variant value;
    ASSERT_EQ(GetAmbientProperty(DISPID_AMBIENT_FONT, facts, value.put()), S_OK);
    ASSERT_EQ(value->vt, VT_DISPATCH);
    com_ptr<IFont> object = com_ptr<IDispatch>(value->pdispVal).try_query<IFont>();
    ASSERT_TRUE(object);
    unique_bstr name;
    ASSERT_EQ(object->get_Name(name.put()), S_OK);
    // The font object names the face it realized, as the window's font does.
    wchar_t face[LF_FACESIZE] = {};
    HDC screen = GetDC(nullptr);
    HGDIOBJ old = SelectObject(screen, font.get());
    GetTextFaceW(screen, LF_FACESIZE, face);
    SelectObject(screen, old);
    ReleaseDC(nullptr, screen);
    EXPECT_EQ(std::wstring(name.get(), name.length()), face);
    CY size{};
    BOOL bold = FALSE, italic = FALSE;
    EXPECT_TRUE(object->get_Size(&size) == S_OK && object->get_Bold(&bold) == S_OK &&
                object->get_Italic(&italic) == S_OK);
    EXPECT_TRUE(size.int64 == 82500 && bold && italic) << size.int64;

    EXPECT_EQ(GetAmbientProperty(DISPID_AMBIENT_AUTOCLIP, facts, value.put()), DISP_E_MEMBERNOTFOUND);
    EXPECT_EQ(value->vt, VT_EMPTY);
    EXPECT_EQ(GetAmbientProperty(DISPID_AMBIENT_USERMODE, facts, nullptr), E_POINTER);
}

// An owner asked nothing here: what the site answers comes from the facts it was handed.
struct QuietOwner final : SiteOwner {
    void OnInPlaceActivate() noexcept override {}
    void OnInPlaceDeactivate() noexcept override {}
    void OnUIActivate() noexcept override {}
    void OnUIDeactivate() noexcept override {}
    void KeepInPlace() noexcept override {}
    void UIDeactivate() noexcept override {}
    void SetActiveObject(IOleInPlaceActiveObject*) noexcept override {}
    bool TranslateKey(const MSG&) noexcept override { return false; }
};

TEST(Site, AnswersEveryInterfaceAsOneObjectAndItsFactsOnItsOwn) {
    Windows windows;
    QuietOwner owner;
    const com_ptr<OleSite> site = OleSite::Create(
        owner, {windows.host,
                {windows.form.get(), nullptr, L"VbFunzioni1", 96},
                {L"VbFunzioni1", 360, 240, 5175, 1095, windows.host, 3, L"", windows.form.get(), L"Form1"}});
    const auto identity = site.try_query<IUnknown>();
    for (const IID& iid : {IID_IOleClientSite, IID_IOleWindow, IID_IOleInPlaceSite, IID_IOleInPlaceSiteEx,
                           IID_IOleControlSite, IID_IDispatch}) {
        com_ptr<IUnknown> face;
        ASSERT_EQ(site->QueryInterface(iid, face.put_void()), S_OK);
        EXPECT_EQ(face.try_query<IUnknown>().get(), identity.get());
    }
    // The plain in-place site and its window are the Ex one, whose methods they share.
    EXPECT_EQ(site.try_query<IOleWindow>().get(), static_cast<IOleWindow*>(site.try_query<IOleInPlaceSiteEx>().get()));
    EXPECT_FALSE(site.try_query<IOleInPlaceSiteWindowless>());
    com_ptr<IOleContainer> container;
    ASSERT_EQ(site->GetContainer(container.put()), S_OK);
    EXPECT_EQ(container.try_query<IParseDisplayName>().get(), static_cast<IParseDisplayName*>(container.get()));
    HWND window = nullptr;
    EXPECT_TRUE(container.try_query<IOleWindow>()->GetWindow(&window) == S_OK && window == windows.form.get());

    POINTL himetric{2540, -5080};
    POINTF twips{};
    ASSERT_EQ(site->TransformCoords(&himetric, &twips, XFORMCOORDS_SIZE | XFORMCOORDS_HIMETRICTOCONTAINER), S_OK);
    EXPECT_TRUE(twips.x == 1440.0f && twips.y == -2880.0f) << twips.x << " " << twips.y;
    twips = {720.0f, 1e12f};
    EXPECT_EQ(site->TransformCoords(&himetric, &twips, XFORMCOORDS_POSITION | XFORMCOORDS_CONTAINERTOHIMETRIC),
              E_INVALIDARG)
        << "beyond a LONG";
    com_ptr<IDispatch> extender;
    ASSERT_EQ(site->GetExtendedControl(extender.put()), S_OK);
    EXPECT_EQ(Read(extender.get(), L"TabIndex"), L"2:3");
    DISPPARAMS none{};
    unique_variant userMode;
    EXPECT_EQ(site->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, userMode.put(), nullptr,
                           nullptr),
              S_OK);
    EXPECT_TRUE(userMode->vt == VT_BOOL && userMode->boolVal == VARIANT_TRUE);

    // Its owner gone, it answers without the facts that belong to it.
    site->Detach();
    EXPECT_EQ(site->GetWindow(&window), E_FAIL);
    EXPECT_EQ(site->GetExtendedControl(extender.put()), E_UNEXPECTED);
}

// What a control's child receives back from the host.
std::vector<UINT> g_reflected;
WNDPROC g_buttonProc;

LRESULT CALLBACK RecordingButton(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message >= OCM__BASE) g_reflected.push_back(message);
    return CallWindowProcW(g_buttonProc, window, message, wParam, lParam);
}

LRESULT CALLBACK ReflectingHost(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    LRESULT result = 0;
    if (ReflectToControl(window, message, wParam, lParam, result)) return result;
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST(Reflection, SendsTheChildsNotificationsBackToItAndNothingElse) {
    Windows windows;
    HWND host = windows.host;
    SetWindowLongPtrW(host, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ReflectingHost));
    HWND button = CreateWindowExW(0, L"BUTTON", L"Go", WS_CHILD | WS_VISIBLE | BS_PUSHBUTTON, 0, 0, 80, 24, host,
                                  reinterpret_cast<HMENU>(7), nullptr, nullptr);
    ASSERT_NE(button, nullptr);
    g_buttonProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(button, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RecordingButton)));

    SendMessageW(button, BM_CLICK, 0, 0);
    MEASUREITEMSTRUCT measure{ODT_BUTTON, 7, 0, 0, 0, 0};
    SendMessageW(host, WM_MEASUREITEM, 7, reinterpret_cast<LPARAM>(&measure));  // found by its id
    EXPECT_EQ(g_reflected, (std::vector<UINT>{OCM_COMMAND, OCM_MEASUREITEM}));

    // A menu command, the host itself and a window outside it are left to the host.
    LRESULT result = 0;
    EXPECT_FALSE(ReflectToControl(host, WM_COMMAND, 5, 0, result));
    EXPECT_FALSE(ReflectToControl(host, WM_COMMAND, 7, reinterpret_cast<LPARAM>(host), result));
    EXPECT_FALSE(ReflectToControl(host, WM_COMMAND, 7, reinterpret_cast<LPARAM>(windows.form.get()), result));
    EXPECT_EQ(g_reflected.size(), 2u);
}

using HostedLifecycle = FormHarness;

// The stand-in's call log, Form1 opened, Get pressed once and the window closed: the control
// is loaded, sized and activated in that order before anything is asked of it, and deactivated,
// closed and let go of after. One that refuses its saved state and extent starts new; one
// invisible at run time is never activated, so it has nothing to deactivate.
TEST_F(HostedLifecycle, TheControlIsSetUpBeforeItIsAskedAndLetGoOfLast) {
    const std::vector<std::string> loaded = {"propbag cx=9128 cy=1931", "extent cx=9128 cy=1931"};
    const std::vector<std::string> activated = {"doverb -5", "inplace left=0 top=0 right=345 bottom=73"};
    const std::vector<std::string> asked = {
        "invoke dispid=0x60030001 flags=3 args=0 named=0", "invoke end dispid=0x60030001",
        "invoke dispid=0x60030005 flags=3 args=0 named=0", "invoke end dispid=0x60030005",
        "invoke dispid=0x60030002 flags=3 args=0 named=0", "invoke end dispid=0x60030002",
        "invoke dispid=0x60030002 flags=3 args=0 named=0", "invoke end dispid=0x60030002",
    };
    const auto join = [](std::vector<std::string> first, const std::vector<std::string>& then) {
        first.insert(first.end(), then.begin(), then.end());
        return first;
    };
    const struct Case {
        const wchar_t* demands;
        std::vector<std::string> opened, closed;
    } cases[] = {
        {L"", join(loaded, activated), {"window destroyed", "deactivate", "close", "released"}},
        {L"noextent,nopropbag",
         join({"propbag refused", "initnew", "extent refused"}, activated),
         {"window destroyed", "deactivate", "close", "released"}},
        {L"invisible", loaded, {"close", "released"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.demands)));
        const ScopedCallLog log;
        const ScopedEnv demands = StandInDemands(c.demands);
        Open();
        EXPECT_EQ(log.Lines(), c.opened);
        log.Clear();
        // The button's notification alone: a click would move the focus too, which has its own tests.
        HWND get = form_->Control(IDC_COMMAND1);
        SendMessageW(form_->Window(), WM_COMMAND, MAKEWPARAM(IDC_COMMAND1, BN_CLICKED), reinterpret_cast<LPARAM>(get));
        EXPECT_EQ(log.Lines(), asked);
        log.Clear();
        form_.reset();
        EXPECT_EQ(log.Lines(), c.closed);
        EXPECT_TRUE(reports_.empty());
    }
}

}  // namespace
