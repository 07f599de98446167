// The stand-in as demanding and misbehaving controls: what it does inside a call (pump:,
// modal:, handled:) and what TALVO_STANDIN_DEMANDS makes it ask of its container, seen from
// the container. The crash forms are seen through the program: tests/app/CommandAloneTests.cpp.
#include <windows.h>
#include <olectl.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "StandInClient.h"
#include "WindowText.h"
#include "support/StandInScript.h"

using namespace standin_test;

namespace {

constexpr RECT Position{24, 16, 369, 89};

// Properties with fixed values, by name and DISPID, as an extender, its form or a site's
// ambients answer them; an empty one is a property bag with nothing in it. Owns the values.
class Properties final : public IDispatch, public IPropertyBag {
public:
    ~Properties() {
        for (auto& entry : values_) VariantClear(&entry.second);
    }
    void Set(DISPID id, const std::wstring& name, VARIANT value) {
        ids_[name] = id;
        values_[id] = value;
    }
    void Set(const std::wstring& name, VARIANT value) { Set(static_cast<DISPID>(ids_.size() + 1), name, value); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown || riid == IID_IDispatch ? static_cast<IDispatch*>(this) : nullptr;
        return *ppv != nullptr ? S_OK : E_NOINTERFACE;
    }
    STDMETHODIMP Read(LPCOLESTR, VARIANT*, IErrorLog*) override { return E_INVALIDARG; }
    STDMETHODIMP Write(LPCOLESTR, VARIANT*) override { return S_OK; }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return DISP_E_BADINDEX; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT, LCID, DISPID* ids) override {
        const auto it = ids_.find(names[0]);
        *ids = it != ids_.end() ? it->second : DISPID_UNKNOWN;
        return it != ids_.end() ? S_OK : DISP_E_UNKNOWNNAME;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result, EXCEPINFO*, UINT*) override {
        const auto it = values_.find(id);
        if (it == values_.end() || flags != DISPATCH_PROPERTYGET) return DISP_E_MEMBERNOTFOUND;
        return VariantCopy(result, &it->second);
    }

private:
    std::map<std::wstring, DISPID> ids_;
    std::map<DISPID, VARIANT> values_;
};

template <VARTYPE Type, typename T>
VARIANT Value(T value) {
    VARIANT v{};
    V_VT(&v) = Type;
    if constexpr (Type == VT_BSTR) V_BSTR(&v) = SysAllocString(value);
    if constexpr (Type == VT_BOOL) V_BOOL(&v) = value ? VARIANT_TRUE : VARIANT_FALSE;
    if constexpr (Type == VT_I2) V_I2(&v) = static_cast<SHORT>(value);
    if constexpr (Type == VT_I4) V_I4(&v) = static_cast<LONG>(value);
    if constexpr (Type == VT_R4) V_R4(&v) = static_cast<float>(value);
    if constexpr (Type == VT_DISPATCH) {
        V_DISPATCH(&v) = value;
        value->AddRef();
    }
    return v;
}

// A window of the test's thread: counts WM_APP, and releases the IDispatch in the lParam of
// WM_APP + 1, as a container that lets go of a control while the control runs its messages.
int g_delivered = 0;
LRESULT CALLBACK CounterProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_APP) ++g_delivered;
    if (message == WM_APP + 1) reinterpret_cast<IDispatch*>(lParam)->Release();
    return DefWindowProcW(window, message, wParam, lParam);
}

// The stand-in's modal dialog of this thread; other test processes show theirs at the same time.
BOOL CALLBACK FindOwnModal(HWND window, LPARAM out) {
    if (WindowText(window) != L"VbFunzioni stand-in modal") return TRUE;
    *reinterpret_cast<HWND*>(out) = window;
    return FALSE;
}
HWND OwnModal() {
    HWND found = nullptr;
    EnumThreadWindows(GetCurrentThreadId(), FindOwnModal, reinterpret_cast<LPARAM>(&found));
    return found;
}

// What a timer saw of the modal dialog while it was up.
HWND g_container = nullptr;
HWND g_dialogOwner = nullptr;
bool g_containerEnabled = true;
void CALLBACK SpyOnModal(HWND, UINT, UINT_PTR timer, DWORD) {
    if (HWND dialog = OwnModal()) {
        g_dialogOwner = GetWindow(dialog, GW_OWNER);
        g_containerEnabled = IsWindowEnabled(g_container) != FALSE;
        KillTimer(nullptr, timer);
    }
}

}  // namespace

TEST(StandInBehaviour, HandledPumpAndModalAnswerNormallyAndTheObjectOutlivesItsCall) {
    OleApartment ole;
    const ScopedCallLog log;
    ContainerWindow container;
    TestSite site(container.get(), Position);
    const unique_hwnd counter(CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr));
    SetWindowLongPtrW(counter.get(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CounterProc));
    {
        const ScopedEnv ip = ScriptAnswers(
            LocalIp, L"handled:str:10.0.0.7|pump:200:handled:i4:5|pump:5000:str:late|modal:300:str:after");
        const com_ptr<IDispatch> control = CreateStandIn();
        ASSERT_EQ(control.try_query<IOleObject>()->SetClientSite(&site), S_OK);
        EXPECT_EQ(Reply(control.get(), LocalIp).Text(), L"10.0.0.7");
        g_delivered = 0;
        PostMessageW(counter.get(), WM_APP, 0, 0);
        EXPECT_EQ(Reply(control.get(), LocalIp).value->vt, VT_I4);
        EXPECT_EQ(g_delivered, 1) << "the posted message was dispatched inside the call";
        const std::vector<std::string> lines = log.Lines();
        EXPECT_EQ(std::count(lines.begin(), lines.end(), "handled exception"), 2);

        // A WM_QUIT ends the pump early and is there again for the program's own loop.
        PostQuitMessage(7);
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(Reply(control.get(), LocalIp).Text(), L"late");
        EXPECT_LT(GetTickCount64() - start, 4000u);
        MSG quit{};
        ASSERT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
        EXPECT_EQ(quit.wParam, 7u);

        g_container = container.get();
        const UINT_PTR spy = SetTimer(nullptr, 0, 50, SpyOnModal);
        EXPECT_EQ(Reply(control.get(), LocalIp).Text(), L"after");
        KillTimer(nullptr, spy);
        EXPECT_EQ(g_dialogOwner, container.get());
        EXPECT_FALSE(g_containerEnabled) << "modal to the container";
        EXPECT_TRUE(IsWindowEnabled(container.get()));
        EXPECT_EQ(OwnModal(), nullptr);

        // Behaviour forms that say too little, or too much, are refused like any answer.
        for (const wchar_t* bad :
             {L"pump:x:str:a", L"pump:600001:str:a", L"modal:5", L"av:1", L"handled:", L"pump:-1:str:a"}) {
            const ScopedEnv script = ScriptAnswers(LocalIp, bad);
            EXPECT_EQ(Reply(control.get(), LocalIp).hr, E_INVALIDARG) << std::string(bad, bad + wcslen(bad));
        }
        EXPECT_EQ(control.try_query<IOleObject>()->SetClientSite(nullptr), S_OK);
    }
    EXPECT_EQ(site.references, 0);

    // Let go of while it pumps: the call still ends properly, and the log shows the order.
    log.Clear();
    const ScopedEnv short_pump = ScriptAnswers(LocalIp, L"pump:100:str:ok");
    com_ptr<IDispatch> control = CreateStandIn();
    IDispatch* raw = control.get();
    PostMessageW(counter.get(), WM_APP + 1, 0, reinterpret_cast<LPARAM>(control.detach()));
    EXPECT_EQ(Reply(raw, LocalIp).Text(), L"ok");
    EXPECT_EQ(log.Lines(), (std::vector<std::string>{"invoke dispid=0x60030001 flags=3 args=0 named=0",
                                                     "pump start dispid=0x60030001", "released",
                                                     "pump end dispid=0x60030001", "invoke end dispid=0x60030001"}));
}

TEST(StandInDemands, SiteExNoExtentNoPropBagInvisibleAndUseRegRefuseAsDemanded) {
    OleApartment ole;
    const ScopedCallLog log;
    ContainerWindow container;
    TestSite plain(container.get(), Position);
    TestSite ex(container.get(), Position);
    ex.offersEx = true;
    {
        const ScopedEnv demands = StandInDemands(L"siteex, Bogus");
        const com_ptr<IDispatch> control = CreateStandIn();
        const com_ptr<IOleObject> object = control.try_query<IOleObject>();
        EXPECT_FALSE(control.try_query<IOleInPlaceActiveObject>()) << "only with an edit box";
        EXPECT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &plain, 0, container.get(), &Position),
                  E_NOINTERFACE);
        EXPECT_TRUE(plain.calls.empty());
        EXPECT_TRUE(container.Children().empty());

        ASSERT_EQ(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, &ex, 0, container.get(), &Position), S_OK);
        EXPECT_EQ(ex.calls, (std::vector<std::string>{"CanInPlaceActivate", "OnInPlaceActivateEx 0", "GetWindow",
                                                      "GetWindowContext"}));
        EXPECT_EQ(container.Children().size(), 1u);
        EXPECT_EQ(control.try_query<IOleInPlaceObject>()->InPlaceDeactivate(), S_OK);
        EXPECT_EQ(ex.calls.back(), "OnInPlaceDeactivateEx 1");
    }
    EXPECT_EQ(plain.references + ex.references, 0);
    EXPECT_EQ(log.Lines().front(), "demands unknown: Bogus");

    Properties bag;
    {
        const ScopedEnv demands = StandInDemands(L"noextent,nopropbag,invisible");
        const com_ptr<IDispatch> control = CreateStandIn();
        const com_ptr<IOleObject> object = control.try_query<IOleObject>();
        SIZEL extent{9128, 1931};
        EXPECT_EQ(object->SetExtent(DVASPECT_CONTENT, &extent), E_NOTIMPL);
        EXPECT_EQ(control.try_query<IPersistPropertyBag>()->Load(&bag, nullptr), E_FAIL);
        EXPECT_EQ(control.try_query<IPersistPropertyBag>()->InitNew(), S_OK);
        DWORD status = 0;
        EXPECT_EQ(object->GetMiscStatus(DVASPECT_CONTENT, &status), S_OK);
        EXPECT_EQ(status, 131473u | OLEMISC_INVISIBLEATRUNTIME);
        for (const LONG verb : {OLEIVERB_PRIMARY, OLEIVERB_INPLACEACTIVATE, OLEIVERB_UIACTIVATE, OLEIVERB_HIDE})
            EXPECT_EQ(object->DoVerb(verb, nullptr, &plain, 0, container.get(), &Position), E_NOTIMPL) << verb;
        EXPECT_TRUE(container.Children().empty());
    }
    const ScopedEnv demands = StandInDemands(L"usereg,invisible");
    DWORD status = 1;
    EXPECT_EQ(CreateStandIn().try_query<IOleObject>()->GetMiscStatus(DVASPECT_CONTENT, &status), OLE_S_USEREG);
    EXPECT_EQ(status, 0u);
}

TEST(StandInDemands, ProbeLogsWhatTheSiteAnswers) {
    OleApartment ole;
    const ScopedCallLog log;
    const ScopedEnv demands = StandInDemands(L"probe");
    ContainerWindow container;
    const com_ptr<IDispatch> control = CreateStandIn();
    const com_ptr<IOleObject> object = control.try_query<IOleObject>();

    // A minimal site has neither an extender nor ambients.
    TestSite minimal(container.get(), Position);
    EXPECT_EQ(object->SetClientSite(&minimal), S_OK);
    std::vector<std::string> lines = log.Lines();
    ASSERT_EQ(lines.size(), 17u);
    for (const std::string& line : lines) EXPECT_EQ(line.substr(line.find('=')), "=error 0x80004002") << line;

    Properties form;
    form.Set(L"Caption", Value<VT_BSTR>(L"Test OCX TALVO"));
    form.Set(L"hWnd", Value<VT_I4>(reinterpret_cast<LONG_PTR>(container.get())));
    Properties extender;  // no Top, Width, Height, Visible, TabStop
    extender.Set(L"Name", Value<VT_BSTR>(L"VbFunzioni1"));
    extender.Set(L"Left", Value<VT_R4>(360.5));
    extender.Set(L"Enabled", Value<VT_BOOL>(false));
    extender.Set(L"TabIndex", Value<VT_I2>(-3));
    extender.Set(L"Tag", Value<VT_BSTR>(L""));
    extender.Set(L"Parent", Value<VT_DISPATCH>(static_cast<IDispatch*>(&form)));
    FONTDESC desc{};
    desc.cbSizeofstruct = sizeof(desc);
    desc.lpstrName = const_cast<LPOLESTR>(L"Tahoma");
    desc.cySize.int64 = 80000;  // 8 points
    desc.sWeight = FW_NORMAL;
    com_ptr<IDispatch> font;
    ASSERT_EQ(OleCreateFontIndirect(&desc, IID_IFontDisp, font.put_void()), S_OK);
    // The name of the face the system matched (Wine may have no Tahoma).
    unique_bstr face;
    ASSERT_EQ(font.try_query<IFont>()->get_Name(face.put()), S_OK);
    const std::string faceName(face.get(), face.get() + face.length());
    Properties ambients;
    ambients.Set(DISPID_AMBIENT_USERMODE, L"UserMode", Value<VT_BOOL>(true));
    ambients.Set(DISPID_AMBIENT_BACKCOLOR, L"BackColor", Value<VT_I4>(0x8000000F));
    ambients.Set(DISPID_AMBIENT_FONT, L"Font", Value<VT_DISPATCH>(font.get()));
    TestSite rich(container.get(), Position);
    rich.offersControlSite = true;
    rich.extender = &extender;
    rich.ambients = &ambients;

    log.Clear();
    EXPECT_EQ(object->SetClientSite(&rich), S_OK);
    EXPECT_EQ(
        log.Lines(),
        (std::vector<std::string>{
            "observed extender.name=VbFunzioni1", "observed extender.left=360.5",
            "observed extender.top=error 0x80020006", "observed extender.width=error 0x80020006",
            "observed extender.height=error 0x80020006", "observed extender.visible=error 0x80020006",
            "observed extender.enabled=false", "observed extender.tabindex=-3",
            "observed extender.tabstop=error 0x80020006",
            "observed extender.tag=", "observed parent.name=error 0x80020006", "observed parent.caption=Test OCX TALVO",
            "observed parent.hwnd=nonzero", "observed ambient.usermode=true", "observed ambient.backcolor=0x8000000F",
            "observed ambient.font=" + faceName + " 8", "observed ambient.unknown=error 0x80020003"}));
    log.Clear();
    EXPECT_EQ(object->SetClientSite(nullptr), S_OK);
    EXPECT_TRUE(log.Lines().empty());
    EXPECT_EQ(minimal.references + rich.references, 0);
}

TEST(StandInDemands, EditUiActivatesOnceTakesTheFocusAndGivesItBack) {
    OleApartment ole;
    const ScopedEnv demands = StandInDemands(L"edit");
    ContainerWindow container;
    TestSite site(container.get(), Position);
    site.offersControlSite = site.offersFrame = true;
    {
        const com_ptr<IDispatch> control = CreateStandIn();
        const com_ptr<IOleObject> object = control.try_query<IOleObject>();
        const com_ptr<IOleInPlaceActiveObject> active = control.try_query<IOleInPlaceActiveObject>();
        ASSERT_TRUE(active);
        ASSERT_EQ(object->SetClientSite(&site), S_OK);
        ASSERT_EQ(object->DoVerb(OLEIVERB_UIACTIVATE, nullptr, &site, 0, container.get(), &Position), S_OK);
        HWND window = nullptr;
        ASSERT_EQ(active->GetWindow(&window), S_OK);
        HWND edit = GetWindow(window, GW_CHILD);
        EXPECT_EQ(RectInParent(edit), (RECT{0, 0, Position.right - Position.left, Position.bottom - Position.top}));
        EXPECT_EQ(GetFocus(), edit);
        EXPECT_EQ(object->DoVerb(OLEIVERB_UIACTIVATE, nullptr, &site, 0, container.get(), &Position), S_OK);
        MSG tab{window, WM_KEYDOWN, VK_TAB, 0, 0, {}};
        EXPECT_EQ(active->TranslateAccelerator(&tab), S_FALSE);
        MSG typed{window, WM_CHAR, L'a', 0, 0, {}};
        EXPECT_EQ(active->TranslateAccelerator(&typed), S_FALSE);
        EXPECT_EQ(control.try_query<IOleInPlaceObject>()->UIDeactivate(), S_OK);
        // The user clicks into the box again: the control asks to be UI-active by itself.
        SetFocus(container.get());
        SetFocus(edit);
        EXPECT_EQ(object->Close(OLECLOSE_NOSAVE), S_OK);
        EXPECT_EQ(object->SetClientSite(nullptr), S_OK);
    }
    EXPECT_EQ(site.references, 0);
    EXPECT_EQ(site.calls,
              (std::vector<std::string>{"CanInPlaceActivate", "OnInPlaceActivate", "GetWindow", "GetWindowContext",
                                        "OnUIActivate", "GetWindowContext", "SetActiveObject VbFunzioni", "OnFocus 1",
                                        "SetActiveObject none", "OnUIDeactivate", "OnFocus 0", "OnUIActivate",
                                        "GetWindowContext", "SetActiveObject VbFunzioni", "OnFocus 1",
                                        "SetActiveObject none", "OnUIDeactivate", "OnFocus 0", "OnInPlaceDeactivate"}));
}
