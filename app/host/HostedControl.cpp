#include "HostedControl.h"

#include <olectl.h>

#include "Ambients.h"
#include "ComObject.h"
#include "ControlDiagnosis.h"
#include "Program.h"
#include "Stopwatch.h"

namespace {

// The control's persisted properties: its extent, and nothing else.
class ExtentPropertyBag final : public ComObject<IPropertyBag> {
public:
    explicit ExtentPropertyBag(SIZEL extent) : extent_(extent) {}

    STDMETHODIMP Read(LPCOLESTR name, VARIANT* value, IErrorLog*) override {
        if (name == nullptr || value == nullptr) return E_POINTER;
        LONG found;
        if (lstrcmpiW(name, L"_extentx") == 0) {
            found = extent_.cx;
        } else if (lstrcmpiW(name, L"_extenty") == 0) {
            found = extent_.cy;
        } else {
            return E_INVALIDARG;  // not persisted: the control keeps its default
        }
        // The caller may ask for a type of its choosing by presetting vt.
        const VARTYPE wanted = value->vt;
        VariantClear(value);
        value->vt = VT_I4;
        value->lVal = found;
        if (wanted != VT_EMPTY && wanted != VT_I4) return VariantChangeType(value, value, 0, wanted);
        return S_OK;
    }
    STDMETHODIMP Write(LPCOLESTR, VARIANT*) override { return E_NOTIMPL; }

private:
    SIZEL extent_;
};

}  // namespace

HostedControl::HostedControl(HWND host, const ControlPlacement& placement)
    : host_(host), placement_(placement), calls_(placement.progId) {
    const Stopwatch watch;
    site_ = OleSite::Create(*this, FactsForSite());
    SetWindowLongPtrW(host_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    try {
        Create(placement);
        // A crash in a callback or a release on the way is the creation's failure too.
        if (std::optional<NumberedError> fault = calls_.TakeFault()) throw NumberedError(std::move(*fault));
        creationMs_ = watch.Ms();
    } catch (...) {
        Release();
        throw;
    }
}

HostedControl::~HostedControl() { Release(); }

RECT HostedControl::HostRect() const noexcept {
    RECT rect{};
    GetClientRect(host_, &rect);
    return rect;
}

// What the site answers from: the form's font and names, the control's place in twips.
SiteFacts HostedControl::FactsForSite() const {
    HWND form = GetAncestor(host_, GA_ROOT);
    SiteFacts facts{host_, {form, placement_.font, placement_.name, placement_.dpi}, {}};
    ExtenderFacts& extender = facts.extender;
    extender.name = placement_.name;
    extender.left = placement_.left;
    extender.top = placement_.top;
    extender.width = placement_.width;
    extender.height = placement_.height;
    extender.host = host_;
    extender.tabIndex = placement_.tabIndex;
    extender.form = form;
    extender.formName = placement_.formName;
    return facts;
}

void HostedControl::Load(SIZEL extent) {
    // A control that refuses its saved properties starts from its defaults, as in a VB6 form.
    if (const auto bag = object_.Query<IPersistPropertyBag>(L"loading its properties")) {
        const auto properties = make_com<ExtentPropertyBag>(extent);
        IPropertyBag* given = properties.get();
        if (SUCCEEDED(calls_.Run(L"loading its properties", [&] { return bag->Load(given, nullptr); }))) return;
    }
    if (const auto stream = object_.Query<IPersistStreamInit>(L"initialising it"))
        calls_.Run(L"initialising it", [&] { return stream->InitNew(); });
}

void HostedControl::Create(const ControlPlacement& placement) {
    const wchar_t* progId = placement.progId;
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr)) throw CreationError(progId, hr);

    // Through IUnknown: some class factories hand out IOleObject for objects that are none.
    IUnknown* created = nullptr;
    hr = calls_.Run(L"creating it", [&] {
        return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&created));
    });
    if (FAILED(hr)) throw CreationError(progId, hr);
    {
        const auto unknown = ControlPtr<IUnknown>::Attach(calls_, created);
        object_ = unknown.Query<IOleObject>(L"creating it");
    }
    if (!object_) throw NotAControlError(progId);

    DWORD misc = 0;
    hr = calls_.Run(L"asking its status", [&] { return object_->GetMiscStatus(DVASPECT_CONTENT, &misc); });
    if (hr == OLE_S_USEREG) hr = OleRegGetMiscStatus(clsid, DVASPECT_CONTENT, &misc);
    if (FAILED(hr)) misc = 0;
    hasUserInterface_ = !(misc & OLEMISC_INVISIBLEATRUNTIME);

    // From here on the control may hold a reference to the site: Release undoes it.
    IOleClientSite* const clientSite = site_.get();
    const auto site = [&] {
        hr = calls_.Run(L"siting it", [&] { return object_->SetClientSite(clientSite); });
        if (FAILED(hr)) throw StepError(progId, L"sited", hr);
    };
    if (misc & OLEMISC_SETCLIENTSITEFIRST) site();
    Load(placement.extent);
    if (!(misc & OLEMISC_SETCLIENTSITEFIRST)) site();
    // Not every control takes names or a size: a fixed-size one keeps its own.
    const wchar_t* name = placement_.name.c_str();
    calls_.Run(L"naming its host", [&] { return object_->SetHostNames(kProgramSource, name); });
    SIZEL extent = placement.extent;
    calls_.Run(L"sizing it", [&] { return object_->SetExtent(DVASPECT_CONTENT, &extent); });

    if (hasUserInterface_) {
        RECT rect = HostRect();
        hr = calls_.Run(L"activating it", [&] {
            return object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, clientSite, 0, host_, &rect);
        });
        if (FAILED(hr)) throw StepError(progId, L"activated in place", hr);
    } else {
        // Invisible at run time, as in a VB6 form: sited and loaded, passed over by Tab.
        SetWindowLongW(host_, GWL_STYLE, GetWindowLongW(host_, GWL_STYLE) & ~WS_TABSTOP);
    }
    dispatch_ = object_.Query<IDispatch>(L"asking for its members");
}

void HostedControl::Release() noexcept {
    // Once it has crashed, the control is only let go of: no more calls that could crash again
    // (the calls skip themselves).
    dispatch_.reset();
    active_.reset();
    ControlPtr<IOleInPlaceObject> inPlace = std::move(inPlace_);
    ControlPtr<IOleObject> object = std::move(object_);
    if (inPlace) calls_.RunQuietly(L"deactivating it", [&] { return inPlace->InPlaceDeactivate(); });
    if (object) calls_.RunQuietly(L"closing it", [&] { return object->Close(OLECLOSE_NOSAVE); });
    if (object) calls_.RunQuietly(L"unsiting it", [&] { return object->SetClientSite(nullptr); });
    inPlace.reset();
    object.reset();
    // A control that keeps a reference to the site finds it answering without an owner.
    if (site_) site_->Detach();
    site_.reset();
    if (IsWindow(host_)) SetWindowLongPtrW(host_, GWLP_USERDATA, 0);
}

void HostedControl::UIActivate() noexcept {
    if (!object_ || !hasUserInterface_ || activating_) return;
    if (uiActive_) {
        // Already UI-active (the form got the focus back): it goes on to the control's window.
        HWND window = nullptr;
        if (inPlace_) calls_.RunQuietly(L"giving it the focus", [&] { return inPlace_->GetWindow(&window); });
        if (window != nullptr && window != host_ && IsChild(host_, window)) SetFocus(window);
        return;
    }
    activating_ = true;
    RECT rect = HostRect();
    IOleClientSite* site = site_.get();
    calls_.RunQuietly(L"giving it the focus",
                      [&] { return object_->DoVerb(OLEIVERB_UIACTIVATE, nullptr, site, 0, host_, &rect); });
    activating_ = false;
}

bool HostedControl::TranslateAccelerator(MSG& message) noexcept {
    if (!uiActive_ || !active_ || message.message < WM_KEYFIRST || message.message > WM_KEYLAST) return false;
    if (message.hwnd != host_ && !IsChild(host_, message.hwnd)) return false;
    const ControlPtr<IOleInPlaceActiveObject> active = active_.Share();
    if (!active) return false;
    return calls_.RunQuietly(L"handing it a key", [&] { return active->TranslateAccelerator(&message); }) == S_OK;
}

void HostedControl::CheckFocus() noexcept {
    if (!uiActive_) return;
    HWND focus = GetFocus();
    if (focus != host_ && !IsChild(host_, focus)) UIDeactivate();
}

// SiteOwner

void HostedControl::OnInPlaceActivate() noexcept {
    if (object_) inPlace_ = object_.QueryQuietly<IOleInPlaceObject>();
}

void HostedControl::OnInPlaceDeactivate() noexcept {
    uiActive_ = false;
    inPlace_.reset();
}

void HostedControl::OnUIDeactivate() noexcept {
    uiActive_ = false;
    active_.reset();
}

void HostedControl::KeepInPlace() noexcept {
    if (const ControlPtr<IOleInPlaceObject> inPlace = inPlace_.Share()) {
        const RECT rect = HostRect();
        calls_.RunQuietly(L"keeping it in place", [&] { return inPlace->SetObjectRects(&rect, &rect); });
    }
}

void HostedControl::UIDeactivate() noexcept {
    if (const ControlPtr<IOleInPlaceObject> inPlace = inPlace_.Share())
        calls_.RunQuietly(L"taking its focus away", [&] { return inPlace->UIDeactivate(); });
    uiActive_ = false;
}

void HostedControl::SetActiveObject(IOleInPlaceActiveObject* active) noexcept {
    active_ = ControlPtr<IOleInPlaceActiveObject>::HoldQuietly(calls_, active);
}

// Tab and Shift+Tab the control hands back move on in the form's tab order.
bool HostedControl::TranslateKey(const MSG& message) noexcept {
    if (message.message != WM_KEYDOWN || message.wParam != VK_TAB) return false;
    HWND form = GetAncestor(host_, GA_ROOT);
    const bool back = GetKeyState(VK_SHIFT) < 0;
    HWND next = GetNextDlgTabItem(form, host_, back);
    if (next == nullptr || next == host_) return false;
    SetFocus(next);
    return true;
}

LRESULT CALLBACK HostedControl::HostWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<HostedControl*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self != nullptr) {
        if (message == WM_SETFOCUS) {
            self->UIActivate();
            return 0;
        }
        LRESULT reflected = 0;
        if (ReflectToControl(window, message, wParam, lParam, reflected)) return reflected;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}
