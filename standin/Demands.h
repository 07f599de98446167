#pragma once
// What a control may demand of its container, or how it may fail it, chosen by tests in
// TALVO_STANDIN_DEMANDS (comma-separated words) for each control as it is created.
// README.md has the words.
namespace standin {

struct Demands {
    bool siteEx = false;     // activates in place only through IOleInPlaceSiteEx
    bool noExtent = false;   // SetExtent: E_NOTIMPL
    bool noPropBag = false;  // IPersistPropertyBag::Load: E_FAIL
    bool useReg = false;     // GetMiscStatus: OLE_S_USEREG
    bool invisible = false;  // invisible at run time; DoVerb: E_NOTIMPL
    bool probe = false;      // logs what it reads through a new client site
    bool edit = false;       // an edit box; UI activation
    bool logSite = false;    // logs each SetClientSite
    bool avSiting = false;   // access violations in SetClientSite, DoVerb, Close, DoVerb(UIACTIVATE)
    bool avActivation = false;
    bool avTeardown = false;
    bool avFocus = false;
    bool hangActivation = false;  // DoVerb sleeps kHangActivationMs, pumping nothing
};

inline constexpr unsigned long kHangActivationMs = 60000;

// The demands set now; an unknown word is logged and ignored.
Demands ReadDemands();

}  // namespace standin
