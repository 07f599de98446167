#pragma once
// The owner of one hosted ActiveX control: it creates, sites, loads and activates the control
// in a host window, and on its way out deactivates, closes and unsites it. The COM face the
// control talks to (OleSite) only answers the control and points back here.
#include <windows.h>
#include <ole2.h>

#include <string>

#include "OleSite.h"
#include "Unique.h"

class HostedControl final : private SiteOwner {
public:
    // Creates the control registered under progId in host, hands it its persisted extent
    // (HIMETRIC) and activates it in place filling the host. Throws NumberedError.
    HostedControl(HWND host, const wchar_t* progId, SIZEL extent, std::wstring displayName);
    ~HostedControl();
    HostedControl(const HostedControl&) = delete;
    HostedControl& operator=(const HostedControl&) = delete;

    IDispatch* Dispatch() const noexcept { return dispatch_.get(); }

private:
    // SiteOwner: what the site answers the control with.
    HWND Host() const noexcept override { return host_; }
    RECT HostRect() const noexcept override;
    const std::wstring& DisplayName() const noexcept override { return displayName_; }
    void OnInPlaceActivate() noexcept override;
    void OnInPlaceDeactivate() noexcept override;
    void KeepInPlace() noexcept override;
    void UIDeactivate() noexcept override;

    void Create(const wchar_t* progId, SIZEL extent);
    void LoadPersistedExtent(SIZEL extent);
    void Release() noexcept;

    HWND host_;
    std::wstring displayName_;
    com_ptr<OleSite> site_;
    com_ptr<IOleObject> object_;
    com_ptr<IOleInPlaceObject> inPlace_;
    com_ptr<IDispatch> dispatch_;
};
