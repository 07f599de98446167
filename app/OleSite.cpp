#include "OleSite.h"

#include <olectl.h>

#include <new>

com_ptr<OleSite> OleSite::Create(SiteOwner& owner) {
    com_ptr<OleSite> site;
    *site.put() = new OleSite(owner);
    return site;
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
    *phwnd = owner_ ? owner_->Host() : nullptr;
    return *phwnd ? S_OK : E_FAIL;
}
STDMETHODIMP OleSite::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

// IOleInPlaceSite

STDMETHODIMP OleSite::CanInPlaceActivate() { return S_OK; }

STDMETHODIMP OleSite::OnInPlaceActivate() {
    if (owner_) owner_->OnInPlaceActivate();
    return S_OK;
}

STDMETHODIMP OleSite::OnUIActivate() { return S_OK; }

STDMETHODIMP OleSite::GetWindowContext(IOleInPlaceFrame** ppFrame, IOleInPlaceUIWindow** ppDoc, LPRECT lprcPosRect,
                                       LPRECT lprcClipRect, LPOLEINPLACEFRAMEINFO lpFrameInfo) {
    if (ppFrame == nullptr || ppDoc == nullptr || lprcPosRect == nullptr || lprcClipRect == nullptr) return E_POINTER;
    *ppFrame = static_cast<IOleInPlaceFrame*>(this);
    AddRef();
    *ppDoc = nullptr;
    *lprcPosRect = owner_->HostRect();
    *lprcClipRect = *lprcPosRect;
    if (lpFrameInfo != nullptr) {
        lpFrameInfo->fMDIApp = FALSE;
        lpFrameInfo->hwndFrame = GetAncestor(owner_->Host(), GA_ROOT);
        lpFrameInfo->haccel = nullptr;
        lpFrameInfo->cAccelEntries = 0;
    }
    return S_OK;
}

STDMETHODIMP OleSite::Scroll(SIZE) { return E_NOTIMPL; }
STDMETHODIMP OleSite::OnUIDeactivate(BOOL) { return S_OK; }
STDMETHODIMP OleSite::OnInPlaceDeactivate() {
    if (owner_) owner_->OnInPlaceDeactivate();
    return S_OK;
}
STDMETHODIMP OleSite::DiscardUndoState() { return E_NOTIMPL; }
STDMETHODIMP OleSite::DeactivateAndUndo() {
    if (owner_) owner_->UIDeactivate();
    return S_OK;
}

// The control stays where the table puts it: a request to move is answered by restating
// the host's rectangle.
STDMETHODIMP OleSite::OnPosRectChange(LPCRECT) {
    if (owner_) owner_->KeepInPlace();
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
        case DISPID_AMBIENT_DISPLAYNAME: {
            if (owner_ == nullptr) return DISP_E_MEMBERNOTFOUND;
            const std::wstring& name = owner_->DisplayName();
            pVarResult->bstrVal = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
            if (pVarResult->bstrVal == nullptr) return E_OUTOFMEMORY;
            pVarResult->vt = VT_BSTR;
            return S_OK;
        }
        case DISPID_AMBIENT_LOCALEID:
            pVarResult->vt = VT_I4;
            pVarResult->lVal = static_cast<LONG>(GetUserDefaultLCID());
            return S_OK;
        default:
            return DISP_E_MEMBERNOTFOUND;
    }
}
