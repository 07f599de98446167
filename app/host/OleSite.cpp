#include "OleSite.h"

#include <olectl.h>

#include <cmath>
#include <new>
#include <utility>

com_ptr<OleSite> OleSite::Create(SiteOwner& owner, SiteFacts facts) {
    return com_ptr<OleSite>::attach(new OleSite(owner, std::move(facts)));
}

OleSite::OleSite(SiteOwner& owner, SiteFacts facts)
    : owner_(&owner), facts_(std::move(facts)), frame_(make_com<OleFrame>(owner, facts_.ambients.form)) {}

void OleSite::Detach() noexcept {
    owner_ = nullptr;
    frame_->Detach();
}

// IOleClientSite

STDMETHODIMP OleSite::SaveObject() { return S_OK; }  // nothing is ever saved
STDMETHODIMP OleSite::GetMoniker(DWORD, DWORD, IMoniker** ppmk) {
    if (ppmk) *ppmk = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP OleSite::GetContainer(IOleContainer** ppContainer) {
    if (ppContainer == nullptr) return E_POINTER;
    *ppContainer = com_ptr<IOleContainer>(frame_.get()).detach();
    return S_OK;
}
STDMETHODIMP OleSite::ShowObject() { return S_OK; }
STDMETHODIMP OleSite::OnShowWindow(BOOL) { return S_OK; }
STDMETHODIMP OleSite::RequestNewObjectLayout() { return E_NOTIMPL; }

// IOleWindow

STDMETHODIMP OleSite::GetWindow(HWND* phwnd) {
    if (phwnd == nullptr) return E_POINTER;
    *phwnd = owner_ ? facts_.host : nullptr;
    return *phwnd ? S_OK : E_FAIL;
}
STDMETHODIMP OleSite::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

// IOleInPlaceSite

STDMETHODIMP OleSite::CanInPlaceActivate() { return owner_ ? S_OK : S_FALSE; }

STDMETHODIMP OleSite::OnInPlaceActivate() {
    if (owner_ == nullptr) return E_UNEXPECTED;
    owner_->OnInPlaceActivate();
    return S_OK;
}

STDMETHODIMP OleSite::OnUIActivate() {
    if (owner_ == nullptr) return E_UNEXPECTED;
    owner_->OnUIActivate();
    return S_OK;
}

STDMETHODIMP OleSite::GetWindowContext(IOleInPlaceFrame** ppFrame, IOleInPlaceUIWindow** ppDoc, LPRECT lprcPosRect,
                                       LPRECT lprcClipRect, LPOLEINPLACEFRAMEINFO lpFrameInfo) {
    if (ppFrame == nullptr || ppDoc == nullptr || lprcPosRect == nullptr || lprcClipRect == nullptr) return E_POINTER;
    *ppFrame = nullptr;
    *ppDoc = nullptr;
    if (owner_ == nullptr) return E_UNEXPECTED;
    *ppFrame = com_ptr<IOleInPlaceFrame>(frame_.get()).detach();
    // The control fills its host.
    *lprcPosRect = RECT{};
    GetClientRect(facts_.host, lprcPosRect);
    *lprcClipRect = *lprcPosRect;
    if (lpFrameInfo != nullptr) {
        lpFrameInfo->fMDIApp = FALSE;
        lpFrameInfo->hwndFrame = facts_.ambients.form;
        lpFrameInfo->haccel = nullptr;
        lpFrameInfo->cAccelEntries = 0;
    }
    return S_OK;
}

STDMETHODIMP OleSite::Scroll(SIZE) { return E_NOTIMPL; }
STDMETHODIMP OleSite::OnUIDeactivate(BOOL) {
    if (owner_) owner_->OnUIDeactivate();
    return S_OK;
}
STDMETHODIMP OleSite::OnInPlaceDeactivate() {
    if (owner_) owner_->OnInPlaceDeactivate();
    return S_OK;
}
STDMETHODIMP OleSite::DiscardUndoState() { return E_NOTIMPL; }
STDMETHODIMP OleSite::DeactivateAndUndo() {
    if (owner_) owner_->UIDeactivate();
    return S_OK;
}

STDMETHODIMP OleSite::OnPosRectChange(LPCRECT) {
    if (owner_) owner_->KeepInPlace();
    return S_OK;
}

// IOleInPlaceSiteEx

STDMETHODIMP OleSite::OnInPlaceActivateEx(BOOL* pfNoRedraw, DWORD dwFlags) {
    if (pfNoRedraw) *pfNoRedraw = FALSE;
    // No IOleInPlaceSiteWindowless here: a control that goes windowless anyway is told no.
    if (dwFlags & ACTIVATE_WINDOWLESS) return E_NOTIMPL;
    return OnInPlaceActivate();
}
STDMETHODIMP OleSite::OnInPlaceDeactivateEx(BOOL) { return OnInPlaceDeactivate(); }
STDMETHODIMP OleSite::RequestUIActivate() { return owner_ ? S_OK : S_FALSE; }

// IOleControlSite

STDMETHODIMP OleSite::OnControlInfoChanged() { return S_OK; }
// The control stays in place for the program's life anyway.
STDMETHODIMP OleSite::LockInPlaceActive(BOOL) { return S_OK; }
STDMETHODIMP OleSite::GetExtendedControl(IDispatch** ppDisp) {
    if (ppDisp == nullptr) return E_POINTER;
    *ppDisp = nullptr;
    if (owner_ == nullptr) return E_UNEXPECTED;
    try {
        *ppDisp = CreateExtender(facts_.extender).detach();
        return S_OK;
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

// The container's units are twips, as a VB6 form's ScaleMode is by default.
STDMETHODIMP OleSite::TransformCoords(POINTL* pPtlHimetric, POINTF* pPtfContainer, DWORD dwFlags) {
    if (pPtlHimetric == nullptr || pPtfContainer == nullptr) return E_POINTER;
    if (owner_ == nullptr) return E_UNEXPECTED;
    constexpr double kTwipsPerHimetric = 1440.0 / 2540.0;
    const DWORD direction = dwFlags & (XFORMCOORDS_HIMETRICTOCONTAINER | XFORMCOORDS_CONTAINERTOHIMETRIC);
    const DWORD kind = dwFlags & (XFORMCOORDS_POSITION | XFORMCOORDS_SIZE);
    if (kind == 0 || kind == (XFORMCOORDS_POSITION | XFORMCOORDS_SIZE)) return E_INVALIDARG;
    if (direction == XFORMCOORDS_HIMETRICTOCONTAINER) {
        pPtfContainer->x = static_cast<FLOAT>(pPtlHimetric->x * kTwipsPerHimetric);
        pPtfContainer->y = static_cast<FLOAT>(pPtlHimetric->y * kTwipsPerHimetric);
        return S_OK;
    }
    if (direction == XFORMCOORDS_CONTAINERTOHIMETRIC) {
        const double x = std::round(pPtfContainer->x / kTwipsPerHimetric);
        const double y = std::round(pPtfContainer->y / kTwipsPerHimetric);
        if (!(std::fabs(x) <= 2147483647.0 && std::fabs(y) <= 2147483647.0)) return E_INVALIDARG;
        pPtlHimetric->x = static_cast<LONG>(x);
        pPtlHimetric->y = static_cast<LONG>(y);
        return S_OK;
    }
    return E_INVALIDARG;
}
STDMETHODIMP OleSite::TranslateAccelerator(MSG* pMsg, DWORD) {
    if (pMsg == nullptr) return E_POINTER;
    return owner_ && owner_->TranslateKey(*pMsg) ? S_OK : S_FALSE;
}
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
    return owner_ ? GetAmbientProperty(dispIdMember, facts_.ambients, pVarResult) : DISP_E_MEMBERNOTFOUND;
}

// OleFrame

STDMETHODIMP OleFrame::GetWindow(HWND* phwnd) {
    if (phwnd == nullptr) return E_POINTER;
    *phwnd = owner_ ? form_ : nullptr;
    return *phwnd ? S_OK : E_FAIL;
}
STDMETHODIMP OleFrame::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }
STDMETHODIMP OleFrame::GetBorder(LPRECT) { return INPLACE_E_NOTOOLSPACE; }
STDMETHODIMP OleFrame::RequestBorderSpace(LPCBORDERWIDTHS) { return INPLACE_E_NOTOOLSPACE; }
STDMETHODIMP OleFrame::SetBorderSpace(LPCBORDERWIDTHS) { return OLE_E_INVALIDRECT; }
STDMETHODIMP OleFrame::SetActiveObject(IOleInPlaceActiveObject* pActiveObject, LPCOLESTR) {
    if (owner_) owner_->SetActiveObject(pActiveObject);
    return S_OK;
}
STDMETHODIMP OleFrame::InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) { return E_NOTIMPL; }
STDMETHODIMP OleFrame::SetMenu(HMENU, HOLEMENU, HWND) { return S_OK; }
STDMETHODIMP OleFrame::RemoveMenus(HMENU) { return E_NOTIMPL; }
STDMETHODIMP OleFrame::SetStatusText(LPCOLESTR) { return S_OK; }
STDMETHODIMP OleFrame::EnableModeless(BOOL) { return S_OK; }
STDMETHODIMP OleFrame::TranslateAccelerator(LPMSG, WORD) { return S_FALSE; }  // no accelerators of its own

STDMETHODIMP OleFrame::ParseDisplayName(IBindCtx*, LPOLESTR, ULONG* pchEaten, IMoniker** ppmkOut) {
    if (pchEaten) *pchEaten = 0;
    if (ppmkOut) *ppmkOut = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP OleFrame::EnumObjects(DWORD, IEnumUnknown** ppenum) {
    if (ppenum) *ppenum = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP OleFrame::LockContainer(BOOL) { return S_OK; }
