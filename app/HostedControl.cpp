#include "HostedControl.h"

#include <olectl.h>

#include "ControlIds.h"
#include "NumberedError.h"

namespace {

// The control's persisted properties: its extent, and nothing else.
class ExtentPropertyBag final : public IPropertyBag {
public:
    explicit ExtentPropertyBag(SIZEL extent) : extent_(extent) {}

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv == nullptr) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IPropertyBag) {
            *ppv = static_cast<IPropertyBag*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG refs = InterlockedDecrement(&refs_);
        if (refs == 0) delete this;
        return refs;
    }

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
    ~ExtentPropertyBag() = default;
    LONG refs_ = 1;
    SIZEL extent_;
};

NumberedError CreationError(const wchar_t* progId, HRESULT hr) {
    NumberedError base = ErrorFromHresult(hr, kProgramSource);
    return NumberedError(base.Number(), base.Source(),
                         L"Cannot create the control \"" + std::wstring(progId) + L"\": " + base.Description());
}

}  // namespace

HostedControl::HostedControl(HWND host, const wchar_t* progId, SIZEL extent, std::wstring displayName)
    : host_(host), displayName_(std::move(displayName)) {
    site_ = OleSite::Create(*this);
    try {
        Create(progId, extent);
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

void HostedControl::LoadPersistedExtent(SIZEL extent) {
    if (const com_ptr<IPersistPropertyBag> bag = object_.try_query<IPersistPropertyBag>()) {
        com_ptr<IPropertyBag> properties;
        *properties.put() = new ExtentPropertyBag(extent);
        ThrowIfFailed(bag->Load(properties.get(), nullptr), kProgramSource);
        return;
    }
    if (const com_ptr<IPersistStreamInit> stream = object_.try_query<IPersistStreamInit>())
        ThrowIfFailed(stream->InitNew(), kProgramSource);
}

void HostedControl::Create(const wchar_t* progId, SIZEL extent) {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr)) throw CreationError(progId, hr);

    com_ptr<IOleObject> object;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject, object.put_void());
    if (FAILED(hr)) throw CreationError(progId, hr);

    DWORD misc = 0;
    if (FAILED(object->GetMiscStatus(DVASPECT_CONTENT, &misc))) misc = 0;
    // From here on the control may hold a reference to the site: Release undoes it.
    object_ = object;
    if (misc & OLEMISC_SETCLIENTSITEFIRST) ThrowIfFailed(object->SetClientSite(site_.get()), kProgramSource);
    LoadPersistedExtent(extent);
    if (!(misc & OLEMISC_SETCLIENTSITEFIRST)) ThrowIfFailed(object->SetClientSite(site_.get()), kProgramSource);
    object->SetHostNames(kProgramSource, displayName_.c_str());
    ThrowIfFailed(object->SetExtent(DVASPECT_CONTENT, &extent), kProgramSource);

    RECT rect = HostRect();
    ThrowIfFailed(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, site_.get(), 0, host_, &rect), kProgramSource);

    dispatch_ = object.try_query<IDispatch>();
    if (!dispatch_) throw CreationError(progId, E_NOINTERFACE);
}

void HostedControl::Release() noexcept {
    dispatch_.reset();
    if (const com_ptr<IOleInPlaceObject> inPlace = inPlace_) inPlace->InPlaceDeactivate();
    inPlace_.reset();
    if (const com_ptr<IOleObject> object = std::move(object_)) {
        object->Close(OLECLOSE_NOSAVE);
        object->SetClientSite(nullptr);
    }
    // A control that keeps a reference to the site finds it answering without an owner.
    if (site_) site_->Detach();
    site_.reset();
}

void HostedControl::OnInPlaceActivate() noexcept {
    if (object_) inPlace_ = object_.try_query<IOleInPlaceObject>();
}

void HostedControl::OnInPlaceDeactivate() noexcept { inPlace_.reset(); }

void HostedControl::KeepInPlace() noexcept {
    if (inPlace_) {
        const RECT rect = HostRect();
        inPlace_->SetObjectRects(&rect, &rect);
    }
}

void HostedControl::UIDeactivate() noexcept {
    if (inPlace_) inPlace_->UIDeactivate();
}
