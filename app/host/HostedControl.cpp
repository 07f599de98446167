#include "HostedControl.h"

#include <olectl.h>

#include <cmath>

#include "Ambients.h"
#include "ComObject.h"
#include "ControlDiagnosis.h"
#include "Program.h"
#include "Extender.h"
#include "ForeignCall.h"

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

// A call into the control: a crash inside becomes a report naming what the program was
// doing, instead of ending the program unseen. Only the foreign call runs guarded.
template <typename Call>
HRESULT HostedControl::CallControl(const wchar_t* doing, Call&& call) {
    HRESULT hr = E_UNEXPECTED;
    if (const std::optional<ForeignFault> fault = GuardForeignCall([&]() noexcept { hr = call(); })) {
        crashed_ = true;
        throw FaultError(*fault, doing, placement_.progId);
    }
    return hr;
}

// The same where nothing can be thrown: the first crash is kept for the form to report, and a
// control that crashed gets no more calls.
template <typename Call>
HRESULT HostedControl::CallQuietly(const wchar_t* doing, Call&& call) noexcept {
    if (crashed_) return E_UNEXPECTED;
    try {
        return CallControl(doing, call);
    } catch (const NumberedError& fault) {
        if (!fault_) fault_ = fault;
    } catch (...) {
    }
    return E_UNEXPECTED;
}

HostedControl::HostedControl(HWND host, const ControlPlacement& placement) : host_(host), placement_(placement) {
    site_ = OleSite::Create(*this);
    SetWindowLongPtrW(host_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    try {
        Create(placement);
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

void HostedControl::Load(SIZEL extent) {
    // A control that refuses its saved properties starts from its defaults, as in a VB6 form.
    if (const com_ptr<IPersistPropertyBag> bag = object_.try_query<IPersistPropertyBag>()) {
        com_ptr<IPropertyBag> properties;
        *properties.put() = new ExtentPropertyBag(extent);
        if (SUCCEEDED(CallControl(L"loading its properties", [&] { return bag->Load(properties.get(), nullptr); })))
            return;
    }
    if (const com_ptr<IPersistStreamInit> stream = object_.try_query<IPersistStreamInit>())
        CallControl(L"initialising it", [&] { return stream->InitNew(); });
}

void HostedControl::Create(const ControlPlacement& placement) {
    const wchar_t* progId = placement.progId;
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr)) throw CreationError(progId, hr);

    // Through IUnknown: some class factories hand out IOleObject for objects that are none.
    com_ptr<IUnknown> unknown;
    hr = CallControl(L"creating it", [&] {
        return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, unknown.put_void());
    });
    if (FAILED(hr)) throw CreationError(progId, hr);
    object_ = unknown.try_query<IOleObject>();
    if (!object_) throw NotAControlError(progId);

    DWORD misc = 0;
    hr = CallControl(L"asking its status", [&] { return object_->GetMiscStatus(DVASPECT_CONTENT, &misc); });
    if (hr == OLE_S_USEREG) hr = OleRegGetMiscStatus(clsid, DVASPECT_CONTENT, &misc);
    if (FAILED(hr)) misc = 0;
    hasUserInterface_ = !(misc & OLEMISC_INVISIBLEATRUNTIME);

    // From here on the control may hold a reference to the site: Release undoes it.
    const auto site = [&] {
        hr = CallControl(L"siting it", [&] { return object_->SetClientSite(site_.get()); });
        if (FAILED(hr)) throw StepError(progId, L"sited", hr);
    };
    if (misc & OLEMISC_SETCLIENTSITEFIRST) site();
    Load(placement.extent);
    if (!(misc & OLEMISC_SETCLIENTSITEFIRST)) site();
    // Not every control takes names or a size: a fixed-size one keeps its own.
    CallControl(L"naming its host", [&] { return object_->SetHostNames(kProgramSource, placement_.name.c_str()); });
    SIZEL extent = placement.extent;
    CallControl(L"sizing it", [&] { return object_->SetExtent(DVASPECT_CONTENT, &extent); });

    if (hasUserInterface_) {
        RECT rect = HostRect();
        hr = CallControl(L"activating it", [&] {
            return object_->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_.get(), 0, host_, &rect);
        });
        if (FAILED(hr)) throw StepError(progId, L"activated in place", hr);
    } else {
        // Invisible at run time, as in a VB6 form: sited and loaded, passed over by Tab.
        SetWindowLongW(host_, GWL_STYLE, GetWindowLongW(host_, GWL_STYLE) & ~WS_TABSTOP);
    }
    dispatch_ = object_.try_query<IDispatch>();
}

void HostedControl::Release() noexcept {
    // Once it has crashed, the control is only let go of: no more calls that could crash again.
    const auto drop = [this](auto& pointer) {
        if (crashed_)
            pointer.detach();
        else
            CallQuietly(L"releasing it", [&] {
                pointer.reset();
                return S_OK;
            });
    };
    drop(dispatch_);
    drop(active_);
    com_ptr<IOleInPlaceObject> inPlace = std::move(inPlace_);
    com_ptr<IOleObject> object = std::move(object_);
    if (inPlace && !crashed_) CallQuietly(L"deactivating it", [&] { return inPlace->InPlaceDeactivate(); });
    if (object && !crashed_) CallQuietly(L"closing it", [&] { return object->Close(OLECLOSE_NOSAVE); });
    if (object && !crashed_) CallQuietly(L"unsiting it", [&] { return object->SetClientSite(nullptr); });
    drop(inPlace);
    drop(object);
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
        if (inPlace_) CallQuietly(L"giving it the focus", [&] { return inPlace_->GetWindow(&window); });
        if (window != nullptr && window != host_ && IsChild(host_, window)) SetFocus(window);
        return;
    }
    activating_ = true;
    RECT rect = HostRect();
    CallQuietly(L"giving it the focus",
                [&] { return object_->DoVerb(OLEIVERB_UIACTIVATE, nullptr, site_.get(), 0, host_, &rect); });
    activating_ = false;
}

bool HostedControl::TranslateAccelerator(MSG& message) noexcept {
    if (!uiActive_ || !active_ || message.message < WM_KEYFIRST || message.message > WM_KEYLAST) return false;
    if (message.hwnd != host_ && !IsChild(host_, message.hwnd)) return false;
    const com_ptr<IOleInPlaceActiveObject> active = active_;
    return CallQuietly(L"handing it a key", [&] { return active->TranslateAccelerator(&message); }) == S_OK;
}

void HostedControl::CheckFocus() noexcept {
    if (!uiActive_) return;
    HWND focus = GetFocus();
    if (focus != host_ && !IsChild(host_, focus)) UIDeactivate();
}

// SiteOwner

void HostedControl::OnInPlaceActivate() noexcept {
    if (object_) inPlace_ = object_.try_query<IOleInPlaceObject>();
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
    if (const com_ptr<IOleInPlaceObject> inPlace = inPlace_) {
        const RECT rect = HostRect();
        CallQuietly(L"keeping it in place", [&] { return inPlace->SetObjectRects(&rect, &rect); });
    }
}

void HostedControl::UIDeactivate() noexcept {
    if (const com_ptr<IOleInPlaceObject> inPlace = inPlace_)
        CallQuietly(L"taking its focus away", [&] { return inPlace->UIDeactivate(); });
    uiActive_ = false;
}

void HostedControl::SetActiveObject(IOleInPlaceActiveObject* active) noexcept {
    active_ = com_ptr<IOleInPlaceActiveObject>(active);
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

HRESULT HostedControl::Ambient(DISPID id, VARIANT* result) noexcept {
    const AmbientFacts facts{GetAncestor(host_, GA_ROOT), placement_.font, placement_.name, placement_.dpi};
    return GetAmbientProperty(id, facts, result);
}

HRESULT HostedControl::Extender(IDispatch** extender) noexcept {
    try {
        ExtenderFacts facts{};
        facts.name = placement_.name;
        facts.left = placement_.left;
        facts.top = placement_.top;
        facts.width = placement_.width;
        facts.height = placement_.height;
        facts.host = host_;
        facts.tabIndex = placement_.tabIndex;
        facts.form = GetAncestor(host_, GA_ROOT);
        facts.formName = placement_.formName;
        *extender = CreateExtender(std::move(facts)).detach();
        return *extender ? S_OK : E_OUTOFMEMORY;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

// The container's units are twips, as a VB6 form's ScaleMode is by default.
HRESULT HostedControl::TransformCoords(POINTL* himetric, POINTF* container, DWORD flags) noexcept {
    constexpr double kTwipsPerHimetric = 1440.0 / 2540.0;
    const DWORD direction = flags & (XFORMCOORDS_HIMETRICTOCONTAINER | XFORMCOORDS_CONTAINERTOHIMETRIC);
    const DWORD kind = flags & (XFORMCOORDS_POSITION | XFORMCOORDS_SIZE);
    if (kind == 0 || kind == (XFORMCOORDS_POSITION | XFORMCOORDS_SIZE)) return E_INVALIDARG;
    if (direction == XFORMCOORDS_HIMETRICTOCONTAINER) {
        container->x = static_cast<FLOAT>(himetric->x * kTwipsPerHimetric);
        container->y = static_cast<FLOAT>(himetric->y * kTwipsPerHimetric);
        return S_OK;
    }
    if (direction == XFORMCOORDS_CONTAINERTOHIMETRIC) {
        const double x = std::round(container->x / kTwipsPerHimetric);
        const double y = std::round(container->y / kTwipsPerHimetric);
        if (!(std::fabs(x) <= 2147483647.0 && std::fabs(y) <= 2147483647.0)) return E_INVALIDARG;
        himetric->x = static_cast<LONG>(x);
        himetric->y = static_cast<LONG>(y);
        return S_OK;
    }
    return E_INVALIDARG;
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
