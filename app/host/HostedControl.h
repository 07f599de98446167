#pragma once
// The owner of one hosted ActiveX control: it creates, sites, loads and activates the control
// in a host window, routes focus and keystrokes to it, and on its way out deactivates, closes
// and unsites it. The COM face the control talks to (OleSite) only answers and points back.
#include <windows.h>
#include <ole2.h>

#include <optional>
#include <string>

#include "ControlCalls.h"
#include "NumberedError.h"
#include "OleSite.h"
#include "Unique.h"

// What the form tells the control about its place, as a VB6 form's extender does.
struct ControlPlacement {
    const wchar_t* progId;
    SIZEL extent;  // persisted, HIMETRIC
    std::wstring name;
    int left, top, width, height;  // twips
    int tabIndex;
    HFONT font;
    int dpi;  // the font's
    std::wstring formName;
};

class HostedControl final : private SiteOwner {
public:
    // Creates the control in host (a window of HostWindowProc's class), hands it its persisted
    // extent and, unless it is invisible at run time, activates it in place filling the host.
    // Throws NumberedError naming the step when the control cannot be created, sited or
    // activated.
    HostedControl(HWND host, const ControlPlacement& placement);
    ~HostedControl();
    HostedControl(const HostedControl&) = delete;
    HostedControl& operator=(const HostedControl&) = delete;

    // The window procedure of host windows: focus goes on to the control, notifications of
    // the control's own child windows go back to them.
    static LRESULT CALLBACK HostWindowProc(HWND, UINT, WPARAM, LPARAM);

    IDispatch* Dispatch() const noexcept { return dispatch_.get(); }
    // A command's own reference to the dispatch, taken in the control; null when it has none.
    // Calls through it run guarded like the host's own. Throws a crash of the control.
    ControlPtr<IDispatch> HoldDispatch() { return ControlPtr<IDispatch>::Hold(calls_, dispatch_.get(), L"holding it"); }

    // From the message loop: a keystroke for the UI-active control goes to it first.
    bool TranslateAccelerator(MSG& message) noexcept;
    // After each message: focus that left a UI-active control takes its UI state with it.
    void CheckFocus() noexcept;

    // Deactivates, closes and unsites the control; the destructor does it at the latest.
    void Close() noexcept { Release(); }

    // A crash of the control not thrown yet (giving it the focus, letting go of it, tearing it
    // down), handed once to the form to report: neither a window procedure nor a destructor
    // can throw it.
    std::optional<NumberedError> TakeFault() noexcept { return calls_.TakeFault(); }
    bool Crashed() const noexcept { return calls_.Crashed(); }
    // How long creating, siting, loading and activating it took.
    double CreationMs() const noexcept { return creationMs_; }

private:
    void Create(const ControlPlacement& placement);
    void Load(SIZEL extent);
    void UIActivate() noexcept;
    void Release() noexcept;

    RECT HostRect() const noexcept;
    SiteFacts FactsForSite() const;

    // SiteOwner
    void OnInPlaceActivate() noexcept override;
    void OnInPlaceDeactivate() noexcept override;
    void OnUIActivate() noexcept override { uiActive_ = true; }
    void OnUIDeactivate() noexcept override;
    void KeepInPlace() noexcept override;
    void UIDeactivate() noexcept override;
    void SetActiveObject(IOleInPlaceActiveObject* active) noexcept override;
    bool TranslateKey(const MSG& message) noexcept override;

    HWND host_;
    ControlPlacement placement_;
    bool hasUserInterface_ = false;
    bool uiActive_ = false;
    bool activating_ = false;
    double creationMs_ = 0;
    ControlCalls calls_;  // before the pointers, which let go through it
    com_ptr<OleSite> site_;
    ControlPtr<IOleObject> object_;
    ControlPtr<IOleInPlaceObject> inPlace_;
    ControlPtr<IOleInPlaceActiveObject> active_;
    ControlPtr<IDispatch> dispatch_;
};
