#include "OleSite.h"

#include <olectl.h>

#include <new>

#include "NumberedError.h"

namespace {

constexpr wchar_t kSiteSource[] = L"Test OCX TALVO";

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
    NumberedError base = ErrorFromHresult(hr, kSiteSource);
    return NumberedError(base.Number(), base.Source(),
                         L"Cannot create the control \"" + std::wstring(progId) + L"\": " + base.Description());
}

}  // namespace

com_ptr<OleSite> OleSite::Create(HWND host, std::wstring displayName) {
    com_ptr<OleSite> site;
    *site.put() = new OleSite(host, std::move(displayName));
    return site;
}

RECT OleSite::HostRect() const noexcept {
    RECT rect{};
    GetClientRect(host_, &rect);
    return rect;
}

void OleSite::LoadPersistedExtent(IOleObject* object, SIZEL extent) {
    if (com_ptr<IPersistPropertyBag> bag = com_ptr<IOleObject>(object).query<IPersistPropertyBag>()) {
        com_ptr<IPropertyBag> properties;
        *properties.put() = new ExtentPropertyBag(extent);
        ThrowIfFailed(bag->Load(properties.get(), nullptr), kSiteSource);
        return;
    }
    if (com_ptr<IPersistStreamInit> stream = com_ptr<IOleObject>(object).query<IPersistStreamInit>())
        ThrowIfFailed(stream->InitNew(), kSiteSource);
}

com_ptr<IDispatch> OleSite::Embed(const wchar_t* progId, SIZEL extent) {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(progId, &clsid);
    if (FAILED(hr)) throw CreationError(progId, hr);

    com_ptr<IOleObject> object;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject, object.put_void());
    if (FAILED(hr)) throw CreationError(progId, hr);

    DWORD misc = 0;
    if (FAILED(object->GetMiscStatus(DVASPECT_CONTENT, &misc))) misc = 0;
    // From here on the control may hold a reference to us: Unembed undoes it on failure.
    object_ = object;
    try {
        if (misc & OLEMISC_SETCLIENTSITEFIRST) ThrowIfFailed(object->SetClientSite(this), kSiteSource);
        LoadPersistedExtent(object.get(), extent);
        if (!(misc & OLEMISC_SETCLIENTSITEFIRST)) ThrowIfFailed(object->SetClientSite(this), kSiteSource);
        object->SetHostNames(L"Test OCX TALVO", displayName_.c_str());
        ThrowIfFailed(object->SetExtent(DVASPECT_CONTENT, &extent), kSiteSource);

        RECT rect = HostRect();
        ThrowIfFailed(object->DoVerb(OLEIVERB_INPLACEACTIVATE, nullptr, this, 0, host_, &rect), kSiteSource);

        com_ptr<IDispatch> dispatch = object.query<IDispatch>();
        if (!dispatch) throw CreationError(progId, E_NOINTERFACE);
        return dispatch;
    } catch (...) {
        Unembed();
        throw;
    }
}

void OleSite::Unembed() noexcept {
    if (com_ptr<IOleInPlaceObject> inPlace = inPlace_) inPlace->InPlaceDeactivate();
    inPlace_.reset();
    if (com_ptr<IOleObject> object = object_) {
        object->Close(OLECLOSE_NOSAVE);
        object->SetClientSite(nullptr);
    }
    object_.reset();
}

// IUnknown

STDMETHODIMP OleSite::QueryInterface(REFIID riid, void** ppv) {
    if (ppv == nullptr) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IOleClientSite)
        *ppv = static_cast<IOleClientSite*>(this);
    else if (riid == IID_IOleWindow || riid == IID_IOleInPlaceSite)
        *ppv = static_cast<IOleInPlaceSite*>(this);
    else if (riid == IID_IOleInPlaceUIWindow || riid == IID_IOleInPlaceFrame)
        *ppv = static_cast<IOleInPlaceFrame*>(this);
    else if (riid == IID_IOleControlSite)
        *ppv = static_cast<IOleControlSite*>(this);
    else if (riid == IID_IDispatch)
        *ppv = static_cast<IDispatch*>(this);
    else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) OleSite::AddRef() { return InterlockedIncrement(&refs_); }

STDMETHODIMP_(ULONG) OleSite::Release() {
    const LONG refs = InterlockedDecrement(&refs_);
    if (refs == 0) delete this;
    return refs;
}

// IOleClientSite

STDMETHODIMP OleSite::SaveObject() { return S_OK; }  // nothing is ever saved
STDMETHODIMP OleSite::GetMoniker(DWORD, DWORD, IMoniker** ppmk) {
    if (ppmk) *ppmk = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP OleSite::GetContainer(IOleContainer** ppContainer) {
    if (ppContainer) *ppContainer = nullptr;
    return E_NOINTERFACE;
}
STDMETHODIMP OleSite::ShowObject() { return S_OK; }
STDMETHODIMP OleSite::OnShowWindow(BOOL) { return S_OK; }
STDMETHODIMP OleSite::RequestNewObjectLayout() { return E_NOTIMPL; }

// IOleWindow

STDMETHODIMP OleSite::GetWindow(HWND* phwnd) {
    if (phwnd == nullptr) return E_POINTER;
    *phwnd = host_;
    return S_OK;
}
STDMETHODIMP OleSite::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

// IOleInPlaceSite

STDMETHODIMP OleSite::CanInPlaceActivate() { return S_OK; }

STDMETHODIMP OleSite::OnInPlaceActivate() {
    if (object_) inPlace_ = object_.query<IOleInPlaceObject>();
    return S_OK;
}

STDMETHODIMP OleSite::OnUIActivate() { return S_OK; }

STDMETHODIMP OleSite::GetWindowContext(IOleInPlaceFrame** ppFrame, IOleInPlaceUIWindow** ppDoc, LPRECT lprcPosRect,
                                       LPRECT lprcClipRect, LPOLEINPLACEFRAMEINFO lpFrameInfo) {
    if (ppFrame == nullptr || ppDoc == nullptr || lprcPosRect == nullptr || lprcClipRect == nullptr) return E_POINTER;
    *ppFrame = static_cast<IOleInPlaceFrame*>(this);
    AddRef();
    *ppDoc = nullptr;
    *lprcPosRect = HostRect();
    *lprcClipRect = *lprcPosRect;
    if (lpFrameInfo != nullptr) {
        lpFrameInfo->fMDIApp = FALSE;
        lpFrameInfo->hwndFrame = GetAncestor(host_, GA_ROOT);
        lpFrameInfo->haccel = nullptr;
        lpFrameInfo->cAccelEntries = 0;
    }
    return S_OK;
}

STDMETHODIMP OleSite::Scroll(SIZE) { return E_NOTIMPL; }
STDMETHODIMP OleSite::OnUIDeactivate(BOOL) { return S_OK; }
STDMETHODIMP OleSite::OnInPlaceDeactivate() {
    inPlace_.reset();
    return S_OK;
}
STDMETHODIMP OleSite::DiscardUndoState() { return E_NOTIMPL; }
STDMETHODIMP OleSite::DeactivateAndUndo() {
    if (inPlace_) inPlace_->UIDeactivate();
    return S_OK;
}

// The control stays where the table puts it: a request to move is answered by restating
// the host's rectangle.
STDMETHODIMP OleSite::OnPosRectChange(LPCRECT) {
    if (inPlace_) {
        const RECT rect = HostRect();
        inPlace_->SetObjectRects(&rect, &rect);
    }
    return S_OK;
}

// IOleInPlaceUIWindow / IOleInPlaceFrame

STDMETHODIMP OleSite::GetBorder(LPRECT) { return INPLACE_E_NOTOOLSPACE; }
STDMETHODIMP OleSite::RequestBorderSpace(LPCBORDERWIDTHS) { return INPLACE_E_NOTOOLSPACE; }
STDMETHODIMP OleSite::SetBorderSpace(LPCBORDERWIDTHS) { return OLE_E_INVALIDRECT; }
STDMETHODIMP OleSite::SetActiveObject(IOleInPlaceActiveObject*, LPCOLESTR) { return S_OK; }
STDMETHODIMP OleSite::InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) { return E_NOTIMPL; }
STDMETHODIMP OleSite::SetMenu(HMENU, HOLEMENU, HWND) { return S_OK; }
STDMETHODIMP OleSite::RemoveMenus(HMENU) { return E_NOTIMPL; }
STDMETHODIMP OleSite::SetStatusText(LPCOLESTR) { return S_OK; }
STDMETHODIMP OleSite::EnableModeless(BOOL) { return S_OK; }
STDMETHODIMP OleSite::TranslateAccelerator(LPMSG, WORD) { return S_FALSE; }

// IOleControlSite

STDMETHODIMP OleSite::OnControlInfoChanged() { return S_OK; }
STDMETHODIMP OleSite::LockInPlaceActive(BOOL) { return S_OK; }
STDMETHODIMP OleSite::GetExtendedControl(IDispatch** ppDisp) {
    if (ppDisp) *ppDisp = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP OleSite::TransformCoords(POINTL*, POINTF*, DWORD) { return E_NOTIMPL; }
STDMETHODIMP OleSite::TranslateAccelerator(MSG*, DWORD) { return S_FALSE; }
STDMETHODIMP OleSite::OnFocus(BOOL) { return S_OK; }
STDMETHODIMP OleSite::ShowPropertyFrame() { return E_NOTIMPL; }

// IDispatch: ambient properties. What is not answered here, the control takes its default for.

STDMETHODIMP OleSite::GetTypeInfoCount(UINT* pctinfo) {
    if (pctinfo == nullptr) return E_POINTER;
    *pctinfo = 0;
    return S_OK;
}
STDMETHODIMP OleSite::GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) {
    if (ppTInfo) *ppTInfo = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP OleSite::GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) { return DISP_E_UNKNOWNNAME; }

STDMETHODIMP OleSite::Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS*, VARIANT* pVarResult,
                             EXCEPINFO*, UINT*) {
    if (!(wFlags & DISPATCH_PROPERTYGET)) return DISP_E_MEMBERNOTFOUND;
    if (pVarResult == nullptr) return E_POINTER;
    VariantInit(pVarResult);
    switch (dispIdMember) {
        case DISPID_AMBIENT_USERMODE:
            pVarResult->vt = VT_BOOL;
            pVarResult->boolVal = VARIANT_TRUE;
            return S_OK;
        case DISPID_AMBIENT_DISPLAYNAME:
            pVarResult->bstrVal = SysAllocStringLen(displayName_.data(), static_cast<UINT>(displayName_.size()));
            if (pVarResult->bstrVal == nullptr) return E_OUTOFMEMORY;
            pVarResult->vt = VT_BSTR;
            return S_OK;
        case DISPID_AMBIENT_LOCALEID:
            pVarResult->vt = VT_I4;
            pVarResult->lVal = static_cast<LONG>(GetUserDefaultLCID());
            return S_OK;
        default:
            return DISP_E_MEMBERNOTFOUND;
    }
}
