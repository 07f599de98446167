#pragma once
// The COM face of the container that one hosted ActiveX control talks to: client site,
// in-place site (plain and Ex), control site and the ambient properties on one object, and the
// frame and container on another (the frame's window is the top-level one, where the site's
// is the control's host). They only answer; their owner creates and tears down the control.
// What does not change while the control lives (its host window, the ambient properties,
// the extender) the site answers itself, from facts handed to it when it is made.
#include <windows.h>
#include <ole2.h>
#include <ocidl.h>

#include <string>

#include "Ambients.h"
#include "ComObject.h"
#include "Extender.h"
#include "Unique.h"

struct SiteFacts {
    HWND host = nullptr;  // the control's host window; its root is the form
    AmbientFacts ambients;
    ExtenderFacts extender;
};

// What the site must ask whoever owns the control (HostedControl): its activation, focus and
// layout, which that owner keeps.
class SiteOwner {
public:
    virtual void OnInPlaceActivate() noexcept = 0;
    virtual void OnInPlaceDeactivate() noexcept = 0;
    virtual void OnUIActivate() noexcept = 0;
    virtual void OnUIDeactivate() noexcept = 0;
    // The control asks to be moved: it stays where the host is.
    virtual void KeepInPlace() noexcept = 0;
    virtual void UIDeactivate() noexcept = 0;
    virtual void SetActiveObject(IOleInPlaceActiveObject* active) noexcept = 0;
    // The control hands on a keystroke it does not want (Tab, for one).
    virtual bool TranslateKey(const MSG& message) noexcept = 0;

protected:
    ~SiteOwner() = default;
};

class OleFrame;

class OleSite final : public ComObject<IOleClientSite, ComAlso<IOleInPlaceSiteEx, IOleWindow, IOleInPlaceSite>,
                                       IOleControlSite, IDispatch> {
public:
    static com_ptr<OleSite> Create(SiteOwner& owner, SiteFacts facts);

    // The owner is gone: a control that still holds the site gets answers without it.
    void Detach() noexcept;

    // IOleClientSite
    STDMETHODIMP SaveObject() override;
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** ppmk) override;
    STDMETHODIMP GetContainer(IOleContainer** ppContainer) override;
    STDMETHODIMP ShowObject() override;
    STDMETHODIMP OnShowWindow(BOOL) override;
    STDMETHODIMP RequestNewObjectLayout() override;

    // IOleWindow: the control's host window.
    STDMETHODIMP GetWindow(HWND* phwnd) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL) override;

    // IOleInPlaceSite
    STDMETHODIMP CanInPlaceActivate() override;
    STDMETHODIMP OnInPlaceActivate() override;
    STDMETHODIMP OnUIActivate() override;
    STDMETHODIMP GetWindowContext(IOleInPlaceFrame** ppFrame, IOleInPlaceUIWindow** ppDoc, LPRECT lprcPosRect,
                                  LPRECT lprcClipRect, LPOLEINPLACEFRAMEINFO lpFrameInfo) override;
    STDMETHODIMP Scroll(SIZE) override;
    STDMETHODIMP OnUIDeactivate(BOOL) override;
    STDMETHODIMP OnInPlaceDeactivate() override;
    STDMETHODIMP DiscardUndoState() override;
    STDMETHODIMP DeactivateAndUndo() override;
    STDMETHODIMP OnPosRectChange(LPCRECT) override;

    // IOleInPlaceSiteEx: windowed activation only.
    STDMETHODIMP OnInPlaceActivateEx(BOOL* pfNoRedraw, DWORD dwFlags) override;
    STDMETHODIMP OnInPlaceDeactivateEx(BOOL fNoRedraw) override;
    STDMETHODIMP RequestUIActivate() override;

    // IOleControlSite
    STDMETHODIMP OnControlInfoChanged() override;
    STDMETHODIMP LockInPlaceActive(BOOL fLock) override;
    STDMETHODIMP GetExtendedControl(IDispatch** ppDisp) override;
    STDMETHODIMP TransformCoords(POINTL* pPtlHimetric, POINTF* pPtfContainer, DWORD dwFlags) override;
    STDMETHODIMP TranslateAccelerator(MSG* pMsg, DWORD grfModifiers) override;
    STDMETHODIMP OnFocus(BOOL) override;
    STDMETHODIMP ShowPropertyFrame() override;

    // IDispatch: the ambient properties.
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override;
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags, DISPPARAMS*, VARIANT* pVarResult, EXCEPINFO*,
                        UINT*) override;

private:
    OleSite(SiteOwner& owner, SiteFacts facts);
    ~OleSite() override = default;

    SiteOwner* owner_;
    SiteFacts facts_;
    com_ptr<OleFrame> frame_;
};

// The frame and the container: the top-level window, no menus or tool space, and the object
// that has the keyboard (SetActiveObject).
class OleFrame final : public ComObject<ComAlso<IOleInPlaceFrame, IOleWindow, IOleInPlaceUIWindow>,
                                        ComAlso<IOleContainer, IParseDisplayName>> {
public:
    OleFrame(SiteOwner& owner, HWND form) : owner_(&owner), form_(form) {}
    void Detach() noexcept { owner_ = nullptr; }

    // IOleWindow: the top-level window, which controls own their dialogs by.
    STDMETHODIMP GetWindow(HWND* phwnd) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL) override;

    // IOleInPlaceUIWindow / IOleInPlaceFrame
    STDMETHODIMP GetBorder(LPRECT) override;
    STDMETHODIMP RequestBorderSpace(LPCBORDERWIDTHS) override;
    STDMETHODIMP SetBorderSpace(LPCBORDERWIDTHS) override;
    STDMETHODIMP SetActiveObject(IOleInPlaceActiveObject* pActiveObject, LPCOLESTR) override;
    STDMETHODIMP InsertMenus(HMENU, LPOLEMENUGROUPWIDTHS) override;
    STDMETHODIMP SetMenu(HMENU, HOLEMENU, HWND) override;
    STDMETHODIMP RemoveMenus(HMENU) override;
    STDMETHODIMP SetStatusText(LPCOLESTR) override;
    STDMETHODIMP EnableModeless(BOOL) override;
    STDMETHODIMP TranslateAccelerator(LPMSG, WORD) override;

    // IParseDisplayName / IOleContainer: one control, no links.
    STDMETHODIMP ParseDisplayName(IBindCtx*, LPOLESTR, ULONG*, IMoniker** ppmkOut) override;
    STDMETHODIMP EnumObjects(DWORD, IEnumUnknown** ppenum) override;
    STDMETHODIMP LockContainer(BOOL) override;

private:
    ~OleFrame() override = default;
    SiteOwner* owner_;
    HWND form_;
};
